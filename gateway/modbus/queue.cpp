#include "gateway/modbus/queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace vave8gw {

void Scheduler::Push(Job job) {
    {
        std::lock_guard lock(mutex_);
        waiting_[job.connection].push_back(std::move(job));
        ++count_;
        peakRequests_ = std::max(peakRequests_, count_);
        peakConnections_ = std::max(peakConnections_, waiting_.size());
    }
    ready_.notify_one();
}

Job Scheduler::TakeLocked() {
    auto next = waiting_.upper_bound(last_);
    if (next == waiting_.end()) next = waiting_.begin();
    last_ = next->first;
    Job job = std::move(next->second.front());
    next->second.pop_front();
    if (next->second.empty()) waiting_.erase(next);
    --count_;
    return job;
}

std::optional<Job> Scheduler::Pop() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return stopped_ || count_ > 0; });
    if (stopped_) return std::nullopt;
    return TakeLocked();
}

std::optional<Job> Scheduler::PopUntil(std::chrono::steady_clock::time_point deadline,
                                       bool* stopped) {
    std::unique_lock lock(mutex_);
    ready_.wait_until(lock, deadline, [this] { return stopped_ || nudged_ || count_ > 0; });
    nudged_ = false;
    *stopped = stopped_;
    if (stopped_ || count_ == 0) return std::nullopt;
    return TakeLocked();
}

void Scheduler::Nudge() {
    {
        std::lock_guard lock(mutex_);
        nudged_ = true;
    }
    ready_.notify_all();
}

void Scheduler::Drop(uint64_t connection) {
    std::lock_guard lock(mutex_);
    const auto it = waiting_.find(connection);
    if (it == waiting_.end()) return;
    count_ -= it->second.size();
    waiting_.erase(it);
}

std::vector<Job> Scheduler::Stop() {
    std::vector<Job> left;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        for (auto& [connection, jobs] : waiting_) {
            for (Job& job : jobs) left.push_back(std::move(job));
        }
        waiting_.clear();
        count_ = 0;
    }
    ready_.notify_all();
    return left;
}

void Scheduler::Peaks(size_t* requests, size_t* connections) {
    std::lock_guard lock(mutex_);
    *requests = peakRequests_;
    *connections = peakConnections_;
}

Notices::Notices() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Notices::~Notices() {
    if (fd_ >= 0) close(fd_);
}

void Notices::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(fd_, &one, sizeof one);
}

void Notices::Push(uint64_t connection) {
    {
        std::lock_guard lock(mutex_);
        connections_.push_back(connection);
    }
    Wake();
}

void Notices::LineEnded() {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    Wake();
}

std::vector<uint64_t> Notices::Take(bool* ended) {
    uint64_t value = 0;
    [[maybe_unused]] const ssize_t n = read(fd_, &value, sizeof value);
    std::lock_guard lock(mutex_);
    std::vector<uint64_t> taken;
    taken.swap(connections_);
    *ended = ended_;
    return taken;
}

}  // namespace vave8gw
