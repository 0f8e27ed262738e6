// What vave8ctl monitor makes of the bytes it sees: frames decoded with the
// simulated PLC's codec (written apart from the driver's frame layer, so a
// fault there cannot hide one on the line), requests paired with their
// replies, broken frames named, and counts per station for the summary.
// No port access here: the caller feeds bytes with the time they arrived.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/reply_times.h"
#include "sim/codec.h"

namespace vave8ctl {

// When bytes arrived: wall clock for the reader, monotonic for gaps.
struct Stamp {
    double wall = 0;  // seconds since the epoch
    double mono = 0;  // seconds, steady clock
};

struct WatchSettings {
    bool raw = false;   // show each event's bytes in hexadecimal
    bool json = false;  // one JSON object a line instead of text
};

class LineWatch {
public:
    using Printer = std::function<void(const std::string& line)>;

    LineWatch(WatchSettings settings, Printer print);

    // Ports are named in every line; returns the index Feed takes.
    size_t AddPort(std::string name);

    // Bytes read from a port, all stamped with the time the read returned.
    void Feed(size_t port, const uint8_t* bytes, size_t n, Stamp at);
    // The port has been quiet for longer than a frame may pause: a frame it
    // began is reported as cut off.
    void Quiet(size_t port);
    // Cuts off what is unfinished on every port.
    void Finish();

    // Bytes that several ports had at the same wake-up, when their order on
    // the line is lost. They are taken frame by frame, the way a master and
    // its PLCs take turns: while a request waits, from the ports that carry
    // replies; otherwise from the ports that carry requests.
    struct Arrival {
        size_t port;
        std::vector<uint8_t> bytes;
    };
    void FeedTogether(const std::vector<Arrival>& arrivals, Stamp at);

    // Events shown so far (frames, broken frames, runs of stray bytes).
    uint64_t Events() const { return events_; }

    // Shows and counts no event past the n-th (0: no limit), however many
    // one read brought.
    void SetLimit(uint64_t n) { limit_ = n; }

    // Per station: requests, replies, errors by code, requests without a
    // reply, reply times; then the line's faults. Text or JSON per settings.
    std::string Summary(double seconds) const;

private:
    struct Chunk {
        uint64_t end;  // stream offset one past the chunk's last byte
        Stamp at;
    };
    struct Port {
        std::string name;
        p8sim::Decoder decoder;
        uint64_t fed = 0;
        std::deque<Chunk> chunks;   // bytes not yet part of a shown event
        std::deque<uint8_t> bytes;  // the same bytes, for --raw
        uint64_t bytes_base = 0;    // stream offset of bytes.front()
        bool saw_request = false;
        bool saw_reply = false;
    };
    struct Pending {
        uint64_t number = 0;
        uint8_t station = 0;
        double end = 0;  // monotonic time of its last byte
        bool open = false;
    };
    struct Station {
        uint64_t requests = 0, replies = 0, broken = 0, no_reply = 0;
        std::map<uint8_t, uint64_t> errors;
        hostlib::ReplyTimes times;  // of the replies
    };
    struct LineFaults {
        uint64_t crc = 0, copy = 0, too_long = 0, cut_off = 0, stray_runs = 0, stray_bytes = 0,
                 unpaired = 0;
    };

    void Take(Port& port, const uint8_t* bytes, size_t n, Stamp at);
    size_t Decode(Port& port, const uint8_t* bytes, size_t n);
    void Handle(Port& port, const p8sim::DecodeEvent& ev);
    void Retire(Port& port, uint64_t upto);
    Stamp StampOf(const Port& port, uint64_t offset) const;
    std::string RawOf(const Port& port, uint64_t begin, uint64_t end) const;
    void Emit(const Port& port, const p8sim::DecodeEvent& ev, const std::string& text,
              const std::string& json);

    WatchSettings settings_;
    Printer print_;
    std::vector<Port> ports_;
    size_t name_width_ = 0;
    Pending pending_;
    uint64_t requests_seen_ = 0;
    uint64_t events_ = 0;
    uint64_t limit_ = 0;
    bool have_last_ = false;
    double last_end_ = 0;
    std::map<uint8_t, Station> stations_;
    LineFaults faults_;
};

}  // namespace vave8ctl
