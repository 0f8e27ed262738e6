// Text in and out of the host tool: numbers typed by the engineer, values in
// a gate's value area, the driver's banner, and the request and reply blocks
// the driver leaves in its instance.
//
// Nothing here touches the driver; every function works on plain bytes so
// that it can be checked without a module or a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vave8ctl {

// A whole text as one integer: decimal with an optional sign, or hexadecimal
// with 0x. Fails on anything else (empty, trailing characters, out of range).
bool ParseInteger(std::string_view text, int64_t min, int64_t max, int64_t* out);

// The same for a decimal with a fraction, e.g. a stop-bit count of 1.5.
bool ParseDecimal(std::string_view text, double* out);

// Bytes per item and nibbles per item of a memory type ('2', '4', '8', '9');
// 0 for anything else.
int ItemBytes(int32_t memoryType);

// The gate type a host would give a single gate of this memory type: '2' 0
// (6 with a bit), '4' 1, '8' 4, '9' 3.
uint32_t NaturalGateType(int32_t memoryType, int32_t bitNumber);

// What the host's gate type codes mean.
const char* GateTypeName(uint32_t gateType);

// The memory type as the character a person reads, or '?' when it is none.
char MemoryTypeChar(int32_t memoryType);
const char* MemoryTypeName(int32_t memoryType);

// One value as the engineer typed it, checked against the memory type and
// turned into the slot's raw bits ('9': the float's bit pattern; 0x... gives
// the raw pattern itself). On failure `error` says why. A decimal that a
// 32-bit float cannot hold exactly leaves in `note` (when given) what is
// stored instead: the nearest float, or 0 for one too small.
bool ParseGateValue(int32_t memoryType, bool isBit, std::string_view text, uint32_t* raw,
                    std::string* error, std::string* note = nullptr);

// The last item of a memory type: its items fill the 16-bit nibble address
// range (32 KiB). -1 for anything else.
int32_t LastItem(int32_t memoryType);

// Characters of an address text that the driver passes over without a word:
// a bit digit (character 7, counted from 0) for a memory type other than
// '2', and anything in characters 8 to 10. Empty when there are none;
// otherwise which they are and the text the driver takes instead.
std::string IgnoredAddressCharacters(std::string_view address);

// One slot value for display: '2' and '4' decimal and hex, a bit as 0 or 1,
// '8' signed decimal and hex, '9' the float and its raw bits.
std::string FormatGateValue(int32_t memoryType, bool isBit, uint32_t raw);

// Value area slots: 16-bit at `offset` or 32-bit at `offset`, little-endian,
// read and written byte by byte.
uint32_t LoadSlot(const uint8_t* area, size_t offset, int width);
void StoreSlot(uint8_t* area, size_t offset, int width, uint32_t value);

// Where single and block transfers keep their values, and how wide a slot is.
int SlotWidth(int32_t memoryType);  // 16 or 32
size_t SingleSlotOffset(int32_t memoryType);
size_t BlockSlotOffset(int32_t memoryType, int32_t index);

// Code page 437 text to UTF-8; backspaces are dropped.
std::string Cp437ToUtf8(std::string_view text);

// Bytes as "0A 1B 2C", at most `limit` of them, then " ..." if there are more.
std::string HexBytes(const uint8_t* bytes, size_t count, size_t limit = 64);

// The request block at the start of `request` (bytes 0..5 and the data of a
// write) in words: code, station, nibble range and what it covers in items of
// `memoryType`, data bytes. `memoryType` is the gate's, which the block itself
// does not carry.
std::string DescribeRequest(const uint8_t* request, size_t size, int32_t memoryType);

// The reply block at the start of `reply`: DATA with the data bytes the request
// asked for, DONE, ERROR with its code, or UNKNOWN with its type byte.
// `dataBytes` is how many data bytes the request asked for.
std::string DescribeReply(const uint8_t* reply, size_t size, size_t dataBytes);

// Data bytes a request asks for (read) or carries (write), from its nibble
// range: (end - start + 1) nibbles, modulo 65536, halved.
size_t RequestDataBytes(const uint8_t* request);

// A JSON string literal of `s`: quotes, backslashes and control characters
// escaped.
std::string JsonString(const std::string& s);

}  // namespace vave8ctl
