// The update bar, panel and overlay, fed by a stand-in for /api/update (and for the
// update member of /api/estado), driven through every state the updater reports.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { recordToasts, waitToast, withHostAndBrowser } from '../lib/host.mjs';

let host;
let browser;
withHostAndBrowser((h, b) => {
  host = h;
  browser = b;
});

const release = (version, md = '- Mejoras') => ({ version, changes: [{ version, date: '2026-12-01', md }] });
const state = (over = {}) => ({
  current: '0.1.1', phase: 'idle', pct: 0, msg: '', auto: true, last_check: 0, available: false,
  latest: null, dismissed: null, can_install: false, busy: [], waiting: false, result: null,
  page: 'https://vantriel.app/descargar', ...over,
});

// The stand-in updater: `now` is what GET answers; `down` makes it fail like a host
// being replaced; posted actions are recorded and answered by `onPost`.
async function standIn(page, initial) {
  const u = { now: initial, down: false, posts: [], gets: 0, failed: 0, onPost: null };
  await page.route('**/api/update', async (route) => {
    const req = route.request();
    if (req.method() === 'POST') {
      const body = JSON.parse(req.postData() || '{}');
      u.posts.push(body);
      const reply = u.onPost ? u.onPost(body) : u.now;
      return route.fulfill({ contentType: 'application/json', body: JSON.stringify(reply) });
    }
    u.gets++;
    if (u.down) {
      u.failed++;
      return route.abort('connectionrefused');
    }
    return route.fulfill({ contentType: 'application/json', body: JSON.stringify(u.now) });
  });
  await page.route('**/api/estado', async (route) => {
    const res = await route.fetch();
    const json = await res.json();
    json.actualizacion = u.now;
    await route.fulfill({ response: res, body: JSON.stringify(json) });
  });
  return u;
}

async function openWith(initial) {
  const context = await browser.newContext({ viewport: { width: 1280, height: 900 } });
  const page = await context.newPage();
  await recordToasts(page);
  const u = await standIn(page, initial);
  await page.goto(host.url + '/');
  await page.waitForSelector('html[data-ready="1"]');
  return { page, u };
}

const barText = (page) => page.evaluate(() => {
  const b = document.getElementById('updBar');
  return b.hidden ? null : b.querySelector('.btxt').textContent;
});
const barButtons = (page) => page.$$eval('#updBar button', (bs) => bs.map((b) => b.textContent));

test('no updater (null state): bar and panel stay quiet', async () => {
  const { page } = await openWith(null);
  assert.equal(await barText(page), null);
  await page.click('#tab-ayuda');
  assert.equal(await page.isHidden('#mUpd'), true);
});

test('an offer, put off, comes back only for a newer version', async () => {
  const { page, u } = await openWith(state({ phase: 'available', available: true, latest: release('0.2.0'), can_install: true, last_check: 1765170000 }));
  assert.equal(await barText(page), '🔄 Vantriel v0.2.0 está disponible (tienes la v0.1.1).');
  assert.deepEqual(await barButtons(page), ['Ver novedades', 'Actualizar ahora', 'Más tarde']);

  u.onPost = (b) => (u.now = { ...u.now, dismissed: b.action === 'dismiss' ? u.now.latest.version : u.now.dismissed });
  await page.click('#updBar button:text("Más tarde")');
  await page.waitForSelector('#updBar', { state: 'hidden' });
  assert.deepEqual(u.posts, [{ action: 'dismiss' }]);

  // A check finds a newer release: the bar shows again.
  await page.click('#tab-ayuda');
  assert.match(await page.textContent('#mUpd'), /Versión instalada v0\.1\.1 · Hay una versión nueva v0\.2\.0 · Última revisión: /);
  u.onPost = () => (u.now = { ...u.now, phase: 'checking', msg: 'Buscando actualizaciones…' });
  await page.click('#mUpd button:text("BUSCAR ACTUALIZACIONES")');
  await waitToast(page, 'Buscando…');
  assert.equal(await page.isDisabled('#mUpd button:text("BUSCANDO…")'), true);
  u.now = { ...u.now, phase: 'available', msg: 'Hay una versión nueva: v0.3.0', latest: release('0.3.0'), can_install: false };
  await page.waitForSelector('#updBar:not([hidden])');
  assert.equal(await barText(page), '🔄 Vantriel v0.3.0 está disponible (tienes la v0.1.1).');
  assert.deepEqual(await barButtons(page), ['Ver novedades', 'Descargar del sitio', 'Más tarde']);
  await waitToast(page, 'Hay una versión nueva: v0.3.0');
  assert.deepEqual(u.posts.at(-1), { action: 'check' });

  // The auto switch posts its value.
  u.onPost = (b) => (u.now = { ...u.now, auto: b.on });
  const count = u.posts.length;
  await page.click('#mUpd label.switch');
  for (let i = 0; i < 100 && u.posts.length === count; i++) await page.waitForTimeout(50);
  assert.deepEqual(u.posts.at(-1), { action: 'auto', on: false });
});

test('what is new: notes escaped, bold and bullets; Escape returns focus', async () => {
  const md = '**Nuevo**: chat\n- archivos <img src=x onerror="window.__pwned=1">';
  const { page } = await openWith(state({ phase: 'available', available: true, latest: release('0.2.0', md), can_install: true }));
  await page.click('#updBar button:text("Ver novedades")');
  await page.waitForSelector('#modal:not([hidden])');
  assert.equal(await page.textContent('#modalTitle'), 'Novedades');
  assert.equal(await page.innerHTML('#modalBody .news p:last-child'),
    '<b>Nuevo</b>: chat<br>• archivos &lt;img src=x onerror="window.__pwned=1"&gt;');
  assert.deepEqual(await page.$$eval('#modalBtns button', (bs) => bs.map((b) => b.textContent)), ['Cerrar', '⬇ ACTUALIZAR AHORA']);
  await page.keyboard.press('Escape');
  await page.waitForSelector('#modal', { state: 'hidden' });
  assert.equal(await page.evaluate(() => document.activeElement.textContent), 'Ver novedades');
  assert.equal(await page.evaluate(() => window.__pwned), undefined);
});

test('install refused shows the reason; accepted runs through progress, overlay and reload', async () => {
  const offer = state({ phase: 'available', available: true, latest: release('0.2.0'), can_install: true });
  const { page, u } = await openWith(offer);
  u.onPost = () => ({ ok: false, busy: true, msg: 'Primero termina la sesión de soporte (una actualización la cortaría).' });
  await page.click('#updBar button:text("Actualizar ahora")');
  await waitToast(page, 'Primero termina la sesión de soporte (una actualización la cortaría).');
  assert.equal(await barText(page), '🔄 Vantriel v0.2.0 está disponible (tienes la v0.1.1).');

  u.onPost = () => (u.now = { ...offer, phase: 'downloading', pct: 0, msg: 'Descargando…', waiting: true, ok: true });
  await page.click('#updBar button:text("Actualizar ahora")');
  await waitToast(page, 'Descargando la versión nueva…');
  u.now = { ...u.now, pct: 40 };
  await page.waitForSelector('#updBar .prog[aria-valuenow="40"]');
  assert.equal(await barText(page), '🔄 Actualizando Vantriel: Descargando…');

  u.now = { ...u.now, phase: 'installing', pct: 100, msg: 'Instalando: Vantriel se cerrará y volverá a abrir en unos segundos…' };
  await page.waitForSelector('#upover:not([hidden])');
  assert.equal(await page.textContent('#upTitle'), 'Actualizando Vantriel…');

  // The old process goes away: the overlay stays and polling goes on.
  u.down = true;
  const failedBefore = u.failed;
  for (let i = 0; i < 100 && u.failed < failedBefore + 2; i++) await page.waitForTimeout(100);
  assert.ok(u.failed >= failedBefore + 2, 'polls go on while the host is down');
  assert.equal(await page.isVisible('#upover'), true);

  // The new version answers: the page reloads and shows the result until it is seen.
  u.now = state({ current: '0.2.0', result: { version: '0.2.0', ok: true, error: null } });
  const reloaded = page.waitForEvent('load');
  u.down = false;
  await reloaded;
  await page.waitForSelector('html[data-ready="1"]');
  assert.equal(await page.isHidden('#upover'), true);
  assert.equal(await barText(page), '✔ Vantriel se actualizó a la v0.2.0. Tu ID y tus ajustes se conservaron.');
  u.onPost = () => (u.now = { ...u.now, result: null });
  await page.click('#updBar button:text("OK")');
  await page.waitForSelector('#updBar', { state: 'hidden' });
  assert.deepEqual(u.posts.at(-1), { action: 'seen' });
});

test('polls keep the focus, progress is said every tenth, and the overlay logo is loaded', async () => {
  const offer = state({ phase: 'available', available: true, latest: release('0.2.0'), can_install: true });
  const context = await browser.newContext({ viewport: { width: 1280, height: 900 } });
  const page = await context.newPage();
  await page.clock.install();
  const u = await standIn(page, offer);
  await page.goto(host.url + '/');
  await page.waitForSelector('html[data-ready="1"]');
  // Loaded with the page, not when the overlay first shows (the host may be gone by then).
  assert.equal(await page.evaluate(() => {
    const img = document.querySelector('#upover img');
    return img.complete && img.naturalWidth > 0;
  }), true);

  await page.focus('#updBar button[data-u="news"]');
  const polled = page.waitForRequest('**/api/estado');
  await page.clock.fastForward(31000);
  await polled;
  await page.waitForTimeout(200);
  assert.equal(await page.evaluate(() => document.activeElement.dataset.u), 'news');

  // The panel's check button, pressed from the keyboard, keeps the focus while checking.
  await page.click('#tab-ayuda');
  u.onPost = () => (u.now = { ...offer, phase: 'checking' });
  await page.focus('#mUpd button[data-u="check"]');
  await page.keyboard.press('Enter');
  await page.waitForSelector('#mUpd button[data-u="check"][aria-disabled="true"]');
  assert.equal(await page.evaluate(() => document.activeElement.dataset.u), 'check');

  // A download from 0 to 35 % in steps of 5: the live region speaks at 0, 10, 20 and 30.
  await page.evaluate(() => {
    window.__said = [];
    new MutationObserver(() => window.__said.push(document.getElementById('updLive').textContent))
      .observe(document.getElementById('updLive'), { childList: true, characterData: true, subtree: true });
  });
  for (let pct = 0; pct <= 35; pct += 5) {
    u.now = { ...offer, phase: 'downloading', pct, msg: 'Descargando…' };
    await page.clock.fastForward(1100);
    await page.waitForSelector(`#updBar .prog[aria-valuenow="${pct}"]`);
  }
  const said = await page.evaluate(() => window.__said);
  assert.deepEqual(said.map((s) => s.match(/(\d+) %$/)[1]), ['0', '10', '20', '30']);
  assert.equal(await page.getAttribute('#updBar', 'aria-live'), null, 'the bar itself is not re-read');
  await context.close();
});

test('a failed installation wins over an offer and shows its error as text', async () => {
  const { page } = await openWith(state({
    phase: 'available', available: true, latest: release('0.2.0'), can_install: true,
    result: { version: '0.2.0', ok: false, error: '<b>sin espacio</b>' },
  }));
  assert.equal(await barText(page), '✖ La actualización no se pudo instalar: se regresó todo como estaba. <b>sin espacio</b>');
  assert.deepEqual(await barButtons(page), ['OK']);
  await page.click('#langBtn');
  await page.waitForFunction(() => document.documentElement.lang === 'en');
  assert.equal(await barText(page), "✖ The update couldn't be installed: everything was put back. <b>sin espacio</b>");
  await page.click('#langBtn');
});
