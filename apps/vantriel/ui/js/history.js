// The session history, drawn from the last state.

import { KEEPER_STATE } from "./state.js";
import { $, esc, formatId, mmss } from "./core.js";
import { LANG, t } from "./i18n.js";
import { drawInto } from "./ui.js";

const HIST_COLS = {
  es: ["Fecha", "Tipo", "Con", "Duración", "Control"],
  en: ["Date", "Role", "Who", "Length", "Control"],
};

export function drawHistory() {
  const box = $("history");
  const list = KEEPER_STATE && Array.isArray(KEEPER_STATE.history) ? KEEPER_STATE.history : [];
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
      const recv = s.received;
      const id = formatId(s.peerId);
      return (
        "<tr><td>" + esc(s.date) + "</td>" +
        "<td>" + esc(recv ? t("histRecv") : t("histGave")) + "</td>" +
        "<td><b>" + esc(s.peer) + "</b>" + (id ? ' <span class="muted">' + esc(id) + "</span>" : "") + "</td>" +
        "<td>" + esc(mmss(s.seconds)) + "</td>" +
        "<td>" + (recv ? esc(s.control ? t("histCtl") : t("histView")) : "") + "</td></tr>"
      );
    })
    .join("");
  drawInto(box, '<div class="tscroll"><table class="hist"><thead><tr>' + head + "</tr></thead><tbody>" + rows + "</tbody></table></div>");
}

