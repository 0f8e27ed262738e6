// The tool's host side: loads the driver module by path, finds NuvMain by
// name and calls it the way the supervisory host does, and collects the lines
// the driver logs through the host's service library.
//
// Call order, as the driver relies on it: GetNuvInfo first (it needs no
// instance and tells the instance size), then the host allocates the
// instance, ColdStart comes before anything else on it, and each gate passes
// a parser before it is read or written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/records.h"
#include "hostsvc/module_loader.h"

namespace vave8ctl {

struct LogLine {
    int level;
    std::string text;
};

// Where the driver module lives unless --module says otherwise: beside the
// executable on Linux, the loader's search (the executable's folder first) on
// Windows.
std::string DefaultModulePath();

class DriverHost {
public:
    DriverHost();
    ~DriverHost();
    DriverHost(const DriverHost&) = delete;
    DriverHost& operator=(const DriverHost&) = delete;

    // Loads the module and finds NuvMain; on failure `error` says why.
    bool Load(const std::string& path, std::string* error);

    // Code 14 with no instance; then allocates the instance storage at the
    // size the driver reported. Everything below needs it done.
    int32_t GetInfo(NuvInfo* info, std::string* error);

    // NuvMain with the connection's instance and this argument record.
    int32_t Call(uint32_t function, void* args);

    DriverInstance* Instance();

    // Log lines printed as they come ("[level] text" under `indent`) or only
    // kept for TakeLines.
    void SetLive(bool live, std::string indent = "  ");
    bool Live() const { return live_; }
    const std::string& Indent() const { return indent_; }

    // Lines logged since the last call.
    std::vector<LogLine> TakeLines();

    // Prints the lines under the current indent, unless they were already
    // printed as they came.
    void PrintLines(const std::vector<LogLine>& lines, std::FILE* out = stdout) const;

private:
    static void Sink(void* context, int level, const char* line);

    hostlib::LoadedModule module_;
    std::vector<uint8_t> storage_;
    std::vector<LogLine> lines_;
    bool live_ = false;
    std::string indent_ = "  ";
};

std::string FormatLogLine(const LogLine& line);

// Common call shapes.
StartParams MakeStartParams(const std::string& port, int32_t ticks, const LineParams& line);

// Runs the single (code 3) or block (code 4) parser on `address`; the record
// keeps the five results. The text must outlive the call only.
int32_t ParseGate(DriverHost& host, const std::string& address, bool block, uint32_t gateType,
                  int32_t blockSize, GateParse* gate);

using hostlib::MakeTransfer;

const char* ResultName(int32_t result);

}  // namespace vave8ctl
