// Gate address texts through the parsers, as the host reaches them.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "driver/operations.h"
#include "support/log_capture.h"

namespace {

constexpr int32_t kUntouched = 0x5A5A5A5A;

struct Outcome {
    int32_t result;
    GateParse gate;
    std::vector<std::string> log;
};

Outcome ParseText(uint32_t function, const char* text, uint32_t gateType = 0, int32_t blockSize = 1) {
    GateParse gate{};
    gate.address = text;
    gate.gateType = gateType;
    gate.blockSize = blockSize;
    gate.station = gate.memoryType = gate.itemAddress = gate.bitNumber = gate.valueWidth =
        kUntouched;
    NuvCall call{};
    call.function = function;
    call.args = &gate;
    LogCapture log;
    const int32_t result = NuvMain(&call);
    return {result, gate, log.texts()};
}

std::string IllegalAt(int position, const std::string& text) {
    return "VAVE8> Parse() Illegal character " + std::to_string(position) + " in '" + text + "'";
}

struct Accepted {
    const char* text;
    int32_t station, memoryType, itemAddress, bitNumber, valueWidth;
};

TEST(AddressParse, AcceptedTextsYieldAllFiveFields) {
    const Accepted cases[] = {
        {"0120010", 1, '2', 8, -1, 16},
        {"012001A3", 1, '2', 13, 4, 16},   // digit 3 is bit 4 from the right
        {"01200100", 1, '2', 8, 7, 16},    // digit 0 names the top bit
        {"01200107", 1, '2', 8, 0, 16},
        {"0f40100", 15, '4', 64, -1, 16},  // lower case passes
        {"0390020", 3, '9', 4, -1, 32},
        {"00800085", 0, '8', 1, -1, 32},   // the bit digit is ignored for '8'
        {"002FFFE", 0, '2', 32767, -1, 16},
        {"0320000", 3, '2', 0, -1, 16},
        {"0120010 xy", 1, '2', 8, -1, 16},  // positions 8..10 are never looked at
        {"0120010 \x01\x02\x03", 1, '2', 8, -1, 16},
        {"0040010 bcdefghijk", 0, '4', 4, -1, 16},  // longer than the working copy
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const uint32_t gateType = c.memoryType == '9' ? 3 : c.memoryType == '8' ? 4
                                  : c.bitNumber >= 0 ? 6 : 0;
        for (uint32_t function : {FN_SINGLE_ADDRESS_PARSER, FN_BLOCK_ADDRESS_PARSER}) {
            if (function == FN_BLOCK_ADDRESS_PARSER && c.bitNumber >= 0) continue;
            const Outcome out = ParseText(function, c.text, gateType);
            EXPECT_EQ(out.result, NUV_OK);
            EXPECT_TRUE(out.log.empty());
            EXPECT_EQ(out.gate.station, c.station);
            EXPECT_EQ(out.gate.memoryType, c.memoryType);
            EXPECT_EQ(out.gate.itemAddress, c.itemAddress);
            EXPECT_EQ(out.gate.bitNumber, c.bitNumber);
            EXPECT_EQ(out.gate.valueWidth, c.valueWidth);
        }
    }
}

TEST(AddressParse, IllegalCharacterNamesPositionAndLeavesFieldsAlone) {
    const struct {
        const char* text;
        int position;
    } cases[] = {
        {"", 0},          {"002000", 6},   {"1020000", 0}, {"0330000", 2},
        {"0G20000", 1},   {"00400008", 7}, {"00200g0", 5}, {"0120010\t", 7},
        {"012", 3},       {" 120010", 0},  {"0x20000", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Outcome out = ParseText(FN_SINGLE_ADDRESS_PARSER, c.text);
        EXPECT_EQ(out.result, NUV_REJECTED);
        ASSERT_EQ(out.log.size(), 1u);
        EXPECT_EQ(out.log[0], IllegalAt(c.position, c.text));
        EXPECT_EQ(out.gate.station, kUntouched);
        EXPECT_EQ(out.gate.memoryType, kUntouched);
        EXPECT_EQ(out.gate.itemAddress, kUntouched);
        EXPECT_EQ(out.gate.bitNumber, kUntouched);
        EXPECT_EQ(out.gate.valueWidth, kUntouched);
    }
}

TEST(AddressParse, RefusalShowsTheTextAsHandedIn) {
    const Outcome out = ParseText(FN_SINGLE_ADDRESS_PARSER, "0g2zz");
    ASSERT_EQ(out.log.size(), 1u);
    EXPECT_EQ(out.log[0], IllegalAt(1, "0g2zz"));  // not upper-cased, not padded

    // A long text is shown as far as it is examined: its first 11 characters.
    const Outcome longer = ParseText(FN_SINGLE_ADDRESS_PARSER, "0020001Xmore-than-eleven");
    ASSERT_EQ(longer.log.size(), 1u);
    EXPECT_EQ(longer.log[0], IllegalAt(7, "0020001Xmor"));
}

TEST(AddressParse, NibbleAddressFFFFIsIllegalForEveryType) {
    for (const char* text : {"002FFFF", "004FFFF", "008FFFF", "009FFFF"}) {
        SCOPED_TRACE(text);
        const Outcome out = ParseText(FN_BLOCK_ADDRESS_PARSER, text);
        EXPECT_EQ(out.result, NUV_REJECTED);
        EXPECT_EQ(out.log, std::vector<std::string>{"VAVE8> Parse() Illegal nibble address"});
        EXPECT_EQ(out.gate.station, 0);
        EXPECT_EQ(out.gate.memoryType, text[2]);
        EXPECT_EQ(out.gate.itemAddress, kUntouched);
        EXPECT_EQ(out.gate.bitNumber, kUntouched);
        EXPECT_EQ(out.gate.valueWidth, kUntouched);
    }
}

TEST(AddressParse, NibbleBoundaryLeavesUndividedAddress) {
    const struct {
        const char* text;
        const char* line;
        int32_t nibble, width;
    } cases[] = {
        {"0020001", "VAVE8> Parse() Nibble address should be 2 nibble boundary", 1, 16},
        {"0040002", "VAVE8> Parse() Nibble address should be 4 nibble boundary", 2, 16},
        {"0080004", "VAVE8> Parse() Nibble address should be 8 nibble boundary", 4, 32},
        {"009000C", "VAVE8> Parse() Nibble address should be 8 nibble boundary", 12, 32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Outcome out = ParseText(FN_SINGLE_ADDRESS_PARSER, c.text);
        EXPECT_EQ(out.result, NUV_REJECTED);
        EXPECT_EQ(out.log, std::vector<std::string>{c.line});
        EXPECT_EQ(out.gate.itemAddress, c.nibble);
        EXPECT_EQ(out.gate.bitNumber, -1);
        EXPECT_EQ(out.gate.valueWidth, c.width);
    }
}

TEST(SingleAddressParser, GateTypeMustSuitTheMemoryType) {
    const struct {
        const char* text;
        uint32_t gateType;
        const char* refusal;  // nullptr: accepted
    } cases[] = {
        {"0120010", 0, nullptr},
        {"0120010", 1, nullptr},
        {"0120010", 2, nullptr},
        {"0120010", 3, "VAVE8> SingleParse() Gate type should be 16-bit"},
        {"0120010", 6, "VAVE8> SingleParse() Gate type should be 16-bit"},
        {"0120010", 0xFFFFFFFFu, "VAVE8> SingleParse() Gate type should be 16-bit"},
        {"012001A3", 6, nullptr},
        {"012001A3", 0, "VAVE8> SingleParse() Gate type should be DIGITAL"},
        {"0390020", 3, nullptr},
        {"0390020", 4, "VAVE8> SingleParse() Gate type should be FLOAT"},
        {"0080010", 4, nullptr},
        {"0080010", 5, nullptr},
        {"0080010", 3, "VAVE8> SingleParse() Gate type should be 32-bit"},
        {"0040010", 3, nullptr},
        {"0040010", 6, nullptr},
        {"0040010", 99, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " type " + std::to_string(c.gateType));
        const Outcome out = ParseText(FN_SINGLE_ADDRESS_PARSER, c.text, c.gateType);
        if (c.refusal == nullptr) {
            EXPECT_EQ(out.result, NUV_OK);
            EXPECT_TRUE(out.log.empty());
        } else {
            EXPECT_EQ(out.result, NUV_REJECTED);
            EXPECT_EQ(out.log, std::vector<std::string>{c.refusal});
            EXPECT_NE(out.gate.valueWidth, kUntouched);  // all five written
        }
    }
}

TEST(BlockAddressParser, SizeLimitsAndDigitalGates) {
    const struct {
        const char* text;
        int32_t size;
        bool accepted;
    } cases[] = {
        {"0020000", 256, true}, {"0020000", 257, false}, {"0040000", 128, true},
        {"0040000", 129, false}, {"0080000", 64, true},  {"0080000", 65, false},
        {"0090000", 64, true},  {"0090000", 65, false},  {"0020000", 0, true},
        {"0020000", -1, true},  {"0090000", INT32_MIN, true}, {"0040000", INT32_MAX, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " size " + std::to_string(c.size));
        const Outcome out = ParseText(FN_BLOCK_ADDRESS_PARSER, c.text, 6, c.size);
        if (c.accepted) {
            EXPECT_EQ(out.result, NUV_OK);
            EXPECT_TRUE(out.log.empty());
        } else {
            EXPECT_EQ(out.result, NUV_REJECTED);
            EXPECT_EQ(out.log,
                      std::vector<std::string>{"VAVE8> BlockParse() block size out of range"});
        }
    }
    const Outcome digital = ParseText(FN_BLOCK_ADDRESS_PARSER, "012001A3", 6, 1);
    EXPECT_EQ(digital.result, NUV_REJECTED);
    EXPECT_EQ(digital.log,
              std::vector<std::string>{"VAVE8> BlockParse() digital gates not allowed as block"});
}

TEST(AddressParse, HostTextIsNeverChangedAndNullTextIsRefused) {
    char text[] = "0f40100";
    const Outcome out = ParseText(FN_SINGLE_ADDRESS_PARSER, text);
    EXPECT_EQ(out.result, NUV_OK);
    EXPECT_STREQ(text, "0f40100");

    const Outcome none = ParseText(FN_SINGLE_ADDRESS_PARSER, nullptr);
    EXPECT_EQ(none.result, NUV_REJECTED);
    EXPECT_EQ(none.log, std::vector<std::string>{IllegalAt(0, "")});
}

}  // namespace
