// vodrek-sim terminal driven through a pipe, as a script drives it: what is
// typed goes out through the port and the echoing far end's answer comes back;
// the quit key ends the session and nothing typed after it is sent; the
// modem-like far end's line changes and rings reach the status lines; a far
// end at another rate shows up as line errors; bad arguments are refused.
#include <gtest/gtest.h>

#include "tests/support/tool_run.h"

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using simtest::ExpectRefused;
using simtest::Has;
using simtest::RunCommand;
using simtest::TempPath;
using simtest::ToolRun;

// A session through pipes: the bytes that came from the port (its standard
// output) apart from the banner, the status lines and the closing line (its
// standard error).
struct Session {
    int exitCode = -1;
    std::string text, notes;
};

// The session with `input` (printf's notation) on its standard input.
Session Talk(const std::string& input, const std::string& arguments) {
    const std::string notes = TempPath("terminal_notes.txt");
    const ToolRun run = RunCommand("(printf '" + input + "' | " + VODREK_SIM_TOOL + " terminal " +
                                   arguments + " 2>" + notes + ")");
    Session session;
    session.exitCode = run.exitCode;
    session.text = run.output;
    std::ifstream file(notes);
    std::stringstream all;
    all << file.rdbuf();
    session.notes = all.str();
    return session;
}

// The status lines of a session's output, in order (the part after the time).
std::vector<std::string> StatusLines(const std::string& output) {
    std::vector<std::string> lines;
    size_t at = 0;
    while ((at = output.find("[status ", at)) != std::string::npos) {
        const size_t start = output.find("] ", at) + 2;
        const size_t end = output.find('\n', start);
        lines.push_back(output.substr(start, end - start));
        at = end;
    }
    return lines;
}

TEST(TerminalTool, WhatIsTypedComesBackFromTheEchoingFarEnd) {
    for (const char* arguments : {"--chip 0 --baud 115200", "--chip 3 --peer echo"}) {
        SCOPED_TRACE(arguments);
        const Session run = Talk("hello, port\\r", arguments);
        EXPECT_EQ(run.exitCode, 0) << run.notes;
        EXPECT_EQ(run.text, "hello, port\r") << run.notes;
        const std::vector<std::string> status = StatusLines(run.notes);
        ASSERT_FALSE(status.empty()) << run.notes;
        // The first one, before anything was typed: the echoing end holds CTS, DSR, DCD on.
        EXPECT_TRUE(Has(status.front(), "COM3")) << status.front();
        EXPECT_TRUE(Has(status.front(), "CTS on DSR on DCD on RI off")) << status.front();
        EXPECT_TRUE(Has(status.front(), "tx 0 rx 0")) << status.front();
        EXPECT_TRUE(Has(status.back(), "events: none | errors: none | tx 12 rx 12")) << status.back();
        EXPECT_TRUE(Has(run.notes, "closed COM3 after 12 bytes sent, 12 received")) << run.notes;
    }
}

TEST(TerminalTool, TheQuitKeyEndsTheSessionAndWhatFollowsItIsNotSent) {
    const Session run = Talk("abc\\035xyz", "--baud 115200");
    EXPECT_EQ(run.exitCode, 0) << run.notes;
    EXPECT_TRUE(Has(run.notes, "after 3 bytes sent")) << run.notes;
    EXPECT_FALSE(Has(run.text, "x")) << run.text;
}

TEST(TerminalTool, TheModemsLineChangesReachTheStatusLine) {
    // An AT, a dial, the escape back to command mode, a hang-up, a reset.
    const Session run = Talk("AT\\rATD5551234\\r+++ATH\\rATZ\\rATX\\r", "--chip 2 --peer modem");
    EXPECT_EQ(run.exitCode, 0) << run.notes;
    // Its answers, each after the echo of its command (rings come in between).
    for (const char* answer :
         {"AT\r\r\nOK\r\n", "ATD5551234\r", "\r\nCONNECT 9600\r\n+++\r\nOK\r\n", "ATH\r\r\nOK\r\n",
          "ATZ\r\r\nOK\r\n", "ATX\r\r\nERROR\r\n", "\r\nRING\r\n"})
        EXPECT_TRUE(Has(run.text, answer)) << "no '" << answer << "' in:\n" << run.text;
    const size_t ring = run.text.find("RING");
    EXPECT_NE(run.text.find("RING", ring + 1), std::string::npos) << run.text;
    const std::vector<std::string> status = StatusLines(run.notes);
    ASSERT_FALSE(status.empty()) << run.notes;
    EXPECT_TRUE(Has(status.front(), "CTS on DSR on DCD off RI off")) << status.front();
    // DCD comes on with CONNECT and goes with ATH; RI pulses twice; DSR drops
    // for the reset; each change is an event.
    size_t dcdOn = status.size(), dcdOffAgain = status.size(), ringing = status.size(),
           dsrOff = status.size();
    for (size_t i = 0; i < status.size(); ++i) {
        if (Has(status[i], "RI on") && ringing == status.size())
            ringing = i;
        if (Has(status[i], "DCD on") && dcdOn == status.size())
            dcdOn = i;
        if (Has(status[i], "DCD off") && i > dcdOn && dcdOffAgain == status.size())
            dcdOffAgain = i;
        if (Has(status[i], "DSR off") && dsrOff == status.size())
            dsrOff = i;
    }
    EXPECT_LT(ringing, status.size()) << run.notes;
    EXPECT_LT(dcdOn, status.size()) << run.notes;
    EXPECT_LT(dcdOffAgain, status.size()) << run.notes;
    EXPECT_LT(dsrOff, status.size()) << run.notes;
    const std::string& last = status.back();
    EXPECT_TRUE(Has(last, "CTS on DSR on DCD off RI off")) << last;
    for (const char* events : {"DSR 2", "RLSD 2", "RING 4"})
        EXPECT_TRUE(Has(last, events)) << "no '" << events << "' in " << last;
    EXPECT_TRUE(Has(last, "errors: none")) << last;
}

TEST(TerminalTool, AFarEndAtAnotherRateShowsLineErrors) {
    const Session run = Talk("UUUUUUUU\\r", "--baud 9600 --peer-baud 2400");
    EXPECT_EQ(run.exitCode, 0) << run.notes;
    EXPECT_NE(run.text, "UUUUUUUU\r");
    const std::vector<std::string> status = StatusLines(run.notes);
    ASSERT_FALSE(status.empty()) << run.notes;
    EXPECT_TRUE(Has(status.back(), "ERR ")) << status.back();
    EXPECT_TRUE(Has(status.back(), "frame ")) << status.back();
}

TEST(TerminalTool, RefusesBadArgumentsWithTheirReason) {
    ExpectRefused("terminal </dev/null", {{"--chip 5", "--chip takes a variant from 0 to 4, not '5'"},
                                          {"--chip", "--chip"},
                                          {"--baud 0", "--baud takes a number from 50"},
                                          {"--baud fast", "not 'fast'"},
                                          {"--peer-baud 99999999", "--peer-baud"},
                                          {"--peer fax", "--peer takes echo or modem, not 'fax'"},
                                          {"--peer", "--peer takes echo or modem"},
                                          {"--chip 2 loud", "unknown argument 'loud'"}});
}

}  // namespace
