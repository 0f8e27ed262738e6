// The benchmark as a host: it loads the driver module with dlopen, finds
// NuvMain by name and reaches the driver through it alone, in the order a
// host keeps: GetNuvInfo, a host-allocated instance, ColdStart, each gate
// through its parser, then transfers.
//
// The log sink counts lines and keeps the last one; it never allocates, so
// the heap figures taken inside NuvMain stay the driver's own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/records.h"
#include "hostsvc/module_loader.h"

namespace bench {

class DriverModule {
public:
    DriverModule();
    ~DriverModule();
    DriverModule(const DriverModule&) = delete;
    DriverModule& operator=(const DriverModule&) = delete;

    // Loads the module and asks it for its description (instance size).
    bool Load(const std::string& path, std::string* error);
    const NuvInfo& Info() const { return info_; }

    // NuvMain, with counting on for the call.
    int32_t Call(DriverInstance* instance, uint32_t function, void* args);

    // Heap calls counted inside every NuvMain call so far.
    uint64_t HeapCalls() const { return heapCalls_; }
    uint64_t Calls() const { return calls_; }

    // Lines the driver logged so far, and the last of them.
    static uint64_t LogLines();
    static const char* LastLogLine();

private:
    hostlib::LoadedModule module_;
    NuvInfo info_{};
    uint64_t heapCalls_ = 0;
    uint64_t calls_ = 0;
};

// One gate: its address text as the host configured it, the parser's
// results handed back in its transfer record, and its value area.
struct Gate {
    std::string address;
    bool block = false;
    uint32_t gateType = 0;
    int32_t count = 1;  // items of a block gate
    GateParse parse{};
    GateTransfer transfer{};
    alignas(8) uint8_t values[1024] = {};
};

// One connection: the instance storage the host allocates at the size the
// driver asked for.
class Connection {
public:
    explicit Connection(DriverModule* module);

    DriverInstance* Instance() { return reinterpret_cast<DriverInstance*>(storage_.data()); }

    // ColdStart on the named port (a path under /dev, the "/dev/" left out)
    // with this read timeout, 9600 8E1 line parameters.
    int32_t ColdStart(const std::string& port, int32_t ticks);
    int32_t CloseCom();
    int32_t EndNuv();

    // The gate's parser; on success its transfer record is ready.
    int32_t Configure(Gate* gate);

    int32_t Transfer(uint32_t function, Gate* gate);

private:
    DriverModule* module_;
    std::vector<uint8_t> storage_;
};

}  // namespace bench
