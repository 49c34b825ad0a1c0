// vodrek-sim: the driver on the simulated platform, for a person at a terminal.
//
//   vodrek-sim entry [--ext-baudrate TEXT] [--json]
//       load the driver and show what driver entry did
//   vodrek-sim demo
//       the guided demo
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <sim/io.h>
#include <sim/pool.h>
#include <sim/registry.h>
#include <sim/simulation.h>

#include "driver/driver.h"

namespace {

constexpr char16_t kService[] = u"vodrek";

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string JsonEscape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            default: out += c;
        }
    }
    return out;
}

struct Options {
    std::vector<std::string> args;
    bool Flag(const char* name) const {
        for (auto& a : args)
            if (a == name) return true;
        return false;
    }
    const char* Value(const char* name) const {
        for (size_t i = 0; i + 1 < args.size(); ++i)
            if (args[i] == name) return args[i + 1].c_str();
        return nullptr;
    }
};

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

int CommandEntry(const Options& options) {
    sim::Simulation sim;
    const std::u16string key = sim::ServiceKeyPath(kService);
    sim::CreateRegistryKey(key);
    if (const char* text = options.Value("--ext-baudrate")) {
        sim::SetRegistryString(key, u"ExtBaudrate", Widen(text));
    }
    NTSTATUS status;
    PDRIVER_OBJECT driver = sim::LoadDriver(DriverEntry, kService, &status);
    if (!driver) {
        std::fprintf(stderr, "vodrek-sim: driver entry failed with status 0x%08X\n", static_cast<unsigned>(status));
        return 1;
    }

    // Which request types the driver took over from the system's default.
    std::vector<int> installed;
    PDRIVER_DISPATCH systemDefault = driver->MajorFunction[IRP_MJ_SHUTDOWN];
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        if (driver->MajorFunction[major] != systemDefault) installed.push_back(major);
    }
    std::string banner = sim.DebugLog().empty() ? "" : sim.DebugLog().front();
    std::string path = Narrow(std::u16string(DriverRegistryPath.Buffer, DriverRegistryPath.Length / 2));

    if (options.Flag("--json")) {
        std::printf("{\"status\":\"0x%08X\",\"banner\":\"%s\",\"registry_path\":\"%s\",", static_cast<unsigned>(status),
                    JsonEscape(banner).c_str(), JsonEscape(path).c_str());
        std::printf("\"unload\":%s,\"add_device\":%s,\"dispatch\":[", driver->DriverUnload ? "true" : "false",
                    driver->DriverExtension->AddDevice ? "true" : "false");
        for (size_t i = 0; i < installed.size(); ++i)
            std::printf("%s\"%s\"", i ? "," : "", MajorName(installed[i]));
        std::printf("],\"ext_baudrate_count\":%d,\"ext_baudrate\":[", ExtBaudrateCount);
        for (LONG i = 0; i < ExtBaudrateCount; ++i)
            std::printf("%s{\"baud\":%u,\"rate_code\":%u}", i ? "," : "", ExtBaudrateList[i].Baud,
                        ExtBaudrateList[i].RateCode);
        std::printf("]}\n");
    } else {
        std::printf("Driver entry returned 0x%08X\n\n", static_cast<unsigned>(status));
        std::printf("Debug output:\n  %s", banner.c_str());
        std::printf("Registry path kept: %s\n", path.c_str());
        std::printf("Unload routine: %s   AddDevice: %s\n", driver->DriverUnload ? "installed" : "none",
                    driver->DriverExtension->AddDevice ? "installed" : "none");
        std::printf("Dispatch routines installed (%zu):\n", installed.size());
        for (int major : installed) std::printf("  0x%02X %s\n", major, MajorName(major));
        const char* given = options.Value("--ext-baudrate");
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

int CommandDemo(const Options&) {
    std::printf("== vodrek on the simulated platform ==\n\n");
    std::printf("-- 1. Driver entry with no ExtBaudrate value\n\n");
    CommandEntry(Options{});
    std::printf("\n-- 2. Driver entry with ExtBaudrate \"921600,921600 460800,2147484264\"\n\n");
    CommandEntry(Options{{"--ext-baudrate", "921600,921600 460800,2147484264"}});
    return 0;
}

struct Command {
    const char* name;
    const char* usage;
    std::function<int(const Options&)> run;
};

const Command kCommands[] = {
    {"entry", "entry [--ext-baudrate TEXT] [--json]   load the driver and show what driver entry did",
     CommandEntry},
    {"demo", "demo                                  the guided demo", CommandDemo},
};

void Usage(FILE* out) {
    std::fprintf(out, "usage: vodrek-sim COMMAND [options]\n\ncommands:\n");
    for (const Command& c : kCommands) std::fprintf(out, "  %s\n", c.usage);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        Usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    Options options;
    for (int i = 2; i < argc; ++i) options.args.emplace_back(argv[i]);
    for (const Command& c : kCommands) {
        if (!std::strcmp(argv[1], c.name)) return c.run(options);
    }
    std::fprintf(stderr, "vodrek-sim: unknown command '%s'\n", argv[1]);
    Usage(stderr);
    return 2;
}
