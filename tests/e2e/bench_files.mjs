// File transfer between the two pages of a session: the rate of a 200 MB file from the
// technician's page to the host PC's page (from the receiver's "accept" to its download),
// beside a bare data channel between the same two pages in the same run (same 64 KiB
// chunks and the same buffer limits, no offer, no answer, nothing kept), and the
// receiving page's peak memory.
//
//   node tests/e2e/bench_files.mjs [--mb 200]
// with VANTRIEL_BIN, VANTRIEL_SIGNAL_BIN and DESKTOP_PROBE set as for the two-PC tests
// (tools/bench.sh sets them).
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { execFileSync } from 'node:child_process';
import { openSession, startTwoPcs } from './lib/twopc.mjs';

const mbArg = process.argv.indexOf('--mb');
const MB = mbArg > 0 ? Number(process.argv[mbArg + 1]) : 200;
const SIZE = MB * 1000 * 1000;

// The renderer processes of the host PC's (headful) browser, and their resident memory.
function hostRenderers() {
  const kids = execFileSync('pgrep', ['-P', String(process.pid)]).toString().trim().split('\n').map(Number);
  const cmd = (pid) => { try { return fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8'); } catch { return ''; } };
  const browser = kids.find((p) => cmd(p).includes('chromium') && !cmd(p).includes('--headless'));
  const all = execFileSync('pgrep', ['-g', String(browser)]).toString().trim().split('\n').map(Number);
  return all.filter((p) => cmd(p).includes('--type=renderer'));
}
function rssKb(pids) {
  let sum = 0;
  for (const p of pids) {
    try {
      sum += Number(/VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${p}/status`, 'utf8'))[1]);
    } catch { /* ended */ }
  }
  return sum;
}

// A bare channel between the two pages: descriptions passed through here, whole after
// gathering, so no signalling is involved. Returns MB/s.
async function bareChannel(pcs) {
  const { host, tech } = pcs;
  const iceServers = [];
  const offer = await tech.page.evaluate(async (servers) => {
    const pc = new RTCPeerConnection({ iceServers: servers });
    window.__bare = { pc, ch: pc.createDataChannel('bare') };
    window.__bare.ch.binaryType = 'arraybuffer';
    await pc.setLocalDescription();
    while (pc.iceGatheringState !== 'complete') await new Promise((r) => setTimeout(r, 20));
    return pc.localDescription.toJSON();
  }, iceServers);
  const answer = await host.page.evaluate(async ([servers, o]) => {
    const pc = new RTCPeerConnection({ iceServers: servers });
    window.__bare = { pc, got: 0 };
    pc.ondatachannel = ({ channel }) => {
      channel.binaryType = 'arraybuffer';
      channel.onmessage = (e) => {
        window.__bare.got += e.data.byteLength;
        if (window.__bare.got >= window.__bare.want) channel.send('done');
      };
    };
    await pc.setRemoteDescription(o);
    await pc.setLocalDescription();
    while (pc.iceGatheringState !== 'complete') await new Promise((r) => setTimeout(r, 20));
    return pc.localDescription.toJSON();
  }, [iceServers, offer]);
  await host.page.evaluate((n) => { window.__bare.want = n; }, SIZE);
  return tech.page.evaluate(async ([a, size]) => {
    const { pc, ch } = window.__bare;
    await pc.setRemoteDescription(a);
    if (ch.readyState !== 'open') await new Promise((r) => { ch.onopen = r; });
    const done = new Promise((r) => { ch.onmessage = r; });
    const chunk = new Uint8Array(65536);
    ch.bufferedAmountLowThreshold = 1 << 20;
    const t0 = performance.now();
    for (let sent = 0; sent < size; sent += chunk.length) {
      while (ch.bufferedAmount > 8 << 20) {
        await new Promise((r) => { const t = setTimeout(r, 500); ch.onbufferedamountlow = () => { clearTimeout(t); r(); }; });
      }
      ch.send(sent + chunk.length <= size ? chunk : chunk.subarray(0, size - sent));
    }
    await done;
    return (size / 1e6) / ((performance.now() - t0) / 1000);
  }, [answer, SIZE]);
}

const pcs = await startTwoPcs({ name: 'bench-files' });
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vtr-bench-files-'));
try {
  await openSession(pcs);
  const file = path.join(dir, 'transfer.bin');
  fs.writeFileSync(file, crypto.randomBytes(SIZE));
  const renderers = hostRenderers();

  const bare = await bareChannel(pcs);

  const base = rssKb(renderers);
  let peak = base;
  const sampler = setInterval(() => { peak = Math.max(peak, rssKb(renderers)); }, 50);
  await pcs.tech.page.setInputFiles('#fileIn', file);
  await pcs.host.page.waitForSelector('#modal:not([hidden])');
  const t0 = process.hrtime.bigint();
  const [download] = await Promise.all([
    pcs.host.page.waitForEvent('download', { timeout: 600000 }),
    pcs.host.page.click('#modalBtns .btn.primary'),
  ]);
  const seconds = Number(process.hrtime.bigint() - t0) / 1e9;
  clearInterval(sampler);
  const saved = fs.statSync(await download.path()).size;
  const rate = SIZE / 1e6 / seconds;

  const load = os.loadavg().map((v) => v.toFixed(2)).join(' ');
  console.log(`file transfer of ${MB} MB, page to page over loopback (load average ${load})`);
  console.log(`  bare data channel, 64 KiB chunks:   ${bare.toFixed(1)} MB/s`);
  console.log(`  file transfer (accept to download): ${rate.toFixed(1)} MB/s   ratio ${(rate / bare).toFixed(2)} (aim >= 0.80)`);
  console.log(`  receiving page's renderer memory:   ${(base / 1024).toFixed(0)} MB before, peak ${(peak / 1024).toFixed(0)} MB (+${((peak - base) / 1024).toFixed(0)} MB for a ${MB} MB file)`);
  if (saved !== SIZE) console.log(`  WARNING: the saved file has ${saved} bytes, not ${SIZE}`);
} finally {
  fs.rmSync(dir, { recursive: true, force: true });
  await pcs.stop();
}
