// Every message of the host after the UI script has arrived: replies to the page's requests,
// discovered displays and the displays' reports during an operation.
'use strict';

// The deploy dialog's file field for each kind of file the host lets the operator choose.
const FILE_FIELDS = {
  brand: '#deployBrand',
  alertImage: '#deployBanner',
  alertAudio: '#deployGreeting',
  firmware: '#deployFileName',
  configure: '#deployFileName'
};

// The host's records: remembered displays, groups, the journal of deploy runs and the schedules.
const RECORD_HANDLERS = {
  inventory: onInventoryMessage,
  group: onGroupMessage,
  history: onHistoryMessage,
  schedule: onScheduleMessage,
  settings: onSettingsMessage
};

function asText(value) {
  return value === undefined || value === null ? '' : String(value);
}

function doMessage(data) {
  let message;
  try {
    message = JSON.parse(data);
  } catch (error) {
    console.warn('Unreadable host message', data);
    return;
  }
  if (message === null || typeof message !== 'object' || typeof message.C !== 'string' || typeof message.T !== 'string') {
    return;
  }
  const kind = message.T;
  const payload = message.P;
  if (Object.prototype.hasOwnProperty.call(RECORD_HANDLERS, kind)) {
    RECORD_HANDLERS[kind](message.C, payload);
    return;
  }
  switch (message.C) {
    case 'deploy':
      onDeployMessage(kind, payload);
      break;
    case 'add':
      onAdded(kind, payload);
      break;
    case 'get':
      onListed(kind, payload);
      break;
    case 'open':
      if (kind === 'playlist') {
        onPlaylistOpened(payload);
      }
      break;
    case 'save':
      if (kind === 'playlist') {
        onPlaylistSaved(payload);
      }
      break;
    case 'remove':
      if (kind === 'playlist') {
        onPlaylistRemoved(payload);
      } else if (kind === 'media') {
        onMediaRemoved(payload);
      }
      break;
    case 'error':
      onHostError(kind, payload);
      break;
    default:
      break;
  }
}

function onAdded(kind, payload) {
  if (kind === 'device') {
    onDeviceFound(payload);
  } else if (kind === 'media') {
    onMediaAdded(payload);
  } else if (Object.prototype.hasOwnProperty.call(FILE_FIELDS, kind)) {
    onFileChosen(kind, payload);
  }
}

// One accepted file, several, or the refusal that stopped the selection; "" when cancelled.
function onMediaAdded(payload) {
  if (payload === null || typeof payload !== 'object') {
    return;
  }
  let added = 0;
  for (const file of [].concat(payload)) {
    if (file === null || typeof file !== 'object') {
      continue;
    }
    const title = asText(file.title);
    if (file.status === 'BADCODEC') {
      const codec = asText(file.codec).trim();
      if (codec === 'Unable to load MediaInfo.dll') {
        showNotice(i18n_getMessage('mediaProbeMissing', [title]), 'danger');
      } else if (codec.startsWith('.') || codec === '') {
        showNotice(i18n_getMessage('mediaBadType', [title, codec]), 'danger');
      } else {
        showNotice(i18n_getMessage('mediaBadCodec', [title, codec]), 'danger');
      }
    } else if (file.status === 'ERROR') {
      showNotice(i18n_getMessage('mediaCopyFailed', [title]), 'danger');
    } else if (typeof file.path === 'string' && file.path !== '') {
      addToPlaylist(title === '' ? file.path : title, file.path, defaultDuration(file.path));
      added += 1;
    }
  }
  if (added > 0) {
    playlistChanged();
  }
}

function onFileChosen(kind, payload) {
  if (payload === null || typeof payload !== 'object') {
    return;
  }
  const title = asText(payload.title);
  switch (payload.status) {
    case 'TOOBIG':
      showNotice(i18n_getMessage('fileTooBig', [title, Math.ceil(Number(payload.filesize) / 1024)]), 'danger');
      return;
    case 'BADPNG':
      showNotice(i18n_getMessage('fileBadPng', [title]), 'danger');
      return;
    case 'BADWAV':
      showNotice(i18n_getMessage('fileBadWav', [title]), 'danger');
      return;
    case 'ERROR':
      showNotice(i18n_getMessage('fileCopyFailed', [title]), 'danger');
      return;
    default:
      break;
  }
  if (typeof payload.path !== 'string' || title === '') {
    return;
  }
  $(FILE_FIELDS[kind]).val(title);
  $('#fullFilePath').text(payload.path);
}

function playlistNames(payload) {
  return Array.isArray(payload) ? payload.filter((name) => typeof name === 'string' && name !== '') : [];
}

function onListed(kind, payload) {
  const names = playlistNames(payload);
  if (kind === 'playlistFiles4Check') {
    $('#existPlaylistFiles').val('#' + names.join(';'));
  } else if (kind === 'playlistFiles4Schedule') {
    fillSchedulePlaylists(names);
  } else if (kind === 'playlistFiles4Open') {
    if (names.length === 0) {
      showNotice(i18n_getMessage('noPlaylists'), 'info');
      return;
    }
    const current = $('#currentPlaylistName').text() + '.json';
    const select = $('#openPlaylistSelect').empty();
    names.slice().sort((a, b) => a.localeCompare(b)).forEach((name) => {
      select.append($('<option></option>').val(name).text(name.replace(/\.json$/, '')));
    });
    select.val(names.includes(current) ? current : select.find('option').first().val());
    $('#openPlaylistCard').modal('show');
  }
}

function onPlaylistOpened(payload) {
  if (payload === null || typeof payload !== 'object' || !Array.isArray(payload.playlist)) {
    showNotice(i18n_getMessage('playlistOpenFailed'), 'danger');
    return;
  }
  clearlist();
  let type = 1;
  payload.playlist.forEach((item, index) => {
    if (item === null || typeof item !== 'object' || typeof item.url !== 'string') {
      return;
    }
    if (index === 0 && item.type !== undefined) {
      type = item.type;
    }
    const duration = Number.isFinite(item.duration) ? item.duration : defaultDuration(item.url);
    addToPlaylist(typeof item.title === 'string' ? item.title : item.url, item.url, duration);
  });
  showPlaylistType(type);
  $('#addMedia').removeClass('d-none');
  setSaveState('playlistSaved');
}

function onPlaylistSaved(payload) {
  const name = payload !== null && typeof payload === 'object' ? asText(payload.name).replace(/\.json$/, '') : '';
  if (name === '' || payload.status !== 'OK') {
    showNotice(i18n_getMessage('playlistSaveFailed', [name]), 'danger');
    setSaveState('playlistSaveError');
    return;
  }
  $('#currentPlaylistName').text(name);
  $('#addMedia').removeClass('d-none');
  setSaveState('playlistSaved');
  const dialog = $('#savePlaylistCard');
  if (dialog.hasClass('show')) {
    dialog.modal('hide');
    showNotice(i18n_getMessage('playlistSavedNotice', [name]), 'success');
  }
}

function onPlaylistRemoved(payload) {
  const name = payload !== null && typeof payload === 'object' ? asText(payload.name).replace(/\.json$/, '') : '';
  if (payload === null || typeof payload !== 'object' || payload.status !== 'OK') {
    showNotice(i18n_getMessage('playlistRemoveFailed', [name]), 'danger');
    return;
  }
  $('#removePlaylistCard').modal('hide');
  startNewPlaylist(false);
  showNotice(i18n_getMessage('playlistRemovedNotice', [name]), 'success');
}

function onMediaRemoved(payload) {
  if (payload === null || typeof payload !== 'object' || typeof payload.file !== 'string') {
    return;
  }
  const items = getItemFromPlayListByFileName(payload.file);
  const title = items.length > 0 ? itemTitle(items.first()) : payload.file;
  if (previewItem !== null && items.is(previewItem)) {
    $('#preview').modal('hide');
  }
  items.remove();
  if (payload.status !== 'OK') {
    showNotice(i18n_getMessage('mediaRemoveFailed', [title]), 'warning');
  }
  playlistChanged();
}

// "C" "error": the host could not start a display operation; nothing was sent to any display.
function onHostError(kind, payload) {
  const status = payload !== null && typeof payload === 'object' ? asText(payload.status) : '';
  if (kind === 'playlist' && status === 'nofile') {
    failDeploy('deployErrorNoFile');
  } else if (kind === 'playlist' && status === 'zerosize') {
    failDeploy('deployErrorZeroSize');
  } else if (kind === 'mgService') {
    failDeploy('deployErrorService');
  } else if (kind === 'window') {
    failDeploy('deployErrorWindow');
  } else {
    showNotice(i18n_getMessage('hostErrorOther', [kind, status]), 'danger');
  }
}
