// The settings form: saved, read back from the host's file, refused by the host's server
// check, and the server test against a stand-in.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { openPage, pagePost, waitToast, withHostAndBrowser } from '../lib/host.mjs';

let host;
let browser;
withHostAndBrowser((h, b) => {
  host = h;
  browser = b;
});

async function openSettings(page) {
  await page.click('#tab-ajustes');
  await page.waitForSelector('#sSave');
}

test('settings are saved to the host and read back in a new page', async () => {
  const { page, errors } = await openPage(browser, host);
  await openSettings(page);
  await page.fill('#sName', '  Ana <b>López</b>  ');
  await page.selectOption('#sFps', '60');
  await page.selectOption('#sQual', 'nitidez');
  await page.click('label:has(#sSound)');
  await page.click('label:has(#sCtl)');
  await page.focus('#sSave');
  await page.keyboard.press('Enter');
  await waitToast(page, 'Ajustes guardados');
  // The form is drawn again from the host's reply; the focus stays on the button.
  assert.equal(await page.evaluate(() => document.activeElement.id), 'sSave');

  const ini = host.readData('vantriel.ini');
  assert.match(ini, /^nombre = Ana <b>López<\/b>\r?$/m);
  assert.match(ini, /^fps = 60\r?$/m);
  assert.match(ini, /^calidad = nitidez\r?$/m);
  assert.match(ini, /^sonido = no\r?$/m);
  assert.match(ini, /^permitir_control = no\r?$/m);
  assert.match(ini, /^disponible = si\r?$/m);

  // The identity now carries the name; the page shows it as text only.
  const { page: again } = await openPage(browser, host);
  await openSettings(again);
  assert.equal(await again.inputValue('#sName'), 'Ana <b>López</b>');
  assert.equal(await again.inputValue('#sFps'), '60');
  assert.equal(await again.inputValue('#sQual'), 'nitidez');
  assert.equal(await again.isChecked('#sSound'), false);
  assert.equal(await again.isChecked('#sCtl'), false);
  assert.equal(await again.isChecked('#sAvail'), true);
  assert.equal(await again.getAttribute('#sName', 'placeholder'), 'Ana <b>López</b>');
  assert.equal(await again.locator('#setForm b:not(.mono)').count(), 0);
  assert.deepEqual(errors, []);
});

test('the host refuses a server that is not https, and the page says so', async () => {
  const { page } = await openPage(browser, host);
  await openSettings(page);
  const before = host.readData('vantriel.ini').match(/^servidor =.*$/m)[0];
  await page.fill('#sServer', 'http://example.com');
  await page.click('#sSave');
  await waitToast(page, 'El servidor debe empezar con https://');
  assert.equal(host.readData('vantriel.ini').match(/^servidor =.*$/m)[0], before);
  // A loopback address is accepted.
  await page.fill('#sServer', 'http://127.0.0.1:9/');
  await page.click('#sSave');
  await waitToast(page, 'Ajustes guardados');
  assert.match(host.readData('vantriel.ini'), /^servidor = http:\/\/127\.0\.0\.1:9\/\r?$/m);
  await page.fill('#sServer', '');
  await page.click('#sSave');
  await waitToast(page, 'Ajustes guardados');
  // The host's refusal is said in the page's language.
  await pagePost(page, '/api/ajustes', { general: { idioma: 'en' } });
  const { page: en } = await openPage(browser, host);
  await openSettings(en);
  await en.fill('#sServer', 'http://example.com');
  await en.click('#sSave');
  await waitToast(en, 'The server must start with https://');
  await pagePost(en, '/api/ajustes', { general: { idioma: 'es' } });
});

test('server test: a Vantriel server answers OK with its version, anything else fails', async () => {
  const { page } = await openPage(browser, host);
  await openSettings(page);
  // Empty field: the server in use, which nobody serves here.
  await page.click('#sTest');
  await waitToast(page, 'El servidor no responde');

  const stand = 'http://127.0.0.1:1';
  await page.route(`${stand}/health`, (r) => r.fulfill({ contentType: 'application/json', body: '{"app":"vantriel","v":"2.3.4"}' }));
  await page.route(`${stand}/other/health`, (r) => r.fulfill({ contentType: 'application/json', body: '{"app":"otra"}' }));
  await page.fill('#sServer', stand + '/');
  await page.click('#sTest');
  await waitToast(page, 'Servidor OK · v2.3.4');
  await page.fill('#sServer', stand + '/other');
  await page.click('#sTest');
  await waitToast(page, 'El servidor no responde');
});

test('the language button on the settings tab holds through the next save', async () => {
  const { page } = await openPage(browser, host);
  await openSettings(page);
  await page.click('#langBtn');
  await page.waitForFunction(() => document.documentElement.lang === 'en');
  await page.waitForFunction(() => document.getElementById('sLang').value === 'en');
  await page.click('#sSave');
  await waitToast(page, 'Settings saved');
  assert.equal(await page.evaluate(() => document.documentElement.lang), 'en');
  assert.match(host.readData('vantriel.ini'), /^idioma = en\r?$/m);
  await page.click('#langBtn');
  await page.waitForFunction(() => document.documentElement.lang === 'es');
});

test('the availability switch saves and turns registration off', async () => {
  const { page } = await openPage(browser, host);
  assert.equal(await page.isChecked('#availSw'), true);
  await page.click('label:has(#availSw)');
  await page.waitForFunction(() => document.getElementById('hostStatus').textContent.startsWith('No disponible'));
  assert.match(host.readData('vantriel.ini'), /^disponible = no\r?$/m);
  assert.equal(await page.textContent('#pillSrv'), 'Sin servidor');
  await page.click('label:has(#availSw)');
  await page.waitForFunction(() => !document.getElementById('hostStatus').textContent.startsWith('No disponible'));
  assert.match(host.readData('vantriel.ini'), /^disponible = si\r?$/m);
});
