// Recent connections and session history drawn from the host's own files; names that
// hold HTML stay text.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { openPage, withHostAndBrowser } from '../lib/host.mjs';

const EVIL = '<img src=x onerror="window.__pwned=1"><b>Juan</b>';
const recents = [
  { id: '987654321', nombre: EVIL, fecha: '2026-12-01 10:20:30' },
  { id: '555666777', nombre: 'Taller Pérez', fecha: '2026-11-28 09:00:00' },
];
const sessions = [
  { fecha: '2026-11-20 08:00:00', rol: 'di', con: 'Taller Pérez', id: '555666777', segundos: 4000.0, control: false },
  'esta línea está rota',
  { fecha: '2026-12-01 10:40:00', rol: 'recibi', con: EVIL, id: '', segundos: 125.0, control: true },
  { fecha: '2026-12-02 11:00:00', rol: 'recibi', con: 'Ana', id: '', segundos: 59.0, control: false },
];

let host;
let browser;
withHostAndBrowser((h, b) => {
  host = h;
  browser = b;
}, {
  files: {
    'recientes.json': JSON.stringify(recents, null, 2),
    'sesiones.jsonl': sessions.map((s) => (typeof s === 'string' ? s : JSON.stringify(s))).join('\n') + '\n',
  },
});

test('recents show grouped IDs, names as text and dates to the minute', async () => {
  const { page, errors } = await openPage(browser, host);
  const rows = await page.$$eval('#recents .rsel', (els) =>
    els.map((e) => [...e.children].map((c) => c.textContent)));
  assert.deepEqual(rows, [
    ['987 654 321', EVIL, '2026-12-01 10:20'],
    ['555 666 777', 'Taller Pérez', '2026-11-28 09:00'],
  ]);
  assert.equal(await page.locator('#recents img, #recents .rsel b').count(), 0);
  assert.equal(await page.evaluate(() => window.__pwned), undefined);
  assert.deepEqual(errors, []);
});

test('the 30-second state poll leaves a focused recent entry focused', async () => {
  const context = await browser.newContext({ viewport: { width: 1280, height: 900 } });
  const page = await context.newPage();
  await page.clock.install();
  await page.goto(host.url + '/');
  await page.waitForSelector('html[data-ready="1"]');
  await page.focus('#recents .rdel[data-d="1"]');
  const polled = page.waitForRequest('**/api/estado');
  await page.clock.fastForward(31000);
  await polled;
  await page.waitForTimeout(200);
  assert.equal(await page.evaluate(() => document.activeElement.dataset.d), '1');
  await context.close();
});

test('a recent fills the ID, empties and focuses the key; its ✕ removes it on the host', async () => {
  const { page } = await openPage(browser, host);
  await page.fill('#peerKey', 'OLD');
  await page.click('#recents li:nth-child(2) .rsel');
  assert.equal(await page.inputValue('#peerId'), '555 666 777');
  assert.equal(await page.inputValue('#peerKey'), '');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'peerKey');

  assert.equal(await page.getAttribute('#recents li:nth-child(1) .rdel', 'title'), 'Quitar de recientes');
  await page.click('#recents li:nth-child(1) .rdel');
  await page.waitForFunction(() => document.querySelectorAll('#recents .rsel').length === 1);
  // Removing does not select the entry.
  assert.equal(await page.inputValue('#peerId'), '555 666 777');
  const onDisk = JSON.parse(host.readData('recientes.json'));
  assert.deepEqual(onDisk.map((r) => r.id), ['555666777']);

  await page.click('#recents .rdel');
  await page.waitForSelector('#recents li.empty');
  assert.equal(await page.textContent('#recents'), 'Todavía no te has conectado a ninguna PC.');
});

test('history: newest first, broken lines skipped, role, length and control', async () => {
  const { page } = await openPage(browser, host);
  const rows = await page.$$eval('#history tbody tr', (trs) => trs.map((tr) => [...tr.cells].map((c) => c.textContent)));
  assert.deepEqual(rows, [
    ['2026-12-02 11:00:00', 'Recibí soporte de', 'Ana', '0:59', 'solo ver'],
    ['2026-12-01 10:40:00', 'Recibí soporte de', EVIL, '2:05', 'con control'],
    ['2026-11-20 08:00:00', 'Di soporte a', 'Taller Pérez 555 666 777', '1:06:40', ''],
  ]);
  assert.equal(await page.locator('#history img').count(), 0);
  await page.click('#langBtn');
  await page.waitForFunction(() => document.querySelector('#history tbody td:nth-child(2)').textContent === 'Got support from');
  const head = await page.$$eval('#history th', (ths) => ths.map((t) => t.textContent));
  assert.deepEqual(head, ['Date', 'Role', 'Who', 'Length', 'Control']);
  assert.equal(await page.textContent('#history tbody tr:nth-child(2) td:nth-child(5)'), 'with control');
  await page.click('#langBtn');
  await page.waitForFunction(() => document.documentElement.lang === 'es');
});

test('the ID field groups as typed and Enter moves to the key', async () => {
  const { page } = await openPage(browser, host);
  await page.click('#peerId');
  await page.keyboard.type('12345678');
  assert.equal(await page.inputValue('#peerId'), '123 456 78');
  await page.keyboard.type('90');
  assert.equal(await page.inputValue('#peerId'), '123 456 789');
  // An edit in the middle keeps the cursor where the user typed.
  await page.keyboard.press('Home');
  for (let i = 0; i < 5; i++) await page.keyboard.press('ArrowRight');
  await page.keyboard.press('Backspace');
  assert.equal(await page.inputValue('#peerId'), '123 567 89');
  await page.keyboard.type('4');
  assert.equal(await page.inputValue('#peerId'), '123 456 789');
  assert.equal(await page.evaluate(() => document.getElementById('peerId').selectionStart), 5);
  await page.keyboard.press('Enter');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'peerKey');
  // Enter in the key field connects: an empty key is refused first.
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.getElementById('toast').textContent === 'Escribe la clave temporal.');
});
