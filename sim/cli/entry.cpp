// vodrek-sim entry: what driver entry did.
#include <cstdio>

#include <sim/io.h>
#include <sim/registry.h>
#include <sim/simulation.h>

#include "cli.h"
#include "driver/driver.h"

namespace cli {

namespace {

constexpr char16_t kService[] = u"vodrek";

const char* MajorName(int major) {
    static const char* const names[] = {
        "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
        "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
        "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
        "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
        "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
        "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
        "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA",
        "IRP_MJ_PNP"};
    return names[major];
}

}  // namespace

int CommandEntry(const Options& options) {
    sim::Simulation sim;
    const std::u16string key = sim::ServiceKeyPath(kService);
    sim::CreateRegistryKey(key);
    const char* given = options.Value("--ext-baudrate");
    if (given) sim::SetRegistryString(key, u"ExtBaudrate", Widen(given));
    NTSTATUS status;
    PDRIVER_OBJECT driver = sim::LoadDriver(DriverEntry, kService, &status);
    if (!driver) {
        std::fprintf(stderr, "vodrek-sim: driver entry failed with status 0x%08X\n", static_cast<unsigned>(status));
        return 1;
    }

    // The request types the driver took over from the system's default.
    std::vector<int> installed;
    PDRIVER_DISPATCH systemDefault = driver->MajorFunction[IRP_MJ_SHUTDOWN];
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        if (driver->MajorFunction[major] != systemDefault) installed.push_back(major);
    }
    std::string banner = sim.DebugLog().empty() ? "" : sim.DebugLog().front();
    std::string path = Narrow(std::u16string(DriverRegistryPath.Buffer, DriverRegistryPath.Length / 2));
    const std::string statusText = StatusText(status);

    if (options.Flag("--json")) {
        Json out = Json::Object();
        out.Set("status", statusText);
        out.Set("banner", banner);
        out.Set("registry_path", path);
        out.Set("unload", driver->DriverUnload != nullptr);
        out.Set("add_device", driver->DriverExtension->AddDevice != nullptr);
        Json& dispatch = out.Set("dispatch", Json::Array());
        for (int major : installed) dispatch.Push(MajorName(major));
        out.Set("ext_baudrate_count", ExtBaudrateCount);
        Json& list = out.Set("ext_baudrate", Json::Array());
        for (LONG i = 0; i < ExtBaudrateCount; ++i) {
            Json& entry = list.Push(Json::Object());
            entry.Set("baud", ExtBaudrateList[i].Baud);
            entry.Set("rate_code", ExtBaudrateList[i].RateCode);
        }
        std::printf("%s\n", out.Dump().c_str());
    } else {
        std::printf("Driver entry returned %s\n\n", statusText.c_str());
        std::printf("Debug output:\n  %s", banner.c_str());
        std::printf("Registry path kept: %s\n", path.c_str());
        std::printf("Unload routine: %s   AddDevice: %s\n", driver->DriverUnload ? "installed" : "none",
                    driver->DriverExtension->AddDevice ? "installed" : "none");
        std::printf("Dispatch routines installed (%zu):\n", installed.size());
        for (int major : installed) std::printf("  0x%02X %s\n", major, MajorName(major));
        std::printf("\nExtBaudrate value: %s\n", given ? (std::string("\"") + given + "\"").c_str() : "(absent)");
        std::printf("Entries searched by the baud-rate setter: %d\n", ExtBaudrateCount);
        for (LONG i = 0; i < ExtBaudrateCount; ++i) {
            std::printf("  %2d: baud %10u -> rate code %10u (0x%08X)\n", i, ExtBaudrateList[i].Baud,
                        ExtBaudrateList[i].RateCode, ExtBaudrateList[i].RateCode);
        }
        if (ExtBaudrateCount == 0) std::printf("  (value malformed or unreadable: the list is not used)\n");
    }
    sim::UnloadDriver(driver);
    return 0;
}

}  // namespace cli
