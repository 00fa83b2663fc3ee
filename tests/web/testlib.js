// Minimal test runner for plain `node`: test(name, fn) collects, run() reports and exits.
'use strict';

const fs = require('fs');
const path = require('path');
const vm = require('vm');

const ROOT = path.resolve(__dirname, '..', '..');
const tests = [];

function test(name, body) {
  tests.push({ name, body });
}

async function run() {
  let passed = 0;
  let failed = 0;
  for (const { name, body } of tests) {
    try {
      await body();
      passed += 1;
      console.log('ok - ' + name);
    } catch (error) {
      failed += 1;
      console.log('not ok - ' + name);
      console.log(String(error && error.stack ? error.stack : error).replace(/^/gm, '    '));
    }
  }
  console.log(passed + ' passed, ' + failed + ' failed');
  process.exitCode = failed === 0 ? 0 : 1;
}

function read(relative) {
  return fs.readFileSync(path.join(ROOT, relative), 'utf8');
}

// A fresh script context with the given globals; files are run as separate classic scripts,
// as the browser runs the page's script elements.
function context(globals) {
  const sandbox = Object.assign({ console: { log() {}, warn() {} } }, globals);
  const ctx = vm.createContext(sandbox);
  vm.runInContext('var window = globalThis;', ctx);
  return ctx;
}

function load(ctx, relative) {
  vm.runInContext(read(relative), ctx, { filename: relative });
}

// The UI script cut as the host cuts it: at each "function", searching from 8 past the last cut.
function cutLikeHost(script) {
  const pieces = [];
  let start = 0;
  for (;;) {
    const next = script.indexOf('function', start + 8);
    if (next < 0) {
      pieces.push(script.slice(start));
      return pieces;
    }
    pieces.push(script.slice(start, next));
    start = next;
  }
}

module.exports = { test, run, read, context, load, cutLikeHost, ROOT };
