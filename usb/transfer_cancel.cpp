// Stopping transfers: the driver never aborts a pipe itself, it cancels its own
// outstanding requests and lets their completions run.
#include "usb/transfer_context.h"

namespace {

// Stops a reader before its request is cancelled, so that the completion of
// that request (or of one its completion is about to send) ends the reader
// instead of sending the next.
void StopReader(PortExtension* port, TransferKind kind) {
    volatile LONG* state = &port->ReaderState[kind];
    for (;;) {
        const LONG seen = *state;
        if (seen != ReaderRunning && seen != ReaderRestart)
            return;
        if (InterlockedCompareExchange(state, ReaderStopping, seen) == seen)
            return;
    }
}

// Takes every outstanding bulk-out transfer off the books at once, then cancels
// each.
void CancelBulkOut(PortExtension* port) {
    CancelListed(port, &port->BulkOutInFlight, FreeTransfer);
}

}  // namespace

ULONG BulkOutBytesInFlight(PortExtension* port) {
    ULONG bytes = 0;
    KIRQL irql;
    KeAcquireSpinLock(&port->TransferLock, &irql);
    for (PLIST_ENTRY e = port->BulkOutInFlight.Flink; e != &port->BulkOutInFlight; e = e->Flink)
        bytes += CONTAINING_RECORD(e, TransferContext, Link)->RequestedLength;
    KeReleaseSpinLock(&port->TransferLock, irql);
    return bytes;
}

void CancelReaderInFlight(PortExtension* port, TransferKind kind) {
    auto* transfer = static_cast<TransferContext*>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&port->TransferInFlight[kind]), nullptr));
    if (!transfer)
        return;
    IoCancelIrp(transfer->Irp);
    FinishHandoff(transfer);
}

void CancelTransfer(PortExtension* port, TransferKind kind) {
    // The write cancel routine calls this holding the cancel spin lock, which
    // IoCancelIrp takes too.
    if (KeGetCurrentIrql() > PASSIVE_LEVEL)
        return;
    if (kind == BulkOut) {
        CancelBulkOut(port);
    } else if (kind == StatusIn || kind == BulkIn) {
        StopReader(port, kind);
        CancelReaderInFlight(port, kind);
    }
}

void CancelAllTransfers(PortExtension* port) {
    CancelTransfer(port, StatusIn);
    CancelTransfer(port, BulkOut);
    CancelTransfer(port, BulkIn);
    if (KeGetCurrentIrql() == PASSIVE_LEVEL)
        CancelAsyncControls(port);
}

void StopTransfersAndWait(PortExtension* port) {
    CancelAllTransfers(port);
    // The port's own count goes for the wait and comes back after it; while it
    // is held the count cannot reach zero, so a signal left from the wait is
    // stale once it is back and is cleared for removal's wait.
    if (InterlockedDecrement(&port->TransfersOutstanding) > 0) {
        KeWaitForSingleObject(&port->TransfersDrained, Executive, KernelMode, FALSE, nullptr);
    }
    InterlockedIncrement(&port->TransfersOutstanding);
    KeClearEvent(&port->TransfersDrained);
}

void WaitForTransfersToDrain(PortExtension* port) {
    // Drops the port's own count; the completion that ends the last transfer
    // signals the event.
    if (InterlockedDecrement(&port->TransfersOutstanding) > 0) {
        KeWaitForSingleObject(&port->TransfersDrained, Executive, KernelMode, FALSE, nullptr);
    }
}
