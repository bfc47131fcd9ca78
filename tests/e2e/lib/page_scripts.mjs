// The page's modules (apps/vantriel/ui/js) imported as they are, for tests under Node.
// Modules that wire up the document at import time find a minimal stand-in for the DOM:
// import this file before any page module.
import path from 'node:path';
import { webcrypto } from 'node:crypto';
import { fileURLToPath, pathToFileURL } from 'node:url';

export const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../..');
export const UI = path.join(ROOT, 'apps/vantriel/ui');

function stubElement() {
  return new Proxy(
    { style: {}, dataset: {}, classList: { add() {}, remove() {}, toggle() {} } },
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

// The browser's cryptographic generator (a global from Node 19 on; Debian 12 has 18).
if (!globalThis.crypto) globalThis.crypto = webcrypto;

if (!globalThis.document) {
  const el = stubElement();
  globalThis.document = {
    getElementById: () => el,
    querySelector: () => el,
    querySelectorAll: () => [],
    addEventListener() {},
    createElement: () => stubElement(),
    documentElement: el,
  };
  globalThis.window = { addEventListener() {}, innerWidth: 1280, innerHeight: 800 };
  if (!globalThis.navigator) globalThis.navigator = {};
}

// A page module by its file name, e.g. await pageModule('i18n.js').
export function pageModule(name) {
  return import(pathToFileURL(path.join(UI, 'js', name)).href);
}
