// A port whose lower device is a stand-in the test scripts: the driver is loaded,
// a port device object is created with its creation-time and start-time defaults
// and attached on top of a simulator-owned device, whose dispatch routine per
// major function the test gives. For the orderings and answers a real bus does
// not produce on demand (a request held below the port, a status block watched
// while the lower driver owns it, a byte count larger than the buffer). At the
// end the port is detached and deleted and the driver unloaded, with the
// verifier checking the idle counts, IRPs and pool.
#pragma once

#include "tests/support/sim_fixture.h"

#include <sim/workbench/workbench.h>

#include <functional>

#include "control/control.h"
#include "datapath/datapath.h"
#include "driver/driver.h"

namespace simtest {

class ScriptedLowerPort {
  public:
    ScriptedLowerPort() {
        lowerDriver_ = sim::CreateSimDriver("scripted lower");
        lower_ = sim::CreateSimDevice(lowerDriver_, u"", 0);
        NTSTATUS status;
        driver_ = sim::LoadDriver(DriverEntry, u"vodrek", &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        port_ = sim::CreateBarePort(driver_, lower_);
        device_ = port_->DeviceObject;
    }
    ~ScriptedLowerPort() {
        port_->DeviceIsOpen = 0;
        IoDetachDevice(lower_);
        IoDeleteDevice(device_);
        sim::DeleteSimDevice(lower_);
        sim::UnloadDriver(driver_);
    }
    ScriptedLowerPort(const ScriptedLowerPort&) = delete;
    ScriptedLowerPort& operator=(const ScriptedLowerPort&) = delete;

    // What the lower device does with requests of `major`.
    void OnLower(UCHAR major, std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> dispatch) {
        sim::SetSimDispatch(lowerDriver_, major, std::move(dispatch));
    }

    PDEVICE_OBJECT device() const { return device_; }
    PDEVICE_OBJECT lower() const { return lower_; }
    PortExtension* port() const { return port_; }

  private:
    sim::SimDriver* lowerDriver_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PortExtension* port_ = nullptr;
};

// Completes a request in the lower device with `status` and `information`.
inline NTSTATUS CompleteBelow(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace simtest
