function addToPlaylist(title, fpath, duration) {
  let mediaUrl = 'media/' + encodeURIComponent(fpath);
  let item =
      $('<li class="list-group-item ui-sortable-handle" data-toggle="modal" data-target="#preview"></li>')
          .attr('value', duration)
          .on('click', () => clickPlayList(item, title, fpath));
  let thumb = isImage(fpath) ?
      $('<img class="media-thumb" alt="" loading="lazy">').attr('src', mediaUrl) :
      $('<i class="media-thumb media-thumb-video fa fa-film"></i>');
  let remove =
      $('<a href="#" class="media-remove-link"><i class="fa fa-times media-remove"></i></a>')
          .on('click', (event) => {
            event.preventDefault();
            event.stopPropagation();
            removeMediaFile(title, fpath);
          });
  let side = $('<span class="float-right"></span>');
  if (isImage(fpath)) {
    side.append(
        $('<span class="media-duration"></span>').text(timeNumberToString(duration) + '    '));
  }
  side.append(remove);
  item.append(
      thumb, $('<span class="media-title"></span>').text(title),
      $('<span class="media-path d-none"></span>').text(fpath), side);
  $('#playlist').append(item);
}

// The host posts this script to the page in pieces, cut wherever the keyword that opens each
// top-level declaration occurs: that word appears nowhere else, not even in comments. The script
// relies on the page's helpers (web/js), its globals devList and deployList, and the elements and
// dialogs of web/index.html.

function addMediaFile() {
  if (deployList.length > 0) {
    showNotice(i18n_getMessage('removeMedia'), 'warning');
    return;
  }
  window.chrome.webview.postMessage(JSON.stringify({T: 'media', C: 'add', V: 1, P: ''}));
}

function removeMediaFile(title, fileName) {
  if (deployList.length > 0) {
    showNotice(i18n_getMessage('removeMedia'), 'warning');
    return;
  }
  getItemFromPlayListByFileName(fileName).removeClass('active');
  window.chrome.webview.postMessage(JSON.stringify({
    T: 'media',
    C: 'remove',
    V: 1,
    P: {media: fileName, playlist: $('#currentPlaylistName').text() + '.json'}
  }));
}

function startNewPlaylist(showSave) {
  clearlist();
  $('#preview').modal('hide');
  $('#currentPlaylistName').text('');
  $('#currentPlaylistType').text('');
  $('input[name="adType"][value="1"]').prop('checked', true);
  $('#addMedia').addClass('d-none');
  devList.forEach((device) => {
    device.selected = false;
  });
  $('#devicelist input[type="checkbox"]').prop('checked', false);
  $('#selectAllDevice').prop('checked', false);
  if (showSave) {
    savePlaylistDlg(true);
  }
  setupDropDownMenu();
}

function selectPlaylistDlg() {
  window.chrome.webview.postMessage(
      JSON.stringify({T: 'playlistFiles4Open', C: 'get', V: 1, P: ''}));
}

function selectPlaylistFile(plist) {
  let select = $('#' + plist);
  if (select.find('option').length === 0) {
    return;
  }
  let fileName = String(select.val());
  clearlist();
  $('#preview').modal('hide');
  window.chrome.webview.postMessage(JSON.stringify({T: 'playlist', C: 'open', V: 1, P: fileName}));
  $('#currentPlaylistName').text(fileName.replace(/\.json$/, ''));
}

function savePlaylistDlg(isCreateNew) {
  window.chrome.webview.postMessage(
      JSON.stringify({T: 'playlistFiles4Check', C: 'get', V: 1, P: ''}));
  let current = $('#currentPlaylistName').text();
  if (!isCreateNew && current === '') {
    showNotice(i18n_getMessage('nothingToSave'), 'warning');
    return;
  }
  $('#inputPlaylistFileName').val(current).removeClass('is-invalid');
  $('#rewriteWarning').addClass('d-none');
  $('#savePlaylistCard').modal('show');
}

function savePlaylistFile(checkExist) {
  // A typed ".json" is the file ending the host adds anyway, not part of the name.
  let name = $('#inputPlaylistFileName').val().trim().replace(/\.json$/i, '');
  if (name === '') {
    $('#inputPlaylistFileName').addClass('is-invalid');
    showNotice(i18n_getMessage('chooseFile'), 'warning');
    return;
  }
  // Separators and control characters would point outside the playlist folder; the host refuses
  // them.
  if (/[\\/\u0000-\u001f]/.test(name) || name === '.' || name === '..') {
    $('#inputPlaylistFileName').addClass('is-invalid');
    showNotice(i18n_getMessage('invalidPlaylistName'), 'warning');
    return;
  }
  let fileName = name + '.json';
  if (checkExist) {
    let existing = $('#existPlaylistFiles').val().replace('#', '').split(';');
    if (existing.includes(fileName)) {
      $('#rewriteWarningText').text(i18n_getMessage('rewriteFile', [name]));
      $('#rewriteWarning').removeClass('d-none');
      return;
    }
  }
  let type = Number($('input[name="adType"]:checked').first().val() || 1);
  let items = $('#playlist').children('li').get().map((li) => {
    let spans = $(li).children('span');
    return {
      id: Math.floor(Math.random() * 4294967295),
      type: type,
      duration: timeStringToNumber($(li).attr('value')),
      title: spans.eq(0).text(),
      url: spans.eq(1).text()
    };
  });
  window.chrome.webview.postMessage(
      JSON.stringify({T: 'playlist', C: 'save', V: 1, P: {playlist: items, name: fileName}}));
  let typeLabel = 'uiSaveDlgTypeFullLabel';
  if (type === 255) {
    typeLabel = 'uiSaveDlgTypeEmergencyLabel';
  } else if (type === 2) {
    typeLabel = 'uiSaveDlgTypeBannerLabel';
  }
  $('#currentPlaylistType').text('[ ' + i18n_getMessage(typeLabel) + ' ]');
}

function removePlayListDlg() {
  if (deployList.length > 0) {
    showNotice(i18n_getMessage('removeMedia'), 'warning');
    return;
  }
  let current = $('#currentPlaylistName').text();
  if (current === '') {
    showNotice(i18n_getMessage('nothingToDelete'), 'warning');
    return;
  }
  $('#removePlaylistFileName').text(current);
  $('#removePlaylistCard').modal('show');
}

function removePlayList() {
  let name = $('#removePlaylistFileName').text();
  if (name === '') {
    showNotice(i18n_getMessage('selectToDelete'), 'warning');
    $('#removePlaylistCard').modal('hide');
    return;
  }
  window.chrome.webview.postMessage(
      JSON.stringify({T: 'playlist', C: 'remove', V: 1, P: name + '.json'}));
}

function searchDevice() {
  devList.length = 0;
  $('#devicelist').empty();
  window.chrome.webview.postMessage(JSON.stringify({T: 'device', C: 'search', V: 1, P: ''}));
  $('#selectAllDevice').addClass('d-none').prop('checked', false);
  setupDropDownMenu();
}

let ipToInt32 = (ip) =>
    String(ip).split('.').reduce((sum, octet) => sum * 256 + (parseInt(octet, 10) || 0), 0);

function addToDevicelist(jDev) {
  if (!jDev || typeof jDev !== 'object' || typeof jDev.IPAddr !== 'string') {
    return;
  }
  if (devList.some((known) => known.MacAddr === jDev.MacAddr && known.IPAddr === jDev.IPAddr)) {
    return;
  }
  if (!(jDev.BannerSupport > 0)) {
    jDev.BannerSupport = 0;
  }
  if (jDev.VideoAdvertSupport > 0) {
    jDev.ImageAdvertSupport = 1;
  } else {
    jDev.VideoAdvertSupport = 0;
    if (!(jDev.ImageAdvertSupport > 0)) {
      jDev.ImageAdvertSupport = 0;
    }
  }
  jDev.selected = false;
  devList.push(jDev);

  let itemClass = 'list-group-item';
  if (jDev.VideoAdvertSupport > 0) {
    itemClass += ' pvm_standard_color';
  } else if (jDev.ImageAdvertSupport > 0) {
    itemClass += ' pvm_basic_color';
  } else if (jDev.BannerSupport > 0) {
    itemClass += ' pvm_hdmi_color';
  }
  let lines = ['DeviceModel', 'MacAddr', 'SerialNumber', 'SoftwareVersion'].map(
      (key) => i18n_getMessage(key) + ': ' + (jDev[key] === undefined ? '' : jDev[key]));
  ['VideoAdvertSupport', 'ImageAdvertSupport', 'BannerSupport'].forEach((key) => {
    lines.push(
        i18n_getMessage(key) + ': ' + i18n_getMessage(jDev[key] > 0 ? 'Support' : 'UnSupport'));
  });
  let name = typeof jDev.DeviceName === 'string' && jDev.DeviceName.trim() !== '' ?
      jDev.DeviceName :
      i18n_getMessage('NONAME');

  let item = $('<li></li>')
                 .addClass(itemClass)
                 .attr('data-ip', jDev.IPAddr)
                 .on('click', () => clickDeviceList(item, jDev.IPAddr));
  let check = $('<input type="checkbox" class="device-check">')
                  .on('click', (event) => event.stopPropagation())
                  .on('change', (event) => deviceSelectChanged(jDev.IPAddr, event.target));
  let container = $('<div class="d-flex justify-content-between align-items-center"></div>')
                      .attr('title', lines.join('\n'))
                      .append(
                          $('<div class="device-text"></div>')
                              .append(
                                  $('<div class="device-name"></div>').text(name),
                                  $('<div class="device-address" style="font-size: 9pt"></div>')
                                      .text(jDev.IPAddr)),
                          $('<div class="text-muted"></div>').append(check));
  item.append(container);
  container.tooltip({boundary: 'window', placement: 'left'});

  let address = ipToInt32(jDev.IPAddr);
  let next = $('#devicelist')
                 .children()
                 .get()
                 .find((other) => ipToInt32($(other).attr('data-ip')) > address);
  if (next) {
    item.insertBefore(next);
    devList.sort((a, b) => (a.IPAddr < b.IPAddr ? -1 : (a.IPAddr > b.IPAddr ? 1 : 0)));
  } else {
    $('#devicelist').append(item);
  }
}

function clickDeviceList(obj, ip) {
  $('#devicelist').children().removeClass('active');
  $(obj).addClass('active');
  let info = document.getElementById('devieceInfo');
  $(info).find('input').val('');
  let device = devList[findDeviceIndexByIp(ip)];
  if (!device) {
    return;
  }
  // Member names come from the display's answer: only the editor's own fields may be filled,
  // never the credentials or any other element of the page.
  Object.keys(device).forEach((key) => {
    let field = document.getElementById(key);
    if (field && info.contains(field)) {
      $(field).val(device[key]);
    }
  });
  $('#deviceEditor').modal('show');
}

function deviceSelectChanged(ip, obj) {
  let checked = $(obj).prop('checked');
  let index = findDeviceIndexByIp(ip);
  if (index >= 0) {
    devList[index].selected = checked;
  }
  if (!checked || devList.some((device) => Boolean(device.selected) !== checked)) {
    $('#selectAllDevice').prop('checked', false);
  }
  setupDropDownMenu();
}

function adDeployValidCheck() {
  let items = $('#playlist').children('li').get();
  if (items.length === 0) {
    showNotice(i18n_getMessage('deployNoPlaylist'), 'warning');
    return false;
  }
  if (hasAnyNoAdDeviceSelected()) {
    showNotice(i18n_getMessage('deployAdToOriginalPVM'), 'warning');
    return false;
  }
  if (hasAnyNoVideoAdDeviceSelected()) {
    if (isBannerAd()) {
      showNotice(i18n_getMessage('deployBannerAdToBasicePVM'), 'warning');
      return false;
    }
    for (let li of items) {
      let spans = $(li).children('span');
      let title = spans.eq(0).text();
      let file = spans.eq(1).text();
      if (!isImage(file)) {
        showNotice(i18n_getMessage('deployVideoToBasicePVM', [title]), 'warning');
        return false;
      }
      if (isGIF(file)) {
        showNotice(i18n_getMessage('deployGIFToBasicePVM', [title]), 'warning');
        return false;
      }
    }
  }
  return true;
}

function openDeployDlg(obj, mode) {
  if ($(obj).hasClass('disabled')) {
    return;
  }
  if (deployList.length > 0) {
    showNotice(i18n_getMessage('deployAgainWarn'), 'warning');
    return;
  }
  if (devList.length === 0) {
    showNotice(i18n_getMessage('deployNoDevicelist'), 'warning');
    return;
  }
  let suffixes = new Map([
    ['adDeploy', 'AdDeploy'], ['adUndeploy', 'AdUnDeploy'], ['adEnable', 'AdSwitch'],
    ['adDisable', 'AdSwitch'], ['adCamSwitchEnable', 'AdCamSwitch'],
    ['adCamSwitchDisable', 'AdCamSwitch'], ['screenEnable', 'ScreenEnable'],
    ['screenDisable', 'ScreenDisable'], ['setDevName', 'SetDevName'], ['fwUpdate', 'FWUpdate'],
    ['brand', 'Brand'], ['banner', 'Banner'], ['greeting', 'Greeting'], ['emergency', 'Emergency'],
    ['confImport', 'ImportConf'], ['login', '']
  ]);
  if (!suffixes.has(mode)) {
    return;
  }
  let showLabel = (key) => {
    $('#deployMode').text(i18n_getMessage(key));
    $('#uiDeployType').text(i18n_getMessage(key)).attr('data-i18n', key);
  };
  let refuse = (key) => {
    if (key) {
      showNotice(i18n_getMessage(key), 'warning');
    }
    showLabel('uiMenuDeploy');
  };
  $('#deployMode').attr('mode', mode);
  showLabel('uiMenu' + suffixes.get(mode));
  if (mode !== 'login' && mode !== 'setDevName' && !hasAnyDeviceSelected()) {
    refuse('deployNoSelectDevice');
    return;
  }
  if (mode === 'adDeploy') {
    if ($('#currentPlaylistName').text() === '') {
      refuse('deployNoPlaylistName');
      return;
    }
    if (!adDeployValidCheck()) {
      refuse('');
      return;
    }
  }
  if (mode === 'emergency' && !adDeployValidCheck()) {
    refuse('');
    return;
  }
  // A file chosen for another mode must never travel with this one.
  $('#deployBrand, #deployBanner, #deployGreeting, #deployFileName').val('');
  $('#fullFilePath').text('');
  $('#username, #password').removeClass('is-invalid');
  let dialog = $('#deployPlaylistCard');
  dialog.find('.deploy-section').each((index, section) => {
    let modes = String($(section).attr('data-modes')).split(' ');
    $(section).toggleClass('d-none', !modes.includes(mode));
  });
  let editor = $('#deviceEditor');
  if (editor.hasClass('show')) {
    editor.one('hidden.bs.modal', () => dialog.modal('show')).modal('hide');
  } else {
    dialog.modal('show');
  }
}

function deployPlayList() {
  let userAccepted = checkUserPass($('#username'));
  let passAccepted = checkUserPass($('#password'));
  if (!(userAccepted && passAccepted)) {
    console.log('user name or password is empty');
    return;
  }
  let mode = $('#deployMode').attr('mode');
  let targets = [];
  if (mode === 'setDevName' || mode === 'login') {
    targets.push({ip: $('#IPAddr').val(), port: $('#HTTPPort').val()});
  } else {
    targets = devList.filter((device) => device.selected)
                  .map((device) => ({ip: device.IPAddr, port: device.HTTPPort}));
  }
  let ip = targets.map((target) => target.ip + ':' + target.port);
  let user = $('#username').val();
  let pass = $('#password').val();
  let playlistName = $('#currentPlaylistName').text();
  let flag = (selector) => ($(selector).prop('checked') ? '1' : '0');
  let addIfFilled = (payload, key, selector) => {
    let value = String($(selector).val()).trim();
    if (value !== '') {
      payload[key] = value;
    }
  };
  let addFile = (payload, titleSelector) => {
    addIfFilled(payload, 'title', titleSelector);
    if ($('#fullFilePath').text() !== '') {
      payload.path = $('#fullFilePath').text();
    }
    return payload;
  };
  let message = null;
  switch (mode) {
    case 'login':
      message = {T: 'login', C: 'deploy', V: 1, P: {user: user, pass: pass, ip: ip}};
      break;
    case 'adDeploy':
      message = {
        T: 'playlist',
        C: 'deploy',
        V: 1,
        P: {user: user, pass: pass, file: playlistName + '.json', ip: ip}
      };
      break;
    case 'emergency': {
      let payload = {user: user, pass: pass, ip: ip, enable: flag('#EmergencyEnable')};
      if (playlistName !== '') {
        payload.file = playlistName + '.json';
      }
      message = {T: 'emergency', C: 'deploy', V: 1, P: payload};
      break;
    }
    case 'adUndeploy':
      message = {T: 'playlist', C: 'undeploy', V: 1, P: {user: user, pass: pass, ip: ip}};
      break;
    case 'adEnable':
    case 'adDisable':
    case 'adCamSwitchEnable':
    case 'adCamSwitchDisable':
    case 'screenEnable':
    case 'screenDisable':
      // Each switch is the "set" type its modes are named after: on with Enable, off with Disable.
      message = {
        T: mode.replace(/(Enable|Disable)$/, ''),
        C: 'set',
        V: 1,
        P: {user: user, pass: pass, cmd: mode.endsWith('Enable') ? '1' : '0', ip: ip}
      };
      break;
    case 'setDevName':
      message = {
        T: 'devName',
        C: 'set',
        V: 1,
        P: {
          user: user,
          pass: pass,
          devName: $('#DeviceName').val(),
          ip: ip,
          devId: $('#SerialNumber').val(),
          devMode: $('#DeviceModel').val(),
          devVersion: $('#SoftwareVersion').val(),
          info: ''
        }
      };
      break;
    case 'brand': {
      let payload = {user: user, pass: pass, enable: flag('#brandEnable'), ip: ip};
      addIfFilled(payload, 'x', '#brandX');
      addIfFilled(payload, 'y', '#brandY');
      addIfFilled(payload, 'width', '#brandWidth');
      addIfFilled(payload, 'height', '#brandHeight');
      message = {T: 'brand', C: 'deploy', V: 1, P: addFile(payload, '#deployBrand')};
      break;
    }
    case 'banner':
      message = {
        T: 'banner',
        C: 'deploy',
        V: 1,
        P: addFile(
            {
              user: user,
              pass: pass,
              always: flag('#bannerAlwaysEnable'),
              pir: flag('#bannerPIREnable'),
              face: flag('#bannerFaceEnable'),
              motion: flag('#bannerMotionEnable'),
              alarm: flag('#bannerAlarmInEnable'),
              ip: ip
            },
            '#deployBanner')
      };
      break;
    case 'greeting':
      message = {
        T: 'greeting',
        C: 'deploy',
        V: 1,
        P: addFile(
            {
              user: user,
              pass: pass,
              pir: flag('#greetingPIREnable'),
              face: flag('#greetingFaceEnable'),
              motion: flag('#greetingMotionEnable'),
              alarm: flag('#greetingAlarmInEnable'),
              ip: ip
            },
            '#deployGreeting')
      };
      break;
    case 'confImport':
    case 'fwUpdate': {
      let title = $('#deployFileName').val();
      if (title === '') {
        showNotice(i18n_getMessage('deployNoFile'), 'warning');
        return;
      }
      message = mode === 'confImport' ?
          {
            T: 'configure',
            C: 'deploy',
            V: 1,
            P: {user: user, pass: pass, title: title, path: $('#fullFilePath').text(), ip: ip}
          } :
          {T: 'firmware', C: 'deploy', V: 1, P: {user: user, pass: pass, title: title, ip: ip}};
      break;
    }
    default:
      return;
  }
  addDeployWindow(message.P);
  deployList = targets;
  window.chrome.webview.postMessage(JSON.stringify(message));
  $('#deployPlaylistCard').modal('hide');
  $('#deployIcon').addClass('d-none');
  $('#deploySpinner').removeClass('d-none');
}

function selectFile(type) {
  let fileType = type;
  if (!fileType) {
    let mode = $('#deployMode').attr('mode');
    if (mode === 'fwUpdate') {
      fileType = 'firmware';
    } else if (mode === 'confImport') {
      fileType = 'configure';
    } else {
      return;
    }
  }
  window.chrome.webview.postMessage(JSON.stringify({T: fileType, C: 'add', V: 1, P: ''}));
}

function openDeviceWeb() {
  window.chrome.webview.postMessage(JSON.stringify({
    T: 'deviceweb',
    C: 'open',
    V: 1,
    P: {url: 'http://' + $('#IPAddr').val() + ':' + $('#HTTPPort').val()}
  }));
}

function copyright() {
  return {
    name: 'Quillora',
    version: '1.0.0',
    domain: 'quillora.local',
    copyright: 'Copyright (c) 2026 The Quillora developers'
  };
}
