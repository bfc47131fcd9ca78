// The check code of a session: six digits that both people read to each other. The
// certificate fingerprints that protect the connection reach each browser through the
// signalling server, so whoever controls that server could answer each side with a
// browser of its own and pass everything through. Each side then sees a different pair of
// certificates: the exchange below breaks, and a code derived anyway would differ.
//
// Each side first reads the local and the remote certificate fingerprint of its connected
// transport (certFingerprints); the page pins the remote one for the session (session.js),
// so the certificates committed to are the ones the session keeps. Then, on `ctl`, the
// same on both sides:
//   1. {"t":"check2-commit","hash":H}, H = SHA-256 over the UTF-8 text of five lines
//      joined by "\n" (no final "\n"), as 64 lower-case hex digits:
//        "vantriel check commit 2"
//        the sender's role                     "host" or "tech"
//        the sender's nonce                    32 random bytes as 64 lower-case hex digits
//        the sender's own certificate fingerprint
//        the fingerprint of the certificate the sender sees as the other side's
//   2. Only after it has received the other side's commitment it sends
//      {"t":"check2-reveal","nonce":N}, N = its nonce.
//   3. The receiver recomputes H from N, the sender's role and the two fingerprints as it
//      sees them itself, swapped (its remote one is the sender's own). A page in the
//      middle shows each side a certificate of its own, so an honest reveal relayed
//      through it does not match. A mismatch, a second commitment or reveal, a reveal
//      before any commitment, a malformed value or a commitment equal to one's own
//      (reflected back) breaks the exchange: the code shows as not verified.
// A page in the middle that runs an exchange of its own with each side must commit to a
// nonce (and to its certificates, which the pin then keeps) before that side reveals its
// own, so it cannot steer the two codes together: one chance in a million.
//
// Versions before this exchange sent "check-commit" and "check-reveal" with a commitment
// to the nonce alone. The two do not mix: an older peer ignores the "check2-" messages
// (and shows its own "not available", which is then true), and an older commitment
// received here makes the peer one that cannot be checked (`old`), never a code: an
// answer to it would let the fingerprints be chosen after the nonces are known.
//
// The code: SHA-256 over the UTF-8 text of five lines joined by "\n" (no final "\n"):
//   "vantriel check code 1"
//   the host's certificate fingerprint    e.g. "sha-256 AB:CD:…:EF"
//   the technician's certificate fingerprint
//   the host's nonce                      64 lower-case hex digits
//   the technician's nonce                64 lower-case hex digits
// A fingerprint is its algorithm in lower case, a space, and the colon-separated digest in
// upper case, as the browser's statistics give them for the local and the remote
// certificate of the connection's transport. The first six bytes of the digest, read as
// a big-endian number, modulo 1 000 000 and padded with zeros to six digits, are the code.

export const NONCE_BYTES = 32;
const HEX64 = /^[0-9a-f]{64}$/;
const FINGERPRINT = /^[a-z0-9-]{1,16} [0-9A-F]{2}(:[0-9A-F]{2}){15,63}$/;
const LABEL = "vantriel check code 1";
const COMMIT_LABEL = "vantriel check commit 2";
export const COMMIT = "check2-commit";
export const REVEAL = "check2-reveal";
// What versions before the fingerprints in the commitment sent.
const OLD = new Set(["check-commit", "check-reveal"]);

export function toHex(bytes) {
  return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
}

async function sha256(bytes) {
  return new Uint8Array(await crypto.subtle.digest("SHA-256", bytes));
}

export function newNonce() {
  return toHex(crypto.getRandomValues(new Uint8Array(NONCE_BYTES)));
}

// The commitment of the side `role` to its nonce (64 hex digits) and to the certificates
// as it sees them: its own (`localFp`) and the other side's (`remoteFp`).
export async function commitmentOf(role, nonceHex, localFp, remoteFp) {
  const text = [COMMIT_LABEL, role, nonceHex, localFp, remoteFp].join("\n");
  return toHex(await sha256(new TextEncoder().encode(text)));
}

function fingerprintText(cert) {
  if (!cert || typeof cert.fingerprint !== "string" || typeof cert.fingerprintAlgorithm !== "string") return null;
  const text = cert.fingerprintAlgorithm.toLowerCase() + " " + cert.fingerprint.toUpperCase();
  return FINGERPRINT.test(text) ? text : null;
}

// The local and the remote certificate fingerprint of the transport that carries the
// connection, from the entries of a statistics report; null while DTLS is not up.
export function certFingerprints(entries) {
  const byId = new Map();
  for (const e of entries) if (e && typeof e.id === "string") byId.set(e.id, e);
  for (const e of byId.values()) {
    if (e.type !== "transport" || e.dtlsState !== "connected" || !e.selectedCandidatePairId) continue;
    const local = fingerprintText(byId.get(e.localCertificateId));
    const remote = fingerprintText(byId.get(e.remoteCertificateId));
    if (local && remote) return { local, remote };
  }
  return null;
}

// The six digits from this side's view: `role` "host" or "tech", its own (`localFp`,
// `localNonce`) and the peer's (`remoteFp`, `remoteNonce`) values.
export async function checkCode({ role, localFp, remoteFp, localNonce, remoteNonce }) {
  const host = role === "host";
  const text = [LABEL, host ? localFp : remoteFp, host ? remoteFp : localFp,
    host ? localNonce : remoteNonce, host ? remoteNonce : localNonce].join("\n");
  const d = await sha256(new TextEncoder().encode(text));
  let n = 0;
  for (let i = 0; i < 6; i++) n = n * 256 + d[i];
  return String(n % 1000000).padStart(6, "0");
}

// "482913" as shown ("482 913") and as a screen reader should say it, a group at a time.
export function groupCode(code) {
  return code.slice(0, 3) + " " + code.slice(3);
}

export function spokenCode(code) {
  return code.slice(0, 3).split("").join(" ") + ", " + code.slice(3).split("").join(" ");
}

// One side's half of the exchange, for the side `role` whose transport shows the
// certificates `localFp` and `remoteFp`. Calls must not overlap (the page chains them).
export class CheckExchange {
  static async create({ role, localFp, remoteFp }, nonce = newNonce()) {
    const ex = new CheckExchange();
    Object.assign(ex, { role, localFp, remoteFp, nonce });
    ex.commitment = await commitmentOf(role, nonce, localFp, remoteFp);
    return ex;
  }

  constructor() {
    this.role = "";
    this.localFp = "";
    this.remoteFp = "";
    this.nonce = "";
    this.commitment = "";
    this.peerCommitment = null;
    this.peerNonce = null;
    this.old = false; // the peer spoke the exchange of older versions
    this.broken = ""; // why the exchange broke, "" while it holds
  }

  get peerRole() {
    return this.role === "host" ? "tech" : "host";
  }

  commitMessage() {
    return { t: COMMIT, hash: this.commitment };
  }

  // Takes a check message of the peer (either version's); resolves with the messages to
  // send back.
  async receive(m) {
    if (this.broken) return [];
    if (OLD.has(m.t)) {
      // Only as the peer's first word: amid this exchange it is a second voice.
      if (this.peerCommitment !== null) return this.fail("an older check message amid the exchange");
      this.old = true;
      return [];
    }
    if (m.t === COMMIT) {
      if (this.old) return this.fail("a commitment after an older one");
      if (this.peerCommitment !== null) return this.fail("a second commitment");
      if (typeof m.hash !== "string" || !HEX64.test(m.hash)) return this.fail("a malformed commitment");
      if (m.hash === this.commitment) return this.fail("its own commitment came back");
      this.peerCommitment = m.hash;
      return [{ t: REVEAL, nonce: this.nonce }];
    }
    if (m.t === REVEAL) {
      if (this.peerCommitment === null) return this.fail("a reveal before any commitment");
      if (this.peerNonce !== null) return this.fail("a second reveal");
      if (typeof m.nonce !== "string" || !HEX64.test(m.nonce)) return this.fail("a malformed reveal");
      const expected = await commitmentOf(this.peerRole, m.nonce, this.remoteFp, this.localFp);
      if (expected !== this.peerCommitment) return this.fail("a reveal that does not match (other certificates, or another nonce)");
      this.peerNonce = m.nonce;
    }
    return [];
  }

  // The code once the peer's nonce is in, else null.
  async code() {
    if (this.broken || this.peerNonce === null) return null;
    return checkCode({ role: this.role, localFp: this.localFp, remoteFp: this.remoteFp, localNonce: this.nonce, remoteNonce: this.peerNonce });
  }

  fail(why) {
    this.broken = why;
    return [];
  }
}
