#include "sim/faults.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace p8sim {

namespace {

struct KindInfo {
    FaultKind kind;
    const char* name;
    bool takes_param;
    uint32_t default_param;
    uint32_t min_param;
    uint32_t max_param;
};

constexpr uint32_t kMaxDelayMs = 600000;

// Defaults: a retryable error code; a block type that means nothing; eight
// noise bytes; one byte short; a 50 ms gap in a split reply; a late reply
// 1.5 s late, past the 1 s read limit a master starts with.
constexpr KindInfo kKinds[] = {
    {FaultKind::kNone, "ok", false, 0, 0, 0},
    {FaultKind::kSilence, "silence", false, 0, 0, 0},
    {FaultKind::kError, "error", true, 0x0C, 0, 255},
    {FaultKind::kUnknown, "unknown", true, 0x07, 0, 255},
    {FaultKind::kBadCrc, "crc", false, 0, 0, 0},
    {FaultKind::kGarbage, "garbage", true, 8, 1, 1024},
    {FaultKind::kLoneStart, "lonestart", false, 0, 0, 0},
    {FaultKind::kEmpty, "empty", false, 0, 0, 0},
    {FaultKind::kShort, "short", true, 1, 1, 258},
    {FaultKind::kSplit, "split", true, 50, 0, kMaxDelayMs},
    {FaultKind::kWrongType, "wrongtype", false, 0, 0, 0},
    {FaultKind::kUndoubled, "undoubled", false, 0, 0, 0},
    {FaultKind::kLate, "late", true, 1500, 0, kMaxDelayMs},
    {FaultKind::kTaken, "taken", false, 0, 0, 0},
};
static_assert(std::size(kKinds) == kFaultKinds);

const KindInfo& Info(FaultKind kind) {
    return kKinds[static_cast<size_t>(kind)];
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// Decimal, or hexadecimal with 0x. Whole text, no sign.
bool ParseNumber(std::string_view s, uint64_t& out) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty() || s.size() > 12) return false;
    uint64_t v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
            d = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        } else {
            return false;
        }
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    out = v;
    return true;
}

bool ParseHexBytes(std::string_view s, std::vector<uint8_t>& out) {
    if (s.empty() || s.size() % 2 != 0) return false;
    out.clear();
    for (size_t i = 0; i < s.size(); i += 2) {
        uint64_t v;
        if (!ParseNumber("0x" + std::string(s.substr(i, 2)), v)) return false;
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

bool Fail(std::string* error, const std::string& msg) {
    if (error) *error = msg;
    return false;
}

}  // namespace

const char* FaultName(FaultKind kind) {
    return kind < FaultKind::kCount ? Info(kind).name : "?";
}

bool Fault::Matches(const Request& req) const {
    if (station >= 0 && (!req.has_station || req.station != station)) return false;
    if (request != 0 && req.code != request) return false;
    if (firstByte <= lastByte) {
        // Wrapping ranges count from their start to the end of memory.
        const uint32_t from = req.start / 2u;
        const uint32_t to = req.end >= req.start ? req.end / 2u : 0x7FFFu;
        if (!req.has_header || to < firstByte || from > lastByte) return false;
    }
    return true;
}

namespace {

// "0040-004F": byte addresses in hex, first <= last <= 7FFF.
bool ParseByteRange(std::string_view text, Fault* f) {
    const size_t dash = text.find('-');
    if (dash == std::string_view::npos || dash == 0 || dash + 1 >= text.size()) return false;
    const std::string first(text.substr(0, dash)), last(text.substr(dash + 1));
    char* end = nullptr;
    const unsigned long a = std::strtoul(first.c_str(), &end, 16);
    if (*end != '\0' || !std::isxdigit(static_cast<unsigned char>(first[0]))) return false;
    const unsigned long b = std::strtoul(last.c_str(), &end, 16);
    if (*end != '\0' || !std::isxdigit(static_cast<unsigned char>(last[0]))) return false;
    if (a > b || b >= kStationBytes) return false;
    f->firstByte = static_cast<uint32_t>(a);
    f->lastByte = static_cast<uint32_t>(b);
    return true;
}

}  // namespace

bool ParseFault(std::string_view text, Fault& out, std::string* error) {
    text = Trim(text);
    const std::string whole(text);
    Fault f;
    // Filters first: everything after the first '@'.
    std::string_view filters;
    if (auto at = text.find('@'); at != std::string_view::npos) {
        filters = text.substr(at);
        text = Trim(text.substr(0, at));
    }
    std::string_view name = text;
    std::string_view param;
    bool has_param = false;
    if (auto eq = text.find('='); eq != std::string_view::npos) {
        name = Trim(text.substr(0, eq));
        param = Trim(text.substr(eq + 1));
        has_param = true;
    }
    const KindInfo* info = nullptr;
    for (const KindInfo& k : kKinds) {
        if (name == k.name) info = &k;
    }
    if (!info)
        return Fail(error, "unknown fault \"" + std::string(name) + "\" in \"" + whole + "\"");
    f.kind = info->kind;
    f.param = info->default_param;
    if (has_param) {
        if (!info->takes_param) {
            return Fail(error, std::string(info->name) + " takes no parameter: \"" + whole + "\"");
        }
        if (f.kind == FaultKind::kGarbage && !param.empty() &&
            (param[0] == 'x' || param[0] == 'X')) {
            if (!ParseHexBytes(param.substr(1), f.bytes)) {
                return Fail(error, "garbage bytes must be pairs of hex digits: \"" + whole + "\"");
            }
            // The point of the fault is noise before a frame that still
            // arrives: a start pair in the noise would be a frame of its own,
            // and a trailing F1 would swallow the frame's first start byte.
            for (size_t i = 0; i < f.bytes.size(); ++i) {
                const bool pair =
                    f.bytes[i] == 0xF1 && (i + 1 == f.bytes.size() || f.bytes[i + 1] == 0x59);
                if (pair) {
                    return Fail(error,
                                "garbage may not hold F1 59 or end in F1: \"" + whole + "\"");
                }
            }
            f.param = static_cast<uint32_t>(f.bytes.size());
        } else {
            uint64_t v;
            if (!ParseNumber(param, v) || v < info->min_param || v > info->max_param) {
                return Fail(error, "bad parameter for " + std::string(info->name) + " (" +
                                       std::to_string(info->min_param) + ".." +
                                       std::to_string(info->max_param) + "): \"" + whole + "\"");
            }
            f.param = static_cast<uint32_t>(v);
        }
    }
    if (f.kind == FaultKind::kUnknown &&
        (f.param == kBlockDone || f.param == kBlockError || f.param == kBlockData)) {
        return Fail(error, "unknown needs a block type other than 0, 1 and 3: \"" + whole + "\"");
    }
    while (!filters.empty()) {
        filters.remove_prefix(1);  // '@'
        auto next = filters.find('@');
        std::string_view flt = Trim(filters.substr(0, next));
        filters = next == std::string_view::npos ? std::string_view{} : filters.substr(next);
        uint64_t st;
        if (flt == "read") {
            f.request = kReqRead;
        } else if (flt == "write") {
            f.request = kReqWrite;
        } else if (ParseNumber(flt, st) && st < kStations) {
            f.station = static_cast<int>(st);
        } else if (flt.substr(0, 6) == "bytes=") {
            if (!ParseByteRange(flt.substr(6), &f)) {
                return Fail(error, "bad filter \"@" + std::string(flt) +
                                       "\" (bytes=FIRST-LAST, hex byte addresses up to 7FFF)");
            }
        } else {
            return Fail(error, "bad filter \"@" + std::string(flt) +
                                   "\" (a station 0..15, read, write or bytes=FIRST-LAST in hex)");
        }
    }
    out = std::move(f);
    return true;
}

bool ParseFaultScript(std::string_view text, std::vector<ScriptEntry>& out, std::string* error) {
    std::vector<std::string_view> items;
    while (!text.empty()) {
        size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
        line = line.substr(0, line.find('#'));
        while (true) {
            size_t sep = line.find_first_of(",;");
            items.push_back(line.substr(0, sep));
            if (sep == std::string_view::npos) break;
            line.remove_prefix(sep + 1);
        }
    }
    std::vector<ScriptEntry> entries;
    for (std::string_view item : items) {
        item = Trim(item);
        if (item.empty()) continue;
        ScriptEntry e;
        if (auto colon = item.find(':'); colon != std::string_view::npos) {
            std::string_view when = Trim(item.substr(0, colon));
            uint64_t n;
            if (when == "*") {
                e.when = ScriptEntry::kEvery;
            } else if (ParseNumber(when, n) && n >= 1) {
                e.when = ScriptEntry::kIndex;
                e.index = n;
            } else {
                return Fail(error,
                            "bad request number \"" + std::string(when) + "\" (1, 2, ... or *)");
            }
            item = item.substr(colon + 1);
        }
        if (!ParseFault(item, e.fault, error)) return false;
        entries.push_back(std::move(e));
    }
    out.insert(out.end(), entries.begin(), entries.end());
    return true;
}

std::string FaultToString(const Fault& f) {
    const KindInfo& info = Info(f.kind);
    std::string s = info.name;
    if (f.kind == FaultKind::kGarbage && !f.bytes.empty()) {
        s += "=x";
        char hex[3];
        for (uint8_t b : f.bytes) {
            std::snprintf(hex, sizeof hex, "%02X", b);
            s += hex;
        }
    } else if (f.kind == FaultKind::kError || f.kind == FaultKind::kUnknown) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "=0x%02X", f.param);
        s += hex;
    } else if (info.takes_param) {
        s += "=" + std::to_string(f.param);
    }
    if (f.station >= 0) s += "@" + std::to_string(f.station);
    if (f.request == kReqRead) s += "@read";
    if (f.request == kReqWrite) s += "@write";
    if (f.firstByte <= f.lastByte) {
        char range[24];
        std::snprintf(range, sizeof range, "@bytes=%04X-%04X", f.firstByte, f.lastByte);
        s += range;
    }
    return s;
}

void FaultPlan::Add(const ScriptEntry& entry) {
    switch (entry.when) {
        case ScriptEntry::kNext:
            queue_.push_back(entry.fault);
            break;
        case ScriptEntry::kIndex:
            numbered_.push_back(entry);
            break;
        case ScriptEntry::kEvery:
            every_.push_back(entry.fault);
            break;
    }
}

void FaultPlan::Push(const Fault& fault) {
    queue_.push_back(fault);
}

void FaultPlan::SetRandom(double rate, uint64_t seed, std::vector<Fault> pool) {
    rate_ = std::clamp(rate, 0.0, 1.0);
    rng_.seed(seed);
    pool_ = pool.empty() ? DefaultRandomPool() : std::move(pool);
}

void FaultPlan::Clear() {
    numbered_.clear();
    queue_.clear();
    every_.clear();
    rate_ = 0;
    pool_.clear();
}

Fault FaultPlan::Pick(uint64_t index, const Request& req) {
    Fault chosen;
    bool found = false;
    for (auto it = numbered_.begin(); it != numbered_.end();) {
        if (it->index < index) {
            it = numbered_.erase(it);
        } else if (it->index == index && !found && it->fault.Matches(req)) {
            chosen = it->fault;
            found = true;
            it = numbered_.erase(it);
        } else {
            ++it;
        }
    }
    if (found) return chosen;
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (it->Matches(req)) {
            chosen = *it;
            queue_.erase(it);
            return chosen;
        }
    }
    for (const Fault& f : every_) {
        if (f.Matches(req)) return f;
    }
    if (rate_ > 0 && !pool_.empty()) {
        std::uniform_real_distribution<double> coin(0.0, 1.0);
        if (coin(rng_) < rate_) {
            std::uniform_int_distribution<size_t> pick(0, pool_.size() - 1);
            const Fault& f = pool_[pick(rng_)];
            if (f.Matches(req)) return f;
        }
    }
    return chosen;
}

std::vector<uint8_t> FaultPlan::GarbageBytes(const Fault& fault) {
    if (!fault.bytes.empty()) return fault.bytes;
    std::uniform_int_distribution<int> byte(0, 0xFE);
    std::vector<uint8_t> out(fault.param);
    for (uint8_t& b : out) {
        int v = byte(rng_);
        if (v >= 0xF1) ++v;  // skip F1 without skewing the rest
        b = static_cast<uint8_t>(v);
    }
    return out;
}

std::vector<Fault> DefaultRandomPool() {
    std::vector<Fault> pool;
    for (const KindInfo& k : kKinds) {
        if (k.kind == FaultKind::kNone) continue;
        Fault f;
        f.kind = k.kind;
        f.param = k.default_param;
        pool.push_back(f);
    }
    return pool;
}

}  // namespace p8sim
