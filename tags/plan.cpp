#include "tags/plan.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>
#include <tuple>
#include <utility>

#include "tags/config.h"

namespace tags {

namespace {

// A run of bytes that one block must read whole: a tag, or tags that
// overlap (a bool inside a word, say).
struct Range {
    uint32_t first = 0;
    uint32_t end = 0;  // one past the last byte
    std::vector<size_t> tags;
};

using GroupKey = std::pair<int, uint32_t>;  // station, period

std::map<GroupKey, std::vector<size_t>> Groups(const std::vector<Tag>& tags) {
    std::map<GroupKey, std::vector<size_t>> groups;
    for (size_t i = 0; i < tags.size(); ++i) groups[{tags[i].station, tags[i].scanMs}].push_back(i);
    return groups;
}

uint32_t End(const Tag& tag) {
    return tag.byteAddress + TypeBytes(tag.type);
}

// Tags by byte address, overlapping ones merged. Tags aligned to their
// width overlap only by nesting, so a range is at most 4 bytes; should hand-made
// tags chain past a block's size, the chain is cut and its pieces overlap.
std::vector<Range> Ranges(const std::vector<Tag>& tags, std::vector<size_t> indices) {
    std::stable_sort(indices.begin(), indices.end(), [&](size_t a, size_t b) {
        return std::tie(tags[a].byteAddress, tags[a].type) < std::tie(tags[b].byteAddress, tags[b].type);
    });
    std::vector<Range> ranges;
    for (size_t i : indices) {
        const Tag& tag = tags[i];
        if (!ranges.empty() && tag.byteAddress < ranges.back().end &&
            std::max(ranges.back().end, End(tag)) - ranges.back().first <= kMaxBlockBytes) {
            ranges.back().end = std::max(ranges.back().end, End(tag));
            ranges.back().tags.push_back(i);
            continue;
        }
        ranges.push_back({tag.byteAddress, End(tag), {i}});
    }
    return ranges;
}

Block MakeBlock(const GroupKey& key, const std::vector<Range>& ranges, size_t from, size_t to,
                const CostModel& cost) {
    Block block;
    block.station = key.first;
    block.periodMs = key.second;
    block.first = ranges[from].first;
    uint32_t end = 0;
    for (size_t r = from; r <= to; ++r) {
        end = std::max(end, ranges[r].end);
        block.tags.insert(block.tags.end(), ranges[r].tags.begin(), ranges[r].tags.end());
    }
    block.length = end - block.first;
    block.lineMs = cost.BlockMs(block.length);
    return block;
}

// best[j]: the least cost of ranges 0..j-1; a block reads ranges i..j-1
// whole, so the optimum over every split point is exact.
void PlanGroup(const GroupKey& key, const std::vector<Range>& ranges, const CostModel& cost,
               Plan* plan) {
    const size_t n = ranges.size();
    std::vector<double> best(n + 1, std::numeric_limits<double>::infinity());
    std::vector<size_t> from(n + 1, 0);
    best[0] = 0;
    for (size_t j = 1; j <= n; ++j) {
        uint32_t end = 0;
        for (size_t i = j; i-- > 0;) {
            end = std::max(end, ranges[i].end);
            if (end - ranges[i].first > kMaxBlockBytes) break;
            const double total = best[i] + cost.BlockMs(end - ranges[i].first);
            if (total < best[j]) {
                best[j] = total;
                from[j] = i;
            }
        }
    }
    std::vector<Block> blocks;
    for (size_t j = n; j > 0; j = from[j]) blocks.push_back(MakeBlock(key, ranges, from[j], j - 1, cost));
    for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) {
        plan->lineMs += it->lineMs;
        plan->blocks.push_back(std::move(*it));
    }
}

}  // namespace

CostModel CostModel::For(const LineParams& line, double turnaroundMs) {
    CostModel cost;
    cost.baud = line.baud;
    const double stop = line.stopBits == 0 ? 1 : line.stopBits == 1 ? 1.5 : 2;
    cost.bitsPerChar = 1 + line.dataBits + (line.parity != 0 ? 1 : 0) + stop;
    cost.turnaroundMs = turnaroundMs;
    return cost;
}

double CostModel::BlockMs(uint32_t bytes) const {
    return (18.0 + bytes) * bitsPerChar * 1000.0 / baud + turnaroundMs;
}

Plan MakePlan(const std::vector<Tag>& tags, const CostModel& cost) {
    Plan plan;
    for (auto& [key, indices] : Groups(tags)) PlanGroup(key, Ranges(tags, indices), cost, &plan);
    return plan;
}

Plan ContiguousPlan(const std::vector<Tag>& tags, const CostModel& cost) {
    Plan plan;
    for (auto& [key, indices] : Groups(tags)) {
        const std::vector<Range> ranges = Ranges(tags, indices);
        size_t from = 0;
        uint32_t end = 0;
        for (size_t r = 0; r < ranges.size(); ++r) {
            if (r > from && (ranges[r].first > end || std::max(end, ranges[r].end) - ranges[from].first >
                                                         kMaxBlockBytes)) {
                plan.blocks.push_back(MakeBlock(key, ranges, from, r - 1, cost));
                plan.lineMs += plan.blocks.back().lineMs;
                from = r;
                end = 0;
            }
            end = std::max(end, ranges[r].end);
        }
        if (!ranges.empty()) {
            plan.blocks.push_back(MakeBlock(key, ranges, from, ranges.size() - 1, cost));
            plan.lineMs += plan.blocks.back().lineMs;
        }
    }
    return plan;
}

double PerTagMs(const std::vector<Tag>& tags, const CostModel& cost) {
    double total = 0;
    for (const Tag& tag : tags) total += cost.BlockMs(TypeBytes(tag.type));
    return total;
}

std::string BlockAddress(const Block& block) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X2%04X", block.station & 0xFF, (block.first * 2) & 0xFFFF);
    return text;
}

}  // namespace tags
