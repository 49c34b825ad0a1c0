// What kernel32 stands on: the simulated machine's native calls, reached
// through handles a Win32 program holds. This header sees neither the
// program's <windows.h> nor the kernel's stand-in headers, so the two sets of
// declarations never meet: kernel32's sources include it with <windows.h>,
// native.cpp with the kernel's.
#pragma once

#include <cstdint>
#include <string>

namespace sim::win32 {

using NtStatus = int32_t;

constexpr NtStatus kStatusSuccess = 0;
constexpr NtStatus kStatusWait0 = 0;
constexpr NtStatus kStatusTimeout = 0x102;
constexpr NtStatus kStatusPending = 0x103;
constexpr NtStatus kStatusInvalidHandle = static_cast<NtStatus>(0xC0000008);
constexpr NtStatus kStatusInvalidParameter = static_cast<NtStatus>(0xC000000D);
constexpr NtStatus kStatusObjectTypeMismatch = static_cast<NtStatus>(0xC0000024);
constexpr NtStatus kStatusNotSupported = static_cast<NtStatus>(0xC00000BB);

inline bool NtSuccess(NtStatus s) { return s >= 0; }
inline bool NtError(NtStatus s) { return static_cast<uint32_t>(s) >> 30 == 3; }

// IO_STATUS_BLOCK's layout, which OVERLAPPED's first two members share.
struct StatusBlock {
    union {
        NtStatus status;
        void* pointer;
    };
    uintptr_t information;
};

// --- files -------------------------------------------------------------------------
// NtCreateFile on an NT name; the other arguments as NtCreateFile takes them.
NtStatus OpenFile(void** handle, const std::u16string& ntName, uint32_t access, uint32_t share,
                  uint32_t disposition, uint32_t options, uint32_t attributes, StatusBlock* iosb);
// The kernel32 name conversion ("COM3", "\\.\COM3"); empty when the name is no device.
std::u16string NtNameOf(const std::u16string& win32Name);
// NtWriteFile (`write`) or NtReadFile. `event` is an event handle of the
// program's, or null; `offset` null for the file position.
NtStatus Transfer(bool write, void* file, void* event, StatusBlock* iosb, void* buffer,
                  uint32_t length, const int64_t* offset);
NtStatus DeviceControl(void* file, void* event, StatusBlock* iosb, uint32_t code, const void* input,
                       uint32_t inputLength, void* output, uint32_t outputLength);
NtStatus FlushFile(void* file, StatusBlock* iosb);
NtStatus CancelIo(void* file, StatusBlock* iosb);
NtStatus CancelIoEx(void* file, StatusBlock* request, StatusBlock* iosb);
// Whether the handle was opened for synchronous I/O (false also for no file).
bool IsSynchronousFile(void* file);

// --- objects -----------------------------------------------------------------------
// Any handle: a file (its last handle sends the cleanup), an event, a thread.
NtStatus CloseHandle(void* handle);
NtStatus NewEvent(void** handle, bool manualReset, bool initialState, const std::u16string& name,
                     bool* existed);
NtStatus SetEvent(void* event);
NtStatus ResetEvent(void* event);
// Waits for one (all = false) or all of the objects; `milliseconds` < 0 waits
// without end. Answers kStatusWait0 + index, kStatusTimeout or an error.
NtStatus Wait(void* const* handles, uint32_t count, bool all, int64_t milliseconds);

// --- threads and time --------------------------------------------------------------
using ThreadStart = uint32_t (*)(void*);
NtStatus StartThread(void** handle, ThreadStart start, void* parameter, uint32_t* id);
[[noreturn]] void ExitThread(uint32_t code);
// Answers false for a handle that is no thread; `running` while it has not ended.
bool ThreadExitCode(void* thread, uint32_t* code, bool* running);
uint32_t CurrentThreadId();
// The calling thread's last-error value.
uint32_t& LastError();
// `milliseconds` < 0 sleeps without end; 0 gives the processor up.
void Sleep(int64_t milliseconds);
// Virtual time in 100-ns units since the machine started.
int64_t Now();

// --- the machine's ports -----------------------------------------------------------
// Whether `name` (COM3) is a port the machine has (the SERIALCOMM device map).
bool PortExists(const std::u16string& name);
// The ports the process was told of (Process::SetPortNames), by index; null past the last.
const char* PortName(uint32_t index);
uint32_t PortCount();

}  // namespace sim::win32
