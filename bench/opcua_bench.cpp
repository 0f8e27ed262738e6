// The OPC UA front-end's figures, printed: a Read of 100 tags while every
// session's monitored items are busy (median, p99), the serving process's
// CPU and resident memory with 10 sessions x 2,000 monitored items sampling
// at 100 ms, and the time from a change in the tag engine to the client's
// notification (median, p99).
//
// Two ways: on the fake tag engine of the tests, served in a child process
// (no line: what is measured is the front-end and the server library), its
// values changing as a busy scan changes them; or on the reference plant
// (--plant), the line server vave8gw scanning p8sim over a pseudo-terminal
// paced at the plant's baud, with the change made in the simulated PLC's
// memory, over security None and Basic256Sha256-SignAndEncrypt (a user with
// the write role). The clients are open62541's.
//   opcua_bench [--sessions N] [--items N] [--seconds S] [--changes-per-s N]
//   opcua_bench --plant bench/plant/plant.toml [--sessions N] [--seconds S]
//               [--period-scale F] [--security none|encrypt|both]
#include <open62541/client.h>
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>
#include <open62541/client_subscriptions.h>
#include <open62541/plugin/pki_default.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>


#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <sstream>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/children.h"
#include "bench/measure.h"
#include "bench/plant.h"
#include "gateway/opcua/pki.h"
#include "gateway/opcua/server.h"
#include "gateway/opcua/users.h"
#include "tests/opcua/fake_engine.h"

namespace {

using Clock = std::chrono::steady_clock;

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
    return {bench::ProcessCpuSeconds(pid), bench::ProcessStatusKb(pid, "VmRSS:")};
}

// Reads of 100 tags at once (every hundredth of `names`), back to back
// with 20 ms between them, until `end`: the time of each; false when one
// failed.
bool ReadsUntil(UA_Client* reader, UA_UInt16 ns, std::vector<std::string>& names, Clock::time_point end,
                std::vector<double>& readMs) {
    std::vector<UA_ReadValueId> ids(100);
    for (size_t i = 0; i < ids.size(); ++i) {
        UA_ReadValueId_init(&ids[i]);
        ids[i].nodeId = UA_NODEID_STRING(ns, names[i * (names.size() / 100)].data());
        ids[i].attributeId = UA_ATTRIBUTEID_VALUE;
    }
    bool ok = true;
    while (Clock::now() < end) {
        UA_ReadRequest request;
        UA_ReadRequest_init(&request);
        request.nodesToRead = ids.data();
        request.nodesToReadSize = ids.size();
        request.timestampsToReturn = UA_TIMESTAMPSTORETURN_SOURCE;
        const auto t0 = Clock::now();
        UA_ReadResponse response = UA_Client_Service_read(reader, request);
        readMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (response.responseHeader.serviceResult != UA_STATUSCODE_GOOD || response.resultsSize != 100) ok = false;
        UA_ReadResponse_clear(&response);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ok;
}

// The Read's times, the serving process's CPU and memory over the window,
// and the notifications in it.
void PrintServing(const char* indent, const char* process, const std::vector<double>& readMs,
                  const ProcStat& idle, const ProcStat& before, const ProcStat& after, double elapsed,
                  uint64_t notes) {
    std::printf("%sread of 100 tags: %zu reads, median %.2f ms, p99 %.2f ms (goal p99 <= 10 ms)\n", indent,
                readMs.size(), bench::Percentile(readMs, 50), bench::Percentile(readMs, 99));
    std::printf("%s%s: CPU %.1f %% of one core over %.1f s (goal <= 25 %%), resident %.1f MB "
                "(%.1f MB before the sessions)\n",
                indent, process, 100.0 * (after.cpuS - before.cpuS) / elapsed, elapsed,
                static_cast<double>(after.rssKb) / 1024.0, static_cast<double>(idle.rssKb) / 1024.0);
    std::printf("%snotifications: %.0f/s to all sessions\n", indent, static_cast<double>(notes) / elapsed);
}

// A user with the write role and the client's certificate, for the
// encrypted sessions; none: security None, anonymous.
struct Secure {
    UA_ByteString certificate = UA_BYTESTRING_NULL;
    UA_ByteString key = UA_BYTESTRING_NULL;
    std::string user, password;
};
constexpr const char* kBenchUri = "urn:vave8:opcua-bench";

UA_Client* Connect(const std::string& url, const Secure* secure = nullptr) {
    UA_Client* client = UA_Client_new();
    UA_ClientConfig* config = UA_Client_getConfig(client);
    UA_ClientConfig_setDefault(config);
    config->logging->log = nullptr;  // the client library's chatter, not figures
    config->timeout = 30000;
    if (secure) {
        UA_ClientConfig_setDefaultEncryption(config, secure->certificate, secure->key, nullptr, 0, nullptr, 0);
        // The server's certificate is made on its first start: taken as it is.
        UA_CertificateVerification& cv = config->certificateVerification;
        if (cv.clear) cv.clear(&cv);
        UA_CertificateVerification_AcceptAll(&cv);
        config->logging->log = nullptr;
        config->securityMode = UA_MESSAGESECURITYMODE_SIGNANDENCRYPT;
        UA_String_clear(&config->securityPolicyUri);
        config->securityPolicyUri = UA_STRING_ALLOC("http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256");
        UA_String_clear(&config->clientDescription.applicationUri);
        config->clientDescription.applicationUri = UA_STRING_ALLOC(kBenchUri);
        UA_ClientConfig_setAuthenticationUsername(config, secure->user.c_str(), secure->password.c_str());
    }
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

bool Subscribe(UA_Client* client, UA_UInt16 ns, std::vector<std::string> names,
               UA_Client_DataChangeNotificationCallback callback);

bool Subscribe(UA_Client* client, UA_UInt16 ns, size_t first, size_t items) {
    std::vector<std::string> names(items);
    for (size_t i = 0; i < items; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "bulk/t%04zu", first + i);
        names[i] = name;
    }
    return Subscribe(client, ns, std::move(names), OnChange);
}

// Each item's context is its index in `names`.
bool Subscribe(UA_Client* client, UA_UInt16 ns, std::vector<std::string> names,
               UA_Client_DataChangeNotificationCallback callback) {
    const size_t items = names.size();
    UA_CreateSubscriptionRequest sub = UA_CreateSubscriptionRequest_default();
    sub.requestedPublishingInterval = 100;
    const UA_CreateSubscriptionResponse subResponse = UA_Client_Subscriptions_create(client, sub, nullptr, nullptr, nullptr);
    if (subResponse.responseHeader.serviceResult != UA_STATUSCODE_GOOD) return false;
    std::vector<UA_MonitoredItemCreateRequest> requests(items);
    std::vector<UA_Client_DataChangeNotificationCallback> callbacks(items, callback);
    std::vector<UA_Client_DeleteMonitoredItemCallback> deletes(items, nullptr);
    std::vector<void*> contexts(items, nullptr);
    for (size_t i = 0; i < items; ++i) {
        contexts[i] = reinterpret_cast<void*>(i);
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


std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// A 16-bit word of data memory read as the PLC holds it (no scale, offset
// or deadband): a value written into p8sim comes back unchanged.
bool PlainWord(const tags::Tag& t) {
    return t.memoryType == '4' && !t.scaled && t.deadband == 0 &&
           (t.type == tags::Type::UInt16 || t.type == tags::Type::Int16);
}

using Control = bench::SimControl;

struct Expected {
    size_t tag;
    UA_Int64 value;  // unique over the run
    UA_DateTime at;
    uint64_t sessions;  // a bit for each session that has seen it
};

std::mutex plantMutex;
std::vector<Expected> expected;  // the changes made
std::vector<double> plantTotalMs, plantServerMs, plantShare;  // change -> notification, every session
const std::vector<tags::Tag>* plantTags = nullptr;
std::vector<UA_Client*> plantSessions;  // at most 64

void OnPlantChange(UA_Client* client, UA_UInt32, void*, UA_UInt32, void* context, UA_DataValue* value) {
    notifications++;
    // The first notification of each change in each session: a status
    // change with the same value (a scan overdue) comes again later.
    if (!measuring || !value->hasValue || !UA_Variant_isScalar(&value->value)) return;
    const size_t tag = reinterpret_cast<size_t>(context);
    UA_Int64 v = 0;
    if (value->value.type == &UA_TYPES[UA_TYPES_UINT16]) v = *static_cast<UA_UInt16*>(value->value.data);
    else if (value->value.type == &UA_TYPES[UA_TYPES_INT16]) v = *static_cast<UA_Int16*>(value->value.data);
    else return;
    const UA_DateTime now = UA_DateTime_now();
    std::lock_guard lock(plantMutex);
    const auto session = std::find(plantSessions.begin(), plantSessions.end(), client) - plantSessions.begin();
    for (auto& e : expected) {
        if (e.tag != tag || e.value != v) continue;
        const uint64_t bit = uint64_t{1} << session;
        if (e.sessions & bit) return;
        e.sessions |= bit;
        const double total = static_cast<double>(now - e.at) / UA_DATETIME_MSEC;
        plantTotalMs.push_back(total);
        plantShare.push_back(total / static_cast<double>((*plantTags)[tag].scanMs));
        if (value->hasSourceTimestamp)
            plantServerMs.push_back(static_cast<double>(now - value->sourceTimestamp) / UA_DATETIME_MSEC);
        return;
    }
}

struct PlantOptions {
    std::string toml, vave8gw, p8sim;
    size_t sessions = 10, seconds = 40;
    double periodScale = 0.7;
    bool none = true, encrypt = true;
};

// One run of the measurements against the running line server.
bool MeasurePlant(const PlantOptions& o, const std::string& url, const Secure* secure, pid_t server,
                  const std::vector<tags::Tag>& tags, Control& control) {
    const char* mode = secure ? "Basic256Sha256-SignAndEncrypt, user with the write role" : "None, anonymous";
    UA_Client* reader = Connect(url, secure);
    UA_UInt16 ns = 0;
    UA_String uri = UA_STRING(const_cast<char*>("urn:vave8:plant"));
    if (!reader || UA_Client_NamespaceGetIndex(reader, &uri, &ns) != UA_STATUSCODE_GOOD) {
        std::fprintf(stderr, "opcua_bench: cannot reach the line server (%s)\n", mode);
        if (reader) UA_Client_delete(reader);
        return false;
    }
    std::vector<std::string> names;
    for (const auto& t : tags) names.push_back(t.name);
    const auto idle = Stat(server);
    std::vector<UA_Client*> clients;
    std::atomic<bool> running{true};
    std::vector<std::thread> threads;
    bool ok = true;
    for (size_t s = 0; ok && s < o.sessions; ++s) {
        UA_Client* client = Connect(url, secure);
        if (!client || !Subscribe(client, ns, names, OnPlantChange)) {
            std::fprintf(stderr, "opcua_bench: session %zu could not subscribe (%s)\n", s, mode);
            if (client) UA_Client_delete(client);
            ok = false;
            break;
        }
        clients.push_back(client);
        threads.emplace_back([client, &running] {
            while (running) UA_Client_run_iterate(client, 50);
        });
    }
    {
        std::lock_guard lock(plantMutex);
        plantSessions = clients;
    }
    if (ok) {
        // Every tag scanned once and its first value delivered, before the
        // window opens.
        std::vector<UA_ReadValueId> all(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            UA_ReadValueId_init(&all[i]);
            all[i].nodeId = UA_NODEID_STRING(ns, names[i].data());
            all[i].attributeId = UA_ATTRIBUTEID_VALUE;
        }
        for (const auto until = Clock::now() + std::chrono::seconds(180); Clock::now() < until;) {
            UA_ReadRequest request;
            UA_ReadRequest_init(&request);
            request.nodesToRead = all.data();
            request.nodesToReadSize = all.size();
            UA_ReadResponse response = UA_Client_Service_read(reader, request);
            size_t waiting = response.resultsSize == all.size() ? 0 : all.size();
            for (size_t i = 0; i < response.resultsSize; ++i)
                waiting += response.results[i].status == UA_STATUSCODE_BADWAITINGFORINITIALDATA;
            UA_ReadResponse_clear(&response);
            if (waiting == 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        {
            std::lock_guard lock(plantMutex);
            expected.clear();
            plantTotalMs.clear();
            plantServerMs.clear();
            plantShare.clear();
        }
        measuring = true;
        const auto before = Stat(server);
        const auto start = Clock::now();
        const uint64_t notesBefore = notifications;

        // Changes in the simulated PLC's memory, a few tags every 500 ms,
        // until the longest period before the end, so that each is scanned.
        std::vector<size_t> words;
        for (size_t i = 0; i < tags.size(); ++i)
            if (PlainWord(tags[i])) words.push_back(i);
        double longest = 0;
        for (size_t i : words) longest = std::max(longest, static_cast<double>(tags[i].scanMs));
        // (In a short window, the first half: the wait after it sees them.)
        const auto changesEnd = std::max(start + std::chrono::seconds(o.seconds) / 2,
                                         start + std::chrono::seconds(o.seconds) -
                                             std::chrono::milliseconds(static_cast<long>(longest * 1.5)));
        std::atomic<size_t> made{0};
        std::thread changer([&] {
            static UA_Int64 next = 1000;  // on from the last run: every value new
            static size_t pick = 0;
            for (auto at = Clock::now(); at < changesEnd; at += std::chrono::milliseconds(500)) {
                std::this_thread::sleep_until(at);
                for (int k = 0; k < 4; ++k, pick = (pick + 97) % words.size()) {
                    const tags::Tag& t = tags[words[pick]];
                    const UA_Int64 v = next++ % 30000 + 1000;
                    char line[64];
                    std::snprintf(line, sizeof line, "%d:%04X: %02X %02X", t.station, t.byteAddress,
                                  static_cast<unsigned>(v >> 8) & 0xFF, static_cast<unsigned>(v) & 0xFF);
                    {
                        std::lock_guard lock(plantMutex);
                        expected.push_back({words[pick], v, UA_DateTime_now(), 0});
                    }
                    if (control.Send(line)) made++;
                }
            }
        });

        std::vector<double> readMs;
        ok = ReadsUntil(reader, ns, names, start + std::chrono::seconds(o.seconds), readMs);
        changer.join();
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const auto after = Stat(server);
        // The changes still on their way (a long period's cycle that the
        // busy line has put off), for the latencies alone.
        for (const auto until = Clock::now() + std::chrono::milliseconds(static_cast<long>(longest * 2));
             Clock::now() < until;) {
            {
                std::lock_guard lock(plantMutex);
                if (std::all_of(expected.begin(), expected.end(), [](const Expected& e) { return e.sessions != 0; }))
                    break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        measuring = false;
        std::vector<double> total, serverPart, share;
        size_t unseen = 0;
        {
            std::lock_guard lock(plantMutex);
            total = plantTotalMs;
            serverPart = plantServerMs;
            share = plantShare;
            for (const auto& e : expected) unseen += e.sessions == 0;
        }
        std::printf("\nsecurity %s\n", mode);
        PrintServing("  ", "vave8gw", readMs, idle, before, after, elapsed, notifications - notesBefore);
        std::printf("  change in p8sim memory to notification: %zu changes made, %zu never seen; over %zu "
                    "notifications (every session's) median %.0f ms, p99 %.0f ms; as a share of the tag's scan "
                    "period median %.2f, p99 %.2f; of that, from the scan's source timestamp median %.1f ms, "
                    "p99 %.1f ms\n",
                    made.load(), unseen, total.size(), bench::Percentile(total, 50), bench::Percentile(total, 99),
                    bench::Percentile(share, 50), bench::Percentile(share, 99), bench::Percentile(serverPart, 50),
                    bench::Percentile(serverPart, 99));
    }
    running = false;
    for (auto& t : threads) t.join();
    {
        std::lock_guard lock(plantMutex);
        plantSessions.clear();
    }
    for (UA_Client* c : clients) UA_Client_delete(c);
    UA_Client_delete(reader);
    return ok;
}

int RunPlant(const PlantOptions& o) {
    namespace fs = std::filesystem;
    tags::Config plant;
    std::string error;
    if (!bench::LoadPlant(o.toml, &plant, &error)) {
        std::fprintf(stderr, "opcua_bench: %s\n", error.c_str());
        return 2;
    }
    const fs::path dir = fs::temp_directory_path() / ("opcua_bench_plant_" + std::to_string(getpid()));
    fs::create_directories(dir / "state" / "pki" / "trusted");

    // The plant with its scan periods scaled, so that the line is always
    // busy, and [opcua]; its tags as the line server loads them.
    const int port = bench::FreeLoopbackPort();
    bench::PlantEdit edit;
    edit.period = [&](const std::string& ms) {
        return ms.empty() ? ms : std::to_string(std::lround(std::stod(ms) * o.periodScale));
    };
    edit.lineScanMs = static_cast<uint32_t>(std::lround(plant.line.scanMs * o.periodScale));
    edit.sections.insert("opcua", toml::table{{"listen", "127.0.0.1:" + std::to_string(port)},
                                              {"security", toml::array{"None", "Basic256Sha256-SignAndEncrypt"}},
                                              {"users", "users"},
                                              {"anonymous", "read"}});
    if (!bench::WritePlantConfig(o.toml, dir, edit, &error) ||
        !bench::LoadPlant((dir / "line.toml").string(), &plant, &error)) {
        std::fprintf(stderr, "opcua_bench: %s\n", error.c_str());
        return 2;
    }
    const std::vector<tags::Tag>& tags = plant.tags;
    if (tags.size() < 100) {
        std::fprintf(stderr, "opcua_bench: %s: %zu tags, fewer than 100\n", o.toml.c_str(), tags.size());
        return 2;
    }
    plantTags = &tags;
    const std::string baud = std::to_string(plant.line.connection.line.baud);
    char turnaround[32];
    std::snprintf(turnaround, sizeof turnaround, "%g", plant.line.turnaroundMs);

    // The bench's user and its client certificate, trusted by the server.
    Secure secure;
    secure.user = "bench";
    secure.password = "bench-" + std::to_string(getpid());
    if (!opcua::AddUser((dir / "users").string(), secure.user, opcua::Role::Write, secure.password, error)) {
        std::fprintf(stderr, "opcua_bench: %s\n", error.c_str());
        return 2;
    }
    UA_Logger quiet{};
    opcua::OwnCertificate own;
    if (!opcua::PreparePki((dir / "client").string(), "localhost", kBenchUri, &quiet, own, error)) {
        std::fprintf(stderr, "opcua_bench: %s\n", error.c_str());
        return 2;
    }
    fs::copy_file(dir / "client" / "own" / "cert.der", dir / "state" / "pki" / "trusted" / "bench.der");
    secure.certificate = own.certificate;
    secure.key = own.key;

    bench::Child sim, gateway;
    std::string pty;
    const std::string sock = (dir / "p8sim.sock").string();
    if (!sim.StartSimulator(o.p8sim, {"--pace", baud, "--turnaround", turnaround, "--control", sock}, &pty,
                            &error)) {
        std::fprintf(stderr, "opcua_bench: %s\n", error.c_str());
        return 2;
    }
    const std::string log = (dir / "vave8gw.log").string();
    const std::string config = (dir / "line.toml").string(), state = (dir / "state").string();
    gateway.Fork([&]() -> int {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
        }
        execl(o.vave8gw.c_str(), o.vave8gw.c_str(), "--config", config.c_str(), "--port", pty.c_str(),
              "--state-dir", state.c_str(), static_cast<char*>(nullptr));
        return 127;
    }, &error);
    Control control;
    int rc = 0;
    if (!bench::WaitListening(port, 15.0) || !control.Open(sock)) {
        std::fprintf(stderr, "opcua_bench: the line server did not start; its log:\n%s\n", ReadText(log).c_str());
        rc = 1;
    }
    size_t words = 0;
    for (const auto& t : tags) words += PlainWord(t);
    std::printf("OPC UA front-end of vave8gw on the reference plant %s: %zu tags (all monitored by each session), "
                "p8sim paced at %s baud with a %s ms turnaround, scan periods x%.2f so that the line is nearly "
                "always busy; "
                "%zu sessions x %zu monitored items, sampling and publishing 100 ms, over %zu s; changes made in "
                "4 of the %zu unscaled 16-bit tags every 500 ms\n",
                o.toml.c_str(), tags.size(), baud.c_str(), turnaround, o.periodScale, o.sessions, tags.size(),
                o.seconds, words);
    const std::string url = "opc.tcp://127.0.0.1:" + std::to_string(port);
    if (rc == 0 && o.none && !MeasurePlant(o, url, nullptr, gateway.Pid(), tags, control)) rc = 1;
    if (rc == 0 && o.encrypt && !MeasurePlant(o, url, &secure, gateway.Pid(), tags, control)) rc = 1;
    secure.certificate = secure.key = UA_BYTESTRING_NULL;  // own's
    gateway.Stop();
    sim.Stop();
    if (rc == 0) fs::remove_all(dir);
    else std::fprintf(stderr, "opcua_bench: files kept in %s\n", dir.c_str());
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    size_t sessions = 10, items = 2000, seconds = 10, changesPerS = 2000;
    PlantOptions plant;
    const std::string bin = std::filesystem::path(argv[0]).parent_path().string();
    plant.vave8gw = bin + "/vave8gw";
    plant.p8sim = bin + "/p8sim";
    bool secondsGiven = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i], value = argv[i + 1];
        if (arg == "--plant") plant.toml = value;
        else if (arg == "--vave8gw") plant.vave8gw = value;
        else if (arg == "--p8sim") plant.p8sim = value;
        else if (arg == "--period-scale") plant.periodScale = std::stod(value);
        else if (arg == "--security") {
            plant.none = value != "encrypt";
            plant.encrypt = value != "none";
        } else if (arg == "--sessions") sessions = plant.sessions = std::stoul(value);
        else if (arg == "--items") items = std::stoul(value);
        else if (arg == "--seconds") {
            seconds = plant.seconds = std::stoul(value);
            secondsGiven = true;
        } else if (arg == "--changes-per-s") changesPerS = std::stoul(value);
        else {
            std::fprintf(stderr, "opcua_bench: unknown option %s\n", arg.c_str());
            return 2;
        }
    }
    if (!plant.toml.empty()) {
        if (!secondsGiven) plant.seconds = 60;
        plant.sessions = std::min<size_t>(plant.sessions, 64);
        return RunPlant(plant);
    }
    const size_t tags = std::max<size_t>(items, 100);
    const int port = bench::FreeLoopbackPort();
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
    UA_Client* reader = bench::WaitListening(port, 15.0) ? Connect(url) : nullptr;
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

        std::vector<std::string> names(tags);
        for (size_t i = 0; i < tags; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "bulk/t%04zu", i);
            names[i] = name;
        }
        std::vector<double> readMs;
        if (!ReadsUntil(reader, ns, names, start + std::chrono::seconds(seconds), readMs)) rc = 1;
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const auto after = Stat(child);
        measuring = false;
        std::vector<double> lat;
        {
            std::lock_guard lock(latencyMutex);
            lat = latencies;
        }
        PrintServing("", "server process", readMs, idle, before, after, elapsed, notifications - notesBefore);
        std::printf("change to notification: median %.1f ms, p99 %.1f ms over %zu notifications "
                    "(handed to the monitored items within 10 ms, then the next publish: at most ~110 ms)\n",
                    bench::Percentile(lat, 50), bench::Percentile(lat, 99), lat.size());
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
