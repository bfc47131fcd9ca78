// The keeper of the technician's page in any browser (see keeper.js): no host process, so
// the name, language, voice settings, viewer quality and recent contacts live in this
// browser's storage, and the clipboard is the browser's own (with its permission).

import { t } from "./i18n.js";

const STORE = "vantriel.tecnico";
const MAX_RECENTS = 12; // as the desktop program keeps
const MAX_NAME = 40;

// What is kept, read afresh each time: another tab of the page may have changed it.
function load() {
  try {
    const v = JSON.parse(localStorage.getItem(STORE) || "{}");
    return v && typeof v === "object" && !Array.isArray(v) ? v : {};
  } catch (e) {
    return {};
  }
}

function save(v) {
  try {
    localStorage.setItem(STORE, JSON.stringify(v));
    return true;
  } catch (e) {
    return false; // storage refused (full, or turned off): the change holds for this visit
  }
}

function text(v, max) {
  return typeof v === "string" ? v.trim().slice(0, max) : "";
}

// The recent list as kept, cleaned: entries of nine digits with a name and a date.
function storedRecents(v) {
  const list = Array.isArray(v.recientes) ? v.recientes : [];
  return list
    .filter((r) => r && /^[1-9]\d{8}$/.test(String(r.id)))
    .map((r) => ({ id: String(r.id), nombre: text(r.nombre, MAX_NAME), fecha: text(r.fecha, 19) }))
    .slice(0, MAX_RECENTS);
}

// The kept list in the page's words (see keeper.js).
function recents(v) {
  return storedRecents(v).map((r) => ({ id: r.id, name: r.nombre, date: r.fecha }));
}

function pad(n) {
  return String(n).padStart(2, "0");
}

// "2026-12-10 07:04:09" in local time, as the host writes its dates.
export function localDate(d) {
  return d.getFullYear() + "-" + pad(d.getMonth() + 1) + "-" + pad(d.getDate()) + " " +
    pad(d.getHours()) + ":" + pad(d.getMinutes()) + ":" + pad(d.getSeconds());
}

// The settings as the host's GET /api/ajustes shapes them, for the modules that read them.
export function webSettings() {
  const v = load();
  return {
    general: { nombre: text(v.nombre, MAX_NAME), idioma: v.idioma === "en" ? "en" : v.idioma === "es" ? "es" : "" },
    llamada: { microfono: text(v.microfono, 200), procesar_voz: v.procesar_voz === "no" ? "no" : "si" },
  };
}

// Saves the given settings (`nombre`, `idioma`, `microfono`, `procesar_voz`); whether the
// browser kept them.
export function saveWebSettings(changes) {
  const v = load();
  for (const k of ["nombre", "idioma", "microfono", "procesar_voz"]) {
    if (typeof changes[k] === "string") v[k] = text(changes[k], k === "microfono" ? 200 : MAX_NAME);
  }
  return save(v);
}

function clipboardRefused(e) {
  return { ok: false, words: e && e.name === "NotAllowedError" ? t("clipBrowserDenied") : t("clipBrowserNone") };
}

export const WEB_KEEPER = {
  mayStageInMemory: true,
  identity: async () => ({
    id: "",
    formatId: "",
    accessCode: "",
    secret: "",
    name: webSettings().general.nombre,
    server: location.origin,
  }),
  state: async () => ({ recents: recents(load()) }),
  sessionNote: async () => null,
  sessionOver: async () => null,
  sessionOverOnUnload: () => {},
  callNote: async () => null,
  callNoteOnUnload: () => {},
  async addRecent(id, name) {
    const v = load();
    const list = storedRecents(v).filter((r) => r.id !== String(id));
    list.unshift({ id: String(id), nombre: text(name, MAX_NAME), fecha: localDate(new Date()) });
    v.recientes = list.slice(0, MAX_RECENTS);
    save(v);
    return recents(v);
  },
  async removeRecent(id) {
    const v = load();
    v.recientes = storedRecents(v).filter((r) => r.id !== String(id));
    save(v);
    return recents(v);
  },
  async writeClipboard(texto) {
    try {
      await navigator.clipboard.writeText(texto);
      return { ok: true };
    } catch (e) {
      return clipboardRefused(e);
    }
  },
  async readClipboard() {
    if (!navigator.clipboard || !navigator.clipboard.readText) return clipboardRefused(null);
    try {
      return { ok: true, texto: await navigator.clipboard.readText() };
    } catch (e) {
      return clipboardRefused(e);
    }
  },
  // The viewer's last quality and frame rate, asked of the PC at each session's start.
  viewerQuality() {
    const v = load();
    return typeof v.calidad === "string" ? { q: v.calidad, fps: Number(v.fps) || 30 } : null;
  },
  setViewerQuality(q, fps) {
    const v = load();
    v.calidad = q;
    v.fps = fps;
    save(v);
  },
};
