// Signalling: host registration under this PC's ID, the ICE list, and the technician's
// join. Registration keeps the status line and the server pill true; the request dialog,
// the join flow and the peer connection come with the session work.

const HOST = { ws: null, state: "off", retry: 0, timer: null, ping: null, stop: false, req: null };
let ICE = null; // { list, at }
const ICE_DEFAULT = [{ urls: ["stun:stun.l.google.com:19302", "stun:stun.cloudflare.com:3478"] }];
const RETRY_WAIT = [3, 5, 8, 13, 20, 30];

function wsUrl(path) {
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

function hostConnect() {
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
    ws.send(JSON.stringify({ t: "hello", key: ID.llave, name: ID.nombre, ver: VER }));
  };
  ws.onmessage = (ev) => {
    let m;
    try {
      m = JSON.parse(ev.data);
    } catch (e) {
      return;
    }
    if (!m || typeof m !== "object" || ws !== HOST.ws) return;
    onHostMessage(m);
  };
  ws.onclose = () => {
    if (ws !== HOST.ws) return;
    clearInterval(HOST.ping);
    HOST.ws = null;
    HOST.req = null;
    if (HOST.stop || HOST.state === "taken" || HOST.state === "replaced") {
      drawHostStatus();
      return;
    }
    setHostState("error");
    hostRetry();
  };
}

function onHostMessage(m) {
  switch (m.t) {
    case "ready":
      HOST.retry = 0;
      clearInterval(HOST.ping);
      HOST.ping = setInterval(() => hostSend({ t: "ping" }), 25000);
      setHostState("online");
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

function hostSend(obj) {
  if (HOST.ws && HOST.ws.readyState === 1) HOST.ws.send(JSON.stringify(obj));
}

function hostDisconnect() {
  HOST.stop = true;
  clearTimeout(HOST.timer);
  clearInterval(HOST.ping);
  const ws = HOST.ws;
  HOST.ws = null;
  HOST.req = null;
  if (ws) {
    try {
      ws.close();
    } catch (e) {
      /* already closed */
    }
  }
  HOST.state = "off";
}

// An incoming request. Until the request dialog and the session exist, the technician
// is told at once that this PC does not take sessions, rather than left waiting.
function onHostRequest(m) {
  hostSend({ t: "answer", sid: m.sid, ok: false, reason: "unavailable" });
}

// cancel, signal, left and ended for a session: handled by the session work.
function onHostSignal(m) {}

function dropIce() {
  ICE = null;
}

async function iceList() {
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

function prefetchIce() {
  if (ID && ID.servidor) iceList();
}

// Why a typed ID and key cannot be used, as a text key and the field to focus; null
// when they can.
function joinProblem(idField, keyField, ownId) {
  const id = String(idField || "").replace(/\D/g, "");
  if (id.length !== 9 || id[0] === "0") return { key: "badId", focus: "peerId" };
  if (!cleanKey(keyField)) return { key: "noKey", focus: "peerKey" };
  if (ownId && id === String(ownId)) return { key: "selfId", focus: null };
  return null;
}

// The technician's connect button.
function connectTo() {
  const p = joinProblem($("peerId").value, $("peerKey").value, ID && ID.id);
  if (p) {
    toast(t(p.key));
    if (p.focus) $(p.focus).focus();
    return;
  }
  if (SES) return;
  startJoin($("peerId").value.replace(/\D/g, ""), cleanKey($("peerKey").value), $("wantCtl").checked);
}
