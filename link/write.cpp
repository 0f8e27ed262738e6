// Write transactions: one item, one bit (by reading the byte back first) or a
// block from the gate's value area into PLC memory.
#include "driver/log.h"
#include "driver/operations.h"
#include "link/transaction.h"

namespace {

constexpr AttemptTexts kWriteTexts = {
    "VAVE8> DoBlockWrite() Send request error retry %d",
    "VAVE8> DoBlockWrite() Read reply error retry %d",
    "VAVE8> DoBlockWrite() Recieved ERROR block 0x%02x retry %d",
    "VAVE8> DoBlockWrite() Recieved UNKNOWN block 0x%02x retry %d",
    "VAVE8> DoBlockWrite() Recieved short block, length %d retry %d",
};

// A done block needs nothing beyond its type byte.
constexpr int32_t kDoneBlockLength = 1;

GateTransfer* GateOf(NuvCall* call) {
    return static_cast<GateTransfer*>(call->args);
}

// A block count whose data fits behind the header in the request buffer.
bool WriteCountFits(const GateTransfer* gate) {
    const int32_t max = MaxBlockItems(gate->memoryType);
    return gate->count >= 0 && (max < 0 || gate->count <= max);
}

void PutBigEndian(uint8_t* out, uint32_t value, int32_t bytes) {
    for (int32_t i = 0; i < bytes; ++i) {
        out[i] = static_cast<uint8_t>((value >> (8 * (bytes - 1 - i))) & 0xFF);
    }
}

// Changes one bit of a PLC byte: reads the byte with a complete read
// transaction, then builds the byte to send from it. The slot at offset 2
// ends holding the byte the host asked to write, whatever the read-back did.
int32_t EncodeBitWrite(GateTransfer* gate, uint8_t* data, NuvCall* call) {
    uint8_t* slot = gate->value + 2;
    const uint8_t toWrite = slot[0];  // the low byte of the slot
    const int32_t bit = gate->bitNumber;
    const uint8_t mask = static_cast<uint8_t>(1u << bit);

    gate->bitNumber = -1;  // the read-back fetches the whole byte
    const int32_t result = SingleRead(call);
    const uint8_t present = slot[0];
    data[0] =
        toWrite != 0 ? static_cast<uint8_t>(present | mask) : static_cast<uint8_t>(present & ~mask);
    StoreSlot16(slot, toWrite);
    gate->bitNumber = bit;
    return result;
}

}  // namespace

int32_t EncodeWriteData(GateTransfer* gate, uint8_t* data, Mode mode, NuvCall* call) {
    const int32_t bytes = ItemBytes(gate->memoryType);
    if (bytes == 0) return 0;
    const uint8_t* value = gate->value;

    if (mode == Mode::Single) {
        switch (gate->memoryType) {
            case MEM_BYTE:
                if (gate->bitNumber >= 0 && gate->bitNumber <= 7) {
                    return EncodeBitWrite(gate, data, call);
                }
                data[0] = value[2];
                break;
            case MEM_WORD:
                PutBigEndian(data, LoadSlot16(value + 2), 2);
                break;
            default:  // '8' and '9': a '9' goes as its raw bits
                PutBigEndian(data, LoadSlot32(value), 4);
                break;
        }
        return 0;
    }

    // Never past the request buffer, whatever count the caller hands in.
    const int32_t fit = (kBlockBufferSize - kRequestHeaderSize) / bytes;
    const int32_t count = gate->count < fit ? gate->count : fit;
    for (int32_t i = 0; i < count; ++i) {
        uint8_t* item = data + i * bytes;
        switch (gate->memoryType) {
            case MEM_BYTE:
                item[0] = value[2 * i];
                break;
            case MEM_WORD:
                PutBigEndian(item, LoadSlot16(value + 2 * i), 2);
                break;
            default:
                PutBigEndian(item, LoadSlot32(value + 4 * i), 4);
                break;
        }
    }
    return 0;
}

int32_t BuildWriteRequest(GateTransfer* gate, uint8_t* request, int32_t* length, Mode mode,
                          NuvCall* call) {
    // Data first: the read-back of a bit write builds its own request in this
    // same buffer, which the header below then overwrites.
    const int32_t result = EncodeWriteData(gate, request + kRequestHeaderSize, mode, call);
    PutRequestHeader(request, kWriteRequest, gate, mode);
    const int32_t count = ItemCount(gate, mode);
    *length = kRequestHeaderSize + (count > 0 ? count * ItemBytes(gate->memoryType) : 0);
    return result;
}

int32_t DoBlockWrite(NuvCall* call, Mode mode) {
    DriverInstance* inst = call->instance;
    GateTransfer* gate = GateOf(call);
    if (inst->portHandle == 0) return 1;

    int32_t result = 0;
    // The operations refuse these before coming here; kept so no caller can
    // overrun the request buffer, shift by nonsense or read a null area.
    if ((mode == Mode::Block && !WriteCountFits(gate)) || BadBitNumber(gate, mode) ||
        (gate->value == nullptr && TouchesValueArea(gate, mode))) {
        result = 1;
    } else {
        int32_t length = 0;
        result = BuildWriteRequest(gate, inst->request, &length, mode, call);
        if (result == 0) result = Exchange(inst, length, kDoneBlock, kDoneBlockLength, kWriteTexts);
    }
    if (result != 0) err(LOG_PROGRESS, "VAVE8> DoBlockWrite() , ret val is %d", result);
    return result;
}

int32_t SingleWrite(NuvCall* call) {
    const GateTransfer* gate = GateOf(call);
    if (BadBitNumber(gate, Mode::Single)) {
        err(LOG_PROGRESS, "VAVE8> SingleWrite() invalid bit number %d", gate->bitNumber);
        return 1;
    }
    if (gate->value == nullptr && TouchesValueArea(gate, Mode::Single)) {
        err(LOG_PROGRESS, "VAVE8> SingleWrite() no value area");
        return 1;
    }
    const int32_t result = DoBlockWrite(call, Mode::Single);
    if (result != 0) err(LOG_PROGRESS, "VAVE8> Single Write() , ret val is %d", result);
    return result;
}

int32_t BlockWrite(NuvCall* call) {
    const GateTransfer* gate = GateOf(call);
    // Before the port is looked at: a block that cannot fit one request is
    // refused whether or not a port is open.
    if (!WriteCountFits(gate)) {
        err(LOG_PROGRESS, "VAVE8> BlockWrite(), blocksize too big");
        return 1;
    }
    if (gate->value == nullptr && TouchesValueArea(gate, Mode::Block)) {
        err(LOG_PROGRESS, "VAVE8> BlockWrite() no value area");
        return 1;
    }
    const int32_t result = DoBlockWrite(call, Mode::Block);
    if (result != 0) err(LOG_PROGRESS, "VAVE8> BlockWrite(), ret val is %d", result);
    return result;
}
