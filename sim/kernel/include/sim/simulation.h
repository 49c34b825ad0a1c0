// The simulated machine: one processor with IRQL, virtual time, cooperative
// threads, the DPC queue, timers and timed events, and the scheduling policy that
// orders them. One Simulation exists at a time; the kernel routines of
// <simnt/wdm.h> act on it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
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
    // queue order; timed events fire in time order.
    Eager,
    // DPCs and completions wait until the test releases them, one by one, in the
    // order it chooses.
    Held,
    // As Eager, but queued DPCs, events due at the same instant and ready threads
    // run in an order drawn from a seeded generator.
    SeededRandom,
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

    // A callback at DISPATCH_LEVEL after `delay`. Completions are what the Held
    // policy keeps back; plain events always fire when due.
    uint64_t Schedule(Ticks delay, std::string name, std::function<void()> fn,
                      bool isCompletion = false);
    bool CancelScheduled(uint64_t id);

    // --- scheduling policy ---------------------------------------------------
    void SetPolicy(Policy policy, uint64_t seed = 0);
    Policy GetPolicy() const;
    uint64_t Seed() const;
    std::vector<HeldItem> Held() const;
    // Runs one held item now (at DISPATCH_LEVEL); answers false if it is gone.
    bool Release(uint64_t id);
    // Releases the first held item whose name contains `fragment`.
    bool ReleaseNamed(const std::string& fragment);
    void ReleaseAll();

    // --- threads ---------------------------------------------------------------
    // A new system thread, runnable from now on; it runs when the current thread
    // waits or yields. Answers its id.
    int CreateThread(std::string name, std::function<void()> body);
    bool ThreadFinished(int id) const;
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

}  // namespace sim
