// Start-up, in order: settings, clear a session a closed window left open, language,
// identity and state, registration; then the 30-second state poll.

async function boot() {
  try {
    AJ = await get("/api/ajustes");
  } catch (e) {
    AJ = null;
  }
  try {
    await post("/api/sesion", { activa: false });
  } catch (e) {
    /* nothing to clear */
  }
  LANG = AJ && AJ.general && AJ.general.idioma === "en" ? "en" : "es";
  applyLang();
  measureHeader();
  await loadIdentity();
  await loadState();
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
