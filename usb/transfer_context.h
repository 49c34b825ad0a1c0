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
