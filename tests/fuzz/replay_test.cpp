// Replays the committed corpus of every harness as an ordinary test, so each
// build (plain, sanitized, coverage) runs the inputs the fuzzers kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "tests/fuzz/harness.h"

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

INSTANTIATE_TEST_SUITE_P(Fuzz, Replay,
                         ::testing::Values(Corpus{"fuzz_frame", fuzz::FrameOne},
                                           Corpus{"fuzz_address", fuzz::AddressOne},
                                           Corpus{"fuzz_transfer", fuzz::TransferOne}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
