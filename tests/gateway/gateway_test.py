"""vave8gw against the simulated PLC over a pseudo-terminal, driven by two
Modbus clients nobody here wrote: pymodbus (3.x API) and mbpoll. Values are
checked against the simulator's memory image (--load / --dump).

Usage: gateway_test.py VAVE8GW P8SIM [unittest arguments]
"""

import json
import logging
import os
import random
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from pymodbus.client import ModbusTcpClient

GATEWAY, SIMULATOR = sys.argv[1], sys.argv[2]
MEMORY = 32768
# The gateway's read time limit: room for a simulator that a loaded machine
# schedules late, short enough that a silent station costs little.
TICKS = "10"
RUNNING = []  # every child, stopped after each test even when it failed
logging.getLogger("pymodbus").setLevel(logging.CRITICAL)  # reconnects are expected


class Process:
    """A child whose stderr (or stdout) lines are collected as they come."""

    def __init__(self, args, ready, stream="stderr"):
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        RUNNING.append(self)
        self.lines = []
        self.cond = threading.Condition()
        self.readers = [threading.Thread(target=self._read, args=(pipe,), daemon=True)
                        for pipe in (self.proc.stdout, self.proc.stderr)]
        for reader in self.readers:
            reader.start()
        self.match = self.wait_for(ready)

    def _read(self, pipe):
        for line in pipe:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()

    def wait_for(self, pattern, timeout=10):
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for line in self.lines:
                    m = re.search(pattern, line)
                    if m:
                        return m
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None and not self.lines:
                    raise AssertionError(f"no line like {pattern!r} in {self.lines}")
                self.cond.wait(min(left, 0.2))

    def stop(self):
        if self.proc.stdout.closed:
            return self.proc.returncode
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            rc = self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = -1
        for reader in self.readers:
            reader.join(5)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return rc

    def text(self):
        with self.cond:
            return "\n".join(self.lines)


def load_file(path, image):
    """Writes {station: bytes} as a memory image."""
    with open(path, "w") as f:
        for station, data in image.items():
            for at in range(0, len(data), 16):
                f.write(f"{station}:{at:04X}: " + " ".join(f"{b:02X}" for b in data[at:at + 16]) + "\n")


def read_dump(path):
    image = {}
    with open(path) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            station, at, data = line.split(":", 2)
            mem = image.setdefault(int(station), bytearray(MEMORY))
            for i, b in enumerate(data.split()):
                mem[int(at, 16) + i] = int(b, 16)
    return image


class Line:
    """A simulator (stations 0-7) and a gateway on its pty."""

    def __init__(self, image=None, sim_args=(), gw_args=(), port=0):
        self.dir = tempfile.mkdtemp(prefix="gwtest")
        self.dump = os.path.join(self.dir, "dump.txt")
        self.log = os.path.join(self.dir, "sim.log")
        args = [SIMULATOR, "--stations", "0-7", "--dump", self.dump, "--log", self.log, *sim_args]
        if image:
            load_file(os.path.join(self.dir, "load.txt"), image)
            args += ["--load", os.path.join(self.dir, "load.txt")]
        self.sim = Process(args, r"^/dev/\S+$")
        self.pty = self.sim.match.group(0)
        self.gw = None
        self.start_gateway(gw_args, port)

    def start_gateway(self, gw_args=(), port=0):
        self.gw = Process([GATEWAY, "--port", self.pty, "--ticks", TICKS, "--stats-interval", "0",
                           "--listen", f"127.0.0.1:{port}", *gw_args], r"on 127\.0\.0\.1:(\d+)$")
        self.port = int(self.gw.match.group(1))

    def client(self):
        c = ModbusTcpClient("127.0.0.1", port=self.port, timeout=5, retries=0)
        assert c.connect()
        return c

    def requests_on_line(self):
        with open(self.log) as f:
            return sum(1 for line in f if " RX #" in line)

    def requests_after(self, before, at_least, timeout=2):
        """Requests the simulator logged since `before`, once at least
        `at_least` are in or `timeout` has passed: its log lags its replies."""
        deadline = time.monotonic() + timeout
        while self.requests_on_line() - before < at_least and time.monotonic() < deadline:
            time.sleep(0.01)
        return self.requests_on_line() - before

    def close(self):
        """Stops both; the memory image the simulator dumped."""
        if self.gw:
            self.gw.stop()
        self.sim.stop()
        return read_dump(self.dump)


def bits_of(data, first, count):
    return [(data[(first + k) // 8] >> ((first + k) % 8)) & 1 for k in range(count)]


def mbpoll(port, *args):
    out = subprocess.run(["mbpoll", "-m", "tcp", "-p", str(port), "-1", "-o", "2", *args],
                         capture_output=True, text=True, timeout=20)
    return out.returncode, out.stdout + out.stderr


class Case(unittest.TestCase):
    def tearDown(self):
        while RUNNING:
            RUNNING.pop().stop()


class Functions(Case):
    def test_every_function_on_both_memory_kinds_against_the_image(self):
        rng = random.Random(8)
        image = {3: bytes(rng.randrange(256) for _ in range(MEMORY)), 5: bytes(range(256)) * 128}
        line = Line(image)
        c = line.client()
        words = lambda st, r, n: [image[st][2 * i] << 8 | image[st][2 * i + 1] for i in range(r, r + n)]
        for station, first, count in ((3, 0, 125), (3, 16383 - 124, 125), (5, 64, 10)):
            self.assertEqual(c.read_holding_registers(first, count, slave=station).registers,
                             words(station, first, count))
            self.assertEqual(c.read_input_registers(first, count, slave=station).registers,
                             words(station, first, count))
        for first, count in ((0, 8), (13, 37), (65536 - 2000, 2000)):
            want = bits_of(image[3], first, count)
            self.assertEqual(c.read_coils(first, count, slave=3).bits[:count], want)
            self.assertEqual(c.read_discrete_inputs(first, count, slave=3).bits[:count], want)

        # The command an operator tries first: mbpoll's -r is 1-based.
        rc, out = mbpoll(line.port, "-a", "3", "-r", "65", "-c", "10", "127.0.0.1")
        self.assertEqual(rc, 0, out)
        shown = [int(v) for v in re.findall(r"^\[\d+\]:\s+(-?\d+)", out, re.M)]
        self.assertEqual(shown, words(3, 64, 10))

        expect = {st: bytearray(data) for st, data in image.items()}
        def put_word(st, r, v):
            expect[st][2 * r:2 * r + 2] = bytes((v >> 8, v & 0xFF))
        def put_bit(st, coil, v):
            mask = 1 << (coil % 8)
            expect[st][coil // 8] = expect[st][coil // 8] | mask if v else expect[st][coil // 8] & ~mask

        self.assertFalse(c.write_register(16383, 0xBEEF, slave=3).isError())
        put_word(3, 16383, 0xBEEF)
        values = [rng.randrange(65536) for _ in range(123)]
        self.assertFalse(c.write_registers(1000, values, slave=3).isError())
        for i, v in enumerate(values):
            put_word(3, 1000 + i, v)
        for coil, v in ((0, 1), (7, 0), (8 * 300 + 3, 1), (65535, 0)):
            self.assertFalse(c.write_coil(coil, bool(v), slave=5).isError())
            put_bit(5, coil, v)
        coils = [rng.randrange(2) for _ in range(21)]
        self.assertFalse(c.write_coils(8 * 400 + 5, [bool(v) for v in coils], slave=5).isError())
        for k, v in enumerate(coils):
            put_bit(5, 8 * 400 + 5 + k, v)
        rc, out = mbpoll(line.port, "-a", "5", "-r", "2001", "127.0.0.1", "17", "4660")
        self.assertEqual(rc, 0, out)
        put_word(5, 2000, 17)
        put_word(5, 2001, 4660)
        rc, out = mbpoll(line.port, "-a", "5", "-t", "0", "-r", "40001", "127.0.0.1", "1", "1", "0")
        self.assertEqual(rc, 0, out)
        for k, v in enumerate((1, 1, 0)):
            put_bit(5, 40000 + k, v)
        c.close()
        dumped = line.close()
        for st in (3, 5):
            self.assertEqual(dumped[st], expect[st], f"station {st}")


class Exceptions(Case):
    def test_each_exception_and_its_cause(self):
        # Station 4 refuses everything with an ERROR block, station 6 sends
        # bad CRCs, station 9 is not on the line.
        line = Line(sim_args=["--fault", "*:error=0x05@4,*:crc@6"],
                    gw_args=["--dead-backoff", "2"])
        c = line.client()
        cases = [  # (call, exception, cause in the log, traffic on the line)
            (lambda: c.read_holding_registers(0, 1, slave=4), 4, "Recieved ERROR block 0x05", True),
            (lambda: c.write_register(0, 1, slave=6), 4, "CRC check failed", True),
            (lambda: c.read_coils(0, 8, slave=9), 0x0B, "3 attempts", True),
            (lambda: c.read_coils(0, 8, slave=9), 0x0B, "in backoff", False),
            (lambda: c.read_holding_registers(0, 1, slave=16), 0x0A, "unit 16 is no station", False),
            (lambda: c.read_exception_status(slave=3), 0x01, "function 7 is not served", False),
            (lambda: c.read_holding_registers(16380, 5, slave=3), 0x02, "past the end", False),
            (lambda: c.read_holding_registers(0, 126, slave=3), 0x03, "count 126", False),
            (lambda: c.read_coils(0, 2001, slave=3), 0x03, "count 2001", False),
            (lambda: c.write_coils(0, [True] * 1969, slave=3), 0x03, "count 1969", False),
            (lambda: c.write_register(16384, 1, slave=3), 0x02, "past the end", False),
        ]
        for i, (call, exception, cause, traffic) in enumerate(cases):
            before = line.requests_on_line()
            start = time.monotonic()
            reply = call()
            took = time.monotonic() - start
            self.assertEqual(getattr(reply, "exception_code", None), exception, f"case {i}: {reply}")
            line.gw.wait_for(rf"exception 0x{exception:02X} .*{re.escape(cause)}", 2)
            if traffic:
                self.assertGreater(line.requests_after(before, 1), 0, f"case {i}")
            else:
                # Answered before three read time limits on the line could pass.
                self.assertLess(took, 3 * int(TICKS) / 100, f"case {i}")
                time.sleep(0.05)  # a request that went out would be logged by now
                self.assertEqual(line.requests_on_line(), before, f"case {i}")
        time.sleep(2.1)  # the backoff is over: the next request probes again
        before = line.requests_on_line()
        self.assertEqual(c.read_coils(0, 8, slave=9).exception_code, 0x0B)
        self.assertEqual(line.requests_after(before, 3), 3)
        c.close()
        line.gw.stop()
        stats = line.gw.wait_for(r"stats: (\d+) requests, (\d+) failed")
        self.assertEqual(stats.groups(), ("12", "12"))
        self.assertEqual(len(re.findall(r"exception 0x", line.gw.text())), 12)
        self.assertIn("unit 9: 3, 0x0B x3", stats.string)
        line.close()

    def test_read_only_and_allowed_ranges_send_nothing(self):
        # Every exchange is counted: a long limit, so that none is retried.
        line = Line(gw_args=["--read-only", "--ticks", "50"])
        c = line.client()
        self.assertEqual(c.write_register(0, 1, slave=3).exception_code, 1)
        self.assertEqual(c.write_coils(0, [True], slave=3).exception_code, 1)
        self.assertFalse(c.read_holding_registers(0, 1, slave=3).isError())
        c.close()
        line.gw.stop()
        line.start_gateway(["--allow-write", "3:hr:100-109", "--allow-write", "3:coil:8-15",
                            "--ticks", "50"])
        c = line.client()
        for call, ok in ((lambda: c.write_registers(100, [7] * 10, slave=3), True),
                         (lambda: c.write_register(99, 7, slave=3), False),
                         (lambda: c.write_registers(105, [7] * 10, slave=3), False),
                         (lambda: c.write_register(100, 7, slave=5), False),
                         (lambda: c.write_coils(8, [True] * 8, slave=3), True),
                         (lambda: c.write_coil(16, True, slave=3), False),
                         (lambda: c.write_coil(100, True, slave=3), False)):
            reply = call()
            self.assertEqual(getattr(reply, "exception_code", None), None if ok else 2, str(reply))
        c.close()
        self.assertEqual(line.requests_on_line(), 1 + 1 + 2)  # the read, FC16, FC15's read and write
        dumped = line.close()
        self.assertEqual(bytes(dumped[3][200:220]), bytes([0, 7]) * 10)
        self.assertEqual(dumped[3][1], 0xFF)
        self.assertNotIn(5, dumped)


class ManyClients(Case):
    def test_sixteen_clients_and_bad_ones_beside_them(self):
        line = Line()
        errors, written = [], {}

        def good(i):
            try:
                c = line.client()
                rng = random.Random(i)
                for _ in range(5):
                    values = [rng.randrange(65536) for _ in range(20)]
                    if c.write_registers(2000 + 20 * i, values, slave=i % 8).isError():
                        errors.append(f"client {i}: write failed")
                    got = c.read_holding_registers(2000 + 20 * i, 20, slave=i % 8)
                    if getattr(got, "registers", None) != values:
                        errors.append(f"client {i}: read back {got}")
                    written[i] = values
                c.close()
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(f"client {i}: {e!r}")

        bad = []
        for payload in (bytes.fromhex("0001 1234 0006 03 03 0000 0001"),  # protocol id not 0
                        bytes.fromhex("0001 0000 FFFF 03"),                # oversized length
                        bytes.fromhex("0001 0000 0006 03 03")):            # half a frame, then gone
            s = socket.create_connection(("127.0.0.1", line.port))
            s.sendall(payload)
            bad.append(s)
        threads = [threading.Thread(target=good, args=(i,)) for i in range(16)]
        for t in threads:
            t.start()
        for s in bad[:2]:
            s.settimeout(5)
            self.assertEqual(s.recv(10), b"", "a malformed frame closes its connection")
        for s in bad:
            s.close()
        for t in threads:
            t.join(30)
        self.assertEqual(errors, [])
        line.gw.wait_for("malformed frame: protocol identifier 4660")
        line.gw.wait_for("malformed frame: MBAP length 65535")
        line.gw.wait_for("closed mid-request")
        dumped = line.close()
        for i, values in written.items():
            data = dumped[i % 8][2 * (2000 + 20 * i):2 * (2020 + 20 * i)]
            self.assertEqual([data[2 * k] << 8 | data[2 * k + 1] for k in range(20)], values)

    def test_round_robin_connection_limit_and_idle_timeout(self):
        # Each reply to station 3 takes 80 ms, so the line is the bottleneck:
        # the other client's request, 10 ms behind the flood, has two replies'
        # time to arrive before it is passed over, and each reply comes well
        # within the read time limit.
        line = Line(sim_args=["--fault", "*:late=80@3"],
                    gw_args=["--max-clients", "2", "--idle-timeout", "1", "--ticks", "30"])
        flood, other = (socket.create_connection(("127.0.0.1", line.port)) for _ in range(2))
        frame = lambda tid: bytes.fromhex(f"{tid:04X} 0000 0006 03 03 0000 0001")
        flood.sendall(b"".join(frame(t) for t in range(10)))
        time.sleep(0.01)
        other.sendall(frame(99))
        got = []
        def collect(s, name, n):
            s.settimeout(5)
            for _ in range(n):
                reply = b""
                while len(reply) < 11:
                    reply += s.recv(11 - len(reply))
                got.append(name)
        threads = [threading.Thread(target=collect, args=a) for a in ((flood, "flood", 10), (other, "other", 1))]
        for t in threads:
            t.start()
        # Refused while both are busy, before either can fall idle.
        third = socket.create_connection(("127.0.0.1", line.port))
        third.settimeout(5)
        self.assertEqual(third.recv(10), b"")
        line.gw.wait_for(r"refused: 2 connections open \(--max-clients\)")
        for t in threads:
            t.join(10)
        self.assertLess(got.index("other"), 3, f"a flooding client takes turns: {got}")
        flood.settimeout(5)
        self.assertEqual(flood.recv(10), b"", "an idle connection is closed")
        line.gw.wait_for("dropped: idle")
        for s in (flood, other, third):
            s.close()
        line.close()

    def test_restart_while_clients_reconnect(self):
        line = Line(image={2: bytes([0x12, 0x34]) * 64})
        port, done, results = line.port, threading.Event(), []

        def poll():
            c = None
            while not done.is_set():
                try:
                    c = c or line.client()
                    results.append(getattr(c.read_holding_registers(0, 4, slave=2), "registers", None))
                except Exception:  # noqa: BLE001 - the gateway is away: reconnect
                    if c:
                        c.close()
                    c = None
                    time.sleep(0.05)
            if c:
                c.close()

        def wait_answers(n, timeout=10):
            deadline = time.monotonic() + timeout
            while len(results) < n and time.monotonic() < deadline:
                time.sleep(0.02)

        threads = [threading.Thread(target=poll) for _ in range(4)]
        for t in threads:
            t.start()
        wait_answers(8)
        self.assertEqual(line.gw.stop(), 0)
        line.gw.wait_for("stats: .* latency median")
        before = len(results)
        line.start_gateway(port=port)
        wait_answers(before + 8)
        done.set()
        for t in threads:
            t.join(10)
        self.assertGreater(before, 4)
        self.assertGreater(len(results) - before, 4, "clients got answers after the restart")
        # A reply during the stop may be the busy refusal; never a wrong value.
        self.assertEqual([r for r in results if r is not None and r != [0x1234] * 4], [])
        self.assertGreater(results.count([0x1234] * 4), len(results) - 8)
        line.close()


class SerialPort(Case):
    def test_unplugged_adapter_serves_again_once_back(self):
        """The pty goes away under the gateway (its master closes, as when a
        USB adapter is pulled) and a new one comes back under the same name."""
        link = f"/tmp/gw{os.getpid() % 10000}"
        line = Line(image={1: bytes([0xAB, 0xCD])})
        os.symlink(line.pty, link)
        self.addCleanup(os.unlink, link)
        line.gw.stop()
        line.pty = link
        line.start_gateway()
        c = line.client()
        self.assertEqual(c.read_holding_registers(0, 1, slave=1).registers, [0xABCD])

        line.sim.stop()
        self.assertEqual(getattr(c.read_holding_registers(0, 1, slave=1), "exception_code", None), 4)
        line.gw.wait_for(f"serial port {link} failed: opening it again")
        load_file(os.path.join(line.dir, "second.txt"), {1: bytes([0x56, 0x78])})
        back = Process([SIMULATOR, "--stations", "0-7", "--load", os.path.join(line.dir, "second.txt")],
                       r"^/dev/\S+$")
        os.symlink(back.match.group(0), link + "n")
        os.replace(link + "n", link)
        deadline, got = time.monotonic() + 5, None
        while got != [0x5678] and time.monotonic() < deadline:
            got = getattr(c.read_holding_registers(0, 1, slave=1), "registers", None)
            time.sleep(0.1)
        self.assertEqual(got, [0x5678])
        line.gw.wait_for(f"serial port {link} open again")
        c.close()


class LineServer(Case):
    """vave8gw --config: tags scanned once, the status file, and Modbus
    requests sharing the line with the scan."""

    TAGS = """name,address,type,scan_ms,access
st1/hr0,0140000,uint16,100,r
st1/hr1,0140004,uint16,100,rw
st1/flag,01200100,bool,100,r
st2/temp,0290010,float32,200,r
"""

    def start(self, pty, modbus=True):
        self.dir = tempfile.mkdtemp(prefix="lstest")
        self.status = os.path.join(self.dir, "status.json")
        with open(os.path.join(self.dir, "plant.csv"), "w") as f:
            f.write(self.TAGS)
        config = os.path.join(self.dir, "line.toml")
        with open(config, "w") as f:
            f.write(f'[line]\nname = "test"\nport = "{pty}"\n\n[tags]\nfile = "plant.csv"\n')
            if modbus:
                f.write('\n[modbus]\nlisten = "127.0.0.1:0"\n')
        return Process([GATEWAY, "--config", config, "--ticks", TICKS, "--stats-interval", "0.3",
                        "--status-file", self.status], r"serving .* on (127\.0\.0\.1:(\d+)|no Modbus)")

    def wait_status(self, check, timeout=15):
        deadline, doc = time.monotonic() + timeout, None
        while time.monotonic() < deadline:
            try:
                with open(self.status) as f:
                    doc = json.load(f)  # replaced whole, never seen half-written
                if check({t["name"]: t for t in doc["tags"]}, doc):
                    return doc
            except FileNotFoundError:
                pass
            time.sleep(0.05)
        raise AssertionError(f"status never as expected: {doc}")

    def control(self, sock, *lines):
        with socket.socket(socket.AF_UNIX) as c:
            c.connect(sock)
            c.sendall("".join(line + "\n" for line in lines).encode())
            c.shutdown(socket.SHUT_WR)
            answer = b""
            while chunk := c.recv(4096):
                answer += chunk
        self.assertEqual(answer.decode().split(), ["ok"] * len(lines))

    def test_modbus_and_the_scan_share_the_line_with_right_values(self):
        sock = os.path.join(tempfile.mkdtemp(prefix="lsctl"), "sim.sock")
        sim = Process([SIMULATOR, "--stations", "0-7", "--control", sock], r"^/dev/\S+$")
        self.control(sock, "1:0000: 12 34 00 07", "1:0008: 80", "2:0008: 40 49 0F DB")
        gw = self.start(sim.match.group(0))
        port = int(gw.match.group(2))
        doc = self.wait_status(lambda t, d: all(x["quality"] == "good" for x in t.values()))
        tags = {t["name"]: t for t in doc["tags"]}
        self.assertEqual(tags["st1/hr0"]["value"], 0x1234)
        self.assertEqual(tags["st1/flag"]["value"], 1)
        self.assertAlmostEqual(tags["st2/temp"]["value"], 3.14159274, places=6)
        self.assertTrue(all(s["state"] == "good" for s in doc["stations"]), doc["stations"])
        gw.wait_for(r"station 1: good, \d+ transactions, 0 failed")

        c = ModbusTcpClient("127.0.0.1", port=port, timeout=5, retries=0)
        self.assertTrue(c.connect())
        self.assertEqual(c.read_coils(71, 1, slave=1).bits[0], True)  # bit digit 0: the MSB
        # The memory changes under the running scan; each value is right on
        # both sides.
        for value in range(1, 40, 3):
            self.control(sock, f"1:0000: {value >> 8:02X} {value & 0xFF:02X}")
            self.assertEqual(c.read_holding_registers(0, 2, slave=1).registers, [value, 7])
            self.wait_status(lambda t, d: t["st1/hr0"]["value"] == value)
        self.assertFalse(c.write_register(1, 0xBEEF, slave=1).isError())
        self.wait_status(lambda t, d: t["st1/hr1"]["value"] == 0xBEEF and t["st1/hr1"]["quality"] == "good")

        # Station 1 falls silent: demoted, its last values kept; station 2 and
        # Modbus go on.
        self.control(sock, "stations 0,2-7", "2:0008: 41 20 00 00")
        doc = self.wait_status(lambda t, d: t["st1/hr0"].get("cause") == "demoted" and
                               t["st2/temp"]["value"] == 10.0 and t["st2/temp"]["quality"] == "good")
        self.assertEqual({t["name"]: t["value"] for t in doc["tags"]}["st1/hr1"], 0xBEEF)
        self.assertEqual([s["demoted"] for s in doc["stations"]], [True, False])
        gw.wait_for(r"station 1 demoted after 3 failed cycles")
        self.assertEqual(c.read_holding_registers(4, 2, slave=2).registers, [0x4120, 0])
        c.close()

    def test_port_down_marks_every_tag_and_the_scan_resumes(self):
        link = f"/tmp/ls{os.getpid() % 10000}"
        sim = Process([SIMULATOR, "--stations", "0-7"], r"^/dev/\S+$")
        os.symlink(sim.match.group(0), link)
        self.addCleanup(os.unlink, link)
        gw = self.start(link, modbus=False)
        self.wait_status(lambda t, d: all(x["quality"] == "good" for x in t.values()))
        sim.stop()
        gw.wait_for(f"serial port {link} failed")
        self.wait_status(lambda t, d: d["port_down"] and
                         all(x["quality"] == "bad" and x["cause"] == "port down" for x in t.values()))
        load_file(os.path.join(self.dir, "second.txt"), {1: bytes([0x56, 0x78])})
        back = Process([SIMULATOR, "--stations", "0-7", "--load", os.path.join(self.dir, "second.txt")],
                       r"^/dev/\S+$")
        os.symlink(back.match.group(0), link + "n")
        os.replace(link + "n", link)
        self.wait_status(lambda t, d: not d["port_down"] and t["st1/hr0"]["value"] == 0x5678 and
                         all(x["quality"] == "good" for x in t.values()))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]])
