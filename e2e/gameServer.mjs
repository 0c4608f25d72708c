// The stand-in game server: a TCP server on 127.0.0.1 that plays one fixed exchange with the
// client SWF and checks every byte it receives against the bytes it expects, in order.

import net from 'node:net';

// XMLSocket ends every message with a zero byte, in both directions.
const line = (text) => Buffer.concat([Buffer.from(text, 'utf8'), Buffer.of(0)]);

export const clientHello = 'hello from the quillfern e2e client';

// What the server sends once the hello has arrived: two lines in one write (the bridge may pass
// them on as one frame, and the client must still see two lines), a line with multi-byte UTF-8,
// and a line cut in two writes that the client must join at the zero byte.
const serverWrites = [
  Buffer.concat([line('ping 1'), line('ping 2')]),
  line('grüße – 3 €'),
  Buffer.from('split li'),
  line('ne'),
];

// Everything the client must send, in this order and nothing else: the hello first, then one
// echo per server line.
const expectedFromClient = Buffer.concat([
  line(clientHello),
  line('echo:ping 1'),
  line('echo:ping 2'),
  line('echo:grüße – 3 €'),
  line('echo:split line'),
]);

// Shows bytes as text with the zero bytes visible, for failure messages.
export function showBytes(bytes) {
  return JSON.stringify(bytes.toString('utf8').replaceAll('\0', '\\0'));
}

// Starts the server on an ephemeral port. The returned promise `done` settles once: resolved
// when the full exchange has been seen, rejected as soon as the first wrong byte, an early end of
// the connection or a socket error shows that it cannot be.
export async function startGameServer({ log = () => {} } = {}) {
  let settle;
  const done = new Promise((resolve, reject) => {
    settle = { resolve, reject };
  });
  done.catch(() => {});
  let finished = false;
  const finish = (error) => {
    if (!finished) {
      finished = true;
      if (error) {
        settle.reject(error);
      } else {
        settle.resolve();
      }
    }
  };
  const state = { connections: 0, received: Buffer.alloc(0) };

  const server = net.createServer((socket) => {
    state.connections += 1;
    const number = state.connections;
    log(`game server: connection ${number} from ${socket.remoteAddress}:${socket.remotePort}`);
    if (number > 1) {
      // The client opens one socket; a second one means a reconnect, which hides a failure.
      finish(new Error(`game server: unexpected connection number ${number}`));
      socket.destroy();
      return;
    }
    playExchange(socket, state, finish, log);
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

function playExchange(socket, state, finish, log) {
  let sentLines = false;
  socket.on('data', (chunk) => {
    state.received = Buffer.concat([state.received, chunk]);
    const received = state.received;
    const expected = expectedFromClient.subarray(0, received.length);
    if (received.length > expectedFromClient.length || !received.equals(expected)) {
      finish(new Error(`game server: wrong bytes from the client: got ${showBytes(received)}, `
                       + `expected ${showBytes(expectedFromClient)}`));
      socket.destroy();
      return;
    }
    if (!sentLines && received.length >= line(clientHello).length) {
      sentLines = true;
      log(`game server: received ${showBytes(line(clientHello))}; sending its lines`);
      sendAll(socket, serverWrites, log);
    }
    if (received.equals(expectedFromClient)) {
      log('game server: full exchange seen; closing the connection');
      socket.end();
      finish();
    }
  });
  socket.on('error', (error) => {
    finish(new Error(`game server: socket error: ${error.message}`));
  });
  socket.on('close', () => {
    finish(new Error(`game server: the connection ended early after ${showBytes(state.received)}`));
  });
}

// Writes one block after another with a short pause between them, so that each is its own TCP
// segment and the bridge sees the split line arrive in two reads.
function sendAll(socket, writes, log) {
  const [first, ...rest] = writes;
  if (first === undefined || socket.destroyed) {
    return;
  }
  log(`game server: sending ${showBytes(first)}`);
  socket.write(first, () => {
    setTimeout(() => sendAll(socket, rest, log), 50);
  });
}
