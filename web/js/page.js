// The page's own state and helpers used by the UI script, and the wiring of its controls.
'use strict';

const MAX_NOTICES = 5;
const NOTICE_SECONDS = 7;

// Displays shown in the list, as reported by the host, each with the page's own "selected" flag.
let devList = [];
// The playlist item shown in the preview dialog.
let previewItem = null;
let uiReady = false;

function findDeviceIndexByIp(ip) {
  return devList.findIndex((device) => device.IPAddr === ip);
}

function selectedDevices() {
  return devList.filter((device) => device.selected);
}

function hasAnyDeviceSelected() {
  return devList.some((device) => device.selected);
}

// A display that plays neither videos nor images (banner only) cannot take an advertising playlist.
function hasAnyNoAdDeviceSelected() {
  return selectedDevices().some((device) => !(device.VideoAdvertSupport > 0) && !(device.ImageAdvertSupport > 0));
}

function hasAnyNoVideoAdDeviceSelected() {
  return selectedDevices().some((device) => !(device.VideoAdvertSupport > 0));
}

function isBannerAd() {
  return Number($('input[name="adType"]:checked').val()) === 2;
}

function playlistItems() {
  return $('#playlist').children('li');
}

function itemPath(item) {
  return $(item).children('span').eq(1).text();
}

function itemTitle(item) {
  return $(item).children('span').eq(0).text();
}

function getItemFromPlayListByFileName(fileName) {
  return playlistItems().filter((index, item) => itemPath(item) === fileName);
}

function clearlist() {
  $('#playlist').empty();
  previewItem = null;
}

function playlistTypeKey(type) {
  if (Number(type) === 255) {
    return 'uiSaveDlgTypeEmergencyLabel';
  }
  return Number(type) === 2 ? 'uiSaveDlgTypeBannerLabel' : 'uiSaveDlgTypeFullLabel';
}

function showPlaylistType(type) {
  const known = [1, 2, 255].includes(Number(type)) ? Number(type) : 1;
  $('input[name="adType"][value="' + known + '"]').prop('checked', true);
  $('#currentPlaylistType').text('[ ' + i18n_getMessage(playlistTypeKey(known)) + ' ]');
}

// Prepares the preview dialog, which the item opens itself (data-toggle="modal").
function clickPlayList(item, title, fpath) {
  playlistItems().removeClass('active');
  previewItem = $(item).addClass('active');
  $('#previewTitle').text(title);
  const url = 'media/' + encodeURIComponent(fpath);
  const stage = $('#previewMedia').empty();
  if (isImage(fpath)) {
    stage.append($('<img class="preview-image" alt="">').attr('src', url));
    $('#previewDuration').val(timeNumberToString(timeStringToNumber(previewItem.attr('value')))).removeClass('is-invalid');
    $('#previewDurationGroup').removeClass('d-none');
  } else {
    stage.append($('<video class="preview-video" controls autoplay playsinline></video>').attr('src', url));
    $('#previewDurationGroup').addClass('d-none');
  }
}

function stopPreview() {
  $('#previewMedia video').each((index, video) => {
    video.pause();
    video.removeAttribute('src');
    video.load();
  });
  $('#previewMedia').empty();
  playlistItems().removeClass('active');
}

function applyPreviewDuration() {
  const field = $('#previewDuration');
  const seconds = timeStringToNumber(field.val());
  if (previewItem === null || seconds < 1 || seconds > MAX_DURATION_SECONDS) {
    field.addClass('is-invalid');
    return;
  }
  previewItem.attr('value', seconds);
  previewItem.find('.media-duration').text(timeNumberToString(seconds) + '    ');
  $('#preview').modal('hide');
  playlistChanged();
}

function checkUserPass(input) {
  const field = $(input);
  const accepted = String(field.val() ?? '').trim() !== '';
  field.toggleClass('is-invalid', !accepted);
  return accepted;
}

const NOTICE_ICONS = {
  success: 'fa-check-circle',
  info: 'fa-info-circle',
  warning: 'fa-exclamation-triangle',
  danger: 'fa-times-circle'
};

// Non-blocking message at the top right; errors stay until they are closed.
function showNotice(text, level) {
  const kind = Object.prototype.hasOwnProperty.call(NOTICE_ICONS, level) ? level : 'info';
  const area = $('#notices');
  area.children().filter((index, notice) => $(notice).find('.notice-text').text() === text).remove();
  const notice = $('<div class="alert alert-dismissible fade show notice" role="alert"></div>')
    .addClass('alert-' + kind)
    .append(
      $('<i class="fa fa-fw notice-icon"></i>').addClass(NOTICE_ICONS[kind]),
      $('<span class="notice-text"></span>').text(text),
      $('<button type="button" class="close" data-dismiss="alert">&times;</button>')
        .attr('aria-label', i18n_getMessage('btnClose')));
  area.append(notice);
  area.children().slice(0, Math.max(0, area.children().length - MAX_NOTICES)).remove();
  if (kind !== 'danger') {
    setTimeout(() => notice.alert('close'), NOTICE_SECONDS * 1000);
  }
}

// Enables the deploy menu for the current selection; called after the UI script has arrived and
// whenever the selection changes.
function setupDropDownMenu() {
  const selected = selectedDevices().length;
  $('#deployMenu .dropdown-item[data-mode]').toggleClass('disabled', selected === 0)
    .attr('aria-disabled', String(selected === 0));
  $('#deploySelectedCount').text(String(selected)).toggleClass('d-none', selected === 0);
  $('#deployMenuHint').text(selected === 0
    ? i18n_getMessage('deployMenuSelectHint')
    : i18n_getMessage('deployMenuSelected', [selected]));
  $('#selectAllDevice').toggleClass('d-none', devList.length === 0);
  $('#devicelistEmpty').toggleClass('d-none', devList.length > 0);
  $('#deviceCount').text(String(devList.length));
  if (!uiReady) {
    markUiReady();
  }
}

function markUiReady() {
  uiReady = true;
  $('#uiLoading').remove();
  const product = copyright();
  $('#footerCopyright').text(product.name + ' ' + product.version + ' - ' + product.copyright);
  updatePlaylistView();
  requestKnown();
}

function showStartFailure(key) {
  $('#uiLoading').addClass('failed');
  $('#uiLoadingText').attr('data-i18n', key).text(i18n_getMessage(key));
}

function setSaveState(key) {
  $('#playlistSaveState').attr('data-i18n', key).text(i18n_getMessage(key))
    .toggleClass('text-danger', key === 'playlistSaveError');
}

// Keeps the saved file equal to the editor: a deploy reads the saved file, and media removal
// deletes files that the saved playlist would otherwise still name.
function playlistChanged() {
  const name = $('#currentPlaylistName').text();
  if (name === '') {
    return;
  }
  $('#inputPlaylistFileName').val(name);
  setSaveState('playlistSaving');
  savePlaylistFile(false);
}

function updatePlaylistView() {
  const items = playlistItems().get();
  // The remove link shows only an icon: a screen reader says which item it removes.
  items.forEach((item) => {
    $(item).find('.media-remove-link').attr('aria-label', i18n_getMessage('removeMediaLabel', [itemTitle(item)]));
    $(item).find('.media-title').attr({ role: 'button', tabindex: '0' });
  });
  const named = $('#currentPlaylistName').text() !== '';
  const images = items.filter((item) => isImage(itemPath(item))).length;
  $('#playlistEmptyNone').toggleClass('d-none', named || items.length > 0);
  $('#playlistEmptyItems').toggleClass('d-none', !named || items.length > 0);
  $('#playlistNoneOpen').toggleClass('d-none', named);
  $('#playlistFooter').toggleClass('d-none', !named);
  $('#playlistSummary').text(i18n_getMessage('playlistSummary', [items.length, items.length - images, images]));
  $('#btnSavePlaylist, #btnRemovePlaylist').prop('disabled', !named);
}

function selectAllDevices(checked) {
  devList.forEach((device) => { device.selected = checked; });
  $('#devicelist input.device-check').prop('checked', checked);
  setupDropDownMenu();
}

function deviceLabel(device) {
  return device && typeof device.DeviceName === 'string' && device.DeviceName.trim() !== ''
    ? device.DeviceName : i18n_getMessage('NONAME');
}

function renderDeviceCapabilities() {
  const list = $('#deviceCapabilities').empty();
  ['VideoAdvertSupport', 'ImageAdvertSupport', 'BannerSupport'].forEach((key) => {
    const supported = Number($('#' + key).val()) > 0;
    list.append($('<span class="badge mr-1"></span>')
      .addClass(supported ? 'badge-success' : 'badge-light text-muted')
      .append($('<i class="fa fa-fw"></i>').addClass(supported ? 'fa-check' : 'fa-minus'),
        document.createTextNode(' ' + i18n_getMessage(key))));
  });
}

function renderDeployTargets() {
  const mode = $('#deployMode').attr('mode');
  const devices = mode === 'login' || mode === 'setDevName'
    ? [devList[findDeviceIndexByIp($('#IPAddr').val())]]
    : selectedDevices();
  const list = $('#deployTargets').empty();
  devices.filter((device) => device !== undefined).forEach((device) => {
    list.append($('<span class="badge badge-secondary deploy-target"></span>').text(deviceLabel(device))
      .attr('title', device.IPAddr));
  });
  const name = $('#currentPlaylistName').text();
  $('#deployPlaylistSummary').text(name === ''
    ? i18n_getMessage('deployNoPlaylistSent')
    : i18n_getMessage('deployPlaylistSummary', [name, playlistItems().length]));
  $('#deployNewName').text($('#DeviceName').val());
}

function onEnter(selector, action) {
  $(selector).on('keydown', (event) => {
    if (event.key === 'Enter') {
      event.preventDefault();
      action();
    }
  });
}

function bindPage() {
  $('#btnNewPlaylist').on('click', () => startNewPlaylist(true));
  $('#btnOpenPlaylist').on('click', () => selectPlaylistDlg());
  $('#btnSavePlaylist').on('click', () => savePlaylistDlg(false));
  $('#btnRemovePlaylist').on('click', () => removePlayListDlg());
  $('#addMedia').on('click', () => addMediaFile());
  $('#btnSearchDevice').on('click', () => {
    searchDevice();
    relistKnownDisplays();
  });
  $('#selectAllDevice').on('change', (event) => selectAllDevices(event.target.checked));

  $('#savePlaylistConfirm').on('click', () => savePlaylistFile(true));
  $('#rewriteConfirm').on('click', () => savePlaylistFile(false));
  $('#inputPlaylistFileName').on('input', (event) => {
    $('#rewriteWarning').addClass('d-none');
    $(event.target).removeClass('is-invalid');
  });
  onEnter('#inputPlaylistFileName', () => savePlaylistFile(true));
  $('#savePlaylistCard').on('shown.bs.modal', () => $('#inputPlaylistFileName').trigger('focus'));

  const openChosen = () => {
    $('#openPlaylistCard').modal('hide');
    selectPlaylistFile('openPlaylistSelect');
  };
  $('#openPlaylistConfirm').on('click', openChosen);
  $('#openPlaylistSelect').on('dblclick', 'option', openChosen);
  $('#removePlaylistConfirm').on('click', () => removePlayList());

  $('#preview').on('hidden.bs.modal', stopPreview);
  $('#previewDurationApply').on('click', applyPreviewDuration);
  onEnter('#previewDuration', applyPreviewDuration);
  $('#previewDuration').on('input', (event) => $(event.target).removeClass('is-invalid'));

  $('#deviceEditor').on('show.bs.modal', renderDeviceCapabilities)
    .on('hidden.bs.modal', () => $('#devicelist').children().removeClass('active'));
  $('#deviceWebButton').on('click', () => openDeviceWeb());
  $('#deviceLoginButton').on('click', (event) => openDeployDlg(event.currentTarget, 'login'));
  $('#deviceRenameButton').on('click', (event) => openDeployDlg(event.currentTarget, 'setDevName'));

  $('#deployMenu').on('click', '.dropdown-item[data-mode]', (event) => {
    event.preventDefault();
    openDeployDlg(event.currentTarget, $(event.currentTarget).attr('data-mode'));
  });
  $('#deployPlaylistCard').on('show.bs.modal', renderDeployTargets)
    .on('click', '[data-select-file]', (event) => selectFile($(event.currentTarget).attr('data-select-file')));
  $('#deployConfirm').on('click', () => deployPlayList());
  $('#deployCredentials').on('submit', (event) => event.preventDefault());
  onEnter('#username, #password', () => deployPlayList());
  $('#username, #password').on('input', (event) => $(event.target).removeClass('is-invalid'));
  $('#deployProgressClose').on('click', closeDeployProgress);

  // A display's tooltip would otherwise stay on top of the dialog its click opened.
  $(document).on('show.bs.modal', () => $('#devicelist [data-original-title]').tooltip('hide'));

  $('#languageMenu').on('click', '[data-language]', (event) => {
    event.preventDefault();
    loadTranslation($(event.currentTarget).attr('data-language'));
  });

  // An item's title opens its preview from the keyboard as a click on the item does.
  $('#playlist').on('keydown', '.media-title', (event) => {
    if (event.key === 'Enter' || event.key === ' ') {
      event.preventDefault();
      $(event.currentTarget).closest('li').trigger('click');
    }
  });
  $('#playlist').sortable({
    axis: 'y',
    containment: 'parent',
    tolerance: 'pointer',
    cancel: '.media-remove-link',
    update: playlistChanged
  });
  const observer = new MutationObserver(updatePlaylistView);
  observer.observe(document.getElementById('playlist'), { childList: true });
  observer.observe(document.getElementById('currentPlaylistName'), { childList: true, characterData: true, subtree: true });

  document.addEventListener('quillora:translated', () => {
    if (uiReady) {
      setupDropDownMenu();
      updatePlaylistView();
    }
    renderDeployProgress();
  });
}

$(bindPage);
