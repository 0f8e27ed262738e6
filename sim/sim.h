// The simulated P8 PLC line: up to sixteen stations behind one serial port.
//
// In-process use (tests, tools):
//
//     p8sim::Simulator sim;
//     std::string err;
//     if (!sim.Start(&err)) ...;            // fresh pty, serving thread
//     open(sim.Path().c_str(), ...);        // the slave side: talk to it
//     sim.WriteMemory(3, 0x40, {0x12, 0x34});
//     sim.PushFault(...);                   // or AddFaults("2:crc,*:late=20@5")
//     sim.WaitForRequests(1, 2000);
//     sim.GetCounters().writes_applied;
//     sim.Stop();                           // joins; nothing left running
//
// As a child process: the p8sim program (sim/main.cpp) prints the pty's
// slave path as its first line on stdout.
//
// Memory, faults, the present stations and pacing may be read and changed at
// any time from any thread. Options are taken when serving starts.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <istream>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/codec.h"
#include "sim/faults.h"
#include "sim/plc.h"

namespace p8sim {

struct Counters {
    uint64_t requests_seen = 0;     // request frames received with a good CRC
    uint64_t requests_ignored = 0;  // of those, for stations not present (no reply)
    uint64_t replies_sent = 0;      // reply frames put on the line, faulty ones included
    uint64_t writes_applied = 0;    // write requests that changed memory
    uint64_t plc_errors = 0;        // ERROR blocks for requests the PLC could not serve
    uint64_t crc_errors = 0;        // frames dropped for a bad CRC byte
    uint64_t framing_errors = 0;    // frames dropped: too long, bad doubling, cut off
    uint64_t bytes_dropped = 0;     // bytes skipped while hunting for a start pair
    uint64_t bytes_in = 0;
    uint64_t bytes_out = 0;
    std::array<uint64_t, kFaultKinds> faults{};  // injected faults by kind (kNone unused)

    uint64_t Faults(FaultKind k) const { return faults[static_cast<size_t>(k)]; }
    uint64_t FaultsTotal() const;
};

// What became of one request, for observers (the soak's bookkeeping).
struct Exchange {
    uint64_t index = 0;  // the request's number, from 1
    Request request;
    bool present = false;  // addressed to a present station
    FaultKind fault = FaultKind::kNone;
    bool write_applied = false;  // memory changed
    std::vector<uint8_t> reply;  // the reply block sent (before line faults); empty if none
};

struct Options {
    uint64_t exit_after_requests = 0;  // stop serving after this many requests (0: never)
    uint32_t idle_exit_ms = 0;         // stop after this long without input (0: never)
    uint32_t frame_gap_ms = 1000;      // a frame cut off for this long is dropped
    // One line per frame received or sent, and per framing error; called on
    // the serving thread. Lines carry no timestamp.
    std::function<void(const std::string&)> trace;
    // Called on the serving thread once each request has been dealt with.
    std::function<void(const Exchange&)> observer;
};

// Line settings when serving a real serial device.
struct DeviceSettings {
    uint32_t baud = 9600;
    char parity = 'E';  // 'N', 'E' or 'O'
    int data_bits = 8;
    int stop_bits = 1;
};

class Simulator {
public:
    Simulator();
    explicit Simulator(Options options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Options take effect at the next Open/Start.
    Options& options() { return options_; }

    // Opens a fresh pseudo-terminal (both sides raw) or a serial device,
    // without serving yet. False with a message on failure.
    bool OpenPty(std::string* error = nullptr);
    bool OpenDevice(const std::string& path, const DeviceSettings& settings,
                    std::string* error = nullptr);
    // The slave device path of the pty (or the device path).
    const std::string& Path() const { return path_; }

    // Serves on the calling thread until stopped; 0 after a clean stop,
    // 1 when the line failed.
    int Serve();
    // OpenPty (unless already open) and Serve on a thread of its own.
    bool Start(std::string* error = nullptr);
    // Asks Serve to return. Safe from a signal handler and from any thread.
    void RequestStop();
    // RequestStop, join the thread, close the line.
    void Stop();
    bool Serving() const { return serving_.load(); }

    // Station memory, by byte address (wrapping at 32 KiB).
    std::vector<uint8_t> ReadMemory(int station, uint32_t byte_addr, size_t n) const;
    void WriteMemory(int station, uint32_t byte_addr, const std::vector<uint8_t>& bytes);
    void ClearMemory();
    // Text image: lines "station:byteaddr: hex bytes" (see sim/README.md).
    bool LoadMemory(const std::string& file, std::string* error = nullptr);
    // The same lines from text; `origin` names them in an error.
    bool LoadMemoryText(std::istream& in, const std::string& origin,
                        std::string* error = nullptr);
    bool DumpMemory(const std::string& file, std::string* error = nullptr) const;

    // Bit n set: station n answers (default: all sixteen).
    void SetPresent(uint16_t mask) { present_.store(mask); }
    // Replies no faster than this baud rate, 11 bits a character (0: at once).
    void SetPaceBaud(uint32_t baud) { pace_baud_.store(baud); }
    // Every reply held back this long after its request, as a PLC takes
    // time to answer.
    void SetTurnaround(uint32_t ms) { turnaround_ms_.store(ms); }
    // Every read first inverts the bytes it asks for: each read of a range
    // answers the complement of the one before, so every value a scan reads
    // has changed since its last read.
    void SetInvertOnRead(bool on) { invert_on_read_.store(on); }

    void PushFault(const Fault& fault);
    void AddFault(const ScriptEntry& entry);
    bool AddFaults(std::string_view script, std::string* error = nullptr);
    void SetRandomFaults(double rate, uint64_t seed, std::vector<Fault> pool = {});
    void ClearFaults();
    size_t PendingFaults() const;

    Counters GetCounters() const;
    // Zeroes the counters; request numbers (for numbered faults) start again at 1.
    void ResetCounters();
    // Waits until at least n requests were dealt with since the start (or the
    // last ResetCounters); false on timeout.
    bool WaitForRequests(uint64_t n, int timeout_ms) const;

private:
    struct Segment {
        std::vector<uint8_t> bytes;
        uint32_t pause_ms = 0;  // before these bytes
    };

    void CloseLine();
    void HandleEvents(std::vector<DecodeEvent>& events);
    void HandleFrame(const std::vector<uint8_t>& block);
    bool Deliver(const std::vector<Segment>& segments);
    bool WriteAll(const uint8_t* p, size_t n);
    bool SleepUntil(std::chrono::steady_clock::time_point t);
    void Trace(const std::string& line);

    Options options_;
    std::atomic<uint16_t> present_{0xFFFF};
    std::atomic<uint32_t> pace_baud_{0};
    std::atomic<uint32_t> turnaround_ms_{0};
    std::atomic<bool> invert_on_read_{false};

    std::string path_;
    int line_fd_ = -1;   // pty master or the device
    int slave_fd_ = -1;  // held open so the master never sees a hang-up
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::atomic<bool> serving_{false};
    std::thread thread_;
    bool failed_ = false;

    mutable std::mutex mu_;  // memory, faults, counters
    mutable std::condition_variable cv_;
    Plc plc_;
    FaultPlan plan_;
    Counters counters_;
    uint64_t handled_ = 0;
    Decoder decoder_;
};

}  // namespace p8sim
