// The set-ups the benchmarks measure, each on its own simulated machine with
// the driver loaded through the workbench: ports opened and set up as an
// application does it (the line tools' helpers), application threads writing
// and reading through sim::File (what WriteFile and ReadFile become), in
// virtual time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sim/simulation.h>

#include "line_tools.h"

namespace bench {

// One direction of a stream, measured.
struct DirectionResult {
    std::string name;
    uint64_t sent = 0, received = 0, lost = 0, corrupted = 0;
    double seconds = 0;  // virtual, from the start to the last byte read
    double bytesPerSecond = 0;
    // Between the reads that brought the 10 % and the 90 % marks: what the
    // link sustains, without the first byte's trip and the last short packet's
    // wait in the chip, which a run of any length pays once.
    double steadyBytesPerSecond = 0;
    uint64_t chipOverruns = 0;    // lost to the receiving chip's full FIFO
    uint64_t chipLost = 0;        // every byte the receiving chip lost
    uint64_t driverOverruns = 0;  // the receiving port's overrun counts
    bool finished = false;
};

struct StreamRun {
    std::vector<DirectionResult> directions;
    double virtualSeconds = 0, wallSeconds = 0;
    double cpuSeconds = 0;  // this process's processor time over the same span
    uint64_t bytesMoved = 0;  // all directions, as read by the applications
    ULONG ringSize = 0;       // the receive ring of the (first) port
    bool ok = false;          // set up, and every thread finished
};

enum class Schedule { Eager, Pct };

struct NullModemStream {
    int variant = 2;
    ULONG baud = 921600;
    cli::Flow flow = cli::Flow::RtsCts;
    uint64_t bytes = 65536;  // per direction
    bool duplex = true;
    ULONG writeSize = 4096, readSize = 4096;
    ULONG queueSize = 0;  // SET_QUEUE_SIZE before the settings; 0: the ring the open gives
    Schedule schedule = Schedule::Eager;
};
// Two adapters of one variant on a null-modem cable.
StreamRun RunNullModem(const NullModemStream& stream);

struct LoopbackStreams {
    int adapters = 1;  // each with a loopback plug, all streaming at once
    int variant = 2;
    ULONG baud = 921600;
    cli::Flow flow = cli::Flow::RtsCts;
    uint64_t bytes = 65536;  // per adapter
    ULONG writeSize = 4096, readSize = 4096;
};
StreamRun RunLoopbacks(const LoopbackStreams& stream);

// One adapter and a scripted far end: the far end sends (receive) or takes
// (transmit) `bytes` under RTS/CTS while the application reads or writes.
struct OneWayStream {
    int variant = 2;
    ULONG baud = 3000000;
    uint64_t bytes = 65536;
    bool receive = true;
    ULONG size = 4096;  // read or write size
};
// `transfers`: the bulk transfers of the path (in or out) that moved data.
StreamRun RunOneWay(const OneWayStream& stream, uint64_t* transfers = nullptr);

// Times in USB frames (1 ms) of `count` one-byte echoes: the application
// writes one byte while a read of one byte waits; a far end sends each byte it
// receives straight back; each figure runs from the write request to the read's
// completion. The echoes start at phases spread over the frame.
std::vector<double> EchoLatencies(int variant, ULONG baud, int count);
// Times in frames from a change of CTS at the far end to the completion of a
// WAIT_ON_MASK waiting for EV_CTS, `count` changes at phases spread over the frame.
std::vector<double> ModemEventLatencies(int variant, int count);

}  // namespace bench
