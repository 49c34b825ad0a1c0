// kernel32's file functions on a device: CreateFile, ReadFile, WriteFile,
// DeviceIoControl, GetOverlappedResult(Ex), CancelIo(Ex), FlushFileBuffers,
// CloseHandle — each the native call kernel32 makes, with its own checks and
// its treatment of overlapped and synchronous handles.
#include "kernel32.h"

using namespace sim::win32;

namespace {

// NtCreateFile's dispositions and options.
constexpr ULONG kFileOpen = 1, kFileCreate = 2, kFileOpenIf = 3, kFileOverwrite = 4,
                kFileOverwriteIf = 5;
constexpr ULONG kFileWriteThrough = 0x2, kFileSequentialOnly = 0x4,
                kFileNoIntermediateBuffering = 0x8, kFileSynchronousIoNonalert = 0x20,
                kFileNonDirectoryFile = 0x40, kFileRandomAccess = 0x800,
                kFileDeleteOnClose = 0x1000, kFileOpenForBackupIntent = 0x4000;
constexpr uintptr_t kFileOpened = 1, kFileOverwritten = 3;

int64_t OffsetOf(const OVERLAPPED* overlapped) {
    return static_cast<int64_t>(static_cast<uint64_t>(overlapped->OffsetHigh) << 32 |
                                overlapped->Offset);
}

StatusBlock* BlockOf(LPOVERLAPPED overlapped) {
    return reinterpret_cast<StatusBlock*>(overlapped);
}

// A request issued with an OVERLAPPED: pending is ERROR_IO_PENDING, an error
// the error, anything else done at once with InternalHigh bytes.
BOOL OverlappedAnswer(NtStatus status, LPOVERLAPPED overlapped, LPDWORD transferred) {
    if (NtError(status)) {
        SetLastNtError(status);
        return FALSE;
    }
    if (status == kStatusPending) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (transferred)
        *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    return TRUE;
}

// A request issued without one: a driver that pends it on an overlapped
// handle is waited for on the file handle; then the status block tells.
BOOL SynchronousAnswer(HANDLE file, NtStatus status, const StatusBlock& iosb, LPDWORD transferred) {
    if (status == kStatusPending) {
        HANDLE handles[] = {file};
        Wait(handles, 1, false, -1);
        status = iosb.status;
    }
    if (NtSuccess(status)) {
        *transferred = static_cast<DWORD>(iosb.information);
        return TRUE;
    }
    if (!NtError(status))
        *transferred = static_cast<DWORD>(iosb.information);
    SetLastNtError(status);
    return FALSE;
}

// ReadFile and WriteFile: with an OVERLAPPED at its offset and on its event;
// without one, waited for, and then the count is where the answer goes.
BOOL TransferFile(bool write, HANDLE file, LPVOID buffer, DWORD length, LPDWORD done,
                  LPOVERLAPPED overlapped) {
    if (done)
        *done = 0;
    if (overlapped) {
        overlapped->Internal = kStatusPending;
        const int64_t offset = OffsetOf(overlapped);
        const NtStatus status = Transfer(write, file, overlapped->hEvent, BlockOf(overlapped),
                                         buffer, length, &offset);
        return OverlappedAnswer(status, overlapped, done);
    }
    if (!done) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    StatusBlock iosb{};
    const NtStatus status = Transfer(write, file, nullptr, &iosb, buffer, length, nullptr);
    return SynchronousAnswer(file, status, iosb, done);
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    ULONG disposition;
    switch (dwCreationDisposition) {
        case CREATE_NEW:
            disposition = kFileCreate;
            break;
        case CREATE_ALWAYS:
            disposition = kFileOverwriteIf;
            break;
        case OPEN_EXISTING:
            disposition = kFileOpen;
            break;
        case OPEN_ALWAYS:
            disposition = kFileOpenIf;
            break;
        case TRUNCATE_EXISTING:
            disposition = kFileOverwrite;
            if (!(dwDesiredAccess & GENERIC_WRITE)) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return INVALID_HANDLE_VALUE;
            }
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
    }
    if (!lpFileName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Any name but a device's would be a file of the current directory; the
    // simulated machine has no file system.
    const std::u16string ntName = NtNameOf(FromWide(lpFileName));
    if (ntName.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    ULONG options = kFileNonDirectoryFile;
    if (!(dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED))
        options |= kFileSynchronousIoNonalert;
    if (dwFlagsAndAttributes & FILE_FLAG_WRITE_THROUGH)
        options |= kFileWriteThrough;
    if (dwFlagsAndAttributes & FILE_FLAG_NO_BUFFERING)
        options |= kFileNoIntermediateBuffering;
    if (dwFlagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN)
        options |= kFileSequentialOnly;
    if (dwFlagsAndAttributes & FILE_FLAG_RANDOM_ACCESS)
        options |= kFileRandomAccess;
    DWORD access = dwDesiredAccess | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
    if (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) {
        options |= kFileDeleteOnClose;
        access |= DELETE;
    }
    if (dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) {
        options |= kFileOpenForBackupIntent;
        options &= ~kFileNonDirectoryFile;
    }
    void* handle = nullptr;
    StatusBlock iosb{};
    const NtStatus status = OpenFile(&handle, ntName, access, dwShareMode, disposition, options,
                                     dwFlagsAndAttributes & 0x7FA7, &iosb);
    if (!NtSuccess(status)) {
        SetLastNtError(status);
        return INVALID_HANDLE_VALUE;
    }
    const bool existed = iosb.information == kFileOpened || iosb.information == kFileOverwritten;
    SetLastError((dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS) &&
                         existed
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return handle;
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (!lpFileName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const std::u16string name = Widen(lpFileName);
    std::wstring wide(name.begin(), name.end());
    return CreateFileW(wide.c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                       dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    const NtStatus status = sim::win32::CloseHandle(hObject);
    if (!NtSuccess(status)) {
        SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    return TransferFile(false, hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead,
                        lpOverlapped);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    return TransferFile(true, hFile, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite,
                        lpNumberOfBytesWritten, lpOverlapped);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    if (lpOverlapped) {
        lpOverlapped->Internal = kStatusPending;
        const NtStatus status = DeviceControl(hDevice, lpOverlapped->hEvent, BlockOf(lpOverlapped),
                                              dwIoControlCode, lpInBuffer, nInBufferSize,
                                              lpOutBuffer, nOutBufferSize);
        return OverlappedAnswer(status, lpOverlapped, lpBytesReturned);
    }
    if (!lpBytesReturned) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpBytesReturned = 0;
    StatusBlock iosb{};
    const NtStatus status = DeviceControl(hDevice, nullptr, &iosb, dwIoControlCode, lpInBuffer,
                                          nInBufferSize, lpOutBuffer, nOutBufferSize);
    return SynchronousAnswer(hDevice, status, iosb, lpBytesReturned);
}

BOOL WINAPI GetOverlappedResultEx(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                  LPDWORD lpNumberOfBytesTransferred, DWORD dwMilliseconds,
                                  BOOL bAlertable) {
    (void)bAlertable;
    if (lpOverlapped->Internal == kStatusPending) {
        if (dwMilliseconds == 0) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // The request's event when it has one, else the file's own.
        HANDLE waitOn = lpOverlapped->hEvent
                            ? reinterpret_cast<HANDLE>(
                                  reinterpret_cast<uintptr_t>(lpOverlapped->hEvent) & ~uintptr_t(1))
                            : hFile;
        const NtStatus waited =
            Wait(&waitOn, 1, false, dwMilliseconds == INFINITE ? -1 : int64_t(dwMilliseconds));
        if (waited == kStatusTimeout) {
            SetLastError(WAIT_TIMEOUT);
            return FALSE;
        }
        if (!NtSuccess(waited)) {
            SetLastNtError(waited);
            return FALSE;
        }
    }
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    const auto status = static_cast<NtStatus>(lpOverlapped->Internal);
    if (NtSuccess(status))
        return TRUE;
    SetLastNtError(status);
    return FALSE;
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    return GetOverlappedResultEx(hFile, lpOverlapped, lpNumberOfBytesTransferred,
                                 bWait ? INFINITE : 0, FALSE);
}

BOOL WINAPI CancelIo(HANDLE hFile) {
    StatusBlock iosb{};
    const NtStatus status = sim::win32::CancelIo(hFile, &iosb);
    if (!NtSuccess(status)) {
        SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
    StatusBlock iosb{};
    const NtStatus status =
        sim::win32::CancelIoEx(hFile, lpOverlapped ? BlockOf(lpOverlapped) : nullptr, &iosb);
    if (!NtSuccess(status)) {
        SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    StatusBlock iosb{};
    const NtStatus status = FlushFile(hFile, &iosb);
    if (!NtSuccess(status)) {
        SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
