// The journal of deploy runs: newest first, each display's state in words, the steps of one
// run, retries of what did not arrive and CSV exports. The host pushes state changes as they
// happen.
'use strict';

const HISTORY_LIMIT = 50;
const RETRY_STATES = ['failed', 'incomplete', 'pending', 'interrupted'];

let historyRuns = [];
let historyDetail = null;
// The run a retry dialog is open for.
let retryRunId = 0;

function runId(value) {
  const id = Number(value);
  return Number.isInteger(id) && id > 0 ? id : 0;
}

function canRetry(run) {
  return Array.isArray(run.displays) && run.displays.some((display) => display && RETRY_STATES.includes(display.state));
}

function formatTime(ms) {
  return Number.isFinite(ms) && ms > 0 ? new Date(ms).toLocaleString(currentLanguage) : '';
}

function runKindText(kind) {
  const key = 'runKind_' + asText(kind);
  const text = i18n_getMessage(key);
  return text === key ? asText(kind) : text;
}

// One run as the history lists it; nothing of the host's text goes anywhere but text nodes.
function runSummary(run) {
  const displays = (Array.isArray(run.displays) ? run.displays : []).filter((display) => display && typeof display === 'object');
  return {
    id: runId(run.id),
    kind: runKindText(run.kind),
    started: formatTime(run.started),
    target: [asText(run.playlist), run.group ? i18n_getMessage('historyGroupOf', [asText(run.group)]) : '']
      .filter((part) => part !== '').join(' · '),
    retryOf: runId(run.retryOf),
    retry: canRetry(run),
    displays: displays.map((display) => ({
      ip: asText(display.ip),
      state: asText(display.state),
      text: runStateText(display.state, display.detail)
    }))
  };
}

// `before`: the runs older than that run, the next page of the list.
function requestHistory(before) {
  const request = { limit: HISTORY_LIMIT, ip: asText($('#historyFilterDisplay').val()),
    group: asText($('#historyFilterGroup').val()) };
  if (runId(before) > 0) {
    request.before = runId(before);
  }
  postToHost('history', 'get', request);
}

function requestRun(id) {
  if (runId(id) > 0) {
    postToHost('history', 'get', { id: runId(id) });
  }
}

function onHistoryMessage(command, payload) {
  const body = payload !== null && typeof payload === 'object' ? payload : {};
  if (command === 'get' && runId(body.schedule) > 0) {
    // The schedules view asked for one schedule's runs; the history list is not that.
    onScheduleRuns(body);
  } else if (command === 'get') {
    const runs = (Array.isArray(body.runs) ? body.runs : []).filter((run) => run && typeof run === 'object' && runId(run.id) > 0);
    // The answer for one run is that run alone, its displays with their steps.
    const single = runs.length === 1 && Array.isArray(runs[0].displays) &&
      runs[0].displays.some((display) => display && Array.isArray(display.steps));
    if (single || runId(body.id) > 0) {
      historyDetail = single ? runs[0] : (runs.find((run) => runId(run.id) === runId(body.id)) || null);
      renderRunDetail();
      return;
    }
    if (runId(body.before) > 0) {
      const shown = new Set(historyRuns.map((run) => runId(run.id)));
      historyRuns = historyRuns.concat(runs.filter((run) => !shown.has(runId(run.id))));
    } else {
      historyRuns = runs;
    }
    // A full page may have older runs behind it.
    $('#historyOlder').toggleClass('d-none', runs.length < HISTORY_LIMIT);
    renderHistory();
    renderHistoryKeep(body.keep);
  } else if (command === 'export') {
    if (body.status === 'OK') {
      showNotice(i18n_getMessage('historyExported', [asText(body.path)]), 'success');
    } else if (body.status !== 'cancel') {
      showNotice(i18n_getMessage('historyExportFailed', [asText(body.error)]), 'danger');
    }
  } else if (command === 'state') {
    onRunState(body);
  }
}

// How much of the journal the host keeps (config.yaml, "history"); a limit of 0 is none.
function renderHistoryKeep(keep) {
  const limits = keep !== null && typeof keep === 'object' ? keep : {};
  const days = Number.isInteger(limits.days) && limits.days > 0 ? limits.days : 0;
  const runs = Number.isInteger(limits.runs) && limits.runs > 0 ? limits.runs : 0;
  const parts = [];
  if (days > 0) {
    parts.push(i18n_getMessage('historyKeepDays', [String(days)]));
  }
  if (runs > 0) {
    parts.push(i18n_getMessage('historyKeepRuns', [runs.toLocaleString(currentLanguage)]));
  }
  $('#historyKeep').text(parts.length > 0 ? parts.join(' ') : i18n_getMessage('historyKeepAll'));
}

// A display's state in a run changed: the run's row, the display's row and the open details follow.
function onRunState(body) {
  const id = runId(body.id);
  const address = asText(body.ip);
  if (id === 0 || address === '' || typeof body.state !== 'string') {
    return;
  }
  let run = historyRuns.find((candidate) => runId(candidate.id) === id);
  if (!run && body.run && typeof body.run === 'object') {
    run = Object.assign({ displays: [] }, body.run, { id: id });
    historyRuns.unshift(run);
  }
  if (run) {
    run.displays = Array.isArray(run.displays) ? run.displays : [];
    const display = run.displays.find((candidate) => candidate && candidate.ip === address);
    if (display) {
      display.state = body.state;
    } else {
      run.displays.push({ ip: address, state: body.state });
    }
    renderHistory();
  } else if (!$('#historyView').hasClass('d-none')) {
    // A run started elsewhere (a retry, the command line): the list fetches it.
    requestHistory();
  }
  const device = findDeviceByAddress(address);
  if (device) {
    device.LastState = body.state;
    decorateDeviceRow(device);
  }
  const name = device ? deviceLabel(device) : address;
  $('#liveStatus').text(i18n_getMessage('runStateChanged', [name, runStateText(body.state, body.detail)]));
  if (historyDetail && runId(historyDetail.id) === id) {
    requestRun(id);
  }
}

function renderHistoryFilters() {
  const fill = (selector, values) => {
    const select = $(selector);
    const chosen = select.val();
    select.empty().append($('<option value=""></option>').text(i18n_getMessage('historyFilterAll')));
    values.forEach(([value, text]) => select.append($('<option></option>').val(value).text(text)));
    select.val(values.some(([value]) => value === chosen) ? chosen : '');
  };
  fill('#historyFilterDisplay', [...knownDisplays.values()].map((record) =>
    [record.ip, asText(record.name) === '' ? record.ip : record.name + ' (' + record.ip + ')']));
  fill('#historyFilterGroup', displayGroups.map((group) => [group.name, group.name]));
}

function renderHistory() {
  const body = $('#historyRuns').empty();
  $('#historyEmpty').toggleClass('d-none', historyRuns.length > 0);
  historyRuns.map(runSummary).forEach((run) => {
    const states = $('<ul class="list-unstyled mb-0 run-displays"></ul>');
    run.displays.forEach((display) => states.append($('<li></li>').append(
      $('<span class="run-address"></span>').text(display.ip + ': '),
      $('<span class="run-state"></span>').addClass('run-state-' + display.state).text(display.text))));
    const button = (key, action, enabled) => $('<button type="button" class="btn btn-sm btn-outline-primary mr-1 mb-1"></button>')
      .text(i18n_getMessage(key)).attr('aria-label', i18n_getMessage(key + 'Run', [run.id]))
      .attr('data-action', action).attr('data-run', run.id).prop('disabled', !enabled);
    body.append($('<tr></tr>').attr('data-run', run.id).append(
      $('<td></td>').text(run.started),
      $('<td></td>').text(run.kind + (run.retryOf > 0 ? ' ' + i18n_getMessage('historyRetryOf', [run.retryOf]) : '')),
      $('<td></td>').text(run.target),
      $('<td></td>').append(states),
      $('<td class="text-nowrap"></td>').append(button('historyDetails', 'details', true),
        button('historyRetry', 'retry', run.retry), button('historyExport', 'export', true))));
  });
}

function renderRunDetail() {
  const panel = $('#historyDetail');
  const list = $('#historyDetailList').empty();
  if (historyDetail === null) {
    panel.addClass('d-none');
    return;
  }
  const run = runSummary(historyDetail);
  $('#historyDetailTitle').text(i18n_getMessage('historyDetailTitle', [run.id, run.kind, run.started]));
  const files = Array.isArray(historyDetail.files) ? historyDetail.files : [];
  $('#historyDetailFiles').text(files.length === 0 ? '' : i18n_getMessage('historyFiles',
    [files.map((file) => asText(file && file.name)).join(', ')]));
  (Array.isArray(historyDetail.displays) ? historyDetail.displays : []).forEach((display) => {
    if (!display || typeof display !== 'object') {
      return;
    }
    const steps = $('<ol class="run-steps small mb-0"></ol>');
    (Array.isArray(display.steps) ? display.steps : []).forEach((step) => {
      const detail = step && step.detail && typeof step.detail === 'object' && !Array.isArray(step.detail)
        ? Object.entries(step.detail).map(([key, value]) => ' · ' + key + ': ' +
          (value !== null && typeof value === 'object' ? JSON.stringify(value) : asText(value))).join('') : '';
      steps.append($('<li></li>').text([formatTime(step && step.at), asText(step && step.step), asText(step && step.status)]
        .filter((part) => part !== '').join(' · ') + detail));
    });
    list.append($('<li class="list-group-item"></li>').append(
      $('<div></div>').append($('<strong></strong>').text(asText(display.ip) + ': '),
        $('<span class="run-state"></span>').addClass('run-state-' + asText(display.state))
          .text(runStateText(display.state, display.detail))), steps));
  });
  panel.removeClass('d-none');
}

function exportHistory(id) {
  postToHost('history', 'export', runId(id) > 0 ? { id: runId(id) } : {});
}

// A retry needs the displays' login again: the dialog offers what was typed for the last deploy.
function openRetryDialog(id) {
  retryRunId = runId(id);
  $('#retryUser').val($('#username').val()).removeClass('is-invalid');
  $('#retryPass').val($('#password').val()).removeClass('is-invalid');
  $('#retryRunText').text(i18n_getMessage('retryText', [retryRunId]));
  $('#retryCard').modal('show');
}

function startRetry() {
  const userAccepted = checkUserPass($('#retryUser'));
  const passAccepted = checkUserPass($('#retryPass'));
  if (!(userAccepted && passAccepted) || retryRunId === 0) {
    return;
  }
  const user = String($('#retryUser').val());
  const pass = String($('#retryPass').val());
  $('#username').val(user);
  $('#password').val(pass);
  postToHost('history', 'retry', { id: retryRunId, user: user, pass: pass });
  $('#retryCard').modal('hide');
  showNotice(i18n_getMessage('retryStarted', [retryRunId]), 'info');
}

const VIEWS = [['main', '#mainView', '#tabMain'], ['history', '#historyView', '#tabHistory'],
  ['schedules', '#schedulesView', '#tabSchedules']];

function showView(name) {
  VIEWS.forEach(([view, section, tab]) => {
    $(section).toggleClass('d-none', view !== name);
    $(tab).attr('aria-pressed', String(view === name)).toggleClass('active', view === name);
  });
  if (name === 'history') {
    requestHistory();
  } else if (name === 'schedules') {
    requestSchedules();
  }
}

function bindHistory() {
  $('#tabMain').on('click', () => showView('main'));
  $('#tabHistory').on('click', () => showView('history'));
  $('#historyFilterDisplay, #historyFilterGroup').on('change', () => requestHistory());
  $('#historyRefresh').on('click', () => requestHistory());
  $('#historyOlder').on('click', () => {
    const last = historyRuns[historyRuns.length - 1];
    if (last) {
      requestHistory(last.id);
    }
  });
  $('#historyExportAll').on('click', () => exportHistory(0));
  $('#historyRuns').on('click', 'button[data-action]', (event) => {
    const id = $(event.currentTarget).attr('data-run');
    const action = $(event.currentTarget).attr('data-action');
    if (action === 'details') {
      requestRun(id);
    } else if (action === 'retry') {
      openRetryDialog(id);
    } else {
      exportHistory(id);
    }
  });
  $('#historyDetailClose').on('click', () => {
    historyDetail = null;
    renderRunDetail();
  });
  $('#retryConfirm').on('click', startRetry);
  onEnter('#retryUser, #retryPass', startRetry);
  $('#retryUser, #retryPass').on('input', (event) => $(event.target).removeClass('is-invalid'));
  $('#retryCard').on('shown.bs.modal', () => $('#retryConfirm').trigger('focus'));
  document.addEventListener('quillora:translated', () => {
    renderHistoryFilters();
    renderHistory();
    renderRunDetail();
  });
}

$(bindHistory);
