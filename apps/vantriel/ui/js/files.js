// File transfer inside a session over the `file` channel: offers and answers as JSON
// text frames, the file itself as binary chunks, one progress box per transfer (#xfers).

import { $, esc } from "./core.js";
import { t } from "./i18n.js";
import { closeModal, modal, toast } from "./ui.js";
import { addSessionPart, SESSION } from "./session.js";
import { keeper } from "./keeper.js";
import { chatIncoming, chatOwn, chatSystem } from "./chat.js";
import { FILE_CHUNK, FILE_MAX, isRisky, OfferGate, readOffer, sizeText, transferId } from "./file_logic.js";
import { dropPeer, guardOf, stripInvisible } from "./message_logic.js";

const ANSWER_MS = 90000;
const HIGH_WATER = 8 * 1024 * 1024; // never more than this waits in the channel
const LOW_WATER = 1024 * 1024;
const BOX_EVERY = 32; // chunks between progress updates
const BOX_LINGER_MS = 6000;

const FILE_ASK = new Map(); // outgoing id -> resolve(answer)
let INCOMING = null; // the one incoming transfer, from its offer on (its dialog maybe still waiting)
let offerShown = false; // the offer dialog is the open modal

// --- progress boxes ------------------------------------------------------------------

// Shows `text` in the box of transfer `id`, with a bar when `pct` is a number; a box
// without a per cent is a final state and goes away after 6 s.
function box(id, text, pct) {
  const list = $("xfers");
  let el = list.querySelector('[data-x="' + CSS.escape(id) + '"]');
  if (!el) {
    el = document.createElement("div");
    el.className = "xbox";
    el.dataset.x = id;
    list.appendChild(el);
  }
  clearTimeout(el._gone);
  el.innerHTML = "<span>" + esc(text) + "</span>" +
    (typeof pct === "number" ? '<progress max="100" value="' + Math.floor(pct) + '"></progress>' : "");
  if (typeof pct !== "number") el._gone = setTimeout(() => el.remove(), BOX_LINGER_MS);
}

// --- sending -------------------------------------------------------------------------

function fileChannel(s) {
  const ch = s && s.dc && s.dc.file;
  return ch && ch.readyState === "open" ? ch : null;
}

function sendJson(ch, obj) {
  try {
    ch.send(JSON.stringify(obj));
    return true;
  } catch (e) {
    return false;
  }
}

// Files waiting their turn, each with the session it was picked in and its transfer id.
const SEND_Q = [];
let sending = false;
let sendingId = null; // the transfer whose chunks are going out
let gaveUp = false; // its receiver said it could not keep it

// Sends the files one after another; files picked or dropped while one is being sent wait
// behind it, whichever pick they came from.
export async function sendFiles(files) {
  const s = SESSION;
  for (const file of Array.from(files || [])) {
    if (!fileChannel(s)) {
      toast(t("fileNoSession"));
      return;
    }
    // Checked before anything is read.
    if (file.size > FILE_MAX) {
      toast(t("fileTooBig"));
      continue;
    }
    const id = transferId();
    SEND_Q.push({ s, file, id });
    if (sending) box(id, t("fileQueued", ownName(file)), 0);
  }
  if (sending) return;
  sending = true;
  try {
    while (SEND_Q.length) {
      const next = SEND_Q.shift();
      if (SESSION !== next.s || !fileChannel(next.s)) box(next.id, t("fileNo", ownName(next.file)));
      else await sendFile(next.s, next.file, next.id);
    }
  } finally {
    sending = false;
  }
}

// A picked file's name as shown in its box and the chat: without invisible characters,
// as the receiver shows it.
function ownName(file) {
  return stripInvisible(file.name) || "archivo";
}

async function sendFile(s, file, id) {
  const ch = fileChannel(s);
  const name = ownName(file);
  box(id, t("fileAsk", name), 0);
  const answer = new Promise((resolve) => {
    FILE_ASK.set(id, resolve);
    setTimeout(() => resolve(false), ANSWER_MS);
  });
  sendJson(ch, { t: "fs", id, name, size: file.size });
  const ok = await answer;
  FILE_ASK.delete(id);
  if (!ok || SESSION !== s || ch.readyState !== "open") {
    // Giving up without an answer: the end message withdraws the offer, so a dialog the
    // other side still shows closes instead of taking a transfer that never comes.
    if (!ok && SESSION === s && ch.readyState === "open") sendJson(ch, { t: "fe", id });
    box(id, t("fileNo", name));
    return;
  }
  ch.bufferedAmountLowThreshold = LOW_WATER;
  sendingId = id;
  gaveUp = false;
  try {
    await sendChunks(s, ch, file, id);
  } finally {
    sendingId = null;
  }
}

async function sendChunks(s, ch, file, id) {
  const name = ownName(file);
  const chunks = Math.ceil(file.size / FILE_CHUNK);
  for (let i = 0; i < chunks; i++) {
    if (SESSION !== s || ch.readyState !== "open") {
      box(id, t("fileNo", name));
      return;
    }
    let data;
    try {
      data = await file.slice(i * FILE_CHUNK, (i + 1) * FILE_CHUNK).arrayBuffer();
    } catch (e) {
      // The file changed or went away while being read (a log still written, a pulled
      // stick): the end message comes early, so the receiver drops what it got too.
      console.info("file read failed:", e && e.name);
      if (SESSION === s && ch.readyState === "open") sendJson(ch, { t: "fe", id });
      box(id, t("fileNo", name));
      return;
    }
    while (ch.bufferedAmount > HIGH_WATER && ch.readyState === "open") await drained(ch);
    if (SESSION !== s || ch.readyState !== "open" || gaveUp) {
      box(id, t("fileNo", name));
      return;
    }
    ch.send(data);
    if ((i + 1) % BOX_EVERY === 0) box(id, t("fileSending", name), ((i + 1) / chunks) * 100);
  }
  sendJson(ch, { t: "fe", id });
  box(id, t("fileSent", name));
  chatOwn("📁 " + name);
}

// The low-buffer event, or 500 ms, whichever comes first.
function drained(ch) {
  return new Promise((resolve) => {
    const done = () => {
      clearTimeout(timer);
      ch.removeEventListener("bufferedamountlow", done);
      resolve();
    };
    const timer = setTimeout(done, 500);
    ch.addEventListener("bufferedamountlow", done);
  });
}

// --- receiving -----------------------------------------------------------------------

// A frame on `file`: text frames are offers, answers and ends; binary frames are chunks.
function onFileFrame(s, data) {
  if (typeof data !== "string") {
    onChunk(s, data);
    return;
  }
  let m;
  try {
    m = JSON.parse(data);
  } catch (e) {
    return;
  }
  if (!m || typeof m !== "object") return;
  if (m.t === "fa") {
    const resolve = FILE_ASK.get(m.id);
    if (resolve) resolve(m.ok === true);
    // A "no" after the "yes": the receiver could not keep the file; stop sending it.
    else if (m.ok === false && m.id === sendingId) gaveUp = true;
  } else if (m.t === "fs") {
    onOffer(s, m);
  } else if (m.t === "fe") {
    onEnd(s, m);
  }
}

// The offers of the session's peer: their rate, and the quiet time after a withdrawn one.
function offerGate(s) {
  return s.offerGate || (s.offerGate = new OfferGate(guardOf(s)));
}

function onOffer(s, m) {
  const ch = fileChannel(s);
  if (!ch) return;
  const offer = readOffer(m);
  // A second offer while one is incoming (or waiting for its dialog) is refused without
  // asking, as is a size that cannot be a file we take, and an offer over the rate.
  if (INCOMING || !offer.ok) {
    sendJson(ch, { t: "fa", id: offer.id, ok: false });
    return;
  }
  const gate = offerGate(s);
  const when = gate.offer(Date.now());
  if (when === "refuse") {
    dropPeer(s, "offer");
    sendJson(ch, { t: "fa", id: offer.id, ok: false });
    return;
  }
  const rx = {
    s, id: offer.id, name: offer.name, size: offer.size, parts: [], stage: null, got: 0, ok: false, chunks: 0,
    answering: false, shown: false, waitT: null,
  };
  INCOMING = rx;
  if (when === "wait") {
    dropPeer(s, "offerQuiet");
    rx.waitT = setTimeout(() => {
      rx.waitT = null;
      if (INCOMING === rx && SESSION === s) offerIfRoom(s, ch, rx);
    }, gate.waitMs);
    return;
  }
  offerIfRoom(s, ch, rx);
}

// Where the keeper says staged files may sit in memory (the page in any browser: a private
// window keeps its storage in memory, and the page cannot tell one from an ordinary
// window), a file larger than the storage left is refused before anyone is asked, and
// the dialog of a large one says so. Null when the file may be offered.
const MEMORY_NOTE_BYTES = 256 * 1024 * 1024;
async function roomFor(size) {
  if (!keeper().mayStageInMemory || !navigator.storage || !navigator.storage.estimate) return null;
  try {
    const e = await navigator.storage.estimate();
    const free = Math.max(0, (e.quota || 0) - (e.usage || 0));
    return size > free ? free : null;
  } catch (err) {
    return null; // unknown: offered as before
  }
}

async function offerIfRoom(s, ch, rx) {
  const free = await roomFor(rx.size);
  if (INCOMING !== rx || SESSION !== s) return;
  if (free === null) {
    showOffer(s, ch, rx);
    return;
  }
  INCOMING = null;
  offerGate(s).answered();
  sendJson(ch, { t: "fa", id: rx.id, ok: false });
  const why = t("fileNoRoom", rx.name, sizeText(rx.size), sizeText(free));
  chatSystem(why);
  toast(why, 8000);
}

function showOffer(s, ch, rx) {
  const answer = async (ok) => {
    if (INCOMING !== rx || rx.ok || rx.answering) return;
    offerGate(s).answered();
    if (ok) {
      rx.answering = true;
      rx.stage = await openStage(rx.id);
      rx.answering = false;
      if (INCOMING !== rx) {
        dropStage(rx.stage);
        return;
      }
      rx.ok = true;
      box(rx.id, t("fileRecv", rx.name), 0);
    } else {
      INCOMING = null;
    }
    sendJson(ch, { t: "fa", id: rx.id, ok });
  };
  rx.shown = true;
  offerShown = true;
  modal(
    t("fileOffer"),
    "<p><b>" + esc(s.peer) + "</b> " + esc(t("fileWants")) + "</p>" +
      '<p class="big">' + esc(rx.name) + ' <span class="muted">(' + esc(sizeText(rx.size)) + ")</span></p>" +
      (isRisky(rx.name) ? '<p class="note warn">' + esc(t("fileRisky")) + "</p>" : "") +
      (keeper().mayStageInMemory && rx.size >= MEMORY_NOTE_BYTES ? '<p class="note warn">' + esc(t("fileMemory")) + "</p>" : "") +
      '<p class="tip">' + esc(t("fileWhere")) + "</p>",
    [
      { label: t("reject"), focus: true, onClick: () => answer(false) },
      { label: t("accept"), primary: true, onClick: () => answer(true) },
    ],
    // Closing the dialog any other way rejects.
    () => {
      offerShown = false;
      answer(false);
    },
  );
}

function onChunk(s, data) {
  const rx = INCOMING;
  if (!rx || !rx.ok || rx.s !== s || !(data instanceof ArrayBuffer)) return;
  if (rx.got + data.byteLength > rx.size) {
    failRx(rx);
    return;
  }
  if (rx.stage) stageWrite(rx, data);
  else rx.parts.push(data);
  rx.got += data.byteLength;
  if (++rx.chunks % BOX_EVERY === 0) box(rx.id, t("fileRecv", rx.name), (rx.got / rx.size) * 100);
}

function onEnd(s, m) {
  const rx = INCOMING;
  if (!rx || rx.s !== s || m.id !== rx.id) return;
  INCOMING = null;
  if (!rx.ok) {
    // The sender withdrew the offer before it was answered: the next offer's dialog
    // waits a while. One withdrawn before its dialog showed leaves no trace.
    offerGate(s).withdrawn(Date.now());
    clearTimeout(rx.waitT);
    if (!rx.shown) return;
    if (offerShown) closeModal();
    box(rx.id, t("fileNo", rx.name));
    return;
  }
  // Fewer bytes than announced is a broken transfer, not a file to save.
  if (rx.got !== rx.size) {
    box(rx.id, t("fileNo", rx.name));
    dropStage(rx.stage);
    return;
  }
  if (rx.stage) {
    saveStaged(s, rx);
    return;
  }
  saveFile(s, rx, new Blob(rx.parts));
}

// Hands the browser the file for its downloads folder, under the sender's (cleaned) name.
function saveFile(s, rx, blob) {
  const url = URL.createObjectURL(blob);
  const a = document.createElement("a");
  a.href = url;
  a.download = rx.name;
  document.body.appendChild(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
  box(rx.id, t("fileDone", rx.name));
  chatIncoming(s.peer, "📁 " + rx.name, s);
}

// The session ended: an incoming transfer is dropped, pending offers count as refused
// (the sender stops before its next chunk by itself).
function filesReset() {
  if (INCOMING && INCOMING.ok) box(INCOMING.id, t("fileNo", INCOMING.name));
  if (INCOMING) {
    clearTimeout(INCOMING.waitT);
    dropStage(INCOMING.stage);
  }
  INCOMING = null;
  if (offerShown) closeModal();
  for (const resolve of FILE_ASK.values()) resolve(false);
}

addSessionPart({ fileFrame: onFileFrame, end: filesReset });

// --- staging on disk ------------------------------------------------------------------
// An incoming file goes to the origin's private file system as its chunks arrive, in
// blocks of 1 MiB written in order, and the browser downloads it from there: memory holds
// a block or two whatever the size. Where that storage cannot be opened the chunks are
// kept in memory as before.

const STAGE_DIR = "recibiendo";
const WRITE_BLOCK = 1024 * 1024;
const STALE_MS = 15 * 60 * 1000; // what an earlier page left behind
const REMOVE_MIN_MS = 60000;
const REMOVE_PER_MB_MS = 100; // the browser copies the download at well over 10 MB/s

async function stageFolder() {
  const root = await navigator.storage.getDirectory();
  return root.getDirectoryHandle(STAGE_DIR, { create: true });
}

async function openStage(id) {
  try {
    const dir = await stageFolder();
    const name = id.replace(/[^a-z0-9]/gi, "_") + "-" + Date.now();
    const handle = await dir.getFileHandle(name, { create: true });
    const writable = await handle.createWritable();
    return { dir, name, handle, writable, block: new Uint8Array(WRITE_BLOCK), fill: 0, chain: Promise.resolve(), failed: false };
  } catch (e) {
    console.info("file staging unavailable, receiving in memory:", e && e.name);
    return null;
  }
}

function stageFlush(st) {
  if (!st.fill) return;
  const data = st.block.subarray(0, st.fill);
  st.block = new Uint8Array(WRITE_BLOCK);
  st.fill = 0;
  st.chain = st.chain.then(() => (st.failed ? null : st.writable.write(data)));
}

function stageWrite(rx, data) {
  const st = rx.stage;
  let bytes = new Uint8Array(data);
  while (bytes.length) {
    const n = Math.min(bytes.length, WRITE_BLOCK - st.fill);
    st.block.set(bytes.subarray(0, n), st.fill);
    st.fill += n;
    bytes = bytes.subarray(n);
    if (st.fill === WRITE_BLOCK) stageFlush(st);
  }
  // A write that fails (the disk full) ends the transfer on both sides.
  st.chain = st.chain.catch((e) => {
    if (st.failed) return;
    st.failed = true;
    console.warn("file staging failed:", e && e.name);
    if (INCOMING === rx) {
      failRx(rx);
      const ch = fileChannel(rx.s);
      if (ch) sendJson(ch, { t: "fa", id: rx.id, ok: false });
    }
  });
}

// The incoming transfer ends unsaved.
function failRx(rx) {
  box(rx.id, t("fileNo", rx.name));
  if (INCOMING === rx) INCOMING = null;
  dropStage(rx.stage);
}

// Discards a staged file: its writes are abandoned and the entry removed.
function dropStage(st) {
  if (!st || st.dropped) return;
  st.dropped = true;
  st.failed = true;
  st.chain
    .catch(() => null)
    .then(() => st.writable.abort())
    .catch(() => null)
    .then(() => st.dir.removeEntry(st.name))
    .catch(() => null);
}

async function saveStaged(s, rx) {
  const st = rx.stage;
  stageFlush(st);
  let file = null;
  try {
    await st.chain;
    if (st.failed) throw new Error("write failed");
    await st.writable.close();
    file = await st.handle.getFile();
  } catch (e) {
    failRx(rx);
    return;
  }
  st.dropped = true;
  saveFile(s, rx, file);
  // The browser reads the staged file while it copies the download; it goes once that
  // copy is surely done, and an earlier page's leftovers go when a page starts.
  setTimeout(() => st.dir.removeEntry(st.name).catch(() => null), Math.max(REMOVE_MIN_MS, (rx.size / 1e6) * REMOVE_PER_MB_MS));
}

async function sweepStaged() {
  try {
    const dir = await stageFolder();
    for await (const [name, handle] of dir.entries()) {
      const f = handle.kind === "file" ? await handle.getFile() : null;
      if (!f || Date.now() - f.lastModified > STALE_MS) await dir.removeEntry(name, { recursive: true }).catch(() => null);
    }
  } catch (e) {
    /* nothing staged, or no such storage */
  }
}
sweepStaged();

$("fileIn").addEventListener("change", (e) => {
  const files = Array.from(e.target.files || []);
  e.target.value = "";
  sendFiles(files);
});

// Opens the file picker of the session.
export function pickFiles() {
  if (!fileChannel(SESSION)) {
    toast(t("fileNoSession"));
    return;
  }
  $("fileIn").click();
}
