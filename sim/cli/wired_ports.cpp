// vodrek-sim null-modem and loopback: applications at both ends of a wire.
// Two adapters joined by a null-modem cable, each with its own driver stack
// and port, carry a pattern one way (or both ways at once); one adapter with a
// loopback plug carries it back to itself. Every writer and every reader is a
// thread of its own in the simulation, as an application's would be, so reads
// and writes of both directions are in the driver at the same time.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "line_tools.h"
#include "probe.h"

namespace cli {

namespace {

struct WiredSettings {
    LineOptions line;
    int variant2 = 2;
    bool duplex = false;
    ULONG writeSize = 4096;
    ULONG readSize = 4096;
    sim::Ticks readGap = 0;
};

int ParseWired(const Options& options, const char* tool, WiredSettings* s) {
    s->line.tool = tool;
    if (int bad = ParseLineOptions(options, &s->line))
        return bad;
    uint64_t writeSize = s->writeSize, readSize = s->readSize, variant2 = s->line.variant, gap = 0;
    if (int bad = ParseCountOption(options, tool, "--write-size", 1, 1ull << 30, &writeSize))
        return bad;
    if (int bad = ParseCountOption(options, tool, "--read-size", 1, 1u << 20, &readSize))
        return bad;
    if (int bad = ParseCountOption(options, tool, "--chip2", 0, 4, &variant2))
        return bad;
    if (int bad = ParseCountOption(options, tool, "--read-gap", 0, 60'000, &gap))
        return bad;
    s->readGap = static_cast<sim::Ticks>(gap) * sim::kMillisecond;
    s->writeSize = static_cast<ULONG>(writeSize);
    s->readSize = static_cast<ULONG>(readSize);
    s->variant2 = static_cast<int>(variant2);
    s->duplex = options.Flag("--duplex");
    return 0;
}

// One direction: a writer thread on one handle, a reader thread on another
// (or the same).
struct Stream {
    std::string name;
    sim::File* writer = nullptr;
    sim::File* reader = nullptr;
    uint8_t writerAddress = 0;  // the writing adapter's USB address
    Pattern pattern;
    WriteLog writes;
    ReadLog reads;
    int writerThread = -1, readerThread = -1;
    sim::Ticks started = 0;
};

// How long any one request may take: ten times the line time of the whole
// run, and a minute more, before the tool calls it stuck.
sim::Ticks RequestLimit(uint64_t bytes, ULONG baud) {
    return static_cast<sim::Ticks>(bytes * 10 * 10 * sim::kSecond / baud) + 60 * sim::kSecond;
}

void Start(sim::Simulation& simulation, const WiredSettings& s, Stream& stream) {
    const LineOptions& line = s.line;
    const sim::Ticks limit = RequestLimit(line.bytes, line.baud);
    stream.started = simulation.Now();
    stream.writerThread = simulation.CreateThread(stream.name + " writer", [&s, &stream, limit] {
        WriteInPieces(*stream.writer, stream.pattern.Bytes(s.line.bytes), s.writeSize, limit,
                      &stream.writes);
    });
    stream.readerThread =
        simulation.CreateThread(stream.name + " reader", [&simulation, &s, &stream, limit] {
            ReadPlan plan;
            plan.expected = s.line.bytes;
            plan.readSize = s.readSize;
            plan.gap = s.readGap;
            plan.limit = limit;
            // The read's total timeout (a second) has passed with nothing after
            // the writer finished: nothing more is on its way.
            plan.senderDone = [&simulation, &stream] {
                return simulation.ThreadFinished(stream.writerThread);
            };
            ReadExpected(simulation, *stream.reader, plan, &stream.reads);
        });
}

bool Finished(const sim::Simulation& simulation, const std::vector<Stream*>& streams) {
    for (const Stream* stream : streams) {
        if (!simulation.ThreadFinished(stream->writerThread) ||
            !simulation.ThreadFinished(stream->readerThread))
            return false;
    }
    return true;
}

struct Ends {
    sim::Adapter* adapter;
    std::u16string name;
    OpenPort port;
    PortErrors errors;
};

// Runs the streams to their end and reports; answers the exit status.
int RunAndReport(sim::Simulation& simulation, const WiredSettings& s, const char* tool,
                 std::vector<Ends>& ends, std::vector<Stream*> streams, sim::UsbCapture& capture,
                 const std::string& wiring) {
    const LineOptions& line = s.line;
    for (Stream* stream : streams)
        Start(simulation, s, *stream);
    // The threads wait for their own requests with time limits; this only
    // keeps the machine going until they are done.
    simulation.RunUntil([&] { return Finished(simulation, streams); },
                        4 * RequestLimit(line.bytes, line.baud));
    const bool allFinished = Finished(simulation, streams);
    for (Ends& end : ends)
        end.errors = ReadPortErrors(simulation, end.port.file);
    std::vector<NTSTATUS> closed;
    for (Ends& end : ends)
        closed.push_back(end.port.file.Close());
    simulation.RunFor(sim::kSecond);

    auto endOf = [&](const sim::File* file) -> Ends& {
        for (Ends& end : ends)
            if (&end.port.file == file)
                return end;
        return ends.front();
    };
    std::vector<BulkOutChunks> chunks(streams.size());
    std::vector<Direction> directions(streams.size());
    bool clean = allFinished;
    for (size_t i = 0; i < streams.size(); ++i) {
        const Stream& stream = *streams[i];
        chunks[i] = BulkOutChunksOf(capture, stream.writerAddress);
        Direction& d = directions[i];
        d.name = stream.name;
        d.sent = line.bytes;
        d.pattern = stream.pattern;
        d.received = stream.reads.bytes;
        d.started = stream.started;
        d.lastByteAt = stream.reads.lastByteAt;
        d.baud = line.baud;
        d.writes = &stream.writes;
        d.reads = &stream.reads;
        d.chunks = &chunks[i];
        d.readerErrors = &endOf(stream.reader).errors;
        d.writerErrors = &endOf(stream.writer).errors;
        d.Finish();
        clean = clean && d.Clean();
    }

    Json out = Json::Object();
    out.Set("wiring", wiring);
    Json& ports = out.Set("ports", Json::Array());
    for (size_t i = 0; i < ends.size(); ++i) {
        Json& port = ports.Push(Json::Object());
        port.Set("name", Narrow(ends[i].name));
        port.Set("chip_variant", ends[i].adapter->Variant());
        port.Set("baud_programmed", static_cast<uint64_t>(ends[i].port.programmedBaud));
        port.Set("ring_size", static_cast<uint64_t>(ends[i].port.ringSize));
        port.Set("close_status", StatusText(closed[i]));
    }
    out.Set("baud", static_cast<uint64_t>(line.baud));
    out.Set("flow", FlowName(line.flow));
    out.Set("write_size", static_cast<uint64_t>(s.writeSize));
    out.Set("read_size", static_cast<uint64_t>(s.readSize));
    out.Set("read_gap_ms", static_cast<uint64_t>(s.readGap / sim::kMillisecond));
    Json& list = out.Set("directions", Json::Array());
    for (const Direction& d : directions)
        AddDirection(d, list.Push(Json::Object()));
    out.Set("all_finished", allFinished);
    out.Set("clean", clean);
    if (line.pcap)
        out.Set("pcap", line.pcap);

    if (line.json) {
        std::printf("%s\n", out.Dump().c_str());
    } else {
        std::printf("vodrek-sim %s: %s, %lu baud 8N1, flow control %s\n", tool, wiring.c_str(),
                    static_cast<unsigned long>(line.baud), FlowName(line.flow));
        std::printf(
            "  writes of %lu bytes, reads of %lu bytes%s\n",
            static_cast<unsigned long>(s.writeSize), static_cast<unsigned long>(s.readSize),
            s.readGap ? (", " + std::to_string(s.readGap / sim::kMillisecond) + " ms between reads")
                            .c_str()
                      : "");
        std::printf("\nRESULT: %s\n", clean ? "every direction arrived whole and in order"
                                            : "A DIRECTION LOST DATA OR FAILED");
        if (!allFinished)
            std::printf("  (the application threads did not finish)\n");
        for (const Direction& d : directions) {
            std::printf("\n");
            PrintDirection(d);
        }
        if (line.pcap)
            std::printf("\nCapture written to %s (open it with Wireshark or tshark -r)\n",
                        line.pcap);
    }
    return clean ? 0 : 1;
}

bool PlugAndOpen(sim::Simulation& simulation, const WiredSettings& s, const char* tool,
                 std::vector<Ends>& ends) {
    for (Ends& end : ends) {
        const NTSTATUS plugged = end.adapter->Plug();
        if (!NT_SUCCESS(plugged)) {
            std::fprintf(stderr, "vodrek-sim %s: the adapter for %s did not start: %s\n", tool,
                         Narrow(end.name).c_str(), StatusText(plugged).c_str());
            return false;
        }
    }
    for (Ends& end : ends) {
        if (!OpenAndSetUp(tool, simulation, u"\\\\.\\" + end.name,
                          {s.line.baud, s.line.flow, s.line.queueSize, {50, 0, 1000, 0, 0}},
                          &end.port))
            return false;
    }
    return true;
}

// The second direction's pattern starts elsewhere: its bytes are not the first's.
constexpr uint64_t kSecondStream = 0x5A5A5;

}  // namespace

int CommandNullModem(const Options& options) {
    WiredSettings s;
    if (int bad = ParseWired(options, "null-modem", &s))
        return bad;
    const bool avoid = s.line.flow == Flow::XonXoff;

    sim::Simulation simulation;
    sim::Workbench bench;
    // One capture for both adapters, as on one root hub.
    auto capture = std::make_shared<sim::UsbCapture>();
    if (s.line.pcap && !capture->OpenPcap(s.line.pcap)) {
        std::fprintf(stderr, "vodrek-sim null-modem: cannot write the capture to %s\n",
                     s.line.pcap);
        return 1;
    }
    sim::AdapterOptions first, second;
    first.variant = s.line.variant;
    first.portName = u"COM3";
    first.usb.capture = capture;
    second.variant = s.variant2;
    second.portName = u"COM4";
    second.usb.capture = capture;
    sim::Adapter& a = bench.AddAdapter(first);
    sim::Adapter& b = bench.AddAdapter(second);
    bench.ConnectNullModem(a, b);
    std::vector<Ends> ends{{&a, u"COM3", {}, {}}, {&b, u"COM4", {}, {}}};
    if (!PlugAndOpen(simulation, s, "null-modem", ends))
        return 1;
    capture->Clear();

    Stream forth, back;
    forth.name = "COM3 to COM4";
    forth.writer = &ends[0].port.file;
    forth.reader = &ends[1].port.file;
    forth.writerAddress = a.Usb().Address();
    forth.pattern = {0, avoid};
    back.name = "COM4 to COM3";
    back.writer = &ends[1].port.file;
    back.reader = &ends[0].port.file;
    back.writerAddress = b.Usb().Address();
    back.pattern = {kSecondStream, avoid};
    std::vector<Stream*> streams{&forth};
    if (s.duplex)
        streams.push_back(&back);
    const std::string wiring = "chip variants " + std::to_string(s.line.variant) + " (COM3) and " +
                               std::to_string(s.variant2) + " (COM4) on a null-modem cable" +
                               (s.duplex ? ", both directions at once" : "");
    const int status = RunAndReport(simulation, s, "null-modem", ends, streams, *capture, wiring);
    a.Unwire();
    for (sim::Adapter* adapter : {&a, &b})
        if (adapter->Present())
            adapter->Remove();
    capture->ClosePcap();
    return status;
}

int CommandLoopback(const Options& options) {
    WiredSettings s;
    if (int bad = ParseWired(options, "loopback", &s))
        return bad;
    if (options.Flag("--chip2") || options.Flag("--duplex")) {
        std::fprintf(stderr,
                     "vodrek-sim loopback: one adapter, one direction: no --chip2 or --duplex\n");
        return 2;
    }

    sim::Simulation simulation;
    sim::Workbench bench;
    sim::AdapterOptions adapterOptions;
    adapterOptions.variant = s.line.variant;
    sim::Adapter& adapter = bench.AddAdapter(adapterOptions);
    if (s.line.pcap && !adapter.Capture().OpenPcap(s.line.pcap)) {
        std::fprintf(stderr, "vodrek-sim loopback: cannot write the capture to %s\n", s.line.pcap);
        return 1;
    }
    adapter.PlugLoopback();
    std::vector<Ends> ends{{&adapter, u"COM3", {}, {}}};
    if (!PlugAndOpen(simulation, s, "loopback", ends))
        return 1;
    adapter.Capture().Clear();

    Stream loop;
    loop.name = "COM3 to COM3";
    loop.writer = loop.reader = &ends[0].port.file;
    loop.writerAddress = adapter.Usb().Address();
    loop.pattern = {0, s.line.flow == Flow::XonXoff};
    const std::string wiring =
        "chip variant " + std::to_string(s.line.variant) + " (COM3) with a loopback plug";
    const int status =
        RunAndReport(simulation, s, "loopback", ends, {&loop}, adapter.Capture(), wiring);
    adapter.Unwire();
    if (adapter.Present())
        adapter.Remove();
    adapter.Capture().ClosePcap();
    return status;
}

}  // namespace cli
