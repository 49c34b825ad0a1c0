// The port as a file: one open at a time, the ring open allocates (and what it
// settles for when memory is short), close with work still pending, purge,
// flush, file information, and the adapter pulled out while a handle is open.
#include "tests/support/open_port.h"

#include <sim/pool.h>

#include <functional>

namespace {

using sim::kMillisecond;
using sim::kSecond;
using simtest::OpenPortTest;

constexpr ULONG kMax = MAXULONG;

class FileRequestsTest : public OpenPortTest {
  protected:
    NTSTATUS Purge(ULONG mask) { return Control(IOCTL_SERIAL_PURGE, sim::Bytes(mask)); }
    sim::FileRequestHandle WaitOn(ULONG mask) {
        EXPECT_EQ(Control(IOCTL_SERIAL_SET_WAIT_MASK, sim::Bytes(mask)), STATUS_SUCCESS);
        return file().DeviceIoControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    }
};

TEST_F(FileRequestsTest, ASecondOpenIsRefusedByAnyNameAndTheFirstHandleKeepsWorking) {
    Open();
    const std::u16string deviceName(port()->DeviceName.Buffer, port()->DeviceName.Length / sizeof(WCHAR));
    for (const std::u16string& name : {std::u16string(u"\\\\.\\COM3"), deviceName}) {
        NTSTATUS status;
        sim::File second = sim::File::Open(name, &status, sim::OverlappedOpen());
        EXPECT_EQ(status, STATUS_ACCESS_DENIED);
        EXPECT_FALSE(second.IsOpen());
    }
    EXPECT_EQ(port()->OpenCount, 1);
    ASSERT_EQ(SetTimeouts(kMax, 0, 0), STATUS_SUCCESS);
    Receive("still mine");
    sim_.RunFor(10 * kMillisecond);
    auto r = file().Read(20);
    ASSERT_TRUE(RunUntilCompleted(r));
    EXPECT_EQ(Text(r->Output()), "still mine");

    // Closed, the port opens again with fresh per-open state.
    Close();
    EXPECT_EQ(port()->OpenCount, 0);
    EXPECT_EQ(port()->ReceiveBuffer, nullptr);
    // A port is no directory: that open is refused and leaves the port free.
    NTSTATUS status;
    sim::CreateParameters directory = sim::OverlappedOpen();
    directory.options = (directory.options & ~FILE_NON_DIRECTORY_FILE) | FILE_DIRECTORY_FILE;
    sim::File asDirectory = sim::File::Open(u"\\\\.\\COM3", &status, directory);
    EXPECT_EQ(status, STATUS_NOT_A_DIRECTORY);
    EXPECT_FALSE(asDirectory.IsOpen());
    EXPECT_EQ(port()->OpenCount, 0);
    EXPECT_EQ(port()->ReceiveBuffer, nullptr);
    file_ = sim::File::Open(u"\\\\.\\COM3", &status, sim::OverlappedOpen());
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(port()->WaitMask, 0u);
    EXPECT_EQ(port()->CharsInBuffer, 0u);
}

// Each allocation an open makes fails in turn: the open either fails and leaves
// nothing behind, so that the next open succeeds, or succeeds with a ring the
// size table allows, the largest it could get.
TEST_F(FileRequestsTest, AnOpenShortOfMemoryFailsCleanlyOrSettlesForASmallerRing) {
    sim_.SetSystemSize(MmLargeSystem);
    Open();
    Close();
    const size_t blocksBefore = sim::PoolBlocksWithTag(simtest::kComxTag);
    bool sawFallback = false, sawFailure = false;
    for (uint64_t n = 1; n <= 40; ++n) {
        SCOPED_TRACE(n);
        sim::FailNthPoolAllocation(n);
        NTSTATUS status;
        sim::File f = sim::File::Open(u"\\\\.\\COM3", &status, sim::OverlappedOpen());
        sim::ClearPoolFaults();
        sim_.RunUntilIdle();
        if (NT_SUCCESS(status)) {
            EXPECT_TRUE(port()->ReceiveBufferSize == 4096 || port()->ReceiveBufferSize == 1024)
                << port()->ReceiveBufferSize;
            sawFallback |= port()->ReceiveBufferSize == 1024;
            EXPECT_EQ(port()->HandFlow.XoffLimit, static_cast<LONG>(port()->ReceiveBufferSize / 8));
            EXPECT_EQ(f.Close(), STATUS_SUCCESS);
            sim_.RunFor(kSecond);
        } else {
            sawFailure = true;
            EXPECT_FALSE(f.IsOpen());
            EXPECT_EQ(port()->OpenCount, 0);
            EXPECT_EQ(port()->ReceiveBuffer, nullptr);
        }
        EXPECT_EQ(sim::PoolBlocksWithTag(simtest::kComxTag), blocksBefore);
    }
    EXPECT_TRUE(sawFallback);
    EXPECT_TRUE(sawFailure);
    // No ring of any size to be had: the open fails, nothing kept.
    NTSTATUS status;
    sim::FailPoolAllocationsWithTag(simtest::kComxTag);
    sim::File starved = sim::File::Open(u"\\\\.\\COM3", &status, sim::OverlappedOpen());
    sim::ClearPoolFaults();
    sim_.RunUntilIdle();
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(starved.IsOpen());
    EXPECT_EQ(port()->OpenCount, 0);
    EXPECT_EQ(sim::PoolBlocksWithTag(simtest::kComxTag), blocksBefore);
    file_ = sim::File::Open(u"\\\\.\\COM3", &status, sim::OverlappedOpen());
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(port()->ReceiveBufferSize, 4096u);
}

// The driver's own dispatch routine for the major function being tried, called
// with the request already marked cancelled, as when CancelIoEx on another
// processor reaches a request before the driver has seen it.
PDRIVER_DISPATCH g_realDispatch = nullptr;
NTSTATUS NTAPI DispatchCancelled(PDEVICE_OBJECT device, PIRP irp) {
    irp->Cancel = TRUE;
    return g_realDispatch(device, irp);
}

TEST_F(FileRequestsTest, ARequestCancelledBeforeTheDriverSawItEndsCancelledWithNothingKept) {
    Open();
    ASSERT_EQ(SetTimeouts(0, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_WAIT_MASK, sim::Bytes(ULONG{SERIAL_EV_RXCHAR})), STATUS_SUCCESS);
    const size_t blocksBefore = sim::PoolBlocksWithTag(simtest::kComxTag);
    const ULONG ringBefore = port()->ReceiveBufferSize;
    SERIAL_XOFF_COUNTER counter{};
    counter.Counter = 5;
    counter.XoffChar = 0x13;
    SERIAL_QUEUE_SIZE queue{8192, 8192};
    struct Case {
        const char* what;
        UCHAR major;
        std::function<sim::FileRequestHandle()> send;
        bool behindRead = false;  // sent while a read waits
    };
    const Case cases[] = {
        {"read", IRP_MJ_READ, [&] { return file().Read(16); }},
        {"write", IRP_MJ_WRITE, [&] { return file().Write({'w'}); }},
        {"wait", IRP_MJ_DEVICE_CONTROL,
         [&] { return file().DeviceIoControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)); }},
        {"immediate character", IRP_MJ_DEVICE_CONTROL,
         [&] { return file().DeviceIoControl(IOCTL_SERIAL_IMMEDIATE_CHAR, {'i'}); }},
        {"XOFF counter", IRP_MJ_DEVICE_CONTROL,
         [&] { return file().DeviceIoControl(IOCTL_SERIAL_XOFF_COUNTER, sim::Bytes(counter)); }},
        // Behind a read that waits (alone it is done at once, cancelled or not):
        // the ring allocated for it goes too.
        {"queue size behind a read", IRP_MJ_DEVICE_CONTROL,
         [&] { return file().DeviceIoControl(IOCTL_SERIAL_SET_QUEUE_SIZE, sim::Bytes(queue)); }, true},
    };
    PDRIVER_OBJECT driver = port()->DeviceObject->DriverObject;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::FileRequestHandle waitingRead = c.behindRead ? file().Read(16) : nullptr;
        sim_.RunFor(kMillisecond);
        g_realDispatch = driver->MajorFunction[c.major];
        driver->MajorFunction[c.major] = DispatchCancelled;
        auto r = c.send();
        driver->MajorFunction[c.major] = g_realDispatch;
        ASSERT_TRUE(RunUntilCompleted(r, sim::kSecond));
        EXPECT_EQ(r->Status(), STATUS_CANCELLED);
        EXPECT_EQ(r->Information(), 0u);
        if (waitingRead) {
            EXPECT_FALSE(waitingRead->Completed());
            file().CancelIoEx(waitingRead);
            ASSERT_TRUE(RunUntilCompleted(waitingRead, sim::kSecond));
        }
        sim_.RunFor(100 * kMillisecond);
        EXPECT_EQ(port()->TotalCharsQueued, 0u);
        EXPECT_EQ(port()->DeferredWorkCount, 1);
        EXPECT_EQ(sim::PoolBlocksWithTag(simtest::kComxTag), blocksBefore) << "nothing kept";
    }
    EXPECT_EQ(port()->ReceiveBufferSize, ringBefore) << "the cancelled resize changed nothing";
    // The port goes on as before.
    Receive("ok");
    sim_.RunFor(10 * kMillisecond);
    auto r = file().Read(2);
    ASSERT_TRUE(RunUntilCompleted(r, sim::kSecond));
    EXPECT_EQ(Text(r->Output()), "ok");
}

TEST_F(FileRequestsTest, ClosingWithRequestsPendingCancelsThemAndDropsTheLines) {
    Open();
    auto read = file().Read(10);
    auto wait = WaitOn(SERIAL_EV_RXFLAG);
    Receive("abc");
    sim_.RunFor(10 * kMillisecond);
    ASSERT_FALSE(read->Completed());
    ASSERT_FALSE(wait->Completed());
    EXPECT_TRUE(chip().Lines().dtr);
    EXPECT_TRUE(chip().Lines().rts);

    EXPECT_EQ(file_.Close(), STATUS_SUCCESS);
    sim_.RunFor(kSecond);
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(read->Information(), 0u);
    EXPECT_EQ(wait->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(chip().Lines().dtr);
    EXPECT_FALSE(chip().Lines().rts);
    EXPECT_EQ(port()->OpenCount, 0);
    EXPECT_EQ(port()->DeviceIsOpen, 0);
    EXPECT_EQ(port()->PendingRequestCount, 1);
    EXPECT_EQ(port()->DeferredWorkCount, 1);
    // Bytes that arrive while closed go nowhere.
    Receive("late");
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(port()->CharsInBuffer, 0u);
}

TEST_F(FileRequestsTest, EachPurgeFlagDoesItsOwnPart) {
    Open();
    ASSERT_EQ(SetTimeouts(0, 0, 0), STATUS_SUCCESS);
    auto first = file().Read(10);
    auto second = file().Read(10);
    sim_.RunFor(5 * kMillisecond);

    // Clearing the ring leaves the reads alone.
    EXPECT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    EXPECT_FALSE(first->Completed());
    // Aborting reads ends them all, the one being filled with what it had.
    Receive("abc");
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(Purge(SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
    sim_.RunFor(5 * kMillisecond);
    EXPECT_EQ(first->Status(), STATUS_CANCELLED);
    EXPECT_EQ(second->Status(), STATUS_CANCELLED);

    // With no read waiting, bytes go to the ring; clearing it empties it and
    // lets a held sender go.
    ApplyHandFlow(port(), SERIAL_HANDFLOW{SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL, 0, 1023}, false);
    Receive("0123456789");
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(port()->CharsInBuffer, 10u);
    EXPECT_EQ(port()->RxHoldReasons, static_cast<ULONG>(RX_HOLD_DTR));
    EXPECT_FALSE(chip().Lines().dtr);
    EXPECT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    EXPECT_EQ(port()->CharsInBuffer, 0u);
    EXPECT_EQ(port()->RxHoldReasons, 0u);
    sim_.RunFor(5 * kMillisecond);
    EXPECT_TRUE(chip().Lines().dtr);

    // Nothing to purge, or bits that mean nothing: refused.
    EXPECT_EQ(Purge(0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Purge(0x10), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Control(IOCTL_SERIAL_PURGE, {1, 0}), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(FileRequestsTest, FileInformationIsAnEmptyFileAndOnlyItsSizeMayBeSet) {
    Open();
    auto standard = file().QueryInformation(FileStandardInformation, sizeof(FILE_STANDARD_INFORMATION));
    ASSERT_TRUE(RunUntilCompleted(standard));
    EXPECT_EQ(standard->Status(), STATUS_SUCCESS);
    EXPECT_EQ(standard->Output(), std::vector<uint8_t>(sizeof(FILE_STANDARD_INFORMATION), 0));
    auto position = file().QueryInformation(FilePositionInformation, sizeof(FILE_POSITION_INFORMATION));
    ASSERT_TRUE(RunUntilCompleted(position));
    EXPECT_EQ(position->Status(), STATUS_SUCCESS);
    EXPECT_EQ(position->Information(), sizeof(FILE_POSITION_INFORMATION));
    auto basic = file().QueryInformation(FileBasicInformation, sizeof(FILE_BASIC_INFORMATION));
    ASSERT_TRUE(RunUntilCompleted(basic));
    EXPECT_EQ(basic->Status(), STATUS_INVALID_PARAMETER);

    FILE_END_OF_FILE_INFORMATION end{};
    auto setEnd = file().SetInformation(FileEndOfFileInformation, sim::Bytes(end));
    ASSERT_TRUE(RunUntilCompleted(setEnd));
    EXPECT_EQ(setEnd->Status(), STATUS_SUCCESS);
    FILE_BASIC_INFORMATION times{};
    auto setBasic = file().SetInformation(FileBasicInformation, sim::Bytes(times));
    ASSERT_TRUE(RunUntilCompleted(setBasic));
    EXPECT_EQ(setBasic->Status(), STATUS_INVALID_PARAMETER);

    auto flush = file().Flush();
    ASSERT_TRUE(RunUntilCompleted(flush));
    EXPECT_EQ(flush->Status(), STATUS_SUCCESS);
}

TEST_F(FileRequestsTest, QueryStopAndQueryRemoveAreRefusedWhileOpen) {
    Open();
    EXPECT_EQ(adapter().Rebalance(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(port()->PnpState, Started);
    Close();
    EXPECT_EQ(adapter().Rebalance(), STATUS_SUCCESS);
    EXPECT_EQ(port()->PnpState, Started);
}

TEST_F(FileRequestsTest, PulledOutWhileOpenEveryRequestEndsAndTheHandleStillCloses) {
    Open();
    auto read = file().Read(10);
    auto wait = WaitOn(SERIAL_EV_CTS);
    sim_.RunFor(5 * kMillisecond);
    EXPECT_EQ(adapter().SurpriseRemove(), STATUS_PENDING) << "the removal waits for the handle";
    sim_.RunFor(kSecond);
    EXPECT_TRUE(read->Completed());
    EXPECT_NE(read->Status(), STATUS_SUCCESS);
    EXPECT_TRUE(wait->Completed());

    auto late = file().Read(1);
    ASSERT_TRUE(RunUntilCompleted(late));
    EXPECT_EQ(late->Status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(file_.Close(), STATUS_SUCCESS);
    sim_.RunFor(kSecond);
    EXPECT_FALSE(adapter().Present()) << "the removal finished once the handle closed";
}

}  // namespace
