#include "tools/host.h"

#include <algorithm>
#include <cstring>

#include "hostsvc/hostsvc.h"
#include "hostsvc/module_loader.h"


namespace vave8ctl {

namespace {

// Anything above this is not an instance size but a broken module.
constexpr int32_t kLargestSaneInstance = 1 << 20;

}  // namespace

std::string DefaultModulePath() {
    return hostlib::ModuleBesideProgram();
}

DriverHost::DriverHost() {
    hostsvc_set_sink(&DriverHost::Sink, this);
}

DriverHost::~DriverHost() {
    hostsvc_set_sink(nullptr, nullptr);
    hostlib::UnloadModule(&module_);
}

bool DriverHost::Load(const std::string& path, std::string* error) {
    return hostlib::LoadModule(path, &module_, error);
}

int32_t DriverHost::GetInfo(NuvInfo* info, std::string* error) {
    NuvCall call{};
    call.instance = nullptr;
    call.function = FN_GET_NUV_INFO;
    call.args = info;
    const int32_t result = module_.entry(&call);
    if (result != NUV_OK) {
        *error = "GetNuvInfo answered " + std::to_string(result);
        return result;
    }
    if (info->instanceSize <= 0 || info->instanceSize > kLargestSaneInstance) {
        *error = "the driver reports an instance size of " + std::to_string(info->instanceSize);
        return NUV_FAILED;
    }
    // At least what the driver asked for, and never less than the record the
    // tool itself reads back for its traces.
    const size_t size = std::max(static_cast<size_t>(info->instanceSize), sizeof(DriverInstance));
    storage_.assign(size, 0);
    return NUV_OK;
}

int32_t DriverHost::Call(uint32_t function, void* args) {
    NuvCall call{};
    call.instance = Instance();
    call.function = function;
    call.args = args;
    return module_.entry(&call);
}

DriverInstance* DriverHost::Instance() {
    return storage_.empty() ? nullptr : reinterpret_cast<DriverInstance*>(storage_.data());
}

void DriverHost::SetLive(bool live, std::string indent) {
    live_ = live;
    indent_ = std::move(indent);
}

std::vector<LogLine> DriverHost::TakeLines() {
    std::vector<LogLine> taken;
    taken.swap(lines_);
    return taken;
}

void DriverHost::PrintLines(const std::vector<LogLine>& lines, std::FILE* out) const {
    if (live_) return;
    for (const LogLine& line : lines) {
        std::fprintf(out, "%s%s\n", indent_.c_str(), FormatLogLine(line).c_str());
    }
}

void DriverHost::Sink(void* context, int level, const char* line) {
    auto* host = static_cast<DriverHost*>(context);
    LogLine entry{level, line != nullptr ? line : ""};
    if (host->live_) {
        std::printf("%s%s\n", host->indent_.c_str(), FormatLogLine(entry).c_str());
        std::fflush(stdout);
    }
    host->lines_.push_back(std::move(entry));
}

std::string FormatLogLine(const LogLine& line) {
    return "[" + std::to_string(line.level) + "] " + line.text;
}

StartParams MakeStartParams(const std::string& port, int32_t ticks, const LineParams& line) {
    StartParams start{};
    std::memcpy(start.portName, port.data(), std::min(port.size(), sizeof start.portName - 1));
    start.openFlag = port.empty() ? 0 : 1;
    start.timeoutTicks = ticks;
    start.line = line;
    return start;
}

int32_t ParseGate(DriverHost& host, const std::string& address, bool block, uint32_t gateType,
                  int32_t blockSize, GateParse* gate) {
    *gate = GateParse{};
    gate->address = address.c_str();
    gate->gateType = gateType;
    gate->blockSize = blockSize;
    gate->bitNumber = -1;
    return host.Call(block ? FN_BLOCK_ADDRESS_PARSER : FN_SINGLE_ADDRESS_PARSER, gate);
}

const char* ResultName(int32_t result) {
    switch (result) {
        case NUV_OK:
            return "ok";
        case NUV_REJECTED:
            return "refused";
        case NUV_FAILED:
            return "failed";
        default:
            return "unexpected";
    }
}

}  // namespace vave8ctl
