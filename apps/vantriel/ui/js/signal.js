// Signalling: host registration under this PC's ID, the messages that reach it, the ICE
// list, and the checks of the technician's connect form. The request dialog is
// host_session.js; the join socket tech_session.js.

import { AJ, ID } from "./state.js";
import { $, cleanKey, VER, yes } from "./core.js";
import { t } from "./i18n.js";
import { toast } from "./ui.js";
import { drawHostStatus } from "./shell.js";
import { endSession, onHostReady, onSignal, SES, startLossTimer } from "./session.js";
import { closeRequest, onHostRequest } from "./host_session.js";
import { startJoin } from "./tech_session.js";

// `stale`: the registration socket a renewal replaces, until the new one is ready.
export const HOST = { ws: null, stale: null, state: "off", retry: 0, timer: null, ping: null, stop: false, req: null };
let ICE = null; // { list, at }
export const ICE_DEFAULT = [{ urls: ["stun:stun.l.google.com:19302", "stun:stun.cloudflare.com:3478"] }];
const RETRY_WAIT = [3, 5, 8, 13, 20, 30];

export function wsUrl(path) {
  const base = (ID && ID.servidor) || "";
  return base.replace(/^http/, "ws") + path;
}

function setHostState(st) {
  HOST.state = st;
  drawHostStatus();
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
    // Registering again during a session takes it along (see hostRenew).
    if (SES && SES.role === "host" && SES.connected) hello.sid = SES.sid;
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
    if (ws === HOST.ws) onHostMessage(m);
    else if (ws === HOST.stale && m.t === "signal") onHostSignal(m);
  };
  ws.onclose = () => {
    if (ws !== HOST.ws) return;
    clearInterval(HOST.ping);
    HOST.ws = null;
    closeRequest();
    strandedSession();
    if (HOST.stop || HOST.state === "taken" || HOST.state === "replaced") {
      drawHostStatus();
      return;
    }
    setHostState("error");
    hostRetry();
  };
}

// A host session still setting up has lost the only road its signals take: unless the
// connection comes up with what was already exchanged, the loss timer ends it and the PC
// is free for the next request.
function strandedSession() {
  const s = SES;
  if (s && s.role === "host" && !s.connected) startLossTimer(s);
}

function onHostMessage(m) {
  switch (m.t) {
    case "ready":
      HOST.retry = 0;
      clearInterval(HOST.ping);
      HOST.ping = setInterval(() => hostSend({ t: "ping" }), 25000);
      setHostState("online");
      closeStale();
      onHostReady();
      break;
    case "taken":
    case "replaced":
      setHostState(m.t);
      break;
    case "locked":
      toast(t("lockedMsg", m.mins), 8000);
      break;
    case "req":
      onHostRequest(m);
      break;
    default:
      onHostSignal(m);
  }
}

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
  closeRequest();
  strandedSession();
  if (ws) {
    try {
      ws.close();
    } catch (e) {
      /* already closed */
    }
  }
  HOST.state = "off";
}

// Messages for a request or a session of this PC: the request itself, its cancel, and
// the signals and ends of the session it became.
function onHostSignal(m) {
  const s = SES;
  const ours = s && s.role === "host" && m.sid === s.sid;
  switch (m.t) {
    case "cancel":
      if (HOST.req && HOST.req.sid === m.sid) {
        closeRequest();
        toast(t("reqCancelled"));
      } else if (ours && !s.connected) {
        endSession("peer", false);
      }
      break;
    case "signal":
      if (ours) onSignal(m.data);
      break;
    case "left":
    case "ended":
      // Once the direct connection is up, losing the server ends nothing: the end comes
      // over the control channel.
      if (ours && !s.connected) endSession("peer", false);
      else if (HOST.req && HOST.req.sid === m.sid) closeRequest();
      break;
  }
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

// Why a typed ID and key cannot be used, as a text key and the field to focus; null
// when they can.
export function joinProblem(idField, keyField, ownId) {
  const id = String(idField || "").replace(/\D/g, "");
  if (id.length !== 9 || id[0] === "0") return { key: "badId", focus: "peerId" };
  if (!cleanKey(keyField)) return { key: "noKey", focus: "peerKey" };
  if (ownId && id === String(ownId)) return { key: "selfId", focus: null };
  return null;
}

// The technician's connect button.
export function connectTo() {
  const p = joinProblem($("peerId").value, $("peerKey").value, ID && ID.id);
  if (p) {
    toast(t(p.key));
    if (p.focus) $(p.focus).focus();
    return;
  }
  if (SES) return;
  startJoin($("peerId").value.replace(/\D/g, ""), cleanKey($("peerKey").value), $("wantCtl").checked);
}
