// The page's pure functions, loaded from the same sources the page is built from.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { pageModule } from './lib/page_scripts.mjs';

const { I18N, t, setLANG } = await pageModule('i18n.js');
const { esc, formatId, mmss, formatIdField, yes, cleanAccessCode } = await pageModule('core.js');
const { joinProblem } = await pageModule('tech_session.js');
const { normCallCode } = await pageModule('call.js');
const { serverTestUrl } = await pageModule('settings.js');
const { notesHtml, updBarContent } = await pageModule('update.js');
const { hostText, knownHostText } = await pageModule('host_texts.js');
const { accessCodeOf, identityOf, recentsOf, stateOf } = await pageModule('keeper_host.js');
const { WEB_KEEPER } = await pageModule('web_keeper.js');
// setLANG keeps only the two languages; a third one is tried on the table directly.
const setLang = (l) => setLANG(l);

test('t picks the language, falls back to Spanish, then to the text id', () => {
  setLang('es');
  assert.equal(t('saved'), 'Ajustes guardados');
  setLang('en');
  assert.equal(t('saved'), 'Settings saved');
  const saved = I18N.en.donTitle;
  delete I18N.en.donTitle;
  assert.equal(t('donTitle'), '¿Te sirvió Vantriel?');
  I18N.en.donTitle = saved;
  assert.equal(t('noSuchKey'), 'noSuchKey');
  setLang('xx');
  assert.equal(t('saved'), 'Ajustes guardados');
  setLang('es');
});

test('t replaces every occurrence of each argument and nothing more', () => {
  setLang('es');
  I18N.es.__probe = '{0}-{1}-{0}-{2}';
  assert.equal(t('__probe', 'a', 'b'), 'a-b-a-{2}');
  // An argument that looks like a placeholder is not expanded again.
  assert.equal(t('__probe', '{1}', 'x'), '{1}-x-{1}-{2}');
  assert.equal(t('newKeyDone', 'K7P2QX'), 'Clave nueva: K7P2QX');
  assert.equal(t('updAvail', '0.2.0', '0.1.1'), '🔄 <b>Vantriel v0.2.0</b> está disponible (tienes la v0.1.1).');
  delete I18N.es.__probe;
});

test('t hands back a non-text entry unchanged', () => {
  setLang('en');
  const st = t('pcState');
  assert.equal(st.connected, 'Connected');
  assert.equal(st.failed, 'No connection');
  setLang('es');
});

test('both languages have every text id, non-empty, with the same placeholders', () => {
  const { es, en } = I18N;
  assert.deepEqual(Object.keys(en).sort(), Object.keys(es).sort());
  assert.ok(Object.keys(es).length >= 248);
  const holes = (s) => [...String(s).matchAll(/\{(\d+)\}/g)].map((m) => m[1]).sort().join(',');
  for (const k of Object.keys(es)) {
    if (typeof es[k] === 'object') {
      assert.deepEqual(Object.keys(en[k]).sort(), Object.keys(es[k]).sort(), k);
      continue;
    }
    assert.equal(typeof es[k], 'string', k);
    assert.ok(es[k].length > 0 && en[k].length > 0, `${k} is empty`);
    assert.equal(holes(en[k]), holes(es[k]), `${k} has other placeholders in English`);
  }
});

test('esc makes host and peer text inert', () => {
  assert.equal(esc(null), '');
  assert.equal(esc(undefined), '');
  assert.equal(esc(0), '0');
  assert.equal(esc(`<img src=x onerror="alert('x')">&`), '&lt;img src=x onerror=&quot;alert(&#39;x&#39;)&quot;&gt;&amp;');
  assert.equal(esc('&amp;'), '&amp;amp;');
  assert.equal(esc('Año · ñandú'), 'Año · ñandú');
});

test('formatId groups exactly nine digits', () => {
  assert.equal(formatId('123456789'), '123 456 789');
  assert.equal(formatId('123 456-789'), '123 456 789');
  assert.equal(formatId(123456789), '123 456 789');
  assert.equal(formatId('12345678'), '12345678');
  assert.equal(formatId('1234567890'), '1234567890');
  assert.equal(formatId('abc'), '');
  assert.equal(formatId(null), '');
});

test("the host's identity, access code and state replies reach the page under the page's names", async () => {
  const reply = { id: '123456789', id_bonito: '123 456 789', clave: 'K7P2QX', llave: 's3cr3t', nombre: 'Ana', servidor: 'https://s.example' };
  assert.deepEqual(identityOf(reply),
    { id: '123456789', formatId: '123 456 789', accessCode: 'K7P2QX', secret: 's3cr3t', name: 'Ana', server: 'https://s.example' });
  for (const bad of [null, undefined, 'x', 7]) assert.equal(identityOf(bad), null, String(bad));
  // The browser page's identity has the same members, with nothing to be reached by.
  if (!globalThis.location) globalThis.location = { origin: 'https://s.example' };
  const web = await WEB_KEEPER.identity();
  assert.deepEqual(Object.keys(web).sort(), Object.keys(identityOf(reply)).sort());
  assert.equal(web.id + web.accessCode + web.secret, '');
  // A session's end and a renewal may carry a new code; anything else carries none.
  assert.equal(accessCodeOf({ ok: true, clave: 'AB12CD' }), 'AB12CD');
  for (const none of [{ ok: true }, { clave: '' }, null, 'AB12CD']) assert.equal(accessCodeOf(none), '', JSON.stringify(none));
  // The state: recents and past sessions entry by entry, a session received told by its role.
  const st = stateOf({
    recientes: [{ id: '987654321', nombre: 'Beto', fecha: '2026-12-10 07:04:09' }, null],
    sesiones: [{ fecha: '2026-12-09 10:00:00', rol: 'recibi', con: 'Beto', id: '', segundos: 75, control: true },
      { fecha: '2026-12-09 11:00:00', rol: 'di', con: 'Ana', id: '123456789', segundos: 5 }],
    actualizacion: { phase: 'idle' }, admin: false, inicio_windows: true, servidor: 'https://s.example',
    control_posible: false, control_motivo: 'sin escritorio', control_rechazo: '', control_pregunta: true,
  });
  assert.deepEqual(st.recents, [{ id: '987654321', name: 'Beto', date: '2026-12-10 07:04:09' }, null]);
  assert.deepEqual(st.history.map((h) => [h.received, h.peer, h.peerId, h.seconds, !!h.control]),
    [[true, 'Beto', '', 75, true], [false, 'Ana', '123456789', 5, false]]);
  assert.deepEqual([st.update.phase, st.admin, st.autostart, st.server], ['idle', false, true, 'https://s.example']);
  assert.deepEqual([st.controlPossible, st.controlBlockedWhy, st.controlRefused, st.desktopAsking],
    [false, 'sin escritorio', '', true]);
  assert.equal(stateOf(null), null);
  assert.equal(recentsOf({ ok: false }), null);
  // The browser page keeps its recents its own way but hands them over in the same shape.
  const added = await WEB_KEEPER.addRecent('987654321', ' Beto ');
  assert.deepEqual(added.map((r) => [r.id, r.name]), [['987654321', 'Beto']]);
  assert.deepEqual(Object.keys(added[0]).sort(), Object.keys(st.recents[0]).sort());
});

test('mmss shows minutes, then hours from one hour on', () => {
  const cases = [
    [0, '0:00'], [5, '0:05'], [59, '0:59'], [60, '1:00'], [125.0, '2:05'], [124.6, '2:04'],
    [3599, '59:59'], [3600, '1:00:00'], [3661, '1:01:01'], [36000, '10:00:00'],
    [-5, '0:00'], [null, '0:00'], ['x', '0:00'], ['90', '1:30'],
  ];
  for (const [v, want] of cases) assert.equal(mmss(v), want, `mmss(${v})`);
});

test('the ID field groups digits as they are typed and keeps at most nine', () => {
  const f = formatIdField;
  let typed = '';
  const seen = [];
  for (const ch of '1234567890') {
    typed = f(typed + ch);
    seen.push(typed);
  }
  assert.deepEqual(seen, [
    '1', '12', '123', '123 4', '123 45', '123 456', '123 456 7', '123 456 78', '123 456 789', '123 456 789',
  ]);
  assert.equal(f('12a3-45 6'), '123 456');
  assert.equal(f(' 987 654 321 '), '987 654 321');
  assert.equal(f('123 '), '123');
  assert.ok(f('1234567890123').length <= 11);
});

test('a switch is off only for no, 0, false and off', () => {
  for (const v of ['no', 'NO', ' No ', '0', 'false', 'False', 'off', ' OFF ']) assert.equal(yes(v), false, v);
  for (const v of ['si', 'sí', 'yes', '1', 'true', 'on', '', '  ', 'nope', undefined, null]) assert.equal(yes(v), true, String(v));
});

test('join checks: nine digits not starting with 0, an access code, not the own ID', () => {
  const jp = joinProblem;
  assert.equal(jp('012 345 678', 'ABC', '111222333').textId, 'badId');
  assert.equal(jp('12345678', 'ABC', '111222333').textId, 'badId');
  assert.equal(jp('123 456 789', ' - ', '111222333').textId, 'noKey');
  assert.equal(jp('111 222 333', 'abc', '111222333').textId, 'selfId');
  assert.equal(jp('123 456 789', 'k7p-2qx', '111222333'), null);
  assert.equal(cleanAccessCode(' k7p-2 qx '), 'K7P2QX');
});

test('call codes: six of A-Z and 0-9, typed in any case', () => {
  const norm = normCallCode;
  assert.equal(norm('  ab2c3d '), 'AB2C3D');
  assert.equal(norm('ABCDE'), null);
  assert.equal(norm('ABCDEFG'), null);
  assert.equal(norm('AB-CDE'), null);
});

test('server test URL: the field, else the server in use, less one trailing slash', () => {
  const u = serverTestUrl;
  assert.equal(u(' https://sig.example/ ', 'https://default'), 'https://sig.example/health');
  // Only one slash goes.
  assert.equal(u('https://sig.example//', ''), 'https://sig.example//health');
  assert.equal(u('', 'http://127.0.0.1:9000'), 'http://127.0.0.1:9000/health');
});

test('release notes: escaped first, then bold and bullets', () => {
  const notes = notesHtml;
  assert.equal(notes('- **Nuevo**: chat\n  - otra <b>cosa</b>\nfin'), '• <b>Nuevo</b>: chat<br>• otra &lt;b&gt;cosa&lt;/b&gt;<br>fin');
  assert.equal(notes(null), '');
  assert.equal(notes('2 * 3 ** 4'), '2 * 3 ** 4');
});

test('update bar: a result first, then progress, then an offer not put off', () => {
  const bar = (u) => updBarContent(u);
  setLang('es');
  const latest = { version: '0.2.0', changes: [] };
  const base = { current: '0.1.1', phase: 'available', available: true, latest, dismissed: null, msg: '' };
  assert.equal(bar(null), null);
  assert.equal(bar({ ...base, phase: 'idle', available: false }), null);
  assert.equal(bar(base).kind, 'available');
  assert.equal(bar({ ...base, dismissed: '0.2.0' }), null);
  assert.equal(bar({ ...base, dismissed: '0.1.9' }).kind, 'available');
  assert.equal(bar({ ...base, phase: 'downloading', msg: 'Descargando…' }).kind, 'busy');
  const done = bar({ ...base, phase: 'downloading', result: { version: '0.2.0', ok: true } });
  assert.equal(done.kind, 'result-ok');
  const failed = bar({ ...base, result: { version: '0.2.0', ok: false, error: '<i>disco lleno</i>' } });
  assert.equal(failed.kind, 'result-fail');
  assert.match(failed.html, /&lt;i&gt;disco lleno&lt;\/i&gt;$/);
  assert.match(bar({ ...base, latest: { version: '<b>9</b>' } }).html, /v&lt;b&gt;9&lt;\/b&gt;/);
});

test("the host's Spanish texts reach an English page in English, their variable rest kept", () => {
  setLang('es');
  assert.equal(hostText('sin permiso de control'), 'sin permiso de control');
  setLang('en');
  assert.equal(hostText('Termina la sesión antes de cambiar tu ID'), 'End the session before changing your ID');
  // The system's own text after a refusal, a name and an address come through untouched.
  assert.equal(hostText('No se pudo quitar el inicio al iniciar sesión: Permission denied: /x/autostart'),
    "Couldn't turn off start at log-in: Permission denied: /x/autostart");
  assert.equal(hostText('No se pudo activar el inicio con Windows (requiere ejecutar Vantriel como administrador). ERROR: Acceso denegado.'),
    "Couldn't turn on start with Windows (Vantriel must run as administrator). ERROR: Acceso denegado.");
  assert.equal(hostText('Vantriel ya no se abrirá al iniciar Windows.'), 'Vantriel will no longer open when Windows starts.');
  assert.equal(hostText('Rechazaste el control remoto en la ventana de tu escritorio (o la cerraste sin elegir).'),
    "You refused remote control in your desktop's window (or closed it without choosing).");
  assert.equal(hostText('Primero termina la sesión de soporte y la llamada (una actualización la cortaría).'),
    'First finish the support session and the call (an update would cut it off).');
  assert.equal(hostText('Esta versión no se puede instalar desde la app: descárgala de vantriel.app/descargar.'),
    "This version can't be installed from the app: download it from vantriel.app/descargar.");
  // Unknown texts and empty values are shown as they came.
  assert.equal(hostText('algo nuevo del host'), 'algo nuevo del host');
  assert.equal(hostText(null), null);
  assert.equal(hostText(''), '');
  // The update bar says the host's progress in the page's language, still escaped.
  const waiting = updBarContent({ current: '0.1.1', phase: 'waiting', msg: 'Lista para instalar: esperando a que termine «la llamada»…' });
  assert.match(waiting.html, /Ready to install: waiting for the call to end…/);
  // The other PC's refusal (its clipboard out of reach) shows only in the host's own words.
  const noClipboard = 'Este escritorio Wayland no deja que otros programas usen el portapapeles: no ofrece el control de datos de wlroots (sway, KDE) ni XWayland.';
  assert.match(knownHostText(noClipboard), /^This Wayland desktop doesn't let other programs use the clipboard/);
  // A read that failed is told apart from an empty clipboard, in the technician's language.
  const unread = 'No se pudo leer el portapapeles: el programa que tiene el texto copiado no respondió. Copia el texto de nuevo y vuelve a intentarlo.';
  assert.match(knownHostText(unread), /^Couldn't read the clipboard: the program holding the copied text didn't answer/);
  for (const peerWords of ['Llama al 555 para desbloquear tu PC', 'toString', '__proto__', null, undefined, 7]) {
    assert.equal(knownHostText(peerWords), null, String(peerWords));
  }
  setLang('es');
  assert.equal(knownHostText(noClipboard), noClipboard);
});
