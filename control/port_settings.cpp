// The port settings the device controls keep, their defaults, and the device
// controls that answer from them without reaching the chip or a queue.
#include "control/control.h"
#include "datapath/datapath.h"
#include "driver/driver.h"
#include "usb/usb.h"

static_assert(sizeof(SERIAL_BAUD_RATE) == 4, "published layout");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "published layout");
static_assert(sizeof(SERIAL_CHARS) == 6, "published layout");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "published layout");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "published layout");
static_assert(sizeof(SERIAL_STATUS) == 20, "published layout");
static_assert(FIELD_OFFSET(SERIAL_STATUS, EofReceived) == 16, "published layout");
static_assert(sizeof(SERIALPERF_STATS) == 24, "published layout");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "published layout");
static_assert(FIELD_OFFSET(SERIAL_COMMPROP, SettableData) == 40, "published layout");
static_assert(FIELD_OFFSET(SERIAL_COMMPROP, CurrentRxQueue) == 48, "published layout");
static_assert(FIELD_OFFSET(SERIAL_COMMPROP, ProvChar) == 60, "published layout");

void WriteDefaultSettings(PortExtension* port) {
    port->CurrentBaud = 0;
    port->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    port->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    port->HandFlow.XonLimit = static_cast<LONG>(port->ReceiveBufferSize / 2);
    port->HandFlow.XoffLimit = static_cast<LONG>(port->ReceiveBufferSize / 8);
    // Only the flow-control characters have defaults; the others keep what they had.
    port->SpecialChars.XonChar = 0x11;
    port->SpecialChars.XoffChar = 0x13;
    port->LineControl = 0x1A;  // 7 data bits, even parity, 1 stop bit
    port->ValidDataMask = 0x7F;
    // The line is back at its default: no request has set it since.
    port->LastLineControlRequest = {};
    port->SettableBaud = 0x10067FF9;
    port->DeviceIsOpen = 0;
    port->RxFifoSetting = 0;
    port->TxFifoSetting = 1;
}

namespace {

// LineControl keeps the 16550 line-control layout.
constexpr UCHAR kWordLengthBits = 0x03;
constexpr UCHAR kExtraStopBit = 0x04;
constexpr UCHAR kParityShift = 3;
constexpr UCHAR kParityBits = 0x38;
constexpr UCHAR kBreakBit = 0x40;

// Parity field of LineControl (bits 3-5) to the published parity value. Without
// the enable bit (bit 3) there is no parity whatever the other two say.
constexpr UCHAR kParityOfLineControl[8] = {NO_PARITY, ODD_PARITY,  NO_PARITY, EVEN_PARITY,
                                           NO_PARITY, MARK_PARITY, NO_PARITY, SPACE_PARITY};

// The ring indicator's bit of ModemStatusWord, as the chip's status packet
// carries it.
constexpr USHORT kStatusRi = 0x0008;

// The hold reasons GET_COMMSTATUS reports. Lowering DTR or RTS to hold the sender
// has no published bit and is not reported.
struct HoldReport {
    bool Receive;  // a reason of RxHoldReasons rather than TxHoldReasons
    ULONG Internal;
    ULONG Reported;
};
constexpr HoldReport kHoldReports[] = {
    {false, TX_HOLD_CTS, SERIAL_TX_WAITING_FOR_CTS},
    {false, TX_HOLD_DSR, SERIAL_TX_WAITING_FOR_DSR},
    {false, TX_HOLD_DCD, SERIAL_TX_WAITING_FOR_DCD},
    {false, TX_HOLD_XOFF, SERIAL_TX_WAITING_FOR_XON},
    {false, TX_HOLD_BREAK, SERIAL_TX_WAITING_ON_BREAK},
    {true, RX_HOLD_XOFF, SERIAL_TX_WAITING_XOFF_SENT},
    {true, RX_HOLD_DSR, SERIAL_RX_WAITING_FOR_DSR},
};

NTSTATUS Reply(ControlRequest& request, const void* record, ULONG size) {
    RtlCopyMemory(request.Buffer, record, size);
    request.Irp->IoStatus.Information = size;
    return STATUS_SUCCESS;
}

NTSTATUS ReplyUlong(ControlRequest& request, ULONG value) {
    return Reply(request, &value, sizeof(value));
}

// The length of the current write-queue request that TotalCharsQueued counts: a
// write's whole length, or the one XOFF character of an XOFF_COUNTER.
ULONG QueuedLengthOf(PIRP request) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(request);
    return sp->MajorFunction == IRP_MJ_WRITE ? sp->Parameters.Write.Length : 1;
}

// A copy of one setting taken under ControlLock, which every writer of it holds.
template <typename T>
T ReadUnderControlLock(PortExtension* port, const T& field) {
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&port->ControlLock);
    const T value = field;
    KeReleaseSpinLock(&port->ControlLock, irql);
    return value;
}

}  // namespace

NTSTATUS IoctlGetBaudRate(ControlRequest& request) {
    SERIAL_BAUD_RATE reply = {ReadUnderControlLock(request.Port, request.Port->CurrentBaud)};
    return Reply(request, &reply, sizeof(reply));
}

NTSTATUS IoctlSetBaudRate(ControlRequest& request) {
    // No rate is refused: 0 and the current rate leave the chip alone, and one the
    // chip cannot take is replaced by one it can, which GET_BAUD_RATE then shows.
    SetBaudRate(request.Port, static_cast<PSERIAL_BAUD_RATE>(request.Buffer)->BaudRate);
    return STATUS_SUCCESS;
}

namespace {

// One SERIAL_LINE_CONTROL request taken apart: the LineControl bits it gives.
struct LineControlChoice {
    UCHAR Bits;      // word-length code, extra stop bit, parity bits
    UCHAR DataMask;  // ValidDataMask
};

// Answers false for a field or a pair of fields the line cannot take.
bool ChooseLineControl(const SERIAL_LINE_CONTROL& line, LineControlChoice* choice) {
    if (line.WordLength < 5 || line.WordLength > 8) return false;
    constexpr UCHAR kParity[] = {0x00, 0x08, 0x18, 0x28, 0x38};
    if (line.Parity > SPACE_PARITY) return false;
    const bool fiveBits = line.WordLength == 5;
    UCHAR stopBit = 0;
    switch (line.StopBits) {
        case STOP_BIT_1: break;
        case STOP_BITS_1_5:
            if (!fiveBits) return false;
            stopBit = kExtraStopBit;
            break;
        case STOP_BITS_2:
            if (fiveBits) return false;
            stopBit = kExtraStopBit;
            break;
        default: return false;
    }
    const UCHAR code = static_cast<UCHAR>(line.WordLength - 5);
    choice->Bits = static_cast<UCHAR>(kParity[line.Parity] | stopBit | code);
    choice->DataMask = static_cast<UCHAR>((1u << line.WordLength) - 1);
    return true;
}

}  // namespace

// Every field is checked before anything is written: a refused request leaves
// the line, its WMI copy and the remembered request as they were.
NTSTATUS IoctlSetLineControl(ControlRequest& request) {
    PortExtension* port = request.Port;
    SERIAL_LINE_CONTROL line;
    RtlCopyMemory(&line, request.Buffer, sizeof(line));
    const SERIAL_LINE_CONTROL& last = port->LastLineControlRequest;
    // The same request again needs neither the chip nor a powered device. A
    // remembered word length of 0 is no request at all: nothing has been
    // accepted since the line took its defaults.
    if (last.WordLength != 0 && line.StopBits == last.StopBits && line.Parity == last.Parity &&
        line.WordLength == last.WordLength)
        return STATUS_SUCCESS;
    LineControlChoice choice;
    if (!ChooseLineControl(line, &choice)) return STATUS_INVALID_PARAMETER;
    if (port->DevicePowerState != PowerDeviceD0) {
        const NTSTATUS power = RequestDevicePowerD0(port->PhysicalDevice, port);
        if (!NT_SUCCESS(power)) return power;
    }
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&port->ControlLock);
    port->LastLineControlRequest = line;
    // The break bit is the line's own state, not the request's.
    port->LineControl = static_cast<UCHAR>((port->LineControl & kBreakBit) | choice.Bits);
    port->ValidDataMask = choice.DataMask;
    WriteWmiLineControl(port);
    KeReleaseSpinLock(&port->ControlLock, irql);
    SetLineControl(port);
    return STATUS_SUCCESS;
}

NTSTATUS IoctlGetLineControl(ControlRequest& request) {
    const UCHAR lineControl = ReadUnderControlLock(request.Port, request.Port->LineControl);

    SERIAL_LINE_CONTROL reply;
    reply.WordLength = static_cast<UCHAR>(5 + (lineControl & kWordLengthBits));
    reply.Parity = kParityOfLineControl[(lineControl & kParityBits) >> kParityShift];
    // The one "extra stop bit" flag means one and a half with 5 data bits.
    if (!(lineControl & kExtraStopBit)) {
        reply.StopBits = STOP_BIT_1;
    } else {
        reply.StopBits = reply.WordLength == 5 ? STOP_BITS_1_5 : STOP_BITS_2;
    }
    return Reply(request, &reply, sizeof(reply));
}

NTSTATUS IoctlGetChars(ControlRequest& request) {
    const SERIAL_CHARS reply = ReadUnderControlLock(request.Port, request.Port->SpecialChars);
    return Reply(request, &reply, sizeof(reply));
}

NTSTATUS IoctlSetChars(ControlRequest& request) {
    PortExtension* port = request.Port;
    SERIAL_CHARS chars;
    RtlCopyMemory(&chars, request.Buffer, sizeof(chars));
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&port->ControlLock);
    // A flow character that is also the escape character could not be told apart
    // from an escape sequence.
    if (port->EscapeChar && (port->EscapeChar == chars.XonChar || port->EscapeChar == chars.XoffChar)) {
        KeReleaseSpinLock(&port->ControlLock, irql);
        return STATUS_INVALID_PARAMETER;
    }
    port->SpecialChars = chars;
    port->WmiCommInfo.XonCharacter = chars.XonChar;
    port->WmiCommInfo.XoffCharacter = chars.XoffChar;
    KeReleaseSpinLock(&port->ControlLock, irql);
    // The newer chips send and obey the flow characters themselves; the older
    // ones have no register for them, and the driver sends its own.
    ChipWriteXonXoff(port, chars.XonChar, chars.XoffChar);
    return STATUS_SUCCESS;
}

bool HandFlowAcceptable(const PortExtension* port, const SERIAL_HANDFLOW& handFlow) {
    const ULONG ringSize = port->ReceiveBufferSize;
    const bool limitsFit = handFlow.XonLimit >= 0 && static_cast<ULONG>(handFlow.XonLimit) <= ringSize &&
                           handFlow.XoffLimit >= 0 && static_cast<ULONG>(handFlow.XoffLimit) <= ringSize;
    return !((handFlow.ControlHandShake & SERIAL_CONTROL_INVALID) ||
             (handFlow.FlowReplace & SERIAL_FLOW_INVALID) ||
             (handFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK || !limitsFit ||
             (port->EscapeChar && (handFlow.FlowReplace & SERIAL_ERROR_CHAR)));
}

void InstallHandFlow(PortExtension* port, const SERIAL_HANDFLOW& handFlow) {
    ApplyHandFlow(port, handFlow, false);
    // WMI publishes the limits the ring works with now.
    port->WmiCommInfo.XoffXmitThreshold = static_cast<ULONG>(handFlow.XoffLimit);
    port->WmiCommInfo.XonXmitThreshold = static_cast<ULONG>(handFlow.XonLimit);
}

NTSTATUS IoctlSetHandFlow(ControlRequest& request) {
    SERIAL_HANDFLOW handFlow;
    RtlCopyMemory(&handFlow, request.Buffer, sizeof(handFlow));
    if (!HandFlowAcceptable(request.Port, handFlow))
        return STATUS_INVALID_PARAMETER;
    InstallHandFlow(request.Port, handFlow);
    return STATUS_SUCCESS;
}

NTSTATUS IoctlGetHandFlow(ControlRequest& request) {
    const SERIAL_HANDFLOW reply = ReadUnderControlLock(request.Port, request.Port->HandFlow);
    return Reply(request, &reply, sizeof(reply));
}

bool TimeoutsAcceptable(const SERIAL_TIMEOUTS& timeouts) {
    // All three read values at MAXULONG has no meaning a read could follow.
    return !(timeouts.ReadIntervalTimeout == MAXULONG &&
             timeouts.ReadTotalTimeoutMultiplier == MAXULONG &&
             timeouts.ReadTotalTimeoutConstant == MAXULONG);
}

void InstallTimeouts(PortExtension* port, const SERIAL_TIMEOUTS& timeouts) {
    // Under ControlLock, where the read path copies it: never a torn record.
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&port->ControlLock);
    port->Timeouts = timeouts;
    KeReleaseSpinLock(&port->ControlLock, irql);
}

NTSTATUS IoctlSetTimeouts(ControlRequest& request) {
    SERIAL_TIMEOUTS timeouts;
    RtlCopyMemory(&timeouts, request.Buffer, sizeof(timeouts));
    if (!TimeoutsAcceptable(timeouts))
        return STATUS_INVALID_PARAMETER;
    InstallTimeouts(request.Port, timeouts);
    return STATUS_SUCCESS;
}

NTSTATUS IoctlGetTimeouts(ControlRequest& request) {
    const SERIAL_TIMEOUTS reply = ReadUnderControlLock(request.Port, request.Port->Timeouts);
    return Reply(request, &reply, sizeof(reply));
}

void FillCommProperties(const PortExtension* port, SERIAL_COMMPROP* properties) {
    SERIAL_COMMPROP& reply = *properties;
    RtlZeroMemory(&reply, sizeof(reply));
    reply.PacketLength = sizeof(SERIAL_COMMPROP);
    reply.PacketVersion = 2;
    reply.ServiceMask = SERIAL_SP_SERIALCOMM;
    reply.MaxBaud = SERIAL_BAUD_USER;
    reply.ProvSubType = SERIAL_SP_RS232;
    reply.ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD |
                             SERIAL_PCF_PARITY_CHECK | SERIAL_PCF_XONXOFF | SERIAL_PCF_SETXCHAR |
                             SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS;
    reply.SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS |
                           SERIAL_SP_STOPBITS | SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK |
                           SERIAL_SP_CARRIER_DETECT;
    reply.SettableBaud = port->SettableBaud;
    reply.SettableData =
        SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
    reply.SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 |
                               SERIAL_PARITY_NONE | SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN |
                               SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
    // The driver keeps no transmit buffer: writes go to the chip from the caller's.
    reply.CurrentTxQueue = 0;
    reply.CurrentRxQueue = port->ReceiveBufferSize;
}

NTSTATUS IoctlGetProperties(ControlRequest& request) {
    SERIAL_COMMPROP reply;
    FillCommProperties(request.Port, &reply);
    return Reply(request, &reply, sizeof(reply));
}

NTSTATUS IoctlGetStats(ControlRequest& request) {
    const SERIALPERF_STATS reply = request.Port->PerfStats;
    return Reply(request, &reply, sizeof(reply));
}

NTSTATUS IoctlClearStats(ControlRequest& request) {
    PortExtension* port = request.Port;
    // The data paths count with interlocked additions at DISPATCH_LEVEL; a plain
    // store could interleave with one and bring back a count being cleared.
    SERIALPERF_STATS* const sets[] = {&port->PerfStats, &port->WmiPerfStats};
    for (SERIALPERF_STATS* stats : sets) {
        ULONG* const counters[] = {&stats->ReceivedCount,           &stats->TransmittedCount,
                                   &stats->FrameErrorCount,         &stats->SerialOverrunErrorCount,
                                   &stats->BufferOverrunErrorCount, &stats->ParityErrorCount};
        for (ULONG* counter : counters) {
            InterlockedExchange(reinterpret_cast<volatile LONG*>(counter), 0);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS IoctlConfigSize(ControlRequest& request) {
    return ReplyUlong(request, 0);
}

NTSTATUS IoctlResetDevice(ControlRequest&) {
    return STATUS_SUCCESS;
}

NTSTATUS IoctlGetWaitMask(ControlRequest& request) {
    return ReplyUlong(request, request.Port->WaitMask);
}

NTSTATUS IoctlLsrMstInsert(ControlRequest& request) {
    PortExtension* port = request.Port;
    const UCHAR escape = *static_cast<const UCHAR*>(request.Buffer);
    NTSTATUS status = STATUS_SUCCESS;
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&port->ControlLock);
    // An escape equal to a flow-control character would be swallowed by flow
    // control; with error replacement on, an inserted error sequence could not be
    // told from a replaced character.
    if (escape != 0 &&
        (escape == port->SpecialChars.XonChar || escape == port->SpecialChars.XoffChar ||
         (port->HandFlow.FlowReplace & SERIAL_ERROR_CHAR))) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        port->EscapeChar = escape;
    }
    KeReleaseSpinLock(&port->ControlLock, irql);
    return status;
}

// Reception changes the hold reasons at DISPATCH_LEVEL, possibly on another
// processor; the bit operations are interlocked so neither side loses the other's.
NTSTATUS IoctlSetXoff(ControlRequest& request) {
    PortExtension* port = request.Port;
    InterlockedOr(reinterpret_cast<volatile LONG*>(&port->TxHoldReasons), TX_HOLD_XOFF);
    if ((port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) {
        QueueToggleCheck(port);
    }
    return STATUS_SUCCESS;
}

NTSTATUS IoctlSetXon(ControlRequest& request) {
    PortExtension* port = request.Port;
    InterlockedAnd(reinterpret_cast<volatile LONG*>(&port->TxHoldReasons),
                   ~static_cast<LONG>(TX_HOLD_XOFF));
    // As a received XON: the XOFF that came over the line is answered too, and a
    // write held by it goes on.
    port->XoffReceived = 0;
    if (port->WriteHeld) ResumeHeldWrite(port);
    return STATUS_SUCCESS;
}

NTSTATUS IoctlGetModemStatus(ControlRequest& request) {
    PortExtension* port = request.Port;
    // Clearing the ring bit rewrites a word the status path stores at
    // DISPATCH_LEVEL; both sides do it under ControlLock, so the clear cannot undo
    // the lines of a packet that arrives meanwhile. The image also brings the
    // holds that follow the lines up to date; it records no events.
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&port->ControlLock);
    const ULONG image = ProcessModemStatus(port);
    // The older chips raise RI for a moment and never report its end: report each
    // ring once.
    if (port->ChipType == 0 || port->ChipType == 1) {
        port->ModemStatusWord = static_cast<USHORT>(port->ModemStatusWord & ~kStatusRi);
    }
    KeReleaseSpinLock(&port->ControlLock, irql);
    return ReplyUlong(request, image);
}

NTSTATUS IoctlGetDtrRts(ControlRequest& request) {
    return ReplyUlong(request,
                      request.Port->ControlLineState & (SERIAL_DTR_STATE | SERIAL_RTS_STATE));
}

NTSTATUS IoctlGetModemControl(ControlRequest& request) {
    return ReplyUlong(request, ReadUnderControlLock(request.Port, request.Port->ControlLineState));
}

NTSTATUS IoctlGetCommStatus(ControlRequest& request) {
    PortExtension* port = request.Port;
    SERIAL_STATUS reply;
    RtlZeroMemory(&reply, sizeof(reply));

    // The cancel spin lock keeps the write slot and the queued count together.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Read and clear in one step: an error reception records meanwhile is either
    // reported now or kept for the next call, never lost between the two.
    reply.Errors = static_cast<ULONG>(
        InterlockedExchange(reinterpret_cast<volatile LONG*>(&port->ErrorFlags), 0));
    reply.EofReceived = FALSE;
    reply.AmountInInQueue = port->CharsInBuffer;
    reply.AmountInOutQueue = port->TotalCharsQueued;
    PIRP current = port->CurrentWrite;
    if (port->WriteRemaining != 0 && current) {
        // The current request is counted whole until it leaves its slot; report
        // what of it is still unsent instead.
        const ULONG whole = QueuedLengthOf(current);
        if (reply.AmountInOutQueue >= whole) {
            reply.AmountInOutQueue = reply.AmountInOutQueue - whole + port->WriteRemaining;
        }
    }
    reply.WaitForImmediate = port->TransmittingImmediate ? TRUE : FALSE;
    const ULONG txHolds = port->TxHoldReasons;
    const ULONG rxHolds = port->RxHoldReasons;
    IoReleaseCancelSpinLock(irql);

    for (const HoldReport& hold : kHoldReports) {
        if ((hold.Receive ? rxHolds : txHolds) & hold.Internal)
            reply.HoldReasons |= hold.Reported;
    }
    return Reply(request, &reply, sizeof(reply));
}
