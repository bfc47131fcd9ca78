"""The GNOME lab of test_host_gnome.py for tests in other languages.

`python3 lab.py serve` brings the desktop up (mutter, PipeWire, the portal frontend and its
stand-in backend, on private buses) and prints one JSON line {"ev": "ready", "env": {...}}:
the variables that put a program in that session. It then prints, one JSON line each,
what the portal backend says ({"from": "portal", "ev": ...}) and, once shown, what the
reporting page reports ({"from": "page", "t": ...}). It reads commands line by line:
"allow", "deny" and "end" answer the backend as in test_host_gnome.py; "page" shows the
reporting page full screen above every window (and with the keyboard focus) and prints
{"ev": "page-ready"}. The lab ends when its input closes. Where the lab cannot run it
prints {"ev": "skip", "why": ...} and ends.
"""

import json
import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_host_gnome import HEIGHT, WIDTH, Lab, skip_reason  # noqa: E402

said = threading.Lock()


def say(line):
    with said:
        sys.stdout.write(json.dumps(line, ensure_ascii=False) + "\n")
        sys.stdout.flush()


def pump(lines, origin):
    while True:
        line = lines.get()
        if line is None:
            return
        say(dict(line, **{"from": origin}))


def serve():
    why = skip_reason(host=False)
    if why:
        say({"ev": "skip", "why": why})
        return
    lab = Lab(page=False)
    try:
        env = lab.host_env()
        # The test runs its own host, with its own signalling server and monitors.
        for name in ("VTR_SERVER", "VANTRIEL_TEST_MONITORS"):
            env.pop(name, None)
        say({"ev": "ready", "env": env, "width": WIDTH, "height": HEIGHT, "folder": lab.folder})
        threading.Thread(target=pump, args=(lab.backend_lines, "portal"), daemon=True).start()
        for command in sys.stdin:
            command = command.strip()
            if command == "page":
                lab.open_page()
                threading.Thread(target=pump, args=(lab.events.queue, "page"),
                                 daemon=True).start()
                say({"ev": "page-ready"})
            elif command in ("allow", "deny", "end"):
                lab.answer(command)
    finally:
        lab.stop()


if __name__ == "__main__" and sys.argv[1:] == ["serve"]:
    serve()
