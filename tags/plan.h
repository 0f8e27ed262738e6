// The read plan: the block reads that cover every tag's bytes for the least
// line time, per station and scan period.
//
// Every block is a read of memory type '2' bytes (at most 256) at one
// station; the host decodes each tag from its block (words, double words and
// floats most significant byte first). A tag's bytes lie within one block.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/records.h"
#include "tags/engine.h"

namespace tags {

constexpr uint32_t kMaxBlockBytes = 256;

// Line time of one block read of n bytes: 18 + n characters (an 11-character
// request frame and a reply of n + 7; doubled bytes aside) at the line's
// bits per character, plus the PLC's turnaround.
struct CostModel {
    double baud = 9600;
    double bitsPerChar = 11;  // start, 8 data, parity, stop
    double turnaroundMs = 5;

    static CostModel For(const LineParams& line, double turnaroundMs);
    double BlockMs(uint32_t bytes) const;
};

struct Block {
    int station = 0;
    uint32_t periodMs = 0;
    uint32_t first = 0;   // byte address
    uint32_t length = 0;  // bytes, 1..256
    std::vector<size_t> tags;  // indices into the tag list, by byte address
    double lineMs = 0;
};

struct Plan {
    // Ordered by station, period, first byte.
    std::vector<Block> blocks;
    double lineMs = 0;  // every block once: one cycle of every period
};

// The least line time under the cost model (dynamic programming over each
// station and period's byte ranges): a gap is read through exactly when its
// bytes cost less than another transaction.
Plan MakePlan(const std::vector<Tag>& tags, const CostModel& cost);

// What a merger of contiguous bytes alone reads (any gap starts a new block),
// for comparison.
Plan ContiguousPlan(const std::vector<Tag>& tags, const CostModel& cost);

// Line time of one transaction per tag, for comparison.
double PerTagMs(const std::vector<Tag>& tags, const CostModel& cost);

// The block's address text for the driver's BlockAddressParser ("0S2" and
// its first nibble) and its item count.
std::string BlockAddress(const Block& block);

}  // namespace tags
