// Device controls that drive the port's output lines: DTR and RTS one at a time
// or as the whole modem-control word, and break. The dispatch has brought the
// device to D0 before any of them runs; each changes the line's shadow first and
// sends it, and answers success whatever the chip made of the request (the
// shadow keeps what was asked, and the next request of its kind sends it again).
#include "control/control.h"

#include "usb/usb.h"

namespace {

// A line that a handshake drives belongs to the receive flow control: driven by
// hand it would undo a hold the far end is obeying.
bool DtrHandshake(const PortExtension* port) {
    return (port->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
}

ULONG RtsMode(const PortExtension* port) {
    return port->HandFlow.FlowReplace & SERIAL_RTS_MASK;
}

// Under transmit toggle RTS follows the transmitter, under RTS handshake the ring.
bool RtsOwnedByFlowControl(const PortExtension* port) {
    return RtsMode(port) == SERIAL_RTS_HANDSHAKE || RtsMode(port) == SERIAL_TRANSMIT_TOGGLE;
}

NTSTATUS DriveLine(ControlRequest& request, bool owned, bool (*drive)(PortExtension*)) {
    if (owned)
        return STATUS_INVALID_PARAMETER;
    drive(request.Port);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS IoctlSetDtr(ControlRequest& request) {
    return DriveLine(request, DtrHandshake(request.Port), SetDtr);
}

NTSTATUS IoctlClearDtr(ControlRequest& request) {
    return DriveLine(request, DtrHandshake(request.Port), ClearDtr);
}

NTSTATUS IoctlSetRts(ControlRequest& request) {
    return DriveLine(request, RtsOwnedByFlowControl(request.Port), SetRts);
}

NTSTATUS IoctlClearRts(ControlRequest& request) {
    return DriveLine(request, RtsOwnedByFlowControl(request.Port), ClearRts);
}

// The whole word is the caller's, bits beyond DTR and RTS included: it is what
// every later control-line request carries to the chip. No handshake is
// consulted; this is how a caller takes the lines over whatever the flow control.
NTSTATUS IoctlSetModemControl(ControlRequest& request) {
    PortExtension* port = request.Port;
    const USHORT word = static_cast<USHORT>(*static_cast<const ULONG*>(request.Buffer));
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&port->ControlLock);
    port->ControlLineState = word;
    KeReleaseSpinLock(&port->ControlLock, irql);
    if (word & SERIAL_DTR_STATE) {
        SetDtr(port);
    } else {
        ClearDtr(port);
    }
    if (word & SERIAL_RTS_STATE) {
        SetRts(port);
    } else {
        ClearRts(port);
    }
    return STATUS_SUCCESS;
}

NTSTATUS IoctlSetBreakOn(ControlRequest& request) {
    PortExtension* port = request.Port;
    // The hold goes first: a transmit-toggle check that runs meanwhile then
    // leaves RTS up for the break.
    InterlockedOr(AsLong(&port->TxHoldReasons), static_cast<LONG>(TX_HOLD_BREAK));
    if (RtsMode(port) == SERIAL_TRANSMIT_TOGGLE)
        SetRts(port);
    SetBreak(port, true);
    return STATUS_SUCCESS;
}

// Nothing reaches the chip unless a break is on.
NTSTATUS IoctlSetBreakOff(ControlRequest& request) {
    EndBreak(request.Port);
    return STATUS_SUCCESS;
}

// The chip's FIFOs are its own: the request only wakes the device, as every
// control that concerns the chip does, and nothing of it is kept.
NTSTATUS IoctlSetFifoControl(ControlRequest&) {
    return STATUS_SUCCESS;
}
