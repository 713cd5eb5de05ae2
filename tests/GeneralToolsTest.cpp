#include "tools/GeneralTools.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

namespace {

struct FixTimeCase {
    double value;
    const char* text;
};

void PrintTo(const FixTimeCase& c, std::ostream* out) {
    *out << c.value << " -> " << c.text;
}

class FixTimeTest : public testing::TestWithParam<FixTimeCase> {};

TEST_P(FixTimeTest, FormatsTimeOfDay) {
    EXPECT_EQ(FixTime(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FixTimeTest,
    testing::Values(FixTimeCase{0.0, "00:00:00"}, FixTimeCase{1.0 / 86400, "00:00:01"},
                    FixTimeCase{0.5, "12:00:00"},
                    FixTimeCase{1.0 + 3661.0 / 86400, "01:01:01"}, // the day is dropped
                    FixTimeCase{86399.0 / 86400, "23:59:59"},
                    // within half a millisecond below a whole day rounds to the next day
                    FixTimeCase{1.0 - 0.0004 / 86400, "00:00:00"},
                    // 999 ms are dropped, not rounded into the seconds
                    FixTimeCase{59.999 / 86400, "00:00:59"}),
    [](const auto& param) { return "Case" + std::to_string(param.index); });

TEST(FixTime, SumOfSecondsJustShortOfAMinuteShowsTheMinute) {
    double sum = 0;
    for (int i = 0; i < 60; ++i)
        sum += 1.0 / 86400;
    EXPECT_EQ(FixTime(sum), "00:01:00");
    EXPECT_EQ(FixTime(60.0 / 86400 - 0.0004 / 86400), "00:01:00");
}

TEST(RoundHalfEven, HalvesGoToTheEvenNeighbourOnBothSides) {
    const std::pair<double, std::int64_t> cases[] = {
        {0.5, 0},   {1.5, 2},   {2.5, 2},   {2.4999, 2}, {2.5001, 3}, {-0.5, 0},
        {-1.5, -2}, {-2.5, -2}, {-2.7, -3}, {-2.2, -2},  {12.5, 12},  {37.5, 38}};
    for (const auto& [value, expected] : cases)
        EXPECT_EQ(roundHalfEven(value), expected) << value;
}

TEST(ElapsedTimeText, PutsDaysInFront) {
    EXPECT_EQ(elapsedTimeText(59), "00:00:59");
    EXPECT_EQ(elapsedTimeText(3600), "01:00:00");
    EXPECT_EQ(elapsedTimeText(86399), "23:59:59");
    EXPECT_EQ(elapsedTimeText(86400), "1 day, 00:00:00");
    EXPECT_EQ(elapsedTimeText(172800), "2 days, 00:00:00");
    EXPECT_EQ(elapsedTimeText(3 * 86400 + 61), "3 days, 00:01:01");
}

struct PadCase {
    const char* text;
    int width;
    const char* expected;
};

void PrintTo(const PadCase& c, std::ostream* out) {
    *out << '"' << c.text << "\", " << c.width;
}

class SetStrLengthTest : public testing::TestWithParam<PadCase> {};

TEST_P(SetStrLengthTest, Pads) {
    EXPECT_EQ(SetStrLength(GetParam().text, GetParam().width), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Values, SetStrLengthTest,
                         testing::Values(PadCase{"Name", 10, "Name       "},
                                         PadCase{"Name", 4, "Name"}, PadCase{"Name", 2, "Name"},
                                         PadCase{"", 0, ""}, PadCase{"", 1, "  "},
                                         // lengths are UTF-16 code units, not bytes
                                         PadCase{"\xC3\xA9t\xC3\xA9", 4, "\xC3\xA9t\xC3\xA9  "},
                                         PadCase{"\xF0\x9F\x98\x80", 3, "\xF0\x9F\x98\x80  "}),
                         [](const auto& param) { return "Case" + std::to_string(param.index); });

TEST(ColourText, DefaultColoursRoundTrip) {
    EXPECT_EQ(HexToTColor("FEFCDA"), 0x00DAFCFEu);
    EXPECT_EQ(HexToTColor("95D6EE"), 15652501u);
    EXPECT_EQ(HexToTColor("FF8000"), 33023u);
    for (const char* text : {"FEFCDA", "95D6EE", "FF8000"})
        EXPECT_EQ(TColorToHex(HexToTColor(text)), text);
}

TEST(ColourText, ToHex) {
    EXPECT_EQ(TColorToHex(0), "000000");
    EXPECT_EQ(TColorToHex(0x00FFFFFF), "FFFFFF");
    EXPECT_EQ(TColorToHex(0xFF000005), "050000"); // top byte ignored, red first
}

TEST(ColourText, FromHexAcceptsEitherCaseAndIgnoresTail) {
    EXPECT_EQ(HexToTColor("fefcda"), 0x00DAFCFEu);
    EXPECT_EQ(HexToTColor("FEFCDA99"), 0x00DAFCFEu);
    EXPECT_EQ(HexToTColor("12345"), 0x00053412u); // one-digit last pair
}

TEST(ColourText, BadTextRaisesTheConversionError) {
    auto messageOf = [](const std::string& text) {
        try {
            HexToTColor(text);
        } catch (const ConversionError& error) {
            return std::string(error.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(messageOf(""), "''$'' is not a valid integer value");
    EXPECT_EQ(messageOf("FFF"), "''$'' is not a valid integer value");
    EXPECT_EQ(messageOf("GG0000"), "''$GG'' is not a valid integer value");
    EXPECT_EQ(messageOf("FFG000"), "''$G0'' is not a valid integer value");
    EXPECT_EQ(messageOf("FF 000"), "''$ 0'' is not a valid integer value");
}

} // namespace
