// The side that gives support: the connect form's checks, the join socket and its
// answers, the viewer with its bar and menus, and the technician's mouse and keyboard over
// the shared picture.

import { $, caretAfterDigits, cleanAccessCode, esc, formatId, formatIdField } from "./core.js";
import { t } from "./i18n.js";
import { IDENTITY, setRecents } from "./state.js";
import { keeper } from "./keeper.js";
import { closeMenu, closeModal, modal, openMenu, toast } from "./ui.js";
import { prefetchIce, wsUrl } from "./signal.js";
import {
  endSession, flushSignals, newPC, onSignal, openSession, parseMessage, sendCtl, sendMove, SESSION, startLossTimer,
} from "./session.js";
import { COMBOS, comboEvents, pointerFraction, TEXT_MAX_CHARS, WheelAccumulator } from "./input_logic.js";
import { QUALITIES } from "./screen.js";
import { toggleChat } from "./chat.js";
import { drawClock, drawStats, onBarButtons, redrawBar, sessionUnderway } from "./session_bar.js";
import { pickFiles, sendFiles } from "./files.js";
import { toggleVoice } from "./voice_line.js";
import { checkHtml } from "./check.js";
import { readHello, readPerm } from "./hello.js";
import { CLIP_MAX_CHARS, clipText, dropPeer, guardOf } from "./message_logic.js";
import { knownHostText } from "./host_texts.js";

const GRACE_S = 3;
// Waits between attempts to take the session back on a new join socket; the last repeats.
const REJOIN_WAIT_MS = [500, 1000, 2000, 3000, 5000];
// A join socket this young is not suspected of being dead: every sign of the same loss
// (quiet, ICE's verdicts, the network back) would otherwise take the session back again,
// and each return has the host offer another restart over the one under way.
const FRESH_SOCKET_MS = 5000;
// The same for the network's coming back, which the browser may report just after a
// socket got through.
const ONLINE_FRESH_MS = 1000;

// --- the connect form ------------------------------------------------------------------

// Why a typed ID and access code cannot be used, as a text id and the field to focus;
// null when they can.
export function joinProblem(idField, accessCodeField, ownId) {
  const id = String(idField || "").replace(/\D/g, "");
  if (id.length !== 9 || id[0] === "0") return { textId: "badId", focus: "peerId" };
  if (!cleanAccessCode(accessCodeField)) return { textId: "noKey", focus: "peerKey" };
  if (ownId && id === String(ownId)) return { textId: "selfId", focus: null };
  return null;
}

// The technician's connect button.
export function connectTo() {
  const p = joinProblem($("peerId").value, $("peerKey").value, IDENTITY && IDENTITY.id);
  if (p) {
    toast(t(p.textId));
    if (p.focus) $(p.focus).focus();
    return;
  }
  if (SESSION) return;
  startJoin($("peerId").value.replace(/\D/g, ""), cleanAccessCode($("peerKey").value), $("wantCtl").checked);
}

// Reformats as the user types, keeping the cursor after the same digit it followed.
$("peerId").addEventListener("input", (e) => {
  const el = e.target;
  const f = formatIdField(el.value);
  if (f === el.value) return;
  const digits = el.value.slice(0, el.selectionStart ?? el.value.length).replace(/\D/g, "").length;
  el.value = f;
  const at = caretAfterDigits(f, digits);
  el.setSelectionRange(at, at);
});
$("peerId").addEventListener("keydown", (e) => {
  if (e.key === "Enter") {
    e.preventDefault();
    $("peerKey").focus();
  }
});
$("peerKey").addEventListener("keydown", (e) => {
  if (e.key === "Enter") {
    e.preventDefault();
    connectTo();
  }
});
$("connectBtn").addEventListener("click", () => connectTo());

// --- joining -------------------------------------------------------------------------

function sendOnJoin(s, msg) {
  if (s.ws && s.ws.readyState === 1) s.ws.send(JSON.stringify(msg));
}

// What the session asks of this side.
const TECH_SIDE = {
  signal: sendOnJoin,
  leave: (s) => sendOnJoin(s, { t: s.connected ? "bye" : "cancel" }),
  redraw: (s) => drawViewer(s),
  renew: (s) => suspectJoinSocket(s),
  stats: (s) => drawStats(s, "vStats"),
  control: (s, m) => onTechControl(s, m),
  offer: (s) => attachRemoteMedia(s),
  end: (s) => {
    clearInterval(s.waitT);
    clearInterval(s.ping);
    clearTimeout(s.rejoinT);
    dropJoinSocket(s.rejoining);
    if (s.ws) {
      s.ws.onclose = null;
      try {
        s.ws.close();
      } catch (e) {
        /* already closed */
      }
    }
    closeViewer();
  },
};

function startJoin(id, accessCode, wantControl) {
  const s = openSession(TECH_SIDE, {
    role: "tech",
    peerId: id, // the host's ID, digits only
    peer: formatId(id), // its name once the host gives one
    control: false, // this side sends input now
    wantControl: !!wantControl, // the technician wants to (asked, or toggled since)
    canControl: false, // the host grants it
    audioOn: true, // the PC's sound plays here
    hostAudio: false, // the host shares its PC's sound
    quality: "auto",
    fps: 30,
    mons: [], // the host's monitors and the one shown
    mon: 0,
    surface: "monitor",
    clipWait: 0, // when a clipboard read was asked for, until it is answered
    clipSendWait: 0, // when a clipboard text was sent, until it is answered
    accepted: false, // the host's person accepted
    wait: t("connecting"), // the viewer's line before the picture
    wheel: new WheelAccumulator(),
    ws: null, // the join socket and its keep-alive
    ping: null,
    waitT: null, // the accept countdown
    voice: null, // the voice transceiver, from the host's offer
    mediaAttached: false, // the picture and sounds are on their elements
    qualityAsked: false, // the keeper's remembered quality was asked for (askKeptQuality)
    sid: "", // the server's session id and the secret that takes the session back on a
    resume: "", // new join socket (rejoin); both from the acceptance
    rejoining: null, // a new join socket on its way, when it started, its retry timer and count
    rejoinAt: 0,
    rejoinT: null,
    rejoinTries: 0,
    wsAt: 0, // when the join socket in use took the session back
  });
  showViewer(s);
  prefetchIce();
  let ws;
  try {
    ws = new WebSocket(wsUrl("/join/" + id));
  } catch (e) {
    toast(t("srvDown"), 6000);
    endSession("local", false);
    return;
  }
  s.ws = ws;
  ws.onopen = () => {
    if (SESSION === s) ws.send(JSON.stringify({ t: "join", name: (IDENTITY && IDENTITY.name) || "", pass: accessCode, resumable: true }));
  };
  s.ping = setInterval(() => {
    if (ws.readyState === 1) ws.send('{"t":"ping"}');
  }, 25000);
  ws.onerror = () => {
    if (SESSION !== s || s.accepted) return;
    toast(t("srvDown"), 6000);
    endSession("local", false);
  };
  ws.onclose = () => joinSocketClosed(s, ws);
  ws.onmessage = (e) => {
    const m = typeof e.data === "string" ? parseMessage(e.data) : null;
    if (m && SESSION === s && ws === s.ws) onJoinMessage(s, m);
  };
}

function joinSocketClosed(s, ws) {
  if (SESSION !== s || ws !== s.ws) return;
  // Before acceptance nothing is left to wait for. After it the session's own socket may
  // come back (rejoin); meanwhile a connection still setting up may come up with the
  // candidates already exchanged, and if not, the loss timer ends it.
  if (!s.accepted) {
    endSession("local", false);
    return;
  }
  if (!s.connected) startLossTimer(s);
  rejoin(s);
}

function dropJoinSocket(ws) {
  if (!ws) return;
  ws.onclose = null;
  ws.onmessage = null;
  try {
    ws.close();
  } catch (e) {
    /* already closed */
  }
}

// The join socket dropped, or may be dead without knowing it (the path went quiet, ICE
// lost it, the network changed): a new one takes the session back with its secret, and
// the server tells the host, which restarts ICE at once. The old socket is kept until the
// new one is back, and its signals count meanwhile. A refusal means the server no longer
// holds the session: the peer connection is left to its own timers.
function rejoin(s) {
  if (SESSION !== s || !s.accepted || !s.resume || s.rejoining) return;
  clearTimeout(s.rejoinT);
  let ws;
  try {
    ws = new WebSocket(wsUrl("/join/" + s.peerId));
  } catch (e) {
    retryRejoin(s);
    return;
  }
  s.rejoining = ws;
  s.rejoinAt = Date.now();
  ws.onopen = () => {
    if (SESSION === s) ws.send(JSON.stringify({ t: "join", sid: s.sid, resume: s.resume }));
  };
  ws.onmessage = (e) => {
    const m = typeof e.data === "string" ? parseMessage(e.data) : null;
    if (!m || SESSION !== s || s.rejoining !== ws) return;
    if (m.t === "resumed") {
      s.rejoining = null;
      s.rejoinTries = 0;
      const old = s.ws;
      s.ws = ws;
      s.wsAt = Date.now();
      dropJoinSocket(old);
      ws.onclose = () => joinSocketClosed(s, ws);
      ws.onmessage = (ev) => {
        const msg = typeof ev.data === "string" ? parseMessage(ev.data) : null;
        if (msg && SESSION === s && ws === s.ws) onJoinMessage(s, msg);
      };
      clearInterval(s.ping);
      s.ping = setInterval(() => {
        if (ws.readyState === 1) ws.send('{"t":"ping"}');
      }, 25000);
      // Fresh TURN credentials for the restart the host is about to offer.
      if (Array.isArray(m.iceServers) && m.iceServers.length && s.pc) {
        try {
          s.pc.setConfiguration({ ...s.pc.getConfiguration(), iceServers: m.iceServers });
        } catch (err) {
          /* the list the session began with serves */
        }
      }
    } else if (m.t === "denied") {
      s.rejoining = null;
      s.resume = "";
      dropJoinSocket(ws);
    }
  };
  ws.onclose = () => {
    if (SESSION !== s || s.rejoining !== ws) return;
    s.rejoining = null;
    retryRejoin(s);
  };
}

function retryRejoin(s) {
  clearTimeout(s.rejoinT);
  const wait = REJOIN_WAIT_MS[Math.min(s.rejoinTries, REJOIN_WAIT_MS.length - 1)];
  s.rejoinTries += 1;
  s.rejoinT = setTimeout(() => rejoin(s), wait);
}

// A sign that the join socket may be dead without knowing it (the path went quiet, ICE
// lost it): a new one, unless one is on its way or the socket in use is fresh.
function suspectJoinSocket(s) {
  if (s.rejoining || Date.now() - s.wsAt < FRESH_SOCKET_MS) return;
  rejoin(s);
}

// The network is back: an attempt waiting out its retry goes now, one tried while the
// network was still away starts again, and a socket that lived through the change may be
// dead without knowing it.
window.addEventListener("online", () => {
  const s = SESSION;
  if (!s || s.role !== "tech" || !s.accepted || !s.resume) return;
  const now = Date.now();
  if (s.rejoining && now - s.rejoinAt < ONLINE_FRESH_MS) return;
  if (!s.rejoining && now - s.wsAt < ONLINE_FRESH_MS) return;
  dropJoinSocket(s.rejoining);
  s.rejoining = null;
  s.rejoinTries = 0;
  rejoin(s);
});

const DENIED = {
  badkey: "denBadKey", denied: "denDenied", timeout: "denTimeout", cancelled: "denCancelled",
  busy: "denBusy", unavailable: "denUnavailable",
};

function onJoinMessage(s, m) {
  switch (m.t) {
    case "waiting":
      if (!s.accepted) startWaiting(s, Number.isFinite(m.timeout) ? m.timeout : 60);
      break;
    case "accepted":
      if (!s.accepted) onAccepted(s, m);
      break;
    case "signal":
      onSignal(m.data);
      break;
    case "denied":
      toast(t(DENIED[m.reason] || "denDenied"), 7000);
      endSession("local", false);
      break;
    case "offline":
      toast(t("denOffline"), 7000);
      endSession("local", false);
      break;
    case "busy":
      toast(t("denBusy"), 6000);
      endSession("local", false);
      break;
    case "locked":
      toast(t("denLocked", m.mins), 7000);
      endSession("local", false);
      break;
    case "ended":
      if (!s.connected) endSession(m.reason === "hostgone" ? "lost" : "peer", false);
      break;
  }
}

// The countdown while the host decides, three seconds of grace after zero.
function startWaiting(s, seconds) {
  let left = seconds;
  const show = () => {
    s.wait = t("waitAccept", s.peer) + " " + t("waitSecs", Math.max(0, left));
    drawWait(s);
  };
  show();
  clearInterval(s.waitT);
  s.waitT = setInterval(() => {
    if (SESSION !== s || s.accepted) {
      clearInterval(s.waitT);
      return;
    }
    left -= 1;
    if (left <= -GRACE_S) {
      toast(t("denTimeout"), 6000);
      endSession("local", true);
      return;
    }
    show();
  }, 1000);
}

async function onAccepted(s, m) {
  s.accepted = true;
  clearInterval(s.waitT);
  if (typeof m.name === "string" && m.name) s.peer = m.name;
  if (Array.isArray(m.iceServers)) s.ice = m.iceServers;
  // Given to a join that asked for them (an older server gives none: no rejoin then).
  if (typeof m.sid === "string" && typeof m.resume === "string" && m.resume.length <= 64) {
    s.sid = m.sid.slice(0, 64);
    s.resume = m.resume;
  }
  s.wait = t("connectingPeer");
  drawViewer(s);
  keeper()
    .addRecent(s.peerId, s.peer)
    .then((list) => setRecents(list))
    .catch(() => null);
  $("peerKey").value = "";
  const pc = await newPC(s);
  if (!pc) return;
  await flushSignals(s);
  if (SESSION !== s) return;
  sessionUnderway(s, "vTime", "");
}

// The host's offer arrived: transceiver 0 is the screen, 1 the PC's sound, 2 the voice.
function attachRemoteMedia(s) {
  // A later offer (an ICE restart) brings the same tracks: the picture stays as it is.
  if (s.mediaAttached) return;
  s.mediaAttached = true;
  const tr = s.pc.getTransceivers();
  if (tr[0]) {
    // A remote screen is acted on, not watched: the least playout delay the browser
    // allows, over the smoothness a longer jitter buffer would buy.
    if ("jitterBufferTarget" in tr[0].receiver) tr[0].receiver.jitterBufferTarget = 0;
    const v = $("vVideo");
    v.srcObject = new MediaStream([tr[0].receiver.track]);
    v.play().catch(() => {});
  }
  if (tr[1]) {
    const a = $("vAudio");
    a.srcObject = new MediaStream([tr[1].receiver.track]);
    a.muted = !s.audioOn;
    a.play().catch(() => {});
  }
  if (tr[2]) {
    s.voice = tr[2];
    tr[2].direction = "sendrecv";
    const mic = s.mic && s.mic.getAudioTracks()[0];
    if (mic) tr[2].sender.replaceTrack(mic).catch(() => {});
    const el = $("voiceAudio");
    el.srcObject = new MediaStream([tr[2].receiver.track]);
    el.play().catch(() => {});
  }
}

// --- control messages ----------------------------------------------------------------

// What the host grants (hello.js readPerm) onto this side's fields.
function takeHostFields(s, g) {
  s.canControl = g.control;
  s.hostAudio = g.hostAudio;
  if (g.mons) s.mons = g.mons;
  if (g.mon !== undefined) s.mon = g.mon;
  if (g.surface !== undefined) s.surface = g.surface;
}

function onTechControl(s, m) {
  if ((m.t === "hello" || m.t === "perm") && !guardOf(s).allow("perm", Date.now())) return dropPeer(s, "perm");
  switch (m.t) {
    case "hello": {
      const h = readHello(m);
      if (h.name) s.peer = h.name;
      takeHostFields(s, h);
      if (h.quality) s.quality = h.quality;
      if (h.fps !== undefined) s.fps = h.fps;
      askKeptQuality(s);
      s.control = s.canControl && s.wantControl;
      if (s.wantControl && !s.canControl) toast(t("ctlDenied"), 5000);
      if (s.control) setTimeout(focusLayer, 300);
      drawViewer(s);
      break;
    }
    case "perm": {
      takeHostFields(s, readPerm(m));
      if (s.control && !s.canControl) {
        s.control = false;
        toast(t("ctlDenied"), 5000);
      } else if (!s.control && s.canControl && s.wantControl) {
        s.control = true;
      }
      drawViewer(s);
      break;
    }
    case "clip": {
      if (!s.clipWait) return;
      s.clipWait = 0;
      const text = clipText(m);
      if (m.big === true || text === null) {
        if (text === null) dropPeer(s, "clipSize");
        toast(t("clipTooBig", CLIP_MAX_TEXT), 6000);
      } else if (m.ok === true && text) {
        keeper()
          .writeClipboard(text)
          .then((r) => toast(r && r.ok ? t("clipGot") : keeperWords(r) || t("copyFail"), 6000))
          .catch(() => toast(t("copyFail")));
      } else if (m.ok !== true && knownHostText(m.why)) {
        toast(knownHostText(m.why), 6000);
      } else {
        toast(t("clipEmpty"));
      }
      break;
    }
    case "clip-ok":
      if (!s.clipSendWait) return;
      s.clipSendWait = 0;
      toast(m.ok === true ? t("clipSent") : knownHostText(m.why) || t("copyFail"), 6000);
      break;
  }
}

// A keeper that remembers the viewer's quality (the page in a browser) has it asked of
// the PC once per session, when the PC's own differs.
function askKeptQuality(s) {
  const k = keeper();
  const kept = !s.qualityAsked && k.viewerQuality ? k.viewerQuality() : null;
  s.qualityAsked = true;
  if (!kept || !QUALITIES.includes(kept.q) || ![15, 30, 60].includes(kept.fps)) return;
  if (kept.q === s.quality && kept.fps === s.fps) return;
  s.quality = kept.q;
  s.fps = kept.fps;
  sendCtl(s, { t: "quality", q: s.quality, fps: s.fps });
}

// Why the keeper could not do it: its own words, or a host text the page knows.
function keeperWords(r) {
  return (r && typeof r.words === "string" && r.words) || knownHostText(r && r.msg);
}

// --- the viewer ----------------------------------------------------------------------

function showViewer(s) {
  $("viewer").hidden = false;
  drawViewer(s);
}

// Hides the viewer and lets go of its media, full screen and keyboard lock.
function closeViewer() {
  for (const id of ["vVideo", "vAudio", "voiceAudio"]) {
    const el = $(id);
    if (el) el.srcObject = null;
  }
  if (document.fullscreenElement) document.exitFullscreen().catch(() => {});
  closeMenu();
  closeTypeDialog();
  $("viewer").hidden = true;
}

function drawWait(s) {
  const v = $("vVideo");
  const el = $("vWait");
  const away = s.connected && (s.reconnecting || s.quiet);
  const picture = v.videoWidth > 0 && s.connected && !away;
  el.hidden = picture;
  el.classList.toggle("away", away);
  el.textContent = picture ? "" : away ? t("reconnectingPeer") : s.connected ? t("waitScreen") : s.wait || "";
}

export function drawViewer(s) {
  if (SESSION !== s || s.role !== "tech") return;
  const btn = (id, label, extra = "") =>
    '<button type="button" class="btn sm" id="' + id + '"' + extra + ">" + esc(label) + "</button>";
  const on = (v) => ' aria-pressed="' + !!v + '"';
  const html =
    '<span class="vwho"><b>' + esc(s.peer) + "</b> · " + esc(formatId(s.peerId)) + "</span>" +
    '<span id="vTime" class="mono"></span><span id="vStats" class="muted mono"></span>' +
    checkHtml(s, "vCheck") +
    '<span class="vtools">' +
    btn("vCtl", t(s.control ? "ctlOn" : "ctlOff"), on(s.control) + (s.canControl ? "" : ' disabled title="' + esc(t("ctlDenied")) + '"')) +
    btn("vAud", t(s.audioOn ? "audOn" : "audOff"), on(s.audioOn) + (s.hostAudio ? "" : " disabled")) +
    '<input type="range" id="vVol" min="0" max="100" value="' + Math.round(($("vAudio").volume || 0) * 100) +
    '" title="' + esc(t("volRemote")) + '" aria-label="' + esc(t("volRemote")) + '">' +
    btn("vCall", t(s.mic ? "callOn" : "callOff"), on(s.mic)) +
    btn("vKeys", t("keys"), ' aria-haspopup="menu"') +
    btn("vClip", t("clipboard"), ' aria-haspopup="menu"') +
    btn("vType", t("typeTxt")) +
    btn("vFile", t("sendFile")) +
    btn("vChat", t("hbChat")) +
    btn("vQual", t("quality"), ' aria-haspopup="menu"') +
    btn("vFull", "⛶", ' title="' + esc(t("fullTip")) + '" aria-label="' + esc(t("fullTip")) + '"') +
    '<button type="button" class="btn sm danger" id="vEnd">' + esc(t("end")) + "</button>" +
    "</span>";
  redrawBar($("vBar"), html, () => {
    drawStats(s, "vStats");
    drawClock(s, "vTime", "");
    drawWait(s);
    $("vLayer").classList.toggle("ctl", !!s.control);
  });
}

function focusLayer() {
  const el = $("vLayer");
  if (el && SESSION && SESSION.role === "tech") el.focus();
}

// Shortcuts, clipboard and typing need control; the toast says why not.
function needControl(s) {
  if (s.control) return true;
  toast(t(s.canControl ? "noCtlYet" : "ctlDenied"));
  return false;
}

function menuItem(attr, value, label, checked) {
  return '<button type="button" role="menuitem" class="mi" ' + attr + '="' + esc(value) + '">' +
    (checked === undefined ? "" : checked ? "✓ " : "   ") + esc(label) + "</button>";
}

function openKeysMenu(btn) {
  openMenu(btn,
    '<div class="mh">' + esc(t("keysHd")) + "</div>" +
    COMBOS.map(([name, textId]) => menuItem("data-combo", name, t(textId))).join("") +
    '<div class="mnote">' + esc(t("kCad")) + "</div>");
}

function openClipMenu(btn) {
  openMenu(btn,
    '<div class="mh">' + esc(t("clipHd")) + "</div>" +
    menuItem("data-clip", "send", t("clipSend")) + menuItem("data-clip", "get", t("clipGet")));
}

function openQualityMenu(btn, s) {
  openMenu(btn,
    '<div class="mh">' + esc(t("qualHd")) + "</div>" +
    [["auto", "qAuto"], ["nitidez", "qText"], ["fluidez", "qMotion"]].map(([q, k]) => menuItem("data-q", q, t(k), s.quality === q)).join("") +
    '<div class="mh">' + esc(t("fpsHd")) + "</div>" +
    [15, 30, 60].map((f) => menuItem("data-fps", f, f + " fps", s.fps === f)).join(""));
}

function openTypeDialog(s) {
  modal(
    t("typeTitle"),
    '<p class="tip">' + esc(t("typeHint")) + '</p><textarea id="typeTxt" rows="5" maxlength="' + TEXT_MAX_CHARS + '" aria-label="' + esc(t("typeTitle")) + '"></textarea>',
    [
      { label: t("cancel") },
      {
        label: t("typeBtn"),
        primary: true,
        onClick: () => {
          const v = $("typeTxt").value;
          if (v && SESSION === s) sendCtl(s, { t: "text", s: v });
          setTimeout(focusLayer, 0);
        },
      },
    ],
    // What was typed (often a password) does not stay in the hidden modal.
    () => {
      const el = $("typeTxt");
      if (el) el.remove();
    },
  );
  setTimeout(() => $("typeTxt") && $("typeTxt").focus(), 0);
}

// The type dialog, when it is the open modal, closes with the session.
function closeTypeDialog() {
  if ($("typeTxt")) closeModal();
}

// The host takes one clipboard request at a time and refuses the rest: a second click
// while one is unanswered sends nothing, unless the answer is long overdue (the host
// sends none when control is withdrawn meanwhile).
const CLIP_WAIT_MS = 15000;
const CLIP_MAX_TEXT = String(CLIP_MAX_CHARS).replace(/\B(?=(\d{3})+$)/g, " ");

function clipPending(since) {
  return since > 0 && Date.now() - since < CLIP_WAIT_MS;
}

async function sendMyClipboard(s) {
  if (clipPending(s.clipSendWait)) return;
  let text = "";
  let refused = null; // this PC's clipboard cannot be reached: the host says why
  try {
    const r = await keeper().readClipboard();
    text = r && r.ok && typeof r.texto === "string" ? r.texto : "";
    refused = r && !r.ok ? keeperWords(r) : null;
  } catch (e) {
    text = "";
  }
  if (refused) toast(refused, 6000);
  else if (!text) toast(t("clipEmpty"));
  else if (text.length > CLIP_MAX_CHARS) toast(t("clipTooBig", CLIP_MAX_TEXT), 6000);
  else if (SESSION === s && sendCtl(s, { t: "clip-set", text })) s.clipSendWait = Date.now();
  else if (SESSION === s) toast(t("copyFail"));
}

async function toggleFullScreen() {
  if (document.fullscreenElement) {
    await document.exitFullscreen().catch(() => {});
    return;
  }
  try {
    // The whole page, not the viewer alone: the menus, the dialogs, the toasts, the chat
    // and the transfer list sit beside the viewer and would open unseen behind it.
    await document.documentElement.requestFullscreen();
    // System keys (Alt+Tab, the Windows key) reach the page only with the keyboard locked.
    if (navigator.keyboard && navigator.keyboard.lock) await navigator.keyboard.lock();
  } catch (e) {
    /* full screen is a convenience */
  }
}

document.addEventListener("fullscreenchange", () => {
  if (!document.fullscreenElement && navigator.keyboard && navigator.keyboard.unlock) navigator.keyboard.unlock();
});

onBarButtons($("vBar"), "tech", {
  vCtl: (s) => {
    s.control = !s.control;
    s.wantControl = s.control;
    if (!s.control) sendCtl(s, { t: "in", ev: [{ k: "rel" }] });
    drawViewer(s);
    if (s.control) focusLayer();
  },
  vAud: (s) => {
    s.audioOn = !s.audioOn;
    $("vAudio").muted = !s.audioOn;
    drawViewer(s);
  },
  vKeys: (s, b) => needControl(s) && openKeysMenu(b),
  vClip: (s, b) => needControl(s) && openClipMenu(b),
  vType: (s) => needControl(s) && openTypeDialog(s),
  vCall: (s) => toggleVoice(s),
  vFile: () => pickFiles(),
  vChat: () => toggleChat(),
  vQual: (s, b) => openQualityMenu(b, s),
  vFull: () => toggleFullScreen(),
  vEnd: () => endSession("local", true),
});

$("vBar").addEventListener("input", (e) => {
  const s = SESSION;
  if (!s || e.target.id !== "vVol") return;
  const v = Number(e.target.value) || 0;
  const a = $("vAudio");
  a.volume = Math.min(1, Math.max(0, v / 100));
  if (v > 0 && !s.audioOn) {
    s.audioOn = true;
    a.muted = false;
    const ab = $("vAud");
    if (ab) {
      ab.textContent = t("audOn");
      ab.setAttribute("aria-pressed", "true");
    }
  }
});

$("menu").addEventListener("click", (e) => {
  const s = SESSION;
  const b = e.target.closest("button");
  if (!s || s.role !== "tech" || !b) return;
  if (b.dataset.combo) {
    const combo = COMBOS.find(([name]) => name === b.dataset.combo);
    if (combo && needControl(s)) sendCtl(s, { t: "in", ev: comboEvents(combo[2]) });
    focusLayer();
  } else if (b.dataset.clip === "send") {
    if (needControl(s)) sendMyClipboard(s);
  } else if (b.dataset.clip === "get") {
    if (needControl(s) && !clipPending(s.clipWait)) {
      s.clipWait = Date.now();
      sendCtl(s, { t: "clip-get" });
    }
  } else if (b.dataset.q || b.dataset.fps) {
    if (b.dataset.q) s.quality = b.dataset.q;
    if (b.dataset.fps) s.fps = Number(b.dataset.fps);
    sendCtl(s, { t: "quality", q: s.quality, fps: s.fps });
    if (keeper().setViewerQuality) keeper().setViewerQuality(s.quality, s.fps);
  }
  closeMenu();
});

// --- input over the picture ----------------------------------------------------------

const layer = $("vLayer");
let movePending = null;
let moveFrame = 0;

function fraction(e) {
  const v = $("vVideo");
  return pointerFraction(v.getBoundingClientRect(), v.videoWidth, v.videoHeight, e.clientX, e.clientY);
}

function controlling() {
  const s = SESSION;
  return s && s.role === "tech" && s.control ? s : null;
}

// Moves go at most once per displayed frame, the latest position only.
layer.addEventListener("pointermove", (e) => {
  const s = controlling();
  if (!s) return;
  movePending = fraction(e);
  if (moveFrame) return;
  moveFrame = requestAnimationFrame(() => {
    moveFrame = 0;
    const p = movePending;
    movePending = null;
    if (p && SESSION === s) sendMove(s, { t: "in", ev: [{ k: "m", x: p.x, y: p.y }] });
  });
});

layer.addEventListener("pointerdown", (e) => {
  const s = SESSION;
  if (!s || s.role !== "tech") return;
  layer.focus();
  if (!s.control) {
    if (s.canControl) toast(t("noCtlYet"));
    return;
  }
  e.preventDefault();
  try {
    layer.setPointerCapture(e.pointerId);
  } catch (err) {
    /* the pointer is gone */
  }
  const p = fraction(e);
  sendCtl(s, { t: "in", ev: [{ k: "d", b: e.button, x: p.x, y: p.y }] });
});

layer.addEventListener("pointerup", (e) => {
  const s = controlling();
  if (!s) return;
  const p = fraction(e);
  sendCtl(s, { t: "in", ev: [{ k: "u", b: e.button, x: p.x, y: p.y }] });
});

layer.addEventListener("contextmenu", (e) => e.preventDefault());

// Files dropped on the picture are sent.
layer.addEventListener("dragover", (e) => {
  if (SESSION && SESSION.role === "tech") e.preventDefault();
});
layer.addEventListener("drop", (e) => {
  if (!SESSION || SESSION.role !== "tech") return;
  e.preventDefault();
  sendFiles(e.dataTransfer ? e.dataTransfer.files : []);
});
layer.addEventListener("auxclick", (e) => e.preventDefault());

layer.addEventListener(
  "wheel",
  (e) => {
    e.preventDefault();
    const s = controlling();
    if (!s) return;
    const ev = s.wheel.add(e.deltaX, e.deltaY, e.deltaMode);
    if (ev) sendCtl(s, { t: "in", ev: [ev] });
  },
  { passive: false },
);

function onKey(kind) {
  return (e) => {
    const s = controlling();
    if (!s) return;
    e.preventDefault();
    e.stopPropagation();
    if (e.code) sendCtl(s, { t: "in", ev: [{ k: kind, c: e.code }] });
  };
}
layer.addEventListener("keydown", onKey("kd"));
layer.addEventListener("keyup", onKey("ku"));

layer.addEventListener("blur", () => {
  const s = controlling();
  if (s) sendCtl(s, { t: "in", ev: [{ k: "rel" }] });
});

$("vVideo").addEventListener("resize", () => SESSION && SESSION.role === "tech" && drawWait(SESSION));
$("vVideo").addEventListener("loadedmetadata", () => SESSION && SESSION.role === "tech" && drawWait(SESSION));
