#!/usr/bin/env python3
"""Benchmark: "/api/input" through the real host, against GET "/api/version" in the same run.

For each sink (the recording sink writing to a file; the XTest sink on a private Xvfb) and
each batch size (1, 20, 200 pointer moves), posts batches on one kept-alive connection and
prints p50 and p99 per request, events per second, and how much a request adds over the
version round trip at p99. Prints figures only; asserts nothing about time.

  VANTRIEL_EXE=build/rel/bin/vantriel python3 tests/desktop/bench_input.py [--requests N]

Use a release build: sanitizers multiply the host's own share of the time.
"""

import argparse
import http.client
import json
import os
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop_env import Host, Xvfb  # noqa: E402

MONITORS = [{"x": 0, "y": 0, "w": 1920, "h": 1080, "primary": True, "name": "A"},
            {"x": -1920, "y": 0, "w": 1920, "h": 1080, "primary": False, "name": "B"}]


def percentile(sorted_values, p):
    k = min(len(sorted_values) - 1, max(0, round(p / 100.0 * (len(sorted_values) - 1))))
    return sorted_values[k]


def timed(conn, method, path, body, headers, count):
    """Per-request times in milliseconds, and the total in seconds."""
    times = []
    start = time.perf_counter()
    for _ in range(count):
        t0 = time.perf_counter_ns()
        conn.request(method, path, body=body, headers=headers)
        response = conn.getresponse()
        data = response.read()
        times.append((time.perf_counter_ns() - t0) / 1e6)
        if response.status != 200:
            raise RuntimeError("%s %s: %d %r" % (method, path, response.status, data[:200]))
    return sorted(times), time.perf_counter() - start


def batch(size, step):
    return [{"k": "m", "x": ((step + n) % 100) / 100.0, "y": ((step * 7 + n) % 100) / 100.0}
            for n in range(size)]


def run(label, env, requests):
    host = Host(env=env)
    try:
        host.post("/api/sesion", {"activa": True, "rol": "host", "control": True})
        conn = http.client.HTTPConnection("127.0.0.1", host.port, timeout=30)
        post_headers = {"X-Token": host.token, "Content-Type": "application/json"}
        timed(conn, "GET", "/api/version", None, {}, 200)  # warm up
        version, _ = timed(conn, "GET", "/api/version", None, {}, requests)
        v50, v99 = percentile(version, 50), percentile(version, 99)
        print("%-8s GET /api/version           p50 %7.3f ms  p99 %7.3f ms" % (label, v50, v99))
        for size in (1, 20, 200):
            bodies = [json.dumps({"mon": 1, "ev": batch(size, s)}).encode() for s in range(16)]
            reply = host.post("/api/input", {"mon": 1, "ev": batch(size, 0)}).json()
            if reply.get("n") != size:
                raise RuntimeError("unexpected reply %r" % reply)
            times = []
            total = 0.0
            for s in range(16):
                t, seconds = timed(conn, "POST", "/api/input", bodies[s], post_headers,
                                   max(1, requests // 16))
                times += t
                total += seconds
            times.sort()
            p50, p99 = percentile(times, 50), percentile(times, 99)
            print("%-8s POST /api/input %3d events p50 %7.3f ms  p99 %7.3f ms  %9.0f events/s  "
                  "over the version round trip: %+.3f ms at p50, %+.3f ms at p99"
                  % (label, size, p50, p99, size * len(times) / total, p50 - v50, p99 - v99))
        conn.close()
    finally:
        host.cleanup()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--requests", type=int, default=2000, help="requests per measurement")
    args = parser.parse_args()
    if not os.environ.get("VANTRIEL_EXE"):
        sys.exit("set VANTRIEL_EXE to the host executable")
    with tempfile.TemporaryDirectory() as folder:
        run("record", {"VANTRIEL_INPUT_SINK": "record:" + os.path.join(folder, "input.jsonl"),
                       "VANTRIEL_TEST_MONITORS": json.dumps(MONITORS)}, args.requests)
    xvfb = Xvfb(3840, 1080)
    try:
        run("xtest", {"DISPLAY": xvfb.display, "VANTRIEL_TEST_MONITORS": json.dumps(MONITORS)},
            args.requests)
    finally:
        xvfb.stop()


if __name__ == "__main__":
    main()
