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

#include <sim/workbench/workbench.h>

namespace simtest {

class PortHarness {
public:
    explicit PortHarness(bool open = true) {
        NTSTATUS status;
        driver_ = sim::LoadDriver(DriverEntry, u"vodrek", &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        port_ = sim::CreateBarePort(driver_, nullptr);
        device_ = port_->DeviceObject;
        port_->DeviceIsOpen = open ? 1 : 0;
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
        sim::IrpSetup request;
        request.major = major;
        request.input = std::move(input);
        request.outputLength = outputLength;
        return sim::SendIrp(device_, request);
    }

private:
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PortExtension* port_ = nullptr;
};

}  // namespace simtest
