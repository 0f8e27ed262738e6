#include "tools/host.h"

#include <algorithm>
#include <cstring>

#include "hostsvc/hostsvc.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace vave8ctl {

namespace {

// Anything above this is not an instance size but a broken module.
constexpr int32_t kLargestSaneInstance = 1 << 20;

}  // namespace

std::string DefaultModulePath() {
#if defined(_WIN32)
    return "vave8.dll";
#else
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return "libvave8.so";
    std::string path(self, static_cast<size_t>(length));
    return path.substr(0, path.rfind('/') + 1) + "libvave8.so";
#endif
}

DriverHost::DriverHost() {
    hostsvc_set_sink(&DriverHost::Sink, this);
}

DriverHost::~DriverHost() {
    hostsvc_set_sink(nullptr, nullptr);
    if (module_ == nullptr) return;
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(module_));
#else
    dlclose(module_);
#endif
}

bool DriverHost::Load(const std::string& path, std::string* error) {
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        *error = "cannot load " + path + " (Windows error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    module_ = module;
    FARPROC proc = GetProcAddress(module, "NuvMain");
    if (proc == nullptr) {
        *error = path + " exports no NuvMain";
        return false;
    }
    entry_ = reinterpret_cast<EntryPoint>(reinterpret_cast<void (*)()>(proc));
#else
    module_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module_ == nullptr) {
        const char* why = dlerror();
        *error = "cannot load " + path + ": " + (why != nullptr ? why : "unknown error");
        return false;
    }
    void* symbol = dlsym(module_, "NuvMain");
    if (symbol == nullptr) {
        *error = path + " exports no NuvMain";
        return false;
    }
    entry_ = reinterpret_cast<EntryPoint>(symbol);
#endif
    return true;
}

int32_t DriverHost::GetInfo(NuvInfo* info, std::string* error) {
    NuvCall call{};
    call.instance = nullptr;
    call.function = FN_GET_NUV_INFO;
    call.args = info;
    const int32_t result = entry_(&call);
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
    return entry_(&call);
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

GateTransfer MakeTransfer(const GateParse& gate, int32_t count, uint8_t* values) {
    GateTransfer transfer{};
    transfer.station = gate.station;
    transfer.memoryType = gate.memoryType;
    transfer.itemAddress = gate.itemAddress;
    transfer.bitNumber = gate.bitNumber;
    transfer.valueWidth = gate.valueWidth;
    transfer.count = count;
    transfer.value = values;
    return transfer;
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
