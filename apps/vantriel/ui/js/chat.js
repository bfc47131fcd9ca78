// Chat inside a session: lines on the control channel, shown in the chat panel.

import { $, esc } from "./core.js";
import { t } from "./i18n.js";
import { addSessionPart, SES, sendCtl } from "./session.js";

export const CHAT_MAX = 2000;

function addLine(who, text, kind) {
  const log = $("chatLog");
  const p = document.createElement("p");
  p.className = "cl " + kind;
  p.innerHTML = (who ? "<b>" + esc(who) + ":</b> " : "") + esc(text);
  log.appendChild(p);
  log.scrollTop = log.scrollHeight;
}

// A line from the system ("… connected").
export function chatSystem(text) {
  addLine("", text, "csys");
}

export function chatOwn(text) {
  addLine(t("you"), text, "cown");
}

// A line from the peer: the panel opens when it is closed.
export function chatIncoming(who, text) {
  if (typeof text !== "string") return;
  addLine(who, text, "cpeer");
  if ($("chat").hidden) showChat(true, false);
}

export function showChat(on, focus = true) {
  $("chat").hidden = !on;
  if (on && focus) $("chatIn").focus();
}

export function toggleChat() {
  showChat($("chat").hidden);
}

// The session ended: the panel closes and forgets its lines.
function chatReset() {
  $("chat").hidden = true;
  $("chatLog").textContent = "";
  $("chatIn").value = "";
}

addSessionPart({
  messages: { chat: (s, m) => chatIncoming(s.peer, m.text) },
  end: chatReset,
});

$("chatForm").addEventListener("submit", (e) => {
  e.preventDefault();
  const input = $("chatIn");
  const text = input.value.slice(0, CHAT_MAX).trim();
  const s = SES;
  if (!text || !s) return;
  if (!sendCtl(s, { t: "chat", text })) return;
  chatOwn(text);
  input.value = "";
});
$("chatClose").addEventListener("click", () => showChat(false));
