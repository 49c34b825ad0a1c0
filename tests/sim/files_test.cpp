// The I/O manager's files: opening by name through the namespace, exclusive
// devices, file objects in every request, cleanup then close, the requests of
// each thread and their cancellation, synchronous handles.
#include "tests/support/sim_fixture.h"

#include <sim/files.h>
#include <sim/pnp.h>
#include <simnt/ntddser.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using sim::File;
using sim::FileRequestHandle;
using simtest::SimTest;

// What a test driver saw of one request.
struct Seen {
    UCHAR major;
    PFILE_OBJECT file;  // the file object in the driver's own stack location
    int thread;         // the simulated thread it arrived on
};

// A port-like device of a simulator-owned driver: named, with a DOS name,
// recording every request; reads are parked (cancelably, unless told
// otherwise) until the test completes them; cleanup cancels the file's parked
// reads unless told otherwise. Everything else succeeds at once.
struct TestPort {
    sim::SimDriver* driver = sim::CreateSimDriver("ports");
    PDEVICE_OBJECT device = nullptr;
    std::vector<Seen> seen;
    std::vector<PIRP> parked;
    bool parkReads = true;
    bool cancelable = true;
    bool cleanupCancels = true;
    sim::Ticks cancelDelay = 0;  // the cancel routine completes this much later
    NTSTATUS createAnswer = STATUS_SUCCESS;

    TestPort(const std::u16string& name, const std::u16string& dosName, bool exclusive = false)
        : name(name) {
        device = sim::CreateSimDevice(driver, name, sizeof(TestPort*));
        *static_cast<TestPort**>(device->DeviceExtension) = this;
        if (exclusive)
            device->Flags |= DO_EXCLUSIVE;
        if (!dosName.empty())
            Link(dosName);
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE,
                            IRP_MJ_DEVICE_CONTROL, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_QUERY_INFORMATION,
                            IRP_MJ_SET_INFORMATION}) {
            sim::SetSimDispatch(driver, major,
                                [this](PDEVICE_OBJECT, PIRP irp) { return Dispatch(irp); });
        }
    }
    void Link(const std::u16string& dosName) {
        UNICODE_STRING link, target;
        links.push_back(u"\\DosDevices\\" + dosName);
        RtlInitUnicodeString(&link, links.back().c_str());
        RtlInitUnicodeString(&target, name.c_str());
        ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    }
    int Count(UCHAR major) const {
        return static_cast<int>(std::count_if(seen.begin(), seen.end(),
                                              [&](const Seen& s) { return s.major == major; }));
    }
    std::vector<UCHAR> Majors() const {
        std::vector<UCHAR> out;
        for (const Seen& s : seen)
            out.push_back(s.major);
        return out;
    }
    const Seen* Last(UCHAR major) const {
        for (auto it = seen.rbegin(); it != seen.rend(); ++it) {
            if (it->major == major)
                return &*it;
        }
        return nullptr;
    }

    static TestPort* Of(PDEVICE_OBJECT device) {
        return *static_cast<TestPort**>(device->DeviceExtension);
    }

    static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    static VOID NTAPI Cancel(PDEVICE_OBJECT device, PIRP irp) {
        TestPort* port = Of(device);
        port->parked.erase(std::find(port->parked.begin(), port->parked.end(), irp));
        IoReleaseCancelSpinLock(irp->CancelIrql);
        if (port->cancelDelay) {
            sim::Simulation::Current().Schedule(port->cancelDelay, "late cancel",
                                                [irp] { Complete(irp, STATUS_CANCELLED); });
            return;
        }
        Complete(irp, STATUS_CANCELLED);
    }

    // Takes a parked read back (from its cancel routine's reach) and completes it.
    void CompleteParked(size_t index, NTSTATUS status, const std::string& data = "") {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        ASSERT_LT(index, parked.size());
        PIRP irp = parked[index];
        if (cancelable && !IoSetCancelRoutine(irp, nullptr)) {
            IoReleaseCancelSpinLock(irql);
            return;  // its cancel routine has it
        }
        parked.erase(parked.begin() + static_cast<long>(index));
        IoReleaseCancelSpinLock(irql);
        if (!data.empty())
            std::memcpy(irp->AssociatedIrp.SystemBuffer, data.data(), data.size());
        Complete(irp, status, data.size());
    }

    NTSTATUS Dispatch(PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        seen.push_back(
            {sp->MajorFunction, sp->FileObject, sim::Simulation::Current().CurrentThreadId()});
        switch (sp->MajorFunction) {
            case IRP_MJ_CREATE:
                return Complete(irp, createAnswer);
            case IRP_MJ_READ:
                if (!parkReads)
                    return Complete(irp, STATUS_SUCCESS);
                return Park(irp);
            case IRP_MJ_CLEANUP:
                if (cleanupCancels)
                    CancelParkedOf(sp->FileObject);
                return Complete(irp, STATUS_SUCCESS);
            case IRP_MJ_WRITE:
                return Complete(irp, STATUS_SUCCESS, sp->Parameters.Write.Length);
            default:
                return Complete(irp, STATUS_SUCCESS);
        }
    }

    NTSTATUS Park(PIRP irp) {
        IoMarkIrpPending(irp);
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        if (cancelable) {
            IoSetCancelRoutine(irp, Cancel);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
                IoReleaseCancelSpinLock(irql);
                Complete(irp, STATUS_CANCELLED);
                return STATUS_PENDING;
            }
        }
        parked.push_back(irp);
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    }

    // What a serial driver's cleanup does: every request of the file completes.
    void CancelParkedOf(PFILE_OBJECT file) {
        for (size_t i = parked.size(); i-- > 0;) {
            if (IoGetCurrentIrpStackLocation(parked[i])->FileObject == file)
                CompleteParked(i, STATUS_CANCELLED);
        }
    }

    std::u16string name;
    std::vector<std::u16string> links;
};

File OpenOrFail(const std::u16string& name,
                const sim::CreateParameters& how = sim::SynchronousOpen()) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    File file = File::Open(name, &status, how);
    EXPECT_EQ(status, STATUS_SUCCESS) << "opening " << std::string(name.begin(), name.end());
    return file;
}

std::u16string FileNameOf(PFILE_OBJECT file) {
    return std::u16string(file->FileName.Buffer ? file->FileName.Buffer : u"",
                          file->FileName.Length / sizeof(WCHAR));
}

TEST_F(SimTest, NamesLeadToTheDeviceThroughLinksAndEverySpellingOfTheDosDevicesDirectory) {
    TestPort port(u"\\Device\\FilePort0", u"COM3");
    port.Link(u"COM10");
    for (const char16_t* name : {u"\\\\.\\COM3", u"\\\\.\\com3", u"COM3", u"com3:", u"\\\\?\\COM3",
                                 u"\\??\\COM3", u"\\DosDevices\\COM3", u"\\GLOBAL??\\com3",
                                 u"\\??\\Global\\COM3", u"\\Device\\FILEPORT0", u"\\\\.\\COM10"}) {
        SCOPED_TRACE(std::string(name, name + std::char_traits<char16_t>::length(name)));
        const int creates = port.Count(IRP_MJ_CREATE);
        File file = OpenOrFail(name);
        ASSERT_TRUE(file.IsOpen());
        ASSERT_EQ(port.Count(IRP_MJ_CREATE), creates + 1);
        PFILE_OBJECT object = port.Last(IRP_MJ_CREATE)->file;
        EXPECT_EQ(object, file.Object());
        EXPECT_EQ(object->Type, IO_TYPE_FILE);
        EXPECT_EQ(object->DeviceObject, port.device)
            << "the file object names the device the name led to";
        EXPECT_EQ(FileNameOf(object), u"") << "nothing follows the device's name";
        EXPECT_EQ(file.Close(), STATUS_SUCCESS);
    }
    // What follows the device's name is the file object's FileName.
    File sub = OpenOrFail(u"\\DosDevices\\COM3\\Sub\\Dir");
    EXPECT_EQ(FileNameOf(port.Last(IRP_MJ_CREATE)->file), u"\\Sub\\Dir");
    sub.Close();

    struct Missing {
        const char16_t* name;
        NTSTATUS status;
    };
    const int creates = port.Count(IRP_MJ_CREATE);
    for (const Missing& m : {Missing{u"\\\\.\\COM9", STATUS_OBJECT_NAME_NOT_FOUND},
                             // Only COM1-COM9 are DOS device names; "COM10" is a file of the
                             // current directory, and the machine has no files.
                             Missing{u"COM10", STATUS_OBJECT_NAME_NOT_FOUND},
                             Missing{u"\\Device\\FilePort1", STATUS_OBJECT_NAME_NOT_FOUND},
                             Missing{u"\\Nowhere\\COM3", STATUS_OBJECT_PATH_NOT_FOUND},
                             Missing{u"\\Device", STATUS_OBJECT_TYPE_MISMATCH}}) {
        SCOPED_TRACE(std::string(m.name, m.name + std::char_traits<char16_t>::length(m.name)));
        NTSTATUS status = STATUS_SUCCESS;
        File file = File::Open(m.name, &status);
        EXPECT_EQ(status, m.status);
        EXPECT_FALSE(file.IsOpen());
    }
    HANDLE handle = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(sim::NtCreateFile(&handle, u"COM3", sim::SynchronousOpen(), nullptr),
              STATUS_OBJECT_PATH_SYNTAX_BAD)
        << "the native call takes object names only";
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(port.Count(IRP_MJ_CREATE), creates) << "a name that leads nowhere reaches no driver";
    EXPECT_EQ(port.device->ReferenceCount, 0);
    sim::DeleteSimDevice(port.device);
}

TEST_F(SimTest, AnEnabledDeviceInterfaceOpensItsPhysicalDevicesStack) {
    TestPort port(u"", u"");
    sim::SetDeviceInstancePath(port.device, u"USB\\VID_FFF1&PID_0201\\5&1");
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(port.device, &GUID_DEVINTERFACE_COMPORT, nullptr, &link),
              STATUS_SUCCESS);
    const std::u16string path =
        u"\\\\?\\USB#VID_FFF1&PID_0201#5&1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
    NTSTATUS status = STATUS_SUCCESS;
    File::Open(path, &status);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND) << "a disabled interface is no name";
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    File file = OpenOrFail(path + u"\\Ref");
    EXPECT_EQ(port.Last(IRP_MJ_CREATE)->file->DeviceObject, port.device);
    EXPECT_EQ(FileNameOf(file.Object()), u"\\Ref");
    file.Close();
    IoSetDeviceInterfaceState(&link, FALSE);
    RtlFreeUnicodeString(&link);
    sim::DeleteSimDevice(port.device);
}

// A filter above the named device: the open and every request go to the top of
// the stack, with the file object in each driver's location.
TEST_F(SimTest, EveryRequestOfAHandleGoesToTheTopOfTheStackWithItsFileObject) {
    TestPort port(u"\\Device\\FilePort0", u"COM3");
    port.parkReads = false;
    sim::SimDriver* filterDriver = sim::CreateSimDriver("filter");
    PDEVICE_OBJECT filter = sim::CreateSimDevice(filterDriver, u"", 0);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(filter, port.device), port.device);
    std::vector<Seen> filterSaw;
    std::vector<PIRP> irps;
    // The security context lives only while the create request is under way:
    // what it says is copied out then.
    std::optional<IO_SECURITY_CONTEXT> security;
    ULONG createOptions = 0;
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        sim::SetSimDispatch(filterDriver, major, [&](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
            filterSaw.push_back({sp->MajorFunction, sp->FileObject, 0});
            irps.push_back(irp);
            EXPECT_EQ(irp->Tail.Overlay.OriginalFileObject, sp->FileObject);
            EXPECT_NE(irp->Tail.Overlay.Thread, nullptr) << "queued to the thread that issued it";
            if (sp->MajorFunction == IRP_MJ_CREATE) {
                security = *static_cast<PIO_SECURITY_CONTEXT>(sp->Parameters.Create.SecurityContext);
                createOptions = sp->Parameters.Create.Options;
                EXPECT_EQ(irp->RequestorMode, UserMode);
            }
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(port.device, irp);
        });
    }
    File file = OpenOrFail(u"\\\\.\\COM3");
    ASSERT_TRUE(security.has_value());
    EXPECT_EQ(createOptions,
              (ULONG(FILE_OPEN) << 24) | FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
    EXPECT_EQ(security->DesiredAccess & (FILE_READ_DATA | FILE_WRITE_DATA),
              ULONG(FILE_READ_DATA | FILE_WRITE_DATA));
    PFILE_OBJECT object = file.Object();
    EXPECT_EQ(object->Flags & FO_SYNCHRONOUS_IO, ULONG(FO_SYNCHRONOUS_IO));
    EXPECT_EQ(object->DeviceObject, port.device) << "the named device, not the top of the stack";

    EXPECT_EQ(file.Read(4)->Status(), STATUS_SUCCESS);
    EXPECT_EQ(file.Write({1, 2})->Status(), STATUS_SUCCESS);
    EXPECT_EQ(
        file.DeviceIoControl(CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_ANY_ACCESS))
            ->Status(),
        STATUS_SUCCESS);
    EXPECT_EQ(file.Flush()->Status(), STATUS_SUCCESS);
    EXPECT_EQ(
        file.QueryInformation(FileStandardInformation, sizeof(FILE_STANDARD_INFORMATION))->Status(),
        STATUS_SUCCESS);
    EXPECT_EQ(file.SetInformation(FileEndOfFileInformation, std::vector<uint8_t>(8))->Status(),
              STATUS_SUCCESS);
    EXPECT_EQ(file.Close(), STATUS_SUCCESS);
    const std::vector<UCHAR> expected = {
        IRP_MJ_CREATE,          IRP_MJ_READ,          IRP_MJ_WRITE,
        IRP_MJ_DEVICE_CONTROL,  IRP_MJ_FLUSH_BUFFERS, IRP_MJ_QUERY_INFORMATION,
        IRP_MJ_SET_INFORMATION, IRP_MJ_CLEANUP,       IRP_MJ_CLOSE};
    ASSERT_EQ(port.Majors(), expected);
    ASSERT_EQ(filterSaw.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(filterSaw[i].major, expected[i]);
        EXPECT_EQ(filterSaw[i].file, object) << "the top of the stack, request " << i;
        EXPECT_EQ(port.seen[i].file, object) << "the named device below it, request " << i;
    }

    // An overlapped open: no synchronous flag on the file object.
    File overlapped = OpenOrFail(u"COM3", sim::OverlappedOpen());
    EXPECT_EQ(overlapped.Object()->Flags & FO_SYNCHRONOUS_IO, 0u);
    EXPECT_EQ(createOptions, (ULONG(FILE_OPEN) << 24) | FILE_NON_DIRECTORY_FILE);
    overlapped.Close();

    // A create the driver fails: no handle, and neither cleanup nor close.
    port.createAnswer = STATUS_DEVICE_BUSY;
    port.seen.clear();
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_FALSE(File::Open(u"COM3", &status).IsOpen());
    EXPECT_EQ(status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(port.Majors(), std::vector<UCHAR>{IRP_MJ_CREATE});
    EXPECT_EQ(port.device->ReferenceCount, 0) << "the failed open holds nothing";
    IoDetachDevice(port.device);
    sim::DeleteSimDevice(filter);
    sim::DeleteSimDevice(port.device);
}

TEST_F(SimTest, AnExclusiveDeviceRefusesEveryOtherOpenUntilItsFileObjectIsClosed) {
    TestPort port(u"\\Device\\FilePort0", u"COM3", /*exclusive=*/true);
    port.cleanupCancels = false;
    File first = OpenOrFail(u"COM3", sim::OverlappedOpen());
    EXPECT_EQ(port.device->ReferenceCount, 1);
    for (const char16_t* name : {u"COM3", u"\\Device\\FilePort0", u"\\Device\\FilePort0\\Other"}) {
        NTSTATUS status = STATUS_SUCCESS;
        EXPECT_FALSE(File::Open(name, &status).IsOpen());
        EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    }
    EXPECT_EQ(port.Count(IRP_MJ_CREATE), 1) << "refused before the driver sees it";

    // The handle is closed, but a read the cleanup left keeps the file object —
    // and with it the device's one open.
    FileRequestHandle read = first.Read(1);
    ASSERT_EQ(read->returned, STATUS_PENDING);
    first.Close();
    EXPECT_EQ(port.Count(IRP_MJ_CLEANUP), 1);
    EXPECT_EQ(port.Count(IRP_MJ_CLOSE), 0);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_FALSE(File::Open(u"COM3", &status).IsOpen());
    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    port.CompleteParked(0, STATUS_CANCELLED);
    sim_.RunUntilIdle();
    EXPECT_EQ(port.Count(IRP_MJ_CLOSE), 1);
    EXPECT_EQ(port.device->ReferenceCount, 0);
    File again = OpenOrFail(u"COM3");
    again.Close();

    // A device still initializing is no device.
    port.device->Flags |= DO_DEVICE_INITIALIZING;
    EXPECT_FALSE(File::Open(u"COM3", &status).IsOpen());
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    port.device->Flags &= ~DO_DEVICE_INITIALIZING;

    // Without DO_EXCLUSIVE two handles may be open at once.
    port.device->Flags &= ~DO_EXCLUSIVE;
    File a = OpenOrFail(u"COM3");
    File b = OpenOrFail(u"COM3");
    EXPECT_EQ(port.device->ReferenceCount, 2);
    a.Close();
    b.Close();
    sim::DeleteSimDevice(port.device);
}

TEST_F(SimTest, CleanupGoesWithTheLastHandleAndCloseWithTheLastReference) {
    TestPort port(u"\\Device\\FilePort0", u"COM3");
    // Two handles to one file object: the first close sends nothing.
    File file = OpenOrFail(u"COM3", sim::OverlappedOpen());
    File copy = file.Duplicate();
    ASSERT_TRUE(copy.IsOpen());
    EXPECT_EQ(copy.Object(), file.Object());
    file.Close();
    EXPECT_EQ(port.Count(IRP_MJ_CLEANUP), 0);
    EXPECT_EQ(copy.Close(), STATUS_SUCCESS);
    EXPECT_EQ(port.Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(port.Last(IRP_MJ_CLOSE)->thread, 0)
        << "nothing outstanding: close comes in the closing thread";
    EXPECT_EQ(copy.Close(), STATUS_INVALID_HANDLE);

    // A driver whose cleanup cancels the file's read: the close follows at once.
    port.seen.clear();
    file = OpenOrFail(u"COM3", sim::OverlappedOpen());
    FileRequestHandle read = file.Read(1);
    ASSERT_EQ(read->returned, STATUS_PENDING);
    file.Close();
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(port.Majors(),
              (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));

    // A driver whose cleanup leaves it: the read keeps the file object, the
    // close waits for its completion, and the error log says why.
    port.cleanupCancels = false;
    port.seen.clear();
    file = OpenOrFail(u"COM3", sim::OverlappedOpen());
    read = file.Read(1);
    file.Close();
    EXPECT_FALSE(read->Completed()) << "the I/O manager cancels nothing at cleanup";
    EXPECT_EQ(port.Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP}));
    ASSERT_FALSE(sim::IoErrorLog().empty());
    EXPECT_NE(sim::IoErrorLog().back().find("1 request(s) issued on it are still pending"),
              std::string::npos)
        << sim::IoErrorLog().back();
    sim_.RunFor(sim::kSecond);
    EXPECT_EQ(port.Count(IRP_MJ_CLOSE), 0);
    port.CompleteParked(0, STATUS_SUCCESS);
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    sim_.RunUntilIdle();
    ASSERT_EQ(port.Count(IRP_MJ_CLOSE), 1);
    EXPECT_NE(port.Last(IRP_MJ_CLOSE)->thread, 0)
        << "after the last completion, from a system thread";
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
    sim::DeleteSimDevice(port.device);
}

TEST_F(SimTest, CancelIoTakesTheCallersRequestsOnTheHandleAndWaitsCancelIoExAnyOnes) {
    TestPort port(u"\\Device\\FilePort0", u"COM3");
    port.cancelDelay = 50 * sim::kMillisecond;
    File a = OpenOrFail(u"COM3", sim::OverlappedOpen());
    File b = OpenOrFail(u"COM3", sim::OverlappedOpen());
    FileRequestHandle mine = a.Read(1);
    FileRequestHandle otherHandle = b.Read(1);
    FileRequestHandle otherThread;
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    const int helper = sim_.CreateThread("helper", [&] {
        otherThread = a.Read(1);
        KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
    });
    ASSERT_TRUE(sim_.RunUntil([&] { return otherThread != nullptr; }, sim::kSecond));
    ASSERT_EQ(port.parked.size(), 3u);

    const sim::Ticks before = sim_.Now();
    EXPECT_EQ(a.CancelIo(), STATUS_SUCCESS);
    EXPECT_GE(sim_.Now() - before, port.cancelDelay)
        << "CancelIo returns once the request has completed";
    EXPECT_EQ(mine->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(otherHandle->Completed()) << "another handle's request";
    EXPECT_FALSE(otherThread->Completed()) << "another thread's request";

    EXPECT_EQ(a.CancelIoEx(otherThread), STATUS_SUCCESS);
    EXPECT_FALSE(otherThread->Completed()) << "CancelIoEx does not wait";
    sim_.RunFor(port.cancelDelay);
    EXPECT_EQ(otherThread->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(otherHandle->Completed());
    EXPECT_EQ(a.CancelIoEx(), STATUS_NOT_FOUND) << "nothing left on this handle";
    EXPECT_EQ(b.CancelIoEx(), STATUS_SUCCESS);
    sim_.RunFor(port.cancelDelay);
    EXPECT_EQ(otherHandle->Status(), STATUS_CANCELLED);

    KeSetEvent(&release, 0, FALSE);
    ASSERT_TRUE(sim_.RunUntil([&] { return sim_.ThreadFinished(helper); }, sim::kSecond));
    a.Close();
    b.Close();
    sim::DeleteSimDevice(port.device);
}

TEST_F(SimTest, AThreadThatEndsHasItsRequestsCancelledAndWaitsFiveMinutesForThem) {
    TestPort port(u"\\Device\\FilePort0", u"COM3");
    File file = OpenOrFail(u"COM3", sim::OverlappedOpen());
    FileRequestHandle read;
    int thread = sim_.CreateThread("reader", [&] { read = file.Read(1); });
    ASSERT_TRUE(sim_.RunUntil([&] { return sim_.ThreadFinished(thread); }, sim::kSecond));
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_TRUE(port.parked.empty());

    // A request its driver never completes: after five minutes the thread gives
    // it up (logged), and the request stays with the driver.
    port.cancelable = false;
    const sim::Ticks start = sim_.Now();
    thread = sim_.CreateThread("reader", [&] { read = file.Read(1); });
    ASSERT_TRUE(sim_.RunUntil([&] { return sim_.ThreadFinished(thread); }, 10 * 60 * sim::kSecond));
    EXPECT_GE(sim_.Now() - start, 5 * 60 * sim::kSecond);
    EXPECT_FALSE(read->Completed());
    ASSERT_FALSE(sim::IoErrorLog().empty());
    EXPECT_NE(sim::IoErrorLog().back().find("within five minutes"), std::string::npos)
        << sim::IoErrorLog().back();
    EXPECT_EQ(port.parked.size(), 1u);
    port.CompleteParked(0, STATUS_SUCCESS);
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    file.Close();
    sim::DeleteSimDevice(port.device);
}

// All I/O on a synchronous handle is serialised: a second request waits for
// the first to complete before its IRP is even built, and so does the close.
TEST_F(SimTest, ASynchronousHandleRunsOneRequestAtATimeAndItsCloseWaitsForIt) {
    TestPort port(u"\\Device\\FilePort0", u"COM3");
    File file = OpenOrFail(u"COM3");
    FileRequestHandle read, write;
    bool closed = false;
    sim_.CreateThread("reader", [&] { read = file.Read(1); });
    sim_.RunUntilIdle();
    ASSERT_EQ(port.parked.size(), 1u) << "the reader waits in its read";
    sim_.CreateThread("writer", [&] { write = file.Write({7}); });
    sim_.CreateThread("closer", [&] {
        File(file).Close();
        closed = true;
    });
    sim_.RunFor(sim::kSecond);
    EXPECT_EQ(port.Count(IRP_MJ_WRITE), 0) << "the write waits for the read";
    EXPECT_EQ(port.Count(IRP_MJ_CLEANUP), 0) << "so does the cleanup";
    EXPECT_FALSE(closed);
    port.CompleteParked(0, STATUS_SUCCESS);
    ASSERT_TRUE(sim_.RunUntil([&] { return closed && write && read; }, sim::kSecond));
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    // The writer and the closer were both waiting; whichever went first, the
    // cleanup came after the read and never overlapped the write.
    const std::vector<UCHAR> majors = port.Majors();
    auto at = [&](UCHAR major) {
        return std::find(majors.begin(), majors.end(), major) - majors.begin();
    };
    EXPECT_LT(at(IRP_MJ_READ), at(IRP_MJ_CLEANUP));
    EXPECT_EQ(majors.back(), IRP_MJ_CLOSE);

    // An overlapped handle lets them run side by side.
    port.seen.clear();
    File overlapped = OpenOrFail(u"COM3", sim::OverlappedOpen());
    read = overlapped.Read(1);
    write = overlapped.Write({7});
    EXPECT_EQ(read->returned, STATUS_PENDING);
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    overlapped.Close();
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    sim::DeleteSimDevice(port.device);
}

TEST_F(SimTest, BufferedOutputReachesTheCallerAtCompletionAndAFailureAtOnceTouchesNothing) {
    TestPort port(u"\\Device\\FilePort0", u"COM3");
    port.device->Flags |= DO_BUFFERED_IO;
    File file = OpenOrFail(u"COM3", sim::OverlappedOpen());
    FileRequestHandle read = file.Read(4);
    ASSERT_EQ(read->returned, STATUS_PENDING);
    EXPECT_EQ(read->iosb.Status, STATUS_PENDING) << "nothing written while it is out";
    port.CompleteParked(0, STATUS_SUCCESS, "hi");
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Output(), (std::vector<uint8_t>{'h', 'i'}));
    EXPECT_EQ(read->buffer[2], 0) << "only Information bytes are copied back";

    // The native call with the caller's own event and status block.
    sim::SetSimDispatch(port.driver, IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
        return TestPort::Complete(irp, STATUS_INVALID_PARAMETER);
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = 0x1234;
    iosb.Information = 99;
    uint8_t out[4] = {};
    EXPECT_EQ(sim::NtDeviceIoControlFile(
                  file.Handle(), &event, &iosb,
                  CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr,
                  0, out, sizeof out),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "failed at once: the call's answer is all";
    EXPECT_EQ(iosb.Status, 0x1234);
    EXPECT_EQ(iosb.Information, 99u);
    LARGE_INTEGER offset{};
    EXPECT_EQ(sim::NtReadFile(file.Handle(), nullptr, &iosb, out, sizeof out, nullptr),
              STATUS_INVALID_PARAMETER)
        << "an overlapped read needs an offset";
    EXPECT_EQ(sim::NtReadFile(file.Handle(), &event, &iosb, out, sizeof out, &offset),
              STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    port.CompleteParked(0, STATUS_SUCCESS, "ok");
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 2u);
    EXPECT_EQ(out[0], 'o');
    file.Close();
    sim::DeleteSimDevice(port.device);
}

TEST_F(SimTest, TheIoManagerChecksInformationRequestsAndAccessBeforeTheDriver) {
    TestPort port(u"\\Device\\FilePort0", u"COM3");
    File file = OpenOrFail(u"COM3");
    port.seen.clear();
    EXPECT_EQ(file.QueryInformation(FileStandardInformation, 8)->Status(),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(file.QueryInformation(static_cast<FILE_INFORMATION_CLASS>(0), 8)->Status(),
              STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(file.SetInformation(FileEndOfFileInformation, {1, 2})->Status(),
              STATUS_INFO_LENGTH_MISMATCH);
    // The position of a synchronous file is the I/O manager's to answer.
    LARGE_INTEGER position;
    position.QuadPart = 0x1234;
    EXPECT_EQ(file.SetInformation(FilePositionInformation, sim::Bytes(position))->Status(),
              STATUS_SUCCESS);
    FileRequestHandle query = file.QueryInformation(FilePositionInformation, 8);
    EXPECT_EQ(query->Status(), STATUS_SUCCESS);
    EXPECT_EQ(query->Output(), sim::Bytes(position));
    EXPECT_TRUE(port.seen.empty()) << "none of these reached the driver";
    file.Close();
    File overlapped = OpenOrFail(u"COM3", sim::OverlappedOpen());
    port.seen.clear();
    EXPECT_EQ(overlapped.QueryInformation(FilePositionInformation, 8)->Status(), STATUS_SUCCESS);
    EXPECT_EQ(port.Majors(), std::vector<UCHAR>{IRP_MJ_QUERY_INFORMATION})
        << "an overlapped file's goes to the driver";
    overlapped.Close();

    // A handle opened for reading only.
    sim::CreateParameters readOnly = sim::SynchronousOpen();
    readOnly.desiredAccess = GENERIC_READ;
    File reader = OpenOrFail(u"COM3", readOnly);
    port.seen.clear();
    EXPECT_EQ(reader.Write({1})->Status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(reader.Flush()->Status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(reader
                  .DeviceIoControl(
                      CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_WRITE_ACCESS))
                  ->Status(),
              STATUS_ACCESS_DENIED);
    EXPECT_TRUE(port.seen.empty());
    EXPECT_EQ(
        reader
            .DeviceIoControl(CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_ANY_ACCESS))
            ->Status(),
        STATUS_SUCCESS);
    HANDLE stale = reader.Handle();
    reader.Close();
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(sim::NtFlushBuffersFile(stale, &iosb), STATUS_INVALID_HANDLE);
    sim::DeleteSimDevice(port.device);
}

// A device deleted with a file still open on it loses its name at once and its
// memory only after the file's close has reached its driver.
TEST_F(SimTest, ADeviceDeletedWhileOpenStillGetsTheCleanupAndCloseOfItsFile) {
    TestPort port(u"\\Device\\FilePort0", u"");
    File file = OpenOrFail(u"\\Device\\FilePort0");
    sim::DeleteSimDevice(port.device);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_FALSE(File::Open(u"\\Device\\FilePort0", &status).IsOpen());
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(file.Write({1})->Status(), STATUS_SUCCESS) << "the handle still works";
    file.Close();
    EXPECT_EQ(port.Majors(),
              (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_WRITE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

}  // namespace
