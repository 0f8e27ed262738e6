#include "hostsvc/module_loader.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace hostlib {

std::string ModuleBesideProgram() {
#if defined(_WIN32)
    return "vave8.dll";
#else
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return "libvave8.so";
    const std::string path(self, static_cast<size_t>(length));
    const std::string dir = path.substr(0, path.rfind('/') + 1);
    const std::string beside = dir + "libvave8.so";
#if defined(VAVE8_MODULE_FROM_BIN)
    // A build tree keeps the module beside the program; an installed tree
    // keeps it in the library folder, found from the program's own place.
    const std::string installed = dir + VAVE8_MODULE_FROM_BIN "/libvave8.so";
    if (access(beside.c_str(), F_OK) != 0 && access(installed.c_str(), F_OK) == 0) {
        return installed;
    }
#endif
    return beside;
#endif
}

bool LoadModule(const std::string& path, LoadedModule* module, std::string* error) {
#if defined(_WIN32)
    HMODULE handle = LoadLibraryA(path.c_str());
    if (handle == nullptr) {
        *error = "cannot load " + path + " (Windows error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    module->handle = handle;
    FARPROC proc = GetProcAddress(handle, "NuvMain");
    if (proc != nullptr) {
        module->entry = reinterpret_cast<EntryPoint>(reinterpret_cast<void (*)()>(proc));
    }
#else
    module->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module->handle == nullptr) {
        const char* why = dlerror();
        *error = "cannot load " + path + ": " + (why != nullptr ? why : "unknown error");
        return false;
    }
    void* symbol = dlsym(module->handle, "NuvMain");
    if (symbol != nullptr) module->entry = reinterpret_cast<EntryPoint>(symbol);
#endif
    if (module->entry == nullptr) {
        *error = path + " exports no NuvMain";
        return false;
    }
    return true;
}

void UnloadModule(LoadedModule* module) {
    if (module->handle != nullptr) {
#if defined(_WIN32)
        FreeLibrary(static_cast<HMODULE>(module->handle));
#else
        dlclose(module->handle);
#endif
    }
    *module = LoadedModule{};
}

}  // namespace hostlib
