// Device configuration at start: which chip variant this is, which interfaces
// carry the pipes, and whether a newer chip answers at all.
#include "usb/usb.h"

#include "control/control.h"

namespace {

constexpr ULONG kDeviceDescriptorLength = sizeof(USB_DEVICE_DESCRIPTOR);
constexpr ULONG kConfigHeaderLength = sizeof(USB_CONFIGURATION_DESCRIPTOR);
static_assert(kDeviceDescriptorLength == 18, "device descriptor");
static_assert(kConfigHeaderLength == 9, "configuration descriptor header");

// The chip-type rules, first match decides: the communications class marks the
// oldest variant whatever its packet size; a 64-byte endpoint 0 the newer group.
struct ChipTypeRule {
    UCHAR Offset;  // byte of the device descriptor
    UCHAR Value;
    LONG ChipType;
};
constexpr ChipTypeRule kChipTypeRules[] = {
    {4, 0x02, 0},  // bDeviceClass: communications
    {7, 0x40, 2},  // bMaxPacketSize0: 64
    {4, 0x00, 1},  // bDeviceClass: per interface
    {4, 0xFF, 1},  // bDeviceClass: vendor specific
};

// Refinements of type 2, both tried in order: a later match wins.
struct StringRefinement {
    UCHAR StringIndex;
    UCHAR Offset;  // byte of the string descriptor
    UCHAR Value;
    LONG ChipType;
};
constexpr StringRefinement kRefinements[] = {
    {2, 46, 0x43, 3},  // 'C' as the 23rd character of string 2
    {1, 50, 0x20, 4},  // a space as the 25th character of string 1
};
constexpr ULONG kStringReadLength = 64;

// What interfaces 0 and 1 of a two-interface device must be, by chip type.
struct InterfaceCriteria {
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
};
struct CriteriaRow {
    InterfaceCriteria Interface[2];
};
constexpr CriteriaRow kCriteriaRows[2] = {
    {{{0x02, 0x02, 0xFF}, {0x0A, 0x00, 0x00}}},  // chip type 0
    {{{0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}}},  // chip type 1 and above
};

constexpr USHORT kEchoValue = 0x00AA;

void ReplaceBuffer(PVOID* slot, PVOID buffer) {
    if (*slot)
        ExFreePoolWithTag(*slot, VODREK_POOL_TAG);
    *slot = buffer;
}

// A copy of the interface information the bus answered, sized by its Length;
// refused when the record is too short for the pipes it claims, since the pipes
// are later read by position.
NTSTATUS KeepInterfaceCopy(PUSBD_INTERFACE_INFORMATION* slot,
                           const USBD_INTERFACE_INFORMATION* answered) {
    const ULONG length = answered->Length;
    const ULONG pipesEnd = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) +
                           answered->NumberOfPipes * sizeof(USBD_PIPE_INFORMATION);
    if (length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) || length < pipesEnd) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPool, length, VODREK_POOL_TAG));
    if (!copy)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(copy, answered, length);
    ReplaceBuffer(reinterpret_cast<PVOID*>(slot), copy);
    return STATUS_SUCCESS;
}

// A string descriptor that cannot be read, or is too short to hold the byte,
// refines nothing.
void RefineChipType(PortExtension* port) {
    if (port->ChipType != 2)
        return;
    for (const StringRefinement& refinement : kRefinements) {
        UCHAR text[kStringReadLength];
        RtlZeroMemory(text, sizeof text);
        text[0] = refinement.StringIndex;
        ULONG returned = 0;
        NTSTATUS status = ChipGetStringDescriptor(port, text, sizeof text, &returned);
        if (NT_SUCCESS(status) && returned > refinement.Offset &&
            text[refinement.Offset] == refinement.Value) {
            port->ChipType = refinement.ChipType;
        }
    }
}

// Reads the whole configuration descriptor into a new buffer.
NTSTATUS ReadConfiguration(PortExtension* port, PUSB_CONFIGURATION_DESCRIPTOR* config) {
    USB_CONFIGURATION_DESCRIPTOR header;
    RtlZeroMemory(&header, sizeof header);
    ULONG returned = 0;
    NTSTATUS status = ChipGetConfigDescriptor(port, &header, kConfigHeaderLength, &returned);
    if (!NT_SUCCESS(status))
        return status;
    // The parsers walk the descriptor by its own lengths: it must be whole.
    const ULONG total = header.wTotalLength;
    if (returned < kConfigHeaderLength || total < kConfigHeaderLength) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    auto* whole = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, total, VODREK_POOL_TAG));
    if (!whole)
        return STATUS_NO_MEMORY;
    RtlZeroMemory(whole, total);
    status = ChipGetConfigDescriptor(port, whole, total, &returned);
    if (NT_SUCCESS(status) && returned < total)
        status = STATUS_DEVICE_DATA_ERROR;
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(whole, VODREK_POOL_TAG);
        return status;
    }
    *config = whole;
    return STATUS_SUCCESS;
}

}  // namespace

LONG ChipTypeFromDeviceDescriptor(const UCHAR descriptor[18], LONG current) {
    for (const ChipTypeRule& rule : kChipTypeRules) {
        if (descriptor[rule.Offset] == rule.Value)
            return rule.ChipType;
    }
    return current;
}

NTSTATUS ConfigureDevice(PDEVICE_OBJECT device) {
    PortExtension* port = PortOf(device);
    // A restart selects the configuration again, which replaces the interface
    // copies every transfer takes its pipe from, and closes the pipes themselves.
    // Readers a wake started while the device was stopped would go on
    // resubmitting from them: every transfer is stopped, and its completion has
    // run, before anything is read or replaced.
    StopTransfersAndWait(port);
    auto* descriptor = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, kDeviceDescriptorLength, VODREK_POOL_TAG));
    if (!descriptor)
        return STATUS_NO_MEMORY;
    // Zeroed: a short answer leaves zeros, never stale pool, in the bytes the
    // rules look at.
    RtlZeroMemory(descriptor, kDeviceDescriptorLength);
    ULONG returned = 0;
    NTSTATUS status = ChipGetDeviceDescriptor(port, descriptor, kDeviceDescriptorLength, &returned);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(descriptor, VODREK_POOL_TAG);
        return status;
    }
    // Each start reads it again; the copy of an earlier start goes.
    ReplaceBuffer(reinterpret_cast<PVOID*>(&port->DeviceDescriptorCopy), descriptor);

    port->ChipType = ChipTypeFromDeviceDescriptor(descriptor, port->ChipType);
    port->ForceRegister0 = 0;
    RefineChipType(port);

    PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;
    status = ReadConfiguration(port, &config);
    if (!NT_SUCCESS(status))
        return status;
    if (config->bNumInterfaces == 0) {
        ExFreePoolWithTag(config, VODREK_POOL_TAG);
        return STATUS_INVALID_PARAMETER;
    }
    if (config->bNumInterfaces == 1)
        port->SingleInterface = 1;
    status = port->SingleInterface ? SelectSingleInterface(device, config)
                                   : SelectTwoInterfaces(device, config);
    ExFreePoolWithTag(config, VODREK_POOL_TAG);
    if (!NT_SUCCESS(status))
        return status;

    port->SystemPowerState = PowerSystemWorking;
    if (port->ChipType >= 2)
        return ChipEchoTest(device);
    return status;
}

NTSTATUS SelectSingleInterface(PDEVICE_OBJECT device, PUSB_CONFIGURATION_DESCRIPTOR config) {
    PortExtension* port = PortOf(device);
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(config, &size);
    if (!urb)
        return STATUS_INSUFFICIENT_RESOURCES;
    // Not reached in practice: a descriptor without an interface descriptor to
    // find already made USBD_CreateConfigurationRequest above fail (fuzzed
    // descriptors never got here). Kept for a bus library that parses otherwise.
    if (!USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1)) {
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = size;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = config;
    NTSTATUS status = SubmitUrbSync(device, urb);
    if (NT_SUCCESS(status)) {
        status = KeepInterfaceCopy(&port->InterfaceInfo0, &urb->UrbSelectConfiguration.Interface);
    }
    ExFreePool(urb);
    return status;
}

NTSTATUS SelectTwoInterfaces(PDEVICE_OBJECT device, PUSB_CONFIGURATION_DESCRIPTOR config) {
    PortExtension* port = PortOf(device);
    // A chip not recognised yet is treated as the newer kind of two-interface
    // device: only chip type 0 uses the communications-class criteria.
    const CriteriaRow& row = kCriteriaRows[port->ChipType == 0 ? 0 : 1];
    const ULONG entries = config->bNumInterfaces + 1u;
    const ULONG listSize = entries * sizeof(USBD_INTERFACE_LIST_ENTRY);
    auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        ExAllocatePoolWithTag(NonPagedPool, listSize, VODREK_POOL_TAG));
    if (!list)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(list, listSize);
    for (LONG number = 0; number < 2; ++number) {
        const InterfaceCriteria& wanted = row.Interface[number];
        list[number].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
            config, config, number, 0, wanted.Class, wanted.SubClass, wanted.Protocol);
    }
    // Without both interfaces the selection could not tell us the pipes the
    // port needs: the device is not one this driver can run, and the start fails.
    if (!list[0].InterfaceDescriptor || !list[1].InterfaceDescriptor) {
        ExFreePoolWithTag(list, VODREK_POOL_TAG);
        return STATUS_DEVICE_DATA_ERROR;
    }
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    if (!urb) {
        ExFreePoolWithTag(list, VODREK_POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = SubmitUrbSync(device, urb);
    // Only a configuration that was selected has pipes worth keeping.
    if (NT_SUCCESS(status))
        status = KeepInterfaceCopy(&port->InterfaceInfo0, list[0].Interface);
    if (NT_SUCCESS(status))
        status = KeepInterfaceCopy(&port->InterfaceInfo1, list[1].Interface);
    ExFreePool(urb);
    ExFreePoolWithTag(list, VODREK_POOL_TAG);
    return status;
}

NTSTATUS ChipEchoTest(PDEVICE_OBJECT device) {
    PortExtension* port = PortOf(device);
    NTSTATUS status = ChipWriteRegister06(port, kEchoValue);
    if (!NT_SUCCESS(status))
        return status;
    status = ChipCheckRegister06(port);
    if (!NT_SUCCESS(status))
        return status;
    return ChipWriteRegister06(port, 0);
}

void ReleaseConfiguration(PortExtension* port) {
    ReplaceBuffer(reinterpret_cast<PVOID*>(&port->DeviceDescriptorCopy), nullptr);
    ReplaceBuffer(reinterpret_cast<PVOID*>(&port->InterfaceInfo0), nullptr);
    ReplaceBuffer(reinterpret_cast<PVOID*>(&port->InterfaceInfo1), nullptr);
}
