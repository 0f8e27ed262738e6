// The configuration and tag files: what a good file gives, and every error of
// a bad one reported at once with its line. Addresses go through the driver
// module's own parser, loaded as the tools load it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "tags/address.h"
#include "tags/config.h"

namespace {

using tags::Problem;
using tags::Tag;
using tags::Type;

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(module_.Load(VAVE8_MODULE_PATH, &error)) << error;
        parse_ = module_.Parser();
        char pattern[] = "/tmp/vave8-tags-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    std::string Write(const std::string& name, const std::string& text) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::vector<Tag> Csv(const std::string& text, std::vector<Problem>* problems) {
        return tags::ParseTagCsv(text, "t.csv", 1000, parse_, problems);
    }

    tags::ModuleGateParser module_;
    tags::GateParser parse_;
    std::string dir_;
};

// Each expected problem: its line and a part of its reason, in order.
void ExpectProblems(const std::vector<Problem>& problems,
                    const std::vector<std::pair<int, std::string>>& expected) {
    std::string all;
    for (const Problem& p : problems) all += tags::Describe(p) + "\n";
    ASSERT_EQ(problems.size(), expected.size()) << all;
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(problems[i].line, expected[i].first) << all;
        EXPECT_NE(problems[i].reason.find(expected[i].second), std::string::npos) << all;
    }
}

TEST_F(Files, TagFileGivesTheDriversParseAndEveryColumn) {
    // Spreadsheet-saved: a byte order mark, CRLF, columns in their own order,
    // quoted cells with commas, doubled quotes and a line break.
    const std::string text =
        "\xEF\xBB\xBF" "address,name,type,scan_ms,access,scale,offset,deadband,units,description\r\n"
        "0120010,byte,,,,,,,,\r\n"
        "# a comment line\r\n"
        "012001A3,motor/run,,250,rw,,,,,\"pump 1, \"\"east\"\"\r\nside\"\r\n"
        "0f40100,word,,,,,,,,\r\n"
        "0380008,dword,,,,0.1,-40,0.5,degC,\r\n"
        "0390020,float,,,,,,,,\r\n"
        "0340104,signed,int16,,,,,,,\r\n"
        "0120012 ,small,int8,,,,,,,\r\n"
        "  \"0380010\",big,uint32,,,,,,,\r\n";
    std::vector<Problem> problems;
    const std::vector<Tag> tags = Csv(text, &problems);
    ASSERT_TRUE(problems.empty()) << tags::Describe(problems[0]);
    ASSERT_EQ(tags.size(), 8u);
    struct Want {
        const char* name;
        Type type;
        int station;
        char memory;
        uint32_t byte;
        int bit;
        int line;
    } want[] = {
        {"byte", Type::UInt8, 1, '2', 8, -1, 2},      {"motor/run", Type::Bool, 1, '2', 13, 3, 4},
        {"word", Type::UInt16, 15, '4', 0x80, -1, 6}, {"dword", Type::Int32, 3, '8', 4, -1, 7},
        {"float", Type::Float32, 3, '9', 0x10, -1, 8}, {"signed", Type::Int16, 3, '4', 0x82, -1, 9},
        {"small", Type::Int8, 1, '2', 9, -1, 10},     {"big", Type::UInt32, 3, '8', 8, -1, 11},
    };
    for (size_t i = 0; i < tags.size(); ++i) {
        SCOPED_TRACE(want[i].name);
        EXPECT_EQ(tags[i].name, want[i].name);
        EXPECT_EQ(tags[i].type, want[i].type);
        EXPECT_EQ(tags[i].station, want[i].station);
        EXPECT_EQ(tags[i].memoryType, want[i].memory);
        EXPECT_EQ(tags[i].byteAddress, want[i].byte);
        EXPECT_EQ(tags[i].bit, want[i].bit);
        EXPECT_EQ(tags[i].sourceLine, want[i].line);
    }
    EXPECT_EQ(tags::BitMask(tags[1]), 0x10);  // digit 3 of 0..7 from the top
    EXPECT_EQ(tags[1].scanMs, 250u);
    EXPECT_EQ(tags[0].scanMs, 1000u);
    EXPECT_EQ(tags[1].access, tags::Access::ReadWrite);
    EXPECT_EQ(tags[1].description, "pump 1, \"east\"\r\nside");
    EXPECT_FALSE(tags[0].scaled);
    EXPECT_TRUE(tags[3].scaled);
    EXPECT_DOUBLE_EQ(tags[3].scale, 0.1);
    EXPECT_DOUBLE_EQ(tags[3].offset, -40);
    EXPECT_DOUBLE_EQ(tags[3].deadband, 0.5);
    EXPECT_EQ(tags[3].units, "degC");
}

TEST_F(Files, EveryBadRowReportedAtOnceWithItsLine) {
    const std::string text =
        "name,address,type,scan_ms,access,scale,deadband\n"  // 1
        "ok,0120010,,,,,\n"                                  // 2
        "bad name,0120010,,,,,\n"                            // 3
        "a//b,0120010,,,,,\n"                                // 4
        + std::string(129, 'x') + ",0120010,,,,,\n"          // 5
        ",0120010,,,,,\n"                                    // 6
        "noaddress,,,,,,\n"                                  // 7
        "char,01X0010,,,,,\n"                                // 8
        "odd,0120011,,,,,\n"                                 // 9
        "ffff,034FFFF,,,,,\n"                                // 10
        "wide,0340100,int32,,,,\n"                           // 11
        "nobit,0120010,bool,,,,\n"                           // 12
        "withbit,01200103,uint8,,,,\n"                       // 13
        "kind,0120010,int64,,,,\n"                           // 14
        "never,0120010,,0,,,\n"                              // 15
        "write,0120010,,,w,,\n"                              // 16
        "scale,0120010,,,,abc,\n"                            // 17
        "zero,0120010,,,,0,\n"                               // 18
        "dead,0120010,,,,,-1\n"                              // 19
        "short,0120010\n"                                    // 20
        "quote,01\"20010,,,,,\n"                             // 21
        "ok,0120012,,,,,\n"                                  // 22
        "two,0120011,,x,,,\n"                                // 23
        "long,0120010    more,,,,,\n"                        // 24
        "flag,012001A3,,,,2,\n";                             // 25
    std::vector<Problem> problems;
    const std::vector<Tag> tags = Csv(text, &problems);
    // Only the good rows become tags; the duplicate is the config's to find.
    EXPECT_EQ(tags.size(), 2u);
    ExpectProblems(problems, {{3, "has ' '"},
                              {4, "empty folder name"},
                              {5, "at most 128"},
                              {6, "name is missing"},
                              {7, "address is missing"},
                              {8, "Parse() Illegal character 2 in '01X0010'"},
                              {9, "Nibble address should be 2 nibble boundary"},
                              {10, "Parse() Illegal nibble address"},
                              {11, "type int32 does not fit address '0340100': it needs memory type '8'"},
                              {12, "type bool does not fit"},
                              {13, "type uint8 does not fit"},
                              {14, "type 'int64' is not"},
                              {15, "scan_ms '0'"},
                              {16, "access 'w' is not r or rw"},
                              {17, "scale 'abc' is not a number"},
                              {18, "scale 0"},
                              {19, "deadband -1 is negative"},
                              {20, "the row has 2 cells, the header 7"},
                              {21, "quote inside an unquoted cell"},
                              {23, "scan_ms 'x'"},
                              {23, "Nibble address should be 2"},
                              {24, "at most 11"},
                              {25, "a bool takes no scale"}});
}

TEST_F(Files, FreeTextMustBeUtf8) {
    struct Case {
        const char* units;
        bool ok;
    } cases[] = {{"\xC2\xB0" "C", true},          {"m\xC2\xB3/h", true},          {"\xF0\x9F\x94\xA5", true},
                 {"\xB0" "C", false},              {"\xC0\xAF", false},            {"\xED\xA0\x80", false},
                 {"\xE2\x82", false},             {"\xF4\x90\x80\x80", false}};
    for (const Case& c : cases) {
        std::vector<Problem> problems;
        const std::vector<Tag> tags = Csv(std::string("name,address,units\nx,0120010,") + c.units + "\n", &problems);
        EXPECT_EQ(problems.empty(), c.ok) << c.units;
        if (c.ok) {
            EXPECT_EQ(tags.at(0).units, c.units);
        }
    }
}

TEST_F(Files, BadHeadersStopTheFileWithOneReasonEach) {
    struct Case {
        const char* text;
        std::vector<std::pair<int, std::string>> problems;
    } cases[] = {
        {"", {{0, "no header row"}}},
        {"name,adress\nx,0120010\n", {{1, "unknown column 'adress'"}, {1, "no 'address' column"}}},
        {"name,address,name\n", {{1, "column 'name' appears twice"}}},
        {"\n\nname,address\n\"x,0120010\n", {{4, "a quoted cell is never closed"}}},
        {"name,address\n\"x\"y,0120010\n", {{2, "after a quoted cell's closing quote"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<Problem> problems;
        EXPECT_TRUE(Csv(c.text, &problems).empty());
        ExpectProblems(problems, c.problems);
    }
}

TEST_F(Files, ConfigurationWithTagFileAndTables) {
    Write("plant.csv", "name,address\nin/a,0120010\nin/b,012001A0\n");
    const std::string path = Write("line.toml", R"(# a line server
[line]
port = "ttyUSB1"
baud = 19200
parity = "odd"
stop_bits = 2
timeout_ms = 205
scan_ms = 500
turnaround_ms = 7.5
demote_after = 4
demote_s = 10

[modbus]
listen = "127.0.0.1:1502"
max_clients = 8
read_only = true
allow_write = ["1:holding:0-9", "2:coil:0-7"]

[tags]
file = "plant.csv"

[[tag]]
name = "out/c"
address = "0340100"
scan_ms = 2000
scale = 0.5
)");
    const tags::LoadResult result = tags::LoadConfig(path, parse_);
    ASSERT_TRUE(result.Ok()) << tags::Describe(result.problems[0]);
    const tags::Config& config = result.config;
    EXPECT_EQ(config.line.name, "ttyUSB1");  // the port's name when none is given
    EXPECT_EQ(config.line.connection.port, "ttyUSB1");
    EXPECT_EQ(config.line.connection.line.baud, 19200);
    EXPECT_EQ(config.line.connection.line.parity, 1);
    EXPECT_EQ(config.line.connection.line.stopBits, 2);
    EXPECT_EQ(config.line.connection.ticks, 21);  // rounded up, never shorter
    std::vector<std::string> given = config.line.given;
    std::sort(given.begin(), given.end());
    EXPECT_EQ(given, (std::vector<std::string>{"baud", "parity", "port", "stop-bits", "timeout"}));
    EXPECT_EQ(config.line.turnaroundMs, 7.5);
    EXPECT_EQ(config.line.demoteAfter, 4u);
    EXPECT_EQ(config.line.demoteS, 10);
    EXPECT_EQ(config.tagFile, dir_ + "/plant.csv");
    ASSERT_TRUE(config.modbus.present);
    std::vector<std::string> options;
    for (const tags::ModbusOption& o : config.modbus.options) options.push_back(o.option + "=" + o.value);
    EXPECT_EQ(options, (std::vector<std::string>{"listen=127.0.0.1:1502", "max-clients=8", "read-only=",
                                                 "allow-write=1:holding:0-9", "allow-write=2:coil:0-7"}));
    EXPECT_TRUE(config.modbus.options[2].flag);
    ASSERT_EQ(config.tags.size(), 3u);
    EXPECT_EQ(config.tags[0].scanMs, 500u);  // the line's default
    EXPECT_EQ(config.tags[1].type, Type::Bool);
    EXPECT_EQ(config.tags[2].name, "out/c");
    EXPECT_EQ(config.tags[2].scanMs, 2000u);
    EXPECT_TRUE(config.tags[2].scaled);
    EXPECT_EQ(config.tags[2].sourceLine, 22);
}

TEST_F(Files, ConfigurationErrorsNameTheKeyAndLine) {
    Write("dup.csv", "name,address\na,0120010\nb,0120012\n");
    const std::string path = Write("bad.toml", R"([line]
baud = "fast"
parity = "weird"
colour = 1
scan_ms = 0
port = "a-port-name-too-long"

[historian]
port = 1883

[tags]
file = "dup.csv"
extra = 1

[[tag]]
name = "b"
address = "0120014"

[[tag]]
name = "c"
address = 120016
colour = "red"
)");
    const tags::LoadResult result = tags::LoadConfig(path, parse_);
    ExpectProblems(result.problems, {{2, "line.baud must be a number"},
                                     {3, "line.parity: 'weird' is not none, odd, even, mark or space"},
                                     {4, "unknown key 'colour' in [line]"},
                                     {5, "scan_ms must be a whole number in 1..86400000"},
                                     {6, "characters; the driver's port name holds at most 11"},
                                     {8, "unknown section [historian]"},
                                     {13, "unknown key 'extra' in [tags]"},
                                     {15, "tag 'b' is defined twice (first at " + dir_ + "/dup.csv:3)"},
                                     {21, "[[tag]] address must be a string"},
                                     {22, "unknown key 'colour' in [[tag]]"}});
    // A name given in both files is the configuration's error.
    EXPECT_EQ(result.problems[7].file, path);
}

TEST_F(Files, UnreadableFilesAndSyntaxErrors) {
    const tags::LoadResult missing = tags::LoadConfig(dir_ + "/none.toml", parse_);
    ExpectProblems(missing.problems, {{0, "cannot read it: No such file"}});
    ExpectProblems(tags::LoadConfig(dir_, parse_).problems, {{0, "cannot read it: it is a folder"}});

    const tags::LoadResult noTags =
        tags::LoadConfig(Write("a.toml", "[line]\nport = \"x\"\n\n[tags]\nfile = \"gone.csv\"\n"), parse_);
    ExpectProblems(noTags.problems, {{5, "cannot read the tag file '" + dir_ + "/gone.csv'"}});

    const tags::LoadResult syntax = tags::ParseConfig("[line]\nbaud = 9600\nbaud = 4800\n", "s.toml", parse_);
    ExpectProblems(syntax.problems, {{3, "baud"}});

    const tags::LoadResult shape = tags::ParseConfig("tag = 1\n[tags]\n[tag]\nname = \"x\"\n", "t.toml", parse_);
    EXPECT_FALSE(shape.Ok());
}

// Mangled files never crash the reader nor give a tag the driver refused.
TEST_F(Files, MangledFilesNeverCrash) {
    const std::string csv = "name,address,type,description\nin/a,012001A3,bool,\"x, \"\"y\"\"\"\nw,0f40100,,\n";
    const std::string toml = "[line]\nport = \"x\"\n[[tag]]\nname = \"a\"\naddress = \"0390020\"\n";
    const char kBytes[] = {'"', ',', '\n', '\r', '[', ']', '=', '#', '\0', '\xFF', 'a', '0', ' ', '\''};
    std::mt19937 rng(42);
    for (int round = 0; round < 3000; ++round) {
        std::string text = round % 2 ? csv : toml;
        for (int edits = 1 + static_cast<int>(rng() % 4); edits > 0; --edits) {
            const size_t at = rng() % (text.size() + 1);
            switch (rng() % 3) {
                case 0: text.insert(at, 1, kBytes[rng() % sizeof kBytes]); break;
                case 1: if (at < text.size()) text.erase(at, 1); break;
                default: if (at < text.size()) text[at] = kBytes[rng() % sizeof kBytes]; break;
            }
        }
        std::vector<Problem> problems;
        const std::vector<Tag> tags = round % 2 ? Csv(text, &problems)
                                                : tags::ParseConfig(text, "m.toml", parse_).config.tags;
        for (const Tag& tag : tags) {
            GateParse gate{};
            gate.address = tag.address.c_str();
            gate.gateType = tags::GateTypeOf(tag.type);
            std::vector<std::string> logged;
            EXPECT_EQ(parse_(&gate, &logged), NUV_OK) << tag.address;
            EXPECT_LE(tag.byteAddress + tags::TypeBytes(tag.type), tags::kStationBytes);
        }
    }
}

}  // namespace
