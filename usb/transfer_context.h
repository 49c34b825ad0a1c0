// The record of one bulk or interrupt transfer in flight, shared by submission
// and cancellation inside this folder.
#pragma once

#include "usb/usb.h"

// Each request carries its own hand-off: the party that claims it (its
// completion, by taking it off the port's books, or a canceller) and the other
// party settle who frees it through Handoff, so neither a later submission nor
// another request's completion can interfere.
struct TransferContext {
    // First, so that the context's address is the URB's.
    _URB_BULK_OR_INTERRUPT_TRANSFER Urb;
    PDEVICE_OBJECT DeviceObject;
    PUCHAR DataBuffer;
    PIRP Irp;
    TransferKind Kind;
    ULONG RequestedLength;
    BulkOutPurpose Purpose;
    PIRP Owner;
    // Bulk-out write chunks: which chunk of the port's count this one is.
    ULONG Serial;
    // Set to 1 by whichever of the completion and the canceller is done with the
    // request first; the second frees it. Untouched while the completion claims
    // the request itself.
    volatile LONG Handoff;
    // Bulk-out only: on BulkOutInFlight while Listed; a canceller's private chain
    // after it has taken the request off. Both changed under TransferLock.
    LIST_ENTRY Link;
    BOOLEAN Listed;
};

// Frees the request, its buffer and the context.
void FreeTransfer(TransferContext* transfer);
// For a request a canceller claimed: the first of the two parties to call this
// leaves the request to the other; the second frees it.
void FinishHandoff(TransferContext* transfer);
// Claims and cancels the outstanding request of a reader kind, if any. Up to
// DISPATCH_LEVEL, never with the cancel spin lock held.
void CancelReaderInFlight(PortExtension* port, TransferKind kind);

// Requests kept on a list of the port under TransferLock while Listed (bulk-out
// transfers, asynchronous control requests), each with its Irp and Handoff.
//
// Their completion takes its own request off the list: true when it was still
// there (the completion claims it), false when a canceller took it first.
template <typename Request>
bool TakeOffList(PortExtension* port, Request* request) {
    KIRQL irql;
    KeAcquireSpinLock(&port->TransferLock, &irql);
    const bool listed = request->Listed != FALSE;
    if (listed) {
        RemoveEntryList(&request->Link);
        request->Listed = FALSE;
    }
    KeReleaseSpinLock(&port->TransferLock, irql);
    return listed;
}

// Takes every request off `inFlight` at once, then cancels each: a completion
// that comes first finds its request gone and leaves it to the hand-off, in
// which the second of the two parties calls `free`.
template <typename Request>
void CancelListed(PortExtension* port, LIST_ENTRY* inFlight, void (*free)(Request*)) {
    LIST_ENTRY claimed;
    InitializeListHead(&claimed);
    KIRQL irql;
    KeAcquireSpinLock(&port->TransferLock, &irql);
    while (!IsListEmpty(inFlight)) {
        PLIST_ENTRY entry = RemoveHeadList(inFlight);
        CONTAINING_RECORD(entry, Request, Link)->Listed = FALSE;
        InsertTailList(&claimed, entry);
    }
    KeReleaseSpinLock(&port->TransferLock, irql);

    while (!IsListEmpty(&claimed)) {
        auto* request = CONTAINING_RECORD(RemoveHeadList(&claimed), Request, Link);
        IoCancelIrp(request->Irp);
        if (InterlockedExchange(&request->Handoff, 1) != 0)
            free(request);
    }
}
