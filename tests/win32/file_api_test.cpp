// kernel32's file functions on the port: the requests each one sends, what it
// answers on synchronous and overlapped handles, and its errors.
#include <windows.h>
#include <ntddser.h>

#include <gtest/gtest.h>

#include "bench.h"
#include "port.h"

namespace {

using w32test::Bench;
using w32test::BenchOptions;
using w32test::Wire;

constexpr uint8_t kCreate = 0x00, kClose = 0x02, kRead = 0x03, kWrite = 0x04, kFlush = 0x09,
                  kControl = 0x0E, kCleanup = 0x12;

std::vector<uint8_t> Majors(const Bench& bench) {
    std::vector<uint8_t> out;
    for (const auto& r : bench.Requests())
        out.push_back(r.major);
    return out;
}

HANDLE Open(const char* name, DWORD flags = 0) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                       nullptr);
}

// Opened and set up as an application does.
HANDLE OpenPort(DWORD flags = 0) {
    HANDLE h = Open("COM3", flags);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    w32test::Configure(h);
    return h;
}

void SetTimeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant) {
    COMMTIMEOUTS t{interval, multiplier, constant, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
}

TEST(Win32Files, OpenByEitherNameIsExclusiveAndCloseSendsCleanupThenClose) {
    Bench bench;
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = Open("COM3");
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
        // The port is exclusive: a second open is refused before the driver sees it.
        EXPECT_EQ(Open("\\\\.\\COM3"), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_EQ(Majors(bench), std::vector<uint8_t>{kCreate});
        ASSERT_TRUE(CloseHandle(h));
        EXPECT_EQ(Majors(bench), (std::vector<uint8_t>{kCreate, kCleanup, kClose}));
        // A closed handle is no handle.
        EXPECT_FALSE(CloseHandle(h));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

        h = CreateFileW(L"\\\\.\\com3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(CloseHandle(h));
    }));
}

TEST(Win32Files, NamesThatAreNoPortAndBadArgumentsAreRefused) {
    Bench bench;
    ASSERT_TRUE(bench.Run([&] {
        struct Case {
            const char* name;
            DWORD disposition;
            DWORD error;
        } cases[] = {
            {"COM9", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},       // no such device
            {"COM10", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},      // a file, without \\.\ before it
            {"\\\\.\\COM10", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
            {"C:\\data.txt", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
            {"COM3", 0, ERROR_INVALID_PARAMETER},                // no such disposition
            {"COM3", 6, ERROR_INVALID_PARAMETER},
        };
        for (const Case& c : cases) {
            SetLastError(0);
            EXPECT_EQ(CreateFileA(c.name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, c.disposition, 0,
                                  nullptr),
                      INVALID_HANDLE_VALUE)
                << c.name;
            EXPECT_EQ(GetLastError(), c.error) << c.name << " disposition " << c.disposition;
        }
        EXPECT_EQ(CreateFileA(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
        EXPECT_TRUE(bench.Requests().empty());
    }));
}

TEST(Win32Files, BlockingWriteAndReadOverTheLoopbackPlug) {
    Bench bench;
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = OpenPort();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        SetTimeouts(h, 0, 0, 1000);
        bench.ClearRequests();
        DWORD n = 99;
        ASSERT_TRUE(WriteFile(h, "abcdef", 6, &n, nullptr));
        EXPECT_EQ(n, 6u);
        char buffer[16] = {};
        ASSERT_TRUE(ReadFile(h, buffer, 6, &n, nullptr));
        EXPECT_EQ(n, 6u);
        EXPECT_EQ(std::string(buffer, n), "abcdef");
        const auto requests = bench.Requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0].major, kWrite);
        EXPECT_EQ(std::string(requests[0].input.begin(), requests[0].input.end()), "abcdef");
        EXPECT_EQ(requests[1].major, kRead);
        EXPECT_EQ(requests[1].length, 6u);
        // The count is where a blocking call's answer goes: without it, refused.
        EXPECT_FALSE(ReadFile(h, buffer, 1, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        CloseHandle(h);
    }));
}

TEST(Win32Files, ZeroLengthWriteReachesTheDriverAndSucceeds) {
    Bench bench;
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = Open("COM3");
        bench.ClearRequests();
        DWORD n = 99;
        EXPECT_TRUE(WriteFile(h, "", 0, &n, nullptr));
        EXPECT_EQ(n, 0u);
        ASSERT_EQ(bench.Requests().size(), 1u);
        EXPECT_EQ(bench.Requests()[0].major, kWrite);
        EXPECT_EQ(bench.Requests()[0].length, 0u);
        EXPECT_TRUE(FlushFileBuffers(h));
        EXPECT_EQ(bench.Requests().back().major, kFlush);
        CloseHandle(h);
    }));
}

TEST(Win32Files, ReadTimeoutsRunInVirtualTime) {
    Bench bench;
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = OpenPort();
        char buffer[16];
        DWORD n = 99;
        // A total time-out with nothing arriving: success, nothing read, after it.
        SetTimeouts(h, 0, 0, 500);
        int64_t start = bench.NowMs();
        ASSERT_TRUE(ReadFile(h, buffer, 10, &n, nullptr));
        EXPECT_EQ(n, 0u);
        EXPECT_GE(bench.NowMs() - start, 500);
        EXPECT_LT(bench.NowMs() - start, 520);
        // The multiplier counts per byte asked for.
        SetTimeouts(h, 0, 20, 100);
        start = bench.NowMs();
        ASSERT_TRUE(ReadFile(h, buffer, 10, &n, nullptr));
        EXPECT_GE(bench.NowMs() - start, 300);
        EXPECT_LT(bench.NowMs() - start, 320);
        // MAXDWORD interval and no totals: what is there, at once.
        SetTimeouts(h, MAXDWORD, 0, 0);
        start = bench.NowMs();
        ASSERT_TRUE(ReadFile(h, buffer, 10, &n, nullptr));
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(bench.NowMs(), start);
        ASSERT_TRUE(WriteFile(h, "xyz", 3, &n, nullptr));
        Sleep(50);
        ASSERT_TRUE(ReadFile(h, buffer, 10, &n, nullptr));
        EXPECT_EQ(n, 3u);
        CloseHandle(h);
    }));
}

TEST(Win32Files, OverlappedReadPendsCompletesAndIsCancelled) {
    Bench bench;
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = OpenPort(FILE_FLAG_OVERLAPPED);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        SetTimeouts(h, 0, 0, 0);  // reads wait for all they asked for
        char buffer[8] = {};
        DWORD n = 99;
        // Without an OVERLAPPED an overlapped handle has no file position: refused.
        EXPECT_FALSE(ReadFile(h, buffer, 4, &n, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        EXPECT_FALSE(ReadFile(h, buffer, 4, nullptr, &ov));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
        EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
        EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
        EXPECT_FALSE(GetOverlappedResultEx(h, &ov, &n, 100, FALSE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));

        OVERLAPPED wov{};
        wov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!WriteFile(h, "1234", 4, nullptr, &wov)) {
            EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        }
        ASSERT_TRUE(GetOverlappedResult(h, &wov, &n, TRUE));
        EXPECT_EQ(n, 4u);
        ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
        EXPECT_EQ(n, 4u);
        EXPECT_EQ(std::string(buffer, 4), "1234");
        EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);

        // Cancelled by request: the read ends aborted.
        ResetEvent(ov.hEvent);
        EXPECT_FALSE(ReadFile(h, buffer, 4, nullptr, &ov));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        EXPECT_TRUE(CancelIoEx(h, &ov));
        EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
        EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
        EXPECT_EQ(n, 0u);
        // Nothing left to cancel.
        EXPECT_FALSE(CancelIoEx(h, &ov));
        EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);

        // CancelIo: the calling thread's requests, waited for.
        ResetEvent(ov.hEvent);
        EXPECT_FALSE(ReadFile(h, buffer, 4, nullptr, &ov));
        EXPECT_TRUE(CancelIo(h));
        EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
        EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
        EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
        CloseHandle(ov.hEvent);
        CloseHandle(wov.hEvent);
        CloseHandle(h);
    }));
}

TEST(Win32Files, AFileHandleIsSignalledWhenARequestWithoutEventCompletes) {
    Bench bench;
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = OpenPort(FILE_FLAG_OVERLAPPED);
        SetTimeouts(h, 0, 0, 0);
        char buffer[4];
        OVERLAPPED ov{};  // no event: the file object's is set
        EXPECT_FALSE(ReadFile(h, buffer, 2, nullptr, &ov));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        EXPECT_EQ(WaitForSingleObject(h, 200), static_cast<DWORD>(WAIT_TIMEOUT));
        DWORD n = 0;
        // The write has an event of its own: the file's is the read's alone.
        OVERLAPPED wov{};
        wov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        WriteFile(h, "ok", 2, nullptr, &wov);
        ASSERT_TRUE(GetOverlappedResult(h, &wov, &n, TRUE));
        CloseHandle(wov.hEvent);
        EXPECT_EQ(WaitForSingleObject(h, 1000), WAIT_OBJECT_0);
        EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
        EXPECT_EQ(n, 2u);
        CloseHandle(h);
    }));
}

TEST(Win32Files, DeviceIoControlPassesCodesAndMapsTheDriversErrors) {
    Bench bench;
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = Open("COM3");
        SERIAL_BAUD_RATE rate{57600};
        DWORD returned = 99;
        ASSERT_TRUE(DeviceIoControl(h, IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate, nullptr, 0,
                                    &returned, nullptr));
        EXPECT_EQ(returned, 0u);
        SERIAL_BAUD_RATE back{};
        ASSERT_TRUE(DeviceIoControl(h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &back, sizeof back,
                                    &returned, nullptr));
        EXPECT_EQ(returned, sizeof back);
        EXPECT_EQ(back.BaudRate, 57600u);
        EXPECT_EQ(bench.ChipBaud(), 57600u);
        // An output buffer too small for the record.
        EXPECT_FALSE(DeviceIoControl(h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &back, 2,
                                     &returned, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        // A code the port does not know.
        EXPECT_FALSE(DeviceIoControl(h, CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x7FF, METHOD_BUFFERED,
                                                 FILE_ANY_ACCESS),
                                     nullptr, 0, nullptr, 0, &returned, nullptr));
        // (the port refuses a code it does not know as an invalid parameter)
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        // A blocking call needs somewhere to say how much came back.
        EXPECT_FALSE(DeviceIoControl(h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &back, sizeof back,
                                     nullptr, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        CloseHandle(h);
        EXPECT_FALSE(DeviceIoControl(h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &back, sizeof back,
                                     &returned, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }));
}

}  // namespace
