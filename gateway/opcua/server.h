// The line server's OPC UA front-end: the tag engine's tags as a browsable
// address space, values from its cache pushed on change, writes through its
// write path, secured channels and sessions.
//
// The server runs in a thread of its own. It never waits on the serial line
// except in a client's Write, and then no longer than the write's bound: the
// server library carries writes out synchronously in that thread, so the
// bound is the line's worst case for that write (WriteWait).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "gateway/opcua/config.h"
#include "tags/engine.h"

namespace opcua {

struct Options {
    Config config;
    // The longest a write may hold the server thread, of a bit (a Boolean
    // tag: its byte is read first) and of any other tag; WriteWait makes
    // them from the line's settings.
    std::chrono::milliseconds writeTimeout{3000};
    std::chrono::milliseconds bitWriteTimeout{3000};
    std::chrono::milliseconds diagnosticsInterval{1000};
    std::string hostName;  // for the certificate and the URLs; empty: gethostname()
    std::function<void(const std::string&)> log;  // one line per call; empty: stderr
};

class Server {
public:
    Server(tags::Engine& engine, Options options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Prepares the certificate folder, builds the address space and opens the
    // listening socket; false with `error` when it cannot serve.
    bool Start(std::string& error);
    void Stop();

    const std::string& NamespaceUri() const;
    const std::string& ApplicationUri() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace opcua
