// The OPC UA front-end on a fake tag engine, for the tests and the
// benchmark: starts from a config file's [opcua] section, prints "ready",
// then takes commands on standard input, one a line, answering "ok" (or
// "error ..."), and prints "write NAME VALUE" for each write that reaches
// the engine:
//   set NAME VALUE...         a good sample, seen now; more values, one
//                             change after another at once
//   bad NAME CAUSE [CODE]     waiting noreply errorblock garbled portdown demoted overdue
//   plan NAME RESULT [CAUSE]  how writes to NAME end: done readonly outofrange demoted
//                             portdown failed stopped hang; CAUSE noreply errorblock garbled
//   station N STATE           good demoted portdown
//   portdown 0|1
//   churn MS                  every bulk tag changes every MS ms (0: stop)
// It stops at the end of its input. `opcua_host --add-user FILE NAME ROLE` is
// the line server's user entry, as vave8gw runs it.
#include <atomic>
#include <charconv>
#include <filesystem>
#include <cstdio>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "gateway/opcua/server.h"
#include "gateway/opcua/users.h"
#include "tests/opcua/fake_engine.h"

namespace {

std::mutex outMutex;

void Say(const std::string& line) {
    std::lock_guard lock(outMutex);
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}

const std::map<std::string, tags::Cause> kCauses = {
    {"waiting", tags::Cause::WaitingForInitialData}, {"noreply", tags::Cause::NoReply},
    {"errorblock", tags::Cause::ErrorBlock},         {"garbled", tags::Cause::Garbled},
    {"portdown", tags::Cause::PortDown},             {"demoted", tags::Cause::Demoted},
    {"overdue", tags::Cause::Overdue},
};

using WS = tags::WriteResult::Status;
const std::map<std::string, WS> kResults = {
    {"done", WS::Done},         {"readonly", WS::ReadOnly}, {"outofrange", WS::OutOfRange},
    {"demoted", WS::Demoted},   {"portdown", WS::PortDown}, {"failed", WS::Failed},
    {"stopped", WS::Stopped},   {"hang", WS::Done},
};

const std::map<std::string, tags::StationStatus::State> kStates = {
    {"good", tags::StationStatus::State::Good},
    {"demoted", tags::StationStatus::State::Demoted},
    {"portdown", tags::StationStatus::State::PortDown},
};

int Usage() {
    std::fprintf(stderr,
                 "usage: opcua_host --config FILE --state-dir DIR [--line NAME] [--tags N] "
                 "[--write-timeout MS]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--add-user") return opcua::AddUserCommand(argv[2], argv[3], argv[4]);
    std::string configPath, stateDir, line = "plant";
    size_t extra = 0;
    long writeTimeout = 3000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return Usage();
        const std::string value = argv[++i];
        if (arg == "--config") configPath = value;
        else if (arg == "--state-dir") stateDir = value;
        else if (arg == "--line") line = value;
        else if (arg == "--tags") extra = std::stoul(value);
        else if (arg == "--write-timeout") writeTimeout = std::stol(value);
        else return Usage();
    }
    if (configPath.empty() || stateDir.empty()) return Usage();

    opcua::Options options;
    {
        toml::table file;
        try {
            file = toml::parse_file(configPath);
        } catch (const toml::parse_error& e) {
            std::fprintf(stderr, "%s:%u: %s\n", configPath.c_str(), e.source().begin.line,
                         std::string(e.description()).c_str());
            return 2;
        }
        toml::table empty;
        const toml::table* section = file["opcua"].as_table();
        std::vector<opcua::ConfigError> errors;
        const std::string dir = std::filesystem::path(configPath).parent_path().string();
        options.config = opcua::ParseConfig(section ? *section : empty, {dir, stateDir}, errors);
        for (const auto& e : errors) std::fprintf(stderr, "%s:%d: %s\n", configPath.c_str(), e.line, e.reason.c_str());
        if (!errors.empty()) return 2;
    }
    options.writeTimeout = options.bitWriteTimeout = std::chrono::milliseconds(writeTimeout);
    options.hostName = "localhost";

    opcua_test::FakeEngine engine(line, opcua_test::DemoTags(extra));
    engine.onWrite = [&](const opcua_test::FakeEngine::WriteSeen& w) {
        char value[400];
        const auto end = std::to_chars(value, value + sizeof value, w.value, std::chars_format::fixed).ptr;
        Say("write " + engine.Tags()[w.tag].name + " " + std::string(value, end));
    };
    std::vector<size_t> bulk;
    for (size_t i = 0; i < engine.Tags().size(); ++i)
        if (engine.Tags()[i].name.rfind("bulk/", 0) == 0) bulk.push_back(i);

    opcua::Server server(engine, options);
    std::string error;
    if (!server.Start(error)) {
        std::fprintf(stderr, "opcua_host: %s\n", error.c_str());
        return 1;
    }
    Say("ready");

    std::atomic<long> churnMs{0};
    std::atomic<bool> quit{false};
    std::thread churn([&] {
        double tick = 0;
        while (!quit) {
            const long ms = churnMs;
            if (ms <= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            tick += 1;
            std::vector<std::pair<size_t, double>> values;
            values.reserve(bulk.size());
            for (size_t i = 0; i < bulk.size(); ++i)
                values.emplace_back(bulk[i], static_cast<double>((static_cast<long>(tick) + static_cast<long>(i)) % 60000));
            engine.SetValues(values);
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        }
    });

    for (std::string text; std::getline(std::cin, text);) {
        std::istringstream in(text);
        std::string command, name, arg;
        in >> command >> name;
        const auto tag = engine.Find(name);
        bool ok = true;
        if (command == "set" && tag) {
            std::vector<double> values;
            for (double value = 0; in >> value;) values.push_back(value);
            ok = !values.empty() && in.eof();
            if (ok)
                for (double value : values) engine.SetValue(*tag, value);
        } else if (command == "bad" && tag && (in >> arg) && kCauses.count(arg)) {
            int code = 0;
            in >> code;
            engine.SetBad(*tag, kCauses.at(arg), code);
        } else if (command == "plan" && tag && (in >> arg) && kResults.count(arg)) {
            opcua_test::FakeEngine::WritePlan plan;
            plan.result.status = kResults.at(arg);
            plan.hang = arg == "hang";
            std::string cause;
            if (in >> cause) ok = kCauses.count(cause) != 0;
            if (ok && !cause.empty()) plan.result.cause = kCauses.at(cause);
            plan.result.text = arg;
            engine.PlanWrites(*tag, plan);
        } else if (command == "station" && (in >> arg) && kStates.count(arg)) {
            engine.SetStation(std::atoi(name.c_str()), kStates.at(arg));
        } else if (command == "portdown") {
            engine.SetPortDown(name == "1");
        } else if (command == "churn") {
            churnMs = std::atol(name.c_str());
        } else {
            ok = false;
        }
        Say(ok ? "ok" : "error " + text);
    }
    quit = true;
    churn.join();
    server.Stop();
    return 0;
}
