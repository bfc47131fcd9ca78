// The shell, the top of the page: tabs, header, status pills, identity card, the connect
// form, the language button, quit and donation; and the redraws when what they show
// changes.

import {
  IDENTITY, KEEPER_STATE, onStateChange, SECTION_GENERAL, SECTION_RECEIVE, setAccessCode, setSettingLocally,
  setSettings, setting, SETTING_AVAILABLE, SETTING_LANGUAGE,
} from "./state.js";
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
import { closeRegistration, connectRegistration, onRegistrationState, registrationState } from "./signal.js";
import { endSession, SESSION } from "./session.js";
import { drawHostBar } from "./host_session.js";
import { drawViewer } from "./tech_session.js";
import { CALL, drawCall, leaveCall } from "./call.js";
import { accessCodeOf } from "./keeper_host.js";

const TABS = makeTabs(["conectar", "llamada", "ajustes", "ayuda"], (name) => {
  if (name === "ajustes") openSettings();
  if (name === "ayuda") openHelp();
});

// --- state -------------------------------------------------------------------------

function drawState() {
  const st = KEEPER_STATE;
  if (!st) return;
  $("adminNote").hidden = st.admin !== false;
  drawPills();
  drawRecents();
  drawHistory();
  updStore(st.update);
}

export function drawAll() {
  drawIdentity();
  drawRegistrationStatus();
  drawState();
  drawCredit();
  drawHostBar();
  if (SESSION && SESSION.role === "tech") drawViewer(SESSION);
  drawCall();
}

// --- header pills and registration status -----------------------------------------------

function drawPills() {
  const srv = $("pillSrv");
  const st = registrationState();
  srv.className = "pill " + (st === "online" ? "ok" : st === "off" ? "" : "bad");
  srv.textContent = st === "online" ? t("pillSrvOk") : t("pillSrvBad");
  const ad = $("pillAdmin");
  const admin = !!(KEEPER_STATE && KEEPER_STATE.admin);
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

// The registration's state as the status line shows it: its class and text id.
const REGISTRATION_LINES = {
  online: ["ok", "online"],
  connecting: ["warn", "connecting"],
  error: ["bad", "offlineSrv"],
  off: ["", "unavailable"],
  taken: ["bad", "srvTaken"],
  replaced: ["bad", "srvReplaced"],
};

function drawRegistrationStatus() {
  const st = registrationState();
  const [cls, textId] = REGISTRATION_LINES[st] || REGISTRATION_LINES.off;
  const el = $("hostStatus");
  el.className = "status " + cls;
  el.innerHTML =
    '<span class="sdot" aria-hidden="true"></span><span>' + esc(t(textId)) + "</span>" +
    (st === "replaced"
      ? ' <button type="button" class="btn sm" id="reconnectBtn">' + esc(t("reconnect")) + "</button>"
      : "");
  const rb = $("reconnectBtn");
  if (rb) rb.addEventListener("click", () => connectRegistration());
  $("availSw").checked = yes(setting(SECTION_RECEIVE, SETTING_AVAILABLE));
  drawPills();
}

// --- identity card -------------------------------------------------------------------

function drawIdentity() {
  const me = IDENTITY;
  $("myId").textContent = me && me.formatId ? me.formatId : "— — —";
  $("myKey").textContent = me && me.accessCode ? me.accessCode : "——";
}

$("newKeyBtn").addEventListener("click", async () => {
  try {
    const r = await post("/api/clave/nueva", {});
    const accessCode = accessCodeOf(r);
    if (accessCode) {
      setAccessCode(accessCode);
      toast(t("newKeyDone", accessCode));
    }
  } catch (e) {
    toast(t("srvBad"));
  }
});

$("copyIdBtn").addEventListener("click", () => {
  if (IDENTITY) copyText(IDENTITY.formatId);
});
$("copyBothBtn").addEventListener("click", () => {
  if (!IDENTITY) return;
  const accessCodeWord = LANG === "en" ? " · Key: " : " · Clave: ";
  copyText("Vantriel · ID: " + IDENTITY.formatId + accessCodeWord + IDENTITY.accessCode);
});

// The availability switch saves `disponible`, then registers or closes.
$("availSw").addEventListener("change", async (e) => {
  const on = e.target.checked;
  try {
    const r = await post("/api/ajustes", { recibir: { disponible: on ? "si" : "no" } });
    if (r && r.ajustes) setSettings(r.ajustes);
    else setSettingLocally(SECTION_RECEIVE, SETTING_AVAILABLE, on ? "si" : "no");
  } catch (err) {
    /* the switch still acts for this run */
    setSettingLocally(SECTION_RECEIVE, SETTING_AVAILABLE, on ? "si" : "no");
  }
  if (on) connectRegistration();
  else closeRegistration();
  drawRegistrationStatus();
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
  setSettingLocally(SECTION_GENERAL, SETTING_LANGUAGE, next);
  changeLanguage(next);
  try {
    const r = await post("/api/ajustes", { general: { idioma: next } });
    if (r && r.ajustes) {
      setSettings(r.ajustes);
      if (TABS.current() === "ajustes") buildSettingsForm();
    }
  } catch (e) {
    /* the switch holds for this run */
  }
});

// --- quit, donation, credit ----------------------------------------------------------

$("quitBtn").addEventListener("click", () => {
  confirmAsk(t("quitAsk"), t("quit"), async () => {
    if (SESSION) endSession("local", true);
    if (CALL) leaveCall();
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
onStateChange("identity", drawIdentity);
onStateChange("state", drawState);
onStateChange("settings", drawRegistrationStatus);
onRegistrationState(drawRegistrationStatus);
