// Starts the real host from a temporary folder (its data lands in data/ beside the
// copied executable) and a headless Debian Chromium to drive its page.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { spawn } from 'node:child_process';
import { before, after } from 'node:test';
import { chromium } from 'playwright-core';
import { freePort, waitFor } from './waiting.mjs';

// The browser every test starts: Debian's, without the root-only priority raise (see the
// script).
export const CHROMIUM_BIN = new URL('./chromium.sh', import.meta.url).pathname;

export const CHROMIUM_ARGS = [
  '--no-sandbox',
  '--disable-gpu',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
  '--no-first-run',
  // As the host starts its app window (morvane/core/shell/app_window.cpp): frames shown
  // as soon as they are decoded.
  '--force-fieldtrials=WebRTC-ForcePlayoutDelay/min_ms:0,max_ms:0/',
];

function hostBinary() {
  const bin = process.env.VANTRIEL_BIN;
  if (!bin || !fs.existsSync(bin)) {
    throw new Error('VANTRIEL_BIN must name the built host (ctest sets it; run the tests through ctest)');
  }
  return bin;
}

// Starts a host. `files` maps names under data/ to contents written before the start;
// `manual` maps manual file names to contents (else the built manual folder is copied);
// `env` adds environment variables; `launcher` is a command that runs the host (such as
// `ip netns exec NAME`), whose loopback this process may not reach.
export async function startHost({ files = {}, manual = null, env: extraEnv = {}, launcher = null } = {}) {
  const bin = hostBinary();
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vtr-e2e-'));
  const exe = path.join(dir, path.basename(bin));
  fs.copyFileSync(bin, exe);
  fs.chmodSync(exe, 0o755);
  const builtManual = path.join(path.dirname(bin), 'manual');
  fs.mkdirSync(path.join(dir, 'manual'));
  if (manual) {
    for (const [name, text] of Object.entries(manual)) fs.writeFileSync(path.join(dir, 'manual', name), text);
  } else if (fs.existsSync(builtManual)) {
    fs.cpSync(builtManual, path.join(dir, 'manual'), { recursive: true });
  }
  fs.mkdirSync(path.join(dir, 'data'));
  for (const [name, text] of Object.entries(files)) fs.writeFileSync(path.join(dir, 'data', name), text);
  // As on a PC that looked for updates a moment ago: no look at start, whose answer (a
  // toast on every page opened after it) would land among the toasts a test waits for.
  const updateState = path.join(dir, 'data', 'actualizacion', 'estado.json');
  if (!fs.existsSync(updateState)) {
    fs.mkdirSync(path.dirname(updateState), { recursive: true });
    fs.writeFileSync(updateState, JSON.stringify({ last_check: Date.now() / 1000 }));
  }

  // The signalling server and the release document are at a loopback port nobody listens
  // on: registration and a look for updates fail quickly and nothing leaves the machine.
  const deadServer = `http://127.0.0.1:${await freePort()}`;
  const port = await freePort();
  // The page asks the host to show its window (an incoming request, a notice): a stand-in
  // browser found first on PATH records the request instead of opening a window on the
  // screen the tests watch.
  const stubs = path.join(dir, 'stubbin');
  fs.mkdirSync(stubs);
  fs.writeFileSync(path.join(stubs, 'chromium'), `#!/bin/sh\necho "$@" >> '${path.join(dir, 'browser.txt')}'\n`,
    { mode: 0o755 });
  // Nor does the host ever reach the machine's sound server: a test that wants one starts
  // its own and names it.
  const env = { ...process.env, VTR_PORT: String(port), VTR_SERVER: deadServer,
    MRV_UPDATE_URL: `${deadServer}/release.json`, HOME: dir, PATH: `${stubs}:${process.env.PATH}`,
    PULSE_SERVER: `unix:${path.join(dir, 'no-sound-server')}` };
  delete env.VTR_ID;
  Object.assign(env, extraEnv);
  const [file, ...before] = launcher ? [...launcher, exe] : [exe];
  const proc = spawn(file, [...before, '--no-window', '--no-tray', '--no-elevate'], { cwd: dir, env, stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  proc.stdout.on('data', (d) => { output += d; });
  proc.stderr.on('data', (d) => { output += d; });
  let exited = null;
  const exit = new Promise((resolve) => proc.on('exit', (code, sig) => { exited = { code, sig }; resolve(exited); }));

  // The host takes the first free port from VTR_PORT on and records it once it is bound;
  // through a launcher the record is all this process sees, else the host must answer.
  const record = path.join(dir, 'data', 'instancia.json');
  let url;
  try {
    url = await waitFor(async () => {
      const { port: at } = JSON.parse(fs.readFileSync(record, 'utf8'));
      if (!(at > 0)) return null;
      const base = `http://127.0.0.1:${at}`;
      return (launcher || (await fetch(`${base}/api/version`)).ok) && base;
    }, { what: 'the host to answer', giveUp: () => exited && `the host ended at start (${JSON.stringify(exited)})` });
  } catch (e) {
    proc.kill('SIGKILL');
    await exit;
    fs.rmSync(dir, { recursive: true, force: true });
    throw new Error(`${e.message}:\n${output}`);
  }

  return {
    dir,
    url,
    deadServer,
    exit,
    get output() { return output; },
    get exited() { return exited; },
    data: (name) => path.join(dir, 'data', name),
    readData: (name) => fs.readFileSync(path.join(dir, 'data', name), 'utf8'),
    async stop() {
      if (!exited) {
        proc.kill('SIGTERM');
        const t = setTimeout(() => proc.kill('SIGKILL'), 3000);
        await exit;
        clearTimeout(t);
      }
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

export async function launchBrowser() {
  return chromium.launch({ executablePath: CHROMIUM_BIN, args: CHROMIUM_ARGS });
}

// Opens the page and waits for its first drawn state. Page errors fail the test that
// asks for them through `errors`.
export async function openPage(browser, host, { viewport = { width: 1280, height: 900 } } = {}) {
  const context = await browser.newContext({ viewport });
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  await recordToasts(page);
  await page.goto(host.url + '/');
  await page.waitForSelector('html[data-ready="1"]');
  return { page, context, errors };
}

// Keeps every text the page's toast shows (window.__toastLog), from before the page's own
// scripts run, so that a toast that came and went before a test began to wait is still
// seen: a toast lasts 3.6 s, and on a busy machine the next protocol call can take longer.
function toastRecorder() {
  if (window.__toastLog) return;
  window.__toastLog = [];
  window.__toastSeen = 0; // where the next wait starts reading
  const toast = () => document.getElementById('toast');
  if (toast()?.textContent) window.__toastLog.push(toast().textContent);
  new MutationObserver((records) => {
    const el = toast();
    if (el && records.some((r) => el.contains(r.target))) window.__toastLog.push(el.textContent);
  }).observe(document, { childList: true, characterData: true, subtree: true });
}

// Makes `page` record its toasts from its next load on (openPage and the other page
// openers do it; waitToast starts recording itself on a page that does not).
export async function recordToasts(page) {
  await page.addInitScript(toastRecorder);
}

// The first text the toast showed that matches `want` (a string or a RegExp) since the
// last wait on this page found one (or since the page loaded, or since recording started),
// however briefly it showed. A time-out names every text shown meanwhile.
export async function waitToast(page, want, timeout = 10000) {
  const [src, flags] = want instanceof RegExp ? [want.source, want.flags] : [null, null];
  await page.evaluate(toastRecorder);
  try {
    const found = await page.waitForFunction(([w, s, f]) => {
      const log = window.__toastLog;
      for (let i = window.__toastSeen; i < log.length; i++) {
        if (s === null ? log[i] === w : new RegExp(s, f).test(log[i])) {
          window.__toastSeen = i + 1;
          return log[i];
        }
      }
      return false;
    }, [want, src, flags], { timeout, polling: 50 });
    return await found.jsonValue();
  } catch (e) {
    const seen = await page.evaluate(() => window.__toastLog.slice(window.__toastSeen)).catch(() => []);
    throw new Error(`${e.message}; the toast showed: ${JSON.stringify(seen.filter((t) => t))}`);
  }
}

// One host (started with `options`) and one browser for a whole test file: `use` receives
// them once both run, and both are stopped after the file's last test.
export function withHostAndBrowser(use, options = {}) {
  let host;
  let browser;
  before(async () => {
    host = await startHost(options);
    browser = await launchBrowser();
    use(host, browser);
  });
  after(async () => {
    await browser?.close();
    await host?.stop();
  });
}

// The page's token: its one quoted string of 32 hex digits (its script is minified, so
// the token's name is not known).
export async function pageToken(page) {
  const found = await page.evaluate(() => [...new Set(Array.from(
    document.scripts[0].textContent.matchAll(/"([0-9a-f]{32})"/g), (m) => m[1]))]);
  if (found.length !== 1) throw new Error(`the page holds ${found.length} strings that may be its token`);
  return found[0];
}

// A POST from the page with its token, as the page itself sends them.
export async function pagePost(page, url, body) {
  const token = await pageToken(page);
  return page.evaluate(async ([u, b, token]) => {
    const r = await fetch(u, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json', 'X-Token': token },
      body: JSON.stringify(b || {}),
    });
    return r.json();
  }, [url, body, token]);
}
