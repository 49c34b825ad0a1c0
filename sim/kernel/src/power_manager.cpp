// The power manager: power IRPs made for drivers (PoRequestPowerIrp) and for
// the system (sleep, wake, single requests from the power manager's thread),
// their passage down a stack (PoCallDriver) and the watch over
// PoStartNextPowerIrp, and the device states drivers report (PoSetPowerState).
#include "internal.h"

#include <sim/power.h>

#include <algorithm>
#include <cstdlib>

namespace sim {

namespace {

PowerManagerState& Pm() {
    return St().power;
}

// Virtual time a single power request may take before the manager reports it
// as hung.
constexpr Ticks kPowerRequestLimit = 120 * kSecond;

bool SetOrQuery(UCHAR minor) {
    return minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER;
}

bool Contains(const std::vector<PDEVICE_OBJECT>& devices, PDEVICE_OBJECT device) {
    return std::find(devices.begin(), devices.end(), device) != devices.end();
}

// The request as its maker filled it: kept by the power manager, since
// completion clears every stack location it leaves.
const IO_STACK_LOCATION& OriginalLocation(const IrpRecord& rec) {
    return rec.powerLocation;
}

ULONG StateOf(const IO_STACK_LOCATION& sp) {
    if (sp.MinorFunction == IRP_MN_WAIT_WAKE)
        return sp.Parameters.WaitWake.PowerState;
    return sp.Parameters.Power.Type == SystemPowerState
               ? static_cast<ULONG>(sp.Parameters.Power.State.SystemState)
               : static_cast<ULONG>(sp.Parameters.Power.State.DeviceState);
}

POWER_STATE_TYPE TypeOf(const IO_STACK_LOCATION& sp) {
    return sp.MinorFunction == IRP_MN_WAIT_WAKE ? SystemPowerState : sp.Parameters.Power.Type;
}

void Log(PowerEventKind kind, uint64_t irp, PDEVICE_OBJECT device, const IO_STACK_LOCATION& sp,
         NTSTATUS status = STATUS_SUCCESS) {
    PowerEvent e;
    e.time = St().now;
    e.kind = kind;
    e.irp = irp;
    e.device = device;
    e.minor = sp.MinorFunction;
    e.type = TypeOf(sp);
    e.state = StateOf(sp);
    e.status = status;
    Pm().log.push_back(e);
}

std::string Describe(const IrpRecord& rec) {
    const IO_STACK_LOCATION& sp = OriginalLocation(rec);
    return "power IRP #" + std::to_string(rec.powerNumber) + " (" +
           PowerMinorName(sp.MinorFunction) + " " + PowerStateName(TypeOf(sp), StateOf(sp)) + ")";
}

// Numbers an IRP the power manager has not seen yet (one a test or a driver
// built itself).
void Adopt(IrpRecord& rec, const IO_STACK_LOCATION& sp) {
    if (rec.power)
        return;
    rec.power = true;
    rec.powerMinor = sp.MinorFunction;
    rec.powerNumber = Pm().nextIrpNumber++;
    rec.powerLocation = sp;
}

// The slot of the kind of request `sp` is (system or device power) at `device`,
// or null for requests that are not serialised (wait-wake, power sequence).
PowerManagerState::Slot* SlotFor(PDEVICE_OBJECT device, const IO_STACK_LOCATION& sp) {
    if (sp.MajorFunction != IRP_MJ_POWER || !SetOrQuery(sp.MinorFunction))
        return nullptr;
    return &Pm().slots[{device, static_cast<int>(sp.Parameters.Power.Type)}];
}

// A request the power manager keeps back (the device has one of its kind
// active, or its power code is pageable and the caller runs at DISPATCH_LEVEL)
// looks to the sender as if the lower driver had marked it pending: the next
// location becomes current and carries the mark. It is delivered later from a
// power manager thread.
void HoldForLater(PDEVICE_OBJECT device, PIRP irp, IrpRecord& rec) {
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    sp->DeviceObject = device;
    rec.powerHeldMarks[static_cast<size_t>(irp->CurrentLocation)] = true;
    rec.held[static_cast<size_t>(irp->CurrentLocation)] = true;
}

void DeliverLater(PDEVICE_OBJECT device, PIRP irp) {
    const std::string what =
        PowerMinorName(IoGetCurrentIrpStackLocation(irp)->MinorFunction) + " to " + Hex(device);
    Simulation::Current().CreateThread("power manager (" + what + ")", [device, irp] {
        IrpRecord* live = FindIrp(irp);
        if (!live || live->state != IrpState::Active)
            return;
        // IoCallDriver makes the held location current once more.
        IoSkipCurrentIrpStackLocation(irp);
        live->throughPoCallDriver = true;
        live->deferredDelivery = true;
        IofCallDriver(device, irp);
    });
}

// The active request of a slot is gone (released, or ended without a release):
// the next one waiting goes.
void FreeSlot(PowerManagerState::Slot& slot, PDEVICE_OBJECT device, PIRP irp) {
    if (slot.active != irp)
        return;
    slot.active = nullptr;
    if (slot.waiting.empty())
        return;
    slot.active = slot.waiting.front();
    slot.waiting.pop_front();
    DeliverLater(device, slot.active);
}

PIRP BuildPowerIrp(PDEVICE_OBJECT top, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                   POWER_ACTION action) {
    PIRP irp = AllocateIrpRecord(top->StackSize, IrpOrigin::Power);
    irp->RequestorMode = KernelMode;
    // Windows starts every power IRP as "not supported": a stack that ignores it
    // answers so.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = minor;
    if (minor == IRP_MN_WAIT_WAKE) {
        sp->Parameters.WaitWake.PowerState = state.SystemState;
    } else {
        sp->Parameters.Power.Type = type;
        sp->Parameters.Power.State = state;
        sp->Parameters.Power.ShutdownType = action;
    }
    Adopt(*FindIrp(irp), *sp);
    return irp;
}

void InPowerThread(const std::string& what, const std::function<void()>& work) {
    RunInSystemThread("power manager (" + what + ")", work, kPowerRequestLimit);
}

// Lets the device power requests made since `first` finish: a policy owner
// sends the system request on only from its request's callback, but a request
// of its own may still be under way when that one is done.
void SettleDeviceRequests(size_t first) {
    auto& sim = Simulation::Current();
    auto settled = [first] {
        const auto& requests = Pm().requests;
        return std::all_of(requests.begin() + static_cast<long>(first), requests.end(),
                           [](const DevicePowerRequest& r) { return r.completed; });
    };
    if (!sim.RunUntil(settled, kPowerRequestLimit)) {
        Verifier::Violation(Rule::Deadlock, "a device power request did not complete within " +
                                                std::to_string(kPowerRequestLimit / kSecond) +
                                                " s of virtual time");
        std::abort();
    }
}

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state) {
    switch (state) {
        case PowerSystemHibernate:
            return PowerActionHibernate;
        case PowerSystemShutdown:
            return PowerActionShutdown;
        default:
            return PowerActionSleep;
    }
}

// A device that woke the system: the wait-wake has completed, and the power
// manager brings the system back to S0 from a thread of its own, as Windows
// does after the wake event (the set-power takes the stack's time; the
// completion that got here may be running at DISPATCH_LEVEL).
void WakeOnDeviceSignal() {
    PowerManagerState& pm = Pm();
    if (pm.systemState == PowerSystemWorking || !pm.sleepingPdo || pm.wakeUnderWay)
        return;
    pm.wakeUnderWay = true;
    PDEVICE_OBJECT pdo = pm.sleepingPdo;
    Simulation::Current().CreateThread("power manager (wake-up by a device)", [pdo] {
        POWER_STATE working;
        working.SystemState = PowerSystemWorking;
        const POWER_ACTION action =
            Pm().lastAction == PowerActionNone ? PowerActionSleep : Pm().lastAction;
        SendPowerIrp(pdo, IRP_MN_SET_POWER, SystemPowerState, working, action);
        Pm().systemState = PowerSystemWorking;
        Pm().wakeUnderWay = false;
        ++Pm().wakesByDevice;
    });
}

}  // namespace

// ---------------------------------------------------------------------------
// The watch over power IRPs (called by the I/O manager)

void NotePowerIrpDelivered(PIRP irp, IrpRecord& rec, PDEVICE_OBJECT device) {
    const IO_STACK_LOCATION& sp = *IoGetCurrentIrpStackLocation(irp);
    Adopt(rec, sp);
    const bool passedOn = !rec.powerReceivers.empty();
    const bool throughPo = rec.throughPoCallDriver;
    rec.throughPoCallDriver = false;
    if (passedOn && !throughPo) {
        Verifier::Violation(Rule::PowerIrpWithoutPoCallDriver,
                            "device " + Hex(rec.powerReceivers.back()) + " passed " +
                                Describe(rec) + " to device " + Hex(device) +
                                " with IoCallDriver; power IRPs go down with PoCallDriver");
    }
    rec.powerReceivers.push_back(device);
    Log(PowerEventKind::Delivered, rec.powerNumber, device, sp);
}

bool CheckPowerIrpCompleter(PIRP irp, IrpRecord& rec) {
    if (!SetOrQuery(rec.powerMinor))
        return true;
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    if (Contains(rec.powerReleased, device))
        return true;
    Verifier::Violation(Rule::PowerIrpNotReleased,
                        "device " + Hex(device) + " completed " + Describe(rec) +
                            " without calling PoStartNextPowerIrp first");
    // Reported once: the end of the IRP does not name this device again.
    rec.powerReleased.push_back(device);
    return false;
}

void CheckPowerIrpFinished(PIRP irp, IrpRecord& rec, NTSTATUS status) {
    PDEVICE_OBJECT top = rec.powerReceivers.empty() ? nullptr : rec.powerReceivers.front();
    Log(PowerEventKind::Completed, rec.powerNumber, top, OriginalLocation(rec), status);
    if (rec.powerMinor == IRP_MN_WAIT_WAKE && NT_SUCCESS(status))
        WakeOnDeviceSignal();
    if (!SetOrQuery(rec.powerMinor))
        return;
    // A request that ends while still active somewhere (its driver never
    // released it, which is reported below) lets the next one go.
    for (auto& [key, slot] : Pm().slots)
        FreeSlot(slot, key.first, irp);
    std::vector<PDEVICE_OBJECT> reported;
    for (PDEVICE_OBJECT device : rec.powerReceivers) {
        if (Contains(rec.powerReleased, device) || Contains(reported, device))
            continue;
        reported.push_back(device);
        Verifier::Violation(Rule::PowerIrpNotReleased,
                            "device " + Hex(device) + " handled " + Describe(rec) +
                                " but never called PoStartNextPowerIrp for it");
    }
}

void ForgetDevicePower(PDEVICE_OBJECT device) {
    Pm().reported.erase(device);
    auto& slots = Pm().slots;
    for (auto it = slots.begin(); it != slots.end();)
        it = it->first.first == device ? slots.erase(it) : std::next(it);
}

// ---------------------------------------------------------------------------
// Host API

std::string PowerMinorName(UCHAR minor) {
    switch (minor) {
        case IRP_MN_WAIT_WAKE:
            return "WAIT_WAKE";
        case IRP_MN_POWER_SEQUENCE:
            return "POWER_SEQUENCE";
        case IRP_MN_SET_POWER:
            return "SET_POWER";
        case IRP_MN_QUERY_POWER:
            return "QUERY_POWER";
        default:
            return "POWER_" + std::to_string(minor);
    }
}

std::string PowerStateName(POWER_STATE_TYPE type, ULONG state) {
    if (type == SystemPowerState) {
        if (state == PowerSystemUnspecified)
            return "S?";
        return "S" + std::to_string(state - 1);
    }
    if (state == PowerDeviceUnspecified)
        return "D?";
    return "D" + std::to_string(state - 1);
}

std::string FormatPowerEvent(const PowerEvent& e) {
    char when[32];
    std::snprintf(when, sizeof when, "%.3f ms", static_cast<double>(e.time) / kMillisecond);
    std::string line = std::string(when) + " #" + std::to_string(e.irp) + " " +
                       PowerMinorName(e.minor) + " " + PowerStateName(e.type, e.state);
    switch (e.kind) {
        case PowerEventKind::Requested:
            return line + " requested for " + Hex(e.device);
        case PowerEventKind::Delivered:
            return line + " delivered to " + Hex(e.device);
        case PowerEventKind::Held:
            return line + " held for " + Hex(e.device);
        case PowerEventKind::Released:
            return line + " released by " + Hex(e.device);
        case PowerEventKind::Completed:
            return line + " completed " +
                   Hex(reinterpret_cast<void*>(
                       static_cast<uintptr_t>(static_cast<ULONG>(e.status))));
        case PowerEventKind::Reported:
            return std::string(when) + " " + Hex(e.device) + " reports " +
                   PowerStateName(DevicePowerState, e.state);
    }
    return line;
}

const std::vector<PowerEvent>& PowerLog() {
    return Pm().log;
}
void ClearPowerLog() {
    Pm().log.clear();
}
const std::vector<DevicePowerRequest>& DevicePowerRequests() {
    return Pm().requests;
}
SYSTEM_POWER_STATE CurrentSystemPowerState() {
    return Pm().systemState;
}

DEVICE_POWER_STATE ReportedDevicePowerState(PDEVICE_OBJECT device) {
    auto it = Pm().reported.find(device);
    return it == Pm().reported.end() ? PowerDeviceUnspecified : it->second;
}

PowerIrpHandle SendPowerIrp(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type,
                            POWER_STATE state, POWER_ACTION action, bool wait) {
    auto result = std::make_shared<PowerIrpResult>();
    result->minor = minor;
    result->type = type;
    result->state = state;
    // The power manager's wait outlives no IRP: the event lives as long as the
    // result does.
    auto done = std::make_shared<KEVENT>();
    KeInitializeEvent(done.get(), NotificationEvent, FALSE);
    const std::string what =
        PowerMinorName(minor) + " " +
        PowerStateName(type, type == SystemPowerState ? static_cast<ULONG>(state.SystemState)
                                                      : static_cast<ULONG>(state.DeviceState));
    InPowerThread(what, [=] {
        PDEVICE_OBJECT top = TopOfStack(pdo);
        PIRP irp = BuildPowerIrp(top, minor, type, state, action);
        IrpRecord& rec = *FindIrp(irp);
        result->irp = rec.powerNumber;
        rec.onComplete = [result, done](PIRP finished) {
            result->completed = true;
            result->status = finished->IoStatus.Status;
            KeSetEvent(done.get(), IO_NO_INCREMENT, FALSE);
        };
        result->returned = PoCallDriver(top, irp);
        if (wait && !result->completed)
            KeWaitForSingleObject(done.get(), Executive, KernelMode, FALSE, nullptr);
    });
    return result;
}

PowerTransition SleepSystem(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    PowerTransition t;
    t.target = state;
    if (state <= PowerSystemWorking || state >= PowerSystemMaximum) {
        Verifier::Violation(Rule::BadParameter, "SleepSystem to " +
                                                    PowerStateName(SystemPowerState, state) +
                                                    ", which is not a sleeping or off state");
        return t;
    }
    const size_t first = Pm().requests.size();
    const POWER_ACTION action = ActionFor(state);
    POWER_STATE target;
    target.SystemState = state;
    t.querySent = true;
    t.query = SendPowerIrp(pdo, IRP_MN_QUERY_POWER, SystemPowerState, target, action)->status;
    if (NT_SUCCESS(t.query)) {
        t.set = SendPowerIrp(pdo, IRP_MN_SET_POWER, SystemPowerState, target, action)->status;
        Pm().systemState = state;
        Pm().lastAction = action;
        Pm().sleepingPdo = pdo;
    } else {
        t.refused = true;
        POWER_STATE stay;
        stay.SystemState = Pm().systemState;
        t.set =
            SendPowerIrp(pdo, IRP_MN_SET_POWER, SystemPowerState, stay, PowerActionNone)->status;
    }
    SettleDeviceRequests(first);
    t.deviceRequests.assign(Pm().requests.begin() + static_cast<long>(first), Pm().requests.end());
    return t;
}

PowerTransition WakeSystem(PDEVICE_OBJECT pdo) {
    PowerTransition t;
    t.target = PowerSystemWorking;
    const size_t first = Pm().requests.size();
    POWER_STATE working;
    working.SystemState = PowerSystemWorking;
    const POWER_ACTION action =
        Pm().lastAction == PowerActionNone ? PowerActionSleep : Pm().lastAction;
    t.set = SendPowerIrp(pdo, IRP_MN_SET_POWER, SystemPowerState, working, action)->status;
    Pm().systemState = PowerSystemWorking;
    SettleDeviceRequests(first);
    t.deviceRequests.assign(Pm().requests.begin() + static_cast<long>(first), Pm().requests.end());
    return t;
}

uint64_t SystemWakesByDevice() {
    return Pm().wakesByDevice;
}

PowerIrpResult QueryDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return *SendPowerIrp(pdo, IRP_MN_QUERY_POWER, DevicePowerState, s);
}

}  // namespace sim

using namespace sim;

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { SIM_DDI();
    if (!RequireIrql("PoCallDriver", DISPATCH_LEVEL))
        return STATUS_INVALID_DEVICE_STATE;
    IrpRecord* rec = FindIrp(Irp);
    if (!rec || rec->state != IrpState::Active) {
        Verifier::Violation(
            Rule::IrpTouchedAfterCompletion,
            "PoCallDriver with " + Hex(Irp) + ", which has already been completed or freed");
        return STATUS_INVALID_DEVICE_STATE;
    }
    // With no stack location left, IoCallDriver reports it; a location never
    // set up at all is IoCallDriver's to report too.
    if (Irp->CurrentLocation > 1 && IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER &&
        IoGetNextIrpStackLocation(Irp)->MajorFunction != kUnsetLocationFill) {
        if (Verifier::Violation(Rule::BadParameter,
                                "PoCallDriver with " + Hex(Irp) +
                                    ", whose next stack location is not an IRP_MJ_POWER request"))
            return STATUS_INVALID_PARAMETER;
    }
    if (Irp->CurrentLocation <= 1 || IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
        rec->throughPoCallDriver = true;
        return IofCallDriver(DeviceObject, Irp);
    }
    // The systems the driver serves let one system and one device query-power or
    // set-power request be active per device object; the next waits until the
    // driver releases the active one with PoStartNextPowerIrp.
    Adopt(*rec, *IoGetNextIrpStackLocation(Irp));
    if (PowerManagerState::Slot* slot = SlotFor(DeviceObject, *IoGetNextIrpStackLocation(Irp))) {
        if (slot->active && slot->active != Irp) {
            Log(PowerEventKind::Held, rec->powerNumber, DeviceObject,
                *IoGetNextIrpStackLocation(Irp));
            HoldForLater(DeviceObject, Irp, *rec);
            slot->waiting.push_back(Irp);
            return STATUS_PENDING;
        }
        slot->active = Irp;
    }
    // A device whose power code is pageable is never called at DISPATCH_LEVEL:
    // the IRP waits for a system worker thread, and the caller hears that it is
    // pending.
    if (CurrentIrql() >= DISPATCH_LEVEL && (DeviceObject->Flags & DO_POWER_PAGABLE)) {
        HoldForLater(DeviceObject, Irp, *rec);
        DeliverLater(DeviceObject, Irp);
        return STATUS_PENDING;
    }
    rec->throughPoCallDriver = true;
    return IofCallDriver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) { SIM_DDI();
    if (!RequireIrql("PoStartNextPowerIrp", DISPATCH_LEVEL))
        return;
    IrpRecord* rec = FindIrp(Irp);
    if (!rec || rec->state != IrpState::Active) {
        Verifier::Violation(
            Rule::IrpTouchedAfterCompletion,
            "PoStartNextPowerIrp on " + Hex(Irp) + ", which has already been completed or freed");
        return;
    }
    if (Irp->CurrentLocation < 1 || Irp->CurrentLocation > Irp->StackCount) {
        Verifier::Violation(Rule::BadParameter,
                            "PoStartNextPowerIrp on " + Hex(Irp) +
                                " while no driver's stack location is current (it belongs "
                                "before IoSkipCurrentIrpStackLocation and PoCallDriver)");
        return;
    }
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    if (sp->MajorFunction != IRP_MJ_POWER) {
        Verifier::Violation(Rule::BadParameter,
                            "PoStartNextPowerIrp on " + Hex(Irp) + ", which is not a power IRP");
        return;
    }
    Adopt(*rec, *sp);
    if (PowerManagerState::Slot* slot = SlotFor(sp->DeviceObject, *sp))
        FreeSlot(*slot, sp->DeviceObject, Irp);
    if (SetOrQuery(sp->MinorFunction)) {
        if (Contains(rec->powerReleased, sp->DeviceObject)) {
            Verifier::Violation(Rule::PowerIrpNotReleased,
                                "device " + Hex(sp->DeviceObject) +
                                    " called PoStartNextPowerIrp twice for " + Describe(*rec));
        } else {
            rec->powerReleased.push_back(sp->DeviceObject);
        }
    }
    Log(PowerEventKind::Released, rec->powerNumber, sp->DeviceObject, *sp);
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP* Irp) { SIM_DDI();
    if (!RequireIrql("PoRequestPowerIrp", DISPATCH_LEVEL))
        return STATUS_INVALID_DEVICE_STATE;
    if (!DeviceObject || !St().io.devices.count(DeviceObject)) {
        if (Verifier::Violation(Rule::BadParameter, "PoRequestPowerIrp for " + Hex(DeviceObject) +
                                                        ", which is not a device object"))
            return STATUS_INVALID_PARAMETER_1;
    }
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    if (AllocationFails(__builtin_return_address(0))) return STATUS_INSUFFICIENT_RESOURCES;

    PDEVICE_OBJECT top = TopOfStack(DeviceObject);
    PIRP irp = BuildPowerIrp(top, MinorFunction, DevicePowerState, PowerState, PowerActionNone);
    IrpRecord& rec = *FindIrp(irp);
    const uint64_t number = rec.powerNumber;
    DevicePowerRequest request;
    request.irp = number;
    request.target = DeviceObject;
    request.minor = MinorFunction;
    request.state = PowerState;
    Pm().requests.push_back(request);
    Log(PowerEventKind::Requested, number, DeviceObject, *IoGetNextIrpStackLocation(irp));
    rec.onComplete = [=](PIRP done) {
        // The caller's callback runs with the IRP complete; it is freed after.
        IO_STATUS_BLOCK status = done->IoStatus;
        for (DevicePowerRequest& r : Pm().requests) {
            if (r.irp != number)
                continue;
            r.completed = true;
            r.status = status.Status;
        }
        if (CompletionFunction) {
            DriverCall call(reinterpret_cast<const void*>(CompletionFunction));
            CallDriverRoutine(CompletionFunction, DeviceObject, MinorFunction, PowerState, Context, &status);
        }
    };
    if (Irp)
        *Irp = irp;
    PoCallDriver(top, irp);
    return STATUS_PENDING;
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State) { SIM_DDI();
    const bool toD0 = Type == DevicePowerState && State.DeviceState == PowerDeviceD0;
    POWER_STATE previous;
    previous.DeviceState = ReportedDevicePowerState(DeviceObject);
    if (!RequireIrql("PoSetPowerState", toD0 ? DISPATCH_LEVEL : APC_LEVEL))
        return previous;
    if (Type != DevicePowerState) {
        Verifier::Violation(Rule::BadParameter,
                            "PoSetPowerState with a system power state: drivers report the "
                            "states of their devices only");
        return previous;
    }
    Pm().reported[DeviceObject] = State.DeviceState;
    PowerEvent e;
    e.time = St().now;
    e.kind = PowerEventKind::Reported;
    e.device = DeviceObject;
    e.type = DevicePowerState;
    e.state = State.DeviceState;
    Pm().log.push_back(e);
    return previous;
}

}  // extern "C"
