// Headless Debian Chromium for the report page: software WebGL (SwiftShader,
// there is no GPU), no network, a fresh profile. Shared by the page's test and
// the screenshot tool.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');

const executablePath = process.env.VANTREL_CHROMIUM || '/usr/bin/chromium';

async function launch() {
  if (!fs.existsSync(executablePath))
    throw new Error(`no Chromium at ${executablePath}: run scripts/setup, which installs Debian's chromium`);
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'vantrel-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath,
    headless: true,
    viewport: { width: 1366, height: 768 },
    deviceScaleFactor: 1,
    args: [
      '--no-sandbox', '--use-angle=swiftshader', '--enable-unsafe-swiftshader', '--disable-quic',
      '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync',
    ],
  });
  // Pages open from disk; anything else asked of the network is refused.
  await context.route(/^(?!file:|data:|blob:)/, (route) => route.abort());
  const close = async () => {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  };
  return { context, close };
}

// Opens a page from disk, gathering what it logs; resolves once the page says
// it has drawn both meshes.
async function openReport(context, file) {
  const page = await context.newPage();
  const problems = [];
  page.on('console', (m) => { if (m.type() === 'error') problems.push('console: ' + m.text()); });
  page.on('pageerror', (e) => problems.push('page error: ' + e.message));
  page.on('requestfailed', (r) => problems.push('request failed: ' + r.url()));
  await page.goto('file://' + path.resolve(file));
  await page.waitForFunction(() => window.vantrelReady === true ||
                                   (window.vantrelState && window.vantrelState.errors.length > 0),
                             null, { timeout: 120000 });
  return { page, problems };
}

module.exports = { launch, openReport };
