// The write queue. Until the write path carries data it holds flush requests
// only: each completes as it reaches the head, behind everything queued before it.
#include "datapath/datapath.h"

void TakeNextWrite(PortExtension* port, PIRP* slot, PLIST_ENTRY queue, PIRP* next, bool completeOld) {
    TakeNextRequest(port, slot, queue, next, completeOld);
}

NTSTATUS StartWrite(PortExtension* port) {
    NTSTATUS firstStatus = STATUS_SUCCESS;
    bool first = true;
    for (PIRP irp = port->CurrentWrite; irp;) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        if (first) firstStatus = STATUS_SUCCESS;
        first = false;
        PIRP next = nullptr;
        TakeNextWrite(port, &port->CurrentWrite, &port->WriteQueue, &next, true);
        irp = next;
    }
    return firstStatus;
}

void ResumeHeldWrite(PortExtension*) {}
