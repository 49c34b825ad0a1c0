// The port's request queues and current-request slots: starting or queueing a
// request, taking the next one, deciding who completes a started request (the
// party that clears its last reference bit), cancelling a queue or everything
// the port holds, and the mask queue that serves SET_WAIT_MASK and WAIT_ON_MASK.
//
// Everything that links, unlinks, fills a slot or touches RequestRefs does so
// under the cancel spin lock. Requests are completed only after every spin lock
// is released.
#include "datapath/datapath.h"

#include "driver/driver.h"

#include "usb/usb.h"

namespace {

bool IsControl(PIO_STACK_LOCATION sp, ULONG code) {
    return sp->MajorFunction == IRP_MJ_DEVICE_CONTROL && sp->Parameters.DeviceIoControl.IoControlCode == code;
}

// What a queued request adds to TotalCharsQueued: a write its length, an
// XOFF_COUNTER its one character.
ULONG QueuedChars(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_WRITE) return sp->Parameters.Write.Length;
    if (IsControl(sp, IOCTL_SERIAL_XOFF_COUNTER)) return 1;
    return 0;
}

// A SET_QUEUE_SIZE that will never reach the head of the read queue gives back
// the ring the dispatch allocated for it.
void FreeQueueSizeBuffer(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (!IsControl(sp, IOCTL_SERIAL_SET_QUEUE_SIZE)) return;
    if (sp->Parameters.DeviceIoControl.Type3InputBuffer) {
        ExFreePoolWithTag(sp->Parameters.DeviceIoControl.Type3InputBuffer, VODREK_POOL_TAG);
        sp->Parameters.DeviceIoControl.Type3InputBuffer = nullptr;
    }
}

void CompleteCancelled(PortExtension* port, PIRP irp, CCHAR boost) {
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, boost);
    ReleasePendingHold(port);
}

// Called with the cancel spin lock held at `irql`: cancels `irp` through its
// cancel routine, which releases the lock. Answers false, with the lock still
// held, when the request has no routine (someone else is finishing it).
bool CancelThroughRoutine(PortExtension* port, PIRP irp, KIRQL irql) {
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (!routine) return false;
    irp->CancelIrql = irql;
    routine(port->DeviceObject, irp);
    return true;
}

}  // namespace

NTSTATUS StartOrQueue(PortExtension* port, PIRP irp, PLIST_ENTRY queue, PIRP* slot, StartRoutine start) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    const ULONG chars = QueuedChars(irp);
    port->TotalCharsQueued += chars;
    if (IsListEmpty(queue) && !*slot) {
        *slot = irp;
        IoReleaseCancelSpinLock(irql);
        return start(port);
    }
    if (irp->Cancel) {
        port->TotalCharsQueued -= chars;
        IoReleaseCancelSpinLock(irql);
        FreeQueueSizeBuffer(irp);
        CompleteCancelled(port, irp, IO_NO_INCREMENT);
        return STATUS_CANCELLED;
    }
    irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(irp);
    InsertTailList(queue, &irp->Tail.Overlay.ListEntry);
    // Installed under the cancel spin lock after the Cancel flag was seen clear:
    // IoCancelIrp takes the same lock, so it finds the routine.
    IoSetCancelRoutine(irp, QueueCancelRoutine);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

NTSTATUS DispatchToQueue(PortExtension* port, PIRP irp, ULONG length, PLIST_ENTRY queue, PIRP* slot,
                         StartRoutine start) {
    NTSTATUS answer;
    if (!AdmitOrAnswer(port, irp, &answer)) return answer;
    if (RejectOnErrorAbort(port, irp) != STATUS_SUCCESS) return STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    if (length == 0) return CompleteNow(port, irp, STATUS_SUCCESS);
    return StartOrQueue(port, irp, queue, slot, start);
}

VOID NTAPI QueueCancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortOf(device);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    port->TotalCharsQueued -= QueuedChars(irp);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    FreeQueueSizeBuffer(irp);
    CompleteCancelled(port, irp, IO_SERIAL_INCREMENT);
}

void TakeNextRequest(PortExtension* port, PIRP* slot, PLIST_ENTRY queue, PIRP* next, bool completeOld) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP old = *slot;
    *slot = nullptr;
    // A queued request always carries the queue's cancel routine under this lock
    // (IoCancelIrp takes the routine and calls it without letting the lock go);
    // one without it is skipped rather than started twice.
    for (PLIST_ENTRY entry = queue->Flink; entry != queue; entry = entry->Flink) {
        PIRP candidate = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(candidate, nullptr)) {
            RemoveEntryList(entry);
            *slot = candidate;
            break;
        }
    }
    *next = *slot;
    IoReleaseCancelSpinLock(irql);
    if (completeOld && old) {
        IoCompleteRequest(old, IO_SERIAL_INCREMENT);
        ReleasePendingHold(port);
    }
}

void TryCompleteCurrent(PortExtension* port, KIRQL cancelIrql, SyncRoutine sync, NTSTATUS status,
                        const CompletionPlan& plan, ULONG_PTR dropBits) {
    PIRP* slot = &(port->*plan.Slot);
    PIRP irp = *slot;
    if (!irp) {
        IoReleaseCancelSpinLock(cancelIrql);
        return;
    }
    RequestRefWord refs = RequestRefs(irp);
    refs &= ~dropBits;
    if (sync) sync(port);
    // The cancel routine: removed here only if we find it installed; a routine
    // already taken by IoCancelIrp keeps its bit and finishes the request itself.
    if ((refs & RefCancel) && IoSetCancelRoutine(irp, nullptr)) refs &= ~RefCancel;
    if (plan.IntervalTimer && (refs & RefIntervalTimer) && CancelDeferredTimer(port, &(port->*plan.IntervalTimer)))
        refs &= ~RefIntervalTimer;
    if (plan.TotalTimer && (refs & RefTotalTimer) && CancelDeferredTimer(port, &(port->*plan.TotalTimer)))
        refs &= ~RefTotalTimer;
    if (refs != 0) {
        IoReleaseCancelSpinLock(cancelIrql);
        return;
    }
    if (plan.FinalStatus) status = plan.FinalStatus(port);
    irp->IoStatus.Status = status;
    if (status == STATUS_CANCELLED) irp->IoStatus.Information = 0;
    if (plan.TakeNext) {
        IoReleaseCancelSpinLock(cancelIrql);
        PIRP next = nullptr;
        plan.TakeNext(port, slot, plan.Queue ? &(port->*plan.Queue) : nullptr, &next, true);
        if (next && plan.StartNext) plan.StartNext(port);
        return;
    }
    *slot = nullptr;
    IoReleaseCancelSpinLock(cancelIrql);
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    ReleasePendingHold(port);
}

void CompleteCurrent(PortExtension* port, SyncRoutine sync, NTSTATUS status, const CompletionPlan& plan,
                     ULONG_PTR dropBits) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    TryCompleteCurrent(port, irql, sync, status, plan, dropBits);
}

namespace {

// Cancels every queued request, newest first. The cancel routine unlinks each
// one itself; a request found without a routine is left to whoever holds it.
void CancelQueued(PortExtension* port, PLIST_ENTRY queue) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PLIST_ENTRY entry = queue->Blink;
    while (entry != queue) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        PLIST_ENTRY older = entry->Blink;
        if (CancelThroughRoutine(port, irp, irql)) {
            IoAcquireCancelSpinLock(&irql);
            entry = queue->Blink;
        } else {
            entry = older;
        }
    }
    IoReleaseCancelSpinLock(irql);
}

// A current request without a cancel routine belongs to its data path at this
// moment, which sees the Cancel flag.
void CancelSlot(PortExtension* port, PIRP* slot) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (*slot && CancelThroughRoutine(port, *slot, irql)) return;
    IoReleaseCancelSpinLock(irql);
}

}  // namespace

void KillQueue(PortExtension* port, PLIST_ENTRY queue, PIRP* slot) {
    CancelQueued(port, queue);
    CancelSlot(port, slot);
}

void KillAllRequests(PortExtension* port) {
    KillQueue(port, &port->WriteQueue, &port->CurrentWrite);
    KillQueue(port, &port->ReadQueue, &port->CurrentRead);
    KillQueue(port, &port->PurgeQueue, &port->CurrentPurge);
    KillQueue(port, &port->MaskQueue, &port->CurrentMaskRequest);
    CancelSlot(port, &port->CurrentWait);
    // The immediate character and the counting XOFF_COUNTER would otherwise
    // outlive their handle or their device.
    CancelSlot(port, &port->CurrentImmediate);
    CancelSlot(port, &port->CurrentXoffCounter);
    CancelSlot(port, &port->WaitingXoffCounter);
    CancelWaitWake(port);
    CancelQueued(port, &port->StalledQueue);
}

VOID NTAPI ErrorAbortDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortExtension*>(context);
    KillQueue(port, &port->WriteQueue, &port->CurrentWrite);
    KillQueue(port, &port->ReadQueue, &port->CurrentRead);
    ReleaseDeferred(port);
}

// --- Waiting for events ---------------------------------------------------------------

namespace {

constexpr CompletionPlan kWaitPlan = {&PortExtension::CurrentWait, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr};

// Takes the waiting request's result location back, if nobody has claimed it:
// answers whether we did (then the wait's data side is ours to end).
bool ClaimWaitResult(PortExtension* port, ULONG events) {
    auto* location = static_cast<PULONG>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&port->WaitResultLocation), nullptr));
    if (!location) return false;
    *location = events;
    return true;
}

// The reclaim step of a cancelled wait: the result is 0, and the data side's bit
// goes only if this reclaim made the claim (a completer that got there first has
// queued the wait-complete DPC, which drops it).
void ReclaimWait(PortExtension* port) {
    if (!ClaimWaitResult(port, 0)) return;
    port->CurrentWait->IoStatus.Information = sizeof(ULONG);
    RequestRefs(port->CurrentWait) &= ~RefInDevice;
}

}  // namespace

bool CompleteWaitWith(PortExtension* port, ULONG events) {
    if (!port->WaitResultLocation || !ClaimWaitResult(port, events)) return false;
    // Information belongs to the claimant: the request stays current until the
    // wait-complete DPC (which holds its data-side bit) runs.
    if (port->CurrentWait) port->CurrentWait->IoStatus.Information = sizeof(ULONG);
    QueueDeferred(port, &port->Dpc.WaitComplete);
    return true;
}

VOID NTAPI WaitCompleteDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortExtension*>(context);
    CompleteCurrent(port, nullptr, STATUS_SUCCESS, kWaitPlan, RefInDevice);
    ReleaseDeferred(port);
}

VOID NTAPI WaitCancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    TryCompleteCurrent(PortOf(device), irp->CancelIrql, ReclaimWait, STATUS_CANCELLED, kWaitPlan, RefCancel);
}

namespace {

enum class MaskStep { Finished, Waiting };

// Handles the request in CurrentMaskRequest. Finished: its status is stored and
// it is still in the slot. Waiting: it became CurrentWait and the slot is empty.
MaskStep HandleMaskRequest(PortExtension* port, PIRP irp, bool first) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    if (sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_WAIT_MASK) {
        const ULONG mask = *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
        // A wait pending under the old mask ends with no events.
        CompleteWaitWith(port, 0);
        InterlockedAnd(reinterpret_cast<volatile LONG*>(&port->EventHistory), static_cast<LONG>(mask));
        port->WaitMask = mask;
        irp->IoStatus.Status = STATUS_SUCCESS;
        return MaskStep::Finished;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (port->WaitMask == 0 || port->CurrentWait) {
        IoReleaseCancelSpinLock(irql);
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        return MaskStep::Finished;
    }
    if (irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        irp->IoStatus.Status = STATUS_CANCELLED;
        return MaskStep::Finished;
    }
    if (first) IoMarkIrpPending(irp);
    // The wait leaves the mask queue: no take-next will ever complete it from
    // there, and the next mask request can start behind it.
    port->CurrentMaskRequest = nullptr;
    port->CurrentWait = irp;
    RequestRefs(irp) = RefCancel | RefInDevice;
    IoSetCancelRoutine(irp, WaitCancelRoutine);
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&port->WaitResultLocation),
                               irp->AssociatedIrp.SystemBuffer);
    IoReleaseCancelSpinLock(irql);
    // Events recorded before the wait was armed, or while it was being armed,
    // answer it at once.
    CheckWaitCompletion(port);
    return MaskStep::Waiting;
}

}  // namespace

NTSTATUS StartMaskRequest(PortExtension* port) {
    NTSTATUS firstStatus = STATUS_SUCCESS;
    bool first = true;
    PIRP irp = port->CurrentMaskRequest;
    while (irp) {
        const MaskStep step = HandleMaskRequest(port, irp, first);
        if (first) firstStatus = step == MaskStep::Waiting ? STATUS_PENDING : irp->IoStatus.Status;
        first = false;
        PIRP next = nullptr;
        // A finished request is completed as the next one is taken; a waiting one
        // has already left the slot.
        TakeNextRequest(port, &port->CurrentMaskRequest, &port->MaskQueue, &next, step == MaskStep::Finished);
        irp = next;
    }
    return firstStatus;
}
