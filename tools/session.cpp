#include "tools/session.h"

#include <cstdio>
#include <cstring>

#include "tools/format.h"
#include "tools/port_check.h"

namespace vave8ctl {

namespace {

std::string Printf(const char* format, auto... values) {
    char text[512];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

const char* ParityName(uint16_t parity) {
    constexpr const char* kNames[] = {"no", "odd", "even", "mark", "space"};
    const unsigned low = parity & 0xFFu;
    return low < 5 ? kNames[low] : "unknown";
}

const char* StopBitsName(uint16_t stopBits) {
    switch (stopBits & 0xFFu) {
        case 0:
            return "1 stop bit";
        case 1:
            return "1.5 stop bits";
        case 2:
            return "2 stop bits";
        default:
            return "unknown stop bits";
    }
}

const char* FunctionName(uint32_t function) {
    switch (function) {
        case FN_COLD_START:
            return "ColdStart";
        case FN_WARM_START:
            return "WarmStart";
        case FN_END_NUV:
            return "EndNuv";
        case FN_CLOSE_COM:
            return "CloseCom";
        default:
            return "NuvMain";
    }
}

}  // namespace

bool Session::Start(const std::string& modulePath, bool verbose) {
    host_.SetLive(verbose, host_.Indent());
    std::string error;
    if (!host_.Load(modulePath, &error)) {
        std::fprintf(stderr, "vave8ctl: %s\n", error.c_str());
        return false;
    }
    if (host_.GetInfo(&info_, &error) != NUV_OK) {
        std::fprintf(stderr, "vave8ctl: %s\n", error.c_str());
        return false;
    }
    // Its one line was shown as it came if verbose; nobody asks for it later.
    host_.TakeLines();
    started_ = true;
    return true;
}

int32_t Session::Step(const std::string& title, uint32_t function, void* args, ShowLines show) {
    if (host_.Live()) {
        std::printf("%s%s\n", titleIndent_.c_str(), title.c_str());
        std::fflush(stdout);
    }
    const int32_t result = host_.Call(function, args);
    const std::vector<LogLine> lines = host_.TakeLines();
    if (host_.Live()) {
        std::printf("%s-> %d (%s)\n", host_.Indent().c_str(), result, ResultName(result));
    } else {
        std::printf("%s%s: %d (%s)\n", titleIndent_.c_str(), title.c_str(), result,
                    ResultName(result));
        if (show == ShowLines::Always || (show == ShowLines::OnFailure && result != NUV_OK)) {
            host_.PrintLines(lines);
        }
    }
    std::fflush(stdout);
    return result;
}

int32_t Session::QuietStep(uint32_t function, void* args) {
    const int32_t result = host_.Call(function, args);
    const std::vector<LogLine> lines = host_.TakeLines();
    if (result != NUV_OK && !host_.Live()) {
        std::printf("%s: %d (%s)\n", FunctionName(function), result, ResultName(result));
        host_.PrintLines(lines);
    }
    return result;
}

int32_t Session::ColdStart(const std::string& port, int32_t ticks, const LineParams& line,
                           ShowLines show) {
    StartParams start = MakeStartParams(port, ticks, line);
    std::string title = "ColdStart";
    if (!port.empty()) {
        title += " on " + PortPath(port) + ", " + DescribeLine(line) +
                 Printf(", timeout %d ticks", ticks);
        if (ticks != 0) title += Printf(" (%d ms)", ticks * 10);
    } else {
        title += " without a port";
    }
    const int32_t result = Step(title, FN_COLD_START, &start, show);
    if (result != NUV_OK && !port.empty()) {
        // EndNuv would close the port: nothing was opened to close.
        ended_ = true;
        if (const std::string problem = PortProblem(port); !problem.empty()) {
            std::fprintf(stderr, "vave8ctl: %s\n", problem.c_str());
        }
    }
    return result;
}

int32_t Session::Parse(const std::string& address, bool block, uint32_t gateType, int32_t blockSize,
                       GateParse* gate, bool sayGateType) {
    std::string title;
    if (block) {
        title = Printf("BlockAddressParser '%s', block of %d", address.c_str(), blockSize);
    } else {
        title = Printf("SingleAddressParser '%s', gate type %u (%s)%s", address.c_str(), gateType,
                       GateTypeName(gateType), sayGateType ? ", natural for the memory type" : "");
    }
    if (host_.Live()) std::printf("%s%s\n", titleIndent_.c_str(), title.c_str());
    const int32_t result = ParseGate(host_, address, block, gateType, blockSize, gate);
    const std::vector<LogLine> lines = host_.TakeLines();
    const std::string& indent = host_.Indent();
    if (host_.Live()) {
        std::printf("%s-> %d (%s)\n", indent.c_str(), result, ResultName(result));
    } else {
        std::printf("%s%s: %d (%s)\n", titleIndent_.c_str(), title.c_str(), result,
                    ResultName(result));
        host_.PrintLines(lines);
    }
    if (result == NUV_OK) std::printf("%s%s\n", indent.c_str(), DescribeGate(*gate).c_str());
    std::fflush(stdout);
    return result;
}

void Session::MarkBuffers() {
    const DriverInstance* instance = host_.Instance();
    std::memcpy(requestBefore_.data(), instance->request, kBlockBufferSize);
    std::memcpy(replyBefore_.data(), instance->reply, kBlockBufferSize);
}

void Session::Trace(int32_t memoryType, int32_t result) {
    const DriverInstance* instance = host_.Instance();
    const char* indent = host_.Indent().c_str();
    const bool requestNew =
        std::memcmp(requestBefore_.data(), instance->request, kBlockBufferSize) != 0;
    const bool replyNew = std::memcmp(replyBefore_.data(), instance->reply, kBlockBufferSize) != 0;
    if (!requestNew && instance->request[0] == 0) {
        std::printf("%strace request: none built\n", indent);
        std::fflush(stdout);
        return;
    }
    std::printf("%strace request: %s\n", indent,
                DescribeRequest(instance->request, kBlockBufferSize, memoryType).c_str());
    // A good transfer always took a reply, even one equal to the last; a
    // failed one that left the buffer as it was stored nothing.
    if (result != NUV_OK && !replyNew) {
        std::printf("%strace reply:   none stored\n", indent);
    } else {
        const bool isRead = instance->request[0] == 0xA2;
        const size_t dataBytes = isRead ? RequestDataBytes(instance->request) : 0;
        // After a failure the buffer may hold a frame that broke off part way.
        std::printf("%strace reply:   %s%s\n", indent,
                    DescribeReply(instance->reply, kBlockBufferSize, dataBytes).c_str(),
                    result == NUV_OK ? "" : "  (as the last failed attempt left it)");
    }
    std::fflush(stdout);
}

int32_t Session::End(const std::string& title) {
    if (!started_ || ended_) return NUV_OK;
    ended_ = true;
    if (host_.Live()) return Step(title, FN_END_NUV, nullptr, ShowLines::Always);
    return QuietStep(FN_END_NUV, nullptr);
}

int ExitFor(int32_t result) {
    switch (result) {
        case NUV_OK:
            return EXIT_OK;
        case NUV_REJECTED:
            return EXIT_REFUSED;
        default:
            return EXIT_FAILED;
    }
}

std::string DescribeLine(const LineParams& line) {
    return Printf("%u baud, %u data bits, %s parity, %s", line.baud, line.dataBits & 0xFFu,
                  ParityName(line.parity), StopBitsName(line.stopBits));
}

std::string DescribeGate(const GateParse& gate) {
    std::string text =
        Printf("station %d, memory type '%c' (%s), item address %d (0x%04X)", gate.station,
               MemoryTypeChar(gate.memoryType), MemoryTypeName(gate.memoryType), gate.itemAddress,
               static_cast<unsigned>(gate.itemAddress));
    if (gate.bitNumber >= 0) {
        text += Printf(", bit number %d (digit %d)", gate.bitNumber, 7 - gate.bitNumber);
    } else {
        text += ", bit number -1 (whole item)";
    }
    text += Printf(", value width %d", gate.valueWidth);
    return text;
}

void WarnNoTimeLimit(int32_t ticks) {
    if (ticks != 0) return;
    std::fprintf(stderr,
                 "vave8ctl: warning: a read time limit of 0 means no limit: a PLC that stays "
                 "silent blocks this call for ever\n");
}

}  // namespace vave8ctl
