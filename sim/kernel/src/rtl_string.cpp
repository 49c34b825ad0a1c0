// The counted-string routines of the run-time library. Lengths are in bytes and
// a counted string need not be NUL-terminated; the routines terminate the result
// only where the buffer has a whole character to spare, so that no byte beyond
// MaximumLength is ever written (the platform writes the terminator one byte past
// an odd MaximumLength; nothing here depends on that).
#include "internal.h"

#include <sim/registry.h>

#include <cstring>

namespace sim {

namespace {

// The pure routines are harmless without a simulation (a tool building a name
// before starting one); the IRQL check needs the simulated processor.
bool IrqlAllows(const char* ddi, KIRQL maxIrql) {
    return !Simulation::Exists() || RequireIrql(ddi, maxIrql);
}

// A null string pointer is an access violation on the platform: stop the run.
bool Present(const void* p, const char* ddi, const char* what) {
    if (p)
        return true;
    Verifier::Violation(Rule::BadParameter, std::string(ddi) + " called with a null " + what);
    return false;
}

// A counted string whose fields contradict each other is a driver bug that
// Windows would turn into reading or writing someone else's memory.
bool WellFormed(const UNICODE_STRING* s, const char* ddi, const char* what) {
    if (!Present(s, ddi, what))
        return false;
    std::string problem;
    if (s->Length > s->MaximumLength)
        problem = "Length " + std::to_string(s->Length) + " exceeds MaximumLength " +
                  std::to_string(s->MaximumLength);
    else if (s->Length & 1)
        problem = "odd Length " + std::to_string(s->Length);
    else if (!s->Buffer && s->MaximumLength != 0)
        problem = "null Buffer with MaximumLength " + std::to_string(s->MaximumLength);
    if (problem.empty())
        return true;
    Verifier::Violation(Rule::BadParameter, std::string(ddi) + ": " + what + " has " + problem);
    return false;
}

bool WellFormedAnsi(const ANSI_STRING* s, const char* ddi, const char* what) {
    if (!Present(s, ddi, what))
        return false;
    if (s->Length <= s->MaximumLength && (s->Buffer || s->MaximumLength == 0))
        return true;
    Verifier::Violation(Rule::BadParameter, std::string(ddi) + ": " + what + " has Length " +
                                                std::to_string(s->Length) + ", MaximumLength " +
                                                std::to_string(s->MaximumLength));
    return false;
}

void TerminateIfRoom(UNICODE_STRING* s) {
    if (s->Length + sizeof(WCHAR) <= s->MaximumLength)
        s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

// Only the ASCII letters fold; the code page tables of the platform are not
// modelled.
WCHAR UpcaseAscii(WCHAR c) {
    return (c >= u'a' && c <= u'z') ? WCHAR(c - (u'a' - u'A')) : c;
}

constexpr NTSTATUS kStatusInvalidParameter2 = static_cast<NTSTATUS>(0xC00000F0L);

size_t WideLength(PCWSTR s) {
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

}  // namespace

}  // namespace sim

using namespace sim;

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) { SIM_DDI();
    if (!IrqlAllows("RtlInitUnicodeString", DISPATCH_LEVEL))
        return;
    if (!Present(DestinationString, "RtlInitUnicodeString", "destination"))
        return;
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    // Longer sources are cut to the longest length that still leaves room for the
    // terminator in a USHORT, as the platform does, rather than wrapping.
    constexpr size_t kLongest = 0xFFFC;
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > kLongest)
        bytes = kLongest;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) { SIM_DDI();
    if (!IrqlAllows("RtlInitAnsiString", DISPATCH_LEVEL))
        return;
    if (!Present(DestinationString, "RtlInitAnsiString", "destination"))
        return;
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = std::strlen(SourceString);
    if (bytes > MAXUSHORT - 1)
        bytes = MAXUSHORT - 1;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) { SIM_DDI();
    if (!IrqlAllows("RtlCopyUnicodeString", DISPATCH_LEVEL))
        return;
    if (!WellFormed(DestinationString, "RtlCopyUnicodeString", "destination"))
        return;
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    if (!WellFormed(SourceString, "RtlCopyUnicodeString", "source"))
        return;
    // Whole characters only, even when MaximumLength is odd.
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength)
        bytes = static_cast<USHORT>(DestinationString->MaximumLength & ~1u);
    if (bytes)
        std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    TerminateIfRoom(DestinationString);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) { SIM_DDI();
    if (!IrqlAllows("RtlAppendUnicodeToString", DISPATCH_LEVEL))
        return STATUS_UNSUCCESSFUL;
    if (!WellFormed(Destination, "RtlAppendUnicodeToString", "destination"))
        return STATUS_INVALID_PARAMETER;
    if (!Source)
        return STATUS_SUCCESS;
    size_t bytes = WideLength(Source) * sizeof(WCHAR);
    if (Destination->Length + bytes > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source, bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    TerminateIfRoom(Destination);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source) { SIM_DDI();
    if (!IrqlAllows("RtlAppendUnicodeStringToString", DISPATCH_LEVEL))
        return STATUS_UNSUCCESSFUL;
    if (!WellFormed(Destination, "RtlAppendUnicodeStringToString", "destination") ||
        !WellFormed(Source, "RtlAppendUnicodeStringToString", "source"))
        return STATUS_INVALID_PARAMETER;
    if (Source->Length == 0)
        return STATUS_SUCCESS;
    size_t total = size_t(Destination->Length) + Source->Length;
    if (total > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer,
                 Source->Length);
    Destination->Length = static_cast<USHORT>(total);
    TerminateIfRoom(Destination);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) { SIM_DDI();
    if (!IrqlAllows("RtlIntegerToUnicodeString", PASSIVE_LEVEL))
        return STATUS_UNSUCCESSFUL;
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    if (!WellFormed(String, "RtlIntegerToUnicodeString", "string"))
        return STATUS_INVALID_PARAMETER;
    WCHAR digits[32];
    size_t count = 0;
    do {
        ULONG d = Value % Base;
        digits[count++] = static_cast<WCHAR>(d < 10 ? u'0' + d : u'A' + (d - 10));
        Value /= Base;
    } while (Value != 0);
    // The platform converts through an ANSI string and insists on a byte to spare
    // after the digits: a buffer the digits fill exactly is an overflow.
    size_t bytes = count * sizeof(WCHAR);
    if (bytes >= String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < count; ++i)
        String->Buffer[i] = digits[count - 1 - i];
    String->Length = static_cast<USHORT>(bytes);
    TerminateIfRoom(String);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) { SIM_DDI();
    if (!IrqlAllows("RtlUnicodeStringToInteger", PASSIVE_LEVEL))
        return STATUS_UNSUCCESSFUL;
    if (!WellFormed(String, "RtlUnicodeStringToInteger", "string") ||
        !Present(Value, "RtlUnicodeStringToInteger", "result pointer"))
        return STATUS_INVALID_PARAMETER;
    if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    const WCHAR* p = String->Buffer;
    const WCHAR* end = p + String->Length / sizeof(WCHAR);
    while (p < end && *p <= u' ')
        ++p;
    bool negative = false;
    if (p < end && (*p == u'-' || *p == u'+'))
        negative = *p++ == u'-';
    if (Base == 0) {
        Base = 10;
        if (end - p >= 2 && p[0] == u'0') {
            switch (p[1]) {
                case u'x':
                    Base = 16;
                    break;
                case u'o':
                    Base = 8;
                    break;
                case u'b':
                    Base = 2;
                    break;
                default:
                    break;
            }
            if (Base != 10)
                p += 2;
        }
    }
    // Digits run until the first character that is not one of the base; the
    // result wraps modulo 2^32 like the platform's, with no overflow check.
    ULONG result = 0;
    for (; p < end; ++p) {
        WCHAR c = UpcaseAscii(*p);
        ULONG digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        else
            break;
        if (digit >= Base)
            break;
        result = result * Base + digit;
    }
    *Value = negative ? 0u - result : result;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                            PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) { SIM_DDI();
    if (!IrqlAllows("RtlUnicodeStringToAnsiString", PASSIVE_LEVEL))
        return STATUS_UNSUCCESSFUL;
    if (!Present(DestinationString, "RtlUnicodeStringToAnsiString", "destination") ||
        !WellFormed(SourceString, "RtlUnicodeStringToAnsiString", "source"))
        return STATUS_INVALID_PARAMETER;
    size_t chars = SourceString->Length / sizeof(WCHAR);
    NTSTATUS status = STATUS_SUCCESS;
    if (AllocateDestinationString) {
        auto* buffer =
            static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, chars + 1, kStringPoolTag));
        if (!buffer)
            return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(chars + 1);
    } else {
        if (!WellFormedAnsi(DestinationString, "RtlUnicodeStringToAnsiString", "destination"))
            return STATUS_INVALID_PARAMETER;
        // Unlike the reverse direction, the platform converts what fits and
        // answers the warning status, so the caller gets a truncated string.
        if (chars >= DestinationString->MaximumLength) {
            if (DestinationString->MaximumLength == 0)
                return STATUS_BUFFER_OVERFLOW;
            chars = DestinationString->MaximumLength - 1u;
            status = STATUS_BUFFER_OVERFLOW;
        }
    }
    for (size_t i = 0; i < chars; ++i) {
        WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = c < 0x80 ? static_cast<CHAR>(c) : '?';
    }
    DestinationString->Buffer[chars] = 0;
    DestinationString->Length = static_cast<USHORT>(chars);
    return status;
}

NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                            PCANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) { SIM_DDI();
    if (!IrqlAllows("RtlAnsiStringToUnicodeString", PASSIVE_LEVEL))
        return STATUS_UNSUCCESSFUL;
    if (!Present(DestinationString, "RtlAnsiStringToUnicodeString", "destination") ||
        !WellFormedAnsi(SourceString, "RtlAnsiStringToUnicodeString", "source"))
        return STATUS_INVALID_PARAMETER;
    size_t chars = SourceString->Length;
    size_t bytes = chars * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > MAXUSHORT)
        return kStatusInvalidParameter2;
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PWSTR>(
            ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kStringPoolTag));
        if (!buffer)
            return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else {
        if (!WellFormed(DestinationString, "RtlAnsiStringToUnicodeString", "destination"))
            return STATUS_INVALID_PARAMETER;
        if (bytes >= DestinationString->MaximumLength)
            return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < chars; ++i) {
        auto c = static_cast<UCHAR>(SourceString->Buffer[i]);
        DestinationString->Buffer[i] = c < 0x80 ? static_cast<WCHAR>(c) : u'?';
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    TerminateIfRoom(DestinationString);
    return STATUS_SUCCESS;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) { SIM_DDI();
    if (!RequireIrql("RtlFreeUnicodeString", PASSIVE_LEVEL))
        return;
    if (!Present(UnicodeString, "RtlFreeUnicodeString", "string"))
        return;
    if (UnicodeString->Buffer)
        ExFreePool(UnicodeString->Buffer);
    std::memset(UnicodeString, 0, sizeof *UnicodeString);
}

VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) { SIM_DDI();
    if (!RequireIrql("RtlFreeAnsiString", PASSIVE_LEVEL))
        return;
    if (!Present(AnsiString, "RtlFreeAnsiString", "string"))
        return;
    if (AnsiString->Buffer)
        ExFreePool(AnsiString->Buffer);
    std::memset(AnsiString, 0, sizeof *AnsiString);
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive) { SIM_DDI();
    if (!IrqlAllows("RtlCompareUnicodeString", PASSIVE_LEVEL))
        return 0;
    if (!WellFormed(String1, "RtlCompareUnicodeString", "first string") ||
        !WellFormed(String2, "RtlCompareUnicodeString", "second string"))
        return 0;
    size_t n1 = String1->Length / sizeof(WCHAR);
    size_t n2 = String2->Length / sizeof(WCHAR);
    size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = UpcaseAscii(a);
            b = UpcaseAscii(b);
        }
        if (a != b)
            return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) { SIM_DDI();
    if (!IrqlAllows("RtlEqualUnicodeString", PASSIVE_LEVEL))
        return FALSE;
    if (!WellFormed(String1, "RtlEqualUnicodeString", "first string") ||
        !WellFormed(String2, "RtlEqualUnicodeString", "second string"))
        return FALSE;
    if (String1->Length != String2->Length)
        return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

}  // extern "C"
