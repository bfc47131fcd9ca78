// File transfer decisions that need no browser: the name a received file is saved
// under, the size shown in the dialog, and which names are programs or scripts.

export const FILE_MAX = 2000000000;
export const FILE_CHUNK = 65536;

// Path separators, characters Windows refuses in names, and control characters become
// "_"; the name is cut to 180 characters; a missing name is "archivo".
export function cleanFileName(name) {
  if (typeof name !== "string" || name === "") return "archivo";
  return name.replace(/[\\/:*?"<>|\u0000-\u001f]/g, "_").slice(0, 180);
}

export function sizeText(bytes) {
  const n = Number(bytes) || 0;
  if (n >= 1e9) return (n / 1e9).toFixed(2) + " GB";
  if (n >= 1e6) return (n / 1e6).toFixed(1) + " MB";
  return Math.max(1, Math.round(n / 1000)) + " KB";
}

const RISKY = [".exe", ".msi", ".bat", ".cmd", ".ps1", ".vbs", ".js", ".jse", ".scr", ".com", ".lnk", ".reg", ".hta", ".jar", ".dll"];

export function isRisky(name) {
  const n = String(name || "").toLowerCase();
  return RISKY.some((ext) => n.endsWith(ext));
}

// A new transfer id: 7 random base-36 characters.
export function transferId() {
  const r = new Uint8Array(7);
  crypto.getRandomValues(r);
  return Array.from(r, (b) => (b % 36).toString(36)).join("");
}
