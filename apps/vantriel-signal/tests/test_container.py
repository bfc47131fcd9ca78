"""The signalling server's container image, as an operator meets it: built by
container/build-image.sh from the build's binaries with podman and no registry, run with a
read-only root as its own non-root user, configured by VTR_SIGNAL_* variables, found
healthy by its own check, reached by a client through the published port, stopped and
started again with its bindings kept on the volume. Also the image's health check on its
own against what it must not take for a server, and compose.yaml's settings against the
server's switches.

Podman keeps everything of these tests in a store of its own under a temporary folder,
removed at the end whatever happened. Where podman cannot run containers (no podman, no
user namespaces, no runtime that works here), the container tests skip with one line.
"""

import base64
import hashlib
import hmac
import http.server
import io
import json
import os
import re
import shutil
import socket
import subprocess
import tarfile
import tempfile
import threading
import time
import unittest

import signal_client as sc

HERE = os.path.dirname(os.path.abspath(__file__))
CONTAINER = os.path.join(HERE, "..", "container")
BUILD_IMAGE = os.path.join(CONTAINER, "build-image.sh")
COMPOSE = os.path.join(CONTAINER, "compose.yaml")
BIN = os.environ.get("VANTRIEL_SIGNAL_BIN", "")
BIN_DIR = os.path.dirname(BIN)
HEALTH = os.path.join(BIN_DIR, "vantriel-signal-health")
VERSION = os.environ.get("VANTRIEL_SIGNAL_VERSION", "0.1.1")
EPOCH = "1700000000"
UID = 10001
DATA = "/var/lib/vantriel-signal"
ID = "987654321"


def run(*cmd, check=True, env=None, timeout=120, merge=False):
    """(exit code, standard output); with `merge`, standard error is in it too."""
    done = subprocess.run(cmd, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT if merge else subprocess.PIPE,
                          stdin=subprocess.DEVNULL, env=env, timeout=timeout)
    out = done.stdout.decode(errors="replace")
    if check and done.returncode != 0:
        err = "" if merge else done.stderr.decode(errors="replace")
        raise AssertionError(f"{' '.join(cmd)} exited {done.returncode}:\n{(out + err)[-3000:]}")
    return done.returncode, out


def switches():
    """The switches `vantriel-signal --help` lists."""
    _, out = run(BIN, "--help", check=False, merge=True)
    return set(re.findall(r"(?m)^  --([a-z-]+)  ", out))


class HealthCheckTest(unittest.TestCase):
    """The check decides alone whether the engine restarts the server: it must answer no
    for whatever is not a live vantriel-signal, and within its own deadline."""

    def setUp(self):
        if not os.path.isfile(HEALTH):
            self.skipTest(f"{HEALTH} is not built")

    def check(self, port, host=None):
        env = {"PATH": "/usr/bin:/bin", "VTR_SIGNAL_PORT": str(port)}
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
            if name in os.environ:
                env[name] = os.environ[name]
        if host is not None:
            env["VTR_SIGNAL_HOST"] = host
        start = time.monotonic()
        code, out = run(HEALTH, check=False, env=env, timeout=30, merge=True)
        return code, out.strip(), time.monotonic() - start

    def test_healthy_only_for_a_live_server(self):
        # Nothing listens.
        code, out, _ = self.check(sc.free_port())
        self.assertEqual(code, 1)
        self.assertRegex(out, r"^unhealthy: 127\.0\.0\.1:\d+: ")
        for port in ("0", "65536", "88x", ""):
            code, out, _ = self.check(port)
            self.assertEqual(code, 1, port)
            if port:
                self.assertIn("is not a port", out)

        # Another HTTP server that answers 200: not ours.
        class Plain(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                body = b'{"status":"ok"}'
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        plain = http.server.HTTPServer(("127.0.0.1", 0), Plain)
        threading.Thread(target=plain.serve_forever, daemon=True).start()
        try:
            code, out, _ = self.check(plain.server_address[1])
        finally:
            plain.shutdown()
            plain.server_close()
        self.assertEqual((code, out.endswith("is not vantriel-signal")), (1, True), out)

        # A server that accepts and never answers: unhealthy within the check's deadline.
        mute = socket.socket()
        mute.bind(("127.0.0.1", 0))
        mute.listen(4)
        try:
            code, out, took = self.check(mute.getsockname()[1])
        finally:
            mute.close()
        self.assertEqual(code, 1)
        self.assertIn("no answer in time", out)
        print(f"\nsignal_container: a mute server is unhealthy after {took:.1f} s", flush=True)

        # The real server, asked on loopback when it listens on every address.
        with tempfile.TemporaryDirectory() as tmp:
            port = sc.free_port()
            server = sc.Server([BIN, "--host", "0.0.0.0", "--port", str(port), "--data",
                                os.path.join(tmp, "signal.json")], os.path.join(tmp, "log"))
            try:
                self.assertEqual(server.port, port, server.log()[-2000:])
                code, out, _ = self.check(port, host="0.0.0.0")
                self.assertEqual(code, 0, out)
                self.assertEqual(out, f'healthy: 127.0.0.1:{port} {{"app":"vantriel","v":"{VERSION}"}}')
                code, out, _ = self.check(port, host="[::]")  # v6 wildcard: asks ::1
                self.assertEqual(code, 1)
                self.assertIn(f"[::1]:{port}", out)
            finally:
                server.stop()


class BuildRefusalTest(unittest.TestCase):
    def test_refuses_what_would_make_a_broken_image(self):
        with tempfile.TemporaryDirectory() as tmp:
            only_server = os.path.join(tmp, "bin")
            os.makedirs(only_server)
            os.symlink(BIN, os.path.join(only_server, "vantriel-signal"))  # no check beside it
            for args in (["v1.0", BIN_DIR], ["1.0 beta", BIN_DIR],
                         ["1.0", BIN_DIR, 'name"with:quotes'], ["1.0", BIN_DIR, "Upper:1"],
                         ["1.0", BIN_DIR, "name:"], ["1.0", only_server],
                         ["1.0", os.path.join(tmp, "missing")], ["--save"]):
                code, out = run(BUILD_IMAGE, *args, check=False, merge=True)
                self.assertNotEqual(code, 0, args)
                self.assertRegex(out, r"^build-image: ", args)


class ComposeTest(unittest.TestCase):
    def test_settings_are_the_servers_and_secrets_stay_out(self):
        try:
            import yaml
        except ImportError:
            self.skipTest("python3-yaml is missing (tools/setup.sh installs it)")

        with open(COMPOSE) as f:
            compose = yaml.safe_load(f)
        services = compose["services"]
        known = switches()
        self.assertIn("redis-sentinels", known)
        signal = services["signal"]
        env = signal["environment"]
        for key in env:
            self.assertTrue(key.startswith("VTR_SIGNAL_"), key)
            switch = key[len("VTR_SIGNAL_"):].lower().replace("_", "-")
            self.assertIn(switch, known, f"{key} is no switch of vantriel-signal")
        # The sentinels it asks are services of this file.
        for place in env["VTR_SIGNAL_REDIS_SENTINELS"].split(","):
            self.assertIn(place.strip().rsplit(":", 1)[0], services)
        # Secrets come from the operator's .env, never written in the file itself.
        secret_keys = [k for k in env if re.search(r"SECRET|PASSWORD", k)]
        self.assertGreaterEqual(len(secret_keys), 2)
        for key in secret_keys:
            self.assertRegex(str(env[key]), r"^\$\{[A-Z_]+:\?[^}]+\}$", key)
        self.assertIs(signal["read_only"], True)
        self.assertRegex(signal["image"], r"(^|/)vantriel-signal:")
        self.assertEqual(signal["healthcheck"]["test"], ["CMD", "/usr/bin/vantriel-signal-health"])
        # No service builds anything: the operator names images, nothing is pulled by us.
        self.assertFalse([name for name, s in services.items() if "build" in s])


class TlsRedis:
    """A redis-server on a loopback port that speaks TLS only, with a password, its
    certificate (for 127.0.0.1) signed by a CA made here; None where redis-server or
    openssl is missing."""

    def __init__(self, tmp):
        self.dir = os.path.join(tmp, "tls-redis")
        os.makedirs(self.dir)
        self.ca = self.at("ca.pem")
        self.password = "north-wind-in-the-container"
        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        run("openssl", "req", "-x509", *ec, "-days", "2", "-subj", "/CN=test-ca",
            "-keyout", self.at("ca.key"), "-out", self.ca)
        with open(self.at("server.ext"), "w") as f:
            f.write("subjectAltName=IP:127.0.0.1\n")
        run("openssl", "req", "-new", *ec, "-subj", "/CN=redis", "-keyout", self.at("server.key"),
            "-out", self.at("server.csr"))
        run("openssl", "x509", "-req", "-days", "2", "-in", self.at("server.csr"), "-CA", self.ca,
            "-CAkey", self.at("ca.key"), "-CAcreateserial", "-extfile", self.at("server.ext"),
            "-out", self.at("server.pem"))
        os.chmod(self.ca, 0o644)  # read by the server's user in the container
        self.port = sc.free_port()
        # The password goes through the settings file, as an operator's would.
        with open(self.at("redis.conf"), "w") as f:
            f.write(f"port 0\ntls-port {self.port}\nbind 127.0.0.1\n"
                    f"tls-cert-file {self.at('server.pem')}\ntls-key-file {self.at('server.key')}\n"
                    f"tls-ca-cert-file {self.ca}\ntls-auth-clients no\n"
                    f"requirepass {self.password}\ndir {self.dir}\nsave \"\"\nappendonly no\n")
        self.proc = subprocess.Popen(["redis-server", self.at("redis.conf")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     stdin=subprocess.DEVNULL)

    def at(self, name):
        return os.path.join(self.dir, name)

    def query(self, *command):
        _, out = run("redis-cli", "--tls", "--cacert", self.ca, "-h", "127.0.0.1", "-p",
                     str(self.port), "--no-auth-warning", "-a", self.password, *command)
        return out.strip()

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(sc.DEADLINE)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Podman:
    """Podman with its own store, run root and settings under `tmp`."""

    def __init__(self, tmp):
        self.tmp = tmp
        storage, conf = os.path.join(tmp, "storage.conf"), os.path.join(tmp, "containers.conf")
        with open(storage, "w") as f:
            f.write(f'[storage]\ngraphroot = "{tmp}/store"\nrunroot = "{tmp}/run"\n')
        with open(conf, "w") as f:
            f.write(f'[engine]\ntmp_dir = "{tmp}/engine"\nevents_logger = "file"\n'
                    f'events_logfile_path = "{tmp}/events.log"\n')
        self.env = dict(os.environ, CONTAINERS_STORAGE_CONF=storage, CONTAINERS_CONF=conf)
        self.runtime = []  # global switches that make containers run here
        self.run_flags = []

    def __call__(self, *args, check=True, timeout=120, merge=False):
        return run("podman", *self.runtime, *args, check=check, env=self.env, timeout=timeout,
                   merge=merge)

    def pick_runtime(self, image):
        """The first runtime and limits with which a container of `image` starts here: crun
        refuses cgroup hierarchies that mix v1 and v2 controllers, and where the engine may
        not raise the process limits it must be told lower ones. None when nothing works."""
        lowered = ["--ulimit", "nofile=4096:4096", "--ulimit", "nproc=4096:4096"]
        errors = []
        for runtime in [r for r in ("crun", "runc") if shutil.which(r)]:
            for flags in ([], lowered):
                code, out = run("podman", "--runtime", runtime, "run", "--rm", "--network=none",
                                "--read-only", *flags, image, "--help", check=False,
                                env=self.env, timeout=60, merge=True)
                if code == 2 and "usage: vantriel-signal" in out:
                    self.runtime, self.run_flags = ["--runtime", runtime], flags
                    return f"{runtime}{' with lowered limits' if flags else ''}"
                errors.append(out.strip().splitlines()[-1] if out.strip() else f"exit {code}")
        return "; ".join(dict.fromkeys(errors)) or "no crun or runc"

    def close(self):
        for args in (("rm", "--all", "--force", "--volumes"), ("volume", "rm", "--all", "--force"),
                     ("rmi", "--all", "--force")):
            try:
                self(*args, check=False)
            except subprocess.TimeoutExpired:
                pass  # what is left goes with the folder
        # Whatever the store still has mounted goes before the folder does.
        with open("/proc/self/mounts") as f:
            mounts = [line.split()[1] for line in f]
        for m in sorted((m for m in mounts if m.startswith(self.tmp + "/")), reverse=True):
            subprocess.run(["umount", "-l", m], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.tmp, ignore_errors=True)


def probe_image(folder):
    """The smallest image podman loads: one layer with one file, as `docker save` writes it."""
    layer = os.path.join(folder, "probe-layer.tar")
    with tarfile.open(layer, "w") as t:
        info = tarfile.TarInfo("probe")
        info.size = 2
        t.addfile(info, fileobj=io.BytesIO(b"ok"))
    with open(layer, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    config = json.dumps({"architecture": "amd64", "os": "linux", "config": {},
                         "rootfs": {"type": "layers", "diff_ids": ["sha256:" + digest]}}).encode()
    manifest = json.dumps([{"Config": "config.json", "RepoTags": ["localhost/vtr-probe:1"],
                            "Layers": ["layer.tar"]}]).encode()
    archive = os.path.join(folder, "probe.tar")
    with tarfile.open(archive, "w") as t:
        t.add(layer, "layer.tar")
        for name, data in (("config.json", config), ("manifest.json", manifest)):
            info = tarfile.TarInfo(name)
            info.size = len(data)
            t.addfile(info, fileobj=io.BytesIO(data))
    return archive


class ImageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not BIN:
            raise unittest.SkipTest("signal_container: VANTRIEL_SIGNAL_BIN is not set")
        if not shutil.which("podman"):
            raise unittest.SkipTest("signal_container: podman is missing (tools/setup.sh installs it): not run")
        cls.podman = Podman(tempfile.mkdtemp(prefix="signal-container-"))
        code, out = cls.podman("info", "--format", "{{.Host.OCIRuntime.Name}}", check=False,
                               merge=True)
        if code != 0:
            cls.podman.close()
            last = out.strip().splitlines()[-1] if out.strip() else f"exit {code}"
            raise unittest.SkipTest(f"signal_container: podman cannot run here ({last}): not run")
        # Whether this machine's podman can store an image at all (inside a chroot, say, it
        # cannot unpack a layer), known from the smallest valid image before ours is tried.
        code, out = cls.podman("load", "-i", probe_image(cls.podman.tmp), check=False, merge=True)
        if code != 0:
            cls.podman.close()
            last = out.strip().splitlines()[-1] if out.strip() else f"exit {code}"
            raise unittest.SkipTest(f"signal_container: podman cannot store images here ({last}): not run")

    @classmethod
    def tearDownClass(cls):
        cls.podman.close()

    def build(self, tag, archive, umask="022"):
        env = dict(self.podman.env, SOURCE_DATE_EPOCH=EPOCH)
        start = time.monotonic()
        _, out = run("sh", "-c", f'umask {umask} && exec "$0" "$@"', BUILD_IMAGE, "--save",
                     archive, VERSION, BIN_DIR, tag, env=env, timeout=300)
        took = time.monotonic() - start
        name, image_id = out.strip().splitlines()[-1].split()
        self.assertEqual(name, tag)
        return image_id, took

    def wait_healthy(self, name):
        deadline = time.monotonic() + 60  # a start on a loaded machine, not a figure
        while time.monotonic() < deadline:
            code, out = self.podman("healthcheck", "run", name, check=False, merge=True)
            if code == 0:
                return
            time.sleep(0.1)
        _, logs = self.podman("logs", name, check=False, merge=True)
        self.fail(f"{name} never became healthy ({out.strip()}):\n{logs[-2000:]}")

    def start(self, args, name, port):
        """`podman run` of the image in the machine's network, listening on loopback only
        (no engine bridge: a test leaves no interface or address on the machine); where the
        engine cannot share the machine's network, with the port published on loopback."""
        tries = [["--network=host", "-e", "VTR_SIGNAL_HOST=127.0.0.1", "-e", f"VTR_SIGNAL_PORT={port}"],
                 ["-p", f"127.0.0.1:{port}:8890"]]
        failures = []
        for network in tries:
            code, out = self.podman("run", "-d", "--name", name, *self.podman.run_flags,
                                    *network, *args, check=False, merge=True)
            if code == 0:
                return
            failures.append(out.strip())
            self.podman("rm", "--force", name, check=False)
        self.fail("the container did not start:\n" + "\n".join(failures))

    def test_built_run_read_only_as_its_user_and_keeps_its_bindings(self):
        tag = "localhost/vantriel-signal-test:" + VERSION
        archive = os.path.join(self.podman.tmp, "image.tar")
        image_id, took = self.build(tag, archive)

        # The same binaries and date give the same image, whatever the umask.
        again, took_again = self.build(tag, archive + ".again", umask="077")
        self.assertEqual(again, image_id)
        with open(archive, "rb") as a, open(archive + ".again", "rb") as b:
            self.assertEqual(hashlib.sha256(a.read()).digest(), hashlib.sha256(b.read()).digest())

        _, out = self.podman("image", "inspect", tag)
        image = json.loads(out)[0]
        config = image["Config"]
        size = image["Size"]
        self.assertEqual(config["User"], f"{UID}:{UID}")
        self.assertIn("8890/tcp", config["ExposedPorts"])
        self.assertIn(DATA, config["Volumes"])
        self.assertEqual(config["Labels"]["org.opencontainers.image.version"], VERSION)
        self.assertIn(f"VTR_SIGNAL_DATA={DATA}/signal.json", config["Env"])
        self.assertIn("VTR_SIGNAL_HOST=0.0.0.0", config["Env"])

        # Its root: the binaries, their libraries, nothing that runs a command, root's files
        # but for the server's own folder, every date the given one.
        with tarfile.open(archive) as outer:
            manifest = json.load(outer.extractfile("manifest.json"))
            self.assertEqual(manifest[0]["RepoTags"], [tag])
            with tarfile.open(fileobj=outer.extractfile(manifest[0]["Layers"][0])) as layer:
                members = {m.name.lstrip("./").rstrip("/"): m for m in layer.getmembers()}
        for needed in ("usr/bin/vantriel-signal", "usr/bin/vantriel-signal-health",
                       "usr/lib64/ld-linux-x86-64.so.2", "usr/lib/x86_64-linux-gnu/libc.so.6",
                       "usr/lib/x86_64-linux-gnu/libssl.so.3", "etc/ssl/certs/ca-certificates.crt",
                       "usr/share/doc/libssl3/copyright", "etc/passwd", "etc/group"):
            self.assertIn(needed, members)
        for absent in ("usr/bin/sh", "bin/sh", "usr/bin/bash", "usr/bin/busybox", "usr/bin/apt"):
            self.assertNotIn(absent, members)
        self.assertEqual(members["bin"].linkname, "usr/bin")
        data = members[DATA.lstrip("/")]
        self.assertEqual((data.uid, data.gid, data.mode & 0o7777), (UID, UID, 0o750))
        others = [n for n, m in members.items() if n and n != DATA.lstrip("/") and (m.uid, m.gid) != (0, 0)]
        self.assertEqual(others, [])
        self.assertEqual({m.mtime for m in members.values()}, {int(EPOCH)})
        with tarfile.open(archive) as outer, tarfile.open(
                fileobj=outer.extractfile(manifest[0]["Layers"][0])) as layer:
            passwd = layer.extractfile("./etc/passwd").read().decode()
        self.assertIn(f"vantriel-signal:x:{UID}:{UID}:", passwd)

        how = self.podman.pick_runtime(tag)
        if not self.podman.runtime:
            self.skipTest(f"signal_container: podman cannot run containers here ({how}): not run")

        name, volume = f"vtr-signal-test-{os.getpid()}", f"vtr-signal-test-{os.getpid()}"
        port, secret = sc.free_port(), "s3cret-of-the-container"
        args = ["--read-only", "--cap-drop=all", "--security-opt=no-new-privileges",
                "-v", f"{volume}:{DATA}", "-e", "VTR_SIGNAL_TURN=turn:127.0.0.1:3478",
                "-e", f"VTR_SIGNAL_TURN_SECRET={secret}"]
        for var in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):  # a sanitizer build's own settings
            if var in os.environ:
                args += ["-e", f"{var}={os.environ[var]}"]
        started = time.monotonic()
        self.start(args + [tag], name, port)
        self.wait_healthy(name)
        to_healthy = time.monotonic() - started
        _, out = self.podman("inspect", "--format", "{{.State.Health.Status}}", name)
        self.assertEqual(out.strip(), "healthy")
        _, out = self.podman("top", name, "user", "capeff")
        self.assertEqual(out.splitlines()[1].split(), ["vantriel-signal", "none"])

        code, _, body = sc.http_get(f"http://127.0.0.1:{port}/health")
        self.assertEqual((code, json.loads(body)), (200, {"app": "vantriel", "v": VERSION}))
        _, _, body = sc.http_get(f"http://127.0.0.1:{port}/ice")
        turn = json.loads(body)["iceServers"][0]
        self.assertEqual(turn["urls"], ["turn:127.0.0.1:3478"])
        expected = base64.b64encode(hmac.new(secret.encode(), turn["username"].encode(),
                                             hashlib.sha1).digest()).decode()
        self.assertEqual(turn["credential"], expected)
        host = sc.Ws(port, "/host/" + ID)
        try:
            host.send({"t": "hello", "key": "the-host-key", "name": "Ana"})
            self.assertEqual(host.recv()["t"], "ready")
        finally:
            host.close()

        # SIGTERM: it writes its bindings to the volume and ends cleanly.
        self.podman("stop", "--time", "20", name)
        _, out = self.podman("inspect", "--format", "{{.State.ExitCode}}", name)
        self.assertEqual(out.strip(), "0")
        _, logs = self.podman("logs", name, merge=True)
        self.assertIn("turn-secret = (set)", logs)
        self.assertNotIn(secret, logs)

        # Started again: the ID is still the first host's.
        self.podman("start", name)
        self.wait_healthy(name)
        for key, answer in (("another-key", {"t": "taken"}), ("the-host-key", None)):
            ws = sc.Ws(port, "/host/" + ID)
            try:
                ws.send({"t": "hello", "key": key, "name": "X"})
                reply = ws.recv()
                if answer:
                    self.assertEqual(reply, answer)
                else:
                    self.assertEqual(reply["t"], "ready")
            finally:
                ws.close()
        self.podman("rm", "--force", name)
        self.podman("volume", "rm", volume)

        # rediss:// from the image: its OpenSSL and settings, the CA given as a file, the
        # password from the environment. /health answers 200 only with the link up.
        tls = "no redis-server or openssl"
        if shutil.which("redis-server") and shutil.which("redis-cli") and shutil.which("openssl"):
            redis = TlsRedis(self.podman.tmp)
            self.addCleanup(redis.stop)
            tls_port = sc.free_port()
            tls_args = ["--read-only", "--cap-drop=all", "--network=host",
                        "-v", f"{redis.ca}:/etc/vantriel-signal/redis-ca.pem:ro",
                        "-e", f"VTR_SIGNAL_PORT={tls_port}", "-e", "VTR_SIGNAL_HOST=127.0.0.1",
                        "-e", f"VTR_SIGNAL_REDIS=rediss://127.0.0.1:{redis.port}",
                        "-e", "VTR_SIGNAL_REDIS_CA=/etc/vantriel-signal/redis-ca.pem",
                        "-e", f"VTR_SIGNAL_REDIS_PASSWORD={redis.password}"]
            for var in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
                if var in os.environ:
                    tls_args += ["-e", f"{var}={os.environ[var]}"]
            self.podman("run", "-d", "--name", name + "-tls", *self.podman.run_flags, *tls_args, tag,
                        merge=True)
            self.wait_healthy(name + "-tls")
            host = sc.Ws(tls_port, "/host/" + ID)
            try:
                host.send({"t": "hello", "key": "the-host-key", "name": "Ana"})
                self.assertEqual(host.recv()["t"], "ready")
            finally:
                host.close()
            self.assertEqual(redis.query("EXISTS", f"vtr:id:{ID}"), "1")
            _, logs = self.podman("logs", name + "-tls", merge=True)
            self.assertNotIn(redis.password, logs)
            self.podman("rm", "--force", name + "-tls")
            tls = "a host registered through rediss://"
        self.podman("rmi", tag)
        print(f"\nsignal_container: image {size / 1e6:.1f} MB, built in {took:.1f} s "
              f"(again in {took_again:.1f} s), healthy {to_healthy:.1f} s after podman run "
              f"({how}); {tls}", flush=True)


if __name__ == "__main__":
    unittest.main()
