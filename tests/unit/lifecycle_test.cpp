// Connection lifecycle over the in-memory line: the port the driver opens,
// how it is configured, flushed, closed and replaced, and a whole road from
// ColdStart to values in the host's area.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "driver/operations.h"
#include "tests/support/memline.h"

namespace {

using Lines = std::vector<std::string>;

class LifecycleTest : public ::testing::Test {
protected:
    void SetUp() override {
        memline::Reset();
        ClearEndedFlagForTesting();
        std::memset(&inst, 0, sizeof inst);
        inst.portHandle = 0xDEAD;  // whatever the host's storage held
    }
    void TearDown() override { ClearEndedFlagForTesting(); }

    int32_t Call(uint32_t function, void* args = nullptr) {
        NuvCall call{};
        call.instance = &inst;
        call.function = function;
        call.args = args;
        return NuvMain(&call);
    }

    int32_t Start(const char* name, int32_t open = 1, int32_t ticks = 50) {
        StartParams start{};
        std::strncpy(start.portName, name, sizeof start.portName - 1);
        start.openFlag = open;
        start.timeoutTicks = ticks;
        start.line = LineParams{19200, 8, 0, 2};
        return Call(FN_COLD_START, &start);
    }

    DriverInstance inst{};
    memline::LogCapture log;
};

TEST_F(LifecycleTest, ColdStartOpensAndConfiguresThePort) {
    ASSERT_EQ(Start("COM3"), 0);
    ASSERT_NE(inst.portHandle, 0u);
    EXPECT_TRUE(memline::IsOpen(inst.portHandle));
    EXPECT_EQ(memline::PortName(inst.portHandle), "COM3");
    EXPECT_EQ(memline::LineFlags(inst.portHandle), 0x0303);
    EXPECT_EQ(memline::Line(inst.portHandle).baud, 19200);
    EXPECT_EQ(memline::ReadLimitMs(inst.portHandle), 500u);
    EXPECT_EQ(inst.timeoutTicks, 50);
    ASSERT_EQ(log.Lines().size(), 3u);
    EXPECT_EQ(log.Texts()[1],
              "VAVE8> OpenCom() exited OK, file handle " + std::to_string(inst.portHandle));
    EXPECT_EQ(log.Texts()[2], "VAVE8> installation OK!");
}

TEST_F(LifecycleTest, ColdStartWithoutAPortLeavesReadsRefused) {
    ASSERT_EQ(Start("COM3", 0), 0);
    EXPECT_EQ(inst.portHandle, 0u);
    EXPECT_EQ(memline::OpenCount(), 0u);
    EXPECT_EQ(log.Lines().size(), 1u) << "only the version line";

    std::array<uint8_t, 8> value{};
    GateTransfer gate{};
    gate.memoryType = '4';
    gate.bitNumber = -1;
    gate.value = value.data();
    EXPECT_EQ(Call(FN_SINGLE_READ, &gate), 1);
    EXPECT_EQ(memline::WriteCalls(), 0u);
}

TEST_F(LifecycleTest, MissingPortFailsAtLevel32) {
    EXPECT_EQ(Start("MISSING7"), 2);
    EXPECT_EQ(inst.portHandle, 0u);
    const std::vector<memline::LogLine>& lines = log.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].text, "VAVE8> OpenCom() open COM port failed");
    EXPECT_EQ(lines[1].level, 32);
    EXPECT_EQ(lines[2].text, "VAVE8> ColdStart() error opening COM port");
    EXPECT_EQ(lines[2].level, 32);
}

TEST_F(LifecycleTest, NullDeviceOpensWithoutConfiguration) {
    ASSERT_EQ(Start("NUL"), 0);
    EXPECT_NE(inst.portHandle, 0u);
    EXPECT_EQ(memline::LineFlags(inst.portHandle), 0);
    EXPECT_EQ(log.Texts().back(), "VAVE8> installation OK!");
}

TEST_F(LifecycleTest, WarmStartDropsWhatHasArrived) {
    ASSERT_EQ(Start("COM3"), 0);
    memline::Queue({1, 2, 3});
    memline::Queue({4}, 5000);  // not yet on the line
    EXPECT_EQ(Call(FN_WARM_START), 0);
    EXPECT_EQ(memline::Pending(), 1u);
    EXPECT_EQ(log.Texts().back(), "VAVE8> WarmStart()");
}

TEST_F(LifecycleTest, CloseTwiceAndFailedCloseKeepsTheHandle) {
    ASSERT_EQ(Start("COM3"), 0);
    const uint32_t handle = inst.portHandle;
    log.Clear();
    memline::FailNextClose();
    EXPECT_EQ(Call(FN_CLOSE_COM), 2);
    EXPECT_EQ(inst.portHandle, handle);
    EXPECT_EQ(Call(FN_CLOSE_COM), 0);
    EXPECT_EQ(inst.portHandle, 0u);
    EXPECT_FALSE(memline::IsOpen(handle));
    EXPECT_EQ(Call(FN_CLOSE_COM), 0);
    EXPECT_EQ(log.Texts(), (Lines{"VAVE8> CloseCom() exited 2", "VAVE8> CloseCom() exited 0",
                                  "VAVE8> CloseCom() exited 0"}));
}

TEST_F(LifecycleTest, ReOpenAfterCloseUsesTheStoredSettings) {
    ASSERT_EQ(Start("COM3", 1, 20), 0);
    ASSERT_EQ(Call(FN_CLOSE_COM), 0);
    ASSERT_EQ(Call(FN_REOPEN_COM), 0);
    EXPECT_EQ(memline::PortName(inst.portHandle), "COM3");
    EXPECT_EQ(memline::ReadLimitMs(inst.portHandle), 200u);
    EXPECT_EQ(log.Texts().back(), "VAVE8> ReOpenCom() exited 0");
}

TEST_F(LifecycleTest, ChangeParamsKeepsTimeoutAndLineWhenAsked) {
    ASSERT_EQ(Start("COM3", 1, 30), 0);
    NuvParams params{};
    std::strncpy(params.portName, "COM4", sizeof params.portName - 1);
    params.timeoutTicks = -1;
    params.line.baud = 0;
    ASSERT_EQ(Call(FN_CHANGE_NUV_PARAMS, &params), 0);
    EXPECT_EQ(memline::OpenCount(), 1u) << "the old port was closed";
    EXPECT_EQ(memline::PortName(inst.portHandle), "COM4");
    EXPECT_EQ(memline::Line(inst.portHandle).baud, 19200);
    EXPECT_EQ(memline::ReadLimitMs(inst.portHandle), 300u);
}

TEST_F(LifecycleTest, EndNuvClosesAndEndsTheModule) {
    ASSERT_EQ(Start("COM3"), 0);
    const uint32_t handle = inst.portHandle;
    EXPECT_EQ(Call(FN_END_NUV), 0);
    EXPECT_FALSE(memline::IsOpen(handle));
    EXPECT_EQ(log.Texts().back(), "VAVE8> EndNuv() exited, 0");
    const size_t lines = log.Lines().size();
    EXPECT_EQ(Start("COM3"), 0);
    EXPECT_EQ(memline::OpenCount(), 0u) << "an ended module does nothing";
    EXPECT_EQ(log.Lines().size(), lines);
}

TEST_F(LifecycleTest, FromColdStartToValues) {
    memline::Plc plc;
    plc.Serve();
    // "0340100": ten words of station 3 from nibble 0x0100.
    for (size_t i = 0; i < 20; ++i) plc.memory[0x80 + i] = static_cast<uint8_t>(0xA0 + i);
    ASSERT_EQ(Start("COM3"), 0);

    std::array<uint8_t, 40> value{};
    GateTransfer gate{};
    gate.station = 3;
    gate.memoryType = '4';
    gate.itemAddress = 0x40;
    gate.bitNumber = -1;
    gate.count = 10;
    gate.value = value.data();
    ASSERT_EQ(Call(FN_BLOCK_READ, &gate), 0);
    ASSERT_EQ(memline::Requests().size(), 1u);
    EXPECT_EQ(memline::Requests()[0].block, (memline::Bytes{0xA2, 0x03, 0x01, 0x00, 0x01, 0x27}));
    EXPECT_EQ(value[0], 0xA1);  // little-endian slot of 0xA0A1
    EXPECT_EQ(value[1], 0xA0);
    EXPECT_EQ(value[19], 0xB2);
    EXPECT_EQ(value[20], 0x00);
}

}  // namespace
