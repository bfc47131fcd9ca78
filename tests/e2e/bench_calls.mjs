// Voice rooms of 2, 4 and 8 members on this machine, everything on loopback (two hosts,
// the signalling server, coturn, two Chromiums): for each size,
//   - join to every member connected: the last member presses Join until all of its
//     links, and every other page's link to it, are connected (p50 of several joins);
//   - CPU share per member: the CPU time of both browsers (every process) over 10 s of a
//     meshed room, divided by the members, beside the same pages open without a call;
//   - mouth to ear: the room's creator speaks an 80 ms marker tone every 750 ms, five
//     pitches in turn (its fake microphone); the first sample of each marker is found,
//     with its pitch, in the creator page's own audio graph and again in the audio
//     another member's page receives; p50 over at least 20 markers, beside one Opus
//     frame (20 ms) and, over the same markers, a bare pair of peer connections between
//     the same two pages (no signalling, default Opus), with each side's mean jitter
//     buffer delay. The bare pair is the reference because the jitter buffer follows the
//     machine's scheduling hiccups: both grow and shrink together.
//
//   node tests/e2e/bench_calls.mjs [--tones 24] [--joins 3] [--sizes 2,4,8]
// with VANTRIEL_BIN, VANTRIEL_SIGNAL_BIN and DESKTOP_PROBE set as for the two-PC tests
// (tools/bench.sh sets them).
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { execFileSync } from 'node:child_process';
import { startTwoPcs, waitFor } from './lib/twopc.mjs';
import { createCall, fakeMic, joinCall, meshed, openMemberPage, writeWav } from './twopc/calls_kit.mjs';

const arg = (name, dflt) => {
  const i = process.argv.indexOf(name);
  return i > 0 ? Number(process.argv[i + 1]) : dflt;
};
const TONES = Math.max(20, arg('--tones', 24));
const SIZES = (process.argv.includes('--sizes') ? process.argv[process.argv.indexOf('--sizes') + 1] : '2,4,8').split(',').map(Number);
const JOINS = Math.max(1, arg('--joins', 3));
const PERIOD = 0.75; // s between markers
const started = Date.now();
// Progress on standard error; the figures alone go to standard output.
const step = (what) => process.stderr.write(`[${((Date.now() - started) / 1000).toFixed(0)} s] ${what}\n`);
const OPUS_FRAME_MS = 20;

// Marks when each page's call links connect; runs before the page's script, after the
// instrumentation of twopc.mjs (whose class it extends).
function stampConnections() {
  const Native = window.RTCPeerConnection;
  window.RTCPeerConnection = class extends Native {
    constructor(...args) {
      super(...args);
      this.addEventListener('connectionstatechange', () => {
        if (this.connectionState === 'connected' && !this.connectedAt) this.connectedAt = performance.timeOrigin + performance.now();
      });
    }
  };
  document.addEventListener('click', (e) => {
    if (e.target.closest && e.target.closest('#callJoinBtn')) window.__joinAt = performance.timeOrigin + performance.now();
  }, true);
}

// Markers: 80 ms tones every PERIOD, their pitches cycling through PITCHES, so that a
// marker heard late (a jitter buffer grown past a period) still finds the one said.
const PITCHES = [600, 850, 1200, 1700, 2400];

// Onset finder: the first sample above 0.05 after 0.3 s below it, and which of PITCHES
// dominates the 20 ms from there (Goertzel), posted as [context time, pitch index].
// Loaded into each page's audio graph from a blob.
const ONSETS = `
const PITCHES = ${JSON.stringify(PITCHES)};
class Onsets extends AudioWorkletProcessor {
  constructor() { super(); this.quiet = 0; this.take = null; }
  process(inputs) {
    const ch = inputs[0] && inputs[0][0];
    if (!ch) { this.quiet += 128; return true; }
    for (let i = 0; i < ch.length; i++) {
      const x = ch[i];
      if (this.take) {
        this.take.buf.push(x);
        if (this.take.buf.length >= 0.02 * sampleRate) {
          const power = PITCHES.map((f) => {
            const k = 2 * Math.cos((2 * Math.PI * f) / sampleRate);
            let a = 0, b = 0;
            for (const v of this.take.buf) { const c = v + k * a - b; b = a; a = c; }
            return a * a + b * b - k * a * b;
          });
          this.port.postMessage([this.take.at, power.indexOf(Math.max(...power))]);
          this.take = null;
        }
      }
      if (Math.abs(x) > 0.05) {
        if (this.quiet > 0.3 * sampleRate && !this.take) this.take = { at: (currentFrame + i) / sampleRate, buf: [x] };
        this.quiet = 0;
      } else this.quiet++;
    }
    return true;
  }
}
registerProcessor('onsets', Onsets);`;

// Starts collecting onsets in `page` under `key` from the tracks `pick` returns
// (evaluated there, a function body returning MediaStreamTracks): window.__onsets[key]
// fills with wall-clock milliseconds.
function listen(page, key, pick) {
  return page.evaluate(async ([code, k, pickBody]) => {
    window.__listen ||= {};
    window.__onsets ||= {};
    if (window.__listen[k]) await window.__listen[k].close();
    const ac = new AudioContext();
    await ac.audioWorklet.addModule(URL.createObjectURL(new Blob([code], { type: 'text/javascript' })));
    const node = new AudioWorkletNode(ac, 'onsets');
    node.connect(ac.destination);
    for (const track of new Function(pickBody)()) ac.createMediaStreamSource(new MediaStream([track])).connect(node);
    window.__onsets[k] = [];
    node.port.onmessage = (e) => {
      const ts = ac.getOutputTimestamp();
      window.__onsets[k].push([performance.timeOrigin + ts.performanceTime + (e.data[0] - ts.contextTime) * 1000, e.data[1]]);
    };
    window.__listen[k] = ac;
  }, [ONSETS, key, pick]);
}

const onsets = (page, key) => page.evaluate((k) => window.__onsets[k].slice(), key);

// Mouth-to-ear delays: each ear onset paired with the latest mouth onset of the same
// pitch before it, within one cycle of the pitches.
function delays(mouth, ear) {
  const out = [];
  for (const [e, pitch] of ear) {
    const m = mouth.filter(([t, p]) => p === pitch && t <= e && e - t < PERIOD * PITCHES.length * 1000).at(-1);
    if (m !== undefined) out.push(e - m[0]);
  }
  return out;
}

const pct = (xs, p) => {
  const s = [...xs].sort((a, b) => a - b);
  return s.length ? s[Math.min(s.length - 1, Math.floor((p / 100) * s.length))] : NaN;
};

// The ear page's jitter buffer so far, summed over the peer connections `pcsBody`
// returns (evaluated there): seconds of delay and samples emitted.
const jitter = (ear, pcsBody) => ear.evaluate(async (body) => {
  let delay = 0;
  let emitted = 0;
  for (const pc of new Function(body)()) {
    (await pc.getStats()).forEach((s) => {
      if (s.type === 'inbound-rtp' && s.kind === 'audio') {
        delay += s.jitterBufferDelay || 0;
        emitted += s.jitterBufferEmittedCount || 0;
      }
    });
  }
  return { delay, emitted };
}, pcsBody);
const jitterMs = (a, b) => (1000 * (b.delay - a.delay)) / Math.max(1, b.emitted - a.emitted);

// The app's microphone in the mouth page, its call links in the ear page and what they
// receive; the bare pair's.
const APP_MOUTH = 'return [window.__mics.at(-1).stream.getAudioTracks()[0]];';
const APP_LINKS = "return window.__pcs.filter((p) => p.connectionState === 'connected' && p.getTransceivers().length === 1);";
const APP_EAR = `${APP_LINKS.slice(0, -1)}.map((p) => p.getReceivers()[0].track);`;
const BARE_LINKS = 'return [window.__bare.pc];';
const BARE_EAR = 'return [window.__bare.pc.getReceivers()[0].track];';

// A bare pair of peer connections from the mouth page to the ear page, beside whatever
// else they run: the mouth's own microphone with the processing the app asks for, the
// ear playing it, descriptions passed through here whole.
async function openBarePair(mouth, ear) {
  const offer = await mouth.evaluate(async () => {
    const mic = await navigator.mediaDevices.getUserMedia({ audio: { echoCancellation: true, noiseSuppression: true, autoGainControl: true, channelCount: 1 } });
    const pc = new RTCPeerConnection({ iceServers: [] });
    pc.addTrack(mic.getAudioTracks()[0], mic);
    window.__bare = { pc, mic };
    await pc.setLocalDescription();
    while (pc.iceGatheringState !== 'complete') await new Promise((r) => setTimeout(r, 20));
    return pc.localDescription.toJSON();
  });
  const answer = await ear.evaluate(async (o) => {
    const pc = new RTCPeerConnection({ iceServers: [] });
    const audio = new Audio();
    pc.ontrack = (e) => { audio.srcObject = new MediaStream([e.track]); audio.play(); };
    window.__bare = { pc, audio };
    await pc.setRemoteDescription(o);
    await pc.setLocalDescription();
    while (pc.iceGatheringState !== 'complete') await new Promise((r) => setTimeout(r, 20));
    return pc.localDescription.toJSON();
  }, offer);
  await mouth.evaluate((a) => window.__bare.pc.setRemoteDescription(a), answer);
  await waitFor(() => ear.evaluate(() => window.__bare.pc.connectionState === 'connected'), { timeout: 20000, what: 'the bare pair' });
}

async function closeBarePair(...pages) {
  for (const p of pages) {
    await p.evaluate(() => {
      window.__bare.pc.close();
      if (window.__bare.mic) window.__bare.mic.getTracks().forEach((t) => t.stop());
      if (window.__bare.audio) window.__bare.audio.srcObject = null;
    });
  }
}

// The markers over the room's links and over a bare pair at the same time: delays (ms)
// and the ear's mean jitter buffer delay (ms) for each.
async function markerDelays(mouth, ear) {
  await openBarePair(mouth, ear);
  await Promise.all([listen(mouth, 'app', APP_MOUTH), listen(ear, 'app', APP_EAR), listen(ear, 'bare', BARE_EAR)]);
  const j0 = [await jitter(ear, APP_LINKS), await jitter(ear, BARE_LINKS)];
  await new Promise((r) => setTimeout(r, (TONES + 1.5) * PERIOD * 1000));
  const j1 = [await jitter(ear, APP_LINKS), await jitter(ear, BARE_LINKS)];
  const said = await onsets(mouth, 'app');
  const app = delays(said, await onsets(ear, 'app'));
  const bare = delays(said, await onsets(ear, 'bare'));
  await closeBarePair(mouth, ear);
  app.jitterMs = jitterMs(j0[0], j1[0]);
  bare.jitterMs = jitterMs(j0[1], j1[1]);
  return { app, bare };
}

// CPU seconds so far of every process of both browsers (each in its own process group).
const TICK = Number(execFileSync('getconf', ['CLK_TCK']).toString()) || 100;
function browserCpuSeconds() {
  const cmd = (pid) => { try { return fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8'); } catch { return ''; } };
  const kids = execFileSync('pgrep', ['-P', String(process.pid)]).toString().trim().split('\n').map(Number);
  let ticks = 0;
  for (const browser of kids.filter((p) => cmd(p).includes('chromium'))) {
    let group = [];
    try { group = execFileSync('pgrep', ['-g', String(browser)]).toString().trim().split('\n').map(Number); } catch { /* gone */ }
    for (const pid of group) {
      try {
        const f = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
        ticks += Number(f[11]) + Number(f[12]); // utime, stime
      } catch { /* ended meanwhile */ }
    }
  }
  return ticks / TICK;
}

async function cpuShare(seconds) {
  const c0 = browserCpuSeconds();
  const t0 = process.hrtime.bigint();
  await new Promise((r) => setTimeout(r, seconds * 1000));
  return (100 * (browserCpuSeconds() - c0)) / (Number(process.hrtime.bigint() - t0) / 1e9);
}

// The last member (`ear`) leaves and joins again; resolves with the ms from its press of
// Join to the last link connected, its own and every other page's to it.
async function timedJoin(pages, ear, code) {
  const others = pages.filter((p) => p !== ear);
  if (await ear.locator('#callRoom').isVisible()) {
    await ear.click('#callLeave');
    await Promise.all(others.map((p) => meshed(p, others.length - 1, 120000)));
  }
  await joinCall(ear, code);
  const n = pages.length - 1;
  await Promise.all(pages.map((p) => meshed(p, n, 120000)));
  const joinAt = await ear.evaluate(() => window.__joinAt);
  // Every page's newest link is the one to the newcomer (the newcomer's are all new).
  const ats = await Promise.all(pages.map((p) => p.evaluate(() => Math.max(...window.__pcs
    .filter((pc) => pc.connectionState === 'connected' && pc.getTransceivers().length === 1).map((pc) => pc.connectedAt)))));
  return Math.max(...ats) - joinAt;
}

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vtr-bench-calls-'));
// The creator's microphone says the markers; the others' are silent.
const markers = writeWav(path.join(dir, 'markers.wav'), PERIOD * PITCHES.length, (t) => {
  const k = Math.floor(t / PERIOD);
  const at = t - k * PERIOD;
  return at < 0.08 ? 0.3 * Math.sin(2 * Math.PI * PITCHES[k] * at) : 0;
});
const silence = writeWav(path.join(dir, 'silence.wav'), 1, () => 0);
const pcs = await startTwoPcs({
  name: 'bench-calls',
  signalArgs: ['--joins-per-min', '600'],
  hostBrowserArgs: fakeMic(markers),
  techBrowserArgs: fakeMic(silence),
});
const extra = [];
try {
  const open = async (browser, app) => {
    const m = await openMemberPage(browser, app);
    // A room of eight is most of two cores: clicks may wait.
    m.page.setDefaultTimeout(120000);
    await m.page.addInitScript(stampConnections);
    await m.page.reload();
    await m.page.waitForSelector('html[data-ready="1"]');
    extra.push(m);
    return m.page;
  };
  // The mouth in the host PC's browser; the ear and the rest of the room in the other.
  const mouth = await open(pcs.host.browser, pcs.host.app);
  const ear = await open(pcs.tech.browser, pcs.tech.app);
  const rest = [];
  for (let i = 0; i < 6; i++) rest.push(await open(pcs.tech.browser, pcs.tech.app));
  // Pages of the two-PC set-up are not in any room; they stay open and idle.

  const load = () => os.loadavg().map((v) => v.toFixed(2)).join(' ');
  const ms = (xs, p) => `${pct(xs, p).toFixed(1)} ms`;
  console.log(`voice rooms on loopback, ${os.cpus().length} cores (load average ${load()} at the start); one Opus frame ${OPUS_FRAME_MS} ms`);
  for (const size of SIZES) {
    const pages = [mouth, ...rest.slice(0, size - 2), ear];
    step(`room of ${size}`);
    const idle = await cpuShare(10);
    const code = await createCall(mouth);
    for (const p of pages.slice(1, -1)) await joinCall(p, code);
    const joins = [];
    for (let i = 0; i < JOINS; i++) joins.push(await timedJoin(pages, ear, code));
    step('joined; CPU');
    const busy = await cpuShare(10);
    step('markers');
    const { app, bare } = await markerDelays(mouth, ear);
    console.log(`  room of ${size}: join to all connected p50 ${pct(joins, 50).toFixed(0)} ms (max ${Math.max(...joins).toFixed(0)}, ${joins.length} joins)`);
    console.log(`    CPU ${busy.toFixed(1)}% of one core for both browsers, ${(busy / size).toFixed(1)}% per member (the same pages without a call: ${idle.toFixed(1)}%)`);
    console.log(`    mouth to ear p50 ${ms(app, 50)}, p95 ${ms(app, 95)} over ${app.length} markers = ${(pct(app, 50) / OPUS_FRAME_MS).toFixed(1)} Opus frames (jitter buffer ${app.jitterMs.toFixed(0)} ms)`);
    console.log(`    bare pair, same markers: p50 ${ms(bare, 50)}, p95 ${ms(bare, 95)} over ${bare.length} (jitter buffer ${bare.jitterMs.toFixed(0)} ms); room / bare ${(pct(app, 50) / pct(bare, 50)).toFixed(2)}`);
    console.log(`    load average ${load()}`);
    for (const p of pages) await p.click('#callLeave');
    await new Promise((r) => setTimeout(r, 1000));
  }
} finally {
  for (const m of extra) await m.context.close().catch(() => {});
  await pcs.stop();
  fs.rmSync(dir, { recursive: true, force: true });
}
