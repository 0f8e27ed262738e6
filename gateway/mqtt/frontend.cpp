#include "gateway/mqtt/frontend.h"

#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>

#include "gateway/mqtt/buffer.h"
#include "gateway/mqtt/json.h"
#include "gateway/mqtt/sparkplug.h"

namespace mqtt {
namespace {

using Clock = std::chrono::steady_clock;

int64_t Millis(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}
int64_t NowMs() { return Millis(std::chrono::system_clock::now()); }

// Beyond a station's slowest scan period, for a line that overruns.
constexpr std::chrono::milliseconds kBirthMargin(2000);

// What may wait for the broker's acknowledgement. Sent live: groups of
// changes (a station's scan cycle each) and their rows, kept in memory and
// queued again in libmosquitto's. A broker that takes them slower than they
// come gets the rest through the disk buffer, so memory stays bounded on a
// slow link and the buffer's limit applies. The group count is no tighter
// than a checkpoint's round trip needs at a fast line's rate (a smaller one
// sent to the disk what a broker on loopback would have taken). From the
// buffer: groups of up to 512 rows.
constexpr size_t kLiveChunksAhead = 64;
constexpr size_t kLiveRowsAhead = 20000;
constexpr size_t kReplayChunksAhead = 8;

std::string StationName(int station) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "station%02d", station);
    return buf;
}

bool Alive(const tags::LineStatus& line, const tags::StationStatus& s) {
    return !line.portDown && s.state != tags::StationStatus::State::Demoted &&
           s.state != tags::StationStatus::State::PortDown;
}

}  // namespace

struct FrontEnd::Impl {
    struct Event {
        enum Kind { Changes, Connected, Disconnected, Message, Published, WriteDone, Stop } kind;
        explicit Event(Kind k) : kind(k) {}
        uint64_t gen = 0;
        int rc = 0;
        int bdSeq = 0;
        std::vector<tags::Change> changes;
        std::string topic, payload;
        bool retain = false;
        size_t tag = 0;
        double value = 0;
        bool fromJson = false;
        tags::WriteResult result;
    };

    // A group of messages whose changes leave the buffer (or, sent live,
    // stop being at risk) when the broker has acknowledged all of them.
    struct Chunk {
        uint64_t serial = 0;
        int pending = 0;
        std::optional<int64_t> lastRowId;  // from the buffer: remove up to here
        std::vector<Record> live;  // sent live: back to the buffer if lost
    };

    struct ClientContext {
        Impl* impl;
        uint64_t gen;
        int bdSeq;  // in this client's Will
    };

    Impl(tags::Engine& e, Config c, Log l, std::chrono::milliseconds nodeData)
        : engine(e), config(std::move(c)), log(std::move(l)), nodeDataPeriod(nodeData) {
        if (!log) log = [](const std::string& line) { std::fprintf(stderr, "vave8gw: mqtt: %s\n", line.c_str()); };
        const auto& tagList = engine.Tags();
        byStation.resize(16);
        for (size_t i = 0; i < tagList.size(); ++i) {
            int s = tagList[i].station;
            if (s < 0 || s >= 16) continue;
            byStation[static_cast<size_t>(s)].push_back(i);
            slowestScan[static_cast<size_t>(s)] =
                std::max(slowestScan[static_cast<size_t>(s)], std::chrono::milliseconds(tagList[i].scanMs));
        }
        if (config.sparkplug) {
            auto& sp = *config.sparkplug;
            if (sp.checkpointTopic.empty()) sp.checkpointTopic = "vave8/" + engine.LineName() + "/_checkpoint";
            spPrefix = "spBv1.0/" + sp.groupId + "/";
            if (!sp.primaryHostId.empty()) stateTopic = "spBv1.0/STATE/" + sp.primaryHostId;
        }
        broker = config.host + ":" + std::to_string(config.port);
        if (config.json) {
            // A tag whose value topic is another's set topic would write
            // itself into that tag: such a set topic is left out.
            for (const auto& t : tagList) {
                if (engine.Find(t.name + "/set") || engine.Find(t.name + "/set/result")) {
                    log("tag " + t.name + ": no JSON set topic, another tag's value is published there");
                    continue;
                }
                setTopics.push_back(config.json->prefix + "/" + t.name + "/set");
            }
        }
    }

    tags::Engine& engine;
    Config config;
    Log log;
    std::chrono::milliseconds nodeDataPeriod;
    std::string broker;
    std::vector<std::vector<size_t>> byStation;
    std::array<std::chrono::milliseconds, 16> slowestScan{};  // of each station's tags
    std::string spPrefix, stateTopic;
    std::vector<std::string> setTopics;

    // --- shared between the threads ---
    std::mutex queueMutex;
    std::condition_variable queueCv;
    std::deque<Event> events;

    std::mutex clientMutex;  // guards client and clientGen
    mosquitto* client = nullptr;
    uint64_t clientGen = 0;
    std::unique_ptr<ClientContext> clientContext;
    int nextBdSeq = 0;  // the network thread's: for the client being made
    bool gotConnack = false;  // the network thread's: this client had an answer

    std::atomic<bool> netStop{false};
    std::atomic<bool> stopping{false};  // no new connection: the front-end is stopping
    std::mutex netMutex;
    std::condition_variable netCv;
    std::thread net, worker;
    int subscription = -1;
    bool started = false;

    std::atomic<bool> statConnected{false}, statOnline{false};
    std::atomic<uint64_t> statSent{0}, statBuffered{0}, statDropped{0}, statReplayed{0}, statReconnects{0};

    // --- the worker's own ---
    DiskBuffer buffer;
    std::unique_ptr<JsonReader> json;
    uint64_t gen = 0;  // the connection the worker speaks on
    int bdSeq = 0;     // and its bdSeq
    bool connected = false;
    bool hostOnline = false;
    int64_t hostStateTs = -1;
    bool born = false;
    bool jsonSnapshotPending = false;
    uint64_t seq = 0;
    std::array<int, 16> stationAlive{};  // -1 unknown, 0 dead, 1 alive
    std::array<bool, 16> deviceBorn{};
    // A station that answers again is born once each of its tags has been
    // read again, or at this time with what it has.
    std::array<std::optional<Clock::time_point>, 16> birthDue{};
    std::deque<Chunk> inflight;
    uint64_t nextSerial = 1;
    std::unordered_map<int, uint64_t> midChunk;
    uint64_t uncheckpointed = 0;  // the last chunk that still needs a checkpoint, 0: none
    int64_t replayCursor = DiskBuffer::kBeforeAll;
    // Rows from these ids on went to the buffer while online, behind a slow
    // broker: current values, not history. For JSON since the connection
    // came online; for Sparkplug since the last births, so that a rebirth
    // makes what still waits history.
    static constexpr int64_t kNoCurrent = INT64_MAX;
    int64_t jsonCurrentFrom = kNoCurrent;
    int64_t spbCurrentFrom = kNoCurrent;
    uint64_t slowBrokerSpells = 0;
    Clock::time_point slowBrokerLogged = Clock::now() - std::chrono::hours(1);
    uint64_t skipped = 0;
    int lastRefusal = 0;
    Clock::time_point lastPoll{};
    std::vector<spb::Metric> nodeMetrics;  // as last sent
    Clock::time_point lastNodeData{};

    void Push(Event e) {
        {
            std::lock_guard lock(queueMutex);
            events.push_back(std::move(e));
        }
        queueCv.notify_one();
    }

    // ---------------------------------------------------------------- state
    std::string StatePath(const char* name) const {
        return (std::filesystem::path(config.stateDir) / name).string();
    }

    // bdSeq goes up by one with every connection attempt, across restarts.
    int NextBdSeq() {
        std::string path = StatePath("sparkplug-bdseq");
        int last = -1;
        {
            std::ifstream in(path);
            if (!(in >> last) || last < 0 || last > 255) last = -1;
        }
        int next = (last + 1) % 256;
        std::string tmp = path + ".tmp";
        FILE* f = std::fopen(tmp.c_str(), "w");
        if (f) {
            std::fprintf(f, "%d\n", next);
            std::fflush(f);
            fsync(fileno(f));
            std::fclose(f);
            std::error_code ec;
            std::filesystem::rename(tmp, path, ec);
            if (ec) log("cannot keep bdSeq in " + path + ": " + ec.message());
        } else {
            log("cannot keep bdSeq in " + path);
        }
        return next;
    }

    // ------------------------------------------------------------- network
    static void OnConnect(mosquitto*, void* obj, int rc) {
        auto* c = static_cast<ClientContext*>(obj);
        c->impl->gotConnack = true;
        Event e(Event::Connected);
        e.gen = c->gen;
        e.rc = rc;
        e.bdSeq = c->bdSeq;
        c->impl->Push(std::move(e));
    }
    static void OnDisconnect(mosquitto*, void* obj, int rc) {
        auto* c = static_cast<ClientContext*>(obj);
        Event e(Event::Disconnected);
        e.gen = c->gen;
        e.rc = rc;
        c->impl->Push(std::move(e));
    }
    static void OnPublish(mosquitto*, void* obj, int mid) {
        auto* c = static_cast<ClientContext*>(obj);
        Event e(Event::Published);
        e.gen = c->gen;
        e.rc = mid;
        c->impl->Push(std::move(e));
    }
    static void OnMessage(mosquitto*, void* obj, const mosquitto_message* m) {
        auto* c = static_cast<ClientContext*>(obj);
        Event e(Event::Message);
        e.gen = c->gen;
        e.topic = m->topic ? m->topic : "";
        if (m->payloadlen > 0) e.payload.assign(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen));
        e.retain = m->retain;
        c->impl->Push(std::move(e));
    }

    std::vector<uint8_t> NodeDeath(int seqNo) const {
        spb::Metric m;
        m.name = "bdSeq";
        m.timestampMs = static_cast<uint64_t>(NowMs());
        m.datatype = spb::Int64;
        m.value = static_cast<uint64_t>(seqNo);
        return spb::Encode(static_cast<uint64_t>(NowMs()), std::nullopt, {m});
    }

    std::string NodeTopic(const char* type) const {
        return spPrefix + type + "/" + config.sparkplug->edgeNodeId;
    }
    std::string DeviceTopic(const char* type, int station) const {
        return NodeTopic(type) + "/" + StationName(station);
    }

    // A new client for every connection: nothing queued for a lost one is
    // sent on the next, and each gets its own Will.
    mosquitto* MakeClient(std::string& error) {
        mosquitto* m = mosquitto_new(config.clientId.c_str(), true, nullptr);
        if (!m) {
            error = "cannot make an MQTT client";
            return nullptr;
        }
        mosquitto_threaded_set(m, true);
        mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        mosquitto_max_inflight_messages_set(m, 0);
        mosquitto_connect_callback_set(m, OnConnect);
        mosquitto_disconnect_callback_set(m, OnDisconnect);
        mosquitto_publish_callback_set(m, OnPublish);
        mosquitto_message_callback_set(m, OnMessage);
        int rc = MOSQ_ERR_SUCCESS;
        if (!config.username.empty())
            rc = mosquitto_username_pw_set(m, config.username.c_str(),
                                           config.password.empty() ? nullptr : config.password.c_str());
        if (rc == MOSQ_ERR_SUCCESS && config.tls) {
            rc = mosquitto_tls_set(m, config.caFile.empty() ? nullptr : config.caFile.c_str(),
                                   config.caFile.empty() ? "/etc/ssl/certs" : nullptr,
                                   config.certFile.empty() ? nullptr : config.certFile.c_str(),
                                   config.keyFile.empty() ? nullptr : config.keyFile.c_str(), nullptr);
        }
        if (rc == MOSQ_ERR_SUCCESS && config.sparkplug) {
            int s = NextBdSeq();
            nextBdSeq = s;
            std::vector<uint8_t> death = NodeDeath(s);
            rc = mosquitto_will_set(m, NodeTopic("NDEATH").c_str(), static_cast<int>(death.size()),
                                    death.data(), 1, false);
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            error = std::string("cannot set up the MQTT client: ") + mosquitto_strerror(rc);
            mosquitto_destroy(m);
            return nullptr;
        }
        return m;
    }

    void NetLoop() {
        std::chrono::milliseconds backoff(500);
        std::string lastError;
        bool up = false;
        while (!netStop) {
            if (!up) {
                if (stopping) {
                    Sleep(std::chrono::milliseconds(100));
                    continue;
                }
                std::string error;
                mosquitto* m = MakeClient(error);
                int rc = MOSQ_ERR_SUCCESS;
                if (m) {
                    auto context = std::make_unique<ClientContext>(ClientContext{this, 0, nextBdSeq});
                    {
                        std::lock_guard lock(clientMutex);
                        if (client) mosquitto_destroy(client);
                        client = m;
                        context->gen = ++clientGen;
                        clientContext = std::move(context);
                        mosquitto_user_data_set(m, clientContext.get());
                    }
                    // Asynchronous: a broker far away that does not answer
                    // must not hold up a stop.
                    rc = mosquitto_connect_async(m, config.host.c_str(), config.port, config.keepaliveS);
                    if (rc != MOSQ_ERR_SUCCESS)
                        error = "cannot connect to the broker " + broker + ": " +
                                (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(rc));
                }
                if (!error.empty()) {
                    if (error != lastError) log(error + "; buffering, trying again");
                    lastError = error;
                    Sleep(backoff);
                    backoff = std::min(backoff * 2, std::chrono::milliseconds(5000));
                    continue;
                }
                up = true;
                gotConnack = false;
            }
            int rc = mosquitto_loop(client, 100, 1);
            if (rc != MOSQ_ERR_SUCCESS) {
                up = false;
                // A TLS handshake or a connection that fails before the
                // broker answered: the worker never hears of it.
                if (!gotConnack && !netStop) {
                    std::string error = "cannot connect to the broker " + broker + ": " +
                                        (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(rc));
                    if (error != lastError) log(error + "; buffering, trying again");
                    lastError = error;
                }
                if (!netStop) {
                    statReconnects++;
                    Sleep(backoff);
                    backoff = std::min(backoff * 2, std::chrono::milliseconds(5000));
                }
            } else if (statConnected) {
                backoff = std::chrono::milliseconds(500);
                lastError.clear();
            }
        }
    }

    void Sleep(std::chrono::milliseconds d) {
        std::unique_lock lock(netMutex);
        netCv.wait_for(lock, d, [&] { return netStop.load(); });
    }

    // ------------------------------------------------------------ publish
    // Publishes on the worker's connection only; false when it is gone.
    bool Publish(const std::string& topic, const void* data, size_t size, int qos, bool retain, int* mid) {
        std::lock_guard lock(clientMutex);
        if (!client || clientGen != gen || !connected) return false;
        int rc = mosquitto_publish(client, mid, topic.c_str(), static_cast<int>(size), data, qos, retain);
        if (rc != MOSQ_ERR_SUCCESS) return false;
        statSent++;
        return true;
    }
    bool Publish(const std::string& topic, const std::string& text, int qos, bool retain, int* mid = nullptr) {
        return Publish(topic, text.data(), text.size(), qos, retain, mid);
    }
    bool PublishSpb(const std::string& topic, const std::vector<spb::Metric>& metrics, int qos, int* mid,
                    bool withSeq = true) {
        std::vector<uint8_t> bytes =
            spb::Encode(static_cast<uint64_t>(NowMs()), withSeq ? std::optional<uint64_t>(NextSeq()) : std::nullopt,
                        metrics);
        return Publish(topic, bytes.data(), bytes.size(), qos, false, mid);
    }
    uint64_t NextSeq() {
        uint64_t s = seq;
        seq = (seq + 1) % 256;
        return s;
    }

    bool Online() const { return connected && (stateTopic.empty() || hostOnline); }

    // ---------------------------------------------------------- sparkplug
    std::vector<spb::Metric> NodeMetrics(const tags::LineStatus& line) {
        std::vector<spb::Metric> ms;
        uint64_t now = static_cast<uint64_t>(NowMs());
        uint64_t alias = engine.Tags().size();
        auto add = [&](std::string name, uint32_t type, auto value, bool withAlias = true) {
            spb::Metric m;
            m.name = std::move(name);
            if (withAlias) m.alias = alias++;
            m.timestampMs = now;
            m.datatype = type;
            m.value = value;
            ms.push_back(std::move(m));
        };
        add("bdSeq", spb::Int64, static_cast<uint64_t>(bdSeq), false);
        add("Node Control/Rebirth", spb::Boolean, false);
        add("Line/Name", spb::String, line.name);
        add("Line/Port Down", spb::Boolean, line.portDown);
        for (const auto& s : line.stations) {
            std::string base = "Stations/" + StationName(s.station) + "/";
            add(base + "State", spb::String, std::string(StationStateName(s.state)));
            add(base + "Transactions", spb::UInt64, s.transactions);
            add(base + "Failures", spb::UInt64, s.failures);
        }
        add("MQTT/Buffered", spb::UInt64, static_cast<uint64_t>(buffer.Count()));
        add("MQTT/Dropped", spb::UInt64, static_cast<uint64_t>(buffer.Dropped() + skipped));
        return ms;
    }

    // The line's statistics as they move: what changed, by alias, at most
    // once a period.
    void SendNodeData() {
        if (!born || Clock::now() - lastNodeData < nodeDataPeriod) return;
        lastNodeData = Clock::now();
        std::vector<spb::Metric> now = NodeMetrics(engine.Status());
        if (now.size() != nodeMetrics.size()) return;  // the stations changed: the next birth says so
        std::vector<spb::Metric> changed;
        for (size_t i = 0; i < now.size(); ++i) {
            if (!now[i].alias || now[i].value == nodeMetrics[i].value) continue;
            spb::Metric m = now[i];
            m.name.clear();
            changed.push_back(std::move(m));
        }
        nodeMetrics = std::move(now);
        if (!changed.empty()) PublishSpb(NodeTopic("NDATA"), changed, 0, nullptr);
    }

    void SendDeviceBirth(int station, const std::vector<tags::Sample>& samples) {
        const auto& tagList = engine.Tags();
        std::vector<spb::Metric> ms;
        for (size_t i : byStation[static_cast<size_t>(station)]) {
            const tags::Sample& s = samples[i];
            spb::Metric m = spb::TagMetric(tagList[i], s.value, s.quality, s.cause,
                                           static_cast<uint64_t>(s.sourceTime.time_since_epoch().count() ? Millis(s.sourceTime) : NowMs()));
            m.name = tagList[i].name;
            m.alias = i;
            m.units = tagList[i].units;
            ms.push_back(std::move(m));
        }
        if (PublishSpb(DeviceTopic("DBIRTH", station), ms, 0, nullptr)) deviceBorn[static_cast<size_t>(station)] = true;
    }

    void SendDeviceDeath(int station) {
        deviceBorn[static_cast<size_t>(station)] = false;
        PublishSpb(DeviceTopic("DDEATH", station), {}, 0, nullptr);
    }

    // NBIRTH, then a DBIRTH for every station that answers, all with the
    // connection's bdSeq; seq starts again at 0.
    void SendBirths() {
        spbCurrentFrom = kNoCurrent;  // the births carry the current values
        tags::LineStatus line = engine.Status();
        std::vector<tags::Sample> samples = engine.ReadAll();
        seq = 0;
        deviceBorn.fill(false);
        nodeMetrics = NodeMetrics(line);
        lastNodeData = Clock::now();
        if (!PublishSpb(NodeTopic("NBIRTH"), nodeMetrics, 0, nullptr)) return;
        born = true;
        for (const auto& s : line.stations) {
            if (s.station < 0 || s.station >= 16 || byStation[static_cast<size_t>(s.station)].empty()) continue;
            SetAlive(s.station, Alive(line, s));
            if (Alive(line, s) && !birthDue[static_cast<size_t>(s.station)]) SendDeviceBirth(s.station, samples);
        }
        SendDueBirths();
    }

    // A dead station that answers again has its tags bad until the scan
    // reads them anew: its birth waits for that.
    void SetAlive(int station, bool alive) {
        size_t i = static_cast<size_t>(station);
        if (alive && stationAlive[i] == 0 && config.sparkplug)
            birthDue[i] = Clock::now() + slowestScan[i] + kBirthMargin;
        if (!alive) birthDue[i].reset();
        stationAlive[i] = alive ? 1 : 0;
    }

    static bool ReadAgain(const tags::Sample& s) {
        return s.cause != tags::Cause::Demoted && s.cause != tags::Cause::PortDown &&
               s.cause != tags::Cause::WaitingForInitialData;
    }

    bool BirthsPending() const {
        for (const auto& due : birthDue)
            if (due) return true;
        return false;
    }

    void SendDueBirths() {
        if (!BirthsPending()) return;
        std::vector<tags::Sample> samples = engine.ReadAll();
        auto now = Clock::now();
        for (size_t i = 0; i < 16; ++i) {
            if (!birthDue[i]) continue;
            bool ready = now >= *birthDue[i];
            if (!ready) {
                ready = true;
                for (size_t t : byStation[i]) ready = ready && t < samples.size() && ReadAgain(samples[t]);
            }
            if (!ready) continue;
            birthDue[i].reset();
            if (Online() && born) SendDeviceBirth(static_cast<int>(i), samples);
        }
    }

    // ---------------------------------------------------------------- json
    void PublishStationStatus(int station, const char* state) {
        std::string text = std::string("{\"state\":\"") + state + "\",\"ts\":" + std::to_string(NowMs()) + "}";
        Publish(config.json->prefix + "/_status/" + StationName(station), text, 1, true);
    }

    void PublishJsonSnapshot() {
        const auto& tagList = engine.Tags();
        std::vector<tags::Sample> samples = engine.ReadAll();
        size_t n = std::min(tagList.size(), samples.size());
        for (size_t i = 0; i < n; ++i) {
            const auto& s = samples[i];
            int64_t ts = s.sourceTime.time_since_epoch().count() ? Millis(s.sourceTime) : NowMs();
            Publish(config.json->prefix + "/" + tagList[i].name,
                    JsonText(tagList[i], s.value, s.quality, s.cause, s.errorCode, ts, false), i + 1 == n ? 1 : 0,
                    true);
        }
    }

    // --------------------------------------------------------- data flow
    std::vector<Record> ToRecords(const std::vector<tags::Change>& changes) {
        const auto& tagList = engine.Tags();
        std::vector<Record> rows;
        rows.reserve(changes.size());
        uint64_t batch = buffer.NextBatch();
        for (const auto& c : changes) {
            if (c.tag >= tagList.size()) continue;
            Record r;
            r.batch = batch;
            r.tsMs = c.sample.sourceTime.time_since_epoch().count() ? Millis(c.sample.sourceTime) : NowMs();
            r.tag = tagList[c.tag].name;
            r.value = c.sample.value;
            r.quality = static_cast<uint8_t>(c.sample.quality);
            r.cause = static_cast<uint8_t>(c.sample.cause);
            r.errorCode = c.sample.errorCode;
            rows.push_back(std::move(r));
        }
        return rows;
    }

    // Sends rows as DDATA (one per station and scan cycle) and JSON values,
    // all at QoS 0 but the last JSON value, which goes at QoS 1: the broker
    // reads one connection in order, so its acknowledgement of the last says
    // it has them and everything before, and libmosquitto keeps one message
    // to track instead of thousands. Sparkplug's data must stay at QoS 0:
    // without JSON last, a QoS 1 checkpoint outside its namespace, one after
    // each round of the worker, is what gets acknowledged.
    // False when the connection is gone.
    bool SendChunk(std::vector<Record> rows, bool spbHistorical, bool jsonHistorical,
                   std::optional<int64_t> lastRowId) {
        Chunk chunk;
        chunk.serial = nextSerial++;
        chunk.lastRowId = lastRowId;
        const auto& tagList = engine.Tags();
        // Rows name their tags (the tag file may have changed since they
        // were buffered): look each up once.
        std::vector<std::optional<size_t>> index(rows.size());
        for (size_t k = 0; k < rows.size(); ++k) {
            index[k] = engine.Find(rows[k].tag);
            if (!index[k]) ++skipped;
        }
        struct Message {
            std::string topic;
            std::vector<spb::Metric> metrics;  // Sparkplug, encoded when sent (seq)
            std::string text;                  // JSON
            bool retain = false;
        };
        std::vector<Message> out;
        if (config.sparkplug && born) {
            size_t i = 0;
            while (i < rows.size()) {
                size_t end = i;
                while (end < rows.size() && rows[end].batch == rows[i].batch) ++end;
                std::map<int, std::vector<spb::Metric>> perStation;
                for (size_t k = i; k < end; ++k) {
                    const Record& r = rows[k];
                    if (!index[k]) continue;
                    const tags::Tag& tag = tagList[*index[k]];
                    if (tag.station < 0 || tag.station >= 16 || !deviceBorn[static_cast<size_t>(tag.station)])
                        continue;  // a dead device's changes: its DDEATH said so
                    spb::Metric m = spb::TagMetric(tag, r.value, static_cast<tags::Quality>(r.quality),
                                                   static_cast<tags::Cause>(r.cause), static_cast<uint64_t>(r.tsMs));
                    m.alias = *index[k];
                    m.historical = spbHistorical;
                    perStation[tag.station].push_back(std::move(m));
                }
                for (auto& [station, metrics] : perStation)
                    out.push_back({DeviceTopic("DDATA", station), std::move(metrics), {}, false});
                i = end;
            }
        }
        if (config.json) {
            for (size_t k = 0; k < rows.size(); ++k) {
                const Record& r = rows[k];
                if (!index[k]) continue;
                out.push_back({config.json->prefix + "/" + r.tag, {},
                               JsonText(tagList[*index[k]], r.value, static_cast<tags::Quality>(r.quality),
                                        static_cast<tags::Cause>(r.cause), r.errorCode, r.tsMs, jsonHistorical),
                               true});
            }
        }
        bool ok = true;
        for (size_t k = 0; ok && k < out.size(); ++k) {
            bool last = k + 1 == out.size();
            int mid = 0;
            Message& m = out[k];
            if (m.text.empty()) {
                ok = PublishSpb(m.topic, m.metrics, 0, nullptr);
                if (ok && last) {
                    chunk.pending = 1;
                    uncheckpointed = chunk.serial;
                }
            } else {
                ok = Publish(m.topic, m.text, last ? 1 : 0, m.retain, &mid);
                if (ok && last) {
                    chunk.pending = 1;
                    midChunk[mid] = chunk.serial;
                }
            }
        }
        if (chunk.lastRowId) statReplayed += rows.size();
        else chunk.live = std::move(rows);
        inflight.push_back(std::move(chunk));
        if (!ok) {
            LostConnection();
            return false;
        }
        Settle();
        return true;
    }

    // Drops the acknowledged chunks at the front, in order.
    void Settle() {
        while (!inflight.empty() && inflight.front().pending == 0) {
            if (inflight.front().lastRowId) buffer.Remove(*inflight.front().lastRowId);
            inflight.pop_front();
        }
        if (buffer.Count() == 0) jsonCurrentFrom = spbCurrentFrom = kNoCurrent;
    }

    // What was sent before the acknowledged message is with the broker too.
    void OnAck(int mid) {
        auto it = midChunk.find(mid);
        if (it == midChunk.end()) return;
        uint64_t serial = it->second;
        midChunk.erase(it);
        for (auto& c : inflight) {
            if (c.serial > serial) break;
            c.pending = 0;
        }
        Settle();
    }

    // One checkpoint covers every chunk sent before it.
    void SendCheckpoint() {
        if (!uncheckpointed) return;
        int mid = 0;
        if (Publish(config.sparkplug->checkpointTopic, nullptr, 0, 1, false, &mid)) {
            midChunk[mid] = uncheckpointed;
            uncheckpointed = 0;
        } else if (connected) {
            LostConnection();
        }
    }

    void OnChanges(const std::vector<tags::Change>& changes) {
        const auto& tagList = engine.Tags();
        bool stationsMayHaveChanged = false;
        for (const auto& c : changes) {
            if (c.tag >= tagList.size()) continue;
            int s = tagList[c.tag].station;
            bool dead = c.sample.cause == tags::Cause::Demoted || c.sample.cause == tags::Cause::PortDown;
            if (s >= 0 && s < 16 && (dead || stationAlive[static_cast<size_t>(s)] != 1)) stationsMayHaveChanged = true;
        }
        if (stationsMayHaveChanged) PollStations();
        std::vector<Record> rows = ToRecords(changes);
        if (rows.empty()) return;
        const bool live = Online() && (born || !config.sparkplug);
        size_t fromBuffer = 0, liveRows = 0;
        for (const auto& c : inflight) {
            fromBuffer += c.lastRowId.has_value();
            liveRows += c.live.size();
        }
        // One chunk always goes, however large: a cycle of every tag.
        const bool room = inflight.empty() || (inflight.size() < kLiveChunksAhead && liveRows + rows.size() <= kLiveRowsAhead);
        if (live && buffer.Count() == 0 && fromBuffer == 0 && room) {
            SendChunk(std::move(rows), false, false, std::nullopt);
            return;
        }
        buffer.Append(rows);
        if (!live) return;
        if (spbCurrentFrom == kNoCurrent) spbCurrentFrom = rows.front().id;
        if (jsonCurrentFrom == kNoCurrent) {
            jsonCurrentFrom = rows.front().id;
            ++slowBrokerSpells;
            if (Clock::now() - slowBrokerLogged >= std::chrono::minutes(1)) {
                slowBrokerLogged = Clock::now();
                log("the broker " + broker + " takes changes slower than they come; buffering (" +
                    std::to_string(slowBrokerSpells) + (slowBrokerSpells == 1 ? " time)" : " times)"));
            }
        }
    }

    // Sends buffered changes, oldest first, a few chunks ahead of the
    // broker's acknowledgements.
    void Replay() {
        if (!Online() || (config.sparkplug && !born)) return;
        while (inflight.size() < kReplayChunksAhead) {
            std::vector<Record> rows = buffer.Peek(replayCursor, 512);
            if (rows.empty()) break;
            // History and current values in chunks of their own.
            auto kind = [&](const Record& r) { return std::pair(r.id < spbCurrentFrom, r.id < jsonCurrentFrom); };
            const auto [spbHistory, jsonHistory] = kind(rows.front());
            // A device not born yet would lose its history, which waits for
            // the birth; its current values the birth itself carries.
            if (spbHistory && config.sparkplug && BirthsPending()) break;
            rows.erase(std::find_if(rows.begin(), rows.end(),
                                    [&](const Record& r) { return kind(r) != std::pair(spbHistory, jsonHistory); }),
                       rows.end());
            replayCursor = rows.back().id;
            int64_t last = rows.back().id;
            if (!SendChunk(std::move(rows), spbHistory, jsonHistory, last)) return;
        }
        if (jsonSnapshotPending && buffer.Count() == 0 && inflight.empty()) {
            jsonSnapshotPending = false;
            PublishJsonSnapshot();
        }
    }

    void PollStations() {
        lastPoll = Clock::now();
        tags::LineStatus line = engine.Status();
        std::vector<tags::Sample> samples;
        for (const auto& s : line.stations) {
            if (s.station < 0 || s.station >= 16 || byStation[static_cast<size_t>(s.station)].empty()) continue;
            size_t i = static_cast<size_t>(s.station);
            int alive = Alive(line, s) ? 1 : 0;
            if (alive == stationAlive[i]) continue;
            bool returned = alive && stationAlive[i] == 0;
            SetAlive(s.station, alive);
            if (Online() && config.json) PublishStationStatus(s.station, line.portDown ? "port_down" : StationStateName(s.state));
            if (Online() && config.sparkplug && born) {
                if (alive && !returned) {
                    if (samples.empty()) samples = engine.ReadAll();
                    SendDeviceBirth(s.station, samples);
                } else if (!alive && deviceBorn[i]) {
                    SendDeviceDeath(s.station);
                }
            }
        }
        SendDueBirths();
    }

    void GoOnline() {
        jsonCurrentFrom = spbCurrentFrom = kNoCurrent;  // what is buffered now is history
        if (config.sparkplug) SendBirths();
        if (config.json) {
            tags::LineStatus line = engine.Status();
            for (const auto& s : line.stations)
                if (s.station >= 0 && s.station < 16 && !byStation[static_cast<size_t>(s.station)].empty())
                    PublishStationStatus(s.station, line.portDown ? "port_down" : StationStateName(s.state));
            // The current values are retained last, after any history.
            jsonSnapshotPending = true;
        }
        replayCursor = DiskBuffer::kBeforeAll;
        Replay();
    }

    // Whatever was sent live and not acknowledged goes back to the buffer,
    // ahead of what it holds: it is older than anything there.
    void LostConnection() {
        std::vector<Record> back;
        for (auto& c : inflight)
            for (auto& r : c.live) back.push_back(std::move(r));
        inflight.clear();
        midChunk.clear();
        uncheckpointed = 0;
        if (!back.empty()) buffer.Prepend(back);
        if (connected && !finishing) log("lost the broker " + broker + "; buffering");
        connected = born = hostOnline = false;
        deviceBorn.fill(false);
        replayCursor = DiskBuffer::kBeforeAll;
        statConnected = statOnline = false;
    }

    void Subscribe() {
        std::vector<std::string> topics;
        if (config.sparkplug) {
            topics.push_back(NodeTopic("NCMD"));
            topics.push_back(NodeTopic("DCMD") + "/+");
            if (!stateTopic.empty()) topics.push_back(stateTopic);
        }
        topics.insert(topics.end(), setTopics.begin(), setTopics.end());
        std::lock_guard lock(clientMutex);
        if (!client || clientGen != gen) return;
        for (size_t i = 0; i < topics.size(); i += 100) {
            std::vector<char*> list;
            for (size_t k = i; k < topics.size() && k < i + 100; ++k) list.push_back(topics[k].data());
            mosquitto_subscribe_multiple(client, nullptr, static_cast<int>(list.size()), list.data(), 1, 0, nullptr);
        }
    }

    void OnConnected(const Event& e) {
        if (e.rc != 0) {
            if (e.rc != lastRefusal)
                log("the broker " + broker + " refused the connection: " + mosquitto_connack_string(e.rc) +
                    "; buffering, trying again");
            lastRefusal = e.rc;
            return;
        }
        lastRefusal = 0;
        gen = e.gen;
        bdSeq = e.bdSeq;
        connected = true;
        hostOnline = false;
        hostStateTs = -1;
        statConnected = true;
        log("connected to the broker " + broker + (buffer.Count() ? ", " + std::to_string(buffer.Count()) + " changes to send" : std::string()));
        Subscribe();
        if (Online()) GoOnline();
        else log("waiting for the primary host " + config.sparkplug->primaryHostId + " to be online");
    }

    // -------------------------------------------------------- commands in
    void OnMessage(const Event& e) {
        if (config.sparkplug && !stateTopic.empty() && e.topic == stateTopic) return OnHostState(e);
        if (e.retain) {
            log("ignored a retained command on " + e.topic + ": commands are not kept by the broker");
            return;
        }
        if (config.sparkplug && e.topic == NodeTopic("NCMD")) return OnNodeCommand(e);
        if (config.sparkplug && e.topic.rfind(NodeTopic("DCMD") + "/", 0) == 0) return OnDeviceCommand(e);
        if (config.json) {
            const std::string& p = config.json->prefix;
            if (e.topic.size() > p.size() + 5 && e.topic.rfind(p + "/", 0) == 0 &&
                e.topic.compare(e.topic.size() - 4, 4, "/set") == 0)
                return OnJsonSet(e, e.topic.substr(p.size() + 1, e.topic.size() - p.size() - 5));
        }
    }

    void OnHostState(const Event& e) {
        double online = 0, ts = 0;
        std::string type = json->Get(e.payload, "$.online", online);
        if (type != "true" && type != "false") {
            log("ignored a STATE message of " + config.sparkplug->primaryHostId + " that is not {\"online\":...}");
            return;
        }
        std::string tsType = json->Get(e.payload, "$.timestamp", ts);
        int64_t stamp = tsType == "integer" || tsType == "real" ? static_cast<int64_t>(ts) : 0;
        if (stamp < hostStateTs) return;  // an older state than the one we act on
        hostStateTs = stamp;
        bool nowOnline = type == "true";
        if (nowOnline == hostOnline) return;
        hostOnline = nowOnline;
        if (nowOnline) {
            log("the primary host " + config.sparkplug->primaryHostId + " is online");
            if (connected) GoOnline();
        } else {
            // Our session ends with its host: death, disconnect, and a new
            // session (new bdSeq) that waits for the host again.
            log("the primary host " + config.sparkplug->primaryHostId + " went offline; buffering");
            if (born) {
                std::vector<uint8_t> death = NodeDeath(bdSeq);
                Publish(NodeTopic("NDEATH"), death.data(), death.size(), 0, false, nullptr);
            }
            {
                std::lock_guard lock(clientMutex);
                if (client && clientGen == gen) mosquitto_disconnect(client);
            }
            LostConnection();
        }
    }

    void OnNodeCommand(const Event& e) {
        std::vector<spb::Command> commands;
        if (!spb::Decode(e.payload.data(), e.payload.size(), commands)) {
            log("ignored an NCMD that is not a Sparkplug payload");
            return;
        }
        uint64_t rebirthAlias = engine.Tags().size() + 0;  // second node metric, first with an alias
        for (const auto& c : commands) {
            bool rebirth = c.name == "Node Control/Rebirth" || (c.name.empty() && c.alias == rebirthAlias);
            if (!rebirth) {
                log("ignored NCMD metric '" + c.name + "': not a node control this edge node has");
                continue;
            }
            if (c.number.value_or(0) == 0) continue;
            if (Online()) {
                log("rebirth asked for");
                SendBirths();
            }
        }
    }

    void OnDeviceCommand(const Event& e) {
        std::string device = e.topic.substr(NodeTopic("DCMD").size() + 1);
        int station = -1;
        for (int s = 0; s < 16; ++s)
            if (device == StationName(s)) station = s;
        if (station < 0 || byStation[static_cast<size_t>(station)].empty()) {
            log("ignored a DCMD for " + device + ": no such device");
            return;
        }
        std::vector<spb::Command> commands;
        if (!spb::Decode(e.payload.data(), e.payload.size(), commands)) {
            log("ignored a DCMD for " + device + " that is not a Sparkplug payload");
            return;
        }
        const auto& tagList = engine.Tags();
        for (const auto& c : commands) {
            std::optional<size_t> index;
            if (c.alias && *c.alias < tagList.size()) index = static_cast<size_t>(*c.alias);
            else if (!c.name.empty()) index = engine.Find(c.name);
            std::string label = c.name.empty() ? "alias " + std::to_string(c.alias.value_or(0)) : c.name;
            if (!index || tagList[*index].station != station) {
                log("DCMD for " + device + ": no metric " + label);
                continue;
            }
            if (!c.number || !std::isfinite(*c.number)) {
                log("DCMD for " + device + ": " + label + " has no number");
                continue;
            }
            Write(*index, *c.number, false);
        }
    }

    void OnJsonSet(const Event& e, const std::string& name) {
        auto index = engine.Find(name);
        if (!index) return;
        double v = 0;
        std::string type = json->Get(e.payload, "$", v);
        if (type == "object") type = json->Get(e.payload, "$.value", v);
        if (type == "true") v = 1;
        if (type == "false") v = 0;
        if (type != "integer" && type != "real" && type != "true" && type != "false") {
            std::string text = "not a number, true, false or {\"value\": ...}";
            log("set of " + name + " refused: " + text);
            Publish(config.json->prefix + "/" + name + "/set/result",
                    "{\"status\":\"invalid\",\"text\":" + json->Quote(text) + ",\"ts\":" + std::to_string(NowMs()) + "}",
                    1, false);
            return;
        }
        Write(*index, v, true);
    }

    void Write(size_t tag, double value, bool fromJson) {
        engine.Write(tag, value, [this, tag, value, fromJson](const tags::WriteResult& result) {
            Event e(Event::WriteDone);
            e.tag = tag;
            e.value = value;
            e.fromJson = fromJson;
            e.result = result;
            Push(std::move(e));
        });
    }

    void OnWriteDone(const Event& e) {
        const tags::Tag& tag = engine.Tags()[e.tag];
        std::string value;
        AppendNumber(value, e.value);
        bool done = e.result.status == tags::WriteResult::Status::Done;
        if (!done)
            log(std::string(e.fromJson ? "set" : "DCMD") + " of " + tag.name + " to " + value + " " +
                WriteStatusName(e.result.status) + (e.result.text.empty() ? "" : ": " + e.result.text));
        if (!e.fromJson || !config.json) return;
        std::string text = std::string("{\"status\":\"") + WriteStatusName(e.result.status) + "\",\"value\":" + value;
        if (!e.result.text.empty()) text += ",\"text\":" + json->Quote(e.result.text);
        text += ",\"ts\":" + std::to_string(NowMs()) + "}";
        Publish(config.json->prefix + "/" + tag.name + "/set/result", text, 1, false);
    }

    // -------------------------------------------------------------- worker
    void WorkerLoop() {
        json = std::make_unique<JsonReader>();
        stationAlive.fill(-1);
        bool stop = false;
        while (!stop) {
            std::deque<Event> batch;
            {
                std::unique_lock lock(queueMutex);
                queueCv.wait_for(lock, std::chrono::milliseconds(200), [&] { return !events.empty(); });
                batch.swap(events);
            }
            for (Event& e : batch) {
                switch (e.kind) {
                    case Event::Changes: OnChanges(e.changes); break;
                    case Event::Connected: OnConnected(e); break;
                    case Event::Disconnected:
                        if (e.gen == gen) LostConnection();
                        break;
                    case Event::Message:
                        if (e.gen == gen && connected) OnMessage(e);
                        break;
                    case Event::Published:
                        if (e.gen == gen) OnAck(e.rc);
                        break;
                    case Event::WriteDone: OnWriteDone(e); break;
                    case Event::Stop: stop = true; break;
                }
            }
            if (stop) break;
            SendDueBirths();
            Replay();
            SendCheckpoint();
            if (Clock::now() - lastPoll > std::chrono::seconds(1)) {
                PollStations();
                if (Online() && config.sparkplug) SendNodeData();
            }
            buffer.Tick();
            UpdateStats();
        }
        Finish();
    }

    void UpdateStats() {
        statOnline = Online() && (born || !config.sparkplug);
        statBuffered = buffer.Count();
        statDropped = buffer.Dropped() + skipped;
    }

    bool finishing = false;

    void Finish() {
        finishing = true;
        // Changes the listener handed over just before it was taken off.
        std::deque<Event> rest;
        {
            std::lock_guard lock(queueMutex);
            rest.swap(events);
        }
        for (Event& e : rest)
            if (e.kind == Event::Changes) {
                std::vector<Record> rows = ToRecords(e.changes);
                buffer.Append(rows);
            }
        if (connected && born) {
            std::vector<uint8_t> death = NodeDeath(bdSeq);
            Publish(NodeTopic("NDEATH"), death.data(), death.size(), 0, false, nullptr);
        }
        {
            std::lock_guard lock(clientMutex);
            if (client && clientGen == gen && connected) mosquitto_disconnect(client);
        }
        LostConnection();
        buffer.Tick(true);
        UpdateStats();
        buffer.Close();
    }
};

FrontEnd::FrontEnd(tags::Engine& engine, Config config, Log log, std::chrono::milliseconds nodeDataPeriod)
    : impl_(std::make_unique<Impl>(engine, std::move(config), std::move(log), nodeDataPeriod)) {}

FrontEnd::~FrontEnd() { Stop(); }

bool FrontEnd::Start(std::string& error) {
    Impl& d = *impl_;
    if (d.started) return true;
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
    std::error_code ec;
    std::filesystem::create_directories(d.config.stateDir, ec);
    if (ec) {
        error = "cannot make the state folder " + d.config.stateDir + ": " + ec.message();
        return false;
    }
    if (!d.buffer.Open(d.StatePath("mqtt-buffer.sqlite"), d.config.bufferBytes, d.log, error)) return false;
    if (d.buffer.Count()) d.log(std::to_string(d.buffer.Count()) + " changes from before the restart wait in the disk buffer");
    d.statBuffered = d.buffer.Count();
    d.subscription = d.engine.Subscribe([&d](const std::vector<tags::Change>& changes) {
        Impl::Event e(Impl::Event::Changes);
        e.changes = changes;
        d.Push(std::move(e));
    });
    d.netStop = false;
    d.stopping = false;
    d.worker = std::thread([&d] { d.WorkerLoop(); });
    d.net = std::thread([&d] { d.NetLoop(); });
    d.started = true;
    return true;
}

void FrontEnd::Stop() {
    Impl& d = *impl_;
    if (!d.started) return;
    d.started = false;
    d.engine.Unsubscribe(d.subscription);
    d.stopping = true;
    d.Push(Impl::Event(Impl::Event::Stop));
    d.worker.join();
    // The network loop runs on until the death and the disconnect are out.
    auto deadline = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < deadline) {
        {
            std::lock_guard lock(d.clientMutex);
            if (!d.client || mosquitto_want_write(d.client) == false) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    {
        std::lock_guard lock(d.netMutex);
        d.netStop = true;
    }
    d.netCv.notify_all();
    d.net.join();
    std::lock_guard lock(d.clientMutex);
    if (d.client) mosquitto_destroy(d.client);
    d.client = nullptr;
}

Stats FrontEnd::GetStats() const {
    const Impl& d = *impl_;
    Stats s;
    s.connected = d.statConnected;
    s.online = d.statOnline;
    s.sent = d.statSent;
    s.buffered = d.statBuffered;
    s.dropped = d.statDropped;
    s.replayed = d.statReplayed;
    s.reconnects = d.statReconnects;
    return s;
}

std::string FrontEnd::StatsText() const {
    Stats s = GetStats();
    return std::string("mqtt ") + (s.online ? "online" : s.connected ? "connected, host offline" : "disconnected") +
           ", " + std::to_string(s.sent) + " sent, " + std::to_string(s.buffered) + " buffered, " +
           std::to_string(s.dropped) + " dropped";
}

std::string FrontEnd::StatusJson() const {
    Stats s = GetStats();
    return std::string("{\"connected\":") + (s.connected ? "true" : "false") +
           ",\"online\":" + (s.online ? "true" : "false") + ",\"sent\":" + std::to_string(s.sent) +
           ",\"buffered\":" + std::to_string(s.buffered) + ",\"dropped\":" + std::to_string(s.dropped) +
           ",\"replayed\":" + std::to_string(s.replayed) + ",\"reconnects\":" + std::to_string(s.reconnects) + "}";
}

}  // namespace mqtt
