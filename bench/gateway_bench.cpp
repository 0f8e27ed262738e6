// vave8gw-bench: reads of 125 registers per second through the Modbus TCP
// gateway, beside the same BlockRead done directly through NuvMain, in one
// run on unpaced pseudo-terminals, and the latency the gateway adds.
//
// Two simulated PLCs (the driver opens its port exclusively, so the gateway
// and the direct host each have their own line); the gateway and the
// simulators are child processes; the Modbus clients are libmodbus's. The
// kinds alternate in short rounds so that all of them see the same load.
#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bench/measure.h"
#include "driver/records.h"
#include "hostsvc/hostsvc.h"
#include "hostsvc/module_loader.h"

namespace {

constexpr int kRegisters = 125;
constexpr int kStation = 3;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " / " + b + " / " + c;
}

struct Child {
    pid_t pid = -1;
    int out = -1;  // the stream its ready line comes on

    // Runs the program; `fromStderr` picks the stream that is read.
    bool Start(const std::vector<std::string>& args, bool fromStderr) {
        int fds[2];
        if (pipe(fds) != 0) return false;
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(fds[1], fromStderr ? 2 : 1);
            close(fds[0]);
            close(fds[1]);
            std::vector<char*> argv;
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        out = fds[0];
        return pid > 0;
    }

    // The next line that contains `marker` (bounded by the child's output).
    std::string LineWith(const char* marker) {
        std::string line;
        char ch = 0;
        while (read(out, &ch, 1) == 1) {
            if (ch != '\n') {
                line += ch;
                continue;
            }
            if (line.find(marker) != std::string::npos) return line;
            line.clear();
        }
        return "";
    }

    // Keeps reading so the child never blocks on a full pipe.
    void Drain() {
        std::thread([fd = out] {
            char buffer[4096];
            while (read(fd, buffer, sizeof buffer) > 0) {
            }
        }).detach();
    }

    void Stop() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
    }
    ~Child() { Stop(); }
};

struct Direct {
    hostlib::LoadedModule module;
    std::vector<uint8_t> storage;
    GateParse parse{};
    alignas(8) uint8_t values[2 * kRegisters + 8] = {};
    std::string address = "0340000";

    int32_t Call(uint32_t function, void* args) {
        NuvCall call{};
        call.instance =
            storage.empty() ? nullptr : reinterpret_cast<DriverInstance*>(storage.data());
        call.function = function;
        call.args = args;
        return module.entry(&call);
    }

    bool Start(const std::string& path, const std::string& pty, std::string* error) {
        if (!hostlib::LoadModule(path, &module, error)) return false;
        NuvInfo info{};
        if (Call(FN_GET_NUV_INFO, &info) != NUV_OK) return false;
        storage.assign(
            std::max<size_t>(static_cast<size_t>(info.instanceSize), sizeof(DriverInstance)), 0);
        StartParams start{};
        std::snprintf(start.portName, sizeof start.portName, "%s",
                      pty.c_str() + 5);  // past "/dev/"
        start.openFlag = 1;
        start.timeoutTicks = 100;
        start.line = LineParams{9600, 8, 0, 2};
        if (Call(FN_COLD_START, &start) != NUV_OK) {
            *error = "ColdStart failed on " + pty;
            return false;
        }
        return true;
    }

    // The gate through its parser every time, as the gateway does.
    bool Read() {
        parse = GateParse{};
        parse.address = address.c_str();
        parse.blockSize = kRegisters;
        parse.bitNumber = -1;
        if (Call(FN_BLOCK_ADDRESS_PARSER, &parse) != NUV_OK) return false;
        GateTransfer t = hostlib::MakeTransfer(parse, kRegisters, values);
        return Call(FN_BLOCK_READ, &t) == NUV_OK;
    }

    ~Direct() {
        if (!storage.empty()) Call(FN_END_NUV, nullptr);
        hostlib::UnloadModule(&module);
    }
};

uint16_t Expected(int i) {
    return static_cast<uint16_t>(0x0101 * (i + 1));
}

double SelfCpu() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// CPU taken by the parties of a run: this process, the gateway, the simulator.
struct Cpu {
    double self = 0, gateway = 0, simulator = 0;
};

Cpu CpuNow(pid_t gateway, pid_t simulator) {
    return Cpu{SelfCpu(), gateway > 0 ? bench::ProcessCpuSeconds(gateway) : 0, bench::ProcessCpuSeconds(simulator)};
}

struct Figures {
    Cpu cpu;
    uint64_t reads = 0;
    uint64_t wrong = 0;
    double seconds = 0;
    std::vector<double> latencies;
    double PerSecond() const { return seconds > 0 ? static_cast<double>(reads) / seconds : 0; }
};

void RunDirect(Direct& d, double seconds, Figures* f) {
    const double start = Now();
    double now = start;
    while (now - start < seconds) {
        const double before = Now();
        bool ok = d.Read();
        now = Now();
        for (int i = 0; ok && i < kRegisters; ++i) {
            ok = (d.values[2 * i] | d.values[2 * i + 1] << 8) == Expected(i);
        }
        f->latencies.push_back(now - before);
        ++f->reads;
        if (!ok) ++f->wrong;
    }
    f->seconds += now - start;
}

// `clients` libmodbus connections, each reading as fast as it is answered.
void RunGateway(int port, int clients, double seconds, Figures* f) {
    std::vector<Figures> each(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    const double start = Now() + 0.05;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            Figures& mine = each[static_cast<size_t>(c)];
            modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
            if (ctx == nullptr || modbus_connect(ctx) != 0) {
                mine.wrong = 1;
                if (ctx != nullptr) modbus_free(ctx);
                return;
            }
            modbus_set_slave(ctx, kStation);
            modbus_set_response_timeout(ctx, 5, 0);
            uint16_t values[kRegisters];
            std::this_thread::sleep_for(
                std::chrono::duration<double>(std::max(0.0, start - Now())));
            double now = Now();
            while (now - start < seconds) {
                const double before = Now();
                bool ok = modbus_read_registers(ctx, 0, kRegisters, values) == kRegisters;
                now = Now();
                for (int i = 0; ok && i < kRegisters; ++i) ok = values[i] == Expected(i);
                mine.latencies.push_back(now - before);
                ++mine.reads;
                if (!ok) ++mine.wrong;
            }
            mine.seconds = now - start;
            modbus_close(ctx);
            modbus_free(ctx);
        });
    }
    for (std::thread& t : threads) t.join();
    double longest = 0;
    for (const Figures& e : each) {
        f->reads += e.reads;
        f->wrong += e.wrong;
        f->latencies.insert(f->latencies.end(), e.latencies.begin(), e.latencies.end());
        longest = std::max(longest, e.seconds);
    }
    f->seconds += longest;
}

// The floor under any Modbus TCP gateway: a libmodbus server in a child
// process answering the same read from memory, with no line behind it.
pid_t StartBareServer(int* port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    *port = ntohs(address.sin_port);
    const pid_t pid = fork();
    if (pid != 0) {
        close(fd);
        return pid;
    }
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", 0);
    modbus_mapping_t* map = modbus_mapping_new(0, 0, kRegisters, 0);
    for (int i = 0; i < kRegisters; ++i) map->tab_registers[i] = Expected(i);
    for (;;) {
        const int client = accept(fd, nullptr, nullptr);
        if (client < 0) _exit(0);
        const int on = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        modbus_set_socket(ctx, client);
        uint8_t request[MODBUS_TCP_MAX_ADU_LENGTH];
        int n = 0;
        while ((n = modbus_receive(ctx, request)) > 0) modbus_reply(ctx, request, n, map);
        close(client);
    }
}

std::string Beside(const char* self, const char* name) {
    const std::string path = self;
    const size_t slash = path.rfind('/');
    return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/" + name;
}

}  // namespace

int main(int argc, char** argv) {
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        std::snprintf(self, sizeof self, "%s", argv[0]);
    double roundSeconds = 1.0;
    int rounds = 4;
    int clients = 4;
    std::string pace;  // empty: unpaced
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--round-seconds") roundSeconds = std::atof(argv[i + 1]);
        if (option == "--rounds") rounds = std::atoi(argv[i + 1]);
        if (option == "--clients") clients = std::atoi(argv[i + 1]);
        if (option == "--pace") pace = argv[i + 1];
    }
    if (roundSeconds <= 0 || rounds < 1 || clients < 1 || clients > 32) {
        std::fprintf(
            stderr,
            "usage: vave8gw-bench [--round-seconds S] [--rounds N] [--clients N] [--pace BAUD]\n");
        return 64;
    }
    hostsvc_set_sink([](void*, int, const char*) {}, nullptr);
    const std::string simulator = Beside(self, "p8sim");
    const std::string gateway = Beside(self, "vave8gw");
    const std::string module = Beside(self, "libvave8.so");

    // Both lines hold the same words, so every read is checked.
    char image[] = "/tmp/vave8gw-bench-XXXXXX";
    const int fd = mkstemp(image);
    if (fd < 0) return 2;
    std::string text;
    for (int i = 0; i < kRegisters; ++i) {
        char row[32];
        std::snprintf(row, sizeof row, "%d:%04X: %02X %02X\n", kStation, 2 * i, Expected(i) >> 8,
                      Expected(i) & 0xFF);
        text += row;
    }
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return 2;
    close(fd);

    const std::string loadBefore = LoadAverage();
    Child simA, simB, gw;
    std::vector<std::string> simArgs = {simulator, "--stations", "0-7", "--load", image};
    if (!pace.empty()) simArgs.insert(simArgs.end(), {"--pace", pace});
    simA.Start(simArgs, false);
    simB.Start(simArgs, false);
    const std::string ptyA = simA.LineWith("/dev/");
    const std::string ptyB = simB.LineWith("/dev/");
    unlink(image);
    if (ptyA.empty() || ptyB.empty()) {
        std::fprintf(stderr, "vave8gw-bench: the simulator did not start (%s)\n",
                     simulator.c_str());
        return 2;
    }
    gw.Start({gateway, "--port", ptyA, "--listen", "127.0.0.1:0", "--stats-interval", "0"}, true);
    const std::string ready = gw.LineWith(" on 127.0.0.1:");
    if (ready.empty()) {
        std::fprintf(stderr, "vave8gw-bench: the gateway did not start (%s)\n", gateway.c_str());
        return 2;
    }
    gw.Drain();
    const int port = std::atoi(ready.c_str() + ready.rfind(':') + 1);
    Direct direct;
    std::string error;
    if (!direct.Start(module, ptyB, &error)) {
        std::fprintf(stderr, "vave8gw-bench: %s\n", error.c_str());
        return 2;
    }

    int barePort = 0;
    Child bareServer;
    bareServer.pid = StartBareServer(&barePort);
    if (bareServer.pid < 0) return 2;
    Figures d, g1, gn, bare;
    RunDirect(direct, 0.2, &d);  // warm-up, not counted
    RunGateway(port, 1, 0.2, &g1);
    d = g1 = Figures{};
    const auto measured = [&](Figures* f, auto&& run) {
        const pid_t server = f == &d ? -1 : f == &bare ? bareServer.pid : gw.pid;
        const pid_t line = f == &d ? simB.pid : f == &bare ? -1 : simA.pid;
        const Cpu before = CpuNow(server, line);
        run();
        const Cpu after = CpuNow(server, line);
        f->cpu.self += after.self - before.self;
        f->cpu.gateway += after.gateway - before.gateway;
        f->cpu.simulator += after.simulator - before.simulator;
    };
    for (int r = 0; r < rounds; ++r) {
        measured(&d, [&] { RunDirect(direct, roundSeconds, &d); });
        measured(&g1, [&] { RunGateway(port, 1, roundSeconds, &g1); });
        measured(&gn, [&] { RunGateway(port, clients, roundSeconds, &gn); });
        measured(&bare, [&] { RunGateway(barePort, 1, roundSeconds, &bare); });
    }
    const std::string loadAfter = LoadAverage();

    std::printf(
        "Reads of %d registers (one 250-byte BlockRead each), simulator %s%s,\n"
        "%d rounds of %.1f s per kind; load average %s at the start, %s at the end\n\n",
        kRegisters, pace.empty() ? "unpaced" : "paced at ", pace.c_str(), rounds, roundSeconds,
        loadBefore.c_str(), loadAfter.c_str());
    std::printf("  %-30s %8s %8s %9s %8s %6s   %s\n", "", "reads", "reads/s", "median ms", "p99 ms",
                "wrong", "CPU us a read: host/clients server simulator");
    const auto row = [](const char* name, const Figures& f) {
        const double n = f.reads > 0 ? static_cast<double>(f.reads) / 1e6 : 1;
        std::printf("  %-30s %8llu %8.0f %9.3f %8.3f %6llu   %8.1f %8.1f %8.1f\n", name,
                    static_cast<unsigned long long>(f.reads), f.PerSecond(),
                    bench::Percentile(f.latencies, 50) * 1e3,
                    bench::Percentile(f.latencies, 99) * 1e3,
                    static_cast<unsigned long long>(f.wrong), f.cpu.self / n, f.cpu.gateway / n,
                    f.cpu.simulator / n);
    };
    row("BlockRead through NuvMain", d);
    row("gateway, 1 client", g1);
    char name[64];
    std::snprintf(name, sizeof name, "gateway, %d clients at once", clients);
    row(name, gn);
    row("libmodbus server, no line", bare);
    const double ratio = gn.PerSecond() / d.PerSecond();
    const double ratio1 = g1.PerSecond() / d.PerSecond();
    std::printf(
        "\n  gateway reads/s / direct reads/s   %.3f with %d clients (target >= 0.9: %s), "
        "%.3f with 1\n",
        ratio, clients, ratio >= 0.9 ? "ok" : "MISSED", ratio1);
    std::printf("  latency the gateway adds (1 client)  median %.3f ms, p99 %.3f ms\n",
                (bench::Percentile(g1.latencies, 50) - bench::Percentile(d.latencies, 50)) * 1e3,
                (bench::Percentile(g1.latencies, 99) - bench::Percentile(d.latencies, 99)) * 1e3);
    std::printf("  a bare libmodbus TCP round trip (no line at all) / direct reads/s   %.3f\n",
                bare.PerSecond() / d.PerSecond());
    const bool right = d.wrong == 0 && g1.wrong == 0 && gn.wrong == 0 && bare.wrong == 0;
    std::printf("  every read answered with the PLC's words  %s\n", right ? "yes" : "NO");
    return right ? 0 : 1;
}
