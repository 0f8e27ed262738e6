#include "tools/options.h"

#include <cstring>
#include <string_view>

#include "tools/format.h"

namespace vave8ctl {

namespace {

using Applier = bool (*)(Options*, std::string_view, std::string*);

struct OptionSpec {
    const char* name;
    bool takesValue;
    const char* commands;  // the commands it applies to, space separated; null: all
    Applier apply;
};

constexpr const char* kPortCommands = "open read write poll";

struct CommandSpec {
    const char* name;
    size_t minArguments;
    size_t maxArguments;
    const char* argumentText;  // for the usage error
};

constexpr CommandSpec kCommands[] = {
    {"info", 0, 0, ""},
    {"parse", 1, 1, "ADDRESS"},
    {"open", 0, 0, ""},
    {"read", 1, 1, "ADDRESS"},
    {"write", 2, 4096, "ADDRESS VALUE..."},
    {"poll", 1, 1, "ADDRESS"},
    {"demo", 0, 0, ""},
    {"help", 0, 0, ""},
};

bool Fail(std::string* error, std::string text) {
    *error = std::move(text);
    return false;
}

bool BadNumber(std::string* error, const char* option, std::string_view value, const char* range) {
    return Fail(error, std::string("--") + option + ": '" + std::string(value) +
                           "' is not a number in " + range);
}

bool ApplyModule(ConnectionOptions* o, std::string_view v, std::string* e) {
    if (v.empty()) return Fail(e, "--module: empty path");
    o->module = v;
    return true;
}

bool ApplyPort(ConnectionOptions* o, std::string_view v, std::string* e) {
#if !defined(_WIN32)
    // Names are relative to /dev/; the full path is taken as well.
    if (v.substr(0, 5) == "/dev/") v.remove_prefix(5);
#endif
    if (v.empty()) return Fail(e, "--port: empty port name");
    if (v.size() > kPortNameSize - 1) {
        return Fail(e, "--port: '" + std::string(v) + "' has " + std::to_string(v.size()) +
                           " characters; the driver's port name holds at most " +
                           std::to_string(kPortNameSize - 1));
    }
    if (v.find('\0') != std::string_view::npos) return Fail(e, "--port: bad port name");
    o->port = v;
    return true;
}

bool ApplyBaud(ConnectionOptions* o, std::string_view v, std::string* e) {
    int64_t n = 0;
    if (!ParseInteger(v, 1, 65535, &n)) {
        return BadNumber(e, "baud", v, "1..65535 (the driver's baud field is 16 bits)");
    }
    o->line.baud = static_cast<uint16_t>(n);
    return true;
}

bool ApplyDataBits(ConnectionOptions* o, std::string_view v, std::string* e) {
    int64_t n = 0;
    if (!ParseInteger(v, 5, 8, &n)) return BadNumber(e, "data-bits", v, "5..8");
    o->line.dataBits = static_cast<uint16_t>(n);
    return true;
}

bool ApplyParity(ConnectionOptions* o, std::string_view v, std::string* e) {
    constexpr const char* kNames[] = {"none", "odd", "even", "mark", "space"};
    for (uint16_t i = 0; i < 5; ++i) {
        if (v == kNames[i]) {
            o->line.parity = i;
            return true;
        }
    }
    return Fail(e, "--parity: '" + std::string(v) + "' is not none, odd, even, mark or space");
}

bool ApplyStopBits(ConnectionOptions* o, std::string_view v, std::string* e) {
    double n = 0;
    if (ParseDecimal(v, &n)) {
        if (n == 1.0) o->line.stopBits = 0;
        if (n == 1.5) o->line.stopBits = 1;
        if (n == 2.0) o->line.stopBits = 2;
        if (n == 1.0 || n == 1.5 || n == 2.0) return true;
    }
    return Fail(e, "--stop-bits: '" + std::string(v) + "' is not 1, 1.5 or 2");
}

bool ApplyTimeout(ConnectionOptions* o, std::string_view v, std::string* e) {
    int64_t ms = 0;
    if (!ParseInteger(v, 0, kLargestTicks * 10, &ms)) {
        return BadNumber(e, "timeout", v, "0..2147483640 ms");
    }
    // Whole ticks, rounded up: a short limit must never become "no limit".
    o->ticks = static_cast<int32_t>((ms + 9) / 10);
    return true;
}

bool ApplyTicks(ConnectionOptions* o, std::string_view v, std::string* e) {
    int64_t n = 0;
    if (!ParseInteger(v, 0, kLargestTicks, &n)) return BadNumber(e, "ticks", v, "0..214748364");
    o->ticks = static_cast<int32_t>(n);
    return true;
}

bool ApplyVerbose(ConnectionOptions* o, std::string_view, std::string*) {
    return o->verbose = true;
}
bool ApplyTrace(Options* o, std::string_view, std::string*) {
    return o->trace = true;
}
bool ApplyHelp(Options* o, std::string_view, std::string*) {
    return o->help = true;
}

bool ApplyGateType(Options* o, std::string_view v, std::string* e) {
    int64_t n = 0;
    if (!ParseInteger(v, 0, UINT32_MAX, &n)) return BadNumber(e, "gate-type", v, "0..6");
    o->gateType = static_cast<uint32_t>(n);
    return true;
}

bool ApplyBlock(Options* o, std::string_view v, std::string* e) {
    // The driver's own limits (256, 128, 64 items) are for it to enforce;
    // this only keeps the number a sane 32-bit count.
    int64_t n = 0;
    if (!ParseInteger(v, INT32_MIN, INT32_MAX, &n)) return BadNumber(e, "block", v, "32 bits");
    o->block = static_cast<int32_t>(n);
    return true;
}

bool ApplyCount(Options* o, std::string_view v, std::string* e) {
    int64_t n = 0;
    if (!ParseInteger(v, 1, 65535, &n)) return BadNumber(e, "count", v, "1..65535");
    o->count = static_cast<int32_t>(n);
    return true;
}

bool ApplyInterval(Options* o, std::string_view v, std::string* e) {
    int64_t n = 0;
    if (!ParseInteger(v, 0, 86400000, &n)) return BadNumber(e, "interval", v, "0..86400000 ms");
    o->intervalMs = static_cast<uint32_t>(n);
    return true;
}

bool ApplyTimes(Options* o, std::string_view v, std::string* e) {
    int64_t n = 0;
    if (!ParseInteger(v, 1, INT64_MAX, &n)) return BadNumber(e, "times", v, "1 or more");
    o->times = static_cast<uint64_t>(n);
    return true;
}

constexpr ConnectionOptionSpec kConnectionOptions[] = {
    {"module", true, ApplyModule},    {"port", true, ApplyPort},
    {"baud", true, ApplyBaud},        {"data-bits", true, ApplyDataBits},
    {"parity", true, ApplyParity},    {"stop-bits", true, ApplyStopBits},
    {"timeout", true, ApplyTimeout},  {"ticks", true, ApplyTicks},
    {"verbose", false, ApplyVerbose},
};

// vave8ctl's table entry for a connection option.
template <ConnectionApplier Apply>
bool Connection(Options* o, std::string_view v, std::string* e) {
    return Apply(o, v, e);
}

constexpr OptionSpec kOptions[] = {
    {"module", true, nullptr, Connection<ApplyModule>},
    {"port", true, kPortCommands, Connection<ApplyPort>},
    {"baud", true, kPortCommands, Connection<ApplyBaud>},
    {"data-bits", true, kPortCommands, Connection<ApplyDataBits>},
    {"parity", true, kPortCommands, Connection<ApplyParity>},
    {"stop-bits", true, kPortCommands, Connection<ApplyStopBits>},
    {"timeout", true, kPortCommands, Connection<ApplyTimeout>},
    {"ticks", true, kPortCommands, Connection<ApplyTicks>},
    {"verbose", false, nullptr, Connection<ApplyVerbose>},
    {"trace", false, "read write poll demo", ApplyTrace},
    {"help", false, nullptr, ApplyHelp},
    {"gate-type", true, "parse read write poll", ApplyGateType},
    {"block", true, "parse", ApplyBlock},
    {"count", true, "read poll", ApplyCount},
    {"interval", true, "poll", ApplyInterval},
    {"times", true, "poll", ApplyTimes},
};

const OptionSpec* FindOption(std::string_view name) {
    for (const OptionSpec& entry : kOptions) {
        if (name == entry.name) return &entry;
    }
    return nullptr;
}

const CommandSpec* FindCommand(std::string_view name) {
    for (const CommandSpec& entry : kCommands) {
        if (name == entry.name) return &entry;
    }
    return nullptr;
}

bool AppliesTo(const OptionSpec& entry, const std::string& command) {
    if (entry.commands == nullptr) return true;
    std::string_view list = entry.commands;
    while (!list.empty()) {
        const size_t space = list.find(' ');
        if (list.substr(0, space) == command) return true;
        if (space == std::string_view::npos) break;
        list.remove_prefix(space + 1);
    }
    return false;
}

// A lone dash and negative numbers are arguments, not options.
bool LooksLikeOption(std::string_view arg) {
    if (arg.size() < 2 || arg[0] != '-') return false;
    const char next = arg[1];
    return !(next >= '0' && next <= '9') && next != '.';
}

bool CheckCommand(const Options& o, const std::vector<const OptionSpec*>& seen,
                  std::string* error) {
    const CommandSpec* command = FindCommand(o.command);
    if (command == nullptr) {
        return Fail(error, "unknown command '" + o.command +
                               "' (commands: info, parse, open, "
                               "read, write, poll, demo, monitor, tags)");
    }
    for (const OptionSpec* entry : seen) {
        if (!AppliesTo(*entry, o.command)) {
            return Fail(error, std::string("--") + entry->name + " does not apply to " + o.command);
        }
    }
    const size_t n = o.arguments.size();
    if (n < command->minArguments || n > command->maxArguments) {
        std::string usage = "usage: vave8ctl " + o.command;
        if (command->argumentText[0] != '\0') usage += std::string(" ") + command->argumentText;
        return Fail(
            error,
            (n < command->minArguments ? "missing argument; " : "too many arguments; ") + usage);
    }
    if (AppliesTo(*FindOption("port"), o.command) && o.port.empty()) {
        return Fail(error, o.command + " needs --port NAME (e.g. --port ttyUSB0, or --port NUL)");
    }
    const bool blockGate = o.block || o.count || (o.command == "write" && n > 2);
    if (blockGate && o.gateType) {
        return Fail(error,
                    "--gate-type is for single gates; the driver does not check the gate "
                    "type of a block");
    }
    return true;
}

}  // namespace

const ConnectionOptionSpec* FindConnectionOption(std::string_view name) {
    for (const ConnectionOptionSpec& entry : kConnectionOptions) {
        if (name == entry.name) return &entry;
    }
    return nullptr;
}

bool ParseCommandLine(int argc, char** argv, Options* options, std::string* error) {
    std::vector<const OptionSpec*> seen;
    bool optionsEnded = false;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (optionsEnded || !LooksLikeOption(arg)) {
            positional.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h") arg = "--help";
        if (arg == "-v") arg = "--verbose";
        if (arg.substr(0, 2) != "--")
            return Fail(error, "unknown option '" + std::string(arg) + "'");
        std::string_view name = arg.substr(2);
        std::optional<std::string_view> value;
        if (const size_t equals = name.find('='); equals != std::string_view::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        const OptionSpec* entry = FindOption(name);
        if (entry == nullptr) return Fail(error, "unknown option '--" + std::string(name) + "'");
        if (entry->takesValue && !value) {
            if (i + 1 >= argc) return Fail(error, "--" + std::string(name) + " needs a value");
            value = argv[++i];
        }
        if (!entry->takesValue && value) {
            return Fail(error, "--" + std::string(name) + " takes no value");
        }
        if (!entry->apply(options, value.value_or(""), error)) return false;
        seen.push_back(entry);
    }
    if (options->help) return true;
    if (positional.empty()) return Fail(error, "no command given");
    options->command = positional.front();
    options->arguments.assign(positional.begin() + 1, positional.end());
    if (options->command == "help") {
        options->help = true;
        return true;
    }
    return CheckCommand(*options, seen, error);
}

const char* HelpText() {
    return R"(vave8ctl - talk to Philips P8 PLCs through the VAVE8 driver, as the host does

vave8ctl loads the driver module, calls it through its entry point NuvMain in
the same order as the supervisory host, and shows what the driver answers and
logs. Use it to check a COM port, an address text or a PLC connection while
commissioning, before the host is involved.

Usage: vave8ctl COMMAND [ARGUMENTS] [OPTIONS]

Commands:
  info                     describe the driver: its self-description and banner
  parse ADDRESS            check an address text and show what it names
  open                     open the COM port (ColdStart), flush it, close it
  read ADDRESS             read one item or one bit; --count N reads a block
  write ADDRESS VALUE...   write one item or bit; several values write a block
  poll ADDRESS             read over and over, print values when they change
  demo                     show every step against a simulated PLC (Linux)
  monitor --port NAME      watch a line another host drives, read only, and
                           decode its frames (Linux; vave8ctl monitor --help)
  tags check|plan CONFIG   check a line server's configuration and tags, or
                           print its read plan (Linux; vave8ctl tags --help)

Address text (7 to 11 characters): 0S T AAAA [B]
  0S    station, 00 to 0F (hexadecimal)
  T     memory type: 2 byte, 4 16-bit word, 8 32-bit integer, 9 32-bit float
  AAAA  nibble address (hexadecimal), a multiple of the item's 2, 4 or 8 nibbles
  B     memory type 2 only: bit digit, 0 most significant .. 7 least significant
  0340100   station 3, the word at nibble address 0x0100 (item 64)
  012001A3  station 1, bit digit 3 of the byte at nibble address 0x001A

Connection (open, read, write, poll):
  --port NAME        COM port, at most 11 characters. On Linux relative to /dev
                     (pts/3, ttyUSB0); NUL is the null device, which takes no
                     settings and never answers
  --baud N           bits per second, 1 to 65535 (default 9600)
  --data-bits N      5 to 8 (default 8)
  --parity P         none, odd, even, mark or space (default even)
  --stop-bits S      1, 1.5 or 2 (default 1)
  --timeout MS       time limit for each byte of a reply, in ms, rounded up to
                     ticks of 10 ms (default 1000)
  --ticks N          the same in ticks of 10 ms (default 100). 0 means no limit:
                     a PLC that stays silent then blocks the tool for ever
Other options:
  --module PATH      driver module to load (default: libvave8.so beside this
                     program; vave8.dll on Windows)
  --verbose          print every line the driver logs, with its level, as it
                     comes: "  [8] VAVE8> ..."
  --trace            after each transfer, decode the request and reply blocks
                     the driver left in its buffers
  --gate-type N      parse, read, write, poll: the host's gate type for a single
                     gate: 0-2 16-bit, 3 float, 4-5 32-bit, 6 digital (default:
                     the natural one for the memory type)
  --block N          parse: check as a block gate of N items
  --count N          read, poll: read a block of N items
  --interval MS      poll: pause between reads (default 1000)
  --times N          poll: stop after N reads (default: until Ctrl-C)
  -v                 the same as --verbose
  -h, --help         this text
  --version          the version of vave8ctl

Values for write: decimal or 0x hexadecimal, checked against the memory type:
  2: -128..255, 4: -32768..65535, 8: -2147483648..4294967295, a bit: 0 or 1,
  9: a decimal number such as 3.14159, or 0x... for the raw 32-bit pattern.

Exit codes:
  0   success
  1   the driver refused (result 1): bad address text or gate type, block too
      big, no open port
  2   the driver failed (result 2): the port did not open, the PLC did not
      answer in three attempts or sent an error; also when the driver module
      cannot be loaded
  64  usage error: unknown command or option, missing or bad value
  poll ends with 0 when every read succeeded, else with the code of the last
  read that failed.

Examples:
  vave8ctl info
  vave8ctl parse 012001A3
  vave8ctl parse 0340100 --block 10
  vave8ctl open --port ttyUSB0 --baud 9600 --parity even
  vave8ctl read 0340100 --count 10 --port ttyUSB0 --trace
  vave8ctl write 0390020 3.14159 --port ttyUSB0
  vave8ctl write 012001A3 1 --port ttyUSB0
  vave8ctl poll 0380008 --interval 500 --port ttyUSB0 --verbose
  vave8ctl demo
)";
}

}  // namespace vave8ctl
