// The driver's own device controls: configuration tools reach the bridge chip
// through them. Each is a thin shell over a chip control transfer; the dispatch
// has already checked that the buffer is there and holds the bytes the row
// names, so a handler reads its input from the buffer and only then writes its
// reply over it.
#include "control/control.h"

#include "usb/usb.h"

namespace {

constexpr UCHAR kRegister1 = 1;
// Only these chip types have the registers their codes name.
constexpr LONG kWideRegistersFrom = 2;    // registers 06 and 07
constexpr LONG kNewestRegistersFrom = 3;  // registers 0C and 0D
constexpr LONG kControlBit3Chip = 4;
// The chip sees 8 bits of a configuration-memory write address.
constexpr ULONG kConfigMemoryWriteSpan = 0x100;
// The register writes and the transfer control answer this many bytes.
constexpr ULONG kWordReply = sizeof(USHORT);

USHORT InputWord(const ControlRequest& request, ULONG offset) {
    const auto* bytes = static_cast<const UCHAR*>(request.Buffer) + offset;
    return static_cast<USHORT>(bytes[0] | bytes[1] << 8);
}

UCHAR InputByte(const ControlRequest& request) {
    return *static_cast<const UCHAR*>(request.Buffer);
}

// A reply of `count` bytes the operation wrote, or none when it failed.
NTSTATUS Reply(ControlRequest& request, NTSTATUS status, ULONG count) {
    request.Irp->IoStatus.Information = NT_SUCCESS(status) ? count : 0;
    return status;
}

NTSTATUS ReplyByte(ControlRequest& request, UCHAR value) {
    *static_cast<UCHAR*>(request.Buffer) = value;
    request.Irp->IoStatus.Information = sizeof(value);
    return STATUS_SUCCESS;
}

// These codes answer two bytes whatever happened, and the dispatch made sure
// the caller's output holds them. Zeroed, they never hand the caller's own input
// back as if the chip had said it.
NTSTATUS ReplyWord(ControlRequest& request, NTSTATUS status) {
    RtlZeroMemory(request.Buffer, kWordReply);
    request.Irp->IoStatus.Information = kWordReply;
    return status;
}

// The shapes of the chip operations behind the codes.
using OutputOperation = NTSTATUS (*)(PortExtension*, PVOID, ULONG, ULONG*);
using WordOutputOperation = NTSTATUS (*)(PortExtension*, USHORT, PVOID, ULONG, ULONG*);
using WideRegisterWrite = NTSTATUS (*)(PortExtension*, USHORT);

// An operation that fills the caller's output and says how much of it.
NTSTATUS ReplyFromChip(ControlRequest& request, OutputOperation operation) {
    ULONG count = 0;
    const NTSTATUS status = operation(request.Port, request.Buffer, request.OutputLength, &count);
    return Reply(request, status, count);
}

// The same after taking a word of input, which the reply may overwrite.
NTSTATUS ReplyFromChip(ControlRequest& request, WordOutputOperation operation) {
    const USHORT value = InputWord(request, 0);
    ULONG count = 0;
    const NTSTATUS status =
        operation(request.Port, value, request.Buffer, request.OutputLength, &count);
    return Reply(request, status, count);
}

NTSTATUS WriteWideRegister(ControlRequest& request, WideRegisterWrite write) {
    const USHORT value = InputWord(request, 0);
    return ReplyWord(request, write(request.Port, value));
}

// The operations of these reads leave the chip-type check to their caller.
NTSTATUS ReadWideRegister(ControlRequest& request, LONG minimumChipType, OutputOperation read) {
    if (request.Port->ChipType < minimumChipType)
        return STATUS_NOT_SUPPORTED;
    return ReplyFromChip(request, read);
}

// Register 1 read-modify-write. The bits other than `bit` are written back as
// the chip just reported them; when the chip did not answer, nothing is
// written: the shadow may be older than a hand-off of flow control to the chip,
// and writing it would undo that.
NTSTATUS SetRegister1Bit(ControlRequest& request, UCHAR bit) {
    const bool set = InputByte(request) != 0;
    PortExtension* port = request.Port;
    const NTSTATUS status = ReadRegisterFromChip(port, kRegister1);
    if (!NT_SUCCESS(status))
        return status;
    if (set) {
        port->ChipRegisterShadow[kRegister1] |= bit;
    } else {
        port->ChipRegisterShadow[kRegister1] &= static_cast<UCHAR>(~bit);
    }
    return WriteRegister(port, kRegister1);
}

// A bit the chip did not just report is no answer: a failed read fails the
// request instead of reporting the shadow.
NTSTATUS GetRegister1Bit(ControlRequest& request, UCHAR bit) {
    const NTSTATUS status = ReadRegisterFromChip(request.Port, kRegister1);
    if (!NT_SUCCESS(status))
        return status;
    return ReplyByte(request, (request.Port->ChipRegisterShadow[kRegister1] & bit) ? 1 : 0);
}

}  // namespace

NTSTATUS IoctlBridgeGetDeviceDescriptor(ControlRequest& request) {
    return ReplyFromChip(request, ChipGetDeviceDescriptor);
}

NTSTATUS IoctlBridgeGetConfigDescriptor(ControlRequest& request) {
    return ReplyFromChip(request, ChipGetConfigDescriptor);
}

NTSTATUS IoctlBridgeGetStringDescriptor(ControlRequest& request) {
    return ReplyFromChip(request, ChipGetStringDescriptor);
}

NTSTATUS IoctlBridgeVendorWrite(ControlRequest& request) {
    return ChipVendorWrite(request.Port, InputWord(request, 0), InputWord(request, 2));
}

NTSTATUS IoctlBridgeVendorRead(ControlRequest& request) {
    ULONG returned = 0;
    const NTSTATUS status = ChipVendorRead(request.Port, InputWord(request, 0), request.Buffer,
                                           request.OutputLength, &returned);
    return Reply(request, status, returned);
}

NTSTATUS IoctlBridgePipe0Read(ControlRequest& request) {
    return ReplyFromChip(request, ChipReadFirstPipe);
}

NTSTATUS IoctlBridgePipe1Write(ControlRequest& request) {
    return ChipWriteSecondPipe(request.Port, request.Buffer, request.InputLength);
}

NTSTATUS IoctlBridgePipe2Read(ControlRequest& request) {
    return ReplyFromChip(request, ChipReadThirdPipe);
}

// The raw line request: the port's own idea of DTR and RTS stays as it was.
NTSTATUS IoctlBridgeSetControlLineState(ControlRequest& request) {
    return ChipSetControlLineState(request.Port, InputWord(request, 0));
}

NTSTATUS IoctlBridgeSetCommFeature(ControlRequest& request) {
    const USHORT value = InputWord(request, 0);
    return SetCommFeature(request.Port, &value);
}

// A run that would pass the last address is refused before any byte is sent:
// the chip would take its tail to the start of the memory, over the record that
// marks the memory as programmed.
NTSTATUS IoctlBridgeWriteConfigMemory(ControlRequest& request) {
    const ULONG start = InputByte(request);
    const ULONG count = request.InputLength - 1;
    if (count > kConfigMemoryWriteSpan - start)
        return STATUS_INVALID_PARAMETER;
    return ChipWriteConfigMemory(request.Port, static_cast<const UCHAR*>(request.Buffer),
                                 request.InputLength);
}

NTSTATUS IoctlBridgeReadConfigMemory(ControlRequest& request) {
    const USHORT address = InputWord(request, 0);
    ULONG count = 0;
    const NTSTATUS status = ChipReadConfigMemory(
        request.Port, address, static_cast<PUCHAR>(request.Buffer), request.OutputLength, &count);
    return Reply(request, status, count);
}

NTSTATUS IoctlBridgeNoOperation(ControlRequest&) {
    return STATUS_SUCCESS;
}

// The code names no key and carries no input: there is nothing it could
// sensibly open, so it opens nothing and says so.
NTSTATUS IoctlBridgeOpenKey(ControlRequest&) {
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS IoctlBridgeSetControlBit4(ControlRequest& request) {
    return SetRegister1Bit(request, 0x10);
}

NTSTATUS IoctlBridgeSetControlBit5(ControlRequest& request) {
    return SetRegister1Bit(request, 0x20);
}

NTSTATUS IoctlBridgeSetControlBit6(ControlRequest& request) {
    return SetRegister1Bit(request, 0x40);
}

NTSTATUS IoctlBridgeSetControlBit7(ControlRequest& request) {
    return SetRegister1Bit(request, 0x80);
}

NTSTATUS IoctlBridgeGetControlBit6(ControlRequest& request) {
    return GetRegister1Bit(request, 0x40);
}

NTSTATUS IoctlBridgeGetControlBit7(ControlRequest& request) {
    return GetRegister1Bit(request, 0x80);
}

// Bit 3 means something only on the newest chip type; elsewhere it is left
// alone and reads as clear.
NTSTATUS IoctlBridgeSetControlBit3(ControlRequest& request) {
    if (request.Port->ChipType != kControlBit3Chip)
        return STATUS_SUCCESS;
    return SetRegister1Bit(request, 0x08);
}

NTSTATUS IoctlBridgeGetControlBit3(ControlRequest& request) {
    if (request.Port->ChipType != kControlBit3Chip)
        return ReplyByte(request, 0);
    return GetRegister1Bit(request, 0x08);
}

NTSTATUS IoctlBridgeGetChipType(ControlRequest& request) {
    return ReplyByte(request, static_cast<UCHAR>(request.Port->ChipType & 0xFF));
}

NTSTATUS IoctlBridgePing(ControlRequest& request) {
    return ReplyByte(request, 1);
}

NTSTATUS IoctlBridgeReadRegister0E(ControlRequest& request) {
    return ReplyFromChip(request, ChipReadRegister0E);
}

NTSTATUS IoctlBridgeWriteRegister0E(ControlRequest& request) {
    return ReplyFromChip(request, ChipWriteRegister0E);
}

NTSTATUS IoctlBridgeReadRegister0F(ControlRequest& request) {
    return ReplyFromChip(request, ChipReadRegister0F);
}

NTSTATUS IoctlBridgeWriteRegister0F(ControlRequest& request) {
    return ReplyFromChip(request, ChipWriteRegister0F);
}

NTSTATUS IoctlBridgeWriteRegister06(ControlRequest& request) {
    return WriteWideRegister(request, ChipWriteRegister06);
}

NTSTATUS IoctlBridgeReadRegister06(ControlRequest& request) {
    return ReadWideRegister(request, kWideRegistersFrom, ChipReadRegister06);
}

NTSTATUS IoctlBridgeWriteRegister07(ControlRequest& request) {
    return WriteWideRegister(request, ChipWriteRegister07);
}

NTSTATUS IoctlBridgeReadRegister07(ControlRequest& request) {
    return ReadWideRegister(request, kWideRegistersFrom, ChipReadRegister07);
}

NTSTATUS IoctlBridgeWriteRegister0C(ControlRequest& request) {
    return WriteWideRegister(request, ChipWriteRegister0C);
}

NTSTATUS IoctlBridgeReadRegister0C(ControlRequest& request) {
    return ReadWideRegister(request, kNewestRegistersFrom, ChipReadRegister0C);
}

NTSTATUS IoctlBridgeWriteRegister0D(ControlRequest& request) {
    return WriteWideRegister(request, ChipWriteRegister0D);
}

NTSTATUS IoctlBridgeReadRegister0D(ControlRequest& request) {
    return ReadWideRegister(request, kNewestRegistersFrom, ChipReadRegister0D);
}

// Stops or restarts the two continuous readers. Write chunks are left to finish:
// a cancelled chunk advances nothing, and the write it belongs to would wait for
// ever. A restart starts a reader only where none is outstanding or about to be
// sent again, and leaves the bulk-in reader to the release of a receive hold
// that keeps it idle.
NTSTATUS IoctlBridgeControlTransfers(ControlRequest& request) {
    PortExtension* port = request.Port;
    if (InputWord(request, 0) != 0) {
        CancelTransfer(port, StatusIn);
        CancelTransfer(port, BulkIn);
    } else {
        StartContinuousTransfer(port, StatusIn);
        if (!ReaderHeld(port))
            StartContinuousTransfer(port, BulkIn);
    }
    return ReplyWord(request, STATUS_SUCCESS);
}
