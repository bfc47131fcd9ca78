// File transfer inside a session over the `file` channel: offers and answers as JSON
// text frames, the file itself as binary chunks, one progress box per transfer (#xfers).

import { $, esc } from "./core.js";
import { t } from "./i18n.js";
import { closeModal, modal, toast } from "./ui.js";
import { SES } from "./session.js";
import { chatIncoming, chatOwn } from "./chat.js";
import { cleanFileName, FILE_CHUNK, FILE_MAX, isRisky, sizeText, transferId } from "./file_logic.js";

const ANSWER_MS = 90000;
const HIGH_WATER = 8 * 1024 * 1024; // never more than this waits in the channel
const LOW_WATER = 1024 * 1024;
const BOX_EVERY = 32; // chunks between progress updates
const BOX_LINGER_MS = 6000;

const FILE_ASK = new Map(); // outgoing id -> resolve(answer)
let RX = null; // the one incoming transfer
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

// Sends the files one after another.
export async function sendFiles(files) {
  for (const f of Array.from(files || [])) await sendFile(f);
}

async function sendFile(file) {
  const s = SES;
  const ch = fileChannel(s);
  if (!ch) {
    toast(t("fileNoSession"));
    return;
  }
  // Checked before anything is read.
  if (file.size > FILE_MAX) {
    toast(t("fileTooBig"));
    return;
  }
  const id = transferId();
  const name = file.name;
  box(id, t("fileAsk", name), 0);
  const answer = new Promise((resolve) => {
    FILE_ASK.set(id, resolve);
    setTimeout(() => resolve(false), ANSWER_MS);
  });
  sendJson(ch, { t: "fs", id, name, size: file.size });
  const ok = await answer;
  FILE_ASK.delete(id);
  if (!ok || SES !== s || ch.readyState !== "open") {
    // Giving up without an answer: the end message withdraws the offer, so a dialog the
    // other side still shows closes instead of taking a transfer that never comes.
    if (!ok && SES === s && ch.readyState === "open") sendJson(ch, { t: "fe", id });
    box(id, t("fileNo", name));
    return;
  }
  ch.bufferedAmountLowThreshold = LOW_WATER;
  const chunks = Math.ceil(file.size / FILE_CHUNK);
  for (let i = 0; i < chunks; i++) {
    if (SES !== s || ch.readyState !== "open") {
      box(id, t("fileNo", name));
      return;
    }
    const data = await file.slice(i * FILE_CHUNK, (i + 1) * FILE_CHUNK).arrayBuffer();
    while (ch.bufferedAmount > HIGH_WATER && ch.readyState === "open") await drained(ch);
    if (SES !== s || ch.readyState !== "open") {
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
export function onFileFrame(s, data) {
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
  } else if (m.t === "fs") {
    onOffer(s, m);
  } else if (m.t === "fe") {
    onEnd(s, m);
  }
}

function onOffer(s, m) {
  const ch = fileChannel(s);
  if (!ch) return;
  const size = Number(m.size);
  const id = typeof m.id === "string" ? m.id.slice(0, 32) : "";
  // A second offer while one is incoming is refused without asking, as is a size that
  // cannot be a file we take.
  if (RX || !(size > 0) || size > FILE_MAX || !Number.isFinite(size)) {
    sendJson(ch, { t: "fa", id, ok: false });
    return;
  }
  const rx = { s, id, name: cleanFileName(m.name), size, parts: [], got: 0, ok: false, chunks: 0 };
  RX = rx;
  const answer = (ok) => {
    if (RX !== rx || rx.ok) return;
    if (ok) {
      rx.ok = true;
      box(rx.id, t("fileRecv", rx.name), 0);
    } else {
      RX = null;
    }
    sendJson(ch, { t: "fa", id: rx.id, ok });
  };
  offerShown = true;
  modal(
    t("fileOffer"),
    "<p><b>" + esc(s.peer) + "</b> " + esc(t("fileWants")) + "</p>" +
      '<p class="big">' + esc(rx.name) + ' <span class="muted">(' + esc(sizeText(rx.size)) + ")</span></p>" +
      (isRisky(rx.name) ? '<p class="note warn">' + esc(t("fileRisky")) + "</p>" : "") +
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
  const rx = RX;
  if (!rx || !rx.ok || rx.s !== s || !(data instanceof ArrayBuffer)) return;
  if (rx.got + data.byteLength > rx.size) {
    box(rx.id, t("fileNo", rx.name));
    RX = null;
    return;
  }
  rx.parts.push(data);
  rx.got += data.byteLength;
  if (++rx.chunks % BOX_EVERY === 0) box(rx.id, t("fileRecv", rx.name), (rx.got / rx.size) * 100);
}

function onEnd(s, m) {
  const rx = RX;
  if (!rx || rx.s !== s || m.id !== rx.id) return;
  RX = null;
  if (!rx.ok) {
    // The sender withdrew the offer before it was answered.
    if (offerShown) closeModal();
    box(rx.id, t("fileNo", rx.name));
    return;
  }
  // Fewer bytes than announced is a broken transfer, not a file to save.
  if (rx.got !== rx.size) {
    box(rx.id, t("fileNo", rx.name));
    return;
  }
  const url = URL.createObjectURL(new Blob(rx.parts));
  const a = document.createElement("a");
  a.href = url;
  a.download = rx.name;
  document.body.appendChild(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
  box(rx.id, t("fileDone", rx.name));
  chatIncoming(s.peer, "📁 " + rx.name);
}

// The session ended: an incoming transfer is dropped, pending offers count as refused
// (the sender stops before its next chunk by itself).
export function filesReset() {
  if (RX && RX.ok) box(RX.id, t("fileNo", RX.name));
  RX = null;
  if (offerShown) closeModal();
  for (const resolve of FILE_ASK.values()) resolve(false);
}

$("fileIn").addEventListener("change", (e) => {
  const files = Array.from(e.target.files || []);
  e.target.value = "";
  sendFiles(files);
});

// Opens the file picker of the session.
export function pickFiles() {
  if (!fileChannel(SES)) {
    toast(t("fileNoSession"));
    return;
  }
  $("fileIn").click();
}
