// Deferred-work accounting: every DPC and timer of the port is armed and retired
// through these operations, so that DeferredWorkCount says how many of them can
// still run and close and removal can wait for none.
//
// One hold per queued DPC and one per armed timer; a timer's hold passes to its
// DPC when it fires. The kernel queues a timer's DPC only if it is not queued
// already: a timer armed again while its DPC still waits could fire into that
// same queued DPC, and one run would then stand for two holds. So a timer is
// never armed while its DPC is still to run; the re-arm waits in the timer's
// DeferredTimerState and the DPC does it as its last step, handing its own hold
// on to the armed timer. A timer's DPC is queued by its timer only.
#include "datapath/datapath.h"

namespace {

void DropDeferred(PortExtension* port) {
    if (InterlockedDecrement(&port->DeferredWorkCount) == 0) {
        KeSetEvent(&port->DeferredWorkDone, IO_NO_INCREMENT, FALSE);
    }
}

// The table position, among the timers only, of the entry whose timer or DPC
// `matches`; -1 for anything else. The driver passes only its ports' own timers,
// so the -1 answers of the timer routines below never come; they keep a stray
// pointer from indexing past TimerStates.
template <typename Matches>
int TimerIndexWhere(Matches matches) {
    int index = 0;
    for (const DeferredWorkEntry& entry : PortDeferredWork) {
        if (!entry.Timer)
            continue;
        if (index >= kPortTimerCount)
            break;  // not reached: the table has exactly kPortTimerCount timers (a test counts them)
        if (matches(entry))
            return index;
        ++index;
    }
    return -1;
}

int TimerIndexOf(PortExtension* port, PKTIMER timer) {
    return TimerIndexWhere([&](const DeferredWorkEntry& entry) { return &(port->*entry.Timer) == timer; });
}

const DeferredWorkEntry& TimerEntry(int index) {
    int seen = 0;
    for (const DeferredWorkEntry& entry : PortDeferredWork) {
        if (!entry.Timer)
            continue;
        if (seen++ == index)
            return entry;
    }
    return PortDeferredWork[0];  // not reached: callers pass a valid index
}

int TimerIndexOfDpc(PortExtension* port, PKDPC dpc) {
    return TimerIndexWhere([&](const DeferredWorkEntry& entry) { return &(port->Dpc.*entry.Dpc) == dpc; });
}

// With DeferredTimerLock held: an armed timer that has fired since we last looked
// has handed its hold to its DPC.
void NoteExpiry(DeferredTimerState* state, PKTIMER timer) {
    if (state->Phase == TimerArmed && KeReadStateTimer(timer))
        state->Phase = TimerFired;
}

}  // namespace

BOOLEAN QueueDeferred(PortExtension* port, PKDPC dpc) {
    InterlockedIncrement(&port->DeferredWorkCount);
    BOOLEAN queued = KeInsertQueueDpc(dpc, nullptr, nullptr);
    // Already queued: its earlier hold covers this request too.
    if (!queued)
        DropDeferred(port);
    return queued;
}

BOOLEAN SetDeferredTimer(PortExtension* port, PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc) {
    const int index = TimerIndexOf(port, timer);
    if (index < 0)
        return FALSE;
    DeferredTimerState* state = &port->TimerStates[index];
    BOOLEAN wasSet = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&port->DeferredTimerLock, &irql);
    NoteExpiry(state, timer);
    switch (state->Phase) {
        case TimerIdle:
            InterlockedIncrement(&port->DeferredWorkCount);
            KeSetTimer(timer, dueTime, dpc);
            state->Phase = TimerArmed;
            break;
        case TimerArmed:
            // Still armed a moment ago: the new due time replaces the old one and
            // the hold carries over.
            wasSet = KeSetTimer(timer, dueTime, dpc);
            if (!wasSet) {
                // It fired in between and its DPC is on its way: take this arming
                // back and leave it to that DPC. Due times are relative and at least
                // a clock tick away, so the new arming cannot have fired yet.
                state->Phase = TimerFired;
                if (KeCancelTimer(timer)) {
                    state->ReArm = 1;
                    state->ReArmDue = dueTime;
                }
            }
            break;
        case TimerFired:
            // Its DPC is still to run: arming now could fold the next expiry into
            // it. The DPC arms the timer when it is done; a re-arm already waiting
            // is replaced, as KeSetTimer replaces a due time.
            wasSet = state->ReArm;
            state->ReArm = 1;
            state->ReArmDue = dueTime;
            break;
    }
    KeReleaseSpinLock(&port->DeferredTimerLock, irql);
    return wasSet;
}

BOOLEAN CancelDeferredTimer(PortExtension* port, PKTIMER timer) {
    const int index = TimerIndexOf(port, timer);
    if (index < 0)
        return FALSE;
    DeferredTimerState* state = &port->TimerStates[index];
    BOOLEAN cancelled = FALSE;
    bool release = false;
    KIRQL irql;
    KeAcquireSpinLock(&port->DeferredTimerLock, &irql);
    NoteExpiry(state, timer);
    if (state->Phase == TimerArmed) {
        if (KeCancelTimer(timer)) {
            // Its DPC will not run for it: the hold comes back here.
            state->Phase = TimerIdle;
            cancelled = TRUE;
            release = true;
        } else {
            state->Phase = TimerFired;
        }
    } else if (state->Phase == TimerFired && state->ReArm) {
        // The waiting re-arm is dropped; the DPC still returns its own hold.
        state->ReArm = 0;
        cancelled = TRUE;
    }
    KeReleaseSpinLock(&port->DeferredTimerLock, irql);
    if (release)
        DropDeferred(port);
    return cancelled;
}

void ReleaseDeferred(PortExtension* port) {
    DropDeferred(port);
}

void ReleaseDeferredTimer(PortExtension* port, PKTIMER timer) {
    const int index = TimerIndexOf(port, timer);
    if (index < 0)
        return;
    DeferredTimerState* state = &port->TimerStates[index];
    bool release = false;
    KIRQL irql;
    KeAcquireSpinLock(&port->DeferredTimerLock, &irql);
    NoteExpiry(state, timer);
    if (state->Phase == TimerFired) {
        if (state->ReArm) {
            // The hold this run carries goes on to the arming asked for meanwhile.
            state->ReArm = 0;
            KeSetTimer(timer, state->ReArmDue, &(port->Dpc.*TimerEntry(index).Dpc));
            state->Phase = TimerArmed;
        } else {
            state->Phase = TimerIdle;
            release = true;
        }
    }
    KeReleaseSpinLock(&port->DeferredTimerLock, irql);
    if (release)
        DropDeferred(port);
}

BOOLEAN RemoveQueuedDeferred(PortExtension* port, PKDPC dpc) {
    if (!KeRemoveQueueDpc(dpc))
        return FALSE;
    const int index = TimerIndexOfDpc(port, dpc);
    if (index >= 0) {
        // The run that would have finished this timer's expiry will not come.
        KIRQL irql;
        KeAcquireSpinLock(&port->DeferredTimerLock, &irql);
        port->TimerStates[index].Phase = TimerIdle;
        port->TimerStates[index].ReArm = 0;
        KeReleaseSpinLock(&port->DeferredTimerLock, irql);
    }
    // Through the operation that signals: a close may be waiting for the last hold.
    DropDeferred(port);
    return TRUE;
}

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
    {&PortDpcs::TransmitEmpty, TransmitEmptyDpc, &PortExtension::TransmitEmptyTimer},
};

void InitializeDeferredWork(PortExtension* port) {
    KeInitializeSpinLock(&port->DeferredTimerLock);
    for (const DeferredWorkEntry& entry : PortDeferredWork) {
        KeInitializeDpc(&(port->Dpc.*entry.Dpc), entry.Routine, port);
        if (entry.Timer)
            KeInitializeTimer(&(port->*entry.Timer));
    }
    for (DeferredTimerState& state : port->TimerStates) {
        state.Phase = TimerIdle;
        state.ReArm = 0;
        state.ReArmDue.QuadPart = 0;
    }
}

LARGE_INTEGER DueInMilliseconds(ULONGLONG milliseconds) {
    // The longest relative due time a timer takes (its most negative value).
    constexpr ULONGLONG kLongestDue = 0x7FFFFFFFFFFFFFFFull;
    ULONGLONG ticks = milliseconds > kLongestDue / 10'000 ? kLongestDue : milliseconds * 10'000;
    // Zero would be no wait at all (or an absolute time in the past).
    if (ticks == 0) ticks = 1;
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(ticks);
    return due;
}
