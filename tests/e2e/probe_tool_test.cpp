// vodrek-sim probe, run as a person runs it: every chip variant starts, the JSON
// carries what the tool promises, and the capture opens in tshark.
#include <gtest/gtest.h>

#include "tests/support/tool_run.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using simtest::Has;
using simtest::RunCommand;
using simtest::RunTool;
using simtest::ToolRun;

bool HaveTshark() { return RunCommand("command -v tshark").exitCode == 0; }

class ProbeTool : public ::testing::TestWithParam<int> {};

TEST_P(ProbeTool, StartsTheVariantAndWritesACaptureTsharkReads) {
    const int variant = GetParam();
    const std::string pcap = simtest::TempPath("probe_" + std::to_string(variant) + ".pcap");
    ToolRun run = RunTool("probe --chip " + std::to_string(variant) +
                         " --json --pcap " + pcap);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string& json = run.output;
    EXPECT_NE(json.find("\"chip_type\":" + std::to_string(variant)), std::string::npos) << json;
    EXPECT_NE(json.find("\"device_name\":\"\\\\Device\\\\CorvantiSerial2\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"com_name\":\"COM3\""), std::string::npos);
    EXPECT_NE(json.find("\"symbolic_link\":\"\\\\DosDevices\\\\COM3\""), std::string::npos);
    EXPECT_NE(json.find("\"pnp_state\":\"Started\""), std::string::npos);
    const std::string registers = variant < 2 ? "\"registers\":[1,0,36]" : "\"registers\":[1,0,68]";
    EXPECT_NE(json.find(registers), std::string::npos) << json;
    EXPECT_NE(json.find("\"SELECT_CONFIGURATION\":1"), std::string::npos);
    EXPECT_EQ(json.find("VERIFIER"), std::string::npos);

    if (!HaveTshark()) {
        GTEST_SKIP() << "tshark is not installed";
    }
    ToolRun tshark = RunCommand("tshark -r " + pcap + " -T fields -e usb.setup.bRequest -e usb.setup.wValue");
    ASSERT_EQ(tshark.exitCode, 0) << tshark.output;
    // The echo test of the newer chips writes register 6 (wValue 0x0606).
    if (variant >= 2) {
        EXPECT_NE(tshark.output.find("0x0606"), std::string::npos) << tshark.output;
    }
    // SET_LINE_CODING (32) went out on every variant.
    EXPECT_NE(tshark.output.find("32"), std::string::npos);
    ToolRun verbose = RunCommand("tshark -r " + pcap + " -V");
    EXPECT_EQ(verbose.output.find("Malformed"), std::string::npos);
    std::remove(pcap.c_str());
}

INSTANTIATE_TEST_SUITE_P(EveryVariant, ProbeTool, ::testing::Values(0, 1, 2, 3, 4));

TEST(ProbeToolOptions, BlankMemoryNamingAndBadInput) {
    ToolRun blank = RunTool("probe --chip 2 --blank-config-memory --json");
    ASSERT_EQ(blank.exitCode, 0) << blank.output;
    // Default registers go to a blank chip: register writes 0, 1, 2.
    EXPECT_NE(blank.output.find("setup 40 01 0000 0001"), std::string::npos) << blank.output;
    EXPECT_NE(blank.output.find("setup 40 01 0202 0044"), std::string::npos) << blank.output;

    ToolRun named = RunTool("probe --port-name COM42 --json");
    EXPECT_NE(named.output.find("\"symbolic_link\":\"\\\\DosDevices\\\\COM42\""), std::string::npos);
    ToolRun skipped = RunTool("probe --skip-external-naming --json");
    EXPECT_NE(skipped.output.find("\"symbolic_link\":null"), std::string::npos) << skipped.output;
    EXPECT_NE(skipped.output.find("\"serialcomm\":null"), std::string::npos);

    ToolRun bad = RunTool("probe --chip 7");
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.output.find("--chip takes a variant from 0 to 4"), std::string::npos);
}

}  // namespace
