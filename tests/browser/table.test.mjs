// SPDX-License-Identifier: MIT
// The page of web/ in headless Chromium, driven by playwright-core, against the real menuhold:
// served from the source tree by scripts/web-server.mjs, then from the installed document
// root by BusyBox httpd, as on a device. Runs only inside scripts/sandbox (a private /tmp). The
// page's speed and its 10,000-row behaviour are measured and checked by bench/page_bench.mjs.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { createRequire } from 'node:module';
import { mkdirSync, readFileSync, writeFileSync, utimesSync } from 'node:fs';
import { createServer } from 'node:net';
import { once } from 'node:events';
import { fileURLToPath } from 'node:url';
import path from 'node:path';

const top = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
const { chromium } = createRequire(path.join(top, 'web', 'package.json'))('playwright-core');

if (process.env.MENUHOLD_SANDBOX !== '1') throw new Error('run me through scripts/sandbox (a private /tmp)');
const [LAUNCHER, BIN, CTL, BUILD] = [(process.env.MENUHOLD_LAUNCHER || '').split(' ').filter(Boolean),
  path.resolve(process.env.MENUHOLD_BIN), path.resolve(process.env.MENUHOLDCTL_BIN), process.env.MENUHOLD_BUILD_DIR];
const [HISTORY, DEVICE] = ['/tmp/json_history.json', '/tmp/device'];  // DEVICE: the page's install prefix
const DEVICE_CTL = DEVICE + '/bin/menuholdctl';

let server, httpd, daemon, browser, page, baseUrl;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
async function until(condition, what, ms = 15000) {
  for (const deadline = Date.now() + ms; Date.now() < deadline; await sleep(50)) if (await condition()) return;
  throw new Error('timed out waiting for ' + what);
}

const ctl = (...args) => execFileSync(DEVICE_CTL, args, { encoding: 'utf8' }).trim();
function upload(name, version, as = name + '.json') {
  writeFileSync('/tmp/' + as, JSON.stringify({ 'product info': { 'product name': name, 'file version': version } }));
  assert.equal(ctl('write', '/tmp/' + as), '0');
}
const loads = (p = page) => p.evaluate(() => Number(document.body.dataset.loads || 0));
const cells = (p = page) => p.$$eval('#products tbody tr',
  (trs) => trs.map((tr) => [...tr.querySelectorAll('td')].map((td) => td.textContent)));
const text = (selector, p = page) => p.$eval(selector, (e) => (e.hidden ? '' : e.textContent));
const stale = () => page.$eval('#products', (t) => t.classList.contains('stale'));
const fileRows = () => JSON.parse(readFileSync(HISTORY, 'utf8')).aaData;

// A click while a load is in flight would only queue one more: wait for the page to rest.
async function reload(p = page) {
  await until(() => p.evaluate(() => !('busy' in document.body.dataset)), 'the page to rest');
  const before = await loads(p);
  await p.click('#reload');
  await until(async () => (await loads(p)) > before, 'a reload');
  return cells(p);
}
// Under load menuhold may miss the status endpoint's 0.8 s, and the page rightly says so.
const reloadUntil = (check, what) => until(async () => (await reload(), check()), what);

before(async () => {
  for (const dir of ['/tmp/json_menu', '/tmp/panel_push', DEVICE + '/bin']) mkdirSync(dir, { recursive: true });
  // The status CGI runs the menuholdctl of its prefix: this build's, through the emulator if any.
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
});

after(async () => {
  if (browser) await browser.close();
  for (const child of [daemon, server, httpd]) if (child) child.kill('SIGTERM');
});

test('no service and no history file are said clearly; then the empty table', async () => {
  assert.match(await (await fetch(baseUrl)).text(), /role="status">Loading/, 'never blank while loading');
  await page.goto(baseUrl + '?reload=0');  // only the Reload button reloads: no races
  await until(async () => (await loads()) === 1, 'the first load');
  assert.match(await text('#problem'), /does not exist: is menuhold running\?/);
  assert.match(await text('#service'), /^menuhold is not running \(since .+ or earlier\)\.$/);
  // menuhold starts: the empty table's own text, titles, caption, landmark, a large enough button
  const [command, ...args] = [...LAUNCHER, BIN];
  daemon = spawn(command, args, { stdio: ['ignore', 'ignore', 'inherit'] });
  ctl('--wait', '--timeout=15', 'status', '0');
  assert.deepEqual(await reload(), [['Menuhold holds no products.']]);
  await reloadUntil(async () => (await text('#service')) + (await text('#problem')) === '', 'no banner, no problem');
  const titles = await page.$$eval('#products thead th', (ths) => ths.map((th) => th.textContent.trim()));
  assert.deepEqual([titles, await text('#products caption'), await page.$$eval('main', (m) => m.length)],
    [['ID', 'Product Name', 'File Version'], 'Products that menuhold holds', 1]);
  const box = await page.locator('#reload').boundingBox();
  assert.ok(box.width >= 24 && box.height >= 24, JSON.stringify(box));
});

test('uploads, a newer version, a deletion and hostile names: exactly the history file, as text', async () => {
  [['Alpha', 'v1.0.0.1'], ['Beta', 'v2.3.0.0'], ['Alpha', 'v1.0.0.2']].forEach(([name, v]) => upload(name, v));
  assert.deepEqual(await reload(), [['1', 'Beta', 'v2.3.0.0'], ['2', 'Alpha', 'v1.0.0.2']]);
  assert.equal(ctl('delete', '1'), '0');
  assert.deepEqual(await reload(), fileRows());
  // Hostile names are text, never run, and a long one wraps on a 375 px screen. No "/" in a
  // product name, so the script tag stays unclosed.
  const names = ['<script>window.pwned = 1', '<img src=x onerror="window.pwned = 2">',
    '"quoted" & \'single\' é ü 名', 'N'.repeat(59)];
  names.forEach((name, i) => upload(name, 'v1.0.0.0', `h${i}.json`));
  assert.deepEqual((await reload()).slice(1).map((r) => r[1]), names);
  assert.equal(await page.evaluate(() => window.pwned), undefined);
  assert.equal(await page.$$eval('#products tbody img, #products tbody script', (els) => els.length), 0);
  await page.reload();  // the first rows of a first load, shown before DataTables, are text too
  await until(async () => (await loads()) === 1, 'the first load');
  assert.equal(await page.evaluate(() => window.pwned), undefined);
  await page.setViewportSize({ width: 375, height: 700 });
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 375), 'no horizontal overflow');
  await page.setViewportSize({ width: 900, height: 600 });
});

test('without DataTables the page says so and shows no rows; the next load tries again', async () => {
  const p = await browser.newPage();
  await p.route('**/dataTables.min.js', (route) => route.abort());
  await p.goto(baseUrl + '?reload=0');
  await until(async () => (await loads(p)) === 1, 'the first load');
  assert.deepEqual([await text('#problem', p), await text('#state', p), await cells(p)],
    ['The table component could not be loaded.', 'No table to show.', []]);
  await p.unroute('**/dataTables.min.js');
  assert.deepEqual(await reload(p), fileRows());
  await p.close();
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
    await until(async () => JSON.stringify(await shown()) === JSON.stringify(expected), 'the order ' + expected);
  }
  await page.screenshot({ path: path.join(BUILD, 'menuhold-table.png') });
});

test('clicks during a load queue one repeat; the history file is shown with its own time', async () => {
  utimesSync(HISTORY, new Date('2001-02-03T04:05:06Z'), new Date('2001-02-03T04:05:06Z'));
  const count = await loads();
  await page.evaluate(() => [1, 2, 3, 4, 5].forEach(() => document.getElementById('reload').click()));
  await until(async () => (await loads()) >= count + 2, 'two loads');
  await sleep(300);
  assert.equal(await loads(), count + 2, 'five clicks in a row: a load and one repeat');
  assert.match(await text('#state'), /; history file written 2001-02-03 04:05:06$/);
});

test('a broken history file: the old rows stay, marked stale with the reason', async () => {
  const good = readFileSync(HISTORY);
  writeFileSync(HISTORY, '{"aaData": [[');
  assert.deepEqual([(await reload()).length, await stale()], [11, true], 'the old rows stay, marked stale');
  const reason = 'The history file is not valid JSON.';
  assert.equal(await text('#products caption'), 'Stale rows, not the current state: ' + reason);
  writeFileSync(HISTORY, good);
  await reloadUntil(async () => !(await stale()), 'fresh rows');
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
});

test('as a device serves it: BusyBox httpd, gzip, 304s, reloading by itself, the CGI, the banner, hidden', async () => {
  execFileSync('cmake', ['--install', BUILD, '--prefix', DEVICE, '--component', 'web'], { stdio: 'ignore' });
  const probe = createServer().listen(0, '127.0.0.1');  // a free port
  const port = await once(probe, 'listening').then(() => probe.address().port);
  await new Promise((resolve) => probe.close(resolve));
  const root = DEVICE + '/share/menuhold/www';
  httpd = spawn('busybox', ['httpd', '-f', '-p', '127.0.0.1:' + port, '-h', root], { stdio: 'inherit' });
  const url = `http://127.0.0.1:${port}/`;
  await until(async () => (await fetch(url).catch(() => ({}))).ok, 'BusyBox httpd');
  const device = await browser.newPage();
  const answers = [];
  device.on('response', (r) => r.url().endsWith('/json_history.json') &&
    answers.push([r.status(), r.headers()['content-encoding']]));
  await device.goto(url + '?reload=300');
  // A file written within the second before the response gets no 304 (its tag may be weak).
  await until(() => answers.filter(([s]) => s === 304).length >= 2, 'two 304s');
  assert.deepEqual([answers[0], await cells(device)], [[200, 'gzip'], fileRows()]);
  await device.focus('input[type=search]');
  upload('Later', 'v1.0.0.0');
  await until(async () => (await cells(device)).length === 12, 'the new row without a click');
  assert.equal(await device.evaluate(() => document.activeElement.type), 'search', 'the focus kept');
  const banner = () => text('#service', device);
  daemon.kill('SIGSTOP');
  await until(async () => /^menuhold does not answer \(since [^)]+\): no reply/.test(await banner()), 'a banner');
  daemon.kill('SIGCONT');
  await until(async () => (await banner()) === '', 'the banner to clear');
  daemon.kill('SIGTERM');
  await until(() => daemon.exitCode !== null || daemon.signalCode !== null, 'menuhold to stop');
  const polls = await loads(device);
  await until(async () => /^menuhold is not running \(since [^)]+\)\.$/.test(await banner()), 'the stopped banner');
  assert.ok((await loads(device)) <= polls + 2, 'the banner came later than the poll after the one in flight');
  assert.match(await text('#products caption', device), /^Last known rows: menuhold is not running/);
  await device.evaluate(() => Object.defineProperty(document, 'hidden', { value: true })
    .dispatchEvent(new Event('visibilitychange')));
  const count = await loads(device);
  await sleep(1000);
  assert.ok((await loads(device)) <= count + 1, 'no polling while hidden');
  await device.close();
});
