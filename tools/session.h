// One run of the tool against the driver: the loaded module, its instance, and
// the way each call is shown (a step line, the driver's lines under it, the
// result), shared by the commands and the demo.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "tools/host.h"
#include "tools/options.h"

namespace vave8ctl {

// When the driver's lines of a step are printed (--verbose prints them all as
// they come, whatever is chosen here).
enum class ShowLines { Always, OnFailure, Never };

class Session {
public:
    // Loads the module and asks for its description; prints why on failure.
    // `verbose` prints the driver's lines as they come.
    bool Start(const std::string& modulePath, bool verbose);

    DriverHost& Host() { return host_; }

    // Step titles start with this (the driver's lines take the host's indent).
    void SetTitleIndent(std::string indent) { titleIndent_ = std::move(indent); }
    const NuvInfo& Info() const { return info_; }

    // One NuvMain call as a step: its title, the driver's lines, the result.
    int32_t Step(const std::string& title, uint32_t function, void* args, ShowLines show);

    // A call the engineer did not ask for: shown only if verbose or failed.
    int32_t QuietStep(uint32_t function, void* args);

    // ColdStart on `port` ("" starts without a port) with these settings.
    int32_t ColdStart(const std::string& port, int32_t ticks, const LineParams& line,
                      ShowLines show);

    // The parser for one gate, showing its five results or its refusal.
    int32_t Parse(const std::string& address, bool block, uint32_t gateType, int32_t blockSize,
                  GateParse* gate, bool sayGateType);

    // Decodes what the last transfer, which answered `result`, left in the
    // request and reply buffers.
    void Trace(int32_t memoryType, int32_t result);

    // Remembers both buffers, so Trace can tell a fresh reply from a stale one.
    void MarkBuffers();

    // EndNuv (shown as a step when live, otherwise only if it fails); once.
    int32_t End(const std::string& title = "EndNuv");

    ~Session() { End(); }

private:
    DriverHost host_;
    NuvInfo info_{};
    std::string titleIndent_;
    bool started_ = false;
    bool ended_ = false;
    std::array<uint8_t, kBlockBufferSize> requestBefore_{};
    std::array<uint8_t, kBlockBufferSize> replyBefore_{};
};

// The exit code for a driver result.
int ExitFor(int32_t result);

// "9600 baud, 8 data bits, even parity, 1 stop bit".
std::string DescribeLine(const LineParams& line);

// The five parser results in words.
std::string DescribeGate(const GateParse& gate);

// Prints "vave8ctl: warning: ..." for a read time limit of 0.
void WarnNoTimeLimit(int32_t ticks);

}  // namespace vave8ctl
