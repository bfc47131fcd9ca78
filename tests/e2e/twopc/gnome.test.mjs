// A support session with the person on a GNOME Wayland desktop: the GNOME lab
// (tests/gnome/lab.py: a headless mutter, PipeWire, the real portal frontend with a
// stand-in backend) runs the person's host and page, whose browser shares the screen
// through the portal's ScreenCast; the host's input goes through the portal's
// RemoteDesktop. The technician's PC is the usual one. What the technician does lands on
// the lab's reporting page, full screen on that desktop. The desktop's own "stop sharing"
// ends a session as the browser's does.
import test, { after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import readline from 'node:readline';
import { spawn } from 'node:child_process';
import { acceptWithControl, screenPoint, waitFor, withTwoPcs } from '../lib/twopc.mjs';
import { pagePost, waitToast } from '../lib/host.mjs';

const LAB = new URL('../../gnome/lab.py', import.meta.url).pathname;

// The lab's lines in order; `until(pred)` returns those after the last `until` up to and
// including the first that `pred` accepts.
async function startLab() {
  const proc = spawn('/usr/bin/python3', [LAB, 'serve'], {
    cwd: path.dirname(LAB), env: { ...process.env, PYTHONDONTWRITEBYTECODE: '1' }, stdio: ['pipe', 'pipe', 'inherit'],
  });
  const lines = [];
  let wake = () => {};
  readline.createInterface({ input: proc.stdout }).on('line', (l) => { lines.push(JSON.parse(l)); wake(); });
  const ended = new Promise((r) => proc.once('exit', r));
  let cursor = 0;
  const lab = {
    lines,
    send: (command) => proc.stdin.write(command + '\n'),
    async until(pred, what, timeout = 20000) {
      const end = Date.now() + timeout;
      for (;;) {
        const i = lines.findIndex((e, k) => k >= cursor && pred(e));
        if (i >= 0) {
          const got = lines.slice(cursor, i + 1);
          cursor = i + 1;
          return got;
        }
        if (Date.now() > end || proc.exitCode !== null) {
          throw new Error(`the GNOME lab did not tell ${what}; got ${JSON.stringify(lines.slice(cursor))}`);
        }
        await new Promise((r) => { wake = r; setTimeout(r, 50); });
      }
    },
    async stop() {
      proc.stdin.end();
      const t = setTimeout(() => proc.kill('SIGKILL'), 30000);
      await ended;
      clearTimeout(t);
    },
  };
  const [first] = await lab.until((e) => e.ev === 'ready' || e.ev === 'skip', 'that it is ready', 60000);
  return Object.assign(lab, first);
}

const lab = await startLab();
if (lab.ev === 'skip') {
  test('a session with the person on GNOME', { skip: lab.why }, () => {});
} else {
  let pcs;
  withTwoPcs((p) => { pcs = p; }, {
    // The person's host and browser in the GNOME session, with no X display: the browser a
    // Wayland client, as the host starts its app window there.
    hostPcEnv: { ...lab.env, DISPLAY: undefined },
    hostBrowserArgs: ['--ozone-platform=wayland'],
  });
  after(async () => {
    await lab.stop();
    // What the desktop heard and the page saw, for a test that failed.
    if (pcs) fs.writeFileSync(path.join(pcs.artifacts, 'gnome-lab.jsonl'), lab.lines.map((l) => JSON.stringify(l) + '\n').join(''));
  });

  const page = (pred, what) => lab.until((e) => e.from === 'page' && pred(e), what);
  const portal = (ev) => lab.until((e) => e.from === 'portal' && e.ev === ev, `the portal's ${ev}`);

  test('the technician sees the whole GNOME screen and controls it through the portal', async () => {
    const tech = pcs.tech.page;
    const host = pcs.host.page;
    await host.waitForFunction(() => document.getElementById('hostStatus').classList.contains('ok'), null, { timeout: 15000 });

    const said = (ev, since = 0) => lab.lines.slice(since).find((e) => e.from === 'portal' && e.ev === ev);
    // Accepted with control: the page's capture takes the portal's ScreenCast (the screen
    // chosen without a question here, where GNOME shows its chooser); the desktop asks the
    // person about control, and the person allows it. Resolves with the request's tip and
    // the time of the click on "accept".
    const open = async () => {
      // A session's end renews the key; the page shows the new one a moment later.
      const { clave } = await pagePost(host, '/api/identidad');
      await host.waitForFunction((k) => document.getElementById('myKey').textContent.trim() === k, clave, { timeout: 15000 });
      const got = {};
      const allowed = portal('ask').then(() => lab.send('allow'));
      await Promise.all([acceptWithControl(pcs, {
        beforeAccept: async () => { got.tip = await host.textContent('#reqTip'); got.accepted = Date.now(); },
      }), allowed]);
      return got;
    };

    // The person stops the sharing from the desktop (GNOME's top bar): the session ends on
    // both sides, with the desktop's screen cast and control.
    let since = lab.lines.length;
    const { tip } = await open();
    // The request tells the person who will ask what to share: not Windows, here.
    assert.equal(tip, 'Al aceptar, se te preguntará qué compartir: elige tu pantalla (en GNOME y KDE te lo pregunta tu escritorio en una ventana suya) y, si se ofrece, activa «Compartir audio del sistema».');
    const told = Promise.all([waitToast(host, 'Se dejó de compartir la pantalla.', 20000),
      waitToast(tech, 'La otra persona terminó la sesión.', 20000)]);
    lab.send('end');
    await told;
    await tech.waitForSelector('#viewer', { state: 'hidden', timeout: 20000 });
    await host.waitForSelector('#hostbar', { state: 'hidden', timeout: 20000 });
    await waitFor(() => said('cast-end', since) && said('end', since), { what: 'both portal sessions ended' });

    since = lab.lines.length;
    const { accepted } = await open();
    console.log(`the technician saw the GNOME screen under control ${Date.now() - accepted} ms after the person accepted`);
    const streams = await waitFor(() => said('cast-started', since) && said('started', since) && [said('cast-started', since), said('started', since)],
      { what: 'the screen cast and the remote desktop streams' });
    assert.deepEqual(streams.map((e) => [e.w, e.h]), [[1280, 800], [1280, 800]]);
    const size = await waitFor(() => tech.evaluate(() => {
      const v = document.getElementById('vVideo');
      return v.videoWidth === 1280 && v.videoHeight === 800 && [v.videoWidth, v.videoHeight];
    }), { timeout: 20000, what: 'the whole screen at its size in the viewer' });
    assert.deepEqual(size, [1280, 800]);

    // The reporting page shows full screen once the person puts Vantriel's window away
    // (mutter keeps a window that opens while another has the focus below that one).
    lab.send('page');
    await lab.until((e) => e.ev === 'page-ready', 'that its page shows');
    const cdp = await pcs.host.context.newCDPSession(host);
    const { windowId } = await cdp.send('Browser.getWindowForTarget');
    await cdp.send('Browser.setWindowBounds', { windowId, bounds: { windowState: 'minimized' } });
    // The technician sees it: white where the person's window was.
    await waitFor(() => tech.evaluate(() => {
      const v = document.getElementById('vVideo');
      const c = document.createElement('canvas');
      [c.width, c.height] = [v.videoWidth, v.videoHeight];
      const g = c.getContext('2d');
      g.drawImage(v, 0, 0);
      return [[300, 250], [100, 700]].every(([x, y]) => g.getImageData(x, y, 1, 1).data.slice(0, 3).every((b) => b > 235));
    }), { timeout: 20000, what: 'the reporting page in the viewer' });

    // A click lands on its pixel of the GNOME screen.
    const at = await screenPoint(tech, 300, 250);
    const clicked = Date.now();
    await tech.mouse.click(at.x, at.y);
    const down = (await page((e) => e.t === 'down', 'the press')).at(-1);
    console.log(`a click reached the GNOME page ${Date.now() - clicked} ms after the technician's click`);
    const up = (await page((e) => e.t === 'up', 'the release')).at(-1);
    for (const e of [down, up]) assert.ok(e.b === 0 && Math.abs(e.x - 300) <= 1 && Math.abs(e.y - 250) <= 1, JSON.stringify(e));

    // Keys by their code, then text with accents and ñ, typed as characters.
    await tech.focus('#vLayer');
    await tech.keyboard.press('KeyA');
    const keyA = (await page((e) => e.t === 'ku', 'the key')).find((e) => e.t === 'kd');
    assert.deepEqual([keyA.key, keyA.code], ['a', 'KeyA']);
    const text = 'Añadí más café, ñu';
    await tech.click('#vType');
    await tech.fill('#typeTxt', text);
    await tech.click('#modalBtns .btn.primary');
    await page((e) => e.t === 'text' && e.v === 'a' + text, 'the typed text');

    // The session's end lets go of a key and a button the technician held, and stops the
    // sharing and the control on the desktop.
    await tech.focus('#vLayer');
    await tech.keyboard.down('Shift');
    await page((e) => e.t === 'kd' && e.key === 'Shift', 'Shift held');
    await tech.mouse.move(at.x, at.y);
    await tech.mouse.down();
    await page((e) => e.t === 'down', 'the button held');
    await host.click('#hbEnd');
    const released = [];
    await waitFor(async () => {
      released.push(...await page((e) => (e.t === 'ku' && e.key === 'Shift') || e.t === 'up', 'the release'));
      return released.some((e) => e.t === 'ku') && released.some((e) => e.t === 'up');
    }, { timeout: 20000, what: 'Shift and the button let go' });
    await tech.keyboard.up('Shift');
    await tech.mouse.up();
    await waitFor(() => said('cast-close', since) && said('close', since), { what: 'the screen cast and the remote desktop session closed' });
    assert.deepEqual(pcs.pageErrors(), []);
  });
}
