// Window test: the real application under Xvfb. quillfern's web view reaches the stand-in game
// site through a local HTTP proxy that serves only http://game.quillfern.example; the site's
// start page runs the client SWF in Ruffle with a socket-proxy entry for the game server at the
// bridge. Passes when the game server has seen the whole exchange and no loopback request went
// to the proxy; saves a screenshot of the screen. Skips (exit status 77) without the window.
//
//   node e2e/windowTest.mjs --quillfern build/default/src/quillfern --window-built 1

import { execFileSync } from 'node:child_process';
import { mkdirSync } from 'node:fs';
import path from 'node:path';

import { startSiteProxy } from './gameSite.mjs';
import {
  SkipTest, bridgePort, childEnvironment, delay, describeExit, log, requireExecutable, ruffleDir,
  runTest, seedSettings, startGame, startProcess, tail, waitForBridge, withDeadline,
} from './harness.mjs';

const xvfbPath = '/usr/bin/Xvfb';

await runTest('e2e_window', {
  deadlineMs: 240_000, extra: { 'window-built': { type: 'string', default: '1' } },
}, async (t) => {
  if (t.options['window-built'] !== '1') {
    throw new SkipTest('quillfern was built without its window (there is no quillfern_gtk target)');
  }
  const { quillfernPath, game, swf } = await startGame(t, {
    program: xvfbPath,
    hint: 'install the Debian package xvfb (scripts/install-deps.sh window)',
  });
  requireExecutable('/usr/bin/import', 'install the Debian package imagemagick');
  const proxy = await startSiteProxy({
    ruffleDir,
    swf,
    socketProxy: [{
      host: '127.0.0.1',
      port: game.port,
      proxyUrl: `ws://127.0.0.1:${bridgePort}/127.0.0.1/${game.port}`,
    }],
  });
  t.defer(proxy.close);
  t.diagnose(() => `site requests through the proxy:\n${proxy.requests.map((r) => `    ${r}`).join('\n')}`
                   + `\nrequests the proxy refused:\n${proxy.refused.map((r) => `    ${r}`).join('\n')}`);

  // -displayfd 1 makes Xvfb choose a free display and print its number on standard output.
  const xvfb = startProcess('Xvfb', xvfbPath, ['-displayfd', '1', '-screen', '0', '1280x800x24', '-nolisten', 'tcp'],
                            { logFile: path.join(t.artifacts, 'e2e_window-xvfb.log') });
  t.defer(() => xvfb.stop());
  const [, display] = await withDeadline(xvfb.waitForOutput(/^(\d+)$/m), 20_000, 'Xvfb to start');

  const home = path.join(t.tempDir, 'home');
  mkdirSync(home, { mode: 0o700 });
  const proxyURL = `http://127.0.0.1:${proxy.port}`;
  const app = startProcess('quillfern', quillfernPath, [], {
    env: childEnvironment({
      DISPLAY: `:${display}`,
      GDK_BACKEND: 'x11',
      WAYLAND_DISPLAY: '',
      HOME: home,
      XDG_CONFIG_HOME: seedSettings(t.tempDir, [`127.0.0.1:${game.port}`]),
      XDG_CACHE_HOME: path.join(home, 'cache'),
      XDG_DATA_HOME: path.join(home, 'data'),
      XDG_RUNTIME_DIR: home,
      // The C locale, common on servers: WebKitGTK would make navigator.language "C", which
      // Intl.Locale refuses, and Ruffle's player would fail to construct. The app must cope.
      LANG: 'C.UTF-8',
      LC_ALL: '',
      LC_CTYPE: '',
      // The web view and the allowlist refresh go through the site proxy. There is no
      // no_proxy, as in many offices: the window must reach its bridge on loopback directly.
      http_proxy: proxyURL,
      https_proxy: proxyURL,
      HTTPS_PROXY: proxyURL,
    }),
    logFile: path.join(t.artifacts, 'e2e_window-quillfern.log'),
  });
  t.defer(() => app.stop());
  t.diagnose(() => `quillfern output:\n${tail(app.output())}`);
  const screenshot = path.join(t.artifacts, 'e2e_window.png');
  const saveScreen = () => execFileSync('/usr/bin/import', ['-display', `:${display}`, '-window', 'root', screenshot],
                                        { timeout: 20_000 });
  t.diagnose(() => {
    saveScreen();
    return `screenshot of the screen at the failure: ${screenshot}`;
  });

  await waitForBridge(app, 30_000);
  const appEnded = app.exited.then((result) => {
    throw new Error(`quillfern ended (${describeExit(result)}) before the exchange was complete`);
  });
  await withDeadline(Promise.race([game.done, appEnded]), 120_000, 'the game server to see the full exchange');
  await delay(1500);  // lets the client draw its last lines before the picture is taken
  saveScreen();
  log(`screenshot: ${screenshot}`);
  const loopback = [...proxy.requests, ...proxy.refused]
    .filter((request) => /(127\.0\.0\.1|localhost|\[::1\])/i.test(request));
  if (loopback.length > 0) {
    throw new Error(`requests for loopback went through the proxy: ${loopback.join(', ')}`);
  }
});
