// DPC routines of the data paths whose work is not built into the driver yet.
// Each still retires its deferred-work hold, so the accounting stays exact while
// the port's timers and DPCs are armed and cancelled around them.
#include "datapath/datapath.h"

namespace {
void RetireOnly(PVOID context) { ReleaseDeferred(static_cast<PortExtension*>(context)); }
void RetireTimerRun(PVOID context, KTIMER PortExtension::*timer) {
    auto* port = static_cast<PortExtension*>(context);
    ReleaseDeferredTimer(port, &(port->*timer));
}
}  // namespace

VOID NTAPI WriteCompleteDpc(PKDPC, PVOID context, PVOID, PVOID) { RetireOnly(context); }
VOID NTAPI WriteTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) {
    RetireTimerRun(context, &PortExtension::WriteTotalTimer);
}
VOID NTAPI ImmediateDoneDpc(PKDPC, PVOID context, PVOID, PVOID) { RetireOnly(context); }
VOID NTAPI ImmediateTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) {
    RetireTimerRun(context, &PortExtension::ImmediateTimer);
}
VOID NTAPI XoffCounterTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) {
    RetireTimerRun(context, &PortExtension::XoffCounterTimer);
}
VOID NTAPI XoffCounterDoneDpc(PKDPC, PVOID context, PVOID, PVOID) { RetireOnly(context); }
