// axe-core over every tab and the open dialogs, keyboard reach with visible focus, and
// the README screenshots (main tab in both languages, help tab).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { createRequire } from 'node:module';
import { withHostAndBrowser } from '../lib/host.mjs';
import { ROOT } from '../lib/page_scripts.mjs';

const require = createRequire(import.meta.url);
const AXE = require.resolve('axe-core/axe.min.js');

// Screenshots go to docs/screenshots when asked for, else beside the test run.
const SHOTS = process.env.VANTRIEL_UPDATE_SCREENSHOTS === '1'
  ? path.join(ROOT, 'docs/screenshots')
  : path.join(process.env.VANTRIEL_ARTIFACTS || path.join(ROOT, 'tests/e2e/artifacts'), 'screenshots');

let host;
let browser;
// The manual is the one built beside the host: the help tab is checked with the real text.
withHostAndBrowser((h, b) => {
  host = h;
  browser = b;
}, {
  env: { VTR_ID: '482915736' },
  files: {
    'recientes.json': JSON.stringify([
      { id: '731204558', nombre: 'Laptop de mamá', fecha: '2026-12-06 18:12:40' },
      { id: '905118237', nombre: 'Oficina · Recepción', fecha: '2026-12-03 09:41:02' },
    ], null, 2),
    'sesiones.jsonl': [
      { fecha: '2026-12-03 10:02:11', rol: 'di', con: 'Oficina · Recepción', id: '905118237', segundos: 1312.0, control: false },
      { fecha: '2026-12-06 18:40:05', rol: 'recibi', con: 'Carlos (técnico)', id: '', segundos: 754.0, control: true },
    ].map((s) => JSON.stringify(s)).join('\n') + '\n',
  },
});

// A page whose signalling server is a stand-in that accepts the registration.
// `status` replaces members of the host's status.
async function openRegistered({ update = null, status = null } = {}) {
  const context = await browser.newContext({ viewport: { width: 1280, height: 860 } });
  const page = await context.newPage();
  const hellos = [];
  const server = {};
  if (update || status) {
    await page.route('**/api/estado', async (route) => {
      const r = await route.fetch();
      route.fulfill({ response: r, json: { ...(await r.json()), ...(update ? { actualizacion: update } : {}), ...status } });
    });
  }
  await page.routeWebSocket(host.deadServer.replace(/^http/, 'ws') + '/host/**', (ws) => {
    server.ws = ws;
    ws.onMessage((m) => {
      const msg = JSON.parse(m);
      if (msg.t === 'hello') {
        hellos.push(msg);
        ws.send(JSON.stringify({ t: 'ready' }));
      }
    });
  });
  await page.goto(host.url + '/');
  await page.waitForSelector('html[data-ready="1"]');
  await page.waitForFunction(() => document.getElementById('hostStatus').classList.contains('ok'));
  return { page, context, hellos, server };
}

async function axe(page, what) {
  if (!(await page.evaluate(() => typeof window.axe === 'object'))) await page.addScriptTag({ path: AXE });
  const res = await page.evaluate(async () => (await window.axe.run(document, { resultTypes: ['violations'] })).violations
    .map((v) => ({ id: v.id, impact: v.impact, nodes: v.nodes.map((n) => n.target.join(' ')).slice(0, 5) })));
  const bad = res.filter((v) => v.impact === 'serious' || v.impact === 'critical');
  assert.deepEqual(bad, [], `${what}: ${JSON.stringify(bad, null, 1)}`);
}

test('registration goes online through the server stand-in', async () => {
  const { page, hellos } = await openRegistered();
  assert.equal(hellos.length, 1);
  assert.equal(hellos[0].ver, '0.1.1');
  assert.equal(typeof hellos[0].key, 'string');
  assert.equal(await page.textContent('#hostStatus'), 'Disponible · esperando a quien te ayude');
  assert.equal(await page.textContent('#pillSrv'), 'Servidor');
});

test('no serious or critical axe violation on any tab or open dialog, in both languages', async () => {
  let { page, context, server } = await openRegistered();
  for (const lang of ['es', 'en']) {
    if (lang === 'en') {
      await page.click('#langBtn');
      await page.waitForFunction(() => document.documentElement.lang === 'en');
    }
    await page.click('#tab-conectar');
    await axe(page, `connect (${lang})`);
    await page.click('#tab-llamada');
    await axe(page, `call (${lang})`);
    await page.click('#tab-ajustes');
    await page.waitForSelector('#sSave');
    await axe(page, `settings (${lang})`);
    await page.click('#tab-ayuda');
    await page.waitForSelector('#mToc ol');
    await axe(page, `help (${lang})`);
  }
  await page.click('#langBtn');
  await page.waitForFunction(() => document.documentElement.lang === 'es');

  await page.click('#quitBtn');
  await page.waitForSelector('#modal:not([hidden])');
  await axe(page, 'confirm dialog');
  await page.keyboard.press('Escape');

  // A real request with the right key opens the dialog.
  const key = await page.textContent('#myKey');
  server.ws.send(JSON.stringify({ t: 'req', sid: 'r1', name: 'Carlos', pass: key, iceServers: [] }));
  await page.waitForSelector('#reqDlg:not([hidden])');
  await axe(page, 'request dialog');
  await page.click('#reqReject');
  await page.waitForSelector('#reqDlg', { state: 'hidden' });
  await context.close();

  // On a desktop that input cannot reach (a Wayland session), control is not offered and
  // the dialog says why, in the page's language.
  ({ page, context, server } = await openRegistered({ status: { control_posible: false,
    control_motivo: 'Este escritorio Wayland no deja que otros programas muevan el ratón ni escriban: no ofrece el portal de escritorio remoto (GNOME, KDE) ni la entrada virtual de wlroots (sway).' } }));
  await page.click('#langBtn');
  await page.waitForFunction(() => document.documentElement.lang === 'en');
  server.ws.send(JSON.stringify({ t: 'req', sid: 'r2', name: 'Carlos', pass: await page.textContent('#myKey'), iceServers: [] }));
  await page.waitForSelector('#reqDlg:not([hidden])');
  assert.equal(await page.isChecked('#reqCtl'), false);
  assert.equal(await page.isDisabled('#reqCtl'), true);
  assert.equal(await page.textContent('#reqCtlNote'),
    "This Wayland desktop doesn't let other programs move the mouse or type: it offers neither the remote desktop portal (GNOME, KDE) nor wlroots virtual input (sway).");
  // Off Windows, the browser or the desktop asks what to share.
  assert.equal(await page.textContent('#reqTip'), "When you accept, you'll be asked what to share: choose your screen (on GNOME and KDE your desktop asks in a window of its own) and, if offered, turn on “Share system audio”.");
  await axe(page, 'request dialog without control');
  await page.click('#reqReject');
  await page.click('#langBtn');
  await page.waitForFunction(() => document.documentElement.lang === 'es');
  await context.close();

  ({ page } = await openRegistered({
    update: {
      current: '0.1.1', phase: 'available', available: true, can_install: true, dismissed: null, msg: '',
      latest: { version: '0.2.0', changes: [{ version: '0.2.0', date: '2026-12-01', md: '- **Nuevo**' }] },
    },
  }));
  await page.waitForSelector('#updBar:not([hidden])');
  await axe(page, 'update bar and panel');
  await page.click('#updBar button:text("Ver novedades")');
  await axe(page, 'news dialog');
  await page.keyboard.press('Escape');
  // The overlay as it shows while the host installs and restarts.
  await page.evaluate(() => { document.getElementById('upover').hidden = false; });
  await axe(page, 'updating overlay');
});

test('every control of the connect tab is reached by Tab and shows its focus', async () => {
  const { page } = await openRegistered();
  await page.click('#tab-conectar');
  // Tabs are one stop (the selected one); arrow keys move between them.
  const want = await page.$$eval('header button:not([tabindex="-1"]), header [tabindex="0"], #pane-conectar button, #pane-conectar input',
    (els) => els.filter((e) => e.offsetParent !== null || e.closest('.switch')).map((e) => e.id || e.className || e.textContent));
  const seen = new Map();
  await page.evaluate(() => document.activeElement.blur());
  for (let i = 0; i < 60; i++) {
    await page.keyboard.press('Tab');
    const f = await page.evaluate(() => {
      const el = document.activeElement;
      // A switch draws its focus ring on its track.
      const ring = el.closest('.switch') ? el.parentElement.querySelector('.track') : el;
      const cs = getComputedStyle(ring);
      return { key: el.id || el.className || el.textContent, visible: cs.outlineStyle !== 'none' && parseFloat(cs.outlineWidth) >= 2 };
    });
    if (seen.has(f.key)) continue;
    seen.set(f.key, f.visible);
  }
  for (const k of want) {
    assert.ok(seen.has(k), `${k} is reached by Tab`);
    assert.equal(seen.get(k), true, `${k} shows its focus`);
  }
  // The toast and the request dialog are announced.
  assert.equal(await page.getAttribute('#toast', 'role'), 'status');
  assert.equal(await page.getAttribute('#reqDlg .box', 'role'), 'alertdialog');
});

test('screenshots of the main tab in both languages and of the help tab', async () => {
  fs.mkdirSync(SHOTS, { recursive: true });
  const { page } = await openRegistered();
  await page.evaluate(() => document.fonts.ready);
  await page.screenshot({ path: path.join(SHOTS, 'main-es.png') });
  await page.click('#langBtn');
  await page.waitForFunction(() => document.documentElement.lang === 'en');
  await page.evaluate(() => document.activeElement.blur());
  await page.screenshot({ path: path.join(SHOTS, 'main-en.png') });
  await page.click('#langBtn');
  await page.waitForFunction(() => document.documentElement.lang === 'es');
  await page.click('#tab-ayuda');
  await page.waitForSelector('#mToc ol');
  await page.evaluate(() => document.activeElement.blur());
  await page.screenshot({ path: path.join(SHOTS, 'help-es.png') });
  for (const f of ['main-es.png', 'main-en.png', 'help-es.png']) assert.ok(fs.statSync(path.join(SHOTS, f)).size > 10000);
});
