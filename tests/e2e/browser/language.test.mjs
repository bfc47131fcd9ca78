// First start in Spanish, a switch to English and back, every text applied.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { openPage, withHostAndBrowser } from '../lib/host.mjs';
import { pageModule } from '../lib/page_scripts.mjs';

const { I18N } = await pageModule('i18n.js');
let host;
let browser;
withHostAndBrowser((h, b) => {
  host = h;
  browser = b;
});

// Every element that carries a text key shows that key's text in the language.
async function textsOf(page) {
  return page.evaluate(() => ({
    lang: document.documentElement.lang,
    button: document.getElementById('langBtn').textContent,
    texts: [...document.querySelectorAll('[data-i]')].map((e) => [e.dataset.i, e.textContent]),
    placeholders: [...document.querySelectorAll('[data-ip]')].map((e) => [e.dataset.ip, e.placeholder]),
    tips: [...document.querySelectorAll('[data-it]')].map((e) => [e.dataset.it, e.title]),
    dynamic: document.getElementById('hostStatus').textContent + '|' + document.getElementById('history').textContent,
  }));
}

function assertApplied(seen, lang) {
  const tbl = I18N[lang];
  assert.equal(seen.lang, lang);
  assert.equal(seen.button, lang === 'es' ? 'EN' : 'ES');
  assert.ok(seen.texts.length > 40);
  for (const [k, v] of [...seen.texts, ...seen.placeholders, ...seen.tips]) assert.equal(v, tbl[k], `${k} in ${lang}`);
}

test('first start in Spanish, switch to English and back', async () => {
  const { page, errors } = await openPage(browser, host);
  const es = await textsOf(page);
  assertApplied(es, 'es');
  assert.match(es.dynamic, new RegExp(I18N.es.noHistory));

  await page.click('#langBtn');
  await page.waitForFunction(() => document.documentElement.lang === 'en');
  const en = await textsOf(page);
  assertApplied(en, 'en');
  assert.match(en.dynamic, new RegExp(I18N.en.noHistory));

  // The choice is saved: a new page starts in English.
  await page.waitForFunction(async () => (await (await fetch('/api/ajustes')).json()).general.idioma === 'en');
  assert.match(host.readData('vantriel.ini'), /^idioma = en\r?$/m);
  await page.reload();
  await page.waitForSelector('html[data-ready="1"]');
  assertApplied(await textsOf(page), 'en');

  await page.click('#langBtn');
  await page.waitForFunction(() => document.documentElement.lang === 'es');
  assertApplied(await textsOf(page), 'es');
  await page.waitForFunction(async () => (await (await fetch('/api/ajustes')).json()).general.idioma === 'es');
  assert.deepEqual(errors, []);
});

test('tabs switch by click and by arrow keys, one panel at a time', async () => {
  const { page } = await openPage(browser, host);
  const visible = () => page.evaluate(() => [...document.querySelectorAll('[role=tabpanel]')].filter((p) => !p.hidden).map((p) => p.id));
  assert.deepEqual(await visible(), ['pane-conectar']);
  await page.click('#tab-ajustes');
  assert.deepEqual(await visible(), ['pane-ajustes']);
  await page.focus('#tab-ajustes');
  await page.keyboard.press('ArrowRight');
  assert.deepEqual(await visible(), ['pane-ayuda']);
  assert.equal(await page.evaluate(() => document.activeElement.id), 'tab-ayuda');
  await page.keyboard.press('ArrowRight');
  assert.deepEqual(await visible(), ['pane-conectar']);
  await page.keyboard.press('End');
  assert.deepEqual(await visible(), ['pane-ayuda']);
  assert.equal(await page.getAttribute('#tab-ayuda', 'aria-selected'), 'true');
  assert.equal(await page.getAttribute('#tab-conectar', 'tabindex'), '-1');
});
