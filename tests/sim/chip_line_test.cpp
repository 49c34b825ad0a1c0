// The chip model's line: line coding with plain rates and rate codes (every code of
// the driver's baud table), control lines, break, the comm feature, and the record
// of what the driver sent.
#include "tests/sim/chip_test_host.h"
#include "tests/support/sim_fixture.h"

#include <cmath>
#include <vector>

namespace {

using chiptest::ChipHost;
using sim::Handshake;
using sim::kMillisecond;

class ChipLine : public simtest::SimTest {};

struct RateRow {
    uint32_t baud;
    uint32_t code;
};

// The driver's baud table without its terminator.
const RateRow kBaudTable[] = {
    {6000000, 0x80000040}, {3000000, 0x80000080}, {2457600, 0x8000009C}, {1228800, 0x8000024E},
    {921600, 0x80000268},  {812500, 0x80000276},  {806400, 0x80000277},  {614400, 0x8000029C},
    {460800, 0x800002D0},  {406250, 0x800002EC},  {403200, 0x800002EE},  {268800, 0x80000459},
    {230400, 0x80000468},  {201600, 0x80000477},  {161280, 0x80000494},  {134400, 0x800004B2},
    {128000, 0x800004BB},  {115200, 0x800004D0},  {57600, 0x80000668},   {38400, 0x8000069C},
    {28800, 0x800006D0},   {19200, 0x8000084E},   {14400, 0x80000868},   {9600, 0x8000089C},
    {7200, 0x800008D0},    {4800, 0x80000A4E},    {3600, 0x80000A68},    {2400, 0x80000A9C},
    {1800, 0x80000AD0},    {1200, 0x80000C4E},    {600, 0x80000C9C},     {300, 0x80000E4E},
    {150, 0x80000E9C},     {75, 0x80000F38},
};

TEST_F(ChipLine, EveryBaudTableCodeDecodesToItsNominalRate) {
    static_assert(sizeof kBaudTable / sizeof kBaudTable[0] == 34, "34 rows besides the end");
    for (int variant = 2; variant < sim::BridgeChip::kVariantCount; ++variant) {
        sim::BridgeChip chip(variant);
        ChipHost host{chip};
        std::vector<uint32_t> beyondHalfPercent;
        for (const RateRow& row : kBaudTable) {
            ASSERT_EQ(host.SetLineCoding(row.code, 0, 0, 8), Handshake::Ack) << row.baud;
            const sim::LineSettings& line = chip.Line();
            EXPECT_TRUE(line.RateIsCode());
            EXPECT_EQ(line.rateField, row.code);
            const double error = std::fabs(line.baud.Value() - row.baud) / row.baud;
            EXPECT_LT(error, 0.006) << row.baud << " decoded as " << line.baud.Value();
            if (error >= 0.005)
                beyondHalfPercent.push_back(row.baud);
        }
        // The table's code for 161,280 divides by 2368 and runs 0.55 % fast (2384 would
        // have been 0.13 % slow). Both ends of a link get the same code, and a UART
        // frame tolerates far more, so the model keeps the generator's true rate.
        EXPECT_EQ(beyondHalfPercent, std::vector<uint32_t>{161280});
    }
    sim::BaudRate top;
    ASSERT_TRUE(sim::DecodeRateField(0x80000040, &top));
    EXPECT_EQ(top.numerator, 6000000u);
    EXPECT_EQ(top.denominator, 1u);
    sim::BaudRate slow;
    ASSERT_TRUE(sim::DecodeRateField(0x80000F38, &slow));
    EXPECT_EQ(slow.numerator * 312 * 16384, 384000000u * slow.denominator)
        << "kept as an exact fraction";
    EXPECT_FALSE(sim::DecodeRateField(0x80000E00, &slow)) << "a zero mantissa is no rate";
}

TEST_F(ChipLine, PlainRatesAndFramingAreTakenAsSentAndReadBack) {
    for (int variant = 0; variant < sim::BridgeChip::kVariantCount; ++variant) {
        sim::BridgeChip chip(variant);
        ChipHost host{chip};
        ASSERT_EQ(host.SetLineCoding(115200, 2, 2, 7), Handshake::Ack);
        const sim::LineSettings& line = chip.Line();
        EXPECT_FALSE(line.RateIsCode());
        EXPECT_EQ(line.baud.numerator, 115200u);
        EXPECT_EQ(line.baud.denominator, 1u);
        EXPECT_EQ(line.stopBits, 2);
        EXPECT_EQ(line.parity, 2);
        EXPECT_EQ(line.dataBits, 7);
        EXPECT_EQ(host.In(0xA1, 0x21, 0, 0, 7),
                  (std::vector<uint8_t>{0x00, 0xC2, 0x01, 0x00, 2, 2, 7}));
        EXPECT_EQ(host.In(0xA1, 0x21, 0, 0, 4), (std::vector<uint8_t>{0x00, 0xC2, 0x01, 0x00}))
            << "cut to wLength";
        // Five data bits with one and a half stop bits, mark parity.
        ASSERT_EQ(host.SetLineCoding(6000000, 1, 3, 5), Handshake::Ack);
        EXPECT_EQ(chip.Line().baud.numerator, 6000000u) << "plain 6,000,000 on every variant";
        ASSERT_EQ(host.SetLineCoding(0, 0, 0, 8), Handshake::Ack);
        EXPECT_TRUE(chip.Line().baud.IsZero()) << "rate 0: no rate";
    }
}

TEST_F(ChipLine, LineCodingTheChipCannotHonourIsStalledAndChangesNothing) {
    sim::BridgeChip older(1);
    ChipHost olderHost{older};
    olderHost.SetLineCoding(9600, 0, 0, 8);
    EXPECT_EQ(olderHost.SetLineCoding(0x8000089C, 0, 0, 8), Handshake::Stall)
        << "the older chips take plain rates only";
    EXPECT_EQ(older.Line().rateField, 9600u);

    sim::BridgeChip chip(3);
    ChipHost host{chip};
    host.SetLineCoding(19200, 0, 1, 8);
    EXPECT_EQ(host.SetLineCoding(0x80000E00, 0, 0, 8), Handshake::Stall);
    EXPECT_EQ(host.SetLineCoding(9600, 3, 0, 8), Handshake::Stall);
    EXPECT_EQ(host.SetLineCoding(9600, 0, 5, 8), Handshake::Stall);
    EXPECT_EQ(host.SetLineCoding(9600, 0, 0, 4), Handshake::Stall);
    EXPECT_EQ(host.SetLineCoding(9600, 0, 0, 9), Handshake::Stall);
    EXPECT_EQ(host.Out(0x21, 0x20, 0, 0, {0x80, 0x25, 0, 0, 0, 0}), Handshake::Stall)
        << "six bytes";
    EXPECT_EQ(host.Out(0x21, 0x20, 0, 1, {0x80, 0x25, 0, 0, 0, 0, 8}), Handshake::Stall)
        << "interface 1";
    EXPECT_EQ(host.Out(0x22, 0x20, 0, 0, {0x80, 0x25, 0, 0, 0, 0, 8}), Handshake::Stall)
        << "endpoint recipient";
    EXPECT_EQ(chip.Line().rateField, 19200u);
    EXPECT_EQ(chip.Line().parity, 1);
}

TEST_F(ChipLine, ControlLinesFollowEachRequest) {
    sim::BridgeChip chip(0);
    ChipHost host{chip};
    int changes = 0;
    chip.OnSettingChanged(
        [&](sim::ChipSetting s) { changes += s == sim::ChipSetting::ControlLines; });
    EXPECT_FALSE(chip.Lines().dtr || chip.Lines().rts) << "both low at power-on";
    for (uint16_t state : {1, 3, 2, 0}) {
        ASSERT_EQ(host.Out(0x21, 0x22, state, 0), Handshake::Ack);
        EXPECT_EQ(chip.Lines().dtr, (state & 1) != 0) << state;
        EXPECT_EQ(chip.Lines().rts, (state & 2) != 0) << state;
    }
    EXPECT_EQ(changes, 4);
    EXPECT_EQ(host.Out(0x21, 0x22, 3, 0, {0}), Handshake::Stall) << "no data stage";
    EXPECT_FALSE(chip.Lines().dtr);
}

TEST_F(ChipLine, BreakHoldsUntilClearedOrForItsTime) {
    sim::BridgeChip chip(2);
    ChipHost host{chip};
    ASSERT_EQ(host.Out(0x21, 0x23, 0xFFFF, 0), Handshake::Ack);
    EXPECT_TRUE(chip.BreakOn());
    sim_.RunFor(10 * sim::kSecond);
    EXPECT_TRUE(chip.BreakOn()) << "0xFFFF holds until switched off";
    ASSERT_EQ(host.Out(0x21, 0x23, 0, 0), Handshake::Ack);
    EXPECT_FALSE(chip.BreakOn());

    ASSERT_EQ(host.Out(0x21, 0x23, 50, 0), Handshake::Ack);
    EXPECT_TRUE(chip.BreakOn());
    sim_.RunFor(50 * kMillisecond - 1);
    EXPECT_TRUE(chip.BreakOn());
    sim_.RunFor(1);
    EXPECT_FALSE(chip.BreakOn()) << "a timed break ends by itself";

    // A new request replaces a timed break's end.
    host.Out(0x21, 0x23, 20, 0);
    host.Out(0x21, 0x23, 0xFFFF, 0);
    sim_.RunFor(30 * kMillisecond);
    EXPECT_TRUE(chip.BreakOn());
}

TEST_F(ChipLine, CommFeatureIsSetReadAndCleared) {
    sim::BridgeChip chip(4);
    ChipHost host{chip};
    ASSERT_EQ(host.Out(0x21, 0x02, 1, 0, {0x34, 0x12}), Handshake::Ack);
    EXPECT_EQ(chip.CommFeature(), 0x1234);
    EXPECT_EQ(host.In(0xA1, 0x03, 1, 0, 2), (std::vector<uint8_t>{0x34, 0x12}));
    EXPECT_EQ(host.Out(0x21, 0x02, 2, 0, {1, 0}), Handshake::Stall) << "only the abstract state";
    EXPECT_EQ(host.Out(0x21, 0x02, 1, 0, {1}), Handshake::Stall) << "two data bytes";
    EXPECT_EQ(chip.CommFeature(), 0x1234);
    ASSERT_EQ(host.Out(0x21, 0x04, 1, 0), Handshake::Ack);
    EXPECT_EQ(chip.CommFeature(), 0);
    EXPECT_EQ(host.Out(0x21, 0x7F, 0, 0), Handshake::Stall) << "unknown class request";
}

TEST_F(ChipLine, TheLogKeepsChipRequestsInOrderWithTheirTimes) {
    sim::BridgeChip chip(2);
    ChipHost host{chip};
    host.Descriptor(1, 0, 18);
    host.SetLineCoding(0x800004D0, 0, 0, 8);
    sim_.RunFor(3 * kMillisecond);
    host.WriteRegister(0x0B, 0x0002);
    host.Out(0x40, 1, 0x0A0A, 0);  // refused, and logged as such
    auto requests = chip.ChipRequests();
    ASSERT_EQ(requests.size(), 3u) << "the descriptor read is not a chip request";
    EXPECT_EQ(requests[0].setup.bRequest, 0x20);
    EXPECT_EQ(requests[0].data, (std::vector<uint8_t>{0xD0, 0x04, 0x00, 0x80, 0, 0, 8}));
    EXPECT_EQ(requests[0].time, 0);
    EXPECT_EQ(requests[1].setup.wValue, 0x0B0B);
    EXPECT_EQ(requests[1].setup.wIndex, 0x0002);
    EXPECT_EQ(requests[1].time, 3 * kMillisecond);
    EXPECT_EQ(requests[2].result, Handshake::Stall);
    EXPECT_EQ(chip.ControlLog().size(), 4u);
    EXPECT_EQ(chip.Register(0x0B), 0x0002);
}

}  // namespace
