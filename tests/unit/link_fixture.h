// A connection over the in-memory line with one gate, for the read and write
// transaction tests, and a scripted PLC that answers request by request.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "driver/operations.h"
#include "link/transaction.h"
#include "tests/support/memline.h"

namespace linktest {

using memline::Bytes;
using Lines = std::vector<std::string>;

// What the PLC does with one request.
struct Reply {
    enum Kind { Block, Raw, Silence, Normal } kind = Normal;
    Bytes bytes;  // the block (framed on the way), or raw line bytes
    uint64_t delayMs = 0;
};

inline Reply Block(Bytes block, uint64_t delayMs = 0) {
    return {Reply::Block, std::move(block), delayMs};
}
inline Reply Raw(Bytes bytes) {
    return {Reply::Raw, std::move(bytes), 0};
}
inline Reply Silence() {
    return {Reply::Silence, {}, 0};
}
inline Bytes ErrorBlock(uint8_t code) {
    return {1, 0, 0, code};
}

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        value.fill(0xEE);
        gate.value = value.data();
        call.instance = &inst;
        call.args = &gate;
        std::memset(&inst, 0, sizeof inst);
        Fresh();
    }

    // A new line and port with the scripted PLC behind it; the gate, the
    // value area and the PLC memory are kept.
    void Fresh() {
        memline::Reset();
        script.clear();
        log.Clear();
        const LineParams line{9600, 8, 0, 2};
        PortHandle handle = 0;
        ASSERT_EQ(PortOpen("COM1", &line, 0x0303, &handle), PORT_OK);
        PortSetReadTimeout(handle, 100);  // 1 s per byte
        inst.timeoutTicks = 100;
        inst.portHandle = handle;
        // The scripted replies first, then the PLC's own answers.
        memline::SetResponder([this](const memline::Request& request) {
            const Reply reply = request.index < script.size() ? script[request.index] : Reply{};
            switch (reply.kind) {
                case Reply::Block:
                    memline::QueueFrame(reply.bytes, reply.delayMs);
                    break;
                case Reply::Raw:
                    memline::Queue(reply.bytes, reply.delayMs);
                    break;
                case Reply::Silence:
                    break;
                case Reply::Normal:
                    memline::QueueFrame(plc.Answer(request.block), reply.delayMs);
                    break;
            }
        });
    }

    void Gate(int32_t station, int32_t memoryType, int32_t itemAddress, int32_t bit = -1,
              int32_t count = 1) {
        gate.station = station;
        gate.memoryType = memoryType;
        gate.itemAddress = itemAddress;
        gate.bitNumber = bit;
        gate.count = count;
    }

    uint16_t Slot16(size_t offset) const { return LoadSlot16(value.data() + offset); }
    uint32_t Slot32(size_t offset) const { return LoadSlot32(value.data() + offset); }
    void SetSlot16(size_t offset, uint16_t v) { StoreSlot16(value.data() + offset, v); }
    void SetSlot32(size_t offset, uint32_t v) { StoreSlot32(value.data() + offset, v); }

    std::vector<Bytes> Blocks() const {
        std::vector<Bytes> blocks;
        for (const memline::Request& r : memline::Requests()) blocks.push_back(r.block);
        return blocks;
    }

    bool NoTraffic() const {
        return memline::WriteCalls() == 0 && memline::ReadCalls() == 0 &&
               memline::FlushCalls() == 0;
    }

    DriverInstance inst{};
    GateTransfer gate{};
    NuvCall call{};
    alignas(4) std::array<uint8_t, 1100> value{};
    memline::Plc plc;
    std::vector<Reply> script;
    memline::LogCapture log;
};

}  // namespace linktest
