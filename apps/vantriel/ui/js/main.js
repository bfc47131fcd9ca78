// Start-up, in order: settings and clearing a session that a closed window left open,
// language, identity and state, registration; then the 30-second state poll.

// Every module of the page, in the order their set-up runs.
import "./ui.js";
import "./shell.js";
import "./history.js";
import "./settings.js";
import "./help.js";
import "./update.js";
import "./signal.js";
import "./session.js";
import "./host_session.js";
import "./tech_session.js";
import "./call.js";
import "./chat.js";
import "./files.js";
import "./file_logic.js";
import "./voice_line.js";
import "./voice_logic.js";
import "./mic.js";
import { AJ, setAJ } from "./state.js";
import { applyLang, setLANG } from "./i18n.js";
import { get, post } from "./api.js";
import { drawAll, loadIdentity, loadState, measureHeader } from "./shell.js";
import { updBusy, updSchedule, updState } from "./update.js";
import { hostConnect, prefetchIce } from "./signal.js";
import { SES } from "./session.js";

async function boot() {
  // The settings and the clearing of a stale session do not depend on each other.
  const [aj] = await Promise.all([
    get("/api/ajustes").catch(() => null),
    post("/api/sesion", { activa: false }).catch(() => null),
  ]);
  setAJ(aj);
  setLANG(AJ && AJ.general && AJ.general.idioma);
  applyLang();
  measureHeader();
  // After the session end (which renews the key), so the card shows the current key.
  await Promise.all([loadIdentity(), loadState()]);
  drawAll();
  hostConnect();
  prefetchIce();
  const u = updState();
  if (u && (u.phase === "checking" || updBusy(u))) updSchedule(0);
  setInterval(() => {
    if (!SES) loadState();
  }, 30000);
  document.documentElement.dataset.ready = "1";
  if (performance.mark) performance.mark("vantriel-ready");
}

boot();
