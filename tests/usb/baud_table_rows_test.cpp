// The baud table against the rates and chip rate codes the adapter's maker
// publishes, typed in here on their own so that a slip in the driver's table
// cannot hide behind a test that reads the same table; and what each row puts on
// the wire, with the write chunk that goes with it, on every chip type.
#include "tests/support/usb_port_harness.h"

#include <cstdio>
#include <string>

namespace {

struct PublishedRow {
    ULONG baud;
    ULONG code;
};

// Descending, as published; the last row is the terminator.
constexpr PublishedRow kPublished[] = {
    {6000000, 0x80000040}, {3000000, 0x80000080}, {2457600, 0x8000009C}, {1228800, 0x8000024E},
    {921600, 0x80000268},  {812500, 0x80000276},  {806400, 0x80000277},  {614400, 0x8000029C},
    {460800, 0x800002D0},  {406250, 0x800002EC},  {403200, 0x800002EE},  {268800, 0x80000459},
    {230400, 0x80000468},  {201600, 0x80000477},  {161280, 0x80000494},  {134400, 0x800004B2},
    {128000, 0x800004BB},  {115200, 0x800004D0},  {57600, 0x80000668},   {38400, 0x8000069C},
    {28800, 0x800006D0},   {19200, 0x8000084E},   {14400, 0x80000868},   {9600, 0x8000089C},
    {7200, 0x800008D0},    {4800, 0x80000A4E},    {3600, 0x80000A68},    {2400, 0x80000A9C},
    {1800, 0x80000AD0},    {1200, 0x80000C4E},    {600, 0x80000C9C},     {300, 0x80000E4E},
    {150, 0x80000E9C},     {75, 0x80000F38},      {0, 0x00000000},
};
constexpr size_t kPublishedRows = sizeof kPublished / sizeof kPublished[0];
static_assert(kPublishedRows == 35, "the published table has 35 rows");

TEST(PublishedBaudTable, EveryRowOfTheDriversTableIsThePublishedOne) {
    ASSERT_EQ(kBaudTableRows, kPublishedRows);
    for (size_t row = 0; row < kPublishedRows; ++row) {
        EXPECT_EQ(BaudTable[row].Baud, kPublished[row].baud) << "row " << row;
        EXPECT_EQ(BaudTable[row].Code, kPublished[row].code) << "row " << row;
    }
}

// What a newer chip is sent for a row: its code above 115200, the plain rate at
// and below; an older chip always gets the plain rate.
ULONG RateFieldFor(const PublishedRow& row, LONG chipType) {
    return chipType >= 2 && row.baud > 115200 ? row.code : row.baud;
}
// Bulk-out chunks grow only on the newer chips, from 115200 on.
ULONG ChunkFor(ULONG baud, LONG chipType) {
    return chipType >= 2 && baud >= 115200 ? 0x1000 : 0x100;
}

class BaudRowsOnTheWireTest : public simtest::ConfiguredPortTest {};

TEST_F(BaudRowsOnTheWireTest, EachRowSendsItsRateFieldAndSetsTheChunkOnEveryChipType) {
    for (int variant = 0; variant < sim::BridgeChip::kVariantCount; ++variant) {
        SCOPED_TRACE("chip type " + std::to_string(variant));
        Plug(variant);
        ASSERT_EQ(port->ChipType, variant);
        // The chip takes a line coding only with a valid framing.
        ASSERT_EQ(SetLineControl(port), STATUS_SUCCESS);
        for (size_t row = 0; row + 1 < kPublishedRows; ++row) {
            const PublishedRow& r = kPublished[row];
            SCOPED_TRACE(r.baud);
            h->ClearRecords();
            EXPECT_EQ(SetBaudRate(port, r.baud), STATUS_SUCCESS);
            ASSERT_EQ(h->ChipSetups().size(), 1u);
            EXPECT_EQ(h->chip().Line().rateField, RateFieldFor(r, variant));
            EXPECT_EQ(port->CurrentBaud, r.baud);
            EXPECT_EQ(port->MaxWriteChunk, ChunkFor(r.baud, variant));
        }
        // The terminator row is reached only by the slowest requests; it sends a
        // rate of 0 and leaves the port without a rate.
        EXPECT_EQ(SetBaudRate(port, 20), STATUS_SUCCESS);
        EXPECT_EQ(h->chip().Line().rateField, 0u);
        EXPECT_EQ(port->CurrentBaud, 0u);
        EXPECT_EQ(port->MaxWriteChunk, 0x100u);
    }
}

// The two rules meet at 115200 with different comparisons: the code is sent only
// above it, the bigger chunk applies from it on. Near requests take their row's
// rate first, so both rules see the row, not the request.
TEST_F(BaudRowsOnTheWireTest, TheCodeAndTheChunkRulesAtTheOneHundredFifteenKilobaudBoundary) {
    struct Case {
        ULONG request;
        ULONG baud;
    };
    const Case cases[] = {
        {115200, 115200}, {115199, 115200}, {121599, 115200},  // 121600 is the midpoint to 128000
        {121601, 128000}, {128000, 128000}, {57601, 57600},   {86400, 57600},  // tie goes down
    };
    for (int variant = 0; variant < sim::BridgeChip::kVariantCount; ++variant) {
        SCOPED_TRACE("chip type " + std::to_string(variant));
        Plug(variant);
        ASSERT_EQ(SetLineControl(port), STATUS_SUCCESS);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.request);
            ASSERT_EQ(SetBaudRate(port, 300), STATUS_SUCCESS);  // a different rate first
            EXPECT_EQ(SetBaudRate(port, c.request), STATUS_SUCCESS);
            const ULONG code = c.baud == 128000 ? 0x800004BBu : 0x800004D0u;
            const ULONG field = variant >= 2 && c.baud > 115200 ? code : c.baud;
            EXPECT_EQ(h->chip().Line().rateField, field);
            EXPECT_EQ(port->CurrentBaud, c.baud);
            EXPECT_EQ(port->MaxWriteChunk, ChunkFor(c.baud, variant));
        }
    }
    // A chip not detected yet counts as an older one.
    port->ChipType = -1;
    ASSERT_EQ(SetBaudRate(port, 300), STATUS_SUCCESS);
    EXPECT_EQ(SetBaudRate(port, 6000000), STATUS_SUCCESS);
    EXPECT_EQ(h->chip().Line().rateField, 6000000u);
    EXPECT_EQ(port->MaxWriteChunk, 0x100u);
}

// Without memory for the request nothing is recorded: neither the rate nor the
// chunk that goes with it.
TEST_F(BaudRowsOnTheWireTest, ARequestThatCannotBeAllocatedChangesNeitherRateNorChunk) {
    Plug(3);
    ASSERT_EQ(SetLineControl(port), STATUS_SUCCESS);
    ASSERT_EQ(SetBaudRate(port, 9600), STATUS_SUCCESS);
    ASSERT_EQ(port->MaxWriteChunk, 0x100u);
    h->ClearRecords();
    sim::FailPoolAllocationsWithTag(simtest::kComxTag);
    EXPECT_EQ(SetBaudRate(port, 921600), STATUS_INSUFFICIENT_RESOURCES);
    sim::FailPoolAllocationsWithTag(simtest::kComxTag, false);
    EXPECT_TRUE(h->Records().empty());
    EXPECT_EQ(port->CurrentBaud, 9600u);
    EXPECT_EQ(port->MaxWriteChunk, 0x100u);
    EXPECT_EQ(port->WmiCommInfo.BaudRate, 9600u);
}

}  // namespace
