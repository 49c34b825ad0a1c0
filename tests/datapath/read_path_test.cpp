// The read path on an open port: reads with every timeout mode of the serial
// timeouts record, in virtual time at the clock's 15.625 ms tick, bytes coming
// from the chip through the bus.
#include "tests/support/open_port.h"

namespace {

using sim::kMillisecond;
using sim::kSecond;
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
}

}  // namespace
