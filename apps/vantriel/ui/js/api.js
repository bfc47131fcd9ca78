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
