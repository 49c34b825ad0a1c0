// Running vodrek-sim as a person does, for the end-to-end tests.
#pragma once

#include "tests/support/temp_path.h"

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

inline bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

}  // namespace simtest
