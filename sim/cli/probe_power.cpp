// vodrek-sim probe --sleep-wake: after the start the system sleeps (S3) and
// wakes again, and the probe reports the port's device power state, the rate
// it runs at, and what each transition asked of the device. The wake's USB
// requests land in the probe's capture with the start's.
#include <cstdio>
#include <string>
#include <vector>

#include <sim/power.h>

#include "probe.h"

namespace cli {

namespace {

// For the person reading: filled by the run, printed with the port.
std::vector<std::string> g_lines;

std::string DeviceState(ULONG state) {
    return sim::PowerStateName(DevicePowerState, state);
}

Json Describe(const char* what, const sim::PowerTransition& t) {
    Json out = Json::Object();
    out.Set("system_state", sim::PowerStateName(SystemPowerState, t.target));
    if (t.querySent)
        out.Set("query_status", StatusText(t.query));
    out.Set("set_status", StatusText(t.set));
    Json& requests = out.Set("device_requests", Json::Array());
    std::string line =
        std::string(what) + " to " + sim::PowerStateName(SystemPowerState, t.target) + ": ";
    line += t.querySent ? "query " + StatusText(t.query) + ", " : "";
    line += "set " + StatusText(t.set);
    for (const sim::DevicePowerRequest& r : t.deviceRequests) {
        const std::string request =
            sim::PowerMinorName(r.minor) + " " + DeviceState(r.state.DeviceState);
        Json& entry = requests.Push(Json::Object());
        entry.Set("request", request);
        entry.Set("status", StatusText(r.status));
        line += "; the port asked for " + request + " (" + StatusText(r.status) + ")";
    }
    g_lines.push_back(line);
    return out;
}

}  // namespace

void RunSleepWake(const Options& options, sim::Adapter& adapter, Json& out) {
    g_lines.clear();
    if (!options.Flag("--sleep-wake") || !adapter.Present())
        return;
    Json& report = out.Set("sleep_wake", Json::Object());
    report.Set("sleep", Describe("Sleep", sim::SleepSystem(adapter.Pdo(), PowerSystemSleeping3)));
    const std::string asleep = DeviceState(adapter.Port()->DevicePowerState);
    report.Set("device_power_state_asleep", asleep);
    g_lines.push_back("While asleep the device is in " + asleep);
    report.Set("wake", Describe("Wake", sim::WakeSystem(adapter.Pdo())));
    const PortExtension* port = adapter.Port();
    out.Set("device_power_state", DeviceState(port->DevicePowerState));
    out.Set("current_baud", port->CurrentBaud);
    g_lines.push_back("Awake again: device in " + DeviceState(port->DevicePowerState) + ", baud " +
                      std::to_string(port->CurrentBaud));
}

void PrintSleepWake() {
    if (g_lines.empty())
        return;
    std::printf("\nSleep and wake\n");
    for (const std::string& line : g_lines)
        std::printf("  %s\n", line.c_str());
}

}  // namespace cli
