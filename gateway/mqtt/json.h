// The JSON of the plain topics: values, qualities and write results out,
// and what clients send in, read through SQLite's JSON functions.
#pragma once

#include <string>

#include "tags/engine.h"

struct sqlite3;
struct sqlite3_stmt;

namespace mqtt {

const char* CauseName(tags::Cause cause);
const char* WriteStatusName(tags::WriteResult::Status status);
const char* StationStateName(tags::StationStatus::State state);

// Shortest text that reads back as the same double.
void AppendNumber(std::string& out, double v);
// A tag's value: booleans as true/false, integers exact, a float32 with the
// digits a float holds, null where there is no number.
void AppendValue(std::string& out, const tags::Tag& tag, double v, tags::Cause cause);

// {"value":..,"quality":"good","ts":..} with "cause" (and "error_code") when
// not good, "historical":true from the disk buffer.
std::string JsonText(const tags::Tag& tag, double value, tags::Quality q, tags::Cause cause, int code, int64_t ts,
                     bool historical);

// JSON from the network, on a private in-memory SQLite database: one thread
// uses one reader.
class JsonReader {
public:
    JsonReader();
    ~JsonReader();
    JsonReader(const JsonReader&) = delete;
    JsonReader& operator=(const JsonReader&) = delete;

    // The type at `path` ("integer", "real", "true", "false", "object", ...)
    // and its number; empty when the text is not JSON or has nothing there.
    std::string Get(const std::string& text, const char* path, double& number);
    // `text` as a JSON string, quotes and escapes included.
    std::string Quote(const std::string& text);

private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace mqtt
