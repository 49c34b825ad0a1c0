// The adapter's physical device object: what the hub does when a device is
// plugged in (reset, descriptors, identifiers, registry keys), the Plug and Play
// and power requests a bus driver answers for its child, and the host API.
#include "usb_internal.h"

#include <sim/pnp.h>
#include <sim/registry.h>
#include <sim/verifier.h>
#include <simnt/usbioctl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

constexpr ULONG kPortEnabled = 0x1;  // IOCTL_INTERNAL_USB_GET_PORT_STATUS bits
constexpr ULONG kPortConnected = 0x2;

// The DEVICE_RELATIONS record the Plug and Play manager expects for
// TargetDeviceRelation: a count and that many referenced device objects.
struct TargetRelations {
    ULONG Count;
    PDEVICE_OBJECT Objects[1];
};

std::vector<UsbDevice::Impl*>& LiveDevices() {
    static std::vector<UsbDevice::Impl*> devices;
    return devices;
}

// The lowest number from 1 up that no existing device of simulation `sim`
// holds, `holds(device, n)` saying whether a device holds n.
template <typename Holds>
int LowestFree(const void* sim, Holds holds) {
    auto taken = [&](int n) {
        for (auto* d : LiveDevices())
            if (d->sim == sim && holds(*d, n)) return true;
        return false;
    };
    int n = 1;
    while (taken(n)) ++n;
    return n;
}

std::u16string Widen(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

std::u16string Format(const char* format, unsigned a, unsigned b = 0, unsigned c = 0) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, a, b, c);
    return Widen(buf);
}

// Characters a bus may put in a device identifier.
bool ValidIdText(const std::u16string& s) {
    if (s.empty())
        return false;
    return std::all_of(s.begin(), s.end(),
                       [](char16_t c) { return c > 0x20 && c < 0x7F && c != u','; });
}

PWSTR PoolStrings(const std::vector<std::u16string>& strings, bool multi) {
    size_t chars = multi ? 1 : 0;
    for (const auto& s : strings)
        chars += s.size() + 1;
    auto* out =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kUsbBusPoolTag));
    if (!out)
        return nullptr;
    PWSTR p = out;
    for (const auto& s : strings) {
        std::copy(s.begin(), s.end(), p);
        p += s.size();
        *p++ = 0;
    }
    if (multi)
        *p = 0;
    return out;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Power requests end here. The bus releases the next query-power or set-power
// request before it completes this one, as Windows 2000 to Server 2003 require
// of the driver that completes it.
NTSTATUS FinishPowerIrp(PIRP irp, NTSTATUS status) {
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER)
        PoStartNextPowerIrp(irp);
    return Complete(irp, status);
}

VOID NTAPI CancelWaitWake(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    UsbDevice::Impl* impl = ImplOf(device);
    if (impl && impl->waitWake == irp)
        impl->waitWake = nullptr;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

Ticks NextFrameAfter(Ticks t) {
    return (t / kUsbFrame + 1) * kUsbFrame;
}

UsbDevice::Impl* ImplOf(PDEVICE_OBJECT pdo) {
    if (!pdo || !pdo->DeviceExtension)
        return nullptr;
    return *static_cast<UsbDevice::Impl**>(pdo->DeviceExtension);
}

UsbDevice::Impl::Impl(std::shared_ptr<UsbFunction> fn, const UsbDeviceConfig& cfg)
    : sim(&Simulation::Current()), function(std::move(fn)), config(cfg) {
    capture = config.capture ? config.capture : std::make_shared<UsbCapture>();
    control.address = 0;
    control.type = USB_ENDPOINT_TYPE_CONTROL;
    control.maxPacket = 8;
}

UsbDevice::Impl::~Impl() {
    DeletePdo();
    auto& devices = LiveDevices();
    devices.erase(std::remove(devices.begin(), devices.end(), this), devices.end());
}

std::string DeviceName(uint8_t address) {
    return "dev " + std::to_string(address);
}

void* UsbDevice::Impl::NewHandle() {
    handles.push_back(std::make_unique<uint64_t>(handles.size()));
    return handles.back().get();
}

// What the hub reads before it reports the device: the device descriptor (its
// endpoint 0 packet size sets the control pipe), the whole configuration
// descriptor, and the serial number when there is one.
void UsbDevice::Impl::Enumerate() {
    function->BusReset();
    std::vector<uint8_t> data;
    SetupPacket s;
    s.bmRequestType = 0x80;
    s.bRequest = USB_REQUEST_GET_DESCRIPTOR;
    s.wValue = USB_DEVICE_DESCRIPTOR_TYPE << 8;
    s.wLength = sizeof(USB_DEVICE_DESCRIPTOR);
    if (function->Control(s, data) == Handshake::Ack &&
        data.size() >= sizeof(USB_DEVICE_DESCRIPTOR)) {
        data.resize(sizeof(USB_DEVICE_DESCRIPTOR));
        deviceDescriptor = data;
        uint8_t packet = data[7];
        control.maxPacket =
            packet == 8 || packet == 16 || packet == 32 || packet == 64 ? packet : 8;
    }
    data.clear();
    s.wValue = USB_CONFIGURATION_DESCRIPTOR_TYPE << 8;
    s.wLength = sizeof(USB_CONFIGURATION_DESCRIPTOR);
    if (function->Control(s, data) == Handshake::Ack &&
        data.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        s.wLength = static_cast<uint16_t>(data[2] | data[3] << 8);
        data.clear();
        if (function->Control(s, data) == Handshake::Ack &&
            data.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR))
            configurationDescriptor = data;
    }
    if (deviceDescriptor.size() == sizeof(USB_DEVICE_DESCRIPTOR) && deviceDescriptor[16] != 0) {
        data.clear();
        s.wValue = static_cast<uint16_t>(USB_STRING_DESCRIPTOR_TYPE << 8 | deviceDescriptor[16]);
        s.wIndex = 0x0409;
        s.wLength = 255;
        if (function->Control(s, data) == Handshake::Ack && data.size() >= 2 &&
            data[1] == USB_STRING_DESCRIPTOR_TYPE) {
            size_t end = std::min<size_t>(data[0], data.size());
            for (size_t i = 2; i + 1 < end; i += 2)
                serialNumber += static_cast<char16_t>(data[i] | data[i + 1] << 8);
        }
    }
}

void UsbDevice::Impl::DeriveIdentifiers() {
    std::u16string id;
    std::vector<std::u16string> hw, compat;
    if (deviceDescriptor.size() == sizeof(USB_DEVICE_DESCRIPTOR)) {
        const auto& d = deviceDescriptor;
        unsigned vid = d[8] | d[9] << 8, pid = d[10] | d[11] << 8, rev = d[12] | d[13] << 8;
        id = Format("USB\\VID_%04X&PID_%04X", vid, pid);
        hw = {id + Format("&REV_%04X", rev), id};
        // A device that leaves its class to its interface is known by the first one.
        unsigned cls = d[4], sub = d[5], proto = d[6];
        const auto& c = configurationDescriptor;
        if (cls == 0) {
            for (size_t i = 0; i + 9 <= c.size() && c[i] >= 2; i += c[i]) {
                if (c[i + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
                    cls = c[i + 5], sub = c[i + 6], proto = c[i + 7];
                    break;
                }
            }
        }
        compat = {Format("USB\\Class_%02X&SubClass_%02X&Prot_%02X", cls, sub, proto),
                  Format("USB\\Class_%02X&SubClass_%02X", cls, sub),
                  Format("USB\\Class_%02X", cls)};
    } else {
        // What the hub reports for a device that would not give its descriptor.
        id = u"USB\\DEVICE_DESCRIPTOR_FAILURE";
        hw = {id};
    }
    hardwareIds = config.hardwareIds.empty() ? hw : config.hardwareIds;
    compatibleIds = config.compatibleIds.empty() ? compat : config.compatibleIds;
    deviceId = config.deviceId.empty() ? id : config.deviceId;
    if (!config.instanceId.empty())
        instanceId = config.instanceId;
    else if (ValidIdText(serialNumber))
        instanceId = serialNumber;
    else
        instanceId = Format("%u&%u", config.bus, address);
    deviceKeyPath = !config.deviceKeyPath.empty()
                        ? config.deviceKeyPath
                        : u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + deviceId +
                              u"\\" + instanceId + u"\\Device Parameters";
}

void UsbDevice::Impl::CreatePdo() {
    std::u16string name = config.deviceName.empty()
                              ? u"\\Device\\USBPDO-" + Widen(std::to_string(pdoNumber))
                              : config.deviceName;
    driver = CreateSimDriver("usb bus (" + Narrow(name) + ")");
    pdo = CreateSimDevice(driver, name, sizeof(Impl*));
    *static_cast<Impl**>(pdo->DeviceExtension) = this;
    pdo->DeviceType = FILE_DEVICE_UNKNOWN;
    pdo->Characteristics = FILE_AUTOGENERATED_DEVICE_NAME;
    pdo->Flags |= DO_POWER_PAGABLE;
    SetSimDispatch(driver, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                   [this](PDEVICE_OBJECT, PIRP irp) { return DispatchInternalControl(irp); });
    SetSimDispatch(driver, IRP_MJ_PNP,
                   [this](PDEVICE_OBJECT, PIRP irp) { return DispatchPnp(irp); });
    SetSimDispatch(driver, IRP_MJ_POWER,
                   [this](PDEVICE_OBJECT, PIRP irp) { return DispatchPower(irp); });
    // WMI is not the bus's business: the request ends here untouched.
    SetSimDispatch(driver, IRP_MJ_SYSTEM_CONTROL,
                   [](PDEVICE_OBJECT, PIRP irp) NTAPI { return Complete(irp, irp->IoStatus.Status); });
    NameUrbCancelRoutine();
    NameRoutine(reinterpret_cast<const void*>(&CancelWaitWake),
                "simulated USB bus: CancelWaitWake");
    SetDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, deviceKeyPath);
    // Device interfaces are named after the device instance path.
    SetDeviceInstancePath(pdo, deviceId + u"\\" + instanceId);
    if (!config.driverKeyPath.empty())
        SetDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, config.driverKeyPath);
}

void UsbDevice::Impl::DeletePdo() {
    if (!pdo)
        return;
    // When the simulation has already ended it took its device objects with it.
    if (!Simulation::Exists() || &Simulation::Current() != sim)
        return;
    if (frameEvent)
        sim->CancelScheduled(frameEvent);
    for (auto& [id, t] : live) {
        if (t->deliveryEvent)
            sim->CancelScheduled(t->deliveryEvent);
    }
    if (!live.empty()) {
        bool expected = Verifier::Violation(
            Rule::DeviceDeletedWithIrps,
            "USB device object of " + DeviceName(address) + " deleted while " + std::to_string(live.size()) +
                " URB(s) are outstanding, the first " +
                UrbFunctionName(live.begin()->second->urb->UrbHeader.Function));
        // A test that expects the violation gets its requests back as the bus
        // would have returned them: the device is gone.
        if (expected) {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            while (!live.empty()) {
                live.begin()->second->result = USBD_STATUS_DEVICE_GONE;
                Deliver(live.begin()->first);
            }
            KeLowerIrql(old);
        }
    }
    CompleteWaitWake(STATUS_NO_SUCH_DEVICE);
    if (pdo->AttachedDevice) {
        Verifier::Violation(
            Rule::BadParameter,
            "USB device object of " + DeviceName(address) + " deleted while a device is still attached to it");
    }
    if (connected)
        function->SetReadyListener(nullptr);
    ForgetDeviceRegistryKeys(pdo);
    DeleteSimDevice(pdo);
    pdo = nullptr;
}

// A reset leaves the device in its default state: unconfigured, nothing halted.
void UsbDevice::Impl::ResetBusState() {
    CloseConfiguration(USBD_STATUS_CANCELED);
    control.naking = false;
    control.halted = false;
    if (connected)
        function->BusReset();
}

void UsbDevice::Impl::GoAway() {
    if (!connected)
        return;
    connected = false;
    function->SetReadyListener(nullptr);
    for (auto& [id, t] : live) {
        if (t->result == USBD_STATUS_PENDING)
            Retire(*t, USBD_STATUS_DEVICE_GONE, NextFrameAfter(sim->Now()));
    }
    CompleteWaitWake(STATUS_NO_SUCH_DEVICE);
}

void UsbDevice::Impl::CompleteWaitWake(NTSTATUS status) {
    PIRP irp = waitWake;
    if (!irp)
        return;
    // A null answer means the cancel routine has the request.
    if (!IoSetCancelRoutine(irp, nullptr))
        return;
    waitWake = nullptr;
    FinishPowerIrp(irp, status);
}

// Left armed when the request ends: the function driver may have armed it
// itself, and a resume signal with no wait-wake pending wakes nothing.
bool UsbDevice::Impl::ArmRemoteWakeup() {
    SetupPacket s;
    s.bmRequestType = 0x00;
    s.bRequest = USB_REQUEST_SET_FEATURE;
    s.wValue = USB_FEATURE_REMOTE_WAKEUP;
    std::vector<uint8_t> data;
    return function->Control(s, data) == Handshake::Ack;
}

void UsbDevice::Impl::RemoteWakeup() {
    std::weak_ptr<bool> alive = this->alive;
    sim->Schedule(
        0, "USB remote wake-up",
        [this, alive] {
            if (!alive.lock())
                return;
            CompleteWaitWake(STATUS_SUCCESS);
        },
        true);
}

Ticks UsbDevice::Impl::PowerLatencyFor(const IO_STACK_LOCATION& sp) const {
    if (powerLatency >= 0)
        return powerLatency;
    if (sp.MinorFunction == IRP_MN_SET_POWER && sp.Parameters.Power.Type == DevicePowerState)
        return sp.Parameters.Power.State.DeviceState == PowerDeviceD0 ? kUsbResumeLatency
                                                                      : kUsbSuspendLatency;
    return kUsbFrame;
}

// A suspended port carries nothing: what is still pending comes back cancelled,
// and the function keeps what it holds until the resume.
void UsbDevice::Impl::SuspendPort() {
    if (powerState != PowerDeviceD0)
        return;
    for (auto& [id, t] : live) {
        if (t->result == USBD_STATUS_PENDING)
            Retire(*t, USBD_STATUS_CANCELED, NextFrameAfter(sim->Now()));
    }
    if (connected)
        function->Suspend();
}

void UsbDevice::Impl::ResumePort() {
    if (powerState == PowerDeviceD0)
        return;
    powerState = PowerDeviceD0;
    if (connected)
        function->Resume();
}

NTSTATUS UsbDevice::Impl::DispatchInternalControl(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return SubmitUrb(irp, static_cast<PURB>(sp->Parameters.Others.Argument1));
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
            auto* status = static_cast<PULONG>(sp->Parameters.Others.Argument1);
            if (!status)
                return Complete(irp, STATUS_INVALID_PARAMETER);
            *status = connected && !removed ? kPortEnabled | kPortConnected : 0;
            return Complete(irp, STATUS_SUCCESS);
        }
        default:
            return Complete(irp, STATUS_NOT_SUPPORTED);
    }
}

NTSTATUS UsbDevice::Impl::DispatchPnp(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;  // what a bus leaves for requests it does not answer
    switch (sp->MinorFunction) {
        case IRP_MN_START_DEVICE:
            ResetBusState();
            started = true;
            removed = false;
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_STOP_DEVICE:
            CloseConfiguration(USBD_STATUS_CANCELED);
            started = false;
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            GoAway();
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE:
            // URBs still pending here are the function driver's to have cancelled;
            // deleting the PDO reports them.
            removed = true;
            started = false;
            CompleteWaitWake(STATUS_NO_SUCH_DEVICE);
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
            if (!caps || caps->Size < sizeof(DEVICE_CAPABILITIES) || caps->Version < 1) {
                status = STATUS_UNSUCCESSFUL;
                break;
            }
            const UsbDeviceCapabilities& c = config.capabilities;
            caps->DeviceD1 = c.deviceD1;
            caps->DeviceD2 = c.deviceD2;
            caps->WakeFromD0 = c.wakeFromD0;
            caps->WakeFromD1 = c.wakeFromD1;
            caps->WakeFromD2 = c.wakeFromD2;
            caps->WakeFromD3 = c.wakeFromD3;
            caps->Removable = c.removable;
            caps->SurpriseRemovalOK = c.surpriseRemovalOK;
            caps->UniqueID = c.uniqueId;
            caps->Address = address;
            caps->UINumber = address;
            for (int i = 0; i < PowerSystemMaximum; ++i)
                caps->DeviceState[i] = c.deviceState[static_cast<size_t>(i)];
            caps->SystemWake = c.systemWake;
            caps->DeviceWake = c.deviceWake;
            caps->D1Latency = c.d1Latency;
            caps->D2Latency = c.d2Latency;
            caps->D3Latency = c.d3Latency;
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_ID: {
            // The buffer is paged pool the Plug and Play manager frees.
            PWSTR answer = nullptr;
            bool asked = true;
            switch (sp->Parameters.QueryId.IdType) {
                case BusQueryDeviceID:
                    answer = PoolStrings({deviceId}, false);
                    break;
                case BusQueryInstanceID:
                    answer = PoolStrings({instanceId}, false);
                    break;
                case BusQueryHardwareIDs:
                    asked = !hardwareIds.empty();
                    if (asked)
                        answer = PoolStrings(hardwareIds, true);
                    break;
                case BusQueryCompatibleIDs:
                    asked = !compatibleIds.empty();
                    if (asked)
                        answer = PoolStrings(compatibleIds, true);
                    break;
                default:
                    asked = false;
                    break;
            }
            if (!asked)
                break;
            if (!answer) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                irp->IoStatus.Information = 0;
                break;
            }
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS: {
            if (sp->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation)
                break;
            auto* relations = static_cast<TargetRelations*>(
                ExAllocatePoolWithTag(PagedPool, sizeof(TargetRelations), kUsbBusPoolTag));
            if (!relations) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            relations->Count = 1;
            relations->Objects[0] = pdo;
            ObReferenceObject(pdo);
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_DEVICE_TEXT: {
            const std::u16string& text =
                sp->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription
                    ? config.description
                    : config.locationInformation;
            if (text.empty())
                break;
            PWSTR answer = PoolStrings({text}, false);
            if (!answer) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
            status = STATUS_SUCCESS;
            break;
        }
        default:
            break;
    }
    return Complete(irp, status);
}

NTSTATUS UsbDevice::Impl::DispatchPower(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
        case IRP_MN_WAIT_WAKE: {
            const UsbDeviceCapabilities& c = config.capabilities;
            if (!connected || removed)
                return FinishPowerIrp(irp, STATUS_NO_SUCH_DEVICE);
            if (c.systemWake == PowerSystemUnspecified || c.deviceWake == PowerDeviceUnspecified)
                return FinishPowerIrp(irp, STATUS_NOT_SUPPORTED);
            if (sp->Parameters.WaitWake.PowerState > c.systemWake)
                return FinishPowerIrp(irp, STATUS_INVALID_DEVICE_STATE);
            if (waitWake)
                return FinishPowerIrp(irp, STATUS_DEVICE_BUSY);
            // A device that cannot signal resume cannot wake anything.
            if (!ArmRemoteWakeup())
                return FinishPowerIrp(irp, STATUS_NOT_SUPPORTED);
            // Held until the device signals wake-up, the request is cancelled, or
            // the device goes.
            IoMarkIrpPending(irp);
            waitWake = irp;
            IoSetCancelRoutine(irp, CancelWaitWake);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
                waitWake = nullptr;
                FinishPowerIrp(irp, STATUS_CANCELLED);
            }
            return STATUS_PENDING;
        }
        case IRP_MN_SET_POWER:
        case IRP_MN_QUERY_POWER: {
            NTSTATUS status = powerResponder ? powerResponder(*sp) : STATUS_SUCCESS;
            const bool change = sp->MinorFunction == IRP_MN_SET_POWER && NT_SUCCESS(status) &&
                                sp->Parameters.Power.Type == DevicePowerState;
            const DEVICE_POWER_STATE state = sp->Parameters.Power.State.DeviceState;
            // Going down, the port stops carrying transfers at once; coming up,
            // the device is usable only once the resume is over.
            const bool suspend = change && state != PowerDeviceD0;
            const bool resume = change && state == PowerDeviceD0;
            if (suspend)
                SuspendPort();
            const Ticks latency = PowerLatencyFor(*sp);
            if (latency <= 0) {
                if (resume)
                    ResumePort();
                if (suspend)
                    powerState = state;
                return FinishPowerIrp(irp, status);
            }
            if (suspend)
                powerState = state;
            // The hub takes its time (a port resumes, a device settles): the
            // request completes later, at DISPATCH_LEVEL.
            IoMarkIrpPending(irp);
            std::weak_ptr<bool> alive = this->alive;
            sim->Schedule(
                latency, "USB power request",
                [this, alive, irp, status, resume] {
                    if (!alive.lock())
                        return;
                    if (resume)
                        ResumePort();
                    FinishPowerIrp(irp, status);
                },
                true);
            return STATUS_PENDING;
        }
        default:
            return FinishPowerIrp(irp, irp->IoStatus.Status);
    }
}

// ---------------------------------------------------------------------------
// Host API

std::unique_ptr<UsbDevice> PlugUsbDevice(std::shared_ptr<UsbFunction> function,
                                         const UsbDeviceConfig& config) {
    if (!function)
        return nullptr;
    auto impl = std::make_unique<UsbDevice::Impl>(std::move(function), config);
    impl->address = config.address;
    if (impl->address == 0) {
        // The lowest of the bus's addresses 1-127 that no connected device
        // holds: a device pulled out gives its address back, as on a real bus.
        constexpr int kHighestAddress = 127;
        const int address = LowestFree(impl->sim, [&](const UsbDevice::Impl& d, int a) {
            return d.connected && d.config.bus == config.bus && d.address == a;
        });
        if (address > kHighestAddress) {
            std::fprintf(stderr, "sim: USB bus %d has no free address: %d devices are connected to it\n",
                         static_cast<int>(config.bus), kHighestAddress);
            std::abort();
        }
        impl->address = static_cast<uint8_t>(address);
    }
    impl->pdoNumber = LowestFree(impl->sim, [](const UsbDevice::Impl& d, int n) { return d.pdoNumber == n; });
    LiveDevices().push_back(impl.get());
    UsbDevice::Impl* raw = impl.get();
    std::weak_ptr<bool> alive = impl->alive;
    raw->function->SetReadyListener([raw, alive](uint8_t endpoint) {
        if (alive.lock())
            raw->EndpointReady(endpoint);
    });
    raw->function->SetWakeListener([raw, alive] {
        if (alive.lock())
            raw->RemoteWakeup();
    });
    raw->Enumerate();
    raw->DeriveIdentifiers();
    raw->CreatePdo();
    return std::unique_ptr<UsbDevice>(new UsbDevice(std::move(impl)));
}

UsbDevice::UsbDevice(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
UsbDevice::~UsbDevice() = default;

PDEVICE_OBJECT UsbDevice::Pdo() const {
    return impl_->pdo;
}
uint16_t UsbDevice::Bus() const {
    return impl_->config.bus;
}
uint8_t UsbDevice::Address() const {
    return impl_->address;
}
UsbFunction& UsbDevice::Function() const {
    return *impl_->function;
}
UsbCapture& UsbDevice::Capture() const {
    return *impl_->capture;
}
std::shared_ptr<UsbCapture> UsbDevice::SharedCapture() const {
    return impl_->capture;
}
const std::vector<uint8_t>& UsbDevice::DeviceDescriptor() const {
    return impl_->deviceDescriptor;
}
const std::vector<uint8_t>& UsbDevice::ConfigurationDescriptor() const {
    return impl_->configurationDescriptor;
}
const std::vector<std::u16string>& UsbDevice::HardwareIds() const {
    return impl_->hardwareIds;
}
const std::vector<std::u16string>& UsbDevice::CompatibleIds() const {
    return impl_->compatibleIds;
}
const std::u16string& UsbDevice::DeviceId() const {
    return impl_->deviceId;
}
const std::u16string& UsbDevice::InstanceId() const {
    return impl_->instanceId;
}
const std::u16string& UsbDevice::DeviceKeyPath() const {
    return impl_->deviceKeyPath;
}

void UsbDevice::Unplug() {
    impl_->GoAway();
}
bool UsbDevice::Connected() const {
    return impl_->connected;
}

bool UsbDevice::SignalWake() {
    if (!impl_->waitWake)
        return false;
    impl_->CompleteWaitWake(STATUS_SUCCESS);
    return true;
}

bool UsbDevice::Started() const {
    return impl_->started;
}
bool UsbDevice::Removed() const {
    return impl_->removed;
}
uint8_t UsbDevice::ConfigurationValue() const {
    return impl_->configurationValue;
}
DEVICE_POWER_STATE UsbDevice::PowerState() const {
    return impl_->powerState;
}
size_t UsbDevice::PendingUrbs() const {
    return impl_->live.size();
}

size_t UsbDevice::PendingUrbs(uint8_t endpoint) const {
    size_t n = 0;
    for (auto& [id, t] : impl_->live) {
        if (!t->endpoint)
            continue;
        bool control = t->endpoint == &impl_->control;
        if ((control && endpoint == 0) || (!control && t->endpoint->address == endpoint))
            ++n;
    }
    return n;
}

uint64_t UsbDevice::UrbsSubmitted() const {
    return impl_->urbsSubmitted;
}

void UsbDevice::InjectFault(UrbMatch match, UrbFault fault) {
    impl_->faults.emplace_back(std::move(match), fault);
}

void UsbDevice::FailNext(UrbMatch match, USBD_STATUS status) {
    UrbFault f;
    f.kind = UrbFault::Kind::Fail;
    f.status = status;
    InjectFault(std::move(match), f);
}

void UsbDevice::StallNext(UrbMatch match) {
    UrbFault f;
    f.kind = UrbFault::Kind::Stall;
    InjectFault(std::move(match), f);
}

void UsbDevice::NeverCompleteNext(UrbMatch match) {
    UrbFault f;
    f.kind = UrbFault::Kind::NeverComplete;
    InjectFault(std::move(match), f);
}

void UsbDevice::DelayNext(UrbMatch match, Ticks delay) {
    UrbFault f;
    f.kind = UrbFault::Kind::Delay;
    f.delay = delay;
    InjectFault(std::move(match), f);
}

void UsbDevice::TruncateNext(UrbMatch match, ULONG bytes) {
    UrbFault f;
    f.kind = UrbFault::Kind::Truncate;
    f.truncateTo = bytes;
    InjectFault(std::move(match), f);
}

void UsbDevice::ClearFaults() {
    impl_->faults.clear();
}
void UsbDevice::SetCompletionLatency(Ticks extra) {
    impl_->extraLatency = extra;
}
void UsbDevice::SetPowerResponder(PowerResponder responder) {
    impl_->powerResponder = std::move(responder);
}
void UsbDevice::SetPowerLatency(Ticks latency) {
    impl_->powerLatency = latency;
}

}  // namespace sim
