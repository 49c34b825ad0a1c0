// Choosing the line coding's rate for a requested baud rate and decoding the
// line-control image: the pure rules.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "usb/usb.h"

namespace {

ULONG RowBaud(ULONG row) {
    return BaudTable[row].Baud;
}
ULONG Chosen(ULONG request) {
    return RowBaud(BaudTableRowFor(request));
}

// The nearest rate, a tie going to the lower one: worked out independently of
// the pairwise midpoints the driver walks.
ULONG NearestByDistance(ULONG request) {
    ULONG best = 0;
    uint64_t bestDistance = UINT64_MAX;
    for (ULONG row = 0; row < kBaudTableRows; ++row) {
        const uint64_t b = RowBaud(row);
        const uint64_t d = b > request ? b - request : request - b;
        // Rows descend, so a later row with the same distance is the lower rate.
        if (d <= bestDistance) {
            bestDistance = d;
            best = RowBaud(row);
        }
    }
    return best;
}

TEST(BaudTable, ExactNearestTiedAndExtremeRequests) {
    struct Case {
        ULONG request, row;
    };
    const Case cases[] = {
        {9600, 23},   {812500, 5},      {806400, 6},                // exact
        {9601, 23},   {9000, 23},       {8401, 23},   {809451, 5},  // nearest
        {8400, 24},   {4500000, 1},     {37, 34},                   // a tie goes to the lower rate
        {7000000, 0}, {0xFFFFFFFFu, 0}, {4500001, 0}, {36, 34},    {20, 34}, {1, 34},  // extremes
    };
    for (const Case& c : cases)
        EXPECT_EQ(BaudTableRowFor(c.request), c.row) << c.request;
}

TEST(BaudTable, EveryRequestGetsTheNearestRateWithTiesDown) {
    std::vector<ULONG> requests;
    for (ULONG row = 0; row + 1 < kBaudTableRows; ++row) {
        const ULONG middle = (RowBaud(row) + RowBaud(row + 1)) / 2;
        for (ULONG r : {middle - 1, middle, middle + 1, RowBaud(row) - 1, RowBaud(row) + 1})
            requests.push_back(r);
    }
    std::mt19937 random(7);
    for (int i = 0; i < 2000; ++i)
        requests.push_back(1 + random() % 7000000);
    for (ULONG r : requests) {
        if (r == 0)
            continue;
        EXPECT_EQ(Chosen(r), NearestByDistance(r)) << "request " << r;
    }
}

TEST(BaudChoiceTest, NewerChipsGetRateCodesAboveOneHundredFifteenKilobaud) {
    const BaudChoice fast = ChooseBaudRate(7000000, 2, nullptr, 0);
    EXPECT_EQ(fast.Baud, 6000000u);
    EXPECT_EQ(fast.Rate, 0x80000040u);
    EXPECT_FALSE(fast.FromExtList);
    EXPECT_EQ(ChooseBaudRate(7000000, 1, nullptr, 0).Rate, 6000000u) << "older chips: plain";
    EXPECT_EQ(ChooseBaudRate(128000, 3, nullptr, 0).Rate, 0x800004BBu);
    EXPECT_EQ(ChooseBaudRate(115200, 4, nullptr, 0).Rate, 115200u) << "not above: plain";
    EXPECT_EQ(ChooseBaudRate(9601, 2, nullptr, 0).Rate, 9600u);
    const BaudChoice slow = ChooseBaudRate(20, 2, nullptr, 0);
    EXPECT_EQ(slow.Baud, 0u);
    EXPECT_EQ(slow.Rate, 0u);
}

TEST(BaudChoiceTest, ExtraRatesApplyToNewerChipsOnlyAndTheFirstMatchWins) {
    const ExtBaudrateEntry list[] = {
        {9600, 0x11111111}, {250000, 0x8000ABCD}, {250000, 0x8000FFFF}, {300000, 0x80001234}};
    for (LONG chip : {2, 3, 4}) {
        const BaudChoice c = ChooseBaudRate(250000, chip, list, 4);
        EXPECT_TRUE(c.FromExtList);
        EXPECT_EQ(c.Baud, 250000u) << "an exact extra rate is kept as requested";
        EXPECT_EQ(c.Rate, 0x8000ABCDu);
    }
    for (LONG chip : {-1, 0, 1}) {
        const BaudChoice c = ChooseBaudRate(250000, chip, list, 4);
        EXPECT_FALSE(c.FromExtList);
        EXPECT_EQ(c.Baud, 268800u);
        EXPECT_EQ(c.Rate, 268800u);
    }
    // Only the first `count` entries are looked at.
    EXPECT_FALSE(ChooseBaudRate(300000, 2, list, 3).FromExtList);
    EXPECT_TRUE(ChooseBaudRate(300000, 2, list, 4).FromExtList);
    // An extra entry for a table rate replaces that row's code.
    EXPECT_EQ(ChooseBaudRate(9600, 2, list, 4).Rate, 0x11111111u);
}

TEST(LineCodingFramingTest, DataStopAndParityFromTheImage) {
    struct Case {
        UCHAR image;
        UCHAR stop, parity, data;
    };
    const Case cases[] = {
        {0x1B, 0, 2, 8},  // 8 data, 1 stop, even
        {0x04, 1, 0, 5},  // 5 data: the long stop is one and a half bits
        {0x07, 2, 0, 8},  // 8 data, two stop bits
        {0x1A, 0, 2, 7},  // the start-up default
        {0x0B, 0, 1, 8},  // odd
        {0x2B, 0, 3, 8},  // mark
        {0x3E, 2, 4, 7},  // space, two stop bits
        {0x10, 0, 0, 5},  // even without parity enabled is no parity
    };
    for (const Case& c : cases) {
        const LineCodingRecord r = LineCodingFraming(c.image);
        EXPECT_EQ(r.StopBits, c.stop) << std::hex << int(c.image);
        EXPECT_EQ(r.Parity, c.parity) << std::hex << int(c.image);
        EXPECT_EQ(r.DataBits, c.data) << std::hex << int(c.image);
        EXPECT_EQ(r.Rate, 0u);
    }
}

}  // namespace
