// The simulator serving a real pty, driven with raw bytes from the slave side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "sim/sim.h"

namespace p8sim {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

Bytes Header(uint8_t code, uint8_t station, uint16_t start, uint16_t end) {
    return {code,
            station,
            static_cast<uint8_t>(start >> 8),
            static_cast<uint8_t>(start),
            static_cast<uint8_t>(end >> 8),
            static_cast<uint8_t>(end)};
}

// The master's side of the line, as a driver would hold it.
class Line {
public:
    explicit Line(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ >= 0) {
            termios t;
            tcgetattr(fd_, &t);
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Line() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    void SendRaw(const Bytes& b) { ASSERT_EQ(write(fd_, b.data(), b.size()), ssize_t(b.size())); }
    void Send(const Bytes& block) { SendRaw(EncodeFrame(block)); }

    // Everything that arrives until the line has been quiet for `quiet`
    // after some bytes, or until `limit` in all. `first` gets the time from
    // the call to the first byte.
    Bytes Collect(milliseconds limit = milliseconds(2000), milliseconds quiet = milliseconds(250),
                  Clock::duration* first = nullptr) {
        Bytes got;
        const auto t0 = Clock::now();
        auto last = t0;
        while (true) {
            const auto now = Clock::now();
            if (now - t0 >= limit) break;
            if (!got.empty() && now - last >= quiet) break;
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0) continue;
            uint8_t buf[1024];
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) continue;
            if (got.empty() && first) *first = Clock::now() - t0;
            last = Clock::now();
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

    // Sends a request and decodes what comes back.
    std::vector<DecodeEvent> Exchange(const Bytes& block, milliseconds limit = milliseconds(2000)) {
        Send(block);
        return Decode(Collect(limit));
    }

    static std::vector<DecodeEvent> Decode(const Bytes& raw) {
        Decoder d;
        std::vector<DecodeEvent> ev;
        d.Feed(raw.data(), raw.size(), ev);
        return ev;
    }

private:
    int fd_ = -1;
};

// Other builds of this suite may run at the same time: files of their own.
std::string ScratchFile(const char* what) {
    return testing::TempDir() + "p8sim_" + what + "_" + std::to_string(getpid()) + ".txt";
}

Bytes OnlyFrame(const std::vector<DecodeEvent>& ev) {
    Bytes out;
    int frames = 0;
    for (const auto& e : ev) {
        if (e.type == DecodeEvent::kFrame) {
            out = e.data;
            ++frames;
        } else if (e.type != DecodeEvent::kDropped) {
            ADD_FAILURE() << "unexpected decode event " << e.type;
        }
    }
    EXPECT_EQ(frames, 1);
    return out;
}

TEST(SimServer, ReadsWritesAndStaysSilentForAbsentStations) {
    Simulator sim;
    sim.SetPresent(0x0008 | 0x0020);  // stations 3 and 5
    std::string err;
    ASSERT_TRUE(sim.Start(&err)) << err;
    ASSERT_EQ(sim.Path().rfind("/dev/pts/", 0), 0u) << sim.Path();
    Line line(sim.Path());
    ASSERT_TRUE(line.ok());

    sim.WriteMemory(5, 0x40, {0xF1, 0x59});
    EXPECT_EQ(OnlyFrame(line.Exchange(Header(kReqRead, 5, 0x0080, 0x0083))),
              (Bytes{kBlockData, 5, 0xF1, 0x59}));

    Bytes w = Header(kReqWrite, 3, 0xFFFE, 0x0001);
    w.insert(w.end(), {0xAB, 0xCD});
    EXPECT_EQ(OnlyFrame(line.Exchange(w)), (Bytes{kBlockDone, 3}));
    EXPECT_EQ(sim.ReadMemory(3, 0x7FFF, 2), (Bytes{0xAB, 0xCD}));

    EXPECT_EQ(OnlyFrame(line.Exchange(Header(kReqRead, 3, 0x0001, 0x0002))),
              (Bytes{kBlockError, 3, kReqRead, kErrNotWholeBytes}));

    // Station 4 is not on the line: no answer at all.
    EXPECT_TRUE(line.Exchange(Header(kReqRead, 4, 0, 1), milliseconds(300)).empty());

    ASSERT_TRUE(sim.WaitForRequests(4, 2000));
    const Counters c = sim.GetCounters();
    EXPECT_EQ(c.requests_seen, 4u);
    EXPECT_EQ(c.requests_ignored, 1u);
    EXPECT_EQ(c.replies_sent, 3u);
    EXPECT_EQ(c.writes_applied, 1u);
    EXPECT_EQ(c.plc_errors, 1u);

    sim.Stop();
    EXPECT_FALSE(sim.Serving());
}

// For load figures: every read answers the complement of the one before,
// and only the bytes it asked for change.
TEST(SimServer, InvertOnReadChangesWhatEachReadAsks) {
    Simulator sim;
    sim.SetInvertOnRead(true);
    std::string err;
    ASSERT_TRUE(sim.Start(&err)) << err;
    Line line(sim.Path());
    ASSERT_TRUE(line.ok());
    sim.WriteMemory(2, 0x40, {0x55, 0x0F, 0x77});
    const Bytes read = Header(kReqRead, 2, 0x0080, 0x0083);
    EXPECT_EQ(OnlyFrame(line.Exchange(read)), (Bytes{kBlockData, 2, 0xAA, 0xF0}));
    EXPECT_EQ(OnlyFrame(line.Exchange(read)), (Bytes{kBlockData, 2, 0x55, 0x0F}));
    EXPECT_EQ(sim.ReadMemory(2, 0x42, 1), (Bytes{0x77}));
    // A refused read changes nothing.
    EXPECT_EQ(OnlyFrame(line.Exchange(Header(kReqRead, 2, 0x0081, 0x0083))),
              (Bytes{kBlockError, 2, kReqRead, kErrNotWholeBytes}));
    EXPECT_EQ(sim.ReadMemory(2, 0x40, 2), (Bytes{0x55, 0x0F}));
    sim.Stop();
}

// Each fault as it appears on the line, answering a read of two bytes
// (12 34) from station 2.
TEST(SimServer, FaultsOnTheLine) {
    const Bytes good = {kBlockData, 2, 0x12, 0x34};
    const Bytes request = Header(kReqRead, 2, 0x0010, 0x0013);
    const struct {
        const char* fault;
        std::function<void(const Bytes& raw, const std::vector<DecodeEvent>& ev)> check;
    } cases[] = {
        {"ok", [&](const Bytes&, const auto& ev) { EXPECT_EQ(OnlyFrame(ev), good); }},
        {"error=0x25",
         [&](const Bytes&, const auto& ev) {
             EXPECT_EQ(OnlyFrame(ev), (Bytes{kBlockError, 2, kReqRead, 0x25}));
         }},
        {"unknown=0x07",
         [&](const Bytes&, const auto& ev) {
             EXPECT_EQ(OnlyFrame(ev), (Bytes{0x07, 2}));
         }},
        {"wrongtype",
         [&](const Bytes&, const auto& ev) {
             EXPECT_EQ(OnlyFrame(ev), (Bytes{kBlockDone, 2}));
         }},
        {"empty", [&](const Bytes&, const auto& ev) { EXPECT_EQ(OnlyFrame(ev), Bytes{}); }},
        {"short=1",
         [&](const Bytes&, const auto& ev) {
             EXPECT_EQ(OnlyFrame(ev), (Bytes{kBlockData, 2, 0x12}));
         }},
        {"crc",
         [&](const Bytes&, const auto& ev) {
             ASSERT_EQ(ev.size(), 1u);
             EXPECT_EQ(ev[0].type, DecodeEvent::kCrcError);
             EXPECT_EQ(ev[0].data, good);
         }},
        {"garbage=x3344",
         [&](const Bytes& raw, const auto& ev) {
             ASSERT_GE(raw.size(), 3u);
             EXPECT_EQ(raw[0], 0x33);
             EXPECT_EQ(raw[1], 0x44);
             EXPECT_EQ(raw[2], kStart1);
             EXPECT_EQ(OnlyFrame(ev), good);
         }},
        {"garbage=40",
         [&](const Bytes& raw, const auto& ev) {
             EXPECT_EQ(raw.size(), 40 + EncodeFrame(good).size());
             EXPECT_EQ(OnlyFrame(ev), good);
         }},
        {"lonestart", [&](const Bytes& raw, const auto&) { EXPECT_EQ(raw, Bytes{kStart1}); }},
        {"undoubled",
         [&](const Bytes& raw, const auto& ev) {
             // F1 59 00 04 03 | F1 59 | 02 12 34 crc
             ASSERT_GE(raw.size(), 7u);
             EXPECT_EQ(raw[5], kStart1);
             EXPECT_EQ(raw[6], kStart2);
             ASSERT_FALSE(ev.empty());
             EXPECT_EQ(ev[0].type, DecodeEvent::kBadCopy);
             for (const auto& e : ev) EXPECT_NE(e.type, DecodeEvent::kFrame);
         }},
        {"split=150", [&](const Bytes&, const auto& ev) { EXPECT_EQ(OnlyFrame(ev), good); }},
        {"silence", [&](const Bytes& raw, const auto&) { EXPECT_TRUE(raw.empty()); }},
        {"taken", [&](const Bytes& raw, const auto&) { EXPECT_TRUE(raw.empty()); }},
    };

    Simulator sim;
    std::string err;
    ASSERT_TRUE(sim.Start(&err)) << err;
    Line line(sim.Path());
    ASSERT_TRUE(line.ok());
    sim.WriteMemory(2, 0x08, {0x12, 0x34});
    uint64_t n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        ASSERT_TRUE(sim.AddFaults(c.fault, &err)) << err;
        line.Send(request);
        const Bytes raw = line.Collect(milliseconds(600), milliseconds(300));
        c.check(raw, Line::Decode(raw));
        ASSERT_TRUE(sim.WaitForRequests(++n, 2000));
    }
    const Counters counters = sim.GetCounters();
    EXPECT_EQ(counters.Faults(FaultKind::kBadCrc), 1u);
    EXPECT_EQ(counters.Faults(FaultKind::kGarbage), 2u);
    EXPECT_EQ(counters.replies_sent, n - 2);  // all but silence and taken
}

TEST(SimServer, LateAndSplitRepliesTakeTheirTime) {
    Simulator sim;
    std::string err;
    ASSERT_TRUE(sim.Start(&err)) << err;
    Line line(sim.Path());
    ASSERT_TRUE(sim.AddFaults("1:late=300, 2:split=200", &err)) << err;

    Clock::duration first{};
    line.Send(Header(kReqRead, 1, 0, 1));
    Bytes raw = line.Collect(milliseconds(3000), milliseconds(100), &first);
    EXPECT_EQ(OnlyFrame(Line::Decode(raw)), (Bytes{kBlockData, 1, 0}));
    EXPECT_GE(first, milliseconds(280));

    // The two halves of a split reply arrive at least the pause apart: a
    // short quiet limit ends the first collection between them.
    line.Send(Header(kReqRead, 1, 0, 1));
    const Bytes head = line.Collect(milliseconds(3000), milliseconds(60));
    const Bytes tail = line.Collect(milliseconds(3000), milliseconds(60));
    EXPECT_FALSE(head.empty());
    EXPECT_FALSE(tail.empty());
    Bytes whole = head;
    whole.insert(whole.end(), tail.begin(), tail.end());
    EXPECT_EQ(whole, EncodeFrame({kBlockData, 1, 0}));
}

TEST(SimServer, TakenWriteChangesMemoryWithoutReply) {
    Simulator sim;
    std::vector<Exchange> seen;
    sim.options().observer = [&seen](const Exchange& ex) { seen.push_back(ex); };
    std::string err;
    ASSERT_TRUE(sim.Start(&err)) << err;
    Line line(sim.Path());
    ASSERT_TRUE(sim.AddFaults("silence@write, taken@write", &err)) << err;

    Bytes w = Header(kReqWrite, 0, 0x0020, 0x0021);
    w.push_back(0x5A);
    EXPECT_TRUE(line.Exchange(w, milliseconds(300)).empty());  // not heard
    ASSERT_TRUE(sim.WaitForRequests(1, 2000));
    EXPECT_EQ(sim.ReadMemory(0, 0x10, 1), Bytes{0x00});
    EXPECT_TRUE(line.Exchange(w, milliseconds(300)).empty());  // heard, reply lost
    ASSERT_TRUE(sim.WaitForRequests(2, 2000));
    EXPECT_EQ(sim.ReadMemory(0, 0x10, 1), Bytes{0x5A});
    EXPECT_EQ(OnlyFrame(line.Exchange(w)), (Bytes{kBlockDone, 0}));

    sim.Stop();
    const Counters c = sim.GetCounters();
    EXPECT_EQ(c.writes_applied, 2u);
    EXPECT_EQ(c.replies_sent, 1u);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].fault, FaultKind::kSilence);
    EXPECT_FALSE(seen[0].write_applied);
    EXPECT_EQ(seen[1].fault, FaultKind::kTaken);
    EXPECT_TRUE(seen[1].write_applied);
    EXPECT_TRUE(seen[1].reply.empty());
    EXPECT_EQ(seen[2].reply, (Bytes{kBlockDone, 0}));
}

TEST(SimServer, BadInputIsDroppedAndTheNextRequestAnswered) {
    Simulator sim;
    sim.options().frame_gap_ms = 100;
    std::vector<std::string> trace;
    std::mutex mu;
    sim.options().trace = [&](const std::string& l) {
        std::lock_guard<std::mutex> lock(mu);
        trace.push_back(l);
    };
    std::string err;
    ASSERT_TRUE(sim.Start(&err)) << err;
    Line line(sim.Path());

    Bytes bad_crc = EncodeFrame(Header(kReqRead, 1, 0, 1));
    bad_crc.back() ^= 0x01;
    line.SendRaw(bad_crc);  // a real PLC does not answer a corrupted request
    EXPECT_TRUE(line.Collect(milliseconds(300)).empty());

    // Noise, then a frame cut off and left: given up after the gap.
    line.SendRaw({0x00, 0x13, 0xF1, 0x59, 0x00, 0x06, 0xA2});
    EXPECT_TRUE(line.Collect(milliseconds(400)).empty());

    EXPECT_EQ(OnlyFrame(line.Exchange(Header(kReqRead, 1, 0, 1))), (Bytes{kBlockData, 1, 0}));
    sim.Stop();
    const Counters c = sim.GetCounters();
    EXPECT_EQ(c.crc_errors, 1u);
    EXPECT_EQ(c.framing_errors, 1u);
    EXPECT_EQ(c.bytes_dropped, 2u);
    EXPECT_EQ(c.requests_seen, 1u);

    std::string all;
    for (const auto& l : trace) all += l + "\n";
    EXPECT_NE(all.find("RX bad CRC byte"), std::string::npos) << all;
    EXPECT_NE(all.find("RX 2 bytes dropped while hunting"), std::string::npos) << all;
    EXPECT_NE(all.find("RX frame dropped: cut off after 1 of 6 data bytes"), std::string::npos)
        << all;
    EXPECT_NE(all.find("RX #1 READ st 1 nibbles 0000-0001 = 1 byte @0000"), std::string::npos)
        << all;
    EXPECT_NE(all.find("TX #1 DATA st 1 1 byte: 00"), std::string::npos) << all;
}

TEST(SimServer, PacedRepliesTakeLineTime) {
    Simulator sim;
    std::string err;
    ASSERT_TRUE(sim.Start(&err)) << err;
    sim.SetPaceBaud(9600);
    Line line(sim.Path());
    // 258 data bytes of zeros: 263 characters, 11 bits each at 9600 baud.
    const auto t0 = Clock::now();
    line.Send(Header(kReqRead, 0, 0x0000, 0x01FF));
    const Bytes raw = line.Collect(milliseconds(5000), milliseconds(200));
    const auto took = Clock::now() - t0 - milliseconds(200);
    EXPECT_EQ(raw.size(), 263u);
    EXPECT_GE(took, milliseconds(250));  // 263 * 11 / 9600 s = 301 ms
}

TEST(SimServer, StopInterruptsALongDelay) {
    Simulator sim;
    std::string err;
    ASSERT_TRUE(sim.Start(&err)) << err;
    Line line(sim.Path());
    ASSERT_TRUE(sim.AddFaults("late=60000", &err));
    line.Send(Header(kReqRead, 0, 0, 1));
    line.Collect(milliseconds(200));
    const auto t0 = Clock::now();
    sim.Stop();
    EXPECT_LT(Clock::now() - t0, milliseconds(5000));
    EXPECT_FALSE(sim.Serving());
}

TEST(SimServer, StopsByItselfWhenIdle) {
    Simulator sim;
    sim.options().idle_exit_ms = 150;
    std::string err;
    ASSERT_TRUE(sim.Start(&err)) << err;
    const auto t0 = Clock::now();
    while (sim.Serving() && Clock::now() - t0 < milliseconds(5000)) {
        usleep(10000);
    }
    EXPECT_FALSE(sim.Serving());
    sim.Stop();
}

TEST(SimServer, MemoryImageRoundTrips) {
    Simulator a, b;
    a.WriteMemory(0, 0x0000, {0x01});
    a.WriteMemory(15, 0x7FFE, {0xFE, 0xFF});
    a.WriteMemory(7, 0x1234, Bytes(40, 0x77));
    const std::string file = ScratchFile("image");
    std::string err;
    ASSERT_TRUE(a.DumpMemory(file, &err)) << err;
    ASSERT_TRUE(b.LoadMemory(file, &err)) << err;
    for (int st = 0; st < kStations; ++st) {
        EXPECT_EQ(a.ReadMemory(st, 0, kStationBytes), b.ReadMemory(st, 0, kStationBytes)) << st;
    }

    // A bad line leaves memory as it was.
    std::ofstream(file) << "1:0000: 11 22\n16:0000: 33\n";
    EXPECT_FALSE(b.LoadMemory(file, &err));
    EXPECT_NE(err.find(":2:"), std::string::npos) << err;
    EXPECT_EQ(b.ReadMemory(1, 0, 2), (Bytes{0, 0}));
    std::ofstream(file) << "1:7FFF: 11 22\n";
    EXPECT_FALSE(b.LoadMemory(file, &err));
    std::remove(file.c_str());
}

// The program as a child process: its first line is the pty path, it
// serves, stops after the given number of requests and dumps its memory.
// The request that makes it stop is for a station not on the line: the pty
// hangs up as the program exits, and a reply not read by then is gone.
TEST(SimServer, ProgramServesAndExits) {
    const std::string load = ScratchFile("load"), dump = ScratchFile("dump");
    std::ofstream(load) << "# preset\n9:0100: C0 FF EE\n";

    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl(P8SIM_PROGRAM, "p8sim", "--load", load.c_str(), "--dump", dump.c_str(),
              "--exit-after-requests", "3", "--stations", "9", "--fault", "1:crc", "--idle-exit",
              "20", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string path;
    char c;
    pollfd p = {out[0], POLLIN, 0};
    while (poll(&p, 1, 5000) > 0 && read(out[0], &c, 1) == 1 && c != '\n') path += c;
    close(out[0]);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    {
        Line line(path);
        ASSERT_TRUE(line.ok());
        const auto ev = line.Exchange(Header(kReqRead, 9, 0x0200, 0x0205));
        ASSERT_EQ(ev.size(), 1u);
        EXPECT_EQ(ev[0].type, DecodeEvent::kCrcError);
        Bytes w = Header(kReqWrite, 9, 0x0206, 0x0207);
        w.push_back(0x42);
        EXPECT_EQ(OnlyFrame(line.Exchange(w)), (Bytes{kBlockDone, 9}));
        line.Send(Header(kReqRead, 8, 0x0200, 0x0201));
    }
    int status = -1;
    const auto t0 = Clock::now();
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() - t0 > milliseconds(10000)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            FAIL() << "p8sim did not exit";
        }
        usleep(10000);
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::stringstream ss;
    ss << std::ifstream(dump).rdbuf();
    EXPECT_NE(ss.str().find("9:0100: C0 FF EE 42 00"), std::string::npos) << ss.str();
    std::remove(load.c_str());
    std::remove(dump.c_str());
}

}  // namespace
}  // namespace p8sim
