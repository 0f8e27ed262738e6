#include "gateway/opcua/write_wait.h"

#include <cmath>

#include "tags/plan.h"

namespace opcua {

namespace {

constexpr int kAttempts = 3;
// A write request carries at most four data bytes; counted doubled, as any
// of them may be, in both frames.
constexpr uint32_t kWriteFrameBytes = 8;
// The server thread's own scheduling and the hand-over to the line thread.
constexpr double kMarginMs = 100;

}  // namespace

std::chrono::milliseconds WriteWait(const LineTiming& timing, bool bit) {
    if (timing.ticks <= 0) return kUnboundedWriteWait;
    const tags::CostModel cost = tags::CostModel::For(timing.line, timing.turnaroundMs);
    const double limitMs = 10.0 * timing.ticks, guardMs = static_cast<double>(timing.lateGuard.count());
    auto transaction = [&](uint32_t bytes) { return kAttempts * (limitMs + cost.BlockMs(bytes)); };
    double ms = transaction(tags::kMaxBlockBytes) + guardMs + transaction(kWriteFrameBytes);
    if (bit) ms += transaction(1) + guardMs;
    return std::chrono::milliseconds(static_cast<int64_t>(std::ceil(ms + kMarginMs)));
}

}  // namespace opcua
