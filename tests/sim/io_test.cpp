// The simulated I/O manager: completion in stack order with the invoke flags,
// STATUS_MORE_PROCESSING_REQUIRED, pending propagation, cancellation, IRPs built
// for a caller, and names.
#include "tests/support/sim_fixture.h"

#include <string>
#include <vector>

namespace {

using simtest::SimTest;
using simtest::TwoDeviceStack;

struct CompletionLog {
    std::vector<std::string> calls;
    std::vector<PDEVICE_OBJECT> devices;
    NTSTATUS answer = STATUS_SUCCESS;
};

NTSTATUS NTAPI LoggingCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* log = static_cast<CompletionLog*>(context);
    log->calls.push_back("completion");
    log->devices.push_back(device);
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return log->answer;
}

IRP* g_parked = nullptr;

TEST_F(SimTest, CompletionRoutinesRunUpwardWithTheirDeviceAndInvokeFlags) {
    TwoDeviceStack stack;
    for (NTSTATUS final : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}) {
        CompletionLog log;
        sim::SetSimDispatch(stack.lowerDriver, IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
            irp->IoStatus.Status = final;
            IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
            return final;
        });
        sim::SetSimDispatch(stack.upperDriver, IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            // Only on success: an error completion must skip it.
            IoSetCompletionRoutine(irp, LoggingCompletion, &log, TRUE, FALSE, FALSE);
            return IoCallDriver(stack.lower, irp);
        });
        sim::IrpSetup request;
        request.major = IRP_MJ_READ;
        auto r = sim::SendIrp(stack.upper, request);
        ASSERT_TRUE(r->completed);
        EXPECT_EQ(r->status, final);
        EXPECT_EQ(r->boost, IO_SERIAL_INCREMENT);
        if (final == STATUS_SUCCESS) {
            ASSERT_EQ(log.calls.size(), 1u);
            EXPECT_EQ(log.devices[0], stack.upper) << "the routine gets the device that set it";
        } else {
            EXPECT_TRUE(log.calls.empty());
        }
    }
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
}

TEST_F(SimTest, MoreProcessingRequiredStopsCompletionUntilTheOwnerCompletesAgain) {
    TwoDeviceStack stack;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    sim::SetSimDispatch(stack.lowerDriver, IRP_MJ_PNP, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    sim::SetSimDispatch(stack.upperDriver, IRP_MJ_PNP, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP, PVOID ctx) NTAPI -> NTSTATUS {
                KeSetEvent(static_cast<PKEVENT>(ctx), 0, FALSE);
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            &event, TRUE, TRUE, TRUE);
        IoCallDriver(stack.lower, irp);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        // Back in our hands: the top has not seen a completion yet.
        irp->IoStatus.Information = 42;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    sim::IrpSetup request;
    request.major = IRP_MJ_PNP;
    auto r = sim::SendIrp(stack.upper, request);
    ASSERT_TRUE(r->completed);
    EXPECT_EQ(r->information, 42u);
}

TEST_F(SimTest, PendingReturnedPropagatesToTheTop) {
    TwoDeviceStack stack;
    sim::SetSimDispatch(stack.lowerDriver, IRP_MJ_WRITE, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
        IoMarkIrpPending(irp);
        g_parked = irp;
        return STATUS_PENDING;
    });
    sim::SetSimDispatch(stack.upperDriver, IRP_MJ_WRITE, [&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(stack.lower, irp);
    });
    sim::IrpSetup request;
    request.major = IRP_MJ_WRITE;
    auto r = sim::SendIrp(stack.upper, request);
    EXPECT_EQ(r->returned, STATUS_PENDING);
    EXPECT_FALSE(r->completed);
    sim_.Schedule(5 * sim::kMillisecond, "lower completes", [] {
        g_parked->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(g_parked, IO_NO_INCREMENT);
    });
    sim_.RunFor(10 * sim::kMillisecond);
    ASSERT_TRUE(r->completed);
    EXPECT_TRUE(r->pendingReturned);
}

// A queue of one with a cancel routine and a DPC that completes it: the two
// race, and the Held policy decides who wins.
struct OneSlot {
    PIRP irp = nullptr;
    KDPC dpc;
};
OneSlot g_slot;

VOID NTAPI SlotCancel(PDEVICE_OBJECT, PIRP irp) {
    g_slot.irp = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
}

VOID NTAPI SlotCompleteDpc(PKDPC, PVOID, PVOID, PVOID) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = g_slot.irp;
    // Whoever clears the cancel routine owns the request.
    if (!irp || !IoSetCancelRoutine(irp, nullptr)) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    g_slot.irp = nullptr;
    IoReleaseCancelSpinLock(irql);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 1;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
}

TEST_F(SimTest, CancelRacesACompletingDpcInTheOrderTheTestChooses) {
    sim_.SetPolicy(sim::Policy::Held);
    sim::SimDriver* driver = sim::CreateSimDriver("slot");
    PDEVICE_OBJECT dev = sim::CreateSimDevice(driver, u"", 0);
    KeInitializeDpc(&g_slot.dpc, SlotCompleteDpc, nullptr);
    sim::SetSimDispatch(driver, IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoMarkIrpPending(irp);
        g_slot.irp = irp;
        IoSetCancelRoutine(irp, SlotCancel);
        IoReleaseCancelSpinLock(irql);
        KeInsertQueueDpc(&g_slot.dpc, nullptr, nullptr);
        return STATUS_PENDING;
    });
    sim::IrpSetup request;
    request.major = IRP_MJ_READ;
    request.outputLength = 1;

    // Cancel first: the cancel routine completes it; the DPC then finds nothing.
    auto first = sim::SendIrp(dev, request);
    ASSERT_EQ(sim_.Held().size(), 1u);
    EXPECT_TRUE(sim::CancelIrp(first));
    EXPECT_TRUE(first->completed);
    EXPECT_EQ(first->status, STATUS_CANCELLED);
    sim_.ReleaseAll();

    // The DPC first: it completes; a cancel afterwards has nothing to do.
    auto second = sim::SendIrp(dev, request);
    sim_.ReleaseAll();
    ASSERT_TRUE(second->completed);
    EXPECT_EQ(second->status, STATUS_SUCCESS);
    EXPECT_EQ(second->information, 1u);
    EXPECT_FALSE(sim::CancelIrp(second));
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
    sim::DeleteSimDevice(dev);
}

TEST_F(SimTest, CancelWithoutARoutineOnlySetsTheFlag) {
    sim::SimDriver* driver = sim::CreateSimDriver("parking");
    PDEVICE_OBJECT dev = sim::CreateSimDevice(driver, u"", 0);
    sim::SetSimDispatch(driver, IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
        IoMarkIrpPending(irp);
        g_parked = irp;
        return STATUS_PENDING;
    });
    sim::IrpSetup request;
    request.major = IRP_MJ_READ;
    auto r = sim::SendIrp(dev, request);
    EXPECT_FALSE(sim::CancelIrp(r));
    EXPECT_TRUE(g_parked->Cancel);
    g_parked->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(g_parked, IO_NO_INCREMENT);
    EXPECT_TRUE(r->completed);
    sim::DeleteSimDevice(dev);
}

TEST_F(SimTest, BuiltDeviceControlSignalsItsEventAndIsFreedByTheIoManager) {
    sim::SimDriver* driver = sim::CreateSimDriver("answering");
    PDEVICE_OBJECT dev = sim::CreateSimDevice(driver, u"", 0);
    sim::SetSimDispatch(driver, IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
        auto* buffer = static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer);
        *buffer = *buffer * 2;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = sizeof(ULONG);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    ULONG in = 21, out = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(0x22200C, dev, &in, sizeof in, &out, sizeof out, FALSE,
                                             &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(dev, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, sizeof(ULONG));
    EXPECT_EQ(out, 42u);
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
    sim::DeleteSimDevice(dev);
}

TEST_F(SimTest, AllocatedIrpIsTheDriversToFree) {
    TwoDeviceStack stack;
    sim::SetSimDispatch(stack.lowerDriver, IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    PIRP irp = IoAllocateIrp(stack.lower->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT device, PIRP irp, PVOID) NTAPI -> NTSTATUS {
            EXPECT_EQ(device, nullptr) << "no stack location of ours above it";
            IoFreeIrp(irp);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(stack.lower, irp), STATUS_SUCCESS);
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
}

TEST_F(SimTest, BufferedDeviceControlWithoutBuffersHasNoSystemBuffer) {
    sim::SimDriver* driver = sim::CreateSimDriver("answering");
    PDEVICE_OBJECT dev = sim::CreateSimDevice(driver, u"", 0);
    PVOID seen = reinterpret_cast<PVOID>(1);
    sim::SetSimDispatch(driver, IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        seen = irp->AssociatedIrp.SystemBuffer;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    sim::DeviceIoControl(dev, 0x1B002C, {}, 0);
    EXPECT_EQ(seen, nullptr);
    sim::DeleteSimDevice(dev);
}

TEST_F(SimTest, NamesCollideAndSymbolicLinksLeadToTheDevice) {
    auto driver = sim::CreateSimDriver("named");
    PDRIVER_OBJECT object = sim::DriverObjectOf(driver);
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, u"\\Device\\Thing7");
    RtlInitUnicodeString(&link, u"\\DosDevices\\THING7");
    PDEVICE_OBJECT dev = nullptr, again = nullptr;
    ASSERT_EQ(IoCreateDevice(object, 16, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &dev), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateDevice(object, 16, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &again),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(again, nullptr);
    EXPECT_TRUE(dev->Flags & DO_EXCLUSIVE);
    EXPECT_TRUE(dev->Flags & DO_DEVICE_INITIALIZING);
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(sim::LookupDevice(u"\\dosdevices\\thing7"), dev);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(sim::LookupDevice(u"\\DosDevices\\THING7"), nullptr);
    sim::FailNthDeviceCreation(1, STATUS_INSUFFICIENT_RESOURCES);
    UNICODE_STRING other;
    RtlInitUnicodeString(&other, u"\\Device\\Thing8");
    EXPECT_EQ(IoCreateDevice(object, 0, &other, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &again),
              STATUS_INSUFFICIENT_RESOURCES);
    IoDeleteDevice(dev);
    EXPECT_EQ(sim::LookupDevice(u"\\Device\\Thing7"), nullptr);
}

}  // namespace

namespace {

// What a lower driver does with a built request in each case below.
enum class LowerAnswer { Success, ErrorAtOnce, WarningAtOnce, ErrorLater };

TEST_F(SimTest, BuiltRequestReportsThroughEventAndStatusBlockUnlessAnErrorComesBackAtOnce) {
    sim::SimDriver* driver = sim::CreateSimDriver("answering");
    PDEVICE_OBJECT dev = sim::CreateSimDevice(driver, u"", 0);
    LowerAnswer answer = LowerAnswer::Success;
    PIRP parked = nullptr;
    sim::SetSimDispatch(driver, IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        NTSTATUS status = STATUS_SUCCESS;
        switch (answer) {
            case LowerAnswer::Success: status = STATUS_SUCCESS; break;
            case LowerAnswer::ErrorAtOnce: status = STATUS_UNSUCCESSFUL; break;
            case LowerAnswer::WarningAtOnce: status = STATUS_BUFFER_OVERFLOW; break;
            case LowerAnswer::ErrorLater:
                IoMarkIrpPending(irp);
                parked = irp;
                return STATUS_PENDING;
        }
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 3;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    });
    struct Case {
        LowerAnswer answer;
        NTSTATUS returned;
        bool signalled;
        NTSTATUS blockStatus;  // what the status block holds afterwards
    };
    constexpr NTSTATUS kUntouched = 0x1234;
    const Case cases[] = {
        {LowerAnswer::Success, STATUS_SUCCESS, true, STATUS_SUCCESS},
        {LowerAnswer::WarningAtOnce, STATUS_BUFFER_OVERFLOW, true, STATUS_BUFFER_OVERFLOW},
        // The caller learns a synchronous error from IoCallDriver alone.
        {LowerAnswer::ErrorAtOnce, STATUS_UNSUCCESSFUL, false, kUntouched},
        // Pended first, the same error reaches the event and the block.
        {LowerAnswer::ErrorLater, STATUS_PENDING, true, STATUS_UNSUCCESSFUL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.answer));
        answer = c.answer;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        iosb.Status = kUntouched;
        iosb.Information = 99;
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, dev, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(IoCallDriver(dev, irp), c.returned);
        if (parked) {
            parked->IoStatus.Status = STATUS_UNSUCCESSFUL;
            parked->IoStatus.Information = 3;
            IoCompleteRequest(parked, IO_NO_INCREMENT);
            parked = nullptr;
        }
        EXPECT_EQ(KeReadStateEvent(&event), c.signalled ? 1 : 0);
        EXPECT_EQ(iosb.Status, c.blockStatus);
        EXPECT_EQ(iosb.Information, c.signalled ? 3u : 99u);
    }
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
    sim::DeleteSimDevice(dev);
}

struct SeenBelow {
    UCHAR major, minor, flags, control;
    PVOID arguments[4];
    PFILE_OBJECT fileObject;
    PDEVICE_OBJECT device;
};

NTSTATUS NTAPI LookBelow(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    PIO_STACK_LOCATION below = IoGetNextIrpStackLocation(irp);
    auto* seen = static_cast<SeenBelow*>(context);
    *seen = {below->MajorFunction,
             below->MinorFunction,
             below->Flags,
             below->Control,
             {below->Parameters.Others.Argument1, below->Parameters.Others.Argument2,
              below->Parameters.Others.Argument3, below->Parameters.Others.Argument4},
             below->FileObject,
             below->DeviceObject};
    return STATUS_SUCCESS;
}

TEST_F(SimTest, CompletionClearsTheStackLocationItLeaves) {
    TwoDeviceStack stack;
    sim::SetSimDispatch(stack.lowerDriver, IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    static int urb, second, third, fourth;
    FILE_OBJECT file{};
    SeenBelow seen{};
    sim::SetSimDispatch(stack.upperDriver, IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MinorFunction = 7;
        next->Flags = 0x21;
        next->FileObject = &file;
        next->Parameters.Others.Argument1 = &urb;
        next->Parameters.Others.Argument2 = &second;
        next->Parameters.Others.Argument3 = &third;
        next->Parameters.Others.Argument4 = &fourth;
        IoSetCompletionRoutine(irp, LookBelow, &seen, TRUE, TRUE, TRUE);
        return IoCallDriver(stack.lower, irp);
    });
    sim::IrpSetup request;
    request.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    auto r = sim::SendIrp(stack.upper, request);
    ASSERT_TRUE(r->completed);
    // A completion routine that looks for "its" URB in the lower location finds
    // nothing: only the major function, the fourth argument and the device stay.
    EXPECT_EQ(seen.major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(seen.minor, 0);
    EXPECT_EQ(seen.flags, 0);
    EXPECT_EQ(seen.control, 0) << "the invoke and pending bits go too";
    EXPECT_EQ(seen.arguments[0], nullptr);
    EXPECT_EQ(seen.arguments[1], nullptr);
    EXPECT_EQ(seen.arguments[2], nullptr);
    EXPECT_EQ(seen.arguments[3], &fourth);
    EXPECT_EQ(seen.fileObject, nullptr);
    EXPECT_EQ(seen.device, stack.lower);
}

// A read that writes two bytes and claims four: what the caller reads back
// beyond the two is whatever its buffer held, never zeroes made up on the way.
TEST_F(SimTest, ReadsAndWritesReachTheDriverAsItsDeviceObjectAsks) {
    struct Method {
        const char* name;
        ULONG flags;
    };
    for (const Method& m : {Method{"buffered", DO_BUFFERED_IO}, Method{"direct", DO_DIRECT_IO},
                            Method{"neither", 0}}) {
        SCOPED_TRACE(m.name);
        sim::SimDriver* driver = sim::CreateSimDriver("transfers");
        PDEVICE_OBJECT dev = sim::CreateSimDevice(driver, u"", 0);
        dev->Flags |= m.flags;
        std::vector<uint8_t> written;
        auto buffer = [&](PIRP irp) -> uint8_t* {
            if (m.flags & DO_BUFFERED_IO) {
                EXPECT_EQ(irp->MdlAddress, nullptr);
                return static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
            }
            if (m.flags & DO_DIRECT_IO) {
                EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
                EXPECT_NE(irp->MdlAddress, nullptr);
                return static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
            }
            EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
            EXPECT_EQ(irp->MdlAddress, nullptr);
            return static_cast<uint8_t*>(irp->UserBuffer);
        };
        sim::SetSimDispatch(driver, IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
            uint8_t* p = buffer(irp);
            p[0] = 'O';
            p[1] = 'K';
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 4;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        });
        sim::SetSimDispatch(driver, IRP_MJ_WRITE, [&](PDEVICE_OBJECT, PIRP irp) {
            const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
            uint8_t* p = buffer(irp);
            written.assign(p, p + length);
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = length;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        });
        sim::IrpSetup read;
        read.major = IRP_MJ_READ;
        read.outputLength = 8;
        auto r = sim::SendIrp(dev, read);
        ASSERT_TRUE(r->completed);
        EXPECT_EQ(r->output, (std::vector<uint8_t>{'O', 'K', 0xCD, 0xCD}));
        sim::IrpSetup write;
        write.major = IRP_MJ_WRITE;
        write.input = {1, 2, 3};
        auto w = sim::SendIrp(dev, write);
        ASSERT_TRUE(w->completed);
        EXPECT_EQ(written, (std::vector<uint8_t>{1, 2, 3}));
        sim::DeleteSimDevice(dev);
    }
}

TEST_F(SimTest, DeviceControlsReachTheDriverAsTheirMethodSays) {
    sim::SimDriver* driver = sim::CreateSimDriver("controls");
    PDEVICE_OBJECT dev = sim::CreateSimDevice(driver, u"", 0);
    std::vector<uint8_t> input;
    sim::SetSimDispatch(driver, IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        const ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
        uint8_t* out = nullptr;
        switch (sp->Parameters.DeviceIoControl.IoControlCode & 3) {
            case METHOD_BUFFERED:
                input.assign(static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer),
                             static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer) + in);
                out = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
                break;
            case METHOD_IN_DIRECT:
            case METHOD_OUT_DIRECT:
                input.assign(static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer),
                             static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer) + in);
                EXPECT_EQ(MmGetMdlByteCount(irp->MdlAddress), sp->Parameters.DeviceIoControl.OutputBufferLength);
                out = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
                break;
            default:
                input.assign(static_cast<uint8_t*>(sp->Parameters.DeviceIoControl.Type3InputBuffer),
                             static_cast<uint8_t*>(sp->Parameters.DeviceIoControl.Type3InputBuffer) + in);
                out = static_cast<uint8_t*>(irp->UserBuffer);
                break;
        }
        out[0] = 0x5A;  // one byte written, three claimed
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 3;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    for (ULONG method : {METHOD_BUFFERED, METHOD_OUT_DIRECT, METHOD_NEITHER}) {
        SCOPED_TRACE(method);
        const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, method, FILE_ANY_ACCESS);
        input.clear();
        auto r = sim::DeviceIoControl(dev, code, {7, 8}, 6);
        ASSERT_TRUE(r->completed);
        EXPECT_EQ(input, (std::vector<uint8_t>{7, 8}));
        // Beyond the byte the driver wrote the caller reads what the buffer
        // held: in the shared system buffer the input, then bytes never set.
        const std::vector<uint8_t> expected = method == METHOD_BUFFERED ? std::vector<uint8_t>{0x5A, 8, 0xCD}
                                                                        : std::vector<uint8_t>{0x5A, 0xCD, 0xCD};
        EXPECT_EQ(r->output, expected) << "the bytes the driver did not write are not zeroes";
    }
    // A built direct-I/O request describes the caller's own buffer with its MDL.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    uint8_t in[2] = {7, 8};
    uint8_t out[4] = {1, 1, 1, 1};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_OUT_DIRECT, FILE_ANY_ACCESS),
                                             dev, in, sizeof in, out, sizeof out, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(dev, irp), STATUS_SUCCESS);
    EXPECT_EQ(input, (std::vector<uint8_t>{7, 8}));
    EXPECT_EQ(out[0], 0x5A);
    EXPECT_EQ(out[1], 1) << "the caller's buffer is used in place";
    sim::DeleteSimDevice(dev);
}

NTSTATUS NTAPI EntryWithADevice(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    PDEVICE_OBJECT control = nullptr;
    return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &control);
}

TEST_F(SimTest, ADeviceStillInitializingCannotBeOpenedOrAttachedTo) {
    sim::SimDriver* driver = sim::CreateSimDriver("initializing");
    PDEVICE_OBJECT dev = nullptr;
    ASSERT_EQ(IoCreateDevice(sim::DriverObjectOf(driver), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev),
              STATUS_SUCCESS);
    int opens = 0;
    sim::SetSimDispatch(driver, IRP_MJ_CREATE, [&](PDEVICE_OBJECT, PIRP irp) {
        ++opens;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    PDEVICE_OBJECT filter = sim::CreateSimDevice(sim::CreateSimDriver("filter"), u"", 0);
    sim::IrpSetup open;
    open.major = IRP_MJ_CREATE;
    auto refused = sim::SendIrp(dev, open);
    EXPECT_TRUE(refused->completed);
    EXPECT_EQ(refused->status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(opens, 0) << "the driver never sees the open";
    EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, dev), nullptr);
    EXPECT_EQ(dev->AttachedDevice, nullptr);

    dev->Flags &= ~DO_DEVICE_INITIALIZING;
    EXPECT_EQ(sim::SendIrp(dev, open)->status, STATUS_SUCCESS);
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, dev), dev);
    IoDetachDevice(dev);
    sim::DeleteSimDevice(filter);
    IoDeleteDevice(dev);

    // Devices made in DriverEntry are ready once it returns.
    NTSTATUS status;
    PDRIVER_OBJECT loaded = sim::LoadDriver(EntryWithADevice, u"withdevice", &status);
    ASSERT_NE(loaded, nullptr);
    ASSERT_NE(loaded->DeviceObject, nullptr);
    EXPECT_FALSE(loaded->DeviceObject->Flags & DO_DEVICE_INITIALIZING);
    IoDeleteDevice(loaded->DeviceObject);
    sim::UnloadDriver(loaded);
}

}  // namespace
