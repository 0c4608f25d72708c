// Browser test: headless Chromium opens the fallback page that `quillfern --headless` serves on
// 127.0.0.1:9882; the page loads Ruffle and the client SWF from the stand-in game site, and the
// SWF's XMLSocket reaches the game server through the bridge. Passes when the game server has
// seen the whole exchange; saves a screenshot of the page.
//
//   node e2e/browserTest.mjs --quillfern build/default/src/quillfern [--artifacts DIR] [--keep]

import { mkdirSync } from 'node:fs';
import path from 'node:path';

import { siteHost, startGameSite } from './gameSite.mjs';
import {
  bridgeGet, bridgePort, childEnvironment, delay, log, makeCertificate, ruffleDir, runTest,
  seedSettings, startGame, startProcess, tail, waitForBridge, withDeadline,
} from './harness.mjs';

const chromiumPath = '/usr/bin/chromium';

await runTest('e2e_browser', { deadlineMs: 240_000 }, async (t) => {
  const { quillfernPath, game, swf } = await startGame(t, {
    program: chromiumPath,
    hint: 'install the Debian package chromium (scripts/install-deps.sh e2e)',
  });
  const { chromium } = await import('playwright-core');
  const site = await startGameSite({ ruffleDir, swf, certificate: makeCertificate(t.tempDir, siteHost) });
  t.defer(site.close);
  t.diagnose(() => `site requests:\n${site.requests.map((r) => `    ${r}`).join('\n')}`);
  log(`game server on 127.0.0.1:${game.port}, game site on 127.0.0.1:${site.port}`);

  // The start-up refresh of the allowlist goes to a port where nothing listens, so quillfern
  // looks up no name and keeps the seeded list.
  const deadProxy = 'http://127.0.0.1:9';
  const bridge = startProcess('quillfern --headless', quillfernPath, ['--headless'], {
    env: childEnvironment({
      XDG_CONFIG_HOME: seedSettings(t.tempDir, [`127.0.0.1:${game.port}`]),
      http_proxy: deadProxy,
      https_proxy: deadProxy,
      HTTPS_PROXY: deadProxy,
    }),
    logFile: path.join(t.artifacts, 'e2e_browser-quillfern.log'),
  });
  t.defer(() => bridge.stop());
  t.diagnose(() => `quillfern output:\n${tail(bridge.output())}`);
  await waitForBridge(bridge, 20_000);

  const home = path.join(t.tempDir, 'home');
  mkdirSync(home);
  const browserProcess = startProcess('chromium', chromiumPath, [
    `--host-resolver-rules=MAP ${siteHost} 127.0.0.1:${site.port}, MAP * ~NOTFOUND, `
        + 'EXCLUDE 127.0.0.1, EXCLUDE localhost',
    '--ignore-certificate-errors',
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    `--user-data-dir=${path.join(t.tempDir, 'chromium-profile')}`,
    '--remote-debugging-port=0',  // the DevTools endpoint the test drives the browser through
    'about:blank',
  ], {
    env: childEnvironment({ HOME: home, XDG_CONFIG_HOME: home, XDG_CACHE_HOME: home }),
    logFile: path.join(t.artifacts, 'e2e_browser-chromium.log'),
  });
  t.defer(() => browserProcess.stop());
  const [, endpoint] = await withDeadline(
    browserProcess.waitForOutput(/DevTools listening on (ws:\/\/\S+)/), 30_000, 'Chromium\'s DevTools endpoint');
  const browser = await withDeadline(chromium.connectOverCDP(endpoint), 30_000, 'the DevTools connection');
  t.defer(() => withDeadline(browser.close(), 10_000, 'Chromium to close'));
  const context = browser.contexts()[0];
  const page = context.pages()[0] ?? await context.newPage();
  // What the page did, for a failure report; and game data must come back in binary frames (a
  // text frame must be valid UTF-8, and the page's socket proxy drops it).
  const events = [];
  page.on('console', (message) => events.push(`console ${message.type()}: ${message.text()}`));
  page.on('pageerror', (error) => events.push(`page error: ${error.message}`));
  page.on('requestfailed', (request) => events.push(`failed: ${request.url()}`));
  const textFrame = new Promise((_, reject) => {
    page.on('websocket', (socket) => {
      events.push(`WebSocket opened: ${socket.url()}`);
      socket.on('framereceived', ({ payload }) => {
        if (typeof payload === 'string') {
          reject(new Error('the bridge sent a text frame; game data must travel in binary frames'));
        }
      });
    });
  });
  textFrame.catch(() => {});
  t.diagnose(() => `page events:\n${events.slice(-200).map((line) => `    ${line}`).join('\n')}`);
  const screenshot = path.join(t.artifacts, 'e2e_browser.png');
  t.diagnose(async () => {
    await withDeadline(page.screenshot({ path: screenshot }), 10_000, 'the screenshot');
    return `screenshot of the page at the failure: ${screenshot}`;
  });

  await page.setViewportSize({ width: 1024, height: 768 });
  await page.goto(`http://127.0.0.1:${bridgePort}/fallback`, { timeout: 30_000 });
  await withDeadline(Promise.race([game.done, textFrame]), 90_000, 'the game server to see the full exchange');
  await delay(1500);  // lets the client show the server's close before the picture is taken
  await page.screenshot({ path: screenshot });
  log(`screenshot: ${screenshot}; bridge health: ${(await bridgeGet('/health')).body.trim()}`);
});
