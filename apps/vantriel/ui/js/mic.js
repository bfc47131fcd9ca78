// The microphone, as the voice settings ask for it: processing on or off, the preferred
// device. Used by the calls and by the voice line of a session.

import { yes } from "./core.js";
import { t } from "./i18n.js";
import { SECTION_CALL, SETTINGS } from "./state.js";
import { toast } from "./ui.js";

// A microphone stream, or null after telling the user why not.
export async function getMic() {
  const l = (SETTINGS && SETTINGS[SECTION_CALL]) || {};
  const proc = yes(l.procesar_voz);
  const audio = { echoCancellation: proc, noiseSuppression: proc, autoGainControl: proc, channelCount: 1 };
  if (l.microfono) audio.deviceId = { ideal: l.microfono };
  try {
    return await navigator.mediaDevices.getUserMedia({ audio });
  } catch (e) {
    const name = e && e.name;
    if (name === "NotAllowedError" || name === "NotFoundError") toast(t("micDenied"), 7000);
    else toast(t("micErr", (e && e.message) || String(e)), 7000);
    return null;
  }
}
