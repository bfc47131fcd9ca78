// First start in Spanish, a switch to English and back, every text applied.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { openPage, withHostAndBrowser } from '../lib/host.mjs';
import { waitFor } from '../lib/twopc.mjs';
import { pageModule, ROOT, UI } from '../lib/page_scripts.mjs';

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
    // The browser must not offer to translate a page that already speaks both languages.
    notranslate: document.documentElement.translate === false &&
      document.querySelector('meta[name="google"]')?.content === 'notranslate',
  }));
}

function assertApplied(seen, lang) {
  const tbl = I18N[lang];
  assert.equal(seen.lang, lang);
  assert.equal(seen.button, lang === 'es' ? 'EN' : 'ES');
  assert.equal(seen.notranslate, true);
  assert.ok(seen.texts.length > 40);
  for (const [k, v] of [...seen.texts, ...seen.placeholders, ...seen.tips]) assert.equal(v, tbl[k], `${k} in ${lang}`);
}

// The language the host has saved, as the page reads it back.
const savedLanguage = (page) => page.evaluate(async () => (await (await fetch('/api/ajustes')).json()).general.idioma);

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
  // (Playwright's waitForFunction takes a promise for a truthy value and would not wait.)
  await waitFor(async () => (await savedLanguage(page)) === 'en', { what: 'English saved' });
  assert.match(host.readData('vantriel.ini'), /^idioma = en\r?$/m);
  await page.reload();
  await page.waitForSelector('html[data-ready="1"]');
  assertApplied(await textsOf(page), 'en');

  await page.click('#langBtn');
  await page.waitForFunction(() => document.documentElement.lang === 'es');
  assertApplied(await textsOf(page), 'es');
  await waitFor(async () => (await savedLanguage(page)) === 'es', { what: 'Spanish saved' });
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

test("every symbol of the page's texts and of the manual is drawn by the page's own font", async () => {
  const { page, errors } = await openPage(browser, host);
  // Symbols an emoji font would otherwise have to supply: technical and miscellaneous
  // symbols, dingbats, arrows, and everything beyond the basic plane.
  const isSymbol = (c) => {
    const n = c.codePointAt(0);
    return (n >= 0x2300 && n <= 0x23ff) || (n >= 0x2600 && n <= 0x27bf) || (n >= 0x2b00 && n <= 0x2bff) || n >= 0x1f000;
  };
  const files = [path.join(UI, 'index.html'), ...fs.readdirSync(path.join(UI, 'js')).map((f) => path.join(UI, 'js', f)),
    ...['manual_es.md', 'manual_en.md'].map((f) => path.join(ROOT, 'apps/vantriel/manual', f))];
  const symbols = new Set();
  for (const f of files) for (const c of fs.readFileSync(f, 'utf8')) if (isSymbol(c)) symbols.add(c);
  assert.ok(symbols.size >= 20, [...symbols].join(''));
  // Each glyph of the page's font is one em wide; another font's (or a missing glyph's box) is not.
  const widths = await page.evaluate(async (chars) => {
    await document.fonts.load('40px "Vantriel Symbols"', chars.join(''));
    const ctx = document.createElement('canvas').getContext('2d');
    ctx.font = '40px "Vantriel Symbols", monospace';
    return chars.map((c) => [c, ctx.measureText(c).width]);
  }, [...symbols]);
  const strays = widths.filter(([, w]) => Math.abs(w - 40) > 0.01).map(([c]) => `${c} U+${c.codePointAt(0).toString(16).toUpperCase()}`);
  assert.deepEqual(strays, []);
  // The toolbar's own stack reaches it too.
  assert.equal(await page.evaluate(() => document.fonts.check('13px ' + getComputedStyle(document.getElementById('langBtn')).fontFamily, '🖱')), true);
  assert.deepEqual(errors, []);
});
