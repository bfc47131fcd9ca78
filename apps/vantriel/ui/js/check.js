// The session's check code in the page: the exchange on `ctl` (check_logic.js), the
// fingerprints from the connection's statistics, and the code in the host bar and in the
// technician's viewer bar.

import { $, esc } from "./core.js";
import { t } from "./i18n.js";
import { addSessionPart, sendCtl, SES } from "./session.js";
import { certFingerprints, CheckExchange, checkCode, groupCode, spokenCode } from "./check_logic.js";

// A peer that sent no commitment this long after the channel opened is of a version
// without the check; a commitment that comes later still counts.
const SILENT_MS = 10000;
const STATS_TRIES = 10;
const STATS_RETRY_MS = 500;

// `s.check.state`: "waiting", "ok" (with `code`), "unverified" or "unavailable".
function checkStart(s) {
  if (s.check) return;
  const c = { state: "waiting", code: "", ex: null, chain: null, timer: null };
  s.check = c;
  c.chain = CheckExchange.create()
    .then((ex) => {
      c.ex = ex;
      if (SES === s) sendCtl(s, ex.commitMessage());
    })
    .catch((e) => {
      console.warn("check code:", e && e.message);
      setState(s, "unverified");
    });
  c.timer = setTimeout(() => {
    if (SES !== s || c.state !== "waiting" || (c.ex && c.ex.peerNonce)) return;
    // Committed but never revealed is a broken exchange, not an older peer.
    setState(s, c.ex && c.ex.peerCommitment !== null ? "unverified" : "unavailable");
  }, SILENT_MS);
  showCheck(s);
}

function checkStop(s) {
  if (s.check) clearTimeout(s.check.timer);
}

// A `check-commit` or `check-reveal` from the peer, handled in arrival order.
function onCheckMessage(s, m) {
  checkStart(s);
  const c = s.check;
  c.chain = c.chain.then(async () => {
    if (SES !== s || !c.ex || c.state === "unverified") return;
    const replies = await c.ex.receive(m);
    if (SES !== s) return;
    for (const r of replies) sendCtl(s, r);
    if (c.ex.broken) {
      console.warn("check code: the peer sent " + c.ex.broken);
      setState(s, "unverified");
    } else if (c.ex.peerNonce && c.state !== "ok") {
      await derive(s, c);
    } else if (c.state === "unavailable") {
      setState(s, "waiting"); // a late commitment: the check goes on
    }
  });
}

async function derive(s, c) {
  for (let i = 0; i < STATS_TRIES && SES === s; i++) {
    let fps = null;
    try {
      fps = certFingerprints((await s.pc.getStats()).values());
    } catch (e) {
      fps = null;
    }
    if (fps) {
      const code = await checkCode({ role: s.role, localFp: fps.local, remoteFp: fps.remote, localNonce: c.ex.nonce, remoteNonce: c.ex.peerNonce });
      c.code = code;
      setState(s, "ok");
      return;
    }
    await new Promise((r) => setTimeout(r, STATS_RETRY_MS));
  }
  // Without the certificates nothing can be vouched for.
  setState(s, "unverified");
}

function setState(s, state) {
  if (!s.check) return;
  s.check.state = state;
  if (state !== "waiting") clearTimeout(s.check.timer);
  showCheck(s);
}

function checkInner(s) {
  const c = s.check;
  if (!c) return "";
  const label = '<span class="cclabel">' + esc(t("checkLbl")) + "</span> ";
  if (c.state === "ok") {
    return label + '<b class="ccode" aria-hidden="true">' + esc(groupCode(c.code)) + "</b>" +
      '<span class="vh">' + esc(spokenCode(c.code)) + "</span> " +
      '<span class="cchint">' + esc(t("checkHint")) + "</span>";
  }
  const [word, hint, cls] = {
    waiting: ["checkWait", "checkHint", ""],
    unverified: ["checkBad", "checkBadHint", " bad"],
    unavailable: ["checkNone", "checkNoneHint", " warn"],
  }[c.state];
  return label + '<b class="ccode' + cls + '">' + esc(t(word)) + "</b> " + '<span class="cchint">' + esc(t(hint)) + "</span>";
}

// The code's place in a bar; the bars call it when they draw themselves.
export function checkHtml(s, id) {
  return '<span id="' + id + '" class="ccheck" role="status">' + checkInner(s) + "</span>";
}

export function showCheck(s) {
  if (SES !== s) return;
  for (const id of ["hbCheck", "vCheck"]) {
    const el = $(id);
    if (el) el.innerHTML = checkInner(s);
  }
}

addSessionPart({
  messages: { "check-commit": onCheckMessage, "check-reveal": onCheckMessage },
  ctlOpen: checkStart,
  end: checkStop,
});
