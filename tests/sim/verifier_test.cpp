// The verifier's self-tests: for each rule, a deliberately wrong piece of code
// shows the rule firing (a check that cannot fail would be worthless).
#include "tests/support/sim_fixture.h"

#include <sim/files.h>
#include <sim/pnp.h>
#include <sim/power.h>

namespace {

using simtest::SimTest;
using simtest::TwoDeviceStack;
using simtest::kComxTag;
using sim::ExpectViolation;
constexpr ULONG kTestTag = 0x74736554;   // "Test"
constexpr ULONG kOtherTag = 0x66667553;  // "Suff"
using sim::Rule;

// A one-device driver whose dispatch routine for IRP_MJ_READ is the code under test.
struct OneDevice {
    sim::SimDriver* driver = sim::CreateSimDriver("faulty");
    PDEVICE_OBJECT device = sim::CreateSimDevice(driver, u"", 0);
    explicit OneDevice(std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> read) {
        sim::SetSimDispatch(driver, IRP_MJ_READ, std::move(read));
    }
    ~OneDevice() { sim::DeleteSimDevice(device); }
    sim::IrpHandle Read() {
        sim::IrpSetup request;
        request.major = IRP_MJ_READ;
        request.outputLength = 4;
        return sim::SendIrp(device, request);
    }
};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID NTAPI SomeCancelRoutine(PDEVICE_OBJECT, PIRP irp) { IoReleaseCancelSpinLock(irp->CancelIrql); }
VOID NTAPI NothingDpc(PKDPC, PVOID, PVOID, PVOID) {}

TEST_F(SimTest, CompletingAnIrpTwice) {
    ExpectViolation v(Rule::IrpCompletedTwice);
    OneDevice d([](PDEVICE_OBJECT, PIRP irp) NTAPI {
        Complete(irp, STATUS_SUCCESS);
        return Complete(irp, STATUS_SUCCESS);
    });
    d.Read();
    EXPECT_EQ(v.Count(), 1);
}

TEST_F(SimTest, CompletingWithACancelRoutineSet) {
    ExpectViolation v(Rule::IrpCompletedWithCancelRoutine);
    OneDevice d([](PDEVICE_OBJECT, PIRP irp) NTAPI {
        IoSetCancelRoutine(irp, SomeCancelRoutine);
        NTSTATUS s = Complete(irp, STATUS_SUCCESS);  // refused: the routine is still set
        IoSetCancelRoutine(irp, nullptr);
        Complete(irp, STATUS_SUCCESS);
        return s;
    });
    d.Read();
    EXPECT_EQ(v.Count(), 1);
}

TEST_F(SimTest, ReturningPendingWithoutMarkingPending) {
    ExpectViolation v(Rule::PendingNotMarked);
    PIRP parked = nullptr;
    OneDevice d([&](PDEVICE_OBJECT, PIRP irp) {
        parked = irp;
        return STATUS_PENDING;
    });
    auto r = d.Read();
    Complete(parked, STATUS_SUCCESS);
    EXPECT_TRUE(r->completed);
    EXPECT_EQ(v.Count(), 1);
}

TEST_F(SimTest, CompletionRoutineThatDropsPendingReturned) {
    // The lower driver pends; the upper's completion routine forgets to
    // propagate PendingReturned while the upper returns STATUS_PENDING.
    ExpectViolation v(Rule::PendingNotMarked);
    TwoDeviceStack stack;
    stack.ParkAtLower(IRP_MJ_READ);
    PIRP& parked = stack.parked;
    sim::SetSimDispatch(stack.upperDriver, IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS { return STATUS_SUCCESS; }, nullptr, TRUE,
            TRUE, TRUE);
        return IoCallDriver(stack.lower, irp);
    });
    sim::IrpSetup request;
    request.major = IRP_MJ_READ;
    sim::SendIrp(stack.upper, request);
    Complete(parked, STATUS_SUCCESS);
    EXPECT_EQ(v.Count(), 1);
}

TEST_F(SimTest, MarkingPendingButReturningAnotherStatus) {
    ExpectViolation v(Rule::MarkedPendingNotReturned);
    OneDevice d([](PDEVICE_OBJECT, PIRP irp) NTAPI {
        IoMarkIrpPending(irp);
        return Complete(irp, STATUS_SUCCESS);
    });
    d.Read();
    EXPECT_EQ(v.Count(), 1);
}

TEST_F(SimTest, TouchingAnIrpAfterCompletion) {
    ExpectViolation v(Rule::IrpTouchedAfterCompletion);
    OneDevice d([](PDEVICE_OBJECT, PIRP irp) NTAPI {
        Complete(irp, STATUS_SUCCESS);
        irp->IoStatus.Information = 99;  // the request is no longer ours
        return STATUS_SUCCESS;
    });
    d.Read();
    EXPECT_EQ(v.Count(), 1);
}

TEST_F(SimTest, CancelRoutineSetOnACompletedIrp) {
    ExpectViolation v(Rule::IrpTouchedAfterCompletion);
    OneDevice d([](PDEVICE_OBJECT, PIRP irp) NTAPI {
        Complete(irp, STATUS_SUCCESS);
        IoSetCancelRoutine(irp, SomeCancelRoutine);
        return STATUS_SUCCESS;
    });
    d.Read();
    EXPECT_EQ(v.Count(), 1);
}

TEST_F(SimTest, CompletingWithStatusPending) {
    ExpectViolation v(Rule::IrpCompletedWithStatusPending);
    OneDevice d([](PDEVICE_OBJECT, PIRP irp) NTAPI {
        Complete(irp, STATUS_PENDING);
        return Complete(irp, STATUS_SUCCESS);
    });
    d.Read();
    EXPECT_EQ(v.Count(), 1);
}

TEST_F(SimTest, InformationBeyondTheCallersBuffer) {
    ExpectViolation v(Rule::IrpInformationTooLarge);
    OneDevice d([](PDEVICE_OBJECT, PIRP irp) NTAPI { return Complete(irp, STATUS_SUCCESS, 64); });
    auto r = d.Read();
    EXPECT_EQ(v.Count(), 1);
    EXPECT_EQ(r->information, 4u) << "clipped to the buffer once reported";
}

TEST_F(SimTest, WaitingWithATimeoutAtDispatchLevel) {
    ExpectViolation v(Rule::IrqlTooHigh);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10 * sim::kMillisecond;
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    timeout.QuadPart = 0;  // polling is allowed at DISPATCH_LEVEL
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    KeLowerIrql(old);
    EXPECT_EQ(v.Count(), 1);
    EXPECT_NE(v.LastMessage().find("KeWaitForSingleObject"), std::string::npos);
}

TEST_F(SimTest, PagedPoolAtDispatchLevel) {
    ExpectViolation v(Rule::IrqlTooHigh);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 16, kTestTag), nullptr);
    PVOID nonPaged = ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag);
    EXPECT_NE(nonPaged, nullptr);
    ExFreePoolWithTag(nonPaged, kTestTag);
    KeLowerIrql(old);
    EXPECT_EQ(v.Count(), 1);
}

TEST_F(SimTest, ReleasingSpinLocksOutOfOrder) {
    ExpectViolation v(Rule::SpinLockReleaseOrder);
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL irqlA, irqlB;
    KeAcquireSpinLock(&a, &irqlA);
    KeAcquireSpinLock(&b, &irqlB);
    KeReleaseSpinLock(&a, irqlA);  // refused: b was taken after it
    EXPECT_EQ(v.Count(), 1);
    KeReleaseSpinLock(&b, irqlB);
    KeReleaseSpinLock(&a, irqlA);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SimTest, ReleasingASpinLockAtTheWrongIrql) {
    ExpectViolation v(Rule::SpinLockReleaseIrql);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);  // at PASSIVE_LEVEL
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    KeReleaseSpinLock(&lock, DISPATCH_LEVEL);  // restores the wrong IRQL
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_EQ(v.Count(), 2);
}

TEST_F(SimTest, ReleasingASpinLockThatIsNotHeld) {
    ExpectViolation v(Rule::SpinLockNotHeld);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(irql);
    EXPECT_EQ(v.Count(), 1);
}

TEST_F(SimTest, TakingTheDeclaredLocksOutOfOrder) {
    ExpectViolation v(Rule::LockOrder);
    KSPIN_LOCK control, fill;
    KeInitializeSpinLock(&control);
    KeInitializeSpinLock(&fill);
    sim::DeclareLockOrder({{&control, "ControlLock"}, {sim::CancelSpinLock(), "cancel spin lock"}, {&fill, "FillLock"}});
    KIRQL a, b, c;
    // Right order: no complaint.
    KeAcquireSpinLock(&control, &a);
    IoAcquireCancelSpinLock(&b);
    KeAcquireSpinLockAtDpcLevel(&fill);
    KeReleaseSpinLockFromDpcLevel(&fill);
    IoReleaseCancelSpinLock(b);
    KeReleaseSpinLock(&control, a);
    EXPECT_EQ(v.Count(), 0);
    // FillLock, then the cancel spin lock: wrong.
    KeAcquireSpinLock(&fill, &a);
    IoAcquireCancelSpinLock(&c);
    IoReleaseCancelSpinLock(c);
    KeReleaseSpinLock(&fill, a);
    EXPECT_EQ(v.Count(), 1);
    EXPECT_NE(v.LastMessage().find("cancel spin lock"), std::string::npos);
}

TEST_F(SimTest, CancelRoutineThatKeepsTheCancelLock) {
    ExpectViolation v(Rule::CancelLockNotReleased);
    PIRP parked = nullptr;
    OneDevice d([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) NTAPI {});
        parked = irp;
        return STATUS_PENDING;
    });
    auto r = d.Read();
    sim::CancelIrp(r);
    EXPECT_EQ(v.Count(), 1);
    IoReleaseCancelSpinLock(parked->CancelIrql);
    Complete(parked, STATUS_CANCELLED);
}

PVOID g_leaked;
NTSTATUS NTAPI LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    g_leaked = ExAllocatePoolWithTag(NonPagedPool, 40, kComxTag);
    driver->DriverUnload = [](PDRIVER_OBJECT) NTAPI {};
    return STATUS_SUCCESS;
}

TEST_F(SimTest, PoolLeakAtDriverUnload) {
    ExpectViolation v(Rule::PoolLeak);
    NTSTATUS status;
    PDRIVER_OBJECT driver = sim::LoadDriver(LeakyEntry, u"leaky", &status);
    ASSERT_NE(driver, nullptr);
    sim::UnloadDriver(driver);
    EXPECT_EQ(v.Count(), 1);
    EXPECT_NE(v.LastMessage().find("COMX"), std::string::npos);
}

TEST_F(SimTest, PoolDoubleFreeAndWrongTag) {
    ExpectViolation twice(Rule::PoolDoubleFree);
    ExpectViolation tag(Rule::PoolTagMismatch);
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kComxTag);
    ExFreePoolWithTag(p, kOtherTag);
    EXPECT_EQ(tag.Count(), 1);
    ExFreePoolWithTag(p, kComxTag);
    ExFreePoolWithTag(p, kComxTag);
    EXPECT_EQ(twice.Count(), 1);
}

TEST_F(SimTest, FreshPoolIsFilledWholeUnlessTheFillIsLimited) {
    auto filled = [](const void* p, size_t from, size_t to) {
        for (size_t i = from; i < to; ++i)
            if (static_cast<const unsigned char*>(p)[i] != 0xCD) return false;
        return true;
    };
    PVOID whole = ExAllocatePoolWithTag(NonPagedPool, 3000, kComxTag);
    EXPECT_TRUE(filled(whole, 0, 3000));
    ExFreePoolWithTag(whole, kComxTag);
    sim::LimitPoolFills(100);
    PVOID limited = ExAllocatePoolWithTag(NonPagedPool, 3000, kComxTag);
    sim::LimitPoolFills(SIZE_MAX);
    EXPECT_TRUE(filled(limited, 0, 100));
    ExFreePoolWithTag(limited, kComxTag);
}

TEST_F(SimTest, DpcOrTimerUsedBeforeInitialisation) {
    ExpectViolation v(Rule::ObjectNotInitialized);
    KDPC dpc{};
    KTIMER timer{};
    KEVENT event{};
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    LARGE_INTEGER due;
    due.QuadPart = -1;
    EXPECT_FALSE(KeSetTimer(&timer, due, nullptr));
    KeSetEvent(&event, 0, FALSE);
    EXPECT_EQ(v.Count(), 3);
}

TEST_F(SimTest, FreeingMemoryThatHoldsAQueuedDpc) {
    ExpectViolation v(Rule::DeferredObjectFreed);
    sim_.SetPolicy(sim::Policy::Held);
    auto* dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), kComxTag));
    KeInitializeDpc(dpc, NothingDpc, nullptr);
    KeInsertQueueDpc(dpc, nullptr, nullptr);
    ExFreePoolWithTag(dpc, kComxTag);  // refused while queued
    EXPECT_EQ(v.Count(), 1);
    EXPECT_TRUE(KeRemoveQueueDpc(dpc));
    ExFreePoolWithTag(dpc, kComxTag);
}

TEST_F(SimTest, DeletingADeviceWithAnIrpOutstanding) {
    ExpectViolation v(Rule::DeviceDeletedWithIrps);
    PIRP parked = nullptr;
    OneDevice d([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        parked = irp;
        return STATUS_PENDING;
    });
    auto r = d.Read();
    IoDeleteDevice(d.device);  // refused: the request is still the device's
    EXPECT_EQ(v.Count(), 1);
    Complete(parked, STATUS_SUCCESS);
    EXPECT_TRUE(r->completed);
}

TEST_F(SimTest, ReturningFromDispatchAtRaisedIrqlOrHoldingALock) {
    ExpectViolation irql(Rule::IrqlNotRestored);
    ExpectViolation lock(Rule::SpinLockHeldOnReturn);
    static KSPIN_LOCK held;
    KeInitializeSpinLock(&held);
    OneDevice d([](PDEVICE_OBJECT, PIRP irp) NTAPI {
        KIRQL old;
        KeAcquireSpinLock(&held, &old);  // never released
        return Complete(irp, STATUS_SUCCESS);
    });
    d.Read();
    EXPECT_EQ(irql.Count(), 1);
    EXPECT_EQ(lock.Count(), 1);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLockFromDpcLevel(&held);
    KeLowerIrql(old);
}

TEST_F(SimTest, UnlockingAPagedSectionThatWasNotLocked) {
    ExpectViolation v(Rule::SectionLockPairing);
    PVOID handle = MmLockPagableDataSection(reinterpret_cast<PVOID>(&NothingDpc));
    MmUnlockPagableImageSection(handle);
    MmUnlockPagableImageSection(handle);
    EXPECT_EQ(v.Count(), 1);
}

TEST_F(SimTest, ReleasingAFastMutexOwnedByAnotherThread) {
    ExpectViolation v(Rule::FastMutexMisuse);
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    int t = sim_.CreateThread("owner", [&] {
        ExAcquireFastMutex(&mutex);
        KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
        ExReleaseFastMutex(&mutex);
    });
    sim_.RunUntilIdle();
    ExReleaseFastMutex(&mutex);  // not ours
    EXPECT_EQ(v.Count(), 1);
    KeSetEvent(&go, 0, FALSE);
    sim_.RunUntilIdle();
    EXPECT_TRUE(sim_.ThreadFinished(t));
}

TEST_F(SimTest, QuotaAllocationThatWouldRaise) {
    ExpectViolation v(Rule::PoolQuotaRaise);
    sim::FailNthPoolAllocation(1);
    EXPECT_EQ(ExAllocatePoolWithQuotaTag(NonPagedPool, 8, kComxTag), nullptr);
    EXPECT_EQ(v.Count(), 1);
    sim::FailNthPoolAllocation(1);
    EXPECT_EQ(ExAllocatePoolWithQuotaTag(static_cast<POOL_TYPE>(NonPagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), 8,
                                         kComxTag),
              nullptr);
    EXPECT_EQ(v.Count(), 1);
}

TEST_F(SimTest, TeardownCheckRunsWhenTheDeviceIsDeleted) {
    ExpectViolation v(Rule::IdleCountsAtTeardown);
    static LONG counter = 2;
    sim::Verifier::SetTeardownCheck([](void*) {
        if (counter != 1) sim::Verifier::Violation(Rule::IdleCountsAtTeardown, "counter is " + std::to_string(counter));
    });
    auto driver = sim::CreateSimDriver("counting");
    PDEVICE_OBJECT dev = nullptr;
    ASSERT_EQ(IoCreateDevice(sim::DriverObjectOf(driver), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev),
              STATUS_SUCCESS);
    IoDeleteDevice(dev);
    EXPECT_EQ(v.Count(), 1);
}

// --- Requests handed on and handed back ---------------------------------------

TEST_F(SimTest, PassingARequestDownWithItsCancelRoutineSet) {
    ExpectViolation v(Rule::IrpPassedDownWithCancelRoutine);
    TwoDeviceStack stack;
    bool takeItBack = false;
    auto lower = [](PDEVICE_OBJECT, PIRP irp) NTAPI {
        IoSetCancelRoutine(irp, nullptr);  // so that this test's bus can complete it
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
        return Complete(irp, STATUS_SUCCESS);
    };
    sim::SetSimDispatch(stack.lowerDriver, IRP_MJ_READ, lower);
    sim::SetSimDispatch(stack.lowerDriver, IRP_MJ_POWER, lower);
    // Queued with a cancel routine, then sent on without taking the routine back.
    sim::SetSimDispatch(stack.upperDriver, IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, SomeCancelRoutine);
        if (takeItBack) IoSetCancelRoutine(irp, nullptr);
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(stack.lower, irp);
    });
    sim::SetSimDispatch(stack.upperDriver, IRP_MJ_POWER, [&](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, SomeCancelRoutine);
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(stack.lower, irp);
    });
    sim::IrpSetup read;
    read.major = IRP_MJ_READ;
    EXPECT_TRUE(sim::SendIrp(stack.upper, read)->completed);
    EXPECT_EQ(v.Count(), 1);
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    EXPECT_TRUE(sim::SendPowerIrp(stack.lower, IRP_MN_SET_POWER, DevicePowerState, d2)->completed);
    EXPECT_EQ(v.Count(), 2) << "PoCallDriver too";
    takeItBack = true;
    sim::SendIrp(stack.upper, read);
    EXPECT_EQ(v.Count(), 2);
}

TEST_F(SimTest, PassingARequestOnWithoutSettingUpTheNextLocation) {
    ExpectViolation v(Rule::NextLocationNotSet);
    TwoDeviceStack stack;
    int lowerCalls = 0;
    bool setUp = false;
    sim::SetSimDispatch(stack.lowerDriver, IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
        ++lowerCalls;
        return Complete(irp, STATUS_SUCCESS);
    });
    sim::SetSimDispatch(stack.upperDriver, IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
        if (setUp) IoCopyCurrentIrpStackLocationToNext(irp);
        NTSTATUS status = IoCallDriver(stack.lower, irp);
        if (status == STATUS_INVALID_DEVICE_REQUEST) return Complete(irp, status);  // refused: still ours
        return status;
    });
    sim::IrpSetup read;
    read.major = IRP_MJ_READ;
    auto r = sim::SendIrp(stack.upper, read);
    EXPECT_EQ(v.Count(), 1);
    EXPECT_NE(v.LastMessage().find("next stack location"), std::string::npos);
    EXPECT_EQ(lowerCalls, 0) << "the leftovers never reach the lower driver";
    EXPECT_EQ(r->status, STATUS_INVALID_DEVICE_REQUEST);
    setUp = true;
    EXPECT_EQ(sim::SendIrp(stack.upper, read)->status, STATUS_SUCCESS);
    EXPECT_EQ(lowerCalls, 1);
    EXPECT_EQ(v.Count(), 1);
}

TEST_F(SimTest, CompletingARequestAfterPassingItOn) {
    ExpectViolation v(Rule::IrpCompletedByNonOwner);
    TwoDeviceStack stack;
    stack.ParkAtLower(IRP_MJ_READ);
    PIRP& parked = stack.parked;
    sim::SetSimDispatch(stack.upperDriver, IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(stack.lower, irp);
        Complete(irp, STATUS_CANCELLED);  // refused: the lower driver owns it now
        return status;
    });
    sim::IrpSetup read;
    read.major = IRP_MJ_READ;
    auto r = sim::SendIrp(stack.upper, read);
    EXPECT_EQ(v.Count(), 1);
    EXPECT_FALSE(r->completed);
    Complete(parked, STATUS_SUCCESS);  // the owner, from outside any driver's routine
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(v.Count(), 1);
}

NTSTATUS NTAPI FreeInCompletion(PDEVICE_OBJECT, PIRP irp, PVOID) {
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(SimTest, FreeingAnIrpALowerDriverStillHolds) {
    ExpectViolation v(Rule::IrpFreedWhileHeld);
    TwoDeviceStack stack;
    stack.ParkAtLower(IRP_MJ_INTERNAL_DEVICE_CONTROL);
    PIRP& parked = stack.parked;
    PIRP irp = IoAllocateIrp(stack.lower->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, FreeInCompletion, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(stack.lower, irp), STATUS_PENDING);
    IoFreeIrp(irp);  // refused: the lower driver would complete freed memory
    EXPECT_EQ(v.Count(), 1);
    Complete(parked, STATUS_SUCCESS);  // back with its allocator, which frees it
    EXPECT_EQ(v.Count(), 1);
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
}

TEST_F(SimTest, DdisWindowsRestrictsByIrql) {
    ExpectViolation v(Rule::IrqlTooHigh);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PVOID paged = ExAllocatePoolWithTag(PagedPool, 16, kTestTag);
    PVOID nonPaged = ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag);
    PIRP irp = IoAllocateIrp(1, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeSetEvent(&event, 0, FALSE);
    EXPECT_EQ(v.Count(), 0);
    KeSetEvent(&event, 0, TRUE);  // a caller about to wait is not at DISPATCH_LEVEL
    EXPECT_EQ(v.Count(), 1);
    ExFreePoolWithTag(nonPaged, kTestTag);
    ExFreePoolWithTag(paged, kTestTag);  // refused: paged pool is freed at APC_LEVEL or below
    EXPECT_EQ(v.Count(), 2);
    KeLowerIrql(old);
    ExFreePoolWithTag(paged, kTestTag);

    // A fast mutex released from under a spin lock.
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL lockIrql;
    KeAcquireSpinLock(&lock, &lockIrql);
    ExReleaseFastMutex(&mutex);  // refused
    EXPECT_EQ(v.Count(), 3);
    KeReleaseSpinLock(&lock, lockIrql);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // Timer initialisation and IoFreeIrp above DISPATCH_LEVEL.
    KTIMER timer;
    KeRaiseIrql(HIGH_LEVEL, &old);
    KeInitializeTimer(&timer);
    IoFreeIrp(irp);  // refused
    KeLowerIrql(old);
    EXPECT_EQ(v.Count(), 5);
    IoFreeIrp(irp);
    KeInitializeTimer(&timer);
    EXPECT_EQ(v.Count(), 5);
}

TEST_F(SimTest, DeletingADeviceStillAttachedToTheOneBelow) {
    ExpectViolation v(Rule::DeviceDeletedWhileAttached);
    sim::SimDriver* below = sim::CreateSimDriver("below");
    PDEVICE_OBJECT lower = sim::CreateSimDevice(below, u"", 0);
    sim::SimDriver* above = sim::CreateSimDriver("above");
    for (bool detachFirst : {false, true}) {
        PDEVICE_OBJECT upper = nullptr;
        ASSERT_EQ(IoCreateDevice(sim::DriverObjectOf(above), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper),
                  STATUS_SUCCESS);
        upper->Flags &= ~DO_DEVICE_INITIALIZING;
        ASSERT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
        if (detachFirst) IoDetachDevice(lower);
        IoDeleteDevice(upper);  // IoDeleteDevice does not detach
    }
    EXPECT_EQ(v.Count(), 1);
    EXPECT_NE(v.LastMessage().find("IoDetachDevice"), std::string::npos);
    sim::DeleteSimDevice(lower);
}

// --- Plug and Play duties ------------------------------------------------------

// How the function driver below gets its Plug and Play requests wrong.
enum class PnpFault { None, RemoveNotPassedDown, DeviceNotDeleted, DeviceNotDetached, UnhandledStatusSet,
                      UnhandledCompleted };
PnpFault g_pnpFault = PnpFault::None;

NTSTATUS NTAPI FaultyPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto lower = *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension);
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    const bool handled = minor == IRP_MN_START_DEVICE || minor == IRP_MN_REMOVE_DEVICE ||
                         minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL;
    if (handled) irp->IoStatus.Status = STATUS_SUCCESS;
    if (!handled && g_pnpFault == PnpFault::UnhandledStatusSet) irp->IoStatus.Status = STATUS_SUCCESS;
    if (!handled && g_pnpFault == PnpFault::UnhandledCompleted && minor == sim::kUnhandledPnpMinor)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    if (minor == IRP_MN_REMOVE_DEVICE && g_pnpFault == PnpFault::RemoveNotPassedDown) {
        Complete(irp, STATUS_SUCCESS);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        if (g_pnpFault != PnpFault::DeviceNotDetached) IoDetachDevice(lower);
        if (g_pnpFault != PnpFault::DeviceNotDeleted) IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS NTAPI FaultyPnpEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = [](PDRIVER_OBJECT d, PDEVICE_OBJECT pdo) NTAPI { return simtest::AddFunctionDevice(d, pdo); };
    driver->MajorFunction[IRP_MJ_PNP] = FaultyPnp;
    driver->DriverUnload = [](PDRIVER_OBJECT) NTAPI {};
    return STATUS_SUCCESS;
}

TEST_F(SimTest, PlugAndPlayDutiesOfAFunctionDriver) {
    // A bus that answers what it handles and leaves the rest alone.
    sim::SimDriver* bus = sim::CreateSimDriver("bus");
    PDEVICE_OBJECT pdo = sim::CreateSimDevice(bus, u"", 0);
    int removalsAtBus = 0;
    sim::SetSimDispatch(bus, IRP_MJ_PNP, [&](PDEVICE_OBJECT, PIRP irp) {
        const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
        removalsAtBus += minor == IRP_MN_REMOVE_DEVICE;
        const bool handled = minor <= IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL;
        return Complete(irp, handled ? STATUS_SUCCESS : irp->IoStatus.Status);
    });
    struct Case {
        PnpFault fault;
        Rule rule;
        bool removalReachesBus;
    };
    const Case cases[] = {
        {PnpFault::None, Rule::RemoveNotForwarded, true},
        {PnpFault::RemoveNotPassedDown, Rule::RemoveNotForwarded, false},
        {PnpFault::DeviceNotDeleted, Rule::DeviceSurvivedRemoval, true},
        {PnpFault::DeviceNotDetached, Rule::DeviceDeletedWhileAttached, true},
        {PnpFault::UnhandledStatusSet, Rule::UnhandledPnpStatusChanged, true},
        {PnpFault::UnhandledCompleted, Rule::UnhandledPnpStatusChanged, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        g_pnpFault = c.fault;
        removalsAtBus = 0;
        ExpectViolation v(c.rule);
        NTSTATUS status;
        PDRIVER_OBJECT driver = sim::LoadDriver(FaultyPnpEntry, u"faulty", &status);
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(sim::PlugDevice(driver, pdo), STATUS_SUCCESS);  // with the unhandled-minor probe
        PDEVICE_OBJECT fdo = sim::FunctionDevice(pdo);
        ASSERT_NE(fdo, nullptr);
        EXPECT_EQ(sim::RemoveDevice(pdo), STATUS_SUCCESS);
        EXPECT_EQ(v.Count(), c.fault == PnpFault::None ? 0 : 1) << v.LastMessage();
        EXPECT_EQ(removalsAtBus, c.removalReachesBus ? 1 : 0);
        EXPECT_EQ(pdo->AttachedDevice, nullptr);
        if (c.fault == PnpFault::DeviceNotDeleted) {
            IoDeleteDevice(fdo);
            sim::UnloadDriverIfUnused(driver);
        }
        EXPECT_FALSE(sim::DriverLoaded(driver)) << "unloaded once its device is gone";
    }
    g_pnpFault = PnpFault::None;
    sim::DeleteSimDevice(pdo);
}

// --- The self-tests the review found thin ---------------------------------------

TEST_F(SimTest, ReturningPendingForARequestCompletedBeforeTheReturn) {
    // Completed (here by the driver itself, as a DPC on another processor
    // could) and then answered STATUS_PENDING without the mark.
    ExpectViolation v(Rule::PendingNotMarked);
    OneDevice d([](PDEVICE_OBJECT, PIRP irp) NTAPI {
        Complete(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    });
    EXPECT_TRUE(d.Read()->completed);
    EXPECT_EQ(v.Count(), 1);
    // With the mark made first, the same answer is right.
    OneDevice marked([](PDEVICE_OBJECT, PIRP irp) NTAPI {
        IoMarkIrpPending(irp);
        Complete(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    });
    EXPECT_TRUE(marked.Read()->completed);
    EXPECT_EQ(v.Count(), 1);
}

TEST_F(SimTest, PassingOnOrCancellingARequestAlreadyCompleted) {
    ExpectViolation v(Rule::IrpTouchedAfterCompletion);
    sim::SimDriver* other = sim::CreateSimDriver("other");
    static PDEVICE_OBJECT target;
    target = sim::CreateSimDevice(other, u"", 0);
    OneDevice d([](PDEVICE_OBJECT, PIRP irp) NTAPI {
        Complete(irp, STATUS_SUCCESS);
        IoCallDriver(target, irp);
        IoCancelIrp(irp);
        return STATUS_SUCCESS;
    });
    d.Read();
    EXPECT_EQ(v.Count(), 2);
    EXPECT_NE(v.LastMessage().find("IoCancelIrp"), std::string::npos);
    sim::DeleteSimDevice(target);
}

TEST_F(SimTest, FreeingMemoryThatHoldsASetTimer) {
    ExpectViolation v(Rule::DeferredObjectFreed);
    auto* timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), kComxTag));
    KeInitializeTimer(timer);
    LARGE_INTEGER due;
    due.QuadPart = -10 * sim::kMillisecond;
    KeSetTimer(timer, due, nullptr);
    ExFreePoolWithTag(timer, kComxTag);  // refused while set
    EXPECT_EQ(v.Count(), 1);
    EXPECT_NE(v.LastMessage().find("timer"), std::string::npos);
    EXPECT_TRUE(KeCancelTimer(timer));
    ExFreePoolWithTag(timer, kComxTag);
    EXPECT_EQ(v.Count(), 1);
}

PVOID g_sectionHandle;
NTSTATUS NTAPI EntryThatKeepsASectionLocked(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    g_sectionHandle = MmLockPagableDataSection(reinterpret_cast<PVOID>(&NothingDpc));
    driver->DriverUnload = [](PDRIVER_OBJECT) NTAPI {};
    return STATUS_SUCCESS;
}

TEST_F(SimTest, UnloadingWithAPagedSectionStillLocked) {
    ExpectViolation v(Rule::SectionLockPairing);
    NTSTATUS status;
    PDRIVER_OBJECT driver = sim::LoadDriver(EntryThatKeepsASectionLocked, u"locking", &status);
    ASSERT_NE(driver, nullptr);
    sim::UnloadDriver(driver);
    EXPECT_EQ(v.Count(), 1);
    EXPECT_NE(v.LastMessage().find("unloaded"), std::string::npos);
    MmUnlockPagableImageSection(g_sectionHandle);
}

TEST(VerifierAtTeardown, AnIrpNeverCompletedIsReported) {
    ExpectViolation v(Rule::IrpLeaked);
    {
        sim::Simulation s;
        auto driver = sim::CreateSimDriver("forgetful");
        PDEVICE_OBJECT dev = sim::CreateSimDevice(driver, u"", 0);
        sim::SetSimDispatch(driver, IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
            IoMarkIrpPending(irp);
            return STATUS_PENDING;
        });
        sim::IrpSetup request;
        request.major = IRP_MJ_READ;
        sim::SendIrp(dev, request);
    }
    EXPECT_EQ(v.Count(), 1);
}

// A driver that neither completes a read nor cancels it at cleanup: the read
// outlives its handle, and the report names the file it was issued on.
TEST(VerifierAtTeardown, ARequestLeftPendingAfterItsHandleClosedNamesItsFile) {
    ExpectViolation v(Rule::IrpLeaked);
    {
        sim::Simulation s;
        auto driver = sim::CreateSimDriver("forgetful");
        sim::CreateSimDevice(driver, u"\\Device\\Forgetful0", 0);
        UNICODE_STRING link, target;
        RtlInitUnicodeString(&link, u"\\DosDevices\\COM7");
        RtlInitUnicodeString(&target, u"\\Device\\Forgetful0");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
            sim::SetSimDispatch(driver, major, [](PDEVICE_OBJECT, PIRP irp) NTAPI { return Complete(irp, STATUS_SUCCESS); });
        }
        sim::SetSimDispatch(driver, IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
            IoMarkIrpPending(irp);
            return STATUS_PENDING;
        });
        NTSTATUS status;
        sim::File port = sim::File::Open(u"\\\\.\\COM7", &status, sim::OverlappedOpen());
        ASSERT_EQ(status, STATUS_SUCCESS);
        port.Read(1);
        port.Close();
    }
    ASSERT_EQ(v.Count(), 1);
    EXPECT_NE(v.LastMessage().find("IRP_MJ_READ"), std::string::npos) << v.LastMessage();
    EXPECT_NE(v.LastMessage().find("COM7"), std::string::npos) << v.LastMessage();
    EXPECT_NE(v.LastMessage().find("IRP_MJ_CLEANUP sent"), std::string::npos) << v.LastMessage();
}

void WaitForever() {
    sim::Simulation s;
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
}

void AcquireTwice() {
    sim::Simulation s;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL a, b;
    KeAcquireSpinLock(&lock, &a);
    KeAcquireSpinLock(&lock, &b);
}

void AcquireFastMutexTwice() {
    sim::Simulation s;
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
}

void PassToItself() {
    sim::Simulation s;
    OneDevice d([](PDEVICE_OBJECT device, PIRP irp) NTAPI { return IoCallDriver(device, irp); });
    d.Read();
}

void CompleteTwiceUnexpected() {
    sim::Simulation s;
    OneDevice d([](PDEVICE_OBJECT, PIRP irp) NTAPI {
        Complete(irp, STATUS_SUCCESS);
        return Complete(irp, STATUS_SUCCESS);
    });
    d.Read();
}

TEST(VerifierDeathTest, RulesThatCannotBeSurvivedStopTheRun) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(WaitForever(), "DEADLOCK");
    EXPECT_DEATH(AcquireTwice(), "SPIN_LOCK_ACQUIRED_RECURSIVELY");
    EXPECT_DEATH(AcquireFastMutexTwice(), "FAST_MUTEX_MISUSE");
    EXPECT_DEATH(PassToItself(), "NO_MORE_IRP_STACK_LOCATIONS");
    // Without an expectation a violation stops the run, naming its rule.
    EXPECT_DEATH(CompleteTwiceUnexpected(), "IRP_COMPLETED_TWICE");
}

}  // namespace
