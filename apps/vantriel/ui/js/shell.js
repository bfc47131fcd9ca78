// The shell: tabs, header, status pills, identity card, state loading, copy, the
// request sound, quit and donation.

import { AJ, ID, S, setAJ, setID, setS } from "./state.js";
import { $, AUTHOR, caretAfterDigits, DONATE_URL, esc, fmtIdField, yes } from "./core.js";
import { applyLang, LANG, setLANG, t } from "./i18n.js";
import { get, post } from "./api.js";
import { confirmAsk, toast } from "./ui.js";
import { drawHistory, drawRecents } from "./history.js";
import { buildSettingsForm, openSettings } from "./settings.js";
import { helpLangChanged, MAN, openHelp } from "./help.js";
import { updStore } from "./update.js";
import { connectTo, HOST, hostConnect, hostDisconnect } from "./signal.js";
import { endSession, SES } from "./session.js";
import { drawHostBar } from "./host_session.js";
import { drawViewer } from "./tech_session.js";
import { CALLX, drawCall, leaveCall } from "./call.js";

export let TAB = "conectar";
const TABS = ["conectar", "llamada", "ajustes", "ayuda"];

function showTab(name, focus) {
  if (!TABS.includes(name)) return;
  TAB = name;
  TABS.forEach((n) => {
    const b = $("tab-" + n);
    const on = n === name;
    b.setAttribute("aria-selected", on ? "true" : "false");
    b.tabIndex = on ? 0 : -1;
    $("pane-" + n).hidden = !on;
  });
  if (focus) $("tab-" + name).focus();
  if (name === "ajustes") openSettings();
  if (name === "ayuda") openHelp();
}

document.querySelector(".tabs").addEventListener("click", (e) => {
  const b = e.target.closest("[role=tab]");
  if (b) showTab(b.dataset.tab);
});
document.querySelector(".tabs").addEventListener("keydown", (e) => {
  const i = TABS.indexOf(TAB);
  let n = -1;
  if (e.key === "ArrowRight") n = (i + 1) % TABS.length;
  else if (e.key === "ArrowLeft") n = (i + TABS.length - 1) % TABS.length;
  else if (e.key === "Home") n = 0;
  else if (e.key === "End") n = TABS.length - 1;
  if (n < 0) return;
  e.preventDefault();
  showTab(TABS[n], true);
});

// Header height into --hh (70 without a header), so sticky elements and scroll targets
// sit below it.
export function measureHeader() {
  const h = $("hdr");
  const bars = ["updBar", "hostbar"].map($).filter((b) => b && !b.hidden);
  let hh = h ? h.offsetHeight : 70;
  bars.forEach((b) => { hh += b.offsetHeight; });
  document.documentElement.style.setProperty("--hh", (hh || 70) + "px");
}
window.addEventListener("resize", measureHeader);

export function showBar(id, on) {
  const b = $(id);
  if (b.hidden === !on) return;
  b.hidden = !on;
  measureHeader();
}

// --- state -------------------------------------------------------------------------

export async function loadIdentity() {
  try {
    setID(await post("/api/identidad", {}));
  } catch (e) {
    /* keep the last identity */
  }
  drawIdentity();
}

export async function loadState() {
  try {
    setS(await get("/api/estado"));
  } catch (e) {
    return; // a failed GET leaves the last state in place
  }
  drawState();
}

function drawState() {
  if (!S) return;
  $("adminNote").hidden = S.admin !== false;
  drawPills();
  drawRecents();
  drawHistory();
  updStore(S.actualizacion);
}

export function drawAll() {
  drawIdentity();
  drawHostStatus();
  drawState();
  drawCredit();
  drawHostBar();
  if (SES && SES.role === "tech") drawViewer(SES);
  drawCall();
}

// --- header pills and host status ----------------------------------------------------

function drawPills() {
  const srv = $("pillSrv");
  const st = HOST.state;
  srv.className = "pill " + (st === "online" ? "ok" : st === "off" ? "" : "bad");
  srv.textContent = st === "online" ? t("pillSrvOk") : t("pillSrvBad");
  const ad = $("pillAdmin");
  const admin = !!(S && S.admin);
  ad.className = "pill " + (admin ? "ok" : "warn");
  ad.textContent = admin ? t("pillAdmin") : t("pillNoAdmin");
  if (admin) {
    ad.removeAttribute("title");
    ad.removeAttribute("aria-label");
    ad.tabIndex = -1;
  } else {
    ad.title = t("adminNote");
    ad.setAttribute("aria-label", t("pillNoAdmin") + ": " + t("adminNote"));
    ad.tabIndex = 0;
  }
}

const HOST_LINES = {
  online: ["ok", "online"],
  connecting: ["warn", "connecting"],
  error: ["bad", "offlineSrv"],
  off: ["", "unavailable"],
  taken: ["bad", "srvTaken"],
  replaced: ["bad", "srvReplaced"],
};

export function drawHostStatus() {
  const [cls, key] = HOST_LINES[HOST.state] || HOST_LINES.off;
  const el = $("hostStatus");
  el.className = "status " + cls;
  el.innerHTML =
    '<span class="sdot" aria-hidden="true"></span><span>' + esc(t(key)) + "</span>" +
    (HOST.state === "replaced"
      ? ' <button type="button" class="btn sm" id="reconnectBtn">' + esc(t("reconnect")) + "</button>"
      : "");
  const rb = $("reconnectBtn");
  if (rb) rb.addEventListener("click", () => hostConnect());
  $("availSw").checked = AJ ? yes(AJ.recibir && AJ.recibir.disponible) : true;
  drawPills();
}

// --- identity card -------------------------------------------------------------------

export function drawIdentity() {
  $("myId").textContent = ID && ID.id_bonito ? ID.id_bonito : "— — —";
  $("myKey").textContent = ID && ID.clave ? ID.clave : "——";
}

$("newKeyBtn").addEventListener("click", async () => {
  try {
    const r = await post("/api/clave/nueva", {});
    if (r && r.clave) {
      if (ID) ID.clave = r.clave;
      drawIdentity();
      toast(t("newKeyDone", r.clave));
    }
  } catch (e) {
    toast(t("srvBad"));
  }
});

// Copies a text: the browser clipboard first, the host's clipboard when that fails.
export async function copyText(text) {
  try {
    await navigator.clipboard.writeText(text);
    toast(t("copied"));
  } catch (e) {
    try {
      const r = await post("/api/portapapeles/escribir_local", { texto: text });
      toast(r && r.ok ? t("copied") : t("copyFail"));
    } catch (e2) {
      toast(t("copyFail"));
    }
  }
}

$("copyIdBtn").addEventListener("click", () => {
  if (ID) copyText(ID.id_bonito);
});
$("copyBothBtn").addEventListener("click", () => {
  if (!ID) return;
  const keyWord = LANG === "en" ? " · Key: " : " · Clave: ";
  copyText("Vantriel · ID: " + ID.id_bonito + keyWord + ID.clave);
});

// The availability switch saves `disponible`, then registers or closes.
$("availSw").addEventListener("change", async (e) => {
  const on = e.target.checked;
  try {
    const r = await post("/api/ajustes", { recibir: { disponible: on ? "si" : "no" } });
    if (r && r.ajustes) setAJ(r.ajustes);
    else if (AJ && AJ.recibir) AJ.recibir.disponible = on ? "si" : "no";
  } catch (err) {
    /* the switch still acts for this run */
    if (AJ && AJ.recibir) AJ.recibir.disponible = on ? "si" : "no";
  }
  if (on) hostConnect();
  else hostDisconnect();
  drawHostStatus();
});

// --- connect form --------------------------------------------------------------------

// Reformats as the user types, keeping the cursor after the same digit it followed.
$("peerId").addEventListener("input", (e) => {
  const el = e.target;
  const f = fmtIdField(el.value);
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

// --- language ------------------------------------------------------------------------

async function setLang(lang) {
  setLANG(lang);
  applyLang();
  drawAll();
  if (TAB === "ajustes") buildSettingsForm();
  helpLangChanged();
  measureHeader();
}

$("langBtn").addEventListener("click", async () => {
  const next = LANG === "es" ? "en" : "es";
  // The settings form drawn now must show the new language, or its next save would
  // turn the page back.
  if (AJ && AJ.general) AJ.general.idioma = next;
  setLang(next);
  try {
    const r = await post("/api/ajustes", { general: { idioma: next } });
    if (r && r.ajustes) {
      setAJ(r.ajustes);
      if (TAB === "ajustes") buildSettingsForm();
    }
  } catch (e) {
    /* the switch holds for this run */
  }
});

// --- request sound -------------------------------------------------------------------

export function playReqSound() {
  try {
    const ac = new (window.AudioContext || window.webkitAudioContext)();
    const o = ac.createOscillator();
    const g = ac.createGain();
    const t0 = ac.currentTime;
    o.type = "sine";
    o.frequency.setValueAtTime(880, t0);
    o.frequency.setValueAtTime(1175, t0 + 0.16);
    o.frequency.setValueAtTime(880, t0 + 0.32);
    o.frequency.setValueAtTime(1175, t0 + 0.48);
    g.gain.setValueAtTime(0.0001, t0);
    g.gain.exponentialRampToValueAtTime(0.25, t0 + 0.03);
    g.gain.exponentialRampToValueAtTime(0.0001, t0 + 0.7);
    o.connect(g);
    g.connect(ac.destination);
    o.start(t0);
    o.stop(t0 + 0.72);
    o.onended = () => ac.close();
  } catch (e) {
    /* no sound is no failure */
  }
}

// --- quit, donation, credit ----------------------------------------------------------

$("quitBtn").addEventListener("click", () => {
  confirmAsk(t("quitAsk"), t("quit"), async () => {
    if (SES) endSession("local", true);
    if (CALLX) leaveCall();
    try {
      await post("/api/salir", {});
    } catch (e) {
      /* the host is going away either way */
    }
    document.body.innerHTML = '<div class="closed"><img src="/img/emblema.png" alt="" width="64" height="64"><p>' +
      esc(t("closedTxt")) + "</p></div>";
  });
});

export async function donate() {
  let ok = false;
  try {
    const r = await post("/api/abrir", { what: "donar" });
    ok = !!(r && r.ok);
  } catch (e) {
    ok = false;
  }
  if (ok) toast(t("donThanks"));
  else window.open(DONATE_URL, "_blank", "noopener");
}
$("donBtn").addEventListener("click", donate);

export function openLink(what, url) {
  return post("/api/abrir", url ? { what, url } : { what }).catch(() => null);
}

// The credit line: the manual's own words once it is loaded, else the page's.
export function drawCredit() {
  const by = MAN.by ? MAN.by + " " + MAN.author : t("creditBy") + " " + AUTHOR;
  $("credit").innerHTML =
    esc(by) + ' · <button type="button" class="link" id="siteBtn">' +
    esc(t("support")) + "</button>";
  $("siteBtn").addEventListener("click", () => openLink("sitio"));
}
