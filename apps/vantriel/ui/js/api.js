// The local API client: GETs need no token, every POST carries it.

import { TOKEN } from "./core.js";

export async function get(url) {
  const r = await fetch(url, { cache: "no-store" });
  return r.json();
}

export async function post(url, body) {
  const r = await fetch(url, {
    method: "POST",
    headers: { "Content-Type": "application/json", "X-Token": TOKEN },
    body: JSON.stringify(body === undefined || body === null ? {} : body),
  });
  return r.json();
}

// A POST that must outlive the page (the session's end when the window closes).
export function postOnUnload(url, body) {
  try {
    fetch(url, {
      method: "POST",
      keepalive: true,
      headers: { "Content-Type": "application/json", "X-Token": TOKEN },
      body: JSON.stringify(body),
    });
  } catch (e) {
    /* the page is going away; nothing left to tell */
  }
}

// Remote input goes to the host on one WebSocket ("/api/input" as a socket) instead of a
// request per batch. Batches form one ordered chain: each is sent when the one before has
// been answered, whichever way either went, so a later batch (a "rel" after a held key)
// never overtakes one in flight. The answer is the post's. While the socket is not open
// (opening, closed, or the host refused it) a batch goes by post, so input never waits
// for the socket. A socket that closes is opened again at the next batch, at most every
// few seconds; one that leaves a batch unanswered for INPUT_ANSWER_MS is closed, so the
// chain never stalls on it.
const INPUT = { ws: null, open: false, waiting: null, retryAt: 0, chain: Promise.resolve(), idle: true };
const INPUT_RETRY_MS = 3000;
const INPUT_ANSWER_MS = 30000; // the longest batch types 2,000 characters: seconds at most

function inputSocket() {
  // A socket the host has begun to close is not written to (its close event comes later);
  // the batch goes as a post meanwhile.
  if (INPUT.ws) return INPUT.open && !INPUT.waiting && INPUT.ws.readyState === 1 ? INPUT.ws : null;
  if (Date.now() < INPUT.retryAt || typeof WebSocket !== "function") return null;
  let ws;
  try {
    ws = new WebSocket("ws://" + location.host + "/api/input?token=" + encodeURIComponent(TOKEN));
  } catch (e) {
    INPUT.retryAt = Date.now() + INPUT_RETRY_MS;
    return null;
  }
  INPUT.ws = ws;
  ws.onopen = () => {
    INPUT.open = true;
  };
  ws.onmessage = (e) => {
    if (INPUT.ws !== ws) return;
    const w = INPUT.waiting;
    INPUT.waiting = null;
    if (!w) return;
    clearTimeout(w.timer);
    try {
      w.resolve(JSON.parse(e.data));
    } catch (err) {
      w.reject(err);
    }
  };
  ws.onclose = () => dropSocket(ws, "the input socket closed");
  return null;
}

// Forgets `ws` and fails the batch waiting on it. Whether the host applied that batch is
// not known; like a failed post, it is not sent again (a key pressed twice is worse than
// one lost, and "rel" mends both).
function dropSocket(ws, why) {
  if (INPUT.ws !== ws) return;
  INPUT.ws = null;
  INPUT.open = false;
  INPUT.retryAt = Date.now() + INPUT_RETRY_MS;
  const w = INPUT.waiting;
  INPUT.waiting = null;
  if (w) {
    clearTimeout(w.timer);
    w.reject(new Error(why));
  }
  try {
    ws.close();
  } catch (e) {
    /* already closing */
  }
}

function sendNow(body) {
  const ws = inputSocket();
  if (!ws) return post("/api/input", body);
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => dropSocket(ws, "the input socket did not answer"), INPUT_ANSWER_MS);
    INPUT.waiting = { resolve, reject, timer };
    ws.send(JSON.stringify(body));
  });
}

// Sends one batch of input after every batch sent before it; resolves with the host's
// answer. With none in flight it goes at once, not a microtask later.
export function sendInput(body) {
  const start = () => {
    try {
      return sendNow(body);
    } catch (e) {
      return Promise.reject(e);
    }
  };
  const sent = INPUT.idle ? start() : INPUT.chain.then(start);
  INPUT.idle = false;
  const done = sent.catch(() => null).then(() => {
    if (INPUT.chain === done) INPUT.idle = true;
  });
  INPUT.chain = done;
  return sent;
}
