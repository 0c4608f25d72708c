// Records what a Playwright page does that tells why a run failed: console lines, script
// errors, failed requests, and the page's WebSockets to the bridge with the kind and size of
// every frame.

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
    const frame = (direction) => ({ payload }) => {
      record.frames.push({ direction, binary: typeof payload !== 'string', size: payload.length });
    };
    socket.on('framesent', frame('page → bridge'));
    socket.on('framereceived', frame('bridge → page'));
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
    const rows = frames.map((f) => `      ${f.direction}: ${f.binary ? 'binary' : 'TEXT'} `
                                   + `frame, ${f.size} bytes`);
    return `    ${url}\n${rows.join('\n')}`;
  }).join('\n');

  return {
    bridgeSocketFailed,
    bridgeSocketClosed,
    describe: () => `page events:\n${lines.map((l) => `    ${l}`).join('\n')}\n`
                    + `WebSockets to the bridge:\n${describeFrames() || '    none'}`,
    // Game data must come back in binary frames: a text frame would have to be valid UTF-8
    // and would be turned into text by the page.
    requireBinaryFramesFromBridge() {
      const textFrames = bridgeSockets.flatMap(({ frames }) => frames)
        .filter((f) => f.direction === 'bridge → page' && !f.binary);
      if (textFrames.length > 0) {
        throw new Error(`the bridge sent ${textFrames.length} text frame(s) to the page; `
                        + `game data must travel in binary frames:\n${describeFrames()}`);
      }
      if (bridgeSockets.length !== 1) {
        throw new Error(`expected one WebSocket to the bridge, saw ${bridgeSockets.length}`);
      }
    },
  };
}
