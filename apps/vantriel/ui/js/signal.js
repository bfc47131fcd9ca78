// Signalling: this PC's registration under its ID, the messages that reach it, and the
// ICE list. What the messages mean is for the modules that register for them: the request
// dialog (host_session.js) and the session (session.js); the technician's join socket is
// tech_session.js.

import { IDENTITY, SECTION_RECEIVE, setting, SETTING_AVAILABLE } from "./state.js";
import { VER, yes } from "./core.js";
import { t } from "./i18n.js";
import { toast } from "./ui.js";

// The registration: its socket, state ("off", "connecting", "online", "error", "taken",
// "replaced"), retries, keep-alive, and whether it was stopped on purpose; `stale`: the
// socket a renewal replaces, until the new one is ready.
const REGISTRATION = { ws: null, stale: null, state: "off", retry: 0, timer: null, ping: null, stop: false };
let ICE_CACHE = null; // the ICE list the server gave, and when: { list, at }
export const ICE_DEFAULT = [{ urls: ["stun:stun.l.google.com:19302", "stun:stun.cloudflare.com:3478"] }];
const RETRY_WAIT = [3, 5, 8, 13, 20, 30];
const ONLINE_WAIT_MS = 500;

const stateListeners = [];
const messageListeners = [];
const closeListeners = [];
const helloListeners = [];

// The registration's state changed.
export function onRegistrationState(fn) {
  stateListeners.push(fn);
}
// A message of a request or a session ("req", "cancel", "signal", "left", "ended").
export function onRegistrationMessage(fn) {
  messageListeners.push(fn);
}
// The registration socket is gone (closed, or stopped on purpose).
export function onRegistrationClosed(fn) {
  closeListeners.push(fn);
}

// The hello about to be sent, for members of its own (a running session's id, so that
// registering again takes the session along: see renewRegistration).
export function onRegistrationHello(fn) {
  helloListeners.push(fn);
}

export function registrationState() {
  return REGISTRATION.state;
}

export function wsUrl(path) {
  const base = (IDENTITY && IDENTITY.server) || "";
  return base.replace(/^http/, "ws") + path;
}

function setRegistrationState(st) {
  REGISTRATION.state = st;
  for (const fn of stateListeners) fn();
}

function retryRegistration() {
  clearTimeout(REGISTRATION.timer);
  REGISTRATION.retry = Math.min(REGISTRATION.retry + 1, 6);
  REGISTRATION.timer = setTimeout(connectRegistration, RETRY_WAIT[REGISTRATION.retry - 1] * 1000);
}

export function connectRegistration() {
  clearTimeout(REGISTRATION.timer);
  if (!IDENTITY || !IDENTITY.id || !yes(setting(SECTION_RECEIVE, SETTING_AVAILABLE))) {
    setRegistrationState("off");
    return;
  }
  if (REGISTRATION.ws && (REGISTRATION.ws.readyState === 0 || REGISTRATION.ws.readyState === 1)) return;
  REGISTRATION.stop = false;
  setRegistrationState("connecting");
  let ws;
  try {
    ws = new WebSocket(wsUrl("/host/" + IDENTITY.id));
  } catch (e) {
    setRegistrationState("error");
    retryRegistration();
    return;
  }
  REGISTRATION.ws = ws;
  ws.onopen = () => {
    const hello = { t: "hello", key: IDENTITY.secret, name: IDENTITY.name, ver: VER };
    for (const fn of helloListeners) fn(hello);
    ws.send(JSON.stringify(hello));
  };
  ws.onmessage = (ev) => {
    let m;
    try {
      m = JSON.parse(ev.data);
    } catch (e) {
      return;
    }
    if (!m || typeof m !== "object") return;
    // The socket being replaced may still carry the session's signals until the new one
    // is ready (the server moves the session then); nothing else of it counts.
    if (ws === REGISTRATION.ws) dispatch(m);
    else if (ws === REGISTRATION.stale && m.t === "signal") for (const fn of messageListeners) fn(m);
  };
  ws.onclose = () => {
    if (ws !== REGISTRATION.ws) return;
    clearInterval(REGISTRATION.ping);
    REGISTRATION.ws = null;
    for (const fn of closeListeners) fn();
    if (REGISTRATION.stop || REGISTRATION.state === "taken" || REGISTRATION.state === "replaced") {
      setRegistrationState(REGISTRATION.state);
      return;
    }
    setRegistrationState("error");
    retryRegistration();
  };
}

function dispatch(m) {
  switch (m.t) {
    case "ready":
      REGISTRATION.retry = 0;
      clearInterval(REGISTRATION.ping);
      REGISTRATION.ping = setInterval(() => sendOnRegistration({ t: "ping" }), 25000);
      closeStale();
      setRegistrationState("online");
      break;
    case "taken":
    case "replaced":
      setRegistrationState(m.t);
      break;
    case "locked":
      toast(t("lockedMsg", m.mins), 8000);
      break;
    default:
      for (const fn of messageListeners) fn(m);
  }
}

// The network is back: a registration waiting out its retry (up to half a minute) tries
// again now, from the shortest wait on. A moment later: the network a browser reports up
// may not route yet.
window.addEventListener("online", () => {
  if (REGISTRATION.stop || REGISTRATION.state !== "error" || REGISTRATION.ws) return;
  REGISTRATION.retry = 0;
  clearTimeout(REGISTRATION.timer);
  REGISTRATION.timer = setTimeout(connectRegistration, ONLINE_WAIT_MS);
});

export function sendOnRegistration(obj) {
  if (REGISTRATION.ws && REGISTRATION.ws.readyState === 1) REGISTRATION.ws.send(JSON.stringify(obj));
}

// A registration socket can look open while nothing passes (the PC's address changed
// under it, and TCP has not noticed yet). A new one registers at once, naming the running
// session so that the server moves it over; the old one is closed once the new one is
// ready, so that its close cannot end the session first.
export function renewRegistration() {
  if (REGISTRATION.ws && REGISTRATION.ws.readyState === 0) return; // a new one is on its way
  if (REGISTRATION.ws) {
    if (REGISTRATION.stale && REGISTRATION.stale !== REGISTRATION.ws) dropSocket(REGISTRATION.stale);
    REGISTRATION.stale = REGISTRATION.ws;
  }
  REGISTRATION.ws = null;
  clearInterval(REGISTRATION.ping);
  connectRegistration();
}

function closeStale() {
  const old = REGISTRATION.stale;
  REGISTRATION.stale = null;
  if (old && old !== REGISTRATION.ws) dropSocket(old);
}

function dropSocket(ws) {
  try {
    ws.close();
  } catch (e) {
    /* already closed */
  }
}

export function closeRegistration() {
  REGISTRATION.stop = true;
  clearTimeout(REGISTRATION.timer);
  clearInterval(REGISTRATION.ping);
  closeStale();
  const ws = REGISTRATION.ws;
  REGISTRATION.ws = null;
  for (const fn of closeListeners) fn();
  if (ws) {
    try {
      ws.close();
    } catch (e) {
      /* already closed */
    }
  }
  setRegistrationState("off");
}

export function dropIce() {
  ICE_CACHE = null;
}

export async function iceList() {
  if (ICE_CACHE && Date.now() - ICE_CACHE.at < 3600000) return ICE_CACHE.list;
  let list = ICE_DEFAULT;
  try {
    const base = (IDENTITY && IDENTITY.server) || "";
    const r = await fetch(base + "/ice", { cache: "no-store" });
    const j = await r.json();
    if (j && Array.isArray(j.iceServers) && j.iceServers.length) list = j.iceServers;
  } catch (e) {
    /* the built-in list serves */
  }
  ICE_CACHE = { list, at: Date.now() };
  return list;
}

export function prefetchIce() {
  if (IDENTITY && IDENTITY.server) iceList();
}
