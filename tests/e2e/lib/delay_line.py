#!/usr/bin/python3
"""A wire with a fixed one-way delay between two network namespaces.

    delay_line.py NS_A IF_A NS_B IF_B DELAY_MS

Makes a TAP device IF_A in NS_A and IF_B in NS_B and hands every Ethernet frame read
from one to the other DELAY_MS later, in the order read. The kernel here has no netem,
so a link with a round trip is built this way; rate and loss stay with tc and nftables
on the two devices. Prints "ready" once both devices exist; runs until killed, and the
devices go with it.
"""
import collections
import ctypes
import fcntl
import os
import select
import struct
import sys
import time

CLONE_NEWNET = 0x40000000
TUNSETIFF = 0x400454CA
IFF_TAP = 0x0002
IFF_NO_PI = 0x1000
# Frames in flight per direction: at 2 Mbit/s and 40 ms, a few dozen; the bound only
# keeps a burst from a faster link from growing without end (what does not fit is lost,
# as on a full queue).
MAX_QUEUED = 4096

libc = ctypes.CDLL(None, use_errno=True)


def enter(ns):
    fd = os.open("/run/netns/" + ns, os.O_RDONLY)
    try:
        if libc.setns(fd, CLONE_NEWNET) != 0:
            err = ctypes.get_errno()
            raise OSError(err, "setns " + ns + ": " + os.strerror(err))
    finally:
        os.close(fd)


def tap(name):
    fd = os.open("/dev/net/tun", os.O_RDWR)
    fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", name.encode(), IFF_TAP | IFF_NO_PI))
    os.set_blocking(fd, False)
    return fd


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    ns_a, if_a, ns_b, if_b, delay_ms = sys.argv[1:]
    delay = float(delay_ms) / 1000.0
    enter(ns_a)
    a = tap(if_a)
    enter(ns_b)
    b = tap(if_b)
    print("ready", flush=True)

    # For each device read from: where its frames go, and the frames on their way.
    route = {a: b, b: a}
    queued = {a: collections.deque(), b: collections.deque()}
    while True:
        now = time.monotonic()
        for src, q in queued.items():
            dst = route[src]
            while q and q[0][0] <= now:
                _, frame = q.popleft()
                try:
                    os.write(dst, frame)
                except (BlockingIOError, OSError):
                    pass  # the device is down or full: the frame is lost, as on a wire
        due = [q[0][0] for q in queued.values() if q]
        timeout = max(0.0, min(due) - time.monotonic()) if due else None
        readable, _, _ = select.select([a, b], [], [], timeout)
        now = time.monotonic()
        for src in readable:
            q = queued[src]
            while True:
                try:
                    frame = os.read(src, 65536)
                except BlockingIOError:
                    break
                except OSError:
                    break  # the device went down meanwhile
                if len(q) < MAX_QUEUED:
                    q.append((now + delay, frame))


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
