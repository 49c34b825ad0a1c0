// vodrek_bench: every benchmark of the driver in one program. Throughput and
// latency in virtual time, CPU per byte (instructions counted with callgrind,
// wall time with Google Benchmark, each against a plain byte-copy loop of the
// same run), simulation speed, and scaling. Prints one table per benchmark with
// the limit beside each figure and writes every figure as JSON.
//
//   vodrek_bench [--quick] [--out DIR] [--only NAME[,NAME...]]
//
// NAME: throughput, latency, cpu, simulation, scaling. --quick runs each with
// small counts (a smoke run that keeps them all working). The callgrind counts
// run this program again under valgrind (--callgrind-child); without valgrind
// they are left out and the table says so.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cpu_paths.h"
#include "results.h"
#include "scenarios.h"

namespace bench {

namespace {

struct Settings {
    bool quick = false;
    std::string out = "build/bench";
    std::set<std::string> only;
    std::string self;  // argv[0], for the callgrind child
    bool Wants(const char* name) const { return only.empty() || only.count(name); }
};

// --- the limits ------------------------------------------------------------------

// 8N1: ten bits on the line per character.
double LineRate(ULONG baud) { return baud / 10.0; }
// The receive path keeps one bulk-in transfer of 384 bytes outstanding, and a
// transfer completes at the end of the frame that carried it.
constexpr double kReceiveTransferLimit = 384.0 * 1000;
// 19 bulk packets of 64 bytes per 1 ms frame per device, both directions and
// endpoint 0 together.
constexpr double kFrameBudget = 19.0 * 64 * 1000;

struct Limit {
    double value;
    const char* name;
};

// The receiving chip's FIFO: 256 bytes on variants 0 and 1, 512 on 2-4.
double ReceiveFifo(int variant) { return variant < 2 ? 256 : 512; }

// The binding limit of one direction: the line, the receive path (one bulk-in
// transfer of 384 bytes a frame, served at the frame's start, so never more than
// the receiving chip's FIFO holds then), or the share of the frame budget the
// device's traffic leaves it (a device of a duplex stream carries both
// directions).
Limit BindingLimit(int variant, ULONG baud, bool duplex) {
    Limit limit{LineRate(baud), "line rate"};
    if (kReceiveTransferLimit < limit.value)
        limit = {kReceiveTransferLimit, "bulk-in 384 B/frame"};
    const double fifoPerFrame = ReceiveFifo(variant) * 1000;
    if (fifoPerFrame < limit.value)
        limit = {fifoPerFrame, variant < 2 ? "rx FIFO 256 B/frame" : "rx FIFO 512 B/frame"};
    const double bus = duplex ? kFrameBudget / 2 : kFrameBudget;
    if (bus < limit.value)
        limit = {bus, "frame budget"};
    return limit;
}

const char* FlowText(cli::Flow flow) { return cli::FlowName(flow); }

// Who performs the flow control on this chip: the newer chips (2-4) drive RTS
// from their own receive FIFO; DTR only 3 and 4; the driver does it otherwise,
// from the fill level of its ring.
const char* PerformedBy(int variant, cli::Flow flow) {
    switch (flow) {
        case cli::Flow::RtsCts:
            return variant >= 2 ? "chip" : "driver";
        case cli::Flow::DtrDsr:
            return variant >= 3 ? "chip" : "driver";
        case cli::Flow::XonXoff:
            return variant >= 2 ? "chip" : "driver";
        case cli::Flow::None:
            return "-";
    }
    return "?";
}

std::string Group(int variant) { return variant < 2 ? "0/1" : "2-4"; }

// --- throughput ------------------------------------------------------------------

uint64_t BytesFor(ULONG baud, bool quick) {
    // About two seconds of line time, at most 256 KiB (a small run for --quick).
    const uint64_t twoSeconds = static_cast<uint64_t>(LineRate(baud) * 2);
    const uint64_t cap = quick ? 8192 : 262144;
    return std::max<uint64_t>(std::min(twoSeconds, cap), quick ? 512 : 4096);
}

void Throughput(const Settings& settings, Results& results) {
    const std::vector<ULONG> rates = settings.quick
                                         ? std::vector<ULONG>{115200, 6000000}
                                         : std::vector<ULONG>{9600, 115200, 921600, 3000000,
                                                              6000000};
    struct Case {
        int variant;
        cli::Flow flow;
        bool duplex;
        ULONG queueSize;  // SetupComm's size; 0: the ring the open gives
        std::vector<ULONG> rates;
    };
    std::vector<Case> cases;
    for (int variant : {0, 2}) {
        for (cli::Flow flow : {cli::Flow::RtsCts, cli::Flow::DtrDsr}) {
            for (bool duplex : {true, false}) {
                if (settings.quick && (flow != cli::Flow::RtsCts || !duplex))
                    continue;
                cases.push_back({variant, flow, duplex, 0, rates});
            }
        }
    }
    // An application that streams at the top rates asks for a bigger ring
    // (SetupComm), which also lets the driver send bigger write chunks.
    if (!settings.quick) {
        for (bool duplex : {true, false})
            cases.push_back({2, cli::Flow::RtsCts, duplex, 16384, {3000000, 6000000}});
    }
    for (const Case& c : cases) {
        for (ULONG baud : c.rates) {
            NullModemStream stream;
            stream.variant = c.variant;
            stream.baud = baud;
            stream.flow = c.flow;
            stream.duplex = c.duplex;
            stream.queueSize = c.queueSize;
            stream.bytes = BytesFor(baud, settings.quick);
            const StreamRun run = RunNullModem(stream);
            const Limit limit = BindingLimit(c.variant, baud, c.duplex);
            for (const DirectionResult& d : run.directions) {
                Figure f;
                f.name = "throughput";
                f.parameters = {{"chips", Group(c.variant)},
                                {"variant", std::to_string(c.variant)},
                                {"baud", std::to_string(baud)},
                                {"flow", FlowText(c.flow)},
                                {"flow_by", PerformedBy(c.variant, c.flow)},
                                {"mode", c.duplex ? "duplex" : "one-way"},
                                {"ring", std::to_string(run.ringSize)},
                                {"direction", d.name},
                                {"bytes", std::to_string(d.sent)}};
                f.quantity = "bytes_per_second";
                f.value = d.bytesPerSecond;
                f.unit = "B/s";
                f.limit = limit.value;
                f.limitName = limit.name;
                if (d.chipOverruns + d.driverOverruns)
                    f.note = "overruns: chip " + std::to_string(d.chipOverruns) + ", driver " +
                             std::to_string(d.driverOverruns);
                if (!d.finished)
                    f.note += std::string(f.note.empty() ? "" : "; ") + "DID NOT FINISH";
                results.Add(f);
                auto extra = [&](const char* quantity, double value, const char* unit, double lim,
                                 const char* limName) {
                    Figure e = f;
                    e.quantity = quantity;
                    e.value = value;
                    e.unit = unit;
                    e.limit = lim;
                    e.limitName = limName;
                    e.note.clear();
                    results.Add(e);
                };
                extra("steady_bytes_per_second", d.steadyBytesPerSecond, "B/s", limit.value,
                      limit.name);
                extra("line_fraction", d.bytesPerSecond / LineRate(baud), "of line", 1, "line rate");
                extra("bytes_lost", static_cast<double>(d.lost + d.corrupted), "B", 0, "");
                extra("overruns", static_cast<double>(d.chipOverruns + d.driverOverruns), "count",
                      0, "");
            }
            std::fprintf(stderr, "  throughput: chips %s %s %s ring %lu %lu baud (%.1f s)\n",
                         Group(c.variant).c_str(), FlowText(c.flow),
                         c.duplex ? "duplex" : "one-way", static_cast<unsigned long>(run.ringSize),
                         static_cast<unsigned long>(baud), run.wallSeconds);
        }
    }
}

// --- latency ---------------------------------------------------------------------

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const size_t at = static_cast<size_t>(std::ceil(p * static_cast<double>(v.size()))) ;
    return v[std::min(v.size() - 1, at == 0 ? 0 : at - 1)];
}

void AddDistribution(Results& results, const std::string& name,
                     std::vector<std::pair<std::string, std::string>> parameters,
                     const std::vector<double>& frames, double goalMedian) {
    const std::pair<const char*, double> points[] = {
        {"min", 0}, {"median", 0.5}, {"p90", 0.9}, {"p99", 0.99}, {"max", 1}};
    for (auto& [label, p] : points) {
        Figure f;
        f.name = name;
        f.parameters = parameters;
        f.parameters.push_back({"statistic", label});
        f.parameters.push_back({"samples", std::to_string(frames.size())});
        f.quantity = "latency";
        f.value = p == 0 ? *std::min_element(frames.begin(), frames.end()) : Percentile(frames, p);
        f.unit = "frames";
        // The frame is the latency quantum: one frame is the floor.
        f.limit = 1;
        f.limitName = "one USB frame";
        if (std::string(label) == "median" && goalMedian > 0)
            f.note = f.value <= goalMedian ? "goal <= 3 frames met" : "goal <= 3 frames MISSED";
        results.Add(f);
    }
}

void Latency(const Settings& settings, Results& results) {
    const int echoes = settings.quick ? 20 : 1000;
    for (ULONG baud : {115200u, 3000000u}) {
        for (int variant : {0, 2}) {
            const std::vector<double> frames = EchoLatencies(variant, baud, echoes);
            if (frames.empty()) {
                std::fprintf(stderr, "  latency: echo at %lu baud on chip %d failed\n",
                             static_cast<unsigned long>(baud), variant);
                continue;
            }
            AddDistribution(results, "echo latency",
                            {{"chips", Group(variant)}, {"baud", std::to_string(baud)}}, frames, 3);
        }
    }
    for (int variant : {0, 2}) {
        const std::vector<double> frames = ModemEventLatencies(variant, settings.quick ? 10 : 200);
        if (frames.empty())
            continue;
        AddDistribution(results, "modem event latency",
                        {{"chips", Group(variant)}, {"event", "CTS change to WAIT_ON_MASK"}},
                        frames, 0);
    }
}

// --- simulation speed and scaling ---------------------------------------------------

// Simulated seconds per second of processor time (the figure held against the
// goal: on a shared machine the wall clock counts other work too) and per
// second of wall-clock time.
std::vector<Figure> Speed(const std::string& name,
                          std::vector<std::pair<std::string, std::string>> parameters,
                          const StreamRun& run, double goal) {
    Figure f;
    f.name = name;
    f.parameters = std::move(parameters);
    f.quantity = "simulated_per_cpu_second";
    f.value = run.cpuSeconds > 0 ? run.virtualSeconds / run.cpuSeconds : 0;
    f.unit = "x real time";
    f.limit = goal;
    if (goal > 0)
        f.limitName = "goal";
    char note[128];
    std::snprintf(note, sizeof note, "%.3f s simulated in %.3f s of processor time, %.3f s wall%s",
                  run.virtualSeconds, run.cpuSeconds, run.wallSeconds,
                  run.ok ? "" : ", DID NOT FINISH");
    f.note = note;
    Figure wall = f;
    wall.quantity = "simulated_per_wall_second";
    wall.value = run.wallSeconds > 0 ? run.virtualSeconds / run.wallSeconds : 0;
    wall.note.clear();
    return {f, wall};
}

void Simulation(const Settings& settings, Results& results) {
    const uint64_t bytes = settings.quick ? 16384 : 1 << 20;
    for (Schedule schedule : {Schedule::Eager, Schedule::Pct}) {
        NullModemStream stream;
        stream.variant = 2;
        stream.baud = 6000000;
        stream.bytes = bytes;
        stream.schedule = schedule;
        // The fastest of five runs: the same simulation each time (virtual time
        // is deterministic), so the spread is the machine's, not the program's.
        StreamRun run = RunNullModem(stream);
        for (int again = settings.quick ? 1 : 5; again > 1; --again) {
            StreamRun next = RunNullModem(stream);
            if (next.cpuSeconds < run.cpuSeconds)
                run = next;
        }
        for (Figure& f : Speed("simulation speed",
                               {{"stream", "6 Mbaud duplex null-modem, chips 2-4"},
                                {"policy", schedule == Schedule::Eager ? "eager, 1 processor"
                                                                      : "pct, 2 processors"},
                                {"bytes", std::to_string(bytes)},
                                {"runs", settings.quick ? "1" : "best of 5"}},
                               run, 50))
            results.Add(f);
    }
}

void Scaling(const Settings& settings, Results& results) {
    const uint64_t bytes = settings.quick ? 4096 : 65536;
    auto add = [&](const std::string& what, int adapters, ULONG readSize, const StreamRun& run) {
        std::vector<std::pair<std::string, std::string>> parameters{
            {"adapters", std::to_string(adapters)},
            {"read_size", std::to_string(readSize)},
            {"bytes_per_adapter", std::to_string(bytes)}};
        Figure cost;
        cost.name = "scaling";
        cost.parameters = parameters;
        cost.parameters.push_back({"vary", what});
        cost.quantity = "cpu_ns_per_byte";
        cost.value = run.bytesMoved ? 1e9 * run.cpuSeconds / static_cast<double>(run.bytesMoved) : 0;
        cost.unit = "ns/B";
        uint64_t lost = 0;
        for (const DirectionResult& d : run.directions)
            lost += d.lost + d.corrupted;
        cost.note = "whole simulated machine; lost " + std::to_string(lost) +
                    (run.ok ? "" : ", DID NOT FINISH");
        results.Add(cost);
        for (Figure& speed : Speed("scaling", parameters, run, 0)) {
            speed.parameters.push_back({"vary", what});
            results.Add(speed);
        }
    };
    for (int adapters : {1, 4, 16}) {
        if (settings.quick && adapters == 16)
            continue;
        LoopbackStreams stream;
        stream.adapters = adapters;
        stream.bytes = bytes;
        add("adapters", adapters, stream.readSize, RunLoopbacks(stream));
    }
    for (ULONG readSize : {1u, 64u, 4096u}) {
        LoopbackStreams stream;
        stream.bytes = bytes;
        stream.readSize = readSize;
        add("read size", 1, readSize, RunLoopbacks(stream));
    }
}

// --- output ----------------------------------------------------------------------

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out);
}

std::string Parameter(const Figure& f, const char* key) {
    for (auto& [k, v] : f.parameters)
        if (k == key)
            return v;
    return "";
}

// Throughput against baud for gnuplot: one row per rate, a column per series.
void WritePlotData(const Settings& settings, const Results& results) {
    std::ofstream out(settings.out + "/throughput.dat");
    out << "# baud line_rate chips01_duplex chips24_duplex chips01_oneway chips24_oneway "
           "binding_limit_duplex binding_limit_oneway (bytes/s, RTS/CTS, first direction)\n";
    std::vector<std::string> rates;
    for (const Figure& f : results.All()) {
        if (f.name != "throughput" || f.quantity != "bytes_per_second")
            continue;
        const std::string baud = Parameter(f, "baud");
        if (std::find(rates.begin(), rates.end(), baud) == rates.end())
            rates.push_back(baud);
    }
    auto find = [&](const std::string& baud, const std::string& chips, const std::string& mode,
                    double* limit) -> double {
        for (const Figure& f : results.All()) {
            if (f.name == "throughput" && f.quantity == "bytes_per_second" &&
                Parameter(f, "chips") == chips && Parameter(f, "baud") == baud &&
                Parameter(f, "flow") == "rtscts" && Parameter(f, "mode") == mode &&
                Parameter(f, "ring") != "16384") {
                if (limit)
                    *limit = f.limit;
                return f.value;
            }
        }
        return NAN;
    };
    for (const std::string& baud : rates) {
        double duplexLimit = NAN, oneWayLimit = NAN;
        out << baud << ' ' << LineRate(static_cast<ULONG>(std::atol(baud.c_str()))) << ' '
            << find(baud, "0/1", "duplex", nullptr) << ' '
            << find(baud, "2-4", "duplex", &duplexLimit) << ' '
            << find(baud, "0/1", "one-way", nullptr) << ' '
            << find(baud, "2-4", "one-way", &oneWayLimit) << ' ' << duplexLimit << ' '
            << oneWayLimit << '\n';
    }
}

int Main(int argc, char** argv) {
    Settings settings;
    settings.self = argv[0];
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick") {
            settings.quick = true;
        } else if (a == "--out" && i + 1 < argc) {
            settings.out = argv[++i];
        } else if (a == "--only" && i + 1 < argc) {
            std::stringstream list(argv[++i]);
            for (std::string name; std::getline(list, name, ',');)
                settings.only.insert(name);
        } else if (a == "--callgrind-child" && i + 2 < argc) {
            return CallgrindChild(argv[i + 1], std::strtoull(argv[i + 2], nullptr, 0));
        } else if (a == "--help" || a == "-h") {
            std::printf("usage: %s [--quick] [--out DIR] [--only throughput,latency,cpu,simulation,scaling]\n",
                        argv[0]);
            return 0;
        } else {
            std::fprintf(stderr, "vodrek_bench: unknown argument '%s'\n", a.c_str());
            return 2;
        }
    }
    mkdir(settings.out.c_str(), 0777);
    Results results;
    const auto start = std::chrono::steady_clock::now();
    auto section = [&](const char* name, void (*run)(const Settings&, Results&)) {
        if (!settings.Wants(name))
            return;
        std::fprintf(stderr, "== %s\n", name);
        const auto begun = std::chrono::steady_clock::now();
        run(settings, results);
        std::fprintf(stderr, "   (%.1f s)\n",
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count());
    };
    section("throughput", Throughput);
    section("latency", Latency);
    if (settings.Wants("cpu"))
        CpuPerByte(settings.quick, settings.self, settings.out, results);
    section("simulation", Simulation);
    section("scaling", Scaling);
    results.PrintTables();
    const std::string json = settings.out + "/results.json";
    if (!WriteFile(json, results.Json())) {
        std::fprintf(stderr, "vodrek_bench: cannot write %s\n", json.c_str());
        return 1;
    }
    if (settings.Wants("throughput"))
        WritePlotData(settings, results);
    std::printf("\n%zu figures written to %s (%.1f s)\n", results.All().size(), json.c_str(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return 0;
}

}  // namespace

}  // namespace bench

int main(int argc, char** argv) { return bench::Main(argc, argv); }
