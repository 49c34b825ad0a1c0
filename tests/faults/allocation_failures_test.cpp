// Every allocation failed, one at a time: each scenario (driver entry, plug and
// start, open, read, write, every device control, internal controls from a driver
// above, sleep and wake, WMI queries, close, removal) runs once to count what it
// allocates, then once per allocation with that one failing. The same is done
// for device creation, registry reads and single USB requests (failed, stalled,
// never answered). Every run must end with a clean status to its caller, every
// request ended, nothing leaked (the simulation's end checks pool, requests and
// registry handles), no verifier stop; and the port must work again afterwards:
// reopened, it echoes bytes through a loopback plug (or, after a failed plug or
// a removal, plugs again).
//
// A run is replayed alone with VODREK_FAULT_RUN=<scenario>/<fault>/<n> (the
// failure message prints the whole command). VODREK_FAULT_SITES=1 prints each
// scenario's allocation sites.
#include "tests/support/sim_fixture.h"

#include <sim/files.h>
#include <sim/kernel_client.h>
#include <sim/power.h>
#include <sim/registry.h>
#include <sim/serial_wires.h>
#include <sim/wmi.h>
#include <sim/workbench/workbench.h>

#include "control/bridge_ioctl.h"
#include "control/control.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include <unistd.h>

namespace {

using sim::kMillisecond;
using sim::kSecond;

// What is set up, without faults, before a scenario's step.
enum class Stage { Nothing, Loaded, Plugged, Opened };

enum class Fault { Pool, DeviceCreation, RegistryRead, UsbFail, UsbStall, UsbNoAnswer };

const char* FaultName(Fault fault) {
    switch (fault) {
        case Fault::Pool: return "pool";
        case Fault::DeviceCreation: return "device";
        case Fault::RegistryRead: return "registry";
        case Fault::UsbFail: return "usb-fail";
        case Fault::UsbStall: return "usb-stall";
        case Fault::UsbNoAnswer: return "usb-no-answer";
    }
    return "?";
}

// One simulated machine with the driver, an adapter with a loopback plug on its
// connector, and the application's handle; fresh for every run.
struct Machine {
    sim::Simulation sim;
    std::optional<sim::Workbench> bench;
    sim::Adapter* adapter = nullptr;
    sim::File file;
    // Every request the scenario left outstanding: each must have ended once the
    // handle is closed.
    std::vector<sim::FileRequestHandle> requests;

    // By its COM name; a port whose naming failed at its start (which does not
    // fail the start) still opens by its device name.
    NTSTATUS Open() {
        NTSTATUS status;
        std::u16string name = u"\\\\.\\COM3";
        if (Present() && !adapter->Port()->LinkCreated) {
            const UNICODE_STRING& device = adapter->Port()->DeviceName;
            name.assign(device.Buffer, device.Length / sizeof(WCHAR));
        }
        file = sim::File::Open(name, &status, sim::OverlappedOpen());
        sim.RunFor(10 * kMillisecond);
        return status;
    }
    // Sends a device control and runs until it ends (or a second has passed: a
    // request that waits for an event stays outstanding).
    sim::FileRequestHandle Control(ULONG code, std::vector<uint8_t> input = {}, ULONG outputLength = 0) {
        auto r = file.DeviceIoControl(code, std::move(input), outputLength);
        sim.RunUntil([&] { return r->Completed(); }, kSecond);
        requests.push_back(r);
        return r;
    }
    bool Present() const { return adapter && adapter->Present(); }
    bool IsStarted() const { return Present() && adapter->Port()->PnpState == Started; }
};

// The port, reopened from scratch, carries bytes out and back in through the plug.
void ExpectEchoes(Machine& m, const std::string& when) {
    SCOPED_TRACE("afterwards (" + when + ")");
    if (m.file.IsOpen()) {
        EXPECT_EQ(m.file.Close(), STATUS_SUCCESS);
        m.sim.RunFor(kSecond);
    }
    ASSERT_EQ(m.Open(), STATUS_SUCCESS);
    ASSERT_EQ(m.Control(IOCTL_SERIAL_SET_BAUD_RATE, sim::Bytes(SERIAL_BAUD_RATE{115200}))->Status(), STATUS_SUCCESS);
    // What the step wrote may still be on its way round the plug: taken first.
    SERIAL_TIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXULONG;
    ASSERT_EQ(m.Control(IOCTL_SERIAL_SET_TIMEOUTS, sim::Bytes(timeouts))->Status(), STATUS_SUCCESS);
    for (int i = 0; i < 50; ++i) {
        m.sim.RunFor(20 * kMillisecond);
        auto drain = m.file.Read(4096);
        m.requests.push_back(drain);
        m.sim.RunUntil([&] { return drain->Completed(); }, kSecond);
        if (drain->Completed() && drain->Information() == 0) break;
    }
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutConstant = 2000;
    timeouts.WriteTotalTimeoutConstant = 2000;
    ASSERT_EQ(m.Control(IOCTL_SERIAL_SET_TIMEOUTS, sim::Bytes(timeouts))->Status(), STATUS_SUCCESS);
    auto read = m.file.Read(5);
    auto write = m.file.Write({'e', 'c', 'h', 'o', '!'});
    m.requests.push_back(read);
    m.requests.push_back(write);
    m.sim.RunUntil([&] { return read->Completed() && write->Completed(); }, 5 * kSecond);
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), 5u);
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    const std::vector<uint8_t> back = read->Output();
    EXPECT_EQ(std::string(back.begin(), back.end()), "echo!");
}

// A status is clean when it is final and says success or failure: never left
// pending, never a warning or informational code standing in for either.
void ExpectClean(NTSTATUS status, const std::string& what) {
    EXPECT_NE(status, STATUS_PENDING) << what << " never ended";
    EXPECT_TRUE(NT_SUCCESS(status) || NT_ERROR(status)) << what << " answered 0x" << std::hex << status;
}

// The step's result: the status its caller saw, whether it did what it was
// asked (checked only when it succeeded), and what must hold afterwards.
struct Outcome {
    NTSTATUS status = STATUS_SUCCESS;
    std::string note;  // why a success is not one, if it is not
};

struct Scenario {
    std::string name;
    Stage before;
    std::function<Outcome(Machine&)> step;
    // The chip variant the adapter carries (the workbench's default if unset).
    std::optional<int> variant = std::nullopt;
};

Outcome FromRequest(const sim::FileRequestHandle& r) {
    // A request left waiting for an event ends at the close; it is checked there.
    return {r->Completed() ? r->Status() : STATUS_SUCCESS, ""};
}

// Input for a device control that gets the request past its checks and into
// the work it does; the rest take zeroes of the least length their row allows.
std::vector<uint8_t> ControlInput(const ControlCode& row) {
    switch (row.Code) {
        case IOCTL_SERIAL_SET_BAUD_RATE: return sim::Bytes(SERIAL_BAUD_RATE{115200});
        case IOCTL_SERIAL_SET_QUEUE_SIZE: return sim::Bytes(SERIAL_QUEUE_SIZE{8192, 8192});
        case IOCTL_SERIAL_SET_LINE_CONTROL: return sim::Bytes(SERIAL_LINE_CONTROL{STOP_BIT_1, EVEN_PARITY, 7});
        case IOCTL_SERIAL_IMMEDIATE_CHAR: return {'!'};
        case IOCTL_SERIAL_SET_WAIT_MASK: return sim::Bytes(ULONG{SERIAL_EV_RXCHAR | SERIAL_EV_CTS});
        case IOCTL_SERIAL_PURGE:
            return sim::Bytes(ULONG{SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXCLEAR |
                                    SERIAL_PURGE_TXCLEAR});
        case IOCTL_SERIAL_SET_CHARS: {
            SERIAL_CHARS chars{};
            chars.XonChar = 0x11;
            chars.XoffChar = 0x13;
            return sim::Bytes(chars);
        }
        case IOCTL_SERIAL_SET_HANDFLOW: {
            SERIAL_HANDFLOW flow{};
            flow.ControlHandShake = SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE;
            flow.FlowReplace = SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE;
            flow.XonLimit = 256;
            flow.XoffLimit = 256;
            return sim::Bytes(flow);
        }
        case IOCTL_SERIAL_XOFF_COUNTER: {
            SERIAL_XOFF_COUNTER counter{};
            counter.Timeout = 200;
            counter.Counter = 1;
            counter.XoffChar = 0x13;
            return sim::Bytes(counter);
        }
        case IOCTL_SERIAL_SET_MODEM_CONTROL: return sim::Bytes(ULONG{0x03});
        case IOCTL_SERIAL_SET_FIFO_CONTROL: return sim::Bytes(ULONG{0xC7});
        // A raw register write: register 0 with the value the port already has
        // (UART on, no flow control). Zeros would switch the UART off for good,
        // as the application asked, and the port could no longer echo.
        case IOCTL_BRIDGE_VENDOR_WRITE: return {0x00, 0x00, 0x01, 0x00};
        default: return std::vector<uint8_t>(row.LeastInput, 0);
    }
}

std::string Hex(ULONG value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(value));
    return text;
}

// The GUIDs of the port's WMI blocks.
const GUID kWmiBlocks[] = {
    {0xA0EC11A8, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}},
    {0xEDB16A62, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}},
    {0x270B9B86, 0xB16D, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}},
    {0x56415ACC, 0xB16D, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}},
    {0x8209EC2A, 0x2D6B, 0x11D2, {0xBA, 0x49, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10}},
};

std::vector<Scenario> Scenarios() {
    std::vector<Scenario> all;
    all.push_back({"driver-entry", Stage::Nothing, [](Machine& m) {
                       m.bench.emplace();
                       return Outcome{m.bench->DriverLoaded() ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, ""};
                   }});
    all.push_back({"plug", Stage::Loaded, [](Machine& m) {
                       NTSTATUS status = m.adapter->Plug();
                       Outcome out{status, ""};
                       if (NT_SUCCESS(status) && !m.IsStarted()) out.note = "plug answered success, port not started";
                       return out;
                   }});
    all.push_back({"open", Stage::Plugged, [](Machine& m) {
                       Outcome out{m.Open(), ""};
                       if (NT_SUCCESS(out.status) && !m.file.IsOpen()) out.note = "open answered success, no handle";
                       return out;
                   }});
    all.push_back({"read", Stage::Opened, [](Machine& m) {
                       SERIAL_TIMEOUTS timeouts{};
                       timeouts.ReadTotalTimeoutConstant = 500;
                       m.Control(IOCTL_SERIAL_SET_TIMEOUTS, sim::Bytes(timeouts));
                       m.adapter->Chip().InjectReceived({'r', 'e', 'a', 'd'});
                       auto r = m.file.Read(4);
                       m.requests.push_back(r);
                       m.sim.RunUntil([&] { return r->Completed(); }, 2 * kSecond);
                       Outcome out = FromRequest(r);
                       const std::vector<uint8_t> got = r->Output();
                       if (r->Completed() && NT_SUCCESS(r->Status()) &&
                           std::string(got.begin(), got.end()) != "read")
                           out.note = "read answered success with other bytes";
                       return out;
                   }});
    all.push_back({"write", Stage::Opened, [](Machine& m) {
                       auto w = m.file.Write(std::vector<uint8_t>(300, 'w'));
                       m.requests.push_back(w);
                       m.sim.RunUntil([&] { return w->Completed(); }, 2 * kSecond);
                       Outcome out = FromRequest(w);
                       if (w->Completed() && NT_SUCCESS(w->Status()) && w->Information() != 300)
                           out.note = "write answered success short of its bytes";
                       return out;
                   }});
    for (const ControlCode& row : DeviceControlCodes) {
        all.push_back({"control-" + Hex(row.Code), Stage::Opened, [&row](Machine& m) {
                           if (row.Code == IOCTL_SERIAL_WAIT_ON_MASK)
                               m.Control(IOCTL_SERIAL_SET_WAIT_MASK, sim::Bytes(ULONG{SERIAL_EV_RXCHAR}));
                           const ULONG output = std::max<ULONG>(row.LeastOutput, 64);
                           return FromRequest(m.Control(row.Code, ControlInput(row), output));
                       }});
    }
    struct Internal {
        const char* name;
        ULONG code;
        ULONG inputLength;
        ULONG outputLength;
    };
    for (const Internal& code : {Internal{"basic-settings", IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, 0,
                                          sizeof(SERIAL_BASIC_SETTINGS)},
                                 Internal{"restore-settings", IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS,
                                          sizeof(SERIAL_BASIC_SETTINGS), 0},
                                 Internal{"do-wait-wake", IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, 0, 0},
                                 Internal{"cancel-wait-wake", IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, 0, 0}}) {
        all.push_back({std::string("internal-") + code.name, Stage::Opened, [code](Machine& m) {
                           std::vector<uint8_t> input(code.inputLength, 0);
                           if (code.code == IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS) {
                               SERIAL_BASIC_SETTINGS settings{};
                               settings.HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
                               settings.HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
                               settings.HandFlow.XonLimit = 64;
                               settings.HandFlow.XoffLimit = 64;
                               input = sim::Bytes(settings);
                           }
                           auto result = sim::KernelClient(m.adapter->Fdo())
                                             .InternalDeviceControl(code.code, input, code.outputLength);
                           return Outcome{result.status, ""};
                       }});
    }
    // Flow control the chip performs, on a chip that keeps its handshake bits in
    // a second register: each switch reads and writes both registers.
    all.push_back({"chip-handshakes", Stage::Opened,
                   [](Machine& m) {
                       SERIAL_HANDFLOW flow{};
                       flow.ControlHandShake = SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE;
                       flow.FlowReplace = SERIAL_RTS_CONTROL;
                       flow.XonLimit = 256;
                       flow.XoffLimit = 256;
                       NTSTATUS status = m.Control(IOCTL_SERIAL_SET_HANDFLOW, sim::Bytes(flow))->Status();
                       if (!NT_SUCCESS(status)) return Outcome{status, ""};
                       flow.ControlHandShake = SERIAL_DTR_CONTROL;
                       return FromRequest(m.Control(IOCTL_SERIAL_SET_HANDFLOW, sim::Bytes(flow)));
                   },
                   3});
    all.push_back({"sleep-wake", Stage::Opened, [](Machine& m) {
                       auto r = m.file.Read(16);
                       m.requests.push_back(r);
                       sim::PowerTransition sleep = sim::SleepSystem(m.adapter->Pdo(), PowerSystemSleeping3);
                       ExpectClean(sleep.set, "the sleep");
                       sim::PowerTransition wake = sim::WakeSystem(m.adapter->Pdo());
                       m.sim.RunFor(kSecond);
                       return Outcome{wake.set, ""};
                   }});
    all.push_back({"wmi-query", Stage::Opened, [](Machine& m) {
                       NTSTATUS status = STATUS_SUCCESS;
                       for (const GUID& guid : kWmiBlocks) {
                           sim::WmiQueryResult r = sim::WmiQueryAllData(m.adapter->Fdo(), guid);
                           ExpectClean(r.status, "a WMI query");
                           if (!NT_SUCCESS(r.status)) status = r.status;
                       }
                       return Outcome{status, ""};
                   }});
    all.push_back({"close", Stage::Opened, [](Machine& m) {
                       m.requests.push_back(m.file.Read(16));
                       m.requests.push_back(m.file.Write(std::vector<uint8_t>(2000, 'c')));
                       NTSTATUS status = m.file.Close();
                       m.sim.RunFor(kSecond);
                       return Outcome{status, ""};
                   }});
    all.push_back({"removal", Stage::Plugged, [](Machine& m) {
                       NTSTATUS status = m.adapter->Remove();
                       Outcome out{status, ""};
                       if (NT_SUCCESS(status) && m.Present()) out.note = "removal answered success, port still there";
                       return out;
                   }});
    all.push_back({"surprise-removal", Stage::Opened, [](Machine& m) {
                       m.requests.push_back(m.file.Read(16));
                       NTSTATUS status = m.adapter->SurpriseRemove();
                       m.sim.RunFor(kSecond);
                       EXPECT_EQ(m.file.Close(), STATUS_SUCCESS);
                       m.sim.RunFor(kSecond);
                       Outcome out{status == STATUS_PENDING ? STATUS_SUCCESS : status, ""};
                       if (m.Present()) out.note = "the port outlived its handle after a surprise removal";
                       return out;
                   }});
    return all;
}

sim::AdapterOptions OptionsFor(const Scenario& scenario) {
    sim::AdapterOptions options;
    if (scenario.variant) options.variant = *scenario.variant;
    return options;
}

void SetUp(Machine& m, const Scenario& scenario) {
    const Stage stage = scenario.before;
    if (stage == Stage::Nothing) return;
    m.bench.emplace();
    ASSERT_TRUE(m.bench->DriverLoaded());
    m.adapter = &m.bench->AddAdapter(OptionsFor(scenario));
    m.adapter->PlugLoopback();
    if (stage == Stage::Loaded) return;
    ASSERT_EQ(m.adapter->Plug(), STATUS_SUCCESS);
    if (stage == Stage::Plugged) return;
    ASSERT_EQ(m.Open(), STATUS_SUCCESS);
}

// After the step: the port works again (plugged again where it is gone), every
// request ended, and then everything goes, with the simulation's own checks.
void Finish(Machine& m, const Scenario& scenario) {
    if (!m.bench) {
        m.bench.emplace();
    }
    if (!m.bench->DriverLoaded()) m.bench->ReloadDriverIfUnloaded();
    ASSERT_TRUE(m.bench->DriverLoaded()) << "the driver does not load again";
    if (!m.adapter) {
        m.adapter = &m.bench->AddAdapter(OptionsFor(scenario));
        m.adapter->PlugLoopback();
    }
    if (!m.Present()) {
        if (!m.adapter->Usb().Connected()) {
            // Pulled out: a new adapter takes its place.
            m.adapter = &m.bench->AddAdapter(OptionsFor(scenario));
            m.adapter->PlugLoopback();
        }
        ASSERT_EQ(m.adapter->Plug(), STATUS_SUCCESS) << "the adapter does not plug again";
    }
    ASSERT_TRUE(m.IsStarted());
    ExpectEchoes(m, scenario.name);
    if (m.file.IsOpen()) {
        EXPECT_EQ(m.file.Close(), STATUS_SUCCESS);
    }
    m.sim.RunFor(kSecond);
    for (const auto& r : m.requests) EXPECT_TRUE(r->Completed()) << "a request outlived its handle";
    m.requests.clear();
    PortExtension* port = m.adapter->Port();
    EXPECT_EQ(port->PendingRequestCount, 1);
    EXPECT_EQ(port->DeferredWorkCount, 1);
    if (std::getenv("VODREK_FAULT_SITES")) {
        for (const std::string& line : m.sim.DebugLog()) std::fprintf(stderr, "driver: %s", line.c_str());
    }
    m.bench.reset();
}

// Counts what the step does of `fault`'s kind; arms the n-th.
class FaultPlan {
  public:
    FaultPlan(Fault fault, Machine& m) : fault_(fault), m_(m) {
        if (IsUsb() && m.adapter) {
            auto counter = count_;
            auto target = target_;
            sim::UrbFault urbFault;
            urbFault.kind = fault == Fault::UsbFail    ? sim::UrbFault::Kind::Fail
                            : fault == Fault::UsbStall ? sim::UrbFault::Kind::Stall
                                                       : sim::UrbFault::Kind::NeverComplete;
            urbFault.times = 0;
            sim::UrbMatch match;
            const bool trace = std::getenv("VODREK_FAULT_SITES") != nullptr;
            match.predicate = [counter, target, trace](const sim::UrbSummary& urb) {
                ++*counter;
                if (trace) {
                    std::fprintf(stderr, "USB request %llu: function 0x%x, endpoint 0x%02x, request 0x%02x, %lu bytes%s\n",
                                 static_cast<unsigned long long>(*counter), urb.function, urb.endpoint,
                                 urb.hasSetup ? urb.setup.bRequest : 0, static_cast<unsigned long>(urb.length),
                                 *counter == *target ? " (fails)" : "");
                }
                return *counter == *target;
            };
            m.adapter->Usb().InjectFault(match, urbFault);
        }
        start_ = Count();
    }
    void Arm(uint64_t n) {
        switch (fault_) {
            case Fault::Pool: sim::FailNthPoolAllocation(n); break;
            case Fault::DeviceCreation: sim::FailNthDeviceCreation(static_cast<int>(n)); break;
            case Fault::RegistryRead: sim::FailNthRegistryRead(n); break;
            default: *target_ = *count_ + n; break;
        }
    }
    void Disarm() {
        sim::ClearPoolFaults();
        sim::FailNthDeviceCreation(0);
        sim::FailNthRegistryRead(0);
        *target_ = 0;
        if (IsUsb() && m_.adapter) m_.adapter->Usb().ClearFaults();
    }
    uint64_t Made() const { return Count() - start_; }
    bool IsUsb() const { return fault_ == Fault::UsbFail || fault_ == Fault::UsbStall || fault_ == Fault::UsbNoAnswer; }

  private:
    uint64_t Count() const {
        switch (fault_) {
            case Fault::Pool: return sim::AllocationCount();
            case Fault::DeviceCreation: return sim::DeviceCreations();
            case Fault::RegistryRead: return sim::RegistryReads();
            default: return *count_;
        }
    }
    Fault fault_;
    Machine& m_;
    std::shared_ptr<uint64_t> count_ = std::make_shared<uint64_t>(0);
    std::shared_ptr<uint64_t> target_ = std::make_shared<uint64_t>(0);
    uint64_t start_ = 0;
};

std::string ProgramPath() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : "vodrek_fault_tests";
}

// Totals over the runs of this process, for the summary at the end.
struct Tally {
    std::map<Fault, uint64_t> runs;
    std::map<std::string, std::set<std::string>> sitesByScenario;
    std::set<std::string> sites;
};
Tally& Totals() {
    static Tally tally;
    return tally;
}

// The schedule of a sweep: the counting run's, repeated by every run after it so
// that each follows the same path up to its fault.
struct SweepSchedule {
    sim::Policy policy = sim::Policy::Eager;
    uint64_t seed = 0;
};

// One run: set up, the step with the n-th of `fault` failing (0: none), finish.
// Answers how many the step made.
uint64_t RunOnce(const Scenario& scenario, Fault fault, uint64_t n, SweepSchedule& sweep, bool counting) {
    const std::string run = scenario.name + "/" + FaultName(fault) + "/" + std::to_string(n);
    SCOPED_TRACE(run);
    Machine m;
    if (counting) {
        sweep.policy = m.sim.GetPolicy();
        sweep.seed = m.sim.Seed();
    } else {
        m.sim.SetPolicy(sweep.policy, sweep.seed);
    }
    sim::Simulation::SetReplayTarget("VODREK_FAULT_RUN=" + run + " " + ProgramPath() + " --gtest_filter='" +
                                     ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() +
                                     "." + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "'");
    SetUp(m, scenario);
    if (::testing::Test::HasFatalFailure()) return 0;
    FaultPlan plan(fault, m);
    if (n) plan.Arm(n);
    if (counting && fault == Fault::Pool) sim::RecordAllocationSites(true);
    Outcome out = scenario.step(m);
    const uint64_t made = plan.Made();
    if (counting && fault == Fault::Pool) {
        const std::vector<std::string> sites = sim::AllocationSites();
        for (size_t i = 0; i < sites.size(); ++i) {
            Totals().sitesByScenario[scenario.name].insert(sites[i]);
            Totals().sites.insert(sites[i]);
            if (std::getenv("VODREK_FAULT_SITES"))
                std::fprintf(stderr, "%s: allocation %zu: %s\n", scenario.name.c_str(), i + 1, sites[i].c_str());
        }
        sim::RecordAllocationSites(false);
    }
    plan.Disarm();
    ExpectClean(out.status, scenario.name);
    EXPECT_TRUE(out.note.empty()) << out.note;
    Finish(m, scenario);
    ++Totals().runs[fault];
    if (::testing::Test::HasFailure())
        std::fprintf(stderr, "replay: %s\n", m.sim.ReplayCommand().c_str());
    return made;
}

void Sweep(const Scenario& scenario, Fault fault) {
    if (const char* only = std::getenv("VODREK_FAULT_RUN")) {
        std::string wanted(only);
        const std::string prefix = scenario.name + "/" + FaultName(fault) + "/";
        if (wanted.compare(0, prefix.size(), prefix) != 0) return;
        SweepSchedule sweep;
        RunOnce(scenario, fault, 0, sweep, true);
        RunOnce(scenario, fault, std::strtoull(wanted.c_str() + prefix.size(), nullptr, 10), sweep, false);
        return;
    }
    SweepSchedule sweep;
    const uint64_t made = RunOnce(scenario, fault, 0, sweep, true);
    for (uint64_t n = 1; n <= made && !::testing::Test::HasFailure(); ++n) RunOnce(scenario, fault, n, sweep, false);
}

class EveryFailure : public ::testing::TestWithParam<Fault> {};

TEST_P(EveryFailure, EndsCleanlyInEveryScenario) {
    const uint64_t runsBefore = Totals().runs[GetParam()];
    size_t scenarios = 0, faulted = 0;
    const char* only = std::getenv("VODREK_FAULT_SCENARIO");
    for (const Scenario& scenario : Scenarios()) {
        if (::testing::Test::HasFailure()) break;
        if (only && scenario.name != only) continue;
        const uint64_t before = Totals().runs[GetParam()];
        Sweep(scenario, GetParam());
        ++scenarios;
        faulted += Totals().runs[GetParam()] - before > 1 ? 1 : 0;
    }
    std::printf("%s: %zu scenarios, %zu of them with something of this kind to fail, %llu runs",
                FaultName(GetParam()), scenarios, faulted,
                static_cast<unsigned long long>(Totals().runs[GetParam()] - runsBefore));
    if (GetParam() == Fault::Pool) std::printf(", %zu distinct allocation sites", Totals().sites.size());
    std::printf("\n");
}

INSTANTIATE_TEST_SUITE_P(Faults, EveryFailure,
                         ::testing::Values(Fault::Pool, Fault::DeviceCreation, Fault::RegistryRead, Fault::UsbFail,
                                           Fault::UsbStall, Fault::UsbNoAnswer),
                         [](const ::testing::TestParamInfo<Fault>& info) {
                             std::string name = FaultName(info.param);
                             for (char& c : name) {
                                 if (c == '-') c = '_';
                             }
                             return name;
                         });

}  // namespace
