// WMI on the simulated machine: the WMI library drivers link against
// (WmiSystemControl, WmiCompleteRequest), IoWMIRegistrationControl with the
// registrations it keeps, and the WMI consumer of <sim/wmi.h>, which sends
// IRP_MJ_SYSTEM_CONTROL requests from a system thread and reads the WNODEs back.
#include "internal.h"

#include <sim/pnp.h>
#include <sim/wmi.h>
#include <simnt/wmilib.h>

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

WmiManagerState& Wmi() {
    return St().wmi;
}

// Virtual time a single WMI request may take before the consumer reports it as hung.
constexpr Ticks kWmiRequestLimit = 120 * kSecond;

ULONG AlignUp(ULONG value, ULONG alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

bool IsWmiMinor(UCHAR minor) {
    return minor <= IRP_MN_EXECUTE_METHOD || minor == IRP_MN_REGINFO_EX;
}

const char* WmiMinorName(UCHAR minor) {
    switch (minor) {
        case IRP_MN_QUERY_ALL_DATA:
            return "IRP_MN_QUERY_ALL_DATA";
        case IRP_MN_QUERY_SINGLE_INSTANCE:
            return "IRP_MN_QUERY_SINGLE_INSTANCE";
        case IRP_MN_CHANGE_SINGLE_INSTANCE:
            return "IRP_MN_CHANGE_SINGLE_INSTANCE";
        case IRP_MN_CHANGE_SINGLE_ITEM:
            return "IRP_MN_CHANGE_SINGLE_ITEM";
        case IRP_MN_ENABLE_EVENTS:
            return "IRP_MN_ENABLE_EVENTS";
        case IRP_MN_DISABLE_EVENTS:
            return "IRP_MN_DISABLE_EVENTS";
        case IRP_MN_ENABLE_COLLECTION:
            return "IRP_MN_ENABLE_COLLECTION";
        case IRP_MN_DISABLE_COLLECTION:
            return "IRP_MN_DISABLE_COLLECTION";
        case IRP_MN_REGINFO:
            return "IRP_MN_REGINFO";
        case IRP_MN_EXECUTE_METHOD:
            return "IRP_MN_EXECUTE_METHOD";
        case IRP_MN_REGINFO_EX:
            return "IRP_MN_REGINFO_EX";
        default:
            return "IRP_MN_?";
    }
}

WmiProviderRecord* FindProvider(PDEVICE_OBJECT device) {
    for (auto& p : Wmi().providers) {
        if (p.device == device)
            return &p;
    }
    return nullptr;
}

void ReleasePdos(std::vector<PDEVICE_OBJECT>& pdos) {
    for (PDEVICE_OBJECT pdo : pdos)
        ObDereferenceObject(pdo);
    pdos.clear();
}

void DropProvider(PDEVICE_OBJECT device) {
    auto& providers = Wmi().providers;
    for (auto it = providers.begin(); it != providers.end(); ++it) {
        if (it->device != device)
            continue;
        ReleasePdos(it->referencedPdos);
        providers.erase(it);
        return;
    }
}

// --- Reading what drivers answer --------------------------------------------------------

// A view of a driver's answer that refuses to read past what the driver said it wrote.
class Answer {
  public:
    Answer(const std::vector<uint8_t>& bytes, ULONG_PTR information)
        : bytes_(bytes),
          size_(static_cast<ULONG>(std::min<ULONG_PTR>(information, bytes.size()))) {}
    ULONG Size() const { return size_; }
    bool Holds(ULONG offset, ULONG length) const {
        return offset <= size_ && length <= size_ - offset;
    }
    template <typename T>
    const T* At(ULONG offset) const {
        return Holds(offset, sizeof(T)) ? reinterpret_cast<const T*>(bytes_.data() + offset)
                                        : nullptr;
    }
    // A counted string: a USHORT byte count, then the characters.
    bool CountedString(ULONG offset, std::u16string* out) const {
        const USHORT* length = At<USHORT>(offset);
        if (!length || !Holds(offset + sizeof(USHORT), *length))
            return false;
        const auto* chars =
            reinterpret_cast<const char16_t*>(bytes_.data() + offset + sizeof(USHORT));
        out->assign(chars, *length / sizeof(WCHAR));
        return true;
    }
    std::vector<uint8_t> Bytes(ULONG offset, ULONG length) const {
        return std::vector<uint8_t>(bytes_.begin() + offset, bytes_.begin() + offset + length);
    }

  private:
    const std::vector<uint8_t>& bytes_;
    ULONG size_;
};

bool Malformed(PDEVICE_OBJECT device, UCHAR minor, const std::string& what) {
    Verifier::Violation(Rule::BadParameter, std::string("the answer of device ") + Hex(device) +
                                                " to " + WmiMinorName(minor) + " " + what);
    return false;
}

// Reads a WMIREGINFO into `registration`: a registration replaces the blocks, an
// update changes or removes those it names. Every PDO an IRP_MN_REGINFO_EX answer
// names carries a reference that WMI now holds.
bool ReadRegInfo(PDEVICE_OBJECT device, const WmiIrpResult& answer, bool update,
                 WmiProviderRecord& provider) {
    const Answer a(answer.buffer, answer.information);
    const ULONG guidsAt = FIELD_OFFSET(WMIREGINFOW, WmiRegGuid);
    const auto* info = a.At<WMIREGINFOW>(0);
    if (!info || !a.Holds(0, guidsAt))
        return Malformed(device, IRP_MN_REGINFO_EX, "is shorter than a WMIREGINFO");
    if (info->GuidCount > (a.Size() - guidsAt) / sizeof(WMIREGGUIDW))
        return Malformed(device, IRP_MN_REGINFO_EX, "counts more blocks than it holds");
    WmiRegistration& reg = provider.registration;
    if (!update) {
        if (info->RegistryPath && !a.CountedString(info->RegistryPath, &reg.registryPath))
            return Malformed(device, IRP_MN_REGINFO_EX, "has a registry path outside the buffer");
        if (!info->RegistryPath)
            reg.registryPath.clear();
        reg.mofResourceName.clear();
        if (info->MofResourceName && !a.CountedString(info->MofResourceName, &reg.mofResourceName))
            return Malformed(device, IRP_MN_REGINFO_EX,
                             "has a MOF resource name outside the buffer");
        reg.blocks.clear();
    }
    for (ULONG i = 0; i < info->GuidCount; ++i) {
        const WMIREGGUIDW& g = info->WmiRegGuid[i];
        auto existing =
            std::find_if(reg.blocks.begin(), reg.blocks.end(),
                         [&](const WmiBlockRegistration& b) { return SameGuid(b.guid, g.Guid); });
        if (g.Flags & WMIREG_FLAG_REMOVE_GUID) {
            if (existing != reg.blocks.end())
                reg.blocks.erase(existing);
            continue;
        }
        WmiBlockRegistration block;
        block.guid = g.Guid;
        block.flags = g.Flags;
        block.instanceCount = g.InstanceCount;
        if (g.Flags & WMIREG_FLAG_INSTANCE_PDO) {
            block.pdo = reinterpret_cast<PDEVICE_OBJECT>(g.Pdo);
            if (block.pdo)
                provider.referencedPdos.push_back(block.pdo);
            for (ULONG k = 0; block.pdo && k < g.InstanceCount; ++k)
                block.instanceNames.push_back(WmiPdoInstanceName(block.pdo, k));
        } else if (g.Flags & WMIREG_FLAG_INSTANCE_BASENAME) {
            std::u16string base;
            if (!a.CountedString(g.BaseNameOffset, &base))
                return Malformed(device, IRP_MN_REGINFO_EX, "has a base name outside the buffer");
            for (ULONG k = 0; k < g.InstanceCount; ++k) {
                std::string n = std::to_string(k);
                block.instanceNames.push_back(base + std::u16string(n.begin(), n.end()));
            }
        } else if (g.Flags & WMIREG_FLAG_INSTANCE_LIST) {
            ULONG at = g.InstanceNameList;
            for (ULONG k = 0; k < g.InstanceCount; ++k) {
                std::u16string name;
                if (!a.CountedString(at, &name))
                    return Malformed(device, IRP_MN_REGINFO_EX,
                                     "has an instance name outside the buffer");
                block.instanceNames.push_back(name);
                at = AlignUp(at + sizeof(USHORT) + static_cast<ULONG>(name.size() * sizeof(WCHAR)),
                             2);
            }
        }
        if (existing != reg.blocks.end()) {
            *existing = block;
        } else {
            reg.blocks.push_back(block);
        }
    }
    return true;
}

// Sends IRP_MN_REGINFO_EX and takes in the answer; a buffer the driver finds too
// small is offered again at the size it asked for.
void QueryRegistration(PDEVICE_OBJECT device, ULONG_PTR action) {
    WmiIrp request;
    request.minor = IRP_MN_REGINFO_EX;
    request.registrationAction = action;
    request.bufferSize = kWmiDefaultBufferSize;
    WmiIrpResult answer = SendWmiIrp(device, request);
    int requests = 1;
    if (answer.status == STATUS_BUFFER_TOO_SMALL && answer.information >= sizeof(ULONG)) {
        ULONG needed;
        std::memcpy(&needed, answer.buffer.data(), sizeof needed);
        if (needed > request.bufferSize) {
            request.bufferSize = needed;
            answer = SendWmiIrp(device, request);
            ++requests;
        }
    }
    // Looked up again: other threads ran while the request was under way.
    WmiProviderRecord* provider = FindProvider(device);
    if (!provider)
        return;
    provider->registration.regInfoRequests += requests;
    provider->registration.regInfoStatus = answer.status;
    if (action == WMIREGISTER) {
        ReleasePdos(provider->referencedPdos);
        provider->registration.blocks.clear();
    }
    if (NT_SUCCESS(answer.status))
        ReadRegInfo(device, answer, action == WMIUPDATE, *provider);
}

// Waits, in virtual time, for an event a WMI request thread sets; false when the
// request limit passes first.
bool WaitWithinLimit(PKEVENT event) {
    LARGE_INTEGER limit;
    limit.QuadPart = -kWmiRequestLimit;
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &limit) != STATUS_TIMEOUT;
}

// Waits until the WMI requests already sent into the device's stack have completed.
void WaitForOutstandingRequests(PDEVICE_OBJECT device) {
    auto& wmi = Wmi();
    auto& sim = Simulation::Current();
    auto carrier = wmi.requestThreads.find(sim.CurrentThreadId());
    if (carrier != wmi.requestThreads.end() && carrier->second == device) {
        Verifier::Violation(
            Rule::Deadlock,
            "IoWMIRegistrationControl(WMIREG_ACTION_DEREGISTER) for device " + Hex(device) +
                " while handling one of its WMI requests: the call waits for that request");
        return;
    }
    if (wmi.outstanding[device] == 0)
        return;
    KEVENT drained;
    KeInitializeEvent(&drained, NotificationEvent, FALSE);
    wmi.drainWaiters[device].push_back(&drained);
    const bool done = WaitWithinLimit(&drained);
    auto& waiters = wmi.drainWaiters[device];
    waiters.erase(std::find(waiters.begin(), waiters.end(), &drained));
    if (!done) {
        Verifier::Violation(Rule::Deadlock, "WMI deregistration of device " + Hex(device) +
                                                " waited in vain for its outstanding WMI requests");
        std::abort();
    }
}

// --- The consumer's requests --------------------------------------------------------------

const WmiBlockRegistration* FindBlock(PDEVICE_OBJECT device, const GUID& guid) {
    WmiProviderRecord* provider = FindProvider(device);
    if (!provider)
        return nullptr;
    for (auto& block : provider->registration.blocks) {
        if (SameGuid(block.guid, guid))
            return &block;
    }
    return nullptr;
}

void PutBytes(std::vector<uint8_t>& buffer, ULONG offset, const void* data, size_t length) {
    if (buffer.size() < offset + length)
        buffer.resize(offset + length);
    std::memcpy(buffer.data() + offset, data, length);
}

// The name part of a request for one instance: a counted string at `at`.
void PutInstanceName(std::vector<uint8_t>& buffer, ULONG at, const std::u16string& name) {
    const auto bytes = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    PutBytes(buffer, at, &bytes, sizeof bytes);
    PutBytes(buffer, at + sizeof(USHORT), name.data(), bytes);
}

std::u16string NameOf(const WmiBlockRegistration& block, ULONG index) {
    return index < block.instanceNames.size() ? block.instanceNames[index] : std::u16string();
}

ULONG InstanceDataOffset(ULONG nameAt, const std::u16string& name) {
    return AlignUp(nameAt + sizeof(USHORT) + static_cast<ULONG>(name.size() * sizeof(WCHAR)), 8);
}

// A WNODE_SINGLE_INSTANCE or WNODE_SINGLE_ITEM request for one instance, up to its
// data offset.
std::vector<uint8_t> InstanceRequest(const WmiBlockRegistration& block, ULONG instanceIndex,
                                     ULONG flags, ULONG fixedPart, ULONG* dataOffset) {
    const std::u16string name = NameOf(block, instanceIndex);
    *dataOffset = InstanceDataOffset(fixedPart, name);
    std::vector<uint8_t> buffer(*dataOffset);
    WNODE_HEADER header{};
    header.Guid = block.guid;
    header.Flags = flags | (block.instanceNames.empty() ? 0 : WNODE_FLAG_STATIC_INSTANCE_NAMES);
    PutBytes(buffer, 0, &header, sizeof header);
    PutInstanceName(buffer, fixedPart, name);
    return buffer;
}

void SetBufferSize(std::vector<uint8_t>& buffer, ULONG size) {
    PutBytes(buffer, FIELD_OFFSET(WNODE_HEADER, BufferSize), &size, sizeof size);
}

bool ReadTooSmall(PDEVICE_OBJECT device, UCHAR minor, const Answer& a, WmiQueryResult& result) {
    const auto* tooSmall = a.At<WNODE_TOO_SMALL>(0);
    if (!tooSmall)
        return Malformed(device, minor, "is shorter than a WNODE_TOO_SMALL");
    result.tooSmall = true;
    result.sizeNeeded = tooSmall->SizeNeeded;
    return true;
}

void ReadAllData(PDEVICE_OBJECT device, const WmiBlockRegistration& block,
                 const WmiIrpResult& answer, WmiQueryResult& result) {
    const Answer a(answer.buffer, answer.information);
    const auto* header = a.At<WNODE_HEADER>(0);
    if (!header) {
        Malformed(device, IRP_MN_QUERY_ALL_DATA, "is shorter than a WNODE_HEADER");
        return;
    }
    result.flags = header->Flags;
    if (header->Flags & WNODE_FLAG_TOO_SMALL) {
        ReadTooSmall(device, IRP_MN_QUERY_ALL_DATA, a, result);
        return;
    }
    const ULONG arrayAt = FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength);
    const bool fixed = header->Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE;
    if (!a.Holds(0, arrayAt + (fixed ? sizeof(ULONG) : 0))) {
        Malformed(device, IRP_MN_QUERY_ALL_DATA, "is shorter than a WNODE_ALL_DATA");
        return;
    }
    const auto* all = reinterpret_cast<const WNODE_ALL_DATA*>(answer.buffer.data());
    result.timeStamp = header->TimeStamp.QuadPart;
    for (ULONG k = 0; k < all->InstanceCount; ++k) {
        ULONG offset, length;
        if (fixed) {
            length = all->FixedInstanceSize;
            offset = all->DataBlockOffset + k * AlignUp(length, 8);
        } else {
            const auto* pair = a.At<OFFSETINSTANCEDATAANDLENGTH>(
                arrayAt + k * sizeof(OFFSETINSTANCEDATAANDLENGTH));
            if (!pair) {
                Malformed(device, IRP_MN_QUERY_ALL_DATA, "has instance offsets outside the buffer");
                return;
            }
            offset = pair->OffsetInstanceData;
            length = pair->LengthInstanceData;
        }
        if (!a.Holds(offset, length)) {
            Malformed(device, IRP_MN_QUERY_ALL_DATA, "has instance data outside the buffer");
            return;
        }
        WmiInstance instance;
        instance.data = a.Bytes(offset, length);
        if ((header->Flags & WNODE_FLAG_STATIC_INSTANCE_NAMES) ||
            all->OffsetInstanceNameOffsets == 0) {
            instance.name = NameOf(block, k);
        } else {
            const auto* nameAt = a.At<ULONG>(all->OffsetInstanceNameOffsets + k * sizeof(ULONG));
            if (!nameAt || !a.CountedString(*nameAt, &instance.name)) {
                Malformed(device, IRP_MN_QUERY_ALL_DATA, "has an instance name outside the buffer");
                return;
            }
        }
        result.instances.push_back(std::move(instance));
    }
}

void ReadSingleInstance(PDEVICE_OBJECT device, const WmiBlockRegistration& block,
                        const WmiIrpResult& answer, WmiQueryResult& result) {
    const Answer a(answer.buffer, answer.information);
    const auto* header = a.At<WNODE_HEADER>(0);
    if (!header) {
        Malformed(device, IRP_MN_QUERY_SINGLE_INSTANCE, "is shorter than a WNODE_HEADER");
        return;
    }
    result.flags = header->Flags;
    if (header->Flags & WNODE_FLAG_TOO_SMALL) {
        ReadTooSmall(device, IRP_MN_QUERY_SINGLE_INSTANCE, a, result);
        return;
    }
    const auto* single = a.At<WNODE_SINGLE_INSTANCE>(0);
    if (!single || !a.Holds(single->DataBlockOffset, single->SizeDataBlock)) {
        Malformed(device, IRP_MN_QUERY_SINGLE_INSTANCE, "has its data outside the buffer");
        return;
    }
    WmiInstance instance;
    instance.name = NameOf(block, single->InstanceIndex);
    instance.data = a.Bytes(single->DataBlockOffset, single->SizeDataBlock);
    result.instances.push_back(std::move(instance));
}

WmiSetResult Set(PDEVICE_OBJECT device, const GUID& guid, ULONG instanceIndex, UCHAR minor,
                 ULONG itemId, const std::vector<uint8_t>& data) {
    WmiSetResult result;
    const WmiBlockRegistration* block = FindBlock(device, guid);
    if (!block)
        return result;
    if (!block->instanceNames.empty() && instanceIndex >= block->instanceCount) {
        result.status = STATUS_WMI_INSTANCE_NOT_FOUND;
        return result;
    }
    WmiIrp request;
    request.minor = minor;
    request.guid = guid;
    ULONG dataOffset;
    const auto size = static_cast<ULONG>(data.size());
    if (minor == IRP_MN_CHANGE_SINGLE_INSTANCE) {
        request.buffer =
            InstanceRequest(*block, instanceIndex, WNODE_FLAG_SINGLE_INSTANCE,
                            FIELD_OFFSET(WNODE_SINGLE_INSTANCE, VariableData), &dataOffset);
        WNODE_SINGLE_INSTANCE fixed{};
        std::memcpy(&fixed.WnodeHeader, request.buffer.data(), sizeof(WNODE_HEADER));
        fixed.OffsetInstanceName = FIELD_OFFSET(WNODE_SINGLE_INSTANCE, VariableData);
        fixed.InstanceIndex = instanceIndex;
        fixed.DataBlockOffset = dataOffset;
        fixed.SizeDataBlock = size;
        PutBytes(request.buffer, 0, &fixed, FIELD_OFFSET(WNODE_SINGLE_INSTANCE, VariableData));
    } else {
        request.buffer =
            InstanceRequest(*block, instanceIndex, WNODE_FLAG_SINGLE_ITEM,
                            FIELD_OFFSET(WNODE_SINGLE_ITEM, VariableData), &dataOffset);
        WNODE_SINGLE_ITEM fixed{};
        std::memcpy(&fixed.WnodeHeader, request.buffer.data(), sizeof(WNODE_HEADER));
        fixed.OffsetInstanceName = FIELD_OFFSET(WNODE_SINGLE_ITEM, VariableData);
        fixed.InstanceIndex = instanceIndex;
        fixed.ItemId = itemId;
        fixed.DataBlockOffset = dataOffset;
        fixed.SizeDataItem = size;
        PutBytes(request.buffer, 0, &fixed, FIELD_OFFSET(WNODE_SINGLE_ITEM, VariableData));
    }
    PutBytes(request.buffer, dataOffset, data.data(), data.size());
    request.bufferSize = dataOffset + size;
    SetBufferSize(request.buffer, request.bufferSize);
    WmiIrpResult answer = SendWmiIrp(device, request);
    result.sent = true;
    result.status = answer.status;
    result.information = answer.information;
    return result;
}

// --- The WMI library ------------------------------------------------------------------------

// The library's own answer; the driver completes the request.
NTSTATUS NotCompleted(PIRP irp, NTSTATUS status, PSYSCTL_IRP_DISPOSITION disposition) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    *disposition = IrpNotCompleted;
    return status;
}

bool FindGuidIndex(PWMILIB_CONTEXT lib, PVOID dataPath, ULONG* index) {
    if (!dataPath || !lib->GuidList)
        return false;
    const auto* guid = static_cast<const GUID*>(dataPath);
    for (ULONG i = 0; i < lib->GuidCount; ++i) {
        if (lib->GuidList[i].Guid && SameGuid(*lib->GuidList[i].Guid, *guid)) {
            *index = i;
            return true;
        }
    }
    return false;
}

bool LacksRequiredCallback(const void* callback, const char* name) {
    if (callback)
        return false;
    Verifier::Violation(Rule::BadParameter,
                        std::string("WmiSystemControl: the WMILIB_CONTEXT has no ") + name +
                            ", which the WMI library requires");
    return true;
}

// IRP_MN_REGINFO(_EX): the registration information the driver's DpWmiQueryReginfo
// gives, laid out as a WMIREGINFO with one WMIREGGUID per block.
NTSTATUS AnswerRegInfo(PWMILIB_CONTEXT lib, PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION sp,
                       PSYSCTL_IRP_DISPOSITION disposition) {
    if (LacksRequiredCallback(reinterpret_cast<const void*>(lib->QueryWmiRegInfo),
                              "QueryWmiRegInfo"))
        return NotCompleted(irp, STATUS_INVALID_DEVICE_REQUEST, disposition);
    ULONG regFlags = 0;
    UNICODE_STRING instanceName{};
    PUNICODE_STRING registryPath = nullptr;
    UNICODE_STRING mofResourceName{};
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status;
    {
        DriverCall call(reinterpret_cast<const void*>(lib->QueryWmiRegInfo));
        status = CallDriverRoutine(lib->QueryWmiRegInfo, device, &regFlags, &instanceName, &registryPath, &mofResourceName, &pdo);
    }
    bool baseName = regFlags & WMIREG_FLAG_INSTANCE_BASENAME;
    for (ULONG i = 0; i < lib->GuidCount; ++i)
        baseName |= (lib->GuidList[i].Flags & WMIREG_FLAG_INSTANCE_BASENAME) != 0;
    // The library owns the base name once the callback has given it.
    auto freeBaseName = [&] {
        if (baseName && instanceName.Buffer)
            ExFreePool(instanceName.Buffer);
    };
    if (!NT_SUCCESS(status)) {
        freeBaseName();
        return NotCompleted(irp, status, disposition);
    }
    const bool registering = sp->Parameters.WMI.DataPath == reinterpret_cast<PVOID>(WMIREGISTER);
    ULONG size = FIELD_OFFSET(WMIREGINFOW, WmiRegGuid) + lib->GuidCount * sizeof(WMIREGGUIDW);
    auto place = [&](const UNICODE_STRING& s) {
        ULONG at = AlignUp(size, sizeof(USHORT));
        size = at + sizeof(USHORT) + s.Length;
        return at;
    };
    const ULONG pathAt = registering && registryPath ? place(*registryPath) : 0;
    const ULONG mofAt = registering && mofResourceName.Length ? place(mofResourceName) : 0;
    const ULONG baseAt = baseName ? place(instanceName) : 0;
    auto* buffer = static_cast<PUCHAR>(sp->Parameters.WMI.Buffer);
    if (size > sp->Parameters.WMI.BufferSize) {
        // The size needed, where there is room to say it.
        const bool told = sp->Parameters.WMI.BufferSize >= sizeof(ULONG);
        if (told)
            std::memcpy(buffer, &size, sizeof size);
        freeBaseName();
        irp->IoStatus.Status = STATUS_BUFFER_TOO_SMALL;
        irp->IoStatus.Information = told ? sizeof(ULONG) : 0;
        *disposition = IrpNotCompleted;
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memset(buffer, 0, size);
    auto* info = reinterpret_cast<PWMIREGINFOW>(buffer);
    info->BufferSize = size;
    info->RegistryPath = pathAt;
    info->MofResourceName = mofAt;
    info->GuidCount = lib->GuidCount;
    for (ULONG i = 0; i < lib->GuidCount; ++i) {
        WMIREGGUIDW& g = info->WmiRegGuid[i];
        g.Guid = *lib->GuidList[i].Guid;
        g.Flags = lib->GuidList[i].Flags | regFlags;
        g.InstanceCount = lib->GuidList[i].InstanceCount;
        if (g.Flags & WMIREG_FLAG_INSTANCE_PDO) {
            g.Pdo = reinterpret_cast<ULONG_PTR>(pdo);
            // WMI keeps the PDO for as long as the names made from it.
            if (pdo && sp->MinorFunction == IRP_MN_REGINFO_EX)
                ObReferenceObject(pdo);
        } else if (g.Flags & WMIREG_FLAG_INSTANCE_BASENAME) {
            g.BaseNameOffset = baseAt;
        }
    }
    auto write = [&](ULONG at, const UNICODE_STRING& s) {
        std::memcpy(buffer + at, &s.Length, sizeof(USHORT));
        if (s.Length)
            std::memcpy(buffer + at + sizeof(USHORT), s.Buffer, s.Length);
    };
    if (pathAt)
        write(pathAt, *registryPath);
    if (mofAt)
        write(mofAt, mofResourceName);
    if (baseAt)
        write(baseAt, instanceName);
    freeBaseName();
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = size;
    *disposition = IrpNotCompleted;
    return STATUS_SUCCESS;
}

// Fills a WNODE_TOO_SMALL asking for `needed` bytes; answers the request's status.
NTSTATUS AnswerTooSmall(PIRP irp, PIO_STACK_LOCATION sp, ULONG needed) {
    if (sp->Parameters.WMI.BufferSize < sizeof(WNODE_TOO_SMALL)) {
        irp->IoStatus.Information = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* tooSmall = static_cast<PWNODE_TOO_SMALL>(sp->Parameters.WMI.Buffer);
    tooSmall->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
    tooSmall->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
    tooSmall->SizeNeeded = needed;
    irp->IoStatus.Information = sizeof(WNODE_TOO_SMALL);
    return STATUS_SUCCESS;
}

// A successful IRP_MN_QUERY_ALL_DATA: the instance lengths the callback wrote
// where the offset array goes become that array, each instance 8-byte aligned
// after it.
NTSTATUS FinishAllData(PIRP irp, PIO_STACK_LOCATION sp, const WmiLibRequest& request,
                       ULONG bufferUsed) {
    auto* all = static_cast<PWNODE_ALL_DATA>(sp->Parameters.WMI.Buffer);
    const ULONG count = request.instanceCount;
    auto* lengths = reinterpret_cast<PULONG>(all->OffsetInstanceDataAndLength);
    ULONG end = request.dataOffset;
    for (ULONG k = 0; k < count; ++k)
        end = AlignUp(end, 8) + lengths[k];
    if (end - request.dataOffset > request.available || bufferUsed > request.available) {
        Verifier::Violation(Rule::BadParameter, "WmiCompleteRequest: the driver reports " +
                                                    std::to_string(end - request.dataOffset) +
                                                    " bytes of instance data in the " +
                                                    std::to_string(request.available) +
                                                    " it was given for IRP_MN_QUERY_ALL_DATA");
        irp->IoStatus.Information = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    // Back to front: entry k of the offset array covers lengths k*2 and k*2+1,
    // which have been read by then.
    ULONG offset = end;
    for (ULONG k = count; k-- > 0;) {
        const ULONG length = lengths[k];
        offset = k + 1 == count ? end - length : offset - AlignUp(length, 8);
        all->OffsetInstanceDataAndLength[k].OffsetInstanceData = offset;
        all->OffsetInstanceDataAndLength[k].LengthInstanceData = length;
    }
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    all->WnodeHeader.BufferSize = end;
    all->WnodeHeader.TimeStamp = now;
    all->WnodeHeader.Flags &= ~WNODE_FLAG_FIXED_INSTANCE_SIZE;
    all->WnodeHeader.Flags |= WNODE_FLAG_STATIC_INSTANCE_NAMES;
    all->DataBlockOffset = request.dataOffset;
    all->InstanceCount = count;
    all->OffsetInstanceNameOffsets = 0;
    irp->IoStatus.Information = end;
    return STATUS_SUCCESS;
}

// A successful single-instance query or method: the data sits at the offset the
// request gave.
NTSTATUS FinishSingle(PIRP irp, PIO_STACK_LOCATION sp, const WmiLibRequest& request,
                      ULONG bufferUsed) {
    if (bufferUsed > request.available) {
        Verifier::Violation(Rule::BadParameter,
                            "WmiCompleteRequest: the driver reports " + std::to_string(bufferUsed) +
                                " bytes used of the " + std::to_string(request.available) +
                                " it was given for " + WmiMinorName(request.minor));
        irp->IoStatus.Information = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* header = static_cast<PWNODE_HEADER>(sp->Parameters.WMI.Buffer);
    if (request.minor == IRP_MN_EXECUTE_METHOD) {
        reinterpret_cast<PWNODE_METHOD_ITEM>(header)->SizeDataBlock = bufferUsed;
    } else {
        reinterpret_cast<PWNODE_SINGLE_INSTANCE>(header)->SizeDataBlock = bufferUsed;
    }
    header->BufferSize = request.dataOffset + bufferUsed;
    irp->IoStatus.Information = header->BufferSize;
    return STATUS_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------
// Host API

std::vector<PDEVICE_OBJECT> WmiRegisteredDevices() {
    std::vector<PDEVICE_OBJECT> out;
    for (auto& p : Wmi().providers)
        out.push_back(p.device);
    return out;
}

std::optional<WmiRegistration> WmiRegistrationOf(PDEVICE_OBJECT device) {
    WmiProviderRecord* provider = FindProvider(device);
    if (!provider)
        return std::nullopt;
    return provider->registration;
}

std::u16string WmiPdoInstanceName(PDEVICE_OBJECT pdo, ULONG index) {
    std::string n = "_" + std::to_string(index);
    return DeviceInstancePath(pdo) + std::u16string(n.begin(), n.end());
}

void ForgetWmiProvider(PDEVICE_OBJECT device) {
    if (!FindProvider(device))
        return;
    if (Verifier::Violation(Rule::BadParameter,
                            "device " + Hex(device) + " deleted while still registered with WMI"))
        DropProvider(device);
}

WmiIrpResult SendWmiIrp(PDEVICE_OBJECT device, const WmiIrp& request) {
    WmiIrpResult result;
    const ULONG size =
        std::max<ULONG>(request.bufferSize, static_cast<ULONG>(request.buffer.size()));
    // Nonpaged memory of WMI's own, 8-byte aligned as WNODEs need.
    std::vector<uint64_t> storage(size / sizeof(uint64_t) + 1);
    auto* buffer = reinterpret_cast<uint8_t*>(storage.data());
    std::copy(request.buffer.begin(), request.buffer.end(), buffer);
    GUID guid = request.guid;
    auto& sim = Simulation::Current();
    auto& wmi = Wmi();
    wmi.outstanding[device]++;
    const bool registration = request.minor == IRP_MN_REGINFO || request.minor == IRP_MN_REGINFO_EX;
    RunInSystemThread(std::string("WMI (") + WmiMinorName(request.minor) + ") to device " + Hex(device),
                      [&] {
                          wmi.requestThreads[sim.CurrentThreadId()] = device;
                          SystemIrpResult r = SendSystemIrp(
                              device, IRP_MJ_SYSTEM_CONTROL, request.minor, STATUS_NOT_SUPPORTED, 0,
                              [&](IO_STACK_LOCATION& sp) {
                                  sp.Parameters.WMI.ProviderId = reinterpret_cast<ULONG_PTR>(
                                      request.provider ? request.provider : device);
                                  sp.Parameters.WMI.DataPath =
                                      registration ? reinterpret_cast<PVOID>(request.registrationAction)
                                                   : static_cast<PVOID>(&guid);
                                  sp.Parameters.WMI.BufferSize = request.bufferSize;
                                  sp.Parameters.WMI.Buffer = buffer;
                              });
                          result.returned = r.returned;
                          result.status = r.iosb.Status;
                          result.information = r.iosb.Information;
                          wmi.requestThreads.erase(sim.CurrentThreadId());
                          if (--wmi.outstanding[device] == 0) {
                              for (PKEVENT drained : wmi.drainWaiters[device])
                                  KeSetEvent(drained, IO_NO_INCREMENT, FALSE);
                          }
                      },
                      kWmiRequestLimit);
    result.buffer.assign(buffer, buffer + request.bufferSize);
    return result;
}

WmiQueryResult WmiQueryAllData(PDEVICE_OBJECT device, const GUID& guid, ULONG bufferSize) {
    WmiQueryResult result;
    const WmiBlockRegistration* found = FindBlock(device, guid);
    if (!found)
        return result;
    const WmiBlockRegistration block = *found;
    WmiIrp request;
    request.minor = IRP_MN_QUERY_ALL_DATA;
    request.guid = guid;
    request.bufferSize = bufferSize;
    WNODE_ALL_DATA header{};
    header.WnodeHeader.BufferSize = bufferSize;
    header.WnodeHeader.Guid = guid;
    header.WnodeHeader.Flags = WNODE_FLAG_ALL_DATA;
    PutBytes(request.buffer, 0, &header, sizeof header);
    WmiIrpResult answer = SendWmiIrp(device, request);
    result.sent = true;
    result.status = answer.status;
    result.information = answer.information;
    if (NT_SUCCESS(answer.status))
        ReadAllData(device, block, answer, result);
    return result;
}

ULONG WmiSingleInstanceDataOffset(PDEVICE_OBJECT device, const GUID& guid, ULONG instanceIndex) {
    const WmiBlockRegistration* block = FindBlock(device, guid);
    if (!block)
        return 0;
    return InstanceDataOffset(FIELD_OFFSET(WNODE_SINGLE_INSTANCE, VariableData),
                              NameOf(*block, instanceIndex));
}

WmiQueryResult WmiQuerySingleInstance(PDEVICE_OBJECT device, const GUID& guid, ULONG instanceIndex,
                                      ULONG bufferSize) {
    WmiQueryResult result;
    const WmiBlockRegistration* found = FindBlock(device, guid);
    if (!found)
        return result;
    const WmiBlockRegistration block = *found;
    if (!block.instanceNames.empty() && instanceIndex >= block.instanceCount) {
        result.status = STATUS_WMI_INSTANCE_NOT_FOUND;
        return result;
    }
    WmiIrp request;
    request.minor = IRP_MN_QUERY_SINGLE_INSTANCE;
    request.guid = guid;
    request.bufferSize = bufferSize;
    ULONG dataOffset;
    request.buffer =
        InstanceRequest(block, instanceIndex, WNODE_FLAG_SINGLE_INSTANCE,
                        FIELD_OFFSET(WNODE_SINGLE_INSTANCE, VariableData), &dataOffset);
    WNODE_SINGLE_INSTANCE fixed{};
    std::memcpy(&fixed.WnodeHeader, request.buffer.data(), sizeof(WNODE_HEADER));
    fixed.WnodeHeader.BufferSize = bufferSize;
    fixed.OffsetInstanceName = FIELD_OFFSET(WNODE_SINGLE_INSTANCE, VariableData);
    fixed.InstanceIndex = instanceIndex;
    fixed.DataBlockOffset = dataOffset;
    PutBytes(request.buffer, 0, &fixed, FIELD_OFFSET(WNODE_SINGLE_INSTANCE, VariableData));
    WmiIrpResult answer = SendWmiIrp(device, request);
    result.sent = true;
    result.status = answer.status;
    result.information = answer.information;
    result.dataOffset = dataOffset;
    if (NT_SUCCESS(answer.status))
        ReadSingleInstance(device, block, answer, result);
    return result;
}

WmiSetResult WmiSetSingleInstance(PDEVICE_OBJECT device, const GUID& guid, ULONG instanceIndex,
                                  const std::vector<uint8_t>& data) {
    return Set(device, guid, instanceIndex, IRP_MN_CHANGE_SINGLE_INSTANCE, 0, data);
}

WmiSetResult WmiSetSingleItem(PDEVICE_OBJECT device, const GUID& guid, ULONG instanceIndex,
                              ULONG itemId, const std::vector<uint8_t>& data) {
    return Set(device, guid, instanceIndex, IRP_MN_CHANGE_SINGLE_ITEM, itemId, data);
}

}  // namespace sim

using namespace sim;

extern "C" {

NTSTATUS NTAPI IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) { SIM_DDI();
    if (!RequireIrql("IoWMIRegistrationControl", PASSIVE_LEVEL))
        return STATUS_INVALID_DEVICE_STATE;
    const bool registered = FindProvider(DeviceObject) != nullptr;
    switch (Action) {
        case WMIREG_ACTION_REGISTER: {
            if (registered)
                return STATUS_OBJECT_NAME_COLLISION;
            WmiProviderRecord provider;
            provider.device = DeviceObject;
            provider.registration.device = DeviceObject;
            Wmi().providers.push_back(std::move(provider));
            QueryRegistration(DeviceObject, WMIREGISTER);
            return STATUS_SUCCESS;
        }
        case WMIREG_ACTION_REREGISTER:
            if (!registered)
                return STATUS_INVALID_PARAMETER;
            QueryRegistration(DeviceObject, WMIREGISTER);
            return STATUS_SUCCESS;
        case WMIREG_ACTION_UPDATE_GUIDS:
            if (!registered)
                return STATUS_INVALID_PARAMETER;
            QueryRegistration(DeviceObject, WMIUPDATE);
            return STATUS_SUCCESS;
        case WMIREG_ACTION_DEREGISTER:
            if (!registered) {
                Verifier::Violation(
                    Rule::BadParameter,
                    "IoWMIRegistrationControl(WMIREG_ACTION_DEREGISTER) for device " +
                        Hex(DeviceObject) +
                        ", which is not registered with WMI (deregistered twice?)");
                return STATUS_INVALID_PARAMETER;
            }
            WaitForOutstandingRequests(DeviceObject);
            DropProvider(DeviceObject);
            return STATUS_SUCCESS;
        default:
            return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                PSYSCTL_IRP_DISPOSITION IrpDisposition) { SIM_DDI();
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    if (sp->MajorFunction != IRP_MJ_SYSTEM_CONTROL || !IsWmiMinor(sp->MinorFunction)) {
        *IrpDisposition = IrpNotWmi;
        return Irp->IoStatus.Status;
    }
    if (sp->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(DeviceObject)) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    if (!RequireIrql("WmiSystemControl", PASSIVE_LEVEL))
        return NotCompleted(Irp, STATUS_INVALID_DEVICE_STATE, IrpDisposition);
    const UCHAR minor = sp->MinorFunction;
    if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX)
        return AnswerRegInfo(WmiLibInfo, DeviceObject, Irp, sp, IrpDisposition);

    ULONG guidIndex;
    if (!FindGuidIndex(WmiLibInfo, sp->Parameters.WMI.DataPath, &guidIndex))
        return NotCompleted(Irp, STATUS_WMI_GUID_NOT_FOUND, IrpDisposition);
    auto* buffer = static_cast<PUCHAR>(sp->Parameters.WMI.Buffer);
    const ULONG bufferSize = sp->Parameters.WMI.BufferSize;
    WmiLibRequest request;
    request.minor = minor;
    // Room the callback gets for its data at `at`, if the buffer reaches that far.
    auto room = [&](ULONG at) {
        request.dataOffset = at;
        request.available = bufferSize > at ? bufferSize - at : 0;
        return request.available ? buffer + at : nullptr;
    };
    auto handOver = [&] {
        Wmi().libRequests[Irp] = request;
        *IrpDisposition = IrpProcessed;
    };

    switch (minor) {
        case IRP_MN_QUERY_ALL_DATA: {
            if (LacksRequiredCallback(reinterpret_cast<const void*>(WmiLibInfo->QueryWmiDataBlock),
                                      "QueryWmiDataBlock"))
                return NotCompleted(Irp, STATUS_INVALID_DEVICE_REQUEST, IrpDisposition);
            request.instanceCount = WmiLibInfo->GuidList[guidIndex].InstanceCount;
            const ULONG arrayAt = FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength);
            PUCHAR data = room(
                AlignUp(arrayAt + request.instanceCount * sizeof(OFFSETINSTANCEDATAANDLENGTH), 8));
            // The lengths go where the offset array will be made from them.
            auto* lengths = data ? reinterpret_cast<PULONG>(buffer + arrayAt) : nullptr;
            handOver();
            DriverCall call(reinterpret_cast<const void*>(WmiLibInfo->QueryWmiDataBlock));
            return CallDriverRoutine(WmiLibInfo->QueryWmiDataBlock, DeviceObject, Irp, guidIndex, 0,
                                                 request.instanceCount, lengths, request.available,
                                                 data);
        }
        case IRP_MN_QUERY_SINGLE_INSTANCE: {
            if (LacksRequiredCallback(reinterpret_cast<const void*>(WmiLibInfo->QueryWmiDataBlock),
                                      "QueryWmiDataBlock"))
                return NotCompleted(Irp, STATUS_INVALID_DEVICE_REQUEST, IrpDisposition);
            if (bufferSize < FIELD_OFFSET(WNODE_SINGLE_INSTANCE, VariableData))
                return NotCompleted(Irp, STATUS_BUFFER_TOO_SMALL, IrpDisposition);
            auto* single = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
            // The library serves static instance names only.
            if (!(single->WnodeHeader.Flags & WNODE_FLAG_STATIC_INSTANCE_NAMES))
                return NotCompleted(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, IrpDisposition);
            PUCHAR data = room(std::max<ULONG>(single->DataBlockOffset,
                                               FIELD_OFFSET(WNODE_SINGLE_INSTANCE, VariableData)));
            handOver();
            DriverCall call(reinterpret_cast<const void*>(WmiLibInfo->QueryWmiDataBlock));
            return CallDriverRoutine(WmiLibInfo->QueryWmiDataBlock,
                DeviceObject, Irp, guidIndex, single->InstanceIndex, 1,
                data ? &single->SizeDataBlock : nullptr, request.available, data);
        }
        case IRP_MN_CHANGE_SINGLE_INSTANCE: {
            if (!WmiLibInfo->SetWmiDataBlock)
                return NotCompleted(Irp, STATUS_WMI_READ_ONLY, IrpDisposition);
            const auto* single = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
            if (bufferSize < FIELD_OFFSET(WNODE_SINGLE_INSTANCE, VariableData) ||
                single->DataBlockOffset > bufferSize ||
                single->SizeDataBlock > bufferSize - single->DataBlockOffset)
                return NotCompleted(Irp, STATUS_INVALID_PARAMETER, IrpDisposition);
            handOver();
            DriverCall call(reinterpret_cast<const void*>(WmiLibInfo->SetWmiDataBlock));
            return CallDriverRoutine(WmiLibInfo->SetWmiDataBlock, DeviceObject, Irp, guidIndex, single->InstanceIndex,
                                               single->SizeDataBlock,
                                               buffer + single->DataBlockOffset);
        }
        case IRP_MN_CHANGE_SINGLE_ITEM: {
            if (!WmiLibInfo->SetWmiDataItem)
                return NotCompleted(Irp, STATUS_WMI_READ_ONLY, IrpDisposition);
            const auto* item = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
            if (bufferSize < FIELD_OFFSET(WNODE_SINGLE_ITEM, VariableData) ||
                item->DataBlockOffset > bufferSize ||
                item->SizeDataItem > bufferSize - item->DataBlockOffset)
                return NotCompleted(Irp, STATUS_INVALID_PARAMETER, IrpDisposition);
            handOver();
            DriverCall call(reinterpret_cast<const void*>(WmiLibInfo->SetWmiDataItem));
            return CallDriverRoutine(WmiLibInfo->SetWmiDataItem, DeviceObject, Irp, guidIndex, item->InstanceIndex,
                                              item->ItemId, item->SizeDataItem,
                                              buffer + item->DataBlockOffset);
        }
        case IRP_MN_ENABLE_EVENTS:
        case IRP_MN_DISABLE_EVENTS:
        case IRP_MN_ENABLE_COLLECTION:
        case IRP_MN_DISABLE_COLLECTION: {
            if (!WmiLibInfo->WmiFunctionControl)
                return NotCompleted(Irp, STATUS_SUCCESS, IrpDisposition);
            const bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
            const bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
            handOver();
            return WmiLibInfo->WmiFunctionControl(DeviceObject, Irp, guidIndex,
                                                  events ? WmiEventControl : WmiDataBlockControl,
                                                  enable);
        }
        case IRP_MN_EXECUTE_METHOD: {
            if (!WmiLibInfo->ExecuteWmiMethod)
                return NotCompleted(Irp, STATUS_INVALID_DEVICE_REQUEST, IrpDisposition);
            auto* method = reinterpret_cast<PWNODE_METHOD_ITEM>(buffer);
            if (bufferSize < FIELD_OFFSET(WNODE_METHOD_ITEM, VariableData) ||
                method->DataBlockOffset > bufferSize ||
                method->SizeDataBlock > bufferSize - method->DataBlockOffset)
                return NotCompleted(Irp, STATUS_INVALID_PARAMETER, IrpDisposition);
            room(method->DataBlockOffset);
            handOver();
            return WmiLibInfo->ExecuteWmiMethod(
                DeviceObject, Irp, guidIndex, method->InstanceIndex, method->MethodId,
                method->SizeDataBlock, request.available, buffer + method->DataBlockOffset);
        }
        default:
            *IrpDisposition = IrpNotWmi;
            return Irp->IoStatus.Status;
    }
}

NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status,
                                  ULONG BufferUsed, CCHAR PriorityBoost) { SIM_DDI();
    if (!RequireIrql("WmiCompleteRequest", DISPATCH_LEVEL))
        return Status;
    auto& pending = Wmi().libRequests;
    auto found = pending.find(Irp);
    if (found == pending.end()) {
        Verifier::Violation(Rule::BadParameter,
                            "WmiCompleteRequest on " + Hex(Irp) +
                                ", which WmiSystemControl did not hand to a callback of device " +
                                Hex(DeviceObject));
        return Status;
    }
    const WmiLibRequest request = found->second;
    pending.erase(found);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    const bool answersData = request.minor == IRP_MN_QUERY_ALL_DATA ||
                             request.minor == IRP_MN_QUERY_SINGLE_INSTANCE ||
                             request.minor == IRP_MN_EXECUTE_METHOD;
    NTSTATUS status = Status;
    Irp->IoStatus.Information = 0;
    if (answersData && Status == STATUS_BUFFER_TOO_SMALL) {
        status = AnswerTooSmall(Irp, sp, request.dataOffset + BufferUsed);
    } else if (answersData && NT_SUCCESS(Status) && Status != STATUS_PENDING) {
        if (request.minor == IRP_MN_QUERY_ALL_DATA) {
            // No room even for the offset array: only the size can be told.
            status = request.available ? FinishAllData(Irp, sp, request, BufferUsed)
                                       : AnswerTooSmall(Irp, sp, request.dataOffset + BufferUsed);
        } else {
            status = FinishSingle(Irp, sp, request, BufferUsed);
        }
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, PriorityBoost);
    return status;
}

}  // extern "C"
