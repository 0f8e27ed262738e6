// The line server's pieces beside the Modbus gateway: the configuration file
// loaded with the driver checking every address, and the reporter that
// prints the engine's statistics and rewrites the status file.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <thread>

#include "gateway/mqtt/config.h"
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

// The file's [mqtt] section, checked by the MQTT front-end's parser; every
// problem is printed with the file's name and line. The state folder (bdSeq,
// the disk buffer) is $STATE_DIRECTORY (systemd's StateDirectory=) unless the
// section names one, else "<line name>.state" beside the file.
bool LoadMqttConfig(const tags::Config& config, const std::string& lineName, std::optional<mqtt::Config>* out);

// Statistics lines and the status file every interval (0: only at the
// end), until stopped.
class Reporter {
public:
    Reporter(const tags::Scanner* scanner, std::string statusFile, double seconds)
        : scanner_(scanner), statusFile_(std::move(statusFile)), seconds_(seconds) {}
    ~Reporter() { Stop(); }
    Reporter(const Reporter&) = delete;
    Reporter& operator=(const Reporter&) = delete;

    // More statistics lines, each a line of its own (the MQTT front-end's).
    void AddLine(std::function<std::string()> line) { extra_.push_back(std::move(line)); }
    // A front-end's object in the status file, under its key.
    void AddStatus(std::string key, std::function<std::string()> json) {
        sections_.emplace_back(std::move(key), std::move(json));
    }
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
    std::vector<std::function<std::string()>> extra_;
    std::vector<std::pair<std::string, std::function<std::string()>>> sections_;
};

}  // namespace vave8gw
