// The [opcua] section of the line server's configuration file.
//
// Secure defaults: loopback only, None and anonymous reading offered only
// there; anywhere else the four signed policies alone and no anonymous
// session unless the file asks for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <toml++/toml.h>

namespace opcua {

enum class Security : uint8_t {
    None,
    Basic256Sha256Sign,
    Basic256Sha256SignAndEncrypt,
    Aes256Sha256RsaPssSign,
    Aes256Sha256RsaPssSignAndEncrypt,
};

// The names the file uses ("Basic256Sha256-Sign", ...).
const char* SecurityName(Security security);

struct Config {
    std::string host = "127.0.0.1";  // empty: every interface
    uint16_t port = 4840;
    std::vector<Security> security;
    std::string usersFile;  // empty: no user may log in by name
    bool anonymous = false;  // anonymous sessions may read
    std::string pki;         // own certificate and key, trusted/, rejected/
};

bool IsLoopback(const std::string& host);

struct ConfigError {
    int line = 0;  // 0: the section as a whole
    std::string reason;
};

struct ConfigPlaces {
    std::string configDir;  // relative paths in the file are taken from here
    std::string stateDir;   // the server's state folder (pki's default parent)
};

// The state folder a line server uses unless told: /var/lib/vave8gw/<line>.
std::string DefaultStateDir(const std::string& lineName);

// Reads [opcua]; every problem goes to `errors` (unknown keys included), and
// the returned config is only to be used when there is none.
Config ParseConfig(const toml::table& section, const ConfigPlaces& places,
                   std::vector<ConfigError>& errors);

// "host:port" or "[v6]:port"; false with `error` set when it is neither.
bool ParseListen(const std::string& text, std::string& host, uint16_t& port, std::string& error);

}  // namespace opcua
