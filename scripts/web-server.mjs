// SPDX-License-Identifier: MIT
// Development server for web/: serves the page and Menuhold's history file on 127.0.0.1
// only, as a device's web server would ship it: /json_history.json comes from
// /tmp/json_history.gz with Content-Encoding: gzip when the browser accepts gzip and the
// history file itself is there and valid (else the file as it stands, so the page shows
// what is wrong). ETag and Last-Modified (the history file's own time) let the page ask
// with If-None-Match and get 304 Not Modified. /cgi-bin/status runs the page's status CGI
// with the given menuholdctl.
//   node scripts/web-server.mjs [--port 8080] [--ctl build/tools/menuholdctl]   (--port 0: a free port)
import { createServer } from 'node:http';
import { execFile } from 'node:child_process';
import { readFile, stat } from 'node:fs/promises';
import { fileURLToPath } from 'node:url';
import path from 'node:path';

const top = path.dirname(path.dirname(fileURLToPath(import.meta.url)));
const web = path.join(top, 'web');
const HISTORY = '/tmp/json_history.json';
const HISTORY_GZ = '/tmp/json_history.gz';
const TYPES = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css' };

// Only these paths are served: nothing else on disk is reachable.
const FILES = ['index.html', 'app.js', 'style.css', 'vendor/datatables/dataTables.min.js',
  'vendor/datatables/dataTables.dataTables.min.css'];

function fail(message) {
  console.error('web-server: ' + message);
  process.exit(2);
}

function argument(name, fallback) {
  const i = process.argv.indexOf(name);
  return i < 0 ? fallback : process.argv[i + 1] || '';
}

function portArgument() {
  const text = argument('--port', '8080');
  if (!/^\d+$/.test(text) || Number(text) > 65535) fail(`--port takes a number from 0 to 65535, not '${text}'`);
  return Number(text);
}

// Accept-Encoding as RFC 9110 reads it: "gzip;q=0" refuses gzip, "*" stands for it.
function acceptsGzip(header) {
  const weights = {};
  for (const part of (header || '').split(',')) {
    const [coding, ...params] = part.trim().toLowerCase().split(';').map((s) => s.trim());
    const q = params.find((p) => p.startsWith('q='));
    if (coding) weights[coding] = q ? Number(q.slice(2)) : 1;
  }
  const q = 'gzip' in weights ? weights.gzip : weights['*'];
  return q > 0;
}

async function readOrNull(file) {
  try {
    return [await readFile(file), await stat(file, { bigint: true })];
  } catch (e) {
    if (e.code === 'ENOENT') return null;
    throw e;
  }
}

function isJson(bytes) {
  try {
    JSON.parse(bytes.toString('utf8'));
    return true;
  } catch {
    return false;
  }
}

async function sendHistory(req, res) {
  const plain = await readOrNull(HISTORY);
  if (!plain) {
    res.writeHead(404, { 'Content-Type': 'text/plain', 'Cache-Control': 'no-store' });
    res.end('no history file\n');
    return;
  }
  const gzip = isJson(plain[0]) && acceptsGzip(req.headers['accept-encoding']) ? await readOrNull(HISTORY_GZ) : null;
  const tag = ([, info]) => `${info.mtimeNs.toString(36)}-${info.size.toString(36)}`;
  const etag = `"${tag(plain)}${gzip ? '-' + tag(gzip) : ''}"`;
  const headers = {
    'Content-Type': 'application/json; charset=utf-8', 'Cache-Control': 'no-cache', Vary: 'Accept-Encoding',
    ETag: etag, 'Last-Modified': new Date(Number(plain[1].mtimeMs)).toUTCString(),
    ...(gzip ? { 'Content-Encoding': 'gzip' } : {}),
  };
  if ((req.headers['if-none-match'] || '').split(',').map((s) => s.trim()).includes(etag)) {
    res.writeHead(304, headers);
    res.end();
    return;
  }
  res.writeHead(200, headers);
  res.end((gzip || plain)[0]);
}

async function sendFile(name, res) {
  const body = await readFile(path.join(web, name));
  res.writeHead(200, { 'Content-Type': TYPES[path.extname(name)] + '; charset=utf-8', 'Cache-Control': 'no-cache' });
  res.end(body);
}

// The CGI as a device's server runs it: its header lines, an empty line, the body.
async function sendStatus(ctl, res) {
  const output = await new Promise((resolve) => {
    execFile('/bin/sh', [path.join(web, 'cgi-bin', 'status.in')], { env: { ...process.env, MENUHOLD_CTL: ctl } },
      (error, stdout) => resolve(stdout));
  });
  const end = output.indexOf('\r\n\r\n');
  if (end < 0) throw new Error('the status CGI gave no header');
  const headers = Object.fromEntries(output.slice(0, end).split('\r\n').map((line) => line.split(/:\s*/, 2)));
  res.writeHead(200, headers);
  res.end(output.slice(end + 4));
}

const ctl = path.resolve(argument('--ctl', path.join(top, 'build', 'tools', 'menuholdctl')));
const server = createServer((req, res) => {
  const name = new URL(req.url, 'http://localhost').pathname.slice(1) || 'index.html';
  const sent = name === 'json_history.json' ? sendHistory(req, res)
    : name === 'cgi-bin/status' ? sendStatus(ctl, res) : FILES.includes(name) ? sendFile(name, res) : null;
  if (!sent) {
    res.writeHead(404, { 'Content-Type': 'text/plain' });
    res.end('not found\n');
    return;
  }
  sent.catch((e) => {
    res.writeHead(500, { 'Content-Type': 'text/plain' });
    res.end(`cannot serve /${name}: ${e.code || e.message}\n`);
  });
});

const port = portArgument();
server.on('error', (e) => {
  fail(`cannot listen on 127.0.0.1:${port}: ${e.code === 'EADDRINUSE' ? 'the port is taken' : e.message}`);
});
server.listen(port, '127.0.0.1', () => {
  console.log(`listening on http://127.0.0.1:${server.address().port}/`);
});
for (const signal of ['SIGINT', 'SIGTERM']) process.on(signal, () => server.close(() => process.exit(0)));
