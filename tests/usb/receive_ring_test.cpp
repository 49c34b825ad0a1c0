// The receive ring on an open port: the levels at which receive flow control
// holds the sender and lets it go again, the nearly-full event, a full ring, and
// a read whose buffer the receive path fills directly. Bytes come from the chip
// through the bus, in chunks its receive FIFO can hold.
#include "tests/support/open_port.h"

#include <algorithm>

namespace {

using sim::kMillisecond;
using simtest::OpenPortTest;

constexpr ULONG kMax = MAXULONG;

class ReceiveRingTest : public OpenPortTest {
  protected:
    // A large system: the ring is 4096 bytes.
    void Open(int variant = 2) {
        if (sim_.SystemSize() == MmMediumSystem) sim_.SetSystemSize(MmLargeSystem);
        OpenPortTest::Open(variant);
        ASSERT_EQ(SetTimeouts(kMax, 0, 0), STATUS_SUCCESS);  // reads take what is there
    }
    // `count` bytes of a repeating pattern arrive, 100 at a time (a short packet
    // ends each transfer); each chunk has time to travel up before the next,
    // unless a hold keeps the reader idle.
    void Feed(size_t count) {
        while (count) {
            const size_t n = std::min<size_t>(count, 100);
            std::vector<uint8_t> chunk;
            for (size_t i = 0; i < n; ++i) chunk.push_back(static_cast<uint8_t>('A' + (fed_++ % 26)));
            Receive(chunk);
            sim_.RunFor(5 * kMillisecond);
            count -= n;
        }
    }
    // Takes `count` bytes out of the ring with one read and checks the pattern.
    void Drain(size_t count) {
        auto r = file().Read(static_cast<ULONG>(count));
        ASSERT_TRUE(RunUntilCompleted(r));
        ASSERT_EQ(r->Output().size(), count);
        for (uint8_t b : r->Output()) ASSERT_EQ(b, 'A' + (drained_++ % 26)) << "byte " << drained_ - 1;
        sim_.RunFor(5 * kMillisecond);
    }
    void Handflow(ULONG controlHandShake, ULONG flowReplace, LONG xonLimit, LONG xoffLimit) {
        ApplyHandFlow(port(), SERIAL_HANDFLOW{controlHandShake, flowReplace, xonLimit, xoffLimit}, false);
        sim_.RunFor(5 * kMillisecond);
    }
    std::vector<uint8_t> SentByDriver() {
        sim_.RunFor(5 * kMillisecond);
        return chip().TakeTransmitted();
    }
    size_t fed_ = 0, drained_ = 0;
};

TEST_F(ReceiveRingTest, XoffStopsTheSenderAt3184OfA4096RingAndXonFollowsAtTheXonLimit) {
    Open(0);
    ASSERT_EQ(port()->ChipType, 0);
    ASSERT_EQ(port()->ReceiveBufferSize, 4096u);
    Handflow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE, 2048, 512);
    chip().TakeTransmitted();

    Feed(3183);
    EXPECT_EQ(port()->RxHoldReasons, 0u);
    EXPECT_TRUE(SentByDriver().empty());
    Feed(1);
    EXPECT_EQ(port()->RxHoldReasons, static_cast<ULONG>(RX_HOLD_XOFF));
    EXPECT_EQ(SentByDriver(), std::vector<uint8_t>{port()->SpecialChars.XoffChar});
    // Chip 0 does no XON/XOFF of its own, so the reader goes on (the far end's
    // XON for our transmitter comes that way): what the far end still sends
    // lands in the ring's margin.
    Feed(50);
    EXPECT_EQ(port()->CharsInBuffer, 3234u);
    EXPECT_EQ(chip().ReceiveFifoLevel(), 0u);

    Drain(3234 - 2049);
    EXPECT_EQ(port()->RxHoldReasons, static_cast<ULONG>(RX_HOLD_XOFF)) << "one above the XON limit";
    Drain(1);
    EXPECT_EQ(port()->RxHoldReasons, 0u);
    EXPECT_EQ(SentByDriver(), std::vector<uint8_t>{port()->SpecialChars.XonChar});
    EXPECT_EQ(port()->CharsInBuffer, 2048u);
    Drain(2048);
}

TEST_F(ReceiveRingTest, TheDtrHandshakeHoldsFourHundredLaterWithTheLineItself) {
    Open(0);
    Handflow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL, 2048, 512);
    ASSERT_TRUE(chip().Lines().dtr);
    Feed(3583);
    EXPECT_EQ(port()->RxHoldReasons, 0u);
    EXPECT_TRUE(chip().Lines().dtr);
    Feed(1);
    EXPECT_EQ(port()->RxHoldReasons, static_cast<ULONG>(RX_HOLD_DTR));
    EXPECT_FALSE(chip().Lines().dtr) << "the sender sees DTR drop";
    EXPECT_TRUE(SentByDriver().empty()) << "no XOFF without automatic receive";
    Drain(3584 - 2048);
    EXPECT_EQ(port()->RxHoldReasons, 0u);
    EXPECT_TRUE(chip().Lines().dtr) << "and rise again once the ring has room";
}

// On a 1024-byte ring the default XoffLimit (128) is less than one bulk-in
// transfer: the DTR hold, which stops the reader, comes early enough for the
// rest of the transfer that takes it to fit.
TEST_F(ReceiveRingTest, TheDtrHandshakeLeavesRoomForATransferOnASmallRing) {
    sim_.SetSystemSize(MmSmallSystem);
    Open(2);
    SERIAL_QUEUE_SIZE size{1024, 0};
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_QUEUE_SIZE, sim::Bytes(size)), STATUS_SUCCESS);
    ASSERT_EQ(port()->ReceiveBufferSize, 1024u);
    Handflow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL, 512, 128);
    Feed(1024 - kBulkInLength - 1);
    EXPECT_EQ(port()->RxHoldReasons, 0u);
    Feed(1);
    EXPECT_EQ(port()->RxHoldReasons, static_cast<ULONG>(RX_HOLD_DTR));
    EXPECT_FALSE(chip().Lines().dtr);
    // What was already on its way still fits: nothing is lost.
    Feed(kBulkInLength - 1);
    EXPECT_EQ(port()->PerfStats.BufferOverrunErrorCount, 0u);
    Drain(port()->CharsInBuffer);
    EXPECT_TRUE(chip().Lines().dtr);
}

TEST_F(ReceiveRingTest, TheRtsHandshakeOnARingSmallerThanItsMarginStillHolds) {
    sim_.SetSystemSize(MmSmallSystem);
    Open(2);
    SERIAL_QUEUE_SIZE size{300, 0};
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_QUEUE_SIZE, sim::Bytes(size)), STATUS_SUCCESS);
    ASSERT_EQ(port()->ReceiveBufferSize, 300u);
    // 300 - 0 - 400 would wrap and the hold would never come; it comes at once.
    Handflow(SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE, 0, 0);
    Feed(200);
    EXPECT_EQ(port()->RxHoldReasons, static_cast<ULONG>(RX_HOLD_RTS));
    EXPECT_EQ(port()->CharsInBuffer, 100u) << "the reader stopped after its first transfer";
    EXPECT_EQ(chip().ReceiveFifoLevel(), 100u);
    // Every byte still arrives, one transfer per drain.
    while (drained_ < 200) Drain(port()->CharsInBuffer);
    EXPECT_EQ(fed_, drained_);
}

TEST_F(ReceiveRingTest, AFullRingLosesEachNewByteMarksTheLastStoredAndCountsEveryLoss) {
    Open(2);
    port()->SpecialChars.ErrorChar = '?';
    Handflow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_ERROR_CHAR, 2048, 512);
    const ULONG overrunsBefore = port()->PerfStats.BufferOverrunErrorCount;
    Feed(4096);
    EXPECT_EQ(port()->ErrorFlags & SERIAL_ERROR_QUEUEOVERRUN, 0u);
    Feed(3);
    EXPECT_EQ(port()->CharsInBuffer, 4096u);
    EXPECT_EQ(port()->PerfStats.BufferOverrunErrorCount - overrunsBefore, 3u);
    EXPECT_EQ(port()->WmiPerfStats.BufferOverrunErrorCount, port()->PerfStats.BufferOverrunErrorCount);
    EXPECT_NE(port()->ErrorFlags & SERIAL_ERROR_QUEUEOVERRUN, 0u);

    auto r = file().Read(4096);
    ASSERT_TRUE(RunUntilCompleted(r));
    ASSERT_EQ(r->Output().size(), 4096u);
    EXPECT_EQ(r->Output()[4094], 'A' + 4094 % 26);
    EXPECT_EQ(r->Output()[4095], '?') << "the last byte stored stands for what was lost";
}

TEST_F(ReceiveRingTest, NearlyFullIsReportedOnEachCrossingOnlyOnce) {
    Open(2);
    const ULONG mark = port()->NearlyFullMark;
    ASSERT_EQ(mark, 3328u);
    ULONG mask = SERIAL_EV_RX80FULL;
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_WAIT_MASK, sim::Bytes(mask)), STATUS_SUCCESS);
    auto waitOnce = [&] { return file().DeviceIoControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)); };

    auto wait = waitOnce();
    Feed(mark - 1);
    EXPECT_FALSE(wait->Completed());
    Feed(1);
    ASSERT_TRUE(RunUntilCompleted(wait));
    EXPECT_EQ(wait->Output(), sim::Bytes(ULONG{SERIAL_EV_RX80FULL}));

    // Above the mark, and back to it from above, nothing new.
    auto next = waitOnce();
    Feed(20);
    Drain(20);
    sim_.RunFor(10 * kMillisecond);
    EXPECT_FALSE(next->Completed());
    // Drained below it and filled past it again: once more.
    Drain(100);
    Feed(150);
    ASSERT_TRUE(RunUntilCompleted(next));
    EXPECT_EQ(next->Output(), sim::Bytes(ULONG{SERIAL_EV_RX80FULL}));
    auto idle = waitOnce();
    sim_.RunFor(10 * kMillisecond);
    EXPECT_FALSE(idle->Completed()) << "no events, no answer";
    EXPECT_EQ(file().CancelIoEx(idle), STATUS_SUCCESS);
    ASSERT_TRUE(RunUntilCompleted(idle));
    EXPECT_EQ(idle->Status(), STATUS_CANCELLED);
}

TEST_F(ReceiveRingTest, AReadFilledDirectlyCompletesWholeAndTheRestGoesToTheRing) {
    Open(2);
    ASSERT_EQ(SetTimeouts(0, 0, 0), STATUS_SUCCESS);
    auto r = file().Read(10);
    sim_.RunFor(5 * kMillisecond);
    Feed(25);
    ASSERT_TRUE(RunUntilCompleted(r));
    EXPECT_EQ(r->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Text(r->Output()), "ABCDEFGHIJ");
    EXPECT_EQ(port()->FillAreaStart, port()->ReceiveBuffer);
    EXPECT_EQ(port()->CharsInBuffer, 15u);
    drained_ = 10;
    ASSERT_EQ(SetTimeouts(kMax, 0, 0), STATUS_SUCCESS);
    Drain(15);
}

}  // namespace
