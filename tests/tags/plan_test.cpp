// The read plan: always valid (every tag inside exactly one block of its
// station and period, no block over 256 bytes) and, for the dynamic
// programming, the true optimum, checked against a search of every way to
// group the tags into blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

#include "tags/config.h"
#include "tags/plan.h"

namespace {

using tags::Block;
using tags::CostModel;
using tags::Plan;
using tags::Tag;
using tags::Type;

Tag Make(int station, uint32_t byte, Type type, uint32_t scanMs = 1000) {
    Tag tag;
    tag.name = "t" + std::to_string(station) + "_" + std::to_string(byte);
    tag.station = station;
    tag.byteAddress = byte;
    tag.type = type;
    tag.scanMs = scanMs;
    return tag;
}

void ExpectValid(const std::vector<Tag>& tags, const Plan& plan, const CostModel& cost) {
    std::vector<int> covered(tags.size(), 0);
    double total = 0;
    for (const Block& block : plan.blocks) {
        EXPECT_GE(block.length, 1u);
        EXPECT_LE(block.length, tags::kMaxBlockBytes);
        EXPECT_DOUBLE_EQ(block.lineMs, cost.BlockMs(block.length));
        total += block.lineMs;
        for (size_t i : block.tags) {
            ASSERT_LT(i, tags.size());
            ++covered[i];
            const Tag& tag = tags[i];
            EXPECT_EQ(tag.station, block.station) << tag.name;
            EXPECT_EQ(tag.scanMs, block.periodMs) << tag.name;
            EXPECT_GE(tag.byteAddress, block.first) << tag.name;
            EXPECT_LE(tag.byteAddress + tags::TypeBytes(tag.type), block.first + block.length) << tag.name;
        }
    }
    for (size_t i = 0; i < tags.size(); ++i) EXPECT_EQ(covered[i], 1) << tags[i].name;
    EXPECT_NEAR(plan.lineMs, total, 1e-6);
}

// The least cost over every partition of the tags into groups, each group
// read by the one block spanning it. Independent of how the planner orders,
// merges or splits anything.
double Exhaustive(const std::vector<Tag>& tags, const CostModel& cost) {
    std::vector<int> group(tags.size(), -1);
    double best = 1e300;
    std::function<void(size_t, int)> assign = [&](size_t i, int groups) {
        if (i == tags.size()) {
            double total = 0;
            for (int g = 0; g < groups; ++g) {
                uint32_t first = UINT32_MAX, end = 0;
                for (size_t t = 0; t < tags.size(); ++t) {
                    if (group[t] != g) continue;
                    first = std::min(first, tags[t].byteAddress);
                    end = std::max(end, tags[t].byteAddress + tags::TypeBytes(tags[t].type));
                }
                if (end - first > tags::kMaxBlockBytes) return;
                total += cost.BlockMs(end - first);
            }
            best = std::min(best, total);
            return;
        }
        for (int g = 0; g <= groups; ++g) {
            // A group holds one station and period only.
            bool fits = true;
            for (size_t t = 0; t < i && fits; ++t) {
                if (group[t] == g) fits = tags[t].station == tags[i].station && tags[t].scanMs == tags[i].scanMs;
            }
            if (!fits) continue;
            group[i] = g;
            assign(i + 1, std::max(groups, g + 1));
        }
        group[i] = -1;
    };
    assign(0, 0);
    return best;
}

// A tag as a file can hold it: aligned to its width, as the driver's parser
// demands of every memory type.
Tag RandomTag(std::mt19937& rng, uint32_t span) {
    constexpr Type kTypes[] = {Type::Bool, Type::UInt8, Type::Int16, Type::UInt32, Type::Float32};
    const Type type = kTypes[rng() % 5];
    const uint32_t width = tags::TypeBytes(type);
    Tag tag = Make(static_cast<int>(rng() % 2), static_cast<uint32_t>(rng() % span) / width * width, type,
                   rng() % 4 == 0 ? 500 : 1000);
    if (type == Type::Bool) tag.bit = static_cast<int>(rng() % 8);
    return tag;
}

TEST(Plan, OptimalAgainstExhaustiveSearch) {
    std::mt19937 rng(20261208);
    // Slow lines make gaps dear, long turnarounds make transactions dear.
    const CostModel models[] = {{9600, 11, 5}, {115200, 11, 1}, {1200, 10, 0}, {19200, 11, 60}};
    for (int round = 0; round < 400; ++round) {
        const CostModel& cost = models[round % 4];
        // Spans past 256 bytes make the block limit bind.
        const uint32_t span = round % 3 == 0 ? 700 : 120;
        std::vector<Tag> tags;
        const size_t n = 1 + rng() % 8;
        for (size_t i = 0; i < n; ++i) tags.push_back(RandomTag(rng, span));
        const Plan plan = tags::MakePlan(tags, cost);
        SCOPED_TRACE("round " + std::to_string(round));
        ExpectValid(tags, plan, cost);
        ASSERT_NEAR(plan.lineMs, Exhaustive(tags, cost), 1e-6);
    }
}

TEST(Plan, ComparisonPlansAreValidAndNoBetter) {
    std::mt19937 rng(7);
    const CostModel cost{9600, 11, 5};
    for (int round = 0; round < 50; ++round) {
        std::vector<Tag> tags;
        for (int i = 0; i < 300; ++i) tags.push_back(RandomTag(rng, 4000));
        const Plan best = tags::MakePlan(tags, cost);
        const Plan contiguous = tags::ContiguousPlan(tags, cost);
        ExpectValid(tags, best, cost);
        ExpectValid(tags, contiguous, cost);
        EXPECT_LE(best.lineMs, contiguous.lineMs + 1e-9);
        EXPECT_LE(contiguous.lineMs, tags::PerTagMs(tags, cost) + 1e-9);
    }
}

TEST(Plan, BlocksStopAt256BytesHoweverDearTransactionsAre) {
    const CostModel dear{9600, 11, 1e6};
    std::vector<Tag> tags;
    for (uint32_t b = 0; b < 600; b += 4) tags.push_back(Make(3, b, Type::Float32));
    const Plan plan = tags::MakePlan(tags, dear);
    ExpectValid(tags, plan, dear);
    EXPECT_EQ(plan.blocks.size(), 3u);
}

TEST(Plan, GapReadThroughExactlyWhenCheaperThanATransaction) {
    // 1 ms a character: a transaction's fixed part is 18 characters + 5 ms.
    const CostModel cost{10000, 10, 5};
    struct Case {
        uint32_t gap;
        size_t optimal, contiguous;
    } cases[] = {{0, 1, 1}, {1, 1, 2}, {22, 1, 2}, {24, 2, 2}, {200, 2, 2}};
    for (const Case& c : cases) {
        const std::vector<Tag> tags = {Make(1, 10, Type::UInt8), Make(1, 11 + c.gap, Type::UInt8)};
        EXPECT_EQ(tags::MakePlan(tags, cost).blocks.size(), c.optimal) << "gap " << c.gap;
        EXPECT_EQ(tags::ContiguousPlan(tags, cost).blocks.size(), c.contiguous) << "gap " << c.gap;
    }
}

TEST(Plan, StationsAndPeriodsNeverShareABlock) {
    const std::vector<Tag> tags = {Make(1, 0, Type::UInt8), Make(2, 1, Type::UInt8),
                                   Make(1, 2, Type::UInt8, 500), Make(1, 1, Type::UInt8)};
    const Plan plan = tags::MakePlan(tags, CostModel{});
    ExpectValid(tags, plan, CostModel{});
    ASSERT_EQ(plan.blocks.size(), 3u);
    EXPECT_EQ(plan.blocks[0].tags, (std::vector<size_t>{2}));
    EXPECT_EQ(tags::BlockAddress(plan.blocks[0]), "0120004");
    EXPECT_EQ(plan.blocks[1].tags, (std::vector<size_t>{0, 3}));
    EXPECT_EQ(tags::BlockAddress(plan.blocks[1]), "0120000");
}

TEST(Plan, CostFollowsTheLineSettings) {
    struct Case {
        LineParams line;  // baud, data bits, stop bits (0 one, 1 one and a half, 2 two), parity
        double bits;
    } cases[] = {{{9600, 8, 0, 2}, 11}, {{9600, 7, 0, 0}, 9}, {{9600, 8, 2, 0}, 11}, {{9600, 8, 1, 1}, 11.5},
                 {{9600, 8, 0, 0}, 10}};
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(CostModel::For(c.line, 5).bitsPerChar, c.bits);
    // A full block at 9600 8E1: 274 characters, 314 ms, and the turnaround.
    EXPECT_NEAR(CostModel::For({9600, 8, 0, 2}, 5).BlockMs(256), 318.96, 0.01);
}

}  // namespace
