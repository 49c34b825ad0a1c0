// The simulated Plug and Play manager: it drives a device stack the way Windows
// does — add-device, start, rebalance, removal, surprise removal — from its own
// system thread at PASSIVE_LEVEL, and unloads a driver when its last device is
// gone. Also the device-interface records it keeps; WMI registrations are in
// <sim/wmi.h>.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <simnt/wdm.h>

namespace sim {

// What a Plug and Play request came back with.
struct PnpResult {
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    ULONG_PTR information = 0;
};

// A minor function no driver handles. PlugDevice sends it once the device has
// started, as a verifying kernel does: every driver must pass it down with the
// status it came with (STATUS_NOT_SUPPORTED), and the verifier checks that.
constexpr UCHAR kUnhandledPnpMinor = 0xFF;

// Sends one Plug and Play request to the top of the PDO's stack from the Plug and
// Play manager's thread and waits for it. IoStatus starts as STATUS_NOT_SUPPORTED,
// as Windows initialises it. `parameters` fills the stack location.
// A removal is checked when it is done: it must have reached the PDO, and every
// device that was above it must be detached and deleted.
PnpResult SendPnp(PDEVICE_OBJECT pdo, UCHAR minor,
                  const std::function<void(IO_STACK_LOCATION&)>& parameters = nullptr,
                  ULONG_PTR initialInformation = 0);

// The steps of a device's life, each answering the status of the request that
// decided it (a refused query leaves the device as it was, with the cancel sent).
NTSTATUS PlugDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);  // add-device, start, queries, probe
NTSTATUS RebalanceDevice(PDEVICE_OBJECT pdo);                    // query-stop, stop, start
NTSTATUS StopDevice(PDEVICE_OBJECT pdo);                         // query-stop, stop (no restart)
NTSTATUS StartDevice(PDEVICE_OBJECT pdo);                        // start after a stop
NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo);                       // query-remove, remove
NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT pdo);               // surprise removal only
// The removal that follows a surprise removal. While files are open on the
// stack it waits, as on Windows, and answers STATUS_PENDING: the manager sends
// it from its own thread once the last of them has been closed.
NTSTATUS FinishSurpriseRemoval(PDEVICE_OBJECT pdo);
// Unloads the driver once no device object of it is left; answers whether it did.
bool UnloadDriverIfUnused(PDRIVER_OBJECT driver);

// The function device object above the PDO (the top of its stack), or null.
PDEVICE_OBJECT FunctionDevice(PDEVICE_OBJECT pdo);

// Device instance path of a PDO ("USB\VID_xxxx&PID_xxxx\serial"), set by the bus
// that created it; device interfaces are named after it.
void SetDeviceInstancePath(PDEVICE_OBJECT pdo, const std::u16string& path);
std::u16string DeviceInstancePath(PDEVICE_OBJECT pdo);

struct DeviceInterfaceRecord {
    std::u16string symbolicLink;  // as IoRegisterDeviceInterface answered it
    PDEVICE_OBJECT pdo;
    GUID interfaceClass;
    bool enabled;
};
std::vector<DeviceInterfaceRecord> DeviceInterfaces();
// Fault injection: the next IoSetDeviceInterfaceState that enables a registered
// interface answers `status` and leaves it disabled; a success status clears it.
void FailNextInterfaceEnable(NTSTATUS status);

}  // namespace sim
