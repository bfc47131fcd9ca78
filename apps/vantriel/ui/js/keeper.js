// The keeper: what this side keeps and does outside the page. In the desktop program that
// is the host process (keeper_host.js, over the local API); in the technician's page that
// any browser opens from the signalling server it is the browser itself (web_keeper.js).
// The entry registers one before anything else runs; the modules both pages share reach
// it only through here, so the browser page never carries the local API client.
//
// A keeper has, each answering as the host's routes do:
//   identity()            {id, formatId, accessCode, secret, name, server}: this PC's
//                         ID and its display form, the access code, the secret that
//                         proves the ID to the server, the name shown to others and the
//                         signalling server (the web page: no ID, code or secret: it
//                         cannot be reached)
//   state()               {recents, history, update, admin, autostart, server,
//                         controlPossible, controlBlockedWhy, controlRefused,
//                         desktopAsking}: the recent connections ({id, name, date} each)
//                         and past sessions ({date, received, peer, peerId, seconds,
//                         control} each), the update's state, whether the host runs as
//                         administrator and starts with the system, the server in use,
//                         and whether this desktop lets control in (why not, a refusal,
//                         its own window asking); the web page: only the recents
//   sessionNote(body)     a session runs ({activa, rol, control, con, id})
//   sessionOver()         it ended; resolves with {accessCode}: the new access code, when
//                         ending gave one
//   sessionOverOnUnload() the same while the page goes away
//   callNote(on), callNoteOnUnload()   a voice call runs or ended
//   addRecent(id, name), removeRecent(id)   the recent list after the change, as in
//                         state()
//   writeClipboard(text), readClipboard()   {ok, texto?, msg?, words?}: this PC's
//                         clipboard; a refusal says why in a host text (`msg`) or in the
//                         page's own words, already in its language (`words`)
//   mayStageInMemory      whether received files may be staged in memory (a private
//                         browser window): their size is then checked against the room
//   viewerQuality(), setViewerQuality(q, fps)   optional: the viewer's quality to ask
//                         for at a session's start, kept when the technician picks one

let KEEPER = null;

export function setKeeper(k) {
  KEEPER = k;
}

export function keeper() {
  return KEEPER;
}

// Copies a text for the person: the browser clipboard first, the keeper's when that fails.
// Resolves with whether it was copied.
export async function copyPlain(text) {
  try {
    await navigator.clipboard.writeText(text);
    return true;
  } catch (e) {
    try {
      const r = await KEEPER.writeClipboard(text);
      return !!(r && r.ok);
    } catch (e2) {
      return false;
    }
  }
}
