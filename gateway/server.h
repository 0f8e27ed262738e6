// The network side: one thread with poll(2) accepts connections, reads and
// frames requests, hands them to the line thread, and sends the replies
// (built by libmodbus) as the outcomes come back. It never waits for the
// line, so it stays responsive while a request takes seconds there.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "gateway/queue.h"
#include "gateway/request.h"
#include "gateway/stats.h"

typedef struct _modbus modbus_t;
typedef struct _modbus_mapping_t modbus_mapping_t;

namespace vave8gw {

struct ServerSettings {
    int maxClients = 32;
    double idleSeconds = 60;   // 0: never
    double statsSeconds = 60;  // 0: only at exit
    WritePolicy policy;
};

class Server {
public:
    Server(const ServerSettings& settings, Scheduler* scheduler, Completions* completions);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // "HOST:PORT" ("[::1]:1502" for IPv6); `bound` gets the address taken.
    bool Listen(const std::string& hostPort, std::string* bound, std::string* error);

    // Serves until `signalFd` is readable, then refuses what still waits,
    // answers the request under way and returns once the line has ended.
    void Run(int signalFd);

private:
    struct Connection {
        uint64_t id = 0;
        int fd = -1;
        std::string peer;
        std::array<uint8_t, 2 * kMaxAdu> buffer{};
        size_t used = 0;
        int pending = 0;  // requests with the line side
        double lastActivity = 0;
    };

    void Accept(double now);
    void Read(Connection& c, double now);
    // Takes every whole frame out of the buffer, up to the pending limit.
    void Frames(Connection& c, double now);
    void Close(uint64_t id, const char* why);
    void Reply(Connection& c, const Job& job, const Outcome& outcome, double now);
    void Deliver(std::vector<Done> done, double now);
    void PrintStats();

    ServerSettings settings_;
    Scheduler* scheduler_;
    Completions* completions_;
    int listenFd_ = -1;
    uint64_t nextId_ = 1;
    std::map<uint64_t, Connection> connections_;
    modbus_t* modbus_ = nullptr;
    modbus_mapping_t* scratch_ = nullptr;  // filled just before each read's reply
    Stats stats_;
    bool stopping_ = false;
};

}  // namespace vave8gw
