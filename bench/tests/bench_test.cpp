// The benchmark's own machinery: the counters it reports as the driver's
// heap calls and system calls, its timing loop, its percentiles and line
// arithmetic, and its reading of strace's output.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/children.h"
#include "bench/counting.h"
#include "bench/measure.h"
#include "bench/report.h"
#include "bench/trace_count.h"

namespace bench {
namespace {

class Probe {
public:
    Probe() {
        module_ = dlopen(PROBE_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        if (module_ == nullptr) return;
        heap_ = reinterpret_cast<int (*)()>(dlsym(module_, "ProbeHeap"));
        write_ = reinterpret_cast<long (*)(int, int)>(dlsym(module_, "ProbeWrite"));
    }
    ~Probe() {
        if (module_ != nullptr) dlclose(module_);
    }
    bool Loaded() const { return heap_ != nullptr && write_ != nullptr; }
    void Heap() const { heap_(); }
    long Write(int fd, int count) const { return write_(fd, count); }

private:
    void* module_ = nullptr;
    int (*heap_)() = nullptr;
    long (*write_)(int, int) = nullptr;
};

// The heap figure is only worth something if a module loaded with dlopen,
// as the driver is, binds the counting allocator rather than the C
// library's own.
TEST(Counting, SeesTheHeapCallsOfAModuleLoadedAtRunTime) {
    Probe probe;
    ASSERT_TRUE(probe.Loaded()) << dlerror();

    CallCounts before = CountedSoFar();
    {
        CountingScope counting;
        probe.Heap();
    }
    const CallCounts inside = CountedSoFar() - before;
    EXPECT_EQ(inside.news, 1u);
    EXPECT_EQ(inside.allocations, 2u);  // malloc, and the one behind new
    EXPECT_EQ(inside.frees, 2u);

    before = CountedSoFar();
    probe.Heap();
    EXPECT_EQ((CountedSoFar() - before).HeapCalls(), 0u) << "counted outside a scope";
}

TEST(Counting, InnerScopeLeavesTheOuterOneCounting) {
    const CallCounts before = CountedSoFar();
    {
        CountingScope outer;
        { CountingScope inner; }
        void* volatile block = std::malloc(8);
        std::free(block);
    }
    EXPECT_EQ((CountedSoFar() - before).allocations, 1u);
}

TEST(Counting, CountsCallsAndTheBytesTheyMoved) {
    Probe probe;
    ASSERT_TRUE(probe.Loaded()) << dlerror();
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);

    const CallCounts before = CountedSoFar();
    char buffer[16];
    {
        CountingScope counting;
        EXPECT_EQ(probe.Write(fds[1], 3), 3);
        EXPECT_EQ(read(fds[0], buffer, sizeof buffer), 3);
        // A read that finds nothing is a call all the same.
        EXPECT_EQ(read(fds[0], buffer, sizeof buffer), -1);
        EXPECT_EQ(errno, EAGAIN);
    }
    const CallCounts inside = CountedSoFar() - before;
    EXPECT_EQ(inside.writes, 1u);
    EXPECT_EQ(inside.bytesWritten, 3u);
    EXPECT_EQ(inside.reads, 2u);
    EXPECT_EQ(inside.bytesRead, 3u);
    EXPECT_EQ(inside.SystemCalls(), 3u);
    close(fds[0]);
    close(fds[1]);
}

TEST(Measure, PercentileIsNearestRank) {
    std::vector<double> hundred;
    for (int i = 1; i <= 100; ++i) hundred.push_back(i);
    std::vector<double> thousand;
    for (int i = 1000; i >= 1; --i) thousand.push_back(i);  // unsorted

    const struct {
        std::vector<double> samples;
        double p;
        double expected;
    } cases[] = {
        {{}, 50, 0},         {{7}, 99, 7},          {{3, 1, 2}, 50, 2}, {{4, 1, 3, 2}, 50, 2},
        {hundred, 99, 99},   {hundred, 100, 100},   {hundred, 0, 1},    {thousand, 99, 990},
        {thousand, 50, 500}, {thousand, 99.9, 999},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(Percentile(c.samples, c.p), c.expected)
            << c.samples.size() << " samples, p" << c.p;
    }
}

TEST(Measure, RunKeepsItsLimitsAndCountsFailures) {
    const struct {
        double seconds;
        uint64_t min;
        uint64_t max;
        uint64_t expected;
    } cases[] = {
        {0, 10, 1000, 10},  // time is up at once: the minimum still runs
        {0, 0, 1000, 0},
        {600, 1, 7, 7},  // the maximum stops a long run
    };
    for (const auto& c : cases) {
        int calls = 0;
        RunLimits limits;
        limits.seconds = c.seconds;
        limits.minTransactions = c.min;
        limits.maxTransactions = c.max;
        limits.warmup = 3;
        Figures figures;
        RunTransactions([&] { return ++calls % 2 == 0; }, limits, &figures);
        EXPECT_EQ(figures.transactions, c.expected);
        EXPECT_EQ(figures.latencies.size(), c.expected);
        EXPECT_EQ(calls, static_cast<int>(c.expected) + 3) << "warm-up calls";
        // The warm-up took calls 1..3, so the timed ones start at 4.
        EXPECT_EQ(figures.failures, c.expected / 2);
    }
}

TEST(Measure, RunAddsUpAndCountsOnlyInsideTheCalls) {
    RunLimits limits;
    limits.seconds = 0;
    limits.minTransactions = 5;
    limits.warmup = 2;
    Figures figures;
    for (int round = 0; round < 2; ++round) {
        RunTransactions(
            [] {
                void* volatile block = std::malloc(32);
                std::free(block);
                return true;
            },
            limits, &figures);
        void* volatile outside = std::malloc(32);  // between runs: not counted
        std::free(outside);
    }
    EXPECT_EQ(figures.transactions, 10u);
    EXPECT_EQ(figures.inside.allocations, 10u);
    EXPECT_EQ(figures.inside.frees, 10u);
    EXPECT_DOUBLE_EQ(figures.PerTransaction(figures.inside.HeapCalls()), 2.0);
}

TEST(Measure, LineTimeIsElevenBitsACharacter) {
    EXPECT_NEAR(LineSeconds(1, 9600), 11.0 / 9600, 1e-12);
    EXPECT_NEAR(LineSeconds(276, 115200), 0.0263541667, 1e-9);
    EXPECT_EQ(LineSeconds(276, 0), 0.0);

    Figures f;
    f.transactions = 2;
    f.userSeconds = 40e-6;
    f.systemSeconds = 12.70833e-6;  // 26.35 us a transaction
    f.inside.bytesWritten = 2 * 11;
    f.inside.bytesRead = 2 * 265;
    EXPECT_NEAR(CpuShareOfLine(f, 115200), 0.001, 1e-6);
}

TEST(Report, PacedUtilisationCountsTheRequestAsALineWould) {
    PacedResult p;
    p.baud = 9600;
    p.figures.transactions = 4;
    p.figures.inside.bytesWritten = 4 * 11;
    p.figures.inside.bytesRead = 4 * 265;
    const double reply = LineSeconds(265, 9600);
    const double request = LineSeconds(11, 9600);
    p.figures.wallSeconds = 4 * (reply + 0.002);  // 2 ms idle per transaction

    EXPECT_NEAR(p.IdleSeconds(), 0.002, 1e-9);
    EXPECT_NEAR(p.ReplyUtilisation(), reply / (reply + 0.002), 1e-9);
    EXPECT_NEAR(p.Utilisation(), (request + reply) / (request + reply + 0.002), 1e-9);

    p.figures.wallSeconds = 4 * reply;  // a line never idle is used in full
    EXPECT_NEAR(p.Utilisation(), 1.0, 1e-9);
}

TEST(TraceCount, CountsCallsBetweenMarksByName) {
    const char* trace =
        "openat(AT_FDCWD, \"/dev/pts/3\", O_RDWR) = 3\n"  // before any mark
        "write(-1, \"vave8bench-mark begin one\", 25) = -1 EBADF (Bad file descriptor)\n"
        "write(3, \"\\361\", 1)                  = 1\n"
        "write(3, \"Y\", 1)                      = 1\n"
        "ioctl(3, FIONREAD, [0])                = 0\n"
        "read(3, 0x7ffd, 512)                   = -1 EAGAIN (Resource temporarily unavailable)\n"
        "--- SIGCHLD {si_signo=SIGCHLD, si_code=CLD_EXITED} ---\n"
        "poll([{fd=3, events=POLLIN}], 1, 1000) = ? ERESTART_RESTARTBLOCK\n"
        "restart_syscall(<... resuming interrupted poll ...>) = 1\n"
        "write(-1, \"vave8bench-mark end one\", 23) = -1 EBADF (Bad file descriptor)\n"
        "write(3, \"x\", 1)                      = 1\n"  // between phases
        "write(-1, \"vave8bench-mark begin two\", 25) = -1 EBADF (Bad file descriptor)\n"
        "write(-1, \"vave8bench-mark end two\", 23) = -1 EBADF (Bad file descriptor)\n"
        "+++ exited with 0 +++\n";
    const TracedCalls counted = CountTracedCalls(trace);

    ASSERT_EQ(counted.size(), 2u);
    const std::map<std::string, uint64_t> one = {
        {"write", 2}, {"ioctl", 1}, {"read", 1}, {"poll", 1}, {"restart_syscall", 1}};
    EXPECT_EQ(counted.at("one"), one);
    EXPECT_TRUE(counted.at("two").empty());
}

// The children must never hold the benchmark up: a child that says
// nothing, dies at once or ignores SIGTERM is dealt with in bounded time.
TEST(Child, TakesTheFirstLineOfAStartedSimulator) {
    Child child;
    std::string path;
    std::string error;
    ASSERT_TRUE(
        child.StartSimulator("/bin/sh", {"-c", "echo /dev/pts/77; exec sleep 30"}, &path, &error))
        << error;
    EXPECT_EQ(path, "/dev/pts/77");
    EXPECT_TRUE(child.Running());
    child.Stop();
    EXPECT_FALSE(child.Running());
}

TEST(Child, FailsWhenTheSimulatorEndsWithoutALine) {
    const struct {
        const char* program;
        std::vector<std::string> arguments;
    } cases[] = {
        {"/bin/sh", {"-c", "exit 3"}},
        {"/bin/sh", {"-c", "printf no-line-end"}},
        {"/nonexistent/p8sim", {}},
    };
    for (const auto& c : cases) {
        Child child;
        std::string path;
        std::string error;
        EXPECT_FALSE(child.StartSimulator(c.program, c.arguments, &path, &error)) << c.program;
        EXPECT_NE(error.find("ended before"), std::string::npos) << error;
        EXPECT_FALSE(child.Running());
    }
}

TEST(Child, StopEndsAChildThatIgnoresTerm) {
    Child child;
    std::string path;
    std::string error;
    ASSERT_TRUE(child.StartSimulator(
        "/bin/sh", {"-c", "trap '' TERM; echo ready; while :; do sleep 1; done"}, &path, &error))
        << error;
    const double start = NowSeconds();
    child.Stop();
    EXPECT_FALSE(child.Running());
    EXPECT_LT(NowSeconds() - start, 30.0);
}

TEST(Child, WaitGivesTheExitStatusOrStopsAtItsLimit) {
    Child child;
    std::string error;
    ASSERT_TRUE(child.Exec("/bin/sh", {"-c", "exit 5"}, &error)) << error;
    EXPECT_EQ(child.Wait(30), 5);

    ASSERT_TRUE(child.Exec("/bin/sh", {"-c", "exec sleep 30"}, &error)) << error;
    EXPECT_EQ(child.Wait(0.2), -1);
    EXPECT_FALSE(child.Running());
}

// Whatever a run met, the file must stay JSON: texts escaped, a figure
// that is not a number written as null.
TEST(Report, JsonEscapesTextsAndWritesNullForNoNumber) {
    Results r;
    r.env.date = "2000-01-01 00:00 UTC";
    r.env.loadStart[0] = std::nan("");
    r.yardstickNote = "say \"no\" \\ then\nstop";
    r.kinds.resize(1);
    r.kinds[0].key = "k";
    r.kinds[0].label = "a 'label'";
    r.kinds[0].traced = {{"write", 11}, {"read", 1.5}};
    r.problems = {"one", "two"};

    char file[] = "/tmp/bench-json-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string error;
    ASSERT_TRUE(WriteJson(r, file, &error)) << error;
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(file);

    EXPECT_NE(text.find(R"("skipped": "say \"no\" \\ then\u000astop")"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("load_start": [
      null,)"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("nan"), std::string::npos);
    EXPECT_NE(text.find(R"("problems": [
    "one",
    "two"
  ])"),
              std::string::npos);

    // Brackets balance outside strings, and nothing follows the last one.
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            if (c == '"') inString = false;
            continue;
        }
        if (c == '"') inString = true;
        if (c == '{' || c == '[') ++depth;
        if (c == '}' || c == ']') --depth;
        ASSERT_GE(depth, 0);
    }
    EXPECT_EQ(depth, 0);
    EXPECT_FALSE(inString);
    EXPECT_EQ(text[text.find_last_not_of('\n')], '}');
}

}  // namespace
}  // namespace bench
