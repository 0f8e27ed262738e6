// Collects the driver's log lines through the host service library's sink,
// for tests that check a log trail line by line.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "hostsvc/hostsvc.h"

struct LogLine {
    int level;
    std::string text;
    bool operator==(const LogLine&) const = default;
};

class LogCapture {
public:
    LogCapture() { hostsvc_set_sink(&LogCapture::Sink, this); }
    ~LogCapture() { hostsvc_set_sink(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<LogLine>& lines() const { return lines_; }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& line : lines_) out.push_back(line.text);
        return out;
    }
    void clear() { lines_.clear(); }

private:
    static void Sink(void* self, int level, const char* text) {
        static_cast<LogCapture*>(self)->lines_.push_back({level, text});
    }
    std::vector<LogLine> lines_;
};
