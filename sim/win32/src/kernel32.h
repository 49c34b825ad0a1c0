// Shared by kernel32's sources: the native layer, the status mapping, and the
// device-control helper the comm functions are built on.
#pragma once

#include <windows.h>

#include <cstring>
#include <string>

#include "native.h"

namespace sim::win32 {

// RtlNtStatusToDosError.
DWORD DosErrorOf(NtStatus status);
// The calling thread's last error becomes the status's Win32 error.
void SetLastNtError(NtStatus status);

// One IOCTL_SERIAL_* request as the comm functions send it: on a private
// event, waited for when the driver pends it (so it works on an overlapped
// handle too). Answers the request's final status.
NtStatus CommControl(HANDLE file, DWORD code, const void* input, DWORD inputLength, void* output,
                     DWORD outputLength, DWORD* returned = nullptr);
// The same, setting the last error and answering FALSE when it fails.
BOOL CommRequest(HANDLE file, DWORD code, const void* input = nullptr, DWORD inputLength = 0,
                 void* output = nullptr, DWORD outputLength = 0);

std::u16string Widen(LPCSTR text);
std::u16string FromWide(LPCWSTR text);
std::string Narrow(LPCWSTR text);

}  // namespace sim::win32
