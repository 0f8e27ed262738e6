// A pseudo-terminal pair for port tests: the port opens the slave by name,
// the test plays the far end of the line on the master.
#pragma once

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "port/port.h"

constexpr LineParams kDefaultLine{9600, 8, 0, 2};  // 9600 8E1
constexpr uint16_t kDriverFlags = PORT_DTR_ON | PORT_RTS_ON;

inline int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now() - since).count();
}

struct PtyPair {
    int master = -1;
    int slave = -1;
    std::string path;

    PtyPair() {
        char name[64] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
    }
    ~PtyPair() {
        CloseMaster();
        close(slave);
    }
    void CloseMaster() {
        if (master >= 0) close(master);
        master = -1;
    }

    // Puts bytes on the line towards the port.
    bool Send(const std::vector<uint8_t>& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // Takes up to `count` bytes the port sent, waiting at most `ms` for them.
    std::vector<uint8_t> Receive(size_t count, int ms = 2000) const {
        std::vector<uint8_t> got;
        const auto start = std::chrono::steady_clock::now();
        pollfd waiter{master, POLLIN, 0};
        while (got.size() < count && ElapsedMs(start) < ms && poll(&waiter, 1, 10) >= 0) {
            uint8_t buffer[512];
            if (!(waiter.revents & POLLIN)) continue;
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    // Waits until the slave holds `count` bytes: the kernel moves them from
    // master to slave asynchronously.
    bool WaitQueued(int count) const {
        const auto start = std::chrono::steady_clock::now();
        int queued = -1;
        while (ioctl(slave, FIONREAD, &queued) == 0 && queued != count && ElapsedMs(start) < 2000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return queued == count;
    }
};

// A port on a fresh pseudo-terminal, configured as the driver does.
struct OpenPort {
    PtyPair pty;
    PortHandle handle = kInvalidPortHandle;
    int32_t openResult = PortOpen(pty.path.c_str(), &kDefaultLine, kDriverFlags, &handle);

    ~OpenPort() { Close(); }
    int32_t Close() {
        const int32_t result = openResult == PORT_OK ? PortClose(handle) : PORT_OK;
        openResult = -1;
        return result;
    }
};
