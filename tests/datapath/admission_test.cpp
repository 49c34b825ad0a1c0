// Admission of requests and the deferred-work accounting of a port.
#include "tests/support/port_harness.h"

namespace {

using simtest::PortHarness;
using simtest::SimTest;

int g_ran = 0;

// A dispatch routine shaped like the driver's own: admission, the error-abort
// rule, then the work (here: nothing) and completion.
NTSTATUS NTAPI AdmittingDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortOf(device);
    NTSTATUS status = AdmitRequest(port, irp);
    if (status == STATUS_PENDING) return STATUS_PENDING;
    if (status != STATUS_SUCCESS) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        ReleasePendingHold(port);
        return status;
    }
    if (RejectOnErrorAbort(port, irp) != STATUS_SUCCESS) return STATUS_CANCELLED;
    ++g_ran;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ReleasePendingHold(port);
    return STATUS_SUCCESS;
}

class AdmissionTest : public SimTest {
protected:
    void SetUp() override {
        g_ran = 0;
        for (UCHAR major : {IRP_MJ_READ, IRP_MJ_PNP, IRP_MJ_DEVICE_CONTROL})
            h.device()->DriverObject->MajorFunction[major] = AdmittingDispatch;
    }
    void SetFlags(ULONG flags) { h.port()->DeviceStateFlags = flags; }
    PortHarness h;
};

TEST_F(AdmissionTest, AdmittedRequestHoldsOneCountUntilItIsFinished) {
    auto r = h.Send(IRP_MJ_READ, {}, 0);
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(g_ran, 1);
    EXPECT_EQ(h.port()->PendingRequestCount, 1);

    // Dropping the initial hold signals the drain event, as removal relies on.
    EXPECT_EQ(InterlockedIncrement(&h.port()->PendingRequestCount), 2);
    ReleasePendingHold(h.port());
    EXPECT_EQ(KeReadStateEvent(&h.port()->PendingRequestsDone), 0);
    ReleasePendingHold(h.port());
    EXPECT_EQ(KeReadStateEvent(&h.port()->PendingRequestsDone), 1);
    InterlockedIncrement(&h.port()->PendingRequestCount);
}

TEST_F(AdmissionTest, RemovalTurnsAwayEverythingButPlugAndPlay) {
    for (ULONG flags : {DEVICE_STATE_REMOVING, DEVICE_STATE_SURPRISE_REMOVED,
                        DEVICE_STATE_REMOVING | DEVICE_STATE_STOP_PENDING}) {
        SetFlags(flags);
        auto read = h.Send(IRP_MJ_READ);
        EXPECT_EQ(read->returned, STATUS_DELETE_PENDING);
        EXPECT_EQ(read->status, STATUS_DELETE_PENDING);
        EXPECT_EQ(read->boost, IO_NO_INCREMENT);
        auto pnp = h.Send(IRP_MJ_PNP);
        EXPECT_EQ(pnp->status, STATUS_SUCCESS);
        EXPECT_EQ(h.port()->PendingRequestCount, 1);
    }
    EXPECT_EQ(g_ran, 3);
    SetFlags(0);
}

TEST_F(AdmissionTest, StopPendingHoldsRequestsUntilRedispatched) {
    SetFlags(DEVICE_STATE_STOP_PENDING);
    auto pnp = h.Send(IRP_MJ_PNP);
    EXPECT_EQ(pnp->status, STATUS_SUCCESS) << "Plug and Play passes even now";
    auto first = h.Send(IRP_MJ_READ);
    auto second = h.Send(IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(first->returned, STATUS_PENDING);
    EXPECT_FALSE(first->completed);
    EXPECT_FALSE(second->completed);
    EXPECT_EQ(h.port()->PendingRequestCount, 1) << "a held request carries no count";
    EXPECT_EQ(g_ran, 1);

    SetFlags(0);
    RedispatchStalled(h.port());
    EXPECT_TRUE(first->completed);
    EXPECT_TRUE(second->completed);
    EXPECT_EQ(first->status, STATUS_SUCCESS);
    EXPECT_TRUE(first->pendingReturned);
    EXPECT_EQ(g_ran, 3);
    EXPECT_TRUE(IsListEmpty(&h.port()->StalledQueue));
}

TEST_F(AdmissionTest, HeldRequestCancelledWhileWaiting) {
    SetFlags(DEVICE_STATE_STOP_PENDING);
    auto held = h.Send(IRP_MJ_READ);
    auto kept = h.Send(IRP_MJ_READ);
    EXPECT_TRUE(sim::CancelIrp(held));
    EXPECT_TRUE(held->completed);
    EXPECT_EQ(held->status, STATUS_CANCELLED);
    EXPECT_EQ(held->information, 0u);
    EXPECT_EQ(held->boost, IO_SERIAL_INCREMENT);
    EXPECT_EQ(h.port()->PendingRequestCount, 1);
    SetFlags(0);
    RedispatchStalled(h.port());
    EXPECT_EQ(kept->status, STATUS_SUCCESS);
    EXPECT_EQ(g_ran, 1) << "only the request still held ran";
}

TEST_F(AdmissionTest, RequestAlreadyCancelledIsNotHeld) {
    SetFlags(DEVICE_STATE_STOP_PENDING);
    sim::IrpSetup request;
    request.major = IRP_MJ_READ;
    request.parameters = [](IO_STACK_LOCATION&) {};
    // Mark the request cancelled before it reaches the driver.
    auto driver = h.device()->DriverObject;
    PDRIVER_DISPATCH real = driver->MajorFunction[IRP_MJ_READ];
    driver->MajorFunction[IRP_MJ_READ] = [](PDEVICE_OBJECT device, PIRP irp) NTAPI -> NTSTATUS {
        irp->Cancel = TRUE;
        return AdmittingDispatch(device, irp);
    };
    auto r = sim::SendIrp(h.device(), request);
    driver->MajorFunction[IRP_MJ_READ] = real;
    EXPECT_EQ(r->returned, STATUS_CANCELLED);
    EXPECT_EQ(r->status, STATUS_CANCELLED);
    EXPECT_EQ(h.port()->PendingRequestCount, 1);
    SetFlags(0);
}

TEST_F(AdmissionTest, ErrorAbortCancelsAllButGetCommStatus) {
    h.port()->HandFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    h.port()->ErrorFlags = SERIAL_ERROR_FRAMING;
    auto read = h.Send(IRP_MJ_READ, {}, 8);
    EXPECT_EQ(read->returned, STATUS_CANCELLED);
    EXPECT_EQ(read->status, STATUS_CANCELLED);
    EXPECT_EQ(read->information, 0u);
    EXPECT_EQ(read->boost, IO_NO_INCREMENT);
    auto other = sim::DeviceIoControl(h.device(), IOCTL_SERIAL_GET_BAUD_RATE, {}, 4);
    EXPECT_EQ(other->status, STATUS_CANCELLED);
    auto status = sim::DeviceIoControl(h.device(), IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
    EXPECT_EQ(status->status, STATUS_SUCCESS);
    EXPECT_EQ(g_ran, 1);
    // Without the abort flag, a pending error cancels nothing.
    h.port()->HandFlow.ControlHandShake &= ~SERIAL_ERROR_ABORT;
    EXPECT_EQ(h.Send(IRP_MJ_READ)->status, STATUS_SUCCESS);
    h.port()->ErrorFlags = 0;
    EXPECT_EQ(h.port()->PendingRequestCount, 1);
}

class DeferredWorkTest : public SimTest {
protected:
    PortHarness h;
    PortExtension* port() { return h.port(); }
    static LARGE_INTEGER In(sim::Ticks t) {
        LARGE_INTEGER li;
        li.QuadPart = -t;
        return li;
    }
};

TEST_F(DeferredWorkTest, QueuingADpcThatIsQueuedTakesNoSecondHold) {
    sim_.SetPolicy(sim::Policy::Held);
    EXPECT_TRUE(QueueDeferred(port(), &port()->Dpc.ReadComplete));
    EXPECT_FALSE(QueueDeferred(port(), &port()->Dpc.ReadComplete));
    EXPECT_EQ(port()->DeferredWorkCount, 2);
    ASSERT_TRUE(sim_.ReleaseNamed("ReadCompleteDpc"));
    EXPECT_EQ(port()->DeferredWorkCount, 1) << "the routine retires its hold as its last step";
}

TEST_F(DeferredWorkTest, TimersCarryOneHoldWhileSet) {
    PKTIMER timer = &port()->ReadTotalTimer;
    PKDPC dpc = &port()->Dpc.ReadTotalTimeout;
    EXPECT_FALSE(SetDeferredTimer(port(), timer, In(10 * sim::kMillisecond), dpc));
    EXPECT_TRUE(SetDeferredTimer(port(), timer, In(20 * sim::kMillisecond), dpc));
    EXPECT_EQ(port()->DeferredWorkCount, 2);
    EXPECT_TRUE(CancelDeferredTimer(port(), timer));
    EXPECT_EQ(port()->DeferredWorkCount, 1);
    EXPECT_FALSE(CancelDeferredTimer(port(), timer));
    EXPECT_EQ(port()->DeferredWorkCount, 1);

    // A timer that fired gives its hold back through its DPC, not through cancel.
    SetDeferredTimer(port(), timer, In(5 * sim::kMillisecond), dpc);
    sim_.RunFor(2 * sim_.TimeIncrement());
    EXPECT_EQ(port()->DeferredWorkCount, 1);
    EXPECT_FALSE(CancelDeferredTimer(port(), timer));
    EXPECT_EQ(port()->DeferredWorkCount, 1);
}

TEST_F(DeferredWorkTest, DroppingTheInitialHoldWaitsUntilNoDpcCanRun) {
    // As close does: drop the initial 1, wait for the event, add the 1 back.
    SetDeferredTimer(port(), &port()->WriteTotalTimer, In(300 * sim::kMillisecond), &port()->Dpc.WriteTimeout);
    if (InterlockedDecrement(&port()->DeferredWorkCount) > 0) {
        KeWaitForSingleObject(&port()->DeferredWorkDone, Executive, KernelMode, FALSE, nullptr);
    }
    EXPECT_EQ(sim_.Now(), sim_.TickAtOrAfter(300 * sim::kMillisecond)) << "the timer expires on a clock tick";
    EXPECT_EQ(port()->DeferredWorkCount, 0);
    InterlockedIncrement(&port()->DeferredWorkCount);
}

TEST_F(DeferredWorkTest, TheDrainDpcOnlySignals) {
    KeClearEvent(&port()->DeferredWorkDone);
    DeferredDrainDpc(&port()->Dpc.DeferredDrain, port(), nullptr, nullptr);
    EXPECT_EQ(KeReadStateEvent(&port()->DeferredWorkDone), 1);
    EXPECT_EQ(port()->DeferredWorkCount, 1);
    KeClearEvent(&port()->DeferredWorkDone);
}

TEST_F(DeferredWorkTest, EveryDpcOfTheTableIsInitialisedWithThePortAsContext) {
    int timers = 0;
    for (const DeferredWorkEntry& entry : PortDeferredWork) {
        const KDPC& dpc = port()->Dpc.*entry.Dpc;
        EXPECT_EQ(dpc.DeferredRoutine, entry.Routine);
        EXPECT_EQ(dpc.DeferredContext, port());
        if (entry.Timer) ++timers;
    }
    EXPECT_EQ(timers, kPortTimerCount);
    EXPECT_EQ(timers, 7);
}

TEST_F(DeferredWorkTest, SignalEventCompletionKeepsTheRequestForTheWaiter) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(SignalEventCompletion(h.device(), nullptr, &event), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

// Things of one timer that can still run: the timer armed, its DPC queued.
int Outstanding(PKTIMER timer, PKDPC dpc) {
    return (timer->Header.Inserted ? 1 : 0) + (dpc->DpcData != nullptr ? 1 : 0);
}

// A timer set again while its DPC from the last expiry may still be queued, under
// every scheduling policy: the DPC runs once per expiry, the holds never fall
// below what can still run, and the count comes back to idle. Under Held the
// DPC stays queued until the test lets it go, which is where a second hold for
// one queued DPC used to be taken and never returned.
class TimerSetAgain : public SimTest, public ::testing::WithParamInterface<sim::Policy> {
protected:
    void SetUp() override {
        // Under the schedules runs every repetition brings its own seed.
        sim_.SetPolicy(GetParam(), sim_.Seed() != 0 ? sim_.Seed() : 7);
        g_runs = 0;
        g_setAgainFromDpc = false;
        // The timer's own routine, counted.
        KeInitializeDpc(dpc(), CountedRun, port());
    }
    PortExtension* port() { return h.port(); }
    PKTIMER timer() { return &port()->ReadIntervalTimer; }
    PKDPC dpc() { return &port()->Dpc.ReadInterval; }
    static LARGE_INTEGER In(sim::Ticks t) {
        LARGE_INTEGER li;
        li.QuadPart = -t;
        return li;
    }
    void ExpectCovered() {
        EXPECT_GE(port()->DeferredWorkCount - 1, Outstanding(timer(), dpc()))
            << "fewer holds than things that can still run";
    }
    // Lets everything held run and every timer fire.
    void RunOut() {
        for (int round = 0; round < 20; ++round) {
            sim_.ReleaseAll();
            sim_.RunFor(10 * sim::kMillisecond);
            ExpectCovered();
        }
    }
    static VOID NTAPI CountedRun(PKDPC dpc, PVOID context, PVOID a1, PVOID a2) {
        ++g_runs;
        auto* port = static_cast<PortExtension*>(context);
        // As an interval timer does: the routine sets its own timer again, once.
        if (g_setAgainFromDpc) {
            g_setAgainFromDpc = false;
            SetDeferredTimer(port, &port->ReadIntervalTimer, In(5 * sim::kMillisecond), dpc);
        }
        // The last step of every timer's DPC routine.
        ReleaseDeferredTimer(port, &port->ReadIntervalTimer);
    }
    static int g_runs;
    static bool g_setAgainFromDpc;
    PortHarness h;
};
int TimerSetAgain::g_runs = 0;
bool TimerSetAgain::g_setAgainFromDpc = false;

TEST_P(TimerSetAgain, WhileItsDpcIsQueuedTheDpcRunsOncePerExpiryAndTheCountReturnsToIdle) {
    SetDeferredTimer(port(), timer(), In(5 * sim::kMillisecond), dpc());
    sim_.RunFor(2 * sim_.TimeIncrement());  // fired; under Held its DPC is still queued
    ExpectCovered();
    SetDeferredTimer(port(), timer(), In(5 * sim::kMillisecond), dpc());
    ExpectCovered();
    sim_.RunFor(2 * sim_.TimeIncrement());
    ExpectCovered();
    RunOut();
    EXPECT_EQ(g_runs, 2) << "the second arming has a run of its own";
    EXPECT_EQ(port()->DeferredWorkCount, 1);
    EXPECT_EQ(Outstanding(timer(), dpc()), 0);
}

TEST_P(TimerSetAgain, ACancelTakesBackTheArmingEvenWhileTheDpcIsQueued) {
    SetDeferredTimer(port(), timer(), In(5 * sim::kMillisecond), dpc());
    sim_.RunFor(2 * sim_.TimeIncrement());
    SetDeferredTimer(port(), timer(), In(5 * sim::kMillisecond), dpc());
    EXPECT_TRUE(CancelDeferredTimer(port(), timer())) << "no run will come for the second arming";
    ExpectCovered();
    RunOut();
    EXPECT_EQ(g_runs, 1);
    EXPECT_EQ(port()->DeferredWorkCount, 1);
    EXPECT_EQ(Outstanding(timer(), dpc()), 0);
}

TEST_P(TimerSetAgain, ADpcThatSetsItsOwnTimerAgainRunsOnceMore) {
    g_setAgainFromDpc = true;
    SetDeferredTimer(port(), timer(), In(5 * sim::kMillisecond), dpc());
    RunOut();
    EXPECT_EQ(g_runs, 2);
    EXPECT_EQ(port()->DeferredWorkCount, 1);
    EXPECT_EQ(Outstanding(timer(), dpc()), 0);
}

INSTANTIATE_TEST_SUITE_P(Policies, TimerSetAgain,
                         ::testing::Values(sim::Policy::Eager, sim::Policy::Held,
                                           sim::Policy::SeededRandom, sim::Policy::Pct),
                         [](const ::testing::TestParamInfo<sim::Policy>& info) {
                             switch (info.param) {
                                 case sim::Policy::Eager: return std::string("Eager");
                                 case sim::Policy::Held: return std::string("Held");
                                 case sim::Policy::Pct: return std::string("Pct");
                                 default: return std::string("SeededRandom");
                             }
                         });

// A stop gives the holds of the timers it cancels and the DPCs it takes off the
// queue back through the operation that signals at zero: a close that dropped
// the initial hold and waits for the last one is woken.
TEST_F(DeferredWorkTest, ReleasingAtStopWakesACloseWaitingForTheLastHold) {
    sim_.SetPolicy(sim::Policy::Held);
    EXPECT_TRUE(QueueDeferred(port(), &port()->Dpc.ReadComplete));
    SetDeferredTimer(port(), &port()->WriteTotalTimer, In(300 * sim::kMillisecond),
                     &port()->Dpc.WriteTimeout);
    SetDeferredTimer(port(), &port()->ReadTotalTimer, In(5 * sim::kMillisecond),
                     &port()->Dpc.ReadTotalTimeout);
    sim_.RunFor(2 * sim_.TimeIncrement());  // fired: its DPC is held on the queue
    EXPECT_EQ(port()->DeferredWorkCount, 4);
    InterlockedDecrement(&port()->DeferredWorkCount);  // as close drops the initial hold
    KeClearEvent(&port()->DeferredWorkDone);

    ReleasePortResources(port());
    EXPECT_EQ(port()->DeferredWorkCount, 0);
    LARGE_INTEGER noWait;
    noWait.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&port()->DeferredWorkDone, Executive, KernelMode, FALSE, &noWait),
              STATUS_SUCCESS)
        << "the close would wait for ever";
    EXPECT_TRUE(sim_.Held().empty());
    InterlockedIncrement(&port()->DeferredWorkCount);

    // The timer whose run was taken off the queue can be armed again afterwards.
    sim_.SetPolicy(sim::Policy::Eager);
    EXPECT_FALSE(SetDeferredTimer(port(), &port()->ReadTotalTimer, In(5 * sim::kMillisecond),
                                  &port()->Dpc.ReadTotalTimeout));
    EXPECT_TRUE(port()->ReadTotalTimer.Header.Inserted);
    sim_.RunFor(2 * sim_.TimeIncrement());
    EXPECT_EQ(port()->DeferredWorkCount, 1);
}

}  // namespace

namespace {

using LeakedHoldTest = simtest::SimTest;

TEST_F(LeakedHoldTest, AHoldNeverReleasedIsReportedWhenThePortGoes) {
    // A dispatch routine that forgets ReleasePendingHold on one path.
    sim::ExpectViolation v(sim::Rule::IdleCountsAtTeardown);
    {
        simtest::PortHarness h;
        h.device()->DriverObject->MajorFunction[IRP_MJ_READ] = [](PDEVICE_OBJECT device, PIRP irp) NTAPI -> NTSTATUS {
            AdmitRequest(PortOf(device), irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        };
        EXPECT_EQ(h.Send(IRP_MJ_READ)->status, STATUS_SUCCESS);
        EXPECT_EQ(h.port()->PendingRequestCount, 2);
    }
    EXPECT_EQ(v.Count(), 1);
    EXPECT_NE(v.LastMessage().find("PendingRequestCount 2"), std::string::npos);
}

}  // namespace
