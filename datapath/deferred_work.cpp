// Deferred-work accounting: every DPC and timer of the port is armed and retired
// through these operations, so that DeferredWorkCount says how many of them can
// still run and close and removal can wait for none.
#include "datapath/datapath.h"

namespace {
void DropDeferred(PortExtension* port) {
    if (InterlockedDecrement(&port->DeferredWorkCount) == 0) {
        KeSetEvent(&port->DeferredWorkDone, IO_NO_INCREMENT, FALSE);
    }
}
}  // namespace

BOOLEAN QueueDeferred(PortExtension* port, PKDPC dpc) {
    InterlockedIncrement(&port->DeferredWorkCount);
    BOOLEAN queued = KeInsertQueueDpc(dpc, nullptr, nullptr);
    // Already queued: its earlier hold covers this request too.
    if (!queued) DropDeferred(port);
    return queued;
}

BOOLEAN SetDeferredTimer(PortExtension* port, PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc) {
    InterlockedIncrement(&port->DeferredWorkCount);
    BOOLEAN wasSet = KeSetTimer(timer, dueTime, dpc);
    // The timer was already set: its earlier hold carries over to the new due time.
    if (wasSet) InterlockedDecrement(&port->DeferredWorkCount);
    return wasSet;
}

BOOLEAN CancelDeferredTimer(PortExtension* port, PKTIMER timer) {
    BOOLEAN cancelled = KeCancelTimer(timer);
    if (cancelled) ReleaseDeferred(port);
    return cancelled;
}

void ReleaseDeferred(PortExtension* port) { DropDeferred(port); }

VOID NTAPI DeferredDrainDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortExtension*>(context);
    KeSetEvent(&port->DeferredWorkDone, IO_NO_INCREMENT, FALSE);
}

const DeferredWorkEntry PortDeferredWork[kPortDpcCount] = {
    {&PortDpcs::WriteComplete, WriteCompleteDpc, nullptr},
    {&PortDpcs::ReadComplete, ReadCompleteDpc, nullptr},
    {&PortDpcs::ReadTotalTimeout, ReadTotalTimeoutDpc, &PortExtension::ReadTotalTimer},
    {&PortDpcs::ReadInterval, ReadIntervalDpc, &PortExtension::ReadIntervalTimer},
    {&PortDpcs::WriteTimeout, WriteTimeoutDpc, &PortExtension::WriteTotalTimer},
    {&PortDpcs::ErrorAbort, ErrorAbortDpc, nullptr},
    {&PortDpcs::ImmediateDone, ImmediateDoneDpc, nullptr},
    {&PortDpcs::ImmediateTimeout, ImmediateTimeoutDpc, &PortExtension::ImmediateTimer},
    {&PortDpcs::WaitComplete, WaitCompleteDpc, nullptr},
    {&PortDpcs::XoffCounterTimeout, XoffCounterTimeoutDpc, &PortExtension::XoffCounterTimer},
    {&PortDpcs::XoffCounterDone, XoffCounterDoneDpc, nullptr},
    {&PortDpcs::TransmitToggle, TransmitToggleDpc, nullptr},
    {&PortDpcs::TransmitToggleTimer, TransmitToggleTimerDpc, &PortExtension::TransmitToggleTimer},
    {&PortDpcs::DeferredDrain, DeferredDrainDpc, nullptr},
};

void InitializeDeferredWork(PortExtension* port) {
    for (const DeferredWorkEntry& entry : PortDeferredWork) {
        KeInitializeDpc(&(port->Dpc.*entry.Dpc), entry.Routine, port);
        if (entry.Timer) KeInitializeTimer(&(port->*entry.Timer));
    }
}
