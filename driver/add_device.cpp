// Creation of a port's device object: its name, its extension's starting state,
// and its place on the adapter's device stack.
#include "driver/driver.h"

#include "datapath/datapath.h"
#include "usb/usb.h"

namespace {

constexpr USHORT kNameCapacity = 256;  // bytes of name text; the buffer has 2 more

// Creates "\Device\CorvantiSerial<n>" with the next number. A name already in use
// (left behind by another driver, say) moves on to the next number; any other
// failure is the answer.
NTSTATUS CreatePortDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT* deviceOut) {
    for (;;) {
        auto* nameBuffer = static_cast<PWSTR>(
            ExAllocatePoolWithTag(PagedPool, kNameCapacity + sizeof(WCHAR), VODREK_POOL_TAG));
        if (!nameBuffer) return STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(nameBuffer, kNameCapacity + sizeof(WCHAR));
        UNICODE_STRING name = {0, kNameCapacity, nameBuffer};
        WCHAR numberBuffer[20];
        UNICODE_STRING number = {0, sizeof(numberBuffer), numberBuffer};
        RtlAppendUnicodeToString(&name, WIDE("\\Device\\CorvantiSerial"));
        RtlIntegerToUnicodeString(NextDeviceNumber, 10, &number);
        RtlAppendUnicodeStringToString(&name, &number);
        NextDeviceNumber++;

        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoCreateDevice(driverObject, sizeof(PortExtension), &name,
                                         FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, TRUE,
                                         &device);
        if (status == STATUS_OBJECT_NAME_COLLISION) {
            ExFreePoolWithTag(nameBuffer, VODREK_POOL_TAG);
            continue;
        }
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(nameBuffer, VODREK_POOL_TAG);
            return status;
        }

        PortExtension* port = PortOf(device);
        RtlZeroMemory(port, sizeof(PortExtension));
        InitializePortExtension(device, port);
        auto* deviceName = static_cast<PWSTR>(
            ExAllocatePoolWithTag(PagedPool, name.Length + sizeof(WCHAR), VODREK_POOL_TAG));
        if (!deviceName) {
            ExFreePoolWithTag(nameBuffer, VODREK_POOL_TAG);
            IoDeleteDevice(device);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(deviceName, name.Length + sizeof(WCHAR));
        RtlCopyMemory(deviceName, name.Buffer, name.Length);
        port->DeviceName.Buffer = deviceName;
        port->DeviceName.Length = name.Length;
        port->DeviceName.MaximumLength = static_cast<USHORT>(name.Length + sizeof(WCHAR));

        device->Flags &= ~DO_DEVICE_INITIALIZING;
        ExFreePoolWithTag(nameBuffer, VODREK_POOL_TAG);
        *deviceOut = device;
        return STATUS_SUCCESS;
    }
}

}  // namespace

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
    // Timers and DPCs likewise: a start must not re-initialise one that is armed
    // or queued.
    InitializeDeferredWork(port);
    InitializeTransfers(port);
    InitializePower(port);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDevice) {
    if (!physicalDevice) return STATUS_NO_MORE_ENTRIES;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = CreatePortDevice(driverObject, &device);
    if (!NT_SUCCESS(status)) return status;

    PortExtension* port = PortOf(device);
    port->PhysicalDevice = physicalDevice;
    port->LowerDevice = IoAttachDeviceToDeviceStack(device, physicalDevice);
    if (!port->LowerDevice) {
        // The stack is going away under us: without a lower device the port could
        // never pass a request on.
        ExFreePoolWithTag(port->DeviceName.Buffer, VODREK_POOL_TAG);
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    return status;
}
