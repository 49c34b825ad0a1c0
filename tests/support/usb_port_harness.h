// A port on a simulated adapter: a bridge chip of a chosen variant plugged into
// the simulated bus, the driver loaded, and a port device object with its
// PortExtension attached on top of the adapter's physical device object, given
// its creation-time and start-time defaults. At the end every transfer is
// cancelled and drained as removal does, the device goes, and the verifier
// checks the idle counts, IRPs and pool.
#pragma once

#include "tests/support/port_harness.h"

#include <sim/bridge_chip.h>
#include <sim/usb_bus.h>

#include <memory>
#include <string>
#include <vector>

#include "usb/usb.h"

namespace simtest {

class UsbPortHarness {
  public:
    explicit UsbPortHarness(int variant, sim::BridgeChipOptions options = {},
                            sim::UsbDeviceConfig config = {})
        : chip_(std::make_shared<sim::BridgeChip>(variant, std::move(options))) {
        usb_ = sim::PlugUsbDevice(chip_, config);
        NTSTATUS status;
        driver_ = sim::LoadDriver(DriverEntry, u"vodrek", &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        port_ = sim::CreateBarePort(driver_, usb_->Pdo());
        device_ = port_->DeviceObject;
        // As while a handle is open (without a ring): the readers go on from their
        // completions, and what arrives is counted and dropped.
        port_->OpenCount = 1;
        // What the hub read when it enumerated the device is not the driver's.
        ClearRecords();
    }

    ~UsbPortHarness() {
        // As removal: nothing of the port may still be outstanding when it goes.
        auto& sim = sim::Simulation::Current();
        if (sim.GetPolicy() == sim::Policy::Held) {
            sim.ReleaseAll();
            sim.SetPolicy(sim::Policy::Eager);
        }
        port_->DeviceStateFlags |= DEVICE_STATE_REMOVING;
        InterlockedIncrement(&port_->PendingRequestCount);  // the removal request's own hold
        DrainPendingRequests(port_, FALSE);
        CancelAllTransfers(port_);
        WaitForTransfersToDrain(port_);
        // Timers a request left armed (the transmitter-empty check after a
        // write) go as on a started port's removal.
        ReleasePortResources(port_);
        ReleaseConfiguration(port_);
        IoDetachDevice(port_->LowerDevice);
        IoDeleteDevice(device_);
        usb_.reset();
        sim::UnloadDriver(driver_);
    }
    UsbPortHarness(const UsbPortHarness&) = delete;
    UsbPortHarness& operator=(const UsbPortHarness&) = delete;

    PDEVICE_OBJECT device() const { return device_; }
    PortExtension* port() const { return port_; }
    sim::BridgeChip& chip() const { return *chip_; }
    sim::UsbDevice& usb() const { return *usb_; }
    const std::vector<sim::UrbRecord>& Records() const { return usb_->Capture().Records(); }
    void ClearRecords() {
        usb_->Capture().Clear();
        chip_->ClearControlLog();
    }

    // Reads the descriptors, decides the chip type and selects the configuration,
    // as a start does.
    NTSTATUS Configure() { return ConfigureDevice(device_); }

    // The chip's vendor and class requests as the bus carried them, in order.
    std::vector<sim::SetupPacket> ChipSetups() const {
        std::vector<sim::SetupPacket> out;
        for (const sim::UrbRecord& r : Records()) {
            if (r.hasSetup && (r.setup.bmRequestType & 0x60) != 0)
                out.push_back(r.setup);
        }
        return out;
    }

  private:
    std::shared_ptr<sim::BridgeChip> chip_;
    std::unique_ptr<sim::UsbDevice> usb_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PortExtension* port_ = nullptr;
};

// A fixture with one configured port on a chip of the variant each test plugs.
class ConfiguredPortTest : public SimTest {
  protected:
    void Plug(int variant, sim::BridgeChipOptions options = {}) {
        h.reset();
        h = std::make_unique<UsbPortHarness>(variant, std::move(options));
        ASSERT_EQ(h->Configure(), STATUS_SUCCESS);
        h->ClearRecords();
        port = h->port();
    }
    void TearDown() override {
        h.reset();
        SimTest::TearDown();
    }
    std::unique_ptr<UsbPortHarness> h;
    PortExtension* port = nullptr;
};

}  // namespace simtest
