// The network side: one thread with poll(2) accepts connections, reads and
// frames requests, checks them and hands them to the line thread. It never
// waits for the line, so it stays responsive while a request takes seconds
// there.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "gateway/modbus/queue.h"
#include "gateway/modbus/reply.h"
#include "gateway/modbus/request.h"
#include "gateway/modbus/stats.h"

namespace vave8gw {

struct ServerSettings {
    int maxClients = 32;
    double idleSeconds = 60;   // 0: never
    double frameSeconds = 3;   // from a frame's first byte to its last
    double statsSeconds = 60;  // 0: only at exit
    WritePolicy policy;
};

// Requests one connection may have with the line side; past it its socket is
// not read until replies went out, so a flooding client waits alone.
constexpr int kPendingPerConnection = 16;

class Server {
public:
    Server(const ServerSettings& settings, Scheduler* scheduler, Notices* notices, Stats* stats);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // "HOST:PORT" ("[::1]:1502" for IPv6); `bound` gets the address taken.
    bool Listen(const std::string& hostPort, std::string* bound, std::string* error);

    // Serves until `signalFd` is readable, then refuses what still waits,
    // lets the line answer the request under way and returns once the line
    // has ended.
    void Run(int signalFd);

private:
    struct Connection {
        std::shared_ptr<Peer> peer;
        std::array<uint8_t, 2 * kMaxAdu> buffer{};
        size_t used = 0;
        double lastRequest = 0;   // accepted, or its last whole frame read
        double frameStarted = 0;  // the first byte of the frame in `buffer`
    };

    // Idle since its last request or reply, whichever came later.
    double IdleSince(const Connection& c) const;
    // Makes room for `newcomer` by closing the connection idle the longest
    // that has no request with the line side; false when there is none.
    bool MakeRoom(const std::string& newcomer, double now);
    void Accept(double now);
    // The buffer starts with part of a frame, not a whole one.
    bool PartFrame(const Connection& c) const;
    void Read(Connection& c, double now);
    // Takes every whole frame out of the buffer, up to the pending limit.
    void Frames(Connection& c, double now);
    // Drops a connection; with a `kind`, logs "dropped: " + kind + detail,
    // throttled by kind.
    void Close(uint64_t id, const char* kind, const std::string& detail = "");
    void Attend(uint64_t id, double now);
    void PrintStats();

    ServerSettings settings_;
    Scheduler* scheduler_;
    Notices* notices_;
    Stats* stats_;
    Responder responder_;
    int listenFd_ = -1;
    uint64_t nextId_ = 1;
    std::map<uint64_t, Connection> connections_;
    bool stopping_ = false;
    // accept() ran out of descriptors or memory: the listening socket is
    // left alone until then, instead of polling readable at once again.
    double acceptResume_ = 0;
    double acceptPause_ = 0;
    uint64_t acceptFailures_ = 0;
};

}  // namespace vave8gw
