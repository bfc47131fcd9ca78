// SDP adjustments made before a description is set: Opus parameters per audio section
// and the order of the video codecs offered to the receiver; and the certificate
// fingerprint a description announces. Pure functions.

// Opus parameters by audio section: section 0 carries the PC's sound (stereo, high
// rate); every other section is a voice line (short packets, FEC, no DTX so the level
// meters keep moving).
const PC_AUDIO = [["stereo", "1"], ["sprop-stereo", "1"], ["maxaveragebitrate", "192000"], ["useinbandfec", "1"]];
const VOICE = [["minptime", "10"], ["useinbandfec", "1"], ["usedtx", "0"]];

function withParams(section, wanted) {
  const rtpmap = section.match(/a=rtpmap:(\d+) opus\/48000[^\r\n]*/i);
  if (!rtpmap) return section;
  const pt = rtpmap[1];
  const fmtpRe = new RegExp("a=fmtp:" + pt + " ([^\\r\\n]*)");
  const fmtp = section.match(fmtpRe);
  if (!fmtp) {
    const line = "a=fmtp:" + pt + " " + wanted.map(([k, v]) => k + "=" + v).join(";");
    return section.replace(rtpmap[0], rtpmap[0] + "\r\n" + line);
  }
  const pairs = [];
  for (const part of fmtp[1].split(";")) {
    if (!part.trim()) continue;
    const eq = part.indexOf("=");
    const name = (eq < 0 ? part : part.slice(0, eq)).trim();
    pairs.push([name, eq < 0 ? "" : part.slice(eq + 1)]);
  }
  for (const [k, v] of wanted) {
    const at = pairs.findIndex(([name]) => name === k);
    if (at >= 0) pairs[at][1] = v;
    else pairs.push([k, v]);
  }
  const joined = pairs.map(([k, v]) => (v === "" ? k : k + "=" + v)).join(";");
  return section.replace(fmtp[0], () => "a=fmtp:" + pt + " " + joined);
}

// Adjusts the Opus parameters of every audio section of `sdp`. With `voiceOnly` (voice
// calls) every audio section is treated as a voice line.
export function mungeOpus(sdp, voiceOnly = false) {
  if (typeof sdp !== "string") return sdp;
  const parts = sdp.split(/(?=\r\nm=)/);
  let audio = 0;
  return parts
    .map((part) => {
      if (!/^(\r\n)?m=audio /.test(part)) return part;
      const n = voiceOnly ? 1 : audio++;
      return withParams(part, n === 0 ? PC_AUDIO : VOICE);
    })
    .join("");
}

// Order number of a video codec for the offer, the order a session starts in until the
// quality picks its own (pickCodec): "auto"'s order, VP8, VP9, H.264 in packetization
// mode 1, the rest of H.264, AV1, anything else.
export function codecRank(codec) {
  const mime = String((codec && codec.mimeType) || "").toLowerCase();
  const fmtp = String((codec && codec.sdpFmtpLine) || "");
  if (mime === "video/vp8") return 0;
  if (mime === "video/vp9") return 1;
  if (mime === "video/h264") return /packetization-mode=1/.test(fmtp) ? 2 : 3;
  if (mime === "video/av1") return 4;
  return 9;
}

// A stable sort of the codec list by codecRank.
export function sortCodecs(codecs) {
  return (codecs || [])
    .map((c, i) => [codecRank(c), i, c])
    .sort((a, b) => a[0] - b[0] || a[1] - b[1])
    .map((x) => x[2]);
}

// The codec to send with, from those both sides negotiated (a sender's
// getParameters().codecs): the first of `prefer` (video MIME types, best first) that is
// among them, H.264 in packetization mode 1 before another H.264; null when none is, and
// the browser's own choice (the first negotiated) serves.
export function pickCodec(negotiated, prefer) {
  const list = Array.isArray(negotiated) ? negotiated.filter((c) => c && typeof c.mimeType === "string") : [];
  for (const want of Array.isArray(prefer) ? prefer : []) {
    const same = list.filter((c) => c.mimeType.toLowerCase() === String(want).toLowerCase());
    if (same.length) return same.map((c, i) => [codecRank(c), i, c]).sort((x, y) => x[0] - y[0] || x[1] - y[1])[0][2];
  }
  return null;
}

// The certificate fingerprint a description announces, as "sha-256 AB:CD:…" (algorithm in
// lower case, digest in upper case, as certFingerprints gives them), or null. Every
// `a=fingerprint:` line, at session or media level, must be well formed and name the same
// algorithm and digest, and the word may appear nowhere else: a description with none, a
// malformed one, or two that differ cannot be vouched for and is refused whole, never
// half-accepted (the browser might take a line this reading skipped).
const FP_LINE = /^a=fingerprint:([A-Za-z0-9-]{1,16}) ((?:[0-9A-Fa-f]{2}:){15,63}[0-9A-Fa-f]{2})$/;

export function sdpFingerprint(sdp) {
  if (typeof sdp !== "string") return null;
  let found = null;
  let lines = 0;
  for (const raw of sdp.split("\n")) {
    const line = raw.endsWith("\r") ? raw.slice(0, -1) : raw;
    if (!line.startsWith("a=fingerprint:")) continue;
    const m = FP_LINE.exec(line);
    if (!m) return null;
    const fp = m[1].toLowerCase() + " " + m[2].toUpperCase();
    if (found !== null && found !== fp) return null;
    found = fp;
    lines++;
  }
  const mentions = (sdp.match(/fingerprint/gi) || []).length;
  return mentions === lines ? found : null;
}
