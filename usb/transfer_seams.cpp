// Where the transport meets the reception, transmit accounting and flow-control
// pieces. Until those are built, each does only what the transport itself needs:
// a reader goes on while its transfers succeed (a status reader also needs
// bytes), and nothing else happens. The pieces replace these bodies.
#include "usb/usb.h"

bool ProcessStatusTransfer(PortExtension*, const TransferOutcome& outcome) {
    return NT_SUCCESS(outcome.Status) && outcome.Length > 0;
}

bool ProcessReceiveTransfer(PortExtension*, const TransferOutcome& outcome) {
    return NT_SUCCESS(outcome.Status);
}

void ProcessTransmitTransfer(PortExtension*, const TransferOutcome&) {}

void ApplyHandFlowToChip(PortExtension*, bool) {}

UCHAR ProcessModemStatus(PortExtension*) {
    return 0;
}

void MarkTransmitterEmpty(PortExtension*) {}
