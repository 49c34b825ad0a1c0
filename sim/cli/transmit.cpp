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
    sim::Ticks farEndHolds = 0;
};

int ParseTransmit(const Options& options, TransmitSettings* s) {
    s->line.tool = "transmit";
    if (int bad = ParseLineOptions(options, &s->line))
        return bad;
    uint64_t writeSize = s->writeSize;
    if (int bad = ParseCountOption(options, "transmit", "--write-size", 1, 1ull << 30, &writeSize))
        return bad;
    s->writeSize = static_cast<ULONG>(writeSize);
    uint64_t hold = 0;
    if (int bad = ParseCountOption(options, "transmit", "--far-end-holds", 1, 60'000, &hold))
        return bad;
    if (hold && s->line.flow == Flow::None) {
        std::fprintf(stderr, "vodrek-sim transmit: --far-end-holds needs a --flow to hold with\n");
        return 2;
    }
    s->farEndHolds = static_cast<sim::Ticks>(hold) * sim::kMillisecond;
    return 0;
}

// The far end holding the sender off halfway through, the way its flow
// control says: CTS or DSR off, or an XOFF, for a while; then on again.
struct FarEndHold {
    sim::Ticks duration = 0;
    bool done = false;
    sim::Ticks began = 0, ended = 0;
    uint64_t receivedBefore = 0;  // what the far end had when it held
    uint64_t arrivedDuring = 0;   // characters that arrived while it held
    uint64_t mayArrive = 0;       // of those, how many could no longer be recalled
};

void Hold(sim::ScriptedPeer& peer, Flow flow, bool on) {
    sim::PeerLines lines = peer.Lines();
    switch (flow) {
        case Flow::RtsCts:
            lines.cts = !on;
            break;
        case Flow::DtrDsr:
            lines.dsr = !on;
            break;
        case Flow::XonXoff:
            peer.Send({static_cast<uint8_t>(on ? 0x13 : 0x11)});
            return;
        case Flow::None:
            return;
    }
    peer.SetLines(lines);
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
    sim::ScriptedPeer* far = nullptr;
    sim::Adapter* plugged = PlugWithFarEnd(bench, line, true, &far);
    if (!plugged)
        return 1;
    sim::Adapter& adapter = *plugged;
    sim::ScriptedPeer& peer = *far;
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
    FarEndHold hold;
    hold.duration = s.farEndHolds;
    bool writing = true;
    int holder = -1;
    if (hold.duration) {
        holder = simulation.CreateThread("far end", [&] {
            while (peer.Received().size() < line.bytes / 2) {
                if (!writing)
                    return;
                simulation.RunFor(100 * sim::kMicrosecond);
            }
            hold.receivedBefore = peer.Received().size();
            hold.began = simulation.Now();
            Hold(peer, line.flow, true);
            simulation.RunFor(hold.duration);
            hold.ended = simulation.Now();
            Hold(peer, line.flow, false);
            hold.done = true;
        });
    }
    WriteInPieces(port.file, pattern.Bytes(line.bytes), s.writeSize,
                  WriteLimit(s.writeSize, line.baud) + hold.duration, &writes);
    writing = false;
    if (writes.stuck)
        std::fprintf(stderr, "vodrek-sim transmit: write %llu did not complete\n",
                     static_cast<unsigned long long>(writes.writes));
    // The last write completes when its last chunk is in the chip; the chip's
    // FIFO still has that much to put on the line.
    simulation.RunUntil(
        [&] {
            return peer.Received().size() >= line.bytes &&
                   (holder < 0 || simulation.ThreadFinished(holder));
        },
        WriteLimit(4096, line.baud) + hold.duration);
    simulation.RunFor(10 * sim::kMillisecond);  // anything beyond the count shows too

    const PortErrors errors = ReadPortErrors(simulation, port.file);
    const NTSTATUS closed = port.file.Close();
    simulation.RunFor(sim::kSecond);

    const BulkOutChunks chunks = BulkOutChunksOf(adapter.Capture(), adapter.Usb().Address());
    if (hold.done) {
        for (const sim::ReceivedCharacter& c : peer.Received())
            hold.arrivedDuring += c.AtTick() > hold.began && c.AtTick() <= hold.ended;
        // Past recall once the hold began: the character on the line, what the
        // chip's transmit FIFO holds, the chunk on its way to it, and what the
        // line carries while the news of the hold reaches the driver (a status
        // packet or a received XOFF: up to two frames).
        const uint64_t fifo = line.variant < 2 ? 256 : 512;
        const uint64_t chunk = std::min<uint64_t>(port.ringSize, maxWriteChunk);
        hold.mayArrive = 1 + fifo + chunk + line.baud / 10 * 2 / 1000;
    }
    const bool holdObeyed = !hold.done || hold.arrivedDuring <= hold.mayArrive;
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
    const bool clean = d.Clean() && holdObeyed;

    Json out = PortJson(line, adapter, port);
    out.Set("write_size", static_cast<uint64_t>(s.writeSize));
    out.Set("max_write_chunk", static_cast<uint64_t>(maxWriteChunk));
    AddDirection(d, out);
    if (hold.duration) {
        Json& h = out.Set("far_end_hold", Json::Object());
        h.Set("held", hold.done);
        h.Set("duration_us", static_cast<uint64_t>(hold.duration / 10));
        h.Set("after_bytes", hold.receivedBefore);
        h.Set("bytes_during", hold.arrivedDuring);
        h.Set("bytes_past_recall", hold.mayArrive);
        h.Set("obeyed", holdObeyed);
    }
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
        if (hold.done) {
            PrintField("Far end held the sender",
                       std::to_string(hold.duration / sim::kMillisecond) + " ms after " +
                           std::to_string(hold.receivedBefore) + " bytes: " +
                           std::to_string(hold.arrivedDuring) + " bytes arrived meanwhile (" +
                           std::to_string(hold.mayArrive) + " could not be recalled)" +
                           (holdObeyed ? "" : ": THE SENDER WAS NOT HELD"));
        } else if (hold.duration) {
            PrintField("Far end held the sender", "never (half the bytes did not arrive)");
        }
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
