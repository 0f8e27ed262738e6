// A tag engine without a line, for the OPC UA front-end's tests and
// benchmark: samples, station states and write outcomes are set by the test,
// and changes and write results reach the front-end from a thread of the
// engine's own, as the real line thread delivers them.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "tags/engine.h"

namespace opcua_test {

class FakeEngine : public tags::Engine {
public:
    FakeEngine(std::string line, std::vector<tags::Tag> tags);
    ~FakeEngine() override;

    const std::string& LineName() const override { return line_; }
    const std::vector<tags::Tag>& Tags() const override { return tags_; }
    std::optional<size_t> Find(std::string_view name) const override;
    tags::Sample Read(size_t tag) const override;
    std::vector<tags::Sample> ReadAll() const override;
    tags::LineStatus Status() const override;
    int Subscribe(Listener listener) override;
    void Unsubscribe(int id) override;
    void Write(size_t tag, double value, std::function<void(const tags::WriteResult&)> done) override;

    // A good sample of engineering value `value`, seen now (or at `when`).
    void SetValue(size_t tag, double value,
                  std::chrono::system_clock::time_point when = std::chrono::system_clock::now());
    void SetValues(const std::vector<std::pair<size_t, double>>& values);
    void SetBad(size_t tag, tags::Cause cause, int errorCode = 0);
    void SetStation(int station, tags::StationStatus::State state);
    void SetPortDown(bool down);

    // How the next writes to `tag` end; a write that "hangs" is never
    // answered until the engine stops.
    struct WritePlan {
        tags::WriteResult result;
        bool hang = false;
    };
    void PlanWrites(size_t tag, WritePlan plan);

    struct WriteSeen {
        size_t tag;
        double value;
    };
    std::function<void(const WriteSeen&)> onWrite;  // called from the engine's thread

private:
    void Post(std::function<void()> job);
    void Publish(std::vector<tags::Change> changes);  // on the engine's thread
    tags::Sample SampleOf(double value, std::chrono::system_clock::time_point when, uint64_t changes) const;

    std::string line_;
    std::vector<tags::Tag> tags_;
    mutable std::mutex mutex_;
    std::vector<tags::Sample> samples_;
    std::map<int, Listener> listeners_;
    int nextId_ = 1;
    std::map<size_t, WritePlan> plans_;
    std::map<int, tags::StationStatus> stations_;
    bool portDown_ = false;
    std::vector<std::function<void(const tags::WriteResult&)>> hung_;

    std::mutex jobsMutex_;
    std::condition_variable jobsCv_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

// One tag of every type, read-only and read-write, scaled and with units,
// on stations 1 and 2; then `extra` uint16 tags "bulk/tNNNN" on station 3.
std::vector<tags::Tag> DemoTags(size_t extra = 0);

}  // namespace opcua_test
