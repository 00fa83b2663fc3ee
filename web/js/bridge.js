// Start-up: the host ships the rest of the page's logic (the UI script) and posts it piece by
// piece; each message of the page fetches the next piece. When the last piece has arrived the host
// replaces `init` with doMessage as the message listener and calls setupDropDownMenu().
'use strict';

const UI_SCRIPT_START = JSON.stringify({ T: 'uiScript', C: 'get', V: 1, P: '' });
// "set" requests of unknown types get no answer, so the answer to the last piece stays silent.
const UI_SCRIPT_NEXT = JSON.stringify({ T: 'uiScript', C: 'set', V: 1, P: '' });

function init(event) {
  const piece = typeof event.data === 'string' ? event.data : '';
  // The host injects only into the first page it shows; a reloaded page gets its start request
  // echoed back instead of a piece of script.
  if (piece.trimStart().startsWith('{')) {
    showStartFailure('uiScriptMissing');
    return;
  }
  const script = document.createElement('script');
  script.textContent = piece;
  document.head.appendChild(script);
  window.chrome.webview.postMessage(UI_SCRIPT_NEXT);
}

if (window.chrome && window.chrome.webview) {
  window.chrome.webview.addEventListener('message', init);
  window.addEventListener('load', () => window.chrome.webview.postMessage(UI_SCRIPT_START));
} else {
  // Opened outside the program: nothing will ever answer.
  $(() => {
    showStartFailure('uiNoHost');
    loadTranslation(navigator.language);
  });
}
