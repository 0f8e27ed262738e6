#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "gateway/mqtt/config.h"

namespace {

struct Dir {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("mqtt-config-" + std::to_string(::getpid()));
    Dir() { std::filesystem::create_directories(path); }
    ~Dir() { std::filesystem::remove_all(path); }
};

mqtt::ConfigResult Parse(const std::string& text, const std::string& dir = "/nonexistent") {
    toml::table doc = toml::parse(text);
    return mqtt::ParseConfig(*doc["mqtt"].as_table(), {"line1", dir, "/var/lib/vave8/line1"});
}

TEST(MqttConfig, DefaultsFromTheLine) {
    auto r = Parse("[mqtt]\n[mqtt.sparkplug]\ngroup_id = \"plant\"\n[mqtt.json]\n");
    ASSERT_TRUE(r.config) << r.errors.front().Text();
    const auto& c = *r.config;
    EXPECT_EQ(c.host, "127.0.0.1");
    EXPECT_EQ(c.port, 1883);
    EXPECT_FALSE(c.tls);
    EXPECT_EQ(c.clientId, "vave8-line1");
    EXPECT_EQ(c.sparkplug->edgeNodeId, "line1");
    EXPECT_EQ(c.json->prefix, "vave8/line1");
    EXPECT_EQ(c.sparkplug->checkpointTopic, "vave8/line1/_checkpoint");
    EXPECT_EQ(c.stateDir, "/var/lib/vave8/line1");
    EXPECT_EQ(c.bufferBytes, 256ull << 20);
}

// Each bad file names the line of its fault.
TEST(MqttConfig, ErrorsNameTheirLine) {
    struct Case {
        const char* text;
        const char* expect;
    } cases[] = {
        {"[mqtt]\nbrokr = \"x\"\n[mqtt.json]\n", "line 2: unknown key 'brokr'"},
        {"[mqtt]\npassword = \"secret\"\n[mqtt.json]\n", "line 2: no password in the config file"},
        {"[mqtt]\nbroker = \"tcp://h:1\"\n[mqtt.json]\n", "line 2: mqtt.broker: must start with"},
        {"[mqtt]\nbroker = \"mqtt://h:0\"\n[mqtt.json]\n", "line 2: mqtt.broker: the port"},
        {"[mqtt]\nkeepalive_s = 1\n[mqtt.json]\n", "line 2: mqtt.keepalive_s must be an integer"},
        {"[mqtt]\nbuffer_mb = \"big\"\n[mqtt.json]\n", "line 2: mqtt.buffer_mb must be an integer"},
        {"[mqtt]\nca_file = \"ca.pem\"\n[mqtt.json]\n", "line 2: mqtt.ca_file: needs an mqtts:// broker"},
        {"[mqtt]\n", "needs [mqtt.sparkplug], [mqtt.json] or both"},
        {"[mqtt]\n[mqtt.sparkplug]\nedge_node_id = \"a\"\n", "mqtt.sparkplug.group_id: is required"},
        {"[mqtt]\n[mqtt.sparkplug]\ngroup_id = \"a/b\"\n", "line 3: mqtt.sparkplug.group_id: must not"},
        {"[mqtt]\n[mqtt.sparkplug]\ngroup_id = \"g\"\nprimary = \"h\"\n", "line 4: unknown key 'primary'"},
        {"[mqtt]\n[mqtt.json]\nprefix = \"a/#\"\n", "line 3: mqtt.json.prefix: must be a topic"},
        {"[mqtt]\n[mqtt.sparkplug]\ngroup_id = \"g\"\ncheckpoint_topic = \"spBv1.0/g/x\"\n",
         "line 4: mqtt.sparkplug.checkpoint_topic: must be a topic"},
        {"[mqtt]\n[mqtt.sparkplug]\ngroup_id = \"g\"\ncheckpoint_topic = \"a/+\"\n",
         "line 4: mqtt.sparkplug.checkpoint_topic: must be a topic"},
        {"[mqtt]\npassword_file = \"nope\"\nusername = \"u\"\n[mqtt.json]\n", "line 2: mqtt.password_file: cannot read"},
    };
    for (const auto& c : cases) {
        auto r = Parse(c.text);
        EXPECT_FALSE(r.config) << c.text;
        bool found = false;
        for (const auto& e : r.errors) found |= e.Text().find(c.expect) != std::string::npos;
        EXPECT_TRUE(found) << c.text << "\nwanted: " << c.expect << "\ngot: "
                           << (r.errors.empty() ? "no error" : r.errors.front().Text());
    }
}

TEST(MqttConfig, EveryErrorAtOnce) {
    auto r = Parse("[mqtt]\nx = 1\ny = 2\nkeepalive_s = 0\n[mqtt.json]\nz = 3\n");
    EXPECT_EQ(r.errors.size(), 4u);
}

TEST(MqttConfig, PasswordAndCertificatesFromFilesBesideTheConfig) {
    Dir dir;
    std::ofstream(dir.path / "pw") << "s3cret\n";
    std::ofstream(dir.path / "ca.pem") << "x";
    auto r = Parse("[mqtt]\nbroker = \"mqtts://[::1]:8884\"\nusername = \"u\"\npassword_file = \"pw\"\n"
                   "ca_file = \"ca.pem\"\nstate_dir = \"st\"\n[mqtt.json]\nprefix = \"a/b/\"\n",
                   dir.path.string());
    ASSERT_TRUE(r.config) << r.errors.front().Text();
    EXPECT_EQ(r.config->password, "s3cret");
    EXPECT_TRUE(r.config->tls);
    EXPECT_EQ(r.config->host, "::1");
    EXPECT_EQ(r.config->port, 8884);
    EXPECT_EQ(r.config->caFile, (dir.path / "ca.pem").string());
    EXPECT_EQ(r.config->stateDir, (dir.path / "st").string());
    EXPECT_EQ(r.config->json->prefix, "a/b");
}

TEST(MqttConfig, BrokerUrls) {
    struct Case {
        const char* url;
        bool ok, tls;
        const char* host;
        int port;
    } cases[] = {
        {"mqtt://localhost", true, false, "localhost", 1883},
        {"mqtts://broker.local", true, true, "broker.local", 8883},
        {"mqtt://10.1.2.3:1884", true, false, "10.1.2.3", 1884},
        {"mqtt://[::1]", true, false, "::1", 1883},
        {"mqtt://h:", false, false, "", 0},
        {"mqtt://h:99999", false, false, "", 0},
        {"mqtt://user@h:1", false, false, "", 0},
        {"mqtt://h/path", false, false, "", 0},
        {"mqtt://", false, false, "", 0},
    };
    for (const auto& c : cases) {
        bool tls = false;
        std::string host, error;
        int port = 0;
        bool ok = mqtt::ParseBrokerUrl(c.url, tls, host, port, error);
        EXPECT_EQ(ok, c.ok) << c.url << ": " << error;
        if (ok && c.ok) {
            EXPECT_EQ(tls, c.tls) << c.url;
            EXPECT_EQ(host, c.host) << c.url;
            EXPECT_EQ(port, c.port) << c.url;
        }
    }
}

}  // namespace
