// The side that receives support: the request dialog and its answer, the shared screen
// and its peer connection, the host bar, and the control messages from the technician,
// whose input this page hands to its host process one post at a time.

import { $, esc, VER, yes } from "./core.js";
import { t } from "./i18n.js";
import { IDENTITY, KEEPER_STATE, SECTION_RECEIVE, setting, SETTING_AVAILABLE } from "./state.js";
import { get, post, sendInput } from "./api.js";
import { closeDialog, openDialog, playReqSound, showBar, toast } from "./ui.js";
import { onRegistrationClosed, onRegistrationHello, onRegistrationMessage, sendOnRegistration } from "./signal.js";
import {
  endSession, flushSignals, newPC, onSignal, openSession, peerReturned, sendCtl, sendOffer, sessionNote, SESSION,
  startLossTimer, stopTracks, wireChannel,
} from "./session.js";
import { pickCodec, sortCodecs } from "./sdp.js";
import { displayOpts, matchMonitor, QUALITIES, qualityAfter, qualityParams, settingFps } from "./screen.js";
import { IN_MAX_EVENTS, InputQueue, peerEvents, peerMove, peerText } from "./input_logic.js";
import { toggleChat } from "./chat.js";
import { drawClock, drawStats, onBarButtons, redrawBar, sessionUnderway } from "./session_bar.js";
import { pickFiles } from "./files.js";
import { toggleVoice, voiceOn } from "./voice_line.js";
import { checkHtml } from "./check.js";
import { helloMessage, permMessage } from "./hello.js";
import { ClipGate, CLIP_MAX_CHARS, clipText, clockText, dropPeer, guardOf } from "./message_logic.js";
import { hostText as hostWords } from "./host_texts.js";
import { stateOf } from "./keeper_host.js";

const REQUEST_MS = 58000;
const ACCEPT_GUARD_MS = 1200;
const BATCH = 200;

// One setting of the "receive support" section.
function receiveSetting(name) {
  return setting(SECTION_RECEIVE, name);
}

function answer(sid, ok, reason) {
  sendOnRegistration(ok ? { t: "answer", sid, ok: true } : { t: "answer", sid, ok: false, reason });
}

// --- the request ---------------------------------------------------------------------

// The request being answered: { sid, name, until, ice, picking } from its arrival until
// it is answered, cancelled or becomes the session.
let asking = null;
let reqTick = null;
let acceptGuard = null;

// A technician asks to enter. The access code is checked by the host process before
// anyone is asked: a wrong code never shows the dialog.
async function onHostRequest(m) {
  const sid = m.sid;
  if (SESSION || asking) return answer(sid, false, "busy");
  if (!yes(receiveSetting(SETTING_AVAILABLE))) return answer(sid, false, "unavailable");
  // `web`: the server says the technician uses its page in a browser, not the program.
  const req = { sid, name: typeof m.name === "string" ? m.name : "", web: m.web === true, until: 0, ice: m.iceServers, picking: false };
  asking = req; // a second request while the code is checked is busy too
  let ok = false;
  try {
    const accessCode = typeof m.pass === "string" ? m.pass : "";
    const r = await post("/api/verificar", { clave: accessCode });
    ok = !!(r && r.ok === true);
  } catch (e) {
    ok = false;
  }
  if (asking !== req) return; // cancelled or the socket closed meanwhile
  if (!ok) {
    asking = null;
    answer(sid, false, "badkey");
    toast(t("badKeyTry"), 6000);
    return;
  }
  req.until = Date.now() + REQUEST_MS;
  post("/api/aviso", { titulo: "Vantriel", texto: t("reqWho", req.name) }).catch(() => null);
  if (yes(receiveSetting("sonido"))) playReqSound();
  showRequest(req);
}

// Why this PC's desktop cannot take the technician's input (a Wayland session, no
// desktop), in the page's language; empty when it can.
function controlBlocked() {
  const st = KEEPER_STATE;
  return st && st.controlPossible === false ? String(hostWords(st.controlBlockedWhy) || "…") : "";
}

function showRequest(req) {
  $("reqWho").textContent = t("reqWho", req.name);
  $("reqWeb").hidden = !req.web;
  const blocked = controlBlocked();
  $("reqCtl").checked = !blocked && yes(receiveSetting("permitir_control"));
  $("reqCtl").disabled = !!blocked;
  $("reqCtlNote").textContent = blocked;
  $("reqCtlNote").hidden = !blocked;
  $("reqAudio").checked = yes(receiveSetting("compartir_audio"));
  $("reqCall").checked = false;
  // Who asks what to share: on Windows the browser's picker; elsewhere the browser's or,
  // on GNOME and KDE, the desktop's own window.
  const tip = $("reqTip");
  tip.dataset.i = /Windows/.test(navigator.userAgent) ? "reqPicker" : "reqPickerDesk";
  tip.textContent = t(tip.dataset.i);
  const acc = $("reqAccept");
  acc.disabled = true;
  clearTimeout(acceptGuard);
  acceptGuard = setTimeout(() => { acc.disabled = false; }, ACCEPT_GUARD_MS);
  tickRequest();
  clearInterval(reqTick);
  reqTick = setInterval(tickRequest, 500);
  openDialog($("reqDlg"), $("reqReject"));
}

function tickRequest() {
  const req = asking;
  if (!req || req.picking) return;
  const left = Math.ceil((req.until - Date.now()) / 1000);
  if (left <= 0) {
    answer(req.sid, false, "timeout");
    closeRequest();
    return;
  }
  $("reqLeft").textContent = t("reqLeft", left);
}

// Drops the pending request and closes its dialog (no answer is sent).
function closeRequest() {
  asking = null;
  clearInterval(reqTick);
  clearTimeout(acceptGuard);
  const dlg = $("reqDlg");
  if (dlg && !dlg.hidden) closeDialog(dlg);
}

// Messages of the registration for a request or a session of this PC: the request itself,
// its cancel, and the signals and ends of the session it became.
function onServerMessage(m) {
  const s = SESSION;
  const ours = s && s.role === "host" && m.sid === s.sid;
  switch (m.t) {
    case "req":
      onHostRequest(m);
      break;
    case "cancel":
      if (asking && asking.sid === m.sid) {
        closeRequest();
        toast(t("reqCancelled"));
      } else if (ours && !s.connected) {
        endSession("peer", false);
      }
      break;
    case "signal":
      if (ours) onSignal(m.data);
      break;
    case "resumed":
      if (ours) peerReturned(s);
      break;
    case "left":
    case "ended":
      // Once the direct connection is up, losing the server ends nothing: the end comes
      // over the control channel.
      if (ours && !s.connected) endSession("peer", false);
      else if (asking && asking.sid === m.sid) closeRequest();
      break;
  }
}

// The registration is gone: a asking request with it. A session still setting up has
// lost the only road its signals take: unless the connection comes up with what was
// already exchanged, the loss timer ends it and the PC is free for the next request.
function onServerGone() {
  closeRequest();
  const s = SESSION;
  if (s && s.role === "host" && !s.connected) startLossTimer(s);
}

onRegistrationMessage(onServerMessage);
onRegistrationClosed(onServerGone);
// Registering again during a session takes it along.
onRegistrationHello((hello) => {
  const s = SESSION;
  if (s && s.role === "host" && s.connected) hello.sid = s.sid;
});

$("reqReject").addEventListener("click", () => {
  const req = asking;
  if (!req || req.picking) return;
  answer(req.sid, false, "denied");
  closeRequest();
});

$("reqAccept").addEventListener("click", async () => {
  const req = asking;
  if (!req || req.picking || $("reqAccept").disabled) return;
  const opts = { control: $("reqCtl").checked, audio: $("reqAudio").checked, call: $("reqCall").checked };
  req.picking = true; // the countdown stops while the screen picker is open
  clearInterval(reqTick);
  closeDialog($("reqDlg"));
  const stream = await captureScreen(settingFps(receiveSetting("fps")), opts.audio);
  if (!stream) {
    releasePcSound();
    if (asking === req) {
      asking = null;
      answer(req.sid, false, "cancelled");
    }
    toast(t("pickerCancelled"), 6000);
    return;
  }
  if (asking !== req) {
    stopTracks(stream);
    releasePcSound();
    return;
  }
  asking = null;
  answer(req.sid, true);
  startHostSession(req, opts, stream);
});

// The host prepares the PC's sound for a shared screen and says whether this PC can give
// it: on Linux without a sound server the browser would hand over a made-up beep as the
// PC's sound, so it is not asked for at all. A host that does not answer leaves the
// browser to decide, as before.
async function preparePcSound() {
  try {
    const r = await post("/api/sonido_pc", { compartir: true });
    return !r || r.disponible !== false;
  } catch (e) {
    return true;
  }
}

// Gives back whatever the host changed for the PC's sound (the session ended, or never
// started).
function releasePcSound() {
  post("/api/sonido_pc", { compartir: false }).catch(() => {});
}

// The screen picker, with the PC's sound when `audio`. Where the system cannot give that
// sound, asking for it fails the whole capture; the screen is then asked for again
// without it, and the person told. Null when the person cancelled or nothing could be
// captured: also when the capture "succeeds" with frames of no picture (a Wayland desktop
// whose portal fails to share the screen hands the browser 2x2 black frames).
async function captureScreen(fps, wanted) {
  const audio = wanted && (await preparePcSound());
  let stream = null;
  try {
    stream = await navigator.mediaDevices.getDisplayMedia(displayOpts(fps, audio));
  } catch (e) {
    if (!audio || (e && e.name === "NotAllowedError")) return null; // the person cancelled
    console.info("screen capture with the PC's sound failed (" + (e && e.name) + "): sharing without it");
    try {
      stream = await navigator.mediaDevices.getDisplayMedia(displayOpts(fps, false));
    } catch (e2) {
      return null;
    }
  }
  const track = stream.getVideoTracks()[0];
  const size = track ? await frameSize(track) : null;
  if (size) measured.set(track, size);
  if (!track || (size && (size.w < MIN_FRAME_SIDE || size.h < MIN_FRAME_SIDE))) {
    console.warn("screen capture gave no picture (" + (size ? size.w + "x" + size.h : "no video") + ")");
    stopTracks(stream);
    return null;
  }
  if (wanted && !stream.getAudioTracks().length) toast(t("noPcAudio"), 8000);
  return stream;
}

// The smallest side of a captured screen, window or tab that is a picture at all.
const MIN_FRAME_SIDE = 16;
// The first frame's size of each captured track, read once.
const measured = new WeakMap();

// --- the session ---------------------------------------------------------------------

async function matchScreen(s) {
  let mons = [];
  try {
    const r = await get("/api/monitores");
    if (Array.isArray(r)) mons = r;
  } catch (e) {
    mons = [];
  }
  const track = s.screen.getVideoTracks()[0];
  const st = (track && track.getSettings && track.getSettings()) || {};
  const size = track ? measured.get(track) || (await frameSize(track)) : null;
  s.mons = mons.map((m) => ({ i: m.i, w: m.w, h: m.h, primary: m.primary === true }));
  s.mon = size ? matchMonitor(s.mons, size.w, size.h) : matchMonitor(s.mons, st.width, st.height);
  s.surface = st.displaySurface || "monitor";
}

// The size of the captured frames. With a size ceiling in the constraints Chromium
// reports the ceiling in getSettings() while frames come at the screen's own size, so
// the size is read off the first frame; null when none arrives within 2 s.
async function frameSize(track) {
  const v = document.createElement("video");
  v.muted = true;
  v.srcObject = new MediaStream([track]);
  try {
    v.play().catch(() => {});
    await Promise.race([
      new Promise((resolve) => { v.onloadedmetadata = resolve; }),
      new Promise((resolve) => setTimeout(resolve, 2000)),
    ]);
    return v.videoWidth > 0 ? { w: v.videoWidth, h: v.videoHeight } : null;
  } finally {
    v.srcObject = null;
  }
}

// A capture that ends from the browser's own stop control ends the session, whenever it
// happens: watched from the moment the capture belongs to the session, and a capture that
// ended before anyone listened ends it too.
function watchEnd(s, stream) {
  const v = stream.getVideoTracks()[0];
  if (v) {
    v.onended = () => {
      if (SESSION === s && s.screen === stream) endSession("stopped", true);
    };
    if (v.readyState === "ended") setTimeout(v.onended, 0);
  }
}

// What the session asks of this side.
const HOST_SIDE = {
  signal: (s, msg) => sendOnRegistration(Object.assign({ t: msg.t, sid: s.sid }, msg)),
  leave: (s) => sendOnRegistration({ t: "bye", sid: s.sid }),
  redraw: () => drawHostBar(),
  stats: (s) => drawStats(s, "hbStats"),
  control: (s, m) => onHostControl(s, m),
  move: (s, ev) => onHostMove(s, ev),
  ctlOpen: (s) => hostChannelOpen(s),
  end: (s) => {
    s.queue.clear();
    stopTracks(s.screen);
    releasePcSound();
    const voiceEl = $("voiceAudio");
    if (voiceEl) voiceEl.srcObject = null;
    drawHostBar();
  },
};

async function startHostSession(req, opts, stream) {
  const q = receiveSetting("calidad");
  const s = openSession(HOST_SIDE, {
    role: "host",
    sid: req.sid,
    peer: req.name,
    ice: req.ice,
    control: false, // the technician's input is taken
    wantControl: opts.control, // as accepted; granted only for a whole monitor
    audio: opts.audio, // the PC's sound goes to the technician
    call: opts.call, // the voice line starts with the session
    quality: QUALITIES.includes(q) ? q : "auto",
    fps: settingFps(receiveSetting("fps")),
    screen: stream, // the capture shared
    mons: [], // the host's monitors { i, w, h, primary }
    mon: 0, // the one the capture shows, for input
    surface: "monitor", // what the capture is: "monitor", "window", "browser"
    queue: new InputQueue(), // input waiting to go to the host
    pumping: false, // a batch of input is in flight
    vtx: null, // the transceivers: screen, PC sound, voice
    atx: null,
    voice: null,
    clipGate: null, // the technician's clipboard request in progress, and their rate
    clipReads: 0, // the technician's reads of this PC's clipboard, and the last one's time
    clipReadAt: 0,
    asking: false, // the desktop's own window asks the person about control (Wayland)
    desktopAsks: false, // it asked at least once in this session, so it is watched
    refusal: "", // why the desktop took control back, as the host said it
    consentT: null, // the next look at the desktop's answer
  });
  watchEnd(s, stream);
  await matchScreen(s);
  if (SESSION !== s) return;
  s.control = s.wantControl && s.surface === "monitor";
  const pc = await newPC(s);
  if (!pc) return;
  const video = stream.getVideoTracks()[0];
  s.vtx = pc.addTransceiver(video, { direction: "sendonly", streams: [stream] });
  negotiated(s, pc);
  try {
    s.vtx.setCodecPreferences(sortCodecs(RTCRtpReceiver.getCapabilities("video").codecs));
  } catch (e) {
    /* the browser's own order serves */
  }
  const audio = stream.getAudioTracks()[0];
  if (audio) audio.enabled = s.audio;
  s.atx = pc.addTransceiver(audio || "audio", { direction: "sendonly", streams: [stream] });
  s.voice = pc.addTransceiver("audio", { direction: "sendrecv" });
  const voiceEl = $("voiceAudio");
  if (voiceEl) voiceEl.srcObject = new MediaStream([s.voice.receiver.track]);
  wireChannel(s, pc.createDataChannel("ctl"));
  wireChannel(s, pc.createDataChannel("file"));
  wireChannel(s, pc.createDataChannel("mov", { ordered: false, maxRetransmits: 0 }));
  await applyQuality(s);
  try {
    await sendOffer(s);
  } catch (e) {
    // Without an offer the connection never starts: nothing would end the session.
    console.warn("offer failed:", e && e.message);
    if (SESSION === s) endSession("lost", true);
    return;
  }
  if (SESSION !== s) return;
  await flushSignals(s);
  sessionUnderway(s, "hbTime", CLOCK_IDLE).then(() => watchConsent(s));
  if (s.call) voiceOn(s);
  drawHostBar();
}

// The quality again once an answer settles which codecs both sides have.
function negotiated(s, pc) {
  pc.addEventListener("signalingstatechange", () => {
    if (SESSION === s && s.pc === pc && pc.signalingState === "stable") applyQuality(s);
  });
}

// Content hint, frame rate, bit rate, degradation preference and codec of the quality.
async function applyQuality(s) {
  const p = qualityParams(s.quality);
  const track = s.screen && s.screen.getVideoTracks()[0];
  if (track) {
    try {
      track.contentHint = p.hint;
      await track.applyConstraints({ frameRate: { ideal: s.fps, max: s.fps } });
    } catch (e) {
      /* the capture keeps its rate */
    }
  }
  if (!s.vtx) return;
  try {
    const sender = s.vtx.sender;
    const params = sender.getParameters();
    if (!params.encodings || !params.encodings.length) params.encodings = [{}];
    params.encodings[0].maxFramerate = s.fps;
    params.encodings[0].maxBitrate = p.maxBitrate;
    params.degradationPreference = p.degradation;
    // The quality's codec, among those both sides negotiated (none yet before the
    // answer: negotiated() applies the quality again then). A browser without the codec
    // API ignores it; a technician without the codec gets the best one it has.
    const codec = pickCodec(params.codecs, p.codecs);
    if (codec) params.encodings[0].codec = codec;
    await sender.setParameters(params);
  } catch (e) {
    /* encoder settings are best effort */
  }
}

function hasAudio(s) {
  return !!(s.screen && s.screen.getAudioTracks().length);
}

// What this side grants the technician, for hello and perm (hello.js).
function grant(s) {
  return { control: s.control, audio: s.audio, hasAudio: hasAudio(s), mon: s.mon, mons: s.mons, surface: s.surface };
}

function hostChannelOpen(s) {
  sendCtl(s, helloMessage(grant(s), {
    name: (IDENTITY && IDENTITY.name) || "",
    id: (IDENTITY && IDENTITY.id) || "",
    quality: s.quality,
    fps: s.fps,
    ver: VER,
  }));
}

function sendPerm(s) {
  sendCtl(s, permMessage(grant(s)));
}

// --- input ---------------------------------------------------------------------------

// Moves from `mov`: only the latest is kept.
function onHostMove(s, ev) {
  if (!s.control) return;
  const move = peerMove(ev);
  if (!move) return;
  s.queue.setMove(move);
  pump(s);
}

// An `in` message over its bound is dropped whole and counted, never applied in part.
function hostInput(s, ev) {
  if (!s.control) return;
  if (Array.isArray(ev) && ev.length > IN_MAX_EVENTS) {
    dropInput(s, ev.length, "an input message is over " + IN_MAX_EVENTS + " events");
    return;
  }
  queueInput(s, peerEvents(ev));
}

// Typed text takes its place in the same queue as keys, so it never runs beside a batch
// in flight nor between a held modifier and its release. A text over its bound is dropped
// whole (a cut password would be typed wrong) and counted.
function hostText(s, text) {
  if (!s.control || typeof text !== "string" || !text) return;
  const ev = peerText(text);
  if (!ev) {
    dropInput(s, 1, "a text is too long to type");
    return;
  }
  queueInput(s, [ev]);
}

function dropInput(s, n, why) {
  s.queue.dropped += n;
  console.info("remote input: " + n + " events dropped, " + why);
}

function queueInput(s, evs) {
  if (!evs.length) return;
  const before = s.queue.dropped;
  s.queue.push(evs);
  if (s.queue.dropped !== before) console.info("remote input: " + (s.queue.dropped - before) + " events dropped, the queue is full");
  pump(s);
}

// One batch in flight at a time; what arrives meanwhile waits (moves collapse).
async function pump(s) {
  if (s.pumping) return;
  s.pumping = true;
  while (SESSION === s && s.control && s.queue.pending()) {
    const batch = s.queue.take(BATCH);
    await sendInput({ mon: s.mon, ev: batch }).catch(() => null);
  }
  s.pumping = false;
  if (SESSION !== s || !s.control) s.queue.clear();
}

// --- control messages ------------------------------------------------------------------

// The technician's clipboard requests, one at a time (each read can hold a worker of the
// host process for seconds) and at the `clip` rate; one refused, or with a text over its
// bound, gets the usual failure reply. Every read that goes to the technician is shown in
// the host bar. A text of this PC's clipboard over the bound is not sent: the reply says
// it is too long.
async function hostClipboard(s, m) {
  if (!s.control) return;
  const set = m.t === "clip-set";
  // `why`: the host's refusal (this PC's clipboard cannot be reached), passed on as it is.
  const reply = (ok, text, big, why) => {
    if (SESSION !== s) return;
    const because = !ok && typeof why === "string" && why ? { why } : {};
    if (set) sendCtl(s, { t: "clip-ok", ok, ...because });
    else sendCtl(s, big ? { t: "clip", text: "", ok: false, big: true } : { t: "clip", text, ok, ...because });
  };
  const text = set ? clipText(m) : "";
  if (text === null) {
    dropPeer(s, "clipSize");
    return reply(false, "");
  }
  const gate = s.clipGate || (s.clipGate = new ClipGate(guardOf(s)));
  const can = gate.begin(Date.now());
  if (can !== "ok") {
    dropPeer(s, can === "busy" ? "clipBusy" : "clip");
    return reply(false, "");
  }
  try {
    if (set) {
      const r = await post("/api/portapapeles/poner", { texto: text }).catch(() => null);
      return reply(!!(r && r.ok), "", false, r && r.msg);
    }
    const r = await post("/api/portapapeles/leer", {}).catch(() => null);
    const ok = !!(r && r.ok);
    if (!ok) return reply(false, "", false, r && r.msg);
    const got = ok && typeof r.texto === "string" ? r.texto : "";
    if (got.length > CLIP_MAX_CHARS) return reply(false, "", true);
    if (ok && SESSION === s) {
      s.clipReads += 1;
      s.clipReadAt = Date.now();
      drawHostBar();
    }
    reply(ok, got);
  } finally {
    gate.end();
  }
}

async function onHostControl(s, m) {
  switch (m.t) {
    case "in":
      hostInput(s, m.ev);
      break;
    case "text":
      hostText(s, m.s);
      break;
    case "clip-set":
    case "clip-get":
      await hostClipboard(s, m);
      break;
    case "quality": {
      if (!guardOf(s).allow("quality", Date.now())) return dropPeer(s, "quality");
      const next = qualityAfter(s, m);
      s.quality = next.quality;
      s.fps = next.fps;
      await applyQuality(s);
      break;
    }
  }
}

// --- the host bar --------------------------------------------------------------------

// The host bar's clock reads 0:00 until the connection is up.
const CLOCK_IDLE = "0:00";

export function drawHostBar() {
  const s = SESSION;
  const bar = $("hostbar");
  const on = !!(s && s.role === "host");
  if (!on) {
    bar.innerHTML = "";
    showBar("hostbar", false);
    return;
  }
  const yn = (v) => t(v ? "yes" : "no");
  const monitorList =
    s.surface === "monitor" && s.mons.length > 1
      ? '<select id="hbMon" class="sm" aria-label="' + esc(t("hbScreen")) + '">' +
        s.mons
          .map((m, n) => '<option value="' + esc(m.i) + '"' + (m.i === s.mon ? " selected" : "") + ">" +
            esc(n + 1 + " · " + m.w + "×" + m.h + (m.primary ? " ★" : "")) + "</option>")
          .join("") + "</select>"
      : "";
  const html =
    '<div class="hbrow"><span class="live" aria-hidden="true"></span>' +
    '<span class="hbwho">' + esc(t("hbLive", s.peer)) + "</span>" +
    '<span id="hbTime" class="mono"></span><span id="hbStats" class="muted mono">' + esc(s.statLine || "") + "</span>" +
    '<span class="hbtools">' +
    '<button type="button" class="btn sm" id="hbCtl" aria-pressed="' + !!s.control + '">' + esc(t("hbCtl") + ": " + yn(s.control)) + "</button>" +
    '<button type="button" class="btn sm" id="hbAudio" aria-pressed="' + !!(s.audio && hasAudio(s)) + '"' + (hasAudio(s) ? "" : " disabled") + ">" +
    esc(t("hbAudio") + ": " + yn(s.audio && hasAudio(s))) + "</button>" +
    '<button type="button" class="btn sm" id="hbCall">' + esc(t("hbCall") + (s.mic ? ": " + t("yes") : "")) + "</button>" +
    '<button type="button" class="btn sm" id="hbChat">' + esc(t("hbChat")) + "</button>" +
    '<button type="button" class="btn sm" id="hbFile">' + esc(t("hbFile")) + "</button>" +
    '<button type="button" class="btn sm" id="hbChange">' + esc(t("hbChange")) + "</button>" +
    monitorList +
    '<button type="button" class="btn sm danger" id="hbEnd">' + esc(t("hbEnd")) + "</button>" +
    "</span></div>" +
    '<div class="hbrow">' + checkHtml(s, "hbCheck") + "</div>" +
    // The person sees the drop too, not a picture that silently stopped reaching anyone.
    (s.reconnecting ? '<div id="hbReconnecting" class="note warn" role="status">' + esc(t("reconnectingPeer")) + "</div>" : "") +
    (s.clipReads ? '<div id="hbClip" class="note">' + esc(clipReadText(s)) + "</div>" : "") +
    (s.asking && s.control ? '<div id="hbAsk" class="note" role="status">' + esc(t("desktopAsks")) + "</div>" : "") +
    (s.refusal && !s.control ? '<div id="hbRefused" class="note warn" role="status">' + esc(hostWords(s.refusal)) + "</div>" : "") +
    (s.surface !== "monitor" ? '<div id="hbOnlyView" class="note warn">' + esc(t("onlyView")) + "</div>" : "");
  redrawBar(bar, html, () => {
    drawClock(s, "hbTime", CLOCK_IDLE);
    showBar("hostbar", true);
  });
}

// "The technician read your clipboard at 14:05:09" (with the count from the second read).
function clipReadText(s) {
  const at = clockText(s.clipReadAt);
  return s.clipReads > 1 ? t("clipReadN", s.peer, at, s.clipReads) : t("clipRead", s.peer, at);
}

async function toggleControl(s) {
  if (!s.control) {
    if (controlBlocked()) {
      toast(controlBlocked(), 8000);
      return;
    }
    if (s.surface !== "monitor") {
      toast(t("onlyView"), 7000);
      return;
    }
    s.control = true;
    s.refusal = "";
    await sessionNote(s);
    watchConsent(s);
  } else {
    await withdrawControl(s);
  }
  if (SESSION !== s) return;
  sendPerm(s);
  drawHostBar();
}

// A desktop that asks the person before it lets control in (GNOME, KDE on Wayland): the
// bar says so while its window is open; a refusal, or the desktop ending control, takes
// control back (the technician's page is told) and the bar says why. Watched while control
// is on, often while the desktop asks.
const CONSENT_ASK_MS = 700;
const CONSENT_WATCH_MS = 3000;

async function watchConsent(s) {
  clearTimeout(s.consentT);
  if (SESSION !== s || s.role !== "host" || !s.control) return;
  let st = null;
  try {
    st = stateOf(await get("/api/estado"));
  } catch (e) {
    st = null;
  }
  if (SESSION !== s || !s.control) return;
  const refused = st && typeof st.controlRefused === "string" ? st.controlRefused : "";
  const asking = !refused && !!(st && st.desktopAsking === true);
  if (refused) {
    s.asking = false;
    s.refusal = refused;
    await withdrawControl(s);
    if (SESSION !== s) return;
    sendPerm(s);
    drawHostBar();
    toast(String(hostWords(refused)), 8000);
    return;
  }
  if (asking !== !!s.asking) {
    s.asking = asking;
    drawHostBar();
  }
  // A desktop that never asked in this session needs no watching.
  if (asking) s.desktopAsks = true;
  if (!s.desktopAsks) return;
  s.consentT = setTimeout(() => watchConsent(s), asking ? CONSENT_ASK_MS : CONSENT_WATCH_MS);
}

// Control off: nothing queued goes on, held input is released, the host process told.
// The host is told first and without waiting for the batch in flight: from its answer on
// no event of any batch is applied and what was held is released, even while text is
// typing. The "rel" follows the batch in flight on the input chain; it mends a key held
// should the note not reach the host (the host refuses it once control is off).
async function withdrawControl(s) {
  s.control = false;
  s.asking = false;
  clearTimeout(s.consentT);
  s.queue.clear();
  const told = sessionNote(s);
  const released = sendInput({ mon: s.mon, ev: [{ k: "rel" }] }).catch(() => null);
  await Promise.all([told, released]);
}

async function changeShare(s) {
  const stream = await captureScreen(s.fps, true);
  if (!stream) return; // cancelled: nothing changes
  if (SESSION !== s) {
    stopTracks(stream);
    return;
  }
  const old = s.screen;
  s.screen = stream;
  watchEnd(s, stream);
  try {
    await s.vtx.sender.replaceTrack(stream.getVideoTracks()[0]);
    const a = stream.getAudioTracks()[0] || null;
    if (a) a.enabled = !!s.audio;
    await s.atx.sender.replaceTrack(a);
  } catch (e) {
    console.warn("share change:", e && e.message);
  }
  stopTracks(old);
  await matchScreen(s);
  if (SESSION !== s) return;
  if (s.surface !== "monitor" && s.control) {
    await withdrawControl(s);
    toast(t("onlyView"), 7000);
  }
  await applyQuality(s);
  sendPerm(s);
  drawHostBar();
}

onBarButtons($("hostbar"), "host", {
  hbCtl: (s) => toggleControl(s),
  hbAudio: (s) => {
    s.audio = !s.audio;
    for (const tr of s.screen.getAudioTracks()) tr.enabled = s.audio;
    sendPerm(s);
    drawHostBar();
  },
  hbChange: (s) => changeShare(s),
  hbChat: () => toggleChat(),
  hbCall: (s) => toggleVoice(s),
  hbFile: () => pickFiles(),
  hbEnd: () => endSession("local", true),
});

$("hostbar").addEventListener("change", (e) => {
  const s = SESSION;
  if (!s || s.role !== "host" || e.target.id !== "hbMon") return;
  s.mon = Number(e.target.value) || 0;
  sendPerm(s);
});
