// DPC routines of the data paths whose work is not built into the driver yet.
// Each still retires its deferred-work hold, so the accounting stays exact while
// the port's timers and DPCs are armed and cancelled around them.
#include "datapath/datapath.h"

namespace {
void RetireOnly(PVOID context) { ReleaseDeferred(static_cast<PortExtension*>(context)); }
}  // namespace

VOID NTAPI WriteCompleteDpc(PKDPC, PVOID context, PVOID, PVOID) { RetireOnly(context); }
VOID NTAPI ReadCompleteDpc(PKDPC, PVOID context, PVOID, PVOID) { RetireOnly(context); }
VOID NTAPI ReadTotalTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) { RetireOnly(context); }
VOID NTAPI ReadIntervalDpc(PKDPC, PVOID context, PVOID, PVOID) { RetireOnly(context); }
VOID NTAPI WriteTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) { RetireOnly(context); }
VOID NTAPI ErrorAbortDpc(PKDPC, PVOID context, PVOID, PVOID) { RetireOnly(context); }
VOID NTAPI ImmediateDoneDpc(PKDPC, PVOID context, PVOID, PVOID) { RetireOnly(context); }
VOID NTAPI ImmediateTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) { RetireOnly(context); }
VOID NTAPI WaitCompleteDpc(PKDPC, PVOID context, PVOID, PVOID) { RetireOnly(context); }
VOID NTAPI XoffCounterTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) { RetireOnly(context); }
VOID NTAPI XoffCounterDoneDpc(PKDPC, PVOID context, PVOID, PVOID) { RetireOnly(context); }
VOID NTAPI TransmitToggleDpc(PKDPC, PVOID context, PVOID, PVOID) { RetireOnly(context); }
VOID NTAPI TransmitToggleTimerDpc(PKDPC, PVOID context, PVOID, PVOID) { RetireOnly(context); }
