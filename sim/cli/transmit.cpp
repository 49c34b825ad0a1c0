// vodrek-sim transmit: an application writes a known pattern through the
// port's COM name and a far end on the serial connector takes down every
// character. The report says whether everything left the adapter intact and
// in order, how the driver cut the writes into bulk-out transfers, and how the
// writes completed.
#include <cstdio>
#include <string>

#include "cli.h"
#include "line_tools.h"

namespace cli {

namespace {

struct TransmitSettings {
    LineOptions line;
    ULONG writeSize = 4096;
};

int ParseTransmit(const Options& options, TransmitSettings* s) {
    s->line.tool = "transmit";
    if (int bad = ParseLineOptions(options, &s->line))
        return bad;
    uint64_t writeSize = s->writeSize;
    if (int bad = ParseCountOption(options, "transmit", "--write-size", 1, 1ull << 30, &writeSize))
        return bad;
    s->writeSize = static_cast<ULONG>(writeSize);
    return 0;
}

// How long one write of `bytes` may take: ten times its line time, and ten
// seconds more for everything a write waits for besides the line.
sim::Ticks WriteLimit(uint64_t bytes, ULONG baud) {
    return static_cast<sim::Ticks>(bytes * 10 * 10 * sim::kSecond / baud) + 10 * sim::kSecond;
}

}  // namespace

int CommandTransmit(const Options& options) {
    TransmitSettings s;
    if (int bad = ParseTransmit(options, &s))
        return bad;
    const LineOptions& line = s.line;
    const Pattern pattern{0, line.flow == Flow::XonXoff};

    sim::Simulation simulation;
    sim::Workbench bench;
    sim::AdapterOptions adapterOptions;
    adapterOptions.variant = line.variant;
    sim::Adapter& adapter = bench.AddAdapter(adapterOptions);
    adapter.Capture().Clear();
    if (line.pcap && !adapter.Capture().OpenPcap(line.pcap)) {
        std::fprintf(stderr, "vodrek-sim transmit: cannot write the capture to %s\n", line.pcap);
        return 1;
    }
    sim::ScriptedPeer& peer = adapter.AttachPeer(PeerFor(line, true));
    const NTSTATUS plugged = adapter.Plug();
    if (!NT_SUCCESS(plugged)) {
        std::fprintf(stderr, "vodrek-sim transmit: the adapter did not start: %s\n",
                     StatusText(plugged).c_str());
        return 1;
    }
    OpenPort port;
    if (!OpenAndSetUp("transmit", simulation, u"\\\\.\\COM3",
                      {line.baud, line.flow, line.queueSize, {50, 0, 1000, 0, 0}}, &port))
        return 1;
    const ULONG maxWriteChunk = adapter.Port()->MaxWriteChunk;
    // Only what the application writes counts: the capture starts here.
    adapter.Capture().Clear();
    peer.ClearReceived();

    const sim::Ticks started = simulation.Now();
    WriteLog writes;
    WriteInPieces(port.file, pattern.Bytes(line.bytes), s.writeSize,
                  WriteLimit(s.writeSize, line.baud), &writes);
    if (writes.stuck)
        std::fprintf(stderr, "vodrek-sim transmit: write %llu did not complete\n",
                     static_cast<unsigned long long>(writes.writes));
    // The last write completes when its last chunk is in the chip; the chip's
    // FIFO still has that much to put on the line.
    simulation.RunUntil([&] { return peer.Received().size() >= line.bytes; },
                        WriteLimit(4096, line.baud));
    simulation.RunFor(10 * sim::kMillisecond);  // anything beyond the count shows too

    const PortErrors errors = ReadPortErrors(simulation, port.file);
    const NTSTATUS closed = port.file.Close();
    simulation.RunFor(sim::kSecond);

    const BulkOutChunks chunks = BulkOutChunksOf(adapter.Capture(), adapter.Usb().Address());
    Direction d;
    d.sent = line.bytes;
    d.pattern = pattern;
    d.received = peer.ReceivedBytes();
    d.started = started;
    d.lastByteAt = peer.Received().empty() ? started : peer.Received().back().AtTick();
    d.baud = line.baud;
    d.writes = &writes;
    d.chunks = &chunks;
    d.writerErrors = &errors;
    d.Finish();
    const bool clean = d.Clean();

    Json out = Json::Object();
    out.Set("chip_variant", line.variant);
    out.Set("chip_type", adapter.Port() ? adapter.Port()->ChipType : -1);
    out.Set("baud", static_cast<uint64_t>(line.baud));
    out.Set("baud_programmed", static_cast<uint64_t>(port.programmedBaud));
    out.Set("flow", FlowName(line.flow));
    out.Set("write_size", static_cast<uint64_t>(s.writeSize));
    out.Set("ring_size", static_cast<uint64_t>(port.ringSize));
    out.Set("max_write_chunk", static_cast<uint64_t>(maxWriteChunk));
    AddDirection(d, out);
    out.Set("close_status", StatusText(closed));
    if (line.pcap)
        out.Set("pcap", line.pcap);

    if (line.json) {
        std::printf("%s\n", out.Dump().c_str());
    } else {
        std::printf(
            "vodrek-sim transmit: chip variant %d, %lu baud 8N1 (chip programmed for %lu), flow "
            "control %s\n",
            line.variant, static_cast<unsigned long>(line.baud),
            static_cast<unsigned long>(port.programmedBaud), FlowName(line.flow));
        std::printf("  writes of %lu bytes, a %lu-byte receive ring, chunks of at most %lu\n\n",
                    static_cast<unsigned long>(s.writeSize),
                    static_cast<unsigned long>(port.ringSize),
                    static_cast<unsigned long>(maxWriteChunk));
        std::printf("RESULT: ");
        PrintDirection(d);
        PrintField("Close", StatusText(closed));
        if (line.pcap)
            std::printf("\nCapture written to %s (open it with Wireshark or tshark -r)\n",
                        line.pcap);
    }
    adapter.Unwire();
    if (adapter.Present())
        adapter.Remove();
    adapter.Capture().ClosePcap();
    return clean ? 0 : 1;
}

}  // namespace cli
