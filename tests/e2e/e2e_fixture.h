// What the end-to-end tests share: the driver module loaded as a host loads
// it, one connection on top of it, gates made by the driver's own address
// parsers, the simulated PLC on a fresh pseudo-terminal, and a far end played
// by the test for the replies no PLC would send.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/records.h"
#include "sim/sim.h"
#include "support/log_capture.h"

namespace e2e {

using Entry = int32_t (*)(NuvCall*);
using Bytes = std::vector<uint8_t>;

// A silent line costs one read limit per attempt: keep it short.
constexpr int32_t kTicks = 10;
constexpr LineParams kLine{9600, 8, 0, 2};

constexpr char kGetChar[] = "VAVE8> getChar() Unable to recieve byte from com port";
constexpr char kNoStart[] = "VAVE8> Receive() timeout reading start character";
constexpr char kNoSecond[] = "VAVE8> Receive() timeout reading 2nd start character";

// The module as a host keeps it: loaded once per process and never unloaded.
inline Entry SharedEntry() {
    static void* const module = dlopen(VAVE8_MODULE, RTLD_NOW | RTLD_LOCAL);
    static const Entry entry =
        module != nullptr ? reinterpret_cast<Entry>(dlsym(module, "NuvMain")) : nullptr;
    return entry;
}

// Port names are taken relative to /dev, so "/dev/pts/7" is "pts/7".
inline std::string PortName(const std::string& path) {
    const std::string dev = "/dev/";
    return path.compare(0, dev.size(), dev) == 0 ? path.substr(dev.size()) : path;
}

// A log trail as "[level] text" lines, so a mismatch prints whole.
inline std::vector<std::string> Trail(const LogCapture& log) {
    std::vector<std::string> out;
    for (const LogLine& line : log.lines()) {
        out.push_back("[" + std::to_string(line.level) + "] " + line.text);
    }
    return out;
}

// Expected lines at level 8, the level of everything but a failed port open.
inline std::vector<std::string> At8(const std::vector<std::string>& texts) {
    std::vector<std::string> out;
    for (const std::string& text : texts) out.push_back("[8] " + text);
    return out;
}

// The three lines of an attempt that met a silent line.
inline std::vector<std::string> SilentAttempt(const std::string& transaction, int attempt) {
    return {kGetChar, kNoStart,
            "VAVE8> " + transaction + "() Read reply error retry " + std::to_string(attempt)};
}

inline std::vector<std::string> Cat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// Bytes waiting unread on a descriptor.
inline int Queued(int fd) {
    int n = -1;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

// Waits up to `ms` for the descriptor to hold exactly `count` unread bytes:
// a pty moves bytes from master to slave asynchronously.
inline bool WaitQueued(int fd, int count, int ms = 2000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (Queued(fd) != count) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Makes what the far end wrote and the kernel still holds for the
// descriptor part of its input: a poll on a pty's slave side waits for the
// kernel worker that hands the bytes over, where FIONREAD does not.
inline void HandOver(int fd) {
    pollfd waiter{fd, POLLIN, 0};
    poll(&waiter, 1, 0);
}

// A gate as the host holds it: the transfer record filled from the parser's
// results, and its value area, 0xAA wherever the driver has not written.
struct Gate {
    GateTransfer transfer{};
    Bytes value;

    uint16_t Slot16(size_t offset) const {
        uint16_t v;
        std::memcpy(&v, value.data() + offset, sizeof v);
        return v;
    }
    uint32_t Slot32(size_t offset) const {
        uint32_t v;
        std::memcpy(&v, value.data() + offset, sizeof v);
        return v;
    }
    void SetSlot16(size_t offset, uint16_t v) { std::memcpy(value.data() + offset, &v, sizeof v); }
    void SetSlot32(size_t offset, uint32_t v) { std::memcpy(value.data() + offset, &v, sizeof v); }
};

// One connection: the DriverInstance the host allocates and every call it
// makes through NuvMain.
class Host {
public:
    explicit Host(Entry entry = SharedEntry()) : entry_(entry) {
        // Host storage is not zeroed: whatever it holds must not matter.
        std::memset(&inst, 0x5A, sizeof inst);
    }
    ~Host() {
        if (started_ && inst.portHandle != 0) Call(FN_CLOSE_COM);
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    int32_t Call(uint32_t function, void* args = nullptr) {
        NuvCall call{};
        call.instance = &inst;
        call.function = function;
        call.args = args;
        return entry_(&call);
    }

    int32_t ColdStart(const std::string& port, int32_t ticks = kTicks, int32_t open = 1) {
        StartParams start{};
        std::strncpy(start.portName, port.c_str(), sizeof start.portName - 1);
        start.openFlag = open;
        start.timeoutTicks = ticks;
        start.line = kLine;
        started_ = true;
        return Call(FN_COLD_START, &start);
    }

    int32_t Change(const std::string& port, int32_t ticks, LineParams line) {
        NuvParams params{};
        std::strncpy(params.portName, port.c_str(), sizeof params.portName - 1);
        params.timeoutTicks = ticks;
        params.line = line;
        return Call(FN_CHANGE_NUV_PARAMS, &params);
    }

    // A gate through the driver's own parser: single when `count` is 0.
    Gate Parse(const char* address, uint32_t gateType, int32_t count = 0) {
        GateParse parse{};
        parse.address = address;
        parse.gateType = gateType;
        parse.blockSize = count;
        const uint32_t parser = count == 0 ? FN_SINGLE_ADDRESS_PARSER : FN_BLOCK_ADDRESS_PARSER;
        EXPECT_EQ(Call(parser, &parse), NUV_OK) << "address " << address;
        Gate gate;
        gate.transfer.station = parse.station;
        gate.transfer.memoryType = parse.memoryType;
        gate.transfer.itemAddress = parse.itemAddress;
        gate.transfer.bitNumber = parse.bitNumber;
        gate.transfer.valueWidth = parse.valueWidth;
        gate.transfer.count = count;
        gate.value.assign(count == 0 ? 8 : static_cast<size_t>(count) * 4 + 8, 0xAA);
        return gate;
    }

    int32_t Run(uint32_t function, Gate& gate) {
        gate.transfer.value = gate.value.data();
        return Call(function, &gate.transfer);
    }

    int Fd() const { return static_cast<int>(inst.portHandle); }

    DriverInstance inst;

private:
    Entry entry_;
    bool started_ = false;  // the port handle means something only after a ColdStart
};

// The simulated PLC serving a fresh pseudo-terminal; every request it deals
// with is kept as the block it received.
class Plc {
public:
    Plc() {
        sim.options().observer = [this](const p8sim::Exchange& ex) {
            const p8sim::Request& r = ex.request;
            Bytes block{r.code,
                        r.station,
                        static_cast<uint8_t>(r.start >> 8),
                        static_cast<uint8_t>(r.start & 0xFF),
                        static_cast<uint8_t>(r.end >> 8),
                        static_cast<uint8_t>(r.end & 0xFF)};
            block.insert(block.end(), r.data.begin(), r.data.end());
            std::lock_guard<std::mutex> lock(mu_);
            requests_.push_back(std::move(block));
        };
        started_ = sim.Start(&error_);
    }
    ~Plc() { sim.Stop(); }

    bool Started() const { return started_; }
    const std::string& Error() const { return error_; }
    std::string Port() const { return PortName(sim.Path()); }

    // The requests dealt with, after waiting (bounded) until `n` are in.
    std::vector<Bytes> Requests(uint64_t n) {
        sim.WaitForRequests(n, 3000);
        std::lock_guard<std::mutex> lock(mu_);
        return requests_;
    }

    // Waits until every byte the PLC sent has reached the driver's side.
    bool Delivered(int driverFd) {
        return WaitQueued(driverFd, static_cast<int>(sim.GetCounters().bytes_out));
    }

private:
    std::mutex mu_;
    std::vector<Bytes> requests_;
    bool started_ = false;
    std::string error_;

public:
    p8sim::Simulator sim;  // last: stopped before what its observer uses goes
};

// The far end of a bare pseudo-terminal played by the test: each request
// frame is answered with the next scripted bytes, whatever they are.
class FarEnd {
public:
    FarEnd() {
        char name[64] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
        path_ = name;
        termios tio{};
        if (tcgetattr(slave_, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(slave_, TCSANOW, &tio);
        }
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FarEnd() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (master_ >= 0) close(master_);
        if (slave_ >= 0) close(slave_);
    }
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    bool Ok() const { return !path_.empty(); }
    std::string Port() const { return PortName(path_); }
    // Request frames seen, after waiting (bounded) until `n` are in.
    int Requests(int n = 0) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (requests_.load() < n && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return requests_.load();
    }

    // The next request is answered with these line bytes.
    void Answer(Bytes line) {
        std::lock_guard<std::mutex> lock(mu_);
        replies_.push_back(std::move(line));
    }
    // Puts bytes on the line now, unasked.
    bool Put(const Bytes& line) { return WriteAll(line); }

private:
    void Serve() {
        p8sim::Decoder decoder;
        std::vector<p8sim::DecodeEvent> events;
        uint8_t buffer[512];
        while (!stop_) {
            pollfd waiter{master_, POLLIN, 0};
            if (poll(&waiter, 1, 10) <= 0) continue;
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) continue;
            events.clear();
            decoder.Feed(buffer, static_cast<size_t>(n), events);
            for (const auto& event : events) {
                if (event.type != p8sim::DecodeEvent::kFrame) continue;
                ++requests_;
                Bytes reply;
                {
                    std::lock_guard<std::mutex> lock(mu_);
                    if (replies_.empty()) continue;
                    reply = std::move(replies_.front());
                    replies_.pop_front();
                }
                WriteAll(reply);
            }
        }
    }

    bool WriteAll(const Bytes& line) {
        size_t done = 0;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (done < line.size() && std::chrono::steady_clock::now() < until) {
            const ssize_t n = write(master_, line.data() + done, line.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            pollfd waiter{master_, POLLOUT, 0};
            poll(&waiter, 1, 10);
        }
        return done == line.size();
    }

    int master_ = -1;
    int slave_ = -1;  // held so the line stays up between the driver's opens
    std::string path_;
    std::mutex mu_;
    std::deque<Bytes> replies_;
    std::atomic<int> requests_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace e2e
