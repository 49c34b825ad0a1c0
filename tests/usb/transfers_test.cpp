// Sending URBs to the simulated bus: the synchronous limit, requests sent
// without waiting, bulk and interrupt transfers, the continuous readers, and the
// hand-off of each request between its completion and a canceller.
#include "tests/support/scripted_lower.h"
#include "tests/support/usb_port_harness.h"
#include <sim/workbench/workbench.h>

#include <string>

namespace {

using sim::kMillisecond;
using sim::kSecond;
using simtest::kComxTag;
using simtest::SimTest;
using simtest::UsbPortHarness;

constexpr uint8_t kStatusEp = 0x81;
constexpr uint8_t kBulkOutEp = 0x02;
constexpr uint8_t kBulkInEp = 0x83;

sim::UrbMatch VendorRequests() {
    sim::UrbMatch m;
    m.function = URB_FUNCTION_VENDOR_DEVICE;
    return m;
}
sim::UrbMatch OnEndpoint(uint8_t endpoint, ULONG length = ~0u) {
    sim::UrbMatch m;
    m.endpoint = endpoint;
    if (length != ~0u)
        m.predicate = [length](const sim::UrbSummary& u) { return u.length == length; };
    return m;
}
PURB EchoRegisterWrite(USHORT value) {
    return AllocateControlRequest(URB_FUNCTION_VENDOR_DEVICE, 1, 0x0606, value, 0, nullptr, 0);
}

class TransportTest : public SimTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(h.Configure(), STATUS_SUCCESS);
        h.ClearRecords();
    }
    size_t Pending(uint8_t endpoint) const { return h.usb().PendingUrbs(endpoint); }
    size_t Records(uint8_t endpoint, NTSTATUS status) const {
        size_t n = 0;
        for (const sim::UrbRecord& r : h.Records())
            n += r.endpoint == endpoint && r.ntStatus == status;
        return n;
    }
    UsbPortHarness h{2};
};

TEST_F(TransportTest, SynchronousRequestReturnsAtOnceLateOrAfterItsLimitAndCancel) {
    PURB urb = EchoRegisterWrite(0x55);
    h.usb().DelayNext(VendorRequests(), 700 * kMillisecond);
    sim::Ticks start = sim_.Now();
    EXPECT_EQ(SubmitUrbSync(h.device(), urb), STATUS_SUCCESS);
    EXPECT_GE(sim_.Now() - start, 700 * kMillisecond);
    EXPECT_LE(sim_.Now() - start, 702 * kMillisecond);
    EXPECT_EQ(h.chip().Register(6), 0x55);

    // Never answered: 3 seconds, then the cancel, then the time-out.
    h.usb().NeverCompleteNext(VendorRequests());
    start = sim_.Now();
    EXPECT_EQ(SubmitUrbSync(h.device(), urb), STATUS_IO_TIMEOUT);
    // The limit ends on a clock tick; the cancelled request then completes at the
    // next frame.
    EXPECT_GE(sim_.Now() - start, 3 * kSecond);
    EXPECT_LE(sim_.Now(), sim_.TickAtOrAfter(start + 3 * kSecond) + kMillisecond);
    EXPECT_EQ(h.usb().PendingUrbs(), 0u);

    // Nothing is waited for where waiting is impossible.
    const uint64_t sent = h.usb().UrbsSubmitted();
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_EQ(SubmitUrbSync(h.device(), urb), STATUS_INVALID_DEVICE_STATE);
    KeLowerIrql(irql);
    EXPECT_EQ(h.usb().UrbsSubmitted(), sent);

    // Answered in the lower driver's dispatch: no wait at all.
    h.usb().Unplug();
    start = sim_.Now();
    EXPECT_EQ(SubmitUrbSync(h.device(), urb), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(sim_.Now(), start);
    FreeUrb(urb);
}

// What the lower driver found in the status block of the request it held, when
// the request was cancelled.
NTSTATUS g_statusAtCancel = 0;

VOID NTAPI CancelHeldRequest(PDEVICE_OBJECT, PIRP irp) {
    g_statusAtCancel = irp->IoStatus.Status;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// The request belongs to the lower driver until it comes back: the time-out is
// remembered by the port, not written into the request's status block, which
// the lower driver may be using.
TEST_F(SimTest, ASynchronousTimeOutLeavesTheRequestsStatusBlockToTheLowerDriver) {
    simtest::ScriptedLowerPort s;
    s.OnLower(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
        // Working state of the lower driver's own, kept in the block it owns.
        irp->IoStatus.Status = STATUS_PENDING;
        IoMarkIrpPending(irp);
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoSetCancelRoutine(irp, CancelHeldRequest);
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    });
    g_statusAtCancel = 0;
    PURB urb = EchoRegisterWrite(0x11);
    const sim::Ticks start = sim_.Now();
    EXPECT_EQ(SubmitUrbSync(s.device(), urb), STATUS_IO_TIMEOUT);
    EXPECT_EQ(sim_.Now() - start, 3 * kSecond);
    EXPECT_EQ(g_statusAtCancel, STATUS_PENDING) << "the port wrote into a request it did not own";
    FreeUrb(urb);
}

TEST_F(TransportTest, RequestSentWithoutWaitingFreesItsUrbWhateverHappens) {
    const size_t blocks = sim::PoolBlocksWithTag(kComxTag);
    EXPECT_EQ(SubmitUrbAsync(h.device(), EchoRegisterWrite(0x77)), STATUS_PENDING);
    sim_.RunFor(5 * kMillisecond);
    EXPECT_EQ(h.chip().Register(6), 0x77);
    EXPECT_EQ(sim::PoolBlocksWithTag(kComxTag), blocks);

    const uint64_t sent = h.usb().UrbsSubmitted();
    for (uint64_t nth : {1, 2}) {
        PURB urb = EchoRegisterWrite(0x99);
        sim::FailNthPoolAllocation(nth);
        EXPECT_EQ(SubmitUrbAsync(h.device(), urb), STATUS_NO_MEMORY);
        EXPECT_EQ(sim::PoolBlocksWithTag(kComxTag), blocks) << "the URB handed over goes too";
    }
    EXPECT_EQ(h.usb().UrbsSubmitted(), sent);
}

TEST_F(TransportTest, BulkOutSendsACopyAndZeroLengthTransfers) {
    char text[] = "hello";
    EXPECT_EQ(SubmitTransfer(h.device(), BulkOut, text, 5), STATUS_PENDING);
    text[0] = 'j';
    EXPECT_EQ(SubmitTransfer(h.device(), BulkOut, nullptr, 0, BulkOutPurpose::ZeroLength),
              STATUS_PENDING);
    sim_.RunFor(5 * kMillisecond);
    const std::vector<uint8_t> sent = h.chip().TakeTransmitted();
    EXPECT_EQ(std::string(sent.begin(), sent.end()), "hello");
    ASSERT_EQ(h.Records().size(), 2u);
    EXPECT_EQ(h.Records()[1].endpoint, kBulkOutEp);
    EXPECT_EQ(h.Records()[1].requested, 0u);
    EXPECT_EQ(h.Records()[1].ntStatus, STATUS_SUCCESS);

    // Context, buffer, request: without any of them nothing goes and nothing stays.
    const size_t blocks = sim::PoolBlocksWithTag(kComxTag);
    for (uint64_t nth : {1, 2, 3}) {
        sim::FailNthPoolAllocation(nth);
        EXPECT_EQ(SubmitTransfer(h.device(), BulkOut, "x", 1), STATUS_NO_MEMORY);
    }
    EXPECT_EQ(sim::PoolBlocksWithTag(kComxTag), blocks);
    EXPECT_EQ(h.Records().size(), 2u);
}

TEST_F(TransportTest, AReaderStartsOnceGoesOnFromItsCompletionAndStopsAfterAFailure) {
    EXPECT_EQ(StartContinuousTransfers(h.port()), STATUS_SUCCESS);
    EXPECT_EQ(SubmitTransfer(h.device(), StatusIn, nullptr, kStatusPacketLength), STATUS_SUCCESS);
    EXPECT_EQ(StartContinuousTransfer(h.port(), BulkIn), STATUS_SUCCESS);
    EXPECT_EQ(Pending(kStatusEp), 1u);
    EXPECT_EQ(Pending(kBulkInEp), 1u);

    h.usb().FailNext(OnEndpoint(kStatusEp), USBD_STATUS_DEV_NOT_RESPONDING);
    h.chip().InjectStatus(0x0083);
    h.chip().InjectReceived({'a', 'b'});
    sim_.RunFor(20 * kMillisecond);
    EXPECT_EQ(Records(kStatusEp, STATUS_SUCCESS), 1u);
    EXPECT_EQ(Records(kBulkInEp, STATUS_SUCCESS), 1u);
    EXPECT_EQ(Pending(kBulkInEp), 1u) << "sent again from its completion";
    // The status reader's next transfer failed: it stays stopped until started.
    size_t failed = 0;
    for (const sim::UrbRecord& r : h.Records())
        failed += r.endpoint == kStatusEp && !NT_SUCCESS(r.ntStatus);
    EXPECT_EQ(failed, 1u);
    EXPECT_EQ(Pending(kStatusEp), 0u);
    EXPECT_EQ(h.port()->ReaderState[StatusIn], ReaderIdle);
    EXPECT_EQ(StartContinuousTransfer(h.port(), StatusIn), STATUS_SUCCESS);
    EXPECT_EQ(Pending(kStatusEp), 1u);
}

TEST_F(TransportTest, CancellingStopsTheReadersAndARestartStartsExactlyOneOfEach) {
    CancelAllTransfers(h.port());
    EXPECT_TRUE(h.Records().empty()) << "nothing outstanding, nothing done";

    StartContinuousTransfers(h.port());
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    CancelTransfer(h.port(), BulkIn);
    KeLowerIrql(irql);
    sim_.RunFor(5 * kMillisecond);
    EXPECT_EQ(Pending(kBulkInEp), 1u) << "above PASSIVE_LEVEL a cancel does nothing";

    CancelAllTransfers(h.port());
    // Restarted twice before the cancelled requests have come back.
    StartContinuousTransfers(h.port());
    StartContinuousTransfers(h.port());
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(Records(kStatusEp, STATUS_CANCELLED), 1u);
    EXPECT_EQ(Records(kBulkInEp, STATUS_CANCELLED), 1u);
    EXPECT_EQ(Pending(kStatusEp), 1u);
    EXPECT_EQ(Pending(kBulkInEp), 1u);
}

// The bus holds each completion back until the test lets it run.
TEST_F(TransportTest, AReaderRequestIsFreedOnceWhicheverOfCompletionAndCancelComesFirst) {
    StartContinuousTransfer(h.port(), BulkIn);
    sim_.SetPolicy(sim::Policy::Held);

    // Completion first: it frees its own request and sends the next.
    h.chip().InjectReceived({'x'});
    sim_.RunFor(5 * kMillisecond);
    ASSERT_EQ(sim_.Held().size(), 1u);
    sim_.ReleaseAll();
    EXPECT_EQ(Pending(kBulkInEp), 1u);

    // Cancel first: data has moved and its completion waits, the canceller
    // claims the request and leaves it to that completion.
    h.chip().InjectReceived({'y'});
    sim_.RunFor(5 * kMillisecond);
    ASSERT_EQ(sim_.Held().size(), 1u);
    CancelTransfer(h.port(), BulkIn);
    sim_.RunFor(5 * kMillisecond);
    sim_.ReleaseAll();
    EXPECT_EQ(Pending(kBulkInEp), 0u);
    EXPECT_EQ(h.port()->ReaderState[BulkIn], ReaderIdle);
    EXPECT_EQ(h.port()->TransfersOutstanding, 1) << "only the port's own count is left";
}

TEST_F(TransportTest, EachBulkOutTransferIsCompletedAndCancelledOnItsOwn) {
    sim_.SetPolicy(sim::Policy::Held);
    const size_t blocks = sim::PoolBlocksWithTag(kComxTag);
    // A write chunk goes through; an XOFF sent after it never completes.
    h.usb().NeverCompleteNext(OnEndpoint(kBulkOutEp, 2));
    SubmitTransfer(h.device(), BulkOut, "A", 1, BulkOutPurpose::WriteChunk);
    SubmitTransfer(h.device(), BulkOut, "\x13\x13", 2, BulkOutPurpose::FlowCharacter);
    sim_.RunFor(5 * kMillisecond);
    sim_.ReleaseAll();
    EXPECT_EQ(Pending(kBulkOutEp), 1u) << "the earlier completion left the later request alone";

    // Two stuck ones: a later submission does not hide the earlier from the canceller.
    h.usb().NeverCompleteNext(OnEndpoint(kBulkOutEp));
    SubmitTransfer(h.device(), BulkOut, "C", 1, BulkOutPurpose::Immediate);
    CancelTransfer(h.port(), BulkOut);
    sim_.RunFor(5 * kMillisecond);
    sim_.ReleaseAll();
    EXPECT_EQ(Pending(kBulkOutEp), 0u);
    EXPECT_EQ(Records(kBulkOutEp, STATUS_CANCELLED), 2u);
    EXPECT_EQ(Records(kBulkOutEp, STATUS_SUCCESS), 1u);
    EXPECT_EQ(sim::PoolBlocksWithTag(kComxTag), blocks);
}

// A lower driver whose cancel routine completes the request at once: the
// completion then runs inside the canceller's IoCancelIrp, between its claim and
// its hand-off, which the simulated bus (completing cancelled requests at the next
// frame) never does.
struct InlineCancelLower {
    sim::SimDriver* driver = sim::CreateSimDriver("inline-cancel lower");
    PDEVICE_OBJECT device = sim::CreateSimDevice(driver, u"", 0);
    // One interface with three pipes, laid out as the bus returns it.
    alignas(USBD_INTERFACE_INFORMATION) UCHAR storage[GET_USBD_INTERFACE_SIZE(3)] = {};
    USBD_INTERFACE_INFORMATION* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(storage);
    int pipeTarget = 0;  // what the pipe handles point at: any non-null address
    InlineCancelLower() {
        sim::SetSimDispatch(driver, IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP cancelled) NTAPI {
                IoReleaseCancelSpinLock(cancelled->CancelIrql);
                cancelled->IoStatus.Status = STATUS_CANCELLED;
                IoCompleteRequest(cancelled, IO_NO_INCREMENT);
            });
            return STATUS_PENDING;
        });
        info->Length = sizeof(storage);
        info->NumberOfPipes = 3;
        PUSBD_PIPE_INFORMATION pipes = info->Pipes;
        for (ULONG p = 0; p < 3; ++p)
            pipes[p].PipeHandle = &pipeTarget;
    }
    ~InlineCancelLower() { sim::DeleteSimDevice(device); }
};

TEST_F(SimTest, ACompletionInsideTheCancelLeavesTheFreeingToTheCanceller) {
    simtest::PortHarness h(false);
    InlineCancelLower lower;
    PortExtension* port = h.port();
    InitializeTransfers(port);
    port->LowerDevice = lower.device;
    port->SingleInterface = 1;
    port->InterfaceInfo0 = lower.info;
    const size_t blocks = sim::PoolBlocksWithTag(kComxTag);

    StartContinuousTransfers(port);
    SubmitTransfer(h.device(), BulkOut, "A", 1);
    SubmitTransfer(h.device(), BulkOut, "B", 1);
    EXPECT_EQ(sim::OutstandingIrps(), 4u);
    CancelAllTransfers(port);
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
    EXPECT_EQ(sim::PoolBlocksWithTag(kComxTag), blocks);
    EXPECT_EQ(port->ReaderState[StatusIn], ReaderIdle);
    EXPECT_EQ(port->ReaderState[BulkIn], ReaderIdle);
    WaitForTransfersToDrain(port);
    port->InterfaceInfo0 = nullptr;
}

}  // namespace

namespace {

// Every USB path of the driver (synchronous control requests, requests sent
// without waiting, the continuous readers) with the bus completing each request
// before IoCallDriver returns to the driver.
TEST(InlineCompletions, TheDriversUsbPathsSurviveCompletionInsideIoCallDriver) {
    for (sim::Policy policy : {sim::Policy::Eager, sim::Policy::Pct}) {
        sim::Simulation sim;
        sim.SetPolicy(policy, 5);
        sim.SetInlineCompletions(sim::Simulation::InlineCompletions::Always);
        sim::Workbench bench;
        for (int variant : {0, 3}) {
            sim::AdapterOptions options;
            options.variant = variant;
            sim::Adapter& adapter = bench.AddAdapter(options);
            ASSERT_EQ(adapter.Plug(), STATUS_SUCCESS);
            PortExtension* port = adapter.Port();
            EXPECT_EQ(port->ChipType, variant);
            // The readers, restarted over and over from their own completions.
            EXPECT_EQ(StartContinuousTransfers(port), STATUS_SUCCESS);
            sim.RunFor(20 * sim::kMillisecond);
            EXPECT_EQ(SetAutoXonXoffInChip(port, true), STATUS_SUCCESS);
            KIRQL irql;
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            EXPECT_EQ(SetAutoXonXoffInChip(port, false), STATUS_SUCCESS) << "sent without waiting";
            KeLowerIrql(irql);
            sim.RunFor(20 * sim::kMillisecond);
            size_t inline_ = 0;
            for (const sim::UrbRecord& r : adapter.Capture().Records()) inline_ += r.completed == r.submitted;
            EXPECT_GT(inline_, 10u) << "requests completed inside IoCallDriver";
            EXPECT_EQ(adapter.Remove(), STATUS_SUCCESS);
        }
    }
}

}  // namespace
