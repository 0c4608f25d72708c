// Records what a Playwright page does that tells why a run failed: console lines, script
// errors, failed requests, and the page's WebSockets to the bridge with the kind and size of
// every frame the page receives.

import { bridgePort } from './harness.mjs';

const keptLines = 200;

export function watchPage(page) {
  const lines = [];
  const note = (line) => {
    lines.push(line);
    lines.splice(0, Math.max(0, lines.length - keptLines));
  };
  const bridgeSockets = [];
  let failSocket;
  let closeSocket;
  const bridgeSocketFailed = new Promise((_, reject) => {
    failSocket = reject;
  });
  const bridgeSocketClosed = new Promise((resolve) => {
    closeSocket = resolve;
  });
  bridgeSocketFailed.catch(() => {});

  page.on('console', (message) => note(`console ${message.type()}: ${message.text()}`));
  page.on('pageerror', (error) => note(`page error: ${error.message}`));
  page.on('requestfailed', (request) => {
    note(`request failed: ${request.url()}: ${request.failure()?.errorText}`);
  });
  page.on('websocket', (socket) => {
    const url = socket.url();
    note(`WebSocket opened: ${url}`);
    if (!url.startsWith(`ws://127.0.0.1:${bridgePort}/`)) {
      return;
    }
    const record = { url, frames: [] };
    bridgeSockets.push(record);
    // Only the frames the page receives are recorded; the game server checks what it sends.
    socket.on('framereceived', ({ payload }) => {
      const binary = typeof payload !== 'string';
      record.frames.push({ binary, size: binary ? payload.length : Buffer.byteLength(payload) });
      if (!binary) {
        // Game data must come back in binary frames: a text frame has to be valid UTF-8, and
        // the page's socket proxy drops it.
        failSocket(new Error('the bridge sent a text frame to the page; game data must travel in '
                             + 'binary frames'));
      }
    });
    socket.on('socketerror', (error) => {
      note(`WebSocket error on ${url}: ${error}`);
      failSocket(new Error(`the page's WebSocket to the bridge failed: ${error}`));
    });
    socket.on('close', () => {
      note(`WebSocket closed: ${url}`);
      // A close before the exchange is complete is a failure; after it, the expected end.
      failSocket(new Error(`the bridge closed the page's WebSocket ${url} before the exchange `
                           + 'was complete'));
      closeSocket();
    });
  });

  const describeFrames = () => bridgeSockets.map(({ url, frames }) => {
    const rows = frames.map((f) => `      ${f.binary ? 'binary' : 'TEXT'} frame, ${f.size} bytes`);
    return `    ${url}\n${rows.join('\n')}`;
  }).join('\n');

  return {
    bridgeSocketFailed,
    bridgeSocketClosed,
    describe: () => `page events:\n${lines.map((l) => `    ${l}`).join('\n')}\n`
                    + `WebSockets to the bridge:\n${describeFrames() || '    none'}`,
    // One line on the page's sockets to the bridge and the frames the page received.
    summary() {
      const frames = bridgeSockets.flatMap((socket) => socket.frames);
      const bytes = frames.reduce((sum, f) => sum + f.size, 0);
      return `${bridgeSockets.length} WebSocket(s) to the bridge; the page received `
             + `${frames.length} binary frame(s), ${bytes} bytes`;
    },
  };
}
