// The chip's setup requests: control lines, break, the comm feature, registers
// 0-2 through their shadow, the default registers of a blank chip, the hand-off
// of flow control to the chip, and re-sending every setting.
#include "usb/usb.h"

#include "control/control.h"

namespace {

constexpr UCHAR kSetCommFeature = 0x02;
constexpr UCHAR kSetControlLineState = 0x22;
constexpr UCHAR kSendBreak = 0x23;
constexpr UCHAR kVendorRequest = 0x01;
constexpr USHORT kAbstractState = 0x0001;
constexpr USHORT kDtrBit = 0x0001;
constexpr USHORT kRtsBit = 0x0002;
constexpr UCHAR kReadFlag = 0x80;
constexpr UCHAR kForcedRegister0 = 0x31;
// What register 1 of a type-4 chip reads when it wants register 0 fixed.
constexpr UCHAR kForcingRegister1 = 0x08;
constexpr USHORT kModemStatusDsr = 0x02;
constexpr USHORT kModemStatusCts = 0x80;

// Defaults of registers 0, 1, 2 by chip group.
constexpr UCHAR kDefaultRegisters[2][3] = {{0x01, 0x00, 0x24}, {0x01, 0x00, 0x44}};

// Where a programmed configuration memory keeps the marker, beyond address 0.
struct MarkerPlaces {
    LONG ChipType;
    USHORT Addresses[5];
    ULONG Count;
};
constexpr MarkerPlaces kMarkerPlaces[] = {
    {3, {32, 64, 96, 128, 160}, 5},
    {4, {96}, 1},
};

bool NewerChip(const PortExtension* port) {
    return port->ChipType >= 2;
}
bool ChipWithRegister1Flow(const PortExtension* port) {
    return port->ChipType == 3 || port->ChipType == 4;
}

void SetTxHold(PortExtension* port, ULONG reason) {
    InterlockedOr(reinterpret_cast<volatile LONG*>(&port->TxHoldReasons),
                  static_cast<LONG>(reason));
}
void ClearTxHold(PortExtension* port, ULONG reason) {
    InterlockedAnd(reinterpret_cast<volatile LONG*>(&port->TxHoldReasons),
                   static_cast<LONG>(~reason));
}

NTSTATUS SendAndFree(PortExtension* port, PURB urb) {
    NTSTATUS status = SubmitUrbSync(port->DeviceObject, urb);
    FreeUrb(urb);
    return status;
}

// The chip wants a register's code in both bytes of wValue, reads with 0x80 added.
constexpr USHORT Wrapped(UCHAR code) {
    return static_cast<USHORT>(code << 8 | code);
}

PURB AllocateRegisterWrite(PortExtension* port, UCHAR reg) {
    return AllocateControlRequest(URB_FUNCTION_VENDOR_DEVICE, kVendorRequest, Wrapped(reg),
                                  port->ChipRegisterShadow[reg], USBD_TRANSFER_DIRECTION_OUT,
                                  nullptr, 0);
}

// Where the caller cannot wait (receive flow control, transmit toggle, at
// DISPATCH_LEVEL), the request goes without waiting: the line really changes.
bool ChangeControlLine(PortExtension* port, USHORT line, bool raise) {
    PURB urb = AllocateControlRequest(URB_FUNCTION_CLASS_INTERFACE, kSetControlLineState, 0, 0,
                                      USBD_TRANSFER_DIRECTION_OUT, nullptr, 0);
    if (!urb)
        return false;
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&port->ControlLock);
    port->ControlLineState =
        static_cast<USHORT>(raise ? port->ControlLineState | line : port->ControlLineState & ~line);
    urb->UrbControlVendorClassRequest.Value = port->ControlLineState;
    KeReleaseSpinLock(&port->ControlLock, irql);
    if (!CanWaitForChip())
        return NT_SUCCESS(SubmitUrbAsync(port->DeviceObject, urb));
    return NT_SUCCESS(SendAndFree(port, urb));
}

// The DSR handshake bits of register 1 on the chips that have them.
NTSTATUS SetRegister1DsrBits(PortExtension* port) {
    const NTSTATUS read = ReadRegisterForChange(port, 1);
    if (!NT_SUCCESS(read))
        return read;
    UCHAR& reg1 = port->ChipRegisterShadow[1];
    reg1 = static_cast<UCHAR>(port->DsrFlowInChip ? reg1 | 0x07 : reg1 & 0xF8);
    return WriteRegister(port, 1);
}

// Reads the word at `address` (low byte first); false when it could not be read.
bool ReadConfigWord(PortExtension* port, USHORT address, USHORT* word) {
    UCHAR bytes[2] = {0, 0};
    ULONG count = 0;
    if (!NT_SUCCESS(ChipReadConfigMemory(port, address, bytes, sizeof bytes, &count)) ||
        count != sizeof bytes) {
        return false;
    }
    *word = static_cast<USHORT>(bytes[0] | bytes[1] << 8);
    return true;
}

bool MarkerAt(PortExtension* port, USHORT address) {
    USHORT word = 0;
    return ReadConfigWord(port, address, &word) && word == ConfigMemoryMarker;
}

void SendRemoteWakeupFeature(PortExtension* port) {
    PURB urb =
        AllocateUrb(URB_FUNCTION_SET_FEATURE_TO_DEVICE, sizeof(_URB_CONTROL_FEATURE_REQUEST));
    if (!urb)
        return;
    urb->UrbControlFeatureRequest.FeatureSelector = USB_FEATURE_REMOTE_WAKEUP;
    urb->UrbControlFeatureRequest.Index = 0;
    urb->UrbControlFeatureRequest.UrbLink = nullptr;
    SendAndFree(port, urb);
}

}  // namespace

bool SetDtr(PortExtension* port) {
    return ChangeControlLine(port, kDtrBit, true);
}
bool ClearDtr(PortExtension* port) {
    return ChangeControlLine(port, kDtrBit, false);
}
bool SetRts(PortExtension* port) {
    return ChangeControlLine(port, kRtsBit, true);
}
bool ClearRts(PortExtension* port) {
    return ChangeControlLine(port, kRtsBit, false);
}

NTSTATUS SetBreak(PortExtension* port, bool on) {
    PURB urb =
        AllocateControlRequest(URB_FUNCTION_CLASS_INTERFACE, kSendBreak, on ? 0xFFFF : 0x0000, 0,
                               USBD_TRANSFER_DIRECTION_OUT, nullptr, 0);
    if (!urb)
        return STATUS_INSUFFICIENT_RESOURCES;
    return SendAndFree(port, urb);
}

NTSTATUS SetCommFeature(PortExtension* port, const USHORT* value) {
    if (!value)
        return STATUS_INVALID_PARAMETER;
    PURB urb = AllocateControlRequest(URB_FUNCTION_CLASS_INTERFACE, kSetCommFeature, kAbstractState,
                                      0, USBD_TRANSFER_DIRECTION_OUT, nullptr, sizeof(USHORT),
                                      sizeof(USHORT));
    if (!urb)
        return STATUS_NO_MEMORY;
    // The caller's value may not outlive the request: send a copy, low byte first.
    PUCHAR copy = UrbExtra(urb);
    copy[0] = static_cast<UCHAR>(*value & 0xFF);
    copy[1] = static_cast<UCHAR>(*value >> 8);
    urb->UrbControlVendorClassRequest.TransferBuffer = copy;
    return SendAndFree(port, urb);
}

NTSTATUS ReadRegisterFromChip(PortExtension* port, UCHAR reg) {
    UCHAR value = 0;
    PURB urb = AllocateControlRequest(URB_FUNCTION_VENDOR_DEVICE, kVendorRequest,
                                      Wrapped(static_cast<UCHAR>(reg | kReadFlag)), 0,
                                      USBD_TRANSFER_DIRECTION_IN, &value, 1);
    if (!urb)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = SubmitUrbSync(port->DeviceObject, urb);
    const ULONG moved = urb->UrbControlVendorClassRequest.TransferBufferLength;
    FreeUrb(urb);
    // Without an answer the shadow keeps what the chip last held, instead of a
    // byte the chip never sent.
    if (!NT_SUCCESS(status))
        return status;
    if (moved < 1)
        return STATUS_DEVICE_DATA_ERROR;
    port->ChipRegisterShadow[reg] = value;
    port->ChipRegistersKnown |= static_cast<USHORT>(1u << reg);
    if (port->ChipType == 4 && reg == 1 && value == kForcingRegister1)
        port->ForceRegister0 = 1;
    return STATUS_SUCCESS;
}

bool ReadRegister(PortExtension* port, UCHAR reg) {
    return ReadRegisterFromChip(port, reg) != STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS ReadRegisterForChange(PortExtension* port, UCHAR reg) {
    const NTSTATUS status = ReadRegisterFromChip(port, reg);
    if (status == STATUS_INSUFFICIENT_RESOURCES)
        return status;
    // The shadow stands in for an unanswered read only if it has held the
    // chip's word: the zeros of a shadow never filled would switch off every
    // bit the caller does not touch (register 0's UART enable among them).
    if (!NT_SUCCESS(status) && !(port->ChipRegistersKnown & (1u << reg)))
        return status;
    return STATUS_SUCCESS;
}

namespace {

// A register write the chip took: its shadow now says what the chip holds.
NTSTATUS NoteRegisterWritten(PortExtension* port, UCHAR reg, NTSTATUS status) {
    if (NT_SUCCESS(status))
        port->ChipRegistersKnown |= static_cast<USHORT>(1u << reg);
    return status;
}

}  // namespace

NTSTATUS WriteRegister(PortExtension* port, UCHAR reg) {
    PURB urb = AllocateRegisterWrite(port, reg);
    if (!urb)
        return STATUS_INSUFFICIENT_RESOURCES;
    // The shadow keeps the value either way, so the next write of the register
    // sends it again; the caller learns whether the chip has it now.
    return NoteRegisterWritten(port, reg, SendAndFree(port, urb));
}

// A marker at address 0 counts on every variant: the newer variants look at
// their own places first, and a chip of theirs that holds its record only at
// address 0 loads its registers from it all the same (the chip model agrees).
bool ConfigMemoryProgrammed(PortExtension* port) {
    USHORT first = 0;
    const bool firstRead = ReadConfigWord(port, 0, &first);
    for (const MarkerPlaces& places : kMarkerPlaces) {
        if (places.ChipType != port->ChipType)
            continue;
        for (ULONG k = 0; k < places.Count; ++k) {
            if (MarkerAt(port, places.Addresses[k]))
                return true;
        }
    }
    return firstRead && first == ConfigMemoryMarker;
}

NTSTATUS WriteDefaultRegisters(PortExtension* port) {
    const UCHAR* defaults = kDefaultRegisters[NewerChip(port) ? 1 : 0];
    for (UCHAR reg = 0; reg < 3; ++reg)
        port->ChipRegisterShadow[reg] = defaults[reg];
    if (port->ChipType == 4) {
        // This chip keeps its own upper bits of register 1.
        if (!ReadRegister(port, 1))
            return STATUS_INSUFFICIENT_RESOURCES;
        port->ChipRegisterShadow[1] &= 0xF0;
    }
    NTSTATUS first = STATUS_SUCCESS;
    for (UCHAR reg = 0; reg < 3; ++reg) {
        PURB urb = AllocateRegisterWrite(port, reg);
        if (!urb)
            return STATUS_INSUFFICIENT_RESOURCES;
        NTSTATUS status = NoteRegisterWritten(port, reg, SendAndFree(port, urb));
        // A failure of an earlier register is not hidden by a later success.
        if (NT_SUCCESS(first) && !NT_SUCCESS(status))
            first = status;
    }
    return first;
}

NTSTATUS SetRtsFlowInChip(PortExtension* port, bool on) {
    if (!NewerChip(port))
        return STATUS_NOT_SUPPORTED;
    const NTSTATUS read = ReadRegisterForChange(port, 0);
    if (!NT_SUCCESS(read))
        return read;
    UCHAR& reg0 = port->ChipRegisterShadow[0];
    if (on) {
        if (ChipWithRegister1Flow(port)) {
            NTSTATUS status = SetRegister1DsrBits(port);
            if (!NT_SUCCESS(status))
                return status;
        }
        reg0 = static_cast<UCHAR>((reg0 & 0xEF) | 0x20);
    } else {
        reg0 = static_cast<UCHAR>(reg0 & 0xCF);
    }
    if (port->ForceRegister0)
        reg0 = kForcedRegister0;
    NTSTATUS status = WriteRegister(port, 0);
    // The flag says what the chip does: a refused write changed nothing there.
    if (NT_SUCCESS(status))
        port->RtsFlowInChip = on ? 1 : 0;
    return status;
}

NTSTATUS SetCtsFlowInChip(PortExtension* port, bool on) {
    const NTSTATUS read = ReadRegisterForChange(port, 0);
    if (!NT_SUCCESS(read))
        return read;
    UCHAR& reg0 = port->ChipRegisterShadow[0];
    if (on) {
        if (ChipWithRegister1Flow(port)) {
            NTSTATUS status = SetRegister1DsrBits(port);
            if (!NT_SUCCESS(status))
                return status;
        }
        if (ChipWithRegister1Flow(port) && port->DsrFlowInChip) {
            reg0 = static_cast<UCHAR>((reg0 & 0x03) | 0x58);
        } else {
            reg0 = static_cast<UCHAR>((reg0 & 0x3F) | 0x40);
        }
    } else {
        reg0 = static_cast<UCHAR>(reg0 & 0x3F);
    }
    if (port->ForceRegister0)
        reg0 = kForcedRegister0;
    NTSTATUS status = WriteRegister(port, 0);
    if (!NT_SUCCESS(status))
        return status;
    // Only a chip that gates its transmitter on CTS holds our writes for it.
    if (on) {
        SetTxHold(port, TX_HOLD_CTS);
        port->CtsFlowInChip = 1;
        if (port->ModemStatusWord & kModemStatusCts)
            ClearTxHold(port, TX_HOLD_CTS);
    } else {
        ClearTxHold(port, TX_HOLD_CTS);
        port->CtsFlowInChip = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS SetDsrFlowInChip(PortExtension* port, bool on) {
    if (!ChipWithRegister1Flow(port))
        return STATUS_SUCCESS;
    UCHAR& reg0 = port->ChipRegisterShadow[0];
    UCHAR& reg1 = port->ChipRegisterShadow[1];
    NTSTATUS status = ReadRegisterForChange(port, 1);
    if (!NT_SUCCESS(status))
        return status;
    reg1 = static_cast<UCHAR>(reg1 & 0xF8);
    status = WriteRegister(port, 1);
    if (!NT_SUCCESS(status))
        return status;
    status = ReadRegisterForChange(port, 0);
    if (!NT_SUCCESS(status))
        return status;
    if (on) {
        reg1 = static_cast<UCHAR>(reg1 | (port->CtsFlowInChip ? 0x07 : 0x05));
        status = WriteRegister(port, 1);
        if (!NT_SUCCESS(status))
            return status;
        reg0 =
            static_cast<UCHAR>(port->CtsFlowInChip ? (reg0 & 0x03) | 0x58 : (reg0 & 0x33) | 0x48);
    } else {
        // Register 1's handshake bits were cleared by the write above.
        reg0 = static_cast<UCHAR>(reg0 & 0xF3);
    }
    if (port->ForceRegister0)
        reg0 = kForcedRegister0;
    status = WriteRegister(port, 0);
    if (!NT_SUCCESS(status))
        return status;
    if (on) {
        SetTxHold(port, TX_HOLD_DSR);
        port->DsrFlowInChip = 1;
        if (port->ModemStatusWord & kModemStatusDsr)
            ClearTxHold(port, TX_HOLD_DSR);
    } else {
        ClearTxHold(port, TX_HOLD_DSR);
        port->DsrFlowInChip = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS SetAutoXonXoffInChip(PortExtension* port, bool on) {
    if (!NewerChip(port))
        return STATUS_SUCCESS;
    const bool canWait = CanWaitForChip();
    // Where the caller cannot wait, the shadow stands in for the chip's value.
    if (canWait) {
        const NTSTATUS read = ReadRegisterForChange(port, 0);
        if (read == STATUS_INSUFFICIENT_RESOURCES)
            return STATUS_NO_MEMORY;
        if (!NT_SUCCESS(read))
            return read;
    }
    UCHAR& reg0 = port->ChipRegisterShadow[0];
    reg0 = static_cast<UCHAR>(on ? reg0 | 0xC0 : reg0 & 0x3F);
    PURB urb = AllocateRegisterWrite(port, 0);
    if (!urb)
        return STATUS_NO_MEMORY;
    if (canWait)
        return NoteRegisterWritten(port, 0, SendAndFree(port, urb));
    SubmitUrbAsync(port->DeviceObject, urb);
    return STATUS_SUCCESS;
}

void ApplyAllSettings(PortExtension* port) {
    if (port->ChipType != -1 && !ConfigMemoryProgrammed(port))
        WriteDefaultRegisters(port);
    SendRemoteWakeupFeature(port);
    // The line coding shadow carries the rate too, so this re-sends it.
    SetLineControl(port);
    ApplyHandFlowToChip(port, port->DeviceIsOpen == 0);
    ProcessModemStatus(port);
    if (port->ChipType > 1)
        ChipWriteRegister0B(port, 0x02);
    MarkTransmitterEmpty(port);
}
