#include "line_tools.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "probe.h"

namespace cli {

const char* FlowName(Flow flow) {
    switch (flow) {
        case Flow::None:
            return "none";
        case Flow::RtsCts:
            return "rtscts";
        case Flow::DtrDsr:
            return "dtrdsr";
        case Flow::XonXoff:
            return "xonxoff";
    }
    return "?";
}

bool ParseNumber(const char* text, uint64_t max, uint64_t* out) {
    if (!text || !*text)
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(text, &end, 0);
    if (*end != 0 || errno || n > max || text[0] == '-')
        return false;
    *out = n;
    return true;
}

int Refuse(const char* tool, const char* option, const char* value, const char* expected) {
    std::fprintf(stderr, "vodrek-sim %s: %s takes %s, not '%s'\n", tool, option, expected, value);
    return 2;
}

int ParseCountOption(const Options& options, const char* tool, const char* option, uint64_t min,
                     uint64_t max, uint64_t* out) {
    const char* v = options.Value(option);
    if (!v) {
        // An option given last, with nothing after it, is a mistake too.
        if (options.Flag(option))
            return Refuse(tool, option, "", "a value");
        return 0;
    }
    uint64_t n;
    if (!ParseNumber(v, max, &n) || n < min) {
        const std::string expected =
            "a number from " + std::to_string(min) + " to " + std::to_string(max);
        return Refuse(tool, option, v, expected.c_str());
    }
    *out = n;
    return 0;
}

int ParseLineOptions(const Options& options, LineOptions* line) {
    if (int bad = ParseChip(options, &line->variant))
        return bad;
    uint64_t baud = line->baud, queue = line->queueSize;
    if (int bad = ParseCountOption(options, line->tool, "--baud", 50, 12'000'000, &baud))
        return bad;
    if (int bad = ParseCountOption(options, line->tool, "--bytes", 1, 1ull << 30, &line->bytes))
        return bad;
    if (int bad = ParseCountOption(options, line->tool, "--queue-size", 1, 1u << 24, &queue))
        return bad;
    line->baud = static_cast<ULONG>(baud);
    line->queueSize = static_cast<ULONG>(queue);
    if (const char* v = options.Value("--flow")) {
        const std::string f = v;
        if (f == "none")
            line->flow = Flow::None;
        else if (f == "rtscts")
            line->flow = Flow::RtsCts;
        else if (f == "dtrdsr")
            line->flow = Flow::DtrDsr;
        else if (f == "xonxoff")
            line->flow = Flow::XonXoff;
        else
            return Refuse(line->tool, "--flow", v, "none, rtscts, dtrdsr or xonxoff");
    }
    line->pcap = options.Value("--pcap");
    if (!line->pcap && options.Flag("--pcap"))
        return Refuse(line->tool, "--pcap", "", "a file name");
    line->json = options.Flag("--json");
    return 0;
}

uint8_t Pattern::At(uint64_t index) const {
    const uint64_t i = index + start;
    uint8_t b = static_cast<uint8_t>((i * 7) ^ (i >> 8) ^ (i >> 16));
    if (avoidFlowCharacters && (b == 0x11 || b == 0x13))
        b ^= 0x40;
    return b;
}

std::vector<uint8_t> Pattern::Bytes(uint64_t count) const {
    std::vector<uint8_t> bytes(count);
    for (uint64_t i = 0; i < count; ++i)
        bytes[i] = At(i);
    return bytes;
}

Comparison Compare(const std::vector<uint8_t>& got, uint64_t sent, const Pattern& pattern) {
    Comparison c;
    uint64_t expected = 0;
    auto note = [&](uint64_t at) { c.firstProblemAt = std::min(c.firstProblemAt, at); };
    for (uint64_t i = 0; i < got.size();) {
        if (expected < sent && got[i] == pattern.At(expected)) {
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
                if (expected + skip + k >= sent || got[i + k] != pattern.At(expected + skip + k)) {
                    all = false;
                    break;
                }
            }
            if (all)
                found = skip;
        }
        if (found != UINT64_MAX) {
            c.lost += found;
            expected += found;
        } else {
            ++c.corrupted;
            ++i;
            if (expected < sent)
                ++expected;
        }
    }
    if (expected < sent) {
        if (c.lost + c.corrupted == 0)
            note(got.size());
        c.lost += sent - expected;
    }
    return c;
}

namespace {

SERIAL_HANDFLOW HandFlowFor(Flow flow, ULONG ringSize) {
    SERIAL_HANDFLOW h{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, static_cast<LONG>(ringSize / 2),
                      static_cast<LONG>(ringSize / 8)};
    switch (flow) {
        case Flow::None:
            break;
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

}  // namespace

NTSTATUS Control(sim::Simulation& simulation, sim::File& file, ULONG code,
                 std::vector<uint8_t> input, ULONG outputLength, std::vector<uint8_t>* output) {
    auto r = file.DeviceIoControl(code, std::move(input), outputLength);
    simulation.RunUntil([&] { return r->Completed(); }, 10 * sim::kSecond);
    if (output)
        *output = r->Output();
    return r->Completed() ? r->Status() : STATUS_IO_TIMEOUT;
}

bool OpenAndSetUp(const char* tool, sim::Simulation& simulation, const std::u16string& name,
                  const PortSetup& setup, OpenPort* port) {
    NTSTATUS status;
    port->file = sim::File::Open(name, &status, sim::OverlappedOpen());
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "vodrek-sim %s: opening %s failed: %s\n", tool, Narrow(name).c_str(),
                     StatusText(status).c_str());
        return false;
    }
    sim::File& file = port->file;
    auto fail = [&](const char* what, NTSTATUS failed) {
        std::fprintf(stderr, "vodrek-sim %s: %s on %s failed: %s\n", tool, what,
                     Narrow(name).c_str(), StatusText(failed).c_str());
        file.Close();
        simulation.RunFor(sim::kSecond);
        return false;
    };
    // The ring first: the flow-control limits are fractions of its size.
    if (setup.queueSize) {
        SERIAL_QUEUE_SIZE queue{setup.queueSize, setup.queueSize};
        const NTSTATUS s =
            Control(simulation, file, IOCTL_SERIAL_SET_QUEUE_SIZE, sim::Bytes(queue));
        if (!NT_SUCCESS(s))
            return fail("SET_QUEUE_SIZE", s);
    }
    std::vector<uint8_t> out;
    NTSTATUS s =
        Control(simulation, file, IOCTL_SERIAL_GET_PROPERTIES, {}, sizeof(SERIAL_COMMPROP), &out);
    if (!NT_SUCCESS(s))
        return fail("GET_PROPERTIES", s);
    port->ringSize = Record<SERIAL_COMMPROP>(out).CurrentRxQueue;

    SERIAL_BAUD_RATE rate{setup.baud};
    if (!NT_SUCCESS(s = Control(simulation, file, IOCTL_SERIAL_SET_BAUD_RATE, sim::Bytes(rate))))
        return fail("SET_BAUD_RATE", s);
    SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
    if (!NT_SUCCESS(s = Control(simulation, file, IOCTL_SERIAL_SET_LINE_CONTROL, sim::Bytes(line))))
        return fail("SET_LINE_CONTROL", s);
    const SERIAL_HANDFLOW handFlow = HandFlowFor(setup.flow, port->ringSize);
    if (!NT_SUCCESS(s = Control(simulation, file, IOCTL_SERIAL_SET_HANDFLOW, sim::Bytes(handFlow))))
        return fail("SET_HANDFLOW", s);
    if (!NT_SUCCESS(
            s = Control(simulation, file, IOCTL_SERIAL_SET_TIMEOUTS, sim::Bytes(setup.timeouts))))
        return fail("SET_TIMEOUTS", s);
    if (!NT_SUCCESS(s = Control(simulation, file, IOCTL_SERIAL_CLEAR_STATS, {})))
        return fail("CLEAR_STATS", s);
    Control(simulation, file, IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(SERIAL_BAUD_RATE), &out);
    port->programmedBaud = Record<SERIAL_BAUD_RATE>(out).BaudRate;
    return true;
}

Json PortJson(const LineOptions& line, const sim::Adapter& adapter, const OpenPort& port) {
    Json out = Json::Object();
    out.Set("chip_variant", line.variant);
    out.Set("chip_type", adapter.Port() ? adapter.Port()->ChipType : -1);
    out.Set("baud", static_cast<uint64_t>(line.baud));
    out.Set("baud_programmed", static_cast<uint64_t>(port.programmedBaud));
    out.Set("flow", FlowName(line.flow));
    out.Set("ring_size", static_cast<uint64_t>(port.ringSize));
    return out;
}

bool PortErrors::OverrunReported() const {
    return stats.SerialOverrunErrorCount || stats.BufferOverrunErrorCount ||
           (comm.Errors & (SERIAL_ERROR_OVERRUN | SERIAL_ERROR_QUEUEOVERRUN));
}

PortErrors ReadPortErrors(sim::Simulation& simulation, sim::File& file) {
    std::vector<uint8_t> statsOut, commOut;
    Control(simulation, file, IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS), &statsOut);
    Control(simulation, file, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS), &commOut);
    PortErrors errors;
    errors.stats = Record<SERIALPERF_STATS>(statsOut);
    errors.comm = Record<SERIAL_STATUS>(commOut);
    return errors;
}

sim::Adapter* PlugWithFarEnd(sim::Workbench& bench, const LineOptions& line, bool obeyFlowControl,
                             sim::ScriptedPeer** peer) {
    sim::AdapterOptions adapterOptions;
    adapterOptions.variant = line.variant;
    sim::Adapter& adapter = bench.AddAdapter(adapterOptions);
    adapter.Capture().Clear();
    if (line.pcap && !adapter.Capture().OpenPcap(line.pcap)) {
        std::fprintf(stderr, "vodrek-sim %s: cannot write the capture to %s\n", line.tool,
                     line.pcap);
        return nullptr;
    }
    sim::PeerOptions options;
    options.format = sim::CharacterFormat::Plain(line.baud);
    options.obeyRts = obeyFlowControl && line.flow == Flow::RtsCts;
    options.obeyDtr = obeyFlowControl && line.flow == Flow::DtrDsr;
    options.obeyXonXoff = obeyFlowControl && line.flow == Flow::XonXoff;
    *peer = &adapter.AttachPeer(options);
    const NTSTATUS plugged = adapter.Plug();
    if (!NT_SUCCESS(plugged)) {
        std::fprintf(stderr, "vodrek-sim %s: the adapter did not start: %s\n", line.tool,
                     StatusText(plugged).c_str());
        return nullptr;
    }
    return &adapter;
}

bool Await(const sim::FileRequestHandle& request, sim::Ticks limit) {
    if (request->Completed())
        return true;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -limit;
    KeWaitForSingleObject(&request->event, Executive, KernelMode, FALSE, &timeout);
    return request->Completed();
}

void WriteInPieces(sim::File& file, const std::vector<uint8_t>& data, ULONG size, sim::Ticks limit,
                   WriteLog* log) {
    sim::Simulation& simulation = sim::Simulation::Current();
    log->started = simulation.Now();
    for (uint64_t at = 0; at < data.size();) {
        const uint64_t length = std::min<uint64_t>(size, data.size() - at);
        auto w = file.Write(std::vector<uint8_t>(data.begin() + static_cast<long>(at),
                                                 data.begin() + static_cast<long>(at + length)));
        ++log->writes;
        if (!Await(w, limit)) {
            log->stuck = true;
            file.CancelIoEx(w);
            Await(w, sim::kSecond);
            break;
        }
        ++log->statuses[w->Status()];
        log->bytesAccepted += w->Information();
        if (!NT_SUCCESS(w->Status()))
            break;
        at += length;
    }
    log->finished = simulation.Now();
}

void ReadExpected(sim::Simulation& simulation, sim::File& file, const ReadPlan& plan,
                  ReadLog* log) {
    log->bytes.reserve(plan.expected);
    log->lastByteAt = simulation.Now();
    const bool tty = plan.progress && isatty(fileno(stderr));
    uint64_t lastShown = 0;
    while (log->bytes.size() < plan.expected) {
        const uint64_t left = plan.expected - log->bytes.size();
        auto r = file.Read(static_cast<ULONG>(std::min<uint64_t>(plan.readSize, left)));
        ++log->reads;
        if (!Await(r, plan.limit)) {
            log->stuck = true;
            file.CancelIoEx(r);
            Await(r, sim::kSecond);
            break;
        }
        const std::vector<uint8_t> got = r->Output();
        if (!got.empty()) {
            log->bytes.insert(log->bytes.end(), got.begin(), got.end());
            log->lastByteAt = simulation.Now();
            log->arrivals.push_back({log->bytes.size(), log->lastByteAt});
        }
        if (r->Status() == STATUS_TIMEOUT) {
            ++log->timedOut;
        } else if (!NT_SUCCESS(r->Status())) {
            ++log->failed;
            break;
        }
        if (tty && log->bytes.size() - lastShown >= 65536) {
            lastShown = log->bytes.size();
            std::fprintf(stderr, "\r  %llu of %llu bytes",
                         static_cast<unsigned long long>(log->bytes.size()),
                         static_cast<unsigned long long>(plan.expected));
        }
        if (got.empty() && plan.senderDone && plan.senderDone())
            break;
        if (plan.gap)
            simulation.RunFor(plan.gap);
    }
    if (tty)
        std::fprintf(stderr, "\r%40s\r", "");
}

BulkOutChunks BulkOutChunksOf(const sim::UsbCapture& capture, uint8_t deviceAddress) {
    BulkOutChunks chunks;
    for (const sim::UrbRecord& record : capture.Records()) {
        if (record.device != deviceAddress || record.transfer != sim::UsbTransferType::Bulk ||
            record.in)
            continue;
        ++chunks.transfers;
        ++chunks.lengths[record.requested];
        if (!NT_SUCCESS(record.ntStatus))
            ++chunks.failed;
    }
    return chunks;
}

std::string ChunksText(const BulkOutChunks& chunks) {
    std::string text;
    for (auto& [length, count] : chunks.lengths) {
        text += (text.empty() ? "" : ", ") + std::to_string(count) + " x " + std::to_string(length);
    }
    if (text.empty())
        text = "none";
    if (chunks.failed)
        text += " (" + std::to_string(chunks.failed) + " failed)";
    return text;
}

void Direction::Finish() {
    comparison = Compare(received, sent, pattern);
    seconds = static_cast<double>(lastByteAt - started) / sim::kSecond;
    const double lineBytesPerSecond = baud / 10.0;  // 8N1: ten bits a character
    lineFraction =
        seconds > 0 ? (static_cast<double>(received.size()) / seconds) / lineBytesPerSecond : 0;
}

bool Direction::Clean() const {
    if (!comparison.Intact())
        return false;
    if (reads && reads->stuck)
        return false;
    if (writes) {
        if (writes->stuck || writes->bytesAccepted != sent)
            return false;
        for (auto& [status, count] : writes->statuses)
            if (!NT_SUCCESS(status))
                return false;
    }
    return true;
}

void AddDirection(const Direction& d, Json& out) {
    if (!d.name.empty())
        out.Set("direction", d.name);
    out.Set("bytes_sent", d.sent);
    out.Set("bytes_received", static_cast<uint64_t>(d.received.size()));
    out.Set("bytes_in_order", d.comparison.matched);
    out.Set("bytes_lost", d.comparison.lost);
    out.Set("bytes_corrupted", d.comparison.corrupted);
    out.Set("order_preserved", d.comparison.InOrder());
    out.Set("data_intact", d.comparison.Intact());
    out.Set("clean", d.Clean());
    if (d.writes) {
        Json& w = out.Set("writes", Json::Object());
        w.Set("count", d.writes->writes);
        w.Set("bytes_accepted", d.writes->bytesAccepted);
        w.Set("stuck", d.writes->stuck);
        Json& statuses = w.Set("statuses", Json::Object());
        for (auto& [status, count] : d.writes->statuses)
            statuses.Set(StatusText(status), count);
    }
    if (d.reads) {
        Json& r = out.Set("reads", Json::Object());
        r.Set("count", d.reads->reads);
        r.Set("timed_out", d.reads->timedOut);
        r.Set("failed", d.reads->failed);
        r.Set("stuck", d.reads->stuck);
    }
    if (d.chunks) {
        Json& c = out.Set("bulk_out", Json::Object());
        c.Set("transfers", d.chunks->transfers);
        c.Set("failed", d.chunks->failed);
        Json& lengths = c.Set("lengths", Json::Object());
        for (auto& [length, count] : d.chunks->lengths)
            lengths.Set(std::to_string(length), count);
    }
    if (d.readerErrors) {
        const SERIALPERF_STATS& s = d.readerErrors->stats;
        Json& e = out.Set("errors_reported", Json::Object());
        e.Set("serial_overruns", static_cast<uint64_t>(s.SerialOverrunErrorCount));
        e.Set("buffer_overruns", static_cast<uint64_t>(s.BufferOverrunErrorCount));
        e.Set("framing", static_cast<uint64_t>(s.FrameErrorCount));
        e.Set("parity", static_cast<uint64_t>(s.ParityErrorCount));
        e.Set("comm_status_errors", static_cast<uint64_t>(d.readerErrors->comm.Errors));
    }
    if (d.writerErrors)
        out.Set("driver_transmitted",
                static_cast<uint64_t>(d.writerErrors->stats.TransmittedCount));
    out.Set("virtual_time_us", static_cast<uint64_t>((d.lastByteAt - d.started) / 10));
    out.Set("line_rate_fraction_permille", static_cast<uint64_t>(d.lineFraction * 1000 + 0.5));
}

void PrintField(const char* label, const std::string& value) {
    std::printf("  %-26s %s\n", label, value.c_str());
}

void PrintDirection(const Direction& d) {
    const Comparison& c = d.comparison;
    const std::string who = d.name.empty() ? "" : d.name + ": ";
    if (d.Clean()) {
        std::printf("%sall %llu bytes arrived, in order\n", who.c_str(),
                    static_cast<unsigned long long>(d.sent));
    } else if (!c.Intact()) {
        std::printf(
            "%sDATA LOST: %llu bytes missing, %llu corrupted (first at byte %llu received)%s\n",
            who.c_str(), static_cast<unsigned long long>(c.lost),
            static_cast<unsigned long long>(c.corrupted),
            static_cast<unsigned long long>(c.firstProblemAt),
            c.InOrder() ? "" : ", ORDER NOT PRESERVED");
    } else {
        std::printf("%severy byte arrived, but the application saw a failure (below)\n",
                    who.c_str());
    }
    PrintField("Bytes sent", std::to_string(d.sent));
    PrintField("Bytes received",
               std::to_string(d.received.size()) + " (" + std::to_string(c.matched) + " in order)");
    PrintField("Lost / corrupted", std::to_string(c.lost) + " / " + std::to_string(c.corrupted));
    if (d.writes) {
        std::string statuses;
        for (auto& [status, count] : d.writes->statuses)
            statuses += (statuses.empty() ? "" : ", ") + std::to_string(count) +
                        " completed with " + StatusText(status);
        PrintField("Writes", std::to_string(d.writes->writes) + " (" + statuses + "), " +
                                 std::to_string(d.writes->bytesAccepted) + " bytes accepted" +
                                 (d.writes->stuck ? ", ONE NEVER COMPLETED" : ""));
    }
    if (d.chunks)
        PrintField("Bulk-out transfers", ChunksText(*d.chunks));
    if (d.reads) {
        PrintField("Reads", std::to_string(d.reads->reads) + " (" +
                                std::to_string(d.reads->timedOut) + " timed out, " +
                                std::to_string(d.reads->failed) + " failed)" +
                                (d.reads->stuck ? ", ONE NEVER COMPLETED" : ""));
    }
    if (d.readerErrors) {
        const SERIALPERF_STATS& s = d.readerErrors->stats;
        PrintField("Overruns reported", "chip " + std::to_string(s.SerialOverrunErrorCount) +
                                            ", ring " + std::to_string(s.BufferOverrunErrorCount));
    }
    if (d.writerErrors)
        PrintField("Driver counted sent",
                   std::to_string(d.writerErrors->stats.TransmittedCount) + " bytes");
    char buf[96];
    std::snprintf(buf, sizeof buf, "%.3f s, %.1f%% of the line rate", d.seconds,
                  d.lineFraction * 100);
    PrintField("Virtual time", buf);
}

}  // namespace cli
