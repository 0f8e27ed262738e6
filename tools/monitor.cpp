#include "tools/monitor.h"

#include <cstdio>
#include <string_view>

#include "tools/format.h"
#include "tools/options.h"

#if !defined(_WIN32)
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "tools/monitor_decode.h"
#endif

namespace vave8ctl {

const char* MonitorHelpText() {
    return R"(Usage: vave8ctl monitor --port NAME [--port NAME2] [OPTIONS]

Watches a line that another host drives and decodes every frame on it, with
its time and the gap before it: requests (read or write, station, nibble
range and the items it covers, the data of a write), replies (DONE, DATA,
ERROR with its code) paired with their request and the time the PLC took,
and broken frames named for what broke. On Ctrl-C, after --times or after
--for, a summary per station: requests, replies, broken replies, requests
without a reply, the PLC's reply time (median and 99th percentile, within
1 %, and the maximum), errors by code. Bytes that already waited in a port
when the monitor started are dropped, and their count is said: nobody knows
when they came.

The monitor opens its ports read only and never writes to them; it does not
set the modem control lines, and it clears HUPCL so that closing the port
leaves them as they are. The kernel raises DTR and RTS when a serial port is
first opened: on a tap, leave them unwired, or use an RS-485 adapter that
switches its direction by itself.

One port sees both directions on an RS-485 bus; on a tap of a point-to-point
line give one port per direction. Requests and replies are told apart by
their first byte, whichever port carried them.

Options:
  --port NAME       serial port, relative to /dev unless it starts with /;
                    once or twice
  --baud N          bits per second (default 9600)
  --data-bits N     5 to 8 (default 8)
  --parity P        none, odd, even, mark or space (default even)
  --stop-bits S     1 or 2 (default 1)
  --frame-gap MS    a frame silent this long is reported as cut off
                    (default 500)
  --times N         stop after exactly N events (frames, broken frames, runs
                    of stray bytes)
  --for SECONDS     stop after this long (0.001 to 31536000)
  --raw             add each event's bytes in hexadecimal, as on the line
  --json            one JSON object per event, and one for the summary
  -h, --help        this text

Available on Linux; the Windows build does not have it.
)";
}

#if defined(_WIN32)

int RunMonitor(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            std::fputs(MonitorHelpText(), stdout);
            return EXIT_OK;
        }
    }
    std::fputs("vave8ctl: monitor is not available in the Windows build; run it on Linux\n",
               stderr);
    return EXIT_FAILED;
}

#else

namespace {

struct MonitorOptions {
    std::vector<std::string> ports;
    uint32_t baud = 9600;
    int dataBits = 8;
    std::string parity = "even";
    int stopBits = 1;
    int frameGapMs = 500;
    uint64_t times = 0;
    double seconds = 0;
    WatchSettings watch;
    bool help = false;
};

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

bool Usage(std::string* error, std::string text) {
    *error = std::move(text);
    return false;
}

speed_t SpeedOf(uint32_t baud) {
    static const struct {
        uint32_t baud;
        speed_t speed;
    } kSpeeds[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},
                   {150, B150},       {200, B200},       {300, B300},       {600, B600},
                   {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
                   {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                   {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& s : kSpeeds) {
        if (s.baud == baud) return s.speed;
    }
    return B0;
}

std::string DevicePath(const std::string& name) {
    return name[0] == '/' ? name : "/dev/" + name;
}

bool Parse(const std::vector<std::string>& args, MonitorOptions* o, std::string* error) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        // A value that is itself an option means the value was left out:
        // "--port --raw" must not watch /dev/--raw.
        const auto take = [&](std::string* out) {
            if (hasValue) {
                *out = value;
                return true;
            }
            if (i + 1 >= args.size()) return Usage(error, name + " needs a value");
            if (args[i + 1].rfind("--", 0) == 0 || args[i + 1] == "-h") {
                return Usage(error,
                             name + " needs a value, and '" + args[i + 1] + "' is the next option");
            }
            *out = args[++i];
            return true;
        };
        int64_t n = 0;
        std::string v;
        if (name == "-h" || name == "--help") {
            o->help = true;
        } else if (name == "--raw") {
            o->watch.raw = true;
        } else if (name == "--json") {
            o->watch.json = true;
        } else if (name == "--port") {
            if (!take(&v)) return false;
            if (v.empty()) return Usage(error, "--port: empty port name");
            if (o->ports.size() == 2) return Usage(error, "--port: at most two ports");
            if (!o->ports.empty() && DevicePath(o->ports[0]) == DevicePath(v)) {
                return Usage(error, "--port: " + DevicePath(v) +
                                        " given twice; a second port is for the other "
                                        "direction of the line");
            }
            o->ports.push_back(v);
        } else if (name == "--baud") {
            if (!take(&v)) return false;
            if (!ParseInteger(v, 1, 4000000, &n) || SpeedOf(static_cast<uint32_t>(n)) == B0) {
                return Usage(error, "--baud: '" + v + "' is not a standard rate (50 to 921600)");
            }
            o->baud = static_cast<uint32_t>(n);
        } else if (name == "--data-bits") {
            if (!take(&v)) return false;
            if (!ParseInteger(v, 5, 8, &n)) {
                return Usage(error, "--data-bits: '" + v + "' is not a whole number in 5..8");
            }
            o->dataBits = static_cast<int>(n);
        } else if (name == "--parity") {
            if (!take(&v)) return false;
            if (v != "none" && v != "odd" && v != "even" && v != "mark" && v != "space") {
                return Usage(error, "--parity: '" + v + "' is not none, odd, even, mark or space");
            }
            o->parity = v;
        } else if (name == "--stop-bits") {
            if (!take(&v)) return false;
            if (!ParseInteger(v, 1, 2, &n)) {
                return Usage(error, "--stop-bits: '" + v + "' is not 1 or 2");
            }
            o->stopBits = static_cast<int>(n);
        } else if (name == "--frame-gap") {
            if (!take(&v)) return false;
            if (!ParseInteger(v, 1, 60000, &n)) {
                return Usage(error,
                             "--frame-gap: '" + v + "' is not a whole number in 1..60000 (ms)");
            }
            o->frameGapMs = static_cast<int>(n);
        } else if (name == "--times") {
            if (!take(&v)) return false;
            if (!ParseInteger(v, 1, INT64_MAX, &n)) {
                return Usage(error, "--times: '" + v + "' is not a whole number of 1 or more");
            }
            o->times = static_cast<uint64_t>(n);
        } else if (name == "--for") {
            if (!take(&v)) return false;
            double s = 0;
            if (!ParseDecimal(v, &s) || !(s >= 0.001) || s > 31536000) {
                return Usage(error,
                             "--for: '" + v + "' is not a number of seconds in 0.001..31536000");
            }
            o->seconds = s;
        } else {
            return Usage(error, "monitor: unknown option or argument '" + args[i] + "'");
        }
    }
    if (!o->help && o->ports.empty()) return Usage(error, "monitor needs --port NAME");
    return true;
}

bool IsPseudoTerminal(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    // Unix 98 pseudo-terminal slaves: majors 136 to 143.
    return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

// What the monitor relies on: raw input at the speed asked for, and the
// character format too where the device has one.
bool SettingsHeld(const termios& wanted, const termios& actual, bool pseudoTerminal) {
    tcflag_t judged = CREAD | CLOCAL | HUPCL | CRTSCTS;
    if (!pseudoTerminal) judged |= CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    return ((wanted.c_cflag ^ actual.c_cflag) & judged) == 0 &&
           ((wanted.c_lflag ^ actual.c_lflag) & (ICANON | ECHO | ISIG)) == 0 &&
           ((wanted.c_iflag ^ actual.c_iflag) & (IXON | IXOFF)) == 0 &&
           cfgetispeed(&wanted) == cfgetispeed(&actual);
}

// Read only, and nothing that could make the kernel send on our behalf: no
// echo, no XON/XOFF flow control; the modem lines are left alone, and HUPCL
// is cleared so that our close does not drop them. The settings are not
// restored at exit, since putting HUPCL back would drop DTR on close.
int OpenPort(const std::string& name, const MonitorOptions& o, std::string* error) {
    const std::string path = DevicePath(name);
    const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return -1;
    }
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        *error = path + " is not a serial port: " + std::strerror(errno);
        close(fd);
        return -1;
    }
    const speed_t speed = SpeedOf(o.baud);
    cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | IGNPAR);
    t.c_cflag &=
        ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[o.dataBits - 5] | CREAD | CLOCAL;
    if (o.stopBits == 2) t.c_cflag |= CSTOPB;
    if (o.parity != "none") t.c_cflag |= PARENB;
    if (o.parity == "odd" || o.parity == "mark") t.c_cflag |= PARODD;
    if (o.parity == "mark" || o.parity == "space") t.c_cflag |= CMSPAR;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    // tcsetattr succeeds when any part of the request was taken. A
    // pseudo-terminal keeps no character format, so when the last run left
    // everything else as asked, nothing is taken and the answer is EINVAL:
    // what the port reads back decides.
    const int set = tcsetattr(fd, TCSANOW, &t);
    const int setErrno = errno;
    termios actual{};
    if ((set != 0 && setErrno != EINVAL) || tcgetattr(fd, &actual) != 0 ||
        !SettingsHeld(t, actual, IsPseudoTerminal(fd))) {
        *error = "cannot set up " + path + ": " + std::strerror(set != 0 ? setErrno : EINVAL);
        close(fd);
        return -1;
    }
    return fd;
}

uint64_t DrainWaiting(int fd) {
    uint64_t dropped = 0;
    // A pseudo-terminal hands written bytes to its slave from a kernel
    // worker; a poll waits for that hand-over.
    pollfd ready{fd, POLLIN, 0};
    poll(&ready, 1, 0);
    uint8_t buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) dropped += static_cast<uint64_t>(n);
    return dropped;
}

Stamp Now() {
    timespec wall{};
    timespec mono{};
    clock_gettime(CLOCK_REALTIME, &wall);
    clock_gettime(CLOCK_MONOTONIC, &mono);
    return {static_cast<double>(wall.tv_sec) + static_cast<double>(wall.tv_nsec) * 1e-9,
            static_cast<double>(mono.tv_sec) + static_cast<double>(mono.tv_nsec) * 1e-9};
}

}  // namespace

int RunMonitor(const std::vector<std::string>& args) {
    MonitorOptions o;
    std::string error;
    if (!Parse(args, &o, &error)) {
        std::fprintf(stderr, "vave8ctl: %s\nTry 'vave8ctl monitor --help'.\n", error.c_str());
        return EXIT_USAGE;
    }
    if (o.help) {
        std::fputs(MonitorHelpText(), stdout);
        return EXIT_OK;
    }
    LineWatch watch(o.watch, [](const std::string& line) {
        std::fputs(line.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    });
    std::vector<pollfd> fds;
    for (const std::string& name : o.ports) {
        const int fd = OpenPort(name, o, &error);
        if (fd < 0) {
            std::fprintf(stderr, "vave8ctl: monitor: %s\n", error.c_str());
            for (const pollfd& p : fds) close(p.fd);
            return EXIT_FAILED;
        }
        fds.push_back({fd, POLLIN, 0});
        watch.AddPort(name);
    }
    watch.SetLimit(o.times);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    // Bytes that waited in a port came at a time nobody knows, and may start
    // half way into a frame: they are dropped, and said so.
    for (size_t i = 0; i < fds.size(); ++i) {
        const uint64_t dropped = DrainWaiting(fds[i].fd);
        if (dropped != 0) {
            std::fprintf(stderr,
                         "vave8ctl: monitor: %s: dropped %llu byte%s that waited in the port "
                         "before the start\n",
                         o.ports[i].c_str(), static_cast<unsigned long long>(dropped),
                         dropped == 1 ? "" : "s");
        }
    }
    // On standard error even with --json: it tells a script the watch is on.
    std::fprintf(stderr, "monitoring %s%s%s at %u baud, read only; Ctrl-C for the summary\n",
                 o.ports[0].c_str(), o.ports.size() > 1 ? " and " : "",
                 o.ports.size() > 1 ? o.ports[1].c_str() : "", o.baud);
    const Stamp start = Now();
    std::vector<double> lastByte(fds.size(), start.mono);
    std::vector<bool> quiet(fds.size(), true);
    size_t open = fds.size();
    int exitCode = EXIT_OK;
    while (!g_stop && open > 0) {
        if (o.times != 0 && watch.Events() >= o.times) break;
        const Stamp now = Now();
        if (o.seconds > 0 && now.mono - start.mono >= o.seconds) break;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!quiet[i] && (now.mono - lastByte[i]) * 1000 >= o.frameGapMs) {
                watch.Quiet(i);
                quiet[i] = true;
            }
        }
        if (poll(fds.data(), fds.size(), 20) < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "vave8ctl: monitor: poll: %s\n", std::strerror(errno));
            exitCode = EXIT_FAILED;
            break;
        }
        std::vector<LineWatch::Arrival> arrivals;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            uint8_t buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                arrivals.push_back({i, std::vector<uint8_t>(buffer, buffer + n)});
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // A pseudo-terminal whose other side went away, or a device
                // that was unplugged: nothing more will come from it.
                std::fprintf(stderr, "vave8ctl: monitor: %s: %s\n", o.ports[i].c_str(),
                             n == 0 ? "end of input" : std::strerror(errno));
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
        const Stamp at = Now();
        watch.FeedTogether(arrivals, at);
        for (const LineWatch::Arrival& a : arrivals) {
            lastByte[a.port] = at.mono;
            quiet[a.port] = false;
        }
    }
    watch.Finish();
    const std::string summary = watch.Summary(Now().mono - start.mono);
    std::fputs(o.watch.json ? "" : "\n", stdout);
    std::fputs(summary.c_str(), stdout);
    if (o.watch.json) std::fputc('\n', stdout);
    std::fflush(stdout);
    for (const pollfd& p : fds) {
        if (p.fd >= 0) close(p.fd);
    }
    return exitCode;
}

#endif

}  // namespace vave8ctl
