// DbgPrint: the kernel debugger's printf. Its variable arguments arrive in the
// caller's convention — on x64 Windows' own, which the host's vsnprintf cannot
// walk — so the kernel formats them itself, as the kernel does: the C
// conversions with flags, width, precision and the l, ll, h, I64, I32 and z
// sizes, plus the kernel's %wZ (a UNICODE_STRING*), %ws and %S (wide strings).
#include "internal.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace sim {
namespace {

#if defined(__x86_64__) && VODREK_WINDOWS_CALLING_CONVENTION
using DebugVaList = __builtin_ms_va_list;
#define DEBUG_VA_START(list, last) __builtin_ms_va_start(list, last)
#define DEBUG_VA_END(list) __builtin_ms_va_end(list)
#else
using DebugVaList = va_list;
#define DEBUG_VA_START(list, last) va_start(list, last)
#define DEBUG_VA_END(list) va_end(list)
#endif

void AppendWide(std::string& out, const WCHAR* text, size_t length, int precision) {
    if (text == nullptr) {
        out += "(null)";
        return;
    }
    for (size_t i = 0; i < length && text[i] != 0 && (precision < 0 || static_cast<int>(i) < precision); ++i) {
        out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
    }
}

std::string Format(const char* format, DebugVaList& args) {
    std::string out;
    for (const char* p = format; *p; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        std::string directive = "%";
        ++p;
        while (*p && std::string("-+ #0").find(*p) != std::string::npos) directive += *p++;
        if (*p == '*') {
            directive += std::to_string(__builtin_va_arg(args, int));
            ++p;
        }
        while (*p >= '0' && *p <= '9') directive += *p++;
        int precision = -1;
        if (*p == '.') {
            directive += *p++;
            if (*p == '*') {
                precision = __builtin_va_arg(args, int);
                directive += std::to_string(precision);
                ++p;
            } else {
                precision = 0;
                while (*p >= '0' && *p <= '9') {
                    precision = precision * 10 + (*p - '0');
                    directive += *p++;
                }
            }
        }
        // Sizes: 64-bit with ll, I64 and (LLP64 pointers) z/I; 32-bit otherwise.
        bool wide64 = false, wideText = false;
        for (;;) {
            if (p[0] == 'I' && p[1] == '6' && p[2] == '4') { wide64 = true; p += 3; }
            else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') { p += 3; }
            else if (*p == 'I' || *p == 'z') { wide64 = sizeof(void*) == 8; ++p; }
            else if (p[0] == 'l' && p[1] == 'l') { wide64 = true; p += 2; }
            else if (*p == 'l' || *p == 'w') { wideText = true; ++p; }
            else if (*p == 'h') { ++p; }
            else break;
        }
        char buffer[128];
        const char conversion = *p;
        switch (conversion) {
            case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': case 'c': {
                const std::string f = directive + (wide64 ? "ll" : "") + conversion;
                if (wide64) std::snprintf(buffer, sizeof buffer, f.c_str(), __builtin_va_arg(args, long long));
                else std::snprintf(buffer, sizeof buffer, f.c_str(), __builtin_va_arg(args, int));
                out += buffer;
                break;
            }
            case 'p':
                std::snprintf(buffer, sizeof buffer, "%p", __builtin_va_arg(args, void*));
                out += buffer;
                break;
            case 's':
                if (wideText) {
                    const WCHAR* text = __builtin_va_arg(args, const WCHAR*);
                    AppendWide(out, text, SIZE_MAX, precision);
                } else {
                    const char* text = __builtin_va_arg(args, const char*);
                    const std::string f = directive + 's';
                    std::snprintf(buffer, sizeof buffer, f.c_str(), text ? text : "(null)");
                    out += buffer;
                }
                break;
            case 'S':
                AppendWide(out, __builtin_va_arg(args, const WCHAR*), SIZE_MAX, precision);
                break;
            case 'Z': {
                const auto* string = __builtin_va_arg(args, const UNICODE_STRING*);
                if (string == nullptr) out += "(null)";
                else AppendWide(out, string->Buffer, string->Length / sizeof(WCHAR), precision);
                break;
            }
            case '%':
                out += '%';
                break;
            case 0:
                return out;
            default:
                out += directive + conversion;  // shown as written
        }
    }
    return out;
}

}  // namespace
}  // namespace sim

extern "C" ULONG __cdecl DbgPrint(PCSTR Format, ...) {
    SIM_DDI();
    sim::DebugVaList args;
    DEBUG_VA_START(args, Format);
    sim::St().debugLog.push_back(sim::Format(Format, args));
    DEBUG_VA_END(args);
    return STATUS_SUCCESS;
}
