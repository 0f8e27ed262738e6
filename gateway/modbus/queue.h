// The hand-overs between the network side and the line thread: requests
// waiting for the line, taken from the connections in turn, and notices
// back (a connection to look at again, the line's end), each waking the
// network side's poll through an eventfd.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gateway/modbus/request.h"

namespace vave8gw {

struct Peer;

struct Job {
    uint64_t connection = 0;
    std::shared_ptr<Peer> peer;
    Frame frame;
    Decision decision;  // an exception set here is answered without the line
    double arrived = 0;
};

struct Outcome {
    uint8_t exception = EX_NONE;
    bool backoff = false;     // answered at once: the station is backing off
    bool portFailed = false;  // the serial port itself failed, not a station
    std::string cause;
    std::vector<uint16_t> values;  // a read's registers, or its bits as 0 and 1
};

// Round robin over connections: each Pop takes the oldest request of the
// next connection after the one served last, so a client that sends as fast
// as it can gets one turn in every round like the others.
class Scheduler {
public:
    void Push(Job job);

    // Blocks until a request is waiting or Stop was called (then nothing).
    std::optional<Job> Pop();

    // As Pop, but also returns nothing at `deadline` or after a Nudge, with
    // `stopped` telling whether Stop was the reason: the line thread then
    // has scans and writes to do between requests.
    std::optional<Job> PopUntil(std::chrono::steady_clock::time_point deadline, bool* stopped);
    void Nudge();

    // The requests of a connection that went away.
    void Drop(uint64_t connection);

    // Every waiting request, and no more Pop after the one under way.
    std::vector<Job> Stop();

    // Most requests and connections that were ever waiting at once.
    void Peaks(size_t* requests, size_t* connections);

private:
    // The next connection's oldest request; the caller holds the lock and
    // knows one waits.
    Job TakeLocked();

    std::mutex mutex_;
    std::condition_variable ready_;
    std::map<uint64_t, std::deque<Job>> waiting_;
    size_t count_ = 0;
    size_t peakRequests_ = 0;
    size_t peakConnections_ = 0;
    uint64_t last_ = 0;
    bool stopped_ = false;
    bool nudged_ = false;
};

class Notices {
public:
    Notices();
    ~Notices();
    Notices(const Notices&) = delete;
    Notices& operator=(const Notices&) = delete;

    int Fd() const { return fd_; }  // readable while notices wait
    // A connection whose reply failed, or that may read again.
    void Push(uint64_t connection);
    void LineEnded();
    // Every notice so far; `ended` once the line thread has finished.
    std::vector<uint64_t> Take(bool* ended);

private:
    void Wake();

    int fd_ = -1;
    std::mutex mutex_;
    std::vector<uint64_t> connections_;
    bool ended_ = false;
};

}  // namespace vave8gw
