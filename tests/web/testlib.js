// What the page tests share: the project's files, script contexts and the host's cutting.
'use strict';

const fs = require('fs');
const path = require('path');
const vm = require('vm');

const ROOT = path.resolve(__dirname, '..', '..');
const read = (relative) => fs.readFileSync(path.join(ROOT, relative), 'utf8');
const EN = JSON.parse(read('web/lang/en/messages.json'));
const DE = JSON.parse(read('web/lang/de/messages.json'));

// A fresh context with the given globals in which each file runs as a classic script of its
// own, as the browser runs the page's script elements.
function context(globals, files) {
  const ctx = vm.createContext(Object.assign({ console: { log() {}, warn() {} } }, globals));
  vm.runInContext('var window = globalThis;', ctx);
  (files || []).forEach((file) => vm.runInContext(read(file), ctx, { filename: file }));
  return ctx;
}

// The UI script in the pieces the host posts: at each "function", searching from 8 past the
// last cut (the host's own cutting is tested beside it).
function cutLikeHost(script) {
  const pieces = [];
  let start = 0;
  for (let next; (next = script.indexOf('function', start + 8)) >= 0; start = next) {
    pieces.push(script.slice(start, next));
  }
  return pieces.concat(script.slice(start));
}

module.exports = { read, context, cutLikeHost, EN, DE, ROOT };
