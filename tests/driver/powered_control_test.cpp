// Device controls that must reach the chip while the device sleeps: the caller's
// buffer is judged before anything is asked of the power manager, and a power-up
// that fails ends the control with the failure, the handler never running.
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

POWER_STATE Device(DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return s;
}

std::vector<uint8_t> Ulong(ULONG value) {
    return sim::Bytes(value);
}

// A filter above the port that refuses every power request, as one would that
// cannot bring its own part of the device up.
struct RefusingPowerFilter {
    sim::SimDriver* driver = sim::CreateSimDriver("power-refusing filter");
    PDEVICE_OBJECT device = sim::CreateSimDevice(driver, u"", 0);
    PDEVICE_OBJECT below;
    RefusingPowerFilter(PDEVICE_OBJECT fdo, NTSTATUS refusal) : below(fdo) {
        device->Flags |= DO_POWER_PAGABLE;
        sim::SetSimDispatch(driver, IRP_MJ_POWER, [refusal](PDEVICE_OBJECT, PIRP irp) {
            PoStartNextPowerIrp(irp);
            irp->IoStatus.Status = refusal;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return refusal;
        });
        // Everything else goes on to the port untouched.
        for (UCHAR major : {IRP_MJ_DEVICE_CONTROL, IRP_MJ_PNP}) {
            sim::SetSimDispatch(driver, major, [fdo](PDEVICE_OBJECT, PIRP irp) {
                IoSkipCurrentIrpStackLocation(irp);
                return IoCallDriver(fdo, irp);
            });
        }
        IoAttachDeviceToDeviceStack(device, fdo);
    }
    ~RefusingPowerFilter() {
        IoDetachDevice(below);
        sim::DeleteSimDevice(device);
    }
};

class PoweredControlTest : public SimTest {
  protected:
    void SetUp() override {
        adapter = &bench.AddAdapter();
        ASSERT_EQ(adapter->Plug(), STATUS_SUCCESS);
        port = adapter->Port();
        port->DeviceIsOpen = 1;
        ASSERT_EQ(sim::SendPowerIrp(adapter->Pdo(), IRP_MN_SET_POWER, DevicePowerState,
                                    Device(PowerDeviceD3))
                      ->status,
                  STATUS_SUCCESS);
        ASSERT_EQ(port->DevicePowerState, PowerDeviceD3);
        adapter->Capture().Clear();
    }
    void TearDown() override {
        if (port) {
            port->DeviceIsOpen = 0;
            EXPECT_EQ(port->PendingRequestCount, 1);
        }
        SimTest::TearDown();
    }
    sim::IrpHandle Control(ULONG code, std::vector<uint8_t> input) {
        return sim::DeviceIoControl(adapter->Fdo(), code, std::move(input), 0);
    }

    sim::Workbench bench;
    sim::Adapter* adapter = nullptr;
    PortExtension* port = nullptr;
};

TEST_F(PoweredControlTest, ABufferTooShortIsRefusedBeforeThePowerUp) {
    struct Case {
        const char* what;
        ULONG code;
        std::vector<uint8_t> input;
        NTSTATUS expected;
    };
    const Case cases[] = {
        // The baud rate looks at the length first.
        {"baud rate, no buffer", IOCTL_SERIAL_SET_BAUD_RATE, {}, STATUS_BUFFER_TOO_SMALL},
        {"baud rate, 3 bytes",
         IOCTL_SERIAL_SET_BAUD_RATE,
         {0x80, 0x25, 0},
         STATUS_BUFFER_TOO_SMALL},
        {"line control, no buffer", IOCTL_SERIAL_SET_LINE_CONTROL, {}, STATUS_INVALID_PARAMETER},
        {"line control, 2 bytes", IOCTL_SERIAL_SET_LINE_CONTROL, {0, 0}, STATUS_BUFFER_TOO_SMALL},
        {"modem control, no buffer", IOCTL_SERIAL_SET_MODEM_CONTROL, {}, STATUS_INVALID_PARAMETER},
        {"modem control, 3 bytes",
         IOCTL_SERIAL_SET_MODEM_CONTROL,
         {3, 0, 0},
         STATUS_BUFFER_TOO_SMALL},
        {"FIFO control, no buffer", IOCTL_SERIAL_SET_FIFO_CONTROL, {}, STATUS_INVALID_PARAMETER},
        {"FIFO control, 1 byte", IOCTL_SERIAL_SET_FIFO_CONTROL, {1}, STATUS_BUFFER_TOO_SMALL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = Control(c.code, c.input);
        ASSERT_TRUE(r->completed);
        EXPECT_EQ(r->status, c.expected);
        EXPECT_EQ(r->information, 0u);
    }
    EXPECT_TRUE(sim::DevicePowerRequests().empty()) << "no power-up for a request refused anyway";
    EXPECT_EQ(port->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(adapter->Usb().PowerState(), PowerDeviceD3);
    EXPECT_TRUE(adapter->Capture().Records().empty());
}

TEST_F(PoweredControlTest, AFailedPowerUpIsTheControlsAnswerAndNothingReachesTheChip) {
    const ULONG baud = port->CurrentBaud;
    const USHORT lines = port->ControlLineState;
    struct Case {
        ULONG code;
        std::vector<uint8_t> input;
    };
    const Case cases[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, Ulong(9600)},
        {IOCTL_SERIAL_SET_BREAK_ON, {}},
        {IOCTL_SERIAL_SET_BREAK_OFF, {}},
        {IOCTL_SERIAL_SET_DTR, {}},
        {IOCTL_SERIAL_CLR_DTR, {}},
        {IOCTL_SERIAL_SET_RTS, {}},
        {IOCTL_SERIAL_CLR_RTS, {}},
        {IOCTL_SERIAL_SET_MODEM_CONTROL, Ulong(0x0003)},
        {IOCTL_SERIAL_SET_FIFO_CONTROL, Ulong(0x00C1)},
    };
    {
        RefusingPowerFilter filter(adapter->Fdo(), STATUS_DEVICE_POWER_FAILURE);
        // A short buffer is still the answer: the power-up is not even tried.
        auto shortBuffer = Control(IOCTL_SERIAL_SET_MODEM_CONTROL, {3, 0});
        EXPECT_EQ(shortBuffer->status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_TRUE(sim::DevicePowerRequests().empty());
        size_t requests = 0;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.code);
            auto r = Control(c.code, c.input);
            ASSERT_TRUE(r->completed);
            EXPECT_EQ(r->status, STATUS_DEVICE_POWER_FAILURE);
            EXPECT_EQ(r->information, 0u);
            ASSERT_EQ(sim::DevicePowerRequests().size(), ++requests) << "one power-up asked for";
            const sim::DevicePowerRequest& d0 = sim::DevicePowerRequests().back();
            EXPECT_EQ(d0.state.DeviceState, PowerDeviceD0);
            EXPECT_TRUE(d0.completed);
            EXPECT_EQ(d0.status, STATUS_DEVICE_POWER_FAILURE);
        }
    }
    EXPECT_EQ(port->DevicePowerState, PowerDeviceD3) << "the request never reached the port";
    EXPECT_TRUE(adapter->Capture().Records().empty()) << "nothing was sent to a sleeping chip";
    EXPECT_EQ(port->CurrentBaud, baud);
    EXPECT_EQ(port->ControlLineState, lines);
    EXPECT_EQ(port->TxHoldReasons, 0u) << "no break hold without the break";

    // With the power-up possible again the same control goes through the frame.
    auto r = Control(IOCTL_SERIAL_SET_DTR, {});
    ASSERT_TRUE(r->completed);
    EXPECT_NE(r->status, STATUS_DEVICE_POWER_FAILURE);
    EXPECT_EQ(port->DevicePowerState, PowerDeviceD0);
}

}  // namespace
