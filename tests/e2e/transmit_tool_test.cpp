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
    simtest::ForEveryVariantAndFlow([](int variant, const std::string& flow) {
        JsonValue report;
        ToolRun run = RunToolJson("transmit --chip " + std::to_string(variant) +
                                      " --baud 115200 --bytes 3000 --write-size 1000 --flow " +
                                      flow + " --json",
                                  &report);
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_EQ(report["chip_type"].Int(), variant);
        ExpectDeliveredWhole(report, 3000, 3);
    });
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
    simtest::ExpectSays(RunTool("transmit --bytes 10000 --write-size 10000 --queue-size 4096"), 0,
                        {"RESULT: all 10000 bytes arrived, in order", "1 x 1808, 2 x 4096",
                         "a 4096-byte receive ring"});
}

// Many small writes, and large ones at the highest rates: nothing is lost
// between chunks or writes, and a large write keeps the pipe busy (each chunk
// is sent from the completion of the one before), so the line runs at its
// rate as long as the bus can feed it: 256-byte chunks every other frame are
// 128 KB/s, 4096-byte ones fill the 512-byte FIFO of the newer chips faster
// than 3,000,000 baud empties it.
TEST(TransmitTool, ManyWritesAndLargeOnesArriveInOrderAndKeepTheLineBusy) {
    struct Case {
        const char* args;
        long long writes;
        long long permille;  // of the line rate, at least
    };
    for (const Case& c :
         {Case{"--chip 2 --baud 3000000 --bytes 4096 --write-size 1", 4096, 0},
          Case{"--chip 0 --baud 921600 --bytes 20000 --write-size 7", 2858, 0},
          Case{"--chip 0 --baud 921600 --bytes 65536 --write-size 65536", 1, 990},
          Case{"--chip 2 --baud 3000000 --bytes 262144 --write-size 262144 --queue-size 4096", 1,
               970},
          Case{"--chip 3 --baud 6000000 --bytes 262144 --write-size 262144 --queue-size 65536 "
               "--flow rtscts",
               1, 700}}) {
        SCOPED_TRACE(c.args);
        JsonValue report;
        ToolRun run = RunToolJson(std::string("transmit ") + c.args + " --json", &report);
        EXPECT_EQ(run.exitCode, 0) << run.output;
        ExpectDeliveredWhole(report, report["bytes_sent"].Int(), c.writes);
        EXPECT_GE(report["line_rate_fraction_permille"].Int(), c.permille);
    }
}

// The far end holds the sender off for 20 ms halfway through a 20,000-byte
// write (1843 characters of line time at 921,600 baud). Where the chip gates
// its transmitter (CTS on every variant, DSR on 3 and 4, XOFF on 2 to 4) no
// more than the character under way and the one after it arrive; where only
// the driver can stop (XOFF on 0 and 1), what was already in the chip's FIFO
// and on its way to it still goes, and the rest waits.
TEST(TransmitTool, AFarEndThatHoldsTheSenderIsObeyedMidWrite) {
    struct Case {
        int variant;
        const char* flow;
        long long atMost;
    };
    const Case cases[] = {{0, "rtscts", 2},   {1, "rtscts", 2},  {2, "rtscts", 2},
                          {4, "rtscts", 2},   {3, "dtrdsr", 2},  {4, "dtrdsr", 2},
                          {2, "xonxoff", 2},  {3, "xonxoff", 2}, {0, "xonxoff", 600},
                          {1, "xonxoff", 600}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.variant) + " " + c.flow);
        JsonValue report;
        ToolRun run = RunToolJson("transmit --chip " + std::to_string(c.variant) +
                                      " --bytes 20000 --write-size 20000 --far-end-holds 20 "
                                      "--flow " +
                                      c.flow + " --json",
                                  &report);
        EXPECT_EQ(run.exitCode, 0) << run.output;
        const JsonValue& hold = report["far_end_hold"];
        EXPECT_TRUE(hold["held"].True()) << run.output;
        EXPECT_GE(hold["after_bytes"].Int(), 10000);
        EXPECT_GE(hold["bytes_during"].Int(), 0);
        EXPECT_LE(hold["bytes_during"].Int(), c.atMost) << run.output;
        EXPECT_TRUE(hold["obeyed"].True());
        ExpectDeliveredWhole(report, 20000, 1);
        // The 20 ms hold shows in the time the write took (217 ms of line time),
        // less the line time of what still went during it: where the driver
        // stops, the chip's FIFO and the packets already on their way, which the
        // bus hands over within the frame as the FIFO makes room.
        const long long during = hold["bytes_during"].Int() * 10 * 1000000 / 921600;
        EXPECT_GE(report["virtual_time_us"].Int(), 217000 + 20000 - during - 2000);
    }
    simtest::ExpectSays(RunTool("transmit --bytes 20000 --flow rtscts --far-end-holds 20"), 0,
                        {"Far end held the sender", "20 ms after"});
}

TEST(TransmitTool, TheCaptureOpensInTsharkAndCarriesTheWrittenBytes) {
    if (!simtest::HaveTshark())
        GTEST_SKIP() << "tshark is not installed";
    const std::string pcap =
        simtest::RunToolCapture("transmit --bytes 5000 --write-size 5000 --json", "transmit.pcap");
    long long total = 0;
    for (auto& row : simtest::TsharkRows(pcap, simtest::kBulkOutData, {"usb.data_len"}))
        total += row.at(0);
    EXPECT_EQ(total, 5000);
    std::remove(pcap.c_str());
}

TEST(TransmitTool, BadValuesAreRefusedWithTheirReason) {
    simtest::ExpectRefused("transmit", {{"--chip 5", "--chip"},
                                        {"--baud 49", "--baud"},
                                        {"--bytes 0", "--bytes"},
                                        {"--bytes", "--bytes"},
                                        {"--flow rts", "--flow"},
                                        {"--write-size 0", "--write-size"},
                                        {"--write-size 1x", "--write-size"},
                                        {"--queue-size 0", "--queue-size"},
                                        {"--pcap", "--pcap"},
                                        {"--far-end-holds 0 --flow rtscts", "--far-end-holds"},
                                        {"--far-end-holds 5", "--far-end-holds"}});
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
