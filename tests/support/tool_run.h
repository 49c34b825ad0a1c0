// Running vodrek-sim as a person does, for the end-to-end tests.
#pragma once

#include "tests/support/json_reader.h"
#include "tests/support/temp_path.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace simtest {

struct ToolRun {
    int exitCode;
    std::string output;  // standard output and error
};

inline ToolRun RunCommand(const std::string& command) {
    ToolRun run{-1, {}};
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// vodrek-sim with these arguments.
inline ToolRun RunTool(const std::string& arguments) {
    return RunCommand(std::string(VODREK_SIM_TOOL) + " " + arguments);
}

// vodrek-sim with these arguments (which ask for --json), its output parsed:
// output that is not one JSON value fails the test.
inline ToolRun RunToolJson(const std::string& arguments, JsonValue* json) {
    ToolRun run = RunTool(arguments);
    std::string error;
    if (!ParseJson(run.output, json, &error))
        ADD_FAILURE() << "vodrek-sim " << arguments << ": not JSON (" << error << "):\n" << run.output;
    return run;
}

inline bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// A run for a person: its exit status, and what its output says.
inline void ExpectSays(const ToolRun& run, int exitCode, std::initializer_list<const char*> says) {
    EXPECT_EQ(run.exitCode, exitCode) << run.output;
    for (const char* what : says) EXPECT_TRUE(Has(run.output, what)) << "no '" << what << "' in:\n" << run.output;
}

// Each of `cases` ({arguments, what the message names}) is refused with exit
// status 2 and a message that names what was wrong.
struct Refusal {
    const char* args;
    const char* says;
};
inline void ExpectRefused(const std::string& command, std::initializer_list<Refusal> cases) {
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.args);
        ToolRun run = RunTool(command + " " + c.args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(Has(run.output, c.says)) << run.output;
    }
}

// Every chip variant with every flow mode, each traced.
template <typename Check>
void ForEveryVariantAndFlow(Check check) {
    for (int variant = 0; variant <= 4; ++variant) {
        for (const char* flow : {"none", "rtscts", "dtrdsr", "xonxoff"}) {
            SCOPED_TRACE(std::to_string(variant) + " " + flow);
            check(variant, std::string(flow));
        }
    }
}

inline bool HaveTshark() { return RunCommand("command -v tshark").exitCode == 0; }

// Display filters for the data a capture carries: bulk-out submissions (the
// written bytes travel down with them) and bulk-in completions (the received
// bytes come up with them).
constexpr const char* kBulkOutData =
    "usb.transfer_type == 0x03 && usb.endpoint_address.direction == 0 && usb.irp_info.direction == 0";
constexpr const char* kBulkInData = "usb.transfer_type == 0x03 && usb.endpoint_address.direction == 1";

// vodrek-sim with `arguments`, writing its capture to a temporary file named
// after `name`; answers the file (the test fails when the run does).
inline std::string RunToolCapture(const std::string& arguments, const std::string& name) {
    const std::string pcap = TempPath(name);
    ToolRun run = RunTool(arguments + " --pcap " + pcap);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    return pcap;
}

// What tshark finds in `pcap`: it opens the file and dissects nothing as
// malformed (checked here), and for each packet `filter` selects, the values of
// `fields` as numbers.
inline std::vector<std::vector<long long>> TsharkRows(const std::string& pcap, const std::string& filter,
                                                      const std::vector<std::string>& fields) {
    ToolRun all = RunCommand("tshark -r " + pcap);
    EXPECT_EQ(all.exitCode, 0) << all.output;
    EXPECT_FALSE(Has(all.output, "Malformed")) << all.output;
    // Only the fields: what tshark says on its standard error is not a row.
    std::string command = "(tshark -r " + pcap + " -Y '" + filter + "' -T fields";
    for (const std::string& field : fields) command += " -e " + field;
    ToolRun shark = RunCommand(command + " 2>/dev/null)");
    EXPECT_EQ(shark.exitCode, 0) << shark.output;
    std::vector<std::vector<long long>> rows;
    size_t start = 0;
    while (start < shark.output.size()) {
        size_t end = shark.output.find('\n', start);
        if (end == std::string::npos) end = shark.output.size();
        std::vector<long long> row;
        for (size_t at = start; at < end;) {
            size_t tab = shark.output.find('\t', at);
            if (tab == std::string::npos || tab > end) tab = end;
            row.push_back(std::strtoll(shark.output.c_str() + at, nullptr, 0));
            at = tab + 1;
        }
        EXPECT_EQ(row.size(), fields.size()) << shark.output;
        if (row.size() == fields.size()) rows.push_back(row);
        start = end + 1;
    }
    return rows;
}

}  // namespace simtest
