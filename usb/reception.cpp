// What the continuous transfers bring: status packets (modem lines, line errors
// and the events they raise) and received bytes (software flow control, null
// stripping, escapes, events), handed to the receive ring.
#include "usb/usb.h"

#include "datapath/datapath.h"

namespace {

// Status word bits.
constexpr USHORT kDcd = 0x01;
constexpr USHORT kDsr = 0x02;
constexpr USHORT kBreak = 0x04;
constexpr USHORT kRing = 0x08;
constexpr USHORT kFraming = 0x10;
constexpr USHORT kParity = 0x20;
constexpr USHORT kOverrun = 0x40;
constexpr USHORT kCts = 0x80;

// Line-status image bits (16550 layout).
constexpr UCHAR kLsrOverrun = 0x02;
constexpr UCHAR kLsrParity = 0x04;
constexpr UCHAR kLsrFraming = 0x08;
constexpr UCHAR kLsrBreak = 0x10;

void Count(ULONG* counter, ULONG* wmiCounter) {
    InterlockedIncrement(AsLong(counter));
    InterlockedIncrement(AsLong(wmiCounter));
}

void SetTxHold(PortExtension* port, ULONG reason) { InterlockedOr(AsLong(&port->TxHoldReasons), static_cast<LONG>(reason)); }
// Answers whether the hold was set.
bool ClearTxHold(PortExtension* port, ULONG reason) {
    return (InterlockedAnd(AsLong(&port->TxHoldReasons), static_cast<LONG>(~reason)) & static_cast<LONG>(reason)) != 0;
}

// The modem-status change byte (16550 layout) between two status words.
UCHAR ModemChanges(const PortExtension* port, USHORT now, USHORT before) {
    UCHAR changes = 0;
    const USHORT differ = now ^ before;
    if (differ & kDcd) changes |= 0x08 | ((now & kDcd) ? 0x80 : 0);
    if (differ & kDsr) changes |= 0x02 | ((now & kDsr) ? 0x20 : 0);
    // The older chips report a held ring indicator in every packet.
    if (port->ChipType < 2) {
        if (now & kRing) changes |= 0x44;
    } else if (differ & kRing) {
        changes |= 0x04 | ((now & kRing) ? 0x40 : 0);
    }
    if (differ & kCts) changes |= 0x01 | ((now & kCts) ? 0x10 : 0);
    return changes;
}

ULONG ModemEvents(UCHAR changes) {
    ULONG events = 0;
    if (changes & 0x01) events |= SERIAL_EV_CTS;
    if (changes & 0x02) events |= SERIAL_EV_DSR;
    if (changes & 0x04) events |= SERIAL_EV_RING;
    if (changes & 0x08) events |= SERIAL_EV_RLSD;
    return events;
}

// The line errors one status packet carries: counted, put in ErrorFlags, and
// inserted into the receive stream (escape sequence, error or break character),
// once for that packet.
void ReportLineErrors(PortExtension* port, UCHAR lineStatus) {
    if (!(lineStatus & (kLsrOverrun | kLsrParity | kLsrFraming | kLsrBreak))) return;
    const ULONG flowReplace = port->HandFlow.FlowReplace;
    UCHAR inserted[6];
    ULONG count = 0;
    if (port->EscapeChar) {
        inserted[count++] = port->EscapeChar;
        inserted[count++] = SERIAL_LSRMST_LSR_NODATA;
        inserted[count++] = lineStatus;
    }
    ULONG errors = 0;
    ULONG events = 0;
    if (lineStatus & kLsrOverrun) {
        Count(&port->PerfStats.SerialOverrunErrorCount, &port->WmiPerfStats.SerialOverrunErrorCount);
        errors |= SERIAL_ERROR_OVERRUN;
        events |= SERIAL_EV_ERR;
        if (flowReplace & SERIAL_ERROR_CHAR) inserted[count++] = port->SpecialChars.ErrorChar;
    }
    if (lineStatus & kLsrBreak) {
        errors |= SERIAL_ERROR_BREAK;
        events |= SERIAL_EV_BREAK;
        if (flowReplace & SERIAL_BREAK_CHAR) inserted[count++] = port->SpecialChars.BreakChar;
    } else {
        if (lineStatus & kLsrParity) {
            Count(&port->PerfStats.ParityErrorCount, &port->WmiPerfStats.ParityErrorCount);
            errors |= SERIAL_ERROR_PARITY;
            events |= SERIAL_EV_ERR;
            if (flowReplace & SERIAL_ERROR_CHAR) inserted[count++] = port->SpecialChars.ErrorChar;
        }
        if (lineStatus & kLsrFraming) {
            Count(&port->PerfStats.FrameErrorCount, &port->WmiPerfStats.FrameErrorCount);
            errors |= SERIAL_ERROR_FRAMING;
            events |= SERIAL_EV_ERR;
            if (flowReplace & SERIAL_ERROR_CHAR) inserted[count++] = port->SpecialChars.ErrorChar;
        }
    }
    InterlockedOr(AsLong(&port->ErrorFlags), static_cast<LONG>(errors));
    if (count) InsertReceivedChars(port, inserted, count);
    RecordEvents(port, events);
    if (port->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) QueueDeferred(port, &port->Dpc.ErrorAbort);
}

// A status packet: the modem lines and line errors it brings, the events they
// raise and, with an escape character, the line-state image in the stream.
void ProcessStatusPacket(PortExtension* port) {
    const USHORT now = port->ModemStatusWord;
    const UCHAR changes = ModemChanges(port, now, port->PreviousModemStatusWord);
    port->PreviousModemStatusWord = now;
    const UCHAR lineState = ProcessModemStatus(port);
    if (port->EscapeChar && (changes & 0x0F)) {
        const UCHAR inserted[3] = {port->EscapeChar, SERIAL_LSRMST_MST, lineState};
        InsertReceivedChars(port, inserted, sizeof inserted);
    }
    RecordEvents(port, ModemEvents(changes));
    ReportLineErrors(port, LineStatusImage(now));
    // The transmitter may go on where a hold on a line just went.
    if (port->WriteHeld) ResumeHeldWrite(port);
}

}  // namespace

UCHAR LineStatusImage(USHORT word) {
    UCHAR image = 0;
    if (word & kOverrun) image |= kLsrOverrun;
    if (word & kParity) image |= kLsrParity;
    if (word & kFraming) image |= kLsrFraming;
    if (word & kBreak) image |= kLsrBreak;
    return image;
}

UCHAR ProcessModemStatus(PortExtension* port) {
    const USHORT word = port->ModemStatusWord;
    UCHAR image = 0;
    if (word & kDcd) image |= 0x80;
    if (word & kDsr) image |= 0x20;
    if (word & kRing) image |= 0x40;
    if (word & kCts) image |= 0x10;
    // The output handshakes hold the transmitter while their line is off,
    // whether the chip carries them out (it then stops itself too) or only the
    // driver can: DSR on chips 0 to 2, DCD on every chip.
    const ULONG handShake = port->HandFlow.ControlHandShake;
    bool released = false;
    auto follow = [&](bool applies, bool lineOn, ULONG hold) {
        if (applies && !lineOn)
            SetTxHold(port, hold);
        else
            released |= ClearTxHold(port, hold);
    };
    follow(port->DsrFlowInChip || (handShake & SERIAL_DSR_HANDSHAKE), (word & kDsr) != 0, TX_HOLD_DSR);
    follow(port->CtsFlowInChip || (handShake & SERIAL_CTS_HANDSHAKE), (word & kCts) != 0, TX_HOLD_CTS);
    follow((handShake & SERIAL_DCD_HANDSHAKE) != 0, (word & kDcd) != 0, TX_HOLD_DCD);
    volatile LONG* rxHolds = AsLong(&port->RxHoldReasons);
    if ((port->HandFlow.ControlHandShake & SERIAL_DSR_SENSITIVITY) && !(image & 0x20))
        InterlockedOr(rxHolds, RX_HOLD_DSR);
    else
        InterlockedAnd(rxHolds, ~static_cast<LONG>(RX_HOLD_DSR));
    (void)released;
    return image;
}

bool ProcessStatusTransfer(PortExtension* port, const TransferOutcome& outcome) {
    if (!NT_SUCCESS(outcome.Status) || outcome.Length == 0) return false;
    // Only a whole packet carries a status word; anything else is read again.
    if (outcome.Length == kStatusPacketLength) {
        // Under ControlLock, as GET_MODEMSTATUS changes the word.
        const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&port->ControlLock);
        port->ModemStatusWord = static_cast<USHORT>(outcome.Data[8] | outcome.Data[9] << 8);
        KeReleaseSpinLock(&port->ControlLock, irql);
        if (port->OpenCount != 0) ProcessStatusPacket(port);
    }
    return true;
}

bool ProcessReceiveTransfer(PortExtension* port, const TransferOutcome& outcome) {
    if (!NT_SUCCESS(outcome.Status) || port->OpenCount == 0) return false;
    const ULONG flowReplace = port->HandFlow.FlowReplace;
    const UCHAR xon = port->SpecialChars.XonChar;
    const UCHAR xoff = port->SpecialChars.XoffChar;
    const UCHAR eventChar = port->SpecialChars.EventChar;
    const UCHAR mask = port->ValidDataMask;
    ULONG events = 0;
    ReceiveActions actions = kNoReceiveActions;
    // Runs of plain characters are stored under one hold of the two locks;
    // flow-control characters are taken out of the stream between runs.
    UCHAR run[kBulkInLength * 2];
    ULONG runLength = 0;
    auto store = [&] {
        if (!runLength) return;
        KIRQL irql;
        KeAcquireSpinLock(&port->ControlLock, &irql);
        KeAcquireSpinLockAtDpcLevel(&port->FillLock);
        if (port->DeviceIsOpen) PutReceivedChars(port, run, runLength, actions);
        KeReleaseSpinLockFromDpcLevel(&port->FillLock);
        KeReleaseSpinLock(&port->ControlLock, irql);
        runLength = 0;
    };
    InterlockedExchangeAdd(AsLong(&port->PerfStats.ReceivedCount), static_cast<LONG>(outcome.Length));
    InterlockedExchangeAdd(AsLong(&port->WmiPerfStats.ReceivedCount), static_cast<LONG>(outcome.Length));
    // Nothing to take out of the stream or change in it: the transfer is one
    // run, stored as it came.
    const bool plain = mask == 0xFF && !(flowReplace & (SERIAL_NULL_STRIPPING | SERIAL_AUTO_TRANSMIT)) &&
                       !port->EscapeChar;
    if (plain && outcome.Length) {
        events |= SERIAL_EV_RXCHAR;
        for (ULONG i = 0; i < outcome.Length; ++i) {
            if (outcome.Data[i] == eventChar) {
                events |= SERIAL_EV_RXFLAG;
                break;
            }
        }
        KIRQL irql;
        KeAcquireSpinLock(&port->ControlLock, &irql);
        KeAcquireSpinLockAtDpcLevel(&port->FillLock);
        if (port->DeviceIsOpen) PutReceivedChars(port, outcome.Data, outcome.Length, actions);
        KeReleaseSpinLockFromDpcLevel(&port->FillLock);
        KeReleaseSpinLock(&port->ControlLock, irql);
    }
    for (ULONG i = 0; !plain && i < outcome.Length; ++i) {
        const UCHAR c = static_cast<UCHAR>(outcome.Data[i] & mask);
        if (c == 0 && (flowReplace & SERIAL_NULL_STRIPPING)) continue;
        if ((flowReplace & SERIAL_AUTO_TRANSMIT) && (c == xoff || c == xon)) {
            store();
            if (c == xoff) {
                SetTxHold(port, TX_HOLD_XOFF);
                port->XoffReceived = 1;
                if ((flowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) QueueToggleCheck(port);
            } else if (ClearTxHold(port, TX_HOLD_XOFF)) {
                port->XoffReceived = 0;
                if (port->WriteHeld) ResumeHeldWrite(port);
            }
            continue;
        }
        run[runLength++] = c;
        // An escape character received is stored as the escape sequence for itself.
        if (port->EscapeChar && c == port->EscapeChar) run[runLength++] = SERIAL_LSRMST_ESCAPE;
        events |= SERIAL_EV_RXCHAR;
        if (c == eventChar) events |= SERIAL_EV_RXFLAG;
    }
    store();
    actions.Events |= events;
    // Bulk-in goes on unless a receive hold keeps the pipe idle: the chip's own
    // buffer then fills and its flow control holds the far end.
    const bool held = ReaderHeld(port);
    CarryOut(port, actions);
    return !held;
}

void ProcessTransmitTransfer(PortExtension* port, const TransferOutcome& outcome) {
    if (NT_SUCCESS(outcome.Status) && outcome.Length) {
        // The chip sends what it took at the line rate: the transmitter is busy
        // until then. It holds at most its FIFO and the character being shifted.
        const ULONGLONG now = KeQueryInterruptTime();
        const LONGLONG character = CharacterTime(port);
        const ULONGLONG from = port->TransmitEndsAt > now ? port->TransmitEndsAt : now;
        const ULONGLONG latest = now + static_cast<ULONGLONG>(TransmitFifoDepth(port->ChipType) + 1) * character;
        const ULONGLONG ends = from + static_cast<ULONGLONG>(outcome.Length) * character;
        port->TransmitEndsAt = ends < latest ? ends : latest;
        InterlockedExchangeAdd(AsLong(&port->PerfStats.TransmittedCount), static_cast<LONG>(outcome.Length));
        InterlockedExchangeAdd(AsLong(&port->WmiPerfStats.TransmittedCount), static_cast<LONG>(outcome.Length));
        if (outcome.Purpose == BulkOutPurpose::WriteChunk || outcome.Purpose == BulkOutPurpose::Immediate)
            InterlockedExchange(&port->EmptiedTransmit, 1);
    }
    if (outcome.Purpose == BulkOutPurpose::WriteChunk)
        ContinueWrite(port, outcome.Status, outcome.Length, outcome.Serial);
}
