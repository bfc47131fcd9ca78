// What the page knows of its keeper (the host process, or the browser for the web page):
// the last state (GET /api/estado), identity (POST /api/identidad) and settings (GET
// /api/ajustes) as the host answers them. This module is their one owner:
// others read the live bindings and change them only through the functions below; the
// views that show them listen for "estado", "identidad", "ajustes" and "recientes".

import { keeper } from "./keeper.js";

export let S = null; // last reply of GET /api/estado
export let ID = null; // last reply of POST /api/identidad
export let AJ = null; // settings as GET /api/ajustes sent them

const listeners = { estado: [], identidad: [], ajustes: [], recientes: [] };

export function onStateChange(what, fn) {
  listeners[what].push(fn);
}

function changed(what) {
  for (const fn of listeners[what]) fn();
}

export function setAJ(v) {
  AJ = v;
  changed("ajustes");
}

// The identity again from the keeper; a failed request keeps the last one.
export async function loadIdentity() {
  try {
    ID = await keeper().identity();
  } catch (e) {
    /* keep the last identity */
  }
  changed("identidad");
}

// The state again from the keeper; a failed request leaves the last state in place.
export async function loadState() {
  try {
    S = await keeper().state();
  } catch (e) {
    return;
  }
  changed("estado");
}

// A new access code the host gave (a renewal on request or at a session's end).
export function setAccessCode(clave) {
  if (!ID) return;
  ID.clave = clave;
  changed("identidad");
}

// The recent connections as the host's last reply listed them.
export function setRecents(list) {
  if (!S || !Array.isArray(list)) return;
  S.recientes = list;
  changed("recientes");
}

// The update's state as the host or the update check reported it; update.js draws it.
export function setUpdateState(st) {
  if (!S) S = {};
  S.actualizacion = st && typeof st === "object" ? st : null;
}

// One setting changed for this run before (or without) the host's reply, so that forms
// drawn meanwhile show it: `section.name` of the settings, when that section exists.
export function setSettingLocally(section, name, value) {
  if (AJ && AJ[section]) AJ[section][name] = value;
}
