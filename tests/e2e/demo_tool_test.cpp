// vodrek-sim demo, as ./build.sh demo runs it: the tour's program opens COM3
// over a loopback plug and every step says what came back: a second open
// refused, the line read back
// whole, the looped modem lines following DTR, the event a cleared RTS gives,
// the driver's counters; the capture it names opens in tshark.
#include <gtest/gtest.h>

#include "tests/support/tool_run.h"

#include <string>

namespace {

using simtest::ExpectSays;
using simtest::HaveTshark;
using simtest::RunCommand;
using simtest::RunTool;
using simtest::TempPath;
using simtest::ToolRun;

TEST(DemoTool, TheTourWalksThePortThroughTheWin32Api) {
    const std::string pcap = TempPath("demo_tour.pcap");
    const ToolRun run = RunTool("demo --pcap " + pcap);
    const std::string message = "\"Hello from COM3, round the loopback plug and back\"";
    ExpectSays(run, 0,
               {"CreateFileA(\"\\\\.\\COM3\"", "(ERROR_ACCESS_DENIED): a port has one user at a time",
                "GetCommState now reads 115200 8N1",
                ("49 bytes: " + message + " (the same bytes)").c_str(),
                "DTR off: CTS on, DSR off, RLSD (DCD) off, RING off",
                "DTR on again: CTS on, DSR on, RLSD (DCD) on, RING on",
                "FALSE with ERROR_IO_PENDING", "events = EV_CTS", "CTS is now off",
                "49 bytes received, 49 transmitted; errors: 0 framing, 0 overrun, 0 buffer overrun, 0 parity",
                "errors 0x0 (none); COMSTAT: 0 bytes waiting to be read, 0 to be sent",
                "COM3 is free again", pcap.c_str(),
                // What the demo showed before the tour, after it.
                "Driver entry returned 0x00000000", "chip variant 0", "chip variant 4"});
    EXPECT_FALSE(simtest::Has(run.output, "FAILED")) << run.output;
    if (!HaveTshark())
        GTEST_SKIP() << "tshark is not installed";
    const ToolRun shark = RunCommand("tshark -r " + pcap);
    EXPECT_EQ(shark.exitCode, 0) << shark.output;
    EXPECT_FALSE(simtest::Has(shark.output, "Malformed")) << shark.output;
    EXPECT_TRUE(simtest::Has(shark.output, "URB_BULK out")) << shark.output;
}

TEST(DemoTool, RefusesABadChipOrAMissingCaptureName) {
    simtest::ExpectRefused("demo", {{"--chip 9", "--chip takes a variant from 0 to 4, not '9'"},
                                    {"--pcap", "--pcap takes a file name"}});
}

}  // namespace
