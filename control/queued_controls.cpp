// Device controls the port serves through its request queues: waiting for
// events, purging, growing the receive ring, the XOFF counter; and the immediate
// character, which goes to the pipe ahead of them.
#include "control/control.h"

#include "datapath/datapath.h"

namespace {

constexpr ULONG kKnownEvents = 0x1FFF;  // SERIAL_EV_RXCHAR .. SERIAL_EV_EVENT2
constexpr ULONG kPurgeFlags = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;

NTSTATUS HandOn(ControlRequest& request, PLIST_ENTRY queue, PIRP* slot, StartRoutine start) {
    request.HandedOn = true;
    return StartOrQueue(request.Port, request.Irp, queue, slot, start);
}

ULONG FirstUlong(const ControlRequest& request) { return *static_cast<const ULONG*>(request.Buffer); }

}  // namespace

NTSTATUS IoctlSetWaitMask(ControlRequest& request) {
    if (FirstUlong(request) & ~kKnownEvents) return STATUS_INVALID_PARAMETER;
    PortExtension* port = request.Port;
    return HandOn(request, &port->MaskQueue, &port->CurrentMaskRequest, StartMaskRequest);
}

NTSTATUS IoctlWaitOnMask(ControlRequest& request) {
    PortExtension* port = request.Port;
    return HandOn(request, &port->MaskQueue, &port->CurrentMaskRequest, StartMaskRequest);
}

NTSTATUS IoctlPurge(ControlRequest& request) {
    const ULONG mask = FirstUlong(request);
    if (mask == 0 || (mask & ~kPurgeFlags)) return STATUS_INVALID_PARAMETER;
    PortExtension* port = request.Port;
    return HandOn(request, &port->PurgeQueue, &port->CurrentPurge, StartPurge);
}

NTSTATUS IoctlSetQueueSize(ControlRequest& request) {
    PortExtension* port = request.Port;
    const ULONG size = static_cast<const SERIAL_QUEUE_SIZE*>(request.Buffer)->InSize;
    if (size <= port->ReceiveBufferSize) return STATUS_SUCCESS;
    // Charged to the caller's quota; a failure is answered, never raised.
    PVOID ring = ExAllocatePoolWithQuotaTag(
        static_cast<POOL_TYPE>(NonPagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), size, VODREK_POOL_TAG);
    if (!ring) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetCurrentIrpStackLocation(request.Irp)->Parameters.DeviceIoControl.Type3InputBuffer = ring;
    return HandOn(request, &port->ReadQueue, &port->CurrentRead, StartRead);
}

NTSTATUS IoctlXoffCounter(ControlRequest& request) {
    if (static_cast<const SERIAL_XOFF_COUNTER*>(request.Buffer)->Counter <= 0) return STATUS_INVALID_PARAMETER;
    PortExtension* port = request.Port;
    return HandOn(request, &port->WriteQueue, &port->CurrentWrite, StartWrite);
}

NTSTATUS IoctlImmediateChar(ControlRequest& request) {
    PortExtension* port = request.Port;
    PIRP irp = request.Irp;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // One at a time; the second is refused while the first is current.
    if (port->CurrentImmediate) {
        IoReleaseCancelSpinLock(irql);
        return STATUS_INVALID_PARAMETER;
    }
    if (irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        return STATUS_CANCELLED;
    }
    port->CurrentImmediate = irp;
    port->TotalCharsQueued += 1;
    IoReleaseCancelSpinLock(irql);
    request.HandedOn = true;
    StartImmediateChar(port, irp);
    return STATUS_PENDING;
}
