"""The local API routes against the real host: replies, defaults, files on disk."""

import json
import os
import re
import shutil
import sys
import tempfile
import threading
import unittest

from host import WINE, Host, wait_for

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "apps", "vantriel-signal", "tests"))
from signal_client import Ws  # noqa: E402  (a small blocking WebSocket client)

CLAVE = re.compile(r"^[ABCDEFGHJKMNPQRSTUVWXYZ23456789]{6}$")
CODIGO = re.compile(r"^[ABCDEFGHJKLMNPQRSTUVWXYZ23456789]{6}$")


class ApiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Start at log-on writes its desktop file under XDG_CONFIG_HOME: keep it private.
        cls.config = tempfile.mkdtemp(prefix="vantriel_config_")
        cls.host = Host(env={"XDG_CONFIG_HOME": cls.config})

    @classmethod
    def tearDownClass(cls):
        cls.host.cleanup()
        shutil.rmtree(cls.config, ignore_errors=True)

    def setUp(self):
        self.post("/api/sesion", {"activa": False})

    def post(self, path, body=None):
        reply = self.host.post(path, body if body is not None else {})
        self.assertEqual(reply.status, 200, path)
        return reply.json()

    def test_status_document_shape(self):
        doc = self.host.get("/api/estado").json()
        self.assertEqual(list(doc), ["app", "version", "id", "id_bonito", "nombre", "servidor",
                                     "admin", "monitores", "idioma", "disponible", "sesion",
                                     "llamada", "recientes", "sesiones", "inicio_windows",
                                     "actualizacion", "control_posible", "control_motivo",
                                     "control_pregunta", "control_rechazo",
                                     "portapapeles_posible", "portapapeles_via",
                                     "portapapeles_motivo"])
        self.assertEqual(doc["app"], "vantriel")
        self.assertEqual(doc["sesion"], {"activa": False, "rol": "", "control": False, "con": ""})
        # The suite can outlast the start-up check's 8 s delay (the window's 12 s wait in
        # the notices test does), and with no network that check ends in "error".
        self.assertIn(doc["actualizacion"]["phase"], ("idle", "error"))
        # Under Wine the host always has the layer's display, and Windows its one screen.
        self.assertEqual(len(doc["monitores"]), 1 if WINE else 0)

    def test_control_is_offered_only_where_input_reaches(self):
        if WINE:
            doc = self.host.get("/api/estado").json()
            self.assertEqual((doc["control_posible"], doc["control_motivo"]), (True, ""))
            self.assertEqual((doc["portapapeles_posible"], doc["portapapeles_via"],
                              doc["portapapeles_motivo"]), (True, "windows", ""))
            return
        # A Wayland session (XTest through XWayland would reach only X11 programs; this one's
        # compositor does not answer, so it offers no data-control either), and no desktop at
        # all: each says why, for input and for the clipboard, in the host's words that the
        # page translates; the clipboard's routes refuse with those words.
        for env, why in (({"XDG_SESSION_TYPE": "wayland", "WAYLAND_DISPLAY": "wayland-0"}, "escritorio Wayland"),
                         ({"XDG_SESSION_TYPE": None, "WAYLAND_DISPLAY": None}, "escritorio gráfico")):
            h = Host(env=env)
            try:
                doc = h.get("/api/estado").json()
                self.assertIs(doc["control_posible"], False, env)
                self.assertIn(why, doc["control_motivo"], env)
                self.assertEqual((doc["portapapeles_posible"], doc["portapapeles_via"]), (False, ""))
                self.assertIn(why, doc["portapapeles_motivo"], env)
                line = wait_for(lambda: re.search(r" · control no: (.+) · portapapeles no: (.+)$",
                                                  h.log(), re.M), "the start line")
                self.assertEqual(line.groups(), (doc["control_motivo"], doc["portapapeles_motivo"]))
                refused = {"ok": False, "msg": doc["portapapeles_motivo"]}
                self.assertEqual(h.post("/api/portapapeles/leer", {"propio": True}).json(), refused)
                self.assertEqual(h.post("/api/portapapeles/escribir_local", {"texto": "x"}).json(),
                                 refused)
            finally:
                h.cleanup()

    def test_identity_routes(self):
        ident = self.post("/api/identidad")
        self.assertEqual(list(ident), ["id", "id_bonito", "llave", "clave", "nombre", "servidor"])
        self.assertRegex(ident["id"], r"^[1-9]\d{8}$")
        self.assertRegex(ident["clave"], CLAVE)
        self.assertEqual(self.post("/api/verificar", {"clave": ident["clave"]}), {"ok": True})
        spaced = "-".join(ident["clave"].lower()) + " \t"
        self.assertEqual(self.post("/api/verificar", {"clave": spaced}), {"ok": True})
        for body in ({}, {"clave": ident["clave"][:5]}, {"clave": 123}):
            self.assertEqual(self.post("/api/verificar", body), {"ok": False})
        renewed = self.post("/api/clave/nueva")
        self.assertEqual(list(renewed), ["ok", "clave"])
        self.assertEqual(self.post("/api/verificar", {"clave": renewed["clave"]}), {"ok": True})
        codes = {self.post("/api/codigo_llamada")["codigo"] for _ in range(20)}
        self.assertGreater(len(codes), 1)
        for code in codes:
            self.assertRegex(code, CODIGO)

    def test_new_id_refused_during_a_session(self):
        before = self.post("/api/identidad")
        self.post("/api/sesion", {"activa": True, "rol": "tech"})
        self.assertEqual(self.post("/api/id/nuevo"),
                         {"ok": False, "msg": "Termina la sesión antes de cambiar tu ID"})
        self.assertEqual(self.post("/api/identidad")["id"], before["id"])
        self.post("/api/sesion", {"activa": False})
        self.post("/api/llamada", {"activa": True})  # a call does not block it
        done = self.post("/api/id/nuevo")
        self.post("/api/llamada", {"activa": False})
        self.assertEqual(list(done), ["ok", "id", "id_bonito", "llave", "clave"])
        self.assertNotEqual((done["id"], done["llave"]), (before["id"], before["llave"]))
        on_disk = json.load(open(self.host.path("identidad.json"), encoding="utf-8"))
        self.assertEqual((on_disk["id"], on_disk["llave"]), (done["id"], done["llave"]))
        self.assertEqual(self.post("/api/identidad")["clave"], done["clave"])

    def test_sessions_history_and_clave(self):
        h = self.host
        clave = self.post("/api/identidad")["clave"]
        self.assertEqual(self.post("/api/sesion", {"activa": True, "rol": "host", "control": True,
                                                  "con": "<b>Ana</b>", "id": "123456789"}),
                         {"ok": True})
        doc = h.get("/api/estado").json()
        self.assertEqual(doc["sesion"], {"activa": True, "rol": "host", "control": True,
                                         "con": "<b>Ana</b>"})
        self.assertEqual(self.post("/api/input", {"mon": 1, "ev": []}), {"ok": True, "n": 0})
        ended = self.post("/api/sesion", {"activa": False})
        self.assertNotEqual(ended["clave"], clave)
        self.assertEqual(self.post("/api/verificar", {"clave": clave}), {"ok": False})
        self.assertIn("[SESION] Empieza: recibo soporte de <b>Ana</b>", h.log())
        self.assertRegex(h.log(), r"\[SESION\] Termina \(\d+ s\)")
        record = h.get("/api/estado").json()["sesiones"][0]
        self.assertEqual(list(record), ["fecha", "rol", "con", "id", "segundos", "control"])
        self.assertEqual((record["rol"], record["con"], record["id"], record["control"]),
                         ("recibi", "<b>Ana</b>", "123456789", True))
        self.assertRegex(record["fecha"], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
        with open(h.path("sesiones.jsonl"), encoding="utf-8") as f:
            self.assertRegex(f.read().splitlines()[-1], r'"segundos":\d+\.0,')

    def test_history_reads_newest_fifteen(self):
        h = self.host
        lines = ['{"n":%d}' % i for i in range(1, 21)]
        lines.insert(10, "{not json")
        with open(h.path("sesiones.jsonl"), "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        got = [r["n"] for r in h.get("/api/estado").json()["sesiones"]]
        self.assertEqual(got, list(range(20, 5, -1)))
        os.remove(h.path("sesiones.jsonl"))
        self.assertEqual(h.get("/api/estado").json()["sesiones"], [])

    def test_control_gates(self):
        refused = {"ok": False, "msg": "sin permiso de control"}
        for session in (None, {"activa": True, "rol": "tech", "control": True},
                        {"activa": True, "rol": "host", "control": False}):
            if session:
                self.post("/api/sesion", session)
            self.assertEqual(self.post("/api/input", {"ev": [{"k": "m", "x": 0.5, "y": 0.5}]}),
                             refused)
            self.assertEqual(self.post("/api/portapapeles/poner", {"texto": "x"}), refused)
            self.assertEqual(self.post("/api/portapapeles/leer", {"propio": "true"}), refused)
            self.post("/api/sesion", {"activa": False})
        # Reading and writing one's own clipboard needs no session. Without a display the
        # Linux host has none, and says so; Windows always has one.
        if WINE:
            self.assertEqual(self.post("/api/portapapeles/escribir_local", {"texto": "x"}),
                             {"ok": True})
            self.assertEqual(self.post("/api/portapapeles/leer", {"propio": True}),
                             {"ok": True, "texto": "x"})
        else:
            none = {"ok": False, "msg": self.host.get("/api/estado").json()["portapapeles_motivo"]}
            self.assertEqual(self.post("/api/portapapeles/leer", {"propio": True}), none)
            self.assertEqual(self.post("/api/portapapeles/escribir_local", {"texto": "x"}), none)
        self.post("/api/sesion", {"activa": True, "control": True})
        for body in ({"mon": -1, "ev": "x"}, {"mon": "1"}, {"mon": 1.5, "ev": None}):
            self.assertEqual(self.post("/api/input", body), {"ok": True, "n": 0})

    def test_input_socket(self):
        h = self.host
        origin = {"Origin": "http://127.0.0.1:%d" % h.port}
        good = "/api/input?token=" + h.token
        # Only a page of this host opens it: its origin, the token, this one path.
        # Another port on this machine is another site, whatever it serves.
        for other in ("http://127.0.0.1:%d" % (h.port + 1), "http://localhost:%d" % (h.port - 1),
                      "https://127.0.0.1:%d" % h.port, "http://127.0.0.1", "http://[::1]:%d" % h.port):
            with self.assertRaises(ConnectionError, msg=other):
                Ws(h.port, good, headers={"Origin": other}).close()
        Ws(h.port, good, headers={"Origin": "http://localhost:%d" % h.port}).close()
        for path, headers in ((good, {}), (good, {"Origin": "http://evil.example"}),
                              ("/api/input?token=" + "0" * 32, origin), ("/api/input", origin),
                              ("/api/estado?token=" + h.token, origin),
                              (good, {**origin, "Sec-Fetch-Site": "cross-site"})):
            with self.assertRaises(ConnectionError, msg=(path, headers)):
                Ws(h.port, path, headers=headers).close()
        # Each message is answered as a post of it would be, in order, and the socket
        # outlives a session and a refusal.
        bodies = [{"mon": 1, "ev": []}, {"mon": -1, "ev": "x"}, {"mon": "1"}, "no es json", "[1,2]"]
        sockets = [Ws(h.port, good, headers=origin) for _ in range(8)]  # more than the workers
        try:
            ws = sockets[0]
            for body in bodies:
                ws.send(body)
                self.assertEqual(ws.recv(), {"ok": False, "msg": "sin permiso de control"})
            self.post("/api/sesion", {"activa": True, "control": True})
            for body in bodies:
                ws.send(body)
                self.assertEqual(ws.recv(), self.post("/api/input", body if isinstance(body, dict) else body.encode()))
            # Idle sockets hold no worker: every one of them and a plain request answer.
            self.assertEqual(h.get("/api/version").status, 200)
            for other in reversed(sockets):
                other.send({"ev": []})
            for other in reversed(sockets):
                self.assertEqual(other.recv(), {"ok": True, "n": 0})
            # A message over the body limit closes the socket; the others stay.
            try:
                ws.send("x" * (1024 * 1024 + 1))
            except ConnectionError:
                pass  # closed while the rest was still going out
            self.assertIsNone(ws.recv())
            sockets[1].send({"ev": []})
            self.assertEqual(sockets[1].recv(), {"ok": True, "n": 0})
        finally:
            for s in sockets:
                s.close()

    def test_settings_round_trip_and_refusal(self):
        h = self.host
        doc = h.get("/api/ajustes").json()
        self.assertEqual(list(doc), ["general", "recibir", "llamada"])
        self.assertEqual(doc["recibir"]["fps"], "30")
        saved = self.post("/api/ajustes", {"general": {"nombre": "Mesa 2", "idioma": "en"},
                                           "recibir": {"fps": 60, "sonido": False,
                                                       "calidad": None}})
        self.assertEqual(list(saved), ["ok", "msg", "ajustes"])
        self.assertEqual(saved["msg"], "Ajustes guardados")
        self.assertEqual(saved["ajustes"]["recibir"]["fps"], "60")
        self.assertEqual(saved["ajustes"]["recibir"]["sonido"], "no")
        self.assertEqual(saved["ajustes"]["recibir"]["calidad"], "auto")
        self.assertIn("[AJUSTES] 4 valores guardados", h.log())
        self.assertEqual(h.get("/api/estado").json()["nombre"], "Mesa 2")
        self.assertEqual(h.get("/api/estado").json()["idioma"], "en")
        bad = self.post("/api/ajustes", {"general": {"servidor": "http://example.com"}})
        self.assertEqual(bad, {"ok": False, "msg": "El servidor debe empezar con https://"})
        ok = self.post("/api/ajustes", {"general": {"servidor": "http://127.0.0.1:8890/"}})
        self.assertTrue(ok["ok"])
        self.assertEqual(h.get("/api/estado").json()["servidor"], "http://127.0.0.1:8890")
        with open(h.path("vantriel.ini"), "rb") as f:
            text = f.read()
        self.assertIn(b"fps = 60\r\n", text)
        self.assertTrue(text.startswith(b"; Vantriel"))
        self.post("/api/ajustes", {"recibir": {"disponible": " Off "}})
        self.assertFalse(h.get("/api/estado").json()["disponible"])
        self.post("/api/ajustes", {"recibir": {"disponible": "si"}})
        self.assertTrue(h.get("/api/estado").json()["disponible"])
        # The desktop's kept agreement to remote control (a portal's restore token) goes
        # when the person turns control off, and only then.
        token = h.path("portal_control.token")
        with open(token, "w", encoding="utf-8") as f:
            f.write("b2c5-11ef\n")
        self.post("/api/ajustes", {"recibir": {"permitir_control": "si", "sonido": True}})
        self.assertTrue(os.path.exists(token))
        self.post("/api/ajustes", {"recibir": {"permitir_control": False}})
        self.assertFalse(os.path.exists(token))
        self.post("/api/ajustes", {"recibir": {"permitir_control": True}})

    def test_concurrent_writers_lose_nothing(self):
        h = self.host
        keys = ["nombre", "idioma", "servidor"]
        values = {"nombre": "Ana", "idioma": "es", "servidor": "https://s.example"}
        recents = ["%d" % (100000000 + i) for i in range(12)]

        def save(key):
            self.post("/api/ajustes", {"general": {key: values[key]}})

        def add(rid):
            self.post("/api/recientes/agregar", {"id": rid, "nombre": "n" + rid})

        threads = [threading.Thread(target=save, args=(k,)) for k in keys]
        threads += [threading.Thread(target=add, args=(r,)) for r in recents]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        general = h.get("/api/ajustes").json()["general"]
        for k in keys:
            self.assertEqual(general[k], values[k])
        self.assertEqual(sorted(r["id"] for r in h.get("/api/estado").json()["recientes"]),
                         recents)

    def test_recents(self):
        h = self.host
        with open(h.path("recientes.json"), "w") as f:
            f.write('{"not": "a list"}')
        self.assertEqual(h.get("/api/estado").json()["recientes"], [])
        got = self.post("/api/recientes/agregar", {"id": "123456789", "nombre": "Ana\tB\x85"})
        self.assertEqual(len(got), 1)
        self.assertEqual(list(got[0]), ["id", "nombre", "fecha"])
        self.assertEqual(got[0]["nombre"], "AnaB")
        self.assertEqual(self.post("/api/recientes/agregar", {"id": "012345678"}), got)
        self.assertEqual(self.post("/api/recientes/agregar", {"id": 123456789}), got)
        self.assertEqual(self.post("/api/recientes/quitar", {"id": "999999999"}), got)
        self.assertEqual(self.post("/api/recientes/quitar", {"id": "123456789"}), [])
        with open(h.path("recientes.json"), encoding="utf-8") as f:
            self.assertEqual(f.read(), "[]")

    def test_notices_and_links(self):
        self.assertEqual(self.post("/api/aviso", {"titulo": 5}), {"ok": True})
        self.assertEqual(self.post("/api/abrir", {"what": "nada"}),
                         {"ok": False, "msg": "¿qué abro?"})
        self.assertEqual(self.post("/api/abrir", {}), {"ok": False, "msg": "¿qué abro?"})
        for url in ("http://example.com", "mailto", 7, "javascript:alert(1)"):
            self.assertEqual(self.post("/api/abrir", {"what": "url", "url": url}), {"ok": False})
        window = "http://127.0.0.1:%d/" % self.host.port
        # The notice opens the window without waiting for it: let that land before the links.
        wait_for(lambda: window in self.host.opened(), "the notice's window")
        before = len(self.host.opened())
        folders_before = self.host.folder_windows()
        for body in ({"what": "url", "url": "mailto:ana@example.com"}, {"what": "donar"},
                     {"what": "datos"}):
            self.assertEqual(self.post("/api/abrir", body), {"ok": True})
        if WINE:
            # Wine hands web links to xdg-open, mail links to a mailer it finds past PATH,
            # and opens folders in its own explorer window, titled with the folder's name.
            opened = wait_for(lambda: self.host.opened()[before:], "the opener")
            self.assertEqual(len(opened), 1, opened)
            self.assertTrue(opened[0].startswith("https://"))
            wait_for(lambda: self.host.folder_windows() > folders_before, "the folder's window")
        else:
            opened = wait_for(lambda: self.host.opened()[before:]
                              if len(self.host.opened()) >= before + 3 else None, "the opener")
            self.assertEqual(opened[0], "mailto:ana@example.com")
            self.assertTrue(opened[1].startswith("https://"))
            self.assertEqual(opened[2], self.host.data)
        # "/api/show" and "/api/aviso" open the window without waiting for it.
        self.assertEqual(self.host.get("/api/show").json(), {"ok": True})
        wait_for(lambda: self.host.opened().count(window) >= 2, "the window to open twice")

    def test_manual_routes_read_the_lang_query(self):
        h = self.host
        en = h.get("/manual/imprimir?lang=en")
        self.assertEqual((en.status, en.header("Content-Type")), (200, "text/html; charset=utf-8"))
        self.assertEqual(h.get("/manual/imprimir?lang=e%6e").body, en.body)
        self.assertNotEqual(h.get("/manual/imprimir?lang=es").body, en.body)
        doc = h.get("/api/manual?lang=en")
        self.assertEqual(doc.header("Content-Type"), "application/json; charset=utf-8")
        self.assertIsInstance(doc.json(), dict)
        self.assertEqual(h.post("/api/manual").json()["msg"], "acción desconocida")

    def test_routes_of_other_methods(self):
        h = self.host
        self.assertEqual(h.get("/api/identidad").status, 404)
        self.assertEqual(self.post("/api/version"), {"ok": False, "msg": "acción desconocida"})
        self.assertEqual(self.post("/api/estado"), {"ok": False, "msg": "acción desconocida"})
        self.assertEqual(h.get("/api/salir").status, 404)
        self.assertEqual(h.get("/api/inicio_windows").status, 404)

    def test_start_at_log_on(self):
        if WINE:
            # Wine's schtasks and PowerShell are stubs that succeed without doing anything;
            # the Windows layer checks the real arguments with stand-ins of its own.
            reply = self.post("/api/inicio_windows", {"on": True})
            self.assertEqual(list(reply), ["ok", "msg", "on"])
            self.assertIsInstance(reply["on"], bool)
            return
        desktop = os.path.join(self.config, "autostart", "vantriel.desktop")
        self.assertFalse(self.host.get("/api/estado").json()["inicio_windows"])
        reply = self.post("/api/inicio_windows", {"on": True})
        self.assertEqual(reply, {"ok": True, "msg": reply["msg"], "on": True})
        self.assertIn("al iniciar sesión", reply["msg"])
        with open(desktop, encoding="utf-8") as f:
            self.assertIn(" --startup", f.read())
        self.assertTrue(self.host.get("/api/estado").json()["inicio_windows"])
        # Only the JSON literal true switches it on; off removes the file.
        reply = self.post("/api/inicio_windows", {"on": "true"})
        self.assertEqual((reply["ok"], reply["on"]), (True, False))
        self.assertFalse(os.path.exists(desktop))
        self.assertEqual(self.post("/api/inicio_windows", {})["on"], False)


class DamagedFilesTest(unittest.TestCase):
    def test_damaged_files_fall_back(self):
        h = Host(wait=False)
        try:
            h.wait_ready()
            first_id = h.post("/api/identidad").json()["id"]
            for damage in ('{"id":"012345678","llave":"%s"}' % ("k" * 64),
                           '{"id":"123456789","llave":"%s"}' % ("k" * 31), "\xff garbage"):
                with open(h.path("identidad.json"), "w", encoding="latin-1") as f:
                    f.write(damage)
                ident = h.post("/api/identidad").json()
                self.assertRegex(ident["id"], r"^[1-9]\d{8}$")
                self.assertEqual(len(ident["llave"]), 64)
            with open(h.path("identidad.json"), "w") as f:
                f.write('{"id":"123456789","llave":"%s","x":1}' % ("k" * 32))
            self.assertEqual(h.post("/api/identidad").json()["id"], "123456789")
            self.assertNotEqual(first_id, None)
            with open(h.path("vantriel.ini"), "wb") as f:
                f.write(b"\xff\xfe garbage")
            self.assertEqual(h.get("/api/ajustes").json()["general"]["idioma"], "es")
        finally:
            h.cleanup()


if __name__ == "__main__":
    unittest.main()
