#include "gateway/server.h"

#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace vave8gw {

namespace {

// Requests one connection may have with the line side; past it its socket is
// not read until replies went out, so a flooding client waits alone.
constexpr int kPendingPerConnection = 16;

double Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::string PeerName(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (address.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    if (address.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
    }
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

}  // namespace

Server::Server(const ServerSettings& settings, Scheduler* scheduler, Completions* completions)
    : settings_(settings), scheduler_(scheduler), completions_(completions) {
    // The context only builds and sends replies on the socket set for each;
    // it never connects.
    modbus_ = modbus_new_tcp("127.0.0.1", 0);
    scratch_ = modbus_mapping_new(static_cast<int>(kCoils), static_cast<int>(kCoils),
                                  static_cast<int>(kRegisters), static_cast<int>(kRegisters));
}

Server::~Server() {
    for (auto& [id, c] : connections_) close(c.fd);
    if (listenFd_ >= 0) close(listenFd_);
    if (scratch_ != nullptr) modbus_mapping_free(scratch_);
    if (modbus_ != nullptr) modbus_free(modbus_);
}

bool Server::Listen(const std::string& hostPort, std::string* bound, std::string* error) {
    if (modbus_ == nullptr || scratch_ == nullptr) {
        *error = "libmodbus could not make its context";
        return false;
    }
    const size_t colon = hostPort.rfind(':');
    if (colon == std::string::npos || colon + 1 == hostPort.size()) {
        *error = "--listen: '" + hostPort + "' is not HOST:PORT";
        return false;
    }
    std::string host = hostPort.substr(0, colon);
    const std::string port = hostPort.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        *error = "--listen: " + hostPort + ": " + gai_strerror(rc);
        return false;
    }
    std::string why = "no address";
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 64) == 0) {
            listenFd_ = fd;
            break;
        }
        why = std::strerror(errno);
        close(fd);
    }
    freeaddrinfo(found);
    if (listenFd_ < 0) {
        *error = "cannot listen on " + hostPort + ": " + why;
        return false;
    }
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    *bound = PeerName(address);
    return true;
}

void Server::Accept(double now) {
    for (;;) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&address), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;  // EAGAIN, or a connection that went away first
        const std::string peer = PeerName(address);
        if (static_cast<int>(connections_.size()) >= settings_.maxClients) {
            std::fprintf(stderr, "vave8gw: %s refused: %d connections open (--max-clients)\n",
                         peer.c_str(), settings_.maxClients);
            close(fd);
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Connection c;
        c.id = nextId_++;
        c.fd = fd;
        c.peer = peer;
        c.lastActivity = now;
        connections_.emplace(c.id, std::move(c));
    }
}

void Server::Close(uint64_t id, const char* why) {
    const auto it = connections_.find(id);
    if (it == connections_.end()) return;
    if (why != nullptr)
        std::fprintf(stderr, "vave8gw: %s dropped: %s\n", it->second.peer.c_str(), why);
    scheduler_->Drop(id);
    close(it->second.fd);
    connections_.erase(it);
}

void Server::Read(Connection& c, double now) {
    if (c.used < c.buffer.size()) {
        const ssize_t n = recv(c.fd, c.buffer.data() + c.used, c.buffer.size() - c.used, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            // A client that leaves mid-request: its waiting requests go with it.
            Close(c.id, c.used > 0 || c.pending > 0 ? "closed mid-request" : nullptr);
            return;
        }
        if (n < 0) return;
        c.used += static_cast<size_t>(n);
        c.lastActivity = now;
    }
    Frames(c, now);
}

void Server::Frames(Connection& c, double now) {
    if (stopping_) return;
    const uint64_t id = c.id;
    size_t at = 0;
    while (c.pending < kPendingPerConnection) {
        std::string why;
        const int length = FrameLength(c.buffer.data() + at, c.used - at, &why);
        if (length < 0) {
            Close(id, ("malformed frame: " + why).c_str());
            return;
        }
        if (length == 0 || static_cast<size_t>(length) > c.used - at) break;
        Job job;
        job.connection = id;
        job.arrived = now;
        std::memcpy(job.frame.bytes.data(), c.buffer.data() + at, static_cast<size_t>(length));
        job.frame.length = static_cast<size_t>(length);
        at += static_cast<size_t>(length);
        job.decision = Decide(job.frame, settings_.policy);
        // A refusal needs no line; it is answered at once unless it would
        // overtake a reply still due on this connection.
        if (job.decision.exception != EX_NONE && c.pending == 0) {
            Outcome refused;
            refused.exception = job.decision.exception;
            refused.cause = job.decision.cause;
            Reply(c, job, refused, now);
            if (connections_.find(id) == connections_.end()) return;
            continue;
        }
        ++c.pending;
        scheduler_->Push(std::move(job));
    }
    std::memmove(c.buffer.data(), c.buffer.data() + at, c.used - at);
    c.used -= at;
}

void Server::Reply(Connection& c, const Job& job, const Outcome& outcome, double now) {
    const Operation& op = job.decision.op;
    const uint8_t* request = job.frame.bytes.data();
    const int length = static_cast<int>(job.frame.length);
    modbus_set_socket(modbus_, c.fd);
    int rc = 0;
    if (outcome.exception != EX_NONE) {
        std::fprintf(stderr,
                     "vave8gw: %s unit %u function %u address %u count %u: exception 0x%02X "
                     "(%s): %s\n",
                     c.peer.c_str(), op.unit, op.function, op.first, op.count, outcome.exception,
                     ExceptionName(outcome.exception), outcome.cause.c_str());
        rc = modbus_reply_exception(modbus_, request, outcome.exception);
    } else {
        // The request passed the same checks libmodbus makes, so its reply
        // is built from the scratch mapping, never one of its exceptions.
        const size_t n = std::min<size_t>(outcome.values.size(), op.count);
        for (size_t k = 0; k < n; ++k) {
            const size_t at = op.first + k;
            switch (op.function) {
                case 1:
                    scratch_->tab_bits[at] = static_cast<uint8_t>(outcome.values[k]);
                    break;
                case 2:
                    scratch_->tab_input_bits[at] = static_cast<uint8_t>(outcome.values[k]);
                    break;
                case 3:
                    scratch_->tab_registers[at] = outcome.values[k];
                    break;
                case 4:
                    scratch_->tab_input_registers[at] = outcome.values[k];
                    break;
                default:
                    break;
            }
        }
        rc = modbus_reply(modbus_, request, length, scratch_);
    }
    stats_.Record(op.unit, outcome.exception, outcome.backoff, Now() - job.arrived);
    (void)now;
    if (rc < 0) Close(c.id, "the reply could not be sent");
}

void Server::Deliver(std::vector<Done> done, double now) {
    for (Done& d : done) {
        const auto it = connections_.find(d.job.connection);
        if (it == connections_.end()) continue;  // the client left meanwhile
        --it->second.pending;
        it->second.lastActivity = now;
        Reply(it->second, d.job, d.outcome, now);
        // Frames that came while the connection had its fill of requests.
        const auto again = connections_.find(d.job.connection);
        if (again != connections_.end() && again->second.used > 0) Frames(again->second, now);
    }
}

void Server::PrintStats() {
    size_t requests = 0;
    size_t waiting = 0;
    scheduler_->Peaks(&requests, &waiting);
    std::fprintf(stderr, "vave8gw: %s\n",
                 stats_.Line(requests, waiting, static_cast<int>(connections_.size())).c_str());
}

void Server::Run(int signalFd) {
    bool& stopping = stopping_;
    bool lineEnded = false;
    double nextStats = settings_.statsSeconds > 0 ? Now() + settings_.statsSeconds : 0;
    std::vector<pollfd> fds;
    std::vector<uint64_t> ids;
    while (!(stopping && lineEnded)) {
        fds.clear();
        ids.clear();
        fds.push_back({completions_->Fd(), POLLIN, 0});
        fds.push_back({stopping ? -1 : signalFd, POLLIN, 0});
        fds.push_back({stopping ? -1 : listenFd_, POLLIN, 0});
        for (auto& [id, c] : connections_) {
            const bool read = !stopping && c.pending < kPendingPerConnection;
            fds.push_back({c.fd, static_cast<short>(read ? POLLIN : 0), 0});
            ids.push_back(id);
        }
        double now = Now();
        double wake = 1.0;  // idle connections are looked at every second
        if (nextStats > 0) wake = std::min(wake, std::max(0.0, nextStats - now));
        const int timeoutMs = static_cast<int>(wake * 1000) + 1;
        if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) break;
        now = Now();

        if (fds[0].revents & POLLIN) {
            bool ended = false;
            Deliver(completions_->Take(&ended), now);
            lineEnded = lineEnded || ended;
        }
        if (!stopping && (fds[1].revents & POLLIN)) {
            signalfd_siginfo info{};
            [[maybe_unused]] const ssize_t n = read(signalFd, &info, sizeof info);
            std::fprintf(stderr, "vave8gw: %s: stopping\n",
                         strsignal(static_cast<int>(info.ssi_signo)));
            stopping = true;
            close(listenFd_);
            listenFd_ = -1;
            // What still waits is refused (busy: try again); the request
            // under way on the line is answered when it ends.
            for (Job& job : scheduler_->Stop()) {
                const auto it = connections_.find(job.connection);
                if (it == connections_.end()) continue;
                --it->second.pending;
                Outcome refused;
                refused.exception = EX_BUSY;
                refused.cause = "the gateway is stopping";
                Reply(it->second, job, refused, now);
            }
            continue;
        }
        if (!stopping && (fds[2].revents & POLLIN)) Accept(now);
        for (size_t i = 0; i < ids.size(); ++i) {
            const pollfd& p = fds[i + 3];
            const auto it = connections_.find(ids[i]);
            if (it == connections_.end() || p.revents == 0) continue;
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) Read(it->second, now);
        }
        if (settings_.idleSeconds > 0) {
            std::vector<uint64_t> idle;
            for (auto& [id, c] : connections_) {
                if (c.pending == 0 && now - c.lastActivity > settings_.idleSeconds)
                    idle.push_back(id);
            }
            for (uint64_t id : idle) Close(id, "idle");
        }
        if (nextStats > 0 && now >= nextStats) {
            PrintStats();
            nextStats = now + settings_.statsSeconds;
        }
    }
    PrintStats();
}

}  // namespace vave8gw
