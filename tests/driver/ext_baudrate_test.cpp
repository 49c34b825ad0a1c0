// The ExtBaudrate value's text, read the way the driver reads it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/driver.h"

namespace {

struct Parsed {
    LONG count;
    std::vector<std::pair<ULONG, ULONG>> entries;
};

Parsed Parse(const std::string& text) {
    ExtBaudrateEntry list[kMaxExtBaudrates];
    std::memset(list, 0xEE, sizeof list);
    Parsed p;
    p.count = ParseExtBaudrate(text.data(), static_cast<ULONG>(text.size()), list);
    for (LONG i = 0; i < p.count; ++i) p.entries.emplace_back(list[i].Baud, list[i].RateCode);
    return p;
}

using Entries = std::vector<std::pair<ULONG, ULONG>>;

TEST(ExtBaudrate, EmptyValueGivesOneEntryThatNothingMatches) {
    auto p = Parse("");
    EXPECT_EQ(p.count, 1);
    EXPECT_EQ(p.entries, (Entries{{0, 0}}));
}

TEST(ExtBaudrate, PairsSeparatedBySpaces) {
    EXPECT_EQ(Parse("921600,123").entries, (Entries{{921600, 123}}));
    EXPECT_EQ(Parse("9600,1 19200,2").entries, (Entries{{9600, 1}, {19200, 2}}));
    EXPECT_EQ(Parse("921600,921600 460800,460800").entries,
              (Entries{{921600, 921600}, {460800, 460800}}));
}

TEST(ExtBaudrate, TwoSpacesStillReadBecauseAtolSkipsLeadingWhiteSpace) {
    EXPECT_EQ(Parse("9600,1  19200,2").entries, (Entries{{9600, 1}, {19200, 2}}));
}

TEST(ExtBaudrate, OnlyTheFirstTenPairsAreKept) {
    std::string text;
    for (int i = 1; i <= 12; ++i) text += (i > 1 ? " " : "") + std::to_string(i * 100) + "," + std::to_string(i);
    auto p = Parse(text);
    ASSERT_EQ(p.count, 10);
    EXPECT_EQ(p.entries.front(), std::make_pair(100u, 1u));
    EXPECT_EQ(p.entries.back(), std::make_pair(1000u, 10u));
    // Exactly ten pairs with nothing after them ends at the string's end.
    std::string ten = text.substr(0, text.find(" 1100"));
    EXPECT_EQ(Parse(ten).count, 10);
}

TEST(ExtBaudrate, MalformedTextLeavesTheWholeListUnused) {
    // A trailing space sends the comma scan past the end.
    EXPECT_EQ(Parse("9600,1 ").count, 0);
    EXPECT_EQ(Parse("9600,1 19200,2 ").count, 0);
    // No comma at all, or none within 22 characters.
    EXPECT_EQ(Parse("9600").count, 0);
    EXPECT_EQ(Parse("9600,1 19200").count, 0) << "pairs already parsed are dropped too";
    EXPECT_EQ(Parse(std::string(22, '1') + ",5").count, 0);
    EXPECT_EQ(Parse("5," + std::string(22, '1')).count, 0);
    // 21 characters and their separator still fit in the 22-character scan.
    EXPECT_EQ(Parse(std::string(20, '0') + "7," + std::string(20, '0') + "9").entries, (Entries{{7, 9}}));
}

TEST(ExtBaudrate, TokensReadAsAtolReadsThem) {
    EXPECT_EQ(Parse("9600,abc").entries, (Entries{{9600, 0}}));
    EXPECT_EQ(Parse(",").entries, (Entries{{0, 0}}));
    EXPECT_EQ(Parse("9600,0x1F").entries, (Entries{{9600, 0}})) << "hexadecimal is not understood";
    EXPECT_EQ(Parse("+9600,12abc").entries, (Entries{{9600, 12}}));
    EXPECT_EQ(Parse("\t300,-1").entries, (Entries{{300, 0xFFFFFFFFu}}));
}

TEST(ExtBaudrate, DecimalRateCodesBeyond31BitsKeepAll32Bits) {
    // 0x80000268 written in decimal.
    EXPECT_EQ(Parse("921600,2147484264").entries, (Entries{{921600, 0x80000268u}}));
    EXPECT_EQ(Parse("1,4294967297").entries, (Entries{{1, 1}})) << "kept modulo 2^32";
}

}  // namespace
