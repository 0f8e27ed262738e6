#include "gateway/modbus/server.h"

#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

double Server::IdleSince(const Connection& c) const {
    return std::max(c.lastRequest, c.peer->replied.load());
}

bool Server::MakeRoom(const std::string& newcomer, double now) {
    // A connection with a request queued or on the line is never taken: its
    // client is waiting for the answer, and the line may already act on it.
    const Connection* oldest = nullptr;
    for (const auto& [id, c] : connections_) {
        if (c.peer->pending > 0) continue;
        if (oldest == nullptr || IdleSince(c) < IdleSince(*oldest)) oldest = &c;
    }
    if (oldest == nullptr) return false;
    char detail[64];
    std::snprintf(detail, sizeof detail, " (%.1f s)", now - IdleSince(*oldest));
    Close(oldest->peer->id, "idle the longest, to make room (--max-clients)",
          detail + (", for " + newcomer));
    return true;
}

void Server::Accept(double now) {
    // Bounded, so that a stream of connections failing one by one never
    // keeps the others waiting.
    for (int k = 0; k < 64; ++k) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&address), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                // The connection stays in the backlog and the listening
                // socket readable: it is left out of poll for a while, longer
                // while it lasts, until a descriptor is free again.
                acceptPause_ = acceptPause_ == 0 ? 0.1 : std::min(1.0, 2 * acceptPause_);
                acceptResume_ = now + acceptPause_;
                if (acceptFailures_++ == 0) {
                    rlimit limit{};
                    getrlimit(RLIMIT_NOFILE, &limit);
                    std::fprintf(stderr,
                                 "vave8gw: cannot accept connections: %s (descriptor limit %llu, "
                                 "%zu connections open); trying again up to every second\n",
                                 std::strerror(error),
                                 static_cast<unsigned long long>(limit.rlim_cur),
                                 connections_.size());
                }
                return;
            }
            if (error == EAGAIN || error == EWOULDBLOCK) return;
            continue;  // a connection that went away first, or its network failed
        }
        if (acceptFailures_ > 0) {
            std::fprintf(stderr, "vave8gw: accepting connections again (%llu attempts failed)\n",
                         static_cast<unsigned long long>(acceptFailures_));
            acceptFailures_ = 0;
            acceptPause_ = 0;
        }
        const std::string peer = PeerName(address);
        if (static_cast<int>(connections_.size()) >= settings_.maxClients && !MakeRoom(peer, now)) {
            char line[160];
            std::snprintf(line, sizeof line,
                          "%s refused: %d connections open (--max-clients), each with a "
                          "request under way",
                          peer.c_str(), settings_.maxClients);
            stats_->Log().Write("refused: every connection has a request under way", line, now);
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
        c.lastRequest = now;
        connections_.emplace(c.peer->id, std::move(c));
    }
}

void Server::Close(uint64_t id, const char* kind, const std::string& detail) {
    const auto it = connections_.find(id);
    if (it == connections_.end()) return;
    Peer& peer = *it->second.peer;
    if (kind != nullptr) {
        stats_->Log().Write(std::string("dropped: ") + kind,
                            peer.name + " dropped: " + kind + detail, Now());
    }
    scheduler_->Drop(id);
    {
        std::lock_guard lock(peer.mutex);
        close(peer.fd);
        peer.fd = -1;
    }
    connections_.erase(it);
}

bool Server::PartFrame(const Connection& c) const {
    if (c.used == 0) return false;
    std::string why;
    const int length = FrameLength(c.buffer.data(), c.used, &why);
    // A whole frame waits only while the connection has its fill of
    // requests with the line: the client is not the one late then.
    return length == 0 || (length > 0 && static_cast<size_t>(length) > c.used);
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
        // Only a whole frame counts as activity, and a frame's time runs
        // from its first byte: a client that trickles bytes holds no slot.
        if (c.used == 0) c.frameStarted = now;
        c.used += static_cast<size_t>(n);
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
            // Of one kind whatever the numbers in it.
            const size_t digits = std::min(why.find_first_of("0123456789"), why.size());
            std::string kind = "malformed frame: " + why.substr(0, digits);
            while (kind.back() == ' ') kind.pop_back();
            Close(id, kind.c_str(), digits < why.size() ? " " + why.substr(digits) : "");
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
        c.lastRequest = now;
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
    if (at > 0) c.frameStarted = now;
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
    double nextLogFlush = Now() + 1;
    char within[48];
    std::snprintf(within, sizeof within, " within %g s (--frame-timeout)", settings_.frameSeconds);
    std::vector<pollfd> fds;
    std::vector<uint64_t> ids;
    while (!(stopping && lineEnded)) {
        fds.clear();
        ids.clear();
        fds.push_back({notices_->Fd(), POLLIN, 0});
        fds.push_back({stopping ? -1 : signalFd, POLLIN, 0});
        double now = Now();
        const bool accepting = !stopping && now >= acceptResume_;
        fds.push_back({accepting ? listenFd_ : -1, POLLIN, 0});
        double wake = 1.0;  // idle connections are looked at every second
        if (!stopping && !accepting) wake = std::min(wake, acceptResume_ - now);
        for (auto& [id, c] : connections_) {
            const bool read = !stopping && c.peer->pending < kPendingPerConnection;
            if (read && PartFrame(c))
                wake = std::min(wake, c.frameStarted + settings_.frameSeconds - now);
            // Left out while full: a hang-up is seen once it may read again.
            fds.push_back({read ? c.peer->fd : -1, POLLIN, 0});
            ids.push_back(id);
        }
        if (nextStats > 0) wake = std::min(wake, nextStats - now);
        const int timeoutMs = static_cast<int>(std::max(0.0, wake) * 1000) + 1;
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
        for (size_t i = 0; i < ids.size(); ++i) {
            const pollfd& p = fds[i + 3];
            const auto it = connections_.find(ids[i]);
            if (it == connections_.end() || p.revents == 0) continue;
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) Read(it->second, now);
        }
        std::vector<uint64_t> late;
        std::vector<uint64_t> idle;
        for (auto& [id, c] : connections_) {
            if (stopping) break;
            if (c.peer->pending < kPendingPerConnection && PartFrame(c) &&
                now - c.frameStarted > settings_.frameSeconds) {
                late.push_back(id);
            } else if (settings_.idleSeconds > 0 && c.peer->pending == 0 && c.used == 0 &&
                       now - IdleSince(c) > settings_.idleSeconds) {
                // A frame on its way has its own time limit.
                idle.push_back(id);
            }
        }
        for (uint64_t id : late) Close(id, "frame not complete", within);
        for (uint64_t id : idle) Close(id, "idle");
        // After the reads: a connection that just sent a request is not the
        // one idle the longest when a newcomer needs its slot.
        if (!stopping && (fds[2].revents & POLLIN)) Accept(now);
        if (now >= nextLogFlush) {
            stats_->Log().Flush(now);
            nextLogFlush = now + 1;
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
    stats_->Log().Flush(Now(), true);
    PrintStats();
}

}  // namespace vave8gw
