// Chat inside a session: lines on the control channel, shown in the chat panel.

import { $, esc } from "./core.js";
import { t } from "./i18n.js";
import { addSessionPart, SESSION, sendCtl } from "./session.js";
import { CHAT_LOG_MAX_LINES, CHAT_MAX_CHARS, chatText, dropPeer, guardOf } from "./message_logic.js";

export const CHAT_MAX = CHAT_MAX_CHARS;

function addLine(who, text, kind) {
  const log = $("chatLog");
  const p = document.createElement("p");
  p.className = "cl " + kind;
  p.innerHTML = (who ? "<b>" + esc(who) + ":</b> " : "") + esc(text);
  log.appendChild(p);
  while (log.childElementCount > CHAT_LOG_MAX_LINES) log.firstElementChild.remove();
  log.scrollTop = log.scrollHeight;
}

// A line from the system ("… connected").
export function chatSystem(text) {
  addLine("", text, "csys");
}

export function chatOwn(text) {
  addLine(t("you"), text, "cown");
}

// A line from the peer (or the note of a file it sent): the panel opens when it is
// closed, at most once in a while for a session's peer (a closed panel stays closed
// against a flood; the lines wait in it).
export function chatIncoming(who, text, s = null) {
  if (typeof text !== "string") return;
  addLine(who, text, "cpeer");
  if ($("chat").hidden && (!s || guardOf(s).allow("chatOpen", Date.now()))) showChat(true, false);
}

// A `chat` message: over its length or the line rate it is dropped.
function onChat(s, m) {
  const text = chatText(m);
  if (text === null) return dropPeer(s, "chatSize");
  if (!guardOf(s).allow("chat", Date.now())) return dropPeer(s, "chat");
  chatIncoming(s.peer, text, s);
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
  messages: { chat: onChat },
  end: chatReset,
});

$("chatForm").addEventListener("submit", (e) => {
  e.preventDefault();
  const input = $("chatIn");
  const text = input.value.slice(0, CHAT_MAX).trim();
  const s = SESSION;
  if (!text || !s) return;
  if (!sendCtl(s, { t: "chat", text })) return;
  chatOwn(text);
  input.value = "";
});
$("chatClose").addEventListener("click", () => showChat(false));
