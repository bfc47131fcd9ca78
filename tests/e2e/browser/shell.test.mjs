// Copy, donation and quit.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { openPage, startHost, waitToast, withHostAndBrowser } from '../lib/host.mjs';

let host;
let browser;
withHostAndBrowser((h, b) => {
  host = h;
  browser = b;
});

test('copy puts the ID, or the ID and key, on the clipboard', async () => {
  const { page, context } = await openPage(browser, host);
  await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: host.url });
  const id = await page.textContent('#myId');
  const key = await page.textContent('#myKey');
  await page.click('#copyIdBtn');
  await waitToast(page, 'Copiado');
  assert.equal(await page.evaluate(() => navigator.clipboard.readText()), id);
  await page.click('#copyBothBtn');
  await waitToast(page, 'Copiado');
  assert.equal(await page.evaluate(() => navigator.clipboard.readText()), `Vantriel · ID: ${id} · Clave: ${key}`);
  await page.click('#langBtn');
  await page.waitForFunction(() => document.documentElement.lang === 'en');
  await page.click('#copyBothBtn');
  await waitToast(page, 'Copied');
  assert.equal(await page.evaluate(() => navigator.clipboard.readText()), `Vantriel · ID: ${id} · Key: ${key}`);
  await page.click('#langBtn');
  await page.waitForFunction(() => document.documentElement.lang === 'es');
});

test('without the browser clipboard, copying goes through the host', async () => {
  const { page } = await openPage(browser, host);
  const asked = [];
  await page.route('**/api/portapapeles/escribir_local', async (route) => {
    asked.push(JSON.parse(route.request().postData()));
    await route.fulfill({ contentType: 'application/json', body: asked.length === 1 ? '{"ok":true}' : '{"ok":false}' });
  });
  await page.evaluate(() => { navigator.clipboard.writeText = () => Promise.reject(new Error('denied')); });
  await page.click('#copyIdBtn');
  await waitToast(page, 'Copiado');
  await page.click('#copyIdBtn');
  await waitToast(page, 'No se pudo copiar');
  assert.deepEqual(asked.map((a) => a.texto), [await page.textContent('#myId'), await page.textContent('#myId')]);
});

test('donation: the host opens the page, else the page opens it itself', async () => {
  const { page, context } = await openPage(browser, host);
  let answer = '{"ok":true}';
  await page.route('**/api/abrir', (route) => route.fulfill({ contentType: 'application/json', body: answer }));
  await context.route('https://vantriel.app/**', (route) => route.fulfill({ contentType: 'text/html', body: '<title>donar</title>' }));
  await page.click('#tab-ayuda');
  await page.click('#donBtn');
  await waitToast(page, 'Abriendo la página de donación en tu navegador… ¡Gracias por tu apoyo! 💚');
  answer = '{"ok":false}';
  const [popup] = await Promise.all([context.waitForEvent('page'), page.click('#donBtn')]);
  await popup.waitForURL('https://vantriel.app/**');
  assert.equal(popup.url(), 'https://vantriel.app/donar');
  await popup.close();
});

test('quit asks first, then ends the host and says so', async () => {
  const own = await startHost();
  try {
    const { page } = await openPage(browser, own);
    await page.click('#quitBtn');
    assert.equal(await page.textContent('#modalTitle'), '¿Cerrar Vantriel? Si hay una sesión o una llamada, se cortan.');
    await page.click('#modalBtns button:text("Cancelar")');
    assert.equal(own.exited, null);
    await page.click('#quitBtn');
    await page.click('#modalBtns .primary');
    await page.waitForFunction(() => document.body.textContent.includes('Vantriel se cerró. Puedes cerrar esta ventana.'));
    const { code } = await own.exit;
    assert.equal(code, 0);
  } finally {
    await own.stop();
  }
});
