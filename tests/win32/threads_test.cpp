// Threads, events, waits and time on the simulated machine: virtual time,
// the wait functions' answers, thread exit codes.
#include <windows.h>

#include <gtest/gtest.h>

#include "bench.h"

namespace {

using w32test::Bench;

struct Shared {
    HANDLE event;
    int64_t firedAt = 0;
    Bench* bench;
};

TEST(Win32Threads, SleepTicksAndCountersAreVirtualTime) {
    Bench bench;
    ASSERT_TRUE(bench.Run([&] {
        LARGE_INTEGER frequency, before, after;
        ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
        EXPECT_EQ(frequency.QuadPart, 10'000'000);
        QueryPerformanceCounter(&before);
        const ULONGLONG ticks = GetTickCount64();
        const int64_t start = bench.NowMs();
        Sleep(500);
        QueryPerformanceCounter(&after);
        // A sleep ends on the clock tick after its time, as on Windows.
        EXPECT_GE(bench.NowMs() - start, 500);
        EXPECT_LE(bench.NowMs() - start, 516);
        EXPECT_GE(GetTickCount64() - ticks, 500u);
        EXPECT_LE(GetTickCount64() - ticks, 516u);
        EXPECT_EQ(static_cast<ULONGLONG>(GetTickCount()), GetTickCount64() & 0xFFFFFFFFu);
        const double seconds =
            static_cast<double>(after.QuadPart - before.QuadPart) / static_cast<double>(frequency.QuadPart);
        EXPECT_GE(seconds, 0.5);
        EXPECT_LE(seconds, 0.516);
        EXPECT_EQ(SleepEx(100, TRUE), 0u);
    }));
}

TEST(Win32Threads, EventsAutoAndManualResetAndTimedWaits) {
    Bench bench;
    ASSERT_TRUE(bench.Run([&] {
        HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE automatic = CreateEventW(nullptr, FALSE, TRUE, nullptr);
        ASSERT_NE(manual, nullptr);
        // Automatic: one wait takes the signal.
        EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        // A timed wait on nothing takes its time.
        int64_t start = bench.NowMs();
        EXPECT_EQ(WaitForSingleObject(manual, 200), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_GE(bench.NowMs() - start, 200);
        // Manual: stays set for every waiter until reset.
        ASSERT_TRUE(SetEvent(manual));
        EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObjectEx(manual, 0, FALSE), WAIT_OBJECT_0);
        ASSERT_TRUE(ResetEvent(manual));
        EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));

        // Set by another thread 100 ms from now.
        Shared shared{manual, 0, &bench};
        start = bench.NowMs();
        HANDLE setter = CreateThread(
            nullptr, 0,
            [](LPVOID p) -> DWORD {
                auto* s = static_cast<Shared*>(p);
                Sleep(100);
                s->firedAt = s->bench->NowMs();
                SetEvent(s->event);
                return 7;
            },
            &shared, 0, nullptr);
        ASSERT_NE(setter, nullptr);
        EXPECT_EQ(WaitForSingleObject(manual, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(bench.NowMs(), shared.firedAt);
        EXPECT_EQ(WaitForSingleObject(setter, INFINITE), WAIT_OBJECT_0);
        DWORD code = 0;
        ASSERT_TRUE(GetExitCodeThread(setter, &code));
        EXPECT_EQ(code, 7u);

        // Named events: the second create opens the first.
        HANDLE named = CreateEventA(nullptr, TRUE, FALSE, "vodrek-test");
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
        HANDLE again = CreateEventA(nullptr, TRUE, FALSE, "vodrek-test");
        EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
        SetEvent(named);
        EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);

        // Handles that are no events.
        EXPECT_FALSE(SetEvent(setter));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x1234), 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        for (HANDLE h : {manual, automatic, setter, named, again})
            EXPECT_TRUE(CloseHandle(h));
    }));
}

TEST(Win32Threads, WaitForMultipleObjectsAnyAndAll) {
    Bench bench;
    ASSERT_TRUE(bench.Run([&] {
        HANDLE events[3];
        for (HANDLE& e : events)
            e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 50), static_cast<DWORD>(WAIT_TIMEOUT));
        SetEvent(events[2]);
        SetEvent(events[1]);
        // The lowest index signalled wins, and only its signal is taken.
        EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
        EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
        // All: only when every one is signalled at once, taking every signal.
        SetEvent(events[0]);
        SetEvent(events[1]);
        EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 50), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_OBJECT_0);
        SetEvent(events[0]);
        SetEvent(events[2]);
        EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));

        // A thread among the objects: the wait ends when it does.
        HANDLE worker = CreateThread(
            nullptr, 0, [](LPVOID) -> DWORD { Sleep(250); ExitThread(42); }, nullptr, 0, nullptr);
        const HANDLE mixed[] = {events[0], worker};
        const int64_t start = bench.NowMs();
        EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
        EXPECT_GE(bench.NowMs() - start, 250);
        DWORD code = 0;
        GetExitCodeThread(worker, &code);
        EXPECT_EQ(code, 42u);

        EXPECT_EQ(WaitForMultipleObjects(0, events, FALSE, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, events, FALSE, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        for (HANDLE h : events)
            CloseHandle(h);
        CloseHandle(worker);
    }));
}

TEST(Win32Threads, ARunningThreadIsStillActiveAndEachThreadHasItsOwnLastError) {
    Bench bench;
    ASSERT_TRUE(bench.Run([&] {
        HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD id = 0;
        HANDLE worker = CreateThread(
            nullptr, 0,
            [](LPVOID p) -> DWORD {
                SetLastError(1234);
                WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
                return GetLastError();
            },
            go, 0, &id);
        EXPECT_NE(id, GetCurrentThreadId());
        Sleep(10);
        SetLastError(5);
        DWORD code = 0;
        ASSERT_TRUE(GetExitCodeThread(worker, &code));
        EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
        SetEvent(go);
        WaitForSingleObject(worker, INFINITE);
        GetExitCodeThread(worker, &code);
        EXPECT_EQ(code, 1234u);
        EXPECT_EQ(GetLastError(), 5u);
        EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        CloseHandle(worker);
        CloseHandle(go);
    }));
}

}  // namespace
