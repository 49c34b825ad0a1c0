// The simulated processors: per-processor DPC queues, preemption points where
// two processors interleave, spin locks that spin, the lock-order graph, and the
// schedules that find races Eager never shows.
#include "tests/support/sim_fixture.h"

#include <set>
#include <string>
#include <vector>

namespace {

using sim::ExpectViolation;
using sim::kSecond;
using sim::Rule;

struct WhereItRan {
    KDPC dpc;
    std::vector<ULONG> processors;
};

VOID NTAPI RecordProcessor(PKDPC, PVOID context, PVOID, PVOID) {
    static_cast<WhereItRan*>(context)->processors.push_back(KeGetCurrentProcessorNumber());
}

TEST(Processors, ADpcRunsOnTheProcessorThatQueuedItOrTheOneItTargets) {
    sim::Simulation sim;
    sim.SetPolicy(sim::Policy::Pct, 11);
    ASSERT_EQ(sim.ProcessorCount(), 2);
    WhereItRan mine, targeted;
    KeInitializeDpc(&mine.dpc, RecordProcessor, &mine);
    KeInitializeDpc(&targeted.dpc, RecordProcessor, &targeted);
    KeSetTargetProcessorDpc(&targeted.dpc, 1);
    for (int i = 0; i < 20; ++i) {
        const ULONG here = KeGetCurrentProcessorNumber();
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        // At DISPATCH_LEVEL this processor stays ours until the IRQL drops.
        KeInsertQueueDpc(&mine.dpc, nullptr, nullptr);
        KeInsertQueueDpc(&targeted.dpc, nullptr, nullptr);
        ASSERT_EQ(KeGetCurrentProcessorNumber(), here);
        KeLowerIrql(irql);
        sim.RunUntilIdle();
        ASSERT_EQ(mine.processors.size(), static_cast<size_t>(i + 1));
        EXPECT_EQ(mine.processors.back(), here);
    }
    EXPECT_EQ(targeted.processors, std::vector<ULONG>(20, 1u));
}

// Two threads add to one counter without a lock, with a DDI call between the
// read and the write: on two processors some updates are lost, on Eager's one
// none ever is.
struct LostUpdates {
    LONG counter = 0;
    void Add() {
        for (int i = 0; i < 20; ++i) {
            LONG seen = counter;
            LARGE_INTEGER now;
            KeQuerySystemTime(&now);
            KeGetCurrentIrql();
            counter = seen + 1;
        }
    }
};

LONG CountWith(sim::Policy policy, uint64_t seed) {
    sim::Simulation sim;
    sim.SetPolicy(policy, seed);
    LostUpdates shared;
    int a = sim.CreateThread("adder a", [&] { shared.Add(); });
    int b = sim.CreateThread("adder b", [&] { shared.Add(); });
    sim.RunUntil([&] { return sim.ThreadFinished(a) && sim.ThreadFinished(b); }, kSecond);
    return shared.counter;
}

TEST(Processors, TwoProcessorsInterleaveAtEveryDdiCall) {
    EXPECT_EQ(CountWith(sim::Policy::Eager, 0), 40);
    int lost = 0;
    for (uint64_t seed = 1; seed <= 20; ++seed) lost += CountWith(sim::Policy::Pct, seed) < 40;
    EXPECT_GT(lost, 0) << "PCT never interleaved the two threads";
    lost = 0;
    for (uint64_t seed = 1; seed <= 20; ++seed) lost += CountWith(sim::Policy::SeededRandom, seed) < 40;
    EXPECT_GT(lost, 0) << "the seeded policy never interleaved the two threads";
    // Every schedule is reproducible from its seed.
    for (uint64_t seed = 1; seed <= 5; ++seed) EXPECT_EQ(CountWith(sim::Policy::Pct, seed), CountWith(sim::Policy::Pct, seed));
}

// An interlocked compare-exchange can lose its race now, and a loop around it
// still counts right.
TEST(Processors, ACompareExchangeCanFailAndTheLoopStillCountsRight) {
    int failures = 0;
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        sim::Simulation sim;
        sim.SetPolicy(sim::Policy::SeededRandom, seed);
        volatile LONG value = 0;
        auto add = [&] {
            for (int i = 0; i < 50; ++i) {
                for (;;) {
                    LONG seen = value;
                    if (InterlockedCompareExchange(&value, seen + 1, seen) == seen) break;
                    ++failures;
                }
            }
        };
        int a = sim.CreateThread("a", add);
        int b = sim.CreateThread("b", add);
        sim.RunUntil([&] { return sim.ThreadFinished(a) && sim.ThreadFinished(b); }, kSecond);
        EXPECT_EQ(value, 100);
    }
    EXPECT_GT(failures, 0);
}

struct Contended {
    KSPIN_LOCK lock = 0;
    int inside = 0;
    int most = 0;
    int entries = 0;
};

void Critical(Contended& c) {
    KIRQL irql;
    KeAcquireSpinLock(&c.lock, &irql);
    c.most = std::max(c.most, ++c.inside);
    ++c.entries;
    // Points inside the critical section: the other processor may try the lock.
    KeStallExecutionProcessor(1);
    KeQueryTimeIncrement();
    --c.inside;
    KeReleaseSpinLock(&c.lock, irql);
}

VOID NTAPI CriticalDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* c = static_cast<Contended*>(context);
    KeAcquireSpinLockAtDpcLevel(&c->lock);
    c->most = std::max(c->most, ++c->inside);
    ++c->entries;
    --c->inside;
    KeReleaseSpinLockFromDpcLevel(&c->lock);
}

TEST(Processors, ASpinLockHeldOnAnotherProcessorMakesTheAcquirerSpinNotFail) {
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        sim::Simulation sim;
        sim.SetPolicy(sim::Policy::SeededRandom, seed);
        Contended c;
        KeInitializeSpinLock(&c.lock);
        KDPC dpc;
        KeInitializeDpc(&dpc, CriticalDpc, &c);
        KeSetTargetProcessorDpc(&dpc, 1);
        int t = sim.CreateThread("locker", [&] {
            for (int i = 0; i < 10; ++i) {
                Critical(c);
                KeInsertQueueDpc(&dpc, nullptr, nullptr);
            }
        });
        sim.RunUntil([&] { return sim.ThreadFinished(t); }, kSecond);
        sim.RunUntilIdle();
        EXPECT_EQ(c.most, 1) << "two processors inside one spin lock";
        EXPECT_GE(c.entries, 11);
    }
}

struct Ring {
    KSPIN_LOCK first = 0, second = 0;
    volatile LONG holding = 0;
};

void TakeBoth(Ring& r, PKSPIN_LOCK mine, PKSPIN_LOCK theirs) {
    KIRQL irql;
    KeAcquireSpinLock(mine, &irql);
    InterlockedIncrement(&r.holding);
    // Hold on until the other processor holds its own lock too.
    while (InterlockedCompareExchange(&r.holding, 2, 2) != 2) KeStallExecutionProcessor(1);
    KeAcquireSpinLockAtDpcLevel(theirs);
}

TEST(ProcessorsDeathTest, TwoProcessorsSpinningOnEachOthersLockIsADeadlock) {
    EXPECT_DEATH(
        {
            sim::Simulation sim;
            sim.SetPolicy(sim::Policy::SeededRandom, 3);
            Ring r;
            sim.CreateThread("one", [&] { TakeBoth(r, &r.first, &r.second); });
            sim.CreateThread("two", [&] { TakeBoth(r, &r.second, &r.first); });
            sim.RunFor(kSecond);
        },
        "DEADLOCK.*ring of processors");
}

// Taking B inside A in one place and A inside B in another is a deadlock
// waiting to happen, reported even though this run never deadlocked.
__attribute__((noinline)) void FirstThenSecond(PKSPIN_LOCK a, PKSPIN_LOCK b) {
    KIRQL irql;
    KeAcquireSpinLock(a, &irql);
    KeAcquireSpinLockAtDpcLevel(b);
    KeReleaseSpinLockFromDpcLevel(b);
    KeReleaseSpinLock(a, irql);
}

__attribute__((noinline)) void SecondThenFirst(PKSPIN_LOCK a, PKSPIN_LOCK b) {
    KIRQL irql;
    KeAcquireSpinLock(b, &irql);
    KeAcquireSpinLockAtDpcLevel(a);
    KeReleaseSpinLockFromDpcLevel(a);
    KeReleaseSpinLock(b, irql);
}

TEST(Processors, AnInvertedLockOrderIsReportedWithBothSitesBeforeItDeadlocks) {
    sim::Simulation sim;
    KSPIN_LOCK a, b, c;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KeInitializeSpinLock(&c);
    sim::DeclareLockOrder({{&a, "DeviceStateLock"}});
    ExpectViolation v(Rule::LockOrder);
    FirstThenSecond(&a, &b);
    FirstThenSecond(&b, &c);
    EXPECT_EQ(v.Count(), 0);
    // c inside a closes the ring a -> b -> c -> a only when taken the other way.
    FirstThenSecond(&a, &c);
    EXPECT_EQ(v.Count(), 0);
    SecondThenFirst(&a, &b);
    ASSERT_EQ(v.Count(), 1);
    EXPECT_NE(v.LastMessage().find("SecondThenFirst"), std::string::npos) << v.LastMessage();
    EXPECT_NE(v.LastMessage().find("FirstThenSecond"), std::string::npos) << v.LastMessage();
    EXPECT_NE(v.LastMessage().find("DeviceStateLock"), std::string::npos) << v.LastMessage();
    // Reported once per pair.
    SecondThenFirst(&a, &b);
    EXPECT_EQ(v.Count(), 1);
}

TEST(Processors, AFailingRunNamesTheCommandThatReplaysIt) {
    sim::Simulation sim;
    sim.SetPolicy(sim::Policy::Pct, 42);
    sim.SetPctDepth(4, 3000);
    sim::Simulation::SetReplayTarget("tests/some_tests --gtest_filter=Suite.Case");
    EXPECT_EQ(sim.ReplayCommand(),
              "VODREK_POLICY=pct VODREK_SEED=42 VODREK_PROCESSORS=2 VODREK_PCT_DEPTH=4 VODREK_PCT_STEPS=3000 "
              "tests/some_tests --gtest_filter=Suite.Case");
    sim::Simulation::SetReplayTarget("");
}

}  // namespace

namespace {

// A zero-length RunFor is a point where time does not move: it returns at once
// under every policy, with other work pending or not.
TEST(Processors, RunningForNoTimeReturnsUnderEveryPolicy) {
    for (sim::Policy policy : {sim::Policy::Eager, sim::Policy::SeededRandom, sim::Policy::Pct}) {
        for (uint64_t seed = 1; seed <= 20; ++seed) {
            sim::Simulation sim;
            sim.SetPolicy(policy, seed);
            int ran = 0;
            sim.Schedule(sim::kMillisecond, "later", [&] { ++ran; });
            sim.CreateThread("worker", [&] {
                LARGE_INTEGER tick;
                tick.QuadPart = -1;
                KeDelayExecutionThread(KernelMode, FALSE, &tick);
                ++ran;
            });
            const sim::Ticks start = sim.Now();
            sim.RunFor(0);
            EXPECT_EQ(sim.Now(), start) << "seed " << seed;
            sim.RunFor(sim::kSecond);
            EXPECT_EQ(ran, 2);
        }
    }
}

}  // namespace
