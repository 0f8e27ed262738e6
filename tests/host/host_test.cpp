#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "host/line_guard.h"
#include "host/reply_times.h"

namespace hostlib {
namespace {

using std::chrono::milliseconds;

TEST(LateGuard, DefaultIsTwiceTheLimitAndTheLongestFrame) {
    const struct {
        int32_t ticks;
        LineParams line;
        int64_t ms;
    } cases[] = {
        {100, {9600, 8, 0, 2}, 2000 + 302 + 100},  // 8E1: 11 bits, 263 chars
        {10, {9600, 8, 0, 0}, 200 + 274 + 100},    // 8N1: 10 bits
        {100, {1200, 7, 2, 1}, 2000 + 2411 + 100}, // 7O2: 11 bits
        {100, {300, 8, 1, 2}, 2000 + 10082 + 100}, // 8E1.5: 11.5 bits
        {0, {9600, 8, 0, 2}, 0},                   // no limit: nothing to bound
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DefaultLateGuard(c.ticks, c.line).count(), c.ms) << c.ticks << " " << c.line.baud;
    }
}

TEST(LateGuard, OnlyAnAttemptWithoutAWholeFrameHoldsTheLine) {
    const struct {
        int32_t result;
        std::vector<std::string> lines;
        bool disturbed;
    } cases[] = {
        {0, {}, false},
        // A timeout on attempt 1 whose retry then succeeded: the late reply
        // to attempt 1 may be what attempt 2 took, and attempt 2's is coming.
        {0,
         {"VAVE8> Receive() timeout reading start character",
          "VAVE8> DoBlockRead() Read reply error retry 1"},
         true},
        {2, {"VAVE8> Recieve() CRC check failed", "VAVE8> DoBlockWrite() Read reply error retry 3"},
         true},
        {2, {"VAVE8> putChar() Unable to send byte to com port"}, true},
        {2, {"VAVE8> Receive() timeout reading 2nd start character"}, true},
        {2, {"VAVE8> Recieve() error in reading data part message"}, true},
        {2, {}, true},
        // Whole frames: the PLC has answered and nothing more is coming.
        {2,
         {"VAVE8> DoBlockRead() Recieved ERROR block 0x05 retry 1",
          "VAVE8> DoBlockRead() , ret val is 2"},
         false},
        {0, {"VAVE8> DoBlockRead() Recieved ERROR block 0x0c retry 1"}, false},
        {2, {"VAVE8> DoBlockWrite() Recieved UNKNOWN block 0x07 retry 3"}, false},
        {1, {"VAVE8> BlockRead(), blocksize too big"}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Disturbed(c.result, c.lines), c.disturbed)
            << c.result << " " << (c.lines.empty() ? "" : c.lines[0]);
    }
}

TEST(LateGuard, HoldsFromTheLatestDisturbedEnd) {
    LineGuard guard(milliseconds(500));
    const auto t0 = LineGuard::Clock::now();
    guard.Ended(false, t0);
    EXPECT_LE(guard.ClearAt(), t0);
    guard.Ended(true, t0);
    EXPECT_EQ(guard.ClearAt(), t0 + milliseconds(500));
    guard.Ended(false, t0 + milliseconds(100));  // a clean one does not shorten it
    EXPECT_EQ(guard.ClearAt(), t0 + milliseconds(500));
    guard.Ended(true, t0 + milliseconds(100));
    EXPECT_EQ(guard.ClearAt(), t0 + milliseconds(600));
    EXPECT_EQ(guard.Holds(), 2u);

    LineGuard off(milliseconds(0));
    off.Ended(true, t0);
    EXPECT_LE(off.ClearAt(), t0);
    EXPECT_EQ(off.WaitClear().count(), 0);
}

// The times of a program that runs for months fit the same few kilobytes as
// those of a minute, and still give the nearest-rank quantile within the
// stated error.
TEST(ReplyTimes, QuantilesWithinTheirErrorInFixedMemory) {
    static_assert(sizeof(ReplyTimes) < 16 * 1024);
    std::vector<double> oneToASecond;  // 1..1000 ms
    for (int i = 1; i <= 1000; ++i) oneToASecond.push_back(i * 1e-3);
    const struct {
        const char* what;
        std::vector<double> seconds;
    } cases[] = {
        {"one value", {0.0425}},
        {"spread over six decades", {4e-6, 5e-5, 9e-4, 0.007, 0.063, 0.48, 3.1, 25}},
        {"below the buckets", {0, 1e-7, 5e-7, 0.005}},
        {"many equal", std::vector<double>(1000, 0.01225)},
        {"a thousand steps", oneToASecond},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ReplyTimes times;
        for (double v : c.seconds) times.Record(v);
        std::vector<double> sorted = c.seconds;
        std::sort(sorted.begin(), sorted.end());
        for (double share : {0.01, 0.25, 0.5, 0.9, 0.99, 1.0}) {
            const auto rank =
                static_cast<size_t>(std::ceil(share * static_cast<double>(sorted.size())));
            const double exact = sorted[std::max<size_t>(rank, 1) - 1];
            const double error =
                std::max(exact * ReplyTimes::kRelativeError, ReplyTimes::kLowest);
            EXPECT_NEAR(times.Quantile(share), exact, error) << "share " << share;
        }
        EXPECT_EQ(times.Max(), sorted.back());
        EXPECT_EQ(times.Count(), sorted.size());
    }
}

TEST(ReplyTimes, OutOfRangeSamplesAndTheWarning) {
    ReplyTimes times;
    EXPECT_EQ(times.Quantile(0.5), 0);
    EXPECT_EQ(times.SlowWarning(3, 1000), "");
    for (int i = 1; i <= 1000; ++i) times.Record(i * 1e-3);  // 1..1000 ms
    times.Record(-1);    // a clock that went back counts as instant
    times.Record(std::nan(""));
    EXPECT_EQ(times.Quantile(0.001), 0);
    times.Record(1e6);  // past the last bucket: kept in it, the maximum exact
    EXPECT_EQ(times.Count(), 1003u);
    EXPECT_EQ(times.Max(), 1e6);
    EXPECT_NEAR(times.Quantile(0.99), 0.990, 0.990 * ReplyTimes::kRelativeError);

    EXPECT_EQ(times.SlowWarning(3, 0), "");     // no limit
    EXPECT_EQ(times.SlowWarning(3, 2100), "");  // p99 below half the limit
    const std::string warning = times.SlowWarning(3, 1000);
    EXPECT_NE(warning.find("station 3 answers in up to 9"), std::string::npos) << warning;
    EXPECT_NE(warning.find("against a 1000 ms read limit: raise --timeout"), std::string::npos);
}

}  // namespace
}  // namespace hostlib
