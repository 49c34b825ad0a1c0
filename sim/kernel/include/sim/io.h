// The simulated I/O manager as tests and tools see it: load a driver, send any
// IRP to a device and watch its completion, cancel it, and declare what the
// verifier should know about the driver (its lock order, its routines' names).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <simnt/wdm.h>

namespace sim {

// What became of an IRP a test sent: filled in when the IRP completes.
struct IrpResult {
    NTSTATUS returned = STATUS_PENDING;  // what the dispatch routine answered
    bool completed = false;
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    CCHAR boost = 0;
    bool pendingReturned = false;
    std::vector<uint8_t> output;  // buffered output copied back, Information bytes
    PIRP irp = nullptr;           // valid until completion
};
using IrpHandle = std::shared_ptr<IrpResult>;

struct IrpSetup {
    UCHAR major = IRP_MJ_DEVICE_CONTROL;
    UCHAR minor = 0;
    // Fills the rest of the driver's stack location (Parameters.*).
    std::function<void(IO_STACK_LOCATION&)> parameters;
    // Buffered I/O: the system buffer gets the input and room for the output;
    // no buffer at all when both are empty, as the I/O manager does.
    std::vector<uint8_t> input;
    ULONG outputLength = 0;
    PFILE_OBJECT fileObject = nullptr;
};

// Sends an IRP to `device` from the current thread: the dispatch routine runs at
// once; the handle tells what it returned and, later, how the IRP completed.
IrpHandle SendIrp(PDEVICE_OBJECT device, const IrpSetup& request);
// A METHOD_BUFFERED device control (internal ones with `internal`).
IrpHandle DeviceIoControl(PDEVICE_OBJECT device, ULONG code, std::vector<uint8_t> input,
                          ULONG outputLength, bool internal = false);
// IoCancelIrp on a request that has not completed yet; answers what it answered.
bool CancelIrp(const IrpHandle& handle);

template <typename T>
std::vector<uint8_t> Bytes(const T& value) {
    auto p = reinterpret_cast<const uint8_t*>(&value);
    return std::vector<uint8_t>(p, p + sizeof(T));
}

// Loads a driver: builds its driver object and registry path
// (\Registry\Machine\System\CurrentControlSet\Services\<service>) and calls its
// entry point at PASSIVE_LEVEL. On failure the driver object is gone.
PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const std::u16string& service,
                          NTSTATUS* status);
// Calls the driver's unload routine; every pool block still allocated then is a
// leak, and every device object still present is an error.
void UnloadDriver(PDRIVER_OBJECT driver);
std::u16string ServiceKeyPath(const std::u16string& service);

// A device object owned by the simulator itself (a bus driver's PDO, say), with
// dispatch routines given as functions. Deleted with DeleteSimDevice.
struct SimDriver;
SimDriver* CreateSimDriver(const std::string& name);
void SetSimDispatch(SimDriver* driver, UCHAR major,
                    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> dispatch);
PDEVICE_OBJECT CreateSimDevice(SimDriver* driver, const std::u16string& name, ULONG extensionSize);
void DeleteSimDevice(PDEVICE_OBJECT device);
PDRIVER_OBJECT DriverObjectOf(SimDriver* driver);

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
PDEVICE_OBJECT LookupDevice(const std::u16string& name);  // follows symbolic links
size_t OutstandingIrps();

// The driver's lock order, outermost first; CancelSpinLock() stands for the
// system cancel spin lock.
void DeclareLockOrder(const std::vector<std::pair<PKSPIN_LOCK, std::string>>& order);
PKSPIN_LOCK CancelSpinLock();
// The same order for the spin locks inside every device extension of `driver`,
// given by their offsets; kCancelSpinLockOffset stands for the cancel spin lock.
// Locks of two ports are then ordered by kind, as a lock hierarchy is.
constexpr size_t kCancelSpinLockOffset = static_cast<size_t>(-1);
void DeclareExtensionLockOrder(PDRIVER_OBJECT driver,
                               const std::vector<std::pair<size_t, std::string>>& order);
bool DriverLoaded(PDRIVER_OBJECT driver);
// Names the verifier and the Held policy use for a routine.
void NameRoutine(const void* routine, std::string name);

// Fault injection: the n-th IoCreateDevice from now fails (1 = the next).
void FailNthDeviceCreation(int n, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
// IoCreateDevice calls so far, the failed ones too.
uint64_t DeviceCreations();

// Objects of the namespace, for inspection.
std::vector<std::pair<std::u16string, std::u16string>> SymbolicLinks();

}  // namespace sim
