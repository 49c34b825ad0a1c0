// Internal device controls: the codes kernel-mode clients stacked above the
// port send (wake-up from the port, the plain basic configuration and back).
// They need no open handle and never power the device up: a client may send
// them to a sleeping port that no application uses.
#include "control/control.h"

#include "datapath/datapath.h"
#include "driver/driver.h"

namespace {

static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "published layout");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "published layout");
static_assert(sizeof(SERIAL_BASIC_SETTINGS) == 44, "published layout");
static_assert(FIELD_OFFSET(SERIAL_BASIC_SETTINGS, HandFlow) == 20, "published layout");
static_assert(FIELD_OFFSET(SERIAL_BASIC_SETTINGS, RxFifo) == 36, "published layout");
static_assert(FIELD_OFFSET(SERIAL_BASIC_SETTINGS, TxFifo) == 40, "published layout");

// Wake-up is possible when some sleeping state keeps the device in a state it
// can still wake the system from; the wait-wake request names the deepest
// sleeping state the bus says the device wakes from, or else that one.
NTSTATUS DoWaitWake(PortExtension* port) {
    for (int state = PowerSystemSleeping1; state <= PowerSystemShutdown; ++state) {
        const ULONG deviceState = port->PowerStateMap[state];
        if (deviceState < PowerDeviceD1 || deviceState > port->DeviceWake)
            continue;
        const SYSTEM_POWER_STATE wakeFrom =
            port->SystemWake >= PowerSystemSleeping1 && port->SystemWake <= PowerSystemShutdown
                ? static_cast<SYSTEM_POWER_STATE>(port->SystemWake)
                : static_cast<SYSTEM_POWER_STATE>(state);
        // Wake-up counts as enabled only when the bus holds a request that
        // can end in one.
        const NTSTATUS armed = ArmWaitWake(port, wakeFrom);
        if (NT_SUCCESS(armed))
            port->WakeEnabled = 1;
        return armed;
    }
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS CancelWake(PortExtension* port) {
    port->WakeEnabled = 0;
    CancelWaitWake(port);
    return STATUS_SUCCESS;
}

NTSTATUS BasicSettings(PortExtension* port, PIRP irp, ULONG outputLength) {
    auto* record = static_cast<SERIAL_BASIC_SETTINGS*>(irp->AssociatedIrp.SystemBuffer);
    if (!record)
        return STATUS_INVALID_PARAMETER;
    if (outputLength < sizeof(SERIAL_BASIC_SETTINGS))
        return STATUS_BUFFER_TOO_SMALL;
    SERIAL_BASIC_SETTINGS current;
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&port->ControlLock);
    current.Timeouts = port->Timeouts;
    current.HandFlow = port->HandFlow;
    KeReleaseSpinLock(&port->ControlLock, irql);
    current.RxFifo = port->RxFifoSetting;
    current.TxFifo = port->TxFifoSetting;
    RtlCopyMemory(record, &current, sizeof(current));
    irp->IoStatus.Information = sizeof(SERIAL_BASIC_SETTINGS);

    // No time-outs, no handshake, no flow control: DTR and RTS go down.
    SERIAL_TIMEOUTS noTimeouts;
    RtlZeroMemory(&noTimeouts, sizeof(noTimeouts));
    SERIAL_HANDFLOW noFlow;
    RtlZeroMemory(&noFlow, sizeof(noFlow));
    InstallTimeouts(port, noTimeouts);
    InstallHandFlow(port, noFlow);
    return STATUS_SUCCESS;
}

// The record comes from a client, not necessarily from BASIC_SETTINGS: it is
// held to the checks SET_TIMEOUTS and SET_HANDFLOW apply, and a refused record
// changes nothing. The FIFO values are not applied.
NTSTATUS RestoreSettings(PortExtension* port, PIRP irp, ULONG inputLength) {
    const auto* record = static_cast<const SERIAL_BASIC_SETTINGS*>(irp->AssociatedIrp.SystemBuffer);
    if (!record)
        return STATUS_INVALID_PARAMETER;
    if (inputLength < sizeof(SERIAL_BASIC_SETTINGS))
        return STATUS_BUFFER_TOO_SMALL;
    SERIAL_BASIC_SETTINGS given;
    RtlCopyMemory(&given, record, sizeof(given));
    if (!TimeoutsAcceptable(given.Timeouts) || !HandFlowAcceptable(port, given.HandFlow))
        return STATUS_INVALID_PARAMETER;
    InstallTimeouts(port, given.Timeouts);
    InstallHandFlow(port, given.HandFlow);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortOf(device);
    NTSTATUS status;
    if (!AdmitOrAnswer(port, irp, &status))
        return status;
    if (RejectOnErrorAbort(port, irp) != STATUS_SUCCESS)
        return STATUS_CANCELLED;

    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE:
            status = DoWaitWake(port);
            break;
        case IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE:
            status = CancelWake(port);
            break;
        case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS:
            status = BasicSettings(port, irp, sp->Parameters.DeviceIoControl.OutputBufferLength);
            break;
        case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS:
            status = RestoreSettings(port, irp, sp->Parameters.DeviceIoControl.InputBufferLength);
            break;
        default:
            status = STATUS_INVALID_PARAMETER;
            break;
    }
    return CompleteNow(port, irp, status);
}
