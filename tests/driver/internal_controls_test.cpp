// The internal device controls as a driver stacked above the port sends them:
// wake-up armed with a real wait-wake request on the bus (a ring or data on a
// sleeping port wakes the system; cancel, close and removal end the request),
// the basic configuration and its restore, refused records and buffers that
// change nothing, and codes the handler does not serve.
#include "tests/support/sim_fixture.h"

#include <sim/files.h>
#include <sim/io.h>
#include <sim/kernel_client.h>
#include <sim/power.h>
#include <sim/workbench/workbench.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "control/control.h"
#include "driver/driver.h"

namespace {

using sim::kMillisecond;
using simtest::SimTest;

SERIAL_BASIC_SETTINGS Record(const std::vector<uint8_t>& bytes) {
    SERIAL_BASIC_SETTINGS record{};
    std::memcpy(&record, bytes.data(), std::min(bytes.size(), sizeof(record)));
    return record;
}

bool SameHandFlow(const SERIAL_HANDFLOW& a, const SERIAL_HANDFLOW& b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}
bool SameTimeouts(const SERIAL_TIMEOUTS& a, const SERIAL_TIMEOUTS& b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

// The wait-wake requests the port asked the power manager for.
std::vector<sim::DevicePowerRequest> WaitWakeRequests() {
    std::vector<sim::DevicePowerRequest> out;
    for (const sim::DevicePowerRequest& r : sim::DevicePowerRequests())
        if (r.minor == IRP_MN_WAIT_WAKE)
            out.push_back(r);
    return out;
}

class InternalControlsTest : public SimTest {
  protected:
    sim::Adapter& Plugged(sim::AdapterOptions options = {}) {
        sim::Adapter& adapter = bench.AddAdapter(options);
        EXPECT_EQ(adapter.Plug(), STATUS_SUCCESS);
        return adapter;
    }
    static sim::KernelRequestResult Send(sim::Adapter& adapter, ULONG code,
                                         const std::vector<uint8_t>& input = {},
                                         ULONG outputLength = 0) {
        return sim::KernelClient(adapter.Fdo()).InternalDeviceControl(code, input, outputLength);
    }
    static void ExpectIdle(const PortExtension* port) {
        EXPECT_EQ(port->PendingRequestCount, 1);
        EXPECT_EQ(port->DeferredWorkCount, 1);
    }
    sim::File OpenPort() {
        NTSTATUS status;
        sim::File file = sim::File::Open(u"\\\\.\\COM3", &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return file;
    }

    sim::Workbench bench;
};

// --- Wake-up ---------------------------------------------------------------------

TEST_F(InternalControlsTest, ARingOrDataOnASleepingPortWakesTheSystemThroughTheWaitWakeRequest) {
    sim::Adapter& adapter = Plugged();  // the bus reports wake-up from S3, device D2
    PortExtension* port = adapter.Port();
    sim::ScriptedPeer& peer = adapter.AttachPeer();
    // An application has the port open, so its receiver runs; the client
    // stacked above needs no handle of its own.
    sim::File file = OpenPort();
    SERIAL_BAUD_RATE rate{9600};
    ASSERT_EQ(file.DeviceIoControl(IOCTL_SERIAL_SET_BAUD_RATE, sim::Bytes(rate))->Status(),
              STATUS_SUCCESS);

    struct Case {
        const char* what;
        std::function<void()> activity;
    };
    const Case cases[] = {
        {"a ring from the peer",
         [&] {
             peer.SetLines(sim::PeerLines{true, true, true, true});
         }},
        {"data from the peer",
         [&] {
             peer.Send({0x41, 0x42});
         }},
    };
    uint64_t wakes = sim::SystemWakesByDevice();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        peer.SetLines(sim::PeerLines{true, true, true, false});
        const size_t before = WaitWakeRequests().size();
        sim::KernelRequestResult armed = Send(adapter, IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE);
        EXPECT_EQ(armed.status, STATUS_SUCCESS);
        EXPECT_EQ(armed.information, 0u);
        EXPECT_EQ(port->WakeEnabled, 1);
        ASSERT_EQ(WaitWakeRequests().size(), before + 1);
        EXPECT_FALSE(WaitWakeRequests().back().completed) << "pending on the bus";
        EXPECT_EQ(WaitWakeRequests().back().target, adapter.Pdo());
        EXPECT_TRUE(adapter.Chip().RemoteWakeupEnabled()) << "the bus armed the chip";
        ExpectIdle(port);

        sim::PowerTransition sleep = sim::SleepSystem(adapter.Pdo(), PowerSystemSleeping3);
        EXPECT_EQ(sleep.set, STATUS_SUCCESS);
        ASSERT_EQ(sleep.deviceRequests.size(), 1u);
        EXPECT_EQ(sleep.deviceRequests[0].state.DeviceState, PowerDeviceD2)
            << "only as deep as the device can still wake the system from";
        EXPECT_TRUE(adapter.Chip().Suspended());
        sim_.RunFor(50 * kMillisecond);
        EXPECT_EQ(sim::CurrentSystemPowerState(), PowerSystemSleeping3) << "nothing happened yet";

        c.activity();
        sim_.RunUntil([&] { return sim::SystemWakesByDevice() > wakes; }, 2000 * kMillisecond);
        EXPECT_EQ(sim::SystemWakesByDevice(), wakes + 1);
        wakes = sim::SystemWakesByDevice();
        const sim::DevicePowerRequest request = WaitWakeRequests().back();
        EXPECT_TRUE(request.completed);
        EXPECT_EQ(request.status, STATUS_SUCCESS);
        EXPECT_EQ(sim::CurrentSystemPowerState(), PowerSystemWorking);
        EXPECT_EQ(port->DevicePowerState, PowerDeviceD0);
        EXPECT_FALSE(adapter.Chip().Suspended());
        EXPECT_EQ(port->WaitWakeIrp, nullptr);
        EXPECT_EQ(port->WaitWakeOutstanding, 0);
        sim_.RunFor(50 * kMillisecond);
        ExpectIdle(port);
    }
    EXPECT_EQ(adapter.Chip().RemoteWakeups(), 2u);
    EXPECT_EQ(file.Close(), STATUS_SUCCESS);
}

// The chip signals resume whenever its remote wake-up is armed (the driver's
// start arms it); only a pending wait-wake request turns that into a system wake.
TEST_F(InternalControlsTest, WithoutAWaitWakeRequestActivityLeavesTheSystemAsleep) {
    sim::Adapter& adapter = Plugged();
    sim::ScriptedPeer& peer = adapter.AttachPeer();
    sim::PowerTransition sleep = sim::SleepSystem(adapter.Pdo(), PowerSystemSleeping3);
    ASSERT_EQ(sleep.deviceRequests.size(), 1u);
    EXPECT_EQ(sleep.deviceRequests[0].state.DeviceState, PowerDeviceD3);
    peer.SetLines(sim::PeerLines{true, true, true, true});
    peer.Send({0x41});
    sim_.RunFor(500 * kMillisecond);
    EXPECT_EQ(adapter.Chip().RemoteWakeups(), 1u) << "the chip did signal";
    EXPECT_EQ(sim::CurrentSystemPowerState(), PowerSystemSleeping3);
    EXPECT_EQ(sim::SystemWakesByDevice(), 0u);
    EXPECT_EQ(sim::WakeSystem(adapter.Pdo()).set, STATUS_SUCCESS);
}

TEST_F(InternalControlsTest, CancelCloseAndRemovalEndThePendingWaitWake) {
    sim::Adapter& adapter = Plugged();
    PortExtension* port = adapter.Port();

    // Cancel: the request completes cancelled, wake-up is off, the chip disarmed.
    ASSERT_EQ(Send(adapter, IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(adapter, IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE).status, STATUS_SUCCESS);
    EXPECT_EQ(WaitWakeRequests().size(), 1u) << "a second enable asks for no second request";
    sim::KernelRequestResult cancelled = Send(adapter, IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE);
    EXPECT_EQ(cancelled.status, STATUS_SUCCESS);
    sim_.RunUntilIdle();
    ASSERT_TRUE(WaitWakeRequests()[0].completed);
    EXPECT_EQ(WaitWakeRequests()[0].status, STATUS_CANCELLED);
    EXPECT_EQ(port->WakeEnabled, 0);
    EXPECT_EQ(port->WaitWakeIrp, nullptr);
    EXPECT_EQ(port->WaitWakeOutstanding, 0);
    EXPECT_EQ(Send(adapter, IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE).status, STATUS_SUCCESS)
        << "nothing pending is no failure";
    // Cancelled, the port sleeps in D3 again and a ring wakes nothing.
    sim::ScriptedPeer& peer = adapter.AttachPeer();
    sim::PowerTransition sleep = sim::SleepSystem(adapter.Pdo(), PowerSystemSleeping3);
    ASSERT_EQ(sleep.deviceRequests.size(), 1u);
    EXPECT_EQ(sleep.deviceRequests[0].state.DeviceState, PowerDeviceD3);
    peer.SetLines(sim::PeerLines{true, true, true, true});
    sim_.RunFor(500 * kMillisecond);
    EXPECT_EQ(sim::CurrentSystemPowerState(), PowerSystemSleeping3);
    EXPECT_EQ(sim::WakeSystem(adapter.Pdo()).set, STATUS_SUCCESS);

    // Close: the handle's close clears wake-up and ends the request.
    sim::File file = OpenPort();
    ASSERT_EQ(Send(adapter, IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE).status, STATUS_SUCCESS);
    ASSERT_EQ(WaitWakeRequests().size(), 2u);
    EXPECT_EQ(file.Close(), STATUS_SUCCESS);
    sim_.RunUntilIdle();
    EXPECT_TRUE(WaitWakeRequests()[1].completed);
    EXPECT_EQ(WaitWakeRequests()[1].status, STATUS_CANCELLED);
    EXPECT_EQ(port->WakeEnabled, 0);
    EXPECT_EQ(port->WaitWakeIrp, nullptr);
    ExpectIdle(port);

    // Removal: the request ends before the port is deleted (the verifier
    // reports an IRP or callback that outlives it).
    ASSERT_EQ(Send(adapter, IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE).status, STATUS_SUCCESS);
    ASSERT_EQ(WaitWakeRequests().size(), 3u);
    EXPECT_EQ(adapter.Remove(), STATUS_SUCCESS);
    EXPECT_TRUE(WaitWakeRequests()[2].completed);
    EXPECT_FALSE(NT_SUCCESS(WaitWakeRequests()[2].status));
}

// The ring's wake-up and a cancel meet: whichever wins, the request ends once
// (success and a system wake, or cancelled), nobody touches it after, and the
// port is left with no request and no callback to come. PCT seeds vary who wins.
TEST_F(InternalControlsTest, ACancelRacingTheWakeUpEndsTheRequestOnce) {
    sim::Adapter& adapter = Plugged();
    PortExtension* port = adapter.Port();
    sim::ScriptedPeer& peer = adapter.AttachPeer();
    ASSERT_EQ(Send(adapter, IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE).status, STATUS_SUCCESS);
    ASSERT_EQ(sim::SleepSystem(adapter.Pdo(), PowerSystemSleeping3).set, STATUS_SUCCESS);
    peer.SetLines(sim::PeerLines{true, true, true, true});
    EXPECT_EQ(Send(adapter, IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE).status, STATUS_SUCCESS);
    sim_.RunFor(500 * kMillisecond);
    ASSERT_EQ(WaitWakeRequests().size(), 1u);
    const sim::DevicePowerRequest request = WaitWakeRequests()[0];
    ASSERT_TRUE(request.completed);
    EXPECT_TRUE(request.status == STATUS_SUCCESS || request.status == STATUS_CANCELLED)
        << std::hex << request.status;
    EXPECT_EQ(port->WaitWakeIrp, nullptr);
    EXPECT_EQ(port->WaitWakeOutstanding, 0);
    EXPECT_EQ(port->WakeEnabled, 0);
    if (request.status == STATUS_SUCCESS) {
        EXPECT_EQ(sim::CurrentSystemPowerState(), PowerSystemWorking);
    } else {
        EXPECT_EQ(sim::WakeSystem(adapter.Pdo()).set, STATUS_SUCCESS);
    }
    ExpectIdle(port);
    EXPECT_EQ(adapter.Remove(), STATUS_SUCCESS);
}

TEST_F(InternalControlsTest, WakeUpIsRefusedWhereTheDeviceCannotWakeTheSystem) {
    struct Case {
        const char* what;
        SYSTEM_POWER_STATE systemWake;
        DEVICE_POWER_STATE deviceWake;
        NTSTATUS expected;
    };
    const Case cases[] = {
        // No sleeping state keeps the device where it can wake from.
        {"no device wake state", PowerSystemSleeping3, PowerDeviceUnspecified,
         STATUS_NOT_SUPPORTED},
        {"wakes only from D0", PowerSystemSleeping3, PowerDeviceD0, STATUS_NOT_SUPPORTED},
        // The capabilities allow it, the bus does not: wake-up stays off.
        {"the bus wakes from no sleeping state", PowerSystemUnspecified, PowerDeviceD2,
         STATUS_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::AdapterOptions options;
        options.usb.capabilities.systemWake = c.systemWake;
        options.usb.capabilities.deviceWake = c.deviceWake;
        sim::Adapter& adapter = Plugged(options);
        EXPECT_EQ(Send(adapter, IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE).status, c.expected);
        EXPECT_EQ(adapter.Port()->WakeEnabled, 0);
        EXPECT_EQ(adapter.Port()->WaitWakeIrp, nullptr);
        EXPECT_EQ(adapter.Port()->WaitWakeOutstanding, 0);
        ExpectIdle(adapter.Port());
        EXPECT_EQ(adapter.Remove(), STATUS_SUCCESS);
    }
}

// --- Basic settings and restore -----------------------------------------------------

// A driver above is turned away like an application: while an error waits to
// be read under error abort, and once the adapter is pulled out.
TEST_F(InternalControlsTest, InternalControlsAreRefusedUnderAPendingErrorAbortAndAfterRemoval) {
    sim::Adapter& adapter = Plugged();
    PortExtension* port = adapter.Port();
    sim::File file = OpenPort();
    SERIAL_HANDFLOW flow = port->HandFlow;
    flow.ControlHandShake |= SERIAL_ERROR_ABORT;
    ASSERT_EQ(file.DeviceIoControl(IOCTL_SERIAL_SET_HANDFLOW, sim::Bytes(flow))->Status(), STATUS_SUCCESS);
    port->ErrorFlags = SERIAL_ERROR_FRAMING;
    const ULONG size = sizeof(SERIAL_BASIC_SETTINGS);
    EXPECT_EQ(Send(adapter, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, size).status, STATUS_CANCELLED);
    ASSERT_EQ(file.DeviceIoControl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS))->Status(),
              STATUS_SUCCESS);
    sim::KernelRequestResult basic = Send(adapter, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, size);
    EXPECT_EQ(basic.status, STATUS_SUCCESS) << "the status was read";
    ASSERT_EQ(Send(adapter, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, basic.output).status, STATUS_SUCCESS);
    ExpectIdle(port);
    file.Close();

    ASSERT_EQ(adapter.SurpriseRemove(false), STATUS_SUCCESS);
    EXPECT_EQ(Send(adapter, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, size).status, STATUS_DELETE_PENDING);
}

TEST_F(InternalControlsTest, BasicSettingsThenRestoreRoundTripsTimeoutsAndHandFlow) {
    sim::Adapter& adapter = Plugged();
    PortExtension* port = adapter.Port();
    sim::ScriptedPeer& peer = adapter.AttachPeer();
    sim::File file = OpenPort();
    SERIAL_TIMEOUTS timeouts{7, 11, 13, 17, 19};
    ASSERT_EQ(file.DeviceIoControl(IOCTL_SERIAL_SET_TIMEOUTS, sim::Bytes(timeouts))->Status(),
              STATUS_SUCCESS);
    SERIAL_HANDFLOW flow{};
    flow.ControlHandShake = SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE;
    flow.FlowReplace = SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT;
    flow.XonLimit = 100;
    flow.XoffLimit = 50;
    ASSERT_EQ(file.DeviceIoControl(IOCTL_SERIAL_SET_HANDFLOW, sim::Bytes(flow))->Status(),
              STATUS_SUCCESS);
    sim_.RunFor(10 * kMillisecond);
    ASSERT_TRUE(peer.ChipDtr());
    ASSERT_TRUE(peer.ChipRts());
    const SERIAL_HANDFLOW before = port->HandFlow;

    sim::KernelRequestResult basic =
        Send(adapter, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, sizeof(SERIAL_BASIC_SETTINGS));
    ASSERT_EQ(basic.status, STATUS_SUCCESS);
    EXPECT_EQ(basic.information, sizeof(SERIAL_BASIC_SETTINGS));
    const SERIAL_BASIC_SETTINGS saved = Record(basic.output);
    EXPECT_TRUE(SameTimeouts(saved.Timeouts, timeouts));
    EXPECT_TRUE(SameHandFlow(saved.HandFlow, before));
    EXPECT_EQ(saved.RxFifo, port->RxFifoSetting);
    EXPECT_EQ(saved.TxFifo, port->TxFifoSetting);
    // The basic configuration: no time-outs, no handshake or flow control.
    const SERIAL_TIMEOUTS none{};
    const SERIAL_HANDFLOW noFlow{};
    EXPECT_TRUE(SameTimeouts(port->Timeouts, none));
    EXPECT_TRUE(SameHandFlow(port->HandFlow, noFlow));
    sim_.RunFor(10 * kMillisecond);
    EXPECT_FALSE(peer.ChipDtr());
    EXPECT_FALSE(peer.ChipRts());

    sim::KernelRequestResult restored =
        Send(adapter, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, sim::Bytes(saved));
    EXPECT_EQ(restored.status, STATUS_SUCCESS);
    EXPECT_EQ(restored.information, 0u);
    EXPECT_TRUE(SameTimeouts(port->Timeouts, timeouts));
    EXPECT_TRUE(SameHandFlow(port->HandFlow, before));
    EXPECT_EQ(port->WmiCommInfo.XonXmitThreshold, 100u);
    EXPECT_EQ(port->WmiCommInfo.XoffXmitThreshold, 50u);
    sim_.RunFor(10 * kMillisecond);
    EXPECT_TRUE(peer.ChipDtr());
    EXPECT_TRUE(peer.ChipRts());
    // The public codes read back what was restored.
    auto handFlowRead =
        file.DeviceIoControl(IOCTL_SERIAL_GET_HANDFLOW, {}, sizeof(SERIAL_HANDFLOW));
    ASSERT_EQ(handFlowRead->Status(), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(handFlowRead->buffer.data(), &before, sizeof(before)), 0);
    EXPECT_EQ(file.Close(), STATUS_SUCCESS);
    ExpectIdle(port);
}

TEST_F(InternalControlsTest, RefusedRecordsAndShortBuffersChangeNothing) {
    sim::Adapter& adapter = Plugged();
    PortExtension* port = adapter.Port();
    sim::File file = OpenPort();
    SERIAL_BASIC_SETTINGS good{};
    good.Timeouts = {1, 2, 3, 4, 5};
    good.HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    good.HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    good.HandFlow.XonLimit = 10;
    good.HandFlow.XoffLimit = 20;
    ASSERT_EQ(Send(adapter, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, sim::Bytes(good)).status,
              STATUS_SUCCESS);
    const SERIAL_TIMEOUTS timeouts = port->Timeouts;
    const SERIAL_HANDFLOW flow = port->HandFlow;
    sim_.RunFor(10 * kMillisecond);
    const size_t urbs = adapter.Capture().Records().size();

    struct Case {
        const char* what;
        ULONG code;
        std::vector<uint8_t> input;
        ULONG outputLength;
        NTSTATUS expected;
    };
    auto with = [&](auto change) {
        SERIAL_BASIC_SETTINGS r = good;
        change(r);
        return sim::Bytes(r);
    };
    std::vector<uint8_t> short43 = sim::Bytes(good);
    short43.resize(43);
    const Case cases[] = {
        {"read time-outs all MAXULONG", IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS,
         with([](SERIAL_BASIC_SETTINGS& r) {
             r.Timeouts.ReadIntervalTimeout = r.Timeouts.ReadTotalTimeoutMultiplier =
                 r.Timeouts.ReadTotalTimeoutConstant = MAXULONG;
         }),
         0, STATUS_INVALID_PARAMETER},
        {"invalid handshake bits", IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS,
         with([](SERIAL_BASIC_SETTINGS& r) {
             r.HandFlow.ControlHandShake = SERIAL_CONTROL_INVALID;
         }),
         0, STATUS_INVALID_PARAMETER},
        {"both DTR modes", IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS,
         with([](SERIAL_BASIC_SETTINGS& r) { r.HandFlow.ControlHandShake = SERIAL_DTR_MASK; }), 0,
         STATUS_INVALID_PARAMETER},
        {"invalid flow bits", IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS,
         with([](SERIAL_BASIC_SETTINGS& r) { r.HandFlow.FlowReplace = SERIAL_FLOW_INVALID; }), 0,
         STATUS_INVALID_PARAMETER},
        {"XOFF limit beyond the ring", IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS,
         with([&](SERIAL_BASIC_SETTINGS& r) {
             r.HandFlow.XoffLimit = static_cast<LONG>(port->ReceiveBufferSize + 1);
         }),
         0, STATUS_INVALID_PARAMETER},
        {"negative XON limit", IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS,
         with([](SERIAL_BASIC_SETTINGS& r) { r.HandFlow.XonLimit = -1; }), 0,
         STATUS_INVALID_PARAMETER},
        {"restore of 43 bytes", IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, short43, 0,
         STATUS_BUFFER_TOO_SMALL},
        {"restore without a buffer",
         IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS,
         {},
         0,
         STATUS_INVALID_PARAMETER},
        {"basic settings into 43 bytes",
         IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS,
         {},
         43,
         STATUS_BUFFER_TOO_SMALL},
        {"basic settings without a buffer",
         IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS,
         {},
         0,
         STATUS_INVALID_PARAMETER},
        // Codes the handler does not serve, a public one included: the internal
        // path never reaches the public table.
        {"an internal code beyond the four",
         CTL_CODE(FILE_DEVICE_SERIAL_PORT, 5, METHOD_BUFFERED, FILE_ANY_ACCESS),
         {},
         0,
         STATUS_INVALID_PARAMETER},
        {"a public code sent internally",
         IOCTL_SERIAL_GET_BAUD_RATE,
         {},
         sizeof(SERIAL_BAUD_RATE),
         STATUS_INVALID_PARAMETER},
        {"a public setter sent internally", IOCTL_SERIAL_SET_TIMEOUTS,
         std::vector<uint8_t>(sizeof(SERIAL_TIMEOUTS), 0), 0, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::KernelRequestResult r = Send(adapter, c.code, c.input, c.outputLength);
        EXPECT_EQ(r.status, c.expected);
        EXPECT_EQ(r.information, 0u);
        EXPECT_TRUE(SameTimeouts(port->Timeouts, timeouts));
        EXPECT_TRUE(SameHandFlow(port->HandFlow, flow));
        EXPECT_EQ(port->WakeEnabled, 0);
        sim_.RunFor(5 * kMillisecond);
        EXPECT_EQ(adapter.Capture().Records().size(), urbs) << "nothing was sent to the chip";
    }
    EXPECT_EQ(file.Close(), STATUS_SUCCESS);
    ExpectIdle(port);
}

TEST_F(InternalControlsTest, ServedOnAPortNoHandleOpenedAndOnASleepingOneWithoutPoweringItUp) {
    sim::Adapter& adapter = Plugged();
    PortExtension* port = adapter.Port();
    ASSERT_EQ(port->DeviceIsOpen, 0);
    sim::KernelRequestResult basic =
        Send(adapter, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, sizeof(SERIAL_BASIC_SETTINGS));
    ASSERT_EQ(basic.status, STATUS_SUCCESS);
    EXPECT_EQ(Send(adapter, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, basic.output).status,
              STATUS_SUCCESS)
        << "the record of a port never opened is taken back as it is";

    ASSERT_EQ(sim::SleepSystem(adapter.Pdo(), PowerSystemSleeping3).set, STATUS_SUCCESS);
    const size_t requests = sim::DevicePowerRequests().size();
    EXPECT_EQ(Send(adapter, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, sizeof(SERIAL_BASIC_SETTINGS))
                  .status,
              STATUS_SUCCESS);
    EXPECT_EQ(Send(adapter, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, basic.output).status,
              STATUS_SUCCESS);
    EXPECT_EQ(sim::DevicePowerRequests().size(), requests) << "no power-up was asked for";
    EXPECT_EQ(port->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(sim::WakeSystem(adapter.Pdo()).set, STATUS_SUCCESS);
    ExpectIdle(port);
}

}  // namespace
