// Loads the page's scripts (apps/vantriel/ui/js) into a Node VM context with a minimal
// stand-in for the DOM, so that their pure functions can be tested as the page has them.
import fs from 'node:fs';
import path from 'node:path';
import vm from 'node:vm';
import { fileURLToPath } from 'node:url';

export const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../..');
export const UI = path.join(ROOT, 'apps/vantriel/ui');

// The script files in the order the page template names them.
export function scriptOrder() {
  const html = fs.readFileSync(path.join(UI, 'index.html'), 'utf8');
  return [...html.matchAll(/<script src="(js\/[A-Za-z0-9_-]+\.js)"><\/script>/g)].map((m) => m[1]);
}

function stubElement() {
  return new Proxy(
    { style: {}, dataset: {}, classList: { add() {}, remove() {} } },
    {
      get(target, key) {
        if (key in target) return target[key];
        if (key === 'addEventListener' || key === 'setAttribute' || key === 'removeAttribute') return () => {};
        if (key === 'querySelector' || key === 'closest') return () => null;
        if (key === 'querySelectorAll') return () => [];
        return undefined;
      },
      set(target, key, value) {
        target[key] = value;
        return true;
      },
    },
  );
}

// Returns the context; evaluate names in it with `ctx.run("expression")`. The start-up
// script (main.js) is left out: it would talk to a host.
export function loadPage() {
  const el = stubElement();
  const sandbox = {
    console,
    setTimeout,
    clearTimeout,
    setInterval: () => 0,
    clearInterval: () => {},
    document: {
      getElementById: () => el,
      querySelector: () => el,
      querySelectorAll: () => [],
      addEventListener() {},
      documentElement: el,
    },
    window: { addEventListener() {}, innerWidth: 1280 },
    navigator: {},
    location: { reload() {} },
    performance: { mark() {} },
  };
  const ctx = vm.createContext(sandbox);
  for (const rel of scriptOrder()) {
    if (rel === 'js/main.js') continue;
    vm.runInContext(fs.readFileSync(path.join(UI, rel), 'utf8'), ctx, { filename: rel });
  }
  return { run: (code) => vm.runInContext(code, ctx) };
}
