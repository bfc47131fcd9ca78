// The voice line inside a support session: the third audio transceiver carries the
// microphone while the voice is on; `call` messages tell the other side.

import { t } from "./i18n.js";
import { toast } from "./ui.js";
import { SES, sendCtl } from "./session.js";
import { getMic } from "./mic.js";
import { drawHostBar } from "./host_session.js";
import { drawViewer } from "./tech_session.js";

function redraw(s) {
  if (s.role === "host") drawHostBar();
  else drawViewer(s);
}

export async function voiceOn(s) {
  if (s.mic) return;
  const mic = await getMic();
  if (!mic) return;
  if (SES !== s || s.mic) {
    mic.getTracks().forEach((tr) => tr.stop());
    return;
  }
  s.mic = mic;
  // Before the host's offer the technician has no transceiver yet: it takes the
  // microphone when the offer arrives.
  if (s.voice) await s.voice.sender.replaceTrack(mic.getAudioTracks()[0]).catch(() => {});
  sendCtl(s, { t: "call", on: true });
  redraw(s);
}

export async function voiceOff(s) {
  const mic = s.mic;
  if (!mic) return;
  s.mic = null;
  if (s.voice) await s.voice.sender.replaceTrack(null).catch(() => {});
  mic.getTracks().forEach((tr) => tr.stop());
  sendCtl(s, { t: "call", on: false });
  redraw(s);
}

export function toggleVoice(s) {
  return s.mic ? voiceOff(s) : voiceOn(s);
}

// The other side's microphone went on or off.
export function onPeerCall(s, m) {
  s.peerMic = m.on === true;
  if (s.peerMic && !s.mic) toast(t("peerCallOn", s.peer), 6000);
}
