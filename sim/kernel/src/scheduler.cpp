// The simulated machine's processors: virtual time, timed events, per-processor
// DPC queues, and the execution contexts (threads and each processor's DPC
// context) that the scheduling policy interleaves at preemption points.
//
// Exactly one context executes at any moment; each runs on a stack of its own
// and the scheduler switches between them. A processor runs either its thread
// or, when DPCs or interrupts are queued on it and its IRQL is below
// DISPATCH_LEVEL, its DPC context, which preempts the thread until the queue is
// empty. Several processors make progress "at once": the policy decides, at
// every preemption point, which processor's context goes on.
//
// Virtual time does not pass while code runs; it moves to the next timed event
// only when no context can run. Events whose time has come are delivered to a
// processor as interrupts and run in its DPC context.
#include "internal.h"
#include "shared_user_data.h"

#include <sim/pool.h>
#include <sim/registry.h>

#include <cxxabi.h>
#include <dlfcn.h>

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace sim {

namespace {
Simulation* g_current = nullptr;
std::string g_replayTarget;
uint64_t g_scheduleCounter = 0;
// Stacks of threads that never finished: they still hold what their frames
// own, so they stay allocated (and visible to the leak checker) for good.
std::vector<std::unique_ptr<Fiber>>& Graveyard() {
    static auto* graves = new std::vector<std::unique_ptr<Fiber>>();
    return *graves;
}

enum class Why { Point, Block, Yield, Idle, DpcDone, Finished };

struct Decision {
    enum Kind { Run, Activate, Deliver, Advance, Deadlock } kind = Deadlock;
    Context* context = nullptr;
    int processor = -1;
    Ticks time = 0;
};

Decision RunOn(Context* c, int processor) {
    Decision d;
    d.kind = Decision::Run;
    d.context = c;
    d.processor = processor;
    return d;
}
Decision ActivateOn(int processor) {
    Decision d;
    d.kind = Decision::Activate;
    d.processor = processor;
    return d;
}
Decision DeliverTo(int processor) {
    Decision d;
    d.kind = Decision::Deliver;
    d.processor = processor;
    return d;
}

bool HeldPolicy() { return St().policy == Policy::Held; }
bool Concurrent() { return St().policy == Policy::Pct || St().policy == Policy::SeededRandom; }

uintptr_t StackPointer() { return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)); }

int64_t FreshPriority() {
    auto& st = St();
    // Initial priorities lie above every value a change point gives (1 .. d-1).
    return st.pctDepth + static_cast<int64_t>(st.rng() % (1u << 30));
}

size_t Pick(size_t count) {
    if (count <= 1) return 0;
    return static_cast<size_t>(St().rng() % count);
}

// --- processors and their work ---------------------------------------------

Processor& Proc(int index) { return St().processors[static_cast<size_t>(index)]; }

bool IsDpcItem(const WorkItem& w) { return w.dpc != nullptr; }

bool HasWork(const Processor& p) {
    if (!p.released.empty()) return true;
    if (!HeldPolicy()) return !p.queue.empty();
    // Held: DPCs wait for the test; interrupts (plain events) still run.
    return std::any_of(p.queue.begin(), p.queue.end(), [](const WorkItem& w) { return !IsDpcItem(w); });
}

bool OnItsProcessor(const Context* t) {
    return t->processor >= 0 && Proc(t->processor).thread == t;
}

KIRQL ProcessorIrql(const Processor& p) {
    if (p.inDpc) return p.dpc->irql;
    if (p.thread && p.thread->processor == p.index && !p.thread->finished) return p.thread->irql;
    return PASSIVE_LEVEL;
}

bool SpinBlocked(const Context* c) { return c->spinningOn && *c->spinningOn != 0; }

// Whether a context could take a step now (yielding aside).
bool Enabled(const Context* c) {
    if (c->finished) return false;
    if (c->kind == Context::Kind::Dpc) return Proc(c->processor).inDpc && !SpinBlocked(c);
    if (!c->started) return true;
    if (c->waiting && !c->satisfied) return false;
    if (SpinBlocked(c)) return false;
    // A thread whose processor is running its DPC context waits for it.
    if (OnItsProcessor(c) && Proc(c->processor).inDpc) return false;
    return true;
}

bool DueEvent() {
    auto& st = St();
    return !st.events.empty() && st.events.begin()->second->due <= st.now;
}

// The thread a processor is running (not a blocked or finished one it last ran).
Context* Occupant(const Processor& p) {
    Context* t = p.thread;
    if (!t || t->processor != p.index || t->finished) return nullptr;
    if (t->waiting && !t->satisfied) return nullptr;
    return t;
}

// --- the policies ---------------------------------------------------------------

// Nothing can run now: time moves on to the next event, or nothing ever will.
Decision AdvanceTime() {
    auto& st = St();
    Decision d;
    if (st.events.empty()) return d;
    d.kind = Decision::Advance;
    d.time = std::max(st.now, st.events.begin()->second->due);
    return d;
}

// Eager and Held: one processor, deterministic. DPCs run as soon as the IRQL
// allows; a context runs until it waits; then DPCs, the waiting thread once its
// wait is over, events due now (one at a time), threads woken or new (round the
// table from the one that waited), yielding threads, and finally time moves on.
Decision DecideSequential(Context* self, Why why) {
    auto& st = St();
    Processor& p = Proc(0);
    if (why == Why::Point) {
        if (!p.inDpc && HasWork(p) && ProcessorIrql(p) < DISPATCH_LEVEL) return ActivateOn(0);
        return RunOn(self, self->processor);
    }
    if (p.inDpc) {
        if (Enabled(p.dpc)) return RunOn(p.dpc, 0);
        Decision d;
        return d;  // a spinning DPC context on the only processor: nothing can release it
    }
    if (HasWork(p) && ProcessorIrql(p) < DISPATCH_LEVEL) return ActivateOn(0);
    Context* home = p.thread;
    if (home && OnItsProcessor(home) && Enabled(home) && home->yielding == Yielding::No) return RunOn(home, 0);
    if (DueEvent()) return DeliverTo(0);

    // Every decision passes here: the walk round the table keeps no list unless
    // a seeded draw needs one.
    const size_t count = st.threads.size();
    const size_t start = home ? static_cast<size_t>(home->id) + 1 : 0;
    const bool draw = st.policy == Policy::SeededRandom;
    Context* firstReady = nullptr;
    Context* firstYielder = nullptr;
    size_t readyCount = 0;
    for (size_t k = 0; k < count; ++k) {
        Context* t = st.threads[(start + k) % count].get();
        if (!Enabled(t)) continue;
        if (t->yielding == Yielding::No) {
            if (t == home) continue;
            if (!firstReady) firstReady = t;
            ++readyCount;
            if (!draw) break;
        } else if ((t != self || why != Why::Yield) && !firstYielder) {
            firstYielder = t;
        }
    }
    if (firstReady) {
        if (!draw) return RunOn(firstReady, 0);
        size_t pick = Pick(readyCount);
        for (size_t k = 0; k < count; ++k) {
            Context* t = st.threads[(start + k) % count].get();
            if (t == home || !Enabled(t) || t->yielding != Yielding::No) continue;
            if (pick-- == 0) return RunOn(t, 0);
        }
    }
    if (why == Why::Idle && Enabled(self)) return RunOn(self, 0);
    if (firstYielder) return RunOn(firstYielder, 0);
    if (why == Why::Yield && Enabled(self)) return RunOn(self, 0);
    return AdvanceTime();
}

struct Candidate {
    Decision decision;
    int64_t priority;
};

// A processor a thread without one could run on: free, or (`preempt`) running
// a thread below DISPATCH_LEVEL of lower priority.
bool ProcessorFree(const Processor& p) {
    if (p.inDpc || (HasWork(p) && ProcessorIrql(p) < DISPATCH_LEVEL)) return false;
    Context* occupant = Occupant(p);
    return !occupant || occupant->yielding != Yielding::No || !Enabled(occupant);
}

int ProcessorFor(const Context* t, bool preempt) {
    auto& st = St();
    size_t free = 0;
    for (Processor& p : st.processors) free += ProcessorFree(p) ? 1 : 0;
    if (free > 0) {
        size_t pick = Pick(free);
        for (Processor& p : st.processors)
            if (ProcessorFree(p) && pick-- == 0) return p.index;
    }
    if (!preempt) return -1;
    int best = -1;
    int64_t lowest = t->priority;
    for (Processor& p : st.processors) {
        Context* occupant = Occupant(p);
        if (!occupant || p.inDpc || occupant->irql >= DISPATCH_LEVEL) continue;
        if (occupant->priority < lowest) {
            lowest = occupant->priority;
            best = p.index;
        }
    }
    return best;
}

// Filled afresh at every decision; kept to spare the heap.
const std::vector<Candidate>& Candidates() {
    auto& st = St();
    thread_local std::vector<Candidate> out;
    out.clear();
    for (Processor& p : st.processors) {
        if (p.inDpc) {
            if (Enabled(p.dpc)) out.push_back({RunOn(p.dpc, p.index), p.dpc->priority});
            continue;
        }
        if (HasWork(p) && ProcessorIrql(p) < DISPATCH_LEVEL) {
            out.push_back({ActivateOn(p.index), p.pendingPriority});
            continue;
        }
        Context* t = Occupant(p);
        if (t && Enabled(t) && t->yielding == Yielding::No) out.push_back({RunOn(t, p.index), t->priority});
    }
    for (auto& owned : st.threads) {
        Context* t = owned.get();
        if (OnItsProcessor(t) || !Enabled(t) || t->yielding != Yielding::No) continue;
        int where = ProcessorFor(t, st.policy == Policy::Pct);
        if (where >= 0) out.push_back({RunOn(t, where), t->priority});
    }
    if (DueEvent()) out.push_back({DeliverTo(static_cast<int>(Pick(st.processors.size()))), st.clockPriority});
    return out;
}

// What runs when nothing else can: a yielding thread, time moving on, or nothing.
Decision DecideWhenQuiet(Context* self, Why why) {
    auto& st = St();
    if (why == Why::Idle && Enabled(self)) return RunOn(self, self->processor);
    std::vector<Context*> yielders;
    for (auto& owned : st.threads) {
        Context* t = owned.get();
        if (Enabled(t) && t->yielding != Yielding::No && (t != self || why != Why::Yield)) yielders.push_back(t);
    }
    if (!yielders.empty()) {
        Context* t = yielders[Pick(yielders.size())];
        int where = OnItsProcessor(t) ? t->processor : ProcessorFor(t, true);
        if (where < 0) where = 0;
        return RunOn(t, where);
    }
    if (why == Why::Yield && Enabled(self)) return RunOn(self, self->processor);
    return AdvanceTime();
}

// Probabilistic concurrency testing: every context has a random priority and
// the highest that can run, runs; at d-1 steps drawn at random the running
// context's priority drops below all others.
Decision DecidePct(Context* self, Why why) {
    auto& st = St();
    if (why == Why::Point) {
        ++st.pctSteps;
        if (st.nextChangePoint < st.changePoints.size() && st.pctSteps >= st.changePoints[st.nextChangePoint]) {
            ++st.nextChangePoint;
            self->priority = st.pctDepth - static_cast<int64_t>(st.nextChangePoint);
        }
    }
    const std::vector<Candidate>& candidates = Candidates();
    if (candidates.empty()) return DecideWhenQuiet(self, why);
    auto best = std::max_element(candidates.begin(), candidates.end(),
                                 [](const Candidate& a, const Candidate& b) { return a.priority < b.priority; });
    return best->decision;
}

// SeededRandom: at a point the running context goes on three times in four;
// otherwise, and whenever it cannot, any context that can run is drawn.
Decision DecideRandom(Context* self, Why why) {
    auto& st = St();
    if (why == Why::Point && st.rng() % 4 != 0) {
        Processor& p = Proc(self->processor);
        if (self->kind == Context::Kind::Thread && !p.inDpc && HasWork(p) && ProcessorIrql(p) < DISPATCH_LEVEL)
            return ActivateOn(p.index);
        return RunOn(self, self->processor);
    }
    const std::vector<Candidate>& candidates = Candidates();
    if (candidates.empty()) return DecideWhenQuiet(self, why);
    return candidates[Pick(candidates.size())].decision;
}

Decision Decide(Context* self, Why why) {
    switch (St().policy) {
        case Policy::Eager:
        case Policy::Held:
            return DecideSequential(self, why);
        case Policy::Pct:
            return DecidePct(self, why);
        case Policy::SeededRandom:
            return St().processors.size() == 1 ? DecideSequential(self, why) : DecideRandom(self, why);
    }
    return Decision{};
}

// --- switching --------------------------------------------------------------------

void ThreadEntry(void* argument);
void DpcEntry(void* argument);

void FreeFinishedFibers() {
    auto& finished = St().finishedFibers;
    finished.clear();
}

void SwitchTo(Context* from, Context* to) {
    auto& st = St();
    if (!to->fiber) {
        to->fiber = std::make_unique<Fiber>(to->kind == Context::Kind::Dpc ? DpcEntry : ThreadEntry, to,
                                            Fiber::DefaultStackBytes());
    }
    to->started = true;
    st.current = to;
    ++st.switches;
    Fiber* fromFiber = from->fiber.get();
    if (from->finished) {
        // Its stack goes once we are off it.
        st.finishedFibers.push_back(std::move(from->fiber));
    }
    Fiber::Switch(fromFiber, to->fiber.get(), from->finished);
    FreeFinishedFibers();
}

void Place(Context* t, int processor) {
    if (t->kind != Context::Kind::Thread || processor < 0) return;
    Processor& p = Proc(processor);
    if (p.thread && p.thread != t && p.thread->processor == processor) p.thread->processor = -1;
    if (t->processor >= 0 && t->processor != processor && Proc(t->processor).thread == t)
        Proc(t->processor).thread = nullptr;
    p.thread = t;
    t->processor = processor;
}

std::string DescribeContexts();

[[noreturn]] void ReportDeadlock(Context* self) {
    auto& st = St();
    std::string why = "no simulated thread, DPC or event can run";
    if (st.policy == Policy::Held) {
        bool held = !st.heldCompletions.empty();
        for (auto& p : st.processors) held = held || !p.queue.empty();
        if (held) why += " (what could wake it is held by the test)";
    }
    Verifier::Violation(Rule::Deadlock, "'" + self->name + "' cannot go on: " + why + DescribeContexts());
    std::abort();
}

// The clock moves: the shared data page drivers read the time from moves with it.
void AdvanceClock(Ticks to) {
    auto& st = St();
    st.now = to;
    RefreshSharedUserData(st.now, SystemTimeNow(), static_cast<uint64_t>(st.now / st.timeIncrement));
}

void DeliverNext(int processor) {
    auto& st = St();
    auto it = st.events.begin();
    std::shared_ptr<TimedEvent> ev = it->second;
    st.events.erase(it);
    AdvanceClock(std::max(st.now, ev->due));
    if (ev->completion && HeldPolicy()) {
        st.heldCompletions.push_back(std::move(ev));
        return;
    }
    // Completions of one pipe stay in order: they go where the previous one went
    // while that one is still queued or running.
    if (ev->orderKey) {
        auto key = st.orderKeys.find(ev->orderKey);
        if (key != st.orderKeys.end()) {
            processor = key->second.first;
            key->second.second++;
        } else {
            st.orderKeys[ev->orderKey] = {processor, 1};
        }
    }
    Processor& p = Proc(processor);
    if (p.queue.empty()) p.pendingPriority = FreshPriority();
    WorkItem item;
    item.event = std::move(ev);
    p.queue.push_back(std::move(item));
}

void Dispatch(Context* self, Why why) {
    for (;;) {
        Decision d = Decide(self, why);
        switch (d.kind) {
            case Decision::Run:
                Place(d.context, d.processor);
                if (d.context != self) SwitchTo(self, d.context);
                return;
            case Decision::Activate: {
                Processor& p = Proc(d.processor);
                p.inDpc = true;
                p.dpc->priority = p.pendingPriority;
                if (p.dpc != self) SwitchTo(self, p.dpc);
                return;
            }
            case Decision::Deliver:
                DeliverNext(d.processor);
                continue;
            case Decision::Advance:
                AdvanceClock(d.time);
                continue;
            case Decision::Deadlock:
                ReportDeadlock(self);
        }
    }
}

// --- the contexts' own code ---------------------------------------------------------

void ThreadEntry(void* argument) {
    auto* self = static_cast<Context*>(argument);
    self->body();
    // A thread that ends has its outstanding requests cancelled and waits for
    // them, as thread termination does on Windows.
    if (self->irql == PASSIVE_LEVEL) CancelThreadIo(self);
    if (self->irql != PASSIVE_LEVEL || !self->ownedMutexes.empty()) {
        Verifier::Violation(Rule::IrqlNotRestored,
                            "thread '" + self->name + "' ended above PASSIVE_LEVEL or holding a mutex");
    }
    self->finished = true;
    self->waiting = false;
    self->ended.Header.SignalState = 1;
    SatisfyWaiters(&self->ended.Header);
    Dispatch(self, Why::Finished);
    std::abort();  // a finished context is never chosen again
}

bool TakeWork(Processor& p, WorkItem* item) {
    if (!p.released.empty()) {
        *item = std::move(p.released.front());
        p.released.pop_front();
        return true;
    }
    if (HeldPolicy()) {
        auto it = std::find_if(p.queue.begin(), p.queue.end(), [](const WorkItem& w) { return !IsDpcItem(w); });
        if (it == p.queue.end()) return false;
        *item = std::move(*it);
        p.queue.erase(it);
        return true;
    }
    if (p.queue.empty()) return false;
    // Seeded runs of one processor also shuffle the queue, standing in for the
    // order DPCs of several processors would finish in.
    size_t index = (St().policy == Policy::SeededRandom && St().processors.size() == 1) ? Pick(p.queue.size()) : 0;
    *item = std::move(p.queue[index]);
    if (index == 0)
        p.queue.pop_front();
    else
        p.queue.erase(p.queue.begin() + static_cast<long>(index));
    return true;
}

void RunWork(Processor& p, WorkItem& item) {
    auto& st = St();
    Context* self = p.dpc;
    self->irql = DISPATCH_LEVEL;
    if (item.dpc) {
        item.dpc->DpcData = nullptr;
        RunDpc(item.dpc);
        return;
    }
    {
        AtomicSection atomic;
        item.event->fn();
    }
    if (self->irql != DISPATCH_LEVEL) {
        Verifier::Violation(Rule::IrqlNotRestored, "interrupt '" + item.event->name.Text() + "' ended at IRQL " +
                                                       std::to_string(self->irql));
        self->irql = DISPATCH_LEVEL;
    }
    if (item.event->orderKey) {
        auto key = st.orderKeys.find(item.event->orderKey);
        if (key != st.orderKeys.end() && --key->second.second == 0) st.orderKeys.erase(key);
    }
}

void DpcEntry(void* argument) {
    auto* self = static_cast<Context*>(argument);
    Processor& p = Proc(self->processor);
    for (;;) {
        for (;;) {
            WorkItem item;
            if (!TakeWork(p, &item)) break;
            RunWork(p, item);
        }
        p.inDpc = false;
        Dispatch(self, Why::DpcDone);
    }
}

Context* NewContext(Context::Kind kind, std::string name) {
    auto c = std::make_unique<Context>();
    c->kind = kind;
    c->name = std::move(name);
    c->priority = FreshPriority();
    Context* raw = c.get();
    c->ended.Header.Type = kEventNotificationType;
    c->ended.Header.Size = kInitialisedMark;
    c->ended.Header.SignalState = 0;
    InitializeListHead(&c->ended.Header.WaitListHead);
    if (kind == Context::Kind::Thread) {
        c->id = static_cast<int>(St().threads.size());
        St().threads.push_back(std::move(c));
    } else {
        c->id = -1 - static_cast<int>(St().dpcContexts.size());
        c->irql = DISPATCH_LEVEL;
        c->started = true;
        St().dpcContexts.push_back(std::move(c));
    }
    return raw;
}

void ResizeProcessors(int count) {
    auto& st = St();
    count = std::clamp(count, 1, 8);
    while (static_cast<int>(st.processors.size()) > count) {
        Processor& last = st.processors.back();
        Context* occupant = last.thread && OnItsProcessor(last.thread) ? last.thread : nullptr;
        if (last.inDpc || (occupant && occupant->irql >= DISPATCH_LEVEL)) {
            std::fprintf(stderr, "sim: a processor can only be taken away while it runs no DPC and no raised code\n");
            std::abort();
        }
        // What it had queued and the thread it ran move to processor 0.
        Processor& first = st.processors.front();
        for (WorkItem& w : last.queue) {
            if (w.dpc) w.dpc->DpcData = &first;
            first.queue.push_back(std::move(w));
        }
        for (auto& key : st.orderKeys)
            if (key.second.first == last.index) key.second.first = 0;
        if (occupant) {
            occupant->processor = -1;
            if (occupant == st.current || !first.thread || !OnItsProcessor(first.thread)) {
                if (first.thread && first.thread->processor == 0) first.thread->processor = -1;
                first.thread = occupant;
                occupant->processor = 0;
            }
        }
        st.processors.pop_back();
    }
    while (static_cast<int>(st.processors.size()) < count) {
        Processor p;
        p.index = static_cast<int>(st.processors.size());
        st.processors.push_back(std::move(p));
        Processor& added = st.processors.back();
        added.dpc = NewContext(Context::Kind::Dpc, "DPC context of processor " + std::to_string(added.index));
        added.dpc->processor = added.index;
    }
}

int DefaultProcessors(Policy policy) { return policy == Policy::Pct || policy == Policy::SeededRandom ? 2 : 1; }

void DrawChangePoints() {
    auto& st = St();
    st.changePoints.clear();
    st.nextChangePoint = 0;
    st.pctSteps = 0;
    for (int i = 1; i < st.pctDepth; ++i) st.changePoints.push_back(1 + st.rng() % std::max<uint64_t>(st.pctBudget, 1));
    std::sort(st.changePoints.begin(), st.changePoints.end());
    st.clockPriority = FreshPriority();
}

const char* PolicyName(Policy policy) {
    switch (policy) {
        case Policy::Eager: return "eager";
        case Policy::Held: return "held";
        case Policy::SeededRandom: return "random";
        case Policy::Pct: return "pct";
    }
    return "?";
}

std::string DescribeContexts() {
    std::ostringstream os;
    for (auto& t : St().threads) {
        if (t->finished || !t->started) continue;
        os << "\n  thread " << t->id << " '" << t->name << "'";
        if (t->waiting && !t->satisfied) {
            os << " waits on " << Hex(t->waitObject);
            if (t->waitObject) {
                const UCHAR type = t->waitObject->Type;
                os << (type == kEventNotificationType       ? " (notification event)"
                       : type == kEventSynchronizationType  ? " (synchronization event)"
                       : type == kTimerNotificationType || type == kTimerSynchronizationType ? " (timer)"
                                                            : " (object)");
            }
            if (t->waitCaller) os << ", called from " << CallerName(t->waitCaller);
        }
        if (t->spinningOn) os << " spins on " << Hex(t->spinningOn);
    }
    for (auto& p : St().processors) {
        if (p.inDpc && p.dpc->spinningOn) os << "\n  DPC context of processor " << p.index << " spins on " << Hex(p.dpc->spinningOn);
        os << "\n  processor " << p.index << ": IRQL " << int(ProcessorIrql(p)) << (p.inDpc ? ", in its DPC context" : "")
           << ", " << p.queue.size() << " queued, " << p.released.size() << " released";
        if (p.thread) os << ", last thread '" << p.thread->name << "'" << (p.thread->processor == p.index ? "" : " (moved)");
    }
    os << "\n  " << St().events.size() << " timed events";
    return os.str();
}

}  // namespace

// --- shared with the other kernel files ------------------------------------------

Simulation::State& St() {
    if (!g_current) {
        std::fprintf(stderr, "sim: a kernel routine was called with no Simulation alive\n");
        std::abort();
    }
    return g_current->state();
}
Context* CurrentThread() { return St().current; }
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
    // The dynamic symbol table, if the routine is in it; resolving through the
    // debug information is kept for the verifier's reports.
    Dl_info info{};
    if (routine && dladdr(routine, &info) && info.dli_sname && info.dli_saddr == routine) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        std::string name = status == 0 && demangled ? demangled : info.dli_sname;
        std::free(demangled);
        return name;
    }
    return "routine@" + Hex(routine);
}

void Point() {
    if (!g_current) return;
    auto& st = St();
    Context* self = st.current;
    ++st.points;
    self->lastSp = StackPointer();
    if (self->atomicDepth > 0) return;
    if (!Concurrent()) {
        DeliverPendingDpcs();
        return;
    }
    Dispatch(self, Why::Point);
}

void DeliverPendingDpcs() {
    auto& st = St();
    Context* self = st.current;
    if (self->kind != Context::Kind::Thread || self->processor < 0) return;
    Processor& p = Proc(self->processor);
    if (p.thread != self || p.inDpc || !HasWork(p) || self->irql >= DISPATCH_LEVEL) return;
    p.inDpc = true;
    p.dpc->priority = p.pendingPriority;
    SwitchTo(self, p.dpc);
    // Back here once this processor's DPC context is done and the policy has
    // chosen this thread again.
}

void BlockCurrent() { Dispatch(St().current, Why::Block); }

void QueueDpc(PKDPC dpc, bool front) {
    auto& st = St();
    int target = st.current->processor >= 0 ? st.current->processor : 0;
    // KeSetTargetProcessorDpc keeps its choice in Number, offset as the kernel does.
    if (dpc->Number >= kTargetProcessorBase) target = (dpc->Number - kTargetProcessorBase) % static_cast<int>(st.processors.size());
    Processor& p = Proc(target);
    if (p.queue.empty()) p.pendingPriority = FreshPriority();
    dpc->DpcData = &p;
    WorkItem item;
    item.dpc = dpc;
    if (front)
        p.queue.push_front(std::move(item));
    else
        p.queue.push_back(std::move(item));
}

bool RemoveQueuedDpc(PKDPC dpc) {
    for (Processor& p : St().processors) {
        for (auto* q : {&p.queue, &p.released}) {
            auto it = std::find_if(q->begin(), q->end(), [dpc](const WorkItem& w) { return w.dpc == dpc; });
            if (it != q->end()) {
                q->erase(it);
                dpc->DpcData = nullptr;
                return true;
            }
        }
    }
    return false;
}

bool DpcQueued(const void* base, size_t size, std::string* routine) {
    auto b = static_cast<const char*>(base);
    for (Processor& p : St().processors) {
        for (auto* q : {&p.queue, &p.released}) {
            for (const WorkItem& w : *q) {
                auto at = reinterpret_cast<const char*>(w.dpc);
                if (w.dpc && at >= b && at < b + size) {
                    if (routine) *routine = RoutineName(reinterpret_cast<const void*>(w.dpc->DeferredRoutine));
                    return true;
                }
            }
        }
    }
    return false;
}

void RunDpc(PKDPC dpc) {
    Context* self = CurrentThread();
    size_t locks = self->heldLocks.size();
    {
        DriverCall call(reinterpret_cast<const void*>(dpc->DeferredRoutine));
        CallDriverRoutine(dpc->DeferredRoutine, dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
    }
    if (CurrentIrql() != DISPATCH_LEVEL) {
        Verifier::Violation(Rule::IrqlNotRestored, "DPC routine " + RoutineName((const void*)dpc->DeferredRoutine) +
                                                       " returned at IRQL " + std::to_string(CurrentIrql()));
        SetIrql(DISPATCH_LEVEL);
    }
    if (self->heldLocks.size() != locks) {
        Verifier::Violation(Rule::SpinLockHeldOnReturn,
                            "DPC routine " + RoutineName((const void*)dpc->DeferredRoutine) + " returned holding a spin lock");
    }
}

Ticks ExpiryOnTick(Ticks due) {
    const Ticks increment = St().timeIncrement;
    if (due <= 0) return 0;
    return (due + increment - 1) / increment * increment;
}

AtomicSection::AtomicSection() : context_(g_current ? St().current : nullptr) {
    if (context_) ++context_->atomicDepth;
}
AtomicSection::~AtomicSection() {
    if (context_) --context_->atomicDepth;
}

// --- the public face ------------------------------------------------------------------

Simulation::Simulation() : state_(std::make_unique<State>()) {
    if (g_current) {
        std::fprintf(stderr, "sim: only one Simulation may exist at a time\n");
        std::abort();
    }
    g_current = this;
    Verifier::Reset();
    ResetRegistry();
    AdvanceClock(0);
    auto main = std::make_unique<Context>();
    main->id = 0;
    main->name = "main";
    main->started = true;
    main->fiber.reset(Fiber::ForCurrentThread());
    state_->current = main.get();
    state_->threads.push_back(std::move(main));
    ResizeProcessors(1);
    Place(state_->current, 0);

    // A schedule chosen from the environment: the `schedules` test runs and the
    // replay of one of their failures.
    Policy policy = Policy::Eager;
    uint64_t seed = 0;
    const char* policyName = std::getenv("VODREK_POLICY");
    const char* seedText = std::getenv("VODREK_SEED");
    if (seedText) {
        seed = std::strtoull(seedText, nullptr, 0);
        policy = Policy::SeededRandom;
    } else if (std::getenv("VODREK_SCHEDULES")) {
        // A campaign split over several processes gives each its own range of seeds.
        if (g_scheduleCounter == 0) {
            if (const char* first = std::getenv("VODREK_SCHEDULE_FIRST"))
                g_scheduleCounter = std::max<uint64_t>(std::strtoull(first, nullptr, 0), 1) - 1;
        }
        seed = ++g_scheduleCounter;
    }
    if (policyName) {
        std::string name = policyName;
        if (name == "pct") policy = Policy::Pct;
        else if (name == "random") policy = Policy::SeededRandom;
        else if (name == "held") policy = Policy::Held;
        else if (name == "eager") policy = Policy::Eager;
    }
    if (const char* depth = std::getenv("VODREK_PCT_DEPTH")) state_->pctDepth = std::max(1, std::atoi(depth));
    if (const char* steps = std::getenv("VODREK_PCT_STEPS")) {
        state_->pctBudget = std::strtoull(steps, nullptr, 0);
        state_->pctBudgetSet = true;
    }
    if (const char* processors = std::getenv("VODREK_PROCESSORS")) {
        state_->processorCount = std::atoi(processors);
        state_->processorsSet = true;
    }
    if (policy != Policy::Eager || seed != 0) SetPolicy(policy, seed);
}

Simulation::~Simulation() {
    auto& st = *state_;
    // A thread that can still run (one preempted on its way out, say) and a DPC
    // context preempted in the middle of its work are let finish.
    const bool unfinished =
        std::any_of(st.threads.begin(), st.threads.end(),
                    [](const std::unique_ptr<Context>& t) { return t->id != 0 && t->started && Enabled(t.get()); }) ||
        std::any_of(st.processors.begin(), st.processors.end(), [](const Processor& p) { return p.inDpc; });
    if (unfinished) RunUntilIdle();
    // The figures to stderr, or appended to a file (which leaves the output of
    // a tool whose output is being read alone: the suite's simulation speed).
    const char* statsFile = std::getenv("VODREK_SCHEDULE_STATS_FILE");
    if (std::getenv("VODREK_SCHEDULE_STATS") || statsFile) {
        FILE* out = statsFile ? std::fopen(statsFile, "a") : stderr;
        if (out) {
            std::fprintf(out, "sim: %s: %llu preemption points, %llu scheduling steps, %llu context switches, %.3f s of virtual time\n",
                         ScheduleDescription().c_str(), static_cast<unsigned long long>(st.points),
                         static_cast<unsigned long long>(st.pctSteps), static_cast<unsigned long long>(st.switches),
                         static_cast<double>(st.now) / kSecond);
            if (out != stderr) std::fclose(out);
        }
    }
    CheckIoAtTeardown();
    CheckNoPoolLeft("when the simulation ended");
    if (OpenRegistryHandles() != 0) {
        Verifier::Violation(Rule::BadParameter, std::to_string(OpenRegistryHandles()) + " registry handle(s) never closed");
    }
    for (auto& t : st.threads) {
        if (t->id != 0 && t->started && !t->finished) {
            Verifier::Violation(Rule::Deadlock,
                                "thread '" + t->name + "' never finished before the simulation ended" + DescribeContexts());
        }
    }
    if (st.current != st.threads[0].get()) {
        std::fprintf(stderr, "sim: the simulation ended on a thread other than the one that made it\n");
        std::abort();
    }
    for (auto& t : st.threads) {
        if (t->id != 0 && t->started && !t->finished && t->fiber) Graveyard().push_back(std::move(t->fiber));
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
    return state_->events.empty() ? -1 : state_->events.begin()->second->due;
}

uint64_t Simulation::Schedule(Ticks delay, EventName name, std::function<void()> fn, bool isCompletion,
                              uint64_t orderKey) {
    auto& st = *state_;
    auto ev = std::allocate_shared<TimedEvent>(Recycling<TimedEvent>());
    ev->due = st.now + std::max<Ticks>(delay, 0);
    ev->id = st.nextId++;
    ev->name = std::move(name);
    ev->fn = std::move(fn);
    ev->completion = isCompletion;
    ev->orderKey = orderKey;
    uint64_t id = ev->id;
    st.events.emplace(std::make_pair(ev->due, id), std::move(ev));
    return id;
}

bool Simulation::CancelScheduled(uint64_t id) {
    auto& st = *state_;
    for (auto it = st.events.begin(); it != st.events.end(); ++it) {
        if (it->second->id == id) {
            st.events.erase(it);
            return true;
        }
    }
    for (auto it = st.heldCompletions.begin(); it != st.heldCompletions.end(); ++it) {
        if ((*it)->id == id) {
            st.heldCompletions.erase(it);
            return true;
        }
    }
    // Delivered to a processor but not yet run: the interrupt has not been taken.
    for (Processor& p : st.processors) {
        for (auto* q : {&p.queue, &p.released}) {
            for (auto it = q->begin(); it != q->end(); ++it) {
                if (it->event && it->event->id == id) {
                    if (it->event->orderKey) {
                        auto key = st.orderKeys.find(it->event->orderKey);
                        if (key != st.orderKeys.end() && --key->second.second == 0) st.orderKeys.erase(key);
                    }
                    q->erase(it);
                    return true;
                }
            }
        }
    }
    return false;
}

void Simulation::SetPolicy(Policy policy, uint64_t seed) {
    auto& st = *state_;
    // Runs differ in length by orders of magnitude and PCT's change points are
    // drawn from the steps a run takes: unless told, the seed picks the scale,
    // from 500 to 16,000 steps.
    if (!st.pctBudgetSet) st.pctBudget = 500ull << (seed % 6);
    int count = st.processorsSet ? st.processorCount : DefaultProcessors(policy);
    if (policy == Policy::Eager || policy == Policy::Held) count = 1;
    // Processors about to go finish what they are in the middle of first.
    for (int round = 0; round < 100000; ++round) {
        bool busy = false;
        for (size_t i = static_cast<size_t>(std::max(count, 1)); i < st.processors.size(); ++i) {
            Processor& p = st.processors[i];
            busy = busy || p.inDpc || !p.queue.empty() ||
                   (p.thread && OnItsProcessor(p.thread) && p.thread->irql >= DISPATCH_LEVEL);
        }
        if (!busy) break;
        Yield();
    }
    st.policy = policy;
    st.seed = seed;
    st.rng.seed(seed);
    for (auto& t : st.threads) t->priority = FreshPriority();
    for (auto& c : st.dpcContexts) c->priority = FreshPriority();
    DrawChangePoints();
    ResizeProcessors(count);
}
Policy Simulation::GetPolicy() const { return state_->policy; }
uint64_t Simulation::Seed() const { return state_->seed; }

void Simulation::SetProcessors(int count) {
    state_->processorCount = count;
    state_->processorsSet = true;
    if (state_->policy == Policy::Pct || state_->policy == Policy::SeededRandom) ResizeProcessors(count);
}
int Simulation::ProcessorCount() const { return static_cast<int>(state_->processors.size()); }
int Simulation::CurrentProcessor() const { return state_->current->processor; }

void Simulation::SetPctDepth(int depth, uint64_t steps) {
    state_->pctDepth = std::max(1, depth);
    if (steps) {
        state_->pctBudget = steps;
        state_->pctBudgetSet = true;
    }
    DrawChangePoints();
}
int Simulation::PctDepth() const { return state_->pctDepth; }

void Simulation::SetTimeIncrement(Ticks increment) { state_->timeIncrement = std::max<Ticks>(increment, 1); }
Ticks Simulation::TimeIncrement() const { return state_->timeIncrement; }
Ticks Simulation::TickAtOrAfter(Ticks time) const { return ExpiryOnTick(time); }

bool Simulation::CompleteInline() {
    auto& st = *state_;
    switch (st.inlineCompletions) {
        case InlineCompletions::Always: return true;
        case InlineCompletions::Never: return false;
        case InlineCompletions::ByPolicy: break;
    }
    if (!Concurrent()) return false;
    return st.rng() % 4 == 0;
}
void Simulation::SetInlineCompletions(InlineCompletions mode) { state_->inlineCompletions = mode; }

uint64_t Simulation::ContextSwitches() const { return state_->switches; }
uint64_t Simulation::PreemptionPoints() const { return state_->points; }

std::string Simulation::ScheduleDescription() const {
    auto& st = *state_;
    std::ostringstream os;
    os << "policy " << PolicyName(st.policy) << ", seed " << st.seed << ", " << st.processors.size()
       << (st.processors.size() == 1 ? " processor" : " processors");
    if (st.policy == Policy::Pct) os << ", depth " << st.pctDepth << ", " << st.pctBudget << " steps";
    return os.str();
}

std::string Simulation::ReplayCommand() const {
    auto& st = *state_;
    std::ostringstream os;
    os << "VODREK_POLICY=" << PolicyName(st.policy) << " VODREK_SEED=" << st.seed
       << " VODREK_PROCESSORS=" << st.processors.size();
    if (st.policy == Policy::Pct) os << " VODREK_PCT_DEPTH=" << st.pctDepth << " VODREK_PCT_STEPS=" << st.pctBudget;
    os << " " << (g_replayTarget.empty() ? "<the test program>" : g_replayTarget);
    return os.str();
}

void Simulation::SetReplayTarget(std::string target) { g_replayTarget = std::move(target); }

std::vector<HeldItem> Simulation::Held() const {
    std::vector<HeldItem> items;
    if (state_->policy != Policy::Held) return items;
    for (Processor& p : state_->processors) {
        for (const WorkItem& w : p.queue) {
            if (!w.dpc) continue;
            items.push_back({HeldItem::Kind::Dpc, RoutineName((const void*)w.dpc->DeferredRoutine),
                             reinterpret_cast<uint64_t>(w.dpc)});
        }
    }
    for (auto& ev : state_->heldCompletions) items.push_back({HeldItem::Kind::Completion, ev->name.Text(), ev->id});
    return items;
}

bool Simulation::Release(uint64_t id) {
    auto& st = *state_;
    Processor& here = Proc(st.current->processor >= 0 ? st.current->processor : 0);
    bool found = false;
    for (Processor& p : st.processors) {
        for (auto it = p.queue.begin(); it != p.queue.end() && !found; ++it) {
            if (it->dpc && reinterpret_cast<uint64_t>(it->dpc) == id) {
                here.released.push_back(std::move(*it));
                p.queue.erase(it);
                found = true;
                break;
            }
        }
    }
    for (auto it = st.heldCompletions.begin(); it != st.heldCompletions.end() && !found; ++it) {
        if ((*it)->id == id) {
            WorkItem item;
            item.event = std::move(*it);
            here.released.push_back(std::move(item));
            st.heldCompletions.erase(it);
            found = true;
            break;
        }
    }
    if (!found) return false;
    // Run at once, on this processor's DPC context.
    DeliverPendingDpcs();
    return true;
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
    Context* t = NewContext(Context::Kind::Thread, std::move(name));
    t->body = std::move(body);
    return t->id;
}

bool Simulation::ThreadFinished(int id) const { return state_->threads.at(static_cast<size_t>(id))->finished; }
int Simulation::CurrentThreadId() const { return state_->current->id; }
PKEVENT Simulation::ThreadObject(int id) const { return &state_->threads.at(static_cast<size_t>(id))->ended; }

void Simulation::Yield() {
    Context* self = state_->current;
    self->yielding = Yielding::Yield;
    Dispatch(self, Why::Yield);
    self->yielding = Yielding::No;
}

void Simulation::RunUntilIdle() {
    Context* self = state_->current;
    // Chosen again only once nothing but yielding threads can run.
    self->yielding = Yielding::Idle;
    Dispatch(self, Why::Idle);
    self->yielding = Yielding::No;
}

void Simulation::RunFor(Ticks span) {
    DelayExactly(span);
    // What fell due by the end of the span settles before the caller looks: on
    // several processors it could otherwise still be under way.
    RunUntilIdle();
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
    // The thread's own end is waited for, not a signal from its body: the body
    // may be preempted between the two. The caller may itself be a system thread.
    int id = Simulation::Current().CreateThread(what, [&] {
        AtomicSection managerCode;
        work();
    });
    LARGE_INTEGER timeout;
    timeout.QuadPart = -limit;
    PKEVENT ended = &St().threads[static_cast<size_t>(id)]->ended;
    if (KeWaitForSingleObject(ended, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        Verifier::Violation(Rule::Deadlock, what + " did not finish within " + std::to_string(limit / kSecond) +
                                                " s of virtual time");
        std::abort();
    }
}

// ---------------------------------------------------------------------------
// Waiting

void SatisfyWaiters(DISPATCHER_HEADER* object) {
    auto& st = St();
    auto range = st.waiters.equal_range(object);
    bool synchronization = object->Type == kEventSynchronizationType || object->Type == kTimerSynchronizationType;
    std::vector<Context*> watchers;
    for (auto it = range.first; it != range.second && object->SignalState > 0;) {
        Context* t = it->second;
        it = st.waiters.erase(it);
        t->satisfied = true;
        t->waitStatus = STATUS_SUCCESS;
        if (t->watching) {
            watchers.push_back(t);
            continue;
        }
        if (synchronization) object->SignalState = 0;
    }
    // A thread watching several objects is woken once: it leaves the others.
    for (Context* t : watchers) {
        for (auto it = st.waiters.begin(); it != st.waiters.end();) {
            if (it->second == t)
                it = st.waiters.erase(it);
            else
                ++it;
        }
    }
}

}  // namespace sim
