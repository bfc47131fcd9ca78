// The technician's page served by the signalling server, for any browser: its one entry.
// It registers the browser as its keeper (web_keeper.js) and draws the shell of its own
// (web_shell.js) over the desktop page's modules for giving support, calls and sessions;
// the modules that need the host process are not part of it (the build refuses them).
// Start-up: settings and language from this browser, identity and recents, the ICE list.
import { loadIdentity, loadState, SECTION_GENERAL, setSettings, setting, SETTING_LANGUAGE } from "./state.js";
import { applyLang, setLANG } from "./i18n.js";
import { setKeeper } from "./keeper.js";
import { measureHeader } from "./ui.js";
import { prefetchIce } from "./signal.js";
import { drawAll } from "./web_shell.js";
import { WEB_KEEPER, webSettings } from "./web_keeper.js";

// The browser's language until the technician chooses one.
function firstLanguage() {
  const langs = navigator.languages && navigator.languages.length ? navigator.languages : [navigator.language || ""];
  for (const l of langs) {
    const base = String(l).slice(0, 2).toLowerCase();
    if (base === "es" || base === "en") return base;
  }
  return "es";
}

async function boot() {
  setKeeper(WEB_KEEPER);
  setSettings(webSettings());
  setLANG(setting(SECTION_GENERAL, SETTING_LANGUAGE) || firstLanguage());
  applyLang();
  measureHeader();
  await Promise.all([loadIdentity(), loadState()]);
  drawAll();
  prefetchIce();
  document.documentElement.dataset.ready = "1";
  if (performance.mark) performance.mark("vantriel-ready");
}

boot();
