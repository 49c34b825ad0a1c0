// The I/O manager: driver and device objects, device stacks, IRPs from
// allocation to completion, cancellation, and the object names that lead to a
// device. The verifier's IRP rules are checked here.
#include "internal.h"

#include <sim/pool.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

IoState& Io() { return St().io; }

std::u16string FromCounted(PCUNICODE_STRING s) {
    if (!s || !s->Buffer) return {};
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

const char* MajorName(UCHAR major) {
    static const char* const names[] = {
        "CREATE", "CREATE_NAMED_PIPE", "CLOSE", "READ", "WRITE", "QUERY_INFORMATION",
        "SET_INFORMATION", "QUERY_EA", "SET_EA", "FLUSH_BUFFERS", "QUERY_VOLUME_INFORMATION",
        "SET_VOLUME_INFORMATION", "DIRECTORY_CONTROL", "FILE_SYSTEM_CONTROL", "DEVICE_CONTROL",
        "INTERNAL_DEVICE_CONTROL", "SHUTDOWN", "LOCK_CONTROL", "CLEANUP", "CREATE_MAILSLOT",
        "QUERY_SECURITY", "SET_SECURITY", "POWER", "SYSTEM_CONTROL", "DEVICE_CHANGE",
        "QUERY_QUOTA", "SET_QUOTA", "PNP"};
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "?";
}

std::string Describe(PIRP irp) {
    std::string s = "IRP " + Hex(irp);
    if (irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
        s += std::string(" (IRP_MJ_") + MajorName(IoGetCurrentIrpStackLocation(irp)->MajorFunction) + ")";
    }
    return s;
}

PIO_STACK_LOCATION Location(PIRP irp, int index) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (index - 1);
}

bool MarkedPending(PIRP irp, int index) {
    return (Location(irp, index)->Control & SL_PENDING_RETURNED) != 0;
}

// Marked pending by the driver at `index`, whether the location is still live
// or completion has already cleared it.
bool WasMarkedPending(PIRP irp, const IrpRecord& rec, int index) {
    return MarkedPending(irp, index) || rec.pendingMarks[static_cast<size_t>(index)];
}

// Windows leaves whatever the last user of a stack location wrote in it. A
// driver that passes an IRP on without setting up the next location hands the
// lower driver those leftovers; the simulator makes them unmistakable.
void FillUnsetLocation(PIO_STACK_LOCATION sp) {
    sp->MajorFunction = kUnsetLocationFill;
    sp->MinorFunction = kUnsetLocationFill;
    sp->Flags = kUnsetLocationFill;
    std::memset(&sp->Parameters, kUnsetLocationFill, sizeof sp->Parameters);
    std::memset(&sp->FileObject, kUnsetLocationFill, sizeof sp->FileObject);
}

// What completion leaves of a stack location it moves past: the minor
// function, flags, control bits, the first three parameter words and the file
// object are cleared; the major function, the device object and the
// completion routine stay. A completion routine reading "its" parameters from
// the lower location finds zeroes, as it does on Windows.
void ClearLeftLocation(PIO_STACK_LOCATION sp) {
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control = 0;
    sp->Parameters.Others.Argument1 = nullptr;
    sp->Parameters.Others.Argument2 = nullptr;
    sp->Parameters.Others.Argument3 = nullptr;
    sp->FileObject = nullptr;
}

// The code the current thread runs, as far as the I/O manager called it.
class CodeFrameGuard {
public:
    explicit CodeFrameGuard(PDRIVER_OBJECT driver) : frames_(Io().frames[CurrentThread()]) {
        frames_.push_back({driver, CurrentIrql()});
    }
    ~CodeFrameGuard() { frames_.pop_back(); }
    CodeFrameGuard(const CodeFrameGuard&) = delete;
    CodeFrameGuard& operator=(const CodeFrameGuard&) = delete;

private:
    std::vector<CodeFrame>& frames_;
};

PDRIVER_OBJECT DriverOf(PDEVICE_OBJECT device) { return device ? device->DriverObject : nullptr; }

std::string StatusText(NTSTATUS status) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
    return buf;
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS NTAPI SimDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* driver = reinterpret_cast<SimDriverRecord*>(device->DriverObject->DriverSection);
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (driver && driver->dispatch[major]) return driver->dispatch[major](device, irp);
    return InvalidDeviceRequest(device, irp);
}

void ReleaseMemory(PIRP irp, IrpRecord& rec) {
    if (!rec.snapshot.empty() &&
        std::memcmp(rec.snapshot.data(), irp, rec.snapshot.size()) != 0) {
        Verifier::Violation(Rule::IrpTouchedAfterCompletion,
                            Describe(irp) + " was written after it had been completed");
    }
    if (rec.systemBuffer) std::free(rec.systemBuffer);
    if (rec.userBuffer) std::free(rec.userBuffer);
    if (rec.userInput) std::free(rec.userInput);
    if (rec.mdl) std::free(rec.mdl);
    ForgetStackObjects(irp);
    Io().irps.erase(irp);
    std::free(irp);
}

// The IRP's owner is done with it (completed to the top, or freed by the driver
// that allocated it): release the memory now, or when the last dispatch routine
// that still has it on its stack returns.
void Retire(PIRP irp, IrpRecord& rec) {
    if (rec.activeCalls > 0) {
        rec.snapshot.assign(reinterpret_cast<uint8_t*>(irp),
                            reinterpret_cast<uint8_t*>(irp) + IoSizeOfIrp(irp->StackCount));
        return;
    }
    ReleaseMemory(irp, rec);
}

void CheckPendingObligations(PIRP irp, IrpRecord& rec) {
    for (int i = 1; i <= irp->StackCount; ++i) {
        if (rec.returnedPending[static_cast<size_t>(i)] && !WasMarkedPending(irp, rec, i) &&
            !rec.powerHeldMarks[static_cast<size_t>(i)]) {
            PDEVICE_OBJECT dev = Location(irp, i)->DeviceObject;
            Verifier::Violation(Rule::PendingNotMarked,
                                "a dispatch routine of device " + Hex(dev) + " returned STATUS_PENDING for " +
                                    Describe(irp) + " without IoMarkIrpPending");
            rec.returnedPending[static_cast<size_t>(i)] = false;
        }
    }
}

void FinishAtTop(PIRP irp, IrpRecord& rec, CCHAR boost) {
    rec.state = IrpState::Completed;
    CheckPendingObligations(irp, rec);
    const NTSTATUS status = irp->IoStatus.Status;
    if (rec.power) CheckPowerIrpFinished(irp, rec, status);
    const bool copyBack = (rec.buffered || rec.userOutputCopied) && !NT_ERROR(status);
    if (copyBack && irp->IoStatus.Information > rec.outputLength) {
        if (Verifier::Violation(Rule::IrpInformationTooLarge,
                                Describe(irp) + " completed with Information " +
                                    std::to_string(irp->IoStatus.Information) + " but the caller's output buffer holds " +
                                    std::to_string(rec.outputLength) + " bytes"))
            irp->IoStatus.Information = rec.outputLength;
    }
    switch (rec.origin) {
        case IrpOrigin::Test: {
            auto& r = *rec.result;
            r.completed = true;
            r.status = status;
            r.information = irp->IoStatus.Information;
            r.boost = boost;
            r.pendingReturned = irp->PendingReturned;
            r.irp = nullptr;
            void* source = rec.buffered ? rec.systemBuffer : rec.userBuffer;
            if (copyBack && source) {
                auto* b = static_cast<uint8_t*>(source);
                r.output.assign(b, b + std::min<ULONG_PTR>(irp->IoStatus.Information, rec.outputLength));
            }
            break;
        }
        case IrpOrigin::Built:
            // A request built for a caller that waits is reported back only where
            // the caller looks: an error completed before IoCallDriver returned
            // (no pending mark reached the top) reaches the caller as IoCallDriver's
            // answer alone; the event is not set and the status block not written.
            if (NT_ERROR(status) && !irp->PendingReturned) break;
        {
            // A status block or event in a frame that has returned is not written:
            // the stack there belongs to someone else now.
            const bool iosbLives = CheckStackObject(irp, irp->UserIosb, "the I/O manager's copy of the final status");
            const bool eventLives =
                CheckStackObject(irp, irp->UserEvent, "the I/O manager's signal of the request's event");
            if (copyBack && rec.userOutput && rec.systemBuffer) {
                std::memcpy(rec.userOutput, rec.systemBuffer,
                            std::min<ULONG_PTR>(irp->IoStatus.Information, rec.outputLength));
            }
            if (irp->UserIosb && iosbLives) *irp->UserIosb = irp->IoStatus;
            if (irp->UserEvent && eventLives) KeSetEvent(irp->UserEvent, 0, FALSE);
            break;
        }
        case IrpOrigin::System:
            // The managers wait on their own requests whatever the outcome.
            if (rec.systemResult) {
                rec.systemResult->iosb = irp->IoStatus;
                rec.systemResult->reached = rec.reached;
            }
            if (irp->UserEvent) KeSetEvent(irp->UserEvent, 0, FALSE);
            break;
        case IrpOrigin::Power:
            if (rec.onComplete) rec.onComplete(irp);
            break;
        case IrpOrigin::File:
            // What the issuing thread does on Windows; a close the request's
            // completion lets go comes later, from a system thread.
            FinishFileRequest(irp, rec, status, copyBack);
            break;
        case IrpOrigin::Allocated:
            Verifier::Violation(Rule::BadParameter,
                                Describe(irp) + ", allocated with IoAllocateIrp, completed past its last "
                                                "stack location: its completion routine must return "
                                                "STATUS_MORE_PROCESSING_REQUIRED and free it");
            return;
    }
    Retire(irp, rec);
}

PDEVICE_OBJECT NewDeviceObject(PDRIVER_OBJECT driver, ULONG extensionSize) {
    size_t size = sizeof(DEVICE_OBJECT) + extensionSize;
    auto* dev = static_cast<PDEVICE_OBJECT>(std::calloc(1, size));
    dev->Type = IO_TYPE_DEVICE;
    dev->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + (extensionSize & 0xFFFF));
    dev->ReferenceCount = 0;
    dev->DriverObject = driver;
    dev->DeviceExtension = extensionSize ? reinterpret_cast<PVOID>(dev + 1) : nullptr;
    dev->StackSize = 1;
    dev->Flags = DO_DEVICE_INITIALIZING;
    dev->NextDevice = driver->DeviceObject;
    driver->DeviceObject = dev;
    KeInitializeEvent(&dev->DeviceLock, SynchronizationEvent, TRUE);
    Io().devices.insert(dev);
    LockClassesChanged();  // the locks inside its extension are of new classes
    return dev;
}

void UnlinkDevice(PDEVICE_OBJECT dev) {
    auto& io = Io();
    PDEVICE_OBJECT* link = &dev->DriverObject->DeviceObject;
    while (*link && *link != dev) link = &(*link)->NextDevice;
    if (*link) *link = dev->NextDevice;
    for (auto it = io.deviceNames.begin(); it != io.deviceNames.end();) {
        it = it->second == dev ? io.deviceNames.erase(it) : std::next(it);
    }
    io.devices.erase(dev);
    LockClassesChanged();
}

// Files still open on a device being deleted keep the object: its name goes
// now (nothing new can open it), its memory when the last of them has had its
// IRP_MJ_CLOSE — Windows marks such a device delete-pending.
void DeferDeletion(PDEVICE_OBJECT dev) {
    auto& io = Io();
    for (auto it = io.deviceNames.begin(); it != io.deviceNames.end();) {
        it = it->second == dev ? io.deviceNames.erase(it) : std::next(it);
    }
    io.deletePending.insert(dev);
}

size_t DeviceExtensionSize(PDEVICE_OBJECT dev) {
    return dev->DeviceExtension ? dev->Size - sizeof(DEVICE_OBJECT) : 0;
}

}  // namespace

// Buffers the I/O manager allocates for a caller are not cleared: the part the
// driver does not write keeps this pattern, so an Information count beyond what
// the driver wrote shows up in what the caller reads back.
void* NewCallerBuffer(ULONG length, const uint8_t* data, ULONG dataLength) {
    void* p = std::malloc(length ? length : 1);
    std::memset(p, kUnwrittenFill, length ? length : 1);
    if (data && dataLength) std::memcpy(p, data, std::min(length, dataLength));
    return p;
}

// An MDL over memory the I/O manager has locked for the request.
PMDL NewLockedMdl(void* va, ULONG length) {
    auto* mdl = static_cast<PMDL>(std::calloc(1, sizeof(MDL)));
    mdl->Size = static_cast<CSHORT>(sizeof(MDL));
    mdl->MdlFlags = MDL_PAGES_LOCKED;
    mdl->StartVa = va;
    mdl->ByteCount = length;
    return mdl;
}

PIRP AllocateIrpRecord(CCHAR stackSize, IrpOrigin origin) {
    auto* irp = static_cast<PIRP>(std::calloc(1, IoSizeOfIrp(stackSize)));
    IoInitializeIrp(irp, IoSizeOfIrp(stackSize), stackSize);
    IrpRecord rec;
    rec.origin = origin;
    rec.serial = Io().nextIrpSerial++;
    Io().irps.emplace(irp, std::move(rec));
    return irp;
}

SystemIrpResult SendSystemIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, NTSTATUS initialStatus,
                              ULONG_PTR initialInformation, const std::function<void(IO_STACK_LOCATION&)>& fill) {
    PDEVICE_OBJECT top = TopOfStack(device);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    SystemIrpResult result{STATUS_PENDING, {}, {}};
    PIRP irp = AllocateIrpRecord(top->StackSize, IrpOrigin::System);
    FindIrp(irp)->systemResult = &result;
    irp->UserEvent = &event;
    irp->RequestorMode = KernelMode;
    irp->IoStatus.Status = initialStatus;
    irp->IoStatus.Information = initialInformation;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->MinorFunction = minor;
    if (fill) fill(*sp);
    result.returned = IoCallDriver(top, irp);
    // Completed at once or later, the event tells; one never completed is a hang
    // the scheduler reports.
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return result;
}

IrpRecord* FindIrp(PIRP irp) {
    auto& irps = Io().irps;
    auto it = irps.find(irp);
    return it == irps.end() ? nullptr : &it->second;
}

void CheckIoAtTeardown() {
    auto& io = Io();
    for (auto& [irp, rec] : io.irps) {
        if (rec.state == IrpState::Active) {
            Verifier::Violation(Rule::IrpLeaked, Describe(irp) + (rec.file ? " " + DescribeFileOf(irp, rec) : std::string()) +
                                                     " was neither completed nor freed");
        }
    }
    if (!io.mdls.empty()) {
        Verifier::Violation(Rule::PoolLeak, std::to_string(io.mdls.size()) +
                                                " MDL(s) allocated with IoAllocateMdl and never freed");
    }
}

PDRIVER_OBJECT RunningDriver() {
    auto& io = Io();
    auto it = io.frames.find(CurrentThread());
    if (it == io.frames.end() || it->second.empty()) return nullptr;
    const CodeFrame& frame = it->second.back();
    return frame.irql == CurrentIrql() ? frame.driver : nullptr;
}

void ReleaseIoObjects() {
    auto& io = Io();
    for (auto& [irp, rec] : io.irps) {
        if (rec.systemBuffer) std::free(rec.systemBuffer);
        if (rec.userBuffer) std::free(rec.userBuffer);
        if (rec.userInput) std::free(rec.userInput);
        if (rec.mdl) std::free(rec.mdl);
        std::free(irp);
    }
    io.irps.clear();
    ReleaseFileObjects();
    for (PMDL mdl : io.mdls) std::free(mdl);
    io.mdls.clear();
    io.frames.clear();
    for (PDEVICE_OBJECT dev : io.devices) std::free(dev);
    io.devices.clear();
    for (PDRIVER_OBJECT driver : io.drivers) {
        delete driver->DriverExtension;
        delete[] driver->DriverName.Buffer;
        delete driver;
    }
    io.drivers.clear();
    io.simDrivers.clear();
}

// ---------------------------------------------------------------------------
// Host API

IrpHandle SendIrp(PDEVICE_OBJECT device, const IrpSetup& request) {
    auto result = std::make_shared<IrpResult>();
    // A device still initializing cannot be opened: the open fails before any
    // driver sees it.
    if (request.major == IRP_MJ_CREATE && (device->Flags & DO_DEVICE_INITIALIZING)) {
        result->returned = STATUS_NO_SUCH_DEVICE;
        result->completed = true;
        result->status = STATUS_NO_SUCH_DEVICE;
        return result;
    }
    PIRP irp = AllocateIrpRecord(device->StackSize, IrpOrigin::Test);
    IrpRecord& rec = *FindIrp(irp);
    rec.result = result;
    const ULONG inLength = static_cast<ULONG>(request.input.size());
    const ULONG outLength = request.outputLength;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = request.fileObject;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = request.major;
    sp->MinorFunction = request.minor;
    sp->FileObject = request.fileObject;
    const bool control = request.major == IRP_MJ_DEVICE_CONTROL || request.major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    if (control) {
        sp->Parameters.DeviceIoControl.InputBufferLength = inLength;
        sp->Parameters.DeviceIoControl.OutputBufferLength = outLength;
    }
    if (request.major == IRP_MJ_READ) sp->Parameters.Read.Length = outLength;
    if (request.major == IRP_MJ_WRITE) sp->Parameters.Write.Length = inLength;
    if (request.parameters) request.parameters(*sp);

    // How the caller's buffers reach the driver: reads and writes as the device
    // object asks (DO_BUFFERED_IO, DO_DIRECT_IO, or neither), device controls
    // as their code's method says, everything else through a system buffer.
    const uint8_t* input = request.input.empty() ? nullptr : request.input.data();
    const bool transfer = request.major == IRP_MJ_READ || request.major == IRP_MJ_WRITE;
    const bool reading = request.major == IRP_MJ_READ;
    ULONG method = METHOD_BUFFERED;
    if (transfer) {
        method = (device->Flags & DO_BUFFERED_IO) ? METHOD_BUFFERED
                 : (device->Flags & DO_DIRECT_IO) ? METHOD_OUT_DIRECT
                                                  : METHOD_NEITHER;
    } else if (control) {
        method = sp->Parameters.DeviceIoControl.IoControlCode & 3;
    }
    rec.outputLength = outLength;
    if (method == METHOD_BUFFERED) {
        const ULONG bufferLength = transfer ? (reading ? outLength : inLength) : std::max(inLength, outLength);
        if (bufferLength) rec.systemBuffer = NewCallerBuffer(bufferLength, input, inLength);
        irp->AssociatedIrp.SystemBuffer = rec.systemBuffer;
        // Information counts bytes of the caller's buffer only where the I/O
        // manager copies data back: buffered device controls and reads.
        rec.buffered = reading || control;
    } else if (transfer) {
        // The caller's own memory: locked and described by an MDL for direct
        // I/O, handed over as it is otherwise.
        const ULONG length = reading ? outLength : inLength;
        rec.userBuffer = NewCallerBuffer(length, reading ? nullptr : input, inLength);
        rec.userOutputCopied = reading;
        if (method == METHOD_OUT_DIRECT) {
            rec.mdl = NewLockedMdl(rec.userBuffer, length);
            irp->MdlAddress = rec.mdl;
        } else {
            irp->UserBuffer = rec.userBuffer;
        }
    } else if (method == METHOD_NEITHER) {
        // The caller's addresses as they are (a request without buffers keeps
        // whatever its parameters put there, an internal request's arguments).
        if (inLength) {
            rec.userInput = NewCallerBuffer(inLength, input, inLength);
            sp->Parameters.DeviceIoControl.Type3InputBuffer = rec.userInput;
        }
        if (outLength) {
            rec.userBuffer = NewCallerBuffer(outLength, nullptr, 0);
            irp->UserBuffer = rec.userBuffer;
            rec.userOutputCopied = true;
        }
    } else {
        // METHOD_IN_DIRECT / METHOD_OUT_DIRECT: the input in a system buffer, the
        // output buffer locked and described by an MDL.
        if (inLength) rec.systemBuffer = NewCallerBuffer(inLength, input, inLength);
        irp->AssociatedIrp.SystemBuffer = rec.systemBuffer;
        if (outLength) {
            rec.userBuffer = NewCallerBuffer(outLength, nullptr, 0);
            rec.mdl = NewLockedMdl(rec.userBuffer, outLength);
            irp->MdlAddress = rec.mdl;
            rec.userOutputCopied = true;
        }
    }
    result->irp = irp;
    result->returned = IofCallDriver(device, irp);
    return result;
}

IrpHandle DeviceIoControl(PDEVICE_OBJECT device, ULONG code, std::vector<uint8_t> input,
                          ULONG outputLength, bool internal) {
    IrpSetup request;
    request.major = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    request.input = std::move(input);
    request.outputLength = outputLength;
    request.parameters = [code](IO_STACK_LOCATION& sp) { sp.Parameters.DeviceIoControl.IoControlCode = code; };
    return SendIrp(device, request);
}

bool CancelIrp(const IrpHandle& handle) {
    if (handle->completed || !handle->irp) return false;
    return IoCancelIrp(handle->irp) != FALSE;
}

std::u16string ServiceKeyPath(const std::u16string& service) {
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
}

PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const std::u16string& service, NTSTATUS* status) {
    auto* driver = new DRIVER_OBJECT{};
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = new DRIVER_EXTENSION{};
    driver->DriverExtension->DriverObject = driver;
    std::u16string name = u"\\Driver\\" + service;
    driver->DriverName.Buffer = new WCHAR[name.size() + 1];
    std::copy(name.begin(), name.end(), driver->DriverName.Buffer);
    driver->DriverName.Buffer[name.size()] = 0;
    driver->DriverName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = static_cast<USHORT>(driver->DriverName.Length + sizeof(WCHAR));
    driver->DriverInit = entry;
    for (auto& fn : driver->MajorFunction) fn = InvalidDeviceRequest;
    Io().drivers.insert(driver);

    // The registry path lives in the I/O manager's memory only during the call,
    // as on Windows: a driver that keeps the pointer instead of a copy is caught.
    std::u16string path = ServiceKeyPath(service);
    std::vector<WCHAR> pathBuffer(path.begin(), path.end());
    pathBuffer.push_back(0);
    UNICODE_STRING registryPath;
    registryPath.Buffer = pathBuffer.data();
    registryPath.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
    registryPath.MaximumLength = static_cast<USHORT>(registryPath.Length + sizeof(WCHAR));

    KIRQL before = CurrentIrql();
    NTSTATUS s;
    {
        DriverCall call(reinterpret_cast<const void*>(entry));
        s = CallDriverRoutine(entry, driver, &registryPath);
    }
    std::fill(pathBuffer.begin(), pathBuffer.end(), u'#');
    if (CurrentIrql() != before) {
        Verifier::Violation(Rule::IrqlNotRestored, "DriverEntry returned at a different IRQL");
    }
    if (status) *status = s;
    if (NT_SUCCESS(s)) {
        // Devices made in DriverEntry are ready when it returns; the I/O manager
        // clears their initializing flag itself. Devices made later are the
        // driver's to clear.
        for (PDEVICE_OBJECT dev = driver->DeviceObject; dev; dev = dev->NextDevice)
            dev->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    if (!NT_SUCCESS(s)) {
        Io().drivers.erase(driver);
        delete driver->DriverExtension;
        delete[] driver->DriverName.Buffer;
        delete driver;
        return nullptr;
    }
    return driver;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
    if (driver->DeviceObject) {
        Verifier::Violation(Rule::BadParameter, "driver unloaded while it still has device objects");
    }
    if (driver->DriverUnload) {
        DriverCall call(reinterpret_cast<const void*>(driver->DriverUnload));
        CallDriverRoutine(driver->DriverUnload, driver);
    }
    CheckNoPoolLeft("when the driver unloaded");
    if (St().sectionLocks != 0) {
        Verifier::Violation(Rule::SectionLockPairing,
                            "driver unloaded with " + std::to_string(St().sectionLocks) + " paged-section lock(s) held");
    }
    Io().drivers.erase(driver);
    delete driver->DriverExtension;
    delete[] driver->DriverName.Buffer;
    delete driver;
}

SimDriver* CreateSimDriver(const std::string& name) {
    MarkSimulatorRoutine(reinterpret_cast<const void*>(&SimDispatch));
    MarkSimulatorRoutine(reinterpret_cast<const void*>(&InvalidDeviceRequest));
    auto rec = std::make_unique<SimDriverRecord>();
    rec->name = name;
    rec->object.Type = IO_TYPE_DRIVER;
    rec->object.Size = sizeof(DRIVER_OBJECT);
    rec->object.DriverExtension = &rec->extension;
    rec->object.DriverSection = rec.get();
    for (auto& fn : rec->object.MajorFunction) fn = SimDispatch;
    auto* raw = rec.get();
    Io().simDrivers.push_back(std::move(rec));
    return reinterpret_cast<SimDriver*>(raw);
}

void SetSimDispatch(SimDriver* driver, UCHAR major, std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> dispatch) {
    reinterpret_cast<SimDriverRecord*>(driver)->dispatch[major] = std::move(dispatch);
}

PDRIVER_OBJECT DriverObjectOf(SimDriver* driver) { return &reinterpret_cast<SimDriverRecord*>(driver)->object; }

PDEVICE_OBJECT CreateSimDevice(SimDriver* driver, const std::u16string& name, ULONG extensionSize) {
    PDEVICE_OBJECT dev = NewDeviceObject(DriverObjectOf(driver), extensionSize);
    if (!name.empty()) Io().deviceNames[CanonicalObjectName(name)] = dev;
    dev->Flags &= ~DO_DEVICE_INITIALIZING;
    return dev;
}

void DeleteSimDevice(PDEVICE_OBJECT device) {
    ForgetDevicePower(device);
    // The simulator's own devices leave no stack pointing at freed memory.
    for (PDEVICE_OBJECT other : Io().devices) {
        if (other->AttachedDevice == device) other->AttachedDevice = nullptr;
    }
    if (OpenFileCount(device) > 0) {
        DeferDeletion(device);
        return;
    }
    FreeDeviceObject(device);
}

bool DeviceDeletePending(PDEVICE_OBJECT device) { return Io().deletePending.count(device) != 0; }

void FreeDeviceObject(PDEVICE_OBJECT device) {
    Io().deletePending.erase(device);
    UnlinkDevice(device);
    std::free(device);
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    while (device->AttachedDevice) device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT LookupDevice(const std::u16string& name) {
    auto& io = Io();
    std::u16string key = CanonicalObjectName(name);
    for (int hops = 0; hops < 8; ++hops) {
        auto dev = io.deviceNames.find(key);
        if (dev != io.deviceNames.end()) return dev->second;
        auto link = io.symbolicLinks.find(key);
        if (link == io.symbolicLinks.end()) return nullptr;
        key = CanonicalObjectName(link->second);
    }
    return nullptr;
}

std::vector<std::pair<std::u16string, std::u16string>> SymbolicLinks() {
    std::vector<std::pair<std::u16string, std::u16string>> out;
    for (auto& [key, target] : Io().symbolicLinks) out.emplace_back(Io().linkSpelling[key], target);
    return out;
}

size_t OutstandingIrps() {
    size_t n = 0;
    for (auto& [irp, rec] : Io().irps) {
        if (rec.state == IrpState::Active) ++n;
    }
    return n;
}

void DeclareLockOrder(const std::vector<std::pair<PKSPIN_LOCK, std::string>>& order) {
    auto& st = St();
    st.lockOrder.clear();
    st.lockNames.clear();
    LockClassesChanged();
    for (auto& [lock, name] : order) {
        st.lockOrder.push_back(lock);
        st.lockNames.push_back(name);
    }
}

PKSPIN_LOCK CancelSpinLock() { return &Io().cancelLock; }

void DeclareExtensionLockOrder(PDRIVER_OBJECT driver, const std::vector<std::pair<size_t, std::string>>& order) {
    St().lockOrderDriver = driver;
    St().extensionLockOrder = order;
    LockClassesChanged();
}

bool DriverLoaded(PDRIVER_OBJECT driver) { return driver && Io().drivers.count(driver) != 0; }

void NameRoutine(const void* routine, std::string name) { St().routineNames[routine] = std::move(name); }

uint64_t DeviceCreations() { return Io().deviceCreations; }

void FailNthDeviceCreation(int n, NTSTATUS status) {
    Io().failNthDeviceCreation = n;
    Io().deviceCreationFailure = status;
}

}  // namespace sim

using namespace sim;

extern "C" {

// ---------------------------------------------------------------------------
// IRPs

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) { SIM_DDI();
    std::memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
    InitializeListHead(&Irp->ThreadListEntry);
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) { SIM_DDI();
    if (!RequireIrql("IoAllocateIrp", DISPATCH_LEVEL)) return nullptr;
    if (AllocationFails(__builtin_return_address(0))) return nullptr;
    return AllocateIrpRecord(StackSize, IrpOrigin::Allocated);
}

VOID NTAPI IoFreeIrp(PIRP Irp) { SIM_DDI();
    if (!RequireIrql("IoFreeIrp", DISPATCH_LEVEL)) return;
    IrpRecord* rec = FindIrp(Irp);
    if (!rec || rec->state == IrpState::Freed) {
        Verifier::Violation(Rule::IrpTouchedAfterCompletion, "IoFreeIrp on " + Hex(Irp) + ", which is not a live IRP");
        return;
    }
    if (rec->origin != IrpOrigin::Allocated) {
        if (Verifier::Violation(Rule::BadParameter,
                                "IoFreeIrp on " + Describe(Irp) + ", which the I/O manager owns"))
            return;
    }
    if (Irp->CancelRoutine) {
        if (Verifier::Violation(Rule::IrpCompletedWithCancelRoutine,
                                "IoFreeIrp on " + Describe(Irp) + " with a cancel routine still set"))
            return;
    }
    // Only the allocator frees an IRP, and only once it is back in its hands:
    // a lower driver that still holds it would complete freed memory.
    for (int i = 1; i <= Irp->StackCount; ++i) {
        if (!rec->held[static_cast<size_t>(i)]) continue;
        if (Verifier::Violation(Rule::IrpFreedWhileHeld,
                                "IoFreeIrp on " + Describe(Irp) + " while device " +
                                    Hex(Location(Irp, i)->DeviceObject) + " still holds it (not completed yet)"))
            return;
        break;
    }
    CheckPendingObligations(Irp, *rec);
    if (rec->power) CheckPowerIrpFinished(Irp, *rec, Irp->IoStatus.Status);
    rec->state = IrpState::Freed;
    Retire(Irp, *rec);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) { SIM_DDI();
    IrpRecord* rec = FindIrp(Irp);
    if (!rec || rec->state != IrpState::Active) {
        Verifier::Violation(Rule::IrpTouchedAfterCompletion, "IoReuseIrp on a dead IRP");
        return;
    }
    UCHAR flags = Irp->AllocationFlags;
    ForgetStackObjects(Irp);
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = flags;
    Irp->IoStatus.Status = Iostatus;
    rec->returnedPending.reset();
    rec->pendingMarks.reset();
    rec->held.reset();
    rec->powerHeldMarks.reset();
    rec->reached.clear();
    rec->power = false;
    rec->powerReceivers.clear();
    rec->powerReleased.clear();
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { SIM_DDI();
    if (!RequireIrql("IoCallDriver", DISPATCH_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
    IrpRecord* rec = FindIrp(Irp);
    if (!rec || rec->state != IrpState::Active) {
        Verifier::Violation(Rule::IrpTouchedAfterCompletion,
                            "IoCallDriver with " + Hex(Irp) + ", which has already been completed or freed");
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (!Io().devices.count(DeviceObject)) {
        Verifier::Violation(Rule::BadParameter, "IoCallDriver to " + Hex(DeviceObject) + ", which is not a device object");
        return STATUS_INVALID_DEVICE_STATE;
    }
    // The driver that sends the request on: the last device it reached.
    PDEVICE_OBJECT sender = rec->reached.empty() ? nullptr : rec->reached.back();
    const bool deferred = rec->deferredDelivery;
    rec->deferredDelivery = false;
    // A request going down with a cancel routine set can be cancelled by the
    // sender's routine while the lower driver owns it.
    if (Irp->CancelRoutine && !deferred) {
        Verifier::Violation(Rule::IrpPassedDownWithCancelRoutine,
                            Describe(Irp) + " passed to device " + Hex(DeviceObject) + " with its cancel routine " +
                                RoutineName((const void*)Irp->CancelRoutine) + " still set");
    }
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0) {
        Verifier::Violation(Rule::NoMoreStackLocations,
                            Describe(Irp) + " passed to device " + Hex(DeviceObject) + " with no stack location left");
        std::abort();
    }
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
    if (sp->MajorFunction == kUnsetLocationFill) {
        if (Verifier::Violation(Rule::NextLocationNotSet,
                                "device " + Hex(sender) + " passed IRP " + Hex(Irp) + " to device " +
                                    Hex(DeviceObject) +
                                    " without setting up the next stack location (copy, skip or fill it first)")) {
            Irp->CurrentLocation++;
            Irp->Tail.Overlay.CurrentStackLocation++;
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    if (sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == kUnhandledPnpMinor &&
        Irp->IoStatus.Status != STATUS_NOT_SUPPORTED && !rec->unhandledStatusReported) {
        rec->unhandledStatusReported = true;
        Verifier::Violation(Rule::UnhandledPnpStatusChanged,
                            "device " + Hex(sender) + " passed on a Plug and Play IRP it does not handle (minor " +
                                std::to_string(sp->MinorFunction) + ") with its status changed to " +
                                StatusText(Irp->IoStatus.Status));
    }
    sp->DeviceObject = DeviceObject;
    const int index = Irp->CurrentLocation;
    rec->reached.push_back(DeviceObject);
    rec->held[static_cast<size_t>(index)] = true;
    rec->pendingMarks[static_cast<size_t>(index)] = false;
    if (sp->MajorFunction == IRP_MJ_POWER) NotePowerIrpDelivered(Irp, *rec, DeviceObject);
    // The next location holds whatever it held before; the driver must set it up
    // before it passes the request on.
    if (index > 1) FillUnsetLocation(Location(Irp, index - 1));
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[sp->MajorFunction];

    KIRQL irql = CurrentIrql();
    size_t locks = CurrentThread()->heldLocks.size();
    rec->activeCalls++;
    NTSTATUS status;
    {
        DriverCall call(reinterpret_cast<const void*>(dispatch));
        CodeFrameGuard frame(DeviceObject->DriverObject);
        status = CallDriverRoutine(dispatch, DeviceObject, Irp);
    }
    rec = FindIrp(Irp);  // the map may have grown meanwhile
    rec->activeCalls--;

    if (CurrentIrql() != irql) {
        Verifier::Violation(Rule::IrqlNotRestored, "dispatch routine for " + std::string(MajorName(sp->MajorFunction)) +
                                                       " returned at IRQL " + std::to_string(CurrentIrql()) +
                                                       ", entered at " + std::to_string(irql));
        SetIrql(irql);
    }
    if (CurrentThread()->heldLocks.size() != locks) {
        Verifier::Violation(Rule::SpinLockHeldOnReturn,
                            "dispatch routine for " + std::string(MajorName(sp->MajorFunction)) + " returned holding a spin lock");
    }
    if (status == STATUS_PENDING) {
        if (rec->state == IrpState::Active) {
            rec->returnedPending[static_cast<size_t>(index)] = true;
        } else if (!WasMarkedPending(Irp, *rec, index) && !rec->powerHeldMarks[static_cast<size_t>(index)]) {
            Verifier::Violation(Rule::PendingNotMarked, "dispatch routine of device " + Hex(DeviceObject) +
                                                            " returned STATUS_PENDING for " + Describe(Irp) +
                                                            " without IoMarkIrpPending");
        }
    } else if (WasMarkedPending(Irp, *rec, index)) {
        Verifier::Violation(Rule::MarkedPendingNotReturned,
                            "dispatch routine of device " + Hex(DeviceObject) + " marked " + Describe(Irp) +
                                " pending but returned status " + Hex(reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<ULONG>(status)))));
    }
    if (rec->state != IrpState::Active && rec->activeCalls == 0) ReleaseMemory(Irp, *rec);
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) { SIM_DDI();
    IrpRecord* rec = FindIrp(Irp);
    if (!rec) {
        Verifier::Violation(Rule::IrpTouchedAfterCompletion, "IoCompleteRequest on " + Hex(Irp) + ", which is not a live IRP");
        return;
    }
    if (rec->state != IrpState::Active) {
        if (Verifier::Violation(rec->state == IrpState::Completed ? Rule::IrpCompletedTwice
                                                                   : Rule::IrpTouchedAfterCompletion,
                                Describe(Irp) + " completed a second time"))
            return;
    }
    if (!RequireIrql("IoCompleteRequest", DISPATCH_LEVEL)) return;
    if (Irp->CancelRoutine) {
        if (Verifier::Violation(Rule::IrpCompletedWithCancelRoutine,
                                Describe(Irp) + " completed with its cancel routine " +
                                    RoutineName((const void*)Irp->CancelRoutine) + " still set"))
            return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        if (Verifier::Violation(Rule::IrpCompletedWithStatusPending, Describe(Irp) + " completed with STATUS_PENDING"))
            return;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        Verifier::Violation(Rule::BadParameter, "IoCompleteRequest on " + Describe(Irp) + ", which no driver holds");
        return;
    }
    {
        // Only the driver whose stack location is current may complete: one
        // that has passed the request on has given it away.
        PDEVICE_OBJECT holder = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
        PDRIVER_OBJECT running = RunningDriver();
        if (running && holder && running != holder->DriverObject) {
            if (Verifier::Violation(Rule::IrpCompletedByNonOwner,
                                    "a routine of driver " + Hex(running) + " completed " + Describe(Irp) +
                                        ", which device " + Hex(holder) + " of another driver holds"))
                return;
        }
        PIO_STACK_LOCATION cur = IoGetCurrentIrpStackLocation(Irp);
        if (cur->MajorFunction == IRP_MJ_PNP && cur->MinorFunction == kUnhandledPnpMinor &&
            Irp->IoStatus.Status != STATUS_NOT_SUPPORTED && !rec->unhandledStatusReported) {
            rec->unhandledStatusReported = true;
            Verifier::Violation(Rule::UnhandledPnpStatusChanged,
                                "device " + Hex(holder) + " completed a Plug and Play IRP nobody handles (minor " +
                                    std::to_string(cur->MinorFunction) + ") with its status changed to " +
                                    StatusText(Irp->IoStatus.Status));
        }
    }
    if (rec->power) CheckPowerIrpCompleter(Irp, *rec);
    for (;;) {
        PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
        const auto left = static_cast<size_t>(Irp->CurrentLocation);
        const bool marked = (sp->Control & SL_PENDING_RETURNED) != 0;
        Irp->PendingReturned = marked || rec->powerHeldMarks[left];
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        UCHAR control = sp->Control;
        rec->pendingMarks[left] = marked;
        rec->held[left] = false;
        ClearLeftLocation(sp);
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        const NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT dev = Irp->CurrentLocation <= Irp->StackCount
                                     ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                     : nullptr;
            KIRQL irql = CurrentIrql();
            CheckStackObject(Irp, context, "its completion routine");
            NTSTATUS answer;
            {
                DriverCall call(reinterpret_cast<const void*>(routine));
                // The routine belongs to the driver of the location above; one
                // without a location of its own (an IRP it allocated) is unknown.
                CodeFrameGuard frame(DriverOf(dev));
                answer = CallDriverRoutine(routine, dev, Irp, context);
            }
            if (CurrentIrql() != irql) {
                Verifier::Violation(Rule::IrqlNotRestored, "completion routine " + RoutineName((const void*)routine) +
                                                               " returned at a different IRQL");
                SetIrql(irql);
            }
            // The routine may have freed or reused the IRP: look again.
            rec = FindIrp(Irp);
            if (answer == STATUS_MORE_PROCESSING_REQUIRED) return;
            if (!rec || rec->state != IrpState::Active) {
                Verifier::Violation(Rule::IrpTouchedAfterCompletion,
                                    "completion routine " + RoutineName((const void*)routine) +
                                        " freed or completed the IRP but did not return STATUS_MORE_PROCESSING_REQUIRED");
                return;
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
        if (Irp->CurrentLocation > Irp->StackCount) break;
    }
    FinishAtTop(Irp, *rec, PriorityBoost);
}

PDRIVER_CANCEL NTAPI IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) { SIM_DDI();
    IrpRecord* rec = FindIrp(Irp);
    if (!rec || rec->state != IrpState::Active) {
        Verifier::Violation(Rule::IrpTouchedAfterCompletion,
                            "IoSetCancelRoutine on " + Hex(Irp) + ", which has already been completed or freed");
        return nullptr;
    }
    return reinterpret_cast<PDRIVER_CANCEL>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine),
                                   reinterpret_cast<PVOID>(CancelRoutine)));
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { SIM_DDI(); KeAcquireSpinLock(&Io().cancelLock, Irql); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { SIM_DDI(); KeReleaseSpinLock(&Io().cancelLock, Irql); }

}  // extern "C"

namespace sim {
namespace {

// IoCancelIrp once the cancel spin lock is held: mark, take the routine, call it.
BOOLEAN CancelHoldingLock(PIRP Irp, KIRQL irql) {
    Irp->Cancel = TRUE;
    auto routine = reinterpret_cast<PDRIVER_CANCEL>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), nullptr));
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT dev = Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    {
        DriverCall call(reinterpret_cast<const void*>(routine));
        CodeFrameGuard frame(DriverOf(dev));
        CallDriverRoutine(routine, dev, Irp);
    }
    auto& held = CurrentThread()->heldLocks;
    if (std::any_of(held.begin(), held.end(), [](const HeldLock& h) { return h.lock == &Io().cancelLock; })) {
        Verifier::Violation(Rule::CancelLockNotReleased,
                            "cancel routine " + RoutineName((const void*)routine) + " returned without releasing the cancel spin lock");
    }
    return TRUE;
}

}  // namespace

bool CancelIrpIfLive(PIRP irp, uint64_t serial) {
    // The I/O manager's own code: nothing interleaves with it but the wait for
    // the cancel spin lock, after which the IRP is looked up again.
    AtomicSection atomic;
    if (!RequireIrql("IoCancelIrp", DISPATCH_LEVEL)) return false;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IrpRecord* rec = FindIrp(irp);
    if (!rec || rec->serial != serial || rec->state != IrpState::Active) {
        IoReleaseCancelSpinLock(irql);
        return false;
    }
    return CancelHoldingLock(irp, irql) != FALSE;
}

}  // namespace sim

extern "C" {

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) { SIM_DDI();
    if (!RequireIrql("IoCancelIrp", DISPATCH_LEVEL)) return FALSE;
    IrpRecord* rec = FindIrp(Irp);
    if (!rec || rec->state != IrpState::Active) {
        Verifier::Violation(Rule::IrpTouchedAfterCompletion,
                            "IoCancelIrp on " + Hex(Irp) + ", which has already been completed or freed");
        return FALSE;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    return CancelHoldingLock(Irp, irql);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) { SIM_DDI();
    if (!RequireIrql("IoBuildDeviceIoControlRequest", PASSIVE_LEVEL)) return nullptr;
    if (AllocationFails(__builtin_return_address(0))) return nullptr;
    PIRP irp = AllocateIrpRecord(DeviceObject->StackSize, IrpOrigin::Built);
    IrpRecord& rec = *FindIrp(irp);
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    NoteStackObject(irp, IoStatusBlock, "the status block of an IRP from IoBuildDeviceIoControlRequest");
    NoteStackObject(irp, Event, "the event of an IRP from IoBuildDeviceIoControlRequest");
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    switch (IoControlCode & 3) {
        case METHOD_BUFFERED: {
            ULONG length = std::max(InputBufferLength, OutputBufferLength);
            if (length) {
                rec.systemBuffer = NewCallerBuffer(length, static_cast<const uint8_t*>(InputBuffer),
                                                   InputBuffer ? InputBufferLength : 0);
            }
            irp->AssociatedIrp.SystemBuffer = rec.systemBuffer;
            rec.buffered = true;
            rec.outputLength = OutputBufferLength;
            rec.userOutput = OutputBuffer;
            break;
        }
        case METHOD_NEITHER:
            sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
            irp->UserBuffer = OutputBuffer;
            break;
        default:
            // Direct I/O: the input is copied into a system buffer, the caller's
            // output buffer is locked and described by an MDL.
            if (InputBuffer && InputBufferLength) {
                rec.systemBuffer =
                    NewCallerBuffer(InputBufferLength, static_cast<const uint8_t*>(InputBuffer), InputBufferLength);
            }
            irp->AssociatedIrp.SystemBuffer = rec.systemBuffer;
            if (OutputBuffer && OutputBufferLength) {
                rec.mdl = NewLockedMdl(OutputBuffer, OutputBufferLength);
                irp->MdlAddress = rec.mdl;
            }
            irp->UserBuffer = OutputBuffer;
            break;
    }
    return irp;
}

// ---------------------------------------------------------------------------
// Device objects and stacks

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) { SIM_DDI();
    if (!RequireIrql("IoCreateDevice", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
    auto& io = Io();
    *DeviceObject = nullptr;
    ++io.deviceCreations;
    if (io.failNthDeviceCreation && --io.failNthDeviceCreation == 0) return io.deviceCreationFailure;
    std::u16string name = FromCounted(DeviceName);
    if (!name.empty()) {
        if (name[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
        if (io.deviceNames.count(CanonicalObjectName(name)) || io.symbolicLinks.count(CanonicalObjectName(name)))
            return STATUS_OBJECT_NAME_COLLISION;
    }
    PDEVICE_OBJECT dev = NewDeviceObject(DriverObject, DeviceExtensionSize);
    dev->DeviceType = DeviceType;
    dev->Characteristics = DeviceCharacteristics;
    if (Exclusive) dev->Flags |= DO_EXCLUSIVE;
    if (!name.empty()) io.deviceNames[CanonicalObjectName(name)] = dev;
    *DeviceObject = dev;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) { SIM_DDI();
    if (!RequireIrql("IoDeleteDevice", PASSIVE_LEVEL)) return;
    auto& io = Io();
    if (!io.devices.count(DeviceObject) || DeviceDeletePending(DeviceObject)) {
        Verifier::Violation(Rule::BadParameter, "IoDeleteDevice on " + Hex(DeviceObject) +
                                                    ", which is not a device object (or was deleted already)");
        return;
    }
    for (auto& [irp, rec] : io.irps) {
        // The request being dispatched to the device (its removal) may be in hand
        // while the device goes; one parked in a queue may not.
        if (rec.state == IrpState::Active && rec.activeCalls == 0 && irp->CurrentLocation >= 1 &&
            irp->CurrentLocation <= irp->StackCount &&
            IoGetCurrentIrpStackLocation(irp)->DeviceObject == DeviceObject) {
            Verifier::Violation(Rule::DeviceDeletedWithIrps,
                                "device " + Hex(DeviceObject) + " deleted while it still holds " + Describe(irp));
            return;
        }
    }
    // IoDeleteDevice does not detach: a device still in a stack leaves the
    // device below pointing at freed memory (or one above passing requests to it).
    PDEVICE_OBJECT below = nullptr;
    for (PDEVICE_OBJECT other : io.devices) {
        if (other->AttachedDevice == DeviceObject) below = other;
    }
    if (below || DeviceObject->AttachedDevice) {
        const std::string how = below ? "still attached to device " + Hex(below) + " (IoDetachDevice first)"
                                      : "while device " + Hex(DeviceObject->AttachedDevice) + " is attached to it";
        Verifier::Violation(Rule::DeviceDeletedWhileAttached, "device " + Hex(DeviceObject) + " deleted " + how);
        // Reported: the stack is unlinked so that the simulation can go on.
        if (below) below->AttachedDevice = nullptr;
    }
    Verifier::RunTeardownCheck(DeviceObject);
    CheckWmiAtDeviceDeletion(DeviceObject);
    ForgetDevicePower(DeviceObject);
    if (!CheckObjectsFreed(DeviceObject, sizeof(DEVICE_OBJECT) + DeviceExtensionSize(DeviceObject),
                           "device object"))
        return;
    if (OpenFileCount(DeviceObject) > 0) {
        DeferDeletion(DeviceObject);
        return;
    }
    FreeDeviceObject(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) { SIM_DDI();
    if (!RequireIrql("IoAttachDeviceToDeviceStack", PASSIVE_LEVEL)) return nullptr;
    PDEVICE_OBJECT top = TopOfStack(TargetDevice);
    // Nothing attaches to a device that is still initializing.
    if (top->Flags & DO_DEVICE_INITIALIZING) return nullptr;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) { SIM_DDI();
    if (!RequireIrql("IoDetachDevice", PASSIVE_LEVEL)) return;
    if (!TargetDevice->AttachedDevice) {
        Verifier::Violation(Rule::BadParameter, "IoDetachDevice on a device with nothing attached");
        return;
    }
    TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) { SIM_DDI();
    PDEVICE_OBJECT top = TopOfStack(DeviceObject);
    top->ReferenceCount++;
    return top;
}

VOID FASTCALL ObfReferenceObject(PVOID Object) { SIM_DDI();
    auto* dev = static_cast<PDEVICE_OBJECT>(Object);
    if (Io().devices.count(dev)) dev->ReferenceCount++;
}

VOID FASTCALL ObfDereferenceObject(PVOID Object) { SIM_DDI();
    auto* dev = static_cast<PDEVICE_OBJECT>(Object);
    if (Io().devices.count(dev)) dev->ReferenceCount--;
}

// ---------------------------------------------------------------------------
// Names

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) { SIM_DDI();
    if (!RequireIrql("IoCreateSymbolicLink", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
    auto& io = Io();
    std::u16string link = FromCounted(SymbolicLinkName);
    std::u16string key = CanonicalObjectName(link);
    if (link.empty() || link[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    if (io.symbolicLinks.count(key) || io.deviceNames.count(key)) return STATUS_OBJECT_NAME_COLLISION;
    io.symbolicLinks[key] = FromCounted(DeviceName);
    io.linkSpelling[key] = link;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) { SIM_DDI();
    if (!RequireIrql("IoDeleteSymbolicLink", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
    auto& io = Io();
    std::u16string key = CanonicalObjectName(FromCounted(SymbolicLinkName));
    if (!io.symbolicLinks.erase(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
    io.linkSpelling.erase(key);
    return STATUS_SUCCESS;
}

PCONFIGURATION_INFORMATION NTAPI IoGetConfigurationInformation(void) { SIM_DDI(); return &Io().configuration; }

// ---------------------------------------------------------------------------
// MDLs

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                         PIRP Irp) { SIM_DDI();
    if (!RequireIrql("IoAllocateMdl", DISPATCH_LEVEL)) return nullptr;
    if (AllocationFails(__builtin_return_address(0))) return nullptr;
    PMDL mdl = NewLockedMdl(VirtualAddress, Length);
    mdl->MdlFlags = 0;  // described, not yet locked or mapped
    Io().mdls.insert(mdl);
    if (Irp && !SecondaryBuffer && !Irp->MdlAddress) Irp->MdlAddress = mdl;
    return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) { SIM_DDI();
    auto& mdls = Io().mdls;
    if (!mdls.erase(Mdl)) {
        Verifier::Violation(Rule::PoolDoubleFree, "IoFreeMdl on " + Hex(Mdl) + ", which IoAllocateMdl did not make or "
                                                                               "which was freed already");
        return;
    }
    std::free(Mdl);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) { SIM_DDI();
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
}

PVOID NTAPI MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) { SIM_DDI();
    if (!RequireIrql("MmGetSystemAddressForMdlSafe", DISPATCH_LEVEL)) return nullptr;
    bool known = Io().mdls.count(Mdl) != 0;
    for (auto& [irp, rec] : Io().irps) known = known || rec.mdl == Mdl;
    if (!known) {
        Verifier::Violation(Rule::BadParameter,
                            "MmGetSystemAddressForMdlSafe on " + Hex(Mdl) + ", which is not an MDL");
        return nullptr;
    }
    if (!(Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))) {
        Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
        Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    }
    return Mdl->MappedSystemVa;
}

}  // extern "C"
