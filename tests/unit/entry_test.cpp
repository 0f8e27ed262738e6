// NuvMain's dispatch, the ended state and the driver's description.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/operations.h"
#include "support/log_capture.h"

namespace {

class Entry : public ::testing::Test {
protected:
    void TearDown() override { ClearEndedFlagForTesting(); }

    int32_t Call(uint32_t function, void* args = nullptr, DriverInstance* inst = nullptr) {
        NuvCall call{};
        call.instance = inst;
        call.function = function;
        call.args = args;
        return NuvMain(&call);
    }
};

TEST_F(Entry, EmptyAndOutOfRangeFunctionCodesFail) {
    DriverInstance inst{};
    GateParse gate{};
    for (uint32_t code : {0u, 8u, 9u, 16u, 17u, 100u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(code);
        LogCapture log;
        EXPECT_EQ(Call(code, &gate, &inst), NUV_FAILED);
        EXPECT_TRUE(log.lines().empty());
    }
    EXPECT_EQ(NuvMain(nullptr), NUV_FAILED);
}

TEST_F(Entry, GetNuvInfoFillsEveryField) {
    NuvInfo info;
    std::memset(&info, 0xEE, sizeof info);
    LogCapture log;
    EXPECT_EQ(Call(FN_GET_NUV_INFO, &info), NUV_OK);  // no instance needed
    EXPECT_EQ(log.lines(), (std::vector<LogLine>{{8, "VAVE8> GetNuvInfo() exited"}}));
    EXPECT_EQ(info.code, 70);
    EXPECT_STREQ(info.name, "Philips P8 PLC");
    EXPECT_EQ(info.instanceSize, 554);
    EXPECT_EQ(info.four, 4);
    EXPECT_EQ(info.defaults.baud, 9600);
    EXPECT_EQ(info.defaults.dataBits, 8);
    EXPECT_EQ(info.defaults.stopBits, 0);
    EXPECT_EQ(info.defaults.parity, 2);
    EXPECT_EQ(info.three, 3);

    // The banner, byte for byte, in code page 437.
    std::string expected = "\x08\n";
    expected += "\xC9" + std::string(57, '\xCD') + "\xBB\n";
    expected += "\xBA  VAVE8: Philips P8 PLC, PPCCOM-Protocol (32-bit driver) \xBA\n";
    expected += "\xC8" + std::string(57, '\xCD') + "\xBC";
    ASSERT_EQ(expected.size(), 181u);
    EXPECT_EQ(std::string(info.banner), expected);
}

TEST_F(Entry, MissingRecordsAreRefusedNotDereferenced) {
    DriverInstance inst{};
    const struct {
        uint32_t code;
        bool withInstance;
    } cases[] = {
        {FN_COLD_START, true},   {FN_COLD_START, false}, {FN_WARM_START, false},
        {FN_SINGLE_ADDRESS_PARSER, true}, {FN_BLOCK_ADDRESS_PARSER, true},
        {FN_SINGLE_READ, true},  {FN_BLOCK_READ, false}, {FN_SINGLE_WRITE, true},
        {FN_BLOCK_WRITE, true},  {FN_CLOSE_COM, false},  {FN_REOPEN_COM, false},
        {FN_GET_NUV_INFO, true}, {FN_CHANGE_NUV_PARAMS, true}, {FN_END_NUV, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        LogCapture log;
        EXPECT_EQ(Call(c.code, nullptr, c.withInstance ? &inst : nullptr), NUV_REJECTED);
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].text, "VAVE8> NuvMain() function " + std::to_string(c.code) +
                                           " called without its record");
    }
}

TEST_F(Entry, ResultsPassThroughUnchanged) {
    GateParse gate{};
    gate.address = "0330000";
    EXPECT_EQ(Call(FN_SINGLE_ADDRESS_PARSER, &gate), NUV_REJECTED);  // 1 passes as 1
}

TEST_F(Entry, AfterEndNuvEveryCallIsANoOpReturningZero) {
    DriverInstance inst{};
    {
        LogCapture log;
        EXPECT_EQ(Call(FN_END_NUV, nullptr, &inst), NUV_OK);
        EXPECT_EQ(log.texts(), (std::vector<std::string>{"VAVE8> CloseCom() exited 0",
                                                         "VAVE8> EndNuv() exited, 0"}));
    }
    LogCapture log;
    NuvInfo info;
    std::memset(&info, 0xEE, sizeof info);
    NuvInfo before = info;
    EXPECT_EQ(Call(FN_GET_NUV_INFO, &info), NUV_OK);
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
    for (uint32_t code : {0u, 1u, 5u, 11u, 16u, 17u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Call(code, nullptr, nullptr), NUV_OK);
    }
    EXPECT_EQ(NuvMain(nullptr), NUV_OK);  // the call block is not even read
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
