// The settings a start derives from the size of the receive ring: the flow
// control limits, the nearly-full mark, their copies in the WMI record, and the
// read path's poll constants. The ring keeps its size across a stop, so a
// restart derives them from whatever an earlier open left.
#include "tests/support/sim_fixture.h"

#include <sim/workbench/workbench.h>

#include <cstring>

#include "control/control.h"

namespace {

using simtest::SimTest;

class RingDefaultsTest : public SimTest {
  protected:
    sim::Workbench bench;
};

TEST_F(RingDefaultsTest, EveryStartDerivesTheLimitsFromTheRingSizeItFinds) {
    sim::Adapter& adapter = bench.AddAdapter();
    ASSERT_EQ(adapter.Plug(), STATUS_SUCCESS);
    PortExtension* port = adapter.Port();
    // A first start finds no ring.
    EXPECT_EQ(port->HandFlow.XonLimit, 0);
    EXPECT_EQ(port->HandFlow.XoffLimit, 0);
    EXPECT_EQ(port->NearlyFullMark, 0u);

    // Integer divisions each on its own: 13/16 of the size taken in one step
    // rounds differently, and in 32 bits it overflows for large rings.
    struct Case {
        ULONG size;
        LONG xon, xoff;
        ULONG nearlyFull;
    };
    const Case cases[] = {
        {1, 0, 0, 0},
        {17, 8, 2, 13},
        {4095, 2047, 511, 3324},
        {4096, 2048, 512, 3328},
        {0xFFFFFFF0u, 0x7FFFFFF8, 0x1FFFFFFE, 0xCFFFFFF3u},
        {0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        port->ReceiveBufferSize = c.size;
        // Whatever the device controls set before the stop is replaced.
        port->HandFlow = {SERIAL_ERROR_ABORT, SERIAL_AUTO_RECEIVE, 7, 9};
        port->NearlyFullMark = 12345;
        port->ShortPollDelay = port->LongPollDelay = port->PollCutover = 0;
        ASSERT_EQ(adapter.Rebalance(), STATUS_SUCCESS);
        ASSERT_EQ(port->PnpState, Started);

        EXPECT_EQ(port->HandFlow.ControlHandShake, static_cast<ULONG>(SERIAL_DTR_CONTROL));
        EXPECT_EQ(port->HandFlow.FlowReplace, static_cast<ULONG>(SERIAL_RTS_CONTROL));
        EXPECT_EQ(port->HandFlow.XonLimit, c.xon);
        EXPECT_EQ(port->HandFlow.XoffLimit, c.xoff);
        EXPECT_EQ(port->NearlyFullMark, c.nearlyFull);
        EXPECT_EQ(port->WmiCommInfo.XonXmitThreshold, static_cast<ULONG>(c.xon));
        EXPECT_EQ(port->WmiCommInfo.XoffXmitThreshold, static_cast<ULONG>(c.xoff));
        EXPECT_EQ(port->ShortPollDelay, -1);
        EXPECT_EQ(port->LongPollDelay, -10000000);
        EXPECT_EQ(port->PollCutover, 200000000);

        // What a caller reads back through the published codes.
        port->DeviceIsOpen = 1;
        auto handflow = sim::DeviceIoControl(adapter.Fdo(), IOCTL_SERIAL_GET_HANDFLOW, {},
                                             sizeof(SERIAL_HANDFLOW));
        auto properties = sim::DeviceIoControl(adapter.Fdo(), IOCTL_SERIAL_GET_PROPERTIES, {},
                                               sizeof(SERIAL_COMMPROP));
        port->DeviceIsOpen = 0;
        ASSERT_EQ(handflow->status, STATUS_SUCCESS);
        ASSERT_EQ(handflow->output.size(), sizeof(SERIAL_HANDFLOW));
        SERIAL_HANDFLOW reply;
        std::memcpy(&reply, handflow->output.data(), sizeof reply);
        EXPECT_EQ(reply.XonLimit, c.xon);
        EXPECT_EQ(reply.XoffLimit, c.xoff);
        ASSERT_EQ(properties->status, STATUS_SUCCESS);
        SERIAL_COMMPROP props;
        std::memcpy(&props, properties->output.data(), sizeof props);
        EXPECT_EQ(props.CurrentRxQueue, c.size);
    }
}

}  // namespace
