// The [mqtt] section of the line server's config file, with its
// [mqtt.sparkplug] and [mqtt.json] tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <toml++/toml.h>

namespace mqtt {

struct SparkplugConfig {
    std::string groupId;
    std::string edgeNodeId;     // default: the line's name
    std::string primaryHostId;  // empty: no primary host to wait for
    // Sparkplug's data goes at QoS 0; a QoS 1 message here after each group
    // of it is what the broker acknowledges. Outside the spBv1.0 namespace.
    std::string checkpointTopic;  // default: vave8/<line name>/_checkpoint
};

struct JsonConfig {
    std::string prefix;  // default: vave8/<line name>
};

struct Config {
    std::string broker = "mqtt://127.0.0.1:1883";
    bool tls = false;
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string clientId;  // default: vave8-<line name>
    std::string username;
    std::string password;  // read from password_file, never written in the config
    std::string caFile, certFile, keyFile;
    int keepaliveS = 30;
    uint64_t bufferBytes = 256ull << 20;
    std::string stateDir;  // bdSeq and the disk buffer
    std::optional<SparkplugConfig> sparkplug;
    std::optional<JsonConfig> json;
};

struct ConfigContext {
    std::string lineName;
    std::string configDir;        // relative paths are taken from here
    std::string defaultStateDir;  // where [mqtt] state_dir is not given
};

struct ConfigError {
    int line = 0;  // in the config file; 0: the file as a whole
    std::string reason;
    std::string Text() const { return "line " + std::to_string(line) + ": " + reason; }
};

struct ConfigResult {
    std::optional<Config> config;  // set when there are no errors
    std::vector<ConfigError> errors;  // in file order
};

// Checks every key of the [mqtt] table (the table itself, not the document)
// and reports every error at once. Reads password_file.
ConfigResult ParseConfig(const toml::table& mqtt, const ConfigContext& context);

// "mqtt://host:port" or "mqtts://host:port"; false with a reason otherwise.
bool ParseBrokerUrl(const std::string& url, bool& tls, std::string& host, int& port,
                    std::string& error);

// Sparkplug ids and topic prefixes may not hold the MQTT wildcards or '/'.
bool ValidTopicId(const std::string& id);

}  // namespace mqtt
