#include "gateway/opcua/config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <filesystem>

namespace opcua {

namespace {

struct SecurityNameEntry {
    Security security;
    const char* name;
};
constexpr SecurityNameEntry kSecurityNames[] = {
    {Security::None, "None"},
    {Security::Basic256Sha256Sign, "Basic256Sha256-Sign"},
    {Security::Basic256Sha256SignAndEncrypt, "Basic256Sha256-SignAndEncrypt"},
    {Security::Aes256Sha256RsaPssSign, "Aes256Sha256RsaPss-Sign"},
    {Security::Aes256Sha256RsaPssSignAndEncrypt, "Aes256Sha256RsaPss-SignAndEncrypt"},
};

int LineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

std::string Resolve(const std::string& path, const std::string& base) {
    if (path.empty() || base.empty() || std::filesystem::path(path).is_absolute()) return path;
    return (std::filesystem::path(base) / path).lexically_normal().string();
}

}  // namespace

const char* SecurityName(Security security) {
    for (const auto& entry : kSecurityNames)
        if (entry.security == security) return entry.name;
    return "?";
}

bool IsLoopback(const std::string& host) {
    if (host == "localhost" || host == "::1") return true;
    in_addr v4{};
    return inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

std::string DefaultStateDir(const std::string& lineName) { return "/var/lib/vave8gw/" + lineName; }

bool ParseListen(const std::string& text, std::string& host, uint16_t& port, std::string& error) {
    std::string h, p;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "listen \"" + text + "\" is not [address]:port";
            return false;
        }
        h = text.substr(1, close - 1);
        p = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) {
            error = "listen \"" + text + "\" is not host:port";
            return false;
        }
        h = text.substr(0, colon);
        p = text.substr(colon + 1);
    }
    unsigned long value = 0;
    const bool digits = !p.empty() && p.size() <= 5 &&
                        std::all_of(p.begin(), p.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digits) value = std::stoul(p);
    if (!digits || value == 0 || value > 65535) {
        error = "listen \"" + text + "\": port must be 1..65535";
        return false;
    }
    if (h == "*" || h == "0.0.0.0") h.clear();
    if (h.find_first_of(" \t/") != std::string::npos) {
        error = "listen \"" + text + "\": bad host";
        return false;
    }
    host = h;
    port = static_cast<uint16_t>(value);
    return true;
}

Config ParseConfig(const toml::table& section, const ConfigPlaces& places,
                   std::vector<ConfigError>& errors) {
    Config config;
    const size_t firstError = errors.size();
    auto fail = [&](const toml::node& node, std::string reason) {
        errors.push_back({LineOf(node), "[opcua] " + std::move(reason)});
    };
    auto text = [&](const toml::node& node, const char* key, std::string& out) {
        if (const auto* s = node.as_string()) {
            out = s->get();
            return true;
        }
        fail(node, std::string(key) + " must be a string");
        return false;
    };

    bool securityGiven = false, anonymousGiven = false;
    for (const auto& [key, node] : section) {
        const std::string name(key.str());
        if (name == "listen") {
            std::string value, error;
            if (text(node, "listen", value) && !ParseListen(value, config.host, config.port, error))
                fail(node, error);
        } else if (name == "security") {
            securityGiven = true;
            const auto* list = node.as_array();
            if (!list) {
                fail(node, "security must be a list of policy names");
                continue;
            }
            for (const auto& item : *list) {
                std::string value;
                if (!text(item, "security", value)) continue;
                const auto* found = std::find_if(std::begin(kSecurityNames), std::end(kSecurityNames),
                                                 [&](const auto& entry) { return value == entry.name; });
                if (found == std::end(kSecurityNames)) {
                    fail(item, "unknown security \"" + value +
                                   "\" (None, Basic256Sha256-Sign, Basic256Sha256-SignAndEncrypt, "
                                   "Aes256Sha256RsaPss-Sign, Aes256Sha256RsaPss-SignAndEncrypt)");
                } else if (std::find(config.security.begin(), config.security.end(), found->security) ==
                           config.security.end()) {
                    config.security.push_back(found->security);
                }
            }
            if (list->empty()) fail(node, "security lists no policy: no client could connect");
        } else if (name == "users") {
            if (text(node, "users", config.usersFile)) config.usersFile = Resolve(config.usersFile, places.configDir);
        } else if (name == "anonymous") {
            anonymousGiven = true;
            if (const auto* b = node.as_boolean()) {
                if (b->get()) fail(node, "anonymous = true is ambiguous: write \"read\" or false");
            } else if (const auto* s = node.as_string(); s && (s->get() == "read" || s->get() == "off")) {
                config.anonymous = s->get() == "read";
            } else {
                fail(node, "anonymous must be \"read\" or \"off\"");
            }
        } else if (name == "pki") {
            if (text(node, "pki", config.pki)) config.pki = Resolve(config.pki, places.configDir);
        } else {
            fail(node, "unknown key \"" + name + "\" (listen, security, users, anonymous, pki)");
        }
    }

    // Keys come in name order; an operator reads the file top down.
    std::stable_sort(errors.begin() + static_cast<std::ptrdiff_t>(firstError), errors.end(),
                     [](const ConfigError& a, const ConfigError& b) { return a.line < b.line; });

    const bool loopback = IsLoopback(config.host);
    if (!securityGiven) {
        if (loopback) config.security.push_back(Security::None);
        for (Security s : {Security::Basic256Sha256Sign, Security::Basic256Sha256SignAndEncrypt,
                           Security::Aes256Sha256RsaPssSign, Security::Aes256Sha256RsaPssSignAndEncrypt})
            config.security.push_back(s);
    }
    if (!anonymousGiven) config.anonymous = loopback;
    if (config.pki.empty()) config.pki = (std::filesystem::path(places.stateDir) / "pki").string();
    return config;
}

}  // namespace opcua
