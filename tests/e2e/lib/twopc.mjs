// Two PCs on one machine, everything on loopback: the PC that receives help (its own Xvfb
// display, a headful Chromium that can capture that screen, a host whose XTest input and
// clipboard act there) and the technician's PC (a host with no display, a headless
// Chromium), met through a real vantriel-signal that hands out coturn's STUN and TURN.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import crypto from 'node:crypto';
import readline from 'node:readline';
import { spawn, execFile } from 'node:child_process';
import { before, after } from 'node:test';
import { chromium } from 'playwright-core';
import { CHROMIUM_ARGS, CHROMIUM_BIN, recordToasts, startHost } from './host.mjs';
import { startSignal } from './signal_proc.mjs';
import { startTurn } from './turn_proc.mjs';
import { waitFor } from './waiting.mjs';

export { waitFor };

export const HOST_ID = '700000001';
export const TECH_ID = '700000002';
export const SCREEN = { width: 1280, height: 800 };
// The technician's name holds markup: wherever the other side shows it, it must stay text.
export const HOST_NAME = 'PC de Ana';
export const TECH_NAME = '<img src=x onerror=__p=1>Luis';

// Every process started here, so that an exit without `stop` (a crash of the test runner)
// still leaves nothing behind.
const live = new Set();
process.on('exit', () => {
  for (const p of live) {
    try { p.kill('SIGKILL'); } catch { /* already gone */ }
  }
});

function track(proc) {
  live.add(proc);
  proc.on('exit', () => live.delete(proc));
  return proc;
}

async function stopProcess(proc, graceMs = 3000) {
  if (!proc || proc.exitCode !== null || proc.signalCode !== null) return;
  const exited = new Promise((r) => proc.once('exit', r));
  proc.kill('SIGTERM');
  const t = setTimeout(() => proc.kill('SIGKILL'), graceMs);
  await exited;
  clearTimeout(t);
}

function requireFile(name) {
  const file = process.env[name];
  if (!file || !fs.existsSync(file)) throw new Error(`${name} must name a built program (run the tests through ctest)`);
  return file;
}

// Test-side instrumentation: every RTCPeerConnection the page makes lands in window.__pcs,
// and every data channel of theirs (made or received) in window.__channels[label], the
// latest last, and every WebSocket in window.__sockets, so a test can play a misbehaving
// peer. Must run before the page loads.
export async function instrumentPeerConnections(page) {
  await page.addInitScript(() => {
    const Native = window.RTCPeerConnection;
    if (!Native || window.__pcs) return;
    window.__pcs = [];
    window.__channels = {};
    const keep = (ch) => { (window.__channels[ch.label] ||= []).push(ch); return ch; };
    window.RTCPeerConnection = class extends Native {
      constructor(...args) {
        super(...args);
        window.__pcs.push(this);
        this.addEventListener('datachannel', (e) => keep(e.channel));
      }

      createDataChannel(...args) {
        return keep(super.createDataChannel(...args));
      }
    };
    const NativeSocket = window.WebSocket;
    window.__sockets = [];
    window.WebSocket = class extends NativeSocket {
      constructor(...args) {
        super(...args);
        window.__sockets.push(this);
      }
    };
  });
}

// Xvfb picks its own display number and writes it to fd 3. RANDR is off because
// Chromium's X11 screen capturer does not start on Xvfb while it is on. -noreset: the
// server resets when its last client leaves, and a client that connects then finds none.
async function startXvfb(artifacts, logName = 'xvfb.log') {
  const log = fs.openSync(path.join(artifacts, logName), 'w');
  const proc = track(spawn('Xvfb', ['-displayfd', '3', '-screen', '0', `${SCREEN.width}x${SCREEN.height}x24`,
    '-nolisten', 'tcp', '-noreset', '-extension', 'RANDR'], { stdio: ['ignore', log, log, 'pipe'] }));
  fs.closeSync(log);
  let number = '';
  await new Promise((resolve, reject) => {
    proc.stdio[3].on('data', (d) => { number += d; if (number.includes('\n')) resolve(); });
    proc.once('exit', () => reject(new Error('Xvfb ended at start (see xvfb.log)')));
  });
  proc.stdio[3].destroy();
  return { proc, display: ':' + number.trim() };
}

// The servers on loopback, tracked like every process started here.
const onLoopback = {
  startTurn: (dir, artifacts, secret) => startTurn({ dir, artifacts, secret, start: (...a) => track(spawn(...a)) }),
  startSignal: (dir, artifacts, turn, args) => startSignal({ dir, artifacts, turn, args, start: (...a) => track(spawn(...a)) }),
};

// A desktop session has a UTF-8 locale; CI may have none, and then Chromium cannot name a
// picked file whose name holds non-ASCII characters.
const UTF8 = { LANG: 'C.UTF-8', LC_ALL: 'C.UTF-8' };

function browserArgs(extra, { fakeUi = true } = {}) {
  // Chromium keeps only the last --disable-features and Playwright puts its own list
  // first, so ours is one merged switch, with any list of `extra` joined to it.
  let disabled = 'WebRtcHideLocalIpsWithMdns,Translate,MediaRouter,DialMediaRouteProvider,' +
    'OptimizationHints,HttpsUpgrades,PaintHolding';
  const rest = [];
  for (const a of extra) {
    if (a.startsWith('--disable-features=')) disabled += ',' + a.slice('--disable-features='.length);
    else rest.push(a);
  }
  return [...CHROMIUM_ARGS, '--allow-loopback-in-peer-connection',
    ...(fakeUi ? ['--use-fake-ui-for-media-stream'] : []), `--disable-features=${disabled}`, ...rest];
}

// Whether the technician page's error number `i`, `text`, is Playwright's and not the
// page's: once pageInTheMiddle routed the join sockets, each is Playwright's stand-in, which
// forwards the page's sends to a real socket of its own without checking it. A send in the
// moment between the server closing that socket and the stand-in hearing of it (the page
// checked its socket was open) makes Chromium log that the socket is closing or closed.
function routedSocketArtifact(route, text, i) {
  return Boolean(route?.installed) && i >= route.errorsBefore &&
    text === 'console: WebSocket is already in CLOSING or CLOSED state.';
}

// A page on a host's URL, with its console and page errors collected.
async function openPcPage(browser, host, contextOptions) {
  // A persistent context is its own (and only) context.
  const context = typeof browser.newContext === 'function' ? await browser.newContext(contextOptions) : browser;
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(`pageerror: ${e.message}`));
  page.on('console', (m) => { if (m.type() === 'error') errors.push(`console: ${m.text()}`); });
  await instrumentPeerConnections(page);
  await recordToasts(page);
  await page.goto(host.url + '/');
  await page.waitForSelector('html[data-ready="1"]');
  return { context, page, errors };
}

function run(file, args, env) {
  return new Promise((resolve, reject) => {
    execFile(file, args, { env, timeout: 20000 }, (err, stdout, stderr) => {
      if (err) reject(new Error(`${file} ${args.join(' ')}: ${err.message} ${stderr}`));
      else resolve(stdout);
    });
  });
}

// desktop_probe's window on `display`; see desktop_probe.cpp for its lines.
async function startProbe(display, width, height, { x = 0, y = 0, motion = false } = {}) {
  const args = ['window', String(width), String(height), String(x), String(y), ...(motion ? ['motion'] : [])];
  const proc = track(spawn(requireFile('DESKTOP_PROBE'), args, {
    env: { ...process.env, DISPLAY: display }, stdio: ['pipe', 'pipe', 'inherit'],
  }));
  const events = [];
  const colours = [];
  let wake = () => {};
  let ready = false;
  readline.createInterface({ input: proc.stdout }).on('line', (line) => {
    if (line === 'ready') ready = true;
    else {
      const e = JSON.parse(line);
      (e.t === 'color' ? colours : events).push(e);
    }
    wake();
  });
  const changed = () => new Promise((r) => { wake = r; setTimeout(r, 50); });
  await waitFor(() => ready || proc.exitCode !== null, { timeout: 10000, what: 'desktop_probe' })
    .catch((e) => { proc.kill('SIGKILL'); throw e; });
  if (!ready) throw new Error(`desktop_probe ended (${proc.exitCode})`);
  let cursor = 0;
  return {
    events,
    // The events after the last `until`, up to and including the first that `last` accepts.
    async until(last, timeout = 10000) {
      const end = Date.now() + timeout;
      for (;;) {
        const i = events.findIndex((e, k) => k >= cursor && last(e));
        if (i >= 0) {
          const got = events.slice(cursor, i + 1);
          cursor = i + 1;
          return got;
        }
        if (Date.now() > end) throw new Error(`desktop_probe: no such event within ${timeout} ms; got ${JSON.stringify(events.slice(cursor))}`);
        await changed();
      }
    },
    // Fills the window with RRGGBB; resolves with the CLOCK_MONOTONIC µs when X had done it.
    async color(rgb) {
      const n = colours.length;
      proc.stdin.write(`color ${rgb}\n`);
      await waitFor(() => colours.length > n, { timeout: 5000, interval: 5, what: 'the colour answer' });
      return colours[n].us;
    },
    async stop() {
      proc.stdin.end();
      await stopProcess(proc, 2000);
    },
  };
}

// Starts both PCs. `signalArgs` are appended to the signal server's switches (a later
// switch wins, so e.g. ['--id-max-fails', '3'] locks an ID quickly); `hostBrowserArgs` and
// `techBrowserArgs` are added to each Chromium's switches. Resolves with:
//   host, tech   { id, page, context, errors, browser, app }: `app` is the host process as
//                startHost returns it (url, dir, output, data(), readData());
//   signalUrl, turn { port, secret }, display (the host PC's), artifacts (this file's folder);
//   pageErrors() both pages' console and page errors, labelled;
//   xdotool(...args), xclip(args, input?), pointer() -> { x, y, window } on the host PC's screen;
//   techClipboard(), setTechClipboard(text): the technician PC's own clipboard;
//   probe(w, h, { x, y, motion }) a desktop_probe window there: { events, until(pred), color(rgb) };
//   stop() ends everything (probes, browsers, hosts, signal server, coturn, Xvfb).
// With `hostProfile` the host PC's browser runs on a profile folder of its own, as the
// product's app window does, rather than in an off-the-record context (whose storage,
// the origin's private file system among it, lives in memory). With `net` (a lab of
// netlab.mjs with PCs "host" and "tech"), the servers run on the lab's internet and each
// PC's host and browser in its namespace, instead of on loopback.
// `hostPcEnv` is added to the environment of the host PC's host and browser (a sound
// server of the test's own, say), `hostBrowserEnv` to the browser's alone; with
// `hostFakeUi` false that browser shows the real screen picker (which its
// --auto-select-desktop-capture-source answers) instead of the fake one, which gives no
// PC sound.
export async function startTwoPcs({ name, signalArgs = [], hostBrowserArgs = [], techBrowserArgs = [], hostProfile = false,
  net = null, hostPcEnv = {}, hostBrowserEnv = {}, hostFakeUi = true } = {}) {
  const stem = name ?? path.basename(process.argv[1] ?? 'twopc').replace(/\.test\.mjs$|\.mjs$/, '');
  const artifacts = path.join(process.env.VANTRIEL_ARTIFACTS || path.join(os.tmpdir(), 'vtr-artifacts'), `twopc-${stem}`);
  fs.rmSync(artifacts, { recursive: true, force: true });
  fs.mkdirSync(artifacts, { recursive: true });
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'vtr-twopc-'));

  const pcs = { artifacts };
  const cleanup = [];
  pcs.stop = async () => {
    for (const step of cleanup.reverse()) {
      try { await step(); } catch (e) { console.error(`twopc stop: ${e.message}`); }
    }
    cleanup.length = 0;
    fs.rmSync(tmp, { recursive: true, force: true });
  };
  // Starts things side by side; whatever started is stopped later even when another failed.
  const startAll = async (starts, stop) => {
    const results = await Promise.allSettled(starts);
    results.forEach((r, i) => { if (r.status === 'fulfilled') cleanup.push(() => stop(r.value, i)); });
    const failed = results.find((r) => r.status === 'rejected');
    if (failed) throw failed.reason;
    return results.map((r) => r.value);
  };
  try {
    const secret = crypto.randomBytes(24).toString('hex');
    // The technician's PC has a display of its own, so each PC has its own clipboard.
    const [xvfb, techXvfb, turn] = await startAll(
      [startXvfb(artifacts), startXvfb(artifacts, 'xvfb-tech.log'), (net ?? onLoopback).startTurn(tmp, artifacts, secret)],
      (started) => stopProcess(started.proc));
    const signal = await (net ?? onLoopback).startSignal(tmp, artifacts, turn, signalArgs);
    cleanup.push(() => stopProcess(signal.proc));
    const display = xvfb.display;

    // Each PC's name as the other side sees it (the computer's name, with no name set).
    const hostEnv = { VTR_SERVER: signal.url, VTR_ID: HOST_ID, DISPLAY: display, WAYLAND_DISPLAY: undefined,
      COMPUTERNAME: HOST_NAME, ...hostPcEnv };
    const techEnv = { VTR_SERVER: signal.url, VTR_ID: TECH_ID, DISPLAY: techXvfb.display, WAYLAND_DISPLAY: undefined,
      COMPUTERNAME: TECH_NAME };
    const [hostHost, techHost] = await startAll([
      startHost({ env: hostEnv, launcher: net && net.pcs.host.launcher }),
      startHost({ env: techEnv, launcher: net && net.pcs.tech.launcher }),
    ],
      async (host, i) => {
        await host.stop();
        fs.writeFileSync(path.join(artifacts, `${i ? 'tech' : 'host'}-host.log`), host.output);
      });

    // The host PC's browser shows on the Xvfb screen's right half, so a test window can
    // sit on the left half and be captured with it.
    const hostLaunch = {
      executablePath: net ? net.pcs.host.browser : CHROMIUM_BIN, headless: false,
      env: { ...process.env, ...UTF8, DISPLAY: display, WAYLAND_DISPLAY: undefined, ...hostPcEnv, ...hostBrowserEnv },
      args: browserArgs(['--auto-select-desktop-capture-source=Entire screen',
        '--window-position=640,0', '--window-size=640,800', ...hostBrowserArgs], { fakeUi: hostFakeUi }),
    };
    const [hostBrowser, techBrowser] = await startAll([
      hostProfile
        ? chromium.launchPersistentContext(path.join(tmp, 'host-profile'), { ...hostLaunch, viewport: null })
        : chromium.launch(hostLaunch),
      chromium.launch({ executablePath: net ? net.pcs.tech.browser : CHROMIUM_BIN, env: { ...process.env, ...UTF8 },
        args: browserArgs(techBrowserArgs) }),
    ], (browser) => browser.close());
    const [hostPage, techPage] = await Promise.all([
      openPcPage(hostBrowser, hostHost, { viewport: null }),
      openPcPage(techBrowser, techHost, { viewport: { width: 1280, height: 900 } }),
    ]);
    // Screenshots of the last state help when a test failed.
    cleanup.push(async () => {
      for (const [who, p] of [['host', pcs.host.page], ['tech', techPage.page]]) {
        await p.screenshot({ path: path.join(artifacts, `${who}-page.png`), timeout: 5000 }).catch(() => {});
      }
    });

    const xenv = { ...process.env, DISPLAY: display };
    const techXenv = { ...process.env, DISPLAY: techXvfb.display };
    Object.assign(pcs, {
      signalUrl: signal.url,
      turn: { port: turn.port, secret },
      display,
      host: { id: HOST_ID, ...hostPage, app: hostHost, browser: hostBrowser },
      tech: { id: TECH_ID, ...techPage, app: techHost, browser: techBrowser },
      pageErrors: () => [...pcs.host.errors.map((e) => `host PC: ${e}`),
        ...techPage.errors.filter((e, i) => !routedSocketArtifact(pcs.tech.joinRoute, e, i)).map((e) => `technician: ${e}`)],
      // A new browser for the host PC, with the same switches, on the same host: what a
      // browser finds at its start (a sound server, say) changed.
      async restartHostBrowser() {
        await pcs.host.browser.close();
        const [browser] = await startAll([hostProfile
          ? chromium.launchPersistentContext(path.join(tmp, 'host-profile'), { ...hostLaunch, viewport: null })
          : chromium.launch(hostLaunch)], (b) => b.close());
        Object.assign(pcs.host, await openPcPage(browser, hostHost, { viewport: null }), { browser });
      },
      xdotool: (...args) => run('xdotool', args, xenv),
      // With `input`, xclip -i forks an owner of the selection that lives until another
      // client takes it or the display ends; its output is not waited for.
      xclip: (args, input) => (input === undefined ? run('xclip', args, xenv) : new Promise((resolve, reject) => {
        const p = spawn('xclip', args, { env: xenv, stdio: ['pipe', 'ignore', 'ignore'] });
        p.once('error', reject);
        p.once('exit', (code) => (code === 0 ? resolve('') : reject(new Error(`xclip ${args.join(' ')} ended ${code}`))));
        p.stdin.end(input);
      })),
      // The technician PC's clipboard (its host's display).
      techClipboard: () => run('xclip', ['-selection', 'clipboard', '-o'], techXenv).catch(() => ''),
      setTechClipboard: (text) => new Promise((resolve, reject) => {
        const p = spawn('xclip', ['-selection', 'clipboard', '-i'], { env: techXenv, stdio: ['pipe', 'ignore', 'ignore'] });
        p.once('error', reject);
        p.once('exit', (code) => (code === 0 ? resolve() : reject(new Error(`xclip ended ${code}`))));
        p.stdin.end(text);
      }),
      async pointer() {
        const out = await run('xdotool', ['getmouselocation', '--shell'], xenv);
        const v = Object.fromEntries(out.trim().split('\n').map((l) => l.split('=')));
        return { x: Number(v.X), y: Number(v.Y), window: Number(v.WINDOW) };
      },
      async probe(width, height, options) {
        const p = await startProbe(display, width, height, options);
        cleanup.push(() => p.stop());
        return p;
      },
    });
    return pcs;
  } catch (e) {
    await pcs.stop();
    throw e;
  }
}

// Both PCs for a whole test file: `use` receives them before the first test; they are
// stopped after the last one, whatever the outcome.
export function withTwoPcs(use, options = {}) {
  let pcs;
  before(async () => {
    pcs = await startTwoPcs(options);
    use(pcs);
  });
  after(async () => {
    await pcs?.stop();
  });
}

// The technician asks for control with the host PC's key and the host PC accepts with
// control and without the PC's sound, as a person would through the UI; resolves once the
// picture is up and under control. `beforeAccept` runs just before the click on "accept".
export async function acceptWithControl(pcs, { timeout = 20000, beforeAccept } = {}) {
  const { page: host } = pcs.host;
  const { page: tech } = pcs.tech;
  await tech.fill('#peerId', HOST_ID);
  await tech.fill('#peerKey', (await host.textContent('#myKey')).trim());
  await tech.setChecked('#wantCtl', true);
  await tech.click('#connectBtn');
  await host.waitForSelector('#reqDlg:not([hidden])', { timeout: 20000 });
  await host.setChecked('#reqCtl', true);
  await host.setChecked('#reqAudio', false);
  await host.waitForSelector('#reqAccept:not([disabled])');
  if (beforeAccept) await beforeAccept();
  await host.click('#reqAccept');
  await host.waitForSelector('#hostbar:not([hidden]) #hbEnd', { timeout });
  await tech.waitForFunction(() => {
    const v = document.getElementById('vVideo');
    return v.videoWidth > 0 && document.getElementById('vWait').hidden && document.getElementById('vLayer').classList.contains('ctl');
  }, null, { timeout });
}

// The point of the technician's page that shows pixel (sx, sy) of the host PC's screen.
export function screenPoint(tech, sx, sy) {
  return tech.evaluate(([x, y]) => {
    const v = document.getElementById('vVideo');
    const r = v.getBoundingClientRect();
    const scale = Math.min(r.width / v.videoWidth, r.height / v.videoHeight);
    const left = r.left + (r.width - v.videoWidth * scale) / 2;
    const top = r.top + (r.height - v.videoHeight * scale) / 2;
    return { x: left + (x + 0.5) * scale, y: top + (y + 0.5) * scale };
  }, [sx, sy]);
}

// Opens a session: the technician connects with the host PC's key, the host PC accepts
// with the boxes given (the PC's sound as the settings tick it, unless said), and both wait
// until the file channel is open.
export async function openSession(pcs, { control = false, audio } = {}) {
  const { host, tech } = pcs;
  await host.page.waitForFunction(() => document.getElementById('hostStatus').classList.contains('ok'), null, { timeout: 15000 });
  await tech.page.fill('#peerId', HOST_ID);
  await tech.page.fill('#peerKey', (await host.page.textContent('#myKey')).trim());
  await tech.page.click('#connectBtn');
  await host.page.waitForSelector('#reqDlg:not([hidden])');
  await host.page.setChecked('#reqCtl', control);
  if (audio !== undefined) await host.page.setChecked('#reqAudio', audio);
  await host.page.waitForSelector('#reqAccept:not([disabled])');
  await host.page.click('#reqAccept');
  await host.page.waitForSelector('#hostbar:not([hidden]) #hbEnd', { timeout: 20000 });
  await tech.page.waitForFunction(() => {
    const ch = window.__channels && window.__channels.file && window.__channels.file.at(-1);
    return ch && ch.readyState === 'open';
  }, null, { timeout: 20000 });
}

// A page in the middle, where whoever ran the signalling server could put one: the
// technician's join socket goes through the test, which hands every `signal` of either
// side to a third page. That page answers the host's offer with a peer connection of its
// own, offers the technician another, and relays the picture, the sounds and every data
// channel message between the two, unchanged. Returns { page, seen(), certificates(),
// received(), cutIn(), stop() }: seen() lists the relayed control messages as "host:<t>"
// or "tech:<t>"; certificates() the fingerprints of its own two ends; received() the video
// frames and bytes that reached it from the host. After stop() joins pass straight
// through to the server again.
// With `later`, signals pass straight through until cutIn(), so a session can start
// honestly; the middle then answers the host's next offer (an ICE restart) with its own
// certificate and offers the technician another. An offer that comes once it already
// talks to the host is answered by a new end, with a new certificate, as a middle
// grinding certificates would. With `checkWithTech`, it relays no check messages: it runs
// the exchange with the technician itself (as the host, by the layout in check_logic.js)
// and leaves the host's unanswered.
export async function pageInTheMiddle(pcs, { later = false, checkWithTech = false } = {}) {
  const route = pcs.tech.joinRoute ??= { middle: null };
  if (!route.installed) {
    route.installed = true;
    route.errorsBefore = pcs.tech.errors.length;
    await pcs.tech.page.routeWebSocket(/\/join\//, (ws) => {
      const server = ws.connectToServer();
      route.middle?.attach(ws, server);
    });
    // The route reaches only sockets of a page loaded after it.
    await pcs.tech.page.reload();
    await pcs.tech.page.waitForSelector('html[data-ready="1"]');
  }
  const context = await pcs.tech.browser.newContext();
  const page = await context.newPage();
  await page.setContent('<!doctype html><title>middle</title>');
  const ends = {};
  await page.exposeFunction('toHost', (data) => ends.server?.send(JSON.stringify({ t: 'signal', data })));
  await page.exposeFunction('toTech', (data) => ends.ws?.send(JSON.stringify({ t: 'signal', data })));
  // The blank page is no secure context, so it has no crypto.subtle.
  await page.exposeFunction('sha256', (text) => crypto.createHash('sha256').update(text, 'utf8').digest('hex'));
  await page.evaluate(({ checkWithTech }) => {
    let H = new RTCPeerConnection(); // towards the host: answers its offer
    const hostEnds = [H];
    const T = new RTCPeerConnection({ bundlePolicy: 'max-bundle' }); // towards the technician
    const early = { H: [], T: [] };
    const links = {};
    window.seen = [];
    let chain = Promise.resolve();
    const inOrder = (fn) => (data) => {
      chain = chain.then(() => fn(data)).catch((e) => console.warn('middle:', e.message));
    };
    H.onicecandidate = (e) => e.candidate && window.toHost({ ice: e.candidate.toJSON() });
    T.onicecandidate = (e) => e.candidate && window.toTech({ ice: e.candidate.toJSON() });
    const typeOf = (data) => {
      try { return typeof data === 'string' ? JSON.parse(data).t : null; } catch { return null; /* not JSON */ }
    };
    const note = (side, data) => { const t = typeOf(data); if (t) window.seen.push(side + ':' + t); };
    // Its own check exchange with the technician, as the host's side of it.
    const hex = (bytes) => Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
    const nonce = hex(crypto.getRandomValues(new Uint8Array(32)));
    let committed = null;
    const commitTo = async (ch) => {
      const stats = [...(await T.getStats()).values()];
      const tr = stats.find((s) => s.type === 'transport' && s.dtlsState === 'connected');
      const fp = (id) => { const c = stats.find((s) => s.id === id); return c.fingerprintAlgorithm.toLowerCase() + ' ' + c.fingerprint.toUpperCase(); };
      const text = ['vantriel check commit 2', 'host', nonce, fp(tr.localCertificateId), fp(tr.remoteCertificateId)].join('\n');
      ch.send(JSON.stringify({ t: 'check2-commit', hash: await window.sha256(text) }));
    };
    const isCheck = (data) => checkWithTech && /^check/.test(typeOf(data) || '');
    const flush = (ch, queue) => { while (queue.length && ch.readyState === 'open') ch.send(queue.shift()); };
    const pass = (ch, queue, data) => { queue.push(data); if (ch) flush(ch, queue); };
    // Each channel towards the technician waits for its twin from the host.
    const link = (label, options) => {
      const l = { t: T.createDataChannel(label, options), h: null, toH: [], toT: [] };
      l.t.binaryType = 'arraybuffer';
      l.t.onmessage = (e) => {
        note('tech', e.data);
        if (!isCheck(e.data)) pass(l.h, l.toH, e.data);
        else if (typeOf(e.data) === 'check2-commit') committed.then(() => l.t.send(JSON.stringify({ t: 'check2-reveal', nonce })));
      };
      l.t.onopen = () => {
        flush(l.t, l.toT);
        if (checkWithTech && label === 'ctl') committed = commitTo(l.t);
      };
      links[label] = l;
    };
    H.ondatachannel = ({ channel }) => {
      const l = links[channel.label];
      if (!l) return;
      l.h = channel;
      channel.binaryType = 'arraybuffer';
      channel.onmessage = (e) => { note('host', e.data); if (!isCheck(e.data)) pass(l.t, l.toT, e.data); };
      channel.onopen = () => flush(channel, l.toH);
      flush(channel, l.toH);
    };
    const addIce = async (pc, queue, ice) => {
      if (pc.remoteDescription) await pc.addIceCandidate(ice).catch(() => {});
      else queue.push(ice);
    };
    window.fromHost = inOrder(async (data) => {
      if (data.ice) return addIce(H, early.H, data.ice);
      if (data.sdp?.type !== 'offer') return;
      if (H.remoteDescription) {
        H = new RTCPeerConnection();
        hostEnds.push(H);
        H.onicecandidate = (e) => e.candidate && window.toHost({ ice: e.candidate.toJSON() });
        await H.setRemoteDescription(data.sdp);
        await H.setLocalDescription();
        window.toHost({ sdp: { type: 'answer', sdp: H.localDescription.sdp } });
        return;
      }
      await H.setRemoteDescription(data.sdp);
      for (const c of early.H.splice(0)) await H.addIceCandidate(c).catch(() => {});
      // The same three lines towards the technician, fed with what the host sends.
      const [video, sound, voice] = H.getTransceivers();
      voice.direction = 'sendrecv';
      T.addTransceiver(video.receiver.track, { direction: 'sendonly' });
      T.addTransceiver(sound.receiver.track, { direction: 'sendonly' });
      const techVoice = T.addTransceiver(voice.receiver.track, { direction: 'sendrecv' });
      await voice.sender.replaceTrack(techVoice.receiver.track);
      link('ctl');
      link('file');
      link('mov', { ordered: false, maxRetransmits: 0 });
      await H.setLocalDescription();
      window.toHost({ sdp: { type: 'answer', sdp: H.localDescription.sdp } });
      await T.setLocalDescription();
      window.toTech({ sdp: { type: 'offer', sdp: T.localDescription.sdp } });
    });
    window.fromTech = inOrder(async (data) => {
      if (data.ice) return addIce(T, early.T, data.ice);
      if (data.sdp?.type !== 'answer') return;
      await T.setRemoteDescription(data.sdp);
      for (const c of early.T.splice(0)) await T.addIceCandidate(c).catch(() => {});
    });
    window.certificates = async () => {
      const own = async (pc) => {
        const stats = [...(await pc.getStats()).values()];
        const tr = stats.find((s) => s.type === 'transport' && s.localCertificateId);
        return stats.find((s) => s.id === tr?.localCertificateId)?.fingerprint ?? null;
      };
      return { towardsHost: await own(hostEnds[0]), towardsTech: await own(T) };
    };
    window.received = async () => {
      const got = { frames: 0, bytes: 0 };
      for (const pc of hostEnds) {
        for (const s of (await pc.getStats()).values()) {
          if (s.type !== 'inbound-rtp' || s.kind !== 'video') continue;
          got.frames += s.framesReceived ?? 0;
          got.bytes += s.bytesReceived ?? 0;
        }
      }
      return got;
    };
  }, { checkWithTech });
  const middle = {
    page,
    attach(ws, server) {
      ends.ws = ws;
      ends.server = server;
      const signal = (text) => {
        try {
          const m = JSON.parse(text);
          return m && m.t === 'signal' ? m.data : null;
        } catch {
          return null;
        }
      };
      ws.onMessage((text) => {
        const data = middle.active && signal(text);
        if (data) page.evaluate((d) => window.fromTech(d), data).catch(() => {});
        else server.send(text);
      });
      server.onMessage((text) => {
        const data = middle.active && signal(text);
        if (data) page.evaluate((d) => window.fromHost(d), data).catch(() => {});
        else ws.send(text);
      });
    },
    active: !later,
    cutIn() {
      middle.active = true;
    },
    seen: () => page.evaluate(() => window.seen),
    certificates: () => page.evaluate(() => window.certificates()),
    received: () => page.evaluate(() => window.received()),
    async stop() {
      if (route.middle === middle) route.middle = null;
      await context.close();
    },
  };
  route.middle = middle;
  return middle;
}
