#include "gateway/line_server.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "tags/address.h"
#include "tags/plan.h"
#include "tags/status.h"

namespace vave8gw {

bool LoadServerConfig(const std::string& path, const std::string& module, tags::Config* config) {
    tags::ModuleGateParser parser;
    std::string error;
    if (!parser.Load(module, &error)) {
        std::fprintf(stderr, "vave8gw: %s\n", error.c_str());
        return false;
    }
    tags::LoadResult loaded = tags::LoadConfig(path, parser.Parser());
    for (const tags::Problem& problem : loaded.problems) {
        std::fprintf(stderr, "vave8gw: %s\n", tags::Describe(problem).c_str());
    }
    if (!loaded.Ok()) return false;
    *config = std::move(loaded.config);
    return true;
}

std::unique_ptr<tags::Scanner> MakeScanner(const tags::Config& config,
                                           const vave8ctl::ConnectionOptions& connection) {
    const tags::Plan plan = tags::MakePlan(
        config.tags, tags::CostModel::For(connection.line, config.line.turnaroundMs));
    tags::ScanSettings scan;
    scan.demoteAfter = static_cast<int>(config.line.demoteAfter);
    scan.demoteSeconds = config.line.demoteS;
    const std::string name = config.line.name.empty() ? connection.port : config.line.name;
    std::fprintf(stderr,
                 "vave8gw: line %s: %zu tags in %zu block reads, %.0f ms of line time for one "
                 "cycle of every period\n",
                 name.c_str(), config.tags.size(), plan.blocks.size(), plan.lineMs);
    return std::make_unique<tags::Scanner>(name, config.tags, plan.blocks, scan);
}

bool LoadMqttConfig(const tags::Config& config, const std::string& lineName, std::optional<mqtt::Config>* out) {
    out->reset();
    if (!config.mqtt) return true;
    toml::table doc;
    try {
        doc = toml::parse_file(config.path);
    } catch (const toml::parse_error& e) {
        std::fprintf(stderr, "vave8gw: %s: %s\n", config.path.c_str(), e.what());
        return false;
    }
    const toml::table* section = doc["mqtt"].as_table();
    if (!section) return true;
    const std::string folder = std::filesystem::path(config.path).parent_path().string();
    const char* state = std::getenv("STATE_DIRECTORY");
    mqtt::ConfigContext context{lineName, folder,
                                state && *state ? std::string(state)
                                                : (std::filesystem::path(folder) / (lineName + ".state")).string()};
    mqtt::ConfigResult parsed = mqtt::ParseConfig(*section, context);
    for (const mqtt::ConfigError& e : parsed.errors)
        std::fprintf(stderr, "vave8gw: %s:%d: %s\n", config.path.c_str(), e.line, e.reason.c_str());
    if (!parsed.config) return false;
    *out = std::move(parsed.config);
    return true;
}

void Reporter::Start() {
    thread_ = std::thread([this] {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            if (seconds_ <= 0) {
                wake_.wait(lock, [this] { return stop_; });
                break;
            }
            if (wake_.wait_for(lock, std::chrono::duration<double>(seconds_),
                               [this] { return stop_; })) {
                break;
            }
            lock.unlock();
            Report();
            lock.lock();
        }
    });
}

void Reporter::Stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    Report();
}

void Reporter::Report() {
    for (const std::string& line : scanner_->StatsLines()) {
        std::fprintf(stderr, "vave8gw: %s\n", line.c_str());
    }
    for (const auto& line : extra_) std::fprintf(stderr, "vave8gw: %s\n", line().c_str());
    std::string error;
    std::vector<tags::StatusSection> sections;
    for (const auto& [key, json] : sections_) sections.push_back({key, json()});
    if (!statusFile_.empty() &&
        !tags::WriteStatusFile(*scanner_, statusFile_, &error, sections)) {
        std::fprintf(stderr, "vave8gw: status file: %s\n", error.c_str());
    }
}

}  // namespace vave8gw
