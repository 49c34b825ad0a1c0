// kernel32's communications functions: the IOCTL_SERIAL_* requests each one
// becomes, in order and with its contents, what the chip ends up doing, and
// what the caller is told.
#include <windows.h>
#include <ntddser.h>

#include <cstring>

#include <gtest/gtest.h>

#include "bench.h"
#include "port.h"

namespace {

using w32test::Bench;
using w32test::BenchOptions;
using w32test::Wire;
using Codes = std::vector<uint32_t>;

HANDLE Open(DWORD flags = 0) {
    return CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       flags, nullptr);
}

template <typename T>
T InputOf(const w32test::Request& r) {
    T value{};
    std::memcpy(&value, r.input.data(), std::min(sizeof value, r.input.size()));
    return value;
}

const w32test::Request& LastControl(const Bench& bench, uint32_t code) {
    static const w32test::Request none;
    const auto& all = bench.Requests();
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if (it->major == 0x0E && it->code == code)
            return *it;
    }
    ADD_FAILURE() << "no request 0x" << std::hex << code;
    return none;
}

const Codes kGetState = {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL,
                         IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_GET_HANDFLOW};

Codes Concat(Codes a, const Codes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(Win32Comm, GetCommStateReadsTheFourSettingsInOrder) {
    Bench bench;
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = Open();
        bench.ClearRequests();
        DCB dcb{};
        ASSERT_TRUE(GetCommState(h, &dcb));
        EXPECT_EQ(bench.Controls(), kGetState);
        EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
        EXPECT_TRUE(dcb.fBinary);
        EXPECT_EQ(dcb.BaudRate, bench.ChipBaud());
        EXPECT_EQ(dcb.ByteSize, bench.ChipDataBits());
        EXPECT_EQ(dcb.Parity, bench.ChipParity());
        EXPECT_EQ(dcb.StopBits, bench.ChipStopBits());
        CloseHandle(h);
    }));
}

TEST(Win32Comm, SetCommStateSendsTheSettingsThenTheLinesAndTheChipFollows) {
    Bench bench;
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = Open();
        DCB dcb{};
        ASSERT_TRUE(GetCommState(h, &dcb));
        dcb.BaudRate = CBR_115200;
        dcb.ByteSize = 7;
        dcb.Parity = EVENPARITY;
        dcb.StopBits = TWOSTOPBITS;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        dcb.fOutxCtsFlow = TRUE;
        dcb.fOutX = TRUE;
        dcb.fInX = FALSE;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.EvtChar = '\n';
        dcb.XonLim = 100;
        dcb.XoffLim = 200;
        bench.ClearRequests();
        ASSERT_TRUE(SetCommState(h, &dcb));
        // The present settings (kept to restore on failure), the four
        // settings, then DTR off; RTS under handshake is the driver's.
        EXPECT_EQ(bench.Controls(),
                  Concat(kGetState, {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL,
                                     IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_SET_HANDFLOW,
                                     IOCTL_SERIAL_CLR_DTR}));
        const auto line = InputOf<SERIAL_LINE_CONTROL>(LastControl(bench, IOCTL_SERIAL_SET_LINE_CONTROL));
        EXPECT_EQ(line.WordLength, 7);
        EXPECT_EQ(line.Parity, EVEN_PARITY);
        EXPECT_EQ(line.StopBits, STOP_BITS_2);
        const auto flow = InputOf<SERIAL_HANDFLOW>(LastControl(bench, IOCTL_SERIAL_SET_HANDFLOW));
        EXPECT_EQ(flow.ControlHandShake & (SERIAL_DTR_MASK | SERIAL_CTS_HANDSHAKE),
                  SERIAL_CTS_HANDSHAKE);
        EXPECT_EQ(flow.FlowReplace & (SERIAL_RTS_MASK | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE),
                  SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_TRANSMIT);
        EXPECT_EQ(flow.XonLimit, 100);
        EXPECT_EQ(flow.XoffLimit, 200);
        EXPECT_EQ(InputOf<SERIAL_CHARS>(LastControl(bench, IOCTL_SERIAL_SET_CHARS)).EventChar, '\n');

        EXPECT_EQ(bench.ChipBaud(), 115200u);
        EXPECT_EQ(bench.ChipDataBits(), 7);
        EXPECT_EQ(bench.ChipParity(), 2);
        EXPECT_EQ(bench.ChipStopBits(), 2);
        EXPECT_FALSE(bench.ChipDtr());

        DCB back{};
        ASSERT_TRUE(GetCommState(h, &back));
        EXPECT_EQ(back.BaudRate, dcb.BaudRate);
        EXPECT_EQ(back.ByteSize, dcb.ByteSize);
        EXPECT_EQ(back.Parity, dcb.Parity);
        EXPECT_EQ(back.StopBits, dcb.StopBits);
        EXPECT_EQ(back.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
        EXPECT_EQ(back.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
        EXPECT_TRUE(back.fOutxCtsFlow);
        EXPECT_TRUE(back.fOutX);
        EXPECT_FALSE(back.fInX);
        EXPECT_EQ(back.EvtChar, '\n');
        EXPECT_EQ(back.XonLim, 100);
        EXPECT_EQ(back.XoffLim, 200);

        // DTR and RTS enabled: both lines are set at the end.
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        bench.ClearRequests();
        ASSERT_TRUE(SetCommState(h, &dcb));
        const Codes controls = bench.Controls();
        ASSERT_GE(controls.size(), 2u);
        EXPECT_EQ(Codes(controls.end() - 2, controls.end()),
                  (Codes{IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_SET_RTS}));
        EXPECT_TRUE(bench.ChipDtr());
        EXPECT_TRUE(bench.ChipRts());
        CloseHandle(h);
    }));
}

TEST(Win32Comm, SetCommStateRefusesEqualFlowCharactersWithoutAskingTheDriver) {
    Bench bench;
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = Open();
        DCB dcb{};
        ASSERT_TRUE(GetCommState(h, &dcb));
        dcb.XonChar = dcb.XoffChar = 0x11;
        bench.ClearRequests();
        EXPECT_FALSE(SetCommState(h, &dcb));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_TRUE(bench.Controls().empty());
        CloseHandle(h);
    }));
}

TEST(Win32Comm, AFailedStepRestoresThePreviousSettings) {
    Bench bench;
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = Open();
        DCB dcb{};
        ASSERT_TRUE(GetCommState(h, &dcb));
        dcb.BaudRate = CBR_19200;
        ASSERT_TRUE(SetCommState(h, &dcb));
        DCB bad = dcb;
        bad.BaudRate = CBR_57600;
        bad.ByteSize = 9;  // the driver refuses the line control
        bench.ClearRequests();
        EXPECT_FALSE(SetCommState(h, &bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        // The baud rate that went through is put back, with the rest.
        EXPECT_EQ(bench.Controls(),
                  Concat(kGetState, {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL,
                                     IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL,
                                     IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_SET_HANDFLOW}));
        EXPECT_EQ(bench.ChipBaud(), 19200u);
        DCB back{};
        ASSERT_TRUE(GetCommState(h, &back));
        EXPECT_EQ(back.BaudRate, 19200u);
        EXPECT_EQ(back.ByteSize, dcb.ByteSize);
        CloseHandle(h);
    }));
}

TEST(Win32Comm, TimeoutsQueueSizesPropertiesAndPurgeAreOneRequestEach) {
    Bench bench;
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = Open();
        bench.ClearRequests();
        COMMTIMEOUTS t{10, 20, 30, 40, 50};
        ASSERT_TRUE(SetCommTimeouts(h, &t));
        COMMTIMEOUTS back{};
        ASSERT_TRUE(GetCommTimeouts(h, &back));
        EXPECT_EQ(std::memcmp(&t, &back, sizeof t), 0);
        ASSERT_TRUE(SetupComm(h, 8192, 1024));
        ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR | PURGE_TXABORT));
        COMMPROP prop{};
        ASSERT_TRUE(GetCommProperties(h, &prop));
        EXPECT_EQ(bench.Controls(),
                  (Codes{IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS,
                         IOCTL_SERIAL_SET_QUEUE_SIZE, IOCTL_SERIAL_PURGE,
                         IOCTL_SERIAL_GET_PROPERTIES}));
        const auto size = InputOf<SERIAL_QUEUE_SIZE>(LastControl(bench, IOCTL_SERIAL_SET_QUEUE_SIZE));
        EXPECT_EQ(size.InSize, 8192u);
        EXPECT_EQ(size.OutSize, 1024u);
        EXPECT_EQ(InputOf<DWORD>(LastControl(bench, IOCTL_SERIAL_PURGE)),
                  static_cast<DWORD>(PURGE_RXCLEAR | PURGE_TXABORT));
        EXPECT_EQ(prop.dwServiceMask, SP_SERIALCOMM);
        EXPECT_EQ(prop.dwProvSubType, PST_RS232);
        EXPECT_GE(prop.dwCurrentRxQueue, 8192u);
        EXPECT_TRUE(prop.dwProvCapabilities & PCF_RTSCTS);

        // A purge of nothing the driver knows is refused by it.
        EXPECT_FALSE(PurgeComm(h, 0x10));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

        COMMCONFIG config{};
        DWORD size2 = 4;
        EXPECT_FALSE(GetCommConfig(h, &config, &size2));
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(size2, sizeof(COMMCONFIG));
        ASSERT_TRUE(GetCommConfig(h, &config, &size2));
        EXPECT_EQ(config.dwSize, sizeof(COMMCONFIG));
        EXPECT_EQ(config.dwProviderSubType, PST_RS232);
        EXPECT_EQ(config.dcb.BaudRate, bench.ChipBaud());
        CloseHandle(h);

        // The default configuration opens nothing.
        bench.ClearRequests();
        size2 = sizeof config;
        ASSERT_TRUE(GetDefaultCommConfigA("COM3", &config, &size2));
        EXPECT_EQ(config.dcb.BaudRate, 9600u);
        EXPECT_EQ(config.dcb.ByteSize, 8);
        EXPECT_TRUE(bench.Requests().empty());
        EXPECT_FALSE(GetDefaultCommConfigW(L"COM9", &config, &size2));
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    }));
}

TEST(Win32Comm, EscapeFunctionsBreakAndImmediateCharacterDriveTheLines) {
    BenchOptions options;
    options.wire = Wire::Peer;
    Bench bench(options);
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = Open();
        DCB dcb{};
        GetCommState(h, &dcb);
        dcb.BaudRate = 115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        ASSERT_TRUE(SetCommState(h, &dcb));
        struct Step {
            DWORD function;
            uint32_t code;
        } steps[] = {{CLRDTR, IOCTL_SERIAL_CLR_DTR},     {SETDTR, IOCTL_SERIAL_SET_DTR},
                     {CLRRTS, IOCTL_SERIAL_CLR_RTS},     {SETRTS, IOCTL_SERIAL_SET_RTS},
                     {SETBREAK, IOCTL_SERIAL_SET_BREAK_ON}, {CLRBREAK, IOCTL_SERIAL_SET_BREAK_OFF},
                     {SETXOFF, IOCTL_SERIAL_SET_XOFF},   {SETXON, IOCTL_SERIAL_SET_XON},
                     {RESETDEV, IOCTL_SERIAL_RESET_DEVICE}};
        for (const Step& s : steps) {
            bench.ClearRequests();
            EXPECT_TRUE(EscapeCommFunction(h, s.function)) << s.function;
            EXPECT_EQ(bench.Controls(), Codes{s.code}) << s.function;
            Sleep(20);
            if (s.function == CLRDTR || s.function == SETDTR) {
                EXPECT_EQ(bench.ChipDtr(), s.function == SETDTR);
            }
            if (s.function == CLRRTS || s.function == SETRTS) {
                EXPECT_EQ(bench.ChipRts(), s.function == SETRTS);
            }
            if (s.function == SETBREAK || s.function == CLRBREAK) {
                EXPECT_EQ(bench.ChipBreak(), s.function == SETBREAK);
            }
        }
        for (DWORD bad : {0u, 10u, 100u}) {
            bench.ClearRequests();
            EXPECT_FALSE(EscapeCommFunction(h, bad));
            EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
            EXPECT_TRUE(bench.Controls().empty());
        }
        bench.ClearRequests();
        ASSERT_TRUE(SetCommBreak(h));
        Sleep(20);
        EXPECT_TRUE(bench.ChipBreak());
        ASSERT_TRUE(ClearCommBreak(h));
        Sleep(20);
        EXPECT_FALSE(bench.ChipBreak());
        ASSERT_TRUE(TransmitCommChar(h, 'Z'));
        EXPECT_EQ(bench.Controls(), (Codes{IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF,
                                           IOCTL_SERIAL_IMMEDIATE_CHAR}));
        EXPECT_EQ(InputOf<uint8_t>(LastControl(bench, IOCTL_SERIAL_IMMEDIATE_CHAR)), 'Z');
        Sleep(50);
        EXPECT_NE(bench.PeerReceived().find('Z'), std::string::npos);
        CloseHandle(h);
    }));
}

TEST(Win32Comm, ModemStatusFollowsThePeersLines) {
    BenchOptions options;
    options.wire = Wire::Peer;
    Bench bench(options);
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = Open();
        w32test::Configure(h);
        bench.PeerLines(true, false, true, false);
        Sleep(50);
        DWORD status = 0;
        bench.ClearRequests();
        ASSERT_TRUE(GetCommModemStatus(h, &status));
        EXPECT_EQ(bench.Controls(), Codes{IOCTL_SERIAL_GET_MODEMSTATUS});
        EXPECT_EQ(status & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON | MS_RING_ON),
                  MS_CTS_ON | MS_RLSD_ON);
        bench.PeerLines(false, true, false, true);
        Sleep(50);
        ASSERT_TRUE(GetCommModemStatus(h, &status));
        EXPECT_EQ(status & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON | MS_RING_ON),
                  MS_DSR_ON | MS_RING_ON);
        CloseHandle(h);
    }));
}

TEST(Win32Comm, WaitCommEventReportsTheMaskedEventAndAMaskOfNothingEndsTheWait) {
    Bench bench;
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = Open(FILE_FLAG_OVERLAPPED);
        w32test::Configure(h);
        ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_TXEMPTY));
        DWORD mask = 0;
        ASSERT_TRUE(GetCommMask(h, &mask));
        EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | EV_TXEMPTY));
        ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
        bench.ClearRequests();
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD events = 0xFFFF;
        EXPECT_FALSE(WaitCommEvent(h, &events, &ov));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        EXPECT_EQ(bench.Controls(), Codes{IOCTL_SERIAL_WAIT_ON_MASK});
        OVERLAPPED wov{};
        DWORD n = 0;
        WriteFile(h, "!", 1, nullptr, &wov);
        GetOverlappedResult(h, &wov, &n, TRUE);
        EXPECT_EQ(WaitForSingleObject(ov.hEvent, 1000), WAIT_OBJECT_0);
        ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
        EXPECT_EQ(n, sizeof(DWORD));
        EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));

        // A pending wait ends, successfully and with no events, when the mask changes.
        ResetEvent(ov.hEvent);
        events = 0xFFFF;
        EXPECT_FALSE(WaitCommEvent(h, &events, &ov));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(SetCommMask(h, 0));
        ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
        EXPECT_EQ(events, 0u);
        // With no mask a wait is refused.
        EXPECT_FALSE(WaitCommEvent(h, &events, &ov));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        CloseHandle(ov.hEvent);
        CloseHandle(h);
    }));
}

struct LineChanger {
    Bench* bench;
    HANDLE port;
    int64_t controlDoneAt = 0;
};

TEST(Win32Comm, BlockingWaitCommEventHoldsASynchronousHandlesOtherRequests) {
    BenchOptions options;
    options.wire = Wire::Peer;
    Bench bench(options);
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = Open();
        w32test::Configure(h);
        ASSERT_TRUE(SetCommMask(h, EV_CTS));
        const int64_t start = bench.NowMs();
        // Another thread asks for the modem status 100 ms on, while the wait
        // is pending (it waits: a synchronous handle does one request at a
        // time); the far end drops CTS after 300 ms.
        LineChanger changer{&bench, h};
        HANDLE asker = CreateThread(
            nullptr, 0,
            [](LPVOID p) -> DWORD {
                auto* c = static_cast<LineChanger*>(p);
                Sleep(100);
                DWORD status = 0;
                const BOOL ok = GetCommModemStatus(c->port, &status);
                c->controlDoneAt = c->bench->NowMs();
                return ok ? 0 : 1;
            },
            &changer, 0, nullptr);
        HANDLE dropper = CreateThread(
            nullptr, 0,
            [](LPVOID p) -> DWORD {
                Sleep(300);
                static_cast<LineChanger*>(p)->bench->PeerLines(false, true, true, false);
                return 0;
            },
            &changer, 0, nullptr);
        DWORD events = 0;
        ASSERT_TRUE(WaitCommEvent(h, &events, nullptr));
        EXPECT_EQ(events, static_cast<DWORD>(EV_CTS));
        const int64_t waited = bench.NowMs() - start;
        EXPECT_GE(waited, 300);
        const HANDLE both[] = {asker, dropper};
        EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, INFINITE), WAIT_OBJECT_0);
        DWORD code = 99;
        ASSERT_TRUE(GetExitCodeThread(asker, &code));
        EXPECT_EQ(code, 0u);
        EXPECT_GE(changer.controlDoneAt - start, waited);
        CloseHandle(asker);
        CloseHandle(dropper);
        CloseHandle(h);
    }));
}

TEST(Win32Comm, ClearCommErrorReportsLineErrorsFromAMismatchedFarEnd) {
    BenchOptions options;
    options.wire = Wire::Peer;
    options.peerBaud = 9600;
    Bench bench(options);
    ASSERT_TRUE(bench.Run([&] {
        HANDLE h = Open();
        DCB dcb{};
        GetCommState(h, &dcb);
        dcb.BaudRate = 9600;
        dcb.ByteSize = 8;
        dcb.Parity = EVENPARITY;
        dcb.StopBits = ONESTOPBIT;
        ASSERT_TRUE(SetCommState(h, &dcb));
        DWORD errors = 0xFFFF;
        COMSTAT stat{};
        bench.ClearRequests();
        ASSERT_TRUE(ClearCommError(h, &errors, &stat));
        EXPECT_EQ(bench.Controls(), Codes{IOCTL_SERIAL_GET_COMMSTATUS});
        EXPECT_EQ(errors, 0u);
        EXPECT_EQ(stat.cbInQue, 0u);

        // Odd parity against the port's even: parity errors.
        bench.PeerSendFramed(9600, 8, ODDPARITY, ONESTOPBIT, "AAAA");
        Sleep(100);
        ASSERT_TRUE(ClearCommError(h, &errors, &stat));
        EXPECT_TRUE(errors & CE_RXPARITY) << errors;
        EXPECT_GT(stat.cbInQue, 0u);
        // Read once, the errors are gone.
        ASSERT_TRUE(ClearCommError(h, &errors, &stat));
        EXPECT_EQ(errors, 0u);

        // A break.
        bench.PeerBreak(20);
        Sleep(100);
        ASSERT_TRUE(ClearCommError(h, &errors, &stat));
        EXPECT_TRUE(errors & CE_BREAK) << errors;
        CloseHandle(h);
    }));
}

}  // namespace
