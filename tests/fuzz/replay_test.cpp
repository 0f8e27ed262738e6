// Replays the committed corpus of every harness as an ordinary test, so each
// build (plain, sanitized, coverage) runs the inputs the fuzzers kept.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "tests/fuzz/harness.h"

// The harnesses' log stand-in, declared here without the format check so
// the test can hand it what the driver's compiler would refuse.
extern "C" int err(int level, const char* format, ...);

void fuzz::Fail(const char* what, const char* file, int line) {
    ADD_FAILURE_AT(file, line) << "invariant broken: " << what;
}

namespace {

using Harness = int (*)(const uint8_t*, size_t);

struct Corpus {
    const char* name;
    Harness harness;
};

void PrintTo(const Corpus& corpus, std::ostream* out) {
    *out << corpus.name;
}

class Replay : public ::testing::TestWithParam<Corpus> {};

TEST_P(Replay, CommittedCorpusKeepsEveryInvariant) {
    const std::filesystem::path dir = std::filesystem::path(VAVE8_FUZZ_CORPUS) / GetParam().name;
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty()) << "no inputs in " << dir;
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
        GetParam().harness(input.data(), input.size());
    }
}

// The stand-in measures lines instead of printing them; it must agree with
// printf on every conversion the driver uses, and refuse what no driver
// line may hold.
TEST(FuzzLog, MeasuresLinesAsPrintfDoesAndRefusesRunawayOrUnknownOnes) {
    char line[1024];
    fuzz::ResetLog();
    EXPECT_EQ(err(8, "VAVE8> plain"), std::snprintf(line, sizeof line, "VAVE8> plain"));
    EXPECT_EQ(err(32, "VAVE8> %s at %d, %u%%", "COM1", -2147483647 - 1, 4294967295u),
              std::snprintf(line, sizeof line, "VAVE8> %s at %d, %u%%", "COM1",
                            -2147483647 - 1, 4294967295u));
    EXPECT_EQ(err(8, "VAVE8> %02x %02x %d", 7u, 0x1F3u, 0),
              std::snprintf(line, sizeof line, "VAVE8> %02x %02x %d", 7u, 0x1F3u, 0));
    EXPECT_EQ(fuzz::LogLines(), 3);

    const std::string runaway(1100, 'x');
    EXPECT_NONFATAL_FAILURE(err(8, "VAVE8> %s", runaway.c_str()), "invariant broken");
    EXPECT_NONFATAL_FAILURE(err(8, "no prefix"), "invariant broken");
    EXPECT_NONFATAL_FAILURE(err(16, "VAVE8> level"), "invariant broken");
    EXPECT_NONFATAL_FAILURE(err(8, "VAVE8> %ld", 1L), "invariant broken");
    EXPECT_NONFATAL_FAILURE(err(8, "VAVE8> %s", static_cast<const char*>(nullptr)),
                            "invariant broken");
}

INSTANTIATE_TEST_SUITE_P(Fuzz, Replay,
                         ::testing::Values(Corpus{"fuzz_frame", fuzz::FrameOne},
                                           Corpus{"fuzz_address", fuzz::AddressOne},
                                           Corpus{"fuzz_transfer", fuzz::TransferOne}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
