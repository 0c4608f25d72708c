// The stand-in game server: a TCP server on 127.0.0.1 that plays one fixed exchange with the
// client SWF and checks every byte it receives against the bytes it expects, in order.

import net from 'node:net';

// XMLSocket ends every message with a zero byte, in both directions.
const line = (text) => Buffer.concat([Buffer.from(text, 'utf8'), Buffer.of(0)]);

export const clientHello = 'hello from the quillfern e2e client';

// What the server sends once the hello has arrived, with a pause after each write so that each
// is a TCP segment of its own: two lines in one write (the bridge may pass them on as one frame,
// and the client must still see two lines), a line with multi-byte UTF-8, and a line cut in two
// writes that the client must join at the zero byte.
const serverWrites = [
  Buffer.concat([line('ping 1'), line('ping 2')]),
  line('grüße – 3 €'),
  Buffer.from('split li'),
  line('ne'),
];

// Everything the client must send, in this order and nothing else.
const expectedFromClient = Buffer.concat(
  [clientHello, 'echo:ping 1', 'echo:ping 2', 'echo:grüße – 3 €', 'echo:split line'].map(line));

// Shows bytes as text with the zero bytes visible, for failure messages.
export function showBytes(bytes) {
  return JSON.stringify(bytes.toString('utf8').replaceAll('\0', '\\0'));
}

// Starts the server on an ephemeral port. `done` settles once: resolved when the full exchange
// has been seen, rejected at the first wrong byte, early end or socket error, or a second
// connection (a reconnect would hide a failure).
export async function startGameServer({ log }) {
  let finish;
  const done = new Promise((resolve, reject) => {
    finish = (error) => (error ? reject(error) : resolve());
  });
  done.catch(() => {});
  const state = { connections: 0, received: Buffer.alloc(0) };

  const server = net.createServer((socket) => {
    state.connections += 1;
    log(`game server: connection ${state.connections} from ${socket.remoteAddress}:${socket.remotePort}`);
    if (state.connections > 1) {
      finish(new Error(`game server: unexpected connection number ${state.connections}`));
      socket.destroy();
      return;
    }
    socket.on('data', (chunk) => {
      const helloSeen = state.received.length >= line(clientHello).length;
      state.received = Buffer.concat([state.received, chunk]);
      if (!expectedFromClient.subarray(0, state.received.length).equals(state.received)) {
        finish(new Error(`game server: wrong bytes from the client: got ${showBytes(state.received)}, `
                         + `expected ${showBytes(expectedFromClient)}`));
        socket.destroy();
      } else if (state.received.equals(expectedFromClient)) {
        log('game server: full exchange seen; closing the connection');
        socket.end();
        finish();
      } else if (!helloSeen && state.received.length >= line(clientHello).length) {
        log('game server: hello received; sending its lines');
        const send = ([first, ...rest]) => first && !socket.destroyed
          && socket.write(first, () => setTimeout(() => send(rest), 50));
        send(serverWrites);
      }
    });
    socket.on('error', (error) => finish(new Error(`game server: socket error: ${error.message}`)));
    socket.on('close', () => finish(new Error(
      `game server: the connection ended early after ${showBytes(state.received)}`)));
  });
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', resolve);
  });
  return {
    port: server.address().port,
    done,
    state,
    close: () => new Promise((resolve) => server.close(resolve)),
  };
}
