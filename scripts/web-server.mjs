// SPDX-License-Identifier: MIT
// Development server for web/: serves the page and Menuhold's history file on 127.0.0.1
// only, as a device's web server would ship it: /json_history.json comes from
// /tmp/json_history.gz with Content-Encoding: gzip when the browser accepts gzip and the
// history file itself is there and valid (else the file as it stands, so the page shows
// what is wrong). ETag and Last-Modified (the history file's own time) let the page ask
// with If-None-Match and get 304 Not Modified.
//   node scripts/web-server.mjs [--port 8080]     (--port 0 picks a free port)
import { createServer } from 'node:http';
import { readFile, stat } from 'node:fs/promises';
import { fileURLToPath } from 'node:url';
import path from 'node:path';

const top = path.dirname(path.dirname(fileURLToPath(import.meta.url)));
const web = path.join(top, 'web');
const modules = path.join(web, 'node_modules');
const HISTORY = '/tmp/json_history.json';
const HISTORY_GZ = '/tmp/json_history.gz';

// Only these paths are served: nothing else on disk is reachable.
const FILES = {
  '/': [path.join(web, 'index.html'), 'text/html; charset=utf-8'],
  '/index.html': [path.join(web, 'index.html'), 'text/html; charset=utf-8'],
  '/app.js': [path.join(web, 'app.js'), 'text/javascript; charset=utf-8'],
  '/style.css': [path.join(web, 'style.css'), 'text/css; charset=utf-8'],
  '/datatables/dataTables.min.js': [path.join(modules, 'datatables.net/js/dataTables.min.js'), 'text/javascript; charset=utf-8'],
  '/datatables/dataTables.dataTables.min.css': [path.join(modules, 'datatables.net-dt/css/dataTables.dataTables.min.css'), 'text/css; charset=utf-8'],
};

function fail(message) {
  console.error('web-server: ' + message);
  process.exit(2);
}

function portArgument() {
  const i = process.argv.indexOf('--port');
  if (i < 0) return 8080;
  const text = process.argv[i + 1] || '';
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

async function sendFile(file, res) {
  try {
    const body = await readFile(file[0]);
    res.writeHead(200, { 'Content-Type': file[1], 'Cache-Control': 'no-cache' });
    res.end(body);
  } catch {
    res.writeHead(500, { 'Content-Type': 'text/plain' });
    res.end('run scripts/web-deps.sh first\n');
  }
}

const server = createServer((req, res) => {
  const url = new URL(req.url, 'http://localhost');
  const sent = url.pathname === '/json_history.json' ? sendHistory(req, res) : FILES[url.pathname] ? sendFile(FILES[url.pathname], res) : null;
  if (!sent) {
    res.writeHead(404, { 'Content-Type': 'text/plain' });
    res.end('not found\n');
    return;
  }
  sent.catch((e) => {
    res.writeHead(500, { 'Content-Type': 'text/plain' });
    res.end(`cannot read the history file: ${e.code || e.message}\n`);
  });
});

const port = portArgument();
server.on('error', (e) => fail(`cannot listen on 127.0.0.1:${port}: ${e.code === 'EADDRINUSE' ? 'the port is taken' : e.message}`));
server.listen(port, '127.0.0.1', () => {
  console.log(`listening on http://127.0.0.1:${server.address().port}/`);
});
for (const signal of ['SIGINT', 'SIGTERM']) process.on(signal, () => server.close(() => process.exit(0)));
