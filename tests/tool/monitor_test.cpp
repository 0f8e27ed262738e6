// The line monitor: its decoding of byte streams, then the built vave8ctl
// monitor watching real traffic between the driver and the simulated PLC
// through a relay of pseudo-terminals that copies each direction to a tap.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/reply_times.h"
#include "sim/sim.h"
#include "tests/tool/run_tool.h"
#include "tools/monitor_decode.h"

namespace {

using Bytes = std::vector<uint8_t>;
using p8sim::EncodeFrame;

// The value of a field of a one-line JSON object, as written (quotes kept).
std::string Field(const std::string& json, const std::string& name) {
    const std::string key = "\"" + name + "\":";
    const size_t at = json.find(key);
    if (at == std::string::npos) return "";
    size_t from = at + key.size();
    size_t to = json[from] == '"' ? json.find('"', from + 1) + 1 : json.find_first_of(",}", from);
    return json.substr(from, to - from);
}

// "request", "reply", "stray" or "broken:<fault>".
std::string Kind(const std::string& json) {
    std::string kind = Field(json, "kind");
    kind = kind.substr(1, kind.size() - 2);
    const std::string fault = Field(json, "fault");
    return kind == "broken" ? kind + ":" + fault.substr(1, fault.size() - 2) : kind;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes kRead3 = EncodeFrame({0xA2, 3, 0x01, 0x00, 0x01, 0x03});
const Bytes kData3 = EncodeFrame({3, 3, 0xF1, 0x59});
const Bytes kError3 = EncodeFrame({1, 3, 0xA2, 0x0C});

struct Chunk {
    size_t port;
    Bytes bytes;
    double ms;           // arrival
    bool quiet = false;  // then the port falls silent
};

struct WatchCase {
    const char* what;
    std::vector<Chunk> chunks;
    std::vector<std::string> kinds;
    const char* station;  // fields of station 3 in the JSON summary
};

TEST(MonitorDecode, NamesPairsAndCountsWhatCrossesTheLine) {
    const WatchCase cases[] = {
        {"read answered, doubled data bytes",
         {{0, kRead3, 0}, {0, kData3, 5}},
         {"request", "reply"},
         "\"requests\":1,\"replies\":1,\"broken\":0,\"no_reply\":0,\"errors\":{}"},
        {"ERROR blocks counted by code",
         {{0, kRead3, 0}, {0, kError3, 1}, {0, kRead3, 2}, {0, kError3, 3}},
         {"request", "reply", "request", "reply"},
         "\"requests\":2,\"replies\":2,\"broken\":0,\"no_reply\":0,\"errors\":{\"12\":2}"},
        {"bad CRC reply, retried",
         {{0, kRead3, 0}, {0, EncodeFrame({3, 3, 0, 0}, 0x55), 1}, {0, kRead3, 2}, {0, kData3, 3}},
         {"request", "broken:crc", "request", "reply"},
         "\"requests\":2,\"replies\":1,\"broken\":1,\"no_reply\":0"},
        {"silence, then a retry",
         {{0, kRead3, 0}, {0, kRead3, 200}, {0, kData3, 201}},
         {"request", "request", "reply"},
         "\"requests\":2,\"replies\":1,\"broken\":0,\"no_reply\":1"},
        {"reply from another station is not paired",
         {{0, kRead3, 0}, {0, EncodeFrame({0, 4}), 1}},
         {"request", "reply"},
         "\"requests\":1,\"replies\":0"},
        {"length over 262, doubled byte miscopied, noise, cut off",
         {{0, {0xF1, 0x59, 0x01, 0x07}, 0},
          {0, {0xF1, 0x59, 0x00, 0x02, 0xF1, 0x20}, 1},
          {0, Cat({kRead3, {0x11, 0x22}, {0xF1, 0x59, 0x00, 0x04, 0x03}}), 2, true}},
         {"broken:too_long", "broken:copy", "stray", "request", "stray", "broken:cut_off"},
         "\"requests\":1,\"replies\":0,\"broken\":1"},
        {"broken frame on the port that carries the requests is not a reply",
         {{0, kRead3, 0},
          {1, kData3, 1},
          {0, kRead3, 2},
          {0, EncodeFrame({0, 3}, 0), 3},
          {1, kData3, 4}},
         {"request", "reply", "request", "broken:crc", "reply"},
         "\"requests\":2,\"replies\":2,\"broken\":0"},
    };
    for (const WatchCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> lines;
        vave8ctl::LineWatch watch({true, true}, [&](const std::string& l) { lines.push_back(l); });
        watch.AddPort("a");
        watch.AddPort("b");
        for (const Chunk& chunk : c.chunks) {
            const double s = chunk.ms / 1000;
            watch.Feed(chunk.port, chunk.bytes.data(), chunk.bytes.size(), {1e9 + s, s});
            if (chunk.quiet) watch.Quiet(chunk.port);
        }
        std::vector<std::string> kinds;
        for (const std::string& l : lines) kinds.push_back(Kind(l));
        EXPECT_EQ(kinds, c.kinds);
        const std::string summary = watch.Summary(1);
        EXPECT_NE(summary.find(c.station), std::string::npos) << summary;
        EXPECT_EQ(watch.Events(), lines.size());
    }
}

TEST(MonitorDecode, TimesGapsRepliesAndShowsTheLineBytes) {
    std::vector<std::string> lines;
    vave8ctl::LineWatch watch({true, true}, [&](const std::string& l) { lines.push_back(l); });
    watch.AddPort("a");
    watch.Feed(0, kRead3.data(), 4, {1e9, 0.100});  // a request in two pieces
    watch.Feed(0, kRead3.data() + 4, kRead3.size() - 4, {1e9, 0.102});
    double requestEnd = 0.102;
    for (int i = 0; i < 20; ++i) {  // reply times 1..20 ms
        watch.Feed(0, kData3.data(), kData3.size(), {1e9, requestEnd + (i + 1) / 1000.0});
        requestEnd = 1.0 + i;
        watch.Feed(0, kRead3.data(), kRead3.size(), {1e9, requestEnd});
    }
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(Field(lines[0], "gap_ms"), "null");
    EXPECT_EQ(Field(lines[0], "raw"), "\"" + p8sim::HexBytes(kRead3) + "\"");
    EXPECT_EQ(Field(lines[1], "raw"), "\"F1 59 00 04 03 03 F1 F1 59 59 8F\"");
    EXPECT_EQ(Field(lines[1], "data"), "\"F1 59\"");
    EXPECT_EQ(Field(lines[1], "reply_ms"), "1.000");
    EXPECT_EQ(Field(lines[1], "gap_ms"), "1.000");
    EXPECT_EQ(Field(lines[2], "n"), "2");
    const std::string summary = watch.Summary(1);
    EXPECT_NEAR(std::stod(Field(summary, "reply_ms_median")), 10.0,
                10.0 * hostlib::ReplyTimes::kRelativeError)
        << summary;
    EXPECT_EQ(Field(summary, "reply_ms_p99"), "20.000") << summary;
    EXPECT_EQ(Field(summary, "reply_ms_max"), "20.000") << summary;
}

// --times N: a read that brings many frames still shows exactly N, and
// nothing more when the watch ends with a frame cut off.
TEST(MonitorDecode, StopsAtTheLimitWhateverOneReadBrought) {
    std::vector<std::string> lines;
    vave8ctl::LineWatch watch({false, true}, [&](const std::string& l) { lines.push_back(l); });
    watch.AddPort("a");
    watch.SetLimit(2);
    const Bytes burst = Cat({kRead3, kData3, kRead3, kData3, kRead3, {0xF1, 0x59, 0x00}});
    watch.FeedTogether({{0, burst}}, {1e9, 0});
    watch.Finish();
    EXPECT_EQ(watch.Events(), 2u);
    EXPECT_EQ(lines.size(), 2u);
    EXPECT_TRUE(tooltest::Contains(watch.Summary(1), "\"requests\":1,\"replies\":1"))
        << watch.Summary(1);
}

// Copies what a host sends to the PLC and back, each direction also to a
// tap pseudo-terminal of its own: what a tap on a point-to-point line sees.
class Relay {
public:
    bool Start(const std::string& plcPath) {
        plc_ = open(plcPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (plc_ < 0 || !Pty(&host_, &hostName_, &hostSlave_) ||
            !Pty(&tap_[0], &tapName_[0], &tapSlave_[0]) ||
            !Pty(&tap_[1], &tapName_[1], &tapSlave_[1])) {
            return false;
        }
        Raw(plc_);
        thread_ = std::thread([this] { Run(); });
        return true;
    }
    ~Relay() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (int fd : {plc_, host_, hostSlave_, tap_[0], tap_[1], tapSlave_[0], tapSlave_[1]}) {
            if (fd >= 0) close(fd);
        }
    }
    std::string host() const { return hostName_; }
    std::string tap(int i) const { return tapName_[i]; }

private:
    static void Raw(int fd) {
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    // The slave is held open (raw) so that bytes written before the monitor
    // or the driver opens it wait in its buffer.
    static bool Pty(int* master, std::string* name, int* slave) {
        *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0) return false;
        const char* path = ptsname(*master);
        if (path == nullptr) return false;
        *name = std::string(path).substr(5);  // relative to /dev
        *slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (*slave < 0) return false;
        Raw(*slave);
        Raw(*master);
        return true;
    }
    void Run() {
        pollfd fds[2] = {{host_, POLLIN, 0}, {plc_, POLLIN, 0}};
        while (!stop_) {
            if (poll(fds, 2, 20) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if ((fds[i].revents & POLLIN) == 0) continue;
                uint8_t buffer[512];
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0) continue;
                // The tap first, and on only once the monitor has read it:
                // each direction's bytes are then seen before the other end
                // can answer them, as at a real line's speed.
                const int to = i == 0 ? plc_ : host_;
                const bool tapped = write(tap_[i], buffer, static_cast<size_t>(n)) == n;
                // The pty hands the bytes to its slave side from a kernel
                // worker; a poll there waits for it, so the count is whole.
                pollfd handed{tapSlave_[i], POLLIN, 0};
                poll(&handed, 1, 0);
                for (int waited = 0, queued = 1; queued > 0 && waited < 2000; ++waited) {
                    if (ioctl(tapSlave_[i], FIONREAD, &queued) != 0) break;
                    if (queued > 0) usleep(1000);
                }
                if (!tapped || write(to, buffer, static_cast<size_t>(n)) != n) {
                    ADD_FAILURE() << "relay write failed: " << std::strerror(errno);
                }
            }
        }
    }
    int plc_ = -1, host_ = -1, hostSlave_ = -1;
    int tap_[2] = {-1, -1}, tapSlave_[2] = {-1, -1};
    std::string hostName_, tapName_[2];
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

Bytes RequestBlock(const p8sim::Request& r) {
    Bytes b = {r.code,
               r.station,
               static_cast<uint8_t>(r.start >> 8),
               static_cast<uint8_t>(r.start),
               static_cast<uint8_t>(r.end >> 8),
               static_cast<uint8_t>(r.end)};
    b.insert(b.end(), r.data.begin(), r.data.end());
    return b;
}

std::string Quoted(const std::string& s) {
    return "\"" + s + "\"";
}

// What the monitor shows on the taps is what the driver sent (its frames
// re-encoded by the simulated PLC's codec, and its own --trace) and what the
// simulated PLC says it sent, faults included.
TEST(MonitorOnRealTraffic, DecodesBothEndsFramesAndFaults) {
    std::mutex mu;
    std::vector<p8sim::Exchange> exchanges;
    p8sim::Options simOptions;
    simOptions.observer = [&](const p8sim::Exchange& ex) {
        std::lock_guard<std::mutex> lock(mu);
        exchanges.push_back(ex);
    };
    p8sim::Simulator sim(simOptions);
    sim.WriteMemory(3, 0x80, {0xF1, 0x59, 0x00, 0x7F, 1, 2, 3, 4});
    ASSERT_TRUE(sim.AddFaults("2:error=0x0C,3:crc,4:garbage=5,5:error=0x05,6:silence"));
    ASSERT_TRUE(sim.Start());
    Relay relay;
    ASSERT_TRUE(relay.Start(sim.Path()));

    tooltest::ToolRun monitor;
    std::atomic<bool> watching{false};
    std::thread watcher([&] {
        monitor =
            tooltest::RunTool({"monitor", "--port", relay.tap(0), "--port", "/dev/" + relay.tap(1),
                               "--json", "--raw", "--times", "14", "--for", "20"},
                              30000, [&](const std::string&, const std::string& err, pid_t) {
                                  if (tooltest::Contains(err, "monitoring")) watching = true;
                              });
    });
    // What waits in a tap before the monitor looks is dropped: start the
    // traffic once it watches.
    for (int i = 0; i < 2000 && !watching; ++i) usleep(10000);
    ASSERT_TRUE(watching);
    const std::string port = relay.host();
    const std::vector<std::vector<std::string>> runs = {
        {"read", "0340100", "--count", "4"},  // 1
        {"write", "0340100", "0x1234"},       // 2 ERROR 0C, 3 bad CRC, 4 noise then DONE
        {"read", "0380008"},                  // 5 ERROR 05: not retried
        {"read", "0340100"},                  // 6 silence, 7 answered
    };
    std::string driverTrace;
    for (const auto& args : runs) {
        std::vector<std::string> full = args;
        // The relay holds each direction's bytes until the monitor, a
        // process of its own, has read them: 500 ms gives it room to be
        // scheduled late; only the one silent attempt waits it out.
        full.insert(full.end(), {"--port", port, "--ticks", "50", "--trace"});
        const tooltest::ToolRun run = tooltest::RunTool(full);
        driverTrace += run.out + run.err;
    }
    watcher.join();
    sim.Stop();

    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = monitor.out.find('\n', at)) != std::string::npos; at = nl + 1) {
        lines.push_back(monitor.out.substr(at, nl - at));
    }
    ASSERT_EQ(monitor.exitCode, 0) << monitor.err;
    ASSERT_EQ(lines.size(), 15u) << monitor.out << monitor.err << driverTrace;
    ASSERT_EQ(exchanges.size(), 7u);

    // Event by event: requests as the driver framed them, replies as the PLC
    // framed them, the PLC's faults where it put them.
    const std::vector<std::pair<int, std::string>> expected = {
        {1, "request"},    {1, "reply"},   {2, "request"}, {2, "reply"}, {3, "request"},
        {3, "broken:crc"}, {4, "request"}, {4, "stray"},   {4, "reply"}, {5, "request"},
        {5, "reply"},      {6, "request"}, {7, "request"}, {7, "reply"}};
    for (size_t i = 0; i < expected.size(); ++i) {
        const std::string& line = lines[i];
        SCOPED_TRACE(line);
        const p8sim::Exchange& ex = exchanges[static_cast<size_t>(expected[i].first - 1)];
        const std::string kind = Kind(line);
        ASSERT_EQ(kind, expected[i].second);
        EXPECT_EQ(Field(line, "port"),
                  Quoted(kind == "request" ? relay.tap(0) : "/dev/" + relay.tap(1)));
        if (kind == "request") {
            EXPECT_EQ(Field(line, "n"), std::to_string(ex.index));
            EXPECT_EQ(Field(line, "raw"),
                      Quoted(p8sim::HexBytes(EncodeFrame(RequestBlock(ex.request)))));
        } else if (kind == "reply") {
            EXPECT_EQ(Field(line, "request"), std::to_string(ex.index));
            EXPECT_EQ(Field(line, "raw"), Quoted(p8sim::HexBytes(EncodeFrame(ex.reply))));
        } else if (kind == "broken:crc") {
            EXPECT_EQ(Field(line, "block"), Quoted(p8sim::HexBytes(ex.reply)));
        } else {
            EXPECT_EQ(Field(line, "count"), "5");
        }
    }
    // The driver's own account of its last exchanges.
    EXPECT_TRUE(tooltest::Contains(driverTrace, "DATA (type 3), 8 bytes: F1 59 00 7F 01 02 03 04"));
    EXPECT_EQ(Field(lines[1], "data"), "\"F1 59 00 7F 01 02 03 04\"");
    EXPECT_TRUE(tooltest::Contains(
        driverTrace, "nibbles 0x0100..0x0103 = 1 item of '4' from item 64, data 12 34"));
    EXPECT_EQ(Field(lines[2], "start") + " " + Field(lines[2], "end") + Field(lines[2], "data"),
              "256 259\"12 34\"");
    EXPECT_EQ(Field(lines[10], "code"), "5");

    const std::string& summary = lines[14];
    EXPECT_TRUE(tooltest::Contains(
        summary,
        "{\"station\":3,\"requests\":7,\"replies\":5,\"broken\":1,\"no_reply\":1,"
        "\"errors\":{\"5\":1,\"12\":1}"))
        << summary;
    EXPECT_TRUE(tooltest::Contains(
        summary, "\"bad_crc\":1,\"bad_copy\":0,\"too_long\":0,\"cut_off\":0,\"stray_bytes\":5"))
        << summary;
}

TEST(MonitorCli, RefusesWhatItCannotWatch) {
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char* err;
    } cases[] = {
        {{"monitor"}, 64, "monitor needs --port NAME"},
        {{"monitor", "--port", "a", "--port", "b", "--port", "c"}, 64, "at most two ports"},
        {{"monitor", "--port", "a", "--frob"}, 64, "unknown option or argument '--frob'"},
        {{"monitor", "--port", "a", "--for", "0"}, 64, "--for"},
        {{"monitor", "--port", "no-such-port-here"}, 2, "cannot open /dev/no-such-port-here"},
        {{"monitor", "--port", "/dev/null"}, 2, "/dev/null is not a serial port"},
        {{"monitor", "--port", "/dev/null", "--baud", "12345"}, 64, "not a standard rate"},
        // A value left out is not taken from the next option.
        {{"monitor", "--port", "--for", "0.2"}, 64, "--port needs a value, and '--for' is"},
        {{"monitor", "--port", "--raw"}, 64, "--port needs a value, and '--raw' is"},
        {{"monitor", "--port", "a", "--times", "-5"}, 64, "'-5' is not a whole number of 1 or"},
        {{"monitor", "--port", "a", "--for", "0.0001"}, 64, "in 0.001..31536000"},
        {{"monitor", "--port", "pts/9", "--port", "/dev/pts/9"}, 64, "/dev/pts/9 given twice"},
    };
    for (const auto& c : cases) {
        const tooltest::ToolRun run = tooltest::RunTool(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        EXPECT_TRUE(tooltest::Contains(run.err, c.err)) << run.err;
    }
}

// A pseudo-terminal keeps no parity: the second run, asking for what the
// first left, must open it as well. Bytes that waited before the start are
// dropped and said so, not shown as if they had just come.
TEST(MonitorCli, OpensAPseudoTerminalAgainAndDropsWhatWaited) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    for (const char* parity : {"even", "even", "odd", "odd"}) {
        const tooltest::ToolRun run =
            tooltest::RunTool({"monitor", "--port", slave, "--parity", parity, "--for", "0.05"});
        EXPECT_EQ(run.exitCode, 0) << parity << ": " << run.err;
    }
    // Held open, so that what the master writes waits for the monitor.
    const int held = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(write(master, kRead3.data(), kRead3.size()), static_cast<ssize_t>(kRead3.size()));
    const tooltest::ToolRun run =
        tooltest::RunTool({"monitor", "--port", slave, "--for", "0.05", "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(tooltest::Contains(
        run.err, "dropped " + std::to_string(kRead3.size()) + " bytes that waited"))
        << run.err;
    EXPECT_TRUE(tooltest::Contains(run.out, "\"events\":0")) << run.out;
    close(held);
    close(master);
}

}  // namespace
