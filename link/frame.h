// PPCCOM frames: one block across the serial line.
//
// On the line a frame is 0xF1 0x59, a 16-bit length (high byte first), the
// block's bytes and one CRC byte. After the two start characters every 0xF1
// and 0x59 goes out twice, so a start pair can never appear inside a frame.
// The CRC register rotates right by one bit and takes the byte by XOR; it is
// fed every length and data byte as it goes on the line, each copy of a
// doubled byte included.
//
// Every byte moves through one one-byte PortWrite or PortRead call; the layer
// buffers nothing and keeps nothing between calls. Every failure is logged
// at level 8 where it is found and gives 2.
#pragma once

#include <cstdint>

#include "port/port.h"

constexpr uint8_t kStart1 = 0xF1;
constexpr uint8_t kStart2 = 0x59;

// Bytes the hunt for a start pair may drop before Receive gives up: a line
// that keeps delivering noise must not hold the host's scan forever.
constexpr int32_t kHuntLimit = 2048;

// Wraps `length` bytes (0 to 262) of `block` in a frame and writes it.
// 0 when the whole frame went out, 2 otherwise.
int32_t Send(const uint8_t* block, int32_t length, PortHandle port);

// Reads one frame into `buffer` (at least 262 bytes). The announced length
// is stored through `length` as soon as it is read. 0 when a frame with a
// matching CRC byte arrived, 2 otherwise.
int32_t Receive(uint8_t* buffer, int32_t* length, PortHandle port);

// One byte out or in: 0, or 2 after logging the byte-level line.
int32_t putChar(uint8_t byte, PortHandle port);
int32_t getChar(uint8_t* byte, PortHandle port);

// A length or data byte, doubled on the line when it is 0xF1 or 0x59, with
// one CRC step per copy. getByte gives 1 when the copy differs.
int32_t putByte(uint8_t byte, PortHandle port, uint8_t* crc);
int32_t getByte(uint8_t* byte, PortHandle port, uint8_t* crc);

// The CRC byte: doubled like any other, but never fed to the register.
int32_t putCrc(uint8_t crc, PortHandle port);
int32_t getCrc(uint8_t* byte, PortHandle port);

void CrcUpdate(uint8_t* crc, uint8_t byte);
