// The host's `hello` (once `ctl` opens) and `perm` (whenever what it grants changes)
// messages: built and read here only, so both sides agree on their shape.
//   perm:  {t: "perm", control, audio, hasAudio, mon, mons, surface}
//   hello: the same with t: "hello", and name, id, quality, fps, ver
// control  the technician's input is taken; audio: the PC's sound is sent (hasAudio: the
// capture has any); mons: the host's monitors [{i, w, h, primary}], mon the one shown;
// surface: "monitor", "window" or "browser".

import { peerName } from "./message_logic.js";
import { QUALITIES } from "./screen.js";

function grantFields({ control, audio, hasAudio, mon, mons, surface }) {
  return { control: !!control, audio: !!audio && !!hasAudio, hasAudio: !!hasAudio, mon, mons, surface };
}

// What the host grants, as it sends it.
export function permMessage(grant) {
  return { t: "perm", ...grantFields(grant) };
}

export function helloMessage(grant, { name, id, quality, fps, ver }) {
  return { t: "hello", name, id, ...grantFields(grant), quality, fps, ver };
}

// A peer's `perm` or `hello` as the technician may use it: only members of the right
// type, the others left out (the session keeps what it had).
export function readPerm(m) {
  const out = { control: m.control === true, hostAudio: m.hasAudio === true && m.audio === true };
  if (Array.isArray(m.mons)) out.mons = m.mons;
  if (Number.isInteger(m.mon)) out.mon = m.mon;
  if (typeof m.surface === "string") out.surface = m.surface;
  return out;
}

export function readHello(m) {
  const out = readPerm(m);
  const name = peerName(m.name);
  if (name) out.name = name;
  if (QUALITIES.includes(m.quality)) out.quality = m.quality;
  if (Number.isFinite(m.fps)) out.fps = m.fps;
  return out;
}
