// The read path on an open port: reads with every timeout mode of the serial
// timeouts record, measured in virtual time at the clock's 15.625 ms tick, the
// bytes coming from the chip through the bus; cancellation, and the ring
// swapped for a bigger one.
#include "tests/support/open_port.h"

namespace {

using sim::kMillisecond;
using sim::kSecond;
using sim::Ticks;
using simtest::OpenPortTest;

class ReadPathTest : public OpenPortTest {};

TEST_F(ReadPathTest, AReadTakesWhatTheRingHoldsAndWaitsForTheRest) {
    Open();
    Receive("hello");
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(port()->CharsInBuffer, 5u);
    auto r = file().Read(8);
    EXPECT_FALSE(r->Completed());
    Receive("abc");
    ASSERT_TRUE(RunUntilCompleted(r));
    EXPECT_EQ(r->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Text(r->Output()), "helloabc");
    EXPECT_EQ(port()->CharsInBuffer, 0u);
    EXPECT_EQ(port()->FillAreaStart, port()->ReceiveBuffer) << "the receive path fills the ring again";

    // A read of no bytes is answered at once.
    auto none = file().Read(0);
    ASSERT_TRUE(RunUntilCompleted(none));
    EXPECT_EQ(none->Status(), STATUS_SUCCESS);
}

// One row of the read timeout table: the timeouts, the read's length, the bytes
// in the ring before it, bytes that arrive later (when), and what the read ends
// with and when, as a window in milliseconds after the read was sent (the clock
// ticks every 15.625 ms, the bus delivers at 1 ms frames). The interval is
// checked on every tick: a gap is noticed up to a tick late and ends up to a
// tick after it ran out, so its window is two ticks wide plus the chip's
// receive latency.
struct TimeoutCase {
    const char* name;
    ULONG interval, multiplier, constant;
    ULONG length;
    std::string before;
    std::vector<std::pair<Ticks, std::string>> arrivals;
    NTSTATUS status;
    std::string read;
    Ticks earliest, latest;  // milliseconds after the read
};

constexpr ULONG kMax = MAXULONG;

const TimeoutCase kTimeoutCases[] = {
    {"waits for all (0,0,0)", 0, 0, 0, 4, "", {{100, "ab"}, {200, "cd"}}, STATUS_SUCCESS, "abcd", 200, 204},
    {"total timeout N*M+K (0,10,100)", 0, 10, 100, 5, "", {{20, "xy"}}, STATUS_TIMEOUT, "xy", 150, 157},
    {"total timeout met (0,10,100)", 0, 10, 100, 5, "", {{20, "vwxyz"}}, STATUS_SUCCESS, "vwxyz", 20, 24},
    {"return at once, empty (MAX,0,0)", kMax, 0, 0, 8, "", {}, STATUS_SUCCESS, "", 0, 0},
    {"return at once with what is there (MAX,0,0)", kMax, 0, 0, 8, "abc", {}, STATUS_SUCCESS, "abc", 0, 0},
    {"what is there, up to N (MAX,MAX,100)", kMax, kMax, 100, 10, "12345", {}, STATUS_SUCCESS, "12345", 0, 0},
    {"one character when it comes (MAX,MAX,100)", kMax, kMax, 100, 10, "", {{40, "pqr"}}, STATUS_SUCCESS, "p", 40, 44},
    {"nothing within K (MAX,MAX,100)", kMax, kMax, 100, 10, "", {}, STATUS_TIMEOUT, "", 100, 110},
    {"at once when K is 0 (MAX,MAX,0)", kMax, kMax, 0, 10, "", {}, STATUS_TIMEOUT, "", 0, 16},
    {"what is there (MAX,10,100)", kMax, 10, 100, 4, "ab", {}, STATUS_SUCCESS, "ab", 0, 0},
    {"N or N*M+K (MAX,10,100)", kMax, 10, 100, 4, "", {{30, "a"}}, STATUS_TIMEOUT, "a", 140, 141},
    {"N within N*M+K (MAX,10,100)", kMax, 10, 100, 4, "", {{30, "abcd"}}, STATUS_SUCCESS, "abcd", 30, 34},
    {"waits for all (MAX,5,MAX)", kMax, 5, kMax, 3, "", {{500, "abc"}}, STATUS_SUCCESS, "abc", 500, 504},
    {"interval not before the first (50,0,0)", 50, 0, 0, 8, "", {{300, "ab"}}, STATUS_TIMEOUT, "ab", 350, 400},
    {"interval after the last (50,0,0)", 50, 0, 0, 8, "", {{10, "a"}, {40, "b"}, {70, "c"}}, STATUS_TIMEOUT,
     "abc", 120, 170},
    {"interval and total (20,0,60)", 20, 0, 60, 8, "", {{10, "a"}, {25, "b"}, {40, "c"}, {55, "d"}},
     STATUS_TIMEOUT, "abcd", 60, 63},
};

class ReadTimeouts : public OpenPortTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(ReadTimeouts, EndAsTheTimeoutTableSays) {
    const TimeoutCase& c = GetParam();
    Open();
    ASSERT_EQ(SetTimeouts(c.interval, c.multiplier, c.constant), STATUS_SUCCESS);
    if (!c.before.empty()) {
        Receive(c.before);
        sim_.RunFor(10 * kMillisecond);
        ASSERT_EQ(port()->CharsInBuffer, c.before.size());
    }
    // The windows are for a read that starts on a clock tick: a timer expires
    // on the first tick at or after its due time.
    sim_.RunFor(sim_.TickAtOrAfter(sim_.Now()) - sim_.Now());
    const Ticks start = sim_.Now();
    for (const auto& [at, text] : c.arrivals) {
        std::vector<uint8_t> bytes(text.begin(), text.end());
        sim_.Schedule(at * kMillisecond, "bytes arrive", [this, bytes] { chip().InjectReceived(bytes); });
    }
    auto r = file().Read(c.length);
    ASSERT_TRUE(RunUntilCompleted(r, 5 * kSecond));
    const Ticks took = (sim_.Now() - start) / kMillisecond;
    EXPECT_EQ(r->Status(), c.status);
    EXPECT_EQ(Text(r->Output()), c.read);
    EXPECT_GE(took, c.earliest);
    EXPECT_LE(took, c.latest);
}

INSTANTIATE_TEST_SUITE_P(Table, ReadTimeouts, ::testing::ValuesIn(kTimeoutCases),
                         [](const ::testing::TestParamInfo<TimeoutCase>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; ++p)
                                 if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                             return name;
                         });

TEST_F(ReadPathTest, ACancelledReadLosesWhatItHadAndTheNextReadFindsTheRingConsistent) {
    Open();
    auto r = file().Read(10);
    Receive("abc");
    sim_.RunFor(10 * kMillisecond);
    EXPECT_FALSE(r->Completed());
    EXPECT_NE(port()->FillAreaStart, port()->ReceiveBuffer) << "the read owns the fill area";
    EXPECT_EQ(file().CancelIoEx(r), STATUS_SUCCESS);
    ASSERT_TRUE(RunUntilCompleted(r));
    EXPECT_EQ(r->Status(), STATUS_CANCELLED);
    EXPECT_EQ(r->Information(), 0u);
    EXPECT_EQ(port()->FillAreaStart, port()->ReceiveBuffer);
    EXPECT_EQ(port()->CharsInBuffer, 0u);

    ASSERT_EQ(SetTimeouts(kMax, 0, 0), STATUS_SUCCESS);
    Receive("def");
    sim_.RunFor(10 * kMillisecond);
    auto next = file().Read(10);
    ASSERT_TRUE(RunUntilCompleted(next));
    EXPECT_EQ(Text(next->Output()), "def");
}

TEST_F(ReadPathTest, QueuedReadsRunInOrderAndACancelledOneLeavesTheOthers) {
    Open();
    auto first = file().Read(2);
    auto second = file().Read(2);
    auto third = file().Read(2);
    EXPECT_EQ(file().CancelIoEx(second), STATUS_SUCCESS);
    sim_.RunFor(5 * kMillisecond);
    EXPECT_EQ(second->Status(), STATUS_CANCELLED);
    Receive("abcd");
    ASSERT_TRUE(RunUntilCompleted(third));
    EXPECT_EQ(Text(first->Output()), "ab");
    EXPECT_EQ(Text(third->Output()), "cd");
}

TEST_F(ReadPathTest, ABiggerRingTakesTheHeldCharactersInOrderEvenWhenTheyWrap) {
    sim_.SetSystemSize(MmSmallSystem);
    Open();
    ASSERT_EQ(port()->ReceiveBufferSize, 128u);
    ASSERT_EQ(SetTimeouts(kMax, 0, 0), STATUS_SUCCESS);
    port()->ValidDataMask = 0xFF;  // eight data bits: every byte value arrives as sent
    // 100 in, 90 out, 100 in: the ring wraps, holding 110.
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 200; ++i) bytes.push_back(static_cast<uint8_t>(i));
    Receive(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 100));
    sim_.RunFor(10 * kMillisecond);
    auto head = file().Read(90);
    ASSERT_TRUE(RunUntilCompleted(head));
    ASSERT_EQ(head->Information(), 90u);
    Receive(std::vector<uint8_t>(bytes.begin() + 100, bytes.end()));
    sim_.RunFor(10 * kMillisecond);
    ASSERT_EQ(port()->CharsInBuffer, 110u);
    ASSERT_LT(port()->FillPosition, port()->FirstReadable) << "wrapped";

    SERIAL_QUEUE_SIZE size{1000, 0};
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_QUEUE_SIZE, sim::Bytes(size)), STATUS_SUCCESS);
    EXPECT_EQ(port()->ReceiveBufferSize, 1000u);
    EXPECT_EQ(port()->HandFlow.XonLimit, 500);
    EXPECT_EQ(port()->HandFlow.XoffLimit, 125);
    EXPECT_EQ(port()->NearlyFullMark, 1000u / 4 * 3 + 1000u / 16);
    auto rest = file().Read(200);
    ASSERT_TRUE(RunUntilCompleted(rest));
    const std::vector<uint8_t> expected(bytes.begin() + 90, bytes.end());
    ASSERT_EQ(rest->Output().size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(rest->Output()[i], expected[i]) << "at " << i;

    // Not bigger than the ring: nothing changes.
    SERIAL_QUEUE_SIZE smaller{500, 0};
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_QUEUE_SIZE, sim::Bytes(smaller)), STATUS_SUCCESS);
    EXPECT_EQ(port()->ReceiveBufferSize, 1000u);
}

}  // namespace
