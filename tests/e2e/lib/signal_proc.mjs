// The signalling server for the tests: vantriel-signal (VANTRIEL_SIGNAL_BIN) on loopback
// for the two-PC tests (twopc.mjs), on the internet of the network lab (netlab.mjs). Its
// log goes to ARTIFACTS/signal.log, and its first line on standard output names its URL.
import fs from 'node:fs';
import path from 'node:path';
import readline from 'node:readline';
import { spawn } from 'node:child_process';

// How long a server may take to say where it listens.
const START_MS = 20000;

// Resolves with { proc, url } once the server listens; rejects, with what it said, when it
// ends first, says something else, or says nothing in time.
export async function signalListening(proc, artifacts) {
  const log = fs.createWriteStream(path.join(artifacts, 'signal.log'));
  let said = '';
  proc.stderr.on('data', (d) => { said += d; log.write(d); });
  // One listener for every line, so none that arrives with the first is lost.
  let heard;
  const first = new Promise((resolve) => { heard = resolve; });
  const lines = readline.createInterface({ input: proc.stdout });
  lines.on('line', (l) => {
    log.write(l + '\n');
    heard(l);
  });
  let timer;
  const line = await Promise.race([
    first,
    new Promise((resolve, reject) => {
      proc.once('exit', (code) => reject(new Error(`vantriel-signal ended at start (${code}):\n${said}`)));
      timer = setTimeout(() => reject(new Error(`vantriel-signal said nothing within ${START_MS} ms:\n${said}`)), START_MS);
    }),
  ]).catch((e) => {
    proc.kill('SIGKILL');
    throw e;
  }).finally(() => clearTimeout(timer));
  const m = /^listening on (http:\/\/\S+)$/.exec(line);
  if (!m) {
    proc.kill('SIGKILL');
    throw new Error(`vantriel-signal said "${line}"`);
  }
  return { proc, url: m[1] };
}

// Starts vantriel-signal on `host`:`port` (a free port when 0), handing out `turn`'s STUN
// and TURN (over each of `turnTransports`) with the secret they share, answering wrong
// keys at once so that refusal tests do not wait seconds, with `args` last (a later switch
// wins). Its data file goes in `dir`; `start` spawns it (the lab runs it in a namespace of
// its own).
export async function startSignal({ dir, artifacts, turn, host = '127.0.0.1', port = 0, turnTransports = ['udp'],
  args = [], start = spawn }) {
  const bin = process.env.VANTRIEL_SIGNAL_BIN;
  if (!bin || !fs.existsSync(bin)) throw new Error('VANTRIEL_SIGNAL_BIN must name a built program (run the tests through ctest)');
  const at = `${turn.ip}:${turn.port}`;
  const proc = start(bin, ['--host', host, '--port', String(port), '--data', path.join(dir, 'signal.json'),
    '--stun', `stun:${at}`, ...turnTransports.flatMap((t) => ['--turn', `turn:${at}?transport=${t}`]),
    '--delay-base-ms', '20', '--delay-max-ms', '200', '--flush-ms', '100', ...args], {
    env: { ...process.env, VTR_SIGNAL_TURN_SECRET: turn.secret },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  return signalListening(proc, artifacts);
}
