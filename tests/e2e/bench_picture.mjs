#!/usr/bin/env node
// What the technician sees of the host PC's screen, per video codec and quality: the host
// PC's screen shows scripted support work (a document scrolling, typing in an editor, a
// dialog opening, a small video), every frame marked with its step, and the technician's
// page reads the received frames. For each codec the browser offers and each quality of
// the technician's menu it prints the bit rate, frames shown per second and freezes while
// the screen moves, glass to glass (the method of bench_session.mjs), the SSIM of received
// frames to their source while moving and once the screen is still, the characters
// tesseract reads correctly from received frames against the same from the source frames,
// and the CPU of the host PC's browser. On loopback, then on the network lab's bad link
// (2 Mbit/s, 3 % loss, 80 ms; needs root). Figures only; asserts nothing.
//
//   VANTRIEL_BIN=... VANTRIEL_SIGNAL_BIN=... DESKTOP_PROBE=... node tests/e2e/bench_picture.mjs
//     [--seconds 6] [--still 3] [--glass 12] [--codecs VP8,VP9] [--qualities auto,nitidez]
//     [--nets loopback,bad] [--override '{"degradation":"maintain-framerate"}']
//
// --codecs names codecs without "video/"; "page" (run after every codec unless --codecs
// says otherwise) is a session with no codec forced: the page's own choice per quality.
//
// --seconds is the time measured while the screen moves, per codec and quality; the
// whole run takes about (seconds + still + 8) s per codec and quality and network, and
// the OCR after it. --override sets the sender's parameters over the page's own
// (degradation, maxBitrate, scalabilityMode, hint), to try settings without a build.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { parseArgs } from 'node:util';
import { execFileSync } from 'node:child_process';
import { labUnavailable, startLab } from './lib/netlab.mjs';
import { startTwoPcs } from './lib/twopc.mjs';
import { clockOf, field, glassToGlass, openTimed, sleep, stopFrames, summary, watchFrames } from './lib/session_bench.mjs';
import { SCENE, TEXT_AREA, correctChars, ocr, resetSteps, smoothness, ssim, startScene, takeSteps, watchSteps }
  from './lib/picture_scene.mjs';

const { values: opts } = parseArgs({ options: {
  seconds: { type: 'string', default: '6' }, still: { type: 'string', default: '3' }, glass: { type: 'string', default: '12' },
  codecs: { type: 'string', default: '' }, qualities: { type: 'string', default: 'auto,nitidez,fluidez' },
  nets: { type: 'string', default: 'loopback,bad' }, override: { type: 'string', default: '' },
} });
const number = (name, min) => {
  const v = Number(opts[name]);
  if (!Number.isFinite(v) || v < min) throw new Error(`--${name} wants a number of at least ${min}, not ${opts[name]}`);
  return v;
};
const MOVE_S = number('seconds', 1);
const STILL_S = number('still', 0.5);
const GLASS = Math.round(number('glass', 0));
const QUALITIES = opts.qualities.split(',').filter(Boolean);
const NETS = opts.nets.split(',').filter(Boolean);
const OVERRIDE = opts.override ? JSON.parse(opts.override) : null;
const PREROLL_S = 2; // of motion after a change of quality, before measuring
const GRABS = 6; // received frames compared with their source while moving
const OCR_MOVING = 1; // of them read by the OCR (a few seconds each)
// desktop_probe's window for glass to glass: below the scene, over the foot of its window
// (the host PC's browser may raise itself over a window on its side).
const PROBE = { x: 240, y: 736, w: 200, h: 60 };
const BAD_LINK = { kbit: 2000, lossPct: 3, delayMs: 40 };
const NOT_CODECS = /^video\/(rtx|red|ulpfec|flexfec)/i;

// --- the host PC's side --------------------------------------------------------------

// Makes the host PC's page offer only `mime` (with its repair formats) from its next
// session on, and lays `override` over every setParameters of its senders.
const forceCodec = (host, mime, override) => host.evaluate(([want, over]) => {
  window.__picture = { want, over };
  if (window.__pictureHooked) return;
  window.__pictureHooked = true;
  const setPrefs = RTCRtpTransceiver.prototype.setCodecPreferences;
  RTCRtpTransceiver.prototype.setCodecPreferences = function (codecs) {
    const w = window.__picture.want;
    const kept = w ? codecs.filter((c) => c.mimeType.toLowerCase() === w.toLowerCase() || !/^video\/(vp8|vp9|av1|h264|h265)$/i.test(c.mimeType)) : codecs;
    return setPrefs.call(this, kept);
  };
  const setParams = RTCRtpSender.prototype.setParameters;
  RTCRtpSender.prototype.setParameters = function (params, ...rest) {
    const o = window.__picture.over;
    if (o && this.track && this.track.kind === 'video') {
      if (o.hint !== undefined) this.track.contentHint = o.hint;
      if (o.degradation !== undefined) params.degradationPreference = o.degradation;
      for (const e of params.encodings || []) {
        if (o.maxBitrate !== undefined) e.maxBitrate = o.maxBitrate;
        if (o.scalabilityMode !== undefined) e.scalabilityMode = o.scalabilityMode;
      }
    }
    return setParams.call(this, params, ...rest);
  };
}, [mime, override]);

// The video sender's counters now.
const senderStats = (host) => host.evaluate(async () => {
  for (const pc of window.__pcs) {
    if (pc.connectionState !== 'connected') continue;
    const stats = await pc.getStats();
    for (const r of stats.values()) {
      if (r.type === 'outbound-rtp' && r.kind === 'video') {
        const codec = r.codecId && stats.get(r.codecId);
        const sender = pc.getSenders().find((s) => s.track && s.track.kind === 'video');
        const p = sender ? sender.getParameters() : null;
        return { at: performance.now(), bytes: r.bytesSent, sent: r.framesSent, w: r.frameWidth, h: r.frameHeight,
          codec: codec ? codec.mimeType : '?', encoder: r.encoderImplementation ?? '', mode: r.scalabilityMode ?? '',
          limits: r.qualityLimitationDurations ?? {}, hint: sender && sender.track ? sender.track.contentHint : '',
          degradation: p ? p.degradationPreference ?? '' : '' };
      }
    }
  }
  return null;
});

// --- CPU of the host PC's browser ---------------------------------------------------------

const TICK = Number(execFileSync('getconf', ['CLK_TCK']).toString());

function procStat(pid) {
  try {
    const s = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    const f = s.slice(s.lastIndexOf(')') + 2).split(' ');
    return { ppid: Number(f[1]), cpu: Number(f[11]) + Number(f[12]) };
  } catch {
    return null; // gone meanwhile
  }
}

const cmdline = (pid) => {
  try {
    return fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8');
  } catch {
    return '';
  }
};

// The host PC's browser and every process below it: among this process's descendants,
// the Chromium that is neither headless (the technician's) nor the scene's (its profile).
function hostBrowserTree() {
  const parent = new Map();
  for (const d of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(d)) continue;
    const st = procStat(Number(d));
    if (st) parent.set(Number(d), st.ppid);
  }
  const below = (roots) => {
    const tree = new Set(roots);
    for (let grew = true; grew;) {
      grew = false;
      for (const [pid, pp] of parent) if (!tree.has(pid) && tree.has(pp)) { tree.add(pid); grew = true; }
    }
    return tree;
  };
  const mine = [...below([process.pid])];
  const browsers = mine.filter((pid) => {
    const c = cmdline(pid);
    return /chromium/.test(c.split('\0')[0]) && !/--type=/.test(c) && !/--headless/.test(c) && !/vtr-picture-scene/.test(c);
  });
  const roots = browsers.filter((pid) => !browsers.includes(parent.get(pid)));
  if (roots.length !== 1) throw new Error(`expected the host PC's browser alone, found ${roots.length}`);
  return [...below(roots)];
}

const cpuTicks = (pids) => {
  let t = 0;
  for (const pid of pids) t += procStat(pid)?.cpu ?? 0;
  return t;
};

// --- one codec and quality --------------------------------------------------------------

async function chooseQuality(pcs, q) {
  await pcs.tech.page.click('#vQual');
  await pcs.tech.page.click(`#menu [data-q="${q}"]`);
}

// The received frame now, whatever the frame callbacks saw: the still screen may send
// no new frame.
const grabNow = (tech) => tech.evaluate(() => window.__pic.snap());

async function measureQuality(pcs, scene, probe, clock, q, first) {
  const tech = pcs.tech.page;
  if (!first) await chooseQuality(pcs, q);
  await scene.move(true);
  await sleep(PREROLL_S * 1000);
  await resetSteps(tech, { left: GRABS, everyMs: (MOVE_S * 1000) / GRABS });
  const pids = hostBrowserTree();
  const cpu0 = cpuTicks(pids);
  const s0 = await senderStats(pcs.host.page);
  const from = await tech.evaluate(() => performance.now());
  const wall0 = Date.now();
  const step0 = await scene.step();
  await sleep(MOVE_S * 1000);
  const to = await tech.evaluate(() => performance.now());
  const s1 = await senderStats(pcs.host.page);
  const cpu1 = cpuTicks(new Set([...pids, ...hostBrowserTree()]));
  const wallS = (Date.now() - wall0) / 1000;
  const stillStep = await scene.move(false);
  const sceneFps = (stillStep - step0) / ((Date.now() - wall0) / 1000);
  const moving = await takeSteps(tech);
  await sleep(STILL_S * 1000);
  const still = await grabNow(tech);
  const stillGray = still && Buffer.from(still.gray, 'base64');
  const glass = GLASS ? (await glassToGlass(pcs, probe, GLASS, clock)).map((x) => x.total) : [];
  await probe.color('ffffff'); // as the scene's page around it, should the two meet
  const smooth = smoothness(moving.frames, from, to);
  const limited = s0 && s1 ? Object.entries(s1.limits).map(([why, s]) => [why, s - (s0.limits[why] ?? 0)])
    .filter(([why, s]) => why !== 'none' && s > 0.2) : [];
  const grabs = moving.grabs;
  const ssimOf = async (g) => ssim(g.gray, await scene.source(g.id), SCENE.w, SCENE.h);
  const movingSsim = [];
  for (const g of grabs) movingSsim.push(await ssimOf(g));
  const stillOk = still && still.id === (stillStep & 0xffff);
  if (stillOk && process.env.PICTURE_DUMP) { // the still frame and its source, to look at
    const pgm = (g) => Buffer.concat([Buffer.from(`P5\n${SCENE.w} ${SCENE.h}\n255\n`), g]);
    const stem = path.join(process.env.PICTURE_DUMP, `${q}-${Date.now()}`);
    fs.writeFileSync(`${stem}-received.pgm`, pgm(stillGray));
    fs.writeFileSync(`${stem}-source.pgm`, pgm(await scene.source(still.id)));
  }
  return {
    q, codec: s1?.codec ?? '?', encoder: s1?.encoder ?? '', size: s1 ? `${s1.w}×${s1.h}` : '?', mode: s1?.mode ?? '',
    hint: s1?.hint ?? '', degradation: s1?.degradation ?? '',
    kbps: s0 && s1 ? ((s1.bytes - s0.bytes) * 8) / ((s1.at - s0.at) / 1000) / 1000 : null,
    fps: smooth.fps, sceneFps, freezes: smooth.freezes, longestMs: smooth.longestMs,
    cpuPct: ((cpu1 - cpu0) / TICK / wallS) * 100,
    glass: summary(glass),
    ssimMoving: movingSsim.length ? movingSsim.reduce((a, b) => a + b, 0) / movingSsim.length : null,
    ssimStill: stillOk ? ssim(stillGray, await scene.source(still.id), SCENE.w, SCENE.h) : null,
    stillSize: still ? `${still.w}×${still.h}` : '?',
    limited,
    // Read by the OCR once the run is over, so that it takes no CPU from the measures.
    toRead: [...grabs.filter((_, i) => i % Math.ceil(grabs.length / OCR_MOVING) === 0).slice(0, OCR_MOVING)
      .map((g) => ({ id: g.id, gray: g.gray, still: false })), ...(stillOk ? [{ id: still.id, gray: stillGray, still: true }] : [])],
  };
}

// One session per codec; the qualities in turn within it, "auto" (the session's first)
// first.
async function measureNet(pcs, scene, probe, codecs, label) {
  const rows = [];
  const clock = await clockOf(pcs.tech.page);
  await pcs.xdotool('mousemove', String(SCENE.w + 620), '790'); // the pointer away from the scene
  for (const codec of codecs) {
    const t0 = Date.now();
    try {
      await forceCodec(pcs.host.page, codec === 'page' ? null : codec, OVERRIDE);
      const accept = await openTimed(pcs, clock, { timeout: 30000 });
      await watchSteps(pcs.tech.page);
      if (GLASS) await watchFrames(pcs.tech.page, PROBE.x + PROBE.w / 2, PROBE.y + PROBE.h / 2);
      for (const [i, q] of QUALITIES.entries()) {
        rows.push({ net: label, want: codec, accept, ...(await measureQuality(pcs, scene, probe, clock, q, i === 0 && q === 'auto')) });
        const r = rows.at(-1);
        console.error(`  [${label} ${codec} ${q} ${((Date.now() - t0) / 1000).toFixed(0)} s] ${r.codec}, ${Math.round(r.kbps)} kbit/s, ` +
          `${r.fps.toFixed(1)} fps, SSIM ${r.ssimMoving?.toFixed(3)} / ${r.ssimStill?.toFixed(3)}`);
      }
      if (GLASS) await stopFrames(pcs.tech.page);
    } catch (e) {
      console.log(`  ${label} ${codec}: ${e.message.split('\n')[0]}`);
    }
    await endSession(pcs);
  }
  return rows;
}

async function endSession(pcs) {
  if (await pcs.host.page.isVisible('#hbEnd')) await pcs.host.page.click('#hbEnd').catch(() => {});
  await pcs.tech.page.waitForSelector('#viewer', { state: 'hidden', timeout: 30000 }).catch(() => {});
  await sleep(500);
}

// --- the OCR, after the run ----------------------------------------------------------------

async function readText(rows, scene, dir) {
  const sourceText = new Map();
  for (const r of rows) {
    const got = { moving: [0, 0], still: [0, 0] };
    for (const f of r.toRead) {
      const truth = await scene.words(f.id);
      if (!sourceText.has(f.id)) sourceText.set(f.id, correctChars(await ocr(await scene.source(f.id), dir), truth));
      const k = f.still ? 'still' : 'moving';
      got[k][0] += correctChars(await ocr(f.gray, dir), truth);
      got[k][1] += sourceText.get(f.id);
    }
    r.legible = { moving: got.moving[1] ? got.moving[0] / got.moving[1] : null, still: got.still[1] ? got.still[0] / got.still[1] : null,
      chars: got };
    delete r.toRead;
  }
}

// --- printing ----------------------------------------------------------------------------

const f1 = (v, d = 1) => (v === null || v === undefined || !Number.isFinite(v) ? '—' : v.toFixed(d));
const pct = (v) => (v === null || v === undefined ? '—' : `${Math.round(v * 100)} %`);

function print(rows, label, load) {
  console.log('');
  console.log(`  ${label} (load average ${load.map((l) => l.toFixed(2)).join(' ')})`);
  console.log(`  ${'codec'.padEnd(6)}${'quality'.padEnd(9)}${'kbit/s'.padStart(7)}${'fps'.padStart(6)}${'freezes'.padStart(9)}` +
    `${'of'.padStart(5)}${'glass p50/p95 ms'.padStart(18)}${'SSIM move'.padStart(11)}${'still'.padStart(7)}${'OCR move'.padStart(10)}${'still'.padStart(7)}` +
    `${'CPU %'.padStart(7)}   sent as`);
  for (const r of rows) {
    const g = r.glass ? `${f1(r.glass.p50, 0)}/${f1(r.glass.p95, 0)}` : '—';
    const codec = r.codec.replace('video/', '');
    console.log(`  ${r.want.replace('video/', '').padEnd(6)}${r.q.padEnd(9)}${f1(r.kbps, 0).padStart(7)}${f1(r.fps).padStart(6)}` +
      `${`${r.freezes} (${f1(r.longestMs, 0)})`.padStart(9)}${f1(r.sceneFps, 0).padStart(5)}${g.padStart(18)}${f1(r.ssimMoving, 3).padStart(11)}${f1(r.ssimStill, 3).padStart(7)}` +
      `${pct(r.legible?.moving).padStart(10)}${pct(r.legible?.still).padStart(7)}${f1(r.cpuPct, 0).padStart(7)}   ` +
      `${codec}${r.encoder ? ` (${r.encoder})` : ''} ${r.size}${r.mode ? ` ${r.mode}` : ''}, ${r.hint || 'no hint'}, ${r.degradation || '?'}` +
      `${r.stillSize !== r.size ? `; still ${r.stillSize}` : ''}` +
      `${r.limited.length ? `; limited by ${r.limited.map(([w, s]) => `${w} ${s.toFixed(1)} s`).join(', ')}` : ''}`);
  }
}

// --- the run ---------------------------------------------------------------------------------

console.log(`picture benchmark: ${MOVE_S} s moving and ${STILL_S} s still per codec and quality, ${GLASS} glass samples, ` +
  `${os.cpus().length} cores, load average ${os.loadavg().map((l) => l.toFixed(2)).join(' ')}` +
  `${OVERRIDE ? `, sender parameters overridden: ${JSON.stringify(OVERRIDE)}` : ''}`);
const ocrDir = fs.mkdtempSync(path.join(os.tmpdir(), 'vtr-picture-ocr-'));
const why = NETS.includes('bad') ? await labUnavailable() : null;
const results = [];
for (const net of NETS) {
  if (net === 'bad' && why) {
    console.log(`  the bad link did not run: ${why}`);
    continue;
  }
  const lab = net === 'bad' ? await startLab({ pcs: ['host', 'tech'] }) : null;
  let pcs = null;
  let scene = null;
  try {
    if (lab) {
      await lab.pcs.host.setNat('cone');
      await lab.pcs.tech.setNat('cone');
      await lab.pcs.host.setImpairment(BAD_LINK);
    }
    pcs = await startTwoPcs({ name: `bench-picture-${net}`, net: lab });
    scene = await startScene(pcs.display);
    const where = await scene.where();
    if (where.x !== SCENE.x || where.w < SCENE.w || where.h < SCENE.h || where.y + SCENE.h > 800) {
      throw new Error(`the scene's page sits at ${JSON.stringify(where)}, where ${SCENE.w}×${SCENE.h} does not fit`);
    }
    SCENE.y = where.y;
    const probe = await pcs.probe(PROBE.w, PROBE.h, { x: PROBE.x, y: PROBE.y });
    await probe.color('ffffff');
    const offered = await pcs.host.page.evaluate(() => RTCRtpSender.getCapabilities('video').codecs.map((c) => c.mimeType));
    const received = await pcs.tech.page.evaluate(() => RTCRtpReceiver.getCapabilities('video').codecs.map((c) => c.mimeType));
    // "page" last: no codec forced, the page's own choice per quality.
    const codecs = [...new Set(offered.filter((m) => !NOT_CODECS.test(m))), 'page']
      .filter((m) => !opts.codecs || opts.codecs.split(',').some((c) => `video/${c}`.toLowerCase() === m.toLowerCase() || c === m));
    console.log(`  ${net}: the host PC's browser sends ${[...new Set(offered)].join(', ')}; ` +
      `the technician's decodes ${[...new Set(received)].join(', ')}`);
    const label = net === 'bad' ? `bad link: ${BAD_LINK.kbit / 1000} Mbit/s, ${BAD_LINK.lossPct} % loss, ${2 * BAD_LINK.delayMs} ms` : 'loopback';
    const rows = await measureNet(pcs, scene, probe, codecs, label);
    const load = os.loadavg();
    console.error('  reading text…');
    await readText(rows, scene, ocrDir);
    results.push({ label, rows, load });
    print(rows, label, load);
  } catch (e) {
    console.log(`  ${net}: ${e.stack}`);
  } finally {
    await scene?.stop();
    await pcs?.stop();
    if (lab) await lab.stop();
  }
}
fs.rmSync(ocrDir, { recursive: true, force: true });
console.log('');
console.log('  fps and freezes (gaps > 100 ms, the longest in brackets) while the screen moves, of the steps a second the scene');
console.log('  drew (on a busy machine it draws fewer than 30); SSIM of received frames to their');
console.log('  source while moving and after the screen was still for the set time; OCR: characters tesseract reads correctly');
console.log("  from received frames, as a share of those it reads from the source frames; CPU: the host PC's browser while moving,");
console.log('  in % of one core. Glass to glass with the screen still.');
console.log(`  load average at the end ${os.loadavg().map((l) => l.toFixed(2)).join(' ')}`);
