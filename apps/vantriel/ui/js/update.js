// The update bar under the header, the panel in the help tab, the "updating" overlay
// and the polling, all driven by /api/update (which answers null while the host has no
// updater: then both stay quiet).

import { KEEPER_STATE, setUpdateState } from "./state.js";
import { $, esc } from "./core.js";
import { LANG, t } from "./i18n.js";
import { get, post } from "./api.js";
import { closeDialog, drawInto, modal, openDialog, showBar, toast } from "./ui.js";
import { openLink } from "./actions.js";
import { hostText } from "./host_texts.js";

const UPD_BUSY = ["downloading", "verifying", "waiting", "installing"];
let updTimer = null;

export function updState() {
  const st = KEEPER_STATE;
  return st && st.update && typeof st.update === "object" ? st.update : null;
}

export function updBusy(u) {
  return !!u && UPD_BUSY.includes(u.phase);
}

export function updStore(st) {
  setUpdateState(st);
  drawUpdBar();
  drawUpdPanel();
}

function pctOf(u) {
  const n = Math.round(Number(u && u.pct) || 0);
  return Math.max(0, Math.min(100, n));
}

// Release notes: escaped first; **bold**; lines starting with "- " become bullets.
export function notesHtml(md) {
  return esc(md)
    .split("\n")
    .map((line) => {
      const l = line.trim().startsWith("- ") ? "• " + line.trim().slice(2) : line;
      return l.replace(/\*\*(.+?)\*\*/g, "<b>$1</b>");
    })
    .join("<br>");
}

// What the bar shows for a state: null (hidden), or {kind, html} where html is built
// from escaped arguments only.
export function updBarContent(u) {
  if (!u) return null;
  if (u.result && typeof u.result === "object" && u.result.version) {
    const html = u.result.ok ? t("updOk", esc(u.result.version)) : t("updFail", esc(hostText(u.result.error)));
    return { kind: u.result.ok ? "result-ok" : "result-fail", html };
  }
  if (updBusy(u)) return { kind: "busy", html: t("updBusy", esc(hostText(u.msg))) };
  if (u.available && u.latest && typeof u.latest === "object" && String(u.dismissed) !== String(u.latest.version)) {
    return { kind: "available", html: t("updAvail", esc(u.latest.version), esc(u.current)) };
  }
  return null;
}

function drawUpdBar() {
  const u = updState();
  const c = updBarContent(u);
  const bar = $("updBar");
  announce(c);
  if (!c) {
    drawInto(bar, "");
    showBar("updBar", false);
    return;
  }
  let html = '<div class="btxt">' + c.html + "</div>";
  if (c.kind === "result-ok" || c.kind === "result-fail") {
    html += '<button type="button" class="btn sm" data-u="seen">OK</button>';
  } else if (c.kind === "busy") {
    const p = pctOf(u);
    html += '<div class="prog" role="progressbar" aria-valuemin="0" aria-valuemax="100" aria-valuenow="' + p +
      '" aria-label="' + esc(t("updating")) + '"><i style="width:' + p + '%"></i></div>';
  } else {
    html += '<button type="button" class="btn sm" data-u="news">' + esc(t("updNews")) + "</button>";
    html += u.can_install
      ? '<button type="button" class="btn sm primary" data-u="install">' + esc(t("updNow")) + "</button>"
      : '<button type="button" class="btn sm primary" data-u="site">' + esc(t("updSite")) + "</button>";
    html += '<button type="button" class="btn sm ghost" data-u="dismiss">' + esc(t("updLater")) + "</button>";
  }
  bar.className = "bar upd " + c.kind;
  drawInto(bar, html);
  showBar("updBar", true);
}

// What the bar says goes to a polite live region of its own, at a humane rate: a new
// state is said once, and progress only at every tenth of the way.
let lastSaid = "";
function announce(c) {
  let key = "";
  let text = "";
  if (c) {
    // An inert document: nothing in it loads or runs.
    text = new DOMParser().parseFromString(c.html, "text/html").body.textContent;
    key = c.kind;
    if (c.kind === "busy") {
      const u = updState();
      const step = Math.floor(pctOf(u) / 10) * 10;
      key += ":" + u.phase + ":" + step;
      text += " · " + step + " %";
    }
  }
  if (key === lastSaid) return;
  lastSaid = key;
  $("updLive").textContent = text;
}

export function drawUpdPanel() {
  const box = $("mUpd");
  const u = updState();
  if (!u) {
    box.hidden = true;
    drawInto(box, "");
    return;
  }
  box.hidden = false;
  const busy = updBusy(u);
  const checking = u.phase === "checking";
  const avail = !!(u.available && u.latest && typeof u.latest === "object");
  const locale = LANG === "en" ? "en-US" : "es-MX";
  const last = Number(u.last_check) > 0 ? new Date(Number(u.last_check) * 1000).toLocaleString(locale) : t("updNever");
  let line = esc(t("updInstalled")) + " v" + esc(u.current);
  if (avail) line += " · " + esc(t("updNew")) + " v" + esc(u.latest.version);
  else if (u.msg) line += " · " + esc(hostText(u.msg));
  if ((busy || checking) && pctOf(u)) line += " · " + pctOf(u) + "%";
  line += " · " + esc(t("updLast")) + ": " + esc(last);
  let btns = "";
  if (avail && u.can_install && !busy && !checking) {
    btns += '<button type="button" class="btn" data-u="news">' + esc(t("updNews")) + "</button>";
    btns += '<button type="button" class="btn primary" data-u="install">' + esc(t("updNowBig")) + "</button>";
  }
  // aria-disabled, not disabled: a button that had the focus keeps it while checking.
  btns += '<button type="button" class="btn' + (avail ? "" : " primary") + '" data-u="check"' +
    (busy || checking ? ' aria-disabled="true"' : "") + ">" + esc(checking ? t("updChecking") : t("updCheck")) + "</button>";
  drawInto(box,
    "<h2>" + esc(t("updTitle")) + '</h2><p class="muted">' + line + "</p>" +
    '<label class="switch"><input type="checkbox" role="switch" data-u="auto"' + (u.auto ? " checked" : "") +
    '><span class="track" aria-hidden="true"></span><span>' + esc(t("updAuto")) + "</span></label>" +
    '<div class="btns left">' + btns + "</div>");
}

async function updAction(action, extra) {
  let r;
  try {
    r = await post("/api/update", Object.assign({ action }, extra || {}));
  } catch (e) {
    return;
  }
  if (r && typeof r === "object" && "phase" in r) updStore(r);
  if (action === "check") {
    toast(t("searching"));
    updSchedule(1200);
  }
}

async function updInstall() {
  let r;
  try {
    r = await post("/api/update", { action: "install" });
  } catch (e) {
    r = null;
  }
  if (!r || !r.ok) {
    toast(hostText(r && r.msg) || "…", 6000);
    return;
  }
  if ("current" in r) updStore(r);
  toast(t("downloading"));
  updSchedule(0);
}

function updNews() {
  const u = updState();
  const changes = u && u.latest && Array.isArray(u.latest.changes) ? u.latest.changes : [];
  const body = changes.length
    ? changes
        .map((c) => '<div class="news"><p><b>v' + esc(c && c.version) + "</b> " + esc(c && c.date) + "</p><p>" + notesHtml(c && c.md) + "</p></div>")
        .join("")
    : "<p>" + esc(t("noNotes")) + "</p>";
  const btns = [{ label: t("close"), focus: true }];
  if (u && u.can_install) btns.push({ label: t("updNowBig"), primary: true, onClick: () => { setTimeout(updInstall, 0); } });
  modal(t("newsTitle"), body, btns);
}

function onUpdClick(e) {
  const b = e.target.closest("[data-u]");
  if (!b || b.tagName === "INPUT") return;
  const u = updState();
  switch (b.dataset.u) {
    case "seen": updAction("seen"); break;
    case "dismiss": updAction("dismiss"); break;
    case "check": if (b.getAttribute("aria-disabled") !== "true") updAction("check"); break;
    case "install": updInstall(); break;
    case "news": updNews(); break;
    case "site": openLink("url", u && u.page); break;
  }
}
$("updBar").addEventListener("click", onUpdClick);
$("mUpd").addEventListener("click", onUpdClick);
$("mUpd").addEventListener("change", (e) => {
  if (e.target.dataset && e.target.dataset.u === "auto") updAction("auto", { on: e.target.checked });
});

function showUpover(on) {
  const o = $("upover");
  if (on && o.hidden) openDialog(o, o.querySelector(".upbox"));
  else if (!on && !o.hidden) closeDialog(o);
}

// One poll timer: a new poll cancels the pending one.
export function updSchedule(ms) {
  clearTimeout(updTimer);
  updTimer = setTimeout(updPoll, ms);
}

async function updPoll() {
  clearTimeout(updTimer);
  let st;
  try {
    st = await get("/api/update");
  } catch (e) {
    // The process is being replaced: keep the overlay and keep asking.
    showUpover(true);
    updSchedule(1500);
    return;
  }
  if (!$("upover").hidden && !(st && st.phase === "installing")) {
    location.reload();
    return;
  }
  updStore(st);
  if (st && st.phase === "installing") showUpover(true);
  if (st && (st.phase === "checking" || updBusy(st))) updSchedule(1000);
  else if (st && st.msg && st.phase !== "idle") toast(hostText(st.msg));
}
