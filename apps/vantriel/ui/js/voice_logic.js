// Voice decisions that need no browser: call codes, the level of a block of samples,
// the meter's width, the speaking threshold, and how a call goes back into its room.

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

// A room socket that closes without the person leaving is opened again this many times.
export const REJOIN_TRIES = 8;

// The wait before reconnect attempt `n` (0 the first): 0.5 s doubling up to 8 s, spread a
// quarter either way so that a room's members do not all come back at once; null once
// the tries are spent (about 40 s in all: longer than a dead node takes to be noticed).
export function rejoinDelay(n, random = Math.random) {
  if (!(n >= 0) || n >= REJOIN_TRIES) return null;
  return Math.round(Math.min(8000, 500 * 2 ** n) * (0.75 + random() * 0.5));
}

// What a page that came back into its room does with its links to the other members.
// `me`: its member id before; `links`: Map of member id to its link's connectionState;
// `welcome`: the server's welcome. With another id than before its place was lost
// (`fresh`): every link goes and it offers to every member present, as a newcomer. Else
// links to present members that still carry audio are kept, and the others made again
// with this side offering; links to members away are kept (they offer when they come
// back); links to members no longer in the room go.
export function rejoinPlan(me, links, welcome) {
  const ids = (list) => (Array.isArray(list) ? list : []).filter((p) => p && typeof p.id === "string").map((p) => p.id);
  const present = ids(welcome.peers).filter((id) => id !== welcome.id);
  const away = ids(welcome.away).filter((id) => id !== welcome.id);
  if (welcome.id !== me) return { fresh: true, keep: [], offer: present, drop: [...links.keys()] };
  const keep = [], offer = [], drop = [];
  for (const id of present) {
    if (links.get(id) === "connected") {
      keep.push(id);
    } else {
      if (links.has(id)) drop.push(id);
      offer.push(id);
    }
  }
  for (const id of away) if (links.has(id)) keep.push(id);
  const inRoom = new Set([...present, ...away]);
  for (const id of links.keys()) if (!inRoom.has(id)) drop.push(id);
  return { fresh: false, keep, offer, drop };
}
