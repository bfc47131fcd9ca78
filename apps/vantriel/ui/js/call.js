// Voice calls (`CALL`): the call tab's set-up and room, the room socket, and one audio
// connection to every other member (a full mesh: newcomers offer, members present answer).
// Also the microphone card of the settings form.

import { $, esc } from "./core.js";
import { t } from "./i18n.js";
import { IDENTITY } from "./state.js";
import { keeper } from "./keeper.js";
import { copyText, drawInto, toast } from "./ui.js";
import { ICE_DEFAULT, wsUrl } from "./signal.js";
import { getMic } from "./mic.js";
import { mungeOpus } from "./sdp.js";
import { isTalking, meterPct, newCallCode, normCallCode, rejoinDelay, rejoinPlan, rms } from "./voice_logic.js";

export { normCallCode };
export let CALL = null;

const METER_MS = 120;
const REJOIN_ANSWER_MS = 15000;

function send(c, obj) {
  if (c.ws && c.ws.readyState === 1) c.ws.send(JSON.stringify(obj));
}

// The keeper's call flag (the host process waits for a call's end before an update).
function reportCall(on) {
  keeper().callNote(on);
}

// A `state` sent before the welcome (or while the room socket is away) finds no member:
// a talking or muted page says so again on entering, on coming back and to every
// newcomer.
function resendState(c) {
  if (c.talk || c.muted) send(c, { t: "state", talk: c.talk, muted: c.muted });
}

// Starts or joins the room `code` (ignored while a call exists).
async function startCall(code, create) {
  if (CALL) return;
  const mic = await getMic();
  if (!mic) return;
  if (CALL) {
    mic.getTracks().forEach((tr) => tr.stop());
    return;
  }
  const c = {
    code, create, mic, peers: new Map(), me: null, leader: null, ice: [], muted: false, deaf: false, talk: false,
    ws: null, ping: null, meterT: null, ac: null, memberSecret: null, tries: 0, retryT: null, reconnecting: false,
  };
  CALL = c;
  if (!openRoom(c)) {
    toast(t("srvDown"), 6000);
    leaveCall();
    return;
  }
  c.ping = setInterval(() => send(c, { t: "ping" }), 25000);
  startMeter(c);
  reportCall(true);
  drawCall();
}

// The room socket, first or again. The join names the member this page was, with the
// secret the server handed it, so that it comes back into its own place. False when no
// socket could be made.
function openRoom(c) {
  let ws;
  try {
    ws = new WebSocket(wsUrl("/call/" + c.code));
  } catch (e) {
    return false;
  }
  c.ws = ws;
  ws.onopen = () => {
    const join = { t: "join", name: (IDENTITY && IDENTITY.name) || "", create: c.me === null && c.create };
    if (c.me !== null && c.memberSecret) Object.assign(join, { id: c.me, secret: c.memberSecret });
    send(c, join);
    // Coming back, a socket that the room does not answer (sent on to a node that died
    // and is not yet known dead) is given up for the next try.
    if (c.reconnecting) {
      clearTimeout(c.retryT);
      c.retryT = setTimeout(() => {
        if (c.ws === ws && c.reconnecting) ws.close();
      }, REJOIN_ANSWER_MS);
    }
  };
  // A socket that fails before the room first answered: the server is out of reach.
  ws.onerror = () => {
    if (CALL !== c || c.ws !== ws || c.me !== null) return;
    toast(t("srvDown"), 6000);
    leaveCall();
  };
  ws.onmessage = (e) => {
    let m;
    try {
      m = JSON.parse(e.data);
    } catch (err) {
      return;
    }
    if (m && typeof m === "object" && CALL === c && c.ws === ws) onRoom(c, m);
  };
  ws.onclose = () => {
    if (CALL === c && c.ws === ws) roomLost(c);
  };
  return true;
}

// The room socket closed without the person leaving (its node died, the network went):
// the page goes back into the room with back-off, the member links left as they are
// meanwhile, as the audio between members does not pass through the server. A room that
// was never entered, or cannot be reached again, ends with a message: the person would
// otherwise find the set-up card again and not know why.
function roomLost(c) {
  if (c.me === null) {
    toast(t("srvDown"), 6000);
    leaveCall();
    return;
  }
  const wait = rejoinDelay(c.tries++);
  if (wait === null) {
    toast(t("callLost"), 8000);
    leaveCall();
    return;
  }
  if (!c.reconnecting) {
    c.reconnecting = true;
    drawCall();
  }
  c.retryT = setTimeout(() => {
    if (CALL === c && !openRoom(c)) roomLost(c);
  }, wait);
}

function stateOf(p, e) {
  p.talk = e.talk === true;
  p.muted = e.muted === true;
}

// Back in the room after a reconnect: links that still work are kept, the others made again.
function rejoined(c, m) {
  const links = new Map([...c.peers].map(([id, p]) => [id, p.pc ? p.pc.connectionState : "closed"]));
  const plan = rejoinPlan(c.me, links, m);
  const told = new Map();
  for (const e of [].concat(Array.isArray(m.peers) ? m.peers : [], Array.isArray(m.away) ? m.away : [])) {
    if (e && typeof e.id === "string") told.set(e.id, e);
  }
  for (const id of plan.drop) {
    const p = c.peers.get(id);
    if (p) dropMember(c, p);
  }
  c.me = m.id;
  for (const id of plan.offer) stateOf(member(c, id, told.get(id).name, true), told.get(id));
  for (const id of plan.keep) {
    const p = c.peers.get(id);
    if (p) stateOf(p, told.get(id));
  }
}

function onRoom(c, m) {
  switch (m.t) {
    case "welcome":
      c.leader = m.host; // the member who may remove others
      c.ice = Array.isArray(m.iceServers) ? m.iceServers : [];
      c.memberSecret = typeof m.secret === "string" ? m.secret : null;
      c.tries = 0;
      c.reconnecting = false;
      clearTimeout(c.retryT);
      if (c.me !== null) {
        rejoined(c, m);
      } else {
        c.me = m.id;
        for (const p of Array.isArray(m.peers) ? m.peers : []) {
          if (p && p.id !== undefined && p.id !== c.me && !c.peers.has(p.id)) stateOf(member(c, p.id, p.name, true), p);
        }
      }
      resendState(c);
      drawCall();
      break;
    case "peer-join":
      if (m.peer && m.peer.id !== undefined && m.peer.id !== c.me) {
        // A member coming back keeps the link it still has; it offers again if not.
        const known = c.peers.get(m.peer.id);
        stateOf(known || member(c, m.peer.id, m.peer.name, false), m.peer);
        resendState(c);
        drawCall();
      }
      break;
    case "signal":
      onMemberSignal(c, m);
      break;
    case "state": {
      const p = c.peers.get(m.id);
      if (!p) return;
      p.talk = m.talk === true;
      p.muted = m.muted === true;
      drawMember(c, p);
      break;
    }
    case "peer-leave": {
      const p = c.peers.get(m.id);
      if (p) dropMember(c, p);
      if (m.host !== undefined) c.leader = m.host;
      drawCall();
      break;
    }
    case "notfound":
    case "full":
    case "kicked":
      // Refused on coming back: the room is over, or its place was given away.
      if (m.t !== "kicked" && c.me !== null) toast(t("callLost"), 8000);
      else toast(t({ notfound: "callNotFound", full: "callFull", kicked: "callKicked" }[m.t]), 6000);
      leaveCall();
      break;
  }
}

// The connection to one member; the offering side (the newcomer) makes the offer.
function member(c, id, name, offering) {
  const p = { id, name: typeof name === "string" ? name : "", pc: null, talk: false, muted: false, vol: 1, audio: new Audio(), iceq: [] };
  p.audio.autoplay = true;
  p.audio.muted = c.deaf;
  c.peers.set(id, p);
  let pc;
  try {
    pc = new RTCPeerConnection({ iceServers: c.ice.length ? c.ice : ICE_DEFAULT });
  } catch (e) {
    pc = new RTCPeerConnection({ iceServers: ICE_DEFAULT });
  }
  p.pc = pc;
  for (const tr of c.mic.getAudioTracks()) pc.addTrack(tr, c.mic);
  pc.ontrack = (e) => {
    p.audio.srcObject = e.streams[0] || new MediaStream([e.track]);
    p.audio.play().catch(() => {});
  };
  pc.onicecandidate = (e) => {
    if (e.candidate && CALL === c) send(c, { t: "signal", to: id, data: { ice: e.candidate.toJSON() } });
  };
  pc.onconnectionstatechange = () => {
    if (CALL === c && c.peers.get(id) === p) drawMember(c, p);
  };
  if (offering) {
    (async () => {
      try {
        const offer = await pc.createOffer();
        const sdp = mungeOpus(offer.sdp, true);
        await pc.setLocalDescription({ type: "offer", sdp });
        if (CALL === c) send(c, { t: "signal", to: id, data: { sdp: { type: "offer", sdp } } });
      } catch (e) {
        console.warn("call offer failed:", e && e.message);
      }
    })();
  }
  return p;
}

async function onMemberSignal(c, m) {
  const data = m.data;
  if (!data || typeof data !== "object" || m.from === undefined || m.from === c.me) return;
  let p = c.peers.get(m.from);
  if (!p) {
    p = member(c, m.from, m.name, false);
    drawCall();
  }
  // Links are offered once: an offer to a link that already has one is a member that
  // came back and starts its link again.
  if (data.sdp && data.sdp.type === "offer" && (p.pc.remoteDescription || p.pc.signalingState === "have-local-offer")) {
    p = renew(c, p);
  }
  const pc = p.pc;
  try {
    if (data.sdp && typeof data.sdp === "object") {
      const type = data.sdp.type;
      if (type !== "offer" && type !== "answer") return;
      await pc.setRemoteDescription({ type, sdp: String(data.sdp.sdp || "") });
      for (const cand of p.iceq.splice(0)) await pc.addIceCandidate(cand).catch(() => {});
      if (type === "offer") {
        const answer = await pc.createAnswer();
        const sdp = mungeOpus(answer.sdp, true);
        await pc.setLocalDescription({ type: "answer", sdp });
        if (CALL === c) send(c, { t: "signal", to: m.from, data: { sdp: { type: "answer", sdp } } });
      }
    } else if (data.ice && typeof data.ice === "object") {
      if (!pc.remoteDescription) p.iceq.push(data.ice);
      else await pc.addIceCandidate(data.ice).catch(() => {});
    }
  } catch (e) {
    console.warn("call signal not applied:", e && e.message);
  }
}

// A fresh answering link in the place of `p`, with what the person set for it.
function renew(c, p) {
  dropMember(c, p);
  const q = member(c, p.id, p.name, false);
  q.vol = p.vol;
  q.audio.volume = p.vol;
  q.talk = p.talk;
  q.muted = p.muted;
  drawCall();
  return q;
}

function dropMember(c, p) {
  c.peers.delete(p.id);
  try {
    p.pc.close();
  } catch (e) {
    /* already closed */
  }
  p.audio.srcObject = null;
}

// Level meter and speaking detection on the own microphone.
function startMeter(c) {
  try {
    c.ac = new AudioContext();
    const an = c.ac.createAnalyser();
    an.fftSize = 512;
    c.ac.createMediaStreamSource(c.mic).connect(an);
    const buf = new Float32Array(an.fftSize);
    c.meterT = setInterval(() => {
      if (CALL !== c) return;
      an.getFloatTimeDomainData(buf);
      const level = rms(buf);
      const bar = $("callMeter");
      if (bar) bar.style.width = (c.muted ? 0 : meterPct(level)) + "%";
      const talk = isTalking(level, c.muted);
      if (talk !== c.talk) {
        c.talk = talk;
        send(c, { t: "state", talk, muted: c.muted });
        const me = $("callMe");
        if (me) me.classList.toggle("talk", talk);
      }
    }, METER_MS);
  } catch (e) {
    /* no meter is no failure */
  }
}

export function leaveCall() {
  const c = CALL;
  if (!c) return;
  CALL = null;
  clearInterval(c.ping);
  clearInterval(c.meterT);
  clearTimeout(c.retryT);
  if (c.ac) c.ac.close().catch(() => {});
  for (const p of c.peers.values()) dropMember(c, p);
  c.mic.getTracks().forEach((tr) => tr.stop());
  if (c.ws) {
    c.ws.onclose = null;
    try {
      c.ws.close();
    } catch (e) {
      /* already closed */
    }
  }
  reportCall(false);
  drawCall();
}

// A window closed during a call: the room hears of it from the socket's end; the host
// process is told here, or it would go on waiting for the call before an update.
window.addEventListener("pagehide", () => {
  const c = CALL;
  if (!c) return;
  CALL = null;
  keeper().callNoteOnUnload();
  if (c.ws) c.ws.close();
});

// --- drawing -------------------------------------------------------------------------

function stateText(p) {
  const st = p.pc ? p.pc.connectionState : "new";
  const names = t("pcState");
  return (p.muted ? "🔇 " : "") + (names && typeof names[st] === "string" ? names[st] : st);
}

function memberHtml(c, p) {
  const leader = c.leader !== null && p.id === c.leader;
  return '<li id="callM-' + esc(p.id) + '" class="member' + (p.talk ? " talk" : "") + '">' +
    '<span class="mname"><b>' + esc(p.name) + "</b>" + (leader ? " · " + esc(t("callHost")) : "") + "</span>" +
    '<span class="mstate">' + esc(stateText(p)) + "</span>" +
    '<input type="range" min="0" max="100" value="' + Math.round(p.vol * 100) + '" data-vol="' + esc(p.id) +
    '" aria-label="' + esc(p.name) + '">' +
    (c.me !== null && c.leader === c.me ? '<button type="button" class="btn sm" data-kick="' + esc(p.id) + '">' + esc(t("callKick")) + "</button>" : "") +
    "</li>";
}

// Redraws one member's state and highlight without touching the rest of the room.
function drawMember(c, p) {
  const li = document.getElementById("callM-" + p.id);
  if (!li) return drawCall();
  li.classList.toggle("talk", p.talk);
  const st = li.querySelector(".mstate");
  if (st) st.textContent = stateText(p);
}

export function drawCall() {
  const c = CALL;
  $("callSetup").hidden = !!c;
  $("callRoom").hidden = !c;
  $("callDot").hidden = !c;
  if (!c) {
    drawInto($("callRoom"), "");
    return;
  }
  const meLeader = c.me !== null && c.leader === c.me;
  drawInto($("callRoom"),
    '<div class="card"><h2>' + esc(t("inCall")) + "</h2>" +
    '<div class="idrow"><div class="idblock"><div class="lbl">' + esc(t("code")) + '</div><div id="callCodeShown" class="bigkey">' +
    esc(c.code) + '</div></div><button type="button" class="btn sm" id="callCopy">' + esc(t("copy")) + "</button></div>" +
    '<p id="callPeople">' + esc(t("callPeople", c.peers.size + 1)) + "</p>" +
    (c.reconnecting ? '<p id="callReconnecting" class="tip" role="status">' + esc(t("callReconnecting")) + "</p>" : "") +
    '<div class="btns left">' +
    '<button type="button" class="btn" id="callMute" aria-pressed="' + c.muted + '">' + esc(t(c.muted ? "callMuted" : "callUnmuted")) + "</button>" +
    '<button type="button" class="btn" id="callDeaf" aria-pressed="' + c.deaf + '">' + esc(t(c.deaf ? "callDeafOn" : "callDeafOff")) + "</button>" +
    '<button type="button" class="btn danger" id="callLeave">' + esc(t("leave")) + "</button></div>" +
    '<div class="meterrow"><span>' + esc(t("myMic")) + '</span><div class="meter" aria-hidden="true"><i id="callMeter"></i></div></div>' +
    '<ul id="callMembers" class="members">' +
    '<li id="callMe" class="member' + (c.talk ? " talk" : "") + '"><span class="mname"><b>' + esc((IDENTITY && IDENTITY.name) || "") + "</b> " +
    esc(t("callYou")) + (meLeader ? " · " + esc(t("callHost")) : "") + '</span><span class="mstate">' + (c.muted ? "🔇" : "🎙") + "</span></li>" +
    [...c.peers.values()].map((p) => memberHtml(c, p)).join("") +
    "</ul>" +
    '<p class="tip">' + esc(t("callKeep")) + "</p></div>");
}

$("callRoom").addEventListener("click", (e) => {
  const c = CALL;
  const b = e.target.closest("button");
  if (!c || !b) return;
  if (b.id === "callMute") {
    c.muted = !c.muted;
    for (const tr of c.mic.getAudioTracks()) tr.enabled = !c.muted;
    c.talk = false;
    send(c, { t: "state", talk: false, muted: c.muted });
    drawCall();
  } else if (b.id === "callDeaf") {
    // Local only: nothing is sent.
    c.deaf = !c.deaf;
    for (const p of c.peers.values()) p.audio.muted = c.deaf;
    drawCall();
  } else if (b.id === "callLeave") {
    leaveCall();
  } else if (b.id === "callCopy") {
    copyText(c.code);
  } else if (b.dataset.kick !== undefined) {
    const p = [...c.peers.values()].find((x) => String(x.id) === b.dataset.kick);
    if (p) send(c, { t: "kick", id: p.id });
  }
});

$("callRoom").addEventListener("input", (e) => {
  const c = CALL;
  if (!c || e.target.dataset.vol === undefined) return;
  const p = [...c.peers.values()].find((x) => String(x.id) === e.target.dataset.vol);
  if (!p) return;
  p.vol = Math.min(1, Math.max(0, Number(e.target.value) / 100));
  p.audio.volume = p.vol;
});

$("callCreateBtn").addEventListener("click", () => startCall(newCallCode(), true));
function joinTyped() {
  const code = normCallCode($("callCode").value);
  if (!code) {
    toast(t("callBadCode"));
    $("callCode").focus();
    return;
  }
  startCall(code, false);
}
$("callJoinBtn").addEventListener("click", joinTyped);
$("callCode").addEventListener("keydown", (e) => {
  if (e.key === "Enter") {
    e.preventDefault();
    joinTyped();
  }
});

// --- microphone card of the settings form ---------------------------------------------

// Whether the browser still hides the microphones' names: before the first permission it
// lists at most one entry per kind, without a name (and without an id, so it would only
// repeat the default entry, and is not listed).
let micNamesHidden = true;
export async function fillMicList(current) {
  const sel = $("sMic");
  if (!sel || !navigator.mediaDevices || !navigator.mediaDevices.enumerateDevices) return;
  let devs = [];
  try {
    devs = (await navigator.mediaDevices.enumerateDevices()).filter(
      (d) => d.kind === "audioinput" && d.deviceId !== "default" && d.deviceId !== "communications");
  } catch (e) {
    return;
  }
  if (!$("sMic")) return;
  micNamesHidden = devs.length <= 1 || devs.some((d) => !d.label);
  devs = devs.filter((d) => d.deviceId);
  const opts = [["", t("sMicDef")]].concat(devs.map((d) => [d.deviceId, d.label || d.deviceId.slice(0, 10)]));
  if (current && !opts.some((o) => o[0] === current)) opts.push([current, current.slice(0, 10)]);
  sel.innerHTML = opts
    .map(([v, l]) => '<option value="' + esc(v) + '"' + (v === current ? " selected" : "") + ">" + esc(l) + "</option>")
    .join("");
}

let MIC_TEST = null; // the running microphone test; `opening` until the microphone answers
export function micTest() {
  if (MIC_TEST) {
    // A press while the microphone is still opening must not open a second one that
    // nothing would ever stop.
    if (!MIC_TEST.opening) stopMicTest();
    return;
  }
  const dev = $("sMic") ? $("sMic").value : "";
  const proc = $("sProc") ? $("sProc").checked : true;
  const audio = { echoCancellation: proc, noiseSuppression: proc, autoGainControl: proc };
  if (dev) audio.deviceId = { exact: dev };
  const test = { opening: true, fewNames: micNamesHidden, stream: null, ac: null };
  MIC_TEST = test;
  navigator.mediaDevices
    .getUserMedia({ audio })
    .then((stream) => {
      test.stream = stream;
      test.opening = false;
      if (MIC_TEST !== test) return stream.getTracks().forEach((tr) => tr.stop());
      test.ac = new AudioContext();
      const an = test.ac.createAnalyser();
      an.fftSize = 512;
      test.ac.createMediaStreamSource(stream).connect(an);
      const buf = new Float32Array(an.fftSize);
      test.timer = setInterval(() => {
        an.getFloatTimeDomainData(buf);
        const m = $("sMicMeter");
        if (m) m.style.width = meterPct(rms(buf)) + "%";
      }, 100);
      test.stopT = setTimeout(stopMicTest, 15000);
      const b = $("sMicTest");
      if (b) b.setAttribute("aria-pressed", "true");
      // The permission is given: the names show now, the choice and the rest of the form kept.
      if (test.fewNames) fillMicList($("sMic") ? $("sMic").value : "");
    })
    .catch(() => {
      if (MIC_TEST === test) stopMicTest();
      toast(t("micDenied"), 7000);
    });
}

function stopMicTest() {
  const m = MIC_TEST;
  if (!m) return;
  MIC_TEST = null;
  clearInterval(m.timer);
  clearTimeout(m.stopT);
  if (m.stream) m.stream.getTracks().forEach((tr) => tr.stop());
  if (m.ac) m.ac.close().catch(() => {});
  const meter = $("sMicMeter");
  if (meter) meter.style.width = "0";
  const b = $("sMicTest");
  if (b) b.setAttribute("aria-pressed", "false");
}
