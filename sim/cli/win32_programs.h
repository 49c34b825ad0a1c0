// The two Windows programs vodrek-sim runs on the simulated machine (the
// terminal and the demo's tour), as seen from the simulator's side. Their
// sources include the client API's <windows.h>; this header uses plain types
// only, so the kernel's stand-in headers and the program's never meet.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace cli {

// --- vodrek-sim terminal -----------------------------------------------------------

// The console the terminal program reads keys from and writes to. The host
// loop fills `typed` and wakes the program (WakeTerminal, from inside the
// simulation); the program takes the keys, sends them, and shows what comes
// back through `show` and the state of the port through `status`.
struct TerminalConsole {
    std::string typed;        // keys not yet taken by the program
    bool inputEnded = false;  // no more keys: quit once the answers are in
    bool quit = false;        // the quit key: quit now
    void* wake = nullptr;     // the program's event (a HANDLE), made by the program

    std::function<void(const char* bytes, size_t count)> show;
    // The status line, each time it changes; `ms` is the virtual time.
    // `news` says whether more than the byte counts changed (a line, an
    // event, an error).
    std::function<void(double ms, const std::string& line, bool news)> status;
};

struct TerminalSettings {
    std::string port;  // COM3
    uint32_t baud = 9600;
    // After the end of input, how long the line must stay quiet (no byte and
    // no event) before the program quits.
    uint32_t lingerMs = 500;
};

// What the program did, for the closing line.
struct TerminalSummary {
    uint64_t sent = 0, received = 0;
    std::string failure;  // empty, or the call that failed and its error
};

// The terminal program: opens the port, sets it up, then sends what is typed
// and shows what comes back until told to quit. Answers its exit code. Runs
// as a thread of the simulated process.
int TerminalProgram(const TerminalSettings& settings, TerminalConsole& console,
                    TerminalSummary* summary);
// Sets the program's event, so it takes the keys (or the end of input).
void WakeTerminal(TerminalConsole& console);

// --- vodrek-sim demo -----------------------------------------------------------------

// The guided tour: a program that opens `port` (a loopback plug on its
// connector), sets 115200 8N1, writes and reads back, shows the modem lines,
// waits for an event and reads the statistics, saying at each step what it
// does and what came back. Answers its exit code.
int TourProgram(const std::string& port);

}  // namespace cli
