// vodrek-sim terminal: an interactive session on the simulated port, paced to
// the wall clock. A terminal program (terminal_program.cpp, kernel32 only)
// runs in a process of the simulated machine; this side is its console: the
// keys it reads, the screen it writes to, and the loop that lets virtual time
// pass as wall-clock time does.
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include <sim/registry.h>
#include <sim/simulation.h>

#include "line_tools.h"
#include "probe.h"
#include "sim/win32/host/process.h"
#include "terminal_peers.h"
#include "win32_programs.h"

namespace cli {

namespace {

constexpr char kQuitKey = 0x1d;  // Ctrl-]

// --- the person's terminal -------------------------------------------------------------

// The keyboard in raw mode while the session runs (only when it is a
// terminal), put back as it was at the end, and on the signals that end the
// process another way.
struct termios g_saved;
bool g_raw = false;
bool g_scrollRegion = false;

void PutBack() {
    if (g_scrollRegion) {
        // The whole screen scrolls again, and the cursor goes below the text.
        static const char reset[] = "\x1b[r\x1b[999;1H\n";
        ssize_t ignored = write(STDOUT_FILENO, reset, sizeof reset - 1);
        (void)ignored;
        g_scrollRegion = false;
    }
    if (g_raw) {
        tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
        g_raw = false;
    }
}

void PutBackAndDie(int signal) {
    PutBack();
    ::signal(signal, SIG_DFL);
    raise(signal);
}

void RawKeyboard() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_saved) != 0)
        return;
    struct termios raw = g_saved;
    // Every key goes to the port as it is typed: no line editing, no echo (the
    // far end echoes), no signals from Ctrl-C or Ctrl-Z, no CR to LF. Output
    // processing stays, so a line feed still starts a new line on the screen.
    raw.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    raw.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    for (int s : {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGABRT})
        signal(s, PutBackAndDie);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0)
        g_raw = true;
}

// What the program shows. On a terminal the status line stays on the last
// row, below a scrolling region for the text. Otherwise the standard output
// carries only the bytes that came from the port, and the standard error the
// rest: the banner, the closing line, and a status line with its virtual
// time each time a line, an event or an error changes it (and the last one
// at the end), not for every byte counted.
class Screen {
  public:
    Screen() {
        struct winsize size {};
        if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row >= 3) {
            rows_ = size.ws_row;
            columns_ = size.ws_col;
        }
        notes_ = rows_ ? stdout : stderr;
    }

    void Begin(const std::string& banner) {
        Text(banner);
        if (!rows_)
            return;
        // A free last row, then the text scrolls above it.
        std::printf("\n\x1b[A\x1b" "7\x1b[1;%dr\x1b" "8", rows_ - 1);
        g_scrollRegion = true;
        std::fflush(stdout);
    }

    void Show(const char* bytes, size_t count) {
        std::fwrite(bytes, 1, count, stdout);
        atLineStart_ = bytes[count - 1] == '\n';
        std::fflush(stdout);
    }

    void Status(double ms, const std::string& line, bool news) {
        if (!rows_) {
            held_ = line;
            heldAt_ = ms;
            if (news)
                PrintHeld();
            return;
        }
        Measure();
        const std::string shown = line.substr(0, columns_ ? columns_ - 1 : line.size());
        std::printf("\x1b" "7\x1b[%d;1H\x1b[2K\x1b[7m%s\x1b[0m\x1b" "8", rows_, shown.c_str());
        std::fflush(stdout);
    }

    void End(const std::string& closing) {
        PrintHeld();
        if (rows_ && g_scrollRegion) {
            // The whole screen scrolls again; the closing words take the status row.
            std::printf("\x1b[r\x1b[%d;1H\x1b[2K", rows_);
            g_scrollRegion = false;
        } else if (!atLineStart_) {
            std::fputc('\n', notes_);
        }
        Text(closing);
    }

  private:
    // After the window changed size, the scrolling region follows it.
    void Measure() {
        struct winsize size {};
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row < 3 ||
            (size.ws_row == rows_ && size.ws_col == columns_))
            return;
        rows_ = size.ws_row;
        columns_ = size.ws_col;
        std::printf("\x1b" "7\x1b[1;%dr\x1b" "8", rows_ - 1);
    }

    void PrintHeld() {
        if (held_.empty())
            return;
        std::fflush(stdout);
        std::fprintf(notes_, "%s[status %9.3f s] %s\n", atLineStart_ ? "" : "\n", heldAt_ / 1000,
                     held_.c_str());
        atLineStart_ = true;
        held_.clear();
        std::fflush(notes_);
    }

    void Text(const std::string& text) {
        std::fputs(text.c_str(), notes_);
        atLineStart_ = true;
        std::fflush(notes_);
    }

    int rows_ = 0, columns_ = 0;
    FILE* notes_ = stderr;  // where what is not the port's bytes goes
    bool atLineStart_ = true;
    std::string held_;  // a status line not printed yet (plain output)
    double heldAt_ = 0;
};

// --- options ---------------------------------------------------------------------------

struct TerminalOptions {
    int variant = 2;
    uint32_t baud = 9600, peerBaud = 0;
    std::string peer = "echo";
};

int ParseTerminalOptions(const Options& options, TerminalOptions* out) {
    static const char* const kTakesValue[] = {"--chip", "--baud", "--peer", "--peer-baud"};
    for (size_t i = 0; i < options.args.size(); ++i) {
        bool known = false;
        for (const char* name : kTakesValue)
            known = known || options.args[i] == name;
        if (!known) {
            std::fprintf(stderr, "vodrek-sim terminal: unknown argument '%s'\n", options.args[i].c_str());
            return 2;
        }
        ++i;  // its value (a missing one is refused below)
    }
    if (int bad = ParseChip(options, &out->variant))
        return bad;
    if (options.Flag("--chip") && !options.Value("--chip"))
        return Refuse("terminal", "--chip", "", "a variant from 0 to 4");
    uint64_t baud = out->baud, peerBaud = 0;
    if (int bad = ParseCountOption(options, "terminal", "--baud", 50, 12'000'000, &baud))
        return bad;
    if (int bad = ParseCountOption(options, "terminal", "--peer-baud", 50, 12'000'000, &peerBaud))
        return bad;
    out->baud = static_cast<uint32_t>(baud);
    out->peerBaud = peerBaud ? static_cast<uint32_t>(peerBaud) : out->baud;
    if (options.Flag("--peer")) {
        const char* peer = options.Value("--peer");
        if (!peer || (std::strcmp(peer, "echo") != 0 && std::strcmp(peer, "modem") != 0))
            return Refuse("terminal", "--peer", peer ? peer : "", "echo or modem");
        out->peer = peer;
    }
    return 0;
}

}  // namespace

int CommandTerminal(const Options& options) {
    TerminalOptions opts;
    if (int bad = ParseTerminalOptions(options, &opts))
        return bad;

    sim::Simulation simulation;
    sim::Workbench bench;
    sim::AdapterOptions adapterOptions;
    adapterOptions.variant = opts.variant;
    sim::Adapter& adapter = bench.AddAdapter(adapterOptions);
    std::unique_ptr<TerminalPeer> far = MakeTerminalPeer(opts.peer, opts.peerBaud);
    sim::PeerOptions peerOptions;
    peerOptions.format = sim::CharacterFormat::Plain(opts.peerBaud);
    peerOptions.lines = far->InitialLines();
    sim::ScriptedPeer& peer = adapter.AttachPeer(peerOptions);
    const NTSTATUS plugged = adapter.Plug();
    if (!NT_SUCCESS(plugged)) {
        std::fprintf(stderr, "vodrek-sim terminal: the adapter did not start: %s\n",
                     StatusText(plugged).c_str());
        return 1;
    }
    far->Start(peer);
    auto portName = sim::GetRegistryString(adapter.DeviceKeyPath(), u"PortName");
    TerminalSettings settings;
    settings.port = portName ? Narrow(*portName) : "COM3";
    settings.baud = opts.baud;

    Screen screen;
    TerminalConsole console;
    console.show = [&screen](const char* bytes, size_t count) { screen.Show(bytes, count); };
    console.status = [&screen](double ms, const std::string& line, bool news) {
        screen.Status(ms, line, news);
    };
    TerminalSummary summary;

    char banner[256];
    std::snprintf(banner, sizeof banner,
                  "vodrek-sim terminal: %s on chip variant %d, %u 8N1, %s peer%s. Ctrl-] quits.\n",
                  settings.port.c_str(), opts.variant, static_cast<unsigned>(opts.baud), opts.peer.c_str(),
                  opts.peerBaud != opts.baud
                      ? (" at " + std::to_string(opts.peerBaud)).c_str()
                      : "");
    RawKeyboard();
    screen.Begin(banner);

    sim::win32::Process process;
    process.SetPortNames({settings.port});
    process.StartMain([&] { return TerminalProgram(settings, console, &summary); }, "terminal");

    // Virtual time follows the wall clock: wait for keys up to 10 ms, then
    // let the machine run for as long as that took.
    bool inputOpen = true;
    auto last = std::chrono::steady_clock::now();
    while (!process.MainFinished()) {
        struct pollfd keyboard = {STDIN_FILENO, POLLIN, 0};
        if (poll(inputOpen ? &keyboard : nullptr, inputOpen ? 1 : 0, 10) > 0) {
            char keys[256];
            const ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                inputOpen = false;
                console.inputEnded = true;
            } else {
                const char* quit = static_cast<const char*>(std::memchr(keys, kQuitKey, n));
                console.typed.append(keys, quit ? quit - keys : n);
                if (quit) {
                    inputOpen = false;
                    console.quit = true;
                }
            }
            simulation.Schedule(0, "console", [&console] { WakeTerminal(console); });
        }
        const auto now = std::chrono::steady_clock::now();
        // A host that fell behind (a stop in a debugger) does not make the machine race.
        const auto elapsed = std::min<std::chrono::nanoseconds>(now - last, std::chrono::milliseconds(250));
        last = now;
        simulation.RunFor(std::max<sim::Ticks>(1, elapsed.count() / 100));
    }
    const int status = process.MainExitCode();
    // The process ends as processes end: its handles closed.
    const int closer = simulation.CreateThread("process exit", [&process] { process.CloseAllHandles(); });
    simulation.RunUntil([&] { return simulation.ThreadFinished(closer); }, 10 * sim::kSecond);
    far.reset();

    std::string closing = "vodrek-sim terminal: closed " + settings.port + " after " +
                          std::to_string(summary.sent) + " bytes sent, " +
                          std::to_string(summary.received) + " received\n";
    if (!summary.failure.empty())
        closing = "vodrek-sim terminal: " + summary.failure + "\n" + closing;
    screen.End(closing);
    PutBack();
    return status;
}

}  // namespace cli
