// Static checks of the UI script and the page against each other and the host's injection:
// the script's shape, translation keys, element ids, vendor paths and syntax.
'use strict';

const fs = require('fs');
const path = require('path');
const vm = require('vm');
const { execFileSync } = require('child_process');
const assert = require('assert');
const { test, run, read, cutLikeHost, ROOT } = require('./testlib');

const UI_SCRIPT = 'app/ui_script.js';
const PAGE_SCRIPTS = fs.readdirSync(path.join(ROOT, 'web/js')).filter((name) => name.endsWith('.js'))
  .map((name) => 'web/js/' + name);
const FUNCTION_ORDER = [
  'addToPlaylist', 'addMediaFile', 'removeMediaFile', 'startNewPlaylist', 'selectPlaylistDlg',
  'selectPlaylistFile', 'savePlaylistDlg', 'savePlaylistFile', 'removePlayListDlg', 'removePlayList',
  'searchDevice', 'addToDevicelist', 'clickDeviceList', 'deviceSelectChanged', 'adDeployValidCheck',
  'openDeployDlg', 'deployPlayList', 'selectFile', 'openDeviceWeb', 'copyright'
];
// Keys the UI script builds at run time ("uiMenu" + the mode's suffix) besides its literal ones.
const LABEL_KEYS = ['uiMenu', 'AdDeploy', 'AdUnDeploy', 'AdSwitch', 'AdCamSwitch', 'ScreenEnable',
  'ScreenDisable', 'SetDevName', 'FWUpdate', 'Brand', 'Banner', 'Greeting', 'Emergency', 'ImportConf']
  .map((suffix) => (suffix === 'uiMenu' ? suffix : 'uiMenu' + suffix));
// Page functions, globals and their kinds that the UI script calls or reads.
const PAGE_API = ['checkUserPass', 'clearlist', 'clickPlayList', 'findDeviceIndexByIp',
  'getItemFromPlayListByFileName', 'hasAnyDeviceSelected', 'hasAnyNoAdDeviceSelected',
  'hasAnyNoVideoAdDeviceSelected', 'i18n_getMessage', 'isBannerAd', 'isGIF', 'isImage',
  'timeNumberToString', 'timeStringToNumber', 'setupDropDownMenu', 'showNotice', 'loadTranslation',
  'doMessage', 'init'];

const uiScript = read(UI_SCRIPT);
const indexHtml = read('web/index.html');
const en = JSON.parse(read('web/lang/en/messages.json'));
const de = JSON.parse(read('web/lang/de/messages.json'));

// Keys the UI script looks up through variables: a display's members and its capabilities.
const MEMBER_KEYS = ['BannerSupport', 'DeviceModel', 'ImageAdvertSupport', 'MacAddr', 'SerialNumber',
  'SoftwareVersion', 'Support', 'UnSupport', 'VideoAdvertSupport'];

// The keys written as literals in the first argument of every i18n_getMessage call: the whole
// argument, or a branch of a conditional ("a ? 'x' : 'y'").
function literalKeys(source) {
  const keys = new Set();
  for (const match of source.matchAll(/i18n_getMessage\(/g)) {
    let depth = 0;
    let previous = '(';
    for (let at = match.index + match[0].length; at < source.length; at += 1) {
      const c = source[at];
      if (c === "'") {
        const close = source.indexOf("'", at + 1);
        const next = source.slice(close + 1).trimStart()[0];
        if (depth === 0 && '(?:'.includes(previous) && next !== '?' && next !== '=') {
          keys.add(source.slice(at + 1, close));
        }
        at = close;
        previous = "'";
        continue;
      }
      if ('([{'.includes(c)) {
        depth += 1;
      } else if (')]}'.includes(c)) {
        if (depth === 0) {
          break;
        }
        depth -= 1;
      } else if (c === ',' && depth === 0) {
        break;
      }
      if (c.trim() !== '') {
        previous = c;
      }
    }
  }
  return keys;
}

test('"function" occurs exactly 20 times, each opening a top-level declaration', () => {
  const lines = uiScript.split('\n');
  const occurrences = [...uiScript.matchAll(/function/g)].length;
  assert.strictEqual(occurrences, 20);
  const heads = lines.filter((line) => line.includes('function'));
  heads.forEach((line) => assert.match(line, /^function [A-Za-z]\w*\(/, 'not a top-level head: ' + line));
  assert.deepStrictEqual(heads.map((line) => /^function (\w+)/.exec(line)[1]), FUNCTION_ORDER);
});

test('ipToInt32 is declared with let right after searchDevice, in the same piece', () => {
  const pieces = cutLikeHost(uiScript);
  const piece = pieces[FUNCTION_ORDER.indexOf('searchDevice')];
  assert.match(piece, /^function searchDevice\(/);
  const afterBody = piece.slice(piece.indexOf('\n}\n') + 3).trim();
  assert.match(afterBody, /^let ipToInt32 = \(ip\) =>/);
  assert.strictEqual([...uiScript.matchAll(/^let /gm)].length, 1, 'one top-level let');
});

test('the host cuts the script into 20 pieces that each compile on their own', () => {
  const pieces = cutLikeHost(uiScript);
  assert.strictEqual(pieces.length, 20);
  pieces.forEach((piece, index) => {
    assert.doesNotThrow(() => new vm.Script(piece, { filename: 'piece-' + (index + 1) }), 'piece ' + (index + 1));
  });
});

test('the pieces run in order define every function and ipToInt32 in one page', () => {
  const ctx = vm.createContext({});
  cutLikeHost(uiScript).forEach((piece) => vm.runInContext(piece, ctx));
  FUNCTION_ORDER.forEach((name) => assert.strictEqual(vm.runInContext('typeof ' + name, ctx), 'function', name));
  assert.strictEqual(vm.runInContext('typeof ipToInt32', ctx), 'function');
});

test('the UI script is plain ASCII, so pieces cut by UTF-16 units and by bytes agree', () => {
  assert.ok(/^[\x00-\x7f]*$/.test(uiScript));
});

test('every page function and global the UI script relies on is defined by the page', () => {
  const ctx = vm.createContext({ window: {}, document: { addEventListener() {} }, $: () => ({}) });
  vm.runInContext('window = globalThis;', ctx);
  ['web/js/util.js', 'web/js/i18n.js', 'web/js/page.js', 'web/js/progress.js', 'web/js/messages.js']
    .forEach((file) => vm.runInContext(read(file), ctx, { filename: file }));
  const bridge = read('web/js/bridge.js');
  assert.match(bridge, /^function init\(event\)/m);
  PAGE_API.filter((name) => name !== 'init').forEach((name) => {
    assert.strictEqual(vm.runInContext('typeof ' + name, ctx), 'function', name);
  });
  assert.ok(vm.runInContext('Array.isArray(devList) && Array.isArray(deployList)', ctx));
});

test('the translations have the same keys and the same placeholders', () => {
  assert.deepStrictEqual(Object.keys(de).sort(), Object.keys(en).sort());
  for (const key of Object.keys(en)) {
    const holders = (text) => [...new Set(text.match(/\$\d/g) || [])].sort();
    assert.deepStrictEqual(holders(de[key]), holders(en[key]), key);
    assert.ok(en[key].trim() !== '' && de[key].trim() !== '', key);
  }
});

test('every key the UI script and the page ask for is translated', () => {
  const wanted = new Set(LABEL_KEYS.concat(MEMBER_KEYS));
  [UI_SCRIPT, ...PAGE_SCRIPTS].forEach((file) => literalKeys(read(file)).forEach((key) => wanted.add(key)));
  for (const match of indexHtml.matchAll(/data-i18n(?:-title|-placeholder)?="([^"]+)"/g)) {
    wanted.add(match[1]);
  }
  for (const file of [UI_SCRIPT, ...PAGE_SCRIPTS]) {
    for (const match of read(file).matchAll(/(?:setSaveState|showStartFailure|failDeploy|refuse|showLabel)\('([^']+)'/g)) {
      wanted.add(match[1]);
    }
  }
  const missing = [...wanted].filter((key) => !(key in en));
  assert.deepStrictEqual(missing, []);
});

test('every element id the UI script names exists once in index.html', () => {
  const ids = [...indexHtml.matchAll(/\sid="([^"]+)"/g)].map((match) => match[1]);
  const duplicates = ids.filter((id, index) => ids.indexOf(id) !== index);
  assert.deepStrictEqual(duplicates, []);
  const named = new Set();
  for (const source of [uiScript, ...PAGE_SCRIPTS.map(read)]) {
    for (const match of source.matchAll(/\$\('([^']+)'\)/g)) {
      for (const id of match[1].matchAll(/#([A-Za-z][\w-]*)/g)) {
        named.add(id[1]);
      }
    }
    for (const match of source.matchAll(/getElementById\('([^']+)'\)/g)) {
      named.add(match[1]);
    }
  }
  const missing = [...named].filter((id) => !ids.includes(id));
  assert.deepStrictEqual(missing, []);
});

test('the page has the adType radios and the modal dialogs the UI script uses', () => {
  for (const value of ['1', '2', '255']) {
    assert.match(indexHtml, new RegExp('type="radio"[^>]*name="adType" value="' + value + '"'));
  }
  for (const id of ['preview', 'savePlaylistCard', 'removePlaylistCard', 'deviceEditor', 'deployPlaylistCard']) {
    assert.match(indexHtml, new RegExp('class="modal fade" id="' + id + '"'));
  }
});

test('the page loads nothing from outside its own folder', () => {
  const references = [...indexHtml.matchAll(/\s(?:src|href)="([^"]+)"/g)].map((match) => match[1]);
  assert.ok(references.length > 0);
  references.forEach((reference) => assert.doesNotMatch(reference, /^(?:[a-z]+:)?\/\//i, reference));
  for (const file of [UI_SCRIPT, ...PAGE_SCRIPTS, 'web/css/quillora.css']) {
    assert.doesNotMatch(read(file), /https?:\/\/(?!' \+)/, file);
  }
});

test('every vendor file the page references is shipped by the Debian packages the build copies', () => {
  const sources = {
    jquery: '/usr/share/javascript/jquery',
    'jquery-ui': '/usr/share/javascript/jquery-ui',
    bootstrap4: '/usr/share/javascript/bootstrap4',
    'popper.js': '/usr/share/javascript/popper.js',
    'font-awesome': '/usr/share/fonts-font-awesome'
  };
  const vendor = [...indexHtml.matchAll(/"vendor\/([^/"]+)\/([^"]+)"/g)];
  assert.ok(vendor.length >= 5);
  for (const [, library, file] of vendor) {
    assert.ok(library in sources, 'unknown library ' + library);
    assert.ok(fs.existsSync(path.join(sources[library], file)), sources[library] + '/' + file);
  }
});

test('every script passes node --check', () => {
  for (const file of [UI_SCRIPT, ...PAGE_SCRIPTS]) {
    execFileSync(process.execPath, ['--check', path.join(ROOT, file)], { stdio: 'pipe' });
  }
});

run();
