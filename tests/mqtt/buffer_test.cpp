#include <gtest/gtest.h>

#include <filesystem>

#include "gateway/mqtt/buffer.h"

namespace {

struct Buffer : ::testing::Test {
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("mqtt-buffer-" + std::to_string(::getpid()) + "-" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::vector<std::string> logged;
    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    bool Open(mqtt::DiskBuffer& b, uint64_t maxBytes = 1 << 20) {
        std::string error;
        bool ok = b.Open((dir / "b.sqlite").string(), maxBytes,
                         [this](const std::string& line) { logged.push_back(line); }, error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
    static std::vector<mqtt::Record> Rows(mqtt::DiskBuffer& b, int first, int n) {
        std::vector<mqtt::Record> rows;
        uint64_t batch = b.NextBatch();
        for (int i = first; i < first + n; ++i) {
            mqtt::Record r;
            r.batch = batch;
            r.tsMs = 1000 + i;
            r.tag = "station/tag-with-a-longish-name-" + std::to_string(i % 50);
            r.value = i;
            r.quality = static_cast<uint8_t>(i % 3);
            r.cause = 2;
            r.errorCode = i;
            rows.push_back(r);
        }
        return rows;
    }
};

// The order seen is the order sent, across a peek window, a removal and a
// reopen (the rows of the last commit are there after it).
TEST_F(Buffer, KeepsOrderAcrossRemovalAndRestart) {
    {
        mqtt::DiskBuffer b;
        ASSERT_TRUE(Open(b));
        auto rows = Rows(b, 0, 100);
        b.Append(rows);
        EXPECT_EQ(b.Count(), 100u);
        auto head = b.Peek(0, 30);
        ASSERT_EQ(head.size(), 30u);
        auto next = b.Peek(head.back().id, 30);
        EXPECT_EQ(next.front().value, 30);
        b.Remove(head.back().id);
        EXPECT_EQ(b.Count(), 70u);
        b.Tick(true);
        auto more = Rows(b, 100, 5);
        b.Append(more);
        b.Close();  // commits what Tick had not
    }
    mqtt::DiskBuffer b;
    ASSERT_TRUE(Open(b));
    EXPECT_EQ(b.Count(), 75u);
    auto all = b.Peek(0, 1000);
    ASSERT_EQ(all.size(), 75u);
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].value, 30.0 + static_cast<double>(i));
        EXPECT_EQ(all[i].tsMs, 1030 + static_cast<int64_t>(i));
        EXPECT_EQ(all[i].errorCode, 30 + static_cast<int>(i));
    }
    EXPECT_EQ(all.back().tag, "station/tag-with-a-longish-name-4");
    EXPECT_GT(b.NextBatch(), all.back().batch);
}

// Rows put back go ahead of everything buffered, in their own order, across
// a reopen; later appends and removals keep that order.
TEST_F(Buffer, PrependedRowsComeFirst) {
    {
        mqtt::DiskBuffer b;
        ASSERT_TRUE(Open(b));
        auto rows = Rows(b, 10, 5);
        b.Append(rows);
        rows = Rows(b, 5, 5);
        b.Prepend(rows);
        rows = Rows(b, 0, 5);
        b.Prepend(rows);
        b.Close();
    }
    mqtt::DiskBuffer b;
    ASSERT_TRUE(Open(b));
    auto more = Rows(b, 15, 2);
    b.Append(more);
    auto all = b.Peek(mqtt::DiskBuffer::kBeforeAll, 100);
    ASSERT_EQ(all.size(), 17u);
    for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].value, static_cast<double>(i));
    b.Remove(all[6].id);
    EXPECT_EQ(b.Count(), 10u);
    EXPECT_EQ(b.Peek(mqtt::DiskBuffer::kBeforeAll, 1).front().value, 7);
}

// Over its limit the buffer drops the oldest rows, counts them and says so;
// the newest are kept.
TEST_F(Buffer, FullDropsOldestAndCounts) {
    mqtt::DiskBuffer b;
    ASSERT_TRUE(Open(b, 1 << 20));
    int n = 0;
    for (int round = 0; round < 40; ++round) {
        auto rows = Rows(b, n, 1000);
        n += 1000;
        b.Append(rows);
        b.Tick(true);
    }
    EXPECT_GT(b.Dropped(), 0u);
    EXPECT_EQ(b.Count() + b.Dropped(), static_cast<uint64_t>(n));
    EXPECT_LE(std::filesystem::file_size(dir / "b.sqlite"), (1u << 20) + (1u << 18));
    ASSERT_FALSE(logged.empty());
    EXPECT_NE(logged.back().find("dropped"), std::string::npos);
    auto rows = b.Peek(0, 1u << 20);
    ASSERT_EQ(rows.size(), b.Count());
    EXPECT_EQ(rows.back().value, n - 1);
    EXPECT_EQ(rows.front().value, static_cast<double>(b.Dropped()));
}

}  // namespace
