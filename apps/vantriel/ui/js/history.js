// Recent connections and the session history, both drawn from the last state.

import { onStateChange, S, setRecents } from "./state.js";
import { $, esc, fmtIdField, mmss, prettyId, shortDate } from "./core.js";
import { LANG, t } from "./i18n.js";
import { post } from "./api.js";
import { drawInto } from "./ui.js";

export function drawRecents() {
  const ul = $("recents");
  const list = S && Array.isArray(S.recientes) ? S.recientes : [];
  if (!list.length) {
    drawInto(ul, '<li class="empty">' + esc(t("noRecents")) + "</li>");
    return;
  }
  drawInto(ul, list
    .map((r, i) => {
      const id = prettyId(r && r.id);
      return (
        '<li><button type="button" class="rsel" data-i2="' + i + '">' +
        '<span class="rid">' + esc(id) + "</span>" +
        '<span class="rname">' + esc(r && r.nombre) + "</span>" +
        '<span class="rdate">' + esc(shortDate(r && r.fecha)) + "</span></button>" +
        '<button type="button" class="rdel" data-d="' + i + '" title="' + esc(t("removeRecent")) +
        '" aria-label="' + esc(t("removeRecent") + ": " + id) + '">✕</button></li>'
      );
    })
    .join(""));
}

$("recents").addEventListener("click", async (e) => {
  const list = S && Array.isArray(S.recientes) ? S.recientes : [];
  const del = e.target.closest(".rdel");
  if (del) {
    const r = list[Number(del.dataset.d)];
    if (!r) return;
    try {
      const out = await post("/api/recientes/quitar", { id: String(r.id) });
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
    $("peerId").value = fmtIdField(r.id);
    $("peerKey").value = "";
    $("peerKey").focus();
  }
});

const HIST_COLS = {
  es: ["Fecha", "Tipo", "Con", "Duración", "Control"],
  en: ["Date", "Role", "Who", "Length", "Control"],
};

export function drawHistory() {
  const box = $("history");
  const list = S && Array.isArray(S.sesiones) ? S.sesiones : [];
  if (!list.length) {
    drawInto(box, '<p class="empty">' + esc(t("noHistory")) + "</p>");
    return;
  }
  const cols = HIST_COLS[LANG] || HIST_COLS.es;
  const head = cols
    .map((c, i) => '<th scope="col"' + (i === 1 || i === 4 ? ' class="vh-th"><span class="vh">' + esc(c) + "</span>" : ">" + esc(c)) + "</th>")
    .join("");
  const rows = list
    .map((s) => {
      s = s || {};
      const recv = s.rol === "recibi";
      const id = prettyId(s.id);
      return (
        "<tr><td>" + esc(s.fecha) + "</td>" +
        "<td>" + esc(recv ? t("histRecv") : t("histGave")) + "</td>" +
        "<td><b>" + esc(s.con) + "</b>" + (id ? ' <span class="muted">' + esc(id) + "</span>" : "") + "</td>" +
        "<td>" + esc(mmss(s.segundos)) + "</td>" +
        "<td>" + (recv ? esc(s.control ? t("histCtl") : t("histView")) : "") + "</td></tr>"
      );
    })
    .join("");
  drawInto(box, '<div class="tscroll"><table class="hist"><thead><tr>' + head + "</tr></thead><tbody>" + rows + "</tbody></table></div>");
}

onStateChange("recientes", drawRecents);
