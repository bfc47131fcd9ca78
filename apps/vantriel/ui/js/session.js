// The support session (`SESSION`): the one peer connection of either role, its signals and
// candidates, the report to the host process, the statistics and the end. The side that
// opens a session (host_session.js, tech_session.js) hands it the side's hooks; the parts
// every session has (chat, files, the voice line, the check code) register theirs once
// with addSessionPart.

import { t } from "./i18n.js";
import { loadState, setAccessCode } from "./state.js";
import { keeper } from "./keeper.js";
import { toast } from "./ui.js";
import { iceList, onRegistrationState, registrationState, renewRegistration } from "./signal.js";
import { mungeOpus, sdpFingerprint } from "./sdp.js";
import { statsLine } from "./stats.js";
import { certFingerprints } from "./check_logic.js";

export let SESSION = null;

const LOSS_MS = 12000;
const STATS_MS = 2000;
const RESTART_MS = 4000;
const BYE_GRACE_MS = 1000;
const CERT_TRIES = 10;
const CERT_RETRY_MS = 500;

// The session object, in one place:
//   role        "host" (receives support) or "tech" (gives it)
//   side        the side's hooks, each called with the session first:
//                 signal(s, msg)  sends a message on the side's signalling road
//                 leave(s)        tells the server the session ends
//                 redraw(s)       the side's bar or viewer shows the session anew
//                 renew(s)        the side's signalling socket may be as dead as the path:
//                                 the technician's opens a new one (the host's is renewRegistration)
//                 stats(s)        the statistics line (s.statLine) changed
//                 control(s, m)   a control message no part took
//                 move(s, ev)     events from `mov` (the host)
//                 ctlOpen(s)      `ctl` opened (the host says hello)
//                 offer(s)        the peer's offer was applied (the technician's media)
//                 end(s)          the session ended: the side lets go of what it holds
// Given and kept up by the side:
//   sid         the server's session id (the host; the technician's socket is its own)
//   peer        the other person's name as shown
//   ice         the ICE list the server gave, if any
// This module's own:
//   pc, dc      the peer connection and its data channels by label
//   offering    an ICE restart's offer is being made (one at a time)
//   sigq, iceq  signals that came before the peer connection, candidates before the
//               remote description
//   connected   the connection came up at least once; started: when, in ms
//   pin         the peer's certificate fingerprint from its first description (sdp.js);
//               certPin the same certificate as the connected transport first showed it
//               (see applySignal and transportCerts)
//   lostT       the loss timer; statT, statSample, statLine: the statistics
//   reconnecting  the path went away under a running session and is being mended;
//               restartT: the host's next ICE restart; quiet: nothing arrived lately
//               (the technician's early sign of a lost path)
// The sides own their fields, listed where each opens its session (host_session.js,
// tech_session.js); the parts theirs: `check` (check.js); `mic`, `voice`, `peerMic`,
// `callWait` (voice_line.js, with `voice` set by the side that makes the transceiver);
// `offerGate` (files.js); `clockT`, the bar's clock (session_bar.js); `guard`, the peer's
// message rates and drops, is shared by the parts and made by message_logic.js guardOf.
// Each writes only its own fields.

// Makes a session of `side` with `fields`; every later callback compares against it.
export function openSession(side, fields) {
  SESSION = Object.assign(
    { side, dc: {}, sigq: [], iceq: [], connected: false, started: 0, lostT: null, statT: null },
    fields,
  );
  return SESSION;
}

// The parts of every session: control messages they take by type, and what they do when
// `ctl` opens, when a `file` frame arrives and when the session ends.
const parts = [];
export function addSessionPart(part) {
  parts.push(part);
}

function partFor(type) {
  return parts.find((p) => p.messages && Object.prototype.hasOwnProperty.call(p.messages, type));
}

function hook(s, name, ...args) {
  const fn = s.side && s.side[name];
  return fn ? fn(s, ...args) : undefined;
}

// The side's bar or viewer shows the session anew (after a change of a part's state).
export function redrawSession(s) {
  if (SESSION === s) hook(s, "redraw");
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
  hook(s, "signal", { t: "signal", data });
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
    const opened = () => {
      if (SESSION !== s) return;
      hook(s, "ctlOpen");
      for (const p of parts) if (p.ctlOpen) p.ctlOpen(s);
    };
    ch.onopen = opened;
    // A channel the peer made may already be open when it is handed over.
    if (ch.readyState === "open") opened();
    ch.onmessage = (e) => {
      const m = SESSION === s && typeof e.data === "string" ? parseMessage(e.data) : null;
      if (!m) return;
      // Messages the parts take are handled alike on both sides; the rest is the side's.
      const part = partFor(m.t);
      if (part) part.messages[m.t](s, m);
      else if (m.t === "bye") endSession(m.reason === "cert" ? "cert" : "peer", false);
      else hook(s, "control", m);
    };
  } else if (ch.label === "mov") {
    ch.onmessage = (e) => {
      const m = SESSION === s && typeof e.data === "string" ? parseMessage(e.data) : null;
      if (m && m.t === "in") hook(s, "move", m.ev);
    };
  } else if (ch.label === "file") {
    ch.binaryType = "arraybuffer";
    ch.onmessage = (e) => {
      if (SESSION !== s) return;
      for (const p of parts) if (p.fileFrame) p.fileFrame(s, e.data);
    };
  }
}

// The peer connection of a session (`newPC`).
export async function newPC(s) {
  const given = Array.isArray(s.ice) && s.ice.length ? s.ice : null;
  const ice = given || (await iceList());
  if (SESSION !== s) return null;
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
    if (SESSION !== s) {
      pc.close();
      return null;
    }
  }
  s.pc = pc;
  pc.onicecandidate = (e) => {
    if (e.candidate && SESSION === s) sendSignal(s, { ice: e.candidate.toJSON() });
  };
  pc.onconnectionstatechange = () => {
    if (SESSION !== s || s.pc !== pc) return;
    const st = pc.connectionState;
    if (st === "connected") {
      // After every (re)connection: still the certificate the session began with.
      transportCerts(s);
      s.connected = true;
      clearTimeout(s.lostT);
      s.lostT = null;
      pathBack(s);
      if (!s.started) s.started = Date.now();
      hook(s, "redraw");
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
    if (SESSION === s && (!s.pc || s.pc.connectionState !== "connected")) endSession("lost", true);
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
    hook(s, "redraw");
  }
  if (s.role === "host") restartIce(s);
  else hook(s, "renew");
}

function pathBack(s) {
  if (!s.reconnecting) return;
  s.reconnecting = false;
  hook(s, "redraw");
}

// `renew`: a last offer still unanswered means the registration socket may be dead, and
// a new one is opened first. Not when that socket has just become ready, or when the
// network has just come back (what the socket held goes out now).
async function restartIce(s, renew = true) {
  clearTimeout(s.restartT);
  // Until the restart is answered: a path that came back by itself on one side may still
  // be gone on the other, which only the new candidates mend.
  s.restartT = setTimeout(() => {
    if (SESSION === s && (s.reconnecting || s.pc.signalingState === "have-local-offer")) restartIce(s);
  }, RESTART_MS);
  if (renew && s.pc.signalingState === "have-local-offer") renewRegistration();
  // One offer at a time: two made together (the timer's and a socket's becoming ready)
  // would both be answered, and the second answer would find nothing to answer.
  if (s.offering) return;
  s.offering = true;
  try {
    s.pc.restartIce();
    await sendOffer(s);
  } catch (e) {
    console.warn("ICE restart failed:", e && e.message);
  } finally {
    s.offering = false;
  }
}

// The registration socket is (again) ready: a session still reconnecting offers at once.
onRegistrationState(() => {
  const s = SESSION;
  if (registrationState() !== "online") return;
  if (s && s.role === "host" && s.pc && (s.reconnecting || s.pc.signalingState === "have-local-offer")) restartIce(s, false);
});

window.addEventListener("online", () => {
  const s = SESSION;
  if (s && s.reconnecting && s.role === "host") restartIce(s, false);
});

// The technician's page came back on a new socket after its network changed (the server
// says "resumed"): its old candidates are gone, so the host offers an ICE restart at once
// rather than when its own timers notice. The host makes every offer; the technician only
// answers, so the two never offer at the same time.
export function peerReturned(s) {
  if (SESSION !== s || !s.pc || s.role !== "host") return;
  restartIce(s, false);
}

// A signal from the other side: SDP or an ICE candidate. Only the host makes offers.
export async function onSignal(data) {
  const s = SESSION;
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
  while (SESSION === s && s.sigq.length) {
    try {
      await applySignal(s, s.sigq.shift());
    } catch (e) {
      console.warn("signal not applied:", e && e.message);
    }
  }
}

// The peer's certificate is pinned at its first description, before anything is set: a
// later one (a renegotiation, an ICE restart, a second answer) that names another would
// have the browser restart DTLS with whoever holds it, under a check code already read
// aloud, so it is refused before the browser sees it and the session ends on both sides.
// The pin is taken from the description rather than from the connected transport because
// the description comes first: nothing can slip in between two descriptions before the
// transport is up. The transport's own view is compared after every connection
// (transportCerts), and it is what the check code commits to.
async function applySignal(s, data) {
  const pc = s.pc;
  if (data.sdp && typeof data.sdp === "object") {
    const type = data.sdp.type;
    if (type === "offer" && s.role !== "tech") return;
    if (type !== "offer" && type !== "answer") return;
    const sdp = String(data.sdp.sdp || "");
    const fp = sdpFingerprint(sdp);
    if (!fp || (s.pin && fp !== s.pin)) {
      console.warn("a description with " + (fp ? "another certificate" : "no sound certificate fingerprint") + " refused");
      endSession("cert", true);
      return;
    }
    s.pin = fp;
    await pc.setRemoteDescription({ type, sdp });
    if (SESSION !== s) return;
    for (const c of s.iceq.splice(0)) await pc.addIceCandidate(c).catch(() => {});
    if (type === "offer") {
      hook(s, "offer");
      const answer = await pc.createAnswer();
      const sdp = mungeOpus(answer.sdp);
      await pc.setLocalDescription({ type: "answer", sdp });
      if (SESSION === s) sendSignal(s, { sdp: { type: "answer", sdp } });
    }
  } else if (data.ice && typeof data.ice === "object") {
    if (!pc.remoteDescription) s.iceq.push(data.ice);
    else await pc.addIceCandidate(data.ice).catch(() => {});
  }
}

// The certificates of the connected transport, from its statistics (a few tries: they may
// lag the connection's state). The first read pins the peer's certificate as the
// transport shows it (`certPin`); it must match the description's pin where both use the
// same digest. A later read that shows another certificate ends the session. Resolves
// with { local, remote }, or null (none readable, or the session ended).
export async function transportCerts(s) {
  for (let i = 0; i < CERT_TRIES && SESSION === s; i++) {
    let fps = null;
    try {
      fps = certFingerprints((await s.pc.getStats()).values());
    } catch (e) {
      fps = null;
    }
    if (SESSION !== s) return null;
    if (fps) {
      const sameDigest = s.pin && s.pin.split(" ")[0] === fps.remote.split(" ")[0];
      if (!s.certPin && !(sameDigest && s.pin !== fps.remote)) s.certPin = fps.remote;
      if (fps.remote === s.certPin) return fps;
      console.warn("the connection shows another certificate of the peer");
      endSession("cert", true);
      return null;
    }
    await new Promise((r) => setTimeout(r, CERT_RETRY_MS));
  }
  return null;
}

// The offer of the host side, with its Opus adjustment.
export async function sendOffer(s) {
  const offer = await s.pc.createOffer();
  const sdp = mungeOpus(offer.sdp);
  await s.pc.setLocalDescription({ type: "offer", sdp });
  if (SESSION === s) sendSignal(s, { sdp: { type: "offer", sdp } });
}

// Tells the keeper that the session runs (and whether control is granted).
export function sessionNote(s) {
  return keeper().sessionNote({
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
    if (SESSION !== s || !s.pc) return;
    try {
      const report = await s.pc.getStats();
      if (SESSION !== s) return;
      const r = statsLine(report.values(), s.role, s.statSample || null, Date.now());
      s.statSample = r.sample;
      s.statLine = r.line;
      // A path that went silent shows as reconnecting on the technician's side at once,
      // seconds before ICE calls it disconnected (a short drop may never reach that).
      const quiet = s.connected && r.quiet;
      if (s.role === "tech" && quiet !== !!s.quiet) {
        s.quiet = quiet;
        hook(s, "redraw");
        // The technician's own network may have changed under its join socket too: a
        // new one tells the host to restart at once.
        if (quiet) hook(s, "renew");
      }
      // On the host's side the same silence starts the mending at once: ICE calls a path
      // that went away disconnected only after several seconds more (seven, measured, after
      // a change of address). The registration socket may be as dead as the path (a new
      // address), so a new one opens, and the restart is offered on it once it is ready
      // (onRegistrationState); ICE's own verdict, when it comes, restarts as before.
      if (s.role === "host") {
        if (quiet && !s.reconnecting) {
          s.reconnecting = true;
          hook(s, "redraw");
          renewRegistration();
        }
        else if (!r.quiet && s.reconnecting && s.pc.connectionState === "connected") pathBack(s);
      }
      hook(s, "stats");
    } catch (e) {
      /* statistics are best effort */
    }
  }, STATS_MS);
}

// Stops every track of a stream the session took (a screen, a microphone).
export function stopTracks(stream) {
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

const END_TOASTS = { peer: "endedPeer", lost: "endedLost", stopped: "endedStop", cert: "endedCert" };

// Ends the session once, for `reason` ("local", "peer", "lost", "stopped", "cert": the
// peer's certificate changed or could not be read from a description); with `notify` the
// other side and the server are told. The `bye` of "cert" says so, over the transport the
// session began with, so the other person learns why (an older peer reads a plain `bye`).
export async function endSession(reason, notify) {
  const s = SESSION;
  if (!s) return;
  SESSION = null;
  let byeSent = false;
  if (notify) {
    byeSent = sendCtl(s, reason === "cert" ? { t: "bye", reason } : { t: "bye" });
    hook(s, "leave");
  }
  clearInterval(s.statT);
  clearTimeout(s.lostT);
  clearTimeout(s.restartT);
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
  hook(s, "end");
  for (const p of parts) if (p.end) p.end(s);
  try {
    const r = await keeper().sessionOver();
    // Receiving support renews the access code.
    if (s.role === "host" && r && r.accessCode) setAccessCode(r.accessCode);
  } catch (e) {
    /* the host clears it at the next start */
  }
  loadState();
  if (s.connected || reason !== "local") toast(t(END_TOASTS[reason] || "ended"), reason === "cert" ? 20000 : 5000);
}

// A window closed during a session: tell the peer and the host, then end it.
window.addEventListener("pagehide", () => {
  const s = SESSION;
  if (!s) return;
  sendCtl(s, { t: "bye" });
  // The server too, or it would hold the session for a technician's return.
  hook(s, "leave");
  keeper().sessionOverOnUnload();
  SESSION = null;
  if (s.pc) s.pc.close();
});
