// The measuring pieces of the session benchmarks (bench_session.mjs on loopback,
// bench_netlab.mjs across the network lab): one clock for every process, the session
// opened through the UI with the time to its first picture, a key press from the
// technician's page to an X window on the host PC's screen, and glass to glass from that
// window's fill to the technician's decoded frame.
//
// Every time ends up on CLOCK_MONOTONIC in microseconds: desktop_probe stamps its X events
// and fills with it, Node's process.hrtime is it, and each page's performance.now() is
// Chromium's TimeTicks (CLOCK_MONOTONIC on Linux) less a fixed origin, which is measured
// once per page (see `clockOf`). Network namespaces share that clock.
import { acceptWithControl, screenPoint } from './twopc.mjs';
import { sleep } from './waiting.mjs';

export { screenPoint, sleep };

export const monoUs = () => Number(process.hrtime.bigint() / 1000n);
// Random pauses between samples, so that no sample keeps the same phase to the 30 fps
// capture, the 60 Hz frames of the pages or a timer of the host.
export const jitter = (lo, hi) => sleep(lo + Math.random() * (hi - lo));

export const WARMUP = 5; // first JIT, first post, first key map: not what a session feels like later
export const COLOURS = ['e02020', '20c040', '2050e0', 'f0f0f0', 'e0c020', '202020'];

// p50, p95 and mean of the finite values; `lost` counts the rest (samples that never came).
export function summary(values) {
  const v = values.filter((x) => Number.isFinite(x)).sort((a, b) => a - b);
  if (!v.length) return null;
  const at = (p) => v[Math.min(v.length - 1, Math.max(0, Math.ceil((p / 100) * v.length) - 1))];
  return { n: v.length, lost: values.length - v.length, p50: at(50), p95: at(95), mean: v.reduce((sum, x) => sum + x, 0) / v.length };
}

// performance.now()'s granularity in a page that is not cross-origin isolated.
const PAGE_TICK_US = 100;

// The page's performance.now() as CLOCK_MONOTONIC µs. Chromium's time origin is the
// navigation's start, which it tells over the DevTools protocol on CLOCK_MONOTONIC itself
// (Performance.getMetrics' NavigationStart): that offset is exact, to performance.now()'s
// granularity. Round trips through Playwright check it, each bounding the offset to within
// half its trip; where the origin is not told, or falls outside the best trip, the best
// trip's middle serves, with its half trip as `errorUs`. On a busy machine short trips are
// rare, so it tries longer before it settles for what it has.
export async function clockOf(page) {
  let best = null;
  for (let i = 0; i < 400 && !(i >= 40 && best.rtt < 1000); i++) {
    const t0 = monoUs();
    const pageMs = await page.evaluate(() => performance.now());
    const t1 = monoUs();
    if (!best || t1 - t0 < best.rtt) best = { rtt: t1 - t0, offset: (t0 + t1) / 2 - pageMs * 1000 };
  }
  const origin = await timeOrigin(page);
  const told = origin !== null && Math.abs(origin - best.offset) <= best.rtt / 2 + PAGE_TICK_US;
  const offset = told ? origin : best.offset;
  return { offsetUs: offset, errorUs: told ? PAGE_TICK_US : best.rtt / 2, told, toUs: (ms) => ms * 1000 + offset };
}

// The page's time origin in CLOCK_MONOTONIC µs as Chromium tells it; null when it does not.
async function timeOrigin(page) {
  let cdp = null;
  try {
    cdp = await page.context().newCDPSession(page);
    await cdp.send('Performance.enable');
    const { metrics } = await cdp.send('Performance.getMetrics');
    await cdp.send('Performance.disable');
    const start = metrics.find((m) => m.name === 'NavigationStart');
    return start && start.value > 0 ? start.value * 1e6 : null;
  } catch {
    return null;
  } finally {
    if (cdp) await cdp.detach().catch(() => {});
  }
}

// The session opened as a person would (acceptWithControl); resolves, once the picture is
// up and under control, with the ms from the click on "accept" to the technician's first
// frame (`techClock` being the technician page's clock).
export async function openTimed(pcs, techClock, { timeout = 60000 } = {}) {
  const { page: host } = pcs.host;
  const { page: tech } = pcs.tech;
  await host.waitForFunction(() => document.getElementById('hostStatus').classList.contains('ok'), null, { timeout });
  let t0 = 0;
  await acceptWithControl(pcs, {
    timeout,
    beforeAccept: async () => {
      await tech.evaluate(() => {
        window.__first = null;
        const v = document.getElementById('vVideo');
        const look = () => {
          if (v.videoWidth > 0) window.__first = performance.now();
          else requestAnimationFrame(look);
        };
        requestAnimationFrame(look);
      });
      t0 = monoUs();
    },
  });
  return (techClock.toUs(await tech.evaluate(() => window.__first)) - t0) / 1000;
}

// --- input: the technician's page to the probe window ---------------------------------

// Page times (performance.now() ms) on both sides of the data channel: each keydown and
// pointermove on the technician's layer, taken before the page's own listeners run (the
// moment the page has the event to send), and each hand-over of a key press or a move by
// the host PC's page to its host process (the moment it leaves that page). Installed once
// per page however often it is called: a second set of listeners would stamp every event
// twice and shift every pairing after it.
//
// Between them, where each page's own code runs: the technician page's `send` of the
// input message on its data channel, and the host PC page's parse of it on arrival (its
// channel handler parses first thing). Each is stamped per kind of input as `sent` and
// `arrived`.
export async function recordInputTimes(pcs) {
  // The kind an input message carries: 'keydown' for a key press, 'pointermove' for a move.
  const kindsOf = () => {
    window.__inputKinds = (text) => {
      if (typeof text !== 'string' || !text.includes('"in"')) return [];
      const out = [];
      if (text.includes('"k":"kd"')) out.push('keydown');
      if (text.includes('"k":"m"')) out.push('pointermove');
      return out;
    };
  };
  await pcs.tech.page.evaluate(kindsOf);
  await pcs.host.page.evaluate(kindsOf);
  await pcs.tech.page.evaluate(() => {
    window.__inputT = { keydown: [], pointermove: [], sent: { keydown: [], pointermove: [] } };
    if (window.__inputTOn) return;
    window.__inputTOn = true;
    for (const type of ['keydown', 'pointermove']) {
      document.addEventListener(type, (e) => {
        if (e.target && e.target.id === 'vLayer') window.__inputT[type].push(performance.now());
      }, { capture: true });
    }
    const realSend = RTCDataChannel.prototype.send;
    RTCDataChannel.prototype.send = function (data) {
      const at = performance.now();
      for (const k of window.__inputKinds(data)) window.__inputT.sent[k].push(at);
      return realSend.call(this, data);
    };
  });
  await pcs.host.page.evaluate(() => {
    window.__inputT = { keydown: [], pointermove: [], arrived: { keydown: [], pointermove: [] } };
    if (window.__inputTOn) return;
    window.__inputTOn = true;
    const realParse = JSON.parse;
    JSON.parse = function (text) {
      const at = performance.now();
      for (const k of window.__inputKinds(text)) window.__inputT.arrived[k].push(at);
      return realParse.apply(this, arguments);
    };
    const stamp = (body) => {
      const at = performance.now();
      const kinds = realParse(body).ev.map((e) => e.k);
      if (kinds.includes('kd')) window.__inputT.keydown.push(at);
      if (kinds.includes('m')) window.__inputT.pointermove.push(at);
    };
    const realFetch = window.fetch;
    window.fetch = function (url, init) {
      if (url === '/api/input' && init && typeof init.body === 'string') stamp(init.body);
      return realFetch.apply(this, arguments);
    };
    // The input socket to the host, where the page has one.
    const realSend = WebSocket.prototype.send;
    WebSocket.prototype.send = function (data) {
      if (typeof data === 'string' && new URL(this.url).pathname === '/api/input') stamp(data);
      return realSend.call(this, data);
    };
  });
}

// `act(i)` makes the i-th input on the technician's page and resolves with the probe's
// time for it (null when it never came). Returns, per sample, the whole way and its two
// legs in ms: technician's page to the host PC's hand-over, and that to the X event.
async function inputSamples(pcs, clocks, type, count, act) {
  const atProbe = [];
  for (let i = 0; i < count; i++) {
    atProbe.push(await act(i));
    await jitter(10, 40);
  }
  const take = ([t, more]) => ({ at: window.__inputT[t].splice(0), more: window.__inputT[more][t].splice(0) });
  const [tech, host] = await Promise.all([pcs.tech.page.evaluate(take, [type, 'sent']),
    pcs.host.page.evaluate(take, [type, 'arrived'])]);
  const techT = tech.at;
  const hostT = host.at;
  if (techT.length !== count) throw new Error(`${count} inputs made ${techT.length} ${type} events on the layer`);
  // One hand-over per input, unless one went missing; then only the whole way is told.
  const legs = hostT.length === count;
  // The same for the pages' inner stamps (a move can be sent with none seen on arrival).
  const inner = legs && tech.more.length === count && host.more.length === count;
  const ms = (to, from) => (to - from) / 1000;
  return atProbe.map((us, i) => {
    const typed = clocks.tech.toUs(techT[i]);
    const posted = legs ? clocks.host.toUs(hostT[i]) : null;
    const sent = inner ? clocks.tech.toUs(tech.more[i]) : null;
    const arrived = inner ? clocks.host.toUs(host.more[i]) : null;
    return {
      total: us === null ? null : ms(us, typed),
      toPost: posted === null ? null : ms(posted, typed),
      fromPost: us === null || posted === null ? null : ms(us, posted),
      // The technician page's handler, the data channel, the host PC page's handler.
      toSend: sent === null ? null : (tech.more[i] - techT[i]),
      channel: sent === null ? null : ms(arrived, sent),
      toHand: arrived === null ? null : (hostT[i] - host.more[i]),
    };
  });
}

// Alternates between two points of the probe window (a little apart each time, so every
// move is a move on the host's screen too) and waits for each MotionNotify there. The probe
// must report motion.
export function pointerMoves(pcs, probe, count, clocks, at = { x: 0, y: 0 }) {
  const tech = pcs.tech.page;
  return inputSamples(pcs, clocks, 'pointermove', count, async (i) => {
    const sx = at.x + (i % 2 ? 280 : 80) + (i % 17);
    const sy = at.y + (i % 2 ? 200 : 80) + (i % 13);
    const p = await screenPoint(tech, sx, sy);
    await tech.mouse.move(p.x, p.y);
    // The page maps its pixel to a fraction of the screen, so allow a pixel either way.
    const near = (e) => e.t === 'mv' && Math.abs(e.x - (sx - at.x)) <= 2 && Math.abs(e.y - (sy - at.y)) <= 2;
    return probe.until(near, 5000).then((evs) => evs.at(-1).us, () => null);
  });
}

// Key presses on the technician's layer; the probe window must have the keyboard focus.
export async function keyPresses(pcs, probe, count, clocks) {
  const tech = pcs.tech.page;
  await tech.focus('#vLayer');
  const letters = 'asdfghjkl';
  return inputSamples(pcs, clocks, 'keydown', count, async (i) => {
    const letter = letters[i % letters.length];
    await tech.keyboard.press('Key' + letter.toUpperCase());
    // Up to the key's release, so that no key is still held when the next one goes.
    // Matched by keysym: X gives a release no text.
    const got = await probe.until((e) => e.t === 'kr' && e.keysym === letter.charCodeAt(0), 5000).catch(() => null);
    const press = got && got.find((e) => e.t === 'kp' && e.text === letter);
    return press ? press.us : null;
  });
}

// --- glass to glass ------------------------------------------------------------------

// In the technician's page: on every decoded frame that reaches the video element, while
// a colour is awaited, reads the frame's pixel at screen point (px, py), which must be
// away from the host PC's pointer (the capture draws it). The first frame close to the
// awaited colour is the one the technician sees it in. Call `stopFrames` before calling
// this again on the same page.
export async function watchFrames(tech, px, py) {
  await tech.evaluate(([px, py]) => {
    const video = document.getElementById('vVideo');
    const canvas = document.createElement('canvas');
    canvas.width = canvas.height = 1;
    const ctx = canvas.getContext('2d', { willReadFrequently: true });
    let want = null;
    let seen = null;
    let wake = null;
    let on = true;
    const close = (a, b) => Math.abs(a - b) <= 48; // the encoder's loss on a flat area is far less
    const onFrame = (_now, meta) => {
      const at = performance.now();
      if (want && !seen) {
        ctx.drawImage(video, px, py, 1, 1, 0, 0, 1, 1);
        const [r, g, b] = ctx.getImageData(0, 0, 1, 1).data;
        if (close(r, want[0]) && close(g, want[1]) && close(b, want[2])) {
          seen = { at, received: meta.receiveTime ?? null };
          if (wake) wake(seen);
        }
      }
      if (on) video.requestVideoFrameCallback(onFrame);
    };
    video.requestVideoFrameCallback(onFrame);
    window.__frames = {
      expect(rgb) {
        want = [0, 2, 4].map((i) => parseInt(rgb.slice(i, i + 2), 16));
        seen = null;
      },
      seen(timeoutMs) {
        if (seen) return seen;
        return new Promise((resolve) => {
          const t = setTimeout(() => { wake = null; resolve(null); }, timeoutMs);
          wake = (s) => { clearTimeout(t); wake = null; resolve(s); };
        });
      },
      stop() { on = false; },
    };
  }, [px, py]);
}

export const stopFrames = (tech) => tech.evaluate(() => window.__frames.stop());

let colourAt = 0;
// The next colour to fill with: never the one just shown, whoever asked last.
export const nextColour = () => COLOURS[colourAt++ % COLOURS.length];

// One sample, in ms: the whole way from the fill (null when the colour never showed within
// `waitMs`), and its two legs when the frame tells its arrival: to the frame's last packet
// (capture, encoding, pacing, the network) and from there to the frame callback (jitter
// buffer, decoding, the page's next rendering step).
export async function oneGlass(tech, probe, clock, waitMs = 3000) {
  const rgb = nextColour();
  await tech.evaluate((c) => window.__frames.expect(c), rgb);
  const filledUs = await probe.color(rgb);
  const seen = await tech.evaluate((w) => window.__frames.seen(w), waitMs);
  const got = seen && seen.received !== null;
  return {
    total: seen ? (clock.toUs(seen.at) - filledUs) / 1000 : null,
    toReceived: got ? (clock.toUs(seen.received) - filledUs) / 1000 : null,
    toShown: got ? seen.at - seen.received : null,
  };
}

export async function glassToGlass(pcs, probe, count, clock) {
  const out = [];
  for (let i = 0; i < count; i++) {
    out.push(await oneGlass(pcs.tech.page, probe, clock));
    await jitter(0, 100);
  }
  return out;
}

export const field = (xs, f) => xs.map((x) => x[f]);

// --- the viewer's playout delay ----------------------------------------------------------

// What the technician's video receivers are asked for: the browser's own choice (no
// target), and the least delay it allows (a target of 0 ms).
export const VIEWER_MODES = [{ name: 'browser default', target: null }, { name: 'target 0 ms', target: 0 }];

const setViewerTarget = (tech, target) => tech.evaluate((t) => {
  for (const pc of window.__pcs) {
    if (pc.connectionState !== 'connected') continue;
    for (const r of pc.getReceivers()) if (r.track && r.track.kind === 'video') r.jitterBufferTarget = t;
  }
}, target);

// The technician's received video: counters that tell smoothness (see `stutter`).
const inboundVideo = (tech) => tech.evaluate(async () => {
  for (const pc of window.__pcs) {
    if (pc.connectionState !== 'connected') continue;
    for (const r of (await pc.getStats()).values()) {
      if (r.type === 'inbound-rtp' && r.kind === 'video') {
        return { at: performance.now(), decoded: r.framesDecoded, dropped: r.framesDropped ?? 0,
          freezes: r.freezeCount ?? 0, freezeS: r.totalFreezesDuration ?? 0,
          jb: r.jitterBufferDelay ?? 0, jbN: r.jitterBufferEmittedCount ?? 0 };
      }
    }
  }
  return null;
});

// Fills the probe window with the next colour every frame interval for `seconds`.
export async function changeScreen(probe, seconds, fps = 30) {
  const t0 = monoUs();
  for (let next = t0; monoUs() < t0 + seconds * 1e6;) {
    await probe.color(nextColour());
    next += 1e6 / fps;
    await sleep(Math.max(0, (next - monoUs()) / 1000));
  }
}

// Frames shown per second, dropped, freezes and the mean time a frame waited in the jitter
// buffer, while the screen changes every frame interval for `seconds`.
async function stutter(pcs, probe, seconds) {
  const a = await inboundVideo(pcs.tech.page);
  await changeScreen(probe, seconds);
  const b = await inboundVideo(pcs.tech.page);
  if (!a || !b) return null;
  const s = (b.at - a.at) / 1000;
  return { fps: (b.decoded - a.decoded) / s, dropped: b.dropped - a.dropped, freezes: b.freezes - a.freezes,
    freezeMs: (b.freezeS - a.freezeS) * 1000, bufferMs: b.jbN > a.jbN ? ((b.jb - a.jb) / (b.jbN - a.jbN)) * 1000 : null };
}

// Glass to glass and stutter under each of VIEWER_MODES, in alternating blocks so that
// every mode meets the same machine and link; `count` samples per mode. Leaves the
// receivers as the page set them: with the target the page asked for.
export async function viewerModes(pcs, probe, count, clock, { rounds = 4, stutterSeconds = 4 } = {}) {
  const tech = pcs.tech.page;
  const asSet = await tech.evaluate(() => {
    const pc = window.__pcs.filter((p) => p.connectionState === 'connected').at(-1);
    const r = pc && pc.getReceivers().find((x) => x.track && x.track.kind === 'video');
    return r ? r.jitterBufferTarget : null;
  });
  const out = VIEWER_MODES.map((m) => ({ ...m, glass: [], stutter: [] }));
  const per = Math.ceil(count / rounds);
  for (let round = 0; round < rounds; round++) {
    for (const m of out) {
      await setViewerTarget(tech, m.target);
      await sleep(300);
      m.glass.push(...(await glassToGlass(pcs, probe, per, clock)));
      m.stutter.push(await stutter(pcs, probe, stutterSeconds));
    }
  }
  await setViewerTarget(tech, asSet);
  return out.map((m) => {
    const st = m.stutter.filter(Boolean);
    const sum = (f) => st.reduce((t, x) => t + (x[f] ?? 0), 0);
    const buffered = st.filter((x) => x.bufferMs !== null);
    return { name: m.name, target: m.target, glass: m.glass,
      stutter: st.length ? { fps: sum('fps') / st.length, dropped: sum('dropped'), freezes: sum('freezes'), freezeMs: sum('freezeMs'),
        bufferMs: buffered.length ? buffered.reduce((t, x) => t + x.bufferMs, 0) / buffered.length : null,
        seconds: st.length * stutterSeconds } : null };
  });
}

const ms = (v) => (v === null || v === undefined ? '—' : `${v.toFixed(v < 10 ? 2 : 1)} ms`);

// Glass to glass and smoothness per playout delay asked of the technician's receivers.
export function printViewerModes(modes, indent = '  ') {
  console.log(`${indent}${'viewer receivers'.padEnd(24)}${'glass p50'.padStart(11)}${'p95'.padStart(10)}   shown fps  dropped  freezes (ms)  in jitter buffer`);
  for (const m of modes) {
    const g = summary(field(m.glass, 'total'));
    const st = m.stutter;
    console.log(`${indent}${m.name.padEnd(24)}${(g ? ms(g.p50) : '—').padStart(11)}${(g ? ms(g.p95) : '—').padStart(10)}` +
      (st ? `   ${st.fps.toFixed(1).padStart(9)}  ${String(st.dropped).padStart(7)}  ${`${st.freezes} (${Math.round(st.freezeMs)})`.padStart(12)}` +
        `  ${st.bufferMs === null ? '—' : ms(st.bufferMs)} over ${st.seconds} s` : ''));
  }
}
