// vave8mqtt-bench: the MQTT front-end's figures against Debian's mosquitto
// on loopback, over the test's fake tag engine (values set in memory, no
// serial line):
//   - a change to the message at a subscriber (Sparkplug DDATA), median and p99;
//   - messages per second sustained with every tag of a 16-station,
//     2,000-tag plant changing every cycle (Sparkplug, then JSON);
//   - the disk buffer's write rate, and its replay rate to the broker.
// With --plant, the same against the reference plant through the line server
// itself (vave8gw --config with [mqtt], scanning p8sim through the driver):
//   - a change in p8sim's memory to the DDATA at a subscriber, by scan period;
//   - messages per second with every tag changing at every read, the line
//     always busy (p8sim --invert-on-read, every tag's period 1 ms).
// Usage: vave8mqtt-bench [--quick] [--mosquitto PATH] [--plant PLANT.toml [--baud N]]
#include <fcntl.h>
#include <mosquitto.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/children.h"
#include "bench/measure.h"
#include "bench/plant.h"
#include "gateway/mqtt/buffer.h"
#include "gateway/mqtt/frontend.h"
#include "gateway/mqtt/sparkplug.h"
#include "tags/address.h"
#include "tags/config.h"
#include "tests/mqtt/fake_engine.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

class Broker {
public:
    Broker(std::string exe, fs::path dir) : exe_(std::move(exe)), dir_(std::move(dir)), port_(bench::FreeLoopbackPort()) {
        std::ofstream(dir_ / "mosquitto.conf") << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n"
                                               << "max_queued_messages 0\nlog_dest none\n";
    }
    ~Broker() { Stop(); }
    bool Start() {
        std::string conf = (dir_ / "mosquitto.conf").string();
        const char* argv[] = {exe_.c_str(), "-c", conf.c_str(), nullptr};
        if (posix_spawn(&pid_, exe_.c_str(), nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return false;
        return bench::WaitListening(port_, 5.0);
    }
    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    int Port() const { return port_; }

private:
    std::string exe_;
    fs::path dir_;
    int port_;
    pid_t pid_ = -1;
};

// A broker in a folder of its own, which a broker started as root (running
// as its own user) may write.
std::unique_ptr<Broker> StartBroker(const std::string& exe, const fs::path& dir) {
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::all);
    auto broker = std::make_unique<Broker>(exe, dir);
    if (broker->Start()) return broker;
    std::fprintf(stderr, "vave8mqtt-bench: cannot start %s\n", exe.c_str());
    return nullptr;
}

// A subscriber that decodes every Sparkplug DDATA and counts JSON values.
class Subscriber {
public:
    explicit Subscriber(int port, const char* topic) {
        m_ = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(m_, [](mosquitto*, void* obj, const mosquitto_message* msg) {
            static_cast<Subscriber*>(obj)->OnMessage(msg);
        });
        mosquitto_connect(m_, "127.0.0.1", port, 30);
        mosquitto_subscribe(m_, nullptr, topic, 0);
        mosquitto_loop_start(m_);
    }
    ~Subscriber() {
        mosquitto_disconnect(m_);
        mosquitto_loop_stop(m_, false);
        mosquitto_destroy(m_);
    }
    std::function<void(double value, Clock::time_point when)> onValue;  // first metric or JSON value
    std::atomic<uint64_t> messages{0}, values{0};

private:
    void OnMessage(const mosquitto_message* msg) {
        auto now = Clock::now();
        messages++;
        if (std::strstr(msg->topic, "/DDATA/")) {
            std::vector<mqtt::spb::Command> metrics;
            mqtt::spb::Decode(msg->payload, static_cast<size_t>(msg->payloadlen), metrics);
            values += metrics.size();
            if (onValue && !metrics.empty() && metrics[0].number) onValue(*metrics[0].number, now);
        } else if (!std::strstr(msg->topic, "spBv1.0")) {
            values++;
        }
    }
    mosquitto* m_;
};

bool WaitFor(const std::function<bool()>& done, double seconds) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

mqtt::Config MakeConfig(int port, const fs::path& state, bool sparkplug, bool json) {
    mqtt::Config c;
    c.port = port;
    c.clientId = "bench-edge";
    c.stateDir = state.string();
    c.keepaliveS = 10;
    if (sparkplug) c.sparkplug = mqtt::SparkplugConfig{"bench", "line1", "", "vave8/line1/_checkpoint"};
    if (json) c.json = mqtt::JsonConfig{"vave8/line1"};
    return c;
}

std::vector<tags::Tag> ReferencePlant() {
    std::vector<tags::Tag> list;
    const tags::Type types[] = {tags::Type::Bool,   tags::Type::Int8,  tags::Type::UInt8,  tags::Type::Int16,
                                tags::Type::UInt16, tags::Type::Int32, tags::Type::UInt32, tags::Type::Float32};
    for (int i = 0; i < 2000; ++i)
        list.push_back(mqtt_test::MakeTag("st" + std::to_string(i % 16) + "/tag" + std::to_string(i), i % 16,
                                          types[i % 8]));
    return list;
}

void Quiet(const std::string&) {}

// ------------------------------------------------------ the reference plant

using Control = bench::SimControl;

// The plant's config for the line server, [mqtt] on the bench's broker.
// `periodMs` > 0 puts every tag on that period instead of the plant's own
// (the line never idles).
bool WriteMqttConfig(const std::string& plant, const fs::path& dir, int port, bool sparkplug, bool json,
                     uint32_t periodMs, std::string& error) {
    bench::PlantEdit edit;
    if (periodMs > 0) {
        edit.period = [](const std::string&) { return std::string(); };
        edit.lineScanMs = periodMs;
    }
    toml::table mqtt{{"broker", "mqtt://127.0.0.1:" + std::to_string(port)},
                     {"client_id", "bench-plant"},
                     {"keepalive_s", 10},
                     {"state_dir", (dir / "state").string()}};
    if (sparkplug) mqtt.insert("sparkplug", toml::table{{"group_id", "bench"}});
    if (json) mqtt.insert("json", toml::table{{"prefix", "vave8/plant"}});
    edit.sections.insert("mqtt", std::move(mqtt));
    return bench::WritePlantConfig(plant, dir, edit, &error);
}

// The line server on the plant, scanning p8sim in a process of its own;
// both die with the benchmark.
class PlantRun {
public:
    bool Start(const std::string& bin, const fs::path& dir, std::vector<std::string> simArgs, std::string& error) {
        dir_ = dir;
        std::string control = (dir / "p8sim.sock").string();
        simArgs.insert(simArgs.end(), {"--control", control});
        std::string pty;
        if (!sim_.StartSimulator(bin + "/p8sim", simArgs, &pty, &error)) return false;
        if (!control_.Open(control)) {
            error = "cannot reach p8sim's control socket " + control;
            return false;
        }
        // Built before the fork: the child only redirects and execs.
        program_ = bin + "/vave8gw";
        args_ = {program_,        "--config",        (dir / "line.toml").string(),
                 "--port",        pty,               "--listen",
                 "127.0.0.1:" + std::to_string(bench::FreeLoopbackPort()),
                 "--status-file", StatusPath(),      "--stats-interval",
                 "1"};
        for (auto& a : args_) argv_.push_back(a.data());
        argv_.push_back(nullptr);
        log_ = (dir / "vave8gw.log").string();
        return gw_.Fork(
            [this] {
                int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd >= 0) dup2(fd, 2);
                execv(program_.c_str(), argv_.data());
                return 127;
            },
            &error);
    }
    ~PlantRun() {
        gw_.Stop();
        sim_.Stop();
    }
    Control& control() { return control_; }
    std::string StatusPath() const { return (dir_ / "status.json").string(); }
    std::string LogTail() const {
        std::ifstream in(log_);
        std::deque<std::string> lines;
        std::string line;
        while (std::getline(in, line)) {
            lines.push_back(line);
            if (lines.size() > 5) lines.pop_front();
        }
        std::string out;
        for (auto& l : lines) out += "  | " + l + "\n";
        return out;
    }
    // User and system CPU seconds of the line server so far.
    double CpuSeconds() const { return bench::ProcessCpuSeconds(gw_.Pid()); }
    // The status file once the line server has written it anew.
    std::string FreshStatus(double seconds) {
        std::error_code ec;
        auto before = fs::last_write_time(StatusPath(), ec);
        WaitFor([&] {
            std::error_code e;
            auto now = fs::last_write_time(StatusPath(), e);
            return !e && (ec || now != before);
        }, seconds);
        std::ifstream in(StatusPath());
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

private:
    fs::path dir_;
    bench::Child sim_, gw_;
    Control control_;
    std::string program_, log_;
    std::vector<std::string> args_;
    std::vector<char*> argv_;
};

// A number after "key": in text from `from` on.
double JsonNumber(const std::string& text, const std::string& key, size_t from = 0) {
    size_t k = text.find("\"" + key + "\"", from);
    if (k == std::string::npos) return 0;
    return std::atof(text.c_str() + text.find(':', k) + 1);
}

// Tag values the scan has read so far: each period's cycles times its tags.
double ValuesScanned(const std::string& status, const std::map<std::pair<int, uint32_t>, double>& tagsPer) {
    double total = 0;
    for (size_t at = status.find("\"period_ms\""); at != std::string::npos;
         at = status.find("\"period_ms\"", at + 1)) {
        size_t open = status.rfind('{', at), close = status.find('}', at);
        std::string object = status.substr(open, close - open);
        auto it = tagsPer.find({static_cast<int>(JsonNumber(object, "station")),
                                static_cast<uint32_t>(JsonNumber(object, "period_ms"))});
        if (it != tagsPer.end()) total += JsonNumber(object, "cycles") * it->second;
    }
    return total;
}

// What a subscriber of the whole edge node and its JSON sees; for the
// latency, it matches each DDATA metric against the value last written into
// that tag's memory.
class PlantSubscriber {
public:
    struct Arrival {
        size_t tag;
        double totalMs;      // from the write into p8sim's memory
        double fromReplyMs;  // from the reply the scan read it in (its timestamp)
        double fromSendMs;   // from the line server's publish (the payload's timestamp)
    };

    explicit PlantSubscriber(int port) {
        m_ = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(m_, [](mosquitto*, void* obj, const mosquitto_message* msg) {
            static_cast<PlantSubscriber*>(obj)->OnMessage(msg);
        });
        mosquitto_connect(m_, "127.0.0.1", port, 30);
        const char* topics[] = {"spBv1.0/bench/#", "vave8/plant/#"};
        for (const char* t : topics) mosquitto_subscribe(m_, nullptr, t, 0);
        mosquitto_loop_start(m_);
    }
    ~PlantSubscriber() {
        mosquitto_disconnect(m_);
        mosquitto_loop_stop(m_, false);
        mosquitto_destroy(m_);
    }

    void Expect(size_t tag, double value, Clock::time_point written) {
        std::lock_guard lock(mutex_);
        probes_[tag] = {value, written};
    }
    bool Pending(size_t tag) {
        std::lock_guard lock(mutex_);
        return probes_.count(tag) != 0;
    }
    size_t PendingCount() {
        std::lock_guard lock(mutex_);
        return probes_.size();
    }
    std::vector<Arrival> Arrivals() {
        std::lock_guard lock(mutex_);
        return arrivals_;
    }
    size_t Births() {
        std::lock_guard lock(mutex_);
        return born_.size();
    }

    std::atomic<uint64_t> messages{0}, ddata{0}, metrics{0}, json{0}, checkpoints{0};

private:
    struct Probe {
        double value;
        Clock::time_point written;
    };

    void OnMessage(const mosquitto_message* msg) {
        auto now = Clock::now();
        int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count();
        messages++;
        std::string topic = msg->topic;
        if (topic.rfind("vave8/", 0) == 0) {
            (topic.size() > 12 && topic.compare(topic.size() - 12, 12, "/_checkpoint") == 0 ? checkpoints : json)++;
            return;
        }
        bool birth = topic.find("/DBIRTH/") != std::string::npos;
        if (!birth && topic.find("/DDATA/") == std::string::npos) return;
        std::vector<mqtt::spb::Command> ms;
        uint64_t sentMs = 0;
        mqtt::spb::Decode(msg->payload, static_cast<size_t>(msg->payloadlen), ms, &sentMs);
        std::lock_guard lock(mutex_);
        if (birth) {
            born_.insert(topic);
            return;
        }
        ddata++;
        metrics += ms.size();
        for (const auto& m : ms) {
            if (!m.alias || !m.number) continue;
            auto it = probes_.find(static_cast<size_t>(*m.alias));
            if (it == probes_.end() || it->second.value != *m.number) continue;
            arrivals_.push_back({it->first, Seconds(now - it->second.written) * 1000,
                                 static_cast<double>(nowMs - static_cast<int64_t>(m.timestampMs)),
                                 static_cast<double>(nowMs - static_cast<int64_t>(sentMs))});
            probes_.erase(it);
        }
    }

    mosquitto* m_;
    std::mutex mutex_;
    std::map<size_t, Probe> probes_;
    std::vector<Arrival> arrivals_;
    std::set<std::string> born_;
};

struct Plant {
    std::string path;
    std::vector<tags::Tag> tags;
    size_t stations = 0;
};

// Writes into p8sim's memory, one at a time, of new values into plain
// uint16 tags picked at random, at the plant's own periods on a paced
// line: when each arrives as DDATA.
int PlantLatency(const Plant& plant, const std::string& bin, const fs::path& dir, int port, uint32_t baud,
                 bool quick) {
    fs::create_directories(dir);
    std::string error;
    PlantRun run;
    if (!WriteMqttConfig(plant.path, dir, port, true, false, 0, error) ||
        !run.Start(bin, dir, {"--pace", std::to_string(baud), "--turnaround", "5"}, error)) {
        std::fprintf(stderr, "vave8mqtt-bench: %s\n", error.c_str());
        return 1;
    }
    PlantSubscriber sub(port);
    if (!WaitFor([&] { return sub.Births() >= plant.stations; }, 60)) {
        std::fprintf(stderr, "vave8mqtt-bench: no births from the line server\n%s", run.LogTail().c_str());
        return 1;
    }
    std::vector<size_t> candidates;
    uint32_t longest = 0;
    for (size_t i = 0; i < plant.tags.size(); ++i) {
        const tags::Tag& t = plant.tags[i];
        longest = std::max(longest, t.scanMs);
        if (t.type == tags::Type::UInt16 && !t.scaled && t.deadband == 0) candidates.push_back(i);
    }
    std::mt19937 random(11);
    const int writes = quick ? 60 : 240;
    const auto gap = std::chrono::milliseconds(125);
    for (int k = 0; k < writes; ++k) {
        size_t tag = candidates[random() % candidates.size()];
        for (int tries = 0; tries < 20 && sub.Pending(tag); ++tries) tag = candidates[random() % candidates.size()];
        if (sub.Pending(tag)) continue;
        const tags::Tag& t = plant.tags[tag];
        uint16_t value = static_cast<uint16_t>(1 + k);
        char line[64];
        std::snprintf(line, sizeof line, "%d:%04X: %02X %02X", t.station, t.byteAddress, value >> 8, value & 0xFF);
        auto written = Clock::now();
        sub.Expect(tag, value, written);
        if (!run.control().Send(line)) {
            std::fprintf(stderr, "vave8mqtt-bench: p8sim refused %s\n", line);
            return 1;
        }
        std::this_thread::sleep_until(written + gap);
    }
    WaitFor([&] { return sub.PendingCount() == 0; }, longest / 1000.0 + 10);
    std::map<uint32_t, std::vector<double>> byPeriod;
    std::vector<double> fromReply, fromSend;
    for (const auto& a : sub.Arrivals()) {
        byPeriod[plant.tags[a.tag].scanMs].push_back(a.totalMs);
        fromReply.push_back(a.fromReplyMs);
        fromSend.push_back(a.fromSendMs);
    }
    std::printf("  change in p8sim's memory to the DDATA at a subscriber (p8sim --pace %u --turnaround 5, "
                "the plant's own periods, %d writes of random uint16 tags 125 ms apart, %zu lost):\n",
                baud, writes, sub.PendingCount());
    for (const auto& [period, ms] : byPeriod)
        std::printf("    period %5u ms: median %6.0f ms (%.2f of the period), p99 %6.0f ms (%.2f), %zu changes\n",
                    period, bench::Percentile(ms, 50), bench::Percentile(ms, 50) / period, bench::Percentile(ms, 99),
                    bench::Percentile(ms, 99) / period, ms.size());
    std::printf("    of which from the reply the scan read it in (its timestamp): median %.0f ms, p99 %.0f ms (the "
                "rest of that station's cycle, whose changes leave together, and what follows);\n"
                "    from the line server's publish (the payload's timestamp): median %.0f ms, p99 %.0f ms "
                "(timestamps in whole ms)\n",
                bench::Percentile(fromReply, 50), bench::Percentile(fromReply, 99), bench::Percentile(fromSend, 50),
                bench::Percentile(fromSend, 99));
    return sub.PendingCount() == 0 ? 0 : 1;
}

// The sum of every "key": number in the text.
double JsonSum(const std::string& text, const std::string& key) {
    double sum = 0;
    for (size_t at = text.find("\"" + key + "\""); at != std::string::npos; at = text.find("\"" + key + "\"", at + 1))
        sum += JsonNumber(text, key, at);
    return sum;
}

// The median of every "key": number in the text.
double JsonMedian(const std::string& text, const std::string& key) {
    std::vector<double> all;
    for (size_t at = text.find("\"" + key + "\""); at != std::string::npos; at = text.find("\"" + key + "\"", at + 1))
        all.push_back(JsonNumber(text, key, at));
    return bench::Percentile(all, 50);
}

// Every tag changing at every read (p8sim inverts what each read asks
// for), the line never idle: what the scan reads against what a subscriber
// gets, over a stretch of whole status-file intervals. Every tag's period
// is 85 % of the full cycle, measured first with periods of 1 ms:
// always due, yet never more than two periods unread (an overdue value
// would be a change of its own).
int PlantThroughput(const Plant& plant, const std::string& bin, const fs::path& dir, const std::string& exe,
                    const std::vector<std::string>& pace, const char* what, bool sparkplug, bool json, bool quick) {
    // A broker of its own: nothing retained or late from another run.
    auto broker = StartBroker(exe, dir);
    if (!broker) return 1;
    const int port = broker->Port();
    // Memory of 55s: floats stay numbers inverted (AA...), bools flip.
    fs::path fill = dir.parent_path() / "fill.txt";
    if (!fs::exists(fill)) {
        std::ofstream out(fill);
        for (int st = 0; st < 16; ++st)
            for (unsigned a = 0; a < 0x8000; a += 16) {
                char line[96];
                std::snprintf(line, sizeof line, "%d:%04X: 55 55 55 55 55 55 55 55 55 55 55 55 55 55 55 55\n", st, a);
                out << line;
            }
    }
    std::vector<std::string> simArgs = pace;
    simArgs.insert(simArgs.end(), {"--invert-on-read", "--load", fill.string()});
    std::string error;
    uint32_t period = 1;
    {
        PlantRun calibration;
        if (!WriteMqttConfig(plant.path, dir, port, sparkplug, json, period, error) ||
            !calibration.Start(bin, dir, simArgs, error)) {
            std::fprintf(stderr, "vave8mqtt-bench: %s\n", error.c_str());
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::seconds(quick ? 3 : 5));
        period = std::max<uint32_t>(1, static_cast<uint32_t>(0.85 * JsonMedian(calibration.FreshStatus(5), "achieved_ms")));
    }
    fs::remove_all(dir / "state");
    PlantRun run;
    if (!WriteMqttConfig(plant.path, dir, port, sparkplug, json, period, error) || !run.Start(bin, dir, simArgs, error)) {
        std::fprintf(stderr, "vave8mqtt-bench: %s\n", error.c_str());
        return 1;
    }
    PlantSubscriber sub(port);
    bool up = sparkplug ? WaitFor([&] { return sub.Births() >= plant.stations; }, 60)
                        : WaitFor([&] { return sub.json >= plant.tags.size(); }, 60);
    if (!up) {
        std::fprintf(stderr, "vave8mqtt-bench: nothing from the line server\n%s", run.LogTail().c_str());
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(quick ? 2 : 3));
    std::map<std::pair<int, uint32_t>, double> tagsPer;
    for (const auto& t : plant.tags) tagsPer[{t.station, period}] += 1;
    struct Mark {
        double scanned, changes, cpu;
        uint64_t messages, metrics, json, ddata, checkpoints;
        Clock::time_point at;
    };
    auto mark = [&] {
        std::string status = run.FreshStatus(5);
        return Mark{ValuesScanned(status, tagsPer), JsonSum(status, "changes"), run.CpuSeconds(), sub.messages, sub.metrics, sub.json,
                    sub.ddata, sub.checkpoints, Clock::now()};
    };
    Mark a = mark();
    std::this_thread::sleep_for(std::chrono::seconds(quick ? 4 : 20));
    Mark b = mark();
    std::string status = run.FreshStatus(5);
    size_t mqttAt = status.find("\"mqtt\"");
    double buffered = mqttAt == std::string::npos ? -1 : JsonNumber(status, "buffered", mqttAt);
    double dropped = mqttAt == std::string::npos ? -1 : JsonNumber(status, "dropped", mqttAt);
    double s = Seconds(b.at - a.at);
    double scanned = (b.scanned - a.scanned) / s;
    double changes = (b.changes - a.changes) / s;
    double got = static_cast<double>(sparkplug ? b.metrics - a.metrics : b.json - a.json) / s;
    std::printf("  %s, every tag's period %u ms: the scan read %.0f tag values/s (%.1f full cycles/s), the engine "
                "passed on %.0f changes/s; the subscriber got %.0f/s (%.2f of them) in %.0f messages/s (%.0f DDATA/s, "
                "%.0f JSON/s, %.0f checkpoints/s); line server CPU %.0f %% of a core; %.0f buffered, %.0f dropped\n",
                what, period, scanned, scanned / static_cast<double>(plant.tags.size()), changes, got,
                changes > 0 ? got / changes : 0,
                static_cast<double>(b.messages - a.messages) / s, static_cast<double>(b.ddata - a.ddata) / s,
                static_cast<double>(b.json - a.json) / s, static_cast<double>(b.checkpoints - a.checkpoints) / s,
                100 * (b.cpu - a.cpu) / s, buffered, dropped);
    return 0;
}

int PlantFigures(const std::string& plantPath, uint32_t baud, const std::string& exe, const fs::path& dir,
                 bool quick) {
    Plant plant;
    plant.path = plantPath;
    const std::string bin = bench::ProgramDir();
    {
        tags::Config config;
        std::string error;
        if (!bench::LoadPlant(plantPath, &config, &error)) {
            std::fprintf(stderr, "vave8mqtt-bench: %s\n", error.c_str());
            return 1;
        }
        plant.tags = std::move(config.tags);
    }
    std::set<int> stations;
    for (const auto& t : plant.tags) stations.insert(t.station);
    plant.stations = stations.size();
    std::printf("\nThe reference plant (%zu tags on %zu stations) through the line server: vave8gw --config with "
                "[mqtt], scanning p8sim through the driver, mosquitto on loopback\n",
                plant.tags.size(), plant.stations);
    std::fflush(stdout);
    auto broker = StartBroker(exe, dir);
    if (!broker) return 1;
    int failures = PlantLatency(plant, bin, dir / "latency", broker->Port(), baud, quick);
    std::fflush(stdout);
    const std::vector<std::string> paced = {"--pace", std::to_string(baud), "--turnaround", "5"};
    const std::string pacedName = "p8sim --pace " + std::to_string(baud) + " --turnaround 5, Sparkplug and JSON";
    broker.reset();
    failures += PlantThroughput(plant, bin, dir / "paced", exe, paced, pacedName.c_str(), true, true, quick);
    std::fflush(stdout);
    failures += PlantThroughput(plant, bin, dir / "fast-sp", exe, {}, "p8sim unpaced, Sparkplug", true, false, quick);
    std::fflush(stdout);
    failures += PlantThroughput(plant, bin, dir / "fast-json", exe, {}, "p8sim unpaced, JSON", false, true, quick);
    return failures;
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::string exe = "/usr/sbin/mosquitto";
    std::string plant;
    uint32_t baud = 115200;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--quick") quick = true;
        else if (a == "--mosquitto" && i + 1 < argc) exe = argv[++i];
        else if (a == "--plant" && i + 1 < argc) plant = argv[++i];
        else if (a == "--baud" && i + 1 < argc) baud = static_cast<uint32_t>(std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: vave8mqtt-bench [--quick] [--mosquitto PATH] [--plant PLANT.toml [--baud N]]\n");
            return 64;
        }
    }
    if (baud < 300) {
        std::fprintf(stderr, "vave8mqtt-bench: --baud %u: too slow for the plant\n", baud);
        return 64;
    }
    mosquitto_lib_init();
    fs::path dir = fs::temp_directory_path() / ("vave8mqtt-bench-" + std::to_string(getpid()));
    auto started = StartBroker(exe, dir);
    if (!started) return 1;
    Broker& broker = *started;
    std::printf("MQTT front-end over the fake tag engine (no serial line), mosquitto on loopback\n");
    int failures = 0;

    // --- latency: one tag changing every 20 ms (a scan period of 20 ms)
    {
        mqtt_test::FakeEngine engine("line1", mqtt_test::SampleTags());
        mqtt::FrontEnd front(engine, MakeConfig(broker.Port(), dir / "lat", true, false), Quiet);
        Subscriber sub(broker.Port(), "spBv1.0/bench/DDATA/#");
        std::string error;
        front.Start(error);
        WaitFor([&] { return front.GetStats().online; }, 10);
        int n = quick ? 100 : 500;
        std::vector<Clock::time_point> sent(static_cast<size_t>(n) + 1);
        std::vector<double> latency;
        std::mutex m;
        sub.onValue = [&](double v, Clock::time_point when) {
            size_t k = static_cast<size_t>(v);
            std::lock_guard lock(m);
            if (k >= 1 && k <= static_cast<size_t>(n)) latency.push_back(Seconds(when - sent[k]) * 1000);
        };
        for (int k = 1; k <= n; ++k) {
            sent[static_cast<size_t>(k)] = Clock::now();
            engine.Cycle({{0, static_cast<double>(k)}});
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        WaitFor([&] { std::lock_guard lock(m); return latency.size() >= static_cast<size_t>(n); }, 10);
        std::lock_guard lock(m);
        std::printf("change to subscriber (Sparkplug DDATA, %zu of %d changes, one every 20 ms): median %.2f ms, "
                    "p99 %.2f ms\n",
                    latency.size(), n, bench::Percentile(latency, 50), bench::Percentile(latency, 99));
        if (latency.size() < static_cast<size_t>(n)) failures++;
        front.Stop();
    }

    // --- sustained messages per second, every tag changing every cycle
    for (bool sparkplug : {true, false}) {
        mqtt_test::FakeEngine engine("line1", ReferencePlant());
        mqtt::FrontEnd front(engine, MakeConfig(broker.Port(), dir / (sparkplug ? "tp-sp" : "tp-js"), sparkplug,
                                                !sparkplug),
                             Quiet);
        Subscriber sub(broker.Port(), sparkplug ? "spBv1.0/bench/DDATA/#" : "vave8/line1/#");
        std::string error;
        front.Start(error);
        WaitFor([&] { return front.GetStats().online; }, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the first snapshot
        uint64_t base = sub.values;
        const size_t tags = engine.Tags().size();
        std::vector<std::pair<size_t, double>> cycle(tags);
        auto start = Clock::now();
        double seconds = quick ? 2 : 5;
        uint64_t cycles = 0, startMessages = sub.messages;
        // At most two cycles ahead of the subscriber: sustained, not queued.
        while (Seconds(Clock::now() - start) < seconds) {
            ++cycles;
            for (size_t i = 0; i < tags; ++i) cycle[i] = {i, static_cast<double>((cycles + i) % 100)};
            engine.Cycle(cycle);
            if (!WaitFor([&] { return sub.values - base + 2 * tags >= cycles * tags; }, 30)) {
                failures++;
                break;
            }
        }
        WaitFor([&] { return sub.values - base >= cycles * tags; }, 30);
        double took = Seconds(Clock::now() - start);
        std::printf("%s, 2000 tags on 16 stations, all changing each cycle: %.1f cycles/s, %.0f messages/s, "
                    "%.0f values/s\n",
                    sparkplug ? "Sparkplug" : "JSON", static_cast<double>(cycles) / took,
                    static_cast<double>(sub.messages - startMessages) / took,
                    static_cast<double>(sub.values - base) / took);
        front.Stop();
    }

    // --- the disk buffer alone: rows written per second, commits once a second
    {
        mqtt::DiskBuffer buffer;
        std::string error;
        buffer.Open((dir / "write.sqlite").string(), 256ull << 20, Quiet, error);
        size_t total = quick ? 100000 : 400000;
        auto start = Clock::now();
        for (size_t done = 0; done < total; done += 2000) {
            std::vector<mqtt::Record> rows(2000);
            uint64_t batch = buffer.NextBatch();
            for (size_t i = 0; i < rows.size(); ++i) {
                rows[i].batch = batch;
                rows[i].tsMs = static_cast<int64_t>(done + i);
                rows[i].tag = "st" + std::to_string(i % 16) + "/tag" + std::to_string(i);
                rows[i].value = static_cast<double>(done + i);
            }
            buffer.Append(rows);
            buffer.Tick();
        }
        buffer.Tick(true);
        double took = Seconds(Clock::now() - start);
        uintmax_t bytes = fs::file_size(dir / "write.sqlite");
        if (fs::exists(dir / "write.sqlite-wal")) bytes += fs::file_size(dir / "write.sqlite-wal");
        std::printf("disk buffer write: %.0f changes/s (%zu changes, %.0f bytes/change on disk)\n",
                    static_cast<double>(total) / took, total,
                    static_cast<double>(bytes) / static_cast<double>(total));
    }

    // --- replay: changes buffered while the broker was away, sent when it is back
    {
        mqtt_test::FakeEngine engine("line1", ReferencePlant());
        mqtt::FrontEnd front(engine, MakeConfig(broker.Port(), dir / "replay", true, false), Quiet);
        Subscriber sub(broker.Port(), "spBv1.0/bench/DDATA/#");
        std::string error;
        front.Start(error);
        WaitFor([&] { return front.GetStats().online; }, 10);
        broker.Stop();
        WaitFor([&] { return !front.GetStats().connected; }, 10);
        const size_t tags = engine.Tags().size();
        size_t cycles = quick ? 25 : 100;
        std::vector<std::pair<size_t, double>> cycle(tags);
        for (size_t c = 0; c < cycles; ++c) {
            for (size_t i = 0; i < tags; ++i) cycle[i] = {i, static_cast<double>(c)};
            engine.Cycle(cycle);
        }
        uint64_t total = cycles * tags;
        WaitFor([&] { return front.GetStats().buffered >= total; }, 30);
        broker.Start();
        Subscriber after(broker.Port(), "spBv1.0/bench/DDATA/#");
        auto start = Clock::now();
        bool all = WaitFor([&] { return front.GetStats().buffered == 0 && after.values >= total; }, 120);
        double took = Seconds(Clock::now() - start);
        std::printf("disk buffer replay to the broker: %.0f changes/s (%llu changes%s, reconnect included)\n",
                    static_cast<double>(total) / took, static_cast<unsigned long long>(total),
                    all ? "" : ", NOT ALL ARRIVED");
        if (!all) failures++;
        front.Stop();
    }
    broker.Stop();
    std::fflush(stdout);
    if (!plant.empty()) failures += PlantFigures(plant, baud, exe, dir / "plant", quick);
    // What went wrong is in the logs there.
    if (failures) std::fprintf(stderr, "vave8mqtt-bench: %d parts failed; their files are in %s\n", failures, dir.c_str());
    else fs::remove_all(dir);
    return failures ? 1 : 0;
}
