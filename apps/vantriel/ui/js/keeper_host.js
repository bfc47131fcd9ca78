// The desktop program's keeper: the host process behind the local API (see keeper.js).

import { get, post, postOnUnload } from "./api.js";

// The host answers on several workers: an end overtaking its start would leave the
// call flag on, so the call's reports go one after the other.
let callReports = Promise.resolve();

// The host's identity reply (its members are the local API's) in the page's words.
export function identityOf(r) {
  if (!r || typeof r !== "object") return null;
  return { id: r.id, formatId: r.id_bonito, accessCode: r.clave, secret: r.llave, name: r.nombre, server: r.servidor };
}

// The access code a reply of the host carries (a session's end, a renewal), else "".
export function accessCodeOf(r) {
  return r && typeof r === "object" && r.clave ? r.clave : "";
}

// The history's `rol` of a session this PC received.
const HISTORY_RECEIVED = "recibi";

// The host's list of recent connections in the page's words ({ id, name, date } each),
// null when the reply is no list.
export function recentsOf(list) {
  if (!Array.isArray(list)) return null;
  return list.map((e) => (e && typeof e === "object" ? { id: e.id, name: e.nombre, date: e.fecha } : null));
}

// The host's state reply in the page's words (see keeper.js).
export function stateOf(r) {
  if (!r || typeof r !== "object") return null;
  const past = (e) => {
    if (!e || typeof e !== "object") return null;
    return {
      date: e.fecha, received: e.rol === HISTORY_RECEIVED, peer: e.con, peerId: e.id, seconds: e.segundos,
      control: e.control,
    };
  };
  return {
    recents: recentsOf(r.recientes),
    history: Array.isArray(r.sesiones) ? r.sesiones.map(past) : null,
    update: r.actualizacion,
    admin: r.admin,
    autostart: r.inicio_windows,
    server: r.servidor,
    controlPossible: r.control_posible,
    controlBlockedWhy: r.control_motivo,
    controlRefused: r.control_rechazo,
    desktopAsking: r.control_pregunta,
  };
}

export const HOST_KEEPER = {
  mayStageInMemory: false, // the app window's profile is on disk
  identity: async () => identityOf(await post("/api/identidad", {})),
  state: async () => stateOf(await get("/api/estado")),
  sessionNote: (body) => post("/api/sesion", body),
  sessionOver: async () => ({ accessCode: accessCodeOf(await post("/api/sesion", { activa: false })) }),
  sessionOverOnUnload: () => postOnUnload("/api/sesion", { activa: false }),
  callNote(on) {
    callReports = callReports.then(() => post("/api/llamada", { activa: on })).catch(() => null);
    return callReports;
  },
  callNoteOnUnload: () => postOnUnload("/api/llamada", { activa: false }),
  addRecent: async (id, name) => recentsOf(await post("/api/recientes/agregar", { id, nombre: name })),
  removeRecent: async (id) => recentsOf(await post("/api/recientes/quitar", { id })),
  writeClipboard: (text) => post("/api/portapapeles/escribir_local", { texto: text }),
  readClipboard: () => post("/api/portapapeles/leer", { propio: true }),
};
