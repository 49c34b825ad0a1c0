// Driver-wide state and the driver-lifecycle operations other folders call.
#pragma once

#include "driver/port_extension.h"

// One extra baud-rate code: the 32-bit rate value the newer chips are sent for a
// requested baud rate instead of the built-in table's.
struct ExtBaudrateEntry {
    ULONG Baud;
    ULONG RateCode;
};

constexpr LONG kMaxExtBaudrates = 10;

// Driver-wide globals, set up by driver entry.
extern UNICODE_STRING DriverRegistryPath;
extern PVOID PagingLockHandle;
extern ULONG NextDeviceNumber;
extern ExtBaudrateEntry ExtBaudrateList[kMaxExtBaudrates];
extern LONG ExtBaudrateCount;

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_ADD_DEVICE AddDevice;

// Parses the ExtBaudrate value's text ("921600,921600 460800,460800"); answers the
// number of entries to search. An empty text gives one {0, 0} entry; a malformed
// one gives 0. Pure: touches nothing but `list`.
LONG ParseExtBaudrate(const char* text, ULONG length, ExtBaudrateEntry list[kMaxExtBaudrates]);

// Reads ExtBaudrate from the service key into ExtBaudrateList/Count.
NTSTATUS ReadExtBaudrateList(PCUNICODE_STRING registryPath);

// Sets up the parts of a new port extension that must not start at zero.
void InitializePortExtension(PDEVICE_OBJECT device, PortExtension* port);

// --- Naming ----------------------------------------------------------------------
NTSTATUS CreateExternalNames(PortExtension* port);
// Reads a device-key value of at most `capacity` bytes into `data`; a larger value
// is a failure and leaves `data` untouched.
NTSTATUS ReadDeviceKeyValue(HANDLE key, PCWSTR valueName, PVOID data, ULONG capacity);
void UndoExternalNaming(PDEVICE_OBJECT device);
NTSTATUS DeleteDevice(PDEVICE_OBJECT device);

// --- WMI -----------------------------------------------------------------------------
DRIVER_DISPATCH WmiDispatch;
// Writes WmiCommInfo and WmiHardwareConfig from the settings a start has just
// given the port, and zeroes WmiPerfStats.
void InitializeWmiRecords(PortExtension* port);
// Writes the framing values of WmiCommInfo from LineControl. Any IRQL.
void WriteWmiLineControl(PortExtension* port);
// Fills WmiLibInfo and registers the port as a WMI provider (first start only).
void RegisterWithWmi(PortExtension* port);

// --- Plug and Play and start ---------------------------------------------------------
DRIVER_DISPATCH PnpDispatch;
NTSTATUS StartPort(PDEVICE_OBJECT device);
void UpdateStateFlags(PortExtension* port, ULONG* flags, ULONG bits, BOOLEAN set);
NTSTATUS PassDownAndRelease(PortExtension* port, PIRP irp);
void DrainPendingRequests(PortExtension* port, BOOLEAN giveBackInitialHold);
NTSTATUS ForwardAndWait(PortExtension* port, PIRP irp, PKEVENT event);
void ReleasePortResources(PortExtension* port);

// --- Power ---------------------------------------------------------------------------
DRIVER_DISPATCH PowerDispatch;
// Sets up the power state of a new port extension (once, with the device object).
void InitializePower(PortExtension* port);
// Asks the power manager for D0 on the port's stack and waits until the request
// is done (PASSIVE_LEVEL). Answers the status the request ended with, or the
// power manager's refusal to make one. The caller decides whether the device
// needs it.
NTSTATUS RequestDevicePowerD0(PDEVICE_OBJECT physicalDevice, PortExtension* port);
REQUEST_POWER_COMPLETE SystemPowerContinuation;
// Wake-up from the port: asks the power manager for a wait-wake request on the
// port's stack for `systemState` (PASSIVE_LEVEL). Answers STATUS_SUCCESS while
// one is pending (a second call arms nothing more), or why none could be.
NTSTATUS ArmWaitWake(PortExtension* port, SYSTEM_POWER_STATE systemState);
// Cancels the port's wait-wake request, if it has one; returns at once.
void CancelWaitWake(PortExtension* port);
// Waits until no wait-wake callback of the port can run any more.
void WaitForWaitWakeToEnd(PortExtension* port);
REQUEST_POWER_COMPLETE WaitWakeDone;
IO_COMPLETION_ROUTINE WaitWakeComplete;
REQUEST_POWER_COMPLETE PowerRequestDone;
IO_COMPLETION_ROUTINE DevicePowerUpComplete;
