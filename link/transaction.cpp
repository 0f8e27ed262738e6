// The request header, item sizes and the attempt rule shared by reads and
// writes.
#include "link/transaction.h"

#include "driver/log.h"
#include "link/frame.h"
#include "port/port.h"

int32_t Scale(int32_t memoryType) {
    switch (memoryType) {
        case MEM_BYTE:
            return 2;
        case MEM_WORD:
            return 4;
        case MEM_DWORD:
        case MEM_FLOAT:
            return 8;
        default:
            return 1;
    }
}

int32_t ItemBytes(int32_t memoryType) {
    switch (memoryType) {
        case MEM_BYTE:
            return 1;
        case MEM_WORD:
            return 2;
        case MEM_DWORD:
        case MEM_FLOAT:
            return 4;
        default:
            return 0;
    }
}

int32_t MaxBlockItems(int32_t memoryType) {
    const int32_t bytes = ItemBytes(memoryType);
    return bytes == 0 ? -1 : kMaxBlockBytes / bytes;
}

int32_t ItemCount(const GateTransfer* gate, Mode mode) {
    return mode == Mode::Single ? 1 : gate->count;
}

bool TouchesValueArea(const GateTransfer* gate, Mode mode) {
    return ItemBytes(gate->memoryType) != 0 && ItemCount(gate, mode) > 0;
}

bool BadBitNumber(const GateTransfer* gate, Mode mode) {
    return mode == Mode::Single && gate->memoryType == MEM_BYTE && gate->bitNumber != -1 &&
           (gate->bitNumber < 0 || gate->bitNumber > 7);
}

void PutRequestHeader(uint8_t* request, uint8_t code, const GateTransfer* gate, Mode mode) {
    // Addresses and counts are taken modulo 65536, as the PLC's are.
    const uint32_t scale = static_cast<uint32_t>(Scale(gate->memoryType));
    const uint32_t item = static_cast<uint32_t>(gate->itemAddress) & 0xFFFFu;
    const uint32_t count = static_cast<uint32_t>(ItemCount(gate, mode)) & 0xFFFFu;
    const uint16_t start = static_cast<uint16_t>(item * scale);
    const uint16_t end = static_cast<uint16_t>(start + count * scale - 1u);

    request[0] = code;
    request[1] = static_cast<uint8_t>(gate->station & 0xFF);
    request[2] = static_cast<uint8_t>(start >> 8);
    request[3] = static_cast<uint8_t>(start & 0xFF);
    request[4] = static_cast<uint8_t>(end >> 8);
    request[5] = static_cast<uint8_t>(end & 0xFF);
}

int32_t Exchange(DriverInstance* inst, int32_t requestLength, uint8_t expected, int32_t minLength,
                 const AttemptTexts& texts) {
    const PortHandle port = inst->portHandle;
    // Whatever is waiting now answers an earlier request (a reply that came
    // after its transaction gave up); it must not be taken for this one's.
    // Between attempts nothing is dropped: a late answer to this very
    // request is as good as a timely one.
    PortFlushInput(port);

    int32_t result = 2;
    for (int32_t attempt = 1; attempt <= 3; ++attempt) {
        if (Send(inst->request, requestLength, port) != 0) {
            result = 2;
            err(LOG_PROGRESS, texts.sendError, attempt);
            continue;
        }
        int32_t length = 0;
        if (Receive(inst->reply, &length, port) != 0) {
            result = 2;
            err(LOG_PROGRESS, texts.replyError, attempt);
            continue;
        }
        // Judged only from bytes this reply carried: the buffer beyond them
        // still holds an older reply.
        const uint8_t type = length >= 1 ? inst->reply[0] : 0;
        const bool isError = length >= 1 && type == kErrorBlock;
        const bool isExpected = length >= 1 && type == expected;
        if (length < 1 || (isError && length < 4) || (isExpected && length < minLength)) {
            result = 2;
            err(LOG_PROGRESS, texts.shortBlock, length, attempt);
            continue;
        }
        if (isError) {
            const uint8_t code = inst->reply[3];
            result = 2;
            err(LOG_PROGRESS, texts.errorBlock, code, attempt);
            if (code != kErrorBusy && code != kErrorRetry) break;
            continue;
        }
        if (isExpected) {
            result = 0;
            break;
        }
        result = 2;
        err(LOG_PROGRESS, texts.unknownBlock, type, attempt);
    }
    return result;
}

uint16_t LoadSlot16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t LoadSlot32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void StoreSlot16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value & 0xFF);
    p[1] = static_cast<uint8_t>(value >> 8);
}

void StoreSlot32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
}
