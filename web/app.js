// Shows Menuhold's history file (/tmp/json_history.json, served as json_history.json) with
// DataTables: column titles from "sColumns", rows from "aaData". Every cell is shown as
// text, never as HTML, because product names come from uploaded files.
'use strict';

(function () {
  // ?reload=MS changes the reload period; ?reload=0 turns it off (the tests do).
  const requested = new URLSearchParams(window.location.search).get('reload');
  const RELOAD_MS = requested === null ? 3000 : Number(requested);
  const tableElement = document.getElementById('products');
  const problem = document.getElementById('problem');
  const state = document.getElementById('state');
  let table = null;

  function showProblem(text) {
    problem.textContent = text;
    problem.hidden = false;
    state.textContent = '';
  }

  function isProductTable(doc) {
    return doc && Array.isArray(doc.sColumns) && doc.sColumns.length === 3 && Array.isArray(doc.aaData) &&
      doc.aaData.every((row) => Array.isArray(row) && row.length === 3);
  }

  async function fetchTable() {
    const response = await fetch('json_history.json', { cache: 'no-store' });
    if (response.status === 404) throw new Error('The history file /tmp/json_history.json does not exist: is menuhold running?');
    if (!response.ok) throw new Error('The history file could not be read (HTTP ' + response.status + ').');
    const text = await response.text();
    let doc;
    try {
      doc = JSON.parse(text);
    } catch (e) {
      throw new Error('The history file is not valid JSON.');
    }
    if (!isProductTable(doc)) throw new Error('The history file is not a product table.');
    return doc;
  }

  function create(doc) {
    // Titles go in as text; DataTables takes them from the header cells.
    tableElement.querySelectorAll('thead th').forEach((th, i) => { th.textContent = String(doc.sColumns[i]); });
    const text = DataTable.render.text();
    table = new DataTable(tableElement, {
      data: doc.aaData,
      columns: [{ type: 'num', render: text }, { render: text }, { render: text }],
      order: [[0, 'asc']],
      pageLength: 25,
    });
  }

  async function load() {
    let doc;
    try {
      doc = await fetchTable();
    } catch (e) {
      showProblem(e.message);
      return;
    }
    problem.hidden = true;
    if (!table) {
      create(doc);
    } else {
      table.clear();
      table.rows.add(doc.aaData);
      table.draw(false);
    }
    state.textContent = doc.aaData.length + ' held, updated ' + new Date().toLocaleTimeString();
    document.body.dataset.loads = String(Number(document.body.dataset.loads || 0) + 1);
  }

  document.getElementById('reload').addEventListener('click', load);
  load();
  if (RELOAD_MS > 0) setInterval(load, RELOAD_MS);
})();
