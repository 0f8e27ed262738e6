#!/usr/bin/env python3
"""Linux side of the Windows port tests: pseudo-terminal pairs with an echo.

Opens N pseudo-terminal pairs, prints one line "PTY <slave path>" per pair and
then "READY", and sends back every byte that arrives on a master, until it is
terminated or --seconds have passed. The slaves are what Wine opens as COM
ports. The peer keeps each slave open itself, so a Windows program that closes
and reopens its port never leaves the master hung up, and the slave's line
settings carry over from one open to the next, as on a real port.
"""
import argparse
import os
import pty
import select
import sys
import time
import tty


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=1)
    parser.add_argument("--seconds", type=float, default=600.0)
    args = parser.parse_args()

    masters = []
    slaves = []
    for _ in range(args.count):
        master, slave = pty.openpty()
        tty.setraw(slave)
        os.set_blocking(master, False)
        masters.append(master)
        slaves.append(slave)
        print("PTY", os.ttyname(slave), flush=True)
    print("READY", flush=True)

    deadline = time.monotonic() + args.seconds
    pending = {m: b"" for m in masters}
    while time.monotonic() < deadline:
        writers = [m for m in masters if pending[m]]
        readable, writable, _ = select.select(masters, writers, [], 0.2)
        for m in readable:
            try:
                data = os.read(m, 4096)
            except (BlockingIOError, OSError):
                continue
            pending[m] += data
        for m in writable:
            try:
                sent = os.write(m, pending[m])
            except (BlockingIOError, OSError):
                continue
            pending[m] = pending[m][sent:]
    return 0


if __name__ == "__main__":
    sys.exit(main())
