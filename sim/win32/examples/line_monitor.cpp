// line_monitor: waits on a serial port's events with overlapped WaitCommEvent
// and prints each one with its time, while a second thread works the lines
// (DTR, RTS, a break, a few bytes) the way a test jig would. With a loopback
// plug every change comes back as an event. Plain Win32 C++.
//
//   line_monitor [COMn]      (COM3 by default)
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

struct Jig {
    HANDLE port;
};

DWORD WINAPI WorkTheLines(LPVOID parameter) {
    HANDLE port = static_cast<Jig*>(parameter)->port;
    const DWORD steps[] = {CLRDTR, SETDTR, CLRRTS, SETRTS, SETBREAK, CLRBREAK};
    for (DWORD step : steps) {
        Sleep(100);
        if (!EscapeCommFunction(port, step))
            return 1;
    }
    Sleep(100);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    const char hello[] = "hello";
    if (!WriteFile(port, hello, 5, &written, &ov) && GetLastError() != ERROR_IO_PENDING)
        return 2;
    if (!GetOverlappedResult(port, &ov, &written, TRUE) || written != 5)
        return 3;
    CloseHandle(ov.hEvent);
    Sleep(100);
    return 0;
}

std::string Describe(DWORD events) {
    static const struct {
        DWORD bit;
        const char* name;
    } names[] = {{EV_RXCHAR, "RXCHAR"}, {EV_RXFLAG, "RXFLAG"}, {EV_TXEMPTY, "TXEMPTY"},
                 {EV_CTS, "CTS"},       {EV_DSR, "DSR"},       {EV_RLSD, "RLSD"},
                 {EV_BREAK, "BREAK"},   {EV_ERR, "ERR"},       {EV_RING, "RING"}};
    std::string out;
    for (const auto& n : names) {
        if (events & n.bit)
            out += out.empty() ? n.name : std::string(" ") + n.name;
    }
    return out.empty() ? "(none)" : out;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::string name = std::string("\\\\.\\") + (argc > 1 ? argv[1] : "COM3");
    HANDLE port = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::printf("cannot open %s: error %lu\n", name.c_str(), GetLastError() + 0ul);
        return 1;
    }
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    if (!BuildCommDCBA("baud=115200 parity=n data=8 stop=1 dtr=on rts=on", &dcb) ||
        !SetCommState(port, &dcb)) {
        std::printf("cannot set the port up: error %lu\n", GetLastError() + 0ul);
        return 1;
    }
    const DWORD mask = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;
    SetCommMask(port, mask);

    Jig jig{port};
    HANDLE worker = CreateThread(nullptr, 0, WorkTheLines, &jig, 0, nullptr);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    const DWORD start = GetTickCount();
    DWORD seen = 0;
    bool working = true;
    while (working) {
        DWORD events = 0;
        if (!WaitCommEvent(port, &events, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                std::printf("WaitCommEvent failed: error %lu\n", GetLastError() + 0ul);
                return 1;
            }
            HANDLE both[] = {ov.hEvent, worker};
            if (WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
                // The jig is done: a mask of nothing ends the wait still pending.
                working = false;
                SetCommMask(port, 0);
            }
            DWORD unused;
            if (!GetOverlappedResult(port, &ov, &unused, TRUE)) {
                std::printf("the wait failed: error %lu\n", GetLastError() + 0ul);
                return 1;
            }
        }
        std::printf("%6lu ms  %s\n", static_cast<unsigned long>(GetTickCount() - start),
                    Describe(events).c_str());
        seen |= events;
    }
    DWORD jigResult = 0;
    GetExitCodeThread(worker, &jigResult);
    CloseHandle(worker);
    CloseHandle(ov.hEvent);
    CloseHandle(port);
    const DWORD expected = EV_DSR | EV_RLSD | EV_RING | EV_CTS | EV_BREAK | EV_RXCHAR;
    std::printf("events seen: %s\n", Describe(seen).c_str());
    if (jigResult != 0 || (seen & expected) != expected) {
        std::printf("FAILED: the jig answered %lu; expected %s\n", jigResult + 0ul,
                    Describe(expected).c_str());
        return 1;
    }
    std::printf("PASSED\n");
    return 0;
}
