// A port device on the simulated kernel, for tests of the driver's request
// handling: the driver is loaded, a device object with its PortExtension is
// created and given its creation-time and start-time defaults, and at the end
// the device is deleted and the driver unloaded, with the verifier checking that
// the port's counters are back at their idle values and no pool is left.
#pragma once

#include "tests/support/sim_fixture.h"

#include "control/control.h"
#include "datapath/datapath.h"
#include "driver/driver.h"

namespace simtest {

inline void CheckPortIdle(void* deviceObject) {
    auto* port = PortOf(static_cast<PDEVICE_OBJECT>(deviceObject));
    if (!port || port->DeviceObject != deviceObject) return;
    // Removal drops the initial pending hold for good; any other deletion finds it.
    const LONG idlePending = (port->DeviceStateFlags & DEVICE_STATE_REMOVING) ? 0 : 1;
    if (port->PendingRequestCount != idlePending || port->DeferredWorkCount != 1) {
        sim::Verifier::Violation(sim::Rule::IdleCountsAtTeardown,
                                 "PendingRequestCount " + std::to_string(port->PendingRequestCount) +
                                     ", DeferredWorkCount " + std::to_string(port->DeferredWorkCount) +
                                     " when the port's device object was deleted");
    }
}

class PortHarness {
public:
    explicit PortHarness(bool open = true) {
        NTSTATUS status;
        driver_ = sim::LoadDriver(DriverEntry, u"vodrek", &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\CorvantiSerialTest");
        EXPECT_EQ(IoCreateDevice(driver_, sizeof(PortExtension), &name, FILE_DEVICE_SERIAL_PORT,
                                 FILE_DEVICE_SECURE_OPEN, TRUE, &device_),
                  STATUS_SUCCESS);
        port_ = PortOf(device_);
        InitializePortExtension(device_, port_);
        InitializeDeferredWork(port_);
        WriteDefaultSettings(port_);
        port_->DeviceIsOpen = open ? 1 : 0;
        sim::DeclareLockOrder({{&port_->ControlLock, "ControlLock"},
                               {sim::CancelSpinLock(), "cancel spin lock"},
                               {&port_->FillLock, "FillLock"},
                               {&port_->TransferLock, "TransferLock"}});
        sim::Verifier::SetTeardownCheck(CheckPortIdle);
        for (const DeferredWorkEntry& entry : PortDeferredWork) {
            sim::NameRoutine(reinterpret_cast<const void*>(entry.Routine), RoutineNameOf(entry));
        }
    }
    ~PortHarness() {
        IoDeleteDevice(device_);
        sim::UnloadDriver(driver_);
    }
    PortHarness(const PortHarness&) = delete;
    PortHarness& operator=(const PortHarness&) = delete;

    PDEVICE_OBJECT device() const { return device_; }
    PortExtension* port() const { return port_; }

    sim::IrpHandle Control(ULONG code, std::vector<uint8_t> input = {}, ULONG outputLength = 0) {
        return sim::DeviceIoControl(device_, code, std::move(input), outputLength);
    }
    sim::IrpHandle Send(UCHAR major, std::vector<uint8_t> input = {}, ULONG outputLength = 0) {
        sim::IrpSetup spec;
        spec.major = major;
        spec.input = std::move(input);
        spec.outputLength = outputLength;
        return sim::SendIrp(device_, spec);
    }

private:
    static std::string RoutineNameOf(const DeferredWorkEntry& entry) {
        static const char* const names[] = {
            "WriteCompleteDpc",   "ReadCompleteDpc",       "ReadTotalTimeoutDpc", "ReadIntervalDpc",
            "WriteTimeoutDpc",    "ErrorAbortDpc",         "ImmediateDoneDpc",    "ImmediateTimeoutDpc",
            "WaitCompleteDpc",    "XoffCounterTimeoutDpc", "XoffCounterDoneDpc",  "TransmitToggleDpc",
            "TransmitToggleTimerDpc", "DeferredDrainDpc"};
        return names[&entry - PortDeferredWork];
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PortExtension* port_ = nullptr;
};

}  // namespace simtest
