// vodrek-sim's small shared helpers: options, text of names and statuses.
#include <cstdio>

#include "cli.h"

namespace cli {

bool Options::Flag(const char* name) const {
    for (auto& a : args)
        if (a == name) return true;
    return false;
}

const char* Options::Value(const char* name) const {
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == name) return args[i + 1].c_str();
    return nullptr;
}

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string StatusText(int32_t status) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
    return buf;
}

std::string Hex(unsigned value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
    return buf;
}

}  // namespace cli
