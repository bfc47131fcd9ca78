// Voice calls (`CALLX`): the call tab, and the microphone card of the settings. The room,
// its sockets and the member connections come with the call work.

import { $, esc } from "./core.js";
import { t } from "./i18n.js";
import { post } from "./api.js";
import { toast } from "./ui.js";
import { TAB } from "./shell.js";
import { buildSettingsForm } from "./settings.js";

export let CALLX = null;
const CALL_ALPHABET = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";

// A typed call code: trimmed, upper case, exactly six of A-Z and 0-9; else null.
export function normCallCode(v) {
  const c = String(v === null || v === undefined ? "" : v).trim().toUpperCase();
  return /^[A-Z0-9]{6}$/.test(c) ? c : null;
}

function newCallCode() {
  const r = new Uint32Array(6);
  crypto.getRandomValues(r);
  return Array.from(r, (n) => CALL_ALPHABET[n % 32]).join("");
}

// Starts or joins the room: built with the call work.
function startCall(code, create) {}

export function leaveCall() {
  const c = CALLX;
  if (!c) return;
  CALLX = null;
  post("/api/llamada", { activa: false }).catch(() => null);
  drawCall();
}

export function drawCall() {
  $("callSetup").hidden = !!CALLX;
  $("callRoom").hidden = !CALLX;
  $("callDot").hidden = !CALLX;
}

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

let micListSize = 0;
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
  const opts = [["", t("sMicDef")]].concat(devs.map((d) => [d.deviceId, d.label || d.deviceId.slice(0, 10)]));
  if (current && !opts.some((o) => o[0] === current)) opts.push([current, current.slice(0, 10)]);
  micListSize = opts.length;
  sel.innerHTML = opts
    .map(([v, l]) => '<option value="' + esc(v) + '"' + (v === current ? " selected" : "") + ">" + esc(l) + "</option>")
    .join("");
}

let MICT = null; // the running microphone test
export function micTest() {
  if (MICT) {
    stopMicTest();
    return;
  }
  const dev = $("sMic") ? $("sMic").value : "";
  const proc = $("sProc") ? $("sProc").checked : true;
  const audio = { echoCancellation: proc, noiseSuppression: proc, autoGainControl: proc };
  if (dev) audio.deviceId = { exact: dev };
  const fewNames = micListSize <= 1;
  navigator.mediaDevices
    .getUserMedia({ audio })
    .then((stream) => {
      const ac = new AudioContext();
      const an = ac.createAnalyser();
      an.fftSize = 512;
      ac.createMediaStreamSource(stream).connect(an);
      const buf = new Float32Array(an.fftSize);
      MICT = { stream, ac, fewNames };
      MICT.timer = setInterval(() => {
        an.getFloatTimeDomainData(buf);
        let sum = 0;
        for (const v of buf) sum += v * v;
        const m = $("sMicMeter");
        if (m) m.style.width = Math.min(100, Math.sqrt(sum / buf.length) * 400) + "%";
      }, 100);
      MICT.stopT = setTimeout(stopMicTest, 15000);
      const b = $("sMicTest");
      if (b) b.setAttribute("aria-pressed", "true");
    })
    .catch(() => toast(t("micDenied"), 7000));
}

function stopMicTest() {
  const m = MICT;
  if (!m) return;
  MICT = null;
  clearInterval(m.timer);
  clearTimeout(m.stopT);
  m.stream.getTracks().forEach((tr) => tr.stop());
  m.ac.close();
  const meter = $("sMicMeter");
  if (meter) meter.style.width = "0";
  const b = $("sMicTest");
  if (b) b.setAttribute("aria-pressed", "false");
  if (m.fewNames && TAB === "ajustes") buildSettingsForm(); // names show after the permission
}
