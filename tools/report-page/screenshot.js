#!/usr/bin/env node
// Screenshot of a report page in headless Chromium:
//   node screenshot.js PAGE.html OUT.png [FRAME]
// FRAME (0-based, in the page's frames) is shown first; default: the worst.
'use strict';
const { launch, openReport } = require('./browser');

(async () => {
  const [file, out, frame] = process.argv.slice(2);
  if (!file || !out) { console.error('usage: node screenshot.js PAGE.html OUT.png [FRAME]'); process.exit(2); }
  const { context, close } = await launch();
  try {
    const { page, problems } = await openReport(context, file);
    const errors = await page.evaluate(() => window.vantrelState.errors);
    if (errors.length) throw new Error('the page failed: ' + errors.join('; '));
    await page.evaluate((f) => window.vantrelShowFrame(f === null ? window.vantrelState.worstFrame : f),
                        frame === undefined ? null : Number(frame));
    await page.waitForFunction(() => window.vantrelState.drawnFrame === window.vantrelState.frame);
    await page.screenshot({ path: out });
    if (problems.length) { console.error(problems.join('\n')); process.exitCode = 1; }
  } finally {
    await close();
  }
})().catch((e) => { console.error(e); process.exit(1); });
