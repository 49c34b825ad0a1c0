#include "scenarios.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>

#include <sim/workbench/workbench.h>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Processor time of the process: on a shared machine the fair measure of what
// the simulation costs (the wall clock also counts other people's work).
double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// How long any one request may take before the run calls it stuck: ten times
// the line time of the whole run, and a minute more.
sim::Ticks RequestLimit(uint64_t bytes, ULONG baud) {
    return static_cast<sim::Ticks>(bytes * 10 * 10 * sim::kSecond / baud) + 60 * sim::kSecond;
}

// One direction: a writer thread on one handle, a reader thread on another
// (or the same), the receiving chip's counters before the start.
struct Stream {
    std::string name;
    sim::File* writer = nullptr;
    sim::File* reader = nullptr;
    sim::BridgeChip* receivingChip = nullptr;
    cli::Pattern pattern;
    std::vector<uint8_t> data;  // what the writer sends: the application's buffer
    cli::WriteLog writes;
    cli::ReadLog reads;
    int writerThread = -1, readerThread = -1;
    sim::Ticks started = 0;
    sim::UartCounters before;
};

struct Port {
    sim::Adapter* adapter = nullptr;
    std::u16string name;
    cli::OpenPort open;
};

bool PlugAndOpen(sim::Simulation& simulation, std::vector<Port>& ports, ULONG baud, cli::Flow flow,
                 SERIAL_TIMEOUTS timeouts = {50, 0, 1000, 0, 0}, ULONG queueSize = 0) {
    for (Port& port : ports) {
        if (!NT_SUCCESS(port.adapter->Plug()))
            return false;
    }
    for (Port& port : ports) {
        if (!cli::OpenAndSetUp("bench", simulation, u"\\\\.\\" + port.name,
                               {baud, flow, queueSize, timeouts}, &port.open))
            return false;
    }
    return true;
}

// Bytes per second between the first reads to reach 10 % and 90 % of
// `expected`; 0 when the reads are too coarse to tell (fewer than two marks
// apart).
double SteadyRate(const cli::ReadLog& log, uint64_t expected) {
    const std::pair<uint64_t, sim::Ticks>* from = nullptr;
    const std::pair<uint64_t, sim::Ticks>* to = nullptr;
    for (const auto& arrival : log.arrivals) {
        if (!from && arrival.first * 10 >= expected)
            from = &arrival;
        if (!to && arrival.first * 10 >= expected * 9)
            to = &arrival;
    }
    if (!from || !to || to->second <= from->second)
        return 0;
    return static_cast<double>(to->first - from->first) * sim::kSecond /
           static_cast<double>(to->second - from->second);
}

// Runs the streams to their end: each a writer and a reader thread, as an
// application's would be. Fills `run` (bytes and times per direction).
void RunStreams(sim::Simulation& simulation, std::vector<Stream>& streams, uint64_t bytes,
                ULONG baud, ULONG writeSize, ULONG readSize, StreamRun* run) {
    const sim::Ticks limit = RequestLimit(bytes, baud);
    // The application's buffers are filled before the clocks start.
    for (Stream& stream : streams)
        stream.data = stream.pattern.Bytes(bytes);
    const sim::Ticks begun = simulation.Now();
    const Clock::time_point wallStart = Clock::now();
    const double cpuStart = CpuSeconds();
    for (Stream& stream : streams) {
        stream.started = simulation.Now();
        if (stream.receivingChip)
            stream.before = stream.receivingChip->Counters();
        Stream* s = &stream;
        s->writerThread = simulation.CreateThread(s->name + " writer", [s, writeSize, limit] {
            cli::WriteInPieces(*s->writer, s->data, writeSize, limit, &s->writes);
        });
        s->readerThread =
            simulation.CreateThread(s->name + " reader", [&simulation, s, bytes, readSize, limit] {
                cli::ReadPlan plan;
                plan.expected = bytes;
                plan.readSize = readSize;
                plan.limit = limit;
                plan.senderDone = [&simulation, s] {
                    return simulation.ThreadFinished(s->writerThread);
                };
                cli::ReadExpected(simulation, *s->reader, plan, &s->reads);
            });
    }
    auto finished = [&] {
        for (const Stream& s : streams)
            if (!simulation.ThreadFinished(s.writerThread) ||
                !simulation.ThreadFinished(s.readerThread))
                return false;
        return true;
    };
    simulation.RunUntil(finished, 4 * limit);
    run->wallSeconds = SecondsSince(wallStart);
    run->cpuSeconds = CpuSeconds() - cpuStart;
    run->ok = finished();
    sim::Ticks last = begun;
    for (Stream& stream : streams) {
        DirectionResult d;
        d.name = stream.name;
        d.sent = bytes;
        d.received = stream.reads.bytes.size();
        const cli::Comparison c = cli::Compare(stream.reads.bytes, bytes, stream.pattern);
        d.lost = c.lost;
        d.corrupted = c.corrupted;
        d.seconds = static_cast<double>(stream.reads.lastByteAt - stream.started) / sim::kSecond;
        d.bytesPerSecond = d.seconds > 0 ? static_cast<double>(c.matched) / d.seconds : 0;
        d.steadyBytesPerSecond = SteadyRate(stream.reads, bytes);
        d.finished = simulation.ThreadFinished(stream.readerThread) &&
                     simulation.ThreadFinished(stream.writerThread);
        if (stream.receivingChip) {
            const sim::UartCounters after = stream.receivingChip->Counters();
            d.chipOverruns = after.overruns - stream.before.overruns;
            d.chipLost = after.receivedLost - stream.before.receivedLost;
        }
        last = std::max(last, stream.reads.lastByteAt);
        run->bytesMoved += d.received;
        run->directions.push_back(d);
    }
    run->virtualSeconds = static_cast<double>(last - begun) / sim::kSecond;
}

void AddDriverOverruns(sim::Simulation& simulation, std::vector<Stream>& streams,
                       std::vector<Port>& ports, StreamRun* run) {
    for (size_t i = 0; i < streams.size(); ++i) {
        for (Port& port : ports) {
            if (&port.open.file != streams[i].reader)
                continue;
            const cli::PortErrors e = cli::ReadPortErrors(simulation, port.open.file);
            run->directions[i].driverOverruns =
                e.stats.SerialOverrunErrorCount + e.stats.BufferOverrunErrorCount;
        }
    }
}

void CloseAll(sim::Simulation& simulation, std::vector<Port>& ports) {
    for (Port& port : ports)
        port.open.file.Close();
    simulation.RunFor(sim::kSecond);
    for (Port& port : ports) {
        port.adapter->Unwire();
        if (port.adapter->Present())
            port.adapter->Remove();
    }
}

constexpr uint64_t kSecondStream = 0x5A5A5;

}  // namespace

StreamRun RunNullModem(const NullModemStream& stream) {
    StreamRun run;
    sim::Simulation simulation;
    if (stream.schedule == Schedule::Pct) {
        simulation.SetProcessors(2);
        simulation.SetPolicy(sim::Policy::Pct, 1);
    }
    sim::Workbench bench;
    sim::AdapterOptions first, second;
    first.variant = second.variant = stream.variant;
    first.portName = u"COM3";
    second.portName = u"COM4";
    sim::Adapter& a = bench.AddAdapter(first);
    sim::Adapter& b = bench.AddAdapter(second);
    bench.ConnectNullModem(a, b);
    std::vector<Port> ports{{&a, u"COM3", {}}, {&b, u"COM4", {}}};
    if (!PlugAndOpen(simulation, ports, stream.baud, stream.flow, {50, 0, 1000, 0, 0}, stream.queueSize)) {
        CloseAll(simulation, ports);
        return run;
    }
    const bool avoid = stream.flow == cli::Flow::XonXoff;
    std::vector<Stream> streams(stream.duplex ? 2 : 1);
    streams[0].name = "COM3 to COM4";
    streams[0].writer = &ports[0].open.file;
    streams[0].reader = &ports[1].open.file;
    streams[0].receivingChip = &b.Chip();
    streams[0].pattern = {0, avoid};
    if (stream.duplex) {
        streams[1].name = "COM4 to COM3";
        streams[1].writer = &ports[1].open.file;
        streams[1].reader = &ports[0].open.file;
        streams[1].receivingChip = &a.Chip();
        streams[1].pattern = {kSecondStream, avoid};
    }
    run.ringSize = ports[0].open.ringSize;
    RunStreams(simulation, streams, stream.bytes, stream.baud, stream.writeSize, stream.readSize, &run);
    AddDriverOverruns(simulation, streams, ports, &run);
    CloseAll(simulation, ports);
    return run;
}

StreamRun RunLoopbacks(const LoopbackStreams& stream) {
    StreamRun run;
    sim::Simulation simulation;
    sim::Workbench bench;
    std::vector<Port> ports;
    for (int i = 0; i < stream.adapters; ++i) {
        sim::AdapterOptions options;
        options.variant = stream.variant;
        options.portName = u"COM" + cli::Widen(std::to_string(3 + i));
        sim::Adapter& adapter = bench.AddAdapter(options);
        adapter.PlugLoopback();
        ports.push_back({&adapter, *options.portName, {}});
    }
    if (!PlugAndOpen(simulation, ports, stream.baud, stream.flow)) {
        CloseAll(simulation, ports);
        return run;
    }
    std::vector<Stream> streams(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        streams[i].name = cli::Narrow(ports[i].name) + " loop";
        streams[i].writer = streams[i].reader = &ports[i].open.file;
        streams[i].receivingChip = &ports[i].adapter->Chip();
        streams[i].pattern = {i * 0x1111, stream.flow == cli::Flow::XonXoff};
    }
    RunStreams(simulation, streams, stream.bytes, stream.baud, stream.writeSize, stream.readSize, &run);
    AddDriverOverruns(simulation, streams, ports, &run);
    CloseAll(simulation, ports);
    return run;
}

StreamRun RunOneWay(const OneWayStream& stream, uint64_t* transfers) {
    StreamRun run;
    sim::Simulation simulation;
    sim::Workbench bench;
    sim::AdapterOptions options;
    options.variant = stream.variant;
    sim::Adapter& adapter = bench.AddAdapter(options);
    sim::PeerOptions peerOptions;
    peerOptions.format = sim::CharacterFormat::Plain(stream.baud);
    peerOptions.obeyRts = true;
    sim::ScriptedPeer& peer = adapter.AttachPeer(peerOptions);
    std::vector<Port> ports{{&adapter, u"COM3", {}}};
    if (!PlugAndOpen(simulation, ports, stream.baud, cli::Flow::RtsCts)) {
        CloseAll(simulation, ports);
        return run;
    }
    const cli::Pattern pattern{0, false};
    const sim::Ticks begun = simulation.Now();
    const Clock::time_point wallStart = Clock::now();
    DirectionResult d;
    d.sent = stream.bytes;
    if (stream.receive) {
        d.name = "far end to COM3";
        peer.Send(pattern.Bytes(stream.bytes));
        cli::ReadLog log;
        int reader = simulation.CreateThread("reader", [&] {
            cli::ReadPlan plan;
            plan.expected = stream.bytes;
            plan.readSize = stream.size;
            plan.limit = RequestLimit(stream.bytes, stream.baud);
            plan.senderDone = [&peer] { return peer.Done(); };
            cli::ReadExpected(simulation, ports[0].open.file, plan, &log);
        });
        simulation.RunUntil([&] { return simulation.ThreadFinished(reader); },
                            4 * RequestLimit(stream.bytes, stream.baud));
        run.ok = simulation.ThreadFinished(reader);
        d.received = log.bytes.size();
        const cli::Comparison c = cli::Compare(log.bytes, stream.bytes, pattern);
        d.lost = c.lost;
        d.corrupted = c.corrupted;
        d.seconds = static_cast<double>(log.lastByteAt - begun) / sim::kSecond;
    } else {
        d.name = "COM3 to far end";
        cli::WriteLog log;
        int writer = simulation.CreateThread("writer", [&] {
            cli::WriteInPieces(ports[0].open.file, pattern.Bytes(stream.bytes), stream.size,
                               RequestLimit(stream.bytes, stream.baud), &log);
        });
        simulation.RunUntil(
            [&] { return simulation.ThreadFinished(writer) && peer.Received().size() >= stream.bytes; },
            4 * RequestLimit(stream.bytes, stream.baud));
        run.ok = simulation.ThreadFinished(writer);
        const std::vector<uint8_t> got = peer.ReceivedBytes();
        d.received = got.size();
        const cli::Comparison c = cli::Compare(got, stream.bytes, pattern);
        d.lost = c.lost;
        d.corrupted = c.corrupted;
        d.seconds = static_cast<double>(simulation.Now() - begun) / sim::kSecond;
    }
    d.bytesPerSecond = d.seconds > 0 ? static_cast<double>(d.received) / d.seconds : 0;
    d.finished = run.ok;
    run.wallSeconds = SecondsSince(wallStart);
    run.virtualSeconds = d.seconds;
    run.bytesMoved = d.received;
    run.directions.push_back(d);
    if (transfers) {
        *transfers = 0;
        for (const sim::UrbRecord& record : adapter.Capture().Records())
            if (record.transfer == sim::UsbTransferType::Bulk && record.in == stream.receive &&
                (stream.receive ? !record.data.empty() : record.requested > 0))
                ++*transfers;
    }
    CloseAll(simulation, ports);
    return run;
}

namespace {

// A port with a scripted far end, no flow control, reads that wait for their
// byte however long it takes.
struct EchoBench {
    sim::Simulation simulation;
    sim::Workbench bench;
    sim::Adapter* adapter = nullptr;
    sim::ScriptedPeer* peer = nullptr;
    std::vector<Port> ports;
    bool ok = false;

    EchoBench(int variant, ULONG baud) {
        sim::AdapterOptions options;
        options.variant = variant;
        adapter = &bench.AddAdapter(options);
        sim::PeerOptions peerOptions;
        peerOptions.format = sim::CharacterFormat::Plain(baud);
        peer = &adapter->AttachPeer(peerOptions);
        ports.push_back({adapter, u"COM3", {}});
        ok = PlugAndOpen(simulation, ports, baud, cli::Flow::None, {0, 0, 0, 0, 0});
    }
    ~EchoBench() { CloseAll(simulation, ports); }
    sim::File& File() { return ports[0].open.file; }
};

// Where in the frame the i-th measurement starts: phases spread over the frame
// (137 µs apart, wrapping), so the figures are not those of one lucky instant.
sim::Ticks Phase(int i) {
    return (static_cast<sim::Ticks>(i) * 137 * sim::kMicrosecond) % sim::kUsbFrame;
}

// Waits until the start of the next frame plus the phase.
void WaitForPhase(sim::Simulation& simulation, int i) {
    const sim::Ticks now = simulation.Now();
    const sim::Ticks next = (now / sim::kUsbFrame + 2) * sim::kUsbFrame + Phase(i);
    simulation.RunFor(next - now);
}

}  // namespace

std::vector<double> EchoLatencies(int variant, ULONG baud, int count) {
    EchoBench echo(variant, baud);
    std::vector<double> frames;
    if (!echo.ok)
        return frames;
    sim::Simulation& simulation = echo.simulation;
    bool stop = false;
    // The far end answers each character it receives at once: it looks every
    // 10 µs and lays the answer on the line from the end of the received
    // character's stop bit on (or now, when that has passed).
    const sim::Ticks poll = 10 * sim::kMicrosecond;
    int echoer = simulation.CreateThread("far end echo", [&] {
        size_t answered = 0;
        while (!stop) {
            const auto& received = echo.peer->Received();
            while (answered < received.size()) {
                const sim::ReceivedCharacter& c = received[answered++];
                echo.peer->SendAt(std::max(simulation.Now(), c.AtTick()), {c.value});
            }
            simulation.RunFor(poll);
        }
    });
    int app = simulation.CreateThread("application", [&] {
        for (int i = 0; i < count; ++i) {
            WaitForPhase(simulation, i);
            auto read = echo.File().Read(1);
            const uint8_t byte = static_cast<uint8_t>(0x41 + i % 26);
            const sim::Ticks start = simulation.Now();
            auto write = echo.File().Write({byte});
            if (!cli::Await(read, 10 * sim::kSecond) || read->Output() != std::vector<uint8_t>{byte}) {
                echo.File().CancelIoEx();
                cli::Await(read, sim::kSecond);
                break;
            }
            frames.push_back(static_cast<double>(simulation.Now() - start) / sim::kUsbFrame);
            cli::Await(write, sim::kSecond);
        }
        stop = true;
    });
    simulation.RunUntil(
        [&] { return simulation.ThreadFinished(app) && simulation.ThreadFinished(echoer); },
        static_cast<sim::Ticks>(count + 10) * 20 * sim::kMillisecond);
    return frames;
}

std::vector<double> ModemEventLatencies(int variant, int count) {
    EchoBench bench(variant, 115200);
    std::vector<double> frames;
    if (!bench.ok)
        return frames;
    sim::Simulation& simulation = bench.simulation;
    const ULONG mask = SERIAL_EV_CTS;
    if (!NT_SUCCESS(cli::Control(simulation, bench.File(), IOCTL_SERIAL_SET_WAIT_MASK,
                                 sim::Bytes(mask))))
        return frames;
    int app = simulation.CreateThread("application", [&] {
        sim::PeerLines lines = bench.peer->Lines();
        for (int i = 0; i < count; ++i) {
            auto wait = bench.File().DeviceIoControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
            WaitForPhase(simulation, i);
            lines.cts = !lines.cts;
            const sim::Ticks start = simulation.Now();
            bench.peer->SetLines(lines);
            if (!cli::Await(wait, 10 * sim::kSecond)) {
                bench.File().CancelIoEx();
                cli::Await(wait, sim::kSecond);
                break;
            }
            frames.push_back(static_cast<double>(simulation.Now() - start) / sim::kUsbFrame);
        }
    });
    simulation.RunUntil([&] { return simulation.ThreadFinished(app); },
                        static_cast<sim::Ticks>(count + 10) * 100 * sim::kMillisecond);
    return frames;
}

}  // namespace bench
