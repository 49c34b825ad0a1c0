// vodrek-sim receive: a far end sends a known pattern into the adapter at line
// rate and an application reads it through the port's COM name, as a terminal
// program would. The report says at a glance whether anything was lost, and
// whether the driver said so when it was.
#include <algorithm>
#include <cerrno>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include <sim/files.h>
#include <sim/io.h>
#include <sim/serial_wires.h>
#include <sim/workbench/workbench.h>

#include "cli.h"
#include "probe.h"

namespace cli {

namespace {

enum class Flow { None, RtsCts, DtrDsr, XonXoff };

struct ReceiveSettings {
    int variant = 2;
    ULONG baud = 921600;
    uint64_t bytes = 65536;
    Flow flow = Flow::None;
    bool peerIgnoresFlow = false;
    ULONG readSize = 4096;
    SERIAL_TIMEOUTS timeouts{50, 0, 1000, 0, 0};
    sim::Ticks readGap = 0;
    const char* pcap = nullptr;
    bool json = false;
};

const char* FlowName(Flow flow) {
    switch (flow) {
        case Flow::None: return "none";
        case Flow::RtsCts: return "rtscts";
        case Flow::DtrDsr: return "dtrdsr";
        case Flow::XonXoff: return "xonxoff";
    }
    return "?";
}

bool ParseNumber(const char* text, uint64_t max, uint64_t* out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(text, &end, 0);
    if (*end != 0 || errno || n > max || text[0] == '-') return false;
    *out = n;
    return true;
}

// A timeout value: a number of milliseconds, or MAX for MAXULONG.
bool ParseTimeout(const std::string& text, ULONG* out) {
    if (text == "MAX" || text == "max") {
        *out = MAXULONG;
        return true;
    }
    uint64_t n;
    if (!ParseNumber(text.c_str(), MAXULONG, &n)) return false;
    *out = static_cast<ULONG>(n);
    return true;
}

int Refuse(const char* option, const char* value, const char* expected) {
    std::fprintf(stderr, "vodrek-sim receive: %s takes %s, not '%s'\n", option, expected, value);
    return 2;
}

int ParseReceive(const Options& options, ReceiveSettings* s) {
    if (int bad = ParseChip(options, &s->variant)) return bad;
    uint64_t n;
    if (const char* v = options.Value("--baud")) {
        if (!ParseNumber(v, 12'000'000, &n) || n < 50) return Refuse("--baud", v, "a rate from 50 to 12000000");
        s->baud = static_cast<ULONG>(n);
    }
    if (const char* v = options.Value("--bytes")) {
        if (!ParseNumber(v, 1ull << 30, &n) || n == 0) return Refuse("--bytes", v, "a count from 1 to 1073741824");
        s->bytes = n;
    }
    if (const char* v = options.Value("--read-size")) {
        if (!ParseNumber(v, 1u << 20, &n) || n == 0) return Refuse("--read-size", v, "a length from 1 to 1048576");
        s->readSize = static_cast<ULONG>(n);
    }
    if (const char* v = options.Value("--read-gap")) {
        if (!ParseNumber(v, 60'000, &n)) return Refuse("--read-gap", v, "milliseconds from 0 to 60000");
        s->readGap = static_cast<sim::Ticks>(n) * sim::kMillisecond;
    }
    if (const char* v = options.Value("--flow")) {
        const std::string f = v;
        if (f == "none") s->flow = Flow::None;
        else if (f == "rtscts") s->flow = Flow::RtsCts;
        else if (f == "dtrdsr") s->flow = Flow::DtrDsr;
        else if (f == "xonxoff") s->flow = Flow::XonXoff;
        else return Refuse("--flow", v, "none, rtscts, dtrdsr or xonxoff");
    }
    if (const char* v = options.Value("--timeouts")) {
        std::string text = v;
        ULONG values[3];
        size_t start = 0;
        for (int i = 0; i < 3; ++i) {
            const size_t comma = text.find(',', start);
            const bool last = i == 2;
            if ((comma == std::string::npos) != last) return Refuse("--timeouts", v, "I,M,C (milliseconds or MAX)");
            const std::string part = text.substr(start, last ? std::string::npos : comma - start);
            if (!ParseTimeout(part, &values[i])) return Refuse("--timeouts", v, "I,M,C (milliseconds or MAX)");
            start = comma + 1;
        }
        s->timeouts.ReadIntervalTimeout = values[0];
        s->timeouts.ReadTotalTimeoutMultiplier = values[1];
        s->timeouts.ReadTotalTimeoutConstant = values[2];
    }
    s->peerIgnoresFlow = options.Flag("--peer-ignores-flow");
    s->pcap = options.Value("--pcap");
    s->json = options.Flag("--json");
    return 0;
}

// The pattern the peer sends: no run repeats within 64 KiB, and under XON/XOFF
// flow control it never contains the two flow characters, which are not data.
uint8_t PatternByte(uint64_t i, bool avoidFlowCharacters) {
    uint8_t b = static_cast<uint8_t>((i * 7) ^ (i >> 8) ^ (i >> 16));
    if (avoidFlowCharacters && (b == 0x11 || b == 0x13)) b ^= 0x40;
    return b;
}

// What arrived, against what was sent: bytes in order, bytes missing (gaps
// found by finding the pattern again), and bytes that matched nothing.
struct Comparison {
    uint64_t matched = 0, lost = 0, corrupted = 0;
    uint64_t firstProblemAt = UINT64_MAX;  // offset in what was received
};

Comparison Compare(const std::vector<uint8_t>& got, uint64_t sent, bool avoid) {
    Comparison c;
    uint64_t expected = 0;
    auto note = [&](uint64_t at) { c.firstProblemAt = std::min(c.firstProblemAt, at); };
    for (uint64_t i = 0; i < got.size();) {
        if (expected < sent && got[i] == PatternByte(expected, avoid)) {
            ++c.matched;
            ++expected;
            ++i;
            continue;
        }
        note(i);
        // Find the pattern again: the next eight bytes received, somewhere ahead.
        const uint64_t window = std::min<uint64_t>(sent - std::min(sent, expected), 1 << 16);
        uint64_t found = UINT64_MAX;
        for (uint64_t skip = 1; skip <= window && found == UINT64_MAX; ++skip) {
            bool all = true;
            for (uint64_t k = 0; k < 8 && i + k < got.size(); ++k) {
                if (expected + skip + k >= sent || got[i + k] != PatternByte(expected + skip + k, avoid)) {
                    all = false;
                    break;
                }
            }
            if (all) found = skip;
        }
        if (found != UINT64_MAX) {
            c.lost += found;
            expected += found;
        } else {
            ++c.corrupted;
            ++i;
            if (expected < sent) ++expected;
        }
    }
    if (expected < sent) {
        if (c.lost + c.corrupted == 0) note(got.size());
        c.lost += sent - expected;
    }
    return c;
}

SERIAL_HANDFLOW HandFlowFor(Flow flow, ULONG ringSize) {
    SERIAL_HANDFLOW h{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, static_cast<LONG>(ringSize / 2),
                      static_cast<LONG>(ringSize / 8)};
    switch (flow) {
        case Flow::None: break;
        case Flow::RtsCts:
            h.ControlHandShake = SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE;
            h.FlowReplace = SERIAL_RTS_HANDSHAKE;
            break;
        case Flow::DtrDsr:
            h.ControlHandShake = SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE;
            break;
        case Flow::XonXoff:
            h.FlowReplace = SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE;
            break;
    }
    return h;
}

// One device control through the handle, waited for.
NTSTATUS Control(sim::Simulation& sim, sim::File& file, ULONG code, std::vector<uint8_t> input,
                 ULONG outputLength = 0, std::vector<uint8_t>* output = nullptr) {
    auto r = file.DeviceIoControl(code, std::move(input), outputLength);
    sim.RunUntil([&] { return r->Completed(); }, 10 * sim::kSecond);
    if (output) *output = r->Output();
    return r->Completed() ? r->Status() : STATUS_IO_TIMEOUT;
}

template <typename T>
T Record(const std::vector<uint8_t>& bytes) {
    T value{};
    std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof(T)));
    return value;
}

std::string TimeoutText(ULONG value) { return value == MAXULONG ? "MAX" : std::to_string(value); }

}  // namespace

int CommandReceive(const Options& options) {
    ReceiveSettings s;
    if (int bad = ParseReceive(options, &s)) return bad;
    const bool avoid = s.flow == Flow::XonXoff;

    sim::Simulation simulation;
    sim::Workbench bench;
    sim::AdapterOptions adapterOptions;
    adapterOptions.variant = s.variant;
    sim::Adapter& adapter = bench.AddAdapter(adapterOptions);
    adapter.Capture().Clear();
    if (s.pcap && !adapter.Capture().OpenPcap(s.pcap)) {
        std::fprintf(stderr, "vodrek-sim receive: cannot write the capture to %s\n", s.pcap);
        return 1;
    }
    sim::PeerOptions peerOptions;
    peerOptions.format = sim::CharacterFormat::Plain(s.baud);
    const bool obey = !s.peerIgnoresFlow;
    peerOptions.obeyRts = obey && s.flow == Flow::RtsCts;
    peerOptions.obeyDtr = obey && s.flow == Flow::DtrDsr;
    peerOptions.obeyXonXoff = obey && s.flow == Flow::XonXoff;
    sim::ScriptedPeer& peer = adapter.AttachPeer(peerOptions);

    const NTSTATUS plugged = adapter.Plug();
    if (!NT_SUCCESS(plugged)) {
        std::fprintf(stderr, "vodrek-sim receive: the adapter did not start: %s\n", StatusText(plugged).c_str());
        return 1;
    }
    NTSTATUS status;
    sim::File file = sim::File::Open(u"\\\\.\\COM3", &status, sim::OverlappedOpen());
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "vodrek-sim receive: opening \\\\.\\COM3 failed: %s\n", StatusText(status).c_str());
        return 1;
    }
    // The settings an application makes after opening, each checked.
    struct Step {
        const char* what;
        NTSTATUS status;
    };
    std::vector<Step> steps;
    SERIAL_BAUD_RATE rate{s.baud};
    steps.push_back({"SET_BAUD_RATE", Control(simulation, file, IOCTL_SERIAL_SET_BAUD_RATE, sim::Bytes(rate))});
    SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
    steps.push_back({"SET_LINE_CONTROL", Control(simulation, file, IOCTL_SERIAL_SET_LINE_CONTROL, sim::Bytes(line))});
    const SERIAL_HANDFLOW handFlow = HandFlowFor(s.flow, adapter.Port()->ReceiveBufferSize);
    steps.push_back({"SET_HANDFLOW", Control(simulation, file, IOCTL_SERIAL_SET_HANDFLOW, sim::Bytes(handFlow))});
    steps.push_back({"SET_TIMEOUTS", Control(simulation, file, IOCTL_SERIAL_SET_TIMEOUTS, sim::Bytes(s.timeouts))});
    steps.push_back({"CLEAR_STATS", Control(simulation, file, IOCTL_SERIAL_CLEAR_STATS, {})});
    for (const Step& step : steps) {
        if (!NT_SUCCESS(step.status)) {
            std::fprintf(stderr, "vodrek-sim receive: %s failed: %s\n", step.what, StatusText(step.status).c_str());
            file.Close();
            return 1;
        }
    }
    std::vector<uint8_t> baudOut;
    Control(simulation, file, IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(SERIAL_BAUD_RATE), &baudOut);
    const ULONG programmed = Record<SERIAL_BAUD_RATE>(baudOut).BaudRate;

    // The far end sends the whole pattern back to back; the application reads
    // until it has everything, or until a read comes back empty after the far
    // end has finished.
    std::vector<uint8_t> pattern(s.bytes);
    for (uint64_t i = 0; i < s.bytes; ++i) pattern[i] = PatternByte(i, avoid);
    const sim::Ticks started = simulation.Now();
    peer.Send(pattern);
    std::vector<uint8_t> received;
    received.reserve(s.bytes);
    uint64_t reads = 0, timedOut = 0, failedReads = 0;
    sim::Ticks lastByteAt = started;
    const bool tty = !s.json && isatty(fileno(stderr));
    uint64_t lastShown = 0;
    for (;;) {
        auto r = file.Read(s.readSize);
        ++reads;
        if (!simulation.RunUntil([&] { return r->Completed(); }, 3600 * sim::kSecond)) {
            std::fprintf(stderr, "vodrek-sim receive: a read did not complete within an hour of virtual time\n");
            file.CancelIoEx(r);
            simulation.RunFor(sim::kSecond);
            break;
        }
        const std::vector<uint8_t> got = r->Output();
        if (!got.empty()) {
            received.insert(received.end(), got.begin(), got.end());
            lastByteAt = simulation.Now();
        }
        if (r->Status() == STATUS_TIMEOUT) ++timedOut;
        else if (!NT_SUCCESS(r->Status())) ++failedReads;
        if (tty && received.size() - lastShown >= 65536) {
            lastShown = received.size();
            std::fprintf(stderr, "\r  %llu of %llu bytes", static_cast<unsigned long long>(received.size()),
                         static_cast<unsigned long long>(s.bytes));
        }
        if (received.size() >= s.bytes || (!NT_SUCCESS(r->Status()) && r->Status() != STATUS_TIMEOUT)) break;
        if (got.empty() && peer.Done() && simulation.Now() > peer.BusyUntil()) break;
        if (s.readGap) simulation.RunFor(s.readGap);
    }
    if (tty) std::fprintf(stderr, "\r%40s\r", "");

    std::vector<uint8_t> statsOut, commOut;
    Control(simulation, file, IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS), &statsOut);
    Control(simulation, file, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS), &commOut);
    const SERIALPERF_STATS stats = Record<SERIALPERF_STATS>(statsOut);
    const SERIAL_STATUS comm = Record<SERIAL_STATUS>(commOut);
    const NTSTATUS closed = file.Close();
    simulation.RunFor(sim::kSecond);

    const Comparison c = Compare(received, s.bytes, avoid);
    const sim::Ticks took = lastByteAt - started;
    const double seconds = static_cast<double>(took) / sim::kSecond;
    const double lineBytesPerSecond = s.baud / 10.0;  // 8N1: ten bits a character
    const double fraction = seconds > 0 ? (static_cast<double>(received.size()) / seconds) / lineBytesPerSecond : 0;
    const sim::UartCounters chipCounters = adapter.Chip().Counters();
    const bool reportedOverrun = stats.SerialOverrunErrorCount || stats.BufferOverrunErrorCount ||
                                 (comm.Errors & (SERIAL_ERROR_OVERRUN | SERIAL_ERROR_QUEUEOVERRUN));
    const bool clean = c.lost == 0 && c.corrupted == 0;

    std::map<std::string, int> byFunction;
    for (const sim::UrbRecord& record : adapter.Capture().Records()) byFunction[sim::UrbFunctionName(record.function)]++;

    Json out = Json::Object();
    out.Set("chip_variant", s.variant);
    out.Set("chip_type", adapter.Port() ? adapter.Port()->ChipType : -1);
    out.Set("baud", static_cast<uint64_t>(s.baud));
    out.Set("baud_programmed", static_cast<uint64_t>(programmed));
    out.Set("flow", FlowName(s.flow));
    out.Set("peer_obeys_flow", obey && s.flow != Flow::None);
    out.Set("read_size", static_cast<uint64_t>(s.readSize));
    out.Set("timeouts", TimeoutText(s.timeouts.ReadIntervalTimeout) + "," +
                            TimeoutText(s.timeouts.ReadTotalTimeoutMultiplier) + "," +
                            TimeoutText(s.timeouts.ReadTotalTimeoutConstant));
    out.Set("bytes_sent", s.bytes);
    out.Set("bytes_received", static_cast<uint64_t>(received.size()));
    out.Set("bytes_in_order", c.matched);
    out.Set("bytes_lost", c.lost);
    out.Set("bytes_corrupted", c.corrupted);
    out.Set("data_intact", clean);
    Json& errors = out.Set("errors_reported", Json::Object());
    errors.Set("serial_overruns", static_cast<uint64_t>(stats.SerialOverrunErrorCount));
    errors.Set("buffer_overruns", static_cast<uint64_t>(stats.BufferOverrunErrorCount));
    errors.Set("framing", static_cast<uint64_t>(stats.FrameErrorCount));
    errors.Set("parity", static_cast<uint64_t>(stats.ParityErrorCount));
    errors.Set("comm_status_errors", static_cast<uint64_t>(comm.Errors));
    out.Set("loss_reported", clean || reportedOverrun);
    out.Set("chip_overruns", chipCounters.overruns);
    out.Set("reads", reads);
    out.Set("reads_timed_out", timedOut);
    out.Set("reads_failed", failedReads);
    out.Set("virtual_time_us", static_cast<uint64_t>(took / 10));
    out.Set("line_rate_fraction_permille", static_cast<uint64_t>(fraction * 1000 + 0.5));
    Json& usb = out.Set("usb_requests", Json::Object());
    usb.Set("total", static_cast<uint64_t>(adapter.Capture().Records().size()));
    for (auto& [name, count] : byFunction) usb.Set(name, count);
    out.Set("close_status", StatusText(closed));
    if (s.pcap) out.Set("pcap", s.pcap);

    if (s.json) {
        std::printf("%s\n", out.Dump().c_str());
    } else {
        std::printf("vodrek-sim receive: chip variant %d, %lu baud 8N1 (chip programmed for %lu), flow control %s%s\n",
                    s.variant, static_cast<unsigned long>(s.baud), static_cast<unsigned long>(programmed),
                    FlowName(s.flow), s.flow == Flow::None ? "" : (obey ? ", obeyed by the far end" : ", ignored by the far end"));
        std::printf("  reads of %lu bytes, timeouts %s,%s,%s ms%s\n\n", static_cast<unsigned long>(s.readSize),
                    TimeoutText(s.timeouts.ReadIntervalTimeout).c_str(),
                    TimeoutText(s.timeouts.ReadTotalTimeoutMultiplier).c_str(),
                    TimeoutText(s.timeouts.ReadTotalTimeoutConstant).c_str(),
                    s.readGap ? (", " + std::to_string(s.readGap / sim::kMillisecond) + " ms between reads").c_str() : "");
        if (clean) {
            std::printf("RESULT: all %llu bytes arrived, in order\n", static_cast<unsigned long long>(s.bytes));
        } else {
            std::printf("RESULT: DATA LOST: %llu bytes missing, %llu corrupted (first at byte %llu received)%s\n",
                        static_cast<unsigned long long>(c.lost), static_cast<unsigned long long>(c.corrupted),
                        static_cast<unsigned long long>(c.firstProblemAt),
                        reportedOverrun ? "; the driver reported overruns" : "; THE DRIVER REPORTED NO ERROR");
        }
        auto line = [](const char* label, const std::string& value) { std::printf("  %-26s %s\n", label, value.c_str()); };
        std::printf("\n");
        line("Bytes sent", std::to_string(s.bytes));
        line("Bytes received", std::to_string(received.size()) + " (" + std::to_string(c.matched) + " in order)");
        line("Lost / corrupted", std::to_string(c.lost) + " / " + std::to_string(c.corrupted));
        line("Overruns reported", "chip " + std::to_string(stats.SerialOverrunErrorCount) + ", ring " +
                                      std::to_string(stats.BufferOverrunErrorCount) + " (the chip counted " +
                                      std::to_string(chipCounters.overruns) + " bytes overrun)");
        line("Framing / parity errors", std::to_string(stats.FrameErrorCount) + " / " +
                                            std::to_string(stats.ParityErrorCount));
        line("Reads", std::to_string(reads) + " (" + std::to_string(timedOut) + " timed out, " +
                          std::to_string(failedReads) + " failed)");
        char buf[96];
        std::snprintf(buf, sizeof buf, "%.3f s, %.1f%% of the line rate", seconds, fraction * 100);
        line("Virtual time", buf);
        std::string usbText = std::to_string(adapter.Capture().Records().size()) + " (";
        bool first = true;
        for (auto& [name, count] : byFunction) {
            usbText += (first ? "" : ", ") + name + " " + std::to_string(count);
            first = false;
        }
        line("USB requests", usbText + ")");
        if (s.pcap) std::printf("\nCapture written to %s (open it with Wireshark or tshark -r)\n", s.pcap);
    }
    adapter.Unwire();
    if (adapter.Present()) adapter.Remove();
    adapter.Capture().ClosePcap();
    return clean ? 0 : 1;
}

}  // namespace cli
