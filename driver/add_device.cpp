// Creation of a port's device object.
#include "driver/driver.h"

void InitializePortExtension(PDEVICE_OBJECT device, PortExtension* port) {
    port->DeviceObject = device;
    port->PendingRequestCount = 1;
    port->DeferredWorkCount = 1;
    port->DevicePowerState = PowerDeviceD0;
    port->ChipType = -1;
    InitializeListHead(&port->StalledQueue);
    InitializeListHead(&port->ReadQueue);
    InitializeListHead(&port->WriteQueue);
    InitializeListHead(&port->MaskQueue);
    InitializeListHead(&port->PurgeQueue);
    ExInitializeFastMutex(&port->OpenStateMutex);
    KeInitializeEvent(&port->PendingRequestsDone, SynchronizationEvent, FALSE);
    KeInitializeEvent(&port->DeferredWorkDone, SynchronizationEvent, FALSE);
    KeInitializeEvent(&port->LowerCompletionEvent, SynchronizationEvent, FALSE);
    // Spin locks are initialised once, here: a restart must never re-initialise a
    // lock that another path may hold.
    KeInitializeSpinLock(&port->ControlLock);
    KeInitializeSpinLock(&port->DeviceStateLock);
    KeInitializeSpinLock(&port->FillLock);
}
