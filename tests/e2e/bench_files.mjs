// File transfer between the two pages of a session: the rate of a 200 MB file from the
// technician's page to the host PC's page (from the receiver's "accept" to its download),
// beside a bare data channel between the same two pages in the same run (same 64 KiB
// chunks and the same buffer limits, no offer, no answer, nothing kept), and the
// receiving browser's memory (its renderers and its browser process) from the accept
// until the download is complete, for each size (the largest as a sparse file).
//
//   node tests/e2e/bench_files.mjs [--mb 200,2000]
// with VANTRIEL_BIN, VANTRIEL_SIGNAL_BIN and DESKTOP_PROBE set as for the two-PC tests
// (tools/bench.sh sets them).
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { execFileSync } from 'node:child_process';
import { openSession, startTwoPcs } from './lib/twopc.mjs';

const mbArg = process.argv.indexOf('--mb');
const SIZES_MB = (mbArg > 0 ? process.argv[mbArg + 1] : '200,2000').split(',').map(Number);
const SIZE = SIZES_MB[0] * 1000 * 1000; // the rate is measured on the first size

// The host PC's (headful) browser process and its renderer processes.
function hostProcesses() {
  const kids = execFileSync('pgrep', ['-P', String(process.pid)]).toString().trim().split('\n').map(Number);
  const cmd = (pid) => { try { return fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8'); } catch { return ''; } };
  const browser = kids.find((p) => cmd(p).includes('chromium') && !cmd(p).includes('--headless'));
  const all = execFileSync('pgrep', ['-g', String(browser)]).toString().trim().split('\n').map(Number);
  return { browser, renderers: all.filter((p) => cmd(p).includes('--type=renderer')) };
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

// Sends `file` to the host PC's page and samples its memory from the accept until the
// download is on disk.
async function receive(pcs, file, size, procs) {
  const mem = { r0: rssKb(procs.renderers), b0: rssKb([procs.browser]) };
  mem.r = mem.r0;
  mem.b = mem.b0;
  const sampler = setInterval(() => {
    mem.r = Math.max(mem.r, rssKb(procs.renderers));
    mem.b = Math.max(mem.b, rssKb([procs.browser]));
  }, 50);
  try {
    await pcs.tech.page.setInputFiles('#fileIn', file);
    await pcs.host.page.waitForSelector('#modal:not([hidden])');
    const t0 = process.hrtime.bigint();
    const [download] = await Promise.all([
      pcs.host.page.waitForEvent('download', { timeout: 1800000 }),
      pcs.host.page.click('#modalBtns .btn.primary'),
    ]);
    const seconds = Number(process.hrtime.bigint() - t0) / 1e9;
    const saved = fs.statSync(await download.path()).size;
    if (saved !== size) console.log(`  WARNING: the saved file has ${saved} bytes, not ${size}`);
    await download.delete();
    return { seconds, ...mem };
  } finally {
    clearInterval(sampler);
  }
}

// The receiving browser on a profile folder, as the product's window runs.
const pcs = await startTwoPcs({ name: 'bench-files', hostProfile: true });
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vtr-bench-files-'));
try {
  await openSession(pcs);
  const procs = hostProcesses();
  const bare = await bareChannel(pcs);
  const load = () => os.loadavg().map((v) => v.toFixed(2)).join(' ');
  const mb = (kb) => (kb / 1024).toFixed(0);
  for (const [n, sizeMb] of SIZES_MB.entries()) {
    const size = sizeMb * 1000 * 1000;
    const file = path.join(dir, `transfer-${sizeMb}.bin`);
    if (n === 0) {
      fs.writeFileSync(file, crypto.randomBytes(size));
    } else {
      fs.closeSync(fs.openSync(file, 'w'));
      fs.truncateSync(file, size); // sparse: read as fast as the disk's cache
    }
    const r = await receive(pcs, file, size, procs);
    fs.rmSync(file);
    console.log(`file transfer of ${sizeMb} MB${n ? ' (sparse)' : ''}, page to page over loopback (load average ${load()})`);
    if (n === 0) {
      const rate = size / 1e6 / r.seconds;
      console.log(`  bare data channel, 64 KiB chunks:   ${bare.toFixed(1)} MB/s`);
      console.log(`  file transfer (accept to download): ${rate.toFixed(1)} MB/s   ratio ${(rate / bare).toFixed(2)} (aim >= 0.80)`);
    } else {
      console.log(`  file transfer (accept to download): ${(size / 1e6 / r.seconds).toFixed(1)} MB/s`);
    }
    console.log(`  receiving renderers: ${mb(r.r0)} MB before, peak ${mb(r.r)} MB (+${mb(r.r - r.r0)} MB)`);
    console.log(`  receiving browser:   ${mb(r.b0)} MB before, peak ${mb(r.b)} MB (+${mb(r.b - r.b0)} MB)   (aim: under +100 MB each, whatever the size)`);
  }
} finally {
  fs.rmSync(dir, { recursive: true, force: true });
  await pcs.stop();
}
