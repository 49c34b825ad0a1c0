// The read path: IRP_MJ_READ with every serial timeout mode. A read takes what
// the ring holds, then, if it must wait, becomes the area the receive path
// stores into, under its total and interval timers; whichever of the receive
// path, a timer and the cancel routine drops the read's last reference bit
// completes it. The read queue also carries SET_QUEUE_SIZE, which swaps the ring
// where no read is active.
#include "datapath/datapath.h"

#include "usb/usb.h"

namespace {

// ReadProgress marks: which party ended the read first. The first one stays.
constexpr LONG kReadCancelled = -1;
constexpr LONG kReadTimedOut = -2;
constexpr LONG kReadFilled = -3;


void MarkReadEnd(PortExtension* port, LONG mark) {
    if (port->ReadProgress >= 0) port->ReadProgress = mark;
}

NTSTATUS StatusOfReadEnd(const PortExtension* port) {
    // A read that has every byte it asked for succeeded, whoever ended it: a
    // timer or a cancel that lost the race to the last byte must not throw
    // away bytes already taken out of the ring.
    const PIRP read = port->CurrentRead;
    if (read && read->IoStatus.Information == IoGetCurrentIrpStackLocation(read)->Parameters.Read.Length)
        return STATUS_SUCCESS;
    switch (port->ReadProgress) {
        case kReadCancelled: return STATUS_CANCELLED;
        case kReadTimedOut: return STATUS_TIMEOUT;
        default: return STATUS_SUCCESS;
    }
}

constexpr CompletionPlan kReadPlan = {&PortExtension::CurrentRead,  &PortExtension::ReadQueue,
                                      &PortExtension::ReadIntervalTimer, &PortExtension::ReadTotalTimer,
                                      StartRead, TakeNextRequest, nullptr};

struct ReadTiming {
    bool returnAtOnce = false;
    bool returnWhenAny = false;
    bool reduceToOne = false;
    bool total = false;
    bool interval = false;
    LARGE_INTEGER totalDue{};
};

ReadTiming TimingFor(PortExtension* port, ULONG length, const SERIAL_TIMEOUTS& t) {
    ReadTiming timing;
    const ULONG I = t.ReadIntervalTimeout;
    const ULONG M = t.ReadTotalTimeoutMultiplier;
    const ULONG K = t.ReadTotalTimeoutConstant;
    if (I == MAXULONG) {
        if (M == 0 && K == 0) {
            timing.returnAtOnce = true;
        } else if (K != MAXULONG) {
            timing.returnWhenAny = true;
            timing.reduceToOne = M == MAXULONG;
            timing.total = true;
            const ULONGLONG multiplier = M == MAXULONG ? 0 : M;
            timing.totalDue = DueInMilliseconds(static_cast<ULONGLONG>(length) * multiplier + K);
        }
        return timing;
    }
    if (I != 0) {
        timing.interval = true;
        port->ReadIntervalTime = static_cast<LONGLONG>(I) * 10'000;
        port->ChosenPollDelay =
            port->ReadIntervalTime >= port->PollCutover ? &port->LongPollDelay : &port->ShortPollDelay;
    }
    if (M != 0 || K != 0) {
        timing.total = true;
        timing.totalDue = DueInMilliseconds(static_cast<ULONGLONG>(length) * M + K);
    }
    return timing;
}

PUCHAR ReadBuffer(PIRP irp) { return static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer); }
ULONG ReadLength(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length; }

// Moves what the ring holds, up to what the read still needs, into the read.
// ControlLock held. CharsInBuffer is left to the caller.
ULONG CopyToRead(PortExtension* port, PIRP irp) {
    const ULONG k = port->CharsInBuffer < port->ReadCharsNeeded ? port->CharsInBuffer : port->ReadCharsNeeded;
    if (k == 0) return 0;
    PUCHAR destination = ReadBuffer(irp) + (ReadLength(irp) - port->ReadCharsNeeded);
    PUCHAR ringLast = port->ReceiveBuffer + port->ReceiveBufferSize - 1;
    const ULONG run = static_cast<ULONG>(ringLast - port->FirstReadable + 1);
    if (run > k) {
        RtlCopyMemory(destination, port->FirstReadable, k);
        port->FirstReadable += k;
    } else {
        RtlCopyMemory(destination, port->FirstReadable, run);
        RtlCopyMemory(destination + run, port->ReceiveBuffer, k - run);
        port->FirstReadable = port->ReceiveBuffer + (k - run);
    }
    port->ReadCharsNeeded -= k;
    irp->IoStatus.Information += k;
    return k;
}

// Takes the fill area back from the receive path (cancel spin lock held): the
// read keeps what was stored into it.
void ReclaimFillArea(PortExtension* port) {
    KeAcquireSpinLockAtDpcLevel(&port->FillLock);
    if (port->FillAreaStart != port->ReceiveBuffer) {
        PIRP read = port->CurrentRead;
        read->IoStatus.Information = static_cast<ULONG_PTR>(port->FillPosition - ReadBuffer(read));
        port->CharsInBuffer = 0;
        port->FillAreaStart = port->ReceiveBuffer;
        port->FillPosition = port->ReceiveBuffer;
        port->FirstReadable = port->ReceiveBuffer;
        port->FillAreaLast = port->ReceiveBuffer + port->ReceiveBufferSize - 1;
        RequestRefs(read) &= ~RefInDevice;
    }
    KeReleaseSpinLockFromDpcLevel(&port->FillLock);
}

// SET_QUEUE_SIZE at the head of the read queue: a bigger ring, with what the old
// one holds moved over oldest first.
NTSTATUS ResizeRing(PortExtension* port, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    auto* fresh = static_cast<PUCHAR>(sp->Parameters.DeviceIoControl.Type3InputBuffer);
    sp->Parameters.DeviceIoControl.Type3InputBuffer = nullptr;
    irp->IoStatus.Information = 0;
    const ULONG size = static_cast<PSERIAL_QUEUE_SIZE>(irp->AssociatedIrp.SystemBuffer)->InSize;
    if (!fresh) return STATUS_SUCCESS;
    ReceiveActions actions = kNoReceiveActions;
    PUCHAR old = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&port->FillLock);
    if (size > port->ReceiveBufferSize && port->ReceiveBuffer) {
        const ULONG held = port->CharsInBuffer;
        PUCHAR ringLast = port->ReceiveBuffer + port->ReceiveBufferSize - 1;
        const ULONG run = static_cast<ULONG>(ringLast - port->FirstReadable + 1);
        if (run >= held) {
            RtlCopyMemory(fresh, port->FirstReadable, held);
        } else {
            RtlCopyMemory(fresh, port->FirstReadable, run);
            RtlCopyMemory(fresh + run, port->ReceiveBuffer, held - run);
        }
        old = port->ReceiveBuffer;
        port->ReceiveBuffer = fresh;
        port->ReceiveBufferSize = size;
        port->FirstReadable = fresh;
        port->FillAreaStart = fresh;
        port->FillPosition = fresh + held;
        port->FillAreaLast = fresh + size - 1;
        port->NearlyFullMark = size / 4 * 3 + size / 16;
        port->HandFlow.XoffLimit = size / 8;
        port->HandFlow.XonLimit = size / 2;
        port->WmiCommInfo.XoffXmitThreshold = size / 8;
        port->WmiCommInfo.XonXmitThreshold = size / 2;
        ReleaseReceiveHolds(port, actions);
        fresh = nullptr;
    }
    KeReleaseSpinLockFromDpcLevel(&port->FillLock);
    KeReleaseSpinLock(&port->ControlLock, irql);
    if (old) ExFreePoolWithTag(old, VODREK_POOL_TAG);
    if (fresh) ExFreePoolWithTag(fresh, VODREK_POOL_TAG);
    CarryOut(port, actions);
    return STATUS_SUCCESS;
}

enum class ReadStart { Finished, Waiting };

// One read at the head of the queue: finished at once (its status stored) or
// left waiting with the fill area and its timers armed.
ReadStart BeginRead(PortExtension* port, PIRP irp, bool first) {
    const ULONG length = ReadLength(irp);
    port->ReadCharsNeeded = length;
    irp->IoStatus.Information = 0;
    // A timer a previous read left set would fire into this one.
    CancelDeferredTimer(port, &port->ReadTotalTimer);
    CancelDeferredTimer(port, &port->ReadIntervalTimer);

    ReceiveActions actions = kNoReceiveActions;
    // A reader that stopped (a failed transfer, a hold released elsewhere) is
    // started again by the next read.
    actions.StartBulkIn = !ReaderHeld(port);
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    const SERIAL_TIMEOUTS timeouts = port->Timeouts;
    const ReadTiming timing = TimingFor(port, length, timeouts);
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    // Found cancelled: the ring keeps its characters.
    if (irp->Cancel) {
        IoReleaseCancelSpinLock(cancelIrql);
        KeReleaseSpinLock(&port->ControlLock, irql);
        irp->IoStatus.Status = STATUS_CANCELLED;
        CarryOut(port, actions);
        return ReadStart::Finished;
    }
    ULONG n = CopyToRead(port, irp);
    if (timing.returnAtOnce || port->ReadCharsNeeded == 0 || (timing.returnWhenAny && irp->IoStatus.Information)) {
        port->CharsInBuffer -= n;
        ReleaseReceiveHolds(port, actions);
        IoReleaseCancelSpinLock(cancelIrql);
        KeReleaseSpinLock(&port->ControlLock, irql);
        irp->IoStatus.Status = STATUS_SUCCESS;
        CarryOut(port, actions);
        return ReadStart::Finished;
    }
    RequestRefs(irp) = 0;
    if (timing.reduceToOne) {
        port->ReadCharsNeeded = 1;
        IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length = 1;
    }
    KeAcquireSpinLockAtDpcLevel(&port->FillLock);
    port->CharsInBuffer -= n;
    ReleaseReceiveHolds(port, actions);
    n = CopyToRead(port, irp);
    port->CharsInBuffer -= n;
    ReleaseReceiveHolds(port, actions);
    if (port->ReadCharsNeeded == 0) {
        KeReleaseSpinLockFromDpcLevel(&port->FillLock);
        IoReleaseCancelSpinLock(cancelIrql);
        KeReleaseSpinLock(&port->ControlLock, irql);
        irp->IoStatus.Status = STATUS_SUCCESS;
        CarryOut(port, actions);
        return ReadStart::Finished;
    }
    port->CharsSinceIntervalCheck = 0;
    port->ReadProgress = static_cast<LONG>(irp->IoStatus.Information);
    PUCHAR buffer = ReadBuffer(irp);
    port->FillAreaStart = buffer;
    port->FillPosition = buffer + irp->IoStatus.Information;
    port->FillAreaLast = buffer + ReadLength(irp) - 1;
    IoSetCancelRoutine(irp, ReadCancelRoutine);
    RequestRefs(irp) = RefInDevice | RefCancel;
    KeReleaseSpinLockFromDpcLevel(&port->FillLock);
    if (timing.total) {
        RequestRefs(irp) |= RefTotalTimer;
        SetDeferredTimer(port, &port->ReadTotalTimer, timing.totalDue, &port->Dpc.ReadTotalTimeout);
    }
    if (timing.interval) {
        RequestRefs(irp) |= RefIntervalTimer;
        port->LastCharTime = KeQueryInterruptTime();
        LARGE_INTEGER poll;
        poll.QuadPart = *port->ChosenPollDelay;
        SetDeferredTimer(port, &port->ReadIntervalTimer, poll, &port->Dpc.ReadInterval);
    }
    if (first) IoMarkIrpPending(irp);
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&port->ControlLock, irql);
    CarryOut(port, actions);
    return ReadStart::Waiting;
}

}  // namespace

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortOf(device);
    return DispatchToQueue(port, irp, ReadLength(irp), &port->ReadQueue, &port->CurrentRead, StartRead);
}

NTSTATUS StartRead(PortExtension* port) {
    NTSTATUS firstStatus = STATUS_SUCCESS;
    bool first = true;
    for (PIRP irp = port->CurrentRead; irp;) {
        NTSTATUS status;
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) {
            status = ResizeRing(port, irp);
            irp->IoStatus.Status = status;
        } else if (BeginRead(port, irp, first) == ReadStart::Waiting) {
            return first ? STATUS_PENDING : firstStatus;
        } else {
            status = irp->IoStatus.Status;
        }
        if (first) firstStatus = status;
        first = false;
        PIRP next = nullptr;
        TakeNextRequest(port, &port->CurrentRead, &port->ReadQueue, &next, true);
        irp = next;
    }
    return firstStatus;
}

VOID NTAPI ReadCompleteDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortExtension*>(context);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    MarkReadEnd(port, kReadFilled);
    TryCompleteCurrent(port, irql, nullptr, StatusOfReadEnd(port), kReadPlan, RefInDevice);
    ReleaseDeferred(port);
}

VOID NTAPI ReadTotalTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortExtension*>(context);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    MarkReadEnd(port, kReadTimedOut);
    TryCompleteCurrent(port, irql, ReclaimFillArea, StatusOfReadEnd(port), kReadPlan, RefTotalTimer);
    ReleaseDeferredTimer(port, &port->ReadTotalTimer);
}

VOID NTAPI ReadCancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortOf(device);
    MarkReadEnd(port, kReadCancelled);
    TryCompleteCurrent(port, irp->CancelIrql, ReclaimFillArea, StatusOfReadEnd(port), kReadPlan, RefCancel);
}

VOID NTAPI ReadIntervalDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortExtension*>(context);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (port->ReadProgress < 0) {
        // Another party ended the read first: finish with its status.
        TryCompleteCurrent(port, irql, ReclaimFillArea, StatusOfReadEnd(port), kReadPlan, RefIntervalTimer);
        ReleaseDeferredTimer(port, &port->ReadIntervalTimer);
        return;
    }
    const ULONG arrived =
        static_cast<ULONG>(InterlockedExchange(reinterpret_cast<volatile LONG*>(&port->CharsSinceIntervalCheck), 0));
    const ULONGLONG now = KeQueryInterruptTime();
    bool expired = false;
    if (arrived) {
        port->ReadProgress = static_cast<LONG>(arrived);
        port->LastCharTime = now;
    } else if (port->ReadProgress != 0) {
        // Characters came before, none since: the interval runs.
        expired = now - port->LastCharTime >= static_cast<ULONGLONG>(port->ReadIntervalTime);
    }
    if (expired) {
        MarkReadEnd(port, kReadTimedOut);
        TryCompleteCurrent(port, irql, ReclaimFillArea, STATUS_TIMEOUT, kReadPlan, RefIntervalTimer);
    } else {
        LARGE_INTEGER poll;
        poll.QuadPart = *port->ChosenPollDelay;
        SetDeferredTimer(port, &port->ReadIntervalTimer, poll, &port->Dpc.ReadInterval);
        IoReleaseCancelSpinLock(irql);
    }
    ReleaseDeferredTimer(port, &port->ReadIntervalTimer);
}

void InitializeReceiveDefaults(PortExtension* port) {
    port->ShortPollDelay = -1;
    port->LongPollDelay = -10000000;  // 1 s
    port->PollCutover = 200000000;    // 20 s
    port->ChosenPollDelay = &port->ShortPollDelay;
    const ULONG size = port->ReceiveBufferSize;
    port->NearlyFullMark = size / 4 * 3 + size / 16;
}
