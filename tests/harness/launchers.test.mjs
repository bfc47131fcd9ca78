// The page and two-PC tests' starts of the host, the signalling server and coturn, against
// stand-in programs: each start must say at once, with what the program said, why it did
// not start, and keep everything the program says in its log.
import test from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { spawn } from 'node:child_process';
import { startHost } from '../e2e/lib/host.mjs';
import { signalListening } from '../e2e/lib/signal_proc.mjs';
import { startTurn } from '../e2e/lib/turn_proc.mjs';
import { waitFor } from '../e2e/lib/waiting.mjs';

const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'vtr-harness-'));
test.after(() => fs.rmSync(tmp, { recursive: true, force: true }));

function program(name, text) {
  const file = path.join(tmp, name);
  fs.writeFileSync(file, `#!/bin/sh\n${text}\n`, { mode: 0o755 });
  return file;
}

// Each wait here has a time-out far longer than the test's own: only the program's end can
// end it.
test('a host or server that ends at start is reported with what it said', async () => {
  process.env.VANTRIEL_BIN = program('vantriel', 'echo "no free port from $VTR_PORT on" >&2; exit 3');
  await assert.rejects(startHost(), (e) => {
    assert.match(e.message, /^stopped waiting for the host to answer: the host ended at start \(\{"code":3/);
    assert.match(e.message, /no free port from \d+ on/);
    return true;
  });

  const signal = spawn(program('signal-ends', 'echo "cannot read --data" >&2; exit 2'), [], { stdio: ['ignore', 'pipe', 'pipe'] });
  await assert.rejects(signalListening(signal, tmp), /ended at start \(2\):\ncannot read --data/);
  const other = spawn(program('signal-other', 'echo "address in use"; exec sleep 600'), [], { stdio: ['ignore', 'pipe', 'pipe'] });
  await assert.rejects(signalListening(other, tmp), /said "address in use"/);

  const turn = startTurn({
    dir: tmp, artifacts: tmp, secret: 's', start: (file, args, options) => spawn(program('turnserver', 'exit 1'), args, options),
  });
  await assert.rejects(turn, /^Error: stopped waiting for coturn to answer STUN: turnserver ended \(1\)/);
});

test("the signalling server's log keeps every line, the first ones too", async () => {
  const proc = spawn(program('signal', 'printf "listening on http://127.0.0.1:9/\\nhost 700000001 joined\\n"; echo "a warning" >&2; exec sleep 600'), [],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  try {
    const artifacts = fs.mkdtempSync(path.join(tmp, 'log-'));
    const { url } = await signalListening(proc, artifacts);
    assert.equal(url, 'http://127.0.0.1:9/');
    const lines = () => fs.readFileSync(path.join(artifacts, 'signal.log'), 'utf8').split('\n').filter(Boolean).sort();
    await waitFor(() => lines().length >= 3, { what: 'three lines in signal.log' }).catch(() => {});
    assert.deepEqual(lines(), ['a warning', 'host 700000001 joined', 'listening on http://127.0.0.1:9/']);
  } finally {
    proc.kill('SIGKILL');
  }
});
