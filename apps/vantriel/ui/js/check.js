// The session's check code in the page: the exchange on `ctl` (check_logic.js), the
// fingerprints from the connection's statistics, and the code in the host bar and in the
// technician's viewer bar.

import { $, esc } from "./core.js";
import { t } from "./i18n.js";
import { addSessionPart, sendCtl, SESSION, transportCerts } from "./session.js";
import { CheckExchange, COMMIT, groupCode, REVEAL, spokenCode } from "./check_logic.js";

// A peer that sent no commitment this long after the channel opened cannot be checked:
// it may run a version without the check, or someone between the two PCs may be holding
// the messages back. A commitment that comes later still counts, and the reveal of any
// commitment is due within REVEAL_MS of it, or the exchange is broken.
const SILENT_MS = 10000;
const REVEAL_MS = 10000;

// `s.check.state`: "waiting", "ok" (with `code`), "unverified" or "unchecked" (the
// check could not run: no commitment, or an older peer's).
function checkStart(s) {
  if (s.check) return;
  const c = { state: "waiting", code: "", ex: null, chain: null, timer: null, revealT: null };
  s.check = c;
  // The certificates first: the commitment covers them (and they are pinned for the
  // session), so they cannot be swapped once the nonces are known.
  c.chain = transportCerts(s)
    .then(async (fps) => {
      if (SESSION !== s) return;
      // Without the certificates nothing can be vouched for.
      if (!fps) return setState(s, "unverified");
      c.ex = await CheckExchange.create({ role: s.role, localFp: fps.local, remoteFp: fps.remote });
      if (SESSION === s) sendCtl(s, c.ex.commitMessage());
    })
    .catch((e) => {
      console.warn("check code:", e && e.message);
      setState(s, "unverified");
    });
  c.timer = setTimeout(() => {
    if (SESSION !== s || c.state !== "waiting" || (c.ex && c.ex.peerCommitment !== null)) return;
    setState(s, "unchecked");
  }, SILENT_MS);
  showCheck(s);
}

function checkStop(s) {
  if (!s.check) return;
  clearTimeout(s.check.timer);
  clearTimeout(s.check.revealT);
}

// A check message of the peer (either version's), handled in arrival order.
function onCheckMessage(s, m) {
  checkStart(s);
  const c = s.check;
  c.chain = c.chain.then(async () => {
    if (SESSION !== s || !c.ex || c.state === "unverified") return;
    const replies = await c.ex.receive(m);
    if (SESSION !== s) return;
    for (const r of replies) sendCtl(s, r);
    if (c.ex.broken) {
      console.warn("check code: the peer sent " + c.ex.broken);
      setState(s, "unverified");
    } else if (c.ex.peerNonce !== null) {
      if (c.state === "ok") return;
      c.code = await c.ex.code();
      setState(s, "ok");
    } else if (c.ex.old) {
      setState(s, "unchecked");
    } else if (c.ex.peerCommitment !== null && !c.revealT) {
      // A late commitment takes the check up again, on its own clock.
      if (c.state === "unchecked") setState(s, "waiting");
      c.revealT = setTimeout(() => {
        if (SESSION === s && c.state === "waiting") {
          console.warn("check code: the peer committed and never revealed");
          setState(s, "unverified");
        }
      }, REVEAL_MS);
    }
  });
}

function setState(s, state) {
  if (!s.check) return;
  s.check.state = state;
  if (state !== "waiting") clearTimeout(s.check.timer);
  if (state === "ok" || state === "unverified") clearTimeout(s.check.revealT);
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
    unchecked: ["checkNone", "checkNoneHint", " bad"],
  }[c.state];
  return label + '<b class="ccode' + cls + '">' + esc(t(word)) + "</b> " + '<span class="cchint">' + esc(t(hint)) + "</span>";
}

// The code's place in a bar; the bars call it when they draw themselves.
export function checkHtml(s, id) {
  return '<span id="' + id + '" class="ccheck" role="status">' + checkInner(s) + "</span>";
}

export function showCheck(s) {
  if (SESSION !== s) return;
  for (const id of ["hbCheck", "vCheck"]) {
    const el = $(id);
    if (el) el.innerHTML = checkInner(s);
  }
}

addSessionPart({
  // The older version's two messages too: they tell an older peer (see check_logic.js).
  messages: { [COMMIT]: onCheckMessage, [REVEAL]: onCheckMessage, "check-commit": onCheckMessage, "check-reveal": onCheckMessage },
  ctlOpen: checkStart,
  end: checkStop,
});
