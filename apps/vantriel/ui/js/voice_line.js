// The voice line inside a support session: the third audio transceiver carries the
// microphone while the voice is on; `call` messages tell the other side.

import { t } from "./i18n.js";
import { toast } from "./ui.js";
import { addSessionPart, redrawSession, SESSION, sendCtl, stopTracks } from "./session.js";
import { getMic } from "./mic.js";
import { dropPeer, guardOf } from "./message_logic.js";

const CTL_WAIT_MS = 250;

// Tells the other side the microphone's state. The message needs the control channel
// open, and the host turns the voice on as the session starts, before the channel opens
// (the technician may press 📞 before it even exists): until then a voice that is on
// when the channel opens is announced as it opens.
function tellPeer(s) {
  if (sendCtl(s, { t: "call", on: !!s.mic }) || s.callWait) return;
  s.callWait = setInterval(() => {
    const ch = s.dc && s.dc.ctl;
    if (SESSION === s && !(ch && ch.readyState === "open")) return;
    clearInterval(s.callWait);
    s.callWait = null;
    if (SESSION === s && s.mic) sendCtl(s, { t: "call", on: true });
  }, CTL_WAIT_MS);
}

export async function voiceOn(s) {
  if (s.mic) return;
  const mic = await getMic();
  if (!mic) return;
  if (SESSION !== s || s.mic) {
    mic.getTracks().forEach((tr) => tr.stop());
    return;
  }
  s.mic = mic;
  // Before the host's offer the technician has no transceiver yet: it takes the
  // microphone when the offer arrives.
  if (s.voice) await s.voice.sender.replaceTrack(mic.getAudioTracks()[0]).catch(() => {});
  tellPeer(s);
  redrawSession(s);
}

export async function voiceOff(s) {
  const mic = s.mic;
  if (!mic) return;
  s.mic = null;
  if (s.voice) await s.voice.sender.replaceTrack(null).catch(() => {});
  mic.getTracks().forEach((tr) => tr.stop());
  tellPeer(s);
  redrawSession(s);
}

export function toggleVoice(s) {
  return s.mic ? voiceOff(s) : voiceOn(s);
}

// The other side's microphone went on or off. The person is told when it goes on, once
// in a while at most: a peer toggling in a loop gets no stream of toasts.
function onPeerCall(s, m) {
  const guard = guardOf(s);
  const now = Date.now();
  if (!guard.allow("call", now)) return dropPeer(s, "call");
  const was = !!s.peerMic;
  s.peerMic = m.on === true;
  if (s.peerMic && !was && !s.mic && guard.allow("callToast", now)) toast(t("peerCallOn", s.peer), 6000);
}

addSessionPart({
  messages: { call: onPeerCall },
  end: (s) => stopTracks(s.mic),
});
