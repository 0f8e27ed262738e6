// Read transactions: one item, one bit or a block of PLC memory into the
// gate's value area.
#include "driver/log.h"
#include "driver/operations.h"
#include "link/transaction.h"

namespace {

constexpr AttemptTexts kReadTexts = {
    "VAVE8> DoBlockRead() Send request error retry %d",
    "VAVE8> DoBlockRead() Read reply error retry %d",
    "VAVE8> DoBlockRead() Recieved ERROR block 0x%02x retry %d",
    "VAVE8> DoBlockRead() Recieved UNKNOWN block 0x%02x retry %d",
    "VAVE8> DoBlockRead() Recieved short block, length %d retry %d",
};

GateTransfer* GateOf(NuvCall* call) {
    return static_cast<GateTransfer*>(call->args);
}

// Bytes a data block needs for the decoding: its two header bytes and every
// item. Above the buffer size no reply can satisfy it.
int32_t DataBlockLength(const GateTransfer* gate, Mode mode) {
    const int64_t count = ItemCount(gate, mode);
    const int64_t needed = 2 + (count > 0 ? count * ItemBytes(gate->memoryType) : 0);
    return needed > kBlockBufferSize ? kBlockBufferSize + 1 : static_cast<int32_t>(needed);
}

// A block count the decoding can hold: the parser's limits by memory type.
bool ReadCountFits(const GateTransfer* gate) {
    const int32_t max = MaxBlockItems(gate->memoryType);
    return max < 0 || gate->count <= max;
}

}  // namespace

void BuildReadRequest(const GateTransfer* gate, uint8_t* request, int32_t* length, Mode mode) {
    PutRequestHeader(request, kReadRequest, gate, mode);
    *length = kRequestHeaderSize;
}

int32_t DecodeReadReply(const GateTransfer* gate, const uint8_t* reply, Mode mode) {
    const int32_t bytes = ItemBytes(gate->memoryType);
    if (bytes == 0) return 1;
    const uint8_t* data = reply + 2;
    uint8_t* value = gate->value;

    if (mode == Mode::Single) {
        switch (gate->memoryType) {
            case MEM_BYTE:
                if (gate->bitNumber >= 0 && gate->bitNumber <= 7) {
                    StoreSlot16(value + 2, static_cast<uint16_t>((data[0] >> gate->bitNumber) & 1));
                } else {
                    StoreSlot16(value + 2, data[0]);
                }
                break;
            case MEM_WORD:
                StoreSlot16(value + 2, static_cast<uint16_t>(data[0] << 8 | data[1]));
                break;
            default:  // '8' and '9': a '9' keeps its raw bits
                StoreSlot32(value, static_cast<uint32_t>(data[0]) << 24 |
                                       static_cast<uint32_t>(data[1]) << 16 |
                                       static_cast<uint32_t>(data[2]) << 8 | data[3]);
                break;
        }
        return 0;
    }

    // Never past the reply buffer, whatever count the caller hands in.
    const int32_t fit = (kBlockBufferSize - 2) / bytes;
    const int32_t count = gate->count < fit ? gate->count : fit;
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t* item = data + i * bytes;
        switch (gate->memoryType) {
            case MEM_BYTE:
                StoreSlot16(value + 2 * i, item[0]);
                break;
            case MEM_WORD:
                StoreSlot16(value + 2 * i, static_cast<uint16_t>(item[0] << 8 | item[1]));
                break;
            default:
                StoreSlot32(value + 4 * i, static_cast<uint32_t>(item[0]) << 24 |
                                               static_cast<uint32_t>(item[1]) << 16 |
                                               static_cast<uint32_t>(item[2]) << 8 | item[3]);
                break;
        }
    }
    return 0;
}

int32_t DoBlockRead(NuvCall* call, Mode mode) {
    DriverInstance* inst = call->instance;
    const GateTransfer* gate = GateOf(call);
    if (inst->portHandle == 0) return 1;
    // The operations refuse these before coming here; kept so no caller can
    // make the decoding shift by nonsense or write through a null area.
    if (BadBitNumber(gate, mode) || (gate->value == nullptr && TouchesValueArea(gate, mode))) {
        return 1;
    }

    int32_t length = 0;
    BuildReadRequest(gate, inst->request, &length, mode);
    const int32_t result =
        Exchange(inst, length, kDataBlock, DataBlockLength(gate, mode), kReadTexts);
    if (result != 0) {
        err(LOG_PROGRESS, "VAVE8> DoBlockRead() , ret val is %d", result);
        return result;
    }
    return DecodeReadReply(gate, inst->reply, mode);
}

int32_t SingleRead(NuvCall* call) {
    const GateTransfer* gate = GateOf(call);
    if (BadBitNumber(gate, Mode::Single)) {
        err(LOG_PROGRESS, "VAVE8> SingleRead() invalid bit number %d", gate->bitNumber);
        return 1;
    }
    if (gate->value == nullptr && TouchesValueArea(gate, Mode::Single)) {
        err(LOG_PROGRESS, "VAVE8> SingleRead() no value area");
        return 1;
    }
    const int32_t result = DoBlockRead(call, Mode::Single);
    if (result != 0) err(LOG_PROGRESS, "VAVE8> Single Read() , ret val is %d", result);
    return result;
}

int32_t BlockRead(NuvCall* call) {
    const GateTransfer* gate = GateOf(call);
    if (!ReadCountFits(gate)) {
        err(LOG_PROGRESS, "VAVE8> BlockRead(), blocksize too big");
        return 1;
    }
    if (gate->value == nullptr && TouchesValueArea(gate, Mode::Block)) {
        err(LOG_PROGRESS, "VAVE8> BlockRead() no value area");
        return 1;
    }
    const int32_t result = DoBlockRead(call, Mode::Block);
    if (result != 0) err(LOG_PROGRESS, "VAVE8> BlockRead(), ret val is %d", result);
    return result;
}
