#include "tags/scanner.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tags {

namespace {

using Kind = host::LineResult::Kind;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kGateWord = 0;
constexpr uint32_t kGateFloat = 3;
constexpr uint32_t kGateLong = 4;
constexpr uint32_t kGateDigital = 6;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

Clock::duration Seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

uint32_t BigEndian(const uint8_t* p, uint32_t bytes) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < bytes; ++i) v = v << 8 | p[i];
    return v;
}

bool SameSample(const Sample& a, Quality q, Cause c, int code) {
    return a.quality == q && a.cause == c && a.errorCode == code;
}

// Past the deadband: any change when it is 0, NaN to a number and back too.
bool PastDeadband(double before, double after, double deadband) {
    if (std::isnan(before) || std::isnan(after)) return std::isnan(before) != std::isnan(after);
    const double delta = std::fabs(after - before);
    return delta > 0 && delta >= deadband;
}

Cause CauseOf(Kind kind) {
    switch (kind) {
        case Kind::NoReply: return Cause::NoReply;
        case Kind::ErrorBlock: return Cause::ErrorBlock;
        case Kind::PortDown: return Cause::PortDown;
        default: return Cause::Garbled;
    }
}

}  // namespace

double Decode(const Tag& tag, const uint8_t* p) {
    switch (tag.type) {
        // Bit digit 0 is the most significant bit of the byte.
        case Type::Bool: return (p[0] >> (7 - (tag.bit & 7))) & 1;
        case Type::Int8: return static_cast<int8_t>(p[0]);
        case Type::UInt8: return p[0];
        case Type::Int16: return static_cast<int16_t>(BigEndian(p, 2));
        case Type::UInt16: return BigEndian(p, 2);
        case Type::Int32: return static_cast<int32_t>(BigEndian(p, 4));
        case Type::UInt32: return BigEndian(p, 4);
        case Type::Float32: {
            const uint32_t bits = BigEndian(p, 4);
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return f;
        }
    }
    return 0;
}

Scanner::Scanner(std::string lineName, std::vector<Tag> tags, std::vector<Block> blocks,
                 ScanSettings settings)
    : lineName_(std::move(lineName)), tags_(std::move(tags)), settings_(settings) {
    for (size_t i = 0; i < tags_.size(); ++i) byName_.emplace(tags_[i].name, i);
    samples_.resize(tags_.size());
    published_.assign(tags_.size(), std::nan(""));
    fresh_.resize(tags_.size());
    overdueSent_.assign(tags_.size(), false);
    for (int s = 0; s < 16; ++s) stations_[static_cast<size_t>(s)].number = s;
    for (Block& b : blocks) {
        auto g = std::find_if(groups_.begin(), groups_.end(), [&](const Group& x) {
            return x.station == b.station && x.periodMs == b.periodMs;
        });
        if (g == groups_.end()) {
            groups_.emplace_back();
            g = groups_.end() - 1;
            g->station = b.station;
            g->periodMs = std::max<uint32_t>(b.periodMs, 1);
        }
        Slot slot;
        slot.merged = {b.first, b.length, std::move(b.tags)};
        g->slots.push_back(std::move(slot));
        if (std::find(stationsWithTags_.begin(), stationsWithTags_.end(), b.station) ==
            stationsWithTags_.end()) {
            stationsWithTags_.push_back(b.station);
        }
    }
    std::sort(stationsWithTags_.begin(), stationsWithTags_.end());
    // Shortest periods first: their cycles start first when all are due.
    std::stable_sort(groups_.begin(), groups_.end(),
                     [](const Group& a, const Group& b) { return a.periodMs < b.periodMs; });
}

std::optional<size_t> Scanner::Find(std::string_view name) const {
    const auto it = byName_.find(name);
    if (it == byName_.end()) return std::nullopt;
    return it->second;
}

Sample Scanner::Aged(size_t tag, const Sample& sample, Clock::time_point now) const {
    // A good value not read again for more than two periods is only the
    // last usable one.
    if (sample.quality != Quality::Good) return sample;
    const auto limit = std::chrono::milliseconds(2 * static_cast<int64_t>(tags_[tag].scanMs));
    if (now - fresh_[tag] <= limit) return sample;
    Sample aged = sample;
    aged.quality = Quality::Uncertain;
    aged.cause = Cause::Overdue;
    return aged;
}

Sample Scanner::Read(size_t tag) const {
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    if (tag >= samples_.size()) return {};
    return Aged(tag, samples_[tag], now);
}

std::vector<Sample> Scanner::ReadAll() const {
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    std::vector<Sample> all(samples_.size());
    for (size_t i = 0; i < samples_.size(); ++i) all[i] = Aged(i, samples_[i], now);
    return all;
}

LineStatus Scanner::Status() const {
    LineStatus status;
    status.name = lineName_;
    std::lock_guard lock(mutex_);
    status.portDown = portDownShared_.load();
    for (int s : stationsWithTags_) {
        const Station& st = stations_[static_cast<size_t>(s)];
        StationStatus out;
        out.station = s;
        out.state = status.portDown ? StationStatus::State::PortDown
                    : st.demoted    ? StationStatus::State::Demoted
                    : st.lastGoodScan.time_since_epoch().count() != 0 ? StationStatus::State::Good
                                                                        : StationStatus::State::Unknown;
        out.transactions = st.transactions;
        out.noReply = st.noReply;
        out.errorBlocks = st.errorBlocks;
        out.garbled = st.garbled;
        out.failures = st.noReply + st.errorBlocks + st.garbled + st.other;
        const size_t n = std::min(st.replyCount, st.replies.size());
        if (n > 0) {
            std::vector<float> times(st.replies.begin(), st.replies.begin() + static_cast<long>(n));
            std::sort(times.begin(), times.end());
            // Nearest rank.
            auto rank = [&](double share) {
                const size_t k = static_cast<size_t>(std::ceil(share * static_cast<double>(n)));
                return 1000.0 * times[std::min(n, std::max<size_t>(k, 1)) - 1];
            };
            out.replyMedianMs = rank(0.5);
            out.replyP99Ms = rank(0.99);
            out.replyMaxMs = 1000.0 * times.back();
        }
        out.lastGoodScan = st.lastGoodScan;
        status.stations.push_back(out);
    }
    return status;
}

std::vector<PeriodStatus> Scanner::Periods() const {
    std::lock_guard lock(mutex_);
    std::vector<PeriodStatus> out;
    for (const Group& g : groups_) {
        PeriodStatus p;
        p.station = g.station;
        p.periodMs = g.periodMs;
        p.cycles = g.cycles;
        p.overruns = g.overruns;
        p.lastCycleMs = g.lastCycleMs;
        p.lastStart = g.lastStart;
        if (g.cycles >= 2) p.achievedMs = Ms(g.lastStart - g.firstStart) / double(g.cycles - 1);
        for (const Slot& s : g.slots) p.blocks += s.pieces.empty() ? 1 : s.pieces.size();
        out.push_back(p);
    }
    return out;
}

std::vector<std::string> Scanner::StatsLines() const {
    std::vector<std::string> lines;
    const LineStatus status = Status();
    const auto now = std::chrono::system_clock::now();
    char text[400];
    for (const StationStatus& s : status.stations) {
        const char* state = s.state == StationStatus::State::Good       ? "good"
                            : s.state == StationStatus::State::Demoted  ? "demoted"
                            : s.state == StationStatus::State::PortDown ? "port down"
                                                                        : "not read yet";
        std::string last = "never";
        if (s.lastGoodScan.time_since_epoch().count() != 0) {
            char ago[32];
            std::snprintf(ago, sizeof ago, "%.1f s ago",
                          std::chrono::duration<double>(now - s.lastGoodScan).count());
            last = ago;
        }
        std::snprintf(text, sizeof text,
                      "station %d: %s, %llu transactions, %llu failed (no reply %llu, ERROR "
                      "block %llu, garbled %llu), reply median %.1f ms p99 %.1f ms, last good "
                      "scan %s",
                      s.station, state, static_cast<unsigned long long>(s.transactions),
                      static_cast<unsigned long long>(s.failures),
                      static_cast<unsigned long long>(s.noReply),
                      static_cast<unsigned long long>(s.errorBlocks),
                      static_cast<unsigned long long>(s.garbled), s.replyMedianMs, s.replyP99Ms,
                      last.c_str());
        lines.emplace_back(text);
    }
    for (const PeriodStatus& p : Periods()) {
        std::snprintf(text, sizeof text,
                      "station %d period %u ms: achieved %.0f ms, %llu cycles, %llu overruns, "
                      "%zu blocks, last cycle %.0f ms",
                      p.station, p.periodMs, p.achievedMs, static_cast<unsigned long long>(p.cycles),
                      static_cast<unsigned long long>(p.overruns), p.blocks, p.lastCycleMs);
        lines.emplace_back(text);
    }
    return lines;
}

int Scanner::Subscribe(Listener listener) {
    std::lock_guard lock(listenersMutex_);
    const int id = nextListener_++;
    listeners_.emplace(id, std::move(listener));
    return id;
}

void Scanner::Unsubscribe(int id) {
    std::lock_guard lock(listenersMutex_);
    listeners_.erase(id);
}

void Scanner::Publish(const std::vector<Change>& changes) {
    if (changes.empty()) return;
    std::lock_guard lock(listenersMutex_);
    for (auto& [id, listener] : listeners_) listener(changes);
}

// ---- writes -----------------------------------------------------------

void Scanner::Write(size_t tag, double value, std::function<void(const WriteResult&)> done) {
    WriteResult refused;
    auto refuse = [&](WriteResult::Status status, std::string text) {
        refused.status = status;
        refused.text = std::move(text);
        const std::string name = tag < tags_.size() ? tags_[tag].name : std::to_string(tag);
        std::fprintf(stderr, "vave8gw: write of %g to tag %s refused: %s\n", value, name.c_str(),
                     refused.text.c_str());
        if (done) done(refused);
    };
    if (tag >= tags_.size()) return refuse(WriteResult::Status::Failed, "no such tag");
    const Tag& t = tags_[tag];
    if (t.access != Access::ReadWrite) return refuse(WriteResult::Status::ReadOnly, "read-only tag");
    if (t.scale == 0 || !std::isfinite(value)) {
        return refuse(WriteResult::Status::OutOfRange, "not a value the tag can hold");
    }
    double raw = (value - t.offset) / t.scale;
    bool fits = std::isfinite(raw);
    if (t.type == Type::Float32) {
        fits = fits && std::fabs(raw) <= FLT_MAX;
    } else {
        raw = std::nearbyint(raw);
        double lo = 0, hi = 1;
        switch (t.type) {
            case Type::Int8: lo = INT8_MIN, hi = INT8_MAX; break;
            case Type::UInt8: hi = UINT8_MAX; break;
            case Type::Int16: lo = INT16_MIN, hi = INT16_MAX; break;
            case Type::UInt16: hi = UINT16_MAX; break;
            case Type::Int32: lo = INT32_MIN, hi = INT32_MAX; break;
            case Type::UInt32: hi = UINT32_MAX; break;
            default: break;
        }
        fits = fits && raw >= lo && raw <= hi;
    }
    if (!fits) {
        return refuse(WriteResult::Status::OutOfRange,
                      "out of the type's range after scale and offset");
    }
    if (portDownShared_.load()) return refuse(WriteResult::Status::PortDown, "the port is down");
    if (demotedShared_[static_cast<size_t>(t.station & 15)].load()) {
        return refuse(WriteResult::Status::Demoted, "the station is demoted");
    }
    std::function<void()> wake;
    bool queued = false;
    {
        std::lock_guard lock(writeMutex_);
        if (stopped_) {
            refused.status = WriteResult::Status::Stopped;
        } else if (writes_.size() >= settings_.maxWrites) {
            refused.status = WriteResult::Status::Failed;
        } else {
            writes_.push_back({tag, raw, std::move(done)});
            wake = wake_;
            queued = true;
        }
    }
    if (!queued) {
        return refuse(refused.status, refused.status == WriteResult::Status::Stopped
                                          ? "the engine stopped"
                                          : "too many writes waiting for the line");
    }
    if (wake) wake();
}

bool Scanner::RunWrite(host::LineAccess& line) {
    PendingWrite w;
    {
        std::lock_guard lock(writeMutex_);
        if (writes_.empty()) return false;
        w = std::move(writes_.front());
        writes_.pop_front();
    }
    const Tag& t = tags_[w.tag];
    // The gate's value area as the driver reads it: 8- and 16-bit items in
    // the slot at offset 2, little-endian; 32-bit items at offset 0.
    alignas(8) uint8_t values[16] = {};
    uint32_t gateType = kGateWord;
    if (t.memoryType == '8' || t.memoryType == '9') {
        uint32_t bits;
        if (t.memoryType == '9') {
            const float f = static_cast<float>(w.raw);
            std::memcpy(&bits, &f, sizeof bits);
            gateType = kGateFloat;
        } else {
            bits = t.type == Type::Int32 ? static_cast<uint32_t>(static_cast<int32_t>(w.raw))
                                         : static_cast<uint32_t>(w.raw);
            gateType = kGateLong;
        }
        for (int i = 0; i < 4; ++i) values[i] = static_cast<uint8_t>(bits >> (8 * i));
    } else {
        const auto item = static_cast<uint16_t>(static_cast<int32_t>(w.raw));
        values[2] = static_cast<uint8_t>(item & 0xFF);
        values[3] = static_cast<uint8_t>(item >> 8);
        if (t.type == Type::Bool) gateType = kGateDigital;
    }
    const host::LineResult r = line.WriteGate(t.address, gateType, values);
    Station& st = stations_[static_cast<size_t>(t.station & 15)];
    Count(st, r);
    WriteResult result;
    result.text = r.text;
    switch (r.kind) {
        case Kind::Ok: result.status = WriteResult::Status::Done; break;
        case Kind::PortDown: result.status = WriteResult::Status::PortDown; break;
        default:
            result.status = WriteResult::Status::Failed;
            result.cause = CauseOf(r.kind);
            result.errorCode = r.errorCode;
            break;
    }
    if (r.kind != Kind::Ok) {
        std::fprintf(stderr, "vave8gw: write to tag %s failed: %s\n", t.name.c_str(),
                     r.text.c_str());
    }
    if (r.kind == Kind::PortDown) PortDown(Clock::now());
    if (w.done) w.done(result);
    return true;
}

void Scanner::SetWake(std::function<void()> wake) {
    std::lock_guard lock(writeMutex_);
    wake_ = std::move(wake);
}

void Scanner::Stop() {
    std::deque<PendingWrite> left;
    {
        std::lock_guard lock(writeMutex_);
        stopped_ = true;
        left.swap(writes_);
    }
    WriteResult stopped;
    stopped.status = WriteResult::Status::Stopped;
    stopped.text = "the engine stopped before the write went out";
    for (PendingWrite& w : left) {
        if (w.done) w.done(stopped);
    }
}

// ---- scanning ---------------------------------------------------------

Clock::time_point Scanner::NextDue() {
    auto due = Clock::time_point::max();
    for (const Group& g : groups_) {
        if (!g.work.empty()) return Clock::now();
        if (!stations_[static_cast<size_t>(g.station)].demoted && !g.running) due = std::min(due, g.due);
    }
    for (int s : stationsWithTags_) {
        const Station& st = stations_[static_cast<size_t>(s)];
        if (st.demoted) due = std::min(due, st.probeDue);
    }
    return portDown_ ? std::max(due, portRetry_) : due;
}

void Scanner::StartDueCycles(Clock::time_point now) {
    for (Group& g : groups_) {
        if (g.running || g.due > now || stations_[static_cast<size_t>(g.station)].demoted) continue;
        g.running = true;
        g.start = now;
        g.answered = g.failed = 0;
        g.silent = false;
        for (size_t i = 0; i < g.slots.size(); ++i) {
            Slot& slot = g.slots[i];
            if (!slot.pieces.empty() && now < slot.retryMerged) {
                for (const Piece& p : slot.pieces) g.work.push_back({i, p, false, false});
            } else {
                g.work.push_back({i, slot.merged, true, false});
            }
        }
        {
            std::lock_guard lock(mutex_);
            if (g.cycles == 0) g.firstStart = now;
            g.lastStart = now;
        }
        // The next cycle is due a period after this one was; one that could
        // not start in time starts as soon as this one ends.
        g.due = (g.due.time_since_epoch().count() == 0 ? now : g.due) +
                std::chrono::milliseconds(g.periodMs);
    }
}

void Scanner::SweepOverdue(Clock::time_point now) {
    if (now < nextSweep_) return;
    nextSweep_ = now + std::chrono::milliseconds(100);
    std::vector<Change> changes;
    {
        std::lock_guard lock(mutex_);
        for (size_t t = 0; t < samples_.size(); ++t) {
            if (overdueSent_[t] || samples_[t].quality != Quality::Good) continue;
            const Sample aged = Aged(t, samples_[t], now);
            if (aged.quality == Quality::Good) continue;
            overdueSent_[t] = true;
            changes.push_back({t, aged});
        }
    }
    Publish(changes);
}

void Scanner::RunScan(host::LineAccess& line) {
    const auto now = Clock::now();
    SweepOverdue(now);
    if (portDown_) {
        if (now < portRetry_) return;
        // One read probes the port; the line reopens it first.
        portDown_ = false;
    }
    for (int s : stationsWithTags_) {
        Station& st = stations_[static_cast<size_t>(s)];
        if (st.demoted && st.probeDue <= now) return Probe(line, st);
    }
    StartDueCycles(now);
    for (size_t k = 0; k < groups_.size(); ++k) {
        Group& g = groups_[(nextGroup_ + k) % groups_.size()];
        if (g.work.empty()) continue;
        nextGroup_ = (nextGroup_ + k + 1) % groups_.size();
        Work work = std::move(g.work.front());
        g.work.pop_front();
        Execute(line, g, std::move(work));
        if (g.running && g.work.empty()) FinishCycle(g, Clock::now());
        return;
    }
}

void Scanner::Count(Station& st, const host::LineResult& r) {
    if (r.kind != Kind::PortDown && portDownShared_.exchange(false)) {
        std::fprintf(stderr, "vave8gw: the serial port serves again: scanning\n");
    }
    std::lock_guard lock(mutex_);
    ++st.transactions;
    switch (r.kind) {
        case Kind::Ok:
        case Kind::ErrorBlock:
            st.replies[st.replyCount++ % st.replies.size()] = static_cast<float>(r.seconds);
            if (r.kind == Kind::ErrorBlock) ++st.errorBlocks;
            break;
        case Kind::NoReply: ++st.noReply; break;
        case Kind::Garbled: ++st.garbled; break;
        case Kind::PortDown: --st.transactions; break;  // never reached the line
        default: ++st.other; break;
    }
}

bool Scanner::Split(const Piece& piece, Piece* low, Piece* high) const {
    // Halves by tags, never through one: the tags in address order, cut at
    // the tag boundary nearest the middle of the bytes.
    std::vector<size_t> order = piece.tags;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return tags_[a].byteAddress < tags_[b].byteAddress;
    });
    const uint32_t middle = piece.first + piece.length / 2;
    size_t best = 0;
    uint32_t bestDistance = UINT32_MAX;
    uint32_t reach = 0;  // end of the bytes of the tags before the cut
    for (size_t i = 0; i + 1 < order.size(); ++i) {
        const Tag& t = tags_[order[i]];
        reach = std::max(reach, t.byteAddress + TypeBytes(t.type));
        const uint32_t next = tags_[order[i + 1]].byteAddress;
        if (next < reach) continue;  // the next tag shares bytes with these
        const uint32_t distance = next > middle ? next - middle : middle - next;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = i + 1;
        }
    }
    if (best == 0) return false;
    auto make = [&](size_t from, size_t to, Piece* out) {
        out->tags.assign(order.begin() + static_cast<long>(from), order.begin() + static_cast<long>(to));
        uint32_t first = UINT32_MAX, end = 0;
        for (size_t t : out->tags) {
            first = std::min(first, tags_[t].byteAddress);
            end = std::max(end, tags_[t].byteAddress + TypeBytes(tags_[t].type));
        }
        out->first = first;
        out->length = end - first;
    };
    make(0, best, low);
    make(best, order.size(), high);
    return true;
}

void Scanner::Execute(host::LineAccess& line, Group& g, Work work) {
    Station& st = stations_[static_cast<size_t>(g.station)];
    Slot& slot = g.slots[work.slot];
    if (g.silent) {
        // The station left a block of this cycle unanswered: the rest of the
        // cycle would only cost the line its timeouts.
        Bad(work.piece.tags, Cause::NoReply, 0, &g.changes);
        if (work.collect) slot.pieces.push_back(std::move(work.piece));
        return;
    }
    uint8_t bytes[256];
    const host::LineResult r = line.ReadBytes(g.station, work.piece.first, work.piece.length, bytes);
    Count(st, r);
    switch (r.kind) {
        case Kind::Ok:
            ++g.answered;
            Good(work.piece, bytes, &g.changes);
            if (work.merged) slot.pieces.clear();
            if (work.collect) slot.pieces.push_back(std::move(work.piece));
            return;
        case Kind::ErrorBlock: {
            ++g.answered;
            Piece low, high;
            if (Split(work.piece, &low, &high)) {
                // Found within this cycle: the halves go next, in order.
                if (work.merged) {
                    slot.pieces.clear();
                    slot.retryMerged = Clock::now() + Seconds(settings_.retryMergedSeconds);
                } else if (!work.collect) {
                    auto& p = slot.pieces;
                    p.erase(std::remove_if(p.begin(), p.end(),
                                           [&](const Piece& x) {
                                               return x.first == work.piece.first &&
                                                      x.length == work.piece.length;
                                           }),
                            p.end());
                }
                g.work.push_front({work.slot, std::move(high), false, true});
                g.work.push_front({work.slot, std::move(low), false, true});
                return;
            }
            Bad(work.piece.tags, Cause::ErrorBlock, r.errorCode, &g.changes);
            if (work.collect) slot.pieces.push_back(std::move(work.piece));
            return;
        }
        case Kind::PortDown:
            PortDown(Clock::now());
            return;
        case Kind::NoReply:
            g.silent = true;
            [[fallthrough]];
        default:
            ++g.failed;
            Bad(work.piece.tags, CauseOf(r.kind), 0, &g.changes);
            if (work.collect) slot.pieces.push_back(std::move(work.piece));
            return;
    }
}

void Scanner::FinishCycle(Group& g, Clock::time_point now) {
    g.running = false;
    Station& st = stations_[static_cast<size_t>(g.station)];
    {
        std::lock_guard lock(mutex_);
        ++g.cycles;
        g.lastCycleMs = Ms(now - g.start);
        if (now > g.due) ++g.overruns;
        if (g.answered > 0) st.lastGoodScan = std::chrono::system_clock::now();
    }
    if (now > g.due) g.due = now;
    std::vector<Change> changes;
    changes.swap(g.changes);
    Publish(changes);
    if (g.answered > 0) {
        st.failedCycles = 0;
    } else if (g.failed > 0 && ++st.failedCycles >= settings_.demoteAfter) {
        Demote(st, now);
    }
}

void Scanner::Demote(Station& st, Clock::time_point now) {
    st.demoted = true;
    st.probeDue = now + Seconds(settings_.demoteSeconds);
    demotedShared_[static_cast<size_t>(st.number)].store(true);
    std::fprintf(stderr,
                 "vave8gw: station %d demoted after %d failed cycles: tried once every %.0f s "
                 "until it answers\n",
                 st.number, st.failedCycles, settings_.demoteSeconds);
    std::vector<Change> changes;
    for (Group& g : groups_) {
        if (g.station != st.number) continue;
        // Whatever of a cycle still waits is dropped with the station.
        g.work.clear();
        g.running = false;
        g.changes.clear();
        for (const Slot& slot : g.slots) Bad(slot.merged.tags, Cause::Demoted, 0, &changes);
    }
    Publish(changes);
}

void Scanner::Probe(host::LineAccess& line, Station& st) {
    const auto now = Clock::now();
    Group* first = nullptr;
    for (Group& g : groups_) {
        if (g.station == st.number && !g.slots.empty()) {
            first = &g;
            break;
        }
    }
    if (first == nullptr) return;
    const Slot& slot = first->slots.front();
    const Piece& piece = slot.pieces.empty() ? slot.merged : slot.pieces.front();
    uint8_t bytes[256];
    const host::LineResult r = line.ReadBytes(st.number, piece.first, piece.length, bytes);
    Count(st, r);
    if (r.kind == Kind::PortDown) return PortDown(now);
    if (r.kind != Kind::Ok && r.kind != Kind::ErrorBlock) {
        st.probeDue = now + Seconds(settings_.demoteSeconds);
        return;
    }
    std::fprintf(stderr, "vave8gw: station %d answers again: scanned at its periods\n", st.number);
    st.demoted = false;
    st.failedCycles = 0;
    demotedShared_[static_cast<size_t>(st.number)].store(false);
    std::vector<Change> changes;
    if (r.kind == Kind::Ok) Good(piece, bytes, &changes);
    Publish(changes);
    for (Group& g : groups_) {
        if (g.station == st.number) g.due = now;
    }
}

void Scanner::PortDown(Clock::time_point now) {
    const bool first = !portDownShared_.exchange(true);
    portDown_ = true;
    portRetry_ = now + std::chrono::seconds(1);
    std::vector<Change> changes;
    for (Group& g : groups_) {
        g.work.clear();
        g.running = false;
        g.changes.clear();
        // Cycles missed while the port was down are no overruns: each
        // period starts afresh once it serves again.
        g.due = {};
        if (first) {
            for (const Slot& slot : g.slots) Bad(slot.merged.tags, Cause::PortDown, 0, &changes);
        }
    }
    Publish(changes);
}

void Scanner::Good(const Piece& piece, const uint8_t* bytes, std::vector<Change>* out) {
    const auto now = std::chrono::system_clock::now();
    const auto steadyNow = Clock::now();
    std::lock_guard lock(mutex_);
    for (size_t t : piece.tags) {
        const Tag& tag = tags_[t];
        const double raw = Decode(tag, bytes + (tag.byteAddress - piece.first));
        Sample& s = samples_[t];
        const bool qualityChanged =
            !SameSample(s, Quality::Good, Cause::None, 0) || overdueSent_[t];
        overdueSent_[t] = false;
        s.raw = raw;
        s.value = raw * tag.scale + tag.offset;
        s.sourceTime = now;
        s.quality = Quality::Good;
        s.cause = Cause::None;
        s.errorCode = 0;
        fresh_[t] = steadyNow;
        if (qualityChanged || PastDeadband(published_[t], s.value, tag.deadband)) {
            published_[t] = s.value;
            ++s.changes;
            out->push_back({t, s});
        }
    }
}

void Scanner::Bad(const std::vector<size_t>& tags, Cause cause, int errorCode,
                  std::vector<Change>* out) {
    std::lock_guard lock(mutex_);
    for (size_t t : tags) {
        Sample& s = samples_[t];
        // The last value stays for whoever wants it, marked bad.
        if (SameSample(s, Quality::Bad, cause, errorCode)) continue;
        overdueSent_[t] = false;
        s.quality = Quality::Bad;
        s.cause = cause;
        s.errorCode = errorCode;
        ++s.changes;
        out->push_back({t, s});
    }
}

}  // namespace tags
