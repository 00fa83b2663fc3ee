// Deploy progress: one row per display of the running operation, driven by the host's
// "deploy" messages. A display stays in deployList until its work has ended; while the list is
// not empty the UI script refuses to start another operation.
'use strict';

// The host gives up on a display after 10 s without connection and 30 s without an answer to
// each request; a display silent for longer than the worst case of a login and one request is
// not going to answer.
const DEPLOY_SILENCE_LIMIT_MS = 120000;
const DEPLOY_WATCH_INTERVAL_MS = 5000;

// Reply kinds that can end a display's work in each mode. "device", "parse" and "login" can end
// any mode.
const DEPLOY_MODE_KINDS = {
  login: [],
  adDeploy: ['adUploadRequest', 'playlist'],
  emergency: ['emergency', 'adUploadRequest'],
  adUndeploy: ['clear'],
  adEnable: ['adSwitch'],
  adDisable: ['adSwitch'],
  adCamSwitchEnable: ['adSwitch'],
  adCamSwitchDisable: ['adSwitch'],
  screenEnable: ['screen'],
  screenDisable: ['screen'],
  setDevName: ['devName'],
  fwUpdate: ['firmware'],
  brand: ['brand'],
  banner: ['deterrence'],
  greeting: ['deterrence'],
  confImport: ['configure']
};
const SETTING_KINDS = ['adSwitch', 'screen', 'devName', 'clear', 'brand', 'deterrence'];
const TERMINAL_PHASES = ['done', 'partial', 'failed'];

let deployTargets = [];
let deployOperation = null;
let deployWatch = null;

function isTerminalPhase(phase) {
  return TERMINAL_PHASES.includes(phase);
}

// Whether the display reports its result only after it has fetched files from the host: the
// device connection then closes long before the outcome arrives.
function reportsAfterFetch(mode, withPlaylist) {
  return mode === 'adDeploy' || mode === 'fwUpdate' || (mode === 'emergency' && withPlaylist);
}

function codeAfter(prefix, status) {
  return status.startsWith(prefix) ? status.slice(prefix.length).trim() : null;
}

// The next state of one display's row for a host message of `kind` with payload `payload`,
// or null when the message does not change it. Rows are {phase, key, args}.
function deployTransition(mode, fetchReport, row, kind, payload) {
  if (!payload || typeof payload.status !== 'string') {
    return null;
  }
  if (isTerminalPhase(row.phase) && !row.expired) {
    return null;
  }
  const status = payload.status;
  const kinds = DEPLOY_MODE_KINDS[mode] || [];
  const state = (phase, key, args) => ({ phase: phase, key: key, args: args || [] });
  let code;

  if (kind === 'device') {
    if (status === 'waiting') {
      const window = payload.window || {};
      return payload.reason === 'window'
        ? state('held', 'stateHeldWindow', [asText(window.from), asText(window.to)])
        : state('held', 'stateHeldWave');
    }
    if (status === 'started') {
      return state('working', 'stateSending');
    }
    if (row.phase === 'waiting') {
      return null;
    }
    if (status === 'mgerror') {
      return state('failed', 'stateUnreachable');
    }
    if (status === 'mgclose') {
      return fetchReport ? state('waiting', 'stateWaitingReport') : state('failed', 'stateClosed');
    }
    code = codeAfter('Unsupported code:', status);
    return code !== null ? state('failed', 'stateHttpError', [code]) : state('failed', 'stateOther', [status]);
  }
  if (kind === 'parse') {
    return state('failed', 'stateParseError');
  }
  if (kind === 'login') {
    if (status === 'OK') {
      return mode === 'login' ? state('done', 'stateLoginOk') : null;
    }
    if (status === 'ERROR') {
      return state('failed', 'stateLoginFailed');
    }
    code = codeAfter('Unsupported Login Code:', status);
    return code !== null ? state('failed', 'stateLoginCode', [code]) : state('failed', 'stateOther', [status]);
  }
  if (!kinds.includes(kind)) {
    return null;
  }
  if (status === 'finish' && (kind === 'playlist' || kind === 'emergency')) {
    const total = String(payload.total ?? '');
    const success = String(payload.success ?? '');
    const failed = String(payload.failed ?? '');
    const complete = total !== '' && success === total && (failed === '' || Number(failed) === 0);
    return complete
      ? state('done', 'stateFinished', [success, total])
      : state('partial', 'stateFinishedWithErrors', [success, total, failed === '' ? '?' : failed]);
  }
  if (kind === 'adUploadRequest') {
    if (status === 'NO Enough Space') {
      return state('failed', 'stateNoSpace');
    }
    code = codeAfter('Unsupported Ad Upload Request Code:', status);
    return state('failed', code !== null ? 'stateUploadCode' : 'stateOther', [code !== null ? code : status]);
  }
  if (kind === 'emergency') {
    if (status === 'OK') {
      return state('done', 'stateEmergencyOk');
    }
    code = codeAfter('Unsupported Emergency Request Code:', status);
    return state('failed', code !== null ? 'stateEmergencyCode' : 'stateOther', [code !== null ? code : status]);
  }
  if (kind === 'firmware') {
    return status === 'OK' ? state('done', 'stateFirmwareOk') : state('failed', 'stateFirmwareFailed');
  }
  if (kind === 'configure') {
    return status === 'OK' ? state('done', 'stateConfigureOk') : state('failed', 'stateOther', [status]);
  }
  if (SETTING_KINDS.includes(kind)) {
    return status === 'OK' ? state('done', 'stateSettingOk') : state('failed', 'stateSettingRefused');
  }
  return null;
}

// Rows still working that have heard nothing for too long.
function silentRows(rows, now, limitMs) {
  return rows.filter((row) => row.phase === 'working' && now - row.lastActivity > limitMs);
}

// The UI script starts an operation by assigning its targets ({ip, port} each) to deployList.
Object.defineProperty(globalThis, 'deployList', {
  get: () => deployTargets,
  set: (targets) => {
    deployTargets = Array.isArray(targets) ? targets.slice() : [];
    if (deployTargets.length > 0) {
      startDeployProgress();
    }
  }
});

function deviceNameForAddress(ip) {
  const device = devList[findDeviceIndexByIp(ip)];
  return device && typeof device.DeviceName === 'string' && device.DeviceName.trim() !== ''
    ? device.DeviceName : i18n_getMessage('NONAME');
}

function startDeployProgress() {
  const mode = $('#deployMode').attr('mode');
  const withPlaylist = $('#currentPlaylistName').text() !== '';
  const now = Date.now();
  deployOperation = {
    mode: mode,
    labelKey: $('#uiDeployType').attr('data-i18n') || 'uiMenuDeploy',
    fetchReport: reportsAfterFetch(mode, withPlaylist),
    newName: mode === 'setDevName' ? String($('#DeviceName').val()) : null,
    rows: deployTargets.map((target) => ({
      ip: String(target.ip),
      port: String(target.port),
      name: deviceNameForAddress(target.ip),
      phase: 'working',
      key: 'stateConnecting',
      args: [],
      lastActivity: now
    }))
  };
  if (deployOperation.fetchReport) {
    deployOperation.rows.forEach((row) => { row.key = 'stateSending'; });
  }
  if (deployWatch === null) {
    deployWatch = setInterval(checkSilentDisplays, DEPLOY_WATCH_INTERVAL_MS);
  }
  renderDeployProgress();
  $('#deployProgress').removeClass('d-none');
}

function releaseDisplay(row) {
  const index = deployTargets.findIndex((target) => hostOfAddress(String(target.ip)) === hostOfAddress(row.ip));
  if (index >= 0) {
    deployTargets.splice(index, 1);
  }
  if (deployTargets.length === 0) {
    finishDeployProgress();
  }
}

function finishDeployProgress() {
  if (deployWatch !== null) {
    clearInterval(deployWatch);
    deployWatch = null;
  }
  $('#deploySpinner').addClass('d-none');
  $('#deployIcon').removeClass('d-none');
  $('#uiDeployType').attr('data-i18n', 'uiMenuDeploy').text(i18n_getMessage('uiMenuDeploy'));
  if (deployOperation === null) {
    return;
  }
  const count = (phases) => deployOperation.rows.filter((row) => phases.includes(row.phase)).length;
  const ok = count(['done']);
  const bad = count(['failed', 'partial']);
  const label = i18n_getMessage(deployOperation.labelKey);
  if (bad > 0) {
    showNotice(i18n_getMessage('deploySummaryErrors', [label, ok, bad]), 'danger');
  } else {
    showNotice(i18n_getMessage('deploySummaryOk', [label, ok]), 'success');
  }
  setupDropDownMenu();
}

function applyRowState(row, next) {
  const wasReleased = isTerminalPhase(row.phase);
  Object.assign(row, next, { lastActivity: Date.now(), expired: false });
  if (next.phase === 'done' && deployOperation.mode === 'setDevName' && deployOperation.newName !== null) {
    renameListedDevice(row.ip, deployOperation.newName);
  }
  if (isTerminalPhase(row.phase) && !wasReleased) {
    releaseDisplay(row);
  }
}

function renameListedDevice(ip, name) {
  const index = findDeviceIndexByIp(ip);
  if (index < 0) {
    return;
  }
  devList[index].DeviceName = name;
  $('#devicelist').children().filter((i, item) => $(item).attr('data-ip') === ip)
    .find('.device-name').text(name.trim() !== '' ? name : i18n_getMessage('NONAME'));
}

// Entry for every host message with "C" "deploy".
function onDeployMessage(kind, payload) {
  if (!payload || typeof payload.status !== 'string') {
    return;
  }
  const host = hostOfAddress(payload.ip);
  const rows = deployOperation === null ? [] : deployOperation.rows.filter((row) => hostOfAddress(row.ip) === host);
  const row = rows.find((candidate) => !isTerminalPhase(candidate.phase)) || rows.find((candidate) => candidate.expired);
  if (!row) {
    reportLateResult(kind, payload);
    return;
  }
  const next = deployTransition(deployOperation.mode, deployOperation.fetchReport, row, kind, payload);
  if (next === null) {
    return;
  }
  applyRowState(row, next);
  renderDeployProgress();
}

// Results that displays post after their operation was given up or replaced.
function reportLateResult(kind, payload) {
  const name = deviceNameForAddress(hostOfAddress(payload.ip));
  if (kind === 'firmware') {
    showNotice(i18n_getMessage(payload.status === 'OK' ? 'lateFirmwareOk' : 'lateFirmwareFailed', [name]),
      payload.status === 'OK' ? 'info' : 'danger');
  } else if (payload.status === 'finish') {
    showNotice(i18n_getMessage('lateFinish', [name, payload.success ?? '', payload.total ?? '']), 'info');
  }
}

// The host could not start the operation at all ("C" "error").
// The deploy dialog's download window, when one is asked for, joins the request's payload.
function addDeployWindow(payload) {
  if ($('#deployWindowOn').prop('checked')) {
    payload.window = { from: String($('#deployWindowFrom').val()), to: String($('#deployWindowTo').val()) };
  }
}

function failDeploy(key) {
  showNotice(i18n_getMessage(key), 'danger');
  if (deployOperation === null) {
    return;
  }
  deployOperation.rows.filter((row) => !isTerminalPhase(row.phase))
    .forEach((row) => applyRowState(row, { phase: 'failed', key: key, args: [] }));
  renderDeployProgress();
}

function checkSilentDisplays() {
  if (deployOperation === null || deployOperation.fetchReport) {
    return;
  }
  const silent = silentRows(deployOperation.rows, Date.now(), DEPLOY_SILENCE_LIMIT_MS);
  silent.forEach((row) => {
    applyRowState(row, { phase: 'failed', key: 'stateNoAnswer', args: [] });
    row.expired = true;
  });
  if (silent.length > 0) {
    renderDeployProgress();
  }
}

function stopWaitingFor(row) {
  applyRowState(row, { phase: 'failed', key: 'stateDismissed', args: [] });
  row.expired = true;
  renderDeployProgress();
}

const PHASE_ICONS = {
  working: 'fa-circle-o-notch fa-spin text-primary',
  waiting: 'fa-hourglass-half text-info',
  held: 'fa-clock-o text-info',
  done: 'fa-check-circle text-success',
  partial: 'fa-exclamation-triangle text-warning',
  failed: 'fa-times-circle text-danger'
};

function renderDeployProgress() {
  if (deployOperation === null) {
    return;
  }
  const rows = deployOperation.rows;
  const finished = rows.filter((row) => isTerminalPhase(row.phase)).length;
  $('#deployProgressTitle').text(i18n_getMessage(deployOperation.labelKey));
  $('#deployProgressCount').text(i18n_getMessage('deployProgressCount', [finished, rows.length]));
  $('#deployProgressClose').toggleClass('d-none', deployTargets.length > 0);
  const list = $('#deployProgressList').empty();
  rows.forEach((row) => {
    const text = $('<div class="deploy-row-text"></div>').append(
      $('<div class="deploy-row-name"></div>').text(row.name),
      $('<div class="deploy-row-address"></div>').text(row.ip + ':' + row.port));
    const status = $('<div class="deploy-row-status"></div>').addClass('phase-' + row.phase)
      .text(i18n_getMessage(row.key, row.args));
    const item = $('<li class="list-group-item deploy-row"></li>').append(
      $('<i class="fa fa-fw deploy-row-icon"></i>').addClass(PHASE_ICONS[row.phase]),
      text, status);
    if (!isTerminalPhase(row.phase) && deployOperation.fetchReport) {
      status.append($('<button type="button" class="btn btn-link btn-sm p-0 ml-2 deploy-row-stop"></button>')
        .text(i18n_getMessage('stopWaiting'))
        .on('click', () => stopWaitingFor(row)));
    }
    list.append(item);
  });
}

function closeDeployProgress() {
  if (deployTargets.length > 0) {
    return;
  }
  deployOperation = null;
  $('#deployProgress').addClass('d-none');
  $('#deployProgressList').empty();
}
