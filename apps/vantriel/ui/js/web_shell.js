// The shell of the technician's page in any browser: tabs, the language button, the
// settings this browser keeps, the manual's sections for the one who helps, and the
// redraws when what they show changes. The connect form, the viewer and the calls are
// the desktop page's own modules.

import { $, esc, yes } from "./core.js";
import { changeLanguage, LANG, onLanguageChange, t } from "./i18n.js";
import { loadIdentity, SECTION_GENERAL, setSettings, setting, SETTING_LANGUAGE, SETTINGS } from "./state.js";
import { makeTabs } from "./tabs.js";
import { measureHeader, toast } from "./ui.js";
import { drawRecents } from "./recents.js";
import { SESSION } from "./session.js";
import { drawViewer } from "./tech_session.js";
import { drawCall, fillMicList, micTest } from "./call.js";
import { saveWebSettings, webSettings } from "./web_keeper.js";

makeTabs(["conectar", "llamada", "ajustes", "ayuda"], (name) => {
  if (name === "ajustes") drawSettings();
  if (name === "ayuda") openManual();
});

export function drawAll() {
  drawKeysNote();
  drawRecents();
  if (SESSION && SESSION.role === "tech") drawViewer(SESSION);
  drawCall();
}

// What the keyboard can reach: Keyboard Lock (Chromium-family browsers) takes the system
// keys in full screen only; without it they never reach the other PC.
function drawKeysNote() {
  const el = $("webKeys");
  el.dataset.i = navigator.keyboard && navigator.keyboard.lock ? "webKeys" : "webNoLock";
  el.textContent = t(el.dataset.i);
}

// --- language ------------------------------------------------------------------------

onLanguageChange(() => {
  drawAll();
  measureHeader();
  if (!$("pane-ayuda").hidden) openManual();
  if (!$("pane-ajustes").hidden) drawSettings();
});

$("langBtn").addEventListener("click", () => {
  const next = LANG === "es" ? "en" : "es";
  if (!saveWebSettings({ idioma: next })) toast(t("webSaveFail"), 6000);
  setSettings(webSettings());
  changeLanguage(next);
});

// --- settings ------------------------------------------------------------------------

function drawSettings() {
  const a = SETTINGS || webSettings();
  const g = a.general || {};
  const l = a.llamada || {};
  $("setForm").innerHTML =
    '<div class="grid2">' +
    '<fieldset class="card"><legend><h2>' + esc(t("setGeneral")) + "</h2></legend>" +
    '<label class="fld"><span>' + esc(t("sName")) + '</span><input id="sName" maxlength="32" autocomplete="name" value="' +
    esc(g.nombre) + '" aria-describedby="sNameHint"></label>' +
    '<p class="tip" id="sNameHint">' + esc(t("webNameHint")) + "</p>" +
    '<label class="fld"><span>' + esc(t("sLang")) + '</span><select id="sLang">' +
    [["es", "Español (México)"], ["en", "English"]]
      .map(([v, label]) => '<option value="' + v + '"' + (v === LANG ? " selected" : "") + ">" + esc(label) + "</option>")
      .join("") +
    "</select></label>" +
    '<p class="tip">' + esc(t("webStored")) + "</p>" +
    "</fieldset>" +
    '<fieldset class="card"><legend><h2>' + esc(t("setCall")) + "</h2></legend>" +
    '<label class="fld"><span>' + esc(t("sMic")) + '</span><select id="sMic"><option value="">' + esc(t("sMicDef")) +
    "</option></select></label>" +
    '<div class="row"><button type="button" class="btn sm" id="sMicTest" aria-pressed="false">' + esc(t("sMicTest")) +
    '</button><div class="meter" aria-hidden="true"><i id="sMicMeter"></i></div></div>' +
    '<label class="switch"><input type="checkbox" role="switch" id="sProc"' + (yes(l.procesar_voz) ? " checked" : "") +
    '><span class="track" aria-hidden="true"></span><span>' + esc(t("sProc")) + "</span></label>" +
    "</fieldset></div>" +
    '<div class="btns left"><button type="submit" class="btn primary" id="sSave">' + esc(t("save")) + "</button></div>";
  $("sMicTest").addEventListener("click", () => micTest());
  fillMicList(l.microfono || "");
}

$("setForm").addEventListener("submit", async (e) => {
  e.preventDefault();
  const kept = saveWebSettings({
    nombre: $("sName").value,
    idioma: $("sLang").value === "en" ? "en" : "es",
    microfono: $("sMic").value,
    procesar_voz: $("sProc").checked ? "si" : "no",
  });
  setSettings(webSettings());
  await loadIdentity();
  const lang = setting(SECTION_GENERAL, SETTING_LANGUAGE) || LANG;
  if (lang !== LANG) changeLanguage(lang);
  else drawSettings();
  toast(kept ? t("saved") : t("webSaveFail"), kept ? 3000 : 6000);
});

// --- the manual ----------------------------------------------------------------------

const MANUAL = {}; // language -> the fragment's HTML, as the server built it

async function openManual() {
  const lang = LANG;
  let html = MANUAL[lang];
  if (html === undefined) {
    try {
      const r = await fetch("/manual_" + lang + ".html");
      if (!r.ok) throw new Error(String(r.status));
      html = MANUAL[lang] = await r.text();
    } catch (e) {
      html = null;
    }
  }
  if (lang !== LANG) return; // the language changed meanwhile: that opening draws it
  const body = $("mBody");
  if (html === null) {
    body.innerHTML = '<p class="note warn">' + esc(t("webManualFail")) + "</p>";
    $("mToc").innerHTML = "";
    return;
  }
  // The fragment is this server's own build of the manual, from the page's own origin.
  body.innerHTML = html;
  $("mToc").innerHTML =
    "<ul>" +
    Array.from(body.querySelectorAll("h2[id], h3[id]"))
      .map((h) => '<li class="' + h.tagName.toLowerCase() + '"><a href="#' + esc(h.id) + '">' + esc(h.textContent) + "</a></li>")
      .join("") +
    "</ul>";
}
