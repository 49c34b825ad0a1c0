// Device fundamentals: the port under what a machine does to it, each scenario
// with every kind of request in flight — the adapter pulled out at many moments
// of traffic, rebalance, sleep and wake, plug and unplug over and over, opens and
// closes from several threads, cancel storms against each kind of pending
// request, a port left open at removal. Under the schedules label each runs on
// two processors in many orders. Whatever the order: every request ends once
// (the verifier stops a second completion), the handle still closes, the port's
// counts are idle, and nothing is left in the pool when the port goes.
//
// VODREK_PLUG_CYCLES sets the number of plug/unplug cycles (default 20; the
// campaign runs 1,000).
#include "tests/support/open_port.h"

#include <sim/pnp.h>
#include <sim/pool.h>
#include <sim/power.h>
#include <sim/registry.h>

#include <cstdlib>

namespace {

using sim::kMillisecond;
using sim::kSecond;
using sim::Ticks;
using simtest::OpenPortTest;

constexpr ULONG kMax = MAXULONG;

class FundamentalsTest : public OpenPortTest {
  protected:
    // Every kind of request that can wait in the driver, started at once: a
    // read with no time-out, a wait on an event that does not come, a write
    // too long to leave before the scenario acts, an XOFF_COUNTER counting, an
    // immediate character behind them; and bytes arriving throughout.
    std::vector<sim::FileRequestHandle> StartTraffic() {
        EXPECT_EQ(SetTimeouts(0, 0, 0), STATUS_SUCCESS);
        EXPECT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, sim::Bytes(SERIAL_BAUD_RATE{9600})), STATUS_SUCCESS);
        EXPECT_EQ(Control(IOCTL_SERIAL_SET_WAIT_MASK, sim::Bytes(ULONG{SERIAL_EV_RING | SERIAL_EV_BREAK})),
                  STATUS_SUCCESS);
        std::vector<sim::FileRequestHandle> requests;
        requests.push_back(file().Read(5000));
        requests.push_back(file().DeviceIoControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)));
        requests.push_back(file().Write(std::vector<uint8_t>(3000, 'w')));
        requests.push_back(file().Write(std::vector<uint8_t>(100, 'v')));
        requests.push_back(
            file().DeviceIoControl(IOCTL_SERIAL_XOFF_COUNTER, sim::Bytes(SERIAL_XOFF_COUNTER{0, 50, 0x13})));
        requests.push_back(file().DeviceIoControl(IOCTL_SERIAL_IMMEDIATE_CHAR, {0x55}));
        for (int i = 0; i < 20; ++i) {
            sim_.Schedule(i * kMillisecond / 2, "bytes arrive",
                          [this] { chip().InjectReceived(std::vector<uint8_t>(30, 'r')); });
        }
        return requests;
    }
    static void ExpectAllEnded(const std::vector<sim::FileRequestHandle>& requests) {
        for (size_t i = 0; i < requests.size(); ++i) {
            EXPECT_TRUE(requests[i]->Completed()) << "request " << i;
            EXPECT_NE(requests[i]->Status(), STATUS_PENDING) << "request " << i;
        }
    }
    void ExpectIdle() {
        EXPECT_EQ(port()->PendingRequestCount, 1);
        EXPECT_EQ(port()->DeferredWorkCount, 1);
    }
    // A loopback plug on the connector, and the port at a rate (the chip's
    // UART carries nothing before the first one is set).
    void WireLoopback() {
        adapter().PlugLoopback();
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, sim::Bytes(SERIAL_BAUD_RATE{115200})), STATUS_SUCCESS);
    }
    // Takes whatever is still arriving from what was written before.
    void Drain() {
        ASSERT_EQ(SetTimeouts(kMax, 0, 0), STATUS_SUCCESS);
        for (int i = 0; i < 50; ++i) {
            sim_.RunFor(20 * kMillisecond);
            auto r = file().Read(4096);
            ASSERT_TRUE(RunUntilCompleted(r));
            if (r->Information() == 0) return;
        }
        ADD_FAILURE() << "bytes kept arriving";
    }
    // The port echoes through a loopback plug: bytes written come back to a read.
    void ExpectEchoes(const std::string& text) {
        WireLoopback();
        Drain();
        ASSERT_EQ(SetTimeouts(0, 0, 2000), STATUS_SUCCESS);
        auto read = file().Read(static_cast<ULONG>(text.size()));
        auto write = file().Write(std::vector<uint8_t>(text.begin(), text.end()));
        ASSERT_TRUE(sim_.RunUntil([&] { return read->Completed() && write->Completed(); }, 5 * kSecond));
        EXPECT_EQ(write->Status(), STATUS_SUCCESS);
        EXPECT_EQ(read->Status(), STATUS_SUCCESS);
        EXPECT_EQ(Text(read->Output()), text);
    }
    void Reopen() {
        NTSTATUS status;
        file_ = sim::File::Open(u"\\\\.\\COM3", &status, sim::OverlappedOpen());
        ASSERT_EQ(status, STATUS_SUCCESS);
        sim_.RunUntilIdle();
    }
};

// --- Surprise removal ----------------------------------------------------------

// The adapter pulled out at moments from the first instant of the traffic to
// well into it: every request ends, the handle closes, the port goes and takes
// all its pool with it.
TEST_F(FundamentalsTest, PulledOutAtAnyMomentOfTrafficEveryRequestEndsAndThePortGoes) {
    for (Ticks at : {Ticks{0}, kMillisecond / 4, 3 * kMillisecond, 40 * kMillisecond}) {
        SCOPED_TRACE(at);
        Open();
        auto requests = StartTraffic();
        sim_.RunFor(at);
        EXPECT_EQ(adapter().SurpriseRemove(), STATUS_PENDING) << "the removal waits for the handle";
        sim_.RunFor(kSecond);
        ExpectAllEnded(requests);
        auto late = file().Write({1, 2, 3});
        ASSERT_TRUE(RunUntilCompleted(late));
        EXPECT_EQ(late->Status(), STATUS_DELETE_PENDING);
        EXPECT_EQ(file_.Close(), STATUS_SUCCESS);
        sim_.RunFor(kSecond);
        EXPECT_FALSE(adapter().Present());
        EXPECT_EQ(sim::PoolBlocksWithTag(simtest::kComxTag), 0u) << "the port's pool outlived it";
        if (HasFailure()) return;
    }
}

// A port left open at an orderly removal: the query is refused while the handle
// is open, the traffic goes on untouched; pulled out with the handle still open,
// the removal finishes only when the application closes it.
TEST_F(FundamentalsTest, APortLeftOpenAtRemovalGoesWhenItsHandleCloses) {
    Open();
    WireLoopback();
    auto read = file().Read(10);
    EXPECT_NE(sim::SendPnp(adapter().Pdo(), IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(sim::SendPnp(adapter().Pdo(), IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(port()->PnpState, Started);
    auto write = file().Write(std::vector<uint8_t>(10, 'k'));
    ASSERT_TRUE(sim_.RunUntil([&] { return read->Completed() && write->Completed(); }, 2 * kSecond));
    EXPECT_EQ(Text(read->Output()), std::string(10, 'k'));

    auto pending = file().Read(10);
    EXPECT_EQ(adapter().SurpriseRemove(), STATUS_PENDING);
    sim_.RunFor(10 * kSecond);
    EXPECT_TRUE(pending->Completed());
    EXPECT_TRUE(adapter().Present()) << "the port stays while its handle is open";
    EXPECT_EQ(file_.Close(), STATUS_SUCCESS);
    sim_.RunFor(kSecond);
    EXPECT_FALSE(adapter().Present());
    EXPECT_EQ(sim::PoolBlocksWithTag(simtest::kComxTag), 0u);
}

// --- Rebalance -------------------------------------------------------------------

// Rebalance while requests are in flight: refused while the port is open, with
// every request going on as if nothing had been asked; once closed, the stop
// and restart run, and the port opens and carries bytes again.
TEST_F(FundamentalsTest, RebalanceWithRequestsInFlightLosesNone) {
    Open();
    WireLoopback();
    ASSERT_EQ(SetTimeouts(0, 0, 0), STATUS_SUCCESS);
    auto read = file().Read(600);
    auto write = file().Write(std::vector<uint8_t>(600, 'b'));
    sim_.RunFor(kMillisecond);
    EXPECT_EQ(adapter().Rebalance(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(port()->PnpState, Started);
    ASSERT_TRUE(sim_.RunUntil([&] { return read->Completed() && write->Completed(); }, 5 * kSecond));
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Text(read->Output()), std::string(600, 'b'));
    Close();

    // A kernel-mode caller's requests arrive from another thread while the stop
    // runs: each is held and run after the restart, or refused, never lost.
    std::vector<sim::IrpHandle> held;
    int caller = sim_.CreateThread("driver above", [&] {
        for (int i = 0; i < 3; ++i) {
            held.push_back(sim::DeviceIoControl(adapter().Fdo(), IOCTL_SERIAL_GET_BAUD_RATE, {},
                                                sizeof(SERIAL_BAUD_RATE)));
            KeStallExecutionProcessor(200);
        }
    });
    EXPECT_EQ(adapter().Rebalance(), STATUS_SUCCESS);
    sim_.RunUntil([&] { return sim_.ThreadFinished(caller); }, kSecond);
    sim_.RunFor(kSecond);
    for (const auto& r : held) EXPECT_TRUE(r->completed);
    EXPECT_EQ(port()->PnpState, Started);
    ExpectIdle();
    Reopen();
    ExpectEchoes("after the rebalance");
}

// --- Sleep and wake --------------------------------------------------------------

// The system sleeps and wakes with every kind of request in flight: each ends
// once (before, during or after the sleep), and after the wake the port carries
// bytes again.
TEST_F(FundamentalsTest, SleepAndWakeWithRequestsInFlight) {
    Open();
    auto requests = StartTraffic();
    sim_.RunFor(2 * kMillisecond);
    EXPECT_EQ(sim::SleepSystem(adapter().Pdo(), PowerSystemSleeping3).set, STATUS_SUCCESS);
    sim_.RunFor(100 * kMillisecond);
    EXPECT_EQ(sim::WakeSystem(adapter().Pdo()).set, STATUS_SUCCESS);
    sim_.RunFor(kSecond);
    EXPECT_EQ(port()->DevicePowerState, PowerDeviceD0);
    // What still waits is the application's to cancel.
    EXPECT_EQ(file().CancelIo(), STATUS_SUCCESS);
    sim_.RunFor(kSecond);
    ExpectAllEnded(requests);
    ExpectEchoes("after the wake");
    Close();
    ExpectIdle();
}

// --- Plug and unplug -------------------------------------------------------------

int PlugCycles() {
    const char* text = std::getenv("VODREK_PLUG_CYCLES");
    return text ? std::max(1, std::atoi(text)) : 20;
}

// Plug, open, traffic, then out again, over and over, alternating the ways an
// adapter leaves: closed then removed, pulled out while open, pulled out while
// closed. Each cycle leaves no pool, no name and no handle behind, and the
// driver is unloaded with its last port and loaded again with the next.
TEST_F(FundamentalsTest, PlugAndUnplugOverAndOver) {
    const int cycles = PlugCycles();
    for (int cycle = 0; cycle < cycles; ++cycle) {
        SCOPED_TRACE(cycle);
        sim::Adapter& adapter = bench_.AddAdapter();
        adapter_ = &adapter;
        adapter.PlugLoopback();
        ASSERT_EQ(adapter.Plug(), STATUS_SUCCESS);
        Reopen();
        ExpectEchoes("cycle");
        auto read = file().Read(100);
        auto write = file().Write(std::vector<uint8_t>(50, static_cast<uint8_t>(cycle)));
        sim_.RunFor(static_cast<Ticks>(cycle % 7) * kMillisecond);
        switch (cycle % 3) {
            case 0:
                EXPECT_EQ(file_.Close(), STATUS_SUCCESS);
                sim_.RunFor(kSecond);
                EXPECT_EQ(adapter.Remove(), STATUS_SUCCESS);
                // Then taken out: a removed device still on the bus keeps its
                // address, and a bus has 127.
                adapter.Usb().Unplug();
                break;
            case 1:
                EXPECT_EQ(adapter.SurpriseRemove(), STATUS_PENDING);
                sim_.RunFor(kSecond);
                EXPECT_EQ(file_.Close(), STATUS_SUCCESS);
                sim_.RunFor(kSecond);
                break;
            case 2:
                EXPECT_EQ(file_.Close(), STATUS_SUCCESS);
                sim_.RunFor(kSecond);
                EXPECT_EQ(adapter.SurpriseRemove(), STATUS_SUCCESS);
                break;
        }
        EXPECT_TRUE(read->Completed());
        EXPECT_TRUE(write->Completed());
        EXPECT_FALSE(adapter.Present());
        EXPECT_FALSE(bench_.DriverLoaded()) << "the driver stays loaded without a port";
        EXPECT_EQ(sim::PoolBlocksWithTag(simtest::kComxTag), 0u);
        EXPECT_EQ(sim::OpenRegistryHandles(), 0u);
        NTSTATUS status;
        sim::File gone = sim::File::Open(u"\\\\.\\COM3", &status);
        EXPECT_FALSE(gone.IsOpen()) << "the COM name outlived its port";
        adapter.Unwire();
        if (HasFailure()) return;
    }
}

// --- Open and close storms -------------------------------------------------------

// Three application threads open the port, read and write a little, and close,
// over and over: one open at a time succeeds, the others are refused; every
// request ends, and the port is closed and idle at the end.
TEST_F(FundamentalsTest, OpenCloseStormFromSeveralThreads) {
    adapter_ = &bench_.AddAdapter();
    adapter().PlugLoopback();
    ASSERT_EQ(adapter().Plug(), STATUS_SUCCESS);
    int opened = 0, refused = 0;
    std::vector<sim::FileRequestHandle> requests;
    std::vector<int> threads;
    for (int t = 0; t < 3; ++t) {
        threads.push_back(sim_.CreateThread("application " + std::to_string(t), [&, t] {
            for (int i = 0; i < 8; ++i) {
                NTSTATUS status;
                sim::File f = sim::File::Open(u"\\\\.\\COM3", &status, sim::OverlappedOpen());
                if (!f.IsOpen()) {
                    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
                    ++refused;
                    KeStallExecutionProcessor(100 + 37 * t);
                    continue;
                }
                ++opened;
                requests.push_back(f.Read(10));
                requests.push_back(f.Write(std::vector<uint8_t>(20, static_cast<uint8_t>(t))));
                if (i % 2) requests.push_back(f.DeviceIoControl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS)));
                KeStallExecutionProcessor(50 * (i % 3));
                EXPECT_EQ(f.Close(), STATUS_SUCCESS);
            }
        }));
    }
    sim_.RunUntil(
        [&] {
            for (int id : threads)
                if (!sim_.ThreadFinished(id)) return false;
            return true;
        },
        60 * kSecond);
    sim_.RunFor(kSecond);
    for (int id : threads) EXPECT_TRUE(sim_.ThreadFinished(id));
    EXPECT_GT(opened, 0);
    EXPECT_EQ(opened + refused, 24);
    ExpectAllEnded(requests);
    EXPECT_EQ(port()->OpenCount, 0);
    EXPECT_EQ(port()->DeviceIsOpen, 0);
    ExpectIdle();
    Reopen();
    ExpectEchoes("after the storm");
}

// --- Cancel storms -----------------------------------------------------------------

// Each kind of request that can wait in the driver, cancelled at moments from
// at once to well after it started, from its own thread (CancelIo) and from
// another (CancelIoEx): it ends once, cancelled or done, and the next request
// of its kind works.
TEST_F(FundamentalsTest, CancelStormAgainstEveryKindOfPendingRequest) {
    OpenWithFarEnd(2, 9600);
    sim::ScriptedPeer& peer = adapter().AttachPeer(
        [] {
            sim::PeerOptions options;
            options.format = sim::CharacterFormat::Plain(9600, 8, 0);
            options.lines = {false, true, true, false};  // CTS off: writes under CTS flow wait
            return options;
        }());
    (void)peer;
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL, 100, 100), STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_WAIT_MASK, sim::Bytes(ULONG{SERIAL_EV_RING})), STATUS_SUCCESS);
    // Three of each at once, but a single wait: a second one is refused while
    // one waits.
    struct Kind {
        const char* name;
        int atOnce;
        std::function<sim::FileRequestHandle()> start;
    };
    const std::vector<Kind> kinds = {
        {"read", 3, [&] { return file().Read(100); }},
        {"write held by CTS", 3, [&] { return file().Write(std::vector<uint8_t>(64, 'h')); }},
        {"wait on mask", 1, [&] { return file().DeviceIoControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)); }},
        {"XOFF counter", 3,
         [&] { return file().DeviceIoControl(IOCTL_SERIAL_XOFF_COUNTER, sim::Bytes(SERIAL_XOFF_COUNTER{0, 10, 0x13})); }},
    };
    ASSERT_EQ(SetTimeouts(0, 0, 0), STATUS_SUCCESS);
    for (const Kind& kind : kinds) {
        for (Ticks at : {Ticks{0}, kMillisecond / 10, 2 * kMillisecond, 30 * kMillisecond}) {
            for (bool fromAnotherThread : {false, true}) {
                SCOPED_TRACE(std::string(kind.name) + " at " + std::to_string(at) +
                             (fromAnotherThread ? " from another thread" : ""));
                std::vector<sim::FileRequestHandle> storm;
                for (int i = 0; i < kind.atOnce; ++i) storm.push_back(kind.start());
                if (fromAnotherThread) {
                    PassiveAt(at, [&] {
                        for (const auto& r : storm) file().CancelIoEx(r);
                    });
                    sim_.RunFor(at + 50 * kMillisecond);
                } else {
                    sim_.RunFor(at);
                    EXPECT_EQ(file().CancelIo(), STATUS_SUCCESS);
                }
                sim_.RunFor(50 * kMillisecond);
                for (const auto& r : storm) {
                    ASSERT_TRUE(r->Completed());
                    EXPECT_EQ(r->Status(), STATUS_CANCELLED);
                }
                ExpectIdle();
                if (HasFailure()) return;
            }
        }
    }
    // The port still works: CTS back, the held kinds go through.
    Close();
    Reopen();
    ExpectEchoes("after the storms");
}

}  // namespace
