#include "sim/faults.h"

#include <gtest/gtest.h>

namespace p8sim {
namespace {

Request Req(uint8_t code, uint8_t station) {
    Request r;
    r.code = code;
    r.station = station;
    r.has_station = r.has_header = true;
    return r;
}

TEST(SimFaults, ParsesScripts) {
    const struct {
        const char* text;
        ScriptEntry::When when;
        uint64_t index;
        FaultKind kind;
        uint32_t param;
        int station;
        uint8_t request;
    } cases[] = {
        {"3:error=0x0C", ScriptEntry::kIndex, 3, FaultKind::kError, 0x0C, -1, 0},
        {"error", ScriptEntry::kNext, 0, FaultKind::kError, 0x0C, -1, 0},
        {"*:crc", ScriptEntry::kEvery, 0, FaultKind::kBadCrc, 0, -1, 0},
        {" 12 : late = 250 @5 @write ", ScriptEntry::kIndex, 12, FaultKind::kLate, 250, 5,
         kReqWrite},
        {"taken@write", ScriptEntry::kNext, 0, FaultKind::kTaken, 0, -1, kReqWrite},
        {"*:split=0@read", ScriptEntry::kEvery, 0, FaultKind::kSplit, 0, -1, kReqRead},
        {"unknown=0x44", ScriptEntry::kNext, 0, FaultKind::kUnknown, 0x44, -1, 0},
        {"short=3@15", ScriptEntry::kNext, 0, FaultKind::kShort, 3, 15, 0},
        {"garbage=5", ScriptEntry::kNext, 0, FaultKind::kGarbage, 5, -1, 0},
        {"ok", ScriptEntry::kNext, 0, FaultKind::kNone, 0, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<ScriptEntry> out;
        std::string err;
        ASSERT_TRUE(ParseFaultScript(c.text, out, &err)) << err;
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].when, c.when);
        EXPECT_EQ(out[0].index, c.index);
        EXPECT_EQ(out[0].fault.kind, c.kind);
        EXPECT_EQ(out[0].fault.param, c.param);
        EXPECT_EQ(out[0].fault.station, c.station);
        EXPECT_EQ(out[0].fault.request, c.request);
        // What FaultToString prints parses back to the same fault.
        Fault again;
        ASSERT_TRUE(ParseFault(FaultToString(out[0].fault), again, &err)) << err;
        EXPECT_EQ(again.kind, c.kind);
        EXPECT_EQ(again.param, c.param);
        EXPECT_EQ(again.station, c.station);
        EXPECT_EQ(again.request, c.request);
    }
}

TEST(SimFaults, ParsesListsFilesAndGivenGarbage) {
    std::vector<ScriptEntry> out;
    std::string err;
    const char* file =
        "# one entry per line, in order\n"
        "silence\n"
        "\n"
        "ok   # the second request is answered\n"
        "garbage=x33447A, 4:lonestart; *:undoubled\n";
    ASSERT_TRUE(ParseFaultScript(file, out, &err)) << err;
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0].fault.kind, FaultKind::kSilence);
    EXPECT_EQ(out[1].fault.kind, FaultKind::kNone);
    EXPECT_EQ(out[2].fault.bytes, (std::vector<uint8_t>{0x33, 0x44, 0x7A}));
    EXPECT_EQ(out[3].index, 4u);
    EXPECT_EQ(out[4].when, ScriptEntry::kEvery);
}

TEST(SimFaults, RejectsBadScripts) {
    const char* bad[] = {
        "bogus",          // no such fault
        "0:crc",          // requests count from 1
        "x:crc",          // not a request number
        "crc=3",          // crc takes no parameter
        "error=256",      // codes are bytes
        "error=",         // empty parameter
        "late=-5",        // no negative delays
        "unknown=3",      // 3 is a DATA block, not an unknown one
        "short=0",        // cutting nothing is no fault
        "garbage=xF159",  // noise holding a start pair
        "garbage=x20F1",  // noise ending in F1 would eat the frame's start
        "garbage=x123",   // odd number of hex digits
        "crc@16",         // no station 16
        "crc@writes",     // unknown filter
        "crc@bytes=50-40",     // range backwards
        "crc@bytes=0-8000",    // past the last byte
        "crc@bytes=x0-10",     // not hex
    };
    for (const char* text : bad) {
        std::vector<ScriptEntry> out;
        std::string err;
        EXPECT_FALSE(ParseFaultScript(text, out, &err)) << text;
        EXPECT_FALSE(err.empty()) << text;
        EXPECT_TRUE(out.empty()) << text;
    }
    // One bad entry spoils the whole script: nothing half-added.
    std::vector<ScriptEntry> out;
    EXPECT_FALSE(ParseFaultScript("crc,silence,nonsense", out, nullptr));
    EXPECT_TRUE(out.empty());
}

TEST(SimFaults, PlanOrderAndConsumption) {
    FaultPlan plan;
    std::vector<ScriptEntry> entries;
    ASSERT_TRUE(ParseFaultScript("2:error=0x25, crc@write, silence, *:late=10@7, 9:empty", entries,
                                 nullptr));
    for (const auto& e : entries) plan.Add(e);
    const Request rd = Req(kReqRead, 1), wr = Req(kReqWrite, 1), st7 = Req(kReqRead, 7);

    EXPECT_EQ(plan.Pick(1, rd).kind, FaultKind::kSilence);  // the read skips the write-only entry
    EXPECT_EQ(plan.Pick(2, wr).kind, FaultKind::kError);    // numbered first, queue left alone
    EXPECT_EQ(plan.Pick(3, wr).kind, FaultKind::kBadCrc);
    EXPECT_EQ(plan.Pick(4, wr).kind, FaultKind::kNone);   // queue empty
    EXPECT_EQ(plan.Pick(5, st7).kind, FaultKind::kLate);  // standing, for station 7 only
    EXPECT_EQ(plan.Pick(6, st7).kind, FaultKind::kLate);
    EXPECT_EQ(plan.Pick(7, rd).kind, FaultKind::kNone);
    EXPECT_EQ(plan.Pending(), 1u);                        // 9:empty still ahead
    EXPECT_EQ(plan.Pick(10, rd).kind, FaultKind::kNone);  // ...and now in the past
    EXPECT_EQ(plan.Pending(), 0u);
}

TEST(SimFaults, ByteRangeFilterMatchesOverlappingRequests) {
    Fault f;
    ASSERT_TRUE(ParseFault("error=0x07@3@bytes=0040-0041", f, nullptr));
    EXPECT_EQ(FaultToString(f), "error=0x07@3@bytes=0040-0041");
    const struct {
        uint16_t start, end;  // nibbles
        bool matches;
    } cases[] = {
        {0x0080, 0x0083, true},    // exactly the range
        {0x0000, 0x00FF, true},    // a block around it
        {0x0082, 0x0085, true},    // overlapping its end
        {0x0070, 0x007F, false},   // just before
        {0x0084, 0x0087, false},   // just after
        {0xFFF0, 0x0001, false},   // wrapping: start..7FFF only
    };
    for (const auto& c : cases) {
        Request r = Req(kReqRead, 3);
        r.start = c.start;
        r.end = c.end;
        EXPECT_EQ(f.Matches(r), c.matches) << std::hex << c.start << "-" << c.end;
    }
    EXPECT_FALSE(f.Matches(Req(kReqRead, 4)));
}

TEST(SimFaults, RandomFaultsAreSeededAndRated) {
    auto run = [](double rate, uint64_t seed) {
        FaultPlan plan;
        plan.SetRandom(rate, seed, {});
        std::vector<FaultKind> kinds;
        for (uint64_t i = 1; i <= 2000; ++i) kinds.push_back(plan.Pick(i, Req(kReqRead, 0)).kind);
        return kinds;
    };
    EXPECT_EQ(run(0.1, 42), run(0.1, 42));
    EXPECT_NE(run(0.1, 42), run(0.1, 43));
    for (FaultKind k : run(0.0, 1)) EXPECT_EQ(k, FaultKind::kNone);

    const auto all = run(1.0, 7);
    std::array<int, kFaultKinds> seen{};
    for (FaultKind k : all) ++seen[static_cast<size_t>(k)];
    EXPECT_EQ(seen[0], 0);
    for (size_t k = 1; k < kFaultKinds; ++k) EXPECT_GT(seen[k], 0) << FaultName(FaultKind(k));

    int some = 0;
    for (FaultKind k : run(0.1, 9)) some += k != FaultKind::kNone;
    EXPECT_GT(some, 100);  // about 200 expected
    EXPECT_LT(some, 300);
}

TEST(SimFaults, RandomGarbageHoldsNoStartCharacter) {
    FaultPlan plan;
    plan.SetRandom(0, 3, {});
    Fault f;
    f.kind = FaultKind::kGarbage;
    f.param = 1024;
    for (int i = 0; i < 20; ++i) {
        const auto bytes = plan.GarbageBytes(f);
        ASSERT_EQ(bytes.size(), 1024u);
        for (uint8_t b : bytes) ASSERT_NE(b, 0xF1);
    }
}

}  // namespace
}  // namespace p8sim
