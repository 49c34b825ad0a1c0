// Races of the read path, set up so that two parties act at the same instant:
// a timer and the bytes that would fill the read, a cancel and the hand-over of
// the fill area, a purge and a completing read, close and a completing bulk-in
// transfer, the adapter pulled out during a read. Under the schedules label each
// runs on two processors in many orders. Whatever the order, each request ends
// once, and no byte is lost or seen twice: what a read did not take is still in
// the ring for the next one.
#include "tests/support/open_port.h"

namespace {

using sim::kMillisecond;
using sim::kSecond;
using sim::Ticks;
using simtest::OpenPortTest;

constexpr ULONG kMax = MAXULONG;

class ReadRacesTest : public OpenPortTest {
  protected:
    ReadRacesTest() = default;
    explicit ReadRacesTest(Schedule schedule) : OpenPortTest(schedule) {}

    // Bytes `text` arrive at the chip `at` from now.
    void ArriveAt(Ticks at, const std::string& text) {
        std::vector<uint8_t> bytes(text.begin(), text.end());
        sim_.Schedule(at, "bytes arrive", [this, bytes] { chip().InjectReceived(bytes); });
    }
    // Everything the ring holds now, read at once.
    std::string Remaining() {
        EXPECT_EQ(SetTimeouts(kMax, 0, 0), STATUS_SUCCESS);
        auto r = file().Read(4096);
        EXPECT_TRUE(RunUntilCompleted(r));
        return Text(r->Output());
    }
    // A read with a total time-out whose bytes arrive around the moment the
    // timer expires: it ends with all of them or with a time-out and fewer;
    // what it did not take is in the ring.
    void TotalTimerAgainstFill() {
        Open();
        const std::string sent = "0123456789";
        for (Ticks offset = -3; offset <= 3; ++offset) {
            SCOPED_TRACE(offset);
            ASSERT_EQ(SetTimeouts(0, 0, 40), STATUS_SUCCESS);
            // The timer is due at 40 ms and expires on the clock tick after it.
            const Ticks start = sim_.Now();
            const Ticks due = sim_.TickAtOrAfter(start + 40 * kMillisecond) - start;
            ArriveAt(due + offset * kMillisecond, sent);
            auto r = file().Read(10);
            ASSERT_TRUE(RunUntilCompleted(r));
            ASSERT_TRUE(EndedAsOneOf(r, {STATUS_SUCCESS, STATUS_TIMEOUT}));
            sim_.RunFor(20 * kMillisecond);
            EXPECT_EQ(Text(r->Output()) + Remaining(), sent);
            if (r->Status() == STATUS_SUCCESS) {
                EXPECT_EQ(r->Information(), 10u);
            } else {
                EXPECT_LT(r->Information(), 10u);
            }
        }
    }
    static bool EndedAsOneOf(const sim::FileRequestHandle& r, std::initializer_list<NTSTATUS> statuses) {
        for (NTSTATUS s : statuses)
            if (r->Status() == s) return true;
        return false;
    }
};

TEST_F(ReadRacesTest, TheTotalTimerAndTheBytesThatWouldFillTheReadLoseNothing) { TotalTimerAgainstFill(); }

// Schedules in which the timer ended a read that the last byte had already
// filled, and the read reported a time-out.
class ReadRaceSeeds : public ReadRacesTest, public ::testing::WithParamInterface<uint64_t> {
  protected:
    ReadRaceSeeds() : ReadRacesTest(Schedule{sim::Policy::Pct, GetParam()}) {}
};
TEST_P(ReadRaceSeeds, TheTotalTimerAndTheLastByte) { TotalTimerAgainstFill(); }
INSTANTIATE_TEST_SUITE_P(Pct, ReadRaceSeeds, ::testing::Values(1, 97, 139, 289, 355));

TEST_F(ReadRacesTest, TheIntervalTimerAndACancelEndTheReadOnce) {
    Open();
    for (Ticks offset = -2; offset <= 2; ++offset) {
        SCOPED_TRACE(offset);
        ASSERT_EQ(SetTimeouts(20, 0, 0), STATUS_SUCCESS);
        ArriveAt(5 * kMillisecond, "ab");
        auto r = file().Read(10);
        // The interval runs out on a tick some 20 ms after the bytes came;
        // the cancel comes around then.
        const Ticks cancelAt = sim_.TickAtOrAfter(sim_.Now() + 45 * kMillisecond) - sim_.Now();
        PassiveAt(cancelAt + offset * kMillisecond, [this, r] { file().CancelIoEx(r); });
        ASSERT_TRUE(RunUntilCompleted(r));
        ASSERT_TRUE(EndedAsOneOf(r, {STATUS_TIMEOUT, STATUS_CANCELLED}));
        sim_.RunFor(20 * kMillisecond);
        // A cancelled read gives back nothing: its bytes are gone with it, as
        // they would be on Windows; a timed-out one has them.
        const std::string rest = Remaining();
        if (r->Status() == STATUS_TIMEOUT) {
            EXPECT_EQ(Text(r->Output()), "ab");
        }
        EXPECT_EQ(rest, "");
    }
}

TEST_F(ReadRacesTest, ACancelDuringTheFillAreaHandOverLeavesTheRingConsistent) {
    Open();
    std::string sent, got;
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        const std::string chunk(20 + round, static_cast<char>('a' + round));
        ASSERT_EQ(SetTimeouts(0, 0, 0), STATUS_SUCCESS);
        // Bytes arrive while the read starts and is cancelled.
        ArriveAt(round * kMillisecond / 10, chunk);  // 0 to 0.5 ms after the cancel
        auto r = file().Read(64);
        PassiveAt(0, [this, r] { file().CancelIoEx(r); });
        ASSERT_TRUE(RunUntilCompleted(r));
        ASSERT_TRUE(EndedAsOneOf(r, {STATUS_CANCELLED}));
        sim_.RunFor(20 * kMillisecond);
        sent += chunk;
        const std::string rest = Remaining();
        // The cancelled read's bytes are lost with it; the ring holds the
        // rest, in order, and the receive path fills the ring again.
        EXPECT_EQ(port()->FillAreaStart, port()->ReceiveBuffer);
        EXPECT_EQ(port()->CharsInBuffer, 0u);
        EXPECT_TRUE(chunk.compare(chunk.size() - rest.size(), rest.size(), rest) == 0) << rest;
    }
}

TEST_F(ReadRacesTest, APurgeAndACompletingReadEachEndItOnce) {
    Open();
    for (Ticks offset = 0; offset <= 2; ++offset) {
        SCOPED_TRACE(offset);
        ASSERT_EQ(SetTimeouts(0, 0, 0), STATUS_SUCCESS);
        auto r = file().Read(4);
        sim_.RunFor(2 * kMillisecond);
        ArriveAt(0, "wxyz");
        ULONG mask = SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR;
        PassiveAt(offset * kMillisecond, [this, mask] {
            auto purge = file().DeviceIoControl(IOCTL_SERIAL_PURGE, sim::Bytes(mask));
            KeWaitForSingleObject(&purge->event, Executive, KernelMode, FALSE, nullptr);
        });
        ASSERT_TRUE(RunUntilCompleted(r));
        ASSERT_TRUE(EndedAsOneOf(r, {STATUS_SUCCESS, STATUS_CANCELLED}));
        if (r->Status() == STATUS_SUCCESS) {
            EXPECT_EQ(Text(r->Output()), "wxyz");
        }
        sim_.RunFor(20 * kMillisecond);
        Remaining();
    }
}

TEST_F(ReadRacesTest, CloseWhileBulkInCompletesFinishesAndTheNextOpenStartsClean) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        if (round == 0) {
            Open();
        } else {
            NTSTATUS status;
            file_ = sim::File::Open(u"\\\\.\\COM3", &status, sim::OverlappedOpen());
            ASSERT_EQ(status, STATUS_SUCCESS);
        }
        auto r = file().Read(100);
        sim_.RunFor(2 * kMillisecond);
        // A stream of bytes keeps the bulk-in pipe busy while the handle closes.
        for (int i = 0; i < 40; ++i) ArriveAt(i * kMillisecond / 2, std::string(30, 'q'));
        sim_.RunFor(5 * kMillisecond + round * kMillisecond / 3);
        EXPECT_EQ(file_.Close(), STATUS_SUCCESS);
        sim_.RunFor(kSecond);
        EXPECT_TRUE(r->Completed());
        EXPECT_EQ(port()->OpenCount, 0);
        EXPECT_EQ(port()->ReceiveBuffer, nullptr);
        EXPECT_EQ(port()->DeferredWorkCount, 1);
        EXPECT_EQ(port()->PendingRequestCount, 1);
    }
}

TEST_F(ReadRacesTest, PulledOutDuringAReadWithBytesArrivingEveryRequestEndsOnce) {
    Open();
    ASSERT_EQ(SetTimeouts(0, 0, 0), STATUS_SUCCESS);
    auto r = file().Read(1000);
    ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_WAIT_MASK, sim::Bytes(mask)), STATUS_SUCCESS);
    for (int i = 0; i < 20; ++i) ArriveAt(i * kMillisecond / 4, std::string(40, 'r'));
    sim_.RunFor(2 * kMillisecond);
    auto wait = file().DeviceIoControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    EXPECT_EQ(adapter().SurpriseRemove(), STATUS_PENDING);
    sim_.RunFor(kSecond);
    EXPECT_TRUE(r->Completed());
    EXPECT_TRUE(wait->Completed());
    EXPECT_EQ(file_.Close(), STATUS_SUCCESS);
    sim_.RunFor(kSecond);
    EXPECT_FALSE(adapter().Present());
}

}  // namespace
