// vodrek-sim's line tools (receive, transmit, null-modem, loopback) share these:
// the options they all take, the pattern one end sends and the other checks,
// a port opened and set up the way an application does it, writes and reads
// through the port's handle, and the report of one direction of traffic.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <sim/files.h>
#include <sim/io.h>
#include <sim/serial_wires.h>
#include <sim/workbench/workbench.h>

#include "cli.h"

namespace cli {

enum class Flow { None, RtsCts, DtrDsr, XonXoff };
const char* FlowName(Flow flow);

// --- options ---------------------------------------------------------------------

// What every line tool takes: --chip, --baud, --bytes, --flow, --queue-size,
// --json and --pcap.
struct LineOptions {
    const char* tool = "";  // the command, for its messages
    int variant = 2;
    ULONG baud = 921600;
    uint64_t bytes = 65536;
    Flow flow = Flow::None;
    ULONG queueSize = 0;  // asked for with SET_QUEUE_SIZE; 0: the ring the open gives
    const char* pcap = nullptr;
    bool json = false;
};

// Answers 0, or the exit status for a refused value (having said why).
int ParseLineOptions(const Options& options, LineOptions* line);
// A number option from `min` to `max` into *out, left alone when absent.
int ParseCountOption(const Options& options, const char* tool, const char* option, uint64_t min,
                     uint64_t max, uint64_t* out);
bool ParseNumber(const char* text, uint64_t max, uint64_t* out);
int Refuse(const char* tool, const char* option, const char* value, const char* expected);

// --- the pattern --------------------------------------------------------------------

// The bytes a sender sends: no run repeats within 64 KiB, and under XON/XOFF
// flow control it never holds the two flow characters, which are not data.
// Streams with another `start` are other bytes, so what strays from one
// direction into the other does not pass for data.
struct Pattern {
    uint64_t start = 0;
    bool avoidFlowCharacters = false;
    uint8_t At(uint64_t i) const;
    std::vector<uint8_t> Bytes(uint64_t count) const;
};

// What arrived, against what was sent: bytes in order, bytes missing (gaps
// found by finding the pattern again), and bytes that matched nothing, which
// is also what a byte out of its place or a repeated one counts as.
struct Comparison {
    uint64_t matched = 0, lost = 0, corrupted = 0;
    uint64_t firstProblemAt = UINT64_MAX;  // offset in what was received
    bool Intact() const { return lost == 0 && corrupted == 0; }
    // Everything that arrived came in the order it was sent (gaps aside).
    bool InOrder() const { return corrupted == 0; }
};
Comparison Compare(const std::vector<uint8_t>& got, uint64_t sent, const Pattern& pattern);

// --- the port, as an application sets it up -----------------------------------------

struct PortSetup {
    ULONG baud = 9600;
    Flow flow = Flow::None;
    ULONG queueSize = 0;
    SERIAL_TIMEOUTS timeouts{50, 0, 1000, 0, 0};
};

struct OpenPort {
    sim::File file;
    ULONG programmedBaud = 0;  // what GET_BAUD_RATE answered
    ULONG ringSize = 0;        // CurrentRxQueue after the settings
};

// Opens `name` overlapped and makes the settings an application makes: a
// queue size when asked for, the rate, 8N1, flow control, timeouts, cleared
// statistics, each checked. On failure says which and answers false (the
// handle closed again).
bool OpenAndSetUp(const char* tool, sim::Simulation& simulation, const std::u16string& name,
                  const PortSetup& setup, OpenPort* port);

// One device control through the handle, waited for.
NTSTATUS Control(sim::Simulation& simulation, sim::File& file, ULONG code,
                 std::vector<uint8_t> input, ULONG outputLength = 0,
                 std::vector<uint8_t>* output = nullptr);

template <typename T>
T Record(const std::vector<uint8_t>& bytes) {
    T value{};
    std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof(T)));
    return value;
}

// The keys a report of one adapter starts with: its variant and detected
// chip type, the rate asked for and programmed, the flow control.
Json PortJson(const LineOptions& line, const sim::Adapter& adapter, const OpenPort& port);

// What the driver says went wrong on a port (GET_STATS and GET_COMMSTATUS).
struct PortErrors {
    SERIALPERF_STATS stats{};
    SERIAL_STATUS comm{};
    bool OverrunReported() const;
};
PortErrors ReadPortErrors(sim::Simulation& simulation, sim::File& file);

// One adapter of the chosen variant with a scripted far end on its connector
// that obeys the handshake of --flow (unless told to ignore it), its capture
// going to --pcap, plugged and started. Null, having said why, when the
// capture cannot be written or the adapter did not start.
sim::Adapter* PlugWithFarEnd(sim::Workbench& bench, const LineOptions& line, bool obeyFlowControl,
                             sim::ScriptedPeer** peer);

// --- traffic through a handle -------------------------------------------------------

// Waits (as the calling simulated thread) until the request has completed or
// `limit` has passed; answers whether it completed.
bool Await(const sim::FileRequestHandle& request, sim::Ticks limit);

struct WriteLog {
    uint64_t writes = 0;
    uint64_t bytesAccepted = 0;  // the writes' Information, summed
    std::map<NTSTATUS, uint64_t> statuses;
    bool stuck = false;  // a write did not complete within the limit
    sim::Ticks started = 0, finished = 0;
};

// Writes `data` in writes of `size` bytes, one after the other, each waited
// for as WriteFile waits on a blocking handle. A write that fails ends the run;
// so does one that has not completed within `limit` (it is cancelled).
void WriteInPieces(sim::File& file, const std::vector<uint8_t>& data, ULONG size, sim::Ticks limit,
                   WriteLog* log);

struct ReadLog {
    std::vector<uint8_t> bytes;
    uint64_t reads = 0, timedOut = 0, failed = 0;
    bool stuck = false;  // a read did not complete within the limit
    sim::Ticks lastByteAt = 0;
    // Bytes received so far and the time, at each read that brought some.
    std::vector<std::pair<uint64_t, sim::Ticks>> arrivals;
};

struct ReadPlan {
    uint64_t expected = 0;
    ULONG readSize = 4096;  // no read asks for more than is still expected
    sim::Ticks gap = 0;     // between reads, a slow reader
    sim::Ticks limit = 3600 * sim::kSecond;
    // Nothing more is coming: a read that comes back empty then ends the run.
    std::function<bool()> senderDone;
    bool progress = false;  // a running count on the terminal
};

// Reads until everything expected has come, a read fails, or a read comes
// back empty after the sender is done.
void ReadExpected(sim::Simulation& simulation, sim::File& file, const ReadPlan& plan, ReadLog* log);

// --- the report of one direction --------------------------------------------------

// The bulk-out transfers one device completed, by length.
struct BulkOutChunks {
    std::map<ULONG, uint64_t> lengths;
    uint64_t transfers = 0, failed = 0;
};
BulkOutChunks BulkOutChunksOf(const sim::UsbCapture& capture, uint8_t deviceAddress);

struct Direction {
    std::string name;  // "COM3 to COM4"
    uint64_t sent = 0;
    Pattern pattern;
    std::vector<uint8_t> received;
    sim::Ticks started = 0, lastByteAt = 0;
    ULONG baud = 0;
    const WriteLog* writes = nullptr;
    const ReadLog* reads = nullptr;
    const BulkOutChunks* chunks = nullptr;
    const PortErrors* readerErrors = nullptr;  // the receiving port's, when it is one
    const PortErrors* writerErrors = nullptr;  // the sending port's

    // Computed by Finish().
    Comparison comparison;
    double seconds = 0, lineFraction = 0;
    void Finish();
    bool Clean() const;  // intact, and no write or read stuck or failed
};

// The direction's keys, added to `out`.
void AddDirection(const Direction& d, Json& out);
// For a person: the verdict line, then the figures.
void PrintDirection(const Direction& d);
void PrintField(const char* label, const std::string& value);
std::string ChunksText(const BulkOutChunks& chunks);

}  // namespace cli
