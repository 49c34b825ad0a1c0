// Driver entry and unload on the simulated kernel.
#include "tests/support/port_harness.h"

#include <sim/registry.h>

#include <regex>

namespace {

using simtest::SimTest;

constexpr char16_t kService[] = u"vodrek";

PDRIVER_OBJECT Load(NTSTATUS* status) { return sim::LoadDriver(DriverEntry, kService, status); }

TEST_F(SimTest, EntryCopiesThePathPrintsTheBannerAndInstallsItsEntryPoints) {
    NTSTATUS status;
    PDRIVER_OBJECT driver = Load(&status);
    ASSERT_EQ(status, STATUS_SUCCESS);

    // The I/O manager's string is gone once entry returns; the copy stays.
    std::u16string expected = sim::ServiceKeyPath(kService);
    ASSERT_NE(DriverRegistryPath.Buffer, nullptr);
    EXPECT_EQ(std::u16string(DriverRegistryPath.Buffer, DriverRegistryPath.Length / 2), expected);
    EXPECT_EQ(DriverRegistryPath.MaximumLength, DriverRegistryPath.Length + 2);
    EXPECT_EQ(DriverRegistryPath.Buffer[DriverRegistryPath.Length / 2], 0);

    ASSERT_EQ(sim_.DebugLog().size(), 1u) << "the banner is the only line the driver prints";
    const std::string banner = sim_.DebugLog()[0];
    // The compiler's date and time notations: "Apr  1 2010" and "15:34:49".
    EXPECT_TRUE(std::regex_match(
        banner, std::regex("TARNIX\\.SYS:\t<Build: [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} - "
                           "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]>\n")))
        << banner;

    EXPECT_EQ(driver->DriverUnload, DriverUnload);
    EXPECT_EQ(driver->DriverExtension->AddDevice, AddDevice);
    const UCHAR handled[] = {IRP_MJ_CREATE,          IRP_MJ_CLOSE,         IRP_MJ_READ,
                             IRP_MJ_WRITE,           IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION,
                             IRP_MJ_FLUSH_BUFFERS,   IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                             IRP_MJ_CLEANUP,         IRP_MJ_POWER,         IRP_MJ_SYSTEM_CONTROL,
                             IRP_MJ_PNP};
    PDRIVER_DISPATCH unsupported = driver->MajorFunction[IRP_MJ_SHUTDOWN];
    for (UCHAR major : handled) EXPECT_NE(driver->MajorFunction[major], unsupported) << int(major);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], DispatchDeviceControl);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_LOCK_CONTROL], unsupported);

    EXPECT_NE(PagingLockHandle, nullptr);
    EXPECT_EQ(sim::SectionLockCount(), 0) << "the section is unlocked again before entry returns";
    EXPECT_EQ(NextDeviceNumber, 2u);

    sim::UnloadDriver(driver);  // the verifier checks that no pool is left
    EXPECT_EQ(DriverRegistryPath.Buffer, nullptr);
}

TEST_F(SimTest, EntryFailsWithoutMemoryForThePathCopy) {
    sim::FailNthPoolAllocation(1);
    NTSTATUS status;
    EXPECT_EQ(Load(&status), nullptr);
    EXPECT_EQ(status, STATUS_NO_MEMORY);
    EXPECT_EQ(sim::SectionLockCount(), 0);
}

struct ExtCase {
    const char* what;
    std::function<void(const std::u16string& key)> setup;
    LONG count;
    std::vector<std::pair<ULONG, ULONG>> entries;
};

TEST(DriverEntryExtBaudrate, ReadFromTheServiceKey) {
    const std::u16string key = sim::ServiceKeyPath(kService);
    const ExtCase cases[] = {
        {"absent", [](const std::u16string&) {}, 1, {{0, 0}}},
        {"empty", [](const std::u16string& k) { sim::SetRegistryString(k, u"ExtBaudrate", u""); }, 1, {{0, 0}}},
        {"two pairs",
         [](const std::u16string& k) { sim::SetRegistryString(k, u"ExtBaudrate", u"921600,921600 460800,2147484264"); },
         2,
         {{921600, 921600}, {460800, 0x80000268u}}},
        {"malformed", [](const std::u16string& k) { sim::SetRegistryString(k, u"ExtBaudrate", u"9600,1 "); }, 0, {}},
        // A value of the wrong type is refused by the query's type check instead
        // of being written as raw bytes over the string record.
        {"dword", [](const std::u16string& k) { sim::SetRegistryDword(k, u"ExtBaudrate", 9600); }, 0, {}},
        {"registry failing", [](const std::u16string&) { sim::FailRegistryReads(true); }, 0, {}},
    };
    for (const ExtCase& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Simulation sim;
        sim::CreateRegistryKey(key);
        c.setup(key);
        NTSTATUS status;
        PDRIVER_OBJECT driver = Load(&status);
        sim::FailRegistryReads(false);
        ASSERT_EQ(status, STATUS_SUCCESS) << "the list is optional: entry always succeeds";
        EXPECT_EQ(ExtBaudrateCount, c.count);
        for (size_t i = 0; i < c.entries.size(); ++i) {
            EXPECT_EQ(ExtBaudrateList[i].Baud, c.entries[i].first);
            EXPECT_EQ(ExtBaudrateList[i].RateCode, c.entries[i].second);
        }
        sim::UnloadDriver(driver);
    }
}

TEST(DriverEntryExtBaudrate, EveryAllocationFailureStillLoadsTheDriverWithoutLeaks) {
    // Fail each allocation entry makes in turn, after the path copy.
    for (uint64_t n = 2; n <= 6; ++n) {
        SCOPED_TRACE(n);
        sim::Simulation sim;
        sim::SetRegistryString(sim::ServiceKeyPath(kService), u"ExtBaudrate", u"9600,1");
        sim::FailNthPoolAllocation(n);
        NTSTATUS status;
        PDRIVER_OBJECT driver = Load(&status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_TRUE(ExtBaudrateCount == 0 || ExtBaudrateCount == 1);
        sim::UnloadDriver(driver);
    }
}

}  // namespace
