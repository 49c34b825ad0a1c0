// vodrek-sim probe --sleep-wake, run as a person runs it: the system sleeps and
// wakes after the start, the JSON reports the port back in D0, and the wake's
// USB requests are in the capture.
#include <gtest/gtest.h>

#include "tests/support/tool_run.h"

#include <cstdio>
#include <string>

namespace {

using simtest::Has;
using simtest::RunCommand;
using simtest::RunTool;
using simtest::ToolRun;

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

long FileSize(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return -1;
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    std::fclose(file);
    return size;
}

TEST(ProbeSleepWake, ReportsTheDeviceBackInD0AndCapturesTheWake) {
    const std::string pcap = simtest::TempPath("probe_sleep_wake.pcap");
    const std::string plainPcap = simtest::TempPath("probe_plain.pcap");
    ToolRun plain = RunTool("probe --json --pcap " + plainPcap);
    ToolRun run = RunTool("probe --sleep-wake --json --pcap " + pcap);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string& json = run.output;
    EXPECT_NE(json.find("\"device_power_state\":\"D0\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"device_power_state_asleep\":\"D3\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"request\":\"SET_POWER D3\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"request\":\"SET_POWER D0\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"current_baud\":0"), std::string::npos) << json;
    EXPECT_EQ(plain.output.find("device_power_state"), std::string::npos) << "only when asked";
    EXPECT_EQ(json.find("VERIFIER"), std::string::npos);
    // The wake sends the line coding again: one SET_LINE_CODING more than the
    // start alone, in the trace and in the capture file.
    EXPECT_EQ(Count(json, "setup 21 20 "), Count(plain.output, "setup 21 20 ") + 1) << json;
    EXPECT_GT(FileSize(pcap), FileSize(plainPcap));
    std::remove(pcap.c_str());
    std::remove(plainPcap.c_str());
}

}  // namespace
