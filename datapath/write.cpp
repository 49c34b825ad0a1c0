// The write path: IRP_MJ_WRITE and XOFF_COUNTER through the write queue, and the
// immediate character beside it.
//
// A write goes to the bulk-out pipe one chunk at a time. Which chunk goes next
// is decided under the cancel spin lock, where the chunk's bytes are copied
// into the transfer's own buffer; the transfer is sent once the lock is
// released. Each chunk carries a serial: only the completion of the chunk the
// write is waiting for advances it, so the XON/XOFF characters, the immediate
// character and a chunk of an ended write that completes late never do.
//
// Whichever of the last chunk (through the write-complete DPC), the time-out
// and the cancel routine clears the write's last reference bit completes it.
#include "datapath/datapath.h"

#include "usb/usb.h"

namespace {

constexpr ULONG kXoffCounterCharOffset = 8;  // SERIAL_XOFF_COUNTER.XoffChar

bool IsWrite(PIRP irp) {
    return IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE;
}

bool IsFlush(PIRP irp) {
    return IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_FLUSH_BUFFERS;
}

// What the request sends: a write its bytes, an XOFF_COUNTER its XOFF character.
ULONG SendLength(PIRP irp) {
    return IsWrite(irp) ? IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length : 1;
}

PUCHAR SendBytes(PIRP irp) {
    auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    return IsWrite(irp) ? buffer : buffer + kXoffCounterCharOffset;
}

// The status the write ends with: one whose every byte the chip confirmed
// succeeded, whoever ended it; otherwise the first party's (cancel or
// time-out) stays.
NTSTATUS WriteEnd(const PortExtension* port) {
    if (port->WriteConfirmed) return STATUS_SUCCESS;
    return port->WriteEndStatus ? port->WriteEndStatus : STATUS_SUCCESS;
}

constexpr CompletionPlan kWritePlan = {&PortExtension::CurrentWrite,
                                       &PortExtension::WriteQueue,
                                       nullptr,
                                       &PortExtension::WriteTotalTimer,
                                       StartWrite,
                                       TakeNextWrite,
                                       WriteEnd};

constexpr CompletionPlan kXoffCounterPlan = {&PortExtension::CurrentXoffCounter,
                                             nullptr,
                                             nullptr,
                                             &PortExtension::XoffCounterTimer,
                                             nullptr,
                                             nullptr,
                                             nullptr};

void FinishImmediate(PortExtension* port, PIRP* slot, PLIST_ENTRY queue, PIRP* next, bool completeOld);

constexpr CompletionPlan kImmediatePlan = {&PortExtension::CurrentImmediate,
                                           nullptr,
                                           nullptr,
                                           &PortExtension::ImmediateTimer,
                                           nullptr,
                                           FinishImmediate,
                                           nullptr};

void MarkWriteEnd(PortExtension* port, NTSTATUS status) {
    if (!port->WriteEndStatus) port->WriteEndStatus = status;
}

// Cancel spin lock held, with the current write's RefInDevice set. Puts the
// next chunk in line to be sent (Send) and answers it, or null when none goes
// now: the transmitter is held (or no memory is left for the transfer) and the
// write waits, with WriteHeld set, for ResumeHeldWrite.
TransferContext* ClaimNextChunk(PortExtension* port) {
    // The output handshakes and XOFF stop the next chunk; a break does not (the
    // chip keeps what it is given until the break ends).
    const ULONG holds = TX_HOLD_CTS | TX_HOLD_DSR | TX_HOLD_DCD | TX_HOLD_XOFF;
    const bool held = (port->TxHoldReasons & holds) || port->XoffReceived;
    if (held || port->WriteRemaining == 0) {
        port->WriteHeld = held ? 1 : 0;
        return nullptr;
    }
    // The ring's size bounds a chunk; without a ring, the chip's own bound does.
    ULONG bound = port->MaxWriteChunk;
    if (port->ReceiveBufferSize && port->ReceiveBufferSize < bound) bound = port->ReceiveBufferSize;
    const ULONG chunk = port->WriteRemaining < bound ? port->WriteRemaining : bound;
    ULONG serial = port->ChunkSerial + 1;
    if (serial == 0) serial = 1;
    NTSTATUS status;
    TransferContext* transfer = PrepareBulkOut(port, port->WriteCursor, chunk, BulkOutPurpose::WriteChunk,
                                               port->CurrentWrite, serial, &status);
    if (!transfer) {
        // Tried again with the next status packet or hold release.
        port->WriteHeld = 1;
        return nullptr;
    }
    port->WriteHeld = 0;
    port->ChunkSerial = serial;
    port->ChunkInFlight = chunk;
    // In line now, under the cancel spin lock: a cancel that ends this write
    // right after the lock goes, and the next write's first chunk, come after it
    // on the pipe.
    QueuePreparedTransfer(port, transfer);
    return transfer;
}

// With no spin lock held: what ClaimNextChunk put in line goes down, in order.
void Send(PortExtension* port, TransferContext* transfer) {
    if (transfer) SendQueuedTransfers(port);
}

// Takes the current write back from the pipe (cancel spin lock held): the chunk
// on the pipe counts as sent, the rest does not.
void ReclaimWrite(PortExtension* port) {
    port->WriteHeld = 0;
    if (port->WriteTimedOut) {
        // The time-out handed its bit to a chunk completion that will no longer
        // advance this write: it goes with the write.
        port->WriteTimedOut = 0;
        RequestRefs(port->CurrentWrite) &= ~RefTotalTimer;
    }
    if (port->WriteRemaining == 0) return;  // the write-complete DPC has it
    PIRP write = port->CurrentWrite;
    ULONG chunk = port->ChunkInFlight;
    if (chunk > port->WriteRemaining) chunk = port->WriteRemaining;
    port->WriteRemaining -= chunk;
    port->ChunkInFlight = 0;
    write->IoStatus.Information = IsWrite(write) ? SendLength(write) - port->WriteRemaining : 0;
    RequestRefs(write) &= ~RefInDevice;
    port->WriteRemaining = 0;
}

// The counting XOFF_COUNTER's count, taken back: if it was still running, its
// data side is ours to end; one that reached 0 belongs to its done DPC.
void ReclaimXoffCounter(PortExtension* port) {
    if (InterlockedExchange(&port->XoffCountRemaining, 0) > 0)
        RequestRefs(port->CurrentXoffCounter) &= ~RefInDevice;
}

// A due time for the write's total time-out; false when none applies.
bool WriteTimeout(PortExtension* port, ULONG chars, LARGE_INTEGER* due) {
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    const ULONGLONG multiplier = port->Timeouts.WriteTotalTimeoutMultiplier;
    const ULONGLONG constant = port->Timeouts.WriteTotalTimeoutConstant;
    KeReleaseSpinLock(&port->ControlLock, irql);
    if (multiplier == 0 && constant == 0) return false;
    ULONGLONG milliseconds = chars * multiplier + constant;
    // 20 ms or less leaves no room for a USB request cycle: 100 ms instead.
    if (milliseconds <= 20) milliseconds = 100;
    *due = DueInMilliseconds(milliseconds);
    return true;
}

// Completes a request of the XOFF_COUNTER slots with the status it holds.
void CompleteXoffCounter(PortExtension* port, PIRP irp) {
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    ReleasePendingHold(port);
}

// Takes the XOFF_COUNTER waiting for the counting slot off it (cancel spin lock
// held); null when none waits or its cancel routine has it.
PIRP TakeWaitingXoffCounter(PortExtension* port) {
    PIRP waiting = port->WaitingXoffCounter;
    if (!waiting || !IoSetCancelRoutine(waiting, nullptr)) return nullptr;
    port->WaitingXoffCounter = nullptr;
    return waiting;
}

// A later write or XOFF_COUNTER ends the XOFF_COUNTER that is counting, and
// the one waiting to count.
void RetireCountingXoffCounter(PortExtension* port) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP waiting = TakeWaitingXoffCounter(port);
    if (waiting) {
        IoReleaseCancelSpinLock(irql);
        waiting->IoStatus.Status = STATUS_SERIAL_MORE_WRITES;
        CompleteXoffCounter(port, waiting);
        IoAcquireCancelSpinLock(&irql);
    }
    PIRP counting = port->CurrentXoffCounter;
    if (!counting || RequestRefs(counting) == 0) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    RequestRefs(counting) |= RefXoffCounter;
    counting->IoStatus.Information = 0;
    TryCompleteCurrent(port, irql, ReclaimXoffCounter, STATUS_SERIAL_MORE_WRITES, kXoffCounterPlan, RefXoffCounter);
}

enum class WriteStart { Finished, Sending };

// The request at the head of the write queue: found cancelled (finished, its
// status stored) or made the write being sent.
WriteStart BeginWrite(PortExtension* port, PIRP irp, bool first) {
    RetireCountingXoffCounter(port);
    LARGE_INTEGER due;
    const bool timed = WriteTimeout(port, SendLength(irp), &due);
    // Transmit toggle: RTS goes up before the first character.
    if ((port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) SetRts(port);

    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    RequestRefs(irp) = 0;
    if (irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        return WriteStart::Finished;
    }
    if (first) IoMarkIrpPending(irp);
    irp->IoStatus.Information = 0;
    port->WriteEndStatus = 0;
    port->WriteConfirmed = 0;
    port->WriteTimedOut = 0;
    port->ChunkInFlight = 0;
    port->WriteRemaining = SendLength(irp);
    port->WriteCursor = SendBytes(irp);
    IoSetCancelRoutine(irp, WriteCancelRoutine);
    RequestRefs(irp) = RefCancel | RefInDevice;
    if (timed) {
        RequestRefs(irp) |= RefTotalTimer;
        SetDeferredTimer(port, &port->WriteTotalTimer, due, &port->Dpc.WriteTimeout);
    }
    TransferContext* chunk = ClaimNextChunk(port);
    IoReleaseCancelSpinLock(irql);
    Send(port, chunk);
    return WriteStart::Sending;
}

// The XOFF_COUNTER whose character was sent starts counting (cancel spin lock
// held); answers false when it ends here instead.
bool StartCounting(PortExtension* port, PIRP irp) {
    if (irp->Cancel) {
        irp->IoStatus.Status = STATUS_CANCELLED;
        return false;
    }
    if (port->CurrentXoffCounter) {
        // The one before has reached its count and its done DPC is still to
        // end it: this one waits for the slot, cancellable, and the DPC starts it.
        port->WaitingXoffCounter = irp;
        IoSetCancelRoutine(irp, WaitingXoffCounterCancelRoutine);
        return true;
    }
    const auto* counter = static_cast<const SERIAL_XOFF_COUNTER*>(irp->AssociatedIrp.SystemBuffer);
    port->CurrentXoffCounter = irp;
    RequestRefs(irp) = RefCancel | RefInDevice;
    IoSetCancelRoutine(irp, XoffCounterCancelRoutine);
    if (counter->Timeout) {
        RequestRefs(irp) |= RefTotalTimer;
        SetDeferredTimer(port, &port->XoffCounterTimer, DueInMilliseconds(counter->Timeout),
                         &port->Dpc.XoffCounterTimeout);
    }
    // Published last: the receive path counts only once the request is in place.
    InterlockedExchange(&port->XoffCountRemaining, counter->Counter);
    return true;
}

}  // namespace

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortOf(device);
    return DispatchToQueue(port, irp, IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length, &port->WriteQueue,
                           &port->CurrentWrite, StartWrite);
}

NTSTATUS StartWrite(PortExtension* port) {
    NTSTATUS firstStatus = STATUS_SUCCESS;
    bool first = true;
    for (PIRP irp = port->CurrentWrite; irp;) {
        if (BeginWrite(port, irp, first) == WriteStart::Sending) return first ? STATUS_PENDING : firstStatus;
        if (first) firstStatus = irp->IoStatus.Status;
        first = false;
        PIRP next = nullptr;
        TakeNextWrite(port, &port->CurrentWrite, &port->WriteQueue, &next, true);
        irp = next;
    }
    return firstStatus;
}

void TakeNextWrite(PortExtension* port, PIRP* slot, PLIST_ENTRY queue, PIRP* next, bool completeOld) {
    for (;;) {
        PIRP old = *slot;
        bool counting = false;
        if (old) {
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            if (IsWrite(old)) {
                port->TotalCharsQueued -= SendLength(old);
            } else if (!IsFlush(old)) {
                port->TotalCharsQueued -= 1;
                // An XOFF_COUNTER answers no bytes: its caller gave no output buffer.
                old->IoStatus.Information = 0;
                // An XOFF_COUNTER whose character went out starts counting and
                // leaves the queue to the writes behind it.
                if (old->IoStatus.Status == STATUS_SUCCESS) counting = StartCounting(port, old);
            }
            IoReleaseCancelSpinLock(irql);
        }
        TakeNextRequest(port, slot, queue, next, completeOld && !counting);
        if (!*next) {
            WriteSideIdle(port);
            return;
        }
        // A flush that reaches the head has seen every write before it finish.
        if (!IsFlush(*next)) return;
        (*next)->IoStatus.Status = STATUS_SUCCESS;
        (*next)->IoStatus.Information = 0;
        completeOld = true;
    }
}

void ContinueWrite(PortExtension* port, NTSTATUS status, ULONG moved, ULONG serial) {
    // A closed port advances nothing: close and cleanup end its requests.
    if (port->OpenCount == 0) return;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP write = port->CurrentWrite;
    if (!write || port->ChunkInFlight == 0 || serial != port->ChunkSerial) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    const ULONG chunk = port->ChunkInFlight;
    port->ChunkInFlight = 0;
    if (NT_SUCCESS(status)) {
        const ULONG sent = moved < chunk ? moved : chunk;
        port->WriteCursor += sent;
        port->WriteRemaining -= sent < port->WriteRemaining ? sent : port->WriteRemaining;
    }
    if (port->WriteTimedOut) {
        // The time-out waited for this chunk; it ends the write now.
        port->WriteTimedOut = 0;
        ULONG_PTR drop = RefTotalTimer;
        if (port->WriteRemaining == 0) {
            write->IoStatus.Information = SendLength(write);
            port->WriteConfirmed = 1;
            drop |= RefInDevice;
        }
        TryCompleteCurrent(port, irql, ReclaimWrite, STATUS_TIMEOUT, kWritePlan, drop);
        return;
    }
    // A failed chunk advances nothing: the write ends by its time-out or a cancel.
    if (!NT_SUCCESS(status) || port->WriteRemaining != 0) {
        TransferContext* next = NT_SUCCESS(status) ? ClaimNextChunk(port) : nullptr;
        IoReleaseCancelSpinLock(irql);
        Send(port, next);
        return;
    }
    write->IoStatus.Information = SendLength(write);
    port->WriteConfirmed = 1;
    QueueDeferred(port, &port->Dpc.WriteComplete);
    IoReleaseCancelSpinLock(irql);
}

void ResumeHeldWrite(PortExtension* port) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    TransferContext* chunk = nullptr;
    if (port->CurrentWrite && port->WriteHeld && port->ChunkInFlight == 0) chunk = ClaimNextChunk(port);
    IoReleaseCancelSpinLock(irql);
    Send(port, chunk);
}

VOID NTAPI WriteCompleteDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortExtension*>(context);
    CompleteCurrent(port, nullptr, STATUS_SUCCESS, kWritePlan, RefInDevice);
    ReleaseDeferred(port);
}

VOID NTAPI WriteTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortExtension*>(context);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    MarkWriteEnd(port, STATUS_TIMEOUT);
    if (port->CurrentWrite && port->ChunkInFlight != 0) {
        // The chunk on the pipe may still be sending: its completion ends the
        // write, counting what it moved.
        port->WriteTimedOut = 1;
        IoReleaseCancelSpinLock(irql);
    } else {
        TryCompleteCurrent(port, irql, ReclaimWrite, STATUS_TIMEOUT, kWritePlan, RefTotalTimer);
    }
    ReleaseDeferredTimer(port, &port->WriteTotalTimer);
}

VOID NTAPI WriteCancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortOf(device);
    MarkWriteEnd(port, STATUS_CANCELLED);
    // The chunk on the pipe is left to complete (its bytes are the chip's
    // already); ReclaimWrite counts it as sent.
    TryCompleteCurrent(port, irp->CancelIrql, ReclaimWrite, STATUS_CANCELLED, kWritePlan, RefCancel);
}

// --- XOFF_COUNTER -------------------------------------------------------------------

VOID NTAPI XoffCounterDoneDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortExtension*>(context);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (port->CurrentXoffCounter) port->CurrentXoffCounter->IoStatus.Information = 0;
    TryCompleteCurrent(port, irql, nullptr, STATUS_SUCCESS, kXoffCounterPlan, RefInDevice);
    // The one that waited for the slot counts now (or ends, cancelled meanwhile).
    IoAcquireCancelSpinLock(&irql);
    PIRP waiting = port->CurrentXoffCounter ? nullptr : TakeWaitingXoffCounter(port);
    const bool ended = waiting && !StartCounting(port, waiting);
    IoReleaseCancelSpinLock(irql);
    if (ended) CompleteXoffCounter(port, waiting);
    ReleaseDeferred(port);
}

VOID NTAPI WaitingXoffCounterCancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortOf(device);
    if (port->WaitingXoffCounter == irp) port->WaitingXoffCounter = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    CompleteXoffCounter(port, irp);
}

VOID NTAPI XoffCounterTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortExtension*>(context);
    CompleteCurrent(port, ReclaimXoffCounter, STATUS_SERIAL_COUNTER_TIMEOUT, kXoffCounterPlan,
                       RefTotalTimer);
    ReleaseDeferredTimer(port, &port->XoffCounterTimer);
}

VOID NTAPI XoffCounterCancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    TryCompleteCurrent(PortOf(device), irp->CancelIrql, ReclaimXoffCounter, STATUS_CANCELLED, kXoffCounterPlan,
                       RefCancel);
}

// --- Immediate character ---------------------------------------------------------------

void StartImmediateChar(PortExtension* port, PIRP irp) {
    irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(irp);
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    const ULONGLONG perChar = static_cast<ULONGLONG>(port->Timeouts.WriteTotalTimeoutMultiplier) +
                              port->Timeouts.WriteTotalTimeoutConstant;
    KeReleaseSpinLock(&port->ControlLock, irql);

    IoAcquireCancelSpinLock(&irql);
    RequestRefs(irp) = 0;
    if (irp->Cancel) {
        port->CurrentImmediate = nullptr;
        port->TotalCharsQueued -= 1;
        IoReleaseCancelSpinLock(irql);
        irp->IoStatus.Information = 0;
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        ReleasePendingHold(port);
        return;
    }
    IoSetCancelRoutine(irp, ImmediateCancelRoutine);
    RequestRefs(irp) = RefCancel | RefInDevice;
    if (perChar) {
        RequestRefs(irp) |= RefTotalTimer;
        SetDeferredTimer(port, &port->ImmediateTimer, DueInMilliseconds(perChar), &port->Dpc.ImmediateTimeout);
    }
    port->ImmediateChar = *static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    NTSTATUS status;
    TransferContext* transfer =
        PrepareBulkOut(port, &port->ImmediateChar, 1, BulkOutPurpose::Immediate, irp, 0, &status);
    if (transfer) InterlockedIncrement(&port->TransmittingImmediate);
    IoReleaseCancelSpinLock(irql);
    if (transfer) status = SendPreparedTransfer(port, transfer);
    // Handed to the pipe, the character counts as sent; a submission that
    // failed ends the request with its status.
    port->ImmediateStatus = NT_SUCCESS(status) ? STATUS_SUCCESS : status;
    QueueDeferred(port, &port->Dpc.ImmediateDone);
}

namespace {

void FinishImmediate(PortExtension* port, PIRP* slot, PLIST_ENTRY, PIRP* next, bool) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = *slot;
    port->TotalCharsQueued -= 1;
    *slot = nullptr;
    *next = nullptr;
    IoReleaseCancelSpinLock(irql);
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    ReleasePendingHold(port);
    WriteSideIdle(port);
}

}  // namespace

VOID NTAPI ImmediateDoneDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortExtension*>(context);
    CompleteCurrent(port, nullptr, port->ImmediateStatus, kImmediatePlan, RefInDevice);
    ReleaseDeferred(port);
}

VOID NTAPI ImmediateTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortExtension*>(context);
    CompleteCurrent(port, nullptr, STATUS_TIMEOUT, kImmediatePlan, RefTotalTimer);
    ReleaseDeferredTimer(port, &port->ImmediateTimer);
}

VOID NTAPI ImmediateCancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    TryCompleteCurrent(PortOf(device), irp->CancelIrql, nullptr, STATUS_CANCELLED, kImmediatePlan, RefCancel);
}

// --- Transmitter empty ------------------------------------------------------------------

namespace {

// Arms the check for when the chip will have sent what it holds.
void ArmTransmitEmptyCheck(PortExtension* port) {
    const ULONGLONG now = KeQueryInterruptTime();
    const ULONGLONG ends = port->TransmitEndsAt;
    LARGE_INTEGER due;
    due.QuadPart = ends > now ? -static_cast<LONGLONG>(ends - now) : -1;
    SetDeferredTimer(port, &port->TransmitEmptyTimer, due, &port->Dpc.TransmitEmpty);
}

}  // namespace

void WriteSideIdle(PortExtension* port) {
    if (port->EmptiedTransmit) ArmTransmitEmptyCheck(port);
    // Transmit toggle: RTS goes down once the last character has left.
    if ((port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) {
        InterlockedIncrement(&port->PendingToggleChecks);
        TransmitToggleCheck(port);
    }
}

VOID NTAPI TransmitEmptyDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortExtension*>(context);
    // A write or an immediate character under way arms the check again when it
    // is done; only an idle write side with an empty transmitter reports.
    if (port->DeviceIsOpen && !port->CurrentWrite && !port->TransmittingImmediate && port->EmptiedTransmit) {
        if (!TransmitterIsEmpty(port)) {
            ArmTransmitEmptyCheck(port);
        } else if (InterlockedExchange(&port->EmptiedTransmit, 0)) {
            RecordEvents(port, SERIAL_EV_TXEMPTY);
        }
    }
    ReleaseDeferredTimer(port, &port->TransmitEmptyTimer);
}
