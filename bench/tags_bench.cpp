// vave8gw-tagbench: the tag engine on the reference plant against the
// simulated PLC paced at a real line's speed with a turnaround. Prints:
//   (a) a full cycle's measured time against the plan's line time,
//   (b) the plan's line time against contiguous-only merging and one
//       transaction per tag,
//   (c) the healthy stations' achieved periods with one station dead,
//   (d) a tag write's latency while the scan keeps the line busy,
//   (e) the line server's resident memory and CPU per scanned tag.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/children.h"
#include "bench/measure.h"
#include "bench/plant.h"
#include "gateway/line.h"
#include "gateway/modbus/queue.h"
#include "host/line_loop.h"
#include "hostsvc/module_loader.h"
#include "sim/sim.h"
#include "tags/address.h"
#include "tags/config.h"
#include "tags/plan.h"
#include "tags/scanner.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::vector<uint32_t> bauds{9600, 115200};
    double turnaroundMs = 5;
    double scale = 1;  // run lengths
    std::string parts = "abcde";
    std::string plant;  // the plant's TOML
};

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double Percentile(std::vector<double> v, double share) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t k = static_cast<size_t>(std::ceil(share * static_cast<double>(v.size())));
    return v[std::min(v.size(), std::max<size_t>(k, 1)) - 1];
}

// The engine on its own line thread against an in-process simulator.
class EngineRun {
public:
    EngineRun(uint32_t baud, double turnaroundMs, const std::vector<tags::Tag>& list,
              std::vector<tags::Block> blocks, const tags::ScanSettings& settings,
              uint16_t present, int ticks) {
        sim_.SetPaceBaud(baud);
        sim_.SetTurnaround(static_cast<uint32_t>(turnaroundMs));
        sim_.SetPresent(present);
        std::string error;
        if (!sim_.Start(&error)) Die(error);
        vave8ctl::ConnectionOptions options;
        options.port = sim_.Path();
        options.ticks = ticks;
        line_ = std::make_unique<vave8gw::Line>(options, 0);
        if (!line_->Start(&error)) Die(error);
        scanner_ = std::make_unique<tags::Scanner>("bench", list, std::move(blocks), settings);
        thread_ = std::thread([this] {
            host::OnDemand requests;
            requests.nudge = [this] { scheduler_.Nudge(); };
            requests.serve = [this](Clock::time_point deadline, bool*) {
                bool stopped = false;
                scheduler_.PopUntil(deadline, &stopped);
                return !stopped;
            };
            host::RunLine(*line_, scanner_.get(), requests);
        });
    }
    ~EngineRun() {
        scheduler_.Stop();
        thread_.join();
        line_.reset();
        sim_.Stop();
    }

    tags::Scanner& scanner() { return *scanner_; }

    uint64_t Transactions() const {
        uint64_t n = 0;
        for (const tags::StationStatus& s : scanner_->Status().stations) n += s.transactions;
        return n;
    }

private:
    [[noreturn]] static void Die(const std::string& error) {
        std::fprintf(stderr, "vave8gw-tagbench: %s\n", error.c_str());
        std::exit(2);
    }

    p8sim::Simulator sim_;
    std::unique_ptr<vave8gw::Line> line_;
    std::unique_ptr<tags::Scanner> scanner_;
    vave8gw::Scheduler scheduler_;
    std::thread thread_;
};

// Every block due at once, again and again: the line never idles.
std::vector<tags::Block> Busy(std::vector<tags::Block> blocks) {
    for (tags::Block& b : blocks) b.periodMs = 1;
    return blocks;
}

int Ticks(const tags::Config& config) {
    return std::max<int>(1, config.line.connection.ticks);
}

void PartA(const tags::Config& config, const tags::Plan& plan, uint32_t baud, const Options& o) {
    EngineRun run(baud, o.turnaroundMs, config.tags, Busy(plan.blocks), {}, 0xFFFF, Ticks(config));
    // One cycle to settle, then a measured stretch of whole cycles' worth.
    const uint64_t blocks = plan.blocks.size();
    while (run.Transactions() < blocks) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const uint64_t before = run.Transactions();
    const auto start = Clock::now();
    const double seconds = o.scale * std::max(3 * plan.lineMs / 1000, 5.0);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const uint64_t done = run.Transactions() - before;
    const double elapsed = Seconds(Clock::now() - start);
    const double cycleMs = 1000 * elapsed * static_cast<double>(blocks) / static_cast<double>(done);
    std::printf("  (a) full cycle: measured %.0f ms, plan's line time %.0f ms: ratio %.3f "
                "(goal <= 1.05; %llu transactions in %.1f s)\n",
                cycleMs, plan.lineMs, cycleMs / plan.lineMs,
                static_cast<unsigned long long>(done), elapsed);
}

void PartB(const tags::Config& config, const tags::Plan& plan, const tags::CostModel& cost) {
    const tags::Plan contiguous = tags::ContiguousPlan(config.tags, cost);
    const double perTag = tags::PerTagMs(config.tags, cost);
    std::printf("  (b) line time of one cycle: plan %.0f ms in %zu blocks; contiguous-only %.0f ms "
                "in %zu blocks (speed-up %.2f); one transaction per tag %.0f ms (speed-up %.2f)\n",
                plan.lineMs, plan.blocks.size(), contiguous.lineMs, contiguous.blocks.size(),
                contiguous.lineMs / plan.lineMs, perTag, perTag / plan.lineMs);
}

// Each healthy station period's achieved period in steady state: from the
// first cycle started after `warmup` to the last before its end.
std::map<std::pair<int, uint32_t>, double> Achieved(const tags::Config& config,
                                                    const tags::Plan& plan, uint32_t baud,
                                                    const Options& o, int dead, double warmup,
                                                    double seconds) {
    tags::ScanSettings settings;
    settings.demoteAfter = static_cast<int>(config.line.demoteAfter);
    settings.demoteSeconds = config.line.demoteS;
    const uint16_t present = dead < 0 ? 0xFFFF : static_cast<uint16_t>(0xFFFF & ~(1u << dead));
    EngineRun run(baud, o.turnaroundMs, config.tags, plan.blocks, settings, present, Ticks(config));
    std::this_thread::sleep_for(std::chrono::duration<double>(warmup));
    std::map<std::pair<int, uint32_t>, tags::PeriodStatus> before;
    for (const tags::PeriodStatus& p : run.scanner().Periods()) before[{p.station, p.periodMs}] = p;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    std::map<std::pair<int, uint32_t>, double> out;
    for (const tags::PeriodStatus& p : run.scanner().Periods()) {
        const tags::PeriodStatus& b = before[{p.station, p.periodMs}];
        if (p.station == dead || b.cycles == 0 || p.cycles < b.cycles + 1) continue;
        out[{p.station, p.periodMs}] =
            1000 * Seconds(p.lastStart - b.lastStart) / static_cast<double>(p.cycles - b.cycles);
    }
    return out;
}

void PartC(const tags::Config& config, const tags::Plan& plan, uint32_t baud, const Options& o) {
    uint32_t longest = 0;
    for (const tags::Block& b : plan.blocks) longest = std::max(longest, b.periodMs);
    // Past the start (every period due at once, the dead station not yet
    // demoted), then four cycles of the longest period: a start delayed by
    // the start-up burst weighs little.
    const double warmup = o.scale * (1.2 * longest / 1000.0);
    const double seconds = o.scale * (4.1 * longest / 1000.0);
    const int dead = 5;
    const auto healthy = Achieved(config, plan, baud, o, -1, warmup, seconds);
    const auto withDead = Achieved(config, plan, baud, o, dead, warmup, seconds);
    // Per asked period, the mean over the stations other than the dead one.
    std::map<uint32_t, std::pair<double, double>> sums;  // healthy, with the dead station
    std::map<uint32_t, int> counts;
    for (const auto& [key, ms] : healthy) {
        const auto it = withDead.find(key);
        if (it == withDead.end()) continue;
        sums[key.second].first += ms;
        sums[key.second].second += it->second;
        ++counts[key.second];
    }
    std::printf("  (c) station %d dead, the other stations' achieved period (mean over stations; "
                "%.0f s after %.0f s each run):\n",
                dead, seconds, warmup);
    for (const auto& [period, sum] : sums) {
        const double n = counts[period];
        std::printf("      asked %5u ms: all healthy %6.0f ms, one dead %6.0f ms: change %+.1f %% "
                    "(goal within 10 %%; %d stations)\n",
                    period, sum.first / n, sum.second / n, 100 * (sum.second / sum.first - 1),
                    counts[period]);
    }
}

void PartD(const tags::Config& config, const tags::Plan& plan, const tags::CostModel& cost,
           uint32_t baud, const Options& o) {
    EngineRun run(baud, o.turnaroundMs, config.tags, Busy(plan.blocks), {}, 0xFFFF, Ticks(config));
    std::vector<size_t> writable;
    for (size_t i = 0; i < config.tags.size(); ++i) {
        const tags::Tag& t = config.tags[i];
        if (t.access == tags::Access::ReadWrite && t.type == tags::Type::UInt16) writable.push_back(i);
    }
    if (writable.empty()) return;
    std::mt19937 random(7);
    std::vector<double> latencies;
    const int writes = static_cast<int>(std::max(10.0, 40 * o.scale));
    double longestBlock = 0;
    for (const tags::Block& b : plan.blocks) longestBlock = std::max(longestBlock, b.lineMs);
    // A word's single write: a request with its two data bytes, a short done reply.
    const double ownMs = cost.BlockMs(2);
    for (int i = 0; i < writes; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + random() % 200));
        const size_t tag = writable[random() % writable.size()];
        std::promise<tags::WriteResult> done;
        const auto start = Clock::now();
        run.scanner().Write(tag, static_cast<double>(random() % 60000),
                            [&](const tags::WriteResult& r) { done.set_value(r); });
        const tags::WriteResult r = done.get_future().get();
        if (r.status != tags::WriteResult::Status::Done) {
            std::fprintf(stderr, "vave8gw-tagbench: write failed: %s\n", r.text.c_str());
            continue;
        }
        latencies.push_back(1000 * Seconds(Clock::now() - start));
    }
    std::printf("  (d) tag write under a busy scan: median %.0f ms, p99 %.0f ms over %zu writes "
                "(goal <= longest block %.0f ms + the write's own %.0f ms = %.0f ms)\n",
                Percentile(latencies, 0.5), Percentile(latencies, 0.99), latencies.size(),
                longestBlock, ownMs, longestBlock + ownMs);
}

// The line server as a process of its own on the plant, for its memory and CPU.
void PartE(const tags::Config& config, uint32_t baud, const Options& o, const std::string& dir) {
    bench::Child sim, server;
    std::string pty, error;
    if (!sim.StartSimulator(dir + "/p8sim",
                            {"--pace", std::to_string(baud), "--turnaround",
                             std::to_string(static_cast<int>(o.turnaroundMs))},
                            &pty, &error)) {
        std::fprintf(stderr, "vave8gw-tagbench: %s\n", error.c_str());
        return;
    }
    const std::string status = "/tmp/vave8gw-tagbench-" + std::to_string(getpid()) + ".json";
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        const std::string program = dir + "/vave8gw";
        execl(program.c_str(), program.c_str(), "--config", o.plant.c_str(), "--port", pty.c_str(),
              "--status-file", status.c_str(), "--stats-interval", "0", static_cast<char*>(nullptr));
        _exit(127);
    }
    const double seconds = o.scale * 40;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    // Peak resident memory and CPU time, read before the process ends.
    const long rssKb = bench::ProcessStatusKb(pid, "VmHWM:");
    const double cpu = bench::ProcessCpuSeconds(pid);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    // Tags scanned: each period's cycles times its tags, from the status file.
    std::map<std::pair<int, uint32_t>, uint64_t> perGroup;
    for (const tags::Tag& t : config.tags) ++perGroup[{t.station, t.scanMs}];
    std::ifstream in(status);
    std::string doc((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(status.c_str());
    double scanned = 0;
    for (size_t at = doc.find("\"period_ms\""); at != std::string::npos;
         at = doc.find("\"period_ms\"", at + 1)) {
        // Each period object holds "cycles", "period_ms" and "station".
        const size_t open = doc.rfind('{', at), close = doc.find('}', at);
        const std::string object = doc.substr(open, close - open);
        auto number = [&](const char* key) {
            const size_t k = object.find(std::string("\"") + key + "\"");
            return k == std::string::npos ? 0.0 : std::atof(object.c_str() + object.find(':', k) + 1);
        };
        scanned += number("cycles") *
                   static_cast<double>(perGroup[{static_cast<int>(number("station")),
                                                 static_cast<uint32_t>(number("period_ms"))}]);
    }
    std::printf("  (e) line server on the plant: peak resident memory %.1f MB (goal <= 32 MB); "
                "CPU %.2f s for %.0f tags scanned in %.0f s: %.2f us per scanned tag\n",
                static_cast<double>(rssKb) / 1024, cpu, scanned, seconds,
                scanned > 0 ? 1e6 * cpu / scanned : 0);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    const std::string dir = bench::ProgramDir();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vave8gw-tagbench: %s needs a value\n", a.c_str());
                std::exit(64);
            }
            return argv[++i];
        };
        if (a == "--baud") {
            o.bauds = {static_cast<uint32_t>(std::atoi(next().c_str()))};
        } else if (a == "--turnaround-ms") {
            o.turnaroundMs = std::atof(next().c_str());
        } else if (a == "--scale") {
            o.scale = std::atof(next().c_str());
        } else if (a == "--parts") {
            o.parts = next();
        } else if (a == "--plant") {
            o.plant = next();
        } else {
            std::fprintf(stderr,
                         "usage: vave8gw-tagbench --plant PLANT.toml [--baud N] [--turnaround-ms "
                         "T] [--scale F] [--parts abcde]\n");
            return a == "--help" ? 0 : 64;
        }
    }
    if (o.plant.empty() || o.scale <= 0) {
        std::fprintf(stderr, "vave8gw-tagbench: --plant PLANT.toml is needed\n");
        return 64;
    }
    tags::Config config;
    {
        std::string error;
        if (!bench::LoadPlant(o.plant, &config, &error)) {
            std::fprintf(stderr, "vave8gw-tagbench: %s\n", error.c_str());
            return 2;
        }
    }
    std::map<int, int> stations;
    for (const tags::Tag& t : config.tags) ++stations[t.station];
    std::printf("reference plant: %zu tags on %zu stations, turnaround %.0f ms, read limit %d ticks\n",
                config.tags.size(), stations.size(), o.turnaroundMs, Ticks(config));
    for (const uint32_t baud : o.bauds) {
        LineParams line = config.line.connection.line;
        line.baud = static_cast<uint16_t>(std::min<uint32_t>(baud, 65535));
        tags::CostModel cost = tags::CostModel::For(line, o.turnaroundMs);
        // The simulator paces 11 bits a character at any baud, 115200 too
        // (past the 16-bit field of the line settings): the model follows it.
        cost.baud = baud;
        cost.bitsPerChar = 11;
        const tags::Plan plan = tags::MakePlan(config.tags, cost);
        std::printf("p8sim --pace %u --turnaround %.0f:\n", baud, o.turnaroundMs);
        std::fflush(stdout);
        if (o.parts.find('b') != std::string::npos) PartB(config, plan, cost);
        std::fflush(stdout);
        if (o.parts.find('a') != std::string::npos) PartA(config, plan, baud, o);
        std::fflush(stdout);
        if (o.parts.find('d') != std::string::npos) PartD(config, plan, cost, baud, o);
        std::fflush(stdout);
        if (o.parts.find('c') != std::string::npos) PartC(config, plan, baud, o);
        std::fflush(stdout);
        if (o.parts.find('e') != std::string::npos) PartE(config, baud, o, dir);
        std::fflush(stdout);
    }
    return 0;
}
