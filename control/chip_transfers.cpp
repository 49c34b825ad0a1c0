// The chip control transfers: one USB request each, sent and waited for, for the
// vendor device controls, the line settings and the chip setup.
#include "control/control.h"

#include "usb/usb.h"

namespace {

constexpr UCHAR kVendorRequest = 0x01;
constexpr UCHAR kSetControlLineState = 0x22;
constexpr USHORT kEnglishUs = 0x0409;
constexpr UCHAR kReadFlag = 0x80;
// Members without a gate accept every chip type, the undetected one included.
constexpr LONG kAnyChip = -1;
// The configuration memory interface. Register 3: writing stores its data byte
// (high byte of wIndex) at the address in the low byte; reading answers the
// byte at the selected address. Register 4: writing selects an address;
// reading answers the busy flag (bit 0).
constexpr UCHAR kConfigDataRegister = 0x03;
constexpr UCHAR kConfigAddressRegister = 0x04;
constexpr UCHAR kEchoValue = 0xAA;
// The wait before each look at the busy flag.
constexpr LONGLONG kBusyPollDelay = 5 * 10'000LL;

// The register in both bytes of wValue, as the chip's vendor protocol wants it.
constexpr USHORT Wrapped(UCHAR code) {
    return static_cast<USHORT>(code << 8 | code);
}

void SetReturned(ULONG* returned, ULONG value) {
    if (returned)
        *returned = value;
}

// The bytes a transfer moved, as the bus reports them, never more than the
// buffer it was given: a device control answers this count as its Information,
// and a larger one would have the I/O manager copy past the caller's buffer.
ULONG MovedWithin(ULONG reported, ULONG length) {
    return reported < length ? reported : length;
}

NTSTATUS SendVendor(PortExtension* port, USHORT value, USHORT index, ULONG flags, PVOID buffer,
                    ULONG length, ULONG* returned) {
    SetReturned(returned, 0);
    PURB urb = AllocateControlRequest(URB_FUNCTION_VENDOR_DEVICE, kVendorRequest, value, index,
                                      flags, buffer, length);
    if (!urb)
        return STATUS_NO_MEMORY;
    NTSTATUS status = SubmitUrbSync(port->DeviceObject, urb);
    SetReturned(returned,
                MovedWithin(urb->UrbControlVendorClassRequest.TransferBufferLength, length));
    FreeUrb(urb);
    return status;
}

NTSTATUS WriteWrapped(PortExtension* port, UCHAR reg, USHORT index, LONG minimumChipType) {
    if (port->ChipType < minimumChipType)
        return STATUS_NOT_SUPPORTED;
    return SendVendor(port, Wrapped(reg), index, USBD_TRANSFER_DIRECTION_OUT, nullptr, 0, nullptr);
}

// Reads `moves` bytes of a register into the start of the caller's buffer.
NTSTATUS ReadWrapped(PortExtension* port, UCHAR reg, ULONG moves, PVOID buffer, ULONG length,
                     ULONG* returned, LONG minimumChipType) {
    SetReturned(returned, 0);
    if (port->ChipType < minimumChipType)
        return STATUS_NOT_SUPPORTED;
    if (!buffer)
        return STATUS_NO_MEMORY;
    if (length < moves)
        return STATUS_BUFFER_TOO_SMALL;
    return SendVendor(port, Wrapped(static_cast<UCHAR>(reg | kReadFlag)), 0,
                      USBD_TRANSFER_DIRECTION_IN, buffer, moves, returned);
}

// Registers 0E and 0F report the caller's whole output length on success; the
// bytes the chip did not supply are zeroed so that such a reply carries nothing
// stale.
NTSTATUS ReplyWholeOutput(NTSTATUS status, PVOID buffer, ULONG outputLength, ULONG supplied,
                          ULONG* count) {
    if (!NT_SUCCESS(status)) {
        SetReturned(count, 0);
        return status;
    }
    if (buffer && outputLength > supplied) {
        RtlZeroMemory(static_cast<PUCHAR>(buffer) + supplied, outputLength - supplied);
    }
    SetReturned(count, outputLength);
    return status;
}

NTSTATUS ReadSmallRegister(PortExtension* port, UCHAR reg, PVOID buffer, ULONG outputLength,
                           ULONG* count) {
    ULONG moved = 0;
    NTSTATUS status = ReadWrapped(port, reg, 1, buffer, outputLength, &moved, 3);
    return ReplyWholeOutput(status, buffer, outputLength, moved, count);
}

NTSTATUS WriteSmallRegister(PortExtension* port, UCHAR reg, USHORT value, PVOID buffer,
                            ULONG outputLength, ULONG* count) {
    NTSTATUS status = WriteWrapped(port, reg, value, 3);
    return ReplyWholeOutput(status, buffer, outputLength, 0, count);
}

NTSTATUS GetDescriptor(PortExtension* port, UCHAR type, UCHAR index, USHORT language, PVOID buffer,
                       ULONG length, ULONG* returned) {
    SetReturned(returned, 0);
    PURB urb = AllocateUrb(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                           sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
    if (!urb)
        return STATUS_NO_MEMORY;
    _URB_CONTROL_DESCRIPTOR_REQUEST& r = urb->UrbControlDescriptorRequest;
    r.TransferBufferLength = length;
    r.TransferBuffer = buffer;
    r.TransferBufferMDL = nullptr;
    r.UrbLink = nullptr;
    r.Index = index;
    r.DescriptorType = type;
    r.LanguageId = language;
    NTSTATUS status = SubmitUrbSync(port->DeviceObject, urb);
    SetReturned(returned, MovedWithin(r.TransferBufferLength, length));
    FreeUrb(urb);
    return status;
}

// A raw transfer on the pipe at `position` of interface 0.
//
// The missing-buffer answers of this routine and the ones below are for direct
// callers: a device control reaches them only after the dispatch's buffer check
// (CheckBuffer), which refuses a request without a buffer before any of them runs.
NTSTATUS PipeTransfer(PortExtension* port, ULONG position, ULONG flags, PVOID buffer, ULONG length,
                      ULONG* returned) {
    SetReturned(returned, 0);
    if (!buffer) {
        return (flags & USBD_TRANSFER_DIRECTION_IN) ? STATUS_NO_MEMORY : STATUS_INVALID_PARAMETER;
    }
    const USBD_INTERFACE_INFORMATION* info = port->InterfaceInfo0;
    if (!info || position >= info->NumberOfPipes)
        return STATUS_INVALID_DEVICE_STATE;
    PURB urb = AllocateUrb(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
                           sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
    if (!urb)
        return STATUS_NO_MEMORY;
    _URB_BULK_OR_INTERRUPT_TRANSFER& r = urb->UrbBulkOrInterruptTransfer;
    r.PipeHandle = info->Pipes[position].PipeHandle;
    r.TransferFlags = flags;
    r.TransferBufferLength = length;
    r.TransferBuffer = buffer;
    r.TransferBufferMDL = nullptr;
    r.UrbLink = nullptr;
    NTSTATUS status = SubmitUrbSync(port->DeviceObject, urb);
    SetReturned(returned, MovedWithin(r.TransferBufferLength, length));
    // The port's own pipes: a stall here halts them for the port's transfers too.
    NoteHaltedPipe(port, r.PipeHandle, urb->UrbHeader.Status);
    FreeUrb(urb);
    return status;
}

// Polls until the chip clears its busy flag, a bounded number of times: a chip
// that never does must not hold the caller for ever.
NTSTATUS WaitConfigMemoryReady(PortExtension* port) {
    for (ULONG poll = 0; poll < kConfigMemoryBusyPolls; ++poll) {
        if (!ChipConfigMemoryBusy(port))
            return STATUS_SUCCESS;
    }
    return STATUS_IO_TIMEOUT;
}

}  // namespace

NTSTATUS ChipGetDeviceDescriptor(PortExtension* port, PVOID buffer, ULONG length, ULONG* returned) {
    SetReturned(returned, 0);
    if (!buffer)
        return STATUS_NO_MEMORY;
    if (length < sizeof(USB_DEVICE_DESCRIPTOR))
        return STATUS_BUFFER_TOO_SMALL;
    return GetDescriptor(port, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer,
                         sizeof(USB_DEVICE_DESCRIPTOR), returned);
}

NTSTATUS ChipGetConfigDescriptor(PortExtension* port, PVOID buffer, ULONG length, ULONG* returned) {
    SetReturned(returned, 0);
    if (!buffer)
        return STATUS_NO_MEMORY;
    return GetDescriptor(port, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, length, returned);
}

NTSTATUS ChipGetStringDescriptor(PortExtension* port, PVOID buffer, ULONG length, ULONG* returned) {
    SetReturned(returned, 0);
    if (!buffer)
        return STATUS_NO_MEMORY;
    // The index is read from the buffer, so the buffer must hold at least that byte.
    if (length < 1)
        return STATUS_BUFFER_TOO_SMALL;
    const UCHAR index = *static_cast<PUCHAR>(buffer);
    return GetDescriptor(port, USB_STRING_DESCRIPTOR_TYPE, index, kEnglishUs, buffer, length,
                         returned);
}

NTSTATUS ChipVendorWrite(PortExtension* port, USHORT value, USHORT index) {
    return SendVendor(port, value, index, USBD_TRANSFER_DIRECTION_OUT, nullptr, 0, nullptr);
}

NTSTATUS ChipVendorRead(PortExtension* port, USHORT value, PVOID buffer, ULONG length,
                        ULONG* returned) {
    SetReturned(returned, 0);
    if (!buffer)
        return STATUS_NO_MEMORY;
    if (length < 1)
        return STATUS_BUFFER_TOO_SMALL;
    return SendVendor(port, value, 0, USBD_TRANSFER_DIRECTION_IN, buffer, 1, returned);
}

NTSTATUS ChipReadFirstPipe(PortExtension* port, PVOID buffer, ULONG length, ULONG* returned) {
    return PipeTransfer(port, 0, USBD_TRANSFER_DIRECTION_IN, buffer, length, returned);
}

NTSTATUS ChipWriteSecondPipe(PortExtension* port, const void* data, ULONG length) {
    return PipeTransfer(port, 1, USBD_TRANSFER_DIRECTION_OUT, const_cast<PVOID>(data), length,
                        nullptr);
}

NTSTATUS ChipReadThirdPipe(PortExtension* port, PVOID buffer, ULONG length, ULONG* returned) {
    return PipeTransfer(port, 2, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                        length, returned);
}

NTSTATUS ChipSetControlLineState(PortExtension* port, USHORT value) {
    PURB urb = AllocateControlRequest(URB_FUNCTION_CLASS_INTERFACE, kSetControlLineState, value, 0,
                                      USBD_TRANSFER_DIRECTION_OUT, nullptr, 0);
    if (!urb)
        return STATUS_NO_MEMORY;
    NTSTATUS status = SubmitUrbSync(port->DeviceObject, urb);
    FreeUrb(urb);
    return status;
}

bool ChipConfigMemoryBusy(PortExtension* port) {
    LARGE_INTEGER delay;
    delay.QuadPart = -kBusyPollDelay;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    UCHAR flags = 0;
    NTSTATUS status = SendVendor(port, Wrapped(kConfigAddressRegister | kReadFlag), 0,
                                 USBD_TRANSFER_DIRECTION_IN, &flags, 1, nullptr);
    return NT_SUCCESS(status) && (flags & 0x01) != 0;
}

NTSTATUS ChipWriteConfigMemory(PortExtension* port, const UCHAR* input, ULONG inputLength) {
    if (!input)
        return STATUS_INVALID_PARAMETER;
    if (inputLength < 2)
        return STATUS_SUCCESS;
    const UCHAR start = input[0];
    const ULONG count = inputLength - 1;
    NTSTATUS status = STATUS_SUCCESS;
    // Bounded by the byte count: a run past address 0xFF wraps in the chip's 8-bit
    // address and reaches some addresses twice, as the chip's interface implies.
    for (ULONG k = 0; k < count; ++k) {
        status = WaitConfigMemoryReady(port);
        if (!NT_SUCCESS(status))
            return status;
        const UCHAR address = static_cast<UCHAR>(start + k);
        const USHORT index = static_cast<USHORT>(input[1 + k] << 8 | address);
        status = ChipVendorWrite(port, Wrapped(kConfigDataRegister), index);
        // Going on after a failure would answer success for a memory that does
        // not hold what the caller wrote.
        if (!NT_SUCCESS(status))
            return status;
    }
    return status;
}

NTSTATUS ChipReadConfigMemory(PortExtension* port, USHORT address, PUCHAR buffer, ULONG length,
                              ULONG* count) {
    SetReturned(count, 0);
    if (!buffer)
        return STATUS_NO_MEMORY;
    if (length == 0)
        return STATUS_SUCCESS;
    for (ULONG k = 0; k < length; ++k) {
        NTSTATUS status = WaitConfigMemoryReady(port);
        if (!NT_SUCCESS(status))
            return status;
        // A failed select would make the read below return another address's byte.
        status = ChipVendorWrite(port, Wrapped(kConfigAddressRegister),
                                 static_cast<USHORT>(address + k));
        if (!NT_SUCCESS(status))
            return status;
        status = WaitConfigMemoryReady(port);
        if (!NT_SUCCESS(status))
            return status;
        ULONG moved = 0;
        status = SendVendor(port, Wrapped(kConfigDataRegister | kReadFlag), 0,
                            USBD_TRANSFER_DIRECTION_IN, buffer + k, 1, &moved);
        if (!NT_SUCCESS(status))
            return status;
        if (moved != 1)
            return STATUS_DEVICE_DATA_ERROR;
    }
    SetReturned(count, length);
    return STATUS_SUCCESS;
}

NTSTATUS ChipWriteXonXoff(PortExtension* port, UCHAR xonChar, UCHAR xoffChar) {
    return WriteWrapped(port, 0x05, static_cast<USHORT>(xoffChar << 8 | xonChar), 2);
}

NTSTATUS ChipWriteRegister8Or9(PortExtension* port, ULONG argument) {
    return WriteWrapped(port, (argument & 0xFF) ? 0x09 : 0x08, 0, 2);
}

NTSTATUS ChipWriteRegister0B(PortExtension* port, ULONG argument) {
    return WriteWrapped(port, 0x0B, static_cast<USHORT>(argument & 0xFF), 2);
}

NTSTATUS ChipWriteRegister06(PortExtension* port, USHORT value) {
    return WriteWrapped(port, 0x06, value, 2);
}

NTSTATUS ChipWriteRegister07(PortExtension* port, USHORT value) {
    return WriteWrapped(port, 0x07, value, 2);
}

NTSTATUS ChipWriteRegister0C(PortExtension* port, USHORT value) {
    return WriteWrapped(port, 0x0C, value, 3);
}

NTSTATUS ChipWriteRegister0D(PortExtension* port, USHORT value) {
    return WriteWrapped(port, 0x0D, value, 3);
}

NTSTATUS ChipReadRegister06(PortExtension* port, PVOID buffer, ULONG length, ULONG* returned) {
    return ReadWrapped(port, 0x06, 2, buffer, length, returned, kAnyChip);
}

NTSTATUS ChipReadRegister07(PortExtension* port, PVOID buffer, ULONG length, ULONG* returned) {
    NTSTATUS status = ReadWrapped(port, 0x07, 2, buffer, length, returned, kAnyChip);
    if (NT_SUCCESS(status) && *static_cast<PUCHAR>(buffer) == 0)
        return STATUS_NO_MEMORY;
    return status;
}

NTSTATUS ChipReadRegister0C(PortExtension* port, PVOID buffer, ULONG length, ULONG* returned) {
    return ReadWrapped(port, 0x0C, 2, buffer, length, returned, kAnyChip);
}

NTSTATUS ChipReadRegister0D(PortExtension* port, PVOID buffer, ULONG length, ULONG* returned) {
    return ReadWrapped(port, 0x0D, 2, buffer, length, returned, kAnyChip);
}

NTSTATUS ChipCheckRegister06(PortExtension* port) {
    UCHAR echo[2] = {0, 0};
    NTSTATUS status = ReadWrapped(port, 0x06, sizeof echo, echo, sizeof echo, nullptr, kAnyChip);
    if (NT_SUCCESS(status) && echo[0] != kEchoValue)
        return STATUS_NO_MEMORY;
    return status;
}

NTSTATUS ChipReadRegister0E(PortExtension* port, PVOID buffer, ULONG outputLength, ULONG* count) {
    return ReadSmallRegister(port, 0x0E, buffer, outputLength, count);
}

NTSTATUS ChipReadRegister0F(PortExtension* port, PVOID buffer, ULONG outputLength, ULONG* count) {
    return ReadSmallRegister(port, 0x0F, buffer, outputLength, count);
}

NTSTATUS ChipWriteRegister0E(PortExtension* port, USHORT value, PVOID buffer, ULONG outputLength,
                             ULONG* count) {
    return WriteSmallRegister(port, 0x0E, value, buffer, outputLength, count);
}

NTSTATUS ChipWriteRegister0F(PortExtension* port, USHORT value, PVOID buffer, ULONG outputLength,
                             ULONG* count) {
    return WriteSmallRegister(port, 0x0F, value, buffer, outputLength, count);
}
