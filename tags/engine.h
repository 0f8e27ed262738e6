// What the tag engine gives its front-ends (OPC UA, MQTT, the status file):
// the tags as the file defined them, each tag's latest sample from the value
// cache, changes as the scan sees them, and a write path onto the line.
//
// Front-ends only read the cache and ask for writes. Nothing here ever waits
// on the serial line: Read and the snapshots take a short lock; Write queues
// the write and calls back from the line thread when it is done; listeners
// are called from the line thread and must only copy and wake their own
// thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tags {

enum class Type : uint8_t { Bool, Int8, UInt8, Int16, UInt16, Int32, UInt32, Float32 };
enum class Access : uint8_t { Read, ReadWrite };

struct Tag {
    std::string name;     // letters, digits, _ - . /; '/' separates folders
    std::string address;  // the gate address text, as written
    int station = 0;      // 0..15
    char memoryType = '2';
    uint32_t byteAddress = 0;  // nibble address / 2
    int bit = -1;              // bit digit of a bool, else -1
    Type type = Type::UInt8;
    uint32_t scanMs = 1000;
    Access access = Access::Read;
    double scale = 1;
    double offset = 0;
    bool scaled = false;  // scale or offset given: consumers see a double
    double deadband = 0;  // in engineering units
    std::string units;
    std::string description;
    int sourceLine = 0;  // line of the CSV file or config that defined it
};

enum class Quality : uint8_t { Good, Bad, Uncertain };

// Why a sample is not good.
enum class Cause : uint8_t {
    None,
    WaitingForInitialData,  // not scanned yet
    NoReply,                // every attempt timed out
    ErrorBlock,             // the PLC answered an ERROR block (errorCode)
    Garbled,                // CRC, framing, short or unknown block
    PortDown,               // the serial port failed and is not open again yet
    Demoted,                // the station failed too often and is tried rarely
    Overdue,                // uncertain: no fresh scan for more than two periods
};

struct Sample {
    double raw = 0;    // as the PLC holds it (integers exact, floats widened)
    double value = 0;  // engineering value: raw x scale + offset
    std::chrono::system_clock::time_point sourceTime{};  // when its reply arrived
    Quality quality = Quality::Bad;
    Cause cause = Cause::WaitingForInitialData;
    int errorCode = 0;  // the ERROR block's code, with Cause::ErrorBlock
    uint64_t changes = 0;
};

// One change passed on to consumers (value past the deadband, or quality).
struct Change {
    size_t tag;  // index into Engine::Tags()
    Sample sample;
};

struct WriteResult {
    enum class Status : uint8_t {
        Done,        // the PLC answered its done block
        ReadOnly,    // refused before the line
        OutOfRange,  // refused before the line: the type cannot hold it after scale
        Demoted,     // refused at once: the station is demoted
        PortDown,    // refused at once: the port is down
        Failed,      // the driver's attempts failed: cause says how
        Stopped,     // the engine stopped before the write went out
    };
    Status status = Status::Failed;
    Cause cause = Cause::None;  // NoReply, ErrorBlock, Garbled with Failed
    int errorCode = 0;
    std::string text;  // for a log line or a client
};

struct StationStatus {
    int station = 0;
    enum class State : uint8_t { Good, Demoted, PortDown, Unknown } state = State::Unknown;
    uint64_t transactions = 0;
    uint64_t failures = 0;  // all causes
    uint64_t noReply = 0, errorBlocks = 0, garbled = 0;
    double replyMedianMs = 0, replyP99Ms = 0, replyMaxMs = 0;
    std::chrono::system_clock::time_point lastGoodScan{};
};

struct LineStatus {
    std::string name;
    bool portDown = false;
    std::vector<StationStatus> stations;  // the stations that have tags
};

class Engine {
public:
    virtual ~Engine() = default;

    virtual const std::string& LineName() const = 0;
    virtual const std::vector<Tag>& Tags() const = 0;
    virtual std::optional<size_t> Find(std::string_view name) const = 0;

    virtual Sample Read(size_t tag) const = 0;
    virtual std::vector<Sample> ReadAll() const = 0;
    virtual LineStatus Status() const = 0;

    // Called from the line thread with the changes of one scan cycle (or of
    // one event: a station demoted, the port down); must not block. Returns
    // an id for Unsubscribe.
    using Listener = std::function<void(const std::vector<Change>&)>;
    virtual int Subscribe(Listener listener) = 0;
    virtual void Unsubscribe(int id) = 0;

    // Queues a write of an engineering value; `done` is called once, from
    // the line thread, or at once when the write is refused before the line.
    // Writes to one tag are carried out in the order they were asked.
    virtual void Write(size_t tag, double value, std::function<void(const WriteResult&)> done) = 0;
};

}  // namespace tags
