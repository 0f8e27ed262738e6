// The line server's configuration file (TOML) and the tags it names, parsed
// and checked in full before anything touches the line.
//
// Every problem of the file is collected, each with its file and line, so an
// operator fixes them in one pass; a server must not start while any remain.
// Sections are read by handlers kept in one table in config.cpp: a new
// section ([opcua], [mqtt]) is one handler and one table entry, and anything
// not in the table is refused with its name and line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "driver/records.h"
#include "tags/engine.h"
#include "tools/options.h"

namespace tags {

struct Problem {
    std::string file;
    int line = 0;  // 0: the file as a whole
    std::string reason;
};

// "file:line: reason", as compilers print it.
std::string Describe(const Problem& problem);

struct LineConfig {
    std::string name;  // default: the port name
    // The connection as the file sets it, on the programs' defaults; a host
    // applies its command-line options on top, so those win.
    vave8ctl::ConnectionOptions connection;
    std::vector<std::string> given;  // connection option names the file set ("baud", ...)
    uint32_t scanMs = 1000;          // a tag's period unless it says otherwise
    double turnaroundMs = 5;         // the PLC's time to answer, for the plan's cost
    uint32_t demoteAfter = 3;        // failed cycles in a row before a station is demoted
    double demoteS = 30;             // how often a demoted station is tried
};

// One option of [modbus], kept raw for the gateway's own option parser:
// key max_clients = 8 becomes option "max-clients" with value "8"; a true
// boolean is a flag (value empty), a false one is left out; an array gives
// the option once per element.
struct ModbusOption {
    std::string option;  // the gateway's option name without "--"
    std::string value;
    bool flag = false;
    int line = 0;
};

struct ModbusConfig {
    bool present = false;  // no [modbus] section: no Modbus server
    std::vector<ModbusOption> options;
};

struct Config {
    std::string path;     // the configuration file as given
    std::string tagFile;  // [tags] file, resolved against the config's folder; empty: none
    LineConfig line;
    ModbusConfig modbus;
    int opcuaLine = 0;  // where [opcua] is; 0: none (its keys are the OPC UA front-end's to read)
    std::vector<Tag> tags;  // the CSV's rows first, then the [[tag]] tables, in file order
    // [mqtt] is read by the MQTT front-end's own parser (gateway/mqtt): here
    // only whether the file has it.
    bool mqtt = false;
};

// Runs the driver's SingleAddressParser on `gate` exactly as a host checks a
// gate (the gate's address text and gate type set by the caller). Returns the
// driver's result; `logged` receives the lines it logged (one line, for a
// refusal).
using GateParser = std::function<int32_t(GateParse* gate, std::vector<std::string>* logged)>;

// Reads the configuration and its tag file; `parse` checks every address.
// The config is filled as far as it could be read; `problems` lists every
// error, in file order (config first, then the tag file).
struct LoadResult {
    Config config;
    std::vector<Problem> problems;
    bool Ok() const { return problems.empty(); }
};
LoadResult LoadConfig(const std::string& path, const GateParser& parse);

// The same on text in memory (for tests, and for a tag file already read):
// `path` names it in problems and is where a relative [tags] file is found.
LoadResult ParseConfig(const std::string& text, const std::string& path, const GateParser& parse);

// The tags of one CSV text; problems carry `path` and the CSV line.
std::vector<Tag> ParseTagCsv(const std::string& text, const std::string& path, uint32_t defaultScanMs,
                             const GateParser& parse, std::vector<Problem>* problems);

// Bytes a tag occupies in PLC memory.
uint32_t TypeBytes(Type type);
const char* TypeName(Type type);
// The mask of a bool's bit in its byte (the bit digit 0 is the most
// significant bit); 0 for other tags.
inline uint8_t BitMask(const Tag& tag) {
    return static_cast<uint8_t>(tag.bit >= 0 && tag.bit <= 7 ? 0x80u >> tag.bit : 0u);
}

// Memory of one station, in bytes: 64K nibbles.
constexpr uint32_t kStationBytes = 0x8000;

}  // namespace tags
