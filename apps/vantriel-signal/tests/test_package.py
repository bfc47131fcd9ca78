"""The signalling server's Debian package, as an operator meets it: the files and control
fields dpkg-deb shows, the unit as systemd-analyze reads it, and the package installed
with apt in a fresh Debian 12 root, the unit's command run there as the service's user
against a real client, upgraded while it runs, removed and purged.

The package is built by packaging/build-deb.sh from VANTRIEL_SIGNAL_BIN (or taken as it
stands from VANTRIEL_SIGNAL_DEB). The fresh root is made once with debootstrap
(--variant=minbase, from this machine's Debian mirror) in VANTRIEL_SIGNAL_WORK and reused
under an overlay, so every run starts from the same untouched root. Needs root.
"""

import base64
import hashlib
import hmac
import json
import os
import re
import shutil
import stat
import subprocess
import tempfile
import time
import unittest

import signal_client as sc
from signal_client import value

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD_DEB = os.path.join(HERE, "..", "packaging", "build-deb.sh")
BIN = os.environ.get("VANTRIEL_SIGNAL_BIN", "")
GIVEN_DEB = os.environ.get("VANTRIEL_SIGNAL_DEB", "")
VERSION = os.environ.get("VANTRIEL_SIGNAL_VERSION", "0.1.1")
WORK = os.environ.get("VANTRIEL_SIGNAL_WORK") or os.path.join(tempfile.gettempdir(),
                                                               "vantriel-signal-package")
UNIT = "/lib/systemd/system/vantriel-signal.service"
DEFAULTS = "/etc/default/vantriel-signal"
STATE = "/var/lib/vantriel-signal"
ID = "123456789"
CHROOT_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

# Stands in for systemctl in the fresh root: the maintainer scripts' calls are written
# down, nothing is started. is-enabled and is-active answer as for an enabled, running
# service, so that deb-systemd-invoke passes every action on.
FAKE_SYSTEMCTL = """#!/bin/sh
echo "$*" >>/var/log/systemctl-calls
case " $* " in
  *" is-enabled "*) echo enabled ;;
esac
exit 0
"""


def read(path):
    with open(path) as f:
        return f.read()


def run(*cmd, check=True, **kw):
    done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          stdin=subprocess.DEVNULL, **kw)
    out = done.stdout.decode(errors="replace")
    if check and done.returncode != 0:
        raise AssertionError(f"{' '.join(cmd)} exited {done.returncode}:\n{out[-3000:]}")
    return out


def mirror():
    """This machine's Debian mirror, as its apt sources name it."""
    try:
        with open("/etc/apt/sources.list.d/debian.sources") as f:
            for line in f:
                if line.startswith("URIs:"):
                    return line.split()[1]
    except OSError:
        pass
    try:
        with open("/etc/apt/sources.list") as f:
            for line in f:
                if line.startswith("deb "):
                    return line.split()[1]
    except OSError:
        pass
    return "http://deb.debian.org/debian"


def build_deb(version, outdir):
    out = run(BUILD_DEB, version, BIN, outdir).strip().splitlines()
    return out[-1]


def deb_fields(deb):
    text = run("dpkg-deb", "-f", deb)
    fields, last = {}, None
    for line in text.splitlines():
        if line.startswith(" ") and last:
            fields[last] += "\n" + line
        elif ":" in line:
            last, val = line.split(":", 1)
            fields[last] = val.strip()
    return fields


def unit_settings(text):
    """The unit's [Service] settings as (key, value) pairs, in order."""
    out, section = [], ""
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("["):
            section = line
        elif section == "[Service]" and line and line[0] not in "#;" and "=" in line:
            key, val = line.split("=", 1)
            out.append((key.strip(), val.strip()))
    return out


def environment_file(text):
    """KEY=value lines as systemd reads an EnvironmentFile: comments, blanks, quotes."""
    env = {}
    for line in text.splitlines():
        line = line.strip()
        if not line or line[0] in "#;" or "=" not in line:
            continue
        key, val = line.split("=", 1)
        val = val.strip()
        if len(val) >= 2 and val[0] == val[-1] and val[0] in "'\"":
            val = val[1:-1]
        env[key.strip()] = val
    return env


def owner_of(path):
    """The package that ships a file, whichever of its merged-/usr names dpkg knows."""
    real = os.path.realpath(path)
    for candidate in (path, real, real.removeprefix("/usr"), "/usr" + path):
        done = subprocess.run(["dpkg", "-S", candidate], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
        if done.returncode == 0:
            return done.stdout.decode().split(":")[0]
    return None


def root_required():
    if os.geteuid() != 0:
        raise unittest.SkipTest("signal_package needs root (debootstrap, chroot, mounts): not run")
    for tool in ("dpkg-deb", "dpkg-shlibdeps", "systemd-analyze", "debootstrap", "setpriv"):
        if not shutil.which(tool):
            raise unittest.SkipTest(f"signal_package: {tool} is missing (tools/setup.sh installs it)")
    if not GIVEN_DEB and not BIN:
        raise unittest.SkipTest("signal_package: neither VANTRIEL_SIGNAL_BIN nor VANTRIEL_SIGNAL_DEB")


def setUpModule():
    root_required()  # one line for the whole file when it cannot run


class PackageCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="signal-package-")
        if GIVEN_DEB:
            cls.deb = GIVEN_DEB
            cls.version = deb_fields(GIVEN_DEB)["Version"]
        else:
            cls.deb = build_deb(VERSION, cls.tmp)
            cls.version = VERSION

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)


class ContentsTest(PackageCase):
    def test_files_and_control_fields(self):
        listing = {}
        for line in run("dpkg-deb", "-c", self.deb).splitlines():
            parts = line.split()
            listing[parts[5].lstrip(".")] = (parts[0], parts[1])
        files = {p: v for p, v in listing.items() if not v[0].startswith("d")}
        self.assertEqual(files, {
            "/usr/bin/vantriel-signal": ("-rwxr-xr-x", "root/root"),
            UNIT: ("-rw-r--r--", "root/root"),
            DEFAULTS: ("-rw-r-----", "root/root"),  # it holds the secrets
            "/usr/share/doc/vantriel-signal/README.md": ("-rw-r--r--", "root/root"),
        })
        self.assertTrue(all(o == "root/root" for _, o in listing.values()))

        f = deb_fields(self.deb)
        self.assertEqual((f["Package"], f["Version"], f["Architecture"]),
                         ("vantriel-signal", self.version, "amd64"))
        self.assertRegex(f["Maintainer"], r"^[^<>]+ <[^@\s]+@[^>\s]+>$")
        self.assertTrue(f["Description"].startswith("signalling server"))
        self.assertIn("\n .\n", f["Description"])
        self.assertGreater(int(f["Installed-Size"]), 0)
        depends = {d.strip().split()[0] for d in f["Depends"].split(",")}
        self.assertIn("adduser", depends)  # postinst makes the system user
        # Every library the packaged binary loads comes from a package it depends on.
        work = os.path.join(self.tmp, "contents")
        run("dpkg-deb", "-x", self.deb, work)
        binary = os.path.join(work, "usr/bin/vantriel-signal")
        needed = re.findall(r"^\s*NEEDED\s+(\S+)", run("objdump", "-p", binary), re.M)
        self.assertIn("libc.so.6", needed)
        loaded = run("ldd", binary)
        for lib in needed:
            path = re.search(rf"^\s*{re.escape(lib)} => (\S+)", loaded, re.M).group(1)
            owner = owner_of(path)
            self.assertIn(owner, depends, f"{lib} ({path}) comes from {owner}")

        control = os.path.join(self.tmp, "control")
        run("dpkg-deb", "-e", self.deb, control)
        with open(os.path.join(control, "conffiles")) as c:
            self.assertEqual(c.read().split(), [DEFAULTS])
        for script in ("postinst", "prerm", "postrm"):
            path = os.path.join(control, script)
            self.assertTrue(os.stat(path).st_mode & stat.S_IXUSR, script)
            run("sh", "-n", path)

    def test_build_refuses_what_it_cannot_package(self):
        if not BIN:
            self.skipTest("no binary to build from")
        out = os.path.join(self.tmp, "refused")
        for version, binary in (("v1.0", BIN), ("1.0 beta", BIN), ("1.0", BUILD_DEB),
                                ("1.0", os.path.join(self.tmp, "missing"))):
            done = subprocess.run([BUILD_DEB, version, binary, out], stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT)
            self.assertNotEqual(done.returncode, 0, (version, binary))
            self.assertIn(b"build-deb:", done.stdout)
        self.assertFalse(os.path.exists(out) and os.listdir(out))

    def test_unit_verifies_and_is_confined(self):
        # systemd-analyze reads the unit in a root of the package's files beside this
        # machine's own units (the targets it names), so the ExecStart path is checked too.
        tree = os.path.join(self.tmp, "unit-root")
        run("dpkg-deb", "-x", self.deb, tree)
        units = os.path.join(tree, "lib/systemd/system")
        for name in os.listdir("/lib/systemd/system"):
            src = os.path.join("/lib/systemd/system", name)
            if os.path.isfile(src) and not os.path.exists(os.path.join(units, name)):
                shutil.copy2(src, units, follow_symlinks=False)
        out = run("systemd-analyze", "verify", "--man=no", f"--root={tree}", UNIT, check=False)
        self.assertEqual(out, "", "systemd-analyze verify:\n" + out)
        report = run("systemd-analyze", "security", "--offline=yes", f"--root={tree}", UNIT)
        for needed in ("User=/DynamicUser=", "NoNewPrivileges=", "ProtectSystem=",
                       "ProtectHome=", "PrivateTmp="):
            self.assertRegex(report, rf"(?m)^✓ {re.escape(needed)}\s", needed)
        self.assertIn("Service has strict read-only access to the OS file hierarchy", report)
        # Secrets go in the settings file only: never in the unit, which anyone may read.
        for key, val in unit_settings(read(os.path.join(tree, UNIT.lstrip("/")))):
            self.assertNotRegex(val, r"(?i)turn.secret|redis.password", key)


class FreshRoot:
    """A Debian 12 root for one run: the cached base under an overlay, with /proc, /dev
    and apt's download cache mounted. Undone by close()."""

    def __init__(self, tmp):
        self.base = os.path.join(WORK, "bookworm-base")
        self.make_base()
        self.root = os.path.join(tmp, "root")
        self.mounts = []
        upper, work = os.path.join(tmp, "upper"), os.path.join(tmp, "overlay-work")
        for d in (self.root, upper, work):
            os.makedirs(d)
        try:
            run("mount", "-t", "overlay", "overlay", "-o",
                f"lowerdir={self.base},upperdir={upper},workdir={work}", self.root)
            self.mounts.append(self.root)
        except AssertionError:
            os.rmdir(self.root)
            run("cp", "-a", self.base, self.root)  # no overlay here: a copy does too
        run("mount", "-t", "proc", "proc", self.path("/proc"))
        self.mounts.append(self.path("/proc"))
        run("mount", "--bind", "/dev", self.path("/dev"))
        self.mounts.append(self.path("/dev"))
        archives = os.path.join(WORK, "apt-archives")
        os.makedirs(os.path.join(archives, "partial"), exist_ok=True)
        run("mount", "--bind", archives, self.path("/var/cache/apt/archives"))
        self.mounts.append(self.path("/var/cache/apt/archives"))
        shutil.copy("/etc/resolv.conf", self.path("/etc/resolv.conf"))

    def make_base(self):
        if os.path.exists(os.path.join(self.base, "usr/bin/apt-get")):
            return
        new = self.base + ".new"
        shutil.rmtree(new, ignore_errors=True)
        os.makedirs(WORK, exist_ok=True)
        start = time.monotonic()
        run("debootstrap", "--variant=minbase", "bookworm", new, mirror())
        shutil.copy("/etc/resolv.conf", os.path.join(new, "etc/resolv.conf"))
        run("mount", "--bind", "/dev", os.path.join(new, "dev"))
        try:
            run("chroot", new, "/usr/bin/env", "-i", "PATH=" + CHROOT_PATH, "apt-get", "update", "-q")
        finally:
            run("umount", "-l", os.path.join(new, "dev"))
        os.rename(new, self.base)
        print(f"\nsignal_package: made the Debian root in {time.monotonic() - start:.0f} s "
              f"({self.base}); later runs reuse it", flush=True)

    def path(self, inside):
        return os.path.join(self.root, inside.lstrip("/"))

    def argv(self, *cmd):
        return ["chroot", self.root, "/usr/bin/env", "-i", "PATH=" + CHROOT_PATH,
                "DEBIAN_FRONTEND=noninteractive", "LANG=C.UTF-8", *cmd]

    def run(self, *cmd, check=True):
        return run(*self.argv(*cmd), check=check)

    def apt_install(self, deb_inside):
        cmd = ("apt-get", "install", "-y", "-q", "--no-install-recommends", deb_inside)
        out = self.run(*cmd, check=False)
        if "Setting up vantriel-signal" not in out:  # lists gone stale: fetch them again
            self.run("apt-get", "update", "-q")
            out = self.run(*cmd)
        return out

    def close(self):
        for m in reversed(self.mounts):
            subprocess.run(["umount", "-l", m], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)


class InstallTest(PackageCase):
    def setUp(self):
        self.fresh = None
        self.servers = []
        self.sockets = []

    def tearDown(self):
        for s in self.sockets:
            s.close()
        for server in self.servers:
            server.stop()
        if self.fresh:
            self.fresh.close()

    def start_service(self, fresh):
        """The unit's ExecStart, as systemd would run it: its user and group, no new
        privileges, only the environment of Environment= and EnvironmentFile=."""
        settings = unit_settings(read(fresh.path(UNIT)))
        env, user, group, command = {}, None, None, None
        for key, val in settings:
            if key == "Environment":
                env.update(environment_file(val))
            elif key == "EnvironmentFile":
                env.update(environment_file(read(fresh.path(val.lstrip("-")))))
            elif key == "User":
                user = val
            elif key == "Group":
                group = val
            elif key == "ExecStart":
                command = val.split()
        # The sanitizers of a test build read these; the product's unit has none.
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
            if name in os.environ:
                env[name] = os.environ[name]
        argv = ["chroot", fresh.root, "setpriv", f"--reuid={user}", f"--regid={group}",
                "--init-groups", "--no-new-privs", "--", "/usr/bin/env", "-i",
                *[f"{k}={v}" for k, v in env.items()], *command]
        server = sc.Server(argv, os.path.join(self.tmp, f"service-{len(self.servers)}.log"),
                           metrics="VTR_SIGNAL_METRICS_LISTEN" in env)
        self.servers.append(server)
        self.assertTrue(server.port, "the service did not start:\n" + server.log()[-2000:])
        return server

    def ws(self, port, path):
        w = sc.Ws(port, path)
        self.sockets.append(w)
        return w

    def systemctl_calls(self, fresh):
        try:
            with open(fresh.path("/var/log/systemctl-calls")) as f:
                return f.read()
        finally:
            open(fresh.path("/var/log/systemctl-calls"), "w").close()

    def test_installs_runs_upgrades_and_keeps_the_data(self):
        started = time.monotonic()
        fresh = self.fresh = FreshRoot(self.tmp)
        os.makedirs(fresh.path("/run/systemd/system"), exist_ok=True)
        # Where systemd puts it (dpkg runs maintainer scripts without /usr/local on PATH).
        with open(fresh.path("/usr/bin/systemctl"), "w") as f:
            f.write(FAKE_SYSTEMCTL)
        os.chmod(fresh.path("/usr/bin/systemctl"), 0o755)
        next_deb = build_deb(self.version + "+1", self.tmp) if BIN else None
        shutil.copy(self.deb, fresh.path("/tmp/first.deb"))

        # Installed with apt, which brings what Depends names from the mirror.
        fresh.apt_install("/tmp/first.deb")
        self.assertEqual(fresh.run("dpkg-query", "-W", "-f=${Status} ${Version}", "vantriel-signal"),
                         f"install ok installed {self.version}")
        account = fresh.run("getent", "passwd", "vantriel-signal").strip().split(":")
        uid = int(account[2])
        self.assertLess(uid, 1000)
        self.assertEqual(account[5], STATE)
        self.assertEqual(account[6], "/usr/sbin/nologin")
        st = os.stat(fresh.path(STATE))
        self.assertEqual((st.st_uid, stat.S_IMODE(st.st_mode)), (uid, 0o750))
        st = os.stat(fresh.path(DEFAULTS))
        self.assertEqual((st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)), (0, 0, 0o640))
        # Enabled the way Debian enables a new unit where systemctl exists: by preset.
        calls = self.systemctl_calls(fresh)
        self.assertRegex(calls, r"(?m)^.*\bpreset\b.*vantriel-signal\.service$")
        self.assertIn("daemon-reload", calls)
        self.assertRegex(calls, r"(?m)^--quiet --system start vantriel-signal.service$")

        # The operator's settings, in the file meant for them.
        port, mport = sc.free_port(), sc.free_port()
        while mport == port:
            mport = sc.free_port()
        secret = "s3cret-of-the-test"
        with open(fresh.path(DEFAULTS)) as f:
            text = f.read()
        text = text.replace("VTR_SIGNAL_PORT=8890", f"VTR_SIGNAL_PORT={port}")
        text = text.replace("#VTR_SIGNAL_TURN=turn:signal.example.org:3478",
                            "VTR_SIGNAL_TURN=turn:127.0.0.1:3478")
        text = text.replace("#VTR_SIGNAL_TURN_SECRET=", f'VTR_SIGNAL_TURN_SECRET="{secret}"')
        text = text.replace("#VTR_SIGNAL_METRICS_LISTEN=127.0.0.1:9464",
                            f"VTR_SIGNAL_METRICS_LISTEN=127.0.0.1:{mport}")
        with open(fresh.path(DEFAULTS), "w") as f:
            f.write(text)

        # The unit's command as its user, against a real client.
        server = self.start_service(fresh)
        self.assertEqual(server.port, port)
        with open(f"/proc/{server.proc.pid}/status") as f:
            status = f.read()
        self.assertRegex(status, rf"(?m)^Uid:\s+{uid}\s+{uid}\s+{uid}\s+{uid}$")
        self.assertRegex(status, r"(?m)^NoNewPrivs:\s+1$")
        code, _, body = sc.http_get(f"http://127.0.0.1:{port}/health")
        self.assertEqual((code, json.loads(body)), (200, {"app": "vantriel", "v": self.version}))
        # The secret reached the server from the settings file: its TURN credentials verify.
        _, _, body = sc.http_get(f"http://127.0.0.1:{port}/ice")
        turn = json.loads(body)["iceServers"][0]
        self.assertEqual(turn["urls"], ["turn:127.0.0.1:3478"])
        expected = base64.b64encode(hmac.new(secret.encode(), turn["username"].encode(),
                                             hashlib.sha1).digest()).decode()
        self.assertEqual(turn["credential"], expected)
        host = self.ws(port, "/host/" + ID)
        host.send({"t": "hello", "key": "the-host-key", "name": "Ana"})
        self.assertEqual(host.recv()["t"], "ready")
        self.assertEqual(value(sc.metrics(server.metrics_url)[0], "vantriel_signal_hosts_online"), 1)
        data = fresh.path(STATE + "/signal.json")
        deadline = time.monotonic() + sc.DEADLINE
        while time.monotonic() < deadline and not (os.path.exists(data) and ID in read(data)):
            time.sleep(0.05)
        self.assertIn(ID, read(data))
        self.assertEqual(os.stat(data).st_uid, uid)
        with open(data, "rb") as f:
            before = f.read()
        log = server.log()
        self.assertIn("turn-secret = (set)", log)
        self.assertNotIn(secret, log)

        # An upgrade while it runs: the files change under it, its data stays, and the
        # scripts ask for a restart, not a stop.
        if next_deb:
            shutil.copy(next_deb, fresh.path("/tmp/next.deb"))
            fresh.run("dpkg", "-i", "/tmp/next.deb")
            self.assertEqual(fresh.run("dpkg-query", "-W", "-f=${Version}", "vantriel-signal"),
                             self.version + "+1")
            calls = self.systemctl_calls(fresh)
            self.assertIn("try-restart vantriel-signal.service", calls)
            self.assertNotIn("stop", calls)
            self.assertIsNone(server.proc.poll(), "the upgrade stopped the service")
            with open(data, "rb") as f:
                self.assertEqual(f.read(), before)
            self.assertEqual(os.stat(fresh.path(STATE)).st_uid, uid)
            self.assertEqual(fresh.run("getent", "passwd", "vantriel-signal").split(":")[2], str(uid))
            with open(fresh.path(DEFAULTS)) as f:
                self.assertEqual(f.read(), text)  # the operator's edits stay
        self.assertEqual(server.stop(), 0)

        # The restarted service (the new binary) still knows whose ID it is.
        server = self.start_service(fresh)
        thief = self.ws(server.port, "/host/" + ID)
        thief.send({"t": "hello", "key": "another-key", "name": "X"})
        self.assertEqual(thief.recv(), {"t": "taken"})
        owner = self.ws(server.port, "/host/" + ID)
        owner.send({"t": "hello", "key": "the-host-key", "name": "Ana"})
        self.assertEqual(owner.recv()["t"], "ready")
        self.assertEqual(server.stop(), 0)

        # Removed: stopped, settings and bindings kept. Purged: both gone.
        fresh.run("dpkg", "-r", "vantriel-signal")
        self.assertIn("stop vantriel-signal.service", self.systemctl_calls(fresh))
        self.assertFalse(os.path.exists(fresh.path("/usr/bin/vantriel-signal")))
        self.assertTrue(os.path.exists(data))
        self.assertTrue(os.path.exists(fresh.path(DEFAULTS)))
        fresh.run("dpkg", "-P", "vantriel-signal")
        self.assertFalse(os.path.exists(fresh.path(DEFAULTS)))
        self.assertFalse(os.path.exists(fresh.path(STATE)))
        print(f"\nsignal_package: fresh root, install, service, upgrade, removal in "
              f"{time.monotonic() - started:.0f} s", flush=True)


if __name__ == "__main__":
    unittest.main()
