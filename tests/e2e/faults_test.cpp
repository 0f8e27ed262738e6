// The attempt rule against every fault the simulated PLC can make, with the
// log trail from the inside out and the requests the PLC saw; replies that no
// PLC would send come from a far end the test plays itself.
#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

// A word at station 1, nibble 0x0100 (byte 0x80), and bit 3 of its first byte.
constexpr char kWord[] = "0140100";
constexpr char kBit3[] = "01201004";
const Bytes kHeld = {0xBE, 0xEF};

enum class Op { Read, Write, BitWrite };

std::vector<std::string> ReadFailed() {
    return {"VAVE8> DoBlockRead() , ret val is 2", "VAVE8> Single Read() , ret val is 2"};
}
std::vector<std::string> WriteFailed() {
    return {"VAVE8> DoBlockWrite() , ret val is 2", "VAVE8> Single Write() , ret val is 2"};
}
std::vector<std::string> Silent(const std::string& transaction) {
    return Cat({SilentAttempt(transaction, 1), SilentAttempt(transaction, 2),
                SilentAttempt(transaction, 3)});
}

struct FaultCase {
    const char* name;
    const char* script;  // for the PLC's fault plan
    Op op;
    int32_t result;
    uint64_t requests;
    uint16_t slot;                   // the slot at offset 2 afterwards
    Bytes memory;                    // the PLC's bytes 0x80 and 0x81 afterwards
    std::vector<std::string> trail;  // all at level 8
    bool absent = false;             // station 1 does not answer at all
    int32_t ticks = kTicks;          // the read time limit
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

const Bytes kWritten = {0x13, 0x57};
const Bytes kBitCleared = {0xB6, 0xEF};

std::string ReadLine(const std::string& what) {
    return "VAVE8> DoBlockRead() " + what;
}
std::string WriteLine(const std::string& what) {
    return "VAVE8> DoBlockWrite() " + what;
}

// clang-format off
const FaultCase kCases[] = {
    // Reads: 0xAAAA is the slot untouched, 0xBEEF the PLC's value.
    {"busy_every_time", "*:error=0x0C", Op::Read, NUV_FAILED, 3, 0xAAAA, kHeld,
     Cat({{ReadLine("Recieved ERROR block 0x0c retry 1"),
           ReadLine("Recieved ERROR block 0x0c retry 2"),
           ReadLine("Recieved ERROR block 0x0c retry 3")}, ReadFailed()})},
    {"retry_code_then_data", "1:error=0x25", Op::Read, NUV_OK, 2, 0xBEEF, kHeld,
     {ReadLine("Recieved ERROR block 0x25 retry 1")}},
    {"final_code", "1:error=0x0A", Op::Read, NUV_FAILED, 1, 0xAAAA, kHeld,
     Cat({{ReadLine("Recieved ERROR block 0x0a retry 1")}, ReadFailed()})},
    {"unknown_then_data", "1:unknown=0x07", Op::Read, NUV_OK, 2, 0xBEEF, kHeld,
     {ReadLine("Recieved UNKNOWN block 0x07 retry 1")}},
    {"done_answers_read", "1:wrongtype", Op::Read, NUV_OK, 2, 0xBEEF, kHeld,
     {ReadLine("Recieved UNKNOWN block 0x00 retry 1")}},
    {"bad_crc", "1:crc", Op::Read, NUV_OK, 2, 0xBEEF, kHeld,
     {"VAVE8> Recieve() CRC check failed", ReadLine("Read reply error retry 1")}},
    {"garbage_first", "1:garbage=300", Op::Read, NUV_OK, 1, 0xBEEF, kHeld, {}},
    {"lone_start", "1:lonestart", Op::Read, NUV_OK, 2, 0xBEEF, kHeld,
     {kGetChar, kNoSecond, kGetChar, kNoStart, ReadLine("Read reply error retry 1")}},
    {"empty_frame", "1:empty", Op::Read, NUV_OK, 2, 0xBEEF, kHeld,
     {ReadLine("Recieved short block, length 0 retry 1")}},
    {"short_data", "1:short=1", Op::Read, NUV_OK, 2, 0xBEEF, kHeld,
     {ReadLine("Recieved short block, length 3 retry 1")}},
    {"short_every_time", "*:short=2", Op::Read, NUV_FAILED, 3, 0xAAAA, kHeld,
     Cat({{ReadLine("Recieved short block, length 2 retry 1"),
           ReadLine("Recieved short block, length 2 retry 2"),
           ReadLine("Recieved short block, length 2 retry 3")}, ReadFailed()})},
    // A 20 ms pause against 300 ms: a late wake-up cannot push it past.
    {"split_within_limit", "1:split=20", Op::Read, NUV_OK, 1, 0xBEEF, kHeld, {}, false, 30},
    {"undoubled_start_pair", "1:undoubled", Op::Read, NUV_OK, 2, 0xBEEF, kHeld,
     {"VAVE8> Recieve() error in reading data part message",
      ReadLine("Read reply error retry 1")}},
    {"silence", "*:silence", Op::Read, NUV_FAILED, 3, 0xAAAA, kHeld,
     Cat({Silent("DoBlockRead"), ReadFailed()})},
    {"station_absent", "", Op::Read, NUV_FAILED, 3, 0xAAAA, kHeld,
     Cat({Silent("DoBlockRead"), ReadFailed()}), true},

    // Writes of 0x1357: the slot keeps it; the PLC has it when it said so.
    {"write_busy_then_done", "1:error=0x0C", Op::Write, NUV_OK, 2, 0x1357, kWritten,
     {WriteLine("Recieved ERROR block 0x0c retry 1")}},
    {"write_final_code", "1:error=0x01", Op::Write, NUV_FAILED, 1, 0x1357, kHeld,
     Cat({{WriteLine("Recieved ERROR block 0x01 retry 1")}, WriteFailed()})},
    {"data_answers_write", "1:wrongtype", Op::Write, NUV_OK, 2, 0x1357, kWritten,
     {WriteLine("Recieved UNKNOWN block 0x03 retry 1")}},
    {"write_reply_lost", "1:taken", Op::Write, NUV_OK, 2, 0x1357, kWritten,
     {kGetChar, kNoStart, WriteLine("Read reply error retry 1")}},
    {"write_silence", "*:silence", Op::Write, NUV_FAILED, 3, 0x1357, kHeld,
     Cat({Silent("DoBlockWrite"), WriteFailed()})},

    // Clearing bit 3 of 0xBE: the PLC gets 0xB6 only after a good read-back,
    // and the slot ends as the byte to write, 0, either way.
    {"bit_readback_silent", "*:silence", Op::BitWrite, NUV_FAILED, 3, 0, kHeld,
     Cat({Silent("DoBlockRead"), ReadFailed(), WriteFailed()})},
    {"bit_readback_retried", "1:crc", Op::BitWrite, NUV_OK, 3, 0, kBitCleared,
     {"VAVE8> Recieve() CRC check failed", ReadLine("Read reply error retry 1")}},
    {"bit_write_refused", "2:error=0x01", Op::BitWrite, NUV_FAILED, 2, 0, kHeld,
     Cat({{WriteLine("Recieved ERROR block 0x01 retry 1")}, WriteFailed()})},
};
// clang-format on

class E2eFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(E2eFaults, AttemptRuleAndLogTrail) {
    const FaultCase& c = GetParam();
    Plc plc;
    ASSERT_TRUE(plc.Started()) << plc.Error();
    plc.sim.WriteMemory(1, 0x80, kHeld);
    std::string error;
    ASSERT_TRUE(plc.sim.AddFaults(c.script, &error)) << error;
    if (c.absent) plc.sim.SetPresent(static_cast<uint16_t>(~(1u << 1)));
    Host host;
    ASSERT_EQ(host.ColdStart(plc.Port(), c.ticks), NUV_OK);

    Gate gate = host.Parse(c.op == Op::BitWrite ? kBit3 : kWord, c.op == Op::BitWrite ? 6 : 0);
    const int32_t bit = gate.transfer.bitNumber;
    gate.SetSlot16(2, c.op == Op::Read ? 0xAAAA : c.op == Op::Write ? 0x1357 : 0);
    LogCapture log;
    EXPECT_EQ(host.Run(c.op == Op::Read ? FN_SINGLE_READ : FN_SINGLE_WRITE, gate), c.result);
    EXPECT_EQ(Trail(log), At8(c.trail));
    EXPECT_EQ(gate.Slot16(2), c.slot);
    EXPECT_EQ(gate.Slot16(0), 0xAAAA);
    EXPECT_EQ(gate.transfer.bitNumber, bit);
    EXPECT_EQ(plc.Requests(c.requests).size(), c.requests);
    EXPECT_EQ(plc.sim.ReadMemory(1, 0x80, 2), c.memory);
    if (c.op == Op::BitWrite && c.result != NUV_OK && c.requests == 3) {
        for (const Bytes& request : plc.Requests(3)) {
            EXPECT_EQ(request[0], 0xA2) << "no write went out";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Plc, E2eFaults, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return std::string(param.param.name); });

// Two words at station 1: A at byte 0x80, B at byte 0x82.
constexpr char kWordA[] = "0140100";
constexpr char kWordB[] = "0140104";

struct TwoWords {
    Plc plc;
    Host host;

    bool Start(int32_t ticks) {
        plc.sim.WriteMemory(1, 0x80, {0xAA, 0xA1, 0xBB, 0xB2});
        return plc.Started() && host.ColdStart(plc.Port(), ticks) == NUV_OK;
    }
    int32_t Read(const char* address, uint16_t* slot) {
        Gate gate = host.Parse(address, 0);
        const int32_t result = host.Run(FN_SINGLE_READ, gate);
        *slot = gate.Slot16(2);
        return result;
    }
};

TEST(E2eLateReply, WithinTheNextAttemptItCounts) {
    TwoWords line;
    // Read limit 300 ms; the answer to the first request comes at 450 ms,
    // while the second attempt waits.
    ASSERT_TRUE(line.plc.sim.AddFaults("1:late=450"));
    ASSERT_TRUE(line.Start(30));
    LogCapture log;
    uint16_t slot = 0;
    EXPECT_EQ(line.Read(kWordA, &slot), NUV_OK);
    EXPECT_EQ(slot, 0xAAA1);
    EXPECT_EQ(Trail(log), At8(SilentAttempt("DoBlockRead", 1)));

    // The answer to the second request came in behind it, into the port's
    // queue or already into its read-ahead: it must not answer the next read.
    ASSERT_EQ(line.plc.Requests(2).size(), 2u);
    const int answer = static_cast<int>(p8sim::EncodeFrame({3, 1, 0xAA, 0xA1}).size());
    ASSERT_EQ(line.plc.sim.GetCounters().bytes_out, 2u * static_cast<unsigned>(answer));
    HandOver(line.host.Fd());
    log.clear();
    EXPECT_EQ(line.Read(kWordB, &slot), NUV_OK);
    EXPECT_EQ(slot, 0xBBB2);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(line.plc.Requests(3).size(), 3u);
}

TEST(E2eLateReply, AfterTheTransactionGaveUpItNeverAnswersTheNext) {
    TwoWords line;
    // Read limit 100 ms: all three attempts are over long before 600 ms,
    // and the read after them has as long as any other for its answer.
    ASSERT_TRUE(line.plc.sim.AddFaults("1:late=600"));
    ASSERT_TRUE(line.Start(kTicks));
    LogCapture log;
    uint16_t slot = 0;
    EXPECT_EQ(line.Read(kWordA, &slot), NUV_FAILED);
    EXPECT_EQ(Trail(log), At8(Cat({Silent("DoBlockRead"), ReadFailed()})));

    // Three answers to A arrive after the driver gave up on them.
    ASSERT_EQ(line.plc.Requests(3).size(), 3u);
    ASSERT_TRUE(line.plc.Delivered(line.host.Fd()));
    EXPECT_GT(Queued(line.host.Fd()), 0);
    log.clear();
    EXPECT_EQ(line.Read(kWordB, &slot), NUV_OK);
    EXPECT_EQ(slot, 0xBBB2);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(line.plc.Requests(4).size(), 4u);
}

// Replies no PLC would send, from the test's own end of the line.
struct ScriptCase {
    const char* name;
    std::vector<Bytes> replies;  // line bytes, one entry per request
    std::vector<std::string> trail;
    int requests;
};

Bytes Cat2(Bytes first, const Bytes& then) {
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

TEST(E2eFarEnd, RepliesAreJudgedOnlyByTheBytesTheyCarried) {
    const Bytes data = p8sim::EncodeFrame({3, 1, 0xBE, 0xEF});
    const ScriptCase cases[] = {
        {"error block too short to hold a code",
         {p8sim::EncodeFrame({1, 1}), data},
         {"VAVE8> DoBlockRead() Recieved short block, length 2 retry 1"},
         2},
        // Between attempts nothing is dropped: the good frame behind a
        // broken one answers the same request in the next attempt.
        {"answer behind a broken frame",
         {Cat2(p8sim::EncodeFrame({3, 1, 0xBE, 0xEF}, 0x00), data)},
         {"VAVE8> Recieve() CRC check failed", "VAVE8> DoBlockRead() Read reply error retry 1"},
         2},
        {"data block longer than needed",
         {p8sim::EncodeFrame({3, 1, 0xBE, 0xEF, 0x12, 0x34})},
         {},
         1},
        // The hunt gives up after 2048 bytes; the frame behind the noise
        // still answers the same request in the next attempt.
        {"noise past the hunt limit",
         {Cat2(Bytes(2100, 0x33), data)},
         {"VAVE8> Receive() no start characters in 2048 bytes",
          "VAVE8> DoBlockRead() Read reply error retry 1"},
         2},
    };
    for (const ScriptCase& c : cases) {
        SCOPED_TRACE(c.name);
        FarEnd far;
        ASSERT_TRUE(far.Ok());
        for (const Bytes& reply : c.replies) far.Answer(reply);
        Host host;
        ASSERT_EQ(host.ColdStart(far.Port()), NUV_OK);
        LogCapture log;
        Gate gate = host.Parse(kWord, 0);
        EXPECT_EQ(host.Run(FN_SINGLE_READ, gate), NUV_OK);
        EXPECT_EQ(gate.Slot16(2), 0xBEEF);
        EXPECT_EQ(Trail(log), At8(c.trail));
        EXPECT_EQ(far.Requests(c.requests), c.requests);
    }
}

}  // namespace
}  // namespace e2e
