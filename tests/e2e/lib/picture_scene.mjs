// The picture benchmark's pieces: a scripted screen of support work drawn by a browser
// window on the host PC's display, every frame a pure function of its step number (drawn
// into the frame as a row of blocks), the technician's side that reads received frames
// and their step, and the measures of a received frame against its source: SSIM and
// the characters an OCR reads correctly.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { execFile } from 'node:child_process';
import { chromium } from 'playwright-core';
import { CHROMIUM_ARGS, CHROMIUM_BIN } from './host.mjs';
import { waitFor } from './waiting.mjs';

// The scene's window: the left half of the host PC's screen, away from its browser.
// Its page's place on the screen is known once it shows (see startScene); y is set then.
export const SCENE = { x: 0, y: 0, w: 640, h: 672 };
// Where the text is (the OCR reads it): below the step blocks, above the video.
export const TEXT_AREA = { x: 0, y: 16, w: 640, h: 462 };
export const ID_BITS = 16; // the step, then a 4-bit check
const BLOCK = 12;

// Runs in the scene's page (and nowhere else): defines window.__scene. Everything drawn
// depends on the step alone, so any step can be drawn again later for comparison.
function sceneScript() {
  const W = 640;
  const H = 672;
  const BLOCK = 12;
  const words = ('el equipo no arranca desde ayer revise cable red servidor impresora correo usuario clave ' +
    'pantalla archivo carpeta copia seguridad disco lleno actualizar sistema reiniciar servicio ventana ' +
    'the printer queue stops after update driver restart check settings network share folder access ' +
    'ticket cliente factura pedido informe enviar recibido error codigo tiempo espera conexion perdida').split(' ');
  const typed = [
    'Hola Ana, voy a revisar la configuracion de la impresora y reinicio el servicio de cola.',
    'Please open the settings window and check that the network share is mapped to drive Z.',
    'He copiado el informe en la carpeta compartida; revisa si ya aparece en tu escritorio.',
  ];
  // A small deterministic generator: the same k gives the same line in any page.
  const rnd = (k) => {
    let x = (k * 2654435761) >>> 0;
    return () => {
      x ^= x << 13; x >>>= 0; x ^= x >>> 17; x ^= x << 5; x >>>= 0;
      return x / 4294967296;
    };
  };
  const lineText = (k) => {
    const r = rnd(k + 1);
    const n = 7 + Math.floor(r() * 5);
    const out = [];
    for (let i = 0; i < n; i++) out.push(words[Math.floor(r() * words.length)]);
    return `${k + 1}. ${out.join(' ')}`;
  };
  const CYCLE = 300;
  const LINE = 20;
  const DOC = { x: 8, y: 44, w: 624, h: 312 };
  const parts = (step) => {
    const c = Math.floor(step / CYCLE);
    const t = step % CYCLE;
    return {
      scroll: c * 300 + 2 * Math.min(t, 150), // px: scrolls for five seconds, then stops
      typed: typed[c % typed.length].slice(0, t < 150 ? 0 : Math.floor((t - 150) / 2)),
      dialog: t >= 200 && t < 290 ? Math.min(1, (t - 199) / 8) : 0,
      t,
    };
  };
  const checkOf = (id) => ((Math.imul(id, 2654435761) >>> 28) & 0xf);
  function draw(ctx, step) {
    const p = parts(step);
    ctx.fillStyle = '#ffffff';
    ctx.fillRect(0, 0, W, H);
    // The step: 16 bits and a 4-bit check, most significant first, black for a one.
    ctx.fillStyle = '#d8d8d8';
    ctx.fillRect(0, 0, W, 15);
    const id = step & 0xffff;
    const code = (id << 4) | checkOf(id);
    for (let i = 0; i < 20; i++) {
      ctx.fillStyle = (code >> (19 - i)) & 1 ? '#000000' : '#ffffff';
      ctx.fillRect(4 + i * BLOCK, 1, BLOCK, BLOCK);
    }
    // A document window: title, then lines scrolling.
    ctx.fillStyle = '#2b579a';
    ctx.fillRect(0, 16, W, 26);
    ctx.fillStyle = '#ffffff';
    ctx.font = 'bold 14px sans-serif';
    ctx.textBaseline = 'middle';
    ctx.fillText('Informe de incidencias - soporte.txt', 10, 29);
    ctx.save();
    ctx.beginPath();
    ctx.rect(DOC.x, DOC.y, DOC.w, DOC.h);
    ctx.clip();
    ctx.fillStyle = '#111111';
    ctx.font = '14px sans-serif';
    ctx.textBaseline = 'top';
    const first = Math.floor(p.scroll / LINE);
    for (let k = first; k < first + Math.ceil(DOC.h / LINE) + 1; k++) {
      ctx.fillText(lineText(k), DOC.x + 4, DOC.y + 4 + k * LINE - p.scroll);
    }
    ctx.restore();
    // An editor where the technician's reply is typed.
    ctx.strokeStyle = '#888888';
    ctx.strokeRect(8.5, 364.5, 623, 112);
    ctx.fillStyle = '#111111';
    ctx.font = '14px monospace';
    ctx.textBaseline = 'top';
    const cols = 70;
    const rows = [];
    for (let i = 0; i < p.typed.length; i += cols) rows.push(p.typed.slice(i, i + cols));
    rows.forEach((r, i) => ctx.fillText(r, 16, 372 + i * 20));
    const last = rows.at(-1) ?? '';
    ctx.fillRect(16 + ctx.measureText(last).width, 372 + Math.max(0, rows.length - 1) * 20, 2, 16);
    // A dialog opening over the document.
    if (p.dialog > 0) {
      const w = 400 * p.dialog;
      const h = 170 * p.dialog;
      const x = 320 - w / 2;
      const y = 200 - h / 2;
      ctx.fillStyle = 'rgba(0,0,0,0.25)';
      ctx.fillRect(x + 6, y + 6, w, h);
      ctx.fillStyle = '#f4f4f4';
      ctx.fillRect(x, y, w, h);
      ctx.strokeStyle = '#555555';
      ctx.strokeRect(x + 0.5, y + 0.5, w, h);
      if (p.dialog === 1) {
        ctx.fillStyle = '#111111';
        ctx.font = 'bold 15px sans-serif';
        ctx.fillText('Guardar cambios en soporte.txt?', x + 16, y + 16);
        ctx.font = '14px sans-serif';
        ctx.fillText('Si no los guarda, se perderan los cambios', x + 16, y + 52);
        ctx.fillText('hechos desde la ultima copia.', x + 16, y + 72);
        for (const [bx, label] of [[x + 170, 'Guardar'], [x + 280, 'Cancelar']]) {
          ctx.fillStyle = '#e0e0e0';
          ctx.fillRect(bx, y + 120, 100, 32);
          ctx.strokeRect(bx + 0.5, y + 120.5, 100, 32);
          ctx.fillStyle = '#111111';
          ctx.fillText(label, bx + 18, y + 129);
        }
      }
    }
    // A small video: colours and shapes that move every step.
    const vx = 440;
    const vy = 520;
    const g = ctx.createLinearGradient(vx, vy, vx + 192, vy + 144);
    g.addColorStop(0, `hsl(${(step * 3) % 360},70%,45%)`);
    g.addColorStop(1, `hsl(${(step * 3 + 140) % 360},70%,60%)`);
    ctx.fillStyle = g;
    ctx.fillRect(vx, vy, 192, 144);
    ctx.fillStyle = '#ffeeaa';
    ctx.beginPath();
    ctx.arc(vx + 96 + 70 * Math.cos(step / 9), vy + 72 + 45 * Math.sin(step / 7), 18, 0, 2 * Math.PI);
    ctx.fill();
    for (let i = 0; i < 6; i++) {
      ctx.fillStyle = `hsl(${(i * 60 + step * 5) % 360},80%,50%)`;
      ctx.fillRect(vx + 8 + i * 30, vy + 110 + 20 * Math.sin((step + i * 10) / 6), 20, 20);
    }
  }
  // Every word the text area may show at `step`, for the OCR's count.
  function words_(step) {
    const p = parts(step);
    const first = Math.floor(p.scroll / LINE);
    const lines = ['Informe de incidencias - soporte.txt', p.typed,
      'Guardar cambios en soporte.txt?', 'Si no los guarda, se perderan los cambios', 'hechos desde la ultima copia.',
      'Guardar', 'Cancelar'];
    for (let k = first; k < first + Math.ceil(DOC.h / LINE) + 1; k++) lines.push(lineText(k));
    return lines.join(' ');
  }
  const canvas = document.createElement('canvas');
  canvas.width = W;
  canvas.height = H;
  canvas.style.cssText = 'position:fixed;left:0;top:0;';
  document.body.style.margin = '0';
  document.body.style.overflow = 'hidden';
  document.body.appendChild(canvas);
  const ctx = canvas.getContext('2d');
  const gray = (c) => {
    const d = c.getImageData(0, 0, W, H).data;
    const out = new Uint8Array(W * H);
    for (let i = 0, j = 0; i < out.length; i++, j += 4) out[i] = (d[j] * 77 + d[j + 1] * 150 + d[j + 2] * 29) >> 8;
    let s = '';
    for (let i = 0; i < out.length; i += 0x8000) s += String.fromCharCode.apply(null, out.subarray(i, i + 0x8000));
    return btoa(s);
  };
  let step = 0;
  let moving = false;
  let next = 0;
  draw(ctx, step);
  // 30 steps a second while moving, whatever the page's frame rate.
  const tick = (now) => {
    if (moving && now >= next) {
      step++;
      next = Math.max(next + 1000 / 30, now - 1000 / 30);
      draw(ctx, step);
    }
    requestAnimationFrame(tick);
  };
  requestAnimationFrame(tick);
  window.__scene = {
    move(on) { moving = on; next = performance.now(); return step; },
    step: () => step,
    // The grey levels of `s` drawn again, base64, row by row.
    source(s) {
      const c = document.createElement('canvas');
      c.width = W;
      c.height = H;
      const x = c.getContext('2d', { willReadFrequently: true });
      draw(x, s);
      return gray(x);
    },
    words: words_,
    // The page's place on the screen: below whatever the window draws above it.
    where: () => ({ x: window.screenX + (window.outerWidth - window.innerWidth), y: window.screenY + (window.outerHeight - window.innerHeight),
      w: window.innerWidth, h: window.innerHeight }),
  };
}

// The scene's browser: a window of its own on the host PC's `display`, with no toolbar.
// Its processes carry `vtr-picture-scene` in their profile path, so that the host PC
// browser's CPU can leave them out.
export async function startScene(display) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vtr-picture-scene-'));
  const context = await chromium.launchPersistentContext(dir, {
    executablePath: CHROMIUM_BIN, headless: false, viewport: null,
    env: { ...process.env, DISPLAY: display, WAYLAND_DISPLAY: undefined },
    args: [...CHROMIUM_ARGS, `--window-position=${SCENE.x},${SCENE.y}`, `--window-size=${SCENE.w},800`,
      '--app=data:text/html,<title>scene</title>'],
  });
  const page = await waitFor(() => context.pages().find((p) => p.url().startsWith('data:')),
    { timeout: 10000, interval: 100, what: 'the scene window' }).catch(() => null);
  for (const p of context.pages()) if (p !== page) await p.close();
  if (!page) throw new Error('the scene window did not open');
  await page.evaluate(sceneScript);
  return {
    page,
    profile: dir,
    move: (on) => page.evaluate((v) => window.__scene.move(v), on),
    step: () => page.evaluate(() => window.__scene.step()),
    where: () => page.evaluate(() => window.__scene.where()),
    async source(step) {
      return Buffer.from(await page.evaluate((s) => window.__scene.source(s), step), 'base64');
    },
    words: (step) => page.evaluate((s) => window.__scene.words(s), step),
    async stop() {
      await context.close().catch(() => {});
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

// --- the technician's side -------------------------------------------------------------

// In the technician's page: on every frame the video element shows, reads the step blocks
// (scaled to the frame's size) and keeps { id, at } of frames with a valid step; while
// grabbing, keeps the grey levels of the scene's area of up to `max` frames at least
// `everyMs` apart. `snap()` reads the frame shown now, new or not (a still screen may send
// none). Call it again for each session: the loop of an earlier call ends at its next frame.
export async function watchSteps(tech) {
  await tech.evaluate(({ SCENE, BLOCK }) => {
    const video = document.getElementById('vVideo');
    const strip = document.createElement('canvas');
    strip.width = 4 + 20 * BLOCK;
    strip.height = 14;
    const sctx = strip.getContext('2d', { willReadFrequently: true });
    const full = document.createElement('canvas');
    full.width = SCENE.w;
    full.height = SCENE.h;
    const fctx = full.getContext('2d', { willReadFrequently: true });
    const checkOf = (id) => ((Math.imul(id, 2654435761) >>> 28) & 0xf);
    const gen = (window.__picGen = (window.__picGen ?? 0) + 1);
    // The step of the frame shown now, or null when its blocks do not read.
    const step = (vw, vh) => {
      sctx.drawImage(video, SCENE.x * (vw / 1280), SCENE.y * (vh / 800), strip.width * (vw / 1280), strip.height * (vh / 800),
        0, 0, strip.width, strip.height);
      const d = sctx.getImageData(0, 0, strip.width, strip.height).data;
      let code = 0;
      for (let i = 0; i < 20; i++) {
        let sum = 0;
        for (let y = 5; y < 9; y++) for (let x = 4 + i * BLOCK + 4; x < 4 + i * BLOCK + 8; x++) sum += d[(y * strip.width + x) * 4 + 1];
        code = code * 2 + (sum / 16 < 128 ? 1 : 0);
      }
      const id = code >> 4;
      return (code & 0xf) === checkOf(id) ? id : null;
    };
    const grey = (vw, vh) => {
      fctx.drawImage(video, SCENE.x * (vw / 1280), SCENE.y * (vh / 800), SCENE.w * (vw / 1280), SCENE.h * (vh / 800),
        0, 0, SCENE.w, SCENE.h);
      const px = fctx.getImageData(0, 0, SCENE.w, SCENE.h).data;
      const out = new Uint8Array(SCENE.w * SCENE.h);
      for (let i = 0, j = 0; i < out.length; i++, j += 4) out[i] = (px[j] * 77 + px[j + 1] * 150 + px[j + 2] * 29) >> 8;
      return out;
    };
    const pic = { frames: [], grabs: [], grab: null, last: -1 };
    pic.b64 = (a) => {
      let s = '';
      for (let i = 0; i < a.length; i += 0x8000) s += String.fromCharCode.apply(null, a.subarray(i, i + 0x8000));
      return btoa(s);
    };
    pic.snap = () => {
      const vw = video.videoWidth;
      const vh = video.videoHeight;
      return vw ? { id: step(vw, vh), w: vw, h: vh, gray: pic.b64(grey(vw, vh)) } : null;
    };
    window.__pic = pic;
    const onFrame = () => {
      if (window.__picGen !== gen) return;
      const at = performance.now();
      const vw = video.videoWidth;
      const vh = video.videoHeight;
      const id = vw > 0 ? step(vw, vh) : null;
      if (id !== null) {
        pic.frames.push({ id, at, w: vw, h: vh });
        const g = pic.grab;
        if (g && g.left > 0 && at - g.lastAt >= g.everyMs && id !== pic.last) {
          g.left--;
          g.lastAt = at;
          pic.grabs.push({ id, at, w: vw, h: vh, gray: grey(vw, vh) });
        }
        pic.last = id;
      }
      video.requestVideoFrameCallback(onFrame);
    };
    video.requestVideoFrameCallback(onFrame);
  }, { SCENE, BLOCK });
}

// Forgets what was read so far and, with `grab`, starts keeping frames.
export const resetSteps = (tech, grab = null) => tech.evaluate((g) => {
  window.__pic.frames = [];
  window.__pic.grabs = [];
  window.__pic.grab = g && { ...g, lastAt: -1e9 };
}, grab);

// The frames read since the last reset, and the grabbed ones (grey levels as Buffers).
export async function takeSteps(tech) {
  const got = await tech.evaluate(() => {
    const p = window.__pic;
    const out = { frames: p.frames, grabs: p.grabs.map((g) => ({ ...g, gray: p.b64(g.gray) })) };
    p.frames = [];
    p.grabs = [];
    p.grab = null;
    return out;
  });
  for (const g of got.grabs) g.gray = Buffer.from(g.gray, 'base64');
  return got;
}

// Frames shown per second and freezes (gaps longer than `freezeMs` between frames of new
// steps) among `frames` ({ id, at } in page ms) within [from, to].
export function smoothness(frames, from, to, freezeMs = 100) {
  let shown = 0;
  let freezes = 0;
  let longest = 0;
  let prev = null;
  let lastId = null;
  for (const f of frames) {
    if (f.at < from || f.at > to || f.id === lastId) continue;
    lastId = f.id;
    shown++;
    if (prev !== null) {
      const gap = f.at - prev;
      if (gap > freezeMs) freezes++;
      longest = Math.max(longest, gap);
    }
    prev = f.at;
  }
  return { fps: shown / ((to - from) / 1000), freezes, longestMs: longest };
}

// --- measures --------------------------------------------------------------------------

// Mean SSIM of two grey images of `w`×`h` over 8×8 windows (the Wang et al. constants
// for 8-bit levels), within `area` { x, y, w, h } when given.
export function ssim(a, b, w, h, area = { x: 0, y: 0, w, h }) {
  if (a.length !== w * h || b.length !== w * h) throw new Error(`ssim: images of ${a.length} and ${b.length}, not ${w * h}`);
  const C1 = (0.01 * 255) ** 2;
  const C2 = (0.03 * 255) ** 2;
  let total = 0;
  let n = 0;
  for (let y0 = area.y; y0 + 8 <= area.y + area.h; y0 += 8) {
    for (let x0 = area.x; x0 + 8 <= area.x + area.w; x0 += 8) {
      let sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
      for (let y = y0; y < y0 + 8; y++) {
        for (let x = x0; x < x0 + 8; x++) {
          const p = a[y * w + x];
          const q = b[y * w + x];
          sa += p; sb += q; saa += p * p; sbb += q * q; sab += p * q;
        }
      }
      const ma = sa / 64;
      const mb = sb / 64;
      const va = saa / 64 - ma * ma;
      const vb = sbb / 64 - mb * mb;
      const cov = sab / 64 - ma * mb;
      total += ((2 * ma * mb + C1) * (2 * cov + C2)) / ((ma * ma + mb * mb + C1) * (va + vb + C2));
      n++;
    }
  }
  return n ? total / n : null;
}

// The characters of the words `text` holds that are also words of `truth`, each word of
// the truth counted at most as often as it occurs there (order does not matter: the OCR
// may read the dialog before or after the lines it covers).
export function correctChars(text, truth) {
  const split = (s) => s.toLowerCase().split(/[^0-9a-záéíóúñü]+/i).filter((x) => x.length > 1);
  const left = new Map();
  for (const w of split(truth)) left.set(w, (left.get(w) ?? 0) + 1);
  let chars = 0;
  for (const w of split(text)) {
    const n = left.get(w) ?? 0;
    if (n > 0) {
      left.set(w, n - 1);
      chars += w.length;
    }
  }
  return chars;
}

// The text area of a grey scene image, enlarged twice (the OCR reads screen-sized text
// poorly at its own size), as a binary PGM.
function textPgm(gray) {
  const A = TEXT_AREA;
  const w = A.w * 2;
  const h = A.h * 2;
  const head = Buffer.from(`P5\n${w} ${h}\n255\n`);
  const body = Buffer.alloc(w * h);
  for (let y = 0; y < h; y++) {
    const src = (A.y + (y >> 1)) * SCENE.w + A.x;
    for (let x = 0; x < w; x++) body[y * w + x] = gray[src + (x >> 1)];
  }
  return Buffer.concat([head, body]);
}

// What tesseract reads in the text area of a grey scene image.
export function ocr(gray, dir) {
  const file = path.join(dir, `ocr-${process.hrtime.bigint()}.pgm`);
  fs.writeFileSync(file, textPgm(gray));
  return new Promise((resolve, reject) => {
    // One thread: its OpenMP threads spin for each other on a busy machine.
    execFile('tesseract', [file, 'stdout', '--psm', '3', '-l', 'eng'], {
      timeout: 60000, maxBuffer: 1 << 22, env: { ...process.env, OMP_THREAD_LIMIT: '1' },
    }, (err, stdout) => {
      fs.rmSync(file, { force: true });
      if (err) reject(new Error(`tesseract: ${err.message}`));
      else resolve(stdout);
    });
  });
}
