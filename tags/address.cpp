#include "tags/address.h"

#include <algorithm>
#include <string_view>

#include "hostsvc/hostsvc.h"

namespace tags {

namespace {

constexpr uint32_t kGate16 = 0;  // a 16-bit gate
constexpr uint32_t kGateFloat = 3;
constexpr uint32_t kGate32 = 4;
constexpr uint32_t kGateDigital = 6;

std::string Stripped(std::string_view line) {
    constexpr std::string_view kPrefix = "VAVE8> ";
    if (line.substr(0, kPrefix.size()) == kPrefix) line.remove_prefix(kPrefix.size());
    return std::string(line);
}

// The type a tag takes when it names none, by memory type and bit digit.
Type DefaultType(int memoryType, bool bit) {
    switch (memoryType) {
        case MEM_BYTE: return bit ? Type::Bool : Type::UInt8;
        case MEM_WORD: return Type::UInt16;
        case MEM_DWORD: return Type::Int32;
        default: return Type::Float32;
    }
}

// The memory type (and bit digit or none) a type is read from.
bool Fits(Type type, int memoryType, bool bit) {
    switch (type) {
        case Type::Bool: return memoryType == MEM_BYTE && bit;
        case Type::Int8:
        case Type::UInt8: return memoryType == MEM_BYTE && !bit;
        case Type::Int16:
        case Type::UInt16: return memoryType == MEM_WORD;
        case Type::Int32:
        case Type::UInt32: return memoryType == MEM_DWORD;
        case Type::Float32: return memoryType == MEM_FLOAT;
    }
    return false;
}

const char* Needs(Type type) {
    switch (type) {
        case Type::Bool: return "memory type '2' with a bit digit";
        case Type::Int8:
        case Type::UInt8: return "memory type '2' without a bit digit";
        case Type::Int16:
        case Type::UInt16: return "memory type '4'";
        case Type::Int32:
        case Type::UInt32: return "memory type '8'";
        case Type::Float32: return "memory type '9'";
    }
    return "";
}

std::string Mismatch(Type type, const std::string& address) {
    return std::string("type ") + TypeName(type) + " does not fit address '" + address + "': it needs " +
           Needs(type);
}

}  // namespace

uint32_t GateTypeOf(Type type) {
    switch (type) {
        case Type::Bool: return kGateDigital;
        case Type::Float32: return kGateFloat;
        case Type::Int32:
        case Type::UInt32: return kGate32;
        default: return kGate16;
    }
}

bool ResolveAddress(Tag* tag, bool typeGiven, const GateParser& parse, std::string* reason) {
    // A host's address field holds 11 characters; the driver would read
    // only those and so pass a longer text it never saw whole.
    for (char c : tag->address) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            *reason = "address '" + tag->address.substr(0, 11) + "...' has a control character";
            return false;
        }
    }
    if (tag->address.size() > 11) {
        *reason = "address '" + tag->address + "' has " + std::to_string(tag->address.size()) +
                  " characters, at most 11";
        return false;
    }
    // Only to pick the gate type the driver is asked with; what the tag
    // becomes is the driver's parse alone.
    if (!typeGiven) {
        const std::string& text = tag->address;
        const int memoryType = text.size() > 2 ? text[2] : 0;
        const bool bit = text.size() > 7 && text[7] != ' ';
        tag->type = DefaultType(memoryType, bit);
    }
    GateParse gate{};
    gate.address = tag->address.c_str();
    gate.gateType = GateTypeOf(tag->type);
    gate.bitNumber = -1;
    std::vector<std::string> logged;
    const int32_t result = parse(&gate, &logged);
    if (result != NUV_OK) {
        const std::string line = logged.empty() ? "" : Stripped(logged.back());
        // The text itself passed and only the gate type was refused: say
        // which type the address needs rather than which gate type.
        if (typeGiven && line.rfind("SingleParse()", 0) == 0) {
            *reason = Mismatch(tag->type, tag->address);
        } else {
            *reason = "address '" + tag->address + "' refused by the driver" +
                      (line.empty() ? " (result " + std::to_string(result) + ")" : ": " + line);
        }
        return false;
    }
    const bool bit = gate.bitNumber >= 0;
    if (!Fits(tag->type, gate.memoryType, bit)) {
        *reason = Mismatch(tag->type, tag->address);
        return false;
    }
    tag->station = gate.station;
    tag->memoryType = static_cast<char>(gate.memoryType);
    // The item address is the nibble address over the item's nibbles.
    const uint32_t nibbles = gate.memoryType == MEM_BYTE ? 2 : gate.memoryType == MEM_WORD ? 4 : 8;
    tag->byteAddress = static_cast<uint32_t>(gate.itemAddress) * nibbles / 2;
    tag->bit = bit ? 7 - gate.bitNumber : -1;
    if (tag->byteAddress + TypeBytes(tag->type) > kStationBytes) {
        *reason = "address '" + tag->address + "': its bytes run past the end of the station's memory";
        return false;
    }
    return true;
}

ModuleGateParser::~ModuleGateParser() {
    hostlib::UnloadModule(&module_);
}

void ModuleGateParser::Sink(void* context, int, const char* line) {
    auto* self = static_cast<ModuleGateParser*>(context);
    if (self->logged_ != nullptr) self->logged_->emplace_back(line != nullptr ? line : "");
}

bool ModuleGateParser::Load(const std::string& path, std::string* error) {
    const std::string where = path.empty() ? hostlib::ModuleBesideProgram() : path;
    if (!hostlib::LoadModule(where, &module_, error)) return false;
    NuvInfo info{};
    NuvCall call{};
    call.function = FN_GET_NUV_INFO;
    call.args = &info;
    hostsvc_set_sink(&ModuleGateParser::Sink, this);  // its lines are of no interest here
    const int32_t result = module_.entry(&call);
    hostsvc_set_sink(nullptr, nullptr);
    if (result != NUV_OK || info.instanceSize <= 0 || info.instanceSize > (1 << 20)) {
        *error = where + ": GetNuvInfo failed or reports a nonsense instance size";
        return false;
    }
    storage_.assign(std::max(static_cast<size_t>(info.instanceSize), sizeof(DriverInstance)), 0);
    return true;
}

GateParser ModuleGateParser::Parser() {
    return [this](GateParse* gate, std::vector<std::string>* logged) {
        logged_ = logged;
        hostsvc_set_sink(&ModuleGateParser::Sink, this);
        NuvCall call{};
        call.instance = reinterpret_cast<DriverInstance*>(storage_.data());
        call.function = FN_SINGLE_ADDRESS_PARSER;
        call.args = gate;
        const int32_t result = module_.entry == nullptr ? NUV_FAILED : module_.entry(&call);
        hostsvc_set_sink(nullptr, nullptr);
        logged_ = nullptr;
        return result;
    };
}

}  // namespace tags
