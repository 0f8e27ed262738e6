#include "bench/report.h"

#include <cmath>
#include <cstdio>

namespace bench {

namespace {

constexpr double kMs = 1e3;
constexpr double kUs = 1e6;

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

double Median(const std::vector<double>& samples) {
    return Percentile(samples, 50);
}

void PrintKindRow(const KindResult& kind) {
    const Figures& f = kind.figures;
    std::printf("  %-30s %7llu %7.0f %8.3f %8.3f %8.1f %7.1f %7.1f %6.1f %6.1f  %s\n",
                kind.label.c_str(), static_cast<unsigned long long>(f.transactions),
                f.TransactionsPerSecond(), Median(f.latencies) * kMs,
                Percentile(f.latencies, 99) * kMs, f.PerTransaction(f.CpuSeconds()) * kUs,
                f.PerTransaction(f.inside.SystemCalls()),
                f.PerTransaction(static_cast<double>(f.voluntarySwitches)),
                f.LineBytesPerTransaction(), f.PerTransaction(f.inside.HeapCalls()),
                f.failures != 0 ? "FAILED" : (kind.valuesRight ? "ok" : "WRONG"));
}

void PrintShareRow(const KindResult& kind) {
    const Figures& f = kind.figures;
    const double bytes = f.LineBytesPerTransaction();
    std::printf("  %-30s %8.1f", kind.label.c_str(), bytes);
    for (double baud : kCompareBauds) {
        std::printf(" %10.2f ms %8.3f%%", LineSeconds(bytes, baud) * kMs,
                    CpuShareOfLine(f, baud) * 100);
    }
    std::printf("\n");
}

// A tiny JSON writer: objects and arrays, numbers, strings, booleans.
class Json {
public:
    explicit Json(std::FILE* out) : out_(out) {}

    void Open(const char* key, char bracket) {
        Key(key);
        std::fputc(bracket, out_);
        first_.push_back(true);
    }
    void Close(char bracket) {
        first_.pop_back();
        std::fputc('\n', out_);
        Indent();
        std::fputc(bracket, out_);
    }
    void Number(const char* key, double value) {
        Key(key);
        if (std::isfinite(value)) {
            std::fprintf(out_, "%.9g", value);
        } else {
            std::fputs("null", out_);
        }
    }
    void Integer(const char* key, uint64_t value) {
        Key(key);
        std::fprintf(out_, "%llu", static_cast<unsigned long long>(value));
    }
    void Bool(const char* key, bool value) {
        Key(key);
        std::fputs(value ? "true" : "false", out_);
    }
    void String(const char* key, const std::string& value) {
        Key(key);
        std::fputc('"', out_);
        for (const char c : value) {
            const auto u = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                std::fprintf(out_, "\\%c", c);
            } else if (u < 0x20) {
                std::fprintf(out_, "\\u%04x", u);
            } else {
                std::fputc(c, out_);
            }
        }
        std::fputc('"', out_);
    }

private:
    void Indent() {
        for (size_t i = 0; i < first_.size(); ++i) std::fputs("  ", out_);
    }
    // Before each value: the separator, a new line, and the key inside an
    // object (`key` null inside an array and at the top).
    void Key(const char* key) {
        if (!first_.empty()) {
            if (!first_.back()) std::fputc(',', out_);
            first_.back() = false;
            std::fputc('\n', out_);
            Indent();
        }
        if (key != nullptr) std::fprintf(out_, "\"%s\": ", key);
    }

    std::FILE* out_;
    std::vector<bool> first_;
};

void WriteFigures(Json& j, const Figures& f) {
    j.Integer("transactions", f.transactions);
    j.Integer("failures", f.failures);
    j.Number("wall_s", f.wallSeconds);
    j.Number("transactions_per_s", f.TransactionsPerSecond());
    j.Number("latency_median_s", Median(f.latencies));
    j.Number("latency_p99_s", Percentile(f.latencies, 99));
    j.Number("latency_max_s", Percentile(f.latencies, 100));
    j.Number("cpu_user_s", f.userSeconds);
    j.Number("cpu_system_s", f.systemSeconds);
    j.Number("cpu_per_transaction_s", f.PerTransaction(f.CpuSeconds()));
    j.Number("voluntary_switches_per_transaction",
             f.PerTransaction(static_cast<double>(f.voluntarySwitches)));
    j.Number("involuntary_switches_per_transaction",
             f.PerTransaction(static_cast<double>(f.involuntarySwitches)));
    j.Number("system_calls_per_transaction", f.PerTransaction(f.inside.SystemCalls()));
    j.Number("reads_per_transaction", f.PerTransaction(f.inside.reads));
    j.Number("writes_per_transaction", f.PerTransaction(f.inside.writes));
    j.Number("polls_per_transaction", f.PerTransaction(f.inside.polls));
    j.Number("selects_per_transaction", f.PerTransaction(f.inside.selects));
    j.Number("bytes_written_per_transaction", f.PerTransaction(f.inside.bytesWritten));
    j.Number("bytes_read_per_transaction", f.PerTransaction(f.inside.bytesRead));
    j.Number("heap_calls_per_transaction", f.PerTransaction(f.inside.HeapCalls()));
    j.Integer("heap_calls", f.inside.HeapCalls());
    j.Open("cpu_share_of_line_time", '{');
    for (double baud : kCompareBauds) {
        const std::string key = Format("%.0f", baud);
        j.Number(key.c_str(), CpuShareOfLine(f, baud));
    }
    j.Close('}');
}

void WriteKind(Json& j, const KindResult& kind) {
    j.Open(kind.key.c_str(), '{');
    j.String("label", kind.label);
    j.Integer("payload_bytes", static_cast<uint64_t>(kind.payloadBytes));
    j.Bool("values_right", kind.valuesRight);
    WriteFigures(j, kind.figures);
    if (!kind.traced.empty()) {
        j.Open("traced_system_calls_per_transaction", '{');
        j.Number("total", kind.TracedTotal());
        for (const auto& [name, count] : kind.traced) j.Number(name.c_str(), count);
        j.Close('}');
    }
    j.Close('}');
}

void PrintTracedRow(const KindResult& kind) {
    if (kind.traced.empty()) return;
    std::printf("  %-30s %6.1f  ", kind.label.c_str(), kind.TracedTotal());
    for (const auto& [name, count] : kind.traced) std::printf(" %s %.3g", name.c_str(), count);
    std::printf("\n");
}

}  // namespace

double KindResult::TracedTotal() const {
    double total = 0;
    for (const auto& entry : traced) total += entry.second;
    return total;
}

double PacedResult::Utilisation() const {
    const double request = LineSeconds(RequestBytes(), baud);
    const double reply = LineSeconds(ReplyBytes(), baud);
    const double elapsed = ElapsedPerTransaction() + request;
    return elapsed <= 0 ? 0.0 : (request + reply) / elapsed;
}

double PacedResult::ReplyUtilisation() const {
    const double elapsed = ElapsedPerTransaction();
    return elapsed <= 0 ? 0.0 : LineSeconds(ReplyBytes(), baud) / elapsed;
}

double PacedResult::IdleSeconds() const {
    return ElapsedPerTransaction() - LineSeconds(ReplyBytes(), baud);
}

double CpuShareOfLine(const Figures& figures, double baud) {
    const double line = LineSeconds(figures.LineBytesPerTransaction(), baud);
    return line <= 0 ? 0.0 : figures.PerTransaction(figures.CpuSeconds()) / line;
}

void PrintTable(const Results& r) {
    const Environment& e = r.env;
    std::printf(
        "vave8bench  %s  %s, %d CPUs, load %.2f %.2f %.2f at start, %.2f %.2f %.2f at end\n",
        e.date.c_str(), e.kernel.c_str(), e.cpus, e.loadStart[0], e.loadStart[1], e.loadStart[2],
        e.loadEnd[0], e.loadEnd[1], e.loadEnd[2]);
    std::printf("module %s\nsimulator %s\nyardstick %s\n\n", e.module.c_str(), e.simulator.c_str(),
                r.haveYardstick ? ("libmodbus " + e.libmodbus).c_str()
                                : ("none: " + r.yardstickNote).c_str());

    std::printf(
        "Transactions over a pseudo-terminal, simulator unpaced (%.2g s each; the 256-byte read\n"
        "and libmodbus alternate in %d rounds). Latency in ms; per transaction: CPU = user +\n"
        "system time of the host thread in us, calls = read, write, poll and select calls,\n"
        "csw = voluntary context switches, bytes = bytes on the line, heap = heap calls.\n",
        e.seconds, e.rounds);
    std::printf("  %-30s %7s %7s %8s %8s %8s %7s %7s %6s %6s  %s\n", "", "txns", "txn/s", "median",
                "p99", "CPU us", "calls", "csw", "bytes", "heap", "values");
    for (const KindResult& kind : r.kinds) PrintKindRow(kind);
    if (r.haveYardstick) PrintKindRow(r.yardstick);

    std::printf(
        "\nCPU per transaction as a share of the line time of its bytes (framed request\n"
        "and reply, doubled bytes included, 11 bits a character)\n");
    std::printf("  %-30s %8s %13s %9s %13s %9s\n", "", "bytes", "line 9600", "share", "line 115200",
                "share");
    for (const KindResult& kind : r.kinds) PrintShareRow(kind);
    if (r.haveYardstick) PrintShareRow(r.yardstick);

    std::printf("\nEvery system call per transaction, by name (%s)\n", r.tracedNote.c_str());
    for (const KindResult& kind : r.kinds) PrintTracedRow(kind);
    if (r.haveYardstick) PrintTracedRow(r.yardstick);

    if (r.silent.ran) {
        const SilentResult& s = r.silent;
        std::printf(
            "\nSilent station, read time limit %d ticks, three attempts: expected %.1f ms\n",
            s.ticks, s.expectedSeconds * kMs);
        std::printf(
            "  %zu reads: min %.1f, median %.1f, max %.1f ms; median/expected %.4f; "
            "%d answered 2; heap calls %llu; %.1f log lines a read\n",
            s.seconds.size(), Percentile(s.seconds, 0) * kMs, Median(s.seconds) * kMs,
            Percentile(s.seconds, 100) * kMs,
            s.expectedSeconds > 0 ? Median(s.seconds) / s.expectedSeconds : 0.0, s.failedAsExpected,
            static_cast<unsigned long long>(s.heapCalls),
            s.seconds.empty()
                ? 0.0
                : static_cast<double>(s.logLines) / static_cast<double>(s.seconds.size()));
    }

    if (!r.paced.empty()) {
        std::printf(
            "\nSimulator pacing its replies at the baud rate, 256-byte block reads ('2' x256).\n"
            "Utilisation = line time of request and reply / (elapsed + request line time):\n"
            "the pseudo-terminal passes the request at once, a real line would not.\n");
        std::printf("  %7s %5s %11s %8s %8s %11s %9s %11s %10s  %s\n", "baud", "txns", "elapsed ms",
                    "req B", "reply B", "reply ms", "idle ms", "utilisation", "reply dir",
                    "values");
        for (const PacedResult& p : r.paced) {
            const Figures& f = p.figures;
            std::printf("  %7u %5llu %11.2f %8.1f %8.1f %11.2f %9.2f %10.2f%% %9.2f%%  %s\n",
                        p.baud, static_cast<unsigned long long>(f.transactions),
                        p.ElapsedPerTransaction() * kMs, p.RequestBytes(), p.ReplyBytes(),
                        LineSeconds(p.ReplyBytes(), p.baud) * kMs, p.IdleSeconds() * kMs,
                        p.Utilisation() * 100, p.ReplyUtilisation() * 100,
                        f.failures != 0 ? "FAILED" : (p.valuesRight ? "ok" : "WRONG"));
        }
    }

    std::printf("\nTargets\n");
    for (const Target& t : r.targets) {
        std::printf("  %-44s %-40s %-14s %s\n", t.name.c_str(), t.measured.c_str(), t.limit.c_str(),
                    t.met ? "ok" : "MISSED");
    }
    for (const std::string& p : r.problems) std::printf("  problem: %s\n", p.c_str());
    std::printf("\nNuvMain calls %llu, heap calls inside them %llu; whole run %.1f s\n",
                static_cast<unsigned long long>(r.nuvCalls),
                static_cast<unsigned long long>(r.heapCallsAllCalls), e.wallSeconds);
}

bool WriteJson(const Results& r, const std::string& path, std::string* error) {
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) {
        *error = "cannot write " + path;
        return false;
    }
    Json j(out);
    const Environment& e = r.env;
    j.Open(nullptr, '{');

    j.Open("environment", '{');
    j.String("date", e.date);
    j.String("kernel", e.kernel);
    j.Integer("cpus", static_cast<uint64_t>(e.cpus));
    j.Open("load_start", '[');
    for (double l : e.loadStart) j.Number(nullptr, l);
    j.Close(']');
    j.Open("load_end", '[');
    for (double l : e.loadEnd) j.Number(nullptr, l);
    j.Close(']');
    j.String("module", e.module);
    j.String("simulator", e.simulator);
    j.String("libmodbus", e.libmodbus);
    j.Number("seconds_per_run", e.seconds);
    j.Integer("comparison_rounds", static_cast<uint64_t>(e.rounds));
    j.Number("wall_s", e.wallSeconds);
    j.Close('}');

    j.Open("driver", '{');
    for (const KindResult& kind : r.kinds) WriteKind(j, kind);
    j.Close('}');

    if (r.haveYardstick) {
        WriteKind(j, r.yardstick);
    } else {
        j.Open("libmodbus_read_125_registers", '{');
        j.String("skipped", r.yardstickNote);
        j.Close('}');
    }

    j.Open("silent_station", '{');
    j.Bool("ran", r.silent.ran);
    j.Integer("timeout_ticks", static_cast<uint64_t>(r.silent.ticks));
    j.Number("expected_s", r.silent.expectedSeconds);
    j.Open("measured_s", '[');
    for (double s : r.silent.seconds) j.Number(nullptr, s);
    j.Close(']');
    j.Number("median_over_expected", r.silent.expectedSeconds > 0
                                         ? Median(r.silent.seconds) / r.silent.expectedSeconds
                                         : 0.0);
    j.Integer("answered_failed", static_cast<uint64_t>(r.silent.failedAsExpected));
    j.Integer("heap_calls", r.silent.heapCalls);
    j.Integer("log_lines", r.silent.logLines);
    j.Close('}');

    j.Open("paced", '[');
    for (const PacedResult& p : r.paced) {
        j.Open(nullptr, '{');
        j.Integer("baud", p.baud);
        j.Bool("values_right", p.valuesRight);
        j.Number("elapsed_per_transaction_s", p.ElapsedPerTransaction());
        j.Number("request_bytes", p.RequestBytes());
        j.Number("reply_bytes", p.ReplyBytes());
        j.Number("reply_line_s", LineSeconds(p.ReplyBytes(), p.baud));
        j.Number("idle_per_transaction_s", p.IdleSeconds());
        j.Number("utilisation", p.Utilisation());
        j.Number("reply_direction_utilisation", p.ReplyUtilisation());
        WriteFigures(j, p.figures);
        j.Close('}');
    }
    j.Close(']');

    j.String("traced_system_calls", r.tracedNote);
    j.Integer("nuvmain_calls", r.nuvCalls);
    j.Integer("heap_calls_inside_nuvmain", r.heapCallsAllCalls);

    j.Open("targets", '[');
    for (const Target& t : r.targets) {
        j.Open(nullptr, '{');
        j.String("name", t.name);
        j.String("measured", t.measured);
        j.String("limit", t.limit);
        j.Bool("met", t.met);
        j.Close('}');
    }
    j.Close(']');
    j.Open("problems", '[');
    for (const std::string& p : r.problems) j.String(nullptr, p);
    j.Close(']');

    j.Close('}');
    std::fputc('\n', out);
    const bool ok = std::fclose(out) == 0;
    if (!ok) *error = "cannot write " + path;
    return ok;
}

}  // namespace bench
