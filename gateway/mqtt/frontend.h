// The MQTT front-end of the line server: the tag engine's values on a
// broker as a Sparkplug B edge node and/or as plain JSON topics, commands
// and sets back to the engine's write path, and a disk buffer that keeps
// every change while the broker (or the primary host) is away.
//
// Threads: libmosquitto's network loop runs on a thread of ours (so each
// connection gets its own Will with a fresh bdSeq) and its callbacks only
// queue events; the engine's listener only copies a cycle's changes and
// queues them. One worker thread of ours does everything else: payloads,
// the session, the disk buffer. Nothing here waits on the serial line.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "gateway/mqtt/config.h"
#include "tags/engine.h"

namespace mqtt {

struct Stats {
    bool connected = false;    // the broker accepted us
    bool online = false;       // and data flows (the primary host is online)
    uint64_t sent = 0;         // messages published
    uint64_t buffered = 0;     // changes waiting in the disk buffer now
    uint64_t dropped = 0;      // changes lost to a full buffer
    uint64_t replayed = 0;     // changes sent from the buffer
    uint64_t reconnects = 0;
};

class FrontEnd {
public:
    using Log = std::function<void(const std::string&)>;
    // `log` gets one line per event worth an operator's attention; by
    // default it goes to stderr. The line's statistics go out as Sparkplug
    // NDATA at most every `nodeDataPeriod`.
    FrontEnd(tags::Engine& engine, Config config, Log log = {},
             std::chrono::milliseconds nodeDataPeriod = std::chrono::seconds(10));
    ~FrontEnd();
    FrontEnd(const FrontEnd&) = delete;
    FrontEnd& operator=(const FrontEnd&) = delete;

    // Opens the state folder and the disk buffer, then connects in the
    // background: a broker that cannot be reached is not an error here.
    bool Start(std::string& error);
    // Sends the Sparkplug death, disconnects, keeps what was not sent in
    // the disk buffer.
    void Stop();

    Stats GetStats() const;
    // "mqtt online, 12 sent, 0 buffered, 0 dropped" for the statistics line.
    std::string StatsText() const;
    // {"connected":true,...} for the status file.
    std::string StatusJson() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace mqtt
