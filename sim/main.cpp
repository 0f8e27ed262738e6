// p8sim: a line of simulated P8 stations on a pseudo-terminal or serial port.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim.h"

namespace {

const char kUsage[] =
    "usage: p8sim [options]\n"
    "\n"
    "Simulates P8 stations 0..15 on one serial line. With no --device it opens a\n"
    "fresh pseudo-terminal and prints its slave path (e.g. /dev/pts/7) as the\n"
    "first line on stdout; point the driver at that path.\n"
    "\n"
    "Line:\n"
    "  --device PATH          serve this serial device instead of a pty\n"
    "  --baud N               device speed (default 9600)\n"
    "  --parity N|E|O         device parity (default E; 8 data bits, 1 stop bit)\n"
    "  --pace BAUD            send replies no faster than BAUD (11 bits a character)\n"
    "  --stations LIST        stations that answer, e.g. 0-3,7 (default 0-15)\n"
    "  --frame-gap MS         drop a frame cut off for this long (default 1000)\n"
    "  --turnaround MS        hold every reply back this long (a PLC's answer time)\n"
    "  --invert-on-read       every read inverts the bytes it asks for first, so\n"
    "                         every value changes at every read (load testing)\n"
    "\n"
    "Memory (per station 32 KiB; byte address = nibble address / 2):\n"
    "  --load FILE            load an image at start: lines \"station:byteaddr: hex bytes\"\n"
    "  --dump FILE            write the image on exit, in the same format\n"
    "  --control SOCKET       a unix socket taking lines while running: memory lines\n"
    "                         as --load, \"fault SCRIPT\", \"stations LIST\"; each\n"
    "                         answered \"ok\" or \"error: why\"\n"
    "\n"
    "Faults:\n"
    "  --fault SCRIPT         e.g. \"3:error=0x0C,1:silence,*:crc@5\" (may repeat)\n"
    "  --fault-file FILE      a script, one entry per line, '#' comments\n"
    "  --random RATE          a random fault for this share of requests (0..1)\n"
    "  --seed N               seed of the random faults (default 1)\n"
    "  --random-kinds LIST    faults to draw from, e.g. \"silence,crc,late=300\"\n"
    "                         (default: every kind with its default parameter)\n"
    "  Kinds: ok silence error[=CODE] unknown[=TYPE] crc garbage[=N|=xHEX] lonestart\n"
    "         empty short[=N] split[=MS] wrongtype undoubled late[=MS] taken\n"
    "  Entry: [N:|*:]KIND[=PARAM[-MAX]][@STATION][@read|@write]; N counts requests\n"
    "  from 1, * applies to every request, no prefix queues it for the next matching\n"
    "  one; PARAM-MAX draws the parameter anew for each request (late=0-2000).\n"
    "\n"
    "Ending and output:\n"
    "  --exit-after-requests N  stop after N requests\n"
    "  --idle-exit SECONDS      stop after this long without input\n"
    "  --trace                  one line per frame on stderr, with a timestamp\n"
    "  --log FILE               the same lines into FILE\n"
    "  --stats                  counters on stderr at exit\n"
    "  --help                   this text\n"
    "  --version                the version of p8sim\n"
    "\n"
    "Stops on SIGINT or SIGTERM. The reply and fault details are in\n"
    "/usr/share/doc/vave8/sim/README.md where the package is installed\n"
    "(sim/README.md in the source tree).\n";

p8sim::Simulator* g_sim = nullptr;

void OnSignal(int) {
    if (g_sim) g_sim->RequestStop();
}

bool ReadFile(const std::string& path, std::string& out) {
    std::ifstream in(path);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool ParseUnsigned(const char* s, uint64_t& out) {
    if (!s || !*s) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(s, &end, 0);
    if (errno != 0 || *end != '\0' || s[0] == '-') return false;
    out = v;
    return true;
}

// "0-3,7" or "all".
bool ParseStations(const std::string& text, uint16_t& mask) {
    if (text == "all") {
        mask = 0xFFFF;
        return true;
    }
    mask = 0;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) {
        unsigned lo, hi;
        char dash;
        std::istringstream is(item);
        if (!(is >> lo)) return false;
        hi = lo;
        if (is >> dash) {
            if (dash != '-' || !(is >> hi)) return false;
        }
        std::string rest;
        if (is >> rest) return false;
        if (lo > hi || hi > 15) return false;
        for (unsigned s = lo; s <= hi; ++s) mask = static_cast<uint16_t>(mask | (1u << s));
    }
    return true;
}

void PrintStats(const p8sim::Counters& c) {
    std::fprintf(stderr,
                 "p8sim: requests %llu (ignored %llu), replies %llu, writes applied %llu, "
                 "PLC errors %llu, CRC errors %llu, framing errors %llu, bytes dropped %llu\n",
                 (unsigned long long)c.requests_seen, (unsigned long long)c.requests_ignored,
                 (unsigned long long)c.replies_sent, (unsigned long long)c.writes_applied,
                 (unsigned long long)c.plc_errors, (unsigned long long)c.crc_errors,
                 (unsigned long long)c.framing_errors, (unsigned long long)c.bytes_dropped);
    if (c.FaultsTotal() == 0) return;
    std::fprintf(stderr, "p8sim: faults");
    for (size_t k = 1; k < p8sim::kFaultKinds; ++k) {
        if (c.faults[k] == 0) continue;
        std::fprintf(stderr, " %s %llu", p8sim::FaultName(static_cast<p8sim::FaultKind>(k)),
                     (unsigned long long)c.faults[k]);
    }
    std::fprintf(stderr, "\n");
}

// One line of the control socket; "ok" or "error: ...".
std::string Control(p8sim::Simulator& sim, const std::string& line) {
    std::string err;
    if (line.rfind("fault ", 0) == 0) {
        return sim.AddFaults(line.substr(6), &err) ? "ok" : "error: " + err;
    }
    if (line.rfind("stations ", 0) == 0) {
        uint16_t mask = 0;
        if (!ParseStations(line.substr(9), mask)) return "error: stations needs a list such as 0-3,7";
        sim.SetPresent(mask);
        return "ok";
    }
    std::istringstream in(line);
    return sim.LoadMemoryText(in, "control", &err) ? "ok" : "error: " + err;
}

// Serves the control socket, one client at a time, until `stop` is readable.
class ControlServer {
public:
    bool Open(const std::string& path, std::string* error) {
        sockaddr_un addr{};
        if (path.size() >= sizeof addr.sun_path) {
            *error = "--control: socket path too long";
            return false;
        }
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size());
        // Only a stale socket is taken over, never another kind of file.
        struct stat st{};
        if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) unlink(path.c_str());
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const mode_t old = umask(077);
        const bool bound = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        umask(old);
        if (!bound || listen(fd_, 4) != 0 || pipe(stop_) != 0) {
            *error = "--control " + path + ": " + std::strerror(errno);
            return false;
        }
        path_ = path;
        return true;
    }

    void Run(p8sim::Simulator& sim) {
        thread_ = std::thread([this, &sim] {
            while (true) {
                pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
                if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
                if (fds[1].revents) return;
                if (!(fds[0].revents & POLLIN)) continue;
                const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0) continue;
                Serve(sim, client);
                close(client);
            }
        });
    }

    ~ControlServer() {
        if (thread_.joinable()) {
            const char byte = 0;
            const ssize_t woke = write(stop_[1], &byte, 1);
            (void)woke;  // a full pipe wakes the thread as well
            thread_.join();
        }
        if (fd_ >= 0) close(fd_);
        for (int fd : stop_) {
            if (fd >= 0) close(fd);
        }
        if (!path_.empty()) unlink(path_.c_str());
    }

private:
    void Serve(p8sim::Simulator& sim, int client) {
        std::string pending;
        char buf[4096];
        while (true) {
            pollfd fds[2] = {{client, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
            if (fds[1].revents) return;
            const ssize_t n = read(client, buf, sizeof buf);
            if (n <= 0) return;
            pending.append(buf, static_cast<size_t>(n));
            // A client that never ends a line gets no unbounded buffer.
            if (pending.size() > (1u << 20)) return;
            size_t eol;
            while ((eol = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                const std::string answer = Control(sim, line) + "\n";
                if (send(client, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) return;
            }
        }
    }

    int fd_ = -1;
    int stop_[2] = {-1, -1};
    std::string path_;
    std::thread thread_;
};

int Fail(const std::string& msg) {
    std::fprintf(stderr, "p8sim: %s\n", msg.c_str());
    return 2;
}

// A bad command line: exit 64, as the other programs of the project.
int Usage(const std::string& msg) {
    std::fprintf(stderr, "p8sim: %s (try --help)\n", msg.c_str());
    return 64;
}

// A whole number in lo..hi, named with its range when it is not one.
bool Number(const char* v, uint64_t lo, uint64_t hi, uint64_t& out) {
    return ParseUnsigned(v, out) && out >= lo && out <= hi;
}

std::string Range(const char* option, const char* v, const char* range) {
    return std::string(option) + ": '" + (v ? v : "") + "' is not " + range;
}

}  // namespace

int main(int argc, char** argv) {
    p8sim::Options opt;
    std::string device, load, dump, log_path;
    std::string faults;
    p8sim::DeviceSettings dev;
    double rate = 0;
    uint64_t seed = 1;
    std::vector<p8sim::Fault> pool;
    bool trace = false, stats = false;
    uint16_t present = 0xFFFF;
    uint32_t pace = 0;
    uint32_t turnaround = 0;
    bool invert = false;
    std::string control;

    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        // A value that is itself an option means the value was left out.
        auto value = [&](const char** out) {
            if (i + 1 >= argc) return false;
            if (std::strncmp(argv[i + 1], "--", 2) == 0 && argv[i + 1][2] != '\0') return false;
            *out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        uint64_t n = 0;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("p8sim %s\n", VAVE8_VERSION);
            return 0;
        } else if (a == "--trace") {
            trace = true;
        } else if (a == "--stats") {
            stats = true;
        } else if (a == "--device") {
            if (!value(&v)) return Usage("--device needs a path");
            device = v;
        } else if (a == "--baud") {
            if (!value(&v) || !Number(v, 1, 4000000, n)) {
                return Usage(Range("--baud", v, "a rate in 1..4000000"));
            }
            dev.baud = static_cast<uint32_t>(n);
        } else if (a == "--parity") {
            if (!value(&v) || std::strlen(v) != 1 || !std::strchr("NEOneo", v[0])) {
                return Usage("--parity needs N, E or O");
            }
            dev.parity = v[0];
        } else if (a == "--pace") {
            if (!value(&v) || !Number(v, 0, 4000000, n)) {
                return Usage(Range("--pace", v, "a baud rate in 0..4000000 (0: no pacing)"));
            }
            pace = static_cast<uint32_t>(n);
        } else if (a == "--turnaround") {
            if (!value(&v) || !ParseUnsigned(v, n) || n > 60000)
                return Fail("--turnaround needs ms 0..60000");
            turnaround = static_cast<uint32_t>(n);
        } else if (a == "--invert-on-read") {
            invert = true;
        } else if (a == "--control") {
            if (!value(&v) || !*v) return Fail("--control needs a socket path");
            control = v;
        } else if (a == "--stations") {
            if (!value(&v) || !ParseStations(v, present)) {
                return Usage("--stations needs a list of stations 0..15 such as 0-3,7");
            }
        } else if (a == "--frame-gap") {
            if (!value(&v) || !Number(v, 1, 600000, n)) {
                return Usage(Range("--frame-gap", v, "a number of ms in 1..600000"));
            }
            opt.frame_gap_ms = static_cast<uint32_t>(n);
        } else if (a == "--load") {
            if (!value(&v)) return Usage("--load needs a file");
            load = v;
        } else if (a == "--dump") {
            if (!value(&v)) return Usage("--dump needs a file");
            dump = v;
        } else if (a == "--fault") {
            if (!value(&v)) return Usage("--fault needs a script");
            faults += std::string(v) + "\n";
        } else if (a == "--fault-file") {
            std::string text;
            if (!value(&v) || !ReadFile(v, text)) return Fail("--fault-file needs a readable file");
            faults += text + "\n";
        } else if (a == "--random") {
            char* end = nullptr;
            if (!value(&v)) return Usage("--random needs a rate in 0..1");
            rate = std::strtod(v, &end);
            if (*v == '\0' || *end != '\0' || !(rate >= 0 && rate <= 1)) {
                return Usage(Range("--random", v, "a rate in 0..1"));
            }
        } else if (a == "--seed") {
            if (!value(&v) || !ParseUnsigned(v, seed)) {
                return Usage(Range("--seed", v, "a whole number in 0..18446744073709551615"));
            }
        } else if (a == "--random-kinds") {
            std::vector<p8sim::ScriptEntry> entries;
            std::string err;
            if (!value(&v)) return Usage("--random-kinds needs a list");
            if (!p8sim::ParseFaultScript(v, entries, &err)) return Usage(err);
            for (const auto& e : entries) {
                if (e.when != p8sim::ScriptEntry::kNext) {
                    return Usage("--random-kinds takes faults without a request number");
                }
                pool.push_back(e.fault);
            }
        } else if (a == "--exit-after-requests") {
            if (!value(&v) || !Number(v, 1, UINT64_MAX, n)) {
                return Usage(Range("--exit-after-requests", v, "a count of 1 or more"));
            }
            opt.exit_after_requests = n;
        } else if (a == "--idle-exit") {
            if (!value(&v) || !Number(v, 1, 86400, n)) {
                return Usage(Range("--idle-exit", v, "a number of seconds in 1..86400"));
            }
            opt.idle_exit_ms = static_cast<uint32_t>(n * 1000);
        } else if (a == "--log") {
            if (!value(&v)) return Usage("--log needs a file");
            log_path = v;
        } else {
            return Usage("unknown option " + a);
        }
    }

    FILE* log = nullptr;
    if (!log_path.empty()) {
        log = std::fopen(log_path.c_str(), "w");
        if (!log) return Fail("cannot write " + log_path);
    }
    const auto t0 = std::chrono::steady_clock::now();
    if (trace || log) {
        opt.trace = [t0, trace, log](const std::string& line) {
            const double t =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            if (trace) std::fprintf(stderr, "[%10.3f] %s\n", t, line.c_str());
            if (log) {
                std::fprintf(log, "[%10.3f] %s\n", t, line.c_str());
                std::fflush(log);
            }
        };
    }

    p8sim::Simulator sim(opt);
    sim.SetPresent(present);
    sim.SetPaceBaud(pace);
    sim.SetTurnaround(turnaround);
    sim.SetInvertOnRead(invert);
    std::string err;
    if (!load.empty() && !sim.LoadMemory(load, &err)) return Fail(err);
    if (!faults.empty() && !sim.AddFaults(faults, &err)) return Usage(err);
    if (rate > 0 || !pool.empty()) sim.SetRandomFaults(rate, seed, pool);

    const bool opened = device.empty() ? sim.OpenPty(&err) : sim.OpenDevice(device, dev, &err);
    if (!opened) return Fail(err);
    ControlServer controlServer;
    if (!control.empty()) {
        if (!controlServer.Open(control, &err)) return Fail(err);
        controlServer.Run(sim);
    }

    g_sim = &sim;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::printf("%s\n", sim.Path().c_str());
    std::fflush(stdout);

    const int rc = sim.Serve();
    g_sim = nullptr;
    sim.Stop();

    if (!dump.empty() && !sim.DumpMemory(dump, &err)) {
        std::fprintf(stderr, "p8sim: %s\n", err.c_str());
        return 1;
    }
    if (stats) PrintStats(sim.GetCounters());
    if (log) std::fclose(log);
    return rc;
}
