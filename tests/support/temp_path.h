// Temporary files of tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace simtest {

// A file name in the test temporary folder that no other test process running
// at the same time uses (the schedules runs repeat tests beside the plain ones).
inline std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + std::to_string(getpid()) + "_" + name;
}

}  // namespace simtest
