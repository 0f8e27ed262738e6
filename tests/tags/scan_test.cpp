// The tag engine against the simulated PLC on a real pty, through the driver
// module: decoding, writes, a refused range, a silent station, garbled
// replies.
#include <optional>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "gateway/line.h"
#include "gateway/modbus/queue.h"
#include "host/line_loop.h"
#include "sim/sim.h"
#include "tags/address.h"
#include "tags/plan.h"
#include "tags/scanner.h"

namespace {

using tags::Cause;
using tags::Quality;
using tags::WriteResult;

bool WaitFor(const std::function<bool()>& condition, double seconds = 15) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

tags::ScanSettings Fast() {
    tags::ScanSettings s;
    s.demoteAfter = 2;
    s.demoteSeconds = 1;
    s.retryMergedSeconds = 0.3;
    return s;
}

class ScanTest : public ::testing::Test {
protected:
    void Start(const std::string& csv, tags::ScanSettings settings = Fast(),
               std::optional<int32_t> lateGuardMs = std::nullopt) {
        std::string error;
        ASSERT_TRUE(sim.Start(&error)) << error;
        {
            tags::ModuleGateParser parser;
            ASSERT_TRUE(parser.Load("", &error)) << error;
            std::vector<tags::Problem> problems;
            list = tags::ParseTagCsv(csv, "test.csv", 100, parser.Parser(), &problems);
            ASSERT_TRUE(problems.empty()) << tags::Describe(problems.front());
        }
        vave8ctl::ConnectionOptions options;
        options.port = sim.Path();
        options.ticks = 20;
        options.lateGuardMs = lateGuardMs;
        line = std::make_unique<vave8gw::Line>(options, 0);
        ASSERT_TRUE(line->Start(&error)) << error;
        const tags::Plan plan = tags::MakePlan(list, tags::CostModel{});
        scanner = std::make_unique<tags::Scanner>("test", list, plan.blocks, settings);
        thread = std::thread([this] {
            host::OnDemand requests;
            requests.nudge = [this] { scheduler.Nudge(); };
            requests.serve = [this](host::Periodic::Clock::time_point deadline, bool*) {
                bool stopped = false;
                scheduler.PopUntil(deadline, &stopped);
                return !stopped;
            };
            host::RunLine(*line, scanner.get(), requests);
        });
    }

    void TearDown() override {
        scheduler.Stop();
        if (thread.joinable()) thread.join();
        line.reset();
        sim.Stop();
    }

    size_t Tag(const std::string& name) { return scanner->Find(name).value(); }
    tags::Sample Read(const std::string& name) { return scanner->Read(Tag(name)); }
    bool Good(const std::string& name, double value) {
        const tags::Sample s = Read(name);
        return s.quality == Quality::Good && s.value == value;
    }
    WriteResult Write(const std::string& name, double value) {
        std::promise<WriteResult> result;
        scanner->Write(Tag(name), value, [&](const WriteResult& r) { result.set_value(r); });
        return result.get_future().get();
    }
    tags::StationStatus Station(int number) {
        for (const tags::StationStatus& s : scanner->Status().stations) {
            if (s.station == number) return s;
        }
        return {};
    }
    tags::PeriodStatus Period(int station) {
        for (const tags::PeriodStatus& p : scanner->Periods()) {
            if (p.station == station) return p;
        }
        return {};
    }

    // Every change passed on from now on; kept in the fixture, which
    // outlives the line thread that calls the listener.
    void Collect() {
        scanner->Subscribe([this](const std::vector<tags::Change>& changes) {
            std::lock_guard lock(seenMutex);
            seen.insert(seen.end(), changes.begin(), changes.end());
        });
    }
    std::vector<tags::Change> Seen() {
        std::lock_guard lock(seenMutex);
        return seen;
    }

    std::mutex seenMutex;
    std::vector<tags::Change> seen;
    p8sim::Simulator sim;
    std::vector<tags::Tag> list;
    std::unique_ptr<vave8gw::Line> line;
    std::unique_ptr<tags::Scanner> scanner;
    vave8gw::Scheduler scheduler;
    std::thread thread;
};

TEST_F(ScanTest, DecodesEveryTypeAndWritesItBack) {
    sim.WriteMemory(1, 0x40, {0x81, 0xFE, 0x12, 0x34, 0xFF, 0xFF, 0xFF, 0xFE, 0x40, 0x49, 0x0F,
                              0xDB, 0x03, 0xE8, 0x00, 0x00});
    Start(
        "name,address,type,access,scale,offset,deadband\n"
        "msb,01200800,bool,rw,,,\n"
        "lsb,01200807,bool,rw,,,\n"
        "s8,0120082,int8,rw,,,\n"
        "u16,0140084,uint16,rw,,,\n"
        "i32,0180088,int32,rw,,,\n"
        "f32,0190090,float32,rw,,,\n"
        "scaled,0140098,uint16,rw,0.5,-5,\n"
        "band,014009C,uint16,r,,,10\n");
    ASSERT_TRUE(WaitFor([&] { return Good("band", 0); }));
    const struct {
        const char* tag;
        double value;
    } expected[] = {{"msb", 1},           {"lsb", 1},         {"s8", -2},
                    {"u16", 0x1234},      {"i32", -2},        {"f32", static_cast<float>(3.14159274)},
                    {"scaled", 495}};
    for (const auto& e : expected) EXPECT_TRUE(Good(e.tag, e.value)) << e.tag << " " << Read(e.tag).value;

    // A change inside the deadband updates the cache but is not passed on.
    Collect();
    const uint64_t before = Read("band").changes;
    sim.WriteMemory(1, 0x4E, {0x00, 0x05});
    ASSERT_TRUE(WaitFor([&] { return Good("band", 5); }));
    EXPECT_EQ(Read("band").changes, before);
    sim.WriteMemory(1, 0x4E, {0x00, 0x14});
    ASSERT_TRUE(WaitFor([&] {
        const std::vector<tags::Change> changes = Seen();
        return !changes.empty() && changes.back().tag == Tag("band") &&
               changes.back().sample.value == 20;
    }));

    const struct {
        const char* tag;
        double value;
        uint32_t at;
        std::vector<uint8_t> bytes;
    } writes[] = {
        {"lsb", 0, 0x40, {0x80}},
        {"msb", 0, 0x40, {0x00}},
        {"s8", -128, 0x41, {0x80}},
        {"u16", 0xBEEF, 0x42, {0xBE, 0xEF}},
        {"i32", -100000, 0x44, {0xFF, 0xFE, 0x79, 0x60}},
        {"f32", 2.5, 0x48, {0x40, 0x20, 0x00, 0x00}},
        {"scaled", 270, 0x4C, {0x02, 0x26}},  // (270 + 5) / 0.5 = 550
    };
    for (const auto& w : writes) {
        const WriteResult r = Write(w.tag, w.value);
        EXPECT_EQ(r.status, WriteResult::Status::Done) << w.tag << ": " << r.text;
        EXPECT_EQ(sim.ReadMemory(1, w.at, w.bytes.size()), w.bytes) << w.tag;
    }
    ASSERT_TRUE(WaitFor([&] { return Good("i32", -100000) && Good("scaled", 270); }));

    // Refused before the line.
    EXPECT_EQ(Write("band", 1).status, WriteResult::Status::ReadOnly);
    EXPECT_EQ(Write("u16", 65536).status, WriteResult::Status::OutOfRange);
    EXPECT_EQ(Write("s8", 128).status, WriteResult::Status::OutOfRange);
    EXPECT_EQ(Write("lsb", 2).status, WriteResult::Status::OutOfRange);
    EXPECT_EQ(Write("scaled", -6).status, WriteResult::Status::OutOfRange);

    // Writes to one tag queued at once go out one by one, in order.
    std::vector<int> order;
    std::promise<void> last;
    for (int v = 1; v <= 5; ++v) {
        scanner->Write(Tag("u16"), v, [&, v](const WriteResult& r) {
            EXPECT_EQ(r.status, WriteResult::Status::Done);
            order.push_back(v);
            if (v == 5) last.set_value();
        });
    }
    last.get_future().wait();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(sim.ReadMemory(1, 0x42, 2), (std::vector<uint8_t>{0x00, 0x05}));
}

TEST_F(ScanTest, RefusedRangeIsSplitOutAndTheBlockMergedAgainLater) {
    std::string csv = "name,address,type\n";
    for (int i = 0; i < 16; ++i) {
        char row[48];
        std::snprintf(row, sizeof row, "t%02X,022%04X,uint8\n", 0x40 + 2 * i, 2 * (0x40 + 2 * i));
        csv += row;
        sim.WriteMemory(2, static_cast<uint32_t>(0x40 + 2 * i), {static_cast<uint8_t>(i + 1)});
    }
    ASSERT_TRUE(sim.AddFaults("*:error=0x07@2@bytes=0050-0050"));
    Start(csv);
    ASSERT_EQ(Period(2).blocks, 1u);
    ASSERT_TRUE(WaitFor([&] { return Read("t50").cause == Cause::ErrorBlock; }));
    EXPECT_EQ(Read("t50").errorCode, 7);
    ASSERT_TRUE(WaitFor([&] { return Good("t5E", 16); }));
    for (int i = 0; i < 16; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "t%02X", 0x40 + 2 * i);
        if (i != 8) {
            EXPECT_TRUE(Good(name, i + 1)) << name;
        }
    }
    // The split is kept for the cycles after: only the refused tag's own
    // read is refused again.
    EXPECT_GT(Period(2).blocks, 2u);
    const uint64_t refusals = Station(2).errorBlocks;
    const uint64_t cycles = Period(2).cycles;
    ASSERT_TRUE(WaitFor([&] { return Period(2).cycles >= cycles + 2; }));
    EXPECT_LE(Station(2).errorBlocks - refusals, 2 * (Period(2).cycles - cycles) + 4);

    sim.ClearFaults();
    ASSERT_TRUE(WaitFor([&] { return Good("t50", 9) && Period(2).blocks == 1; }));
}

TEST_F(ScanTest, SilentStationIsDemotedWithoutSlowingTheOthers) {
    sim.WriteMemory(3, 0x10, {0x11});
    sim.WriteMemory(4, 0x10, {0x22});
    // A probe of a silent station holds the line for the late-reply guard
    // after its attempts; with a probe every second that hold would be most
    // of the line. The guard's own cost is the gateway tests' business: here
    // only the demotion's is measured.
    Start("name,address,type,access\nalive,0320020,uint8,r\ndead,0420020,uint8,rw\n", Fast(), 0);
    ASSERT_TRUE(WaitFor([&] { return Good("dead", 0x22) && Good("alive", 0x11); }));
    sim.SetPresent(static_cast<uint16_t>(0xFFFF & ~(1u << 4)));
    ASSERT_TRUE(WaitFor([&] { return Read("dead").cause == Cause::Demoted; }));
    EXPECT_EQ(Read("dead").value, 0x22);  // the last value stays, marked bad
    EXPECT_EQ(Station(4).state, tags::StationStatus::State::Demoted);
    EXPECT_EQ(Write("dead", 1).status, WriteResult::Status::Demoted);

    // Demoted: one probe a second, and the healthy station keeps its period.
    const uint64_t probes = Station(4).transactions;
    const uint64_t cycles = Period(3).cycles;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_LE(Station(4).transactions - probes, 2u);
    EXPECT_GE(Period(3).cycles - cycles, 5u);
    // A probe's timeouts may leave it overdue for a moment, never bad.
    EXPECT_NE(Read("alive").quality, Quality::Bad);
    EXPECT_EQ(Read("alive").value, 0x11);

    sim.WriteMemory(4, 0x10, {0x33});
    sim.SetPresent(0xFFFF);
    ASSERT_TRUE(WaitFor([&] { return Good("dead", 0x33); }));
    EXPECT_EQ(Station(4).state, tags::StationStatus::State::Good);
}

TEST_F(ScanTest, ValueOverdueWhileTheLineIsSlowTurnsUncertainThenGoodAgain) {
    // Each read takes longer than two periods: while one station is read,
    // the other's value is overdue.
    sim.SetTurnaround(120);
    Start("name,address,type,scan_ms\na,0620020,uint8,20\nb,0720020,uint8,20\n");
    Collect();
    ASSERT_TRUE(WaitFor([&] {
        bool overdue = false;
        for (const tags::Change& c : Seen()) {
            if (c.sample.quality == Quality::Uncertain) {
                EXPECT_EQ(c.sample.cause, Cause::Overdue);
                overdue = true;
            } else if (overdue && c.sample.quality == Quality::Good) {
                return true;
            }
        }
        return false;
    }));
}

TEST_F(ScanTest, GarbledRepliesNeverTurnAWrongValueGood) {
    std::string csv = "name,address,type\n";
    std::vector<uint8_t> image(64);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(0x31 * i + 7);
    sim.WriteMemory(5, 0x100, image);
    for (int i = 0; i < 16; ++i) {
        char row[48];
        std::snprintf(row, sizeof row, "w%d,054%04X,uint16\n", i, 2 * (0x100 + 4 * i));
        csv += row;
    }
    std::vector<p8sim::Fault> pool;
    for (const char* kind : {"crc", "garbage", "short", "undoubled", "empty", "wrongtype",
                             "lonestart", "unknown"}) {
        p8sim::Fault f;
        ASSERT_TRUE(p8sim::ParseFault(kind, f, nullptr));
        pool.push_back(f);
    }
    sim.SetRandomFaults(0.4, 11, pool);
    Start(csv);
    Collect();
    ASSERT_TRUE(WaitFor([&] { return Station(5).garbled >= 5 && Period(5).cycles >= 20; }, 60));
    std::vector<tags::Change> good;
    for (const tags::Change& c : Seen()) {
        if (c.sample.quality == Quality::Good) good.push_back(c);
    }
    ASSERT_FALSE(good.empty());
    for (const tags::Change& c : good) {
        const size_t at = 4 * (c.tag);
        EXPECT_EQ(c.sample.raw, image[at] << 8 | image[at + 1]) << list[c.tag].name;
    }
    for (size_t t = 0; t < list.size(); ++t) {
        const tags::Sample s = scanner->Read(t);
        if (s.quality == Quality::Good) {
            EXPECT_EQ(s.raw, image[4 * t] << 8 | image[4 * t + 1]) << list[t].name;
        }
    }
}

}  // namespace
