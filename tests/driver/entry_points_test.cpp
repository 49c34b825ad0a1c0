// The table of entry points driver entry leaves in the driver object, one major
// function at a time: the routine each request type reaches, and the system's
// default for every type the port does not handle.
#include "tests/support/sim_fixture.h"

#include <set>
#include <string>

#include "control/control.h"
#include "driver/driver.h"

namespace {

using simtest::SimTest;

NTSTATUS NTAPI EntryThatInstallsNothing(PDRIVER_OBJECT, PUNICODE_STRING) {
    return STATUS_SUCCESS;
}

// What a driver object holds for a major function it was never given.
PDRIVER_DISPATCH SystemDefault() {
    NTSTATUS status;
    PDRIVER_OBJECT bare = sim::LoadDriver(EntryThatInstallsNothing, u"bare", &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    PDRIVER_DISPATCH fallback = bare->MajorFunction[IRP_MJ_SHUTDOWN];
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        EXPECT_EQ(bare->MajorFunction[major], fallback);
    sim::UnloadDriver(bare);
    return fallback;
}

TEST_F(SimTest, EachMajorFunctionReachesItsOwnRoutine) {
    const PDRIVER_DISPATCH fallback = SystemDefault();
    NTSTATUS status;
    PDRIVER_OBJECT driver = sim::LoadDriver(DriverEntry, u"vodrek", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);

    // The routines this driver has built so far, pinned by name.
    struct Named {
        UCHAR major;
        PDRIVER_DISPATCH routine;
    };
    const Named named[] = {
        {IRP_MJ_DEVICE_CONTROL, DispatchDeviceControl},
        {IRP_MJ_INTERNAL_DEVICE_CONTROL, DispatchInternalDeviceControl},
        {IRP_MJ_POWER, PowerDispatch},
        {IRP_MJ_SYSTEM_CONTROL, WmiDispatch},
        {IRP_MJ_PNP, PnpDispatch},
    };
    std::set<PDRIVER_DISPATCH> namedRoutines;
    for (const Named& n : named) {
        EXPECT_EQ(driver->MajorFunction[n.major], n.routine) << int(n.major);
        namedRoutines.insert(n.routine);
    }
    // The other request types the port serves have a routine of the driver's
    // own: neither the system's default nor one of the routines above (internal
    // device controls in particular must not reach the public code table).
    const UCHAR served[] = {IRP_MJ_CREATE,
                            IRP_MJ_CLOSE,
                            IRP_MJ_READ,
                            IRP_MJ_WRITE,
                            IRP_MJ_QUERY_INFORMATION,
                            IRP_MJ_SET_INFORMATION,
                            IRP_MJ_FLUSH_BUFFERS,
                            IRP_MJ_CLEANUP};
    std::set<UCHAR> handled;
    for (const Named& n : named)
        handled.insert(n.major);
    for (UCHAR major : served) {
        handled.insert(major);
        EXPECT_NE(driver->MajorFunction[major], fallback) << int(major);
        EXPECT_EQ(namedRoutines.count(driver->MajorFunction[major]), 0u) << int(major);
    }
    EXPECT_EQ(handled.size(), 13u);
    // Every other major function keeps the system's default.
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        if (!handled.count(major)) {
            EXPECT_EQ(driver->MajorFunction[major], fallback) << int(major);
        }
    }
    EXPECT_EQ(driver->DriverUnload, DriverUnload);
    EXPECT_EQ(driver->DriverExtension->AddDevice, AddDevice);
    sim::UnloadDriver(driver);
}

}  // namespace
