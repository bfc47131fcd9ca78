// Remote input decisions that do not need a browser: where a pointer lands on the
// shared picture, how wheel deltas become notches, the shortcut sequences, and the host
// page's queue of events waiting to be posted.

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

// The shortcut menu, in menu order, with the text key of each entry.
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

// The host page's queue of input waiting for /api/input. Ordered events keep their
// order; moves collapse to the latest, and an ordered event drops a pending move (the
// event carries its own position). The queue is bounded so that a peer flooding input
// cannot grow the page without limit: the excess is dropped and counted.
export class InputQueue {
  constructor(limit = 2000) {
    this.limit = limit;
    this.events = [];
    this.move = null;
    this.dropped = 0;
  }

  setMove(ev) {
    this.move = ev;
  }

  push(evs) {
    this.move = null;
    const room = this.limit - this.events.length;
    if (evs.length > room) {
      this.dropped += evs.length - Math.max(room, 0);
      evs = evs.slice(0, Math.max(room, 0));
    }
    for (const e of evs) this.events.push(e);
  }

  pending() {
    return this.events.length > 0 || this.move !== null;
  }

  // The next batch to post: up to `max` queued events, else the pending move.
  take(max = 200) {
    if (this.events.length) {
      const batch = this.events.splice(0, max);
      return batch;
    }
    const m = this.move;
    this.move = null;
    return m ? [m] : [];
  }

  clear() {
    this.events = [];
    this.move = null;
  }
}

// Input events as a peer sent them: only objects with a text `k` go on.
export function cleanEvents(ev) {
  if (!Array.isArray(ev)) return [];
  return ev.filter((e) => e && typeof e === "object" && !Array.isArray(e) && typeof e.k === "string");
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
