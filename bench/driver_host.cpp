#include "bench/driver_host.h"

#include <algorithm>
#include <cstring>

#include "bench/counting.h"
#include "hostsvc/hostsvc.h"
#include "hostsvc/module_loader.h"

namespace bench {

namespace {

constexpr int32_t kLargestSaneInstance = 1 << 20;
constexpr size_t kLastLineSize = 256;

uint64_t g_logLines = 0;
char g_lastLine[kLastLineSize] = "";

void Sink(void*, int, const char* line) {
    ++g_logLines;
    if (line == nullptr) line = "";
    size_t n = 0;
    for (; n + 1 < kLastLineSize && line[n] != '\0'; ++n) g_lastLine[n] = line[n];
    g_lastLine[n] = '\0';
}

}  // namespace

DriverModule::DriverModule() {
    hostsvc_set_sink(&Sink, nullptr);
}

DriverModule::~DriverModule() {
    hostsvc_set_sink(nullptr, nullptr);
    hostlib::UnloadModule(&module_);
}

bool DriverModule::Load(const std::string& path, std::string* error) {
    if (!hostlib::LoadModule(path, &module_, error)) return false;

    const int32_t result = Call(nullptr, FN_GET_NUV_INFO, &info_);
    if (result != NUV_OK) {
        *error = "GetNuvInfo answered " + std::to_string(result);
        return false;
    }
    if (info_.instanceSize <= 0 || info_.instanceSize > kLargestSaneInstance) {
        *error = "the driver reports an instance size of " + std::to_string(info_.instanceSize);
        return false;
    }
    return true;
}

int32_t DriverModule::Call(DriverInstance* instance, uint32_t function, void* args) {
    NuvCall call{};
    call.instance = instance;
    call.function = function;
    call.args = args;
    const uint64_t before = CountedSoFar().HeapCalls();
    int32_t result = 0;
    {
        CountingScope counting;
        result = module_.entry(&call);
    }
    heapCalls_ += CountedSoFar().HeapCalls() - before;
    ++calls_;
    return result;
}

uint64_t DriverModule::LogLines() {
    return g_logLines;
}

const char* DriverModule::LastLogLine() {
    return g_lastLine;
}

Connection::Connection(DriverModule* module)
    : module_(module),
      // At least what the driver asked for, and never less than the record
      // the benchmark reads back itself.
      storage_(std::max(static_cast<size_t>(module->Info().instanceSize), sizeof(DriverInstance)),
               0) {}

int32_t Connection::ColdStart(const std::string& port, int32_t ticks) {
    StartParams start{};
    std::string name = port;
    if (name.rfind("/dev/", 0) == 0) name.erase(0, 5);
    std::memcpy(start.portName, name.data(), std::min(name.size(), sizeof start.portName - 1));
    start.openFlag = 1;
    start.timeoutTicks = ticks;
    // The driver's defaults. A pseudo-terminal takes no rate, so the pace
    // of the line is the simulator's business.
    start.line = module_->Info().defaults;
    return module_->Call(Instance(), FN_COLD_START, &start);
}

int32_t Connection::CloseCom() {
    return module_->Call(Instance(), FN_CLOSE_COM, nullptr);
}

int32_t Connection::EndNuv() {
    return module_->Call(Instance(), FN_END_NUV, nullptr);
}

int32_t Connection::Configure(Gate* gate) {
    gate->parse = GateParse{};
    gate->parse.address = gate->address.c_str();
    gate->parse.gateType = gate->gateType;
    gate->parse.blockSize = gate->count;
    gate->parse.bitNumber = -1;
    const int32_t result = module_->Call(
        Instance(), gate->block ? FN_BLOCK_ADDRESS_PARSER : FN_SINGLE_ADDRESS_PARSER, &gate->parse);
    if (result != NUV_OK) return result;

    GateTransfer& t = gate->transfer;
    t = GateTransfer{};
    t.station = gate->parse.station;
    t.memoryType = gate->parse.memoryType;
    t.itemAddress = gate->parse.itemAddress;
    t.bitNumber = gate->parse.bitNumber;
    t.valueWidth = gate->parse.valueWidth;
    t.count = gate->block ? gate->count : 1;
    t.value = gate->values;
    return NUV_OK;
}

int32_t Connection::Transfer(uint32_t function, Gate* gate) {
    return module_->Call(Instance(), function, &gate->transfer);
}

}  // namespace bench
