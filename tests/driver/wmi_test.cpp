// WMI on a simulated adapter: the port registers its five serial-port blocks at its
// first start and deregisters at removal, answers each block as a WMI consumer
// reads it, asks for exactly the room a block needs, refuses every set, and leaves
// to the rest of the stack what is not its own.
#include "tests/support/sim_fixture.h"

#include <sim/pnp.h>
#include <sim/wmi.h>
#include <sim/workbench/workbench.h>

#include <cstring>
#include <string>
#include <vector>

#include "usb/usb.h"

namespace {

using simtest::SimTest;

struct Block {
    const char* name;
    GUID guid;
};
// The published classes, in the order the port registers them.
const Block kBlocks[] = {
    {"MSSerial_PortName",
     {0xA0EC11A8, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}}},
    {"MSSerial_CommInfo",
     {0xEDB16A62, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}}},
    {"MSSerial_HardwareConfiguration",
     {0x270B9B86, 0xB16D, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}}},
    {"MSSerial_PerformanceInformation",
     {0x56415ACC, 0xB16D, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}}},
    {"MSSerial_CommProperties",
     {0x8209EC2A, 0x2D6B, 0x11D2, {0xBA, 0x49, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10}}},
};
const GUID& kPortName = kBlocks[0].guid;
const GUID& kCommInfo = kBlocks[1].guid;
const GUID& kHardware = kBlocks[2].guid;
const GUID& kPerformance = kBlocks[3].guid;
const GUID& kProperties = kBlocks[4].guid;

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// Expected block images, built byte by byte at the published offsets.
struct Image {
    std::vector<uint8_t> bytes;
    explicit Image(size_t size) : bytes(size, 0) {}
    Image& U8(size_t at, uint8_t v) {
        bytes.at(at) = v;
        return *this;
    }
    Image& U16(size_t at, uint16_t v) { return U8(at, v & 0xFF).U8(at + 1, v >> 8); }
    Image& U32(size_t at, uint32_t v) { return U16(at, v & 0xFFFF).U16(at + 2, v >> 16); }
};

uint32_t U32At(const std::vector<uint8_t>& data, size_t at) {
    uint32_t v;
    std::memcpy(&v, data.data() + at, sizeof v);
    return v;
}

// MSSerial_CommInfo of a port that has just started: 7 data bits, even parity,
// one stop bit, no rate yet, XON/XOFF 0x11/0x13, no receive buffer.
Image CommInfoAfterStart() {
    Image info(64);
    info.U32(0, 0)
        .U32(4, 7)
        .U32(8, 2)
        .U8(12, 1)
        .U32(16, 0)
        .U32(20, 0x13)
        .U32(24, 0)
        .U32(28, 0x11)
        .U32(32, 0);
    info.U32(36, 115200).U32(40, 0xFFFFFFFF).U32(44, 0xFFFFFFFF).U8(48, 0);
    for (size_t at = 49; at <= 59; ++at)
        info.U8(at, 1);
    info.U8(60, 0);
    return info;
}

Image CommPropertiesOf(uint32_t settableBaud, uint32_t currentRxQueue) {
    Image props(68);
    props.U16(0, 64).U16(2, 2).U32(4, 1).U32(20, 0x10000000).U32(24, 1).U32(28, 0xFF).U32(32, 0x7F);
    props.U32(36, settableBaud).U16(40, 0x000F).U16(42, 0x1F07).U32(48, currentRxQueue);
    return props;
}

std::vector<uint8_t> PortNameOf(const std::u16string& name) {
    Image block(2 + name.size() * 2);
    block.U16(0, static_cast<uint16_t>(name.size() * 2));
    for (size_t i = 0; i < name.size(); ++i)
        block.U16(2 + 2 * i, name[i]);
    return block.bytes;
}

class WmiTest : public SimTest {
  protected:
    sim::Workbench bench;

    sim::Adapter& Started(sim::AdapterOptions options = {}) {
        sim::Adapter& adapter = bench.AddAdapter(std::move(options));
        EXPECT_EQ(adapter.Plug(), STATUS_SUCCESS);
        return adapter;
    }

    // The one instance of a block, read both ways a consumer can; the two must agree.
    static std::vector<uint8_t> Read(PDEVICE_OBJECT fdo, const GUID& guid) {
        sim::WmiQueryResult all = sim::WmiQueryAllData(fdo, guid);
        sim::WmiQueryResult single = sim::WmiQuerySingleInstance(fdo, guid, 0);
        EXPECT_EQ(all.status, STATUS_SUCCESS);
        EXPECT_EQ(single.status, STATUS_SUCCESS);
        EXPECT_FALSE(all.tooSmall || single.tooSmall);
        if (all.instances.size() != 1 || single.instances.size() != 1) {
            ADD_FAILURE() << "one instance expected";
            return {};
        }
        EXPECT_EQ(all.instances[0].data, single.instances[0].data);
        EXPECT_EQ(all.instances[0].name, single.instances[0].name);
        return single.instances[0].data;
    }
};

TEST_F(WmiTest, FirstStartRegistersFiveBlocksNamedAfterThePdoAndRemovalDeregisters) {
    sim::Adapter& adapter = Started();
    PDEVICE_OBJECT fdo = adapter.Fdo();
    auto reg = sim::WmiRegistrationOf(fdo);
    ASSERT_TRUE(reg.has_value());
    EXPECT_EQ(reg->regInfoStatus, STATUS_SUCCESS);
    EXPECT_EQ(reg->regInfoRequests, 1) << "the registration information fits WMI's first buffer";
    EXPECT_EQ(reg->registryPath, sim::ServiceKeyPath(u"vodrek"));
    EXPECT_TRUE(reg->mofResourceName.empty());
    ASSERT_EQ(reg->blocks.size(), 5u);
    const std::u16string instance = sim::DeviceInstancePath(adapter.Pdo()) + u"_0";
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(kBlocks[i].name);
        EXPECT_TRUE(SameGuid(reg->blocks[i].guid, kBlocks[i].guid));
        EXPECT_EQ(reg->blocks[i].flags, static_cast<ULONG>(WMIREG_FLAG_INSTANCE_PDO));
        EXPECT_EQ(reg->blocks[i].instanceCount, 1u);
        EXPECT_EQ(reg->blocks[i].pdo, adapter.Pdo());
        EXPECT_EQ(reg->blocks[i].instanceNames, std::vector<std::u16string>{instance});
    }
    EXPECT_EQ(sim::WmiQueryAllData(fdo, kCommInfo).instances.at(0).name, instance);

    // A rebalance restarts the port without registering it again.
    ASSERT_EQ(adapter.Rebalance(), STATUS_SUCCESS);
    EXPECT_EQ(sim::WmiRegistrationOf(fdo)->regInfoRequests, 1);
    EXPECT_EQ(sim::WmiRegisteredDevices(), std::vector<PDEVICE_OBJECT>{fdo});

    // A second adapter is a second provider with names of its own.
    sim::AdapterOptions other;
    other.portName = u"COM4";
    sim::Adapter& second = Started(other);
    EXPECT_EQ(sim::WmiRegisteredDevices(), (std::vector<PDEVICE_OBJECT>{fdo, second.Fdo()}));
    EXPECT_NE(sim::WmiRegistrationOf(second.Fdo())->blocks[0].instanceNames,
              reg->blocks[0].instanceNames);

    ASSERT_EQ(adapter.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(sim::WmiRegisteredDevices(), std::vector<PDEVICE_OBJECT>{second.Fdo()});
    EXPECT_EQ(sim::WmiQueryAllData(fdo, kCommInfo).sent, false)
        << "WMI no longer knows the removed port";
}

TEST_F(WmiTest, SurpriseRemovalDeregistersOnceBeforeTheNameIsFreed) {
    sim::Adapter& adapter = Started();
    ASSERT_EQ(adapter.SurpriseRemove(false), STATUS_SUCCESS);
    EXPECT_TRUE(sim::WmiRegisteredDevices().empty());
    EXPECT_EQ(adapter.Port()->WmiPortName.Buffer, nullptr);
    // The removal that follows must not deregister again: the simulated WMI
    // reports a second deregistration as a verifier violation.
    ASSERT_EQ(sim::FinishSurpriseRemoval(adapter.Pdo()), STATUS_SUCCESS);
    EXPECT_FALSE(adapter.Present());
}

TEST_F(WmiTest, EveryBlockRightAfterStart) {
    sim::Adapter& adapter = Started();
    PDEVICE_OBJECT fdo = adapter.Fdo();
    EXPECT_EQ(Read(fdo, kPortName), PortNameOf(u"COM3"));
    EXPECT_EQ(Read(fdo, kCommInfo), CommInfoAfterStart().bytes);
    // No interrupt or I/O resources; the interrupt type the port publishes is 1.
    EXPECT_EQ(Read(fdo, kHardware), Image(40).U32(24, 1).bytes);
    EXPECT_EQ(Read(fdo, kPerformance), Image(24).bytes);
    EXPECT_EQ(Read(fdo, kProperties), CommPropertiesOf(0x10067FF9, 0).bytes);
}

TEST_F(WmiTest, BlocksFollowThePortAndEveryStartRewritesThem) {
    sim::Adapter& adapter = Started();
    PDEVICE_OBJECT fdo = adapter.Fdo();
    PortExtension* port = adapter.Port();

    ASSERT_EQ(SetBaudRate(port, 9600), STATUS_SUCCESS);
    EXPECT_EQ(U32At(Read(fdo, kCommInfo), 0), 9600u);
    // A rate the chip cannot take is published as the one it was given instead.
    ASSERT_EQ(SetBaudRate(port, 9650), STATUS_SUCCESS);
    EXPECT_EQ(U32At(Read(fdo, kCommInfo), 0), 9600u);
    ASSERT_EQ(SetBaudRate(port, 57000), STATUS_SUCCESS);
    EXPECT_EQ(U32At(Read(fdo, kCommInfo), 0), 57600u);

    // Counters and properties are read when asked for.
    port->WmiPerfStats = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(Read(fdo, kPerformance),
              Image(24).U32(0, 1).U32(4, 2).U32(8, 3).U32(12, 4).U32(16, 5).U32(20, 6).bytes);
    port->ReceiveBufferSize = 4096;
    port->SettableBaud = 0x10000000 | SERIAL_BAUD_9600;
    EXPECT_EQ(Read(fdo, kProperties), CommPropertiesOf(0x10000000 | SERIAL_BAUD_9600, 4096).bytes);
    port->ReceiveBufferSize = 0;

    // A restart writes the defaults again, and the records with them.
    ASSERT_EQ(adapter.Rebalance(), STATUS_SUCCESS);
    EXPECT_EQ(Read(fdo, kCommInfo), CommInfoAfterStart().bytes);
    EXPECT_EQ(Read(fdo, kPerformance), Image(24).bytes);
    EXPECT_EQ(Read(fdo, kProperties), CommPropertiesOf(0x10067FF9, 0).bytes);
}

TEST_F(WmiTest, TooLittleRoomIsAnsweredWithTheExactSizeNeeded) {
    sim::AdapterOptions options;
    options.portName = u"COM12";
    sim::Adapter& adapter = Started(options);
    PDEVICE_OBJECT fdo = adapter.Fdo();
    const struct {
        const GUID& guid;
        ULONG size;
    } sizes[] = {{kPortName, 2 + 5 * 2},
                 {kCommInfo, 64},
                 {kHardware, 40},
                 {kPerformance, 24},
                 {kProperties, 68}};
    for (const auto& block : sizes) {
        SCOPED_TRACE(block.size);
        const ULONG offset = sim::WmiSingleInstanceDataOffset(fdo, block.guid, 0);
        ASSERT_GT(offset, 0u);
        // One byte short: the answer asks for the whole block, as WNODE_TOO_SMALL.
        sim::WmiQueryResult shortOne =
            sim::WmiQuerySingleInstance(fdo, block.guid, 0, offset + block.size - 1);
        EXPECT_EQ(shortOne.status, STATUS_SUCCESS);
        EXPECT_TRUE(shortOne.tooSmall);
        EXPECT_EQ(shortOne.sizeNeeded, offset + block.size);
        EXPECT_TRUE(shortOne.instances.empty());
        // No room at all: the same answer.
        sim::WmiQueryResult none = sim::WmiQuerySingleInstance(fdo, block.guid, 0, offset);
        EXPECT_TRUE(none.tooSmall);
        EXPECT_EQ(none.sizeNeeded, offset + block.size);
        // Exactly enough.
        sim::WmiQueryResult exact =
            sim::WmiQuerySingleInstance(fdo, block.guid, 0, offset + block.size);
        EXPECT_FALSE(exact.tooSmall);
        ASSERT_EQ(exact.instances.size(), 1u);
        EXPECT_EQ(exact.instances[0].data.size(), block.size);

        // All instances: whatever the first answer asks for is enough, and a byte
        // less is not.
        sim::WmiQueryResult first = sim::WmiQueryAllData(fdo, block.guid, sizeof(WNODE_TOO_SMALL));
        ASSERT_TRUE(first.tooSmall);
        EXPECT_TRUE(sim::WmiQueryAllData(fdo, block.guid, first.sizeNeeded - 1).tooSmall);
        sim::WmiQueryResult enough = sim::WmiQueryAllData(fdo, block.guid, first.sizeNeeded);
        EXPECT_FALSE(enough.tooSmall);
        ASSERT_EQ(enough.instances.size(), 1u);
        EXPECT_EQ(enough.instances[0].data.size(), block.size);
        EXPECT_EQ(enough.information, first.sizeNeeded);
    }
    // A port named COM3 given two bytes of room asks for ten.
    sim::AdapterOptions com3;
    com3.portName = u"COM3";
    PDEVICE_OBJECT other = Started(com3).Fdo();
    const ULONG offset = sim::WmiSingleInstanceDataOffset(other, kPortName, 0);
    sim::WmiQueryResult two = sim::WmiQuerySingleInstance(other, kPortName, 0, offset + 2);
    EXPECT_TRUE(two.tooSmall);
    EXPECT_EQ(two.sizeNeeded - offset, 10u);
}

TEST_F(WmiTest, APortWithoutExternalNamesHasNoNameToPublish) {
    sim::AdapterOptions skipped;
    skipped.skipExternalNaming = 1u;
    sim::AdapterOptions unnamed;
    unnamed.portName = std::nullopt;
    for (sim::AdapterOptions options : {skipped, unnamed}) {
        sim::Adapter& adapter = Started(options);
        PDEVICE_OBJECT fdo = adapter.Fdo();
        ASSERT_EQ(sim::WmiRegistrationOf(fdo)->blocks.size(), 5u) << "registered all the same";
        sim::WmiQueryResult name = sim::WmiQuerySingleInstance(fdo, kPortName, 0);
        EXPECT_TRUE(name.sent);
        EXPECT_EQ(name.status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_TRUE(name.instances.empty());
        EXPECT_EQ(sim::WmiQueryAllData(fdo, kPortName).status, STATUS_INSUFFICIENT_RESOURCES);
        // The room is looked at first: an empty name needs its two-byte count.
        const ULONG offset = sim::WmiSingleInstanceDataOffset(fdo, kPortName, 0);
        sim::WmiQueryResult cramped = sim::WmiQuerySingleInstance(fdo, kPortName, 0, offset + 1);
        EXPECT_TRUE(cramped.tooSmall);
        EXPECT_EQ(cramped.sizeNeeded, offset + 2);
        // The other four answer.
        EXPECT_EQ(Read(fdo, kCommInfo), CommInfoAfterStart().bytes);
        EXPECT_EQ(Read(fdo, kHardware).size(), 40u);
        EXPECT_EQ(Read(fdo, kPerformance).size(), 24u);
        EXPECT_EQ(Read(fdo, kProperties).size(), 68u);
        ASSERT_EQ(adapter.Remove(), STATUS_SUCCESS);
    }
}

TEST_F(WmiTest, EverySetIsRefusedAndChangesNothing) {
    sim::Adapter& adapter = Started();
    PDEVICE_OBJECT fdo = adapter.Fdo();
    const std::vector<uint8_t> before = Read(fdo, kCommInfo);
    for (const Block& block : kBlocks) {
        SCOPED_TRACE(block.name);
        std::vector<uint8_t> data = Read(fdo, block.guid);
        for (auto& b : data)
            b ^= 0xFF;
        sim::WmiSetResult whole = sim::WmiSetSingleInstance(fdo, block.guid, 0, data);
        EXPECT_TRUE(whole.sent);
        EXPECT_EQ(whole.status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(whole.information, 0u);
        sim::WmiSetResult item = sim::WmiSetSingleItem(fdo, block.guid, 0, 1, {0x80, 0x25, 0, 0});
        EXPECT_EQ(item.status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(item.information, 0u);
    }
    EXPECT_EQ(Read(fdo, kCommInfo), before);
    EXPECT_EQ(Read(fdo, kPortName), PortNameOf(u"COM3"));
}

// Counts what reaches the bus below the port.
PDRIVER_DISPATCH g_busSystemControl;
int g_busWmiRequests;
NTSTATUS NTAPI CountingBusSystemControl(PDEVICE_OBJECT device, PIRP irp) {
    ++g_busWmiRequests;
    return g_busSystemControl(device, irp);
}

TEST_F(WmiTest, WhatIsNotThePortsGoesDownTheRestIsAnsweredByThePort) {
    sim::Adapter& adapter = Started();
    PDEVICE_OBJECT fdo = adapter.Fdo();
    PDRIVER_OBJECT bus = adapter.Pdo()->DriverObject;
    g_busSystemControl = bus->MajorFunction[IRP_MJ_SYSTEM_CONTROL];
    g_busWmiRequests = 0;
    bus->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = CountingBusSystemControl;

    struct Case {
        const char* what;
        sim::WmiIrp request;
        NTSTATUS status;
        bool reachesBus;
    };
    auto request = [](UCHAR minor, const GUID& guid, PDEVICE_OBJECT provider = nullptr) {
        sim::WmiIrp r;
        r.minor = minor;
        r.guid = guid;
        r.provider = provider;
        r.bufferSize = 256;
        return r;
    };
    // Each block's instance 0 is its only one; a request for instance 1 carries
    // the static-names flag and index 1.
    sim::WmiIrp second = request(IRP_MN_QUERY_SINGLE_INSTANCE, kCommInfo);
    WNODE_SINGLE_INSTANCE wnode{};
    wnode.WnodeHeader.Guid = kCommInfo;
    wnode.WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    wnode.InstanceIndex = 1;
    wnode.DataBlockOffset = 72;
    second.buffer = sim::Bytes(wnode);
    const GUID unknown = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
    const Case cases[] = {
        {"a block the port does not have", request(IRP_MN_QUERY_ALL_DATA, unknown),
         STATUS_WMI_GUID_NOT_FOUND, false},
        {"a set on a block the port does not have", request(IRP_MN_CHANGE_SINGLE_INSTANCE, unknown),
         STATUS_WMI_GUID_NOT_FOUND, false},
        {"another provider", request(IRP_MN_QUERY_ALL_DATA, kCommInfo, adapter.Pdo()),
         STATUS_NOT_SUPPORTED, true},
        {"a minor code that is not WMI's", request(0x0A, kCommInfo), STATUS_NOT_SUPPORTED, true},
        {"events on a block", request(IRP_MN_ENABLE_EVENTS, kCommInfo), STATUS_SUCCESS, false},
        {"collection of a block", request(IRP_MN_DISABLE_COLLECTION, kPerformance), STATUS_SUCCESS,
         false},
        {"a method", request(IRP_MN_EXECUTE_METHOD, kCommInfo), STATUS_INVALID_DEVICE_REQUEST,
         false},
        {"a second instance", second, STATUS_WMI_INSTANCE_NOT_FOUND, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int before = g_busWmiRequests;
        sim::WmiIrpResult answer = sim::SendWmiIrp(fdo, c.request);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.returned, c.status);
        EXPECT_EQ(answer.information, 0u);
        EXPECT_EQ(g_busWmiRequests - before, c.reachesBus ? 1 : 0);
    }
    // The consumer's own requests stop at the port.
    const int before = g_busWmiRequests;
    Read(fdo, kCommInfo);
    EXPECT_EQ(g_busWmiRequests, before);
    bus->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = g_busSystemControl;
}

TEST_F(WmiTest, WmiRequestsAreNotAdmittedLikeOthers) {
    sim::Adapter& adapter = Started();
    PDEVICE_OBJECT fdo = adapter.Fdo();
    PortExtension* port = adapter.Port();
    const LONG pending = port->PendingRequestCount;
    // While a stop is pending every other request is held; WMI is answered.
    ASSERT_EQ(sim::SendPnp(adapter.Pdo(), IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    sim::WmiQueryResult during = sim::WmiQuerySingleInstance(fdo, kCommInfo, 0);
    EXPECT_EQ(during.status, STATUS_SUCCESS);
    EXPECT_EQ(during.instances.size(), 1u);
    EXPECT_TRUE(IsListEmpty(&port->StalledQueue));
    EXPECT_EQ(port->PendingRequestCount, pending);
    ASSERT_EQ(sim::SendPnp(adapter.Pdo(), IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
}

TEST_F(WmiTest, APortNotYetStartedIsNoWmiProvider) {
    sim::Adapter& adapter = bench.AddAdapter();
    ASSERT_EQ(AddDevice(bench.Driver(), adapter.Pdo()), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = adapter.Fdo();
    ASSERT_NE(fdo, nullptr);
    EXPECT_TRUE(sim::WmiRegisteredDevices().empty());
    // Whatever names the port as provider before it registered goes to the bus,
    // which leaves it untouched.
    for (UCHAR minor : {UCHAR(IRP_MN_REGINFO_EX), UCHAR(IRP_MN_QUERY_ALL_DATA)}) {
        sim::WmiIrp request;
        request.minor = minor;
        request.guid = kCommInfo;
        request.bufferSize = 512;
        sim::WmiIrpResult answer = sim::SendWmiIrp(fdo, request);
        EXPECT_EQ(answer.status, STATUS_NOT_SUPPORTED) << int(minor);
        EXPECT_EQ(answer.information, 0u);
    }
}

}  // namespace
