// A connection's life through NuvMain on real pseudo-terminals: opening,
// exclusive use, flushing, closing, reopening, reconfiguring and the end of
// the module, as a host drives them.
#include <dlfcn.h>
#include <sys/resource.h>

#include <cstdio>
#include <filesystem>
#include <regex>

#include "e2e/e2e_fixture.h"

namespace e2e {
namespace {

const char kOpenedPrefix[] = "[8] VAVE8> OpenCom() exited OK, file handle ";

std::string Opened(const Host& host) {
    return kOpenedPrefix + std::to_string(host.inst.portHandle);
}

bool IsVersionLine(const std::string& line) {
    static const std::regex version(
        R"(\[8\] VAVE8> version compiled on [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} at time )"
        R"([0-2][0-9]:[0-5][0-9]:[0-6][0-9])");
    return std::regex_match(line, version);
}

// A word gate at station 1, nibble 0x0100 (byte 0x80), and the value the
// simulated PLC holds there.
constexpr char kWord[] = "0140100";
constexpr uint16_t kWordValue = 0xBEEF;

void LoadWord(Plc& plc, uint16_t value = kWordValue) {
    plc.sim.WriteMemory(1, 0x80, {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
}

// Reads the word gate; the slot, or -1 when the read failed.
int32_t ReadWord(Host& host) {
    Gate gate = host.Parse(kWord, 0);
    if (host.Run(FN_SINGLE_READ, gate) != NUV_OK) return -1;
    return gate.Slot16(2);
}

struct StartCase {
    const char* what;
    std::string port;  // empty: the simulated PLC's pty
    int32_t open;
    int32_t result;
    bool opened;
};

TEST(E2eLifecycle, ColdStartOpensOrRefusesThePort) {
    Plc plc;
    ASSERT_TRUE(plc.Started()) << plc.Error();
    const std::vector<std::string> refused = {"[32] VAVE8> OpenCom() open COM port failed",
                                              "[32] VAVE8> ColdStart() error opening COM port"};
    const StartCase cases[] = {
        {"pseudo-terminal", "", 1, NUV_OK, true},
        {"null device", "NUL", 1, NUV_OK, true},
        {"no port wanted", "", 0, NUV_OK, false},
        {"no such device", "nosuchtty", 1, NUV_FAILED, false},
    };
    for (const StartCase& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture log;
        Host host;
        ASSERT_EQ(host.ColdStart(c.port.empty() ? plc.Port() : c.port, kTicks, c.open), c.result);
        const auto trail = Trail(log);
        ASSERT_FALSE(trail.empty());
        EXPECT_TRUE(IsVersionLine(trail[0])) << trail[0];
        std::vector<std::string> rest(trail.begin() + 1, trail.end());
        if (c.opened) {
            EXPECT_NE(host.inst.portHandle, 0u);
            EXPECT_EQ(rest,
                      (std::vector<std::string>{Opened(host), "[8] VAVE8> installation OK!"}));
        } else {
            EXPECT_EQ(host.inst.portHandle, 0u);
            EXPECT_EQ(rest, c.result == NUV_OK ? std::vector<std::string>{} : refused);
        }
        EXPECT_EQ(host.inst.timeoutTicks, kTicks);
        if (c.open == 0) {
            // Without a port every transfer is refused before any traffic.
            log.clear();
            EXPECT_EQ(ReadWord(host), -1);
            EXPECT_EQ(Trail(log), At8({"VAVE8> Single Read() , ret val is 1"}));
        }
    }
    EXPECT_EQ(plc.sim.GetCounters().requests_seen, 0u);
}

// Two links to the PLC's pty: one named by eleven characters, one by those,
// an 'X' and what follows the name field in the connection's settings when
// they hold 9600 baud and 8 data bits (80 25 08 00).
struct TrapNames {
    std::string eleven;
    std::string overRead;
    explicit TrapNames(const std::string& target) {
        for (int i = 0; i < 100 && eleven.empty(); ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "/tmp/v8%04d", (getpid() + i) % 10000);
            const std::string longer = std::string(name) + "X\x80\x25\x08";
            if (symlink(target.c_str(), name) != 0) continue;
            if (symlink(target.c_str(), longer.c_str()) != 0) {
                unlink(name);
                continue;
            }
            eleven = name;
            overRead = longer;
        }
    }
    ~TrapNames() {
        if (!eleven.empty()) unlink(eleven.c_str());
        if (!overRead.empty()) unlink(overRead.c_str());
    }
};

TEST(E2eLifecycle, PortNameWithoutTerminatorIsRefused) {
    Plc plc;
    ASSERT_TRUE(plc.Started()) << plc.Error();
    TrapNames names(plc.sim.Path());
    ASSERT_EQ(names.eleven.size(), 11u);
    // Twelve characters, no terminator: cut short or read past its field,
    // the name would open a port.
    StartParams start{};
    std::memcpy(start.portName, names.eleven.data(), 11);
    start.portName[11] = 'X';
    start.openFlag = 1;
    start.timeoutTicks = kTicks;
    start.line = kLine;

    LogCapture log;
    Host host;
    EXPECT_EQ(host.Call(FN_COLD_START, &start), NUV_FAILED);
    EXPECT_EQ(host.inst.portHandle, 0u);
    const auto trail = Trail(log);
    ASSERT_EQ(trail.size(), 3u);
    EXPECT_EQ(trail[1], "[32] VAVE8> OpenCom() open COM port failed");
    EXPECT_EQ(trail[2], "[32] VAVE8> ColdStart() error opening COM port");

    start.portName[11] = '\0';
    EXPECT_EQ(host.Call(FN_COLD_START, &start), NUV_OK);
}

TEST(E2eLifecycle, PortIsHeldExclusivelyUntilClosed) {
    Plc plc;
    ASSERT_TRUE(plc.Started()) << plc.Error();
    LoadWord(plc);
    Host first;
    Host second;
    ASSERT_EQ(first.ColdStart(plc.Port()), NUV_OK);

    LogCapture log;
    EXPECT_EQ(second.ColdStart(plc.Port()), NUV_FAILED);
    EXPECT_EQ(second.inst.portHandle, 0u);
    log.clear();
    EXPECT_EQ(second.Call(FN_REOPEN_COM), NUV_FAILED);
    EXPECT_EQ(Trail(log), (std::vector<std::string>{"[32] VAVE8> OpenCom() open COM port failed",
                                                    "[32] VAVE8> ReOpenCom() exited 2"}));
    EXPECT_EQ(ReadWord(first), kWordValue);

    // Closing twice: the second close has nothing to do and says only that.
    for (int round = 0; round < 2; ++round) {
        log.clear();
        EXPECT_EQ(first.Call(FN_CLOSE_COM), NUV_OK);
        EXPECT_EQ(first.inst.portHandle, 0u);
        EXPECT_EQ(Trail(log), At8({"VAVE8> CloseCom() exited 0"}));
    }
    EXPECT_EQ(ReadWord(first), -1);

    // Released: the other connection reopens with the settings it stored.
    log.clear();
    ASSERT_EQ(second.Call(FN_REOPEN_COM), NUV_OK);
    EXPECT_EQ(Trail(log),
              (std::vector<std::string>{Opened(second), "[8] VAVE8> ReOpenCom() exited 0"}));
    EXPECT_EQ(ReadWord(second), kWordValue);
    EXPECT_EQ(first.Call(FN_REOPEN_COM), NUV_FAILED);

    second.Call(FN_CLOSE_COM);
    ASSERT_EQ(first.Call(FN_REOPEN_COM), NUV_OK);
    EXPECT_EQ(ReadWord(first), kWordValue);
}

TEST(E2eLifecycle, WarmStartDropsWhatArrivedUnasked) {
    FarEnd far;
    ASSERT_TRUE(far.Ok());
    Host host;
    ASSERT_EQ(host.ColdStart(far.Port(), 20), NUV_OK);
    // A whole stale data block among the noise.
    Bytes stale(100, 0x33);
    const Bytes frame = p8sim::EncodeFrame({3, 1, 0x12, 0x34});
    stale.insert(stale.begin() + 40, frame.begin(), frame.end());
    ASSERT_TRUE(far.Put(stale));
    ASSERT_TRUE(WaitQueued(host.Fd(), static_cast<int>(stale.size())));

    LogCapture log;
    EXPECT_EQ(host.Call(FN_WARM_START), NUV_OK);
    EXPECT_EQ(Trail(log), At8({"VAVE8> WarmStart()"}));
    EXPECT_EQ(Queued(host.Fd()), 0);

    // The flush kept the connection's read limit: a silent far end still
    // costs three full limits of 200 ms, neither less nor for ever.
    log.clear();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadWord(host), -1);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_GE(ms, 550);
    EXPECT_LT(ms, 5000);
    EXPECT_EQ(far.Requests(3), 3);
}

TEST(E2eLifecycle, ChangeNuvParamsClosesFirstAndKeepsWhatItIsNotGiven) {
    Plc a;
    Plc b;
    ASSERT_TRUE(a.Started()) << a.Error();
    ASSERT_TRUE(b.Started()) << b.Error();
    LoadWord(a, 0xAAA1);
    LoadWord(b, 0xBBB2);
    Host host;
    ASSERT_EQ(host.ColdStart(a.Port()), NUV_OK);

    constexpr LineParams kKeep{0, 7, 2, 1};  // baud 0: the rest is ignored too
    constexpr LineParams kOther{19200, 8, 0, 0};
    struct Step {
        const char* what;
        Plc* plc;
        int32_t ticks;
        LineParams line;
        int32_t wantTicks;
        LineParams wantLine;
        uint16_t value;
    };
    const Step steps[] = {
        {"same name, keep all", &a, -1, kKeep, kTicks, kLine, 0xAAA1},
        {"new name, keep all", &b, 0, kKeep, kTicks, kLine, 0xBBB2},
        {"same name, new timeout and line", &b, 7, kOther, 7, kOther, 0xBBB2},
        {"back to the first", &a, 12, kLine, 12, kLine, 0xAAA1},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        LogCapture log;
        ASSERT_EQ(host.Change(s.plc->Port(), s.ticks, s.line), NUV_OK);
        // The old port is closed before the new one opens, even when it is
        // the same exclusive device.
        EXPECT_EQ(Trail(log),
                  (std::vector<std::string>{"[8] VAVE8> CloseCom() exited 0", Opened(host)}));
        EXPECT_EQ(host.inst.timeoutTicks, s.wantTicks);
        EXPECT_EQ(std::memcmp(&host.inst.com.line, &s.wantLine, sizeof s.wantLine), 0);
        EXPECT_EQ(host.inst.com.lineFlags, 0x0303);
        EXPECT_STREQ(host.inst.com.portName, s.plc->Port().c_str());
        EXPECT_EQ(ReadWord(host), s.value);
    }
    EXPECT_EQ(a.sim.GetCounters().requests_seen, 2u);
    EXPECT_EQ(b.sim.GetCounters().requests_seen, 2u);

    LogCapture log;
    EXPECT_EQ(host.Change("nosuchtty", -1, kKeep), NUV_FAILED);
    EXPECT_EQ(Trail(log),
              (std::vector<std::string>{"[8] VAVE8> CloseCom() exited 0",
                                        "[32] VAVE8> OpenCom() open COM port failed",
                                        "[8] VAVE8> ChangeNuvParams() open new COM port failed"}));
    EXPECT_EQ(host.inst.portHandle, 0u);
    // The old port was let go.
    Host other;
    EXPECT_EQ(other.ColdStart(a.Port()), NUV_OK);
}

// A copy of the module under another name: the loader maps it afresh, with
// an ended flag of its own, so ending it leaves the shared module running.
class PrivateModule {
public:
    PrivateModule() {
        char dir[] = "/tmp/vave8-e2e-XXXXXX";
        if (mkdtemp(dir) == nullptr) return;
        dir_ = dir;
        const std::string path = dir_ + "/libvave8.so";
        std::error_code ec;
        if (!std::filesystem::copy_file(VAVE8_MODULE, path, ec)) return;
        module_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module_ != nullptr) entry_ = reinterpret_cast<Entry>(dlsym(module_, "NuvMain"));
    }
    ~PrivateModule() {
        if (module_ != nullptr) dlclose(module_);
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    Entry entry() const { return entry_; }

private:
    std::string dir_;
    void* module_ = nullptr;
    Entry entry_ = nullptr;
};

TEST(E2eLifecycle, EndNuvClosesThePortAndEndsTheModuleForGood) {
    Plc plc;
    ASSERT_TRUE(plc.Started()) << plc.Error();
    LoadWord(plc);
    PrivateModule module;
    ASSERT_NE(module.entry(), nullptr);
    ASSERT_NE(module.entry(), SharedEntry());

    Host host(module.entry());
    ASSERT_EQ(host.ColdStart(plc.Port()), NUV_OK);
    ASSERT_EQ(ReadWord(host), kWordValue);
    LogCapture log;
    EXPECT_EQ(host.Call(FN_END_NUV), NUV_OK);
    EXPECT_EQ(Trail(log), At8({"VAVE8> CloseCom() exited 0", "VAVE8> EndNuv() exited, 0"}));
    EXPECT_EQ(host.inst.portHandle, 0u);

    // Ended: every call answers 0 and does nothing at all, whatever it asks.
    log.clear();
    const DriverInstance before = host.inst;
    StartParams start{};
    std::strncpy(start.portName, plc.Port().c_str(), sizeof start.portName - 1);
    start.openFlag = 1;
    start.timeoutTicks = kTicks;
    start.line = kLine;
    NuvInfo info{};
    info.code = -7;
    GateParse parse{};
    parse.address = kWord;
    parse.station = -7;
    Gate gate;
    gate.transfer.station = 1;
    gate.transfer.memoryType = '4';
    gate.transfer.itemAddress = 0x40;
    gate.transfer.bitNumber = -1;
    gate.transfer.count = 1;
    gate.value.assign(8, 0xAA);
    gate.transfer.value = gate.value.data();
    NuvParams params{};
    std::strncpy(params.portName, plc.Port().c_str(), sizeof params.portName - 1);
    const struct {
        uint32_t function;
        void* args;
    } calls[] = {
        {FN_COLD_START, &start},
        {FN_WARM_START, nullptr},
        {FN_SINGLE_ADDRESS_PARSER, &parse},
        {FN_SINGLE_READ, &gate.transfer},
        {FN_BLOCK_READ, &gate.transfer},
        {FN_SINGLE_WRITE, &gate.transfer},
        {FN_BLOCK_WRITE, &gate.transfer},
        {FN_REOPEN_COM, nullptr},
        {FN_CHANGE_NUV_PARAMS, &params},
        {FN_GET_NUV_INFO, &info},
        {FN_CLOSE_COM, nullptr},
        {FN_END_NUV, nullptr},
        {0, nullptr},
        {0xFFFFFFFFu, nullptr},
    };
    for (const auto& c : calls) {
        NuvCall call{};
        call.instance = &host.inst;
        call.function = c.function;
        call.args = c.args;
        EXPECT_EQ(module.entry()(&call), NUV_OK) << "function " << c.function;
    }
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(std::memcmp(&before, &host.inst, sizeof before), 0);
    EXPECT_EQ(info.code, -7);
    EXPECT_EQ(parse.station, -7);
    EXPECT_EQ(gate.Slot16(2), 0xAAAA);
    EXPECT_EQ(plc.sim.GetCounters().requests_seen, 1u);

    // The port was let go, and the shared module is still running.
    Host other;
    ASSERT_EQ(other.ColdStart(plc.Port()), NUV_OK);
    EXPECT_EQ(ReadWord(other), kWordValue);
}

TEST(E2eLifecycle, TimeoutZeroWaitsAsLongAsThePlcTakes) {
    Plc plc;
    ASSERT_TRUE(plc.Started()) << plc.Error();
    LoadWord(plc);
    // Later than the one second a freshly opened port would allow.
    ASSERT_TRUE(plc.sim.AddFaults("1:late=1300"));
    Host host;
    ASSERT_EQ(host.ColdStart(plc.Port(), 0), NUV_OK);
    LogCapture log;
    EXPECT_EQ(ReadWord(host), kWordValue);
    EXPECT_TRUE(log.lines().empty()) << Trail(log)[0];
    EXPECT_EQ(plc.Requests(1).size(), 1u);
}

TEST(E2eLifecycle, HostHoldingMoreThan1024FilesStillTalksToThePlc) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit raised = saved;
    if (raised.rlim_cur != RLIM_INFINITY && raised.rlim_cur < 2048) raised.rlim_cur = 2048;
    if (raised.rlim_max != RLIM_INFINITY && raised.rlim_max < raised.rlim_cur) {
        raised.rlim_max = raised.rlim_cur;
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    std::vector<int> held;
    for (int i = 0; i < 1100; ++i) {
        const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        held.push_back(fd);
    }
    {
        Plc plc;
        ASSERT_TRUE(plc.Started()) << plc.Error();
        LoadWord(plc);
        Host host;
        ASSERT_EQ(host.ColdStart(plc.Port()), NUV_OK);
        EXPECT_GT(host.Fd(), 1024);
        EXPECT_EQ(ReadWord(host), kWordValue);
        // Waiting on such a descriptor times out as it should.
        ASSERT_TRUE(plc.sim.AddFaults("*:silence"));
        LogCapture log;
        EXPECT_EQ(ReadWord(host), -1);
        EXPECT_EQ(log.lines().size(), 11u);
    }
    for (int fd : held) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
}

}  // namespace
}  // namespace e2e
