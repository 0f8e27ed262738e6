// Loading the driver module the way a host does: by path at run time, the
// entry point found by its name, never linked in. Shared by the host tool,
// the soak, the benchmark and the gateway.
#pragma once

#include <string>

#include "driver/records.h"

namespace hostlib {

using EntryPoint = int32_t(VAVE8_API*)(NuvCall*);

struct LoadedModule {
    void* handle = nullptr;
    EntryPoint entry = nullptr;
};

// The module beside the running program (libvave8.so), or where an install
// puts it (the library folder vave8/, reached from the program's folder);
// on Windows the name vave8.dll, which the DLL search finds there first.
std::string ModuleBesideProgram();

// Loads the module and finds NuvMain. False with a reason in `error`; a
// module that loaded without NuvMain stays loaded (UnloadModule frees it).
bool LoadModule(const std::string& path, LoadedModule* module, std::string* error);

void UnloadModule(LoadedModule* module);

// A transfer record carrying the parser's five results, as a host hands them
// back with every transfer of that gate.
inline GateTransfer MakeTransfer(const GateParse& gate, int32_t count, uint8_t* values) {
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

}  // namespace hostlib
