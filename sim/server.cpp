// The serving loop: a pty (or serial device), the decoder, the PLC and the
// faults, wired together.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "sim/sim.h"

namespace p8sim {

namespace {

using Clock = std::chrono::steady_clock;

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool SetError(std::string* error, const std::string& msg) {
    if (error) *error = msg;
    return false;
}

timespec ToTimespec(Clock::duration d) {
    if (d < Clock::duration::zero()) d = Clock::duration::zero();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

bool SpeedFor(uint32_t baud, speed_t& out) {
    static const struct {
        uint32_t baud;
        speed_t speed;
    } kSpeeds[] = {{300, B300},     {600, B600},       {1200, B1200},    {2400, B2400},
                   {4800, B4800},   {9600, B9600},     {19200, B19200},  {38400, B38400},
                   {57600, B57600}, {115200, B115200}, {230400, B230400}};
    for (const auto& s : kSpeeds) {
        if (s.baud == baud) {
            out = s.speed;
            return true;
        }
    }
    return false;
}

void DrainWake(int fd) {
    char buf[64];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

}  // namespace

uint64_t Counters::FaultsTotal() const {
    uint64_t n = 0;
    for (uint64_t f : faults) n += f;
    return n;
}

Simulator::Simulator() : Simulator(Options{}) {}

Simulator::Simulator(Options options) : options_(std::move(options)) {
    // The wake pipe interrupts every wait of the serving loop; without it a
    // stop request would sit behind a poll or a late reply's delay.
    if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
        wake_[0] = wake_[1] = -1;
    }
}

Simulator::~Simulator() {
    Stop();
    for (int& fd : wake_) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

bool Simulator::OpenPty(std::string* error) {
    if (serving_.load()) return SetError(error, "already serving");
    if (wake_[0] < 0) return SetError(error, "no wake pipe");
    CloseLine();
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return SetError(error, Errno("posix_openpt"));
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        SetError(error, Errno("pty setup"));
        close(master);
        return false;
    }
    // Our own descriptor on the slave keeps the pty alive between a
    // driver's close and its next open: the master then never reports a
    // hang-up (which would make poll return at once, forever), and the
    // slave keeps the settings made here.
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        SetError(error, Errno(std::string("open ") + name));
        close(master);
        return false;
    }
    termios tio;
    for (int fd : {slave, master}) {
        if (tcgetattr(fd, &tio) == 0) {
            cfmakeraw(&tio);
            tio.c_cflag |= CLOCAL | CREAD;
            tcsetattr(fd, TCSANOW, &tio);
        }
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    line_fd_ = master;
    slave_fd_ = slave;
    path_ = name;
    decoder_ = Decoder{};
    return true;
}

bool Simulator::OpenDevice(const std::string& path, const DeviceSettings& settings,
                           std::string* error) {
    if (serving_.load()) return SetError(error, "already serving");
    if (wake_[0] < 0) return SetError(error, "no wake pipe");
    speed_t speed;
    if (!SpeedFor(settings.baud, speed)) {
        return SetError(error, "unsupported baud rate " + std::to_string(settings.baud));
    }
    CloseLine();
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return SetError(error, Errno("open " + path));
    termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        SetError(error, Errno("tcgetattr " + path));
        close(fd);
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
    tio.c_cflag |= settings.data_bits == 7 ? CS7 : CS8;
    if (settings.parity == 'E' || settings.parity == 'e') tio.c_cflag |= PARENB;
    if (settings.parity == 'O' || settings.parity == 'o') tio.c_cflag |= PARENB | PARODD;
    if (settings.stop_bits == 2) tio.c_cflag |= CSTOPB;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        SetError(error, Errno("tcsetattr " + path));
        close(fd);
        return false;
    }
    tcflush(fd, TCIOFLUSH);
    line_fd_ = fd;
    path_ = path;
    decoder_ = Decoder{};
    return true;
}

void Simulator::CloseLine() {
    if (line_fd_ >= 0 && slave_fd_ >= 0) {
        // Closing the master hangs the slave up and throws away what it has
        // not read yet, such as the reply to the request that made us stop.
        // Give the reader a moment to take it: our own slave descriptor
        // shows how much is still waiting, once a poll on it has made the
        // kernel hand over bytes it still holds (the count alone misses
        // them right after a write).
        const auto until = Clock::now() + std::chrono::milliseconds(2000);
        int pending = 0;
        pollfd slave{slave_fd_, POLLIN, 0};
        do {
            usleep(2000);
            poll(&slave, 1, 0);
        } while (ioctl(slave_fd_, TIOCINQ, &pending) == 0 && pending > 0 && Clock::now() < until);
    } else if (line_fd_ >= 0) {
        tcdrain(line_fd_);
    }
    if (line_fd_ >= 0) close(line_fd_);
    if (slave_fd_ >= 0) close(slave_fd_);
    line_fd_ = slave_fd_ = -1;
}

bool Simulator::Start(std::string* error) {
    if (serving_.load() || thread_.joinable()) return SetError(error, "already started");
    if (line_fd_ < 0 && !OpenPty(error)) return false;
    stop_.store(false);
    DrainWake(wake_[0]);
    serving_.store(true);
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void Simulator::RequestStop() {
    stop_.store(true);
    if (wake_[1] >= 0) {
        const char b = 1;
        ssize_t r = write(wake_[1], &b, 1);
        (void)r;  // a full pipe already wakes the loop
    }
}

void Simulator::Stop() {
    RequestStop();
    if (thread_.joinable()) thread_.join();
    CloseLine();
    serving_.store(false);
}

int Simulator::Serve() {
    if (line_fd_ < 0) {
        serving_.store(false);
        return 1;
    }
    serving_.store(true);
    failed_ = false;
    std::vector<uint8_t> buf(4096);
    std::vector<DecodeEvent> events;
    Clock::time_point last_input = Clock::now();
    const auto idle = std::chrono::milliseconds(options_.idle_exit_ms);
    const auto gap = std::chrono::milliseconds(options_.frame_gap_ms);

    while (!stop_.load()) {
        // Wait for input, a stop request, or the next deadline: the idle
        // exit, or the gap after which a cut-off frame is given up.
        Clock::time_point deadline = Clock::time_point::max();
        if (options_.idle_exit_ms > 0) deadline = last_input + idle;
        if (decoder_.MidFrame() && options_.frame_gap_ms > 0) {
            deadline = std::min(deadline, last_input + gap);
        }
        timespec ts;
        const timespec* tsp = nullptr;
        if (deadline != Clock::time_point::max()) {
            ts = ToTimespec(deadline - Clock::now());
            tsp = &ts;
        }
        pollfd fds[2] = {{line_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int rc = ppoll(fds, 2, tsp, nullptr);
        if (rc < 0) {
            if (errno == EINTR) continue;
            Trace("line poll failed: " + std::string(std::strerror(errno)));
            failed_ = true;
            break;
        }
        if (fds[1].revents) DrainWake(wake_[0]);
        if (fds[0].revents & POLLIN) {
            ssize_t n = read(line_fd_, buf.data(), buf.size());
            if (n > 0) {
                last_input = Clock::now();
                {
                    std::lock_guard<std::mutex> lock(mu_);
                    counters_.bytes_in += static_cast<uint64_t>(n);
                }
                events.clear();
                decoder_.Feed(buf.data(), static_cast<size_t>(n), events);
                HandleEvents(events);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            Trace(n == 0 ? "line closed"
                         : "line read failed: " + std::string(std::strerror(errno)));
            failed_ = true;
            break;
        }
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            Trace("line hung up");
            failed_ = true;
            break;
        }
        const auto now = Clock::now();
        if (decoder_.MidFrame() && options_.frame_gap_ms > 0 && now - last_input >= gap) {
            events.clear();
            decoder_.Flush(events);
            HandleEvents(events);
        }
        if (options_.idle_exit_ms > 0 && now - last_input >= idle) {
            Trace("idle for " + std::to_string(options_.idle_exit_ms) + " ms: exiting");
            break;
        }
    }
    serving_.store(false);
    cv_.notify_all();
    return failed_ ? 1 : 0;
}

void Simulator::HandleEvents(std::vector<DecodeEvent>& events) {
    for (DecodeEvent& ev : events) {
        switch (ev.type) {
            case DecodeEvent::kFrame:
                HandleFrame(ev.data);
                break;
            case DecodeEvent::kCrcError: {
                {
                    std::lock_guard<std::mutex> lock(mu_);
                    ++counters_.crc_errors;
                }
                char head[64];
                std::snprintf(head, sizeof head,
                              "RX bad CRC byte %02X (expected %02X), dropped: ", ev.got,
                              ev.expected);
                if (options_.trace) Trace(head + DescribeRequest(ev.data.data(), ev.data.size()));
                break;
            }
            case DecodeEvent::kTooLong:
            case DecodeEvent::kBadCopy:
            case DecodeEvent::kIncomplete: {
                {
                    std::lock_guard<std::mutex> lock(mu_);
                    ++counters_.framing_errors;
                }
                if (!options_.trace) break;
                char line[128];
                if (ev.type == DecodeEvent::kTooLong) {
                    std::snprintf(line, sizeof line, "RX frame dropped: length %zu too long",
                                  ev.count);
                } else if (ev.type == DecodeEvent::kBadCopy) {
                    std::snprintf(line, sizeof line,
                                  "RX frame dropped: %02X not doubled (next byte %02X)",
                                  ev.expected, ev.got);
                } else {
                    std::snprintf(line, sizeof line,
                                  "RX frame dropped: cut off after %zu of %zu data bytes",
                                  ev.data.size(), ev.count);
                }
                Trace(line);
                break;
            }
            case DecodeEvent::kDropped: {
                {
                    std::lock_guard<std::mutex> lock(mu_);
                    counters_.bytes_dropped += ev.count;
                }
                if (options_.trace) {
                    Trace("RX " + std::to_string(ev.count) + " byte" + (ev.count == 1 ? "" : "s") +
                          " dropped while hunting");
                }
                break;
            }
        }
    }
}

void Simulator::HandleFrame(const std::vector<uint8_t>& block) {
    Exchange ex;
    ex.request = ParseRequest(block.data(), block.size());
    const Request& req = ex.request;
    const uint16_t mask = present_.load();
    ex.present = req.has_station && req.station < kStations && ((mask >> req.station) & 1) != 0;

    Fault fault;
    bool send = false;
    std::vector<uint8_t> garbage;
    {
        std::lock_guard<std::mutex> lock(mu_);
        ex.index = ++counters_.requests_seen;
        if (!ex.present) {
            // A multidrop line: a request for nobody here goes unanswered.
            ++counters_.requests_ignored;
        } else {
            fault = plan_.Pick(ex.index, req);
            ex.fault = fault.kind;
            if (fault.kind != FaultKind::kNone) ++counters_.faults[static_cast<size_t>(fault.kind)];
            send = true;
            if (fault.kind == FaultKind::kSilence) {
                send = false;
            } else if (fault.kind == FaultKind::kError) {
                ex.reply = ErrorBlock(req.station, req.code, static_cast<uint8_t>(fault.param));
            } else {
                if (invert_on_read_.load() && req.code == kReqRead && Plc::Check(req) == 0) {
                    std::vector<uint8_t> bytes(NibbleCount(req.start, req.end) / 2);
                    plc_.Read(req.station, req.start / 2u, bytes.data(), bytes.size());
                    for (uint8_t& b : bytes) b = static_cast<uint8_t>(~b);
                    plc_.Write(req.station, req.start / 2u, bytes.data(), bytes.size());
                }
                ex.reply = plc_.Execute(req, &ex.write_applied);
                if (ex.write_applied) ++counters_.writes_applied;
                if (ex.reply[0] == kBlockError) ++counters_.plc_errors;
            }
            switch (fault.kind) {
                case FaultKind::kTaken:
                    send = false;
                    ex.reply.clear();
                    break;
                case FaultKind::kUnknown:
                    ex.reply = {static_cast<uint8_t>(fault.param), req.station};
                    break;
                case FaultKind::kWrongType:
                    if (req.code == kReqWrite) {
                        ex.reply = {kBlockData, req.station};
                        ex.reply.insert(ex.reply.end(), req.data.begin(), req.data.end());
                    } else {
                        ex.reply = DoneBlock(req.station);
                    }
                    break;
                case FaultKind::kEmpty:
                    ex.reply.clear();
                    break;
                case FaultKind::kShort:
                    ex.reply.resize(ex.reply.size() -
                                    std::min<size_t>(ex.reply.size(), fault.param));
                    break;
                case FaultKind::kGarbage:
                    garbage = plan_.GarbageBytes(fault);
                    break;
                default:
                    break;
            }
            if (send) ++counters_.replies_sent;
        }
    }

    const std::string tag = "#" + std::to_string(ex.index) + " ";
    if (options_.trace) {
        std::string line = "RX " + tag + DescribeRequest(block.data(), block.size());
        if (!ex.present) line += " (no station here: no reply)";
        Trace(line);
    }

    std::vector<Segment> segments;
    std::string note;
    if (send) {
        std::vector<uint8_t> bytes = garbage;
        if (fault.kind == FaultKind::kLoneStart) {
            bytes.push_back(kStart1);
        } else {
            const size_t frame_at = bytes.size();
            const int crc = fault.kind == FaultKind::kBadCrc
                                ? FrameCrc(ex.reply.data(), ex.reply.size()) ^ 0xFF
                                : -1;
            EncodeFrame(ex.reply.data(), ex.reply.size(), bytes, crc);
            if (fault.kind == FaultKind::kUndoubled) {
                // Behind the length and the first data byte (or right behind
                // the length of an empty block): a start pair the receiver
                // must take as a broken doubling.
                auto width = [](uint8_t b) { return b == kStart1 || b == kStart2 ? 2u : 1u; };
                const size_t n = ex.reply.size();
                size_t at = frame_at + 2 + width(static_cast<uint8_t>(n >> 8)) +
                            width(static_cast<uint8_t>(n & 0xFF));
                if (n > 0) at += width(ex.reply[0]);
                const uint8_t pair[2] = {kStart1, kStart2};
                bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), pair, pair + 2);
            }
        }
        Segment first;
        if (fault.kind == FaultKind::kLate) first.pause_ms = fault.param;
        if (fault.kind == FaultKind::kSplit && bytes.size() >= 2) {
            const size_t half = bytes.size() / 2;
            first.bytes.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(half));
            Segment second;
            second.bytes.assign(bytes.begin() + static_cast<std::ptrdiff_t>(half), bytes.end());
            second.pause_ms = fault.param;
            segments.push_back(std::move(first));
            segments.push_back(std::move(second));
        } else {
            first.bytes = std::move(bytes);
            segments.push_back(std::move(first));
        }
    }

    if (options_.trace && ex.present) {
        std::string line = "TX " + tag;
        if (fault.kind != FaultKind::kNone) line += "[" + FaultToString(fault) + "] ";
        if (!send) {
            line += ex.write_applied ? "no reply (write applied)" : "no reply";
        } else if (fault.kind == FaultKind::kLoneStart) {
            line += "F1 only";
        } else {
            if (!garbage.empty()) line += HexBytes(garbage) + " then ";
            line += DescribeReply(ex.reply.data(), ex.reply.size());
        }
        Trace(line);
    }

    if (!segments.empty()) {
        segments.front().pause_ms += turnaround_ms_.load();
        Deliver(segments);
    }
    if (options_.observer) options_.observer(ex);

    bool done = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        ++handled_;
        done = options_.exit_after_requests > 0 && handled_ >= options_.exit_after_requests;
    }
    cv_.notify_all();
    if (done) {
        Trace("request limit of " + std::to_string(options_.exit_after_requests) +
              " reached: exiting");
        stop_.store(true);
    }
}

bool Simulator::SleepUntil(Clock::time_point t) {
    while (!stop_.load()) {
        const auto now = Clock::now();
        if (now >= t) return true;
        pollfd fd = {wake_[0], POLLIN, 0};
        timespec ts = ToTimespec(t - now);
        // The wake byte is left in the pipe for the main loop to see.
        if (ppoll(&fd, 1, &ts, nullptr) > 0) return !stop_.load();
    }
    return false;
}

bool Simulator::Deliver(const std::vector<Segment>& segments) {
    const uint32_t baud = pace_baud_.load();
    if (baud == 0) {
        for (const Segment& s : segments) {
            if (s.pause_ms > 0 &&
                !SleepUntil(Clock::now() + std::chrono::milliseconds(s.pause_ms))) {
                return false;
            }
            if (!WriteAll(s.bytes.data(), s.bytes.size())) return false;
        }
        return true;
    }
    // A character is 11 bit times (start, 8 data, parity, stop). Each chunk
    // goes out when its last character would have been received, scheduled
    // from one starting point so rounding never accumulates.
    const double char_ns = 11e9 / baud;
    const size_t chunk = std::max<size_t>(1, static_cast<size_t>(baud / 11 / 250));  // ~4 ms
    Clock::time_point t0 = Clock::now();
    double line_ns = 0;
    for (const Segment& s : segments) {
        line_ns += static_cast<double>(s.pause_ms) * 1e6;
        for (size_t at = 0; at < s.bytes.size(); at += chunk) {
            const size_t n = std::min(chunk, s.bytes.size() - at);
            line_ns += char_ns * static_cast<double>(n);
            const auto due = t0 + std::chrono::nanoseconds(static_cast<int64_t>(line_ns));
            if (!SleepUntil(due)) return false;
            if (!WriteAll(s.bytes.data() + at, n)) return false;
        }
    }
    return true;
}

bool Simulator::WriteAll(const uint8_t* p, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t w = write(line_fd_, p + done, n - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
            // Nobody is draining the line: wait a while, then give the reply up
            // rather than hold the loop forever.
            pollfd fds[2] = {{line_fd_, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
            timespec ts = {1, 0};
            int rc = ppoll(fds, 2, &ts, nullptr);
            if (rc > 0 && (fds[0].revents & POLLOUT) && !stop_.load()) continue;
            if (rc == 0) Trace("TX line stalled: reply dropped");
            break;
        }
        Trace("TX write failed: " + std::string(std::strerror(errno)));
        break;
    }
    std::lock_guard<std::mutex> lock(mu_);
    counters_.bytes_out += done;
    return done == n;
}

void Simulator::Trace(const std::string& line) {
    if (options_.trace) options_.trace(line);
}

std::vector<uint8_t> Simulator::ReadMemory(int station, uint32_t byte_addr, size_t n) const {
    std::vector<uint8_t> out(n);
    if (station < 0 || station >= kStations) return out;
    std::lock_guard<std::mutex> lock(mu_);
    plc_.Read(station, byte_addr, out.data(), n);
    return out;
}

void Simulator::WriteMemory(int station, uint32_t byte_addr, const std::vector<uint8_t>& bytes) {
    if (station < 0 || station >= kStations) return;
    std::lock_guard<std::mutex> lock(mu_);
    plc_.Write(station, byte_addr, bytes.data(), bytes.size());
}

void Simulator::ClearMemory() {
    std::lock_guard<std::mutex> lock(mu_);
    plc_.Clear();
}

bool Simulator::LoadMemory(const std::string& file, std::string* error) {
    std::ifstream in(file);
    if (!in) return SetError(error, "cannot read " + file);
    return LoadMemoryText(in, file, error);
}

bool Simulator::LoadMemoryText(std::istream& in, const std::string& file, std::string* error) {
    // Parse everything before touching memory, so a bad file changes nothing.
    struct Run {
        int station;
        uint32_t addr;
        std::vector<uint8_t> bytes;
    };
    std::vector<Run> runs;
    std::string line;
    int lineno = 0;
    while (std::getline(in, line)) {
        ++lineno;
        line = line.substr(0, line.find('#'));
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        auto bad = [&](const char* why) {
            return SetError(error, file + ":" + std::to_string(lineno) + ": " + why);
        };
        unsigned st = 0, addr = 0;
        int used = 0;
        if (std::sscanf(line.c_str(), " %u : %x :%n", &st, &addr, &used) != 2 || used == 0) {
            return bad("expected station:byteaddr: bytes");
        }
        if (st >= kStations) return bad("station out of range 0..15");
        Run run{static_cast<int>(st), addr, {}};
        std::istringstream rest(line.substr(static_cast<size_t>(used)));
        std::string tok;
        while (rest >> tok) {
            char* end = nullptr;
            const unsigned long v = std::strtoul(tok.c_str(), &end, 16);
            if (tok.size() > 2 || *end != '\0' || v > 0xFF) return bad("bytes must be hex 00..FF");
            run.bytes.push_back(static_cast<uint8_t>(v));
        }
        if (addr >= kStationBytes || run.bytes.size() > kStationBytes - addr) {
            return bad("bytes run past byte address 7FFF");
        }
        runs.push_back(std::move(run));
    }
    std::lock_guard<std::mutex> lock(mu_);
    for (const Run& r : runs) plc_.Write(r.station, r.addr, r.bytes.data(), r.bytes.size());
    return true;
}

bool Simulator::DumpMemory(const std::string& file, std::string* error) const {
    std::ofstream out(file);
    if (!out) return SetError(error, "cannot write " + file);
    out << "# p8sim memory: station:byteaddr: bytes (hex); rows of zeros left out\n";
    std::lock_guard<std::mutex> lock(mu_);
    char head[16];
    for (int st = 0; st < kStations; ++st) {
        const uint8_t* img = plc_.Image(st);
        for (size_t row = 0; row < kStationBytes; row += 16) {
            if (std::all_of(img + row, img + row + 16, [](uint8_t b) { return b == 0; })) continue;
            std::snprintf(head, sizeof head, "%d:%04zX: ", st, row);
            out << head << HexBytes(img + row, 16) << '\n';
        }
    }
    out.flush();
    if (!out) return SetError(error, "cannot write " + file);
    return true;
}

void Simulator::PushFault(const Fault& fault) {
    std::lock_guard<std::mutex> lock(mu_);
    plan_.Push(fault);
}

void Simulator::AddFault(const ScriptEntry& entry) {
    std::lock_guard<std::mutex> lock(mu_);
    plan_.Add(entry);
}

bool Simulator::AddFaults(std::string_view script, std::string* error) {
    std::vector<ScriptEntry> entries;
    if (!ParseFaultScript(script, entries, error)) return false;
    std::lock_guard<std::mutex> lock(mu_);
    for (const ScriptEntry& e : entries) plan_.Add(e);
    return true;
}

void Simulator::SetRandomFaults(double rate, uint64_t seed, std::vector<Fault> pool) {
    std::lock_guard<std::mutex> lock(mu_);
    plan_.SetRandom(rate, seed, std::move(pool));
}

void Simulator::ClearFaults() {
    std::lock_guard<std::mutex> lock(mu_);
    plan_.Clear();
}

size_t Simulator::PendingFaults() const {
    std::lock_guard<std::mutex> lock(mu_);
    return plan_.Pending();
}

Counters Simulator::GetCounters() const {
    std::lock_guard<std::mutex> lock(mu_);
    return counters_;
}

void Simulator::ResetCounters() {
    std::lock_guard<std::mutex> lock(mu_);
    counters_ = Counters{};
    handled_ = 0;
}

bool Simulator::WaitForRequests(uint64_t n, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return handled_ >= n; });
}

}  // namespace p8sim
