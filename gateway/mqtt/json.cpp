#include "gateway/mqtt/json.h"

#include <sqlite3.h>

#include <charconv>
#include <cmath>

namespace mqtt {

const char* CauseName(tags::Cause cause) {
    switch (cause) {
        case tags::Cause::None: return "none";
        case tags::Cause::WaitingForInitialData: return "waiting_for_initial_data";
        case tags::Cause::NoReply: return "no_reply";
        case tags::Cause::ErrorBlock: return "error_block";
        case tags::Cause::Garbled: return "garbled";
        case tags::Cause::PortDown: return "port_down";
        case tags::Cause::Demoted: return "demoted";
        case tags::Cause::Overdue: return "overdue";
    }
    return "unknown";
}

const char* WriteStatusName(tags::WriteResult::Status s) {
    using S = tags::WriteResult::Status;
    switch (s) {
        case S::Done: return "done";
        case S::ReadOnly: return "read_only";
        case S::OutOfRange: return "out_of_range";
        case S::Demoted: return "demoted";
        case S::PortDown: return "port_down";
        case S::Failed: return "failed";
        case S::Stopped: return "stopped";
    }
    return "failed";
}

const char* StationStateName(tags::StationStatus::State s) {
    switch (s) {
        case tags::StationStatus::State::Good: return "good";
        case tags::StationStatus::State::Demoted: return "demoted";
        case tags::StationStatus::State::PortDown: return "port_down";
        case tags::StationStatus::State::Unknown: return "unknown";
    }
    return "unknown";
}

void AppendNumber(std::string& out, double v) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void AppendValue(std::string& out, const tags::Tag& tag, double v, tags::Cause cause) {
    if (cause == tags::Cause::WaitingForInitialData || !std::isfinite(v)) {
        out += "null";
    } else if (tag.scaled) {
        AppendNumber(out, v);
    } else if (tag.type == tags::Type::Bool) {
        out += v != 0 ? "true" : "false";
    } else if (tag.type == tags::Type::Float32) {
        char buf[32];
        auto r = std::to_chars(buf, buf + sizeof buf, static_cast<float>(v));
        out.append(buf, r.ptr);
    } else {
        out += std::to_string(static_cast<int64_t>(v));
    }
}

std::string JsonText(const tags::Tag& tag, double value, tags::Quality q, tags::Cause cause, int code,
                     int64_t ts, bool historical) {
    std::string out = "{\"value\":";
    AppendValue(out, tag, value, cause);
    out += ",\"quality\":\"";
    out += q == tags::Quality::Good ? "good" : q == tags::Quality::Bad ? "bad" : "uncertain";
    out += "\",\"ts\":" + std::to_string(ts);
    if (q != tags::Quality::Good) {
        out += ",\"cause\":\"";
        out += CauseName(cause);
        out += "\"";
        if (cause == tags::Cause::ErrorBlock) out += ",\"error_code\":" + std::to_string(code);
    }
    if (historical) out += ",\"historical\":true";
    out += "}";
    return out;
}


JsonReader::JsonReader() {
    if (sqlite3_open_v2(":memory:", &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) return;
    sqlite3_prepare_v2(db_, "SELECT json_type(?1, ?2), json_extract(?1, ?2)", -1, &stmt_, nullptr);
}

JsonReader::~JsonReader() {
    sqlite3_finalize(stmt_);
    sqlite3_close(db_);
}

std::string JsonReader::Get(const std::string& text, const char* path, double& number) {
    std::string type;
    if (!stmt_) return type;
    sqlite3_reset(stmt_);
    sqlite3_bind_text(stmt_, 1, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    sqlite3_bind_text(stmt_, 2, path, -1, SQLITE_STATIC);
    if (sqlite3_step(stmt_) == SQLITE_ROW && sqlite3_column_type(stmt_, 0) != SQLITE_NULL) {
        type = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, 0));
        number = sqlite3_column_double(stmt_, 1);
    }
    sqlite3_reset(stmt_);
    return type;
}

std::string JsonReader::Quote(const std::string& text) {
    std::string out = "\"\"";
    sqlite3_stmt* s = nullptr;
    if (db_ && sqlite3_prepare_v2(db_, "SELECT json_quote(?)", -1, &s, nullptr) == SQLITE_OK) {
        sqlite3_bind_text(s, 1, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
        if (sqlite3_step(s) == SQLITE_ROW) out = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    }
    sqlite3_finalize(s);
    return out;
}

}  // namespace mqtt
