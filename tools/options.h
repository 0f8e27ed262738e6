// The command line of vave8ctl: one command, its arguments, and options that
// may stand anywhere ("--name value" or "--name=value").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/records.h"

namespace vave8ctl {

// Exit codes, documented in --help.
enum ExitCode : int {
    EXIT_OK = 0,
    EXIT_REFUSED = 1,  // the driver answered 1
    EXIT_FAILED = 2,   // the driver answered 2, or the module would not load
    EXIT_USAGE = 64,
};

constexpr int32_t kDefaultTicks = 100;  // 1 s
// ticks x 10 ms must fit the port's 32-bit millisecond limit.
constexpr int64_t kLargestTicks = INT32_MAX / 10;

// The options every host program of the driver takes to reach its line:
// vave8ctl and vave8gw parse them with the same code.
struct ConnectionOptions {
    std::string module;  // empty: DefaultModulePath()
    std::string port;    // empty: none given
    LineParams line{9600, 8, 0, 2};
    int32_t ticks = kDefaultTicks;
    // Milliseconds the next request waits after a transaction with a failed
    // attempt; unset: twice the read limit plus the longest frame's time.
    std::optional<int32_t> lateGuardMs;
    bool verbose = false;
};

using ConnectionApplier = bool (*)(ConnectionOptions*, std::string_view, std::string*);

struct ConnectionOptionSpec {
    const char* name;  // without the leading "--"
    bool takesValue;
    ConnectionApplier apply;
};

// The table entry of --NAME when it is a connection option (--module, --port,
// --baud, --data-bits, --parity, --stop-bits, --timeout, --ticks, --late-guard, --verbose),
// else null. A failed apply leaves the message (no program prefix) in `error`.
const ConnectionOptionSpec* FindConnectionOption(std::string_view name);

struct Options : ConnectionOptions {
    std::string command;
    std::vector<std::string> arguments;

    bool trace = false;
    bool help = false;

    std::optional<uint32_t> gateType;
    std::optional<int32_t> block;
    std::optional<int32_t> count;
    uint32_t intervalMs = 1000;
    std::optional<uint64_t> times;
};

// Fills `options` from argv; on a usage error returns false with the message
// (no "vave8ctl: " prefix) in `error`.
bool ParseCommandLine(int argc, char** argv, Options* options, std::string* error);

const char* HelpText();

}  // namespace vave8ctl
