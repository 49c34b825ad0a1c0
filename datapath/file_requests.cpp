// The file-level requests on the port: open (one handle at a time, the ring,
// every setting to the chip, the continuous transfers), close (drain, hand flow
// control back, drop the lines, free the ring, wait for the port's deferred
// work), cleanup, flush, purge and file information.
#include "datapath/datapath.h"

#include "driver/driver.h"

#include "control/control.h"
#include "usb/usb.h"

namespace {

// Ring sizes to try by the system's size class, largest first.
struct RingSizes {
    ULONG Tries[3];
    ULONG Count;
};
constexpr RingSizes kRingSizes[] = {
    {{128, 0, 0}, 1},         // MmSmallSystem
    {{1024, 128, 0}, 2},      // MmMediumSystem
    {{4096, 1024, 128}, 3},   // MmLargeSystem
};

PUCHAR AllocateRing(ULONG* size) {
    const MM_SYSTEMSIZE sizeClass = MmQuerySystemSize();
    *size = 0;
    if (sizeClass < MmSmallSystem || sizeClass > MmLargeSystem) return nullptr;
    const RingSizes& sizes = kRingSizes[sizeClass];
    for (ULONG i = 0; i < sizes.Count; ++i) {
        auto* ring = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, sizes.Tries[i], VODREK_POOL_TAG));
        if (ring) {
            *size = sizes.Tries[i];
            return ring;
        }
    }
    return nullptr;
}

// Points the ring fields at `ring` (or at nothing), under both locks the
// receive path stores under.
void SetRing(PortExtension* port, PUCHAR ring, ULONG size, PUCHAR* previous) {
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&port->FillLock);
    *previous = port->ReceiveBuffer;
    port->ReceiveBuffer = ring;
    port->ReceiveBufferSize = size;
    port->CharsInBuffer = 0;
    port->FirstReadable = ring;
    port->FillAreaStart = ring;
    port->FillPosition = ring;
    port->FillAreaLast = ring ? ring + size - 1 : nullptr;
    port->NearlyFullMark = size / 4 * 3 + size / 16;
    if (!ring) port->DeviceIsOpen = 0;
    KeReleaseSpinLockFromDpcLevel(&port->FillLock);
    KeReleaseSpinLock(&port->ControlLock, irql);
}

void FreeRing(PortExtension* port) {
    PUCHAR previous = nullptr;
    SetRing(port, nullptr, 0, &previous);
    if (previous) ExFreePoolWithTag(previous, VODREK_POOL_TAG);
}

// The per-open state open gives the port before it pushes the settings.
void ResetOpenState(PortExtension* port, ULONG size) {
    port->WakeEnabled = 0;
    port->HandFlow.XonLimit = size / 2;
    port->HandFlow.XoffLimit = size / 8;
    port->WmiCommInfo.XonXmitThreshold = size / 2;
    port->WmiCommInfo.XoffXmitThreshold = size / 8;
    port->TotalCharsQueued = 0;
    port->XoffReceived = 0;
    port->WmiCommInfo.IsBusy = TRUE;
    port->WaitResultLocation = nullptr;
    port->EventHistory = 0;
    port->WaitMask = 0;
    port->XoffSentByDriver = 0;
    port->WriteHeld = 0;
    RtlZeroMemory(&port->PerfStats, sizeof port->PerfStats);
    RtlZeroMemory(&port->WmiPerfStats, sizeof port->WmiPerfStats);
    port->EscapeChar = 0;
    port->RxHoldReasons = 0;
}

// Everything open did before a failure, undone: the open count, the ring and
// the locked section.
NTSTATUS FailOpen(PortExtension* port, PIRP irp, NTSTATUS status, bool ringTaken, bool sectionLocked) {
    if (sectionLocked) MmUnlockPagableImageSection(PagingLockHandle);
    if (ringTaken) FreeRing(port);
    InterlockedDecrement(&port->OpenCount);
    irp->IoStatus.Information = 0;
    return CompleteNow(port, irp, status);
}

// The rest of open once the port is ours: ring, power, settings, transfers.
NTSTATUS OpenPort(PortExtension* port, PIRP irp) {
    // The device object is exclusive, so the I/O manager refuses a second open
    // before it reaches us; this guard holds should a create come another way.
    if (InterlockedIncrement(&port->OpenCount) != 1) {
        InterlockedDecrement(&port->OpenCount);
        irp->IoStatus.Information = 0;
        return CompleteNow(port, irp, STATUS_ACCESS_DENIED);
    }
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.Create.Options & FILE_DIRECTORY_FILE)
        return FailOpen(port, irp, STATUS_NOT_A_DIRECTORY, false, false);
    ULONG size = 0;
    PUCHAR ring = AllocateRing(&size);
    if (!ring) return FailOpen(port, irp, STATUS_INSUFFICIENT_RESOURCES, false, false);
    PUCHAR previous = nullptr;
    SetRing(port, ring, size, &previous);
    if (previous) ExFreePoolWithTag(previous, VODREK_POOL_TAG);
    MmLockPagableSectionByHandle(PagingLockHandle);
    const NTSTATUS power = RequestDevicePowerD0(port->PhysicalDevice, port);
    if (!NT_SUCCESS(power)) return FailOpen(port, irp, power, true, true);
    ResetOpenState(port, size);
    ApplyAllSettings(port);
    port->DeviceIsOpen = 1;
    port->ErrorFlags = 0;
    if (port->ChipType >= 2) {
        ChipWriteRegister8Or9(port, 1);
        ChipWriteRegister8Or9(port, 0);
    }
    // The pipes are configured (the port is started): the readers run from here.
    NTSTATUS status = power;
    if (NT_SUCCESS(StartContinuousTransfers(port))) status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    return CompleteNow(port, irp, status);
}

// Waits until no deferred work of the port can run any more: the count read at
// idle, never a single wait on an event that may be left over from before.
void DrainDeferredWork(PortExtension* port) {
    InterlockedDecrement(&port->DeferredWorkCount);
    while (port->DeferredWorkCount != 0) {
        KeClearEvent(&port->DeferredWorkDone);
        if (port->DeferredWorkCount == 0) break;
        LARGE_INTEGER tick;
        tick.QuadPart = -1;
        KeWaitForSingleObject(&port->DeferredWorkDone, Executive, KernelMode, FALSE, &tick);
    }
    InterlockedIncrement(&port->DeferredWorkCount);
}

// The common start of flush and the file-information requests: admitted, and
// not refused by an error abort; otherwise answered (`answer`).
bool AdmitFileRequest(PortExtension* port, PIRP irp, NTSTATUS* answer) {
    irp->IoStatus.Information = 0;
    if (!AdmitOrAnswer(port, irp, answer)) return false;
    if (RejectOnErrorAbort(port, irp) != STATUS_SUCCESS) {
        *answer = STATUS_CANCELLED;
        return false;
    }
    return true;
}

void Delay(LONGLONG relative) {
    LARGE_INTEGER interval;
    interval.QuadPart = relative;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// Under transmit toggle RTS drops once the transmitter is empty, and close waits
// for that check. With the chip's flow control off, what the chip holds and what
// is on its way to it leave at the line rate; bulk-out transfers still
// outstanding after that long are ones the chip refuses for good (its UART
// switched off through its registers, say) and are cancelled, so that close
// always finishes.
void WaitForToggleChecks(PortExtension* port, LONGLONG characterTime) {
    while (port->PendingToggleChecks != 0) {
        const ULONG bytes = TransmitFifoDepth(port->ChipType) + 1 + BulkOutBytesInFlight(port);
        const ULONGLONG deadline = KeQueryInterruptTime() + static_cast<ULONGLONG>(bytes) * characterTime;
        while (port->PendingToggleChecks != 0 && KeQueryInterruptTime() < deadline) Delay(-characterTime);
        if (port->PendingToggleChecks != 0) CancelTransfer(port, BulkOut);
    }
}

}  // namespace

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortOf(device);
    irp->IoStatus.Information = 0;
    if (port->PnpState != Started) {
        irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Not reached on a started port: every start records the system state as
    // working while configuring the device, before the port counts as started,
    // and nothing changes it afterwards (a sleeping system runs no applications).
    if (port->SystemPowerState != PowerSystemWorking) {
        irp->IoStatus.Status = STATUS_INSUFFICIENT_POWER;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INSUFFICIENT_POWER;
    }
    // A pipe a stall left halted is reset first, so that the readers this
    // open starts find it running.
    ResetHaltedPipes(port);
    // Admission and the open run under the mutex that query-stop and
    // query-remove decide under: neither can come between them.
    ExAcquireFastMutex(&port->OpenStateMutex);
    NTSTATUS status;
    if (AdmitOrAnswer(port, irp, &status)) status = OpenPort(port, irp);
    ExReleaseFastMutex(&port->OpenStateMutex);
    return status;
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortOf(device);
    irp->IoStatus.Information = 0;
    NTSTATUS status = AdmitRequest(port, irp);
    if (status == STATUS_PENDING) return status;
    if (status != STATUS_SUCCESS) {
        // The device is going (or gone): only what is left of the open goes
        // with it, the section lock the open took included.
        if (status == STATUS_DELETE_PENDING) {
            FreeRing(port);
            status = STATUS_SUCCESS;
        }
        CompleteNow(port, irp, status);
        MmUnlockPagableImageSection(PagingLockHandle);
        InterlockedDecrement(&port->OpenCount);
        return status;
    }
    if (port->OpenCount != 1) return CompleteNow(port, irp, STATUS_INVALID_DEVICE_REQUEST);

    const LONGLONG characterTime = CharacterTime(port);
    port->DeviceIsOpen = 0;
    EndBreak(port);
    port->DeviceIsOpen = 0;
    Delay(-10 * characterTime);
    SetRtsFlowInChip(port, false);
    SetCtsFlowInChip(port, false);
    SetDsrFlowInChip(port, false);
    SetAutoXonXoffInChip(port, false);
    ClearDtr(port);
    WaitForToggleChecks(port, characterTime);
    ClearRts(port);
    port->RxHoldReasons = 0;
    port->TxHoldReasons = 0;
    port->WmiCommInfo.IsBusy = FALSE;
    FreeRing(port);
    port->WakeEnabled = 0;
    CancelWaitWake(port);
    CompleteNow(port, irp, STATUS_SUCCESS);

    DrainDeferredWork(port);
    // 1280 bit times, counted in 64 bits so that no rate makes it wrap.
    const ULONG baud = port->CurrentBaud ? port->CurrentBaud : 9600;
    Delay(-static_cast<LONGLONG>(1280) * (10'000'000 / baud));
    MmUnlockPagableImageSection(PagingLockHandle);
    // The transfers of this open are cancelled and gone before the port counts
    // as closed, so that the next open never meets a reader of this one.
    StopTransfersAndWait(port);
    InterlockedDecrement(&port->OpenCount);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortOf(device);
    Delay(-300'000);  // 30 ms
    irp->IoStatus.Information = 0;
    NTSTATUS status = AdmitRequest(port, irp);
    if (status == STATUS_PENDING) return status;
    if (status == STATUS_SUCCESS) {
        KillAllRequests(port);
    } else if (status != STATUS_DELETE_PENDING) {
        return CompleteNow(port, irp, status);
    }
    return CompleteNow(port, irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortOf(device);
    NTSTATUS answer;
    if (!AdmitFileRequest(port, irp, &answer)) return answer;
    return StartOrQueue(port, irp, &port->WriteQueue, &port->CurrentWrite, StartFlush);
}

NTSTATUS StartFlush(PortExtension* port) {
    // Every write queued before the flush has finished when it reaches the slot.
    port->CurrentWrite->IoStatus.Status = STATUS_SUCCESS;
    PIRP next = nullptr;
    TakeNextWrite(port, &port->CurrentWrite, &port->WriteQueue, &next, true);
    if (next) StartWrite(port);
    return STATUS_SUCCESS;
}

NTSTATUS StartPurge(PortExtension* port) {
    for (PIRP irp = port->CurrentPurge; irp;) {
        const ULONG mask = *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
        if (mask & SERIAL_PURGE_TXABORT) {
            KillQueue(port, &port->WriteQueue, &port->CurrentWrite);
            KillQueue(port, &port->WriteQueue, &port->CurrentXoffCounter);
            KillQueue(port, &port->WriteQueue, &port->WaitingXoffCounter);
        }
        if (mask & SERIAL_PURGE_RXABORT) KillQueue(port, &port->ReadQueue, &port->CurrentRead);
        if (mask & SERIAL_PURGE_RXCLEAR) {
            ReceiveActions actions = kNoReceiveActions;
            KIRQL irql;
            KeAcquireSpinLock(&port->ControlLock, &irql);
            KeAcquireSpinLockAtDpcLevel(&port->FillLock);
            // While a read owns the fill area the ring is already empty.
            if (port->ReceiveBuffer && port->FillAreaStart == port->ReceiveBuffer) {
                port->CharsInBuffer = 0;
                port->FillPosition = port->ReceiveBuffer;
                port->FirstReadable = port->ReceiveBuffer;
                port->FillAreaLast = port->ReceiveBuffer + port->ReceiveBufferSize - 1;
                ReleaseReceiveHolds(port, actions);
            }
            KeReleaseSpinLockFromDpcLevel(&port->FillLock);
            KeReleaseSpinLock(&port->ControlLock, irql);
            CarryOut(port, actions);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        PIRP next = nullptr;
        TakeNextRequest(port, &port->CurrentPurge, &port->PurgeQueue, &next, true);
        irp = next;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchQueryInformation(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortOf(device);
    NTSTATUS answer;
    if (!AdmitFileRequest(port, irp, &answer)) return answer;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const ULONG length = sp->Parameters.QueryFile.Length;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    ULONG size = 0;
    if (sp->Parameters.QueryFile.FileInformationClass == FileStandardInformation) {
        size = sizeof(FILE_STANDARD_INFORMATION);
    } else if (sp->Parameters.QueryFile.FileInformationClass == FilePositionInformation) {
        size = sizeof(FILE_POSITION_INFORMATION);
    }
    if (size) {
        // A buffer shorter than the record is refused before anything is written.
        if (!buffer || length < size) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            RtlZeroMemory(buffer, size);
            irp->IoStatus.Information = size;
            status = STATUS_SUCCESS;
        }
    }
    return CompleteNow(port, irp, status);
}

NTSTATUS NTAPI DispatchSetInformation(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortOf(device);
    NTSTATUS answer;
    if (!AdmitFileRequest(port, irp, &answer)) return answer;
    const FILE_INFORMATION_CLASS type = IoGetCurrentIrpStackLocation(irp)->Parameters.SetFile.FileInformationClass;
    const bool accepted = type == FileEndOfFileInformation || type == FileAllocationInformation;
    return CompleteNow(port, irp, accepted ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
}
