#include "tools/monitor_decode.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "sim/plc.h"
#include "tools/format.h"

namespace vave8ctl {

namespace {

using p8sim::DecodeEvent;

std::string Printf(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

std::string WallClock(double wall) {
    const auto seconds = static_cast<time_t>(wall);
    tm local{};
    localtime_r(&seconds, &local);
    char buffer[32];
    const int ms = std::min(999, static_cast<int>((wall - static_cast<double>(seconds)) * 1000));
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, ms);
    return buffer;
}

std::string Duration(double seconds) {
    if (seconds < 1.0) return Printf("%.1fms", seconds * 1000);
    return Printf("%.3fs", seconds);
}

std::string Hex(const std::vector<uint8_t>& bytes, size_t from = 0) {
    if (from >= bytes.size()) return "";
    return p8sim::HexBytes(bytes.data() + from, bytes.size() - from);
}

std::string Num(uint64_t n) {
    return std::to_string(n);
}

const char* ReplyKind(uint8_t type) {
    switch (type) {
        case p8sim::kBlockDone:
            return "done";
        case p8sim::kBlockError:
            return "error";
        case p8sim::kBlockData:
            return "data";
        default:
            return "unknown";
    }
}

bool IsRequest(const std::vector<uint8_t>& block) {
    return !block.empty() && (block[0] == p8sim::kReqRead || block[0] == p8sim::kReqWrite);
}

}  // namespace

LineWatch::LineWatch(WatchSettings settings, Printer print)
    : settings_(settings), print_(std::move(print)) {}

size_t LineWatch::AddPort(std::string name) {
    name_width_ = std::max(name_width_, name.size());
    ports_.emplace_back();
    ports_.back().name = std::move(name);
    return ports_.size() - 1;
}

void LineWatch::Take(Port& port, const uint8_t* bytes, size_t n, Stamp at) {
    port.fed += n;
    port.chunks.push_back({port.fed, at});
    port.bytes.insert(port.bytes.end(), bytes, bytes + n);
}

size_t LineWatch::Decode(Port& port, const uint8_t* bytes, size_t n) {
    std::vector<DecodeEvent> events;
    const size_t taken = port.decoder.FeedUntilEvent(bytes, n, events);
    for (const DecodeEvent& ev : events) Handle(port, ev);
    return taken;
}

void LineWatch::Feed(size_t index, const uint8_t* bytes, size_t n, Stamp at) {
    if (n == 0) return;
    Port& port = ports_[index];
    Take(port, bytes, n, at);
    for (size_t done = 0; done < n;) done += Decode(port, bytes + done, n - done);
}

void LineWatch::FeedTogether(const std::vector<Arrival>& arrivals, Stamp at) {
    std::vector<size_t> done(arrivals.size(), 0);
    for (const Arrival& a : arrivals) Take(ports_[a.port], a.bytes.data(), a.bytes.size(), at);
    for (;;) {
        size_t pick = arrivals.size();
        for (size_t i = 0; i < arrivals.size(); ++i) {
            if (done[i] == arrivals[i].bytes.size()) continue;
            const Port& port = ports_[arrivals[i].port];
            const bool turn = pending_.open ? port.saw_reply : !port.saw_reply;
            if (pick == arrivals.size() || turn) pick = i;
            if (turn) break;
        }
        if (pick == arrivals.size()) return;
        const Arrival& a = arrivals[pick];
        done[pick] +=
            Decode(ports_[a.port], a.bytes.data() + done[pick], a.bytes.size() - done[pick]);
    }
}

void LineWatch::Quiet(size_t index) {
    Port& port = ports_[index];
    std::vector<DecodeEvent> events;
    port.decoder.Flush(events);
    for (const DecodeEvent& ev : events) Handle(port, ev);
}

void LineWatch::Finish() {
    for (size_t i = 0; i < ports_.size(); ++i) Quiet(i);
}

Stamp LineWatch::StampOf(const Port& port, uint64_t offset) const {
    for (const Chunk& chunk : port.chunks) {
        if (offset < chunk.end) return chunk.at;
    }
    return port.chunks.empty() ? Stamp{} : port.chunks.back().at;
}

std::string LineWatch::RawOf(const Port& port, uint64_t begin, uint64_t end) const {
    std::string out;
    for (uint64_t i = std::max(begin, port.bytes_base); i < end; ++i) {
        const uint64_t at = i - port.bytes_base;
        if (at >= port.bytes.size()) break;
        const uint8_t b = port.bytes[at];
        if (!out.empty()) out += ' ';
        out += "0123456789ABCDEF"[b >> 4];
        out += "0123456789ABCDEF"[b & 0x0F];
    }
    return out;
}

// Keeps only what events still to come may need: the bytes from `upto` on.
void LineWatch::Retire(Port& port, uint64_t upto) {
    while (!port.chunks.empty() && port.chunks.front().end <= upto) port.chunks.pop_front();
    while (!port.bytes.empty() && port.bytes_base < upto) {
        port.bytes.pop_front();
        ++port.bytes_base;
    }
}

void LineWatch::Emit(const Port& port, const DecodeEvent& ev, const std::string& text,
                     const std::string& json) {
    const Stamp begin = StampOf(port, ev.begin);
    const Stamp end = StampOf(port, ev.end > ev.begin ? ev.end - 1 : ev.begin);
    const bool gap = have_last_;
    const double gap_s = gap ? std::max(0.0, begin.mono - last_end_) : 0;
    have_last_ = true;
    last_end_ = std::max(last_end_, end.mono);
    ++events_;
    const std::string raw = settings_.raw ? RawOf(port, ev.begin, ev.end) : "";
    if (settings_.json) {
        std::string line = "{\"time\":" + Printf("%.6f", begin.wall) +
                           ",\"gap_ms\":" + (gap ? Printf("%.3f", gap_s * 1000) : "null") +
                           ",\"port\":" + JsonString(port.name) + json;
        if (settings_.raw) line += ",\"raw\":\"" + raw + "\"";
        print_(line + "}");
        return;
    }
    std::string line = WallClock(begin.wall) + " ";
    std::string gap_text = gap ? "+" + Duration(gap_s) : "";
    if (gap_text.size() < 9) gap_text.insert(0, 9 - gap_text.size(), ' ');
    std::string name = port.name;
    name.resize(name_width_, ' ');
    line += gap_text + "  " + name + "  " + text;
    print_(line);
    if (settings_.raw) print_(std::string(12 + 9 + 2 + name_width_ + 2, ' ') + "   " + raw);
}

void LineWatch::Handle(Port& port, const DecodeEvent& ev) {
    if (limit_ != 0 && events_ >= limit_) {
        Retire(port, ev.end);
        return;
    }
    const std::vector<uint8_t>& block = ev.data;
    std::string text;
    std::string json;
    // A broken frame right after a request is taken as that request's reply,
    // unless it came on a port that has carried requests only while another
    // port carried the replies (a tap with one port per direction).
    const auto broken_reply = [&]() {
        bool replies_elsewhere = false;
        for (const Port& other : ports_) replies_elsewhere |= &other != &port && other.saw_reply;
        if (!pending_.open || (port.saw_request && !port.saw_reply && replies_elsewhere)) return;
        ++stations_[pending_.station].broken;
        pending_.open = false;
    };
    switch (ev.type) {
        case DecodeEvent::kFrame:
            if (IsRequest(block)) {
                port.saw_request = true;
                if (pending_.open) ++stations_[pending_.station].no_reply;
                const p8sim::Request r = p8sim::ParseRequest(block.data(), block.size());
                pending_ = {++requests_seen_, r.station, StampOf(port, ev.end - 1).mono, true};
                ++stations_[r.station].requests;
                text = "#" + Num(pending_.number) + " -> " +
                       p8sim::DescribeRequest(block.data(), block.size());
                json = ",\"kind\":\"request\",\"n\":" + Num(pending_.number) + ",\"op\":\"" +
                       (r.code == p8sim::kReqRead ? "read" : "write") +
                       "\",\"station\":" + Num(r.station);
                if (r.has_header) {
                    json += ",\"start\":" + Num(r.start) + ",\"end\":" + Num(r.end) +
                            ",\"bytes\":" + Num(p8sim::NibbleCount(r.start, r.end) / 2);
                }
                json += ",\"data\":\"" + Hex(r.data) + "\"";
                break;
            }
            port.saw_reply = true;
            {
                const bool has_station = block.size() >= 2;
                const bool paired = pending_.open && (!has_station || block[1] == pending_.station);
                const std::string what = p8sim::DescribeReply(block.data(), block.size());
                json = ",\"kind\":\"reply\",\"type\":\"" +
                       std::string(block.empty() ? "empty" : ReplyKind(block[0])) + "\"";
                if (has_station) json += ",\"station\":" + Num(block[1]);
                if (!block.empty() && block[0] == p8sim::kBlockError && block.size() >= 4) {
                    json += ",\"code\":" + Num(block[3]);
                }
                if (!block.empty() && block[0] == p8sim::kBlockData) {
                    json += ",\"data\":\"" + Hex(block, 2) + "\"";
                }
                if (!paired) {
                    ++faults_.unpaired;
                    text = "?? <- " + what + "  (no request waiting for it)";
                    json += ",\"request\":null";
                    break;
                }
                const double seconds = StampOf(port, ev.begin).mono - pending_.end;
                const double ms = seconds * 1000;
                Station& st = stations_[pending_.station];
                ++st.replies;
                st.times.Record(seconds);
                if (!block.empty() && block[0] == p8sim::kBlockError && block.size() >= 4) {
                    ++st.errors[block[3]];
                }
                text = "#" + Num(pending_.number) + " <- " + what + "  (PLC took " +
                       Printf("%.1f", ms) + " ms)";
                json +=
                    ",\"request\":" + Num(pending_.number) + ",\"reply_ms\":" + Printf("%.3f", ms);
                pending_.open = false;
            }
            break;
        case DecodeEvent::kCrcError: {
            char head[64];
            std::snprintf(head, sizeof head, "!! bad CRC byte %02X (expected %02X): ", ev.got,
                          ev.expected);
            const std::string what = IsRequest(block)
                                         ? p8sim::DescribeRequest(block.data(), block.size())
                                         : p8sim::DescribeReply(block.data(), block.size());
            text = head + what;
            json = ",\"kind\":\"broken\",\"fault\":\"crc\",\"got\":" + Num(ev.got) +
                   ",\"expected\":" + Num(ev.expected) + ",\"block\":\"" + Hex(block) + "\"";
            ++faults_.crc;
            if (!IsRequest(block)) broken_reply();
            break;
        }
        case DecodeEvent::kBadCopy: {
            char head[96];
            std::snprintf(head, sizeof head, "!! doubled byte %02X followed by %02X, frame dropped",
                          ev.expected, ev.got);
            text = head;
            json = ",\"kind\":\"broken\",\"fault\":\"copy\",\"got\":" + Num(ev.got) +
                   ",\"expected\":" + Num(ev.expected);
            ++faults_.copy;
            broken_reply();
            break;
        }
        case DecodeEvent::kTooLong:
            text =
                "!! length " + Num(ev.count) + " over " + Num(p8sim::kMaxBlock) + ", frame dropped";
            json = ",\"kind\":\"broken\",\"fault\":\"too_long\",\"length\":" + Num(ev.count);
            ++faults_.too_long;
            broken_reply();
            break;
        case DecodeEvent::kIncomplete:
            text = "!! frame cut off after " + Num(block.size()) + " of " + Num(ev.count) +
                   " bytes" + (block.empty() ? "" : ": " + Hex(block));
            json = ",\"kind\":\"broken\",\"fault\":\"cut_off\",\"length\":" + Num(ev.count) +
                   ",\"block\":\"" + Hex(block) + "\"";
            ++faults_.cut_off;
            broken_reply();
            break;
        case DecodeEvent::kDropped:
            text = "!! " + Num(ev.count) + " byte" + (ev.count == 1 ? "" : "s") + " between frames";
            json = ",\"kind\":\"stray\",\"count\":" + Num(ev.count);
            ++faults_.stray_runs;
            faults_.stray_bytes += ev.count;
            break;
    }
    Emit(port, ev, text, json);
    Retire(port, ev.end);
}

std::string LineWatch::Summary(double seconds) const {
    if (settings_.json) {
        std::string s = "{\"summary\":{\"seconds\":" + Printf("%.3f", seconds) +
                        ",\"events\":" + Num(events_) + ",\"stations\":[";
        bool first = true;
        for (const auto& [number, st] : stations_) {
            s += first ? "" : ",";
            first = false;
            s += "{\"station\":" + Num(number) + ",\"requests\":" + Num(st.requests) +
                 ",\"replies\":" + Num(st.replies) + ",\"broken\":" + Num(st.broken) +
                 ",\"no_reply\":" + Num(st.no_reply) + ",\"errors\":{";
            bool firstError = true;
            for (const auto& [code, n] : st.errors) {
                s += (firstError ? "\"" : ",\"") + Num(code) + "\":" + Num(n);
                firstError = false;
            }
            s += "},\"reply_ms_median\":" + Printf("%.3f", 1e3 * st.times.Quantile(0.5)) +
                 ",\"reply_ms_p99\":" + Printf("%.3f", 1e3 * st.times.Quantile(0.99)) +
                 ",\"reply_ms_max\":" + Printf("%.3f", 1e3 * st.times.Max()) + "}";
        }
        return s + "],\"line\":{\"bad_crc\":" + Num(faults_.crc) +
               ",\"bad_copy\":" + Num(faults_.copy) + ",\"too_long\":" + Num(faults_.too_long) +
               ",\"cut_off\":" + Num(faults_.cut_off) +
               ",\"stray_bytes\":" + Num(faults_.stray_bytes) +
               ",\"unpaired_replies\":" + Num(faults_.unpaired) + "}}}";
    }
    std::string s = "--- " + Num(events_) + " events in " + Printf("%.1f", seconds) + " s\n";
    if (stations_.empty()) s += "no requests seen\n";
    if (!stations_.empty()) {
        s += "station  requests  replies  broken  no reply  median ms  p99 ms  max ms  errors\n";
    }
    for (const auto& [number, st] : stations_) {
        char row[160];
        std::snprintf(row, sizeof row, "%7u  %8llu  %7llu  %6llu  %8llu  %9.1f  %6.1f  %6.1f  ",
                      number, static_cast<unsigned long long>(st.requests),
                      static_cast<unsigned long long>(st.replies),
                      static_cast<unsigned long long>(st.broken),
                      static_cast<unsigned long long>(st.no_reply), 1e3 * st.times.Quantile(0.5),
                      1e3 * st.times.Quantile(0.99), 1e3 * st.times.Max());
        s += row;
        if (st.errors.empty()) s += "none";
        bool first = true;
        for (const auto& [code, n] : st.errors) {
            char error[32];
            std::snprintf(error, sizeof error, "%s%02X x%llu", first ? "" : ", ", code,
                          static_cast<unsigned long long>(n));
            s += error;
            first = false;
        }
        s += "\n";
    }
    s += "line: " + Num(faults_.crc) + " bad CRC, " + Num(faults_.copy) + " bad copy, " +
         Num(faults_.too_long) + " too long, " + Num(faults_.cut_off) + " cut off, " +
         Num(faults_.stray_bytes) + " stray bytes, " + Num(faults_.unpaired) +
         " replies without a request\n";
    return s;
}

}  // namespace vave8ctl
