// The program behind vodrek-sim terminal, written as a Windows terminal
// program is written: one thread that keeps three overlapped requests on the
// port (a read, an event wait, a write when there is something to send) and
// waits on them and on the console's event together. It sees the port only
// through kernel32.
#include <windows.h>

#include <cstdio>
#include <string>

#include "plain_line.h"
#include "win32_programs.h"

namespace cli {

namespace {

// Events the status line counts, and the errors ClearCommError reports.
const struct {
    DWORD bit;
    const char* name;
} kEvents[] = {{EV_CTS, "CTS"},     {EV_DSR, "DSR"},     {EV_RLSD, "RLSD"},
               {EV_RING, "RING"},   {EV_BREAK, "BREAK"}, {EV_ERR, "ERR"}};
const struct {
    DWORD bit;
    const char* name;
} kErrors[] = {{CE_FRAME, "frame"},     {CE_RXPARITY, "parity"}, {CE_OVERRUN, "overrun"},
               {CE_RXOVER, "rx-overflow"}, {CE_BREAK, "break"}};
constexpr size_t kEventKinds = sizeof kEvents / sizeof kEvents[0];
constexpr size_t kErrorKinds = sizeof kErrors / sizeof kErrors[0];

class Terminal {
  public:
    Terminal(const TerminalSettings& settings, TerminalConsole& console, TerminalSummary& summary)
        : settings_(settings), console_(console), summary_(summary) {}

    int Run() {
        const std::string path = "\\\\.\\" + settings_.port;
        port_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        if (port_ == INVALID_HANDLE_VALUE) {
            Failed("CreateFileA(" + path + ")");
            return 1;
        }
        const int status = SetUp() ? Session() : 1;
        // The console stops waking the program before its event goes.
        console_.wake = nullptr;
        CloseHandle(port_);
        for (HANDLE h : {keys_, read_.hEvent, wait_.hEvent, write_.hEvent}) {
            if (h)
                CloseHandle(h);
        }
        return status;
    }

  private:
    // Notes the call that failed, with its error; answers false.
    bool Failed(const std::string& what) {
        summary_.failure = what + " failed: error " + std::to_string(GetLastError());
        return false;
    }

    bool SetUp() {
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(port_, &dcb))
            return Failed("GetCommState");
        SetPlainLine(dcb, settings_.baud);
        if (!SetCommState(port_, &dcb))
            return Failed("SetCommState");
        // A read comes back as soon as anything has arrived, or empty after a
        // second; writes have no time limit.
        COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 1000, 0, 0};
        if (!SetCommTimeouts(port_, &timeouts))
            return Failed("SetCommTimeouts");
        if (!SetCommMask(port_, EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR))
            return Failed("SetCommMask");
        if (!GetCommModemStatus(port_, &modem_))
            return Failed("GetCommModemStatus");
        // Signalled at first: the keys typed before the program ran are taken at once.
        keys_ = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        read_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        wait_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        write_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        console_.wake = keys_;
        Status();
        return true;
    }

    int Session() {
        if (!StartRead() || !StartWait())
            return Finish(1);
        lastActivity_ = GetTickCount64();
        // After the end of input (or the quit key, which waits for nothing
        // but the keys typed before it), the line must have been quiet this long.
        DWORD linger = settings_.lingerMs;
        for (;;) {
            HANDLE handles[4] = {keys_, read_.hEvent, wait_.hEvent, write_.hEvent};
            const DWORD count = writing_ ? 4 : 3;
            DWORD timeout = INFINITE;
            if (ending_ && !writing_ && pending_.empty()) {
                const ULONGLONG quietFor = GetTickCount64() - lastActivity_;
                if (quietFor >= linger)
                    return Finish(0);
                timeout = static_cast<DWORD>(linger - quietFor);
            }
            const DWORD which = WaitForMultipleObjects(count, handles, FALSE, timeout);
            if (which == WAIT_TIMEOUT)
                continue;
            if (which == WAIT_FAILED) {
                Failed("WaitForMultipleObjects");
                return Finish(1);
            }
            switch (which - WAIT_OBJECT_0) {
                case 0:
                    ResetEvent(keys_);
                    pending_ += console_.typed;
                    console_.typed.clear();
                    ending_ = console_.inputEnded || console_.quit;
                    if (console_.quit)
                        linger = 0;
                    break;
                case 1:
                    if (!ReadDone() || !StartRead())
                        return Finish(1);
                    break;
                case 2:
                    if (!WaitDone() || !StartWait())
                        return Finish(1);
                    break;
                case 3:
                    if (!WriteDone())
                        return Finish(1);
                    break;
            }
            if (!writing_ && !pending_.empty() && !StartWrite())
                return Finish(1);
        }
    }

    // --- the read -------------------------------------------------------------------

    // Issues reads until one stays pending, showing what those that completed at once brought.
    bool StartRead() {
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(port_, buffer_, sizeof buffer_, &got, &read_)) {
                reading_ = GetLastError() == ERROR_IO_PENDING;
                return reading_ || Failed("ReadFile");
            }
            Show(got);
        }
    }

    // An overlapped request of ours ended: no longer pending, and its byte count.
    bool Ended(OVERLAPPED& request, bool& pending, DWORD* bytes, const char* what) {
        pending = false;
        if (!GetOverlappedResult(port_, &request, bytes, FALSE))
            return Failed(std::string(what) + " (completing)");
        return true;
    }

    bool ReadDone() {
        DWORD got = 0;
        if (!Ended(read_, reading_, &got, "ReadFile"))
            return false;
        Show(got);
        return true;
    }

    void Show(DWORD got) {
        if (got == 0)
            return;
        summary_.received += got;
        lastActivity_ = GetTickCount64();
        if (console_.show)
            console_.show(buffer_, got);
        Status();
    }

    // --- the event wait -------------------------------------------------------------------

    bool StartWait() {
        for (;;) {
            if (!WaitCommEvent(port_, &events_, &wait_)) {
                waiting_ = GetLastError() == ERROR_IO_PENDING;
                return waiting_ || Failed("WaitCommEvent");
            }
            if (!Note(events_))
                return false;
        }
    }

    bool WaitDone() {
        DWORD unused = 0;
        return Ended(wait_, waiting_, &unused, "WaitCommEvent") && Note(events_);
    }

    // An event came: counted, then the lines and the error state read again.
    bool Note(DWORD events) {
        for (size_t i = 0; i < kEventKinds; ++i) {
            if (events & kEvents[i].bit)
                ++eventCounts_[i];
        }
        DWORD errors = 0;
        COMSTAT stat = {};
        if (!ClearCommError(port_, &errors, &stat))
            return Failed("ClearCommError");
        for (size_t i = 0; i < kErrorKinds; ++i) {
            if (errors & kErrors[i].bit)
                ++errorCounts_[i];
        }
        if (!GetCommModemStatus(port_, &modem_))
            return Failed("GetCommModemStatus");
        lastActivity_ = GetTickCount64();
        Status();
        return true;
    }

    // --- the write ------------------------------------------------------------------------

    bool StartWrite() {
        inFlight_.swap(pending_);
        pending_.clear();
        DWORD written = 0;
        if (WriteFile(port_, inFlight_.data(), static_cast<DWORD>(inFlight_.size()), &written,
                      &write_)) {
            Wrote(written);
            return true;
        }
        if (GetLastError() != ERROR_IO_PENDING)
            return Failed("WriteFile");
        writing_ = true;
        return true;
    }

    bool WriteDone() {
        DWORD written = 0;
        if (!Ended(write_, writing_, &written, "WriteFile"))
            return false;
        Wrote(written);
        return true;
    }

    void Wrote(DWORD written) {
        summary_.sent += written;
        lastActivity_ = GetTickCount64();
        Status();
    }

    // --- the end ----------------------------------------------------------------------------

    // Ends the requests still out: a mask of nothing completes the event
    // wait, the read and a write still going are cancelled.
    int Finish(int status) {
        if (waiting_) {
            SetCommMask(port_, 0);
            DWORD unused = 0;
            GetOverlappedResult(port_, &wait_, &unused, TRUE);
            waiting_ = false;
        }
        if (reading_) {
            CancelIoEx(port_, &read_);
            DWORD got = 0;
            if (GetOverlappedResult(port_, &read_, &got, TRUE))
                Show(got);
            reading_ = false;
        }
        if (writing_) {
            CancelIoEx(port_, &write_);
            DWORD written = 0;
            GetOverlappedResult(port_, &write_, &written, TRUE);
            summary_.sent += written;
            writing_ = false;
        }
        return status;
    }

    // --- the status line ---------------------------------------------------------------------

    void Status() {
        auto on = [this](DWORD bit) { return (modem_ & bit) ? "on" : "off"; };
        std::string line = settings_.port + " " + std::to_string(settings_.baud) + " 8N1 | CTS " +
                           on(MS_CTS_ON) + " DSR " + on(MS_DSR_ON) + " DCD " + on(MS_RLSD_ON) +
                           " RI " + on(MS_RING_ON) + " | events:";
        size_t shown = 0;
        for (size_t i = 0; i < kEventKinds; ++i) {
            if (eventCounts_[i]) {
                line += std::string(" ") + kEvents[i].name + " " + std::to_string(eventCounts_[i]);
                ++shown;
            }
        }
        if (!shown)
            line += " none";
        line += " | errors:";
        shown = 0;
        for (size_t i = 0; i < kErrorKinds; ++i) {
            if (errorCounts_[i]) {
                line += std::string(" ") + kErrors[i].name + " " + std::to_string(errorCounts_[i]);
                ++shown;
            }
        }
        if (!shown)
            line += " none";
        const bool news = line != lastState_;
        lastState_ = line;
        line += " | tx " + std::to_string(summary_.sent) + " rx " + std::to_string(summary_.received);
        if (line == lastStatus_)
            return;
        lastStatus_ = line;
        LARGE_INTEGER now, frequency;
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        if (console_.status)
            console_.status(1000.0 * static_cast<double>(now.QuadPart) /
                                static_cast<double>(frequency.QuadPart),
                            line, news);
    }

    const TerminalSettings& settings_;
    TerminalConsole& console_;
    TerminalSummary& summary_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    HANDLE keys_ = nullptr;
    OVERLAPPED read_ = {}, wait_ = {}, write_ = {};
    char buffer_[256];
    DWORD events_ = 0;
    DWORD modem_ = 0;
    std::string pending_, inFlight_;
    bool reading_ = false, waiting_ = false, writing_ = false;
    bool ending_ = false;
    ULONGLONG lastActivity_ = 0;
    unsigned long eventCounts_[kEventKinds] = {};
    unsigned long errorCounts_[kErrorKinds] = {};
    std::string lastStatus_, lastState_;
};

}  // namespace

int TerminalProgram(const TerminalSettings& settings, TerminalConsole& console,
                    TerminalSummary* summary) {
    return Terminal(settings, console, *summary).Run();
}

void WakeTerminal(TerminalConsole& console) {
    if (console.wake)
        SetEvent(static_cast<HANDLE>(console.wake));
}

}  // namespace cli
