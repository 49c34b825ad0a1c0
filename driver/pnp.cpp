// Plug and Play requests: start, stop and restart, removal and surprise removal,
// capabilities and hardware identifiers, and the device-state flags with which
// admission holds or refuses every other request meanwhile.
#include "driver/driver.h"

#include "datapath/datapath.h"
#include "usb/usb.h"

namespace {

NTSTATUS CompletePnp(PortExtension* port, PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ReleasePendingHold(port);
    return status;
}

NTSTATUS PassDownWith(PortExtension* port, PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    return PassDownAndRelease(port, irp);
}

// Sends the request down without our own stack location and without giving back
// a pending hold (the caller's drain has already taken it).
NTSTATUS SendDown(PDEVICE_OBJECT lower, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS HandleStart(PortExtension* port, PIRP irp) {
    MmLockPagableSectionByHandle(PagingLockHandle);
    port->ChipType = -1;
    port->DevicePowerState = PowerDeviceD0;
    // The power manager knows a device's state only from what its drivers report.
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    PoSetPowerState(port->DeviceObject, DevicePowerState, d0);
    NTSTATUS status = ForwardAndWait(port, irp, &port->LowerCompletionEvent);
    if (NT_SUCCESS(status)) {
        status = StartPort(port->DeviceObject);
        if (NT_SUCCESS(status)) status = ConfigureDevice(port->DeviceObject);
        if (NT_SUCCESS(status)) {
            if (!ConfigMemoryProgrammed(port)) WriteDefaultRegisters(port);
            ReadRegister(port, 0);
            ReadRegister(port, 1);
            ReadRegister(port, 2);
        }
    }
    MmUnlockPagableImageSection(PagingLockHandle);
    return CompletePnp(port, irp, status);
}

// Query-stop and query-remove are decided against an open that may be racing us,
// so the test of the open flag and the state change happen under one mutex.
NTSTATUS HandleQuery(PortExtension* port, PIRP irp, ULONG newState, ULONG flag) {
    ExAcquireFastMutex(&port->OpenStateMutex);
    if (port->DeviceIsOpen != 0) {
        ExReleaseFastMutex(&port->OpenStateMutex);
        return CompletePnp(port, irp, STATUS_DEVICE_BUSY);
    }
    port->PnpState = newState;
    UpdateStateFlags(port, &port->DeviceStateFlags, flag, TRUE);
    ExReleaseFastMutex(&port->OpenStateMutex);
    return PassDownWith(port, irp, STATUS_SUCCESS);
}

NTSTATUS HandleStop(PortExtension* port, PIRP irp) {
    UpdateStateFlags(port, &port->ResourceFlags, RESOURCE_WAS_STOPPED, TRUE);
    UpdateStateFlags(port, &port->DeviceStateFlags, DEVICE_STATE_STOP_PENDING, FALSE);
    port->PnpState = Stopped;
    DrainPendingRequests(port, TRUE);
    if (port->ResourceFlags & RESOURCE_HAS_STARTED) ReleasePortResources(port);
    return SendDown(port->LowerDevice, irp);
}

// The lower drivers undo their part of the stop first; only once the request is
// back up is the stack whole again, and only then do the requests admission held
// meanwhile go through (instead of waiting for a start that will not come).
// Until then admission goes on holding new requests.
NTSTATUS HandleCancelStop(PortExtension* port, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    ForwardAndWait(port, irp, &port->LowerCompletionEvent);
    if (port->PnpState == StopPending) {
        port->PnpState = Started;
        UpdateStateFlags(port, &port->DeviceStateFlags, DEVICE_STATE_STOP_PENDING, FALSE);
        RedispatchStalled(port);
    }
    // A cancel-stop is never failed.
    return CompletePnp(port, irp, STATUS_SUCCESS);
}

// The receive ring goes away while reception may still be running: take it out
// of the receive path's reach under both of its locks first.
void FreeReceiveBuffer(PortExtension* port) {
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&port->FillLock);
    PUCHAR ring = port->ReceiveBuffer;
    port->ReceiveBuffer = nullptr;
    KeReleaseSpinLockFromDpcLevel(&port->FillLock);
    KeReleaseSpinLock(&port->ControlLock, irql);
    if (ring) ExFreePoolWithTag(ring, VODREK_POOL_TAG);
}

NTSTATUS HandleSurpriseRemoval(PortExtension* port, PIRP irp) {
    UpdateStateFlags(port, &port->DeviceStateFlags, DEVICE_STATE_SURPRISE_REMOVED, TRUE);
    KillAllRequests(port);
    CancelAllTransfers(port);
    FreeReceiveBuffer(port);
    DrainPendingRequests(port, TRUE);
    UndoExternalNaming(port->DeviceObject);
    return SendDown(port->LowerDevice, irp);
}

NTSTATUS HandleRemove(PortExtension* port, PIRP irp) {
    UpdateStateFlags(port, &port->DeviceStateFlags, DEVICE_STATE_REMOVING, TRUE);
    KillAllRequests(port);
    CancelAllTransfers(port);
    DrainPendingRequests(port, FALSE);
    LARGE_INTEGER settle;
    settle.QuadPart = -50000;  // 5 ms
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    // A cancelled transfer's completion must not reach a deleted port, nor the
    // callback of a cancelled wait-wake request.
    WaitForTransfersToDrain(port);
    WaitForWaitWakeToEnd(port);
    PDEVICE_OBJECT lower = port->LowerDevice;
    DeleteDevice(port->DeviceObject);
    // The extension is gone: only the saved lower device may be used now.
    return SendDown(lower, irp);
}

NTSTATUS HandleCapabilities(PortExtension* port, PIRP irp) {
    auto* event = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), VODREK_POOL_TAG));
    if (!event) return CompletePnp(port, irp, STATUS_INSUFFICIENT_RESOURCES);
    KeInitializeEvent(event, SynchronizationEvent, FALSE);
    ForwardAndWait(port, irp, event);
    ExFreePoolWithTag(event, VODREK_POOL_TAG);
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps) {
        caps->SurpriseRemovalOK = TRUE;
        port->PowerStateMap[PowerSystemUnspecified] = PowerDeviceUnspecified;
        port->PowerStateMap[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) port->PowerStateMap[s] = caps->DeviceState[s];
        port->SystemWake = caps->SystemWake;
        port->DeviceWake = caps->DeviceWake;
    }
    return CompletePnp(port, irp, irp->IoStatus.Status);
}

// Adds the serial-port compatible identifier at the end of the hardware
// identifiers (a multi-string list ended by an empty string). The bus answers
// this query with a list of its own, so the identifier is added to what comes
// back up: added before the request went down, it would be overwritten and its
// list lost.
NTSTATUS HandleHardwareIds(PortExtension* port, PIRP irp) {
    HANDLE key;
    NTSTATUS status = IoOpenDeviceRegistryKey(port->PhysicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status)) return CompletePnp(port, irp, status);
    ULONG multiport = 0;
    status = ReadDeviceKeyValue(key, WIDE("MultiportDevice"), &multiport, sizeof(multiport));
    ZwClose(key);
    if (!NT_SUCCESS(status)) return CompletePnp(port, irp, status);

    irp->IoStatus.Status = STATUS_SUCCESS;
    status = ForwardAndWait(port, irp, &port->LowerCompletionEvent);
    if (!NT_SUCCESS(status)) return CompletePnp(port, irp, status);

    PCWSTR id = multiport ? WIDE("*PNP0502") : WIDE("*PNP0501");
    constexpr ULONG kIdChars = 8;
    auto* old = reinterpret_cast<PWSTR>(irp->IoStatus.Information);
    ULONG oldBytes = 0;
    if (old) {
        // Each string and the empty one that ends the list.
        ULONG i = 0;
        while (old[i] != 0) {
            while (old[i] != 0) ++i;
            ++i;
        }
        oldBytes = (i + 1) * sizeof(WCHAR);
    }
    const ULONG newBytes = old ? oldBytes + 20 : 22;
    auto* list = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, newBytes, VODREK_POOL_TAG));
    if (!list) {
        if (old) ExFreePool(old);
        irp->IoStatus.Information = 0;
        return CompletePnp(port, irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlZeroMemory(list, newBytes);
    ULONG offset = 0;
    if (old) {
        RtlCopyMemory(list, old, oldBytes);
        offset = oldBytes / sizeof(WCHAR) - 1;  // over the list's final terminator
        ExFreePool(old);
    }
    RtlCopyMemory(list + offset, id, kIdChars * sizeof(WCHAR));
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
    return CompletePnp(port, irp, STATUS_SUCCESS);
}

}  // namespace

void UpdateStateFlags(PortExtension* port, ULONG* flags, ULONG bits, BOOLEAN set) {
    KIRQL irql;
    KeAcquireSpinLock(&port->DeviceStateLock, &irql);
    if (set)
        *flags |= bits;
    else
        *flags &= ~bits;
    KeReleaseSpinLock(&port->DeviceStateLock, irql);
}

NTSTATUS PassDownAndRelease(PortExtension* port, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(port->LowerDevice, irp);
    ReleasePendingHold(port);
    return status;
}

void DrainPendingRequests(PortExtension* port, BOOLEAN giveBackInitialHold) {
    InterlockedDecrement(&port->PendingRequestCount);
    if (InterlockedDecrement(&port->PendingRequestCount) != 0) {
        KeWaitForSingleObject(&port->PendingRequestsDone, Executive, KernelMode, FALSE, nullptr);
    }
    if (giveBackInitialHold) InterlockedIncrement(&port->PendingRequestCount);
}

NTSTATUS ForwardAndWait(PortExtension* port, PIRP irp, PKEVENT event) {
    // The event may still be signalled from an earlier request that the lower
    // driver completed at once; a stale signal would end this wait too early.
    KeClearEvent(event);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEventCompletion, event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(port->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

void ReleasePortResources(PortExtension* port) {
    for (const DeferredWorkEntry& entry : PortDeferredWork) {
        if (entry.Timer) CancelDeferredTimer(port, &(port->*entry.Timer));
    }
    // Each hold goes back through the operation that signals at zero: a close
    // waiting for the last one would otherwise wait for ever.
    for (const DeferredWorkEntry& entry : PortDeferredWork) {
        if (entry.Routine == DeferredDrainDpc) continue;
        RemoveQueuedDeferred(port, &(port->Dpc.*entry.Dpc));
    }
}

NTSTATUS NTAPI PnpDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortOf(device);
    // Plug and Play requests are always admitted; the hold is given back below.
    AdmitRequest(port, irp);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
        case IRP_MN_START_DEVICE:
            return HandleStart(port, irp);
        case IRP_MN_QUERY_REMOVE_DEVICE:
            return HandleQuery(port, irp, RemovePending, DEVICE_STATE_REMOVING);
        case IRP_MN_REMOVE_DEVICE:
            return HandleRemove(port, irp);
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            port->PnpState = Started;
            UpdateStateFlags(port, &port->DeviceStateFlags, DEVICE_STATE_REMOVING, FALSE);
            return PassDownWith(port, irp, STATUS_SUCCESS);
        case IRP_MN_STOP_DEVICE:
            return HandleStop(port, irp);
        case IRP_MN_QUERY_STOP_DEVICE:
            if (port->PnpState != Started) return PassDownAndRelease(port, irp);
            return HandleQuery(port, irp, StopPending, DEVICE_STATE_STOP_PENDING);
        case IRP_MN_CANCEL_STOP_DEVICE:
            return HandleCancelStop(port, irp);
        case IRP_MN_QUERY_CAPABILITIES:
            return HandleCapabilities(port, irp);
        case IRP_MN_QUERY_ID:
            if (sp->Parameters.QueryId.IdType == BusQueryCompatibleIDs)
                return PassDownWith(port, irp, STATUS_SUCCESS);
            if (sp->Parameters.QueryId.IdType == BusQueryHardwareIDs) return HandleHardwareIds(port, irp);
            return PassDownAndRelease(port, irp);
        case IRP_MN_SURPRISE_REMOVAL:
            return HandleSurpriseRemoval(port, irp);
        default:
            return PassDownAndRelease(port, irp);
    }
}
