// vodrek-sim receive: a far end sends a known pattern into the adapter at line
// rate and an application reads it through the port's COM name, as a terminal
// program would. The report says at a glance whether anything was lost, and
// whether the driver said so when it was.
#include <cstdio>
#include <map>
#include <string>

#include "cli.h"
#include "line_tools.h"

namespace cli {

namespace {

struct ReceiveSettings {
    LineOptions line;
    bool peerIgnoresFlow = false;
    ULONG readSize = 4096;
    SERIAL_TIMEOUTS timeouts{50, 0, 1000, 0, 0};
    sim::Ticks readGap = 0;
};

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

int ParseReceive(const Options& options, ReceiveSettings* s) {
    s->line.tool = "receive";
    if (int bad = ParseLineOptions(options, &s->line)) return bad;
    uint64_t readSize = s->readSize, gap = 0;
    if (int bad = ParseCountOption(options, "receive", "--read-size", 1, 1u << 20, &readSize))
        return bad;
    if (int bad = ParseCountOption(options, "receive", "--read-gap", 0, 60'000, &gap)) return bad;
    s->readSize = static_cast<ULONG>(readSize);
    s->readGap = static_cast<sim::Ticks>(gap) * sim::kMillisecond;
    if (const char* v = options.Value("--timeouts")) {
        std::string text = v;
        ULONG values[3];
        size_t start = 0;
        for (int i = 0; i < 3; ++i) {
            const size_t comma = text.find(',', start);
            const bool last = i == 2;
            if ((comma == std::string::npos) != last)
                return Refuse("receive", "--timeouts", v, "I,M,C (milliseconds or MAX)");
            const std::string part = text.substr(start, last ? std::string::npos : comma - start);
            if (!ParseTimeout(part, &values[i]))
                return Refuse("receive", "--timeouts", v, "I,M,C (milliseconds or MAX)");
            start = comma + 1;
        }
        s->timeouts.ReadIntervalTimeout = values[0];
        s->timeouts.ReadTotalTimeoutMultiplier = values[1];
        s->timeouts.ReadTotalTimeoutConstant = values[2];
    }
    s->peerIgnoresFlow = options.Flag("--peer-ignores-flow");
    return 0;
}

std::string TimeoutText(ULONG value) { return value == MAXULONG ? "MAX" : std::to_string(value); }

}  // namespace

int CommandReceive(const Options& options) {
    ReceiveSettings s;
    if (int bad = ParseReceive(options, &s)) return bad;
    const LineOptions& line = s.line;
    const Pattern pattern{0, line.flow == Flow::XonXoff};

    sim::Simulation simulation;
    sim::Workbench bench;
    const bool obey = !s.peerIgnoresFlow;
    sim::ScriptedPeer* far = nullptr;
    sim::Adapter* plugged = PlugWithFarEnd(bench, line, obey, &far);
    if (!plugged) return 1;
    sim::Adapter& adapter = *plugged;
    sim::ScriptedPeer& peer = *far;
    OpenPort port;
    if (!OpenAndSetUp("receive", simulation, u"\\\\.\\COM3", {line.baud, line.flow, line.queueSize, s.timeouts},
                      &port))
        return 1;
    sim::File& file = port.file;

    // The far end sends the whole pattern back to back; the application reads
    // until it has everything, or until a read comes back empty after the far
    // end has finished.
    const sim::Ticks started = simulation.Now();
    peer.Send(pattern.Bytes(line.bytes));
    ReadPlan plan;
    plan.expected = line.bytes;
    plan.readSize = s.readSize;
    plan.gap = s.readGap;
    plan.senderDone = [&] { return peer.Done() && simulation.Now() > peer.BusyUntil(); };
    plan.progress = !line.json;
    ReadLog reads;
    ReadExpected(simulation, file, plan, &reads);
    if (reads.stuck) std::fprintf(stderr, "vodrek-sim receive: a read did not complete within an hour of virtual time\n");

    const PortErrors errors = ReadPortErrors(simulation, file);
    const SERIALPERF_STATS& stats = errors.stats;
    const NTSTATUS closed = file.Close();
    simulation.RunFor(sim::kSecond);

    Direction d;
    d.sent = line.bytes;
    d.pattern = pattern;
    d.received = std::move(reads.bytes);
    d.started = started;
    d.lastByteAt = reads.lastByteAt;
    d.baud = line.baud;
    d.Finish();
    const Comparison& c = d.comparison;
    const sim::UartCounters chipCounters = adapter.Chip().Counters();
    const bool reportedOverrun = errors.OverrunReported();
    const bool clean = c.Intact();

    std::map<std::string, int> byFunction;
    for (const sim::UrbRecord& record : adapter.Capture().Records()) byFunction[sim::UrbFunctionName(record.function)]++;

    Json out = PortJson(line, adapter, port);
    out.Set("peer_obeys_flow", obey && line.flow != Flow::None);
    out.Set("read_size", static_cast<uint64_t>(s.readSize));
    out.Set("timeouts", TimeoutText(s.timeouts.ReadIntervalTimeout) + "," +
                            TimeoutText(s.timeouts.ReadTotalTimeoutMultiplier) + "," +
                            TimeoutText(s.timeouts.ReadTotalTimeoutConstant));
    out.Set("bytes_sent", line.bytes);
    out.Set("bytes_received", static_cast<uint64_t>(d.received.size()));
    out.Set("bytes_in_order", c.matched);
    out.Set("bytes_lost", c.lost);
    out.Set("bytes_corrupted", c.corrupted);
    out.Set("data_intact", clean);
    Json& reported = out.Set("errors_reported", Json::Object());
    reported.Set("serial_overruns", static_cast<uint64_t>(stats.SerialOverrunErrorCount));
    reported.Set("buffer_overruns", static_cast<uint64_t>(stats.BufferOverrunErrorCount));
    reported.Set("framing", static_cast<uint64_t>(stats.FrameErrorCount));
    reported.Set("parity", static_cast<uint64_t>(stats.ParityErrorCount));
    reported.Set("comm_status_errors", static_cast<uint64_t>(errors.comm.Errors));
    out.Set("loss_reported", clean || reportedOverrun);
    out.Set("chip_overruns", chipCounters.overruns);
    out.Set("reads", reads.reads);
    out.Set("reads_timed_out", reads.timedOut);
    out.Set("reads_failed", reads.failed);
    out.Set("virtual_time_us", static_cast<uint64_t>((d.lastByteAt - d.started) / 10));
    out.Set("line_rate_fraction_permille", static_cast<uint64_t>(d.lineFraction * 1000 + 0.5));
    Json& usb = out.Set("usb_requests", Json::Object());
    usb.Set("total", static_cast<uint64_t>(adapter.Capture().Records().size()));
    for (auto& [name, count] : byFunction) usb.Set(name, count);
    out.Set("close_status", StatusText(closed));
    if (line.pcap) out.Set("pcap", line.pcap);

    if (line.json) {
        std::printf("%s\n", out.Dump().c_str());
    } else {
        std::printf("vodrek-sim receive: chip variant %d, %lu baud 8N1 (chip programmed for %lu), flow control %s%s\n",
                    line.variant, static_cast<unsigned long>(line.baud),
                    static_cast<unsigned long>(port.programmedBaud), FlowName(line.flow),
                    line.flow == Flow::None ? "" : (obey ? ", obeyed by the far end" : ", ignored by the far end"));
        std::printf("  reads of %lu bytes, timeouts %s,%s,%s ms%s\n\n", static_cast<unsigned long>(s.readSize),
                    TimeoutText(s.timeouts.ReadIntervalTimeout).c_str(),
                    TimeoutText(s.timeouts.ReadTotalTimeoutMultiplier).c_str(),
                    TimeoutText(s.timeouts.ReadTotalTimeoutConstant).c_str(),
                    s.readGap ? (", " + std::to_string(s.readGap / sim::kMillisecond) + " ms between reads").c_str() : "");
        if (clean) {
            std::printf("RESULT: all %llu bytes arrived, in order\n", static_cast<unsigned long long>(line.bytes));
        } else {
            std::printf("RESULT: DATA LOST: %llu bytes missing, %llu corrupted (first at byte %llu received)%s\n",
                        static_cast<unsigned long long>(c.lost), static_cast<unsigned long long>(c.corrupted),
                        static_cast<unsigned long long>(c.firstProblemAt),
                        reportedOverrun ? "; the driver reported overruns" : "; THE DRIVER REPORTED NO ERROR");
        }
        std::printf("\n");
        PrintField("Bytes sent", std::to_string(line.bytes));
        PrintField("Bytes received", std::to_string(d.received.size()) + " (" + std::to_string(c.matched) + " in order)");
        PrintField("Lost / corrupted", std::to_string(c.lost) + " / " + std::to_string(c.corrupted));
        PrintField("Overruns reported", "chip " + std::to_string(stats.SerialOverrunErrorCount) + ", ring " +
                                            std::to_string(stats.BufferOverrunErrorCount) + " (the chip counted " +
                                            std::to_string(chipCounters.overruns) + " bytes overrun)");
        PrintField("Framing / parity errors",
                   std::to_string(stats.FrameErrorCount) + " / " + std::to_string(stats.ParityErrorCount));
        PrintField("Reads", std::to_string(reads.reads) + " (" + std::to_string(reads.timedOut) + " timed out, " +
                                std::to_string(reads.failed) + " failed)");
        char buf[96];
        std::snprintf(buf, sizeof buf, "%.3f s, %.1f%% of the line rate", d.seconds, d.lineFraction * 100);
        PrintField("Virtual time", buf);
        std::string usbText = std::to_string(adapter.Capture().Records().size()) + " (";
        bool first = true;
        for (auto& [name, count] : byFunction) {
            usbText += (first ? "" : ", ") + name + " " + std::to_string(count);
            first = false;
        }
        PrintField("USB requests", usbText + ")");
        if (line.pcap) std::printf("\nCapture written to %s (open it with Wireshark or tshark -r)\n", line.pcap);
    }
    adapter.Unwire();
    if (adapter.Present()) adapter.Remove();
    adapter.Capture().ClosePcap();
    return clean ? 0 : 1;
}

}  // namespace cli
