// vave8gw: a Modbus TCP server in front of one serial line of P8 PLCs. It
// loads the driver module as a host does and reaches the PLCs only through
// NuvMain, from one thread; the network side runs in another.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <poll.h>

#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#ifdef VAVE8_OPCUA
#include "gateway/opcua/server.h"
#include "gateway/opcua/users.h"
#include "gateway/opcua/write_wait.h"
#endif
#include "gateway/line.h"
#include "gateway/modbus/queue.h"
#include "gateway/modbus/reply.h"
#include "gateway/line_server.h"
#include "gateway/modbus/server.h"
#include "host/line_guard.h"
#include "host/line_loop.h"
#include "gateway/mqtt/frontend.h"
#include "tags/config.h"
#include "tags/scanner.h"
#include "tools/format.h"
#include "tools/options.h"
#include "tools/port_check.h"

#ifndef VAVE8_VERSION
#define VAVE8_VERSION "unknown"
#endif

namespace {

using namespace vave8gw;

constexpr int kUsage = 64;

struct Settings {
    vave8ctl::ConnectionOptions connection;
    std::string listen = "127.0.0.1:1502";
    double deadBackoff = 5;
    ServerSettings server;
    std::string config;      // the line server's file: tags scanned, Modbus if it says so
    std::string statusFile;  // JSON rewritten every stats interval
    std::string stateDir;    // the OPC UA certificates' parent; default /var/lib/vave8gw/<line>
    bool help = false;
    bool version = false;
};

const char* kHelp = R"(vave8gw - Modbus TCP gateway to the P8 PLCs on one serial line

Usage: vave8gw --port NAME [OPTIONS]
       vave8gw --config FILE [OPTIONS]

Mapping (unit identifier = P8 station 0..15; other units: exception 0x0A):
  holding registers (3 read, 6 write one, 16 write several) and input
  registers (4): register r is the word at nibble address 4*r, r 0..16383;

  coils (1 read, 5 write one, 15 write several) and discrete inputs (2):
  coil c is bit c mod 8 (0 least significant) of byte c div 8, c 0..65535

Line server:
  --config FILE          TOML file with [line], [tags] and, to serve Modbus
                         too, [modbus]; the tags are scanned once for every
                         consumer. Options given here override the file's
  --status-file PATH     JSON of every station, period and tag, replaced
                         every --stats-interval (atomically)
  --state-dir DIR        the server's state (OPC UA certificates under pki/);
                         default /var/lib/vave8gw/<line name>
  --add-user FILE NAME ROLE
                         add a user (role read or write) to an OPC UA users
                         file; the password is read from the terminal
Gateway:
  --listen HOST:PORT     where to serve Modbus TCP (default 127.0.0.1:1502).
                         Modbus has no authentication: listen on other
                         interfaces only on a network you trust
  --max-clients N        connections at once, 1..1000 (default 32); when all
                         are open, a new one takes the slot of the one idle
                         the longest that has no request under way
  --idle-timeout S       close a connection without a request this long
                         1..86400 (default 60; 0 never)
  --frame-timeout S      close a connection whose request frame is not all
                         there S seconds after its first byte (default 3)
  --dead-backoff S       after a station left a request unanswered, answer it
                         0x0B at once for S seconds, 0.1..86400 (default 5;
                         0 never)
  --read-only            answer every write with 0x01
  --allow-write UNIT:KIND:FIRST-LAST
                         allow writes only inside these ranges (repeatable;
                         KIND hr or coil); others get 0x02
  --stats-interval S     statistics line every S seconds, 1..86400 (default
                         60; 0 only at exit)
  --version              program name and version
Connection (as vave8ctl):
  --port NAME --baud N --data-bits N --parity P --stop-bits S --timeout MS
  --ticks N --module PATH --verbose (-v: the driver's lines as they come)
  --late-guard MS        after a transfer with a failed attempt, hold the next
                         request this long, so that a late reply to it is
                         dropped and never taken for the next one's (default:
                         twice the time limit + the longest frame's time at
                         the baud rate + 100 ms; 2402 ms at the defaults).
                         0 turns it off
  -h, --help             this text

Signals:
  SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2 and SIGALRM all stop it
  cleanly (waiting requests refused 0x06, EndNuv, statistics line), unless
  ignored when it was started (nohup); SIGPIPE is ignored.
)";

// 0 turns the interval off; anything else is at least `least` seconds, so
// that a typo cannot make the gateway spin or flood its log.
bool Seconds(std::string_view option, std::string_view value, double least, double* out,
             std::string* error) {
    double n = 0;
    if (!vave8ctl::ParseDecimal(value, &n) || !(n == 0 || (n >= least && n <= 86400))) {
        char range[64];
        std::snprintf(range, sizeof range, "0 or %g..86400", least);
        *error = "--" + std::string(option) + ": '" + std::string(value) +
                 "' is not a number of seconds in " + range;
        return false;
    }
    *out = n;
    return true;
}

// HOST:PORT with a port number the system can bind (0: any free one).
bool CheckListen(std::string_view value, std::string* error) {
    const size_t colon = value.rfind(':');
    int64_t port = 0;
    if (colon == std::string_view::npos || colon == 0 ||
        !vave8ctl::ParseInteger(value.substr(colon + 1), 0, 65535, &port)) {
        *error = "--listen: '" + std::string(value) + "' is not HOST:PORT with a port in 0..65535";
        return false;
    }
    return true;
}

bool ApplyGatewayOption(Settings* s, std::string_view name, std::string_view value,
                        std::string* error) {
    if (name == "listen") {
        if (!CheckListen(value, error)) return false;
        s->listen = value;
    } else if (name == "max-clients") {
        int64_t n = 0;
        if (!vave8ctl::ParseInteger(value, 1, 1000, &n)) {
            *error = "--max-clients: '" + std::string(value) + "' is not a number in 1..1000";
            return false;
        }
        s->server.maxClients = static_cast<int>(n);
    } else if (name == "idle-timeout") {
        return Seconds(name, value, 1, &s->server.idleSeconds, error);
    } else if (name == "frame-timeout") {
        if (!Seconds(name, value, 0.1, &s->server.frameSeconds, error)) return false;
        if (s->server.frameSeconds < 0.1) {
            *error = "--frame-timeout: '" + std::string(value) + "' is below 0.1 s";
            return false;
        }
    } else if (name == "dead-backoff") {
        return Seconds(name, value, 0.1, &s->deadBackoff, error);
    } else if (name == "stats-interval") {
        return Seconds(name, value, 1, &s->server.statsSeconds, error);
    } else if (name == "config") {
        s->config = value;
    } else if (name == "status-file") {
        s->statusFile = value;
    } else if (name == "state-dir") {
        s->stateDir = value;
    } else if (name == "allow-write") {
        WriteRange range;
        if (!ParseWriteRange(std::string(value), &range, error)) return false;
        s->server.policy.allowed.push_back(range);
    }
    return true;
}

bool ParseArguments(int argc, char** argv, Settings* s, std::string* error) {
    constexpr const char* kWithValue[] = {"listen",        "max-clients",  "idle-timeout",
                                          "frame-timeout", "dead-backoff", "stats-interval",
                                          "allow-write",   "config",       "status-file",
                                          "state-dir"};
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "-h") arg = "--help";
        if (arg == "-v") arg = "--verbose";
        if (arg.substr(0, 2) != "--") {
            *error = "unexpected argument '" + std::string(arg) + "'";
            return false;
        }
        std::string_view name = arg.substr(2);
        std::optional<std::string_view> value;
        if (const size_t equals = name.find('='); equals != std::string_view::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        bool takesValue = false;
        const vave8ctl::ConnectionOptionSpec* connection = vave8ctl::FindConnectionOption(name);
        if (connection != nullptr) {
            takesValue = connection->takesValue;
        } else if (name == "help" || name == "version" || name == "read-only") {
            takesValue = false;
        } else {
            bool known = false;
            for (const char* option : kWithValue) known = known || name == option;
            if (!known) {
                *error = "unknown option '--" + std::string(name) + "'";
                return false;
            }
            takesValue = true;
        }
        if (takesValue && !value) {
            const std::string_view next = i + 1 < argc ? argv[i + 1] : "";
            if (i + 1 >= argc || (next.substr(0, 2) == "--" && next.size() > 2)) {
                *error = "--" + std::string(name) + " needs a value" +
                         (i + 1 < argc ? ", and '" + std::string(next) + "' is the next option"
                                       : std::string());
                return false;
            }
            value = argv[++i];
        }
        if (!takesValue && value) {
            *error = "--" + std::string(name) + " takes no value";
            return false;
        }
        if (connection != nullptr) {
            if (!connection->apply(&s->connection, value.value_or(""), error)) return false;
        } else if (name == "help") {
            s->help = true;
        } else if (name == "version") {
            s->version = true;
        } else if (name == "read-only") {
            s->server.policy.readOnly = true;
        } else if (!ApplyGatewayOption(s, name, *value, error)) {
            return false;
        }
    }
    if (s->help || s->version) return true;
    if (s->connection.port.empty() && s->config.empty()) {
        *error = "--port NAME is needed (e.g. --port ttyUSB0)";
        return false;
    }
    if (s->server.policy.readOnly && !s->server.policy.allowed.empty()) {
        *error = "--read-only and --allow-write contradict each other";
        return false;
    }
    return true;
}

// Descriptors besides the clients': standard streams, the listening socket,
// the signal and notice descriptors, the serial port, the module's own.
constexpr rlim_t kSpareDescriptors = 16;

// Raises the soft descriptor limit to what the clients need, as far as the
// hard limit allows; below it, fewer clients are served, so that a full
// gateway still has a descriptor to accept with and make room.
void FitDescriptorLimit(int* maxClients) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const rlim_t needed = static_cast<rlim_t>(*maxClients) + kSpareDescriptors;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
        const rlim_t wanted =
            limit.rlim_max == RLIM_INFINITY ? needed : std::min(needed, limit.rlim_max);
        rlimit raised{wanted, limit.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit.rlim_cur = wanted;
    }
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
        const int fits = limit.rlim_cur > kSpareDescriptors
                             ? static_cast<int>(limit.rlim_cur - kSpareDescriptors)
                             : 1;
        std::fprintf(stderr,
                     "vave8gw: descriptor limit %llu (hard %llu) is below the %llu that "
                     "--max-clients %d needs: serving at most %d clients\n",
                     static_cast<unsigned long long>(limit.rlim_cur),
                     static_cast<unsigned long long>(limit.rlim_max),
                     static_cast<unsigned long long>(needed), *maxClients, fits);
        *maxClients = fits;
    }
}

#ifdef VAVE8_OPCUA
// [opcua], read by the front-end itself; every problem with its line.
bool LoadOpcuaConfig(const std::string& path, const std::string& stateDir, const std::string& lineName,
                     opcua::Config* out) {
    toml::table file;
    try {
        file = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        std::fprintf(stderr, "%s:%u: %s\n", path.c_str(), e.source().begin.line, std::string(e.description()).c_str());
        return false;
    }
    const toml::table* section = file["opcua"].as_table();
    if (!section) return false;
    std::vector<opcua::ConfigError> errors;
    const size_t slash = path.find_last_of('/');
    const opcua::ConfigPlaces places{slash == std::string::npos ? "." : path.substr(0, slash),
                                     stateDir.empty() ? opcua::DefaultStateDir(lineName) : stateDir};
    *out = opcua::ParseConfig(*section, places, errors);
    for (const auto& e : errors) std::fprintf(stderr, "%s:%d: %s\n", path.c_str(), e.line, e.reason.c_str());
    return errors.empty();
}
#endif

// The file's line settings and [modbus] options first, then the command
// line again on top of them: what the command line says wins.
bool ApplyConfig(int argc, char** argv, const tags::Config& config, Settings* s,
                 std::string* error) {
    Settings merged;
    merged.connection = config.line.connection;
    std::vector<std::string> args{argv[0]};
    for (const tags::ModbusOption& o : config.modbus.options) {
        args.push_back("--" + o.option + (o.flag ? "" : "=" + o.value));
    }
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    std::vector<char*> pointers;
    for (std::string& a : args) pointers.push_back(a.data());
    if (!ParseArguments(static_cast<int>(pointers.size()), pointers.data(), &merged, error)) {
        return false;
    }
    if (merged.connection.port.empty()) {
        *error = config.path + ": [line] port or --port NAME is needed";
        return false;
    }
    *s = std::move(merged);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string_view(argv[1]) == "--add-user") {
#ifdef VAVE8_OPCUA
        if (argc == 5) return opcua::AddUserCommand(argv[2], argv[3], argv[4]);
        std::fprintf(stderr, "vave8gw: usage: vave8gw --add-user FILE NAME ROLE\n");
#else
        std::fprintf(stderr, "vave8gw: built without OPC UA (open62541 1.4)\n");
#endif
        return kUsage;
    }
    Settings settings;
    std::string error;
    if (!ParseArguments(argc, argv, &settings, &error)) {
        std::fprintf(stderr, "vave8gw: %s\nTry 'vave8gw --help'.\n", error.c_str());
        return kUsage;
    }
    if (settings.help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (settings.version) {
        std::printf("vave8gw %s\n", VAVE8_VERSION);
        return 0;
    }
    setvbuf(stderr, nullptr, _IOLBF, 0);

    tags::Config config;
    std::unique_ptr<tags::Scanner> scanner;
    std::optional<mqtt::Config> mqttConfig;
    if (!settings.config.empty()) {
        if (!LoadServerConfig(settings.config, settings.connection.module, &config)) return 2;
        if (!ApplyConfig(argc, argv, config, &settings, &error)) {
            std::fprintf(stderr, "vave8gw: %s\n", error.c_str());
            return kUsage;
        }
        scanner = MakeScanner(config, settings.connection);
        if (!LoadMqttConfig(config, scanner->LineName(), &mqttConfig)) return 2;
    } else if (!settings.statusFile.empty()) {
        std::fprintf(stderr, "vave8gw: --status-file needs --config (the tags it reports)\n");
        return kUsage;
    }
    const bool modbus = settings.config.empty() || config.modbus.present;
#ifdef VAVE8_OPCUA
    std::unique_ptr<opcua::Server> opcuaServer;
    if (config.opcuaLine > 0) {
        opcua::Options options;
        if (!LoadOpcuaConfig(settings.config, settings.stateDir, scanner->LineName(), &options.config)) return 2;
        opcua::LineTiming timing;
        timing.line = settings.connection.line;
        timing.ticks = settings.connection.ticks;
        timing.turnaroundMs = config.line.turnaroundMs;
        timing.lateGuard = settings.connection.lateGuardMs
                               ? std::chrono::milliseconds(*settings.connection.lateGuardMs)
                               : hostlib::DefaultLateGuard(settings.connection.ticks, settings.connection.line);
        options.writeTimeout = opcua::WriteWait(timing, false);
        options.bitWriteTimeout = opcua::WriteWait(timing, true);
        opcuaServer = std::make_unique<opcua::Server>(*scanner, options);
        // Before the line runs: writes asked meanwhile wait in the engine.
        if (!opcuaServer->Start(error)) {
            std::fprintf(stderr, "vave8gw: %s\n", error.c_str());
            return 2;
        }
    }
#else
    if (config.opcuaLine > 0) {
        std::fprintf(stderr, "vave8gw: %s:%d: [opcua]: this vave8gw is built without OPC UA (open62541 1.4)\n",
                     settings.config.c_str(), config.opcuaLine);
        return 2;
    }
#endif

    // Every thread started below inherits the mask: the signals arrive only
    // through the descriptor the network side polls.
    sigset_t signals;
    sigemptyset(&signals);
    // Each of these would otherwise end the process at once, without EndNuv
    // or the statistics: a closed terminal (SIGHUP), a stray kill -USR1. One
    // ignored when we were started (nohup) stays ignored: blocked, it would
    // reach the descriptor all the same. SIGTERM always stops.
    for (const int stop : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM}) {
        struct sigaction inherited {};
        if (stop != SIGTERM && sigaction(stop, nullptr, &inherited) == 0 &&
            inherited.sa_handler == SIG_IGN)
            continue;
        sigaddset(&signals, stop);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);

    FitDescriptorLimit(&settings.server.maxClients);
    Scheduler scheduler;
    Notices notices;
    Stats stats;
    Server server(settings.server, &scheduler, &notices, &stats);
    std::string bound = "no Modbus server";
    if (modbus && !server.Listen(settings.listen, &bound, &error)) {
        std::fprintf(stderr, "vave8gw: %s\n", error.c_str());
        return 2;
    }

    // The line thread owns the module from loading to EndNuv: no other
    // thread ever calls NuvMain.
    std::promise<std::string> started;
    std::future<std::string> startResult = started.get_future();
    std::thread line([&] {
        Line driver(settings.connection, settings.deadBackoff, &stats);
        Responder responder(&stats);
        std::string why;
        if (!driver.Start(&why)) {
            driver.End();
            started.set_value(why.empty() ? "start failed" : why);
            return;
        }
        started.set_value("");
        host::OnDemand requests;
        requests.nudge = [&] { scheduler.Nudge(); };
        requests.serve = [&](host::Periodic::Clock::time_point deadline, bool* served) {
            bool stopped = false;
            std::optional<Job> job = scheduler.PopUntil(deadline, &stopped);
            if (stopped) return false;
            if (!job) return true;
            *served = true;
            const Outcome outcome = driver.Execute(*job);
            Peer& peer = *job->peer;
            // Uncounted after the reply: a refusal the network side sends
            // once the count reaches 0 can no longer overtake it.
            int before = 0;
            const bool sent = responder.Send(peer, *job, outcome, &before);
            if (!sent || before == kPendingPerConnection) notices.Push(peer.id);
            return true;
        };
        host::RunLine(driver, scanner.get(), requests);
        driver.End();
        notices.LineEnded();
    });
    const std::string startError = startResult.get();
    if (!startError.empty()) {
        line.join();
        std::fprintf(stderr, "vave8gw: %s\n", startError.c_str());
        if (startError.rfind("ColdStart", 0) == 0) {
            const std::string problem = vave8ctl::PortProblem(settings.connection.port);
            if (!problem.empty()) std::fprintf(stderr, "vave8gw: %s\n", problem.c_str());
        }
        return 2;
    }
    const LineParams& l = settings.connection.line;
    std::fprintf(stderr, "vave8gw %s: serving %s (%u baud, %u%c%s, timeout %d ticks, late guard %lld ms) on %s\n",
                 VAVE8_VERSION, settings.connection.port.c_str(), l.baud, l.dataBits,
                 "NOEMS"[l.parity % 5],
                 l.stopBits == 0   ? "1"
                 : l.stopBits == 1 ? "1.5"
                                   : "2",
                 settings.connection.ticks,
                 static_cast<long long>(
                     settings.connection.lateGuardMs
                         ? *settings.connection.lateGuardMs
                         : hostlib::DefaultLateGuard(settings.connection.ticks, l).count()),
                 bound.c_str());
    // The network thread (this one; the line thread started above keeps the
    // normal policy) never preempts the task that woke it: a client's
    // request then lets the sender finish its system call before the
    // gateway reads it, instead of two task switches per request. Requests
    // still wait only for a CPU, never for the line.
    Reporter reporter(scanner.get(), settings.statusFile, settings.server.statsSeconds);
    // MQTT once the line runs: a broker away is not an error, it buffers.
    std::unique_ptr<mqtt::FrontEnd> mqttFront;
    if (mqttConfig) {
        mqttFront = std::make_unique<mqtt::FrontEnd>(*scanner, *mqttConfig);
        if (!mqttFront->Start(error)) {
            std::fprintf(stderr, "vave8gw: mqtt: %s\n", error.c_str());
            scheduler.Stop();
            line.join();
            return 2;
        }
        reporter.AddLine([&] { return mqttFront->StatsText(); });
        reporter.AddStatus("mqtt", [&] { return mqttFront->StatusJson(); });
    }
    if (scanner) reporter.Start();
    if (modbus) {
        sched_param batch{};
        pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch);
        server.Run(signalFd);
    } else {
        pollfd wait{signalFd, POLLIN, 0};
        while (poll(&wait, 1, -1) < 0 && errno == EINTR) {
        }
        scheduler.Stop();
    }
#ifdef VAVE8_OPCUA
    if (opcuaServer) opcuaServer->Stop();
#endif
    if (mqttFront) mqttFront->Stop();
    line.join();
    if (scanner) reporter.Stop();
    std::fprintf(stderr, "vave8gw: stopped\n");
    return 0;
}
