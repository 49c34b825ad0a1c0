// The statuses a driver and the I/O manager answer, as GetLastError reports them.
#include "kernel32.h"

#include <gtest/gtest.h>

namespace {

TEST(Win32Errors, StatusesMapAsThePlatformMapsThem) {
    const struct {
        uint32_t status;
        DWORD error;
    } rows[] = {
        {0x00000000, ERROR_SUCCESS},
        {0x00000103, ERROR_IO_PENDING},
        {0xC0000120, ERROR_OPERATION_ABORTED},        // cancelled
        {0xC000000D, ERROR_INVALID_PARAMETER},
        {0xC00000F0, ERROR_INVALID_PARAMETER},        // invalid parameter 2
        {0xC0000010, ERROR_INVALID_FUNCTION},         // invalid device request
        {0xC0000023, ERROR_INSUFFICIENT_BUFFER},
        {0x80000005, ERROR_MORE_DATA},                // buffer overflow
        {0xC0000022, ERROR_ACCESS_DENIED},
        {0xC0000056, ERROR_ACCESS_DENIED},            // delete pending
        {0xC0000034, ERROR_FILE_NOT_FOUND},
        {0xC000000E, ERROR_FILE_NOT_FOUND},           // no such device
        {0xC000003A, ERROR_PATH_NOT_FOUND},
        {0xC0000008, ERROR_INVALID_HANDLE},
        {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},
        {0xC0000017, ERROR_NOT_ENOUGH_MEMORY},
        {0xC00000BB, ERROR_NOT_SUPPORTED},
        {0xC0000184, ERROR_BAD_COMMAND},              // invalid device state
        {0xC000009C, ERROR_CRC},                      // device data error
        {0xC00000B5, ERROR_SEM_TIMEOUT},              // I/O time-out
        {0xC0000225, ERROR_NOT_FOUND},
        {0xC0000001, ERROR_GEN_FAILURE},
        {0x4000000C, ERROR_COUNTER_TIMEOUT},
        {0xC0070057, ERROR_INVALID_PARAMETER},        // a Win32 error in a status
        {0xC0FFEE00, ERROR_MR_MID_NOT_FOUND},         // no mapping
    };
    for (const auto& row : rows)
        EXPECT_EQ(sim::win32::DosErrorOf(static_cast<sim::win32::NtStatus>(row.status)), row.error)
            << std::hex << row.status;
}

}  // namespace
