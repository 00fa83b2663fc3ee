// Translations: lang/<name>/messages.json holds one flat object of key -> text; "$1", "$2", ...
// in a text stand for the substitutions given to i18n_getMessage.
'use strict';

const FALLBACK_LANGUAGE = 'en';
let fallbackMessages = {};
let currentMessages = {};
let currentLanguage = FALLBACK_LANGUAGE;
let translationRequest = 0;
let translationLoaded = false;

function ownText(messages, key) {
  return Object.prototype.hasOwnProperty.call(messages, key) && typeof messages[key] === 'string'
    ? messages[key] : undefined;
}

// "de-DE" -> ["de-DE", "de", "en"]; a configured folder name is tried as it stands first.
function translationCandidates(name) {
  const candidates = [];
  const text = String(name === undefined || name === null ? '' : name).trim();
  if (text !== '') {
    candidates.push(text);
    const base = text.split(/[-_]/)[0].toLowerCase();
    if (base !== '' && !candidates.includes(base)) {
      candidates.push(base);
    }
  }
  if (!candidates.includes(FALLBACK_LANGUAGE)) {
    candidates.push(FALLBACK_LANGUAGE);
  }
  return candidates;
}

async function fetchMessages(name) {
  // The name ends up in a URL path: only plain folder names are looked up.
  if (!/^[A-Za-z0-9_-]+$/.test(name)) {
    return null;
  }
  try {
    const response = await fetch('lang/' + name + '/messages.json', { cache: 'no-cache' });
    if (!response.ok) {
      return null;
    }
    const messages = await response.json();
    return messages !== null && typeof messages === 'object' && !Array.isArray(messages) ? messages : null;
  } catch (error) {
    return null;
  }
}

function applyTranslations(root) {
  root.querySelectorAll('[data-i18n]').forEach((element) => {
    element.textContent = i18n_getMessage(element.getAttribute('data-i18n'));
  });
  root.querySelectorAll('[data-i18n-title]').forEach((element) => {
    const text = i18n_getMessage(element.getAttribute('data-i18n-title'));
    element.setAttribute('title', text);
    if (element.hasAttribute('data-original-title')) {
      element.setAttribute('data-original-title', text);
    }
  });
  root.querySelectorAll('[data-i18n-aria-label]').forEach((element) => {
    element.setAttribute('aria-label', i18n_getMessage(element.getAttribute('data-i18n-aria-label')));
  });
  root.querySelectorAll('[data-i18n-placeholder]').forEach((element) => {
    element.setAttribute('placeholder', i18n_getMessage(element.getAttribute('data-i18n-placeholder')));
  });
}

// Called by the host after every navigation with a folder name or a locale name such as "de-DE".
async function loadTranslation(name) {
  const request = ++translationRequest;
  const fallback = await fetchMessages(FALLBACK_LANGUAGE);
  let chosen = FALLBACK_LANGUAGE;
  let messages = fallback;
  for (const candidate of translationCandidates(name)) {
    const found = candidate === FALLBACK_LANGUAGE ? fallback : await fetchMessages(candidate);
    if (found) {
      chosen = candidate;
      messages = found;
      break;
    }
  }
  // A later call may have finished first; the latest request wins.
  if (request !== translationRequest) {
    return currentLanguage;
  }
  fallbackMessages = fallback || {};
  currentMessages = messages || {};
  currentLanguage = chosen;
  translationLoaded = true;
  document.documentElement.setAttribute('lang', chosen);
  applyTranslations(document);
  document.dispatchEvent(new CustomEvent('quillora:translated', { detail: chosen }));
  return chosen;
}

function i18n_getMessage(key, substitutions) {
  const text = ownText(currentMessages, key) ?? ownText(fallbackMessages, key);
  if (text === undefined) {
    // Before the first translation has arrived every key is missing; that is no fault.
    if (translationLoaded) {
      console.warn('No translation for "' + key + '"');
    }
    return String(key);
  }
  const values = substitutions === undefined ? [] : [].concat(substitutions);
  return text.replace(/\$(\d)/g, (match, digit) => {
    const value = values[Number(digit) - 1];
    return value === undefined || value === null ? '' : String(value);
  });
}
