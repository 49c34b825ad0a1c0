// The ExtBaudrate service value: extra rate codes an administrator can give for
// chosen baud rates, read once per driver load.
#include "driver/driver.h"

namespace {

// A token longer than this before its separator makes the whole value unusable.
constexpr ULONG kTokenScan = 22;

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// atol's reading of a token: leading white space, an optional sign, decimal
// digits up to the first other character. Numbers beyond 32 bits wrap, so a rate
// code with bit 31 set can be written in decimal.
ULONG ReadNumber(const char* text, ULONG length) {
    ULONG i = 0;
    while (i < length && IsSpace(text[i])) ++i;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    ULONG value = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10u + static_cast<ULONG>(text[i] - '0');
    }
    return negative ? 0u - value : value;
}

// Offset of the first `stop` character among the first kTokenScan characters, or
// of the end of the text when `endIsSeparator`; kTokenScan when neither is there.
ULONG ScanToken(const char* text, ULONG length, ULONG start, char stop, bool endIsSeparator) {
    for (ULONG offset = 0; offset < kTokenScan; ++offset) {
        if (start + offset >= length) return endIsSeparator ? offset : kTokenScan;
        if (text[start + offset] == stop) return offset;
    }
    return kTokenScan;
}

}  // namespace

LONG ParseExtBaudrate(const char* text, ULONG length, ExtBaudrateEntry list[kMaxExtBaudrates]) {
    if (length == 0) {
        // Absent or empty: one entry that no rate ever matches (0 is never looked up).
        list[0].Baud = 0;
        list[0].RateCode = 0;
        return 1;
    }
    ULONG start = 0;
    for (LONG k = 0; k < kMaxExtBaudrates; ++k) {
        ULONG comma = ScanToken(text, length, start, ',', false);
        if (comma == kTokenScan) return 0;
        list[k].Baud = ReadNumber(text + start, comma);

        ULONG codeStart = start + comma + 1;
        ULONG end = ScanToken(text, length, codeStart, ' ', true);
        if (end == kTokenScan) return 0;
        list[k].RateCode = ReadNumber(text + codeStart, end);

        if (codeStart + end >= length) return k + 1;
        start = codeStart + end + 1;
    }
    // Ten pairs read and a space after the tenth: the rest is ignored.
    return kMaxExtBaudrates;
}

NTSTATUS ReadExtBaudrateList(PCUNICODE_STRING registryPath) {
    ExtBaudrateCount = 0;

    // RtlQueryRegistryValues wants a zero-terminated path.
    auto* path = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, registryPath->Length + sizeof(WCHAR), VODREK_POOL_TAG));
    if (!path) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(path, registryPath->Length + sizeof(WCHAR));
    RtlCopyMemory(path, registryPath->Buffer, registryPath->Length);

    // The type check keeps a value of another type from being written as raw
    // bytes over the string record.
    UNICODE_STRING value = {0, 0, nullptr};
    static WCHAR emptyDefault[] = WIDE("");
    RTL_QUERY_REGISTRY_TABLE query[2];
    RtlZeroMemory(query, sizeof(query));
    query[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    query[0].Name = const_cast<PWSTR>(WIDE("ExtBaudrate"));
    query[0].EntryContext = &value;
    query[0].DefaultType = (REG_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_SZ;
    query[0].DefaultData = emptyDefault;
    query[0].DefaultLength = 0;
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path,
                                             query, nullptr, nullptr);
    ExFreePoolWithTag(path, VODREK_POOL_TAG);
    if (!NT_SUCCESS(status)) {
        RtlFreeUnicodeString(&value);
        return status;
    }

    ANSI_STRING text = {0, 0, nullptr};
    status = RtlUnicodeStringToAnsiString(&text, &value, TRUE);
    RtlFreeUnicodeString(&value);
    if (!NT_SUCCESS(status)) return status;

    ExtBaudrateCount = ParseExtBaudrate(text.Buffer, text.Length, ExtBaudrateList);
    RtlFreeAnsiString(&text);
    return STATUS_SUCCESS;
}
