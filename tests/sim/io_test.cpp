// The simulated I/O manager: completion in stack order with the invoke flags,
// STATUS_MORE_PROCESSING_REQUIRED, pending propagation, cancellation, IRPs built
// for a caller, and names.
#include "tests/support/sim_fixture.h"

#include <string>
#include <vector>

namespace {

using simtest::SimTest;
using simtest::TwoDeviceStack;

struct CompletionLog {
    std::vector<std::string> calls;
    std::vector<PDEVICE_OBJECT> devices;
    NTSTATUS answer = STATUS_SUCCESS;
};

NTSTATUS NTAPI LoggingCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* log = static_cast<CompletionLog*>(context);
    log->calls.push_back("completion");
    log->devices.push_back(device);
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return log->answer;
}

IRP* g_parked = nullptr;

TEST_F(SimTest, CompletionRoutinesRunUpwardWithTheirDeviceAndInvokeFlags) {
    TwoDeviceStack stack;
    for (NTSTATUS final : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}) {
        CompletionLog log;
        sim::SetSimDispatch(stack.lowerDriver, IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
            irp->IoStatus.Status = final;
            IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
            return final;
        });
        sim::SetSimDispatch(stack.upperDriver, IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            // Only on success: an error completion must skip it.
            IoSetCompletionRoutine(irp, LoggingCompletion, &log, TRUE, FALSE, FALSE);
            return IoCallDriver(stack.lower, irp);
        });
        sim::IrpSetup request;
        request.major = IRP_MJ_READ;
        auto r = sim::SendIrp(stack.upper, request);
        ASSERT_TRUE(r->completed);
        EXPECT_EQ(r->status, final);
        EXPECT_EQ(r->boost, IO_SERIAL_INCREMENT);
        if (final == STATUS_SUCCESS) {
            ASSERT_EQ(log.calls.size(), 1u);
            EXPECT_EQ(log.devices[0], stack.upper) << "the routine gets the device that set it";
        } else {
            EXPECT_TRUE(log.calls.empty());
        }
    }
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
}

TEST_F(SimTest, MoreProcessingRequiredStopsCompletionUntilTheOwnerCompletesAgain) {
    TwoDeviceStack stack;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    sim::SetSimDispatch(stack.lowerDriver, IRP_MJ_PNP, [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    sim::SetSimDispatch(stack.upperDriver, IRP_MJ_PNP, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP, PVOID ctx) -> NTSTATUS {
                KeSetEvent(static_cast<PKEVENT>(ctx), 0, FALSE);
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            &event, TRUE, TRUE, TRUE);
        IoCallDriver(stack.lower, irp);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        // Back in our hands: the top has not seen a completion yet.
        irp->IoStatus.Information = 42;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    sim::IrpSetup request;
    request.major = IRP_MJ_PNP;
    auto r = sim::SendIrp(stack.upper, request);
    ASSERT_TRUE(r->completed);
    EXPECT_EQ(r->information, 42u);
}

TEST_F(SimTest, PendingReturnedPropagatesToTheTop) {
    TwoDeviceStack stack;
    sim::SetSimDispatch(stack.lowerDriver, IRP_MJ_WRITE, [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        g_parked = irp;
        return STATUS_PENDING;
    });
    sim::SetSimDispatch(stack.upperDriver, IRP_MJ_WRITE, [&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(stack.lower, irp);
    });
    sim::IrpSetup request;
    request.major = IRP_MJ_WRITE;
    auto r = sim::SendIrp(stack.upper, request);
    EXPECT_EQ(r->returned, STATUS_PENDING);
    EXPECT_FALSE(r->completed);
    sim_.Schedule(5 * sim::kMillisecond, "lower completes", [] {
        g_parked->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(g_parked, IO_NO_INCREMENT);
    });
    sim_.RunFor(10 * sim::kMillisecond);
    ASSERT_TRUE(r->completed);
    EXPECT_TRUE(r->pendingReturned);
}

// A queue of one with a cancel routine and a DPC that completes it: the two
// race, and the Held policy decides who wins.
struct OneSlot {
    PIRP irp = nullptr;
    KDPC dpc;
};
OneSlot g_slot;

VOID NTAPI SlotCancel(PDEVICE_OBJECT, PIRP irp) {
    g_slot.irp = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
}

VOID NTAPI SlotCompleteDpc(PKDPC, PVOID, PVOID, PVOID) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = g_slot.irp;
    // Whoever clears the cancel routine owns the request.
    if (!irp || !IoSetCancelRoutine(irp, nullptr)) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    g_slot.irp = nullptr;
    IoReleaseCancelSpinLock(irql);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 1;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
}

TEST_F(SimTest, CancelRacesACompletingDpcInTheOrderTheTestChooses) {
    sim_.SetPolicy(sim::Policy::Held);
    sim::SimDriver* driver = sim::CreateSimDriver("slot");
    PDEVICE_OBJECT dev = sim::CreateSimDevice(driver, u"", 0);
    KeInitializeDpc(&g_slot.dpc, SlotCompleteDpc, nullptr);
    sim::SetSimDispatch(driver, IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoMarkIrpPending(irp);
        g_slot.irp = irp;
        IoSetCancelRoutine(irp, SlotCancel);
        IoReleaseCancelSpinLock(irql);
        KeInsertQueueDpc(&g_slot.dpc, nullptr, nullptr);
        return STATUS_PENDING;
    });
    sim::IrpSetup request;
    request.major = IRP_MJ_READ;
    request.outputLength = 1;

    // Cancel first: the cancel routine completes it; the DPC then finds nothing.
    auto first = sim::SendIrp(dev, request);
    ASSERT_EQ(sim_.Held().size(), 1u);
    EXPECT_TRUE(sim::CancelIrp(first));
    EXPECT_TRUE(first->completed);
    EXPECT_EQ(first->status, STATUS_CANCELLED);
    sim_.ReleaseAll();

    // The DPC first: it completes; a cancel afterwards has nothing to do.
    auto second = sim::SendIrp(dev, request);
    sim_.ReleaseAll();
    ASSERT_TRUE(second->completed);
    EXPECT_EQ(second->status, STATUS_SUCCESS);
    EXPECT_EQ(second->information, 1u);
    EXPECT_FALSE(sim::CancelIrp(second));
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
    sim::DeleteSimDevice(dev);
}

TEST_F(SimTest, CancelWithoutARoutineOnlySetsTheFlag) {
    sim::SimDriver* driver = sim::CreateSimDriver("parking");
    PDEVICE_OBJECT dev = sim::CreateSimDevice(driver, u"", 0);
    sim::SetSimDispatch(driver, IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        g_parked = irp;
        return STATUS_PENDING;
    });
    sim::IrpSetup request;
    request.major = IRP_MJ_READ;
    auto r = sim::SendIrp(dev, request);
    EXPECT_FALSE(sim::CancelIrp(r));
    EXPECT_TRUE(g_parked->Cancel);
    g_parked->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(g_parked, IO_NO_INCREMENT);
    EXPECT_TRUE(r->completed);
    sim::DeleteSimDevice(dev);
}

TEST_F(SimTest, BuiltDeviceControlSignalsItsEventAndIsFreedByTheIoManager) {
    sim::SimDriver* driver = sim::CreateSimDriver("answering");
    PDEVICE_OBJECT dev = sim::CreateSimDevice(driver, u"", 0);
    sim::SetSimDispatch(driver, IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
        auto* buffer = static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer);
        *buffer = *buffer * 2;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = sizeof(ULONG);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    ULONG in = 21, out = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(0x22200C, dev, &in, sizeof in, &out, sizeof out, FALSE,
                                             &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(dev, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, sizeof(ULONG));
    EXPECT_EQ(out, 42u);
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
    sim::DeleteSimDevice(dev);
}

TEST_F(SimTest, AllocatedIrpIsTheDriversToFree) {
    TwoDeviceStack stack;
    sim::SetSimDispatch(stack.lowerDriver, IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    PIRP irp = IoAllocateIrp(stack.lower->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT device, PIRP irp, PVOID) -> NTSTATUS {
            EXPECT_EQ(device, nullptr) << "no stack location of ours above it";
            IoFreeIrp(irp);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(stack.lower, irp), STATUS_SUCCESS);
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
}

TEST_F(SimTest, BufferedDeviceControlWithoutBuffersHasNoSystemBuffer) {
    sim::SimDriver* driver = sim::CreateSimDriver("answering");
    PDEVICE_OBJECT dev = sim::CreateSimDevice(driver, u"", 0);
    PVOID seen = reinterpret_cast<PVOID>(1);
    sim::SetSimDispatch(driver, IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        seen = irp->AssociatedIrp.SystemBuffer;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    sim::DeviceIoControl(dev, 0x1B002C, {}, 0);
    EXPECT_EQ(seen, nullptr);
    sim::DeleteSimDevice(dev);
}

TEST_F(SimTest, NamesCollideAndSymbolicLinksLeadToTheDevice) {
    auto driver = sim::CreateSimDriver("named");
    PDRIVER_OBJECT object = sim::DriverObjectOf(driver);
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, u"\\Device\\Thing7");
    RtlInitUnicodeString(&link, u"\\DosDevices\\THING7");
    PDEVICE_OBJECT dev = nullptr, again = nullptr;
    ASSERT_EQ(IoCreateDevice(object, 16, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &dev), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateDevice(object, 16, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &again),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(again, nullptr);
    EXPECT_TRUE(dev->Flags & DO_EXCLUSIVE);
    EXPECT_TRUE(dev->Flags & DO_DEVICE_INITIALIZING);
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(sim::LookupDevice(u"\\dosdevices\\thing7"), dev);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(sim::LookupDevice(u"\\DosDevices\\THING7"), nullptr);
    sim::FailNthDeviceCreation(1, STATUS_INSUFFICIENT_RESOURCES);
    UNICODE_STRING other;
    RtlInitUnicodeString(&other, u"\\Device\\Thing8");
    EXPECT_EQ(IoCreateDevice(object, 0, &other, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &again),
              STATUS_INSUFFICIENT_RESOURCES);
    IoDeleteDevice(dev);
    EXPECT_EQ(sim::LookupDevice(u"\\Device\\Thing7"), nullptr);
}

}  // namespace
