// The page's constants and the small pure helpers every other module uses; no state.
// The host replaces the two placeholders below before serving the page.
export const TOKEN = "__TOKEN__";
export const VER = "__VERSION__";

export const DONATE_URL = "https://vantriel.app/donar";
export const AUTHOR = "Suite MRV";

export const $ = (id) => document.getElementById(id);

// Escapes any text before it is placed in HTML: host, peer and user texts alike.
export function esc(v) {
  if (v === null || v === undefined) return "";
  return String(v)
    .replace(/&/g, "&amp;")
    .replace(/</g, "&lt;")
    .replace(/>/g, "&gt;")
    .replace(/"/g, "&quot;")
    .replace(/'/g, "&#39;");
}

// A setting read as a switch: off only for "no", "0", "false" or "off" (trimmed, any
// case); anything else, an empty or missing value included, is on.
export function yes(v) {
  if (v === null || v === undefined) return true;
  const s = String(v).trim().toLowerCase();
  return !(s === "no" || s === "0" || s === "false" || s === "off");
}

// Nine digits as three groups of three; anything else as its bare digits.
export function formatId(v) {
  const d = String(v === null || v === undefined ? "" : v).replace(/\D/g, "");
  return d.length === 9 ? d.slice(0, 3) + " " + d.slice(3, 6) + " " + d.slice(6) : d;
}

// Seconds as m:ss, or h:mm:ss from one hour on; negative counts as 0.
export function mmss(sec) {
  let s = Math.floor(Number(sec) || 0);
  if (s < 0) s = 0;
  const h = Math.floor(s / 3600);
  const m = Math.floor((s % 3600) / 60);
  const ss = String(s % 60).padStart(2, "0");
  return h > 0 ? h + ":" + String(m).padStart(2, "0") + ":" + ss : m + ":" + ss;
}

// The ID field as the user types: digits only, at most nine, a space after the third
// and the sixth digit as soon as another digit follows.
export function formatIdField(v) {
  const d = String(v === null || v === undefined ? "" : v).replace(/\D/g, "").slice(0, 9);
  let out = d.slice(0, 3);
  if (d.length > 3) out += " " + d.slice(3, 6);
  if (d.length > 6) out += " " + d.slice(6);
  return out;
}

// The position in `text` just after its `n`-th digit (0 for none): where the cursor
// goes after the ID field is reformatted.
export function caretAfterDigits(text, n) {
  if (n <= 0) return 0;
  let seen = 0;
  for (let i = 0; i < text.length; i++) {
    if (text[i] >= "0" && text[i] <= "9" && ++seen === n) return i + 1;
  }
  return text.length;
}

// The access code as the technician typed it, without blanks and dashes, upper case.
export function cleanAccessCode(v) {
  return String(v === null || v === undefined ? "" : v).replace(/[\s-]/g, "").toUpperCase();
}

// "2026-03-05 07:04:09" shown to the minute.
export function shortDate(v) {
  return String(v === null || v === undefined ? "" : v).slice(0, 16);
}
