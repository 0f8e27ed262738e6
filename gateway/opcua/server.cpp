#include "gateway/opcua/server.h"

#include <open62541/plugin/accesscontrol.h>
#include <open62541/server.h>
#include <open62541/server_config_default.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "gateway/opcua/codes.h"
#include "gateway/opcua/pki.h"
#include "gateway/opcua/users.h"

namespace opcua {

namespace {

constexpr const char* kPolicyNone = "http://opcfoundation.org/UA/SecurityPolicy#None";
constexpr const char* kPolicyBasic256Sha256 = "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256";
constexpr const char* kPolicyAes256Pss = "http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss";

// How often the changes the engine passed are put into the nodes and handed
// to the monitored items: a small part of any publishing interval.
constexpr double kApplyMs = 10;
// Changes held for the server thread, per tag, before only the latest of
// each tag is kept.
constexpr size_t kPendingPerTag = 8;

UA_String Str(const std::string& s) {
    UA_String out;
    out.length = s.size();
    out.data = reinterpret_cast<UA_Byte*>(const_cast<char*>(s.data()));
    return out;
}

UA_NodeId StringId(UA_UInt16 ns, const std::string& id) {
    return UA_NODEID_STRING_ALLOC(ns, id.c_str());
}

std::string ToString(const UA_String& s) { return std::string(reinterpret_cast<const char*>(s.data), s.length); }

struct SessionInfo {
    Role role = Role::Read;
    std::string user;  // empty: anonymous
};

struct TagNode {
    Server::Impl* owner = nullptr;
    size_t index = 0;
    UA_NodeId id{};
    bool served = false;
    UA_DataValue value{};
    bool added = false;  // the library reads a node while adding it, for its type
};

struct WaitState {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    tags::WriteResult result;
};

std::string StationState(tags::StationStatus::State state) {
    switch (state) {
        case tags::StationStatus::State::Good: return "good";
        case tags::StationStatus::State::Demoted: return "demoted";
        case tags::StationStatus::State::PortDown: return "port down";
        case tags::StationStatus::State::Unknown: break;
    }
    return "unknown";
}

// The library's address reuse lets a second listener share a port; a test
// bind without it fails while any other server listens there.
bool PortFree(const std::string& host, uint16_t port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found) != 0 || !found) {
        error = "cannot resolve the listen address " + host;
        return false;
    }
    bool free = true;
    for (addrinfo* a = found; a && free; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) continue;
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 && errno == EADDRINUSE) free = false;
        close(fd);
    }
    freeaddrinfo(found);
    if (!free) error = "cannot serve OPC UA on " + (host.empty() ? "*" : host) + ":" + service + ": the port is in use";
    return free;
}

}  // namespace

struct Server::Impl {
    tags::Engine& engine;
    Options options;
    std::string host, namespaceUri, applicationUri;
    UA_Logger logger{};
    UA_Server* server = nullptr;
    UA_UInt16 ns = 0;
    std::vector<TagNode> nodes;
    std::map<std::string, User> users;
    int subscription = -1;
    // The session context of the server's own writes, told from a client's.
    char serverItself = 0;
    std::thread thread;
    std::atomic<bool> running{false};

    // Changes from the line thread, the latest per tag, until the server
    // thread puts them into the nodes.
    std::mutex pendingMutex;
    std::vector<tags::Change> pending;

    // For refusal log lines: the client address of each connection (the
    // library names it when the connection opens) and the reason of a refusal
    // about to be reported by the library for some connection.
    std::map<unsigned long, std::string> addresses;
    std::string refusal;
    // The library's own lines from this level up (VAVE8_OPCUA_DEBUG set: all).
    UA_LogLevel logLevel = std::getenv("VAVE8_OPCUA_DEBUG") ? UA_LOGLEVEL_TRACE : UA_LOGLEVEL_WARNING;

    Impl(tags::Engine& e, Options o) : engine(e), options(std::move(o)) {}

    void Log(const std::string& line) {
        if (options.log) options.log(line);
        else std::fprintf(stderr, "vave8gw: %s\n", line.c_str());
    }

    // --- logging -----------------------------------------------------------
    static void LibraryLog(void* context, UA_LogLevel level, UA_LogCategory, const char* msg, va_list args) {
        auto* self = static_cast<Impl*>(context);
        // Connections are named at info level; below it is the library's
        // chatter, costly to format at the rate it comes.
        if (level < self->logLevel && level < UA_LOGLEVEL_INFO) return;
        char text[1024];
        std::vsnprintf(text, sizeof text, msg, args);
        self->OnLibraryLog(level, text);
    }

    void OnLibraryLog(UA_LogLevel level, const std::string& text) {
        unsigned long connection = 0;
        const bool onConnection = std::sscanf(text.c_str(), "TCP %lu", &connection) == 1;
        std::string client;
        if (onConnection) {
            if (const auto from = text.find("Connection opened from \""); from != std::string::npos) {
                const auto start = from + 24, end = text.find('"', start);
                if (addresses.size() > 4096) addresses.clear();
                addresses[connection] = text.substr(start, end - start);
            }
            const auto it = addresses.find(connection);
            if (it != addresses.end()) client = it->second;
            if (!refusal.empty()) {
                Log("OPC UA: refused client " + (client.empty() ? "at an unknown address" : client) + ": " + refusal);
                refusal.clear();
            }
            if (text.find("| Socket closed") != std::string::npos) addresses.erase(connection);
        }
        if (level >= logLevel) {
            Log("OPC UA: " + text + (client.empty() ? "" : " (client " + client + ")"));
        }
    }

    void Refuse(const std::string& reason) {
        // The library reports the refusal next, naming the connection.
        refusal = reason;
    }

    // --- access control ----------------------------------------------------
    static Impl* Of(UA_AccessControl* ac) { return static_cast<Impl*>(ac->context); }

    static UA_StatusCode ActivateSession(UA_Server*, UA_AccessControl* ac, const UA_EndpointDescription* endpoint,
                                         const UA_ByteString*, const UA_NodeId*, const UA_ExtensionObject* token,
                                         void** sessionContext) {
        return Of(ac)->Activate(*endpoint, *token, sessionContext);
    }

    UA_StatusCode Activate(const UA_EndpointDescription& endpoint, const UA_ExtensionObject& token,
                           void** sessionContext) {
        const bool empty = token.encoding == UA_EXTENSIONOBJECT_ENCODED_NOBODY;
        const UA_DataType* type = token.encoding >= UA_EXTENSIONOBJECT_DECODED ? token.content.decoded.type : nullptr;
        auto accept = [&](Role role, std::string user) {
            delete static_cast<SessionInfo*>(*sessionContext);
            *sessionContext = new SessionInfo{role, std::move(user)};
            return UA_STATUSCODE_GOOD;
        };
        if (empty || type == &UA_TYPES[UA_TYPES_ANONYMOUSIDENTITYTOKEN]) {
            if (!options.config.anonymous) {
                Refuse("anonymous sessions are off");
                return UA_STATUSCODE_BADIDENTITYTOKENINVALID;
            }
            return accept(Role::Read, {});
        }
        if (type == &UA_TYPES[UA_TYPES_USERNAMEIDENTITYTOKEN]) {
            const auto* t = static_cast<const UA_UserNameIdentityToken*>(token.content.decoded.data);
            const std::string name = ToString(t->userName);
            if (endpoint.securityMode != UA_MESSAGESECURITYMODE_SIGNANDENCRYPT) {
                Refuse("user " + name + " logged in over a channel that is not encrypted");
                return UA_STATUSCODE_BADIDENTITYTOKENREJECTED;
            }
            const auto user = users.find(name);
            if (user == users.end()) {
                Refuse("unknown user " + name);
                return UA_STATUSCODE_BADUSERACCESSDENIED;
            }
            if (!CheckPassword(ToString(t->password), user->second.hash)) {
                Refuse("wrong password for user " + name);
                return UA_STATUSCODE_BADUSERACCESSDENIED;
            }
            return accept(user->second.role, name);
        }
        if (type == &UA_TYPES[UA_TYPES_X509IDENTITYTOKEN]) {
            // The library has checked the token's signature; its certificate
            // must be trusted like a client's.
            const auto* t = static_cast<const UA_X509IdentityToken*>(token.content.decoded.data);
            if (endpoint.securityMode == UA_MESSAGESECURITYMODE_NONE) {
                Refuse("user certificate over a channel that is not signed");
                return UA_STATUSCODE_BADIDENTITYTOKENREJECTED;
            }
            const UA_CertificateVerification& pki = UA_Server_getConfig(server)->sessionPKI;
            const UA_StatusCode status = pki.verifyCertificate(&pki, &t->certificateData);
            if (status != UA_STATUSCODE_GOOD) {
                Refuse("user certificate not trusted");
                return UA_STATUSCODE_BADIDENTITYTOKENREJECTED;
            }
            return accept(Role::Read, "certificate");
        }
        Refuse("unsupported identity token");
        return UA_STATUSCODE_BADIDENTITYTOKENINVALID;
    }

    static void CloseSession(UA_Server*, UA_AccessControl* ac, const UA_NodeId*, void* sessionContext) {
        if (sessionContext == &Of(ac)->serverItself) return;
        delete static_cast<SessionInfo*>(sessionContext);
    }

    static UA_UInt32 UserRightsMask(UA_Server*, UA_AccessControl*, const UA_NodeId*, void*, const UA_NodeId*, void*) {
        return 0;  // no attribute but a tag's value is a client's to change
    }

    static UA_Byte UserAccessLevel(UA_Server*, UA_AccessControl*, const UA_NodeId*, void* sessionContext,
                                   const UA_NodeId*, void*) {
        const auto* session = static_cast<const SessionInfo*>(sessionContext);
        if (session && session->role == Role::Write) return 0xFF;
        return static_cast<UA_Byte>(0xFF & ~UA_ACCESSLEVELMASK_WRITE);
    }

    static UA_Boolean AllowBrowse(UA_Server*, UA_AccessControl*, const UA_NodeId*, void*, const UA_NodeId*, void*) {
        return true;
    }
    static UA_Boolean AllowTransfer(UA_Server*, UA_AccessControl*, const UA_NodeId*, void* oldContext,
                                    const UA_NodeId*, void* newContext) {
        const auto* a = static_cast<const SessionInfo*>(oldContext);
        const auto* b = static_cast<const SessionInfo*>(newContext);
        return a && b && a->user == b->user && a->role == b->role;
    }
    static void ClearAccessControl(UA_AccessControl* ac) {
        UA_Array_delete(ac->userTokenPolicies, ac->userTokenPoliciesSize, &UA_TYPES[UA_TYPES_USERTOKENPOLICY]);
        ac->userTokenPolicies = nullptr;
        ac->userTokenPoliciesSize = 0;
    }

    // The login ways offered; the library fits them to each endpoint (a
    // password is always encrypted, by the endpoint's policy or, on None, by
    // another), and Activate refuses names on a channel that is not
    // encrypted and certificates on one that is not signed.
    std::vector<UA_UserTokenPolicy> TokenPolicies() const {
        std::vector<UA_UserTokenPolicy> out;
        auto add = [&](const char* id, UA_UserTokenType type) {
            UA_UserTokenPolicy p;
            UA_UserTokenPolicy_init(&p);
            p.policyId = UA_STRING_ALLOC(id);
            p.tokenType = type;
            out.push_back(p);
        };
        if (options.config.anonymous) add("anonymous", UA_USERTOKENTYPE_ANONYMOUS);
        if (!options.config.usersFile.empty()) add("username", UA_USERTOKENTYPE_USERNAME);
        add("certificate", UA_USERTOKENTYPE_CERTIFICATE);
        return out;
    }

    void SetAccessControl(UA_ServerConfig& config) {
        UA_AccessControl& ac = config.accessControl;
        if (ac.clear) ac.clear(&ac);
        std::memset(&ac, 0, sizeof ac);
        ac.context = this;
        ac.clear = ClearAccessControl;
        const auto all = TokenPolicies();
        ac.userTokenPolicies = static_cast<UA_UserTokenPolicy*>(
            UA_Array_new(all.size(), &UA_TYPES[UA_TYPES_USERTOKENPOLICY]));
        for (size_t i = 0; i < all.size(); ++i) ac.userTokenPolicies[i] = all[i];
        ac.userTokenPoliciesSize = all.size();
        ac.activateSession = ActivateSession;
        ac.closeSession = CloseSession;
        ac.getUserRightsMask = UserRightsMask;
        ac.getUserAccessLevel = UserAccessLevel;
        ac.getUserExecutable = NeverExecute;
        ac.getUserExecutableOnObject = NeverOnObject;
        ac.allowAddNode = [](UA_Server*, UA_AccessControl*, const UA_NodeId*, void*, const UA_AddNodesItem*) -> UA_Boolean {
            return false;
        };
        ac.allowAddReference = [](UA_Server*, UA_AccessControl*, const UA_NodeId*, void*,
                                  const UA_AddReferencesItem*) -> UA_Boolean { return false; };
        ac.allowDeleteNode = [](UA_Server*, UA_AccessControl*, const UA_NodeId*, void*,
                                const UA_DeleteNodesItem*) -> UA_Boolean { return false; };
        ac.allowDeleteReference = [](UA_Server*, UA_AccessControl*, const UA_NodeId*, void*,
                                     const UA_DeleteReferencesItem*) -> UA_Boolean { return false; };
        ac.allowBrowseNode = AllowBrowse;
#ifdef UA_ENABLE_SUBSCRIPTIONS
        ac.allowTransferSubscription = AllowTransfer;
#endif
#ifdef UA_ENABLE_HISTORIZING
        ac.allowHistoryUpdateUpdateData = [](UA_Server*, UA_AccessControl*, const UA_NodeId*, void*, const UA_NodeId*,
                                             UA_PerformUpdateType, const UA_DataValue*) -> UA_Boolean { return false; };
        ac.allowHistoryUpdateDeleteRawModified = [](UA_Server*, UA_AccessControl*, const UA_NodeId*, void*,
                                                    const UA_NodeId*, UA_DateTime, UA_DateTime,
                                                    bool) -> UA_Boolean { return false; };
#endif
    }
    static UA_Boolean NeverExecute(UA_Server*, UA_AccessControl*, const UA_NodeId*, void*, const UA_NodeId*, void*) {
        return false;
    }
    static UA_Boolean NeverOnObject(UA_Server*, UA_AccessControl*, const UA_NodeId*, void*, const UA_NodeId*, void*,
                                    const UA_NodeId*, void*) {
        return false;
    }

    // --- tag values and writes ----------------------------------------------
    static UA_StatusCode ReadTag(UA_Server*, const UA_NodeId*, void*, const UA_NodeId*, void* nodeContext,
                                 UA_Boolean includeSourceTimeStamp, const UA_NumericRange* range,
                                 UA_DataValue* value) {
        if (range) return UA_STATUSCODE_BADINDEXRANGENODATA;
        const auto* node = static_cast<const TagNode*>(nodeContext);
        if (!node->added) {
            const UA_DataType* type = TagDataType(node->owner->engine.Tags()[node->index]);
            alignas(8) UA_Byte zero[16] = {};
            const UA_StatusCode status = UA_Variant_setScalarCopy(&value->value, zero, type);
            value->hasValue = status == UA_STATUSCODE_GOOD;
            return status;
        }
        const UA_StatusCode status = UA_DataValue_copy(&node->value, value);
        if (!includeSourceTimeStamp) value->hasSourceTimestamp = false;
        return status;
    }

    static UA_StatusCode WriteTag(UA_Server*, const UA_NodeId*, void* sessionContext, const UA_NodeId*,
                                  void* nodeContext, const UA_NumericRange* range, const UA_DataValue* value) {
        auto* node = static_cast<TagNode*>(nodeContext);
        if (sessionContext == &node->owner->serverItself) return UA_STATUSCODE_GOOD;
        return node->owner->Write(*node, static_cast<const SessionInfo*>(sessionContext), range, *value);
    }

    UA_StatusCode Write(TagNode& node, const SessionInfo* session, const UA_NumericRange* range,
                        const UA_DataValue& value) {
        const tags::Tag& tag = engine.Tags()[node.index];
        const std::string who = session && !session->user.empty() ? "user " + session->user : "an anonymous session";
        if (tag.access != tags::Access::ReadWrite || !session || session->role != Role::Write) {
            Log("OPC UA: write to " + tag.name + " by " + who + " refused: " +
                (tag.access != tags::Access::ReadWrite ? "the tag is read-only" : "the session may only read"));
            return UA_STATUSCODE_BADNOTWRITABLE;
        }
        if (range) return UA_STATUSCODE_BADWRITENOTSUPPORTED;
        if (!value.hasValue) return UA_STATUSCODE_BADTYPEMISMATCH;
        double v = 0;
        UA_StatusCode refused = UA_STATUSCODE_GOOD;
        if (!FromVariant(tag, value.value, v, refused)) {
            Log("OPC UA: write to " + tag.name + " by " + who + " refused: " + UA_StatusCode_name(refused));
            return refused;
        }
        auto state = std::make_shared<WaitState>();
        engine.Write(node.index, v, [state](const tags::WriteResult& result) {
            std::lock_guard lock(state->mutex);
            state->result = result;
            state->done = true;
            state->cv.notify_all();
        });
        const std::chrono::milliseconds bound =
            tag.type == tags::Type::Bool ? options.bitWriteTimeout : options.writeTimeout;
        std::unique_lock lock(state->mutex);
        if (!state->cv.wait_for(lock, bound, [&] { return state->done; })) {
            Log("OPC UA: write to " + tag.name + " by " + who + " not done within " +
                std::to_string(bound.count()) + " ms, the line's worst case for it; the client is told it timed "
                "out");
            return UA_STATUSCODE_BADTIMEOUT;
        }
        const UA_StatusCode status = WriteStatus(state->result);
        if (status != UA_STATUSCODE_GOOD)
            Log("OPC UA: write to " + tag.name + " by " + who + " failed: " + UA_StatusCode_name(status) +
                (state->result.text.empty() ? "" : " (" + state->result.text + ")"));
        return status;
    }

    void OnChanges(const std::vector<tags::Change>& changes) {
        std::lock_guard lock(pendingMutex);
        for (const auto& change : changes) {
            if (change.tag >= nodes.size()) continue;
            // Every change in order while the server thread keeps up; when
            // it falls far behind, the latest of each tag, so memory stays
            // bounded and no tag's last value is lost.
            if (pending.size() >= kPendingPerTag * nodes.size()) Coalesce();
            pending.push_back(change);
        }
    }

    void Coalesce() {
        std::vector<size_t> latest(nodes.size(), SIZE_MAX);
        for (size_t i = 0; i < pending.size(); ++i) latest[pending[i].tag] = i;
        std::vector<tags::Change> kept;
        for (size_t i = 0; i < pending.size(); ++i)
            if (latest[pending[i].tag] == i) kept.push_back(pending[i]);
        pending.swap(kept);
    }

    static void ApplyChanges(UA_Server*, void* data) { static_cast<Impl*>(data)->Apply(); }

    // The library samples a monitored item when its node is written, and the
    // server's own write of a tag node is taken as done by WriteTag, the
    // value being in place already: so each change reaches every monitored
    // item once, when it comes, and no item is ever sampled in between.
    void Apply() {
        std::vector<tags::Change> batch;
        {
            std::lock_guard lock(pendingMutex);
            if (pending.empty()) return;
            batch.swap(pending);
        }
        const auto& all = engine.Tags();
        UA_DataValue nothing;
        UA_DataValue_init(&nothing);
        for (const auto& change : batch) {
            TagNode& node = nodes[change.tag];
            ToDataValue(all[change.tag], change.sample, node.value);
            if (node.served) UA_Server_writeDataValue(server, node.id, nothing);
        }
    }

    // Every monitored item is sampled on a write of its node alone (the
    // server's sampling interval is 0), so the server's clock nodes, whose
    // values the library computes when read, are written as the server
    // itself once a diagnostics interval, for their subscribers.
    static UA_StatusCode ReadClock(UA_Server* server, const UA_NodeId*, void*, const UA_NodeId* id, void* context,
                                   UA_Boolean includeSourceTimeStamp, const UA_NumericRange* range,
                                   UA_DataValue* value) {
        if (range) return UA_STATUSCODE_BADINDEXRANGEINVALID;
        const UA_DateTime now = UA_DateTime_now();
        UA_StatusCode status;
        if (id->identifier.numeric == UA_NS0ID_SERVER_SERVERSTATUS_CURRENTTIME) {
            status = UA_Variant_setScalarCopy(&value->value, &now, &UA_TYPES[UA_TYPES_DATETIME]);
        } else {
            UA_ServerStatusDataType st;
            UA_ServerStatusDataType_init(&st);
            st.startTime = static_cast<Impl*>(context)->startTime;
            st.currentTime = now;
            st.state = UA_SERVERSTATE_RUNNING;
            st.buildInfo = UA_Server_getConfig(server)->buildInfo;
            status = UA_Variant_setScalarCopy(&value->value, &st, &UA_TYPES[UA_TYPES_SERVERSTATUSDATATYPE]);
        }
        value->hasValue = status == UA_STATUSCODE_GOOD;
        if (includeSourceTimeStamp) {
            value->hasSourceTimestamp = true;
            value->sourceTimestamp = now;
        }
        return status;
    }

    static UA_StatusCode WriteClock(UA_Server*, const UA_NodeId*, void* sessionContext, const UA_NodeId*,
                                    void* context, const UA_NumericRange*, const UA_DataValue*) {
        return sessionContext == &static_cast<Impl*>(context)->serverItself ? UA_STATUSCODE_GOOD
                                                                            : UA_STATUSCODE_BADNOTWRITABLE;
    }

    UA_DateTime startTime = 0;
    static constexpr UA_UInt32 kClockNodes[] = {UA_NS0ID_SERVER_SERVERSTATUS,
                                                UA_NS0ID_SERVER_SERVERSTATUS_CURRENTTIME};

    void TakeOverClock() {
        startTime = UA_DateTime_now();
        for (UA_UInt32 id : kClockNodes) {
            UA_Server_setNodeContext(server, UA_NODEID_NUMERIC(0, id), this);
            UA_Server_setVariableNode_dataSource(server, UA_NODEID_NUMERIC(0, id),
                                                 UA_DataSource{ReadClock, WriteClock});
        }
    }

    void TickClock() {
        UA_DataValue nothing;
        UA_DataValue_init(&nothing);
        for (UA_UInt32 id : kClockNodes) UA_Server_writeDataValue(server, UA_NODEID_NUMERIC(0, id), nothing);
    }

    // --- address space -------------------------------------------------------
    std::map<std::string, UA_NodeId> folders;

    UA_NodeId Folder(const std::string& path, const UA_NodeId& root) {
        if (path.empty()) return root;
        if (const auto it = folders.find(path); it != folders.end()) return it->second;
        const auto slash = path.rfind('/');
        const UA_NodeId parent = Folder(slash == std::string::npos ? "" : path.substr(0, slash), root);
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        UA_NodeId id = StringId(ns, "folder:" + path);
        AddFolder(id, parent, name);
        folders[path] = id;
        return id;
    }

    void AddFolder(const UA_NodeId& id, const UA_NodeId& parent, const std::string& name) {
        UA_ObjectAttributes attr = UA_ObjectAttributes_default;
        attr.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(name.c_str()));
        const UA_StatusCode status = UA_Server_addObjectNode(
            server, id, parent, UA_NODEID_NUMERIC(0, UA_NS0ID_ORGANIZES),
            UA_QUALIFIEDNAME(ns, const_cast<char*>(name.c_str())), UA_NODEID_NUMERIC(0, UA_NS0ID_FOLDERTYPE), attr,
            nullptr, nullptr);
        if (status != UA_STATUSCODE_GOOD) Log("OPC UA: folder " + name + " not made: " + UA_StatusCode_name(status));
    }

    void AddTag(size_t index, const UA_NodeId& root) {
        const tags::Tag& tag = engine.Tags()[index];
        const auto slash = tag.name.rfind('/');
        const UA_NodeId parent = Folder(slash == std::string::npos ? "" : tag.name.substr(0, slash), root);
        const std::string name = slash == std::string::npos ? tag.name : tag.name.substr(slash + 1);
        UA_VariableAttributes attr = UA_VariableAttributes_default;
        attr.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(name.c_str()));
        attr.description = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(tag.description.c_str()));
        attr.dataType = TagDataType(tag)->typeId;
        attr.valueRank = UA_VALUERANK_SCALAR;
        attr.accessLevel = UA_ACCESSLEVELMASK_READ;
        if (tag.access == tags::Access::ReadWrite) attr.accessLevel |= UA_ACCESSLEVELMASK_WRITE;
        attr.userAccessLevel = attr.accessLevel;
        // The value changes no faster than the tag is scanned; monitored
        // items are told of each change as it comes all the same.
        attr.minimumSamplingInterval = tag.scanMs;
        TagNode& node = nodes[index];
        node.owner = this;
        node.index = index;
        ToDataValue(tag, engine.Read(index), node.value);
        UA_DataSource source{ReadTag, WriteTag};
        UA_NodeId id = StringId(ns, tag.name);
        const UA_StatusCode status = UA_Server_addDataSourceVariableNode(
            server, id, parent, UA_NODEID_NUMERIC(0, UA_NS0ID_ORGANIZES),
            UA_QUALIFIEDNAME(ns, const_cast<char*>(name.c_str())),
            UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATAVARIABLETYPE), attr, source, &node, nullptr);
        node.added = true;
        node.served = status == UA_STATUSCODE_GOOD;
        if (node.served) UA_NodeId_copy(&id, &node.id);
        if (status != UA_STATUSCODE_GOOD) {
            Log("OPC UA: tag " + tag.name + " not served: " + UA_StatusCode_name(status));
        } else if (!tag.units.empty()) {
            UA_EUInformation eu;
            UA_EUInformation_init(&eu);
            eu.namespaceUri = UA_STRING(const_cast<char*>("http://www.opcfoundation.org/UA/units/un/cefact"));
            eu.unitId = -1;
            eu.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(tag.units.c_str()));
            eu.description = eu.displayName;
            UA_VariableAttributes prop = UA_VariableAttributes_default;
            prop.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>("EngineeringUnits"));
            prop.dataType = UA_TYPES[UA_TYPES_EUINFORMATION].typeId;
            UA_Variant_setScalar(&prop.value, &eu, &UA_TYPES[UA_TYPES_EUINFORMATION]);
            UA_NodeId propId = StringId(ns, tag.name + "#EngineeringUnits");
            UA_Server_addVariableNode(server, propId, id, UA_NODEID_NUMERIC(0, UA_NS0ID_HASPROPERTY),
                                      UA_QUALIFIEDNAME(0, const_cast<char*>("EngineeringUnits")),
                                      UA_NODEID_NUMERIC(0, UA_NS0ID_PROPERTYTYPE), prop, nullptr, nullptr);
            UA_NodeId_clear(&propId);
        }
        UA_NodeId_clear(&id);
    }

    // --- diagnostics -----------------------------------------------------------
    struct DiagVariable {
        std::string id;
        const UA_DataType* type;
    };

    void AddDiag(const UA_NodeId& parent, const std::string& id, const std::string& name, const UA_DataType* type) {
        UA_VariableAttributes attr = UA_VariableAttributes_default;
        attr.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(name.c_str()));
        attr.dataType = type->typeId;
        attr.accessLevel = UA_ACCESSLEVELMASK_READ;
        alignas(8) UA_Byte zero[32] = {};
        UA_Variant_setScalar(&attr.value, zero, type);
        UA_NodeId node = StringId(ns, id);
        UA_Server_addVariableNode(server, node, parent, UA_NODEID_NUMERIC(0, UA_NS0ID_HASCOMPONENT),
                                  UA_QUALIFIEDNAME(ns, const_cast<char*>(name.c_str())),
                                  UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATAVARIABLETYPE), attr, nullptr, nullptr);
        UA_NodeId_clear(&node);
    }

    template <typename T>
    void SetDiag(const std::string& id, T value, const UA_DataType* type) {
        UA_Variant v;
        UA_Variant_setScalar(&v, &value, type);
        UA_NodeId node = StringId(ns, id);
        UA_Server_writeValue(server, node, v);
        UA_NodeId_clear(&node);
    }

    std::vector<int> diagStations;

    void AddDiagnostics(const UA_NodeId& root) {
        UA_NodeId diag = StringId(ns, "diag:");
        AddFolder(diag, root, "Diagnostics");
        const tags::LineStatus status = engine.Status();
        auto addStation = [&](const std::string& prefix, const std::string& name) {
            UA_NodeId folder = StringId(ns, prefix);
            AddFolder(folder, diag, name);
            AddDiag(folder, prefix + "/State", "State", &UA_TYPES[UA_TYPES_STRING]);
            for (const char* counter : {"Transactions", "Failures", "NoReply", "ErrorBlocks", "Garbled"})
                AddDiag(folder, prefix + "/" + counter, counter, &UA_TYPES[UA_TYPES_UINT64]);
            for (const char* time : {"ReplyMedianMs", "ReplyP99Ms", "ReplyMaxMs"})
                AddDiag(folder, prefix + "/" + time, time, &UA_TYPES[UA_TYPES_DOUBLE]);
            AddDiag(folder, prefix + "/LastGoodScan", "LastGoodScan", &UA_TYPES[UA_TYPES_DATETIME]);
            UA_NodeId_clear(&folder);
        };
        addStation("diag:line", "Line");
        UA_NodeId lineFolder = StringId(ns, "diag:line");
        AddDiag(lineFolder, "diag:line/PortDown", "PortDown", &UA_TYPES[UA_TYPES_BOOLEAN]);
        UA_NodeId_clear(&lineFolder);
        for (const auto& station : status.stations) {
            diagStations.push_back(station.station);
            addStation("diag:station" + std::to_string(station.station), "Station" + std::to_string(station.station));
        }
        UA_NodeId_clear(&diag);
        UpdateDiagnostics();
    }

    static void DiagnosticsTick(UA_Server*, void* data) {
        static_cast<Impl*>(data)->UpdateDiagnostics();
        static_cast<Impl*>(data)->TickClock();
    }

    void SetStation(const std::string& prefix, const tags::StationStatus& s, const std::string& state) {
        UA_String text = Str(state);
        SetDiag(prefix + "/State", text, &UA_TYPES[UA_TYPES_STRING]);
        SetDiag<UA_UInt64>(prefix + "/Transactions", s.transactions, &UA_TYPES[UA_TYPES_UINT64]);
        SetDiag<UA_UInt64>(prefix + "/Failures", s.failures, &UA_TYPES[UA_TYPES_UINT64]);
        SetDiag<UA_UInt64>(prefix + "/NoReply", s.noReply, &UA_TYPES[UA_TYPES_UINT64]);
        SetDiag<UA_UInt64>(prefix + "/ErrorBlocks", s.errorBlocks, &UA_TYPES[UA_TYPES_UINT64]);
        SetDiag<UA_UInt64>(prefix + "/Garbled", s.garbled, &UA_TYPES[UA_TYPES_UINT64]);
        SetDiag<UA_Double>(prefix + "/ReplyMedianMs", s.replyMedianMs, &UA_TYPES[UA_TYPES_DOUBLE]);
        SetDiag<UA_Double>(prefix + "/ReplyP99Ms", s.replyP99Ms, &UA_TYPES[UA_TYPES_DOUBLE]);
        SetDiag<UA_Double>(prefix + "/ReplyMaxMs", s.replyMaxMs, &UA_TYPES[UA_TYPES_DOUBLE]);
        UA_DateTime last = 0;
        if (s.lastGoodScan.time_since_epoch().count() != 0)
            last = UA_DATETIME_UNIX_EPOCH +
                   std::chrono::duration_cast<std::chrono::microseconds>(s.lastGoodScan.time_since_epoch()).count() *
                       UA_DATETIME_USEC;
        SetDiag<UA_DateTime>(prefix + "/LastGoodScan", last, &UA_TYPES[UA_TYPES_DATETIME]);
    }

    void UpdateDiagnostics() {
        const tags::LineStatus status = engine.Status();
        tags::StationStatus line;
        size_t good = 0, failing = 0;
        for (const auto& s : status.stations) {
            line.transactions += s.transactions;
            line.failures += s.failures;
            line.noReply += s.noReply;
            line.errorBlocks += s.errorBlocks;
            line.garbled += s.garbled;
            line.replyMedianMs = std::max(line.replyMedianMs, s.replyMedianMs);
            line.replyP99Ms = std::max(line.replyP99Ms, s.replyP99Ms);
            line.replyMaxMs = std::max(line.replyMaxMs, s.replyMaxMs);
            line.lastGoodScan = std::max(line.lastGoodScan, s.lastGoodScan);
            if (s.state == tags::StationStatus::State::Good) ++good;
            if (s.state == tags::StationStatus::State::Demoted || s.state == tags::StationStatus::State::PortDown)
                ++failing;
            if (std::find(diagStations.begin(), diagStations.end(), s.station) != diagStations.end())
                SetStation("diag:station" + std::to_string(s.station), s, StationState(s.state));
        }
        const std::string lineState = status.portDown                    ? "port down"
                                      : good == status.stations.size() ? "good"
                                      : failing == 0                   ? "unknown"
                                      : good == 0                      ? "no station answers"
                                                                       : "degraded";
        SetStation("diag:line", line, lineState);
        SetDiag<UA_Boolean>("diag:line/PortDown", status.portDown, &UA_TYPES[UA_TYPES_BOOLEAN]);
    }

    // --- lifecycle ---------------------------------------------------------
    bool Start(std::string& error);
    void Stop();
};

bool Server::Impl::Start(std::string& error) {
    const Config& config = options.config;
    if (!config.usersFile.empty()) {
        std::vector<UsersError> problems;
        if (!LoadUsers(config.usersFile, users, problems)) {
            error = config.usersFile + ": ";
            for (const auto& p : problems)
                error += (p.line ? "line " + std::to_string(p.line) + ": " : "") + p.reason + "; ";
            error.resize(error.size() - 2);
            return false;
        }
    }
    logger.log = LibraryLog;
    logger.context = this;
    logger.clear = nullptr;

    OwnCertificate own;
    if (!PreparePki(config.pki, host, applicationUri, &logger, own, error)) return false;

    UA_ServerConfig cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.logging = &logger;
    if (UA_ServerConfig_setBasics_withPort(&cfg, config.port) != UA_STATUSCODE_GOOD) {
        UA_ServerConfig_clean(&cfg);
        error = "cannot set up the OPC UA server";
        return false;
    }
    UA_Array_delete(cfg.serverUrls, cfg.serverUrlsSize, &UA_TYPES[UA_TYPES_STRING]);
    const bool v6 = config.host.find(':') != std::string::npos;
    const std::string url = "opc.tcp://" + (v6 ? "[" + config.host + "]" : config.host) + ":" +
                            std::to_string(config.port);
    cfg.serverUrls = UA_String_new();
    *cfg.serverUrls = UA_STRING_ALLOC(url.c_str());
    cfg.serverUrlsSize = 1;

    UA_ApplicationDescription& app = cfg.applicationDescription;
    UA_String_clear(&app.applicationUri);
    app.applicationUri = UA_STRING_ALLOC(applicationUri.c_str());
    UA_LocalizedText_clear(&app.applicationName);
    const std::string appName = "vave8gw " + engine.LineName();
    app.applicationName = UA_LOCALIZEDTEXT_ALLOC("", appName.c_str());
    UA_String_clear(&app.productUri);
    app.productUri = UA_STRING_ALLOC("urn:vave8:vave8gw");

    bool none = false, basic = false, pss = false;
    for (Security s : config.security) {
        none |= s == Security::None;
        basic |= s == Security::Basic256Sha256Sign || s == Security::Basic256Sha256SignAndEncrypt;
        pss |= s == Security::Aes256Sha256RsaPssSign || s == Security::Aes256Sha256RsaPssSignAndEncrypt;
    }
    // None stays for discovery alone when not asked for: a client learns the
    // endpoints over it before it opens a secure channel.
    UA_StatusCode status = UA_ServerConfig_addSecurityPolicyNone(&cfg, &own.certificate);
    if (basic && status == UA_STATUSCODE_GOOD)
        status = UA_ServerConfig_addSecurityPolicyBasic256Sha256(&cfg, &own.certificate, &own.key);
    if (pss && status == UA_STATUSCODE_GOOD)
        status = UA_ServerConfig_addSecurityPolicyAes256Sha256RsaPss(&cfg, &own.certificate, &own.key);
    cfg.securityPolicyNoneDiscoveryOnly = !none;
    for (Security s : config.security) {
        if (status != UA_STATUSCODE_GOOD) break;
        const char* uri = s == Security::None ? kPolicyNone
                          : (s == Security::Basic256Sha256Sign || s == Security::Basic256Sha256SignAndEncrypt)
                              ? kPolicyBasic256Sha256
                              : kPolicyAes256Pss;
        const UA_MessageSecurityMode mode =
            s == Security::None ? UA_MESSAGESECURITYMODE_NONE
            : (s == Security::Basic256Sha256Sign || s == Security::Aes256Sha256RsaPssSign)
                ? UA_MESSAGESECURITYMODE_SIGN
                : UA_MESSAGESECURITYMODE_SIGNANDENCRYPT;
        status = UA_ServerConfig_addEndpoint(&cfg, UA_STRING(const_cast<char*>(uri)), mode);
    }
    if (status != UA_STATUSCODE_GOOD) {
        UA_ServerConfig_clean(&cfg);
        error = std::string("cannot set up the security policies: ") + UA_StatusCode_name(status);
        return false;
    }
    auto refused = [this](const std::string& reason) { Refuse(reason); };
    if (!TrustFolder(cfg.secureChannelPKI, config.pki, refused, error) ||
        !TrustFolder(cfg.sessionPKI, config.pki, refused, error)) {
        UA_ServerConfig_clean(&cfg);
        return false;
    }
    SetAccessControl(cfg);
    cfg.allowNonePolicyPassword = false;
    // Restarts must not wait out TIME_WAIT; PortFree keeps a second server
    // from sharing the port.
    cfg.tcpReuseAddr = true;
    cfg.shutdownDelay = 0;
    // Every monitored item is revised to sampling interval 0: the library
    // then samples it when its node is written, not on a timer, and the
    // front-end writes a tag node on each change the engine passes (Apply).
    cfg.samplingIntervalLimits.min = 0;
    cfg.samplingIntervalLimits.max = 0;

    if (!PortFree(config.host, config.port, error)) {
        UA_ServerConfig_clean(&cfg);
        return false;
    }
    server = UA_Server_newWithConfig(&cfg);
    if (!server) {
        error = "cannot make the OPC UA server";
        return false;
    }
    ns = UA_Server_addNamespace(server, namespaceUri.c_str());
    UA_Server_setAdminSessionContext(server, &serverItself);
    TakeOverClock();

    const auto& all = engine.Tags();
    nodes.resize(all.size());
    // Changes from here on are queued; the values before them are read below.
    subscription = engine.Subscribe([this](const std::vector<tags::Change>& changes) { OnChanges(changes); });

    UA_NodeId root = StringId(ns, "folder:");
    AddFolder(root, UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER), engine.LineName());
    for (size_t i = 0; i < all.size(); ++i) AddTag(i, root);
    AddDiagnostics(root);
    UA_NodeId_clear(&root);
    for (auto& [path, id] : folders) UA_NodeId_clear(&id);
    folders.clear();

    UA_Server_addRepeatedCallback(server, ApplyChanges, this, kApplyMs, nullptr);
    UA_Server_addRepeatedCallback(server, DiagnosticsTick, this,
                                  static_cast<double>(options.diagnosticsInterval.count()), nullptr);

    status = UA_Server_run_startup(server);
    if (status != UA_STATUSCODE_GOOD) {
        error = "cannot serve OPC UA on " + url + ": " + UA_StatusCode_name(status);
        Stop();
        return false;
    }
    UA_Variant started;
    if (UA_Server_readValue(server, UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_SERVERSTATUS_STARTTIME), &started) ==
            UA_STATUSCODE_GOOD &&
        UA_Variant_hasScalarType(&started, &UA_TYPES[UA_TYPES_DATETIME]))
        startTime = *static_cast<UA_DateTime*>(started.data);
    UA_Variant_clear(&started);
    running = true;
    thread = std::thread([this] {
        while (running) UA_Server_run_iterate(server, true);
    });
    if (!IsLoopback(config.host) && (none || config.anonymous))
        Log(std::string("OPC UA: warning: ") + (none ? "security None" : "anonymous reading") +
            " offered beyond loopback, as the configuration asks");
    std::string modes;
    for (Security s : config.security) modes += std::string(modes.empty() ? "" : ", ") + SecurityName(s);
    Log("OPC UA: serving " + std::to_string(all.size()) + " tags of line " + engine.LineName() + " on " + url +
        " (" + modes + "; anonymous " + (config.anonymous ? "read" : "off") + "; " + std::to_string(users.size()) +
        " users; certificates in " + config.pki + "; a write waits at most " +
        std::to_string(options.writeTimeout.count()) + " ms, of a Boolean " +
        std::to_string(options.bitWriteTimeout.count()) + " ms)");
    return true;
}

void Server::Impl::Stop() {
    if (subscription >= 0) {
        engine.Unsubscribe(subscription);
        subscription = -1;
    }
    if (running.exchange(false)) thread.join();
    if (server) {
        UA_Server_run_shutdown(server);
        UA_Server_delete(server);
        server = nullptr;
    }
    for (auto& node : nodes) {
        UA_DataValue_clear(&node.value);
        UA_NodeId_clear(&node.id);
    }
}

Server::Server(tags::Engine& engine, Options options) : impl_(std::make_unique<Impl>(engine, std::move(options))) {
    impl_->namespaceUri = "urn:vave8:" + engine.LineName();
}

Server::~Server() { Stop(); }

bool Server::Start(std::string& error) {
    if (impl_->server) {
        error = "already serving";
        return false;
    }
    std::string& host = impl_->host;
    host = impl_->options.hostName;
    if (host.empty()) {
        char name[256] = {};
        host = gethostname(name, sizeof name - 1) == 0 && name[0] ? name : "localhost";
    }
    impl_->applicationUri = "urn:" + host + ":vave8gw:" + impl_->engine.LineName();
    return impl_->Start(error);
}

void Server::Stop() { impl_->Stop(); }

const std::string& Server::NamespaceUri() const { return impl_->namespaceUri; }
const std::string& Server::ApplicationUri() const { return impl_->applicationUri; }

}  // namespace opcua
