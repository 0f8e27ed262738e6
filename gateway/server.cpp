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

Server::Server(const ServerSettings& settings, Scheduler* scheduler, Notices* notices, Stats* stats)
    : settings_(settings),
      scheduler_(scheduler),
      notices_(notices),
      stats_(stats),
      responder_(stats) {}

Server::~Server() {
    for (auto& [id, c] : connections_) {
        std::lock_guard lock(c.peer->mutex);
        close(c.peer->fd);
        c.peer->fd = -1;
    }
    if (listenFd_ >= 0) close(listenFd_);
}

bool Server::Listen(const std::string& hostPort, std::string* bound, std::string* error) {
    if (!responder_.Ready()) {
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
        c.peer = std::make_shared<Peer>();
        c.peer->id = nextId_++;
        c.peer->fd = fd;
        c.peer->name = peer;
        c.lastActivity = now;
        connections_.emplace(c.peer->id, std::move(c));
    }
}

void Server::Close(uint64_t id, const char* why) {
    const auto it = connections_.find(id);
    if (it == connections_.end()) return;
    Peer& peer = *it->second.peer;
    if (why != nullptr) std::fprintf(stderr, "vave8gw: %s dropped: %s\n", peer.name.c_str(), why);
    scheduler_->Drop(id);
    {
        std::lock_guard lock(peer.mutex);
        close(peer.fd);
        peer.fd = -1;
    }
    connections_.erase(it);
}

void Server::Read(Connection& c, double now) {
    if (c.used < c.buffer.size()) {
        // Only this thread closes the descriptor, so it is read unlocked.
        const ssize_t n = recv(c.peer->fd, c.buffer.data() + c.used, c.buffer.size() - c.used, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            // A client that leaves mid-request: its waiting requests go with
            // it. Under the lock the line side uncounts a request once its
            // reply is out, so a reply the client read is never pending.
            bool midRequest = c.used > 0;
            {
                std::lock_guard lock(c.peer->mutex);
                midRequest = midRequest || c.peer->pending > 0;
            }
            Close(c.peer->id, midRequest ? "closed mid-request" : nullptr);
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
    const std::shared_ptr<Peer> peer = c.peer;
    const uint64_t id = peer->id;
    size_t at = 0;
    while (peer->pending < kPendingPerConnection) {
        std::string why;
        const int length = FrameLength(c.buffer.data() + at, c.used - at, &why);
        if (length < 0) {
            Close(id, ("malformed frame: " + why).c_str());
            return;
        }
        if (length == 0 || static_cast<size_t>(length) > c.used - at) break;
        Job job;
        job.connection = id;
        job.peer = peer;
        job.arrived = now;
        std::memcpy(job.frame.bytes.data(), c.buffer.data() + at, static_cast<size_t>(length));
        job.frame.length = static_cast<size_t>(length);
        at += static_cast<size_t>(length);
        job.decision = Decide(job.frame, settings_.policy);
        // A refusal needs no line; it is answered at once unless it would
        // overtake a reply still due on this connection.
        if (job.decision.exception != EX_NONE && peer->pending == 0) {
            Outcome refused;
            refused.exception = job.decision.exception;
            refused.cause = job.decision.cause;
            if (!responder_.Send(*peer, job, refused)) {
                Close(id, "the reply could not be sent");
                return;
            }
            continue;
        }
        ++peer->pending;
        scheduler_->Push(std::move(job));
    }
    std::memmove(c.buffer.data(), c.buffer.data() + at, c.used - at);
    c.used -= at;
}

// The line thread's notice: a reply that failed, or a connection that had
// its fill of requests and may be read again.
void Server::Attend(uint64_t id, double now) {
    const auto it = connections_.find(id);
    if (it == connections_.end()) return;
    bool broken = false;
    {
        std::lock_guard lock(it->second.peer->mutex);
        broken = it->second.peer->broken;
    }
    if (broken) {
        Close(id, "the reply could not be sent");
        return;
    }
    it->second.lastActivity = now;
    if (it->second.used > 0) Frames(it->second, now);
}

void Server::PrintStats() {
    size_t requests = 0;
    size_t waiting = 0;
    scheduler_->Peaks(&requests, &waiting);
    std::fprintf(stderr, "vave8gw: %s\n",
                 stats_->Line(requests, waiting, static_cast<int>(connections_.size())).c_str());
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
        fds.push_back({notices_->Fd(), POLLIN, 0});
        fds.push_back({stopping ? -1 : signalFd, POLLIN, 0});
        fds.push_back({stopping ? -1 : listenFd_, POLLIN, 0});
        for (auto& [id, c] : connections_) {
            const bool read = !stopping && c.peer->pending < kPendingPerConnection;
            // Left out while full: a hang-up is seen once it may read again.
            fds.push_back({read ? c.peer->fd : -1, POLLIN, 0});
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
            for (uint64_t id : notices_->Take(&ended)) Attend(id, now);
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
                Outcome refused;
                refused.exception = EX_BUSY;
                refused.cause = "the gateway is stopping";
                responder_.Send(*job.peer, job, refused);
                --job.peer->pending;
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
                if (c.peer->pending == 0 && now - c.lastActivity > settings_.idleSeconds)
                    idle.push_back(id);
            }
            for (uint64_t id : idle) Close(id, "idle");
        }
        if (nextStats > 0 && now >= nextStats) {
            PrintStats();
            nextStats = now + settings_.statsSeconds;
        }
    }
    // Left the loop on a failed poll: the line thread must still end.
    if (!lineEnded) {
        for (Job& job : scheduler_->Stop()) --job.peer->pending;
    }
    PrintStats();
}

}  // namespace vave8gw
