// What the simulated processors cost: a switch between two simulated threads
// (a scheduling decision plus a stack switch), a preemption point under each
// policy, and, for scale, the OS-thread hand-over the simulator used to switch
// with, measured in the same run.
#include <benchmark/benchmark.h>

#include <sim/simulation.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// Two simulated threads hand the processor to each other: one iteration is two
// context switches.
void SimulatedThreadSwitch(benchmark::State& state) {
    sim::Simulation sim;
    bool stop = false;
    sim.CreateThread("partner", [&] {
        while (!stop) sim.Yield();
    });
    sim.Yield();  // starts the partner
    for (auto _ : state) sim.Yield();
    stop = true;
    sim.Yield();  // the partner sees it and ends
    state.counters["switches"] = benchmark::Counter(static_cast<double>(sim.ContextSwitches()));
    state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(SimulatedThreadSwitch);

// The same hand-over between two OS threads through a mutex and a condition
// variable, as a baton.
void OsThreadBaton(benchmark::State& state) {
    std::mutex m;
    std::condition_variable cv;
    int turn = 0;
    bool stop = false;
    std::thread partner([&] {
        std::unique_lock<std::mutex> lock(m);
        for (;;) {
            cv.wait(lock, [&] { return turn == 1 || stop; });
            if (stop) return;
            turn = 0;
            cv.notify_all();
        }
    });
    for (auto _ : state) {
        std::unique_lock<std::mutex> lock(m);
        turn = 1;
        cv.notify_all();
        cv.wait(lock, [&] { return turn == 0; });
    }
    {
        std::lock_guard<std::mutex> lock(m);
        stop = true;
    }
    cv.notify_all();
    partner.join();
    state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(OsThreadBaton)->UseRealTime();

// One interlocked operation: a preemption point where the policy decides.
void InterlockedUnder(benchmark::State& state, sim::Policy policy) {
    sim::Simulation sim;
    sim.SetPolicy(policy, 1);
    volatile LONG counter = 0;
    for (auto _ : state) InterlockedIncrement(&counter);
    state.counters["switches"] = benchmark::Counter(static_cast<double>(sim.ContextSwitches()));
}
BENCHMARK_CAPTURE(InterlockedUnder, Eager, sim::Policy::Eager);
BENCHMARK_CAPTURE(InterlockedUnder, Pct, sim::Policy::Pct);

}  // namespace
