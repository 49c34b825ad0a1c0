// Device controls and the port settings they keep: the operations other folders
// call.
#pragma once

#include "driver/port_extension.h"

DRIVER_DISPATCH DispatchDeviceControl;
DRIVER_DISPATCH DispatchInternalDeviceControl;

// The checks SET_HANDFLOW and SET_TIMEOUTS apply to their records, and the
// installation of an accepted record; the internal settings codes share them.
bool HandFlowAcceptable(const PortExtension* port, const SERIAL_HANDFLOW& handFlow);
void InstallHandFlow(PortExtension* port, const SERIAL_HANDFLOW& handFlow);
bool TimeoutsAcceptable(const SERIAL_TIMEOUTS& timeouts);
void InstallTimeouts(PortExtension* port, const SERIAL_TIMEOUTS& timeouts);

// Gives the port settings the values every start writes.
void WriteDefaultSettings(PortExtension* port);
// The port's properties as GET_PROPERTIES reports them (and WMI publishes them).
void FillCommProperties(const PortExtension* port, SERIAL_COMMPROP* properties);

// --- The device-control table ---------------------------------------------------
// One row per code the port answers. The dispatch checks the caller's buffer as the
// row says before the handler runs, so a handler may rely on the row's lengths.

// How a row's buffer is checked. Absent buffer: STATUS_INVALID_PARAMETER; a length
// below the row's least: STATUS_BUFFER_TOO_SMALL.
enum class BufferCheck : UCHAR {
    None,         // the code uses no buffer
    BufferFirst,  // presence, then the lengths
    LengthFirst,  // the lengths, then presence
    // Vendor codes: presence, then the bytes the handler reads and writes (the least
    // lengths here), never a record size. A request shorter than that is refused
    // instead of being read or written past its end.
    BytesMoved,
};

enum class PowerUp : UCHAR {
    NotNeeded,
    // The dispatch brings the device to D0 after the buffer checks: the handler
    // reaches the chip.
    BeforeHandler,
    // The handler powers the device up itself, at the step where it first needs the
    // chip (an identical line-control request must succeed on a sleeping device).
    ByHandler,
};

// One request on its way through a handler. Input and output share the system
// buffer, so a handler reads its input before it writes a reply.
struct ControlRequest {
    PortExtension* Port;
    PIRP Irp;
    PVOID Buffer;
    ULONG InputLength;
    ULONG OutputLength;
    // Set by a handler that passed the request to a queue or path that now owns
    // it: the dispatch returns the handler's status without completing it.
    bool HandedOn;
};

// A handler answers a status; on success of a reply it has set Information to the
// size of its record.
using ControlHandler = NTSTATUS (*)(ControlRequest& request);

struct ControlCode {
    ULONG Code;
    ULONG LeastInput;
    ULONG LeastOutput;
    BufferCheck Check;
    PowerUp Power;
    ControlHandler Handler;
};

constexpr ULONG kDeviceControlCodeCount = 74;
// Sorted by code.
extern const ControlCode DeviceControlCodes[kDeviceControlCodeCount];

// Handlers that answer from the port settings alone (port_settings.cpp).
NTSTATUS IoctlSetBaudRate(ControlRequest& request);
NTSTATUS IoctlGetBaudRate(ControlRequest& request);
NTSTATUS IoctlSetLineControl(ControlRequest& request);
NTSTATUS IoctlGetLineControl(ControlRequest& request);
NTSTATUS IoctlSetChars(ControlRequest& request);
NTSTATUS IoctlGetChars(ControlRequest& request);
NTSTATUS IoctlSetHandFlow(ControlRequest& request);
NTSTATUS IoctlGetHandFlow(ControlRequest& request);
NTSTATUS IoctlSetTimeouts(ControlRequest& request);
NTSTATUS IoctlGetTimeouts(ControlRequest& request);
NTSTATUS IoctlGetProperties(ControlRequest& request);
NTSTATUS IoctlGetStats(ControlRequest& request);
NTSTATUS IoctlClearStats(ControlRequest& request);
NTSTATUS IoctlConfigSize(ControlRequest& request);
NTSTATUS IoctlResetDevice(ControlRequest& request);
NTSTATUS IoctlGetWaitMask(ControlRequest& request);
NTSTATUS IoctlLsrMstInsert(ControlRequest& request);
NTSTATUS IoctlSetXoff(ControlRequest& request);
NTSTATUS IoctlSetXon(ControlRequest& request);
NTSTATUS IoctlGetModemStatus(ControlRequest& request);
NTSTATUS IoctlGetDtrRts(ControlRequest& request);
NTSTATUS IoctlGetModemControl(ControlRequest& request);
NTSTATUS IoctlGetCommStatus(ControlRequest& request);

// Handlers that drive the output lines and break (modem_lines.cpp).
NTSTATUS IoctlSetDtr(ControlRequest& request);
NTSTATUS IoctlClearDtr(ControlRequest& request);
NTSTATUS IoctlSetRts(ControlRequest& request);
NTSTATUS IoctlClearRts(ControlRequest& request);
NTSTATUS IoctlSetModemControl(ControlRequest& request);
NTSTATUS IoctlSetBreakOn(ControlRequest& request);
NTSTATUS IoctlSetBreakOff(ControlRequest& request);
NTSTATUS IoctlSetFifoControl(ControlRequest& request);

// Handlers that hand the request to a queue (queued_controls.cpp).
NTSTATUS IoctlSetWaitMask(ControlRequest& request);
NTSTATUS IoctlWaitOnMask(ControlRequest& request);
NTSTATUS IoctlPurge(ControlRequest& request);
NTSTATUS IoctlSetQueueSize(ControlRequest& request);
NTSTATUS IoctlXoffCounter(ControlRequest& request);
NTSTATUS IoctlImmediateChar(ControlRequest& request);

// The driver's own codes (bridge_controls.cpp).
NTSTATUS IoctlBridgeGetDeviceDescriptor(ControlRequest& request);
NTSTATUS IoctlBridgeGetConfigDescriptor(ControlRequest& request);
NTSTATUS IoctlBridgeGetStringDescriptor(ControlRequest& request);
NTSTATUS IoctlBridgeVendorWrite(ControlRequest& request);
NTSTATUS IoctlBridgeVendorRead(ControlRequest& request);
NTSTATUS IoctlBridgePipe0Read(ControlRequest& request);
NTSTATUS IoctlBridgePipe1Write(ControlRequest& request);
NTSTATUS IoctlBridgePipe2Read(ControlRequest& request);
NTSTATUS IoctlBridgeSetControlLineState(ControlRequest& request);
NTSTATUS IoctlBridgeSetCommFeature(ControlRequest& request);
NTSTATUS IoctlBridgeWriteConfigMemory(ControlRequest& request);
NTSTATUS IoctlBridgeReadConfigMemory(ControlRequest& request);
NTSTATUS IoctlBridgeNoOperation(ControlRequest& request);
NTSTATUS IoctlBridgeOpenKey(ControlRequest& request);
NTSTATUS IoctlBridgeSetControlBit4(ControlRequest& request);
NTSTATUS IoctlBridgeSetControlBit5(ControlRequest& request);
NTSTATUS IoctlBridgeSetControlBit6(ControlRequest& request);
NTSTATUS IoctlBridgeSetControlBit7(ControlRequest& request);
NTSTATUS IoctlBridgeGetControlBit6(ControlRequest& request);
NTSTATUS IoctlBridgeGetControlBit7(ControlRequest& request);
NTSTATUS IoctlBridgeGetChipType(ControlRequest& request);
NTSTATUS IoctlBridgeReadRegister0E(ControlRequest& request);
NTSTATUS IoctlBridgeWriteRegister0E(ControlRequest& request);
NTSTATUS IoctlBridgeReadRegister0F(ControlRequest& request);
NTSTATUS IoctlBridgeWriteRegister0F(ControlRequest& request);
NTSTATUS IoctlBridgeWriteRegister06(ControlRequest& request);
NTSTATUS IoctlBridgeReadRegister06(ControlRequest& request);
NTSTATUS IoctlBridgeWriteRegister07(ControlRequest& request);
NTSTATUS IoctlBridgeReadRegister07(ControlRequest& request);
NTSTATUS IoctlBridgeWriteRegister0C(ControlRequest& request);
NTSTATUS IoctlBridgeReadRegister0C(ControlRequest& request);
NTSTATUS IoctlBridgeWriteRegister0D(ControlRequest& request);
NTSTATUS IoctlBridgeReadRegister0D(ControlRequest& request);
NTSTATUS IoctlBridgeControlTransfers(ControlRequest& request);
NTSTATUS IoctlBridgeSetControlBit3(ControlRequest& request);
NTSTATUS IoctlBridgeGetControlBit3(ControlRequest& request);
NTSTATUS IoctlBridgePing(ControlRequest& request);

// --- Chip control transfers (chip_transfers.cpp) -----------------------------------
// Each member builds one request for the bridge chip, sends it with SubmitUrbSync
// and answers its status; PASSIVE_LEVEL, no spin lock held. A member gated on the
// chip type answers STATUS_NOT_SUPPORTED below it and sends nothing. Members that
// fill a buffer never move more than the length they are given: a buffer shorter
// than the bytes the request moves answers STATUS_BUFFER_TOO_SMALL, an absent one
// STATUS_NO_MEMORY, both with nothing sent. `returned` gets the bytes the
// transfer moved (0 when nothing was sent).
NTSTATUS ChipGetDeviceDescriptor(PortExtension* port, PVOID buffer, ULONG length,
                                 ULONG* returned);
NTSTATUS ChipGetConfigDescriptor(PortExtension* port, PVOID buffer, ULONG length,
                                 ULONG* returned);
// Index: the first byte of `buffer`; language 0x0409.
NTSTATUS ChipGetStringDescriptor(PortExtension* port, PVOID buffer, ULONG length,
                                 ULONG* returned);
NTSTATUS ChipVendorWrite(PortExtension* port, USHORT value, USHORT index);
// One byte, into the start of `buffer`.
NTSTATUS ChipVendorRead(PortExtension* port, USHORT value, PVOID buffer, ULONG length,
                        ULONG* returned);
// The first, second and third pipe of interface 0: STATUS_INVALID_DEVICE_STATE when
// the configuration has no such pipe.
NTSTATUS ChipReadFirstPipe(PortExtension* port, PVOID buffer, ULONG length, ULONG* returned);
NTSTATUS ChipWriteSecondPipe(PortExtension* port, const void* data, ULONG length);
NTSTATUS ChipReadThirdPipe(PortExtension* port, PVOID buffer, ULONG length, ULONG* returned);
NTSTATUS ChipSetControlLineState(PortExtension* port, USHORT value);

// Configuration memory. Every byte waits until the chip is no longer busy; a chip
// that stays busy for kConfigMemoryBusyPolls polls ends the operation with
// STATUS_IO_TIMEOUT. A failed request ends the run with its status.
constexpr ULONG kConfigMemoryBusyPolls = 200;
bool ChipConfigMemoryBusy(PortExtension* port);
// input[0]: start address (only its low 8 bits reach the chip); input[1..]: data.
NTSTATUS ChipWriteConfigMemory(PortExtension* port, const UCHAR* input, ULONG inputLength);
// `length` bytes from `address` (16-bit, wrapping) into buffer[0..length); `count`
// is `length` on success, else 0.
NTSTATUS ChipReadConfigMemory(PortExtension* port, USHORT address, PUCHAR buffer, ULONG length,
                              ULONG* count);

// The chip's numbered registers, in the wrapper form (register in both bytes of
// wValue, reads with 0x80 added).
NTSTATUS ChipWriteXonXoff(PortExtension* port, UCHAR xonChar, UCHAR xoffChar);
// Register 9 when the argument's low byte is not 0, else register 8.
NTSTATUS ChipWriteRegister8Or9(PortExtension* port, ULONG argument);
NTSTATUS ChipWriteRegister0B(PortExtension* port, ULONG argument);
NTSTATUS ChipWriteRegister06(PortExtension* port, USHORT value);
NTSTATUS ChipWriteRegister07(PortExtension* port, USHORT value);
NTSTATUS ChipWriteRegister0C(PortExtension* port, USHORT value);
NTSTATUS ChipWriteRegister0D(PortExtension* port, USHORT value);
// Two bytes each; the caller checks the chip type.
NTSTATUS ChipReadRegister06(PortExtension* port, PVOID buffer, ULONG length, ULONG* returned);
// STATUS_NO_MEMORY when the first byte read is 0.
NTSTATUS ChipReadRegister07(PortExtension* port, PVOID buffer, ULONG length, ULONG* returned);
NTSTATUS ChipReadRegister0C(PortExtension* port, PVOID buffer, ULONG length, ULONG* returned);
NTSTATUS ChipReadRegister0D(PortExtension* port, PVOID buffer, ULONG length, ULONG* returned);
// Reads register 6 into a buffer of its own: STATUS_NO_MEMORY unless the chip
// answers 0xAA first.
NTSTATUS ChipCheckRegister06(PortExtension* port);
// Registers 0E and 0F: `count` is the caller's output length on success, 0
// otherwise; the output bytes the chip did not supply are zeroed, so a reply of
// that length never carries stale memory.
NTSTATUS ChipReadRegister0E(PortExtension* port, PVOID buffer, ULONG outputLength, ULONG* count);
NTSTATUS ChipReadRegister0F(PortExtension* port, PVOID buffer, ULONG outputLength, ULONG* count);
NTSTATUS ChipWriteRegister0E(PortExtension* port, USHORT value, PVOID buffer, ULONG outputLength,
                             ULONG* count);
NTSTATUS ChipWriteRegister0F(PortExtension* port, USHORT value, PVOID buffer, ULONG outputLength,
                             ULONG* count);
