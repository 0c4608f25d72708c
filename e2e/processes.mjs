// Child processes with a bounded lifetime, and waits with a deadline.
//
// Every process runs under coreutils `timeout`, which puts it in a process group of its own and
// ends the group when the lifetime is up, even if this script was killed in the meantime. A
// process is stopped by the id of that `timeout` process, which passes the signal on to the group.

import { spawn } from 'node:child_process';
import { accessSync, constants, createWriteStream } from 'node:fs';

const outputLimit = 256 * 1024;  // characters of output kept in memory per process
const stopGraceMs = 5000;

export class SkipTest extends Error {}

// Fails with a clear message when `file` is not an executable file.
export function requireExecutable(file, hint) {
  try {
    accessSync(file, constants.X_OK);
  } catch {
    throw new Error(`${file} is missing or not executable: ${hint}`);
  }
}

// Starts `command` with `args`. Its output goes to `logFile` and is kept (the last part of it)
// for failure messages. The process ends at the latest `lifetimeSeconds` after it started.
export function startProcess(name, command, args, { env, cwd, lifetimeSeconds, logFile, log }) {
  const child = spawn('timeout', ['-k', '5', String(lifetimeSeconds), command, ...args], {
    env,
    cwd,
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  const file = logFile ? createWriteStream(logFile) : null;
  let output = '';
  const listeners = [];
  const collect = (chunk) => {
    const text = chunk.toString('utf8');
    file?.write(text);
    output = (output + text).slice(-outputLimit);
    for (const listener of listeners) {
      listener(output);
    }
  };
  child.stdout.on('data', collect);
  child.stderr.on('data', collect);
  const exited = new Promise((resolve) => {
    child.on('error', (error) => resolve({ code: null, signal: null, error }));
    child.on('exit', (code, signal) => resolve({ code, signal, error: null }));
  });
  exited.then((result) => {
    file?.end();
    log?.(`${name} (pid ${child.pid}) ended: ${describeExit(result)}`);
  });
  log?.(`${name} started (pid ${child.pid}): ${command} ${args.join(' ')}`);

  let running = true;
  exited.then(() => {
    running = false;
  });
  return {
    name,
    pid: child.pid,
    exited,
    isRunning: () => running,
    output: () => output,
    // Resolves with the output once it matches `pattern`; rejects if the process ends first.
    waitForOutput(pattern) {
      return new Promise((resolve, reject) => {
        const check = (text) => {
          const match = pattern.exec(text);
          if (match) {
            resolve(match);
          }
        };
        listeners.push(check);
        check(output);
        exited.then((result) => reject(new Error(
          `${name} ended (${describeExit(result)}) before printing ${pattern}:\n${tail(output)}`)));
      });
    },
    // Stops the process and its group: SIGTERM first, SIGKILL to the group if it does not end.
    async stop() {
      if (!running || child.pid === undefined) {
        return exited;
      }
      signal(child.pid, 'SIGTERM');
      const ended = await Promise.race([exited.then(() => true), delay(stopGraceMs).then(() => false)]);
      if (!ended) {
        log?.(`${name} (pid ${child.pid}) did not stop in ${stopGraceMs} ms; killing its group`);
        signal(-child.pid, 'SIGKILL');
      }
      return exited;
    },
  };
}

function signal(pid, name) {
  try {
    process.kill(pid, name);
  } catch {
    // Already gone.
  }
}

export function describeExit({ code, signal: signalName, error }) {
  if (error) {
    return `could not start: ${error.message}`;
  }
  if (code === 124) {
    return 'stopped at the end of its lifetime';
  }
  if (code === 127) {
    return 'command not found (exit status 127)';
  }
  return signalName ? `signal ${signalName}` : `exit status ${code}`;
}

// The last lines of a process's output, indented, for failure messages.
export function tail(text, lines = 40) {
  const kept = text.trimEnd().split('\n').slice(-lines);
  return kept.map((line) => `    | ${line}`).join('\n');
}

export function delay(ms) {
  return new Promise((resolve) => {
    setTimeout(resolve, ms);
  });
}

// Rejects with "timed out after N s waiting for <what>" unless `promise` settles first.
export function withDeadline(promise, ms, what) {
  let timer;
  const deadline = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out after ${ms / 1000} s waiting for ${what}`)),
                       ms);
  });
  return Promise.race([promise, deadline]).finally(() => clearTimeout(timer));
}

// Calls `check` every `intervalMs` until it returns a value other than undefined, at most
// `timeoutMs` long; a check that throws ends the wait with that error.
export async function poll(what, check, { timeoutMs, intervalMs = 100 }) {
  const end = Date.now() + timeoutMs;
  for (let attempt = 0; Date.now() < end && attempt < timeoutMs / intervalMs + 1; attempt += 1) {
    const result = await check();
    if (result !== undefined) {
      return result;
    }
    await delay(intervalMs);
  }
  throw new Error(`timed out after ${timeoutMs / 1000} s waiting for ${what}`);
}
