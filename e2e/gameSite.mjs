// The stand-in game site on 127.0.0.1: Ruffle's files from the npm package under "/ruffle/",
// the client SWF at "/Client.swf" and a start page at "/". The site itself answers HTTPS, for a
// browser that maps the site's name to its port; the site proxy serves the same paths over plain
// HTTP to a web view that uses it as its HTTP proxy, and refuses everything else.

import { readFile } from 'node:fs/promises';
import http from 'node:http';
import https from 'node:https';
import path from 'node:path';

export const siteHost = 'game.quillfern.example';

const contentTypes = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.map': 'application/json',
  '.wasm': 'application/wasm',
  '.swf': 'application/x-shockwave-flash',
};

// The start page of the site: runs the client SWF in Ruffle, with one socket-proxy entry per
// game server, each pointing at the bridge.
export function startPageHtml(socketProxy) {
  const config = {
    socketProxy,
    allowNetworking: 'all',
    autoplay: 'on',
    unmuteOverlay: 'hidden',
    contextMenu: 'off',
    letterbox: 'on',
  };
  return `<!doctype html><meta charset="utf-8">
<title>Quillfern stand-in game site</title>
<style>html,body{margin:0;width:100%;height:100%;background:#222;color:#eee;font-family:sans-serif}
#status{padding:8px}#player{width:800px;height:600px}ruffle-player{width:100%;height:100%;display:block}</style>
<div id="status">Stand-in game site: loading Ruffle</div><div id="player"></div>
<script>window.onerror = function (message) {
  document.getElementById('status').textContent = 'Stand-in game site: ' + message;
};</script>
<script>window.RufflePlayer={config:${JSON.stringify(config)}};</script>
<script src="/ruffle/ruffle.js"></script>
<script>
// Ruffle may need a moment after its script has run; the status line shows the last error.
(function start(attempt) {
  var status = document.getElementById('status');
  try {
    var player = window.RufflePlayer.newest().createPlayer();
    var api = player.ruffle();
    player.id = 'Client';
    document.getElementById('player').appendChild(player);
    api.load({url: '/Client.swf'});
    status.textContent = 'Stand-in game site: Client.swf in Ruffle';
  } catch (error) {
    status.textContent = 'Stand-in game site: Ruffle not started (' + error + ')';
    if (attempt < 120) {
      setTimeout(function () { start(attempt + 1); }, 250);
    }
  }
})(0);
</script>
`;
}

// Answers one request for a path of the site. `requests` records what was asked, for the
// failure report.
async function serveSitePath({ ruffleDir, swf, startPage, requests }, req, res, label) {
  const url = new URL(req.url, `http://${siteHost}`);
  const send = (status, body, type) => {
    requests.push(`${req.method} ${label}${url.pathname} ${status}`);
    res.writeHead(status, {
      'Content-Type': type,
      'Content-Length': body.length,
      'Access-Control-Allow-Origin': '*',
      'Cache-Control': 'no-store',
    });
    res.end(req.method === 'HEAD' ? undefined : body);
  };
  if (req.method !== 'GET' && req.method !== 'HEAD') {
    send(405, Buffer.from('GET only\n'), 'text/plain; charset=utf-8');
    return;
  }
  if (url.pathname === '/') {
    send(200, Buffer.from(startPage), contentTypes['.html']);
    return;
  }
  if (url.pathname === '/Client.swf') {
    send(200, swf, contentTypes['.swf']);
    return;
  }
  const ruffleFile = /^\/ruffle\/([\w.-]+)$/.exec(url.pathname);
  if (ruffleFile && !ruffleFile[1].startsWith('.')) {
    try {
      const body = await readFile(path.join(ruffleDir, ruffleFile[1]));
      send(200, body, contentTypes[path.extname(ruffleFile[1])] ?? 'application/octet-stream');
      return;
    } catch {
      // Falls through to the 404 below.
    }
  }
  send(404, Buffer.from('Not found\n'), 'text/plain; charset=utf-8');
}

function listen(server) {
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => resolve(server.address().port));
  });
}

// Starts the site over HTTPS with `certificate` ({key, cert} in PEM), as the fallback page
// asks for it.
export async function startGameSite({ ruffleDir, swf, socketProxy, certificate }) {
  const site = { ruffleDir, swf, startPage: startPageHtml(socketProxy), requests: [] };
  const server = https.createServer(certificate, (req, res) => {
    serveSitePath(site, req, res, `https://${siteHost}`);
  });
  return { port: await listen(server), requests: site.requests, close: closer(server) };
}

// Closes the server and drops its open connections (browsers keep them alive).
function closer(server) {
  const sockets = new Set();
  server.on('connection', (socket) => {
    sockets.add(socket);
    socket.on('close', () => sockets.delete(socket));
  });
  return () => new Promise((resolve) => {
    for (const socket of sockets) {
      socket.destroy();
    }
    server.close(resolve);
  });
}

// Starts an HTTP proxy that serves the site for requests to http://game.quillfern.example and
// refuses every other request, tunnels (CONNECT) included. `refused` lists what it turned down.
export async function startSiteProxy({ ruffleDir, swf, socketProxy }) {
  const site = { ruffleDir, swf, startPage: startPageHtml(socketProxy), requests: [] };
  const refused = [];
  const refuse = (what) => refused.push(what);
  const server = http.createServer((req, res) => {
    let target = null;
    try {
      target = new URL(req.url);
    } catch {
      // Not an absolute URL: a request for the proxy itself, refused below.
    }
    if (!target || target.protocol !== 'http:' || target.host !== siteHost) {
      refuse(`${req.method} ${req.url}`);
      res.writeHead(403, { 'Content-Type': 'text/plain; charset=utf-8' });
      res.end(`This proxy serves only http://${siteHost}\n`);
      return;
    }
    serveSitePath(site, req, res, `proxy http://${siteHost}`);
  });
  server.on('connect', (req, socket) => {
    refuse(`CONNECT ${req.url}`);
    socket.end('HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n');
  });
  return {
    port: await listen(server), requests: site.requests, refused, close: closer(server),
  };
}
