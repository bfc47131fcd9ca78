// The build step that joins the page sources into the single served page.
import { after, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { execFileSync } from 'node:child_process';
import { ROOT, UI } from './lib/page_scripts.mjs';

const cmake = process.env.CMAKE_COMMAND || 'cmake';

// A fresh folder under the system's temporary one, removed when the file's tests end.
const made = [];
after(() => made.forEach((dir) => fs.rmSync(dir, { recursive: true, force: true })));
function tempDir(prefix) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  made.push(dir);
  return dir;
}
const script = path.join(ROOT, 'cmake/build_page.cmake');

function build(uiDir, out = path.join(tempDir('vtr-page-'), 'page.html')) {
  execFileSync(cmake, [`-DUI_DIR=${uiDir}`, `-DOUTPUT=${out}`, '-P', script], { stdio: 'pipe' });
  return fs.readFileSync(out, 'utf8');
}

function copyUi() {
  const dir = tempDir('vtr-ui-');
  for (const name of ['index.html', 'package.json', 'parts', 'css', 'js']) {
    fs.cpSync(path.join(UI, name), path.join(dir, name), { recursive: true });
  }
  return dir;
}

test('the built page carries the sheets and the bundled modules inline, minified, and nothing external', () => {
  const out = path.join(tempDir('vtr-page-'), 'page.html');
  const page = build(UI, out);
  assert.equal(page.match(/<style>/g).length, 1);
  assert.equal(page.match(/<script>/g).length, 1);
  assert.equal(page.match(/<\/script>/gi).length, 1);
  assert.doesNotMatch(page, /<script src=|<script type="module"|<link rel="stylesheet"|\bimport\s*\{|\bexport\s/);
  assert.equal(page.match(/__TOKEN__/g).length, 1);
  assert.ok(page.includes('v__VERSION__'));
  // The shared markup is in place, and no include directive is left.
  assert.ok(page.includes('<div id="viewer" class="viewer" hidden>'));
  assert.doesNotMatch(page, /<!--#include/);
  // Every module is bundled, and every sheet is in the page, minified: each sheet's first
  // selector is found with its white space gone.
  const bundled = Object.keys(JSON.parse(fs.readFileSync(`${out}.parts/meta.json`, 'utf8')).inputs);
  for (const module of fs.readdirSync(path.join(UI, 'js')).filter((m) => !m.startsWith('web_'))) {
    assert.ok(bundled.includes(`js/${module}`), `js/${module} is bundled`);
  }
  const style = page.slice(page.indexOf('<style>'), page.indexOf('</style>'));
  for (const sheet of fs.readdirSync(path.join(UI, 'css'))) {
    const body = fs.readFileSync(path.join(UI, 'css', sheet), 'utf8').replace(/\/\*[\s\S]*?\*\//g, '');
    const selector = body.slice(0, body.indexOf('{')).trim().replace(/\s*([>,+~])\s*/g, '$1').replace(/\s+/g, ' ');
    assert.ok(style.includes(selector + '{'), `${sheet} is in the page (${selector})`);
  }
  // Minified: no comment or indentation is left of the sheets or of the modules.
  assert.doesNotMatch(style, /\/\*|\n  /);
  assert.doesNotMatch(page.slice(page.indexOf('<script>')), /\n  |\/\/ js\//);
});

test('a module nothing imports stops the build', () => {
  const dir = copyUi();
  fs.writeFileSync(path.join(dir, 'js', 'stray.js'), 'export const STRAY = 1;\n');
  assert.throws(() => build(dir), /js\/stray\.js is not imported by js\/main\.js/);
});

test('an import cycle among the modules stops the build and is named', () => {
  const dir = copyUi();
  // The session's lifecycle reaching up into a side that imports it.
  fs.appendFileSync(path.join(dir, 'js', 'session.js'), 'import { drawHostBar } from "./host_session.js";\nexport const up = () => drawHostBar;\n');
  let said = '';
  assert.throws(() => {
    try {
      build(dir);
    } catch (e) {
      said = String(e.stderr).replace(/\s+/g, ' ');
      throw e;
    }
  });
  // Every cycle there is passes the new import; the one named starts and ends alike.
  const cycle = said.match(/import each other in a cycle: ((?:js\/\w+\.js -> )+js\/\w+\.js)/);
  assert.ok(cycle, said);
  const names = cycle[1].split(' -> ');
  assert.equal(names[0], names.at(-1));
  assert.ok(cycle[1].includes('js/session.js -> js/host_session.js'), cycle[1]);
});

test('a closing script tag in a string cannot end the inline block', () => {
  const dir = copyUi();
  fs.appendFileSync(path.join(dir, 'js', 'main.js'), 'console.log("</SCRIPT>");\n');
  const page = build(dir);
  assert.equal(page.match(/<\/script/gi).length, 1);
});

test('a second token placeholder or a broken module stops the build', () => {
  const dir = copyUi();
  fs.appendFileSync(path.join(dir, 'js', 'main.js'), 'console.log("__TOKEN__");\n');
  assert.throws(() => build(dir), /__TOKEN__ exactly once/);
  const broken = copyUi();
  fs.appendFileSync(path.join(broken, 'js', 'main.js'), 'import { nothing } from "./core.js";\nnothing();\n');
  assert.throws(() => build(broken), /esbuild failed[\s\S]*nothing/);
});
