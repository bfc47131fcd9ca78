#!/usr/bin/env node
// What the technician waits for in a session between two PCs on one machine: a key and a
// pointer move from the technician's page to an X window on the host PC's screen, the
// host PC's screen changing to the technician's page seeing it, and the host PC page's CPU
// while it shares the screen. Beside them, measured in the same run, the floor: a bare
// data channel between the same two browsers, a client that is not a browser typing on
// the host's input socket, and one frame interval at 30 fps. Prints figures only; asserts
// nothing about time.
//
//   VANTRIEL_BIN=.../vantriel VANTRIEL_SIGNAL_BIN=.../vantriel-signal DESKTOP_PROBE=.../desktop_probe \
//     node tests/e2e/bench_session.mjs [--samples N]
//
// Every time is on CLOCK_MONOTONIC (lib/session_bench.mjs).
import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import { parseArgs } from 'node:util';
import { execFileSync } from 'node:child_process';
import { pageToken } from './lib/host.mjs';
import { SCREEN, startTwoPcs } from './lib/twopc.mjs';
import { WARMUP, changeScreen, clockOf, field, glassToGlass, keyPresses, monoUs, openTimed, pointerMoves,
  printViewerModes, recordInputTimes, stopFrames, summary, viewerModes, watchFrames } from './lib/session_bench.mjs';

const { values: opts } = parseArgs({ options: { samples: { type: 'string', default: '200' } } });
const SAMPLES = Number(opts.samples);
if (!Number.isInteger(SAMPLES) || SAMPLES < 1) throw new Error(`--samples wants a positive whole number, not ${opts.samples}`);
const FPS = 30;
const CPU_SECONDS = 10;
const SETTLE_SECONDS = 5; // of screen changes before the CPU is read (see hostCpu)
// desktop_probe's window: on the left half of the host PC's screen, away from its browser.
const PROBE = { x: 100, y: 100, w: 400, h: 300 };
const AIMS = { keyP50: 5, keyP95: 10, glassP50: 120 };

// --- the floor: a bare data channel between the same two browsers --------------------

// A second pair of peer connections, its descriptions carried by Node whole (candidates
// gathered first), with one reliable ordered channel like the session's `ctl`; the host
// PC's page echoes and stamps each arrival, the technician's page times the round trips
// itself. Per message: half the round trip, and the way from the technician's page to the
// host PC's on the pages' clocks.
async function channelRoundTrips(pcs, clocks, count) {
  const { page: host } = pcs.host;
  const { page: tech } = pcs.tech;
  // Whole descriptions: each side waits for its candidates before handing its own over.
  const offer = await tech.evaluate(async () => {
    const pc = new RTCPeerConnection();
    const ch = pc.createDataChannel('bench-echo');
    window.__echo = { pc, ch };
    await pc.setLocalDescription();
    while (pc.iceGatheringState !== 'complete') await new Promise((r) => { pc.onicegatheringstatechange = r; });
    return pc.localDescription.toJSON();
  });
  const answer = await host.evaluate(async (desc) => {
    const pc = new RTCPeerConnection();
    const arrived = [];
    pc.ondatachannel = (e) => {
      e.channel.onmessage = (m) => {
        arrived.push(performance.now());
        e.channel.send(m.data);
      };
    };
    window.__echo = { pc, arrived };
    await pc.setRemoteDescription(desc);
    await pc.setLocalDescription();
    while (pc.iceGatheringState !== 'complete') await new Promise((r) => { pc.onicegatheringstatechange = r; });
    return pc.localDescription.toJSON();
  }, offer);
  const rtts = await tech.evaluate(async ([desc, n]) => {
    const { pc, ch } = window.__echo;
    await pc.setRemoteDescription(desc);
    if (ch.readyState !== 'open') await new Promise((r) => { ch.onopen = r; });
    const out = [];
    for (let i = 0; i < n; i++) {
      const t0 = performance.now();
      const back = new Promise((r) => { ch.onmessage = r; });
      ch.send(JSON.stringify({ t: 'in', ev: [{ k: 'kd', c: 'KeyA' }], i })); // a key press's size
      await back;
      out.push({ sent: t0, rtt: performance.now() - t0 });
      await new Promise((r) => setTimeout(r, 5 + Math.random() * 20));
    }
    return out;
  }, [answer, count]);
  const arrived = await host.evaluate(() => window.__echo.arrived);
  await Promise.all([tech, host].map((p) => p.evaluate(() => { window.__echo.pc.close(); delete window.__echo; })));
  // The way there on the two pages' clocks; the input goes only that way.
  return rtts.map((r, i) => ({ halfRtt: r.rtt / 2,
    oneWay: arrived.length === rtts.length ? (clocks.host.toUs(arrived[i]) - clocks.tech.toUs(r.sent)) / 1000 : null }));
}

// --- the floor past the host PC's page: a client of the host's own on its input socket ---

// A WebSocket client of the bare protocol over one TCP connection (text frames of under
// 64 KiB), for a client that is not a browser: it sends the Origin the host wants of its
// page.
async function openRawSocket(url, origin) {
  const { host, pathname, search } = new URL(url);
  const [hostname, port] = host.split(':');
  const sock = net.connect(Number(port), hostname);
  sock.setNoDelay(true);
  let buf = Buffer.alloc(0);
  let failed = null;
  let wake = () => {};
  sock.on('data', (d) => {
    buf = Buffer.concat([buf, d]);
    wake();
  });
  sock.on('error', (e) => {
    failed = e;
    wake();
  });
  sock.on('close', () => {
    failed ??= new Error('the input socket closed');
    wake();
  });
  // Resolves when more bytes came; rejects once the socket failed or closed.
  const more = () => (failed ? Promise.reject(failed) : new Promise((resolve, reject) => {
    wake = () => (failed ? reject(failed) : resolve());
  }));
  sock.once('connect', () => wake());
  await more();
  sock.write(`GET ${pathname}${search} HTTP/1.1\r\nHost: ${host}\r\nOrigin: ${origin}\r\nUpgrade: websocket\r\n` +
    `Connection: Upgrade\r\nSec-WebSocket-Key: ${crypto.randomBytes(16).toString('base64')}\r\nSec-WebSocket-Version: 13\r\n\r\n`);
  while (!buf.includes('\r\n\r\n')) await more();
  const head = buf.subarray(0, buf.indexOf('\r\n\r\n')).toString();
  if (!head.startsWith('HTTP/1.1 101')) throw new Error(`the input socket was refused: ${head.split('\r\n')[0]}`);
  buf = buf.subarray(buf.indexOf('\r\n\r\n') + 4);
  return {
    send(text) {
      const payload = Buffer.from(text);
      const mask = crypto.randomBytes(4);
      const len = payload.length < 126 ? Buffer.from([0x80 | payload.length]) : Buffer.from([0x80 | 126, payload.length >> 8, payload.length & 255]);
      sock.write(Buffer.concat([Buffer.from([0x81]), len, mask, payload.map((b, i) => b ^ mask[i % 4])]));
    },
    async receive() {
      for (;;) {
        if (buf.length >= 2) {
          const short = buf[1] & 127;
          const at = short === 126 ? 4 : 2;
          const len = short === 126 ? buf.readUInt16BE(2) : short;
          if (buf.length >= at + len) {
            const text = buf.subarray(at, at + len).toString();
            buf = buf.subarray(at + len);
            return text;
          }
        }
        await more();
      }
    },
    close: () => sock.destroy(),
  };
}

// Key presses sent straight to the host's input socket, as the host PC's page sends them,
// by a client that is not a browser; per press, ms from the send to the probe's KeyPress.
// Beside the page's own leg, the difference is the browser's own part of that leg.
async function socketKeyPresses(pcs, probe, count) {
  const page = pcs.host.page;
  const token = await pageToken(page);
  const origin = new URL(page.url()).origin;
  const ws = await openRawSocket(`ws://${new URL(origin).host}/api/input?token=${token}`, origin);
  const letters = 'qwertyuiop';
  const out = [];
  try {
    for (let i = 0; i < count; i++) {
      const letter = letters[i % letters.length];
      const code = 'Key' + letter.toUpperCase();
      const sent = monoUs();
      ws.send(JSON.stringify({ mon: 0, ev: [{ k: 'kd', c: code }] }));
      await ws.receive();
      ws.send(JSON.stringify({ mon: 0, ev: [{ k: 'ku', c: code }] }));
      await ws.receive();
      const got = await probe.until((e) => e.t === 'kr' && e.keysym === letter.charCodeAt(0), 5000).catch(() => null);
      const press = got && got.find((e) => e.t === 'kp' && e.text === letter);
      out.push(press ? (press.us - sent) / 1000 : null);
      await new Promise((r) => setTimeout(r, 10 + Math.random() * 30));
    }
  } finally {
    ws.close();
  }
  return out;
}

// --- input: the technician's page to the probe window ---------------------------------

// --- CPU of the host PC's browser ----------------------------------------------------

const TICK = Number(execFileSync('getconf', ['CLK_TCK']).toString()); // /proc's unit of CPU time

function procStat(pid) {
  try {
    const s = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    const f = s.slice(s.lastIndexOf(')') + 2).split(' '); // the name may hold spaces
    return { ppid: Number(f[1]), cpu: Number(f[11]) + Number(f[12]) };
  } catch {
    return null; // gone meanwhile
  }
}

// Chromium rewrites its helpers' command lines as one string joined by blanks.
function cmdline(pid) {
  try {
    return fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').split(/[\0 ]+/).filter(Boolean);
  } catch {
    return [];
  }
}

// The host PC's Chromium: a child of this process (Playwright starts it), the one without
// --headless. Its renderers hang below its zygotes, so the whole tree is walked.
function hostBrowserTree() {
  const all = fs.readdirSync('/proc').filter((d) => /^\d+$/.test(d)).map(Number);
  const parent = new Map();
  for (const pid of all) {
    const st = procStat(pid);
    if (st) parent.set(pid, st.ppid);
  }
  const browsers = all.filter((pid) => parent.get(pid) === process.pid && /chrom/.test(cmdline(pid)[0] ?? ''));
  const headful = browsers.filter((pid) => !cmdline(pid).some((a) => a.startsWith('--headless')));
  if (headful.length !== 1) throw new Error(`expected one headful browser among ${browsers}, found ${headful.length}`);
  const tree = new Set(headful);
  for (let grew = true; grew;) {
    grew = false;
    for (const [pid, pp] of parent) {
      if (!tree.has(pid) && tree.has(pp)) { tree.add(pid); grew = true; }
    }
  }
  return [...tree];
}

function processKind(pid) {
  const args = cmdline(pid);
  const type = args.find((a) => a.startsWith('--type='))?.slice(7);
  if (!type) return 'browser';
  if (type === 'gpu-process') return 'gpu';
  if (type === 'utility') {
    const sub = args.find((a) => a.startsWith('--utility-sub-type='))?.slice(19) ?? '';
    return 'utility:' + (sub.split('.').find((w) => /service$/i.test(w)) ?? (sub || '?'));
  }
  return type;
}

function cpuTicks(pids) {
  const out = new Map();
  for (const pid of pids) {
    const st = procStat(pid);
    if (st) out.set(pid, st.cpu);
  }
  return out;
}

// The screen capture's and the encoder's frame counts: whether "30 fps" held, and if not,
// what WebRTC says held it back.
const senderStats = (host) => host.evaluate(async () => {
  for (const pc of window.__pcs) {
    if (pc.connectionState !== 'connected') continue;
    const stats = await pc.getStats();
    const transport = [...stats.values()].find((r) => r.type === 'transport' && r.selectedCandidatePairId);
    const pair = transport && stats.get(transport.selectedCandidatePairId);
    for (const r of stats.values()) {
      if (r.type === 'outbound-rtp' && r.kind === 'video') {
        const codec = r.codecId && stats.get(r.codecId);
        const source = r.mediaSourceId && stats.get(r.mediaSourceId);
        return { captured: source ? source.frames : null, sent: r.framesSent, w: r.frameWidth, h: r.frameHeight,
          bytes: r.bytesSent, encoder: r.encoderImplementation ?? '', codec: codec ? codec.mimeType : '?',
          limits: r.qualityLimitationDurations ?? {}, estimate: pair ? pair.availableOutgoingBitrate ?? null : null };
      }
    }
  }
  return null;
});

// What changed between two sender readings `seconds` apart: frames captured and sent per
// second, the bit rate, and what limited the encoder for how long.
function senderDelta(a, b, seconds) {
  const limited = Object.entries(b.limits)
    .map(([why, s]) => [why, s - (a.limits[why] ?? 0)])
    .filter(([why, s]) => why !== 'none' && s > 0.05);
  return { ...b, limited, capturedFps: b.captured === null ? null : (b.captured - a.captured) / seconds,
    sentFps: (b.sent - a.sent) / seconds, kbps: ((b.bytes - a.bytes) * 8) / seconds / 1000 };
}

// The frames the other qualities of the technician's menu get while the screen changes
// every frame interval (the menu's own way: a message to the host, which sets its
// encoder). "auto", the session's first, is what hostCpu measured: a change of settings
// clears what the encoder's adaptation holds, so "auto" chosen again would look better
// than a session that kept it.
async function framesPerQuality(pcs, probe, seconds) {
  const out = [];
  for (const q of ['nitidez', 'fluidez']) {
    await pcs.tech.page.click('#vQual');
    await pcs.tech.page.click(`#menu [data-q="${q}"]`);
    await changeScreen(probe, 3);
    const a = await senderStats(pcs.host.page);
    const t0 = monoUs();
    await changeScreen(probe, seconds);
    const b = await senderStats(pcs.host.page);
    out.push({ q, ...senderDelta(a, b, (monoUs() - t0) / 1e6) });
  }
  return out;
}

// The host PC's screen keeps changing (the probe window every frame interval) while the
// host browser's CPU time is read before and after; also the frames its encoder sent.
async function hostCpu(pcs, probe, seconds) {
  const host = pcs.host.page;
  // The bandwidth estimate starts low and grew little while the screen stood still: a
  // few seconds of changes first, so the encoder runs as it does once a session is going.
  await changeScreen(probe, SETTLE_SECONDS);
  const pids = hostBrowserTree();
  const before = cpuTicks(pids);
  const statsBefore = await senderStats(host);
  const t0 = monoUs();
  await changeScreen(probe, seconds);
  const wallS = (monoUs() - t0) / 1e6;
  // Processes started meanwhile count from zero; ones that ended are lost (rare, and small).
  const after = cpuTicks(new Set([...pids, ...hostBrowserTree()]));
  const statsAfter = await senderStats(host);
  const byKind = new Map();
  for (const [pid, ticks] of after) {
    const kind = processKind(pid);
    const used = ticks - (before.get(pid) ?? 0);
    const k = byKind.get(kind) ?? { pct: 0, count: 0 };
    k.pct += (used / TICK / wallS) * 100;
    k.count += 1;
    byKind.set(kind, k);
  }
  const stream = statsBefore && statsAfter ? senderDelta(statsBefore, statsAfter, wallS) : null;
  return { byKind, wallS, stream };
}

// --- printing ------------------------------------------------------------------------

const ms = (v) => (v === null || v === undefined ? '—' : `${v.toFixed(v < 10 ? 2 : 1)} ms`);

function row(label, s, aim = '') {
  const cells = s ? [ms(s.p50), ms(s.p95), ms(s.mean)] : ['—', '—', '—'];
  const n = `${s ? s.n : 0}${s && s.lost ? ` (+${s.lost} lost)` : ''}`;
  return `  ${label.padEnd(40)}${cells.map((c) => c.padStart(10)).join('')}  ${n.padStart(5)}   ${aim}`;
}

const verdict = (ok) => (ok ? 'met' : 'NOT met');

// --- the run -------------------------------------------------------------------------

const startLoad = os.loadavg();
console.log(`session benchmark: ${SAMPLES} samples each after ${WARMUP} warm-up, ${os.cpus().length} cores, ` +
  `load average ${startLoad.map((l) => l.toFixed(2)).join(' ')}`);
const pcs = await startTwoPcs({ name: 'bench-session' });
try {
  const clocks = { tech: await clockOf(pcs.tech.page), host: await clockOf(pcs.host.page) };
  const accept = await openTimed(pcs, clocks.tech, { timeout: 20000 });
  const probe = await pcs.probe(PROBE.w, PROBE.h, { x: PROBE.x, y: PROBE.y, motion: true });

  const echo = (await channelRoundTrips(pcs, clocks, SAMPLES + WARMUP)).slice(WARMUP);

  await recordInputTimes(pcs);
  const moves = (await pointerMoves(pcs, probe, SAMPLES + WARMUP, clocks, PROBE)).slice(WARMUP);
  // With no window manager on the host PC's screen, the probe gets the keyboard by hand.
  await pcs.xdotool('windowfocus', String((await pcs.pointer()).window));
  const keys = (await keyPresses(pcs, probe, SAMPLES + WARMUP, clocks)).slice(WARMUP);
  const socketKeys = (await socketKeyPresses(pcs, probe, SAMPLES + WARMUP)).slice(WARMUP);

  await watchFrames(pcs.tech.page, PROBE.x + PROBE.w / 2, PROBE.y + PROBE.h / 2);
  const g2g = (await glassToGlass(pcs, probe, SAMPLES + WARMUP, clocks.tech)).slice(WARMUP);
  const modes = await viewerModes(pcs, probe, Math.ceil(SAMPLES / 2), clocks.tech);
  await stopFrames(pcs.tech.page);

  const cpu = await hostCpu(pcs, probe, CPU_SECONDS);
  const qualities = await framesPerQuality(pcs, probe, 6);
  const techDrift = (await clockOf(pcs.tech.page)).offsetUs - clocks.tech.offsetUs;
  const endLoad = os.loadavg();
  const errors = pcs.pageErrors();

  const key = summary(field(keys, 'total'));
  const g = summary(field(g2g, 'total'));
  console.log('');
  console.log(`  accept → first picture on the technician's page: ${ms(accept)}`);
  console.log(`  ${''.padEnd(40)}${['p50', 'p95', 'mean'].map((c) => c.padStart(10)).join('')}  ${'n'.padStart(5)}   aim on loopback`);
  console.log(row('key press: page keydown → X KeyPress', key,
    `p50 < ${AIMS.keyP50} ms, p95 < ${AIMS.keyP95} ms: ${key ? verdict(key.p50 < AIMS.keyP50 && key.p95 < AIMS.keyP95) : '—'}`));
  console.log(row('  technician page → host page posts', summary(field(keys, 'toPost'))));
  console.log(row('    technician page: keydown → send', summary(field(keys, 'toSend'))));
  console.log(row('    data channel: send → message parsed', summary(field(keys, 'channel'))));
  console.log(row('    host page: message → posts', summary(field(keys, 'toHand'))));
  console.log(row('  host page posts → X KeyPress', summary(field(keys, 'fromPost'))));
  console.log(row('pointer move: pointermove → X Motion', summary(field(moves, 'total'))));
  console.log(row('  technician page → host page posts', summary(field(moves, 'toPost'))));
  console.log(row('    technician page: pointermove → send', summary(field(moves, 'toSend'))));
  console.log(row('    data channel: send → message parsed', summary(field(moves, 'channel'))));
  console.log(row('    host page: message → posts', summary(field(moves, 'toHand'))));
  console.log(row('  host page posts → X MotionNotify', summary(field(moves, 'fromPost'))));
  console.log(row('glass to glass: X fill → page frame', g,
    `p50 < ${AIMS.glassP50} ms: ${g ? verdict(g.p50 < AIMS.glassP50) : '—'}`));
  console.log(row('  X fill → its last packet in', summary(field(g2g, 'toReceived'))));
  console.log(row('  last packet in → frame callback', summary(field(g2g, 'toShown'))));
  console.log(row('floor: data channel, technician → host', summary(field(echo, 'oneWay')), 'reference, same two browsers'));
  console.log(row('  the same, ½ round trip', summary(field(echo, 'halfRtt'))));
  console.log(row('floor: a plain client\'s socket → X', summary(socketKeys), 'reference, the host\'s input socket without a browser'));
  console.log(`  ${'floor: one frame at the capture rate'.padEnd(40)}${ms(1000 / FPS).padStart(10)}${''.padStart(27)}   reference, ${FPS} fps`);
  console.log('');
  printViewerModes(modes);
  console.log('');
  const kinds = [...cpu.byKind.entries()].sort((x, y) => y[1].pct - x[1].pct);
  const totalPct = kinds.reduce((sum, [, k]) => sum + k.pct, 0);
  const st = cpu.stream;
  console.log(`  host PC browser CPU over ${cpu.wallS.toFixed(1)} s sharing ${SCREEN.width}×${SCREEN.height} at ${FPS} fps ` +
    `(a window changing every ${(1000 / FPS).toFixed(0)} ms): ${totalPct.toFixed(1)}% of one core`);
  console.log('    ' + kinds.map(([k, v]) => `${k}${v.count > 1 ? `×${v.count}` : ''} ${v.pct.toFixed(1)}%`).join(', '));
  const fps = (v) => (v === null ? '?' : v.toFixed(1));
  const limits = (x) => (x.limited.length ? `; limited by ${x.limited.map(([why, t]) => `${why} ${t.toFixed(1)} s`).join(', ')}` : '');
  if (st) {
    console.log(`    frames captured ${fps(st.capturedFps)}/s, sent ${fps(st.sentFps)}/s at ${st.w}×${st.h}, ${st.codec}` +
      `${st.encoder ? ` (${st.encoder})` : ''}` +
      `${st.estimate ? `, bandwidth estimate ${(st.estimate / 1e6).toFixed(1)} Mbit/s` : ''}` +
      `${limits(st)}`);
  }
  for (const x of qualities) {
    console.log(`    quality "${x.q}": frames captured ${fps(x.capturedFps)}/s, sent ${fps(x.sentFps)}/s, ` +
      `${Math.round(x.kbps)} kbit/s${limits(x)}`);
  }
  console.log('');
  const clockText = (c) => `±${(c.errorUs / 1000).toFixed(2)} ms (${c.told ? 'its time origin as Chromium tells it' : 'round trips'})`;
  console.log(`  page clocks on CLOCK_MONOTONIC within ${clockText(clocks.tech)} on the technician's, ` +
    `${clockText(clocks.host)} on the host PC's; the technician's moved ${(techDrift / 1000).toFixed(2)} ms over the run`);
  console.log(`  load average at the end ${endLoad.map((l) => l.toFixed(2)).join(' ')}`);
  if (errors.length) console.log(`  page errors: ${errors.join(' | ')}`);
} finally {
  await pcs.stop();
}
