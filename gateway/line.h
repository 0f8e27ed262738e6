// The line side: the driver module loaded as a host loads it, and the one
// thread that ever calls NuvMain. It carries out one request at a time with
// the fewest driver transfers, tells the cause of a failure from the lines
// the driver logs, and keeps silent stations in backoff.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/records.h"
#include "gateway/modbus/queue.h"
#include "gateway/modbus/stats.h"
#include "host/line_access.h"
#include "host/line_guard.h"
#include "hostsvc/module_loader.h"
#include "tools/options.h"

namespace vave8gw {

class Line : public host::LineAccess {
public:
    // `stats` (may be null) takes the stations' reply times.
    Line(const vave8ctl::ConnectionOptions& options, double deadBackoffSeconds,
         Stats* stats = nullptr);
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // Load, GetNuvInfo, the instance, ColdStart; false with the reason.
    bool Start(std::string* error);

    Outcome Execute(const Job& job);

    // EndNuv, once, if started.
    void End();

    // The tag engine's transactions: the same transfer path as requests, a
    // failed port opened again first, but no backoff (the engine demotes
    // silent stations itself).
    host::LineResult ReadBytes(int station, uint32_t firstByte, uint32_t count,
                               uint8_t* bytes) override;
    host::LineResult WriteGate(const std::string& address, uint32_t gateType,
                               uint8_t* values) override;
    bool PortDown() const override { return portDown_; }

private:
    struct Driver {
        int32_t result = NUV_OK;
        std::vector<std::string> lines;  // logged during the call
        // An attempt of the transfer ended without a complete good reply.
        bool disturbed = false;
    };

    static void Sink(void* context, int level, const char* line);
    int32_t Call(uint32_t function, void* args);
    // The parser on the gate's text, then the transfer; lines of both kept.
    // The transfer waits first for the guard of a disturbed one before it.
    Driver Transfer(uint32_t function, const std::string& address, bool block, uint32_t gateType,
                    int32_t count, uint8_t* values);
    // Functions 5 and 15: the bytes read, the bits changed, the bytes written.
    Outcome WriteCoils(const Operation& op, const Frame& frame);
    void NoteReply(int station, double seconds);
    Outcome Carry(const Operation& op, const Frame& frame);
    static Outcome Failed(const Driver& driver);
    // CloseCom and ReOpenCom on a port that failed; false while it cannot
    // be opened, trying at most once a second.
    bool Reopen();
    // A transfer's outcome sorted for the engine; marks the port down when
    // it failed.
    host::LineResult Sorted(const Driver& driver, double seconds);
    // False, with the result to give, while a failed port does not open.
    bool PortReady(host::LineResult* result);

    vave8ctl::ConnectionOptions options_;
    std::chrono::duration<double> backoff_;
    hostlib::LoadedModule module_;
    std::vector<uint8_t> storage_;
    std::vector<std::string> lines_;
    bool started_ = false;
    std::array<std::chrono::steady_clock::time_point, 16> deadUntil_{};
    // A tty whose write failed has hung up and stays failed until closed (an
    // adapter unplugged): the gateway opens it again by name before the next
    // request, so that a replugged adapter serves again without a restart.
    bool portDown_ = false;
    bool reopenFailureLogged_ = false;
    std::chrono::steady_clock::time_point nextReopen_{};
    hostlib::LineGuard guard_;
    Stats* stats_;
    std::array<std::chrono::steady_clock::time_point, 16> slowWarned_{};
};

}  // namespace vave8gw
