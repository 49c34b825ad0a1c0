// Files: how tests, tools and (later) the Win32 layer reach a device — by name,
// through a handle — the way the Windows I/O manager does it for NtCreateFile,
// NtReadFile, NtClose and their kin.
//
// - An open resolves its name through the object namespace (symbolic links,
//   the DosDevices directory under its several spellings, device interfaces,
//   case-insensitively), makes a FILE_OBJECT and sends IRP_MJ_CREATE to the top
//   of the named device's stack. A device still initializing, or deleted, is
//   refused; an exclusive device (DO_EXCLUSIVE) with a file object still open
//   on it refuses a second open with STATUS_ACCESS_DENIED before any driver
//   sees it.
// - Every request goes to the top of the stack with the file object in its
//   stack location, queued to the issuing thread, holding a reference to the
//   file object until its completion has been processed.
// - Closing the last handle sends IRP_MJ_CLEANUP at once; IRP_MJ_CLOSE goes
//   when the file object's last reference goes — at once if no request is
//   outstanding, otherwise from a system thread after the last one completes.
//   Nothing cancels a handle's requests at cleanup but the driver: those it
//   leaves pending stay pending (the error log says so, and the verifier
//   reports them as leaked when the simulation ends).
// - CancelIo cancels the calling thread's requests on the file and waits for
//   them; CancelIoEx cancels any thread's (or one request's) and does not wait;
//   a thread that ends has its requests cancelled and waits for them, up to
//   five minutes, after which they are left disassociated from it.
// - A handle opened for synchronous I/O serialises its requests: each waits
//   for the file object's lock and holds it until it completes (closing the
//   last handle waits for it too).
//
// Relative opens (a root directory handle) and alertable waits are not
// modelled; the simulated machine has one process and no file system.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <simnt/wdm.h>

namespace sim {

// --- names -------------------------------------------------------------------

// The NT object name a Win32 file name stands for, as kernel32 converts it:
// "\\.\X" and "\\?\X" become "\??\X"; a DOS device name (COM1-COM9, LPT1-LPT9,
// AUX, PRN, CON, NUL, with or without a trailing colon) becomes "\??\NAME".
// Any other name would be a file of the current directory: the simulated
// machine has none, and the answer is empty. (So "COM10" is not a port: only
// "\\.\COM10" is, as on Windows.)
std::u16string Win32NameToNt(const std::u16string& name);

// --- the native calls ----------------------------------------------------------

// NtCreateFile's arguments beyond the name.
struct CreateParameters {
    ACCESS_MASK desiredAccess = GENERIC_READ | GENERIC_WRITE;
    ULONG shareAccess = 0;
    ULONG disposition = FILE_OPEN;
    ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
    ULONG fileAttributes = 0;
};
// What CreateFile passes for a port opened without and with FILE_FLAG_OVERLAPPED.
CreateParameters SynchronousOpen();
CreateParameters OverlappedOpen();

// Each call runs in the calling simulated thread at PASSIVE_LEVEL and answers
// what the native call answers. A request on a synchronous handle (and every
// flush, query and set) returns when it has completed; one on an overlapped
// handle may answer STATUS_PENDING, and later sets `event` (or, without one,
// the file object's event) and writes `iosb`. An error the driver returns at
// once, without pending the request, is only in the answer: the status block
// and the event are left alone. Buffers are the caller's and must stay valid
// until the request completes.
NTSTATUS NtCreateFile(PHANDLE handle, const std::u16string& ntName,
                      const CreateParameters& parameters, PIO_STATUS_BLOCK iosb);
// `byteOffset` may be null on a synchronous handle only (STATUS_INVALID_PARAMETER otherwise).
NTSTATUS NtReadFile(HANDLE handle, PKEVENT event, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length,
                    const LARGE_INTEGER* byteOffset);
NTSTATUS NtWriteFile(HANDLE handle, PKEVENT event, PIO_STATUS_BLOCK iosb, const void* buffer,
                     ULONG length, const LARGE_INTEGER* byteOffset);
NTSTATUS NtDeviceIoControlFile(HANDLE handle, PKEVENT event, PIO_STATUS_BLOCK iosb, ULONG code,
                               const void* input, ULONG inputLength, PVOID output,
                               ULONG outputLength);
NTSTATUS NtFlushBuffersFile(HANDLE handle, PIO_STATUS_BLOCK iosb);
NTSTATUS NtQueryInformationFile(HANDLE handle, PIO_STATUS_BLOCK iosb, PVOID information,
                                ULONG length, FILE_INFORMATION_CLASS informationClass);
NTSTATUS NtSetInformationFile(HANDLE handle, PIO_STATUS_BLOCK iosb, const void* information,
                              ULONG length, FILE_INFORMATION_CLASS informationClass);
// CancelIo: the calling thread's requests on the file; returns once they have completed.
NTSTATUS NtCancelIoFile(HANDLE handle, PIO_STATUS_BLOCK iosb);
// CancelIoEx: every request on the file, or only the one(s) whose status block
// is `request` (an OVERLAPPED); STATUS_NOT_FOUND when there is none. Does not wait.
NTSTATUS NtCancelIoFileEx(HANDLE handle, PIO_STATUS_BLOCK request, PIO_STATUS_BLOCK iosb);
// A second handle to the same file object.
NTSTATUS NtDuplicateObject(HANDLE source, PHANDLE target);
NTSTATUS NtClose(HANDLE handle);

// The file object behind a handle (null if the handle is not open).
PFILE_OBJECT FileObjectOf(HANDLE handle);
// What the I/O manager noted along the way: requests a driver left pending
// after its cleanup, cancelled requests not completed when their thread ended.
const std::vector<std::string>& IoErrorLog();

// --- for tests and tools ---------------------------------------------------------

// One request through a File: its own event and status block, and the buffer
// it reads into (or writes from). The I/O manager keeps it alive until it completes.
struct FileRequest {
    FileRequest();
    FileRequest(const FileRequest&) = delete;
    FileRequest& operator=(const FileRequest&) = delete;

    NTSTATUS returned = STATUS_PENDING;  // what the native call answered
    IO_STATUS_BLOCK iosb{};
    KEVENT event{};
    std::vector<uint8_t> buffer;

    bool Completed() const;
    // The final status (STATUS_PENDING while outstanding), and Information.
    NTSTATUS Status() const;
    ULONG_PTR Information() const;
    // What a read or a device control gave back: the first Information bytes.
    std::vector<uint8_t> Output() const;
};
using FileRequestHandle = std::shared_ptr<FileRequest>;

// A handle, as an application holds one. Not closed by its destructor: a File
// left open when the simulation ends is dropped without cleanup or close.
class File {
  public:
    File() = default;
    // Win32 names ("\\.\COM3", "COM3") and NT names ("\Device\X", "\??\COM3").
    static File Open(const std::u16string& name, NTSTATUS* status,
                     const CreateParameters& parameters = SynchronousOpen());

    bool IsOpen() const { return handle_ != nullptr; }
    HANDLE Handle() const { return handle_; }
    PFILE_OBJECT Object() const { return FileObjectOf(handle_); }

    FileRequestHandle Read(ULONG length);
    FileRequestHandle Write(std::vector<uint8_t> bytes);
    FileRequestHandle DeviceIoControl(ULONG code, std::vector<uint8_t> input = {},
                                      ULONG outputLength = 0);
    FileRequestHandle Flush();
    FileRequestHandle QueryInformation(FILE_INFORMATION_CLASS informationClass, ULONG length);
    FileRequestHandle SetInformation(FILE_INFORMATION_CLASS informationClass,
                                     std::vector<uint8_t> information);
    NTSTATUS CancelIo();
    // All requests on the file, or only `only`.
    NTSTATUS CancelIoEx(const FileRequestHandle& only = nullptr);
    File Duplicate() const;
    // The handle goes (IRP_MJ_CLEANUP if it was the file's last one); the File is empty afterwards.
    NTSTATUS Close();

  private:
    explicit File(HANDLE handle) : handle_(handle) {}
    HANDLE handle_ = nullptr;
};

}  // namespace sim
