// The names by which applications find a port — COM name, symbolic link,
// SERIALCOMM entry, COM-port device interface — and their removal, and the
// deletion of the port's device object.
#include "driver/driver.h"

#include "usb/usb.h"

namespace {

constexpr USHORT kNameCapacity = 256;      // bytes of text in the two build buffers
constexpr USHORT kPortNameValueBytes = 66;  // 32 characters and the terminator
constexpr ULONG kKeyValueSlack = 24;        // fixed part of the full information, aligned

ULONG TextLength(PCWSTR text, ULONG maxChars) {
    ULONG n = 0;
    while (n < maxChars && text[n] != 0) ++n;
    return n;
}

PWSTR AllocateZeroed(ULONG bytes) {
    auto* p = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, VODREK_POOL_TAG));
    if (p) RtlZeroMemory(p, bytes);
    return p;
}

void FreeString(UNICODE_STRING* s) {
    if (s->Buffer) ExFreePoolWithTag(s->Buffer, VODREK_POOL_TAG);
    s->Buffer = nullptr;
    s->Length = 0;
    s->MaximumLength = 0;
}

// Undoes whatever CreateExternalNames made before it failed.
void UndoPartialNaming(PortExtension* port) {
    FreeString(&port->PortNameValue);
    if (port->LinkCreated) {
        IoDeleteSymbolicLink(&port->SymbolicLinkName);
        port->LinkCreated = 0;
    }
    FreeString(&port->SymbolicLinkName);
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, WIDE("SERIALCOMM"), port->DeviceName.Buffer);
    port->SerialCommWritten = 0;
    if (port->InterfaceLinkName.Buffer) {
        IoSetDeviceInterfaceState(&port->InterfaceLinkName, FALSE);
        // The system allocated it; nothing else would free it once the link is gone.
        RtlFreeUnicodeString(&port->InterfaceLinkName);
    }
    FreeString(&port->WmiPortName);
}

}  // namespace

NTSTATUS ReadDeviceKeyValue(HANDLE key, PCWSTR valueName, PVOID data, ULONG capacity) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    const ULONG infoBytes = name.Length + sizeof(WCHAR) + capacity + kKeyValueSlack;
    auto* info = static_cast<PKEY_VALUE_FULL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, infoBytes, VODREK_POOL_TAG));
    if (!info) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG resultLength = 0;
    NTSTATUS status =
        ZwQueryValueKey(key, &name, KeyValueFullInformation, info, infoBytes, &resultLength);
    if (NT_SUCCESS(status)) {
        if (info->DataLength <= capacity) {
            RtlCopyMemory(data, reinterpret_cast<PUCHAR>(info) + info->DataOffset, info->DataLength);
        } else {
            // Larger than the caller's buffer: a failure, never a half-read value.
            status = STATUS_BUFFER_OVERFLOW;
        }
    }
    ExFreePoolWithTag(info, VODREK_POOL_TAG);
    return status;
}

NTSTATUS CreateExternalNames(PortExtension* port) {
    HANDLE key;
    NTSTATUS status =
        IoOpenDeviceRegistryKey(port->PhysicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (status != STATUS_SUCCESS) return status;

    ULONG skip = 0;
    ReadDeviceKeyValue(key, WIDE("SerialSkipExternalNaming"), &skip, sizeof(skip));
    port->SkipExternalNaming = skip;
    if (skip != 0) {
        ZwClose(key);
        return STATUS_SUCCESS;
    }

    PWSTR linkBuffer = AllocateZeroed(kNameCapacity + sizeof(WCHAR));
    PWSTR comName = AllocateZeroed(kNameCapacity + sizeof(WCHAR));
    if (!linkBuffer || !comName) {
        if (linkBuffer) ExFreePoolWithTag(linkBuffer, VODREK_POOL_TAG);
        if (comName) ExFreePoolWithTag(comName, VODREK_POOL_TAG);
        ZwClose(key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = ReadDeviceKeyValue(key, WIDE("PortName"), comName, kNameCapacity);
    if (!NT_SUCCESS(status)) status = ReadDeviceKeyValue(key, WIDE("Identifier"), comName, kNameCapacity);
    ZwClose(key);

    const ULONG chars = TextLength(comName, kNameCapacity / sizeof(WCHAR));
    UNICODE_STRING link = {0, kNameCapacity, linkBuffer};
    if (NT_SUCCESS(status)) {
        const ULONG wmiBytes = (chars + 1) * sizeof(WCHAR);
        port->WmiPortName.Buffer = AllocateZeroed(wmiBytes);
        if (!port->WmiPortName.Buffer) status = STATUS_INSUFFICIENT_RESOURCES;
        else {
            RtlCopyMemory(port->WmiPortName.Buffer, comName, chars * sizeof(WCHAR));
            port->WmiPortName.Length = static_cast<USHORT>(chars * sizeof(WCHAR));
            port->WmiPortName.MaximumLength = static_cast<USHORT>(wmiBytes);
        }
    }
    if (NT_SUCCESS(status)) {
        RtlAppendUnicodeToString(&link, WIDE("\\"));
        RtlAppendUnicodeToString(&link, WIDE("DosDevices"));
        RtlAppendUnicodeToString(&link, WIDE("\\"));
        status = RtlAppendUnicodeToString(&link, comName);
    }
    if (NT_SUCCESS(status)) {
        port->SymbolicLinkName.Buffer = AllocateZeroed(link.Length + sizeof(WCHAR));
        if (!port->SymbolicLinkName.Buffer) status = STATUS_INSUFFICIENT_RESOURCES;
        else {
            RtlCopyMemory(port->SymbolicLinkName.Buffer, link.Buffer, link.Length);
            port->SymbolicLinkName.Length = link.Length;
            port->SymbolicLinkName.MaximumLength = static_cast<USHORT>(link.Length + sizeof(WCHAR));
        }
    }
    if (NT_SUCCESS(status)) {
        // The SERIALCOMM value holds at most 32 characters; a longer name leaves it empty.
        port->PortNameValue.Buffer = AllocateZeroed(kPortNameValueBytes);
        if (!port->PortNameValue.Buffer) status = STATUS_INSUFFICIENT_RESOURCES;
        else {
            port->PortNameValue.MaximumLength = kPortNameValueBytes;
            if (chars <= 32) {
                RtlCopyMemory(port->PortNameValue.Buffer, comName, chars * sizeof(WCHAR));
                port->PortNameValue.Length = static_cast<USHORT>(chars * sizeof(WCHAR));
            }
        }
    }
    if (NT_SUCCESS(status)) {
        status = IoCreateSymbolicLink(&port->SymbolicLinkName, &port->DeviceName);
        if (NT_SUCCESS(status)) port->LinkCreated = 1;
    }
    if (NT_SUCCESS(status)) {
        status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, WIDE("SERIALCOMM"), port->DeviceName.Buffer,
                                       REG_SZ, port->PortNameValue.Buffer,
                                       port->PortNameValue.Length + sizeof(WCHAR));
        if (NT_SUCCESS(status)) port->SerialCommWritten = 1;
    }
    if (NT_SUCCESS(status)) {
        status = IoRegisterDeviceInterface(port->PhysicalDevice, &GUID_DEVINTERFACE_COMPORT, nullptr,
                                           &port->InterfaceLinkName);
        if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(&port->InterfaceLinkName, TRUE);
    }
    if (!NT_SUCCESS(status)) UndoPartialNaming(port);
    ExFreePoolWithTag(linkBuffer, VODREK_POOL_TAG);
    ExFreePoolWithTag(comName, VODREK_POOL_TAG);
    return status;
}

void UndoExternalNaming(PDEVICE_OBJECT device) {
    PortExtension* port = PortOf(device);
    if (port->ResourceFlags & RESOURCE_HAS_STARTED) {
        if (!(port->ResourceFlags & RESOURCE_WAS_STOPPED)) ReleasePortResources(port);
        IoWMIRegistrationControl(device, WMIREG_ACTION_DEREGISTER);
    }
    if (port->SkipExternalNaming != 0) return;
    if (port->SymbolicLinkName.Buffer && port->LinkCreated) {
        if (port->InterfaceLinkName.Buffer) {
            IoSetDeviceInterfaceState(&port->InterfaceLinkName, FALSE);
            RtlFreeUnicodeString(&port->InterfaceLinkName);
        }
        IoDeleteSymbolicLink(&port->SymbolicLinkName);
        port->LinkCreated = 0;
    }
    FreeString(&port->WmiPortName);
    if (port->DeviceName.Buffer && port->SerialCommWritten) {
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, WIDE("SERIALCOMM"), port->DeviceName.Buffer);
        port->SerialCommWritten = 0;
    }
}

NTSTATUS DeleteDevice(PDEVICE_OBJECT device) {
    PortExtension* port = PortOf(device);
    if (!(port->DeviceStateFlags & DEVICE_STATE_SURPRISE_REMOVED)) UndoExternalNaming(device);
    IoDetachDevice(port->LowerDevice);
    FreeString(&port->DeviceName);
    FreeString(&port->SymbolicLinkName);
    FreeString(&port->PortNameValue);
    ReleaseConfiguration(port);
    IoDeleteDevice(device);
    return STATUS_SUCCESS;
}
