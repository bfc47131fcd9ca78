// A network lab on one machine: an "internet" network namespace holding the signalling
// server and coturn, and PCs that each live in a namespace of their own behind a router
// namespace doing NAT with nftables. A PC's host process and its Chromium run inside its
// namespace (Chromium through a wrapper that `ip netns exec`s it; its X display is
// reached through the socket file, which every namespace sees).
//
//   internet 198.18.0.0/24 (a bridge): the servers on .1, each router's WAN on .11, .12 …;
//            everything else goes to a namespace that forwards nothing, so a packet to an
//            address nobody has is dropped silently, as on the internet
//   LAN of PC n  198.19.n.0/24: the router on .1, the PC on .2 (.3 after a new address)
//
// Only these ranges (the ones kept for benchmarking) are used, nothing leaves the
// machine, and every namespace, link and process carries the lab's prefix, so that a lab
// left behind by a killed run is removed when the next one starts.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { spawn, execFile, execFileSync } from 'node:child_process';
import { fileURLToPath } from 'node:url';
import { startSignal } from './signal_proc.mjs';
import { startTurn } from './turn_proc.mjs';
import { sleep, waitFor } from './waiting.mjs';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const PREFIX = 'vtrlab';
export const SERVER_IP = '198.18.0.1';
export const TURN_PORT = 3478;
const SIGNAL_PORT = 8890;
const SINK = { inet: '198.18.255.1', sink: '198.18.255.2' };

// Runs a program; resolves with its output, rejects with its error text.
export function sh(file, args, { input, timeout = 20000, okCodes = [0] } = {}) {
  return new Promise((resolve, reject) => {
    const p = execFile(file, args, { timeout, maxBuffer: 16 << 20 }, (err, stdout, stderr) => {
      const code = err ? (typeof err.code === 'number' ? err.code : -1) : 0;
      if (okCodes.includes(code)) resolve(stdout);
      else reject(new Error(`${file} ${args.join(' ')}: ${stderr.trim() || err.message}`));
    });
    if (input !== undefined) p.stdin.end(input);
  });
}

const nsExec = (ns, file, args, opts) => sh('ip', ['netns', 'exec', ns, file, ...args], opts);
const ipIn = (ns, ...args) => sh('ip', ['-n', ns, ...args]);

// Why the lab cannot run here, in one line; null when it can.
export async function labUnavailable() {
  if (process.platform !== 'linux') return 'the network lab needs Linux network namespaces';
  if (process.getuid() !== 0) return 'the network lab needs root (network namespaces, nftables)';
  for (const tool of ['ip', 'nft', 'tc', 'turnserver']) {
    try {
      await sh('sh', ['-c', `command -v ${tool}`]);
    } catch {
      return `the network lab needs ${tool} (tools/setup.sh installs it)`;
    }
  }
  // Made and used: inside a chroot a namespace can be made but not entered ("mount
  // --make-rslave /" fails), which is no place for a lab either.
  const probe = `${PREFIX}${process.pid}-probe`;
  let made = false;
  try {
    await sh('ip', ['netns', 'add', probe]);
    made = true;
    await ipIn(probe, 'link', 'set', 'lo', 'up');
    await nsExec(probe, 'true', []);
  } catch (e) {
    return `this machine cannot make network namespaces (${e.message.split('\n')[0]})`;
  } finally {
    if (made) await sh('ip', ['netns', 'del', probe]).catch(() => {});
  }
  return null;
}

// The pid a lab namespace name belongs to, or null for names that are not a lab's.
function ownerOf(ns) {
  const m = new RegExp(`^${PREFIX}(\\d+)-`).exec(ns);
  return m ? Number(m[1]) : null;
}

function alive(pid) {
  try {
    process.kill(pid, 0);
    return /node/.test(fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8'));
  } catch {
    return false;
  }
}

async function namespaces() {
  const out = await sh('ip', ['netns', 'list']);
  return out.split('\n').map((l) => l.split(' ')[0]).filter(Boolean);
}

// Ends every process inside `ns`, then removes it with its links and its resolv.conf.
async function removeNamespace(ns) {
  try {
    const pids = (await sh('ip', ['netns', 'pids', ns])).split('\n').filter(Boolean).map(Number);
    for (const pid of pids) {
      try { process.kill(pid, 'SIGKILL'); } catch { /* gone */ }
    }
  } catch { /* no such namespace */ }
  await sh('ip', ['netns', 'del', ns]).catch(() => {});
  fs.rmSync(`/etc/netns/${ns}`, { recursive: true, force: true });
}

// The same, synchronously: for the process's 'exit', where nothing asynchronous runs.
function removeNamespaceNow(ns) {
  try {
    const out = execFileSync('ip', ['netns', 'pids', ns], { stdio: ['ignore', 'pipe', 'ignore'] }).toString();
    for (const pid of out.split('\n').filter(Boolean).map(Number)) {
      try { process.kill(pid, 'SIGKILL'); } catch { /* gone */ }
    }
  } catch { /* no such namespace */ }
  try { execFileSync('ip', ['netns', 'del', ns], { stdio: 'ignore' }); } catch { /* gone */ }
  fs.rmSync(`/etc/netns/${ns}`, { recursive: true, force: true });
}

// Labs of runs that no longer live (killed, crashed) go before a new one starts.
export async function cleanStaleLabs() {
  // A run killed between removing a namespace and its folder leaves only the folder.
  let folders = [];
  try { folders = fs.readdirSync('/etc/netns'); } catch { /* none */ }
  const names = [...new Set([...(await namespaces()), ...folders])];
  const stale = names.filter((ns) => {
    const pid = ownerOf(ns);
    return pid !== null && pid !== process.pid && !alive(pid);
  });
  for (const ns of stale) await removeNamespace(ns);
  return stale;
}

// What a router lets through and how it maps its PC's flows:
//   cone       endpoint-independent mapping (the PC's source port kept for every
//              destination), filtering by address and port: what hole punching needs
//   symmetric  a new random port for every destination, so hole punching cannot work
//   tcp-only   cone, and UDP from the PC dropped: only TCP leaves this network
// Every kind drops what comes unasked from the WAN, before conntrack keeps it: a peer's
// check that arrives before the PC's own packet leaves no entry that would move the PC's
// mapping to another port.
export const NAT_KINDS = ['cone', 'symmetric', 'tcp-only'];

function routerRules(kind, impair) {
  const lossRule = impair && impair.lossPct
    ? [`    iifname "lan" numgen random mod 1000 < ${Math.round(impair.lossPct * 10)} drop`,
      `    oifname "lan" numgen random mod 1000 < ${Math.round(impair.lossPct * 10)} drop`]
    : [];
  return [
    `table ip ${PREFIX} {`,
    '  chain input {',
    '    type filter hook input priority filter; policy accept;',
    '    iifname "wan" ct state new drop',
    '  }',
    '  chain forward {',
    '    type filter hook forward priority filter; policy accept;',
    '    iifname "wan" ct state new drop',
    ...(kind === 'tcp-only' ? ['    iifname "lan" meta l4proto udp drop'] : []),
    ...lossRule,
    '  }',
    '  chain post {',
    '    type nat hook postrouting priority srcnat; policy accept;',
    `    oifname "wan" masquerade${kind === 'symmetric' ? ' fully-random' : ''}`,
    '  }',
    '}',
  ].join('\n') + '\n';
}

// Starts a lab with one PC per name in `pcs` (each behind a router of its own, "cone" to
// begin with). Resolves with the lab; stop() removes all of it. startTurn and
// startSignal start the servers on its internet (twopc.mjs calls them).
export async function startLab({ pcs }) {
  await cleanStaleLabs();
  const prefix = `${PREFIX}${process.pid}`;
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'vtr-netlab-'));
  const made = [];
  const live = new Set();
  const lab = {
    prefix,
    serverIp: SERVER_IP,
    ns: { inet: `${prefix}-inet`, sink: `${prefix}-sink` },
    pcs: {},
  };
  const kill = () => {
    for (const p of live) {
      try { p.kill('SIGKILL'); } catch { /* gone */ }
    }
  };
  // However this process ends, the lab goes with it: at 'exit' (a test that threw, an
  // uncaught error) synchronously; on a signal (ctest's time-out, Ctrl-C) the same, then
  // the exit the signal asked for; and when the process that started this one dies (the
  // test runner killed), this one cleans up and ends too. A lab that still stays behind
  // (SIGKILL) is removed by the next start (cleanStaleLabs).
  const removeNow = () => {
    kill();
    for (const ns of [...made].reverse()) removeNamespaceNow(ns);
    made.length = 0;
    fs.rmSync(tmp, { recursive: true, force: true });
  };
  const onSignal = (sig) => {
    removeNow();
    process.exit(128 + (os.constants.signals[sig] || 1));
  };
  const parent = process.ppid;
  const orphanWatch = setInterval(() => {
    if (process.ppid !== parent) onSignal('SIGHUP');
  }, 1000);
  orphanWatch.unref();
  const signals = ['SIGINT', 'SIGTERM', 'SIGHUP'];
  process.on('exit', removeNow);
  for (const sig of signals) process.on(sig, onSignal);

  const addNs = async (ns) => {
    await sh('ip', ['netns', 'add', ns]);
    made.push(ns);
    // Each namespace resolves through its own loopback, where nothing answers: no
    // program in the lab may wait for the machine's resolver.
    fs.mkdirSync(`/etc/netns/${ns}`, { recursive: true });
    fs.writeFileSync(`/etc/netns/${ns}/resolv.conf`, 'nameserver 127.0.0.1\n');
    await ipIn(ns, 'link', 'set', 'lo', 'up');
  };
  const sysctl = (ns, key, value) => nsExec(ns, 'sysctl', ['-qw', `${key}=${value}`]);

  lab.stop = async () => {
    for (const pc of Object.values(lab.pcs)) await pc.stopDelayLine?.();
    kill();
    for (const ns of made.reverse()) await removeNamespace(ns);
    made.length = 0;
    clearInterval(orphanWatch);
    process.off('exit', removeNow);
    for (const sig of signals) process.off(sig, onSignal);
    fs.rmSync(tmp, { recursive: true, force: true });
  };

  try {
    const { inet, sink } = lab.ns;
    await addNs(inet);
    await addNs(sink);
    await ipIn(inet, 'link', 'add', 'br0', 'type', 'bridge');
    await ipIn(inet, 'addr', 'add', `${SERVER_IP}/24`, 'dev', 'br0');
    await ipIn(inet, 'link', 'set', 'br0', 'up');
    await ipIn(inet, 'link', 'add', 'sink0', 'type', 'veth', 'peer', 'name', 'inet0', 'netns', sink);
    await ipIn(inet, 'addr', 'add', `${SINK.inet}/30`, 'dev', 'sink0');
    await ipIn(inet, 'link', 'set', 'sink0', 'up');
    await ipIn(sink, 'addr', 'add', `${SINK.sink}/30`, 'dev', 'inet0');
    await ipIn(sink, 'link', 'set', 'inet0', 'up');
    await ipIn(inet, 'route', 'add', 'default', 'via', SINK.sink);
    await sysctl(inet, 'net.ipv4.ip_forward', 1);
    await sysctl(sink, 'net.ipv4.ip_forward', 0);

    let n = 0;
    for (const name of pcs) {
      n += 1;
      const pc = {
        name,
        ns: `${prefix}-${name}`,
        router: `${prefix}-r-${name}`,
        wanIp: `198.18.0.${10 + n}`,
        lan: `198.19.${n}`,
        ip: `198.19.${n}.2`,
        kind: 'cone',
        impair: null,
        delayLine: null,
      };
      lab.pcs[name] = pc;
      await addNs(pc.router);
      await addNs(pc.ns);
      const wanEnd = `w-${name}`.slice(0, 15);
      await ipIn(inet, 'link', 'add', wanEnd, 'type', 'veth', 'peer', 'name', 'wan', 'netns', pc.router);
      await ipIn(inet, 'link', 'set', wanEnd, 'master', 'br0', 'up');
      await ipIn(pc.router, 'addr', 'add', `${pc.wanIp}/24`, 'dev', 'wan');
      await ipIn(pc.router, 'link', 'set', 'wan', 'up');
      await ipIn(pc.router, 'route', 'add', 'default', 'via', SERVER_IP);
      await sysctl(pc.router, 'net.ipv4.ip_forward', 1);
      await ipIn(pc.router, 'link', 'add', 'lan', 'type', 'veth', 'peer', 'name', 'eth0', 'netns', pc.ns);
      await addressPc(pc);
      await applyRules(pc);
      // A browser of this PC: the program Playwright starts.
      pc.browser = path.join(tmp, `chromium-${name}`);
      fs.writeFileSync(pc.browser, `#!/bin/sh\nexec ip netns exec '${pc.ns}' /usr/bin/chromium "$@"\n`, { mode: 0o755 });
      pc.launcher = ['ip', 'netns', 'exec', pc.ns];
      Object.assign(pc, pcControls(lab, pc, live));
    }
  } catch (e) {
    await lab.stop();
    throw e;
  }

  // Runs `file` with `args` inside `ns`, tracked so that the lab's end ends it.
  lab.spawnIn = (ns, file, args, options = {}) => {
    const proc = spawn('ip', ['netns', 'exec', ns, file, ...args], options);
    live.add(proc);
    proc.on('exit', () => live.delete(proc));
    return proc;
  };
  // The servers on the internet: coturn with UDP and TCP on 3478, vantriel-signal handing
  // out both. Every technician of the lab joins from a router's address, many times a run.
  const inInet = (file, args, options) => lab.spawnIn(lab.ns.inet, file, args, options);
  lab.startTurn = (dir, artifacts, secret) => startTurn({
    dir, artifacts, secret, ip: SERVER_IP, port: TURN_PORT, start: inInet,
    ready: async (proc, port) => {
      await listening(lab.ns.inet, 'u', port, proc, 'turnserver');
      await listening(lab.ns.inet, 't', port, proc, 'turnserver');
    },
  });
  lab.startSignal = (dir, artifacts, turn, extraArgs = []) => startSignal({
    dir, artifacts, turn, host: SERVER_IP, port: SIGNAL_PORT, turnTransports: ['udp', 'tcp'],
    args: ['--joins-per-min', '600', ...extraArgs], start: inInet,
  });
  return lab;
}

// The PC's side of its LAN: address, link, default route (what DHCP gives it).
async function addressPc(pc) {
  await ipIn(pc.router, 'addr', 'replace', `${pc.lan}.1/24`, 'dev', 'lan');
  await ipIn(pc.router, 'link', 'set', 'lan', 'up');
  await ipIn(pc.ns, 'addr', 'replace', `${pc.ip}/24`, 'dev', 'eth0');
  await ipIn(pc.ns, 'link', 'set', 'eth0', 'up');
  await ipIn(pc.ns, 'route', 'replace', 'default', 'via', `${pc.lan}.1`);
}

async function applyRules(pc) {
  // One transaction: the old table goes and the new one comes at once.
  const flush = `table ip ${PREFIX}\ndelete table ip ${PREFIX}\n`;
  await nsExec(pc.router, 'nft', ['-f', '-'], { input: flush + routerRules(pc.kind, pc.impair) });
}

// Rate on one device's way out: tbf, with a queue of at most `ms` at that rate.
async function shape(ns, dev, kbit, ms = 200) {
  await sh('tc', ['-n', ns, 'qdisc', 'replace', 'dev', dev, 'root', 'tbf', 'rate', `${kbit}kbit`,
    'burst', '16kb', 'latency', `${ms}ms`]);
}

function pcControls(lab, pc, live) {
  return {
    // Changes how the PC's router maps and filters (see NAT_KINDS).
    async setNat(kind) {
      if (!NAT_KINDS.includes(kind)) throw new Error(`no NAT kind ${kind}`);
      pc.kind = kind;
      await applyRules(pc);
    },

    // A bad access link, both ways: `kbit` through tbf, `lossPct` random loss in the
    // router (nftables numgen), `delayMs` each way through a delay line (a TAP device
    // pair and delay_line.py in place of the veth pair). null puts the plain link back.
    async setImpairment(impair) {
      await this.stopDelayLine();
      pc.impair = impair;
      if (impair && impair.delayMs) {
        await ipIn(pc.ns, 'link', 'del', 'eth0').catch(() => {});
        const proc = spawn('/usr/bin/python3', [path.join(HERE, 'delay_line.py'), pc.ns, 'eth0', pc.router, 'lan',
          String(impair.delayMs)], { stdio: ['ignore', 'pipe', 'pipe'] });
        live.add(proc);
        proc.on('exit', () => live.delete(proc));
        let said = '';
        proc.stderr.on('data', (d) => { said += d; });
        await new Promise((resolve, reject) => {
          readline.createInterface({ input: proc.stdout }).once('line', resolve);
          proc.once('exit', (code) => reject(new Error(`delay_line.py ended (${code}): ${said}`)));
        });
        pc.delayLine = proc;
        await addressPc(pc);
      } else if (!(await hasVeth(pc))) {
        await ipIn(pc.router, 'link', 'add', 'lan', 'type', 'veth', 'peer', 'name', 'eth0', 'netns', pc.ns);
        await addressPc(pc);
      }
      if (impair && impair.kbit) {
        await shape(pc.ns, 'eth0', impair.kbit);
        await shape(pc.router, 'lan', impair.kbit);
      } else {
        await sh('tc', ['-n', pc.ns, 'qdisc', 'del', 'dev', 'eth0', 'root']).catch(() => {});
        await sh('tc', ['-n', pc.router, 'qdisc', 'del', 'dev', 'lan', 'root']).catch(() => {});
      }
      await applyRules(pc);
    },

    async stopDelayLine() {
      const proc = pc.delayLine;
      if (!proc) return;
      pc.delayLine = null;
      const gone = new Promise((r) => proc.once('exit', r));
      proc.kill('SIGKILL');
      await gone;
      // The TAP devices went with their process.
      await sleep(100);
    },

    // The PC's link goes down (cable out, Wi-Fi lost) or comes back; coming back, the
    // PC gets its address and route again, as from DHCP.
    async linkDown() {
      await ipIn(pc.ns, 'link', 'set', 'eth0', 'down');
    },
    async linkUp() {
      await addressPc(pc);
    },

    // The PC gets a new address on its LAN; flows from the old one are lost.
    async newAddress() {
      const old = pc.ip;
      const last = Number(old.split('.')[3]);
      pc.ip = `${pc.lan}.${last === 2 ? 3 : 2}`;
      await ipIn(pc.ns, 'addr', 'del', `${old}/24`, 'dev', 'eth0');
      await addressPc(pc);
    },
  };
}

async function hasVeth(pc) {
  try {
    const out = await ipIn(pc.ns, '-d', 'link', 'show', 'eth0');
    return /veth/.test(out);
  } catch {
    return false;
  }
}

// Waits until `ns` has a socket listening on `port` for `proto` ("u" or "t").
function listening(ns, proto, port, proc, what) {
  return waitFor(async () => (await nsExec(ns, 'ss', [`-Hln${proto}`, 'sport', '=', `:${port}`])).trim(), {
    what: `${what} to listen on ${port}`,
    giveUp: () => proc.exitCode !== null && `${what} ended (${proc.exitCode})`,
  });
}

// The selected candidate pair of `page`'s newest open peer connection (or of the one
// `pick` chooses): each side's candidate type (host, srflx, prflx, relay), the protocol
// on the wire to the first hop (for a relay, how it reaches the TURN server), and the
// addresses. null while none is selected.
export function selectedPair(page, pick = 'last') {
  return page.evaluate(async (pick) => {
    const open = window.__pcs.filter((pc) => pc.connectionState !== 'closed');
    const pcs = pick === 'all' ? open : open.slice(-1);
    const out = [];
    for (const pc of pcs) {
      const stats = await pc.getStats();
      let pair = null;
      stats.forEach((s) => {
        if (s.type === 'transport' && s.selectedCandidatePairId) pair = stats.get(s.selectedCandidatePairId);
      });
      if (!pair) { out.push(null); continue; }
      const side = (c) => c && {
        type: c.candidateType,
        protocol: c.candidateType === 'relay' ? (c.relayProtocol || c.protocol) : c.protocol,
        address: `${c.address}:${c.port}`,
      };
      out.push({ state: pc.connectionState, local: side(stats.get(pair.localCandidateId)),
        remote: side(stats.get(pair.remoteCandidateId)), rtt: pair.currentRoundTripTime ?? null });
    }
    return pick === 'all' ? out : out[0] ?? null;
  }, pick);
}
