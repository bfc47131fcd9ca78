#!/usr/bin/env node
// Prints the size of the desktop page (as the host serves it) and of the technician's page
// that the signalling server serves to any browser (its document, script and style sheet),
// each as served and compressed, and the time from navigation to each page's first drawn
// state (both mark "vantriel-ready" once their texts and state are drawn), median of 10
// loads in headless Chromium. Prints figures only; asserts nothing.
//   node tests/e2e/bench_page.mjs [<path to the built vantriel> [<path to vantriel-signal>]]
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import zlib from 'node:zlib';
import { spawn } from 'node:child_process';
import { startHost, launchBrowser } from './lib/host.mjs';
import { signalListening } from './lib/signal_proc.mjs';

if (process.argv[2]) process.env.VANTRIEL_BIN = process.argv[2];
if (process.argv[3]) process.env.VANTRIEL_SIGNAL_BIN = process.argv[3];
const LOADS = 10;

async function fetchSize(url) {
  const body = Buffer.from(await (await fetch(url)).arrayBuffer());
  return { raw: body.length, gzip: zlib.gzipSync(body, { level: 9 }).length, brotli: zlib.brotliCompressSync(body).length };
}

function sizeLine(what, files) {
  const sum = (k) => files.reduce((n, f) => n + f[k], 0);
  const kib = (n) => `${(n / 1024).toFixed(1)} KiB`;
  return `${what}: ${kib(sum('raw'))} as served, ${kib(sum('gzip'))} gzip, ${kib(sum('brotli'))} brotli`;
}

// Median time from navigation to the page's ready mark, after one warm-up load.
async function firstDraw(browser, url) {
  const context = await browser.newContext({ viewport: { width: 1280, height: 900 } });
  const tab = await context.newPage();
  await tab.goto(url);
  await tab.waitForSelector('html[data-ready="1"]');
  const times = [];
  for (let i = 0; i < LOADS; i++) {
    await tab.goto(url);
    await tab.waitForSelector('html[data-ready="1"]');
    times.push(await tab.evaluate(() => performance.getEntriesByName('vantriel-ready')[0].startTime));
  }
  await context.close();
  times.sort((a, b) => a - b);
  return { median: (times[LOADS / 2 - 1] + times[LOADS / 2]) / 2, min: times[0], max: times[LOADS - 1] };
}

const drawLine = (what, t) => `${what}: navigation to first drawn state: median ${t.median.toFixed(1)} ms over ${LOADS} loads ` +
  `(min ${t.min.toFixed(1)}, max ${t.max.toFixed(1)})`;

const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'vtr-bench-page-'));
const host = await startHost();
const signal = await signalListening(spawn(process.env.VANTRIEL_SIGNAL_BIN,
  ['--host', '127.0.0.1', '--port', '0', '--data', path.join(tmp, 'signal.json')], { stdio: ['ignore', 'pipe', 'pipe'] }), tmp);
const browser = await launchBrowser();
try {
  const desktop = [await fetchSize(host.url + '/')];
  const web = await Promise.all(['/', '/app.js', '/app.css'].map((p) => fetchSize(signal.url + p)));
  console.log(sizeLine('desktop page (one document)', desktop));
  console.log(sizeLine('browser page (document, script, style sheet)', web));
  const [d, w] = [await firstDraw(browser, host.url + '/'), await firstDraw(browser, signal.url + '/')];
  console.log(drawLine('desktop page', d));
  console.log(drawLine('browser page', w));
  console.log(`browser page / desktop page: size ${(web.reduce((n, f) => n + f.gzip, 0) / desktop[0].gzip).toFixed(2)}× gzip, ` +
    `first draw ${(w.median / d.median).toFixed(2)}×`);
} finally {
  await browser.close();
  await host.stop();
  signal.proc.kill('SIGTERM');
  fs.rmSync(tmp, { recursive: true, force: true });
}
