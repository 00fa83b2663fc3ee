// The page as the view runs it: its own scripts, then the UI script in the host's pieces, over
// a fake jQuery. What it sends to the host for every operation, how host messages drive the
// deploy progress, its helpers and translations; and the scripts checked against the page and
// the translations on the paths that the desktop run does not take.
'use strict';

const assert = require('assert');
const fs = require('fs');
const path = require('path');
const vm = require('vm');
const test = require('node:test');

const ROOT = path.resolve(__dirname, '..', '..');
const read = (relative) => fs.readFileSync(path.join(ROOT, relative), 'utf8');
const EN = JSON.parse(read('web/lang/en/messages.json'));
const DE = JSON.parse(read('web/lang/de/messages.json'));

const UI_SCRIPT = read('app/ui_script.js');
// The pieces the host posts: "function" opens each of them (the host's cutting is tested beside it).
const PIECES = UI_SCRIPT.split(/(?=function)/);
const HTML = read('web/index.html');
const PAGE_FILES = ['util', 'i18n', 'page', 'progress', 'known', 'history', 'schedules', 'messages', 'bridge'].map((name) => `web/js/${name}.js`);
const SOURCES = [UI_SCRIPT, ...PAGE_FILES.map(read)];

// Elements by id keep val, text, prop, attr, classes and modal calls (reads take the first
// element, writes go to all); the playlist's <li> items are {attr, spans}; any other call
// chains on and does nothing.
function fakePage() {
  const elements = new Map();
  const page = { items: [], adType: null };
  page.element = (id) => elements.get(id) ||
    elements.set(id, { val: '', text: '', prop: false, attr: {}, classes: new Set(), modal: [] }).get(id);
  const wrap = (list) => {
    const access = (name, keyed) => (...args) => {
      const key = keyed ? args.shift() : undefined;
      if (args[0] === undefined) {
        return list[0] ? (name === 'attr' ? list[0].attr[key] : list[0][name]) : (name === 'text' ? '' : undefined);
      }
      list.forEach((e) => { if (name === 'attr') e.attr[key] = String(args[0]); else e[name] = name === 'prop' ? args[0] : String(args[0]); });
      return self;
    };
    const classes = (action) => (name) => { list.forEach((e) => e.classes && e.classes[action](name)); return self; };
    const known = { length: list.length, wrapped: true, val: access('val'), text: access('text'), prop: access('prop', true),
      attr: access('attr', true), addClass: classes('add'), removeClass: classes('delete'), get: () => list.slice(),
      hasClass: (name) => Boolean(list[0] && list[0].classes.has(name)), first: () => wrap(list.slice(0, 1)),
      modal: (command) => { list.forEach((e) => e.modal.push(command)); return self; },
      children: (selector) => (selector === 'li' ? wrap(page.items) : { eq: (i) => ({ text: () => list[0].spans[i] }) }) };
    const self = new Proxy(known, { get: (target, name) => (name in target ? target[name] : () => self) });
    return self;
  };
  page.$ = (selector) => {
    if (typeof selector !== 'string') return selector && selector.wrapped ? selector : wrap(selector && selector.spans ? [selector] : []);
    if (selector === 'input[name="adType"]:checked') return wrap(page.adType === null ? [] : [{ val: page.adType }]);
    return wrap(/^#\w+(, *#\w+)*$/.test(selector) ? selector.split(',').map((id) => page.element(id.trim().slice(1))) : []);
  };
  return page;
}

// The page with the operator's FIELDS filled in, in deploy MODE; translations come from FILES
// or from the real files under web/.
function pageContext(fields, mode, files) {
  const page = fakePage();
  const [sent, notices, requested] = [[], [], []];
  const fetch = async (url) => {
    requested.push(url);
    const file = path.join(ROOT, 'web', url);
    const body = files ? files[url] : fs.existsSync(file) ? fs.readFileSync(file, 'utf8') : undefined;
    return { ok: body !== undefined, json: async () => JSON.parse(body) };
  };
  const document = { addEventListener() {}, querySelectorAll: () => [], documentElement: { setAttribute() {} }, dispatchEvent() {} };
  const ctx = vm.createContext({ $: page.$, document, fetch, CustomEvent: class {}, setTimeout: () => 1, setInterval: () => 1,
    clearInterval() {}, console: { log() {}, warn() {} }, chrome: { webview: { postMessage: (text) => sent.push(JSON.parse(text)) } } });
  // Each file and piece runs as a classic script of its own, as the page's script elements do.
  const scripts = ['var window = globalThis;', ...PAGE_FILES.slice(0, -1).map(read), ...PIECES];
  scripts.concat(`currentMessages = ${JSON.stringify(EN)}; uiReady = true;`).forEach((script) => vm.runInContext(script, ctx));
  ctx.showNotice = (text, level) => notices.push([level, text]);
  Object.entries(Object.assign({ currentPlaylistName: 'Lobby' }, fields)).forEach(([id, value]) =>
    Object.assign(page.element(id), typeof value === 'boolean' ? { prop: value } : { val: value, text: value }));
  page.element('deployMode').attr.mode = mode || 'adDeploy';
  page.element('deploySpinner').classes.add('d-none');
  const call = (code) => {
    const value = vm.runInContext(code, ctx);
    return value && typeof value.then === 'function' ? value : JSON.parse(JSON.stringify(value) ?? 'null');
  };
  return { page, sent, notices, requested, call, spinning: () => !page.element('deploySpinner').classes.has('d-none') };
}

const DISPLAYS = [{ IPAddr: '192.168.1.21', HTTPPort: 80, selected: true, DeviceName: 'Left' },
  { IPAddr: '192.168.1.30', HTTPPort: 80, selected: false }, { IPAddr: '192.168.1.40', HTTPPort: 8080, selected: true }];
const ip = ['192.168.1.21:80', '192.168.1.40:8080'];
const SELECTED = [{ ip: '192.168.1.21', port: 80 }, { ip: '192.168.1.40', port: 8080 }];
const EDITOR = { IPAddr: '192.168.1.30', HTTPPort: '8000', DeviceName: 'Hall', SerialNumber: 'SN1', DeviceModel: 'QD-1', SoftwareVersion: '2.0' };
const on = (names) => Object.fromEntries(names.split(' ').map((name) => [name.replace('!', ''), !name.startsWith('!')]));

test('each operation sends exactly what the host reads, to the displays it names', () => {
  const cases = [
    ['adDeploy', {}, 'playlist deploy', { file: 'Lobby.json', ip }, SELECTED],
    ['emergency', { EmergencyEnable: true }, 'emergency deploy', { ip, enable: '1', file: 'Lobby.json' }],
    ['emergency', { EmergencyEnable: false, currentPlaylistName: '' }, 'emergency deploy', { ip, enable: '0' }],
    ['adEnable', {}, 'ad set', { cmd: '1', ip }], ['adDisable', {}, 'ad set', { cmd: '0', ip }],
    ['adCamSwitchEnable', {}, 'adCamSwitch set', { cmd: '1', ip }], ['adCamSwitchDisable', {}, 'adCamSwitch set', { cmd: '0', ip }],
    ['screenEnable', {}, 'screen set', { cmd: '1', ip }], ['screenDisable', {}, 'screen set', { cmd: '0', ip }],
    ['adUndeploy', {}, 'playlist undeploy', { ip }],
    ['setDevName', EDITOR, 'devName set', { devName: 'Hall', ip: ['192.168.1.30:8000'], devId: 'SN1', devMode: 'QD-1',
      devVersion: '2.0', info: '' }, [{ ip: '192.168.1.30', port: '8000' }]],
    ['brand', { brandEnable: true, brandX: '10', brandY: ' 20 ', brandWidth: '', brandHeight: '' }, 'brand deploy',
      { enable: '1', ip, x: '10', y: '20' }],
    ['brand', { brandEnable: false, brandWidth: '300', brandHeight: '100', deployBrand: 'logo.png', fullFilePath: '/h/logo.png' },
      'brand deploy', { enable: '0', ip, width: '300', height: '100', title: 'logo.png', path: '/h/logo.png' }],
    ['banner', { ...on('bannerAlwaysEnable !bannerPIREnable bannerFaceEnable !bannerMotionEnable bannerAlarmInEnable'),
      deployBanner: 'stop.png', fullFilePath: '/p/stop.png' }, 'banner deploy',
    { always: '1', pir: '0', face: '1', motion: '0', alarm: '1', ip, title: 'stop.png', path: '/p/stop.png' }],
    ['greeting', on('greetingPIREnable !greetingFaceEnable greetingMotionEnable !greetingAlarmInEnable'), 'greeting deploy',
      { pir: '1', face: '0', motion: '1', alarm: '0', ip }],
    ['fwUpdate', { deployFileName: 'v2.epak', fullFilePath: 'v2.epak' }, 'firmware deploy', { title: 'v2.epak', ip }],
    ['confImport', { deployFileName: 'site.conf', fullFilePath: '/etc/q/site.conf' }, 'configure deploy',
      { title: 'site.conf', path: '/etc/q/site.conf', ip }],
    // Without credentials or a chosen file nothing is sent and no operation starts.
    ['adDeploy', { username: '' }, null, null, []], ['adDeploy', { password: '' }, null, null, []],
    ['fwUpdate', { deployFileName: '' }, null, null, [], [['warning', EN.deployNoFile]]],
    ['confImport', { deployFileName: '' }, null, null, [], [['warning', EN.deployNoFile]]]
  ];
  for (const [mode, fields, what, payload, targets, notices] of cases) {
    const env = pageContext({ username: 'admin', password: 'p@ss word', ...fields }, mode);
    env.call(`devList.push(...${JSON.stringify(DISPLAYS)}); deployPlayList()`);
    const [T, C] = what ? what.split(' ') : [];
    assert.deepStrictEqual(env.sent, what ? [{ T, C, V: 1, P: { user: 'admin', pass: 'p@ss word', ...payload } }] : [], mode);
    if (targets) assert.deepStrictEqual([env.call('deployList'), env.spinning()], [targets, targets.length > 0], mode);
    if (notices) assert.deepStrictEqual(env.notices, notices, mode);
    if (mode === 'adDeploy' && what) assert.deepStrictEqual(env.page.element('deployPlaylistCard').modal, ['hide']);
  }
});

test('file choices, the display web page and the address order', () => {
  const env = pageContext({ IPAddr: '10.0.0.7', HTTPPort: '8080' });
  for (const [dialog, call] of [['fwUpdate', 'selectFile()'], ['confImport', 'selectFile(undefined)'],
    ['confImport', "selectFile('alertAudio')"], ['brand', 'selectFile()'], ['', 'openDeviceWeb()']]) {
    env.page.element('deployMode').attr.mode = dialog;
    env.call(call);
  }
  assert.deepStrictEqual(env.sent.map((m) => [m.T, m.C, m.P]), [['firmware', 'add', ''], ['configure', 'add', ''],
    ['alertAudio', 'add', ''], ['deviceweb', 'open', { url: 'http://10.0.0.7:8080' }]]);
  const order = ['10.0.0.7', '192.168.1.20', '192.168.1.100', '192.168.1.255', '192.168.2.1', '255.255.255.255'];
  assert.deepStrictEqual(env.call(`${JSON.stringify(order)}.map(ipToInt32)`),
    [167772167, 3232235796, 3232235876, 3232236031, 3232236033, 4294967295]);
});

test('saving builds one item per list entry, asks before overwriting and refuses unsafe names', () => {
  let env = pageContext({ inputPlaylistFileName: ' Lobby.json ', existPlaylistFiles: '#' });
  env.page.adType = '255';
  env.page.items.push({ attr: { value: '10' }, spans: ['Sale.png', 'abc.png'] }, { attr: { value: '0' }, spans: ['Film.mp4', 'def.mp4'] });
  env.call('savePlaylistFile(true)');
  const [{ T, C, P }] = env.sent;
  assert.deepStrictEqual([T, C, P.name], ['playlist', 'save', 'Lobby.json']);
  assert.deepStrictEqual(P.playlist.map((item) => [item.type, item.duration, item.title, item.url]),
    [[255, 10, 'Sale.png', 'abc.png'], [255, 0, 'Film.mp4', 'def.mp4']]);
  P.playlist.forEach((item) => assert.ok(Number.isInteger(item.id) && item.id >= 0 && item.id <= 4294967294));
  assert.strictEqual(env.page.element('currentPlaylistType').text, `[ ${EN.uiSaveDlgTypeEmergencyLabel} ]`);
  env = pageContext({ inputPlaylistFileName: 'Menu', existPlaylistFiles: '#' });
  env.call('savePlaylistFile(true)');
  assert.deepStrictEqual([env.sent[0].P, env.page.element('currentPlaylistType').text],
    [{ playlist: [], name: 'Menu.json' }, `[ ${EN.uiSaveDlgTypeFullLabel} ]`]);
  env = pageContext({ inputPlaylistFileName: 'Lobby', existPlaylistFiles: '#Menu.json;Lobby.json' });
  env.page.element('rewriteWarning').classes.add('d-none');
  env.call('savePlaylistFile(true)');
  assert.deepStrictEqual([env.sent, env.page.element('rewriteWarning').classes.has('d-none')], [[], false]);
  assert.strictEqual(env.page.element('rewriteWarningText').text, EN.rewriteFile.replace('$1', 'Lobby'));
  env.call('savePlaylistFile(false)');
  assert.strictEqual(env.sent.length, 1);
  for (const name of ['   ', '.json', '../x', 'a/b', 'a\\b', '..']) {
    env = pageContext({ inputPlaylistFileName: name, existPlaylistFiles: '#' });
    env.call('savePlaylistFile(true)');
    assert.deepStrictEqual([env.sent, env.notices.length], [[], 1], JSON.stringify(name));
  }
  env.call("deployList = [{ ip: '192.168.1.21', port: 80 }]; addMediaFile(); removeMediaFile('Sale.png', 'abc.png'); removePlayListDlg()");
  assert.deepStrictEqual([env.sent, env.notices.slice(1).map((n) => n[1])], [[], Array(3).fill(EN.removeMedia)]);
});

const SELECTION = '[hasAnyDeviceSelected(), hasAnyNoAdDeviceSelected(), hasAnyNoVideoAdDeviceSelected()]';
test('helpers: play times, durations, media kinds, display addresses and capabilities', () => {
  const { call } = pageContext();
  const cases = [
    ['[0, 65, 3661, 86399, 12.7, -5, "x"].map(timeNumberToString)', ['00:00:00', '00:01:05', '01:01:01', '23:59:59',
      '00:00:12', '00:00:00', '00:00:00']],
    ['["01:01:01", "90", " 1:05 ", 15, "", "1:2:3:4", "-5", "1.5", "1::2", undefined].map((t) => timeStringToNumber(t))',
      [3661, 90, 65, 15, 0, 0, 0, 0, 0, 0]],
    ['["a.png", "B.JPG", "c.Jpeg", "d.bmp", "e.webp", "f.gif"].every(isImage)', true],
    ['["a.mp4", "png", "gif.mkv", "x.png.mp4", ""].some(isImage)', false],
    ['[isGIF("Anim.GIF"), isGIF("still.png"), isGIF("gif"), defaultDuration("a.png"), defaultDuration("a.mp4")]',
      [true, false, false, 10, 0]],
    ['["192.168.1.10:80", "192.168.1.10", "[fe80::1]:8080"].map(hostOfAddress)', ['192.168.1.10', '192.168.1.10', 'fe80::1']],
    // Capability checks look only at the selected displays.
    [`devList.push({ IPAddr: '10.0.0.1', VideoAdvertSupport: 1, ImageAdvertSupport: 1, selected: true }, { IPAddr: '10.0.0.2',
      VideoAdvertSupport: 0, ImageAdvertSupport: 1 }, { IPAddr: '10.0.0.3', VideoAdvertSupport: 0, ImageAdvertSupport: 0 }); ${SELECTION}`,
    [true, false, false]],
    [`devList[1].selected = true; ${SELECTION}`, [true, false, true]], [`devList[2].selected = true; ${SELECTION}`, [true, true, true]],
    [`devList.forEach((d) => { d.selected = false; }); ${SELECTION}`, [false, false, false]],
    ['[findDeviceIndexByIp("10.0.0.3"), findDeviceIndexByIp("10.0.0.30")]', [2, -1]]
  ];
  cases.forEach(([code, expected]) => assert.deepStrictEqual(call(code), expected, code));
});
test('a locale falls back to its language, then to English, and never reaches outside lang/', async () => {
  let env = pageContext();
  env.requested.length = 0;
  assert.strictEqual(await env.call('loadTranslation("de-DE")'), 'de');
  assert.strictEqual(env.call('i18n_getMessage("btnSave")'), DE.btnSave);
  assert.deepStrictEqual(env.requested, ['lang/en/messages.json', 'lang/de-DE/messages.json', 'lang/de/messages.json']);
  for (const name of ['fr_CA', '', '../../conf/x']) {
    assert.strictEqual(await env.call(`loadTranslation(${JSON.stringify(name)})`), 'en');
  }
  assert.strictEqual(env.call('i18n_getMessage("btnSave")'), EN.btnSave);
  env.requested.forEach((url) => assert.match(url, /^lang\/[A-Za-z0-9_-]+\/messages\.json$/, url));
  // Of two overlapping loads the later one wins.
  await Promise.all([env.call('loadTranslation("de")'), env.call('loadTranslation("en")')]);
  assert.strictEqual(env.call('i18n_getMessage("btnSave")'), EN.btnSave);
  // Keys missing in a translation come from English; unknown keys show themselves.
  env = pageContext({}, null, { 'lang/en/messages.json': '{"a": "A", "b": "B $1 of $2"}', 'lang/de/messages.json': '{"a": "Ä"}' });
  await env.call('loadTranslation("de")');
  const cases = [['"a"', 'Ä'], ['"b", [3, 4]', 'B 3 of 4'], ['"b", "x"', 'B x of '], ['"constructor"', 'constructor'], ['"nope"', 'nope']];
  cases.forEach(([args, expected]) => assert.strictEqual(env.call(`i18n_getMessage(${args})`), expected, args));
});

const at = (status, extra) => Object.assign({ ip: '192.168.1.21:80', status }, extra);
const finish = (success, total, failed, ip) => at('finish', { success, total, failed, ip });

test('host messages move a display row through its states', () => {
  const cases = [
    ['adDeploy', true, [['device', at('mgclose')], ['device', at('mgerror')], ['playlist', finish('4', '4', '0', '192.168.1.21:50100')],
      ['playlist', finish('4', '4', '0')]], [['waiting', 'stateWaitingReport'], null, ['done', 'stateFinished', '4', '4'], null]],
    ['adDeploy', true, [['playlist', finish('2', '3', '1')]], [['partial', 'stateFinishedWithErrors', '2', '3', '1']]],
    ['adDeploy', true, [['adUploadRequest', at('NO Enough Space')]], [['failed', 'stateNoSpace']]],
    ['adDeploy', true, [['adUploadRequest', at('Unsupported Ad Upload Request Code: 400')]], [['failed', 'stateUploadCode', '400']]],
    ['adDeploy', true, [['login', at('OK')], ['playlist', { ip: 'x' }]], [null, null]],
    ['adEnable', false, [['device', at('Unsupported code: 401')]], [['failed', 'stateHttpError', '401']]],
    ['adEnable', false, [['firmware', at('OK')], ['devName', at('OK')], ['adSwitch', at('OK')]], [null, null, ['done', 'stateSettingOk']]],
    ['brand', false, [['parse', at('ERROR')]], [['failed', 'stateParseError']]],
    ['login', false, [['login', at('Unsupported Login Code: 500')]], [['failed', 'stateLoginCode', '500']]],
    ['login', false, [['login', at('OK')], ['device', at('mgclose')]], [['done', 'stateLoginOk'], null]],
    ['setDevName', false, [['device', at('mgclose')], ['devName', at('OK')]], [['failed', 'stateClosed'], null]],
    ['emergency', false, [['emergency', at('Unsupported Emergency Request Code: 9')]], [['failed', 'stateEmergencyCode', '9']]],
    ['emergency', false, [['emergency', at('OK')]], [['done', 'stateEmergencyOk']]],
    ['emergency', true, [['device', at('mgclose')], ['emergency', finish('1', '1', '0')]], [['waiting', 'stateWaitingReport'], ['done', 'stateFinished', '1', '1']]],
    ['fwUpdate', true, [['firmware', at('ERROR')]], [['failed', 'stateFirmwareFailed']]],
    ['adUndeploy', false, [['clear', at('ERROR')]], [['failed', 'stateSettingRefused']]],
    ['confImport', false, [['configure', at('OK')]], [['done', 'stateConfigureOk']]],
    ['adDeploy', true, [['device', { status: 'waiting', reason: 'window', window: { from: '22:00', to: '05:00' } }], ['device', at('started')],
      ['device', at('waiting')], ['device', at('mgclose')]],
    [['held', 'stateHeldWindow', '22:00', '05:00'], ['working', 'stateSending'], ['held', 'stateHeldWave'], ['waiting', 'stateWaitingReport']]]
  ];
  const { call } = pageContext();
  for (const [mode, fetchReport, messages, expected] of cases) {
    let row = { phase: 'working' };
    const states = messages.map(([kind, payload]) => {
      const next = call(`deployTransition(${[mode, fetchReport, row, kind, payload].map((v) => JSON.stringify(v))})`);
      row = next === null ? row : Object.assign({}, row, next);
      return next === null ? null : [next.phase, next.key, ...next.args];
    });
    assert.deepStrictEqual(states, expected, mode + ' ' + JSON.stringify(messages));
  }
  assert.strictEqual(call('silentRows([{ phase: "working", lastActivity: 0 }, { phase: "waiting", lastActivity: 0 }, { phase: "held", lastActivity: 0 }], 200000, 120000).length'), 1);
});


test('a host error, an answer or silence ends a display of the operation', () => {
  const answer = (kind) => `onDeployMessage("${kind}", { status: "OK", ip: "192.168.1.21:80" })`;
  const state = '[deployList.length, deployOperation.rows[0].key, !$("#deploySpinner").hasClass("d-none")]';
  const cases = [  // mode, displays, the first notice, then each step with the state after it
    ['adDeploy', 2, ['danger', EN.deployErrorZeroSize], ['failDeploy("deployErrorZeroSize")', [0, 'deployErrorZeroSize', false]]],
    ['screenDisable', 1, ['success', 'Deploy: done on 1 display(s).'], [answer('adSwitch'), [1, 'stateConnecting', true]],
      [answer('screen'), [0, 'stateSettingOk', false]]],
    ['adEnable', 1, ['danger', 'Deploy: 0 succeeded, 1 failed.'], ['deployOperation.rows[0].lastActivity -= DEPLOY_SILENCE_LIMIT_MS + 1; checkSilentDisplays()',
      [0, 'stateNoAnswer', false]], [answer('adSwitch'), [0, 'stateSettingOk', false]]]
  ];
  for (const [mode, count, notice, ...steps] of cases) {
    const env = pageContext({}, mode);
    env.page.element('deploySpinner').classes.delete('d-none');
    env.call(`deployList = ${JSON.stringify([{ ip: '192.168.1.21', port: 80 }, { ip: '192.168.1.22', port: 80 }].slice(0, count))}`);
    steps.forEach(([code, expected]) => assert.deepStrictEqual(env.call(`${code}; ${state}`), expected, `${mode}: ${code}`));
    assert.deepStrictEqual(env.notices[0], notice, mode);
  }
});

test('every page function the UI script calls is defined by the page', () => {
  const { call } = pageContext();
  const called = new Set([...UI_SCRIPT.matchAll(/(?<![\w.$'])([a-z]\w+)\(/g)].map((match) => match[1]));
  const own = new Set([...UI_SCRIPT.matchAll(/(?:function|let) (\w+)/g)].map((match) => match[1]));
  const keywords = ['if', 'for', 'switch', 'while', 'return', 'catch', 'setTimeout'];
  const missing = [...called].filter((name) => !own.has(name) && !keywords.includes(name) &&
    call(`typeof ${name}`) === 'undefined');
  assert.deepStrictEqual(missing, []);
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

// Remembered displays, groups and the run journal.
const KNOWN = [
  { ip: '10.0.0.5:80', name: 'Hall', mac: 'aa', capabilities: { VideoAdvertSupport: 1 }, lastState: 'failed', manual: true },
  { ip: '10.0.0.6:8080', name: '', lastState: null }, { ip: 'bogus', name: 'x' }, { ip: '10.0.0.7:0' }, null];
const host = (T, C, P) => JSON.stringify({ T, C, V: 1, P });
const listed = '[devList.map((d) => [d.IPAddr, d.HTTPPort, Boolean(d.Known), Boolean(d.Seen), d.LastState ?? null, d.VideoAdvertSupport])]';

function recordsPage(fields) {
  const env = pageContext(fields);
  env.call('deviceRow = () => $(null); addToDevicelist = (d) => { if (!devList.some((k) => k.IPAddr === d.IPAddr && k.MacAddr === d.MacAddr)) devList.push(d); }');
  env.receive = (T, C, P) => env.call(`doMessage(${JSON.stringify(host(T, C, P))})`);
  return env;
}

test('remembered displays are listed unseen with their last state until a search answers for them', () => {
  const cases = [  // host messages, then the list, the notices
    [[['inventory', 'get', { displays: KNOWN }]],
      [['10.0.0.5', 80, true, false, 'failed', 1], ['10.0.0.6', 8080, true, false, null, 0]], []],
    [[['inventory', 'get', { displays: KNOWN }], ['device', 'add', { IPAddr: '10.0.0.5', HTTPPort: 80, MacAddr: 'aa' }]],
      [['10.0.0.6', 8080, true, false, null, 0], ['10.0.0.5', 80, true, true, 'failed', null]], []],
    [[['device', 'add', { IPAddr: '10.0.0.9', HTTPPort: 80 }], ['inventory', 'get', { displays: KNOWN.slice(0, 1) }]],
      [['10.0.0.9', 80, false, true, null, null], ['10.0.0.5', 80, true, false, 'failed', 1]], []],
    [[['inventory', 'get', { displays: [], status: 'ERROR', error: 'disk full' }]], [],
      [['danger', EN.inventoryUnavailable.replace('$1', 'disk full')]]],
    [[['inventory', 'get', { displays: KNOWN }], ['inventory', 'remove', { ip: '10.0.0.6:8080', status: 'OK' }]],
      [['10.0.0.5', 80, true, false, 'failed', 1]], [['success', 'Display 10.0.0.6:8080 removed.']]],
    [[['inventory', 'add', { ip: '10.0.0.8:80', status: 'ERROR', error: 'exists' }]], [],
      [['danger', 'Display 10.0.0.8:80 could not be added: exists']]],
    [[['inventory', 'get', { displays: KNOWN }], ['history', 'state', { id: 4, ip: '10.0.0.6:8080', state: 'confirmed' }]],
      [['10.0.0.5', 80, true, false, 'failed', 1], ['10.0.0.6', 8080, true, false, 'confirmed', 0]], []]
  ];
  for (const [messages, list, notices] of cases) {
    const env = recordsPage();
    messages.forEach((message) => env.receive(...message));
    assert.deepStrictEqual([env.call(listed)[0], env.notices], [list, notices], JSON.stringify(messages));
  }
});

const RUNS = [{ id: 7, kind: 'playlist', started: 1, playlist: 'Lobby', group: 'Hall', retryOf: 3, displays: [
  { ip: '10.0.0.5:80', state: 'reported', detail: { seen: 1, files: 2 } }, { ip: '10.0.0.6:8080', state: 'confirmed' }] },
{ id: 3, kind: 'brand', displays: [{ ip: '10.0.0.5:80', state: 'pending' }, { ip: '10.0.0.6:8080', state: 'bogus' }] }];
const summary = '[historyRuns.map(runSummary).map((r) => [r.id, r.kind, r.target, r.retryOf, r.retry, r.displays.map((d) => d.text)])]';

test('the history lists each run with its displays in words and follows the state the host pushes', () => {
  const lobby = [7, 'Playlist', 'Lobby · group Hall', 3, false, ['Done, 1 of 2 files seen', 'Confirmed']];
  const cases = [
    [[['history', 'get', { limit: 50, runs: RUNS }]], [lobby, [3, 'brand', '', 0, true, ['Pending', 'bogus']]], ''],
    [[['history', 'get', { runs: RUNS.slice(0, 1) }], ['history', 'state', { id: 7, ip: '10.0.0.6:8080', state: 'failed' }]],
      [[7, 'Playlist', 'Lobby · group Hall', 3, true, ['Done, 1 of 2 files seen', 'Failed']]], '10.0.0.6:8080: Failed'],
    [[['history', 'get', { runs: [] }], ['history', 'state', { id: 9, ip: '10.0.0.5:80', state: 'pending', run: { kind: 'login' } }]],
      [[9, 'Login test', '', 0, true, ['Pending']]], '10.0.0.5:80: Pending'],
    [[['history', 'get', { runs: [{ id: 'x' }, null, { id: 2, displays: [null, { ip: '1.2.3.4:80', state: 'incomplete' }] }] }],
      ['history', 'state', { id: 2, ip: '', state: 'failed' }]], [[2, '', '', 0, true, ['Incomplete']]], ''],
    // An older page is added below what is shown, without the runs already there.
    [[['history', 'get', { runs: RUNS.slice(0, 1) }], ['history', 'get', { before: 7, runs: RUNS.slice(1).concat(RUNS.slice(0, 1)) }]],
      [lobby, [3, 'brand', '', 0, true, ['Pending', 'bogus']]], '']
  ];
  for (const [messages, runs, live] of cases) {
    const env = recordsPage();
    messages.forEach((message) => env.receive(...message));
    assert.deepStrictEqual([env.call(summary)[0], env.page.element('liveStatus').text], [runs, live], JSON.stringify(messages));
  }
  // One run's answer is that run with the steps of its displays; it leaves the list as it was.
  const env = recordsPage();
  env.receive('history', 'get', { runs: RUNS });
  env.receive('history', 'get', { runs: [Object.assign({}, RUNS[0], { displays: [{ ip: '10.0.0.5:80', steps: [{ step: 'login' }] }] })] });
  assert.deepStrictEqual([env.call('historyDetail.displays[0].steps'), env.call('historyRuns.length')], [[{ step: 'login' }], 2]);
  for (const [keep, text] of [[{ days: 30, runs: 0 }, 'Runs older than 30 days are removed.'],
    [{ days: 0, runs: 5 }, 'At most the newest 5 runs are kept.'], [{ days: 0, runs: 0 }, EN.historyKeepAll]]) {
    env.receive('history', 'get', { runs: [], keep: keep });
    assert.strictEqual(env.page.element('historyKeep').text, text, JSON.stringify(keep));
  }
  for (const [state, detail, text] of [['reported', { seen: 3, files: 3 }, 'Done, 3 of 3 files seen'], ['reported', {}, 'Done, ? of ? files seen'],
    ['reported', null, 'Done, ? of ? files seen'], ['incomplete', null, 'Incomplete'], [null, null, 'No state'], ['odd', null, 'odd']]) {
    assert.strictEqual(env.call(`runStateText(${JSON.stringify(state)}, ${JSON.stringify(detail)})`), text, state);
  }
});

test('displays, groups, retries and exports send what the host reads', () => {
  const hall = { name: 'Hall', ip: ['10.0.0.5:80', '10.0.0.7:80'] };
  const cases = [  // fields, code, messages sent
    [{ manualAddress: ' 10.0.0.8:8080 ' }, 'addDisplayByHand()', [['inventory', 'add', { ip: '10.0.0.8:8080' }]]],
    [{ manualAddress: '10.0.0.8' }, 'addDisplayByHand()', []],
    [{ IPAddr: '10.0.0.6' }, 'removeEditedDisplay()', [['inventory', 'remove', { ip: '10.0.0.6:8080' }]]],
    [{ groupSelect: 'Hall' }, 'saveGroupMembers()', [['group', 'save', { name: 'Hall', ip: ['10.0.0.6:8080'] }]]],
    [{ groupSelect: 'Hall' }, 'openGroupDialog("rename"); $("#groupName").val(" Foyer "); confirmGroupDialog()',
      [['group', 'save', { name: 'Foyer', ip: hall.ip, oldName: 'Hall' }]]],
    [{ groupSelect: '' }, 'openGroupDialog("new"); $("#groupName").val("New"); confirmGroupDialog()', [['group', 'save', { name: 'New', ip: ['10.0.0.6:8080'] }]]],
    [{ groupSelect: 'Hall' }, 'openGroupDialog("new"); $("#groupName").val("  "); confirmGroupDialog()', []],
    [{ groupSelect: 'Hall' }, 'deleteGroup()', [['group', 'remove', { name: 'Hall' }]]],
    [{ groupSelect: 'Gone' }, 'deleteGroup(); saveGroupMembers()', []],
    [{ username: 'admin', password: 'pw' }, 'openRetryDialog("7"); startRetry()', [['history', 'retry', { id: 7, user: 'admin', pass: 'pw' }]]],
    [{ username: 'admin', password: '' }, 'openRetryDialog(7); startRetry()', []],
    [{}, 'exportHistory(7); exportHistory(0)', [['history', 'export', { id: 7 }], ['history', 'export', {}]]],
    [{ historyFilterDisplay: '10.0.0.5:80', historyFilterGroup: '' }, 'requestHistory(); requestRun("x"); requestRun(4); requestHistory(7)',
      [['history', 'get', { limit: 50, ip: '10.0.0.5:80', group: '' }], ['history', 'get', { id: 4 }],
        ['history', 'get', { limit: 50, ip: '10.0.0.5:80', group: '', before: 7 }]]],
    [{}, 'markUiReady()', [['inventory', 'get', ''], ['group', 'get', '']]]
  ];
  for (const [fields, code, messages] of cases) {
    const env = recordsPage(fields);
    env.receive('inventory', 'get', { displays: KNOWN });
    env.receive('group', 'get', { groups: [hall, { name: '' }] });
    env.call('devList[1].selected = true');
    env.sent.length = 0;
    env.call(code);
    assert.deepStrictEqual(env.sent.map((m) => [m.T, m.C, m.P]), messages, code);
  }
  const env = recordsPage({ groupSelect: 'Hall' });
  env.receive('inventory', 'get', { displays: KNOWN });
  env.receive('group', 'get', { groups: [hall] });
  env.call('devList[1].selected = true; selectGroupDisplays()');
  assert.deepStrictEqual(env.call('devList.map((d) => d.selected)'), [true, false]);
});

test('an address typed by hand is taken only as a.b.c.d:port or [v6]:port', () => {
  const cases = [['192.168.1.20:80', '192.168.1.20:80'], [' 10.0.0.1:65535 ', '10.0.0.1:65535'], ['010.0.0.1:80', '10.0.0.1:80'],
    ['[FE80::1]:8080', '[fe80::1]:8080'], ['10.0.0.1', ''], ['10.0.0.256:80', ''], ['10.0.0.1:0', ''], ['10.0.0.1:65536', ''],
    ['10.0.0:80', ''], ['a.b.c.d:80', ''], ['10.0.0.1:80/x', ''], ['[1::2::3]:80', ''], ['[]:80', ''], ['', ''], [null, '']];
  const { call } = pageContext();
  cases.forEach(([text, expected]) => assert.strictEqual(call(`parseDisplayAddress(${JSON.stringify(text)})`), expected, text));
  assert.deepStrictEqual(call('["10.0.0.1:80", "[fe80::1]:81", "[fe80::1]", "10.0.0.1"].map(portOfAddress)'), ['80', '81', '', '']);
});

test('schedules in words, the save the dialog builds, and the host answers it follows', () => {
  const env = recordsPage();
  const words = (code) => [EN, DE].map((messages) => env.call(`currentMessages = ${JSON.stringify(messages)}; ${code}`));
  const week = (days, until) => ({ weekly: { days: days.split(' '), time: '06:00', until } });
  for (const [when, en, de] of [[{ once: '2026-12-24T06:00' }, 'once on 24.12.2026 06:00', 'einmalig am 24.12.2026 um 06:00'],
    [week('tue mon', '2027-03-31'), 'Mon, Tue at 06:00 until 31.03.2027', 'Mo, Di um 06:00 bis 31.03.2027'],
    [week('sun sat fri thu wed tue mon', '31.03.2027'), 'Every day at 06:00', 'Täglich um 06:00'], [week('', ''), '', ''], [null, '', '']]) {
    assert.deepStrictEqual(words(`scheduleWhenText(${JSON.stringify(when)})`), [en, de], JSON.stringify(when));
  }
  const base = { name: ' Tea ', operation: 'playlist', playlist: 'tea.json', target: 'group:Hall', mode: 'once', date: '2026-12-24',
    time: '06:00', user: 'admin', pass: 'pw' };
  const edited = { id: 3, paused: true, login: 'schedule-3', operation: { C: 'deploy', T: 'emergency' }, targets: { ip: ['10.0.0.5:80'] } };
  const cases = [  // form, the schedule edited, errors or what is saved
    [base, null, { name: 'Tea', paused: false, operation: { C: 'deploy', T: 'playlist', P: { file: 'tea.json' } },
      targets: { group: 'Hall' }, when: { once: '2026-12-24T06:00' }, user: 'admin', pass: 'pw' }],
    [{ ...base, operation: 'screenOff', target: 'selected', selected: ['10.0.0.6:80'], mode: 'weekly', days: ['sun', 'mon'], user: '', pass: '' },
      edited, { name: 'Tea', paused: true, operation: { C: 'set', T: 'screen', P: { cmd: '0' } }, targets: { ip: ['10.0.0.6:80'] },
        when: { weekly: { days: ['mon', 'sun'], time: '06:00' } }, id: 3, login: 'schedule-3' }],
    [{ ...base, operation: 'kept', target: 'kept', time: '24:00', pass: '' }, edited, ['scheduleTime', 'schedulePass']],
    [{ ...base, operation: 'kept', target: 'kept', date: '2026-2-1' }, null, ['scheduleOperation', 'scheduleTarget', 'scheduleDate']],
    [{ name: ' ', operation: 'playlist', target: 'selected', selected: [], mode: 'weekly', days: ['x'], until: '2027-13-01' }, null,
      ['scheduleName', 'schedulePlaylist', 'scheduleTarget', 'scheduleTime', 'scheduleDays', 'scheduleUntil', 'scheduleUser', 'schedulePass']]
  ];
  for (const [form, schedule, expected] of cases) {
    const result = env.call(`scheduleFromForm(${JSON.stringify(form)}, ${JSON.stringify(schedule)})`);
    assert.deepStrictEqual(Array.isArray(expected) ? result.errors : result.schedule, expected, JSON.stringify(form));
  }
  const shown = '[$("#scheduleError").text(), $("#scheduleDialog").get()[0].modal, schedules.map((s) => s.paused), historyRuns.length, scheduleRuns.length]';
  const listed = ['schedule', 'get', { status: 'OK', schedules: [{ id: 3, name: 'Tea', paused: false }, { id: 0 }, null] }];
  const answers = [  // host messages, what the page shows, its notices
    [[listed, ['schedule', 'save', { status: 'ERROR', error: 'name taken' }]], ['The schedule was not saved: name taken', [], [false], 0, 0], []],
    [[['schedule', 'save', { status: 'OK', schedule: { id: 4 } }]], ['', ['hide'], [], 0, 0], []],
    [[listed, ['schedule', 'pause', { status: 'OK', schedule: { id: 3, paused: true } }]], ['', [], [true], 0, 0], []],
    [[listed, ['schedule', 'remove', { status: 'ERROR', id: 3, error: 'busy' }], ['schedule', 'remove', { status: 'OK', id: 3 }]],
      ['', [], [], 0, 0], [['danger', 'Schedule Tea could not be removed: busy']]],
    [[['schedule', 'get', { status: 'ERROR', error: 'disk' }]], ['', [], [], 0, 0], [['danger', 'The schedules could not be read: disk']]],
    // The runs of a schedule do not reach the history list, and the history's own answer is not the schedule's runs.
    [[listed, ['history', 'get', { schedule: 3, runs: RUNS }], ['history', 'get', { schedule: 9, runs: RUNS.slice(1) }]], ['', [], [false], 0, 2], []],
    [[listed, ['history', 'get', { runs: RUNS }]], ['', [], [false], 2, 0], []],
    [[listed, ['schedule', 'fired', { status: 'ERROR', id: 3, error: 'no login' }], ['schedule', 'fired', { status: 'OK', id: 3, run: 9 }]],
      ['', [], [false], 0, 0], [['danger', 'Schedule Tea could not run: no login'], ['info', 'Schedule Tea started run 9.']]]
  ];
  for (const [messages, page, notices] of answers) {
    const env = recordsPage();
    env.call('currentMessages = ' + JSON.stringify(EN) + '; requestScheduleRuns(3)');
    messages.forEach((message) => env.receive(...message));
    assert.deepStrictEqual([env.call(shown), env.notices], [page, notices], JSON.stringify(messages));
  }
});

test('the network settings fill their fields and the note of the deploy dialog; a refusal says why', () => {
  const cases = [  // host answer, then the wave field and the note, the notices
    [['get', { status: 'OK', waveSize: 5, sendCapMbps: null, sendCapPerDisplayMbps: 2.5 }],
      ['5', 'Network settings: displays downloading at once: 5; Mbit/s to all displays: no limit; to each display: 2.5.'], []],
    [['save', { status: 'ERROR', error: 'too big' }], ['', ''], [['danger', 'The network settings were not saved: too big']]]
  ];
  for (const [[command, payload], shown, notices] of cases) {
    const env = recordsPage();
    env.call('currentMessages = ' + JSON.stringify(EN));
    env.receive('settings', command, payload);
    assert.deepStrictEqual([env.call('[$("#settingWaveSize").val(), $("#deployNetworkNote").text()]'), env.notices],
      [shown, notices], command);
  }
});
