// Shared pieces for tests that run on the simulated kernel.
#pragma once

#include <gtest/gtest.h>

#include <sim/io.h>
#include <sim/pool.h>
#include <sim/simulation.h>
#include <sim/verifier.h>

#include <functional>
#include <memory>

namespace simtest {

// The driver's pool tag, "COMX" in memory order.
constexpr ULONG kComxTag = 0x584D4F43;

// What a simple function driver's add-device does: a device with the lower
// device in its extension, attached on top of `pdo`.
inline NTSTATUS AddFunctionDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension) = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// A fresh simulated machine per test; when the test has failed, the schedule
// and the command that replays it are printed.
class SimTest : public ::testing::Test {
protected:
    // A schedule kept as a regression case: set before anything of the test
    // (the driver's load included) has run, as the replay command would.
    struct Schedule {
        sim::Policy policy;
        uint64_t seed;
    };
    SimTest() = default;
    explicit SimTest(Schedule schedule) { sim_.SetPolicy(schedule.policy, schedule.seed); }

    void TearDown() override {
        if (HasFailure()) {
            std::fprintf(stderr, "schedule: %s\nreplay: %s\n", sim_.ScheduleDescription().c_str(),
                         sim_.ReplayCommand().c_str());
        }
    }
    sim::Simulation sim_;
};

// A two-device stack of simulator-owned drivers: `lower` at the bottom, `upper`
// attached on top. Dispatch routines are plain functions set by the test.
struct TwoDeviceStack {
    sim::SimDriver* lowerDriver = sim::CreateSimDriver("lower");
    sim::SimDriver* upperDriver = sim::CreateSimDriver("upper");
    PDEVICE_OBJECT lower = sim::CreateSimDevice(lowerDriver, u"", 0);
    PDEVICE_OBJECT upper = sim::CreateSimDevice(upperDriver, u"", 0);
    TwoDeviceStack() { IoAttachDeviceToDeviceStack(upper, lower); }
    // The lower device keeps every request of `major` pending in `parked`.
    PIRP parked = nullptr;
    void ParkAtLower(UCHAR major) {
        sim::SetSimDispatch(lowerDriver, major, [this](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            parked = irp;
            return STATUS_PENDING;
        });
    }
    ~TwoDeviceStack() {
        IoDetachDevice(lower);
        sim::DeleteSimDevice(upper);
        sim::DeleteSimDevice(lower);
    }
};

}  // namespace simtest
