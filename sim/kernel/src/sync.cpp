// IRQL, spin locks, dispatcher objects (events, timers), waits, DPCs and fast
// mutexes, with the verifier's checks on each.
#include "internal.h"

#include <algorithm>

namespace sim {

namespace {
// The cancel spin lock lives in the I/O manager; it is an ordinary spin lock here.
bool Initialised(const DISPATCHER_HEADER* h) { return h->Size == kInitialisedMark; }

bool CheckHeader(const DISPATCHER_HEADER* h, const char* ddi) {
    if (Initialised(h)) return true;
    return !Verifier::Violation(Rule::ObjectNotInitialized,
                                std::string(ddi) + " on an object that was never initialised (" +
                                    Hex(h) + ")");
}

Ticks DueFromTimeout(LONGLONG value) {
    auto& st = St();
    // Negative: relative; positive: absolute system time.
    if (value < 0) return st.now - value;
    LARGE_INTEGER sys;
    KeQuerySystemTime(&sys);
    return st.now + std::max<LONGLONG>(0, value - sys.QuadPart);
}

NTSTATUS BlockOn(DISPATCHER_HEADER* object, PLARGE_INTEGER timeout) {
    auto& st = St();
    Thread* self = CurrentThread();
    self->waiting = true;
    self->satisfied = false;
    self->waitObject = object;
    self->waitStatus = STATUS_SUCCESS;
    if (object) st.waiters.emplace(object, self);
    self->timeoutEvent = 0;
    if (timeout) {
        Ticks due = DueFromTimeout(timeout->QuadPart);
        self->timeoutEvent = Simulation::Current().Schedule(
            due - st.now, "wait time-out of '" + self->name + "'", [self, object] {
                if (!self->waiting || self->satisfied) return;
                self->satisfied = true;
                self->waitStatus = object ? STATUS_TIMEOUT : STATUS_SUCCESS;
                auto& waiters = St().waiters;
                auto range = waiters.equal_range(object);
                for (auto it = range.first; it != range.second; ++it) {
                    if (it->second == self) {
                        waiters.erase(it);
                        break;
                    }
                }
            });
    }
    WaitLoop(self);
    if (self->timeoutEvent) Simulation::Current().CancelScheduled(self->timeoutEvent);
    self->timeoutEvent = 0;
    self->waiting = false;
    self->waitObject = nullptr;
    return self->waitStatus;
}

void InitHeader(DISPATCHER_HEADER* h, UCHAR type, LONG state) {
    h->Type = type;
    h->Absolute = 0;
    h->Size = kInitialisedMark;
    h->Inserted = 0;
    h->SignalState = state;
    InitializeListHead(&h->WaitListHead);
}
}  // namespace

bool RequireIrql(const char* ddi, KIRQL maxIrql) {
    KIRQL irql = CurrentIrql();
    if (irql <= maxIrql) return true;
    return !Verifier::Violation(Rule::IrqlTooHigh, std::string(ddi) + " called at IRQL " +
                                                       std::to_string(irql) + " (at most " +
                                                       std::to_string(maxIrql) + " allowed)");
}

namespace {
// Rank of a lock in the order declared for a driver's device extensions, or -1.
int ExtensionLockRank(PKSPIN_LOCK lock) {
    auto& st = St();
    if (!st.lockOrderDriver) return -1;
    const auto& order = st.extensionLockOrder;
    for (size_t i = 0; i < order.size(); ++i) {
        if (order[i].first == kCancelLockOffset && lock == &st.io.cancelLock) return static_cast<int>(i);
    }
    for (PDEVICE_OBJECT dev : st.io.devices) {
        if (dev->DriverObject != st.lockOrderDriver || !dev->DeviceExtension) continue;
        auto base = static_cast<char*>(dev->DeviceExtension);
        auto at = reinterpret_cast<char*>(lock);
        if (at < base || at >= base + (dev->Size - sizeof(DEVICE_OBJECT))) continue;
        for (size_t i = 0; i < order.size(); ++i) {
            if (order[i].first == static_cast<size_t>(at - base)) return static_cast<int>(i);
        }
    }
    return -1;
}

std::string LockName(PKSPIN_LOCK lock) {
    auto& st = St();
    auto it = std::find(st.lockOrder.begin(), st.lockOrder.end(), lock);
    if (it != st.lockOrder.end()) return st.lockNames[static_cast<size_t>(it - st.lockOrder.begin())];
    int rank = ExtensionLockRank(lock);
    if (rank >= 0) return st.extensionLockOrder[static_cast<size_t>(rank)].second + " of " + Hex(lock);
    return "spin lock " + Hex(lock);
}
}  // namespace

int LockRank(PKSPIN_LOCK lock) {
    auto& order = St().lockOrder;
    auto it = std::find(order.begin(), order.end(), lock);
    if (it != order.end()) return static_cast<int>(it - order.begin());
    return ExtensionLockRank(lock);
}

void NoteLockAcquired(PKSPIN_LOCK lock, KIRQL oldIrql) {
    auto& st = St();
    int rank = LockRank(lock);
    if (rank >= 0) {
        for (auto& held : st.heldLocks) {
            if (held.rank > rank) {
                Verifier::Violation(Rule::LockOrder, LockName(lock) + " taken while holding " +
                                                         LockName(held.lock) +
                                                         ", which the lock order puts inside it");
                break;
            }
        }
    }
    st.heldLocks.push_back({lock, oldIrql, rank});
}

bool NoteLockReleased(PKSPIN_LOCK lock, KIRQL* oldIrql) {
    auto& st = St();
    auto it = std::find_if(st.heldLocks.begin(), st.heldLocks.end(),
                           [&](const HeldLock& h) { return h.lock == lock; });
    if (it == st.heldLocks.end()) {
        Verifier::Violation(Rule::SpinLockNotHeld, "release of " + LockName(lock) + ", which is not held");
        return false;
    }
    if (it + 1 != st.heldLocks.end()) {
        if (Verifier::Violation(Rule::SpinLockReleaseOrder,
                                "release of " + LockName(lock) + " while " +
                                    LockName(st.heldLocks.back().lock) +
                                    ", taken after it, is still held"))
            return false;
    }
    if (oldIrql) *oldIrql = it->oldIrql;
    st.heldLocks.erase(it);
    *lock = 0;
    return true;
}

}  // namespace sim

using namespace sim;

extern "C" {

// ---------------------------------------------------------------------------
// IRQL

KIRQL NTAPI KeGetCurrentIrql(void) { return CurrentIrql(); }

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    KIRQL cur = CurrentIrql();
    if (NewIrql < cur) {
        Verifier::Violation(Rule::BadParameter, "KeRaiseIrql to a lower IRQL");
        return;
    }
    *OldIrql = cur;
    SetIrql(NewIrql);
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(void) {
    KIRQL old = CurrentIrql();
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > CurrentIrql()) {
        Verifier::Violation(Rule::BadParameter, "KeLowerIrql to a higher IRQL");
        return;
    }
    SetIrql(NewIrql);
    if (NewIrql < DISPATCH_LEVEL) DrainDpcs();
}

// ---------------------------------------------------------------------------
// Spin locks

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    for (auto& held : St().heldLocks) {
        if (held.lock == SpinLock) {
            Verifier::Violation(Rule::BadParameter, "KeInitializeSpinLock on a spin lock that is held");
            return;
        }
    }
    *SpinLock = 0;
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    if (!RequireIrql("KeAcquireSpinLock", DISPATCH_LEVEL)) return CurrentIrql();
    if (*SpinLock != 0) {
        Verifier::Violation(Rule::SpinLockRecursion,
                            "spin lock " + Hex(SpinLock) + " acquired while already held (deadlock)");
        std::abort();
    }
    KIRQL old = CurrentIrql();
    SetIrql(DISPATCH_LEVEL);
    *SpinLock = 1;
    NoteLockAcquired(SpinLock, old);
    return old;
}

VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    *OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    if (CurrentIrql() != DISPATCH_LEVEL) {
        if (Verifier::Violation(Rule::SpinLockReleaseIrql,
                                "KeReleaseSpinLock at IRQL " + std::to_string(CurrentIrql()) +
                                    ", not DISPATCH_LEVEL"))
            return;
    }
    KIRQL recorded;
    if (!NoteLockReleased(SpinLock, &recorded)) return;
    if (NewIrql != recorded) {
        Verifier::Violation(Rule::SpinLockReleaseIrql,
                            "KeReleaseSpinLock restores IRQL " + std::to_string(NewIrql) +
                                " but the lock was taken at IRQL " + std::to_string(recorded));
    }
    KeLowerIrql(NewIrql);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (CurrentIrql() < DISPATCH_LEVEL) {
        if (Verifier::Violation(Rule::SpinLockReleaseIrql,
                                "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL"))
            return;
    }
    if (*SpinLock != 0) {
        Verifier::Violation(Rule::SpinLockRecursion,
                            "spin lock " + Hex(SpinLock) + " acquired while already held (deadlock)");
        std::abort();
    }
    *SpinLock = 1;
    NoteLockAcquired(SpinLock, DISPATCH_LEVEL);
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    if (CurrentIrql() != DISPATCH_LEVEL) {
        if (Verifier::Violation(Rule::SpinLockReleaseIrql,
                                "KeReleaseSpinLockFromDpcLevel at IRQL " +
                                    std::to_string(CurrentIrql())))
            return;
    }
    NoteLockReleased(SpinLock, nullptr);
}

// ---------------------------------------------------------------------------
// Events and waits

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    InitHeader(&Event->Header,
               Type == NotificationEvent ? kEventNotificationType : kEventSynchronizationType,
               State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait) {
    // With Wait the caller goes on into a wait of its own at once.
    if (!RequireIrql(Wait ? "KeSetEvent (Wait TRUE)" : "KeSetEvent", Wait ? APC_LEVEL : DISPATCH_LEVEL)) return 0;
    if (!CheckHeader(&Event->Header, "KeSetEvent")) return 0;
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    SatisfyWaiters(&Event->Header);
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    if (!CheckHeader(&Event->Header, "KeClearEvent")) return;
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    if (!CheckHeader(&Event->Header, "KeResetEvent")) return 0;
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    if (!CheckHeader(&Event->Header, "KeReadStateEvent")) return 0;
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
    bool zeroTimeout = Timeout && Timeout->QuadPart == 0;
    if (!RequireIrql(zeroTimeout ? "KeWaitForSingleObject (zero time-out)"
                                 : "KeWaitForSingleObject (with a time-out or none)",
                     zeroTimeout ? DISPATCH_LEVEL : APC_LEVEL))
        return STATUS_TIMEOUT;
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    if (!CheckHeader(header, "KeWaitForSingleObject")) return STATUS_TIMEOUT;
    if (header->SignalState > 0) {
        if (header->Type == kEventSynchronizationType || header->Type == kTimerSynchronizationType)
            header->SignalState = 0;
        return STATUS_SUCCESS;
    }
    if (zeroTimeout) return STATUS_TIMEOUT;
    return BlockOn(header, Timeout);
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval) {
    if (!RequireIrql("KeDelayExecutionThread", APC_LEVEL)) return STATUS_SUCCESS;
    LARGE_INTEGER interval = *Interval;
    return BlockOn(nullptr, &interval);
}

// ---------------------------------------------------------------------------
// DPCs

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    if (Dpc->Type == kDpcType && Dpc->DpcData != nullptr) {
        auto& q = St().dpcQueue;
        if (std::find(q.begin(), q.end(), Dpc) != q.end()) {
            Verifier::Violation(Rule::BadParameter, "KeInitializeDpc on a DPC that is queued");
            return;
        }
    }
    Dpc->Type = kDpcType;
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

VOID NTAPI KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) {
    Dpc->Importance = static_cast<UCHAR>(Importance);
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    if (Dpc->Type != kDpcType || Dpc->DeferredRoutine == nullptr) {
        if (Verifier::Violation(Rule::ObjectNotInitialized,
                                "KeInsertQueueDpc on a DPC that was never initialised (" + Hex(Dpc) + ")"))
            return FALSE;
    }
    if (Dpc->DpcData != nullptr) return FALSE;
    auto& st = St();
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    Dpc->DpcData = Dpc;  // non-null while queued, as the kernel keeps it
    if (Dpc->Importance == HighImportance)
        st.dpcQueue.push_front(Dpc);
    else
        st.dpcQueue.push_back(Dpc);
    // On one processor the DISPATCH_LEVEL software interrupt is taken at once
    // when the inserting code runs below it.
    DrainDpcs();
    return TRUE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
    auto& q = St().dpcQueue;
    auto it = std::find(q.begin(), q.end(), Dpc);
    if (it == q.end()) return FALSE;
    q.erase(it);
    Dpc->DpcData = nullptr;
    return TRUE;
}

// ---------------------------------------------------------------------------
// Timers

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    if (!RequireIrql("KeInitializeTimer", DISPATCH_LEVEL)) return;
    auto& st = St();
    if (st.setTimers.count(Timer)) {
        Verifier::Violation(Rule::BadParameter, "KeInitializeTimer on a timer that is set");
        return;
    }
    InitHeader(&Timer->Header,
               Type == NotificationTimer ? kTimerNotificationType : kTimerSynchronizationType, 0);
    Timer->DueTime.QuadPart = 0;
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Processor = 0;
    Timer->Period = 0;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
    if (!RequireIrql("KeCancelTimer", DISPATCH_LEVEL)) return FALSE;
    if (!CheckHeader(&Timer->Header, "KeCancelTimer")) return FALSE;
    auto& st = St();
    auto it = st.setTimers.find(Timer);
    if (it == st.setTimers.end()) return FALSE;
    Simulation::Current().CancelScheduled(it->second);
    st.setTimers.erase(it);
    Timer->Header.Inserted = 0;
    return TRUE;
}

namespace {
void ArmTimer(PKTIMER Timer, Ticks due) {
    auto& st = St();
    Timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    Timer->Header.Inserted = 1;
    st.setTimers[Timer] = Simulation::Current().Schedule(
        due - st.now, "timer " + Hex(Timer), [Timer] {
            auto& s = St();
            s.setTimers.erase(Timer);
            Timer->Header.Inserted = 0;
            Timer->Header.SignalState = 1;
            SatisfyWaiters(&Timer->Header);
            if (Timer->Period) ArmTimer(Timer, s.now + Timer->Period * kMillisecond);
            if (Timer->Dpc) {
                LARGE_INTEGER now;
                KeQuerySystemTime(&now);
                KeInsertQueueDpc(Timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(now.LowPart)),
                                 reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(now.HighPart))));
            }
        });
}
}  // namespace

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    if (!RequireIrql("KeSetTimer", DISPATCH_LEVEL)) return FALSE;
    if (!CheckHeader(&Timer->Header, "KeSetTimer")) return FALSE;
    if (Dpc && (Dpc->Type != kDpcType || Dpc->DeferredRoutine == nullptr)) {
        if (Verifier::Violation(Rule::ObjectNotInitialized,
                                "KeSetTimer with a DPC that was never initialised (" + Hex(Dpc) + ")"))
            return FALSE;
    }
    BOOLEAN wasSet = KeCancelTimer(Timer);
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    Timer->Period = static_cast<ULONG>(Period);
    ArmTimer(Timer, DueFromTimeout(DueTime.QuadPart));
    return wasSet;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) { return Timer->Header.SignalState > 0; }

// ---------------------------------------------------------------------------
// Fast mutexes (raise to APC_LEVEL; owned by a thread)

VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
    FastMutex->OldIrql = 0;
}

BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    if (!RequireIrql("ExTryToAcquireFastMutex", APC_LEVEL)) return FALSE;
    if (FastMutex->Count != 1) return FALSE;
    FastMutex->Count = 0;
    FastMutex->Owner = CurrentThread();
    FastMutex->OldIrql = CurrentIrql();
    SetIrql(APC_LEVEL);
    CurrentThread()->ownedMutexes.push_back(FastMutex);
    return TRUE;
}

VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    if (!RequireIrql("ExAcquireFastMutex", APC_LEVEL)) return;
    if (!CheckHeader(&FastMutex->Event.Header, "ExAcquireFastMutex")) return;
    if (FastMutex->Owner == CurrentThread()) {
        Verifier::Violation(Rule::FastMutexMisuse, "fast mutex acquired recursively (deadlock)");
        std::abort();
    }
    KIRQL old = CurrentIrql();
    SetIrql(APC_LEVEL);
    while (FastMutex->Count != 1) {
        FastMutex->Contention++;
        KeWaitForSingleObject(&FastMutex->Event, Executive, KernelMode, FALSE, nullptr);
    }
    FastMutex->Count = 0;
    FastMutex->Owner = CurrentThread();
    FastMutex->OldIrql = old;
    CurrentThread()->ownedMutexes.push_back(FastMutex);
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    // Released at the APC_LEVEL its acquisition raised to, never from under a spin lock.
    if (!RequireIrql("ExReleaseFastMutex", APC_LEVEL)) return;
    Thread* self = CurrentThread();
    if (FastMutex->Owner != self) {
        if (Verifier::Violation(Rule::FastMutexMisuse, "fast mutex released by a thread that does not own it"))
            return;
    }
    auto& owned = self->ownedMutexes;
    owned.erase(std::remove(owned.begin(), owned.end(), FastMutex), owned.end());
    KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
    FastMutex->Owner = nullptr;
    FastMutex->Count = 1;
    KeSetEvent(&FastMutex->Event, 0, FALSE);
    KeLowerIrql(old);
}

// ---------------------------------------------------------------------------
// Time

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    // Virtual time starts at 2026-01-01 00:00:00 UTC, in 100-ns units since 1601.
    constexpr LONGLONG kEpoch = 134114976000000000LL;
    CurrentTime->QuadPart = kEpoch + St().now;
}

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount) {
    TickCount->QuadPart = St().now / 156250;
}

ULONG NTAPI KeQueryTimeIncrement(void) { return 156250; }

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
    // A busy wait: time passes but nothing else runs.
    St().now += static_cast<Ticks>(MicroSeconds) * kMicrosecond;
}

}  // extern "C"
