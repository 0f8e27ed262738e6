// The OPC UA front-end's pieces that need no client: its config section,
// the users file and its hashes, how samples and values are translated, and
// how long a write may hold the server.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "gateway/opcua/codes.h"
#include "gateway/opcua/config.h"
#include "gateway/opcua/users.h"
#include "gateway/opcua/write_wait.h"

namespace {

using opcua::Security;

opcua::Config Parse(const std::string& text, std::vector<opcua::ConfigError>& errors) {
    const toml::table file = toml::parse(text);
    return opcua::ParseConfig(*file["opcua"].as_table(), {"/etc/vave8", "/var/lib/vave8gw/plant"}, errors);
}

TEST(OpcuaConfig, DefaultsFollowWhereItListens) {
    struct Case {
        const char* text;
        std::string host;
        uint16_t port;
        bool none, anonymous;
    };
    for (const Case& c : {
             Case{"[opcua]\n", "127.0.0.1", 4840, true, true},
             Case{"[opcua]\nlisten = \"0.0.0.0:4841\"\n", "", 4841, false, false},
             Case{"[opcua]\nlisten = \"192.168.1.5:4840\"\nanonymous = \"read\"\n", "192.168.1.5", 4840, false, true},
             Case{"[opcua]\nlisten = \"[::1]:5000\"\nanonymous = \"off\"\n", "::1", 5000, true, false},
         }) {
        std::vector<opcua::ConfigError> errors;
        const auto config = Parse(c.text, errors);
        EXPECT_TRUE(errors.empty()) << c.text;
        EXPECT_EQ(config.host, c.host) << c.text;
        EXPECT_EQ(config.port, c.port) << c.text;
        EXPECT_EQ(config.security.size(), c.none ? 5u : 4u) << c.text;
        EXPECT_EQ(config.security.front() == Security::None, c.none) << c.text;
        EXPECT_EQ(config.anonymous, c.anonymous) << c.text;
        EXPECT_EQ(config.pki, "/var/lib/vave8gw/plant/pki");
    }
}

TEST(OpcuaConfig, ReadsEveryKeyAndResolvesPaths) {
    std::vector<opcua::ConfigError> errors;
    const auto config = Parse(
        "[opcua]\nsecurity = [\"Aes256Sha256RsaPss-SignAndEncrypt\", \"None\"]\nusers = \"users.txt\"\n"
        "pki = \"/srv/pki\"\n",
        errors);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(config.security, (std::vector<Security>{Security::Aes256Sha256RsaPssSignAndEncrypt, Security::None}));
    EXPECT_EQ(config.usersFile, "/etc/vave8/users.txt");
    EXPECT_EQ(config.pki, "/srv/pki");
}

TEST(OpcuaConfig, EveryErrorNamedWithItsLine) {
    std::vector<opcua::ConfigError> errors;
    Parse("[opcua]\nlisten = \"nowhere\"\nsecurity = [\"Basic128\", 3]\nanonymous = \"write\"\n"
          "colour = \"red\"\nusers = 5\nlisten2 = 1\n",
          errors);
    ASSERT_EQ(errors.size(), 7u);
    const std::vector<std::pair<int, std::string>> expected = {
        {2, "listen"}, {3, "Basic128"}, {3, "security must be a string"}, {4, "anonymous"},
        {5, "unknown key \"colour\""}, {6, "users must be a string"}, {7, "unknown key \"listen2\""}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(errors[i].line, expected[i].first) << errors[i].reason;
        EXPECT_NE(errors[i].reason.find(expected[i].second), std::string::npos) << errors[i].reason;
    }
}

TEST(OpcuaConfig, ListenPorts) {
    for (const char* bad : {"host", "host:0", "host:65536", "host:12a", "[::1]4840", "a:b:c"}) {
        std::string host, error;
        uint16_t port = 0;
        EXPECT_FALSE(opcua::ParseListen(bad, host, port, error)) << bad;
    }
}

TEST(OpcuaUsers, HashesCheckAndFileRoundTrip) {
    const std::string hash = opcua::HashPassword("s3cret", 1000);
    EXPECT_EQ(hash.rfind("pbkdf2-sha256$1000$", 0), 0u);
    EXPECT_EQ(hash.find("s3cret"), std::string::npos);
    EXPECT_NE(hash, opcua::HashPassword("s3cret", 1000)) << "salted";
    EXPECT_TRUE(opcua::CheckPassword("s3cret", hash));
    EXPECT_FALSE(opcua::CheckPassword("s3cret ", hash));
    EXPECT_FALSE(opcua::CheckPassword("", hash));
    EXPECT_FALSE(opcua::CheckPassword("s3cret", "s3cret"));

    const auto dir = std::filesystem::temp_directory_path() / ("opcua_users_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "users").string();
    std::string error;
    ASSERT_TRUE(opcua::AddUser(path, "ann", opcua::Role::Write, "one", error)) << error;
    ASSERT_TRUE(opcua::AddUser(path, "bob", opcua::Role::Read, "two", error)) << error;
    ASSERT_TRUE(opcua::AddUser(path, "ann", opcua::Role::Read, "three", error)) << error;  // replaces
    EXPECT_FALSE(opcua::AddUser(path, "with space", opcua::Role::Read, "x", error));
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::map<std::string, opcua::User> users;
    std::vector<opcua::UsersError> problems;
    ASSERT_TRUE(opcua::LoadUsers(path, users, problems));
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users["ann"].role, opcua::Role::Read);
    EXPECT_TRUE(opcua::CheckPassword("three", users["ann"].hash));
    EXPECT_TRUE(opcua::CheckPassword("two", users["bob"].hash));
    std::filesystem::remove_all(dir);
}

TEST(OpcuaUsers, BadLinesReportedOthersKept) {
    const std::string good = opcua::HashPassword("x", 1000);
    std::istringstream in("# operators\n\nann write " + good + "\nbob read plaintext\ncid admin " + good +
                          "\nann read " + good + "\ndan read\n");
    std::vector<opcua::UsersError> errors;
    const auto users = opcua::ReadUsers(in, errors);
    EXPECT_EQ(users.size(), 1u);
    ASSERT_EQ(errors.size(), 4u);
    EXPECT_EQ(errors[0].line, 4);  // a plain password is never taken
    EXPECT_EQ(errors[1].line, 5);
    EXPECT_EQ(errors[2].line, 6);
    EXPECT_EQ(errors[3].line, 7);
}

TEST(OpcuaCodes, SampleStatusForEachCause) {
    using tags::Cause;
    const std::pair<Cause, UA_StatusCode> cases[] = {
        {Cause::WaitingForInitialData, UA_STATUSCODE_BADWAITINGFORINITIALDATA},
        {Cause::NoReply, UA_STATUSCODE_BADNOCOMMUNICATION},
        {Cause::Demoted, UA_STATUSCODE_BADNOCOMMUNICATION},
        {Cause::PortDown, UA_STATUSCODE_BADNOCOMMUNICATION},
        {Cause::ErrorBlock, UA_STATUSCODE_BADDEVICEFAILURE},
        {Cause::Garbled, UA_STATUSCODE_BADCOMMUNICATIONERROR},
        {Cause::Overdue, UA_STATUSCODE_UNCERTAINLASTUSABLEVALUE},
    };
    for (const auto& [cause, code] : cases) {
        tags::Sample s;
        s.quality = cause == Cause::Overdue ? tags::Quality::Uncertain : tags::Quality::Bad;
        s.cause = cause;
        EXPECT_EQ(opcua::SampleStatus(s), code) << static_cast<int>(cause);
    }
    tags::Sample good;
    good.quality = tags::Quality::Good;
    good.cause = Cause::None;
    EXPECT_EQ(opcua::SampleStatus(good), UA_STATUSCODE_GOOD);
}

TEST(OpcuaCodes, ValuesInAndOut) {
    tags::Tag u8, scaled, flag;
    u8.type = tags::Type::UInt8;
    scaled.type = tags::Type::Int16;
    scaled.scaled = true;
    flag.type = tags::Type::Bool;
    struct Case {
        const tags::Tag* tag;
        UA_Variant value;
        bool ok;
        UA_StatusCode refusal;
    };
    UA_Byte b200 = 200;
    UA_Int32 i256 = 256, iMinus = -1;
    UA_Double d = 1e9, dHalf = 2.5, dNan = NAN;
    UA_Boolean yes = true;
    auto var = [](void* p, int type) {
        UA_Variant v;
        UA_Variant_setScalar(&v, p, &UA_TYPES[type]);
        return v;
    };
    const Case cases[] = {
        {&u8, var(&b200, UA_TYPES_BYTE), true, UA_STATUSCODE_GOOD},
        {&u8, var(&i256, UA_TYPES_INT32), false, UA_STATUSCODE_BADOUTOFRANGE},
        {&u8, var(&iMinus, UA_TYPES_INT32), false, UA_STATUSCODE_BADOUTOFRANGE},
        {&u8, var(&dHalf, UA_TYPES_DOUBLE), false, UA_STATUSCODE_BADOUTOFRANGE},
        {&u8, var(&yes, UA_TYPES_BOOLEAN), false, UA_STATUSCODE_BADTYPEMISMATCH},
        {&scaled, var(&d, UA_TYPES_DOUBLE), true, UA_STATUSCODE_GOOD},  // the engine judges it after scale
        {&scaled, var(&dNan, UA_TYPES_DOUBLE), false, UA_STATUSCODE_BADOUTOFRANGE},
        {&flag, var(&yes, UA_TYPES_BOOLEAN), true, UA_STATUSCODE_GOOD},
        {&flag, var(&b200, UA_TYPES_BYTE), false, UA_STATUSCODE_BADTYPEMISMATCH},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        double out = 0;
        UA_StatusCode refusal = 0;
        EXPECT_EQ(opcua::FromVariant(*cases[i].tag, cases[i].value, out, refusal), cases[i].ok) << i;
        EXPECT_EQ(refusal, cases[i].refusal) << i;
    }

    // Out: the node's own type, the source time, no value before the first scan.
    tags::Sample s;
    s.value = 21.5;
    s.quality = tags::Quality::Good;
    s.cause = tags::Cause::None;
    s.sourceTime = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
    UA_DataValue dv;
    UA_DataValue_init(&dv);
    opcua::ToDataValue(scaled, s, dv);
    ASSERT_TRUE(dv.hasValue);
    EXPECT_EQ(dv.value.type, &UA_TYPES[UA_TYPES_DOUBLE]);
    EXPECT_EQ(*static_cast<UA_Double*>(dv.value.data), 21.5);
    EXPECT_EQ(UA_DateTime_toUnixTime(dv.sourceTimestamp), 1700000000);
    s.value = 300;
    opcua::ToDataValue(u8, s, dv);
    EXPECT_EQ(*static_cast<UA_Byte*>(dv.value.data), 255) << "clamped, never wrapped";
    s.quality = tags::Quality::Bad;
    s.cause = tags::Cause::WaitingForInitialData;
    opcua::ToDataValue(u8, s, dv);
    EXPECT_FALSE(dv.hasValue);
    EXPECT_EQ(dv.status, UA_STATUSCODE_BADWAITINGFORINITIALDATA);
    UA_DataValue_clear(&dv);
}

}  // namespace

// The line's worst case for a write: the scan block read under way through
// three attempts and the hold after it, then the write's own three attempts
// (a bit's read of its byte first). 9600 8E1 is 11 bits, 1.1458 ms a
// character; a block of n bytes is 18 + n characters plus the turnaround.
TEST(OpcuaWriteWait, FromTheLineSettings) {
    const LineParams line{9600, 8, 0, 2};
    const auto guard = std::chrono::milliseconds(2402);
    struct Case {
        int32_t ticks;
        bool bit;
        int64_t ms;
    } cases[] = {
        // 3 x (1000 + 274 x 1.1458 + 5) + 2402 + 3 x (1000 + 26 x 1.1458 + 5) + 100
        {100, false, 9564},
        // and 3 x (1000 + 19 x 1.1458 + 5) + 2402 for the byte read first
        {100, true, 15046},
        // a read limit of 200 ms: 3 x (200 + 319) + 2402 + 3 x (200 + 34.8) + 100
        {20, false, 4766},
        // no read limit: no worst case
        {0, false, opcua::kUnboundedWriteWait.count()},
    };
    for (const Case& c : cases) {
        const opcua::LineTiming timing{line, c.ticks, 5, guard};
        EXPECT_NEAR(static_cast<double>(opcua::WriteWait(timing, c.bit).count()), static_cast<double>(c.ms), 2)
            << c.ticks << (c.bit ? " bit" : "");
    }
}
