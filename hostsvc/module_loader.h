// Loading the driver module the way a host does: by path at run time, the
// entry point found by its name, never linked in. Shared by the host tool,
// the soak and the benchmark.
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

}  // namespace hostlib
