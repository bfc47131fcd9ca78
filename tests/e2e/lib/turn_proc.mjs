// coturn for the tests, with the TURN REST secret that the signalling server shares: on
// loopback for the two-PC tests (twopc.mjs), on the internet of the network lab
// (netlab.mjs).
import fs from 'node:fs';
import path from 'node:path';
import dgram from 'node:dgram';
import crypto from 'node:crypto';
import { spawn } from 'node:child_process';
import { freePort, waitFor } from './waiting.mjs';

// One STUN Binding request; coturn answers once it listens.
export function stunAnswers(port, ip = '127.0.0.1') {
  return new Promise((resolve) => {
    const sock = dgram.createSocket('udp4');
    const req = Buffer.alloc(20);
    req.writeUInt16BE(0x0001, 0);
    req.writeUInt32BE(0x2112a442, 4);
    crypto.randomBytes(12).copy(req, 8);
    const done = (ok) => { clearTimeout(t); sock.close(); resolve(ok); };
    const t = setTimeout(() => done(false), 200);
    sock.on('message', (m) => done(m.readUInt16BE(0) === 0x0101));
    sock.on('error', () => done(false));
    sock.send(req, port, ip);
  });
}

// Starts turnserver listening and relaying on `ip`, UDP and TCP on `port` (a port free on
// loopback when null). Its configuration goes in `dir`, so the secret stays out of `ps`,
// and its log in `artifacts`. `start` spawns it (the lab runs it in a namespace of its
// own); `ready(proc, port)` resolves once it serves, by default once it answers a STUN
// request from here. Resolves with { proc, ip, port, secret }; allow-loopback-peers lets
// a relay send to another relay on the same address.
export async function startTurn({ dir, artifacts, secret, ip = '127.0.0.1', port = null, start = spawn, ready = null }) {
  const at = port ?? await freePort({ udp: true });
  const conf = path.join(dir, 'turnserver.conf');
  fs.writeFileSync(conf, [
    `listening-port=${at}`, `listening-ip=${ip}`, `relay-ip=${ip}`, 'min-port=49152', 'max-port=65535',
    'use-auth-secret', `static-auth-secret=${secret}`, 'realm=vantriel.test',
    'no-tls', 'no-dtls', 'no-cli', 'no-rfc5780', 'allow-loopback-peers', 'fingerprint',
    `userdb=${path.join(dir, 'turndb')}`, `pidfile=${path.join(dir, 'turnserver.pid')}`,
    `log-file=${path.join(artifacts, 'turnserver.log')}`, 'simple-log', 'no-stdout-log', 'verbose',
  ].join('\n') + '\n', { mode: 0o600 });
  const proc = start('turnserver', ['-c', conf], { stdio: 'ignore' });
  try {
    if (ready) await ready(proc, at);
    else {
      await waitFor(() => stunAnswers(at, ip), {
        what: 'coturn to answer STUN',
        giveUp: () => proc.exitCode !== null && `turnserver ended (${proc.exitCode}); see turnserver.log`,
      });
    }
  } catch (e) {
    proc.kill('SIGKILL');
    throw e;
  }
  return { proc, ip, port: at, secret };
}
