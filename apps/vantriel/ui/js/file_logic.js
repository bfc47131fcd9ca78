// File transfer decisions that need no browser: the name a received file is saved
// under, the size shown in the dialog, and which names are programs or scripts.

import { cutText, stripInvisible } from "./message_logic.js";

export const FILE_MAX = 2000000000;
export const FILE_CHUNK = 65536;

// Path separators, characters Windows refuses in names, and control characters become
// "_"; invisible characters (bidirectional overrides, zero-width and other format
// characters) go, so the name saved is the name the dialog showed; the name is cut to 180
// characters; a missing name is "archivo".
export function cleanFileName(name) {
  if (typeof name !== "string") return "archivo";
  const clean = cutText(stripInvisible(name.replace(/[\\/:*?"<>|\u0000-\u001f\u007f-\u009f]/g, "_")), 180);
  return clean === "" ? "archivo" : clean;
}

export function sizeText(bytes) {
  const n = Number(bytes) || 0;
  if (n >= 1e9) return (n / 1e9).toFixed(2) + " GB";
  if (n >= 1e6) return (n / 1e6).toFixed(1) + " MB";
  return Math.max(1, Math.round(n / 1000)) + " KB";
}

// Endings Windows (and a Linux desktop) runs, installs, mounts or opens as code: programs
// and installers, scripts, shortcuts that point anywhere, control-panel and console
// files, compiled help, disk images (what they hold escapes the download's mark).
const RISKY = [
  ".exe", ".com", ".scr", ".pif", ".cpl", ".dll", ".msi", ".msp", ".mst", ".msc", ".appref-ms", ".application",
  ".bat", ".cmd", ".ps1", ".psm1", ".psd1", ".vbs", ".vbe", ".js", ".jse", ".wsf", ".wsh", ".hta", ".jar", ".reg",
  ".inf", ".lnk", ".scf", ".url", ".settingcontent-ms", ".chm", ".iso", ".img", ".vhd", ".vhdx",
  ".desktop", ".sh", ".appimage", ".run",
];

// Whether a name is a program or script by its ending, in any case. Windows drops trailing
// dots and spaces from a name ("setup.exe. " is "setup.exe"), and invisible characters
// hide nothing here either.
export function isRisky(name) {
  const n = stripInvisible(String(name || "")).toLowerCase().replace(/[. ]+$/, "");
  return RISKY.some((ext) => n.endsWith(ext));
}

// An offer on the `file` channel taken apart: its id (at most 32 characters, echoed in
// the answer), the name cleaned, the size; `ok` false when the size is not a number of
// bytes we take.
export function readOffer(m) {
  const id = m && typeof m.id === "string" ? m.id.slice(0, 32) : "";
  // Only a number: Number() of an object the peer made can throw.
  const size = m && typeof m.size === "number" ? m.size : NaN;
  const ok = size > 0 && size <= FILE_MAX && Number.isFinite(size);
  return { id, name: cleanFileName(m && m.name), size: ok ? size : 0, ok };
}

// When an offer may open its dialog. A peer that offers and withdraws in a loop would
// flash dialogs at the person: after an offer is withdrawn unanswered, the next dialog
// waits a quiet time, doubled with each withdrawal in a row (3 s, 6 s... up to a minute)
// and back to 3 s once the person answers one. Offers beyond the `offer` rate are
// refused. `offer(now)` says "show", "wait" (with `waitMs`) or "refuse".
export const OFFER_QUIET_MS = 3000;
export const OFFER_QUIET_MAX_MS = 60000;

export class OfferGate {
  constructor(guard) {
    this.guard = guard;
    this.quietUntil = 0;
    this.quietMs = OFFER_QUIET_MS;
    this.waitMs = 0;
  }

  offer(now) {
    if (!this.guard.allow("offer", now)) return "refuse";
    // Never longer than the longest quiet time, should the clock have gone back.
    this.waitMs = Math.min(OFFER_QUIET_MAX_MS, Math.max(0, this.quietUntil - now));
    return this.waitMs > 0 ? "wait" : "show";
  }

  withdrawn(now) {
    this.quietUntil = now + this.quietMs;
    this.quietMs = Math.min(OFFER_QUIET_MAX_MS, this.quietMs * 2);
  }

  answered() {
    this.quietMs = OFFER_QUIET_MS;
  }
}

// A new transfer id: 7 random base-36 characters.
export function transferId() {
  const r = new Uint8Array(7);
  crypto.getRandomValues(r);
  return Array.from(r, (b) => (b % 36).toString(36)).join("");
}
