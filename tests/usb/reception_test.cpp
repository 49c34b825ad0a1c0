// Reception on an open port from a far end wired to the chip: modem-line changes
// as events and status, line errors counted and marked once per status packet,
// breaks, and what the byte path does with nulls, escapes and flow characters.
#include "tests/support/open_port.h"

#include <sim/serial_wires.h>

#include <algorithm>
#include <cstring>

namespace {

using sim::kMillisecond;
using simtest::OpenPortTest;

constexpr ULONG kMax = MAXULONG;

class ReceptionTest : public OpenPortTest {
  protected:
    // An open port at 9600 8N1 with a far end wired to it, its lines as given.
    sim::ScriptedPeer& OpenWithPeer(int variant, sim::PeerLines lines, UCHAR parity = NO_PARITY) {
        Open(variant);
        sim::PeerOptions options;
        options.format = sim::CharacterFormat::Plain(9600, 8, parity == EVEN_PARITY ? 2 : 0);
        options.lines = lines;
        sim::ScriptedPeer& peer = adapter().AttachPeer(options);
        SERIAL_BAUD_RATE rate{9600};
        EXPECT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, sim::Bytes(rate)), STATUS_SUCCESS);
        SERIAL_LINE_CONTROL line{STOP_BIT_1, parity, 8};
        EXPECT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, sim::Bytes(line)), STATUS_SUCCESS);
        EXPECT_EQ(SetTimeouts(kMax, 0, 0), STATUS_SUCCESS);
        sim_.RunFor(50 * kMillisecond);
        return peer;
    }
    sim::FileRequestHandle WaitFor(ULONG mask) {
        EXPECT_EQ(Control(IOCTL_SERIAL_SET_WAIT_MASK, sim::Bytes(mask)), STATUS_SUCCESS);
        return file().DeviceIoControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    }
    ULONG EventsOf(const sim::FileRequestHandle& wait) {
        EXPECT_TRUE(RunUntilCompleted(wait, sim::kSecond));
        ULONG events = 0;
        if (wait->Output().size() == sizeof(events)) std::memcpy(&events, wait->Output().data(), sizeof(events));
        return events;
    }
    // `count` bytes of `c` from the wire, in pieces the chip's FIFO holds.
    void ReceiveInPieces(ULONG count, uint8_t c) {
        for (ULONG left = count; left;) {
            const ULONG n = std::min<ULONG>(left, 128);
            Receive(std::vector<uint8_t>(n, c));
            sim_.RunFor(5 * kMillisecond);
            left -= n;
        }
        sim_.RunFor(20 * kMillisecond);
    }
    ULONG ModemStatus() { return Query<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS); }
    SERIAL_STATUS CommStatus() { return Query<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS); }
    std::vector<uint8_t> ReadAll() {
        auto r = file().Read(4096);
        EXPECT_TRUE(RunUntilCompleted(r));
        return r->Output();
    }
};

TEST_F(ReceptionTest, ModemLinesThatComeOnAreEventsAndTheStatusShowsThem) {
    sim::ScriptedPeer& peer = OpenWithPeer(2, {false, false, false, false});
    EXPECT_EQ(ModemStatus(), 0u);
    auto wait = WaitFor(SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING);
    sim_.RunFor(10 * kMillisecond);
    EXPECT_FALSE(wait->Completed());
    peer.SetLines({true, true, true, false});
    EXPECT_EQ(EventsOf(wait), static_cast<ULONG>(SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD));
    EXPECT_EQ(ModemStatus(), static_cast<ULONG>(SERIAL_CTS_STATE | SERIAL_DSR_STATE | SERIAL_DCD_STATE));

    // Only what changed, and only what the mask asks for.
    auto next = WaitFor(SERIAL_EV_DSR);
    peer.SetLines({false, true, true, false});
    sim_.RunFor(20 * kMillisecond);
    EXPECT_FALSE(next->Completed()) << "CTS is not in the mask";
    peer.SetLines({false, false, true, false});
    EXPECT_EQ(EventsOf(next), static_cast<ULONG>(SERIAL_EV_DSR));
}

// Open runs under the mutex it shares with query-stop and query-remove, at
// APC_LEVEL: the settings it sends the chip still go out and are waited for,
// the start-up write of the receive latency and the FIFO resets among them
// (only the newer chips have those registers).
TEST_F(ReceptionTest, OpenUnderItsMutexStillSendsEverySettingToTheChip) {
    Open(2);
    const auto requests = chip().ChipRequests();
    auto sent = [&](USHORT value, USHORT index) {
        return std::count_if(requests.begin(), requests.end(), [&](const sim::ControlRecord& r) {
            return r.setup.wValue == value && r.setup.wIndex == index && r.result == sim::Handshake::Ack;
        });
    };
    EXPECT_EQ(sent(0x0B0B, 0x0002), 1) << "the receive latency, written at open";
    EXPECT_EQ(sent(0x0909, 0), 1) << "receive FIFO reset";
    EXPECT_EQ(sent(0x0808, 0), 1) << "transmit FIFO reset";
    EXPECT_EQ(chip().Register(0x0B), 2u) << "2 ms, not the power-on 16";
}

TEST_F(ReceptionTest, OpenSendsAnOlderChipNoneOfTheNewerChipsRegisters) {
    Open(0);
    const auto requests = chip().ChipRequests();
    for (USHORT value : {0x0B0B, 0x0909, 0x0808}) {
        EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                                [&](const sim::ControlRecord& r) { return r.setup.wValue == value; }),
                  0)
            << std::hex << value;
    }
    // What it has still gets there: the line coding of the open.
    EXPECT_GE(std::count_if(requests.begin(), requests.end(),
                            [](const sim::ControlRecord& r) { return r.setup.bRequest == 0x20; }),
              1);
}

// The older chips report RI as a level, the newer ones as a change.
TEST_F(ReceptionTest, RingHeldOnIsAnEventInEveryPacketOnOlderChipsOnlyOnChangeOnNewer) {
    for (int variant : {0, 2}) {
        SCOPED_TRACE(variant);
        sim::ScriptedPeer& peer = OpenWithPeer(variant, {false, true, true, false});
        peer.SetLines({false, true, true, true});
        sim_.RunFor(20 * kMillisecond);
        // A packet made by another line's change, RI still on.
        auto wait = WaitFor(SERIAL_EV_RING);
        peer.SetLines({true, true, true, true});
        sim_.RunFor(20 * kMillisecond);
        EXPECT_EQ(wait->Completed(), variant == 0);
        if (wait->Completed()) {
            EXPECT_EQ(EventsOf(wait), static_cast<ULONG>(SERIAL_EV_RING));
        } else {
            EXPECT_EQ(file().CancelIoEx(wait), STATUS_SUCCESS);
            RunUntilCompleted(wait);
        }
        Close();
        adapter().Unwire();
        EXPECT_EQ(adapter().Remove(), STATUS_SUCCESS);
    }
}

TEST_F(ReceptionTest, ParityErrorsAreCountedOncePerPacketAndMarkedInTheData) {
    sim::ScriptedPeer& peer = OpenWithPeer(2, {true, true, true, false}, EVEN_PARITY);
    ASSERT_EQ(Control(IOCTL_SERIAL_LSRMST_INSERT, {0xFF}), STATUS_SUCCESS);
    auto wait = WaitFor(SERIAL_EV_ERR);
    // The far end sends with odd parity: every byte has a parity error, and the
    // chip reports them with the next status packet.
    peer.SendWithFormat(sim::CharacterFormat::Plain(9600, 8, 1), {'a', 'b', 'c'});
    sim_.RunFor(100 * kMillisecond);
    EXPECT_NE(EventsOf(wait) & SERIAL_EV_ERR, 0u);
    const SERIAL_STATUS status = CommStatus();
    EXPECT_NE(status.Errors & SERIAL_ERROR_PARITY, 0u);
    EXPECT_EQ(CommStatus().Errors, 0u) << "reading the status clears the errors";
    const ULONG parityErrors = port()->PerfStats.ParityErrorCount;
    EXPECT_GE(parityErrors, 1u);
    EXPECT_LE(parityErrors, 3u) << "once per packet, never more than once per byte";
    EXPECT_EQ(port()->WmiPerfStats.ParityErrorCount, parityErrors);

    // The bytes come as sampled, each error packet marked by the escape, 2
    // (line status, no data) and the line status with its parity bit.
    const std::vector<uint8_t> got = ReadAll();
    size_t marks = 0, data = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i] == 0xFF) {
            ASSERT_LT(i + 2, got.size());
            EXPECT_EQ(got[i + 1], SERIAL_LSRMST_LSR_NODATA);
            EXPECT_NE(got[i + 2] & 0x04, 0);
            ++marks;
            i += 2;
        } else {
            ++data;
        }
    }
    EXPECT_EQ(data, 3u);
    EXPECT_EQ(marks, parityErrors);
}

TEST_F(ReceptionTest, ABreakIsReportedAndBecomesTheBreakCharacterWhenAsked) {
    sim::ScriptedPeer& peer = OpenWithPeer(2, {true, true, true, false});
    port()->SpecialChars.BreakChar = '!';
    ApplyHandFlow(port(), SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_BREAK_CHAR, 10, 10}, false);
    auto wait = WaitFor(SERIAL_EV_BREAK);
    peer.Send({'x'});
    peer.Break(20 * kMillisecond);
    peer.Send({'y'});
    EXPECT_NE(EventsOf(wait) & SERIAL_EV_BREAK, 0u);
    sim_.RunFor(50 * kMillisecond);
    EXPECT_NE(CommStatus().Errors & SERIAL_ERROR_BREAK, 0u);
    EXPECT_EQ(Text(ReadAll()), "x!y") << "the break stores no byte of its own";
}

// On an older chip, which leaves XON and XOFF to the driver (a newer one obeys
// and removes them itself once automatic transmit is on).
TEST_F(ReceptionTest, NullsEscapesAndFlowCharactersOnTheBytePath) {
    Open(0);
    ASSERT_EQ(SetTimeouts(kMax, 0, 0), STATUS_SUCCESS);
    // Seven data bits and null stripping: 0x80 becomes 0 and goes.
    ApplyHandFlow(port(), SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_NULL_STRIPPING, 10, 10},
                  false);
    ASSERT_EQ(port()->ValidDataMask, 0x7F);
    Receive(std::vector<uint8_t>{'a', 0x80, 0x00, 'b' | 0x80});
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(ReadAll(), (std::vector<uint8_t>{'a', 'b'}));

    // The escape character received is stored as itself and 0.
    ApplyHandFlow(port(), SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 10, 10}, false);
    ASSERT_EQ(Control(IOCTL_SERIAL_LSRMST_INSERT, {'E'}), STATUS_SUCCESS);
    Receive("xEy");
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(ReadAll(), (std::vector<uint8_t>{'x', 'E', SERIAL_LSRMST_ESCAPE, 'y'}));
    ASSERT_EQ(Control(IOCTL_SERIAL_LSRMST_INSERT, {0}), STATUS_SUCCESS);

    // Without automatic transmit XON and XOFF are data; with it they never
    // reach the ring, and XOFF holds the transmitter until XON.
    Receive(std::vector<uint8_t>{0x13, 'q', 0x11});
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(ReadAll(), (std::vector<uint8_t>{0x13, 'q', 0x11}));
    ApplyHandFlow(port(), SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT, 10, 10},
                  false);
    Receive(std::vector<uint8_t>{'r', 0x13, 's'});
    sim_.RunFor(10 * kMillisecond);
    EXPECT_NE(port()->TxHoldReasons & TX_HOLD_XOFF, 0u);
    EXPECT_NE(CommStatus().HoldReasons & SERIAL_TX_WAITING_FOR_XON, 0u);
    Receive(std::vector<uint8_t>{0x11, 't'});
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(port()->TxHoldReasons & TX_HOLD_XOFF, 0u);
    EXPECT_EQ(Text(ReadAll()), "rst");
}

// Error abort: the first line error ends every read and write with
// STATUS_CANCELLED, and the port refuses them until the errors are read.
TEST_F(ReceptionTest, ALineErrorUnderErrorAbortEndsReadsAndWritesUntilTheStatusIsRead) {
    // CTS off at the far end holds the write in the driver.
    sim::ScriptedPeer& peer = OpenWithPeer(2, {false, true, true, false}, EVEN_PARITY);
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE | SERIAL_ERROR_ABORT, SERIAL_RTS_CONTROL, 10, 10),
              STATUS_SUCCESS);
    ASSERT_EQ(SetTimeouts(0, 0, 0), STATUS_SUCCESS);
    auto read = file().Read(16);
    auto queuedRead = file().Read(16);
    auto write = file().Write({'h', 'i'});
    sim_.RunFor(50 * kMillisecond);
    ASSERT_FALSE(read->Completed());
    ASSERT_FALSE(write->Completed());

    peer.SendWithFormat(sim::CharacterFormat::Plain(9600, 8, 1), {'x'});
    for (auto* r : {&read, &queuedRead, &write}) {
        ASSERT_TRUE(RunUntilCompleted(*r, sim::kSecond));
        EXPECT_EQ((*r)->Status(), STATUS_CANCELLED);
    }
    auto refused = file().Read(16);
    ASSERT_TRUE(RunUntilCompleted(refused, sim::kSecond));
    EXPECT_EQ(refused->Status(), STATUS_CANCELLED) << "refused while the error is unread";

    EXPECT_NE(CommStatus().Errors & SERIAL_ERROR_PARITY, 0u);
    ASSERT_EQ(SetTimeouts(kMax, 0, 0), STATUS_SUCCESS);
    auto after = file().Read(16);
    ASSERT_TRUE(RunUntilCompleted(after, sim::kSecond));
    EXPECT_EQ(after->Status(), STATUS_SUCCESS) << "accepted once the status was read";
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 10, 10), STATUS_SUCCESS);
    sim_.RunFor(sim::kSecond);
    EXPECT_EQ(port()->CurrentRead, nullptr);
    EXPECT_EQ(port()->CurrentWrite, nullptr);
    EXPECT_EQ(port()->TotalCharsQueued, 0u);
    EXPECT_EQ(port()->DeferredWorkCount, 1) << "deferred work left behind";
}

// DSR sensitivity: bytes that arrive while DSR is off are dropped.
TEST_F(ReceptionTest, DsrSensitivityDropsWhatArrivesWhileDsrIsOff) {
    sim::ScriptedPeer& peer = OpenWithPeer(2, {true, false, true, false});
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL | SERIAL_DSR_SENSITIVITY, SERIAL_RTS_CONTROL, 10, 10), STATUS_SUCCESS);
    peer.Send({'a', 'b'});
    sim_.RunFor(50 * kMillisecond);
    EXPECT_EQ(Text(ReadAll()), "");
    peer.SetLines({true, true, true, false});
    sim_.RunFor(20 * kMillisecond);
    peer.Send({'c', 'd'});
    sim_.RunFor(50 * kMillisecond);
    EXPECT_EQ(Text(ReadAll()), "cd");
    // Straight into a waiting read too.
    ASSERT_EQ(SetTimeouts(0, 0, 0), STATUS_SUCCESS);
    auto waiting = file().Read(2);
    sim_.RunFor(10 * kMillisecond);
    peer.SetLines({true, false, true, false});
    sim_.RunFor(20 * kMillisecond);
    peer.Send({'e'});
    sim_.RunFor(50 * kMillisecond);
    EXPECT_FALSE(waiting->Completed());
    peer.SetLines({true, true, true, false});
    sim_.RunFor(20 * kMillisecond);
    peer.Send({'f', 'g'});
    ASSERT_TRUE(RunUntilCompleted(waiting, sim::kSecond));
    EXPECT_EQ(Text(waiting->Output()), "fg");
}

// A line-state sequence that a full ring cannot take whole is dropped whole
// and counted as one overrun: half of one would garble the stream after it.
TEST_F(ReceptionTest, AnEscapeSequenceTheFullRingCannotTakeIsDroppedWhole) {
    sim::ScriptedPeer& peer = OpenWithPeer(2, {true, true, true, false});
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_SERIAL_LSRMST_INSERT, {0xFF}), STATUS_SUCCESS);
    const ULONG size = port()->ReceiveBufferSize;
    ReceiveInPieces(size - 1, 'z');
    ASSERT_EQ(port()->CharsInBuffer, size - 1);
    const ULONG overruns = port()->PerfStats.BufferOverrunErrorCount;
    peer.SetLines({true, true, false, false});
    sim_.RunFor(50 * kMillisecond);
    EXPECT_EQ(port()->CharsInBuffer, size - 1) << "not one byte of the sequence stored";
    EXPECT_EQ(port()->PerfStats.BufferOverrunErrorCount, overruns + 1);
    EXPECT_NE(CommStatus().Errors & SERIAL_ERROR_QUEUEOVERRUN, 0u);
    const std::vector<uint8_t> got = ReadAll();
    EXPECT_EQ(got, std::vector<uint8_t>(size - 1, 'z'));
}

// Receive flow control switched on over a ring already past its threshold
// stops the far end at once; it goes on only when the ring drains below the
// resume level, or when the flow control is switched off. (On an older chip,
// whose RTS line the driver alone drives.)
TEST_F(ReceptionTest, FlowControlSwitchedOnOverAFullRingStopsTheFarEndAtOnce) {
    sim::ScriptedPeer& peer = OpenWithPeer(0, {true, true, true, false});
    const ULONG size = port()->ReceiveBufferSize;
    const LONG quarter = static_cast<LONG>(size / 4);
    ReceiveInPieces(size - 8, 'r');
    ASSERT_TRUE(chip().RtsLine());
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE, quarter, quarter), STATUS_SUCCESS);
    sim_.RunFor(10 * kMillisecond);
    EXPECT_FALSE(chip().RtsLine()) << "past the threshold when switched on";
    // The same record again changes nothing while the ring is still above XonLimit.
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE, quarter, quarter), STATUS_SUCCESS);
    sim_.RunFor(10 * kMillisecond);
    EXPECT_FALSE(chip().RtsLine());
    EXPECT_EQ(ReadAll().size(), size - 8);
    sim_.RunFor(10 * kMillisecond);
    EXPECT_TRUE(chip().RtsLine()) << "drained";

    // XOFF, the same way: sent when switched on over a full ring, and XON when
    // switched off again.
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, quarter, quarter), STATUS_SUCCESS);
    ReceiveInPieces(size - 8, 's');
    const size_t before = peer.ReceivedBytes().size();
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE, quarter, quarter),
              STATUS_SUCCESS);
    sim_.RunFor(20 * kMillisecond);
    ASSERT_EQ(peer.ReceivedBytes().size(), before + 1);
    EXPECT_EQ(peer.ReceivedBytes().back(), port()->SpecialChars.XoffChar);
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, quarter, quarter), STATUS_SUCCESS);
    sim_.RunFor(20 * kMillisecond);
    ASSERT_EQ(peer.ReceivedBytes().size(), before + 2);
    EXPECT_EQ(peer.ReceivedBytes().back(), port()->SpecialChars.XonChar);
    EXPECT_EQ(ReadAll().size(), size - 8);
}

}  // namespace
