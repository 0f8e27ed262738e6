#include "tests/opcua/fake_engine.h"

#include <cmath>

namespace opcua_test {

FakeEngine::FakeEngine(std::string line, std::vector<tags::Tag> tags)
    : line_(std::move(line)), tags_(std::move(tags)), samples_(tags_.size()) {
    for (const auto& tag : tags_) stations_[tag.station].station = tag.station;
    thread_ = std::thread([this] {
        std::unique_lock lock(jobsMutex_);
        for (;;) {
            jobsCv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) break;
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    });
}

FakeEngine::~FakeEngine() {
    {
        std::lock_guard lock(jobsMutex_);
        stopping_ = true;
    }
    jobsCv_.notify_all();
    thread_.join();
    tags::WriteResult stopped;
    stopped.status = tags::WriteResult::Status::Stopped;
    for (auto& done : hung_) done(stopped);
}

void FakeEngine::Post(std::function<void()> job) {
    {
        std::lock_guard lock(jobsMutex_);
        jobs_.push_back(std::move(job));
    }
    jobsCv_.notify_one();
}

std::optional<size_t> FakeEngine::Find(std::string_view name) const {
    for (size_t i = 0; i < tags_.size(); ++i)
        if (tags_[i].name == name) return i;
    return std::nullopt;
}

tags::Sample FakeEngine::Read(size_t tag) const {
    std::lock_guard lock(mutex_);
    return samples_.at(tag);
}

std::vector<tags::Sample> FakeEngine::ReadAll() const {
    std::lock_guard lock(mutex_);
    return samples_;
}

tags::LineStatus FakeEngine::Status() const {
    std::lock_guard lock(mutex_);
    tags::LineStatus status;
    status.name = line_;
    status.portDown = portDown_;
    for (const auto& [station, s] : stations_) status.stations.push_back(s);
    return status;
}

int FakeEngine::Subscribe(Listener listener) {
    std::lock_guard lock(mutex_);
    listeners_[nextId_] = std::move(listener);
    return nextId_++;
}

void FakeEngine::Unsubscribe(int id) {
    // Listeners run under this lock: none runs after this returns.
    std::lock_guard lock(mutex_);
    listeners_.erase(id);
}

void FakeEngine::Publish(std::vector<tags::Change> changes) {
    std::lock_guard lock(mutex_);
    for (auto& [id, listener] : listeners_) listener(changes);
}

tags::Sample FakeEngine::SampleOf(double value, std::chrono::system_clock::time_point when, uint64_t changes) const {
    tags::Sample s;
    s.raw = value;
    s.value = value;
    s.sourceTime = when;
    s.quality = tags::Quality::Good;
    s.cause = tags::Cause::None;
    s.changes = changes + 1;
    return s;
}

void FakeEngine::SetValue(size_t tag, double value, std::chrono::system_clock::time_point when) {
    tags::Sample s;
    {
        std::lock_guard lock(mutex_);
        s = samples_.at(tag) = SampleOf(value, when, samples_.at(tag).changes);
    }
    Post([this, tag, s] { Publish({{tag, s}}); });
}

void FakeEngine::SetValues(const std::vector<std::pair<size_t, double>>& values) {
    std::vector<tags::Change> changes;
    const auto now = std::chrono::system_clock::now();
    {
        std::lock_guard lock(mutex_);
        for (const auto& [tag, value] : values) {
            samples_.at(tag) = SampleOf(value, now, samples_.at(tag).changes);
            changes.push_back({tag, samples_[tag]});
        }
    }
    Post([this, changes = std::move(changes)] { Publish(changes); });
}

void FakeEngine::SetBad(size_t tag, tags::Cause cause, int errorCode) {
    tags::Sample s;
    {
        std::lock_guard lock(mutex_);
        tags::Sample& sample = samples_.at(tag);
        sample.quality = cause == tags::Cause::Overdue ? tags::Quality::Uncertain : tags::Quality::Bad;
        sample.cause = cause;
        sample.errorCode = errorCode;
        sample.sourceTime = std::chrono::system_clock::now();
        ++sample.changes;
        s = sample;
    }
    Post([this, tag, s] { Publish({{tag, s}}); });
}

void FakeEngine::SetStation(int station, tags::StationStatus::State state) {
    std::lock_guard lock(mutex_);
    tags::StationStatus& s = stations_[station];
    s.station = station;
    s.state = state;
    s.transactions += 10;
    if (state != tags::StationStatus::State::Good) s.failures += 1;
    else s.lastGoodScan = std::chrono::system_clock::now();
}

void FakeEngine::SetPortDown(bool down) {
    std::lock_guard lock(mutex_);
    portDown_ = down;
}

void FakeEngine::PlanWrites(size_t tag, WritePlan plan) {
    std::lock_guard lock(mutex_);
    plans_[tag] = std::move(plan);
}

void FakeEngine::Write(size_t tag, double value, std::function<void(const tags::WriteResult&)> done) {
    Post([this, tag, value, done = std::move(done)] {
        if (onWrite) onWrite({tag, value});
        WritePlan plan;
        {
            std::lock_guard lock(mutex_);
            if (const auto it = plans_.find(tag); it != plans_.end()) plan = it->second;
            else plan.result.status = tags::WriteResult::Status::Done;
            if (plan.hang) {
                hung_.push_back(done);
                return;
            }
        }
        done(plan.result);
        // As the next scan reads it back.
        if (plan.result.status == tags::WriteResult::Status::Done) SetValue(tag, value);
    });
}

std::vector<tags::Tag> DemoTags(size_t extra) {
    std::vector<tags::Tag> out;
    auto add = [&](std::string name, tags::Type type, tags::Access access, int station) -> tags::Tag& {
        tags::Tag t;
        t.name = std::move(name);
        t.type = type;
        t.access = access;
        t.station = station;
        t.byteAddress = static_cast<uint32_t>(out.size() * 4);
        t.description = "demo " + t.name;
        t.sourceLine = static_cast<int>(out.size() + 2);
        out.push_back(t);
        return out.back();
    };
    using tags::Access;
    using tags::Type;
    add("pump/running", Type::Bool, Access::ReadWrite, 1);
    add("pump/mode", Type::Int8, Access::ReadWrite, 1);
    add("pump/level", Type::UInt8, Access::Read, 1);
    add("boiler/delta", Type::Int16, Access::ReadWrite, 1);
    add("boiler/setpoint", Type::UInt16, Access::ReadWrite, 1);
    add("boiler/energy", Type::Int32, Access::Read, 2);
    add("boiler/hours", Type::UInt32, Access::ReadWrite, 2);
    add("boiler/flow", Type::Float32, Access::ReadWrite, 2).units = "m3/h";
    tags::Tag& temp = add("boiler/temp", Type::Int16, Access::ReadWrite, 2);
    temp.scale = 0.1;
    temp.scaled = true;
    temp.units = "degC";
    add("counter", Type::UInt32, Access::Read, 2);
    for (size_t i = 0; i < extra; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "bulk/t%04zu", i);
        add(name, Type::UInt16, Access::Read, 3).scanMs = 100;
    }
    return out;
}

}  // namespace opcua_test
