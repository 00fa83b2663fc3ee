// The UI script and the page checked against each other and against the translations: what
// breaks the page on some path that the desktop run does not take.
'use strict';

const vm = require('vm');
const assert = require('assert');
const test = require('node:test');
const { read, context, EN, DE } = require('./testlib');

const UI_SCRIPT = read('app/ui_script.js');
const HTML = read('web/index.html');
const PAGE_FILES = ['util', 'i18n', 'page', 'progress', 'messages', 'bridge'].map((name) => `web/js/${name}.js`);
const SOURCES = [UI_SCRIPT, ...PAGE_FILES.map(read)];

test('every page function the UI script calls is defined by the page', () => {
  const ctx = context({ document: { addEventListener() {} }, $: () => ({}) }, PAGE_FILES.slice(0, 5));
  const called = new Set([...UI_SCRIPT.matchAll(/(?<![\w.$'])([a-z]\w+)\(/g)].map((match) => match[1]));
  const own = new Set([...UI_SCRIPT.matchAll(/(?:function|let) (\w+)/g)].map((match) => match[1]));
  const keywords = ['if', 'for', 'switch', 'while', 'return', 'catch', 'setTimeout'];
  const missing = [...called].filter((name) => !own.has(name) && !keywords.includes(name) &&
    vm.runInContext(`typeof ${name}`, ctx) === 'undefined');
  assert.deepStrictEqual(missing, []);
  assert.ok(vm.runInContext('Array.isArray(devList) && Array.isArray(deployList)', ctx));
});

test('the translations agree, and every key the scripts and the page ask for is there', () => {
  assert.deepStrictEqual(Object.keys(DE).sort(), Object.keys(EN).sort());
  const holders = (text) => [...new Set(text.match(/\$\d/g) || [])].sort().join();
  Object.keys(EN).forEach((key) => assert.ok(holders(DE[key]) === holders(EN[key]) && DE[key].trim() !== '', key));
  const wanted = new Set(['Support', 'UnSupport', 'VideoAdvertSupport', 'ImageAdvertSupport', 'BannerSupport',
    'DeviceModel', 'MacAddr', 'SerialNumber', 'SoftwareVersion', 'uiMenu']);
  const patterns = [/(?:i18n_getMessage|setSaveState|showStartFailure|failDeploy|refuse|showLabel)\('(\w+)'/g,
    /i18n_getMessage\([^;]*?\? '(\w+)' : '(\w+)'/g, /'(state[A-Z]\w*)'/g];
  for (const source of SOURCES) {
    patterns.forEach((pattern) => [...source.matchAll(pattern)].forEach((match) => match.slice(1).forEach((key) => wanted.add(key))));
  }
  // The deploy dialog's labels: "uiMenu" and the suffix of its mode.
  [...UI_SCRIPT.matchAll(/\['\w+', '([A-Z]\w*)'\]/g)].forEach((match) => wanted.add('uiMenu' + match[1]));
  [...HTML.matchAll(/data-i18n(?:-title|-placeholder)?="([^"]+)"/g)].forEach((match) => wanted.add(match[1]));
  assert.ok(wanted.size > 100);
  assert.deepStrictEqual([...wanted].filter((key) => !(key in EN)), []);
});

test('every element id the scripts name exists once in the page', () => {
  const ids = [...HTML.matchAll(/\sid="([^"]+)"/g)].map((match) => match[1]);
  assert.deepStrictEqual(ids.filter((id, index) => ids.indexOf(id) !== index), []);
  const named = SOURCES.flatMap((source) => [...source.matchAll(/\$\('([^']+)'\)/g)]
    .flatMap((match) => [...match[1].matchAll(/#([A-Za-z][\w-]*)/g)].map((id) => id[1]))
    .concat([...source.matchAll(/getElementById\('([^']+)'\)/g)].map((match) => match[1])));
  assert.deepStrictEqual(named.filter((id) => !ids.includes(id)), []);
  ['1', '2', '255'].forEach((value) => assert.match(HTML, new RegExp(`name="adType" value="${value}"`)));
});

test('the page loads nothing from elsewhere', () => {
  const references = [...HTML.matchAll(/\s(?:src|href)="([^"]+)"/g)].map((match) => match[1]);
  assert.ok(references.length > 10);
  references.forEach((reference) => assert.doesNotMatch(reference, /^(?:[a-z]+:)?\/\/|^\//i, reference));
  [...SOURCES, read('web/css/quillora.css')].forEach((source) => assert.doesNotMatch(source, /https?:\/\/(?!' \+)/));
});
