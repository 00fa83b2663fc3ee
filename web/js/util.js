// Small pure helpers shared by the page and the UI script. Nothing here touches the DOM.
'use strict';

const IMAGE_EXTENSIONS = ['bmp', 'gif', 'jpeg', 'jpg', 'png', 'webp'];
const DEFAULT_IMAGE_SECONDS = 10;
const MAX_DURATION_SECONDS = 24 * 60 * 60 - 1;

function fileExtension(fileName) {
  const name = String(fileName);
  const dot = name.lastIndexOf('.');
  return dot < 0 ? '' : name.slice(dot + 1).toLowerCase();
}

function isImage(fileName) {
  return IMAGE_EXTENSIONS.includes(fileExtension(fileName));
}

function isGIF(fileName) {
  return fileExtension(fileName) === 'gif';
}

// Play time in seconds to "HH:MM:SS".
function timeNumberToString(seconds) {
  let total = Math.floor(Number(seconds));
  if (!Number.isFinite(total) || total < 0) {
    total = 0;
  }
  const pad = (value) => String(value).padStart(2, '0');
  return pad(Math.floor(total / 3600)) + ':' + pad(Math.floor(total / 60) % 60) + ':' + pad(total % 60);
}

// "HH:MM:SS", "MM:SS" or plain seconds to seconds; anything unreadable is 0.
function timeStringToNumber(text) {
  const parts = String(text === undefined || text === null ? '' : text).trim().split(':');
  if (parts.length > 3 || parts.some((part) => !/^\d+$/.test(part))) {
    return 0;
  }
  return parts.reduce((sum, part) => sum * 60 + parseInt(part, 10), 0);
}

// The host part of "a.b.c.d:port" (or "[v6]:port"), as the host matches replies to displays.
function hostOfAddress(address) {
  const text = String(address);
  if (text.startsWith('[')) {
    const end = text.indexOf(']');
    return end < 0 ? text : text.slice(1, end);
  }
  const colon = text.indexOf(':');
  return colon < 0 ? text : text.slice(0, colon);
}

// Play time given to a newly added medium; the host learns no video length, so videos carry 0.
function defaultDuration(fileName) {
  return isImage(fileName) ? DEFAULT_IMAGE_SECONDS : 0;
}

// The port of "a.b.c.d:port" (or "[v6]:port"); "" when the address carries none.
function portOfAddress(address) {
  const text = String(address);
  const colon = text.lastIndexOf(':');
  return colon < 0 || (text.startsWith('[') && colon < text.indexOf(']')) ? '' : text.slice(colon + 1);
}

// An address typed by the operator as the host keeps it ("a.b.c.d:port" or "[v6]:port"),
// or "" when it is not one: four decimal octets (or an IPv6 literal in brackets) and a port.
function parseDisplayAddress(text) {
  const match = /^(?:(\d{1,3}(?:\.\d{1,3}){3})|\[([0-9A-Fa-f:.]+)\]):(\d{1,5})$/.exec(String(text ?? '').trim());
  if (match === null) {
    return '';
  }
  const [, v4, v6, portText] = match;
  const port = Number(portText);
  if (port < 1 || port > 65535) {
    return '';
  }
  if (v4 !== undefined) {
    const octets = v4.split('.').map(Number);
    return octets.every((octet) => octet <= 255) ? octets.join('.') + ':' + port : '';
  }
  const groups = v6.split('::');
  return groups.length <= 2 && v6.includes(':') ? '[' + v6.toLowerCase() + ']:' + port : '';
}
