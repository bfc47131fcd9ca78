// The help tab: the manual from the host with its contents, links, language and print page.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { openPage, startHost, withHostAndBrowser } from '../lib/host.mjs';

const filler = (n, word) => Array.from({ length: n }, (_, i) => `${word} ${i + 1}: ` + 'texto de relleno '.repeat(30)).join('\n\n');
const manual = {
  'manual_es.md': [
    '<!-- manual-version: 3.1 -->',
    '# Vantriel',
    'Empieza aquí y ve a [la configuración avanzada](#configuracion-avanzada) o al [sitio](https://vantriel.app/ayuda).',
    '## Primeros pasos',
    filler(8, 'Párrafo'),
    '### Tu ID',
    filler(4, 'Párrafo'),
    '## Configuración avanzada',
    filler(12, 'Párrafo'),
  ].join('\n'),
  'manual_en.md': [
    '<!-- manual-version: 3.1 -->',
    '# Vantriel',
    'Start here.',
    '## First steps',
    '### Your ID',
    '## Advanced settings',
  ].join('\n'),
};

let host;
let browser;
withHostAndBrowser((h, b) => {
  host = h;
  browser = b;
}, { manual });

const toc = (page) => page.$$eval('#mToc > ol > li', (lis) => lis.map((li) => [
  li.querySelector(':scope > a').textContent,
  [...li.querySelectorAll(':scope > ol > li > a')].map((a) => a.textContent),
]));

// Whether the element with that id sits at the top of the view, under the header.
const atTop = (page, id) => page.waitForFunction((target) => {
  const top = document.getElementById(target).getBoundingClientRect().top;
  const hh = parseFloat(getComputedStyle(document.documentElement).getPropertyValue('--hh')) || 70;
  return top >= 0 && top <= hh + 40;
}, id, { timeout: 10000 });

test('the manual shows with its table of contents, and both kinds of link work', async () => {
  const { page, errors } = await openPage(browser, host, { viewport: { width: 1280, height: 700 } });
  const opened = [];
  await page.route('**/api/abrir', async (route) => {
    opened.push(JSON.parse(route.request().postData()));
    await route.fulfill({ contentType: 'application/json', body: '{"ok":true}' });
  });
  await page.click('#tab-ayuda');
  await page.waitForSelector('#mToc ol');
  assert.equal(await page.textContent('#mTitle'), 'Manual de usuario');
  assert.equal(await page.textContent('#mVer'), 'Manual de la v3.1');
  assert.equal(await page.textContent('#mTocTitle'), 'Contenido');
  assert.deepEqual(await toc(page), [['Primeros pasos', ['Tu ID']], ['Configuración avanzada', []]]);
  assert.match(await page.textContent('#mBody .mend'), /App desarrollada por/);

  await page.click('#mToc a:text("Configuración avanzada")');
  await atTop(page, 'configuracion-avanzada');
  await page.click('#mToc a:text("Tu ID")');
  await atTop(page, 'tu-id');

  await page.evaluate(() => window.scrollTo(0, 0));
  await page.click('#mBody a:text("la configuración avanzada")');
  await atTop(page, 'configuracion-avanzada');
  assert.deepEqual(opened, []);

  await page.evaluate(() => window.scrollTo(0, 0));
  await page.click('#mBody a:text("sitio")');
  for (let i = 0; i < 50 && !opened.length; i++) await page.waitForTimeout(50);
  assert.deepEqual(opened, [{ what: 'url', url: 'https://vantriel.app/ayuda' }]);
  assert.equal(page.url(), host.url + '/');
  assert.deepEqual(errors, []);
});

test('the manual follows the interface language and its own language buttons', async () => {
  const { page } = await openPage(browser, host);
  await page.click('#tab-ayuda');
  await page.waitForSelector('#mToc ol');
  await page.click('#langBtn');
  await page.waitForFunction(() => document.getElementById('mTitle').textContent === 'User manual');
  assert.deepEqual(await toc(page), [['First steps', ['Your ID']], ['Advanced settings', []]]);
  assert.equal(await page.textContent('#mTocTitle'), 'Contents');
  assert.equal(await page.getAttribute('#mEn', 'aria-pressed'), 'true');

  await page.click('#mEs');
  await page.waitForFunction(() => document.getElementById('mTitle').textContent === 'Manual de usuario');
  assert.equal(await page.getAttribute('#mEs', 'aria-pressed'), 'true');
  assert.equal(await page.evaluate(() => document.documentElement.lang), 'en');
  // Leaving the tab and coming back keeps the language picked there.
  const loads = [];
  page.on('request', (r) => { if (r.url().includes('/api/manual')) loads.push(r.url()); });
  await page.click('#tab-conectar');
  await page.click('#tab-ayuda');
  await page.waitForTimeout(300);
  assert.deepEqual(loads, []);
  assert.equal(await page.textContent('#mTitle'), 'Manual de usuario');
  await page.click('#langBtn');
  await page.waitForFunction(() => document.documentElement.lang === 'es');
});

test('print opens the printable page of the manual in its language', async () => {
  const { page, context } = await openPage(browser, host);
  await page.click('#tab-ayuda');
  await page.waitForSelector('#mToc ol');
  const [popup] = await Promise.all([context.waitForEvent('page'), page.click('#mPrint')]);
  await popup.waitForURL('**/manual/imprimir**');
  await popup.waitForLoadState('domcontentloaded');
  assert.equal(new URL(popup.url()).pathname + new URL(popup.url()).search, '/manual/imprimir?lang=es');
  assert.equal(await popup.textContent('h1'), 'Vantriel · Manual de usuario');
  assert.equal(await popup.locator('h2#configuracion-avanzada').count(), 1);
  await popup.close();
});

test('a missing manual shows the host message', async () => {
  const bare = await startHost({ manual: {} });
  try {
    const { page } = await openPage(browser, bare);
    await page.click('#tab-ayuda');
    await page.waitForFunction(() => document.querySelector('#mBody .note'));
    assert.equal(await page.textContent('#mBody'), 'No encontré el manual (carpeta manual junto a Vantriel.exe).');
    assert.equal(await page.locator('#mToc li').count(), 0);
  } finally {
    await bare.stop();
  }
});
