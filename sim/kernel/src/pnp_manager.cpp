// The Plug and Play manager: drives a device stack through its life from a
// system thread, as Windows does, and keeps the device-interface records.
#include "internal.h"

#include <sim/pnp.h>

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

PnpManagerState& Pnp() { return St().pnp; }

// A pending failure of the next interface enable, valid only in the simulation
// that set it.
struct InterfaceEnableFault {
    const Simulation* simulation = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
};
InterfaceEnableFault g_interfaceEnableFault;

bool TakeInterfaceEnableFault(NTSTATUS* status) {
    InterfaceEnableFault& fault = g_interfaceEnableFault;
    if (!fault.simulation || !Simulation::Exists() || fault.simulation != &Simulation::Current())
        return false;
    *status = fault.status;
    fault = {};
    return true;
}

// Virtual time a single Plug and Play request may take before the manager
// reports it as hung.
constexpr Ticks kPnpRequestLimit = 120 * kSecond;

const char* MinorName(UCHAR minor) {
    switch (minor) {
        case IRP_MN_START_DEVICE: return "IRP_MN_START_DEVICE";
        case IRP_MN_QUERY_REMOVE_DEVICE: return "IRP_MN_QUERY_REMOVE_DEVICE";
        case IRP_MN_REMOVE_DEVICE: return "IRP_MN_REMOVE_DEVICE";
        case IRP_MN_CANCEL_REMOVE_DEVICE: return "IRP_MN_CANCEL_REMOVE_DEVICE";
        case IRP_MN_STOP_DEVICE: return "IRP_MN_STOP_DEVICE";
        case IRP_MN_QUERY_STOP_DEVICE: return "IRP_MN_QUERY_STOP_DEVICE";
        case IRP_MN_CANCEL_STOP_DEVICE: return "IRP_MN_CANCEL_STOP_DEVICE";
        case IRP_MN_QUERY_DEVICE_RELATIONS: return "IRP_MN_QUERY_DEVICE_RELATIONS";
        case IRP_MN_QUERY_CAPABILITIES: return "IRP_MN_QUERY_CAPABILITIES";
        case IRP_MN_QUERY_ID: return "IRP_MN_QUERY_ID";
        case IRP_MN_QUERY_PNP_DEVICE_STATE: return "IRP_MN_QUERY_PNP_DEVICE_STATE";
        case IRP_MN_SURPRISE_REMOVAL: return "IRP_MN_SURPRISE_REMOVAL";
        case kUnhandledPnpMinor: return "an unhandled minor function";
        default: return "IRP_MN_?";
    }
}

void InManagerThread(const std::string& what, const std::function<void()>& work) {
    RunInSystemThread("Plug and Play manager (" + what + ")", work, kPnpRequestLimit);
}

// The request as the Plug and Play manager builds it, initialised to
// STATUS_NOT_SUPPORTED as Windows does.
SystemIrpResult CallStack(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(IO_STACK_LOCATION&)>& parameters,
                          ULONG_PTR initialInformation) {
    return SendSystemIrp(pdo, IRP_MJ_PNP, minor, STATUS_NOT_SUPPORTED, initialInformation, parameters);
}

// After a removal every driver above the bus has passed the request down and
// then detached and deleted its device: nothing of the stack is left but the PDO.
void CheckRemovalDuties(PDEVICE_OBJECT pdo, const std::vector<PDEVICE_OBJECT>& stack,
                        const std::vector<PDEVICE_OBJECT>& reached) {
    if (std::find(reached.begin(), reached.end(), pdo) == reached.end()) {
        PDEVICE_OBJECT last = reached.empty() ? nullptr : reached.back();
        Verifier::Violation(Rule::RemoveNotForwarded,
                            "device " + Hex(last) + " completed IRP_MN_REMOVE_DEVICE without passing it down to "
                                                    "the bus driver's device " + Hex(pdo));
    }
    for (PDEVICE_OBJECT device : stack) {
        // A device deleted while files were still open on it is gone as far as
        // the driver is concerned; only its memory waits for their close.
        if (St().io.devices.count(device) && !DeviceDeletePending(device)) {
            Verifier::Violation(Rule::DeviceSurvivedRemoval,
                                "device " + Hex(device) + " still exists after IRP_MN_REMOVE_DEVICE" +
                                    (device == pdo->AttachedDevice ? ", attached to the bus driver's device"
                                                                   : std::string()));
        }
    }
    if (pdo->AttachedDevice && !St().io.devices.count(pdo->AttachedDevice)) {
        // Deleted without IoDetachDevice: IoDeleteDevice reported it already.
        pdo->AttachedDevice = nullptr;
    }
}

void UnloadIfUnused(PDEVICE_OBJECT pdo) {
    auto& drivers = Pnp().functionDrivers;
    auto it = drivers.find(pdo);
    if (it == drivers.end()) return;
    PDRIVER_OBJECT driver = it->second;
    drivers.erase(it);
    UnloadDriverIfUnused(driver);
}

std::u16string GuidText(const GUID& g) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return std::u16string(buf, buf + std::strlen(buf));
}

}  // namespace

PnpResult SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(IO_STACK_LOCATION&)>& parameters,
                  ULONG_PTR initialInformation) {
    std::vector<PDEVICE_OBJECT> stack;
    for (PDEVICE_OBJECT d = pdo->AttachedDevice; d; d = d->AttachedDevice) stack.push_back(d);
    SystemIrpResult r{};
    InManagerThread(MinorName(minor), [&] { r = CallStack(pdo, minor, parameters, initialInformation); });
    if (minor == IRP_MN_REMOVE_DEVICE) CheckRemovalDuties(pdo, stack, r.reached);
    return PnpResult{r.iosb.Status, r.iosb.Information};
}

NTSTATUS PlugDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    NTSTATUS status = STATUS_SUCCESS;
    InManagerThread("add-device", [&] {
        DriverCall call(reinterpret_cast<const void*>(driver->DriverExtension->AddDevice));
        status = CallDriverRoutine(driver->DriverExtension->AddDevice, driver, pdo);
    });
    if (!NT_SUCCESS(status)) return status;
    Pnp().functionDrivers[pdo] = driver;
    PnpResult start = SendPnp(pdo, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(start.status)) {
        // A device that fails to start is removed.
        SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
        UnloadIfUnused(pdo);
        return start.status;
    }
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = MAXULONG;
    caps.UINumber = MAXULONG;
    SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES,
            [&](IO_STACK_LOCATION& sp) { sp.Parameters.DeviceCapabilities.Capabilities = &caps; });
    SendPnp(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
    // A minor function no driver handles, as a verifying kernel sends one: each
    // driver must pass it down with the status the manager gave it.
    SendPnp(pdo, kUnhandledPnpMinor);
    return STATUS_SUCCESS;
}

NTSTATUS StopDevice(PDEVICE_OBJECT pdo) {
    PnpResult query = SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(query.status)) {
        SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE);
        return query.status;
    }
    return SendPnp(pdo, IRP_MN_STOP_DEVICE).status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_START_DEVICE).status; }

NTSTATUS RebalanceDevice(PDEVICE_OBJECT pdo) {
    NTSTATUS status = StopDevice(pdo);
    if (!NT_SUCCESS(status)) return status;
    return StartDevice(pdo);
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo) {
    PnpResult query = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(query.status)) {
        SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        return query.status;
    }
    NTSTATUS status = SendPnp(pdo, IRP_MN_REMOVE_DEVICE).status;
    UnloadIfUnused(pdo);
    return status;
}

NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL).status; }

namespace {

// File objects still open on any device of the PDO's stack.
int OpenFilesOnStack(PDEVICE_OBJECT pdo) {
    int open = 0;
    for (PDEVICE_OBJECT d = pdo; d; d = d->AttachedDevice) open += OpenFileCount(d);
    return open;
}

NTSTATUS SendRemovalNow(PDEVICE_OBJECT pdo) {
    NTSTATUS status = SendPnp(pdo, IRP_MN_REMOVE_DEVICE).status;
    UnloadIfUnused(pdo);
    return status;
}

}  // namespace

NTSTATUS FinishSurpriseRemoval(PDEVICE_OBJECT pdo) {
    // After a surprise removal Windows sends IRP_MN_REMOVE_DEVICE only once every
    // handle to the device is closed: until then the drivers keep their device
    // objects, and the handles' cleanup and close still reach them.
    if (OpenFilesOnStack(pdo) > 0) {
        Pnp().removalsAwaitingClose.insert(pdo);
        return STATUS_PENDING;
    }
    return SendRemovalNow(pdo);
}

void NoteFilesClosedOnStack(PDEVICE_OBJECT device) {
    auto& waiting = Pnp().removalsAwaitingClose;
    for (PDEVICE_OBJECT pdo : std::vector<PDEVICE_OBJECT>(waiting.begin(), waiting.end())) {
        bool inStack = false;
        for (PDEVICE_OBJECT d = pdo; d; d = d->AttachedDevice) inStack = inStack || d == device;
        if (!inStack || OpenFilesOnStack(pdo) > 0) continue;
        waiting.erase(pdo);
        // The manager's own worker does it, after the close that let it go.
        Simulation::Current().CreateThread("Plug and Play manager (removal after the last close)",
                                           [pdo] { SendRemovalNow(pdo); });
    }
}

bool UnloadDriverIfUnused(PDRIVER_OBJECT driver) {
    if (driver->DeviceObject) return false;
    for (auto& [pdo, d] : Pnp().functionDrivers) {
        if (d == driver) return false;
    }
    UnloadDriver(driver);
    return true;
}

PDEVICE_OBJECT FunctionDevice(PDEVICE_OBJECT pdo) { return pdo->AttachedDevice ? TopOfStack(pdo) : nullptr; }

void SetDeviceInstancePath(PDEVICE_OBJECT pdo, const std::u16string& path) { Pnp().instancePaths[pdo] = path; }

std::u16string DeviceInstancePath(PDEVICE_OBJECT pdo) {
    auto it = Pnp().instancePaths.find(pdo);
    return it == Pnp().instancePaths.end() ? std::u16string() : it->second;
}

std::vector<DeviceInterfaceRecord> DeviceInterfaces() {
    std::vector<DeviceInterfaceRecord> out;
    for (auto& e : Pnp().interfaces) out.push_back({e.symbolicLink, e.pdo, e.interfaceClass, e.enabled});
    return out;
}

void CheckWmiAtDeviceDeletion(PDEVICE_OBJECT device) {
    ForgetWmiProvider(device);
    auto& interfaces = Pnp().interfaces;
    interfaces.erase(std::remove_if(interfaces.begin(), interfaces.end(),
                                    [&](const DeviceInterfaceEntry& e) { return e.pdo == device; }),
                     interfaces.end());
    Pnp().instancePaths.erase(device);
}

void FailNextInterfaceEnable(NTSTATUS status) {
    g_interfaceEnableFault = NT_SUCCESS(status)
                                 ? InterfaceEnableFault{}
                                 : InterfaceEnableFault{&Simulation::Current(), status};
}

}  // namespace sim

using namespace sim;

extern "C" {

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) { SIM_DDI();
    if (!RequireIrql("IoRegisterDeviceInterface", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
    std::u16string instance = DeviceInstancePath(PhysicalDeviceObject);
    if (instance.empty()) return STATUS_INVALID_DEVICE_REQUEST;
    // "\??\" + the instance path with '#' for '\' + "#{class}", as Windows names it.
    std::u16string link = u"\\??\\";
    for (char16_t c : instance) link += c == u'\\' ? u'#' : c;
    link += u"#" + GuidText(*InterfaceClassGuid);
    if (ReferenceString && ReferenceString->Length) {
        link += u"\\" + std::u16string(ReferenceString->Buffer, ReferenceString->Length / sizeof(WCHAR));
    }
    auto& interfaces = Pnp().interfaces;
    auto existing = std::find_if(interfaces.begin(), interfaces.end(),
                                 [&](const DeviceInterfaceEntry& e) { return e.symbolicLink == link; });
    if (existing == interfaces.end()) {
        interfaces.push_back({link, PhysicalDeviceObject, *InterfaceClassGuid, false});
    }
    // The caller owns the returned string and frees it with RtlFreeUnicodeString.
    size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, 0x20206F49 /* "Io  " */));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    std::copy(link.begin(), link.end(), buffer);
    buffer[link.size()] = 0;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) { SIM_DDI();
    if (!RequireIrql("IoSetDeviceInterfaceState", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
    if (!SymbolicLinkName || !SymbolicLinkName->Buffer) return STATUS_INVALID_PARAMETER;
    std::u16string link(SymbolicLinkName->Buffer, SymbolicLinkName->Length / sizeof(WCHAR));
    for (auto& e : Pnp().interfaces) {
        if (e.symbolicLink != link) continue;
        NTSTATUS fault;
        if (Enable && TakeInterfaceEnableFault(&fault)) return fault;
        if (Enable && e.enabled) return 0x40000000L;  // STATUS_OBJECT_NAME_EXISTS
        e.enabled = Enable != FALSE;
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"
