#include "gateway/modbus/reply.h"

#include <modbus/modbus.h>
#include <time.h>

#include <algorithm>
#include <cstdio>

namespace vave8gw {

double Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

Responder::Responder(Stats* stats) : stats_(stats) {
    // The context only builds and sends replies on the socket set for each;
    // it never connects.
    modbus_ = modbus_new_tcp("127.0.0.1", 0);
    scratch_ = modbus_mapping_new(static_cast<int>(kCoils), static_cast<int>(kCoils),
                                  static_cast<int>(kRegisters), static_cast<int>(kRegisters));
}

Responder::~Responder() {
    if (scratch_ != nullptr) modbus_mapping_free(scratch_);
    if (modbus_ != nullptr) modbus_free(modbus_);
}

bool Responder::Send(Peer& peer, const Job& job, const Outcome& outcome, int* pendingBefore) {
    const Operation& op = job.decision.op;
    const uint8_t* request = job.frame.bytes.data();
    const int length = static_cast<int>(job.frame.length);
    const double now = Now();
    // libmodbus answers an exception with the function code + 0x80 in a
    // byte: a request that already has the high bit set (0x83) would get a
    // reply with function 0x03, which a client takes for a normal reply.
    // Built from a copy with the bit cleared, the reply keeps the code as it
    // came (0x83 0x01), as pymodbus's own server answers: the client sees
    // its own code with an exception code after it, never a data reply.
    Frame masked;
    if (op.function >= 0x80) {
        masked = job.frame;
        masked.bytes[kMbapSize] = static_cast<uint8_t>(op.function & 0x7F);
        request = masked.bytes.data();
    }
    if (outcome.exception != EX_NONE) {
        char kind[160];
        std::snprintf(kind, sizeof kind, "unit %u function %u: exception 0x%02X (%s)%s", op.unit,
                      op.function, outcome.exception, ExceptionName(outcome.exception),
                      job.decision.exception != EX_NONE ? ", refused before the line"
                      : outcome.backoff                 ? ", station in backoff"
                                                        : "");
        char head[256];
        std::snprintf(head, sizeof head,
                      "%s unit %u function %u address %u count %u: exception 0x%02X (%s): ",
                      peer.name.c_str(), op.unit, op.function, op.first, op.count,
                      outcome.exception, ExceptionName(outcome.exception));
        stats_->Log().Write(kind, head + outcome.cause, now);
    } else {
        // The request passed the checks libmodbus makes, so its reply is
        // built from the scratch mapping, never one of libmodbus's exceptions.
        const size_t n = std::min<size_t>(outcome.values.size(), op.count);
        for (size_t k = 0; k < n; ++k) {
            const size_t at = op.first + k;
            switch (op.function) {
                case 1:
                    scratch_->tab_bits[at] = static_cast<uint8_t>(outcome.values[k]);
                    break;
                case 2:
                    scratch_->tab_input_bits[at] = static_cast<uint8_t>(outcome.values[k]);
                    break;
                case 3:
                    scratch_->tab_registers[at] = outcome.values[k];
                    break;
                case 4:
                    scratch_->tab_input_registers[at] = outcome.values[k];
                    break;
                default:
                    break;
            }
        }
    }
    std::lock_guard lock(peer.mutex);
    int rc = -1;
    if (peer.fd >= 0 && !peer.broken) {
        modbus_set_socket(modbus_, peer.fd);
        rc = outcome.exception != EX_NONE
                 ? modbus_reply_exception(modbus_, request, outcome.exception)
                 : modbus_reply(modbus_, request, length, scratch_);
        stats_->Record(op.unit, outcome.exception, outcome.backoff, now - job.arrived);
        if (rc < 0) peer.broken = true;
        peer.replied = now;
    }
    if (pendingBefore != nullptr) *pendingBefore = peer.pending.fetch_sub(1);
    return rc >= 0;
}

}  // namespace vave8gw
