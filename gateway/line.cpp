#include "gateway/line.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hostsvc/hostsvc.h"

namespace vave8gw {

namespace {

constexpr uint32_t kGateWord = 0;  // a 16-bit gate

// "0S" + memory type + four hex digits of nibble address.
std::string AddressText(int station, char memoryType, uint32_t nibble) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X%c%04X", station, memoryType, nibble);
    return text;
}

// The value area holds one little-endian 16-bit slot per item (a byte in the
// low half of its slot); a single item sits in the slot at offset 2.
uint16_t Slot(const uint8_t* values, size_t i) {
    return static_cast<uint16_t>(values[2 * i] | values[2 * i + 1] << 8);
}

void SetSlot(uint8_t* values, size_t i, uint16_t value) {
    values[2 * i] = static_cast<uint8_t>(value & 0xFF);
    values[2 * i + 1] = static_cast<uint8_t>(value >> 8);
}

bool Has(const std::string& line, const char* text) {
    return line.find(text) != std::string::npos;
}

int StationOf(const std::string& address) {
    return static_cast<int>(std::strtol(address.substr(0, 2).c_str(), nullptr, 16));
}

std::string Stripped(const std::string& line) {
    constexpr std::string_view kPrefix = "VAVE8> ";
    return line.compare(0, kPrefix.size(), kPrefix) == 0 ? line.substr(kPrefix.size()) : line;
}

}  // namespace

Line::Line(const vave8ctl::ConnectionOptions& options, double deadBackoffSeconds, Stats* stats)
    : options_(options),
      backoff_(deadBackoffSeconds),
      guard_(options.lateGuardMs ? std::chrono::milliseconds(*options.lateGuardMs)
                                 : hostlib::DefaultLateGuard(options.ticks, options.line)),
      stats_(stats) {}

Line::~Line() {
    End();
    hostsvc_set_sink(nullptr, nullptr);
    hostlib::UnloadModule(&module_);
}

void Line::Sink(void* context, int level, const char* line) {
    auto* self = static_cast<Line*>(context);
    self->lines_.emplace_back(line != nullptr ? line : "");
    if (self->options_.verbose)
        std::fprintf(stderr, "  [%d] %s\n", level, self->lines_.back().c_str());
}

int32_t Line::Call(uint32_t function, void* args) {
    NuvCall call{};
    call.instance = storage_.empty() ? nullptr : reinterpret_cast<DriverInstance*>(storage_.data());
    call.function = function;
    call.args = args;
    return module_.entry(&call);
}

bool Line::Start(std::string* error) {
    hostsvc_set_sink(&Line::Sink, this);
    const std::string path =
        options_.module.empty() ? hostlib::ModuleBesideProgram() : options_.module;
    if (!hostlib::LoadModule(path, &module_, error)) return false;
    NuvInfo info{};
    if (Call(FN_GET_NUV_INFO, &info) != NUV_OK || info.instanceSize <= 0 ||
        info.instanceSize > (1 << 20)) {
        *error = "GetNuvInfo failed or reports a nonsense instance size";
        return false;
    }
    storage_.assign(std::max(static_cast<size_t>(info.instanceSize), sizeof(DriverInstance)), 0);

    StartParams start{};
    std::memcpy(start.portName, options_.port.data(),
                std::min(options_.port.size(), sizeof start.portName - 1));
    start.openFlag = 1;
    start.timeoutTicks = options_.ticks;
    start.line = options_.line;
    lines_.clear();
    const int32_t result = Call(FN_COLD_START, &start);
    started_ = true;
    if (result != NUV_OK) {
        *error = "ColdStart on " + options_.port + " answered " + std::to_string(result);
        for (const std::string& line : lines_) *error += "\n  " + line;
        return false;
    }
    return true;
}

void Line::End() {
    if (!started_) return;
    started_ = false;
    Call(FN_END_NUV, nullptr);
}

Line::Driver Line::Transfer(uint32_t function, const std::string& address, bool block,
                            uint32_t gateType, int32_t count, uint8_t* values) {
    Driver driver;
    lines_.clear();
    GateParse gate{};
    gate.address = address.c_str();
    gate.gateType = gateType;
    gate.blockSize = block ? count : 0;
    gate.bitNumber = -1;
    driver.result = Call(block ? FN_BLOCK_ADDRESS_PARSER : FN_SINGLE_ADDRESS_PARSER, &gate);
    if (driver.result == NUV_OK) {
        GateTransfer transfer = hostlib::MakeTransfer(gate, count, values);
        guard_.WaitClear();
        const size_t parserLines = lines_.size();
        const auto sent = std::chrono::steady_clock::now();
        driver.result = Call(function, &transfer);
        const auto ended = std::chrono::steady_clock::now();
        const std::vector<std::string> transferLines(
            lines_.begin() + static_cast<long>(parserLines), lines_.end());
        driver.disturbed = hostlib::Disturbed(driver.result, transferLines);
        guard_.Ended(driver.disturbed, ended);
        // One attempt, answered at once: its time is the PLC's reply time.
        if (driver.result == NUV_OK && transferLines.empty())
            NoteReply(StationOf(address), std::chrono::duration<double>(ended - sent).count());
    }
    driver.lines.swap(lines_);
    return driver;
}

void Line::NoteReply(int station, double seconds) {
    if (stats_ == nullptr || station < 0 || station > 15) return;
    const auto index = static_cast<uint8_t>(station);
    stats_->RecordReply(index, seconds);
    const auto now = std::chrono::steady_clock::now();
    auto& warned = slowWarned_[index];
    if (warned != std::chrono::steady_clock::time_point{} && now - warned < std::chrono::hours(1))
        return;
    const std::string warning = stats_->SlowWarning(index, 10 * options_.ticks);
    if (warning.empty()) return;
    warned = now;
    std::fprintf(stderr, "vave8gw: %s\n", warning.c_str());
}

// The driver says what went wrong only in its log lines: an ERROR block or a
// garbled frame means the station is there but failed (0x04); every attempt
// ending without a start character means nobody answered (0x0B).
Outcome Line::Failed(const Driver& driver) {
    Outcome outcome;
    outcome.exception = EX_DEVICE_FAILURE;
    if (driver.result == NUV_REJECTED) outcome.exception = EX_ILLEGAL_ADDRESS;
    int timeouts = 0;
    const std::string* errorBlock = nullptr;
    const std::string* garbled = nullptr;
    const std::string* portFailed = nullptr;
    for (const std::string& line : driver.lines) {
        if (Has(line, "Receive() timeout reading start character")) ++timeouts;
        if (errorBlock == nullptr && Has(line, "Recieved ERROR block")) errorBlock = &line;
        if (garbled == nullptr &&
            (Has(line, "CRC check failed") || Has(line, "no start characters") ||
             Has(line, "2nd start character") || Has(line, "unable to read length") ||
             Has(line, "invalid message length") || Has(line, "error in reading data part") ||
             Has(line, "unable to read CRC") || Has(line, "Recieved UNKNOWN block") ||
             Has(line, "Recieved short block"))) {
            garbled = &line;
        }
        if (portFailed == nullptr && (Has(line, "Unable to send") || Has(line, "putChar()"))) {
            portFailed = &line;
        }
    }
    if (driver.result == NUV_REJECTED) {
        outcome.cause = "the driver refused";
        if (!driver.lines.empty()) outcome.cause += ": " + Stripped(driver.lines.back());
    } else if (errorBlock != nullptr) {
        outcome.cause = Stripped(*errorBlock);
    } else if (garbled != nullptr) {
        outcome.cause = "garbled reply: " + Stripped(*garbled);
    } else if (portFailed != nullptr) {
        outcome.portFailed = true;
        outcome.cause = "serial port failed: " + Stripped(*portFailed);
    } else if (timeouts > 0) {
        outcome.exception = EX_NO_RESPONSE;
        outcome.cause = "no reply: Receive() timeout reading start character, " +
                        std::to_string(timeouts) + " attempts";
    } else {
        outcome.cause = "the transfer failed";
        if (!driver.lines.empty()) outcome.cause += ": " + Stripped(driver.lines.back());
    }
    return outcome;
}

Outcome Line::Execute(const Job& job) {
    if (job.decision.exception != EX_NONE) {
        Outcome refused;
        refused.exception = job.decision.exception;
        refused.cause = job.decision.cause;
        return refused;
    }
    const Operation& op = job.decision.op;
    const auto now = std::chrono::steady_clock::now();
    auto& until = deadUntil_[op.unit & 15];
    if (now < until) {
        Outcome outcome;
        outcome.exception = EX_NO_RESPONSE;
        outcome.backoff = true;
        char text[96];
        std::snprintf(text, sizeof text, "station %u silent, in backoff for %.1f s more", op.unit,
                      std::chrono::duration<double>(until - now).count());
        outcome.cause = text;
        return outcome;
    }
    if (portDown_ && !Reopen()) {
        Outcome outcome;
        outcome.exception = EX_DEVICE_FAILURE;
        outcome.portFailed = true;
        outcome.cause = "serial port " + options_.port + " failed and does not open again yet";
        return outcome;
    }
    Outcome outcome = Carry(op, job.frame);
    if (outcome.portFailed && !portDown_) {
        portDown_ = true;
        nextReopen_ = {};
        std::fprintf(stderr,
                     "vave8gw: serial port %s failed: opening it again before the next request\n",
                     options_.port.c_str());
    }
    // Only a silence starts the backoff; the first request after it probes.
    if (outcome.exception == EX_NO_RESPONSE && backoff_.count() > 0) {
        until = std::chrono::steady_clock::now() +
                std::chrono::duration_cast<std::chrono::steady_clock::duration>(backoff_);
    } else {
        until = {};
    }
    return outcome;
}

bool Line::Reopen() {
    const auto now = std::chrono::steady_clock::now();
    if (now < nextReopen_) return false;
    // The failed descriptor goes first: ReOpenCom does not close an open port.
    lines_.clear();
    Call(FN_CLOSE_COM, nullptr);
    if (Call(FN_REOPEN_COM, nullptr) == NUV_OK) {
        portDown_ = false;
        reopenFailureLogged_ = false;
        // Silences seen while the port was down said nothing of the stations.
        deadUntil_.fill({});
        std::fprintf(stderr, "vave8gw: serial port %s open again\n", options_.port.c_str());
        return true;
    }
    nextReopen_ = now + std::chrono::seconds(1);
    if (!reopenFailureLogged_) {
        reopenFailureLogged_ = true;
        std::fprintf(stderr,
                     "vave8gw: serial port %s does not open; trying again at most once a second, "
                     "requests meanwhile answered 0x04\n",
                     options_.port.c_str());
    }
    return false;
}

Outcome Line::Carry(const Operation& op, const Frame& frame) {
    // Slots for the largest block the driver takes (256 bytes as 256 slots).
    alignas(8) uint8_t values[2 * 256 + 8] = {};
    const int station = op.unit;
    const uint32_t first = op.first;
    const uint32_t count = op.count;
    Outcome outcome;
    switch (op.function) {
        case 1:
        case 2: {
            const uint32_t firstByte = first / 8;
            const uint32_t bytes = (first + count - 1) / 8 - firstByte + 1;
            const Driver d = Transfer(FN_BLOCK_READ, AddressText(station, MEM_BYTE, 2 * firstByte),
                                      true, 0, static_cast<int32_t>(bytes), values);
            if (d.result != NUV_OK) return Failed(d);
            outcome.values.resize(count);
            for (uint32_t k = 0; k < count; ++k) {
                const uint32_t coil = first + k;
                outcome.values[k] =
                    static_cast<uint16_t>((Slot(values, coil / 8 - firstByte) >> (coil % 8)) & 1u);
            }
            return outcome;
        }
        case 3:
        case 4: {
            const Driver d = Transfer(FN_BLOCK_READ, AddressText(station, MEM_WORD, 4 * first),
                                      true, 0, static_cast<int32_t>(count), values);
            if (d.result != NUV_OK) return Failed(d);
            outcome.values.resize(count);
            for (uint32_t k = 0; k < count; ++k) outcome.values[k] = Slot(values, k);
            return outcome;
        }
        case 5:
            return WriteCoils(op, frame);
        case 6: {
            SetSlot(values, 1, RequestedRegister(frame, 0));
            const Driver d = Transfer(FN_SINGLE_WRITE, AddressText(station, MEM_WORD, 4 * first),
                                      false, kGateWord, 1, values);
            return d.result == NUV_OK ? outcome : Failed(d);
        }
        case 15:
            return WriteCoils(op, frame);
        case 16: {
            for (uint32_t k = 0; k < count; ++k) SetSlot(values, k, RequestedRegister(frame, k));
            const Driver d = Transfer(FN_BLOCK_WRITE, AddressText(station, MEM_WORD, 4 * first),
                                      true, 0, static_cast<int32_t>(count), values);
            return d.result == NUV_OK ? outcome : Failed(d);
        }
        default:
            outcome.exception = EX_ILLEGAL_FUNCTION;
            outcome.cause = "function not served";
            return outcome;
    }
}

// A coil is a bit of a PLC byte, and the line writes whole bytes: a coil
// write reads the bytes, changes the bits asked for and writes the bytes
// back. Not atomic against the PLC's own program, which may change the other
// bits of these bytes between the read and the write. A read-back from a
// transaction in which any attempt failed may be some other request's late
// reply, even when the transfer ended good: writing it back would change
// bits nobody asked to, so the write is refused and nothing is written.
Outcome Line::WriteCoils(const Operation& op, const Frame& frame) {
    alignas(8) uint8_t values[2 * 256 + 8] = {};
    const uint32_t first = op.first;
    const uint32_t count = op.function == 5 ? 1 : op.count;
    const uint32_t firstByte = first / 8;
    const uint32_t bytes = (first + count - 1) / 8 - firstByte + 1;
    const std::string address = AddressText(op.unit, MEM_BYTE, 2 * firstByte);
    const Driver read =
        Transfer(FN_BLOCK_READ, address, true, 0, static_cast<int32_t>(bytes), values);
    if (read.result != NUV_OK) return Failed(read);
    if (read.disturbed) {
        Outcome refused;
        refused.exception = EX_DEVICE_FAILURE;
        refused.cause =
            "coil write not sent: the read-back of its bytes had a failed attempt, so it may "
            "carry another request's late reply";
        return refused;
    }
    for (uint32_t k = 0; k < count; ++k) {
        const uint32_t coil = first + k;
        const bool on = op.function == 5 ? frame.bytes[kMbapSize + 3] == 0xFF
                                         : RequestedCoil(frame, k);
        const size_t slot = coil / 8 - firstByte;
        const uint16_t mask = static_cast<uint16_t>(1u << (coil % 8));
        const uint16_t byte = Slot(values, slot);
        SetSlot(values, slot, on ? (byte | mask) : (byte & ~mask & 0xFF));
    }
    const Driver write =
        Transfer(FN_BLOCK_WRITE, address, true, 0, static_cast<int32_t>(bytes), values);
    return write.result == NUV_OK ? Outcome{} : Failed(write);
}

}  // namespace vave8gw
