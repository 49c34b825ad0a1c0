// RtlNtStatusToDosError, for the statuses the I/O manager and a serial port
// driver answer: what GetLastError reports after a call failed.
#include <windows.h>

#include "kernel32.h"

namespace sim::win32 {

namespace {

struct Mapping {
    uint32_t status;
    DWORD error;
};

// The platform's table, the entries a serial port meets.
constexpr Mapping kMappings[] = {
    {0x00000103, ERROR_IO_PENDING},                // STATUS_PENDING
    {0x40000008, 1120},                            // STATUS_SERIAL_MORE_WRITES: ERROR_MORE_WRITES
    {0x4000000C, ERROR_COUNTER_TIMEOUT},           // STATUS_SERIAL_COUNTER_TIMEOUT
    {0x80000005, ERROR_MORE_DATA},                 // STATUS_BUFFER_OVERFLOW
    {0x80000011, ERROR_BUSY},                      // STATUS_DEVICE_BUSY
    {0x8000001A, ERROR_NO_MORE_ITEMS},             // STATUS_NO_MORE_ENTRIES
    {0xC0000001, ERROR_GEN_FAILURE},               // STATUS_UNSUCCESSFUL
    {0xC0000002, ERROR_INVALID_FUNCTION},          // STATUS_NOT_IMPLEMENTED
    {0xC0000003, ERROR_INVALID_PARAMETER},         // STATUS_INVALID_INFO_CLASS
    {0xC0000004, ERROR_BAD_LENGTH},                // STATUS_INFO_LENGTH_MISMATCH
    {0xC0000005, ERROR_NOACCESS},                  // STATUS_ACCESS_VIOLATION
    {0xC0000008, ERROR_INVALID_HANDLE},            // STATUS_INVALID_HANDLE
    {0xC000000D, ERROR_INVALID_PARAMETER},         // STATUS_INVALID_PARAMETER
    {0xC000000E, ERROR_FILE_NOT_FOUND},            // STATUS_NO_SUCH_DEVICE
    {0xC000000F, ERROR_FILE_NOT_FOUND},            // STATUS_NO_SUCH_FILE
    {0xC0000010, ERROR_INVALID_FUNCTION},          // STATUS_INVALID_DEVICE_REQUEST
    {0xC0000011, ERROR_HANDLE_EOF},                // STATUS_END_OF_FILE
    {0xC0000016, ERROR_MORE_DATA},                 // STATUS_MORE_PROCESSING_REQUIRED
    {0xC0000017, ERROR_NOT_ENOUGH_MEMORY},         // STATUS_NO_MEMORY
    {0xC0000022, ERROR_ACCESS_DENIED},             // STATUS_ACCESS_DENIED
    {0xC0000023, ERROR_INSUFFICIENT_BUFFER},       // STATUS_BUFFER_TOO_SMALL
    {0xC0000024, ERROR_INVALID_HANDLE},            // STATUS_OBJECT_TYPE_MISMATCH
    {0xC0000033, ERROR_INVALID_NAME},              // STATUS_OBJECT_NAME_INVALID
    {0xC0000034, ERROR_FILE_NOT_FOUND},            // STATUS_OBJECT_NAME_NOT_FOUND
    {0xC0000035, ERROR_ALREADY_EXISTS},            // STATUS_OBJECT_NAME_COLLISION
    {0xC000003A, ERROR_PATH_NOT_FOUND},            // STATUS_OBJECT_PATH_NOT_FOUND
    {0xC000003B, ERROR_BAD_PATHNAME},              // STATUS_OBJECT_PATH_SYNTAX_BAD
    {0xC0000043, ERROR_SHARING_VIOLATION},         // STATUS_SHARING_VIOLATION
    {0xC0000056, ERROR_ACCESS_DENIED},             // STATUS_DELETE_PENDING
    {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},       // STATUS_INSUFFICIENT_RESOURCES
    {0xC000009C, ERROR_CRC},                       // STATUS_DEVICE_DATA_ERROR
    {0xC000009D, ERROR_NOT_READY},                 // STATUS_DEVICE_NOT_CONNECTED
    {0xC00000A3, ERROR_NOT_READY},                 // STATUS_DEVICE_NOT_READY
    {0xC00000AF, ERROR_INVALID_FUNCTION},          // STATUS_ILLEGAL_FUNCTION
    {0xC00000B5, ERROR_SEM_TIMEOUT},               // STATUS_IO_TIMEOUT
    {0xC00000BB, ERROR_NOT_SUPPORTED},             // STATUS_NOT_SUPPORTED
    {0xC00000C0, ERROR_DEV_NOT_EXIST},             // STATUS_DEVICE_DOES_NOT_EXIST
    {0xC00000E8, ERROR_INVALID_USER_BUFFER},       // STATUS_INVALID_USER_BUFFER
    {0xC0000120, ERROR_OPERATION_ABORTED},         // STATUS_CANCELLED
    {0xC0000150, 1118},                            // STATUS_SERIAL_NO_DEVICE_INITED: ERROR_SERIAL_NO_DEVICE
    {0xC0000184, ERROR_BAD_COMMAND},               // STATUS_INVALID_DEVICE_STATE
    {0xC0000185, ERROR_IO_DEVICE},                 // STATUS_IO_DEVICE_ERROR
    {0xC00002B6, ERROR_DEVICE_REMOVED},            // STATUS_DEVICE_REMOVED
    {0xC00002DE, 639},                             // STATUS_INSUFFICIENT_POWER: ERROR_INSUFFICIENT_POWER
    {0xC0000225, ERROR_NOT_FOUND},                 // STATUS_NOT_FOUND
};

}  // namespace

DWORD DosErrorOf(NtStatus status) {
    if (status == kStatusSuccess)
        return ERROR_SUCCESS;
    const auto value = static_cast<uint32_t>(status);
    // STATUS_INVALID_PARAMETER_1 .. _12
    if (value >= 0xC00000EF && value <= 0xC00000FA)
        return ERROR_INVALID_PARAMETER;
    for (const Mapping& m : kMappings) {
        if (m.status == value)
            return m.error;
    }
    // A Win32 error carried in a status (FACILITY_WIN32) is that error.
    if ((value & 0xFFFF0000) == 0xC0070000 || (value & 0xFFFF0000) == 0x80070000)
        return value & 0xFFFF;
    return ERROR_MR_MID_NOT_FOUND;
}

void SetLastNtError(NtStatus status) {
    LastError() = DosErrorOf(status);
}

}  // namespace sim::win32
