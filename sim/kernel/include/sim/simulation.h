// The simulated machine: processors with IRQL and DPC queues, virtual time,
// threads, timers and timed events, and the scheduling policy that interleaves
// them. One Simulation exists at a time; the kernel routines of <simnt/wdm.h>
// act on it.
//
// The policy can also be chosen from the environment, which is how the
// `schedules` test runs and the replay of a failure pick theirs:
//   VODREK_POLICY=eager|held|random|pct   VODREK_SEED=N   VODREK_PROCESSORS=N
//   VODREK_PCT_DEPTH=D   VODREK_PCT_STEPS=K
//   VODREK_SCHEDULES=N (set by the schedules runs: each new simulation takes the
//   next seed, from VODREK_SCHEDULE_FIRST or 1)
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <simnt/wdm.h>

namespace sim {

// 100-ns units, as the kernel counts time.
using Ticks = int64_t;
constexpr Ticks kMicrosecond = 10;
constexpr Ticks kMillisecond = 10'000;
constexpr Ticks kSecond = 10'000'000;

enum class Policy {
    // One processor: DPCs run as soon as the IRQL drops below DISPATCH_LEVEL, in
    // queue order; a context runs until it waits; timed events fire in time order.
    Eager,
    // One processor; DPCs and completions wait until the test releases them, one
    // by one, in the order it chooses.
    Held,
    // Two processors by default; at every preemption point the running context
    // may be switched for any other that can run, drawn from a seeded generator.
    // With one processor: Eager with queued DPCs, events due at the same instant
    // and ready threads taken in a drawn order.
    SeededRandom,
    // Probabilistic concurrency testing, two processors by default: contexts get
    // random priorities, the highest that can run runs, and at d-1 randomly drawn
    // steps the running context drops below all others.
    Pct,
};

// A timed event's name, read only by reports and by a test picking a held
// completion: a fixed text, a text of its own, or one made when first read
// (most events are never named, and an event fires about every 10 us of a
// fast stream).
class EventName {
  public:
    EventName() = default;
    EventName(const char* text) : fixed_(text) {}
    EventName(std::string text) : text_(std::move(text)) {}
    template <class Make, class = std::enable_if_t<std::is_invocable_r_v<std::string, Make>>>
    EventName(Make make) : make_(std::move(make)) {}
    std::string Text() const { return fixed_ ? fixed_ : make_ ? make_() : text_; }

  private:
    const char* fixed_ = nullptr;
    std::string text_;
    std::function<std::string()> make_;
};

// Something the Held policy keeps back: a queued DPC or a completion due.
struct HeldItem {
    enum class Kind { Dpc, Completion } kind;
    std::string name;
    uint64_t id;
};

class Simulation {
public:
    Simulation();
    ~Simulation();
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

    static Simulation& Current();
    static bool Exists();

    // --- time ---------------------------------------------------------------
    Ticks Now() const;
    // Runs the machine forward: DPCs, ready threads and timed events, until `span`
    // of virtual time has passed. The calling thread counts as waiting.
    void RunFor(Ticks span);
    // Runs what is due now (DPCs, ready threads, events at the current instant)
    // without letting time pass.
    void RunUntilIdle();
    // Runs until `done` answers true or `limit` passes; answers `done()`.
    bool RunUntil(const std::function<bool()>& done, Ticks limit);
    // Time of the next timed event, or -1.
    Ticks NextEventTime() const;

    // A callback at DISPATCH_LEVEL after `delay`, run as an interrupt on some
    // processor. Completions are what the Held policy keeps back; plain events
    // always fire when due. Events of one non-zero `orderKey` (the completions of
    // one pipe) run on one processor, in order.
    uint64_t Schedule(Ticks delay, EventName name, std::function<void()> fn,
                      bool isCompletion = false, uint64_t orderKey = 0);
    bool CancelScheduled(uint64_t id);

    // The clock: timers and timed waits expire on its ticks, every
    // KeQueryTimeIncrement (15.625 ms; 1 ms after an application's timer
    // resolution request).
    void SetTimeIncrement(Ticks increment);
    Ticks TimeIncrement() const;
    // The first clock tick at or after `time`: when a timer due then expires.
    Ticks TickAtOrAfter(Ticks time) const;

    // --- scheduling policy ---------------------------------------------------
    // Eager and Held always run one processor; the others the count set with
    // SetProcessors, or two.
    void SetPolicy(Policy policy, uint64_t seed = 0);
    Policy GetPolicy() const;
    uint64_t Seed() const;
    void SetProcessors(int count);
    int ProcessorCount() const;
    int CurrentProcessor() const;
    // PCT's depth d (d-1 priority change points) and the number of steps the
    // change points are drawn from (0 keeps it).
    void SetPctDepth(int depth, uint64_t steps = 0);
    int PctDepth() const;
    // Whether the bus should complete the request it is handed before
    // IoCallDriver returns, as real host controllers sometimes do: by default
    // never under Eager and Held and now and then under the concurrency
    // policies; a test of the bus's frame timing says Never, one of a driver's
    // paths under it Always.
    enum class InlineCompletions { ByPolicy, Never, Always };
    bool CompleteInline();
    void SetInlineCompletions(InlineCompletions mode);
    // "policy pct, seed 7, 2 processors, depth 3, ..." and the exact command that
    // replays this run (the test program registers its part).
    std::string ScheduleDescription() const;
    std::string ReplayCommand() const;
    static void SetReplayTarget(std::string target);
    // How often the scheduler switched contexts, and passed a preemption point.
    uint64_t ContextSwitches() const;
    uint64_t PreemptionPoints() const;
    std::vector<HeldItem> Held() const;
    // Runs one held item now (at DISPATCH_LEVEL); answers false if it is gone.
    bool Release(uint64_t id);
    // Releases the first held item whose name contains `fragment`.
    bool ReleaseNamed(const std::string& fragment);
    void ReleaseAll();

    // --- threads ---------------------------------------------------------------
    // A new system thread, runnable from now on (under Eager it runs when the
    // current thread waits or yields). Answers its id.
    int CreateThread(std::string name, std::function<void()> body);
    bool ThreadFinished(int id) const;
    // The thread as a dispatcher object: signalled once it has ended (its
    // requests cancelled and waited for), as a thread handle is on Windows.
    PKEVENT ThreadObject(int id) const;
    int CurrentThreadId() const;
    void Yield();

    // --- machine facts --------------------------------------------------------
    void SetSystemSize(MM_SYSTEMSIZE size);
    MM_SYSTEMSIZE SystemSize() const;
    // Everything the kernel's debug print has written.
    const std::vector<std::string>& DebugLog() const;
    void ClearDebugLog();

    // Implementation, shared by the kernel's source files.
    struct State;
    State& state() { return *state_; }

private:
    std::unique_ptr<State> state_;
};

// The deepest stack each driver entry point (dispatch, completion, cancel and
// DPC routines, callbacks) used in this process, deepest first, in bytes: the
// distance from the stack pointer at its entry to the lowest one seen at a DDI
// call beneath it.
std::vector<std::pair<std::string, size_t>> DeepestStackUse();

}  // namespace sim
