#include "host/line_loop.h"

#include <algorithm>

namespace host {

void RunLine(LineAccess& line, Periodic* periodic, const OnDemand& requests) {
    if (periodic != nullptr) periodic->SetWake(requests.nudge);
    bool scanTurn = true;
    while (true) {
        if (periodic != nullptr && periodic->RunWrite(line)) continue;
        const auto next = periodic != nullptr ? periodic->NextDue() : Periodic::Clock::time_point::max();
        const auto now = Periodic::Clock::now();
        // Never wait past an hour: a far deadline is no deadline to a
        // condition variable's arithmetic.
        const auto due = std::min(next, now + std::chrono::hours(1));
        const bool scanDue = due <= now;
        if (scanDue && scanTurn) {
            periodic->RunScan(line);
            scanTurn = false;
            continue;
        }
        // A request's turn: one that waits goes now; with none, the scan
        // goes again at once, or the line waits for whichever comes first.
        bool served = false;
        if (!requests.serve(scanDue ? now : due, &served)) break;
        scanTurn = true;
    }
    if (periodic != nullptr) {
        periodic->SetWake({});
        periodic->Stop();
    }
}

}  // namespace host
