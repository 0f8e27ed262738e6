// The OPC UA users file: one user a line, "name role hash", where hash is
// pbkdf2-sha256$<iterations>$<salt, hex>$<key, hex>; '#' starts a comment.
// Passwords are never stored, only the salted key derived from them.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <vector>

namespace opcua {

// Lower-case hex of bytes: the users file's salts and keys, and certificate
// thumbprints in the log.
std::string Hex(const unsigned char* data, size_t size);

enum class Role : uint8_t { Read, Write };

const char* RoleName(Role role);
bool ParseRole(const std::string& text, Role& role);

struct User {
    std::string name;
    Role role = Role::Read;
    std::string hash;
};

struct UsersError {
    int line = 0;
    std::string reason;
};

// Reads a users file; lines in error are left out and reported.
std::map<std::string, User> ReadUsers(std::istream& in, std::vector<UsersError>& errors);
bool LoadUsers(const std::string& path, std::map<std::string, User>& users, std::vector<UsersError>& errors);

// A new salted hash of `password` (random salt).
std::string HashPassword(const std::string& password, uint32_t iterations = 100000);
// Constant-time check of `password` against a hash made by HashPassword.
bool CheckPassword(const std::string& password, const std::string& hash);

bool ValidUserName(const std::string& name);

// Adds `name` to the file (replacing an entry of that name) with a mode of
// 0600, written whole under a temporary name and renamed.
bool AddUser(const std::string& path, const std::string& name, Role role, const std::string& password,
             std::string& error);

// vave8gw --add-user FILE NAME ROLE: the password is read from the terminal
// with echo off (asked twice), or as one line from standard input when that
// is not a terminal. Returns the process's exit code.
int AddUserCommand(const std::string& path, const std::string& name, const std::string& role);

}  // namespace opcua
