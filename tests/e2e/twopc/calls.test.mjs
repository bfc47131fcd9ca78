// Voice: call rooms between real browsers on fake microphones, each PC speaking its own
// pitch, and the voice line inside a support session; and the technician's page that the
// signalling server serves to any browser, in a session and in a room. Three PCs: the two of twopc.mjs
// (Ana's, Luis's) and Carla's; a room of eight adds pages to their browsers.
import test, { after, before } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { HOST_ID, HOST_NAME, startTwoPcs, TECH_NAME, waitFor } from '../lib/twopc.mjs';
import { openWebPage, webAsks, webSees } from '../lib/web_page.mjs';
import { pagePost, waitToast } from '../lib/host.mjs';
import {
  callLinks, createCall, fakeMic, heardPitches, hostCallFlag, instrumentCalls, instrumentPage, joinCall, memberList, meshed, meshFormed,
  openMemberPage, startMemberPc, toneWav, withoutPlayback,
} from './calls_kit.mjs';

const CARLA = 'Carla';
const PITCH = { ana: 440, luis: 650, carla: 1000 };
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vtr-calls-'));
// Carla talks in long stretches with long pauses, so her highlight is seen coming and going.
const wavs = {
  ana: toneWav(path.join(dir, 'ana.wav'), PITCH.ana),
  luis: toneWav(path.join(dir, 'luis.wav'), PITCH.luis),
  carla: toneWav(path.join(dir, 'carla.wav'), PITCH.carla, { on: 1.5, off: 1.5 }),
};

let pcs;
let carla; // her PC
let ana;
let luis;
let carlaPage;
// One hook starts everything: the PCs of twopc.mjs first, Carla's PC with their signalling
// server, then the call instrumentation in every page.
before(async () => {
  pcs = await startTwoPcs({
    // Every page joins from 127.0.0.1: more joins per minute than one person makes.
    signalArgs: ['--joins-per-min', '600'],
    hostBrowserArgs: fakeMic(wavs.ana),
    techBrowserArgs: fakeMic(wavs.luis),
  });
  carla = await startMemberPc({ signalUrl: pcs.signalUrl, id: '700000003', name: CARLA, wav: wavs.carla, artifacts: pcs.artifacts });
  await Promise.all([instrumentPage(pcs.host.page), instrumentPage(pcs.tech.page)]);
  ana = pcs.host.page;
  luis = pcs.tech.page;
  carlaPage = await openMemberPage(carla.browser, carla.app);
});
after(async () => {
  await carla?.stop();
  await pcs?.stop();
  fs.rmSync(dir, { recursive: true, force: true });
});

// Console errors that are not the page's: the unreachable server of one test.
const EXPECTED = [
  /(^|: )console: WebSocket connection to 'ws:\/\/127\.0\.0\.1:9\/call\//,
];
const pageErrors = (...more) => [...pcs.pageErrors(), ...carlaPage.errors.map((e) => `Carla: ${e}`), ...more]
  .filter((e) => !EXPECTED.some((re) => re.test(e)));

const inRoom = (page) => page.locator('#callRoom').isVisible();
const entry = (list, name) => list.find((m) => m.name === name);
const sentSince = (page, n) => page.evaluate((n) => window.__callSent.slice(n).map((f) => JSON.parse(f)), n);

// Waits until `name` on `page`'s list satisfies `ok`.
function listShows(page, name, ok, what) {
  return waitFor(async () => {
    const m = entry(await memberList(page), name);
    return m && ok(m);
  }, { timeout: 15000, interval: 100, what: `${what} on the list` });
}

// Back to the set-up card: left by the test, or never there.
async function leave(page) {
  if (await inRoom(page)) await page.click('#callLeave');
  await page.waitForSelector('#callSetup:not([hidden])');
}

test('a room of three: everyone hears everyone, newcomers see who is muted, names stay text', async () => {
  const carlaP = carlaPage.page;
  const code = await createCall(ana);
  assert.match(code, /^[A-HJ-NP-Z2-9]{6}$/);
  await waitFor(() => hostCallFlag(ana), { what: "Ana's host to record the call" });
  await joinCall(luis, `  ${code.toLowerCase()} `);
  await Promise.all([meshed(ana, 1), meshed(luis, 1)]);
  // Luis mutes before Carla arrives: the server keeps no state, yet she must see it.
  await luis.click('#callMute');
  await listShows(ana, TECH_NAME, (m) => m.state.startsWith('🔇 ') && !m.talk, "Luis muted on Ana's list");
  await joinCall(carlaP, code);
  await Promise.all([ana, luis, carlaP].map((p) => meshed(p, 2)));
  await listShows(carlaP, TECH_NAME, (m) => m.state === '🔇 Conectado', "Luis muted on Carla's list");

  const lists = await Promise.all([ana, luis, carlaP].map(memberList));
  assert.deepEqual(lists.map((l) => l.map((m) => m.name)),
    [[HOST_NAME, TECH_NAME, CARLA], [TECH_NAME, HOST_NAME, CARLA], [CARLA, HOST_NAME, TECH_NAME]]);
  assert.equal(lists[0][0].label, `${HOST_NAME} (tú) · anfitrión`);
  assert.equal(entry(lists[2], HOST_NAME).label, `${HOST_NAME} · anfitrión`);
  assert.equal(entry(lists[2], TECH_NAME).label, TECH_NAME);
  // Remove is the host's alone, on every other member.
  assert.deepEqual(lists.map((l) => l.map((m) => m.kick)), [[false, true, true], [false, false, false], [false, false, false]]);
  for (const p of [ana, luis, carlaP]) {
    assert.equal(await p.textContent('#callPeople'), '3 en la llamada');
    assert.equal(await p.locator('#callMembers img').count(), 0);
    assert.equal(await p.evaluate(() => window.__p), undefined);
    assert.equal(await p.isVisible('#callDot'), true);
  }

  await luis.click('#callMute');
  for (const p of [ana, carlaP]) await listShows(p, TECH_NAME, (m) => m.state === 'Conectado', 'Luis unmuted');
  // Each page receives every other member's voice: packets, a level, and the pitch of
  // the member at the other end, so no two links carry the same voice.
  for (const [p, others] of [[ana, ['luis', 'carla']], [luis, ['ana', 'carla']], [carlaP, ['ana', 'luis']]]) {
    await waitFor(async () => (await callLinks(p)).every((l) => l.level > 0), { what: 'a level on every link' });
    const heard = (await heardPitches(p, 1800)).sort((x, y) => x - y);
    const want = others.map((o) => PITCH[o]).sort((x, y) => x - y);
    assert.equal(heard.length, 2);
    heard.forEach((hz, i) => assert.ok(Math.abs(hz - want[i]) < 25, `heard ${heard} where ${want} speak`));
  }
  assert.deepEqual(pageErrors(), []);
});

test('speaking is highlighted everywhere; mute clears it; deafen and volume stay local', async () => {
  const carlaP = carlaPage.page;
  // Carla's voice comes and goes; her entry on the others' lists follows it.
  for (const p of [ana, luis]) {
    await listShows(p, CARLA, (m) => m.talk, 'Carla speaking');
    await listShows(p, CARLA, (m) => !m.talk, 'Carla silent');
  }
  await listShows(carlaP, HOST_NAME, (m) => m.talk, 'Ana speaking');
  await ana.waitForSelector('#callMe.talk');

  await ana.click('#callMute');
  assert.equal(await ana.textContent('#callMute'), '🎙 Silenciado');
  assert.equal(await ana.textContent('#callMe .mstate'), '🔇');
  assert.equal(await ana.evaluate(() => window.__mics.at(-1).stream.getAudioTracks()[0].enabled), false);
  for (const p of [luis, carlaP]) await listShows(p, HOST_NAME, (m) => m.state === '🔇 Conectado' && !m.talk, 'Ana muted');
  await ana.waitForSelector('#callMe:not(.talk)');
  await ana.waitForFunction(() => document.getElementById('callMeter').style.width === '0%');

  // Deafened while muted, so the meter has nothing to say either: not one frame goes out.
  const sentBefore = await ana.evaluate(() => window.__callSent.length);
  await ana.click('#callDeaf');
  assert.equal(await ana.textContent('#callDeaf'), '🔇 Sin oír');
  const played = () => ana.evaluate(() => [...window.__played].filter((e) => e.srcObject).map((e) => e.muted));
  assert.deepEqual(await played(), [true, true]);
  const packets = (await callLinks(ana)).map((l) => l.packets);
  await ana.waitForTimeout(1000);
  assert.deepEqual((await sentSince(ana, sentBefore)).filter((f) => f.t !== 'ping'), []);
  // The voices still arrive; only this page stops playing them.
  (await callLinks(ana)).forEach((l, i) => assert.ok(l.packets > packets[i]));
  for (const p of [luis, carlaP]) assert.equal(entry(await memberList(p), HOST_NAME).state, '🔇 Conectado');
  await ana.click('#callDeaf');
  assert.deepEqual(await played(), [false, false]);
  assert.equal(await ana.textContent('#callDeaf'), '🔊 Oyendo');

  await ana.click('#callMute');
  for (const p of [luis, carlaP]) await listShows(p, HOST_NAME, (m) => m.state === 'Conectado', 'Ana unmuted');
  await listShows(carlaP, HOST_NAME, (m) => m.talk, 'Ana speaking again');

  // Frames no server should send change nothing: not JSON, not an object, a state for
  // nobody in the room.
  const shown = await memberList(carlaP);
  await carlaP.evaluate(() => {
    for (const data of ['{', 'null', '[1]', '"state"', '{"t":"state","id":"nadie","talk":true,"muted":true}']) {
      window.__callWs.dispatchEvent(new MessageEvent('message', { data }));
    }
  });
  assert.deepEqual((await memberList(carlaP)).map((m) => [m.name, m.state]), shown.map((m) => [m.name, m.state]));

  // One member's slider sets that member's volume only.
  await carlaP.locator('#callMembers li', { hasText: 'PC de Ana' }).locator('input[type=range]').fill('30');
  const volumes = await carlaP.evaluate(() => [...window.__played].filter((e) => e.srcObject).map((e) => e.volume).sort());
  assert.deepEqual(volumes, [0.3, 1]);
  assert.deepEqual(pageErrors(), []);
});

test('the host removes a member; a host who leaves hands over; a closed window leaves', async () => {
  let carlaP = carlaPage.page;
  const code = (await ana.textContent('#callCodeShown')).trim();
  await ana.locator('#callMembers li', { hasText: CARLA }).locator('[data-kick]').click();
  await waitToast(carlaP, 'El anfitrión te sacó de la llamada.');
  assert.equal(await inRoom(carlaP), false);
  assert.equal(await carlaP.isVisible('#callDot'), false);
  await waitFor(async () => (await hostCallFlag(carlaP)) === false, { what: "Carla's host to forget the call" });
  for (const p of [ana, luis]) {
    await p.waitForFunction(() => document.getElementById('callPeople').textContent === '2 en la llamada');
    await meshed(p, 1);
  }

  await joinCall(carlaP, code);
  await Promise.all([ana, luis, carlaP].map((p) => meshed(p, 2)));
  await ana.click('#callLeave');
  await ana.waitForSelector('#callSetup:not([hidden])');
  await waitFor(async () => (await hostCallFlag(ana)) === false, { what: "Ana's host to forget the call" });
  // Luis came first after Ana: he is the host now, and only he can remove.
  await luis.waitForFunction(() => document.getElementById('callMe').textContent.includes('anfitrión'));
  assert.deepEqual((await memberList(luis)).map((m) => [m.label, m.kick]), [[`${TECH_NAME} (tú) · anfitrión`, false], [CARLA, true]]);
  await listShows(carlaP, TECH_NAME, (m) => m.label === `${TECH_NAME} · anfitrión`, 'Luis as host');
  assert.deepEqual((await memberList(carlaP)).map((m) => m.kick), [false, false]);

  // Carla closes her window in the call: Luis sees her go, her host forgets the call.
  await carlaPage.context.close();
  await luis.waitForFunction(() => document.getElementById('callPeople').textContent === '1 en la llamada');
  carlaPage = await openMemberPage(carla.browser, carla.app);
  carlaP = carlaPage.page;
  assert.equal(await hostCallFlag(carlaP), false);
  await leave(luis);
  assert.deepEqual(pageErrors(), []);
});

test('no call: a mistyped code, a code nobody opened, no server, no microphone or a failing one', async () => {
  const sockets = () => ana.evaluate(() => window.__callSockets);
  const opened = await sockets();
  await joinCall(ana, 'ABCDE');
  await waitToast(ana, 'El código tiene 6 letras o números.');
  assert.equal(await sockets(), opened);

  await joinCall(ana, 'ZZZZ22');
  await waitToast(ana, 'No existe una llamada con ese código.');
  await ana.waitForSelector('#callSetup:not([hidden])');
  assert.equal(await ana.isVisible('#callDot'), false);
  await waitFor(async () => (await hostCallFlag(ana)) === false, { what: 'the flag off after the refusal' });

  // The signalling server out of reach: the socket fails before the room answers.
  await ana.evaluate(() => {
    window.__ws = window.WebSocket;
    window.WebSocket = class extends window.__ws {
      constructor(url, ...rest) { super(String(url).replace(/\/\/[^/]+\//, '//127.0.0.1:9/'), ...rest); }
    };
  });
  await ana.click('#callCreateBtn');
  await waitToast(ana, 'No se pudo conectar con el servidor de Vantriel. Revisa tu internet.');
  await ana.waitForSelector('#callSetup:not([hidden])');
  await waitFor(async () => (await hostCallFlag(ana)) === false, { what: 'the flag off after the failure' });
  await ana.evaluate(() => { window.WebSocket = window.__ws; });

  const failMic = (name, message) => ana.evaluate(([n, m]) => {
    window.__gum ||= navigator.mediaDevices.getUserMedia;
    navigator.mediaDevices.getUserMedia = () => Promise.reject(new DOMException(m, n));
  }, [name, message]);
  for (const [name, message, toast] of [
    ['NotFoundError', 'Requested device not found', 'Vantriel no tiene permiso para usar el micrófono (o no hay ninguno conectado).'],
    ['NotAllowedError', 'Permission denied', 'Vantriel no tiene permiso para usar el micrófono (o no hay ninguno conectado).'],
    ['NotReadableError', 'Could not start audio source', 'No se pudo usar el micrófono: Could not start audio source'],
  ]) {
    await failMic(name, message);
    await ana.evaluate(() => { document.getElementById('toast').textContent = ''; });
    await ana.click('#callCreateBtn');
    await waitToast(ana, toast);
    assert.equal(await inRoom(ana), false, name);
  }
  assert.equal(await sockets(), opened + 2, 'only the code nobody opened and the failed socket were tried');
  assert.equal(await hostCallFlag(ana), false);
  await ana.evaluate(() => { navigator.mediaDevices.getUserMedia = window.__gum; });

  // In the room, the socket goes (a server restart, the network): the page goes back into
  // the room, saying so meanwhile. With Luis in it the call goes on; the server had taken
  // her socket's end for her leaving, so she comes back as someone new and the link to
  // Luis is made again.
  await joinCall(luis, await createCall(ana));
  await Promise.all([meshed(ana, 1), meshed(luis, 1)]);
  await ana.evaluate(() => window.__callWs.close());
  await ana.waitForSelector('#callReconnecting');
  await ana.waitForSelector('#callReconnecting', { state: 'detached', timeout: 15000 });
  await Promise.all([meshed(ana, 1), meshed(luis, 1)]);
  assert.equal(await inRoom(ana), true);
  await leave(ana);
  await leave(luis);
  // Here the room ended with the socket (Ana was alone in it), which the page says too,
  // after one try.
  await createCall(ana);
  await ana.waitForFunction(() => document.getElementById('callMe').textContent.includes('anfitrión'));
  const [sent, open] = await ana.evaluate(() => [window.__callSent.length, window.__callSockets]);
  await ana.evaluate(() => window.__callWs.close());
  await ana.waitForSelector('#callReconnecting');
  await waitToast(ana, 'No se pudo volver a la llamada: terminó o ya no está disponible.');
  await ana.waitForSelector('#callSetup:not([hidden])');
  assert.equal(await sockets(), open + 1);
  const rejoin = (await sentSince(ana, sent)).filter((f) => f.t === 'join');
  assert.equal(rejoin.length, 1);
  assert.equal(rejoin[0].create, false);
  assert.match(rejoin[0].secret, /^[0-9a-f]{32}$/);
  await waitFor(async () => (await hostCallFlag(ana)) === false, { what: 'the flag off after the drop' });
});

// What one side's voice transceiver in a support session receives: packets and level.
const voiceIn = (page) => page.evaluate(async () => {
  const pc = window.__pcs.find((p) => p.connectionState !== 'closed' && p.getTransceivers().length === 3);
  const tr = pc.getTransceivers()[2];
  let packets = 0;
  let level = 0;
  (await tr.receiver.getStats()).forEach((s) => {
    if (s.type === 'inbound-rtp') { packets = s.packetsReceived; level = s.audioLevel || 0; }
  });
  return { packets, level, playing: !document.getElementById('voiceAudio').paused };
});
const hearing = (page) => waitFor(async () => {
  const v = await voiceIn(page);
  return v.packets > 0 && v.level > 0 && v.playing && v;
}, { timeout: 15000, interval: 200, what: 'voice arriving and playing' });

test('the voice line inside a session, asked for from either side', async () => {
  await ana.waitForFunction(() => document.getElementById('hostStatus').classList.contains('ok'), null, { timeout: 15000 });
  await ana.click('#tab-conectar').catch(() => {});
  await luis.click('#tab-conectar').catch(() => {});
  await luis.fill('#peerId', HOST_ID);
  await luis.fill('#peerKey', (await ana.textContent('#myKey')).trim());
  await luis.click('#connectBtn');
  await ana.waitForSelector('#reqDlg:not([hidden])');
  // Ana asks for voice when she accepts: Luis is told, and answers with 📞.
  await ana.setChecked('#reqCall', true);
  await ana.waitForSelector('#reqAccept:not([disabled])');
  await ana.click('#reqAccept');
  await waitToast(luis, `${HOST_NAME} activó su micrófono: presiona 📞 para contestar.`, 20000);
  assert.equal(await ana.textContent('#hbCall'), '📞 Llamada: sí');
  assert.equal(await luis.textContent('#vCall'), '📞 Llamada');
  await luis.click('#vCall');
  await luis.waitForFunction(() => document.getElementById('vCall').textContent === '📞 Llamada: sí');

  await Promise.all([hearing(ana), hearing(luis)]);

  await ana.click('#hbCall');
  await luis.click('#vCall');
  await ana.waitForFunction(() => document.getElementById('hbCall').textContent === '📞 Llamada');
  await luis.waitForFunction(() => document.getElementById('vCall').textContent === '📞 Llamada');
  // Without a microphone in the line nothing more is sent.
  const quiet = await voiceIn(ana);
  await ana.waitForTimeout(600);
  assert.ok((await voiceIn(ana)).packets - quiet.packets < 5);

  // The other way round: Luis turns his voice on first.
  await luis.click('#vCall');
  await waitToast(ana, `${TECH_NAME} activó su micrófono: presiona 📞 para contestar.`);
  await ana.click('#hbCall');
  await ana.waitForFunction(() => document.getElementById('hbCall').textContent === '📞 Llamada: sí');
  await Promise.all([hearing(ana), hearing(luis)]);

  await ana.click('#hbEnd');
  await luis.waitForSelector('#viewer', { state: 'hidden', timeout: 20000 });
  // The session's end closes both microphones.
  for (const p of [ana, luis]) {
    assert.deepEqual(await p.evaluate(() => window.__mics.map((m) => m.stream.getAudioTracks()[0].readyState)
      .filter((s) => s === 'live')), []);
  }
  assert.deepEqual(pageErrors(), []);
});

// --- the technician's page in a plain browser tab ---------------------------------------

const WEB_NAME = 'Luis en la web';
let web; // { context, page, errors }: Luis's browser on the signalling server's page

test('the technician\'s page in a plain browser tab: the voice line of a session, heard both ways', async () => {
  web = await openWebPage(pcs.tech.browser, pcs.signalUrl + '/', { scripts: [instrumentCalls] });
  const page = web.page;
  await page.click('#tab-ajustes');
  await page.fill('#sName', WEB_NAME);
  await page.click('#sSave');
  await waitToast(page, 'Ajustes guardados');
  await ana.waitForFunction(() => document.getElementById('hostStatus').classList.contains('ok'), null, { timeout: 15000 });
  const asked = await webAsks(page, ana, HOST_ID, (await ana.textContent('#myKey')).trim(), { control: false });
  assert.deepEqual(asked, { who: `${WEB_NAME} quiere ver tu pantalla`, web: true });
  await ana.setChecked('#reqCall', true);
  await ana.waitForSelector('#reqAccept:not([disabled])');
  await ana.click('#reqAccept');
  await webSees(page);
  await waitToast(page, `${HOST_NAME} activó su micrófono: presiona 📞 para contestar.`, 20000);
  await page.click('#vCall');
  await Promise.all([hearing(ana), hearing(page)]);
  await page.click('#vEnd');
  await ana.waitForSelector('#hostbar', { state: 'hidden', timeout: 20000 });
  assert.deepEqual([...pageErrors(), ...web.errors], []);
});

test('a room with one member in the server\'s page and two in the program: everyone hears everyone', async () => {
  const carlaP = carlaPage.page;
  const page = web.page;
  for (const p of [ana, luis, carlaP]) {
    await p.click('#tab-llamada');
    await leave(p);
  }
  const code = await createCall(ana);
  await joinCall(page, code);
  await joinCall(carlaP, code);
  await Promise.all([ana, page, carlaP].map((p) => meshed(p, 2)));
  for (const [p, others] of [[ana, ['luis', 'carla']], [page, ['ana', 'carla']], [carlaP, ['ana', 'luis']]]) {
    await waitFor(async () => (await callLinks(p)).every((l) => l.level > 0), { what: 'a level on every link' });
    const heard = (await heardPitches(p, 1800)).sort((x, y) => x - y);
    const want = others.map((o) => PITCH[o]).sort((x, y) => x - y);
    assert.equal(heard.length, 2);
    heard.forEach((hz, i) => assert.ok(Math.abs(hz - want[i]) < 25, `heard ${heard} where ${want} speak`));
  }
  assert.ok((await memberList(ana)).some((m) => m.name === WEB_NAME));
  for (const p of [page, carlaP, ana]) await leave(p);
  assert.deepEqual(await page.evaluate(() => window.__csp), [], 'no Content-Security-Policy violation');
  await web.context.close();
  assert.deepEqual([...pageErrors(), ...web.errors], []);
});

test('the settings card: microphone list, its test, and the call using the chosen microphone', async () => {
  // A window that never had the microphone: the browser hides the names, and the list holds
  // the default only until the test gets the permission; then the names show at once. The
  // fake permission prompt here grants names from the start, so the page is shown what a
  // person's browser lists before the first permission: one entry with no id and no name.
  const fresh = await openMemberPage(carla.browser, carla.app);
  try {
    const p = fresh.page;
    await p.evaluate(() => {
      const md = navigator.mediaDevices;
      const list = md.enumerateDevices.bind(md);
      const open = md.getUserMedia.bind(md);
      let allowed = false;
      md.enumerateDevices = async () => (allowed ? list() : [{ kind: 'audioinput', deviceId: '', label: '', groupId: '' }]);
      md.getUserMedia = async (c) => { const stream = await open(c); allowed = true; return stream; };
    });
    await p.click('#tab-ajustes');
    await p.waitForSelector('#sMicTest');
    const shown = () => p.$$eval('#sMic option', (os) => os.map((o) => [o.value, o.textContent]));
    await p.evaluate(() => navigator.mediaDevices.enumerateDevices()); // after the page's own listing
    assert.deepEqual(await shown(), [['', 'Predeterminado de Windows']]);
    await p.click('#sMicTest');
    await p.waitForSelector('#sMicTest[aria-pressed="true"]');
    await waitFor(async () => (await shown()).length > 1, { what: 'the names after the permission' });
    assert.ok((await shown()).slice(1).every(([v, l]) => v && l), JSON.stringify(await shown()));
    assert.equal(await p.getAttribute('#sMicTest', 'aria-pressed'), 'true', 'shown while the test still runs');
    await p.click('#sMicTest');
    assert.deepEqual(fresh.errors, []);
  } finally {
    await fresh.context.close();
  }
  const page = carlaPage.page;
  await page.click('#tab-ajustes');
  await page.waitForSelector('#sMicTest');
  const options = () => page.$$eval('#sMic option', (os) => os.map((o) => [o.value, o.textContent]));
  await waitFor(async () => (await options()).length > 1, { what: 'the microphones listed' });
  const list = await options();
  assert.deepEqual(list[0], ['', 'Predeterminado de Windows']);
  assert.ok(list.slice(1).every(([v, l]) => v && v !== 'default' && v !== 'communications' && l), JSON.stringify(list));

  // A double press opens one microphone; stopping the test leaves none open.
  const opened = await page.evaluate(() => window.__mics.length);
  const live = () => page.evaluate((n) => window.__mics.slice(n)
    .filter((m) => m.stream.getAudioTracks()[0].readyState === 'live').length, opened);
  await page.dblclick('#sMicTest');
  // The second press is ignored while the microphone opens; one that comes after it
  // opened (a busy machine) stops the test, as any press does. Either way one opened.
  await page.waitForFunction((n) => document.getElementById('sMicTest').getAttribute('aria-pressed') === 'true' ||
    window.__mics.slice(n).some((m) => m.stream.getAudioTracks()[0].readyState === 'ended'), opened);
  assert.equal(await page.evaluate((n) => window.__mics.length - n, opened), 1, 'a double press opens one microphone');
  if (await page.getAttribute('#sMicTest', 'aria-pressed') !== 'true') await page.click('#sMicTest');
  await page.waitForSelector('#sMicTest[aria-pressed="true"]');
  await page.waitForFunction(() => parseFloat(document.getElementById('sMicMeter').style.width) > 0);
  await page.click('#sMicTest');
  await page.waitForSelector('#sMicTest[aria-pressed="false"]');
  assert.equal(await live(), 0);
  // Left alone, the test stops after 15 s.
  await page.clock.install();
  await page.click('#sMicTest');
  await page.waitForSelector('#sMicTest[aria-pressed="true"]');
  await page.clock.fastForward(15100);
  await page.waitForSelector('#sMicTest[aria-pressed="false"]');
  assert.equal(await live(), 0);

  // A call asks for the chosen microphone, as a preference, without processing. (With
  // the fake permission prompt Chromium opens its default device whatever is preferred,
  // so only the request and the processing can be checked here.)
  const [device] = list.at(-1);
  await page.selectOption('#sMic', device);
  await page.click('label:has(#sProc)');
  await page.click('#sSave');
  await waitToast(page, 'Ajustes guardados');
  await page.waitForFunction((d) => document.getElementById('sMic').value === d, device);
  await createCall(page);
  const asked = await page.evaluate(() => {
    const { constraints, stream } = window.__mics.at(-1);
    const s = stream.getAudioTracks()[0].getSettings();
    return { constraints, processing: [s.echoCancellation, s.noiseSuppression, s.autoGainControl] };
  });
  assert.deepEqual(asked.constraints, { audio: {
    echoCancellation: false, noiseSuppression: false, autoGainControl: false, channelCount: 1, deviceId: { ideal: device } } });
  assert.deepEqual(asked.processing, [false, false, false]);
  await leave(page);
  assert.deepEqual(pageErrors(), []);
});

test('eight members, each connected to the seven others; a ninth finds the room full', async () => {
  const extra = [];
  try {
    // The three PCs' microphones without processing, as the settings card allows: eight
    // voices through the browser's processing are more than two cores can keep in time.
    for (const p of [ana, luis, carlaPage.page]) {
      await pagePost(p, '/api/ajustes', { llamada: { procesar_voz: 'no' } });
      await p.reload();
      await p.waitForSelector('html[data-ready="1"]');
    }
    // More pages in the two headless browsers (a window each in the host PC's would only
    // cost drawing); names repeat.
    for (const [browser, app] of [[pcs.tech.browser, pcs.tech.app], [pcs.tech.browser, pcs.tech.app],
      [pcs.tech.browser, pcs.tech.app], [carla.browser, carla.app], [carla.browser, carla.app], [carla.browser, carla.app]]) {
      extra.push(await openMemberPage(browser, app));
    }
    const ninth = extra.pop().page;
    const pages = [ana, luis, carlaPage.page, ...extra.map((e) => e.page)];
    await Promise.all(pages.map(withoutPlayback));
    const code = await createCall(ana);
    await Promise.all(pages.slice(1).map((p) => joinCall(p, code)));
    await Promise.all(pages.map((p, i) => meshFormed(p, 7, 180000).catch((e) => { throw new Error(`member ${i + 1}: ${e.message}`); })));
    for (const p of pages) {
      assert.equal(await p.textContent('#callPeople'), '8 en la llamada');
      assert.equal((await memberList(p)).length, 8);
    }
    await joinCall(ninth, code);
    await waitToast(ninth, 'La llamada está llena (máximo 8).');
    assert.equal(await inRoom(ninth), false);
    assert.equal((await memberList(ana)).length, 8);
    for (const p of pages) await leave(p);
    assert.deepEqual(pageErrors(...extra.flatMap((e) => e.errors)), []);
  } finally {
    for (const e of extra) await e.context.close().catch(() => {});
  }
});
