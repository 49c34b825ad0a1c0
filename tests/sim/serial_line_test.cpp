// Bits on the wire: a scripted peer sends with its own rate and framing and the
// chip's receiver samples at its own, so matching ends deliver each byte at the
// middle of its stop bit, small rate differences are absorbed, and mismatched
// framing garbles data, raises parity and framing errors and detects breaks the
// way a UART does. The expected values below are worked out by hand from the bit
// patterns, not from the model.
#include "tests/sim/chip_test_host.h"
#include "tests/support/sim_fixture.h"

#include <sim/serial_wires.h>

#include <vector>

namespace {

using chiptest::ChipHost;
using sim::CharacterFormat;
using sim::kMicrosecond;
using sim::kMillisecond;

class SerialLine : public simtest::SimTest {
  protected:
    // A configured variant-2 chip whose receiver runs at `rate` with `parity`
    // and `dataBits`.
    void Chip(uint32_t rate, uint8_t parity = 0, uint8_t dataBits = 8, uint8_t stop = 0) {
        host.Configure();
        ASSERT_EQ(host.SetLineCoding(rate, stop, parity, dataBits), sim::Handshake::Ack);
    }
    std::vector<uint8_t> Drain() { return chiptest::Drain(chip); }

    sim::BridgeChip chip{2};
    ChipHost host{chip};
};

TEST_F(SerialLine, MatchingEndsDeliverEachByteAtTheMiddleOfItsStopBit) {
    Chip(9600);
    sim::PeerOptions options;
    options.format = CharacterFormat::Plain(9600);
    sim::ScriptedPeer peer(chip, options);
    const sim::Ticks start = sim_.Now() + kMillisecond;
    peer.SendAt(start, {'A', 'B'});
    // 8N1 at 9600: 104.1667 us a bit; the stop bit's middle is 9.5 bits in,
    // 989.583 us, and the second character follows 10 bits after the first.
    sim_.RunFor(start + 9895 - sim_.Now());
    EXPECT_EQ(chip.ReceiveFifoLevel(), 0u) << "989.5 us: still sampling the stop bit";
    sim_.RunFor(1);
    EXPECT_EQ(chip.ReceiveFifoLevel(), 1u) << "989.6 us: taken";
    sim_.RunFor(10417 - 1);
    EXPECT_EQ(chip.ReceiveFifoLevel(), 1u);
    sim_.RunFor(1);
    EXPECT_EQ(chip.ReceiveFifoLevel(), 2u) << "2031.25 us";
    EXPECT_EQ(Drain(), (std::vector<uint8_t>{'A', 'B'}));
    const sim::UartCounters c = chip.Counters();
    EXPECT_EQ(c.charactersReceived, 2u);
    EXPECT_EQ(c.parityErrors + c.framingErrors + c.breaks + c.overruns, 0u);
}

TEST_F(SerialLine, RatesWithinTheSamplingMarginAreReadIntactAndFurtherOffAreNot) {
    // 921,600 sent plain into the chip's rate code for it (923,077 baud) is 0.16 %
    // apart; 9,800 into 9,600 is 2.1 %: the stop bit's sample still falls inside
    // the sender's stop bit. At 6.25 % off the tenth sample lands a slot late.
    struct Case {
        uint32_t chipRate;
        uint64_t peerRate;
        bool intact;
    } cases[] = {{0x80000268, 921600, true},
                 {9600, 9800, true},
                 {9600, 9400, true},
                 {9600, 10200, false},
                 {9600, 9000, false}};
    const std::vector<uint8_t> bytes = {0x00, 0x7F, 0x80, 0xFF, 0x55, 0xAA, 0x01, 0xFE};
    for (const Case& c : cases) {
        sim::BridgeChip other(2);
        ChipHost otherHost{other};
        otherHost.Configure();
        ASSERT_EQ(otherHost.SetLineCoding(c.chipRate, 0, 0, 8), sim::Handshake::Ack);
        sim::PeerOptions options;
        options.format = CharacterFormat::Plain(c.peerRate);
        sim::ScriptedPeer peer(other, options);
        peer.Send(bytes);
        sim_.RunFor(20 * kMillisecond);
        std::vector<uint8_t> got;
        uint8_t buffer[64];
        size_t n = 0;
        while (other.In(other.BulkInEndpoint(), buffer, sizeof buffer, &n) == sim::Handshake::Ack &&
               n > 0) {
            got.insert(got.end(), buffer, buffer + n);
        }
        const sim::UartCounters counters = other.Counters();
        if (c.intact) {
            EXPECT_EQ(got, bytes) << c.peerRate;
            EXPECT_EQ(counters.framingErrors, 0u) << c.peerRate;
        } else {
            EXPECT_NE(got, bytes) << c.peerRate;
            EXPECT_GT(counters.framingErrors, 0u) << c.peerRate;
        }
    }
}

TEST_F(SerialLine, TwiceTheRateReadsOneCharacterAsTwoGarbledOnes) {
    // 0x55 sent at 9600 8N1 is, in bit times T: space 0-1, then 1,0,1,0,1,0,1,0
    // and the stop bit. Sampled at 19200 (every T/2 from T/4): start 0, data
    // 0,1,1,0,0,1,1,0 = 0x66 and a stop sample at 4.75 T in a space bit, a
    // framing error. The next fall, at 6 T, starts a second character: data
    // 0,1,1,0,0,1,1,1 = 0xE6, the last bits read from the stop bit and idle.
    Chip(19200);
    sim::PeerOptions options;
    options.format = CharacterFormat::Plain(9600);
    sim::ScriptedPeer peer(chip, options);
    peer.Send({0x55});
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(Drain(), (std::vector<uint8_t>{0x66, 0xE6}));
    EXPECT_EQ(chip.Counters().framingErrors, 1u);
    EXPECT_EQ(chip.Counters().charactersReceived, 2u);
}

TEST_F(SerialLine, OtherParityIsAParityErrorAndADataBitWhereTheStopBitShouldBeIsAFramingError) {
    Chip(9600, /*odd*/ 1);
    sim::PeerOptions options;
    options.format = CharacterFormat::Plain(9600, 8, /*even*/ 2);
    sim::ScriptedPeer peer(chip, options);
    // Even parity bits where odd ones are expected: every byte fails its check,
    // and arrives as sent.
    peer.Send({0x41, 0x00, 0xFF});
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(Drain(), (std::vector<uint8_t>{0x41, 0x00, 0xFF}));
    EXPECT_EQ(chip.Counters().parityErrors, 3u);
    EXPECT_EQ(chip.Counters().framingErrors, 0u);

    // A receiver without parity samples its stop bit where the sender put a
    // parity bit: a space parity bit is a framing error, the data bits are right.
    ASSERT_EQ(host.SetLineCoding(9600, 0, 0, 8), sim::Handshake::Ack);
    peer.SendWithFormat(CharacterFormat::Plain(9600, 8, /*space*/ 4), {0x41, 0x42});
    peer.SendWithFormat(CharacterFormat::Plain(9600, 8, /*mark*/ 3), {0x43});
    sim_.RunFor(10 * kMillisecond);
    EXPECT_EQ(Drain(), (std::vector<uint8_t>{0x41, 0x42, 0x43}));
    EXPECT_EQ(chip.Counters().framingErrors, 2u);
    EXPECT_EQ(chip.Counters().parityErrors, 3u) << "no new parity errors without parity";
}

TEST_F(SerialLine, BreakIsSpaceLongerThanAFrameAndTheReceiverRecoversAfterIt) {
    Chip(9600);
    sim::PeerOptions options;
    options.format = CharacterFormat::Plain(9600);
    sim::ScriptedPeer peer(chip, options);
    peer.Send({'a'});
    peer.Break(5 * kMillisecond);
    peer.Send({'b'});
    // Ten bits of space followed by mark are a zero with a framing error, not a
    // break: 0x00 with a space parity bit, read without parity.
    peer.SendWithFormat(CharacterFormat::Plain(9600, 8, 4), {0x00});
    peer.Send({'c'});
    sim_.RunFor(20 * kMillisecond);
    EXPECT_EQ(Drain(), (std::vector<uint8_t>{'a', 'b', 0x00, 'c'})) << "a break puts no byte";
    const sim::UartCounters c = chip.Counters();
    EXPECT_EQ(c.breaks, 1u);
    EXPECT_EQ(c.framingErrors, 1u);
    EXPECT_EQ(c.charactersReceived, 4u);
}

TEST_F(SerialLine, FramingsOtherThanEightBitsAndOneStopBitTravelWhole) {
    // 7 data bits with even parity, 5 bits with 1.5 stop bits, 8 bits with two
    // stop bits into a receiver that checks only the first.
    struct Case {
        CharacterFormat sent;
        uint8_t parity, dataBits, stopBits;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {CharacterFormat::Plain(19200, 7, 2), 2, 7, 0, {'H', 'i', 0x7F, 0x00}},
        {CharacterFormat::Plain(19200, 5, 0, 1), 0, 5, 1, {0x1F, 0x15, 0x00}},
        {CharacterFormat::Plain(19200, 8, 0, 2), 0, 8, 0, {0xC3, 0x3C}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(host.SetLineCoding(19200, c.stopBits, c.parity, c.dataBits), sim::Handshake::Ack);
        sim::PeerOptions options;
        options.format = c.sent;
        sim::ScriptedPeer peer(chip, options);
        host.Configure();
        peer.Send(c.bytes);
        sim_.RunFor(10 * kMillisecond);
        EXPECT_EQ(Drain(), c.bytes) << int(c.dataBits);
    }
    EXPECT_EQ(chip.Counters().parityErrors + chip.Counters().framingErrors, 0u);
}

}  // namespace
