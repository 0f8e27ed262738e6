// The PPCCOM frame layer: framing, byte doubling, CRC and the hunt for the
// start characters. See frame.h for the frame format.
#include "link/frame.h"

#include "driver/log.h"
#include "driver/records.h"

namespace {

bool IsDoubled(uint8_t byte) {
    return byte == kStart1 || byte == kStart2;
}

// Reads the byte after a doubled one into `copy`: 0 when it matches, 1 when
// it does not, 2 when the read failed.
int32_t ReadCopy(uint8_t first, PortHandle port, uint8_t* crc) {
    uint8_t copy = 0;
    if (getChar(&copy, port) != 0) return 2;
    if (crc != nullptr) CrcUpdate(crc, copy);
    return copy == first ? 0 : 1;
}

// Shared by getByte and getCrc; a null register means no CRC steps.
int32_t ReadByte(uint8_t* byte, PortHandle port, uint8_t* crc) {
    if (getChar(byte, port) != 0) return 2;
    if (crc != nullptr) CrcUpdate(crc, *byte);
    if (!IsDoubled(*byte)) return 0;
    return ReadCopy(*byte, port, crc);
}

// Shared by putByte and putCrc; a null register means no CRC steps.
int32_t WriteByte(uint8_t byte, PortHandle port, uint8_t* crc) {
    if (putChar(byte, port) != 0) return 2;
    if (crc != nullptr) CrcUpdate(crc, byte);
    if (!IsDoubled(byte)) return 0;
    const int32_t result = putChar(byte, port);
    if (crc != nullptr) CrcUpdate(crc, byte);
    return result;
}

// Reads until the pair 0xF1 0x59 has been seen. A byte read right after a
// 0xF1 never starts a pair itself, so a doubled 0xF1 from inside some frame
// is dropped as a pair. 0 when the pair arrived, 2 on a silent line or when
// kHuntLimit bytes went by without one.
int32_t HuntStart(PortHandle port) {
    int32_t dropped = 0;
    while (dropped < kHuntLimit) {
        uint8_t byte = 0;
        if (getChar(&byte, port) != 0) {
            err(LOG_PROGRESS, "VAVE8> Receive() timeout reading start character");
            return 2;
        }
        if (byte != kStart1) {
            ++dropped;
            continue;
        }
        if (getChar(&byte, port) != 0) {
            err(LOG_PROGRESS, "VAVE8> Receive() timeout reading 2nd start character");
            ++dropped;
            continue;
        }
        if (byte == kStart2) return 0;
        dropped += 2;
    }
    err(LOG_PROGRESS, "VAVE8> Receive() no start characters in %d bytes", dropped);
    return 2;
}

}  // namespace

void CrcUpdate(uint8_t* crc, uint8_t byte) {
    const uint8_t rotated = static_cast<uint8_t>((*crc >> 1) | (*crc << 7));
    *crc = static_cast<uint8_t>(rotated ^ byte);
}

int32_t putChar(uint8_t byte, PortHandle port) {
    uint32_t written = 0;
    if (PortWrite(port, &byte, 1, &written) != PORT_OK || written != 1) {
        err(LOG_PROGRESS, "VAVE8> putChar() Unable to send byte to com port");
        return 2;
    }
    return 0;
}

int32_t getChar(uint8_t* byte, PortHandle port) {
    uint32_t received = 0;
    if (PortRead(port, byte, 1, &received) != PORT_OK || received != 1) {
        err(LOG_PROGRESS, "VAVE8> getChar() Unable to recieve byte from com port");
        return 2;
    }
    return 0;
}

int32_t putByte(uint8_t byte, PortHandle port, uint8_t* crc) {
    return WriteByte(byte, port, crc);
}

int32_t putCrc(uint8_t crc, PortHandle port) {
    return WriteByte(crc, port, nullptr);
}

int32_t getByte(uint8_t* byte, PortHandle port, uint8_t* crc) {
    return ReadByte(byte, port, crc);
}

int32_t getCrc(uint8_t* byte, PortHandle port) {
    return ReadByte(byte, port, nullptr);
}

int32_t Send(const uint8_t* block, int32_t length, PortHandle port) {
    // The length field holds 16 bits and the transactions never build more
    // than a buffer's worth; anything else is a caller's fault, not a frame.
    if (length < 0 || length > kBlockBufferSize) {
        err(LOG_PROGRESS, "VAVE8> Send() invalid length of data %d", length);
        return 2;
    }
    uint8_t crc = 0;

    if (putChar(kStart1, port) != 0 || putChar(kStart2, port) != 0) {
        err(LOG_PROGRESS, "VAVE8> Send() Unable to send start characters");
        return 2;
    }
    if (putByte(static_cast<uint8_t>(length / 256), port, &crc) != 0 ||
        putByte(static_cast<uint8_t>(length % 256), port, &crc) != 0) {
        err(LOG_PROGRESS, "VAVE8> Send() Unable to send length of data");
        return 2;
    }
    for (int32_t i = 0; i < length; ++i) {
        if (putByte(block[i], port, &crc) != 0) {
            err(LOG_PROGRESS, "VAVE8> Send() Unable to send data part");
            return 2;
        }
    }
    if (putCrc(crc, port) != 0) {
        err(LOG_PROGRESS, "VAVE8> Send() Unable to send CRC");
        return 2;
    }
    return 0;
}

int32_t Receive(uint8_t* buffer, int32_t* length, PortHandle port) {
    uint8_t crc = 0;

    // Bytes dropped by the hunt are not part of any frame and feed nothing.
    if (HuntStart(port) != 0) return 2;

    uint8_t high = 0;
    uint8_t low = 0;
    if (getByte(&high, port, &crc) != 0 || getByte(&low, port, &crc) != 0) {
        err(LOG_PROGRESS, "VAVE8> Recieve() unable to read length message");
        return 2;
    }
    const int32_t announced = high * 256 + low;
    *length = announced;
    // Checked before a single data byte is read, so no frame can write past
    // the caller's buffer.
    if (announced > kBlockBufferSize) {
        err(LOG_PROGRESS, "VAVE8> Recieve() invalid message length (too long)");
        return 2;
    }
    for (int32_t i = 0; i < announced; ++i) {
        // Stored only once whole, so a failed byte leaves its place untouched.
        uint8_t byte = 0;
        if (getByte(&byte, port, &crc) != 0) {
            err(LOG_PROGRESS, "VAVE8> Recieve() error in reading data part message");
            return 2;
        }
        buffer[i] = byte;
    }
    uint8_t received = 0;
    if (getCrc(&received, port) != 0) {
        err(LOG_PROGRESS, "VAVE8> Recieve() unable to read CRC");
        return 2;
    }
    if (received != crc) {
        err(LOG_PROGRESS, "VAVE8> Recieve() CRC check failed");
        return 2;
    }
    return 0;
}
