// Remote input decisions that do not need a browser: where a pointer lands on the
// shared picture, how wheel deltas become notches, the shortcut sequences, and the host
// page's queue of events waiting to be posted.
//
// What the host page takes from a peer, and what a caller may rely on:
// - cleanEvents / peerEvents / peerMove return new objects holding only the members each
//   kind uses, with the right types and bounded sizes (a key code is 1 to KEY_CODE_MAX_CHARS
//   letters and digits, a button 0-4, a wheel amount an integer within WHEEL_MAX, positions
//   finite numbers); an event with a required member missing or wrong is dropped, and a
//   message with more than IN_MAX_EVENTS events gives none. They never throw.
// - peerText returns the "t" event for a `text` message of 1 to TEXT_MAX_CHARS characters
//   (code points), with unpaired surrogates replaced, or null: a longer text is dropped
//   whole, never cut.
// - InputQueue never holds more than QUEUE_MAX_EVENTS events nor more than QUEUE_MAX_CHARS
//   characters of text, counts in `dropped` every event it refuses, and hands out batches
//   of at most BATCH_MAX_CHARS characters of text.
// The host holds the same text bounds on its own (2,000 characters a text, and a batch).

// The pointer's position as fractions of the picture, which is `vw`×`vh` shown centred
// in `box` with its aspect ratio kept (black bars around it). A point on a bar gives a
// value outside 0-1, sent as it is.
export function pointerFraction(box, vw, vh, clientX, clientY) {
  const w = vw > 0 ? vw : 16;
  const h = vh > 0 ? vh : 9;
  const scale = Math.min(box.width / w, box.height / h);
  const pw = w * scale;
  const ph = h * scale;
  const left = box.left + (box.width - pw) / 2;
  const top = box.top + (box.height - ph) / 2;
  const round = (v) => Math.round(v * 100000) / 100000;
  return { x: round((clientX - left) / pw), y: round((clientY - top) / ph) };
}

const WHEEL_MODE = [1, 40, 800]; // pixels, lines, pages

// Accumulates wheel deltas and hands out whole notches of 40: `add` returns the "w" event
// to send, or null while less than one notch has gathered. A usual 100-pixel notch is 120.
export class WheelAccumulator {
  constructor() {
    this.dx = 0;
    this.dy = 0;
  }

  add(deltaX, deltaY, deltaMode) {
    const k = (WHEEL_MODE[deltaMode] || 1) * 1.2;
    this.dx += (Number(deltaX) || 0) * k;
    this.dy -= (Number(deltaY) || 0) * k;
    const take = (v) => (Math.abs(v) >= 40 ? Math.trunc(v / 40) * 40 : 0);
    const ox = take(this.dx);
    const oy = take(this.dy);
    if (!ox && !oy) return null;
    this.dx -= ox;
    this.dy -= oy;
    return { k: "w", dy: oy, dx: ox };
  }
}

// The shortcut menu, in menu order, with the text id of each entry.
export const COMBOS = [
  ["taskmgr", "kTaskmgr", ["ControlLeft", "ShiftLeft", "Escape"]],
  ["win", "kWin", ["MetaLeft"]],
  ["run", "kRun", ["MetaLeft", "KeyR"]],
  ["explorer", "kExplorer", ["MetaLeft", "KeyE"]],
  ["settings", "kSettings", ["MetaLeft", "KeyI"]],
  ["desk", "kDesk", ["MetaLeft", "KeyD"]],
  ["alttab", "kAltTab", ["AltLeft", "Tab"]],
  ["altf4", "kAltF4", ["AltLeft", "F4"]],
  ["lock", "kLock", ["MetaLeft", "KeyL"]],
  ["prt", "kPrt", ["PrintScreen"]],
];

// The events of one shortcut: every key down in order, then every key up in reverse.
export function comboEvents(keys) {
  return keys.map((c) => ({ k: "kd", c })).concat(keys.slice().reverse().map((c) => ({ k: "ku", c })));
}

// A text is typed by the host at a person's scale: the technician's "type text" dialog is
// for a password, a command or a short paragraph (2,000 characters is a long one: up to
// about 5 s of typing), and nothing queued behind it may wait for minutes.
export const TEXT_MAX_CHARS = 2000;
export const BATCH_MAX_CHARS = TEXT_MAX_CHARS; // the host refuses text past this per batch
export const QUEUE_MAX_EVENTS = 2000;
export const QUEUE_MAX_CHARS = 2 * TEXT_MAX_CHARS;
// An `in` message carries one action of a person: a shortcut is the longest, at 6 events.
export const IN_MAX_EVENTS = 32;
export const KEY_CODE_MAX_CHARS = 32; // "MediaTrackPrevious" is 18
export const WHEEL_MAX = 2400; // the host clamps to this, 20 notches

// Characters (code points) of `s`, counted up to max + 1.
function charCount(s, max) {
  if (s.length > 2 * max) return max + 1;
  let n = 0;
  for (const _ of s) if (++n > max) break;
  return n;
}

function textChars(e) {
  return e.k === "t" && typeof e.s === "string" ? charCount(e.s, QUEUE_MAX_CHARS) : 0;
}

// The host page's queue of input waiting for /api/input. Ordered events keep their
// order; moves collapse to the latest, and an ordered event drops a pending move (the
// event carries its own position). The queue is bounded so that a peer flooding input
// cannot grow the page without limit: the excess is dropped and counted; a text that does
// not fit is dropped whole.
export class InputQueue {
  constructor(limit = QUEUE_MAX_EVENTS, maxChars = QUEUE_MAX_CHARS) {
    this.limit = limit;
    this.maxChars = maxChars;
    this.events = [];
    this.chars = 0; // characters of text queued
    this.move = null;
    this.dropped = 0;
  }

  setMove(ev) {
    this.move = ev;
  }

  push(evs) {
    this.move = null;
    for (const e of evs) {
      const n = textChars(e);
      if (this.events.length >= this.limit || this.chars + n > this.maxChars) {
        this.dropped++;
        continue;
      }
      this.events.push(e);
      this.chars += n;
    }
  }

  pending() {
    return this.events.length > 0 || this.move !== null;
  }

  // The next batch to post: up to `max` queued events holding at most `maxChars`
  // characters of text (a text that would pass it starts the next batch), else the
  // pending move.
  take(max = 200, maxChars = BATCH_MAX_CHARS) {
    if (this.events.length) {
      let n = 0;
      let chars = 0;
      while (n < this.events.length && n < max) {
        const c = textChars(this.events[n]);
        if (n > 0 && chars + c > maxChars) break;
        chars += c;
        n++;
      }
      this.chars -= chars;
      return this.events.splice(0, n);
    }
    const m = this.move;
    this.move = null;
    return m ? [m] : [];
  }

  clear() {
    this.events = [];
    this.chars = 0;
    this.move = null;
  }
}

const num = (v) => typeof v === "number" && Number.isFinite(v);
const KEY_CODE = new RegExp("^[A-Za-z0-9]{1," + KEY_CODE_MAX_CHARS + "}$");

// One event as the host reads it, rebuilt from what a peer sent, or null. A position is
// optional on buttons (the pointer stays) and required on a move.
function cleanEvent(e) {
  if (!e || typeof e !== "object" || Array.isArray(e) || typeof e.k !== "string") return null;
  const at = num(e.x) && num(e.y) ? { x: e.x, y: e.y } : {};
  switch (e.k) {
    case "m":
      return "x" in at ? { k: "m", ...at } : null;
    case "d":
    case "u":
      return Number.isInteger(e.b) && e.b >= 0 && e.b <= 4 ? { k: e.k, b: e.b, ...at } : null;
    case "w": {
      const amount = (v) => (Number.isInteger(v) ? Math.max(-WHEEL_MAX, Math.min(WHEEL_MAX, v)) : 0);
      const dx = amount(e.dx);
      const dy = amount(e.dy);
      return dx || dy ? { k: "w", dy, dx } : null;
    }
    case "kd":
    case "ku":
      return typeof e.c === "string" && KEY_CODE.test(e.c) ? { k: e.k, c: e.c } : null;
    case "rel":
      return { k: "rel" };
    case "t":
      return peerText(e.s);
    default:
      return null;
  }
}

// Input events as a peer sent them, each rebuilt with only its kind's members; a message
// of more than IN_MAX_EVENTS events gives none.
export function cleanEvents(ev) {
  if (!Array.isArray(ev) || ev.length > IN_MAX_EVENTS) return [];
  const out = [];
  for (const e of ev) {
    const c = cleanEvent(e);
    if (c) out.push(c);
  }
  return out;
}

// What a peer may send in an `in` message: pointer, buttons, wheel, keys and the release.
// Typed text comes only as a `text` message, which the host page turns into its own "t"
// event in the same queue.
const PEER_KINDS = ["m", "d", "u", "w", "kd", "ku", "rel"];

export function peerEvents(ev) {
  return cleanEvents(ev).filter((e) => PEER_KINDS.includes(e.k));
}

// The move of a message on `mov`: its last "m" event, or null; nothing else travels there.
export function peerMove(ev) {
  const moves = cleanEvents(ev).filter((e) => e.k === "m");
  return moves.length ? moves[moves.length - 1] : null;
}

// The "t" event for the text of a `text` message, or null when it is not a text of 1 to
// TEXT_MAX_CHARS characters. An unpaired surrogate (which no keyboard types, and which
// would make the host refuse the whole batch) becomes U+FFFD.
export function peerText(s) {
  if (typeof s !== "string" || !s || charCount(s, TEXT_MAX_CHARS) > TEXT_MAX_CHARS) return null;
  return { k: "t", s: s.replace(/[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/g, "\uFFFD") };
}
