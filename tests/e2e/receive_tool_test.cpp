// vodrek-sim receive, run as a person runs it: a megabyte at 921,600 baud with
// RTS/CTS on each chip group arrives whole and in order while the application
// reads slower than the line; a far end that ignores flow control loses bytes
// and the driver reports it; every variant and flow mode works; bad arguments
// are refused with a message.
#include <gtest/gtest.h>

#include "tests/support/tool_run.h"

#include <cstdlib>
#include <string>

namespace {

using simtest::Has;
using simtest::RunCommand;
using simtest::RunTool;
using simtest::ToolRun;

// The number after "key": in the tool's JSON, or -1.
long long Number(const std::string& json, const std::string& key) {
    const std::string look = "\"" + key + "\":";
    const size_t at = json.find(look);
    if (at == std::string::npos) return -1;
    return std::strtoll(json.c_str() + at + look.size(), nullptr, 10);
}

class ReceiveTool : public ::testing::TestWithParam<int> {};

// 4096-byte reads every 20 ms drain about 200 KB/s at most, yet with 1024 bytes
// of ring the sender has to be held again and again.
TEST_P(ReceiveTool, AMegabyteWithRtsCtsArrivesWholeWhileTheReaderLags) {
    const std::string variant = std::to_string(GetParam());
    ToolRun run = RunTool("receive --chip " + variant + " --baud 921600 --bytes 1048576 --flow rtscts --read-gap 20 --json");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string& json = run.output;
    EXPECT_EQ(Number(json, "bytes_received"), 1048576);
    EXPECT_EQ(Number(json, "bytes_in_order"), 1048576);
    EXPECT_EQ(Number(json, "bytes_lost"), 0);
    EXPECT_EQ(Number(json, "chip_overruns"), 0);
    EXPECT_TRUE(Has(json, "\"data_intact\":true"));
    EXPECT_FALSE(Has(json, "VERIFIER"));
}

INSTANTIATE_TEST_SUITE_P(ChipGroups, ReceiveTool, ::testing::Values(0, 2));

TEST(ReceiveToolLoss, AFarEndIgnoringFlowControlLosesBytesAndTheDriverSaysSo) {
    ToolRun run = RunTool("receive --chip 2 --bytes 1048576 --flow rtscts --peer-ignores-flow --read-gap 20 --json");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    const std::string& json = run.output;
    EXPECT_GT(Number(json, "bytes_lost"), 0);
    EXPECT_EQ(Number(json, "bytes_corrupted"), 0) << "what arrives is in order";
    EXPECT_GT(Number(json, "serial_overruns"), 0);
    EXPECT_TRUE(Has(json, "\"loss_reported\":true"));

    ToolRun text = RunTool("receive --chip 2 --bytes 200000 --flow rtscts --peer-ignores-flow --read-gap 50");
    EXPECT_EQ(text.exitCode, 1);
    EXPECT_TRUE(Has(text.output, "RESULT: DATA LOST")) << text.output;
    EXPECT_TRUE(Has(text.output, "the driver reported overruns")) << text.output;
}

TEST(ReceiveToolModes, EveryVariantAndFlowModeReceivesWhatWasSent) {
    for (int variant = 0; variant <= 4; ++variant) {
        for (const char* flow : {"none", "rtscts", "dtrdsr", "xonxoff"}) {
            SCOPED_TRACE(std::to_string(variant) + " " + flow);
            ToolRun run = RunTool("receive --chip " + std::to_string(variant) + " --baud 115200 --bytes 20000 --flow " +
                                  flow + " --read-size 1000 --json");
            EXPECT_EQ(run.exitCode, 0) << run.output;
            EXPECT_EQ(Number(run.output, "bytes_in_order"), 20000) << run.output;
            EXPECT_EQ(Number(run.output, "chip_type"), variant);
        }
    }
    // The person's view: the verdict first, then the figures.
    simtest::ExpectSays(RunTool("receive --bytes 5000 --timeouts MAX,MAX,500"), 0,
                        {"RESULT: all 5000 bytes arrived, in order", "timeouts MAX,MAX,500 ms", "USB requests"});
}

TEST(ReceiveToolCapture, TheCaptureOpensInTshark) {
    if (!simtest::HaveTshark()) GTEST_SKIP() << "tshark is not installed";
    const std::string pcap = simtest::RunToolCapture("receive --bytes 3000 --json", "receive.pcap");
    // Every received byte travelled in a bulk-in completion.
    long long total = 0;
    for (auto& row : simtest::TsharkRows(pcap, simtest::kBulkInData, {"usb.data_len"})) total += row.at(0);
    EXPECT_EQ(total, 3000);
    std::remove(pcap.c_str());
}

TEST(ReceiveToolArguments, BadValuesAreRefusedWithTheirReason) {
    simtest::ExpectRefused("receive", {{"--chip 5", "--chip"},
                                       {"--baud 0", "--baud"},
                                       {"--bytes -3", "--bytes"},
                                       {"--flow rts", "--flow"},
                                       {"--timeouts 1,2", "--timeouts"},
                                       {"--timeouts 1,x,3", "--timeouts"},
                                       {"--read-size 0", "--read-size"}});
}

}  // namespace
