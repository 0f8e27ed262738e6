// vave8ctl as the engineer runs it: a child process with its own command
// line, loading the built driver module beside it. Exit codes and texts are
// what scripts and people rely on.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/tool/run_tool.h"

#if defined(TOOL_TEST_HAVE_SIM)
#include "sim/sim.h"
#endif

namespace {

using tooltest::Contains;
using tooltest::RunTool;
using tooltest::ToolRun;

struct CliCase {
    std::vector<std::string> args;
    int exitCode;
    const char* out;  // expected in stdout ("" for none)
    const char* err;  // expected in stderr ("" for none)
};

std::string Joined(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& a : args) text += (text.empty() ? "" : " ") + a;
    return text;
}

void Check(const CliCase& c) {
    const ToolRun run = RunTool(c.args);
    const std::string what =
        "vave8ctl " + Joined(c.args) + "\n--- stdout:\n" + run.out + "--- stderr:\n" + run.err;
    EXPECT_EQ(run.exitCode, c.exitCode) << what;
    EXPECT_TRUE(Contains(run.out, c.out)) << "expected in stdout: " << c.out << "\n" << what;
    EXPECT_TRUE(Contains(run.err, c.err)) << "expected in stderr: " << c.err << "\n" << what;
}

TEST(ToolCli, UsageErrorsExit64WithAReason) {
    const CliCase cases[] = {
        {{}, 64, "", "no command given"},
        {{"frob"}, 64, "", "unknown command 'frob'"},
        {{"info", "--bogus"}, 64, "", "unknown option '--bogus'"},
        {{"info", "-x"}, 64, "", "unknown option '-x'"},
        {{"read", "0340100", "--port"}, 64, "", "--port needs a value"},
        {{"open", "--port", "NUL", "--baud", "115200"}, 64, "", "1..65535"},
        {{"open", "--port", "NUL", "--baud", "96OO"}, 64, "", "'96OO' is not a number"},
        {{"open", "--port", "NUL", "--parity", "evn"}, 64, "", "not none, odd, even"},
        {{"open", "--port", "NUL", "--stop-bits", "3"}, 64, "", "not 1, 1.5 or 2"},
        {{"open", "--port", "NUL", "--data-bits", "9"}, 64, "", "5..8"},
        {{"open", "--port", "NUL", "--timeout", "-1"}, 64, "", "--timeout"},
        {{"open", "--port", "ttyUSB0123456"}, 64, "", "at most 11"},
        {{"open", "--port", "/dev/serial/by-id/x"}, 64, "", "at most 11"},
        {{"info", "--count", "3"}, 64, "", "--count does not apply to info"},
        {{"parse", "0340100", "--port", "NUL"}, 64, "", "--port does not apply to parse"},
        {{"read", "0340100"}, 64, "", "read needs --port"},
        {{"parse"}, 64, "", "missing argument"},
        {{"parse", "0340100", "0340104"}, 64, "", "too many arguments"},
        {{"write", "0340100", "--port", "NUL"}, 64, "", "missing argument"},
        {{"read", "0340100", "--count", "0", "--port", "NUL"}, 64, "", "--count"},
        {{"read", "0340100", "--count", "4", "--gate-type", "1", "--port", "NUL"},
         64,
         "",
         "--gate-type is for single gates"},
        {{"info", "--verbose=yes"}, 64, "", "--verbose takes no value"},
        // Values that cannot fit are refused before any port is opened.
        {{"write", "0340100", "70000", "--port", "NUL"}, 64, "", "not a word value"},
        {{"write", "012001A3", "2", "--port", "NUL"}, 64, "", "a bit takes 0 or 1"},
        {{"write", "0390020", "1e40", "--port", "NUL"}, 64, "", "out of range for a 32-bit float"},
        {{"write", "0340100", "1", "x", "--port", "NUL"}, 64, "", "value 2"},
        // A value left out is not taken from the next option.
        {{"read", "0340100", "--port", "--count", "3"},
         64,
         "",
         "--port needs a value, and '--count' is the next option"},
        {{"parse", "0340100", "--gate-type", "7"}, 64, "", "'7' is not a number in 0..6"},
        {{"parse", "0340100", "--block", "0"}, 64, "", "'0' is not a number in 1..65535"},
        // Blocks past the memory type's last item would wrap to item 0.
        {{"write", "034FFFC", "1", "2", "--port", "NUL"},
         64,
         "",
         "refused: the block of 2 items from item 16383 runs past item 16383 (0x3FFF)"},
        {{"read", "032FFFE", "--count", "2", "--port", "NUL"}, 64, "", "runs past item 32767"},
        {{"poll", "038FFF8", "--count", "2", "--port", "NUL"}, 64, "", "runs past item 8191"},
    };
    for (const CliCase& c : cases) Check(c);
}

TEST(ToolCli, HelpExplainsCommandsAndExitCodes) {
    for (const char* flag : {"--help", "-h", "help"}) {
        const ToolRun run = RunTool({flag});
        EXPECT_EQ(run.exitCode, 0) << flag;
        for (const char* part : {"Commands:", "Address text", "Exit codes:", "64  usage error",
                                 "Examples:", "--ticks N", "no limit"}) {
            EXPECT_TRUE(Contains(run.out, part)) << flag << " lacks " << part;
        }
    }
}

TEST(ToolCli, MissingModuleFailsWithExitTwo) {
    Check({{"info", "--module", "/nonexistent/libvave8.so"}, 2, "", "cannot load"});
}

TEST(ToolCli, InfoShowsTheDriversDescription) {
    Check({{"info"}, 0, "code            70", ""});
    const ToolRun run = RunTool({"info"});
    for (const char* part :
         {"name            Philips P8 PLC", "instance size   554 bytes", "value at 16     4",
          "value at 28     3", "9600 baud, 8 data bits, even parity, 1 stop bit", "╔═════",
          "║  VAVE8: Philips P8 PLC, PPCCOM-Protocol (32-bit driver) ║", "═════╝"}) {
        EXPECT_TRUE(Contains(run.out, part)) << part << "\n" << run.out;
    }
    EXPECT_FALSE(Contains(run.out, "\b")) << "the banner's backspace is dropped";
}

TEST(ToolCli, ParseShowsTheFiveResultsOrTheRefusal) {
    const CliCase cases[] = {
        {{"parse", "012001A3"},
         0,
         "gate type 6 (digital), natural for the memory type: 0 (ok)\n"
         "  station 1, memory type '2' (8-bit byte), item address 13 (0x000D), bit number 4 "
         "(digit 3), value width 16",
         ""},
        {{"parse", "0f40100"}, 0, "station 15, memory type '4'", ""},
        {{"parse", "0390020"},
         0,
         "item address 4 (0x0004), bit number -1 (whole item), value width 32",
         ""},
        {{"parse", "0340100", "--block", "128"},
         0,
         "BlockAddressParser '0340100', block of 128: 0",
         ""},
        {{"parse", "0390020", "--gate-type", "1"},
         1,
         ": 1 (refused)\n  [8] VAVE8> SingleParse() Gate type should be FLOAT",
         ""},
        {{"parse", "012001A3", "--block", "4"}, 1, "digital gates not allowed as block", ""},
        {{"parse", "0340100", "--block", "129"}, 1, "block size out of range", ""},
        {{"parse", "002FFFF"}, 1, "[8] VAVE8> Parse() Illegal nibble address", ""},
        {{"parse", "0330000"}, 1, "Illegal character 2 in '0330000'", ""},
        {{"parse", "--", "-340100"}, 1, "Illegal character 0 in '-340100'", ""},
    };
    for (const CliCase& c : cases) Check(c);
}

// What the driver takes without a word is said, and it still takes it.
TEST(ToolCli, WarnsOfWhatTheDriverPassesOver) {
    const CliCase cases[] = {
        {{"parse", "03401005"},
         0,
         "item address 64 (0x0040), bit number -1",
         "ignores character 7 ('5') (memory type '4' has no bit digit) and takes it as 0340100"},
        {{"parse", "032002004"}, 0, "bit number 7", "character 8 ('4') and takes it as 03200200"},
        {{"parse", "03200204ABC"},
         0,
         "bit number 3",
         "characters 8 ('A'), 9 ('B'), 10 ('C') and takes it as 03200204"},
        {{"parse", "0340100", "--gate-type", "3"},
         0,
         "gate type 3 (float): 0 (ok)",
         "gate type 3 (float) does not suit memory type '4' (16-bit word)"},
        {{"parse", "034FFFC", "--block", "2"}, 0, "block of 2: 0 (ok)", "warning: the block of 2"},
        {{"write", "0390200", "1e-50", "--port", "NUL", "--ticks", "1"},
         2,
         "0 (0x00000000)",
         "'1e-50' is too small for a 32-bit float: 0 is stored"},
        {{"write", "0390200", "16777217", "--port", "NUL", "--ticks", "1"},
         2,
         "16777216 (0x4B800000)",
         "stored as 16777216, the nearest 32-bit float"},
    };
    for (const CliCase& c : cases) Check(c);
    const ToolRun clean = RunTool({"parse", "0390200"});
    EXPECT_EQ(clean.err, "") << "a plain address draws no warning";
}

TEST(ToolCli, VerboseShowsEveryDriverLineWithItsLevel) {
    const ToolRun run = RunTool({"parse", "0340100", "--verbose"});
    EXPECT_EQ(run.exitCode, 0);
    for (const char* part : {"  [8] VAVE8> GetNuvInfo() exited", "  [8] VAVE8> version compiled on",
                             "  [8] VAVE8> EndNuv() exited, 0"}) {
        EXPECT_TRUE(Contains(run.out, part)) << part << "\n" << run.out;
    }
}

TEST(ToolCli, OpenOnTheNullDevice) {
    Check({{"open", "--port", "NUL"},
           0,
           "  [8] VAVE8> installation OK!\nWarmStart: 0 (ok)\n  [8] VAVE8> WarmStart()\n"
           "CloseCom: 0 (ok)\n  [8] VAVE8> CloseCom() exited 0",
           ""});
    Check({{"open", "--port", "NUL", "--ticks", "0"},
           0,
           "timeout 0 ticks",
           "blocks this call for ever"});
}

// The driver's line stays; the tool adds the operating system's reason,
// and closes nothing that never opened.
TEST(ToolCli, PortsThatDoNotOpenSayWhy) {
    const CliCase cases[] = {
        {{"open", "--port", "ttyNOPE9"},
         2,
         "[32] VAVE8> OpenCom() open COM port failed",
         "/dev/ttyNOPE9: no such device"},
        {{"open", "--port", "/dev/null"}, 2, "ColdStart on /dev/null", "not a serial port"},
        {{"open", "--port", "../bin/sh"}, 2, "", "a regular file, not a serial port"},
        {{"open", "--port", "../tmp"}, 2, "", "a directory, not a serial port"},
    };
    for (const CliCase& c : cases) Check(c);
    const ToolRun run = RunTool({"open", "--port", "ttyNOPE9", "--verbose"});
    EXPECT_FALSE(Contains(run.out, "CloseCom")) << run.out;
}

TEST(ToolCli, ReadFromTheNullDeviceFailsAfterThreeAttempts) {
    // The null device never answers: three attempts of 10 ms each.
    const ToolRun run = RunTool({"read", "0340100", "--port", "NUL", "--ticks", "1"});
    EXPECT_EQ(run.exitCode, 2) << run.out;
    EXPECT_TRUE(Contains(run.out, "SingleRead: 2 (failed)")) << run.out;
    EXPECT_TRUE(Contains(run.out, "Read reply error retry 3")) << run.out;
    EXPECT_TRUE(Contains(run.out, "[8] VAVE8> Single Read() , ret val is 2")) << run.out;
}

#if defined(TOOL_TEST_HAVE_SIM)

// Station 3 of the simulated PLC, prefilled.
class ToolOnSimulatedPlc : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(sim_.Start(&error)) << error;
        port_ = sim_.Path();
        if (port_.rfind("/dev/", 0) == 0) port_.erase(0, 5);
        sim_.WriteMemory(3, 0x0080, {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC});  // words from item 64
        sim_.WriteMemory(3, 0x0010, {0x41});                                // byte, item 16
        sim_.WriteMemory(3, 0x0100, {0x40, 0x49, 0x0F, 0xD0});              // 3.14159, item 64
        sim_.WriteMemory(3, 0x0180, {0xFF, 0xFF, 0xFF, 0xFE});              // -2, item 96
    }
    void TearDown() override { sim_.Stop(); }

    // The command on the simulated line, with a generous read time limit that
    // a later --ticks in `args` overrides.
    std::vector<std::string> On(const std::vector<std::string>& args) const {
        std::vector<std::string> all = {"--port", port_, "--ticks", "50"};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }

    std::vector<uint8_t> Memory(uint32_t byteAddress, size_t n) const {
        return sim_.ReadMemory(3, byteAddress, n);
    }

    p8sim::Simulator sim_;
    std::string port_;
};

TEST_F(ToolOnSimulatedPlc, ReadsShowValuesAsTheirMemoryType) {
    const CliCase cases[] = {
        {On({"read", "0340100"}), 0, "item    64 (0x0040)  4660 (0x1234)\n", ""},
        {On({"read", "0340100", "--count", "3"}), 0,
         "item    64 (0x0040)  4660 (0x1234)\n  item    65 (0x0041)  22136 (0x5678)\n"
         "  item    66 (0x0042)  39612 (0x9ABC)\n",
         ""},
        {On({"read", "0320020"}), 0, "item    16 (0x0010)  65 (0x41)\n", ""},
        {On({"read", "03200201"}), 0, "item    16 (0x0010)  1\n", ""},
        {On({"read", "03200202"}), 0, "item    16 (0x0010)  0\n", ""},
        {On({"read", "0390200"}), 0, "3.14159 (0x40490FD0)\n", ""},
        {On({"read", "0380300"}), 0, "-2 (0xFFFFFFFE)\n", ""},
        {On({"read", "0320020", "--count", "300"}), 1, "block size out of range", ""},
    };
    for (const CliCase& c : cases) Check(c);
}

TEST_F(ToolOnSimulatedPlc, WritesReachPlcMemory) {
    struct Case {
        std::vector<std::string> args;
        uint32_t byteAddress;
        std::vector<uint8_t> expected;
    } const cases[] = {
        {{"write", "0340104", "0x1092"}, 0x82, {0x10, 0x92}},
        {{"write", "0340104", "-2"}, 0x82, {0xFF, 0xFE}},
        {{"write", "0320022", "255"}, 0x11, {0xFF}},
        {{"write", "0390208", "-0.5"}, 0x104, {0xBF, 0x00, 0x00, 0x00}},
        {{"write", "0390208", "0x7FC00000"}, 0x104, {0x7F, 0xC0, 0x00, 0x00}},
        {{"write", "0380308", "0x01020304"}, 0x184, {0x01, 0x02, 0x03, 0x04}},
        {{"write", "0340110", "1", "2", "0xFFFF"}, 0x88, {0x00, 0x01, 0x00, 0x02, 0xFF, 0xFF}},
        // A bit write changes that bit alone: 0x41 with bit number 3 set.
        {{"write", "03200204", "1"}, 0x10, {0x49}},
        {{"write", "03200204", "0"}, 0x10, {0x41}},
    };
    for (const Case& c : cases) {
        const ToolRun run = RunTool(On(c.args));
        EXPECT_EQ(run.exitCode, 0) << Joined(c.args) << "\n" << run.out << run.err;
        EXPECT_EQ(Memory(c.byteAddress, c.expected.size()), c.expected) << Joined(c.args);
    }
}

TEST_F(ToolOnSimulatedPlc, PlcErrorsFailWithTheirLogTrail) {
    p8sim::Fault refused;
    refused.kind = p8sim::FaultKind::kError;
    refused.param = 0x01;
    sim_.PushFault(refused);
    Check({On({"read", "0340100"}), 2,
           "SingleRead: 2 (failed)\n  [8] VAVE8> DoBlockRead() Recieved ERROR block 0x01 retry 1\n"
           "  [8] VAVE8> DoBlockRead() , ret val is 2\n  [8] VAVE8> Single Read() , ret val is 2",
           ""});

    // A retried error and a success: exit 0, the retry visible with --verbose.
    refused.param = 0x0C;
    sim_.PushFault(refused);
    Check({On({"read", "0340100", "--verbose"}), 0,
           "  [8] VAVE8> DoBlockRead() Recieved ERROR block 0x0c retry 1\n  -> 0 (ok)", ""});
}

TEST_F(ToolOnSimulatedPlc, TraceDecodesTheBlocksLeftInTheInstance) {
    Check({On({"read", "0340100", "--count", "2", "--trace"}), 0,
           "  trace request: READ (0xA2), station 3, nibbles 0x0100..0x0107 = 2 items of '4' from "
           "item 64\n  trace reply:   DATA (type 3), 4 bytes: 12 34 56 78",
           ""});
    Check({On({"write", "0340104", "7", "--trace"}), 0,
           "  trace request: WRITE (0xA1), station 3, nibbles 0x0104..0x0107 = 1 item of '4' from "
           "item 65, data 00 07\n  trace reply:   DONE (type 0)",
           ""});
    p8sim::Fault silence;
    silence.kind = p8sim::FaultKind::kSilence;
    for (int i = 0; i < 3; ++i) sim_.PushFault(silence);
    Check(
        {On({"read", "0340100", "--ticks", "5", "--trace"}), 2, "trace reply:   none stored", ""});
}

TEST_F(ToolOnSimulatedPlc, APortLockedByAnotherProgramIsNamedInUse) {
    const int held = open(("/dev/" + port_).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    Check({On({"open"}), 2, "OpenCom() open COM port failed", "in use by another program"});
    close(held);
}

TEST_F(ToolOnSimulatedPlc, PollPrintsChangesOnlyAndATally) {
    const ToolRun run = RunTool(On({"poll", "0340100", "--times", "3", "--interval", "10"}));
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.out.find("4660 (0x1234)"), run.out.rfind("4660 (0x1234)"))
        << "an unchanged value is printed once\n"
        << run.out;
    EXPECT_TRUE(Contains(run.out, "reads 3: good 3, failed 0; latency last")) << run.out;
    EXPECT_TRUE(Contains(run.out, " ms, median ")) << run.out;

    // A value that changes while polling shows up; Ctrl-C ends with the tally.
    bool changed = false;
    bool interrupted = false;
    const ToolRun watched = RunTool(On({"poll", "0340100", "--interval", "20"}), 30000,
                                    [&](const std::string& out, const std::string&, pid_t child) {
                                        if (!changed && Contains(out, "4660 (0x1234)")) {
                                            sim_.WriteMemory(3, 0x0080, {0x00, 0x2A});
                                            changed = true;
                                        }
                                        if (!interrupted && Contains(out, "42 (0x002A)")) {
                                            kill(child, SIGINT);
                                            interrupted = true;
                                        }
                                    });
    EXPECT_EQ(watched.exitCode, 0) << watched.out << watched.err;
    EXPECT_TRUE(interrupted) << watched.out;
    EXPECT_TRUE(Contains(watched.out, "failed 0")) << watched.out;
    EXPECT_TRUE(Contains(watched.out, "(stopped)")) << watched.out;
}

TEST_F(ToolOnSimulatedPlc, PollCountsFailuresAndExitsTwo) {
    p8sim::Fault silence;
    silence.kind = p8sim::FaultKind::kSilence;
    for (int i = 0; i < 3; ++i) sim_.PushFault(silence);
    const ToolRun run =
        RunTool(On({"poll", "0340100", "--times", "2", "--interval", "0", "--ticks", "5"}));
    EXPECT_EQ(run.exitCode, 2) << run.out;
    EXPECT_TRUE(Contains(run.out, "read failed: 2 (failed)")) << run.out;
    EXPECT_TRUE(Contains(run.out, "reads 2: good 1, failed 1")) << run.out;
}

// Ctrl-C while a read waits on a silent station: the first lets that read
// end and counts it; with no time limit the read never ends, and the second
// ends the tool at once.
TEST_F(ToolOnSimulatedPlc, CtrlCCountsTheReadUnderWayOrEndsAtOnce) {
    sim_.SetPresent(0x0001);  // station 5 stays silent
    const struct {
        const char* ticks;
        int signals;  // Ctrl-C pressed, each once the tool shows it took the last
        int exitCode;
        const char* out;
        const char* err;
    } cases[] = {
        {"20", 1, 2, "reads 1: good 0, failed 1", "stopping after the read under way"},
        {"0", 2, 130, "Polling every", "stopped during a read; reads 0: good 0, failed 0"},
    };
    for (const auto& c : cases) {
        int signals = 0;
        const ToolRun run =
            RunTool(On({"poll", "0540100", "--ticks", c.ticks}), 30000,
                    [&](const std::string& out, const std::string& err, pid_t child) {
                        const bool next = signals == 0 ? Contains(out, "Polling every")
                                                       : Contains(err, "stopping after");
                        if (signals < c.signals && next) {
                            kill(child, SIGINT);
                            ++signals;
                        }
                    });
        EXPECT_EQ(run.exitCode, c.exitCode) << c.ticks << "\n" << run.out << run.err;
        EXPECT_TRUE(Contains(run.out, c.out)) << run.out;
        EXPECT_TRUE(Contains(run.err, c.err)) << run.err;
    }
}

TEST_F(ToolOnSimulatedPlc, PollHoldsTheLineAfterAnAttemptTimedOut) {
    // Attempt 1 is answered past the limit and attempt 2 takes that reply:
    // attempt 2's own reply may still come, so the next read waits the guard.
    std::string error;
    ASSERT_TRUE(sim_.AddFaults("1:late=150", &error)) << error;
    const auto start = std::chrono::steady_clock::now();
    const ToolRun run = RunTool(On({"poll", "0340100", "--times", "2", "--interval", "0",
                                    "--ticks", "10", "--late-guard", "1500"}));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "reads 2: good 2, failed 0")) << run.out;
    EXPECT_GE(took, std::chrono::milliseconds(1500));
    EXPECT_EQ(RunTool(On({"poll", "0340100", "--late-guard", "-1"})).exitCode, 64);
}

TEST(ToolDemo, RunsEndToEndAndChecksEveryStep) {
    const ToolRun run = RunTool({"demo"}, 60000);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    for (const char* part :
         {"║  VAVE8: Philips P8 PLC", "    [8] VAVE8> installation OK!",
          "item 73 (0x0049)  1000 (0x03E8)", "The PLC byte after setting: 0x49",
          "value 3.14159 (0x40490FD0)",
          "    [8] VAVE8> DoBlockRead() Recieved ERROR block 0x0c retry 1",
          "    [8] VAVE8> DoBlockRead() Read reply error retry 3",
          "    [8] VAVE8> EndNuv() exited, 0", "every step gave what it should"}) {
        EXPECT_TRUE(Contains(run.out, part)) << part << "\n" << run.out;
    }
    const ToolRun traced = RunTool({"demo", "--trace"}, 60000);
    EXPECT_EQ(traced.exitCode, 0) << traced.out << traced.err;
    EXPECT_TRUE(Contains(traced.out, "plc> ")) << "the simulated PLC's frame trace";
    EXPECT_TRUE(Contains(traced.out, "trace request: WRITE (0xA1)")) << traced.out;
}

#endif

}  // namespace
