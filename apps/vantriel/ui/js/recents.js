// The technician's recent connections, drawn from the last state; a click fills the
// connect form, the cross forgets one.

import { KEEPER_STATE, onStateChange, setRecents } from "./state.js";
import { $, esc, formatId, formatIdField, shortDate } from "./core.js";
import { t } from "./i18n.js";
import { keeper } from "./keeper.js";
import { drawInto } from "./ui.js";

function recentList() {
  return KEEPER_STATE && Array.isArray(KEEPER_STATE.recents) ? KEEPER_STATE.recents : [];
}

export function drawRecents() {
  const ul = $("recents");
  const list = recentList();
  if (!list.length) {
    drawInto(ul, '<li class="empty">' + esc(t("noRecents")) + "</li>");
    return;
  }
  drawInto(ul, list
    .map((r, i) => {
      const id = formatId(r && r.id);
      return (
        '<li><button type="button" class="rsel" data-i2="' + i + '">' +
        '<span class="rid">' + esc(id) + "</span>" +
        '<span class="rname">' + esc(r && r.name) + "</span>" +
        '<span class="rdate">' + esc(shortDate(r && r.date)) + "</span></button>" +
        '<button type="button" class="rdel" data-d="' + i + '" title="' + esc(t("removeRecent")) +
        '" aria-label="' + esc(t("removeRecent") + ": " + id) + '">✕</button></li>'
      );
    })
    .join(""));
}

$("recents").addEventListener("click", async (e) => {
  const list = recentList();
  const del = e.target.closest(".rdel");
  if (del) {
    const r = list[Number(del.dataset.d)];
    if (!r) return;
    try {
      const out = await keeper().removeRecent(String(r.id));
      setRecents(out);
    } catch (err) {
      return;
    }
    drawRecents();
    const next = $("recents").querySelector(".rsel") || $("peerId");
    next.focus();
    return;
  }
  const sel = e.target.closest(".rsel");
  if (sel) {
    const r = list[Number(sel.dataset.i2)];
    if (!r) return;
    $("peerId").value = formatIdField(r.id);
    $("peerKey").value = "";
    $("peerKey").focus();
  }
});

onStateChange("recents", drawRecents);
