// The simulated processor: virtual time, timed events, the DPC queue, and
// cooperative threads that hand a baton to each other so that exactly one of
// them runs at a time, in an order the scheduling policy decides.
#include "internal.h"

#include <sim/pool.h>
#include <sim/registry.h>

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <sstream>

namespace sim {

namespace {
Simulation* g_current = nullptr;

bool DpcsHeld() { return St().policy == Policy::Held; }

size_t PickIndex(size_t count) {
    auto& st = St();
    if (st.policy != Policy::SeededRandom || count <= 1) return 0;
    return static_cast<size_t>(st.rng() % count);
}

bool Runnable(const Thread* t) {
    if (t->finished) return false;
    if (!t->started) return true;
    if (t->yielding) return true;
    return t->waiting && t->satisfied;
}

// The next thread to run. A thread whose wait was satisfied (or that never ran)
// goes before one that merely yields, so two threads that keep yielding to each
// other cannot starve a third; within each group the choice goes round from the
// thread after `except`, or is drawn by the seeded policy.
Thread* PickReady(const Thread* except, bool includeYielding = true) {
    auto& st = St();
    const size_t count = st.threads.size();
    const size_t start = except ? static_cast<size_t>(except->id) + 1 : 0;
    std::vector<Thread*> woken, yielding;
    for (size_t k = 0; k < count; ++k) {
        Thread* t = st.threads[(start + k) % count].get();
        if (t == except || !Runnable(t)) continue;
        (t->yielding ? yielding : woken).push_back(t);
    }
    std::vector<Thread*>& ready = (woken.empty() && includeYielding) ? yielding : woken;
    if (ready.empty()) return nullptr;
    return ready[PickIndex(ready.size())];
}

void StartOrWake(std::unique_lock<std::mutex>& lk, Thread* to);

void ThreadMain(Thread* self) {
    {
        std::unique_lock<std::mutex> lk(St().baton);
        self->cv.wait(lk, [&] { return St().current == self; });
    }
    self->body();
    if (self->irql != PASSIVE_LEVEL || !self->ownedMutexes.empty()) {
        Verifier::Violation(Rule::IrqlNotRestored,
                            "thread '" + self->name + "' ended above PASSIVE_LEVEL or holding a mutex");
    }
    self->finished = true;
    // Hand the processor on. Someone is always waiting for the baton: at least
    // the test's own thread.
    for (;;) {
        DrainDpcs();
        Thread* next = PickReady(self);
        if (next) {
            std::unique_lock<std::mutex> lk(St().baton);
            StartOrWake(lk, next);
            return;
        }
        auto& st = St();
        if (st.events.empty()) {
            Verifier::Violation(Rule::Deadlock,
                                "thread '" + self->name + "' ended and no other thread can run");
            std::abort();
        }
        auto it = st.events.begin();
        TimedEvent ev = std::move(it->second);
        st.events.erase(it);
        st.now = std::max(st.now, ev.due);
        if (ev.completion && DpcsHeld()) {
            st.heldCompletions.push_back(std::move(ev));
            continue;
        }
        KIRQL old = self->irql;
        self->irql = DISPATCH_LEVEL;
        ev.fn();
        self->irql = old;
    }
}

void StartOrWake(std::unique_lock<std::mutex>& lk, Thread* to) {
    St().current = to;
    if (!to->started) {
        to->started = true;
        to->os = std::thread(ThreadMain, to);
    } else {
        to->cv.notify_one();
    }
}

void SwitchTo(Thread* from, Thread* to) {
    auto& st = St();
    std::unique_lock<std::mutex> lk(st.baton);
    StartOrWake(lk, to);
    from->cv.wait(lk, [&] { return st.current == from; });
}

// Fires the earliest timed event; answers false when there is none. Events due
// at the same instant are taken in an order the policy draws.
bool FireNextEvent(Ticks horizon) {
    auto& st = St();
    if (st.events.empty()) return false;
    auto first = st.events.begin();
    if (first->second.due > horizon) return false;
    auto chosen = first;
    if (st.policy == Policy::SeededRandom) {
        std::vector<decltype(first)> same;
        for (auto it = first; it != st.events.end() && it->second.due == first->second.due; ++it)
            same.push_back(it);
        chosen = same[PickIndex(same.size())];
    }
    TimedEvent ev = std::move(chosen->second);
    st.events.erase(chosen);
    st.now = std::max(st.now, ev.due);
    if (ev.completion && DpcsHeld()) {
        st.heldCompletions.push_back(std::move(ev));
        return true;
    }
    Thread* self = CurrentThread();
    KIRQL old = self->irql;
    self->irql = DISPATCH_LEVEL;
    ev.fn();
    self->irql = old;
    if (old < DISPATCH_LEVEL) DrainDpcs();
    return true;
}

std::string DescribeWaiters() {
    std::ostringstream os;
    for (auto& t : St().threads) {
        if (t->finished || !t->started) continue;
        os << "\n  thread " << t->id << " '" << t->name << "'";
        if (t->waiting) os << " waits on " << Hex(t->waitObject);
    }
    return os.str();
}
}  // namespace

Simulation::State& St() {
    if (!g_current) {
        std::fprintf(stderr, "sim: a kernel routine was called with no Simulation alive\n");
        std::abort();
    }
    return g_current->state();
}
Thread* CurrentThread() { return St().current; }
KIRQL CurrentIrql() { return St().current->irql; }
void SetIrql(KIRQL irql) { St().current->irql = irql; }

std::string Hex(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

std::string RoutineName(const void* routine) {
    auto& names = St().routineNames;
    auto it = names.find(routine);
    if (it != names.end()) return it->second;
    return "routine@" + Hex(routine);
}

Simulation::Simulation() : state_(std::make_unique<State>()) {
    if (g_current) {
        std::fprintf(stderr, "sim: only one Simulation may exist at a time\n");
        std::abort();
    }
    g_current = this;
    Verifier::Reset();
    ResetRegistry();
    auto main = std::make_unique<Thread>();
    main->id = 0;
    main->name = "main";
    main->started = true;
    state_->current = main.get();
    state_->threads.push_back(std::move(main));
    if (const char* seed = std::getenv("VODREK_SEED")) {
        SetPolicy(Policy::SeededRandom, std::strtoull(seed, nullptr, 0));
    }
}

Simulation::~Simulation() {
    auto& st = *state_;
    CheckIoAtTeardown();
    CheckNoPoolLeft("when the simulation ended");
    if (OpenRegistryHandles() != 0) {
        Verifier::Violation(Rule::BadParameter, std::to_string(OpenRegistryHandles()) +
                                                    " registry handle(s) never closed");
    }
    for (auto& t : st.threads) {
        if (t->id != 0 && t->started && !t->finished) {
            Verifier::Violation(Rule::Deadlock, "thread '" + t->name +
                                                    "' never finished before the simulation ended" +
                                                    DescribeWaiters());
        }
    }
    for (auto& t : st.threads) {
        if (t->os.joinable()) {
            if (t->finished) {
                t->os.join();
            } else {
                t->os.detach();
                t.release();  // still blocked on its condition variable: keep it alive
            }
        }
    }
    ReleaseIoObjects();
    ResetRegistry();
    g_current = nullptr;
}

Simulation& Simulation::Current() {
    if (!g_current) {
        std::fprintf(stderr, "sim: no Simulation alive\n");
        std::abort();
    }
    return *g_current;
}
bool Simulation::Exists() { return g_current != nullptr; }

Ticks Simulation::Now() const { return state_->now; }

Ticks Simulation::NextEventTime() const {
    return state_->events.empty() ? -1 : state_->events.begin()->second.due;
}

uint64_t Simulation::Schedule(Ticks delay, std::string name, std::function<void()> fn,
                              bool isCompletion) {
    auto& st = *state_;
    TimedEvent ev;
    ev.due = st.now + std::max<Ticks>(delay, 0);
    ev.id = st.nextId++;
    ev.name = std::move(name);
    ev.fn = std::move(fn);
    ev.completion = isCompletion;
    uint64_t id = ev.id;
    st.events.emplace(std::make_pair(ev.due, id), std::move(ev));
    return id;
}

bool Simulation::CancelScheduled(uint64_t id) {
    auto& st = *state_;
    for (auto it = st.events.begin(); it != st.events.end(); ++it) {
        if (it->second.id == id) {
            st.events.erase(it);
            return true;
        }
    }
    for (auto it = st.heldCompletions.begin(); it != st.heldCompletions.end(); ++it) {
        if (it->id == id) {
            st.heldCompletions.erase(it);
            return true;
        }
    }
    return false;
}

void Simulation::SetPolicy(Policy policy, uint64_t seed) {
    state_->policy = policy;
    state_->seed = seed;
    state_->rng.seed(seed);
}
Policy Simulation::GetPolicy() const { return state_->policy; }
uint64_t Simulation::Seed() const { return state_->seed; }

std::vector<HeldItem> Simulation::Held() const {
    std::vector<HeldItem> items;
    if (state_->policy != Policy::Held) return items;
    for (PKDPC dpc : state_->dpcQueue) {
        items.push_back({HeldItem::Kind::Dpc, RoutineName((const void*)dpc->DeferredRoutine),
                         reinterpret_cast<uint64_t>(dpc)});
    }
    for (auto& ev : state_->heldCompletions) {
        items.push_back({HeldItem::Kind::Completion, ev.name, ev.id});
    }
    return items;
}

bool Simulation::Release(uint64_t id) {
    auto& st = *state_;
    for (auto it = st.dpcQueue.begin(); it != st.dpcQueue.end(); ++it) {
        if (reinterpret_cast<uint64_t>(*it) == id) {
            PKDPC dpc = *it;
            st.dpcQueue.erase(it);
            KIRQL old = CurrentIrql();
            SetIrql(DISPATCH_LEVEL);
            RunDpc(dpc);
            SetIrql(old);
            return true;
        }
    }
    for (auto it = st.heldCompletions.begin(); it != st.heldCompletions.end(); ++it) {
        if (it->id == id) {
            TimedEvent ev = std::move(*it);
            st.heldCompletions.erase(it);
            KIRQL old = CurrentIrql();
            SetIrql(DISPATCH_LEVEL);
            ev.fn();
            SetIrql(old);
            return true;
        }
    }
    return false;
}

bool Simulation::ReleaseNamed(const std::string& fragment) {
    for (auto& item : Held()) {
        if (item.name.find(fragment) != std::string::npos) return Release(item.id);
    }
    return false;
}

void Simulation::ReleaseAll() {
    for (;;) {
        auto items = Held();
        if (items.empty()) return;
        Release(items.front().id);
    }
}

int Simulation::CreateThread(std::string name, std::function<void()> body) {
    auto t = std::make_unique<Thread>();
    t->id = static_cast<int>(state_->threads.size());
    t->name = std::move(name);
    t->body = std::move(body);
    int id = t->id;
    state_->threads.push_back(std::move(t));
    return id;
}

bool Simulation::ThreadFinished(int id) const {
    return state_->threads.at(static_cast<size_t>(id))->finished;
}
int Simulation::CurrentThreadId() const { return state_->current->id; }

void Simulation::Yield() {
    Thread* self = CurrentThread();
    Thread* next = PickReady(self);
    if (!next) return;
    self->yielding = true;
    SwitchTo(self, next);
    self->yielding = false;
}

void Simulation::RunUntilIdle() {
    for (;;) {
        DrainDpcs();
        if (FireNextEvent(state_->now)) continue;
        // Threads that are themselves yielding only wait for the same idle
        // moment; running them would just hand the processor round in circles.
        Thread* self = CurrentThread();
        Thread* next = PickReady(self, false);
        if (!next) return;
        self->yielding = true;
        SwitchTo(self, next);
        self->yielding = false;
    }
}

void Simulation::RunFor(Ticks span) {
    LARGE_INTEGER interval;
    interval.QuadPart = -std::max<Ticks>(span, 0);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

bool Simulation::RunUntil(const std::function<bool()>& done, Ticks limit) {
    Ticks deadline = state_->now + limit;
    for (;;) {
        RunUntilIdle();
        if (done()) return true;
        if (state_->now >= deadline) return false;
        Ticks next = NextEventTime();
        Ticks target = (next < 0 || next > deadline) ? deadline : next;
        RunFor(target - state_->now);
        if (done()) return true;
    }
}

void Simulation::SetSystemSize(MM_SYSTEMSIZE size) { state_->systemSize = size; }
MM_SYSTEMSIZE Simulation::SystemSize() const { return state_->systemSize; }
const std::vector<std::string>& Simulation::DebugLog() const { return state_->debugLog; }
void Simulation::ClearDebugLog() { state_->debugLog.clear(); }

void RunInSystemThread(const std::string& what, const std::function<void()>& work, Ticks limit) {
    // An event rather than RunUntil: the caller may itself be a system thread.
    KEVENT finished;
    KeInitializeEvent(&finished, NotificationEvent, FALSE);
    Simulation::Current().CreateThread(what, [&] {
        work();
        KeSetEvent(&finished, IO_NO_INCREMENT, FALSE);
    });
    LARGE_INTEGER timeout;
    timeout.QuadPart = -limit;
    if (KeWaitForSingleObject(&finished, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        Verifier::Violation(Rule::Deadlock, what + " did not finish within " + std::to_string(limit / kSecond) +
                                                " s of virtual time");
        std::abort();
    }
}

// ---------------------------------------------------------------------------
// DPCs

void RunDpc(PKDPC dpc) {
    auto& st = St();
    dpc->DpcData = nullptr;
    size_t locks = st.heldLocks.size();
    dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
    if (CurrentIrql() != DISPATCH_LEVEL) {
        Verifier::Violation(Rule::IrqlNotRestored,
                            "DPC routine " + RoutineName((const void*)dpc->DeferredRoutine) +
                                " returned at IRQL " + std::to_string(CurrentIrql()));
        SetIrql(DISPATCH_LEVEL);
    }
    if (st.heldLocks.size() != locks) {
        Verifier::Violation(Rule::SpinLockHeldOnReturn,
                            "DPC routine " + RoutineName((const void*)dpc->DeferredRoutine) +
                                " returned holding a spin lock");
    }
}

void DrainDpcs() {
    auto& st = St();
    if (st.drainingDpcs || DpcsHeld() || CurrentIrql() >= DISPATCH_LEVEL) return;
    st.drainingDpcs = true;
    KIRQL old = CurrentIrql();
    SetIrql(DISPATCH_LEVEL);
    while (!st.dpcQueue.empty()) {
        size_t index = PickIndex(st.dpcQueue.size());
        PKDPC dpc = st.dpcQueue[index];
        st.dpcQueue.erase(st.dpcQueue.begin() + static_cast<long>(index));
        RunDpc(dpc);
    }
    SetIrql(old);
    st.drainingDpcs = false;
}

// ---------------------------------------------------------------------------
// Waiting

void WaitLoop(Thread* self) {
    auto& st = St();
    for (;;) {
        if (self->satisfied) return;
        DrainDpcs();
        if (self->satisfied) return;
        if (FireNextEvent(st.now)) continue;
        Thread* next = PickReady(self);
        if (next) {
            SwitchTo(self, next);
            continue;
        }
        if (!FireNextEvent(INT64_MAX)) {
            std::string why = st.policy == Policy::Held && (!st.dpcQueue.empty() || !st.heldCompletions.empty())
                                  ? " (what could wake it is held by the test)"
                                  : "";
            Verifier::Violation(Rule::Deadlock, "thread '" + self->name + "' waits forever" + why +
                                                    DescribeWaiters());
            std::abort();
        }
    }
}

void SatisfyWaiters(DISPATCHER_HEADER* object) {
    auto& st = St();
    auto range = st.waiters.equal_range(object);
    bool synchronization = object->Type == kEventSynchronizationType ||
                           object->Type == kTimerSynchronizationType;
    for (auto it = range.first; it != range.second && object->SignalState > 0;) {
        Thread* t = it->second;
        it = st.waiters.erase(it);
        t->satisfied = true;
        t->waitStatus = STATUS_SUCCESS;
        if (synchronization) object->SignalState = 0;
    }
}

}  // namespace sim
