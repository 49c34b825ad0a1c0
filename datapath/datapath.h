// Request admission, deferred-work accounting and the data paths: the operations
// other folders call.
#pragma once

#include "driver/port_extension.h"

// Open's answers that not every header set the driver builds with defines.
#ifndef STATUS_INSUFFICIENT_POWER
#define STATUS_INSUFFICIENT_POWER ((NTSTATUS)0xC00002DEL)
#endif
#ifndef STATUS_NOT_A_DIRECTORY
#define STATUS_NOT_A_DIRECTORY ((NTSTATUS)0xC0000103L)
#endif

// --- Admission -------------------------------------------------------------------
// Counts the request on the port and decides whether the port takes it: 0 (go on),
// STATUS_DELETE_PENDING or STATUS_CANCELLED (already stored in the request: the
// caller completes it without a boost and releases the hold), or STATUS_PENDING
// (held on StalledQueue while a stop is pending: the caller returns at once).
NTSTATUS AdmitRequest(PortExtension* port, PIRP irp);
void ReleasePendingHold(PortExtension* port);
// Admission as a dispatch routine uses it: true to go on; otherwise the request
// has been held or completed (without a boost) and *answer is what to return.
bool AdmitOrAnswer(PortExtension* port, PIRP irp, NTSTATUS* answer);
// Completes a request its dispatch routine answers itself (no boost) and
// releases its admission hold.
NTSTATUS CompleteNow(PortExtension* port, PIRP irp, NTSTATUS status);
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
DRIVER_DISPATCH DispatchRead;
NTSTATUS StartRead(PortExtension* port);
DRIVER_CANCEL ReadCancelRoutine;

// --- Write path -----------------------------------------------------------------------
DRIVER_DISPATCH DispatchWrite;
// Sends the current write's next chunk once nothing holds the transmitter any
// more. Up to DISPATCH_LEVEL, no spin lock held.
void ResumeHeldWrite(PortExtension* port);
NTSTATUS StartWrite(PortExtension* port);
void TakeNextWrite(PortExtension* port, PIRP* slot, PLIST_ENTRY queue, PIRP* next, bool completeOld);
// The completion of a bulk-out transfer that carried a write chunk: advances
// the write it belongs to, if it is still that write's chunk on the pipe.
void ContinueWrite(PortExtension* port, NTSTATUS status, ULONG moved, ULONG serial);
// IMMEDIATE_CHAR once the dispatch made it CurrentImmediate: sends its byte.
void StartImmediateChar(PortExtension* port, PIRP irp);
DRIVER_CANCEL WriteCancelRoutine;
DRIVER_CANCEL XoffCounterCancelRoutine;
DRIVER_CANCEL WaitingXoffCounterCancelRoutine;
DRIVER_CANCEL ImmediateCancelRoutine;
// The write side has gone idle (no write current, none queued, or the immediate
// character done): SERIAL_EV_TXEMPTY once the transmitter has emptied, and,
// under transmit toggle, RTS down after the last character.
void WriteSideIdle(PortExtension* port);

// --- Open, close, cleanup, flush, purge, file information ------------------------------
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchCleanup;
DRIVER_DISPATCH DispatchFlush;
DRIVER_DISPATCH DispatchQueryInformation;
DRIVER_DISPATCH DispatchSetInformation;
NTSTATUS StartPurge(PortExtension* port);
NTSTATUS StartFlush(PortExtension* port);

// --- Time-outs ------------------------------------------------------------------------
// A relative due time from milliseconds counted in 64 bits: never shortened by
// overflow, never positive or zero.
LARGE_INTEGER DueInMilliseconds(ULONGLONG milliseconds);

// --- Queues -------------------------------------------------------------------------
// RequestRefs: the parties that may still touch a started request, one bit each,
// kept in the fourth parameter word of the request's current stack location. The
// party that clears the last bit completes the request; nobody touches it after.
constexpr ULONG_PTR RefInDevice = 0x01;
constexpr ULONG_PTR RefCancel = 0x02;
constexpr ULONG_PTR RefTotalTimer = 0x04;
constexpr ULONG_PTR RefIntervalTimer = 0x08;
constexpr ULONG_PTR RefXoffCounter = 0x10;
// The word is a pointer-sized parameter slot: read and written as a pointer,
// its bits taken as an integer (no access through a reinterpreted reference).
class RequestRefWord {
  public:
    explicit RequestRefWord(PVOID* slot) : slot_(slot) {}
    operator ULONG_PTR() const { return reinterpret_cast<ULONG_PTR>(*slot_); }
    RequestRefWord& operator=(ULONG_PTR bits) {
        *slot_ = reinterpret_cast<PVOID>(bits);
        return *this;
    }
    RequestRefWord& operator|=(ULONG_PTR bits) { return *this = static_cast<ULONG_PTR>(*this) | bits; }
    RequestRefWord& operator&=(ULONG_PTR bits) { return *this = static_cast<ULONG_PTR>(*this) & bits; }

  private:
    PVOID* slot_;
};
static inline RequestRefWord RequestRefs(PIRP irp) {
    return RequestRefWord(&IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument4);
}

// A queue's start routine: handles the request in its slot (and the ones behind
// it that finish at once); answers the first one's status, or STATUS_PENDING when
// the first was left waiting.
using StartRoutine = NTSTATUS (*)(PortExtension* port);
// Moves the queue's head into the slot (null when the queue is empty) and
// answers it in `next`; with `completeOld`, completes the request that was in
// the slot (its status already stored) with IO_SERIAL_INCREMENT.
using TakeNextRoutine = void (*)(PortExtension* port, PIRP* slot, PLIST_ENTRY queue, PIRP* next, bool completeOld);
// Takes a current request back from its data side (cancel spin lock held).
using SyncRoutine = void (*)(PortExtension* port);

// Puts the request in the slot and starts it when the queue is idle, completes
// it cancelled when it arrives cancelled, or queues it (STATUS_PENDING).
NTSTATUS StartOrQueue(PortExtension* port, PIRP irp, PLIST_ENTRY queue, PIRP* slot, StartRoutine start);
DRIVER_CANCEL QueueCancelRoutine;
// A read or write as its dispatch routine takes it: admitted, not refused by an
// error abort, completed at once when it moves no bytes, else started or queued.
NTSTATUS DispatchToQueue(PortExtension* port, PIRP irp, ULONG length, PLIST_ENTRY queue, PIRP* slot,
                         StartRoutine start);
void TakeNextRequest(PortExtension* port, PIRP* slot, PLIST_ENTRY queue, PIRP* next, bool completeOld);

// What finishing the current request of a slot involves.
struct CompletionPlan {
    PIRP PortExtension::*Slot;
    LIST_ENTRY PortExtension::*Queue;       // or null
    KTIMER PortExtension::*IntervalTimer;   // or null
    KTIMER PortExtension::*TotalTimer;      // or null
    StartRoutine StartNext;                 // or null
    TakeNextRoutine TakeNext;               // or null: the slot is simply emptied
    // Or null: decides the status when the request is completed, after `sync`
    // took it back, instead of the status its caller passed.
    NTSTATUS (*FinalStatus)(const PortExtension*);
};
// Called with the cancel spin lock held (at `cancelIrql`); always releases it.
// Drops `dropBits`, lets `sync` take the request back from its data side, takes
// back the parties it can still stop (an installed cancel routine, a timer not
// yet fired); when no bit is left, completes the request with `status` (or the
// plan's final status).
void TryCompleteCurrent(PortExtension* port, KIRQL cancelIrql, SyncRoutine sync, NTSTATUS status,
                        const CompletionPlan& plan, ULONG_PTR dropBits);

// TryCompleteCurrent for a caller that does not hold the cancel spin lock.
void CompleteCurrent(PortExtension* port, SyncRoutine sync, NTSTATUS status, const CompletionPlan& plan,
                     ULONG_PTR dropBits);

// Cancels every request queued on `queue` (newest first) and the one in `slot`.
void KillQueue(PortExtension* port, PLIST_ENTRY queue, PIRP* slot);
// Cancels everything the port holds: the four queues and their slots, the waiting
// event request, the immediate character, the counting XOFF_COUNTER, a pending
// wait-wake request and the requests held while a stop was pending.
void KillAllRequests(PortExtension* port);

// The mask queue's start routine: SET_WAIT_MASK and WAIT_ON_MASK.
NTSTATUS StartMaskRequest(PortExtension* port);
DRIVER_CANCEL WaitCancelRoutine;
// Answers the waiting WAIT_ON_MASK with `events` if nobody else has claimed it
// (one interlocked exchange decides); answers whether this call did.
bool CompleteWaitWith(PortExtension* port, ULONG events);

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
constexpr int kPortDpcCount = 15;
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
KDEFERRED_ROUTINE TransmitEmptyDpc;
