// vodrek-sim transmit, run as a person runs it: what an application writes
// reaches the far end whole and in order on every variant and flow mode; the
// driver cuts a write into bulk-out transfers no longer than the receive ring
// and the chip's chunk size allow; the capture opens in tshark; bad arguments
// are refused with a message.
#include <gtest/gtest.h>

#include "tests/support/tool_run.h"

#include <algorithm>
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

// The bulk-out lengths of a report, length to count.
std::map<long long, long long> Chunks(const JsonValue& report) {
    std::map<long long, long long> chunks;
    for (auto& [length, count] : report["bulk_out"]["lengths"].members)
        chunks[std::atoll(length.c_str())] = count.Int();
    return chunks;
}

// What every clean run shows, whatever the settings: every byte arrived in
// order, each write completed with success for all its bytes, the driver
// counted them, and the bulk-out transfers carried exactly them, none longer
// than the bound.
void ExpectDeliveredWhole(const JsonValue& report, long long bytes, long long writes) {
    EXPECT_EQ(report["bytes_received"].Int(), bytes);
    EXPECT_EQ(report["bytes_in_order"].Int(), bytes);
    EXPECT_EQ(report["bytes_lost"].Int(), 0);
    EXPECT_EQ(report["bytes_corrupted"].Int(), 0);
    EXPECT_TRUE(report["data_intact"].True());
    EXPECT_EQ(report["writes"]["count"].Int(), writes);
    EXPECT_EQ(report["writes"]["statuses"]["0x00000000"].Int(), writes);
    EXPECT_EQ(report["writes"]["bytes_accepted"].Int(), bytes);
    EXPECT_EQ(report["driver_transmitted"].Int(), bytes);
    const long long bound = std::min(report["ring_size"].Int(), report["max_write_chunk"].Int());
    long long carried = 0;
    for (auto& [length, count] : Chunks(report)) {
        EXPECT_LE(length, bound);
        carried += length * count;
    }
    EXPECT_EQ(carried, bytes) << "bytes in bulk-out transfers";
    EXPECT_EQ(report["bulk_out"]["failed"].Int(), 0);
}

TEST(TransmitTool, EveryVariantAndFlowModeDeliversWhatWasWritten) {
    for (int variant = 0; variant <= 4; ++variant) {
        for (const char* flow : {"none", "rtscts", "dtrdsr", "xonxoff"}) {
            SCOPED_TRACE(std::to_string(variant) + " " + flow);
            JsonValue report;
            ToolRun run = RunToolJson("transmit --chip " + std::to_string(variant) +
                                          " --baud 115200 --bytes 3000 --write-size 1000 --flow " +
                                          flow + " --json",
                                      &report);
            EXPECT_EQ(run.exitCode, 0) << run.output;
            EXPECT_EQ(report["chip_type"].Int(), variant);
            ExpectDeliveredWhole(report, 3000, 3);
        }
    }
}

// The chunk bound is the smaller of the receive ring and the chip's chunk
// size: 4096 on the newer chips from 115,200 baud, 256 otherwise. The ring
// the open allocates is 1024 bytes on the simulated machine; SET_QUEUE_SIZE
// grows it.
TEST(TransmitTool, AWriteGoesOutInChunksNoLongerThanTheRingAndTheChipAllow) {
    struct Case {
        const char* args;
        std::map<long long, long long> chunks;
    };
    const Case cases[] = {
        {"--chip 2 --baud 921600 --bytes 10000 --queue-size 4096", {{4096, 2}, {1808, 1}}},
        {"--chip 3 --baud 115200 --bytes 10000 --queue-size 8192", {{4096, 2}, {1808, 1}}},
        {"--chip 2 --baud 921600 --bytes 10000", {{1024, 9}, {784, 1}}},
        {"--chip 0 --baud 921600 --bytes 10000 --queue-size 4096", {{256, 39}, {16, 1}}},
        {"--chip 4 --baud 57600 --bytes 2000 --queue-size 4096", {{256, 7}, {208, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const std::string bytes = Has(c.args, "2000") ? "2000" : "10000";
        JsonValue report;
        ToolRun run = RunToolJson(
            std::string("transmit --write-size ") + bytes + " " + c.args + " --json", &report);
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_EQ(Chunks(report), c.chunks) << run.output;
        ExpectDeliveredWhole(report, std::atoll(bytes.c_str()), 1);
    }
    // The person's view: the verdict first, then the figures.
    ToolRun text = RunTool("transmit --bytes 10000 --write-size 10000 --queue-size 4096");
    EXPECT_EQ(text.exitCode, 0) << text.output;
    EXPECT_TRUE(Has(text.output, "RESULT: all 10000 bytes arrived, in order")) << text.output;
    EXPECT_TRUE(Has(text.output, "1 x 1808, 2 x 4096")) << text.output;
    EXPECT_TRUE(Has(text.output, "a 4096-byte receive ring")) << text.output;
}

// Many small writes and one large one, at the highest rates: the pipe is kept
// busy and nothing is lost between chunks or writes.
TEST(TransmitTool, ManyWritesAndLargeOnesArriveInOrderAtHighRates) {
    struct Case {
        const char* args;
        long long writes;
    };
    for (const Case& c : {Case{"--chip 2 --baud 3000000 --bytes 65536 --write-size 1", 65536},
                          Case{"--chip 0 --baud 921600 --bytes 20000 --write-size 7", 2858},
                          Case{"--chip 3 --baud 6000000 --bytes 262144 --write-size 262144 "
                               "--queue-size 65536 --flow rtscts",
                               1}}) {
        SCOPED_TRACE(c.args);
        JsonValue report;
        ToolRun run = RunToolJson(std::string("transmit ") + c.args + " --json", &report);
        EXPECT_EQ(run.exitCode, 0) << run.output;
        ExpectDeliveredWhole(report, report["bytes_sent"].Int(), c.writes);
    }
}

TEST(TransmitTool, TheCaptureOpensInTsharkAndCarriesTheWrittenBytes) {
    if (RunCommand("command -v tshark").exitCode != 0)
        GTEST_SKIP() << "tshark is not installed";
    const std::string pcap = simtest::TempPath("transmit.pcap");
    ToolRun run = RunTool("transmit --bytes 5000 --write-size 5000 --json --pcap " + pcap);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    ToolRun all = RunCommand("tshark -r " + pcap);
    ASSERT_EQ(all.exitCode, 0) << all.output;
    EXPECT_FALSE(Has(all.output, "Malformed")) << all.output;
    // The written bytes travel down in bulk-out submissions.
    ToolRun shark = RunCommand("tshark -r " + pcap +
                               " -Y 'usb.transfer_type == 0x03 && usb.endpoint_address.direction "
                               "== 0 && usb.irp_info.direction == 0' -T fields -e usb.data_len");
    ASSERT_EQ(shark.exitCode, 0) << shark.output;
    long long total = 0;
    size_t start = 0;
    while (start < shark.output.size()) {
        size_t end = shark.output.find('\n', start);
        if (end == std::string::npos)
            end = shark.output.size();
        total += std::atoll(shark.output.substr(start, end - start).c_str());
        start = end + 1;
    }
    EXPECT_EQ(total, 5000);
    std::remove(pcap.c_str());
}

TEST(TransmitTool, BadValuesAreRefusedWithTheirReason) {
    struct Case {
        const char* args;
        const char* says;
    };
    for (const Case& c :
         {Case{"--chip 5", "--chip"}, Case{"--baud 49", "--baud"}, Case{"--bytes 0", "--bytes"},
          Case{"--bytes", "--bytes"}, Case{"--flow rts", "--flow"},
          Case{"--write-size 0", "--write-size"}, Case{"--write-size 1x", "--write-size"},
          Case{"--queue-size 0", "--queue-size"}, Case{"--pcap", "--pcap"}}) {
        SCOPED_TRACE(c.args);
        ToolRun run = RunTool(std::string("transmit ") + c.args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(Has(run.output, c.says)) << run.output;
    }
}

// The tests' JSON reader refuses what is not JSON, so "parses" above means something.
TEST(TransmitTool, TheJsonReaderRefusesBrokenOutput) {
    JsonValue value;
    for (const char* broken : {"", "{", "{\"a\":1,}", "{\"a\" 1}", "[1 2]", "{\"a\":01}",
                               "{\"a\":\"x}", "{\"a\":1} trailing", "{\"a\":tru}"}) {
        SCOPED_TRACE(broken);
        EXPECT_FALSE(simtest::ParseJson(broken, &value));
    }
    ASSERT_TRUE(simtest::ParseJson(" {\"a\":[1,{\"b\":false}],\"c\":\"\\\"\"} ", &value));
    EXPECT_EQ(value["a"][0].Int(), 1);
    EXPECT_TRUE(value["a"][1]["b"].False());
    EXPECT_EQ(value["c"].string, "\"");
    EXPECT_EQ(value["missing"].Int(), -1);
}

}  // namespace
