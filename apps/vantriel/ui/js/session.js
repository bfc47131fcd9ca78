// The support session (`SES`): the one peer connection of either role, its signals and
// candidates, the report to the host process, the statistics and the end. What each side
// does inside the connection is host_session.js and tech_session.js.

import { $ } from "./core.js";
import { t } from "./i18n.js";
import { ID } from "./state.js";
import { post, postOnUnload } from "./api.js";
import { toast } from "./ui.js";
import { drawIdentity, loadState } from "./shell.js";
import { hostRenew, hostSend, iceList } from "./signal.js";
import { mungeOpus } from "./sdp.js";
import { statsLine } from "./stats.js";
import { drawHostBar, onHostControl, onHostMove, hostChannelOpen } from "./host_session.js";
import { attachRemoteMedia, closeViewer, drawViewer, onTechControl, showStats } from "./tech_session.js";
import { chatIncoming, chatReset } from "./chat.js";
import { onPeerCall } from "./voice_line.js";
import { filesReset, onFileFrame } from "./files.js";
import { checkStart, checkStop, onCheckMessage } from "./check.js";

export let SES = null;

const LOSS_MS = 12000;
const STATS_MS = 2000;
const RESTART_MS = 4000;
const BYE_GRACE_MS = 1000;

// Makes `s` the session; every later callback compares against it.
export function openSession(s) {
  SES = Object.assign(
    { dc: {}, sigq: [], iceq: [], connected: false, started: 0, lostT: null, waitT: null, statT: null, ping: null },
    s,
  );
  return SES;
}

// Sends a control message on `ctl` when it is open; otherwise it is dropped.
export function sendCtl(s, obj) {
  const ch = s && s.dc && s.dc.ctl;
  if (!ch || ch.readyState !== "open") return false;
  try {
    ch.send(JSON.stringify(obj));
    return true;
  } catch (e) {
    return false;
  }
}

// Sends on `mov` when open; a lost move is superseded by the next one.
export function sendMove(s, obj) {
  const ch = s && s.dc && s.dc.mov;
  if (!ch || ch.readyState !== "open") return;
  try {
    ch.send(JSON.stringify(obj));
  } catch (e) {
    /* closing */
  }
}

function sendSignal(s, data) {
  if (s.role === "host") hostSend({ t: "signal", sid: s.sid, data });
  else if (s.ws && s.ws.readyState === 1) s.ws.send(JSON.stringify({ t: "signal", data }));
}

// A message frame: a JSON object, else null (other frames are ignored).
export function parseMessage(text) {
  try {
    const m = JSON.parse(text);
    return m && typeof m === "object" && !Array.isArray(m) ? m : null;
  } catch (e) {
    return null;
  }
}

// Wires a data channel of the session by its label.
export function wireChannel(s, ch) {
  s.dc[ch.label] = ch;
  if (ch.label === "ctl") {
    ch.onopen = () => {
      if (SES === s && s.role === "host") hostChannelOpen(s);
      if (SES === s) checkStart(s);
    };
    // A channel the peer made may already be open when it is handed over.
    if (ch.readyState === "open" && SES === s) checkStart(s);
    ch.onmessage = (e) => {
      const m = SES === s && typeof e.data === "string" ? parseMessage(e.data) : null;
      if (!m) return;
      // Messages both sides handle alike; the rest belongs to the side.
      if (m.t === "chat") chatIncoming(s.peer, m.text);
      else if (m.t === "call") onPeerCall(s, m);
      else if (m.t === "bye") endSession("peer", false);
      else if (m.t === "check-commit" || m.t === "check-reveal") onCheckMessage(s, m);
      else if (s.role === "host") onHostControl(s, m);
      else onTechControl(s, m);
    };
  } else if (ch.label === "mov") {
    ch.onmessage = (e) => {
      const m = SES === s && s.role === "host" && typeof e.data === "string" ? parseMessage(e.data) : null;
      if (m && m.t === "in") onHostMove(s, m.ev);
    };
  } else if (ch.label === "file") {
    ch.binaryType = "arraybuffer";
    ch.onmessage = (e) => {
      if (SES === s) onFileFrame(s, e.data);
    };
  }
}

// The peer connection of a session (`newPC`).
export async function newPC(s) {
  const given = Array.isArray(s.ice) && s.ice.length ? s.ice : null;
  const ice = given || (await iceList());
  if (SES !== s) return null;
  let pc;
  try {
    pc = new RTCPeerConnection({ iceServers: ice, bundlePolicy: "max-bundle" });
  } catch (e) {
    // A list the browser refuses (a malformed entry from the server) must not strand
    // the session: the cached or built-in list serves instead.
    console.warn("ICE list refused:", e && e.message);
    try {
      pc = new RTCPeerConnection({ iceServers: given ? await iceList() : [], bundlePolicy: "max-bundle" });
    } catch (e2) {
      endSession("lost", true);
      return null;
    }
    if (SES !== s) {
      pc.close();
      return null;
    }
  }
  s.pc = pc;
  pc.onicecandidate = (e) => {
    if (e.candidate && SES === s) sendSignal(s, { ice: e.candidate.toJSON() });
  };
  pc.onconnectionstatechange = () => {
    if (SES !== s || s.pc !== pc) return;
    const st = pc.connectionState;
    if (st === "connected") {
      s.connected = true;
      clearTimeout(s.lostT);
      s.lostT = null;
      pathBack(s);
      if (!s.started) s.started = Date.now();
      redraw(s);
    } else if (st === "failed" && !s.connected) {
      endSession("lost", true);
    } else if (st === "failed") {
      // The path of a running session failed: an ICE restart may still find another
      // one, and the loss timer already running decides.
      if (!s.lostT) startLossTimer(s);
      pathLost(s);
    } else if (st === "disconnected") {
      startLossTimer(s);
      if (s.connected) pathLost(s);
    }
  };
  if (s.role === "tech") pc.ondatachannel = (e) => wireChannel(s, e.channel);
  return pc;
}

// Ends the session with "lost" unless the connection is back within 12 s.
export function startLossTimer(s) {
  clearTimeout(s.lostT);
  s.lostT = setTimeout(() => {
    if (SES === s && (!s.pc || s.pc.connectionState !== "connected")) endSession("lost", true);
  }, LOSS_MS);
}

// The path between the PCs went away under a running session (the network dropped, or
// changed its address). While the loss timer runs the session is "reconnecting": the
// host, which makes every offer, offers an ICE restart over its signalling socket (which
// outlives a short drop, and reconnects after a longer one), again every few seconds
// while no answer brings the path back, and at once when the browser sees a network
// come back.
function pathLost(s) {
  if (!s.reconnecting) {
    s.reconnecting = true;
    redraw(s);
  }
  if (s.role === "host") restartIce(s);
}

function pathBack(s) {
  s.reconnecting = false;
}

// `renew`: a last offer still unanswered means the registration socket may be dead, and
// a new one is opened first. Not when that socket has just become ready, or when the
// network has just come back (what the socket held goes out now).
async function restartIce(s, renew = true) {
  clearTimeout(s.restartT);
  // Until the restart is answered: a path that came back by itself on one side may still
  // be gone on the other, which only the new candidates mend.
  s.restartT = setTimeout(() => {
    if (SES === s && (s.reconnecting || s.pc.signalingState === "have-local-offer")) restartIce(s);
  }, RESTART_MS);
  if (renew && s.pc.signalingState === "have-local-offer") hostRenew();
  try {
    s.pc.restartIce();
    await sendOffer(s);
  } catch (e) {
    console.warn("ICE restart failed:", e && e.message);
  }
}

// The registration socket is (again) ready: a session still reconnecting offers at once.
export function onHostReady() {
  const s = SES;
  if (s && s.role === "host" && s.pc && (s.reconnecting || s.pc.signalingState === "have-local-offer")) restartIce(s, false);
}

window.addEventListener("online", () => {
  const s = SES;
  if (s && s.reconnecting && s.role === "host") restartIce(s, false);
});

function redraw(s) {
  if (s.role === "host") drawHostBar();
  else drawViewer(s);
}

// A signal from the other side: SDP or an ICE candidate. Only the host makes offers.
export async function onSignal(data) {
  const s = SES;
  if (!s || !data || typeof data !== "object") return;
  if (!s.pc) {
    s.sigq.push(data);
    return;
  }
  try {
    await applySignal(s, data);
  } catch (e) {
    console.warn("signal not applied:", e && e.message);
  }
}

// Applies the signals that arrived before the peer connection existed, in order.
export async function flushSignals(s) {
  while (SES === s && s.sigq.length) {
    try {
      await applySignal(s, s.sigq.shift());
    } catch (e) {
      console.warn("signal not applied:", e && e.message);
    }
  }
}

async function applySignal(s, data) {
  const pc = s.pc;
  if (data.sdp && typeof data.sdp === "object") {
    const type = data.sdp.type;
    if (type === "offer" && s.role !== "tech") return;
    if (type !== "offer" && type !== "answer") return;
    await pc.setRemoteDescription({ type, sdp: String(data.sdp.sdp || "") });
    if (SES !== s) return;
    for (const c of s.iceq.splice(0)) await pc.addIceCandidate(c).catch(() => {});
    if (type === "offer") {
      attachRemoteMedia(s);
      const answer = await pc.createAnswer();
      const sdp = mungeOpus(answer.sdp);
      await pc.setLocalDescription({ type: "answer", sdp });
      if (SES === s) sendSignal(s, { sdp: { type: "answer", sdp } });
    }
  } else if (data.ice && typeof data.ice === "object") {
    if (!pc.remoteDescription) s.iceq.push(data.ice);
    else await pc.addIceCandidate(data.ice).catch(() => {});
  }
}

// The offer of the host side, with its Opus adjustment.
export async function sendOffer(s) {
  const offer = await s.pc.createOffer();
  const sdp = mungeOpus(offer.sdp);
  await s.pc.setLocalDescription({ type: "offer", sdp });
  if (SES === s) sendSignal(s, { sdp: { type: "offer", sdp } });
}

// Tells the host process that the session runs (and whether control is granted).
export function sessionNote(s) {
  return post("/api/sesion", {
    activa: true,
    rol: s.role,
    control: s.role === "host" ? !!s.control : false,
    con: String(s.peer || ""),
    id: s.role === "host" ? "" : String(s.peerId || ""),
  }).catch(() => null);
}

// Statistics every 2 s into the bar of the side.
export function startStats(s) {
  clearInterval(s.statT);
  s.statT = setInterval(async () => {
    if (SES !== s || !s.pc) return;
    try {
      const report = await s.pc.getStats();
      if (SES !== s) return;
      const r = statsLine(report.values(), s.role, s.statSample || null, Date.now());
      s.statSample = r.sample;
      s.statLine = r.line;
      // A path that went silent shows as reconnecting on the technician's side at once,
      // seconds before ICE calls it disconnected (a short drop may never reach that).
      const quiet = s.connected && r.quiet;
      if (s.role === "tech" && quiet !== !!s.quiet) {
        s.quiet = quiet;
        redraw(s);
      }
      if (s.role === "host") {
        const el = $("hbStats");
        if (el) el.textContent = r.line;
      } else {
        showStats(s);
      }
    } catch (e) {
      /* statistics are best effort */
    }
  }, STATS_MS);
}

function stopTracks(stream) {
  if (!stream) return;
  for (const tr of stream.getTracks()) {
    try {
      tr.onended = null;
      tr.stop();
    } catch (e) {
      /* already stopped */
    }
  }
}

const END_TOASTS = { peer: "endedPeer", lost: "endedLost", stopped: "endedStop" };

// Ends the session once, for `reason` ("local", "peer", "lost", "stopped"); with
// `notify` the other side and the server are told.
export async function endSession(reason, notify) {
  const s = SES;
  if (!s) return;
  SES = null;
  let byeSent = false;
  if (notify) {
    byeSent = sendCtl(s, { t: "bye" });
    if (s.role === "host") hostSend({ t: "bye", sid: s.sid });
    else if (s.ws && s.ws.readyState === 1) s.ws.send(JSON.stringify({ t: s.connected ? "bye" : "cancel" }));
  }
  clearInterval(s.statT);
  clearTimeout(s.lostT);
  clearTimeout(s.restartT);
  clearInterval(s.waitT);
  clearInterval(s.ping);
  clearInterval(s.clockT);
  checkStop(s);
  if (s.queue) s.queue.clear();
  if (s.pc) {
    const pc = s.pc;
    const close = () => {
      try {
        pc.close();
      } catch (e) {
        /* already closed */
      }
    };
    // Closed at once, the connection takes a `bye` still on its way down with it, and a
    // link that dropped its packet gets no time to send it again: the other side would
    // call the session lost 12 s later. Nothing else of the session uses it meanwhile.
    // A session ended as lost closes at once: its path is gone, and a `bye` that still
    // got through late would tell the other side that a person ended it.
    if (byeSent && reason !== "lost") setTimeout(close, BYE_GRACE_MS);
    else close();
  }
  stopTracks(s.screen);
  stopTracks(s.mic);
  if (s.ws) {
    s.ws.onclose = null;
    try {
      s.ws.close();
    } catch (e) {
      /* already closed */
    }
  }
  closeViewer();
  chatReset();
  filesReset();
  drawHostBar();
  try {
    const r = await post("/api/sesion", { activa: false });
    if (s.role === "host" && r && r.clave && ID) {
      ID.clave = r.clave;
      drawIdentity();
    }
  } catch (e) {
    /* the host clears it at the next start */
  }
  loadState();
  if (s.connected || reason !== "local") toast(t(END_TOASTS[reason] || "ended"), 5000);
}

// A window closed during a session: tell the peer and the host, then end it.
window.addEventListener("pagehide", () => {
  const s = SES;
  if (!s) return;
  sendCtl(s, { t: "bye" });
  postOnUnload("/api/sesion", { activa: false });
  SES = null;
  if (s.pc) s.pc.close();
});
