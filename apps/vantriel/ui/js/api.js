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
// request per batch. Like a post, each batch is answered before the next is sent; the
// answer is the post's. While the socket is not open (opening, closed, or the host
// refused it) a batch goes by post, so input never waits for the socket. A socket that
// closes is opened again at the next batch, at most every few seconds.
const INPUT = { ws: null, open: false, waiting: null, retryAt: 0 };
const INPUT_RETRY_MS = 3000;

function inputSocket() {
  if (INPUT.ws) return INPUT.open && !INPUT.waiting ? INPUT.ws : null;
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
    const w = INPUT.waiting;
    INPUT.waiting = null;
    if (!w) return;
    try {
      w.resolve(JSON.parse(e.data));
    } catch (err) {
      w.reject(err);
    }
  };
  ws.onclose = () => {
    if (INPUT.ws !== ws) return;
    INPUT.ws = null;
    INPUT.open = false;
    INPUT.retryAt = Date.now() + INPUT_RETRY_MS;
    const w = INPUT.waiting;
    INPUT.waiting = null;
    // Whether the host applied a batch in flight is not known; like a failed post, it is
    // not sent again (a key pressed twice is worse than one lost, and "rel" mends both).
    if (w) w.reject(new Error("the input socket closed"));
  };
  return null;
}

export function sendInput(body) {
  const ws = inputSocket();
  if (!ws) return post("/api/input", body);
  return new Promise((resolve, reject) => {
    INPUT.waiting = { resolve, reject };
    ws.send(JSON.stringify(body));
  });
}
