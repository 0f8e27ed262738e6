#!/usr/bin/env python3
"""Writes the reference plant: plant.toml and plant.csv beside this script.

16 stations and 2,000 tags of every type, laid out as a plant's PLC programs
lay them out: clusters of neighbouring items (a machine's inputs, its
counters, its set points) with small holes inside a cluster and wide gaps
between clusters, a few scan periods, some writable and scaled tags. The
layout is drawn from a fixed seed, so running it again gives the same files.

    bench/plant/make_plant.py            rewrite both files
    bench/plant/make_plant.py --check    exit 1 when the files differ from
                                         what the script would write
"""
import io
import random
import sys
from pathlib import Path

STATIONS = 16
TAGS = 2000
SEED = 8
MEMORY = 0x8000  # bytes per station

# type: (memory type, bytes)
TYPES = {
    "bool": ("2", 1), "int8": ("2", 1), "uint8": ("2", 1),
    "int16": ("4", 2), "uint16": ("4", 2),
    "int32": ("8", 4), "uint32": ("8", 4), "float32": ("9", 4),
}
# What a cluster holds, by the kind of machine data it is.
CLUSTERS = [
    ("inputs", ["bool"] * 6 + ["uint8"]),
    ("outputs", ["bool"] * 5 + ["int8"]),
    ("counters", ["uint16", "uint16", "int16", "uint32"]),
    ("analog", ["int16", "float32", "float32", "int32"]),
    ("setpoints", ["float32", "uint16", "int32", "uint8"]),
]
PERIODS = [5000, 15000, 30000]  # ms; the [line] default is the middle one
UNITS = {"analog": ["degC", "bar", "m3/h", "%"], "setpoints": ["degC", "bar", "rpm"]}


def address(station, memory_type, byte, bit=None):
    nibble = byte * 2
    text = "%02X%s%04X" % (station, memory_type, nibble)
    return text + (str(bit) if bit is not None else "")


def csv_cell(text):
    if any(c in text for c in ',"\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


def layout(rng):
    """Yields the rows of every tag, station by station."""
    per_station = [TAGS // STATIONS] * STATIONS
    for s in range(TAGS % STATIONS):
        per_station[s] += 1
    for station in range(STATIONS):
        left = per_station[station]
        cursor = rng.randrange(0, 64) * 4
        number = 0
        while left > 0:
            kind, mix = rng.choice(CLUSTERS)
            size = min(left, rng.randrange(8, 40))
            period = rng.choices(PERIODS, weights=[1, 4, 3])[0]
            bit = 8  # no byte of bools open
            for _ in range(size):
                number += 1
                name = "st%02d/%s%d/%s%03d" % (station, kind, cursor // 256, kind[:-1], number)
                tag_type = rng.choice(mix)
                memory_type, width = TYPES[tag_type]
                if rng.random() < 0.12:
                    cursor += rng.randrange(1, 7)  # a hole inside the cluster
                    bit = 8
                if tag_type == "bool":
                    if bit == 8:
                        bit = 0
                        byte = cursor
                        cursor += 1
                    text = address(station, memory_type, byte, bit)
                    bit += rng.choice([1, 1, 2])
                    bit = min(bit, 8)
                else:
                    bit = 8
                    cursor = (cursor + width - 1) // width * width
                    text = address(station, memory_type, cursor)
                    cursor += width
                row = {"name": name, "address": text, "type": tag_type}
                if period != 15000:
                    row["scan_ms"] = str(period)
                if kind == "setpoints" or (kind == "outputs" and rng.random() < 0.5):
                    row["access"] = "rw"
                if kind == "analog" and tag_type != "float32":
                    row["scale"] = rng.choice(["0.1", "0.01", "0.5"])
                    row["offset"] = rng.choice(["", "-40", "0"])
                    row["deadband"] = "0.2"
                if kind in UNITS:
                    row["units"] = rng.choice(UNITS[kind])
                if rng.random() < 0.2:
                    row["description"] = rng.choice([
                        'line %d, "east" side' % station,
                        "pump %d, delivery" % number,
                        "spare",
                    ])
                yield row
            left -= size
            cursor += rng.randrange(40, 400)  # the next machine's data
            assert cursor < MEMORY - 512


def render():
    rng = random.Random(SEED)
    columns = ["name", "address", "type", "scan_ms", "access", "scale", "offset", "deadband", "units",
               "description"]
    out = io.StringIO()
    out.write(",".join(columns) + "\n")
    rows = list(layout(rng))
    assert len(rows) == TAGS and len({r["name"] for r in rows}) == TAGS
    assert {r["type"] for r in rows} == set(TYPES)
    for row in rows:
        out.write(",".join(csv_cell(row.get(c, "")) for c in columns) + "\n")
    toml = """# The reference plant: 16 stations, 2,000 tags (bench/plant/make_plant.py
# writes this file and plant.csv). Point port at the line, or at p8sim's.
[line]
name = "plant"
port = "ttyUSB0"
baud = 9600
parity = "even"
timeout_ms = 200
scan_ms = 15000
turnaround_ms = 5

[tags]
file = "plant.csv"
"""
    return toml, out.getvalue()


def main():
    here = Path(__file__).resolve().parent
    toml, csv = render()
    files = {here / "plant.toml": toml, here / "plant.csv": csv}
    if sys.argv[1:] == ["--check"]:
        stale = [p.name for p, text in files.items() if not p.exists() or p.read_text() != text]
        if stale:
            print("out of date: " + ", ".join(stale) + " (run bench/plant/make_plant.py)")
            return 1
        return 0
    for path, text in files.items():
        path.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
