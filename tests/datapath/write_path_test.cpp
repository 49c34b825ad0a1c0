// The write path on an open port with a far end on the wire: chunks on the
// bulk-out pipe, bytes arriving whole and in order, the write time-outs, holds
// by CTS and XOFF, the XOFF counter's life, the immediate character overtaking
// queued writes, the characters queued as GET_COMMSTATUS reports them, and the
// transmitter-empty event.
#include "tests/support/open_port.h"

#include <sim/serial_wires.h>
#include <sim/usb_capture.h>

#include <cstring>
#include <numeric>

namespace {

using sim::kMillisecond;
using simtest::OpenPortTest;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 0) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + seed) & 0xFF);
    return bytes;
}

class WritePathTest : public OpenPortTest {
  protected:
    sim::ScriptedPeer& OpenWithPeer(int variant = 2, ULONG baud = 115200) {
        sim::ScriptedPeer& peer = OpenWithFarEnd(variant, baud);
        adapter().Capture().Clear();
        return peer;
    }
    // Lengths of the bulk-out transfers the driver sent, in order.
    std::vector<ULONG> BulkOutLengths() const {
        std::vector<ULONG> lengths;
        for (const sim::UrbRecord& r : adapter().Capture().Records()) {
            if (r.transfer == sim::UsbTransferType::Bulk && !r.in) lengths.push_back(r.requested);
        }
        return lengths;
    }
    SERIAL_STATUS CommStatus() {
        std::vector<uint8_t> out;
        EXPECT_EQ(Control(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS), &out), STATUS_SUCCESS);
        SERIAL_STATUS status{};
        std::memcpy(&status, out.data(), std::min(out.size(), sizeof(status)));
        return status;
    }
    sim::FileRequestHandle XoffCounter(LONG counter, ULONG timeoutMs, UCHAR xoff = 0x13) {
        SERIAL_XOFF_COUNTER x{};
        x.Timeout = timeoutMs;
        x.Counter = counter;
        x.XoffChar = xoff;
        return file().DeviceIoControl(IOCTL_SERIAL_XOFF_COUNTER, sim::Bytes(x));
    }
    void ExpectIdle() {
        EXPECT_EQ(port()->DeferredWorkCount, 1) << "deferred work left behind";
        EXPECT_EQ(port()->CurrentWrite, nullptr);
        EXPECT_EQ(port()->TotalCharsQueued, 0u);
    }
};

TEST_F(WritePathTest, ALongWriteGoesOutInChunksBoundByTheRingAndArrivesWhole) {
    sim::ScriptedPeer& peer = OpenWithPeer(2, 921600);
    const SERIAL_QUEUE_SIZE sizes{4096, 0};
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_QUEUE_SIZE, sim::Bytes(sizes)), STATUS_SUCCESS);
    ASSERT_EQ(port()->ReceiveBufferSize, 4096u);
    adapter().Capture().Clear();
    const std::vector<uint8_t> data = Pattern(10'000);
    auto w = file().Write(data);
    ASSERT_TRUE(RunUntilCompleted(w));
    EXPECT_EQ(w->Status(), STATUS_SUCCESS);
    EXPECT_EQ(w->Information(), 10'000u);
    EXPECT_EQ(BulkOutLengths(), (std::vector<ULONG>{4096, 4096, 1808}));
    sim_.RunFor(200 * kMillisecond);
    EXPECT_EQ(peer.ReceivedBytes(), data);
    ExpectIdle();
}

TEST_F(WritePathTest, ASmallRingMakesSmallChunks) {
    OpenWithPeer(2, 921600);
    ASSERT_EQ(port()->ReceiveBufferSize, 1024u) << "the simulated system's ring";
    auto w = file().Write(Pattern(3000));
    ASSERT_TRUE(RunUntilCompleted(w));
    EXPECT_EQ(BulkOutLengths(), (std::vector<ULONG>{1024, 1024, 952}));
}

TEST_F(WritePathTest, WritesQueueBehindEachOtherAndCountAsQueuedCharacters) {
    sim::ScriptedPeer& peer = OpenWithPeer(2, 9600);
    // Held by SET_XOFF, the first write stays current and the second queued.
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_XOFF), STATUS_SUCCESS);
    auto first = file().Write(Pattern(100, 1));
    auto second = file().Write(Pattern(50, 2));
    auto third = file().Write(Pattern(30, 3));
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(port()->TotalCharsQueued, 180u);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 180u);
    EXPECT_EQ(CommStatus().HoldReasons, static_cast<ULONG>(SERIAL_TX_WAITING_FOR_XON));
    ASSERT_EQ(file().CancelIoEx(first), STATUS_SUCCESS);
    ASSERT_TRUE(RunUntilCompleted(first, 5 * kMillisecond));
    EXPECT_EQ(port()->TotalCharsQueued, 80u) << "the cancelled write's length stays queued";
    ASSERT_EQ(file().CancelIoEx(third), STATUS_SUCCESS);
    ASSERT_TRUE(RunUntilCompleted(third, 5 * kMillisecond));
    EXPECT_EQ(third->Status(), STATUS_CANCELLED);
    EXPECT_EQ(port()->TotalCharsQueued, 50u);
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_XON), STATUS_SUCCESS);
    ASSERT_TRUE(RunUntilCompleted(second));
    EXPECT_EQ(second->Status(), STATUS_SUCCESS);
    sim_.RunFor(200 * kMillisecond);
    EXPECT_EQ(peer.ReceivedBytes(), Pattern(50, 2)) << "only the write that was not cancelled went out";
    ExpectIdle();
}

TEST_F(WritePathTest, AWriteTimesOutWithWhatWasSent) {
    OpenWithPeer(2, 9600);
    // 5 ms or less gets the 100 ms floor. The chip takes 513 characters at
    // once, then one per character time (~1 ms): the chunk on the pipe when
    // the time-out fires ends the write as it completes, and counts as sent.
    ASSERT_EQ(SetWriteTimeouts(0, 5), STATUS_SUCCESS);
    const sim::Ticks start = sim_.Now();
    auto w = file().Write(Pattern(3000));
    ASSERT_TRUE(RunUntilCompleted(w));
    EXPECT_EQ(w->Status(), STATUS_TIMEOUT);
    EXPECT_GE(sim_.Now() - start, 100 * kMillisecond);
    const std::vector<ULONG> chunks = BulkOutLengths();
    EXPECT_EQ(w->Information(), std::accumulate(chunks.begin(), chunks.end(), 0ul));
    EXPECT_LT(w->Information(), 3000u);
    sim_.RunFor(sim::kSecond);
    ExpectIdle();
}

TEST_F(WritePathTest, AWriteHeldByXoffStartsOnXonOrTimesOutWithNothingSent) {
    sim::ScriptedPeer& peer = OpenWithPeer(2, 9600);
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_XOFF), STATUS_SUCCESS);
    auto held = file().Write(Pattern(20));
    sim_.RunFor(300 * kMillisecond);
    EXPECT_FALSE(held->Completed());
    EXPECT_TRUE(BulkOutLengths().empty());
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_XON), STATUS_SUCCESS);
    ASSERT_TRUE(RunUntilCompleted(held));
    EXPECT_EQ(held->Status(), STATUS_SUCCESS);
    sim_.RunFor(100 * kMillisecond);
    EXPECT_EQ(peer.ReceivedBytes(), Pattern(20));

    ASSERT_EQ(SetWriteTimeouts(0, 50), STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_XOFF), STATUS_SUCCESS);
    auto timed = file().Write(Pattern(20));
    ASSERT_TRUE(RunUntilCompleted(timed));
    EXPECT_EQ(timed->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(timed->Information(), 0u);
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_XON), STATUS_SUCCESS);
    sim_.RunFor(sim::kSecond);
    ExpectIdle();
}

TEST_F(WritePathTest, CancellingTheCurrentWriteStartsTheNextAtOnce) {
    sim::ScriptedPeer& peer = OpenWithPeer(2, 9600);
    auto first = file().Write(Pattern(2000, 1));
    auto second = file().Write(Pattern(10, 2));
    sim_.RunFor(20 * kMillisecond);
    EXPECT_EQ(file().CancelIoEx(first), STATUS_SUCCESS);
    ASSERT_TRUE(RunUntilCompleted(first, 5 * kMillisecond));
    EXPECT_EQ(first->Status(), STATUS_CANCELLED);
    EXPECT_EQ(first->Information(), 0u);
    ASSERT_TRUE(RunUntilCompleted(second, 3 * sim::kSecond));
    EXPECT_EQ(second->Status(), STATUS_SUCCESS);
    sim_.RunFor(3 * sim::kSecond);
    // What the chip had taken of the first still goes out, then the second whole.
    const std::vector<uint8_t> got = peer.ReceivedBytes();
    ASSERT_GE(got.size(), 10u);
    EXPECT_EQ(std::vector<uint8_t>(got.end() - 10, got.end()), Pattern(10, 2));
    ExpectIdle();
}

TEST_F(WritePathTest, XoffCounterSucceedsAfterItsCountAndALaterWriteRetiresIt) {
    OpenWithPeer(2, 9600);
    auto counter = XoffCounter(3, 0);
    sim_.RunFor(50 * kMillisecond);
    EXPECT_FALSE(counter->Completed());
    EXPECT_NE(port()->CurrentXoffCounter, nullptr) << "counting after its character was sent";
    Receive("ab");
    sim_.RunFor(50 * kMillisecond);
    EXPECT_FALSE(counter->Completed());
    Receive("c");
    ASSERT_TRUE(RunUntilCompleted(counter, sim::kSecond));
    EXPECT_EQ(counter->Status(), STATUS_SUCCESS);

    auto retired = XoffCounter(3, 0);
    sim_.RunFor(50 * kMillisecond);
    EXPECT_FALSE(retired->Completed());
    auto write = file().Write(Pattern(4));
    ASSERT_TRUE(RunUntilCompleted(retired, sim::kSecond));
    EXPECT_EQ(retired->Status(), STATUS_SERIAL_MORE_WRITES);
    ASSERT_TRUE(RunUntilCompleted(write));
    sim_.RunFor(sim::kSecond);
    ExpectIdle();
}

TEST_F(WritePathTest, XoffCounterTimesOutOrIsCancelled) {
    OpenWithPeer(2, 9600);
    auto timed = XoffCounter(5, 100);
    ASSERT_TRUE(RunUntilCompleted(timed, sim::kSecond));
    EXPECT_EQ(timed->Status(), STATUS_SERIAL_COUNTER_TIMEOUT);

    auto cancelled = XoffCounter(5, 0);
    sim_.RunFor(50 * kMillisecond);
    ASSERT_FALSE(cancelled->Completed());
    EXPECT_EQ(file().CancelIoEx(cancelled), STATUS_SUCCESS);
    ASSERT_TRUE(RunUntilCompleted(cancelled, 5 * kMillisecond));
    EXPECT_EQ(cancelled->Status(), STATUS_CANCELLED);
    EXPECT_EQ(port()->XoffCountRemaining, 0);
    sim_.RunFor(sim::kSecond);
    ExpectIdle();
}

TEST_F(WritePathTest, TheImmediateCharacterOvertakesALongQueuedWrite) {
    sim::ScriptedPeer& peer = OpenWithPeer(2, 9600);
    auto first = file().Write(std::vector<uint8_t>(1500, 0x41));
    auto queued = file().Write(std::vector<uint8_t>(1500, 0x42));
    sim_.RunFor(10 * kMillisecond);
    auto immediate = file().DeviceIoControl(IOCTL_SERIAL_IMMEDIATE_CHAR, {0xEE});
    ASSERT_TRUE(RunUntilCompleted(immediate, 50 * kMillisecond));
    EXPECT_EQ(immediate->Status(), STATUS_SUCCESS);
    EXPECT_FALSE(first->Completed());
    ASSERT_TRUE(RunUntilCompleted(queued));
    sim_.RunFor(sim::kSecond);
    const std::vector<uint8_t> got = peer.ReceivedBytes();
    ASSERT_EQ(got.size(), 3001u);
    const auto at = std::find(got.begin(), got.end(), 0xEE) - got.begin();
    // Ahead of everything the driver still held: behind at most what the chip
    // had taken (its FIFO and a chunk).
    EXPECT_LT(at, 1500) << "the immediate character waited for the current write";
    EXPECT_EQ(std::count(got.begin(), got.end(), 0x41), 1500);
    ExpectIdle();

    // Under write time-outs its timer is armed and, once the character was
    // handed on, released with nothing left to fire.
    ASSERT_EQ(SetWriteTimeouts(10, 40), STATUS_SUCCESS);
    auto timed = file().DeviceIoControl(IOCTL_SERIAL_IMMEDIATE_CHAR, {0xED});
    ASSERT_TRUE(RunUntilCompleted(timed, 50 * kMillisecond));
    EXPECT_EQ(timed->Status(), STATUS_SUCCESS);
    sim_.RunFor(sim::kSecond);
    EXPECT_EQ(peer.ReceivedBytes().back(), 0xED);
    ExpectIdle();
}

TEST_F(WritePathTest, TransmitterEmptyIsReportedOnceAfterTheLastByteLeft) {
    sim::ScriptedPeer& peer = OpenWithPeer(2, 9600);
    const ULONG mask = SERIAL_EV_TXEMPTY;
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_WAIT_MASK, sim::Bytes(mask)), STATUS_SUCCESS);
    auto idle = file().DeviceIoControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    sim_.RunFor(500 * kMillisecond);
    EXPECT_FALSE(idle->Completed()) << "transmitter empty on an idle port";

    auto w1 = file().Write(Pattern(300, 1));
    auto w2 = file().Write(Pattern(300, 2));
    ASSERT_TRUE(RunUntilCompleted(idle, 2 * sim::kSecond));
    EXPECT_TRUE(w2->Completed());
    EXPECT_EQ(peer.ReceivedBytes().size(), 600u) << "reported before the last byte left";
    auto again = file().DeviceIoControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    sim_.RunFor(sim::kSecond);
    EXPECT_FALSE(again->Completed()) << "reported twice";
    EXPECT_EQ(file().CancelIoEx(again), STATUS_SUCCESS);
    sim_.RunFor(10 * kMillisecond);
    ExpectIdle();
}

// Under transmit toggle RTS is up while characters leave and down once the last
// one has, every time the write side goes idle.
TEST_F(WritePathTest, TransmitToggleRaisesRtsForTheCharactersAndDropsItAfterTheLast) {
    sim::ScriptedPeer& peer = OpenWithPeer(2, 9600);
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE, 512, 128), STATUS_SUCCESS);
    sim_.RunFor(20 * kMillisecond);
    EXPECT_FALSE(peer.ChipRts()) << "RTS up on an idle port";
    // RTS sampled every 100 us while two writes go out, one after the other.
    std::vector<std::pair<sim::Ticks, bool>> rts;
    bool sampling = true;
    std::function<void()> sample = [&] {
        rts.emplace_back(sim_.Now(), peer.ChipRts());
        if (sampling) sim_.Schedule(sim::kMillisecond / 10, "sample RTS", sample);
    };
    sample();
    auto w1 = file().Write(Pattern(100, 1));
    ASSERT_TRUE(RunUntilCompleted(w1));
    sim_.RunFor(300 * kMillisecond);
    auto w2 = file().Write(Pattern(20, 2));
    ASSERT_TRUE(RunUntilCompleted(w2));
    sim_.RunFor(300 * kMillisecond);
    sampling = false;
    sim_.RunFor(sim::kMillisecond);
    const std::vector<sim::ReceivedCharacter>& got = peer.Received();
    ASSERT_EQ(got.size(), 120u);
    auto rtsAt = [&](sim::Ticks t) {
        bool up = false;
        for (const auto& [when, value] : rts)
            if (when <= t) up = value;
        return up;
    };
    for (const sim::ReceivedCharacter& c : got) EXPECT_TRUE(rtsAt(c.AtTick())) << "a character left with RTS down";
    // Down again after each write's last character: the check repeats every
    // character time on a timer, and timers expire on the clock's ticks.
    const sim::Ticks late = 2 * 156'250 + 5 * sim::kSecond / 960;
    EXPECT_FALSE(rtsAt(got[99].AtTick() + late)) << "RTS stayed up after the first write";
    EXPECT_FALSE(rtsAt(got[119].AtTick() + late)) << "RTS stayed up after the second write";
    EXPECT_EQ(port()->PendingToggleChecks, 0);
    ExpectIdle();
}

// A chunk the bus fails advances nothing: the write ends by its time-out with
// what went before; one the bus never completes leaves the write to a cancel,
// and close still finishes.
TEST_F(WritePathTest, AFailedChunkEndsTheWriteByItsTimeOutAndAStuckOneByCancel) {
    sim::ScriptedPeer& peer = OpenWithPeer(2, 115200);
    sim::UrbMatch bulkOut;
    bulkOut.predicate = [](const sim::UrbSummary& u) { return u.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && !u.in; };
    ASSERT_EQ(SetWriteTimeouts(0, 200), STATUS_SUCCESS);
    adapter().Usb().FailNext(bulkOut, USBD_STATUS_STALL_PID);
    auto failed = file().Write(Pattern(100));
    ASSERT_TRUE(RunUntilCompleted(failed, sim::kSecond));
    EXPECT_EQ(failed->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(failed->Information(), 0u);
    sim_.RunFor(50 * kMillisecond);
    EXPECT_TRUE(peer.ReceivedBytes().empty());

    // The next write goes out whole.
    auto next = file().Write(Pattern(40, 9));
    ASSERT_TRUE(RunUntilCompleted(next, sim::kSecond));
    EXPECT_EQ(next->Status(), STATUS_SUCCESS);
    sim_.RunFor(50 * kMillisecond);
    EXPECT_EQ(peer.ReceivedBytes(), Pattern(40, 9));

    ASSERT_EQ(SetWriteTimeouts(0, 0), STATUS_SUCCESS);
    adapter().Usb().NeverCompleteNext(bulkOut);
    auto stuck = file().Write(Pattern(30));
    sim_.RunFor(500 * kMillisecond);
    ASSERT_FALSE(stuck->Completed());
    EXPECT_EQ(CommStatus().AmountInOutQueue, 30u) << "nothing of it confirmed";
    ASSERT_EQ(file().CancelIoEx(stuck), STATUS_SUCCESS);
    ASSERT_TRUE(RunUntilCompleted(stuck, 5 * kMillisecond));
    EXPECT_EQ(stuck->Status(), STATUS_CANCELLED);
    Close();
    EXPECT_EQ(port()->DeferredWorkCount, 1);
    EXPECT_EQ(port()->OpenCount, 0);
}

// The DSR and DCD handshakes hold the transmitter on every chip, whether the
// chip carries the handshake out or only the driver can (DSR on chips 0 to 2,
// DCD everywhere): a write waits while the line is off and goes on with it.
class OutputHandshakes : public WritePathTest, public ::testing::WithParamInterface<int> {};

TEST_P(OutputHandshakes, DsrAndDcdHoldWrites) {
    sim::ScriptedPeer& peer = OpenWithPeer(GetParam(), 9600);
    for (ULONG handshake : {SERIAL_DSR_HANDSHAKE, SERIAL_DCD_HANDSHAKE}) {
        SCOPED_TRACE(handshake);
        const size_t before = peer.ReceivedBytes().size();
        ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL | handshake, SERIAL_RTS_CONTROL, 512, 128), STATUS_SUCCESS);
        peer.SetLines({true, handshake != SERIAL_DSR_HANDSHAKE, handshake != SERIAL_DCD_HANDSHAKE, false});
        sim_.RunFor(30 * kMillisecond);
        const ULONG reported =
            handshake == SERIAL_DSR_HANDSHAKE ? SERIAL_TX_WAITING_FOR_DSR : SERIAL_TX_WAITING_FOR_DCD;
        EXPECT_EQ(CommStatus().HoldReasons & reported, reported);
        auto w = file().Write(Pattern(40));
        sim_.RunFor(200 * kMillisecond);
        EXPECT_FALSE(w->Completed());
        EXPECT_EQ(peer.ReceivedBytes().size(), before) << "sent while the far end said stop";
        peer.SetLines({true, true, true, false});
        ASSERT_TRUE(RunUntilCompleted(w, sim::kSecond));
        EXPECT_EQ(w->Status(), STATUS_SUCCESS);
        sim_.RunFor(100 * kMillisecond);
        EXPECT_EQ(peer.ReceivedBytes().size(), before + 40);
        EXPECT_EQ(CommStatus().HoldReasons, 0u);
        ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 512, 128), STATUS_SUCCESS);
    }
}
INSTANTIATE_TEST_SUITE_P(Chips, OutputHandshakes, ::testing::Values(0, 2, 3));

TEST_F(WritePathTest, CloseWithWritesQueuedCancelsThem) {
    OpenWithPeer(2, 9600);
    auto first = file().Write(Pattern(2000));
    auto second = file().Write(Pattern(2000));
    sim_.RunFor(10 * kMillisecond);
    Close();
    EXPECT_EQ(first->Status(), STATUS_CANCELLED);
    EXPECT_EQ(second->Status(), STATUS_CANCELLED);
    EXPECT_EQ(port()->DeferredWorkCount, 1);
}

TEST_F(WritePathTest, FlushWaitsForTheWritesBeforeIt) {
    OpenWithPeer(2, 9600);
    auto w = file().Write(Pattern(2000));
    sim_.RunFor(1 * kMillisecond);
    ASSERT_FALSE(w->Completed());
    // A flush returns when it is done, even on an overlapped handle: only once
    // the chip has taken the last chunk (~1.5 s at 9600 baud).
    const sim::Ticks start = sim_.Now();
    auto flush = file().Flush();
    ASSERT_TRUE(RunUntilCompleted(flush));
    EXPECT_EQ(flush->Status(), STATUS_SUCCESS);
    EXPECT_TRUE(w->Completed());
    EXPECT_GT(sim_.Now() - start, sim::kSecond);
    sim_.RunFor(sim::kSecond);
    ExpectIdle();
}

}  // namespace
