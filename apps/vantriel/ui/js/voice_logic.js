// Voice decisions that need no browser: call codes, the level of a block of samples,
// the meter's width and the speaking threshold.

// New codes leave out I, O, 0 and 1, which are easy to misread aloud.
export const CALL_ALPHABET = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";

// A new code from six random 32-bit values (the browser's cryptographic generator by
// default), each modulo 32 indexing the alphabet.
export function newCallCode(random = (n) => crypto.getRandomValues(new Uint32Array(n))) {
  return Array.from(random(6), (n) => CALL_ALPHABET[n % 32]).join("");
}

// A typed call code: trimmed, upper case, exactly six of A-Z and 0-9; else null.
export function normCallCode(v) {
  const c = String(v === null || v === undefined ? "" : v).trim().toUpperCase();
  return /^[A-Z0-9]{6}$/.test(c) ? c : null;
}

export function rms(samples) {
  if (!samples || !samples.length) return 0;
  let sum = 0;
  for (const v of samples) sum += v * v;
  return Math.sqrt(sum / samples.length);
}

// The meter's width in per cent for a level.
export function meterPct(level) {
  return Math.min(100, level * 400);
}

export const TALK_LEVEL = 0.02;

export function isTalking(level, muted) {
  return !muted && level > TALK_LEVEL;
}
