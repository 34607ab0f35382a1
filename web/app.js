// SPDX-License-Identifier: MIT
// Shows Menuhold's history file (/tmp/json_history.json, served as json_history.json) with
// DataTables: column titles from "sColumns", rows from "aaData". Every cell is shown as
// text, never as HTML, because product names come from uploaded files. cgi-bin/status says
// whether menuhold answers; while it does not, the rows are marked as the last known.
//
// Reloads are cheap and calm: a conditional request (If-None-Match) that mostly ends in
// 304, at most one request at a time, none while the tab is hidden, and the live regions
// speak only when what they say changes.
'use strict';

(function () {
  // ?reload=MS changes the reload period; ?reload=0 turns it off (the tests do).
  const requested = new URLSearchParams(window.location.search).get('reload');
  const RELOAD_MS = requested === null ? 3000 : Number(requested);
  const tableElement = document.getElementById('products');
  const caption = tableElement.querySelector('caption');
  const problem = document.getElementById('problem');
  const service = document.getElementById('service');
  const state = document.getElementById('state');
  // DataTables is fetched with the page (a preload) but run only once the first rows are
  // shown: neither its download nor the run of its code stands between the history file
  // and the first rows.
  let dataTablesLoaded = null;
  function loadDataTables() {
    return new Promise((resolve, reject) => {
      const script = document.createElement('script');
      script.src = document.querySelector('link[rel="preload"][as="script"]').href;
      script.addEventListener('load', resolve);
      script.addEventListener('error', () => {
        script.remove();
        dataTablesLoaded = null;  // the next load tries again
        reject(new Error('The table component could not be loaded.'));
      });
      document.head.append(script);
    });
  }

  let table = null;
  let rows = 0;
  let etag = null;
  let fileTime = null;      // the history file's own time, from Last-Modified
  let failure = null;       // why the last read of the history file failed
  let down = null;          // while menuhold does not answer: { since, reason }
  let seenRunning = false;  // this page has seen menuhold answer
  let inFlight = false;
  let again = false;        // a reload was asked for while one was in flight
  let timer = null;

  // DataTables' dark colours follow the class "dark" on the root element.
  const dark = window.matchMedia('(prefers-color-scheme: dark)');
  const followScheme = () => document.documentElement.classList.toggle('dark', dark.matches);
  dark.addEventListener('change', followScheme);
  followScheme();

  // The first page of rows is shown at once as plain rows, laid out and painted before
  // DataTables is set up in a task of its own; the rest go in CHUNK at a time, one chunk per
  // task, so that no task keeps the page busy for long at 10,000 rows.
  const PAGE = 25;
  const CHUNK = 500;
  const nextTask = () => new Promise((resolve) => setTimeout(resolve));

  // Menuhold orders versions by their "."-separated fields after the "v", each read as a
  // number. Each field becomes ten digits (offset past the int range's sign), so that the
  // key's text order is that numeric order.
  function versionKey(version) {
    const fields = String(version).replace(/^v+/, '').split('.').filter((f) => f !== '');
    while (fields.length < 4) fields.push('0');
    return fields.map((f) => {
      const n = Math.max(-2147483648, Math.min(2147483647, parseInt(f, 10) || 0));
      return String(n + 2147483648).padStart(10, '0');
    }).join('.');
  }

  function isProductTable(doc) {
    return doc && Array.isArray(doc.sColumns) && doc.sColumns.length === 3 && Array.isArray(doc.aaData) &&
      doc.aaData.every((row) => Array.isArray(row) && row.length === 3);
  }

  // A server that makes its ETag from the file's time in whole seconds and its size (BusyBox
  // httpd does) gives two writes of one size within a second the same tag. So a tag is kept
  // only for a file at least a second older than the response, as HTTP's rule for
  // Last-Modified has it, and a change is never taken for no change.
  function trustedTag(response) {
    const age = Date.parse(response.headers.get('Date')) - Date.parse(response.headers.get('Last-Modified'));
    return age >= 1000 ? response.headers.get('ETag') : null;
  }

  // Resolves to null when the file is unchanged since the last read.
  async function fetchTable() {
    let response;
    try {
      const headers = etag ? { 'If-None-Match': etag } : {};
      const early = window.firstHistoryRequest;  // made by the page as it began to load
      window.firstHistoryRequest = null;
      response = await (early || fetch('json_history.json', { cache: 'no-store', headers }));
    } catch (e) {
      throw new Error('The web server does not answer.');
    }
    if (response.status === 304) return null;
    if (response.status === 404) {
      throw new Error('The history file /tmp/json_history.json does not exist: is menuhold running?');
    }
    if (!response.ok) throw new Error('The history file could not be read (HTTP ' + response.status + ').');
    let doc;
    try {
      doc = JSON.parse(await response.text());
    } catch (e) {
      throw new Error('The history file is not valid JSON.');
    }
    if (!isProductTable(doc)) throw new Error('The history file is not a product table.');
    const modified = response.headers.get('Last-Modified');
    return { doc, etag: trustedTag(response), time: modified ? new Date(modified) : null };
  }

  // menuholdctl's error text while menuhold does not answer, null while it does; undefined
  // when the web server runs no status endpoint, so nothing is known.
  async function fetchServiceError() {
    try {
      const response = await fetch('cgi-bin/status', { cache: 'no-store' });
      return response.ok ? (await response.json()).error : undefined;
    } catch (e) {
      return undefined;
    }
  }

  // DataTables redraws its paging buttons and the rows; the keyboard focus goes back to the
  // same control (the current page's button when that one is now disabled), never to the body.
  function keepFocus() {
    let index = null;
    const container = tableElement.closest('.dt-container');
    table.on('preDraw', () => {
      const active = document.activeElement;
      index = active && container.contains(active) ? active.getAttribute('data-dt-idx') : null;
    });
    table.on('draw', () => {
      if (index === null || document.activeElement !== document.body) return;
      const pager = container.querySelector('.dt-paging');
      const same = pager && (pager.querySelector(`[data-dt-idx="${index}"]:not([aria-disabled="true"])`) ||
        pager.querySelector('[aria-current="page"]'));
      (same || tableElement).focus();
    });
  }

  // Titles and cells go in as text; DataTables takes the titles from the header cells.
  function showFirstPage(doc) {
    tableElement.querySelectorAll('thead th').forEach((th, i) => { th.textContent = String(doc.sColumns[i]); });
    tableElement.tBodies[0].replaceChildren(...doc.aaData.slice(0, PAGE).map((row) => {
      const tr = document.createElement('tr');
      for (const cell of row) tr.insertCell().textContent = String(cell);
      return tr;
    }));
    performance.mark('menuhold-first-rows');
  }

  // DataTables measures its pager as it draws it, a layout of the page within its set-up: with
  // the table out of the layout meanwhile, that layout is small, and the rows are laid out in
  // the frame after, apart from the set-up's long first run of DataTables' code.
  function create(doc) {
    tableElement.tBodies[0].replaceChildren();
    tableElement.style.display = 'none';
    const text = { display: DataTable.util.escapeHtml };  // search and order read the raw text
    table = new DataTable(tableElement, {
      data: doc.aaData.slice(0, PAGE),
      columns: [
        { type: 'num', render: text },
        { type: 'string', render: text },  // a type given is a type not detected over every row
        { type: 'string', render: { ...text, sort: versionKey } },
      ],
      order: [],  // the file lists rows by ID already: no sort before the first rows
      pageLength: PAGE,
      deferRender: true,
      autoWidth: false,
      language: { emptyTable: 'Menuhold holds no products.', zeroRecords: 'No held product matches the search.' },
    });
    keepFocus();
    tableElement.style.display = '';
  }

  // The rows from `from` on, one chunk per task. On the first load each chunk is drawn as it
  // comes, which also spreads the making of the rows' search text (DataTables makes it at a
  // row's first draw). New rows of a reload are drawn once, at the end, so that the shown page
  // (draw(false) keeps it) is still there: the operator keeps his place.
  async function addRest(all, from, drawEach) {
    if (drawEach) await new Promise(requestAnimationFrame);  // the new table is laid out first
    for (let i = from; i < all.length; i += CHUNK) {
      await nextTask();
      table.rows.add(all.slice(i, i + CHUNK));
      if (drawEach) table.draw(false);
    }
    if (!drawEach || all.length <= from) table.draw(false);
  }

  async function showTable(read) {
    etag = read.etag;
    fileTime = read.time;
    rows = read.doc.aaData.length;
    await nextTask();  // the file's parse is a task of its own
    if (table) {
      table.clear();
      table.rows.add(read.doc.aaData.slice(0, CHUNK));
      await addRest(read.doc.aaData, CHUNK, false);
    } else {
      showFirstPage(read.doc);
      await new Promise(requestAnimationFrame);  // the plain rows are drawn first
      await (dataTablesLoaded ??= loadDataTables());
      await nextTask();
      create(read.doc);
      await addRest(read.doc.aaData, PAGE, true);
    }
    performance.mark('menuhold-all-rows');
  }

  function say(element, text) {
    if (element.textContent !== text) element.textContent = text;
    element.hidden = text === '';
  }

  // Local time as 2026-12-06 21:20:50: unambiguous, and cheap (a page's first
  // toLocaleString sets up locale data for tens of milliseconds, a long task of its own).
  const two = (n) => String(n).padStart(2, '0');
  function localTime(t) {
    const date = `${t.getFullYear()}-${two(t.getMonth() + 1)}-${two(t.getDate())}`;
    return `${date} ${two(t.getHours())}:${two(t.getMinutes())}:${two(t.getSeconds())}`;
  }

  function timeText() {
    return fileTime ? 'history file written ' + localTime(fileTime) : 'history file time unknown';
  }

  // "since" is when this page first found menuhold not answering: it stopped at most one
  // reload before that, or before the page was opened.
  function downText() {
    if (!down) return '';
    const since = localTime(down.since) + (down.seenRunning ? '' : ' or earlier');
    return down.reason.startsWith('menuhold is not running')
      ? 'menuhold is not running (since ' + since + ').'
      : 'menuhold does not answer (since ' + since + '): ' + down.reason;
  }

  // Everything the page says follows from the last reads; a row set that is not the current
  // state (a failed reload, or menuhold not answering) stays for reference, greyed.
  function render() {
    say(problem, failure || '');
    say(service, downText());
    const stale = table !== null && (failure !== null || down !== null);
    tableElement.classList.toggle('stale', stale);
    if (table) {
      say(caption, failure ? 'Stale rows, not the current state: ' + failure
        : down ? 'Last known rows: ' + downText() : 'Products that menuhold holds');
    }
    const held = rows + (rows === 1 ? ' product ' : ' products ') + (down ? 'last known' : 'held');
    say(state, !table ? 'No table to show.'
      : failure ? 'Reload failed: the rows below are stale (' + timeText() + ').' : held + '; ' + timeText());
  }

  function noteService(error) {
    if (error === undefined) return;
    if (error === null) {
      down = null;
      seenRunning = true;
    } else if (!down) {
      down = { since: new Date(), seenRunning, reason: error };
    } else {
      down.reason = error;
    }
  }

  async function load() {
    if (inFlight) {
      again = true;
      return;
    }
    inFlight = true;
    document.body.dataset.busy = '';
    clearTimeout(timer);
    try {
      const read = await fetchTable();
      if (read) await showTable(read);
      failure = null;
    } catch (e) {
      etag = null;
      failure = e.message;
      if (!table) tableElement.tBodies[0].replaceChildren();  // no plain rows without the table to follow
    }
    noteService(await fetchServiceError());
    render();
    inFlight = false;
    delete document.body.dataset.busy;
    document.body.dataset.loads = String(Number(document.body.dataset.loads || 0) + 1);
    if (again) {
      again = false;
      load();
    } else {
      schedule();
    }
  }

  function schedule() {
    clearTimeout(timer);
    if (RELOAD_MS > 0 && !document.hidden) timer = setTimeout(load, RELOAD_MS);
  }

  document.getElementById('reload').addEventListener('click', load);
  document.addEventListener('visibilitychange', () => (document.hidden ? clearTimeout(timer) : load()));
  load();
})();
