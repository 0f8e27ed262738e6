#include "host/line_guard.h"

#include <thread>

namespace hostlib {

namespace {

// The longest frame: start pair, two length bytes, 256 data bytes behind a
// two-byte header, the CRC; the doubled bytes it may carry are left to the
// margin, as the PLC's own reply never fills a block with them.
constexpr int64_t kLongestFrameChars = 263;
constexpr int64_t kMarginMs = 100;

bool Has(const std::string& line, const char* text) {
    return line.find(text) != std::string::npos;
}

}  // namespace

std::chrono::milliseconds DefaultLateGuard(int32_t ticks, const LineParams& line) {
    if (ticks <= 0) return std::chrono::milliseconds(0);
    // Tenths of a bit: a stop bit and a half is 15.
    const int64_t stopTenths = line.stopBits == 0 ? 10 : line.stopBits == 1 ? 15 : 20;
    const int64_t charTenths = 10 * (1 + line.dataBits + (line.parity != 0 ? 1 : 0)) + stopTenths;
    const int64_t baud = line.baud > 0 ? line.baud : 1;
    const int64_t frameMs = (kLongestFrameChars * charTenths * 1000 + 10 * baud - 1) / (10 * baud);
    return std::chrono::milliseconds(2 * int64_t{ticks} * 10 + frameMs + kMarginMs);
}

bool Disturbed(int32_t result, const std::vector<std::string>& lines) {
    // An attempt that got a whole frame (data, done, an ERROR block, even an
    // unknown or short block) left nothing behind on the line; one that
    // failed in the frame layer or the port may have: its reply may yet come,
    // or the rest of it. Those say so with "Read reply error" or "Send
    // request error" after the frame layer's own line.
    for (const std::string& line : lines) {
        if (Has(line, "reply error") || Has(line, "request error") || Has(line, "Receive()") ||
            Has(line, "Recieve()") || Has(line, "getChar()") || Has(line, "putChar()") ||
            Has(line, "Send()")) {
            return true;
        }
    }
    // A failure the lines do not explain is taken as the worst.
    return result != NUV_OK && lines.empty();
}

void LineGuard::Ended(bool disturbed, Clock::time_point at) {
    if (!disturbed || guard_.count() <= 0) return;
    const Clock::time_point until = at + guard_;
    if (until > holdUntil_) holdUntil_ = until;
    ++holds_;
}

LineGuard::Clock::duration LineGuard::WaitClear() {
    const Clock::time_point now = Clock::now();
    if (now >= holdUntil_) return {};
    std::this_thread::sleep_until(holdUntil_);
    return holdUntil_ - now;
}

}  // namespace hostlib
