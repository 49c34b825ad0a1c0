// The port end to end through the client API, written as application code:
// each COMMTIMEOUTS mode measured in virtual time, WaitCommEvent for each
// event, flow control across a null-modem cable, line errors from a far end
// set up differently.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "bench.h"
#include "port.h"

namespace {

using w32test::Bench;
using w32test::BenchOptions;
using w32test::Wire;

HANDLE OpenPort(const std::string& name, DWORD flags = FILE_FLAG_OVERLAPPED) {
    HANDLE h = CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, flags, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << name;
    w32test::Configure(h);
    return h;
}

void SetTimeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant,
                 DWORD writeMultiplier = 0, DWORD writeConstant = 0) {
    COMMTIMEOUTS t{interval, multiplier, constant, writeMultiplier, writeConstant};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
}

// One overlapped read, waited for: the bytes, and how long it took.
struct Timed {
    std::string bytes;
    int64_t ms = 0;
    DWORD error = 0;
};

Timed TimedRead(Bench& bench, HANDLE h, DWORD length) {
    Timed out;
    std::string buffer(length, '\0');
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const int64_t start = bench.NowMs();
    DWORD n = 0;
    if (!ReadFile(h, &buffer[0], length, &n, &ov)) {
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        if (!GetOverlappedResult(h, &ov, &n, TRUE))
            out.error = GetLastError();
    }
    out.ms = bench.NowMs() - start;
    out.bytes = buffer.substr(0, n);
    CloseHandle(ov.hEvent);
    return out;
}

TEST(Win32EndToEnd, EachReadTimeoutModeInVirtualTime) {
    BenchOptions options;
    options.wire = Wire::Peer;
    Bench bench(options);
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = OpenPort("COM3");
        // Interval only: the read ends 50 ms after the last byte of a burst.
        SetTimeouts(h, 50, 0, 0);
        bench.PeerSend("ab");
        Timed t = TimedRead(bench, h, 10);
        EXPECT_EQ(t.bytes, "ab");
        EXPECT_GE(t.ms, 50);
        EXPECT_LT(t.ms, 100);

        // MAXDWORD interval and multiplier with a constant: back as soon as
        // anything comes, or empty when the constant runs out.
        SetTimeouts(h, MAXDWORD, MAXDWORD, 300);
        t = TimedRead(bench, h, 10);
        EXPECT_EQ(t.bytes, "");
        EXPECT_GE(t.ms, 300);
        EXPECT_LT(t.ms, 320);
        HANDLE sender = CreateThread(
            nullptr, 0,
            [](LPVOID b) -> DWORD {
                Sleep(100);
                static_cast<Bench*>(b)->PeerSend("xyz");
                return 0;
            },
            &bench, 0, nullptr);
        t = TimedRead(bench, h, 10);
        EXPECT_FALSE(t.bytes.empty());
        EXPECT_EQ(std::string("xyz").compare(0, t.bytes.size(), t.bytes), 0);
        EXPECT_GE(t.ms, 100);
        EXPECT_LT(t.ms, 150);
        WaitForSingleObject(sender, INFINITE);
        CloseHandle(sender);
        // What followed the first byte is in by now; it goes.
        Sleep(50);
        PurgeComm(h, PURGE_RXCLEAR);

        // No time-outs at all: the read waits for every byte it asked for.
        SetTimeouts(h, 0, 0, 0);
        bench.PeerSend("12345678");
        t = TimedRead(bench, h, 8);
        EXPECT_EQ(t.bytes, "12345678");

        // Total time-outs: multiplier × bytes + constant, then what has come.
        SetTimeouts(h, 0, 10, 200);
        bench.PeerSend("ok");
        t = TimedRead(bench, h, 20);
        EXPECT_EQ(t.bytes, "ok");
        EXPECT_GE(t.ms, 400);
        EXPECT_LT(t.ms, 420);
        CloseHandle(h);
    }));
}

TEST(Win32EndToEnd, AWriteHeldByFlowControlEndsAtItsTotalTimeout) {
    BenchOptions options;
    options.wire = Wire::Peer;
    Bench bench(options);
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = OpenPort("COM3", 0);
        bench.PeerLines(false, true, true, false);  // CTS off
        // Once the port has heard of it.
        DWORD modem = MS_CTS_ON;
        for (int i = 0; i < 100 && (modem & MS_CTS_ON); ++i) {
            Sleep(10);
            ASSERT_TRUE(GetCommModemStatus(h, &modem));
        }
        ASSERT_FALSE(modem & MS_CTS_ON);
        DCB dcb{};
        GetCommState(h, &dcb);
        dcb.fOutxCtsFlow = TRUE;
        ASSERT_TRUE(SetCommState(h, &dcb));
        SetTimeouts(h, 0, 0, 0, 1, 200);
        const std::string data(100, 'w');
        DWORD written = 99;
        const int64_t start = bench.NowMs();
        // The time-out is no failure: the call succeeds with what went.
        ASSERT_TRUE(WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
        EXPECT_LT(written, data.size());
        EXPECT_GE(bench.NowMs() - start, 300);
        EXPECT_LT(bench.NowMs() - start, 320);
        DWORD errors = 0;
        COMSTAT stat{};
        ASSERT_TRUE(ClearCommError(h, &errors, &stat));
        EXPECT_TRUE(stat.fCtsHold);
        CloseHandle(h);
    }));
}

// Waits for one event with an overlapped WaitCommEvent while `trigger` runs.
template <typename Trigger>
DWORD EventAfter(HANDLE h, DWORD mask, Trigger trigger) {
    EXPECT_TRUE(SetCommMask(h, mask));
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0, n = 0;
    if (!WaitCommEvent(h, &events, &ov)) {
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        trigger();
        if (WaitForSingleObject(ov.hEvent, 2000) != WAIT_OBJECT_0) {
            SetCommMask(h, 0);  // ends the wait
            GetOverlappedResult(h, &ov, &n, TRUE);
            events = 0;
        } else {
            EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
        }
    }
    CloseHandle(ov.hEvent);
    return events;
}

TEST(Win32EndToEnd, WaitCommEventForEachEvent) {
    BenchOptions options;
    options.wire = Wire::Peer;
    options.peerBaud = 115200;
    Bench bench(options);
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = OpenPort("COM3");
        DCB dcb{};
        GetCommState(h, &dcb);
        dcb.EvtChar = '\n';
        ASSERT_TRUE(SetCommState(h, &dcb));
        bench.PeerLines(true, true, true, false);
        Sleep(50);

        EXPECT_EQ(EventAfter(h, EV_RXCHAR, [&] { bench.PeerSend("a"); }), DWORD(EV_RXCHAR));
        EXPECT_EQ(EventAfter(h, EV_RXFLAG, [&] { bench.PeerSend("line\n"); }), DWORD(EV_RXFLAG));
        EXPECT_EQ(EventAfter(h, EV_TXEMPTY,
                             [&] {
                                 OVERLAPPED w{};
                                 w.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
                                 DWORD n;
                                 WriteFile(h, "out", 3, nullptr, &w);
                                 GetOverlappedResult(h, &w, &n, TRUE);
                                 CloseHandle(w.hEvent);
                             }),
                  DWORD(EV_TXEMPTY));
        EXPECT_EQ(EventAfter(h, EV_CTS, [&] { bench.PeerLines(false, true, true, false); }),
                  DWORD(EV_CTS));
        EXPECT_EQ(EventAfter(h, EV_CTS, [&] { bench.PeerLines(true, true, true, false); }),
                  DWORD(EV_CTS));
        EXPECT_EQ(EventAfter(h, EV_DSR, [&] { bench.PeerLines(true, false, true, false); }),
                  DWORD(EV_DSR));
        EXPECT_EQ(EventAfter(h, EV_RLSD, [&] { bench.PeerLines(true, false, false, false); }),
                  DWORD(EV_RLSD));
        // The ring indicator on both edges (chip variant 2 reports changes).
        EXPECT_EQ(EventAfter(h, EV_RING, [&] { bench.PeerLines(true, false, false, true); }),
                  DWORD(EV_RING));
        EXPECT_EQ(EventAfter(h, EV_RING, [&] { bench.PeerLines(true, false, false, false); }),
                  DWORD(EV_RING));
        EXPECT_EQ(EventAfter(h, EV_BREAK, [&] { bench.PeerBreak(10); }), DWORD(EV_BREAK));
        Sleep(50);
        ClearCommError(h, nullptr, nullptr);
        EXPECT_EQ(EventAfter(h, EV_ERR, [&] { bench.PeerSendFramed(115200, 8, ODDPARITY, 0, "p"); }),
                  DWORD(EV_ERR));
        // A mask without the event: nothing comes of it.
        EXPECT_EQ(EventAfter(h, EV_DSR, [&] { bench.PeerSend("quiet"); }), 0u);
        CloseHandle(h);
    }));
}

TEST(Win32EndToEnd, LineErrorsFromMismatchedSettingsThroughClearCommError) {
    BenchOptions options;
    options.wire = Wire::Peer;
    options.peerBaud = 9600;
    Bench bench(options);
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = OpenPort("COM3");
        DCB dcb{};
        GetCommState(h, &dcb);
        dcb.BaudRate = 9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = TWOSTOPBITS;
        ASSERT_TRUE(SetCommState(h, &dcb));
        DWORD errors = 0;
        COMSTAT stat{};
        // Seven data bits, no parity, one stop bit against eight and two: the
        // stop bit is sampled where the port expects data and stop bits.
        bench.PeerSendFramed(9600, 7, NOPARITY, ONESTOPBIT, std::string(8, '\x7F'));
        Sleep(100);
        ASSERT_TRUE(ClearCommError(h, &errors, &stat));
        EXPECT_TRUE(errors & CE_FRAME) << errors;
        // A far end twice as fast: garbled bytes or framing errors, never clean data.
        PurgeComm(h, PURGE_RXCLEAR);
        bench.PeerSendFramed(19200, 8, NOPARITY, ONESTOPBIT, "UUUUUUUU");
        Sleep(100);
        ASSERT_TRUE(ClearCommError(h, &errors, &stat));
        SetTimeouts(h, MAXDWORD, 0, 0);
        Timed t = TimedRead(bench, h, 64);
        EXPECT_TRUE(errors != 0 || t.bytes != "UUUUUUUU") << errors;
        CloseHandle(h);
    }));
}

// Flow control across a cable: the reader does not read, its side stops the
// writer, nothing is lost, and the writer's ClearCommError tells why it holds.
void FlowAcrossTheCable(bool hardware, int variant) {
    BenchOptions options;
    options.wire = Wire::NullModem;
    options.variant = variant;
    Bench bench(options);
    ASSERT_TRUE(bench.Run([&] {
        HANDLE reader = OpenPort("COM3");
        HANDLE writer = OpenPort("COM4");
        ASSERT_TRUE(SetupComm(reader, 4096, 4096));
        for (HANDLE h : {reader, writer}) {
            DCB dcb{};
            GetCommState(h, &dcb);
            if (hardware) {
                dcb.fOutxCtsFlow = TRUE;
                dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
            } else {
                dcb.fOutX = TRUE;
                dcb.fInX = TRUE;
            }
            dcb.XonLim = 512;
            dcb.XoffLim = 512;
            ASSERT_TRUE(SetCommState(h, &dcb));
        }
        std::string data;
        for (int i = 0; i < 6000; ++i)
            data += static_cast<char>('A' + i % 23);
        OVERLAPPED w{};
        w.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD n = 0;
        EXPECT_FALSE(WriteFile(writer, data.data(), static_cast<DWORD>(data.size()), nullptr, &w));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        Sleep(1500);  // three times what 6000 bytes take at 115200 baud
        DWORD errors = 0;
        COMSTAT stat{};
        ASSERT_TRUE(ClearCommError(writer, &errors, &stat));
        // The writer says why it holds where the driver does the holding; a
        // newer chip obeys XOFF itself, and the bytes wait in the driver.
        if (hardware) {
            EXPECT_TRUE(stat.fCtsHold);
        } else if (variant < 2) {
            EXPECT_TRUE(stat.fXoffHold);
        }
        EXPECT_GT(stat.cbOutQue, 0u);
        EXPECT_EQ(WaitForSingleObject(w.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        ASSERT_TRUE(ClearCommError(reader, &errors, &stat));
        EXPECT_EQ(errors, 0u);
        EXPECT_LE(stat.cbInQue, 4096u);

        // Now the reader reads: everything comes, in order.
        SetTimeouts(reader, 0, 0, 5000);
        std::string got;
        while (got.size() < data.size()) {
            Timed t = TimedRead(bench, reader, 4096);
            if (t.bytes.empty())
                break;
            got += t.bytes;
        }
        EXPECT_TRUE(GetOverlappedResult(writer, &w, &n, TRUE));
        EXPECT_EQ(n, data.size());
        EXPECT_EQ(got.size(), data.size());
        EXPECT_TRUE(got == data);
        ASSERT_TRUE(ClearCommError(reader, &errors, &stat));
        EXPECT_EQ(errors, 0u);
        CloseHandle(w.hEvent);
        CloseHandle(reader);
        CloseHandle(writer);
    }, 120'000));
}

TEST(Win32EndToEnd, HardwareFlowControlAcrossANullModemCable) {
    FlowAcrossTheCable(true, 2);
    FlowAcrossTheCable(true, 0);
}

TEST(Win32EndToEnd, SoftwareFlowControlAcrossANullModemCable) {
    FlowAcrossTheCable(false, 2);
    FlowAcrossTheCable(false, 0);
}

}  // namespace
