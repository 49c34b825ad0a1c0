// Power on a simulated adapter: the system's sleep and wake followed with D3 and
// D0, the settings and continuous transfers restored on the way back, requests
// held while a stop is pending, the wake-armed query rule, a failed power-up,
// and powered device controls. Every test ends with the driver unloaded, no pool
// left, the port's counters idle and the verifier silent, PoStartNextPowerIrp
// and PoCallDriver discipline included.
#include "tests/support/sim_fixture.h"

#include <sim/pnp.h>
#include <sim/pool.h>
#include <sim/power.h>
#include <sim/workbench/workbench.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "control/control.h"
#include "datapath/datapath.h"
#include "usb/usb.h"

namespace {

using sim::kMillisecond;
using sim::PowerEvent;
using sim::PowerEventKind;
using simtest::SimTest;

POWER_STATE Device(DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return s;
}

POWER_STATE System(SYSTEM_POWER_STATE state) {
    POWER_STATE s;
    s.SystemState = state;
    return s;
}

// Position in the power log of the first event from `from` on that matches, or
// the log's size.
size_t FindEvent(const std::function<bool(const PowerEvent&)>& match, size_t from = 0) {
    const auto& log = sim::PowerLog();
    for (size_t i = from; i < log.size(); ++i)
        if (match(log[i]))
            return i;
    return log.size();
}

bool Reached(uint64_t irp, PDEVICE_OBJECT device) {
    return FindEvent([&](const PowerEvent& e) {
               return e.kind == PowerEventKind::Delivered && e.irp == irp && e.device == device;
           }) < sim::PowerLog().size();
}

// The chip's vendor and class requests, compactly: bmRequestType, bRequest,
// wValue, wIndex, and for SET_LINE_CODING the record it carried.
struct ChipRequest {
    std::string text;
    sim::Ticks completed;
};
std::vector<ChipRequest> ChipRequests(const sim::UsbCapture& capture) {
    std::vector<ChipRequest> out;
    for (const sim::UrbRecord& r : capture.Records()) {
        if (!r.hasSetup || !(r.setup.bmRequestType & 0x60))
            continue;
        char buf[96];
        std::snprintf(buf, sizeof buf, "%02x %02x %04x %04x", r.setup.bmRequestType,
                      r.setup.bRequest, r.setup.wValue, r.setup.wIndex);
        std::string text = buf;
        if (r.setup.bmRequestType == 0x21 && r.setup.bRequest == 0x20 && r.data.size() == 7) {
            const unsigned rate =
                r.data[0] | r.data[1] << 8 | r.data[2] << 16 | unsigned(r.data[3]) << 24;
            std::snprintf(buf, sizeof buf, " rate %u stop %u parity %u data %u", rate, r.data[4],
                          r.data[5], r.data[6]);
            text += buf;
        }
        out.push_back({text, r.completed});
    }
    return out;
}

size_t FindRequest(const std::vector<ChipRequest>& requests, const std::string& prefix,
                   size_t from = 0) {
    for (size_t i = from; i < requests.size(); ++i)
        if (requests[i].text.compare(0, prefix.size(), prefix) == 0)
            return i;
    return requests.size();
}

class PowerTest : public SimTest {
  protected:
    sim::Adapter& Plugged(sim::AdapterOptions options = {}) {
        sim::Adapter& adapter = bench.AddAdapter(options);
        EXPECT_EQ(adapter.Plug(), STATUS_SUCCESS);
        sim::ClearPowerLog();
        return adapter;
    }
    // Every hold a power request took is back, and no system request waits.
    static void ExpectIdle(const PortExtension* port) {
        EXPECT_EQ(port->PendingRequestCount, 1);
        EXPECT_EQ(port->DeferredWorkCount, 1);
        EXPECT_EQ(port->PendingSystemPowerIrp, nullptr);
    }
    static void SleepAndWake(sim::Adapter& adapter) {
        EXPECT_EQ(sim::SleepSystem(adapter.Pdo(), PowerSystemSleeping3).set, STATUS_SUCCESS);
        EXPECT_EQ(sim::WakeSystem(adapter.Pdo()).set, STATUS_SUCCESS);
    }

    sim::Workbench bench;
};

// --- Sleep and wake ---------------------------------------------------------------

TEST_F(PowerTest, SleepRequestsD3AndSendsTheSystemRequestOnOnlyFromItsCallback) {
    sim::Adapter& adapter = Plugged();
    PortExtension* port = adapter.Port();
    PDEVICE_OBJECT fdo = adapter.Fdo();
    PDEVICE_OBJECT pdo = adapter.Pdo();
    EXPECT_EQ(sim::ReportedDevicePowerState(fdo), PowerDeviceD0) << "a start reports D0";

    sim::PowerTransition t = sim::SleepSystem(pdo, PowerSystemSleeping3);
    EXPECT_EQ(t.query, STATUS_SUCCESS);
    EXPECT_FALSE(t.refused);
    EXPECT_EQ(t.set, STATUS_SUCCESS);
    ASSERT_EQ(t.deviceRequests.size(), 1u);
    const sim::DevicePowerRequest& d3 = t.deviceRequests[0];
    EXPECT_EQ(d3.target, pdo);
    EXPECT_EQ(d3.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(d3.state.DeviceState, PowerDeviceD3);
    EXPECT_TRUE(d3.completed);
    EXPECT_EQ(d3.status, STATUS_SUCCESS);
    EXPECT_EQ(port->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(adapter.Usb().PowerState(), PowerDeviceD3);
    EXPECT_EQ(sim::ReportedDevicePowerState(fdo), PowerDeviceD3);

    auto systemSet = [](const PowerEvent& e) {
        return e.kind == PowerEventKind::Delivered && e.minor == IRP_MN_SET_POWER &&
               e.type == SystemPowerState && e.state == PowerSystemSleeping3;
    };
    const size_t atPort =
        FindEvent([&](const PowerEvent& e) { return systemSet(e) && e.device == fdo; });
    const size_t requested = FindEvent([&](const PowerEvent& e) {
        return e.kind == PowerEventKind::Requested && e.irp == d3.irp;
    });
    const size_t deviceDone = FindEvent([&](const PowerEvent& e) {
        return e.kind == PowerEventKind::Completed && e.irp == d3.irp;
    });
    const size_t atBus =
        FindEvent([&](const PowerEvent& e) { return systemSet(e) && e.device == pdo; });
    ASSERT_LT(atBus, sim::PowerLog().size());
    EXPECT_LT(atPort, requested);
    EXPECT_LT(requested, deviceDone);
    EXPECT_LT(deviceDone, atBus) << "the system request waits for the device request";
    const size_t queryAtBus = FindEvent([&](const PowerEvent& e) {
        return e.kind == PowerEventKind::Delivered && e.minor == IRP_MN_QUERY_POWER &&
               e.device == pdo;
    });
    EXPECT_LT(queryAtBus, atPort) << "the system query goes straight down";
    ExpectIdle(port);
}

TEST_F(PowerTest, EverySleepingStateMeansD3AndWakingMeansD0) {
    sim::Adapter& adapter = Plugged();
    PortExtension* port = adapter.Port();
    for (SYSTEM_POWER_STATE state :
         {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3, PowerSystemHibernate}) {
        SCOPED_TRACE(sim::PowerStateName(SystemPowerState, state));
        sim::PowerTransition sleep = sim::SleepSystem(adapter.Pdo(), state);
        EXPECT_EQ(sleep.set, STATUS_SUCCESS);
        ASSERT_EQ(sleep.deviceRequests.size(), 1u);
        EXPECT_EQ(sleep.deviceRequests[0].state.DeviceState, PowerDeviceD3);
        EXPECT_EQ(port->DevicePowerState, PowerDeviceD3);
        EXPECT_EQ(adapter.Usb().PowerState(), PowerDeviceD3);
        EXPECT_EQ(sim::CurrentSystemPowerState(), state);
        ExpectIdle(port);

        sim::PowerTransition wake = sim::WakeSystem(adapter.Pdo());
        EXPECT_FALSE(wake.querySent);
        EXPECT_EQ(wake.set, STATUS_SUCCESS);
        ASSERT_EQ(wake.deviceRequests.size(), 1u);
        EXPECT_EQ(wake.deviceRequests[0].state.DeviceState, PowerDeviceD0);
        EXPECT_EQ(wake.deviceRequests[0].status, STATUS_SUCCESS);
        EXPECT_EQ(port->DevicePowerState, PowerDeviceD0);
        EXPECT_EQ(adapter.Usb().PowerState(), PowerDeviceD0);
        EXPECT_EQ(sim::ReportedDevicePowerState(adapter.Fdo()), PowerDeviceD0);
        ExpectIdle(port);
    }
    // A system state that needs no change of the device goes straight down.
    EXPECT_EQ(sim::SleepSystem(adapter.Pdo(), PowerSystemSleeping3).deviceRequests.size(), 1u);
    sim::PowerTransition deeper = sim::SleepSystem(adapter.Pdo(), PowerSystemHibernate);
    EXPECT_EQ(deeper.set, STATUS_SUCCESS);
    EXPECT_TRUE(deeper.deviceRequests.empty());
    EXPECT_EQ(sim::WakeSystem(adapter.Pdo()).deviceRequests.size(), 1u);
    ExpectIdle(port);
}

TEST_F(PowerTest, WakeSendsTheSettingsAgainInTheirOrder) {
    sim::AdapterOptions options;
    options.variant = 3;
    options.chip.configMemoryProgrammed = false;
    sim::Adapter& adapter = Plugged(options);
    PortExtension* port = adapter.Port();
    // What the device controls would have left: 57600 baud, 7 data bits, even
    // parity, both lines up, and every handshake the chip can do handed to it.
    port->LineCoding = {57600, 0, 2, 7};
    port->CurrentBaud = 57600;
    port->ControlLineState = 0x0003;
    port->RtsFlowInChip = 1;
    port->CtsFlowInChip = 1;
    port->DsrFlowInChip = 1;
    EXPECT_EQ(sim::SleepSystem(adapter.Pdo(), PowerSystemSleeping3).set, STATUS_SUCCESS);
    adapter.Capture().Clear();
    EXPECT_EQ(sim::WakeSystem(adapter.Pdo()).set, STATUS_SUCCESS);

    const std::vector<ChipRequest> sent = ChipRequests(adapter.Capture());
    const size_t defaults = FindRequest(sent, "40 01 0000 0001");
    const size_t dtr = FindRequest(sent, "21 22 0003");
    const size_t rts = FindRequest(sent, "21 22 0003", dtr + 1);
    const size_t slowest = FindRequest(sent, "21 20 0000 0000 rate 0 stop 0 parity 2 data 7");
    const size_t saved = FindRequest(sent, "21 20 0000 0000 rate 57600 stop 0 parity 2 data 7");
    const size_t handoff = FindRequest(sent, "c0 01 8080", saved);
    ASSERT_LT(handoff, sent.size());
    EXPECT_EQ(sent[defaults + 1].text, "40 01 0101 0000");
    EXPECT_EQ(sent[defaults + 2].text, "40 01 0202 0044");
    EXPECT_LT(defaults, dtr);
    EXPECT_LT(dtr, rts);
    EXPECT_LT(rts, slowest);
    EXPECT_EQ(slowest + 1, saved) << "the saved rate right after the detour";
    EXPECT_GE(sent[saved].completed - sent[slowest].completed, 50 * kMillisecond);
    EXPECT_LT(saved, handoff);
    EXPECT_EQ(sent.back().text.substr(0, 10), "40 01 0000") << "the hand-offs end with register 0";

    const sim::BridgeChip& chip = adapter.Chip();
    EXPECT_EQ(chip.Line().rateField, 57600u);
    EXPECT_EQ(chip.Line().parity, 2);
    EXPECT_EQ(chip.Line().dataBits, 7);
    EXPECT_TRUE(chip.Lines().dtr);
    EXPECT_TRUE(chip.Lines().rts);
    const sim::FlowControl flow = chip.DecodedFlowControl();
    EXPECT_TRUE(flow.transmitGatedByCts);
    EXPECT_TRUE(flow.transmitGatedByDsr);
    for (UCHAR reg = 0; reg < 3; ++reg)
        EXPECT_EQ(chip.Register(reg) & 0xFF, port->ChipRegisterShadow[reg])
            << "register " << int(reg);
    EXPECT_EQ(port->CurrentBaud, 57600u);
    ExpectIdle(port);
}

TEST_F(PowerTest, WakeOfAPortThatNeverHadARateSendsOnlyTheSlowestRow) {
    sim::Adapter& adapter = Plugged();
    PortExtension* port = adapter.Port();
    ASSERT_EQ(port->CurrentBaud, 0u);
    EXPECT_EQ(sim::SleepSystem(adapter.Pdo(), PowerSystemSleeping3).set, STATUS_SUCCESS);
    adapter.Capture().Clear();
    EXPECT_EQ(sim::WakeSystem(adapter.Pdo()).set, STATUS_SUCCESS);
    size_t lineCodings = 0;
    for (const ChipRequest& r : ChipRequests(adapter.Capture())) {
        if (r.text.compare(0, 5, "21 20") != 0)
            continue;
        ++lineCodings;
        EXPECT_NE(r.text.find("rate 0 "), std::string::npos) << r.text;
    }
    EXPECT_EQ(lineCodings, 1u) << "a rate of 0 is not sent a second time";
    EXPECT_EQ(port->CurrentBaud, 0u) << "baud 1 falls to the table's last row, whose rate is 0";
    ExpectIdle(port);
}

TEST_F(PowerTest, WakeRestartsTheReadersOnlyWhereNoneIsOutstanding) {
    sim::Adapter& adapter = Plugged();
    PortExtension* port = adapter.Port();
    sim::UsbDevice& usb = adapter.Usb();
    const uint8_t status = adapter.Chip().StatusEndpoint();
    const uint8_t bulkIn = adapter.Chip().BulkInEndpoint();
    ASSERT_EQ(usb.PendingUrbs(status) + usb.PendingUrbs(bulkIn), 0u) << "a start starts no reader";

    SleepAndWake(adapter);
    EXPECT_EQ(usb.PendingUrbs(status), 1u);
    EXPECT_EQ(usb.PendingUrbs(bulkIn), 1u);
    TransferContext* statusReader = port->TransferInFlight[StatusIn];
    TransferContext* receiveReader = port->TransferInFlight[BulkIn];
    ASSERT_NE(statusReader, nullptr);
    ASSERT_NE(receiveReader, nullptr);

    // A set-power to S0 that finds the device in D0 restores too, while the
    // readers run: they are left alone.
    EXPECT_EQ(sim::WakeSystem(adapter.Pdo()).set, STATUS_SUCCESS);
    EXPECT_EQ(port->TransferInFlight[StatusIn], statusReader) << "a running reader is left alone";
    EXPECT_EQ(port->TransferInFlight[BulkIn], receiveReader);
    EXPECT_EQ(usb.PendingUrbs(status), 1u);
    EXPECT_EQ(usb.PendingUrbs(bulkIn), 1u);

    // The bus cancels the readers when the device suspends; the wake starts one
    // of each again, never two.
    EXPECT_EQ(sim::SleepSystem(adapter.Pdo(), PowerSystemSleeping3).set, STATUS_SUCCESS);
    sim_.RunFor(5 * kMillisecond);
    EXPECT_EQ(usb.PendingUrbs(status) + usb.PendingUrbs(bulkIn), 0u);
    EXPECT_EQ(sim::WakeSystem(adapter.Pdo()).set, STATUS_SUCCESS);
    EXPECT_EQ(usb.PendingUrbs(status), 1u);
    EXPECT_EQ(usb.PendingUrbs(bulkIn), 1u);

    // Stopped readers, while flow control keeps the receive pipe unread: only the
    // status reader comes back; the hold's release restarts the other.
    CancelAllTransfers(port);
    sim_.RunFor(5 * kMillisecond);
    ASSERT_EQ(usb.PendingUrbs(status) + usb.PendingUrbs(bulkIn), 0u);
    port->RxHoldReasons = RX_HOLD_XOFF;
    SleepAndWake(adapter);
    EXPECT_EQ(usb.PendingUrbs(status), 1u);
    EXPECT_EQ(usb.PendingUrbs(bulkIn), 0u);
    port->RxHoldReasons = 0;
    ExpectIdle(port);
}

// The hub takes its time to bring a port back: what the wake sends to the chip
// must not go out before the device is in D0 again.
TEST_F(PowerTest, WakeTalksToTheChipOnlyOnceTheDeviceIsBackInD0) {
    sim::Adapter& adapter = Plugged();
    PortExtension* port = adapter.Port();
    adapter.Usb().SetPowerLatency(30 * kMillisecond);
    sim::PowerTransition sleep = sim::SleepSystem(adapter.Pdo(), PowerSystemSleeping3);
    EXPECT_EQ(sleep.set, STATUS_SUCCESS);
    EXPECT_EQ(adapter.Usb().PowerState(), PowerDeviceD3);
    adapter.Capture().Clear();
    sim::ClearPowerLog();

    sim::PowerTransition wake = sim::WakeSystem(adapter.Pdo());
    EXPECT_EQ(wake.set, STATUS_SUCCESS);
    ASSERT_EQ(wake.deviceRequests.size(), 1u);
    const size_t done = FindEvent([&](const PowerEvent& e) {
        return e.kind == PowerEventKind::Completed && e.irp == wake.deviceRequests[0].irp;
    });
    ASSERT_LT(done, sim::PowerLog().size());
    const sim::Ticks poweredAt = sim::PowerLog()[done].time;
    EXPECT_GE(poweredAt, 30 * kMillisecond);
    ASSERT_FALSE(adapter.Capture().Records().empty());
    for (const sim::UrbRecord& r : adapter.Capture().Records())
        EXPECT_GE(r.submitted, poweredAt) << sim::FormatUrbRecord(r);
    EXPECT_EQ(adapter.Usb().PowerState(), PowerDeviceD0);
    EXPECT_EQ(port->DevicePowerState, PowerDeviceD0);
    ExpectIdle(port);
}

// A bus that takes far too long to bring the port back holds the wake only so
// long: the system request's dispatch returns after a bounded wait, nothing is
// sent to a device that is not in D0, and the request goes on once the device
// request is done.
TEST_F(PowerTest, WakeWaitsForD0OnlySoLongAndThenSendsNothing) {
    sim::Adapter& adapter = Plugged();
    PortExtension* port = adapter.Port();
    ASSERT_EQ(sim::SleepSystem(adapter.Pdo(), PowerSystemSleeping3).set, STATUS_SUCCESS);
    adapter.Usb().SetPowerLatency(60 * sim::kSecond);
    adapter.Capture().Clear();

    const sim::Ticks start = sim_.Now();
    sim::PowerIrpHandle wake =
        sim::SendPowerIrp(adapter.Pdo(), IRP_MN_SET_POWER, SystemPowerState,
                          System(PowerSystemWorking), PowerActionSleep, false);
    const sim::Ticks held = sim_.Now() - start;
    EXPECT_GE(held, 10 * sim::kSecond);
    EXPECT_LE(held, 11 * sim::kSecond) << "the wake waited for D0 without a limit";
    EXPECT_EQ(wake->returned, STATUS_PENDING);
    EXPECT_TRUE(adapter.Capture().Records().empty()) << "settings sent to a device not in D0";

    // The device request, then the system request behind it, each take the bus's time.
    sim_.RunFor(120 * sim::kSecond);
    EXPECT_TRUE(wake->completed);
    EXPECT_EQ(wake->status, STATUS_SUCCESS);
    EXPECT_EQ(port->DevicePowerState, PowerDeviceD0);
    ExpectIdle(port);
}

// --- Failures -------------------------------------------------------------------------

// As the port's design has it: a set-power request is not failed upward, and the
// device is recorded in D0 so that the chip requests that follow report their
// own failures.
TEST_F(PowerTest, FailedPowerUpIsReportedAsDoneAndTheDeviceRecordedInD0) {
    sim::Adapter& adapter = Plugged();
    PortExtension* port = adapter.Port();
    EXPECT_EQ(sim::SleepSystem(adapter.Pdo(), PowerSystemSleeping3).set, STATUS_SUCCESS);
    adapter.Usb().SetPowerResponder([](const IO_STACK_LOCATION& sp) {
        const bool powerUp = sp.MinorFunction == IRP_MN_SET_POWER &&
                             sp.Parameters.Power.Type == DevicePowerState &&
                             sp.Parameters.Power.State.DeviceState == PowerDeviceD0;
        return powerUp ? STATUS_DEVICE_POWER_FAILURE : STATUS_SUCCESS;
    });
    adapter.Capture().Clear();
    sim::PowerTransition wake = sim::WakeSystem(adapter.Pdo());
    EXPECT_EQ(wake.set, STATUS_SUCCESS);
    ASSERT_EQ(wake.deviceRequests.size(), 1u);
    EXPECT_EQ(wake.deviceRequests[0].status, STATUS_SUCCESS);
    EXPECT_EQ(adapter.Usb().PowerState(), PowerDeviceD3) << "the bus refused";
    EXPECT_EQ(port->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(sim::ReportedDevicePowerState(adapter.Fdo()), PowerDeviceD0);
    EXPECT_FALSE(ChipRequests(adapter.Capture()).empty()) << "the settings go out all the same";
    ExpectIdle(port);
    adapter.Usb().SetPowerResponder(nullptr);
}

TEST_F(PowerTest, ADeviceRequestThatCannotBeMadeDoesNotHoldTheSystemRequest) {
    sim::Adapter& adapter = Plugged();
    PortExtension* port = adapter.Port();
    sim::FailNthPoolAllocation(1);
    auto sleep = sim::SendPowerIrp(adapter.Pdo(), IRP_MN_SET_POWER, SystemPowerState,
                                   System(PowerSystemSleeping3), PowerActionSleep);
    sim::ClearPoolFaults();
    ASSERT_TRUE(sleep->completed);
    EXPECT_EQ(sleep->returned, STATUS_PENDING);
    EXPECT_EQ(sleep->status, STATUS_SUCCESS);
    EXPECT_TRUE(sim::DevicePowerRequests().empty());
    EXPECT_EQ(port->DevicePowerState, PowerDeviceD0);
    ExpectIdle(port);
    // Back to work with the device still in D0: the settings go out at once.
    adapter.Capture().Clear();
    auto wake = sim::SendPowerIrp(adapter.Pdo(), IRP_MN_SET_POWER, SystemPowerState,
                                  System(PowerSystemWorking), PowerActionSleep);
    EXPECT_EQ(wake->status, STATUS_SUCCESS);
    EXPECT_TRUE(sim::DevicePowerRequests().empty());
    EXPECT_FALSE(ChipRequests(adapter.Capture()).empty());
    ExpectIdle(port);
}

TEST_F(PowerTest, RemovalTurnsPowerRequestsAwayAfterReleasingThem) {
    sim::Adapter& adapter = Plugged();
    ASSERT_EQ(adapter.SurpriseRemove(false), STATUS_SUCCESS);
    EXPECT_EQ(sim::QueryDevicePower(adapter.Pdo(), PowerDeviceD2).status, STATUS_DELETE_PENDING);
    sim::PowerTransition sleep = sim::SleepSystem(adapter.Pdo(), PowerSystemSleeping3);
    EXPECT_EQ(sleep.query, STATUS_DELETE_PENDING);
    EXPECT_TRUE(sleep.refused);
    EXPECT_EQ(sleep.set, STATUS_DELETE_PENDING);
    EXPECT_TRUE(sleep.deviceRequests.empty());
    EXPECT_EQ(adapter.Port()->PendingRequestCount, 1);
    ASSERT_EQ(sim::FinishSurpriseRemoval(adapter.Pdo()), STATUS_SUCCESS);
}

// --- Held requests, queries and the rest -----------------------------------------------

TEST_F(PowerTest, PowerRequestsHeldWhileAStopIsPendingRunAtTheNextStartOrEndReleased) {
    sim::Adapter& adapter = Plugged();
    PortExtension* port = adapter.Port();
    PDEVICE_OBJECT pdo = adapter.Pdo();
    PDEVICE_OBJECT fdo = adapter.Fdo();
    ASSERT_EQ(sim::SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    auto held = sim::SendPowerIrp(pdo, IRP_MN_QUERY_POWER, DevicePowerState, Device(PowerDeviceD2),
                                  PowerActionNone,
                                  /*wait=*/false);
    EXPECT_EQ(held->returned, STATUS_PENDING);
    EXPECT_FALSE(held->completed);
    EXPECT_FALSE(Reached(held->irp, pdo));
    EXPECT_EQ(port->PendingRequestCount, 1) << "a held request carries no count";
    ASSERT_EQ(sim::SendPnp(pdo, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_FALSE(held->completed) << "held until the next start";
    ASSERT_EQ(adapter.Start(), STATUS_SUCCESS);
    ASSERT_TRUE(held->completed);
    EXPECT_EQ(held->status, STATUS_SUCCESS);
    EXPECT_TRUE(Reached(held->irp, pdo));
    size_t releases = 0;
    for (const PowerEvent& e : sim::PowerLog())
        releases += e.kind == PowerEventKind::Released && e.irp == held->irp && e.device == fdo;
    EXPECT_EQ(releases, 1u);
    ExpectIdle(port);

    // Held, then cancelled by its sender; held, then cancelled by the removal.
    ASSERT_EQ(sim::SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    sim::IrpSetup request;
    request.major = IRP_MJ_POWER;
    request.minor = IRP_MN_SET_POWER;
    request.parameters = [](IO_STACK_LOCATION& sp) {
        sp.Parameters.Power.Type = DevicePowerState;
        sp.Parameters.Power.State = Device(PowerDeviceD3);
    };
    auto cancelled = sim::SendIrp(fdo, request);
    EXPECT_EQ(cancelled->returned, STATUS_PENDING);
    EXPECT_TRUE(sim::CancelIrp(cancelled));
    ASSERT_TRUE(cancelled->completed);
    EXPECT_EQ(cancelled->status, STATUS_CANCELLED);
    EXPECT_EQ(port->DevicePowerState, PowerDeviceD0);
    auto orphan = sim::SendPowerIrp(pdo, IRP_MN_QUERY_POWER, DevicePowerState,
                                    Device(PowerDeviceD3), PowerActionNone, /*wait=*/false);
    EXPECT_FALSE(orphan->completed);
    ASSERT_EQ(adapter.Remove(), STATUS_SUCCESS);
    ASSERT_TRUE(orphan->completed);
    EXPECT_EQ(orphan->status, STATUS_CANCELLED);
}

TEST_F(PowerTest, WithWakeArmedTheDeviceMayNotGoDeeperThanItCanWakeFrom) {
    sim::Adapter& adapter = Plugged();  // the bus reports wake-up from D2
    PortExtension* port = adapter.Port();
    PDEVICE_OBJECT pdo = adapter.Pdo();
    ASSERT_EQ(port->DeviceWake, static_cast<ULONG>(PowerDeviceD2));

    port->WakeEnabled = 1;
    sim::PowerIrpResult deeper = sim::QueryDevicePower(pdo, PowerDeviceD3);
    EXPECT_EQ(deeper.status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(Reached(deeper.irp, pdo)) << "refused by the port, not passed down";
    for (DEVICE_POWER_STATE state : {PowerDeviceD2, PowerDeviceD1}) {
        sim::PowerIrpResult allowed = sim::QueryDevicePower(pdo, state);
        EXPECT_EQ(allowed.status, STATUS_SUCCESS);
        EXPECT_TRUE(Reached(allowed.irp, pdo));
    }
    auto systemQuery = sim::SendPowerIrp(pdo, IRP_MN_QUERY_POWER, SystemPowerState,
                                         System(PowerSystemSleeping3), PowerActionSleep);
    EXPECT_EQ(systemQuery->status, STATUS_SUCCESS) << "the rule is about device states";
    port->WakeEnabled = 0;

    // A wait-wake request held for the port arms the same rule.
    PIRP waitWake = IoAllocateIrp(1, FALSE);
    port->WaitWakeIrp = waitWake;
    EXPECT_EQ(sim::QueryDevicePower(pdo, PowerDeviceD3).status, STATUS_INVALID_DEVICE_STATE);
    port->WaitWakeIrp = nullptr;
    IoFreeIrp(waitWake);
    EXPECT_EQ(sim::QueryDevicePower(pdo, PowerDeviceD3).status, STATUS_SUCCESS);
    ExpectIdle(port);
}

TEST_F(PowerTest, OtherRequestsGoToTheBusAndADeviceLeftOutOfD0IsBroughtBack) {
    sim::Adapter& adapter = Plugged();
    PortExtension* port = adapter.Port();
    PDEVICE_OBJECT pdo = adapter.Pdo();
    auto d3 = sim::SendPowerIrp(pdo, IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD3));
    EXPECT_EQ(d3->status, STATUS_SUCCESS);
    EXPECT_EQ(port->DevicePowerState, PowerDeviceD3);

    auto sequence =
        sim::SendPowerIrp(pdo, IRP_MN_POWER_SEQUENCE, DevicePowerState, Device(PowerDeviceD0));
    EXPECT_EQ(sequence->status, STATUS_NOT_SUPPORTED) << "the bus's own answer";
    EXPECT_EQ(port->DevicePowerState, PowerDeviceD0)
        << "the system works, so the port asked for D0";
    EXPECT_EQ(adapter.Usb().PowerState(), PowerDeviceD0);

    auto wake = sim::SendPowerIrp(pdo, IRP_MN_WAIT_WAKE, SystemPowerState,
                                  System(PowerSystemSleeping3), PowerActionNone, /*wait=*/false);
    EXPECT_EQ(wake->returned, STATUS_PENDING);
    EXPECT_FALSE(wake->completed);
    EXPECT_EQ(port->PendingRequestCount, 1) << "passed on, the wait-wake holds nothing of the port";
    EXPECT_TRUE(adapter.Usb().SignalWake());
    ASSERT_TRUE(wake->completed);
    EXPECT_EQ(wake->status, STATUS_SUCCESS);
    ExpectIdle(port);
}

TEST_F(PowerTest, PoweredDeviceControlsWakeTheDeviceFirst) {
    sim::Adapter& adapter = Plugged();
    PortExtension* port = adapter.Port();
    PDEVICE_OBJECT pdo = adapter.Pdo();
    PDEVICE_OBJECT fdo = adapter.Fdo();
    port->DeviceIsOpen = 1;
    EXPECT_EQ(
        sim::SendPowerIrp(pdo, IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD3))->status,
        STATUS_SUCCESS);
    ASSERT_EQ(port->DevicePowerState, PowerDeviceD3);

    auto answered =
        sim::DeviceIoControl(fdo, IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(SERIAL_BAUD_RATE));
    EXPECT_EQ(answered->status, STATUS_SUCCESS);
    EXPECT_TRUE(sim::DevicePowerRequests().empty()) << "a setting read from the port needs no chip";
    EXPECT_EQ(port->DevicePowerState, PowerDeviceD3);

    auto powered = sim::DeviceIoControl(fdo, IOCTL_SERIAL_SET_DTR, {}, 0);
    ASSERT_TRUE(powered->completed);
    ASSERT_EQ(sim::DevicePowerRequests().size(), 1u);
    const sim::DevicePowerRequest& d0 = sim::DevicePowerRequests()[0];
    EXPECT_EQ(d0.target, pdo);
    EXPECT_EQ(d0.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(d0.state.DeviceState, PowerDeviceD0);
    EXPECT_TRUE(d0.completed);
    EXPECT_EQ(port->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(adapter.Usb().PowerState(), PowerDeviceD0);

    // Without memory for the power request the control ends with that status
    // before its handler runs.
    EXPECT_EQ(
        sim::SendPowerIrp(pdo, IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD3))->status,
        STATUS_SUCCESS);
    sim::FailNthPoolAllocation(1);
    auto refused = sim::DeviceIoControl(fdo, IOCTL_SERIAL_SET_RTS, {}, 0);
    sim::ClearPoolFaults();
    ASSERT_TRUE(refused->completed);
    EXPECT_EQ(refused->status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(port->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(sim::DevicePowerRequests().size(), 1u);
    port->DeviceIsOpen = 0;
    ExpectIdle(port);
}

}  // namespace
