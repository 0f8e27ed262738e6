#!/usr/bin/env python3
"""vave8ctl tags on the reference plant, read back with Python's own csv,
tomllib and json: the plan covers every tag of the file once, inside its
station's and period's blocks, and its line time is the cost model's.

    cli_test.py VAVE8CTL PLANT_DIR
"""
import csv
import json
import os
import subprocess
import sys
import tempfile
import tomllib
import unittest

VAVE8CTL = PLANT = None
WIDTH = {"bool": 1, "int8": 1, "uint8": 1, "int16": 2, "uint16": 2, "int32": 4, "uint32": 4, "float32": 4}
DEFAULT = {"4": "uint16", "8": "int32", "9": "float32"}


def run(*args):
    return subprocess.run([VAVE8CTL, "tags", *args], capture_output=True, text=True, timeout=60)


class Plant(unittest.TestCase):
    def test_files_are_what_the_generator_writes(self):
        done = subprocess.run([sys.executable, os.path.join(PLANT, "make_plant.py"), "--check"],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

    def test_check_passes(self):
        done = run("check", os.path.join(PLANT, "plant.toml"))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("2000 tags", done.stdout)
        self.assertIn("on 16 stations", done.stdout)

    def test_plan_covers_every_tag_in_its_own_block(self):
        with open(os.path.join(PLANT, "plant.toml"), "rb") as f:
            line = tomllib.load(f)["line"]
        tags = {}
        with open(os.path.join(PLANT, "plant.csv"), newline="") as f:
            for row in csv.DictReader(f):
                address = row["address"]
                memory = address[2]
                kind = row["type"] or (("bool" if len(address) > 7 else "uint8") if memory == "2"
                                       else DEFAULT[memory])
                first = int(address[3:7], 16) // 2
                tags[row["name"]] = (int(address[:2], 16), int(row["scan_ms"] or line["scan_ms"]),
                                     first, first + WIDTH[kind])
        self.assertEqual(len(tags), 2000)
        for baud in (9600, 115200):
            done = run("plan", os.path.join(PLANT, "plant.toml"), "--json", "--baud", str(baud))
            self.assertEqual(done.returncode, 0, done.stderr)
            plan = json.loads(done.stdout)
            seen = []
            total = 0
            for block in plan["blocks"]:
                self.assertTrue(1 <= block["length"] <= 256, block)
                end = block["first"] + block["length"]
                for name in block["tags"]:
                    station, period, first, last = tags[name]
                    self.assertEqual((station, period), (block["station"], block["period_ms"]), name)
                    self.assertTrue(block["first"] <= first and last <= end, name)
                    seen.append(name)
                # 8E1: 11 bits a character; the file's turnaround.
                total += (18 + block["length"]) * 11 * 1000 / baud + line["turnaround_ms"]
            self.assertEqual(sorted(seen), sorted(tags))
            self.assertAlmostEqual(plan["line_ms"], total, places=2)

    def test_text_plan_and_overrides(self):
        slow = run("plan", os.path.join(PLANT, "plant.toml"), "--turnaround-ms", "50")
        self.assertEqual(slow.returncode, 0, slow.stderr)
        self.assertRegex(slow.stdout, r"station 15, every 30000 ms: \d+ blocks")
        self.assertIn("turnaround 50.0 ms", slow.stdout)


class BadFiles(unittest.TestCase):
    def test_every_error_with_its_line_and_exit_1(self):
        with tempfile.TemporaryDirectory() as d:
            with open(os.path.join(d, "t.csv"), "w") as f:
                f.write("name,address,type\nok,0120010,\nbad,0340100,float32\nbad2,0120011,\n")
            config = os.path.join(d, "c.toml")
            with open(config, "w") as f:
                f.write('[line]\nport = "ttyS0"\nspeed = 9600\n[tags]\nfile = "t.csv"\n')
            for action in ("check", "plan"):
                done = run(action, config)
                self.assertEqual(done.returncode, 1, done.stdout)
                lines = done.stderr.splitlines()
                self.assertEqual(lines[0], config + ":3: unknown key 'speed' in [line]")
                self.assertTrue(lines[1].startswith(os.path.join(d, "t.csv") + ":3: type float32"), lines)
                self.assertTrue(lines[2].startswith(os.path.join(d, "t.csv") + ":4: address '0120011'"), lines)
                self.assertIn("3 errors", lines[3])
                self.assertEqual(done.stdout, "")

    def test_usage_errors(self):
        for args in ([], ["check"], ["lint", "x.toml"], ["check", "x.toml", "--json"],
                     ["plan", "x.toml", "--baud", "0"], ["plan", "x.toml", "--frobnicate"]):
            self.assertEqual(run(*args).returncode, 64, args)
        self.assertEqual(run("check", "/nonexistent/x.toml").returncode, 1)


if __name__ == "__main__":
    VAVE8CTL, PLANT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
