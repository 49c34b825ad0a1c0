// Plug and Play on a simulated adapter: add-device and naming, start in its order,
// stop and restart with held requests, removal and surprise removal, capabilities
// and hardware identifiers. Every test ends with the driver unloaded, no pool
// left and the verifier silent.
#include "tests/support/scripted_lower.h"
#include "tests/support/sim_fixture.h"

#include <sim/registry.h>
#include <sim/workbench/workbench.h>

#include <string>
#include <vector>

#include "control/control.h"
#include "datapath/datapath.h"

namespace {

using simtest::SimTest;

std::u16string Text(const UNICODE_STRING& s) {
    return s.Buffer ? std::u16string(s.Buffer, s.Length / sizeof(WCHAR)) : std::u16string();
}

constexpr char16_t kSerialComm[] = u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";

class PnpTest : public SimTest {
protected:
    sim::Workbench bench;
};

TEST_F(PnpTest, FirstStartNamesThePortAndRemovalUndoesIt) {
    sim::Adapter& adapter = bench.AddAdapter();
    const ULONG serialCount = IoGetConfigurationInformation()->SerialCount;
    ASSERT_EQ(adapter.Plug(), STATUS_SUCCESS);
    PortExtension* port = adapter.Port();
    ASSERT_NE(port, nullptr);

    EXPECT_EQ(Text(port->DeviceName), u"\\Device\\CorvantiSerial2");
    EXPECT_EQ(Text(port->SymbolicLinkName), u"\\DosDevices\\COM3");
    EXPECT_EQ(Text(port->PortNameValue), u"COM3");
    EXPECT_EQ(Text(port->WmiPortName), u"COM3");
    EXPECT_EQ(sim::LookupDevice(u"\\DosDevices\\COM3"), adapter.Fdo());
    EXPECT_EQ(sim::GetRegistryString(kSerialComm, u"\\Device\\CorvantiSerial2"), std::u16string(u"COM3"));
    auto interfaces = sim::DeviceInterfaces();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    EXPECT_EQ(interfaces[0].pdo, adapter.Pdo());
    EXPECT_EQ(Text(port->InterfaceLinkName), interfaces[0].symbolicLink);
    EXPECT_EQ(IoGetConfigurationInformation()->SerialCount, serialCount + 1);
    EXPECT_EQ(sim::WmiRegisteredDevices(), std::vector<PDEVICE_OBJECT>{adapter.Fdo()});

    EXPECT_EQ(port->PnpState, Started);
    EXPECT_EQ(port->DeviceStateFlags, 0u);
    EXPECT_EQ(port->ResourceFlags, RESOURCE_HAS_STARTED);
    EXPECT_TRUE(adapter.Fdo()->Flags & DO_BUFFERED_IO);
    EXPECT_TRUE(adapter.Fdo()->Flags & DO_POWER_PAGABLE);
    EXPECT_FALSE(adapter.Fdo()->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(port->LowerDevice, adapter.Pdo());

    ASSERT_EQ(adapter.Remove(), STATUS_SUCCESS);
    EXPECT_FALSE(adapter.Present());
    EXPECT_EQ(sim::LookupDevice(u"\\DosDevices\\COM3"), nullptr);
    EXPECT_FALSE(sim::GetRegistryString(kSerialComm, u"\\Device\\CorvantiSerial2").has_value());
    EXPECT_TRUE(sim::DeviceInterfaces().empty() || !sim::DeviceInterfaces()[0].enabled);
    EXPECT_TRUE(sim::WmiRegisteredDevices().empty());
    EXPECT_FALSE(bench.DriverLoaded()) << "the last port is gone";
    EXPECT_EQ(IoGetConfigurationInformation()->SerialCount, serialCount + 1) << "never decreased";
}

TEST_F(PnpTest, StartSendsItsRequestsInOrder) {
    sim::AdapterOptions options;
    options.chip.configMemoryProgrammed = false;
    sim::Adapter& adapter = bench.AddAdapter(options);
    adapter.Capture().Clear();
    ASSERT_EQ(adapter.Plug(), STATUS_SUCCESS);
    // Compact forms: function and bRequest of the control transfers, in order.
    std::vector<std::string> seen;
    for (const sim::UrbRecord& r : adapter.Capture().Records()) {
        std::string name = sim::UrbFunctionName(r.function);
        if (r.hasSetup && (r.setup.bmRequestType & 0x60)) {
            char buf[32];
            std::snprintf(buf, sizeof buf, " %02x %04x", r.setup.bRequest, r.setup.wValue);
            name += buf;
        }
        seen.push_back(name);
    }
    // The settings reach the chip first (start of the port), then the device is
    // configured, then a blank chip gets its default registers and all three
    // registers are read back.
    auto find = [&](const std::string& what, size_t from = 0) {
        for (size_t i = from; i < seen.size(); ++i)
            if (seen[i].find(what) == 0) return i;
        return seen.size();
    };
    size_t feature = find("SET_FEATURE_TO_DEVICE");
    size_t lineCoding = find("CLASS_INTERFACE 20");
    size_t lines = find("CLASS_INTERFACE 22");
    size_t descriptor = find("GET_DESCRIPTOR_FROM_DEVICE");
    size_t select = find("SELECT_CONFIGURATION");
    size_t echo = find("VENDOR_DEVICE 01 0606");
    size_t defaults = find("VENDOR_DEVICE 01 0000", echo);
    size_t reads = find("VENDOR_DEVICE 01 8080", defaults);
    ASSERT_LT(reads, seen.size());
    EXPECT_LT(feature, lineCoding);
    EXPECT_LT(lineCoding, lines);
    EXPECT_LT(lines, descriptor);
    EXPECT_LT(descriptor, select);
    EXPECT_LT(select, echo);
    EXPECT_LT(echo, defaults);
    EXPECT_LT(defaults, reads);
    PortExtension* port = adapter.Port();
    EXPECT_EQ(port->ChipType, 2);
    EXPECT_EQ(port->ChipRegisterShadow[0], 0x01);
    EXPECT_EQ(port->ChipRegisterShadow[2], 0x44);
    EXPECT_EQ(adapter.Chip().Register(2), 0x44);
    EXPECT_EQ(port->ControlLineState & 3, 0) << "DTR and RTS end low";
}

TEST_F(PnpTest, EveryVariantStartsAndIsRecognised) {
    for (int variant = 0; variant <= 4; ++variant) {
        SCOPED_TRACE(variant);
        sim::AdapterOptions options;
        options.variant = variant;
        options.portName = u"COM" + std::u16string(1, u'3' + variant);
        sim::Adapter& adapter = bench.AddAdapter(options);
        ASSERT_EQ(adapter.Plug(), STATUS_SUCCESS);
        EXPECT_EQ(adapter.Port()->ChipType, variant);
        EXPECT_EQ(adapter.Port()->SingleInterface, variant == 0 ? 0 : 1);
    }
}

TEST_F(PnpTest, PortsAreNumberedFromTwoAndNumbersAreNotReused) {
    sim::AdapterOptions first, second, third;
    second.portName = u"COM4";
    third.portName = u"COM5";
    sim::Adapter& a = bench.AddAdapter(first);
    sim::Adapter& b = bench.AddAdapter(second);
    ASSERT_EQ(a.Plug(), STATUS_SUCCESS);
    ASSERT_EQ(b.Plug(), STATUS_SUCCESS);
    EXPECT_EQ(Text(a.Port()->DeviceName), u"\\Device\\CorvantiSerial2");
    EXPECT_EQ(Text(b.Port()->DeviceName), u"\\Device\\CorvantiSerial3");
    ASSERT_EQ(a.Remove(), STATUS_SUCCESS);
    sim::Adapter& c = bench.AddAdapter(third);
    ASSERT_EQ(c.Plug(), STATUS_SUCCESS);
    EXPECT_EQ(Text(c.Port()->DeviceName), u"\\Device\\CorvantiSerial4");
}

TEST_F(PnpTest, NamingFollowsTheDeviceKey) {
    struct Case {
        const char* what;
        std::optional<std::u16string> portName, identifier;
        std::optional<ULONG> skip;
        std::u16string link, serialComm;  // empty: none
    };
    const std::u16string longName(33, u'X');
    const Case cases[] = {
        {"identifier fallback", std::nullopt, u"COM9", std::nullopt, u"\\DosDevices\\COM9", u"COM9"},
        {"33-character name", longName, std::nullopt, std::nullopt, u"\\DosDevices\\" + longName, u""},
        {"skip naming", u"COM7", std::nullopt, 1u, u"", u""},
        {"no name at all", std::nullopt, std::nullopt, std::nullopt, u"", u""},
        {"name larger than its buffer", std::u16string(200, u'N'), std::nullopt, std::nullopt, u"", u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::AdapterOptions options;
        options.portName = c.portName;
        options.identifier = c.identifier;
        options.skipExternalNaming = c.skip;
        sim::Adapter& adapter = bench.AddAdapter(options);
        ASSERT_EQ(adapter.Plug(), STATUS_SUCCESS) << "naming never fails the start";
        PortExtension* port = adapter.Port();
        EXPECT_EQ(Text(port->SymbolicLinkName), c.link);
        auto value = sim::GetRegistryString(kSerialComm, Text(port->DeviceName));
        if (c.link.empty()) {
            EXPECT_FALSE(value.has_value());
            EXPECT_TRUE(sim::SymbolicLinks().empty());
        } else {
            EXPECT_EQ(value, std::optional<std::u16string>(c.serialComm));
            EXPECT_EQ(sim::LookupDevice(c.link), adapter.Fdo());
        }
        EXPECT_EQ(sim::WmiRegisteredDevices().size(), 1u) << "registered with WMI even without names";
        ASSERT_EQ(adapter.Remove(), STATUS_SUCCESS);
        EXPECT_TRUE(sim::SymbolicLinks().empty());
        EXPECT_TRUE(sim::RegistryValues(kSerialComm).empty());
    }
}

// A device control forced onto a port that is marked open: the only request
// type that admission holds while a stop is pending at this stage.
sim::IrpHandle GetBaudRate(PDEVICE_OBJECT fdo) {
    return sim::DeviceIoControl(fdo, IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(SERIAL_BAUD_RATE));
}

TEST_F(PnpTest, RequestsHeldWhileAStopIsPendingRunAfterTheRestart) {
    sim::Adapter& adapter = bench.AddAdapter();
    ASSERT_EQ(adapter.Plug(), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = adapter.Fdo();
    PortExtension* port = adapter.Port();
    port->LineControl = 0x03;
    port->CurrentBaud = 115200;
    ASSERT_EQ(sim::SendPnp(adapter.Pdo(), IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState, StopPending);
    port->DeviceIsOpen = 1;
    auto held = GetBaudRate(fdo);
    EXPECT_EQ(held->returned, STATUS_PENDING);
    EXPECT_FALSE(held->completed);
    port->DeviceIsOpen = 0;
    ASSERT_EQ(sim::SendPnp(adapter.Pdo(), IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState, Stopped);
    EXPECT_EQ(port->ResourceFlags, RESOURCE_HAS_STARTED | RESOURCE_WAS_STOPPED);
    EXPECT_FALSE(held->completed) << "held until the next start";
    ASSERT_EQ(adapter.Start(), STATUS_SUCCESS);
    // Re-dispatched through the whole frame again: a start leaves the port
    // closed, so the open check now turns it away.
    ASSERT_TRUE(held->completed);
    EXPECT_EQ(held->status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(port->PnpState, Started);
    EXPECT_EQ(port->ResourceFlags, RESOURCE_HAS_STARTED);
    EXPECT_EQ(port->LineControl, 0x1A) << "a restart writes the defaults again";
    EXPECT_EQ(port->CurrentBaud, 0u);
    EXPECT_EQ(sim::SymbolicLinks().size(), 1u) << "no second link";
    EXPECT_EQ(sim::WmiRegisteredDevices().size(), 1u) << "no second registration";
}

TEST_F(PnpTest, CancelStopReleasesTheHeldRequests) {
    sim::Adapter& adapter = bench.AddAdapter();
    ASSERT_EQ(adapter.Plug(), STATUS_SUCCESS);
    PortExtension* port = adapter.Port();
    ASSERT_EQ(sim::SendPnp(adapter.Pdo(), IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    port->DeviceIsOpen = 1;
    auto held = GetBaudRate(adapter.Fdo());
    EXPECT_FALSE(held->completed);
    ASSERT_EQ(sim::SendPnp(adapter.Pdo(), IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(held->completed);
    EXPECT_EQ(held->status, STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState, Started);
    EXPECT_EQ(port->DeviceStateFlags, 0u);
    port->DeviceIsOpen = 0;
}

// What the port's completion of a cancel-stop found: whether the request held
// meanwhile had already gone through.
struct CancelStopSeen {
    sim::IrpHandle held;
    bool completed = false;
    bool heldDoneAtCompletion = false;
};

NTSTATUS NTAPI CancelStopCompleted(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* seen = static_cast<CancelStopSeen*>(context);
    seen->completed = true;
    seen->heldDoneAtCompletion = seen->held->completed;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A cancel-stop goes down and comes back before the requests held while the stop
// was pending go through, and is completed only once they have.
// On a port of its own: the workbench of PnpTest loads the driver already.
using CancelStopTest = SimTest;

TEST_F(CancelStopTest, HeldRequestsAreRedispatchedOnlyAfterTheLowerDriversAreBack) {
    simtest::ScriptedLowerPort s;
    PortExtension* port = s.port();
    PIRP cancelStopBelow = nullptr;
    s.OnLower(IRP_MJ_PNP, [&](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_CANCEL_STOP_DEVICE)
            return simtest::CompleteBelow(irp, STATUS_SUCCESS);
        IoMarkIrpPending(irp);
        cancelStopBelow = irp;
        return STATUS_PENDING;
    });
    port->PnpState = Started;
    sim::IrpSetup queryStop;
    queryStop.major = IRP_MJ_PNP;
    queryStop.minor = IRP_MN_QUERY_STOP_DEVICE;
    ASSERT_EQ(sim::SendIrp(s.device(), queryStop)->status, STATUS_SUCCESS);
    ASSERT_EQ(port->PnpState, StopPending);
    port->DeviceIsOpen = 1;
    CancelStopSeen seen;
    seen.held = GetBaudRate(s.device());
    ASSERT_EQ(seen.held->returned, STATUS_PENDING);

    // The lower driver finishes its part of the cancel-stop 10 ms later.
    bool heldDoneWhenLowerFinished = true;
    sim_.Schedule(10 * sim::kMillisecond, "lower completes the cancel-stop", [&] {
        heldDoneWhenLowerFinished = seen.held->completed;
        if (cancelStopBelow)
            simtest::CompleteBelow(cancelStopBelow, STATUS_SUCCESS);
    });
    PIRP irp = IoAllocateIrp(s.device()->StackSize, FALSE);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_PNP;
    sp->MinorFunction = IRP_MN_CANCEL_STOP_DEVICE;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, CancelStopCompleted, &seen, TRUE, TRUE, TRUE);
    IoCallDriver(s.device(), irp);
    sim_.RunFor(20 * sim::kMillisecond);

    ASSERT_NE(cancelStopBelow, nullptr) << "the cancel-stop was passed down";
    ASSERT_TRUE(seen.completed);
    EXPECT_FALSE(heldDoneWhenLowerFinished) << "held requests went through before the stack was back";
    EXPECT_TRUE(seen.heldDoneAtCompletion) << "the cancel-stop was completed before the held requests ran";
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(seen.held->status, STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState, Started);
    EXPECT_EQ(port->DeviceStateFlags, 0u);
    IoFreeIrp(irp);
}

// A timer armed between a stop and the next start (an open after a cancelled
// removal can do it) is left alone by that start: no timer or DPC of the port
// is initialised again while it may be armed or queued.
TEST_F(PnpTest, ARestartLeavesATimerArmedMeanwhileAlone) {
    sim::Adapter& adapter = bench.AddAdapter();
    ASSERT_EQ(adapter.Plug(), STATUS_SUCCESS);
    PortExtension* port = adapter.Port();
    ASSERT_EQ(adapter.Stop(), STATUS_SUCCESS);
    ASSERT_EQ(sim::SendPnp(adapter.Pdo(), IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
    ASSERT_EQ(sim::SendPnp(adapter.Pdo(), IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
    LARGE_INTEGER due;
    due.QuadPart = -500 * sim::kMillisecond;
    SetDeferredTimer(port, &port->WriteTotalTimer, due, &port->Dpc.WriteTimeout);
    ASSERT_EQ(port->DeferredWorkCount, 2);

    sim::ExpectViolation reinitialised(sim::Rule::BadParameter);
    ASSERT_EQ(adapter.Start(), STATUS_SUCCESS);
    EXPECT_EQ(reinitialised.Count(), 0) << reinitialised.LastMessage();
    EXPECT_TRUE(port->WriteTotalTimer.Header.Inserted) << "still armed after the start";
    EXPECT_EQ(port->DeferredWorkCount, 2);
    sim_.RunFor(600 * sim::kMillisecond);
    EXPECT_FALSE(port->WriteTotalTimer.Header.Inserted);
    EXPECT_EQ(port->DeferredWorkCount, 1) << "its DPC ran and gave the hold back";
}

TEST_F(PnpTest, QueriesOnAnOpenPortAreRefusedAndCancelsRestoreTheState) {
    sim::Adapter& adapter = bench.AddAdapter();
    ASSERT_EQ(adapter.Plug(), STATUS_SUCCESS);
    PortExtension* port = adapter.Port();
    port->DeviceIsOpen = 1;
    EXPECT_EQ(adapter.Rebalance(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(adapter.Remove(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(port->PnpState, Started);
    EXPECT_EQ(port->DeviceStateFlags, 0u);
    port->DeviceIsOpen = 0;

    // Query-stop while not started is passed down untouched; cancel-stop after a
    // stop leaves the port stopped.
    ASSERT_EQ(adapter.Stop(), STATUS_SUCCESS);
    EXPECT_EQ(sim::SendPnp(adapter.Pdo(), IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState, Stopped);
    EXPECT_EQ(sim::SendPnp(adapter.Pdo(), IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState, Stopped);
    // Cancel-remove after query-remove starts the port again, even from Stopped.
    ASSERT_EQ(sim::SendPnp(adapter.Pdo(), IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState, RemovePending);
    EXPECT_EQ(port->DeviceStateFlags, DEVICE_STATE_REMOVING);
    EXPECT_EQ(sim::SendPnp(adapter.Pdo(), IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState, Started);
    EXPECT_EQ(port->DeviceStateFlags, 0u);
    ASSERT_EQ(adapter.Start(), STATUS_SUCCESS);
}

TEST_F(PnpTest, SurpriseRemovalThenRemovalUndoesNamesOnce) {
    sim::Adapter& adapter = bench.AddAdapter();
    ASSERT_EQ(adapter.Plug(), STATUS_SUCCESS);
    ASSERT_EQ(adapter.SurpriseRemove(false), STATUS_SUCCESS);
    PortExtension* port = adapter.Port();
    ASSERT_NE(port, nullptr) << "the device object lives until the removal";
    EXPECT_TRUE(port->DeviceStateFlags & DEVICE_STATE_SURPRISE_REMOVED);
    EXPECT_TRUE(sim::SymbolicLinks().empty());
    EXPECT_TRUE(sim::RegistryValues(kSerialComm).empty());
    EXPECT_TRUE(sim::WmiRegisteredDevices().empty());
    EXPECT_EQ(port->PendingRequestCount, 1) << "only the initial hold is left";
    // Every request but Plug and Play is now refused.
    port->DeviceIsOpen = 1;
    EXPECT_EQ(GetBaudRate(adapter.Fdo())->status, STATUS_DELETE_PENDING);
    port->DeviceIsOpen = 0;
    ASSERT_EQ(sim::FinishSurpriseRemoval(adapter.Pdo()), STATUS_SUCCESS);
    EXPECT_FALSE(adapter.Present());
    EXPECT_FALSE(bench.DriverLoaded());
}

TEST_F(PnpTest, CapabilitiesFillThePowerStateMap) {
    sim::AdapterOptions options;
    options.usb.capabilities.deviceState = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD1, PowerDeviceD2,
                                            PowerDeviceD2,          PowerDeviceD3, PowerDeviceD3};
    options.usb.capabilities.systemWake = PowerSystemSleeping1;
    options.usb.capabilities.deviceWake = PowerDeviceD1;
    sim::Adapter& adapter = bench.AddAdapter(options);
    ASSERT_EQ(adapter.Plug(), STATUS_SUCCESS);
    PortExtension* port = adapter.Port();
    const ULONG expected[] = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD1, PowerDeviceD2,
                              PowerDeviceD2,          PowerDeviceD3, PowerDeviceD3};
    for (int s = 0; s < PowerSystemMaximum; ++s) EXPECT_EQ(port->PowerStateMap[s], expected[s]) << s;
    EXPECT_EQ(port->SystemWake, static_cast<ULONG>(PowerSystemSleeping1));
    EXPECT_EQ(port->DeviceWake, static_cast<ULONG>(PowerDeviceD1));

    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    auto r = sim::SendPnp(adapter.Pdo(), IRP_MN_QUERY_CAPABILITIES,
                          [&](IO_STACK_LOCATION& sp) { sp.Parameters.DeviceCapabilities.Capabilities = &caps; });
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_TRUE(caps.SurpriseRemovalOK) << "the port sets it whatever the bus said";
}

// Hardware identifiers as a multi-string list, and the list's strings.
std::vector<std::u16string> Strings(ULONG_PTR list) {
    std::vector<std::u16string> out;
    auto* p = reinterpret_cast<const WCHAR*>(list);
    while (p && *p) {
        std::u16string s;
        while (*p) s += *p++;
        out.push_back(s);
        ++p;
    }
    return out;
}

ULONG_PTR MultiString(const std::vector<std::u16string>& strings) {
    size_t chars = 1;
    for (auto& s : strings) chars += s.size() + 1;
    auto* list = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), 0x64497550));
    size_t i = 0;
    for (auto& s : strings) {
        for (char16_t c : s) list[i++] = c;
        list[i++] = 0;
    }
    list[i] = 0;
    return reinterpret_cast<ULONG_PTR>(list);
}

sim::PnpResult QueryHardwareIds(PDEVICE_OBJECT pdo, ULONG_PTR list) {
    return sim::SendPnp(
        pdo, IRP_MN_QUERY_ID, [](IO_STACK_LOCATION& sp) { sp.Parameters.QueryId.IdType = BusQueryHardwareIDs; },
        list);
}

TEST_F(PnpTest, HardwareIdentifiersGetTheSerialPortIdentifierAppended) {
    sim::AdapterOptions multiport;
    multiport.multiportDevice = 1u;
    multiport.portName = u"COM4";
    sim::AdapterOptions missing;
    missing.multiportDevice = std::nullopt;
    missing.portName = u"COM5";
    sim::Adapter& single = bench.AddAdapter();
    sim::Adapter& multi = bench.AddAdapter(multiport);
    sim::Adapter& none = bench.AddAdapter(missing);
    for (sim::Adapter* a : {&single, &multi, &none}) ASSERT_EQ(a->Plug(), STATUS_SUCCESS);

    // The bus answers with two identifiers; the port adds its own after them.
    auto r = QueryHardwareIds(single.Pdo(), 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    std::vector<std::u16string> expected = single.Usb().HardwareIds();
    ASSERT_EQ(expected.size(), 2u);
    expected.push_back(u"*PNP0501");
    EXPECT_EQ(Strings(r.information), expected);
    ExFreePool(reinterpret_cast<PVOID>(r.information));

    r = QueryHardwareIds(multi.Pdo(), 0);
    EXPECT_EQ(Strings(r.information).back(), u"*PNP0502");
    ExFreePool(reinterpret_cast<PVOID>(r.information));

    // Without the value the query fails with the registry's status, is not
    // passed down, and the list the request carried stays as it was.
    ULONG_PTR given = MultiString({u"USB\\VID_FFF1&PID_0201"});
    r = QueryHardwareIds(none.Pdo(), given);
    EXPECT_EQ(r.status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(r.information, given);
    ExFreePool(reinterpret_cast<PVOID>(given));

    // Without memory for the longer list the query fails, the bus's list is
    // freed and nothing of the port's is kept; each allocation fails in turn.
    bool sawShortage = false;
    for (uint64_t n = 1; n <= 3; ++n) {
        SCOPED_TRACE(n);
        const size_t before = sim::PoolBlocksWithTag(simtest::kComxTag);
        sim::FailNthPoolAllocation(n);
        r = QueryHardwareIds(single.Pdo(), 0);
        sim::ClearPoolFaults();
        if (r.status == STATUS_INSUFFICIENT_RESOURCES) {
            sawShortage = true;
            EXPECT_EQ(r.information, 0u);
        } else {
            EXPECT_EQ(r.status, STATUS_SUCCESS);
            if (r.information) ExFreePool(reinterpret_cast<PVOID>(r.information));
        }
        EXPECT_EQ(sim::PoolBlocksWithTag(simtest::kComxTag), before);
    }
    EXPECT_TRUE(sawShortage);

    // Compatible identifiers go down unchanged.
    r = sim::SendPnp(single.Pdo(), IRP_MN_QUERY_ID,
                     [](IO_STACK_LOCATION& sp) { sp.Parameters.QueryId.IdType = BusQueryCompatibleIDs; });
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(Strings(r.information), single.Usb().CompatibleIds());
    if (r.information) ExFreePool(reinterpret_cast<PVOID>(r.information));

    // So do the device and instance identifiers: the bus's answer, one string.
    for (BUS_QUERY_ID_TYPE type : {BusQueryDeviceID, BusQueryInstanceID}) {
        r = sim::SendPnp(single.Pdo(), IRP_MN_QUERY_ID,
                         [type](IO_STACK_LOCATION& sp) { sp.Parameters.QueryId.IdType = type; });
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        ASSERT_NE(r.information, 0u);
        std::u16string id;
        for (auto* p = reinterpret_cast<const WCHAR*>(r.information); *p; ++p) id += *p;
        EXPECT_FALSE(id.empty());
        EXPECT_EQ(id.find(u"PNP050"), std::u16string::npos) << "nothing of the port's own";
        ExFreePool(reinterpret_cast<PVOID>(r.information));
    }
}

TEST_F(PnpTest, FailedStartIsRemovedWithNothingLeftBehind) {
    sim::Adapter& adapter = bench.AddAdapter();
    // The chip does not answer the echo read of register 6.
    sim::UrbMatch echoRead;
    echoRead.function = URB_FUNCTION_VENDOR_DEVICE;
    echoRead.predicate = [](const sim::UrbSummary& u) { return u.setup.wValue == 0x8686; };
    adapter.Usb().FailNext(echoRead, USBD_STATUS_STALL_PID);
    EXPECT_EQ(adapter.Plug(), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(adapter.Present());
    EXPECT_FALSE(bench.DriverLoaded());
    EXPECT_TRUE(sim::SymbolicLinks().empty());
}

TEST_F(PnpTest, AddDeviceFailuresLeaveNoDevice) {
    sim::Adapter& adapter = bench.AddAdapter();
    sim::FailNthDeviceCreation(1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(adapter.Plug(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(adapter.Present());
    // Name buffer, then device name: the second allocation fails after creation.
    sim::FailNthPoolAllocation(2);
    EXPECT_EQ(adapter.Plug(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(adapter.Present());
    sim::ClearPoolFaults();
    EXPECT_EQ(adapter.Plug(), STATUS_SUCCESS);
}

}  // namespace

namespace {

// Requests that arrive while a cancel-stop is under way on another processor:
// each is either held and re-dispatched by the cancel-stop, or admitted at once;
// none is left in the held queue once the stop is off.
int RequestsLeftBehind(sim::Policy policy, uint64_t seed) {
    sim::Simulation sim;
    sim.SetPolicy(policy, seed);
    sim::Workbench bench;
    sim::Adapter& adapter = bench.AddAdapter();
    EXPECT_EQ(adapter.Plug(), STATUS_SUCCESS);
    PortExtension* port = adapter.Port();
    EXPECT_EQ(sim::SendPnp(adapter.Pdo(), IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    port->DeviceIsOpen = 1;
    std::vector<sim::IrpHandle> requests;
    int application = sim.CreateThread("application", [&] {
        for (int i = 0; i < 4; ++i) requests.push_back(GetBaudRate(adapter.Fdo()));
    });
    EXPECT_EQ(sim::SendPnp(adapter.Pdo(), IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
    sim.RunUntil([&] { return sim.ThreadFinished(application); }, sim::kSecond);
    sim.RunUntilIdle();
    int left = 0;
    for (auto& r : requests) left += !r->completed;
    // Whatever was left behind goes with the removal.
    port->DeviceIsOpen = 0;
    EXPECT_EQ(adapter.Remove(), STATUS_SUCCESS);
    return left;
}

TEST(CancelStopRace, NoRequestIsLeftHeldOnceTheStopIsOff) {
    // Schedules that left a request behind when admission decided to hold it
    // from a look at the flags taken before the cancel spin lock.
    for (uint64_t seed : {14, 50, 55, 56, 63})
        EXPECT_EQ(RequestsLeftBehind(sim::Policy::SeededRandom, seed), 0) << "seeded schedule " << seed;
    EXPECT_EQ(RequestsLeftBehind(sim::Policy::Pct, 163), 0) << "PCT schedule 163";
    for (uint64_t seed = 1; seed <= 20; ++seed)
        EXPECT_EQ(RequestsLeftBehind(sim::Policy::Pct, seed), 0) << "PCT schedule " << seed;
}

}  // namespace
