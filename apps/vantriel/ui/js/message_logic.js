// Bounds on what the other side of a session may send on `ctl`, decided without a browser.
// The peer is not trusted: a modified page can send any message at any rate. Every bound
// here is far above what a person at the other page can produce with its controls, so an
// honest peer never meets one; a message over its bound is dropped and counted.

// A chat line: the chat input's maxlength (index.html), which the sender also cuts at.
export const CHAT_MAX_CHARS = 2000;
// Lines kept in the chat panel; older ones go (an evening of talk is far fewer).
export const CHAT_LOG_MAX_LINES = 500;
// Clipboard text either way: 64 Ki characters is dozens of pages, and stays under the
// data channel's 256 KiB per message even as three-byte UTF-8.
export const CLIP_MAX_CHARS = 65536;
// The other person's name as shown (the signalling server keeps 64 bytes of a name).
export const PEER_NAME_MAX = 64;

// Rates per message kind: `rate` per second with a burst of `burst`. A person presses a
// button or Enter a few times a second at most; the bursts cover a queue that was held up
// and arrives at once.
//   chat       lines: a fast typist sends one every few seconds
//   chatOpen   a received line opens the closed panel three times, then at most once
//              every 10 s; lines in between are kept in the panel
//   call       microphone on/off: one per click
//   callToast  "turned on the microphone" at most once every 15 s
//   clip       clipboard reads and writes together: one per menu click; each read can
//              hold a worker of the host process for seconds
//   offer      file offers: one per file, each waiting for the person's answer
//   quality    quality and frame-rate changes, each reconfiguring the encoder
//   perm       the host's hello and permission changes, as the technician receives them
export const RATES = {
  chat: { rate: 2, burst: 10 },
  chatOpen: { rate: 0.1, burst: 3 },
  call: { rate: 2, burst: 6 },
  callToast: { rate: 1 / 15, burst: 1 },
  clip: { rate: 0.5, burst: 3 },
  offer: { rate: 1, burst: 5 },
  quality: { rate: 4, burst: 8 },
  perm: { rate: 4, burst: 10 },
};

// A token bucket: `take(now)` spends a token when one is there. `now` in ms, from any
// clock that does not go back (a clock that does is treated as standing still).
export class TokenBucket {
  constructor(rate, burst) {
    this.rate = rate;
    this.burst = burst;
    this.tokens = burst;
    this.at = null;
  }

  take(now) {
    if (this.at !== null && now > this.at) this.tokens = Math.min(this.burst, this.tokens + ((now - this.at) / 1000) * this.rate);
    if (this.at === null || now > this.at) this.at = now;
    if (this.tokens < 1) return false;
    this.tokens -= 1;
    return true;
  }
}

// The bounds of one session's peer: a bucket per kind of RATES and a count of what was
// dropped per kind. Kinds are this module's own names, never the peer's, so neither map
// grows beyond RATES.
export class PeerGuard {
  constructor() {
    this.buckets = new Map();
    this.drops = new Map();
  }

  // Whether a message of `kind` may be taken now.
  allow(kind, now) {
    const r = RATES[kind];
    if (!r) throw new Error("no rate for " + kind);
    let b = this.buckets.get(kind);
    if (!b) this.buckets.set(kind, (b = new TokenBucket(r.rate, r.burst)));
    return b.take(now);
  }

  // Counts a dropped message of `kind` (a kind of RATES or of DROP_KINDS); returns the
  // running count.
  drop(kind) {
    if (!Object.prototype.hasOwnProperty.call(RATES, kind) && !DROP_KINDS.includes(kind)) kind = "other";
    const n = (this.drops.get(kind) || 0) + 1;
    this.drops.set(kind, n);
    return n;
  }
}

// Drops that are not about a rate: a message over a size bound or of the wrong shape.
export const DROP_KINDS = ["chatSize", "clipSize", "clipBusy", "offerQuiet", "other"];

// Whether a running count is worth a line in the console: the 1st, 2nd, 4th, 8th... so
// a flood of drops costs a few lines, not one per message.
export function dropWorthLogging(n) {
  return n > 0 && (n & (n - 1)) === 0;
}

// The session's guard, made on first use (the parts share it).
export function guardOf(s) {
  return s.guard || (s.guard = new PeerGuard());
}

// Drops a message of `kind` and says so in the console now and then.
export function dropPeer(s, kind) {
  const n = guardOf(s).drop(kind);
  if (dropWorthLogging(n)) console.info("peer message dropped (" + kind + "): " + n + " so far this session");
}

// The text of a received chat line, or null when it is not one or is over the bound.
export function chatText(m) {
  const text = m && m.text;
  if (typeof text !== "string" || !text || text.length > CHAT_MAX_CHARS) return null;
  return text;
}

// The text of a clipboard message (`clip-set` to the host, `clip` to the technician):
// a string up to CLIP_MAX_CHARS; "" for none; null when over the bound.
export function clipText(m) {
  const text = m && m.text;
  if (typeof text !== "string") return "";
  return text.length > CLIP_MAX_CHARS ? null : text;
}

// Characters a name is shown without: format characters (bidirectional overrides,
// embeddings and isolates, zero-width spaces and joiners, the byte-order mark, the Arabic
// letter mark, tags), other controls, line and paragraph separators, lone surrogates.
// U+202E makes "photo\u202Egpj.pif" show as "photofip.jpg".
const INVISIBLE = /[\p{Cf}\p{Cc}\p{Zl}\p{Zp}\p{Cs}]/gu;

export function stripInvisible(text) {
  return String(text).replace(INVISIBLE, "");
}

// Cuts `text` to at most `max` UTF-16 units without splitting a surrogate pair.
export function cutText(text, max) {
  if (text.length <= max) return text;
  const c = text.charCodeAt(max - 1);
  return text.slice(0, c >= 0xd800 && c <= 0xdbff ? max - 1 : max);
}

// The other person's name as shown, from a peer's message: text without invisible
// characters, trimmed, at most PEER_NAME_MAX; null when nothing is left.
export function peerName(v) {
  if (typeof v !== "string") return null;
  const name = cutText(stripInvisible(v).trim(), PEER_NAME_MAX).trim();
  return name || null;
}

// One clipboard request at a time, at the `clip` rate: `begin(now)` says "ok" (the
// request goes on, and `end()` must follow), "busy" or "rate". A refused request gets
// the usual failure reply, so the asking page stops waiting.
export class ClipGate {
  constructor(guard) {
    this.guard = guard;
    this.busy = false;
  }

  begin(now) {
    if (this.busy) return "busy";
    if (!this.guard.allow("clip", now)) return "rate";
    this.busy = true;
    return "ok";
  }

  end() {
    this.busy = false;
  }
}

// "14:05:09": the time of day a notice refers to.
export function clockText(date) {
  const d = date instanceof Date ? date : new Date(date);
  if (Number.isNaN(d.getTime())) return "";
  return [d.getHours(), d.getMinutes(), d.getSeconds()].map((n) => String(n).padStart(2, "0")).join(":");
}
