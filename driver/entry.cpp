// NuvMain: the driver's only export and the only road into it.
//
// The host hands one call block; its function code picks an operation from a
// fixed table of seventeen slots. Once EndNuv has run, the module is ended for
// as long as it stays loaded and every call returns 0 without reading anything.
#include "driver/log.h"
#include "driver/operations.h"

namespace {

// The module's only state: set by EndNuv, never cleared while loaded.
bool g_ended = false;

struct Slot {
    Operation operation;
    bool needsInstance;  // reads or writes the DriverInstance
    bool needsArgs;      // reads the argument record at offset 16
};

constexpr Slot kTable[FN_TABLE_SIZE] = {
    /* 0 */ {nullptr, false, false},
    /* 1 */ {ColdStart, true, true},
    /* 2 */ {WarmStart, true, false},
    /* 3 */ {SingleAddressParser, false, true},
    /* 4 */ {BlockAddressParser, false, true},
    /* 5 */ {SingleRead, true, true},
    /* 6 */ {BlockRead, true, true},
    /* 7 */ {SingleWrite, true, true},
    /* 8 */ {nullptr, false, false},
    /* 9 */ {nullptr, false, false},
    /* 10 */ {BlockWrite, true, true},
    /* 11 */ {EndNuv, true, false},
    /* 12 */ {CloseCom, true, false},
    /* 13 */ {ReOpenCom, true, false},
    /* 14 */ {GetNuvInfo, false, true},
    /* 15 */ {ChangeNuvParams, true, true},
    /* 16 */ {nullptr, false, false},
};

// The banner, code page 437: a backspace and a line feed, then a double-line
// box around the driver's title. 181 bytes, no line feed after the last line.
#define BOX_BAR                                                                \
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD" \
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD" \
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD"
constexpr char kBanner[] =
    "\x08\n"
    "\xC9" BOX_BAR "\xBB\n"
    "\xBA" "  VAVE8: Philips P8 PLC, PPCCOM-Protocol (32-bit driver) " "\xBA\n"
    "\xC8" BOX_BAR "\xBC";
#undef BOX_BAR
static_assert(sizeof(kBanner) == 181 + 1, "banner is 181 bytes of text");

constexpr char kDriverName[] = "Philips P8 PLC";

}  // namespace

void SetEnded() { g_ended = true; }

// Used only by test hosts that link the driver statically and need a module
// that looks freshly loaded; the shared module never exports it.
void ClearEndedFlagForTesting() { g_ended = false; }

int32_t GetNuvInfo(NuvCall* call) {
    auto* info = static_cast<NuvInfo*>(call->args);
    info->code = 70;
    info->name = kDriverName;
    info->banner = kBanner;
    info->instanceSize = kInstanceSize;
    info->four = 4;
    info->defaults = LineParams{9600, 8, 0, 2};
    info->three = 3;
    err(LOG_PROGRESS, "VAVE8> GetNuvInfo() exited");
    return NUV_OK;
}

extern "C" int32_t VAVE8_API NuvMain(NuvCall* call) {
    if (g_ended) return NUV_OK;
    if (call == nullptr) return NUV_FAILED;
    const uint32_t function = call->function;
    if (function >= FN_TABLE_SIZE) return NUV_FAILED;
    const Slot& slot = kTable[function];
    if (slot.operation == nullptr) return NUV_FAILED;
    // A host that hands no record where the operation needs one gets a
    // refusal rather than a crash inside its own process.
    if ((slot.needsInstance && call->instance == nullptr) ||
        (slot.needsArgs && call->args == nullptr)) {
        err(LOG_PROGRESS, "VAVE8> NuvMain() function %u called without its record", function);
        return NUV_REJECTED;
    }
    return slot.operation(call);
}
