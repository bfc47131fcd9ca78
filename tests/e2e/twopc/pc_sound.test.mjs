// The PC's sound from a Linux host, as the technician hears it: a tone playing on the
// person's PC reaches the technician through the shared screen's sound with PulseAudio
// and with PipeWire, the technician's own voice on the voice line does not come back in
// it, the person's sound set-up is given back when the session ends, and a PC without a
// sound server shares its screen without sound (never the browser's made-up beep).
// The sound servers are the test's own, in a private runtime folder; the host PC's
// browser runs with what the host's app window gets on Linux.
import test from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { spawn, execFile } from 'node:child_process';
import { before, after } from 'node:test';
import { waitFor, withTwoPcs } from '../lib/twopc.mjs';
import { waitToast } from '../lib/host.mjs';
import { fakeMic, toneWav } from './calls_kit.mjs';

const PC_TONE = 440; // what plays on the person's PC
const VOICE_TONE = 1000; // the technician's microphone
const BEEP = 398; // Chromium's made-up input
const SPEAKERS = 'altavoces'; // the person's speakers: a null sink as the default output

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const root = fs.mkdtempSync(path.join(os.tmpdir(), 'vtr-pcsound-'));
const runtime = path.join(root, 'run');
fs.mkdirSync(runtime, { mode: 0o700 });
fs.chmodSync(runtime, 0o700);
// Clients find the server in the runtime folder; servers keep their state under HOME.
const clientEnv = { XDG_RUNTIME_DIR: runtime, PULSE_COOKIE: path.join(root, 'cookie') };
const serverEnv = {
  ...process.env, ...clientEnv, HOME: root, XDG_CONFIG_HOME: path.join(root, 'config'),
  XDG_STATE_HOME: path.join(root, 'state'), XDG_DATA_HOME: path.join(root, 'data'), PIPEWIRE_RUNTIME_DIR: runtime,
};
delete serverEnv.PULSE_SERVER;
delete serverEnv.DBUS_SESSION_BUS_ADDRESS;
const voiceWav = toneWav(path.join(root, 'voice.wav'), VOICE_TONE, { on: 0.45, off: 0.05, amp: 0.5 });

const servers = []; // the running sound server's processes, last started first stopped
let tone = null;

function pactl(...args) {
  return new Promise((resolve, reject) => {
    execFile('pactl', args, { env: serverEnv, timeout: 10000 }, (err, out, errOut) => {
      if (err) reject(new Error(`pactl ${args.join(' ')}: ${err.message} ${errOut}`));
      else resolve(out.trim());
    });
  });
}

function startProc(cmd, args, log) {
  const out = fs.openSync(path.join(root, log), 'a');
  const p = spawn(cmd, args, { env: serverEnv, stdio: ['ignore', out, out] });
  fs.closeSync(out);
  servers.push(p);
  return p;
}

async function stopServers() {
  if (tone) tone.kill('SIGKILL');
  tone = null;
  for (const p of servers.reverse()) {
    if (p.exitCode !== null || p.signalCode !== null) continue;
    const gone = new Promise((r) => p.once('exit', r));
    p.kill('SIGTERM');
    const t = setTimeout(() => p.kill('SIGKILL'), 3000);
    await gone;
    clearTimeout(t);
  }
  servers.length = 0;
  for (const f of fs.readdirSync(runtime)) fs.rmSync(path.join(runtime, f), { recursive: true, force: true });
}

// The person's speakers as the default output, once the server answers.
async function speakersReady() {
  await waitFor(() => pactl('info').then(() => true), { timeout: 15000, what: 'the sound server to answer' });
  if (!(await pactl('list', 'short', 'sinks')).split('\n').some((l) => l.split('\t')[1] === SPEAKERS)) {
    await pactl('load-module', 'module-null-sink', `sink_name=${SPEAKERS}`);
  }
  await waitFor(() => pactl('set-default-sink', SPEAKERS).then(() => true), { timeout: 15000, what: 'the speakers as default' });
}

async function startPulseAudio() {
  startProc('pulseaudio', ['-n', '--daemonize=no', '--exit-idle-time=-1', '--use-pid-file=no', '--disable-shm',
    '-L', 'module-native-protocol-unix auth-anonymous=1', '-L', `module-null-sink sink_name=${SPEAKERS}`,
    '-L', 'module-always-sink'], 'pulseaudio.log');
  await speakersReady();
}

// PipeWire with its session manager (which needs a session bus of its own) and its
// PulseAudio server.
async function startPipeWire() {
  const out = fs.openSync(path.join(root, 'dbus.log'), 'a');
  const dbus = spawn('dbus-daemon', ['--session', '--nofork', '--print-address=3'],
    { env: serverEnv, stdio: ['ignore', out, out, 'pipe'] });
  fs.closeSync(out);
  servers.push(dbus);
  const address = await new Promise((resolve, reject) => {
    let text = '';
    dbus.stdio[3].on('data', (d) => { text += d; if (text.includes('\n')) resolve(text.trim()); });
    dbus.once('exit', () => reject(new Error('dbus-daemon ended at start')));
  });
  serverEnv.DBUS_SESSION_BUS_ADDRESS = address;
  startProc('pipewire', [], 'pipewire.log');
  await sleep(300);
  startProc('wireplumber', [], 'wireplumber.log');
  startProc('pipewire-pulse', [], 'pipewire-pulse.log');
  await speakersReady();
  delete serverEnv.DBUS_SESSION_BUS_ADDRESS;
}

// The person's PC plays a steady tone into its default output.
function playTone() {
  const rate = 48000;
  const n = rate * 120;
  const pcm = Buffer.alloc(n * 2);
  for (let i = 0; i < n; i++) pcm.writeInt16LE(Math.round(16000 * Math.sin(2 * Math.PI * PC_TONE * i / rate)), i * 2);
  tone = spawn('pacat', ['--raw', '--rate=48000', '--channels=1', '--format=s16le'],
    { env: serverEnv, stdio: ['pipe', 'ignore', 'ignore'] });
  tone.stdin.on('error', () => {});
  tone.stdin.end(pcm);
}

let pcs;
before(async () => {
  await startPulseAudio();
});
withTwoPcs((p) => { pcs = p; }, {
  hostPcEnv: { ...clientEnv, PULSE_SERVER: undefined },
  // As the host starts its app window on Linux, with the speakers it found.
  hostBrowserEnv: { PULSE_SINK: SPEAKERS },
  hostBrowserArgs: ['--enable-features=PulseaudioLoopbackForScreenShare', '--system-audio-capture-default_checked',
    '--disable-features=WebRtcAllowInputVolumeAdjustment', '--autoplay-policy=no-user-gesture-required'],
  hostFakeUi: false,
  techBrowserArgs: fakeMic(voiceWav),
});
after(async () => {
  await stopServers();
  fs.rmSync(root, { recursive: true, force: true });
});

// What the technician receives as the PC's sound over `ms`: the strongest frequency, the
// loudest level (dBFS, RMS of 50 ms windows) and the spectrum's peak level at each of
// `tones` (dB, AnalyserNode scale).
function received(page, tones, ms = 2500) {
  return page.evaluate(async ([tones, ms]) => {
    const src = document.getElementById('vAudio').srcObject;
    const track = src && src.getAudioTracks()[0];
    if (!track) return { none: true };
    const ac = new AudioContext();
    const an = ac.createAnalyser();
    an.fftSize = 8192;
    an.smoothingTimeConstant = 0;
    ac.createMediaStreamSource(new MediaStream([track])).connect(an);
    const peak = new Float32Array(an.frequencyBinCount).fill(-Infinity);
    const now = new Float32Array(an.frequencyBinCount);
    const wave = new Float32Array(2400);
    let rms = -Infinity;
    const end = Date.now() + ms;
    while (Date.now() < end) {
      await new Promise((r) => setTimeout(r, 50));
      an.getFloatFrequencyData(now);
      for (let i = 0; i < now.length; i++) peak[i] = Math.max(peak[i], now[i]);
      an.getFloatTimeDomainData(wave);
      let sum = 0;
      for (const v of wave) sum += v * v;
      rms = Math.max(rms, 10 * Math.log10(sum / wave.length || 1e-20));
    }
    await ac.close();
    const hz = ac.sampleRate / an.fftSize;
    let best = 1;
    for (let i = 2; i < peak.length; i++) if (peak[i] > peak[best]) best = i;
    const at = (f) => {
      const i = Math.round(f / hz);
      return Math.max(peak[i - 1], peak[i], peak[i + 1]);
    };
    return { hz: best * hz, dbfs: rms, levels: tones.map(at), muted: track.muted };
  }, [tones, ms]);
}

async function openSoundSession({ voice = false } = {}) {
  const { host, tech } = pcs;
  await host.page.waitForFunction(() => document.getElementById('hostStatus').classList.contains('ok'), null, { timeout: 15000 });
  await tech.page.fill('#peerId', host.id);
  await tech.page.fill('#peerKey', (await host.page.textContent('#myKey')).trim());
  await tech.page.click('#connectBtn');
  await host.page.waitForSelector('#reqDlg:not([hidden])');
  await host.page.setChecked('#reqAudio', true);
  await host.page.waitForSelector('#reqAccept:not([disabled])');
  await host.page.click('#reqAccept');
  await host.page.waitForSelector('#hostbar:not([hidden]) #hbEnd', { timeout: 20000 });
  await tech.page.waitForFunction(() => document.getElementById('vVideo').videoWidth > 0, null, { timeout: 20000 });
  if (voice) {
    await tech.page.click('#vCall');
    await tech.page.waitForSelector('#vCall[aria-pressed="true"]', { timeout: 10000 });
  }
}

async function endSession() {
  await pcs.host.page.click('#hbEnd');
  await pcs.host.page.waitForSelector('#hostbar', { state: 'hidden', timeout: 10000 });
  await pcs.tech.page.waitForSelector('#viewer', { state: 'hidden', timeout: 10000 });
}

// One session with a sound server: the tone arrives, the voice line's sound does not come
// back, and the speakers are the default output again once it ends.
async function soundSession(server) {
  playTone();
  await openSoundSession({ voice: true });
  assert.equal(await pactl('get-default-sink'), 'vantriel_captura', 'the capture sink is the default while sharing');
  // The technician's voice reaches the person's PC (played to the speakers there).
  const heardThere = await pcs.host.page.evaluate(() => !!document.getElementById('voiceAudio').srcObject);
  assert.ok(heardThere);
  await sleep(1500);
  const got = await received(pcs.tech.page, [PC_TONE, VOICE_TONE]);
  console.log(`${server}: PC sound at the technician: ${got.hz.toFixed(1)} Hz, ${got.dbfs.toFixed(1)} dBFS; ` +
    `${PC_TONE} Hz at ${got.levels[0].toFixed(1)} dB, own voice (${VOICE_TONE} Hz) at ${got.levels[1].toFixed(1)} dB ` +
    `(${(got.levels[0] - got.levels[1]).toFixed(1)} dB below)`);
  assert.ok(!got.none, 'the technician receives a PC-sound track');
  assert.ok(Math.abs(got.hz - PC_TONE) <= 6, `dominant ${got.hz} Hz`);
  assert.ok(got.dbfs > -20, `level ${got.dbfs} dBFS`);
  assert.ok(got.levels[0] - got.levels[1] >= 30, 'the technician\'s own voice comes back');
  await endSession();
  // The person's set-up as it was: speakers by default, none of the host's modules left.
  await waitFor(async () => (await pactl('get-default-sink')) === SPEAKERS, { timeout: 10000, what: 'the speakers as default again' });
  await waitFor(async () => !(await pactl('list', 'short', 'sinks')).includes('vantriel_captura'),
    { timeout: 10000, what: 'the capture sink gone' });
  assert.ok(!(await pactl('list', 'short', 'modules')).includes('module-loopback'));
  tone.kill('SIGKILL');
  tone = null;
}

test('with PulseAudio the PC\'s sound reaches the technician without their own voice', async () => {
  await soundSession('PulseAudio');
  assert.deepEqual(pcs.pageErrors(), []);
});

test('without a sound server the screen is shared without sound, and the person is told', async () => {
  await stopServers();
  await openSoundSession();
  await waitToast(pcs.host.page, /sin el audio de la PC|without the PC's sound/, 10000);
  const techAudio = await pcs.tech.page.evaluate(() => document.getElementById('vAud').disabled);
  const got = await received(pcs.tech.page, [BEEP]);
  console.log(`no sound server: PC-sound track ${got.none ? 'absent' : `${got.dbfs.toFixed(1)} dBFS, ${BEEP} Hz at ${got.levels[0].toFixed(1)} dB`}`);
  assert.ok(techAudio, 'the technician\'s audio button is off');
  assert.ok(got.none || got.dbfs < -60, 'something sounds where there is no PC sound');
  await endSession();
});

test('with PipeWire the PC\'s sound reaches the technician without their own voice', async () => {
  await startPipeWire();
  // The browser meets its sound server when it starts, as the app window does.
  await pcs.restartHostBrowser();
  await soundSession('PipeWire');
  assert.deepEqual(pcs.pageErrors(), []);

  // A host that dies mid-session (the file's last use of it) still gives the person's
  // set-up back.
  await openSoundSession();
  assert.equal(await pactl('get-default-sink'), 'vantriel_captura');
  process.kill(JSON.parse(pcs.host.app.readData('instancia.json')).pid, 'SIGKILL');
  await pcs.host.app.exit;
  await waitFor(async () => (await pactl('get-default-sink')) === SPEAKERS, { timeout: 10000, what: 'the speakers as default after the crash' });
  // The host's undo unloads the loop, then the sink, each by a call of its own.
  await waitFor(async () => !(await pactl('list', 'short', 'modules')).includes('module-loopback') &&
      !(await pactl('list', 'short', 'sinks')).includes('vantriel_captura'),
    { timeout: 10000, what: 'the loop and the capture sink gone after the crash' });
});
