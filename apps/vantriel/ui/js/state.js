// What the page knows of its keeper (the host process, or the browser for the web page):
// the last state (GET /api/estado), identity (POST /api/identidad) and settings (GET
// /api/ajustes) as the host answers them. This module is their one owner:
// others read the live bindings and change them only through the functions below; the
// views that show them listen for "state", "identity", "settings" and "recents".

import { keeper } from "./keeper.js";

// The keeper's last state (GET /api/estado) in the page's words, as keeper.js describes it.
export let KEEPER_STATE = null;
// This PC's identity in the page's words, as keeper.js describes it: { id, formatId,
// accessCode, secret, name, server }.
export let IDENTITY = null;
// The settings as GET /api/ajustes sent them: sections and members keep the settings
// file's own names (read them through setting()).
export let SETTINGS = null;

// The settings sections that modules outside the settings form read.
export const SECTION_GENERAL = "general";
export const SECTION_RECEIVE = "recibir";
export const SECTION_CALL = "llamada";
// The settings members that modules outside the settings form read: the page's language
// (general) and whether this PC takes requests (receive).
export const SETTING_LANGUAGE = "idioma";
export const SETTING_AVAILABLE = "disponible";

const listeners = { state: [], identity: [], settings: [], recents: [] };

export function onStateChange(what, fn) {
  listeners[what].push(fn);
}

function changed(what) {
  for (const fn of listeners[what]) fn();
}

export function setSettings(v) {
  SETTINGS = v;
  changed("settings");
}

// One setting, `name` of `section`; undefined without settings or that section.
export function setting(section, name) {
  return SETTINGS && SETTINGS[section] ? SETTINGS[section][name] : undefined;
}

// The identity again from the keeper, or from a request already made; a failed request
// keeps the last one.
export async function loadIdentity(asked = keeper().identity()) {
  try {
    IDENTITY = await asked;
  } catch (e) {
    /* keep the last identity */
  }
  changed("identity");
}

// The state again from the keeper, or from a request already made; a failed request
// leaves the last state in place.
export async function loadState(asked = keeper().state()) {
  try {
    KEEPER_STATE = await asked;
  } catch (e) {
    return;
  }
  changed("state");
}

// A new access code the host gave (a renewal on request or at a session's end).
export function setAccessCode(accessCode) {
  if (!IDENTITY) return;
  IDENTITY.accessCode = accessCode;
  changed("identity");
}

// The recent connections as the host's last reply listed them.
export function setRecents(list) {
  if (!KEEPER_STATE || !Array.isArray(list)) return;
  KEEPER_STATE.recents = list;
  changed("recents");
}

// The update's state as the host or the update check reported it; update.js draws it.
export function setUpdateState(st) {
  if (!KEEPER_STATE) KEEPER_STATE = {};
  KEEPER_STATE.update = st && typeof st === "object" ? st : null;
}

// One setting changed for this run before (or without) the host's reply, so that forms
// drawn meanwhile show it: `section.name` of the settings, when that section exists.
export function setSettingLocally(section, name, value) {
  if (SETTINGS && SETTINGS[section]) SETTINGS[section][name] = value;
}
