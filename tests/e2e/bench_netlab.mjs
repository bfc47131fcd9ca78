#!/usr/bin/env node
// What a support session feels like across the networks of the lab (lib/netlab.mjs),
// beside the same session on loopback measured in the same run: the time from "accept" to
// the first picture, the route WebRTC chose, a key press and glass to glass (p50, p95:
// the method of bench_session.mjs), the picture the link carried while the screen kept
// changing, and for a network that changes, the time from the link's return (and from a
// new address) to a live picture. Prints figures only; asserts nothing about time. Needs
// root (network namespaces).
//
//   VANTRIEL_BIN=... VANTRIEL_SIGNAL_BIN=... DESKTOP_PROBE=... node tests/e2e/bench_netlab.mjs [--samples N]
import os from 'node:os';
import { parseArgs } from 'node:util';
import { labUnavailable, selectedPair, startLab } from './lib/netlab.mjs';
import { HOST_ID, startTwoPcs } from './lib/twopc.mjs';

const { values: opts } = parseArgs({ options: { samples: { type: 'string', default: '100' } } });
const SAMPLES = Number(opts.samples);
if (!Number.isInteger(SAMPLES) || SAMPLES < 1) throw new Error(`--samples wants a positive whole number, not ${opts.samples}`);
const WARMUP = 5;
const PROBE = { x: 100, y: 100, w: 400, h: 300 };
const STREAM_SECONDS = 8;
const COLOURS = ['e02020', '20c040', '2050e0', 'f0f0f0', 'e0c020', '202020'];

const PROFILES = [
  { name: 'a', what: 'endpoint-independent NAT on both', host: 'cone', tech: 'cone' },
  { name: 'b', what: 'symmetric NAT on both', host: 'symmetric', tech: 'symmetric' },
  { name: 'c', what: 'host PC: only TCP leaves', host: 'tcp-only', tech: 'cone' },
  { name: 'd', what: 'host PC: 2 Mbit/s, 3 % loss, 80 ms', host: 'cone', tech: 'cone',
    impair: { kbit: 2000, lossPct: 3, delayMs: 40 } },
  { name: 'e', what: 'host PC: link down 5 s, new address', host: 'cone', tech: 'cone', change: true },
];

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const monoUs = () => Number(process.hrtime.bigint() / 1000n);
const jitter = (lo, hi) => sleep(lo + Math.random() * (hi - lo));

function summary(values) {
  const v = values.filter((x) => Number.isFinite(x)).sort((a, b) => a - b);
  if (!v.length) return null;
  const at = (p) => v[Math.min(v.length - 1, Math.max(0, Math.ceil((p / 100) * v.length) - 1))];
  return { n: v.length, lost: values.length - v.length, p50: at(50), p95: at(95) };
}

// The page's performance.now() as CLOCK_MONOTONIC µs (see bench_session.mjs).
async function clockOf(page) {
  let best = null;
  for (let i = 0; i < 400 && !(i >= 40 && best.rtt < 1000); i++) {
    const t0 = monoUs();
    const pageMs = await page.evaluate(() => performance.now());
    const t1 = monoUs();
    if (!best || t1 - t0 < best.rtt) best = { rtt: t1 - t0, offset: (t0 + t1) / 2 - pageMs * 1000 };
  }
  return (ms) => ms * 1000 + best.offset;
}

// From the click on "accept" to the technician's first picture, in ms.
async function openTimed(pcs, clock) {
  const { page: host } = pcs.host;
  const { page: tech } = pcs.tech;
  await host.waitForFunction(() => document.getElementById('hostStatus').classList.contains('ok'), null, { timeout: 60000 });
  await tech.fill('#peerId', HOST_ID);
  await tech.fill('#peerKey', (await host.textContent('#myKey')).trim());
  await tech.setChecked('#wantCtl', true);
  await tech.click('#connectBtn');
  await host.waitForSelector('#reqDlg:not([hidden])', { timeout: 20000 });
  await host.setChecked('#reqCtl', true);
  await host.setChecked('#reqAudio', false);
  await host.waitForSelector('#reqAccept:not([disabled])');
  await tech.evaluate(() => {
    window.__first = null;
    const v = document.getElementById('vVideo');
    const look = () => {
      if (v.videoWidth > 0) window.__first = performance.now();
      else requestAnimationFrame(look);
    };
    requestAnimationFrame(look);
  });
  const t0 = monoUs();
  await host.click('#reqAccept');
  await tech.waitForFunction(() => window.__first !== null && document.getElementById('vLayer').classList.contains('ctl'),
    null, { timeout: 60000 });
  return (clock(await tech.evaluate(() => window.__first)) - t0) / 1000;
}

async function endSession(pcs) {
  await pcs.host.page.click('#hbEnd');
  await pcs.tech.page.waitForSelector('#viewer', { state: 'hidden', timeout: 30000 });
}

// Key press: the technician layer's keydown to the probe window's KeyPress, in ms.
async function keyPresses(pcs, probe, clock, count) {
  const tech = pcs.tech.page;
  // A click on the probe window through the picture puts the pointer there; with no
  // window manager on the host PC's screen, the keyboard focus is given by hand.
  const at = await tech.evaluate(([x, y]) => {
    const v = document.getElementById('vVideo');
    const r = v.getBoundingClientRect();
    const scale = Math.min(r.width / v.videoWidth, r.height / v.videoHeight);
    return { x: r.left + (r.width - v.videoWidth * scale) / 2 + x * scale, y: r.top + (r.height - v.videoHeight * scale) / 2 + y * scale };
  }, [PROBE.x + PROBE.w / 2, PROBE.y + PROBE.h / 2]);
  await tech.mouse.click(at.x, at.y);
  await probe.until((e) => e.t === 'br', 20000);
  await pcs.xdotool('windowfocus', String((await pcs.pointer()).window));
  await tech.evaluate(() => {
    window.__keyT = [];
    document.addEventListener('keydown', (e) => {
      if (e.target && e.target.id === 'vLayer') window.__keyT.push(performance.now());
    }, { capture: true });
  });
  await tech.focus('#vLayer');
  const letters = 'asdfghjkl';
  const times = [];
  for (let i = 0; i < count; i++) {
    const letter = letters[i % letters.length];
    await tech.keyboard.press('Key' + letter.toUpperCase());
    const got = await probe.until((e) => e.t === 'kr' && e.keysym === letter.charCodeAt(0), 10000).catch(() => null);
    const press = got && got.find((e) => e.t === 'kp' && e.text === letter);
    times.push(press ? press.us : null);
    await jitter(10, 40);
  }
  const sent = await tech.evaluate(() => window.__keyT.splice(0));
  return times.map((us, i) => (us === null || sent[i] === undefined ? null : (us - clock(sent[i])) / 1000));
}

// In the technician's page: the first decoded frame whose pixel at the probe's middle
// is close to an awaited colour (see bench_session.mjs).
async function watchFrames(tech) {
  await tech.evaluate(([px, py]) => {
    const video = document.getElementById('vVideo');
    const canvas = document.createElement('canvas');
    canvas.width = canvas.height = 1;
    const ctx = canvas.getContext('2d', { willReadFrequently: true });
    let want = null;
    let seen = null;
    let wake = null;
    let on = true;
    const close = (a, b) => Math.abs(a - b) <= 48;
    const onFrame = () => {
      const at = performance.now();
      if (want && !seen) {
        ctx.drawImage(video, px, py, 1, 1, 0, 0, 1, 1);
        const [r, g, b] = ctx.getImageData(0, 0, 1, 1).data;
        if (close(r, want[0]) && close(g, want[1]) && close(b, want[2])) {
          seen = at;
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
  }, [PROBE.x + PROBE.w / 2, PROBE.y + PROBE.h / 2]);
}

let colourIndex = 0;
// Fills the probe with the next colour; resolves with the ms to the frame that shows it
// (null when none did within `waitMs`).
async function oneGlass(pcs, probe, clock, waitMs = 3000) {
  const rgb = COLOURS[colourIndex++ % COLOURS.length];
  await pcs.tech.page.evaluate((c) => window.__frames.expect(c), rgb);
  const filled = await probe.color(rgb);
  const seen = await pcs.tech.page.evaluate((w) => window.__frames.seen(w), waitMs);
  return seen === null ? null : (clock(seen) - filled) / 1000;
}

async function glassToGlass(pcs, probe, clock, count) {
  const out = [];
  for (let i = 0; i < count; i++) {
    out.push(await oneGlass(pcs, probe, clock));
    await jitter(0, 100);
  }
  return out;
}

// The picture the link carried while the screen changed every frame interval: the
// technician's received size, frame rate and bit rate over STREAM_SECONDS.
async function stream(pcs, probe) {
  const read = () => pcs.tech.page.evaluate(async () => {
    const stats = await window.__pcs.at(-1).getStats();
    let v = null;
    stats.forEach((r) => { if (r.type === 'inbound-rtp' && r.kind === 'video') v = r; });
    return v && { w: v.frameWidth, h: v.frameHeight, frames: v.framesDecoded, bytes: v.bytesReceived, at: performance.now() };
  });
  const change = async (seconds) => {
    const end = monoUs() + seconds * 1e6;
    for (let i = 0; monoUs() < end; i++) {
      await probe.color(COLOURS[i % COLOURS.length]);
      await sleep(33);
    }
  };
  await change(2);
  const a = await read();
  await change(STREAM_SECONDS);
  const b = await read();
  if (!a || !b) return null;
  const s = (b.at - a.at) / 1000;
  return { size: `${b.w}×${b.h}`, fps: (b.frames - a.frames) / s, kbps: ((b.bytes - a.bytes) * 8) / s / 1000 };
}

// From `t0` (monotonic µs) to the first frame that shows a colour filled after it: fills
// a new colour every 300 ms until one arrives.
async function liveAgain(pcs, probe, clock, t0, limitMs = 40000) {
  while (monoUs() - t0 < limitMs * 1000) {
    const rgb = COLOURS[colourIndex++ % COLOURS.length];
    await pcs.tech.page.evaluate((c) => window.__frames.expect(c), rgb);
    await probe.color(rgb);
    const seen = await pcs.tech.page.evaluate(() => window.__frames.seen(300));
    if (seen !== null) return (clock(seen) - t0) / 1000;
  }
  return null;
}

const describe = (side) => (side ? `${side.type}/${side.protocol}` : '?');

// One whole session on `pcs`: every figure of a profile.
async function measure(pcs, probe, profile, lab) {
  const t0 = Date.now();
  const step = (what) => console.error(`  [${profile.name} ${((Date.now() - t0) / 1000).toFixed(0)} s] ${what}`);
  const clock = await clockOf(pcs.tech.page);
  const accept = await openTimed(pcs, clock);
  await sleep(1000);
  const pair = await selectedPair(pcs.host.page);
  const route = pair ? `${describe(pair.local)} ↔ ${describe(pair.remote)}` : '?';
  step(`open in ${Math.round(accept)} ms, ${route}`);
  await watchFrames(pcs.tech.page);
  const keys = (await keyPresses(pcs, probe, clock, SAMPLES + WARMUP)).slice(WARMUP);
  step('keys');
  const glass = (await glassToGlass(pcs, probe, clock, SAMPLES + WARMUP)).slice(WARMUP);
  step('glass to glass');
  const carried = await stream(pcs, probe);
  step('picture carried');
  const out = { name: profile.name, what: profile.what, accept, route, rtt: pair && pair.rtt, keys: summary(keys),
    glass: summary(glass), carried };
  if (profile.change) {
    const pc = lab.pcs.host;
    await pc.linkDown();
    await sleep(5000);
    const back = monoUs();
    await pc.linkUp();
    out.linkBack = await liveAgain(pcs, probe, clock, back);
    await sleep(2000);
    const moved = monoUs();
    await pc.newAddress();
    out.newAddress = await liveAgain(pcs, probe, clock, moved);
  }
  await pcs.tech.page.evaluate(() => window.__frames.stop());
  await endSession(pcs);
  return out;
}

const ms = (v) => (v === null || v === undefined ? '—' : `${v.toFixed(v < 10 ? 2 : 0)} ms`);
const pq = (s) => (s ? `${ms(s.p50)} / ${ms(s.p95)}${s.lost ? ` (${s.lost} lost)` : ''}` : '—');

function print(rows) {
  console.log('');
  console.log(`  ${'profile'.padEnd(42)}${'accept→picture'.padStart(15)}  ${'route (host PC ↔ technician)'.padEnd(30)}` +
    `${'key p50 / p95'.padStart(22)}${'glass p50 / p95'.padStart(24)}   picture carried`);
  for (const r of rows) {
    const c = r.carried;
    console.log(`  ${`${r.name}: ${r.what}`.padEnd(42)}${ms(r.accept).padStart(15)}  ${r.route.padEnd(30)}` +
      `${pq(r.keys).padStart(22)}${pq(r.glass).padStart(24)}   ` +
      (c ? `${c.size}, ${c.fps.toFixed(1)} fps, ${Math.round(c.kbps)} kbit/s` : '—'));
  }
  for (const r of rows) {
    if (r.linkBack !== undefined) {
      console.log(`  ${r.name}: link back → live picture ${ms(r.linkBack)}; new address → live picture ${ms(r.newAddress)}`);
    }
  }
  console.log(`  (${SAMPLES} samples each after ${WARMUP} warm-up; round trips: ` +
    rows.map((r) => `${r.name} ${r.rtt === null || r.rtt === undefined ? '?' : Math.round(r.rtt * 1000) + ' ms'}`).join(', ') + ')');
}

const why = await labUnavailable();
console.log(`network lab benchmark: ${os.cpus().length} cores, load average ${os.loadavg().map((l) => l.toFixed(2)).join(' ')}`);
const rows = [];
{
  const pcs = await startTwoPcs({ name: 'bench-netlab-loopback' });
  try {
    const probe = await pcs.probe(PROBE.w, PROBE.h, { x: PROBE.x, y: PROBE.y });
    rows.push(await measure(pcs, probe, { name: 'loopback', what: 'both PCs on 127.0.0.1 (reference)' }));
  } finally {
    await pcs.stop();
  }
}
if (why) {
  console.log(`  the lab did not run: ${why}`);
} else {
  const lab = await startLab({ pcs: ['host', 'tech'] });
  let pcs;
  try {
    pcs = await startTwoPcs({ name: 'bench-netlab', net: lab });
    const probe = await pcs.probe(PROBE.w, PROBE.h, { x: PROBE.x, y: PROBE.y });
    for (const p of PROFILES) {
      await lab.pcs.host.setNat(p.host);
      await lab.pcs.tech.setNat(p.tech);
      if (p.impair) await lab.pcs.host.setImpairment(p.impair);
      try {
        rows.push(await measure(pcs, probe, p, lab));
      } catch (e) {
        console.log(`  ${p.name}: ${e.message.split('\n')[0]}`);
        if (await pcs.tech.page.isVisible('#viewer')) await pcs.tech.page.click('#vEnd').catch(() => {});
      } finally {
        if (p.impair) await lab.pcs.host.setImpairment(null);
      }
    }
  } finally {
    await pcs?.stop();
    await lab.stop();
  }
}
print(rows);
console.log(`  load average at the end ${os.loadavg().map((l) => l.toFixed(2)).join(' ')}`);
