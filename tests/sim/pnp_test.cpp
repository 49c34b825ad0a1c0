// The simulated Plug and Play manager, with a minimal function driver over a
// simulator-owned physical device object.
#include "tests/support/sim_fixture.h"

#include <sim/files.h>
#include <sim/pnp.h>
#include <sim/wmi.h>
#include <simnt/ntddser.h>

#include <string>
#include <vector>

namespace {

using simtest::SimTest;

std::vector<UCHAR> g_pdoSaw;     // minor functions the bus device received
NTSTATUS g_queryStopAnswer;      // what the function driver says to a query-stop
bool g_unloaded;

NTSTATUS NTAPI FdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto lower = *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_NE(sim::Simulation::Current().CurrentThreadId(), 0) << "requests come from the manager's thread";
    if (minor == IRP_MN_QUERY_STOP_DEVICE && !NT_SUCCESS(g_queryStopAnswer)) {
        irp->IoStatus.Status = g_queryStopAnswer;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return g_queryStopAnswer;
    }
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS NTAPI FdoAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) { return simtest::AddFunctionDevice(driver, pdo); }

NTSTATUS NTAPI FdoFile(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FdoEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = FdoAddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = FdoPnp;
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) driver->MajorFunction[major] = FdoFile;
    driver->DriverUnload = [](PDRIVER_OBJECT) NTAPI { g_unloaded = true; };
    return STATUS_SUCCESS;
}

class PnpManagerTest : public SimTest {
protected:
    void SetUp() override {
        g_pdoSaw.clear();
        g_queryStopAnswer = STATUS_SUCCESS;
        g_unloaded = false;
        bus = sim::CreateSimDriver("bus");
        pdo = sim::CreateSimDevice(bus, u"\\Device\\SimBus0001", 0);
        sim::SetSimDispatch(bus, IRP_MJ_PNP, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
            g_pdoSaw.push_back(IoGetCurrentIrpStackLocation(irp)->MinorFunction);
            NTSTATUS status = irp->IoStatus.Status;
            switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
                case IRP_MN_START_DEVICE:
                case IRP_MN_QUERY_REMOVE_DEVICE:
                case IRP_MN_REMOVE_DEVICE:
                case IRP_MN_CANCEL_REMOVE_DEVICE:
                case IRP_MN_STOP_DEVICE:
                case IRP_MN_QUERY_STOP_DEVICE:
                case IRP_MN_CANCEL_STOP_DEVICE:
                case IRP_MN_SURPRISE_REMOVAL:
                case IRP_MN_QUERY_CAPABILITIES:
                    status = STATUS_SUCCESS;
                    break;
                default:
                    break;  // not handled by this bus: the status stays as it came
            }
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        });
        NTSTATUS status;
        driver = sim::LoadDriver(FdoEntry, u"fdo", &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }
    void TearDown() override {
        if (!g_unloaded) sim::UnloadDriver(driver);
        sim::DeleteSimDevice(pdo);
        SimTest::TearDown();
    }
    sim::SimDriver* bus = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDRIVER_OBJECT driver = nullptr;
};

TEST_F(PnpManagerTest, PlugStartsTheStackAndRemovalUnloadsTheDriver) {
    EXPECT_EQ(sim::PlugDevice(driver, pdo), STATUS_SUCCESS);
    ASSERT_NE(sim::FunctionDevice(pdo), nullptr);
    EXPECT_EQ(g_pdoSaw, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                                            IRP_MN_QUERY_PNP_DEVICE_STATE, sim::kUnhandledPnpMinor}));
    g_pdoSaw.clear();
    EXPECT_EQ(sim::RebalanceDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(g_pdoSaw, (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE}));
    g_pdoSaw.clear();
    EXPECT_EQ(sim::RemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(g_pdoSaw, (std::vector<UCHAR>{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(sim::FunctionDevice(pdo), nullptr);
    EXPECT_TRUE(g_unloaded) << "the last device of the driver is gone";
}

TEST_F(PnpManagerTest, RefusedQueryStopIsCancelled) {
    ASSERT_EQ(sim::PlugDevice(driver, pdo), STATUS_SUCCESS);
    g_pdoSaw.clear();
    g_queryStopAnswer = STATUS_DEVICE_BUSY;
    EXPECT_EQ(sim::RebalanceDevice(pdo), STATUS_DEVICE_BUSY);
    EXPECT_EQ(g_pdoSaw, (std::vector<UCHAR>{IRP_MN_CANCEL_STOP_DEVICE}));
    EXPECT_EQ(sim::RemoveDevice(pdo), STATUS_SUCCESS);
}

TEST_F(PnpManagerTest, UnhandledRequestsKeepNotSupported) {
    ASSERT_EQ(sim::PlugDevice(driver, pdo), STATUS_SUCCESS);
    EXPECT_EQ(sim::SendPnp(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(sim::SurpriseRemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(sim::FinishSurpriseRemoval(pdo), STATUS_SUCCESS);
    EXPECT_TRUE(g_unloaded);
}

// After a surprise removal the removal proper waits for the handles: until the
// last one is closed the stack stays, and its cleanup and close reach it.
TEST_F(PnpManagerTest, TheRemovalAfterASurpriseRemovalWaitsForTheLastHandle) {
    ASSERT_EQ(sim::PlugDevice(driver, pdo), STATUS_SUCCESS);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    sim::File file = sim::File::Open(u"\\Device\\SimBus0001", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    g_pdoSaw.clear();
    EXPECT_EQ(sim::SurpriseRemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(sim::FinishSurpriseRemoval(pdo), STATUS_PENDING);
    sim_.RunFor(sim::kSecond);
    EXPECT_EQ(g_pdoSaw, (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL}));
    ASSERT_NE(sim::FunctionDevice(pdo), nullptr) << "the stack stays while a handle is open";
    EXPECT_EQ(file.Close(), STATUS_SUCCESS);
    sim_.RunUntilIdle();
    EXPECT_EQ(g_pdoSaw, (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(sim::FunctionDevice(pdo), nullptr);
    EXPECT_TRUE(g_unloaded);
}

TEST_F(SimTest, DeviceInterfacesAreNamedAfterTheInstancePath) {
    auto bus = sim::CreateSimDriver("bus");
    PDEVICE_OBJECT pdo = sim::CreateSimDevice(bus, u"", 0);
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &link),
              STATUS_INVALID_DEVICE_REQUEST)
        << "no instance path: no interface";
    sim::SetDeviceInstancePath(pdo, u"USB\\VID_FFF1&PID_0201\\5&1");
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &link), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(link.Buffer, link.Length / 2),
              u"\\??\\USB#VID_FFF1&PID_0201#5&1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(sim::DeviceInterfaces().size(), 1u);
    EXPECT_TRUE(sim::DeviceInterfaces()[0].enabled);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_FALSE(sim::DeviceInterfaces()[0].enabled);
    RtlFreeUnicodeString(&link);
    sim::DeleteSimDevice(pdo);
}

TEST_F(SimTest, DeletingADeviceStillRegisteredWithWmi) {
    sim::ExpectViolation v(sim::Rule::BadParameter);
    auto driver = sim::CreateSimDriver("wmi");
    PDEVICE_OBJECT dev = nullptr;
    ASSERT_EQ(IoCreateDevice(sim::DriverObjectOf(driver), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev),
              STATUS_SUCCESS);
    EXPECT_EQ(IoWMIRegistrationControl(dev, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
    EXPECT_EQ(IoWMIRegistrationControl(dev, WMIREG_ACTION_REGISTER), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(sim::WmiRegisteredDevices().size(), 1u);
    IoDeleteDevice(dev);
    EXPECT_EQ(v.Count(), 1);
}

}  // namespace
