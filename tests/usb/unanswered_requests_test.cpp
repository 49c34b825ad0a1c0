// The device answering badly, and what the port does about it: a control request
// the device never answers must not hold a close for ever; a pipe halted by a
// stall is reset at the next open so that its transfers run again.
#include "tests/support/open_port.h"

#include <sim/usb_bus.h>

namespace {

using sim::kMillisecond;
using sim::kSecond;
using simtest::OpenPortTest;

constexpr uint8_t kSetControlLineState = 0x22;

class UnansweredRequestsTest : public OpenPortTest {
  protected:
    void ReopenAndEcho() {
        NTSTATUS status;
        file_ = sim::File::Open(u"\\\\.\\COM3", &status, sim::OverlappedOpen());
        ASSERT_EQ(status, STATUS_SUCCESS);
        adapter().PlugLoopback();
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, sim::Bytes(SERIAL_BAUD_RATE{115200})), STATUS_SUCCESS);
        ASSERT_EQ(SetTimeouts(0, 0, 1000), STATUS_SUCCESS);
        auto read = file().Read(4);
        auto write = file().Write({'p', 'i', 'n', 'g'});
        ASSERT_TRUE(sim_.RunUntil([&] { return read->Completed() && write->Completed(); }, 3 * kSecond));
        EXPECT_EQ(Text(read->Output()), "ping");
    }
};

// A line change made where the driver cannot wait goes as an asynchronous
// request; when the device never answers it, close cancels it instead of
// waiting for it for ever, and the port opens and works again.
TEST_F(UnansweredRequestsTest, AControlRequestNeverAnsweredDoesNotHoldTheClose) {
    Open();
    sim::UrbMatch lineState;
    lineState.request = kSetControlLineState;
    sim::UrbFault never;
    never.kind = sim::UrbFault::Kind::NeverComplete;
    adapter().Usb().InjectFault(lineState, never);
    // Receive flow control on DTR: the hold raises and drops DTR from the
    // receive path, at DISPATCH_LEVEL, without waiting.
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_HANDSHAKE, 0, 10, 10), STATUS_SUCCESS);
    Receive(std::string(port()->ReceiveBufferSize, 'x'));
    sim_.RunFor(200 * kMillisecond);
    ASSERT_GE(adapter().Usb().PendingUrbs(), 1u) << "no request left unanswered: the test shows nothing";

    auto closed = std::make_shared<bool>(false);
    PassiveAt(0, [this, closed] {
        EXPECT_EQ(file_.Close(), STATUS_SUCCESS);
        *closed = true;
    });
    EXPECT_TRUE(sim_.RunUntil([&] { return *closed; }, 30 * kSecond)) << "the close waits for the device for ever";
    sim_.RunFor(kSecond);
    EXPECT_EQ(port()->PendingRequestCount, 1);
    EXPECT_EQ(port()->DeferredWorkCount, 1);
    adapter().Usb().ClearFaults();
    ReopenAndEcho();
}

// A stall on the receive pipe halts it; the next open resets the pipe, and
// reception works again.
TEST_F(UnansweredRequestsTest, APipeHaltedByAStallIsResetAtTheNextOpen) {
    Open();
    sim::UrbMatch bulkIn;
    bulkIn.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    bulkIn.predicate = [](const sim::UrbSummary& urb) { return urb.in && urb.length > 10; };
    adapter().Usb().StallNext(bulkIn);
    Receive("lost to the stall");
    sim_.RunFor(100 * kMillisecond);
    EXPECT_NE(port()->HaltedPipes, 0) << "the stall went unnoticed";
    Close();
    ReopenAndEcho();
    EXPECT_EQ(port()->HaltedPipes, 0);
}

}  // namespace
