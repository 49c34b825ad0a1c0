// What plugs into the chip's serial connector: the loopback plug with each of its
// line connections, the null-modem cable between two chips, and the scripted
// peer's script steps and flow-control obedience.
#include "tests/sim/chip_test_host.h"
#include "tests/support/sim_fixture.h"

#include <sim/serial_wires.h>

#include <vector>

namespace {

using chiptest::ChipHost;
using chiptest::Drain;
using chiptest::StatusWords;
using chiptest::Write;
using sim::CharacterFormat;
using sim::Handshake;
using sim::kMillisecond;
using sim::Ticks;

constexpr uint16_t kCts = 0x80, kDsr = 0x02, kDcd = 0x01, kRing = 0x08;

std::vector<uint8_t> Iota(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 29 + i / 256);
    return v;
}

class Wires : public simtest::SimTest {
  protected:
    // Writes all of `data` into `from` and reads `to` every millisecond until it has
    // arrived (or `limit` passes).
    std::vector<uint8_t> Carry(sim::BridgeChip& from, sim::BridgeChip& to,
                               const std::vector<uint8_t>& data, Ticks limit = sim::kSecond) {
        std::vector<uint8_t> got;
        size_t written = 0;
        const Ticks end = sim_.Now() + limit;
        while (got.size() < data.size() && sim_.Now() < end) {
            written += Write(from, data, written);
            const std::vector<uint8_t> more = Drain(to);
            got.insert(got.end(), more.begin(), more.end());
            sim_.RunFor(kMillisecond);
        }
        return got;
    }
};

// --- loopback plug --------------------------------------------------------------------

class LoopbackPlug : public Wires {};

TEST_F(LoopbackPlug, DataAndEachLineComeBackAsWired) {
    sim::BridgeChip chip(2);
    ChipHost host{chip};
    host.Configure();
    ASSERT_EQ(host.SetLineCoding(115200, 0, 0, 8), Handshake::Ack);
    sim::LoopbackPlug plug(chip);
    EXPECT_TRUE(chip.Plugged());
    EXPECT_EQ(Carry(chip, chip, {'e', 'c', 'h', 'o'}), (std::vector<uint8_t>{'e', 'c', 'h', 'o'}));

    ASSERT_EQ(host.Out(0x21, 0x22, 0x01, 0), Handshake::Ack);  // DTR
    EXPECT_EQ(chip.Inputs(), (sim::ModemInputs{false, true, true, true}));
    ASSERT_EQ(host.Out(0x21, 0x22, 0x03, 0), Handshake::Ack);  // and RTS
    EXPECT_EQ(StatusWords(chip),
              (std::vector<uint16_t>{kDsr | kDcd | kRing, kCts | kDsr | kDcd | kRing}));

    sim::LoopbackWiring wiring;
    wiring.rtsToCts = false;
    wiring.dtrToRi = false;
    plug.Rewire(wiring);
    EXPECT_EQ(StatusWords(chip), std::vector<uint16_t>{kDsr | kDcd});
    wiring.dtrToDsr = false;
    wiring.dtrToDcd = false;
    wiring.data = false;
    plug.Rewire(wiring);
    EXPECT_EQ(chip.Inputs(), sim::ModemInputs{});
    ASSERT_EQ(Write(chip, {'x'}), 1u);
    sim_.RunFor(5 * kMillisecond);
    EXPECT_TRUE(Drain(chip).empty()) << "TXD no longer reaches RXD";
    EXPECT_EQ(chip.Counters().bytesTransmitted, 5u) << "it still went out";
}

TEST_F(LoopbackPlug, TheChipHoldsItselfThroughThePlugAndLosesNothing) {
    // Automatic RTS and the CTS gate, RTS looped to CTS: when the receive FIFO
    // reaches its stop level the transmitter waits until the host has read.
    sim::BridgeChip chip(2);
    ChipHost host{chip};
    host.Configure();
    ASSERT_EQ(host.SetLineCoding(0x80000268, 0, 0, 8), Handshake::Ack);  // 921,600
    ASSERT_EQ(host.WriteRegister(0, 0x61), Handshake::Ack);
    sim::LoopbackPlug plug(chip);
    const std::vector<uint8_t> data = Iota(3000);
    size_t written = 0;
    for (int i = 0; i < 20; ++i) {
        written += Write(chip, data, written);
        sim_.RunFor(kMillisecond);
    }
    EXPECT_EQ(chip.ReceiveFifoLevel(), 448u) << "nobody reads: held at the stop level";
    EXPECT_FALSE(chip.RtsLine());
    EXPECT_FALSE(chip.Inputs().cts);
    std::vector<uint8_t> got;
    for (int i = 0; i < 200 && got.size() < data.size(); ++i) {
        written += Write(chip, data, written);
        const std::vector<uint8_t> more = Drain(chip);
        got.insert(got.end(), more.begin(), more.end());
        sim_.RunFor(kMillisecond);
    }
    EXPECT_EQ(got, data);
    EXPECT_EQ(chip.Counters().overruns, 0u);
}

// --- null-modem cable -----------------------------------------------------------------

class NullModemCable : public Wires {
  protected:
    void SetUp() override {
        hostA.Configure();
        hostB.Configure();
    }
    sim::BridgeChip a{2};
    sim::BridgeChip b{4};
    ChipHost hostA{a};
    ChipHost hostB{b};
};

TEST_F(NullModemCable, EachSideHearsTheOtherAndSeesItsOutputsAsInputs) {
    ASSERT_EQ(hostA.SetLineCoding(57600, 0, 2, 7), Handshake::Ack);
    ASSERT_EQ(hostB.SetLineCoding(57600, 0, 2, 7), Handshake::Ack);
    sim::NullModemCable cable(a, b);
    EXPECT_EQ(Carry(a, b, {'p', 'i', 'n', 'g'}), (std::vector<uint8_t>{'p', 'i', 'n', 'g'}));
    EXPECT_EQ(Carry(b, a, {'p', 'o', 'n', 'g'}), (std::vector<uint8_t>{'p', 'o', 'n', 'g'}));
    EXPECT_TRUE(Drain(a).empty() && Drain(b).empty()) << "no echo of one's own data";

    ASSERT_EQ(hostA.Out(0x21, 0x22, 0x01, 0), Handshake::Ack);  // A: DTR
    EXPECT_EQ(b.Inputs(), (sim::ModemInputs{false, true, true, false}));
    ASSERT_EQ(hostA.Out(0x21, 0x22, 0x02, 0), Handshake::Ack);  // A: RTS only
    EXPECT_EQ(b.Inputs(), (sim::ModemInputs{true, false, false, false}));
    ASSERT_EQ(hostB.Out(0x21, 0x22, 0x03, 0), Handshake::Ack);
    EXPECT_EQ(a.Inputs(), (sim::ModemInputs{true, true, true, false}));
    EXPECT_EQ(StatusWords(b), (std::vector<uint16_t>{kDsr | kDcd, kCts}));
    EXPECT_EQ(StatusWords(a), std::vector<uint16_t>{kCts | kDsr | kDcd});
}

TEST_F(NullModemCable, EndsSetDifferentlyGarbleWhatTheyHear) {
    ASSERT_EQ(hostA.SetLineCoding(9600, 0, 0, 8), Handshake::Ack);
    ASSERT_EQ(hostB.SetLineCoding(19200, 0, 0, 8), Handshake::Ack);
    sim::NullModemCable cable(a, b);
    ASSERT_EQ(Write(a, {0x55}), 1u);
    sim_.RunFor(5 * kMillisecond);
    EXPECT_EQ(Drain(b), (std::vector<uint8_t>{0x66, 0xE6}));
    EXPECT_EQ(b.Counters().framingErrors, 1u);
}

TEST_F(NullModemCable, HardwareFlowControlAcrossTheCableLosesNothing) {
    // A sends gated by CTS; B drives RTS from its receive FIFO. Nobody reads B
    // for a while: A must wait, not overrun B.
    ASSERT_EQ(hostA.SetLineCoding(0x80000268, 0, 0, 8), Handshake::Ack);
    ASSERT_EQ(hostB.SetLineCoding(0x80000268, 0, 0, 8), Handshake::Ack);
    ASSERT_EQ(hostA.WriteRegister(0, 0x41), Handshake::Ack);
    ASSERT_EQ(hostB.WriteRegister(0, 0x21), Handshake::Ack);
    sim::NullModemCable cable(a, b);
    const std::vector<uint8_t> data = Iota(5000);
    size_t written = 0;
    for (int i = 0; i < 30; ++i) {
        written += Write(a, data, written);
        sim_.RunFor(kMillisecond);
    }
    EXPECT_EQ(b.ReceiveFifoLevel(), 448u);
    EXPECT_FALSE(a.Inputs().cts);
    std::vector<uint8_t> got;
    for (int i = 0; i < 200 && got.size() < data.size(); ++i) {
        written += Write(a, data, written);
        const std::vector<uint8_t> more = Drain(b);
        got.insert(got.end(), more.begin(), more.end());
        sim_.RunFor(kMillisecond);
    }
    EXPECT_EQ(got, data);
    EXPECT_EQ(b.Counters().overruns, 0u);
}

// --- scripted peer ------------------------------------------------------------------------

class ScriptedPeer : public Wires {};

TEST_F(ScriptedPeer, StepsRunInOrderAtTheirTimes) {
    sim::BridgeChip chip(3);
    ChipHost host{chip};
    host.Configure();
    ASSERT_EQ(host.SetLineCoding(9600, 0, 0, 8), Handshake::Ack);
    std::vector<std::pair<Ticks, uint8_t>> ready;
    chip.SetReadyListener([&](uint8_t ep) { ready.push_back({sim_.Now(), ep}); });
    sim::PeerOptions options;
    options.format = CharacterFormat::Plain(9600);
    options.lines = {};
    sim::ScriptedPeer peer(chip, options);
    uint8_t buffer[64];
    size_t n = 0;
    ASSERT_EQ(chip.In(chip.BulkInEndpoint(), buffer, 64, &n), Handshake::Nak);
    const Ticks t0 = sim_.Now() + 5 * kMillisecond;
    peer.SendAt(t0, {'a'});
    peer.Gap(3 * kMillisecond);
    peer.SetLinesInScript({true, false, false, false});
    peer.Send({'b'});
    EXPECT_EQ(peer.Pending(), 4u);
    sim_.RunFor(4 * kMillisecond);
    EXPECT_TRUE(ready.empty());
    sim_.RunFor(3 * kMillisecond);
    // 'a' ends its stop bit 989.6 us after t0.
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0], (std::pair<Ticks, uint8_t>{t0 + 9896, chip.BulkInEndpoint()}));
    ASSERT_EQ(chip.In(chip.BulkInEndpoint(), buffer, 64, &n), Handshake::Ack);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + n), std::vector<uint8_t>{'a'});
    ASSERT_EQ(chip.In(chip.BulkInEndpoint(), buffer, 64, &n), Handshake::Nak);
    EXPECT_EQ(peer.Pending(), 2u) << "the gap is under way: the line change and 'b' wait";
    sim_.RunFor(10 * kMillisecond);
    EXPECT_TRUE(peer.Done());
    // Its frame ends at 1041.7 us, the gap runs 3 ms, then CTS rises and 'b'
    // begins at once.
    ASSERT_EQ(ready.size(), 3u);
    EXPECT_EQ(ready[1], (std::pair<Ticks, uint8_t>{t0 + 10417 + 30000, chip.StatusEndpoint()}));
    EXPECT_EQ(ready[2],
              (std::pair<Ticks, uint8_t>{t0 + 10417 + 30000 + 9896, chip.BulkInEndpoint()}));
    EXPECT_EQ(StatusWords(chip), std::vector<uint16_t>{kCts});
    EXPECT_EQ(Drain(chip), std::vector<uint8_t>{'b'});
    EXPECT_EQ(peer.BytesSent(), 2u);
    chip.SetReadyListener(nullptr);
}

TEST_F(ScriptedPeer, APeerThatIgnoresFlowControlOverrunsTheChipAndOneThatObeysDoesNot) {
    for (bool obey : {false, true}) {
        sim::BridgeChip chip(2);
        ChipHost host{chip};
        host.Configure();
        ASSERT_EQ(host.SetLineCoding(115200, 0, 0, 8), Handshake::Ack);
        ASSERT_EQ(host.WriteRegister(0, 0x21), Handshake::Ack);
        sim::PeerOptions options;
        options.format = CharacterFormat::Plain(115200);
        options.obeyRts = obey;
        sim::ScriptedPeer peer(chip, options);
        peer.Send(Iota(1000));
        sim_.RunFor(200 * kMillisecond);
        EXPECT_FALSE(chip.RtsLine());
        EXPECT_EQ(chip.Counters().overruns, obey ? 0u : 1000u - 512u);
        EXPECT_EQ(peer.Done(), !obey);
        EXPECT_EQ(peer.Held(), obey);
    }
}

}  // namespace
