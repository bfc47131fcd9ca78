"""Waiting for a condition and picking free ports, for every Python suite."""

import os
import random
import socket
import time

# Seconds for anything that should happen promptly. A Windows program starts slower under
# Wine (VANTRIEL_WINE names its wrapper), more so on a busy machine.
DEADLINE = 60.0 if os.environ.get("VANTRIEL_WINE") else 20.0


def wait_for(predicate, what="a condition", timeout=DEADLINE, interval=0.02):
    """Polls predicate until it returns something true, and returns that. It is asked once
    more when the time is up, so a poll that itself took long still gets its last look.
    Exceptions from predicate pass through: they mean waiting is pointless."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(interval)


def free_port():
    """A loopback port that nobody listens on right now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_port_block(count=20):
    """A first port such that count ports from it look free right now. The block is taken
    below the kernel's range for outgoing connections: other tests' client sockets, and
    their TIME_WAIT, fill that range and would leave no free block of twenty in it."""
    top = 32768
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            top = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        pass
    for _ in range(200):
        first = random.randrange(10000, max(top, 10000 + 2 * count) - count)
        taken = False
        for p in range(first, first + count):
            with socket.socket() as probe:
                try:
                    probe.bind(("127.0.0.1", p))
                except OSError:
                    taken = True
                    break
        if not taken:
            return first
    raise RuntimeError("no free block of ports")
