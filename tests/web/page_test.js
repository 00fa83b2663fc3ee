// Behaviour of the page's own scripts: time and file helpers, translations with their fallback,
// display capability checks, and how host messages drive the deploy progress.
'use strict';

const assert = require('assert');
const fs = require('fs');
const path = require('path');
const vm = require('vm');
const { test, run, context, load, ROOT } = require('./testlib');

const EN = JSON.parse(fs.readFileSync(path.join(ROOT, 'web/lang/en/messages.json'), 'utf8'));
const DE = JSON.parse(fs.readFileSync(path.join(ROOT, 'web/lang/de/messages.json'), 'utf8'));

// A stand-in for jQuery that accepts any chain of calls; reads come from `reads`, and calls on
// the selectors in `watch` are recorded.
function chainable(reads, calls) {
  const make = (selector) => new Proxy(() => {}, {
    get: (target, property) => {
      if (property === 'length') {
        return 0;
      }
      return (...args) => {
        calls.push([selector, property, ...args]);
        const value = reads[selector] && reads[selector][property];
        if (value !== undefined && (args.length === 0 || (args.length === 1 && property === 'attr'))) {
          return typeof value === 'object' ? value[args[0]] : value;
        }
        return make(selector);
      };
    }
  });
  return (selector) => make(typeof selector === 'string' ? selector : '(element)');
}

function pageContext(reads) {
  const calls = [];
  const notices = [];
  const timers = [];
  const ctx = context({
    $: chainable(reads || {}, calls),
    document: { addEventListener() {} },
    setTimeout: (callback) => timers.push(callback),
    setInterval: () => 1,
    clearInterval() {}
  });
  ['web/js/util.js', 'web/js/i18n.js', 'web/js/page.js', 'web/js/progress.js'].forEach((file) => load(ctx, file));
  // Display operations only ever run after the UI script has arrived.
  vm.runInContext('currentMessages = ' + JSON.stringify(EN) + '; uiReady = true;', ctx);
  ctx.showNotice = (text, level) => notices.push([level, text]);
  return { ctx, calls, notices, timers, call: (code) => vm.runInContext(code, ctx) };
}

test('play times convert to hh:mm:ss and back', () => {
  const { call } = pageContext();
  const cases = [[0, '00:00:00'], [10, '00:00:10'], [65, '00:01:05'], [3661, '01:01:01'], [86399, '23:59:59']];
  for (const [seconds, text] of cases) {
    assert.strictEqual(call('timeNumberToString(' + seconds + ')'), text);
    assert.strictEqual(call('timeStringToNumber(' + JSON.stringify(text) + ')'), seconds);
  }
  assert.strictEqual(call('timeNumberToString(12.7)'), '00:00:12');
  assert.strictEqual(call('timeNumberToString(-5)'), '00:00:00');
  assert.strictEqual(call('timeNumberToString("x")'), '00:00:00');
});

test('durations are read from seconds, mm:ss or hh:mm:ss; anything else is 0', () => {
  const { call } = pageContext();
  const cases = [['90', 90], [' 1:05 ', 65], ['2:00:00', 7200], [15, 15], ['', 0], ['1:2:3:4', 0],
    ['-5', 0], ['1.5', 0], ['abc', 0], ['1::2', 0]];
  for (const [text, seconds] of cases) {
    assert.strictEqual(call('timeStringToNumber(' + JSON.stringify(text) + ')'), seconds, JSON.stringify(text));
  }
  assert.strictEqual(call('timeStringToNumber(undefined)'), 0);
});

test('images and GIFs are told apart by the extension, in any letter case', () => {
  const { call } = pageContext();
  const image = (name) => call('isImage(' + JSON.stringify(name) + ')');
  const gif = (name) => call('isGIF(' + JSON.stringify(name) + ')');
  ['a.png', 'B.JPG', 'c.Jpeg', 'd.bmp', 'e.webp', 'f.gif'].forEach((name) => assert.ok(image(name), name));
  ['a.mp4', 'b.MOV', 'png', 'gif.mkv', 'x.png.mp4', ''].forEach((name) => assert.ok(!image(name), name));
  assert.ok(gif('Anim.GIF') && !gif('still.png') && !gif('gif'));
  assert.strictEqual(call('defaultDuration("a.png")'), 10);
  assert.strictEqual(call('defaultDuration("a.mp4")'), 0);
});

test('the host part of an address ignores the port', () => {
  const { call } = pageContext();
  assert.strictEqual(call('hostOfAddress("192.168.1.10:80")'), '192.168.1.10');
  assert.strictEqual(call('hostOfAddress("192.168.1.10")'), '192.168.1.10');
  assert.strictEqual(call('hostOfAddress("[fe80::1]:8080")'), 'fe80::1');
  assert.notStrictEqual(call('hostOfAddress("192.168.1.1:80")'), call('hostOfAddress("192.168.1.10:80")'));
});

test('capability checks look only at the selected displays', () => {
  const { call } = pageContext();
  call(`devList.push(
    { IPAddr: '10.0.0.1', VideoAdvertSupport: 1, ImageAdvertSupport: 1, BannerSupport: 1, selected: true },
    { IPAddr: '10.0.0.2', VideoAdvertSupport: 0, ImageAdvertSupport: 1, BannerSupport: 0, selected: false },
    { IPAddr: '10.0.0.3', VideoAdvertSupport: 0, ImageAdvertSupport: 0, BannerSupport: 1, selected: false })`);
  assert.ok(call('hasAnyDeviceSelected()'));
  assert.ok(!call('hasAnyNoAdDeviceSelected()') && !call('hasAnyNoVideoAdDeviceSelected()'));
  call('devList[1].selected = true');
  assert.ok(!call('hasAnyNoAdDeviceSelected()') && call('hasAnyNoVideoAdDeviceSelected()'));
  call('devList[2].selected = true');
  assert.ok(call('hasAnyNoAdDeviceSelected()'));
  call('devList.forEach((d) => { d.selected = false; })');
  assert.ok(!call('hasAnyDeviceSelected()'));
  assert.strictEqual(call('findDeviceIndexByIp("10.0.0.3")'), 2);
  assert.strictEqual(call('findDeviceIndexByIp("10.0.0.30")'), -1);
});

// Translations served from the real files under web/, as the page fetches them.
function translationContext(files) {
  const requested = [];
  const ctx = context({
    document: { querySelectorAll: () => [], documentElement: { setAttribute() {} }, dispatchEvent() {} },
    CustomEvent: class {},
    fetch: async (url) => {
      requested.push(url);
      const body = files ? files[url] : (() => {
        const file = path.join(ROOT, 'web', url);
        return fs.existsSync(file) ? fs.readFileSync(file, 'utf8') : undefined;
      })();
      return { ok: body !== undefined, json: async () => JSON.parse(body) };
    }
  });
  load(ctx, 'web/js/i18n.js');
  return { ctx, requested, call: (code) => vm.runInContext(code, ctx) };
}

test('a locale name falls back to its language, then to English', async () => {
  const env = translationContext();
  assert.strictEqual(await env.call('loadTranslation("de-DE")'), 'de');
  assert.strictEqual(env.call('i18n_getMessage("btnSave")'), DE.btnSave);
  assert.deepStrictEqual(env.requested, ['lang/en/messages.json', 'lang/de-DE/messages.json', 'lang/de/messages.json']);
  assert.strictEqual(await env.call('loadTranslation("fr_CA")'), 'en');
  assert.strictEqual(env.call('i18n_getMessage("btnSave")'), EN.btnSave);
  assert.strictEqual(await env.call('loadTranslation("")'), 'en');
});

test('a language name never reaches outside lang/', async () => {
  const env = translationContext();
  assert.strictEqual(await env.call('loadTranslation("../../conf/x")'), 'en');
  env.requested.forEach((url) => assert.match(url, /^lang\/[A-Za-z0-9_-]+\/messages\.json$/, url));
});

test('keys missing in a translation come from English; unknown keys show themselves', async () => {
  const env = translationContext({
    'lang/en/messages.json': JSON.stringify({ a: 'A', b: 'B $1 of $2' }),
    'lang/de/messages.json': JSON.stringify({ a: 'Ä' })
  });
  await env.call('loadTranslation("de")');
  assert.strictEqual(env.call('i18n_getMessage("a")'), 'Ä');
  assert.strictEqual(env.call('i18n_getMessage("b", [3, 4])'), 'B 3 of 4');
  assert.strictEqual(env.call('i18n_getMessage("b", "x")'), 'B x of ');
  assert.strictEqual(env.call('i18n_getMessage("constructor")'), 'constructor');
  assert.strictEqual(env.call('i18n_getMessage("nope")'), 'nope');
});

test('of two overlapping loads the later request wins', async () => {
  const env = translationContext();
  const first = env.call('loadTranslation("de")');
  const second = env.call('loadTranslation("en")');
  await Promise.all([first, second]);
  assert.strictEqual(env.call('i18n_getMessage("btnSave")'), EN.btnSave);
});

// One display's row through a sequence of host messages.
function walk(mode, fetchReport, messages) {
  const { call } = pageContext();
  let row = { phase: 'working' };
  const states = [];
  for (const [kind, payload] of messages) {
    const next = call('deployTransition(' + [mode, fetchReport, row, kind, payload].map((v) => JSON.stringify(v)).join(',') + ')');
    if (next !== null) {
      row = Object.assign({}, row, next);
    }
    states.push(next === null ? null : [next.phase, next.key].concat(next.args));
  }
  return states;
}

const at = (status, extra) => Object.assign({ ip: '192.168.1.21:80', status: status }, extra);

test('a playlist deploy waits after the connection closes and ends with the display report', () => {
  assert.deepStrictEqual(walk('adDeploy', true, [
    ['device', at('mgclose')],
    ['device', at('mgerror')],
    ['playlist', at('finish', { total: '4', success: '4', failed: '0', ip: '192.168.1.21:50100' })],
    ['playlist', at('finish', { total: '4', success: '4', failed: '0' })]
  ]), [['waiting', 'stateWaitingReport'], null, ['done', 'stateFinished', '4', '4'], null]);
  assert.deepStrictEqual(walk('adDeploy', true, [['playlist', at('finish', { total: '3', success: '2', failed: '1' })]]),
    [['partial', 'stateFinishedWithErrors', '2', '3', '1']]);
});

test('failures are reported with their reason and end the row', () => {
  const first = (mode, kind, payload, fetchReport) => walk(mode, fetchReport, [[kind, payload]])[0];
  assert.deepStrictEqual(first('adDeploy', 'login', at('ERROR'), true), ['failed', 'stateLoginFailed']);
  assert.deepStrictEqual(first('adDeploy', 'device', at('mgerror'), true), ['failed', 'stateUnreachable']);
  assert.deepStrictEqual(first('adDeploy', 'adUploadRequest', at('NO Enough Space'), true), ['failed', 'stateNoSpace']);
  assert.deepStrictEqual(first('adDeploy', 'adUploadRequest', at('Unsupported Ad Upload Request Code: 400'), true),
    ['failed', 'stateUploadCode', '400']);
  assert.deepStrictEqual(first('adEnable', 'device', at('Unsupported code: 401'), false), ['failed', 'stateHttpError', '401']);
  assert.deepStrictEqual(first('brand', 'parse', at('ERROR'), false), ['failed', 'stateParseError']);
  assert.deepStrictEqual(first('login', 'login', at('Unsupported Login Code: 500'), false), ['failed', 'stateLoginCode', '500']);
  assert.deepStrictEqual(first('emergency', 'emergency', at('Unsupported Emergency Request Code: 9'), false),
    ['failed', 'stateEmergencyCode', '9']);
  assert.deepStrictEqual(first('fwUpdate', 'firmware', at('ERROR'), true), ['failed', 'stateFirmwareFailed']);
  assert.deepStrictEqual(first('adUndeploy', 'clear', at('ERROR'), false), ['failed', 'stateSettingRefused']);
  assert.deepStrictEqual(first('screenDisable', 'screen', at('ERROR'), false), ['failed', 'stateSettingRefused']);
});

test('a closed connection without an answer fails a single request', () => {
  assert.deepStrictEqual(walk('setDevName', false, [['device', at('mgclose')], ['devName', at('OK')]]),
    [['failed', 'stateClosed'], null]);
  assert.deepStrictEqual(walk('login', false, [['login', at('OK')], ['device', at('mgclose')]]),
    [['done', 'stateLoginOk'], null]);
});

test('replies of another kind than the mode expects leave the row alone', () => {
  assert.deepStrictEqual(walk('adEnable', false, [['firmware', at('OK')], ['devName', at('OK')], ['adSwitch', at('OK')]]),
    [null, null, ['done', 'stateSettingOk']]);
  assert.deepStrictEqual(walk('adDeploy', true, [['login', at('OK')], ['playlist', { ip: 'x' }]]), [null, null]);
  assert.deepStrictEqual(walk('confImport', false, [['configure', at('OK')]]), [['done', 'stateConfigureOk']]);
  assert.deepStrictEqual(walk('emergency', false, [['emergency', at('OK')]]), [['done', 'stateEmergencyOk']]);
  assert.deepStrictEqual(walk('emergency', true, [['device', at('mgclose')], ['emergency', at('finish', { total: '1', success: '1', failed: '0' })]]),
    [['waiting', 'stateWaitingReport'], ['done', 'stateFinished', '1', '1']]);
});

test('every state the progress can show is translated', () => {
  const { call } = pageContext();
  const source = fs.readFileSync(path.join(ROOT, 'web/js/progress.js'), 'utf8');
  const keys = new Set([...source.matchAll(/'(state[A-Z]\w*)'/g)].map((m) => m[1]));
  assert.ok(keys.size >= 20);
  keys.forEach((key) => assert.ok(key in EN && key in DE, key));
  assert.ok(call('silentRows([{ phase: "working", lastActivity: 0 }, { phase: "waiting", lastActivity: 0 }], 200000, 120000).length') === 1);
});

const DEPLOY_READS = {
  '#deployMode': { attr: { mode: 'adDeploy' } },
  '#currentPlaylistName': { text: 'Lobby' },
  '#uiDeployType': { attr: { 'data-i18n': 'uiMenuAdDeploy' } }
};

function startDeploy(reads, targets) {
  const env = pageContext(reads);
  env.call('devList.push({ IPAddr: "192.168.1.21", DeviceName: "Left" }, { IPAddr: "192.168.1.22" })');
  env.call('deployList = ' + JSON.stringify(targets));
  return env;
}

const spinnerStopped = (calls) => calls.some((c) => c[0] === '#deploySpinner' && c[1] === 'addClass' && c[2] === 'd-none') &&
  calls.some((c) => c[0] === '#deployIcon' && c[1] === 'removeClass' && c[2] === 'd-none');

test('each display leaves deployList when its work ends; the last one stops the spinner', () => {
  const env = startDeploy(DEPLOY_READS, [{ ip: '192.168.1.21', port: 80 }, { ip: '192.168.1.22', port: 80 }]);
  env.call('onDeployMessage("device", { status: "mgclose", ip: "192.168.1.21:80" })');
  assert.strictEqual(env.call('deployList.length'), 2);
  env.call('onDeployMessage("playlist", { status: "finish", total: "2", success: "2", failed: "0", ip: "192.168.1.21:50321" })');
  assert.deepStrictEqual(JSON.parse(env.call('JSON.stringify(deployList)')), [{ ip: '192.168.1.22', port: 80 }]);
  assert.ok(!spinnerStopped(env.calls));
  env.call('onDeployMessage("login", { status: "ERROR", ip: "192.168.1.22:80" })');
  assert.strictEqual(env.call('deployList.length'), 0);
  assert.ok(spinnerStopped(env.calls));
  assert.deepStrictEqual(env.notices, [['danger', 'Deploy playlist: 1 succeeded, 1 failed.']]);
  env.call('onDeployMessage("device", { status: "mgclose", ip: "192.168.1.22:80" })');
  assert.strictEqual(env.notices.length, 1);
});

test('a host error ends every display of the operation', () => {
  const env = startDeploy(DEPLOY_READS, [{ ip: '192.168.1.21', port: 80 }, { ip: '192.168.1.22', port: 80 }]);
  env.call('failDeploy("deployErrorZeroSize")');
  assert.strictEqual(env.call('deployList.length'), 0);
  assert.ok(spinnerStopped(env.calls));
  assert.strictEqual(env.notices[0][1], EN.deployErrorZeroSize);
});

test('a screen switch waits for the display and frees it with its answer', () => {
  const reads = Object.assign({}, DEPLOY_READS, { '#deployMode': { attr: { mode: 'screenDisable' } } });
  const env = startDeploy(reads, [{ ip: '192.168.1.21', port: 80 }]);
  env.timers.forEach((callback) => callback());
  assert.strictEqual(env.call('deployList.length'), 1);
  env.call('onDeployMessage("adSwitch", { status: "OK", ip: "192.168.1.21:80" })');
  assert.strictEqual(env.call('deployList.length'), 1);
  env.call('onDeployMessage("screen", { status: "OK", ip: "192.168.1.21:80" })');
  assert.strictEqual(env.call('deployList.length'), 0);
  assert.strictEqual(env.call('deployOperation.rows[0].key'), 'stateSettingOk');
  assert.strictEqual(env.notices[0][0], 'success');
});

test('a display that stays silent is given up, and a late answer still counts', () => {
  const reads = Object.assign({}, DEPLOY_READS, { '#deployMode': { attr: { mode: 'adEnable' } } });
  const env = startDeploy(reads, [{ ip: '192.168.1.21', port: 80 }]);
  env.call('deployOperation.rows[0].lastActivity -= DEPLOY_SILENCE_LIMIT_MS + 1; checkSilentDisplays()');
  assert.strictEqual(env.call('deployList.length'), 0);
  assert.strictEqual(env.call('deployOperation.rows[0].key'), 'stateNoAnswer');
  env.call('onDeployMessage("adSwitch", { status: "OK", ip: "192.168.1.21:80" })');
  assert.strictEqual(env.call('deployOperation.rows[0].key'), 'stateSettingOk');
});

test('a renamed display shows its new name in the list', () => {
  const reads = Object.assign({}, DEPLOY_READS, { '#deployMode': { attr: { mode: 'setDevName' } }, '#DeviceName': { val: 'Hall' } });
  const env = startDeploy(reads, [{ ip: '192.168.1.22', port: '80' }]);
  env.call('onDeployMessage("devName", { status: "OK", ip: "192.168.1.22:80" })');
  assert.strictEqual(env.call('devList[1].DeviceName'), 'Hall');
});

run();
