// Deploys the host starts by itself: once at a set time, or on days of the week until a date.
// The host keeps each schedule's display login under a name of its own; the page sends a login
// only when saving and never gets one back.
'use strict';

const SCHEDULE_DAYS = ['mon', 'tue', 'wed', 'thu', 'fri', 'sat', 'sun'];
const DAY_KEYS = ['dayMon', 'dayTue', 'dayWed', 'dayThu', 'dayFri', 'daySat', 'daySun'];
const ISO_DATE = /^\d{4}-(0[1-9]|1[0-2])-(0[1-9]|[12]\d|3[01])$/;
const DAY_TIME = /^([01]\d|2[0-3]):[0-5]\d$/;

let schedules = [];
// The schedule the dialog edits, null for a new one.
let scheduleEdited = null;
// The schedule whose runs are shown (0: none) and those runs.
let scheduleRunsId = 0;
let scheduleRuns = [];
let schedulePlaylists = [];

function asObject(value) {
  return value !== null && typeof value === 'object' && !Array.isArray(value) ? value : {};
}

// "2026-12-24" -> "24.12.2026"; "" for anything else.
function scheduleDateText(date) {
  const text = asText(date);
  return ISO_DATE.test(text) ? text.split('-').reverse().join('.') : '';
}

function dayName(day) {
  return i18n_getMessage(DAY_KEYS[SCHEDULE_DAYS.indexOf(day)]);
}

function scheduleWhenText(when) {
  const rule = asObject(when);
  if (typeof rule.once === 'string') {
    const [date, time] = rule.once.split('T');
    return i18n_getMessage('scheduleWhenOnce', [scheduleDateText(date), asText(time)]);
  }
  const weekly = asObject(rule.weekly);
  const chosen = Array.isArray(weekly.days) ? weekly.days : [];
  const days = SCHEDULE_DAYS.filter((day) => chosen.includes(day));
  if (days.length === 0) {
    return '';
  }
  const dayText = days.length === SCHEDULE_DAYS.length ? i18n_getMessage('scheduleEveryDay') : days.map(dayName).join(', ');
  const until = scheduleDateText(weekly.until);
  return i18n_getMessage(until === '' ? 'scheduleWhenWeekly' : 'scheduleWhenWeeklyUntil', [dayText, asText(weekly.time), until]);
}

function playlistLabel(file) {
  return asText(file).replace(/\.json$/, '');
}

function scheduleOperationText(operation) {
  const op = asObject(operation);
  const payload = asObject(op.P);
  if (op.C === 'deploy' && op.T === 'playlist') {
    return i18n_getMessage('scheduleOpPlaylist', [playlistLabel(payload.file)]);
  }
  if (op.C === 'deploy' && op.T === 'emergency') {
    const on = payload.enable === 'true' || payload.enable === '1';
    return i18n_getMessage(on ? 'scheduleOpEmergencyOn' : 'scheduleOpEmergencyOff', [playlistLabel(payload.file)]);
  }
  if (op.C === 'set' && op.T === 'screen') {
    return i18n_getMessage(payload.cmd === '1' ? 'scheduleOpScreenOn' : 'scheduleOpScreenOff');
  }
  return [asText(op.C), asText(op.T)].join(' ').trim();
}

function scheduleTargetsText(targets) {
  const target = asObject(targets);
  if (typeof target.group === 'string') {
    return i18n_getMessage('scheduleTargetGroup', [target.group]);
  }
  return Array.isArray(target.ip) ? target.ip.map(asText).join(', ') : '';
}

// The dialog's choice for an operation; "kept" is one the dialog cannot make but keeps.
function scheduleOperationChoice(operation) {
  const op = asObject(operation);
  if (op.C === 'deploy' && op.T === 'playlist') {
    return 'playlist';
  }
  if (op.C === 'set' && op.T === 'screen' && ['0', '1'].includes(asObject(op.P).cmd)) {
    return asObject(op.P).cmd === '1' ? 'screenOn' : 'screenOff';
  }
  return 'kept';
}

// The dialog's values as the host saves them, or the ids of the fields to correct. EDITED is
// the schedule being changed (null for a new one): its login stays when both login fields are
// left empty.
function scheduleFromForm(form, edited) {
  const errors = [];
  const name = asText(form.name).trim();
  if (name === '') {
    errors.push('scheduleName');
  }
  let operation = null;
  if (form.operation === 'playlist') {
    operation = { C: 'deploy', T: 'playlist', P: { file: asText(form.playlist) } };
    if (operation.P.file === '') {
      errors.push('schedulePlaylist');
    }
  } else if (form.operation === 'screenOn' || form.operation === 'screenOff') {
    operation = { C: 'set', T: 'screen', P: { cmd: form.operation === 'screenOn' ? '1' : '0' } };
  } else if (edited) {
    operation = edited.operation;
  } else {
    errors.push('scheduleOperation');
  }
  const target = asText(form.target);
  const selected = Array.isArray(form.selected) ? form.selected : [];
  let targets = null;
  if (target.startsWith('group:') && target.length > 'group:'.length) {
    targets = { group: target.slice('group:'.length) };
  } else if (target === 'selected' && selected.length > 0) {
    targets = { ip: selected.slice() };
  } else if (target === 'kept' && edited) {
    targets = edited.targets;
  } else {
    errors.push('scheduleTarget');
  }
  const time = asText(form.time);
  if (!DAY_TIME.test(time)) {
    errors.push('scheduleTime');
  }
  let when;
  if (form.mode === 'weekly') {
    const chosen = Array.isArray(form.days) ? form.days : [];
    when = { weekly: { days: SCHEDULE_DAYS.filter((day) => chosen.includes(day)), time: time } };
    if (when.weekly.days.length === 0) {
      errors.push('scheduleDays');
    }
    const until = asText(form.until);
    if (ISO_DATE.test(until)) {
      when.weekly.until = until;
    } else if (until !== '') {
      errors.push('scheduleUntil');
    }
  } else {
    when = { once: asText(form.date) + 'T' + time };
    if (!ISO_DATE.test(asText(form.date))) {
      errors.push('scheduleDate');
    }
  }
  const user = asText(form.user);
  const pass = asText(form.pass);
  const login = !edited || user !== '' || pass !== '';
  if (login && user.trim() === '') {
    errors.push('scheduleUser');
  }
  if (login && pass === '') {
    errors.push('schedulePass');
  }
  if (errors.length > 0) {
    return { errors: errors, schedule: null };
  }
  const schedule = { name: name, paused: Boolean(edited && edited.paused), operation: operation, targets: targets, when: when };
  if (edited) {
    Object.assign(schedule, { id: edited.id, login: asText(edited.login) });
  }
  if (login) {
    Object.assign(schedule, { user: user, pass: pass });
  }
  return { errors: [], schedule: schedule };
}

function validSchedule(schedule) {
  return schedule !== null && typeof schedule === 'object' && runId(schedule.id) > 0;
}

function requestSchedules() {
  postToHost('schedule', 'get', {});
}

function findSchedule(id) {
  return schedules.find((schedule) => runId(schedule.id) === runId(id)) || null;
}

function onScheduleMessage(command, payload) {
  const body = asObject(payload);
  const refused = body.status !== 'OK';
  if (command === 'fired') {
    const schedule = findSchedule(body.id);
    const name = schedule ? asText(schedule.name) : asText(body.id);
    if (refused) {
      showNotice(i18n_getMessage('scheduleFiredFailed', [name, asText(body.error)]), 'danger');
    } else {
      showNotice(i18n_getMessage('scheduleFired', [name, asText(body.run)]), 'info');
    }
    requestSchedules();
  } else if (command === 'get') {
    if (refused) {
      showNotice(i18n_getMessage('schedulesUnavailable', [asText(body.error)]), 'danger');
      return;
    }
    schedules = (Array.isArray(body.schedules) ? body.schedules : []).filter(validSchedule);
    renderSchedules();
  } else if (command === 'save') {
    if (refused) {
      $('#scheduleError').text(i18n_getMessage('scheduleRefused', [asText(body.error)])).removeClass('d-none');
      return;
    }
    $('#scheduleDialog').modal('hide');
    $('#liveStatus').text(i18n_getMessage('scheduleSaved', [asText(asObject(body.schedule).name)]));
    requestSchedules();
  } else if (command === 'remove' || command === 'pause') {
    const schedule = findSchedule(command === 'pause' ? asObject(body.schedule).id : body.id);
    const name = schedule ? asText(schedule.name) : asText(body.id);
    if (refused) {
      showNotice(i18n_getMessage(command === 'remove' ? 'scheduleRemoveFailed' : 'schedulePauseFailed',
        [name, asText(body.error)]), 'danger');
      return;
    }
    if (command === 'remove') {
      schedules = schedules.filter((candidate) => candidate !== schedule);
      $('#liveStatus').text(i18n_getMessage('scheduleRemoved', [name]));
    } else if (schedule && validSchedule(body.schedule)) {
      schedules[schedules.indexOf(schedule)] = body.schedule;
      $('#liveStatus').text(i18n_getMessage(body.schedule.paused ? 'schedulePausedNow' : 'scheduleResumedNow', [name]));
    }
    renderSchedules();
  }
}

function renderSchedules() {
  const body = $('#schedulesList').empty();
  $('#schedulesEmpty').toggleClass('d-none', schedules.length > 0);
  schedules.forEach((schedule) => {
    const id = runId(schedule.id);
    const name = asText(schedule.name);
    const button = (key, action, extra) => $('<button type="button" class="btn btn-sm mr-1 mb-1"></button>')
      .addClass(extra || 'btn-outline-primary').text(i18n_getMessage(key))
      .attr('aria-label', i18n_getMessage(key + 'Of', [name])).attr('data-action', action).attr('data-schedule', id);
    const next = asText(schedule.next);
    body.append($('<tr></tr>').attr('data-schedule', id).append(
      $('<td></td>').text(name),
      $('<td></td>').text(scheduleOperationText(schedule.operation)),
      $('<td></td>').text(scheduleTargetsText(schedule.targets)),
      $('<td></td>').text(scheduleWhenText(schedule.when)),
      $('<td></td>').text(next === '' ? i18n_getMessage('scheduleNextNone') : next),
      $('<td></td>').text([i18n_getMessage(schedule.paused ? 'schedulePaused' : 'scheduleActive'),
        runId(schedule.lastRun) > 0 ? i18n_getMessage('scheduleLastRun', [runId(schedule.lastRun)]) : ''].filter(Boolean).join(' · ')),
      $('<td class="text-nowrap"></td>').append(button('scheduleEdit', 'edit'),
        button(schedule.paused ? 'scheduleResume' : 'schedulePause', 'pause'),
        button('scheduleRuns', 'runs'), button('scheduleRemove', 'remove', 'btn-outline-danger'))));
  });
}

function fillSelect(selector, options, chosen) {
  const select = $(selector).empty();
  options.forEach(([value, text]) => select.append($('<option></option>').val(value).text(text)));
  select.val(options.some(([value]) => value === chosen) ? chosen : (options[0] ? options[0][0] : ''));
}

function fillSchedulePlaylists(names) {
  schedulePlaylists = names.slice().sort((a, b) => a.localeCompare(b));
  renderSchedulePlaylists($('#schedulePlaylist').val());
}

function renderSchedulePlaylists(chosen) {
  const names = schedulePlaylists.slice();
  if (chosen && !names.includes(chosen)) {
    names.unshift(chosen);
  }
  fillSelect('#schedulePlaylist', names.map((name) => [name, playlistLabel(name)]), chosen);
}

function scheduleOperationChanged() {
  $('#schedulePlaylistGroup').toggleClass('d-none', $('#scheduleOperation').val() !== 'playlist');
}

function scheduleRepeatChanged() {
  const weekly = $('#scheduleWeekly').prop('checked');
  $('#scheduleOnceFields').toggleClass('d-none', weekly);
  $('#scheduleWeeklyFields').toggleClass('d-none', !weekly);
}

function openScheduleDialog(id) {
  scheduleEdited = id ? findSchedule(id) : null;
  const edited = scheduleEdited || {};
  const when = asObject(edited.when);
  const weekly = asObject(when.weekly);
  const [date, time] = typeof when.once === 'string' ? when.once.split('T') : ['', asText(weekly.time)];
  const operation = scheduleEdited ? scheduleOperationChoice(edited.operation) : 'playlist';
  const operations = [['playlist', 'scheduleChoicePlaylist'], ['screenOn', 'scheduleChoiceScreenOn'],
    ['screenOff', 'scheduleChoiceScreenOff']].map(([value, key]) => [value, i18n_getMessage(key)]);
  if (operation === 'kept') {
    operations.push(['kept', scheduleOperationText(edited.operation)]);
  }
  fillSelect('#scheduleOperation', operations, operation);
  renderSchedulePlaylists(operation === 'playlist' ? asText(asObject(asObject(edited.operation).P).file) : '');
  const targets = asObject(edited.targets);
  const selectedCount = selectedDevices().length;
  const choices = displayGroups.map((group) => ['group:' + group.name, i18n_getMessage('scheduleTargetGroup', [group.name])]);
  if (typeof targets.group === 'string' && !groupNamed(targets.group)) {
    choices.push(['group:' + targets.group, i18n_getMessage('scheduleTargetGroup', [targets.group])]);
  }
  if (Array.isArray(targets.ip)) {
    choices.push(['kept', i18n_getMessage('scheduleTargetKept', [targets.ip.length])]);
  }
  choices.push(['selected', i18n_getMessage('scheduleTargetSelected', [selectedCount])]);
  fillSelect('#scheduleTarget', choices, Array.isArray(targets.ip) ? 'kept'
    : typeof targets.group === 'string' ? 'group:' + targets.group : selectedCount > 0 ? 'selected' : '');
  $('#scheduleName').val(asText(edited.name));
  $('#scheduleOnce').prop('checked', !when.weekly);
  $('#scheduleWeekly').prop('checked', Boolean(when.weekly));
  $('#scheduleDate').val(asText(date));
  $('#scheduleTime').val(asText(time));
  $('#scheduleUntil').val(asText(weekly.until));
  const days = Array.isArray(weekly.days) ? weekly.days : [];
  $('#scheduleDays input[type=checkbox]').each((index, box) => {
    box.checked = days.includes(box.value);
  });
  $('#scheduleUser, #schedulePass').val('');
  $('#scheduleLoginKept').toggleClass('d-none', !scheduleEdited);
  $('#scheduleDialogTitle').text(i18n_getMessage(scheduleEdited ? 'scheduleEditTitle' : 'scheduleNewTitle'));
  $('#scheduleError').text('').addClass('d-none');
  showScheduleErrors([]);
  scheduleOperationChanged();
  scheduleRepeatChanged();
  $('#scheduleDialog').modal('show');
  postToHost('playlistFiles4Schedule', 'get', '');
}

const SCHEDULE_FIELDS = ['scheduleName', 'scheduleOperation', 'schedulePlaylist', 'scheduleTarget', 'scheduleDate',
  'scheduleTime', 'scheduleDays', 'scheduleUntil', 'scheduleUser', 'schedulePass'];

function showScheduleErrors(errors) {
  SCHEDULE_FIELDS.forEach((field) => {
    const wrong = errors.includes(field);
    $('#' + field).toggleClass('is-invalid', wrong).attr('aria-invalid', String(wrong));
  });
  $('#scheduleDaysError').toggleClass('d-block', errors.includes('scheduleDays'));
  if (errors.length > 0) {
    $('#' + (errors[0] === 'scheduleDays' ? 'scheduleDay_mon' : errors[0])).trigger('focus');
  }
}

function saveSchedule() {
  const form = {
    name: $('#scheduleName').val(),
    operation: $('#scheduleOperation').val(),
    playlist: $('#schedulePlaylist').val(),
    target: $('#scheduleTarget').val(),
    selected: selectedDevices().map(deviceAddress),
    mode: $('#scheduleWeekly').prop('checked') ? 'weekly' : 'once',
    date: $('#scheduleDate').val(),
    time: $('#scheduleTime').val(),
    days: $('#scheduleDays input:checked').map((index, box) => box.value).get(),
    until: $('#scheduleUntil').val(),
    user: $('#scheduleUser').val(),
    pass: $('#schedulePass').val()
  };
  const result = scheduleFromForm(form, scheduleEdited);
  showScheduleErrors(result.errors);
  if (result.schedule) {
    $('#scheduleError').text('').addClass('d-none');
    postToHost('schedule', 'save', result.schedule);
  }
}

function openScheduleRemove(id) {
  const schedule = findSchedule(id);
  if (schedule) {
    $('#scheduleRemoveName').text(asText(schedule.name));
    $('#scheduleRemoveCard').attr('data-schedule', runId(schedule.id)).modal('show');
  }
}

function removeSchedule() {
  const id = runId($('#scheduleRemoveCard').attr('data-schedule'));
  if (id > 0) {
    postToHost('schedule', 'remove', { id: id });
  }
  $('#scheduleRemoveCard').modal('hide');
}

function requestScheduleRuns(id) {
  scheduleRunsId = runId(id);
  scheduleRuns = [];
  postToHost('history', 'get', { schedule: scheduleRunsId, limit: HISTORY_LIMIT });
}

// The history's answer to the page's question for one schedule's runs.
function onScheduleRuns(body) {
  if (runId(body.schedule) !== scheduleRunsId) {
    return;
  }
  scheduleRuns = (Array.isArray(body.runs) ? body.runs : []).filter((run) => run && typeof run === 'object' && runId(run.id) > 0);
  renderScheduleRuns();
}

function renderScheduleRuns() {
  const schedule = findSchedule(scheduleRunsId);
  $('#scheduleRunsCard').toggleClass('d-none', !schedule);
  if (!schedule) {
    return;
  }
  $('#scheduleRunsTitle').text(i18n_getMessage('scheduleRunsTitle', [asText(schedule.name)]));
  $('#scheduleRunsEmpty').toggleClass('d-none', scheduleRuns.length > 0);
  const list = $('#scheduleRunsList').empty();
  scheduleRuns.map(runSummary).forEach((run) => {
    list.append($('<li class="list-group-item"></li>').append(
      $('<div></div>').text(['#' + run.id, run.started, run.kind].filter((part) => part !== '').join(' · ')),
      $('<div class="small"></div>').text(run.displays.map((display) => display.ip + ': ' + display.text).join(', '))));
  });
}

function bindSchedules() {
  $('#tabSchedules').on('click', () => showView('schedules'));
  $('#schedulesRefresh').on('click', requestSchedules);
  $('#scheduleAdd').on('click', () => openScheduleDialog(0));
  $('#schedulesList').on('click', 'button[data-action]', (event) => {
    const id = $(event.currentTarget).attr('data-schedule');
    const action = $(event.currentTarget).attr('data-action');
    const schedule = findSchedule(id);
    if (action === 'edit') {
      openScheduleDialog(id);
    } else if (action === 'pause' && schedule) {
      postToHost('schedule', 'pause', { id: runId(id), paused: !schedule.paused });
    } else if (action === 'runs') {
      requestScheduleRuns(id);
    } else if (action === 'remove') {
      openScheduleRemove(id);
    }
  });
  $('#scheduleOperation').on('change', scheduleOperationChanged);
  $('#scheduleOnce, #scheduleWeekly').on('change', scheduleRepeatChanged);
  $('#scheduleSave').on('click', saveSchedule);
  onEnter('#scheduleName, #scheduleDate, #scheduleTime, #scheduleUntil, #scheduleUser, #schedulePass', saveSchedule);
  $('#scheduleForm').on('input change', 'input, select', (event) => {
    $(event.target).removeClass('is-invalid').attr('aria-invalid', 'false');
    if (event.target.type === 'checkbox') {
      $('#scheduleDays').removeClass('is-invalid').attr('aria-invalid', 'false');
      $('#scheduleDaysError').removeClass('d-block');
    }
  });
  $('#scheduleDialog').on('shown.bs.modal', () => $('#scheduleName').trigger('focus'));
  $('#scheduleRemoveConfirm').on('click', removeSchedule);
  $('#scheduleRemoveCard').on('shown.bs.modal', () => $('#scheduleRemoveConfirm').trigger('focus'));
  $('#scheduleRunsClose').on('click', () => {
    scheduleRunsId = 0;
    renderScheduleRuns();
  });
  document.addEventListener('quillora:translated', () => {
    renderSchedules();
    renderScheduleRuns();
  });
}

$(bindSchedules);
