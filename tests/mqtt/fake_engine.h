// A tag engine without a line: values, station states and write outcomes
// set by the test, changes handed to listeners as the scanner would.
#pragma once

#include <map>
#include <mutex>
#include <unordered_map>

#include "tags/engine.h"

namespace mqtt_test {

class FakeEngine : public tags::Engine {
public:
    explicit FakeEngine(std::string line, std::vector<tags::Tag> tagList)
        : line_(std::move(line)), tags_(std::move(tagList)), samples_(tags_.size()) {
        status_.name = line_;
        for (size_t i = 0; i < tags_.size(); ++i) byName_[tags_[i].name] = i;
        for (const auto& t : tags_) {
            bool seen = false;
            for (const auto& s : status_.stations) seen |= s.station == t.station;
            if (!seen) {
                tags::StationStatus s;
                s.station = t.station;
                s.state = tags::StationStatus::State::Good;
                status_.stations.push_back(s);
            }
        }
    }

    // One scan cycle: the given values, good, stamped now.
    void Cycle(const std::vector<std::pair<size_t, double>>& values) {
        std::vector<tags::Change> changes;
        {
            std::lock_guard lock(mutex_);
            auto now = std::chrono::system_clock::now();
            for (auto [tag, v] : values) {
                tags::Sample& s = samples_.at(tag);
                s.raw = s.value = v;
                s.quality = tags::Quality::Good;
                s.cause = tags::Cause::None;
                s.sourceTime = now;
                s.changes++;
                changes.push_back({tag, s});
            }
        }
        Emit(changes);
    }

    // A station's state; its tags turn bad with a dead station.
    void SetStation(int station, tags::StationStatus::State state) {
        std::vector<tags::Change> changes;
        {
            std::lock_guard lock(mutex_);
            for (auto& s : status_.stations)
                if (s.station == station) s.state = state;
            if (state == tags::StationStatus::State::Demoted || state == tags::StationStatus::State::PortDown) {
                for (size_t i = 0; i < tags_.size(); ++i) {
                    if (tags_[i].station != station) continue;
                    samples_[i].quality = tags::Quality::Bad;
                    samples_[i].cause = state == tags::StationStatus::State::Demoted ? tags::Cause::Demoted
                                                                                      : tags::Cause::PortDown;
                    samples_[i].changes++;
                    changes.push_back({i, samples_[i]});
                }
            }
        }
        Emit(changes);
    }

    // Called for each write that reaches "the line"; the default applies
    // the value as the next scan would read it back.
    std::function<void(size_t, double)> onWrite;

    const std::string& LineName() const override { return line_; }
    const std::vector<tags::Tag>& Tags() const override { return tags_; }
    std::optional<size_t> Find(std::string_view name) const override {
        auto it = byName_.find(std::string(name));
        if (it == byName_.end()) return std::nullopt;
        return it->second;
    }
    tags::Sample Read(size_t tag) const override {
        std::lock_guard lock(mutex_);
        return samples_.at(tag);
    }
    std::vector<tags::Sample> ReadAll() const override {
        std::lock_guard lock(mutex_);
        return samples_;
    }
    tags::LineStatus Status() const override {
        std::lock_guard lock(mutex_);
        return status_;
    }
    int Subscribe(Listener listener) override {
        std::lock_guard lock(listenerMutex_);
        listeners_[++lastId_] = std::move(listener);
        return lastId_;
    }
    void Unsubscribe(int id) override {
        std::lock_guard lock(listenerMutex_);
        listeners_.erase(id);
    }
    void Write(size_t tag, double value, std::function<void(const tags::WriteResult&)> done) override {
        tags::WriteResult r;
        if (tag >= tags_.size() || tags_[tag].access != tags::Access::ReadWrite) {
            r.status = tags::WriteResult::Status::ReadOnly;
            r.text = "read-only tag";
            done(r);
            return;
        }
        if (onWrite) onWrite(tag, value);
        r.status = tags::WriteResult::Status::Done;
        done(r);
        Cycle({{tag, value}});
    }

private:
    void Emit(const std::vector<tags::Change>& changes) {
        if (changes.empty()) return;
        std::lock_guard lock(listenerMutex_);
        for (auto& [id, l] : listeners_) l(changes);
    }

    std::string line_;
    std::vector<tags::Tag> tags_;
    std::unordered_map<std::string, size_t> byName_;
    mutable std::mutex mutex_;
    std::vector<tags::Sample> samples_;
    tags::LineStatus status_;
    std::mutex listenerMutex_;
    std::map<int, Listener> listeners_;
    int lastId_ = 0;
};

// Tags of every type on two stations, as the tests and the benchmark use.
inline tags::Tag MakeTag(std::string name, int station, tags::Type type, bool rw = false, double scale = 1) {
    tags::Tag t;
    t.name = std::move(name);
    t.station = station;
    t.type = type;
    t.access = rw ? tags::Access::ReadWrite : tags::Access::Read;
    t.scale = scale;
    t.scaled = scale != 1;
    return t;
}

inline std::vector<tags::Tag> SampleTags() {
    using T = tags::Type;
    std::vector<tags::Tag> list = {MakeTag("tank/level", 1, T::UInt16, true), MakeTag("tank/temp", 1, T::Float32),
            MakeTag("pump/run", 1, T::Bool, true),     MakeTag("count", 1, T::Int32),
            MakeTag("flow", 2, T::Int16, true, 0.1),   MakeTag("valve/open", 2, T::Bool),
            MakeTag("small", 2, T::Int8),              MakeTag("bytes", 2, T::UInt8),
            MakeTag("total", 2, T::UInt32)};
    list[0].units = "mm";
    return list;
}

}  // namespace mqtt_test
