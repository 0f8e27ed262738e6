// What read and write transactions share: the request header, the reply
// block types, the item sizes of each memory type and the attempt rule.
#pragma once

#include <cstdint>

#include "driver/records.h"

enum class Mode { Single, Block };

constexpr uint8_t kReadRequest = 0xA2;
constexpr uint8_t kWriteRequest = 0xA1;
constexpr int32_t kRequestHeaderSize = 6;

// Byte 0 of a reply block.
constexpr uint8_t kDoneBlock = 0;
constexpr uint8_t kErrorBlock = 1;
constexpr uint8_t kDataBlock = 3;

// ERROR codes after which the PLC may well answer the same request.
constexpr uint8_t kErrorBusy = 0x0C;
constexpr uint8_t kErrorRetry = 0x25;

// A block carries at most 256 bytes of PLC memory.
constexpr int32_t kMaxBlockBytes = 256;

// Width of one item in nibbles: the factor between item and nibble address.
// 1 for a memory type the driver does not know.
int32_t Scale(int32_t memoryType);

// Bytes of one item on the line; 0 for a memory type the driver does not know.
int32_t ItemBytes(int32_t memoryType);

// Largest item count of a block of this memory type; -1 when not limited.
int32_t MaxBlockItems(int32_t memoryType);

// Items a transfer moves: 1 in single mode, the item count in block mode.
int32_t ItemCount(const GateTransfer* gate, Mode mode);

// Whether the transfer reads or writes the gate's value area at all.
bool TouchesValueArea(const GateTransfer* gate, Mode mode);

// True for a single transfer of a byte whose bit number is neither -1 nor
// 0..7: no shift by such a number means anything.
bool BadBitNumber(const GateTransfer* gate, Mode mode);

// Writes the six header bytes: request code, station, start and inclusive end
// nibble address (16-bit arithmetic, so a block may wrap past 0xFFFF).
void PutRequestHeader(uint8_t* request, uint8_t code, const GateTransfer* gate, Mode mode);

// The log lines of one kind of transaction, each with a %d for the attempt.
struct AttemptTexts {
    const char* sendError;     // Send failed
    const char* replyError;    // Receive failed
    const char* errorBlock;    // ERROR block: code, attempt
    const char* unknownBlock;  // unexpected block type: type, attempt
    const char* shortBlock;    // too short to judge: length, attempt
};

// The attempt rule: discards stale input, then sends the request in the
// instance's request buffer up to three times, until a reply block of type
// `expected` and at least `minLength` bytes is in the reply buffer (0). A
// failed exchange, an unexpected or short block and ERROR codes 0x0C and 0x25
// lead to the next attempt; any other ERROR code ends it at once (2).
int32_t Exchange(DriverInstance* inst, int32_t requestLength, uint8_t expected, int32_t minLength,
                 const AttemptTexts& texts);

// 16- and 32-bit slots of the host's value area: little-endian host integers,
// taken and stored byte by byte so no alignment is assumed.
uint16_t LoadSlot16(const uint8_t* p);
uint32_t LoadSlot32(const uint8_t* p);
void StoreSlot16(uint8_t* p, uint16_t value);
void StoreSlot32(uint8_t* p, uint32_t value);

// The transactions, for the operations and for tests.
int32_t DoBlockRead(NuvCall* call, Mode mode);
void BuildReadRequest(const GateTransfer* gate, uint8_t* request, int32_t* length, Mode mode);
int32_t DecodeReadReply(const GateTransfer* gate, const uint8_t* reply, Mode mode);

int32_t DoBlockWrite(NuvCall* call, Mode mode);
int32_t BuildWriteRequest(GateTransfer* gate, uint8_t* request, int32_t* length, Mode mode,
                          NuvCall* call);
int32_t EncodeWriteData(GateTransfer* gate, uint8_t* data, Mode mode, NuvCall* call);
