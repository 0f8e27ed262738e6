#include "gateway/mqtt/config.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace mqtt {
namespace {

int At(const toml::source_region& where) { return static_cast<int>(where.begin.line); }

std::string Resolve(const std::string& path, const ConfigContext& context) {
    if (path.empty() || path.front() == '/' || context.configDir.empty()) return path;
    return (std::filesystem::path(context.configDir) / path).string();
}

// The first line of the file, without its line end: a file written with
// echo or an editor ends in one, and no password does.
bool ReadPassword(const std::string& path, std::string& password, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read password_file " + path;
        return false;
    }
    std::getline(in, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password.empty()) {
        error = "password_file " + path + " is empty";
        return false;
    }
    return true;
}

class Reader {
public:
    Reader(const toml::table& table, std::string section, std::vector<ConfigError>& errors)
        : table_(table), section_(std::move(section)), errors_(errors) {}

    // Every key not asked for by the end is an error.
    void Unknown(const std::set<std::string>& known) {
        for (auto&& [key, node] : table_) {
            if (key.str() == "password")
                errors_.push_back({At(key.source()), "no password in the config file: use password_file"});
            else if (!known.count(std::string(key.str())))
                errors_.push_back({At(key.source()), "unknown key '" + std::string(key.str()) + "' in [" + section_ + "]"});
        }
    }

    bool String(const char* key, std::string& out) {
        const toml::node* node = table_.get(key);
        if (!node) return false;
        if (auto v = node->value<std::string>()) {
            out = *v;
            return true;
        }
        errors_.push_back({At(node->source()), section_ + "." + key + " must be a string"});
        return false;
    }

    bool Int(const char* key, int64_t low, int64_t high, int64_t& out) {
        const toml::node* node = table_.get(key);
        if (!node) return false;
        auto v = node->value_exact<int64_t>();
        if (!v || *v < low || *v > high) {
            errors_.push_back({At(node->source()), section_ + "." + key + " must be an integer from " +
                                                       std::to_string(low) + " to " + std::to_string(high)});
            return false;
        }
        out = *v;
        return true;
    }

    void Error(const char* key, const std::string& text) {
        const toml::node* node = table_.get(key);
        errors_.push_back({node ? At(node->source()) : At(table_.source()), section_ + "." + key + ": " + text});
    }

private:
    const toml::table& table_;
    std::string section_;
    std::vector<ConfigError>& errors_;
};

}  // namespace

bool ValidTopicId(const std::string& id) {
    if (id.empty()) return false;
    for (char c : id) {
        if (c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20) return false;
    }
    return true;
}

bool ParseBrokerUrl(const std::string& url, bool& tls, std::string& host, int& port,
                    std::string& error) {
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        tls = false;
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        tls = true;
        rest = url.substr(8);
    } else {
        error = "must start with mqtt:// or mqtts://";
        return false;
    }
    port = tls ? 8883 : 1883;
    std::string portText;
    if (!rest.empty() && rest.front() == '[') {  // [::1]:1883
        size_t close = rest.find(']');
        if (close == std::string::npos) {
            error = "unclosed '[' in the host";
            return false;
        }
        host = rest.substr(1, close - 1);
        rest = rest.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                error = "expected ':port' after the host";
                return false;
            }
            portText = rest.substr(1);
        }
    } else {
        size_t colon = rest.rfind(':');
        host = rest.substr(0, colon);
        if (colon != std::string::npos) portText = rest.substr(colon + 1);
    }
    if (host.empty() || host.find_first_of("/@?# ") != std::string::npos) {
        error = "needs a host name or address and nothing else";
        return false;
    }
    if (!portText.empty() || (rest.find(':') != std::string::npos)) {
        int p = 0;
        auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), p);
        if (ec != std::errc() || end != portText.data() + portText.size() || p < 1 || p > 65535) {
            error = "the port must be 1 to 65535";
            return false;
        }
        port = p;
    }
    return true;
}

ConfigResult ParseConfig(const toml::table& table, const ConfigContext& context) {
    ConfigResult result;
    auto& errors = result.errors;
    Config c;
    Reader r(table, "mqtt", errors);
    r.Unknown({"broker", "client_id", "username", "password_file", "ca_file", "cert_file",
               "key_file", "keepalive_s", "buffer_mb", "state_dir", "sparkplug", "json"});

    if (r.String("broker", c.broker)) {
        std::string why;
        if (!ParseBrokerUrl(c.broker, c.tls, c.host, c.port, why)) r.Error("broker", why);
    }
    c.clientId = "vave8-" + context.lineName;
    if (r.String("client_id", c.clientId) && (c.clientId.empty() || c.clientId.size() > 65535))
        r.Error("client_id", "must not be empty");
    r.String("username", c.username);
    std::string passwordFile;
    if (r.String("password_file", passwordFile)) {
        std::string why;
        if (!ReadPassword(Resolve(passwordFile, context), c.password, why)) r.Error("password_file", why);
    }
    if (!c.password.empty() && c.username.empty())
        r.Error("password_file", "a password needs a username");
    for (auto [key, field] : {std::pair{"ca_file", &c.caFile}, std::pair{"cert_file", &c.certFile},
                              std::pair{"key_file", &c.keyFile}}) {
        if (r.String(key, *field)) {
            *field = Resolve(*field, context);
            if (!c.tls) r.Error(key, "needs an mqtts:// broker");
            else if (!std::filesystem::is_regular_file(*field))
                r.Error(key, "no such file: " + *field);
        }
    }
    if (c.certFile.empty() != c.keyFile.empty())
        r.Error(c.certFile.empty() ? "key_file" : "cert_file", "cert_file and key_file go together");
    int64_t n = 0;
    if (r.Int("keepalive_s", 5, 65535, n)) c.keepaliveS = static_cast<int>(n);
    if (r.Int("buffer_mb", 1, 1 << 20, n)) c.bufferBytes = static_cast<uint64_t>(n) << 20;
    c.stateDir = context.defaultStateDir;
    if (r.String("state_dir", c.stateDir)) c.stateDir = Resolve(c.stateDir, context);
    if (c.stateDir.empty()) r.Error("state_dir", "is needed for bdSeq and the disk buffer");

    const toml::node* spNode = table.get("sparkplug");
    if (spNode) {
        if (const toml::table* sp = spNode->as_table()) {
            Reader s(*sp, "mqtt.sparkplug", errors);
            s.Unknown({"group_id", "edge_node_id", "primary_host_id", "checkpoint_topic"});
            SparkplugConfig spc;
            spc.edgeNodeId = context.lineName;
            spc.checkpointTopic = "vave8/" + context.lineName + "/_checkpoint";
            if (!s.String("group_id", spc.groupId)) {
                if (!sp->get("group_id")) s.Error("group_id", "is required");
            } else if (!ValidTopicId(spc.groupId)) {
                s.Error("group_id", "must not be empty nor hold '/', '+' or '#'");
            }
            s.String("edge_node_id", spc.edgeNodeId);
            if (!ValidTopicId(spc.edgeNodeId))
                s.Error("edge_node_id", "must not be empty nor hold '/', '+' or '#'");
            if (s.String("primary_host_id", spc.primaryHostId) && !ValidTopicId(spc.primaryHostId))
                s.Error("primary_host_id", "must not be empty nor hold '/', '+' or '#'");
            if (s.String("checkpoint_topic", spc.checkpointTopic) &&
                (spc.checkpointTopic.empty() || spc.checkpointTopic.find_first_of("+#") != std::string::npos ||
                 spc.checkpointTopic.front() == '/' || spc.checkpointTopic.front() == '$' ||
                 spc.checkpointTopic.rfind("spBv1.0/", 0) == 0))
                s.Error("checkpoint_topic", "must be a topic without '+', '#', a leading '/' or '$', outside spBv1.0/");
            c.sparkplug = spc;
        } else {
            errors.push_back({At(spNode->source()), "mqtt.sparkplug must be a table"});
        }
    }
    const toml::node* jsNode = table.get("json");
    if (jsNode) {
        if (const toml::table* js = jsNode->as_table()) {
            Reader j(*js, "mqtt.json", errors);
            j.Unknown({"prefix"});
            JsonConfig jc;
            jc.prefix = "vave8/" + context.lineName;
            if (j.String("prefix", jc.prefix)) {
                while (!jc.prefix.empty() && jc.prefix.back() == '/') jc.prefix.pop_back();
                if (jc.prefix.empty() || jc.prefix.find_first_of("+#") != std::string::npos ||
                    jc.prefix.front() == '/')
                    j.Error("prefix", "must be a topic without '+', '#' or a leading '/'");
            }
            c.json = jc;
        } else {
            errors.push_back({At(jsNode->source()), "mqtt.json must be a table"});
        }
    }
    if (!c.sparkplug && !c.json)
        errors.push_back({At(table.source()), "[mqtt] needs [mqtt.sparkplug], [mqtt.json] or both"});
    if (errors.empty()) result.config = std::move(c);
    return result;
}

}  // namespace mqtt
