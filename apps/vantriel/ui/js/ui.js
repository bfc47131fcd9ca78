// Generic pieces of the interface: toasts, redraws that keep focus, dialogs that hold
// focus, the modal, confirm, the pop-up menu, the bars under the header and the request
// sound.

import { $ } from "./core.js";
import { t } from "./i18n.js";
import { copyPlain } from "./keeper.js";

// What each container last drew, so that a redraw with the same content does nothing.
const drawn = new WeakMap();

// The selector that finds `el` again after a redraw: its id, else its data key.
function focusKey(el) {
  if (el.id) return "#" + CSS.escape(el.id);
  for (const k of ["data-u", "data-i2", "data-d"]) {
    if (el.hasAttribute(k)) return "[" + k + '="' + CSS.escape(el.getAttribute(k)) + '"]';
  }
  return null;
}

// Puts `html` into `el` only when it differs from what was drawn there last; the control
// that had the focus inside gets it back. Returns whether anything changed.
export function drawInto(el, html) {
  if (drawn.get(el) === html && el.innerHTML !== "") return false;
  const active = document.activeElement;
  const key = active && active !== el && el.contains(active) ? focusKey(active) : null;
  el.innerHTML = html;
  drawn.set(el, html);
  if (key) {
    const back = el.querySelector(key);
    if (back) back.focus();
  }
  return true;
}

let toastT = null;
// One toast at a time; a new one replaces the old. Plain text only.
export function toast(msg, ms) {
  const el = $("toast");
  clearTimeout(toastT);
  el.textContent = msg === null || msg === undefined ? "" : String(msg);
  el.classList.add("show");
  toastT = setTimeout(() => {
    el.classList.remove("show");
    el.textContent = "";
  }, ms || 3600);
}

// Copies a text and says whether it worked.
export async function copyText(text) {
  toast(t((await copyPlain(text)) ? "copied" : "copyFail"));
}

// Dialog focus handling: the dialog takes focus, Tab cycles inside it, and focus goes back
// to where it was when the dialog closes.
const FOCUSABLE =
  'a[href],button:not([disabled]),input:not([disabled]),select:not([disabled]),textarea:not([disabled]),[tabindex]:not([tabindex="-1"])';
const dialogStack = [];

export function openDialog(overlay, first) {
  const prev = document.activeElement;
  overlay.hidden = false;
  dialogStack.push({ overlay, prev });
  const target = first || overlay.querySelector(FOCUSABLE) || overlay.querySelector("[tabindex]");
  if (target) target.focus();
}

export function closeDialog(overlay) {
  const i = dialogStack.findIndex((d) => d.overlay === overlay);
  overlay.hidden = true;
  if (i < 0) return;
  const { prev } = dialogStack[i];
  dialogStack.splice(i, 1);
  // A control redrawn while the dialog was open is found again by its id.
  const back = prev && !document.contains(prev) && prev.id ? document.getElementById(prev.id) : prev;
  if (back && document.contains(back) && typeof back.focus === "function") back.focus();
}

document.addEventListener("keydown", (e) => {
  const top = dialogStack[dialogStack.length - 1];
  if (!top || e.key !== "Tab") return;
  const items = [...top.overlay.querySelectorAll(FOCUSABLE)].filter((el) => el.offsetParent !== null);
  if (!items.length) {
    e.preventDefault();
    return;
  }
  const first = items[0];
  const last = items[items.length - 1];
  if (!top.overlay.contains(document.activeElement)) {
    e.preventDefault();
    first.focus();
  } else if (e.shiftKey && document.activeElement === first) {
    e.preventDefault();
    last.focus();
  } else if (!e.shiftKey && document.activeElement === last) {
    e.preventDefault();
    first.focus();
  }
});

// The general modal. `bodyHtml` must already be escaped by the caller. Each button is
// {label, primary, onClick}; a button's onClick returning false keeps the modal open.
// Closes on a click outside the box or on Escape; onClose runs exactly once.
let modalClose = null;
export function modal(title, bodyHtml, buttons, onClose) {
  if (modalClose) closeModal();
  const m = $("modal");
  $("modalTitle").textContent = title;
  $("modalBody").innerHTML = bodyHtml;
  const bar = $("modalBtns");
  bar.textContent = "";
  let done = false;
  modalClose = () => {
    if (done) return;
    done = true;
    modalClose = null;
    closeDialog(m);
    if (onClose) onClose();
  };
  let focusBtn = null;
  (buttons || [{ label: t("close") }]).forEach((b) => {
    const el = document.createElement("button");
    el.type = "button";
    el.className = "btn" + (b.primary ? " primary" : "");
    el.textContent = b.label;
    el.addEventListener("click", () => {
      if (b.onClick && b.onClick() === false) return;
      closeModal();
    });
    bar.appendChild(el);
    if (b.focus) focusBtn = el;
  });
  openDialog(m, focusBtn);
}

export function closeModal() {
  if (modalClose) modalClose();
}

// Asks before an action; the safe choice (cancel) has the focus.
export function confirmAsk(text, okLabel, onYes) {
  modal(text, "", [
    { label: t("cancel"), focus: true },
    { label: okLabel, primary: true, onClick: () => { setTimeout(onYes, 0); } },
  ]);
}

$("modal").addEventListener("mousedown", (e) => {
  if (e.target === $("modal")) closeModal();
});
$("modal").addEventListener("keydown", (e) => {
  if (e.key === "Escape") {
    e.preventDefault();
    closeModal();
  }
});

// The pop-up menu shared by the session tools: opens 6 px under its button, kept 10 px
// inside the right edge, closes at the next click anywhere or on Escape. Each opening arms
// one click listener that closes it; every way of closing disarms it, or a click after an
// Escape would close the next menu as it opens.
let menuArm = 0;
let menuOpener = null;
function disarmMenu() {
  clearTimeout(menuArm);
  document.removeEventListener("click", closeMenu);
}
export function openMenu(btn, html) {
  disarmMenu();
  const m = $("menu");
  m.innerHTML = html;
  m.hidden = false;
  menuOpener = btn;
  const r = btn.getBoundingClientRect();
  m.style.top = r.bottom + 6 + "px";
  const left = Math.min(r.left, window.innerWidth - m.offsetWidth - 10);
  m.style.left = Math.max(10, left) + "px";
  const first = m.querySelector(FOCUSABLE);
  if (first) first.focus();
  menuArm = setTimeout(() => document.addEventListener("click", closeMenu, { once: true }), 0);
}
export function closeMenu() {
  disarmMenu();
  $("menu").hidden = true;
}
$("menu").addEventListener("keydown", (e) => {
  if (e.key !== "Escape") return;
  // Focus goes back to the menu's button, not to a hidden item.
  const back = menuOpener && menuOpener.id ? document.getElementById(menuOpener.id) : menuOpener;
  closeMenu();
  if (back && document.contains(back)) back.focus();
});

// --- the bars under the header -----------------------------------------------------------

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

// --- the request sound -------------------------------------------------------------------

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
