// The simulated power manager as tests and tools see it: system sleep and wake
// sent to a device stack the way Windows sends them (query-power, then
// set-power, from the power manager's own thread at PASSIVE_LEVEL), single power
// requests, and a log of what every power IRP did on its way: the devices it
// reached, who released the next power IRP for it (PoStartNextPowerIrp), the
// device power requests drivers made (PoRequestPowerIrp) and the device states
// they reported (PoSetPowerState).
//
// The verifier holds drivers to the rules of the systems where power IRPs are
// serialised per device (Windows 2000, XP and Server 2003, which the driver
// still serves): every driver that handles a query-power or set-power IRP calls
// PoStartNextPowerIrp for it exactly once, before it completes the IRP or while
// it still owns its stack location, and passes power IRPs down with
// PoCallDriver, never with IoCallDriver.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <sim/simulation.h>
#include <simnt/wdm.h>

namespace sim {

enum class PowerEventKind {
    Requested,  // a driver asked for a power IRP (PoRequestPowerIrp)
    Delivered,  // the IRP reached a device's dispatch routine
    Held,       // PoCallDriver kept it back: the device has one of its kind active
    Released,   // a driver called PoStartNextPowerIrp for it
    Completed,  // the IRP completed to the top (its requester's callback runs now)
    Reported,   // a driver told the power manager its device's state (PoSetPowerState)
};

struct PowerEvent {
    Ticks time = 0;
    PowerEventKind kind = PowerEventKind::Delivered;
    uint64_t irp = 0;  // number of the power IRP (1, 2, ... in the order they were made); 0: none
    PDEVICE_OBJECT device = nullptr;  // the device reached, releasing, requesting or reporting
    UCHAR minor = 0;
    POWER_STATE_TYPE type = SystemPowerState;
    ULONG state = 0;                   // a SYSTEM_POWER_STATE or DEVICE_POWER_STATE, by `type`
    NTSTATUS status = STATUS_SUCCESS;  // Completed only
};

// "SET_POWER", "QUERY_POWER", "WAIT_WAKE", "POWER_SEQUENCE".
std::string PowerMinorName(UCHAR minor);
// "S0" ... "S5" for system states, "D0" ... "D3" for device states.
std::string PowerStateName(POWER_STATE_TYPE type, ULONG state);
// One line, for example "12.000 ms #3 SET_POWER D3 delivered to 0x6020000011d0".
std::string FormatPowerEvent(const PowerEvent& event);
const std::vector<PowerEvent>& PowerLog();
void ClearPowerLog();

// A device power request a driver made with PoRequestPowerIrp.
struct DevicePowerRequest {
    uint64_t irp = 0;
    PDEVICE_OBJECT target = nullptr;  // the device object the driver named
    UCHAR minor = 0;
    POWER_STATE state{};
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;  // what the requester's callback was given
};
// Every request made in this simulation, in order.
const std::vector<DevicePowerRequest>& DevicePowerRequests();

// What became of a power IRP the power manager sent.
struct PowerIrpResult {
    uint64_t irp = 0;
    UCHAR minor = 0;
    POWER_STATE_TYPE type = SystemPowerState;
    POWER_STATE state{};
    NTSTATUS returned = STATUS_PENDING;  // what the top driver's dispatch routine answered
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
};
using PowerIrpHandle = std::shared_ptr<PowerIrpResult>;

// Sends one power IRP (IoStatus preset to STATUS_NOT_SUPPORTED) to the top of
// the PDO's stack from the power manager's thread. With `wait`, the call returns
// once the IRP has completed (a request that does not complete within two
// minutes of virtual time is reported as a deadlock); without, once the top
// driver's dispatch routine has returned, and the handle fills in later.
PowerIrpHandle SendPowerIrp(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type,
                            POWER_STATE state, POWER_ACTION action = PowerActionNone,
                            bool wait = true);

// A system transition: what the stack answered, and the device power requests
// its drivers made while it ran (each finished by the time this returns).
struct PowerTransition {
    SYSTEM_POWER_STATE target = PowerSystemWorking;
    bool querySent = false;
    NTSTATUS query = STATUS_SUCCESS;
    // A refused query is followed by a set-power for the state the system stays
    // in, as Windows reaffirms it; `set` is then that request's status.
    bool refused = false;
    NTSTATUS set = STATUS_SUCCESS;
    std::vector<DevicePowerRequest> deviceRequests;
};

// Puts the system into S1, S2, S3, S4 (PowerSystemHibernate) or S5
// (PowerSystemShutdown): query-power, then set-power, each with the
// transition's power action (sleep, hibernate, shutdown).
PowerTransition SleepSystem(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
// Back to S0: set-power only (Windows never queries before waking), with the
// action of the transition that put the system to sleep.
PowerTransition WakeSystem(PDEVICE_OBJECT pdo);
// The system state after the last transition (S0 until the first).
SYSTEM_POWER_STATE CurrentSystemPowerState();
// A wait-wake request that completes with success while the system sleeps
// wakes it: the power manager sends set-power S0 to the stack that was put to
// sleep, from a thread of its own. How many such wakes have finished.
uint64_t SystemWakesByDevice();

// A device query-power for `state`, sent by the power manager and waited for.
PowerIrpResult QueryDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);

// The state a device object last reported with PoSetPowerState, or
// PowerDeviceUnspecified when it never did.
DEVICE_POWER_STATE ReportedDevicePowerState(PDEVICE_OBJECT device);

}  // namespace sim
