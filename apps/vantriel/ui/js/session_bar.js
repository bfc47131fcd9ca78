// What the two sides' bars do alike (the host's bar, the technician's viewer): the
// session's clock, the statistics line, a redraw that keeps the focus on the control that
// had it, the dispatch of their buttons, and the moment a session's start is over.

import { $, mmss } from "./core.js";
import { t } from "./i18n.js";
import { addSessionPart, sessionNote, SESSION, startStats } from "./session.js";
import { chatSystem } from "./chat.js";

// The time since the connection came up into element `id`; `idle` before that.
export function drawClock(s, id, idle) {
  const el = $(id);
  if (el && SESSION === s) el.textContent = s.started ? mmss((Date.now() - s.started) / 1000) : idle;
}

// The statistics line (s.statLine) into element `id`.
export function drawStats(s, id) {
  const el = $(id);
  if (el) el.textContent = s.statLine || "";
}

// Puts `html` in `bar` and runs `after`; a control of the bar that had the focus has it
// again (the same id), so a redraw while the person uses the bar does not move them.
export function redrawBar(bar, html, after) {
  const focused = document.activeElement && bar.contains(document.activeElement) ? document.activeElement.id : null;
  bar.innerHTML = html;
  if (after) after();
  if (focused && $(focused)) $(focused).focus();
}

// A click on a button of `bar` while a session of `role` runs calls handlers[button id]
// with the session and the button.
export function onBarButtons(bar, role, handlers) {
  bar.addEventListener("click", (e) => {
    const s = SESSION;
    const b = e.target.closest("button");
    if (!s || s.role !== role || !b) return;
    const fn = Object.prototype.hasOwnProperty.call(handlers, b.id) ? handlers[b.id] : null;
    if (fn) fn(s, b);
  });
}

// The session is set up: the keeper hears of it, the chat says who is connected, the
// statistics start, and the clock ticks into element `clockId`. Returns the keeper's
// answer to the news.
export function sessionUnderway(s, clockId, idle) {
  const told = sessionNote(s);
  chatSystem(t("chatSys", s.peer));
  startStats(s);
  clearInterval(s.clockT);
  s.clockT = setInterval(() => drawClock(s, clockId, idle), 1000);
  return told;
}

addSessionPart({ end: (s) => clearInterval(s.clockT) });
