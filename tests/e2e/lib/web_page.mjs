// The technician's page that the signalling server serves to any browser, opened in a
// plain tab of a test browser: the clipboard allowed for it, its Content-Security-Policy
// reports (window.__csp) and the Keyboard Locks it takes (window.__locks) recorded, and
// axe run over it as the test's own script, so the page's policy stays as it is.
import fs from 'node:fs';
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { recordToasts } from './host.mjs';
import { instrumentPeerConnections } from './twopc.mjs';

const AXE = createRequire(import.meta.url).resolve('axe-core/axe.min.js');

// `scripts`: more init scripts, run before the page's own. A Mexican browser, so the page
// speaks Spanish until told otherwise.
export async function openWebPage(browser, url, { scripts = [] } = {}) {
  const context = await browser.newContext({ viewport: { width: 1280, height: 900 }, acceptDownloads: true, locale: 'es-MX' });
  await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: new URL(url).origin });
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(`web page: pageerror: ${e.message}`));
  page.on('console', (m) => { if (m.type() === 'error') errors.push(`web page: console: ${m.text()}`); });
  await page.addInitScript(() => {
    window.__csp = [];
    document.addEventListener('securitypolicyviolation', (e) => window.__csp.push(`${e.violatedDirective} ${e.blockedURI}`));
    window.__locks = 0;
    const kb = navigator.keyboard;
    if (kb && kb.lock) {
      const lock = kb.lock.bind(kb);
      kb.lock = async (...args) => { await lock(...args); window.__locks += 1; };
    }
  });
  await instrumentPeerConnections(page);
  await recordToasts(page);
  for (const s of scripts) await page.addInitScript(s);
  const res = await page.goto(url);
  await page.waitForSelector('html[data-ready="1"]');
  return { context, page, errors, headers: res.headers() };
}

// No serious or critical axe finding on the page as it is now.
export async function axeClean(page, what) {
  if (!(await page.evaluate(() => typeof window.axe === 'object'))) await page.evaluate(fs.readFileSync(AXE, 'utf8'));
  const res = await page.evaluate(async () => (await window.axe.run(document, { resultTypes: ['violations'] })).violations
    .map((v) => ({ id: v.id, impact: v.impact, nodes: v.nodes.map((n) => n.target.join(' ')).slice(0, 5) })));
  const bad = res.filter((v) => v.impact === 'serious' || v.impact === 'critical');
  assert.deepEqual(bad, [], `${what}: ${JSON.stringify(bad, null, 1)}`);
}

// A request from the web page to `hostId` with `key`; resolves once the dialog shows on
// the person's page, with what it says: { who, web }.
export async function webAsks(page, person, hostId, key, { control = true } = {}) {
  await page.click('#tab-conectar');
  await page.fill('#peerId', hostId);
  await page.fill('#peerKey', key);
  await page.setChecked('#wantCtl', control);
  await page.click('#connectBtn');
  await person.waitForSelector('#reqDlg:not([hidden])');
  return { who: await person.textContent('#reqWho'), web: await person.isVisible('#reqWeb') };
}

// The picture shown on the web page.
export function webSees(page, timeout = 30000) {
  return page.waitForFunction(() => {
    const v = document.getElementById('vVideo');
    return v.videoWidth > 0 && document.getElementById('vWait').hidden;
  }, null, { timeout });
}
