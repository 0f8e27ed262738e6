// Checking a tag's address with the driver itself: its SingleAddressParser
// reached through NuvMain, the module loaded as a host loads it. The line
// server's line thread checks with its own loaded module through the same
// Resolve; tools without a line load one here.
#pragma once

#include <string>
#include <vector>

#include "hostsvc/module_loader.h"
#include "tags/config.h"

namespace tags {

// The gate type a host gives a gate of this type.
uint32_t GateTypeOf(Type type);

// Fills the tag's station, memory type, byte address and bit from the
// driver's parse of tag->address, choosing the default type by memory type
// when `typeGiven` is false; false with the reason when the driver refuses
// the text or the type does not fit its memory type.
bool ResolveAddress(Tag* tag, bool typeGiven, const GateParser& parse, std::string* reason);

// The driver module loaded for parsing only: GetNuvInfo and an instance, no
// port. Not thread-safe, like NuvMain itself.
class ModuleGateParser {
public:
    ModuleGateParser() = default;
    ~ModuleGateParser();
    ModuleGateParser(const ModuleGateParser&) = delete;
    ModuleGateParser& operator=(const ModuleGateParser&) = delete;

    // An empty path: the module beside the program.
    bool Load(const std::string& path, std::string* error);
    GateParser Parser();

private:
    static void Sink(void* context, int level, const char* line);

    hostlib::LoadedModule module_;
    std::vector<uint8_t> storage_;
    std::vector<std::string>* logged_ = nullptr;
};

}  // namespace tags
