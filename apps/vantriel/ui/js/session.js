// The support session (`SES`): viewer, host bar, media and control channels. The shell
// knows only whether one is open and how to end it.

let SES = null;

// Opens the join socket and the viewer: built with the session work.
function startJoin(id, key, wantControl) {}

function drawHostBar() {
  const on = !!(SES && SES.role === "host");
  if (!on) $("hostbar").innerHTML = "";
  showBar("hostbar", on);
}

// Ends the session once: reports the end to the host, redraws and reloads the state.
async function endSession(reason, notify) {
  const s = SES;
  if (!s) return;
  SES = null;
  if (notify && s.dc && s.dc.ctl && s.dc.ctl.readyState === "open") {
    try {
      s.dc.ctl.send(JSON.stringify({ t: "bye" }));
    } catch (e) {
      /* channel closing */
    }
  }
  if (s.pc) {
    try {
      s.pc.close();
    } catch (e) {
      /* already closed */
    }
  }
  try {
    const r = await post("/api/sesion", { activa: false });
    if (s.role === "host" && r && r.clave && ID) {
      ID.clave = r.clave;
      drawIdentity();
    }
  } catch (e) {
    /* the host clears it at the next start */
  }
  drawHostBar();
  loadState();
  if (s.connected || reason !== "local") {
    const key = { peer: "endedPeer", lost: "endedLost", stopped: "endedStop" }[reason] || "ended";
    toast(t(key), 5000);
  }
}

// A window closed during a session: tell the peer and the host, then end it.
window.addEventListener("pagehide", () => {
  if (!SES) return;
  const ctl = SES.dc && SES.dc.ctl;
  if (ctl && ctl.readyState === "open") {
    try {
      ctl.send(JSON.stringify({ t: "bye" }));
    } catch (e) {
      /* going away */
    }
  }
  postOnUnload("/api/sesion", { activa: false });
  const s = SES;
  SES = null;
  if (s.pc) s.pc.close();
});
