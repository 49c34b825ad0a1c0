// IRQL, spin locks, dispatcher objects (events, timers), waits, DPCs and fast
// mutexes, with the verifier's checks on each.
#include "internal.h"

#include <algorithm>
#include <functional>
#include <vector>

namespace sim {

namespace {
bool Initialised(const DISPATCHER_HEADER* h) { return h->Size == kInitialisedMark; }

bool CheckHeader(const DISPATCHER_HEADER* h, const char* ddi) {
    if (Initialised(h)) return true;
    return !Verifier::Violation(Rule::ObjectNotInitialized,
                                std::string(ddi) + " on an object that was never initialised (" + Hex(h) + ")");
}

// A due time as virtual time: negative is relative, positive absolute system time.
// Read inside a wait that has begun: no preemption point here (the DDI has
// one), or the waiting thread could be switched away before its time-out is
// scheduled and never be woken.
Ticks DueFromTimeout(LONGLONG value) {
    auto& st = St();
    if (value < 0) return st.now - value;
    return st.now + std::max<LONGLONG>(0, value - SystemTimeNow());
}

// Named when read: a waiting thread outlives its time-out event.
EventName WaitTimeoutName(const Context* waiter) {
    return [waiter] { return "wait time-out of '" + waiter->name + "'"; };
}

NTSTATUS BlockOn(DISPATCHER_HEADER* object, PLARGE_INTEGER timeout, bool onTick = true) {
    auto& st = St();
    Context* self = CurrentThread();
    if (self->kind != Context::Kind::Thread) {
        Verifier::Violation(Rule::IrqlTooHigh, "a DPC routine waits");
        std::abort();
    }
    self->waiting = true;
    self->satisfied = false;
    self->waitObject = object;
    self->waitStatus = STATUS_SUCCESS;
    if (object) st.waiters.emplace(object, self);
    self->timeoutEvent = 0;
    if (timeout) {
        // A timed wait ends on the clock tick that follows its due time.
        Ticks due = DueFromTimeout(timeout->QuadPart);
        if (onTick) due = ExpiryOnTick(due);
        self->timeoutEvent = Simulation::Current().Schedule(
            due - st.now, WaitTimeoutName(self), [self, object] {
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
    while (!self->satisfied) BlockCurrent();
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

Context* Owner(PKSPIN_LOCK lock) { return reinterpret_cast<Context*>(*lock); }
}  // namespace

void DelayExactly(Ticks span) {
    LARGE_INTEGER interval;
    interval.QuadPart = -std::max<Ticks>(span, 0);
    BlockOn(nullptr, &interval, false);
}

bool RequireIrql(const char* ddi, KIRQL maxIrql) {
    KIRQL irql = CurrentIrql();
    if (irql <= maxIrql) return true;
    return !Verifier::Violation(Rule::IrqlTooHigh, std::string(ddi) + " called at IRQL " + std::to_string(irql) +
                                                       " (at most " + std::to_string(maxIrql) + " allowed)");
}

namespace {
// Where a lock lives inside a device extension of `driver`, or npos.
size_t ExtensionOffset(PKSPIN_LOCK lock, PDRIVER_OBJECT* driver) {
    for (PDEVICE_OBJECT dev : St().io.devices) {
        if (!dev->DeviceExtension) continue;
        auto base = static_cast<char*>(dev->DeviceExtension);
        auto at = reinterpret_cast<char*>(lock);
        if (at < base || at >= base + (dev->Size - sizeof(DEVICE_OBJECT))) continue;
        if (driver) *driver = dev->DriverObject;
        return static_cast<size_t>(at - base);
    }
    return static_cast<size_t>(-1);
}

// Rank of a lock in the order declared for a driver's device extensions, or -1.
int ExtensionLockRank(PKSPIN_LOCK lock) {
    auto& st = St();
    if (!st.lockOrderDriver) return -1;
    const auto& order = st.extensionLockOrder;
    for (size_t i = 0; i < order.size(); ++i) {
        if (order[i].first == kCancelLockOffset && lock == &st.io.cancelLock) return static_cast<int>(i);
    }
    PDRIVER_OBJECT driver = nullptr;
    size_t offset = ExtensionOffset(lock, &driver);
    if (offset == static_cast<size_t>(-1) || driver != st.lockOrderDriver) return -1;
    for (size_t i = 0; i < order.size(); ++i) {
        if (order[i].first == offset) return static_cast<int>(i);
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

// The class a lock belongs to in the order graph: the same lock of every
// device of a driver is one class, so that an order seen on one port and its
// inversion on another still meet.
std::string LockClass(PKSPIN_LOCK lock) {
    auto& st = St();
    if (lock == &st.io.cancelLock) return "cancel spin lock";
    auto it = std::find(st.lockOrder.begin(), st.lockOrder.end(), lock);
    if (it != st.lockOrder.end()) return st.lockNames[static_cast<size_t>(it - st.lockOrder.begin())];
    int rank = ExtensionLockRank(lock);
    if (rank >= 0) return st.extensionLockOrder[static_cast<size_t>(rank)].second;
    PDRIVER_OBJECT driver = nullptr;
    size_t offset = ExtensionOffset(lock, &driver);
    if (offset != static_cast<size_t>(-1)) {
        char text[96];
        std::snprintf(text, sizeof text, "the lock at offset 0x%zx of a device extension of driver %p", offset,
                      static_cast<void*>(driver));
        return text;
    }
    return "spin lock " + Hex(lock);
}

bool PathExists(const std::string& from, const std::string& to, std::set<std::string>& seen) {
    if (from == to) return true;
    if (!seen.insert(from).second) return false;
    auto& edges = St().lockEdges;
    for (auto it = edges.lower_bound({from, std::string()}); it != edges.end() && it->first.first == from; ++it) {
        if (PathExists(it->first.second, to, seen)) return true;
    }
    return false;
}

// Records that `inner` was taken while `outer` was held; reports the first
// time an order meets its inversion, with where each was seen.
void NoteNesting(const HeldLock& outer, PKSPIN_LOCK inner, const void* innerSite, bool report) {
    auto& st = St();
    if (!st.nestingsSeen.insert({outer.lock, inner}).second) return;
    const std::string a = LockClass(outer.lock);
    const std::string b = LockClass(inner);
    if (a == b) return;
    auto key = std::make_pair(a, b);
    if (st.lockEdges.count(key)) return;
    std::set<std::string> seen;
    const bool inverted = PathExists(b, a, seen);
    LockEdge edge{outer.site, innerSite};
    st.lockEdges.emplace(key, edge);
    if (!inverted || !report) return;
    std::string other;
    auto back = st.lockEdges.find({b, a});
    if (back != st.lockEdges.end()) {
        other = "; elsewhere " + a + " was taken at " + CallerName(back->second.innerSite) + " while " + b +
                ", taken at " + CallerName(back->second.outerSite) + ", was held";
    } else {
        other = "; elsewhere a chain of nested locks leads from " + b + " back to " + a;
    }
    Verifier::Violation(Rule::LockOrder, b + " taken at " + CallerName(edge.innerSite) + " while holding " + a +
                                             ", taken at " + CallerName(edge.outerSite) + other +
                                             " (a deadlock waiting to happen)");
}

void AcquireLock(PKSPIN_LOCK lock, KIRQL oldIrql, const void* site) {
    Context* self = CurrentThread();
    if (Owner(lock) == self) {
        Verifier::Violation(Rule::SpinLockRecursion,
                            "spin lock " + Hex(lock) + " acquired while already held (deadlock)");
        std::abort();
    }
    while (*lock != 0) {
        // Held on another processor: spin until it is released. A ring of
        // processors each spinning on the next one's lock never ends.
        Context* owner = Owner(lock);
        for (int hops = 0; owner && hops < 64; ++hops) {
            if (owner == self) {
                Verifier::Violation(Rule::Deadlock, "'" + self->name + "' spins on " + LockName(lock) +
                                                        " in a ring of processors each spinning on a lock the "
                                                        "next one holds");
                std::abort();
            }
            owner = owner->spinningOn ? Owner(owner->spinningOn) : nullptr;
        }
        self->spinningOn = lock;
        BlockCurrent();
        self->spinningOn = nullptr;
    }
    *lock = reinterpret_cast<KSPIN_LOCK>(self);
    NoteLockAcquired(lock, oldIrql, site);
}
}  // namespace

int LockRank(PKSPIN_LOCK lock) {
    auto& order = St().lockOrder;
    auto it = std::find(order.begin(), order.end(), lock);
    if (it != order.end()) return static_cast<int>(it - order.begin());
    return ExtensionLockRank(lock);
}

void LockClassesChanged() { St().nestingsSeen.clear(); }

void NoteLockAcquired(PKSPIN_LOCK lock, KIRQL oldIrql, const void* site) {
    Context* self = CurrentThread();
    int rank = LockRank(lock);
    bool reported = false;
    if (rank >= 0) {
        for (auto& held : self->heldLocks) {
            if (held.rank > rank) {
                Verifier::Violation(Rule::LockOrder, LockName(lock) + " taken while holding " + LockName(held.lock) +
                                                         ", which the lock order puts inside it");
                reported = true;
                break;
            }
        }
    }
    // The declared order already said it; the graph still learns the edge.
    for (auto& held : self->heldLocks) NoteNesting(held, lock, site, !reported);
    self->heldLocks.push_back({lock, oldIrql, rank, site});
}

bool NoteLockReleased(PKSPIN_LOCK lock, KIRQL* oldIrql) {
    auto& held = CurrentThread()->heldLocks;
    auto it = std::find_if(held.begin(), held.end(), [&](const HeldLock& h) { return h.lock == lock; });
    if (it == held.end()) {
        Verifier::Violation(Rule::SpinLockNotHeld, "release of " + LockName(lock) + ", which is not held");
        return false;
    }
    if (it + 1 != held.end()) {
        if (Verifier::Violation(Rule::SpinLockReleaseOrder, "release of " + LockName(lock) + " while " +
                                                                LockName(held.back().lock) +
                                                                ", taken after it, is still held"))
            return false;
    }
    if (oldIrql) *oldIrql = it->oldIrql;
    held.erase(it);
    *lock = 0;
    return true;
}

}  // namespace sim

using namespace sim;

extern "C" {

// ---------------------------------------------------------------------------
// IRQL

KIRQL NTAPI KeGetCurrentIrql(void) {
    SIM_DDI();
    return CurrentIrql();
}

ULONG NTAPI KeGetCurrentProcessorNumber(void) {
    SIM_DDI();
    int processor = CurrentThread()->processor;
    return processor < 0 ? 0 : static_cast<ULONG>(processor);
}

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    SIM_DDI();
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
    SIM_DDI();
    if (NewIrql > CurrentIrql()) {
        Verifier::Violation(Rule::BadParameter, "KeLowerIrql to a higher IRQL");
        return;
    }
    SetIrql(NewIrql);
    // The DISPATCH_LEVEL software interrupt is taken as soon as it is unmasked.
    if (NewIrql < DISPATCH_LEVEL) DeliverPendingDpcs();
}

// ---------------------------------------------------------------------------
// Spin locks

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    SIM_DDI();
    if (*SpinLock != 0) {
        for (auto& t : St().threads) {
            for (auto& held : t->heldLocks) {
                if (held.lock == SpinLock) {
                    Verifier::Violation(Rule::BadParameter, "KeInitializeSpinLock on a spin lock that is held");
                    return;
                }
            }
        }
        for (auto& c : St().dpcContexts) {
            for (auto& held : c->heldLocks) {
                if (held.lock == SpinLock) {
                    Verifier::Violation(Rule::BadParameter, "KeInitializeSpinLock on a spin lock that is held");
                    return;
                }
            }
        }
    }
    *SpinLock = 0;
}

}  // extern "C"

namespace {
// The spin lock routines' common parts; `site` is the driver's call, for reports.
KIRQL RaiseAndAcquire(PKSPIN_LOCK SpinLock, const void* site) {
    if (!RequireIrql("KeAcquireSpinLock", DISPATCH_LEVEL)) return CurrentIrql();
    KIRQL old = CurrentIrql();
    SetIrql(DISPATCH_LEVEL);
    AcquireLock(SpinLock, old, site);
    return old;
}

void AcquireAtDpcLevel(PKSPIN_LOCK SpinLock, const void* site) {
    if (CurrentIrql() < DISPATCH_LEVEL) {
        if (Verifier::Violation(Rule::SpinLockReleaseIrql, "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL"))
            return;
    }
    AcquireLock(SpinLock, DISPATCH_LEVEL, site);
}
}  // namespace

extern "C" {

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    SIM_DDI();
    return RaiseAndAcquire(SpinLock, __builtin_return_address(0));
}

VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    SIM_DDI();
    *OldIrql = RaiseAndAcquire(SpinLock, __builtin_return_address(0));
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    SIM_DDI();
    if (CurrentIrql() != DISPATCH_LEVEL) {
        if (Verifier::Violation(Rule::SpinLockReleaseIrql,
                                "KeReleaseSpinLock at IRQL " + std::to_string(CurrentIrql()) + ", not DISPATCH_LEVEL"))
            return;
    }
    KIRQL recorded;
    if (!NoteLockReleased(SpinLock, &recorded)) return;
    if (NewIrql != recorded) {
        Verifier::Violation(Rule::SpinLockReleaseIrql, "KeReleaseSpinLock restores IRQL " + std::to_string(NewIrql) +
                                                           " but the lock was taken at IRQL " +
                                                           std::to_string(recorded));
    }
    KeLowerIrql(NewIrql);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    SIM_DDI();
    AcquireAtDpcLevel(SpinLock, __builtin_return_address(0));
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    SIM_DDI();
    if (CurrentIrql() != DISPATCH_LEVEL) {
        if (Verifier::Violation(Rule::SpinLockReleaseIrql,
                                "KeReleaseSpinLockFromDpcLevel at IRQL " + std::to_string(CurrentIrql())))
            return;
    }
    NoteLockReleased(SpinLock, nullptr);
}

#if defined(__i386__)
KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
    KIRQL old = CurrentIrql();
    KeRaiseIrql(NewIrql, &old);
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) { KeLowerIrql(NewIrql); }

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    SIM_DDI();
    return RaiseAndAcquire(SpinLock, __builtin_return_address(0));
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) { KeReleaseSpinLock(SpinLock, NewIrql); }

VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    SIM_DDI();
    AcquireAtDpcLevel(SpinLock, __builtin_return_address(0));
}

VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) { KeReleaseSpinLockFromDpcLevel(SpinLock); }
#endif

// ---------------------------------------------------------------------------
// Events and waits

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    SIM_DDI();
    InitHeader(&Event->Header, Type == NotificationEvent ? kEventNotificationType : kEventSynchronizationType,
               State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait) {
    SIM_DDI();
    // With Wait the caller goes on into a wait of its own at once.
    if (!RequireIrql(Wait ? "KeSetEvent (Wait TRUE)" : "KeSetEvent", Wait ? APC_LEVEL : DISPATCH_LEVEL)) return 0;
    if (!CheckHeader(&Event->Header, "KeSetEvent")) return 0;
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    SatisfyWaiters(&Event->Header);
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    SIM_DDI();
    if (!CheckHeader(&Event->Header, "KeClearEvent")) return;
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    SIM_DDI();
    if (!CheckHeader(&Event->Header, "KeResetEvent")) return 0;
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    SIM_DDI();
    if (!CheckHeader(&Event->Header, "KeReadStateEvent")) return 0;
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    SIM_DDI();
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
    CurrentThread()->waitCaller = __builtin_return_address(0);
    return BlockOn(header, Timeout);
}

namespace {
// A wait on several objects: the thread watches them all until one is
// signalled or `due` (when given) has come, then looks at them again.
void WatchObjects(const std::vector<DISPATCHER_HEADER*>& objects, const Ticks* due) {
    auto& st = St();
    Context* self = CurrentThread();
    self->waiting = true;
    self->satisfied = false;
    self->watching = true;
    self->waitObject = objects.front();
    self->waitStatus = STATUS_SUCCESS;
    for (DISPATCHER_HEADER* object : objects) st.waiters.emplace(object, self);
    self->timeoutEvent = 0;
    if (due) {
        self->timeoutEvent = Simulation::Current().Schedule(
            std::max<Ticks>(*due - st.now, 0), WaitTimeoutName(self), [self] {
                if (!self->waiting || self->satisfied) return;
                self->satisfied = true;
                self->waitStatus = STATUS_TIMEOUT;
                auto& waiters = St().waiters;
                for (auto it = waiters.begin(); it != waiters.end();) {
                    if (it->second == self)
                        it = waiters.erase(it);
                    else
                        ++it;
                }
            });
    }
    while (!self->satisfied) BlockCurrent();
    if (self->timeoutEvent) Simulation::Current().CancelScheduled(self->timeoutEvent);
    self->timeoutEvent = 0;
    self->waiting = false;
    self->watching = false;
    self->waitObject = nullptr;
}

bool Consumes(const DISPATCHER_HEADER* header) {
    return header->Type == kEventSynchronizationType || header->Type == kTimerSynchronizationType;
}
}  // namespace

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                        KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray) {
    SIM_DDI();
    CurrentThread()->waitCaller = __builtin_return_address(0);
    const bool zeroTimeout = Timeout && Timeout->QuadPart == 0;
    if (!RequireIrql(zeroTimeout ? "KeWaitForMultipleObjects (zero time-out)"
                                 : "KeWaitForMultipleObjects (with a time-out or none)",
                     zeroTimeout ? DISPATCH_LEVEL : APC_LEVEL))
        return STATUS_TIMEOUT;
    // More objects than a thread's own wait blocks need the caller's array.
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && !WaitBlockArray)) {
        Verifier::Violation(Rule::BadParameter, "KeWaitForMultipleObjects with " + std::to_string(Count) +
                                                    " objects" + (WaitBlockArray ? "" : " and no wait blocks"));
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<DISPATCHER_HEADER*> headers;
    for (ULONG i = 0; i < Count; ++i) {
        auto* header = static_cast<DISPATCHER_HEADER*>(Object[i]);
        if (!CheckHeader(header, "KeWaitForMultipleObjects")) return STATUS_TIMEOUT;
        headers.push_back(header);
    }
    Ticks due = 0;
    if (Timeout && !zeroTimeout) due = ExpiryOnTick(DueFromTimeout(Timeout->QuadPart));
    for (;;) {
        if (WaitType == WaitAny) {
            for (ULONG i = 0; i < Count; ++i) {
                if (headers[i]->SignalState > 0) {
                    if (Consumes(headers[i])) headers[i]->SignalState = 0;
                    return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
                }
            }
        } else if (std::all_of(headers.begin(), headers.end(),
                               [](const DISPATCHER_HEADER* h) { return h->SignalState > 0; })) {
            for (DISPATCHER_HEADER* header : headers) {
                if (Consumes(header)) header->SignalState = 0;
            }
            return STATUS_WAIT_0;
        }
        if (zeroTimeout || (Timeout && St().now >= due)) return STATUS_TIMEOUT;
        WatchObjects(headers, Timeout ? &due : nullptr);
    }
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    SIM_DDI();
    if (!RequireIrql("KeDelayExecutionThread", APC_LEVEL)) return STATUS_SUCCESS;
    LARGE_INTEGER interval = *Interval;
    return BlockOn(nullptr, &interval);
}

// ---------------------------------------------------------------------------
// DPCs

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    SIM_DDI();
    if (Dpc->Type == kDpcType && Dpc->DpcData != nullptr && DpcQueued(Dpc, sizeof(KDPC), nullptr)) {
        Verifier::Violation(Rule::BadParameter, "KeInitializeDpc on a DPC that is queued");
        return;
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
    SIM_DDI();
    Dpc->Importance = static_cast<UCHAR>(Importance);
}

VOID NTAPI KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number) {
    SIM_DDI();
    Dpc->Number = static_cast<USHORT>(kTargetProcessorBase + static_cast<UCHAR>(Number));
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    SIM_DDI();
    if (Dpc->Type != kDpcType || Dpc->DeferredRoutine == nullptr) {
        if (Verifier::Violation(Rule::ObjectNotInitialized,
                                "KeInsertQueueDpc on a DPC that was never initialised (" + Hex(Dpc) + ")"))
            return FALSE;
    }
    if (Dpc->DpcData != nullptr) return FALSE;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    QueueDpc(Dpc, Dpc->Importance == HighImportance);
    // Inserted below DISPATCH_LEVEL on this processor: the software interrupt is
    // taken at once.
    DeliverPendingDpcs();
    return TRUE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
    SIM_DDI();
    return RemoveQueuedDpc(Dpc) ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------
// Timers

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    SIM_DDI();
    if (!RequireIrql("KeInitializeTimer", DISPATCH_LEVEL)) return;
    auto& st = St();
    if (st.setTimers.count(Timer)) {
        Verifier::Violation(Rule::BadParameter, "KeInitializeTimer on a timer that is set");
        return;
    }
    InitHeader(&Timer->Header, Type == NotificationTimer ? kTimerNotificationType : kTimerSynchronizationType, 0);
    Timer->DueTime.QuadPart = 0;
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
#if UINTPTR_MAX > 0xffffffffu
    Timer->Processor = 0;
#endif
    Timer->Period = 0;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
    SIM_DDI();
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
// A timer expires on the first clock tick at or after its due time, on the
// processor that takes that tick; its DPC is queued there.
void ArmTimer(PKTIMER Timer, Ticks due) {
    auto& st = St();
    const Ticks expiry = ExpiryOnTick(due);
    Timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    Timer->Header.Inserted = 1;
    st.setTimers[Timer] = Simulation::Current().Schedule(expiry - st.now, "timer " + Hex(Timer), [Timer] {
        auto& s = St();
        s.setTimers.erase(Timer);
        Timer->Header.Inserted = 0;
        Timer->Header.SignalState = 1;
        SatisfyWaiters(&Timer->Header);
        if (Timer->Period) ArmTimer(Timer, s.now + static_cast<Ticks>(Timer->Period) * kMillisecond);
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
    SIM_DDI();
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

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
    SIM_DDI();
    return Timer->Header.SignalState > 0;
}

// ---------------------------------------------------------------------------
// Fast mutexes (raise to APC_LEVEL; owned by a thread)

VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    SIM_DDI();
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
    FastMutex->OldIrql = 0;
}

BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    SIM_DDI();
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
    SIM_DDI();
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
    SIM_DDI();
    // Released at the APC_LEVEL its acquisition raised to, never from under a spin lock.
    if (!RequireIrql("ExReleaseFastMutex", APC_LEVEL)) return;
    Context* self = CurrentThread();
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
    SIM_DDI();
    CurrentTime->QuadPart = SystemTimeNow();
}

ULONGLONG NTAPI KeQueryInterruptTime(void) {
    SIM_DDI();
    return static_cast<ULONGLONG>(St().now);
}

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount) {
    SIM_DDI();
    TickCount->QuadPart = St().now / St().timeIncrement;
}

ULONG NTAPI KeQueryTimeIncrement(void) {
    SIM_DDI();
    return static_cast<ULONG>(St().timeIncrement);
}

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
    SIM_DDI();
    // A busy wait: time passes but nothing else runs.
    St().now += static_cast<Ticks>(MicroSeconds) * kMicrosecond;
}

}  // extern "C"
