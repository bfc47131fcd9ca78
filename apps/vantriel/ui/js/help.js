// The help tab: the manual rendered by the host, its contents, links and print page.

import { $, AUTHOR, esc } from "./core.js";
import { LANG, onLanguageChange, t } from "./i18n.js";
import { get } from "./api.js";
import { donate, openLink } from "./actions.js";
import { drawUpdPanel } from "./update.js";

// The manual on screen: its language, whether one was asked for, the newest load, and
// the credit words it brought.
const MANUAL_VIEW = { lang: null, loaded: false, seq: 0, by: "", author: "" };

// The first visit loads the manual in the page's language; later visits keep the
// language the user picked with the manual's own buttons.
export function openHelp() {
  if (!MANUAL_VIEW.loaded) loadManual(LANG);
  drawUpdPanel();
}

// When the interface language changes, a manual on screen follows it.
onLanguageChange(() => {
  if (MANUAL_VIEW.loaded && MANUAL_VIEW.lang !== LANG) loadManual(LANG);
  drawUpdPanel();
});

// The credit line: the manual's own words once it is loaded, else the page's.
export function drawCredit() {
  const by = MANUAL_VIEW.by ? MANUAL_VIEW.by + " " + MANUAL_VIEW.author : t("creditBy") + " " + AUTHOR;
  $("credit").innerHTML =
    esc(by) + ' · <button type="button" class="link" id="siteBtn">' +
    esc(t("support")) + "</button>";
  $("siteBtn").addEventListener("click", () => openLink("sitio"));
}

async function loadManual(lang) {
  const seq = ++MANUAL_VIEW.seq;
  MANUAL_VIEW.lang = lang === "en" ? "en" : "es";
  MANUAL_VIEW.loaded = true;
  drawManualLangButtons();
  let r;
  try {
    r = await get("/api/manual?lang=" + MANUAL_VIEW.lang);
  } catch (e) {
    r = { ok: false, msg: "…" };
  }
  if (seq !== MANUAL_VIEW.seq) return; // a newer load replaced this one
  drawManual(r || { ok: false, msg: "…" });
}

function drawManualLangButtons() {
  $("mEs").setAttribute("aria-pressed", MANUAL_VIEW.lang === "es" ? "true" : "false");
  $("mEn").setAttribute("aria-pressed", MANUAL_VIEW.lang === "en" ? "true" : "false");
}

function tocHtml(toc) {
  if (!Array.isArray(toc) || !toc.length) return "";
  const item = (e) =>
    '<li><a href="#' + esc(e && e.id) + '" data-go="' + esc(e && e.id) + '">' + esc(e && e.title) + "</a>" +
    (e && Array.isArray(e.sub) && e.sub.length ? "<ol>" + e.sub.map(item).join("") + "</ol>" : "") +
    "</li>";
  return "<ol>" + toc.map(item).join("") + "</ol>";
}

function drawManual(r) {
  const toc = $("mToc");
  const body = $("mBody");
  if (!r.ok) {
    $("mTitle").textContent = t("tabHelp");
    $("mVer").textContent = "";
    toc.innerHTML = "";
    body.innerHTML = '<p class="note warn">' + esc(r.msg || "…") + "</p>";
    return;
  }
  const tx = r.txt || {};
  MANUAL_VIEW.by = String(tx.by || "");
  MANUAL_VIEW.author = String(r.author || "");
  drawCredit();
  $("mTitle").textContent = tx.title || t("tabHelp");
  $("mVer").textContent = (tx.ver || "") + " " + (r.version || "");
  toc.innerHTML = '<h3 id="mTocTitle">' + esc(tx.toc) + "</h3>" + tocHtml(r.toc);
  // The body comes from the host's own Markdown renderer, which escapes the text and
  // only lets https, mailto and in-page links through.
  body.innerHTML =
    String(r.html || "") +
    '<div class="mend"><img src="/img/firma.png" alt="' + esc(r.author) + '" width="200" height="48">' +
    "<p>" + esc(tx.by) + " " + esc(r.author) + " · " + esc(r.contact) + "</p>" +
    '<button type="button" class="btn primary" id="mDon">' +
    (MANUAL_VIEW.lang === "en" ? "☕ BUY ME A COFFEE" : "☕ INVÍTAME UN CAFÉ") + "</button></div>";
  $("mDon").addEventListener("click", donate);
}

function scrollToId(id) {
  const el = id && document.getElementById(id);
  if (!el || !$("mBody").contains(el)) return;
  el.scrollIntoView({ behavior: "smooth", block: "start" });
  if (!el.hasAttribute("tabindex")) el.tabIndex = -1;
  el.focus({ preventScroll: true });
}

$("mToc").addEventListener("click", (e) => {
  const a = e.target.closest("a[data-go]");
  if (!a) return;
  e.preventDefault();
  scrollToId(a.dataset.go);
});

$("mBody").addEventListener("click", (e) => {
  const a = e.target.closest("a[href]");
  if (!a) return;
  e.preventDefault();
  const href = a.getAttribute("href") || "";
  if (href.startsWith("#")) scrollToId(decodeURIComponent(href.slice(1)));
  else openLink("url", href);
});

$("mEs").addEventListener("click", () => loadManual("es"));
$("mEn").addEventListener("click", () => loadManual("en"));
$("mPrint").addEventListener("click", () => {
  window.open("/manual/imprimir?lang=" + (MANUAL_VIEW.lang || LANG), "_blank");
});
