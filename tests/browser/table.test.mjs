// SPDX-License-Identifier: MIT
// The page of web/ in headless Chromium, driven by playwright-core, against the real menuhold:
// served from the source tree by scripts/web-server.mjs, then from the installed document
// root by BusyBox httpd, as on a device. Runs only inside tests/sandbox (a private /tmp).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { createRequire } from 'node:module';
import { existsSync, mkdirSync, readFileSync, writeFileSync, rmSync, utimesSync } from 'node:fs';
import { createServer } from 'node:net';
import { gzipSync } from 'node:zlib';
import { fileURLToPath } from 'node:url';
import path from 'node:path';

const top = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
const { chromium } = createRequire(path.join(top, 'web', 'package.json'))('playwright-core');

if (process.env.MENUHOLD_SANDBOX !== '1') {
  console.error('run the browser tests through tests/sandbox, never against the real /tmp');
  process.exit(2);
}
const BIN = path.resolve(process.env.MENUHOLD_BIN);
const CTL = path.resolve(process.env.MENUHOLDCTL_BIN);
const LAUNCHER = (process.env.MENUHOLD_LAUNCHER || '').split(' ').filter(Boolean);
const BUILD = process.env.MENUHOLD_BUILD_DIR;
const HISTORY = '/tmp/json_history.json';
const DEVICE = '/tmp/device';  // the install prefix of the page as a device serves it
const DEVICE_CTL = DEVICE + '/bin/menuholdctl';

let server, httpd, daemon, browser, page, baseUrl, deviceUrl;
const history = [];  // status of every history response the page got

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function until(condition, what, ms = 15000) {
  for (const deadline = Date.now() + ms; Date.now() < deadline; await sleep(50)) if (await condition()) return;
  throw new Error('timed out waiting for ' + what);
}

function ctl(...args) {
  return execFileSync(DEVICE_CTL, args, { encoding: 'utf8' }).trim();
}

function upload(name, version, as = name + '.json') {
  writeFileSync('/tmp/' + as, JSON.stringify({ 'product info': { 'product name': name, 'file version': version } }));
  assert.equal(ctl('write', '/tmp/' + as), '0');
}

async function startDaemon() {
  const argv = [...LAUNCHER, BIN];
  daemon = spawn(argv[0], argv.slice(1), { stdio: ['ignore', 'ignore', 'inherit'] });
  ctl('--wait', '--timeout=15', 'status', '0');
}

async function stopDaemon() {
  daemon.kill('SIGTERM');
  await until(() => daemon.exitCode !== null || daemon.signalCode !== null, 'menuhold to stop');
}

const freePort = () => new Promise((resolve) => {
  const probe = createServer().listen(0, '127.0.0.1', () => {
    const { port } = probe.address();
    probe.close(() => resolve(port));
  });
});

const loads = (p = page) => p.evaluate(() => Number(document.body.dataset.loads || 0));
const cells = (p = page) => p.$$eval('#products tbody tr',
  (trs) => trs.map((tr) => [...tr.querySelectorAll('td')].map((td) => td.textContent)));
const text = (selector, p = page) => p.$eval(selector, (e) => (e.hidden ? '' : e.textContent));

// A click while a load is in flight would only queue one more: wait for the page to rest.
async function reload() {
  await until(() => page.evaluate(() => !('busy' in document.body.dataset)), 'the page to rest');
  const before = await loads();
  await page.click('#reload');
  await until(async () => (await loads()) > before, 'a reload');
  return cells();
}

// Under load menuhold may miss the status endpoint's 0.8 s, and the page rightly says so:
// reload until the state expected.
const reloadUntil = (check, what) => until(async () => (await reload(), check()), what);

before(async () => {
  mkdirSync('/tmp/json_menu', { recursive: true });
  mkdirSync('/tmp/panel_push', { recursive: true });
  // The status CGI runs the menuholdctl of its prefix: this build's, through the emulator if any.
  mkdirSync(path.dirname(DEVICE_CTL), { recursive: true });
  writeFileSync(DEVICE_CTL, `#!/bin/sh\nexec ${[...LAUNCHER, CTL].join(' ')} "$@"\n`, { mode: 0o755 });
  server = spawn(process.execPath, [path.join(top, 'scripts', 'web-server.mjs'), '--port', '0', '--ctl', DEVICE_CTL],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  baseUrl = await new Promise((resolve, reject) => {
    server.stdout.on('data', (d) => { const m = /listening on (\S+)/.exec(String(d)); if (m) resolve(m[1]); });
    server.on('exit', () => reject(new Error('the web server ended')));
  });
  const args = ['--headless', '--no-sandbox', '--disable-gpu'];
  browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args });
  page = await browser.newPage({ viewport: { width: 900, height: 600 }, timezoneId: 'UTC' });
  page.on('response', (r) => { if (r.url().endsWith('/json_history.json')) history.push(r.status()); });
});

after(async () => {
  if (browser) await browser.close();
  for (const child of [daemon, server, httpd]) if (child) child.kill('SIGTERM');
});

test('no service and a missing or broken history file: each is said clearly', async () => {
  assert.match(await (await fetch(baseUrl)).text(), /role="status">Loading/, 'never blank while loading');
  await page.goto(baseUrl + '?reload=0');  // only the Reload button reloads: no races
  await until(async () => (await loads()) === 1, 'the first load');
  const cases = [[null, /does not exist: is menuhold running\?/], ['{"aaData": [[', /not valid JSON/]];
  for (const [content, message] of cases) {
    if (content) writeFileSync(HISTORY, content);
    await reload();
    assert.match(await text('#problem'), message);
    assert.match(await text('#service'), /^menuhold is not running \(since .+ or earlier\)\.$/);
  }
  rmSync(HISTORY);
});

test('the empty table: own text, titles, caption, landmark, a large enough button, gzip', async () => {
  await startDaemon();
  const response = page.waitForResponse((r) => r.url().endsWith('/json_history.json'));
  assert.deepEqual(await reload(), [['Menuhold holds no products.']]);
  assert.equal((await response).headers()['content-encoding'], 'gzip');
  assert.equal(await text('#problem'), '');
  await reloadUntil(async () => (await text('#service')) === '', 'no banner while menuhold answers');
  const titles = await page.$$eval('#products thead th', (ths) => ths.map((th) => th.textContent.trim()));
  assert.deepEqual(titles, ['ID', 'Product Name', 'File Version']);
  assert.equal(await text('#products caption'), 'Products that menuhold holds');
  assert.equal(await page.$$eval('main', (m) => m.length), 1);
  const box = await page.locator('#reload').boundingBox();
  assert.ok(box.width >= 24 && box.height >= 24, JSON.stringify(box));
});
test('uploads, a newer version and a deletion show exactly the history file', async () => {
  upload('Alpha', 'v1.0.0.1');
  upload('Beta', 'v2.3.0.0');
  upload('Alpha', 'v1.0.0.2');
  assert.deepEqual(await reload(), [['1', 'Beta', 'v2.3.0.0'], ['2', 'Alpha', 'v1.0.0.2']]);
  assert.equal(ctl('delete', '1'), '0');
  assert.deepEqual(await reload(), JSON.parse(readFileSync(HISTORY, 'utf8')).aaData);
});

test('hostile names are text, never run, and a long one wraps on a 375 px screen', async () => {
  // No "/" in a product name, so the script tag stays unclosed.
  const names = ['<script>window.pwned = 1', '<img src=x onerror="window.pwned = 2">',
    '"quoted" & \'single\' é ü 名', 'N'.repeat(59)];
  names.forEach((name, i) => upload(name, 'v1.0.0.0', `h${i}.json`));
  assert.deepEqual((await reload()).slice(1).map((r) => r[1]), names);
  assert.equal(await page.evaluate(() => window.pwned), undefined);
  assert.equal(await page.$$eval('#products tbody img, #products tbody script', (els) => els.length), 0);
  await page.setViewportSize({ width: 375, height: 700 });
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 375), 'no horizontal overflow');
  await page.setViewportSize({ width: 900, height: 600 });
});

test('File Version and ID sort by their numbers', async () => {
  ['v1.0.0.10', 'v1.0.0.2', 'v1.10.0.0', 'v1.2.0.0', 'v10.0.0.0', 'v9.0.0.0'].forEach((v, i) => upload('S' + i, v));
  await reload();
  for (const [th, pick, expected] of [
    [3, (r) => r[2] !== 'v1.0.0.0' && r[2],
      ['v1.0.0.2', 'v1.0.0.2', 'v1.0.0.10', 'v1.2.0.0', 'v1.10.0.0', 'v9.0.0.0', 'v10.0.0.0']],
    [1, (r) => r[0], Array.from({ length: 11 }, (_, i) => String(i + 1))]]) {
    await page.click(`#products thead th:nth-child(${th})`);
    const shown = async () => (await cells()).map(pick).filter(Boolean);
    await until(async () => JSON.stringify(await shown()) === JSON.stringify(expected), 'the order').catch(() => {});
    assert.deepEqual(await shown(), expected);
  }
  await page.screenshot({ path: path.join(BUILD, 'menuhold-table.png') });
});

test('unchanged data costs a 304, one request at a time; the file time is shown', async () => {
  // A file written within the second before the response gets no 304 (its tag may be weak).
  utimesSync(HISTORY, new Date('2001-02-03T04:05:06Z'), new Date('2001-02-03T04:05:06Z'));
  await reload();
  history.length = 0;
  const rows = await reload();
  assert.deepEqual([history, await cells()], [[304], rows]);
  await page.evaluate(() => {
    const original = window.fetch;
    let open = 0;
    window.most = 0;
    window.fetch = async (...args) => {
      window.most = Math.max(window.most, ++open);
      try {
        return await original(...args);
      } finally {
        open--;
      }
    };
  });
  await Promise.all([1, 2, 3, 4, 5].map(() => page.click('#reload')));
  await sleep(300);
  assert.equal(await page.evaluate(() => window.most), 1);
  assert.match(await text('#state'), /; history file written 2001-02-03 04:05:06$/);
});

test('a failed reload marks the old rows as stale with the reason', async () => {
  const good = readFileSync(HISTORY);
  writeFileSync(HISTORY, '{"aaData": [[');
  const rows = await reload();
  assert.equal(rows.length, 11, 'the old rows stay');
  assert.ok(await page.$eval('#products', (t) => t.classList.contains('stale')));
  const reason = 'The history file is not valid JSON.';
  assert.equal(await text('#products caption'), 'Stale rows, not the current state: ' + reason);
  writeFileSync(HISTORY, good);
  await reloadUntil(() => page.$eval('#products', (t) => !t.classList.contains('stale')), 'fresh rows');
});

test('the page reloads by itself, keeps the focus, and rests while hidden', async () => {
  const second = await browser.newPage();
  await second.goto(baseUrl + '?reload=200');
  await until(async () => (await cells(second)).length === 11, 'the table');
  await second.focus('input[type=search]');
  upload('Later', 'v1.0.0.0');
  await until(async () => (await second.$$('#products tbody tr')).length === 12, 'the new row without a click');
  assert.equal(await second.evaluate(() => document.activeElement.type), 'search');
  await second.evaluate(() => {
    Object.defineProperty(document, 'hidden', { value: true });
    document.dispatchEvent(new Event('visibilitychange'));
  });
  const count = await loads(second);
  await sleep(1000);
  assert.ok((await loads(second)) <= count + 1, 'no polling while hidden');
  await second.close();
});

test('paging by keyboard keeps the focus on the pager; the dark colour scheme is followed', async () => {
  await page.selectOption('.dt-length select', '10');  // 11 rows: two pages
  const focused = () => page.evaluate(() => document.activeElement.getAttribute('data-dt-idx'));
  for (const [button, expected, rows] of [['next', '1', 1], ['0', '0', 10]]) {  // "next" is disabled on the last page
    await page.focus(`.dt-paging [data-dt-idx="${button}"]`);
    await page.keyboard.press('Enter');
    assert.deepEqual([await focused(), (await cells()).length], [expected, rows], 'the focus after ' + button);
  }
  const colours = () => page.evaluate(() => [document.documentElement.classList.contains('dark'),
    getComputedStyle(document.body).backgroundColor]);
  assert.deepEqual(await colours(), [false, 'rgb(255, 255, 255)']);
  await page.emulateMedia({ colorScheme: 'dark' });
  await until(async () => JSON.stringify(await colours()) === '[true,"rgb(24, 24, 24)"]', 'the dark colours');
  await page.emulateMedia({ colorScheme: 'light' });
});

test('as a device serves it: the installed page under BusyBox httpd, gzip, 304s, the CGI, the banner', async () => {
  execFileSync('cmake', ['--install', BUILD, '--prefix', DEVICE, '--component', 'web'], { stdio: 'ignore' });
  const port = await freePort();
  const root = DEVICE + '/share/menuhold/www';
  httpd = spawn('busybox', ['httpd', '-f', '-p', '127.0.0.1:' + port, '-h', root], { stdio: 'inherit' });
  const url = deviceUrl = `http://127.0.0.1:${port}/`;
  await until(async () => (await fetch(url).catch(() => ({}))).ok, 'BusyBox httpd');
  const device = await browser.newPage();
  const answers = [];
  device.on('response', (r) => {
    if (r.url().endsWith('/json_history.json')) answers.push([r.status(), r.headers()['content-encoding']]);
  });
  await device.goto(url + '?reload=300');
  await until(() => answers.filter(([s]) => s === 304).length >= 2, 'two 304s');
  assert.deepEqual(answers[0], [200, 'gzip']);
  assert.deepEqual(await cells(device), JSON.parse(readFileSync(HISTORY, 'utf8')).aaData.slice(0, 25));
  const cgi = await fetch(url + 'cgi-bin/status');
  assert.deepEqual([cgi.headers.get('content-type'), (await cgi.json()).error], ['application/json', null]);

  const banner = () => text('#service', device);
  const askCgi = async (state) => {
    const started = Date.now();
    const answer = await (await fetch(url + 'cgi-bin/status')).json();
    console.log(`status CGI, menuhold ${state}: answered in ${Date.now() - started} ms: ${answer.error}`);
  };
  daemon.kill('SIGSTOP');
  await until(async () => /^menuhold does not answer \(since [^)]+\): no reply/.test(await banner()), 'a banner');
  await askCgi('stopped by SIGSTOP');
  daemon.kill('SIGCONT');
  await until(async () => (await banner()) === '', 'the banner to clear');
  await stopDaemon();
  const polls = await loads(device);
  await until(async () => /^menuhold is not running \(since [^)]+\)\.$/.test(await banner()), 'the stopped banner');
  assert.ok((await loads(device)) <= polls + 2, 'the banner came later than the poll after the one in flight');
  assert.match(await text('#products caption', device), /^Last known rows: menuhold is not running/);
  assert.ok(await device.$eval('#products', (t) => t.classList.contains('stale')));
  await askCgi('ended by SIGTERM');
  await device.close();
});

test('10,000 rows from BusyBox httpd: time to the first rows, longest task; a reload keeps the page', async () => {
  const publish = (name) => {
    const doc = JSON.stringify({ sColumns: ['ID', 'Product Name', 'File Version'],
      aaData: Array.from({ length: 10000 }, (_, i) => [String(i + 1), name + ' ' + i, `v1.${i % 7}.0.${i}`]) });
    writeFileSync(HISTORY, doc);
    writeFileSync('/tmp/json_history.gz', gzipSync(doc));
  };
  publish('Product');
  const big = await browser.newPage();
  await big.addInitScript(() => {
    window.longTasks = [];
    new PerformanceObserver((list) => window.longTasks.push(...list.getEntries().map((e) => e.duration)))
      .observe({ type: 'longtask', buffered: true });
  });
  const longest = () => big.evaluate(() => Math.round(Math.max(0, ...window.longTasks.splice(0))) || 'under 50');
  await big.goto(deviceUrl + '?reload=0');
  await until(async () => (await loads(big)) === 1, 'the big table');
  await sleep(200);  // long tasks are reported after they end (and only those over 50 ms)
  const [first, all] = await big.evaluate(() => ['menuhold-first-rows', 'menuhold-all-rows']
    .map((name) => Math.round(performance.getEntriesByName(name)[0].startTime)));
  console.log(`10000 rows: first rows ${first} ms after navigation, all ${all} ms, longest task ${await longest()} ms`);
  assert.equal((await cells(big)).length, 25, 'only the shown page is rendered');
  await big.click('.dt-paging [data-dt-idx="last"]');
  publish('Renamed');
  await big.click('#reload');
  await until(async () => (await loads(big)) === 2, 'the reload');
  await sleep(200);
  console.log(`10000 rows, all renamed: the reload's longest task ${await longest()} ms`);
  assert.deepEqual([(await cells(big))[24][1], await big.$eval('.dt-info', (e) => e.textContent)],
    ['Renamed 9999', 'Showing 9,976 to 10,000 of 10,000 entries']);
  await big.close();
});
