// Naming when things go wrong: a device-object name already taken moves on to
// the next number and nothing else does; and each step of making the external
// names failing in turn, with what is undone after it.
#include "tests/support/sim_fixture.h"

#include <sim/pnp.h>
#include <sim/pool.h>
#include <sim/registry.h>
#include <sim/workbench/workbench.h>

#include <functional>
#include <string>
#include <vector>

#include "driver/driver.h"

namespace {

using simtest::kComxTag;
using simtest::SimTest;

constexpr char16_t kSerialComm[] = u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";
// The tag of the link name the system allocates for a device interface ("Io  ").
constexpr ULONG kInterfaceLinkTag = 0x20206F49;

std::u16string Text(const UNICODE_STRING& s) {
    return s.Buffer ? std::u16string(s.Buffer, s.Length / sizeof(WCHAR)) : std::u16string();
}

std::u16string DeviceName(ULONG number) {
    std::u16string name = u"\\Device\\CorvantiSerial";
    for (char c : std::to_string(number))
        name += static_cast<char16_t>(c);
    return name;
}

// A device object of another driver that holds a name.
struct NameSquatter {
    sim::SimDriver* driver = sim::CreateSimDriver("squatter");
    PDEVICE_OBJECT device;
    explicit NameSquatter(const std::u16string& name)
        : device(sim::CreateSimDevice(driver, name, 0)) {}
    ~NameSquatter() { sim::DeleteSimDevice(device); }
};

class DeviceNameTest : public SimTest {
  protected:
    sim::Workbench bench;
};

TEST_F(DeviceNameTest, ATakenNameMovesOnToTheNextNumber) {
    NameSquatter two(DeviceName(2));
    NameSquatter three(DeviceName(3));
    sim::Adapter& adapter = bench.AddAdapter();
    ASSERT_EQ(adapter.Plug(), STATUS_SUCCESS);
    EXPECT_EQ(Text(adapter.Port()->DeviceName), DeviceName(4));
    EXPECT_EQ(NextDeviceNumber, 5u) << "each number tried is used up";
    EXPECT_EQ(sim::LookupDevice(DeviceName(2)), two.device);
    EXPECT_EQ(sim::LookupDevice(DeviceName(4)), adapter.Fdo());
    ASSERT_EQ(adapter.Remove(), STATUS_SUCCESS);
}

TEST_F(DeviceNameTest, OnlyACollisionIsRetried) {
    // A collision reported by the object manager for any reason is retried too.
    sim::Adapter& first = bench.AddAdapter();
    sim::FailNthDeviceCreation(1, STATUS_OBJECT_NAME_COLLISION);
    ASSERT_EQ(first.Plug(), STATUS_SUCCESS);
    EXPECT_EQ(Text(first.Port()->DeviceName), DeviceName(3));
    ASSERT_EQ(first.Remove(), STATUS_SUCCESS);

    // Every other failure is the answer at once: one number used, no device.
    for (NTSTATUS failure : {STATUS_INSUFFICIENT_RESOURCES, STATUS_OBJECT_PATH_NOT_FOUND,
                             STATUS_ACCESS_DENIED, STATUS_OBJECT_NAME_INVALID}) {
        SCOPED_TRACE(failure);
        sim::AdapterOptions options;
        options.portName = u"COM4";
        sim::Adapter& adapter = bench.AddAdapter(options);
        bench.ReloadDriverIfUnloaded();
        const ULONG before = NextDeviceNumber;
        sim::FailNthDeviceCreation(1, failure);
        EXPECT_EQ(adapter.Plug(), failure);
        EXPECT_EQ(NextDeviceNumber, before + 1) << "not retried";
        EXPECT_FALSE(adapter.Present());
    }
}

// A port started without external names whose device key now asks for them, so
// that the test makes them itself, step by step going wrong.
class LateNamingTest : public SimTest {
  protected:
    struct Baseline {
        size_t comx, interfaceLinks, handles;
    };

    sim::Adapter& PlugUnnamed() {
        sim::AdapterOptions options;
        options.skipExternalNaming = 1u;
        sim::Adapter& adapter = bench.AddAdapter(options);
        EXPECT_EQ(adapter.Plug(), STATUS_SUCCESS);
        EXPECT_TRUE(sim::SymbolicLinks().empty());
        sim::DeleteRegistryValue(adapter.DeviceKeyPath(), u"SerialSkipExternalNaming");
        return adapter;
    }
    static Baseline Now() {
        return {sim::PoolBlocksWithTag(kComxTag), sim::PoolBlocksWithTag(kInterfaceLinkTag),
                sim::OpenRegistryHandles()};
    }
    // Nothing of the names is left: no link to the port, no SERIALCOMM value of
    // its device name, no enabled interface, no buffer, no open key.
    void ExpectNothingNamed(sim::Adapter& adapter, const Baseline& before) {
        PortExtension* port = adapter.Port();
        const std::u16string device = Text(port->DeviceName);
        for (const auto& [link, target] : sim::SymbolicLinks())
            EXPECT_NE(target, device) << "link left behind";
        EXPECT_FALSE(sim::GetRegistryString(kSerialComm, device).has_value());
        for (const sim::DeviceInterfaceRecord& i : sim::DeviceInterfaces())
            EXPECT_FALSE(i.pdo == adapter.Pdo() && i.enabled) << "interface left enabled";
        EXPECT_EQ(port->SymbolicLinkName.Buffer, nullptr);
        EXPECT_EQ(port->PortNameValue.Buffer, nullptr);
        EXPECT_EQ(port->WmiPortName.Buffer, nullptr);
        EXPECT_EQ(port->InterfaceLinkName.Buffer, nullptr);
        EXPECT_EQ(port->LinkCreated, 0);
        EXPECT_EQ(port->SerialCommWritten, 0);
        const Baseline after = Now();
        EXPECT_EQ(after.comx, before.comx) << "pool of the driver left";
        EXPECT_EQ(after.interfaceLinks, before.interfaceLinks) << "interface link name left";
        EXPECT_EQ(after.handles, before.handles) << "device key left open";
    }

    sim::Workbench bench;
};

TEST_F(LateNamingTest, EachStepFailingLeavesNothingNamed) {
    struct Case {
        const char* what;
        std::function<void(sim::Adapter&)> arrange;
        std::function<void(sim::Adapter&)> restore;
        NTSTATUS expected;
    };
    std::u16string instance;
    const Case cases[] = {
        {"device key not opened", [](sim::Adapter& a) { sim::ForgetDeviceRegistryKeys(a.Pdo()); },
         [](sim::Adapter& a) {
             sim::SetDeviceRegistryKey(a.Pdo(), PLUGPLAY_REGKEY_DEVICE, a.DeviceKeyPath());
         },
         STATUS_INVALID_PARAMETER},
        {"neither name readable",
         [](sim::Adapter&) { sim::FailRegistryReads(true, STATUS_DEVICE_DATA_ERROR); },
         [](sim::Adapter&) { sim::FailRegistryReads(false); }, STATUS_DEVICE_DATA_ERROR},
        {"link already taken",
         [](sim::Adapter&) {
             UNICODE_STRING link, target;
             RtlInitUnicodeString(&link, u"\\DosDevices\\COM3");
             RtlInitUnicodeString(&target, u"\\Device\\Elsewhere");
             ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
         },
         [](sim::Adapter&) {
             // The other owner's link is still there and still its own.
             auto links = sim::SymbolicLinks();
             ASSERT_EQ(links.size(), 1u);
             EXPECT_EQ(links[0].second, u"\\Device\\Elsewhere");
             UNICODE_STRING link;
             RtlInitUnicodeString(&link, u"\\DosDevices\\COM3");
             IoDeleteSymbolicLink(&link);
         },
         STATUS_OBJECT_NAME_COLLISION},
        {"device map not writable",
         [](sim::Adapter&) { sim::DeleteRegistryKey(sim::kRegistryDeviceMap); },
         [](sim::Adapter&) { sim::CreateRegistryKey(sim::kRegistryDeviceMap); }, 0},
        {"interface not registered",
         [&](sim::Adapter& a) {
             instance = sim::DeviceInstancePath(a.Pdo());
             sim::SetDeviceInstancePath(a.Pdo(), u"");
         },
         [&](sim::Adapter& a) { sim::SetDeviceInstancePath(a.Pdo(), instance); },
         STATUS_INVALID_DEVICE_REQUEST},
        // The one late failure with the interface's link name in hand: it is
        // disabled and given back.
        {"interface not enabled",
         [](sim::Adapter&) { sim::FailNextInterfaceEnable(STATUS_UNSUCCESSFUL); },
         [](sim::Adapter&) { sim::FailNextInterfaceEnable(STATUS_SUCCESS); }, STATUS_UNSUCCESSFUL},
        {"no memory for the interface link",
         [](sim::Adapter&) { sim::FailPoolAllocationsWithTag(kInterfaceLinkTag); },
         [](sim::Adapter&) { sim::FailPoolAllocationsWithTag(kInterfaceLinkTag, false); },
         STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Adapter& adapter = PlugUnnamed();
        const Baseline before = Now();
        c.arrange(adapter);
        const NTSTATUS status = CreateExternalNames(adapter.Port());
        c.restore(adapter);
        EXPECT_FALSE(NT_SUCCESS(status));
        if (c.expected != 0) {
            EXPECT_EQ(status, c.expected) << "the failing step's own status";
        }
        ExpectNothingNamed(adapter, before);
        ASSERT_EQ(adapter.Remove(), STATUS_SUCCESS);
        EXPECT_TRUE(sim::SymbolicLinks().empty());
    }
}

// Every allocation the naming makes, failed in turn. A failure that only loses
// the skip value names the port as usual; every other one leaves nothing.
TEST_F(LateNamingTest, EveryAllocationFailingInTurnLeavesNothingNamed) {
    int failed = 0;
    bool reachedTheEnd = false;
    for (uint64_t n = 1; n <= 16 && !reachedTheEnd; ++n) {
        SCOPED_TRACE(n);
        sim::Adapter& adapter = PlugUnnamed();
        PortExtension* port = adapter.Port();
        const Baseline before = Now();
        sim::FailNthPoolAllocation(n);
        const NTSTATUS status = CreateExternalNames(port);
        sim::ClearPoolFaults();
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(sim::LookupDevice(u"\\DosDevices\\COM3"), adapter.Fdo());
            EXPECT_EQ(sim::GetRegistryString(kSerialComm, Text(port->DeviceName)),
                      std::optional<std::u16string>(u"COM3"));
            // Past the last allocation the fault was never reached.
            reachedTheEnd = n > 1;
        } else {
            ++failed;
            ExpectNothingNamed(adapter, before);
        }
        ASSERT_EQ(adapter.Remove(), STATUS_SUCCESS);
        EXPECT_TRUE(sim::SymbolicLinks().empty());
        EXPECT_TRUE(sim::RegistryValues(kSerialComm).empty());
    }
    EXPECT_TRUE(reachedTheEnd);
    // Two build buffers, the name read, the WMI copy, the link and SERIALCOMM
    // strings and the interface link at least.
    EXPECT_GE(failed, 5);
}

}  // namespace
