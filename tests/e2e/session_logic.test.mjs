// The session's decisions that need no browser: SDP adjustments, monitor matching,
// quality, the pointer and wheel, shortcuts, the host's input queue, the statistics line.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { pageModule } from './lib/page_scripts.mjs';

const { mungeOpus, pickCodec, sortCodecs } = await pageModule('sdp.js');
const { clampFps, displayOpts, matchMonitor, qualityAfter, qualityParams, settingFps } = await pageModule('screen.js');
const { COMBOS, comboEvents, InputQueue, pointerFraction, WheelAccumulator, cleanEvents, peerEvents, peerMove, peerText,
  TEXT_MAX_CHARS, BATCH_MAX_CHARS, QUEUE_MAX_EVENTS, QUEUE_MAX_CHARS, IN_MAX_EVENTS, KEY_CODE_MAX_CHARS, WHEEL_MAX } = await pageModule('input_logic.js');
const { statsLine } = await pageModule('stats.js');

const sdp = (...sections) => ['v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0', ...sections].join('\r\n') + '\r\n';
const audio = (pt, extra = []) => [`m=audio 9 UDP/TLS/RTP/SAVPF ${pt} 0`, `a=mid:${pt}`, `a=rtpmap:${pt} opus/48000/2`, ...extra].join('\r\n');
const fmtp = (text, pt) => text.match(new RegExp(`a=fmtp:${pt} [^\\r]*`))[0];

test('Opus: the PC sound goes stereo at high rate, voice lines get short packets; other lines stay', () => {
  const video = 'm=video 9 UDP/TLS/RTP/SAVPF 96\r\na=rtpmap:96 VP8/90000\r\na=fmtp:96 x-google=1';
  const offer = sdp(video, audio(111, ['a=fmtp:111 minptime=10;useinbandfec=0;foo']), audio(109), audio(110));
  const out = mungeOpus(offer);
  // Existing parameters keep their order; new values override, new names are appended.
  assert.equal(fmtp(out, 111), 'a=fmtp:111 minptime=10;useinbandfec=1;foo;stereo=1;sprop-stereo=1;maxaveragebitrate=192000');
  assert.equal(fmtp(out, 109), 'a=fmtp:109 minptime=10;useinbandfec=1;usedtx=0');
  assert.match(out, /a=rtpmap:109 opus\/48000\/2\r\na=fmtp:109 /, 'inserted right after its rtpmap');
  assert.equal(fmtp(out, 110), 'a=fmtp:110 minptime=10;useinbandfec=1;usedtx=0');
  assert.ok(out.includes('a=fmtp:96 x-google=1'));
  assert.equal(out.split('\r\n').length, offer.split('\r\n').length + 2);

  // Calls treat every audio section as a voice line; the rtpmap matches in any case.
  const call = mungeOpus(sdp(audio(111).replace('opus', 'OPUS')), true);
  assert.equal(fmtp(call, 111), 'a=fmtp:111 minptime=10;useinbandfec=1;usedtx=0');
  // No Opus at 48 kHz: the section is left as it is.
  const pcmu = sdp('m=audio 9 UDP/TLS/RTP/SAVPF 0\r\na=rtpmap:0 PCMU/8000');
  assert.equal(mungeOpus(pcmu), pcmu);
  assert.equal(mungeOpus(undefined), undefined);
});

test('video codecs: VP8, VP9, H.264 mode 1, other H.264, AV1, the rest, stable within a kind', () => {
  const c = (mimeType, sdpFmtpLine = '') => ({ mimeType, sdpFmtpLine });
  const list = [c('video/VP8'), c('video/rtx'), c('video/H264', 'packetization-mode=0;a'), c('video/AV1'),
    c('video/H264', 'packetization-mode=1;b'), c('video/VP9', 'profile-id=0'), c('video/H264', 'packetization-mode=1;c'),
    c('video/VP9', 'profile-id=2')];
  assert.deepEqual(sortCodecs(list).map((x) => x.mimeType + ' ' + x.sdpFmtpLine), [
    'video/VP8 ', 'video/VP9 profile-id=0', 'video/VP9 profile-id=2',
    'video/H264 packetization-mode=1;b', 'video/H264 packetization-mode=1;c', 'video/H264 packetization-mode=0;a', 'video/AV1 ', 'video/rtx ',
  ]);
  // The codec a quality sends with: its first preference both sides negotiated.
  const negotiated = [c('video/H264', 'packetization-mode=0;a'), c('video/rtx'), c('video/VP8'), c('video/H264', 'packetization-mode=1;b')];
  assert.equal(pickCodec(negotiated, ['video/VP9', 'video/H264', 'video/VP8']).sdpFmtpLine, 'packetization-mode=1;b',
    'no VP9 negotiated: H.264, in packetization mode 1');
  assert.equal(pickCodec(negotiated, ['video/vp8']).mimeType, 'video/VP8');
  assert.equal(pickCodec(negotiated, ['video/AV1']), null, 'none of them: the browser\'s own');
  assert.equal(pickCodec([], ['video/VP8']), null, 'nothing negotiated yet');
  assert.equal(pickCodec([null, { mimeType: 7 }, c('video/VP8')], ['video/VP8']).mimeType, 'video/VP8');
  assert.equal(pickCodec(undefined, undefined), null);
});

test('monitor matching: exact size first, then aspect ratio, the primary breaking ties', () => {
  const m = (i, w, h, primary = false) => ({ i, w, h, primary });
  assert.equal(matchMonitor([m(3, 800, 600)], 1920, 1080), 3, 'one monitor is that monitor');
  assert.equal(matchMonitor([], 1920, 1080), 0);
  const twins = [m(0, 1920, 1080), m(1, 1920, 1080, true), m(2, 1280, 1024)];
  assert.equal(matchMonitor(twins, 1920, 1080), 1, 'identical monitors: the primary');
  assert.equal(matchMonitor(twins, 1280, 1024), 2);
  // A scaled capture (1280x720 of a 16:9 screen) matches by ratio, within 0.02.
  assert.equal(matchMonitor([m(0, 1280, 1024, true), m(1, 2560, 1440)], 1280, 720), 1);
  assert.equal(matchMonitor([m(0, 1280, 1024), m(1, 1680, 1050, true)], 1000, 1000), 1, 'nothing near: the primary');
  assert.equal(matchMonitor([m(0, 1280, 1024), m(1, 1024, 768)], 1000, 1000), 0, 'nor a primary: the first');
  assert.equal(matchMonitor([m(0, 1280, 1024, true), m(1, 3840, 2160)], undefined, undefined), 1, 'unknown size counts as 16:9');
});

test('quality: frame rates clamped to 5-60, unknown qualities keep the current one', () => {
  const cur = { quality: 'nitidez', fps: 30 };
  assert.deepEqual(qualityAfter(cur, { q: 'fluidez', fps: 1 }), { quality: 'fluidez', fps: 5 });
  assert.deepEqual(qualityAfter(cur, { q: 'ultra', fps: 120 }), { quality: 'nitidez', fps: 60 });
  assert.deepEqual(qualityAfter(cur, { q: 'auto', fps: 'rápido' }), { quality: 'auto', fps: 30 });
  assert.deepEqual(qualityAfter(cur, { q: 'auto' }), { quality: 'auto', fps: 30 }, 'no fps keeps the rate');
  assert.deepEqual(qualityAfter({ quality: 'auto', fps: 15 }, {}), { quality: 'auto', fps: 15 });
  assert.equal(clampFps('24'), 24);
  assert.equal(clampFps(null), 30);
  assert.deepEqual([settingFps('60'), settingFps(''), settingFps('x'), settingFps(undefined)], [60, 30, 30, 30]);
  // Every quality can fall back to any codec the browser sends; an unknown one is "auto".
  for (const q of ['auto', 'nitidez', 'fluidez']) {
    assert.deepEqual([...qualityParams(q).codecs].sort(), ['video/AV1', 'video/H264', 'video/VP8', 'video/VP9'], q);
  }
  assert.deepEqual(qualityParams('lo que sea'), qualityParams('auto'));
  // The offer's order is "auto"'s, so a session starts with the codec "auto" sends.
  assert.equal(sortCodecs(qualityParams('auto').codecs.map((mimeType) => ({ mimeType }))).map((x) => x.mimeType).join(),
    qualityParams('auto').codecs.join());
});

test('capture options: up to the screen\'s own size, the PC sound only when asked for', () => {
  const plain = displayOpts(15, false);
  assert.deepEqual(plain.video.frameRate, { ideal: 15, max: 15 });
  assert.ok(plain.video.width.max >= 3840 && plain.video.height.max >= 2160, 'no 1280x720 default ceiling');
  assert.equal(plain.audio, false);
  assert.equal(plain.systemAudio, undefined);
  const withSound = displayOpts(30, true);
  assert.equal(withSound.audio.echoCancellation, false);
  assert.equal(withSound.audio.restrictOwnAudio, true);
  assert.equal(withSound.systemAudio, 'include');
});

test('the pointer maps onto the picture inside its black bars', () => {
  // A 1600x900 box showing a 1280x800 picture: bars of 80 px left and right.
  const box = { left: 10, top: 20, width: 1600, height: 900 };
  assert.deepEqual(pointerFraction(box, 1280, 800, 10 + 80, 20), { x: 0, y: 0 });
  assert.deepEqual(pointerFraction(box, 1280, 800, 10 + 80 + 1440, 20 + 900), { x: 1, y: 1 });
  assert.deepEqual(pointerFraction(box, 1280, 800, 10 + 800, 20 + 450), { x: 0.5, y: 0.5 });
  assert.ok(pointerFraction(box, 1280, 800, 10 + 20, 20).x < 0, 'on the left bar');
  // A tall box: bars above and below; an unknown size counts as 16:9; five decimals.
  const tall = { left: 0, top: 0, width: 1000, height: 1000 };
  assert.deepEqual(pointerFraction(tall, 0, 0, 500, 500), { x: 0.5, y: 0.5 });
  const third = 1000 / 3;
  assert.deepEqual(pointerFraction(tall, 1000, 3000, third + third * 0.123456, 1000), { x: 0.12346, y: 1 });
});

test('the wheel sends whole notches of 40 and keeps the rest', () => {
  const w = new WheelAccumulator();
  assert.equal(w.add(0, 20, 0), null, '20 px is not a notch yet');
  assert.deepEqual(w.add(0, 20, 0), { k: 'w', dy: -40, dx: 0 }, '24 + 24 = 48: one notch down, 8 kept');
  assert.deepEqual(new WheelAccumulator().add(0, -100, 0), { k: 'w', dy: 120, dx: 0 }, 'a usual notch up is 120');
  assert.deepEqual(new WheelAccumulator().add(1, 0, 1), { k: 'w', dy: 0, dx: 40 }, 'one line is 48');
  assert.deepEqual(new WheelAccumulator().add(0, 1, 2), { k: 'w', dy: -960, dx: 0 }, 'a page is 960');
  const both = new WheelAccumulator();
  assert.deepEqual(both.add(-50, 50, 0), { k: 'w', dy: -40, dx: -40 });
  assert.deepEqual(both.add(-20, 20, 0), { k: 'w', dy: -40, dx: -40 });
});

test('shortcuts: every key down in order, then the ups in reverse, in menu order', () => {
  assert.deepEqual(COMBOS.map(([name]) => name), ['taskmgr', 'win', 'run', 'explorer', 'settings', 'desk', 'alttab', 'altf4', 'lock', 'prt']);
  assert.deepEqual(comboEvents(['ControlLeft', 'ShiftLeft', 'Escape']), [
    { k: 'kd', c: 'ControlLeft' }, { k: 'kd', c: 'ShiftLeft' }, { k: 'kd', c: 'Escape' },
    { k: 'ku', c: 'Escape' }, { k: 'ku', c: 'ShiftLeft' }, { k: 'ku', c: 'ControlLeft' },
  ]);
});

test('the host\'s input queue: order kept, moves collapsed, batches of 200, bounded', () => {
  const q = new InputQueue(500);
  const m = (x) => ({ k: 'm', x, y: 0 });
  q.setMove(m(1));
  q.setMove(m(2));
  assert.deepEqual(q.take(), [m(2)], 'only the latest move');
  assert.equal(q.pending(), false);
  q.setMove(m(3));
  q.push([{ k: 'd', b: 0, x: 0, y: 0 }]);
  assert.deepEqual(q.take(), [{ k: 'd', b: 0, x: 0, y: 0 }], 'an ordered event drops the pending move');
  assert.equal(q.pending(), false);

  const keys = Array.from({ length: 450 }, (_, i) => ({ k: 'kd', c: 'Key' + i }));
  q.push(keys);
  q.setMove(m(4));
  assert.equal(q.take(200).length, 200);
  assert.equal(q.take(200)[0].c, 'Key200');
  assert.deepEqual(q.take(200).map((e) => e.c), keys.slice(400).map((e) => e.c));
  assert.deepEqual(q.take(200), [m(4)], 'the move goes once the queue is empty');

  // A flood: what does not fit is dropped and counted, the order of the rest kept.
  q.push(Array.from({ length: 800 }, (_, i) => ({ k: 'kd', c: String(i) })));
  assert.equal(q.dropped, 300);
  assert.equal(q.events.length, 500);
  assert.equal(q.events[499].c, '499');
  q.clear();
  assert.equal(q.pending(), false);
  assert.equal(new InputQueue().limit, QUEUE_MAX_EVENTS);

  // Text is bounded by characters: a text that does not fit is dropped whole, and a batch
  // carries what the host types in one (a text that would pass it waits for the next).
  assert.equal(BATCH_MAX_CHARS, TEXT_MAX_CHARS);
  assert.ok(QUEUE_MAX_CHARS >= TEXT_MAX_CHARS);
  const tq = new InputQueue();
  const text = (n) => ({ k: 't', s: '😀'.repeat(n) });
  const fill = Math.floor(QUEUE_MAX_CHARS / TEXT_MAX_CHARS);
  const texts = Array.from({ length: fill }, () => text(TEXT_MAX_CHARS));
  tq.push([{ k: 'kd', c: 'KeyA' }, ...texts, text(1), { k: 'ku', c: 'KeyA' }]);
  assert.equal(tq.dropped, 1);
  const batches = [];
  while (tq.pending()) batches.push(tq.take());
  assert.deepEqual(batches.flat(), [{ k: 'kd', c: 'KeyA' }, ...texts, { k: 'ku', c: 'KeyA' }]);
  assert.equal(batches.length, fill, 'one full text a batch');
  tq.push([text(TEXT_MAX_CHARS)]);
  assert.equal(tq.dropped, 1, 'what was taken makes room');
  tq.clear();
  tq.push([text(QUEUE_MAX_CHARS > TEXT_MAX_CHARS ? TEXT_MAX_CHARS : 1)]);
  assert.equal(tq.dropped, 1, 'clearing makes room');
});

test('peer input: each kind keeps only its members, typed and bounded; an over-long message gives none', () => {
  const big = 'x'.repeat(100000);
  assert.deepEqual(cleanEvents([{ k: 'm', x: 1, y: 0.5, s: big }, null, 'kd', [1], { c: 'KeyA' }, { k: 7 }, { k: 'rel', ev: [big] },
    { k: 'm', x: 1 }, { k: 'm', x: NaN, y: 0 }, { k: 'm', x: '1', y: 0 }, { k: 'zz' }]), [{ k: 'm', x: 1, y: 0.5 }, { k: 'rel' }]);
  assert.deepEqual(cleanEvents({ k: 'm' }), []);
  assert.deepEqual(cleanEvents(undefined), []);
  // Buttons 0-4, with a position only when both are numbers; keys are short codes of letters and digits.
  assert.deepEqual(cleanEvents([{ k: 'd', b: 2, x: 0.5, y: 0.5, c: 'KeyA' }, { k: 'u', b: 0, x: 0.5 }, { k: 'd' }, { k: 'd', b: 5 }, { k: 'u', b: 1.5 }, { k: 'd', b: '0' }]),
    [{ k: 'd', b: 2, x: 0.5, y: 0.5 }, { k: 'u', b: 0 }]);
  const longest = 'K'.repeat(KEY_CODE_MAX_CHARS);
  assert.deepEqual(cleanEvents([{ k: 'kd', c: longest, s: big }, { k: 'ku', c: longest + 'K' }, { k: 'kd', c: '<b>' }, { k: 'kd', c: '' }, { k: 'ku', c: 5 }]),
    [{ k: 'kd', c: longest }]);
  // Wheel amounts are integers within the host's clamp; nothing to scroll is nothing.
  assert.deepEqual(cleanEvents([{ k: 'w', dy: 1e9, dx: -120 }, { k: 'w', dy: 0.5 }, { k: 'w', dy: 0, dx: 0 }]), [{ k: 'w', dy: WHEEL_MAX, dx: -120 }]);
  const rels = (n) => Array.from({ length: n }, () => ({ k: 'rel' }));
  assert.equal(cleanEvents(rels(IN_MAX_EVENTS)).length, IN_MAX_EVENTS);
  assert.deepEqual(cleanEvents(rels(IN_MAX_EVENTS + 1)), []);
  assert.equal(peerMove([...rels(IN_MAX_EVENTS), { k: 'm', x: 0, y: 0 }]), null);
  // `in` never types (text has its own message); `mov` carries one move and nothing else.
  assert.deepEqual(peerEvents([{ k: 'kd', c: 'KeyA' }, { k: 't', s: 'x' }, { k: 'zz' }, { k: 'rel' }]), [{ k: 'kd', c: 'KeyA' }, { k: 'rel' }]);
  assert.deepEqual(peerMove([{ k: 'm', x: 1, y: 0 }, { k: 'm', x: 2, y: 0 }, { k: 'd', b: 0 }]), { k: 'm', x: 2, y: 0 });
  assert.equal(peerMove([{ k: 'd', b: 2, x: 0.5, y: 0.5 }]), null);
});

test('peer text: 1 to TEXT_MAX_CHARS characters, whole or not at all, with unpaired surrogates replaced', () => {
  assert.deepEqual(peerText('x'.repeat(TEXT_MAX_CHARS)), { k: 't', s: 'x'.repeat(TEXT_MAX_CHARS) });
  assert.equal(peerText('x'.repeat(TEXT_MAX_CHARS + 1)), null);
  assert.equal(peerText('😀'.repeat(TEXT_MAX_CHARS)).s.length, 2 * TEXT_MAX_CHARS, 'characters, not UTF-16 units');
  assert.equal(peerText('😀'.repeat(TEXT_MAX_CHARS) + 'x'), null);
  assert.equal(peerText('x'.repeat(10 * TEXT_MAX_CHARS)), null);
  assert.deepEqual(peerText('a\uD800b\uDC00😀\uD83D'), { k: 't', s: 'a\uFFFDb\uFFFD😀\uFFFD' });
  for (const v of ['', null, 5, ['x'], { s: 'x' }]) assert.equal(peerText(v), null);
});

test('statistics: route, round trip, frame rate, size and rate in the own direction', () => {
  const report = (bytes, relay = false) => [
    { id: 'L', type: 'local-candidate', candidateType: relay ? 'relay' : 'host' },
    { id: 'R', type: 'remote-candidate', candidateType: 'srflx' },
    { id: 'P0', type: 'candidate-pair', state: 'in-progress', nominated: false, localCandidateId: 'L', remoteCandidateId: 'R' },
    { id: 'P1', type: 'candidate-pair', state: 'succeeded', nominated: true, currentRoundTripTime: 0.0234, localCandidateId: 'L', remoteCandidateId: 'R' },
    { id: 'O', type: 'outbound-rtp', kind: 'video', framesPerSecond: 29.6, frameWidth: 1280, frameHeight: 800, bytesSent: bytes },
    { id: 'I', type: 'inbound-rtp', kind: 'video', framesPerSecond: 14.2, frameWidth: 640, frameHeight: 400, bytesReceived: bytes / 2 },
    { id: 'A', type: 'outbound-rtp', kind: 'audio', bytesSent: 1 },
  ];
  const first = statsLine(report(1000000), 'host', null, 1000);
  assert.equal(first.line, 'P2P · 23 ms · 30 fps · 1280×800');
  const second = statsLine(report(1500000), 'host', first.sample, 3000);
  assert.equal(second.line, 'P2P · 23 ms · 30 fps · 1280×800 · 2.0 Mbps');
  const tech = statsLine(report(1500000, true), 'tech', { bytes: 500000, at: 1000 }, 3000);
  assert.equal(tech.line, 'TURN · 23 ms · 14 fps · 640×400 · 1.0 Mbps', 'Mbps from 1000 kbps on');
  assert.equal(statsLine(report(1500000), 'tech', { bytes: 500000, at: 1000 }, 9000).line.split(' · ').at(-1), '250 kbps');
  assert.equal(statsLine(report(1500000), 'tech', { bytes: 500000, at: 1000 }, 3002).line.split(' · ').at(-1), '999 kbps');
  assert.equal(statsLine([], 'host', null, 0).line, '');
  // A relay pair that succeeded first is still listed; the transport's pair is the route.
  const direct = [
    { id: 'T', type: 'local-candidate', candidateType: 'relay' },
    { id: 'S', type: 'local-candidate', candidateType: 'srflx' },
    { id: 'R', type: 'remote-candidate', candidateType: 'srflx' },
    { id: 'P0', type: 'candidate-pair', state: 'succeeded', nominated: true, currentRoundTripTime: 0.05, localCandidateId: 'T', remoteCandidateId: 'R' },
    { id: 'P1', type: 'candidate-pair', state: 'succeeded', nominated: true, currentRoundTripTime: 0.02, localCandidateId: 'S', remoteCandidateId: 'R' },
    { id: 'X', type: 'transport', selectedCandidatePairId: 'P1' },
  ];
  assert.equal(statsLine(direct, 'tech', null, 0).line, 'P2P · 20 ms');

  // Quiet: not one byte on the transport since the last sample, whatever the video did.
  const path = (received, video) => [...direct.slice(0, 5), { id: 'X', type: 'transport', selectedCandidatePairId: 'P1', bytesReceived: received },
    { id: 'I', type: 'inbound-rtp', kind: 'video', bytesReceived: video }];
  const a = statsLine(path(5000, 4000), 'tech', null, 1000);
  assert.equal(a.quiet, false, 'nothing to compare with yet');
  const b = statsLine(path(5000, 4000), 'tech', a.sample, 3000);
  assert.equal(b.quiet, true);
  assert.equal(b.line, 'P2P · 20 ms · 0 kbps');
  const c = statsLine(path(5300, 4000), 'tech', b.sample, 5000);
  assert.equal(c.quiet, false, 'RTCP or an ICE check still arrives on a still screen');
  assert.equal(statsLine(direct, 'tech', c.sample, 7000).quiet, false, 'a report without the count says nothing');
});

const { cleanFileName, isRisky, sizeText, transferId } = await pageModule('file_logic.js');

test('received file names: separators, reserved and control characters become _, invisible ones go, at most 180', () => {
  assert.equal(cleanFileName('informe: ¿listo?.pdf'), 'informe_ ¿listo_.pdf');
  assert.equal(cleanFileName('..\\..\\Windows/System32/evil.dll'), '.._.._Windows_System32_evil.dll');
  assert.equal(cleanFileName('a*b"c<d>e|f\u0000g\u001fh\u007f\u0085.txt'), 'a_b_c_d_e_f_g_h__.txt');
  // What the dialog shows is what is saved: "photofip.jpg" on screen is "photogpj.pif".
  assert.equal(cleanFileName('photo\u202Egpj.pif'), 'photogpj.pif');
  assert.equal(cleanFileName('a\u200Bb\u200Fc\u2066d\u2069e\u061Cf\uFEFFg\u00ADh\u2028i\u{E0041}.txt'), 'abcdefghi.txt');
  assert.equal(cleanFileName('\u202E\u200B'), 'archivo');
  // The cut never leaves half of a character outside the Basic Multilingual Plane.
  assert.equal(cleanFileName('x'.repeat(179) + '😀.txt'), 'x'.repeat(179));
  assert.equal(cleanFileName('<img src=x onerror=alert(1)>.png'), '_img src=x onerror=alert(1)_.png');
  assert.equal(cleanFileName('x'.repeat(300)).length, 180);
  assert.equal(cleanFileName(''), 'archivo');
  assert.equal(cleanFileName(undefined), 'archivo');
  assert.equal(cleanFileName(42), 'archivo');
});

test('sizes in the dialog: GB from 1e9, MB from 1e6, else whole KB, at least 1', () => {
  const cases = [[0, '1 KB'], [1, '1 KB'], [499, '1 KB'], [1500, '2 KB'], [999499, '999 KB'], [1e6, '1.0 MB'],
    [52428800, '52.4 MB'], [999999999, '1000.0 MB'], [1e9, '1.00 GB'], [2e9, '2.00 GB']];
  for (const [n, want] of cases) assert.equal(sizeText(n), want, String(n));
});

test('programs and scripts are told apart by their ending, in any case, trailing dots and spaces aside', () => {
  for (const n of ['setup.EXE', 'x.msi', 'run.bat', 'a.cmd', 'p.ps1', 'v.vbs', 'app.js', 'a.jse', 's.scr', 'c.com',
    'link.lnk', 'k.reg', 'h.hta', 'j.jar', 'lib.dll', 'foto.pif', 'x.cpl', 'x.msc', 'x.wsf', 'x.scf', 'x.url', 'x.iso',
    'x.img', 'x.vhd', 'x.VHDX', 'x.appref-ms', 'x.chm', 'x.psm1', 'x.desktop', 'x.sh']) assert.equal(isRisky(n), true, n);
  // Windows runs "setup.exe" for any of these.
  for (const n of ['setup.exe.', 'setup.exe ', 'setup.exe. . ', 'setup.e\u200Bxe', 'photo\u202Egpj.pif']) assert.equal(isRisky(n), true, n);
  for (const n of ['foto.png', 'notes.json', 'exe', 'informe.pdf', 'script.js.txt', 'archivo', 'x.shx', 'x.image', '.', '']) {
    assert.equal(isRisky(n), false, n);
  }
});

const { OfferGate } = await pageModule('file_logic.js');
const { ClipGate, PeerGuard, TokenBucket, chatText, clipText, clockText, dropWorthLogging, peerName } = await pageModule('message_logic.js');

test('peer rates: a burst, then the rate; a clock that goes back earns nothing', () => {
  const b = new TokenBucket(2, 3);
  assert.deepEqual([0, 0, 0, 0].map(() => b.take(1000)), [true, true, true, false]);
  assert.equal(b.take(1499), false, 'just under half a second earns no token at 2/s');
  assert.equal(b.take(1500), true);
  assert.equal(b.take(-5000), false);
  assert.equal(b.take(1500), false, 'the time spent back counts for nothing');
  assert.deepEqual([b.take(11500), b.take(11500), b.take(11500), b.take(11500)], [true, true, true, false], 'never more than the burst');
  // Counts as console lines: the 1st, 2nd, 4th, 8th drop...
  assert.deepEqual([1, 2, 3, 4, 5, 8, 1024, 1025, 0].map(dropWorthLogging), [true, true, false, true, false, true, true, false, false]);
  const g = new PeerGuard();
  g.drop('chat');
  g.drop('__proto__');
  g.drop('toString');
  assert.deepEqual([...g.drops], [['chat', 1], ['other', 2]], 'a kind not of ours counts as other');
});

test('one clipboard request at a time, at most three at once, then one every 2 s', () => {
  const gate = new ClipGate(new PeerGuard());
  assert.equal(gate.begin(0), 'ok');
  assert.equal(gate.begin(10), 'busy');
  gate.end();
  assert.deepEqual([gate.begin(20), (gate.end(), gate.begin(30)), (gate.end(), gate.begin(40))], ['ok', 'ok', 'rate']);
  assert.equal(gate.begin(2100), 'ok');
});

test('file offers: a dialog after a withdrawn offer waits 3 s, doubling to a minute; an answer resets it', () => {
  const gate = new OfferGate(new PeerGuard());
  assert.equal(gate.offer(0), 'show');
  const waits = [];
  let now = 1000;
  for (let i = 0; i < 7; i++) {
    gate.withdrawn(now);
    now += 1000;
    assert.equal(gate.offer(now), 'wait');
    waits.push(gate.waitMs + 1000);
    now += 60000;
  }
  assert.deepEqual(waits, [3000, 6000, 12000, 24000, 48000, 60000, 60000]);
  gate.answered();
  gate.withdrawn(now);
  assert.equal(gate.offer(now + 3000), 'show');
  // Five offers at once, then one a second.
  const flood = new OfferGate(new PeerGuard());
  assert.deepEqual(Array.from({ length: 6 }, () => flood.offer(0)), ['show', 'show', 'show', 'show', 'show', 'refuse']);
  assert.equal(flood.offer(1000), 'show');
});

test('peer texts: chat lines up to 2,000, clipboard texts up to 65,536, names cleaned to 64', () => {
  assert.equal(chatText({ text: 'x'.repeat(2000) }).length, 2000);
  for (const m of [{ text: 'x'.repeat(2001) }, { text: '' }, { text: 5 }, { text: ['a'] }, {}, null]) assert.equal(chatText(m), null);
  assert.equal(clipText({ text: 'y'.repeat(65536) }).length, 65536);
  assert.equal(clipText({ text: 'y'.repeat(65537) }), null);
  assert.deepEqual([clipText({}), clipText({ text: {} }), clipText(null)], ['', '', '']);
  assert.equal(peerName('  Ana\u202E  López\u200B '), 'Ana  López');
  assert.equal(peerName('ñ'.repeat(63) + '😀x'), 'ñ'.repeat(63), 'no half character at the cut');
  assert.deepEqual([peerName('\u202E \u200B'), peerName(7), peerName(null)], [null, null, null]);
  assert.equal(clockText(new Date(2026, 0, 2, 3, 4, 5)), '03:04:05');
  assert.equal(clockText(NaN), '');
});

test('transfer ids: seven base-36 characters, not repeated', () => {
  const ids = new Set(Array.from({ length: 200 }, () => transferId()));
  assert.equal(ids.size, 200);
  for (const id of ids) assert.match(id, /^[0-9a-z]{7}$/);
});

const { CALL_ALPHABET, REJOIN_TRIES, isTalking, meterPct, newCallCode, normCallCode, rejoinDelay, rejoinPlan, rms } = await pageModule('voice_logic.js');

test('call codes: new ones never hold I, O, 0 or 1; typed ones are trimmed and upper-cased', () => {
  assert.equal(CALL_ALPHABET.length, 32);
  assert.doesNotMatch(CALL_ALPHABET, /[IO01]/);
  // Every value modulo 32 picks a letter of the alphabet, the last ones included.
  assert.equal(newCallCode(() => [0, 31, 32, 63, 0xffffffff, 8]), 'A9A99J');
  for (let i = 0; i < 200; i++) assert.match(newCallCode(), /^[A-HJ-NP-Z2-9]{6}$/);
  assert.equal(normCallCode('  ab2c3d '), 'AB2C3D');
  assert.equal(normCallCode('abc1o0'), 'ABC1O0', 'typed codes may hold any letter or digit');
  for (const bad of ['ABCDE', 'ABCDEFG', 'AB CDE', 'ÁBCDEF', null]) assert.equal(normCallCode(bad), null, String(bad));
});

test('level: the meter is RMS x 400 capped at 100; speaking above 0.02 unless muted', () => {
  assert.equal(rms([]), 0);
  assert.equal(rms(new Float32Array([0.5, -0.5, 0.5, -0.5])), 0.5);
  assert.ok(Math.abs(rms([0.03, -0.04]) - Math.sqrt((0.0009 + 0.0016) / 2)) < 1e-12);
  assert.deepEqual([meterPct(0), meterPct(0.1), meterPct(0.25), meterPct(0.9)], [0, 40, 100, 100]);
  assert.equal(isTalking(0.02, false), false, 'the threshold itself is silence');
  assert.equal(isTalking(0.021, false), true);
  assert.equal(isTalking(0.5, true), false, 'muted never speaks');
});

test('call rooms: a page whose room socket closed comes back with back-off and keeps the links that still carry audio', () => {
  // 0.5 s doubling to 8 s, a quarter either way, then it gives up.
  const waits = Array.from({ length: REJOIN_TRIES }, (_, n) => rejoinDelay(n, () => 0.5));
  assert.deepEqual(waits, [500, 1000, 2000, 4000, 8000, 8000, 8000, 8000]);
  assert.equal(rejoinDelay(0, () => 0), 375);
  assert.equal(rejoinDelay(4, () => 0.999999), 10000);
  assert.ok(waits.reduce((a, b) => a + b) > 30000, 'longer than a dead node takes to be noticed');
  for (const n of [REJOIN_TRIES, 99, -1, NaN, undefined]) assert.equal(rejoinDelay(n), null, String(n));

  const peer = (id) => ({ id, name: id.toUpperCase(), muted: false, talk: false });
  const links = new Map([['b', 'connected'], ['c', 'failed'], ['d', 'connected'], ['e', 'disconnected'], ['gone', 'connected']]);
  // Back in its own place: working links to members present stay, broken ones are
  // offered again, away members keep theirs, and members no longer there go.
  const plan = rejoinPlan('me', links, { id: 'me', peers: [peer('b'), peer('c'), peer('n')], away: [peer('d'), peer('e')] });
  assert.deepEqual(plan, { fresh: false, keep: ['b', 'd', 'e'], offer: ['c', 'n'], drop: ['c', 'gone'] });
  // Its place was lost (a new id): everything is remade, this page offering to those present.
  assert.deepEqual(rejoinPlan('me', links, { id: 'new', peers: [peer('b')], away: [peer('d')] }),
    { fresh: true, keep: [], offer: ['b'], drop: ['b', 'c', 'd', 'e', 'gone'] });
  // A welcome from an older server (no away list) or with damaged entries.
  assert.deepEqual(rejoinPlan('me', new Map([['b', 'connected']]), { id: 'me', peers: [null, { id: 7 }, peer('me')] }),
    { fresh: false, keep: [], offer: [], drop: ['b'] });
});

const { CheckExchange, certFingerprints, checkCode, commitmentOf, groupCode, spokenCode } = await pageModule('check_logic.js');
const { createHash } = await import('node:crypto');

const FP_HOST = 'sha-256 ' + Array.from({ length: 32 }, (_, i) => (i * 7).toString(16).padStart(2, '0').toUpperCase()).join(':');
const FP_TECH = 'sha-256 ' + Array.from({ length: 32 }, (_, i) => (255 - i).toString(16).toUpperCase()).join(':');
const NONCE_HOST = 'a1'.repeat(32);
const NONCE_TECH = '0f'.repeat(32);

test('check code: both sides agree from their own views, and any input changes it', async () => {
  const host = await checkCode({ role: 'host', localFp: FP_HOST, remoteFp: FP_TECH, localNonce: NONCE_HOST, remoteNonce: NONCE_TECH });
  const tech = await checkCode({ role: 'tech', localFp: FP_TECH, remoteFp: FP_HOST, localNonce: NONCE_TECH, remoteNonce: NONCE_HOST });
  assert.equal(host, tech);
  // The layout another version of the page must reproduce, computed independently.
  const text = ['vantriel check code 1', FP_HOST, FP_TECH, NONCE_HOST, NONCE_TECH].join('\n');
  const want = String(createHash('sha256').update(text, 'utf8').digest().readUIntBE(0, 6) % 1000000).padStart(6, '0');
  assert.equal(host, want);

  // A page in the middle shows each side its own certificate; a changed nonce too.
  const base = { role: 'host', localFp: FP_HOST, remoteFp: FP_TECH, localNonce: NONCE_HOST, remoteNonce: NONCE_TECH };
  const variants = [
    { remoteFp: FP_TECH.replace(/..$/, '00') },
    { localFp: FP_HOST.replace(/^sha-256 ../, 'sha-256 FF') },
    { localNonce: NONCE_HOST.replace(/.$/, '2') },
    { remoteNonce: NONCE_TECH.replace(/^./, '1') },
    { localNonce: NONCE_TECH, remoteNonce: NONCE_HOST }, // the nonces swapped between roles
    { role: 'tech' }, // the fingerprints on the wrong sides
  ];
  for (const v of variants) assert.notEqual(await checkCode({ ...base, ...v }), host, JSON.stringify(v));
  assert.equal(groupCode('048213'), '048 213');
  assert.equal(spokenCode('048213'), '0 4 8, 2 1 3');
});

// Delivers each message to the other side until nothing is left to say.
async function talk(a, b, first = [a.commitMessage()], second = [b.commitMessage()]) {
  let toB = first;
  let toA = second;
  while (toA.length || toB.length) {
    const nextA = [];
    const nextB = [];
    for (const m of toB) nextA.push(...(await b.receive(m)));
    for (const m of toA) nextB.push(...(await a.receive(m)));
    toA = nextA;
    toB = nextB;
  }
}

// Each side's view of an honest connection: its own certificate and the other's.
const HOST_VIEW = { role: 'host', localFp: FP_HOST, remoteFp: FP_TECH };
const TECH_VIEW = { role: 'tech', localFp: FP_TECH, remoteFp: FP_HOST };

test('check exchange: commitments bind the nonce and both certificates; each side reveals only after the other committed', async () => {
  const a = await CheckExchange.create(HOST_VIEW, NONCE_HOST);
  const b = await CheckExchange.create(TECH_VIEW);
  // The layout another version of the page must reproduce, computed independently.
  const layout = ['vantriel check commit 2', 'host', NONCE_HOST, FP_HOST, FP_TECH].join('\n');
  assert.equal(a.commitment, createHash('sha256').update(layout, 'utf8').digest('hex'));
  assert.deepEqual(a.commitMessage(), { t: 'check2-commit', hash: a.commitment });
  assert.match(b.nonce, /^[0-9a-f]{64}$/);
  assert.notEqual(b.nonce, (await CheckExchange.create(TECH_VIEW)).nonce, 'a fresh nonce every time');
  assert.deepEqual(await a.receive({ t: 'check2-reveal', nonce: b.nonce }), []);
  assert.equal(a.broken, 'a reveal before any commitment');

  const c = await CheckExchange.create(HOST_VIEW, NONCE_HOST);
  await talk(c, b);
  assert.deepEqual([c.peerNonce, b.peerNonce, c.broken, b.broken], [b.nonce, NONCE_HOST, '', '']);
  assert.equal(await c.code(), await b.code());
  assert.equal(await c.code(), await checkCode({ ...HOST_VIEW, localNonce: NONCE_HOST, remoteNonce: b.nonce }));
  // Anything after a finished exchange is a second message and breaks it.
  assert.deepEqual(await c.receive({ t: 'check2-commit', hash: b.commitment }), []);
  assert.equal(c.broken, 'a second commitment');
  assert.equal(await c.code(), null);
  const d = await CheckExchange.create(HOST_VIEW);
  await talk(d, await CheckExchange.create(TECH_VIEW));
  await d.receive({ t: 'check2-reveal', nonce: d.peerNonce });
  assert.equal(d.broken, 'a second reveal');

  // A page in the middle relays honest messages, but each side sees a certificate of the
  // middle's: the reveals no longer match, on either side, whichever certificate differs.
  const MIDDLE = FP_TECH.replace(/..$/, '00');
  for (const [hostView, techView] of [
    [{ ...HOST_VIEW, remoteFp: MIDDLE }, { ...TECH_VIEW, remoteFp: MIDDLE }],
    [HOST_VIEW, { ...TECH_VIEW, remoteFp: MIDDLE }],
    [{ ...HOST_VIEW, localFp: MIDDLE }, TECH_VIEW], // one side's own certificate misread
    [HOST_VIEW, { ...TECH_VIEW, role: 'host' }], // both claim the same role
  ]) {
    const h = await CheckExchange.create(hostView);
    const t = await CheckExchange.create(techView);
    await talk(h, t);
    assert.match(h.broken, /^a reveal that does not match/, JSON.stringify(hostView));
    assert.match(t.broken, /^a reveal that does not match/, JSON.stringify(techView));
    assert.deepEqual([await h.code(), await t.code()], [null, null]);
  }

  // What a peer may not send: each breaks a fresh exchange, and a broken one stays silent.
  const other = await CheckExchange.create(TECH_VIEW);
  const cases = [
    [[{ t: 'check2-commit', hash: other.commitment.slice(2) }], 'a malformed commitment'],
    [[{ t: 'check2-commit', hash: other.commitment.toUpperCase() }], 'a malformed commitment'],
    [[{ t: 'check2-commit', hash: 'zz' + other.commitment.slice(2) }], 'a malformed commitment'],
    [[{ t: 'check2-commit', hash: 7 }], 'a malformed commitment'],
    [[{ t: 'check2-commit', hash: other.commitment }, { t: 'check2-reveal', nonce: other.nonce + '00' }], 'a malformed reveal'],
    [[{ t: 'check2-commit', hash: other.commitment }, { t: 'check2-reveal', nonce: NONCE_TECH }], /^a reveal that does not match/],
    [[{ t: 'check2-commit', hash: other.commitment }, { t: 'check2-commit', hash: other.commitment }], 'a second commitment'],
    // The older exchange does not mix with this one, in either order.
    [[{ t: 'check2-commit', hash: other.commitment }, { t: 'check-commit', hash: other.commitment }], 'an older check message amid the exchange'],
    [[{ t: 'check-commit', hash: other.commitment }, { t: 'check2-commit', hash: other.commitment }], 'a commitment after an older one'],
  ];
  for (const [msgs, why] of cases) {
    const ex = await CheckExchange.create(HOST_VIEW);
    for (const m of msgs) await ex.receive(m);
    if (why instanceof RegExp) assert.match(ex.broken, why);
    else assert.equal(ex.broken, why, JSON.stringify(msgs));
    assert.equal(ex.peerNonce, null);
    assert.deepEqual(await ex.receive({ t: 'check2-commit', hash: other.commitment }), [], 'no reveal once broken');
  }
  // A commitment reflected back is refused, so the nonce is not revealed against itself.
  const self = await CheckExchange.create(HOST_VIEW);
  assert.deepEqual(await self.receive(self.commitMessage()), []);
  assert.equal(self.broken, 'its own commitment came back');
  assert.equal(await commitmentOf('host', NONCE_HOST, FP_HOST, FP_TECH), a.commitment);

  // An older peer's commitment and reveal (to the nonce alone) are answered with nothing:
  // the peer cannot be checked, and no code is made.
  const older = await CheckExchange.create(TECH_VIEW);
  assert.deepEqual(await older.receive({ t: 'check-commit', hash: 'ab'.repeat(32) }), []);
  assert.deepEqual(await older.receive({ t: 'check-reveal', nonce: NONCE_HOST }), []);
  assert.deepEqual([older.old, older.broken, await older.code()], [true, '', null]);
});

const { sdpFingerprint } = await pageModule('sdp.js');

test('the certificate a description announces: one fingerprint, however often it is repeated', () => {
  const digest = FP_TECH.slice(8);
  const line = (d = digest, alg = 'sha-256') => `a=fingerprint:${alg} ${d}`;
  const bundled = sdp(`m=audio 9 UDP/TLS/RTP/SAVPF 111\r\n${line()}`, `m=video 9 UDP/TLS/RTP/SAVPF 96\r\n${line(digest.toLowerCase(), 'SHA-256')}`);
  assert.equal(sdpFingerprint(bundled), FP_TECH);
  assert.equal(sdpFingerprint(sdp(line()).replace(/\r\n/g, '\n')), FP_TECH, 'bare line feeds');
  assert.equal(sdpFingerprint(sdp(line(Array(64).fill('AB').join(':'), 'sha-512'))), 'sha-512 ' + Array(64).fill('AB').join(':'));
  // Refused whole: none, two that differ, or one the pattern does not hold.
  const refused = {
    none: sdp('m=audio 9 UDP/TLS/RTP/SAVPF 111'),
    'two certificates': sdp(line(), `m=video 9 UDP/TLS/RTP/SAVPF 96\r\n${line(FP_HOST.slice(8))}`),
    'two digests of one': sdp(line(), line(digest.slice(0, 59), 'sha-1')),
    'no digest': sdp('a=fingerprint:sha-256'),
    'short digest': sdp(line(digest.slice(0, 44))),
    'odd digit': sdp(line(digest.replace(/^../, 'A'))),
    'not hex': sdp(line(digest.replace(/^../, 'GG'))),
    'trailing text': sdp(line() + ' x'),
    'two spaces': sdp(line().replace(' ', '  ')),
    'a second line hidden behind a carriage return': sdp(line() + '\ra=fingerprint:sha-256 ' + FP_HOST.slice(8)),
    'another spelling': sdp(line(), 'a=Fingerprint:sha-256 ' + FP_HOST.slice(8)),
    'mid-line': sdp(line(), 'a=x-note fingerprint:sha-256 ' + digest),
  };
  for (const [what, text] of Object.entries(refused)) assert.equal(sdpFingerprint(text), null, what);
  for (const v of [undefined, null, 7, {}, '']) assert.equal(sdpFingerprint(v), null, String(v));
});

test('certificate fingerprints come from the connected transport of the connection', () => {
  const cert = (id, fingerprint, fingerprintAlgorithm = 'sha-256') => ({ id, type: 'certificate', fingerprint, fingerprintAlgorithm });
  const local = FP_HOST.slice(8);
  const remote = FP_TECH.slice(8);
  const stats = [
    { id: 'T0', type: 'transport', dtlsState: 'new', localCertificateId: 'C9', remoteCertificateId: 'C9' },
    { id: 'T1', type: 'transport', dtlsState: 'connected', selectedCandidatePairId: 'P', localCertificateId: 'CL', remoteCertificateId: 'CR' },
    cert('C9', '00:11'), cert('CL', local.toLowerCase(), 'SHA-256'), cert('CR', remote),
  ];
  assert.deepEqual(certFingerprints(stats), { local: FP_HOST, remote: FP_TECH });
  // Before DTLS is up, without the peer's certificate, or with a malformed one: nothing.
  assert.equal(certFingerprints(stats.filter((e) => e.id !== 'T1')), null);
  assert.equal(certFingerprints(stats.filter((e) => e.id !== 'CR')), null);
  assert.equal(certFingerprints([...stats.slice(0, 4), cert('CR', remote + '\nsha-256 00')]), null);
  assert.equal(certFingerprints([]), null);
});
