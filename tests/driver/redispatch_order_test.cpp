// Requests held while a stop is pending go back through their dispatch routines
// in the order they arrived, whether the stop went ahead (and the device
// started again) or was cancelled; a request cancelled while held drops out
// without disturbing the order of the others.
#include "tests/support/sim_fixture.h"

#include <sim/pnp.h>
#include <sim/power.h>
#include <sim/workbench/workbench.h>

#include <string>
#include <vector>

#include "control/control.h"
#include "driver/driver.h"

namespace {

using simtest::SimTest;

// Every call of the port's device-control and power dispatch routines, in order.
std::vector<std::string> g_calls;
PDRIVER_DISPATCH g_deviceControl = nullptr;
PDRIVER_DISPATCH g_power = nullptr;

NTSTATUS NTAPI RecordingDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    const ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    g_calls.push_back("control " + std::to_string(code));
    return g_deviceControl(device, irp);
}

NTSTATUS NTAPI RecordingPower(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    g_calls.push_back("power " + std::to_string(sp->MinorFunction) + " " +
                      std::to_string(sp->Parameters.Power.State.DeviceState));
    return g_power(device, irp);
}

POWER_STATE Device(DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return s;
}

class RedispatchOrderTest : public SimTest {
  protected:
    void SetUp() override {
        adapter = &bench.AddAdapter();
        ASSERT_EQ(adapter->Plug(), STATUS_SUCCESS);
        port = adapter->Port();
        PDRIVER_OBJECT driver = adapter->Fdo()->DriverObject;
        g_deviceControl = driver->MajorFunction[IRP_MJ_DEVICE_CONTROL];
        g_power = driver->MajorFunction[IRP_MJ_POWER];
        driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = RecordingDeviceControl;
        driver->MajorFunction[IRP_MJ_POWER] = RecordingPower;
        g_calls.clear();
    }
    void TearDown() override {
        if (adapter && adapter->Present()) {
            PDRIVER_OBJECT driver = adapter->Fdo()->DriverObject;
            driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = g_deviceControl;
            driver->MajorFunction[IRP_MJ_POWER] = g_power;
        }
        SimTest::TearDown();
    }

    // Sends requests of several kinds while the stop is pending, in an order the
    // codes do not sort into, and cancels one of them; answers the calls
    // expected when they come back.
    std::vector<std::string> HoldRequests() {
        port->DeviceIsOpen = 1;
        const ULONG codes[] = {IOCTL_SERIAL_GET_HANDFLOW, IOCTL_SERIAL_GET_BAUD_RATE,
                               IOCTL_SERIAL_GET_TIMEOUTS, IOCTL_SERIAL_GET_CHARS,
                               IOCTL_SERIAL_GET_LINE_CONTROL};
        const ULONG replies[] = {sizeof(SERIAL_HANDFLOW), sizeof(SERIAL_BAUD_RATE),
                                 sizeof(SERIAL_TIMEOUTS), sizeof(SERIAL_CHARS),
                                 sizeof(SERIAL_LINE_CONTROL)};
        std::vector<std::string> expected;
        for (size_t i = 0; i < 5; ++i) {
            held.push_back(sim::DeviceIoControl(adapter->Fdo(), codes[i], {}, replies[i]));
            // The second one is given up by its sender while held.
            if (i != 1)
                expected.push_back("control " + std::to_string(codes[i]));
            if (i == 2) {
                power = sim::SendPowerIrp(adapter->Pdo(), IRP_MN_QUERY_POWER, DevicePowerState,
                                          Device(PowerDeviceD2), PowerActionNone, /*wait=*/false);
                expected.push_back("power " + std::to_string(IRP_MN_QUERY_POWER) + " " +
                                   std::to_string(PowerDeviceD2));
            }
        }
        for (const sim::IrpHandle& r : held) {
            EXPECT_EQ(r->returned, STATUS_PENDING);
            EXPECT_FALSE(r->completed);
        }
        EXPECT_FALSE(power->completed);
        EXPECT_TRUE(sim::CancelIrp(held[1]));
        EXPECT_EQ(held[1]->status, STATUS_CANCELLED);
        g_calls.clear();
        return expected;
    }

    sim::Workbench bench;
    sim::Adapter* adapter = nullptr;
    PortExtension* port = nullptr;
    std::vector<sim::IrpHandle> held;
    sim::PowerIrpHandle power;
};

TEST_F(RedispatchOrderTest, HeldRequestsComeBackInArrivalOrderAfterARestart) {
    ASSERT_EQ(sim::SendPnp(adapter->Pdo(), IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    const std::vector<std::string> expected = HoldRequests();
    port->DeviceIsOpen = 0;
    ASSERT_EQ(sim::SendPnp(adapter->Pdo(), IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(g_calls.empty()) << "still held while stopped";
    ASSERT_EQ(adapter->Start(), STATUS_SUCCESS);
    EXPECT_EQ(g_calls, expected);
    for (const sim::IrpHandle& r : held)
        EXPECT_TRUE(r->completed);
    EXPECT_TRUE(power->completed);
    EXPECT_EQ(port->PendingRequestCount, 1);
}

TEST_F(RedispatchOrderTest, HeldRequestsComeBackInArrivalOrderAfterACancelledStop) {
    ASSERT_EQ(sim::SendPnp(adapter->Pdo(), IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    const std::vector<std::string> expected = HoldRequests();
    ASSERT_EQ(sim::SendPnp(adapter->Pdo(), IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
    // Wherever the re-dispatch runs, it is over once the simulation is idle.
    sim_.RunFor(10 * sim::kMillisecond);
    EXPECT_EQ(g_calls, expected);
    for (size_t i = 0; i < held.size(); ++i) {
        ASSERT_TRUE(held[i]->completed) << i;
        EXPECT_EQ(held[i]->status, i == 1 ? STATUS_CANCELLED : STATUS_SUCCESS) << i;
    }
    EXPECT_TRUE(power->completed);
    port->DeviceIsOpen = 0;
    EXPECT_EQ(port->PendingRequestCount, 1);
}

}  // namespace
