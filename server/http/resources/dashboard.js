// Voltkeep dashboard: the batteries table filters and sorts in place. Without this script every control
// is a plain form or link and does the same with a page load.
'use strict';

document.documentElement.classList.add('js');

function replaceMain(html, url) {
  const fresh = new DOMParser().parseFromString(html, 'text/html').querySelector('main');
  const main = document.querySelector('main');
  if (!fresh || !main) {
    window.location.assign(url);
    return;
  }
  const focused = document.activeElement && document.activeElement.name;
  const caret = focused === 'q' ? document.activeElement.selectionStart : null;
  main.replaceChildren(...Array.from(fresh.childNodes, (node) => document.importNode(node, true)));
  history.replaceState(null, '', url);
  bind();
  if (focused) {
    const again = main.querySelector('[name="' + focused + '"]');
    if (again) {
      again.focus();
      if (caret !== null) again.setSelectionRange(caret, caret);
    }
  }
}

let pending = null;
function load(url) {
  if (pending) pending.abort();
  pending = new AbortController();
  fetch(url, { signal: pending.signal, credentials: 'same-origin' })
    .then((response) => (response.ok ? response.text() : Promise.reject(new Error(response.status))))
    .then((html) => replaceMain(html, url))
    .catch((error) => {
      if (error.name !== 'AbortError') window.location.assign(url);
    });
}

function formUrl(form) {
  const params = new URLSearchParams();
  for (const [name, value] of new FormData(form)) {
    if (value !== '') params.append(name, value);
  }
  const query = params.toString();
  return form.getAttribute('action') + (query ? '?' + query : '');
}

function bind() {
  const form = document.getElementById('filters');
  if (!form) return;
  let timer = null;
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    load(formUrl(form));
  });
  form.querySelector('select[name="class"]').addEventListener('change', () => load(formUrl(form)));
  form.querySelector('input[name="q"]').addEventListener('input', () => {
    clearTimeout(timer);
    timer = setTimeout(() => load(formUrl(form)), 250);
  });
  for (const link of document.querySelectorAll('#battery-table a.sort, #pager a')) {
    link.addEventListener('click', (event) => {
      if (event.ctrlKey || event.metaKey || event.shiftKey || event.button !== 0) return;
      event.preventDefault();
      load(link.getAttribute('href'));
    });
  }
}

bind();
