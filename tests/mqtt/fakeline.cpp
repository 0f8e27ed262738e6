// The MQTT front-end over the fake engine, driven line by line on stdin,
// for the tests against a real broker:
//   set NAME VALUE [NAME VALUE ...]   one scan cycle with these values
//   station N good|demoted|portdown   a station's state
//   stats                             prints "stats {...}"
//   quit                              stops cleanly
// Prints "write NAME VALUE" for each write that reaches the engine and
// "ready" once started. Usage: mqtt_fakeline CONFIG.toml
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "gateway/mqtt/frontend.h"
#include "tests/mqtt/fake_engine.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: mqtt_fakeline CONFIG.toml\n");
        return 64;
    }
    toml::table doc;
    try {
        doc = toml::parse_file(argv[1]);
    } catch (const toml::parse_error& e) {
        std::fprintf(stderr, "%s: %s\n", argv[1], e.what());
        return 1;
    }
    const toml::table* section = doc["mqtt"].as_table();
    if (!section) {
        std::fprintf(stderr, "%s: no [mqtt]\n", argv[1]);
        return 1;
    }
    std::string dir = std::filesystem::path(argv[1]).parent_path().string();
    mqtt::ConfigResult parsed = mqtt::ParseConfig(*section, {"test", dir, dir + "/state"});
    for (const auto& e : parsed.errors) std::fprintf(stderr, "%s:%d: %s\n", argv[1], e.line, e.reason.c_str());
    if (!parsed.config) return 1;

    mqtt_test::FakeEngine engine("test", mqtt_test::SampleTags());
    std::mutex outMutex;
    engine.onWrite = [&](size_t tag, double value) {
        std::lock_guard lock(outMutex);
        std::printf("write %s %g\n", engine.Tags()[tag].name.c_str(), value);
        std::fflush(stdout);
    };
    // MQTT_NODE_DATA_MS: the statistics' NDATA period, short for a test.
    const char* nodeData = std::getenv("MQTT_NODE_DATA_MS");
    mqtt::FrontEnd frontEnd(
        engine, *parsed.config, [&](const std::string& line) { std::fprintf(stderr, "mqtt: %s\n", line.c_str()); },
        std::chrono::milliseconds(nodeData ? std::atoi(nodeData) : 10000));
    std::string error;
    if (!frontEnd.Start(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    {
        std::lock_guard lock(outMutex);
        std::printf("ready\n");
        std::fflush(stdout);
    }
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        if (command == "set") {
            std::vector<std::pair<size_t, double>> values;
            std::string name;
            double v = 0;
            while (in >> name >> v) {
                if (auto i = engine.Find(name)) values.emplace_back(*i, v);
                else std::fprintf(stderr, "no tag %s\n", name.c_str());
            }
            engine.Cycle(values);
        } else if (command == "station") {
            int station = 0;
            std::string state;
            in >> station >> state;
            using S = tags::StationStatus::State;
            engine.SetStation(station, state == "demoted" ? S::Demoted : state == "portdown" ? S::PortDown : S::Good);
        } else if (command == "stats") {
            std::lock_guard lock(outMutex);
            std::printf("stats %s\n", frontEnd.StatusJson().c_str());
            std::fflush(stdout);
        } else if (command == "quit") {
            break;
        }
    }
    frontEnd.Stop();
    std::printf("stopped\n");
    return 0;
}
