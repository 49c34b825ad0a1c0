// The output lines and break as the wire shows them: DTR and RTS looped back to
// the modem inputs and read through GET_MODEMSTATUS, the whole modem-control
// word on its way to the chip, the handshakes that keep the lines for themselves,
// transmit toggle and break, and what a sleeping device does to these controls.
#include "tests/support/open_port.h"

#include "control/bridge_ioctl.h"

#include <sim/power.h>
#include <sim/serial_wires.h>

#include <algorithm>

namespace {

using sim::kMillisecond;
using simtest::OpenPortTest;

constexpr uint8_t kSetControlLineState = 0x22;
constexpr uint8_t kSendBreak = 0x23;

// 16550 modem-status image of every input on.
constexpr ULONG kAllInputs =
    SERIAL_CTS_STATE | SERIAL_DSR_STATE | SERIAL_RI_STATE | SERIAL_DCD_STATE;
// What DTR brings back through a loopback plug.
constexpr ULONG kDtrInputs = SERIAL_DSR_STATE | SERIAL_RI_STATE | SERIAL_DCD_STATE;

class ModemLinesTest : public OpenPortTest {
  protected:
    // The image once the status packet a line change causes has come up.
    ULONG ModemStatusAfterChange() {
        sim_.RunFor(20 * kMillisecond);
        return Query<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS);
    }
    SERIAL_STATUS CommStatus() { return Query<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS); }
    // The class requests of one kind the chip has seen since the log was cleared.
    std::vector<sim::ControlRecord> Requests(uint8_t request) {
        std::vector<sim::ControlRecord> kept;
        for (const sim::ControlRecord& r : chip().ChipRequests())
            if (r.setup.bRequest == request)
                kept.push_back(r);
        return kept;
    }
    sim::ScriptedPeer& OpenWithPeer(int variant = 2) {
        Open(variant);
        sim::ScriptedPeer& peer = adapter().AttachPeer();
        SERIAL_BAUD_RATE rate{9600};
        EXPECT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, sim::Bytes(rate)), STATUS_SUCCESS);
        SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
        EXPECT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, sim::Bytes(line)), STATUS_SUCCESS);
        sim_.RunFor(20 * kMillisecond);
        return peer;
    }
    // With an idle line the toggle check has taken RTS down by the time this returns.
    sim::ScriptedPeer& OpenInTransmitToggle() {
        sim::ScriptedPeer& peer = OpenWithPeer();
        const LONG ring = static_cast<LONG>(port()->ReceiveBufferSize);
        EXPECT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE, ring / 2, ring / 8),
                  STATUS_SUCCESS);
        sim_.RunFor(20 * kMillisecond);
        return peer;
    }
    bool Breaks(const sim::ScriptedPeer& peer) {
        const auto& got = peer.Received();
        return std::any_of(got.begin(), got.end(),
                           [](const sim::ReceivedCharacter& c) { return c.breakCondition; });
    }
};

TEST_F(ModemLinesTest, DtrAndRtsComeBackThroughALoopbackPlug) {
    for (int variant : {0, 2}) {
        SCOPED_TRACE(variant);
        Open(variant);
        adapter().PlugLoopback();
        // Open raised both lines (DTR control, RTS control).
        EXPECT_EQ(ModemStatusAfterChange(), kAllInputs);
        EXPECT_EQ(Query<ULONG>(IOCTL_SERIAL_GET_DTRRTS),
                  static_cast<ULONG>(SERIAL_DTR_STATE | SERIAL_RTS_STATE));

        ASSERT_EQ(Control(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
        EXPECT_FALSE(chip().Lines().dtr);
        EXPECT_EQ(ModemStatusAfterChange(), kAllInputs & ~kDtrInputs);
        EXPECT_EQ(Query<ULONG>(IOCTL_SERIAL_GET_DTRRTS), static_cast<ULONG>(SERIAL_RTS_STATE));
        ASSERT_EQ(Control(IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
        EXPECT_EQ(ModemStatusAfterChange(), 0u);
        EXPECT_EQ(Query<ULONG>(IOCTL_SERIAL_GET_DTRRTS), 0u);

        ASSERT_EQ(Control(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
        EXPECT_EQ(ModemStatusAfterChange(), static_cast<ULONG>(SERIAL_CTS_STATE));
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
        EXPECT_TRUE(chip().Lines().dtr);
        EXPECT_EQ(ModemStatusAfterChange(), kAllInputs);
        // The older chips never say when a ring ends: it is reported once per
        // status packet, and no packet came since.
        EXPECT_EQ(Query<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS),
                  variant == 0 ? kAllInputs & ~SERIAL_RI_STATE : kAllInputs);
        Close();
        adapter().Unwire();
        ASSERT_EQ(adapter().Remove(), STATUS_SUCCESS);
    }
}

TEST_F(ModemLinesTest, ModemControlKeepsTheWholeWordAndSendsItWithEachLine) {
    Open(2);
    adapter().PlugLoopback();
    sim_.RunFor(20 * kMillisecond);
    chip().ClearControlLog();
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_MODEM_CONTROL, sim::Bytes(ULONG{0x0103})), STATUS_SUCCESS);
    const auto lines = Requests(kSetControlLineState);
    ASSERT_EQ(lines.size(), 2u) << "one request for DTR, one for RTS";
    for (const sim::ControlRecord& r : lines)
        EXPECT_EQ(r.setup.wValue, 0x0103);
    EXPECT_EQ(Query<ULONG>(IOCTL_SERIAL_GET_MODEM_CONTROL), 0x0103u);
    EXPECT_EQ(Query<ULONG>(IOCTL_SERIAL_GET_DTRRTS), 3u);
    EXPECT_EQ(ModemStatusAfterChange(), kAllInputs);

    // The other bits stay in the word that every later line request carries.
    chip().ClearControlLog();
    ASSERT_EQ(Control(IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
    ASSERT_EQ(Requests(kSetControlLineState).size(), 1u);
    EXPECT_EQ(Requests(kSetControlLineState)[0].setup.wValue, 0x0101);
    EXPECT_EQ(Query<ULONG>(IOCTL_SERIAL_GET_MODEM_CONTROL), 0x0101u);

    // Only the low 16 bits are a word: RTS on, DTR off.
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_MODEM_CONTROL, sim::Bytes(ULONG{0x00010002})),
              STATUS_SUCCESS);
    EXPECT_EQ(Query<ULONG>(IOCTL_SERIAL_GET_MODEM_CONTROL), 0x0002u);
    EXPECT_FALSE(chip().Lines().dtr);
    EXPECT_TRUE(chip().Lines().rts);
    EXPECT_EQ(ModemStatusAfterChange(), static_cast<ULONG>(SERIAL_CTS_STATE));
}

// A handshake keeps its line: a caller may not set or clear it by hand, but the
// whole modem-control word still drives both lines.
TEST_F(ModemLinesTest, HandshakesRefuseTheirLineButModemControlStillDrivesIt) {
    sim::ScriptedPeer& peer = OpenWithPeer();
    const LONG ring = static_cast<LONG>(port()->ReceiveBufferSize);
    struct Mode {
        const char* name;
        ULONG controlHandShake, flowReplace;
        bool dtrRefused, rtsRefused;
        bool chipDrivesRts;  // this chip performs RTS flow control itself
    };
    const Mode modes[] = {
        {"DTR handshake", SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL, true, false, false},
        {"RTS handshake", SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE, false, true, true},
        {"transmit toggle", SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE, false, true, false},
        {"DTR and RTS control", SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, false, false, false},
    };
    for (const Mode& mode : modes) {
        SCOPED_TRACE(mode.name);
        ASSERT_EQ(SetHandFlow(mode.controlHandShake, mode.flowReplace, ring / 2, ring / 8),
                  STATUS_SUCCESS);
        sim_.RunFor(20 * kMillisecond);
        for (ULONG code : {ULONG{IOCTL_SERIAL_CLR_DTR}, ULONG{IOCTL_SERIAL_SET_DTR},
                           ULONG{IOCTL_SERIAL_CLR_RTS}, ULONG{IOCTL_SERIAL_SET_RTS}}) {
            const bool dtr = code == IOCTL_SERIAL_CLR_DTR || code == IOCTL_SERIAL_SET_DTR;
            const bool refused = dtr ? mode.dtrRefused : mode.rtsRefused;
            const bool dtrBefore = peer.ChipDtr(), rtsBefore = peer.ChipRts();
            chip().ClearControlLog();
            EXPECT_EQ(Control(code), refused ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS)
                << std::hex << code;
            sim_.RunFor(5 * kMillisecond);
            if (refused) {
                EXPECT_TRUE(chip().ChipRequests().empty()) << std::hex << code;
                EXPECT_EQ(peer.ChipDtr(), dtrBefore);
                EXPECT_EQ(peer.ChipRts(), rtsBefore);
            } else {
                const bool raise = code == IOCTL_SERIAL_SET_DTR || code == IOCTL_SERIAL_SET_RTS;
                EXPECT_EQ(dtr ? peer.ChipDtr() : peer.ChipRts(), raise) << std::hex << code;
            }
        }
        for (ULONG word : {0x0u, 0x3u, 0x2u, 0x1u}) {
            ASSERT_EQ(Control(IOCTL_SERIAL_SET_MODEM_CONTROL, sim::Bytes(word)), STATUS_SUCCESS);
            sim_.RunFor(5 * kMillisecond);
            EXPECT_EQ(peer.ChipDtr(), (word & 1) != 0) << word;
            // With the chip's own RTS flow control the wire follows its FIFO; the
            // host's RTS waits in the word until the chip gives the line back.
            if (!mode.chipDrivesRts) {
                EXPECT_EQ(peer.ChipRts(), (word & 2) != 0) << word;
            }
            EXPECT_EQ(chip().Lines().rts, (word & 2) != 0) << word;
        }
    }
}

TEST_F(ModemLinesTest, BreakHoldsTheLineAtSpaceUntilItIsTurnedOff) {
    sim::ScriptedPeer& peer = OpenWithPeer();
    chip().ClearControlLog();
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_BREAK_ON), STATUS_SUCCESS);
    EXPECT_TRUE(chip().BreakOn());
    EXPECT_EQ(CommStatus().HoldReasons, static_cast<ULONG>(SERIAL_TX_WAITING_ON_BREAK));
    sim_.RunFor(20 * kMillisecond);
    EXPECT_TRUE(Breaks(peer));

    ASSERT_EQ(Control(IOCTL_SERIAL_SET_BREAK_OFF), STATUS_SUCCESS);
    EXPECT_FALSE(chip().BreakOn());
    EXPECT_EQ(CommStatus().HoldReasons, 0u);
    const auto breaks = Requests(kSendBreak);
    ASSERT_EQ(breaks.size(), 2u);
    EXPECT_EQ(breaks[0].setup.wValue, 0xFFFF);
    EXPECT_EQ(breaks[1].setup.wValue, 0x0000);
    EXPECT_EQ(port()->ControlLineState, SERIAL_DTR_STATE | SERIAL_RTS_STATE)
        << "break leaves the lines alone";

    // Off again, or off without on: nothing reaches the chip.
    peer.ClearReceived();
    chip().ClearControlLog();
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_BREAK_OFF), STATUS_SUCCESS);
    sim_.RunFor(30 * kMillisecond);
    EXPECT_TRUE(chip().ChipRequests().empty());
    EXPECT_TRUE(peer.Received().empty());
}

// Under transmit toggle RTS follows the transmitter: a break is transmission, so
// RTS goes up before it and comes down once it is over and the line is idle.
TEST_F(ModemLinesTest, TransmitToggleRaisesRtsForABreakAndDropsItAfter) {
    sim::ScriptedPeer& peer = OpenInTransmitToggle();
    EXPECT_FALSE(peer.ChipRts()) << "nothing to send: RTS is down";

    chip().ClearControlLog();
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_BREAK_ON), STATUS_SUCCESS);
    const auto sent = chip().ChipRequests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].setup.bRequest, kSetControlLineState);
    EXPECT_EQ(sent[0].setup.wValue & SERIAL_RTS_STATE, SERIAL_RTS_STATE);
    EXPECT_EQ(sent[1].setup.bRequest, kSendBreak);
    EXPECT_EQ(sent[1].setup.wValue, 0xFFFF);
    // However long the break lasts, the toggle checks leave RTS up under it.
    sim_.RunFor(100 * kMillisecond);
    EXPECT_TRUE(peer.ChipRts());
    EXPECT_TRUE(chip().BreakOn());

    ASSERT_EQ(Control(IOCTL_SERIAL_SET_BREAK_OFF), STATUS_SUCCESS);
    EXPECT_TRUE(sim_.RunUntil([&] { return !peer.ChipRts(); }, 100 * kMillisecond))
        << "RTS stayed up after the break";
    EXPECT_FALSE(chip().BreakOn());
    EXPECT_EQ(port()->PendingToggleChecks, 0);
}

// SET_XOFF under transmit toggle checks the transmitter, as a received XOFF
// does; the check is counted until it is done, so close still finishes.
TEST_F(ModemLinesTest, XoffUnderTransmitToggleChecksTheTransmitterAndCloseStillFinishes) {
    sim::ScriptedPeer& peer = OpenInTransmitToggle();
    // RTS up by the whole word, which no handshake refuses; the check takes it down.
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_MODEM_CONTROL, sim::Bytes(ULONG{3})), STATUS_SUCCESS);
    ASSERT_TRUE(peer.ChipRts());
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_XOFF), STATUS_SUCCESS);
    EXPECT_EQ(CommStatus().HoldReasons, static_cast<ULONG>(SERIAL_TX_WAITING_FOR_XON));
    EXPECT_TRUE(sim_.RunUntil([&] { return !peer.ChipRts(); }, 100 * kMillisecond));
    EXPECT_EQ(port()->PendingToggleChecks, 0);
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_XON), STATUS_SUCCESS);
    EXPECT_EQ(CommStatus().HoldReasons, 0u);
}

// Close under transmit toggle waits for the transmitter to empty. A chip whose
// UART a raw register write switched off refuses the write's bytes for good, so
// its bulk-out transfer never ends by itself: close still returns, the refused
// transfer cancelled once what was outstanding has had time to go, and RTS is
// down. The port opens again and sends.
TEST_F(ModemLinesTest, CloseUnderTransmitToggleFinishesWhenTheChipRefusesTheBytesForGood) {
    sim::ScriptedPeer& peer = OpenInTransmitToggle();
    // Register 0 (line and flow control) to 0: the UART is off.
    ASSERT_EQ(Control(IOCTL_BRIDGE_VENDOR_WRITE, {0, 0, 0, 0}), STATUS_SUCCESS);
    sim::FileRequestHandle write = file().Write(std::vector<uint8_t>(2000, 'x'));
    sim_.RunFor(50 * kMillisecond);
    ASSERT_FALSE(write->Completed());
    ASSERT_GT(BulkOutBytesInFlight(port()), 0u);
    ASSERT_TRUE(peer.ChipRts());

    sim::File closing = file();
    file() = sim::File();
    bool closed = false;
    sim_.CreateThread("closer", [&] {
        EXPECT_EQ(closing.Close(), STATUS_SUCCESS);
        closed = true;
    });
    // At 9600 baud close waits ten character times, then the FIFO's worth and the
    // refused bytes (under a second), and cancels.
    ASSERT_TRUE(sim_.RunUntil([&] { return closed; }, 10 * sim::kSecond)) << "close never returned";
    EXPECT_EQ(write->Status(), STATUS_CANCELLED);
    EXPECT_EQ(port()->PendingToggleChecks, 0);
    EXPECT_EQ(BulkOutBytesInFlight(port()), 0u);
    EXPECT_FALSE(peer.ChipRts());

    NTSTATUS status;
    file() = sim::File::Open(u"\\\\.\\COM3", &status, sim::OverlappedOpen());
    ASSERT_EQ(status, STATUS_SUCCESS);
    sim::FileRequestHandle again = file().Write({'o', 'k'});
    EXPECT_TRUE(RunUntilCompleted(again));
    EXPECT_EQ(again->Status(), STATUS_SUCCESS);
}

// A bus that refuses to power the adapter up: the power path still records the
// port in D0 (a set-power request is not failed upward), so the control runs and
// answers as it does when its chip request fails. The line's shadow keeps the
// whole word asked for, and the power-up that does reach the bus sends it.
TEST_F(ModemLinesTest, AWordSetWhileTheBusRefusesPowerReachesTheChipWithTheNextPowerUp) {
    Open(2);
    sim_.RunFor(20 * kMillisecond);
    ASSERT_TRUE(chip().Lines().dtr);
    ASSERT_TRUE(chip().Lines().rts);
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    ASSERT_EQ(sim::SendPowerIrp(adapter().Pdo(), IRP_MN_SET_POWER, DevicePowerState, d3)->status,
              STATUS_SUCCESS);
    ASSERT_EQ(port()->DevicePowerState, PowerDeviceD3);
    adapter().Usb().SetPowerResponder([](const IO_STACK_LOCATION& sp) {
        const bool powerUp = sp.MinorFunction == IRP_MN_SET_POWER &&
                             sp.Parameters.Power.Type == DevicePowerState &&
                             sp.Parameters.Power.State.DeviceState == PowerDeviceD0;
        return powerUp ? STATUS_DEVICE_POWER_FAILURE : STATUS_SUCCESS;
    });
    sim::ClearPowerLog();
    adapter().Capture().Clear();

    EXPECT_EQ(Control(IOCTL_SERIAL_SET_MODEM_CONTROL, sim::Bytes(ULONG{SERIAL_DTR_STATE})),
              STATUS_SUCCESS);
    EXPECT_EQ(Query<ULONG>(IOCTL_SERIAL_GET_MODEM_CONTROL), static_cast<ULONG>(SERIAL_DTR_STATE));
    EXPECT_EQ(adapter().Usb().PowerState(), PowerDeviceD3) << "the bus refused";
    size_t refused = 0;
    for (const sim::UrbRecord& r : adapter().Capture().Records()) {
        if (r.hasSetup && r.setup.bRequest == kSetControlLineState) {
            EXPECT_EQ(r.usbdStatus, USBD_STATUS_DEV_NOT_RESPONDING);
            ++refused;
        }
    }
    EXPECT_EQ(refused, 2u);
    EXPECT_TRUE(chip().Lines().rts) << "nothing reached the chip";

    adapter().Usb().SetPowerResponder(nullptr);
    ASSERT_EQ(sim::SleepSystem(adapter().Pdo(), PowerSystemSleeping3).set, STATUS_SUCCESS);
    ASSERT_EQ(sim::WakeSystem(adapter().Pdo()).set, STATUS_SUCCESS);
    sim_.RunFor(100 * kMillisecond);
    ASSERT_EQ(adapter().Usb().PowerState(), PowerDeviceD0);
    EXPECT_TRUE(chip().Lines().dtr);
    EXPECT_FALSE(chip().Lines().rts) << "the word asked for while the bus had no power";
}

}  // namespace
