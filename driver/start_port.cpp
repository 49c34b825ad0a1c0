// The port's own part of a start: defaults, timers and DPCs, the settings sent
// to the chip, first-start naming and registrations, and the requests held while
// a stop was pending.
#include "driver/driver.h"

#include "control/control.h"
#include "datapath/datapath.h"
#include "usb/usb.h"

START_CODE NTSTATUS StartPort(PDEVICE_OBJECT device) {
    PAGED_CODE();
    PortExtension* port = PortOf(device);
    NTSTATUS status = STATUS_SUCCESS;

    if ((port->ResourceFlags & RESOURCE_WAS_STOPPED) && (port->ResourceFlags & RESOURCE_HAS_STARTED)) {
        UpdateStateFlags(port, &port->ResourceFlags, RESOURCE_WAS_STOPPED, FALSE);
        port->PnpState = Restarting;
    }

    // Spin locks, timers and DPCs were initialised once, with the device object:
    // a stop released the timers and DPCs, and an open after a cancelled removal
    // may have armed them again.
    WriteDefaultSettings(port);
    InitializeReceiveDefaults(port);

    ApplyAllSettings(port);
    port->DeviceIsOpen = 0;
    ClearRts(port);
    ClearDtr(port);

    const bool firstStart = port->PnpState == NeverStarted;
    if (firstStart) {
        // A port without external names still works; only a success status is kept.
        NTSTATUS naming = CreateExternalNames(port);
        if (NT_SUCCESS(naming)) status = naming;
    }

    InitializeWmiRecords(port);

    if (firstStart) {
        IoGetConfigurationInformation()->SerialCount++;
        RegisterWithWmi(port);
    }

    if (port->PnpState == Restarting) RedispatchStalled(port);

    port->PnpState = Started;
    UpdateStateFlags(port, &port->DeviceStateFlags, ~0u, FALSE);
    UpdateStateFlags(port, &port->ResourceFlags, RESOURCE_HAS_STARTED, TRUE);
    return status;
}
