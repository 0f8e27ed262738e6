// The tool's text handling: what the engineer types, how values and blocks
// are shown. Wrong here means a wrong value written to a PLC or a misleading
// trace, so the boundaries get the attention.
#include "tools/format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vave8ctl {
namespace {

struct IntegerCase {
    const char* text;
    int64_t min;
    int64_t max;
    bool ok;
    int64_t value;
};

TEST(ToolFormat, ParseIntegerTakesWholeDecimalsAndHexInRange) {
    const IntegerCase cases[] = {
        {"12", 0, 100, true, 12},
        {"+7", 0, 100, true, 7},
        {"-5", -10, 10, true, -5},
        {"0x1F", 0, 100, true, 31},
        {"0XfF", 0, 255, true, 255},
        {"0xFFFFFFFF", 0, UINT32_MAX, true, UINT32_MAX},
        {"100", 0, 100, true, 100},
        {"101", 0, 100, false, 0},
        {"-1", 0, 100, false, 0},
        {"", 0, 100, false, 0},
        {"12a", 0, 100, false, 0},
        {"1.5", 0, 100, false, 0},
        {" 5", 0, 100, false, 0},
        {"++5", 0, 100, false, 0},
        {"0x", 0, 100, false, 0},
        {"-0x10", -100, 100, false, 0},
        {"99999999999999999999", 0, INT64_MAX, false, 0},
    };
    for (const IntegerCase& c : cases) {
        int64_t value = -999;
        EXPECT_EQ(ParseInteger(c.text, c.min, c.max, &value), c.ok) << "'" << c.text << "'";
        const int64_t expected = c.ok ? c.value : -999;  // a refusal leaves the output alone
        EXPECT_EQ(value, expected) << "'" << c.text << "'";
    }
}

struct ValueCase {
    int32_t memoryType;
    bool isBit;
    const char* text;
    bool ok;
    uint32_t raw;
};

TEST(ToolFormat, WriteValuesAreRangeCheckedPerMemoryType) {
    const ValueCase cases[] = {
        {'2', false, "255", true, 0xFF},
        {'2', false, "0x80", true, 0x80},
        {'2', false, "-1", true, 0xFF},
        {'2', false, "-128", true, 0x80},
        {'2', false, "256", false, 0},
        {'2', false, "-129", false, 0},
        {'2', true, "1", true, 1},
        {'2', true, "0", true, 0},
        {'2', true, "2", false, 0},
        {'2', true, "255", false, 0},
        {'4', false, "0x1234", true, 0x1234},
        {'4', false, "65535", true, 0xFFFF},
        {'4', false, "-32768", true, 0x8000},
        {'4', false, "65536", false, 0},
        {'4', false, "-32769", false, 0},
        {'8', false, "-1", true, 0xFFFFFFFF},
        {'8', false, "4294967295", true, 0xFFFFFFFF},
        {'8', false, "-2147483648", true, 0x80000000},
        {'8', false, "4294967296", false, 0},
        {'8', false, "-2147483649", false, 0},
        {'9', false, "1", true, 0x3F800000},
        {'9', false, "3.14159", true, 0x40490FD0},
        {'9', false, "-0.5", true, 0xBF000000},
        {'9', false, "0x7FC00000", true, 0x7FC00000},
        {'9', false, "1e39", false, 0},
        {'9', false, "nan", false, 0},
        {'9', false, "3,5", false, 0},
        {'9', false, "0x100000000", false, 0},
        {'X', false, "1", false, 0},
    };
    for (const ValueCase& c : cases) {
        uint32_t raw = 0;
        std::string error;
        const bool ok = ParseGateValue(c.memoryType, c.isBit, c.text, &raw, &error);
        EXPECT_EQ(ok, c.ok) << static_cast<char>(c.memoryType) << " '" << c.text << "'";
        if (c.ok) {
            EXPECT_EQ(raw, c.raw) << static_cast<char>(c.memoryType) << " '" << c.text << "'";
        } else {
            EXPECT_FALSE(error.empty()) << "a refusal says why";
        }
    }
}

TEST(ToolFormat, ValuesShowAsTheirMemoryTypeReadsThem) {
    struct Case {
        int32_t memoryType;
        bool isBit;
        uint32_t raw;
        const char* shown;
    } const cases[] = {
        {'2', false, 0x80, "128 (0x80)"},
        {'2', true, 1, "1"},
        {'4', false, 0xFFFF, "65535 (0xFFFF)"},
        {'8', false, 0xFFFFFFFB, "-5 (0xFFFFFFFB)"},
        {'8', false, 0x7FFFFFFF, "2147483647 (0x7FFFFFFF)"},
        {'9', false, 0x40490FD0, "3.14159 (0x40490FD0)"},
        {'9', false, 0x3F800000, "1 (0x3F800000)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatGateValue(c.memoryType, c.isBit, c.raw), c.shown);
    }
}

TEST(ToolFormat, FloatsSurviveTypingAndShowingUnchanged) {
    for (const char* text :
         {"3.14159", "-0.5", "1e-10", "123456.7", "340282350000000000000000000000000000000"}) {
        uint32_t raw = 0;
        std::string error;
        ASSERT_TRUE(ParseGateValue('9', false, text, &raw, &error)) << text;
        const std::string shown = FormatGateValue('9', false, raw);
        uint32_t again = 0;
        ASSERT_TRUE(ParseGateValue('9', false, shown.substr(0, shown.find(' ')), &again, &error))
            << shown;
        EXPECT_EQ(again, raw) << text << " shown as " << shown;
    }
}

TEST(ToolFormat, SlotsAreLittleEndianAtTheirOffsets) {
    std::vector<uint8_t> area(8, 0xAA);
    StoreSlot(area.data(), SingleSlotOffset('4'), 16, 0x1234);
    EXPECT_EQ(area, (std::vector<uint8_t>{0xAA, 0xAA, 0x34, 0x12, 0xAA, 0xAA, 0xAA, 0xAA}))
        << "a single 16-bit slot sits at offset 2 and leaves bytes 0 and 1 alone";
    EXPECT_EQ(LoadSlot(area.data(), 2, 16), 0x1234u);

    StoreSlot(area.data(), SingleSlotOffset('9'), 32, 0x40490FD0);
    EXPECT_EQ(area[0], 0xD0);
    EXPECT_EQ(area[3], 0x40);
    EXPECT_EQ(LoadSlot(area.data(), 0, 32), 0x40490FD0u);

    EXPECT_EQ(BlockSlotOffset('2', 3), 6u);
    EXPECT_EQ(BlockSlotOffset('4', 3), 6u);
    EXPECT_EQ(BlockSlotOffset('8', 3), 12u);
    EXPECT_EQ(BlockSlotOffset('9', 3), 12u);
}

TEST(ToolFormat, NaturalGateTypesSuitTheirMemoryTypes) {
    EXPECT_EQ(NaturalGateType('2', -1), 0u);
    EXPECT_EQ(NaturalGateType('2', 4), 6u);
    EXPECT_EQ(NaturalGateType('4', -1), 1u);
    EXPECT_EQ(NaturalGateType('8', -1), 4u);
    EXPECT_EQ(NaturalGateType('9', -1), 3u);
}

TEST(ToolFormat, BannerBoxCharactersBecomeUtf8AndBackspacesGo) {
    EXPECT_EQ(Cp437ToUtf8("\x08\n\xC9\xCD\xBB\n\xBA"
                          "A\xBA\n\xC8\xCD\xBC"),
              "\n╔═╗\n║A║\n╚═╝");
    EXPECT_EQ(Cp437ToUtf8("plain text"), "plain text");
    EXPECT_EQ(Cp437ToUtf8("\x80\xE1\xFF"), "Çß\u00A0");
}

TEST(ToolFormat, RequestsAreDecodedIntoItems) {
    const uint8_t blockRead[] = {0xA2, 0x03, 0x01, 0x00, 0x01, 0x27};
    EXPECT_EQ(DescribeRequest(blockRead, sizeof blockRead, '4'),
              "READ (0xA2), station 3, nibbles 0x0100..0x0127 = 10 items of '4' from item 64");
    EXPECT_EQ(RequestDataBytes(blockRead), 20u);

    const uint8_t write[] = {0xA1, 0x05, 0x00, 0x80, 0x00, 0x83, 0x12, 0x34};
    EXPECT_EQ(DescribeRequest(write, sizeof write, '4'),
              "WRITE (0xA1), station 5, nibbles 0x0080..0x0083 = 1 item of '4' from item 32, "
              "data 12 34");

    // A block that runs past nibble FFFF ends below its start.
    const uint8_t wrapped[] = {0xA2, 0x00, 0xFF, 0xF0, 0x00, 0x0F};
    EXPECT_EQ(RequestDataBytes(wrapped), 16u);
    EXPECT_NE(DescribeRequest(wrapped, sizeof wrapped, '2').find("16 items"), std::string::npos);

    // An empty write range: end one below start.
    const uint8_t empty[] = {0xA1, 0x00, 0x00, 0x10, 0x00, 0x0F};
    EXPECT_EQ(RequestDataBytes(empty), 0u);
    EXPECT_NE(DescribeRequest(empty, sizeof empty, '4').find("data none"), std::string::npos);
}

TEST(ToolFormat, RepliesAreNamedByBlockType) {
    const uint8_t data[] = {0x03, 0x03, 0x00, 0x01, 0x00, 0x02};
    EXPECT_EQ(DescribeReply(data, sizeof data, 4), "DATA (type 3), 4 bytes: 00 01 00 02");
    const uint8_t error[] = {0x01, 0x03, 0xA2, 0x0C};
    EXPECT_EQ(DescribeReply(error, sizeof error, 0), "ERROR (type 1), error code 0x0C");
    const uint8_t done[] = {0x00, 0x03, 0x00, 0x00};
    EXPECT_EQ(DescribeReply(done, sizeof done, 0), "DONE (type 0)");
    const uint8_t odd[] = {0x07, 0x00, 0x00, 0x00};
    EXPECT_EQ(DescribeReply(odd, sizeof odd, 0), "UNKNOWN (type 0x07)");
    // The data shown never runs past the buffer, whatever the request asked.
    EXPECT_EQ(DescribeReply(data, sizeof data, 200), "DATA (type 3), 4 bytes: 00 01 00 02");
}

}  // namespace
}  // namespace vave8ctl
