// The OPC UA front-end's figures, printed: a Read of 100 tags while every
// session's monitored items are busy (median, p99), the serving process's
// CPU and resident memory with 10 sessions x 2,000 monitored items sampling
// at 100 ms, and the time from a change in the tag engine to the client's
// notification (median, p99).
//
// The server runs in a child process on the fake tag engine of the tests
// (no line: what is measured is the front-end and the server library), its
// values changing as a busy scan changes them; the clients are open62541's.
//   opcua_bench [--sessions N] [--items N] [--seconds S] [--changes-per-s N]
#include <open62541/client.h>
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>
#include <open62541/client_subscriptions.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/opcua/server.h"
#include "tests/opcua/fake_engine.h"

namespace {

using Clock = std::chrono::steady_clock;

bool Listening(int port) {
    for (int attempt = 0; attempt < 300; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        const bool up = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (up) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// The serving child: the front-end on the fake engine, `changesPerS` tag
// changes a second spread over 100 ms steps, each stamped with its time.
[[noreturn]] void Serve(int port, size_t tags, size_t changesPerS, const std::string& state) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the benchmark
    opcua::Options options;
    options.config.port = static_cast<uint16_t>(port);
    options.config.security = {opcua::Security::None};
    options.config.anonymous = true;
    options.config.pki = state + "/pki";
    options.hostName = "localhost";
    options.log = [](const std::string&) {};
    opcua_test::FakeEngine engine("plant", opcua_test::DemoTags(tags));
    opcua::Server server(engine, options);
    std::string error;
    if (!server.Start(error)) {
        std::fprintf(stderr, "opcua_bench: %s\n", error.c_str());
        _exit(1);
    }
    const size_t first = engine.Tags().size() - tags, perStep = std::max<size_t>(1, changesPerS / 10);
    size_t next = 0;
    double tick = 0;
    for (auto at = Clock::now();; at += std::chrono::milliseconds(100)) {
        std::this_thread::sleep_until(at);
        tick += 1;
        std::vector<std::pair<size_t, double>> values;
        for (size_t i = 0; i < perStep; ++i, next = (next + 1) % tags) values.emplace_back(first + next, tick);
        engine.SetValues(values);
    }
}

struct ProcStat {
    double cpuS = 0;
    long rssKb = 0;
};

ProcStat Stat(pid_t pid) {
    ProcStat out;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const auto close = text.rfind(')');
    std::vector<std::string> fields;
    std::string field;
    for (size_t i = close + 2; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += text[i];
        }
    }
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    if (fields.size() > 13) out.cpuS = (std::stod(fields[11]) + std::stod(fields[12])) / ticks;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) out.rssKb = std::stol(line.substr(6));
    return out;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

UA_Client* Connect(const std::string& url) {
    UA_Client* client = UA_Client_new();
    UA_ClientConfig* config = UA_Client_getConfig(client);
    UA_ClientConfig_setDefault(config);
    config->logging->log = nullptr;  // the client library's chatter, not figures
    config->timeout = 30000;
    if (UA_Client_connect(client, url.c_str()) == UA_STATUSCODE_GOOD) return client;
    UA_Client_delete(client);
    return nullptr;
}

std::mutex latencyMutex;
std::vector<double> latencies;
std::atomic<bool> measuring{false};
std::atomic<uint64_t> notifications{0};

void OnChange(UA_Client*, UA_UInt32, void*, UA_UInt32, void*, UA_DataValue* value) {
    notifications++;
    if (!measuring || !value->hasSourceTimestamp) return;
    const double ms = static_cast<double>(UA_DateTime_now() - value->sourceTimestamp) / UA_DATETIME_MSEC;
    std::lock_guard lock(latencyMutex);
    latencies.push_back(ms);
}

bool Subscribe(UA_Client* client, UA_UInt16 ns, size_t first, size_t items) {
    UA_CreateSubscriptionRequest sub = UA_CreateSubscriptionRequest_default();
    sub.requestedPublishingInterval = 100;
    const UA_CreateSubscriptionResponse subResponse = UA_Client_Subscriptions_create(client, sub, nullptr, nullptr, nullptr);
    if (subResponse.responseHeader.serviceResult != UA_STATUSCODE_GOOD) return false;
    std::vector<UA_MonitoredItemCreateRequest> requests(items);
    std::vector<std::string> names(items);
    std::vector<UA_Client_DataChangeNotificationCallback> callbacks(items, OnChange);
    std::vector<UA_Client_DeleteMonitoredItemCallback> deletes(items, nullptr);
    std::vector<void*> contexts(items, nullptr);
    for (size_t i = 0; i < items; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "bulk/t%04zu", first + i);
        names[i] = name;
        requests[i] = UA_MonitoredItemCreateRequest_default(UA_NODEID_STRING(ns, names[i].data()));
        requests[i].requestedParameters.samplingInterval = 100;
        requests[i].requestedParameters.queueSize = 1;
    }
    UA_CreateMonitoredItemsRequest request;
    UA_CreateMonitoredItemsRequest_init(&request);
    request.subscriptionId = subResponse.subscriptionId;
    request.timestampsToReturn = UA_TIMESTAMPSTORETURN_BOTH;
    request.itemsToCreate = requests.data();
    request.itemsToCreateSize = items;
    UA_CreateMonitoredItemsResponse response =
        UA_Client_MonitoredItems_createDataChanges(client, request, contexts.data(), callbacks.data(), deletes.data());
    bool ok = response.responseHeader.serviceResult == UA_STATUSCODE_GOOD;
    for (size_t i = 0; ok && i < response.resultsSize; ++i) ok = response.results[i].statusCode == UA_STATUSCODE_GOOD;
    UA_CreateMonitoredItemsResponse_clear(&response);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    size_t sessions = 10, items = 2000, seconds = 10, changesPerS = 2000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        const size_t value = std::stoul(argv[i + 1]);
        if (arg == "--sessions") sessions = value;
        else if (arg == "--items") items = value;
        else if (arg == "--seconds") seconds = value;
        else if (arg == "--changes-per-s") changesPerS = value;
    }
    const size_t tags = std::max<size_t>(items, 100);
    const int port = FreePort();
    const std::string state = std::filesystem::temp_directory_path() / ("opcua_bench_" + std::to_string(getpid()));
    const pid_t child = fork();
    if (child == 0) Serve(port, tags, changesPerS, state);
    const std::string url = "opc.tcp://127.0.0.1:" + std::to_string(port);
    std::printf("OPC UA front-end on the fake tag engine: %zu tags, %zu changes/s; %zu sessions x %zu monitored "
                "items, sampling and publishing 100 ms; security None, anonymous\n",
                tags, changesPerS, sessions, items);

    int rc = 0;
    std::vector<UA_Client*> clients;
    std::atomic<bool> running{true};
    std::vector<std::thread> threads;
    UA_Client* reader = Listening(port) ? Connect(url) : nullptr;
    UA_UInt16 ns = 0;
    UA_String uri = UA_STRING(const_cast<char*>("urn:vave8:plant"));
    if (!reader || UA_Client_NamespaceGetIndex(reader, &uri, &ns) != UA_STATUSCODE_GOOD) {
        std::fprintf(stderr, "opcua_bench: cannot reach the server\n");
        rc = 1;
    }
    const auto idle = Stat(child);
    for (size_t s = 0; rc == 0 && s < sessions; ++s) {
        UA_Client* client = Connect(url);
        if (!client || !Subscribe(client, ns, 0, items)) {
            std::fprintf(stderr, "opcua_bench: session %zu could not subscribe\n", s);
            rc = 1;
            break;
        }
        clients.push_back(client);
        threads.emplace_back([client, &running] {
            while (running) UA_Client_run_iterate(client, 50);
        });
    }
    if (rc == 0) {
        std::this_thread::sleep_for(std::chrono::seconds(3));  // initial values delivered
        measuring = true;
        const auto before = Stat(child);
        const auto start = Clock::now();
        const uint64_t notesBefore = notifications;

        // Reads of 100 tags at once, back to back, through the whole window.
        std::vector<UA_ReadValueId> ids(100);
        std::vector<std::string> names(100);
        for (size_t i = 0; i < ids.size(); ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "bulk/t%04zu", i * (tags / 100));
            names[i] = name;
            UA_ReadValueId_init(&ids[i]);
            ids[i].nodeId = UA_NODEID_STRING(ns, names[i].data());
            ids[i].attributeId = UA_ATTRIBUTEID_VALUE;
        }
        std::vector<double> readMs;
        while (Clock::now() - start < std::chrono::seconds(seconds)) {
            UA_ReadRequest request;
            UA_ReadRequest_init(&request);
            request.nodesToRead = ids.data();
            request.nodesToReadSize = ids.size();
            request.timestampsToReturn = UA_TIMESTAMPSTORETURN_SOURCE;
            const auto t0 = Clock::now();
            UA_ReadResponse response = UA_Client_Service_read(reader, request);
            readMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            if (response.responseHeader.serviceResult != UA_STATUSCODE_GOOD || response.resultsSize != 100) rc = 1;
            UA_ReadResponse_clear(&response);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const auto after = Stat(child);
        measuring = false;
        std::vector<double> lat;
        {
            std::lock_guard lock(latencyMutex);
            lat = latencies;
        }
        std::printf("read of 100 tags: %zu reads, median %.2f ms, p99 %.2f ms (goal p99 <= 10 ms)\n", readMs.size(),
                    Percentile(readMs, 0.5), Percentile(readMs, 0.99));
        std::printf("server process: CPU %.1f %% of one core over %.1f s (goal <= 25 %%), resident %.1f MB "
                    "(%.1f MB before the sessions)\n",
                    100.0 * (after.cpuS - before.cpuS) / elapsed, elapsed, static_cast<double>(after.rssKb) / 1024.0,
                    static_cast<double>(idle.rssKb) / 1024.0);
        std::printf("notifications: %.0f/s to all sessions\n",
                    static_cast<double>(notifications - notesBefore) / elapsed);
        std::printf("change to notification: median %.1f ms, p99 %.1f ms over %zu notifications "
                    "(handed to the monitored items within 10 ms, then the next publish: at most ~110 ms)\n",
                    Percentile(lat, 0.5), Percentile(lat, 0.99), lat.size());
    }
    running = false;
    for (auto& t : threads) t.join();
    for (UA_Client* c : clients) UA_Client_delete(c);
    if (reader) UA_Client_delete(reader);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    std::filesystem::remove_all(state);
    return rc;
}
