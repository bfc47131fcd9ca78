// The settings tab: the form is built from GET /api/ajustes every time the tab opens.

import {
  IDENTITY, KEEPER_STATE, loadIdentity, loadState, SECTION_GENERAL, SECTION_RECEIVE, setSettings, setting,
  SETTING_AVAILABLE, SETTING_LANGUAGE, SETTINGS,
} from "./state.js";
import { $, esc, yes } from "./core.js";
import { changeLanguage, LANG, onLanguageChange, t } from "./i18n.js";
import { get, post } from "./api.js";
import { confirmAsk, toast } from "./ui.js";
import { openLink } from "./actions.js";
import { closeRegistration, connectRegistration, dropIce, registrationState } from "./signal.js";
import { fillMicList, micTest } from "./call.js";
import { hostText } from "./host_texts.js";

// Whether the settings tab is the one shown.
function settingsShown() {
  return !$("pane-ajustes").hidden;
}

// A form on screen follows the interface language.
onLanguageChange(() => {
  if (settingsShown()) buildSettingsForm();
});

export async function openSettings() {
  try {
    setSettings(await get("/api/ajustes"));
  } catch (e) {
    /* build from what we have */
  }
  buildSettingsForm();
}

// A switch labelled with the text of `textId`, and its hint's text when given.
function swHtml(id, textId, on, hintTextId) {
  return (
    '<label class="switch"><input type="checkbox" role="switch" id="' + id + '"' + (on ? " checked" : "") +
    (hintTextId ? ' aria-describedby="' + id + 'Hint"' : "") + '><span class="track" aria-hidden="true"></span><span>' +
    esc(t(textId)) + "</span></label>" +
    (hintTextId ? '<p class="tip" id="' + id + 'Hint">' + esc(t(hintTextId)) + "</p>" : "")
  );
}

function selHtml(id, textId, value, options) {
  return (
    '<label class="fld"><span>' + esc(t(textId)) + '</span><select id="' + id + '">' +
    options
      .map(([v, label]) => '<option value="' + esc(v) + '"' + (v === value ? " selected" : "") + ">" + esc(label) + "</option>")
      .join("") +
    "</select></label>"
  );
}

export function buildSettingsForm() {
  const focused = document.activeElement && $("setForm").contains(document.activeElement) ? document.activeElement.id : "";
  drawSettingsForm();
  if (focused && $(focused)) $(focused).focus();
}

function drawSettingsForm() {
  // The form is where the settings file's names meet the page: read and written as they are.
  const a = SETTINGS || {};
  const g = a.general || {};
  const r = a.recibir || {};
  const l = a.llamada || {};
  const quality = ["auto", "nitidez", "fluidez"].includes(r.calidad) ? r.calidad : "auto";
  const fps = ["15", "30", "60"].includes(String(r.fps)) ? String(r.fps) : "30";
  const f = $("setForm");
  f.innerHTML =
    '<div class="grid2">' +
    '<fieldset class="card"><legend><h2>' + esc(t("setGeneral")) + "</h2></legend>" +
    '<label class="fld"><span>' + esc(t("sName")) + '</span><input id="sName" maxlength="32" autocomplete="off" value="' +
    esc(g.nombre) + '" placeholder="' + esc(IDENTITY && IDENTITY.name) + '" aria-describedby="sNameHint"></label>' +
    '<p class="tip" id="sNameHint">' + esc(t("sNameHint")) + "</p>" +
    selHtml("sLang", "sLang", g.idioma === "en" ? "en" : "es", [["es", "Español (México)"], ["en", "English"]]) +
    swHtml("sAutostart", "sAutostart", !!(KEEPER_STATE && KEEPER_STATE.autostart), "sAutostartHint") +
    swHtml("sUpd", "sUpd", g.buscar_actualizaciones !== "no") +
    "</fieldset>" +
    '<fieldset class="card"><legend><h2>' + esc(t("setReceive")) + "</h2></legend>" +
    swHtml("sAvail", "sAvail", yes(r.disponible)) +
    swHtml("sCtl", "sCtl", yes(r.permitir_control)) +
    swHtml("sAud", "sAud", yes(r.compartir_audio)) +
    selHtml("sQual", "sQual", quality, [["auto", t("qAuto")], ["nitidez", t("qText")], ["fluidez", t("qMotion")]]) +
    selHtml("sFps", "sFps", fps, [["15", "15"], ["30", "30"], ["60", "60"]]) +
    swHtml("sSound", "sSound", yes(r.sonido)) +
    '<div class="fld"><span id="sNewIdLbl">' + esc(t("sNewId")) + "</span>" +
    '<div class="row"><b class="mono">' + esc(IDENTITY && IDENTITY.formatId) + '</b><button type="button" class="btn sm" id="sNewIdBtn" aria-describedby="sNewIdHint">' +
    esc(t("sNewIdBtn")) + '</button></div><p class="tip" id="sNewIdHint">' + esc(t("sNewIdHint")) + "</p></div>" +
    "</fieldset>" +
    '<fieldset class="card"><legend><h2>' + esc(t("setCall")) + "</h2></legend>" +
    selHtml("sMic", "sMic", l.microfono || "", [["", t("sMicDef")]].concat(l.microfono ? [[l.microfono, String(l.microfono).slice(0, 10)]] : [])) +
    '<div class="row"><button type="button" class="btn sm" id="sMicTest" aria-pressed="false">' + esc(t("sMicTest")) +
    '</button><div class="meter" aria-hidden="true"><i id="sMicMeter"></i></div></div>' +
    swHtml("sProc", "sProc", yes(l.procesar_voz)) +
    "</fieldset>" +
    '<fieldset class="card"><legend><h2>' + esc(t("setAdvanced")) + "</h2></legend>" +
    '<label class="fld"><span>' + esc(t("sServer")) + '</span><input id="sServer" autocomplete="off" spellcheck="false" value="' +
    esc(g.servidor) + '" placeholder="' + esc(KEEPER_STATE && KEEPER_STATE.server) + '" aria-describedby="sServerHint"></label>' +
    '<p class="tip" id="sServerHint">' + esc(t("sServerHint")) + "</p>" +
    '<button type="button" class="btn sm" id="sTest">' + esc(t("sTest")) + "</button>" +
    "</fieldset></div>" +
    '<div class="btns left"><button type="submit" class="btn primary" id="sSave">' + esc(t("save")) + "</button>" +
    '<button type="button" class="btn" id="sLog">' + esc(t("log")) + "</button>" +
    '<button type="button" class="btn" id="sData">' + esc(t("dataFolder")) + "</button></div>";
  $("sNewIdBtn").addEventListener("click", askNewId);
  $("sTest").addEventListener("click", testServer);
  $("sLog").addEventListener("click", () => openLink("log"));
  $("sData").addEventListener("click", () => openLink("datos"));
  $("sMicTest").addEventListener("click", () => micTest());
  fillMicList(l.microfono || "");
}

function readSettingsForm() {
  const sw = (id) => ($(id).checked ? "si" : "no");
  return {
    general: {
      nombre: $("sName").value.trim(),
      idioma: $("sLang").value,
      buscar_actualizaciones: sw("sUpd"),
      servidor: $("sServer").value.trim(),
    },
    recibir: {
      disponible: sw("sAvail"),
      permitir_control: sw("sCtl"),
      compartir_audio: sw("sAud"),
      calidad: $("sQual").value,
      fps: $("sFps").value,
      sonido: sw("sSound"),
    },
    llamada: { microfono: $("sMic").value, procesar_voz: sw("sProc") },
  };
}

$("setForm").addEventListener("submit", (e) => {
  e.preventDefault();
  saveSettings();
});

async function saveSettings() {
  const body = readSettingsForm();
  const autostart = $("sAutostart").checked;
  const before = IDENTITY ? { server: IDENTITY.server, name: IDENTITY.name } : null;
  let r;
  try {
    r = await post("/api/ajustes", body);
  } catch (e) {
    toast(t("srvBad"));
    return;
  }
  if (!r || !r.ok) {
    toast(hostText(r && r.msg) || "…", 6000);
    return;
  }
  let note = "";
  if (KEEPER_STATE && autostart !== !!KEEPER_STATE.autostart) {
    try {
      const w = await post("/api/inicio_windows", { on: autostart });
      if (w && w.msg) note = String(hostText(w.msg));
    } catch (e) {
      /* reported through the state below */
    }
  }
  setSettings(r.ajustes || SETTINGS);
  const lang = setting(SECTION_GENERAL, SETTING_LANGUAGE) === "en" ? "en" : "es";
  if (lang !== LANG) changeLanguage(lang);
  await loadIdentity();
  await loadState();
  buildSettingsForm();
  const changed = !before || !IDENTITY || before.server !== IDENTITY.server || before.name !== IDENTITY.name;
  if (changed || !yes(setting(SECTION_RECEIVE, SETTING_AVAILABLE))) {
    closeRegistration();
    dropIce();
    connectRegistration();
  } else if (registrationState() === "off") {
    connectRegistration();
  }
  // The start-with-Windows note would vanish under the saved toast: show both.
  if (note) toast(t("saved") + " · " + note, 6000);
  else toast(t("saved"));
}

// New ID: confirm, ask the host (which refuses during a session), then re-register.
function askNewId() {
  confirmAsk(t("sNewIdAsk"), t("sNewIdBtn"), async () => {
    let r;
    try {
      r = await post("/api/id/nuevo", {});
    } catch (e) {
      toast(t("srvBad"));
      return;
    }
    if (!r || !r.ok) {
      toast(hostText(r && r.msg) || "…", 6000);
      return;
    }
    closeRegistration();
    await loadIdentity();
    connectRegistration();
    if (settingsShown()) buildSettingsForm();
    toast(IDENTITY ? IDENTITY.formatId : "");
  });
}

// The base URL the server test checks: the field, else the server in use, less one "/".
export function serverTestUrl(field, inUse) {
  let u = String(field || "").trim() || String(inUse || "");
  if (u.endsWith("/")) u = u.slice(0, -1);
  return u + "/health";
}

async function testServer() {
  const url = serverTestUrl($("sServer").value, KEEPER_STATE && KEEPER_STATE.server);
  try {
    const r = await fetch(url, { cache: "no-store" });
    const j = await r.json();
    if (j && j.app === "vantriel") {
      toast(t("srvOk") + " · v" + (j.v === undefined ? "" : j.v));
      return;
    }
  } catch (e) {
    /* falls through to the refusal */
  }
  toast(t("srvBad"));
}
