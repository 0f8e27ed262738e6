#include "tests/soak/host.h"

#include <cstring>

#include "hostsvc/hostsvc.h"
#include "hostsvc/module_loader.h"


namespace soak {

namespace {

constexpr size_t kGuardBytes = 64;
constexpr uint8_t kGuard = 0xA5;
constexpr int32_t kLargestSaneInstance = 1 << 20;

}  // namespace

std::string DefaultModulePath() {
    return hostlib::ModuleBesideProgram();
}

Host::Host() {
    hostsvc_set_sink(&Host::Sink, this);
}

Host::~Host() {
    hostsvc_set_sink(nullptr, nullptr);
    hostlib::UnloadModule(&module_);
}

bool Host::Load(const std::string& path, std::string* error) {
    return hostlib::LoadModule(path, &module_, error);
}

bool Host::Allocate(std::string* error) {
    NuvInfo info;
    std::memset(&info, 0, sizeof info);
    NuvCall call;
    std::memset(&call, 0, sizeof call);
    call.function = FN_GET_NUV_INFO;
    call.args = &info;
    const int32_t result = module_.entry(&call);
    if (result != NUV_OK || info.instanceSize < static_cast<int32_t>(sizeof(DriverInstance)) ||
        info.instanceSize > kLargestSaneInstance) {
        *error = "GetNuvInfo answered " + std::to_string(result) + " with instance size " +
                 std::to_string(info.instanceSize);
        return false;
    }
    instanceSize_ = static_cast<size_t>(info.instanceSize);
    storage_.assign(instanceSize_ + kGuardBytes, kGuard);
    // Uninitialised storage as a host hands it over: not zero.
    for (size_t i = 0; i < instanceSize_; ++i) storage_[i] = static_cast<uint8_t>(i * 7 + 3);
    return true;
}

int32_t Host::Call(uint32_t function, void* args) {
    NuvCall call;
    std::memset(&call, 0, sizeof call);
    call.instance = reinterpret_cast<DriverInstance*>(storage_.data());
    call.function = function;
    std::memcpy(call.hostOwn, "soakHOST", sizeof call.hostOwn);
    call.args = args;
    NuvCall before;
    std::memcpy(&before, &call, sizeof call);

    const int32_t result = module_.entry(&call);

    if (std::memcmp(&before, &call, sizeof call) != 0) guardsWhole_ = false;
    for (size_t i = instanceSize_; i < storage_.size(); ++i) {
        if (storage_[i] != kGuard) guardsWhole_ = false;
    }
    return result;
}

std::vector<std::string> Host::TakeLines() {
    std::vector<std::string> taken;
    taken.swap(lines_);
    return taken;
}

void Host::Sink(void* context, int, const char* line) {
    static_cast<Host*>(context)->lines_.emplace_back(line != nullptr ? line : "");
}

}  // namespace soak
