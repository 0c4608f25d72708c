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

// The start page: runs the client SWF in Ruffle, with one socket-proxy entry per game server,
// each pointing at the bridge. Ruffle may need a moment after its script has run; the status
// line shows the last error.
function startPageHtml(socketProxy) {
  const config = {
    socketProxy, allowNetworking: 'all', autoplay: 'on', unmuteOverlay: 'hidden', contextMenu: 'off', letterbox: 'on',
  };
  return `<!doctype html><meta charset="utf-8">
<title>Quillfern stand-in game site</title>
<style>html,body{margin:0;width:100%;height:100%;background:#222;color:#eee;font-family:sans-serif}
#status{padding:8px}#player{width:800px;height:600px}ruffle-player{width:100%;height:100%;display:block}</style>
<div id="status">Stand-in game site: loading Ruffle</div><div id="player"></div>
<script>window.onerror = function (message) {
  document.getElementById('status').textContent = 'Stand-in game site: ' + message;
};
window.RufflePlayer={config:${JSON.stringify(config)}};</script>
<script src="/ruffle/ruffle.js"></script>
<script>
(function start(attempt) {
  var status = document.getElementById('status');
  try {
    var player = window.RufflePlayer.newest().createPlayer();
    player.id = 'Client';
    document.getElementById('player').appendChild(player);
    player.ruffle().load({url: '/Client.swf'});
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

// Serves the site's paths, recording each request for the failure report, and closes with
// its open connections (browsers keep them alive).
async function serveSite(makeServer, { ruffleDir, swf, socketProxy = [] }, label) {
  const requests = [];
  const startPage = Buffer.from(startPageHtml(socketProxy));
  const server = makeServer(async (req, res) => {
    const url = new URL(req.url, `http://${siteHost}`);
    const ruffleFile = /^\/ruffle\/([\w-][\w.-]*)$/.exec(url.pathname)?.[1];
    let [status, body, type] = [404, Buffer.from('Not found\n'), 'text/plain; charset=utf-8'];
    if (req.method !== 'GET') {
      [status, body] = [405, Buffer.from('GET only\n')];
    } else if (url.pathname === '/') {
      [status, body, type] = [200, startPage, contentTypes['.html']];
    } else if (url.pathname === '/Client.swf') {
      [status, body, type] = [200, swf, contentTypes['.swf']];
    } else if (ruffleFile) {
      await readFile(path.join(ruffleDir, ruffleFile)).then((bytes) => {
        [status, body, type] = [200, bytes, contentTypes[path.extname(ruffleFile)] ?? 'application/octet-stream'];
      }, () => {});
    }
    requests.push(`${req.method} ${label}${url.pathname} ${status}`);
    res.writeHead(status, {
      'Content-Type': type, 'Content-Length': body.length, 'Access-Control-Allow-Origin': '*', 'Cache-Control': 'no-store',
    });
    res.end(body);
  });
  const sockets = new Set();
  server.on('connection', (socket) => {
    sockets.add(socket);
    socket.on('close', () => sockets.delete(socket));
  });
  const port = await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => resolve(server.address().port));
  });
  const close = () => new Promise((resolve) => {
    sockets.forEach((socket) => socket.destroy());
    server.close(resolve);
  });
  return { server, port, requests, close };
}

// The site over HTTPS with `certificate` ({key, cert} in PEM), as the fallback page asks for it.
export function startGameSite({ certificate, ...site }) {
  return serveSite((serve) => https.createServer(certificate, serve), site, `https://${siteHost}`);
}

// An HTTP proxy that serves the site for requests to http://game.quillfern.example and refuses
// every other request, tunnels (CONNECT) included. `refused` lists what it turned down.
export async function startSiteProxy(site) {
  const refused = [];
  const proxy = await serveSite((serve) => http.createServer((req, res) => {
    if (URL.canParse(req.url) && new URL(req.url).protocol === 'http:' && new URL(req.url).host === siteHost) {
      serve(req, res);
      return;
    }
    refused.push(`${req.method} ${req.url}`);
    res.writeHead(403, { 'Content-Type': 'text/plain; charset=utf-8' });
    res.end(`This proxy serves only http://${siteHost}\n`);
  }), site, `proxy http://${siteHost}`);
  proxy.server.on('connect', (req, socket) => {
    refused.push(`CONNECT ${req.url}`);
    socket.end('HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n');
  });
  return { ...proxy, refused };
}
