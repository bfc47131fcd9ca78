// The identity card, the new key, and the new-ID flow with its refusal during a session.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { openPage, pagePost, waitToast, withHostAndBrowser } from '../lib/host.mjs';

let host;
let browser;
withHostAndBrowser((h, b) => {
  host = h;
  browser = b;
});

const fileId = () => JSON.parse(host.readData('identidad.json')).id;
const grouped = (id) => id.replace(/^(\d{3})(\d{3})(\d{3})$/, '$1 $2 $3');

test('the card shows the ID and key; a new key replaces the shown one', async () => {
  const { page } = await openPage(browser, host);
  assert.equal(await page.textContent('#myId'), grouped(fileId()));
  const key = await page.textContent('#myKey');
  assert.match(key, /^[A-Z0-9]{6}$/);
  await page.click('#newKeyBtn');
  const msg = await waitToast(page, /^Clave nueva: /);
  const fresh = await page.textContent('#myKey');
  assert.notEqual(fresh, key);
  assert.equal(msg, 'Clave nueva: ' + fresh);
});

test('new ID: cancel keeps it and returns focus; confirm makes a new one', async () => {
  const { page } = await openPage(browser, host);
  const old = fileId();
  await page.click('#tab-ajustes');
  await page.click('#sNewIdBtn');
  await page.waitForSelector('#modal:not([hidden])');
  assert.equal(await page.textContent('#modalTitle'), '¿Crear un ID nuevo para esta PC? El actual deja de funcionar.');
  // The safe choice has the focus; Escape closes and focus goes back to the button.
  assert.equal(await page.evaluate(() => document.activeElement.textContent), 'Cancelar');
  await page.keyboard.press('Escape');
  await page.waitForSelector('#modal', { state: 'hidden' });
  assert.equal(await page.evaluate(() => document.activeElement.id), 'sNewIdBtn');
  assert.equal(fileId(), old);

  await page.click('#sNewIdBtn');
  await page.click('#modalBtns .primary');
  const shown = await waitToast(page, /^\d{3} \d{3} \d{3}$/);
  const now = fileId();
  assert.notEqual(now, old);
  assert.equal(shown, grouped(now));
  assert.equal(await page.textContent('#myId'), grouped(now));
  // The form was drawn again with the new ID; focus went back to its button.
  assert.equal(await page.evaluate(() => document.activeElement.id), 'sNewIdBtn');
  assert.equal(await page.textContent('#setForm .mono'), grouped(now));
});

test('new ID is refused while a session is open', async () => {
  const { page } = await openPage(browser, host);
  const old = fileId();
  await pagePost(page, '/api/sesion', { activa: true, rol: 'tech', con: 'Técnico', id: '123456789' });
  await page.click('#tab-ajustes');
  await page.click('#sNewIdBtn');
  await page.click('#modalBtns .primary');
  await waitToast(page, 'Termina la sesión antes de cambiar tu ID');
  assert.equal(fileId(), old);
  await pagePost(page, '/api/sesion', { activa: false });
});
