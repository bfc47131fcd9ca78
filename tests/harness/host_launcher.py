"""Starts the real host executable for a test and waits until it serves.

The executable comes from VANTRIEL_EXE (CTest sets it). For the Windows build VANTRIEL_WINE
names the wrapper that runs Vantriel.exe under Wine (tests/wine/wine-run.in). The host
keeps its data in "data" beside its executable, so each test's host runs from a folder of
its own; it takes the first free port from VTR_PORT on and says which in its instance
record, data/instancia.json, once it listens.

Each suite talks to the host its own way (exact bytes, a kept-alive connection, urllib)
in a subclass of HostProcess; what differs in how they start it is a parameter here.
"""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile

from waiting import DEADLINE, free_port_block, wait_for

EXE = os.environ.get("VANTRIEL_EXE", "")
WINE = os.environ.get("VANTRIEL_WINE", "")
DEFAULT_ARGS = ("--no-window", "--no-tray", "--no-elevate")

# Stand-ins for the desktop's opener and for the app window's browser, found first on
# PATH: each appends what it was asked to open to a list (HostProcess.opened) and opens
# nothing.
OPENER = "#!/bin/sh\necho \"$@\" >> '%s'\n"
BROWSER = ("#!/bin/sh\nfor a; do case \"$a\" in --app=*) echo \"${a#--app=}\" >> '%s';; "
           "esac; done\n")


def command(exe, *args):
    """The command line that starts exe with args, under Wine for the Windows build."""
    return [WINE, exe, *args] if WINE else [exe, *args]


def windows_path(path):
    """How the Windows host names a Linux path: through Wine's Z: drive."""
    return "Z:" + path.replace("/", "\\") if WINE else path


def page_token(page):
    """The request token the host writes into its page: the page's one quoted string of 32
    hex digits. Its name is not to be relied on: the page's script is minified."""
    if isinstance(page, bytes):
        page = page.decode("utf-8", "replace")
    found = set(re.findall(r'"([0-9a-f]{32})"', page))
    if len(found) != 1:
        raise AssertionError("the host's page holds %d strings that may be its token: %r"
                             % (len(found), page[:200]))
    return found.pop()


class HostProcess:
    """One host process, started at once.

    folder  where the executable sits: a new temporary folder named with prefix when None.
            When it holds no executable yet, exe (the built one when None) and the manual
            beside it are copied in; an installed folder keeps its own.
    aside   a folder for what the test adds around the host (the stand-ins, their list,
            the host's output file): folder when None.
    args    the command line after the executable.
    env     added to this process's environment; a None value removes the variable.
            Before it, DISPLAY goes (a host on no desktop), except under Wine, whose
            message boxes need one and where Windows has no headless session to mirror.
    port    VTR_PORT, where the host starts looking for a free port: the first of a
            free block when None.
    user    (uid, gid): the host runs as that user, its folder and executable theirs.
    stubs   whether the stand-in opener and browser come first on PATH.
    leaks   whether LeakSanitizer may report leaks when the host ends (tests mostly kill
            their hosts, so off unless asked).
    output  where the host's standard output and error go: None (nowhere), "pipe"
            (self.proc's pipes) or "file" (appended to host-output.txt in aside).
    timeout how long the host may take to write its record.
    wait    whether to wait for the record now; else call wait_ready().
    """

    def __init__(self, args=DEFAULT_ARGS, env=None, folder=None, prefix="vantriel-host-",
                 aside=None, port=None, user=None, stubs=True, leaks=False, output=None,
                 timeout=DEADLINE, wait=True, exe=None):
        source = exe or EXE
        self.folder = folder or tempfile.mkdtemp(prefix=prefix)
        self.aside = os.path.abspath(aside or self.folder)
        self.exe = os.path.join(self.folder, os.path.basename(source))
        if not os.path.exists(self.exe):
            shutil.copy2(source, self.exe)
            manual = os.path.join(os.path.dirname(source), "manual")
            if os.path.isdir(manual):
                shutil.copytree(manual, os.path.join(self.folder, "manual"), dirs_exist_ok=True)
        self.data = os.path.join(self.folder, "data")
        self.timeout = timeout
        self.as_user = {}
        if user is not None:
            for path in (self.folder, self.exe):
                os.chown(path, *user)
            self.as_user = {"user": user[0], "group": user[1], "extra_groups": []}

        full_env = dict(os.environ)
        if not WINE:
            full_env.pop("DISPLAY", None)
        if not leaks:
            full_env["ASAN_OPTIONS"] = full_env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        self.opened_file = os.path.join(self.aside, "opened.txt")
        if stubs:
            fake_bin = os.path.join(self.aside, "fakebin")
            os.makedirs(fake_bin, exist_ok=True)
            for name, script in (("xdg-open", OPENER), ("chromium", BROWSER)):
                with open(os.path.join(fake_bin, name), "w") as f:
                    f.write(script % self.opened_file)
                os.chmod(os.path.join(fake_bin, name), 0o755)
            full_env["PATH"] = fake_bin + os.pathsep + full_env.get("PATH", "")
        self.port_hint = port if port is not None else free_port_block()
        full_env["VTR_PORT"] = str(self.port_hint)
        # A look for updates goes to loopback's discard port, where nobody listens, not to
        # the published release document: nothing leaves the machine. A suite that serves
        # releases names its own address.
        full_env["MRV_UPDATE_URL"] = "http://127.0.0.1:9/release.json"
        for k, v in (env or {}).items():
            if v is None:
                full_env.pop(k, None)
            else:
                full_env[k] = v
        self.env = full_env

        self.output_file = None
        if output == "pipe":
            out = subprocess.PIPE
        elif output == "file":
            self.output_file = open(os.path.join(self.aside, "host-output.txt"), "ab")
            out = self.output_file
        else:
            out = subprocess.DEVNULL
        self.record_before = self.read_record()
        self.proc = subprocess.Popen(command(self.exe, *args), cwd=self.folder, env=full_env,
                                     stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                     **self.as_user)
        # The process id the host writes in its record. Under Wine that is a Windows id
        # that no Linux call reports, so it is learnt from the host's first record.
        self.pid = None if WINE else self.proc.pid
        self.port = None
        if wait:
            try:
                self.wait_ready()
            except BaseException:
                self.stop()  # a host that did not start leaves nothing running
                raise

    def path(self, *parts):
        return os.path.join(self.data, *parts)

    def read_record(self):
        try:
            with open(self.path("instancia.json"), "rb") as f:
                return f.read()
        except OSError:
            return None

    def recorded_pid(self):
        try:
            pid = json.loads(self.read_record())["pid"]
        except (TypeError, ValueError, KeyError):
            return None
        return pid if isinstance(pid, int) else None

    def said(self):
        """What an ended host wrote on its standard output and error, when kept."""
        if self.proc.stdout is not None:
            return repr(self.proc.communicate(timeout=DEADLINE))
        if self.output_file is not None:
            self.output_file.flush()
            with open(self.output_file.name, "rb") as f:
                return f.read()[-4000:].decode("utf-8", "replace")
        return "(its output is not kept)"

    def wait_ready(self):
        """Waits for the record this start wrote; sets pid and port and returns it. A host
        that ends meanwhile fails at once, with what it said."""
        def record():
            if self.proc.poll() is not None:
                raise AssertionError("the host ended at start (%s): %s"
                                     % (self.proc.returncode, self.said()))
            text = self.read_record()
            try:
                rec = json.loads(text)
            except (TypeError, ValueError):
                return None
            if not isinstance(rec, dict):
                return None
            if self.pid is None:
                # Under Wine: the record this start wrote is the first one that differs.
                fresh = text != self.record_before and isinstance(rec.get("pid"), int)
                return rec if fresh else None
            return rec if rec.get("pid") == self.pid else None
        rec = wait_for(record, "the instance record", self.timeout)
        self.pid = rec["pid"]
        self.port = rec["port"]
        return rec

    def opened(self):
        """What the stand-in opener and browser were asked to open, in order."""
        try:
            with open(self.opened_file, encoding="utf-8") as f:
                return f.read().splitlines()
        except OSError:
            return []

    def log(self):
        try:
            with open(self.path("vantriel.log"), encoding="utf-8") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(timeout=10)
        if self.output_file is not None:
            self.output_file.close()

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)
