// Pieces shared by the call tests and the call benchmark: fake microphones made of tones,
// more PCs beside the two of twopc.mjs, pages instrumented to show what a call does, and
// readings of the audio each page receives.
import fs from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { CHROMIUM_ARGS, CHROMIUM_BIN, recordToasts, startHost } from '../lib/host.mjs';
import { instrumentPeerConnections, waitFor } from '../lib/twopc.mjs';

const RATE = 48000;

// A 16-bit mono PCM WAV of `seconds` whose sample at time t (s) is `fn(t)` in -1..1. A
// fake microphone plays it in a loop.
export function writeWav(file, seconds, fn) {
  const n = Math.round(seconds * RATE);
  const b = Buffer.alloc(44 + n * 2);
  b.write('RIFF', 0);
  b.writeUInt32LE(36 + n * 2, 4);
  b.write('WAVEfmt ', 8);
  b.writeUInt32LE(16, 16);
  b.writeUInt16LE(1, 20); // PCM
  b.writeUInt16LE(1, 22); // mono
  b.writeUInt32LE(RATE, 24);
  b.writeUInt32LE(RATE * 2, 28);
  b.writeUInt16LE(2, 32);
  b.writeUInt16LE(16, 34);
  b.write('data', 36);
  b.writeUInt32LE(n * 2, 40);
  for (let i = 0; i < n; i++) {
    b.writeInt16LE(Math.round(32767 * Math.max(-1, Math.min(1, fn(i / RATE)))), 44 + i * 2);
  }
  fs.writeFileSync(file, b);
  return file;
}

// A voice of one pitch: `on` seconds of tone, then `off` of silence. Short gaps keep the
// browser's noise suppression from taking a steady tone for noise.
export function toneWav(file, hz, { on = 0.4, off = 0.1, amp = 0.3 } = {}) {
  const period = on + off;
  return writeWav(file, period * Math.max(1, Math.round(4 / period)),
    (t) => ((t % period) < on ? amp * Math.sin(2 * Math.PI * hz * t) : 0));
}

export const fakeMic = (wav) => ['--use-fake-device-for-media-stream', `--use-file-for-fake-audio-capture=${wav}`];

// Test-side view of a page's call: every media element played (window.__played), the
// frames sent and received on call sockets (window.__callSent, __callGot), how many call
// sockets were opened (window.__callSockets) and the latest (window.__callWs), and every
// microphone asked for, with what (window.__mics). Runs before the page's own script.
export function instrumentCalls() {
  if (window.__callSent) return;
  window.__callSent = [];
  window.__callGot = [];
  window.__callSockets = 0;
  window.__played = new Set();
  window.__mics = [];
  const md = navigator.mediaDevices;
  const gum = md.getUserMedia.bind(md);
  md.getUserMedia = async (constraints) => {
    const stream = await gum(constraints);
    window.__mics.push({ constraints, stream });
    return stream;
  };
  const play = HTMLMediaElement.prototype.play;
  HTMLMediaElement.prototype.play = function (...args) {
    window.__played.add(this);
    return window.__noPlayback ? Promise.resolve() : play.apply(this, args);
  };
  // A page told so (window.__noPlayback, see withoutPlayback) keeps the streams it is given to
  // itself: packets still arrive, but nothing is decoded or played.
  const src = Object.getOwnPropertyDescriptor(HTMLMediaElement.prototype, 'srcObject');
  Object.defineProperty(HTMLMediaElement.prototype, 'srcObject', {
    configurable: true,
    get() { return window.__noPlayback ? (this.__held ?? null) : src.get.call(this); },
    set(v) {
      if (window.__noPlayback) this.__held = v;
      else src.set.call(this, v);
    },
  });
  const send = WebSocket.prototype.send;
  WebSocket.prototype.send = function (data) {
    if (this.url.includes('/call/')) window.__callSent.push(String(data));
    return send.call(this, data);
  };
  const Native = window.WebSocket;
  window.WebSocket = class extends Native {
    constructor(url, ...rest) {
      super(url, ...rest);
      if (!String(url).includes('/call/')) return;
      window.__callSockets++;
      window.__callWs = this;
      this.addEventListener('message', (e) => window.__callGot.push(e.data));
    }
  };
}

// From now on `page` plays nothing it receives. A room of eight on two cores cannot also
// play 56 streams; what the members hear is checked in smaller rooms.
export const withoutPlayback = (page) => page.evaluate(() => { window.__noPlayback = true; });

// Adds the call instrumentation to a page already open and loads it again.
export async function instrumentPage(page) {
  await page.addInitScript(instrumentCalls);
  await page.reload();
  await page.waitForSelector('html[data-ready="1"]');
}

// A page of `host` in a new context of `browser`, instrumented like the pages of
// twopc.mjs and for calls, its errors collected.
export async function openMemberPage(browser, host, contextOptions = { viewport: { width: 1000, height: 800 } }) {
  const context = await browser.newContext(contextOptions);
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(`pageerror: ${e.message}`));
  page.on('console', (m) => { if (m.type() === 'error') errors.push(`console: ${m.text()}`); });
  await instrumentPeerConnections(page);
  await page.addInitScript(instrumentCalls);
  await recordToasts(page);
  await page.goto(host.url + '/');
  await page.waitForSelector('html[data-ready="1"]');
  return { context, page, errors };
}

// One more PC: a host named `name` (its computer name) on the signalling server and a
// headless Chromium whose microphone plays `wav`. stop() ends both. With `place` (a PC of
// netlab.mjs) both run in that PC's namespace.
export async function startMemberPc({ signalUrl, id, name, wav, artifacts, place = null }) {
  const app = await startHost({ env: { VTR_SERVER: signalUrl, VTR_ID: id, COMPUTERNAME: name, DISPLAY: '', WAYLAND_DISPLAY: '' },
    launcher: place && place.launcher });
  let browser;
  try {
    browser = await chromium.launch({
      executablePath: place ? place.browser : CHROMIUM_BIN,
      args: [...CHROMIUM_ARGS, '--allow-loopback-in-peer-connection', '--use-fake-ui-for-media-stream',
        '--disable-features=WebRtcHideLocalIpsWithMdns,Translate,MediaRouter,OptimizationHints', ...fakeMic(wav)],
    });
  } catch (e) {
    await app.stop();
    throw e;
  }
  return {
    app,
    browser,
    async stop() {
      await browser.close().catch(() => {});
      if (artifacts) fs.writeFileSync(path.join(artifacts, `${id}-host.log`), app.output);
      await app.stop();
    },
  };
}

// Creates a room from `page`'s call tab; resolves with its code.
export async function createCall(page) {
  await page.click('#tab-llamada');
  await page.click('#callCreateBtn');
  await page.waitForSelector('#callCodeShown');
  return (await page.textContent('#callCodeShown')).trim();
}

// Types `code` as given into the call tab and joins.
export async function joinCall(page, code) {
  await page.click('#tab-llamada');
  await page.fill('#callCode', code);
  await page.click('#callJoinBtn');
}

// The page's open call connections (closed ones of earlier calls left out), each with its
// connection state and, unless `stats` is false, its received audio: packets and the
// latest level. Statistics cost the page a pass over every connection's threads.
export function callLinks(page, { stats = true } = {}) {
  return page.evaluate(async (stats) => {
    const out = [];
    for (const pc of window.__pcs) {
      if (pc.connectionState === 'closed' || pc.getTransceivers().length !== 1) continue;
      let packets = 0;
      let level = 0;
      if (stats) {
        (await pc.getStats()).forEach((s) => {
          if (s.type === 'inbound-rtp' && s.kind === 'audio') {
            packets += s.packetsReceived || 0;
            level = Math.max(level, s.audioLevel || 0);
          }
        });
      }
      out.push({ state: pc.connectionState, packets, level });
    }
    return out;
  }, stats);
}

// Waits until `page` has `n` open call connections that have each been connected and
// have each received audio, not necessarily at the same moment: how a mesh formed, read
// by the page itself (a watcher it runs once asked) rather than by polling its
// statistics from outside. On time-out the links as they were are in the message.
export async function meshFormed(page, n, timeout = 30000) {
  await page.evaluate(() => {
    if (window.__formed) return;
    window.__formed = setInterval(async () => {
      for (const pc of window.__pcs) {
        if (pc.connectionState === 'closed' || pc.getTransceivers().length !== 1) continue;
        if (!pc.__watched) {
          pc.__watched = true;
          pc.addEventListener('connectionstatechange', () => { if (pc.connectionState === 'connected') pc.__up = true; });
        }
        if (pc.connectionState === 'connected') pc.__up = true;
        if (pc.__up && !pc.__heard) {
          (await pc.getStats()).forEach((s) => {
            if (s.type === 'inbound-rtp' && s.kind === 'audio' && s.packetsReceived > 0) pc.__heard = true;
          });
        }
      }
    }, 500);
  });
  let last = [];
  try {
    return await waitFor(async () => {
      last = await page.evaluate(() => window.__pcs
        .filter((pc) => pc.connectionState !== 'closed' && pc.getTransceivers().length === 1)
        .map((pc) => ({ state: pc.connectionState, up: !!pc.__up, heard: !!pc.__heard })));
      return last.length === n && last.every((l) => l.up && l.heard);
    }, { timeout, interval: 1000, what: `${n} call links formed` });
  } catch (e) {
    throw new Error(`${e.message}; links: ${last.map((l) => `${l.state}${l.up ? '+up' : ''}${l.heard ? '+heard' : ''}`).join(' ')}`);
  } finally {
    await page.evaluate(() => { clearInterval(window.__formed); window.__formed = 0; }).catch(() => {});
  }
}

// Waits until `page` has `n` call connections, all connected and receiving audio; on
// time-out the links as they were are in the message. Statistics are read only once every
// link is connected: a room of eight polled that way would load the machine it measures.
export async function meshed(page, n, timeout = 30000, interval = 200) {
  let last = [];
  const up = (links) => links.length === n && links.every((l) => l.state === 'connected');
  try {
    return await waitFor(async () => {
      last = await callLinks(page, { stats: false });
      if (!up(last)) return false;
      last = await callLinks(page);
      return up(last) && last.every((l) => l.packets > 0) && last;
    }, { timeout, interval, what: `${n} connected call links` });
  } catch (e) {
    throw new Error(`${e.message}; links: ${last.map((l) => `${l.state}/${l.packets}`).join(' ')}`);
  }
}

// The pitch (Hz) that dominates what each open call connection of `page` receives,
// listened to for `ms`: the loudest bin of the spectrum's peaks over that time.
export function heardPitches(page, ms = 1500) {
  return page.evaluate(async (ms) => {
    const ac = new AudioContext();
    const links = window.__pcs.filter((pc) => pc.connectionState !== 'closed' && pc.getTransceivers().length === 1);
    const ans = links.map((pc) => {
      const an = ac.createAnalyser();
      an.fftSize = 4096;
      ac.createMediaStreamSource(new MediaStream([pc.getReceivers()[0].track])).connect(an);
      return { an, peak: new Float32Array(an.frequencyBinCount).fill(-Infinity), now: new Float32Array(an.frequencyBinCount) };
    });
    for (let t = 0; t < ms; t += 50) {
      await new Promise((r) => setTimeout(r, 50));
      for (const a of ans) {
        a.an.getFloatFrequencyData(a.now);
        for (let i = 0; i < a.now.length; i++) a.peak[i] = Math.max(a.peak[i], a.now[i]);
      }
    }
    await ac.close();
    const hz = ac.sampleRate / 4096;
    return ans.map((a) => {
      let best = 1;
      for (let i = 2; i < a.peak.length; i++) if (a.peak[i] > a.peak[best]) best = i;
      return Math.round(best * hz);
    });
  }, ms);
}

// The member list as the page draws it: name text, whether highlighted, the state line,
// and whether a Remove button is on it. The own entry comes first.
export function memberList(page) {
  return page.$$eval('#callMembers li', (lis) => lis.map((li) => ({
    name: li.querySelector('.mname b').textContent,
    label: li.querySelector('.mname').textContent,
    talk: li.classList.contains('talk'),
    state: li.querySelector('.mstate').textContent,
    kick: !!li.querySelector('[data-kick]'),
  })));
}

// The host process's record of a running call, as the page's status reads it.
export function hostCallFlag(page) {
  return page.evaluate(async () => (await (await fetch('/api/estado')).json()).llamada);
}
