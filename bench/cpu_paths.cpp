#include "cpu_paths.h"

#include <benchmark/benchmark.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <sim/files.h>
#include <sim/workbench/workbench.h>

#include "line_tools.h"
#include "scenarios.h"
#include "usb/usb.h"

// The floor every path is held against: one byte per iteration, neither
// vectorised nor turned into a call of memcpy, so it is the plain loop a
// driver's own copy would be.
extern "C" __attribute__((noinline, optimize("no-tree-vectorize", "no-tree-loop-distribute-patterns"))) void
vodrek_bench_byte_copy(uint8_t* to, const uint8_t* from, size_t count) {
    for (size_t i = 0; i < count; ++i)
        to[i] = from[i];
}

namespace bench {

namespace {

// The routines whose inclusive cost (with what they call in the simulated
// kernel and bus) is each path's: the driver's completion routine of every
// transfer it sends (received bytes to the waiting read or the ring and the
// next bulk-in transfer; the next write chunk or the write's end), the write
// dispatch and the write-complete DPC. The copy loop is counted the same way.
constexpr const char* kCompletion = "TransferComplete";
constexpr const char* kWriteDispatch = "DispatchWrite";
constexpr const char* kWriteDone = "WriteCompleteDpc";
constexpr const char* kCopy = "vodrek_bench_byte_copy";

constexpr ULONG kCpuBaud = 6000000;

void CopyBytes(uint64_t bytes) {
    std::vector<uint8_t> from(bytes), to(bytes);
    for (size_t i = 0; i < from.size(); ++i)
        from[i] = static_cast<uint8_t>(i * 7);
    vodrek_bench_byte_copy(to.data(), from.data(), from.size());
    benchmark::DoNotOptimize(to.data());
}

// Whether a source file is the driver's own (its folders, not the simulator's).
bool DriverSource(const std::string& file) {
    for (const char* folder : {"usb/", "datapath/", "control/", "driver/", "platform/"}) {
        const size_t at = file.find(folder);
        if (at == std::string::npos)
            continue;
        if (at == 0 || file[at - 1] == '/') {
            if (at >= 4 && file.compare(at - 4, 4, "sim/") == 0)
                continue;
            return true;
        }
    }
    return false;
}

struct Counts {
    uint64_t driverOwn = 0;  // instructions in the driver's own source files
    std::map<std::string, uint64_t> inclusive;  // by routine of interest
    uint64_t copy = 0;
};

// One line of callgrind_annotate: "  1,234 (12.3%)  file:function [object]".
bool ParseLine(const std::string& line, uint64_t* count, std::string* file, std::string* function) {
    size_t i = 0;
    while (i < line.size() && line[i] == ' ')
        ++i;
    std::string digits;
    for (; i < line.size() && (std::isdigit(static_cast<unsigned char>(line[i])) || line[i] == ','); ++i)
        if (line[i] != ',')
            digits += line[i];
    if (digits.empty())
        return false;
    while (i < line.size() && line[i] == ' ')
        ++i;
    if (i < line.size() && line[i] == '(') {
        i = line.find(')', i);
        if (i == std::string::npos)
            return false;
        ++i;
    }
    while (i < line.size() && line[i] == ' ')
        ++i;
    const size_t colon = line.find(':', i);
    if (colon == std::string::npos)
        return false;
    *count = std::strtoull(digits.c_str(), nullptr, 10);
    *file = line.substr(i, colon - i);
    *function = line.substr(colon + 1);
    return true;
}

Counts Annotate(const std::string& file) {
    Counts counts;
    for (bool inclusive : {false, true}) {
        const std::string command = std::string("callgrind_annotate --auto=no --threshold=100") +
                                    (inclusive ? " --inclusive=yes" : "") + " '" + file +
                                    "' 2>/dev/null";
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe)
            return counts;
        char buffer[8192];
        while (std::fgets(buffer, sizeof buffer, pipe)) {
            uint64_t count = 0;
            std::string source, function;
            if (!ParseLine(buffer, &count, &source, &function))
                continue;
            auto named = [&](const char* name) {
                return function.compare(0, std::strlen(name), name) == 0 &&
                       (function.size() == std::strlen(name) ||
                        std::strchr("( \n", function[std::strlen(name)]));
            };
            if (!inclusive) {
                if (DriverSource(source))
                    counts.driverOwn += count;
                if (named(kCopy))
                    counts.copy += count;
                continue;
            }
            for (const char* name : {kCompletion, kWriteDispatch, kWriteDone})
                if (named(name))
                    counts.inclusive[name] += count;
        }
        pclose(pipe);
    }
    return counts;
}

bool HaveValgrind() {
    return std::system("valgrind --version >/dev/null 2>&1") == 0 &&
           std::system("command -v callgrind_annotate >/dev/null 2>&1") == 0;
}

struct ChildReport {
    uint64_t bytes = 0, transfers = 0;
    bool ok = false;
    Counts counts;
};

ChildReport RunChild(const std::string& mode, uint64_t bytes, const std::string& self,
                     const std::string& file) {
    ChildReport report;
    const std::string command = "valgrind --tool=callgrind --callgrind-out-file='" + file +
                                "' '" + self + "' --callgrind-child " + mode + " " +
                                std::to_string(bytes) + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return report;
    char line[256];
    while (std::fgets(line, sizeof line, pipe)) {
        unsigned long long b = 0, t = 0;
        if (std::sscanf(line, "moved %llu bytes in %llu transfers", &b, &t) == 2) {
            report.bytes = b;
            report.transfers = t;
        }
    }
    report.ok = pclose(pipe) == 0 && report.bytes == bytes;
    report.counts = Annotate(file);
    return report;
}

// Instructions per byte of each path, as the difference between a run of 2N
// bytes and one of N (what the open, the settings and the close cost drops
// out), against the copy loop's per byte in the same runs.
void CallgrindCounts(bool quick, const std::string& self, const std::string& outDir,
                     Results& results) {
    if (quick || !HaveValgrind()) {
        Figure f;
        f.name = "cpu per byte (callgrind)";
        f.parameters = {{"path", "all"}};
        f.quantity = "not_measured";
        f.note = quick ? "left out of --quick (the child runs in-process instead)"
                       : "valgrind not installed";
        results.Add(f);
        if (quick) {
            // The child's scenarios still run, so they keep working.
            CallgrindChild("receive", 4096);
            CallgrindChild("transmit", 4096);
        }
        return;
    }
    const uint64_t n = 65536;
    for (const std::string mode : {"receive", "transmit"}) {
        const std::string base = outDir + "/callgrind." + mode;
        const ChildReport one = RunChild(mode, n, self, base + ".1.out");
        const ChildReport two = RunChild(mode, 2 * n, self, base + ".2.out");
        auto perByte = [&](uint64_t a, uint64_t b) {
            return b > a ? static_cast<double>(b - a) / static_cast<double>(n) : 0.0;
        };
        auto path = [&](const Counts& c) {
            auto at = [&](const char* name) {
                auto it = c.inclusive.find(name);
                return it == c.inclusive.end() ? uint64_t{0} : it->second;
            };
            return mode == "receive" ? at(kCompletion)
                                     : at(kWriteDispatch) + at(kCompletion) + at(kWriteDone);
        };
        const double copy = perByte(one.counts.copy, two.counts.copy);
        const double own = perByte(one.counts.driverOwn, two.counts.driverOwn);
        const double withKernel = perByte(path(one.counts), path(two.counts));
        const uint64_t transfers = two.transfers > one.transfers ? two.transfers - one.transfers : 0;
        const std::string ok = one.ok && two.ok ? "" : "; A RUN FAILED";
        std::vector<std::pair<std::string, std::string>> parameters{
            {"path", mode},
            {"baud", std::to_string(kCpuBaud)},
            {"bytes", std::to_string(n)},
            {"bytes_per_transfer", transfers ? std::to_string(n / transfers) : "0"}};
        Figure f;
        f.name = "cpu per byte (callgrind)";
        f.parameters = parameters;
        f.parameters.push_back({"counted", "driver's own code"});
        f.quantity = "instructions_per_byte";
        f.value = own;
        f.unit = "instr/B";
        f.limit = 3 * copy;
        f.limitName = "3x copy loop";
        char note[200];
        std::snprintf(note, sizeof note, "copy loop %.2f instr/B; %.1fx the loop%s", copy,
                      copy > 0 ? own / copy : 0, ok.c_str());
        f.note = note;
        results.Add(f);
        Figure k = f;
        k.parameters.back().second = mode == "receive"
                                         ? "bulk-in completions, with the simulated kernel and bus"
                                         : "write dispatch, chunk completions, write-complete DPC, "
                                           "with the simulated kernel and bus";
        k.value = withKernel;
        std::snprintf(note, sizeof note, "%.1fx the loop%s", copy > 0 ? withKernel / copy : 0,
                      ok.c_str());
        k.note = note;
        results.Add(k);
    }
}

// --- wall time ---------------------------------------------------------------------

// One adapter, its port open with the given ring, a scripted far end that
// neither sends nor holds anything.
struct PortBench {
    sim::Simulation simulation;
    sim::Workbench workbench;
    sim::Adapter* adapter = nullptr;
    cli::OpenPort port;
    bool ok = false;

    PortBench(ULONG queueSize, SERIAL_TIMEOUTS timeouts) {
        sim::AdapterOptions options;
        options.variant = 2;
        adapter = &workbench.AddAdapter(options);
        sim::PeerOptions peerOptions;
        peerOptions.format = sim::CharacterFormat::Plain(kCpuBaud);
        adapter->AttachPeer(peerOptions);
        ok = NT_SUCCESS(adapter->Plug()) &&
             cli::OpenAndSetUp("bench", simulation, u"\\\\.\\COM3",
                               {kCpuBaud, cli::Flow::None, queueSize, timeouts}, &port);
    }
    ~PortBench() {
        port.file.Close();
        simulation.RunFor(sim::kSecond);
        adapter->Unwire();
        if (adapter->Present())
            adapter->Remove();
    }
};

std::vector<uint8_t> Payload(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>('A' + i % 26);
    return bytes;
}

void CopyLoop(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> from = Payload(n), to(n);
    for (auto _ : state) {
        vodrek_bench_byte_copy(to.data(), from.data(), n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

// A bulk-in completion's 384 bytes through the receive processing, at
// DISPATCH_LEVEL as the completion routine runs it: into a waiting read's
// buffer (`intoRead`) or into the ring.
void ReceiveCompletion(benchmark::State& state, bool intoRead) {
    constexpr ULONG kRead = 1 << 20;
    // Reads wait until they are full; the ring takes a MiB between purges.
    PortBench bench(kRead, {0, 0, 0, 0, 0});
    if (!bench.ok) {
        state.SkipWithError("the port did not open");
        return;
    }
    PortExtension* port = bench.adapter->Port();
    const std::vector<uint8_t> data = Payload(kBulkInLength);
    const TransferOutcome outcome{STATUS_SUCCESS, data.data(), kBulkInLength,
                                  BulkOutPurpose::WriteChunk, nullptr, 0};
    sim::FileRequestHandle read;
    auto newRead = [&] {
        read = bench.port.file.Read(kRead);
        bench.simulation.RunUntilIdle();
    };
    if (intoRead)
        newRead();
    for (auto _ : state) {
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        ProcessReceiveTransfer(port, outcome);
        KeLowerIrql(irql);
        if (intoRead ? read->Completed() : port->CharsInBuffer + kBulkInLength > port->ReceiveBufferSize) {
            state.PauseTiming();
            if (intoRead) {
                newRead();
            } else {
                const ULONG purge = SERIAL_PURGE_RXCLEAR;
                cli::Control(bench.simulation, bench.port.file, IOCTL_SERIAL_PURGE, sim::Bytes(purge));
            }
            state.ResumeTiming();
        }
    }
    if (intoRead) {
        bench.port.file.CancelIoEx();
        bench.simulation.RunFor(sim::kMillisecond * 10);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBulkInLength));
}

// A write request of `n` bytes: the application's call through the I/O
// manager to the driver's dispatch, which hands the first chunk to the bus.
// The bus, the chip and the chunk's completion run outside the timing.
void WriteRequest(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    PortBench bench(0, {0, 0, 0, 0, 0});
    if (!bench.ok) {
        state.SkipWithError("the port did not open");
        return;
    }
    const std::vector<uint8_t> data = Payload(n);
    for (auto _ : state) {
        auto write = bench.port.file.Write(data);
        state.PauseTiming();
        bench.simulation.RunUntil([&] { return write->Completed(); }, sim::kSecond);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

class Capture : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> nanosecondsPerIteration;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                // CPU time: the machine is shared, and waiting is not the path's cost.
                nanosecondsPerIteration[run.benchmark_name()] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

void WallTimes(bool quick, Results& results) {
    const double minTime = quick ? 0.01 : 0.2;
    benchmark::RegisterBenchmark("copy_loop/384", CopyLoop)->Arg(384)->MinTime(minTime);
    benchmark::RegisterBenchmark("copy_loop/4096", CopyLoop)->Arg(4096)->MinTime(minTime);
    benchmark::RegisterBenchmark("receive_into_read/384", ReceiveCompletion, true)->MinTime(minTime);
    benchmark::RegisterBenchmark("receive_into_ring/384", ReceiveCompletion, false)->MinTime(minTime);
    benchmark::RegisterBenchmark("write_request/4096", WriteRequest)->Arg(4096)->MinTime(minTime);
    Capture capture;
    benchmark::RunSpecifiedBenchmarks(&capture);
    benchmark::ClearRegisteredBenchmarks();
    auto perByte = [&](const std::string& name, double bytes) {
        for (auto& [run, ns] : capture.nanosecondsPerIteration)
            if (run.compare(0, name.size(), name) == 0)
                return ns / bytes;
        return 0.0;
    };
    struct Row {
        const char* path;
        const char* benchmark;
        const char* copy;
        double bytes;
        const char* note;
    };
    const Row rows[] = {
        {"receive into a waiting read", "receive_into_read/384", "copy_loop/384", 384,
         "384-byte bulk-in completion's processing"},
        {"receive into the ring", "receive_into_ring/384", "copy_loop/384", 384,
         "384-byte bulk-in completion's processing"},
        {"write request", "write_request/4096", "copy_loop/4096", 4096,
         "I/O manager + dispatch + first chunk to the bus"},
    };
    for (const Row& row : rows) {
        Figure f;
        f.name = "cpu per byte (wall)";
        f.parameters = {{"path", row.path}, {"bytes", std::to_string(static_cast<int>(row.bytes))}};
        f.quantity = "cpu_ns_per_byte";
        f.value = perByte(row.benchmark, row.bytes);
        f.unit = "ns/B";
        const double copy = perByte(row.copy, row.bytes);
        f.limit = 3 * copy;
        f.limitName = "3x copy loop";
        char note[160];
        std::snprintf(note, sizeof note, "copy loop %.3f ns/B; %.1fx; %s", copy,
                      copy > 0 ? f.value / copy : 0, row.note);
        f.note = note;
        results.Add(f);
    }
}

}  // namespace

int CallgrindChild(const std::string& mode, uint64_t bytes) {
    OneWayStream stream;
    stream.baud = kCpuBaud;
    stream.bytes = bytes;
    stream.receive = mode == "receive";
    if (mode != "receive" && mode != "transmit")
        return 2;
    uint64_t transfers = 0;
    const StreamRun run = RunOneWay(stream, &transfers);
    CopyBytes(bytes);
    const uint64_t moved = run.directions.empty() ? 0 : run.directions[0].received;
    std::printf("moved %llu bytes in %llu transfers\n", static_cast<unsigned long long>(moved),
                static_cast<unsigned long long>(transfers));
    return run.ok && moved == bytes ? 0 : 1;
}

void CpuPerByte(bool quick, const std::string& self, const std::string& outDir, Results& results) {
    std::fprintf(stderr, "== cpu\n");
    CallgrindCounts(quick, self, outDir, results);
    WallTimes(quick, results);
}

}  // namespace bench
