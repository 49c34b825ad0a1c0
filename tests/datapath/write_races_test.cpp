// Races of the write path, set up so that two parties act at about the same
// instant: the write's time-out and its last chunk, a cancel and a chunk
// completion, a purge and a chunk, close with writes queued and chunks on the
// pipe, XOFF and XON from the far end while chunks complete, two immediate
// characters. Under the schedules label each runs on two processors in many
// orders. Whatever the order, each request ends once, what a write reports as
// sent is what reaches the far end, and the port's counts return to idle.
#include "tests/support/open_port.h"

#include <sim/serial_wires.h>
#include <sim/usb_capture.h>

#include <numeric>

namespace {

using sim::kMillisecond;
using sim::kSecond;
using sim::Ticks;
using simtest::OpenPortTest;

class WriteRacesTest : public OpenPortTest {
  protected:
    WriteRacesTest() = default;
    explicit WriteRacesTest(Schedule schedule) : OpenPortTest(schedule) {}
    void CancelAroundChunkCompletions();
    sim::ScriptedPeer& OpenWithPeer(ULONG baud = 9600) { return OpenWithFarEnd(2, baud); }
    static bool EndedAsOneOf(const sim::FileRequestHandle& r, std::initializer_list<NTSTATUS> statuses) {
        for (NTSTATUS s : statuses)
            if (r->Status() == s) return true;
        return false;
    }
    void ExpectIdle() {
        EXPECT_EQ(port()->DeferredWorkCount, 1) << "deferred work left behind";
        EXPECT_EQ(port()->PendingRequestCount, 1) << "a request's hold left behind";
        EXPECT_EQ(port()->CurrentWrite, nullptr);
        EXPECT_EQ(port()->TotalCharsQueued, 0u);
        EXPECT_EQ(port()->TransmittingImmediate, 0);
    }
    // Bytes `a`, `a+1`, ... so that what arrived can be told apart.
    static std::vector<uint8_t> Run(size_t n, uint8_t first) {
        std::vector<uint8_t> bytes(n);
        std::iota(bytes.begin(), bytes.end(), first);
        return bytes;
    }
};

// The write's total time-out and its last chunk's completion come together:
// 600 bytes at 9600 baud go as 256, 256 and 88; the chip takes 513 at once and
// the last chunk completes some 90 ms later, around the time-outs tried here.
// Whoever wins, the write ends once, and what it reports as sent is exactly
// what the chip was given (a chunk handed over counts as sent).
TEST_F(WriteRacesTest, TheTimeOutAndTheLastChunkEndTheWriteOnce) {
    sim::ScriptedPeer& peer = OpenWithPeer();
    size_t reported = 0;
    for (ULONG constant = 60; constant <= 130; constant += 7) {
        SCOPED_TRACE(constant);
        ASSERT_EQ(SetWriteTimeouts(0, constant), STATUS_SUCCESS);
        adapter().Capture().Clear();
        auto w = file().Write(Run(600, static_cast<uint8_t>(constant)));
        ASSERT_TRUE(RunUntilCompleted(w, 2 * kSecond));
        ASSERT_TRUE(EndedAsOneOf(w, {STATUS_SUCCESS, STATUS_TIMEOUT}));
        ULONG handed = 0;
        for (const sim::UrbRecord& r : adapter().Capture().Records())
            if (r.transfer == sim::UsbTransferType::Bulk && !r.in && r.ntStatus == STATUS_SUCCESS) handed += r.requested;
        EXPECT_EQ(w->Information(), handed);
        if (w->Status() == STATUS_SUCCESS) {
            EXPECT_EQ(w->Information(), 600u);
        }
        reported += w->Information();
        sim_.RunFor(kSecond);
        EXPECT_EQ(peer.ReceivedBytes().size(), reported);
        ExpectIdle();
    }
}

// A cancel from another thread lands around the completions of the chunks.
void WriteRacesTest::CancelAroundChunkCompletions() {
    sim::ScriptedPeer& peer = OpenWithPeer();
    size_t sent = 0;
    for (Ticks at = 0; at <= 4 * kMillisecond; at += kMillisecond / 2) {
        SCOPED_TRACE(at);
        auto w = file().Write(Run(1200, 1));
        auto next = file().Write(Run(5, 0xA0));
        PassiveAt(at, [this, w] { file().CancelIoEx(w); });
        ASSERT_TRUE(RunUntilCompleted(w, 3 * kSecond));
        ASSERT_TRUE(EndedAsOneOf(w, {STATUS_SUCCESS, STATUS_CANCELLED}));
        ASSERT_TRUE(RunUntilCompleted(next, 3 * kSecond));
        EXPECT_EQ(next->Status(), STATUS_SUCCESS);
        sim_.RunFor(2 * kSecond);
        // The next write follows whatever of the cancelled one the chip had.
        const std::vector<uint8_t> got = peer.ReceivedBytes();
        ASSERT_GE(got.size(), sent + 5);
        EXPECT_EQ(std::vector<uint8_t>(got.end() - 5, got.end()), Run(5, 0xA0));
        sent = got.size();
        ExpectIdle();
    }
}

TEST_F(WriteRacesTest, ACancelAndAChunkCompletionEndTheWriteOnce) { CancelAroundChunkCompletions(); }

// Schedules in which the chunk a completion had claimed for the write went to
// the pipe only after the cancel had ended that write and the next write's first
// chunk had gone: the far end got the cancelled write's bytes after the next's.
class WriteRaceSeeds : public WriteRacesTest, public ::testing::WithParamInterface<uint64_t> {
  protected:
    WriteRaceSeeds() : WriteRacesTest(Schedule{sim::Policy::Pct, GetParam()}) {}
};
TEST_P(WriteRaceSeeds, ACancelAndAChunkCompletion) { CancelAroundChunkCompletions(); }
INSTANTIATE_TEST_SUITE_P(Pct, WriteRaceSeeds, ::testing::Values(429));

// PURGE_TXABORT from another thread while chunks are on the pipe, with writes
// queued behind: every write ends once; nothing queued reaches the wire.
TEST_F(WriteRacesTest, APurgeAndChunkCompletionsEndEveryWriteOnce) {
    sim::ScriptedPeer& peer = OpenWithPeer();
    for (Ticks at = 0; at <= 2 * kMillisecond; at += kMillisecond / 2) {
        SCOPED_TRACE(at);
        const size_t before = peer.ReceivedBytes().size();
        auto w1 = file().Write(Run(900, 1));
        auto w2 = file().Write(Run(50, 0xC0));
        const ULONG mask = SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR;
        PassiveAt(at, [this, mask] {
            auto purge = file().DeviceIoControl(IOCTL_SERIAL_PURGE, sim::Bytes(mask));
            KeWaitForSingleObject(&purge->event, Executive, KernelMode, FALSE, nullptr);
            EXPECT_EQ(purge->Status(), STATUS_SUCCESS);
        });
        ASSERT_TRUE(RunUntilCompleted(w1, 3 * kSecond));
        ASSERT_TRUE(RunUntilCompleted(w2, 3 * kSecond));
        ASSERT_TRUE(EndedAsOneOf(w1, {STATUS_SUCCESS, STATUS_CANCELLED}));
        ASSERT_TRUE(EndedAsOneOf(w2, {STATUS_SUCCESS, STATUS_CANCELLED}));
        sim_.RunFor(2 * kSecond);
        const size_t arrived = peer.ReceivedBytes().size() - before;
        if (w2->Status() == STATUS_CANCELLED) {
            EXPECT_LE(arrived, 900u);
        } else {
            EXPECT_EQ(arrived, 950u);
        }
        ExpectIdle();
    }
}

// The handle closes while chunks are on the pipe and writes wait behind them;
// the next open finds the port clean.
TEST_F(WriteRacesTest, CloseWithChunksOnThePipeEndsEveryWriteAndTheNextOpenIsClean) {
    OpenWithPeer();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        if (round > 0) {
            NTSTATUS status;
            file_ = sim::File::Open(u"\\\\.\\COM3", &status, sim::OverlappedOpen());
            ASSERT_EQ(status, STATUS_SUCCESS);
        }
        auto w1 = file().Write(Run(1500, 1));
        auto w2 = file().Write(Run(1500, 2));
        auto immediate = file().DeviceIoControl(IOCTL_SERIAL_IMMEDIATE_CHAR, {0x55});
        sim_.RunFor(round * kMillisecond / 2);
        EXPECT_EQ(file_.Close(), STATUS_SUCCESS);
        sim_.RunFor(3 * kSecond);
        EXPECT_TRUE(w1->Completed());
        EXPECT_TRUE(w2->Completed());
        EXPECT_TRUE(immediate->Completed());
        EXPECT_EQ(port()->OpenCount, 0);
        EXPECT_EQ(port()->DeferredWorkCount, 1);
        EXPECT_EQ(port()->PendingRequestCount, 1);
        EXPECT_EQ(port()->CurrentWrite, nullptr);
    }
}

// The far end holds and releases the port with XOFF and XON (output flow
// control) while a long write's chunks complete: every byte arrives once, in
// order, and the write succeeds.
TEST_F(WriteRacesTest, XoffAndXonFromTheFarEndWhileChunksCompleteLoseNothing) {
    sim::ScriptedPeer& peer = OpenWithPeer(115200);
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_AUTO_TRANSMIT | SERIAL_RTS_CONTROL, 512, 128), STATUS_SUCCESS);
    std::vector<uint8_t> data(6000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>('A' + i % 26);
    auto w = file().Write(data);
    for (int i = 0; i < 8; ++i) {
        sim_.Schedule((3 + 40 * i) * kMillisecond, "far end says XOFF", [&peer] { peer.Send({0x13}); });
        sim_.Schedule((23 + 40 * i) * kMillisecond, "far end says XON", [&peer] { peer.Send({0x11}); });
    }
    ASSERT_TRUE(RunUntilCompleted(w, 10 * kSecond));
    EXPECT_EQ(w->Status(), STATUS_SUCCESS);
    EXPECT_EQ(w->Information(), data.size());
    sim_.RunFor(kSecond);
    EXPECT_EQ(peer.ReceivedBytes(), data);
    ExpectIdle();
}

// Two threads ask for an immediate character at once: one at a time is sent;
// a second while the first is current is refused; each ends once.
TEST_F(WriteRacesTest, TwoImmediateCharactersAtOnceEndOnceEach) {
    sim::ScriptedPeer& peer = OpenWithPeer();
    sim::FileRequestHandle a, b;
    PassiveAt(0, [&] { a = file().DeviceIoControl(IOCTL_SERIAL_IMMEDIATE_CHAR, {0x61}); });
    PassiveAt(0, [&] { b = file().DeviceIoControl(IOCTL_SERIAL_IMMEDIATE_CHAR, {0x62}); });
    sim_.RunFor(100 * kMillisecond);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(a->Completed() && b->Completed());
    ASSERT_TRUE(EndedAsOneOf(a, {STATUS_SUCCESS, STATUS_INVALID_PARAMETER}));
    ASSERT_TRUE(EndedAsOneOf(b, {STATUS_SUCCESS, STATUS_INVALID_PARAMETER}));
    const size_t sent = (a->Status() == STATUS_SUCCESS) + (b->Status() == STATUS_SUCCESS);
    EXPECT_GE(sent, 1u);
    EXPECT_EQ(peer.ReceivedBytes().size(), sent);
    ExpectIdle();
}

// Held: the first immediate character stays current until its done DPC runs,
// so a second one meanwhile is refused.
TEST_F(WriteRacesTest, ASecondImmediateCharacterWhileTheFirstIsCurrentIsRefused) {
    sim::ScriptedPeer& peer = OpenWithPeer();
    sim_.SetPolicy(sim::Policy::Held);
    auto first = file().DeviceIoControl(IOCTL_SERIAL_IMMEDIATE_CHAR, {0x61});
    EXPECT_FALSE(first->Completed());
    auto second = file().DeviceIoControl(IOCTL_SERIAL_IMMEDIATE_CHAR, {0x62});
    EXPECT_EQ(second->Status(), STATUS_INVALID_PARAMETER);
    sim_.SetPolicy(sim::Policy::Eager);
    sim_.ReleaseAll();
    ASSERT_TRUE(RunUntilCompleted(first, kSecond));
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
    sim_.RunFor(50 * kMillisecond);
    EXPECT_EQ(peer.ReceivedBytes(), std::vector<uint8_t>{0x61});
    ExpectIdle();
}

// The adapter is pulled out while a write's chunks are on the pipe, with more
// queued, an immediate character and a counting XOFF_COUNTER: every request
// ends once and the port goes.
TEST_F(WriteRacesTest, PulledOutDuringWritesEveryRequestEndsOnce) {
    OpenWithPeer();
    auto counter = file().DeviceIoControl(IOCTL_SERIAL_XOFF_COUNTER,
                                          sim::Bytes(SERIAL_XOFF_COUNTER{0, 100, 0x13}));
    sim_.RunFor(20 * kMillisecond);
    auto w1 = file().Write(Run(2000, 1));
    auto w2 = file().Write(Run(2000, 2));
    auto immediate = file().DeviceIoControl(IOCTL_SERIAL_IMMEDIATE_CHAR, {0x55});
    sim_.RunFor(kMillisecond);
    EXPECT_EQ(adapter().SurpriseRemove(), STATUS_PENDING);
    sim_.RunFor(kSecond);
    for (const auto& r : {counter, w1, w2, immediate}) EXPECT_TRUE(r->Completed());
    EXPECT_EQ(file_.Close(), STATUS_SUCCESS);
    sim_.RunFor(kSecond);
    EXPECT_FALSE(adapter().Present());
}

// Held: the first XOFF_COUNTER has reached its count and its done DPC waits
// when a second one has sent its character and starts counting. Each must end
// as itself: the first with success, the second by its own count.
TEST_F(WriteRacesTest, AnXoffCounterDoneWhileTheNextStartsCountingEndsAsItself) {
    OpenWithPeer();
    const SERIAL_XOFF_COUNTER one{0, 1, 0x13};
    auto first = file().DeviceIoControl(IOCTL_SERIAL_XOFF_COUNTER, sim::Bytes(one));
    sim_.RunFor(50 * kMillisecond);
    ASSERT_NE(port()->CurrentXoffCounter, nullptr);
    sim_.SetPolicy(sim::Policy::Held);
    auto releaseCompletions = [&] {
        for (int i = 0; i < 50; ++i) {
            sim_.RunFor(kMillisecond);
            while (sim_.ReleaseNamed("usb completion")) sim_.RunUntilIdle();
        }
    };
    Receive("a");
    releaseCompletions();
    auto second = file().DeviceIoControl(IOCTL_SERIAL_XOFF_COUNTER, sim::Bytes(one));
    releaseCompletions();
    while (sim_.ReleaseNamed("WriteCompleteDpc")) sim_.RunUntilIdle();
    sim_.SetPolicy(sim::Policy::Eager);
    sim_.ReleaseAll();
    sim_.RunFor(50 * kMillisecond);
    ASSERT_TRUE(first->Completed());
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
    EXPECT_FALSE(second->Completed()) << "it counts its own character";
    Receive("b");
    ASSERT_TRUE(RunUntilCompleted(second, kSecond));
    EXPECT_EQ(second->Status(), STATUS_SUCCESS);
    ExpectIdle();
}

}  // namespace
