// The page's one entry point. Start-up: the settings and the end of a session that a
// closed window left open, then the identity and the state, all asked at once while the
// page sets its language and measures itself; then drawing and the registration; then
// the 30-second state poll.
//
// The modules form layers, each importing only from those below it (the build refuses
// an import cycle); a lower module reaches an upper one only through what the upper one
// registered with it:
//   1. pure logic and the page's owners of state: core, i18n, keeper, state, api, sdp,
//      stats, screen, input_logic, file_logic, voice_logic, check_logic, host_texts, hello
//   2. pieces of the interface and the host's small actions: ui, tabs, actions, mic, and
//      keeper_host, the keeper this page registers (the host process)
//   3. the registration with the signalling server: signal
//   4. the session's lifecycle: session
//   5. the parts of a session: chat, files, voice_line, check, and what both sides' bars
//      do alike: session_bar
//   6. the two sides, the calls and the panes: host_session, tech_session, call, recents,
//      history, update, help, settings
//   7. the shell, which shows them all, and this entry point.
// Importing the shell sets up every module: each one wires its own part of the document
// as it loads. The technician's page for any browser (web_main.js) is built from the same
// modules but those of the host: no api, keeper_host, host_session, update, settings or
// shell.
import { loadIdentity, loadState, SECTION_GENERAL, setSettings, setting, SETTING_LANGUAGE } from "./state.js";
import { applyLang, setLANG } from "./i18n.js";
import { get, post } from "./api.js";
import { measureHeader } from "./ui.js";
import { drawAll } from "./shell.js";
import { updBusy, updSchedule, updState } from "./update.js";
import { connectRegistration, prefetchIce } from "./signal.js";
import { SESSION } from "./session.js";
import { keeper, setKeeper } from "./keeper.js";
import { HOST_KEEPER } from "./keeper_host.js";

async function boot() {
  setKeeper(HOST_KEEPER);
  // Every request goes before the page first lays itself out, so that the host answers
  // while the page translates and measures itself. The settings and the clearing of a
  // stale session do not depend on each other; the identity and the state are asked once
  // the session has ended (which renews the access code and changes the state), so that
  // they show the current code and no session that is over.
  const ended = post("/api/sesion", { activa: false }).catch(() => null);
  const identity = ended.then(() => keeper().identity());
  const state = ended.then(() => keeper().state());
  // Their failures are handled where they are awaited, below.
  identity.catch(() => {});
  state.catch(() => {});
  setSettings(await get("/api/ajustes").catch(() => null));
  setLANG(setting(SECTION_GENERAL, SETTING_LANGUAGE));
  applyLang();
  measureHeader();
  await Promise.all([ended, loadIdentity(identity), loadState(state)]);
  drawAll();
  connectRegistration();
  prefetchIce();
  const u = updState();
  if (u && (u.phase === "checking" || updBusy(u))) updSchedule(0);
  setInterval(() => {
    if (!SESSION) loadState();
  }, 30000);
  document.documentElement.dataset.ready = "1";
  if (performance.mark) performance.mark("vantriel-ready");
}

boot();
