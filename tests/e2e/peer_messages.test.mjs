// What a hostile peer can send on `ctl` and `file`, generated and mutated from a seed:
// random JSON of random shapes and mutations of real messages (wrong types, huge
// strings, deep nesting, invisible characters, prototype keys, cut frames), taken apart
// by the page's own parser and decided on by its pure modules under a simulated clock.
// Nothing may throw, nothing kept may outgrow its bound, and nothing forbidden may pass.
// Remote input (`in`, `text`, `mov`) goes through the host page's input queue the same way.
// PEER_SEED=<n> repeats a run; PEER_ROUNDS=<n> changes its length.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { pageModule } from './lib/page_scripts.mjs';

const { parseMessage } = await pageModule('session.js');
const {
  CHAT_MAX_CHARS, CLIP_MAX_CHARS, ClipGate, PEER_NAME_MAX, PeerGuard, RATES, DROP_KINDS, chatText, clipText,
  dropWorthLogging, peerName,
} = await pageModule('message_logic.js');
const { qualityAfter, QUALITIES } = await pageModule('screen.js');
const { FILE_MAX, OFFER_QUIET_MAX_MS, OFFER_QUIET_MS, OfferGate, isRisky, readOffer } = await pageModule('file_logic.js');

const {
  BATCH_MAX_CHARS, IN_MAX_EVENTS, InputQueue, QUEUE_MAX_CHARS, QUEUE_MAX_EVENTS, TEXT_MAX_CHARS, peerEvents, peerMove, peerText,
} = await pageModule('input_logic.js');

const SEED = Number(process.env.PEER_SEED) || (Date.now() % 2 ** 31);
const ROUNDS = Number(process.env.PEER_ROUNDS) || 6000;
console.log(`peer messages: seed ${SEED}, ${ROUNDS} rounds (PEER_SEED=${SEED} repeats it)`);

// mulberry32: small, seeded, good enough to pick shapes.
function prng(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 2 ** 32;
  };
}
const rnd = prng(SEED);
const int = (n) => Math.floor(rnd() * n);
const pick = (list) => list[int(list.length)];
const chance = (p) => rnd() < p;

// Characters a name or line must not smuggle through, and some ordinary ones.
const INVISIBLES = ['\u202A', '\u202B', '\u202C', '\u202D', '\u202E', '\u2066', '\u2067', '\u2068', '\u2069', '\u200B',
  '\u200C', '\u200D', '\u200E', '\u200F', '\u061C', '\uFEFF', '\u00AD', '\u2060', '\u180E', '\u2028', '\u2029', '\u{E0041}'];
const CONTROLS = ['\u0000', '\u0001', '\t', '\n', '\r', '\u001f', '\u007f', '\u0085', '\u009f'];
const SEPARATORS = ['/', '\\', ':', '*', '?', '"', '<', '>', '|'];
const PLAIN = ['a', 'Z', '0', ' ', '.', '-', 'ñ', 'é', '€', '中', 'ع', '😀', '\uD800', '\uDC00'];
const KEYS = ['t', 'text', 'name', 'id', 'size', 'on', 'ok', 'big', 'q', 'fps', 'mons', 'ev', '__proto__', 'constructor',
  'prototype', 'toString', 'hasOwnProperty', ''];
const TYPES = ['chat', 'call', 'clip-set', 'clip-get', 'clip', 'clip-ok', 'quality', 'hello', 'perm', 'fs', 'fa', 'fe',
  'bye', 'in', 'text', '__proto__', 'constructor', 'toString', ''];
const RISKY_NEW = ['.pif', '.cpl', '.msc', '.wsf', '.scf', '.url', '.iso', '.img', '.vhd', '.vhdx', '.appref-ms', '.chm',
  '.psm1', '.desktop', '.sh', '.exe', '.js', '.lnk'];

function text(max) {
  const n = chance(0.05) ? int(max) : int(40);
  let s = '';
  for (let i = 0; i < n; i++) s += pick(pick([PLAIN, PLAIN, PLAIN, INVISIBLES, CONTROLS, SEPARATORS]));
  return s;
}

function value(depth = 0) {
  switch (int(depth > 3 ? 5 : 8)) {
    case 0: return null;
    case 1: return chance(0.5);
    case 2: return pick([0, -0, 1, -1, 0.5, 2000000000, 2000000001, 1e308, -1e308, 2 ** 53 + 1, Number.MAX_VALUE]);
    case 3: case 4: return text(pick([100, 3000, 70000]));
    case 5: return Array.from({ length: int(5) }, () => value(depth + 1));
    default: {
      const o = {};
      // Own keys, "__proto__" included, as JSON.parse makes them.
      for (let i = int(5); i > 0; i--) Object.defineProperty(o, pick(KEYS), { value: value(depth + 1), enumerable: true, writable: true, configurable: true });
      return o;
    }
  }
}

// A real message of each kind, as an honest peer sends it.
function valid() {
  switch (int(10)) {
    case 0: return { t: 'chat', text: text(2500) || 'hola' };
    case 1: return { t: 'call', on: chance(0.5) };
    case 2: return { t: 'clip-set', text: text(CLIP_MAX_CHARS + 10) };
    case 3: return { t: 'clip-get' };
    case 4: return { t: 'clip', text: text(100), ok: true };
    case 5: return { t: 'quality', q: pick(['auto', 'nitidez', 'fluidez']), fps: pick([5, 15, 30, 60]) };
    case 6: return { t: 'hello', name: text(100), control: true, mons: [{ i: 0, w: 1920, h: 1080 }] };
    case 7: return { t: 'fs', id: text(40), name: riskyName(), size: pick([1, 10, 65537, FILE_MAX, FILE_MAX + 1]) };
    case 8: return { t: 'fe', id: text(10) };
    default: return { t: 'fa', id: text(10), ok: chance(0.5) };
  }
}

// A name with a risky ending under disguises Windows sees through: trailing dots and
// spaces, invisible characters anywhere, any case.
function riskyName() {
  let ext = pick(RISKY_NEW);
  if (chance(0.5)) ext = ext.toUpperCase();
  let base = text(30).replace(/[.\s]+$/, '') || 'x';
  if (chance(0.3)) base = 'photo\u202Egpj';
  let name = base + ext;
  if (chance(0.5)) name += pick(['.', ' ', '. ', ' . .']);
  if (chance(0.3)) {
    const at = 1 + int(name.length - 1);
    name = name.slice(0, at) + pick(INVISIBLES) + name.slice(at);
  }
  return name;
}

// Mutations of a message: a field of another type, a huge or invisible-laden string, a
// deep nesting, a prototype key spelt in the JSON text, a frame cut short.
function frame() {
  const kind = int(10);
  if (kind === 0) return JSON.stringify(value());
  if (kind === 1) {
    const depth = pick([10, 1000, 5000]);
    return '{"t":"chat","text":' + '['.repeat(depth) + ']'.repeat(depth) + '}';
  }
  if (kind === 2) return '{"__proto__":{"t":"chat","text":"x","name":"y.exe"},"t":' + JSON.stringify(pick(TYPES)) + '}';
  const m = valid();
  if (kind === 3) m[pick(KEYS)] = value();
  if (kind === 4) m.text = m.name = 'x'.repeat(pick([CHAT_MAX_CHARS, CHAT_MAX_CHARS + 1, CLIP_MAX_CHARS, CLIP_MAX_CHARS + 1, 100000]));
  if (kind === 5) m.t = pick(TYPES);
  const json = JSON.stringify(m);
  if (kind === 6) return json.slice(0, int(json.length));
  if (kind === 7) return json.replace(/"/, '"' + pick(INVISIBLES));
  return json;
}

const FORBIDDEN_IN_NAME = /[\p{Cf}\p{Cc}\p{Zl}\p{Zp}\p{Cs}\\/:*?"<>|]/u;

test('generated and mutated peer messages: nothing throws, grows or gets through', () => {
  const guard = new PeerGuard(); // the host's guard
  const techGuard = new PeerGuard();
  const clip = new ClipGate(guard);
  const offers = new OfferGate(guard);
  let now = 1e12;
  const start = now;
  let latest = now; // a bucket earns nothing while the clock is behind what it saw
  const taken = Object.fromEntries(Object.keys(RATES).map((k) => [k, 0]));
  const allow = (g, kind) => {
    const ok = g.allow(kind, now);
    if (ok) taken[kind] += 1;
    else g.drop(kind);
    return ok;
  };
  let clipDone = 0; // when the clipboard request in progress finishes
  let incoming = null; // the offer taken: { shownAt, waitUntil }
  let lastWithdrawn = -Infinity;
  let dialogs = 0;
  let logLines = 0;
  const tally = { parsed: 0, chat: 0, risky: 0, names: 0 };

  for (let round = 0; round < ROUNDS; round++) {
    // Time: mostly small steps, floods with none, now and then a clock that steps back.
    now += pick([0, 0, 1, 5, 50, 300, 2000]) - (chance(0.001) ? 60000 : 0);
    latest = Math.max(latest, now);
    if (clip.busy && now >= clipDone) clip.end();
    if (incoming && !incoming.shown && now >= incoming.waitUntil) {
      incoming.shown = true;
      dialogs += 1;
      assert.ok(now - lastWithdrawn >= OFFER_QUIET_MS, 'a dialog right after a withdrawn offer');
    }

    const m = parseMessage(frame());
    if (!m) continue;
    tally.parsed += 1;
    assert.equal(typeof m, 'object');
    assert.ok(!Array.isArray(m));
    switch (m.t) {
      case 'chat': {
        const line = chatText(m);
        if (line === null) guard.drop('chatSize');
        else if (allow(guard, 'chat')) {
          assert.equal(typeof line, 'string');
          assert.ok(line.length > 0 && line.length <= CHAT_MAX_CHARS);
          tally.chat += 1;
        }
        break;
      }
      case 'call':
        allow(guard, 'call');
        break;
      case 'clip-set':
      case 'clip-get': {
        const body = m.t === 'clip-set' ? clipText(m) : '';
        if (body === null) {
          guard.drop('clipSize');
          break;
        }
        assert.ok(body.length <= CLIP_MAX_CHARS);
        const wasBusy = clip.busy;
        const can = clip.begin(now);
        if (wasBusy) assert.equal(can, 'busy', 'a second request while one is in progress');
        if (can === 'ok') {
          taken.clip += 1;
          clipDone = now + pick([0, 10, 500, 10000]);
        } else guard.drop(can === 'busy' ? 'clipBusy' : 'clip');
        break;
      }
      case 'clip': {
        const body = clipText(m);
        assert.ok(body === null || (typeof body === 'string' && body.length <= CLIP_MAX_CHARS));
        break;
      }
      case 'hello':
      case 'perm': {
        if (!allow(techGuard, 'perm')) break;
        const name = peerName(m.name);
        if (name !== null) {
          assert.ok(name.length > 0 && name.length <= PEER_NAME_MAX && name === name.trim());
          assert.doesNotMatch(name, /[\p{Cf}\p{Cc}\p{Zl}\p{Zp}\p{Cs}]/u);
        }
        break;
      }
      case 'quality': {
        if (!allow(guard, 'quality')) break;
        const q = qualityAfter({ quality: 'auto', fps: 30 }, m);
        assert.ok(QUALITIES.includes(q.quality) && Number.isInteger(q.fps) && q.fps >= 5 && q.fps <= 60, JSON.stringify(q));
        break;
      }
      case 'fs': {
        const offer = readOffer(m);
        tally.names += 1;
        assert.ok(offer.name.length > 0 && offer.name.length <= 180);
        assert.doesNotMatch(offer.name, FORBIDDEN_IN_NAME, JSON.stringify(offer.name));
        assert.ok(typeof offer.id === 'string' && offer.id.length <= 32);
        assert.equal(offer.ok, offer.size > 0 && offer.size <= FILE_MAX);
        if (typeof m.name === 'string' && m.name.length < 150 && RISKY_NEW.some((e) => m.name.toLowerCase().replace(/[\p{Cf}]/gu, '').replace(/[. ]+$/, '').endsWith(e))) {
          assert.ok(isRisky(offer.name), JSON.stringify(m.name));
          tally.risky += 1;
        }
        if (incoming || !offer.ok) break;
        const when = offers.offer(now);
        if (when === 'refuse') {
          guard.drop('offer');
          break;
        }
        taken.offer += 1;
        incoming = { shown: when === 'show', waitUntil: now + offers.waitMs };
        if (incoming.shown) {
          dialogs += 1;
          assert.ok(now - lastWithdrawn >= OFFER_QUIET_MS, 'a dialog right after a withdrawn offer');
        }
        break;
      }
      case 'fe':
        if (incoming) {
          offers.withdrawn(now);
          lastWithdrawn = now;
          incoming = null;
        }
        break;
      case 'fa':
        if (incoming && incoming.shown) {
          offers.answered();
          incoming = null;
        }
        break;
    }

    // What is kept stays within its bounds after every message.
    for (const g of [guard, techGuard]) {
      assert.ok(g.buckets.size <= Object.keys(RATES).length);
      assert.ok(g.drops.size <= Object.keys(RATES).length + DROP_KINDS.length);
      for (const [kind, b] of g.buckets) assert.ok(b.tokens >= 0 && b.tokens <= RATES[kind].burst, kind);
    }
    assert.ok(offers.quietMs >= OFFER_QUIET_MS && offers.quietMs <= OFFER_QUIET_MAX_MS);
    assert.ok(offers.waitMs <= OFFER_QUIET_MAX_MS);
  }

  // No rate was beaten: what was taken is at most the burst and the rate over the time
  // that passed (the clock's steps back only ever cost the peer).
  const seconds = (latest - start) / 1000;
  for (const [kind, n] of Object.entries(taken)) {
    const { rate, burst } = RATES[kind];
    assert.ok(n <= burst + rate * seconds + 1, `${kind}: ${n} taken in ${seconds} s`);
  }
  for (const g of [guard, techGuard]) for (const n of g.drops.values()) for (let i = 1; i <= n; i++) if (dropWorthLogging(i)) logLines += 1;
  const drops = [...guard.drops.values(), ...techGuard.drops.values()].reduce((a, b) => a + b, 0);
  assert.ok(logLines <= 2 * 32 * (Object.keys(RATES).length + DROP_KINDS.length), 'console lines grow with the log of the drops');
  // The prototype keys stayed data.
  assert.equal({}.t, undefined);
  assert.equal({}.text, undefined);
  assert.equal(Object.prototype.name, undefined);
  console.log(`peer messages: ${tally.parsed} parsed, ${tally.chat} chat lines taken, ${tally.names} offers (${tally.risky} risky by construction), ` +
    `${dialogs} dialogs, ${drops} dropped in ${Math.round(seconds)} s simulated, ${logLines} console lines`);
  assert.ok(tally.risky > 0 && tally.chat > 0 && dialogs > 0, 'the run reached the decisions');
});

// The members each input event may carry, and their types.
const MEMBERS = {
  m: { x: 'number', y: 'number' },
  d: { b: 'number', x: 'number', y: 'number' },
  u: { b: 'number', x: 'number', y: 'number' },
  w: { dx: 'number', dy: 'number' },
  kd: { c: 'string' },
  ku: { c: 'string' },
  rel: {},
  t: { s: 'string' },
};
const codePoints = (s) => [...s].length;

function inputEvent() {
  const e = pick([
    () => ({ k: 'm', x: rnd(), y: rnd() }),
    () => ({ k: pick(['d', 'u']), b: int(6) - 1, x: rnd(), y: rnd() }),
    () => ({ k: 'w', dx: int(10000) - 5000, dy: pick([120, -120, 1e9, 0.5]) }),
    () => ({ k: pick(['kd', 'ku']), c: pick(['KeyA', 'ShiftLeft', 'x'.repeat(40), '', 'Key A', '\u202E']) }),
    () => ({ k: 'rel' }),
    () => ({ k: 't', s: text(3000) }),
    () => value(),
  ])();
  if (e && typeof e === 'object' && !Array.isArray(e) && chance(0.3)) {
    Object.defineProperty(e, pick(KEYS.concat(['b', 'c', 'x', 'y', 's', 'k'])), { value: value(2), enumerable: true, writable: true, configurable: true });
  }
  return e;
}

function inputFrame() {
  const n = pick([0, 1, 2, 6, IN_MAX_EVENTS, IN_MAX_EVENTS + 1, 300]);
  const m = pick([
    () => ({ t: 'in', ev: Array.from({ length: n }, inputEvent) }),
    () => ({ t: 'text', s: pick([text(3000), 'ñ'.repeat(TEXT_MAX_CHARS), '😀'.repeat(TEXT_MAX_CHARS), '😀'.repeat(TEXT_MAX_CHARS + 1), '\uD800x']) }),
    () => ({ t: 'in', ev: value() }),
    () => ({ t: 'text', s: value() }),
  ])();
  const json = JSON.stringify(m);
  return chance(0.05) ? json.slice(0, int(json.length)) : json;
}

test('generated and mutated remote input: known events only, the queue within its bounds', () => {
  const queue = new InputQueue();
  let dropped = 0;
  let taken = 0;
  // A third as many rounds: each message holds up to hundreds of events.
  for (let round = 0; round < ROUNDS / 3; round++) {
    const m = parseMessage(inputFrame());
    if (!m) continue;
    let evs = [];
    if (m.t === 'in') {
      evs = peerEvents(m.ev);
      assert.ok(evs.length <= IN_MAX_EVENTS);
      const move = peerMove(m.ev);
      if (move) {
        assert.deepEqual(Object.keys(move).sort(), ['k', 'x', 'y']);
        queue.setMove(move);
      }
    } else if (m.t === 'text') {
      const ev = peerText(m.s);
      if (ev) evs = [ev];
    }
    for (const e of evs) {
      assert.ok(Object.prototype.hasOwnProperty.call(MEMBERS, e.k), JSON.stringify(e));
      if (m.t === 'in') assert.notEqual(e.k, 't', '`in` never types');
      for (const [key, v] of Object.entries(e)) {
        if (key === 'k') continue;
        assert.equal(typeof v, MEMBERS[e.k][key], `${e.k}.${key}: ${JSON.stringify(e)}`);
        if (typeof v === 'number') assert.ok(Number.isFinite(v));
      }
      if (e.k === 't') assert.ok(codePoints(e.s) >= 1 && codePoints(e.s) <= TEXT_MAX_CHARS && e.s.isWellFormed?.() !== false);
    }
    queue.push(evs);
    assert.ok(queue.dropped >= dropped);
    dropped = queue.dropped;
    assert.ok(queue.events.length <= QUEUE_MAX_EVENTS && queue.chars <= QUEUE_MAX_CHARS);
    if (round % 10 === 0) assert.equal(queue.chars, queue.events.reduce((n, e) => n + (e.k === 't' ? codePoints(e.s) : 0), 0));
    if (chance(0.3)) {
      const batch = queue.take(200);
      taken += batch.length;
      assert.ok(batch.length <= 200);
      const chars = batch.reduce((n, e) => n + (e.k === 't' ? codePoints(e.s) : 0), 0);
      assert.ok(chars <= BATCH_MAX_CHARS || batch.length === 1, `a batch of ${chars} characters`);
    }
  }
  console.log(`remote input: ${taken} events handed on, ${queue.dropped} dropped by the queue, ${queue.events.length} left`);
});
