// The chip's UART behind its endpoints, driven through the endpoints directly and
// a scripted peer on the serial connector: FIFO sizes, NAK and ready signalling,
// overruns, status packets on line changes and errors, the flow control the
// registers hand to the chip, and the control lines and break on the wire.
#include "tests/sim/chip_test_host.h"
#include "tests/support/sim_fixture.h"

#include <sim/serial_wires.h>

#include <numeric>
#include <vector>

namespace {

using chiptest::ChipHost;
using chiptest::Drain;
using chiptest::StatusWords;
using chiptest::Write;
using sim::CharacterFormat;
using sim::Handshake;
using sim::kMicrosecond;
using sim::kMillisecond;
using sim::Ticks;

constexpr uint16_t kCts = 0x80, kDsr = 0x02, kDcd = 0x01, kRing = 0x08;
constexpr uint16_t kOverrun = 0x40, kParity = 0x20, kFraming = 0x10, kBreak = 0x04;

std::vector<uint8_t> Iota(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 13 + i / 256);
    return v;
}

class ChipUartTest : public simtest::SimTest {
  protected:
    static sim::PeerOptions Peer(uint64_t baud) {
        sim::PeerOptions options;
        options.format = CharacterFormat::Plain(baud);
        return options;
    }
};

// --- FIFOs and endpoints -----------------------------------------------------------

class ChipFifos : public ChipUartTest {};

TEST_F(ChipFifos, ReceiveFifoHoldsItsSizeAndEveryByteBeyondIsAnOverrunReportedOnce) {
    for (int variant : {0, 2}) {
        sim::BridgeChip chip(variant);
        ChipHost host{chip};
        host.Configure();
        ASSERT_EQ(host.SetLineCoding(115200, 0, 0, 8), Handshake::Ack);
        sim::ScriptedPeer peer(chip, Peer(115200));
        const size_t capacity = variant < 2 ? 256 : 512;
        ASSERT_EQ(chip.FifoCapacity(), capacity);
        peer.Send(Iota(700));
        sim_.RunFor(100 * kMillisecond);
        EXPECT_EQ(chip.ReceiveFifoLevel(), capacity);
        sim::UartCounters c = chip.Counters();
        EXPECT_EQ(c.overruns, 700 - capacity);
        EXPECT_EQ(c.receivedLost, 700 - capacity);
        EXPECT_EQ(c.charactersReceived, 700u);
        // The lines the peer holds on came as one packet at the plug; every overrun
        // since joined it, since it had not gone out yet.
        EXPECT_EQ(StatusWords(chip), (std::vector<uint16_t>{kCts | kDsr | kDcd | kOverrun}));
        EXPECT_EQ(Drain(chip), std::vector<uint8_t>(Iota(capacity)));

        // Once that packet is gone, a new overrun makes a packet of its own.
        peer.Send(Iota(capacity + 3));
        sim_.RunFor(100 * kMillisecond);
        EXPECT_EQ(chip.Counters().overruns, 700 - capacity + 3);
        EXPECT_EQ(StatusWords(chip), (std::vector<uint16_t>{kCts | kDsr | kDcd | kOverrun}));
        EXPECT_TRUE(StatusWords(chip).empty());
    }
}

TEST_F(ChipFifos, BulkInNaksWhileEmptyAndIsReadyAtTheFirstStopBit) {
    sim::BridgeChip chip(3);
    ChipHost host{chip};
    host.Configure();
    ASSERT_EQ(host.SetLineCoding(9600, 0, 0, 8), Handshake::Ack);
    sim::ScriptedPeer peer(chip, Peer(9600));
    std::vector<std::pair<Ticks, uint8_t>> ready;
    chip.SetReadyListener([&](uint8_t ep) { ready.push_back({sim_.Now(), ep}); });
    uint8_t buffer[64];
    size_t n = 0;
    ASSERT_EQ(chip.In(chip.BulkInEndpoint(), buffer, 64, &n), Handshake::Nak);
    const Ticks start = sim_.Now() + kMillisecond;
    peer.SendAt(start, Iota(150));
    sim_.RunFor(2 * kMillisecond);
    // The first character is taken at the middle of its stop bit, 989.6 us in.
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].first, start + 9896);
    EXPECT_EQ(ready[0].second, chip.BulkInEndpoint());
    sim_.RunFor(200 * kMillisecond);
    std::vector<size_t> packets;
    std::vector<uint8_t> got;
    while (chip.In(chip.BulkInEndpoint(), buffer, 384, &n) == Handshake::Ack && n > 0) {
        packets.push_back(n);
        got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_EQ(packets, (std::vector<size_t>{64, 64, 22})) << "packets of the endpoint's size";
    EXPECT_EQ(got, Iota(150));
    EXPECT_EQ(ready.size(), 1u) << "no ready signal while nobody was refused";
    chip.SetReadyListener(nullptr);
}

TEST_F(ChipFifos, DataEndingOnAPacketBoundaryIsEndedByAZeroLengthPacketAfterTheLatency) {
    for (int variant : {0, 2}) {
        sim::BridgeChip chip(variant);
        ChipHost host{chip};
        host.Configure();
        ASSERT_EQ(host.SetLineCoding(115200, 0, 0, 8), Handshake::Ack);
        if (variant >= 2) {
            ASSERT_EQ(host.WriteRegister(0x0B, 2), Handshake::Ack);
        }
        const Ticks latency = (variant < 2 ? 16 : 2) * kMillisecond;
        sim::ScriptedPeer peer(chip, Peer(115200));
        peer.Send(Iota(128));
        sim_.RunFor(20 * kMillisecond);
        std::vector<Ticks> ready;
        chip.SetReadyListener([&](uint8_t ep) {
            if (ep == chip.BulkInEndpoint())
                ready.push_back(sim_.Now());
        });
        uint8_t buffer[64];
        size_t n = 0;
        ASSERT_EQ(chip.In(chip.BulkInEndpoint(), buffer, 64, &n), Handshake::Ack);
        ASSERT_EQ(chip.In(chip.BulkInEndpoint(), buffer, 64, &n), Handshake::Ack);
        EXPECT_EQ(n, 64u);
        const Ticks emptied = sim_.Now();
        EXPECT_EQ(chip.In(chip.BulkInEndpoint(), buffer, 64, &n), Handshake::Nak)
            << "more may come within the latency";
        sim_.RunFor(latency + kMillisecond);
        ASSERT_EQ(ready, std::vector<Ticks>{emptied + latency}) << variant;
        ASSERT_EQ(chip.In(chip.BulkInEndpoint(), buffer, 64, &n), Handshake::Ack);
        EXPECT_EQ(n, 0u) << "a zero-length packet";
        EXPECT_EQ(chip.In(chip.BulkInEndpoint(), buffer, 64, &n), Handshake::Nak);
        chip.SetReadyListener(nullptr);
    }
}

TEST_F(ChipFifos, TransmitFifoTakesWholePacketsUpToItsSizeThenNaksAndBytesLeaveAtLineRate) {
    sim::BridgeChip chip(2);
    ChipHost host{chip};
    host.Configure();
    ASSERT_EQ(host.SetLineCoding(9600, 0, 0, 8), Handshake::Ack);
    sim::ScriptedPeer peer(chip, Peer(9600));
    std::vector<Ticks> ready;
    chip.SetReadyListener([&](uint8_t ep) {
        if (ep == chip.BulkOutEndpoint())
            ready.push_back(sim_.Now());
    });
    const std::vector<uint8_t> data = Iota(600);
    const Ticks start = sim_.Now();
    // The first byte goes to the shift register at once: eight packets leave 511
    // in the FIFO, and the ninth, which does not fit whole, is refused whole.
    size_t taken = Write(chip, data);
    EXPECT_EQ(taken, 512u);
    EXPECT_EQ(chip.TransmitFifoLevel(), 511u);
    EXPECT_EQ(chip.Counters().bytesFromHost, 512u);
    sim_.RunFor(65 * kMillisecond);
    EXPECT_TRUE(ready.empty()) << "room for less than the refused packet is no room";
    sim_.RunFor(kMillisecond);
    // Room for 64 once bytes 1 to 63 have begun: byte 63 begins 63 character
    // times (65.625 ms) after the first, seen at the first tick at or after it.
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0], start + 656251);
    while (taken < data.size()) {
        taken += Write(chip, data, taken);
        sim_.RunFor(kMillisecond);
    }
    sim_.RunFor(700 * kMillisecond);
    EXPECT_EQ(peer.ReceivedBytes(), data);
    const auto& received = peer.Received();
    ASSERT_EQ(received.size(), 600u);
    // Back to back: one 10-bit character every 1041.67 us from the first.
    EXPECT_EQ(received[0].at, sim::ToLineTime(start) + 989583334);
    EXPECT_EQ(received[599].at - received[0].at, 599 * 1041666667LL);
    EXPECT_EQ(chip.Counters().bytesTransmitted, 600u);
    EXPECT_EQ(chip.Counters().bytesFromHost, 600u);
    chip.SetReadyListener(nullptr);
}

TEST_F(ChipFifos, SuspendLosesWhatArrivesAndHoldsWhatWaitsToGo) {
    sim::BridgeChip chip(2);
    ChipHost host{chip};
    host.Configure();
    ASSERT_EQ(host.SetLineCoding(115200, 0, 0, 8), Handshake::Ack);
    sim::ScriptedPeer peer(chip, Peer(115200));
    chip.Suspend();
    peer.Send(Iota(20));
    EXPECT_EQ(Write(chip, Iota(30)), 30u);
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(chip.Counters().receivedLost, 20u);
    EXPECT_EQ(chip.ReceiveFifoLevel(), 0u);
    EXPECT_TRUE(peer.Received().empty()) << "the transmitter's clock stands still";
    chip.Resume();
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(peer.ReceivedBytes(), Iota(30));
    EXPECT_EQ(chip.Counters().overruns, 0u) << "lost to the suspend, not to a full FIFO";

    // Registers 9 and 8: held in reset, the receive FIFO loses everything too.
    ASSERT_EQ(host.WriteRegister(9, 0), Handshake::Ack);
    peer.Send(Iota(5));
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(chip.Counters().receivedLost, 25u);
    ASSERT_EQ(host.WriteRegister(8, 0), Handshake::Ack);
    peer.Send({'o', 'k'});
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(Drain(chip), (std::vector<uint8_t>{'o', 'k'}));
}

// --- remote wake-up ------------------------------------------------------------------

class ChipRemoteWakeup : public ChipUartTest {};

// Suspended with remote wake-up armed by the host, the chip signals resume at the
// first activity on its serial side (a character beginning, a line change),
// once per suspend; unarmed, or on a device that does not claim the feature,
// it never does.
TEST_F(ChipRemoteWakeup, ActivityWhileSuspendedSignalsResumeOncePerSuspendWhenArmed) {
    sim::BridgeChip chip(2);
    ChipHost host{chip};
    host.Configure();
    ASSERT_EQ(host.SetLineCoding(115200, 0, 0, 8), Handshake::Ack);
    sim::ScriptedPeer peer(chip, Peer(115200));
    std::vector<sim::Ticks> signals;
    chip.SetWakeListener([&] { signals.push_back(sim_.Now()); });

    chip.Suspend();
    peer.Send(Iota(5));
    peer.SetLinesInScript(sim::PeerLines{true, true, true, true});
    sim_.RunFor(10 * kMillisecond);
    EXPECT_TRUE(signals.empty()) << "not armed";
    chip.Resume();
    peer.SetLines(sim::PeerLines{true, true, true, false});

    ASSERT_EQ(host.Out(0x00, 3, 1, 0), Handshake::Ack);  // SET_FEATURE DEVICE_REMOTE_WAKEUP
    EXPECT_TRUE(chip.RemoteWakeupEnabled());
    sim_.RunFor(kMillisecond);
    chip.Suspend();
    const sim::Ticks sent = sim_.Now();
    peer.Send(Iota(20));
    sim_.RunFor(10 * kMillisecond);
    ASSERT_EQ(signals.size(), 1u) << "one signal however much follows";
    EXPECT_LE(signals[0] - sent, kMillisecond) << "at the first character, not at the resume";
    peer.SetLines(sim::PeerLines{true, true, true, true});
    sim_.RunFor(kMillisecond);
    EXPECT_EQ(signals.size(), 1u);
    EXPECT_EQ(chip.RemoteWakeups(), 1u);
    EXPECT_EQ(chip.Counters().receivedLost, 25u) << "what woke the host is still lost";

    chip.Resume();
    sim_.RunFor(kMillisecond);
    chip.Suspend();
    peer.SetLines(sim::PeerLines{true, true, true, false});  // the ring ends
    sim_.RunFor(kMillisecond);
    EXPECT_EQ(signals.size(), 2u) << "a line change wakes too, once more after a new suspend";

    // A configuration without the remote wake-up attribute refuses to arm it.
    sim::DescriptorSet plain = sim::BridgeDescriptors(2);
    plain.configuration.attributes = 0x80;
    sim::BridgeChip other(2, chiptest::Options([&](auto& o) { o.descriptors = plain; }));
    ChipHost otherHost{other};
    otherHost.Configure();
    EXPECT_EQ(otherHost.Out(0x00, 3, 1, 0), Handshake::Stall);
    EXPECT_FALSE(other.RemoteWakeupEnabled());
}

// --- status packets -------------------------------------------------------------------

class ChipStatus : public ChipUartTest {
  protected:
    // A configured chip with a scripted peer on its connector whose lines all
    // start off, so every packet comes from what the test does.
    struct Wired {
        explicit Wired(int variant) : chip(variant), peer(Configured(chip), QuietPeer()) {}
        sim::BridgeChip chip;
        sim::ScriptedPeer peer;
    };
    static sim::BridgeChip& Configured(sim::BridgeChip& chip) {
        ChipHost{chip}.Configure();
        return chip;
    }
    static sim::PeerOptions QuietPeer() {
        sim::PeerOptions options = Peer(9600);
        options.lines = {};
        return options;
    }
};

TEST_F(ChipStatus, EveryLineChangeIsAPacketWithTheLinesOfThatMoment) {
    Wired wired(1);
    sim::BridgeChip& chip = wired.chip;
    sim::ScriptedPeer& peer = wired.peer;
    EXPECT_TRUE(StatusWords(chip).empty()) << "lines all off: nothing changed";
    // The host takes what waits after each change.
    peer.SetLines({true, false, false, false});
    EXPECT_EQ(StatusWords(chip), std::vector<uint16_t>{kCts});
    peer.SetLines({true, true, false, false});
    EXPECT_EQ(StatusWords(chip), std::vector<uint16_t>{kCts | kDsr});
    peer.SetLines({true, true, true, false});
    EXPECT_EQ(StatusWords(chip), std::vector<uint16_t>{kCts | kDsr | kDcd});
    peer.SetLines({true, true, true, true});
    EXPECT_EQ(StatusWords(chip), std::vector<uint16_t>{kCts | kDsr | kDcd | kRing});
    peer.SetLines({true, true, true, true});
    EXPECT_TRUE(StatusWords(chip).empty()) << "no change, no packet";
    // Changes the host has not looked at: the first, then the lines of the
    // moment; the states between are lost.
    peer.SetLines({false, true, true, true});
    peer.SetLines({false, false, true, true});
    peer.SetLines({false, false, false, true});
    peer.SetLines({false, false, false, false});
    EXPECT_EQ(StatusWords(chip), (std::vector<uint16_t>{kDsr | kDcd | kRing, 0}));
    EXPECT_EQ(chip.Inputs(), sim::ModemInputs{});

    // A change at a scheduled time is queued then, and offered to the host at once.
    std::vector<Ticks> ready;
    chip.SetReadyListener([&](uint8_t ep) {
        if (ep == chip.StatusEndpoint())
            ready.push_back(sim_.Now());
    });
    const Ticks at = sim_.Now() + 3 * kMillisecond;
    peer.SetLinesAt(at, {false, true, false, false});
    sim_.RunFor(5 * kMillisecond);
    EXPECT_EQ(ready, std::vector<Ticks>{at});
    EXPECT_EQ(StatusWords(chip), std::vector<uint16_t>{kDsr});
    chip.SetReadyListener(nullptr);
}

// The host polls the status endpoint once a frame; a line may change several
// times between two polls (automatic RTS at the other end of a cable toggles
// CTS three or four times a frame at 6,000,000 baud). Whatever the line does,
// the host has the lines as they are within two polls.
TEST_F(ChipStatus, ALineTogglingFasterThanThePollsReachesTheHostAsItIsWithinTwoPolls) {
    Wired wired(2);
    sim::BridgeChip& chip = wired.chip;
    sim::ScriptedPeer& peer = wired.peer;
    const Ticks start = sim_.Now();
    // CTS changes every 300 us for 30 frames, ending off; DSR comes on once, in
    // the middle of that, at 20.5 ms.
    for (int j = 0; j < 100; ++j) {
        const Ticks at = start + 150 * kMicrosecond + j * 300 * kMicrosecond;
        const bool dsr = at >= start + 20500 * kMicrosecond;
        peer.SetLinesAt(at, {j % 2 == 0, dsr, false, false});
    }
    peer.SetLinesAt(start + 20500 * kMicrosecond, {false, true, false, false});  // CTS off since 20.25 ms
    int firstWithDsr = 0;
    std::vector<std::pair<int, uint16_t>> taken;  // poll, word
    for (int poll = 1; poll <= 40; ++poll) {
        sim_.RunFor(start + poll * kMillisecond - sim_.Now());
        const std::vector<uint16_t> words = [&] {
            uint8_t packet[10];
            size_t n = 0;
            if (chip.In(chip.StatusEndpoint(), packet, sizeof packet, &n) != Handshake::Ack)
                return std::vector<uint16_t>{};
            return std::vector<uint16_t>{static_cast<uint16_t>(packet[8] | packet[9] << 8)};
        }();
        for (uint16_t w : words) {
            taken.push_back({poll, w});
            if ((w & kDsr) && firstWithDsr == 0)
                firstWithDsr = poll;
        }
    }
    EXPECT_EQ(firstWithDsr, 22) << "DSR came on at 20.5 ms: the poll after next reports it";
    ASSERT_FALSE(taken.empty());
    // The burst ended at 29.85 ms with CTS off: the poll at 30 ms takes the older
    // of the two waiting, the one at 31 ms the lines of the moment, and then the
    // host has been told everything.
    EXPECT_EQ(taken.back(), std::make_pair(31, kDsr));
    EXPECT_EQ(chip.PendingStatusPackets(), 0u);
    // One packet each poll while the line kept changing: nothing is held back.
    for (int poll = 1; poll <= 31; ++poll)
        EXPECT_EQ(std::count_if(taken.begin(), taken.end(), [&](auto& t) { return t.first == poll; }), 1)
            << "poll " << poll;
}

TEST_F(ChipStatus, BothEdgesOfAPulseShorterThanAPollArriveAsTwoPackets) {
    Wired wired(2);
    sim::BridgeChip& chip = wired.chip;
    sim::ScriptedPeer& peer = wired.peer;
    for (const sim::PeerLines pulse : {sim::PeerLines{true, false, false, false},
                                       sim::PeerLines{false, false, false, true}}) {
        const Ticks at = sim_.Now() + 200 * kMicrosecond;
        peer.SetLinesAt(at, pulse);
        peer.SetLinesAt(at + 100 * kMicrosecond, {});
        sim_.RunFor(kMillisecond);
        const uint16_t on = pulse.cts ? kCts : kRing;
        EXPECT_EQ(StatusWords(chip), (std::vector<uint16_t>{on, 0})) << "the rise, then the fall";
    }
}

TEST_F(ChipStatus, EachErrorIsReportedInExactlyOnePacket) {
    sim::BridgeChip chip(2);
    ChipHost host{chip};
    host.Configure();
    ASSERT_EQ(host.SetLineCoding(9600, 0, /*odd*/ 1, 8), Handshake::Ack);
    sim::PeerOptions options = Peer(9600);
    options.lines = {};
    options.format = CharacterFormat::Plain(9600, 8, /*even*/ 2);
    sim::ScriptedPeer peer(chip, options);
    peer.Send({0x01, 0x02});  // two parity errors before the host looks
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(StatusWords(chip), std::vector<uint16_t>{kParity});
    EXPECT_TRUE(StatusWords(chip).empty()) << "reported once";
    EXPECT_EQ(Drain(chip), (std::vector<uint8_t>{0x01, 0x02})) << "the bytes still arrive";

    // Framing (a space parity bit where the stop bit should be) and a break.
    ASSERT_EQ(host.SetLineCoding(9600, 0, 0, 8), Handshake::Ack);
    peer.SendWithFormat(CharacterFormat::Plain(9600, 8, 4), {0x10});
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(StatusWords(chip), std::vector<uint16_t>{kFraming});
    peer.Break(20 * kMillisecond);
    sim_.RunFor(30 * kMillisecond);
    EXPECT_EQ(StatusWords(chip), std::vector<uint16_t>{kBreak});
    EXPECT_EQ(Drain(chip), std::vector<uint8_t>{0x10});

    // A line change after an error reported: the new packet has no error bit.
    peer.SetLines({true, false, false, false});
    EXPECT_EQ(StatusWords(chip), std::vector<uint16_t>{kCts});
    const sim::UartCounters c = chip.Counters();
    EXPECT_EQ(c.parityErrors, 2u);
    EXPECT_EQ(c.framingErrors, 1u);
    EXPECT_EQ(c.breaks, 1u);
}

// --- flow control carried out by the chip ------------------------------------------------

class ChipFlowControl : public ChipUartTest {};

TEST_F(ChipFlowControl, AutomaticRtsStopsAPeerThatObeysAtTheStopLevelAndFreesItAtTheResumeLevel) {
    // Register 2 0x24 on variant 0 (stop at 192 of 256, resume at 32), 0x44 on
    // variant 2 (448 of 512, 64).
    for (int variant : {0, 2}) {
        sim::BridgeChip chip(variant);
        ChipHost host{chip};
        host.Configure();
        ASSERT_EQ(host.SetLineCoding(115200, 0, 0, 8), Handshake::Ack);
        ASSERT_EQ(host.Out(0x21, 0x22, 0x02, 0), Handshake::Ack);  // the host asks for RTS
        sim::PeerOptions options = Peer(115200);
        options.obeyRts = true;
        sim::ScriptedPeer peer(chip, options);
        ASSERT_TRUE(chip.RtsLine());
        ASSERT_EQ(host.WriteRegister(0, 0x21), Handshake::Ack);  // automatic RTS
        const size_t stop = variant < 2 ? 192 : 448;
        const size_t resume = variant < 2 ? 32 : 64;
        const std::vector<uint8_t> data = Iota(2000);
        peer.Send(data);
        sim_.RunFor(100 * kMillisecond);
        EXPECT_FALSE(chip.RtsLine());
        EXPECT_FALSE(peer.ChipRts());
        EXPECT_TRUE(chip.ReceiveHold());
        EXPECT_EQ(chip.ReceiveFifoLevel(), stop) << "no character began after RTS fell";
        EXPECT_EQ(chip.Counters().overruns, 0u);
        EXPECT_EQ(peer.BytesSent(), stop);
        EXPECT_TRUE(peer.Held());

        std::vector<uint8_t> got = Drain(chip, stop - resume - 1);
        sim_.RunFor(10 * kMillisecond);
        EXPECT_FALSE(chip.RtsLine()) << "one above the resume level";
        const std::vector<uint8_t> one = Drain(chip, 1);
        got.insert(got.end(), one.begin(), one.end());
        EXPECT_TRUE(chip.RtsLine()) << "at the resume level";
        // Read on as a host would until everything is there.
        for (int i = 0; i < 400 && got.size() < data.size(); ++i) {
            const std::vector<uint8_t> more = Drain(chip);
            got.insert(got.end(), more.begin(), more.end());
            sim_.RunFor(kMillisecond);
        }
        EXPECT_EQ(got, data) << variant;
        EXPECT_EQ(chip.Counters().overruns, 0u);
        EXPECT_EQ(chip.Counters().charactersReceived, data.size());
    }
}

TEST_F(ChipFlowControl, TheHostsRtsIsIgnoredWhileTheChipDrivesIt) {
    sim::BridgeChip chip(2);
    ChipHost host{chip};
    host.Configure();
    sim::ScriptedPeer peer(chip, Peer(9600));
    ASSERT_EQ(host.Out(0x21, 0x22, 0x01, 0), Handshake::Ack);  // DTR on, RTS off
    EXPECT_FALSE(peer.ChipRts());
    EXPECT_TRUE(peer.ChipDtr());
    ASSERT_EQ(host.WriteRegister(0, 0x21), Handshake::Ack);
    EXPECT_TRUE(peer.ChipRts()) << "automatic RTS: on while the FIFO has room";
    ASSERT_EQ(host.Out(0x21, 0x22, 0x00, 0), Handshake::Ack);
    EXPECT_TRUE(peer.ChipRts());
    EXPECT_FALSE(peer.ChipDtr());
    ASSERT_EQ(host.WriteRegister(0, 0x01), Handshake::Ack);
    EXPECT_FALSE(peer.ChipRts()) << "handed back: the host's request again";
}

TEST_F(ChipFlowControl, CtsGatesTheTransmitterBetweenCharacters) {
    sim::BridgeChip chip(2);
    ChipHost host{chip};
    host.Configure();
    ASSERT_EQ(host.SetLineCoding(9600, 0, 0, 8), Handshake::Ack);
    ASSERT_EQ(host.WriteRegister(0, 0x41), Handshake::Ack);  // transmitter gated by CTS
    sim::ScriptedPeer peer(chip, Peer(9600));
    const std::vector<uint8_t> data = Iota(100);
    const Ticks start = sim_.Now();
    ASSERT_EQ(Write(chip, data), data.size());
    // CTS falls 20.5 characters in, in the middle of the 21st; it rises 30 ms later.
    const Ticks off = start + 20 * 10417 + 5000;
    const Ticks on = off + 30 * kMillisecond;
    peer.SetLinesAt(off, {false, true, true, false});
    peer.SetLinesAt(on, {true, true, true, false});
    sim_.RunFor(300 * kMillisecond);
    EXPECT_EQ(peer.ReceivedBytes(), data) << "every byte once, in order";
    const auto& received = peer.Received();
    ASSERT_EQ(received.size(), data.size());
    // The 21st character finishes; the 22nd begins only when CTS is back.
    EXPECT_LT(received[20].AtTick(), off + 10417);
    const Ticks begun22 = received[21].AtTick() - 9896;
    EXPECT_GE(begun22, on);
    EXPECT_LE(begun22, on + 1);
    EXPECT_EQ(received[99].at - received[21].at, 78 * 1041666667LL) << "back to back again";
}

TEST_F(ChipFlowControl, DsrGatesAndAutomaticDtrHoldsAPeerOnTheVariantsWithTheHandshakePair) {
    sim::BridgeChip chip(3);
    ChipHost host{chip};
    host.Configure();
    ASSERT_EQ(host.SetLineCoding(115200, 0, 0, 8), Handshake::Ack);
    // What the driver writes for the DSR/DTR handshake without CTS flow.
    ASSERT_EQ(host.WriteRegister(1, 0x05), Handshake::Ack);
    ASSERT_EQ(host.WriteRegister(0, 0x49), Handshake::Ack);
    const sim::FlowControl flow = chip.DecodedFlowControl();
    ASSERT_TRUE(flow.transmitGatedByDsr && flow.dtrFollowsReceiveLevel);
    sim::PeerOptions options = Peer(115200);
    options.obeyDtr = true;
    options.lines = {true, false, true, false};  // DSR off: the chip may not send
    sim::ScriptedPeer peer(chip, options);
    ASSERT_EQ(Write(chip, {'x', 'y'}), 2u);
    sim_.RunFor(5 * kMillisecond);
    EXPECT_TRUE(peer.Received().empty());
    peer.SetLines({true, true, true, false});
    sim_.RunFor(5 * kMillisecond);
    EXPECT_EQ(peer.ReceivedBytes(), (std::vector<uint8_t>{'x', 'y'}));

    EXPECT_TRUE(peer.ChipDtr());
    peer.Send(Iota(600));
    sim_.RunFor(100 * kMillisecond);
    EXPECT_FALSE(peer.ChipDtr()) << "DTR falls at the stop level";
    EXPECT_EQ(chip.ReceiveFifoLevel(), 448u);
    EXPECT_EQ(chip.Counters().overruns, 0u);
    Drain(chip);
    sim_.RunFor(100 * kMillisecond);
    EXPECT_TRUE(peer.ChipDtr());
    EXPECT_EQ(chip.ReceiveFifoLevel(), 600u - 448u);
}

TEST_F(ChipFlowControl, XonXoffBothWays) {
    sim::BridgeChip chip(2);
    ChipHost host{chip};
    host.Configure();
    ASSERT_EQ(host.SetLineCoding(115200, 0, 0, 8), Handshake::Ack);
    ASSERT_EQ(host.WriteRegister(5, 0x9391), Handshake::Ack);  // XOFF 0x93, XON 0x91
    ASSERT_EQ(host.WriteRegister(0, 0xC1), Handshake::Ack);
    sim::PeerOptions options = Peer(115200);
    options.obeyXonXoff = true;
    options.xonChar = 0x91;
    options.xoffChar = 0x93;
    sim::ScriptedPeer peer(chip, options);

    // The peer's XOFF holds the chip's transmitter; its XON lets it go. Neither
    // reaches the host.
    peer.Send({'a', 0x93, 'b'});
    sim_.RunFor(2 * kMillisecond);
    ASSERT_TRUE(chip.XoffReceived());
    ASSERT_EQ(Write(chip, {'1', '2', '3'}), 3u);
    sim_.RunFor(10 * kMillisecond);
    EXPECT_TRUE(peer.ReceivedBytes().empty());
    peer.Send({0x91});
    sim_.RunFor(10 * kMillisecond);
    EXPECT_FALSE(chip.XoffReceived());
    EXPECT_EQ(peer.ReceivedBytes(), (std::vector<uint8_t>{'1', '2', '3'}));
    EXPECT_EQ(Drain(chip), (std::vector<uint8_t>{'a', 'b'}));
    peer.ClearReceived();

    // Its own FIFO at the stop level, the chip sends XOFF, then XON at the resume level.
    std::vector<uint8_t> data = Iota(1500);
    for (uint8_t& b : data) {
        if (b == 0x91 || b == 0x93)
            b = 0x20;
    }
    peer.Send(data);
    sim_.RunFor(200 * kMillisecond);
    EXPECT_EQ(peer.ReceivedBytes(), std::vector<uint8_t>{0x93});
    EXPECT_EQ(chip.Counters().overruns, 0u);
    EXPECT_GE(chip.ReceiveFifoLevel(), 448u);
    EXPECT_LE(chip.ReceiveFifoLevel(), 449u) << "at most the character under way when XOFF went";
    std::vector<uint8_t> got;
    for (int i = 0; i < 400 && got.size() < data.size(); ++i) {
        const std::vector<uint8_t> more = Drain(chip);
        got.insert(got.end(), more.begin(), more.end());
        sim_.RunFor(kMillisecond);
    }
    EXPECT_EQ(got, data);
    const std::vector<uint8_t> flow = peer.ReceivedBytes();
    ASSERT_GE(flow.size(), 2u);
    EXPECT_EQ(flow[0], 0x93);
    EXPECT_EQ(flow[1], 0x91);
    EXPECT_EQ(chip.Counters().xoffSent, chip.Counters().xonSent);
    EXPECT_EQ(chip.Counters().overruns, 0u);
}

// --- lines and line settings on the wire -----------------------------------------------------

class ChipLines : public ChipUartTest {};

TEST_F(ChipLines, ControlLinesAndBreakReachTheFarEnd) {
    sim::BridgeChip chip(2);
    ChipHost host{chip};
    host.Configure();
    ASSERT_EQ(host.SetLineCoding(9600, 0, 0, 8), Handshake::Ack);
    sim::ScriptedPeer peer(chip, Peer(9600));
    EXPECT_FALSE(peer.ChipDtr() || peer.ChipRts());
    ASSERT_EQ(host.Out(0x21, 0x22, 0x03, 0), Handshake::Ack);
    EXPECT_TRUE(peer.ChipDtr() && peer.ChipRts());
    ASSERT_EQ(host.Out(0x21, 0x22, 0x02, 0), Handshake::Ack);
    EXPECT_FALSE(peer.ChipDtr());
    EXPECT_TRUE(peer.ChipRts());

    // Break until cleared: the far end sees one break; data afterwards is clean.
    ASSERT_EQ(Write(chip, {'a'}), 1u);
    ASSERT_EQ(host.Out(0x21, 0x23, 0xFFFF, 0), Handshake::Ack);
    ASSERT_EQ(Write(chip, {'b'}), 1u);
    sim_.RunFor(30 * kMillisecond);
    EXPECT_EQ(peer.ReceivedBytes(), std::vector<uint8_t>{'a'}) << "the break holds the data";
    ASSERT_EQ(host.Out(0x21, 0x23, 0, 0), Handshake::Ack);
    sim_.RunFor(10 * kMillisecond);
    const auto& received = peer.Received();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_TRUE(received[1].breakCondition);
    EXPECT_EQ(received[2].value, 'b');
    EXPECT_FALSE(received[2].framingError);

    // A break of 10 ms.
    peer.ClearReceived();
    const Ticks start = sim_.Now();
    ASSERT_EQ(host.Out(0x21, 0x23, 10, 0), Handshake::Ack);
    ASSERT_EQ(Write(chip, {'c'}), 1u);
    sim_.RunFor(20 * kMillisecond);
    ASSERT_EQ(peer.Received().size(), 2u);
    EXPECT_TRUE(peer.Received()[0].breakCondition);
    EXPECT_EQ(peer.Received()[1].value, 'c');
    EXPECT_GE(peer.Received()[1].AtTick(), start + 10 * kMillisecond);
}

TEST_F(ChipLines, ANewLineCodingAppliesFromTheNextCharacter) {
    sim::BridgeChip chip(2);
    ChipHost host{chip};
    host.Configure();
    ASSERT_EQ(host.SetLineCoding(9600, 0, 0, 8), Handshake::Ack);
    sim::ScriptedPeer peer(chip, Peer(9600));
    peer.Send({'o', 'k'});
    sim_.RunFor(5 * kMillisecond);
    ASSERT_EQ(host.SetLineCoding(19200, 0, 0, 8), Handshake::Ack);
    peer.Send({0x55});
    sim_.RunFor(5 * kMillisecond);
    EXPECT_EQ(Drain(chip), (std::vector<uint8_t>{'o', 'k', 0x66, 0xE6}));
    ASSERT_EQ(host.SetLineCoding(9600, 0, 0, 8), Handshake::Ack);
    peer.SetFormat(CharacterFormat::Plain(9600));
    peer.Send({'o', 'k'});
    ASSERT_EQ(Write(chip, {'!'}), 1u);
    sim_.RunFor(5 * kMillisecond);
    EXPECT_EQ(Drain(chip), (std::vector<uint8_t>{'o', 'k'}));
    EXPECT_EQ(peer.ReceivedBytes(), std::vector<uint8_t>{'!'});

    // The UART switched off (register 0 bit 0 clear) neither sends nor samples.
    ASSERT_EQ(host.WriteRegister(0, 0x00), Handshake::Ack);
    peer.Send({'x'});
    ASSERT_EQ(Write(chip, {'y'}), 1u);
    sim_.RunFor(5 * kMillisecond);
    EXPECT_EQ(chip.ReceiveFifoLevel(), 0u);
    EXPECT_EQ(peer.ReceivedBytes(), std::vector<uint8_t>{'!'});
    EXPECT_EQ(chip.TransmitFifoLevel(), 1u);
}

}  // namespace
