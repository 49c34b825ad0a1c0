#include "sim/workbench/workbench.h"

#include <sim/io.h>
#include <sim/registry.h>
#include <sim/verifier.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/control.h"
#include "datapath/datapath.h"
#include "usb/usb.h"

namespace sim {

namespace {

constexpr char16_t kService[] = u"vodrek";

// At device deletion the port's counters must be back at their idle values:
// removal drops the initial pending hold for good, any other deletion finds it.
void CheckPortIdle(void* deviceObject) {
    auto* device = static_cast<PDEVICE_OBJECT>(deviceObject);
    auto* port = PortOf(device);
    if (!port || port->DeviceObject != device) return;
    const LONG idlePending = (port->DeviceStateFlags & DEVICE_STATE_REMOVING) ? 0 : 1;
    if (port->PendingRequestCount != idlePending || port->DeferredWorkCount != 1) {
        Verifier::Violation(Rule::IdleCountsAtTeardown,
                            "PendingRequestCount " + std::to_string(port->PendingRequestCount) +
                                ", DeferredWorkCount " + std::to_string(port->DeferredWorkCount) +
                                " when the port's device object was deleted");
    }
}

// The image, mapped afresh for every load of the driver (its global data
// starts over, as when Windows loads it again), with its routines named for
// the verifier's reports and the Held policy.
std::unique_ptr<LoadedImage> LoadDriverImage() {
#if !VODREK_WINDOWS_CALLING_CONVENTION
    std::fprintf(stderr, "vodrek: this simulator calls drivers with the host's convention, not "
                         "Windows'; it cannot run a driver image\n");
    std::exit(2);
#endif
    const char* path = std::getenv("VODREK_IMAGE");
    if (path == nullptr || *path == 0) path = VODREK_DEFAULT_IMAGE;
    std::string error;
    auto image = LoadedImage::Load(path, &error);
    if (!image) {
        std::fprintf(stderr, "vodrek: cannot load the driver image: %s\n", error.c_str());
        std::exit(2);
    }
    for (const ImageRoutine& routine : image->Routines()) NameRoutine(reinterpret_cast<const void*>(routine.address), routine.name);
    return image;
}

}  // namespace

DriverBuild SelectedDriverBuild() {
    const char* driver = std::getenv("VODREK_DRIVER");
    if (driver == nullptr || *driver == 0 || std::strcmp(driver, "host") == 0) return DriverBuild::Host;
    if (std::strcmp(driver, "image") == 0) return DriverBuild::Image;
    std::fprintf(stderr, "vodrek: VODREK_DRIVER is '%s': it is host (the default) or image\n", driver);
    std::exit(2);
}

void InstallPortChecks() {
    Verifier::SetTeardownCheck(CheckPortIdle);
    static const char* const dpcNames[kPortDpcCount] = {
        "WriteCompleteDpc",   "ReadCompleteDpc",       "ReadTotalTimeoutDpc", "ReadIntervalDpc",
        "WriteTimeoutDpc",    "ErrorAbortDpc",         "ImmediateDoneDpc",    "ImmediateTimeoutDpc",
        "WaitCompleteDpc",    "XoffCounterTimeoutDpc", "XoffCounterDoneDpc",  "TransmitToggleDpc",
        "TransmitToggleTimerDpc", "DeferredDrainDpc",  "TransmitEmptyDpc"};
    for (int i = 0; i < kPortDpcCount; ++i) {
        NameRoutine(reinterpret_cast<const void*>(PortDeferredWork[i].Routine), dpcNames[i]);
    }
    NameRoutine(reinterpret_cast<const void*>(&TransferComplete), "TransferComplete");
    NameRoutine(reinterpret_cast<const void*>(&AsyncControlComplete), "AsyncControlComplete");
    NameRoutine(reinterpret_cast<const void*>(&SignalEventCompletion), "SignalEventCompletion");
    NameRoutine(reinterpret_cast<const void*>(&StalledCancelRoutine), "StalledCancelRoutine");
}

Workbench::Workbench(std::optional<std::u16string> extBaudrate) {
    CreateRegistryKey(ServiceKeyPath(kService));
    if (extBaudrate) SetRegistryString(ServiceKeyPath(kService), u"ExtBaudrate", *extBaudrate);
    InstallPortChecks();
    ReloadDriverIfUnloaded();
}

PortExtension* CreateBarePort(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\CorvantiSerialTest");
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(PortExtension), &name, FILE_DEVICE_SERIAL_PORT,
                                   FILE_DEVICE_SECURE_OPEN, TRUE, &device)))
        return nullptr;
    PortExtension* port = PortOf(device);
    InitializePortExtension(device, port);
    InitializeDeferredWork(port);
    WriteDefaultSettings(port);
    if (physicalDevice) {
        port->PhysicalDevice = physicalDevice;
        port->LowerDevice = IoAttachDeviceToDeviceStack(device, physicalDevice);
    }
    // Reads and writes reach it as they reach a port made by add-device.
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    DeclareLockOrder({{&port->ControlLock, "ControlLock"},
                      {CancelSpinLock(), "cancel spin lock"},
                      {&port->FillLock, "FillLock"},
                      {&port->TransferLock, "TransferLock"}});
    InstallPortChecks();
    return port;
}

Workbench::~Workbench() {
    for (auto& adapter : adapters_) {
        if (adapter->Present()) adapter->Remove();
    }
    // Wires hold on to the chips: they go first.
    wires_.clear();
    adapters_.clear();
    // A driver that never got a port is unloaded here; otherwise the Plug and
    // Play manager did it when the last port went.
    if (DriverLoaded()) UnloadDriverIfUnused(driver_);
}

bool Workbench::DriverLoaded() const { return sim::DriverLoaded(driver_); }

void Workbench::ReloadDriverIfUnloaded() {
    if (DriverLoaded()) return;
    NTSTATUS status;
    PDRIVER_INITIALIZE entry = DriverEntry;
    if (SelectedDriverBuild() == DriverBuild::Image) {
        image_.reset();
        image_ = LoadDriverImage();
        entry = reinterpret_cast<PDRIVER_INITIALIZE>(const_cast<void*>(image_->EntryPoint()));
    }
    driver_ = LoadDriver(entry, kService, &status);
    if (!driver_) return;
    DeclareExtensionLockOrder(driver_, {{offsetof(PortExtension, ControlLock), "ControlLock"},
                                        {kCancelSpinLockOffset, "cancel spin lock"},
                                        {offsetof(PortExtension, FillLock), "FillLock"},
                                        {offsetof(PortExtension, TransferLock), "TransferLock"}});
}

Adapter& Workbench::AddAdapter(AdapterOptions options) {
    adapters_.push_back(std::unique_ptr<Adapter>(new Adapter(*this, std::move(options))));
    return *adapters_.back();
}

Adapter::Adapter(Workbench& bench, AdapterOptions options)
    : bench_(bench), options_(std::move(options)),
      chip_(std::make_shared<BridgeChip>(options_.variant, options_.chip)) {
    // Simulated chips of one variant share their serial number; each adapter still
    // needs its own device instance, and with it its own hardware key.
    if (options_.usb.instanceId.empty()) {
        std::string id = "6&1F" + std::to_string(bench_.adapters_.size()) + "&0&1";
        options_.usb.instanceId.assign(id.begin(), id.end());
    }
    usb_ = PlugUsbDevice(chip_, options_.usb);
    const std::u16string& key = usb_->DeviceKeyPath();
    CreateRegistryKey(key);
    if (options_.portName) SetRegistryString(key, u"PortName", *options_.portName);
    if (options_.identifier) SetRegistryString(key, u"Identifier", *options_.identifier);
    if (options_.skipExternalNaming) SetRegistryDword(key, u"SerialSkipExternalNaming", *options_.skipExternalNaming);
    if (options_.multiportDevice) SetRegistryDword(key, u"MultiportDevice", *options_.multiportDevice);
}

Adapter::~Adapter() = default;

const std::u16string& Adapter::DeviceKeyPath() const { return usb_->DeviceKeyPath(); }
PDEVICE_OBJECT Adapter::Pdo() const { return usb_->Pdo(); }
PDEVICE_OBJECT Adapter::Fdo() const { return FunctionDevice(usb_->Pdo()); }
PortExtension* Adapter::Port() const {
    PDEVICE_OBJECT fdo = Fdo();
    return fdo ? PortOf(fdo) : nullptr;
}
bool Adapter::Present() const { return Fdo() != nullptr; }

void Workbench::Unwire(const Adapter& adapter) {
    for (auto it = wires_.begin(); it != wires_.end();) {
        if (it->a == &adapter || it->b == &adapter)
            it = wires_.erase(it);
        else
            ++it;
    }
}

NullModemCable& Workbench::ConnectNullModem(Adapter& a, Adapter& b) {
    Unwire(a);
    Unwire(b);
    auto cable = std::make_shared<NullModemCable>(a.Chip(), b.Chip());
    wires_.push_back({&a, &b, cable});
    return *cable;
}

LoopbackPlug& Adapter::PlugLoopback(LoopbackWiring wiring) {
    bench_.Unwire(*this);
    auto plug = std::make_shared<LoopbackPlug>(*chip_, wiring);
    bench_.wires_.push_back({this, nullptr, plug});
    return *plug;
}

ScriptedPeer& Adapter::AttachPeer(PeerOptions options) {
    bench_.Unwire(*this);
    auto peer = std::make_shared<ScriptedPeer>(*chip_, std::move(options));
    bench_.wires_.push_back({this, nullptr, peer});
    return *peer;
}

void Adapter::Unwire() { bench_.Unwire(*this); }

NTSTATUS Adapter::Plug() {
    bench_.ReloadDriverIfUnloaded();
    return PlugDevice(bench_.Driver(), usb_->Pdo());
}

NTSTATUS Adapter::Rebalance() { return RebalanceDevice(usb_->Pdo()); }
NTSTATUS Adapter::Stop() { return StopDevice(usb_->Pdo()); }
NTSTATUS Adapter::Start() { return StartDevice(usb_->Pdo()); }

NTSTATUS Adapter::Remove() { return RemoveDevice(usb_->Pdo()); }

NTSTATUS Adapter::SurpriseRemove(bool thenRemove) {
    usb_->Unplug();
    NTSTATUS status = SurpriseRemoveDevice(usb_->Pdo());
    if (thenRemove) {
        NTSTATUS removal = FinishSurpriseRemoval(usb_->Pdo());
        if (NT_SUCCESS(status)) status = removal;
    }
    return status;
}

}  // namespace sim
