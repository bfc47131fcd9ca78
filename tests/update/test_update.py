"""The updater end to end, on loopback only: a host of 0.1.1 finds 0.1.2 on a local release
server, downloads, verifies, unpacks, hands over to the installer and comes back as 0.1.2;
every failure on the way leaves the installed files exactly as they were."""

import base64
import hashlib
import json
import os
import shutil
import stat
import subprocess
import tempfile
import unittest
import urllib.parse
import zipfile

from updatekit import (EXE_NAME, NEW_EXE, OLD_EXE, RELEASE_TOOL, WINE, Host, ReleaseServer, install_host,
                       make_test_certificates, pack, sign, tree_hashes, trust_for_this_process,
                       unzip_as_a_user_would, windows_path)

SIGNATURE_FAILURE = "la firma de la actualización no es válida; no se instalará nada"
SHA_FAILURE = "el archivo descargado no coincide con el publicado (SHA-256 distinto)"
# The system's text for a rename of an immutable file: EPERM on Linux; under Wine,
# ERROR_ACCESS_DENIED in Wine's words (Windows says "Access is denied").
NOT_PERMITTED = "Access denied" if WINE else "Operation not permitted"


class UpdateTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(RELEASE_TOOL):
            raise unittest.SkipTest("no release tool at %r: build the Linux configuration first"
                                    % RELEASE_TOOL)
        cls.tmp = tempfile.mkdtemp(prefix="vantriel_update_")
        www = os.path.join(cls.tmp, "www")
        os.makedirs(www)
        release = os.path.join(cls.tmp, "release")
        os.makedirs(os.path.join(release, "tools"))
        shutil.copy2(NEW_EXE, os.path.join(release, EXE_NAME))
        with open(os.path.join(release, "leeme.txt"), "w") as fh:
            fh.write("Vantriel 0.1.2\n")
        with open(os.path.join(release, "tools", "herramienta.sh"), "w") as fh:
            fh.write("nueva\n")  # a package never replaces the installed tools
        cls.package = os.path.join(www, "Vantriel-0.1.2.zip")
        pack(release, cls.package)
        cls.server = ReleaseServer(www)
        cls.good = sign(cls.package, "0.1.2", cls.server.url("Vantriel-0.1.2.zip"), cls.tmp)

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        subprocess.run(["chattr", "-R", "-i", cls.tmp], stderr=subprocess.DEVNULL, check=False)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def start_host(self, name, extra_env=None, auto_check=True):
        install = os.path.join(self.tmp, name, "Vantriel")
        install_host(install, OLD_EXE)
        if not auto_check:
            # No start-up check: every check of the test is one it asked for.
            os.makedirs(os.path.join(install, "data"), exist_ok=True)
            with open(os.path.join(install, "data", "vantriel.ini"), "w") as fh:
                fh.write("[general]\nbuscar_actualizaciones = no\n")
        host = Host(install, self.server.url("version.json"), extra_env)
        self.addCleanup(host.stop)
        return host

    def check_until_done(self, host):
        # Each check logs one line; waiting for it keeps a slow check thread from being
        # mistaken for the phase the previous run left.
        lines = host.log().count("[ACTUALIZAR] ")
        host.update("check")
        host.wait_for(lambda: host.log().count("[ACTUALIZAR] ") > lines, 60, "the check's log line")
        return host.wait_phase(("available", "uptodate", "error"))

    def test_install_hands_over_and_comes_back_newer(self):
        self.server.document = self.good
        host = self.start_host("full")
        state = self.check_until_done(host)
        self.assertEqual(state["phase"], "available", state)
        self.assertTrue(state["can_install"])
        self.assertEqual(state["latest"]["version"], "0.1.2")
        self.assertIn("[ACTUALIZAR] Hay una versión nueva: v0.1.2", host.log())

        first_port = host.port
        reply = host.update("install")
        self.assertTrue(reply["ok"], reply)
        self.assertEqual(reply["phase"], "downloading")
        host.wait_for(lambda: host.proc.poll() is not None, 60, "the old host to exit")
        version = host.wait_for(
            lambda: (lambda v: v if v and v["version"] == "0.1.2" else None)(host.follow() or host.get("/api/version")),
            60, "the new host")
        self.assertEqual(version, {"version": "0.1.2", "app": "vantriel"})
        # Neither the installer nor the new host kept the old listener open.
        self.assertEqual(host.port, first_port)

        install = host.install
        self.assertEqual(sorted(os.listdir(install)),
                         sorted(["data", "leeme.txt", "notas_para_orsela.md", "tools", EXE_NAME]))
        with open(os.path.join(install, "tools", "herramienta.sh")) as fh:
            self.assertEqual(fh.read(), "vieja\n")
        with open(os.path.join(install, EXE_NAME), "rb") as a, open(NEW_EXE, "rb") as b:
            self.assertTrue(a.read() == b.read())
        self.assertFalse(os.path.exists(os.path.join(install, "data", "actualizacion", "respaldo")))
        self.assertFalse(os.path.exists(os.path.join(install, "data", "actualizacion", "nuevo")))
        with open(os.path.join(install, "data", "actualizacion", "actualizacion.log"),
                  encoding="utf-8") as fh:
            installer_log = fh.read()
        self.assertIn(" Instalando v0.1.2 sobre v0.1.1 en " + windows_path(install) + "\n",
                      installer_log)
        self.assertIn(" Listo: instalación limpia, 2 archivo(s); se quitaron 2 elemento(s) de la "
                      "versión anterior.\n", installer_log)

        state = host.update()
        self.assertEqual(state["current"], "0.1.2")
        self.assertEqual(state["result"]["ok"], True)
        self.assertEqual(state["result"]["from"], "0.1.1")
        self.assertEqual(state["available"], False)
        self.assertEqual(state["phase"], "idle")
        self.assertIn("[ACTUALIZAR] Instalada la v0.1.2 (antes v0.1.1)", host.log())
        self.assertIsNone(host.update("seen")["result"])
        self.assertIsNone(host.get("/api/estado")["actualizacion"]["result"])

    def test_dry_run_stops_before_the_hand_off(self):
        self.server.document = self.good
        host = self.start_host("dry", {"MRV_UPD_DRY_RUN": "1"})
        self.assertEqual(self.check_until_done(host)["phase"], "available")
        before = tree_hashes(host.install)
        host.update("install")
        state = host.wait_phase(("installing", "error"))
        self.assertEqual(state["phase"], "installing", state)
        self.assertEqual(state["pct"], 100)
        self.assertFalse(state["waiting"])
        self.assertEqual(host.get("/api/version")["version"], "0.1.1")
        self.assertIsNone(host.proc.poll())
        work = os.path.join(host.install, "data", "actualizacion")
        self.assertTrue(os.path.isfile(os.path.join(work, "Vantriel_v0.1.2.zip")))
        self.assertTrue(os.path.isfile(os.path.join(work, "nuevo", EXE_NAME)))
        self.assertEqual(tree_hashes(host.install), before)
        # A second install while one ran answers the run's state and starts nothing.
        again = host.update("install")
        self.assertEqual(again["phase"], "installing")

    def test_failures_leave_the_installation_untouched(self):
        host = self.start_host("failures", auto_check=False)
        before = tree_hashes(host.install)
        www = self.server.folder

        other = os.path.join(self.tmp, "otro.zip")
        with zipfile.ZipFile(other, "w") as z:
            z.writestr("Otro/" + EXE_NAME, "x")
        shutil.copy(other, os.path.join(www, "otro.zip"))
        sig_doc = json.loads(self.good)
        sig_doc["manifest"]["date"] = "2030-01-01"
        wrong_sha = sign(other, "0.1.2", self.server.url("Vantriel-0.1.2.zip"), self.tmp)
        cases = [
            ("signature", json.dumps(sig_doc).encode(), None),
            ("sha", wrong_sha, SHA_FAILURE),
            ("404", sign(self.package, "0.1.2", self.server.url("missing.zip"), self.tmp),
             "HTTP Error 404"),
            ("cut", sign(self.package, "0.1.2", self.server.url("cut/Vantriel-0.1.2.zip"), self.tmp),
             "error de red "),
            ("folder", sign(other, "0.1.2", self.server.url("otro.zip"), self.tmp),
             "el paquete no trae la carpeta Vantriel"),
        ]
        for name, document, error in cases:
            with self.subTest(name):
                self.server.document = document
                state = self.check_until_done(host)
                if error is None:
                    self.assertEqual(state["phase"], "error")
                    self.assertEqual(state["msg"], "No se pudo buscar actualizaciones: " + SIGNATURE_FAILURE)
                    self.assertIn("[ACTUALIZAR] No se pudo buscar actualizaciones: " + SIGNATURE_FAILURE,
                                  host.log())
                    self.assertFalse(state["can_install"])
                    continue
                self.assertEqual(state["phase"], "available", state)
                self.assertTrue(host.update("install")["ok"])
                state = host.wait_phase(("error", "available", "uptodate"))
                self.assertEqual(state["phase"], "error", state)
                self.assertTrue(state["msg"].startswith("No se pudo actualizar: " + error),
                                state["msg"])
                self.assertFalse(state["waiting"])
                self.assertEqual(state["pct"], 0)
                self.assertIn("[ACTUALIZAR] No se pudo actualizar: " + error, host.log())
                self.assertFalse(os.path.exists(os.path.join(
                    host.install, "data", "actualizacion", "Vantriel_v0.1.2.zip.part")))
                self.assertEqual(tree_hashes(host.install), before)
                self.assertEqual(host.get("/api/version")["version"], "0.1.1")

    def test_swap_failure_puts_the_old_version_back(self):
        self.server.document = self.good
        host = self.start_host("swap")
        locked = os.path.join(host.install, "zz_bloqueado.dat")
        with open(locked, "w") as fh:
            fh.write("no se mueve\n")
        # An immutable file cannot be renamed, even by root; it sorts after the rest, so the
        # swap fails once the executable has already been moved aside.
        if subprocess.run(["chattr", "+i", locked], stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("chattr +i is not available here")
        self.addCleanup(subprocess.run, ["chattr", "-i", locked], check=False)
        before = tree_hashes(host.install)
        self.assertEqual(self.check_until_done(host)["phase"], "available")
        self.assertTrue(host.update("install")["ok"])
        host.wait_for(lambda: host.proc.poll() is not None, 60, "the old host to exit")
        state = host.wait_for(
            lambda: (lambda s: s if s and s["result"] else None)(host.follow() or host.update()), 60,
            "the restored host")
        self.assertEqual(state["current"], "0.1.1")
        self.assertFalse(state["result"]["ok"])
        self.assertEqual(state["result"]["error"], NOT_PERMITTED)
        self.assertEqual(tree_hashes(host.install), before)
        self.assertIn("[ACTUALIZAR] La instalación falló y se regresó todo: " + NOT_PERMITTED,
                      host.log())
        with open(os.path.join(host.install, "data", "actualizacion", "actualizacion.log"),
                  encoding="utf-8") as fh:
            self.assertIn(" ERROR: " + NOT_PERMITTED + ". Restaurando la versión anterior…\n",
                          fh.read())


SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
# What tools/release.sh puts in each portable folder.
RELEASE_FILES = {
    "linux-x86_64": ["vantriel", "licencias/wayland-protocols.txt"],
    "windows-x64": ["Vantriel.exe", "licencias/gcc-runtime.txt", "licencias/mingw-w64.txt"],
}
COMMON_FILES = ["manual/manual_es.md", "manual/manual_en.md", "licencias/LEEME.txt",
                "licencias/boost.txt", "licencias/nlohmann-json.txt", "licencias/manrope.txt"]


class ReleaseUpdateTest(unittest.TestCase):
    """The releases tools/release.sh made (tests/update/make_releases.sh: an older and a
    newer one, signed with a throwaway key): what they hold, and the older one, unpacked as
    a user would, updating itself to the newer over HTTPS, its data kept. The Linux
    archive here; the Windows one under Wine."""

    @classmethod
    def setUpClass(cls):
        folder = os.environ.get("VANTRIEL_RELEASES", "")
        if not os.path.isfile(os.path.join(folder, "releases.json")):
            raise unittest.SkipTest("no releases to test: tools/test.sh makes them with "
                                    "tests/update/make_releases.sh and names them in VANTRIEL_RELEASES")
        with open(os.path.join(folder, "releases.json")) as fh:
            cls.releases = json.load(fh)
        cls.folder = folder
        cls.platform = "windows-x64" if WINE else "linux-x86_64"
        cls.tmp = tempfile.mkdtemp(prefix="vantriel_release_")
        ca, certificate, key = make_test_certificates(cls.tmp)
        try:
            trust_for_this_process(ca, cls.tmp)
        except OSError as e:
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise unittest.SkipTest("the test certificate cannot be trusted here: %s" % e)
        base = urllib.parse.urlsplit(cls.releases["base_url"])
        cls.server = ReleaseServer(cls.release_dir("new"), document=None,
                                   tls=(certificate, key), port=base.port)

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    @classmethod
    def release_dir(cls, which):
        return os.path.join(cls.folder, which)

    def archive(self, which, platform=None):
        version = self.releases[which]
        return os.path.join(self.release_dir(which),
                            "Vantriel-%s-%s.zip" % (version, platform or self.platform))

    def test_no_published_file_holds_the_release_key(self):
        if WINE:
            self.skipTest("checked once, by the Linux build")
        if "key_file" not in self.releases:
            self.skipTest("make_releases.sh named no key file")
        with open(self.releases["key_file"]) as fh:
            seed_hex = fh.read().strip()
        seed = bytes.fromhex(seed_hex)
        for base, _, files in os.walk(self.folder):
            for name in files:
                path = os.path.join(base, name)
                if path == self.releases["key_file"]:
                    continue
                with open(path, "rb") as fh:
                    data = fh.read()
                blobs = [data]
                if name.endswith(".zip"):
                    with zipfile.ZipFile(path) as z:
                        blobs += [z.read(i) for i in z.namelist()]
                for blob in blobs:
                    self.assertNotIn(seed, blob, path)
                    self.assertNotIn(seed_hex.encode(), blob.lower(), path)

    def test_the_newer_windows_program_carries_its_publishers_signature(self):
        if WINE:
            self.skipTest("checked once, by the Linux build")
        ca = self.releases.get("authenticode_ca")
        if not ca or not shutil.which("osslsigncode"):
            self.skipTest("no Authenticode certificate or no osslsigncode")
        for which, signed in (("new", True), ("old", False)):
            with zipfile.ZipFile(self.archive(which, "windows-x64")) as z:
                program = os.path.join(self.tmp, "signed-%s.exe" % which)
                with open(program, "wb") as fh:
                    fh.write(z.read("Vantriel/Vantriel.exe"))
            verify = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", program],
                                    capture_output=True, text=True)
            self.assertEqual(verify.returncode == 0, signed, verify.stdout + verify.stderr)
        # Another CA does not vouch for it.
        other = os.path.join(self.tmp, "other-ca.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        os.path.join(self.tmp, "other-ca.key"), "-out", other, "-days", "1",
                        "-subj", "/CN=Someone else"], capture_output=True, check=True)
        verify = subprocess.run(["osslsigncode", "verify", "-CAfile", other, "-in",
                                 os.path.join(self.tmp, "signed-new.exe")], capture_output=True, text=True)
        self.assertNotEqual(verify.returncode, 0, verify.stdout)

    def test_a_rebuild_from_the_public_key_gives_the_same_bytes(self):
        if WINE:
            self.skipTest("checked once, by the Linux build")
        rebuild = os.path.join(self.folder, "rebuild")
        if not os.path.isdir(rebuild):
            self.skipTest("make_releases.sh made no rebuild")
        # Nothing signed, no key beside it; every file it made is the published one, the
        # Windows archive too: its program is this build with the published signature.
        made = sorted(os.listdir(rebuild))
        self.assertNotIn("version.json", made)
        self.assertNotIn("SHA256SUMS.minisig", made)
        check = subprocess.run(["sha256sum", "-c", "--ignore-missing",
                                os.path.join(self.release_dir("new"), "SHA256SUMS")],
                               cwd=rebuild, capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertEqual(check.stdout.count(": OK"), len(made) - 1, check.stdout)

    def test_artifacts_hold_what_they_name(self):
        if WINE:
            self.skipTest("checked once, by the Linux build")
        deb_expected = os.access(os.path.join(SOURCE, "apps", "vantriel-signal", "packaging",
                                              "build-deb.sh"), os.X_OK)
        for which in ("old", "new"):
            version, folder = self.releases[which], self.release_dir(which)
            with self.subTest(which):
                # SHA256SUMS names every file published, with its hash.
                sums = {}
                with open(os.path.join(folder, "SHA256SUMS")) as fh:
                    for line in fh:
                        digest, name = line.rstrip("\n").split("  ", 1)
                        sums[name] = digest
                beside = {"SHA256SUMS", "SHA256SUMS.minisig", "minisign.pub"}
                on_disk = {os.path.relpath(os.path.join(base, f), folder)
                           for base, _, files in os.walk(folder) for f in files} - beside
                self.assertEqual(set(sums), on_disk)
                # The list is signed by the release key, as the standard tool checks it, and
                # the key beside it is the one the programs trust.
                with open(os.path.join(folder, "minisign.pub")) as fh:
                    blob = base64.b64decode(fh.read().splitlines()[1])
                self.assertEqual(blob[:2], b"Ed")
                self.assertEqual(blob[10:].hex(), self.releases["public_key"])
                if shutil.which("minisign"):
                    verify = subprocess.run(["minisign", "-Vm", "SHA256SUMS", "-p", "minisign.pub"],
                                            cwd=folder, capture_output=True, text=True)
                    self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
                    self.assertIn("Trusted comment: Vantriel v%s, SHA256SUMS of " % version, verify.stdout)
                for name, digest in sums.items():
                    with open(os.path.join(folder, name), "rb") as fh:
                        self.assertEqual(hashlib.sha256(fh.read()).hexdigest(), digest, name)
                deb = "vantriel-signal_%s_amd64.deb" % version
                self.assertEqual(deb in sums, deb_expected)
                if deb_expected:
                    control = subprocess.run(["dpkg-deb", "-f", os.path.join(folder, deb), "Version"],
                                             capture_output=True, text=True, check=True)
                    self.assertEqual(control.stdout.strip(), version)
                    with open(os.path.join(folder, "vantriel-signal_%s_amd64.cdx.json" % version)) as fh:
                        bom = json.load(fh)
                    self.assertEqual(bom["metadata"]["component"]["name"], "vantriel-signal")
                    loaded = {c["name"] for c in bom["components"] if c.get("scope") == "required"}
                    self.assertLessEqual({"libc6", "libstdc++6"}, loaded)

                for platform, document in (("windows-x64", "version.json"),
                                           ("linux-x86_64", "linux/version.json")):
                    archive = self.archive(which, platform)
                    with zipfile.ZipFile(archive) as z:
                        modes = {i.filename: (i.external_attr >> 16) & 0o777 for i in z.infolist()}
                        manual = z.read("Vantriel/manual/manual_es.md")
                        program_sha = hashlib.sha256(z.read("Vantriel/" + RELEASE_FILES[platform][0])).hexdigest()
                    # The bill of materials names this program and a licence file for each
                    # library built in, exactly those of the archive's licencias/ folder.
                    with open(os.path.join(folder, "Vantriel-%s-%s.cdx.json" % (version, platform))) as fh:
                        bom = json.load(fh)
                    self.assertEqual(bom["bomFormat"], "CycloneDX")
                    self.assertEqual(bom["metadata"]["component"]["version"], version)
                    self.assertEqual(bom["metadata"]["component"]["hashes"][0]["content"], program_sha)
                    # (several components may share one file: the Wayland protocols do)
                    named = sorted({p["value"] for c in bom["components"] for p in c.get("properties", [])
                                    if p["name"] == "vantriel:licence-file"})
                    self.assertEqual(named, sorted(f.split("/")[-1] for f in modes
                                                   if f.startswith("Vantriel/licencias/") and not f.endswith("LEEME.txt")))
                    self.assertTrue(all(c.get("version") and c["licenses"] for c in bom["components"]), bom)
                    expected = RELEASE_FILES[platform] + COMMON_FILES
                    self.assertEqual(sorted(modes), sorted("Vantriel/" + f for f in expected))
                    program = "Vantriel/" + RELEASE_FILES[platform][0]
                    self.assertEqual(modes[program], 0o755)
                    self.assertEqual({m for f, m in modes.items() if f != program}, {0o644})
                    with open(os.path.join(SOURCE, "apps", "vantriel", "manual", "manual_es.md"), "rb") as fh:
                        self.assertEqual(manual, fh.read())

                    # The document verifies with the public key, names this archive under
                    # the base URL, and the updater would install it over the older release.
                    with open(os.path.join(folder, document)) as fh:
                        manifest = json.load(fh)["manifest"]
                    self.assertEqual(manifest["version"], version)
                    self.assertEqual(manifest["url"],
                                     self.releases["base_url"] + os.path.basename(archive))
                    with open(archive, "rb") as fh:
                        data = fh.read()
                    self.assertEqual(manifest["sha256"], hashlib.sha256(data).hexdigest())
                    self.assertEqual(manifest["size"], len(data))
                    check = subprocess.run(
                        [RELEASE_TOOL, "check", os.path.join(folder, document), "--running",
                         self.releases["old"] if which == "new" else "0", "--key",
                         self.releases["public_key"], "--package", archive],
                        capture_output=True, text=True)
                    self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
                    self.assertIn("package: SHA-256 matches", check.stdout)

                unpacked = os.path.join(self.tmp, "version-" + which)
                unzip_as_a_user_would(self.archive(which, "linux-x86_64"), unpacked)
                run = subprocess.run([os.path.join(unpacked, "Vantriel", "vantriel"), "--version"],
                                     capture_output=True, text=True, timeout=30)
                self.assertEqual(run.stdout, "Vantriel v%s\n" % version)

    def test_older_release_updates_itself_to_the_newer(self):
        old, new = self.releases["old"], self.releases["new"]
        home = os.path.join(self.tmp, "home")
        unzip_as_a_user_would(self.archive("old"), os.path.join(home, "Descargas"))
        install = os.path.join(home, "Descargas", "Vantriel")
        entry = os.path.join(home, ".local", "share", "applications", "vantriel.desktop")
        # The release's own address: the default the program was built with.
        host = Host(install, "", {"HOME": home})
        self.addCleanup(lambda: host.stop())
        self.assertEqual(host.get("/api/version")["version"], old)
        data = os.path.join(install, "data")
        with open(os.path.join(data, "identidad.json"), "rb") as fh:
            identity = fh.read()

        if not WINE:
            # The first start put it in the menu, with its icon.
            with open(entry, encoding="utf-8") as fh:
                text = fh.read()
            self.assertIn('\nExec="%s"\n' % os.path.join(install, "vantriel"), text)
            self.assertIn("\nIcon=vantriel\n", text)
            for size in (128, 512):
                icon = os.path.join(home, ".local", "share", "icons", "hicolor",
                                    "%dx%d" % (size, size), "apps", "vantriel.png")
                with open(icon, "rb") as fh:
                    self.assertEqual(fh.read(8), b"\x89PNG\r\n\x1a\n")
            entry_before = os.stat(entry)

        lines = host.log().count("[ACTUALIZAR] ")
        host.update("check")
        host.wait_for(lambda: host.log().count("[ACTUALIZAR] ") > lines, 60, "the check's log line")
        state = host.wait_phase(("available", "uptodate", "error"))
        self.assertEqual(state["phase"], "available", state)
        self.assertEqual(state["latest"]["version"], new)
        self.assertTrue(state["latest"]["signed"])
        self.assertTrue(state["can_install"])

        self.assertTrue(host.update("install")["ok"])
        host.wait_for(lambda: host.proc.poll() is not None, 90, "the old host to exit")
        host.wait_for(lambda: (lambda v: v and v["version"] == new)(host.follow() or host.get("/api/version")),
                      90, "the new version to answer")

        # The folder holds the newer release and the data the older one made.
        fresh = os.path.join(self.tmp, "fresh")
        unzip_as_a_user_would(self.archive("new"), fresh)
        self.assertEqual(tree_hashes(install), tree_hashes(os.path.join(fresh, "Vantriel")))
        with open(os.path.join(data, "identidad.json"), "rb") as fh:
            self.assertEqual(fh.read(), identity)
        log = host.log()
        self.assertIn("Vantriel v%s en marcha" % old, log)
        self.assertIn("[ACTUALIZAR] Instalada la v%s (antes v%s)" % (new, old), log)
        self.assertEqual(host.update()["result"]["ok"], True)
        if WINE:
            return

        self.assertTrue(os.stat(os.path.join(install, "vantriel")).st_mode & stat.S_IXUSR)
        # Already right: not written again.
        after = os.stat(entry)
        self.assertEqual((after.st_ino, after.st_mtime_ns), (entry_before.st_ino, entry_before.st_mtime_ns))

        # The folder moves: its next start points the entry at the new place.
        host.stop()
        moved = os.path.join(home, "Mis programas", "Vantriel")
        os.makedirs(os.path.dirname(moved))
        os.rename(install, moved)
        again = Host(moved, "", {"HOME": home})
        self.addCleanup(lambda: again.stop())
        with open(entry, encoding="utf-8") as fh:
            self.assertIn('\nExec="%s"\n' % os.path.join(moved, "vantriel"), fh.read())
        self.assertIn("Menú de aplicaciones: escrito " + entry, again.log())


if __name__ == "__main__":
    unittest.main()
