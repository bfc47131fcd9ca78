// Chat inside a session: lines on the control channel, shown in the chat panel (#chat).
// Today the panel keeps the session's system lines; sending and receiving lines come
// with the chat work.

import { $, esc } from "./core.js";

export const CHAT_MAX = 2000;

// A line from the system ("… connected"), escaped.
export function chatSystem(text) {
  const el = $("chat");
  if (!el) return;
  const p = document.createElement("p");
  p.className = "csys";
  p.innerHTML = esc(text);
  el.appendChild(p);
}

// The session ended: the panel closes and forgets its lines.
export function chatReset() {
  const el = $("chat");
  if (!el) return;
  el.hidden = true;
  el.textContent = "";
}
