// The port's request queues and current-request slots: cancelling everything a
// queue holds, or everything the port holds.
#include "datapath/datapath.h"

namespace {

// Called with the cancel spin lock held at `irql`; the request's cancel routine
// releases it. Answers whether a routine was called.
bool CallCancelRoutine(PortExtension* port, PIRP irp, KIRQL irql) {
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (!routine) return false;
    irp->CancelIrql = irql;
    routine(port->DeviceObject, irp);
    return true;
}

// Cancels every queued request, newest first. A queued request always carries a
// cancel routine, which unlinks it again: the entry is made self-linked first so
// that second unlink is harmless.
void CancelQueued(PortExtension* port, PLIST_ENTRY queue) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    while (!IsListEmpty(queue)) {
        PLIST_ENTRY entry = RemoveTailList(queue);
        InitializeListHead(entry);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (!CallCancelRoutine(port, irp, irql)) IoReleaseCancelSpinLock(irql);
        IoAcquireCancelSpinLock(&irql);
    }
    IoReleaseCancelSpinLock(irql);
}

// A current request without a cancel routine belongs to its data path at this
// moment, which sees the Cancel flag.
void CancelSlot(PortExtension* port, PIRP* slot) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (*slot && CallCancelRoutine(port, *slot, irql)) return;
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
    CancelQueued(port, &port->StalledQueue);
}
