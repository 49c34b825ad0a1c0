// Power: the port follows the system's sleep and wake with two device states,
// D0 while the system works and D3 for every sleeping or off state; on the way
// back it sends its settings to the chip again and restarts its continuous
// transfers, since the adapter may have lost power; and it brings the device
// to D0 on demand before a request reaches the chip.
//
// Windows up to Server 2003 serialises power requests per device: each
// query-power and set-power is released with PoStartNextPowerIrp while its
// stack location is still ours, before it is completed or passed on, and goes
// down with PoCallDriver.
#include "driver/driver.h"

#include "datapath/datapath.h"
#include "usb/usb.h"

namespace {

constexpr USHORT kDtrLine = 0x0001;
constexpr USHORT kRtsLine = 0x0002;
// How long a wake waits for the device to be back in D0 before it gives up on
// restoring the settings: a bus that never finishes the power-up must not hold
// the power manager's thread (and every power request behind it) for ever.
constexpr LONGLONG kWakeD0Wait = 10 * 10'000'000LL;

// What RequestDevicePowerD0 waits on, filled in by PowerRequestDone.
struct PowerRequestWait {
    KEVENT Done;
    NTSTATUS Status;
};

NTSTATUS CompletePower(PortExtension* port, PIRP irp, NTSTATUS status) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ReleasePendingHold(port);
    return status;
}

// The lower driver gets a stack location of its own: a request that admission
// held for a restart was marked pending in ours, and a skipped location would
// hand that mark to a bus that answers at once.
NTSTATUS PassDown(PortExtension* port, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    NTSTATUS status = PoCallDriver(port->LowerDevice, irp);
    ReleasePendingHold(port);
    return status;
}

// Sends a system request on with a stack location of its own; used for the
// request whose device request is already settled, or will never be made.
NTSTATUS SendSystemRequestOn(PortExtension* port, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    PoStartNextPowerIrp(irp);
    NTSTATUS status = PoCallDriver(port->LowerDevice, irp);
    ReleasePendingHold(port);
    return status;
}

PIRP TakePendingSystemRequest(PortExtension* port) {
    return static_cast<PIRP>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&port->PendingSystemPowerIrp), nullptr));
}

// The adapter may have been without power: everything the chip holds is sent
// again. Failures are not looked at; each shadow keeps what was asked, so the
// next request of its kind sends it once more.
void RestoreAfterPowerUp(PortExtension* port) {
    if (!ConfigMemoryProgrammed(port))
        WriteDefaultRegisters(port);
    if (port->ControlLineState & kDtrLine)
        SetDtr(port);
    if (port->ControlLineState & kRtsLine)
        SetRts(port);
    // SetBaudRate skips the rate the port already runs at; a detour through the
    // slowest row makes the saved one go out again, and with it the framing the
    // line-coding shadow carries.
    const ULONG baud = port->CurrentBaud;
    SetBaudRate(port, 1);
    SetBaudRate(port, baud);
    if (port->RtsFlowInChip)
        SetRtsFlowInChip(port, true);
    if (port->CtsFlowInChip)
        SetCtsFlowInChip(port, true);
    if (port->DsrFlowInChip)
        SetDsrFlowInChip(port, true);
    // Each reader starts only where none is outstanding or about to be sent
    // again. While a receive hold keeps the bulk-in pipe unread, the release of
    // that hold restarts it: reading now would run past the flow control.
    StartContinuousTransfer(port, StatusIn);
    if (!ReaderHeld(port))
        StartContinuousTransfer(port, BulkIn);
}

// Going to sleep with wake-up armed, the device goes only as deep as it can
// still wake the system from; otherwise D3.
DEVICE_POWER_STATE SleepingDeviceState(const PortExtension* port) {
    const bool wakeArmed = port->WakeEnabled || port->WaitWakeIrp;
    if (wakeArmed && port->DeviceWake >= PowerDeviceD1 && port->DeviceWake < PowerDeviceD3)
        return static_cast<DEVICE_POWER_STATE>(port->DeviceWake);
    return PowerDeviceD3;
}

NTSTATUS SystemSetPower(PortExtension* port, PIRP irp, PIO_STACK_LOCATION sp) {
    const bool waking = sp->Parameters.Power.State.SystemState == PowerSystemWorking;
    const DEVICE_POWER_STATE target = waking ? PowerDeviceD0 : SleepingDeviceState(port);
    // The restore below runs after the system request may have been completed
    // and its hold given back: it keeps the port counted busy on its own.
    if (waking)
        InterlockedIncrement(&port->PendingRequestCount);

    NTSTATUS result;
    bool deviceRequested = false;
    if (target == port->DevicePowerState) {
        result = SendSystemRequestOn(port, irp);
    } else {
        // Answered later, by the device request's callback, in whatever context
        // that runs: the request is pending from here on.
        IoMarkIrpPending(irp);
        KeClearEvent(&port->SystemPowerDeviceDone);
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&port->PendingSystemPowerIrp),
                                   irp);
        POWER_STATE state;
        state.DeviceState = target;
        const NTSTATUS requested =
            PoRequestPowerIrp(port->PhysicalDevice, IRP_MN_SET_POWER, state,
                              SystemPowerContinuation, port->DeviceObject, nullptr);
        if (requested == STATUS_PENDING) {
            deviceRequested = true;
        } else {
            // No callback will come: the system request must not wait for one.
            PIRP waiting = TakePendingSystemRequest(port);
            if (waiting)
                SendSystemRequestOn(port, waiting);
        }
        result = STATUS_PENDING;
    }

    if (waking) {
        // Settings sent before the device is back in D0 could be lost on the way.
        // A device still not there after the wait gets nothing now; the next open
        // sends every setting again.
        if (deviceRequested) {
            LARGE_INTEGER limit;
            limit.QuadPart = -kWakeD0Wait;
            KeWaitForSingleObject(&port->SystemPowerDeviceDone, Executive, KernelMode, FALSE,
                                  &limit);
        }
        if (port->DevicePowerState == PowerDeviceD0)
            RestoreAfterPowerUp(port);
        ReleasePendingHold(port);
    }
    return result;
}

NTSTATUS DeviceSetPower(PortExtension* port, PIRP irp, PIO_STACK_LOCATION sp) {
    const DEVICE_POWER_STATE state = sp->Parameters.Power.State.DeviceState;
    const bool powerUp = state == PowerDeviceD0;
    if (state >= PowerDeviceD1 && state <= PowerDeviceD3) {
        // Recorded before the device leaves D0, so nothing new is sent to it.
        PoSetPowerState(port->DeviceObject, DevicePowerState, sp->Parameters.Power.State);
        port->DevicePowerState = state;
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    if (powerUp)
        IoSetCompletionRoutine(irp, DevicePowerUpComplete, port->DeviceObject, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(irp);
    NTSTATUS status = PoCallDriver(port->LowerDevice, irp);
    // A power-up's hold is given back by its completion routine.
    if (!powerUp)
        ReleasePendingHold(port);
    return status;
}

NTSTATUS QueryPower(PortExtension* port, PIRP irp, PIO_STACK_LOCATION sp) {
    // With wake-up armed, the device must stay where it can still wake the system.
    const bool wakeArmed = port->WakeEnabled || port->WaitWakeIrp;
    if (wakeArmed && sp->Parameters.Power.Type == DevicePowerState &&
        static_cast<ULONG>(sp->Parameters.Power.State.DeviceState) > port->DeviceWake) {
        return CompletePower(port, irp, STATUS_INVALID_DEVICE_STATE);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(port, irp);
}

}  // namespace

void InitializePower(PortExtension* port) {
    port->PendingSystemPowerIrp = nullptr;
    KeInitializeEvent(&port->SystemPowerDeviceDone, NotificationEvent, FALSE);
    port->WaitWakeIrp = nullptr;
    port->WaitWakeOutstanding = 0;
    KeInitializeEvent(&port->WaitWakeEnded, NotificationEvent, TRUE);
}

NTSTATUS NTAPI PowerDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortOf(device);
    NTSTATUS status = AdmitRequest(port, irp);
    // Held for the next start: it is released to the power manager when it is
    // dispatched again, or when it is cancelled meanwhile.
    if (status == STATUS_PENDING)
        return STATUS_PENDING;
    if (status != STATUS_SUCCESS)
        return CompletePower(port, irp, status);

    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == SystemPowerState)
        return SystemSetPower(port, irp, sp);
    if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == DevicePowerState)
        return DeviceSetPower(port, irp, sp);
    if (sp->MinorFunction == IRP_MN_QUERY_POWER)
        return QueryPower(port, irp, sp);
    // The port's own wait-wake request reaches here from inside ArmWaitWake's
    // PoRequestPowerIrp; it is recognised by that, before any party could
    // complete it, and goes down with the completion routine that hands it over.
    if (sp->MinorFunction == IRP_MN_WAIT_WAKE && port->WaitWakeArming && !port->WaitWakeIrp) {
        port->WaitWakeArming = 0;
        InterlockedExchange(&port->WaitWakeCancelFlag, 0);
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&port->WaitWakeIrp), irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, WaitWakeComplete, port, TRUE, TRUE, TRUE);
        status = PoCallDriver(port->LowerDevice, irp);
        ReleasePendingHold(port);
        return status;
    }

    // Wait-wake, power sequence and the rest belong to the bus. Whether the
    // device still needs D0 is read while the request still holds the port.
    const bool needD0 =
        port->SystemPowerState == PowerSystemWorking && port->DevicePowerState != PowerDeviceD0;
    PDEVICE_OBJECT physical = port->PhysicalDevice;
    status = PassDown(port, irp);
    if (needD0)
        RequestDevicePowerD0(physical, port);
    return status;
}

VOID NTAPI SystemPowerContinuation(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                                   PIO_STATUS_BLOCK) {
    PortExtension* port = PortOf(static_cast<PDEVICE_OBJECT>(context));
    PIRP irp = TakePendingSystemRequest(port);
    if (irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        PoStartNextPowerIrp(irp);
        PoCallDriver(port->LowerDevice, irp);
    }
    // Before the hold goes: a wake waits on this with the port in hand.
    KeSetEvent(&port->SystemPowerDeviceDone, IO_NO_INCREMENT, FALSE);
    if (irp)
        ReleasePendingHold(port);
}

// The device is recorded in D0 and the request reported as a success whatever
// the lower drivers answered: a set-power request is not failed upward, and the
// chip requests that follow report their own failures.
NTSTATUS NTAPI DevicePowerUpComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* device = static_cast<PDEVICE_OBJECT>(context);
    PortExtension* port = PortOf(device);
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    port->DevicePowerState = PowerDeviceD0;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    PoSetPowerState(device, DevicePowerState, d0);
    irp->IoStatus.Status = STATUS_SUCCESS;
    ReleasePendingHold(port);
    return STATUS_SUCCESS;
}

NTSTATUS RequestDevicePowerD0(PDEVICE_OBJECT physicalDevice, PortExtension*) {
    PowerRequestWait wait;
    KeInitializeEvent(&wait.Done, SynchronizationEvent, FALSE);
    wait.Status = STATUS_SUCCESS;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    NTSTATUS status =
        PoRequestPowerIrp(physicalDevice, IRP_MN_SET_POWER, d0, PowerRequestDone, &wait, nullptr);
    if (status != STATUS_PENDING)
        return status;
    KeWaitForSingleObject(&wait.Done, Executive, KernelMode, FALSE, nullptr);
    // A request the port turned away (a removal under way) is a failure, not D0.
    return wait.Status;
}

VOID NTAPI PowerRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                            PIO_STATUS_BLOCK ioStatus) {
    auto* wait = static_cast<PowerRequestWait*>(context);
    if (!wait)
        return;
    wait->Status = ioStatus->Status;
    KeSetEvent(&wait->Done, IO_NO_INCREMENT, FALSE);
}

// --- Wait-wake ---------------------------------------------------------------
// The request is the power manager's; the port only holds a pointer to it. A
// canceller and the request's completion may meet on two processors: each
// takes the pointer out with one exchange. The completion that finds it gone
// knows a canceller is at IoCancelIrp, and the cancel flag says which of the two
// came second: that one lets the completion go on, so the request is never
// freed under IoCancelIrp.

NTSTATUS ArmWaitWake(PortExtension* port, SYSTEM_POWER_STATE systemState) {
    if (InterlockedCompareExchange(&port->WaitWakeOutstanding, 1, 0) != 0)
        return STATUS_SUCCESS;
    KeClearEvent(&port->WaitWakeEnded);
    port->WaitWakeStatus = STATUS_PENDING;
    port->WaitWakeArming = 1;
    POWER_STATE state;
    state.SystemState = systemState;
    const NTSTATUS requested = PoRequestPowerIrp(port->PhysicalDevice, IRP_MN_WAIT_WAKE, state,
                                                 WaitWakeDone, port->DeviceObject, nullptr);
    port->WaitWakeArming = 0;
    if (requested != STATUS_PENDING) {
        InterlockedExchange(&port->WaitWakeOutstanding, 0);
        KeSetEvent(&port->WaitWakeEnded, IO_NO_INCREMENT, FALSE);
        return requested;
    }
    // A bus that refused at once has run the callback already.
    const NTSTATUS answered = port->WaitWakeStatus;
    return answered == STATUS_PENDING || NT_SUCCESS(answered) ? STATUS_SUCCESS : answered;
}

void CancelWaitWake(PortExtension* port) {
    PIRP irp = static_cast<PIRP>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&port->WaitWakeIrp), nullptr));
    if (!irp)
        return;
    IoCancelIrp(irp);
    // The completion came first and kept the request for us: let it go on.
    if (InterlockedExchange(&port->WaitWakeCancelFlag, 1) == 1)
        IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void WaitForWaitWakeToEnd(PortExtension* port) {
    if (port->WaitWakeOutstanding)
        KeWaitForSingleObject(&port->WaitWakeEnded, Executive, KernelMode, FALSE, nullptr);
}

NTSTATUS NTAPI WaitWakeComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* port = static_cast<PortExtension*>(context);
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    if (InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&port->WaitWakeIrp),
                                   nullptr) == irp)
        return STATUS_SUCCESS;
    // A canceller has the pointer: the second of us two lets the request go on.
    if (InterlockedExchange(&port->WaitWakeCancelFlag, 1) == 1)
        return STATUS_SUCCESS;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID NTAPI WaitWakeDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                        PIO_STATUS_BLOCK ioStatus) {
    PortExtension* port = PortOf(static_cast<PDEVICE_OBJECT>(context));
    port->WaitWakeStatus = ioStatus->Status;
    // A request that never went down (refused on the way) leaves the pointer
    // unset; one that did was taken out by its completion or its canceller.
    port->WaitWakeArming = 0;
    InterlockedExchange(&port->WaitWakeOutstanding, 0);
    // Last: removal may delete the port as soon as this is signalled.
    KeSetEvent(&port->WaitWakeEnded, IO_NO_INCREMENT, FALSE);
}
