// The PDO as the Plug and Play and power managers see it: identifiers in pool
// the caller frees, capabilities, relations, the requests a bus leaves alone,
// the start/stop/removal life, power and wait-wake.
#include "tests/sim/usb_fake_function.h"

#include <sim/pool.h>
#include <sim/registry.h>
#include <sim/verifier.h>

#include <functional>

namespace {

using sim::kMillisecond;
using usbtest::DataTransfer;
using usbtest::DeviceLayout;
using usbtest::UsbTest;

struct Answer {
    bool completed = false;
    NTSTATUS returned = 0;
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
};

NTSTATUS NTAPI Collect(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* answer = static_cast<Answer*>(context);
    answer->completed = true;
    answer->status = irp->IoStatus.Status;
    answer->information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class UsbPnpTest : public UsbTest {
  protected:
    // Sends a request to the PDO the way the Plug and Play or power manager
    // does: IoStatus preset to STATUS_NOT_SUPPORTED, answer collected by a
    // completion routine.
    PIRP Send(UCHAR major, UCHAR minor, const std::function<void(IO_STACK_LOCATION&)>& fill,
              Answer& answer, ULONG_PTR information = 0) {
        PIRP irp = IoAllocateIrp(device->Pdo()->StackSize, FALSE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->IoStatus.Information = information;
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = major;
        sp->MinorFunction = minor;
        if (fill)
            fill(*sp);
        IoSetCompletionRoutine(irp, Collect, &answer, TRUE, TRUE, TRUE);
        answer.returned = IoCallDriver(device->Pdo(), irp);
        return irp;
    }
    Answer Pnp(UCHAR minor, const std::function<void(IO_STACK_LOCATION&)>& fill = nullptr) {
        Answer a;
        Send(IRP_MJ_PNP, minor, fill, a);
        EXPECT_TRUE(a.completed);
        return a;
    }
    std::vector<std::u16string> QueryIds(BUS_QUERY_ID_TYPE type) {
        Answer a = Pnp(IRP_MN_QUERY_ID,
                       [type](IO_STACK_LOCATION& sp) { sp.Parameters.QueryId.IdType = type; });
        EXPECT_EQ(a.status, STATUS_SUCCESS);
        auto* text = reinterpret_cast<const char16_t*>(a.information);
        std::vector<std::u16string> ids;
        if (!text)
            return ids;
        EXPECT_TRUE(sim::IsPoolBlock(text));
        EXPECT_EQ(sim::PoolBlocksWithTag(sim::kUsbBusPoolTag), 1u);
        const bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
        for (const char16_t* p = text; *p; p += ids.back().size() + 1) {
            ids.emplace_back(p);
            if (!multi)
                break;
        }
        ExFreePool(const_cast<char16_t*>(text));  // the Plug and Play manager's part
        return ids;
    }
};

TEST_F(UsbPnpTest, IdentifiersComeFromTheDescriptorsInPoolTheCallerFrees) {
    Plug();
    EXPECT_EQ(QueryIds(BusQueryHardwareIDs),
              (std::vector<std::u16string>{u"USB\\VID_FFF1&PID_0201&REV_0300",
                                           u"USB\\VID_FFF1&PID_0201"}));
    EXPECT_EQ(QueryIds(BusQueryCompatibleIDs),
              (std::vector<std::u16string>{u"USB\\Class_FF&SubClass_00&Prot_00",
                                           u"USB\\Class_FF&SubClass_00", u"USB\\Class_FF"}));
    EXPECT_EQ(QueryIds(BusQueryDeviceID), std::vector<std::u16string>{u"USB\\VID_FFF1&PID_0201"});
    EXPECT_EQ(QueryIds(BusQueryInstanceID), std::vector<std::u16string>{u"1&1"});
    EXPECT_EQ(sim::PoolBlocksWithTag(sim::kUsbBusPoolTag), 0u);

    // The hardware key the function driver opens for its settings.
    const std::u16string key =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_FFF1&PID_0201\\1&"
        u"1\\Device Parameters";
    EXPECT_EQ(device->DeviceKeyPath(), key);
    HANDLE h = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(device->Pdo(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &h),
              STATUS_SUCCESS);
    // The registry spells the root its own way; the rest is the key asked for.
    ASSERT_EQ(sim::OpenRegistryHandlePaths().size(), 1u);
    const std::u16string opened = sim::OpenRegistryHandlePaths()[0];
    EXPECT_EQ(opened.substr(9), key.substr(9));
    ZwClose(h);

    // A device with a serial number is known by it; one that leaves its class
    // to the interface is matched by the interface's.
    client.reset();
    device.reset();
    DeviceLayout layout = usbtest::OneInterfaceDevice();
    layout.serial = u"A1B2C3";
    layout.deviceClass = 0;
    layout.interfaces[0].cls = 0x0A;
    Plug(layout);
    EXPECT_EQ(QueryIds(BusQueryInstanceID), std::vector<std::u16string>{u"A1B2C3"});
    EXPECT_EQ(QueryIds(BusQueryCompatibleIDs)[0], u"USB\\Class_0A&SubClass_FF&Prot_FF");

    // Configured identifiers win; an empty list is not answered at all.
    client.reset();
    device.reset();
    sim::UsbDeviceConfig config;
    config.hardwareIds = {u"USB\\VID_FFF1&PID_0201", u"*PNP0501"};
    config.compatibleIds = {};
    config.deviceKeyPath = u"\\Registry\\Machine\\System\\Test\\Port";
    Plug(usbtest::OneInterfaceDevice(), config);
    EXPECT_EQ(QueryIds(BusQueryHardwareIDs), config.hardwareIds);
    EXPECT_EQ(device->DeviceKeyPath(), config.deviceKeyPath);
}

TEST_F(UsbPnpTest, CapabilitiesAreFilledFromTheConfiguration) {
    sim::UsbDeviceConfig config;
    config.capabilities.deviceState[PowerSystemSleeping1] = PowerDeviceD1;
    config.capabilities.deviceD1 = true;
    config.capabilities.surpriseRemovalOK = true;
    config.capabilities.deviceWake = PowerDeviceD1;
    Plug(usbtest::OneInterfaceDevice(), config);
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = caps.UINumber = 0xFFFFFFFF;
    Answer a = Pnp(IRP_MN_QUERY_CAPABILITIES, [&](IO_STACK_LOCATION& sp) {
        sp.Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    const DEVICE_POWER_STATE expected[] = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD1,
                                           PowerDeviceD2,          PowerDeviceD2, PowerDeviceD3,
                                           PowerDeviceD3};
    for (int i = 0; i < PowerSystemMaximum; ++i)
        EXPECT_EQ(caps.DeviceState[i], expected[i]) << i;
    EXPECT_EQ(caps.SystemWake, PowerSystemSleeping3);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD1);
    EXPECT_TRUE(caps.DeviceD1);
    EXPECT_TRUE(caps.DeviceD2);
    EXPECT_TRUE(caps.WakeFromD2);
    EXPECT_FALSE(caps.WakeFromD3);
    EXPECT_TRUE(caps.Removable);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_EQ(caps.Address, 1u);
    EXPECT_EQ(caps.UINumber, 1u);
}

TEST_F(UsbPnpTest, TargetRelationAndTextAreAnsweredWhatTheBusDoesNotKnowIsLeftAlone) {
    sim::UsbDeviceConfig config;
    config.description = u"USB serial adapter";
    Plug(usbtest::OneInterfaceDevice(), config);
    const LONG references = device->Pdo()->ReferenceCount;
    Answer a = Pnp(IRP_MN_QUERY_DEVICE_RELATIONS, [](IO_STACK_LOCATION& sp) {
        sp.Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
    });
    ASSERT_EQ(a.status, STATUS_SUCCESS);
    struct Relations {
        ULONG Count;
        PDEVICE_OBJECT Objects[1];
    };
    auto* relations = reinterpret_cast<Relations*>(a.information);
    ASSERT_EQ(relations->Count, 1u);
    EXPECT_EQ(relations->Objects[0], device->Pdo());
    EXPECT_EQ(device->Pdo()->ReferenceCount, references + 1) << "the caller gets a reference";
    ObDereferenceObject(relations->Objects[0]);
    ExFreePool(relations);

    a = Pnp(IRP_MN_QUERY_DEVICE_TEXT, [](IO_STACK_LOCATION& sp) {
        sp.Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
    });
    ASSERT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(a.information)), config.description);
    ExFreePool(reinterpret_cast<void*>(a.information));

    const std::pair<UCHAR, std::function<void(IO_STACK_LOCATION&)>> others[] = {
        {IRP_MN_QUERY_DEVICE_RELATIONS,
         [](IO_STACK_LOCATION& sp) { sp.Parameters.QueryDeviceRelations.Type = BusRelations; }},
        {IRP_MN_QUERY_DEVICE_TEXT,
         [](IO_STACK_LOCATION& sp) {
             sp.Parameters.QueryDeviceText.DeviceTextType = DeviceTextLocationInformation;
         }},
        {IRP_MN_QUERY_PNP_DEVICE_STATE, nullptr},
        {IRP_MN_QUERY_RESOURCES, nullptr},
        {IRP_MN_QUERY_BUS_INFORMATION, nullptr},
    };
    for (const auto& [minor, fill] : others) {
        Answer untouched = Pnp(minor, fill);
        EXPECT_EQ(untouched.status, STATUS_NOT_SUPPORTED) << int(minor);
        EXPECT_EQ(untouched.returned, STATUS_NOT_SUPPORTED) << int(minor);
        EXPECT_EQ(untouched.information, 0u);
    }
    Answer wmi;
    Send(IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA, nullptr, wmi);
    EXPECT_EQ(wmi.status, STATUS_NOT_SUPPORTED);
}

TEST_F(UsbPnpTest, StartResetsStopDeconfiguresRemovalEndsEverything) {
    Plug();
    EXPECT_EQ(function->resets, 1) << "plugging in resets the device";
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(device->Started());
    EXPECT_EQ(function->resets, 2);
    Configure();
    for (UCHAR minor : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                        IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE})
        EXPECT_EQ(Pnp(minor).status, STATUS_SUCCESS) << int(minor);
    EXPECT_EQ(device->ConfigurationValue(), 1);

    EXPECT_EQ(Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(device->ConfigurationValue(), 0);
    uint8_t byte = 0;
    URB write = DataTransfer(Pipe(0x02), 0, &byte, 1);
    auto r = client->Submit(&write);
    EXPECT_EQ(write.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE)
        << "pipes close with the stop";
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(function->resets, 3);
    Configure();

    EXPECT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    EXPECT_FALSE(device->Connected());
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(device->Removed());
    write = DataTransfer(Pipe(0x02), 0, &byte, 1);
    r = client->Submit(&write);
    ASSERT_TRUE(r->completed);
    EXPECT_EQ(r->status, STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(UsbPnpTest, PowerRequestsSucceedUnlessToldOtherwiseAndWaitWakeIsHeld) {
    Plug();
    auto setPower = [&](UCHAR minor, DEVICE_POWER_STATE state) {
        Answer a;
        Send(
            IRP_MJ_POWER, minor,
            [state](IO_STACK_LOCATION& sp) {
                sp.Parameters.Power.Type = DevicePowerState;
                sp.Parameters.Power.State.DeviceState = state;
            },
            a);
        // The hub answers power requests in its own time.
        EXPECT_TRUE(sim_.RunUntil([&] { return a.completed; }, sim::kSecond));
        return a.status;
    };
    EXPECT_EQ(setPower(IRP_MN_QUERY_POWER, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(setPower(IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(device->PowerState(), PowerDeviceD3);
    device->SetPowerResponder([](const IO_STACK_LOCATION& sp) {
        return sp.MinorFunction == IRP_MN_SET_POWER ? STATUS_DEVICE_POWER_FAILURE : STATUS_SUCCESS;
    });
    EXPECT_EQ(setPower(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_DEVICE_POWER_FAILURE);
    EXPECT_EQ(device->PowerState(), PowerDeviceD3) << "a refused change changes nothing";
    device->SetPowerResponder(nullptr);
    EXPECT_EQ(setPower(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    Answer sequence;
    Send(IRP_MJ_POWER, IRP_MN_POWER_SEQUENCE, nullptr, sequence);
    EXPECT_EQ(sequence.status, STATUS_NOT_SUPPORTED);

    auto waitWake = [&](SYSTEM_POWER_STATE from, Answer& a) {
        return Send(
            IRP_MJ_POWER, IRP_MN_WAIT_WAKE,
            [from](IO_STACK_LOCATION& sp) { sp.Parameters.WaitWake.PowerState = from; }, a);
    };
    Answer first;
    waitWake(PowerSystemSleeping3, first);
    EXPECT_EQ(first.returned, STATUS_PENDING);
    EXPECT_FALSE(first.completed);
    Answer busy;
    waitWake(PowerSystemSleeping1, busy);
    EXPECT_EQ(busy.status, STATUS_DEVICE_BUSY) << "one wait-wake at a time";
    Answer tooDeep;
    EXPECT_TRUE(device->SignalWake());
    EXPECT_TRUE(first.completed);
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_FALSE(device->SignalWake());
    waitWake(PowerSystemHibernate, tooDeep);
    EXPECT_EQ(tooDeep.status, STATUS_INVALID_DEVICE_STATE)
        << "cannot wake the system from deeper than S3";

    Answer cancelled;
    PIRP irp = waitWake(PowerSystemSleeping3, cancelled);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    Answer orphan;
    waitWake(PowerSystemSleeping3, orphan);
    device->Unplug();
    EXPECT_EQ(orphan.status, STATUS_NO_SUCH_DEVICE);
}

TEST_F(UsbPnpTest, OutsideD0TheSuspendedPortCarriesNoTransfers) {
    Plug();
    Configure();
    auto setPower = [&](DEVICE_POWER_STATE state) {
        Answer a;
        Send(
            IRP_MJ_POWER, IRP_MN_SET_POWER,
            [state](IO_STACK_LOCATION& sp) {
                sp.Parameters.Power.Type = DevicePowerState;
                sp.Parameters.Power.State.DeviceState = state;
            },
            a);
        EXPECT_TRUE(sim_.RunUntil([&] { return a.completed; }, sim::kSecond));
        return a.status;
    };
    uint8_t buffer[64];
    URB pending = DataTransfer(Pipe(0x83), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                               buffer, sizeof buffer);
    auto reader = client->Submit(&pending);
    sim_.RunFor(5 * kMillisecond);
    ASSERT_FALSE(reader->completed) << "the function has nothing to send";

    // A continuous reader ends with the suspend, cancelled at the next frame.
    EXPECT_EQ(setPower(PowerDeviceD3), STATUS_SUCCESS);
    ASSERT_TRUE(RunUntilDone(reader));
    EXPECT_EQ(reader->status, STATUS_CANCELLED);
    EXPECT_EQ(pending.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(function->suspends, 1);

    // Nothing answers on a suspended port, control transfers included.
    URB again = DataTransfer(Pipe(0x83), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                             sizeof buffer);
    auto refused = client->Submit(&again);
    ASSERT_TRUE(refused->completed) << "fails at once";
    EXPECT_EQ(again.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_FALSE(NT_SUCCESS(refused->status));
    URB vendor = usbtest::VendorRequest(URB_FUNCTION_VENDOR_DEVICE, false, 1, 0x0505, 0, nullptr, 0);
    auto control = client->Submit(&vendor);
    ASSERT_TRUE(control->completed);
    EXPECT_EQ(vendor.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    const size_t controlsBefore = function->controls.size();

    // Back in D0 the port works again.
    EXPECT_EQ(setPower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(function->resumes, 1);
    function->Send(0x83, {1, 2, 3});
    URB resumed = DataTransfer(Pipe(0x83), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                               buffer, sizeof buffer);
    auto read = client->Submit(&resumed);
    ASSERT_TRUE(RunUntilDone(read));
    EXPECT_EQ(read->status, STATUS_SUCCESS);
    EXPECT_EQ(resumed.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
    EXPECT_EQ(function->controls.size(), controlsBefore) << "the refused request never reached it";
}

TEST_F(UsbPnpTest, DeletingThePdoWithUrbsOutstandingIsReported) {
    Plug();
    Configure();
    uint8_t buffer[64];
    URB read = DataTransfer(Pipe(0x83), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                            sizeof buffer);
    auto r = client->Submit(&read);
    sim_.RunFor(5 * kMillisecond);
    ASSERT_FALSE(r->completed);
    sim::ExpectViolation expect(sim::Rule::DeviceDeletedWithIrps);
    client.reset();
    device.reset();
    EXPECT_EQ(expect.Count(), 1);
    EXPECT_NE(expect.LastMessage().find("BULK_OR_INTERRUPT_TRANSFER"), std::string::npos);
    ASSERT_TRUE(r->completed);
    EXPECT_EQ(r->status, STATUS_DEVICE_NOT_CONNECTED);
}

}  // namespace
