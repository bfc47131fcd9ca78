// Signalling: this PC's registration under its ID, the messages that reach it, and the
// ICE list. What the messages mean is for the modules that register for them: the request
// dialog (host_session.js) and the session (session.js); the technician's join socket is
// tech_session.js.

import { AJ, ID } from "./state.js";
import { VER, yes } from "./core.js";
import { t } from "./i18n.js";
import { toast } from "./ui.js";

// The registration: its socket, state ("off", "connecting", "online", "error", "taken",
// "replaced"), retries, keep-alive, and whether it was stopped on purpose; `stale`: the
// socket a renewal replaces, until the new one is ready.
const HOST = { ws: null, stale: null, state: "off", retry: 0, timer: null, ping: null, stop: false };
let ICE = null; // { list, at }
export const ICE_DEFAULT = [{ urls: ["stun:stun.l.google.com:19302", "stun:stun.cloudflare.com:3478"] }];
const RETRY_WAIT = [3, 5, 8, 13, 20, 30];
const ONLINE_WAIT_MS = 500;

const stateListeners = [];
const messageListeners = [];
const closeListeners = [];
const helloListeners = [];

// The registration's state changed.
export function onHostState(fn) {
  stateListeners.push(fn);
}
// A message of a request or a session ("req", "cancel", "signal", "left", "ended").
export function onHostMessage(fn) {
  messageListeners.push(fn);
}
// The registration socket is gone (closed, or stopped on purpose).
export function onHostClosed(fn) {
  closeListeners.push(fn);
}

// The hello about to be sent, for members of its own (a running session's id, so that
// registering again takes the session along: see hostRenew).
export function onHostHello(fn) {
  helloListeners.push(fn);
}

export function hostState() {
  return HOST.state;
}

export function wsUrl(path) {
  const base = (ID && ID.servidor) || "";
  return base.replace(/^http/, "ws") + path;
}

function setHostState(st) {
  HOST.state = st;
  for (const fn of stateListeners) fn();
}

function hostRetry() {
  clearTimeout(HOST.timer);
  HOST.retry = Math.min(HOST.retry + 1, 6);
  HOST.timer = setTimeout(hostConnect, RETRY_WAIT[HOST.retry - 1] * 1000);
}

export function hostConnect() {
  clearTimeout(HOST.timer);
  if (!ID || !ID.id || !yes(AJ && AJ.recibir && AJ.recibir.disponible)) {
    setHostState("off");
    return;
  }
  if (HOST.ws && (HOST.ws.readyState === 0 || HOST.ws.readyState === 1)) return;
  HOST.stop = false;
  setHostState("connecting");
  let ws;
  try {
    ws = new WebSocket(wsUrl("/host/" + ID.id));
  } catch (e) {
    setHostState("error");
    hostRetry();
    return;
  }
  HOST.ws = ws;
  ws.onopen = () => {
    const hello = { t: "hello", key: ID.llave, name: ID.nombre, ver: VER };
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
    if (ws === HOST.ws) dispatch(m);
    else if (ws === HOST.stale && m.t === "signal") for (const fn of messageListeners) fn(m);
  };
  ws.onclose = () => {
    if (ws !== HOST.ws) return;
    clearInterval(HOST.ping);
    HOST.ws = null;
    for (const fn of closeListeners) fn();
    if (HOST.stop || HOST.state === "taken" || HOST.state === "replaced") {
      setHostState(HOST.state);
      return;
    }
    setHostState("error");
    hostRetry();
  };
}

function dispatch(m) {
  switch (m.t) {
    case "ready":
      HOST.retry = 0;
      clearInterval(HOST.ping);
      HOST.ping = setInterval(() => hostSend({ t: "ping" }), 25000);
      closeStale();
      setHostState("online");
      break;
    case "taken":
    case "replaced":
      setHostState(m.t);
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
  if (HOST.stop || HOST.state !== "error" || HOST.ws) return;
  HOST.retry = 0;
  clearTimeout(HOST.timer);
  HOST.timer = setTimeout(hostConnect, ONLINE_WAIT_MS);
});

export function hostSend(obj) {
  if (HOST.ws && HOST.ws.readyState === 1) HOST.ws.send(JSON.stringify(obj));
}

// A registration socket can look open while nothing passes (the PC's address changed
// under it, and TCP has not noticed yet). A new one registers at once, naming the running
// session so that the server moves it over; the old one is closed once the new one is
// ready, so that its close cannot end the session first.
export function hostRenew() {
  if (HOST.ws && HOST.ws.readyState === 0) return; // a new one is on its way
  if (HOST.ws) {
    if (HOST.stale && HOST.stale !== HOST.ws) dropSocket(HOST.stale);
    HOST.stale = HOST.ws;
  }
  HOST.ws = null;
  clearInterval(HOST.ping);
  hostConnect();
}

function closeStale() {
  const old = HOST.stale;
  HOST.stale = null;
  if (old && old !== HOST.ws) dropSocket(old);
}

function dropSocket(ws) {
  try {
    ws.close();
  } catch (e) {
    /* already closed */
  }
}

export function hostDisconnect() {
  HOST.stop = true;
  clearTimeout(HOST.timer);
  clearInterval(HOST.ping);
  closeStale();
  const ws = HOST.ws;
  HOST.ws = null;
  for (const fn of closeListeners) fn();
  if (ws) {
    try {
      ws.close();
    } catch (e) {
      /* already closed */
    }
  }
  setHostState("off");
}

export function dropIce() {
  ICE = null;
}

export async function iceList() {
  if (ICE && Date.now() - ICE.at < 3600000) return ICE.list;
  let list = ICE_DEFAULT;
  try {
    const base = (ID && ID.servidor) || "";
    const r = await fetch(base + "/ice", { cache: "no-store" });
    const j = await r.json();
    if (j && Array.isArray(j.iceServers) && j.iceServers.length) list = j.iceServers;
  } catch (e) {
    /* the built-in list serves */
  }
  ICE = { list, at: Date.now() };
  return list;
}

export function prefetchIce() {
  if (ID && ID.servidor) iceList();
}
