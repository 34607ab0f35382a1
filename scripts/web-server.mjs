// Development server for web/: serves the page and Menuhold's history file on 127.0.0.1
// only. /json_history.json is sent from /tmp/json_history.gz with Content-Encoding: gzip
// when the browser accepts gzip, as a device's web server would ship it.
//   node scripts/web-server.mjs [--port 8080]     (--port 0 picks a free port)
import { createServer } from 'node:http';
import { readFile } from 'node:fs/promises';
import { fileURLToPath } from 'node:url';
import path from 'node:path';

const top = path.dirname(path.dirname(fileURLToPath(import.meta.url)));
const web = path.join(top, 'web');
const modules = path.join(web, 'node_modules');

// Only these paths are served: nothing else on disk is reachable.
const FILES = {
  '/': [path.join(web, 'index.html'), 'text/html; charset=utf-8'],
  '/index.html': [path.join(web, 'index.html'), 'text/html; charset=utf-8'],
  '/app.js': [path.join(web, 'app.js'), 'text/javascript; charset=utf-8'],
  '/style.css': [path.join(web, 'style.css'), 'text/css; charset=utf-8'],
  '/datatables/dataTables.min.js': [path.join(modules, 'datatables.net/js/dataTables.min.js'), 'text/javascript; charset=utf-8'],
  '/datatables/dataTables.dataTables.min.css': [path.join(modules, 'datatables.net-dt/css/dataTables.dataTables.min.css'), 'text/css; charset=utf-8'],
};

const portIndex = process.argv.indexOf('--port');
const port = portIndex > 0 ? Number(process.argv[portIndex + 1]) : 8080;

async function sendHistory(req, res) {
  const headers = { 'Content-Type': 'application/json; charset=utf-8', 'Cache-Control': 'no-store', Vary: 'Accept-Encoding' };
  const acceptsGzip = /\bgzip\b/.test(req.headers['accept-encoding'] || '');
  try {
    if (acceptsGzip) {
      try {
        const body = await readFile('/tmp/json_history.gz');
        res.writeHead(200, { ...headers, 'Content-Encoding': 'gzip' });
        res.end(body);
        return;
      } catch (e) {
        if (e.code !== 'ENOENT') throw e;
      }
    }
    const body = await readFile('/tmp/json_history.json');
    res.writeHead(200, headers);
    res.end(body);
  } catch (e) {
    res.writeHead(e.code === 'ENOENT' ? 404 : 500, { 'Content-Type': 'text/plain' });
    res.end(e.code === 'ENOENT' ? 'no history file\n' : 'cannot read the history file\n');
  }
}

const server = createServer(async (req, res) => {
  const url = new URL(req.url, 'http://localhost');
  if (url.pathname === '/json_history.json') return sendHistory(req, res);
  const file = FILES[url.pathname];
  if (!file) {
    res.writeHead(404, { 'Content-Type': 'text/plain' });
    res.end('not found\n');
    return;
  }
  try {
    const body = await readFile(file[0]);
    res.writeHead(200, { 'Content-Type': file[1], 'Cache-Control': 'no-store' });
    res.end(body);
  } catch {
    res.writeHead(500, { 'Content-Type': 'text/plain' });
    res.end('run npm ci in web/ first\n');
  }
});

server.listen(port, '127.0.0.1', () => {
  console.log(`listening on http://127.0.0.1:${server.address().port}/`);
});
for (const signal of ['SIGINT', 'SIGTERM']) process.on(signal, () => server.close(() => process.exit(0)));
