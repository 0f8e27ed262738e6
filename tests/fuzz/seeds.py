#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz harnesses into corpus/<harness>/.

The input formats are described at the top of each harness. Seeds are small
and readable: the worked frames, doubled bytes, over-long announcements,
valid and refused addresses of each memory type, and a few whole transfer
scripts. Run it again after changing an input format; inputs that the
fuzzers found and that were worth keeping live beside the seeds under names
that do not start with "seed-".
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def crc_of(line_bytes):
    crc = 0
    for b in line_bytes:
        crc = (((crc >> 1) | (crc << 7)) & 0xFF) ^ b
    return crc


def frame(block):
    out = [0xF1, 0x59]
    crc = 0

    def put(b, feed):
        nonlocal crc
        for _ in range(2 if b in (0xF1, 0x59) else 1):
            out.append(b)
            if feed:
                crc = (((crc >> 1) | (crc << 7)) & 0xFF) ^ b

    put(len(block) >> 8, True)
    put(len(block) & 0xFF, True)
    for b in block:
        put(b, True)
    put(crc, False)
    return bytes(out)


def write(harness, name, data):
    folder = os.path.join(HERE, "corpus", harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(bytes(data))


# ---- fuzz_frame: flags, then segments ------------------------------------
def seg(data, kind=0):
    out = b""
    data = bytes(data)
    while data:
        part, data = data[:63], data[63:]
        out += bytes([kind << 6 | len(part)]) + part
    return out


def run(byte, count):
    """A flood of `count` copies: 1 to 64 (but 43), or 2048."""
    n = 42 if count == 2048 else count - 1
    assert (0 <= n < 64 and n != 42) or count == 2048
    return bytes([3 << 6 | n, byte])


def frame_seeds():
    worked = {
        "abc": (b"abc", "F15900036162636A"),
        "doubled-data": (b"\xF1\x02", "F1590002F1F102C6"),
        "doubled-crc": (b"\xD9", "F1590001D95959"),
        "empty": (b"", "F159000000"),
    }
    for name, (block, line) in worked.items():
        assert frame(block) == bytes.fromhex(line)
        write("fuzz_frame", "worked-" + name, b"\x04" + seg(bytes.fromhex(line)))
    write("fuzz_frame", "too-long-0107", b"\x00" + seg(bytes.fromhex("F1590107") + b"\x00" * 40))
    write("fuzz_frame", "too-long-ffff", b"\x00" + seg(bytes.fromhex("F159FFFF") + b"\x00" * 8))
    write("fuzz_frame", "length-262", b"\x04" + seg(frame(bytes(range(256)) + b"\xF1\x59" * 3)))
    write("fuzz_frame", "length-doubled", b"\x04" + seg(frame(b"\x59" * 89)))
    write("fuzz_frame", "noise-before", b"\x04" + seg(bytes.fromhex("3344F159000000")))
    write("fuzz_frame", "f1-after-f1", b"\x00" + seg(bytes.fromhex("F1F15900036162636A")))
    write("fuzz_frame", "f1f1f159", b"\x04" + seg(bytes.fromhex("F1F1F159000000")))
    write("fuzz_frame", "start-pair-inside", b"\x00" + seg(bytes.fromhex("F1590002F159") + frame(b"ok")))
    write("fuzz_frame", "bad-crc", b"\x00" + seg(bytes.fromhex("F15900036162636B") + frame(b"abc")))
    write("fuzz_frame", "lone-f1-silence", b"\x01" + seg(b"\xF1") + seg(frame(b"\x03\x00\x12"), 2))
    write("fuzz_frame", "silence-mid-frame", b"\x00" + seg(bytes.fromhex("F1590003")) +
          seg(bytes.fromhex("6162636A"), 2) + seg(frame(b"x")))
    write("fuzz_frame", "slow-line", b"\x06" + seg(frame(b"\x03\x00\xF1\x59\x10"), 1))
    write("fuzz_frame", "noise-flood", b"\x04" + run(0x00, 2048) + seg(frame(b"late")))
    write("fuzz_frame", "f1-flood", b"\x00" + run(0xF1, 2048) + seg(frame(b"late")))
    write("fuzz_frame", "noise-below-limit", b"\x04" + run(0x00, 64) * 31 + run(0x00, 63) +
          seg(frame(b"just")))
    write("fuzz_frame", "no-limit", b"\x07" + seg(frame(b"\x03\x00\x01\x02")) + seg(b"\xF1\x59\x00", 2))
    write("fuzz_frame", "write-fault", b"\x3C" + seg(frame(b"\x00")) + seg(frame(b"\x01\x02")))


# ---- fuzz_address: mode, gate type, block size, text ------------------------
def address(mode, gate_type, block_size, text):
    return bytes([mode, gate_type & 0xFF]) + struct.pack("<i", block_size) + text


def address_seeds():
    single = [
        ("byte", 0, b"0120010"),
        ("byte-wrong-type", 6, b"0120010"),
        ("bit", 6, b"012001A3"),
        ("lower-case", 0, b"0f40100"),
        ("float", 3, b"0390020"),
        ("dword-digit-ignored", 4, b"00800085"),
        ("dword-wrong-type", 3, b"0080008"),
        ("bad-digit", 0, b"00400008"),
        ("tail-ignored", 1, b"0120010 ab"),
        ("empty", 0, b""),
        ("six", 0, b"002000"),
        ("station-high", 0, b"1020000"),
        ("bad-type", 0, b"0320000"),
        ("bad-station", 0, b"0G20000"),
        ("ffff", 0, b"002FFFF"),
        ("top-byte", 0, b"002FFFE"),
        ("odd", 0, b"0020001"),
        ("word-boundary", 0, b"0040002"),
        ("dword-boundary", 4, b"0080004"),
        ("word-any-type", 6, b"04409990"),
        ("long-text", 0, b"0120010" + b"x" * 40),
    ]
    for name, gate_type, text in single:
        write("fuzz_address", "single-" + name, address(0, gate_type, 1, text))
    block = [
        ("byte-256", 256, b"0120010"),
        ("byte-257", 257, b"0120010"),
        ("word-128", 128, b"0f40100"),
        ("word-129", 129, b"0f40100"),
        ("float-64", 64, b"0390020"),
        ("dword-65", 65, b"0080008"),
        ("zero", 0, b"0020000"),
        ("negative", -1, b"0040000"),
        ("digital", 1, b"012001A3"),
    ]
    for name, size, text in block:
        write("fuzz_address", "block-" + name, address(1, 0, size, text))
    write("fuzz_address", "unterminated-short", address(4, 0, 1, b"012"))
    write("fuzz_address", "unterminated-valid", address(4, 4, 1, b"0080008"))
    write("fuzz_address", "null-text", address(6, 0, 1, b""))
    write("fuzz_address", "zero-inside", address(0, 0, 1, b"0120\x00010"))
    write("fuzz_address", "high-bytes", address(0, -1, -(2 ** 31), b"\xff\x80\x7f0120010"))


# ---- fuzz_transfer: limit, start flags, then operations ------------------
OPS = {"SingleRead": 0, "BlockRead": 1, "SingleWrite": 2, "BlockWrite": 3}
TYPE = {"2": 0, "4": 1, "8": 2, "9": 3}


def transfer(op, mtype, station, item, bit, count, seed, replies, flags=0):
    """One transfer operation; bit -1..7 as given, replies as (kind, delay, data)."""
    out = bytes([OPS[op] | flags, TYPE[mtype] if isinstance(mtype, str) else mtype,
                 station & 0xFF])
    out += struct.pack("<H", item & 0xFFFF) + bytes([(item >> 16) & 0xFF])
    out += bytes([bit + 1 if -1 <= bit <= 7 else {8: 0xC4, -2: 0xE3}[bit]])
    out += struct.pack("<h", count) + bytes([seed, len(replies)])
    for kind, delay, data in replies:
        k = kind | delay << 2
        if kind in (0, 1):
            k |= 0x10 if len(data) > 255 else 0
            out += bytes([k, len(data) & 0xFF]) + data
        elif kind == 3:
            out += bytes([k | (data << 4)])  # data: bytes cut from the answer
        else:
            out += bytes([k])
    return out


def lifecycle(which):
    codes = ["WarmStart", "CloseCom", "ReOpenCom", "EndNuv", "ChangeToCom1", "ChangeToCom2",
             "ChangeToNull", "ChangeToLongName"]
    return bytes([7 | codes.index(which) << 3])


HEALTHY = (3, 0, 0)


def transfer_seeds():
    head = bytes([9, 0])  # 100 ms per byte, port open
    write("fuzz_transfer", "reads-each-type", head +
          transfer("SingleRead", "2", 1, 0x10, -1, 1, 0, [HEALTHY]) +
          transfer("SingleRead", "2", 1, 0x10, 7, 1, 0, [HEALTHY]) +
          transfer("SingleRead", "4", 5, 0x20, -1, 1, 0, [HEALTHY]) +
          transfer("SingleRead", "8", 1, 0x10, -1, 1, 0, [HEALTHY]) +
          transfer("SingleRead", "9", 1, 0x10, -1, 1, 0,
                   [(0, 0, bytes.fromhex("03003F800000"))]))
    write("fuzz_transfer", "block-reads", head +
          transfer("BlockRead", "2", 0, 0, -1, 256, 0, [HEALTHY]) +
          transfer("BlockRead", "4", 3, 0x40, -1, 10, 0, [HEALTHY]) +
          transfer("BlockRead", "9", 3, 0, -1, 64, 0, [HEALTHY]) +
          transfer("BlockRead", "2", 0, 0x7FF8, -1, 16, 0, [HEALTHY]) +
          transfer("BlockRead", "4", 0, 0, -1, 0, 0, [HEALTHY]))
    write("fuzz_transfer", "writes-each-type", head +
          transfer("SingleWrite", "4", 5, 0x20, -1, 1, 7, [HEALTHY]) +
          transfer("SingleWrite", "8", 1, 0x10, -1, 1, 9, [HEALTHY]) +
          transfer("SingleWrite", "2", 1, 0x10, -1, 1, 0x80, [HEALTHY]) +
          transfer("BlockWrite", "2", 0, 0, -1, 256, 3, [HEALTHY]) +
          transfer("BlockWrite", "9", 0, 0, -1, 64, 5, [HEALTHY]))
    write("fuzz_transfer", "bit-write", head +
          transfer("SingleWrite", "2", 1, 0x10, 3, 1, 1, [HEALTHY, HEALTHY]) +
          transfer("SingleWrite", "2", 1, 0x10, 3, 1, 0, [HEALTHY, HEALTHY]) +
          transfer("SingleWrite", "2", 1, 0x10, 5, 1, 1, []))
    write("fuzz_transfer", "limits", head +
          transfer("BlockRead", "2", 0, 0, -1, 257, 0, []) +
          transfer("BlockWrite", "4", 0, 0, -1, 129, 0, []) +
          transfer("BlockWrite", "8", 0, 0, -1, -1, 0, []) +
          transfer("BlockWrite", "9", 0, 0, -1, 65, 0, []) +
          transfer("SingleRead", "2", 0, 0, 8, 1, 0, []) +
          transfer("SingleWrite", "2", 0, 0, -2, 1, 0, []))
    write("fuzz_transfer", "short-replies", head +
          transfer("BlockRead", "4", 0, 0, -1, 4, 0, [(3, 0, 1), (0, 0, b""), (0, 0, b"\x01\x00")]) +
          transfer("SingleRead", "8", 0, 0, -1, 1, 0, [(0, 0, b"\x03\x00\x01\x02"), HEALTHY]))
    write("fuzz_transfer", "error-blocks", head +
          transfer("SingleRead", "4", 0, 0, -1, 1, 0,
                   [(0, 0, b"\x01\x00\x00\x0C"), (0, 0, b"\x01\x00\x00\x25"), HEALTHY]) +
          transfer("SingleRead", "4", 0, 0, -1, 1, 0, [(0, 0, b"\x01\x00\x00\x01")]) +
          transfer("SingleWrite", "4", 0, 0, -1, 1, 0, [(0, 0, b"\x03\x00\x00\x00"), HEALTHY]))
    write("fuzz_transfer", "late-and-stale", head +
          transfer("SingleRead", "4", 0, 8, -1, 1, 0, [(3, 2, 0), (2, 0, None)], flags=0x10) +
          transfer("SingleRead", "4", 0, 8, -1, 1, 0, [HEALTHY], flags=0x30) +
          transfer("SingleWrite", "4", 0, 8, -1, 1, 0, [(3, 3, 0), HEALTHY], flags=0x20))
    write("fuzz_transfer", "raw-noise", head +
          transfer("SingleRead", "2", 0, 0, -1, 1, 0,
                   [(1, 0, bytes.fromhex("F1F159000303001B") + b"\x00" * 300), HEALTHY]))
    write("fuzz_transfer", "lifecycle", head +
          transfer("SingleRead", "4", 0, 0, -1, 1, 0, [HEALTHY]) +
          lifecycle("WarmStart") + lifecycle("ReOpenCom") + lifecycle("CloseCom") +
          transfer("SingleRead", "4", 0, 0, -1, 1, 0, [HEALTHY]) +
          lifecycle("ReOpenCom") +
          transfer("SingleRead", "4", 0, 0, -1, 1, 0, [HEALTHY]) +
          lifecycle("EndNuv") +
          transfer("SingleWrite", "2", 0, 0, 3, 1, 1, [HEALTHY]))
    write("fuzz_transfer", "change-params", head +
          lifecycle("ChangeToCom2") +
          transfer("BlockRead", "4", 0, 0, -1, 2, 0, [HEALTHY]) +
          lifecycle("ChangeToNull") +
          transfer("SingleWrite", "4", 0, 0, -1, 1, 0, []) +
          lifecycle("ChangeToLongName") + lifecycle("WarmStart") +
          transfer("SingleRead", "4", 0, 0, -1, 1, 0, []) +
          lifecycle("ChangeToCom1") +
          transfer("SingleRead", "4", 0, 0, -1, 1, 0, [HEALTHY]))
    write("fuzz_transfer", "no-port", bytes([9, 0x0F]) +
          transfer("SingleRead", "4", 0, 0, -1, 1, 0, []) + lifecycle("ReOpenCom"))
    write("fuzz_transfer", "odd-types", head +
          transfer("BlockRead", 0xF5, 0, 0x20, -1, 3, 0, [HEALTHY]) +
          transfer("BlockWrite", 0xF3, 0, 0x20, -1, 3, 0, [HEALTHY]) +
          transfer("SingleRead", 0xF4, 0, 0x20, -1, 1, 0, [HEALTHY], flags=0x08) +
          transfer("SingleWrite", 0xF0, 0, 0x20, -1, 1, 0, [HEALTHY], flags=0x08) +
          transfer("BlockWrite", 0xF1, 0, 0x20, -1, 9, 0, [HEALTHY], flags=0x08) +
          transfer("BlockRead", "4", 0, 0x20, -1, 0, 0, [HEALTHY], flags=0x08))
    write("fuzz_transfer", "no-limit", bytes([0xFF, 0]) +
          transfer("SingleRead", "4", 0, 0, -1, 1, 0, [HEALTHY, (2, 0, None)]))


if __name__ == "__main__":
    frame_seeds()
    address_seeds()
    transfer_seeds()
