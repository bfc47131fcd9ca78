// Screen sharing decisions that do not need a browser: the capture options, which of
// the host's monitors a captured picture is, and the encoder settings of a quality.

export const QUALITIES = ["auto", "nitidez", "fluidez"];

// A frame rate as the settings or a peer give it: a number clamped to 5-60, 30 when it
// is not a number.
export function clampFps(v) {
  // A number or its text; Number() of an object a peer sent could throw.
  const n = typeof v === "number" || typeof v === "string" ? Number(v) : NaN;
  if (v === null || v === undefined || v === "" || !Number.isFinite(n)) return 30;
  return Math.min(60, Math.max(5, Math.round(n)));
}

// The frame rate setting: its number, 30 when missing or not a number.
export function settingFps(v) {
  const n = parseInt(v, 10);
  return Number.isFinite(n) && n > 0 ? n : 30;
}

// Options for getDisplayMedia. Without a size Chromium delivers at most 1280x720, which
// blurs text and defeats the monitor matching by exact size, so the size may go up to
// the screen's own (8K as a generous ceiling).
export function displayOpts(fps, audio) {
  const o = {
    video: {
      displaySurface: "monitor",
      frameRate: { ideal: fps, max: fps },
      width: { max: 7680 },
      height: { max: 4320 },
      cursor: "always",
    },
    selfBrowserSurface: "exclude",
    surfaceSwitching: "include",
    monitorTypeSurfaces: "include",
    preferCurrentTab: false,
  };
  if (audio) {
    // The PC's sound goes out as it plays: echo cancellation, noise suppression and gain
    // control would weaken steady sounds and, on Linux, turn the recorded output's volume
    // down for the whole system. On Windows the track is a loopback of the output too, so
    // the same holds there.
    o.audio = {
      echoCancellation: false,
      noiseSuppression: false,
      autoGainControl: false,
      suppressLocalAudioPlayback: false,
      restrictOwnAudio: true,
    };
    o.systemAudio = "include";
    o.windowAudio = "system";
  } else {
    o.audio = false;
  }
  return o;
}

// The index of the monitor a captured picture of `w`×`h` shows: the one monitor; else
// the one of exactly that size (the primary when several); else the one of the nearest
// aspect ratio (within 0.02); else the primary, else the first.
export function matchMonitor(mons, w, h) {
  const list = Array.isArray(mons) ? mons.filter((m) => m && typeof m === "object") : [];
  if (list.length <= 1) return list.length ? Number(list[0].i) || 0 : 0;
  const pick = (xs) => (xs.find((m) => m.primary === true) || xs[0]).i;
  const same = list.filter((m) => m.w === w && m.h === h);
  if (same.length) return pick(same);
  const ratio = w > 0 && h > 0 ? w / h : 16 / 9;
  const near = list.filter((m) => m.h > 0 && Math.abs(m.w / m.h - ratio) < 0.02);
  if (near.length) return pick(near);
  return pick(list);
}

// What a quality asks of the video track and its sender, and the codecs it sends with, best
// first, among those both sides have. From the picture benchmark's figures (README): VP8
// with maintain-framerate kept the most frames while the screen moved, at full size and
// as sharp as any once it stood still; VP9 kept text sharpest while moving; H.264 kept
// fewest frames at a session's start; the "motion" hint cost sharpness and bits and
// bought no frames.
export function qualityParams(quality) {
  switch (quality) {
    case "nitidez":
      return { hint: "text", maxBitrate: 8000000, degradation: "maintain-resolution", codecs: SHARP_CODECS };
    case "fluidez":
      return { hint: "detail", maxBitrate: 6000000, degradation: "maintain-framerate", codecs: FLUID_CODECS };
    default:
      return { hint: "detail", maxBitrate: 5000000, degradation: "maintain-framerate", codecs: FLUID_CODECS };
  }
}

const SHARP_CODECS = ["video/VP9", "video/VP8", "video/H264", "video/AV1"];
const FLUID_CODECS = ["video/VP8", "video/VP9", "video/H264", "video/AV1"];

// The quality and frame rate after a `quality` message: an unknown quality keeps the
// current one; a given frame rate is clamped.
export function qualityAfter(cur, msg) {
  const q = QUALITIES.includes(msg && msg.q) ? msg.q : cur.quality;
  const fps = msg && "fps" in msg ? clampFps(msg.fps) : cur.fps;
  return { quality: q, fps };
}
