// The demo's tour: a Windows program that uses the port the way an
// application does, through kernel32 only, and says at each step what it
// called and what came back, with the virtual time since it started.
#include <windows.h>
#include <winioctl.h>
#include <ntddser.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "plain_line.h"
#include "win32_programs.h"

namespace cli {

namespace {

class Tour {
  public:
    explicit Tour(const std::string& port) : port_(port) {
        QueryPerformanceFrequency(&frequency_);
        QueryPerformanceCounter(&start_);
    }

    int Run() {
        if (!Open() || !Configure() || !WriteAndReadBack() || !ModemLines() || !EventWait() ||
            !Statistics())
            return 1;
        Step("Close the port");
        Call("CloseHandle(port)");
        if (!CloseHandle(port_handle_)) {
            Failed("CloseHandle");
            return 1;
        }
        Said("TRUE: the driver heard the cleanup and the close; %s is free again", port_.c_str());
        return 0;
    }

  private:
    // --- saying what happens ----------------------------------------------------------

    double Ms() const {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return 1000.0 * static_cast<double>(now.QuadPart - start_.QuadPart) /
               static_cast<double>(frequency_.QuadPart);
    }

    void Step(const char* title) {
        std::printf("\n%d. %s\n", ++step_, title);
    }

    // A call as the program makes it, at the time it is made.
    void Call(const std::string& call) {
        std::printf("   %9.3f ms  %s\n", Ms(), call.c_str());
    }

    // What came back (or what it means), with the time it came back.
    void Said(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        std::printf("   %9.3f ms    -> ", Ms());
        std::vprintf(format, args);
        std::printf("\n");
        va_end(args);
    }

    // Says which call failed and its error; answers false.
    bool Failed(const char* what) {
        std::printf("   FAILED: %s, error %lu\n", what, static_cast<unsigned long>(GetLastError()));
        return false;
    }

    static const char* OnOff(DWORD status, DWORD bit) { return (status & bit) ? "on" : "off"; }

    std::string Lines(DWORD status) {
        return std::string("CTS ") + OnOff(status, MS_CTS_ON) + ", DSR " + OnOff(status, MS_DSR_ON) +
               ", RLSD (DCD) " + OnOff(status, MS_RLSD_ON) + ", RING " + OnOff(status, MS_RING_ON);
    }

    // --- the steps -------------------------------------------------------------------------

    bool Open() {
        Step("Open the port");
        const std::string path = "\\\\.\\" + port_;
        Call("CreateFileA(\"\\\\.\\" + port_ +
             "\", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL)");
        port_handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (port_handle_ == INVALID_HANDLE_VALUE)
            return Failed("CreateFileA");
        Said("a handle: the driver accepted the open");
        Call("CreateFileA(\"\\\\.\\" + port_ + "\", ...) again, while the first handle is open");
        HANDLE second = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (second != INVALID_HANDLE_VALUE) {
            CloseHandle(second);
            return Failed("the second open (it should have been refused)");
        }
        Said("INVALID_HANDLE_VALUE, GetLastError() = %lu%s: a port has one user at a time",
             static_cast<unsigned long>(GetLastError()),
             GetLastError() == ERROR_ACCESS_DENIED ? " (ERROR_ACCESS_DENIED)" : "");
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        return true;
    }

    bool Configure() {
        Step("Set 115200 baud, 8 data bits, no parity, 1 stop bit");
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        Call("GetCommState(port, &dcb)");
        if (!GetCommState(port_handle_, &dcb))
            return Failed("GetCommState");
        Said("BaudRate %lu, ByteSize %u, Parity %u, StopBits %u: what the port has before anyone set it",
             static_cast<unsigned long>(dcb.BaudRate), dcb.ByteSize, dcb.Parity, dcb.StopBits);
        SetPlainLine(dcb, CBR_115200);
        Call("SetCommState(port, &dcb)   BaudRate CBR_115200, ByteSize 8, NOPARITY, ONESTOPBIT, "
             "DTR and RTS on, no flow control");
        if (!SetCommState(port_handle_, &dcb))
            return Failed("SetCommState");
        DCB check = {};
        check.DCBlength = sizeof check;
        GetCommState(port_handle_, &check);
        Said("TRUE; GetCommState now reads %lu %u%c%s", static_cast<unsigned long>(check.BaudRate),
             check.ByteSize, check.Parity == NOPARITY ? 'N' : '?', check.StopBits == ONESTOPBIT ? "1" : "?");
        COMMTIMEOUTS timeouts = {20, 0, 1000, 0, 0};
        Call("SetCommTimeouts(port, {ReadIntervalTimeout 20, ReadTotalTimeoutConstant 1000})");
        if (!SetCommTimeouts(port_handle_, &timeouts))
            return Failed("SetCommTimeouts");
        Said("TRUE: a read ends 20 ms after the last byte that came, or after 1 s");
        return true;
    }

    // One overlapped request waited for, as a program that has nothing else to do waits.
    bool Complete(BOOL started, DWORD* count, const char* what) {
        if (!started) {
            if (GetLastError() != ERROR_IO_PENDING)
                return Failed(what);
            if (!GetOverlappedResult(port_handle_, &overlapped_, count, TRUE))
                return Failed(what);
        }
        return true;
    }

    bool WriteAndReadBack() {
        Step("Write a line and read it back through the loopback plug");
        const std::string message = "Hello from " + port_ + ", round the loopback plug and back";
        overlapped_ = {};
        overlapped_.hEvent = event_;
        DWORD written = 0;
        Call("WriteFile(port, \"" + message + "\", " + std::to_string(message.size()) + ", ...)");
        const double began = Ms();
        if (!Complete(WriteFile(port_handle_, message.data(), static_cast<DWORD>(message.size()),
                                &written, &overlapped_),
                      &written, "WriteFile"))
            return false;
        Said("%lu bytes written after %.3f ms: the write completes once the chip has taken the bytes "
             "(%zu characters of 10 bits take %.3f ms on the line at 115200 baud)",
             static_cast<unsigned long>(written), Ms() - began, message.size(),
             message.size() * 10 * 1000.0 / 115200);

        char buffer[128] = {};
        DWORD got = 0;
        overlapped_ = {};
        overlapped_.hEvent = event_;
        Call("ReadFile(port, buffer, " + std::to_string(sizeof buffer) + ", ...)");
        const double asked = Ms();
        if (!Complete(ReadFile(port_handle_, buffer, sizeof buffer, &got, &overlapped_), &got,
                      "ReadFile"))
            return false;
        const std::string back(buffer, got);
        Said("%lu bytes: \"%s\" (%s)", static_cast<unsigned long>(got), back.c_str(),
             back == message ? "the same bytes" : "NOT what was written");
        Said("the read asked for more than came, so it ended %.3f ms after it began, once 20 ms "
             "had passed without a byte (timers run on the 15.625 ms clock)",
             Ms() - asked);
        return back == message || Failed("the bytes read back");
    }

    // The chip reports its input lines over USB when they change: a program
    // that changed an output looks at the inputs a moment later.
    void LinesAfter(DWORD function, const char* name, const char* what) {
        Call(std::string("EscapeCommFunction(port, ") + name + "); Sleep(20); GetCommModemStatus(port, &status)");
        if (!EscapeCommFunction(port_handle_, function)) {
            Failed("EscapeCommFunction");
            return;
        }
        Sleep(20);
        DWORD status = 0;
        GetCommModemStatus(port_handle_, &status);
        Said("%s: %s", what, Lines(status).c_str());
    }

    bool ModemLines() {
        Step("The modem lines: the plug loops RTS to CTS, and DTR to DSR, DCD and RI");
        DWORD status = 0;
        Call("GetCommModemStatus(port, &status)");
        if (!GetCommModemStatus(port_handle_, &status))
            return Failed("GetCommModemStatus");
        Said("%s (DTR and RTS are on)", Lines(status).c_str());
        LinesAfter(CLRDTR, "CLRDTR", "DTR off");
        LinesAfter(SETDTR, "SETDTR", "DTR on again");
        return true;
    }

    bool EventWait() {
        Step("Wait for an event: CTS changes when RTS is cleared");
        Call("SetCommMask(port, EV_CTS)");
        if (!SetCommMask(port_handle_, EV_CTS))
            return Failed("SetCommMask");
        DWORD events = 0;
        overlapped_ = {};
        overlapped_.hEvent = event_;
        Call("WaitCommEvent(port, &events, &overlapped)");
        if (WaitCommEvent(port_handle_, &events, &overlapped_))
            return Failed("WaitCommEvent (it should have waited)");
        if (GetLastError() != ERROR_IO_PENDING)
            return Failed("WaitCommEvent");
        Said("FALSE with ERROR_IO_PENDING: the wait is on, nothing has happened yet");
        Sleep(50);
        Call("EscapeCommFunction(port, CLRRTS)   (after a Sleep(50))");
        const double cleared = Ms();
        if (!EscapeCommFunction(port_handle_, CLRRTS))
            return Failed("EscapeCommFunction");
        DWORD unused = 0;
        Call("GetOverlappedResult(port, &overlapped, &unused, TRUE)");
        if (!GetOverlappedResult(port_handle_, &overlapped_, &unused, TRUE))
            return Failed("GetOverlappedResult");
        DWORD status = 0;
        GetCommModemStatus(port_handle_, &status);
        Said("events = %s, %.3f ms after RTS was cleared; CTS is now %s",
             events == EV_CTS ? "EV_CTS" : "something else", Ms() - cleared, OnOff(status, MS_CTS_ON));
        Call("EscapeCommFunction(port, SETRTS); SetCommMask(port, 0)");
        EscapeCommFunction(port_handle_, SETRTS);
        SetCommMask(port_handle_, 0);
        return events == EV_CTS || Failed("the event");
    }

    bool Statistics() {
        Step("Statistics: the driver's counters, and the error state");
        SERIALPERF_STATS stats = {};
        DWORD returned = 0;
        overlapped_ = {};
        overlapped_.hEvent = event_;
        Call("DeviceIoControl(port, IOCTL_SERIAL_GET_STATS, NULL, 0, &stats, sizeof stats, ...)");
        if (!Complete(DeviceIoControl(port_handle_, IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats,
                                      sizeof stats, &returned, &overlapped_),
                      &returned, "DeviceIoControl"))
            return false;
        Said("%lu bytes received, %lu transmitted; errors: %lu framing, %lu overrun, %lu buffer "
             "overrun, %lu parity",
             static_cast<unsigned long>(stats.ReceivedCount),
             static_cast<unsigned long>(stats.TransmittedCount),
             static_cast<unsigned long>(stats.FrameErrorCount),
             static_cast<unsigned long>(stats.SerialOverrunErrorCount),
             static_cast<unsigned long>(stats.BufferOverrunErrorCount),
             static_cast<unsigned long>(stats.ParityErrorCount));
        DWORD errors = 0;
        COMSTAT stat = {};
        Call("ClearCommError(port, &errors, &comstat)");
        if (!ClearCommError(port_handle_, &errors, &stat))
            return Failed("ClearCommError");
        Said("errors 0x%lX%s; COMSTAT: %lu bytes waiting to be read, %lu to be sent, %s",
             static_cast<unsigned long>(errors), errors ? "" : " (none)",
             static_cast<unsigned long>(stat.cbInQue), static_cast<unsigned long>(stat.cbOutQue),
             stat.fCtsHold || stat.fDsrHold || stat.fRlsdHold || stat.fXoffHold ? "transmission held"
                                                                                : "nothing holding transmission");
        CloseHandle(event_);
        return true;
    }

    std::string port_;
    HANDLE port_handle_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
    OVERLAPPED overlapped_ = {};
    LARGE_INTEGER frequency_ = {}, start_ = {};
    int step_ = 0;
};

}  // namespace

int TourProgram(const std::string& port) {
    return Tour(port).Run();
}

}  // namespace cli
