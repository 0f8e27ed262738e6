"""vave8gw against clients that try to take it: slots held by trickling or
silent connections, descriptors run out, stray signals, function codes with
the high bit set and floods of refused requests.

Usage: network_test.py VAVE8GW P8SIM [unittest arguments]
"""

import os
import re
import resource
import signal
import socket
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from gateway_test import Case, Line, Process  # noqa: E402  (reads sys.argv)


def frame(tid, unit, pdu):
    return struct.pack(">HHHB", tid, 0, len(pdu) + 1, unit) + pdu


def read_request(tid=1, unit=3, function=3, first=0, count=1):
    return frame(tid, unit, struct.pack(">BHH", function, first, count))


def recv_exactly(s, n, timeout=5):
    s.settimeout(timeout)
    data = b""
    while len(data) < n:
        part = s.recv(n - len(data))
        if not part:
            break
        data += part
    return data


def closed_by_peer(s, timeout=10):
    """True once the gateway has closed the socket (EOF or reset)."""
    s.settimeout(timeout)
    try:
        while s.recv(64):
            pass
    except ConnectionResetError:
        pass
    except socket.timeout:
        return False
    return True


def connect(port):
    return socket.create_connection(("127.0.0.1", port))


def restart_under(line, wrapper):
    """The line's gateway started again under a wrapper command."""
    line.gw.stop()
    line.gw = Process([*wrapper, *line.gw.proc.args], r"on 127\.0\.0\.1:(\d+)$")
    line.port = int(line.gw.match.group(1))
    return line.gw.proc.pid


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Connections(Case):
    def test_trickling_clients_are_dropped_and_a_good_one_gets_in(self):
        # Every slot taken by a client sending a byte of its frame now and
        # then: each byte used to count as activity, so they held the slots.
        line = Line(gw_args=["--max-clients", "3", "--frame-timeout", "1"])
        request = read_request()
        tricklers = [connect(line.port) for _ in range(3)]
        good = connect(line.port)
        for k in range(len(request) - 1):  # 2 s: twice the frame's time
            for s in (*tricklers, good):
                try:
                    s.send(request[k:k + 1])
                except OSError:
                    pass  # dropped already
            if k == 2:  # a frame split up but whole in time is served
                good.sendall(request[k + 1:])
            time.sleep(0.2)
        self.assertEqual(recv_exactly(good, 11)[7:9], bytes([3, 2]))
        self.assertTrue(all(closed_by_peer(s) for s in tricklers), "trickling clients closed")
        line.gw.wait_for(r"dropped: frame not complete within 1 s \(--frame-timeout\)")
        for s in (good, *tricklers):
            s.close()

    def test_the_connection_idle_the_longest_makes_room(self):
        # Station 9 is not on the line: a request to it stays with the line
        # for three read time limits of a second.
        line = Line(gw_args=["--max-clients", "2", "--ticks", "100", "--dead-backoff", "0"])
        busy = connect(line.port)
        busy.sendall(read_request(unit=9))
        # On the line: not idle, though it has sent nothing for longer.
        self.assertGreater(line.requests_after(0, 1, timeout=10), 0)
        silent = connect(line.port)
        newcomer = connect(line.port)
        newcomer.sendall(read_request(unit=16))
        self.assertEqual(recv_exactly(newcomer, 9)[7:9], bytes([0x83, 0x0A]))
        self.assertTrue(closed_by_peer(silent))
        line.gw.wait_for(r"dropped: idle the longest, to make room \(--max-clients\) "
                         r"\([\d.]+ s\), for 127\.0\.0\.1:\d+")
        self.assertEqual(recv_exactly(busy, 9)[7:9], bytes([0x83, 0x0B]))
        for s in (busy, silent, newcomer):
            s.close()

    def test_out_of_descriptors_neither_spins_nor_floods_the_log(self):
        # Started below what --max-clients needs, the gateway raises its own
        # limit as far as the hard limit lets it and serves fewer clients.
        line = Line(gw_args=["--max-clients", "100"])
        pid = restart_under(line, ["prlimit", "--nofile=24:40"])
        port = line.port
        line.gw.wait_for(r"descriptor limit 40 \(hard 40\) is below the 116 that --max-clients "
                         r"100 needs: serving at most 24 clients")
        self.assertEqual(resource.prlimit(pid, resource.RLIMIT_NOFILE), (40, 40))

        if os.environ.get("VAVE8_SANITIZED"):
            # UBSan's type checks open a pipe of their own: with no
            # descriptor left they fail on valid objects.
            self.skipTest("no descriptor exhaustion under the sanitizers")
        # Then the limit falls under it (as if the gateway held other files):
        # the clients that fit are served, the next waits in the backlog.
        used = [int(fd) for fd in os.listdir(f"/proc/{pid}/fd")]
        limit = max(used) + 2
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (limit, limit))
        served = [connect(port) for _ in range(limit - len(used))]
        for s in served:
            s.sendall(read_request(unit=16))
            self.assertEqual(recv_exactly(s, 9)[7:9], bytes([0x83, 0x0A]))
        waiting = connect(port)
        line.gw.wait_for("cannot accept connections: Too many open files")
        before = cpu_seconds(pid)
        time.sleep(2)
        self.assertLess(cpu_seconds(pid) - before, 0.5, "the gateway spins")
        self.assertEqual(len(re.findall("cannot accept", line.gw.text())), 1)

        served.pop().close()  # a descriptor is free again: the waiting client is served
        waiting.sendall(read_request(unit=16))
        self.assertEqual(recv_exactly(waiting, 9)[7:9], bytes([0x83, 0x0A]))
        line.gw.wait_for(r"accepting connections again \(\d+ attempts failed\)")
        for s in (waiting, *served):
            s.close()


class Signals(Case):
    def test_stray_signals_stop_cleanly_and_sigpipe_is_ignored(self):
        for sig, wrapper, stops in ((signal.SIGHUP, [], True), (signal.SIGQUIT, [], True),
                                    (signal.SIGUSR1, [], True), (signal.SIGUSR2, [], True),
                                    (signal.SIGALRM, [], True), (signal.SIGPIPE, [], False),
                                    (signal.SIGHUP, ["nohup"], False)):
            with self.subTest(" ".join([*wrapper, sig.name])):
                line = Line(image={2: b"\x12\x34"})
                if wrapper:
                    restart_under(line, wrapper)
                c = line.client()
                self.assertEqual(c.read_holding_registers(0, 1, slave=2).registers, [0x1234])
                line.gw.proc.send_signal(sig)
                if stops:
                    self.assertEqual(line.gw.proc.wait(10), 0)
                    line.gw.wait_for(r"stats: 1 requests, 0 failed")
                    line.gw.wait_for(r"^vave8gw: stopped$")
                else:
                    self.assertEqual(c.read_holding_registers(0, 1, slave=2).registers, [0x1234])
                    self.assertIsNone(line.gw.proc.poll())
                c.close()
                line.close()


class Malformed(Case):
    def test_high_function_codes_never_pass_for_a_normal_reply(self):
        line = Line()
        s = connect(line.port)
        # (unit, function): the reply carries the function as it came, then
        # the exception: 0x83 must not come back as a function-3 reply.
        for unit, function, exception in ((3, 0x83, 0x01), (3, 0x80, 0x01), (3, 0xFF, 0x01),
                                          (16, 0x83, 0x0A)):
            with self.subTest(f"unit {unit} function 0x{function:02X}"):
                s.sendall(frame(7, unit, bytes([function, 0, 0, 0, 1])))
                self.assertEqual(recv_exactly(s, 9), frame(7, unit, bytes([function, exception])))
        s.sendall(read_request(tid=8))  # the connection is still served
        self.assertEqual(recv_exactly(s, 11), frame(8, 3, bytes([3, 2, 0, 0])))
        s.close()

    def test_floods_of_refusals_and_bad_connections_leave_a_short_log(self):
        line = Line()
        kinds = {  # request, the count line's kind
            read_request(count=126): r"unit 3 function 3: exception 0x03",
            read_request(unit=16): r"unit 16 function 3: exception 0x0A",
            read_request(function=0x83): r"unit 3 function 131: exception 0x01",
        }
        each = 2000
        s = connect(line.port)
        for request in kinds:
            for _ in range(0, each, 200):
                s.sendall(request * 200)
                self.assertEqual(len(recv_exactly(s, 9 * 200)), 9 * 200)
        s.close()
        bad = 30
        for _ in range(bad):
            b = connect(line.port)
            b.sendall(bytes.fromhex("0001 1234 0006 03 03 0000 0001"))
            self.assertTrue(closed_by_peer(b))
            b.close()
        # A kind for each unit: past 64 kinds at once, they share one count.
        s = connect(line.port)
        for unit in range(17, 256):
            s.sendall(read_request(unit=unit))
            self.assertEqual(len(recv_exactly(s, 9)), 9)
        s.close()
        line.gw.stop()
        log = line.gw.text()
        self.assertLess(len(log.splitlines()), 80, log)
        self.assertLessEqual(len(re.findall(r"count 1: exception 0x0A", log)), 64)
        self.assertRegex(log, r"\d+ more like this in the last \d+ s: other kinds")
        # Each kind: its first line in full, every repeat in a count.
        expected = [(k, r"\d " + k.replace(":", r" address \d+ count \d+:"), each)
                    for k in kinds.values()]
        expected.append(("dropped: malformed frame: protocol identifier",
                         r"\d dropped: malformed frame: protocol identifier 4660", bad))
        for kind, first, sent in expected:
            full = len(re.findall(first, log))
            counted = sum(map(int, re.findall(r"(\d+) more like this in the last \d+ s: " + kind, log)))
            self.assertEqual((full > 0, full + counted), (True, sent), kind)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]])
