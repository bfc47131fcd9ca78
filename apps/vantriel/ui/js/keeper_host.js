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

export const HOST_KEEPER = {
  mayStageInMemory: false, // the app window's profile is on disk
  identity: async () => identityOf(await post("/api/identidad", {})),
  state: () => get("/api/estado"),
  sessionNote: (body) => post("/api/sesion", body),
  sessionOver: async () => ({ accessCode: accessCodeOf(await post("/api/sesion", { activa: false })) }),
  sessionOverOnUnload: () => postOnUnload("/api/sesion", { activa: false }),
  callNote(on) {
    callReports = callReports.then(() => post("/api/llamada", { activa: on })).catch(() => null);
    return callReports;
  },
  callNoteOnUnload: () => postOnUnload("/api/llamada", { activa: false }),
  addRecent: (id, name) => post("/api/recientes/agregar", { id, nombre: name }),
  removeRecent: (id) => post("/api/recientes/quitar", { id }),
  writeClipboard: (text) => post("/api/portapapeles/escribir_local", { texto: text }),
  readClipboard: () => post("/api/portapapeles/leer", { propio: true }),
};
