// vodrek-sim: shared pieces of the commands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "json.h"

namespace cli {

struct Options {
    std::vector<std::string> args;
    bool Flag(const char* name) const;
    // The argument after `name`, or null.
    const char* Value(const char* name) const;
};

std::string Narrow(const std::u16string& s);
// An NTSTATUS as the tools print it: "0xC0000001".
std::string StatusText(int32_t status);
std::u16string Widen(const std::string& s);
// A number in hexadecimal with at least `digits` digits: "0x0C".
std::string Hex(unsigned value, int digits);

int CommandEntry(const Options& options);
int CommandProbe(const Options& options);
int CommandDemo(const Options& options);
int CommandReceive(const Options& options);
int CommandTransmit(const Options& options);
int CommandNullModem(const Options& options);
int CommandLoopback(const Options& options);
int CommandChip(const Options& options);
int CommandTerminal(const Options& options);

}  // namespace cli
