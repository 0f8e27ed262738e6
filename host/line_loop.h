// The line thread's loop, shared by every front-end: one thread alone
// drives the line. Tag writes go first; then on-demand requests (Modbus)
// and scan transactions take turns, so that neither starves the other.
#pragma once

#include <chrono>
#include <functional>

#include "host/line_access.h"

namespace host {

// The scans and writes a tag engine puts on the line.
class Periodic {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~Periodic() = default;
    // Carries out the oldest waiting write; false when none waits.
    virtual bool RunWrite(LineAccess& line) = 0;
    // When the next scan transaction is due (Clock::time_point::max(): none).
    virtual Clock::time_point NextDue() = 0;
    // Carries out one scan transaction that is due.
    virtual void RunScan(LineAccess& line) = 0;
    // Called, from any thread, when a write was queued.
    virtual void SetWake(std::function<void()> wake) = 0;
    // The loop ends: writes still waiting are answered as stopped.
    virtual void Stop() = 0;
};

// On-demand requests of a front-end.
struct OnDemand {
    // Waits until a request arrives (then carries it out, `served` true),
    // `deadline` passes or `nudge` is called; false once the front-end stops.
    std::function<bool(Periodic::Clock::time_point deadline, bool* served)> serve;
    std::function<void()> nudge;
};

// Runs until `requests.serve` reports the stop. `periodic` may be null.
void RunLine(LineAccess& line, Periodic* periodic, const OnDemand& requests);

}  // namespace host
