// Displays the host remembers across sessions, and groups of them. A remembered display is
// listed at start as "not yet seen"; a search that finds it replaces the entry by the display's
// own answer. Every row shows the display's last deploy state in words.
'use strict';

// Address ("a.b.c.d:port") -> the host's record of a remembered display.
let knownDisplays = new Map();
// [{name, ip: [addresses]}], by name.
let displayGroups = [];

const CAPABILITY_KEYS = ['VideoAdvertSupport', 'ImageAdvertSupport', 'BannerSupport'];

function deviceAddress(device) {
  if (typeof device.Address === 'string' && device.Address !== '') {
    return device.Address;
  }
  const host = String(device.IPAddr);
  return (host.includes(':') ? '[' + host + ']' : host) + ':' + (Number(device.HTTPPort) > 0 ? device.HTTPPort : 80);
}

function findDeviceByAddress(address) {
  return devList.find((device) => deviceAddress(device) === address) ||
    devList.find((device) => device.IPAddr === hostOfAddress(address));
}

// The host's record as the display list keeps a display, or null when it names no address.
function knownToDevice(record) {
  if (record === null || typeof record !== 'object' || parseDisplayAddress(record.ip) === '') {
    return null;
  }
  const text = (value) => (typeof value === 'string' ? value : '');
  const device = {
    IPAddr: hostOfAddress(record.ip),
    HTTPPort: Number(portOfAddress(record.ip)),
    DeviceName: text(record.name),
    DeviceModel: text(record.model),
    SerialNumber: text(record.serial),
    MacAddr: text(record.mac),
    SoftwareVersion: text(record.version),
    Address: record.ip,
    Known: true,
    Seen: false,
    LastState: typeof record.lastState === 'string' ? record.lastState : null
  };
  const capabilities = record.capabilities !== null && typeof record.capabilities === 'object' ? record.capabilities : {};
  CAPABILITY_KEYS.forEach((key) => {
    device[key] = Number(capabilities[key]) > 0 ? Number(capabilities[key]) : 0;
  });
  return device;
}

const RUN_STATE_KEYS = {
  failed: 'runStateFailed',
  incomplete: 'runStateIncomplete',
  confirmed: 'runStateConfirmed',
  reported: 'runStateReported',
  pending: 'runStatePending',
  waiting: 'runStateWaiting',
  interrupted: 'runStateInterrupted'
};

// A display's state in a run in words; "reported" tells how many of the files it was seen fetch.
function runStateText(state, detail) {
  if (!Object.prototype.hasOwnProperty.call(RUN_STATE_KEYS, state)) {
    return state === undefined || state === null || state === '' ? i18n_getMessage('runStateNone') : String(state);
  }
  const counts = detail !== null && typeof detail === 'object' ? detail : {};
  return i18n_getMessage(RUN_STATE_KEYS[state], [asCount(counts.seen), asCount(counts.files)]);
}

function asCount(value) {
  return Number.isFinite(Number(value)) && value !== null && value !== '' ? String(Number(value)) : '?';
}

function deviceRow(device) {
  return $('#devicelist').children().filter((index, item) => $(item).attr('data-ip') === device.IPAddr);
}

// The page's additions to a row the UI script made: words for its state, a name for its
// checkbox, and keyboard access to the editor that a click opens.
function decorateDeviceRow(device) {
  const row = deviceRow(device);
  if (row.length === 0) {
    return;
  }
  const address = deviceAddress(device);
  row.find('input.device-check').attr('aria-label', i18n_getMessage('selectDisplay', [deviceLabel(device), address]))
    .prop('checked', Boolean(device.selected));
  // A remembered display may be listed before the translations have arrived.
  row.find('.device-name').attr({ role: 'button', tabindex: '0' }).text(deviceLabel(device));
  row.find('.device-state').remove();
  const line = $('<div class="device-state small"></div>');
  if (device.Known && !device.Seen) {
    line.append($('<span class="badge badge-unseen mr-1"></span>').text(i18n_getMessage('displayNotSeen')));
  }
  if (device.LastState) {
    line.append($('<span class="run-state"></span>').addClass('run-state-' + device.LastState)
      .text(i18n_getMessage('displayLastState', [runStateText(device.LastState, device.LastDetail)])));
  }
  row.find('.device-text').append(line);
}

function listKnownDevice(device) {
  const listed = findDeviceByAddress(device.Address);
  if (listed) {
    listed.Known = true;
    listed.Address = device.Address;
    listed.LastState = device.LastState;
    decorateDeviceRow(listed);
    return;
  }
  addToDevicelist(device);
  decorateDeviceRow(device);
}

// A search empties the list; the remembered displays stay listed until it finds them.
function relistKnownDisplays() {
  [...knownDisplays.values()].map(knownToDevice).filter(Boolean).forEach(listKnownDevice);
  setupDropDownMenu();
}

// A display that answered a search; it takes the place of its remembered entry.
function onDeviceFound(payload) {
  if (!payload || typeof payload !== 'object' || typeof payload.IPAddr !== 'string') {
    return;
  }
  const index = devList.findIndex((device) => device.IPAddr === payload.IPAddr && device.Known && !device.Seen);
  const previous = index < 0 ? null : devList.splice(index, 1)[0];
  if (previous) {
    deviceRow(previous).remove();
  }
  addToDevicelist(payload);
  const found = devList.find((device) => device === payload);
  if (found) {
    found.Seen = true;
    const known = knownDisplays.get(deviceAddress(found));
    if (previous || known) {
      found.Known = true;
      found.LastState = previous ? previous.LastState : knownToDevice(known).LastState;
      found.selected = previous ? Boolean(previous.selected) : false;
    }
    decorateDeviceRow(found);
  }
  setupDropDownMenu();
}

function onInventoryMessage(command, payload) {
  const body = payload !== null && typeof payload === 'object' ? payload : {};
  if (command === 'get') {
    if (body.status === 'ERROR') {
      showNotice(i18n_getMessage('inventoryUnavailable', [asText(body.error)]), 'danger');
    }
    knownDisplays = new Map((Array.isArray(body.displays) ? body.displays : [])
      .filter((record) => knownToDevice(record) !== null).map((record) => [record.ip, record]));
    relistKnownDisplays();
    renderHistoryFilters();
  } else if (command === 'add' || command === 'remove') {
    const address = asText(body.ip);
    if (body.status !== 'OK') {
      showNotice(i18n_getMessage(command === 'add' ? 'displayAddFailed' : 'displayRemoveFailed',
        [address, asText(body.error)]), 'danger');
      return;
    }
    if (command === 'add') {
      $('#manualAddress').val('');
    } else {
      forgetListedDisplay(address);
    }
    showNotice(i18n_getMessage(command === 'add' ? 'displayAdded' : 'displayRemoved', [address]), 'success');
    requestKnown();
  }
}

// A removed display stays listed only while a search still has it.
function forgetListedDisplay(address) {
  knownDisplays.delete(address);
  const device = findDeviceByAddress(address);
  if (!device) {
    return;
  }
  if (device.Seen) {
    device.Known = false;
    decorateDeviceRow(device);
  } else {
    deviceRow(device).remove();
    devList.splice(devList.indexOf(device), 1);
  }
  setupDropDownMenu();
}

function requestKnown() {
  postToHost('inventory', 'get', '');
  postToHost('group', 'get', '');
}

// The network settings: caps and wave size, null (an empty field) for none.
function onSettingsMessage(command, payload) {
  const body = payload !== null && typeof payload === 'object' ? payload : {};
  if (body.status !== 'OK') {
    showNotice(i18n_getMessage('hostSettingsRefused', [asText(body.error)]), 'danger');
    return;
  }
  $('#settingSendCap').val(asText(body.sendCapMbps));
  $('#settingSendCapPerDisplay').val(asText(body.sendCapPerDisplayMbps));
  $('#settingWaveSize').val(asText(body.waveSize));
  const limit = (value) => (value === null || value === undefined ? i18n_getMessage('noLimit') : asText(value));
  $('#deployNetworkNote').text(i18n_getMessage('deployNetworkNote',
    [limit(body.waveSize), limit(body.sendCapMbps), limit(body.sendCapPerDisplayMbps)]));
  if (command === 'save') {
    $('#hostSettingsCard').modal('hide');
    showNotice(i18n_getMessage('hostSettingsSaved'), 'success');
  }
}

function saveHostSettings() {
  const read = (selector) => {
    const text = String($(selector).val()).trim();
    return text === '' ? null : Number(text);
  };
  postToHost('settings', 'save', { sendCapMbps: read('#settingSendCap'),
    sendCapPerDisplayMbps: read('#settingSendCapPerDisplay'), waveSize: read('#settingWaveSize') });
}

function postToHost(kind, command, payload) {
  window.chrome.webview.postMessage(JSON.stringify({ T: kind, C: command, V: 1, P: payload }));
}

function addDisplayByHand() {
  const field = $('#manualAddress');
  const address = parseDisplayAddress(field.val());
  field.toggleClass('is-invalid', address === '').attr('aria-invalid', String(address === ''));
  if (address !== '') {
    postToHost('inventory', 'add', { ip: address });
  }
}

function removeEditedDisplay() {
  const device = devList[findDeviceIndexByIp($('#IPAddr').val())];
  if (device) {
    postToHost('inventory', 'remove', { ip: deviceAddress(device) });
    $('#deviceEditor').modal('hide');
  }
}

function groupNamed(name) {
  return displayGroups.find((group) => group.name === name);
}

function onGroupMessage(command, payload) {
  const body = payload !== null && typeof payload === 'object' ? payload : {};
  if (command === 'get') {
    displayGroups = (Array.isArray(body.groups) ? body.groups : [])
      .filter((group) => group && typeof group.name === 'string' && group.name !== '')
      .map((group) => ({ name: group.name, ip: Array.isArray(group.ip) ? group.ip.map(String) : [] }));
    renderGroups();
    renderHistoryFilters();
  } else if (command === 'save' || command === 'remove') {
    if (body.status !== 'OK') {
      showNotice(i18n_getMessage('groupChangeFailed', [asText(body.name), asText(body.error)]), 'danger');
      return;
    }
    $('#groupDialog').modal('hide');
    if (command === 'save') {
      $('#groupSelect').val(asText(body.name));
    }
    showNotice(i18n_getMessage(command === 'save' ? 'groupSaved' : 'groupRemoved', [asText(body.name)]), 'success');
    requestKnown();
  } else if (command === 'error') {
    showNotice(i18n_getMessage('groupUnknown', [asText(body.name)]), 'danger');
  }
}

function renderGroups() {
  const select = $('#groupSelect');
  const chosen = select.val();
  select.empty().append($('<option value=""></option>').text(i18n_getMessage('groupNone')));
  displayGroups.forEach((group) => {
    select.append($('<option></option>').val(group.name)
      .text(i18n_getMessage('groupOption', [group.name, group.ip.length])));
  });
  select.val(groupNamed(chosen) ? chosen : '');
  groupChosen();
}

function groupChosen() {
  const none = !groupNamed($('#groupSelect').val());
  $('#groupSelectMembers, #groupSetMembers, #groupRename, #groupDelete').prop('disabled', none);
}

// Checks exactly the displays of the chosen group.
function selectGroupDisplays() {
  const group = groupNamed($('#groupSelect').val());
  if (!group) {
    return;
  }
  devList.forEach((device) => {
    device.selected = group.ip.includes(deviceAddress(device));
    deviceRow(device).find('input.device-check').prop('checked', device.selected);
  });
  $('#selectAllDevice').prop('checked', devList.length > 0 && devList.every((device) => device.selected));
  setupDropDownMenu();
  $('#liveStatus').text(i18n_getMessage('groupSelected', [group.name, selectedDevices().length]));
}

function saveGroupMembers() {
  const group = groupNamed($('#groupSelect').val());
  if (group) {
    postToHost('group', 'save', { name: group.name, ip: selectedDevices().map(deviceAddress) });
  }
}

function deleteGroup() {
  const group = groupNamed($('#groupSelect').val());
  if (group) {
    postToHost('group', 'remove', { name: group.name });
  }
}

// "new" makes a group of the checked displays; "rename" keeps the members.
function openGroupDialog(mode) {
  const group = groupNamed($('#groupSelect').val());
  if (mode === 'rename' && !group) {
    return;
  }
  $('#groupDialog').attr('data-mode', mode);
  $('#groupDialogTitle').text(i18n_getMessage(mode === 'rename' ? 'groupRenameTitle' : 'groupNewTitle'));
  $('#groupName').val(mode === 'rename' ? group.name : '').removeClass('is-invalid');
  $('#groupDialog').modal('show');
}

function confirmGroupDialog() {
  const name = String($('#groupName').val() ?? '').trim();
  const mode = $('#groupDialog').attr('data-mode');
  const group = groupNamed($('#groupSelect').val());
  $('#groupName').toggleClass('is-invalid', name === '');
  if (name === '') {
    return;
  }
  if (mode === 'rename' && group) {
    postToHost('group', 'save', { name: name, ip: group.ip, oldName: group.name });
  } else {
    postToHost('group', 'save', { name: name, ip: selectedDevices().map(deviceAddress) });
  }
}

function bindKnown() {
  $('#hostSettingsCard, #deployPlaylistCard').on('show.bs.modal', () => postToHost('settings', 'get', {}));
  $('#hostSettingsSave').on('click', saveHostSettings);
  $('#manualAddForm').on('submit', (event) => {
    event.preventDefault();
    addDisplayByHand();
  });
  $('#manualAddress').on('input', (event) => $(event.target).removeClass('is-invalid').attr('aria-invalid', 'false'));
  $('#deviceRemoveButton').on('click', removeEditedDisplay);
  $('#groupSelect').on('change', groupChosen);
  $('#groupSelectMembers').on('click', selectGroupDisplays);
  $('#groupSetMembers').on('click', saveGroupMembers);
  $('#groupDelete').on('click', deleteGroup);
  $('#groupNew').on('click', () => openGroupDialog('new'));
  $('#groupRename').on('click', () => openGroupDialog('rename'));
  $('#groupDialogConfirm').on('click', confirmGroupDialog);
  onEnter('#groupName', confirmGroupDialog);
  $('#groupDialog').on('shown.bs.modal', () => $('#groupName').trigger('focus'));
  // The name opens the display's editor from the keyboard as a click does.
  $('#devicelist').on('keydown', '.device-name', (event) => {
    if (event.key === 'Enter' || event.key === ' ') {
      event.preventDefault();
      $(event.currentTarget).closest('li').trigger('click');
    }
  });
  document.addEventListener('quillora:translated', () => {
    devList.forEach(decorateDeviceRow);
    renderGroups();
  });
}

$(bindKnown);
