// Admission of every request: counting it on the port, turning it away while the
// device is removed, holding it while a stop is pending, and the error-abort rule.
#include "datapath/datapath.h"

namespace {
// The flags as they are now: one aligned word, read whole.
ULONG CurrentFlags(PortExtension* port) { return *reinterpret_cast<volatile ULONG*>(&port->DeviceStateFlags); }
}  // namespace

NTSTATUS AdmitRequest(PortExtension* port, PIRP irp) {
    InterlockedIncrement(&port->PendingRequestCount);

    KIRQL irql;
    KeAcquireSpinLock(&port->DeviceStateLock, &irql);
    ULONG flags = port->DeviceStateFlags;
    KeReleaseSpinLock(&port->DeviceStateLock, irql);

    const bool pnp = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_PNP;
    for (;;) {
        if (flags == 0) return STATUS_SUCCESS;
        if (flags & (DEVICE_STATE_REMOVING | DEVICE_STATE_SURPRISE_REMOVED)) {
            if (pnp) return STATUS_SUCCESS;
            irp->IoStatus.Status = STATUS_DELETE_PENDING;
            return STATUS_DELETE_PENDING;
        }
        if (!(flags & DEVICE_STATE_STOP_PENDING) || pnp) return STATUS_SUCCESS;

        // A stop is pending: hold the request until the next start re-dispatches
        // it. The flag is looked at again under the cancel spin lock, which the
        // re-dispatch takes only after clearing it: a cancel-stop that came
        // between our first look and here either finds the request on the queue
        // or has cleared the flag, and then the request goes through now.
        IoAcquireCancelSpinLock(&irql);
        flags = CurrentFlags(port);
        if (!(flags & DEVICE_STATE_STOP_PENDING)) {
            IoReleaseCancelSpinLock(irql);
            continue;
        }
        if (irp->Cancel) {
            IoReleaseCancelSpinLock(irql);
            irp->IoStatus.Status = STATUS_CANCELLED;
            return STATUS_CANCELLED;
        }
        irp->IoStatus.Status = STATUS_PENDING;
        IoMarkIrpPending(irp);
        InsertTailList(&port->StalledQueue, &irp->Tail.Overlay.ListEntry);
        IoSetCancelRoutine(irp, StalledCancelRoutine);
        IoReleaseCancelSpinLock(irql);
        // A held request carries no count: the re-dispatch admits it afresh.
        ReleasePendingHold(port);
        return STATUS_PENDING;
    }
}

bool AdmitOrAnswer(PortExtension* port, PIRP irp, NTSTATUS* answer) {
    const NTSTATUS status = AdmitRequest(port, irp);
    if (status == STATUS_SUCCESS) return true;
    *answer = status;
    if (status == STATUS_PENDING) return false;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ReleasePendingHold(port);
    return false;
}

NTSTATUS CompleteNow(PortExtension* port, PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ReleasePendingHold(port);
    return status;
}

void ReleasePendingHold(PortExtension* port) {
    if (InterlockedDecrement(&port->PendingRequestCount) == 0) {
        KeSetEvent(&port->PendingRequestsDone, IO_NO_INCREMENT, FALSE);
    }
}

VOID NTAPI StalledCancelRoutine(PDEVICE_OBJECT, PIRP irp) {
    // A power request held here still owes the power manager its release, or
    // no other power request would reach the device again.
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER)
        PoStartNextPowerIrp(irp);
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = STATUS_CANCELLED;
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
}

// Not in the pageable start section: a cancel-stop runs this with nothing locked,
// and it takes the cancel spin lock, where a page fault is fatal.
void RedispatchStalled(PortExtension* port) {
    for (;;) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        if (IsListEmpty(&port->StalledQueue)) {
            IoReleaseCancelSpinLock(irql);
            return;
        }
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&port->StalledQueue), IRP, Tail.Overlay.ListEntry);
        IoSetCancelRoutine(irp, nullptr);
        IoReleaseCancelSpinLock(irql);

        PDEVICE_OBJECT device = port->DeviceObject;
        const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        device->DriverObject->MajorFunction[major](device, irp);
    }
}

NTSTATUS RejectOnErrorAbort(PortExtension* port, PIRP irp) {
    if (!(port->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) || port->ErrorFlags == 0) {
        return STATUS_SUCCESS;
    }
    // GET_COMMSTATUS reads and clears the errors: it is the way out of this state.
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_GET_COMMSTATUS) {
        return STATUS_SUCCESS;
    }
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ReleasePendingHold(port);
    return STATUS_CANCELLED;
}

NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
