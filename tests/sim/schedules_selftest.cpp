// The concurrency policies earn their keep: a small driver with a classic race
// between its data path and its cancel routine finishes one transfer twice
// under some PCT schedules within the seeds CI runs, and never under Eager.
#include "tests/support/sim_fixture.h"

namespace {

using sim::kMillisecond;

// The driver's own record of the transfer behind a read: finished exactly once,
// by the data path or by the read's cancel routine.
struct Transfer {
    volatile LONG finished = 0;
};

// Both parties are wrong the way real drivers are: each reads the port's
// current transfer, finishes it, and only then clears the field, instead of
// claiming it with one interlocked exchange.
struct RacyPort {
    Transfer* volatile current = nullptr;
    KDPC dataDone;
};
RacyPort* g_port = nullptr;

void FinishCurrent() {
    Transfer* transfer = g_port->current;
    if (!transfer) return;
    InterlockedIncrement(&transfer->finished);
    g_port->current = nullptr;
}

VOID NTAPI RacyCancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    FinishCurrent();
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID NTAPI RacyDataDone(PKDPC, PVOID, PVOID, PVOID) { FinishCurrent(); }

NTSTATUS NTAPI RacyRead(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, RacyCancel);
    return STATUS_PENDING;
}

NTSTATUS NTAPI RacyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_READ] = RacyRead;
    return STATUS_SUCCESS;
}

// A read waits on a transfer; at one instant the transfer's data arrives (a
// DPC) and an application thread cancels the read. Answers how many times the
// transfer was finished.
LONG Finishes(sim::Policy policy, uint64_t seed) {
    sim::Simulation sim;
    sim.SetPolicy(policy, seed);
    RacyPort port;
    Transfer transfer;
    g_port = &port;
    port.current = &transfer;
    KeInitializeDpc(&port.dataDone, RacyDataDone, nullptr);
    NTSTATUS status;
    PDRIVER_OBJECT driver = sim::LoadDriver(RacyEntry, u"racy", &status);
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    device->Flags &= ~DO_DEVICE_INITIALIZING;

    sim::IrpSetup read;
    read.major = IRP_MJ_READ;
    read.outputLength = 1;
    sim::IrpHandle request = sim::SendIrp(device, read);
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    int canceller = sim.CreateThread("application thread", [&] {
        KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
        sim::CancelIrp(request);
    });
    sim.Schedule(kMillisecond, "data arrives as the application cancels", [&] {
        KeInsertQueueDpc(&port.dataDone, nullptr, nullptr);
        KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    });
    sim.RunUntil([&] { return sim.ThreadFinished(canceller) && request->completed; }, 10 * kMillisecond);
    sim.RunUntilIdle();
    EXPECT_TRUE(request->completed);
    IoDeleteDevice(device);
    sim::UnloadDriver(driver);
    g_port = nullptr;
    return transfer.finished;
}

TEST(ScheduleSelfTest, PctFindsTheRaceEagerNeverShows) {
    EXPECT_EQ(Finishes(sim::Policy::Eager, 0), 1) << "one processor, run until wait: no interleaving";
    int found = 0;
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        LONG finishes = Finishes(sim::Policy::Pct, seed);
        EXPECT_GE(finishes, 1);
        found += finishes > 1;
    }
    EXPECT_GT(found, 0) << "no PCT seed of the twenty interleaved the cancel routine and the data path";
    std::printf("PCT finished the transfer twice under %d of 20 seeds\n", found);
}

}  // namespace
