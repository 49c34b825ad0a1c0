// The kernel's checks of code placement and stack use: pageable code run where
// it may be paged out, live assertions, stack objects that outlive their frame,
// and kernel stacks of kernel size. Each is shown firing on deliberately wrong
// code.
#include "tests/support/sim_fixture.h"

#include "platform/kernel.h"

#include <string>

namespace {

using sim::ExpectViolation;
using sim::Rule;
using simtest::SimTest;

// Placed in the pageable section, as the driver's start-time routines are.
START_CODE __attribute__((noinline)) void PageableTakesASpinLock(PKSPIN_LOCK lock) {
    KIRQL irql;
    KeAcquireSpinLock(lock, &irql);
    KeReleaseSpinLock(lock, irql);
}

START_CODE __attribute__((noinline)) void PageableWithPagedCode() { PAGED_CODE(); }

TEST_F(SimTest, PageableCodeHoldingASpinLockIsReportedUnlessItsSectionIsLocked) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    {
        ExpectViolation v(Rule::PagedCodeAtRaisedIrql);
        PageableTakesASpinLock(&lock);
        EXPECT_GE(v.Count(), 1);
        EXPECT_NE(v.LastMessage().find("PageableTakesASpinLock"), std::string::npos) << v.LastMessage();
    }
    // Locked in memory, the same code may run at DISPATCH_LEVEL.
    PVOID handle = MmLockPagableCodeSection(reinterpret_cast<PVOID>(&PageableTakesASpinLock));
    PageableTakesASpinLock(&lock);
    MmUnlockPagableImageSection(handle);
}

TEST_F(SimTest, PagedCodeAndAssertionsAreLive) {
    ExpectViolation paged(Rule::PagedCodeAtRaisedIrql);
    PageableWithPagedCode();
    EXPECT_EQ(paged.Count(), 0) << "PASSIVE_LEVEL is fine";
    PVOID handle = MmLockPagableCodeSection(reinterpret_cast<PVOID>(&PageableWithPagedCode));
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    PageableWithPagedCode();
    KeLowerIrql(irql);
    MmUnlockPagableImageSection(handle);
    EXPECT_EQ(paged.Count(), 1) << "PAGED_CODE() above APC_LEVEL, locked section or not";

    ExpectViolation assertion(Rule::AssertionFailed);
    const int limit = 2;
    ASSERT(limit == 2);
    EXPECT_EQ(assertion.Count(), 0);
    ASSERT(limit == 3);
    ASSERT_EQ(assertion.Count(), 1);
    EXPECT_NE(assertion.LastMessage().find("limit == 3"), std::string::npos);
}

// A lower device that keeps every device control pending until the test completes it.
struct PendingLower {
    sim::SimDriver* driver = sim::CreateSimDriver("lower");
    PDEVICE_OBJECT device = sim::CreateSimDevice(driver, u"", 0);
    PIRP parked = nullptr;
    PendingLower() {
        sim::SetSimDispatch(driver, IRP_MJ_DEVICE_CONTROL, [this](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            parked = irp;
            return STATUS_PENDING;
        });
    }
    ~PendingLower() { sim::DeleteSimDevice(device); }
    void Complete() {
        parked->IoStatus.Status = STATUS_SUCCESS;
        parked->IoStatus.Information = 0;
        IoCompleteRequest(parked, IO_NO_INCREMENT);
        parked = nullptr;
    }
};

// The wrong way: the event and the status block live in this frame, and the
// function returns while the request is still out.
__attribute__((noinline)) void SendAndReturn(PDEVICE_OBJECT lower) {
    KEVENT done;
    IO_STATUS_BLOCK status;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x222000, lower, nullptr, 0, nullptr, 0, FALSE, &done, &status);
    IoCallDriver(lower, irp);
}

// The right way: the frame waits for the request.
__attribute__((noinline)) void SendAndWait(PendingLower& lower) {
    KEVENT done;
    IO_STATUS_BLOCK status;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x222000, lower.device, nullptr, 0, nullptr, 0, FALSE, &done, &status);
    EXPECT_EQ(IoCallDriver(lower.device, irp), STATUS_PENDING);
    sim::Simulation::Current().Schedule(sim::kMillisecond, "lower completes", [&lower] { lower.Complete(); });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(status.Status, STATUS_SUCCESS);
}

VOID NTAPI CompletionLeavesTheContextAlone(PDEVICE_OBJECT, PIRP irp, PVOID) {}

NTSTATUS NTAPI FreeOwnIrp(PDEVICE_OBJECT, PIRP irp, PVOID) {
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The wrong way again: a completion routine's context on a frame that returns.
__attribute__((noinline)) void SetContextAndReturn(PDEVICE_OBJECT lower) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = 0x222000;
    IoSetCompletionRoutine(irp, FreeOwnIrp, &done, TRUE, TRUE, TRUE);
    IoCallDriver(lower, irp);
}

TEST_F(SimTest, AStackObjectHandedToARequestMustOutliveTheRequest) {
    PendingLower lower;
    ExpectViolation v(Rule::StackObjectOutlivedFrame);
    SendAndWait(lower);
    EXPECT_EQ(v.Count(), 0);

    SendAndReturn(lower.device);
    KeQueryTimeIncrement();  // any call from here: this frame lies above the returned one
    lower.Complete();
    EXPECT_EQ(v.Count(), 2) << "the status block and the event, neither written";
    EXPECT_NE(v.LastMessage().find("IoBuildDeviceIoControlRequest"), std::string::npos) << v.LastMessage();

    SetContextAndReturn(lower.device);
    KeQueryTimeIncrement();
    lower.Complete();
    EXPECT_EQ(v.Count(), 3);
    EXPECT_NE(v.LastMessage().find("completion routine"), std::string::npos) << v.LastMessage();
    (void)CompletionLeavesTheContextAlone;
}

// Kernel stacks are of kernel size: a thread that recurses without end runs
// into the guard page below its stack.
__attribute__((noinline)) int Recurse(int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (depth > 1000000) return frame[0];
    return Recurse(depth + 1) + frame[0];
}

TEST(KernelStackDeathTest, AThreadThatRunsOffItsStackIsReported) {
    EXPECT_DEATH(
        {
            sim::Simulation sim;
            sim.CreateThread("deep", [] { Recurse(0); });
            sim.RunUntilIdle();
        },
        "KERNEL_STACK_OVERFLOW");
}

}  // namespace
