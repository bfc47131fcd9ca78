// Waiting for a condition and picking free ports, for every page, two-PC and lab test.
import net from 'node:net';
import dgram from 'node:dgram';

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Polls `fn` until it returns something truthy and returns that; a throw counts as "not
// yet". On time-out the last value or error is in the message. `giveUp`, asked before
// each look, ends the wait at once when it returns a reason (a process that ended, say).
export async function waitFor(fn, { timeout = 10000, interval = 50, what = 'a condition', giveUp = null } = {}) {
  const end = Date.now() + timeout;
  let last;
  for (;;) {
    const reason = giveUp && giveUp();
    if (reason) throw reason instanceof Error ? reason : new Error(`stopped waiting for ${what}: ${reason}`);
    try {
      const v = await fn();
      if (v) return v;
      last = v;
    } catch (e) {
      last = e;
    }
    if (Date.now() > end) throw new Error(`timed out after ${timeout} ms waiting for ${what} (last: ${last instanceof Error ? last.message : JSON.stringify(last)})`);
    await sleep(interval);
  }
}

function tcpPort() {
  return new Promise((resolve, reject) => {
    const srv = net.createServer();
    srv.unref();
    srv.on('error', reject);
    srv.listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

function udpFree(port) {
  return new Promise((resolve) => {
    const sock = dgram.createSocket('udp4');
    sock.once('error', () => {
      try { sock.close(); } catch { /* never bound */ }
      resolve(false);
    });
    sock.bind(port, '127.0.0.1', () => sock.close(() => resolve(true)));
  });
}

// A loopback port nobody listens on right now; with `udp`, free for UDP as well (coturn
// listens on both).
export async function freePort({ udp = false } = {}) {
  for (;;) {
    const port = await tcpPort();
    if (!udp || await udpFree(port)) return port;
  }
}
