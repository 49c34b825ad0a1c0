// The workbench: the driver loaded on the simulated machine, and adapters (a
// bridge chip behind the simulated bus) plugged in and out through the Plug and
// Play manager, as Windows would do it. Used by vodrek-sim, the end-to-end tests
// and the benchmarks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sim/bridge_chip.h>
#include <sim/image_loader.h>
#include <sim/pnp.h>
#include <sim/serial_wires.h>
#include <sim/simulation.h>
#include <sim/usb_bus.h>
#include <sim/wmi.h>

#include "driver/driver.h"

namespace sim {

struct AdapterOptions {
    int variant = 2;
    BridgeChipOptions chip;
    UsbDeviceConfig usb;
    // Values of the device's hardware key; an empty optional leaves a value out.
    std::optional<std::u16string> portName = u"COM3";
    std::optional<std::u16string> identifier;
    std::optional<ULONG> skipExternalNaming;
    std::optional<ULONG> multiportDevice = 0u;
};

class Workbench;

// One adapter: the chip, its bus device, and the port the driver made for it.
class Adapter {
public:
    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;
    ~Adapter();

    // Plug and Play steps, each answering the status of the request that decided it.
    NTSTATUS Plug();
    NTSTATUS Rebalance();
    NTSTATUS Stop();
    NTSTATUS Start();
    NTSTATUS Remove();
    // The adapter is pulled out: the bus fails its requests, then the Plug and
    // Play manager sends the surprise removal (and, with `thenRemove`, the removal,
    // which waits for the port's handles to be closed: STATUS_PENDING until then).
    NTSTATUS SurpriseRemove(bool thenRemove = true);

    bool Present() const;  // the port's device object exists
    int Variant() const { return options_.variant; }
    PDEVICE_OBJECT Pdo() const;
    PDEVICE_OBJECT Fdo() const;  // null once removed
    PortExtension* Port() const;
    BridgeChip& Chip() const { return *chip_; }

    // The serial connector: one wire at a time, kept by the workbench until the
    // adapter is unwired or the workbench goes. A new wire replaces the old one.
    LoopbackPlug& PlugLoopback(LoopbackWiring wiring = {});
    ScriptedPeer& AttachPeer(PeerOptions options = {});
    // Takes away what is plugged in (a null-modem cable from both its ends).
    void Unwire();
    UsbDevice& Usb() const { return *usb_; }
    UsbCapture& Capture() const { return usb_->Capture(); }
    const std::u16string& DeviceKeyPath() const;

private:
    friend class Workbench;
    Adapter(Workbench& bench, AdapterOptions options);
    Workbench& bench_;
    AdapterOptions options_;
    std::shared_ptr<BridgeChip> chip_;
    std::unique_ptr<UsbDevice> usb_;
};

// Which build of the driver a workbench loads: the sources compiled for this
// host (the default), or the x64 image the cross build made, loaded as Windows
// loads it (VODREK_DRIVER=image; VODREK_IMAGE names another file than the
// build's own vodrek64.sys).
enum class DriverBuild { Host, Image };
DriverBuild SelectedDriverBuild();

class Workbench {
public:
    // Loads the driver (service "vodrek"), optionally with an ExtBaudrate value.
    explicit Workbench(std::optional<std::u16string> extBaudrate = std::nullopt);
    ~Workbench();
    Workbench(const Workbench&) = delete;
    Workbench& operator=(const Workbench&) = delete;

    // A new adapter, not yet plugged.
    Adapter& AddAdapter(AdapterOptions options = {});
    PDRIVER_OBJECT Driver() const { return driver_; }
    // Whether the driver is loaded (the Plug and Play manager unloads it when its
    // last device is gone).
    bool DriverLoaded() const;
    void ReloadDriverIfUnloaded();

    // A null-modem cable between two adapters' connectors.
    NullModemCable& ConnectNullModem(Adapter& a, Adapter& b);

private:
    friend class Adapter;
    struct Wire {
        const Adapter* a;
        const Adapter* b;  // the far end of a cable, or null
        std::shared_ptr<void> object;
    };
    void Unwire(const Adapter& adapter);
    std::vector<Wire> wires_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<LoadedImage> image_;  // the image the driver runs from, if it is one
    std::vector<std::unique_ptr<Adapter>> adapters_;
};

// Names of the port's routines for the verifier and the Held policy, and the
// check that a port's counters are idle when its device object is deleted.
void InstallPortChecks();

// A port device object made without the Plug and Play path, for tests of single
// pieces: created, given its creation-time and start-time defaults, attached to
// `physicalDevice` when one is given, with its locks' order declared.
PortExtension* CreateBarePort(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);

}  // namespace sim
