// vave8mqtt-bench: the MQTT front-end's figures against Debian's mosquitto
// on loopback, over the test's fake tag engine (values set in memory, no
// serial line):
//   - a change to the message at a subscriber (Sparkplug DDATA), median and p99;
//   - messages per second sustained with every tag of a 16-station,
//     2,000-tag plant changing every cycle (Sparkplug, then JSON);
//   - the disk buffer's write rate, and its replay rate to the broker.
// Usage: vave8mqtt-bench [--quick] [--mosquitto PATH]
#include <mosquitto.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/mqtt/buffer.h"
#include "gateway/mqtt/frontend.h"
#include "gateway/mqtt/sparkplug.h"
#include "tests/mqtt/fake_engine.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    close(s);
    return ntohs(a.sin_port);
}

bool CanConnect(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

class Broker {
public:
    Broker(std::string exe, fs::path dir) : exe_(std::move(exe)), dir_(std::move(dir)), port_(FreePort()) {
        std::ofstream(dir_ / "mosquitto.conf") << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n"
                                               << "max_queued_messages 0\nlog_dest none\n";
    }
    ~Broker() { Stop(); }
    bool Start() {
        std::string conf = (dir_ / "mosquitto.conf").string();
        const char* argv[] = {exe_.c_str(), "-c", conf.c_str(), nullptr};
        if (posix_spawn(&pid_, exe_.c_str(), nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return false;
        for (int i = 0; i < 200; ++i) {
            if (CanConnect(port_)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return false;
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

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t rank = static_cast<size_t>(std::ceil(p / 100 * static_cast<double>(v.size())));
    return v[std::clamp<size_t>(rank, 1, v.size()) - 1];
}

void Quiet(const std::string&) {}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::string exe = "/usr/sbin/mosquitto";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--quick") quick = true;
        else if (a == "--mosquitto" && i + 1 < argc) exe = argv[++i];
        else {
            std::fprintf(stderr, "usage: vave8mqtt-bench [--quick] [--mosquitto PATH]\n");
            return 64;
        }
    }
    mosquitto_lib_init();
    fs::path dir = fs::temp_directory_path() / ("vave8mqtt-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::all);  // a broker started as root runs as its own user
    Broker broker(exe, dir);
    if (!broker.Start()) {
        std::fprintf(stderr, "vave8mqtt-bench: cannot start %s\n", exe.c_str());
        return 1;
    }
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
                    latency.size(), n, Percentile(latency, 50), Percentile(latency, 99));
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
    fs::remove_all(dir);
    return failures ? 1 : 0;
}
