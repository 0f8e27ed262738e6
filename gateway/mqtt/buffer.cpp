#include "gateway/mqtt/buffer.h"

#include <sqlite3.h>

namespace mqtt {

DiskBuffer::~DiskBuffer() { Close(); }

void DiskBuffer::Fail(const char* what) {
    if (log_) log_(std::string("disk buffer: ") + what + ": " + sqlite3_errmsg(db_));
}

bool DiskBuffer::Exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    if (log_) log_(std::string("disk buffer: ") + (message ? message : "error") + " in " + sql);
    sqlite3_free(message);
    return false;
}

bool DiskBuffer::Open(const std::string& path, uint64_t maxBytes, Log log, std::string& error) {
    Close();
    log_ = std::move(log);
    maxBytes_ = maxBytes;
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        error = "cannot open the disk buffer " + path + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
        Close();
        return false;
    }
    sqlite3_busy_timeout(db_, 2000);
    // WAL with NORMAL: a commit is in the file before the process can be
    // killed; only a power cut may take the last commits.
    const char* schema =
        "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
        "CREATE TABLE IF NOT EXISTS changes (id INTEGER PRIMARY KEY AUTOINCREMENT, batch INTEGER NOT NULL,"
        " ts INTEGER NOT NULL, tag TEXT NOT NULL, value REAL NOT NULL, quality INTEGER NOT NULL,"
        " cause INTEGER NOT NULL, code INTEGER NOT NULL)";
    if (!Exec(schema)) {
        error = "cannot use the disk buffer " + path + ": " + sqlite3_errmsg(db_);
        Close();
        return false;
    }
    auto prepare = [&](const char* sql, sqlite3_stmt** stmt) {
        return sqlite3_prepare_v2(db_, sql, -1, stmt, nullptr) == SQLITE_OK;
    };
    if (!prepare("INSERT INTO changes (batch, ts, tag, value, quality, cause, code) VALUES (?,?,?,?,?,?,?)",
                 &insert_) ||
        !prepare("INSERT INTO changes (batch, ts, tag, value, quality, cause, code, id) VALUES (?,?,?,?,?,?,?,?)",
                 &insertAt_) ||
        !prepare("SELECT id, batch, ts, tag, value, quality, cause, code FROM changes WHERE id > ? "
                 "ORDER BY id LIMIT ?",
                 &select_) ||
        !prepare("DELETE FROM changes WHERE id <= ?", &remove_)) {
        error = "cannot use the disk buffer " + path + ": " + sqlite3_errmsg(db_);
        Close();
        return false;
    }
    sqlite3_stmt* stmt = nullptr;
    if (prepare("SELECT count(*), coalesce(max(batch), 0) FROM changes", &stmt) &&
        sqlite3_step(stmt) == SQLITE_ROW) {
        count_ = static_cast<uint64_t>(sqlite3_column_int64(stmt, 0));
        nextBatch_ = static_cast<uint64_t>(sqlite3_column_int64(stmt, 1)) + 1;
    }
    sqlite3_finalize(stmt);
    dropped_ = 0;
    return true;
}

void DiskBuffer::Close() {
    if (!db_) return;
    if (inTransaction_) Commit();
    for (sqlite3_stmt* s : {insert_, insertAt_, select_, remove_}) sqlite3_finalize(s);
    insert_ = insertAt_ = select_ = remove_ = nullptr;
    sqlite3_close(db_);
    db_ = nullptr;
}

void DiskBuffer::Begin() {
    if (inTransaction_) return;
    if (Exec("BEGIN")) {
        inTransaction_ = true;
        begun_ = std::chrono::steady_clock::now();
    }
}

void DiskBuffer::Commit() {
    if (!inTransaction_) return;
    inTransaction_ = false;
    if (!Exec("COMMIT")) Exec("ROLLBACK");
}

void DiskBuffer::Append(std::vector<Record>& rows) {
    if (!db_ || rows.empty()) return;
    Insert(rows, std::nullopt);
}

void DiskBuffer::Prepend(std::vector<Record>& rows) {
    if (!db_ || rows.empty()) return;
    sqlite3_stmt* stmt = nullptr;
    std::optional<int64_t> oldest;
    if (sqlite3_prepare_v2(db_, "SELECT min(id) FROM changes", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_type(stmt, 0) != SQLITE_NULL)
        oldest = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    const auto n = static_cast<int64_t>(rows.size());
    // (Ids run out only after some 2^62 rows have been put back.)
    if (!oldest || *oldest < INT64_MIN / 2 + n) return Append(rows);
    Insert(rows, *oldest - n);
}

// The rows get ids from `firstId` on, or without it the next ones the table
// gives.
void DiskBuffer::Insert(std::vector<Record>& rows, std::optional<int64_t> firstId) {
    sqlite3_stmt* stmt = firstId ? insertAt_ : insert_;
    Begin();
    int64_t next = firstId.value_or(0);
    for (Record& r : rows) {
        sqlite3_reset(stmt);
        sqlite3_bind_int64(stmt, 1, static_cast<int64_t>(r.batch));
        sqlite3_bind_int64(stmt, 2, r.tsMs);
        sqlite3_bind_text(stmt, 3, r.tag.data(), static_cast<int>(r.tag.size()), SQLITE_STATIC);
        sqlite3_bind_double(stmt, 4, r.value);
        sqlite3_bind_int(stmt, 5, r.quality);
        sqlite3_bind_int(stmt, 6, r.cause);
        sqlite3_bind_int(stmt, 7, r.errorCode);
        if (firstId) sqlite3_bind_int64(stmt, 8, next++);
        if (sqlite3_step(stmt) != SQLITE_DONE) {
            Fail("cannot store a change");
            continue;
        }
        r.id = sqlite3_last_insert_rowid(db_);
        ++count_;
    }
    sqlite3_reset(stmt);
}

std::vector<Record> DiskBuffer::Peek(int64_t after, size_t max) {
    std::vector<Record> rows;
    if (!db_) return rows;
    sqlite3_reset(select_);
    sqlite3_bind_int64(select_, 1, after);
    sqlite3_bind_int64(select_, 2, static_cast<int64_t>(max));
    while (sqlite3_step(select_) == SQLITE_ROW) {
        Record r;
        r.id = sqlite3_column_int64(select_, 0);
        r.batch = static_cast<uint64_t>(sqlite3_column_int64(select_, 1));
        r.tsMs = sqlite3_column_int64(select_, 2);
        const unsigned char* tag = sqlite3_column_text(select_, 3);
        r.tag = tag ? reinterpret_cast<const char*>(tag) : "";
        r.value = sqlite3_column_double(select_, 4);
        r.quality = static_cast<uint8_t>(sqlite3_column_int(select_, 5));
        r.cause = static_cast<uint8_t>(sqlite3_column_int(select_, 6));
        r.errorCode = sqlite3_column_int(select_, 7);
        rows.push_back(std::move(r));
    }
    sqlite3_reset(select_);
    return rows;
}

void DiskBuffer::Remove(int64_t upTo) {
    if (!db_) return;
    Begin();
    sqlite3_reset(remove_);
    sqlite3_bind_int64(remove_, 1, upTo);
    if (sqlite3_step(remove_) != SQLITE_DONE) Fail("cannot remove sent changes");
    uint64_t removed = static_cast<uint64_t>(sqlite3_changes(db_));
    count_ -= removed < count_ ? removed : count_;
    sqlite3_reset(remove_);
}

void DiskBuffer::Tick(bool force) {
    if (!db_ || !inTransaction_) return;
    if (!force && std::chrono::steady_clock::now() - begun_ < std::chrono::milliseconds(900)) return;
    Commit();
    Trim();
}

// Pages freed by deletes are reused, so the used pages, not the file's size,
// say how full the buffer is.
void DiskBuffer::Trim() {
    auto pragma = [&](const char* sql) {
        sqlite3_stmt* stmt = nullptr;
        int64_t v = 0;
        if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
            v = sqlite3_column_int64(stmt, 0);
        sqlite3_finalize(stmt);
        return v;
    };
    int64_t pageSize = pragma("PRAGMA page_size");
    uint64_t used = static_cast<uint64_t>((pragma("PRAGMA page_count") - pragma("PRAGMA freelist_count")) * pageSize);
    if (used <= maxBytes_ || count_ == 0) return;
    // Drop what is over the limit plus a tenth, so a full buffer does not
    // trim on every commit.
    double perRow = static_cast<double>(used) / static_cast<double>(count_);
    uint64_t over = used - maxBytes_ + maxBytes_ / 10;
    uint64_t n = static_cast<uint64_t>(static_cast<double>(over) / perRow) + 1;
    if (n > count_) n = count_;
    sqlite3_stmt* stmt = nullptr;
    std::optional<int64_t> upTo;
    if (sqlite3_prepare_v2(db_, "SELECT id FROM changes ORDER BY id LIMIT 1 OFFSET ?", -1, &stmt, nullptr) ==
        SQLITE_OK) {
        sqlite3_bind_int64(stmt, 1, static_cast<int64_t>(n - 1));
        if (sqlite3_step(stmt) == SQLITE_ROW) upTo = sqlite3_column_int64(stmt, 0);
    }
    sqlite3_finalize(stmt);
    if (!upTo) return;
    uint64_t before = count_;
    Begin();
    Remove(*upTo);
    Commit();
    uint64_t gone = before - count_;
    dropped_ += gone;
    if (log_)
        log_("disk buffer full: dropped the " + std::to_string(gone) + " oldest changes (" +
             std::to_string(dropped_) + " in all)");
}

}  // namespace mqtt
