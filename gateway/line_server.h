// The line server's pieces beside the Modbus gateway: the configuration file
// loaded with the driver checking every address, and the reporter that
// prints the engine's statistics and rewrites the status file.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tags/config.h"
#include "tags/scanner.h"
#include "tools/options.h"

namespace vave8gw {

// Loads the file, checking every address with the driver's own parser (the
// module at `module`, empty: beside the program); every problem is printed.
// The module is unloaded again before the line thread loads it for good.
bool LoadServerConfig(const std::string& path, const std::string& module, tags::Config* config);

// The engine for the file's tags on the plan that costs the line least at
// this connection's settings.
std::unique_ptr<tags::Scanner> MakeScanner(const tags::Config& config,
                                           const vave8ctl::ConnectionOptions& connection);

// Statistics lines and the status file every interval (0: only at the
// end), until stopped.
class Reporter {
public:
    Reporter(const tags::Scanner* scanner, std::string statusFile, double seconds)
        : scanner_(scanner), statusFile_(std::move(statusFile)), seconds_(seconds) {}
    ~Reporter() { Stop(); }
    Reporter(const Reporter&) = delete;
    Reporter& operator=(const Reporter&) = delete;

    void Start();
    // Stops the thread and reports once more.
    void Stop();

private:
    void Report();

    const tags::Scanner* scanner_;
    std::string statusFile_;
    double seconds_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace vave8gw
