// A vantriel-signal process just started with its output piped: its log goes to
// ARTIFACTS/signal.log, and its first line on standard output names its URL.
import fs from 'node:fs';
import path from 'node:path';
import readline from 'node:readline';

// Resolves with { proc, url } once the server listens; rejects, with what it said, when it
// ends first or says something else.
export async function signalListening(proc, artifacts) {
  const log = fs.createWriteStream(path.join(artifacts, 'signal.log'));
  let said = '';
  proc.stderr.on('data', (d) => { said += d; log.write(d); });
  const lines = readline.createInterface({ input: proc.stdout });
  const first = await new Promise((resolve, reject) => {
    lines.once('line', resolve);
    proc.once('exit', (code) => reject(new Error(`vantriel-signal ended at start (${code}):\n${said}`)));
  });
  lines.on('line', (l) => log.write(l + '\n'));
  const m = /^listening on (http:\/\/\S+)$/.exec(first);
  if (!m) {
    proc.kill('SIGKILL');
    throw new Error(`vantriel-signal said "${first}"`);
  }
  return { proc, url: m[1] };
}
