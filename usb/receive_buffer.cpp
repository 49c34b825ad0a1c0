// The receive ring and receive flow control: storing characters into the
// waiting read or the ring, the DTR, RTS and XOFF holds and their release, the
// handflow record applied to lines and chip, event delivery to a waiting
// WAIT_ON_MASK, and the transmit-toggle mode.
//
// Decisions about the wire (a control line, an XON or XOFF, restarting bulk-in)
// are made under the locks and carried out after every spin lock is released:
// the bus may complete a request inside IoCallDriver.
#include "usb/usb.h"

#include "datapath/datapath.h"

namespace {

// Sets hold bits; answers whether any of them was clear before.
bool TakeRxHold(PortExtension* port, ULONG bits) {
    return (InterlockedOr(AsLong(&port->RxHoldReasons), static_cast<LONG>(bits)) & static_cast<LONG>(bits)) !=
           static_cast<LONG>(bits);
}
// Clears hold bits; answers whether any was set.
bool DropRxHold(PortExtension* port, ULONG bits) {
    return (InterlockedAnd(AsLong(&port->RxHoldReasons), static_cast<LONG>(~bits)) & static_cast<LONG>(bits)) != 0;
}

// Thresholds of the holds: the level at which storing one more character takes
// them. Small rings saturate at 0 rather than wrapping, so the handshake still
// holds the sender there.
ULONG XoffLimitLevel(const PortExtension* port) {
    const ULONG size = port->ReceiveBufferSize;
    const ULONG xoffLimit = static_cast<ULONG>(port->HandFlow.XoffLimit);
    return size > xoffLimit ? size - xoffLimit : 0;
}
// The DTR hold stops the reader: the rest of the transfer that took it must
// still fit, however small XoffLimit is.
ULONG DtrThreshold(const PortExtension* port) {
    const ULONG size = port->ReceiveBufferSize;
    const ULONG level = XoffLimitLevel(port);
    const ULONG room = size > kBulkInLength ? size - kBulkInLength : 0;
    return level < room ? level : room;
}
ULONG EarlyThreshold(const PortExtension* port) {
    const ULONG level = XoffLimitLevel(port);
    return level > 400 ? level - 400 : 0;
}

void RingToFillArea(PortExtension* port) {
    port->CharsInBuffer = 0;
    port->FillAreaStart = port->ReceiveBuffer;
    port->FillPosition = port->ReceiveBuffer;
    port->FirstReadable = port->ReceiveBuffer;
    port->FillAreaLast = port->ReceiveBuffer + port->ReceiveBufferSize - 1;
}

// The counting XOFF_COUNTER takes every received character; the one that takes
// its count from 1 to 0 queues its completion.
void CountForXoffCounter(PortExtension* port) {
    for (;;) {
        const LONG seen = port->XoffCountRemaining;
        if (seen <= 0) return;
        if (InterlockedCompareExchange(&port->XoffCountRemaining, seen - 1, seen) == seen) {
            if (seen == 1) QueueDeferred(port, &port->Dpc.XoffCounterDone);
            return;
        }
    }
}

// The holds a character stored into the ring may take.
void TakeHolds(PortExtension* port, ReceiveActions& actions) {
    const ULONG level = port->CharsInBuffer + 1;
    const ULONG controlHandShake = port->HandFlow.ControlHandShake;
    const ULONG flowReplace = port->HandFlow.FlowReplace;
    if ((controlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE && level >= DtrThreshold(port) &&
        TakeRxHold(port, RX_HOLD_DTR))
        actions.Dtr = 0;
    if ((flowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE && level >= EarlyThreshold(port) &&
        TakeRxHold(port, RX_HOLD_RTS)) {
        // Bulk-in stops; a chip that does RTS flow control itself drops the line
        // when its own buffer fills, for the others the driver drops it.
        if (!port->RtsFlowInChip) actions.Rts = 0;
    }
    if ((flowReplace & SERIAL_AUTO_RECEIVE) && level >= EarlyThreshold(port) && TakeRxHold(port, RX_HOLD_XOFF)) {
        // The newer chips send XOFF themselves once their own buffer fills.
        if (port->ChipType < 2) {
            actions.SendXoff = true;
            port->XoffSentByDriver = 1;
        }
    }
}

void PutOne(PortExtension* port, UCHAR c, ReceiveActions& actions) {
    if (port->HandFlow.ControlHandShake & SERIAL_DSR_SENSITIVITY) {
        ProcessModemStatus(port);
        if (port->RxHoldReasons & RX_HOLD_DSR) return;
    }
    CountForXoffCounter(port);
    if (port->FillAreaStart != port->ReceiveBuffer) {
        // Straight into the waiting read's buffer.
        *port->FillPosition = c;
        InterlockedIncrement(reinterpret_cast<volatile LONG*>(&port->CharsSinceIntervalCheck));
        if (port->FillPosition == port->FillAreaLast) {
            RingToFillArea(port);
            if (port->CurrentRead)
                port->CurrentRead->IoStatus.Information =
                    IoGetCurrentIrpStackLocation(port->CurrentRead)->Parameters.Read.Length;
            QueueDeferred(port, &port->Dpc.ReadComplete);
        } else {
            ++port->FillPosition;
        }
        return;
    }
    TakeHolds(port, actions);
    if (port->CharsInBuffer < port->ReceiveBufferSize) {
        *port->FillPosition = c;
        ++port->CharsInBuffer;
        if (port->CharsInBuffer == port->NearlyFullMark) actions.Events |= SERIAL_EV_RX80FULL;
        port->FillPosition = port->FillPosition == port->FillAreaLast ? port->ReceiveBuffer : port->FillPosition + 1;
        return;
    }
    InterlockedIncrement(AsLong(&port->PerfStats.BufferOverrunErrorCount));
    InterlockedIncrement(AsLong(&port->WmiPerfStats.BufferOverrunErrorCount));
    InterlockedOr(AsLong(&port->ErrorFlags), SERIAL_ERROR_QUEUEOVERRUN);
    if (port->HandFlow.FlowReplace & SERIAL_ERROR_CHAR) {
        PUCHAR last = port->FillPosition == port->ReceiveBuffer ? port->FillAreaLast : port->FillPosition - 1;
        *last = port->SpecialChars.ErrorChar;
    }
    if (port->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) QueueDeferred(port, &port->Dpc.ErrorAbort);
}

ULONG ToggleMode(const PortExtension* port) { return port->HandFlow.FlowReplace & SERIAL_RTS_MASK; }

// Stores the longest run at the start of `chars` that PutOne would store one
// by one with nothing else to do: into the waiting read up to its end, or into
// the ring short of the next hold threshold and of its end. Answers how many it
// stored; 0 leaves the next character to PutOne (DSR sensitivity, a counting
// XOFF_COUNTER, a hold to take, a full ring).
ULONG PutRun(PortExtension* port, const UCHAR* chars, ULONG count, ReceiveActions& actions) {
    if ((port->HandFlow.ControlHandShake & SERIAL_DSR_SENSITIVITY) || port->XoffCountRemaining > 0) return 0;
    if (port->FillAreaStart != port->ReceiveBuffer) {
        const ULONG room = static_cast<ULONG>(port->FillAreaLast - port->FillPosition) + 1;
        const ULONG n = count < room ? count : room;
        RtlCopyMemory(port->FillPosition, chars, n);
        InterlockedExchangeAdd(reinterpret_cast<volatile LONG*>(&port->CharsSinceIntervalCheck), static_cast<LONG>(n));
        if (n < room) {
            port->FillPosition += n;
            return n;
        }
        // The read is full: as PutOne does at its last byte.
        RingToFillArea(port);
        if (port->CurrentRead)
            port->CurrentRead->IoStatus.Information =
                IoGetCurrentIrpStackLocation(port->CurrentRead)->Parameters.Read.Length;
        QueueDeferred(port, &port->Dpc.ReadComplete);
        return n;
    }
    // The ring: short of the first level at which storing a character takes a
    // hold not yet taken, and of the ring's end.
    const ULONG size = port->ReceiveBufferSize;
    if (port->CharsInBuffer >= size) return 0;
    ULONG limit = size - port->CharsInBuffer;
    auto before = [&](ULONG threshold) {
        // Levels below the threshold take nothing: CharsInBuffer + k < threshold.
        const ULONG free = threshold > port->CharsInBuffer + 1 ? threshold - port->CharsInBuffer - 1 : 0;
        if (free < limit) limit = free;
    };
    const ULONG holds = port->RxHoldReasons;
    if ((port->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE && !(holds & RX_HOLD_DTR))
        before(DtrThreshold(port));
    if ((port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE && !(holds & RX_HOLD_RTS))
        before(EarlyThreshold(port));
    if ((port->HandFlow.FlowReplace & SERIAL_AUTO_RECEIVE) && !(holds & RX_HOLD_XOFF)) before(EarlyThreshold(port));
    const ULONG n = count < limit ? count : limit;
    if (n == 0) return 0;
    const ULONG toEnd = static_cast<ULONG>(port->FillAreaLast - port->FillPosition) + 1;
    if (n < toEnd) {
        RtlCopyMemory(port->FillPosition, chars, n);
        port->FillPosition += n;
    } else {
        RtlCopyMemory(port->FillPosition, chars, toEnd);
        RtlCopyMemory(port->ReceiveBuffer, chars + toEnd, n - toEnd);
        port->FillPosition = port->ReceiveBuffer + (n - toEnd);
    }
    const ULONG was = port->CharsInBuffer;
    port->CharsInBuffer = was + n;
    if (was < port->NearlyFullMark && port->NearlyFullMark <= was + n) actions.Events |= SERIAL_EV_RX80FULL;
    return n;
}

// A one-character transfer the receive flow control sends; nothing waits for it.
void SendFlowCharacter(PortExtension* port, UCHAR c) {
    SubmitTransfer(port->DeviceObject, BulkOut, &c, 1, BulkOutPurpose::FlowCharacter);
}

}  // namespace

void PutReceivedChars(PortExtension* port, const UCHAR* chars, ULONG count, ReceiveActions& actions) {
    if (!port->ReceiveBuffer || !port->ReceiveBufferSize) return;
    // A sequence the ring cannot take whole is dropped whole, as one overrun:
    // half an escape sequence would garble everything after it.
    if (count > 1 && port->FillAreaStart == port->ReceiveBuffer &&
        port->CharsInBuffer + count > port->ReceiveBufferSize && chars[0] == port->EscapeChar && port->EscapeChar) {
        InterlockedIncrement(AsLong(&port->PerfStats.BufferOverrunErrorCount));
        InterlockedIncrement(AsLong(&port->WmiPerfStats.BufferOverrunErrorCount));
        InterlockedOr(AsLong(&port->ErrorFlags), SERIAL_ERROR_QUEUEOVERRUN);
        return;
    }
    for (ULONG i = 0; i < count;) {
        const ULONG run = PutRun(port, chars + i, count - i, actions);
        if (run) {
            i += run;
        } else {
            PutOne(port, chars[i], actions);
            ++i;
        }
    }
}

void InsertReceivedChars(PortExtension* port, const UCHAR* chars, ULONG count) {
    ReceiveActions actions = kNoReceiveActions;
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&port->FillLock);
    if (port->DeviceIsOpen) PutReceivedChars(port, chars, count, actions);
    KeReleaseSpinLockFromDpcLevel(&port->FillLock);
    KeReleaseSpinLock(&port->ControlLock, irql);
    CarryOut(port, actions);
}

bool ReaderHeld(const PortExtension* port) {
    const ULONG holds = port->RxHoldReasons;
    // Chips 0 and 1 do no XON/XOFF of their own: the far end's XON (for our
    // transmitter) reaches the driver only through the reader, which must go on.
    const bool xoffHolds = (holds & RX_HOLD_XOFF) && port->ChipType >= 2;
    return xoffHolds || (holds & RX_HOLD_DTR) || ((holds & RX_HOLD_RTS) && port->RtsFlowInChip);
}

void ReleaseReceiveHolds(PortExtension* port, ReceiveActions& actions) {
    if (port->RxHoldReasons == 0 || port->CharsInBuffer > static_cast<ULONG>(port->HandFlow.XonLimit)) return;
    if (DropRxHold(port, RX_HOLD_DTR)) {
        actions.Dtr = 1;
        actions.StartBulkIn = true;
    }
    if (DropRxHold(port, RX_HOLD_RTS)) {
        actions.StartBulkIn = true;
        if (!port->RtsFlowInChip) actions.Rts = 1;
    }
    if (DropRxHold(port, RX_HOLD_XOFF)) {
        actions.StartBulkIn = true;
        // Our own XOFF is always answered by our XON, whatever the chip type.
        if (port->XoffSentByDriver) {
            port->XoffSentByDriver = 0;
            actions.SendXon = true;
        }
    }
}

void CarryOut(PortExtension* port, ReceiveActions& actions) {
    if (actions.Events) RecordEvents(port, actions.Events);
    if (actions.Dtr == 0) ClearDtr(port);
    if (actions.Dtr == 1) SetDtr(port);
    if (actions.Rts == 0) ClearRts(port);
    if (actions.Rts == 1) SetRts(port);
    if (actions.SendXoff) SendFlowCharacter(port, port->SpecialChars.XoffChar);
    if (actions.SendXon) SendFlowCharacter(port, port->SpecialChars.XonChar);
    if (actions.StartBulkIn && port->DeviceIsOpen) StartContinuousTransfer(port, BulkIn);
    actions = kNoReceiveActions;
}

void RecordEvents(PortExtension* port, ULONG events) {
    events &= port->WaitMask;
    if (!events) return;
    InterlockedOr(AsLong(&port->EventHistory), static_cast<LONG>(events));
    CheckWaitCompletion(port);
}

void CheckWaitCompletion(PortExtension* port) {
    for (;;) {
        // One checker at a time; a caller that finds the check busy leaves its
        // events to the checker, which looks again before it goes.
        if (InterlockedExchange(&port->WaitCheckBusy, 1) != 0) return;
        if (port->WaitResultLocation && port->EventHistory) {
            const ULONG events = static_cast<ULONG>(InterlockedExchange(AsLong(&port->EventHistory), 0));
            // A wait that went meanwhile (cancelled, or answered by SET_WAIT_MASK)
            // leaves the events for the next one.
            if (events && !CompleteWaitWith(port, events))
                InterlockedOr(AsLong(&port->EventHistory), static_cast<LONG>(events));
        }
        InterlockedExchange(&port->WaitCheckBusy, 0);
        if (!port->WaitResultLocation || !port->EventHistory) return;
    }
}

LONGLONG CharacterTime(const PortExtension* port) {
    const ULONG baud = port->CurrentBaud ? port->CurrentBaud : 9600;
    const ULONG bits = (port->LineControl & 0x03) + 5 + ((port->LineControl & 0x38) ? 1 : 0) +
                       ((port->LineControl & 0x04) ? 1 : 0) + 2;
    const LONGLONG bitTime = (10'000'000 + baud - 1) / baud;
    return bitTime * bits;
}

// --- Handflow ----------------------------------------------------------------------

namespace {

// A line handshake (DTR, or RTS on RTS_HANDSHAKE) under a new record: lifted only
// when the ring has drained below XonLimit, taken when it is already past the
// new threshold.
void ApplyLineHandshake(PortExtension* port, const SERIAL_HANDFLOW& handFlow, ULONG hold, bool (*raise)(PortExtension*),
                        bool (*lower)(PortExtension*)) {
    const ULONG size = port->ReceiveBufferSize;
    const ULONG xoffLimit = static_cast<ULONG>(handFlow.XoffLimit);
    if (size > xoffLimit && size - xoffLimit > port->CharsInBuffer) {
        if (port->RxHoldReasons & hold) {
            if (port->CharsInBuffer > static_cast<ULONG>(handFlow.XonLimit)) return;
            DropRxHold(port, hold);
        }
        raise(port);
    } else {
        TakeRxHold(port, hold);
        lower(port);
    }
}

}  // namespace

void ApplyHandFlow(PortExtension* port, const SERIAL_HANDFLOW& handFlow, bool all) {
    const SERIAL_HANDFLOW& old = port->HandFlow;
    bool toggleCheck = false;
    if (all || ((old.ControlHandShake ^ handFlow.ControlHandShake) & 0x38)) {
        SetCtsFlowInChip(port, (handFlow.ControlHandShake & SERIAL_CTS_HANDSHAKE) != 0);
        SetDsrFlowInChip(port, (handFlow.ControlHandShake & SERIAL_DSR_HANDSHAKE) != 0);
    }
    if (all || ((old.ControlHandShake ^ handFlow.ControlHandShake) & SERIAL_DTR_MASK)) {
        switch (handFlow.ControlHandShake & SERIAL_DTR_MASK) {
            case 0:
                DropRxHold(port, RX_HOLD_DTR);
                ClearDtr(port);
                break;
            case SERIAL_DTR_HANDSHAKE:
                ApplyLineHandshake(port, handFlow, RX_HOLD_DTR, SetDtr, ClearDtr);
                break;
            default:
                DropRxHold(port, RX_HOLD_DTR);
                SetDtr(port);
                break;
        }
    }
    if (all || ((old.FlowReplace ^ handFlow.FlowReplace) & SERIAL_RTS_MASK)) {
        switch (handFlow.FlowReplace & SERIAL_RTS_MASK) {
            case SERIAL_RTS_HANDSHAKE:
                SetRtsFlowInChip(port, true);
                ApplyLineHandshake(port, handFlow, RX_HOLD_RTS, SetRts, ClearRts);
                break;
            case SERIAL_RTS_CONTROL:
                SetRtsFlowInChip(port, false);
                DropRxHold(port, RX_HOLD_RTS);
                SetRts(port);
                break;
            case SERIAL_TRANSMIT_TOGGLE:
                SetRtsFlowInChip(port, false);
                DropRxHold(port, RX_HOLD_RTS);
                if ((port->TxHoldReasons & TX_HOLD_BREAK) || !TransmitterIsEmpty(port)) SetRts(port);
                // Once the new mode is in place (the check reads it): RTS down
                // now if nothing is being sent, or when the last character left.
                toggleCheck = !(port->TxHoldReasons & TX_HOLD_BREAK);
                break;
            default:
                DropRxHold(port, RX_HOLD_RTS);
                ClearRts(port);
                SetRtsFlowInChip(port, false);
                break;
        }
    }
    if (all || ((old.FlowReplace ^ handFlow.FlowReplace) & SERIAL_AUTO_RECEIVE)) {
        if (handFlow.FlowReplace & SERIAL_AUTO_RECEIVE) {
            SetAutoXonXoffInChip(port, true);
            const ULONG size = port->ReceiveBufferSize;
            const ULONG xoffLimit = static_cast<ULONG>(handFlow.XoffLimit);
            if (port->CharsInBuffer >= (size > xoffLimit ? size - xoffLimit : 0) && size &&
                TakeRxHold(port, RX_HOLD_XOFF)) {
                port->XoffSentByDriver = 1;
                SendFlowCharacter(port, port->SpecialChars.XoffChar);
            }
        } else {
            SetAutoXonXoffInChip(port, false);
            if (DropRxHold(port, RX_HOLD_XOFF)) {
                port->XoffSentByDriver = 0;
                SendFlowCharacter(port, port->SpecialChars.XonChar);
                if (port->DeviceIsOpen) StartContinuousTransfer(port, BulkIn);
            }
        }
    }
    if (all || ((old.FlowReplace ^ handFlow.FlowReplace) & SERIAL_AUTO_TRANSMIT)) {
        if (handFlow.FlowReplace & SERIAL_AUTO_TRANSMIT) {
            SetAutoXonXoffInChip(port, true);
        } else {
            SetAutoXonXoffInChip(port, false);
            // An XOFF received under output flow control no longer holds
            // the transmitter once that flow control is off.
            port->XoffReceived = 0;
            if (InterlockedAnd(AsLong(&port->TxHoldReasons), ~static_cast<LONG>(TX_HOLD_XOFF)) & TX_HOLD_XOFF)
                SendFlowCharacter(port, port->SpecialChars.XonChar);
        }
    }
    {
        // Whole, under the lock its readers copy it under.
        KIRQL irql;
        KeAcquireSpinLock(&port->ControlLock, &irql);
        port->HandFlow = handFlow;
        KeReleaseSpinLock(&port->ControlLock, irql);
    }
    // The transmit holds of the output handshakes follow the new record.
    ProcessModemStatus(port);
    if (toggleCheck) {
        InterlockedIncrement(&port->PendingToggleChecks);
        TransmitToggleCheck(port);
    }
    // Whatever hold the new record lifted, a held write goes on.
    if (port->WriteHeld) ResumeHeldWrite(port);
}

void ApplyHandFlowToChip(PortExtension* port, bool treatAllAsChanged) {
    const SERIAL_HANDFLOW current = port->HandFlow;
    ApplyHandFlow(port, current, treatAllAsChanged);
}

// --- Transmitter empty and transmit toggle ------------------------------------------

bool TransmitterIsEmpty(PortExtension* port) {
    if (port->CurrentWrite || port->TransmittingImmediate || !IsListEmpty(&port->BulkOutInFlight)) return false;
    // The chip sends what it took from the last bulk-out transfer at the line
    // rate; until then its transmitter is still busy.
    return KeQueryInterruptTime() >= port->TransmitEndsAt;
}

void MarkTransmitterEmpty(PortExtension* port) {
    port->TransmitterEmpty = 1;
    port->TransmitEndsAt = 0;
}

void TransmitToggleCheck(PortExtension* port) {
    if (ToggleMode(port) == SERIAL_TRANSMIT_TOGGLE && !(port->TxHoldReasons & TX_HOLD_BREAK) && !port->CurrentWrite &&
        !port->TransmittingImmediate && (IsListEmpty(&port->WriteQueue) || port->TxHoldReasons != 0)) {
        if (TransmitterIsEmpty(port)) {
            port->TransmitterEmpty = 1;
            ClearRts(port);
        } else if (QueueDeferred(port, &port->Dpc.TransmitToggle)) {
            InterlockedIncrement(&port->PendingToggleChecks);
        }
    }
    InterlockedDecrement(&port->PendingToggleChecks);
}

void QueueToggleCheck(PortExtension* port) {
    // Counted before it is queued: a check that runs at once must never take
    // the count below the checks still to come (close waits for it to reach 0).
    InterlockedIncrement(&port->PendingToggleChecks);
    if (!QueueDeferred(port, &port->Dpc.TransmitToggle)) InterlockedDecrement(&port->PendingToggleChecks);
}

VOID NTAPI TransmitToggleDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortExtension*>(context);
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    const LONGLONG wait = CharacterTime(port);
    KeReleaseSpinLock(&port->ControlLock, irql);
    LARGE_INTEGER due;
    due.QuadPart = -wait;
    if (SetDeferredTimer(port, &port->TransmitToggleTimer, due, &port->Dpc.TransmitToggleTimer))
        InterlockedDecrement(&port->PendingToggleChecks);
    ReleaseDeferred(port);
}

VOID NTAPI TransmitToggleTimerDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortExtension*>(context);
    TransmitToggleCheck(port);
    ReleaseDeferredTimer(port, &port->TransmitToggleTimer);
}

void EndBreak(PortExtension* port) {
    if (!(port->TxHoldReasons & TX_HOLD_BREAK)) return;
    SetBreak(port, false);
    InterlockedAnd(AsLong(&port->TxHoldReasons), ~static_cast<LONG>(TX_HOLD_BREAK));
    if (ToggleMode(port) == SERIAL_TRANSMIT_TOGGLE) {
        InterlockedIncrement(&port->PendingToggleChecks);
        TransmitToggleCheck(port);
    }
}
