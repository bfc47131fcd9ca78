// The build step that joins the page sources into the single served page.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { execFileSync } from 'node:child_process';
import { ROOT, UI, scriptOrder } from './lib/page_scripts.mjs';

const cmake = process.env.CMAKE_COMMAND || 'cmake';
const script = path.join(ROOT, 'cmake/build_page.cmake');

function build(uiDir) {
  const out = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'vtr-page-')), 'page.html');
  execFileSync(cmake, [`-DUI_DIR=${uiDir}`, `-DOUTPUT=${out}`, '-P', script], { stdio: 'pipe' });
  return fs.readFileSync(out, 'utf8');
}

function copyUi() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vtr-ui-'));
  fs.cpSync(path.join(UI, 'index.html'), path.join(dir, 'index.html'));
  fs.cpSync(path.join(UI, 'css'), path.join(dir, 'css'), { recursive: true });
  fs.cpSync(path.join(UI, 'js'), path.join(dir, 'js'), { recursive: true });
  return dir;
}

test('the built page carries every source inline and nothing external', () => {
  const page = build(UI);
  assert.equal(page.match(/<style>/g).length, 1);
  assert.equal(page.match(/<script>/g).length, 1);
  assert.doesNotMatch(page, /<script src=|<link rel="stylesheet"/);
  assert.equal(page.match(/__TOKEN__/g).length, 1);
  assert.ok(page.includes('v__VERSION__'));
  for (const rel of scriptOrder()) {
    const body = fs.readFileSync(path.join(UI, rel), 'utf8');
    assert.ok(page.includes(body.trim().split('\n').slice(-1)[0]), `${rel} is in the page`);
  }
  // Scripts stay in the template's order (core first, start-up last).
  assert.ok(page.indexOf('/* js/core.js */') < page.indexOf('/* js/i18n.js */'));
  assert.ok(page.indexOf('/* js/files.js */') < page.indexOf('/* js/main.js */'));
});

test('a source file the template does not name stops the build', () => {
  const dir = copyUi();
  fs.writeFileSync(path.join(dir, 'js', 'stray.js'), 'const STRAY = 1;\n');
  assert.throws(() => build(dir), /stray\.js is not named in index\.html/);
});

test('a script holding a closing script tag stops the build', () => {
  const dir = copyUi();
  fs.appendFileSync(path.join(dir, 'js', 'chat.js'), 'const X = "</SCRIPT>";\n');
  assert.throws(() => build(dir), /would end the inline\s+block/);
});

test('a second token placeholder stops the build', () => {
  const dir = copyUi();
  fs.appendFileSync(path.join(dir, 'js', 'chat.js'), '// __TOKEN__\n');
  assert.throws(() => build(dir), /__TOKEN__ exactly once/);
});
