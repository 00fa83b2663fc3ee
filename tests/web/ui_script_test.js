// Behaviour of the UI script's request building: the payloads must be exactly what the host's
// dispatcher reads, for every mode, and the checks before sending must hold.
'use strict';

const assert = require('assert');
const vm = require('vm');
const { test, run, read, cutLikeHost } = require('./testlib');

// Just enough of jQuery for the functions under test: elements by id, plus playlist items.
function fakePage(fields) {
  const elements = new Map();
  const element = (id) => {
    if (!elements.has(id)) {
      elements.set(id, { value: '', text: '', checked: false, attrs: {}, classes: new Set(), modal: [] });
    }
    return elements.get(id);
  };
  const items = [];
  let adType = null;
  const wrap = (list) => {
    const first = list[0];
    return {
      length: list.length,
      val(value) {
        if (value === undefined) {
          return first ? first.value : undefined;
        }
        list.forEach((e) => { e.value = String(value); });
        return this;
      },
      text(value) {
        if (value === undefined) {
          return first ? first.text : '';
        }
        list.forEach((e) => { e.text = String(value); });
        return this;
      },
      prop(name, value) {
        if (value === undefined) {
          return first ? first.checked : undefined;
        }
        list.forEach((e) => { e.checked = value; });
        return this;
      },
      attr(name, value) {
        if (value === undefined) {
          return first ? first.attrs[name] : undefined;
        }
        list.forEach((e) => { e.attrs[name] = String(value); });
        return this;
      },
      addClass(name) { list.forEach((e) => e.classes.add(name)); return this; },
      removeClass(name) { list.forEach((e) => e.classes.delete(name)); return this; },
      hasClass(name) { return Boolean(first && first.classes.has(name)); },
      modal(command) { list.forEach((e) => e.modal.push(command)); return this; },
      first() { return wrap(list.slice(0, 1)); },
      children(selector) {
        assert.strictEqual(selector, 'li');
        return { get: () => items.slice() };
      }
    };
  };
  const itemWrap = (item) => ({
    attr: (name) => (name === 'value' ? item.value : undefined),
    children: () => ({ eq: (index) => ({ text: () => item.spans[index] }) })
  });
  const $ = (selector) => {
    if (typeof selector === 'object' && selector.spans) {
      return itemWrap(selector);
    }
    if (selector === 'input[name="adType"]:checked') {
      return wrap(adType === null ? [] : [{ value: adType }]);
    }
    return wrap(selector.split(',').map((part) => {
      const id = part.trim();
      assert.match(id, /^#[A-Za-z]\w*$/, 'unexpected selector ' + selector);
      return element(id.slice(1));
    }));
  };
  Object.entries(fields || {}).forEach(([id, value]) => {
    if (typeof value === 'boolean') {
      element(id).checked = value;
    } else {
      element(id).value = value;
      element(id).text = value;
    }
  });
  return {
    $, element, items,
    setAdType: (value) => { adType = value; }
  };
}

function scriptContext(fields, devices) {
  const page = fakePage(fields);
  const sent = [];
  const notices = [];
  const ctx = vm.createContext({
    $: page.$,
    console: { log() {} },
    devList: devices || [],
    deployList: [],
    window: { chrome: { webview: { postMessage: (text) => sent.push(JSON.parse(text)) } } },
    showNotice: (text) => notices.push(text),
    i18n_getMessage: (key, values) => (values ? key + ':' + values.join('|') : key),
    checkUserPass: (field) => field.val() !== '',
    timeStringToNumber: (text) => Number(text),
    setupDropDownMenu() {}
  });
  cutLikeHost(read('app/ui_script.js')).forEach((piece) => vm.runInContext(piece, ctx));
  return { ctx, page, sent, notices, call: (code) => vm.runInContext(code, ctx) };
}

const DISPLAYS = [
  { IPAddr: '192.168.1.21', HTTPPort: 80, selected: true },
  { IPAddr: '192.168.1.30', HTTPPort: 80, selected: false },
  { IPAddr: '192.168.1.40', HTTPPort: 8080, selected: true }
];
const SELECTED_IPS = ['192.168.1.21:80', '192.168.1.40:8080'];
const CREDENTIALS = { username: 'admin', password: 'p@ss word', currentPlaylistName: 'Lobby' };

function deployIn(mode, fields) {
  const env = scriptContext(Object.assign({}, CREDENTIALS, fields), DISPLAYS.map((d) => Object.assign({}, d)));
  env.page.element('deployMode').attrs.mode = mode;
  env.call('deployPlayList()');
  return env;
}

test('a playlist deploy sends the file and the selected displays as address:port', () => {
  const env = deployIn('adDeploy');
  assert.deepStrictEqual(env.sent, [{ T: 'playlist', C: 'deploy', V: 1,
    P: { user: 'admin', pass: 'p@ss word', file: 'Lobby.json', ip: SELECTED_IPS } }]);
  assert.deepStrictEqual(JSON.parse(JSON.stringify(env.call('deployList'))),
    [{ ip: '192.168.1.21', port: 80 }, { ip: '192.168.1.40', port: 8080 }]);
  assert.deepStrictEqual(env.page.element('deployPlaylistCard').modal, ['hide']);
  assert.ok(env.page.element('deployIcon').classes.has('d-none'));
  assert.ok(!env.page.element('deploySpinner').classes.has('d-none'));
});

test('without a user name or password nothing is sent and no deploy starts', () => {
  for (const missing of ['username', 'password']) {
    const env = deployIn('adDeploy', { [missing]: '' });
    assert.deepStrictEqual(env.sent, []);
    assert.strictEqual(env.call('deployList.length'), 0);
  }
});

test('emergency sends the switch, and the playlist only when one is open', () => {
  let env = deployIn('emergency', { EmergencyEnable: true });
  assert.deepStrictEqual(env.sent[0], { T: 'emergency', C: 'deploy', V: 1,
    P: { user: 'admin', pass: 'p@ss word', ip: SELECTED_IPS, enable: '1', file: 'Lobby.json' } });
  env = deployIn('emergency', { EmergencyEnable: false, currentPlaylistName: '' });
  assert.deepStrictEqual(env.sent[0].P, { user: 'admin', pass: 'p@ss word', ip: SELECTED_IPS, enable: '0' });
});

test('switch modes send "set" with cmd "1" or "0"', () => {
  const cases = [
    ['adEnable', 'ad', '1'], ['adDisable', 'ad', '0'],
    ['adCamSwitchEnable', 'adCamSwitch', '1'], ['adCamSwitchDisable', 'adCamSwitch', '0'],
    ['screenEnable', 'screen', '1'], ['screenDisable', 'screen', '0']
  ];
  for (const [mode, type, cmd] of cases) {
    assert.deepStrictEqual(deployIn(mode).sent, [{ T: type, C: 'set', V: 1,
      P: { user: 'admin', pass: 'p@ss word', cmd: cmd, ip: SELECTED_IPS } }], mode);
  }
  assert.deepStrictEqual(deployIn('adUndeploy').sent[0],
    { T: 'playlist', C: 'undeploy', V: 1, P: { user: 'admin', pass: 'p@ss word', ip: SELECTED_IPS } });
});

test('renaming and login address the display in the editor, not the selection', () => {
  const editor = { IPAddr: '192.168.1.30', HTTPPort: '8000', DeviceName: 'Hall', SerialNumber: 'SN1',
    DeviceModel: 'QD-1', SoftwareVersion: '2.0' };
  let env = deployIn('setDevName', editor);
  assert.deepStrictEqual(env.sent[0], { T: 'devName', C: 'set', V: 1, P: {
    user: 'admin', pass: 'p@ss word', devName: 'Hall', ip: ['192.168.1.30:8000'], devId: 'SN1',
    devMode: 'QD-1', devVersion: '2.0', info: '' } });
  assert.deepStrictEqual(JSON.parse(JSON.stringify(env.call('deployList'))), [{ ip: '192.168.1.30', port: '8000' }]);
  env = deployIn('login', editor);
  assert.deepStrictEqual(env.sent[0], { T: 'login', C: 'deploy', V: 1,
    P: { user: 'admin', pass: 'p@ss word', ip: ['192.168.1.30:8000'] } });
});

test('brand sends position, size, title and path only when they are filled', () => {
  let env = deployIn('brand', { brandEnable: true, brandX: '10', brandY: ' 20 ', brandWidth: '', brandHeight: '' });
  assert.deepStrictEqual(env.sent[0].P, { user: 'admin', pass: 'p@ss word', enable: '1', ip: SELECTED_IPS, x: '10', y: '20' });
  env = deployIn('brand', { brandEnable: false, brandWidth: '300', brandHeight: '100', deployBrand: 'logo.png',
    fullFilePath: '/home/op/logo.png' });
  assert.deepStrictEqual(env.sent[0], { T: 'brand', C: 'deploy', V: 1, P: { user: 'admin', pass: 'p@ss word',
    enable: '0', ip: SELECTED_IPS, width: '300', height: '100', title: 'logo.png', path: '/home/op/logo.png' } });
});

test('banner and greeting send their trigger switches', () => {
  const triggers = { bannerAlwaysEnable: true, bannerPIREnable: false, bannerFaceEnable: true,
    bannerMotionEnable: false, bannerAlarmInEnable: true, deployBanner: 'stop.png', fullFilePath: '/p/stop.png' };
  assert.deepStrictEqual(deployIn('banner', triggers).sent[0], { T: 'banner', C: 'deploy', V: 1, P: {
    user: 'admin', pass: 'p@ss word', always: '1', pir: '0', face: '1', motion: '0', alarm: '1',
    ip: SELECTED_IPS, title: 'stop.png', path: '/p/stop.png' } });
  const sound = { greetingPIREnable: true, greetingFaceEnable: false, greetingMotionEnable: true,
    greetingAlarmInEnable: false };
  assert.deepStrictEqual(deployIn('greeting', sound).sent[0], { T: 'greeting', C: 'deploy', V: 1, P: {
    user: 'admin', pass: 'p@ss word', pir: '1', face: '0', motion: '1', alarm: '0', ip: SELECTED_IPS } });
});

test('firmware and configuration need a chosen file; firmware sends no path', () => {
  for (const mode of ['fwUpdate', 'confImport']) {
    const env = deployIn(mode, { deployFileName: '' });
    assert.deepStrictEqual(env.sent, [], mode);
    assert.strictEqual(env.call('deployList.length'), 0, mode);
    assert.deepStrictEqual(env.notices, ['deployNoFile']);
  }
  const files = { deployFileName: 'v2.epak', fullFilePath: 'v2.epak' };
  assert.deepStrictEqual(deployIn('fwUpdate', files).sent[0],
    { T: 'firmware', C: 'deploy', V: 1, P: { user: 'admin', pass: 'p@ss word', title: 'v2.epak', ip: SELECTED_IPS } });
  const conf = { deployFileName: 'site.conf', fullFilePath: '/etc/q/site.conf' };
  assert.deepStrictEqual(deployIn('confImport', conf).sent[0], { T: 'configure', C: 'deploy', V: 1,
    P: { user: 'admin', pass: 'p@ss word', title: 'site.conf', path: '/etc/q/site.conf', ip: SELECTED_IPS } });
});

test('selectFile picks the type from the dialog mode only when none is given', () => {
  const env = scriptContext({}, []);
  const mode = env.page.element('deployMode').attrs;
  mode.mode = 'fwUpdate';
  env.call('selectFile()');
  mode.mode = 'confImport';
  env.call('selectFile(undefined)');
  env.call("selectFile('alertAudio')");
  mode.mode = 'brand';
  env.call('selectFile()');
  assert.deepStrictEqual(env.sent.map((m) => [m.T, m.C, m.P]),
    [['firmware', 'add', ''], ['configure', 'add', ''], ['alertAudio', 'add', '']]);
});

test('openDeviceWeb opens the address and port of the display in the editor', () => {
  const env = scriptContext({ IPAddr: '10.0.0.7', HTTPPort: '8080' }, []);
  env.call('openDeviceWeb()');
  assert.deepStrictEqual(env.sent, [{ T: 'deviceweb', C: 'open', V: 1, P: { url: 'http://10.0.0.7:8080' } }]);
});

test('ipToInt32 orders addresses numerically, without sign overflow', () => {
  const env = scriptContext({}, []);
  const value = (ip) => env.call('ipToInt32(' + JSON.stringify(ip) + ')');
  assert.strictEqual(value('192.168.1.20'), 3232235796);
  assert.strictEqual(value('10.0.0.7'), 167772167);
  assert.strictEqual(value('255.255.255.255'), 4294967295);
  assert.ok(value('192.168.1.100') > value('192.168.1.20'));
  assert.ok(value('192.168.2.1') > value('192.168.1.255'));
});

test('saving builds one item per list entry with the chosen type and parsed durations', () => {
  const env = scriptContext({ inputPlaylistFileName: ' Lobby.json ', existPlaylistFiles: '#' }, []);
  env.page.setAdType('255');
  env.page.items.push({ value: '10', spans: ['Sale.png', 'abc.png'] }, { value: '0', spans: ['Film.mp4', 'def.mp4'] });
  env.call('savePlaylistFile(true)');
  assert.strictEqual(env.sent.length, 1);
  const { T, C, P } = env.sent[0];
  assert.deepStrictEqual([T, C, P.name], ['playlist', 'save', 'Lobby.json']);
  assert.deepStrictEqual(P.playlist.map((item) => [item.type, item.duration, item.title, item.url]),
    [[255, 10, 'Sale.png', 'abc.png'], [255, 0, 'Film.mp4', 'def.mp4']]);
  P.playlist.forEach((item) => assert.ok(Number.isInteger(item.id) && item.id >= 0 && item.id <= 4294967294));
  assert.strictEqual(env.page.element('currentPlaylistType').text, '[ uiSaveDlgTypeEmergencyLabel ]');
});

test('saving without a checked type uses full screen', () => {
  const env = scriptContext({ inputPlaylistFileName: 'Menu', existPlaylistFiles: '#' }, []);
  env.call('savePlaylistFile(true)');
  assert.deepStrictEqual(env.sent[0].P, { playlist: [], name: 'Menu.json' });
  assert.strictEqual(env.page.element('currentPlaylistType').text, '[ uiSaveDlgTypeFullLabel ]');
});

test('saving over an existing playlist asks first; confirming saves', () => {
  const env = scriptContext({ inputPlaylistFileName: 'Lobby', existPlaylistFiles: '#Menu.json;Lobby.json' }, []);
  env.page.element('rewriteWarning').classes.add('d-none');
  env.call('savePlaylistFile(true)');
  assert.deepStrictEqual(env.sent, []);
  assert.ok(!env.page.element('rewriteWarning').classes.has('d-none'));
  assert.strictEqual(env.page.element('rewriteWarningText').text, 'rewriteFile:Lobby');
  env.call('savePlaylistFile(false)');
  assert.strictEqual(env.sent.length, 1);
});

test('empty names and names that leave the playlist folder are refused', () => {
  for (const name of ['   ', '.json', '../x', 'a/b', 'a\\b', '..']) {
    const env = scriptContext({ inputPlaylistFileName: name, existPlaylistFiles: '#' }, []);
    env.call('savePlaylistFile(true)');
    assert.deepStrictEqual(env.sent, [], JSON.stringify(name));
    assert.strictEqual(env.notices.length, 1);
  }
});

test('media changes and playlist removal are refused while a deploy runs', () => {
  const env = scriptContext({ currentPlaylistName: 'Lobby' }, []);
  env.call("deployList = [{ ip: '192.168.1.21', port: 80 }]");
  env.call('addMediaFile()');
  env.call("removeMediaFile('Sale.png', 'abc.png')");
  env.call('removePlayListDlg()');
  assert.deepStrictEqual(env.sent, []);
  assert.deepStrictEqual(env.notices, ['removeMedia', 'removeMedia', 'removeMedia']);
});

run();
