#!/usr/bin/env node
// What a support session feels like across the networks of the lab (lib/netlab.mjs),
// beside the same session on loopback measured in the same run: the time from "accept" to
// the first picture, the route WebRTC chose, a key press and glass to glass (p50, p95:
// the method of bench_session.mjs), the picture the link carried while the screen kept
// changing, and for a network that changes, the time from the link's return (and from a
// new address) to a live picture. Prints figures only; asserts nothing about time. Needs
// root (network namespaces).
//
//   VANTRIEL_BIN=... VANTRIEL_SIGNAL_BIN=... DESKTOP_PROBE=... node tests/e2e/bench_netlab.mjs [--samples N] [--profiles a,e]
import os from 'node:os';
import { parseArgs } from 'node:util';
import { labUnavailable, selectedPair, startLab } from './lib/netlab.mjs';
import { startTwoPcs } from './lib/twopc.mjs';
import { WARMUP, clockOf, field, glassToGlass, keyPresses, monoUs, nextColour, openTimed, printViewerModes, recordInputTimes,
  screenPoint, sleep, stopFrames, summary, viewerModes, watchFrames } from './lib/session_bench.mjs';

const { values: opts } = parseArgs({ options: { samples: { type: 'string', default: '100' }, profiles: { type: 'string', default: 'a,b,c,d,e' } } });
const SAMPLES = Number(opts.samples);
if (!Number.isInteger(SAMPLES) || SAMPLES < 1) throw new Error(`--samples wants a positive whole number, not ${opts.samples}`);
const PROBE = { x: 100, y: 100, w: 400, h: 300 };
const STREAM_SECONDS = 8;

const PROFILES = [
  { name: 'a', what: 'endpoint-independent NAT on both', host: 'cone', tech: 'cone' },
  { name: 'b', what: 'symmetric NAT on both', host: 'symmetric', tech: 'symmetric' },
  { name: 'c', what: 'host PC: only TCP leaves', host: 'tcp-only', tech: 'cone' },
  { name: 'd', what: 'host PC: 2 Mbit/s, 3 % loss, 80 ms', host: 'cone', tech: 'cone',
    impair: { kbit: 2000, lossPct: 3, delayMs: 40 }, compareViewer: true },
  { name: 'e', what: 'host PC: link down 5 s, new address', host: 'cone', tech: 'cone', change: true },
];

async function endSession(pcs) {
  await pcs.host.page.click('#hbEnd');
  await pcs.tech.page.waitForSelector('#viewer', { state: 'hidden', timeout: 30000 });
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
      await probe.color(nextColour());
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
    const rgb = nextColour();
    await pcs.tech.page.evaluate((c) => window.__frames.expect(c), rgb);
    await probe.color(rgb);
    const seen = await pcs.tech.page.evaluate(() => window.__frames.seen(300));
    if (seen !== null) return (clock.toUs(seen.at) - t0) / 1000;
  }
  return null;
}

const describe = (side) => (side ? `${side.type}/${side.protocol}` : '?');

// The host PC's pointer is put on the probe window by a click through the picture, at a
// point away from the pixel glass to glass reads (the capture draws the pointer); with no
// window manager on that screen, the keyboard focus is then given by hand.
async function focusProbe(pcs, probe) {
  const at = await screenPoint(pcs.tech.page, PROBE.x + 20, PROBE.y + 20);
  await pcs.tech.page.mouse.click(at.x, at.y);
  await probe.until((e) => e.t === 'br', 20000);
  await pcs.xdotool('windowfocus', String((await pcs.pointer()).window));
}

// One whole session on `pcs`: every figure of a profile.
async function measure(pcs, probe, profile, lab) {
  const t0 = Date.now();
  const step = (what) => console.error(`  [${profile.name} ${((Date.now() - t0) / 1000).toFixed(0)} s] ${what}`);
  const clocks = { tech: await clockOf(pcs.tech.page), host: await clockOf(pcs.host.page) };
  const accept = await openTimed(pcs, clocks.tech);
  await sleep(1000);
  const pair = await selectedPair(pcs.host.page);
  const route = pair ? `${describe(pair.local)} ↔ ${describe(pair.remote)}` : '?';
  step(`open in ${Math.round(accept)} ms, ${route}`);
  await focusProbe(pcs, probe);
  await recordInputTimes(pcs);
  const keys = (await keyPresses(pcs, probe, SAMPLES + WARMUP, clocks)).slice(WARMUP);
  step('keys');
  await watchFrames(pcs.tech.page, PROBE.x + PROBE.w / 2, PROBE.y + PROBE.h / 2);
  const glass = (await glassToGlass(pcs, probe, SAMPLES + WARMUP, clocks.tech)).slice(WARMUP);
  step('glass to glass');
  const modes = profile.compareViewer ? await viewerModes(pcs, probe, Math.ceil(SAMPLES / 2), clocks.tech) : null;
  const carried = await stream(pcs, probe);
  step('picture carried');
  const out = { name: profile.name, what: profile.what, accept, route, rtt: pair && pair.rtt,
    keys: summary(field(keys, 'total')), glass: summary(field(glass, 'total')), carried, modes };
  if (profile.change) {
    const pc = lab.pcs.host;
    await pc.linkDown();
    await sleep(5000);
    const back = monoUs();
    await pc.linkUp();
    out.linkBack = await liveAgain(pcs, probe, clocks.tech, back);
    await sleep(2000);
    const moved = monoUs();
    await pc.newAddress();
    out.newAddress = await liveAgain(pcs, probe, clocks.tech, moved);
  }
  await stopFrames(pcs.tech.page);
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
    if (r.modes) {
      console.log(`  ${r.name}: the viewer's playout delay`);
      printViewerModes(r.modes, '    ');
    }
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
    rows.push(await measure(pcs, probe, { name: 'loopback', what: 'both PCs on 127.0.0.1 (reference)', compareViewer: true }));
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
    for (const p of PROFILES.filter((x) => opts.profiles.split(',').includes(x.name))) {
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
