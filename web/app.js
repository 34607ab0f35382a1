// SPDX-License-Identifier: MIT
// Shows Menuhold's history file (/tmp/json_history.json, served as json_history.json) with
// DataTables: column titles from "sColumns", rows from "aaData". Every cell is shown as
// text, never as HTML, because product names come from uploaded files.
//
// Reloads are cheap and calm: a conditional request (If-None-Match) that mostly ends in
// 304, at most one request at a time, none while the tab is hidden, and the live region
// speaks only when what it says changes.
'use strict';

(function () {
  // ?reload=MS changes the reload period; ?reload=0 turns it off (the tests do).
  const requested = new URLSearchParams(window.location.search).get('reload');
  const RELOAD_MS = requested === null ? 3000 : Number(requested);
  const tableElement = document.getElementById('products');
  const caption = tableElement.querySelector('caption');
  const problem = document.getElementById('problem');
  const state = document.getElementById('state');
  const escape = DataTable.util.escapeHtml;

  let table = null;
  let etag = null;
  let fileTime = null;   // the history file's own time, from Last-Modified
  let inFlight = false;
  let again = false;     // a reload was asked for while one was in flight
  let timer = null;

  // Rows go into the table CHUNK at a time, one chunk per task, so that no task keeps the
  // page busy for long even at 10,000 rows.
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

  // Resolves to null when the file is unchanged since the last read.
  async function fetchTable() {
    let response;
    try {
      response = await fetch('json_history.json', { cache: 'no-store', headers: etag ? { 'If-None-Match': etag } : {} });
    } catch (e) {
      throw new Error('The web server does not answer.');
    }
    if (response.status === 304) return null;
    if (response.status === 404) throw new Error('The history file /tmp/json_history.json does not exist: is menuhold running?');
    if (!response.ok) throw new Error('The history file could not be read (HTTP ' + response.status + ').');
    const text = await response.text();
    if (!table) performance.mark('menuhold-received');  // the first render is measured
    let doc;
    try {
      doc = JSON.parse(text);
    } catch (e) {
      throw new Error('The history file is not valid JSON.');
    }
    if (!isProductTable(doc)) throw new Error('The history file is not a product table.');
    const modified = response.headers.get('Last-Modified');
    return { doc, etag: response.headers.get('ETag'), time: modified ? new Date(modified) : null };
  }

  function create(doc) {
    // Titles go in as text; DataTables takes them from the header cells.
    tableElement.querySelectorAll('thead th').forEach((th, i) => { th.textContent = String(doc.sColumns[i]); });
    const text = { display: escape };  // search and order read the raw text
    table = new DataTable(tableElement, {
      data: doc.aaData.slice(0, CHUNK),
      columns: [
        { type: 'num', render: text },
        { type: 'string', render: text },  // a type given is a type not detected over every row
        { type: 'string', render: { ...text, sort: versionKey } },
      ],
      order: [[0, 'asc']],
      pageLength: 25,
      deferRender: true,
      autoWidth: false,
      language: { emptyTable: 'Menuhold holds no products.', zeroRecords: 'No held product matches the search.' },
    });
  }

  // Drawing after each chunk spreads the work of ordering and searching over the tasks.
  async function addAfterFirstChunk(rows, drawEach) {
    for (let i = CHUNK; i < rows.length; i += CHUNK) {
      await nextTask();
      table.rows.add(rows.slice(i, i + CHUNK));
      if (drawEach) table.draw(false);
    }
  }

  // Redrawing replaces the rows and the paging buttons: put the focus back where it was.
  async function replaceRows(rows) {
    table.clear();
    table.rows.add(rows.slice(0, CHUNK));
    await addAfterFirstChunk(rows, false);
    const active = document.activeElement;
    const index = active && active.getAttribute('data-dt-idx');
    table.draw(false);
    if (active && !active.isConnected) {
      const same = index !== null && tableElement.closest('.dt-container').querySelector('[data-dt-idx="' + index + '"]');
      (same || tableElement).focus();
    }
  }

  // The first chunk is shown at once, the rest follows.
  async function createTable(doc) {
    create(doc);
    performance.measure('menuhold-first-render', 'menuhold-received');
    await addAfterFirstChunk(doc.aaData, true);
    performance.measure('menuhold-all-rows', 'menuhold-received');
  }

  function say(element, text) {
    if (element.textContent !== text) element.textContent = text;
  }

  function timeText() {
    return fileTime ? 'history file written ' + fileTime.toLocaleString() : 'history file time unknown';
  }

  async function showTable(read) {
    etag = read.etag;
    fileTime = read.time;
    if (!table) await createTable(read.doc);
    else await replaceRows(read.doc.aaData);
    say(state, read.doc.aaData.length + (read.doc.aaData.length === 1 ? ' product' : ' products') + ' held; ' + timeText());
  }

  // The old rows stay for reference, marked as stale with the reason.
  function showFailure(reason) {
    etag = null;
    problem.hidden = false;
    say(problem, reason);
    say(state, table ? 'Reload failed: the rows below are stale (' + timeText() + ').' : 'No table to show.');
    tableElement.classList.toggle('stale', table !== null);
    if (table) say(caption, 'Stale rows, not the current state: ' + reason);
  }

  function showFresh() {
    problem.hidden = true;
    tableElement.classList.remove('stale');
    say(caption, 'Products that menuhold holds');
  }

  async function load() {
    if (inFlight) {
      again = true;
      return;
    }
    inFlight = true;
    clearTimeout(timer);
    try {
      const read = await fetchTable();
      if (read) await showTable(read);
      showFresh();
    } catch (e) {
      showFailure(e.message);
    } finally {
      inFlight = false;
      document.body.dataset.loads = String(Number(document.body.dataset.loads || 0) + 1);
      if (again) {
        again = false;
        load();
      } else {
        schedule();
      }
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
