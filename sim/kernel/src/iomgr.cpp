// The I/O manager: driver and device objects, device stacks, IRPs from
// allocation to completion, cancellation, and the object names that lead to a
// device. The verifier's IRP rules are checked here.
#include "internal.h"

#include <sim/pool.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

IoState& Io() { return St().io; }

std::u16string Lower(const std::u16string& s) {
    std::u16string out = s;
    for (auto& c : out) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return out;
}

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
        if (rec.returnedPending[static_cast<size_t>(i)] && !MarkedPending(irp, i)) {
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
    const bool copyBack = rec.buffered && (NT_SUCCESS(status) || (status & 0xC0000000) == 0x80000000);
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
            if (copyBack && rec.systemBuffer) {
                auto* b = static_cast<uint8_t*>(rec.systemBuffer);
                r.output.assign(b, b + std::min<ULONG_PTR>(irp->IoStatus.Information, rec.outputLength));
            }
            break;
        }
        case IrpOrigin::Built:
            CheckStackObject(irp, irp->UserIosb, "the I/O manager's copy of the final status");
            CheckStackObject(irp, irp->UserEvent, "the I/O manager's signal of the request's event");
            if (copyBack && rec.userOutput && rec.systemBuffer) {
                std::memcpy(rec.userOutput, rec.systemBuffer,
                            std::min<ULONG_PTR>(irp->IoStatus.Information, rec.outputLength));
            }
            if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
            if (irp->UserEvent) KeSetEvent(irp->UserEvent, 0, FALSE);
            break;
        case IrpOrigin::Power:
            if (rec.onComplete) rec.onComplete(irp);
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
    for (PDEVICE_OBJECT other : io.devices) {
        if (other->AttachedDevice == dev) other->AttachedDevice = nullptr;
    }
    io.devices.erase(dev);
}

size_t DeviceExtensionSize(PDEVICE_OBJECT dev) {
    return dev->DeviceExtension ? dev->Size - sizeof(DEVICE_OBJECT) : 0;
}

}  // namespace

PIRP AllocateIrpRecord(CCHAR stackSize, IrpOrigin origin) {
    auto* irp = static_cast<PIRP>(std::calloc(1, IoSizeOfIrp(stackSize)));
    IoInitializeIrp(irp, IoSizeOfIrp(stackSize), stackSize);
    IrpRecord rec;
    rec.origin = origin;
    rec.returnedPending.assign(static_cast<size_t>(stackSize) + 2, false);
    Io().irps.emplace(irp, std::move(rec));
    return irp;
}

SystemIrpResult SendSystemIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, NTSTATUS initialStatus,
                              ULONG_PTR initialInformation, const std::function<void(IO_STACK_LOCATION&)>& fill) {
    PDEVICE_OBJECT top = TopOfStack(device);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    SystemIrpResult result{STATUS_PENDING, {}};
    PIRP irp = AllocateIrpRecord(top->StackSize, IrpOrigin::Built);
    irp->UserEvent = &event;
    irp->UserIosb = &result.iosb;
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
            Verifier::Violation(Rule::IrpLeaked, Describe(irp) + " was neither completed nor freed");
        }
    }
}

void ReleaseIoObjects() {
    auto& io = Io();
    for (auto& [irp, rec] : io.irps) {
        if (rec.systemBuffer) std::free(rec.systemBuffer);
        std::free(irp);
    }
    io.irps.clear();
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
    PIRP irp = AllocateIrpRecord(device->StackSize, IrpOrigin::Test);
    IrpRecord& rec = *FindIrp(irp);
    rec.result = result;
    ULONG inLength = static_cast<ULONG>(request.input.size());
    ULONG bufferLength = std::max(inLength, request.outputLength);
    if (bufferLength) {
        rec.systemBuffer = std::malloc(bufferLength);
        std::memset(rec.systemBuffer, 0, bufferLength);
        if (inLength) std::memcpy(rec.systemBuffer, request.input.data(), inLength);
    }
    rec.outputLength = request.outputLength;
    // Information counts bytes of the caller's buffer only where the I/O manager
    // copies data back: buffered device controls and reads.
    bool control = request.major == IRP_MJ_DEVICE_CONTROL || request.major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    rec.buffered = request.major == IRP_MJ_READ;
    irp->AssociatedIrp.SystemBuffer = rec.systemBuffer;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = request.fileObject;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = request.major;
    sp->MinorFunction = request.minor;
    sp->FileObject = request.fileObject;
    if (request.major == IRP_MJ_DEVICE_CONTROL || request.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        sp->Parameters.DeviceIoControl.InputBufferLength = inLength;
        sp->Parameters.DeviceIoControl.OutputBufferLength = request.outputLength;
    }
    if (request.major == IRP_MJ_READ) sp->Parameters.Read.Length = request.outputLength;
    if (request.major == IRP_MJ_WRITE) sp->Parameters.Write.Length = inLength;
    if (request.parameters) request.parameters(*sp);
    if (control) rec.buffered = (sp->Parameters.DeviceIoControl.IoControlCode & 3) == METHOD_BUFFERED;
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
        s = entry(driver, &registryPath);
    }
    std::fill(pathBuffer.begin(), pathBuffer.end(), u'#');
    if (CurrentIrql() != before) {
        Verifier::Violation(Rule::IrqlNotRestored, "DriverEntry returned at a different IRQL");
    }
    if (status) *status = s;
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
        driver->DriverUnload(driver);
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
    if (!name.empty()) Io().deviceNames[Lower(name)] = dev;
    dev->Flags &= ~DO_DEVICE_INITIALIZING;
    return dev;
}

void DeleteSimDevice(PDEVICE_OBJECT device) {
    ForgetDevicePower(device);
    UnlinkDevice(device);
    std::free(device);
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    while (device->AttachedDevice) device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT LookupDevice(const std::u16string& name) {
    auto& io = Io();
    std::u16string key = Lower(name);
    for (int hops = 0; hops < 8; ++hops) {
        auto dev = io.deviceNames.find(key);
        if (dev != io.deviceNames.end()) return dev->second;
        auto link = io.symbolicLinks.find(key);
        if (link == io.symbolicLinks.end()) return nullptr;
        key = Lower(link->second);
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
    for (auto& [lock, name] : order) {
        st.lockOrder.push_back(lock);
        st.lockNames.push_back(name);
    }
}

PKSPIN_LOCK CancelSpinLock() { return &Io().cancelLock; }

void DeclareExtensionLockOrder(PDRIVER_OBJECT driver, const std::vector<std::pair<size_t, std::string>>& order) {
    St().lockOrderDriver = driver;
    St().extensionLockOrder = order;
}

bool DriverLoaded(PDRIVER_OBJECT driver) { return driver && Io().drivers.count(driver) != 0; }

void NameRoutine(const void* routine, std::string name) { St().routineNames[routine] = std::move(name); }

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
    auto& st = St();
    if (st.failNthAllocation && --st.failNthAllocation == 0) return nullptr;
    return AllocateIrpRecord(StackSize, IrpOrigin::Allocated);
}

VOID NTAPI IoFreeIrp(PIRP Irp) { SIM_DDI();
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
    std::fill(rec->returnedPending.begin(), rec->returnedPending.end(), false);
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
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0) {
        Verifier::Violation(Rule::NoMoreStackLocations,
                            Describe(Irp) + " passed to device " + Hex(DeviceObject) + " with no stack location left");
        std::abort();
    }
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
    sp->DeviceObject = DeviceObject;
    if (sp->MajorFunction == IRP_MJ_POWER) NotePowerIrpDelivered(Irp, *rec, DeviceObject);
    const int index = Irp->CurrentLocation;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[sp->MajorFunction];

    KIRQL irql = CurrentIrql();
    size_t locks = CurrentThread()->heldLocks.size();
    rec->activeCalls++;
    NTSTATUS status;
    {
        DriverCall call(reinterpret_cast<const void*>(dispatch));
        status = dispatch(DeviceObject, Irp);
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
        } else if (!MarkedPending(Irp, index)) {
            Verifier::Violation(Rule::PendingNotMarked, "dispatch routine of device " + Hex(DeviceObject) +
                                                            " returned STATUS_PENDING for " + Describe(Irp) +
                                                            " without IoMarkIrpPending");
        }
    } else if (MarkedPending(Irp, index)) {
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
    if (rec->power) CheckPowerIrpCompleter(Irp, *rec);
    for (;;) {
        PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        UCHAR control = sp->Control;
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
                answer = routine(dev, Irp, context);
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
        routine(dev, Irp);
    }
    auto& held = CurrentThread()->heldLocks;
    if (std::any_of(held.begin(), held.end(), [](const HeldLock& h) { return h.lock == &Io().cancelLock; })) {
        Verifier::Violation(Rule::CancelLockNotReleased,
                            "cancel routine " + RoutineName((const void*)routine) + " returned without releasing the cancel spin lock");
    }
    return TRUE;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) { SIM_DDI();
    if (!RequireIrql("IoBuildDeviceIoControlRequest", PASSIVE_LEVEL)) return nullptr;
    auto& st = St();
    if (st.failNthAllocation && --st.failNthAllocation == 0) return nullptr;
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
                rec.systemBuffer = std::calloc(1, length);
                if (InputBuffer && InputBufferLength) std::memcpy(rec.systemBuffer, InputBuffer, InputBufferLength);
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
            // Direct I/O would describe the output with an MDL; nothing here uses it.
            irp->AssociatedIrp.SystemBuffer = InputBuffer;
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
    if (io.failNthDeviceCreation && --io.failNthDeviceCreation == 0) return io.deviceCreationFailure;
    std::u16string name = FromCounted(DeviceName);
    if (!name.empty()) {
        if (name[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
        if (io.deviceNames.count(Lower(name)) || io.symbolicLinks.count(Lower(name)))
            return STATUS_OBJECT_NAME_COLLISION;
    }
    PDEVICE_OBJECT dev = NewDeviceObject(DriverObject, DeviceExtensionSize);
    dev->DeviceType = DeviceType;
    dev->Characteristics = DeviceCharacteristics;
    if (Exclusive) dev->Flags |= DO_EXCLUSIVE;
    if (!name.empty()) io.deviceNames[Lower(name)] = dev;
    *DeviceObject = dev;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) { SIM_DDI();
    if (!RequireIrql("IoDeleteDevice", PASSIVE_LEVEL)) return;
    auto& io = Io();
    if (!io.devices.count(DeviceObject)) {
        Verifier::Violation(Rule::BadParameter, "IoDeleteDevice on " + Hex(DeviceObject) + ", which is not a device object");
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
    Verifier::RunTeardownCheck(DeviceObject);
    CheckWmiAtDeviceDeletion(DeviceObject);
    ForgetDevicePower(DeviceObject);
    if (!CheckObjectsFreed(DeviceObject, sizeof(DEVICE_OBJECT) + DeviceExtensionSize(DeviceObject),
                           "device object"))
        return;
    UnlinkDevice(DeviceObject);
    std::free(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) { SIM_DDI();
    if (!RequireIrql("IoAttachDeviceToDeviceStack", PASSIVE_LEVEL)) return nullptr;
    PDEVICE_OBJECT top = TopOfStack(TargetDevice);
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
    std::u16string key = Lower(link);
    if (link.empty() || link[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    if (io.symbolicLinks.count(key) || io.deviceNames.count(key)) return STATUS_OBJECT_NAME_COLLISION;
    io.symbolicLinks[key] = FromCounted(DeviceName);
    io.linkSpelling[key] = link;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) { SIM_DDI();
    if (!RequireIrql("IoDeleteSymbolicLink", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
    auto& io = Io();
    std::u16string key = Lower(FromCounted(SymbolicLinkName));
    if (!io.symbolicLinks.erase(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
    io.linkSpelling.erase(key);
    return STATUS_SUCCESS;
}

PCONFIGURATION_INFORMATION NTAPI IoGetConfigurationInformation(void) { SIM_DDI(); return &Io().configuration; }

}  // extern "C"
