// The store-and-forward buffer: changes kept on disk in SQLite while the
// broker cannot take them, oldest first, within a size limit.
//
// One thread uses it. Appends go into a transaction that is committed at
// least once a second (Tick), so a killed process loses at most the last
// second; a row leaves the buffer only when Remove says the broker has it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace mqtt {

struct Record {
    int64_t id = 0;      // set by the buffer, increasing in line order (negative ones too)
    uint64_t batch = 0;  // the changes of one scan cycle share it
    int64_t tsMs = 0;    // source time, ms since 1970
    std::string tag;     // by name: the tag file may change across a restart
    double value = 0;
    uint8_t quality = 0;  // tags::Quality
    uint8_t cause = 0;    // tags::Cause
    int errorCode = 0;
};

class DiskBuffer {
public:
    static constexpr int64_t kBeforeAll = INT64_MIN;

    using Log = std::function<void(const std::string&)>;
    DiskBuffer() = default;
    ~DiskBuffer();
    DiskBuffer(const DiskBuffer&) = delete;
    DiskBuffer& operator=(const DiskBuffer&) = delete;

    bool Open(const std::string& path, uint64_t maxBytes, Log log, std::string& error);
    void Close();

    // Appends in order; the rows get their ids. A new batch number for each
    // call that is not given one.
    void Append(std::vector<Record>& rows);
    // Puts rows, in their order, ahead of every row the buffer holds: what
    // was sent live and lost is older than anything buffered meanwhile.
    void Prepend(std::vector<Record>& rows);
    // Up to `max` rows with an id above `after` (kBeforeAll: from the
    // oldest), oldest first.
    std::vector<Record> Peek(int64_t after, size_t max);
    // The broker has every row up to this id.
    void Remove(int64_t upTo);
    // Commits when the transaction is a second old (or `force`), then keeps
    // the file within its limit by dropping the oldest rows.
    void Tick(bool force = false);

    uint64_t Count() const { return count_; }
    uint64_t Dropped() const { return dropped_; }  // since Open
    uint64_t NextBatch() { return nextBatch_++; }

private:
    bool Exec(const char* sql);
    void Insert(std::vector<Record>& rows, std::optional<int64_t> firstId);
    void Begin();
    void Commit();
    void Trim();
    void Fail(const char* what);

    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* insertAt_ = nullptr;  // with the id given
    sqlite3_stmt* select_ = nullptr;
    sqlite3_stmt* remove_ = nullptr;
    uint64_t maxBytes_ = 0;
    uint64_t count_ = 0;
    uint64_t dropped_ = 0;
    uint64_t nextBatch_ = 1;
    bool inTransaction_ = false;
    std::chrono::steady_clock::time_point begun_{};
    Log log_;
};

}  // namespace mqtt
