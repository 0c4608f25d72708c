// The game path end to end: the client SWF, run by Ruffle, reaches the stand-in game server
// through the loopback bridge. Passes when the game server has seen the whole exchange; saves a
// screenshot.
//
// --mode browser: headless Chromium opens the fallback page that `quillfern --headless` serves on
//   127.0.0.1:9882; the page loads Ruffle and the SWF from the stand-in site over HTTPS.
// --mode window: the real window under Xvfb loads the site's start page through a local proxy
//   that serves only http://game.quillfern.example; its socket-proxy entry points at the bridge.
//   There is no no_proxy, as in many offices: no request for loopback may reach the proxy.
//   Skipped (exit status 77) when quillfern is built without its window.
//
//   node e2e/gameTest.mjs --mode browser|window --quillfern build/default/src/quillfern
//        [--window-built 0|1] [--artifacts DIR] [--keep]

import { execFileSync } from 'node:child_process';
import { mkdirSync } from 'node:fs';
import path from 'node:path';

import { siteHost, startGameSite, startSiteProxy } from './gameSite.mjs';
import {
  SkipTest, bridgeGet, bridgePort, childEnvironment, delay, describeExit, log, makeCertificate,
  requireExecutable, ruffleDir, runTest, seedSettings, startGame, startProcess, tail, waitForBridge,
  withDeadline,
} from './harness.mjs';

const extra = { mode: { type: 'string', default: 'browser' }, 'window-built': { type: 'string', default: '1' } };

await runTest((options) => `e2e_${options.mode}`, { deadlineMs: 240_000, extra }, async (t) => {
  const inWindow = t.options.mode === 'window';
  if (inWindow && t.options['window-built'] !== '1') {
    throw new SkipTest('quillfern was built without its window (there is no quillfern_gtk target)');
  }
  const { quillfernPath, game, swf } = await startGame(t, inWindow
    ? { program: '/usr/bin/Xvfb', hint: 'install the Debian package xvfb (scripts/install-deps.sh window)' }
    : { program: '/usr/bin/chromium', hint: 'install the Debian package chromium (scripts/install-deps.sh e2e)' });
  const artifact = (suffix) => path.join(t.artifacts, `${t.name}${suffix}`);
  const screenshot = artifact('.png');
  const home = path.join(t.tempDir, 'home');
  mkdirSync(home, { mode: 0o700 });
  let site;
  let env;
  if (inWindow) {
    requireExecutable('/usr/bin/import', 'install the Debian package imagemagick');
    site = await startSiteProxy({
      ruffleDir,
      swf,
      socketProxy: [{ host: '127.0.0.1', port: game.port, proxyUrl: `ws://127.0.0.1:${bridgePort}/127.0.0.1/${game.port}` }],
    });
    // -displayfd 1 makes Xvfb choose a free display and print its number on standard output.
    const xvfb = startProcess('Xvfb', '/usr/bin/Xvfb', ['-displayfd', '1', '-screen', '0', '1280x800x24', '-nolisten', 'tcp'],
                              { logFile: artifact('-xvfb.log') });
    t.defer(() => xvfb.stop());
    const [, display] = await withDeadline(xvfb.waitForOutput(/^(\d+)$/m), 20_000, 'Xvfb to start');
    const proxyURL = `http://127.0.0.1:${site.port}`;
    env = {
      DISPLAY: `:${display}`,
      GDK_BACKEND: 'x11',
      WAYLAND_DISPLAY: '',
      HOME: home,
      XDG_CACHE_HOME: path.join(home, 'cache'),
      XDG_DATA_HOME: path.join(home, 'data'),
      XDG_RUNTIME_DIR: home,
      // The C locale, common on servers: WebKitGTK would make navigator.language "C", which
      // Intl.Locale refuses, and Ruffle's player would fail to construct. The app must cope.
      LANG: 'C.UTF-8',
      LC_ALL: '',
      LC_CTYPE: '',
      // The web view and the allowlist refresh go through the site proxy.
      http_proxy: proxyURL,
      https_proxy: proxyURL,
      HTTPS_PROXY: proxyURL,
    };
  } else {
    site = await startGameSite({ ruffleDir, swf, certificate: makeCertificate(t.tempDir, siteHost) });
    // The allowlist refresh goes to a port where nothing listens: no name is looked up.
    env = { http_proxy: 'http://127.0.0.1:9', https_proxy: 'http://127.0.0.1:9', HTTPS_PROXY: 'http://127.0.0.1:9' };
  }
  t.defer(site.close);
  t.diagnose(() => `site requests:\n${site.requests.map((r) => `    ${r}`).join('\n')}`
                   + `\nrequests the proxy refused:\n${(site.refused ?? []).map((r) => `    ${r}`).join('\n')}`);

  const app = startProcess('quillfern', quillfernPath, inWindow ? [] : ['--headless'], {
    env: childEnvironment({ ...env, XDG_CONFIG_HOME: seedSettings(t.tempDir, [`127.0.0.1:${game.port}`]) }),
    logFile: artifact('-quillfern.log'),
  });
  t.defer(() => app.stop());
  t.diagnose(() => `quillfern output:\n${tail(app.output())}`);
  await waitForBridge(app, 30_000);
  const failures = [app.exited.then((result) => {
    throw new Error(`quillfern ended (${describeExit(result)}) before the exchange was complete`);
  })];

  let saveScreen = () => execFileSync('/usr/bin/import', ['-display', env.DISPLAY, '-window', 'root', screenshot],
                                      { timeout: 20_000 });
  if (!inWindow) {
    const page = await openBrowser(t, site.port, home, artifact('-chromium.log'));
    saveScreen = () => withDeadline(page.screenshot({ path: screenshot }), 10_000, 'the screenshot');
    await page.setViewportSize({ width: 1024, height: 768 });
    await page.goto(`http://127.0.0.1:${bridgePort}/fallback`, { timeout: 30_000 });
  }
  t.diagnose(async () => {
    await saveScreen();
    return `screenshot at the failure: ${screenshot}`;
  });
  failures.forEach((failure) => failure.catch(() => {}));
  await withDeadline(Promise.race([game.done, ...failures]), 120_000, 'the game server to see the full exchange');
  await delay(1500);  // lets the client draw its last lines before the picture is taken
  await saveScreen();
  log(`screenshot: ${screenshot}; bridge health: ${(await bridgeGet('/health')).body.trim()}`);
  const loopback = [...site.requests, ...(site.refused ?? [])]
    .filter((request) => /(127\.0\.0\.1|localhost|\[::1\])/i.test(request));
  if (loopback.length > 0) {
    throw new Error(`requests for loopback went through the proxy: ${loopback.join(', ')}`);
  }
});

// Headless Chromium with every name but the site's unresolvable, driven over DevTools; the
// page's events are kept for a failure report.
async function openBrowser(t, sitePort, home, logFile) {
  const { chromium } = await import('playwright-core');
  const browserProcess = startProcess('chromium', '/usr/bin/chromium', [
    `--host-resolver-rules=MAP ${siteHost} 127.0.0.1:${sitePort}, MAP * ~NOTFOUND, EXCLUDE 127.0.0.1, EXCLUDE localhost`,
    '--ignore-certificate-errors',
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    `--user-data-dir=${path.join(t.tempDir, 'chromium-profile')}`,
    '--remote-debugging-port=0',  // the DevTools endpoint the test drives the browser through
    'about:blank',
  ], { env: childEnvironment({ HOME: home, XDG_CONFIG_HOME: home, XDG_CACHE_HOME: home }), logFile });
  t.defer(() => browserProcess.stop());
  const [, endpoint] = await withDeadline(
    browserProcess.waitForOutput(/DevTools listening on (ws:\/\/\S+)/), 30_000, 'Chromium\'s DevTools endpoint');
  const browser = await withDeadline(chromium.connectOverCDP(endpoint), 30_000, 'the DevTools connection');
  t.defer(() => withDeadline(browser.close(), 10_000, 'Chromium to close'));
  const context = browser.contexts()[0];
  const page = context.pages()[0] ?? await context.newPage();
  const events = [];
  page.on('console', (message) => events.push(`console ${message.type()}: ${message.text()}`));
  page.on('pageerror', (error) => events.push(`page error: ${error.message}`));
  page.on('requestfailed', (request) => events.push(`failed: ${request.url()}`));
  page.on('websocket', (socket) => events.push(`WebSocket opened: ${socket.url()}`));
  t.diagnose(() => `page events:\n${events.slice(-200).map((line) => `    ${line}`).join('\n')}`);
  return page;
}
