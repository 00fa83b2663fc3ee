// Stand-in for the desktop host, for looking at the page in a plain browser: defines
// window.chrome.webview, injects the UI script piece by piece as the host does, answers the
// page's requests with canned data and plays a scenario chosen by ?scenario=NAME (&lang=de).
'use strict';

(() => {
  const params = new URLSearchParams(location.search);
  const scenario = params.get('scenario') || 'main';
  const language = params.get('lang') || 'en';
  const listeners = new Set();
  let injecting = true;
  let chunkStart = 0;
  let scriptText = null;

  const deliver = (text) => setTimeout(() => listeners.forEach((listener) => listener({ data: text })), 5);
  const reply = (object) => deliver(JSON.stringify(object));
  const later = (ms, action) => setTimeout(action, ms);

  const displays = [
    { IPAddr: '192.168.1.21', HTTPPort: 80, MacAddr: '00-1A-2B-3C-4D-21', DeviceName: 'Lobby left', DeviceModel: 'QD-55 Pro', SerialNumber: 'QD55P2026011201', SoftwareVersion: '2.3.1 build 260101', BannerSupport: 1, VideoAdvertSupport: 1, ImageAdvertSupport: 1 },
    { IPAddr: '192.168.1.5', HTTPPort: 80, MacAddr: '00-1A-2B-3C-4D-05', DeviceName: 'Reception <b>desk</b>', DeviceModel: 'QD-32 Lite', SerialNumber: 'QD32L2025100702', SoftwareVersion: '1.8.0 build 250910', BannerSupport: 0, VideoAdvertSupport: 0, ImageAdvertSupport: 1 },
    { IPAddr: '192.168.1.130', HTTPPort: 8080, MacAddr: '00-1A-2B-3C-4D-82', DeviceName: ' ', DeviceModel: 'QB-1 Box', SerialNumber: 'QB1B2024060303', SoftwareVersion: '1.2.4', BannerSupport: 1 },
    { IPAddr: '192.168.1.40', HTTPPort: 80, MacAddr: '00-1A-2B-3C-4D-40', DeviceName: 'Entrance', DeviceModel: 'QD-55 Pro', SerialNumber: 'QD55P2026011209', SoftwareVersion: '2.3.1 build 260101', BannerSupport: 1, VideoAdvertSupport: 1, ImageAdvertSupport: 1 },
    { IPAddr: '192.168.1.22', HTTPPort: 80, MacAddr: '00-1A-2B-3C-4D-22', DeviceName: 'Lobby right', DeviceModel: 'QD-55 Pro', SerialNumber: 'QD55P2026011202', SoftwareVersion: '2.3.1 build 260101', BannerSupport: 1, VideoAdvertSupport: 1, ImageAdvertSupport: 1 }
  ];
  const playlist = [
    { duration: 10, id: 11, title: 'Winter sale.png', type: 1, url: 'sample-sale.png' },
    { duration: 0, id: 12, title: 'Brand film 2026.mp4', type: 1, url: 'sample-film.mp4' },
    { duration: 15, id: 13, title: 'Opening hours.jpg', type: 1, url: 'sample-hours.jpg' },
    { duration: 8, id: 14, title: 'Cafe menu.png', type: 1, url: 'sample-menu.png' }
  ];

  // The fake host's answers, shaped like the real host's.
  const answer = (message) => {
    const { T, C, P } = message;
    if (C === 'get' && T.startsWith('playlistFiles')) {
      reply({ C, P: ['Lobby winter.json', 'Menu board.json', 'Night loop.json'], T, V: 1 });
    } else if (C === 'open' && T === 'playlist') {
      reply({ C, P: { playlist: P === 'Lobby winter.json' ? playlist : playlist.slice(2) }, T, V: 1 });
    } else if (C === 'save' && T === 'playlist') {
      reply({ C, P: { name: P.name, status: 'OK' }, T, V: 1 });
    } else if (C === 'search' && T === 'device') {
      displays.forEach((display, index) => later(20 * (index + 1), () => reply({ C: 'add', P: { ...display }, T: 'device', V: 1 })));
    } else if (C === 'add' && T === 'media') {
      reply({ C, P: { codec: 'hev1', status: 'BADCODEC', title: 'Promo 4K.mp4' }, T, V: 1 });
    } else if (C === 'add' && T === 'brand') {
      reply({ C, P: { path: '/home/operator/Pictures/logo-white.png', status: 'OK', title: 'logo-white.png' }, T, V: 1 });
    } else if (C === 'deploy' && T === 'playlist') {
      const ips = P.ip;
      const device = (ip, status, extra) => reply({ C: 'deploy', P: { ip, status, ...extra }, T: 'device', V: 1 });
      later(300, () => device(ips[0].replace(/:\d+$/, ':80'), 'mgclose'));
      later(600, () => reply({ C: 'deploy', P: { failed: '0', ip: ips[0].replace(/:\d+$/, ':51234'), status: 'finish', success: '4', total: '4' }, T: 'playlist', V: 1 }));
      later(350, () => reply({ C: 'deploy', P: { ip: ips[1], status: 'ERROR' }, T: 'login', V: 1 }));
      later(400, () => device(ips[1], 'mgclose'));
      later(450, () => device(ips[2], 'mgclose'));
    }
  };

  const injectStep = async () => {
    if (scriptText === null) {
      scriptText = await (await fetch('harness/ui_script.js')).text();
    }
    const next = scriptText.indexOf('function', chunkStart + 8);
    if (next >= 0) {
      deliver(scriptText.slice(chunkStart, next));
      chunkStart = next;
      return;
    }
    injecting = false;
    deliver(scriptText.slice(chunkStart));
    setTimeout(() => {
      window.chrome.webview.removeEventListener('message', window.init);
      window.chrome.webview.addEventListener('message', (event) => window.doMessage(event.data));
      window.setupDropDownMenu();
      window.loadTranslation(language).then(() => later(50, () => play(scenario)));
    }, 20);
  };

  window.chrome = {
    webview: {
      addEventListener: (type, listener) => { if (type === 'message') listeners.add(listener); },
      removeEventListener: (type, listener) => { listeners.delete(listener); },
      postMessage: (text) => {
        if (injecting) {
          injectStep();
          return;
        }
        answer(JSON.parse(text));
      }
    }
  };

  // Screenshots are taken on a virtual clock that does not run CSS transitions to their end.
  document.addEventListener('DOMContentLoaded', () => {
    const style = document.createElement('style');
    style.textContent = '.fade, .modal-dialog, .custom-control-label::before { transition-duration: 1ms !important; }';
    document.head.appendChild(style);
  });

  // Scenarios: what an operator would do, step by step.
  const click = (selector) => $(selector).first().trigger('click');
  const steps = (list) => list.reduce((at, [delay, action]) => { later(at + delay, action); return at + delay; }, 0);
  const checkDisplay = (ip) => {
    const box = $('#devicelist li').filter((i, li) => $(li).attr('data-ip') === ip).find('input.device-check');
    box.prop('checked', true).trigger('change');
  };
  const openLobby = [
    [10, () => click('#btnSearchDevice')],
    [300, () => click('#btnOpenPlaylist')],
    [500, () => { $('#openPlaylistSelect').val('Lobby winter.json'); click('#openPlaylistConfirm'); }],
    [500, () => {}]
  ];
  const play = (name) => {
    if (name === 'main') {
      steps(openLobby.concat([
        [10, () => ['192.168.1.21', '192.168.1.22', '192.168.1.40'].forEach(checkDisplay)],
        [50, () => click('#deployMenu .dropdown-item[data-mode="adDeploy"]')],
        [600, () => { $('#username').val('admin'); $('#password').val('secret'); click('#deployConfirm'); }],
        [900, () => click('#addMedia')]
      ]));
    } else if (name === 'dialog') {
      steps(openLobby.concat([
        [10, () => ['192.168.1.21', '192.168.1.40'].forEach(checkDisplay)],
        [50, () => click('#deployMenu .dropdown-item[data-mode="brand"]')],
        [600, () => click('#deployPlaylistCard [data-select-file="brand"]')],
        [50, () => { $('#brandX').val('40'); $('#brandY').val('30'); $('#username').val('admin'); }]
      ]));
    } else if (name === 'preview') {
      steps(openLobby.concat([[10, () => click('#playlist li:first')]]));
    } else if (name === 'editor') {
      steps(openLobby.concat([[10, () => click('#addMedia')], [300, () => click('#devicelist li:eq(1)')]]));
    } else if (name === 'menu') {
      steps(openLobby.concat([
        [10, () => ['192.168.1.5', '192.168.1.21'].forEach(checkDisplay)],
        [50, () => click('#deployMenuButton')]
      ]));
    }
  };
})();
