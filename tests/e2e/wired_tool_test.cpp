// vodrek-sim null-modem and loopback, run as a person runs them: two adapters
// on a cable, each with its own driver stack, carry a pattern one way and both
// ways at once on every variant and flow mode; a reader that lags is kept up
// with by flow control, and without it loses data that the tool and the driver
// both report; one adapter with a loopback plug reads back what it writes; the
// capture opens in tshark; bad arguments are refused with a message.
#include <gtest/gtest.h>

#include "tests/support/tool_run.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

using simtest::Has;
using simtest::JsonValue;
using simtest::RunCommand;
using simtest::RunTool;
using simtest::RunToolJson;
using simtest::ToolRun;

void ExpectWhole(const JsonValue& direction, long long bytes) {
    SCOPED_TRACE(direction["direction"].string);
    EXPECT_EQ(direction["bytes_sent"].Int(), bytes);
    EXPECT_EQ(direction["bytes_received"].Int(), bytes);
    EXPECT_EQ(direction["bytes_in_order"].Int(), bytes);
    EXPECT_EQ(direction["bytes_lost"].Int(), 0);
    EXPECT_EQ(direction["bytes_corrupted"].Int(), 0);
    EXPECT_TRUE(direction["order_preserved"].True());
    EXPECT_TRUE(direction["clean"].True());
    EXPECT_EQ(direction["writes"]["bytes_accepted"].Int(), bytes);
    EXPECT_EQ(direction["reads"]["failed"].Int(), 0);
    EXPECT_EQ(direction["errors_reported"]["serial_overruns"].Int(), 0);
    EXPECT_EQ(direction["errors_reported"]["buffer_overruns"].Int(), 0);
}

TEST(NullModemTool, EveryVariantTalksToAnotherBothWaysAtOnce) {
    // Each variant at each end, against a neighbour of the other group too.
    for (int variant = 0; variant <= 4; ++variant) {
        const int other = (variant + 2) % 5;
        SCOPED_TRACE(std::to_string(variant) + " and " + std::to_string(other));
        JsonValue report;
        ToolRun run = RunToolJson("null-modem --chip " + std::to_string(variant) + " --chip2 " +
                                      std::to_string(other) +
                                      " --baud 115200 --bytes 4000 --flow rtscts --duplex --json",
                                  &report);
        EXPECT_EQ(run.exitCode, 0) << run.output;
        ASSERT_EQ(report["directions"].elements.size(), 2u) << run.output;
        EXPECT_EQ(report["directions"][0]["direction"].string, "COM3 to COM4");
        EXPECT_EQ(report["directions"][1]["direction"].string, "COM4 to COM3");
        ExpectWhole(report["directions"][0], 4000);
        ExpectWhole(report["directions"][1], 4000);
        EXPECT_EQ(report["ports"][0]["chip_variant"].Int(), variant);
        EXPECT_EQ(report["ports"][1]["chip_variant"].Int(), other);
        EXPECT_TRUE(report["all_finished"].True());
    }
}

TEST(NullModemTool, EveryFlowModeCarriesBothDirections) {
    for (const char* flow : {"none", "rtscts", "dtrdsr", "xonxoff"}) {
        SCOPED_TRACE(flow);
        JsonValue report;
        ToolRun run =
            RunToolJson(std::string("null-modem --chip 1 --chip2 3 --bytes 20000 "
                                    "--write-size 3000 --read-size 700 --duplex --flow ") +
                            flow + " --json",
                        &report);
        EXPECT_EQ(run.exitCode, 0) << run.output;
        ExpectWhole(report["directions"][0], 20000);
        ExpectWhole(report["directions"][1], 20000);
    }
    // One way only: one direction in the report, COM4 writes nothing.
    JsonValue report;
    ToolRun run = RunToolJson("null-modem --bytes 3000 --json", &report);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    ASSERT_EQ(report["directions"].elements.size(), 1u);
    ExpectWhole(report["directions"][0], 3000);
}

// A reader that takes 4096 bytes every 50 ms drains 80 KB/s of the 92 KB/s the
// line brings at 921,600 baud: with RTS/CTS the writer is held and nothing is
// lost; without flow control the receiving ring overflows, and both the tool
// and the driver say so.
TEST(NullModemTool, ALaggingReaderIsKeptUpWithByFlowControlOnly) {
    for (const char* flow : {"rtscts", "dtrdsr", "xonxoff"}) {
        SCOPED_TRACE(flow);
        JsonValue report;
        ToolRun run = RunToolJson(std::string("null-modem --chip 0 --chip2 2 --bytes 200000 "
                                              "--read-gap 50 --duplex --flow ") +
                                      flow + " --json",
                                  &report);
        EXPECT_EQ(run.exitCode, 0) << run.output;
        ExpectWhole(report["directions"][0], 200000);
        ExpectWhole(report["directions"][1], 200000);
    }
    JsonValue report;
    ToolRun run = RunToolJson("null-modem --bytes 200000 --read-gap 50 --json", &report);
    EXPECT_EQ(run.exitCode, 1) << run.output;
    const JsonValue& d = report["directions"][0];
    EXPECT_GT(d["bytes_lost"].Int(), 0) << run.output;
    EXPECT_TRUE(d["order_preserved"].True()) << "what arrives is in order";
    EXPECT_GT(d["errors_reported"]["buffer_overruns"].Int() +
                  d["errors_reported"]["serial_overruns"].Int(),
              0)
        << "the receiving driver reported the loss";
    EXPECT_TRUE(report["clean"].False());

    ToolRun text = RunTool("null-modem --bytes 100000 --read-gap 50");
    EXPECT_EQ(text.exitCode, 1);
    EXPECT_TRUE(Has(text.output, "RESULT: A DIRECTION LOST DATA OR FAILED")) << text.output;
    EXPECT_TRUE(Has(text.output, "COM3 to COM4: DATA LOST")) << text.output;
}

TEST(NullModemTool, TheCaptureOpensInTsharkWithBothAdapters) {
    if (RunCommand("command -v tshark").exitCode != 0)
        GTEST_SKIP() << "tshark is not installed";
    const std::string pcap = simtest::TempPath("null_modem.pcap");
    ToolRun run = RunTool("null-modem --bytes 2000 --duplex --json --pcap " + pcap);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    ToolRun all = RunCommand("tshark -r " + pcap);
    ASSERT_EQ(all.exitCode, 0) << all.output;
    EXPECT_FALSE(Has(all.output, "Malformed")) << all.output;
    // Written bytes, by the device that sent them: 2000 from each.
    ToolRun shark = RunCommand("tshark -r " + pcap +
                               " -Y 'usb.transfer_type == 0x03 && usb.endpoint_address.direction "
                               "== 0 && usb.irp_info.direction == 0' -T fields -e "
                               "usb.device_address -e usb.data_len");
    ASSERT_EQ(shark.exitCode, 0) << shark.output;
    std::map<long long, long long> byDevice;
    size_t start = 0;
    while (start < shark.output.size()) {
        size_t end = shark.output.find('\n', start);
        if (end == std::string::npos)
            end = shark.output.size();
        const std::string row = shark.output.substr(start, end - start);
        const size_t tab = row.find('\t');
        if (tab != std::string::npos)
            byDevice[std::atoll(row.c_str())] += std::atoll(row.c_str() + tab + 1);
        start = end + 1;
    }
    ASSERT_EQ(byDevice.size(), 2u) << shark.output;
    for (auto& [device, bytes] : byDevice)
        EXPECT_EQ(bytes, 2000) << "device " << device;
    std::remove(pcap.c_str());
}

TEST(LoopbackTool, EveryVariantAndFlowModeReadsBackWhatItWrites) {
    for (int variant = 0; variant <= 4; ++variant) {
        for (const char* flow : {"none", "rtscts", "dtrdsr", "xonxoff"}) {
            SCOPED_TRACE(std::to_string(variant) + " " + flow);
            JsonValue report;
            ToolRun run = RunToolJson("loopback --chip " + std::to_string(variant) +
                                          " --baud 115200 --bytes 3000 --write-size 1000 --flow " +
                                          flow + " --json",
                                      &report);
            EXPECT_EQ(run.exitCode, 0) << run.output;
            ASSERT_EQ(report["directions"].elements.size(), 1u) << run.output;
            ExpectWhole(report["directions"][0], 3000);
        }
    }
    // A lagging reader on its own line: RTS/CTS holds the port's own writes.
    JsonValue report;
    ToolRun run =
        RunToolJson("loopback --chip 2 --bytes 100000 --read-gap 50 --flow rtscts --json", &report);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    ExpectWhole(report["directions"][0], 100000);

    ToolRun text = RunTool("loopback --bytes 5000");
    EXPECT_EQ(text.exitCode, 0) << text.output;
    EXPECT_TRUE(Has(text.output, "RESULT: every direction arrived whole and in order"))
        << text.output;
    EXPECT_TRUE(Has(text.output, "COM3 to COM3: all 5000 bytes arrived, in order")) << text.output;
}

TEST(WiredTools, BadValuesAreRefusedWithTheirReason) {
    struct Case {
        const char* args;
        const char* says;
    };
    for (const Case& c :
         {Case{"null-modem --chip2 5", "--chip2"}, Case{"null-modem --chip -1", "--chip"},
          Case{"null-modem --read-size 0", "--read-size"},
          Case{"null-modem --read-gap x", "--read-gap"},
          Case{"null-modem --bytes 2000000000", "--bytes"},
          Case{"null-modem --flow both", "--flow"}, Case{"loopback --duplex", "--duplex"},
          Case{"loopback --chip2 1", "--chip2"}, Case{"loopback --write-size -1", "--write-size"},
          Case{"loopback --baud 99999999", "--baud"}}) {
        SCOPED_TRACE(c.args);
        ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(Has(run.output, c.says)) << run.output;
    }
}

}  // namespace
