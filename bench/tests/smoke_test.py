#!/usr/bin/env python3
"""A short run of vave8bench: it must finish, write JSON that parses, find
the driver's transactions answered with the right values, and find no heap
call inside NuvMain. Timing figures are not judged here: that is what the
benchmark itself is for, on a quiet machine."""
import json
import os
import subprocess
import sys
import tempfile


def main():
    bench = sys.argv[1]
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "bench.json")
        run = subprocess.run([bench, "--quick", "--traced", "5", "--json", out],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True, timeout=240)
        print(run.stdout)
        problems = []
        if run.returncode != 0:
            problems.append(f"exit status {run.returncode}")
        with open(out) as f:
            figures = json.load(f)

    kinds = figures["driver"]
    if len(kinds) != 5:
        problems.append(f"{len(kinds)} kinds of transaction, expected 5")
    for key, kind in kinds.items():
        if kind["transactions"] < 1 or kind["failures"] != 0 or not kind["values_right"]:
            problems.append(f"{key}: {kind['transactions']} transactions, "
                            f"{kind['failures']} failed, values right {kind['values_right']}")
        if kind["heap_calls"] != 0:
            problems.append(f"{key}: {kind['heap_calls']} heap calls inside NuvMain")
    if figures["heap_calls_inside_nuvmain"] != 0:
        problems.append("heap calls inside NuvMain")

    silent = figures["silent_station"]
    if not silent["ran"] or silent["answered_failed"] != len(silent["measured_s"]):
        problems.append("the silent station's reads did not all fail")
    # Whatever the load, a read never gives up before its three time limits.
    if any(s < silent["expected_s"] for s in silent["measured_s"]):
        problems.append(f"a silent read ended early: {silent['measured_s']}")

    for paced in figures["paced"]:
        if paced["failures"] != 0 or not paced["values_right"]:
            problems.append(f"paced reads at {paced['baud']} failed")

    for problem in problems:
        print("FAILED:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
