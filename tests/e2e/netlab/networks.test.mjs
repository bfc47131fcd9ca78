// Support sessions and a voice room across the networks people really have, built on
// this machine (lib/netlab.mjs): each PC behind a router of its own, the signalling
// server and coturn on an "internet" between them. Each profile is a whole session as a
// person does it (request, accept, picture, a click, a key, a chat line, the end), and
// asserts what its network proves: the route WebRTC chose, as getStats reports it.
import test, { after, before } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { execFileSync } from 'node:child_process';
import { labUnavailable, selectedPair, startLab } from '../lib/netlab.mjs';
import { acceptWithControl, SCREEN, screenPoint, startTwoPcs, TECH_NAME, waitFor } from '../lib/twopc.mjs';
import { waitToast } from '../lib/host.mjs';
import {
  callLinks, createCall, heardPitches, joinCall, meshed, openMemberPage, startMemberPc, toneWav,
} from '../twopc/calls_kit.mjs';

const why = await labUnavailable();
if (why) console.log(`netlab: not run: ${why}`);
const skip = why ?? false;

const PROBE = { x: 100, y: 100, w: 400, h: 300 };
const PITCH = { ana: 440, luis: 650, carla: 1000 };
const LOST = 'Se perdió la conexión con la otra PC.';
const RECONNECTING = 'Se cortó la red · reconectando con la otra PC…';
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vtr-netlab-'));
const wavs = Object.fromEntries(Object.entries(PITCH).map(([who, hz]) => [who, toneWav(path.join(dir, `${who}.wav`), hz)]));

let lab;
let pcs;
let probe;
before(async () => {
  if (skip) return;
  lab = await startLab({ pcs: ['host', 'tech', 'carla'] });
  pcs = await startTwoPcs({ net: lab });
  probe = await pcs.probe(PROBE.w, PROBE.h, { x: PROBE.x, y: PROBE.y });
});
after(async () => {
  await pcs?.stop();
  await lab?.stop();
  fs.rmSync(dir, { recursive: true, force: true });
});

const hostPage = () => pcs.host.page;
const techPage = () => pcs.tech.page;

// Both PCs' routers set, each to a kind of lib/netlab.mjs.
async function networks(host, tech) {
  await lab.pcs.host.setNat(host);
  await lab.pcs.tech.setNat(tech);
}

async function online() {
  await hostPage().waitForFunction(() => document.getElementById('hostStatus').classList.contains('ok'), null, { timeout: 45000 });
}

// The technician asks with control, the host PC accepts, the picture comes at the
// screen's size.
async function openSession() {
  const tech = techPage();
  const host = hostPage();
  // A profile that failed half-way may leave its session on either side: it goes first.
  if (await tech.isVisible('#viewer')) await tech.click('#vEnd');
  if (await host.isVisible('#hostbar')) await host.click('#hbEnd', { timeout: 2000 }).catch(() => {});
  await sessionGone();
  await online();
  await acceptWithControl(pcs, { timeout: 30000 });
  const size = await tech.evaluate(() => [document.getElementById('vVideo').videoWidth, document.getElementById('vVideo').videoHeight]);
  assert.deepEqual(size, [SCREEN.width, SCREEN.height]);
}

// The route each side uses, once the statistics line names it ("P2P", "TURN", or
// either as "P2P|TURN").
async function route(kind) {
  await techPage().waitForFunction((k) => new RegExp(`^(${k}) · `).test(document.getElementById('vStats').textContent), kind,
    { timeout: 20000 });
  return { host: await selectedPair(hostPage()), tech: await selectedPair(techPage()) };
}


// The picture is live: the test window on the host PC's screen turns `rgb`, and the
// technician's picture shows it there.
async function pictureShows(rgb, timeout = 20000) {
  await probe.color(rgb);
  const want = [0, 2, 4].map((i) => parseInt(rgb.slice(i, i + 2), 16));
  await waitFor(async () => {
    const got = await techPage().evaluate(([px, py]) => {
      const v = document.getElementById('vVideo');
      if (!v.videoWidth) return null;
      const canvas = document.createElement('canvas');
      canvas.width = canvas.height = 1;
      const ctx = canvas.getContext('2d', { willReadFrequently: true });
      ctx.drawImage(v, px, py, 1, 1, 0, 0, 1, 1);
      return [...ctx.getImageData(0, 0, 1, 1).data.slice(0, 3)];
    }, [PROBE.x + PROBE.w / 2, PROBE.y + PROBE.h / 2]);
    return got && got.every((c, i) => Math.abs(c - want[i]) <= 48) ? got : got && `pixel ${got}`;
  }, { timeout, interval: 100, what: `#${rgb} in the technician's picture` });
}

// A click on the test window lands on its pixel; a key reaches it.
async function clickAndKey() {
  const tech = techPage();
  const at = await screenPoint(techPage(), PROBE.x + 200, PROBE.y + 150);
  await tech.mouse.click(at.x, at.y);
  // Earlier profiles may have left events behind: the press is the next one.
  const press = (await probe.until((e) => e.t === 'bp', 20000)).at(-1);
  assert.ok(Math.abs(press.x - 200) <= 2 && Math.abs(press.y - 150) <= 2, JSON.stringify(press));
  await probe.until((e) => e.t === 'br', 20000);
  await pcs.xdotool('windowfocus', String((await pcs.pointer()).window));
  await tech.focus('#vLayer');
  await tech.keyboard.press('KeyA');
  const key = (await probe.until((e) => e.t === 'kp', 20000)).at(-1);
  assert.equal(key.text, 'a');
  await probe.until((e) => e.t === 'kr', 20000);
}

async function chatLine(text) {
  const tech = techPage();
  if (!(await tech.isVisible('#chat'))) await tech.click('#vChat');
  await tech.fill('#chatIn', text);
  await tech.press('#chatIn', 'Enter');
  await hostPage().waitForFunction((t) => document.getElementById('chatLog').textContent.includes(t), text, { timeout: 20000 });
  assert.equal(await hostPage().locator('#chatLog .cpeer').last().textContent(), `${TECH_NAME}: ${text}`);
}

// One side ends; both see the end.
async function end(side) {
  const [mine, theirs, button] = side === 'host' ? [hostPage(), techPage(), '#hbEnd'] : [techPage(), hostPage(), '#vEnd'];
  await mine.click(button);
  await waitToast(theirs, 'La otra persona terminó la sesión.', 20000);
  await sessionGone();
}

async function sessionGone(timeout = 20000) {
  await techPage().waitForSelector('#viewer', { state: 'hidden', timeout });
  await hostPage().waitForSelector('#hostbar', { state: 'hidden', timeout });
}

function heldOnHost() {
  const st = JSON.parse(execFileSync(process.env.DESKTOP_PROBE, ['state'], { env: { ...process.env, DISPLAY: pcs.display } }).toString());
  return [...st.buttons, ...st.keys];
}

const kinds = (pair) => [pair.local.type, pair.remote.type];

// From now on, what the technician's viewer shows: each text its waiting overlay takes,
// and whether the viewer closed at any moment (the session ended, however briefly).
async function watchViewer() {
  await techPage().evaluate(() => {
    const wait = document.getElementById('vWait');
    const viewer = document.getElementById('viewer');
    const seen = { texts: [], closed: false };
    window.__viewerSeen = seen;
    const note = () => {
      const text = wait.hidden ? '' : wait.textContent;
      if (text && seen.texts.at(-1) !== text) seen.texts.push(text);
      if (viewer.hidden) seen.closed = true;
    };
    new MutationObserver(note).observe(viewer, { attributes: true, childList: true, subtree: true, characterData: true });
  });
}
const viewerSeen = () => techPage().evaluate(() => window.__viewerSeen);

test('a: both behind endpoint-independent NAT, the PCs reach each other directly', { skip }, async () => {
  await networks('cone', 'cone');
  await openSession();
  const r = await route('P2P');
  // Each side's public mapping, learnt through STUN or from the other's checks.
  for (const side of [r.host, r.tech]) {
    assert.ok(kinds(side).every((k) => k === 'srflx' || k === 'prflx'), JSON.stringify(side));
    assert.equal(side.local.protocol, 'udp');
  }
  assert.match(r.host.local.address, /^198\.18\.0\.11:/);
  await pictureShows('e02020');
  await clickAndKey();
  await chatLine('¿me ves bien?');
  await end('host');
});

test('b: both behind symmetric NAT, hole punching cannot work and the relay carries it', { skip }, async () => {
  await networks('symmetric', 'symmetric');
  await openSession();
  const r = await route('TURN');
  assert.ok([...kinds(r.host), ...kinds(r.tech)].includes('relay'), JSON.stringify(r));
  await pictureShows('20c040');
  await clickAndKey();
  await chatLine('por el relevo');
  await end('tech');
});

test('c: a network that lets only TCP out reaches the relay over TCP', { skip }, async () => {
  await networks('tcp-only', 'cone');
  await openSession();
  const r = await route('TURN');
  assert.equal(r.host.local.type, 'relay', JSON.stringify(r.host));
  assert.equal(r.host.local.protocol, 'tcp', JSON.stringify(r.host));
  await pictureShows('2050e0');
  await clickAndKey();
  await chatLine('solo TCP');
  await end('host');
});

test('d: a bad link (2 Mbit/s, 3 % loss, 80 ms) keeps the picture live and the input in order', { skip }, async () => {
  await networks('cone', 'cone');
  await lab.pcs.host.setImpairment({ kbit: 2000, lossPct: 3, delayMs: 40 });
  try {
    await openSession();
    // Either route will do; the delay line is on both.
    const r = await route('P2P|TURN');
    assert.ok(r.tech.rtt >= 0.07, `round trip ${r.tech.rtt} s`);
    for (const rgb of ['e0c020', '202020', 'f0f0f0']) await pictureShows(rgb, 30000);
    await clickAndKey();
    // Keys typed fast arrive in the order typed, however the link drops packets.
    const tech = techPage();
    const word = 'qwertyuiop';
    for (const c of word) await tech.keyboard.press('Key' + c.toUpperCase());
    const typed = [];
    await waitFor(async () => {
      typed.push(...(await probe.until((e) => e.t === 'kp', 30000)).filter((e) => e.t === 'kp').map((e) => e.text));
      return typed.length >= word.length;
    }, { timeout: 60000, what: `typed keys (got ${JSON.stringify(typed)})` });
    assert.equal(typed.join(''), word);
    await chatLine('con pérdidas');
    // The host PC ends while the technician holds a button: nothing stays held there.
    const at = await screenPoint(techPage(), PROBE.x + 50, PROBE.y + 50);
    await tech.mouse.move(at.x, at.y);
    await tech.mouse.down();
    try {
      await probe.until((e) => e.t === 'bp', 30000);
      await end('host');
    } finally {
      await tech.mouse.up();
    }
    await waitFor(() => heldOnHost().length === 0, { timeout: 20000, what: 'no key or button held' });
  } finally {
    await lab.pcs.host.setImpairment(null);
  }
});

test('e: the host PC loses its link for 5 s, then gets a new address: the session goes on', { skip }, async () => {
  await networks('cone', 'cone');
  await openSession();
  await route('P2P');
  await pictureShows('e02020');

  await watchViewer();
  await lab.pcs.host.linkDown();
  // The person's bar says so too, while the link is down.
  const hostTold = hostPage().waitForSelector('#hbReconnecting', { timeout: 5000 }).then(() => true, () => false);
  await new Promise((r) => setTimeout(r, 5000));
  assert.ok(await hostTold, 'the host bar said it was reconnecting');
  await lab.pcs.host.linkUp();
  await pictureShows('20c040', 30000);
  await clickAndKey();
  await hostPage().waitForSelector('#hbReconnecting', { state: 'detached', timeout: 15000 });
  // The technician was told the network dropped, and the picture is back without it.
  await techPage().waitForSelector('#vWait', { state: 'hidden' });
  let seen = await viewerSeen();
  assert.ok(seen.texts.includes(RECONNECTING), JSON.stringify(seen));
  assert.equal(seen.closed, false);

  // A new address breaks every flow of the old one, the signalling socket's too (which
  // the host page replaces, taking the session along); the picture comes back.
  const renumbered = Date.now();
  await lab.pcs.host.newAddress();
  await pictureShows('2050e0', 40000);
  const hostPicture = Date.now();
  await clickAndKey();
  console.log(`host's new address: picture in ${hostPicture - renumbered} ms, click and key through in ` +
    `${Date.now() - renumbered} ms`);
  await chatLine('sigo aquí');
  // The same connection, settled (it may still be sorting out its old address's pairs).
  await hostPage().waitForFunction(() => window.__pcs.at(-1).connectionState === 'connected', null, { timeout: 15000 });
  seen = await viewerSeen();
  assert.equal(seen.closed, false);
  // A route again in the statistics: direct through the new address's mapping, or the
  // relay, whichever pair the restart settled on first.
  await route('P2P|TURN');

  // Now the technician's PC changes network: its link drops for 4 s and comes back with a
  // new address. Its page takes the session back on a new join socket (the person is not
  // asked again) and the host restarts ICE; both sides say they are reconnecting meanwhile.
  await watchViewer();
  const hostSaw = hostPage().waitForSelector('#hbReconnecting', { timeout: 20000 }).then(() => true, () => false);
  const dropped = Date.now();
  await lab.pcs.tech.linkDown();
  await new Promise((r) => setTimeout(r, 4000));
  await lab.pcs.tech.newAddress();
  const back = Date.now();
  await pictureShows('e0c020', 40000);
  const picture = Date.now();
  // Frames may find a way back by themselves (the technician's browser checks the old pair
  // from its new address); input and the end of the loss timers need the ICE restart.
  await clickAndKey();
  const mended = Date.now();
  console.log(`technician's change of network: after its link came back, picture in ${picture - back} ms, ` +
    `click and key through in ${mended - back} ms (${mended - dropped} ms after it dropped)`);
  await chatLine('sigo aquí, con otra red');
  assert.ok(await hostSaw, 'the host bar said it was reconnecting');
  await hostPage().waitForSelector('#hbReconnecting', { state: 'detached', timeout: 15000 });
  await techPage().waitForSelector('#vWait', { state: 'hidden' });
  seen = await viewerSeen();
  assert.ok(seen.texts.includes(RECONNECTING), JSON.stringify(seen));
  assert.equal(seen.closed, false);
  await end('tech');
});

test('e: a link that does not come back ends the session as lost on both sides', { skip }, async () => {
  await openSession();
  await pictureShows('f0f0f0');
  await lab.pcs.host.linkDown();
  try {
    // Reconnecting, not ended, while the loss timer runs.
    await techPage().waitForFunction((t) => document.getElementById('vWait').textContent === t, RECONNECTING, { timeout: 30000 });
    // Reconnecting, not ended, for as long as the loss timer runs; then the end.
    await new Promise((r) => setTimeout(r, 6000));
    assert.equal(await techPage().isVisible('#viewer'), true);
    assert.equal(await techPage().textContent('#vWait'), RECONNECTING);
    await Promise.all([waitToast(hostPage(), LOST, 60000), waitToast(techPage(), LOST, 60000)]);
    await sessionGone();
  } finally {
    await lab.pcs.host.linkUp();
  }
  await online();
});

test('f: a voice room across three NATs, one PC only through TURN over TCP: everyone hears everyone', { skip }, async () => {
  await networks('cone', 'symmetric');
  await lab.pcs.carla.setNat('tcp-only');
  // A member PC in each network, each with a microphone that speaks its own pitch (the
  // session's browsers capture the real screen, which a fake microphone would replace).
  const members = [];
  try {
    for (const [n, who, place] of [[3, 'ana', 'host'], [4, 'luis', 'tech'], [5, 'carla', 'carla']]) {
      const pc = await startMemberPc({ signalUrl: pcs.signalUrl, id: `70000000${n}`, name: who, wav: wavs[who],
        artifacts: pcs.artifacts, place: lab.pcs[place] });
      members.push(pc);
      pc.page = (await openMemberPage(pc.browser, pc.app)).page;
    }
    const [ana, luis, carla] = members.map((m) => m.page);
    const code = await createCall(ana);
    await joinCall(luis, code);
    await joinCall(carla, code);
    await Promise.all([ana, luis, carla].map((p) => meshed(p, 2, 60000)));
    for (const pair of await selectedPair(carla, 'all')) {
      assert.equal(pair.local.type, 'relay', JSON.stringify(pair));
      assert.equal(pair.local.protocol, 'tcp', JSON.stringify(pair));
    }
    for (const [p, others] of [[ana, ['luis', 'carla']], [luis, ['ana', 'carla']], [carla, ['ana', 'luis']]]) {
      await waitFor(async () => (await callLinks(p)).every((l) => l.level > 0), { timeout: 20000, what: 'a level on every link' });
      const heard = (await heardPitches(p, 1800)).sort((x, y) => x - y);
      const want = others.map((o) => PITCH[o]).sort((x, y) => x - y);
      assert.equal(heard.length, 2);
      heard.forEach((hz, i) => assert.ok(Math.abs(hz - want[i]) < 25, `heard ${heard} where ${want} speak`));
    }
  } finally {
    for (const m of members) await m.stop();
  }
});

// While the network changed, the browsers said so about their sockets; nothing else: the
// registration's and the technician's join socket (taking its session back) are tried
// again while the link is down, and fail.
const EXPECTED = [
  /console: WebSocket connection to 'ws:\/\/198\.18\.0\.1:\d+\/(host|join)\/\d+' failed/,
  /console: WebSocket connection to '[^']*\/call\/[A-Z0-9]{6}' failed: Data frame received after close$/,
];

test('no page logged an error', { skip }, () => {
  assert.deepEqual(pcs.pageErrors().filter((e) => !EXPECTED.some((re) => re.test(e))), []);
});
