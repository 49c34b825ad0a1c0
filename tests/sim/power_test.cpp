// The simulated power manager: device power requests made for drivers, system
// sleep and wake in Windows' order, the rules a driver keeps with power IRPs
// (PoStartNextPowerIrp once per query-power and set-power, PoCallDriver to pass
// them on), the device states drivers report, and the bus's own answers.
#include "tests/support/sim_fixture.h"

#include <sim/bridge_chip.h>
#include <sim/pool.h>
#include <sim/power.h>
#include <sim/usb_bus.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using sim::kMillisecond;
using simtest::SimTest;
using simtest::TwoDeviceStack;

POWER_STATE Device(DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return s;
}

// A bus driver's end of a power IRP: released, then completed.
NTSTATUS BusAnswer(PIRP irp, NTSTATUS status) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A filter's pass: released, then sent on without a stack location of its own.
NTSTATUS FilterPass(PDEVICE_OBJECT lower, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower, irp);
}

struct Callback {
    int count = 0;
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0;
    POWER_STATE state{};
    NTSTATUS status = STATUS_PENDING;
};

VOID NTAPI RecordCallback(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                          PIO_STATUS_BLOCK ioStatus) {
    auto* c = static_cast<Callback*>(context);
    ++c->count;
    c->device = device;
    c->minor = minor;
    c->state = state;
    c->status = ioStatus->Status;
}

NTSTATUS NTAPI ReleaseInCompletion(PDEVICE_OBJECT, PIRP irp, PVOID) {
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    PoStartNextPowerIrp(irp);
    return STATUS_SUCCESS;
}

TEST_F(SimTest, PoRequestPowerIrpSendsToTheTopOfTheStackAndCallsTheRequesterBack) {
    TwoDeviceStack stack;
    std::vector<std::string> seen;
    sim::SetSimDispatch(stack.upperDriver, IRP_MJ_POWER, [&](PDEVICE_OBJECT, PIRP irp) {
        seen.push_back("upper");
        return FilterPass(stack.lower, irp);
    });
    sim::SetSimDispatch(stack.lowerDriver, IRP_MJ_POWER, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        seen.push_back("lower " + sim::PowerStateName(sp->Parameters.Power.Type,
                                                      sp->Parameters.Power.State.DeviceState));
        return BusAnswer(irp, STATUS_SUCCESS);
    });
    Callback called;
    EXPECT_EQ(PoRequestPowerIrp(stack.lower, IRP_MN_SET_POWER, Device(PowerDeviceD2),
                                RecordCallback, &called, nullptr),
              STATUS_PENDING);
    EXPECT_EQ(seen, (std::vector<std::string>{"upper", "lower D2"}))
        << "from the top of the named device's stack";
    EXPECT_EQ(called.count, 1);
    EXPECT_EQ(called.device, stack.lower);
    EXPECT_EQ(called.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(called.state.DeviceState, PowerDeviceD2);
    EXPECT_EQ(called.status, STATUS_SUCCESS);
    EXPECT_EQ(sim::OutstandingIrps(), 0u) << "freed once the callback has run";
    ASSERT_EQ(sim::DevicePowerRequests().size(), 1u);
    EXPECT_TRUE(sim::DevicePowerRequests()[0].completed);

    // Refusals make no IRP and call nobody back.
    EXPECT_EQ(PoRequestPowerIrp(stack.lower, IRP_MN_POWER_SEQUENCE, Device(PowerDeviceD0),
                                RecordCallback, &called, nullptr),
              STATUS_INVALID_PARAMETER_2);
    sim::FailNthPoolAllocation(1);
    EXPECT_EQ(PoRequestPowerIrp(stack.lower, IRP_MN_SET_POWER, Device(PowerDeviceD0),
                                RecordCallback, &called, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    sim::ClearPoolFaults();
    EXPECT_EQ(called.count, 1);
    EXPECT_EQ(sim::DevicePowerRequests().size(), 1u);
}

TEST_F(SimTest, APageableStackIsNeverCalledAtDispatchLevel) {
    TwoDeviceStack stack;
    stack.upper->Flags |= DO_POWER_PAGABLE;
    stack.lower->Flags |= DO_POWER_PAGABLE;
    std::vector<KIRQL> irqls;
    sim::SetSimDispatch(stack.upperDriver, IRP_MJ_POWER, [&](PDEVICE_OBJECT, PIRP irp) {
        irqls.push_back(KeGetCurrentIrql());
        return FilterPass(stack.lower, irp);
    });
    sim::SetSimDispatch(stack.lowerDriver, IRP_MJ_POWER, [&](PDEVICE_OBJECT, PIRP irp) {
        irqls.push_back(KeGetCurrentIrql());
        return BusAnswer(irp, STATUS_SUCCESS);
    });
    Callback called;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    const NTSTATUS status = PoRequestPowerIrp(stack.lower, IRP_MN_SET_POWER, Device(PowerDeviceD3),
                                              RecordCallback, &called, nullptr);
    KeLowerIrql(old);
    EXPECT_EQ(status, STATUS_PENDING);
    sim_.RunUntilIdle();
    // Delivered by a worker thread (on another processor, it may be while this
    // one is still at DISPATCH_LEVEL), never from the caller's raised IRQL.
    EXPECT_EQ(irqls, (std::vector<KIRQL>{PASSIVE_LEVEL, PASSIVE_LEVEL}));
    EXPECT_EQ(called.count, 1);
}

TEST_F(SimTest, VerifierHoldsDriversToTheirPowerIrpDuties) {
    using Pass = std::function<NTSTATUS(PDEVICE_OBJECT lower, PIRP irp)>;
    struct Case {
        const char* what;
        UCHAR minor;
        Pass upper;
        bool busReleases;
        sim::Rule rule;
        int violations;
    };
    const Pass skipOnly = [](PDEVICE_OBJECT lower, PIRP irp) NTAPI {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    };
    const Case cases[] = {
        {"a filter that releases and passes on", IRP_MN_SET_POWER, FilterPass, true,
         sim::Rule::PowerIrpNotReleased, 0},
        {"the bus completes without releasing", IRP_MN_SET_POWER, FilterPass, false,
         sim::Rule::PowerIrpNotReleased, 1},
        {"a filter passes on without releasing", IRP_MN_QUERY_POWER, skipOnly, true,
         sim::Rule::PowerIrpNotReleased, 1},
        {"a filter releases twice", IRP_MN_SET_POWER,
         [](PDEVICE_OBJECT lower, PIRP irp) NTAPI {
             PoStartNextPowerIrp(irp);
             return FilterPass(lower, irp);
         },
         true, sim::Rule::PowerIrpNotReleased, 1},
        {"a filter releases from its completion routine", IRP_MN_SET_POWER,
         [](PDEVICE_OBJECT lower, PIRP irp) NTAPI {
             IoCopyCurrentIrpStackLocationToNext(irp);
             IoSetCompletionRoutine(irp, ReleaseInCompletion, nullptr, TRUE, TRUE, TRUE);
             return PoCallDriver(lower, irp);
         },
         true, sim::Rule::PowerIrpNotReleased, 0},
        {"a wait-wake needs no release", IRP_MN_WAIT_WAKE, skipOnly, false,
         sim::Rule::PowerIrpNotReleased, 0},
        {"a filter passes on with IoCallDriver", IRP_MN_SET_POWER,
         [](PDEVICE_OBJECT lower, PIRP irp) NTAPI {
             PoStartNextPowerIrp(irp);
             IoSkipCurrentIrpStackLocation(irp);
             return IoCallDriver(lower, irp);
         },
         true, sim::Rule::PowerIrpWithoutPoCallDriver, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TwoDeviceStack stack;
        sim::SetSimDispatch(stack.upperDriver, IRP_MJ_POWER,
                            [&](PDEVICE_OBJECT, PIRP irp) { return c.upper(stack.lower, irp); });
        sim::SetSimDispatch(stack.lowerDriver, IRP_MJ_POWER, [&](PDEVICE_OBJECT, PIRP irp) {
            if (c.busReleases)
                PoStartNextPowerIrp(irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        });
        sim::ExpectViolation expected(c.rule);
        auto result =
            sim::SendPowerIrp(stack.lower, c.minor, DevicePowerState, Device(PowerDeviceD3));
        EXPECT_TRUE(result->completed);
        EXPECT_EQ(expected.Count(), c.violations) << expected.LastMessage();
    }
}

TEST_F(SimTest, SleepAndWakeReachTheStackInWindowsOrder) {
    TwoDeviceStack stack;
    std::vector<std::string> atBus;
    bool refuseQueries = false;
    sim::SetSimDispatch(stack.upperDriver, IRP_MJ_POWER,
                        [&](PDEVICE_OBJECT, PIRP irp) { return FilterPass(stack.lower, irp); });
    sim::SetSimDispatch(stack.lowerDriver, IRP_MJ_POWER, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        atBus.push_back(
            sim::PowerMinorName(sp->MinorFunction) + " " +
            sim::PowerStateName(sp->Parameters.Power.Type, sp->Parameters.Power.State.SystemState) +
            " action " + std::to_string(sp->Parameters.Power.ShutdownType));
        const bool refuse = refuseQueries && sp->MinorFunction == IRP_MN_QUERY_POWER;
        return BusAnswer(irp, refuse ? STATUS_DEVICE_BUSY : STATUS_SUCCESS);
    });
    EXPECT_EQ(sim::CurrentSystemPowerState(), PowerSystemWorking);
    sim::PowerTransition sleep = sim::SleepSystem(stack.lower, PowerSystemSleeping3);
    EXPECT_TRUE(sleep.querySent);
    EXPECT_EQ(sleep.query, STATUS_SUCCESS);
    EXPECT_EQ(sleep.set, STATUS_SUCCESS);
    EXPECT_TRUE(sleep.deviceRequests.empty());
    EXPECT_EQ(sim::CurrentSystemPowerState(), PowerSystemSleeping3);
    sim::PowerTransition wake = sim::WakeSystem(stack.lower);
    EXPECT_FALSE(wake.querySent);
    EXPECT_EQ(wake.set, STATUS_SUCCESS);
    sim::SleepSystem(stack.lower, PowerSystemHibernate);
    sim::WakeSystem(stack.lower);
    EXPECT_EQ(atBus, (std::vector<std::string>{"QUERY_POWER S3 action 2", "SET_POWER S3 action 2",
                                               "SET_POWER S0 action 2", "QUERY_POWER S4 action 3",
                                               "SET_POWER S4 action 3", "SET_POWER S0 action 3"}));

    // A refused query leaves the system where it is, and says so to the stack.
    atBus.clear();
    refuseQueries = true;
    sim::PowerTransition refused = sim::SleepSystem(stack.lower, PowerSystemSleeping1);
    EXPECT_TRUE(refused.refused);
    EXPECT_EQ(refused.query, STATUS_DEVICE_BUSY);
    EXPECT_EQ(refused.set, STATUS_SUCCESS);
    EXPECT_EQ(sim::CurrentSystemPowerState(), PowerSystemWorking);
    EXPECT_EQ(atBus,
              (std::vector<std::string>{"QUERY_POWER S1 action 2", "SET_POWER S0 action 0"}));
}

TEST_F(SimTest, DeviceStatesReportedByDriversAreRecordedWithTheirIrqlRule) {
    TwoDeviceStack stack;
    EXPECT_EQ(sim::ReportedDevicePowerState(stack.upper), PowerDeviceUnspecified);
    EXPECT_EQ(PoSetPowerState(stack.upper, DevicePowerState, Device(PowerDeviceD3)).DeviceState,
              PowerDeviceUnspecified);
    EXPECT_EQ(sim::ReportedDevicePowerState(stack.upper), PowerDeviceD3);
    EXPECT_EQ(sim::ReportedDevicePowerState(stack.lower), PowerDeviceUnspecified);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    // Powering up may be reported from a completion routine; anything else not.
    EXPECT_EQ(PoSetPowerState(stack.upper, DevicePowerState, Device(PowerDeviceD0)).DeviceState,
              PowerDeviceD3);
    {
        sim::ExpectViolation tooHigh(sim::Rule::IrqlTooHigh);
        PoSetPowerState(stack.upper, DevicePowerState, Device(PowerDeviceD2));
        EXPECT_EQ(tooHigh.Count(), 1);
    }
    KeLowerIrql(old);
    EXPECT_EQ(sim::ReportedDevicePowerState(stack.upper), PowerDeviceD0);
    size_t reports = 0;
    for (const sim::PowerEvent& e : sim::PowerLog())
        reports += e.kind == sim::PowerEventKind::Reported;
    EXPECT_EQ(reports, 2u);
}

// The systems the driver serves keep one system and one device power request
// active per device object: the next of a kind waits for PoStartNextPowerIrp.
TEST_F(SimTest, OnePowerRequestOfEachTypeIsActivePerDeviceUntilItIsReleased) {
    TwoDeviceStack stack;
    std::vector<PIRP> deviceRequests;  // held by the upper driver, not yet released
    sim::SetSimDispatch(stack.upperDriver, IRP_MJ_POWER, [&](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->Parameters.Power.Type == SystemPowerState)
            return FilterPass(stack.lower, irp);
        IoMarkIrpPending(irp);
        deviceRequests.push_back(irp);
        return STATUS_PENDING;
    });
    sim::SetSimDispatch(stack.lowerDriver, IRP_MJ_POWER,
                        [](PDEVICE_OBJECT, PIRP irp) NTAPI { return BusAnswer(irp, STATUS_SUCCESS); });
    auto send = [&](POWER_STATE_TYPE type, ULONG state) {
        POWER_STATE s;
        s.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
        return sim::SendPowerIrp(stack.lower, IRP_MN_SET_POWER, type, s, PowerActionNone,
                                 /*wait=*/false);
    };
    auto d3 = send(DevicePowerState, PowerDeviceD3);
    auto d2 = send(DevicePowerState, PowerDeviceD2);
    sim_.RunUntilIdle();
    ASSERT_EQ(deviceRequests.size(), 1u) << "the second device request waits";
    EXPECT_EQ(d2->returned, STATUS_PENDING);
    size_t held = 0;
    for (const sim::PowerEvent& e : sim::PowerLog())
        held += e.kind == sim::PowerEventKind::Held && e.irp == d2->irp;
    EXPECT_EQ(held, 1u);

    // A system request is of the other type: it goes through meanwhile.
    auto s0 = send(SystemPowerState, PowerSystemWorking);
    sim_.RunUntilIdle();
    EXPECT_TRUE(s0->completed);
    EXPECT_EQ(deviceRequests.size(), 1u);

    // Released, the first lets the second go; the second ends the queue.
    for (size_t k = 0; k < 2; ++k) {
        PIRP irp = deviceRequests[k];
        PoStartNextPowerIrp(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);  // our location carries the pending mark
        PoCallDriver(stack.lower, irp);
        sim_.RunUntilIdle();
        ASSERT_EQ(deviceRequests.size(), 2u);
    }
    EXPECT_TRUE(d3->completed);
    EXPECT_TRUE(d2->completed);
    EXPECT_EQ(d2->status, STATUS_SUCCESS);
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
}

struct TimedCallback {
    int count = 0;
    KIRQL irql = PASSIVE_LEVEL;
    sim::Ticks at = 0;
    NTSTATUS status = STATUS_PENDING;
};

VOID NTAPI RecordTimedCallback(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                               PIO_STATUS_BLOCK ioStatus) {
    auto* t = static_cast<TimedCallback*>(context);
    ++t->count;
    t->irql = KeGetCurrentIrql();
    t->at = sim::Simulation::Current().Now();
    t->status = ioStatus->Status;
}

TEST_F(SimTest, TheBusTakesTimeOverPowerRequestsAndCompletesThemAtDispatchLevel) {
    auto device = sim::PlugUsbDevice(std::make_shared<sim::BridgeChip>(2));
    PDEVICE_OBJECT pdo = device->Pdo();
    // The hub's own timing: the device suspends once the bus has been idle, and
    // a resume takes its signalling and recovery time.
    struct Step {
        DEVICE_POWER_STATE state;
        sim::Ticks latency;
    };
    for (const Step& step : {Step{PowerDeviceD3, sim::kUsbSuspendLatency},
                             Step{PowerDeviceD0, sim::kUsbResumeLatency}}) {
        SCOPED_TRACE(sim::PowerStateName(DevicePowerState, step.state));
        TimedCallback done;
        const sim::Ticks start = sim_.Now();
        EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, Device(step.state), RecordTimedCallback,
                                    &done, nullptr),
                  STATUS_PENDING);
        EXPECT_EQ(done.count, 0) << "not answered before the call returns";
        EXPECT_EQ(device->PowerState(), PowerDeviceD3)
            << "a suspend stops the port at once; a resume counts only when it is over";
        ASSERT_TRUE(sim_.RunUntil([&] { return done.count == 1; }, sim::kSecond));
        EXPECT_EQ(done.at - start, step.latency);
        EXPECT_EQ(done.irql, DISPATCH_LEVEL);
        EXPECT_EQ(done.status, STATUS_SUCCESS);
        EXPECT_EQ(device->PowerState(), step.state);
    }

    // A latency of 0 answers in the dispatch routine; another fixed one for all.
    device->SetPowerLatency(0);
    auto d3 = sim::SendPowerIrp(pdo, IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD3));
    EXPECT_EQ(d3->returned, STATUS_SUCCESS);
    EXPECT_EQ(device->PowerState(), PowerDeviceD3);
    device->SetPowerLatency(10 * kMillisecond);
    const sim::Ticks start = sim_.Now();
    auto d0 = sim::SendPowerIrp(pdo, IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD0),
                                PowerActionNone,
                                /*wait=*/false);
    EXPECT_EQ(d0->returned, STATUS_PENDING);
    ASSERT_TRUE(sim_.RunUntil([&] { return d0->completed; }, sim::kSecond));
    EXPECT_EQ(sim_.Now() - start, 10 * kMillisecond);
    EXPECT_EQ(device->PowerState(), PowerDeviceD0);
    size_t released = 0;
    for (const sim::PowerEvent& e : sim::PowerLog())
        released += e.kind == sim::PowerEventKind::Released && e.device == pdo;
    EXPECT_EQ(released, 4u) << "the bus releases every request it completes";
}

}  // namespace
