// USB request submission: control URBs waited for or sent on their own, and the
// bulk and interrupt transfers with their completion frame.
#include "usb/transfer_context.h"

// The URB records the driver builds, as the platform publishes them.
constexpr bool kWide = sizeof(void*) == 8;
static_assert(sizeof(_URB_HEADER) == (kWide ? 0x18 : 0x10), "URB header");
static_assert(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == (kWide ? 0x88 : 0x50),
              "vendor or class request");
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == (kWide ? 0x88 : 0x50),
              "descriptor request");
static_assert(sizeof(_URB_CONTROL_FEATURE_REQUEST) == (kWide ? 0x88 : 0x50), "feature request");
static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == (kWide ? 0x80 : 0x48),
              "bulk or interrupt transfer");
static_assert(FIELD_OFFSET(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength) ==
                  (kWide ? 0x24 : 0x18),
              "vendor request length");
static_assert(FIELD_OFFSET(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == (kWide ? 0x81 : 0x49),
              "vendor request setup fields");
static_assert(FIELD_OFFSET(_URB_CONTROL_DESCRIPTOR_REQUEST, Index) == (kWide ? 0x82 : 0x4A),
              "descriptor index");
static_assert(FIELD_OFFSET(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) ==
                  (kWide ? 0x24 : 0x18),
              "bulk transfer length");
static_assert(sizeof(USBD_PIPE_INFORMATION) == (kWide ? 24 : 20), "pipe information");
static_assert(FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) == (kWide ? 24 : 16),
              "interface information");
static_assert(FIELD_OFFSET(TransferContext, Urb) == 0, "the context is addressed as its URB");

namespace {

// A synchronous request that has not completed by then is cancelled.
constexpr LONGLONG kSyncUrbLimit = 3 * 10'000'000LL;

}  // namespace

// An asynchronous control request: on AsyncControlsInFlight while Listed (both
// changed under TransferLock). Its completion claims it by taking it off; a
// canceller that took it off first settles with the completion through Handoff
// who frees it, as for transfers.
struct AsyncControlContext {
    PURB Urb;
    PDEVICE_OBJECT DeviceObject;
    PIRP Irp;
    LIST_ENTRY Link;
    BOOLEAN Listed;
    volatile LONG Handoff;
};

namespace {

void FreeAsyncControl(AsyncControlContext* context) {
    IoFreeIrp(context->Irp);
    FreeUrb(context->Urb);
    ExFreePoolWithTag(context, VODREK_POOL_TAG);
}

// Where each kind's pipe sits: interface and position among its pipes.
struct PipePosition {
    UCHAR Interface;
    UCHAR Pipe;
};
constexpr PipePosition kOneInterfacePipes[kTransferKindCount] = {{0, 0}, {0, 1}, {0, 2}};
constexpr PipePosition kTwoInterfacePipes[kTransferKindCount] = {{0, 0}, {1, 0}, {1, 1}};

constexpr ULONG kTransferFlags[kTransferKindCount] = {
    USBD_TRANSFER_DIRECTION_IN,
    USBD_TRANSFER_DIRECTION_OUT,
    USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
};

bool IsReader(TransferKind kind) {
    return kind == StatusIn || kind == BulkIn;
}

// Passes `urb` down in an internal device control of our own making.
void PrepareSubmitUrb(PIRP irp, PURB urb) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
}

NTSTATUS NTAPI SyncUrbComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    // The waiter still needs the request: it reads the status, then frees it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void TransferFinished(PortExtension* port) {
    // The last touch of the port by a completion: removal may be waiting.
    if (InterlockedDecrement(&port->TransfersOutstanding) == 0) {
        KeSetEvent(&port->TransfersDrained, IO_NO_INCREMENT, FALSE);
    }
}

enum class SendResult { Sent, NotSent };

// Builds one transfer: its request, URB and a buffer of its own (with the bytes
// to send copied in). Non-paged pool only, so a caller may hold spin locks.
TransferContext* BuildTransfer(PortExtension* port, TransferKind kind, const void* data, ULONG length,
                               BulkOutPurpose purpose, PIRP owner, ULONG serial, NTSTATUS* status) {
    USBD_PIPE_HANDLE pipe = PipeHandleFor(port, kind);
    if (!pipe) {
        *status = STATUS_INVALID_DEVICE_STATE;
        return nullptr;
    }
    auto* transfer = static_cast<TransferContext*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(TransferContext), VODREK_POOL_TAG));
    if (!transfer) {
        *status = STATUS_NO_MEMORY;
        return nullptr;
    }
    RtlZeroMemory(transfer, sizeof(TransferContext));
    transfer->DataBuffer = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, length ? length : 1, VODREK_POOL_TAG));
    if (!transfer->DataBuffer) {
        ExFreePoolWithTag(transfer, VODREK_POOL_TAG);
        *status = STATUS_NO_MEMORY;
        return nullptr;
    }
    if (kind == BulkOut && length && data)
        RtlCopyMemory(transfer->DataBuffer, data, length);

    _URB_BULK_OR_INTERRUPT_TRANSFER& urb = transfer->Urb;
    urb.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.PipeHandle = pipe;
    urb.TransferFlags = kTransferFlags[kind];
    urb.TransferBufferLength = length;
    urb.TransferBuffer = transfer->DataBuffer;
    urb.TransferBufferMDL = nullptr;
    urb.UrbLink = nullptr;

    PIRP irp = IoAllocateIrp(port->LowerDevice->StackSize, FALSE);
    if (!irp) {
        ExFreePoolWithTag(transfer->DataBuffer, VODREK_POOL_TAG);
        ExFreePoolWithTag(transfer, VODREK_POOL_TAG);
        *status = STATUS_NO_MEMORY;
        return nullptr;
    }
    PrepareSubmitUrb(irp, reinterpret_cast<PURB>(&transfer->Urb));
    transfer->Irp = irp;
    transfer->DeviceObject = port->DeviceObject;
    transfer->Kind = kind;
    transfer->RequestedLength = length;
    transfer->Purpose = purpose;
    transfer->Owner = owner;
    transfer->Serial = serial;
    transfer->Handoff = 0;
    *status = STATUS_SUCCESS;
    return transfer;
}

// A bulk-out transfer onto the port's books, TransferLock held.
void ListBulkOut(PortExtension* port, TransferContext* transfer) {
    transfer->Listed = TRUE;
    InsertTailList(&port->BulkOutInFlight, &transfer->Link);
}

// Passes down a transfer already on the port's books. No spin lock may be held:
// the bus may complete it before IoCallDriver returns.
NTSTATUS PassDown(PortExtension* port, TransferContext* transfer) {
    InterlockedIncrement(&port->TransfersOutstanding);
    IoSetCompletionRoutine(transfer->Irp, TransferComplete, transfer, TRUE, TRUE, TRUE);
    return IoCallDriver(port->LowerDevice, transfer->Irp);
}

// Puts a built transfer on the port's books and passes it down. No spin lock
// may be held.
NTSTATUS SendBuilt(PortExtension* port, TransferContext* transfer) {
    // On the books before it goes down, so that a canceller can always find it.
    if (transfer->Kind == BulkOut) {
        KIRQL irql;
        KeAcquireSpinLock(&port->TransferLock, &irql);
        ListBulkOut(port, transfer);
        KeReleaseSpinLock(&port->TransferLock, irql);
    } else {
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&port->TransferInFlight[transfer->Kind]),
                                   transfer);
    }
    return PassDown(port, transfer);
}

// Builds and sends one transfer. NotSent (with the reason in *status) only when
// nothing went down; once the request is passed on, its completion runs whatever
// the lower driver answers.
SendResult SendTransfer(PortExtension* port, TransferKind kind, const void* data, ULONG length,
                        BulkOutPurpose purpose, PIRP owner, NTSTATUS* status) {
    TransferContext* transfer = BuildTransfer(port, kind, data, length, purpose, owner, 0, status);
    if (!transfer) return SendResult::NotSent;
    *status = SendBuilt(port, transfer);
    return SendResult::Sent;
}

// Sends the next request of a reader whose state the caller has made Running.
NTSTATUS SendReader(PortExtension* port, TransferKind kind, ULONG length) {
    NTSTATUS status;
    if (SendTransfer(port, kind, nullptr, length, BulkOutPurpose::WriteChunk, nullptr, &status) ==
        SendResult::NotSent) {
        // Nothing went down: no completion will settle the state.
        InterlockedExchange(&port->ReaderState[kind], ReaderIdle);
        return status;
    }
    // A canceller that stopped the reader after we decided to send may have looked
    // for the request before it was on the books: cancel it ourselves then.
    if (port->ReaderState[kind] == ReaderStopping)
        CancelReaderInFlight(port, kind);
    // Pending or done, the reader is under way; only a request the lower driver
    // refused at once has ended it already.
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

// The completion's side of a reader's state: send the next request, or end the
// reader, as the processing and any canceller or restarter decided.
void ContinueReader(PortExtension* port, TransferKind kind, ULONG length, bool resubmit,
                    bool removing) {
    volatile LONG* state = &port->ReaderState[kind];
    for (;;) {
        const LONG seen = *state;
        if (seen == ReaderRunning) {
            if (resubmit && !removing) {
                SendReader(port, kind, length);
                return;
            }
            if (InterlockedCompareExchange(state, ReaderIdle, ReaderRunning) == ReaderRunning)
                return;
        } else if (seen == ReaderStopping) {
            if (InterlockedCompareExchange(state, ReaderIdle, ReaderStopping) == ReaderStopping)
                return;
        } else if (seen == ReaderRestart) {
            if (removing) {
                if (InterlockedCompareExchange(state, ReaderIdle, ReaderRestart) == ReaderRestart)
                    return;
            } else if (InterlockedCompareExchange(state, ReaderRunning, ReaderRestart) ==
                       ReaderRestart) {
                SendReader(port, kind, kind == StatusIn ? kStatusPacketLength : kBulkInLength);
                return;
            }
        } else {
            return;
        }
    }
}

// The completion takes its own request off the port's books; false when a
// canceller got there first.
bool ClaimByCompletion(PortExtension* port, TransferContext* transfer) {
    if (transfer->Kind == BulkOut)
        return TakeOffList(port, transfer);
    // Compared with itself: a completion never takes another request's place.
    return InterlockedCompareExchangePointer(
               reinterpret_cast<PVOID volatile*>(&port->TransferInFlight[transfer->Kind]), nullptr,
               transfer) == transfer;
}

}  // namespace

void InitializeTransfers(PortExtension* port) {
    for (ULONG kind = 0; kind < kTransferKindCount; ++kind) {
        port->TransferInFlight[kind] = nullptr;
        port->ReaderState[kind] = ReaderIdle;
    }
    InitializeListHead(&port->BulkOutInFlight);
    InitializeListHead(&port->BulkOutToSend);
    port->SendingBulkOut = FALSE;
    InitializeListHead(&port->AsyncControlsInFlight);
    KeInitializeSpinLock(&port->TransferLock);
    port->TransfersOutstanding = 1;
    KeInitializeEvent(&port->TransfersDrained, NotificationEvent, FALSE);
    // Until the first baud rate is set, the write path still needs a chunk size.
    port->MaxWriteChunk = 0x100;
}

PURB AllocateUrb(USHORT function, USHORT length, ULONG extraBytes) {
    auto* urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, length + extraBytes, VODREK_POOL_TAG));
    if (!urb)
        return nullptr;
    RtlZeroMemory(urb, length + extraBytes);
    urb->UrbHeader.Length = length;
    urb->UrbHeader.Function = function;
    return urb;
}

void FreeUrb(PURB urb) {
    ExFreePoolWithTag(urb, VODREK_POOL_TAG);
}

PURB AllocateControlRequest(USHORT function, UCHAR request, USHORT value, USHORT index, ULONG flags,
                            PVOID buffer, ULONG length, ULONG extraBytes) {
    PURB urb = AllocateUrb(function, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), extraBytes);
    if (!urb)
        return nullptr;
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urb->UrbControlVendorClassRequest;
    r.TransferFlags = flags;
    r.TransferBufferLength = length;
    r.TransferBuffer = buffer;
    r.TransferBufferMDL = nullptr;
    r.UrbLink = nullptr;
    r.RequestTypeReservedBits = 0;
    r.Request = request;
    r.Value = value;
    r.Index = index;
    return urb;
}

// The kind checks here and in SubmitTransfer/PrepareBulkOut/StartContinuousTransfer
// guard against a caller inside the driver passing the wrong kind or a missing
// buffer; every caller passes a constant kind and its own buffer, so no request
// from outside reaches them.
USBD_PIPE_HANDLE PipeHandleFor(const PortExtension* port, TransferKind kind) {
    if (kind >= kTransferKindCount)
        return nullptr;
    const PipePosition where =
        port->SingleInterface ? kOneInterfacePipes[kind] : kTwoInterfacePipes[kind];
    const USBD_INTERFACE_INFORMATION* info =
        where.Interface == 0 ? port->InterfaceInfo0 : port->InterfaceInfo1;
    if (!info || where.Pipe >= info->NumberOfPipes)
        return nullptr;
    return info->Pipes[where.Pipe].PipeHandle;
}

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT device, PURB urb) {
    // Above APC_LEVEL no thread may wait: refusing beats a bug check.
    if (!CanWaitForChip())
        return STATUS_INVALID_DEVICE_STATE;
    PDEVICE_OBJECT lower = PortOf(device)->LowerDevice;
    // A request of our own, freed by us: after a time-out it is still ours to
    // cancel, however late the lower driver completes it.
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PrepareSubmitUrb(irp, urb);
    IoSetCompletionRoutine(irp, SyncUrbComplete, &done, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER limit;
        limit.QuadPart = -kSyncUrbLimit;
        // The time-out is ours to remember: until the request comes back, its
        // status block belongs to the lower driver.
        bool timedOut = false;
        if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &limit) == STATUS_TIMEOUT) {
            timedOut = true;
            IoCancelIrp(irp);
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
        status = timedOut ? STATUS_IO_TIMEOUT : irp->IoStatus.Status;
    }
    IoFreeIrp(irp);
    return status;
}

NTSTATUS SubmitUrbAsync(PDEVICE_OBJECT device, PURB urb) {
    PortExtension* port = PortOf(device);
    PDEVICE_OBJECT lower = port->LowerDevice;
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    auto* context = static_cast<AsyncControlContext*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(AsyncControlContext), VODREK_POOL_TAG));
    if (!irp || !context) {
        // The URB was handed over: it goes with the attempt.
        if (irp)
            IoFreeIrp(irp);
        if (context)
            ExFreePoolWithTag(context, VODREK_POOL_TAG);
        FreeUrb(urb);
        return STATUS_NO_MEMORY;
    }
    PrepareSubmitUrb(irp, urb);
    context->Urb = urb;
    context->DeviceObject = device;
    context->Irp = irp;
    context->Handoff = 0;
    InterlockedIncrement(&port->TransfersOutstanding);
    IoSetCompletionRoutine(irp, AsyncControlComplete, context, TRUE, TRUE, TRUE);
    KIRQL irql;
    KeAcquireSpinLock(&port->TransferLock, &irql);
    InsertTailList(&port->AsyncControlsInFlight, &context->Link);
    context->Listed = TRUE;
    KeReleaseSpinLock(&port->TransferLock, irql);
    return IoCallDriver(lower, irp);
}

NTSTATUS NTAPI AsyncControlComplete(PDEVICE_OBJECT, PIRP, PVOID contextPointer) {
    auto* context = static_cast<AsyncControlContext*>(contextPointer);
    PortExtension* port = PortOf(context->DeviceObject);
    if (TakeOffList(port, context) || InterlockedExchange(&context->Handoff, 1) != 0)
        FreeAsyncControl(context);
    TransferFinished(port);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void CancelAsyncControls(PortExtension* port) {
    CancelListed(port, &port->AsyncControlsInFlight, FreeAsyncControl);
}

NTSTATUS SubmitTransfer(PDEVICE_OBJECT device, TransferKind kind, const void* data, ULONG length,
                        BulkOutPurpose purpose, PIRP owner) {
    PortExtension* port = PortOf(device);
    if (IsReader(kind)) {
        // A reader is started only where none runs; its completion sends the next.
        return StartContinuousTransfer(port, kind);
    }
    if (kind != BulkOut || (length && !data))
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status;
    SendTransfer(port, kind, data, length, purpose, owner, &status);
    return status;
}

TransferContext* PrepareBulkOut(PortExtension* port, const void* data, ULONG length, BulkOutPurpose purpose,
                               PIRP owner, ULONG serial, NTSTATUS* status) {
    if (length && !data) {
        *status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    return BuildTransfer(port, BulkOut, data, length, purpose, owner, serial, status);
}

NTSTATUS SendPreparedTransfer(PortExtension* port, TransferContext* transfer) {
    return SendBuilt(port, transfer);
}

void QueuePreparedTransfer(PortExtension* port, TransferContext* transfer) {
    // Link is free until the sender lists the transfer on BulkOutInFlight.
    KIRQL irql;
    KeAcquireSpinLock(&port->TransferLock, &irql);
    InsertTailList(&port->BulkOutToSend, &transfer->Link);
    KeReleaseSpinLock(&port->TransferLock, irql);
}

void SendQueuedTransfers(PortExtension* port) {
    KIRQL irql;
    KeAcquireSpinLock(&port->TransferLock, &irql);
    if (port->SendingBulkOut) {
        KeReleaseSpinLock(&port->TransferLock, irql);
        return;
    }
    port->SendingBulkOut = TRUE;
    // Each goes from the line onto the books under the one acquisition. A
    // completion inside IoCallDriver may queue the next chunk: it finds this
    // loop sending and leaves the chunk to it.
    while (!IsListEmpty(&port->BulkOutToSend)) {
        auto* transfer = CONTAINING_RECORD(RemoveHeadList(&port->BulkOutToSend), TransferContext, Link);
        ListBulkOut(port, transfer);
        KeReleaseSpinLock(&port->TransferLock, irql);
        PassDown(port, transfer);
        KeAcquireSpinLock(&port->TransferLock, &irql);
    }
    port->SendingBulkOut = FALSE;
    KeReleaseSpinLock(&port->TransferLock, irql);
}

NTSTATUS StartContinuousTransfer(PortExtension* port, TransferKind kind) {
    if (!IsReader(kind))
        return STATUS_INVALID_PARAMETER;
    volatile LONG* state = &port->ReaderState[kind];
    for (;;) {
        const LONG seen = *state;
        if (seen == ReaderIdle) {
            if (InterlockedCompareExchange(state, ReaderRunning, ReaderIdle) == ReaderIdle) {
                return SendReader(port, kind,
                                  kind == StatusIn ? kStatusPacketLength : kBulkInLength);
            }
        } else if (seen == ReaderStopping || seen == ReaderRunning) {
            // The outstanding request has not completed yet: its completion sends
            // the next one whatever it decides itself (a receive hold released
            // meanwhile, a cancelled reader started again), so that two never run
            // at once and none is left stopped.
            if (InterlockedCompareExchange(state, ReaderRestart, seen) == seen)
                return STATUS_SUCCESS;
        } else {
            return STATUS_SUCCESS;
        }
    }
}

void NoteHaltedPipe(PortExtension* port, USBD_PIPE_HANDLE pipe, USBD_STATUS status) {
    if (status != USBD_STATUS_STALL_PID && status != USBD_STATUS_ENDPOINT_HALTED)
        return;
    for (ULONG kind = 0; kind < kTransferKindCount; ++kind) {
        if (pipe != nullptr && PipeHandleFor(port, static_cast<TransferKind>(kind)) == pipe)
            InterlockedOr(&port->HaltedPipes, 1L << kind);
    }
}

NTSTATUS ResetHaltedPipes(PortExtension* port) {
    NTSTATUS result = STATUS_SUCCESS;
    for (ULONG kind = 0; kind < kTransferKindCount; ++kind) {
        const LONG bit = 1L << kind;
        if (!(port->HaltedPipes & bit))
            continue;
        USBD_PIPE_HANDLE pipe = PipeHandleFor(port, static_cast<TransferKind>(kind));
        PURB urb = pipe ? AllocateUrb(URB_FUNCTION_RESET_PIPE, sizeof(_URB_PIPE_REQUEST), 0) : nullptr;
        NTSTATUS status = pipe ? STATUS_INSUFFICIENT_RESOURCES : STATUS_INVALID_DEVICE_STATE;
        if (urb) {
            urb->UrbPipeRequest.PipeHandle = pipe;
            status = SubmitUrbSync(port->DeviceObject, urb);
            FreeUrb(urb);
        }
        // A reset that failed is tried again at the next open.
        if (NT_SUCCESS(status)) {
            InterlockedAnd(&port->HaltedPipes, ~bit);
        } else {
            result = status;
        }
    }
    return result;
}

NTSTATUS StartContinuousTransfers(PortExtension* port) {
    NTSTATUS status = StartContinuousTransfer(port, StatusIn);
    NTSTATUS receive = StartContinuousTransfer(port, BulkIn);
    return NT_SUCCESS(status) ? receive : status;
}

NTSTATUS NTAPI TransferComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    // The request was allocated for the lower driver alone: the device object
    // comes from the context, not from the (absent) stack location of ours.
    auto* transfer = static_cast<TransferContext*>(context);
    PortExtension* port = PortOf(transfer->DeviceObject);
    // Never more than was asked for, whatever the lower driver reports.
    const ULONG reported = transfer->Urb.TransferBufferLength;
    const ULONG moved = reported < transfer->RequestedLength ? reported : transfer->RequestedLength;
    const NTSTATUS status = irp->IoStatus.Status;
    irp->IoStatus.Information = moved;
    const TransferKind kind = transfer->Kind;
    // The immediate character has left the pipe however its transfer ended.
    if (kind == BulkOut && transfer->Purpose == BulkOutPurpose::Immediate)
        InterlockedDecrement(&port->TransmittingImmediate);

    NoteHaltedPipe(port, PipeHandleFor(port, kind), transfer->Urb.Hdr.Status);

    const bool claimed = ClaimByCompletion(port, transfer);
    const bool removing =
        (port->DeviceStateFlags & (DEVICE_STATE_REMOVING | DEVICE_STATE_SURPRISE_REMOVED)) != 0;
    bool resubmit = false;
    if (!removing) {
        const TransferOutcome outcome = {status, transfer->DataBuffer, moved, transfer->Purpose,
                                         transfer->Owner, transfer->Serial};
        if (kind == StatusIn) {
            resubmit = ProcessStatusTransfer(port, outcome);
        } else if (kind == BulkIn) {
            resubmit = ProcessReceiveTransfer(port, outcome);
        } else {
            ProcessTransmitTransfer(port, outcome);
        }
    }
    if (IsReader(kind))
        ContinueReader(port, kind, transfer->RequestedLength, resubmit, removing);

    if (claimed) {
        FreeTransfer(transfer);
    } else {
        FinishHandoff(transfer);
    }
    TransferFinished(port);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void FreeTransfer(TransferContext* transfer) {
    IoFreeIrp(transfer->Irp);
    ExFreePoolWithTag(transfer->DataBuffer, VODREK_POOL_TAG);
    ExFreePoolWithTag(transfer, VODREK_POOL_TAG);
}

void FinishHandoff(TransferContext* transfer) {
    if (InterlockedExchange(&transfer->Handoff, 1) != 0)
        FreeTransfer(transfer);
}
