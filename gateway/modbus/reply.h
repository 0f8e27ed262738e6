// Sending a reply: built by libmodbus from the request frame, on the
// connection's socket. The line thread sends the replies of the requests it
// carried out itself, the moment the driver returns; sending on a
// non-blocking socket never makes it wait, and it saves the network side a
// wake-up per request, which on a loaded machine costs more than the
// request's own work. The network side sends refusals that need no line.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "gateway/modbus/queue.h"
#include "gateway/modbus/stats.h"

typedef struct _modbus modbus_t;
typedef struct _modbus_mapping_t modbus_mapping_t;

namespace vave8gw {

// What both threads know of a connection. The network side owns it and
// closes the socket under the lock, so a reply never goes to a descriptor
// that was closed and reused.
struct Peer {
    uint64_t id = 0;
    std::string name;  // client address and port
    std::mutex mutex;
    int fd = -1;                     // -1 once closed
    bool broken = false;             // a reply could not be sent: to be dropped
    std::atomic<int> pending{0};     // requests with the line side
    std::atomic<double> replied{0};  // when its last reply went out (Now())
};

class Responder {
public:
    explicit Responder(Stats* stats);
    ~Responder();
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    bool Ready() const { return modbus_ != nullptr && scratch_ != nullptr; }

    // Sends the reply (logging a failed request) and counts it; false when
    // the connection is gone or broke. With `pendingBefore` the request was
    // one of peer.pending: it leaves that count under the peer's lock, right
    // after its reply went out, and *pendingBefore gets the count before.
    // A client that reads its reply and closes at once is then never taken
    // for one that left mid-request.
    bool Send(Peer& peer, const Job& job, const Outcome& outcome, int* pendingBefore = nullptr);

private:
    Stats* stats_;
    modbus_t* modbus_ = nullptr;
    modbus_mapping_t* scratch_ = nullptr;  // filled just before each read's reply
};

double Now();

}  // namespace vave8gw
