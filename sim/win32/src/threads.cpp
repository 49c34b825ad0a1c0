// Threads, events, waits, time and the last-error value, on the simulated
// machine's threads and virtual time: a Sleep(500) takes 500 ms of virtual
// time (to the next clock tick, as on Windows) and no time on the host.
#include <vodrek_ports.h>

#include "kernel32.h"

using namespace sim::win32;

namespace sim::win32 {

std::u16string Widen(LPCSTR text) {
    std::u16string out;
    for (; text && *text; ++text)
        out += static_cast<char16_t>(static_cast<unsigned char>(*text));
    return out;
}

std::u16string FromWide(LPCWSTR text) {
    std::u16string out;
    for (; text && *text; ++text)
        out += static_cast<char16_t>(*text);
    return out;
}

std::string Narrow(LPCWSTR text) {
    std::string out;
    for (; text && *text; ++text)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

}  // namespace sim::win32

namespace {

int64_t Milliseconds(DWORD value) {
    return value == INFINITE ? -1 : static_cast<int64_t>(value);
}

DWORD WaitAnswer(NtStatus status) {
    if (status == kStatusTimeout)
        return WAIT_TIMEOUT;
    if (NtSuccess(status))
        return static_cast<DWORD>(status);
    SetLastNtError(status);
    return WAIT_FAILED;
}

}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) {
    return LastError();
}

void WINAPI SetLastError(DWORD dwErrCode) {
    LastError() = dwErrCode;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) {
    (void)lpThreadAttributes;
    (void)dwStackSize;
    if (!lpStartAddress) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A suspended start needs ResumeThread, which the machine does not offer.
    if (dwCreationFlags & CREATE_SUSPENDED) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    void* handle = nullptr;
    uint32_t id = 0;
    StartThread(&handle, lpStartAddress, lpParameter, &id);
    if (lpThreadId)
        *lpThreadId = id;
    return handle;
}

void WINAPI ExitThread(DWORD dwExitCode) {
    sim::win32::ExitThread(dwExitCode);
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    uint32_t code = 0;
    bool running = false;
    if (!ThreadExitCode(hThread, &code, &running)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *lpExitCode = running ? static_cast<DWORD>(STILL_ACTIVE) : code;
    return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void) {
    return CurrentThreadId();
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    sim::win32::Sleep(Milliseconds(dwMilliseconds));
}

DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable) {
    (void)bAlertable;
    sim::win32::Sleep(Milliseconds(dwMilliseconds));
    return 0;
}

ULONGLONG WINAPI GetTickCount64(void) {
    return static_cast<ULONGLONG>(Now() / 10000);
}

DWORD WINAPI GetTickCount(void) {
    return static_cast<DWORD>(GetTickCount64());
}

// The counter runs at 10 MHz: one count per 100 ns of virtual time.
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    lpPerformanceCount->QuadPart = Now();
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    lpFrequency->QuadPart = 10'000'000;
    return TRUE;
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCWSTR lpName) {
    (void)lpEventAttributes;
    void* handle = nullptr;
    bool existed = false;
    sim::win32::NewEvent(&handle, bManualReset != FALSE, bInitialState != FALSE,
                            FromWide(lpName), &existed);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName) {
    const std::u16string name = Widen(lpName);
    const std::wstring wide(name.begin(), name.end());
    return CreateEventW(lpEventAttributes, bManualReset, bInitialState,
                        lpName ? wide.c_str() : nullptr);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    const NtStatus status = sim::win32::SetEvent(hEvent);
    if (!NtSuccess(status)) {
        SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    const NtStatus status = sim::win32::ResetEvent(hEvent);
    if (!NtSuccess(status)) {
        SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable) {
    (void)bAlertable;
    return WaitAnswer(Wait(&hHandle, 1, false, Milliseconds(dwMilliseconds)));
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForSingleObjectEx(hHandle, dwMilliseconds, FALSE);
}

DWORD WINAPI WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                      DWORD dwMilliseconds, BOOL bAlertable) {
    (void)bAlertable;
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    return WaitAnswer(Wait(lpHandles, nCount, bWaitAll != FALSE, Milliseconds(dwMilliseconds)));
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
    return WaitForMultipleObjectsEx(nCount, lpHandles, bWaitAll, dwMilliseconds, FALSE);
}

DWORD WINAPI VodrekPortCount(void) {
    return PortCount();
}

LPCSTR WINAPI VodrekPortName(DWORD index) {
    return PortName(index);
}

}  // extern "C"
