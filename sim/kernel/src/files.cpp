// The I/O manager's files: opening a device by name through the object
// namespace, file objects and handles, the requests issued through a handle,
// cleanup and close, and the requests each thread has outstanding with their
// cancellation. Each rule below says which behaviour of Windows it models.
#include "internal.h"

#include <sim/files.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

IoState& Io() {
    return St().io;
}

// NtCancelIoFile looks again every 10 ms until the calling thread's cancelled
// requests on the file have completed; a thread that ends looks every 100 ms,
// 3000 times (five minutes), before it gives its requests up.
constexpr Ticks kCancelIoPoll = 10 * kMillisecond;
constexpr Ticks kThreadExitPoll = 100 * kMillisecond;
constexpr int kThreadExitPolls = 3000;
// CancelIo has no limit on Windows (the caller hangs); here a wait this long is
// reported as the hang it is.
constexpr Ticks kCancelIoHang = 5 * 60 * kSecond;
// Symbolic links followed by one lookup before it gives up.
constexpr int kMaxReparse = 32;

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

bool StartsWith(const std::u16string& s, const std::u16string& prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

FileRecord* RecordOf(PFILE_OBJECT file) {
    auto it = Io().files.find(file);
    return it == Io().files.end() ? nullptr : it->second.get();
}

PFILE_OBJECT FileOfHandle(HANDLE handle) {
    auto it = Io().fileHandles.find(reinterpret_cast<ULONG_PTR>(handle));
    return it == Io().fileHandles.end() ? nullptr : it->second;
}

LIST_ENTRY& ThreadList(const Context* thread) {
    auto [it, inserted] = Io().threadIrps.try_emplace(thread);
    if (inserted)
        InitializeListHead(&it->second);
    return it->second;
}

// The native calls are made by a thread at PASSIVE_LEVEL, as system services are.
bool RequireThread(const char* call) {
    if (CurrentThread()->kind == Context::Kind::Thread && CurrentIrql() == PASSIVE_LEVEL)
        return true;
    Verifier::Violation(Rule::BadParameter,
                        std::string(call) + " called from a DPC or above PASSIVE_LEVEL");
    return false;
}

// The generic rights a file handle's access mask maps them to.
ACCESS_MASK MapGenericAccess(ACCESS_MASK access) {
    if (access & GENERIC_READ)
        access |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE)
        access |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE)
        access |= FILE_GENERIC_EXECUTE;
    if (access & GENERIC_ALL)
        access |= FILE_ALL_ACCESS;
    return access &
           ~static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

// --- the object namespace ----------------------------------------------------------

// \DosDevices is a link to \??, \GLOBAL?? and \??\Global the global DosDevices
// directory, which a session looks in after its own: with one session they
// are all one directory. The rest of the name keeps its spelling.
std::u16string NormalisePrefix(const std::u16string& name) {
    static const std::u16string kSpellings[] = {u"\\dosdevices\\global\\", u"\\??\\global\\",
                                                u"\\global??\\", u"\\dosdevices\\"};
    const std::u16string lower = LowerName(name);
    for (const auto& spelling : kSpellings) {
        if (StartsWith(lower, spelling))
            return u"\\??\\" + name.substr(spelling.size());
    }
    if (lower == u"\\dosdevices" || lower == u"\\global??")
        return u"\\??";
    return name;
}

bool IsObjectDirectory(const std::u16string& canonical) {
    return canonical == u"\\device" || canonical == u"\\??" || canonical == u"\\driver";
}

struct Resolved {
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    PDEVICE_OBJECT device = nullptr;
    std::u16string remaining;  // what follows the device's name: the FILE_OBJECT's FileName
    std::u16string path;       // the name that led to the device
};

// An enabled device interface is a link to its PDO; what follows the interface
// name (a reference string, say) is passed on as the file name.
PDEVICE_OBJECT InterfaceTarget(const std::u16string& canonicalPrefix) {
    for (const auto& e : St().pnp.interfaces) {
        if (!e.enabled)
            continue;
        std::u16string link = LowerName(e.symbolicLink);
        size_t cut = link.find(u'\\', 4);
        if (cut != std::u16string::npos)
            link.resize(cut);
        if (link == canonicalPrefix)
            return e.pdo;
    }
    return nullptr;
}

// The object manager's walk, component by component: a device ends it (the
// rest of the name goes to the device's parse, the I/O manager); a symbolic
// link starts it again on its target followed by the rest; a missing last
// component is STATUS_OBJECT_NAME_NOT_FOUND, a missing directory on the way
// STATUS_OBJECT_PATH_NOT_FOUND.
Resolved ResolveObjectName(const std::u16string& ntName) {
    Resolved r;
    if (ntName.empty() || ntName[0] != u'\\') {
        r.status = STATUS_OBJECT_PATH_SYNTAX_BAD;
        return r;
    }
    std::u16string name = NormalisePrefix(ntName);
    auto& io = Io();
    for (int reparse = 0; reparse < kMaxReparse; ++reparse) {
        bool again = false;
        size_t end = 0;
        for (;;) {
            end = name.find(u'\\', end + 1);
            const std::u16string spelled = name.substr(0, end);
            const std::u16string prefix = LowerName(spelled);
            const std::u16string rest =
                end == std::u16string::npos ? std::u16string() : name.substr(end);
            auto device = io.deviceNames.find(prefix);
            if (device != io.deviceNames.end()) {
                r.status = STATUS_SUCCESS;
                r.device = device->second;
                r.remaining = rest;
                r.path = spelled;
                return r;
            }
            if (PDEVICE_OBJECT pdo = InterfaceTarget(prefix)) {
                r.status = STATUS_SUCCESS;
                r.device = pdo;
                r.remaining = rest;
                r.path = spelled;
                return r;
            }
            auto link = io.symbolicLinks.find(prefix);
            if (link != io.symbolicLinks.end()) {
                name = NormalisePrefix(link->second + rest);
                again = true;
                break;
            }
            if (end == std::u16string::npos) {
                r.status = IsObjectDirectory(prefix) ? STATUS_OBJECT_TYPE_MISMATCH
                                                     : STATUS_OBJECT_NAME_NOT_FOUND;
                return r;
            }
            if (!IsObjectDirectory(prefix)) {
                r.status = STATUS_OBJECT_PATH_NOT_FOUND;
                return r;
            }
        }
        if (!again)
            break;
    }
    r.status = STATUS_OBJECT_NAME_NOT_FOUND;
    return r;
}

// --- file objects ---------------------------------------------------------------------

// The file object lock of a synchronous file: every request (and the cleanup)
// holds it from its start until it has completed, so one handle's requests run
// one at a time.
void AcquireFileLock(PFILE_OBJECT file) {
    while (file->Busy) {
        ++file->Waiters;
        KeWaitForSingleObject(&file->Lock, Executive, KernelMode, FALSE, nullptr);
        --file->Waiters;
    }
    file->Busy = TRUE;
}

void ReleaseFileLock(PFILE_OBJECT file) {
    file->Busy = FALSE;
    if (file->Waiters)
        KeSetEvent(&file->Lock, 0, FALSE);
}

// A file object no longer counts against its device: the open count the
// exclusive check reads (DEVICE_OBJECT.ReferenceCount on Windows) drops, a
// device deleted meanwhile goes, a removal waiting for the stack's files goes.
void ReleaseDeviceOpen(PDEVICE_OBJECT device) {
    auto& io = Io();
    if (--io.openFiles[device] == 0)
        io.openFiles.erase(device);
    --device->ReferenceCount;
    if (OpenFileCount(device) > 0)
        return;
    NoteFilesClosedOnStack(device);
    if (DeviceDeletePending(device))
        FreeDeviceObject(device);
}

void FreeFileObject(PFILE_OBJECT file) {
    delete[] file->FileName.Buffer;
    Io().files.erase(file);
    std::free(file);
}

void QueueToThread(PIRP irp, IrpRecord& rec) {
    irp->Tail.Overlay.Thread = CurrentThread();
    InsertTailList(&ThreadList(CurrentThread()), &irp->ThreadListEntry);
    rec.threaded = true;
}

void Unqueue(PIRP irp, IrpRecord& rec) {
    if (!rec.threaded)
        return;
    RemoveEntryList(&irp->ThreadListEntry);
    InitializeListHead(&irp->ThreadListEntry);
    rec.threaded = false;
}

// The event and status block the I/O manager waits on for a request it issues
// synchronously. They live with the request, not on the waiter's stack: a
// driver that answers without completing (a bug, reported as a leak at the
// end) completes into memory that is still there.
struct Waiter {
    Waiter() { KeInitializeEvent(&event, NotificationEvent, FALSE); }
    KEVENT event{};
    IO_STATUS_BLOCK iosb{};
    std::shared_ptr<void> callerMemory;
};

// A request of the I/O manager's own on a file object (the open, the cleanup,
// the close): sent to the top of the stack of the file's device, queued to
// the calling thread, and waited for. Answers its final status.
NTSTATUS SendAndWait(PFILE_OBJECT file, UCHAR major, ULONG flags, PIO_STATUS_BLOCK iosb,
                     const std::function<void(IO_STACK_LOCATION&)>& parameters) {
    PDEVICE_OBJECT top = TopOfStack(file->DeviceObject);
    auto waiter = std::make_shared<Waiter>();
    if (!iosb)
        iosb = &waiter->iosb;
    PIRP irp = AllocateIrpRecord(top->StackSize, IrpOrigin::File);
    IrpRecord& rec = *FindIrp(irp);
    rec.file = file;
    rec.keepAlive = waiter;
    irp->Flags = flags;
    irp->RequestorMode = major == IRP_MJ_CREATE ? UserMode : KernelMode;
    irp->UserIosb = iosb;
    irp->UserEvent = &waiter->event;
    irp->Tail.Overlay.OriginalFileObject = file;
    QueueToThread(irp, rec);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->FileObject = file;
    if (parameters)
        parameters(*sp);
    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&waiter->event, Executive, KernelMode, FALSE, nullptr);
        status = iosb->Status;
    }
    return status;
}

// IRP_MJ_CLOSE, once the file object's last reference is gone: the driver
// hears of the file a last time, then the device forgets it.
void CloseFileObject(PFILE_OBJECT file) {
    FileRecord* record = RecordOf(file);
    record->closing = true;
    SendAndWait(file, IRP_MJ_CLOSE, IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API, nullptr, nullptr);
    PDEVICE_OBJECT device = file->DeviceObject;
    FreeFileObject(file);
    ReleaseDeviceOpen(device);
}

// A reference to the file object goes. The last one closes it: in the calling
// thread when that is the handle's close; when it is a request's completion
// (processed at APC level on Windows, where deletion is deferred), from a
// system worker thread — IRP_MJ_CLOSE need not come in the closer's context.
void DereferenceFile(PFILE_OBJECT file, bool fromCompletion) {
    FileRecord* record = RecordOf(file);
    if (--record->references > 0)
        return;
    if (!fromCompletion) {
        CloseFileObject(file);
        return;
    }
    Simulation::Current().CreateThread("I/O manager (close of " + Narrow(record->name) + ")",
                                       [file] {
                                           AtomicSection managerCode;
                                           CloseFileObject(file);
                                       });
}

size_t PendingRequestsOf(PFILE_OBJECT file) {
    size_t n = 0;
    for (auto& [irp, rec] : Io().irps) {
        if (rec.state == IrpState::Active && rec.file == file && rec.fileReference)
            ++n;
    }
    return n;
}

struct Live {
    PIRP irp;
    uint64_t serial;
};

// --- requests ---------------------------------------------------------------------------

// How a request's buffers reach the driver.
enum class Buffers { Buffered, Direct, Neither };

struct Request {
    UCHAR major = 0;
    std::function<void(IO_STACK_LOCATION&)> parameters;
    const void* input = nullptr;
    ULONG inputLength = 0;
    void* output = nullptr;
    ULONG outputLength = 0;
    Buffers buffers = Buffers::Buffered;
    bool deviceControl = false;
    // Flushes, queries and sets return when done even on an overlapped handle.
    bool alwaysSynchronous = false;
    ACCESS_MASK needsAnyOf = 0;  // the handle must have one of these rights
    PKEVENT event = nullptr;
    PIO_STATUS_BLOCK iosb = nullptr;
    std::shared_ptr<void> keepAlive;
};

// What NtReadFile and its kin do once their arguments are checked: a reference
// to the file for the request, the file's lock on a synchronous handle, the
// events cleared, an IRP to the top of the stack with the file object in its
// location, queued to the thread; then, on a synchronous handle, the wait.
NTSTATUS Issue(HANDLE handle, Request& r) {
    PFILE_OBJECT file = FileOfHandle(handle);
    if (!file)
        return STATUS_INVALID_HANDLE;
    FileRecord* record = RecordOf(file);
    if (r.needsAnyOf && !(record->granted & r.needsAnyOf))
        return STATUS_ACCESS_DENIED;
    const bool synchronous = (file->Flags & FO_SYNCHRONOUS_IO) != 0;
    ++record->references;
    if (synchronous)
        AcquireFileLock(file);
    // Flushes, queries and sets on an overlapped handle still wait, on an
    // event of the I/O manager's own.
    std::shared_ptr<Waiter> waiter;
    if (!synchronous && r.alwaysSynchronous) {
        waiter = std::make_shared<Waiter>();
        waiter->callerMemory = std::move(r.keepAlive);
        r.event = &waiter->event;
        if (!r.iosb)
            r.iosb = &waiter->iosb;
        r.keepAlive = waiter;
    }
    if (r.event)
        KeClearEvent(r.event);
    KeClearEvent(&file->Event);

    PDEVICE_OBJECT top = TopOfStack(file->DeviceObject);
    PIRP irp = AllocateIrpRecord(top->StackSize, IrpOrigin::File);
    IrpRecord& rec = *FindIrp(irp);
    rec.file = file;
    rec.fileReference = true;
    rec.keepAlive = std::move(r.keepAlive);
    irp->RequestorMode = UserMode;
    irp->UserIosb = r.iosb;
    irp->UserEvent = r.event;
    irp->Tail.Overlay.OriginalFileObject = file;
    if (r.alwaysSynchronous)
        irp->Flags |= IRP_SYNCHRONOUS_API;
    QueueToThread(irp, rec);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = r.major;
    sp->FileObject = file;
    if (r.parameters)
        r.parameters(*sp);

    const auto* in = static_cast<const uint8_t*>(r.input);
    rec.outputLength = r.outputLength;
    irp->UserBuffer = r.output ? r.output : const_cast<void*>(r.input);
    switch (r.buffers) {
        case Buffers::Buffered: {
            // One system buffer for input and output; the output is copied back
            // into the caller's buffer when the request completes.
            const ULONG length = std::max(r.inputLength, r.outputLength);
            if (length) {
                rec.systemBuffer = NewCallerBuffer(length, in, r.inputLength);
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            }
            irp->AssociatedIrp.SystemBuffer = rec.systemBuffer;
            if (r.outputLength)
                irp->Flags |= IRP_INPUT_OPERATION;
            rec.buffered = r.outputLength > 0 || r.deviceControl;
            rec.callerOutput = r.output;
            break;
        }
        case Buffers::Direct:
            // A device control's input still goes through a system buffer; the
            // data buffer is the caller's own, locked and described by an MDL.
            if (r.deviceControl && r.inputLength) {
                rec.systemBuffer = NewCallerBuffer(r.inputLength, in, r.inputLength);
                irp->AssociatedIrp.SystemBuffer = rec.systemBuffer;
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            }
            if (r.output && r.outputLength) {
                rec.mdl = NewLockedMdl(r.output, r.outputLength);
                rec.userOutputCopied = true;
            } else if (!r.deviceControl && r.input && r.inputLength) {
                rec.mdl = NewLockedMdl(const_cast<void*>(r.input), r.inputLength);
            }
            irp->MdlAddress = rec.mdl;
            break;
        case Buffers::Neither:
            // The caller's addresses as they are.
            if (r.deviceControl)
                sp->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(r.input);
            rec.userOutputCopied = r.output && r.outputLength;
            break;
    }

    NTSTATUS status = IoCallDriver(top, irp);
    if (synchronous) {
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&file->Event, Executive, KernelMode, FALSE, nullptr);
            status = file->FinalStatus;
        }
        ReleaseFileLock(file);
    } else if (waiter && status == STATUS_PENDING) {
        KeWaitForSingleObject(&waiter->event, Executive, KernelMode, FALSE, nullptr);
        status = r.iosb->Status;
    }
    return status;
}

// The sizes NtQueryInformationFile and NtSetInformationFile insist on before a
// driver sees the request (STATUS_INFO_LENGTH_MISMATCH below them), and the
// access each needs; classes not listed here go to the driver unchecked.
struct InformationRule {
    FILE_INFORMATION_CLASS informationClass;
    ULONG length;
    ACCESS_MASK queryNeeds;
    ACCESS_MASK setNeeds;
};
constexpr InformationRule kInformationRules[] = {
    {FileBasicInformation, sizeof(FILE_BASIC_INFORMATION), FILE_READ_ATTRIBUTES,
     FILE_WRITE_ATTRIBUTES},
    {FileStandardInformation, sizeof(FILE_STANDARD_INFORMATION), 0, 0},
    {FilePositionInformation, sizeof(FILE_POSITION_INFORMATION), 0, 0},
    {FileAllocationInformation, sizeof(LARGE_INTEGER), 0, FILE_WRITE_DATA},
    {FileEndOfFileInformation, sizeof(LARGE_INTEGER), 0, FILE_WRITE_DATA},
};

const InformationRule* RuleFor(FILE_INFORMATION_CLASS informationClass) {
    for (const auto& rule : kInformationRules) {
        if (rule.informationClass == informationClass)
            return &rule;
    }
    return nullptr;
}

}  // namespace

// --- shared with the rest of the I/O manager -------------------------------------------------

std::u16string LowerName(const std::u16string& name) {
    std::u16string out = name;
    for (auto& c : out) {
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return out;
}

std::u16string CanonicalObjectName(const std::u16string& name) {
    return LowerName(NormalisePrefix(name));
}

int OpenFileCount(PDEVICE_OBJECT device) {
    auto it = Io().openFiles.find(device);
    return it == Io().openFiles.end() ? 0 : it->second;
}

// What the completion of a request on a file does, in the issuing thread on
// Windows (IopCompleteRequest): unless the driver failed the request at once
// without pending it (the caller then has the error as the call's answer and
// nothing else), the buffered output is copied back, the status block
// written, the caller's event set, and the file object's event too when the
// caller gave none or the file is synchronous; then the request leaves its
// thread's list and gives its file reference back.
void FinishFileRequest(PIRP irp, IrpRecord& rec, NTSTATUS status, bool copyBack) {
    AtomicSection managerCode;
    PFILE_OBJECT file = rec.file;
    const bool failedAtOnce = NT_ERROR(status) && !irp->PendingReturned;
    if (!failedAtOnce) {
        if (copyBack && rec.buffered && rec.callerOutput && rec.systemBuffer) {
            std::memcpy(rec.callerOutput, rec.systemBuffer,
                        std::min<ULONG_PTR>(irp->IoStatus.Information, rec.outputLength));
        }
        if (irp->UserIosb)
            *irp->UserIosb = irp->IoStatus;
        if (irp->UserEvent)
            KeSetEvent(irp->UserEvent, 0, FALSE);
        if (file && (!irp->UserEvent || (file->Flags & FO_SYNCHRONOUS_IO))) {
            file->FinalStatus = status;
            KeSetEvent(&file->Event, 0, FALSE);
        }
    }
    Unqueue(irp, rec);
    rec.keepAlive.reset();
    if (rec.fileReference) {
        rec.fileReference = false;
        DereferenceFile(file, true);
    }
}

std::string DescribeFileOf(PIRP irp, const IrpRecord& rec) {
    FileRecord* record = RecordOf(rec.file);
    if (!record)
        return "on file object " + Hex(rec.file);
    std::string s = "issued on " + Narrow(record->name) + " (file object " + Hex(rec.file);
    if (record->handles > 0) {
        s += ", " + std::to_string(record->handles) + " handle(s) open";
    } else if (record->cleanedUp) {
        s += ", its last handle closed and IRP_MJ_CLEANUP sent";
    }
    s += ")";
    if (rec.threaded) {
        s += " by thread '" + static_cast<const Context*>(irp->Tail.Overlay.Thread)->name + "'";
    } else if (rec.fileReference) {
        s += ", disassociated from the thread that issued it";
    }
    return s;
}

void CancelThreadIo(Context* thread) {
    auto it = Io().threadIrps.find(thread);
    if (it == Io().threadIrps.end())
        return;
    AtomicSection managerCode;
    LIST_ENTRY& head = it->second;
    auto outstanding = [&] {
        std::vector<Live> live;
        for (PLIST_ENTRY e = head.Flink; e != &head; e = e->Flink) {
            PIRP irp = CONTAINING_RECORD(e, IRP, ThreadListEntry);
            live.push_back({irp, FindIrp(irp)->serial});
        }
        return live;
    };
    for (const Live& l : outstanding())
        CancelIrpIfLive(l.irp, l.serial);
    for (int poll = 0; poll < kThreadExitPolls && !IsListEmpty(&head); ++poll) {
        LARGE_INTEGER interval;
        interval.QuadPart = -kThreadExitPoll;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    // Windows logs the device's driver and lets the thread go; the request
    // stays with the driver, without a thread to complete to.
    for (const Live& l : outstanding()) {
        IrpRecord& rec = *FindIrp(l.irp);
        PIO_STACK_LOCATION sp = l.irp->CurrentLocation <= l.irp->StackCount
                                    ? IoGetCurrentIrpStackLocation(l.irp)
                                    : nullptr;
        Io().errorLog.push_back(
            "thread '" + thread->name + "' ended: device " + Hex(sp ? sp->DeviceObject : nullptr) +
            " did not complete cancelled IRP " + Hex(l.irp) + " " + DescribeFileOf(l.irp, rec) +
            " within five minutes; it is disassociated from the thread");
        Unqueue(l.irp, rec);
        l.irp->Tail.Overlay.Thread = nullptr;
    }
    Io().threadIrps.erase(thread);
}

void ReleaseFileObjects() {
    auto& io = Io();
    for (auto& [file, record] : io.files) {
        delete[] file->FileName.Buffer;
        std::free(file);
    }
    io.files.clear();
    io.fileHandles.clear();
    io.threadIrps.clear();
    io.openFiles.clear();
    io.deletePending.clear();
    io.errorLog.clear();
}

// --- names -------------------------------------------------------------------------------

std::u16string Win32NameToNt(const std::u16string& name) {
    if (StartsWith(name, u"\\\\.\\") || StartsWith(name, u"\\\\?\\"))
        return u"\\??\\" + name.substr(4);
    std::u16string bare = name;
    if (!bare.empty() && bare.back() == u':')
        bare.pop_back();
    std::u16string upper = bare;
    for (auto& c : upper) {
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    }
    static const std::u16string kFixed[] = {u"AUX", u"CON", u"NUL", u"PRN"};
    bool device = std::find(std::begin(kFixed), std::end(kFixed), upper) != std::end(kFixed);
    if (upper.size() == 4 && (StartsWith(upper, u"COM") || StartsWith(upper, u"LPT")) &&
        upper[3] >= u'1' && upper[3] <= u'9')
        device = true;
    return device ? u"\\??\\" + upper : std::u16string();
}

// --- the native calls ---------------------------------------------------------------------

CreateParameters SynchronousOpen() {
    return CreateParameters{};
}

CreateParameters OverlappedOpen() {
    CreateParameters p;
    p.options = FILE_NON_DIRECTORY_FILE;
    return p;
}

NTSTATUS NtCreateFile(PHANDLE handle, const std::u16string& ntName,
                      const CreateParameters& parameters, PIO_STATUS_BLOCK iosb) {
    if (!RequireThread("NtCreateFile"))
        return STATUS_INVALID_DEVICE_STATE;
    AtomicSection managerCode;
    *handle = nullptr;
    Resolved where = ResolveObjectName(ntName);
    if (!NT_SUCCESS(where.status))
        return where.status;
    PDEVICE_OBJECT device = where.device;
    auto& io = Io();
    // The device's own checks before any driver sees the open: a device being
    // deleted or still initializing is no device; an exclusive device with a
    // file object still open on it (a handle, or a file whose IRP_MJ_CLOSE has
    // not gone yet) is denied — per named device, whatever name follows it.
    if (DeviceDeletePending(device) || (device->Flags & DO_DEVICE_INITIALIZING))
        return STATUS_NO_SUCH_DEVICE;
    if ((device->Flags & DO_EXCLUSIVE) && OpenFileCount(device) > 0)
        return STATUS_ACCESS_DENIED;
    ++io.openFiles[device];
    ++device->ReferenceCount;

    auto* file = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    if (parameters.options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))
        file->Flags |= FO_SYNCHRONOUS_IO;
    if (parameters.options & FILE_SYNCHRONOUS_IO_ALERT)
        file->Flags |= FO_ALERTABLE_IO;
    if (parameters.options & FILE_NO_INTERMEDIATE_BUFFERING)
        file->Flags |= FO_NO_INTERMEDIATE_BUFFERING;
    if (!where.remaining.empty()) {
        file->FileName.Buffer = new WCHAR[where.remaining.size() + 1];
        std::copy(where.remaining.begin(), where.remaining.end(), file->FileName.Buffer);
        file->FileName.Buffer[where.remaining.size()] = 0;
        file->FileName.Length = static_cast<USHORT>(where.remaining.size() * sizeof(WCHAR));
        file->FileName.MaximumLength = static_cast<USHORT>(file->FileName.Length + sizeof(WCHAR));
    }
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    InitializeListHead(&file->IrpList);
    auto record = std::make_unique<FileRecord>();
    record->object = file;
    record->name = ntName;
    record->canonicalName = CanonicalObjectName(where.path);
    record->granted = MapGenericAccess(parameters.desiredAccess);
    record->references = 1;
    FileRecord& rec = *record;
    io.files.emplace(file, std::move(record));

    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = rec.granted;
    security.FullCreateOptions = parameters.options;
    NTSTATUS status = SendAndWait(
        file, IRP_MJ_CREATE, IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API | IRP_DEFER_IO_COMPLETION,
        iosb, [&](IO_STACK_LOCATION& sp) {
            sp.Parameters.Create.SecurityContext = &security;
            sp.Parameters.Create.Options =
                (parameters.disposition << 24) | (parameters.options & 0x00FFFFFF);
            sp.Parameters.Create.FileAttributes = static_cast<USHORT>(parameters.fileAttributes);
            sp.Parameters.Create.ShareAccess = static_cast<USHORT>(parameters.shareAccess);
            sp.Parameters.Create.EaLength = 0;
        });
    if (!NT_SUCCESS(status)) {
        // The driver never opened it: no cleanup, no close; the file object goes.
        FreeFileObject(file);
        ReleaseDeviceOpen(device);
        return status;
    }
    file->Flags |= FO_HANDLE_CREATED;
    const ULONG_PTR value = io.nextFileHandle;
    io.nextFileHandle += 4;
    io.fileHandles[value] = file;
    rec.handles = 1;
    rec.handleValues.push_back(value);
    *handle = reinterpret_cast<HANDLE>(value);
    return status;
}

namespace {

// A read or a write: at the file position unless an offset is given, with the
// buffers the top device of the stack asks for.
NTSTATUS IssueData(HANDLE handle, UCHAR major, PKEVENT event, PIO_STATUS_BLOCK iosb, PVOID output,
                   const void* input, ULONG length, const LARGE_INTEGER* byteOffset,
                   ACCESS_MASK needsAnyOf, std::shared_ptr<void> keepAlive) {
    PFILE_OBJECT file = FileOfHandle(handle);
    if (!file)
        return STATUS_INVALID_HANDLE;
    // Without an offset an overlapped request has no file position to use.
    if (!byteOffset && !(file->Flags & FO_SYNCHRONOUS_IO))
        return STATUS_INVALID_PARAMETER;
    const LARGE_INTEGER offset = byteOffset ? *byteOffset : file->CurrentByteOffset;
    PDEVICE_OBJECT top = TopOfStack(file->DeviceObject);
    Request r;
    r.major = major;
    r.parameters = [&](IO_STACK_LOCATION& sp) {
        // Read and Write share their layout.
        sp.Parameters.Read.Length = length;
        sp.Parameters.Read.ByteOffset = offset;
    };
    r.output = output;
    r.outputLength = output ? length : 0;
    r.input = input;
    r.inputLength = input ? length : 0;
    r.buffers = (top->Flags & DO_BUFFERED_IO) ? Buffers::Buffered
                : (top->Flags & DO_DIRECT_IO) ? Buffers::Direct
                                              : Buffers::Neither;
    r.needsAnyOf = needsAnyOf;
    r.event = event;
    r.iosb = iosb;
    r.keepAlive = std::move(keepAlive);
    return Issue(handle, r);
}

NTSTATUS IssueRead(HANDLE handle, PKEVENT event, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length,
                   const LARGE_INTEGER* byteOffset, std::shared_ptr<void> keepAlive) {
    return IssueData(handle, IRP_MJ_READ, event, iosb, buffer, nullptr, length, byteOffset, FILE_READ_DATA,
                     std::move(keepAlive));
}

NTSTATUS IssueWrite(HANDLE handle, PKEVENT event, PIO_STATUS_BLOCK iosb, const void* buffer,
                    ULONG length, const LARGE_INTEGER* byteOffset,
                    std::shared_ptr<void> keepAlive) {
    return IssueData(handle, IRP_MJ_WRITE, event, iosb, nullptr, buffer, length, byteOffset,
                     FILE_WRITE_DATA | FILE_APPEND_DATA, std::move(keepAlive));
}

NTSTATUS IssueControl(HANDLE handle, PKEVENT event, PIO_STATUS_BLOCK iosb, ULONG code,
                      const void* input, ULONG inputLength, PVOID output, ULONG outputLength,
                      std::shared_ptr<void> keepAlive) {
    Request r;
    r.major = IRP_MJ_DEVICE_CONTROL;
    r.parameters = [&](IO_STACK_LOCATION& sp) {
        sp.Parameters.DeviceIoControl.IoControlCode = code;
        sp.Parameters.DeviceIoControl.InputBufferLength = inputLength;
        sp.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    };
    r.input = input;
    r.inputLength = inputLength;
    r.output = output;
    r.outputLength = outputLength;
    r.deviceControl = true;
    switch (code & 3) {
        case METHOD_BUFFERED:
            r.buffers = Buffers::Buffered;
            break;
        case METHOD_NEITHER:
            r.buffers = Buffers::Neither;
            break;
        default:
            r.buffers = Buffers::Direct;
            break;
    }
    // The access the code asks for must be among the handle's rights.
    PFILE_OBJECT file = FileOfHandle(handle);
    if (!file)
        return STATUS_INVALID_HANDLE;
    const ULONG access = (code >> 14) & 3;
    const ACCESS_MASK granted = RecordOf(file)->granted;
    if (((access & FILE_READ_ACCESS) && !(granted & FILE_READ_DATA)) ||
        ((access & FILE_WRITE_ACCESS) && !(granted & FILE_WRITE_DATA)))
        return STATUS_ACCESS_DENIED;
    r.event = event;
    r.iosb = iosb;
    r.keepAlive = std::move(keepAlive);
    return Issue(handle, r);
}

// What the I/O manager checks before a query or set of file information reaches
// the driver: the handle, the class, the record's length and the access the
// handle was granted (`needs` names the query or set column of the class's rule).
NTSTATUS CheckInformationRequest(HANDLE handle, ULONG length, FILE_INFORMATION_CLASS informationClass,
                                 ACCESS_MASK InformationRule::*needs, PFILE_OBJECT* file) {
    *file = FileOfHandle(handle);
    if (!*file)
        return STATUS_INVALID_HANDLE;
    if (informationClass <= 0 || informationClass >= FileMaximumInformation)
        return STATUS_INVALID_INFO_CLASS;
    const InformationRule* rule = RuleFor(informationClass);
    if (rule && length < rule->length)
        return STATUS_INFO_LENGTH_MISMATCH;
    if (rule && rule->*needs && !(RecordOf(*file)->granted & rule->*needs))
        return STATUS_ACCESS_DENIED;
    return STATUS_SUCCESS;
}

NTSTATUS IssueQuery(HANDLE handle, PIO_STATUS_BLOCK iosb, PVOID information, ULONG length,
                    FILE_INFORMATION_CLASS informationClass) {
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = CheckInformationRequest(handle, length, informationClass, &InformationRule::queryNeeds, &file);
    if (status != STATUS_SUCCESS)
        return status;
    // The position of a synchronous file is the I/O manager's own: it answers
    // without asking the driver.
    if (informationClass == FilePositionInformation && (file->Flags & FO_SYNCHRONOUS_IO)) {
        AcquireFileLock(file);
        FILE_POSITION_INFORMATION position{};
        position.CurrentByteOffset = file->CurrentByteOffset;
        std::memcpy(information, &position, sizeof position);
        ReleaseFileLock(file);
        if (iosb) {
            iosb->Status = STATUS_SUCCESS;
            iosb->Information = sizeof position;
        }
        return STATUS_SUCCESS;
    }
    Request r;
    r.major = IRP_MJ_QUERY_INFORMATION;
    r.parameters = [&](IO_STACK_LOCATION& sp) {
        sp.Parameters.QueryFile.Length = length;
        sp.Parameters.QueryFile.FileInformationClass = informationClass;
    };
    r.output = information;
    r.outputLength = length;
    r.alwaysSynchronous = true;
    r.iosb = iosb;
    return Issue(handle, r);
}

NTSTATUS IssueSet(HANDLE handle, PIO_STATUS_BLOCK iosb, const void* information, ULONG length,
                  FILE_INFORMATION_CLASS informationClass) {
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = CheckInformationRequest(handle, length, informationClass, &InformationRule::setNeeds, &file);
    if (status != STATUS_SUCCESS)
        return status;
    if (informationClass == FilePositionInformation && (file->Flags & FO_SYNCHRONOUS_IO)) {
        FILE_POSITION_INFORMATION position;
        std::memcpy(&position, information, sizeof position);
        if (position.CurrentByteOffset.QuadPart < 0)
            return STATUS_INVALID_PARAMETER;
        AcquireFileLock(file);
        file->CurrentByteOffset = position.CurrentByteOffset;
        ReleaseFileLock(file);
        if (iosb) {
            iosb->Status = STATUS_SUCCESS;
            iosb->Information = 0;
        }
        return STATUS_SUCCESS;
    }
    Request r;
    r.major = IRP_MJ_SET_INFORMATION;
    r.parameters = [&](IO_STACK_LOCATION& sp) {
        sp.Parameters.SetFile.Length = length;
        sp.Parameters.SetFile.FileInformationClass = informationClass;
        sp.Parameters.SetFile.FileObject = nullptr;
    };
    r.input = information;
    r.inputLength = length;
    r.alwaysSynchronous = true;
    r.iosb = iosb;
    return Issue(handle, r);
}

}  // namespace

NTSTATUS NtReadFile(HANDLE handle, PKEVENT event, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length,
                    const LARGE_INTEGER* byteOffset) {
    if (!RequireThread("NtReadFile"))
        return STATUS_INVALID_DEVICE_STATE;
    AtomicSection managerCode;
    return IssueRead(handle, event, iosb, buffer, length, byteOffset, nullptr);
}

NTSTATUS NtWriteFile(HANDLE handle, PKEVENT event, PIO_STATUS_BLOCK iosb, const void* buffer,
                     ULONG length, const LARGE_INTEGER* byteOffset) {
    if (!RequireThread("NtWriteFile"))
        return STATUS_INVALID_DEVICE_STATE;
    AtomicSection managerCode;
    return IssueWrite(handle, event, iosb, buffer, length, byteOffset, nullptr);
}

NTSTATUS NtDeviceIoControlFile(HANDLE handle, PKEVENT event, PIO_STATUS_BLOCK iosb, ULONG code,
                               const void* input, ULONG inputLength, PVOID output,
                               ULONG outputLength) {
    if (!RequireThread("NtDeviceIoControlFile"))
        return STATUS_INVALID_DEVICE_STATE;
    AtomicSection managerCode;
    return IssueControl(handle, event, iosb, code, input, inputLength, output, outputLength,
                        nullptr);
}

NTSTATUS NtFlushBuffersFile(HANDLE handle, PIO_STATUS_BLOCK iosb) {
    if (!RequireThread("NtFlushBuffersFile"))
        return STATUS_INVALID_DEVICE_STATE;
    AtomicSection managerCode;
    Request r;
    r.major = IRP_MJ_FLUSH_BUFFERS;
    r.alwaysSynchronous = true;
    r.needsAnyOf = FILE_WRITE_DATA | FILE_APPEND_DATA;
    r.iosb = iosb;
    return Issue(handle, r);
}

NTSTATUS NtQueryInformationFile(HANDLE handle, PIO_STATUS_BLOCK iosb, PVOID information,
                                ULONG length, FILE_INFORMATION_CLASS informationClass) {
    if (!RequireThread("NtQueryInformationFile"))
        return STATUS_INVALID_DEVICE_STATE;
    AtomicSection managerCode;
    return IssueQuery(handle, iosb, information, length, informationClass);
}

NTSTATUS NtSetInformationFile(HANDLE handle, PIO_STATUS_BLOCK iosb, const void* information,
                              ULONG length, FILE_INFORMATION_CLASS informationClass) {
    if (!RequireThread("NtSetInformationFile"))
        return STATUS_INVALID_DEVICE_STATE;
    AtomicSection managerCode;
    return IssueSet(handle, iosb, information, length, informationClass);
}

NTSTATUS NtCancelIoFile(HANDLE handle, PIO_STATUS_BLOCK iosb) {
    if (!RequireThread("NtCancelIoFile"))
        return STATUS_INVALID_DEVICE_STATE;
    AtomicSection managerCode;
    PFILE_OBJECT file = FileOfHandle(handle);
    if (!file)
        return STATUS_INVALID_HANDLE;
    Context* self = CurrentThread();
    auto mine = [&] {
        std::vector<Live> live;
        auto it = Io().threadIrps.find(self);
        if (it == Io().threadIrps.end())
            return live;
        for (PLIST_ENTRY e = it->second.Flink; e != &it->second; e = e->Flink) {
            PIRP irp = CONTAINING_RECORD(e, IRP, ThreadListEntry);
            if (irp->Tail.Overlay.OriginalFileObject == file)
                live.push_back({irp, FindIrp(irp)->serial});
        }
        return live;
    };
    std::vector<Live> cancelled = mine();
    for (const Live& l : cancelled)
        CancelIrpIfLive(l.irp, l.serial);
    // Then it waits, looking every 10 ms, until they have all completed.
    const Ticks start = Simulation::Current().Now();
    while (!mine().empty()) {
        if (Simulation::Current().Now() - start >= kCancelIoHang) {
            Verifier::Violation(Rule::Deadlock, "CancelIo on " + Narrow(RecordOf(file)->name) +
                                                    " has waited five minutes for cancelled IRP " +
                                                    Hex(mine().front().irp) +
                                                    ", which its driver never completes");
            break;
        }
        LARGE_INTEGER interval;
        interval.QuadPart = -kCancelIoPoll;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    if (iosb) {
        iosb->Status = STATUS_SUCCESS;
        iosb->Information = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NtCancelIoFileEx(HANDLE handle, PIO_STATUS_BLOCK request, PIO_STATUS_BLOCK iosb) {
    if (!RequireThread("NtCancelIoFileEx"))
        return STATUS_INVALID_DEVICE_STATE;
    AtomicSection managerCode;
    PFILE_OBJECT file = FileOfHandle(handle);
    if (!file)
        return STATUS_INVALID_HANDLE;
    // Any thread's requests on the file (the process has one), still in a
    // thread's list, or only those whose status block is the one named.
    std::vector<Live> found;
    for (auto& [irp, rec] : Io().irps) {
        if (rec.state == IrpState::Active && rec.file == file && rec.threaded &&
            rec.fileReference && (!request || irp->UserIosb == request))
            found.push_back({irp, rec.serial});
    }
    if (found.empty())
        return STATUS_NOT_FOUND;
    for (const Live& l : found)
        CancelIrpIfLive(l.irp, l.serial);
    if (iosb) {
        iosb->Status = STATUS_SUCCESS;
        iosb->Information = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NtDuplicateObject(HANDLE source, PHANDLE target) {
    if (!RequireThread("NtDuplicateObject"))
        return STATUS_INVALID_DEVICE_STATE;
    auto& io = Io();
    PFILE_OBJECT file = FileOfHandle(source);
    if (!file)
        return STATUS_INVALID_HANDLE;
    FileRecord* record = RecordOf(file);
    const ULONG_PTR value = io.nextFileHandle;
    io.nextFileHandle += 4;
    io.fileHandles[value] = file;
    ++record->handles;
    ++record->references;
    record->handleValues.push_back(value);
    *target = reinterpret_cast<HANDLE>(value);
    return STATUS_SUCCESS;
}

NTSTATUS NtClose(HANDLE handle) {
    if (!RequireThread("NtClose"))
        return STATUS_INVALID_DEVICE_STATE;
    AtomicSection managerCode;
    auto& io = Io();
    auto it = io.fileHandles.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == io.fileHandles.end())
        return STATUS_INVALID_HANDLE;
    PFILE_OBJECT file = it->second;
    io.fileHandles.erase(it);
    FileRecord* record = RecordOf(file);
    if (--record->handles == 0) {
        // The last handle: IRP_MJ_CLEANUP now, in the closing thread, after any
        // request in progress on a synchronous file has finished. The I/O manager
        // cancels nothing itself: the driver's cleanup must complete the file's
        // requests, and those it leaves stay pending.
        const bool synchronous = (file->Flags & FO_SYNCHRONOUS_IO) != 0;
        if (synchronous)
            AcquireFileLock(file);
        SendAndWait(file, IRP_MJ_CLEANUP, IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API, nullptr,
                    nullptr);
        file->Flags |= FO_CLEANUP_COMPLETE;
        record->cleanedUp = true;
        if (synchronous)
            ReleaseFileLock(file);
        if (size_t left = PendingRequestsOf(file)) {
            io.errorLog.push_back("after IRP_MJ_CLEANUP of " + Narrow(record->name) +
                                  " (file object " + Hex(file) + "), " + std::to_string(left) +
                                  " request(s) issued on it are still pending");
        }
    }
    DereferenceFile(file, false);
    return STATUS_SUCCESS;
}

PFILE_OBJECT FileObjectOf(HANDLE handle) {
    return handle ? FileOfHandle(handle) : nullptr;
}

const std::vector<std::string>& IoErrorLog() {
    return Io().errorLog;
}

// --- for tests and tools -------------------------------------------------------------------------

FileRequest::FileRequest() {
    iosb.Status = STATUS_PENDING;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
}

bool FileRequest::Completed() const {
    return event.Header.SignalState != 0 || NT_ERROR(returned);
}

NTSTATUS FileRequest::Status() const {
    if (event.Header.SignalState != 0)
        return iosb.Status;
    return NT_ERROR(returned) ? returned : STATUS_PENDING;
}

ULONG_PTR FileRequest::Information() const {
    return event.Header.SignalState != 0 ? iosb.Information : 0;
}

std::vector<uint8_t> FileRequest::Output() const {
    const size_t n = std::min<size_t>(Information(), buffer.size());
    return std::vector<uint8_t>(buffer.begin(), buffer.begin() + static_cast<long>(n));
}

File File::Open(const std::u16string& name, NTSTATUS* status, const CreateParameters& parameters) {
    // Win32 names are converted as kernel32 converts them; NT names are taken as they are.
    const bool nt = !name.empty() && name[0] == u'\\' && !StartsWith(name, u"\\\\");
    const std::u16string ntName = nt ? name : Win32NameToNt(name);
    HANDLE handle = nullptr;
    NTSTATUS s = ntName.empty() ? STATUS_OBJECT_NAME_NOT_FOUND
                                : NtCreateFile(&handle, ntName, parameters, nullptr);
    if (status)
        *status = s;
    return NT_SUCCESS(s) ? File(handle) : File();
}

FileRequestHandle File::Read(ULONG length) {
    auto request = std::make_shared<FileRequest>();
    request->buffer.assign(length, 0);
    if (!RequireThread("File::Read"))
        return request;
    AtomicSection managerCode;
    LARGE_INTEGER offset{};
    request->returned = IssueRead(handle_, &request->event, &request->iosb, request->buffer.data(),
                                  length, &offset, request);
    return request;
}

FileRequestHandle File::Write(std::vector<uint8_t> bytes) {
    auto request = std::make_shared<FileRequest>();
    request->buffer = std::move(bytes);
    if (!RequireThread("File::Write"))
        return request;
    AtomicSection managerCode;
    LARGE_INTEGER offset{};
    request->returned = IssueWrite(handle_, &request->event, &request->iosb, request->buffer.data(),
                                   static_cast<ULONG>(request->buffer.size()), &offset, request);
    return request;
}

FileRequestHandle File::DeviceIoControl(ULONG code, std::vector<uint8_t> input,
                                        ULONG outputLength) {
    auto request = std::make_shared<FileRequest>();
    request->buffer.assign(outputLength, 0);
    if (!RequireThread("File::DeviceIoControl"))
        return request;
    AtomicSection managerCode;
    // The input lives as long as the request.
    auto kept = std::make_shared<std::pair<FileRequestHandle, std::vector<uint8_t>>>(
        request, std::move(input));
    request->returned =
        IssueControl(handle_, &request->event, &request->iosb, code,
                     kept->second.empty() ? nullptr : kept->second.data(),
                     static_cast<ULONG>(kept->second.size()),
                     outputLength ? request->buffer.data() : nullptr, outputLength, kept);
    return request;
}

FileRequestHandle File::Flush() {
    auto request = std::make_shared<FileRequest>();
    request->returned = NtFlushBuffersFile(handle_, &request->iosb);
    // Done when the call returns: only a failure at once leaves the status block alone.
    if (!NT_ERROR(request->returned))
        KeSetEvent(&request->event, 0, FALSE);
    return request;
}

FileRequestHandle File::QueryInformation(FILE_INFORMATION_CLASS informationClass, ULONG length) {
    auto request = std::make_shared<FileRequest>();
    request->buffer.assign(length, 0);
    request->returned = NtQueryInformationFile(handle_, &request->iosb, request->buffer.data(),
                                               length, informationClass);
    if (!NT_ERROR(request->returned))
        KeSetEvent(&request->event, 0, FALSE);
    return request;
}

FileRequestHandle File::SetInformation(FILE_INFORMATION_CLASS informationClass,
                                       std::vector<uint8_t> information) {
    auto request = std::make_shared<FileRequest>();
    request->buffer = std::move(information);
    request->returned =
        NtSetInformationFile(handle_, &request->iosb, request->buffer.data(),
                             static_cast<ULONG>(request->buffer.size()), informationClass);
    if (!NT_ERROR(request->returned))
        KeSetEvent(&request->event, 0, FALSE);
    return request;
}

NTSTATUS File::CancelIo() {
    IO_STATUS_BLOCK iosb{};
    return NtCancelIoFile(handle_, &iosb);
}

NTSTATUS File::CancelIoEx(const FileRequestHandle& only) {
    IO_STATUS_BLOCK iosb{};
    return NtCancelIoFileEx(handle_, only ? &only->iosb : nullptr, &iosb);
}

File File::Duplicate() const {
    HANDLE copy = nullptr;
    return NT_SUCCESS(NtDuplicateObject(handle_, &copy)) ? File(copy) : File();
}

NTSTATUS File::Close() {
    NTSTATUS status = NtClose(handle_);
    handle_ = nullptr;
    return status;
}

}  // namespace sim
