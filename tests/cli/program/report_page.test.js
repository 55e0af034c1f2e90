// The report page in headless Chromium, opened from disk: for a generated
// bending tube solved with too few joints (so the rig misses the bend), both
// halves show the mesh, the heat map has more than one colour, the plots are
// drawn, the rig played by three.js sits where the report says, scrubbing
// changes the picture, a compact (16-bit, fewer frames) page decodes right,
// the bundled sample's page is small, opens the same way and draws its
// skeleton's bones, and
// `vantrel report` writes the page again from a result.
// Run by CTest with VANTREL_PROGRAM, VANTREL_SOURCE_DIR and VANTREL_TEST_OUT.
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');

const source = process.env.VANTREL_SOURCE_DIR;
const program = process.env.VANTREL_PROGRAM;
const out = process.env.VANTREL_TEST_OUT;
const toolDir = path.join(source || '', 'tools', 'report-page');

// Missing tools fail here, loudly: they come from scripts/setup.
for (const [what, where] of [['playwright-core', 'node_modules/playwright-core'], ['pngjs', 'node_modules/pngjs'],
                             ['the bundled viewer', 'dist/viewer.js']]) {
  if (!fs.existsSync(path.join(toolDir, where)))
    throw new Error(`${what} is missing from ${toolDir}: run scripts/setup (npm ci and the bundle need the npm registry)`);
}
const { PNG } = require(path.join(toolDir, 'node_modules', 'pngjs'));
const { launch, openReport } = require(path.join(toolDir, 'browser.js'));

// A tube along y whose upper part bends in a smooth arc: two rigidly bound
// joints cannot follow the arc, so the error sits in the bend.
function writeBendingTube(dir) {
  const rings = 16, perRing = 10, frames = 20, height = 8;
  const V = rings * perRing;
  const positions = [];
  for (let f = 0; f < frames; ++f) {
    const bend = 1.4 * Math.sin((Math.PI * f) / (frames - 1));
    const frame = [];
    for (let r = 0; r < rings; ++r) {
      const y = (height * r) / (rings - 1);
      const angle = bend * Math.max(0, (y - 2) / (height - 2)) ** 2;
      for (let k = 0; k < perRing; ++k) {
        const phi = (2 * Math.PI * k) / perRing;
        const x0 = 0.6 * Math.cos(phi), z0 = 0.6 * Math.sin(phi);
        // Turn each ring about z through the bend's angle, around its base.
        const radius = y < 2 ? 0 : (y - 2) / Math.max(angle, 1e-9);
        const cx = angle > 1e-6 ? radius * (1 - Math.cos(angle)) : 0;
        const cy = angle > 1e-6 ? 2 + radius * Math.sin(angle) : y;
        frame.push(cx + x0 * Math.cos(angle), cy - x0 * Math.sin(angle), z0);
      }
    }
    positions.push(frame);
  }
  const header = Buffer.alloc(32);
  header.write('POINTCACHE2\0', 0, 'latin1');
  header.writeInt32LE(1, 12);
  header.writeInt32LE(V, 16);
  header.writeFloatLE(0, 20);
  header.writeFloatLE(1, 24);
  header.writeInt32LE(frames, 28);
  const body = Buffer.alloc(4 * 3 * V * frames);
  positions.flat().forEach((x, i) => body.writeFloatLE(x, 4 * i));
  fs.writeFileSync(path.join(dir, 'tube.pc2'), Buffer.concat([header, body]));
  const obj = [];
  for (let i = 0; i < V; ++i) obj.push(`v ${positions[0][3 * i]} ${positions[0][3 * i + 1]} ${positions[0][3 * i + 2]}`);
  for (let r = 0; r + 1 < rings; ++r)
    for (let k = 0; k < perRing; ++k) {
      const a = r * perRing + k + 1, b = r * perRing + ((k + 1) % perRing) + 1;
      obj.push(`f ${a} ${b + perRing} ${b}`, `f ${a} ${a + perRing} ${b + perRing}`);
    }
  fs.writeFileSync(path.join(dir, 'tube.obj'), obj.join('\n') + '\n');
  return { frames, V };
}

function decompose(args) {
  return execFileSync(program, ['decompose', ...args, '-q'], { encoding: 'utf8' });
}

// Pixels of a region of a screenshot.
function region(png, box) {
  const x0 = Math.round(box.x), y0 = Math.round(box.y);
  const w = Math.round(box.width), h = Math.round(box.height);
  const pixels = [];
  for (let y = y0; y < y0 + h; ++y)
    for (let x = x0; x < x0 + w; ++x) {
      const i = 4 * (y * png.width + x);
      pixels.push([png.data[i], png.data[i + 1], png.data[i + 2]]);
    }
  return pixels;
}

// The two halves of the 3D view, without the bands where labels and the
// legend sit.
async function viewHalves(page, png) {
  const box = await page.locator('#view').boundingBox();
  const top = box.y + 40, height = box.height - 40 - 70;
  const half = box.width / 2;
  return {
    left: region(png, { x: box.x + 4, y: top, width: half - 8, height }),
    right: region(png, { x: box.x + half + 4, y: top, width: half - 8, height }),
  };
}

const background = [0x2b, 0x2f, 0x36];
const unlike = (p, q, tolerance = 40) => Math.max(...p.map((c, i) => Math.abs(c - q[i]))) > tolerance;
const meshPixels = (pixels) => pixels.filter((p) => unlike(p, background));

// Hue sextant (0..5) of a saturated pixel, or -1 for greys.
function hueBin([r, g, b]) {
  const max = Math.max(r, g, b), min = Math.min(r, g, b);
  if (max < 40 || (max - min) / max < 0.35) return -1;
  let hue;
  if (max === r) hue = ((g - b) / (max - min) + 6) % 6;
  else if (max === g) hue = (b - r) / (max - min) + 2;
  else hue = (r - g) / (max - min) + 4;
  return Math.floor(hue);
}

async function screenshot(page, file) {
  await page.waitForFunction(() => window.vantrelState.drawnFrame === window.vantrelState.frame);
  // Two animation frames, so the canvas shown is the one drawn for this frame.
  await page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));
  const bytes = await page.screenshot({ path: file });
  return PNG.sync.read(bytes);
}

const countNear = (pixels, hex, tolerance = 30) => {
  const c = [1, 3, 5].map((i) => parseInt(hex.slice(i, i + 2), 16));
  return pixels.filter((p) => !unlike(p, c, tolerance)).length;
};

let browser;
const pages = {};

// One hook: the browser starts only once every page was written, so a failed
// decompose fails the run instead of leaving a browser that keeps it alive.
test.before(async () => {
  assert.ok(program && fs.existsSync(program), `no vantrel program at ${program}`);
  fs.rmSync(out, { recursive: true, force: true });
  fs.mkdirSync(out, { recursive: true });
  const tube = writeBendingTube(out);
  const common = [path.join(out, 'tube.pc2'), '--topology', path.join(out, 'tube.obj'), '-b', '2', '-k', '1', '-n', '4'];
  decompose([...common, '-o', path.join(out, 'tube.glb'), '--report', path.join(out, 'tube.json'),
             '--html', path.join(out, 'tube.html')]);
  // A budget of four frames' worth of 16-bit data: 16-bit positions, some frames left out.
  decompose([...common, '-o', path.join(out, 'compact.glb'), '--html', path.join(out, 'compact.html'),
             '--html-frame-budget', String(4 * 8 * tube.V)]);
  decompose([path.join(source, 'examples', 'md2', 'sydney.md2'), '-o', path.join(out, 'sydney.glb'),
             '--html', path.join(out, 'sydney.html')]);
  // Without faces: point clouds on both sides.
  decompose([path.join(out, 'tube.pc2'), '-b', '2', '-k', '1', '-n', '2', '-o', path.join(out, 'points.glb'),
             '--html', path.join(out, 'points.html')]);
  execFileSync(program, ['report', path.join(out, 'tube.json'), '-o', path.join(out, 'again.html'), '-q']);
  pages.tube = tube;
  browser = await launch();
});
test.after(async () => { if (browser) await browser.close(); });

test('the page shows the input and the rig, a heat map where the rig misses, and both plots', async () => {
  const { page, problems } = await openReport(browser.context, path.join(out, 'tube.html'));
  const state = await page.evaluate(() => window.vantrelState);
  assert.deepStrictEqual(state.errors, []);
  assert.strictEqual(await page.locator('html').getAttribute('data-ready'), 'true');

  // The rig three.js plays sits where the solved rig does: input plus the
  // reported distance, vertex by vertex.
  const report = JSON.parse(fs.readFileSync(path.join(out, 'tube.json'), 'utf8'));
  assert.ok(report.maxDistance > 0.05, `the tube was meant to be fitted badly: ${report.maxDistance}`);
  assert.ok(state.rigCheck < 1e-3, `played rig is off by ${state.rigCheck}`);

  // The heat map at the worst frame, without joint markers (they are coloured too).
  await page.locator('#worst').click();
  await page.locator('#joints').uncheck();
  const png = await screenshot(page, path.join(out, 'tube.png'));
  const { left, right } = await viewHalves(page, png);
  const leftMesh = meshPixels(left), rightMesh = meshPixels(right);
  assert.ok(leftMesh.length > 0.01 * left.length, `input half: ${leftMesh.length} of ${left.length} pixels drawn`);
  assert.ok(rightMesh.length > 0.01 * right.length, `rig half: ${rightMesh.length} of ${right.length} pixels drawn`);
  const bins = [0, 0, 0, 0, 0, 0];
  for (const p of rightMesh) { const b = hueBin(p); if (b >= 0) bins[b] += 1; }
  const coloured = bins.filter((n) => n > 0.03 * rightMesh.length);
  assert.ok(coloured.length >= 2, `heat map hues (sextants): ${bins}`);
  // The input is drawn plain: its pixels carry no heat colours.
  const leftColoured = leftMesh.filter((p) => hueBin(p) >= 0).length;
  assert.ok(leftColoured < 0.05 * leftMesh.length, `input half has ${leftColoured} coloured pixels`);

  // Legend in scene units, up to the largest distance.
  const ticks = await page.locator('#legend-ticks span').allTextContents();
  assert.strictEqual(ticks.length, 5);
  assert.ok(Math.abs(Number(ticks[4]) - report.maxDistance) <= 0.01 * report.maxDistance, `legend ${ticks}`);

  // Both plots carry their lines.
  const plot = region(png, await page.locator('#frame-plot').boundingBox());
  assert.ok(countNear(plot, '#d1495b') > 40, 'largest distance per frame not drawn');
  assert.ok(countNear(plot, '#2c6fbb') > 40, 'RMS distance per frame not drawn');
  const iterations = region(png, await page.locator('#iteration-plot').boundingBox());
  assert.ok(countNear(iterations, '#2a9d8f') > 40, 'error per iteration not drawn');

  // The table carries the report's numbers.
  const table = await page.locator('#facts').innerText();
  assert.match(table, new RegExp(`Vertices\\s+${pages.tube.V}`));
  assert.match(table, /Joints\s+2/);

  // Joint markers show and hide.
  await page.locator('#joints').check();
  const withJoints = await viewHalves(page, await screenshot(page, path.join(out, 'tube-joints.png')));
  const changed = withJoints.right.filter((p, i) => unlike(p, right[i], 20)).length;
  assert.ok(changed > 50, `showing the joints changed ${changed} pixels`);

  // One joint's weights instead: 0 to 1, rigidly bound here, so both ends of the scale.
  await page.locator('#colour').selectOption('joint:1');
  assert.match(await page.locator('#legend-title').innerText(), /weight of joint_01/);
  assert.strictEqual((await page.locator('#legend-ticks span').allTextContents())[4], '1');
  await page.locator('#joints').uncheck();
  const weights = await viewHalves(page, await screenshot(page, path.join(out, 'tube-weights.png')));
  const hues = [0, 0, 0, 0, 0, 0];
  for (const p of meshPixels(weights.right)) { const b = hueBin(p); if (b >= 0) hues[b] += 1; }
  assert.ok(hues[0] + hues[5] > 100 && hues[3] + hues[4] > 100, `weight hues (sextants): ${hues}`);
  assert.deepStrictEqual(problems, []);
});

test('scrubbing the timeline shows another frame on both sides, still in lock-step', async () => {
  const { page, problems } = await openReport(browser.context, path.join(out, 'tube.html'));
  const before = await viewHalves(page, await screenshot(page, path.join(out, 'scrub-before.png')));
  const labelBefore = await page.locator('#frame-label').innerText();
  assert.strictEqual(await page.evaluate(() => window.vantrelState.frame), 0);

  // The keyboard on the slider, as a person scrubs: half way along.
  const slider = page.locator('#frame');
  await slider.focus();
  for (let i = 0; i < pages.tube.frames / 2; ++i) await page.keyboard.press('ArrowRight');
  const after = await viewHalves(page, await screenshot(page, path.join(out, 'scrub-after.png')));
  const state = await page.evaluate(() => window.vantrelState);
  assert.strictEqual(state.frame, pages.tube.frames / 2);
  assert.notStrictEqual(await page.locator('#frame-label').innerText(), labelBefore);
  for (const side of ['left', 'right']) {
    const changed = after[side].filter((p, i) => unlike(p, before[side][i], 20)).length;
    assert.ok(changed > 0.005 * after[side].length, `${side} half: ${changed} pixels changed`);
  }
  assert.ok(state.rigCheck < 1e-3, `played rig is off by ${state.rigCheck} at frame ${state.frame}`);
  assert.deepStrictEqual(state.errors, []);
  assert.deepStrictEqual(problems, []);
});

test('a compact page stores 16-bit positions and fewer frames, says so, and decodes them right', async () => {
  const { page, problems } = await openReport(browser.context, path.join(out, 'compact.html'));
  const notes = await page.locator('#notes').innerText();
  assert.match(notes, /16-bit integers/);
  assert.match(notes, /shows \d+ of the 20 frames/);
  const frames = Number(await page.locator('#frame').getAttribute('max')) + 1;
  assert.ok(frames < pages.tube.frames && frames >= 4, `${frames} frames shown`);
  for (const f of [0, frames - 1]) {
    await page.evaluate((k) => window.vantrelShowFrame(k), f);
    const state = await page.evaluate(() => window.vantrelState);
    // Within a few steps of the 16-bit grid over a box of about 10 units.
    assert.ok(state.rigCheck < 1e-3, `frame ${f}: played rig vs. decoded input off by ${state.rigCheck}`);
  }
  assert.deepStrictEqual(await page.evaluate(() => window.vantrelState.errors), []);
  assert.deepStrictEqual(problems, []);
});

test('a rig without faces plays as points beside the input\'s points', async () => {
  const { page, problems } = await openReport(browser.context, path.join(out, 'points.html'));
  await page.locator('#joints').uncheck();
  await page.evaluate((k) => window.vantrelShowFrame(k), pages.tube.frames / 2);
  const { left, right } = await viewHalves(page, await screenshot(page, path.join(out, 'points.png')));
  assert.ok(meshPixels(left).length > 0.002 * left.length, `input half: ${meshPixels(left).length} pixels drawn`);
  assert.ok(meshPixels(right).length > 0.002 * right.length, `rig half: ${meshPixels(right).length} pixels drawn`);
  const state = await page.evaluate(() => window.vantrelState);
  assert.ok(state.rigCheck < 1e-3, `played rig is off by ${state.rigCheck}`);
  assert.deepStrictEqual(state.errors, []);
  assert.deepStrictEqual(problems, []);
});

test('the bundled sample\'s page is under 10 MB and opens the same way', async () => {
  const file = path.join(out, 'sydney.html');
  const bytes = fs.statSync(file).size;
  console.log(`sydney.html: ${(bytes / 1024).toFixed(0)} KiB`);
  assert.ok(bytes < 10e6, `${bytes} bytes`);
  const { page, problems } = await openReport(browser.context, file);
  const png = await screenshot(page, path.join(out, 'sydney.png'));
  const { left, right } = await viewHalves(page, png);
  assert.ok(meshPixels(left).length > 0.01 * left.length, 'input half empty');
  assert.ok(meshPixels(right).length > 0.01 * right.length, 'rig half empty');
  const state = await page.evaluate(() => window.vantrelState);
  assert.ok(state.rigCheck < 1e-3 * 60, `played rig is off by ${state.rigCheck}`);
  // The skeleton is a tree of 16 joints: a bone line to every joint but the root.
  assert.strictEqual(state.bones, 15);
  assert.deepStrictEqual(state.errors, []);
  assert.deepStrictEqual(problems, []);
});

test('vantrel report writes the page again from the JSON report and the rig file', async () => {
  const { page, problems } = await openReport(browser.context, path.join(out, 'again.html'));
  const report = JSON.parse(fs.readFileSync(path.join(out, 'tube.json'), 'utf8'));
  assert.match(await page.locator('#notes').innerText(), /measured from the rig file/);
  // Distances measured from the exported file agree with the solved rig's.
  const ticks = await page.locator('#legend-ticks span').allTextContents();
  assert.ok(Math.abs(Number(ticks[4]) - report.maxDistance) <= 0.01 * report.maxDistance, `legend ${ticks}`);
  for (const f of [0, pages.tube.frames - 1]) {
    await page.evaluate((k) => window.vantrelShowFrame(k), f);
    const state = await page.evaluate(() => window.vantrelState);
    assert.ok(state.rigCheck < 1e-3, `frame ${f}: played rig is off by ${state.rigCheck}`);
  }
  const png = await screenshot(page, path.join(out, 'again.png'));
  const { left, right } = await viewHalves(page, png);
  assert.ok(meshPixels(left).length > 0.01 * left.length, 'input half empty');
  assert.ok(meshPixels(right).length > 0.01 * right.length, 'rig half empty');
  assert.deepStrictEqual(await page.evaluate(() => window.vantrelState.errors), []);
  assert.deepStrictEqual(problems, []);
});
