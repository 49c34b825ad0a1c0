// The simulated processor: virtual time, timers, waits, DPCs, threads and the
// scheduling policies.
#include "tests/support/sim_fixture.h"

#include <set>
#include <string>
#include <vector>

namespace {

using simtest::SimTest;
using sim::kMillisecond;
using sim::kSecond;

LARGE_INTEGER Relative(sim::Ticks t) {
    LARGE_INTEGER li;
    li.QuadPart = -t;
    return li;
}

struct DpcLog {
    std::vector<std::string> entries;
    std::vector<KIRQL> irqls;
    std::vector<sim::Ticks> times;
};

VOID NTAPI LoggingDpc(PKDPC dpc, PVOID context, PVOID, PVOID) {
    auto* log = static_cast<DpcLog*>(context);
    log->entries.push_back("ran");
    log->irqls.push_back(KeGetCurrentIrql());
    log->times.push_back(sim::Simulation::Current().Now());
}

struct Named {
    std::vector<std::string>* order;
    std::string name;
    KDPC dpc;
};

VOID NTAPI NamedDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* n = static_cast<Named*>(context);
    n->order->push_back(n->name);
}

TEST_F(SimTest, DelayAdvancesVirtualTimeExactly) {
    LARGE_INTEGER before, after;
    KeQuerySystemTime(&before);
    LARGE_INTEGER interval = Relative(1500 * kMillisecond);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    KeQuerySystemTime(&after);
    EXPECT_EQ(sim_.Now(), 1500 * kMillisecond);
    EXPECT_EQ(after.QuadPart - before.QuadPart, 1500 * kMillisecond);
}

TEST_F(SimTest, TimerFiresItsDpcOnTheClockTickAfterItsDueTimeAtDispatchLevel) {
    DpcLog log;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, LoggingDpc, &log);
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u) << "15.625 ms, the default clock";
    EXPECT_FALSE(KeSetTimer(&timer, Relative(10 * kMillisecond), &dpc));
    // Setting it again moves the due time and reports that it was set.
    EXPECT_TRUE(KeSetTimer(&timer, Relative(20 * kMillisecond), &dpc));
    sim_.RunFor(31 * kMillisecond);
    EXPECT_TRUE(log.entries.empty()) << "due at 20 ms, but the clock ticks at 15.625 and 31.25 ms";
    sim_.RunFor(kMillisecond);
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.irqls[0], DISPATCH_LEVEL);
    EXPECT_EQ(log.times[0], 312500);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    // Fired: nothing left to cancel.
    EXPECT_FALSE(KeCancelTimer(&timer));
}

TEST_F(SimTest, TheShortestDueTimeIsTheNextTickAndTheClockCanRunAtOneMillisecond) {
    DpcLog log;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, LoggingDpc, &log);
    // A 100-ns poll re-armed from its own expiry runs once per tick, not ten
    // million times a second.
    sim_.RunFor(kMillisecond);
    for (int i = 0; i < 64; ++i) {
        KeSetTimer(&timer, Relative(1), &dpc);
        sim_.RunUntil([&] { return log.entries.size() == static_cast<size_t>(i + 1); }, kSecond);
    }
    EXPECT_EQ(log.times.front(), 156250);
    EXPECT_EQ(log.times.back(), 64 * 156250) << "one expiry per 15.625 ms tick";

    // An application's timer resolution request: the clock ticks every 1 ms.
    sim_.SetTimeIncrement(kMillisecond);
    EXPECT_EQ(KeQueryTimeIncrement(), 10000u);
    const sim::Ticks start = sim_.Now();
    KeSetTimer(&timer, Relative(1), &dpc);
    ASSERT_TRUE(sim_.RunUntil([&] { return log.entries.size() == 65; }, kSecond));
    EXPECT_EQ(log.times.back(), start + kMillisecond);
    // Timed waits end on ticks too.
    LARGE_INTEGER wait = Relative(2500 * sim::kMicrosecond);
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(sim_.Now(), start + 4 * kMillisecond);
}

TEST_F(SimTest, CancelledTimerNeverRunsItsDpc) {
    DpcLog log;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, LoggingDpc, &log);
    KeSetTimer(&timer, Relative(kSecond), &dpc);
    EXPECT_TRUE(KeCancelTimer(&timer));
    sim_.RunFor(2 * kSecond);
    EXPECT_TRUE(log.entries.empty());
}

TEST_F(SimTest, AbsoluteDueTimeIsSystemTime) {
    DpcLog log;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, LoggingDpc, &log);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER due;
    due.QuadPart = now.QuadPart + 300 * kMillisecond;
    KeSetTimer(&timer, due, &dpc);
    sim_.RunFor(kSecond);
    ASSERT_EQ(log.times.size(), 1u);
    EXPECT_EQ(log.times[0], sim_.TickAtOrAfter(300 * kMillisecond));
}

TEST_F(SimTest, WaitTimesOutOrIsSatisfiedInVirtualTime) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(3 * kSecond);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(sim_.Now(), 3 * kSecond);

    // A timer's DPC sets the event half way through the next wait.
    struct Ctx {
        PKEVENT event;
    } ctx{&event};
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID c, PVOID, PVOID) NTAPI { KeSetEvent(static_cast<Ctx*>(c)->event, 0, FALSE); },
        &ctx);
    KeSetTimer(&timer, Relative(kSecond), &dpc);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(sim_.Now(), 4 * kSecond);
    // A zero time-out only polls.
    LARGE_INTEGER zero = Relative(0);
    KeClearEvent(&event);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(sim_.Now(), 4 * kSecond);
}

TEST_F(SimTest, SynchronizationEventReleasesOneWaiterNotificationAll) {
    for (EVENT_TYPE type : {SynchronizationEvent, NotificationEvent}) {
        KEVENT event;
        KeInitializeEvent(&event, type, FALSE);
        int woken = 0;
        int a = sim_.CreateThread("waiter a", [&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            ++woken;
        });
        int b = sim_.CreateThread("waiter b", [&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            ++woken;
        });
        sim_.RunUntilIdle();
        EXPECT_EQ(woken, 0);
        KeSetEvent(&event, 0, FALSE);
        sim_.RunUntilIdle();
        if (type == SynchronizationEvent) {
            EXPECT_EQ(woken, 1);
            EXPECT_EQ(KeReadStateEvent(&event), 0) << "a synchronization event resets as it releases";
            KeSetEvent(&event, 0, FALSE);
            sim_.RunUntilIdle();
        } else {
            EXPECT_EQ(KeReadStateEvent(&event), 1);
        }
        EXPECT_EQ(woken, 2);
        EXPECT_TRUE(sim_.ThreadFinished(a));
        EXPECT_TRUE(sim_.ThreadFinished(b));
    }
}

TEST_F(SimTest, DpcRunsWhenIrqlDropsAndIsQueuedOnlyOnce) {
    DpcLog log;
    KDPC dpc;
    KeInitializeDpc(&dpc, LoggingDpc, &log);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr)) << "already queued";
    EXPECT_TRUE(log.entries.empty()) << "cannot run at DISPATCH_LEVEL";
    KeReleaseSpinLock(&lock, irql);
    EXPECT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.irqls[0], DISPATCH_LEVEL);

    KeAcquireSpinLock(&lock, &irql);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    KeReleaseSpinLock(&lock, irql);
    EXPECT_EQ(log.entries.size(), 1u);
}

TEST_F(SimTest, HeldPolicyRunsDpcsOnlyWhenReleasedInTheChosenOrder) {
    sim_.SetPolicy(sim::Policy::Held);
    std::vector<std::string> order;
    Named a{&order, "a", {}}, b{&order, "b", {}}, c{&order, "c", {}};
    for (Named* n : {&a, &b, &c}) {
        KeInitializeDpc(&n->dpc, NamedDpc, n);
        KeInsertQueueDpc(&n->dpc, nullptr, nullptr);
    }
    sim::NameRoutine(reinterpret_cast<const void*>(NamedDpc), "NamedDpc");
    sim_.RunFor(kSecond);
    EXPECT_TRUE(order.empty());
    auto held = sim_.Held();
    ASSERT_EQ(held.size(), 3u);
    EXPECT_EQ(held[0].name, "NamedDpc");
    EXPECT_TRUE(sim_.Release(reinterpret_cast<uint64_t>(&c.dpc)));
    EXPECT_TRUE(sim_.Release(reinterpret_cast<uint64_t>(&a.dpc)));
    EXPECT_FALSE(sim_.Release(reinterpret_cast<uint64_t>(&a.dpc))) << "already released";
    sim_.ReleaseAll();
    EXPECT_EQ(order, (std::vector<std::string>{"c", "a", "b"}));

    // Completions are held the same way; plain events are not.
    bool completed = false, plain = false;
    sim_.Schedule(kMillisecond, "urb completion", [&] { completed = true; }, true);
    sim_.Schedule(kMillisecond, "wire event", [&] { plain = true; });
    sim_.RunFor(10 * kMillisecond);
    EXPECT_TRUE(plain);
    EXPECT_FALSE(completed);
    EXPECT_TRUE(sim_.ReleaseNamed("urb"));
    EXPECT_TRUE(completed);
}

std::vector<std::string> DrainOrderWithSeed(uint64_t seed) {
    sim::Simulation sim;
    // One processor: its queue is drained in a drawn order, standing in for the
    // order DPCs queued on several processors would finish in.
    sim.SetProcessors(1);
    sim.SetPolicy(sim::Policy::SeededRandom, seed);
    std::vector<std::string> order;
    Named n[5] = {{&order, "a", {}}, {&order, "b", {}}, {&order, "c", {}}, {&order, "d", {}}, {&order, "e", {}}};
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    for (auto& d : n) {
        KeInitializeDpc(&d.dpc, NamedDpc, &d);
        KeInsertQueueDpc(&d.dpc, nullptr, nullptr);
    }
    KeReleaseSpinLock(&lock, irql);
    return order;
}

TEST(SchedulingPolicy, SeededRandomOrderIsReproducibleAndVaries) {
    EXPECT_EQ(DrainOrderWithSeed(7), DrainOrderWithSeed(7));
    std::set<std::vector<std::string>> orders;
    for (uint64_t seed = 1; seed <= 20; ++seed) orders.insert(DrainOrderWithSeed(seed));
    EXPECT_GT(orders.size(), 1u);
}

TEST_F(SimTest, ThreadsInterleaveOnlyAtWaitsAndShareAFastMutex) {
    // The run-until-wait order is Eager's; the other policies interleave.
    sim_.SetPolicy(sim::Policy::Eager);
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    std::vector<std::string> trace;
    int t = sim_.CreateThread("worker", [&] {
        ExAcquireFastMutex(&mutex);
        trace.push_back("worker in");
        EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
        ExReleaseFastMutex(&mutex);
    });
    ExAcquireFastMutex(&mutex);
    trace.push_back("main in");
    LARGE_INTEGER interval = Relative(kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);  // the worker runs and blocks
    trace.push_back("main out");
    ExReleaseFastMutex(&mutex);
    sim_.RunUntilIdle();
    EXPECT_TRUE(sim_.ThreadFinished(t));
    EXPECT_EQ(trace, (std::vector<std::string>{"main in", "main out", "worker in"}));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SimTest, RunUntilStopsWhenTheConditionHoldsOrTheLimitPasses) {
    bool flag = false;
    sim_.Schedule(250 * kMillisecond, "set flag", [&] { flag = true; });
    EXPECT_TRUE(sim_.RunUntil([&] { return flag; }, kSecond));
    EXPECT_EQ(sim_.Now(), 250 * kMillisecond);
    EXPECT_FALSE(sim_.RunUntil([] { return false; }, kSecond));
    EXPECT_EQ(sim_.Now(), 1250 * kMillisecond);
}

}  // namespace

namespace {

using YieldingTest = simtest::SimTest;

TEST_F(YieldingTest, ThreadsThatKeepYieldingDoNotStarveAWokenThread) {
    // Two threads poll with RunUntil (which yields) for a flag that only a third
    // thread sets once its wait is satisfied.
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    bool flag = false;
    int pollers[2];
    for (int& p : pollers) {
        p = sim_.CreateThread("poller", [&] {
            sim::Simulation::Current().RunUntil([&] { return flag; }, 10 * sim::kSecond);
        });
    }
    int setter = sim_.CreateThread("setter", [&] {
        KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
        flag = true;
    });
    sim_.Schedule(5 * sim::kMillisecond, "go", [&] { KeSetEvent(&go, 0, FALSE); });
    EXPECT_TRUE(sim_.RunUntil([&] { return sim_.ThreadFinished(setter); }, 20 * sim::kSecond));
    EXPECT_LT(sim_.Now(), sim::kSecond) << "the setter ran as soon as it was woken";
    sim_.RunUntil([&] { return sim_.ThreadFinished(pollers[0]) && sim_.ThreadFinished(pollers[1]); },
                  20 * sim::kSecond);
}

}  // namespace
