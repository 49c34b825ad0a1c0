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

// A null-modem run both ways at once that carries every byte of each
// direction; answers its report.
JsonValue ExpectDuplexWhole(const std::string& args, long long bytes) {
    SCOPED_TRACE(args);
    JsonValue report;
    ToolRun run = RunToolJson(
        "null-modem --bytes " + std::to_string(bytes) + " --duplex " + args + " --json", &report);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(report["directions"].elements.size(), 2u) << run.output;
    EXPECT_EQ(report["directions"][0]["direction"].string, "COM3 to COM4");
    EXPECT_EQ(report["directions"][1]["direction"].string, "COM4 to COM3");
    ExpectWhole(report["directions"][0], bytes);
    ExpectWhole(report["directions"][1], bytes);
    EXPECT_TRUE(report["all_finished"].True());
    return report;
}

TEST(NullModemTool, EveryVariantTalksToAnotherBothWaysAtOnce) {
    // Each variant at each end, against one of the other group too.
    for (int variant = 0; variant <= 4; ++variant) {
        const int other = (variant + 2) % 5;
        const JsonValue report =
            ExpectDuplexWhole("--chip " + std::to_string(variant) + " --chip2 " +
                                  std::to_string(other) + " --baud 115200 --flow rtscts",
                              4000);
        EXPECT_EQ(report["ports"][0]["chip_variant"].Int(), variant);
        EXPECT_EQ(report["ports"][1]["chip_variant"].Int(), other);
    }
}

TEST(NullModemTool, EveryFlowModeCarriesBothDirections) {
    for (const char* flow : {"none", "rtscts", "dtrdsr", "xonxoff"})
        ExpectDuplexWhole(
            std::string("--chip 1 --chip2 3 --write-size 3000 --read-size 700 --flow ") + flow,
            20000);
    // One way only: one direction in the report, COM4 writes nothing.
    JsonValue report;
    ToolRun run = RunToolJson("null-modem --bytes 3000 --json", &report);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    ASSERT_EQ(report["directions"].elements.size(), 1u);
    ExpectWhole(report["directions"][0], 3000);
    EXPECT_EQ(report["ports"][0]["chip_variant"].Int(), 2);
    EXPECT_EQ(report["ports"][1]["name"].string, "COM4");
}

// A reader that takes 4096 bytes every 50 ms drains 80 KB/s of the 92 KB/s the
// line brings at 921,600 baud: with flow control the writer is held and
// nothing is lost; without it the receiving ring overflows, and both the tool
// and the driver say so. Each handshake where a chip gates its transmitter on
// it: RTS/CTS on every variant, DTR/DSR on 3 and 4 (with a ring large enough
// for the bulk-in transfer on its way when DTR drops), XON/XOFF on 2 to 4.
TEST(NullModemTool, ALaggingReaderIsKeptUpWithByFlowControlOnly) {
    for (const char* args : {"--chip 0 --chip2 2 --flow rtscts", "--chip 1 --chip2 4 --flow rtscts",
                             "--chip 3 --chip2 4 --flow dtrdsr --queue-size 4096",
                             "--chip 2 --chip2 3 --flow xonxoff"})
        ExpectDuplexWhole(std::string("--read-gap 50 ") + args, 100000);
    JsonValue report;
    ToolRun run = RunToolJson("null-modem --bytes 100000 --read-gap 50 --json", &report);
    EXPECT_EQ(run.exitCode, 1) << run.output;
    const JsonValue& d = report["directions"][0];
    EXPECT_GT(d["bytes_lost"].Int(), 0) << run.output;
    EXPECT_EQ(d["bytes_corrupted"].Int(), 0);
    EXPECT_TRUE(d["order_preserved"].True()) << "what arrives is in order";
    // The driver keeps reading: the bytes are lost in its ring, each one counted.
    EXPECT_EQ(d["errors_reported"]["buffer_overruns"].Int(), d["bytes_lost"].Int());
    EXPECT_EQ(d["errors_reported"]["serial_overruns"].Int(), 0);
    EXPECT_TRUE(report["clean"].False());

    simtest::ExpectSays(RunTool("null-modem --bytes 100000 --read-gap 50"), 1,
                        {"RESULT: A DIRECTION LOST DATA OR FAILED", "COM3 to COM4: DATA LOST"});
}

TEST(NullModemTool, TheCaptureOpensInTsharkWithBothAdapters) {
    if (!simtest::HaveTshark())
        GTEST_SKIP() << "tshark is not installed";
    const std::string pcap =
        simtest::RunToolCapture("null-modem --bytes 2000 --duplex --json", "null_modem.pcap");
    // Written bytes, by the device that sent them: 2000 from each.
    std::map<long long, long long> byDevice;
    for (auto& row :
         simtest::TsharkRows(pcap, simtest::kBulkOutData, {"usb.device_address", "usb.data_len"}))
        byDevice[row.at(0)] += row.at(1);
    ASSERT_EQ(byDevice.size(), 2u);
    for (auto& [device, bytes] : byDevice)
        EXPECT_EQ(bytes, 2000) << "device " << device;
    std::remove(pcap.c_str());
}

TEST(LoopbackTool, EveryVariantAndFlowModeReadsBackWhatItWrites) {
    simtest::ForEveryVariantAndFlow([](int variant, const std::string& flow) {
        JsonValue report;
        ToolRun run = RunToolJson("loopback --chip " + std::to_string(variant) +
                                      " --baud 115200 --bytes 3000 --write-size 1000 --flow " +
                                      flow + " --json",
                                  &report);
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_EQ(report["directions"].elements.size(), 1u) << run.output;
        ExpectWhole(report["directions"][0], 3000);
    });
    // A lagging reader on its own line: RTS/CTS holds the port's own writes.
    JsonValue report;
    ToolRun run =
        RunToolJson("loopback --chip 2 --bytes 100000 --read-gap 50 --flow rtscts --json", &report);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    ExpectWhole(report["directions"][0], 100000);

    simtest::ExpectSays(RunTool("loopback --bytes 5000"), 0,
                        {"RESULT: every direction arrived whole and in order",
                         "COM3 to COM3: all 5000 bytes arrived, in order"});
}

TEST(WiredTools, BadValuesAreRefusedWithTheirReason) {
    simtest::ExpectRefused("null-modem", {{"--chip2 5", "--chip2"},
                                          {"--chip -1", "--chip"},
                                          {"--read-size 0", "--read-size"},
                                          {"--read-gap x", "--read-gap"},
                                          {"--bytes 2000000000", "--bytes"},
                                          {"--flow both", "--flow"}});
    simtest::ExpectRefused("loopback", {{"--duplex", "--duplex"},
                                        {"--chip2 1", "--chip2"},
                                        {"--write-size -1", "--write-size"},
                                        {"--baud 99999999", "--baud"}});
}

}  // namespace
