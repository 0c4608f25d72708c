// What both end-to-end tests share: the run with its deadline, clean-up and report; the temporary
// folders, certificate and seeded settings; and the loopback bridge's port.

import { execFileSync } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { parseArgs } from 'node:util';

import { buildClientSwf } from './clientSwf.mjs';
import { clientHello, showBytes, startGameServer } from './gameServer.mjs';
import { SkipTest, poll, requireExecutable, withDeadline } from './processes.mjs';

export const bridgePort = 9882;
export const e2eDir = path.dirname(new URL(import.meta.url).pathname);
export const ruffleDir = path.join(e2eDir, 'node_modules', '@ruffle-rs', 'ruffle');

const skipExitCode = 77;  // CTest's SKIP_RETURN_CODE for these tests

function stamp() {
  return new Date().toISOString().slice(11, 23);
}

export function log(message) {
  console.log(`[${stamp()}] ${message}`);
}

// Parses the options every test takes, plus `extra` ones.
export function testOptions(extra = {}) {
  const { values } = parseArgs({
    options: {
      quillfern: { type: 'string' },
      artifacts: { type: 'string', default: path.join(e2eDir, 'artifacts') },
      keep: { type: 'boolean', default: false },
      ...extra,
    },
  });
  if (!values.quillfern) {
    throw new Error('missing --quillfern <path of the built quillfern executable>');
  }
  return values;
}

// Runs `body` with a context holding the temporary folder, the artifacts folder, `defer` for
// clean-up steps (run last first, whatever happens) and `diagnose` for texts shown on failure.
// The whole run is bounded by `deadlineMs`; the process exits with 0 (pass), 1 (fail) or 77
// (skipped).
export async function runTest(name, { deadlineMs, options }, body) {
  const cleanups = [];
  const diagnostics = [];
  const tempDir = mkdtempSync(path.join(os.tmpdir(), `quillfern-${name}-`));
  mkdirSync(options.artifacts, { recursive: true });
  const context = {
    tempDir,
    artifacts: options.artifacts,
    defer: (cleanup) => cleanups.push(cleanup),
    diagnose: (describe) => diagnostics.push(describe),
  };
  let cleaningUp = null;
  const cleanUp = () => {
    cleaningUp ??= (async () => {
      for (const cleanup of cleanups.reverse()) {
        await Promise.resolve().then(cleanup).catch((error) => log(`clean-up failed: ${error.message}`));
      }
      if (!options.keep) {
        rmSync(tempDir, { recursive: true, force: true });
      }
    })();
    return cleaningUp;
  };
  for (const signalName of ['SIGINT', 'SIGTERM']) {
    process.once(signalName, () => cleanUp().finally(() => process.exit(1)));
  }
  let outcome = 0;
  try {
    await withDeadline(body(context), deadlineMs, 'the whole test');
    log(`PASS ${name}`);
  } catch (error) {
    outcome = error instanceof SkipTest ? skipExitCode : 1;
    log(`${outcome === 1 ? 'FAIL' : 'SKIP'} ${name}: ${error.message}`);
    for (const describe of outcome === 1 ? diagnostics : []) {
      console.log(await Promise.resolve().then(describe).catch((e) => `(diagnostic failed: ${e.message})`));
    }
  }
  await cleanUp();
  process.exit(outcome);
}

// A throw-away certificate for the site's name, made by the openssl command line.
export function makeCertificate(dir, host) {
  const keyFile = path.join(dir, 'site-key.pem');
  const certFile = path.join(dir, 'site-cert.pem');
  execFileSync('openssl', [
    'req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes',
    '-days', '2', '-subj', `/CN=${host}`, '-addext', `subjectAltName=DNS:${host}`,
    '-keyout', keyFile, '-out', certFile,
  ], { stdio: 'pipe', timeout: 30000 });
  return { key: readFileSync(keyFile), cert: readFileSync(certFile) };
}

// Writes the settings file that quillfern reads its cached allowlist from, in a fresh
// XDG_CONFIG_HOME, and returns that folder.
export function seedSettings(dir, allowedHosts) {
  const configHome = path.join(dir, 'config');
  mkdirSync(path.join(configHome, 'quillfern'), { recursive: true });
  writeFileSync(path.join(configHome, 'quillfern', 'defaults.json'),
                `${JSON.stringify({ 'mobile_bridge.allowed_hosts': allowedHosts }, null, 2)}\n`);
  return configHome;
}

// The environment for a child: ours without any proxy setting, plus `extra`.
export function childEnvironment(extra) {
  const env = { ...process.env };
  for (const key of Object.keys(env)) {
    if (/^(http|https|ftp|all|no)_proxy$/i.test(key)) {
      delete env[key];
    }
  }
  return { ...env, ...extra };
}

// A port where nothing serves: connections are accepted and dropped at once. Holding the port
// open, rather than naming a closed one, keeps any other program from taking it meanwhile.
export async function startDeadProxy() {
  const attempts = [];
  const server = net.createServer((socket) => {
    attempts.push(Date.now());
    socket.destroy();
  });
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', resolve);
  });
  return {
    url: `http://127.0.0.1:${server.address().port}`,
    attempts,
    close: () => new Promise((resolve) => server.close(resolve)),
  };
}

// GET of a path on the bridge; resolves with { status, body } or rejects. Node's fetch ignores
// the proxy variables.
export async function bridgeGet(pathname) {
  const response = await fetch(`http://127.0.0.1:${bridgePort}${pathname}`,
                               { signal: AbortSignal.timeout(2000) });
  return { status: response.status, body: await response.text() };
}

// Waits until the bridge of `quillfern` answers "/health", failing at once if the process ends.
export async function waitForBridge(quillfern, timeoutMs) {
  await poll(`quillfern's bridge to answer http://127.0.0.1:${bridgePort}/health`, async () => {
    if (!quillfern.isRunning()) {
      throw new Error(`${quillfern.name} ended before its bridge listened (its output is below)`);
    }
    try {
      const { status } = await bridgeGet('/health');
      return status === 200 ? true : undefined;
    } catch {
      return undefined;
    }
  }, { timeoutMs, intervalMs: 100 });
}

// Whether the npm packages are installed (npm ci runs before these tests).
function requireNodeModules() {
  if (!existsSync(path.join(ruffleDir, 'ruffle.js'))) {
    throw new Error(`Ruffle is not installed under ${ruffleDir}: run "npm ci" in ${e2eDir}`);
  }
}

// Checks that quillfern, `program` and the npm packages are there and that the bridge's port is
// free, then starts the game server and generates the client SWF for its port.
export async function startGame(t, quillfern, { program, hint }) {
  const quillfernPath = path.resolve(quillfern);
  requireExecutable(quillfernPath, 'build it first (cmake --build --preset default)');
  requireExecutable(program, hint);
  requireNodeModules();
  // Something on the bridge's port would take the place of the quillfern the test starts.
  if (await bridgeGet('/health').then(() => true, (error) => error.cause?.code !== 'ECONNREFUSED')) {
    throw new Error(`127.0.0.1:${bridgePort} is already in use by another process; `
                    + 'stop it before running the end-to-end tests');
  }
  const game = await startGameServer({ log });
  t.defer(game.close);
  t.diagnose(() => `game server: ${game.state.connections} connection(s), received `
                   + showBytes(game.state.received));
  const swf = buildClientSwf({ host: '127.0.0.1', port: game.port, hello: clientHello });
  writeFileSync(path.join(t.tempDir, 'Client.swf'), swf);  // kept with --keep, for a look
  return { quillfernPath, game, swf };
}
