// The simulated WMI: registration through IRP_MN_REGINFO_EX, the WMI library's
// dispositions and the WNODEs it builds, and the consumer that reads them, with a
// small provider driver over a simulator-owned PDO.
#include "tests/support/sim_fixture.h"

#include <sim/pnp.h>
#include <sim/wmi.h>
#include <simnt/wmilib.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using simtest::SimTest;

const GUID kFirst = {0x11111111, 0x2222, 0x3333, {0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB}};
const GUID kSecond = {0xCAFEF00D, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56, 0x78}};
const GUID kNobodys = {0xDEADBEEF, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};

WCHAR g_path[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\provider";
constexpr ULONG kTestTag = 0x74736554;  // "Test"

// The provider: a function device whose system-control dispatch hands every
// request to the WMI library and acts on the disposition, as drivers do. What its
// callbacks answer and what they were given is kept here.
struct Provider {
    sim::SimDriver* bus = sim::CreateSimDriver("bus");
    sim::SimDriver* driver = sim::CreateSimDriver("provider");
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    WMIGUIDREGINFO guids[2] = {{&kFirst, 2, 0}, {&kSecond, 1, WMIREG_FLAG_EXPENSIVE}};
    WMILIB_CONTEXT lib{};

    // Registration answers.
    ULONG regFlags = WMIREG_FLAG_INSTANCE_PDO;
    std::u16string baseName;  // given with WMIREG_FLAG_INSTANCE_BASENAME
    std::u16string mof = u"ProviderMof";
    int regInfoCalls = 0;
    int regInfoThread = -1;
    // The data of the instances of kFirst, and of kSecond's one.
    std::vector<std::vector<uint8_t>> first = {{'a', 'b', 'c'}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}};
    std::vector<uint8_t> second = {0x55, 0xAA};
    bool pendQueries = false;
    PIRP pended = nullptr;
    bool deregisterWhileHandling = false;

    // What the library handed over.
    std::vector<SYSCTL_IRP_DISPOSITION> dispositions;
    std::vector<std::string> calls;
    ULONG lastBufferAvail = 0;
    std::vector<uint8_t> lastSetData;

    Provider();
    ~Provider() {
        if (sim::WmiRegistrationOf(fdo))
            IoWMIRegistrationControl(fdo, WMIREG_ACTION_DEREGISTER);
        IoDetachDevice(pdo);
        sim::DeleteSimDevice(fdo);
        sim::DeleteSimDevice(pdo);
    }
};
Provider* g_provider;

std::string Call(const char* what, ULONG a = 0, ULONG b = 0, ULONG c = 0) {
    return std::string(what) + " " + std::to_string(a) + " " + std::to_string(b) + " " +
           std::to_string(c);
}

NTSTATUS NTAPI QueryRegInfo(PDEVICE_OBJECT, PULONG regFlags, PUNICODE_STRING instanceName,
                            PUNICODE_STRING* registryPath, PUNICODE_STRING mofResourceName,
                            PDEVICE_OBJECT* pdo) {
    Provider& p = *g_provider;
    ++p.regInfoCalls;
    p.regInfoThread = sim::Simulation::Current().CurrentThreadId();
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    static UNICODE_STRING path = {sizeof(g_path) - 2, sizeof(g_path), g_path};
    static UNICODE_STRING mof;
    *regFlags = p.regFlags;
    *registryPath = &path;
    mof.Buffer = const_cast<PWSTR>(p.mof.data());
    mof.Length = mof.MaximumLength = static_cast<USHORT>(p.mof.size() * sizeof(WCHAR));
    *mofResourceName = mof;
    *pdo = p.pdo;
    if (p.regFlags & WMIREG_FLAG_INSTANCE_BASENAME) {
        // WMI frees the base name; a leak would show at the end of the test.
        const auto bytes = static_cast<USHORT>(p.baseName.size() * sizeof(WCHAR));
        auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kTestTag));
        std::memcpy(buffer, p.baseName.data(), bytes);
        *instanceName = {bytes, bytes, buffer};
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QueryDataBlock(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                              ULONG instanceCount, PULONG lengths, ULONG bufferAvail,
                              PUCHAR buffer) {
    Provider& p = *g_provider;
    p.calls.push_back(Call("query", guidIndex, instanceIndex, instanceCount));
    p.lastBufferAvail = bufferAvail;
    if (p.pendQueries) {
        IoMarkIrpPending(irp);
        p.pended = irp;
        return STATUS_PENDING;
    }
    std::vector<std::vector<uint8_t>> instances;
    if (guidIndex == 0) {
        instances.assign(p.first.begin() + instanceIndex,
                         p.first.begin() + instanceIndex + instanceCount);
    } else {
        instances = {p.second};
    }
    ULONG needed = 0;
    for (size_t k = 0; k < instances.size(); ++k) {
        if (k)
            needed = (needed + 7) & ~7u;
        needed += static_cast<ULONG>(instances[k].size());
    }
    if (bufferAvail < needed)
        return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, needed, 0);
    ULONG at = 0;
    for (size_t k = 0; k < instances.size(); ++k) {
        at = (at + 7) & ~7u;
        std::memcpy(buffer + at, instances[k].data(), instances[k].size());
        lengths[k] = static_cast<ULONG>(instances[k].size());
        at += lengths[k];
    }
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, needed, 0);
}

NTSTATUS NTAPI SetDataBlock(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                            ULONG size, PUCHAR buffer) {
    g_provider->calls.push_back(Call("set block", guidIndex, instanceIndex, size));
    g_provider->lastSetData.assign(buffer, buffer + size);
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 0, 0);
}

NTSTATUS NTAPI SetDataItem(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                           ULONG itemId, ULONG size, PUCHAR buffer) {
    g_provider->calls.push_back(Call("set item", guidIndex, instanceIndex, itemId));
    g_provider->lastSetData.assign(buffer, buffer + size);
    return WmiCompleteRequest(device, irp, STATUS_WMI_ITEMID_NOT_FOUND, 0, 0);
}

NTSTATUS NTAPI FunctionControl(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex,
                               WMIENABLEDISABLECONTROL function, BOOLEAN enable) {
    g_provider->calls.push_back(Call("control", guidIndex, function, enable));
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 0, 0);
}

NTSTATUS NTAPI ExecuteMethod(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                             ULONG methodId, ULONG inSize, ULONG outSize, PUCHAR buffer) {
    g_provider->calls.push_back(Call("method", guidIndex, instanceIndex, methodId));
    g_provider->calls.push_back(Call("sizes", inSize, outSize));
    // Echoes its input twice.
    if (outSize < 2 * inSize)
        return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, 2 * inSize, 0);
    std::memcpy(buffer + inSize, buffer, inSize);
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 2 * inSize, 0);
}

Provider::Provider() {
    g_provider = this;
    pdo = sim::CreateSimDevice(bus, u"", 0);
    fdo = sim::CreateSimDevice(driver, u"", 0);
    IoAttachDeviceToDeviceStack(fdo, pdo);
    sim::SetDeviceInstancePath(pdo, u"ROOT\\PROVIDER\\0000");
    // Not the bus's business: the request ends there untouched.
    sim::SetSimDispatch(bus, IRP_MJ_SYSTEM_CONTROL, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
        const NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    });
    sim::SetSimDispatch(driver, IRP_MJ_SYSTEM_CONTROL, [this](PDEVICE_OBJECT device, PIRP irp) {
        if (deregisterWhileHandling)
            IoWMIRegistrationControl(device, WMIREG_ACTION_DEREGISTER);
        SYSCTL_IRP_DISPOSITION disposition;
        NTSTATUS status = WmiSystemControl(&lib, device, irp, &disposition);
        dispositions.push_back(disposition);
        switch (disposition) {
            case IrpProcessed:
                return status;
            case IrpNotCompleted:
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return status;
            default:
                IoSkipCurrentIrpStackLocation(irp);
                return IoCallDriver(pdo, irp);
        }
    });
    lib.GuidCount = 2;
    lib.GuidList = guids;
    lib.QueryWmiRegInfo = QueryRegInfo;
    lib.QueryWmiDataBlock = QueryDataBlock;
}

class WmiSimTest : public SimTest {
  protected:
    Provider provider;
    PDEVICE_OBJECT fdo = provider.fdo;

    void Register() {
        ASSERT_EQ(IoWMIRegistrationControl(fdo, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
    }
};

template <typename T>
T At(const std::vector<uint8_t>& buffer, size_t offset = 0) {
    T value;
    std::memcpy(&value, buffer.data() + offset, sizeof value);
    return value;
}

TEST_F(WmiSimTest, RegisteringAsksTheProviderAtOnceAndNamesTheInstances) {
    const LONG pdoReferences = provider.pdo->ReferenceCount;
    Register();
    EXPECT_EQ(provider.regInfoCalls, 1) << "asked before IoWMIRegistrationControl returned";
    EXPECT_NE(provider.regInfoThread, 0) << "from a system thread of WMI's";
    EXPECT_EQ(provider.dispositions, std::vector<SYSCTL_IRP_DISPOSITION>{IrpNotCompleted});
    auto reg = sim::WmiRegistrationOf(fdo);
    ASSERT_TRUE(reg.has_value());
    EXPECT_EQ(reg->regInfoStatus, STATUS_SUCCESS);
    EXPECT_EQ(reg->registryPath, std::u16string(g_path));
    EXPECT_EQ(reg->mofResourceName, u"ProviderMof");
    ASSERT_EQ(reg->blocks.size(), 2u);
    // The common flags join each block's own.
    EXPECT_EQ(reg->blocks[0].flags, static_cast<ULONG>(WMIREG_FLAG_INSTANCE_PDO));
    EXPECT_EQ(reg->blocks[1].flags,
              static_cast<ULONG>(WMIREG_FLAG_INSTANCE_PDO | WMIREG_FLAG_EXPENSIVE));
    EXPECT_EQ(reg->blocks[0].instanceNames,
              (std::vector<std::u16string>{u"ROOT\\PROVIDER\\0000_0", u"ROOT\\PROVIDER\\0000_1"}));
    EXPECT_EQ(reg->blocks[1].pdo, provider.pdo);
    EXPECT_EQ(provider.pdo->ReferenceCount, pdoReferences + 2)
        << "WMI holds the PDO once per block";
    EXPECT_EQ(IoWMIRegistrationControl(fdo, WMIREG_ACTION_REGISTER), STATUS_OBJECT_NAME_COLLISION);

    // Re-registration asks again; names from a base name are the name and the index.
    provider.regFlags = WMIREG_FLAG_INSTANCE_BASENAME;
    provider.baseName = u"Port";
    ASSERT_EQ(IoWMIRegistrationControl(fdo, WMIREG_ACTION_REREGISTER), STATUS_SUCCESS);
    reg = sim::WmiRegistrationOf(fdo);
    EXPECT_EQ(reg->regInfoRequests, 2);
    EXPECT_EQ(reg->blocks[0].instanceNames, (std::vector<std::u16string>{u"Port0", u"Port1"}));
    EXPECT_EQ(provider.pdo->ReferenceCount, pdoReferences) << "the PDO's names are gone";

    ASSERT_EQ(IoWMIRegistrationControl(fdo, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
    EXPECT_FALSE(sim::WmiRegistrationOf(fdo).has_value());
    EXPECT_EQ(provider.regInfoCalls, 2) << "deregistration asks nothing";
    sim::ExpectViolation twice(sim::Rule::BadParameter);
    EXPECT_EQ(IoWMIRegistrationControl(fdo, WMIREG_ACTION_DEREGISTER), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(twice.Count(), 1);
}

TEST_F(WmiSimTest, RegistrationInformationLargerThanTheFirstBufferIsAskedForAgain) {
    // 200 blocks of 32 bytes each do not fit WMI's first 4096 bytes.
    std::vector<GUID> many(200, kFirst);
    std::vector<WMIGUIDREGINFO> list;
    for (size_t i = 0; i < many.size(); ++i) {
        many[i].Data1 = static_cast<ULONG>(i);
        list.push_back({&many[i], 1, 0});
    }
    provider.lib.GuidList = list.data();
    provider.lib.GuidCount = static_cast<ULONG>(list.size());
    Register();
    auto reg = sim::WmiRegistrationOf(fdo);
    EXPECT_EQ(reg->regInfoRequests, 2);
    EXPECT_EQ(reg->regInfoStatus, STATUS_SUCCESS);
    ASSERT_EQ(reg->blocks.size(), 200u);
    EXPECT_EQ(reg->blocks[199].guid.Data1, 199u);
    EXPECT_EQ(reg->registryPath, std::u16string(g_path));

    // Given less than a ULONG, the library cannot even say what it needs.
    sim::WmiIrp tiny;
    tiny.minor = IRP_MN_REGINFO_EX;
    tiny.bufferSize = 2;
    sim::WmiIrpResult answer = sim::SendWmiIrp(fdo, tiny);
    EXPECT_EQ(answer.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(answer.information, 0u);
}

TEST_F(WmiSimTest, AllDataIsLaidOutAsTheLibraryLaysItOut) {
    Register();
    sim::WmiQueryResult all = sim::WmiQueryAllData(fdo, kFirst);
    ASSERT_EQ(all.status, STATUS_SUCCESS);
    ASSERT_EQ(all.instances.size(), 2u);
    EXPECT_EQ(all.instances[0].name, u"ROOT\\PROVIDER\\0000_0");
    EXPECT_EQ(all.instances[0].data, provider.first[0]);
    EXPECT_EQ(all.instances[1].name, u"ROOT\\PROVIDER\\0000_1");
    EXPECT_EQ(all.instances[1].data, provider.first[1]);
    EXPECT_EQ(provider.calls.back(), Call("query", 0, 0, 2));

    // The WNODE itself: the offset array after the fixed part, the data 8-byte
    // aligned after it, each instance 8-byte aligned, the time of the answer.
    sim::Simulation::Current().RunFor(5 * sim::kMillisecond);
    sim::WmiIrp request;
    request.guid = kFirst;
    request.bufferSize = 512;
    sim::WmiIrpResult raw = sim::SendWmiIrp(fdo, request);
    ASSERT_EQ(raw.status, STATUS_SUCCESS);
    const auto all2 = At<WNODE_ALL_DATA>(raw.buffer);
    const ULONG arrayAt = FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength);
    EXPECT_EQ(all2.InstanceCount, 2u);
    EXPECT_EQ(all2.DataBlockOffset, (arrayAt + 2 * 8 + 7) & ~7u);
    EXPECT_EQ(provider.lastBufferAvail, 512 - all2.DataBlockOffset);
    const auto first = At<OFFSETINSTANCEDATAANDLENGTH>(raw.buffer, arrayAt);
    const auto second = At<OFFSETINSTANCEDATAANDLENGTH>(raw.buffer, arrayAt + 8);
    EXPECT_EQ(first.OffsetInstanceData, all2.DataBlockOffset);
    EXPECT_EQ(first.LengthInstanceData, 3u);
    EXPECT_EQ(second.OffsetInstanceData, all2.DataBlockOffset + 8);
    EXPECT_EQ(second.LengthInstanceData, 10u);
    EXPECT_EQ(all2.WnodeHeader.BufferSize, all2.DataBlockOffset + 8 + 10);
    EXPECT_EQ(raw.information, all2.WnodeHeader.BufferSize);
    EXPECT_TRUE(all2.WnodeHeader.Flags & WNODE_FLAG_STATIC_INSTANCE_NAMES);
    EXPECT_FALSE(all2.WnodeHeader.Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(all2.WnodeHeader.TimeStamp.QuadPart, now.QuadPart);

    // Short of room: a WNODE_TOO_SMALL with the whole size, which is then enough.
    sim::WmiQueryResult small = sim::WmiQueryAllData(fdo, kFirst, all2.WnodeHeader.BufferSize - 1);
    EXPECT_EQ(small.status, STATUS_SUCCESS);
    EXPECT_TRUE(small.tooSmall);
    EXPECT_EQ(small.sizeNeeded, all2.WnodeHeader.BufferSize);
    EXPECT_EQ(small.information, sizeof(WNODE_TOO_SMALL));
    EXPECT_FALSE(sim::WmiQueryAllData(fdo, kFirst, small.sizeNeeded).tooSmall);
    // Less than the header: the provider gets no room and the size is still told.
    sim::WmiQueryResult header = sim::WmiQueryAllData(fdo, kFirst, sizeof(WNODE_TOO_SMALL));
    EXPECT_EQ(provider.lastBufferAvail, 0u);
    EXPECT_TRUE(header.tooSmall);
    EXPECT_EQ(header.sizeNeeded, small.sizeNeeded);
    // Not even room for that: the request fails.
    sim::WmiQueryResult none = sim::WmiQueryAllData(fdo, kFirst, sizeof(WNODE_TOO_SMALL) - 1);
    EXPECT_EQ(none.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(none.information, 0u);
}

TEST_F(WmiSimTest, SingleInstancesAndSetsReachTheCallbacksWithTheirData) {
    Register();
    sim::WmiQueryResult one = sim::WmiQuerySingleInstance(fdo, kFirst, 1);
    ASSERT_EQ(one.status, STATUS_SUCCESS);
    ASSERT_EQ(one.instances.size(), 1u);
    EXPECT_EQ(one.instances[0].name, u"ROOT\\PROVIDER\\0000_1");
    EXPECT_EQ(one.instances[0].data, provider.first[1]);
    EXPECT_EQ(provider.calls.back(), Call("query", 0, 1, 1));
    EXPECT_EQ(provider.lastBufferAvail, sim::kWmiDefaultBufferSize - one.dataOffset);
    EXPECT_EQ(one.dataOffset % 8, 0u);
    EXPECT_EQ(one.information, one.dataOffset + 10);
    sim::WmiQueryResult cramped = sim::WmiQuerySingleInstance(fdo, kFirst, 1, one.dataOffset + 9);
    EXPECT_TRUE(cramped.tooSmall);
    EXPECT_EQ(cramped.sizeNeeded, one.dataOffset + 10);
    // An instance that was never registered is not asked for.
    const size_t calls = provider.calls.size();
    sim::WmiQueryResult third = sim::WmiQuerySingleInstance(fdo, kFirst, 2);
    EXPECT_FALSE(third.sent);
    EXPECT_EQ(third.status, STATUS_WMI_INSTANCE_NOT_FOUND);
    EXPECT_EQ(provider.calls.size(), calls);

    // Without set callbacks the blocks are read-only.
    EXPECT_EQ(sim::WmiSetSingleInstance(fdo, kSecond, 0, {1, 2}).status, STATUS_WMI_READ_ONLY);
    EXPECT_EQ(sim::WmiSetSingleItem(fdo, kSecond, 0, 3, {1}).status, STATUS_WMI_READ_ONLY);
    provider.lib.SetWmiDataBlock = SetDataBlock;
    provider.lib.SetWmiDataItem = SetDataItem;
    sim::WmiSetResult block = sim::WmiSetSingleInstance(fdo, kFirst, 1, {9, 8, 7});
    EXPECT_EQ(block.status, STATUS_SUCCESS);
    EXPECT_EQ(block.information, 0u);
    EXPECT_EQ(provider.calls.back(), Call("set block", 0, 1, 3));
    EXPECT_EQ(provider.lastSetData, (std::vector<uint8_t>{9, 8, 7}));
    EXPECT_EQ(sim::WmiSetSingleItem(fdo, kSecond, 0, 5, {0x42, 0x43}).status,
              STATUS_WMI_ITEMID_NOT_FOUND);
    EXPECT_EQ(provider.calls.back(), Call("set item", 1, 0, 5));
    EXPECT_EQ(provider.lastSetData, (std::vector<uint8_t>{0x42, 0x43}));
    // Nobody registered this one: WMI sends nothing.
    EXPECT_FALSE(sim::WmiSetSingleInstance(fdo, kNobodys, 0, {1}).sent);
}

TEST_F(WmiSimTest, DispositionsAndWhatTheLibraryAnswersItself) {
    Register();
    auto send = [&](UCHAR minor, const GUID& guid, PDEVICE_OBJECT provider = nullptr) {
        sim::WmiIrp request;
        request.minor = minor;
        request.guid = guid;
        request.provider = provider;
        request.bufferSize = 256;
        return sim::SendWmiIrp(fdo, request);
    };
    struct Case {
        const char* what;
        UCHAR minor;
        const GUID& guid;
        PDEVICE_OBJECT provider;
        SYSCTL_IRP_DISPOSITION disposition;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"another provider's", IRP_MN_QUERY_ALL_DATA, kFirst, provider.pdo, IrpForward,
         STATUS_NOT_SUPPORTED},
        {"not a WMI minor code", 0x0A, kFirst, nullptr, IrpNotWmi, STATUS_NOT_SUPPORTED},
        {"a GUID not in the list", IRP_MN_QUERY_ALL_DATA, kNobodys, nullptr, IrpNotCompleted,
         STATUS_WMI_GUID_NOT_FOUND},
        {"events without a control callback", IRP_MN_ENABLE_EVENTS, kFirst, nullptr,
         IrpNotCompleted, STATUS_SUCCESS},
        {"a method without a method callback", IRP_MN_EXECUTE_METHOD, kFirst, nullptr,
         IrpNotCompleted, STATUS_INVALID_DEVICE_REQUEST},
        {"a set without a set callback", IRP_MN_CHANGE_SINGLE_INSTANCE, kFirst, nullptr,
         IrpNotCompleted, STATUS_WMI_READ_ONLY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::WmiIrpResult answer = send(c.minor, c.guid, c.provider);
        EXPECT_EQ(provider.dispositions.back(), c.disposition);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.information, 0u);
    }

    provider.lib.WmiFunctionControl = FunctionControl;
    EXPECT_EQ(send(IRP_MN_ENABLE_EVENTS, kSecond).status, STATUS_SUCCESS);
    EXPECT_EQ(provider.dispositions.back(), IrpProcessed);
    EXPECT_EQ(provider.calls.back(), Call("control", 1, WmiEventControl, TRUE));
    send(IRP_MN_DISABLE_COLLECTION, kFirst);
    EXPECT_EQ(provider.calls.back(), Call("control", 0, WmiDataBlockControl, FALSE));

    // A method gets its input where the output goes, and the rest of the buffer.
    provider.lib.ExecuteWmiMethod = ExecuteMethod;
    WNODE_METHOD_ITEM method{};
    method.WnodeHeader.Guid = kFirst;
    method.WnodeHeader.Flags = WNODE_FLAG_METHOD_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    method.InstanceIndex = 1;
    method.MethodId = 7;
    method.DataBlockOffset = 72;
    method.SizeDataBlock = 3;
    sim::WmiIrp request;
    request.minor = IRP_MN_EXECUTE_METHOD;
    request.guid = kFirst;
    request.buffer = sim::Bytes(method);
    request.buffer.resize(75);
    request.buffer[72] = 'x';
    request.buffer[73] = 'y';
    request.buffer[74] = 'z';
    request.bufferSize = 80;
    sim::WmiIrpResult answer = sim::SendWmiIrp(fdo, request);
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(provider.calls[provider.calls.size() - 2], Call("method", 0, 1, 7));
    EXPECT_EQ(provider.calls.back(), Call("sizes", 3, 8));
    EXPECT_EQ(answer.information, 78u);
    EXPECT_EQ(At<WNODE_METHOD_ITEM>(answer.buffer).SizeDataBlock, 6u);
    EXPECT_EQ(std::string(answer.buffer.begin() + 72, answer.buffer.begin() + 78), "xyzxyz");
    request.bufferSize = 77;
    answer = sim::SendWmiIrp(fdo, request);
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(At<WNODE_TOO_SMALL>(answer.buffer).SizeNeeded, 78u);
}

TEST_F(WmiSimTest, DeregistrationWaitsForRequestsUnderWay) {
    Register();
    provider.pendQueries = true;
    auto& sim = sim::Simulation::Current();
    sim::WmiQueryResult result;
    sim.CreateThread("consumer", [&] { result = sim::WmiQuerySingleInstance(fdo, kSecond, 0); });
    ASSERT_TRUE(sim.RunUntil([&] { return provider.pended != nullptr; }, sim::kSecond));
    bool completed = false;
    const sim::Ticks completion = sim.Now() + 30 * sim::kMillisecond;
    sim.Schedule(30 * sim::kMillisecond, "provider finishes", [&] {
        completed = true;
        WmiCompleteRequest(fdo, provider.pended, STATUS_WMI_INSTANCE_NOT_FOUND, 0, 0);
    });
    ASSERT_EQ(IoWMIRegistrationControl(fdo, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
    EXPECT_TRUE(completed);
    EXPECT_GE(sim.Now(), completion);
    sim.RunUntilIdle();
    EXPECT_EQ(result.status, STATUS_WMI_INSTANCE_NOT_FOUND);
}

TEST_F(WmiSimTest, DeregisteringFromTheProvidersOwnRequestWouldNeverReturn) {
    Register();
    provider.deregisterWhileHandling = true;
    sim::ExpectViolation deadlock(sim::Rule::Deadlock);
    sim::WmiQueryResult result = sim::WmiQueryAllData(fdo, kFirst);
    EXPECT_EQ(deadlock.Count(), 1);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    provider.deregisterWhileHandling = false;
}

TEST_F(WmiSimTest, CompletionsTheLibraryCannotAccountForAreCaught) {
    Register();
    // More bytes reported than the callback was given room for.
    {
        sim::ExpectViolation overrun(sim::Rule::BadParameter);
        provider.lib.QueryWmiDataBlock = [](PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG,
                                            PULONG lengths, ULONG avail, PUCHAR) NTAPI -> NTSTATUS {
            lengths[0] = avail + 1;
            return WmiCompleteRequest(device, irp, STATUS_SUCCESS, avail + 1, 0);
        };
        sim::WmiQueryResult result = sim::WmiQuerySingleInstance(fdo, kSecond, 0, 200);
        EXPECT_EQ(overrun.Count(), 1);
        EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
    }
    // WmiCompleteRequest on a request the library never handed out.
    {
        sim::ExpectViolation foreign(sim::Rule::BadParameter);
        provider.lib.QueryWmiDataBlock = [](PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG,
                                            PULONG, ULONG, PUCHAR) NTAPI -> NTSTATUS {
            WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, 1, 0);
            return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, 1, 0);
        };
        sim::WmiQuerySingleInstance(fdo, kSecond, 0);
        EXPECT_EQ(foreign.Count(), 1);
    }
    // A context without its registration callback.
    {
        sim::ExpectViolation missing(sim::Rule::BadParameter);
        provider.lib.QueryWmiRegInfo = nullptr;
        EXPECT_EQ(IoWMIRegistrationControl(fdo, WMIREG_ACTION_REREGISTER), STATUS_SUCCESS);
        EXPECT_EQ(missing.Count(), 1);
        EXPECT_EQ(sim::WmiRegistrationOf(fdo)->regInfoStatus, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_TRUE(sim::WmiRegistrationOf(fdo)->blocks.empty());
    }
}

}  // namespace
