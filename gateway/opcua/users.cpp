#include "gateway/opcua/users.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

namespace opcua {

namespace {

constexpr size_t kSaltBytes = 16;
constexpr size_t kKeyBytes = 32;
// Above this a login costs the server thread too long, every time.
constexpr uint32_t kMaxIterations = 2000000;

bool Unhex(const std::string& text, std::vector<unsigned char>& out) {
    if (text.size() % 2 != 0) return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        int value = 0;
        for (size_t j = i; j < i + 2; ++j) {
            const char c = text[j];
            const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (digit < 0) return false;
            value = value * 16 + digit;
        }
        out.push_back(static_cast<unsigned char>(value));
    }
    return true;
}

struct ParsedHash {
    uint32_t iterations = 0;
    std::vector<unsigned char> salt, key;
};

bool ParseHash(const std::string& hash, ParsedHash& parsed) {
    std::vector<std::string> parts;
    std::stringstream in(hash);
    for (std::string part; std::getline(in, part, '$');) parts.push_back(part);
    if (parts.size() != 4 || parts[0] != "pbkdf2-sha256") return false;
    if (parts[1].empty() || parts[1].size() > 7 || parts[1].find_first_not_of("0123456789") != std::string::npos)
        return false;
    parsed.iterations = static_cast<uint32_t>(std::stoul(parts[1]));
    return parsed.iterations > 0 && parsed.iterations <= kMaxIterations && Unhex(parts[2], parsed.salt) &&
           Unhex(parts[3], parsed.key) && parsed.salt.size() >= 8 && parsed.key.size() == kKeyBytes;
}

bool Derive(const std::string& password, const std::vector<unsigned char>& salt, uint32_t iterations,
            unsigned char* key) {
    return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                             static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                             static_cast<int>(kKeyBytes), key) == 1;
}

}  // namespace

std::string Hex(const unsigned char* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

const char* RoleName(Role role) { return role == Role::Write ? "write" : "read"; }

bool ParseRole(const std::string& text, Role& role) {
    if (text == "read") role = Role::Read;
    else if (text == "write") role = Role::Write;
    else return false;
    return true;
}

bool ValidUserName(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (unsigned char c : name)
        if (c <= ' ' || c >= 127 || c == '#') return false;
    return true;
}

std::string HashPassword(const std::string& password, uint32_t iterations) {
    std::vector<unsigned char> salt(kSaltBytes);
    unsigned char key[kKeyBytes];
    if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1 || !Derive(password, salt, iterations, key))
        return {};
    return "pbkdf2-sha256$" + std::to_string(iterations) + "$" + Hex(salt.data(), salt.size()) + "$" +
           Hex(key, kKeyBytes);
}

bool CheckPassword(const std::string& password, const std::string& hash) {
    ParsedHash parsed;
    unsigned char key[kKeyBytes];
    if (!ParseHash(hash, parsed) || !Derive(password, parsed.salt, parsed.iterations, key)) return false;
    return CRYPTO_memcmp(key, parsed.key.data(), kKeyBytes) == 0;
}

std::map<std::string, User> ReadUsers(std::istream& in, std::vector<UsersError>& errors) {
    std::map<std::string, User> users;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        std::istringstream fields(line);
        User user;
        std::string role, extra;
        if (!(fields >> user.name)) continue;
        if (!(fields >> role >> user.hash) || (fields >> extra)) {
            errors.push_back({number, "expected: name role hash"});
        } else if (!ValidUserName(user.name)) {
            errors.push_back({number, "bad user name \"" + user.name + "\""});
        } else if (!ParseRole(role, user.role)) {
            errors.push_back({number, "role \"" + role + "\" is neither read nor write"});
        } else if (ParsedHash parsed; !ParseHash(user.hash, parsed)) {
            errors.push_back({number, "user " + user.name + ": not a password hash (passwords are never stored)"});
        } else if (!users.emplace(user.name, user).second) {
            errors.push_back({number, "user " + user.name + " given twice"});
        }
    }
    return users;
}

bool LoadUsers(const std::string& path, std::map<std::string, User>& users, std::vector<UsersError>& errors) {
    std::ifstream in(path);
    if (!in) {
        errors.push_back({0, "cannot read " + path});
        return false;
    }
    users = ReadUsers(in, errors);
    return errors.empty();
}

bool AddUser(const std::string& path, const std::string& name, Role role, const std::string& password,
             std::string& error) {
    if (!ValidUserName(name)) {
        error = "bad user name \"" + name + "\" (1 to 64 printable characters, no spaces or #)";
        return false;
    }
    if (password.empty()) {
        error = "empty password";
        return false;
    }
    std::string kept;
    if (std::ifstream in(path); in) {
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            std::string first;
            if ((fields >> first) && first == name) continue;
            kept += line + "\n";
        }
    }
    const std::string hash = HashPassword(password);
    if (hash.empty()) {
        error = "cannot hash the password";
        return false;
    }
    kept += name + " " + RoleName(role) + " " + hash + "\n";
    const std::string temp = path + ".tmp";
    const mode_t old = umask(077);
    FILE* out = std::fopen(temp.c_str(), "w");
    umask(old);
    if (!out) {
        error = "cannot write " + temp;
        return false;
    }
    const bool written = std::fwrite(kept.data(), 1, kept.size(), out) == kept.size();
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed || chmod(temp.c_str(), 0600) != 0 || std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        error = "cannot write " + path;
        return false;
    }
    return true;
}

namespace {

bool ReadSecret(const char* prompt, std::string& out) {
    termios saved{};
    const bool tty = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (tty) {
        std::fprintf(stderr, "%s", prompt);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool got = static_cast<bool>(std::getline(std::cin, out));
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fprintf(stderr, "\n");
    }
    if (!out.empty() && out.back() == '\r') out.pop_back();
    return got;
}

}  // namespace

int AddUserCommand(const std::string& path, const std::string& name, const std::string& roleText) {
    Role role;
    if (!ParseRole(roleText, role)) {
        std::fprintf(stderr, "vave8gw: role \"%s\" is neither read nor write\n", roleText.c_str());
        return 2;
    }
    std::string password, again;
    if (!ReadSecret("Password: ", password)) {
        std::fprintf(stderr, "vave8gw: no password given\n");
        return 1;
    }
    if (isatty(STDIN_FILENO)) {
        if (!ReadSecret("Again: ", again) || again != password) {
            std::fprintf(stderr, "vave8gw: the passwords differ; nothing written\n");
            return 1;
        }
    }
    std::string error;
    if (!AddUser(path, name, role, password, error)) {
        std::fprintf(stderr, "vave8gw: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "vave8gw: user %s (%s) written to %s\n", name.c_str(), RoleName(role), path.c_str());
    return 0;
}

}  // namespace opcua
