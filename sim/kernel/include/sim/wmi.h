// The simulated WMI as tests and tools see it: the providers drivers register with
// IoWMIRegistrationControl, and a WMI consumer that queries and sets data blocks by
// GUID the way the operating system's WMI does — an IRP_MJ_SYSTEM_CONTROL request
// sent to the top of the provider's device stack from a system thread — and decodes
// the WNODE that comes back.
//
// Registration: WMIREG_ACTION_REGISTER and _REREGISTER send IRP_MN_REGINFO_EX
// (WMIREGISTER), _UPDATE_GUIDS sends it with WMIUPDATE, before IoWMIRegistrationControl
// returns: a driver must have its WMI library context ready before it registers, as
// on Windows. A registration stands even when that request fails; the failure is
// kept in the registration. WMIREG_ACTION_DEREGISTER sends nothing and waits until
// every WMI request already sent into the device's stack has completed.
//
// Static instance names are made as Windows makes them: from the device instance
// path of the PDO and "_<index>" (WMIREG_FLAG_INSTANCE_PDO), or from the base name
// and the index (WMIREG_FLAG_INSTANCE_BASENAME).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <simnt/wdm.h>
#include <simnt/wmistr.h>

namespace sim {

// One block as its provider registered it.
struct WmiBlockRegistration {
    GUID guid{};
    ULONG flags = 0;  // WMIREG_FLAG_*, including the flags the driver gave all blocks
    ULONG instanceCount = 0;
    PDEVICE_OBJECT pdo = nullptr;               // with WMIREG_FLAG_INSTANCE_PDO
    std::vector<std::u16string> instanceNames;  // static names; empty for dynamic ones
};

struct WmiRegistration {
    PDEVICE_OBJECT device = nullptr;          // as given to IoWMIRegistrationControl
    int regInfoRequests = 0;                  // IRP_MN_REGINFO_EX requests sent to it so far
    NTSTATUS regInfoStatus = STATUS_SUCCESS;  // what the last one answered
    std::u16string registryPath;              // the driver's registry path, as reported
    std::u16string mofResourceName;
    std::vector<WmiBlockRegistration> blocks;
};

// Devices registered with WMI, in registration order.
std::vector<PDEVICE_OBJECT> WmiRegisteredDevices();
std::optional<WmiRegistration> WmiRegistrationOf(PDEVICE_OBJECT device);

// --- Consumer ------------------------------------------------------------------------
// Queries and sets go to a device only when it registered the GUID; otherwise no
// request is sent and the answer is STATUS_WMI_GUID_NOT_FOUND, as WMI answers a
// consumer for a block nobody provides.

struct WmiInstance {
    std::u16string name;
    std::vector<uint8_t> data;
};

struct WmiQueryResult {
    bool sent = false;  // a request reached the device's stack
    NTSTATUS status = STATUS_WMI_GUID_NOT_FOUND;
    ULONG_PTR information = 0;
    ULONG flags = 0;  // WnodeHeader.Flags of the answer
    // The answer is a WNODE_TOO_SMALL; sizeNeeded is its SizeNeeded, the size of the
    // whole WNODE the request would have needed.
    bool tooSmall = false;
    ULONG sizeNeeded = 0;
    // Single instance: the offset at which the request asked for the instance's
    // data, so bufferSize - dataOffset is the room the provider was given.
    ULONG dataOffset = 0;
    LONGLONG timeStamp = 0;
    std::vector<WmiInstance> instances;
};

constexpr ULONG kWmiDefaultBufferSize = 4096;

// IRP_MN_QUERY_ALL_DATA / IRP_MN_QUERY_SINGLE_INSTANCE with a request buffer of
// `bufferSize` bytes (Parameters.WMI.BufferSize).
WmiQueryResult WmiQueryAllData(PDEVICE_OBJECT device, const GUID& guid,
                               ULONG bufferSize = kWmiDefaultBufferSize);
WmiQueryResult WmiQuerySingleInstance(PDEVICE_OBJECT device, const GUID& guid, ULONG instanceIndex,
                                      ULONG bufferSize = kWmiDefaultBufferSize);
// Where a single-instance request for this instance puts the data (the instance
// name comes first); 0 when the device did not register the GUID.
ULONG WmiSingleInstanceDataOffset(PDEVICE_OBJECT device, const GUID& guid, ULONG instanceIndex);

struct WmiSetResult {
    bool sent = false;
    NTSTATUS status = STATUS_WMI_GUID_NOT_FOUND;
    ULONG_PTR information = 0;
};

// IRP_MN_CHANGE_SINGLE_INSTANCE / IRP_MN_CHANGE_SINGLE_ITEM carrying `data`.
WmiSetResult WmiSetSingleInstance(PDEVICE_OBJECT device, const GUID& guid, ULONG instanceIndex,
                                  const std::vector<uint8_t>& data);
WmiSetResult WmiSetSingleItem(PDEVICE_OBJECT device, const GUID& guid, ULONG instanceIndex,
                              ULONG itemId, const std::vector<uint8_t>& data);

// --- Any WMI request, as built by the caller --------------------------------------------
// For what WMI itself would never send: a foreign provider, a GUID nobody registered,
// an unknown minor code, a malformed WNODE.
struct WmiIrp {
    UCHAR minor = IRP_MN_QUERY_ALL_DATA;
    PDEVICE_OBJECT provider = nullptr;  // Parameters.WMI.ProviderId; null: the device itself
    GUID guid{};                        // what Parameters.WMI.DataPath points to
    // Parameters.WMI.DataPath of IRP_MN_REGINFO(_EX): WMIREGISTER or WMIUPDATE.
    ULONG_PTR registrationAction = WMIREGISTER;
    std::vector<uint8_t> buffer;  // the start of Parameters.WMI.Buffer
    ULONG bufferSize = 0;         // Parameters.WMI.BufferSize; at least buffer.size() is given
};

struct WmiIrpResult {
    NTSTATUS returned = STATUS_PENDING;  // what the top driver's dispatch routine answered
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    ULONG_PTR information = 0;
    std::vector<uint8_t> buffer;  // Parameters.WMI.Buffer after completion, bufferSize bytes
};

// Sends the request to the top of `device`'s stack from a WMI system thread at
// PASSIVE_LEVEL and waits for it. IoStatus starts as STATUS_NOT_SUPPORTED.
WmiIrpResult SendWmiIrp(PDEVICE_OBJECT device, const WmiIrp& request);

// The static name WMI gives an instance of a block registered with
// WMIREG_FLAG_INSTANCE_PDO.
std::u16string WmiPdoInstanceName(PDEVICE_OBJECT pdo, ULONG index);

}  // namespace sim
