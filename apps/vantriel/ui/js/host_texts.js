// Texts the host process answers in Spanish (the `msg` of its replies and of the update
// state), shown in the page's language. The host's words stay as they are on the wire and
// in its log; the page knows each of them. A text whose beginning is known keeps its
// variable rest (a name, a version, an address, the system's own error text); a text the
// page does not know is shown as it came.

import { LANG } from "./i18n.js";

const EXACT = {
  "acción desconocida": "unknown action",
  "sin permiso de control": "no permission to control",
  "Termina la sesión antes de cambiar tu ID": "End the session before changing your ID",
  "¿qué abro?": "what should I open?",
  "token inválido": "invalid token",
  "El servidor debe empezar con https://": "The server must start with https://",
  "Ajustes guardados": "Settings saved",
  "Este escritorio Wayland no deja que otros programas muevan el ratón ni escriban: no ofrece el portal de escritorio remoto (GNOME, KDE) ni la entrada virtual de wlroots (sway).":
    "This Wayland desktop doesn't let other programs move the mouse or type: it offers neither the remote desktop portal (GNOME, KDE) nor wlroots virtual input (sway).",
  "No hay un escritorio gráfico al que llegar: Vantriel no se inició dentro de una sesión de escritorio.":
    "There is no graphical desktop to reach: Vantriel was not started inside a desktop session.",
  "No se pudo abrir el escritorio X11 de esta sesión.": "Couldn't open this session's X11 desktop.",
  "Este escritorio Wayland no deja que otros programas usen el portapapeles: no ofrece el control de datos de wlroots (sway, KDE) ni XWayland.":
    "This Wayland desktop doesn't let other programs use the clipboard: it offers neither wlroots data control (sway, KDE) nor XWayland.",
  "No hay un escritorio gráfico cuyo portapapeles usar: Vantriel no se inició dentro de una sesión de escritorio.":
    "There is no graphical desktop whose clipboard to use: Vantriel was not started inside a desktop session.",
  "No se pudo leer el portapapeles: el programa que tiene el texto copiado no respondió. Copia el texto de nuevo y vuelve a intentarlo.":
    "Couldn't read the clipboard: the program holding the copied text didn't answer. Copy the text again and try once more.",
  "Rechazaste el control remoto en la ventana de tu escritorio (o la cerraste sin elegir).":
    "You refused remote control in your desktop's window (or closed it without choosing).",
  "Tu escritorio no pudo empezar el control remoto.": "Your desktop couldn't start remote control.",
  "Tu escritorio terminó el control remoto.": "Your desktop ended remote control.",
  "Tu escritorio no dio acceso al ratón y al teclado.": "Your desktop didn't give access to the mouse and keyboard.",
  "Descargando…": "Downloading…",
  "Buscando actualizaciones…": "Checking for updates…",
  "Ya tienes la versión más reciente.": "You already have the latest version.",
  "Comprobando la firma y el archivo…": "Checking the signature and the file…",
  "Instalando: Vantriel se cerrará y volverá a abrir en unos segundos…":
    "Installing: Vantriel will close and open again in a few seconds…",
};

// What the update refusals name as busy, joined with " y ".
const ACTIVITIES = { "la sesión de soporte": "the support session", "la llamada": "the call" };
const activities = (list) => list.split(" y ").map((a) => ACTIVITIES[a] || a).join(" and ");

const PATTERNS = [
  [/^Hay una versión nueva: v(.*)$/s, (v) => "There is a new version: v" + v],
  [/^No se pudo buscar actualizaciones: (.*)$/s, (e) => "Couldn't check for updates: " + e],
  [/^No se pudo actualizar: (.*)$/s, (e) => "Couldn't update: " + e],
  [/^no existe la carpeta de la versión nueva: (.*)$/s, (p) => "the new version's folder does not exist: " + p],
  [/^Esta versión no se puede instalar desde la app: descárgala de (.*)\.$/s,
    (u) => "This version can't be installed from the app: download it from " + u + "."],
  [/^Primero termina (.*) \(una actualización la cortaría\)\.$/s,
    (b) => "First finish " + activities(b) + " (an update would cut it off)."],
  [/^Lista para instalar: esperando a que termine «(.*)»…$/s,
    (b) => "Ready to install: waiting for " + activities(b) + " to end…"],
  // Start at log-on (the two platforms say it differently); the refusals carry the
  // system's own text after them.
  [/^(.*) se abrirá en la bandeja del sistema al iniciar Windows\.$/s, (n) => n + " will open in the system tray when Windows starts."],
  [/^(.*) ya no se abrirá al iniciar Windows\.$/s, (n) => n + " will no longer open when Windows starts."],
  [/^(.*) se abrirá en la bandeja del sistema al iniciar sesión\.$/s, (n) => n + " will open in the system tray when you log in."],
  [/^(.*) ya no se abrirá al iniciar sesión\.$/s, (n) => n + " will no longer open when you log in."],
  [/^No se pudo activar el inicio con Windows \(requiere ejecutar Vantriel como administrador\)\.(.*)$/s,
    (e) => "Couldn't turn on start with Windows (Vantriel must run as administrator)." + e],
  [/^No se pudo quitar el inicio con Windows: (.*)$/s, (e) => "Couldn't turn off start with Windows: " + e],
  [/^No se pudo activar el inicio al iniciar sesión: (.*)$/s, (e) => "Couldn't turn on start at log-in: " + e],
  [/^No se pudo quitar el inicio al iniciar sesión: (.*)$/s, (e) => "Couldn't turn off start at log-in: " + e],
];

// A refusal that came from the other PC's page: shown only when it is one of the host's own
// texts (in this page's language), so that a peer cannot put words of its own on this
// page; null otherwise.
export function knownHostText(msg) {
  if (typeof msg !== "string" || !Object.prototype.hasOwnProperty.call(EXACT, msg)) return null;
  return LANG === "en" ? EXACT[msg] : msg;
}

// `msg` in the page's language; null and undefined stay as they are.
export function hostText(msg) {
  if (msg === null || msg === undefined || LANG !== "en") return msg;
  const s = String(msg);
  if (Object.prototype.hasOwnProperty.call(EXACT, s)) return EXACT[s];
  for (const [re, en] of PATTERNS) {
    const m = re.exec(s);
    if (m) return en(m[1]);
  }
  return s;
}
