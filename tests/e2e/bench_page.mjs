#!/usr/bin/env node
// Prints the page's size as served and the time from navigation to its first drawn
// state (the page marks "vantriel-ready" once identity, state and texts are drawn),
// median of 10 loads in headless Chromium. Prints figures only; asserts nothing.
//   node tests/e2e/bench_page.mjs <path to the built vantriel>
import { startHost, launchBrowser } from './lib/host.mjs';

if (process.argv[2]) process.env.VANTRIEL_BIN = process.argv[2];
const LOADS = 10;
const host = await startHost();
const browser = await launchBrowser();
try {
  const res = await fetch(host.url + '/');
  const page = Buffer.from(await res.arrayBuffer());
  console.log(`page as served: ${page.length} bytes (${(page.length / 1024).toFixed(1)} KiB)`);

  const context = await browser.newContext({ viewport: { width: 1280, height: 900 } });
  const tab = await context.newPage();
  await tab.goto(host.url + '/'); // warm-up: first start of the renderer and the fonts
  await tab.waitForSelector('html[data-ready="1"]');
  const times = [];
  for (let i = 0; i < LOADS; i++) {
    await tab.goto(host.url + '/');
    await tab.waitForSelector('html[data-ready="1"]');
    times.push(await tab.evaluate(() => performance.getEntriesByName('vantriel-ready')[0].startTime));
  }
  times.sort((a, b) => a - b);
  const median = (times[LOADS / 2 - 1] + times[LOADS / 2]) / 2;
  console.log(`navigation to first drawn state: median ${median.toFixed(1)} ms over ${LOADS} loads ` +
    `(min ${times[0].toFixed(1)}, max ${times[LOADS - 1].toFixed(1)})`);
} finally {
  await browser.close();
  await host.stop();
}
