// The check code of a session: six digits that both people read to each other. The
// certificate fingerprints that protect the connection reach each browser through the
// signalling server, so whoever controls that server could answer each side with a
// browser of its own and pass everything through. Each side then sees a different pair of
// certificates, and the code, derived from both pairs, differs between the two PCs.
//
// The exchange on `ctl`, the same on both sides:
//   1. When the channel opens, each side draws a nonce of 32 random bytes and sends
//      {"t":"check-commit","hash":H}, H = SHA-256(nonce) as 64 lower-case hex digits.
//   2. Only after it has received the other side's commitment it sends
//      {"t":"check-reveal","nonce":N}, N = the nonce as 64 lower-case hex digits.
//   3. A reveal must hash to the commitment received before it. A second commitment or
//      reveal, a reveal before any commitment, a malformed value or a commitment equal to
//      one's own (reflected back) breaks the exchange: the code shows as not verified.
// A page in the middle must commit to a nonce towards each side before that side reveals
// its own, so it cannot steer the two codes together: one chance in a million.
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

export function toHex(bytes) {
  return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
}

function fromHex(hex) {
  const out = new Uint8Array(hex.length / 2);
  for (let i = 0; i < out.length; i++) out[i] = parseInt(hex.substr(i * 2, 2), 16);
  return out;
}

async function sha256(bytes) {
  return new Uint8Array(await crypto.subtle.digest("SHA-256", bytes));
}

export function newNonce() {
  return toHex(crypto.getRandomValues(new Uint8Array(NONCE_BYTES)));
}

// The commitment to a nonce given as 64 hex digits.
export async function commitmentOf(nonceHex) {
  return toHex(await sha256(fromHex(nonceHex)));
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

// One side's half of the exchange. Calls must not overlap (the page chains them).
export class CheckExchange {
  static async create(nonce = newNonce()) {
    const ex = new CheckExchange();
    ex.nonce = nonce;
    ex.commitment = await commitmentOf(nonce);
    return ex;
  }

  constructor() {
    this.nonce = "";
    this.commitment = "";
    this.peerCommitment = null;
    this.peerNonce = null;
    this.broken = ""; // why the exchange broke, "" while it holds
  }

  commitMessage() {
    return { t: "check-commit", hash: this.commitment };
  }

  // Takes a check message of the peer; resolves with the messages to send back.
  async receive(m) {
    if (this.broken) return [];
    if (m.t === "check-commit") {
      if (this.peerCommitment !== null) return this.fail("a second commitment");
      if (typeof m.hash !== "string" || !HEX64.test(m.hash)) return this.fail("a malformed commitment");
      if (m.hash === this.commitment) return this.fail("its own commitment came back");
      this.peerCommitment = m.hash;
      return [{ t: "check-reveal", nonce: this.nonce }];
    }
    if (m.t === "check-reveal") {
      if (this.peerCommitment === null) return this.fail("a reveal before any commitment");
      if (this.peerNonce !== null) return this.fail("a second reveal");
      if (typeof m.nonce !== "string" || !HEX64.test(m.nonce)) return this.fail("a malformed reveal");
      if ((await commitmentOf(m.nonce)) !== this.peerCommitment) return this.fail("a reveal that does not match");
      this.peerNonce = m.nonce;
    }
    return [];
  }

  fail(why) {
    this.broken = why;
    return [];
  }
}
