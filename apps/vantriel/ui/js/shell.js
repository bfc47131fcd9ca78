// The shell, the top of the page: tabs, header, status pills, identity card, the connect
// form, the language button, quit and donation; and the redraws when what they show
// changes.

import { AJ, ID, onStateChange, S, setAJ, setAccessCode, setSettingLocally } from "./state.js";
import { $, esc, yes } from "./core.js";
import { makeTabs } from "./tabs.js";
import { changeLanguage, LANG, onLanguageChange, t } from "./i18n.js";
import { post } from "./api.js";
import { confirmAsk, copyText, measureHeader, toast } from "./ui.js";
import { donate } from "./actions.js";
import { drawHistory } from "./history.js";
import { drawRecents } from "./recents.js";
import { buildSettingsForm, openSettings } from "./settings.js";
import { drawCredit, openHelp } from "./help.js";
import { updStore } from "./update.js";
import { hostConnect, hostDisconnect, hostState, onHostState } from "./signal.js";
import { endSession, SES } from "./session.js";
import { drawHostBar } from "./host_session.js";
import { drawViewer } from "./tech_session.js";
import { CALLX, drawCall, leaveCall } from "./call.js";

const TABS = makeTabs(["conectar", "llamada", "ajustes", "ayuda"], (name) => {
  if (name === "ajustes") openSettings();
  if (name === "ayuda") openHelp();
});

// --- state -------------------------------------------------------------------------

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
  const st = hostState();
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

function drawHostStatus() {
  const st = hostState();
  const [cls, key] = HOST_LINES[st] || HOST_LINES.off;
  const el = $("hostStatus");
  el.className = "status " + cls;
  el.innerHTML =
    '<span class="sdot" aria-hidden="true"></span><span>' + esc(t(key)) + "</span>" +
    (st === "replaced"
      ? ' <button type="button" class="btn sm" id="reconnectBtn">' + esc(t("reconnect")) + "</button>"
      : "");
  const rb = $("reconnectBtn");
  if (rb) rb.addEventListener("click", () => hostConnect());
  $("availSw").checked = AJ ? yes(AJ.recibir && AJ.recibir.disponible) : true;
  drawPills();
}

// --- identity card -------------------------------------------------------------------

function drawIdentity() {
  $("myId").textContent = ID && ID.id_bonito ? ID.id_bonito : "— — —";
  $("myKey").textContent = ID && ID.clave ? ID.clave : "——";
}

$("newKeyBtn").addEventListener("click", async () => {
  try {
    const r = await post("/api/clave/nueva", {});
    if (r && r.clave) {
      setAccessCode(r.clave);
      toast(t("newKeyDone", r.clave));
    }
  } catch (e) {
    toast(t("srvBad"));
  }
});

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
    else setSettingLocally("recibir", "disponible", on ? "si" : "no");
  } catch (err) {
    /* the switch still acts for this run */
    setSettingLocally("recibir", "disponible", on ? "si" : "no");
  }
  if (on) hostConnect();
  else hostDisconnect();
  drawHostStatus();
});

// --- language ------------------------------------------------------------------------

onLanguageChange(() => {
  drawAll();
  measureHeader();
});

$("langBtn").addEventListener("click", async () => {
  const next = LANG === "es" ? "en" : "es";
  // The settings form drawn now must show the new language, or its next save would
  // turn the page back.
  setSettingLocally("general", "idioma", next);
  changeLanguage(next);
  try {
    const r = await post("/api/ajustes", { general: { idioma: next } });
    if (r && r.ajustes) {
      setAJ(r.ajustes);
      if (TABS.current() === "ajustes") buildSettingsForm();
    }
  } catch (e) {
    /* the switch holds for this run */
  }
});

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

$("donBtn").addEventListener("click", donate);

// The shell redraws what changed.
onStateChange("identidad", drawIdentity);
onStateChange("estado", drawState);
onStateChange("ajustes", drawHostStatus);
onHostState(drawHostStatus);
