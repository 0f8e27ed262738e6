// The soak's host side: the driver module loaded by path and reached only
// through NuvMain, with the instance storage and the argument records kept
// between guard bytes, and the driver's log lines collected per call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/records.h"
#include "hostsvc/module_loader.h"

namespace soak {

// The module next to this program: libvave8.so, or vave8.dll on Windows.
std::string DefaultModulePath();

class Host {
public:
    Host();
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    bool Load(const std::string& path, std::string* error);
    // GetNuvInfo without an instance, then the instance storage at the size
    // it reports, followed by guard bytes.
    bool Allocate(std::string* error);

    // NuvMain with the instance and `args`. The call block is checked to
    // come back unchanged and the instance's guard bytes to stay whole;
    // GuardsWhole() tells.
    int32_t Call(uint32_t function, void* args);
    bool GuardsWhole() const { return guardsWhole_; }

    // The lines logged since the last TakeLines().
    std::vector<std::string> TakeLines();

private:
    static void Sink(void* context, int level, const char* line);

    hostlib::LoadedModule module_;
    std::vector<uint8_t> storage_;
    size_t instanceSize_ = 0;
    bool guardsWhole_ = true;
    std::vector<std::string> lines_;
};

}  // namespace soak
