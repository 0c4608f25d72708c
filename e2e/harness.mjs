// What both end-to-end tests share: child processes with a bounded lifetime, waits with a
// deadline, the run with its clean-up and report, the seeded settings and the bridge's port.

import { execFileSync, spawn } from 'node:child_process';
import {
  accessSync, constants, createWriteStream, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync,
  writeFileSync,
} from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { parseArgs } from 'node:util';

import { buildClientSwf } from './clientSwf.mjs';
import { clientHello, showBytes, startGameServer } from './gameServer.mjs';

export const bridgePort = 9882;
export const e2eDir = path.dirname(new URL(import.meta.url).pathname);
export const ruffleDir = path.join(e2eDir, 'node_modules', '@ruffle-rs', 'ruffle');

export class SkipTest extends Error {}

export function log(message) {
  console.log(`[${new Date().toISOString().slice(11, 23)}] ${message}`);
}

export function delay(ms) {
  return new Promise((resolve) => { setTimeout(resolve, ms); });
}

// The last lines of a process's output, indented, for failure messages.
export function tail(text) {
  return text.trimEnd().split('\n').slice(-40).map((line) => `    | ${line}`).join('\n');
}

export function requireExecutable(file, hint) {
  try {
    accessSync(file, constants.X_OK);
  } catch {
    throw new Error(`${file} is missing or not executable: ${hint}`);
  }
}

// Rejects with "timed out after N s waiting for <what>" unless `promise` settles first.
export function withDeadline(promise, ms, what) {
  let timer;
  const deadline = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out after ${ms / 1000} s waiting for ${what}`)), ms);
  });
  return Promise.race([promise, deadline]).finally(() => clearTimeout(timer));
}

export function describeExit({ code, signal, error }) {
  if (error) {
    return `could not start: ${error.message}`;
  }
  return code === 124 ? 'stopped at the end of its lifetime' : signal ? `signal ${signal}` : `exit status ${code}`;
}

// Starts `command` under coreutils `timeout`, which puts it in a process group of its own and
// ends the group after 200 s even if this script was killed meanwhile. Its output goes to
// `logFile`, and the last part of it is kept for failure messages.
export function startProcess(name, command, args, { env, logFile }) {
  const child = spawn('timeout', ['-k', '5', '200', command, ...args], { env, stdio: ['ignore', 'pipe', 'pipe'] });
  const file = createWriteStream(logFile);
  const listeners = [];
  let output = '';
  let running = true;
  const collect = (chunk) => {
    file.write(chunk);
    output = (output + chunk.toString('utf8')).slice(-256 * 1024);
    listeners.forEach((listener) => listener());
  };
  child.stdout.on('data', collect);
  child.stderr.on('data', collect);
  const exited = new Promise((resolve) => {
    child.on('error', (error) => resolve({ error }));
    child.on('exit', (code, signalName) => resolve({ code, signal: signalName }));
  }).then((result) => {
    running = false;
    file.end();
    log(`${name} (pid ${child.pid}) ended: ${describeExit(result)}`);
    return result;
  });
  log(`${name} started (pid ${child.pid}): ${command} ${args.join(' ')}`);
  return {
    name,
    exited,
    isRunning: () => running,
    output: () => output,
    // Resolves with the match once the output matches `pattern`; rejects if the process ends first.
    waitForOutput: (pattern) => new Promise((resolve, reject) => {
      const check = () => {
        const match = pattern.exec(output);
        if (match) {
          resolve(match);
        }
      };
      listeners.push(check);
      check();
      exited.then((result) => reject(new Error(
        `${name} ended (${describeExit(result)}) before printing ${pattern}:\n${tail(output)}`)));
    }),
    // SIGTERM to `timeout`, which passes it to the group; SIGKILL to the group after 5 s.
    async stop() {
      if (running) {
        process.kill(child.pid, 'SIGTERM');
        if (!await Promise.race([exited.then(() => true), delay(5000).then(() => false)])) {
          try { process.kill(-child.pid, 'SIGKILL'); } catch { /* the group is gone */ }
        }
      }
      return exited;
    },
  };
}

// Runs `body` with a context holding the test's name (`nameOf` the options), the options
// (--quillfern, --artifacts, --keep and `extra`), the temporary folder, `defer` for clean-up steps (run last first, whatever happens) and
// `diagnose` for texts shown on failure, within `deadlineMs`. Exits with 0 (pass), 1 (fail) or
// 77 (skipped: CTest's SKIP_RETURN_CODE).
export async function runTest(nameOf, { deadlineMs, extra = {} }, body) {
  const { values: options } = parseArgs({
    options: {
      quillfern: { type: 'string' },
      artifacts: { type: 'string', default: path.join(e2eDir, 'artifacts') },
      keep: { type: 'boolean', default: false },
      ...extra,
    },
  });
  const name = nameOf(options);
  const cleanups = [];
  const diagnostics = [];
  const tempDir = mkdtempSync(path.join(os.tmpdir(), `quillfern-${name}-`));
  mkdirSync(options.artifacts, { recursive: true });
  const context = {
    name,
    options,
    tempDir,
    artifacts: options.artifacts,
    defer: (cleanup) => cleanups.push(cleanup),
    diagnose: (describe) => diagnostics.push(describe),
  };
  const cleanUp = async () => {
    for (const cleanup of cleanups.splice(0).reverse()) {
      await Promise.resolve().then(cleanup).catch((error) => log(`clean-up failed: ${error.message}`));
    }
    if (!options.keep) {
      rmSync(tempDir, { recursive: true, force: true });
    }
  };
  // The children run in process groups of their own, which an interrupt does not reach.
  for (const signalName of ['SIGINT', 'SIGTERM']) {
    process.once(signalName, () => cleanUp().finally(() => process.exit(1)));
  }
  let outcome = 0;
  try {
    if (!options.quillfern) {
      throw new Error('missing --quillfern <path of the built quillfern executable>');
    }
    await withDeadline(body(context), deadlineMs, 'the whole test');
    log(`PASS ${name}`);
  } catch (error) {
    outcome = error instanceof SkipTest ? 77 : 1;
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
  const [keyFile, certFile] = [path.join(dir, 'site-key.pem'), path.join(dir, 'site-cert.pem')];
  execFileSync('openssl', [
    'req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes',
    '-days', '2', '-subj', `/CN=${host}`, '-addext', `subjectAltName=DNS:${host}`,
    '-keyout', keyFile, '-out', certFile,
  ], { stdio: 'pipe', timeout: 30000 });
  return { key: readFileSync(keyFile), cert: readFileSync(certFile) };
}

// A fresh XDG_CONFIG_HOME whose settings file holds the cached allowlist.
export function seedSettings(dir, allowedHosts) {
  const configHome = path.join(dir, 'config');
  mkdirSync(path.join(configHome, 'quillfern'), { recursive: true });
  writeFileSync(path.join(configHome, 'quillfern', 'defaults.json'),
                `${JSON.stringify({ 'mobile_bridge.allowed_hosts': allowedHosts }, null, 2)}\n`);
  return configHome;
}

// The environment for a child: ours without any proxy setting, plus `extra`.
export function childEnvironment(extra) {
  const env = Object.fromEntries(Object.entries(process.env)
    .filter(([key]) => !/^(http|https|ftp|all|no)_proxy$/i.test(key)));
  return { ...env, ...extra };
}

// GET of a path on the bridge: { status, body }, or a rejection. Node's fetch ignores the proxy
// variables.
export async function bridgeGet(pathname) {
  const response = await fetch(`http://127.0.0.1:${bridgePort}${pathname}`,
                               { signal: AbortSignal.timeout(2000) });
  return { status: response.status, body: await response.text() };
}

// Waits until the bridge of `quillfern` answers "/health", failing at once if the process ends.
export async function waitForBridge(quillfern, timeoutMs) {
  for (const end = Date.now() + timeoutMs; Date.now() < end; await delay(100)) {
    if (!quillfern.isRunning()) {
      throw new Error(`${quillfern.name} ended before its bridge listened (its output is below)`);
    }
    if (await bridgeGet('/health').then(({ status }) => status === 200, () => false)) {
      return;
    }
  }
  throw new Error(`timed out after ${timeoutMs / 1000} s waiting for the bridge's /health`);
}

// Checks that quillfern, `program` and Ruffle (npm ci) are there and that the bridge's port is
// free, then starts the game server and generates the client SWF for its port.
export async function startGame(t, { program, hint }) {
  const quillfernPath = path.resolve(t.options.quillfern);
  requireExecutable(quillfernPath, 'build it first (cmake --build --preset default)');
  requireExecutable(program, hint);
  if (!existsSync(path.join(ruffleDir, 'ruffle.js'))) {
    throw new Error(`Ruffle is not installed under ${ruffleDir}: run "npm ci" in ${e2eDir}`);
  }
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
