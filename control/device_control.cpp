// Device-control dispatch: the frame every code passes through, and the table
// that says, per code, how the caller's buffer is checked, whether the chip must
// be powered, and which handler answers.
#include "control/control.h"

#include "control/bridge_ioctl.h"
#include "datapath/datapath.h"
#include "driver/driver.h"

namespace {

// A request that must reach the chip waits until the device is back in D0.
NTSTATUS BringDeviceToD0(PortExtension* port) {
    return RequestDevicePowerD0(port->PhysicalDevice, port);
}

constexpr BufferCheck kNoBuffer = BufferCheck::None;
constexpr BufferCheck kBufferFirst = BufferCheck::BufferFirst;
constexpr BufferCheck kLengthFirst = BufferCheck::LengthFirst;
constexpr BufferCheck kBytesMoved = BufferCheck::BytesMoved;
constexpr PowerUp kUnpowered = PowerUp::NotNeeded;
constexpr PowerUp kPowered = PowerUp::BeforeHandler;
constexpr PowerUp kPoweredByHandler = PowerUp::ByHandler;

static_assert(sizeof(SERIAL_QUEUE_SIZE) == 8, "published layout");
static_assert(sizeof(SERIAL_XOFF_COUNTER) == 12, "published layout");

// Published record sizes that have no record type of their own.
constexpr ULONG kUlong = sizeof(ULONG);
constexpr ULONG kUchar = sizeof(UCHAR);

}  // namespace

// Length-first rows: SET_BAUD_RATE and SET_WAIT_MASK by their published order of
// checks, IMMEDIATE_CHAR, GET_WAIT_MASK, WAIT_ON_MASK and GET_STATS because only
// their length was ever checked; the presence check behind it turns away a
// kernel-mode caller that gives a length without a buffer.
constexpr ControlCode DeviceControlCodes[kDeviceControlCodeCount] = {
    // Published serial codes.
    {IOCTL_SERIAL_SET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE), 0, kLengthFirst, kPowered,
     IoctlSetBaudRate},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, sizeof(SERIAL_QUEUE_SIZE), 0, kBufferFirst, kUnpowered,
     IoctlSetQueueSize},
    {IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), 0, kBufferFirst, kPoweredByHandler,
     IoctlSetLineControl},
    {IOCTL_SERIAL_SET_BREAK_ON, 0, 0, kNoBuffer, kPowered, IoctlSetBreakOn},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, kNoBuffer, kPowered, IoctlSetBreakOff},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, kUchar, 0, kLengthFirst, kUnpowered, IoctlImmediateChar},
    {IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), 0, kBufferFirst, kUnpowered,
     IoctlSetTimeouts},
    {IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(SERIAL_TIMEOUTS), kBufferFirst, kUnpowered,
     IoctlGetTimeouts},
    {IOCTL_SERIAL_SET_DTR, 0, 0, kNoBuffer, kPowered, IoctlSetDtr},
    {IOCTL_SERIAL_CLR_DTR, 0, 0, kNoBuffer, kPowered, IoctlClearDtr},
    {IOCTL_SERIAL_RESET_DEVICE, 0, 0, kNoBuffer, kUnpowered, IoctlResetDevice},
    {IOCTL_SERIAL_SET_RTS, 0, 0, kNoBuffer, kPowered, IoctlSetRts},
    {IOCTL_SERIAL_CLR_RTS, 0, 0, kNoBuffer, kPowered, IoctlClearRts},
    {IOCTL_SERIAL_SET_XOFF, 0, 0, kNoBuffer, kUnpowered, IoctlSetXoff},
    {IOCTL_SERIAL_SET_XON, 0, 0, kNoBuffer, kUnpowered, IoctlSetXon},
    {IOCTL_SERIAL_GET_WAIT_MASK, 0, kUlong, kLengthFirst, kUnpowered, IoctlGetWaitMask},
    {IOCTL_SERIAL_SET_WAIT_MASK, kUlong, 0, kLengthFirst, kUnpowered, IoctlSetWaitMask},
    {IOCTL_SERIAL_WAIT_ON_MASK, 0, kUlong, kLengthFirst, kUnpowered, IoctlWaitOnMask},
    {IOCTL_SERIAL_PURGE, kUlong, 0, kBufferFirst, kUnpowered, IoctlPurge},
    {IOCTL_SERIAL_GET_BAUD_RATE, 0, sizeof(SERIAL_BAUD_RATE), kBufferFirst, kUnpowered,
     IoctlGetBaudRate},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, sizeof(SERIAL_LINE_CONTROL), kBufferFirst, kUnpowered,
     IoctlGetLineControl},
    {IOCTL_SERIAL_GET_CHARS, 0, sizeof(SERIAL_CHARS), kBufferFirst, kUnpowered, IoctlGetChars},
    {IOCTL_SERIAL_SET_CHARS, sizeof(SERIAL_CHARS), 0, kBufferFirst, kUnpowered, IoctlSetChars},
    {IOCTL_SERIAL_GET_HANDFLOW, 0, sizeof(SERIAL_HANDFLOW), kBufferFirst, kUnpowered,
     IoctlGetHandFlow},
    {IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), 0, kBufferFirst, kUnpowered,
     IoctlSetHandFlow},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, kUlong, kBufferFirst, kUnpowered, IoctlGetModemStatus},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS), kBufferFirst, kUnpowered,
     IoctlGetCommStatus},
    {IOCTL_SERIAL_XOFF_COUNTER, sizeof(SERIAL_XOFF_COUNTER), 0, kBufferFirst, kUnpowered,
     IoctlXoffCounter},
    {IOCTL_SERIAL_GET_PROPERTIES, 0, sizeof(SERIAL_COMMPROP), kBufferFirst, kUnpowered,
     IoctlGetProperties},
    {IOCTL_SERIAL_GET_DTRRTS, 0, kUlong, kBufferFirst, kUnpowered, IoctlGetDtrRts},
    {IOCTL_SERIAL_LSRMST_INSERT, kUchar, 0, kBufferFirst, kUnpowered, IoctlLsrMstInsert},
    {IOCTL_SERIAL_CONFIG_SIZE, 0, kUlong, kBufferFirst, kUnpowered, IoctlConfigSize},
    {IOCTL_SERIAL_GET_STATS, 0, sizeof(SERIALPERF_STATS), kLengthFirst, kUnpowered, IoctlGetStats},
    {IOCTL_SERIAL_CLEAR_STATS, 0, 0, kNoBuffer, kUnpowered, IoctlClearStats},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, kUlong, kBufferFirst, kUnpowered, IoctlGetModemControl},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, kUlong, 0, kBufferFirst, kPowered, IoctlSetModemControl},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, kUlong, 0, kBufferFirst, kPowered, IoctlSetFifoControl},

    // The driver's own codes: the lengths are the bytes each reads and writes; a
    // length the request itself chooses counts as 0, except that a string
    // descriptor read (which takes its index from the buffer) and a pipe read
    // need room for one byte: the bus takes no IN transfer of no length. The
    // four register writes and the transfer control answer Information 2
    // whatever the chip said, so their callers must give 2 bytes of output
    // (which the handler writes): a reply is never longer than the caller's
    // buffer. A request refused here answers Information 0, since it never
    // reached the handler that writes the 2 bytes.
    {IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, 0, 18, kBytesMoved, kUnpowered,
     IoctlBridgeGetDeviceDescriptor},
    {IOCTL_BRIDGE_GET_CONFIG_DESCRIPTOR, 0, 0, kBytesMoved, kUnpowered,
     IoctlBridgeGetConfigDescriptor},
    {IOCTL_BRIDGE_GET_STRING_DESCRIPTOR, 1, 1, kBytesMoved, kUnpowered,
     IoctlBridgeGetStringDescriptor},
    {IOCTL_BRIDGE_VENDOR_WRITE, 4, 0, kBytesMoved, kUnpowered, IoctlBridgeVendorWrite},
    {IOCTL_BRIDGE_VENDOR_READ, 2, 1, kBytesMoved, kUnpowered, IoctlBridgeVendorRead},
    {IOCTL_BRIDGE_PIPE0_READ, 0, 1, kBytesMoved, kUnpowered, IoctlBridgePipe0Read},
    {IOCTL_BRIDGE_PIPE1_WRITE, 0, 0, kBytesMoved, kUnpowered, IoctlBridgePipe1Write},
    {IOCTL_BRIDGE_PIPE2_READ, 0, 1, kBytesMoved, kUnpowered, IoctlBridgePipe2Read},
    {IOCTL_BRIDGE_SET_CONTROL_LINE_STATE, 2, 0, kBytesMoved, kUnpowered,
     IoctlBridgeSetControlLineState},
    {IOCTL_BRIDGE_SET_COMM_FEATURE, 2, 0, kBytesMoved, kUnpowered, IoctlBridgeSetCommFeature},
    {IOCTL_BRIDGE_WRITE_CONFIG_MEMORY, 1, 0, kBytesMoved, kUnpowered, IoctlBridgeWriteConfigMemory},
    {IOCTL_BRIDGE_READ_CONFIG_MEMORY, 2, 0, kBytesMoved, kUnpowered, IoctlBridgeReadConfigMemory},
    {IOCTL_BRIDGE_NO_OPERATION, 0, 0, kNoBuffer, kUnpowered, IoctlBridgeNoOperation},
    {IOCTL_BRIDGE_OPEN_KEY, 0, 0, kNoBuffer, kUnpowered, IoctlBridgeOpenKey},
    {IOCTL_BRIDGE_SET_CONTROL_BIT4, 1, 0, kBytesMoved, kUnpowered, IoctlBridgeSetControlBit4},
    {IOCTL_BRIDGE_SET_CONTROL_BIT5, 1, 0, kBytesMoved, kUnpowered, IoctlBridgeSetControlBit5},
    {IOCTL_BRIDGE_SET_CONTROL_BIT6, 1, 0, kBytesMoved, kUnpowered, IoctlBridgeSetControlBit6},
    {IOCTL_BRIDGE_SET_CONTROL_BIT7, 1, 0, kBytesMoved, kUnpowered, IoctlBridgeSetControlBit7},
    {IOCTL_BRIDGE_GET_CONTROL_BIT6, 0, 1, kBytesMoved, kUnpowered, IoctlBridgeGetControlBit6},
    {IOCTL_BRIDGE_GET_CONTROL_BIT7, 0, 1, kBytesMoved, kUnpowered, IoctlBridgeGetControlBit7},
    {IOCTL_BRIDGE_GET_CHIP_TYPE, 0, 1, kBytesMoved, kUnpowered, IoctlBridgeGetChipType},
    {IOCTL_BRIDGE_READ_REGISTER_0E, 0, 1, kBytesMoved, kUnpowered, IoctlBridgeReadRegister0E},
    {IOCTL_BRIDGE_WRITE_REGISTER_0E, 2, 0, kBytesMoved, kUnpowered, IoctlBridgeWriteRegister0E},
    {IOCTL_BRIDGE_READ_REGISTER_0F, 0, 1, kBytesMoved, kUnpowered, IoctlBridgeReadRegister0F},
    {IOCTL_BRIDGE_WRITE_REGISTER_0F, 2, 0, kBytesMoved, kUnpowered, IoctlBridgeWriteRegister0F},
    {IOCTL_BRIDGE_WRITE_REGISTER_06, 2, 2, kBytesMoved, kUnpowered, IoctlBridgeWriteRegister06},
    {IOCTL_BRIDGE_READ_REGISTER_06, 0, 2, kBytesMoved, kUnpowered, IoctlBridgeReadRegister06},
    {IOCTL_BRIDGE_WRITE_REGISTER_07, 2, 2, kBytesMoved, kUnpowered, IoctlBridgeWriteRegister07},
    {IOCTL_BRIDGE_READ_REGISTER_07, 0, 2, kBytesMoved, kUnpowered, IoctlBridgeReadRegister07},
    {IOCTL_BRIDGE_WRITE_REGISTER_0C, 2, 2, kBytesMoved, kUnpowered, IoctlBridgeWriteRegister0C},
    {IOCTL_BRIDGE_READ_REGISTER_0C, 0, 2, kBytesMoved, kUnpowered, IoctlBridgeReadRegister0C},
    {IOCTL_BRIDGE_WRITE_REGISTER_0D, 2, 2, kBytesMoved, kUnpowered, IoctlBridgeWriteRegister0D},
    {IOCTL_BRIDGE_READ_REGISTER_0D, 0, 2, kBytesMoved, kUnpowered, IoctlBridgeReadRegister0D},
    {IOCTL_BRIDGE_CONTROL_TRANSFERS, 2, 2, kBytesMoved, kUnpowered, IoctlBridgeControlTransfers},
    {IOCTL_BRIDGE_SET_CONTROL_BIT3, 1, 0, kBytesMoved, kUnpowered, IoctlBridgeSetControlBit3},
    {IOCTL_BRIDGE_GET_CONTROL_BIT3, 0, 1, kBytesMoved, kUnpowered, IoctlBridgeGetControlBit3},
    {IOCTL_BRIDGE_PING, 0, 1, kBytesMoved, kUnpowered, IoctlBridgePing},
};

namespace {

// The lookup is a binary search, so the table must stay sorted; a row left out of
// a table of fixed size comes out as a zero row at the end and breaks the order.
constexpr bool TableIsSorted() {
    for (ULONG i = 1; i < kDeviceControlCodeCount; ++i) {
        if (DeviceControlCodes[i - 1].Code >= DeviceControlCodes[i].Code)
            return false;
    }
    return true;
}
static_assert(TableIsSorted(), "device-control table unsorted, duplicated or short of rows");

const ControlCode* FindControlCode(ULONG code) {
    ULONG low = 0;
    ULONG high = kDeviceControlCodeCount;
    while (low < high) {
        const ULONG middle = low + (high - low) / 2;
        const ControlCode& row = DeviceControlCodes[middle];
        if (row.Code == code)
            return &row;
        if (row.Code < code) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return nullptr;
}

NTSTATUS CheckBuffer(const ControlCode& row, const ControlRequest& request) {
    const bool present = request.Buffer != nullptr;
    const bool longEnough =
        request.InputLength >= row.LeastInput && request.OutputLength >= row.LeastOutput;
    switch (row.Check) {
        case BufferCheck::None:
            return STATUS_SUCCESS;
        case BufferCheck::LengthFirst:
            if (!longEnough)
                return STATUS_BUFFER_TOO_SMALL;
            return present ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
        case BufferCheck::BufferFirst:
        case BufferCheck::BytesMoved:
            if (!present)
                return STATUS_INVALID_PARAMETER;
            return longEnough ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
    }
    return STATUS_INVALID_PARAMETER;  // not reached: every BufferCheck has its case above
}

NTSTATUS RunRow(const ControlCode& row, ControlRequest& request) {
    NTSTATUS status = CheckBuffer(row, request);
    if (!NT_SUCCESS(status))
        return status;
    if (row.Power == PowerUp::BeforeHandler && request.Port->DevicePowerState != PowerDeviceD0) {
        status = BringDeviceToD0(request.Port);
        if (!NT_SUCCESS(status))
            return status;
    }
    return row.Handler(request);
}

// Completes a request the dispatch answers itself; the caller releases its hold
// when admission took one.
NTSTATUS CompleteHere(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortOf(device);
    if (port->DeviceIsOpen != 1) {
        irp->IoStatus.Information = 0;
        return CompleteHere(irp, STATUS_INVALID_DEVICE_REQUEST);
    }

    // A request held for the next start is the stalled queue's now.
    NTSTATUS status;
    if (!AdmitOrAnswer(port, irp, &status)) {
        return status;
    }
    if (RejectOnErrorAbort(port, irp) != STATUS_SUCCESS) {
        return STATUS_CANCELLED;
    }

    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ControlRequest request = {port,
                              irp,
                              irp->AssociatedIrp.SystemBuffer,
                              sp->Parameters.DeviceIoControl.InputBufferLength,
                              sp->Parameters.DeviceIoControl.OutputBufferLength,
                              false};
    const ControlCode* row = FindControlCode(sp->Parameters.DeviceIoControl.IoControlCode);
    status = row ? RunRow(*row, request) : STATUS_INVALID_PARAMETER;
    if (request.HandedOn) {
        return status;
    }

    CompleteHere(irp, status);
    ReleasePendingHold(port);
    return status;
}
