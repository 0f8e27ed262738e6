// The tag engine: scans the plan's blocks on the line thread, keeps every
// tag's latest sample, passes changes on, and carries out tag writes.
//
// Threads: RunWrite, NextDue, RunScan and Stop run on the line thread only;
// everything of Engine may be called from any thread and never waits for
// the line.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/line_loop.h"
#include "tags/config.h"
#include "tags/engine.h"
#include "tags/plan.h"

namespace tags {

struct ScanSettings {
    int demoteAfter = 3;         // failed cycles in a row before a station is demoted
    double demoteSeconds = 30;   // a demoted station is tried once this often
    double retryMergedSeconds = 60;  // a block split after an ERROR block is tried whole again
    size_t maxWrites = 256;      // writes waiting at once; more are refused
};

struct PeriodStatus {
    int station = 0;
    uint32_t periodMs = 0;
    double achievedMs = 0;   // mean time between cycle starts, 0 before two cycles
    double lastCycleMs = 0;  // the last cycle's time on the line
    uint64_t cycles = 0;
    uint64_t overruns = 0;   // cycles that ended after the next should have started
    size_t blocks = 0;       // transactions of a cycle as the plan stands (splits included)
    std::chrono::steady_clock::time_point lastStart{};  // of the latest cycle
};

// The raw value of a tag from the bytes at its address (big-endian).
double Decode(const Tag& tag, const uint8_t* bytes);

class Scanner final : public Engine, public host::Periodic {
public:
    Scanner(std::string lineName, std::vector<Tag> tags, std::vector<Block> blocks,
            ScanSettings settings = {});

    // Engine
    const std::string& LineName() const override { return lineName_; }
    const std::vector<Tag>& Tags() const override { return tags_; }
    std::optional<size_t> Find(std::string_view name) const override;
    Sample Read(size_t tag) const override;
    std::vector<Sample> ReadAll() const override;
    LineStatus Status() const override;
    int Subscribe(Listener listener) override;
    void Unsubscribe(int id) override;
    void Write(size_t tag, double value, std::function<void(const WriteResult&)> done) override;

    // host::Periodic
    bool RunWrite(host::LineAccess& line) override;
    Clock::time_point NextDue() override;
    void RunScan(host::LineAccess& line) override;
    void SetWake(std::function<void()> wake) override;
    void Stop() override;

    std::vector<PeriodStatus> Periods() const;
    // The statistics lines: one per station, one per period.
    std::vector<std::string> StatsLines() const;

private:
    struct Piece {
        uint32_t first = 0;
        uint32_t length = 0;
        std::vector<size_t> tags;
    };
    struct Slot {  // one block of the plan
        Piece merged;
        std::vector<Piece> pieces;  // not empty: split after an ERROR block
        Clock::time_point retryMerged{};
    };
    struct Work {
        size_t slot = 0;
        Piece piece;
        bool merged = false;   // the slot's whole block
        bool collect = false;  // a piece of a split: joins the slot's pieces when final
    };
    struct Group {  // one station's tags of one period
        int station = 0;
        uint32_t periodMs = 0;
        std::vector<Slot> slots;
        std::deque<Work> work;  // the cycle under way
        bool running = false;
        Clock::time_point due{};  // when the next cycle starts
        Clock::time_point start{};
        int answered = 0, failed = 0;
        bool silent = false;  // nobody answered this cycle: its other blocks are not tried
        std::vector<Change> changes;
        // statistics
        uint64_t cycles = 0, overruns = 0;
        Clock::time_point firstStart{}, lastStart{};
        double lastCycleMs = 0;
    };
    struct Station {
        int number = 0;
        int failedCycles = 0;
        bool demoted = false;
        Clock::time_point probeDue{};
        uint64_t transactions = 0, noReply = 0, errorBlocks = 0, garbled = 0, other = 0;
        std::array<float, 512> replies{};  // recent reply times, seconds
        size_t replyCount = 0;
        std::chrono::system_clock::time_point lastGoodScan{};
    };
    struct PendingWrite {
        size_t tag = 0;
        double raw = 0;
        std::function<void(const WriteResult&)> done;
    };

    void StartDueCycles(Clock::time_point now);
    // Tells consumers of good values that went overdue, once each.
    void SweepOverdue(Clock::time_point now);
    void Execute(host::LineAccess& line, Group& group, Work work);
    void Probe(host::LineAccess& line, Station& station);
    void FinishCycle(Group& group, Clock::time_point now);
    void Demote(Station& station, Clock::time_point now);
    void PortDown(Clock::time_point now);
    void Count(Station& station, const host::LineResult& result);
    // Sets tags' samples; changes go to `out`. Caller does not hold the lock.
    void Good(const Piece& piece, const uint8_t* bytes, std::vector<Change>* out);
    void Bad(const std::vector<size_t>& tags, Cause cause, int errorCode,
             std::vector<Change>* out);
    void Publish(const std::vector<Change>& changes);
    bool Split(const Piece& piece, Piece* low, Piece* high) const;
    Sample Aged(size_t tag, const Sample& sample, Clock::time_point now) const;

    std::string lineName_;
    std::vector<Tag> tags_;
    std::map<std::string, size_t, std::less<>> byName_;
    ScanSettings settings_;
    std::vector<Group> groups_;
    std::array<Station, 16> stations_{};
    std::vector<int> stationsWithTags_;
    size_t nextGroup_ = 0;  // round robin over groups with work
    bool portDown_ = false;
    Clock::time_point portRetry_{};
    Clock::time_point nextSweep_{};

    // Shared with other threads.
    mutable std::mutex mutex_;  // samples, statistics, listeners
    std::vector<Sample> samples_;
    std::vector<double> published_;  // the value consumers last saw, for the deadband
    std::vector<Clock::time_point> fresh_;  // when each tag was last read good
    std::vector<bool> overdueSent_;         // consumers were told it is overdue
    // Held while listeners run, apart from the samples' lock so that a
    // listener may Read.
    mutable std::mutex listenersMutex_;
    std::map<int, Listener> listeners_;
    int nextListener_ = 1;
    std::atomic<bool> portDownShared_{false};
    std::array<std::atomic<bool>, 16> demotedShared_{};

    std::mutex writeMutex_;
    std::deque<PendingWrite> writes_;
    std::function<void()> wake_;
    bool stopped_ = false;
};

}  // namespace tags
