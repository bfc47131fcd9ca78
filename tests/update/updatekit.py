"""Helpers for the updater tests and the download benchmark: an installed host in a
temporary folder, a release server on loopback, signed release documents.

For the Windows build VANTRIEL_WINE names the wrapper that runs Vantriel.exe under Wine;
the release tool is the Linux build's either way (it only packs and signs)."""

import ctypes
import hashlib
import http.server
import json
import os
import shutil
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import urllib.error
import urllib.request
import zipfile

# The launcher and waits every suite shares; found from here, so that benchmarks run by
# hand find them too.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
from host_launcher import WINE, HostProcess, page_token, windows_path  # noqa: E402,F401
from waiting import wait_for  # noqa: E402

OLD_EXE = os.environ.get("VANTRIEL_EXE", "")
NEW_EXE = os.environ.get("VANTRIEL_NEWER_EXE", "")
RELEASE_TOOL = os.environ.get("VANTRIEL_RELEASE_TOOL", "")
KEY_FILE = os.environ.get("VANTRIEL_TEST_KEY", "")
# The installed executable's file name: "vantriel", or "Vantriel.exe" for Windows.
EXE_NAME = os.path.basename(OLD_EXE) if OLD_EXE else "vantriel"


def tree_hashes(root, skip=("data",)):
    """Every file and folder below root (but the skipped top-level names) with the
    SHA-256 of its bytes; folders map to "/"."""
    out = {}
    for base, dirs, files in os.walk(root):
        rel_base = os.path.relpath(base, root)
        if rel_base == ".":
            dirs[:] = [d for d in dirs if d not in skip]
        for d in dirs:
            out[os.path.normpath(os.path.join(rel_base, d))] = "/"
        for f in files:
            path = os.path.join(base, f)
            with open(path, "rb") as fh:
                out[os.path.normpath(os.path.join(rel_base, f))] = hashlib.sha256(fh.read()).hexdigest()
    return out


class ReleaseServer:
    """Serves a folder on 127.0.0.1, plus /version.json from memory (unless document is
    None: then the folder's own), /missing (404) and /cut/<name>: the file's full length
    announced, half of it sent, then the connection closed. With tls=(certificate, key)
    files it speaks HTTPS; port 0 takes a free one."""

    def __init__(self, folder, document=b"{}", tls=None, port=0):
        self.folder = folder
        self.document = document
        owner = self

        class Handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *a, **kw):
                super().__init__(*a, directory=owner.folder, **kw)

            def log_message(self, *a):
                pass

            def do_GET(self):
                if self.path == "/version.json" and owner.document is not None:
                    body = owner.document
                    self.send_response(200)
                    self.send_header("Content-Type", "application/json")
                    self.send_header("Content-Length", str(len(body)))
                    self.end_headers()
                    self.wfile.write(body)
                    return
                if self.path.startswith("/cut/"):
                    with open(os.path.join(owner.folder, self.path[5:]), "rb") as fh:
                        data = fh.read()
                    self.send_response(200)
                    self.send_header("Content-Length", str(len(data)))
                    self.end_headers()
                    self.wfile.write(data[: len(data) // 2])
                    self.wfile.flush()
                    self.connection.shutdown(socket.SHUT_RDWR)
                    self.close_connection = True
                    return
                super().do_GET()

        class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
            daemon_threads = True

        self.httpd = Server(("127.0.0.1", port), Handler)
        self.port = self.httpd.server_address[1]
        self.scheme = "http"
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*tls)
            self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True)
            self.scheme = "https"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return "%s://127.0.0.1:%d/%s" % (self.scheme, self.port, path.lstrip("/"))

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def make_test_certificates(folder):
    """A throwaway certificate authority and a certificate for 127.0.0.1 and localhost
    that it signed, made with openssl in folder: (ca, certificate, key) files. The address
    is also written as a DNS name: Wine's WinHTTP matches a server's name against those
    only (12038, "CN invalid", otherwise)."""
    def run(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
        "-subj", "/CN=Vantriel test CA", "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost")
    with open(os.path.join(folder, "server.ext"), "w") as fh:
        fh.write("subjectAltName=DNS:localhost,DNS:127.0.0.1,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                 "keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "server.ext")
    return tuple(os.path.join(folder, name) for name in ("ca.pem", "server.pem", "server.key"))


def trust_for_this_process(ca, folder):
    """Makes the system's trusted certificates, as this process and every program it starts
    from now on see them, the usual ones plus ca: a private mount namespace (so nothing
    else on the machine trusts it) in which folder/certs stands in for /etc/ssl/certs.
    libcurl reads its bundle from there, and so does Wine's certificate store. Needs root,
    or user namespaces (then before any thread starts). Raises OSError when neither works."""
    certs = os.path.join(folder, "certs")
    os.makedirs(certs)
    with open(ca, "rb") as fh:
        ca_pem = fh.read()
    with open("/etc/ssl/certs/ca-certificates.crt", "rb") as fh:
        bundle = fh.read()
    with open(os.path.join(certs, "ca-certificates.crt"), "wb") as fh:
        fh.write(bundle.rstrip(b"\n") + b"\n" + ca_pem)
    shutil.copy(ca, os.path.join(certs, "vantriel-test-ca.pem"))
    subprocess.run(["openssl", "rehash", certs], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)

    libc = ctypes.CDLL(None, use_errno=True)
    clone_newns, clone_newuser = 0x00020000, 0x10000000
    ms_bind, ms_rec, ms_private = 0x1000, 0x4000, 0x40000
    if libc.unshare(clone_newns) != 0:
        uid, gid = os.getuid(), os.getgid()
        if libc.unshare(clone_newns | clone_newuser) != 0:
            raise OSError(ctypes.get_errno(), "no private mount namespace")
        for name, text in (("setgroups", "deny"), ("uid_map", "%d %d 1" % (uid, uid)),
                           ("gid_map", "%d %d 1" % (gid, gid))):
            with open("/proc/self/" + name, "w") as fh:
                fh.write(text)
    # Nothing mounted here may reach the rest of the machine.
    if libc.mount(b"none", b"/", None, ms_rec | ms_private, None) != 0 or \
            libc.mount(certs.encode(), b"/etc/ssl/certs", None, ms_bind, None) != 0:
        raise OSError(ctypes.get_errno(), "cannot mount the test certificates")


def unzip_as_a_user_would(archive, folder):
    """Unpacks archive into folder, with the file modes it records (as unzip and the
    desktops' archive tools do)."""
    with zipfile.ZipFile(archive) as z:
        for info in z.infolist():
            path = z.extract(info, folder)
            mode = (info.external_attr >> 16) & 0o777
            if mode:
                os.chmod(path, mode)


def test_seed():
    with open(KEY_FILE) as fh:
        for line in fh:
            parts = line.split()
            if len(parts) == 2 and parts[0] == "seed":
                return parts[1]
    raise RuntimeError("no seed in " + KEY_FILE)


def pack(folder, package):
    subprocess.run([RELEASE_TOOL, "pack", folder, package], check=True, stdout=subprocess.DEVNULL)


def sign(package, version, url, work):
    """The signed release document for package, as bytes."""
    key = os.path.join(work, "test.key")
    with open(key, "w") as fh:
        fh.write(test_seed() + "\n")
    out = os.path.join(work, "doc.json")
    subprocess.run([RELEASE_TOOL, "sign", package, "--key", key, "--version", version,
                    "--url", url, "--out", out], check=True, stdout=subprocess.DEVNULL)
    with open(out, "rb") as fh:
        return fh.read()


class Host(HostProcess):
    """A host process run from an install folder, reached over loopback. What the test
    puts around it goes in the folder above: host-output.txt, and the stand-in browser
    that the relaunched host's window finds first, so nothing opens."""

    def __init__(self, install, update_url, extra_env=None):
        self.install = install
        aside = os.path.abspath(os.path.join(install, ".."))
        # The desktop's folders follow HOME; no proxy, server or ID of this machine's.
        env = {name: None for name in ("XDG_DATA_HOME", "XDG_CONFIG_HOME", "http_proxy",
                                       "https_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                                       "MRV_UPD_DRY_RUN", "VTR_SERVER", "VTR_ID")}
        env.update({"MRV_UPDATE_URL": update_url, "HOME": aside})
        env.update(extra_env or {})
        # Hosts here end through the installer's hand-over too: their leaks are reported.
        super().__init__(env=env, folder=install, aside=aside, leaks=True, output="file",
                         timeout=60)

    def follow(self):
        """Points this object at the port of the host now recorded in the folder (the
        relaunched one binds the first free port from the same start)."""
        try:
            with open(os.path.join(self.install, "data", "instancia.json")) as fh:
                self.port = json.load(fh)["port"]
        except (OSError, ValueError, KeyError):
            pass

    def get(self, path):
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d%s" % (self.port, path), timeout=5) as r:
                return json.loads(r.read())
        except (OSError, ValueError):
            return None

    def post(self, path, body):
        req = urllib.request.Request("http://127.0.0.1:%d%s" % (self.port, path),
                                     data=json.dumps(body).encode(), method="POST",
                                     headers={"Content-Type": "application/json",
                                              "X-Token": self.token()})
        with urllib.request.urlopen(req, timeout=10) as r:
            return json.loads(r.read())

    def token(self):
        # One token per process: fetched again only when another process may answer.
        if getattr(self, "_token_port", None) == self.port and self.proc.poll() is None:
            return self._token
        self._token_port = self.port
        self._token = self._fetch_token()
        return self._token

    def _fetch_token(self):
        with urllib.request.urlopen("http://127.0.0.1:%d/" % self.port, timeout=5) as r:
            return page_token(r.read())

    def update(self, action=None, **members):
        if action is None:
            return self.get("/api/update")
        return self.post("/api/update", dict(action=action, **members))

    def wait_for(self, predicate, seconds, what):
        return wait_for(predicate, what, seconds, interval=0.1)

    def wait_phase(self, phases, seconds=60):
        last = []

        def reached():
            state = self.update()
            last[:] = [state]
            return state if state and state["phase"] in phases else None

        try:
            return self.wait_for(reached, seconds, "phase in %s" % (phases,))
        except AssertionError as e:
            raise AssertionError("%s; last state %s; log:\n%s" % (e, last, self.log()[-2000:]))

    def stop(self):
        """Ends this host and any host the installer started from the same folder."""
        super().stop()
        pid = self.recorded_pid()
        if pid is not None and pid != self.pid:
            if WINE:
                # A Windows process id: only Wine can end it.
                subprocess.run([WINE, "taskkill.exe", "/F", "/PID", str(pid)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
            else:
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass


def install_host(folder, exe):
    """An installed host: the executable, a tools folder, the notes file, an old file."""
    os.makedirs(os.path.join(folder, "tools"))
    shutil.copy2(exe, os.path.join(folder, EXE_NAME))
    with open(os.path.join(folder, "tools", "herramienta.sh"), "w") as fh:
        fh.write("vieja\n")
    with open(os.path.join(folder, "notas_para_orsela.md"), "w") as fh:
        fh.write("mis notas\n")
    with open(os.path.join(folder, "viejo.txt"), "w") as fh:
        fh.write("solo en 0.1.1\n")
