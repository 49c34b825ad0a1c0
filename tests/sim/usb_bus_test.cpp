// The simulated bus's URB service: setup packets as the bus forms them,
// validation, the full-speed frame schedule in virtual time, NAK and
// EndpointReady, short packets, cancellation, device removal, fault injection.
#include "tests/sim/usb_fake_function.h"

#include <sim/usb_bus.h>

#include <cstddef>
#include <numeric>
#include <set>

namespace {

using sim::kMicrosecond;
using sim::kMillisecond;
using sim::kUsbFrame;
using sim::Ticks;
using usbtest::DataTransfer;
using usbtest::DescriptorRequest;
using usbtest::DeviceLayout;
using usbtest::UsbTest;
using usbtest::VendorRequest;

Ticks NextFrame(Ticks t) {
    return (t / kUsbFrame + 1) * kUsbFrame;
}

// The frame that carries a request sent at `t` straight from the completion of
// the one before (as these tests do): a completion is reported at a frame's
// start, and what is sent then still goes in that frame.
Ticks CarryingFrame(Ticks t) {
    return t % kUsbFrame == 0 ? t : NextFrame(t);
}

std::vector<uint8_t> SetupBytes(const sim::SetupPacket& s) {
    return {s.bmRequestType,    s.bRequest,
            uint8_t(s.wValue),  uint8_t(s.wValue >> 8),
            uint8_t(s.wIndex),  uint8_t(s.wIndex >> 8),
            uint8_t(s.wLength), uint8_t(s.wLength >> 8)};
}

class UsbBusTest : public UsbTest {};

TEST_F(UsbBusTest, ControlUrbsBecomeTheSetupPacketsTheBusFormsAndCompleteAtTheFrameEnd) {
    Plug();
    function->controls.clear();
    function->vendorReply = {0xAA};

    uint8_t lineCoding[7] = {0x80, 0x25, 0, 0, 0, 2, 8};
    uint8_t reg[2] = {0, 0};
    uint8_t descriptor[64] = {};
    URB vendorOut =
        VendorRequest(URB_FUNCTION_VENDOR_DEVICE, false, 0x01, 0x0606, 0x00AA, nullptr, 0);
    URB vendorIn = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, true, 0x01, 0x8686, 0, reg, 2);
    URB classOut = VendorRequest(URB_FUNCTION_CLASS_INTERFACE, false, 0x20, 0, 0, lineCoding, 7);
    URB feature{};
    UsbBuildFeatureRequest(&feature, URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP,
                           0, nullptr);
    URB get = DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, sizeof descriptor);

    const struct {
        URB* urb;
        std::vector<uint8_t> setup;
        std::vector<uint8_t> sent;
        ULONG moved;
    } cases[] = {
        {&vendorOut, {0x40, 0x01, 0x06, 0x06, 0xAA, 0x00, 0x00, 0x00}, {}, 0},
        {&vendorIn, {0xC0, 0x01, 0x86, 0x86, 0x00, 0x00, 0x02, 0x00}, {}, 1},
        {&classOut,
         {0x21, 0x20, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00},
         {lineCoding, lineCoding + 7},
         7},
        {&feature, {0x00, 0x03, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}, {}, 0},
        {&get, {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x40, 0x00}, {}, 18},
    };
    bool afterCompletion = false;
    for (const auto& c : cases) {
        function->controls.clear();
        const Ticks submitted = sim_.Now();
        auto r = client->Submit(c.urb);
        EXPECT_EQ(r->returned, STATUS_PENDING);
        EXPECT_FALSE(r->completed) << "a bus never completes a transfer in the submitter's call";
        EXPECT_EQ(c.urb->UrbHeader.Status, USBD_STATUS_PENDING);
        ASSERT_TRUE(RunUntilDone(r));
        EXPECT_EQ(r->status, STATUS_SUCCESS);
        EXPECT_EQ(c.urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
        // The next frame carries it, or, sent as the one before completed, the
        // frame just begun; its completion is reported at that frame's end.
        EXPECT_EQ(sim_.Now(), (afterCompletion ? CarryingFrame(submitted) : NextFrame(submitted)) + kUsbFrame);
        afterCompletion = true;
        ASSERT_EQ(function->controls.size(), 1u);
        EXPECT_EQ(SetupBytes(function->controls[0].setup), c.setup);
        EXPECT_EQ(function->controls[0].data, c.sent);
        if (c.urb != &feature) {
            EXPECT_EQ(c.urb->UrbControlVendorClassRequest.TransferBufferLength, c.moved);
        }
    }
    EXPECT_EQ(reg[0], 0xAA);
    EXPECT_EQ(std::vector<uint8_t>(descriptor, descriptor + 18), device->DeviceDescriptor());
}

TEST_F(UsbBusTest, ControlStagesSpillIntoTheNextFrameWhenTheFrameIsFull) {
    DeviceLayout layout = usbtest::OneInterfaceDevice();
    layout.maxPacket0 = 8;  // a 64-byte data stage is 8 packets, the transfer 10
    Plug(layout);
    function->vendorReply.assign(64, 0x5A);
    uint8_t buffers[3][64];
    URB urbs[3];
    sim::IrpHandle r[3];
    for (int i = 0; i < 3; ++i) {
        urbs[i] = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, true, 0x10, 0, 0, buffers[i], 64);
        r[i] = client->Submit(&urbs[i]);
    }
    // Frame 1 has room for the first and 9 packets of the second; frame 2
    // finishes the second and carries the whole third.
    ASSERT_TRUE(RunUntilDone(r[0]));
    EXPECT_EQ(sim_.Now(), 2 * kMillisecond);
    EXPECT_FALSE(r[1]->completed);
    ASSERT_TRUE(RunUntilDone(r[2]));
    EXPECT_TRUE(r[1]->completed);
    EXPECT_EQ(sim_.Now(), 3 * kMillisecond);
    for (auto& u : urbs)
        EXPECT_EQ(u.UrbControlVendorClassRequest.TransferBufferLength, 64u);
}

TEST_F(UsbBusTest, MalformedUrbsFailAtOnceWithTheUsbdStatusAndItsNtStatus) {
    Plug();
    Configure();
    function->controls.clear();
    uint8_t buffer[16] = {};
    int mdl = 0;
    URB link{};

    struct Case {
        const char* what;
        URB urb;
        USBD_STATUS usbd;
        NTSTATUS nt;
    };
    std::vector<Case> cases;
    URB u = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, false, 1, 0, 0, nullptr, 0);
    u.UrbHeader.Length -= 1;
    cases.push_back({"header length not the record's", u, USBD_STATUS_INVALID_PARAMETER,
                     STATUS_INVALID_PARAMETER});
    u = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, false, 1, 0, 0, nullptr, 0);
    u.UrbHeader.Function = 0x0099;
    cases.push_back(
        {"unknown function", u, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER});
    u = DataTransfer(reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), 0, buffer, 4);
    cases.push_back({"pipe handle never handed out", u, USBD_STATUS_INVALID_PIPE_HANDLE,
                     STATUS_INVALID_PARAMETER});
    u = DataTransfer(Pipe(0x02), USBD_TRANSFER_DIRECTION_IN, buffer, 4);
    cases.push_back(
        {"IN on an OUT pipe", u, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER});
    u = DataTransfer(Pipe(0x83), 0, buffer, 4);
    cases.push_back(
        {"OUT on an IN pipe", u, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER});
    u = DataTransfer(Pipe(0x02), 0, nullptr, 4);
    cases.push_back(
        {"length without a buffer", u, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER});
    u = DataTransfer(Pipe(0x83), USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP, buffer,
                     4);
    cases.push_back({"flags a bulk pipe does not take", u, USBD_STATUS_INVALID_PARAMETER,
                     STATUS_INVALID_PARAMETER});
    u = DataTransfer(Pipe(0x83), USBD_TRANSFER_DIRECTION_IN, buffer, 0);
    cases.push_back(
        {"read of nothing", u, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER});
    u = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, true, 1, 0, 0, buffer, 2);
    u.UrbControlVendorClassRequest.TransferBufferMDL = reinterpret_cast<PMDL>(&mdl);
    cases.push_back({"MDL", u, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER});
    u = VendorRequest(URB_FUNCTION_CLASS_INTERFACE, false, 0x22, 3, 0, nullptr, 0);
    u.UrbControlVendorClassRequest.UrbLink = &link;
    cases.push_back({"linked URB", u, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER});
    u = DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, nullptr, 64);
    cases.push_back({"descriptor read without a buffer", u, USBD_STATUS_INVALID_PARAMETER,
                     STATUS_INVALID_PARAMETER});

    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Ticks before = sim_.Now();
        auto r = client->Submit(&c.urb);
        ASSERT_TRUE(r->completed) << "refused in the dispatch routine";
        EXPECT_EQ(r->returned, c.nt);
        EXPECT_EQ(r->status, c.nt);
        EXPECT_EQ(c.urb.UrbHeader.Status, c.usbd);
        EXPECT_EQ(sim_.Now(), before);
        EXPECT_EQ(device->Capture().Records().back().usbdStatus, c.usbd);
    }
    auto r = client->Submit(nullptr);
    ASSERT_TRUE(r->completed);
    EXPECT_EQ(r->status, STATUS_INVALID_PARAMETER);

    EXPECT_TRUE(function->controls.empty()) << "nothing of a refused URB reaches the device";
    EXPECT_TRUE(function->inCalls.empty());
    EXPECT_TRUE(function->outCalls.empty());
    EXPECT_EQ(device->UrbsSubmitted(), 1 + cases.size() + 1);
}

TEST_F(UsbBusTest, BulkInStaysPendingWithoutPollingUntilTheFunctionIsReady) {
    Plug();
    Configure();
    uint8_t buffer[384];
    URB in = DataTransfer(Pipe(0x83), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                          sizeof buffer);
    auto r = client->Submit(&in);
    sim_.RunFor(50 * kMillisecond);
    EXPECT_FALSE(r->completed);
    EXPECT_EQ(function->inCalls[0x83], 1) << "asked once, answered NAK, not asked again";
    EXPECT_EQ(sim_.NextEventTime(), -1) << "an idle bus schedules nothing";
    EXPECT_EQ(device->PendingUrbs(0x83), 1u);

    sim_.RunFor(300 * kMicrosecond);
    const Ticks ready = sim_.Now();
    function->Send(0x83, {'a', 'b', 'c'});
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(sim_.Now(), NextFrame(ready) + kUsbFrame);
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(in.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
    EXPECT_EQ(std::string(buffer, buffer + 3), "abc");
    EXPECT_EQ(device->PendingUrbs(), 0u);
}

TEST_F(UsbBusTest, ShortPacketEndsAReadOnlyWhenTheTransferAllowsIt) {
    Plug();
    Configure();
    uint8_t buffer[384];
    // Allowed: full packets continue the transfer, the short one ends it.
    function->Send(0x83, std::vector<uint8_t>(64, 1));
    function->Send(0x83, std::vector<uint8_t>(64, 2));
    function->Send(0x83, std::vector<uint8_t>(10, 3));
    URB ok = DataTransfer(Pipe(0x83), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                          sizeof buffer);
    auto r = client->Submit(&ok);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(ok.UrbBulkOrInterruptTransfer.TransferBufferLength, 138u);
    EXPECT_EQ(buffer[137], 3);

    // Not allowed: the host controller halts the endpoint and reports the underrun.
    function->Send(0x83, std::vector<uint8_t>(10, 4));
    URB strict = DataTransfer(Pipe(0x83), USBD_TRANSFER_DIRECTION_IN, buffer, sizeof buffer);
    r = client->Submit(&strict);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(r->status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(strict.UrbHeader.Status, sim::kUsbdStatusDataUnderrun);
    EXPECT_EQ(strict.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);

    function->Send(0x83, {9});
    const int asked = function->inCalls[0x83];
    URB halted =
        DataTransfer(Pipe(0x83), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer, 8);
    r = client->Submit(&halted);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(halted.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(function->inCalls[0x83], asked) << "a halted endpoint is not scheduled";

    URB reset{};
    reset.UrbPipeRequest.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    reset.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    reset.UrbPipeRequest.PipeHandle = Pipe(0x83);
    function->controls.clear();
    r = client->Submit(&reset);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    ASSERT_EQ(function->controls.size(), 1u);
    EXPECT_EQ(SetupBytes(function->controls[0].setup),
              (std::vector<uint8_t>{0x02, 0x01, 0, 0, 0x83, 0, 0, 0}));
    halted =
        DataTransfer(Pipe(0x83), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer, 8);
    r = client->Submit(&halted);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(buffer[0], 9);
}

TEST_F(UsbBusTest, HostControllersThatIgnoreTheShortTransferFlagCompleteShortReads) {
    sim::UsbDeviceConfig config;
    config.shortPacketsAlwaysComplete = true;
    Plug(usbtest::OneInterfaceDevice(), config);
    Configure();
    uint8_t buffer[384];
    function->Send(0x83, std::vector<uint8_t>(10, 4));
    URB in = DataTransfer(Pipe(0x83), USBD_TRANSFER_DIRECTION_IN, buffer, sizeof buffer);
    auto r = client->Submit(&in);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(in.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
}

TEST_F(UsbBusTest, BulkOutMovesNineteenPacketsAFrameAndWaitsWhileTheFunctionHasNoRoom) {
    Plug();
    Configure();
    std::vector<uint8_t> data(4096);
    std::iota(data.begin(), data.end(), 0);
    URB out = DataTransfer(Pipe(0x02), 0, data.data(), static_cast<ULONG>(data.size()));
    const Ticks submitted = sim_.Now();
    auto r = client->Submit(&out);
    ASSERT_TRUE(RunUntilDone(r));
    // 64 packets: 19 + 19 + 19 + 7 in four frames.
    EXPECT_EQ(sim_.Now(), CarryingFrame(submitted) + 4 * kUsbFrame);
    EXPECT_EQ(function->received[0x02], data);
    EXPECT_EQ(function->outCalls[0x02], 64);
    EXPECT_EQ(out.UrbBulkOrInterruptTransfer.TransferBufferLength, 4096u);

    // Room for 10 bytes is no room for a packet of 64: refused whole, and not
    // asked again until the function is ready; then it goes at once, in the
    // frame under way (the host controller kept retrying it).
    function->received.clear();
    function->outRoom[0x02] = 10;
    URB chunk = DataTransfer(Pipe(0x02), 0, data.data(), 100);
    r = client->Submit(&chunk);
    sim_.RunFor(20 * kMillisecond + 300 * kMicrosecond);
    EXPECT_FALSE(r->completed);
    EXPECT_TRUE(function->received[0x02].empty());
    EXPECT_EQ(function->outCalls[0x02], 64 + 1);
    function->outRoom[0x02] = 1000;
    const Ticks ready = sim_.Now();
    function->Ready(0x02);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(sim_.Now(), NextFrame(ready));
    EXPECT_EQ(function->received[0x02], std::vector<uint8_t>(data.begin(), data.begin() + 100));

    URB empty = DataTransfer(Pipe(0x02), 0, nullptr, 0);
    r = client->Submit(&empty);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(r->status, STATUS_SUCCESS) << "a zero-length packet goes out";
    EXPECT_EQ(empty.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
}

TEST_F(UsbBusTest, ANakedBulkOutIsRetriedInItsFrameWhileTheFrameHasPacketsAndTimeLeft) {
    Plug();
    Configure();
    std::vector<uint8_t> data(4096);
    std::iota(data.begin(), data.end(), 0);
    auto& received = function->received[0x02];
    function->outRoom[0x02] = 5 * 64;
    sim_.RunFor(kUsbFrame / 2);
    URB out = DataTransfer(Pipe(0x02), 0, data.data(), static_cast<ULONG>(data.size()));
    auto r = client->Submit(&out);
    const Ticks f1 = NextFrame(sim_.Now());

    // Frame 1: five packets, the sixth refused; 13 of the frame's 19 are left.
    sim_.RunFor(f1 + 100 * kMicrosecond - sim_.Now());
    EXPECT_EQ(received.size(), 5u * 64);
    EXPECT_EQ(function->outCalls[0x02], 6);
    // Ready 0.1 ms in: time for 17 more packets, but the budget has 13.
    function->outRoom[0x02] = 20 * 64;
    function->Ready(0x02);
    sim_.RunFor(10 * kMicrosecond);
    EXPECT_EQ(received.size(), (5u + 13) * 64) << "retried at once, up to the frame's budget";
    // With the budget spent, readiness waits for the next frame.
    function->Ready(0x02);
    sim_.RunFor(f1 + 500 * kMicrosecond - sim_.Now());
    EXPECT_EQ(received.size(), 18u * 64);
    EXPECT_EQ(function->outCalls[0x02], 6 + 13);

    // Frame 2: the 7 packets there is room for, the eighth refused (11 left).
    sim_.RunFor(kUsbFrame);
    EXPECT_EQ(received.size(), 25u * 64);
    EXPECT_EQ(function->outCalls[0x02], 6 + 13 + 8);
    // Ready 0.9 ms in: the budget has 11 packets, the frame's time one.
    sim_.RunFor(f1 + kUsbFrame + 900 * kMicrosecond - sim_.Now());
    function->outRoom[0x02] = 10 * 64;
    function->Ready(0x02);
    sim_.RunFor(10 * kMicrosecond);
    EXPECT_EQ(received.size(), 26u * 64) << "one packet's time left in the frame";
    EXPECT_FALSE(r->completed);

    // The last 38 packets with room to spare: 19 in frame 3, 19 in frame 4; each
    // packet once, in order.
    function->outRoom.erase(0x02);
    sim_.RunFor(20 * kMicrosecond);
    function->Ready(0x02);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(sim_.Now(), f1 + 4 * kUsbFrame);
    EXPECT_EQ(received, data);
    EXPECT_EQ(function->outCalls[0x02], 6 + 13 + 8 + 1 + 38);
    EXPECT_EQ(r->status, STATUS_SUCCESS);
}

TEST_F(UsbBusTest, InterruptInIsPolledOnItsPeriodsSchedule) {
    DeviceLayout layout = usbtest::OneInterfaceDevice();
    layout.interfaces[0].endpoints[0].interval = 10;  // served every 8 frames
    Plug(layout);
    auto infos = Configure();
    EXPECT_EQ(infos[0]->Pipes[0].Interval, 10);
    ASSERT_EQ(sim_.Now(), 2 * kMillisecond);
    sim_.RunFor(500 * kMicrosecond);

    uint8_t status[10];
    function->Send(0x81, std::vector<uint8_t>(10, 0x30));
    URB poll = DataTransfer(Pipe(0x81), USBD_TRANSFER_DIRECTION_IN, status, sizeof status);
    auto r = client->Submit(&poll);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(sim_.Now(), 9 * kMillisecond) << "polled in frame 8, reported at its end";
    EXPECT_EQ(poll.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);

    r = client->Submit(&poll);
    sim_.RunFor(11 * kMillisecond + 200 * kMicrosecond);  // to 20.2 ms: polled at 16 ms, NAK
    EXPECT_FALSE(r->completed);
    EXPECT_EQ(function->inCalls[0x81], 2);
    function->Send(0x81, std::vector<uint8_t>(10, 0x31));
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(sim_.Now(), 25 * kMillisecond) << "the next poll slot is frame 24";
    EXPECT_EQ(status[0], 0x31);
}

// Sent again from the completion of the one before, at the start of a frame, an
// interrupt transfer keeps the endpoint's period: with an interval of 1 a status
// packet can come every frame, not every other one.
TEST_F(UsbBusTest, InterruptInSentAgainFromItsCompletionKeepsAPeriodOfOneFrame) {
    DeviceLayout layout = usbtest::OneInterfaceDevice();
    layout.interfaces[0].endpoints[0].interval = 1;
    Plug(layout);
    Configure();
    for (uint8_t i = 0; i < 4; ++i)
        function->Send(0x81, std::vector<uint8_t>(10, static_cast<uint8_t>(0x40 + i)));
    uint8_t status[10];
    URB poll = DataTransfer(Pipe(0x81), USBD_TRANSFER_DIRECTION_IN, status, sizeof status);
    auto r = client->Submit(&poll);
    ASSERT_TRUE(RunUntilDone(r));
    const Ticks first = sim_.Now();
    EXPECT_EQ(status[0], 0x40);
    for (int i = 1; i < 4; ++i) {
        r = client->Submit(&poll);
        ASSERT_TRUE(RunUntilDone(r));
        EXPECT_EQ(sim_.Now(), first + i * kUsbFrame) << "packet " << i;
        EXPECT_EQ(status[0], 0x40 + i);
    }
}

// A frame is served at its first instant, but a host controller goes on through
// its control and bulk list for the whole frame: what the driver sends at that
// instant after the frame's first service (an application's next write, set off
// by the completion reported then) still goes in it, with the packets the frame
// has left. Without any left it waits; an interrupt poll waits for the next
// frame's periodic part.
TEST_F(UsbBusTest, WorkSentAsAFrameBeginsGoesInItWithThePacketsItHasLeft) {
    DeviceLayout layout = usbtest::OneInterfaceDevice();
    layout.maxPacket0 = 8;  // a 64-byte control data stage: 10 packets in all
    Plug(layout);
    Configure();
    std::vector<uint8_t> data(64, 0x77);
    uint8_t controlBuffers[2][64];
    uint8_t status[10];
    function->vendorReply.assign(64, 0x5A);

    const struct {
        const char* what;
        int controls;  // 10 packets each, served before the bulk pipes
        bool interrupt;
        int framesUntilDone;  // from the frame begun when the trigger completed
    } cases[] = {
        {"nine packets left: the bulk transfer goes in the frame begun", 1, false, 1},
        {"none left: the next frame", 2, false, 2},
        {"an interrupt poll: the next frame's periodic part", 1, true, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // A trigger sent in the middle of a frame completes at the start of the
        // frame after next, which control transfers sent meanwhile make busy.
        sim_.RunFor(NextFrame(sim_.Now()) - sim_.Now() + kUsbFrame / 2);
        URB trigger = DataTransfer(Pipe(0x02), 0, data.data(), 64);
        auto t = client->Submit(&trigger);
        sim_.RunFor(kUsbFrame);
        URB controls[2];
        std::vector<sim::IrpHandle> sent;
        for (int i = 0; i < c.controls; ++i) {
            controls[i] = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, true, 0x10, 0, 0, controlBuffers[i], 64);
            sent.push_back(client->Submit(&controls[i]));
        }
        ASSERT_TRUE(RunUntilDone(t));
        const Ticks begun = sim_.Now();
        ASSERT_EQ(begun % kUsbFrame, 0);
        sim_.RunUntilIdle();  // the frame's first service runs
        ASSERT_EQ(sim_.Now(), begun);
        if (c.interrupt)
            function->Send(0x81, std::vector<uint8_t>(10, 0x42));
        URB next = c.interrupt ? DataTransfer(Pipe(0x81), USBD_TRANSFER_DIRECTION_IN, status, sizeof status)
                               : DataTransfer(Pipe(0x02), 0, data.data(), 64);
        auto r = client->Submit(&next);
        ASSERT_TRUE(RunUntilDone(r));
        EXPECT_EQ(sim_.Now(), begun + c.framesUntilDone * kUsbFrame);
        EXPECT_EQ(r->status, STATUS_SUCCESS);
        for (auto& s : sent)
            ASSERT_TRUE(RunUntilDone(s));
        sim_.RunFor(5 * kUsbFrame);
    }
}

TEST_F(UsbBusTest, CancelledUrbsCompleteAtTheNextFrameWithWhatAlreadyMoved) {
    Plug();
    Configure();
    uint8_t buffer[384];
    URB in = DataTransfer(Pipe(0x83), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                          sizeof buffer);
    function->Send(0x83, std::vector<uint8_t>(64, 7));
    auto r = client->Submit(&in);
    sim_.RunFor(10 * kMillisecond + 500 * kMicrosecond);
    ASSERT_FALSE(r->completed);
    const Ticks cancelled = sim_.Now();
    EXPECT_TRUE(sim::CancelIrp(r));
    EXPECT_FALSE(r->completed) << "the host controller lets go of it at the next frame";
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(sim_.Now(), NextFrame(cancelled));
    EXPECT_EQ(r->status, STATUS_CANCELLED);
    EXPECT_EQ(in.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(in.UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);

    // A request queued behind one that never completes is cancelled without
    // ever reaching the device, and the endpoint serves what follows.
    device->NeverCompleteNext({URB_FUNCTION_VENDOR_DEVICE, std::nullopt, 0x05, nullptr});
    URB stuck = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, false, 0x05, 0, 0, nullptr, 0);
    URB queued = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, false, 0x06, 0, 0, nullptr, 0);
    function->controls.clear();
    auto a = client->Submit(&stuck);
    auto b = client->Submit(&queued);
    sim_.RunFor(20 * kMillisecond);
    EXPECT_FALSE(a->completed);
    EXPECT_FALSE(b->completed);
    EXPECT_TRUE(sim::CancelIrp(b));
    ASSERT_TRUE(RunUntilDone(b));
    EXPECT_EQ(b->status, STATUS_CANCELLED);
    EXPECT_FALSE(a->completed);
    EXPECT_TRUE(sim::CancelIrp(a));
    ASSERT_TRUE(RunUntilDone(a));
    EXPECT_EQ(a->status, STATUS_CANCELLED);
    EXPECT_TRUE(function->controls.empty());
    auto c = client->Submit(&queued);
    ASSERT_TRUE(RunUntilDone(c));
    EXPECT_EQ(c->status, STATUS_SUCCESS);
    EXPECT_EQ(function->controls.size(), 1u);
}

TEST_F(UsbBusTest, ARequestThatNeverCompletesIsCancelledAfterTheCallersTimeLimit) {
    Plug();
    device->NeverCompleteNext({URB_FUNCTION_VENDOR_DEVICE, std::nullopt, 0x01, nullptr});
    URB urb = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, false, 0x01, 0x0606, 0x00AA, nullptr, 0);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, client->device, nullptr,
                                             0, nullptr, 0, TRUE, &done, &iosb);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    const Ticks start = sim_.Now();
    ASSERT_EQ(IoCallDriver(client->device, irp), STATUS_PENDING);

    URB later = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, false, 0x01, 0x0707, 0, nullptr, 0);
    sim::IrpHandle second;
    sim_.Schedule(sim::kSecond, "second request", [&] { second = client->Submit(&later); });

    LARGE_INTEGER limit;
    limit.QuadPart = -3 * sim::kSecond;
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &limit), STATUS_TIMEOUT);
    const Ticks timedOut = sim_.Now();
    EXPECT_EQ(timedOut, start + 3 * sim::kSecond);
    ASSERT_TRUE(second && !second->completed) << "endpoint 0 is held by the request that hangs";
    IoCancelIrp(irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(sim_.Now(), NextFrame(timedOut));
    ASSERT_TRUE(RunUntilDone(second));
    EXPECT_EQ(second->status, STATUS_SUCCESS);
}

TEST_F(UsbBusTest, AfterUnplugEveryUrbFailsWithDeviceGone) {
    Plug();
    Configure();
    uint8_t buffer[384];
    URB in = DataTransfer(Pipe(0x83), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                          sizeof buffer);
    auto read = client->Submit(&in);
    function->vendorHandshake = sim::Handshake::Nak;
    uint8_t reg[1];
    URB vendor = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, true, 0x01, 0x80, 0, reg, 1);
    auto control = client->Submit(&vendor);
    sim_.RunFor(5 * kMillisecond + 100 * kMicrosecond);
    ASSERT_FALSE(read->completed);
    ASSERT_FALSE(control->completed);
    const int controls = static_cast<int>(function->controls.size());
    const int reads = function->inCalls[0x83];

    const Ticks unplugged = sim_.Now();
    device->Unplug();
    EXPECT_FALSE(device->Connected());
    ASSERT_TRUE(RunUntilDone(read));
    ASSERT_TRUE(RunUntilDone(control));
    EXPECT_EQ(sim_.Now(), NextFrame(unplugged));
    for (auto* r : {&read, &control})
        EXPECT_EQ((*r)->status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(in.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(vendor.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);

    function->Send(0x83, {1});
    auto again = client->Submit(&in);
    ASSERT_TRUE(again->completed);
    EXPECT_EQ(again->returned, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(in.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(static_cast<int>(function->controls.size()), controls);
    EXPECT_EQ(function->inCalls[0x83], reads) << "a gone device is never asked again";
}

TEST_F(UsbBusTest, InjectedFaultsHitOnlyTheMatchingUrbs) {
    Plug();
    Configure();
    function->controls.clear();
    URB reg = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, false, 0x01, 0x0001, 0x0024, nullptr, 0);
    URB line = VendorRequest(URB_FUNCTION_CLASS_INTERFACE, false, 0x22, 0x0003, 0, nullptr, 0);

    device->FailNext({URB_FUNCTION_VENDOR_DEVICE, std::nullopt, 0x01, nullptr},
                     USBD_STATUS_DEV_NOT_RESPONDING);
    auto r = client->Submit(&line);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(r->status, STATUS_SUCCESS) << "another function is not matched";
    r = client->Submit(&reg);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(r->status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(reg.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    r = client->Submit(&reg);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(r->status, STATUS_SUCCESS) << "the fault was for the next one only";
    EXPECT_EQ(function->controls.size(), 2u) << "the failed request never reached the device";

    sim::UrbFault always;
    always.kind = sim::UrbFault::Kind::Fail;
    always.status = USBD_STATUS_CRC;
    always.times = 0;
    device->InjectFault(
        {std::nullopt, std::nullopt, std::nullopt,
         [](const sim::UrbSummary& u) { return u.hasSetup && u.setup.wValue == 0x0003; }},
        always);
    for (int i = 0; i < 2; ++i) {
        r = client->Submit(&line);
        ASSERT_TRUE(RunUntilDone(r));
        EXPECT_EQ(line.UrbHeader.Status, USBD_STATUS_CRC);
    }
    device->ClearFaults();
    r = client->Submit(&line);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(r->status, STATUS_SUCCESS);

    device->DelayNext({URB_FUNCTION_CLASS_INTERFACE, std::nullopt, std::nullopt, nullptr},
                      5 * kMillisecond);
    Ticks submitted = sim_.Now();
    r = client->Submit(&line);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(sim_.Now(), CarryingFrame(submitted) + kUsbFrame + 5 * kMillisecond);
    // Once the transfer is done on the bus a cancel no longer changes its outcome.
    device->DelayNext({URB_FUNCTION_CLASS_INTERFACE, std::nullopt, std::nullopt, nullptr},
                      10 * kMillisecond);
    submitted = sim_.Now();
    r = client->Submit(&line);
    sim_.RunFor(5 * kMillisecond);
    EXPECT_TRUE(sim::CancelIrp(r));
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(sim_.Now(), CarryingFrame(submitted) + kUsbFrame + 10 * kMillisecond);
    device->SetCompletionLatency(3 * kMillisecond);
    submitted = sim_.Now();
    r = client->Submit(&line);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(sim_.Now(), CarryingFrame(submitted) + kUsbFrame + 3 * kMillisecond);
    device->SetCompletionLatency(0);

    uint8_t buffer[64];
    device->StallNext({std::nullopt, uint8_t{0x83}, std::nullopt, nullptr});
    function->Send(0x83, {1, 2});
    URB in = DataTransfer(Pipe(0x83), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                          sizeof buffer);
    r = client->Submit(&in);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(r->status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(in.UrbHeader.Status, USBD_STATUS_STALL_PID);
    in = DataTransfer(Pipe(0x83), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                      sizeof buffer);
    r = client->Submit(&in);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(in.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED)
        << "a stalled data endpoint stays halted";
}

TEST_F(UsbBusTest, TruncatedStatusPacketIsAShortPacket) {
    for (bool lenient : {false, true}) {
        SCOPED_TRACE(lenient ? "controller completes short reads" : "full-speed controller");
        client.reset();
        device.reset();
        sim::UsbDeviceConfig config;
        config.shortPacketsAlwaysComplete = lenient;
        Plug(usbtest::OneInterfaceDevice(), config);
        Configure();
        uint8_t status[10];
        URB poll = DataTransfer(Pipe(0x81), USBD_TRANSFER_DIRECTION_IN, status, sizeof status);
        function->Send(0x81, std::vector<uint8_t>(10, 0x55));
        auto r = client->Submit(&poll);
        ASSERT_TRUE(RunUntilDone(r));
        EXPECT_EQ(r->status, STATUS_SUCCESS) << "a whole status packet is not short";

        device->TruncateNext({std::nullopt, uint8_t{0x81}, std::nullopt, nullptr}, 4);
        function->Send(0x81, std::vector<uint8_t>(10, 0x56));
        r = client->Submit(&poll);
        ASSERT_TRUE(RunUntilDone(r));
        EXPECT_EQ(poll.UrbBulkOrInterruptTransfer.TransferBufferLength, 4u);
        EXPECT_EQ(poll.UrbHeader.Status,
                  lenient ? USBD_STATUS_SUCCESS : sim::kUsbdStatusDataUnderrun);
    }
}

TEST_F(UsbBusTest, HeldPolicyKeepsUrbCompletionsBackUntilReleased) {
    Plug();
    sim_.SetPolicy(sim::Policy::Held);
    URB reg = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, false, 0x01, 0, 0, nullptr, 0);
    auto r = client->Submit(&reg);
    sim_.RunFor(10 * kMillisecond);
    EXPECT_FALSE(r->completed);
    EXPECT_EQ(function->controls.back().setup.bmRequestType, 0x40)
        << "the wire moved; only the completion waits";
    auto held = sim_.Held();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_NE(held[0].name.find("usb completion dev 1 ep 00 VENDOR_DEVICE"), std::string::npos)
        << held[0].name;
    EXPECT_TRUE(sim_.ReleaseNamed("usb completion"));
    EXPECT_TRUE(r->completed);
    EXPECT_EQ(r->status, STATUS_SUCCESS);
}

TEST_F(UsbBusTest, TwoAdaptersArePluggedSideBySide) {
    auto capture = std::make_shared<sim::UsbCapture>();
    sim::UsbDeviceConfig config;
    config.capture = capture;
    auto fa = std::make_shared<usbtest::FakeFunction>();
    auto fb = std::make_shared<usbtest::FakeFunction>();
    auto a = sim::PlugUsbDevice(fa, config);
    auto b = sim::PlugUsbDevice(fb, config);
    EXPECT_EQ(a->Address(), 1);
    EXPECT_EQ(b->Address(), 2);
    EXPECT_NE(a->Pdo(), b->Pdo());
    EXPECT_EQ(sim::LookupDevice(u"\\Device\\USBPDO-2"), b->Pdo());
    EXPECT_NE(a->DeviceKeyPath(), b->DeviceKeyPath());
    {
        usbtest::ClientDriver ca(a->Pdo()), cb(b->Pdo());
        URB ua = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, false, 0x01, 0xA, 0, nullptr, 0);
        URB ub = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, false, 0x01, 0xB, 0, nullptr, 0);
        b->Unplug();
        auto ra = ca.Submit(&ua);
        auto rb = cb.Submit(&ub);
        ASSERT_TRUE(RunUntilDone(ra));
        EXPECT_EQ(ra->status, STATUS_SUCCESS) << "one adapter's removal leaves the other alone";
        EXPECT_EQ(rb->status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(fa->controls.back().setup.wValue, 0xA);
        ASSERT_EQ(capture->Records().size(), 2u);
        EXPECT_EQ(capture->Records()[0].device, 2);
        EXPECT_EQ(capture->Records()[1].device, 1);
    }
    a.reset();
    auto c = sim::PlugUsbDevice(std::make_shared<usbtest::FakeFunction>(), config);
    EXPECT_EQ(c->Address(), 1) << "a free address is used again";
}

// Addresses are 1-127 per bus and a pulled-out device gives its own back at
// once, while its PDO (and the PDO's name) lives on until it is removed: plug
// and pull out far more devices than a bus has addresses.
TEST_F(UsbBusTest, PulledOutDevicesGiveTheirAddressBackForEveryLaterDevice) {
    sim::UsbDeviceConfig config;
    std::vector<std::unique_ptr<sim::UsbDevice>> pulledOut;
    auto kept = sim::PlugUsbDevice(std::make_shared<usbtest::FakeFunction>(), config);
    ASSERT_EQ(kept->Address(), 1);
    for (int i = 0; i < 300; ++i) {
        auto d = sim::PlugUsbDevice(std::make_shared<usbtest::FakeFunction>(), config);
        ASSERT_EQ(d->Address(), 2) << "device " << i;
        d->Unplug();
        // Some stay in existence, pulled out: their PDOs keep distinct names.
        if (i % 50 == 0) pulledOut.push_back(std::move(d));
    }
    std::set<PDEVICE_OBJECT> pdos;
    for (auto& d : pulledOut) pdos.insert(d->Pdo());
    EXPECT_EQ(pdos.size(), pulledOut.size());
    EXPECT_NE(sim::LookupDevice(u"\\Device\\USBPDO-1"), nullptr);
}

}  // namespace

namespace {

using usbtest::UsbTest;
using usbtest::VendorRequest;

// The host controller finishing a transfer inside the submitter's IoCallDriver,
// as real ones do for short transfers now and then.
class InlineCompletionTest : public UsbTest {};

TEST_F(InlineCompletionTest, AShortTransferCanCompleteBeforeIoCallDriverReturnsAndPipesStayInOrder) {
    Plug();
    sim_.SetInlineCompletions(sim::Simulation::InlineCompletions::Always);
    URB first = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, false, 0x01, 0x0606, 0x0011, nullptr, 0);
    const sim::Ticks submitted = sim_.Now();
    auto r = client->Submit(&first);
    EXPECT_EQ(r->returned, STATUS_PENDING) << "marked pending, as the bus driver does";
    EXPECT_TRUE(r->completed) << "completed inside the call";
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(sim_.Now(), submitted) << "within the frame under way";
    ASSERT_FALSE(device->Capture().Records().empty());
    EXPECT_EQ(device->Capture().Records().back().completed, submitted);

    // Behind a completion of its pipe still to be delivered, a transfer waits for
    // its turn in the frames.
    sim_.SetInlineCompletions(sim::Simulation::InlineCompletions::Never);
    URB second = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, false, 0x01, 0x0606, 0x0022, nullptr, 0);
    auto queued = client->Submit(&second);
    sim_.SetInlineCompletions(sim::Simulation::InlineCompletions::Always);
    URB third = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, false, 0x01, 0x0606, 0x0033, nullptr, 0);
    auto behind = client->Submit(&third);
    EXPECT_FALSE(queued->completed);
    EXPECT_FALSE(behind->completed) << "it would overtake the one before it";
    ASSERT_TRUE(RunUntilDone(behind));
    EXPECT_TRUE(queued->completed);
    const auto& records = device->Capture().Records();
    ASSERT_GE(records.size(), 3u);
    EXPECT_LT(records[records.size() - 2].id, records.back().id) << "completed in submission order";
}

}  // namespace
