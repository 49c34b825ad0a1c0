// Running vodrek-sim as a person does, for the end-to-end tests.
#pragma once

#include "tests/support/json_reader.h"
#include "tests/support/temp_path.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

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
    *json = JsonValue{};
    if (!ParseJson(run.output, json, &error))
        ADD_FAILURE() << "vodrek-sim " << arguments << ": not JSON (" << error << "):\n" << run.output;
    return run;
}

inline bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

}  // namespace simtest
