// Start-up, in order: settings and clearing a session that a closed window left open,
// language, identity and state, registration; then the 30-second state poll.

async function boot() {
  // The settings and the clearing of a stale session do not depend on each other.
  const [aj] = await Promise.all([
    get("/api/ajustes").catch(() => null),
    post("/api/sesion", { activa: false }).catch(() => null),
  ]);
  AJ = aj;
  LANG = AJ && AJ.general && AJ.general.idioma === "en" ? "en" : "es";
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
