// SPDX-License-Identifier: MIT
// The page's benchmark, as a device serves it: the `web` component installed into a prefix in
// /tmp (with the build's menuholdctl as the prefix's own) and served by BusyBox httpd. Measures
//   - 10,000 rows in headless Chromium (a fresh browser context each run, after one run that
//     is not counted): navigation to the first rows and to all rows (the page's marks
//     'menuhold-first-rows', 'menuhold-all-rows'), the longest task of that load and of a
//     reload that renames every row (the browser reports only tasks over 50 ms), and the
//     first rows and longest task when the page is opened again in the same browser;
//   - GET cgi-bin/status with no service listening, and with a socket bound at the service's
//     path that never answers (a stopped service: the CGI's menuholdctl gives up after 0.8 s).
// Each run also checks that only the shown page of 25 rows is rendered, and that the reload
// keeps the last page shown. No menuhold runs: the history files are written here. Runs only
// inside scripts/sandbox (a private /tmp); scripts/page-bench.sh builds and starts it.
//   node bench/page_bench.mjs --build BUILD_DIR [--runs N]
import { spawn, execFileSync } from 'node:child_process';
import { createRequire } from 'node:module';
import { copyFileSync, existsSync, mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:net';
import { parseArgs } from 'node:util';
import { gzipSync } from 'node:zlib';
import { fileURLToPath } from 'node:url';
import path from 'node:path';

const top = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const { chromium } = createRequire(path.join(top, 'web', 'package.json'))('playwright-core');

if (process.env.MENUHOLD_SANDBOX !== '1') {
  console.error('page_bench: run it through scripts/sandbox (scripts/page-bench.sh), never against the real /tmp');
  process.exit(2);
}
const { values: options } = parseArgs({
  options: { build: { type: 'string' }, runs: { type: 'string', default: '3' } } });
if (!options.build) {
  console.error('usage: node bench/page_bench.mjs --build BUILD_DIR [--runs N]');
  process.exit(2);
}
const BUILD = path.resolve(options.build);
const RUNS = Number(options.runs);
const ROWS = 10000;
const DEVICE = '/tmp/device';
const SOCKET = '/tmp/.cjsonsock';
const children = [];

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function until(condition, what, ms = 30000) {
  for (const deadline = Date.now() + ms; Date.now() < deadline; await sleep(20)) if (await condition()) return;
  throw new Error('timed out waiting for ' + what);
}

const freePort = () => new Promise((resolve) => {
  const probe = createServer().listen(0, '127.0.0.1', () => {
    const { port } = probe.address();
    probe.close(() => resolve(port));
  });
});

function publish(name) {
  const doc = JSON.stringify({ sColumns: ['ID', 'Product Name', 'File Version'],
    aaData: Array.from({ length: ROWS }, (_, i) => [String(i + 1), `${name} ${i}`, `v1.${i % 7}.0.${i}`]) });
  writeFileSync('/tmp/json_history.json', doc);
  writeFileSync('/tmp/json_history.gz', gzipSync(doc));
}

// min to max and the median in whole ms; the longest task is 0 when none took over 50 ms.
function range(values, task = false) {
  const shown = (v) => (task && v === 0 ? 'under 50' : String(Math.round(v)));
  const sorted = [...values].sort((a, b) => a - b);
  const [min, max, median] = [sorted[0], sorted[sorted.length - 1], sorted[(sorted.length - 1) >> 1]];
  return Math.round(min) === Math.round(max) ? shown(min) + ' ms'
    : `${shown(min)} to ${shown(max)} ms, median ${shown(median)}`;
}

async function loadRun(browser, url) {
  const context = await browser.newContext({ viewport: { width: 900, height: 600 }, timezoneId: 'UTC' });
  const page = await context.newPage();
  await page.addInitScript(() => {
    window.longTasks = [];
    new PerformanceObserver((list) => window.longTasks.push(...list.getEntries().map((e) => e.duration)))
      .observe({ type: 'longtask', buffered: true });
  });
  const loads = () => page.evaluate(() => Number(document.body.dataset.loads || 0));
  const longest = async () => {
    await sleep(200);  // a long task is reported after it ends
    return page.evaluate(() => Math.max(0, ...window.longTasks.splice(0)));
  };
  const open = async () => {
    await page.goto(url + '?reload=0');
    await until(async () => (await loads()) === 1, 'the first load');
    const marks = await page.evaluate(() => ['menuhold-first-rows', 'menuhold-all-rows']
      .map((name) => performance.getEntriesByName(name)[0].startTime));
    return [...marks, await longest()];
  };
  publish('Product');
  const [first, all, firstTask] = await open();
  const names = () => page.$$eval('#products tbody tr', (trs) => trs.map((tr) => tr.cells[1].textContent));
  if ((await names()).length !== 25) throw new Error('more than the shown page of 25 rows was rendered');
  await page.click('.dt-paging [data-dt-idx="last"]');
  publish('Renamed');
  await page.click('#reload');
  await until(async () => (await loads()) === 2, 'the reload');
  const reloadTask = await longest();
  const [shown, info] = [await names(), await page.$eval('.dt-info', (e) => e.textContent)];
  if (shown.length !== 25 || shown[24] !== `Renamed ${ROWS - 1}` || !info.startsWith('Showing 9,976 to 10,000 of')) {
    throw new Error(`the reload did not keep the last page: ${shown.length} rows, ${shown[24]}, "${info}"`);
  }
  const [again, , againTask] = await open();  // a returning visitor: the browser has the page's code
  await context.close();
  return { first, all, firstTask, reloadTask, again, againTask };
}

async function cgiRun(url) {
  const started = performance.now();
  const answer = await (await fetch(url + 'cgi-bin/status')).json();
  return [performance.now() - started, answer.error];
}

async function main() {
  execFileSync('cmake', ['--install', BUILD, '--prefix', DEVICE, '--component', 'web'], { stdio: 'ignore' });
  mkdirSync(DEVICE + '/bin', { recursive: true });
  copyFileSync(path.join(BUILD, 'tools', 'menuholdctl'), DEVICE + '/bin/menuholdctl');
  const port = await freePort();
  const url = `http://127.0.0.1:${port}/`;
  children.push(spawn('busybox', ['httpd', '-f', '-p', '127.0.0.1:' + port, '-h', DEVICE + '/share/menuhold/www'],
    { stdio: 'inherit' }));
  await until(async () => (await fetch(url).catch(() => ({}))).ok, 'BusyBox httpd');

  const browser = await chromium.launch({ executablePath: '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu'] });
  const load = readFileSync('/proc/loadavg', 'utf8').split(' ').slice(0, 3).join(' ');
  console.log(`Chromium ${browser.version()}, BusyBox httpd; load average ${load}`);
  await loadRun(browser, url);  // not counted: the first page of a fresh browser pays for its start-up
  const runs = [];
  for (let i = 0; i < RUNS; i++) runs.push(await loadRun(browser, url));
  await browser.close();
  const column = (key) => runs.map((r) => r[key]);

  const cgi = [];
  for (const [state, bind] of [['no service listening', false], ['a socket that never answers', true]]) {
    if (bind) {
      const holder = spawn('/usr/bin/python3', ['-c',
        'import socket, time\ns = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)\n' +
        `s.bind('${SOCKET}')\ntime.sleep(3600)`],
      { stdio: 'inherit' });
      children.push(holder);
      await until(() => existsSync(SOCKET), 'the silent socket');
    }
    const times = [];
    let error;
    for (let i = 0; i < RUNS; i++) [times[i], error] = await cgiRun(url);
    if (error === null) throw new Error('the status CGI says menuhold answers: ' + state);
    cgi.push([state, times, error]);
  }

  const table = [
    ['', 'measured', 'target'],
    [`${ROWS} rows: navigation to the first rows`, range(column('first')), '300 ms'],
    [`${ROWS} rows: navigation to all rows`, range(column('all')), ''],
    ['longest task, first load', range(column('firstTask'), true), '100 ms'],
    ['longest task, a reload that renames every row', range(column('reloadTask'), true), '100 ms'],
    ['the page opened again: navigation to the first rows', range(column('again')), ''],
    ['the page opened again: longest task', range(column('againTask'), true), ''],
    ...cgi.map(([state, times]) => [`status CGI, ${state}`, range(times), 'under 1 s']),
  ];
  const widths = [0, 1, 2].map((c) => Math.max(...table.map((row) => row[c].length)));
  console.log(`${RUNS} runs, min to max and median:`);
  for (const row of table) console.log(row.map((cell, c) => cell.padEnd(widths[c])).join('  ').trimEnd());
  for (const [state, , error] of cgi) console.log(`the CGI's "error", ${state}: ${error}`);
  console.log(`load average after: ${readFileSync('/proc/loadavg', 'utf8').split(' ').slice(0, 3).join(' ')}`);
}

try {
  await main();
} finally {
  for (const child of children) child.kill('SIGTERM');
}
