// Request admission, deferred-work accounting and the data paths: the operations
// other folders call.
#pragma once

#include "driver/port_extension.h"

// --- Admission -------------------------------------------------------------------
// Counts the request on the port and decides whether the port takes it: 0 (go on),
// STATUS_DELETE_PENDING or STATUS_CANCELLED (already stored in the request: the
// caller completes it without a boost and releases the hold), or STATUS_PENDING
// (held on StalledQueue while a stop is pending: the caller returns at once).
NTSTATUS AdmitRequest(PortExtension* port, PIRP irp);
void ReleasePendingHold(PortExtension* port);
// With SERIAL_ERROR_ABORT and a line error pending, fails everything but
// GET_COMMSTATUS: completes the request, releases its hold and answers
// STATUS_CANCELLED. Otherwise answers 0.
NTSTATUS RejectOnErrorAbort(PortExtension* port, PIRP irp);
// Sends the requests held while a stop was pending through their dispatch again.
void RedispatchStalled(PortExtension* port);
DRIVER_CANCEL StalledCancelRoutine;
// Completion routine for requests passed down and waited for: sets the event
// given as context and keeps the request for the waiting caller.
IO_COMPLETION_ROUTINE SignalEventCompletion;

// --- Read path ----------------------------------------------------------------------
// The read path's values that every start resets.
void InitializeReceiveDefaults(PortExtension* port);

// --- Queues -------------------------------------------------------------------------
// Cancels every request queued on `queue` (newest first) and the one in `slot`.
void KillQueue(PortExtension* port, PLIST_ENTRY queue, PIRP* slot);
// Cancels everything the port holds: the four queues and their slots, the waiting
// event request, the immediate character, the counting XOFF_COUNTER and the
// requests held while a stop was pending.
void KillAllRequests(PortExtension* port);

// --- Deferred work ------------------------------------------------------------------
// One hold of DeferredWorkCount per queued DPC and per armed timer (which passes
// to the timer's DPC when it fires); the last one given back signals
// DeferredWorkDone. Up to DISPATCH_LEVEL.
BOOLEAN QueueDeferred(PortExtension* port, PKDPC dpc);
// For the port's own timers and their DPCs only. Answers whether an arming was
// replaced. While the timer's DPC from an earlier expiry is still to run, the
// timer is armed by that DPC as it finishes (the due time counts from then).
BOOLEAN SetDeferredTimer(PortExtension* port, PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc);
// Answers whether an arming (or a re-arm waiting for the DPC) was taken back,
// so that no DPC will run for it.
BOOLEAN CancelDeferredTimer(PortExtension* port, PKTIMER timer);
// The last step of every DPC routine that no timer fires.
void ReleaseDeferred(PortExtension* port);
// The last step of a timer's DPC routine: gives the hold back, or hands it to the
// arming asked for while the DPC was pending.
void ReleaseDeferredTimer(PortExtension* port, PKTIMER timer);
// Takes a queued DPC of the port off the queue and gives its hold back; answers
// whether it was queued.
BOOLEAN RemoveQueuedDeferred(PortExtension* port, PKDPC dpc);

// The port's DPCs, with the timer that fires each (if any).
struct DeferredWorkEntry {
    KDPC PortDpcs::*Dpc;
    PKDEFERRED_ROUTINE Routine;
    KTIMER PortExtension::*Timer;
};
constexpr int kPortDpcCount = 14;
extern const DeferredWorkEntry PortDeferredWork[kPortDpcCount];
// Initialises every timer and DPC of the table, each DPC with the port as context,
// and the timers' accounting. Once, when the device object is created: a start
// must never re-initialise a timer that may be armed or a DPC that may be queued.
void InitializeDeferredWork(PortExtension* port);

KDEFERRED_ROUTINE WriteCompleteDpc;
KDEFERRED_ROUTINE ReadCompleteDpc;
KDEFERRED_ROUTINE ReadTotalTimeoutDpc;
KDEFERRED_ROUTINE ReadIntervalDpc;
KDEFERRED_ROUTINE WriteTimeoutDpc;
KDEFERRED_ROUTINE ErrorAbortDpc;
KDEFERRED_ROUTINE ImmediateDoneDpc;
KDEFERRED_ROUTINE ImmediateTimeoutDpc;
KDEFERRED_ROUTINE WaitCompleteDpc;
KDEFERRED_ROUTINE XoffCounterTimeoutDpc;
KDEFERRED_ROUTINE XoffCounterDoneDpc;
KDEFERRED_ROUTINE TransmitToggleDpc;
KDEFERRED_ROUTINE TransmitToggleTimerDpc;
KDEFERRED_ROUTINE DeferredDrainDpc;
