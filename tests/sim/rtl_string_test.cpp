// The counted-string routines: where they stop writing, what they answer when a
// buffer is short, and who owns what they allocate.
#include "tests/support/sim_fixture.h"

#include <sim/registry.h>

#include <cstring>
#include <iterator>
#include <string>

namespace {

using simtest::SimTest;

constexpr WCHAR kSentinel = u'#';

// A caller-owned buffer of `maxBytes`, pre-filled so that stray writes show.
struct Buffer {
    WCHAR chars[32];
    UNICODE_STRING s;
    explicit Buffer(USHORT maxBytes, const char16_t* initial = u"") {
        for (auto& c : chars)
            c = kSentinel;
        s.Buffer = chars;
        s.MaximumLength = maxBytes;
        s.Length = static_cast<USHORT>(std::char_traits<char16_t>::length(initial) * 2);
        std::memcpy(chars, initial, s.Length);
    }
    std::u16string Text() const { return std::u16string(s.Buffer, s.Length / 2); }
};

UNICODE_STRING Counted(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

TEST_F(SimTest, InitStringsCountBytesAndLeaveRoomForTheTerminator) {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, u"COM12");
    EXPECT_EQ(u.Length, 10);
    EXPECT_EQ(u.MaximumLength, 12);
    RtlInitUnicodeString(&u, nullptr);
    EXPECT_EQ(u.Length, 0);
    EXPECT_EQ(u.MaximumLength, 0);
    EXPECT_EQ(u.Buffer, nullptr);

    ANSI_STRING a;
    RtlInitAnsiString(&a, "COM12");
    EXPECT_EQ(a.Length, 5);
    EXPECT_EQ(a.MaximumLength, 6);
}

TEST_F(SimTest, CopyTruncatesToWholeCharactersAndTerminatesOnlyWithRoom) {
    UNICODE_STRING source = Counted(u"ABCDE");

    Buffer exact(6);
    RtlCopyUnicodeString(&exact.s, &source);
    EXPECT_EQ(exact.Text(), u"ABC");
    EXPECT_EQ(exact.chars[3], kSentinel);

    Buffer odd(7);  // half a character to spare is no room for a terminator
    RtlCopyUnicodeString(&odd.s, &source);
    EXPECT_EQ(odd.s.Length, 6);
    EXPECT_EQ(odd.chars[3], kSentinel);

    Buffer roomy(20);
    RtlCopyUnicodeString(&roomy.s, &source);
    EXPECT_EQ(roomy.Text(), u"ABCDE");
    EXPECT_EQ(roomy.chars[5], 0);

    RtlCopyUnicodeString(&roomy.s, nullptr);
    EXPECT_EQ(roomy.s.Length, 0);
}

TEST_F(SimTest, AppendRefusesWhatDoesNotFitAndChangesNothing) {
    Buffer b(10, u"COM");
    EXPECT_EQ(RtlAppendUnicodeToString(&b.s, u"123"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(b.Text(), u"COM");
    EXPECT_EQ(b.chars[3], kSentinel);

    EXPECT_EQ(RtlAppendUnicodeToString(&b.s, u"12"), STATUS_SUCCESS);
    EXPECT_EQ(b.Text(), u"COM12");
    EXPECT_EQ(b.chars[5], kSentinel);  // filled exactly: no terminator

    Buffer c(12, u"COM");
    UNICODE_STRING tail = Counted(u"7");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&c.s, &tail), STATUS_SUCCESS);
    EXPECT_EQ(c.Text(), u"COM7");
    EXPECT_EQ(c.chars[4], 0);
    UNICODE_STRING tooLong = Counted(u"890");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&c.s, &tooLong), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(c.Text(), u"COM7");
}

TEST_F(SimTest, IntegerToStringHonoursBaseAndNeedsASpareByte) {
    struct Case {
        ULONG value, base;
        const char16_t* text;
    } cases[] = {{255, 16, u"FF"}, {255, 8, u"377"}, {5, 2, u"101"},
                 {255, 0, u"255"}, {0, 10, u"0"},    {0xFFFFFFFF, 10, u"4294967295"}};
    for (const auto& c : cases) {
        Buffer b(40);
        ASSERT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &b.s), STATUS_SUCCESS) << c.value;
        EXPECT_EQ(b.Text(), c.text);
        EXPECT_EQ(b.chars[b.s.Length / 2], 0);
    }
    Buffer b(40);
    EXPECT_EQ(RtlIntegerToUnicodeString(9, 7, &b.s), STATUS_INVALID_PARAMETER);

    Buffer exact(6, u"x");
    EXPECT_EQ(RtlIntegerToUnicodeString(255, 10, &exact.s), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(exact.Text(), u"x");
    Buffer spareByte(7);
    EXPECT_EQ(RtlIntegerToUnicodeString(255, 10, &spareByte.s), STATUS_SUCCESS);
    EXPECT_EQ(spareByte.Text(), u"255");
    EXPECT_EQ(spareByte.chars[3], kSentinel);
}

TEST_F(SimTest, StringToIntegerParsesPrefixesSignsAndStopsAtTheFirstNonDigit) {
    struct Case {
        const char16_t* text;
        ULONG base, value;
    } cases[] = {{u"  -12", 0, 0xFFFFFFF4},
                 {u"0x1F", 0, 31},
                 {u"0b101", 0, 5},
                 {u"0o17", 0, 15},
                 {u"12ab", 10, 12},
                 {u"fF", 16, 255},
                 {u"2147483648", 10, 0x80000000},
                 {u"4294967297", 0, 1},
                 {u"", 0, 0}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        UNICODE_STRING s = Counted(cases[i].text);
        ULONG value = 0xDEAD;
        ASSERT_EQ(RtlUnicodeStringToInteger(&s, cases[i].base, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, cases[i].value) << "case " << i;
    }
    // Counted, not terminated: the digit after Length is not part of the number.
    UNICODE_STRING partial = Counted(u"1234");
    partial.Length = 4;
    ULONG value = 0;
    EXPECT_EQ(RtlUnicodeStringToInteger(&partial, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 12u);
    EXPECT_EQ(RtlUnicodeStringToInteger(&partial, 3, &value), STATUS_INVALID_PARAMETER);
}

TEST_F(SimTest, AllocatingConversionsUsePoolThatFreeReturns) {
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "COM\xE9");
    UNICODE_STRING wide{};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(wide.Buffer, wide.Length / 2), u"COM?");
    EXPECT_EQ(wide.MaximumLength, 10);
    EXPECT_EQ(wide.Buffer[4], 0);
    EXPECT_EQ(sim::PoolBlocksWithTag(sim::kStringPoolTag), 1u);

    UNICODE_STRING source = Counted(u"P\u00F6rt");
    ANSI_STRING narrow{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&narrow, &source, TRUE), STATUS_SUCCESS);
    EXPECT_STREQ(narrow.Buffer, "P?rt");
    EXPECT_EQ(narrow.Length, 4);
    EXPECT_EQ(sim::PoolBlocksWithTag(sim::kStringPoolTag), 2u);

    RtlFreeUnicodeString(&wide);
    RtlFreeAnsiString(&narrow);
    EXPECT_EQ(wide.Buffer, nullptr);
    EXPECT_EQ(narrow.Buffer, nullptr);
    EXPECT_EQ(sim::PoolBlocksWithTag(sim::kStringPoolTag), 0u);

    sim::FailPoolAllocationsWithTag(sim::kStringPoolTag);
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_NO_MEMORY);
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&narrow, &source, TRUE), STATUS_NO_MEMORY);
    EXPECT_EQ(wide.Buffer, nullptr);
    sim::ClearPoolFaults();
}

TEST_F(SimTest, ConversionsIntoShortBuffersOverflowDifferentlyByDirection) {
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "COM3");
    Buffer exact(8, u"old");
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&exact.s, &ansi, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(exact.Text(), u"old");
    Buffer roomy(10);
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&roomy.s, &ansi, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(roomy.Text(), u"COM3");

    // Toward ANSI the platform keeps what fits, terminated, and warns.
    char chars[3];
    ANSI_STRING narrow{0, sizeof chars, chars};
    UNICODE_STRING source = Counted(u"COM3");
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&narrow, &source, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(chars, "CO");
    EXPECT_EQ(narrow.Length, 2);
}

TEST_F(SimTest, CompareOrdersByCharacterThenLengthAndFoldsAsciiCase) {
    UNICODE_STRING com1 = Counted(u"COM1"), com2 = Counted(u"COM2");
    UNICODE_STRING com = Counted(u"COM"), lower = Counted(u"com1");
    EXPECT_LT(RtlCompareUnicodeString(&com1, &com2, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&com, &com1, FALSE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&lower, &com1, FALSE), 0);
    EXPECT_EQ(RtlCompareUnicodeString(&lower, &com1, TRUE), 0);
    EXPECT_TRUE(RtlEqualUnicodeString(&lower, &com1, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&lower, &com1, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&com, &com1, TRUE));
}

TEST_F(SimTest, MalformedStringsAndHighIrqlAreReported) {
    {
        sim::ExpectViolation guard(sim::Rule::BadParameter);
        Buffer b(4, u"AB");
        b.s.Length = 6;
        UNICODE_STRING source = Counted(u"x");
        RtlCopyUnicodeString(&b.s, &source);
        EXPECT_EQ(guard.Count(), 1);
        EXPECT_EQ(b.chars[0], u'A');
    }
    {
        sim::ExpectViolation guard(sim::Rule::IrqlTooHigh);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        Buffer b(20);
        RtlIntegerToUnicodeString(1, 10, &b.s);
        KeLowerIrql(old);
        EXPECT_EQ(guard.Count(), 1);
    }
}

}  // namespace
