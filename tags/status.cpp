#include "tags/status.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>
#include <toml++/toml.h>

namespace tags {

namespace {

// UTC with milliseconds; empty for a time never set.
std::string Iso(std::chrono::system_clock::time_point t) {
    if (t.time_since_epoch().count() == 0) return "";
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
    const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms.count() % 1000));
    return text;
}

// JSON has no NaN or infinity: those go as text.
void PutNumber(toml::table& table, std::string_view key, double value) {
    if (std::isfinite(value)) {
        table.insert_or_assign(key, value);
    } else {
        table.insert_or_assign(key, std::isnan(value) ? "NaN" : value > 0 ? "Infinity" : "-Infinity");
    }
}

int64_t Count(uint64_t n) {
    return static_cast<int64_t>(std::min<uint64_t>(n, INT64_MAX));
}

const char* StateName(StationStatus::State state) {
    switch (state) {
        case StationStatus::State::Good: return "good";
        case StationStatus::State::Demoted: return "demoted";
        case StationStatus::State::PortDown: return "port down";
        case StationStatus::State::Unknown: break;
    }
    return "not read yet";
}

}  // namespace

const char* QualityName(Quality quality) {
    switch (quality) {
        case Quality::Good: return "good";
        case Quality::Bad: return "bad";
        case Quality::Uncertain: return "uncertain";
    }
    return "?";
}

const char* CauseName(Cause cause) {
    switch (cause) {
        case Cause::None: return "";
        case Cause::WaitingForInitialData: return "waiting for initial data";
        case Cause::NoReply: return "no reply";
        case Cause::ErrorBlock: return "ERROR block";
        case Cause::Garbled: return "garbled reply";
        case Cause::PortDown: return "port down";
        case Cause::Demoted: return "demoted";
        case Cause::Overdue: return "overdue";
    }
    return "?";
}

std::string StatusJson(const Scanner& scanner, const std::vector<StatusSection>& sections) {
    const LineStatus line = scanner.Status();
    toml::table root;
    root.insert("line", line.name);
    root.insert("time", Iso(std::chrono::system_clock::now()));
    root.insert("port_down", line.portDown);

    toml::array stations;
    for (const StationStatus& s : line.stations) {
        toml::table t;
        t.insert("station", s.station);
        t.insert("state", StateName(s.state));
        t.insert("transactions", Count(s.transactions));
        t.insert("failures", Count(s.failures));
        t.insert("no_reply", Count(s.noReply));
        t.insert("error_blocks", Count(s.errorBlocks));
        t.insert("garbled", Count(s.garbled));
        PutNumber(t, "reply_median_ms", s.replyMedianMs);
        PutNumber(t, "reply_p99_ms", s.replyP99Ms);
        t.insert("demoted", s.state == StationStatus::State::Demoted);
        t.insert("last_good_scan", Iso(s.lastGoodScan));
        stations.push_back(std::move(t));
    }
    root.insert("stations", std::move(stations));

    toml::array periods;
    for (const PeriodStatus& p : scanner.Periods()) {
        toml::table t;
        t.insert("station", p.station);
        t.insert("period_ms", static_cast<int64_t>(p.periodMs));
        PutNumber(t, "achieved_ms", p.achievedMs);
        PutNumber(t, "last_cycle_ms", p.lastCycleMs);
        t.insert("cycles", Count(p.cycles));
        t.insert("overruns", Count(p.overruns));
        t.insert("blocks", static_cast<int64_t>(p.blocks));
        periods.push_back(std::move(t));
    }
    root.insert("periods", std::move(periods));

    const std::vector<Tag>& all = scanner.Tags();
    const std::vector<Sample> samples = scanner.ReadAll();
    toml::array tagList;
    for (size_t i = 0; i < all.size() && i < samples.size(); ++i) {
        const Sample& s = samples[i];
        toml::table t;
        t.insert("name", all[i].name);
        PutNumber(t, "value", s.value);
        PutNumber(t, "raw", s.raw);
        t.insert("quality", QualityName(s.quality));
        if (s.cause != Cause::None) t.insert("cause", CauseName(s.cause));
        if (s.cause == Cause::ErrorBlock) t.insert("error_code", s.errorCode);
        t.insert("timestamp", Iso(s.sourceTime));
        t.insert("changes", Count(s.changes));
        tagList.push_back(std::move(t));
    }
    root.insert("tags", std::move(tagList));

    std::ostringstream out;
    out << toml::json_formatter{root};
    std::string text = out.str();
    // The front-ends' objects go in after the formatter closed the document:
    // they come as JSON text, which a TOML table cannot hold as it is.
    while (!text.empty() && text.back() != '}') text.pop_back();
    if (!text.empty()) text.pop_back();
    for (const StatusSection& section : sections) {
        text += ",\n  \"" + section.key + "\": " + section.json;
    }
    return text + "}\n";
}

bool WriteStatusFile(const Scanner& scanner, const std::string& path, std::string* error,
                     const std::vector<StatusSection>& sections) {
    const std::string text = StatusJson(scanner, sections);
    const std::string temporary = path + ".tmp";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    const bool written = done == text.size() && fsync(fd) == 0;
    const int saved = errno;
    close(fd);
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(written ? errno : saved);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace tags
