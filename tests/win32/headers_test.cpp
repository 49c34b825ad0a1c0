// The Win32 headers as C++ sees them, against the published layouts and the
// C compiler's view of the same headers.
#include <windows.h>
#include <ntddser.h>

#include <cstddef>
#include <cstring>

#include <gtest/gtest.h>

extern "C" unsigned int vodrek_c_dcb_flags(unsigned dtr, unsigned rts);
extern "C" unsigned int vodrek_c_serial_code(void);

namespace {

DWORD FlagsWord(const DCB& dcb) {
    DWORD word;
    std::memcpy(&word, reinterpret_cast<const char*>(&dcb) + 8, sizeof word);
    return word;
}

TEST(Win32Headers, LayoutsAreThePublishedOnes) {
    static_assert(sizeof(DWORD) == 4 && sizeof(WORD) == 2 && sizeof(BYTE) == 1);
    static_assert(sizeof(HANDLE) == sizeof(void*) && sizeof(ULONG_PTR) == sizeof(void*));
    static_assert(sizeof(DCB) == 28 && offsetof(DCB, XonLim) == 14 && offsetof(DCB, EvtChar) == 25);
    static_assert(sizeof(COMMTIMEOUTS) == 20 && sizeof(COMSTAT) == 12 && sizeof(COMMPROP) == 64);
    // Two pointer-wide fields, then the offset, then the event handle.
    constexpr size_t kWord = sizeof(void*);
    static_assert(sizeof(OVERLAPPED) == 3 * kWord + 8 && offsetof(OVERLAPPED, Offset) == 2 * kWord);
    static_assert(sizeof(SECURITY_ATTRIBUTES) == 3 * kWord && sizeof(LARGE_INTEGER) == 8);

    // The DCB's bit fields in their published places: fDtrControl bits 4-5,
    // fRtsControl bits 12-13, fAbortOnError bit 14.
    DCB dcb{};
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fAbortOnError = 1;
    EXPECT_EQ(FlagsWord(dcb), (2u << 4) | (3u << 12) | (1u << 14));
    EXPECT_EQ(vodrek_c_dcb_flags(DTR_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE), FlagsWord(dcb));
    dcb = DCB{};
    dcb.fBinary = 1;
    dcb.fOutxCtsFlow = 1;
    dcb.fInX = 1;
    EXPECT_EQ(FlagsWord(dcb), 1u | (1u << 2) | (1u << 9));
}

TEST(Win32Headers, ConstantsAreThePublishedOnes) {
    EXPECT_EQ(IOCTL_SERIAL_SET_BAUD_RATE, 0x001B0004u);
    EXPECT_EQ(IOCTL_SERIAL_WAIT_ON_MASK, 0x001B0048u);
    EXPECT_EQ(vodrek_c_serial_code(), IOCTL_SERIAL_WAIT_ON_MASK);
    EXPECT_EQ(IOCTL_SERIAL_GET_COMMSTATUS, 0x001B006Cu);
    EXPECT_EQ(reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE), -1);
    EXPECT_EQ(INFINITE, 0xFFFFFFFFu);
    EXPECT_EQ(WAIT_TIMEOUT, 258);
    EXPECT_EQ(WAIT_FAILED, 0xFFFFFFFFu);
    EXPECT_EQ(ERROR_IO_PENDING, 997);
    EXPECT_EQ(ERROR_OPERATION_ABORTED, 995);
    EXPECT_EQ(EV_RING, 0x100);
    EXPECT_EQ(CE_BREAK, 0x10);
    EXPECT_EQ(MS_RLSD_ON, 0x80u);
    EXPECT_EQ(CLRBREAK, 9);
    EXPECT_EQ(PURGE_RXCLEAR, 8);
    EXPECT_EQ(FILE_FLAG_OVERLAPPED, 0x40000000u);
    EXPECT_EQ(GENERIC_READ | GENERIC_WRITE, 0xC0000000u);
}

}  // namespace
