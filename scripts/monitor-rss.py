#!/usr/bin/env python3
"""The line monitor's memory on a saturated line: a read request and its reply
written over and over into a pseudo-terminal as fast as `vave8ctl monitor`
takes them, its resident set size printed at the given seconds.

    scripts/monitor-rss.py build/native/bin/vave8ctl 60 600
"""
import os
import pty
import subprocess
import sys
import time
import tty

# Station 3, read of nibbles 0x0100..0x0103, and its DATA reply, as framed on the line.
REQUEST = bytes.fromhex("F1 59 00 06 A2 03 01 00 01 03 9E")
REPLY = bytes.fromhex("F1 59 00 04 03 03 00 00 E0")


def main():
    program, marks = sys.argv[1], sorted(int(x) for x in sys.argv[2:])
    master, slave = pty.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    monitor = subprocess.Popen([program, "monitor", "--port", os.ttyname(slave), "--parity", "none",
                                "--for", str(marks[-1] + 5)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    batch = (REQUEST + REPLY) * 200
    start, pairs = time.monotonic(), 0
    while marks:
        os.write(master, batch)  # blocks while the monitor is behind: the line is saturated
        pairs += 200
        elapsed = time.monotonic() - start
        if elapsed >= marks[0]:
            with open(f"/proc/{monitor.pid}/status") as status:
                rss = [line.split() for line in status if line.startswith(("VmRSS", "VmHWM"))]
            print(f"after {elapsed:.0f} s, {pairs} request/reply pairs: " +
                  ", ".join(f"{name} {kb} kB" for name, kb, _ in rss), flush=True)
            marks.pop(0)
    monitor.terminate()
    monitor.wait()


if __name__ == "__main__":
    main()
