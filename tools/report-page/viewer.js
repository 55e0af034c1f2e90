// The report page's viewer: the input animation and the exported rig side by
// side in lock-step, the rig coloured by each vertex's distance to the input,
// plots of the error per frame and per iteration, and the report's numbers.
// The program inlines this file (bundled with three.js) into the page, with
// the data in <script id="vantrel-data" type="application/json">.
import * as THREE from 'three';
import { GLTFLoader } from 'three/examples/jsm/loaders/GLTFLoader.js';
import { OrbitControls } from 'three/examples/jsm/controls/OrbitControls.js';

const state = { ready: false, frame: 0, drawnFrame: -1, errors: [], playing: false, rigCheck: null };
window.vantrelState = state;
window.vantrelReady = false;

function fail(message) {
  state.errors.push(String(message));
  const banner = document.getElementById('errors');
  if (banner) {
    banner.hidden = false;
    banner.textContent = 'The page failed: ' + state.errors.join('; ');
  }
}
window.addEventListener('error', (e) => fail(e.message || e));
window.addEventListener('unhandledrejection', (e) => fail((e.reason && e.reason.message) || e.reason));

function decodeBase64(text) {
  const binary = atob(text);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; ++i) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

// Positions of frame f (time order) as a Float32Array of 3 per vertex.
function framePositions(frames, vertexCount, f) {
  const n = 3 * vertexCount;
  if (frames.encoding === 'float32') return frames.values.subarray(f * n, (f + 1) * n);
  const out = new Float32Array(n);
  const q = frames.values;
  for (let i = 0; i < n; ++i) {
    const c = i % 3;
    out[i] = frames.origin[c] + frames.step[c] * q[f * n + i];
  }
  return out;
}

// Blue (close) through cyan, yellow and orange to red (far).
const colourStops = [
  [0.0, [0.17, 0.32, 0.71]],
  [0.25, [0.0, 0.7, 0.8]],
  [0.5, [0.55, 0.85, 0.3]],
  [0.75, [1.0, 0.75, 0.2]],
  [1.0, [0.85, 0.1, 0.1]],
];
function heatColour(t, out, offset) {
  t = Math.min(1, Math.max(0, t));
  let i = 1;
  while (i < colourStops.length - 1 && t > colourStops[i][0]) ++i;
  const [t0, c0] = colourStops[i - 1];
  const [t1, c1] = colourStops[i];
  const a = (t - t0) / (t1 - t0);
  for (let c = 0; c < 3; ++c) out[offset + c] = c0[c] + a * (c1[c] - c0[c]);
}

function formatNumber(x, digits = 4) {
  if (typeof x !== 'number') return String(x);
  if (x === 0) return '0';
  const abs = Math.abs(x);
  if (abs >= 1e5 || abs < 1e-3) return x.toExponential(2);
  return Number(x.toPrecision(digits)).toString();
}

function element(tag, attributes = {}, text) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attributes)) e.setAttribute(k, v);
  if (text !== undefined) e.textContent = text;
  return e;
}

// A line plot on a 2D canvas; `series` = [{values, colour, label}], x = index.
// Series with `right: true` share a second scale, ticked on the right.
function drawPlot(canvas, { series, xLabel, yLabel, rightLabel, marker, logScale, firstX = 0 }) {
  const ratio = window.devicePixelRatio || 1;
  const width = canvas.clientWidth, height = canvas.clientHeight;
  canvas.width = Math.max(1, Math.round(width * ratio));
  canvas.height = Math.max(1, Math.round(height * ratio));
  const g = canvas.getContext('2d');
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.clearRect(0, 0, width, height);
  const hasRight = series.some((s) => s.right);
  const left = 52, right = hasRight ? 46 : 10, top = 22, bottom = 30;
  const w = width - left - right, h = height - top - bottom;
  const count = Math.max(...series.map((s) => s.values.length));
  let low = Infinity, high = -Infinity, rightHigh = 0;
  for (const s of series) {
    for (const v of s.values) {
      if (!Number.isFinite(v)) continue;
      if (s.right) { rightHigh = Math.max(rightHigh, v); continue; }
      low = Math.min(low, v); high = Math.max(high, v);
    }
  }
  if (rightHigh <= 0) rightHigh = 1;
  if (!Number.isFinite(low)) { low = 0; high = 1; }
  const useLog = logScale && low > 0 && high / low > 20;
  if (!useLog) { low = Math.min(0, low); if (high <= low) high = low + 1; }
  const ty = useLog ? (v) => Math.log10(v) : (v) => v;
  const y0 = ty(low), y1 = ty(high) === ty(low) ? ty(low) + 1 : ty(high);
  const px = (i) => left + (count > 1 ? (i / (count - 1)) * w : w / 2);
  const py = (v) => top + h - ((ty(v) - y0) / (y1 - y0)) * h;

  g.font = '11px system-ui, sans-serif';
  g.strokeStyle = '#d6d9de';
  g.fillStyle = '#555b66';
  g.lineWidth = 1;
  g.textAlign = 'right';
  g.textBaseline = 'middle';
  const ticks = 4;
  for (let k = 0; k <= ticks; ++k) {
    const yv = y0 + ((y1 - y0) * k) / ticks;
    const value = useLog ? Math.pow(10, yv) : yv;
    const y = top + h - (h * k) / ticks;
    g.beginPath(); g.moveTo(left, y); g.lineTo(left + w, y); g.stroke();
    g.fillText(formatNumber(value, 3), left - 4, y);
    if (hasRight) {
      g.textAlign = 'left';
      g.fillText(formatNumber((rightHigh * k) / ticks, 3), left + w + 4, y);
      g.textAlign = 'right';
    }
  }
  g.textAlign = 'center';
  g.textBaseline = 'top';
  const xTicks = Math.min(count - 1, 6);
  for (let k = 0; k <= xTicks && count > 0; ++k) {
    const i = xTicks > 0 ? Math.round(((count - 1) * k) / xTicks) : 0;
    g.fillText(String(i + firstX), px(i), top + h + 4);
  }
  g.fillText(xLabel, left + w / 2, top + h + 16);
  g.textAlign = 'left';
  g.fillText(yLabel + (useLog ? ' (log scale)' : ''), left, 3);
  if (rightLabel) { g.textAlign = 'right'; g.fillText(rightLabel, left + w + right, top + h + 16); }

  if (marker !== undefined && count > 0) {
    g.strokeStyle = '#222';
    g.setLineDash([3, 3]);
    g.beginPath(); g.moveTo(px(marker), top); g.lineTo(px(marker), top + h); g.stroke();
    g.setLineDash([]);
  }
  // Legend on the top line, after the unit.
  let legendX = left + g.measureText(yLabel + (useLog ? ' (log scale)' : '')).width + 16;
  g.textAlign = 'left';
  for (const s of series) {
    g.fillStyle = s.colour;
    g.fillRect(legendX, 7, 10, 3);
    g.fillText(s.label, legendX + 13, 3);
    legendX += g.measureText(s.label).width + 26;
  }
  for (const s of [...series].sort((a, b) => Number(!!b.right) - Number(!!a.right))) {
    g.strokeStyle = s.colour;
    g.fillStyle = s.colour;
    g.lineWidth = 1.6;
    g.beginPath();
    const y = s.right ? (v) => top + h - (v / rightHigh) * h : py;
    g.lineWidth = s.right ? 1 : 1.6;
    s.values.forEach((v, i) => (i === 0 ? g.moveTo(px(i), y(v)) : g.lineTo(px(i), y(v))));
    g.stroke();
    if (s.values.length <= 40) for (let i = 0; i < s.values.length; ++i) g.fillRect(px(i) - 2, y(s.values[i]) - 2, 4, 4);
  }
  return { xOf: px, indexAt: (x) => Math.round(((x - left) / w) * (count - 1)) };
}

function buildTable(report, data) {
  const table = document.getElementById('facts');
  const section = (title) => {
    const row = element('tr');
    row.appendChild(element('th', { colspan: '2', class: 'section' }, title));
    table.appendChild(row);
  };
  const fact = (name, value) => {
    const row = element('tr');
    row.appendChild(element('th', {}, name));
    row.appendChild(element('td', {}, value));
    table.appendChild(row);
  };
  const s = report.settings || {};
  const z = report.sizes || {};
  section('Error');
  fact('E_RMS (thousandths of the size)', formatNumber(report.eRms));
  fact('RMS distance (scene units)', formatNumber(report.rmsDistance));
  fact('Largest distance (scene units)', formatNumber(report.maxDistance) +
       (report.maxDistanceAt ? ` (frame ${report.maxDistanceAt.frame}, vertex ${report.maxDistanceAt.vertex})` : ''));
  fact('Rest size (bounding-box diagonal)', formatNumber(report.restDiagonal));
  fact('Command error (last iteration)', formatNumber(report.commandError));
  fact('Iterations done', String(report.iterationsDone));
  fact('three.js rig vs. measured rig (this frame)', '');
  table.lastChild.lastChild.id = 'rig-check';
  section('Files and sizes');
  if (report.input) fact('Input', String(report.input));
  if (report.output) fact('Rig', String(report.output));
  fact('Vertices', String(z.vertices));
  fact('Triangles', String(z.triangles));
  fact('Frames solved', String(z.frames));
  fact('Frames shown', String(data.frames.count));
  fact('Joints', String(z.joints) + (s.jointsFromFile ? ' (from the file)' : ' (placed by motion)'));
  const k = report.skeleton;
  if (k && k.joints && k.joints.length) {
    fact('Skeleton', k.hierarchy === 'flat' ? 'flat: every joint under one root'
      : `${k.hierarchy === 'file' ? "the file's" : 'a tree'} rooted at ${k.joints[k.root].name}`);
    if (k.hierarchy !== 'flat')
      fact('Bone-length variation (scene units)', `up to ${formatNumber(k.largestBoneLengthVariation, 3)}` +
        ` (pivot residual up to ${formatNumber(k.largestPivotResidual, 3)})`);
  }
  if (report.export) fact('Rig file', `${formatNumber(report.export.bytes / 1024, 4)} KiB`);
  fact('Page data', data.frames.encoding === 'float32' ? 'input positions as float32'
    : 'input positions as 16-bit integers');
  section('Settings');
  fact('Influences per vertex', String(s.influences));
  fact('Iteration limit', String(s.iterations));
  fact('Re-selecting iterations', String(s.fullSolverIterations));
  fact('Transforms', String(s.transforms));
  fact('Update rest', String(s.updateRest));
  fact('Break below (percent)', formatNumber(s.breakPercent));
  fact('Sum-to-one weight', formatNumber(s.lagrangian));
  // -1: the rest is the file's bind pose, no frame of it.
  fact('Rest frame', s.restFrame !== -1 ? String(s.restFrame)
    : s.bindPose === 'topology' ? "the topology file's positions" : "the file's bind pose");
  fact('Threads', s.threads ? String(s.threads) : 'every core');
  section('Time (seconds)');
  for (const [stage, seconds] of Object.entries(report.seconds || {})) fact(stage, formatNumber(seconds, 3));
  if (report.peakMemoryMiB) fact('Peak memory', `${formatNumber(report.peakMemoryMiB, 4)} MiB`);
}

async function main() {
  const data = JSON.parse(document.getElementById('vantrel-data').textContent);
  const report = data.report || {};
  const V = data.vertexCount;
  const F = data.frames.count;

  // Decode the input animation and the per-vertex distances.
  const frameBytes = decodeBase64(data.frames.data);
  data.frames.values = data.frames.encoding === 'float32'
    ? new Float32Array(frameBytes.buffer, 0, F * V * 3)
    : new Uint16Array(frameBytes.buffer, 0, F * V * 3);
  const indexBytes = decodeBase64(data.triangles);
  const indices = new Uint32Array(indexBytes.buffer, 0, indexBytes.length / 4);
  const distanceBytes = decodeBase64(data.distances.data);
  const distances = new Uint16Array(distanceBytes.buffer, 0, F * V);
  const distanceScale = data.distances.scale;
  const distanceAt = (f, v) => distances[f * V + v] * distanceScale;

  document.getElementById('title').textContent = 'vantrel report: ' + data.title;
  document.getElementById('subtitle').textContent =
    `${V} vertices, ${report.sizes ? report.sizes.joints : '?'} joints, ` +
    `${report.settings ? report.settings.influences : '?'} influences, ` +
    `${report.sizes ? report.sizes.frames : F} frames; ` +
    `E_RMS ${formatNumber(report.eRms)}, largest distance ${formatNumber(report.maxDistance)} scene units`;
  const notes = document.getElementById('notes');
  for (const note of data.notes || []) notes.appendChild(element('li', {}, note));

  // Scenes: the input on the left, the rig on the right, one camera.
  const canvas = document.getElementById('view');
  const renderer = new THREE.WebGLRenderer({ canvas, antialias: true, preserveDrawingBuffer: true });
  renderer.setPixelRatio(window.devicePixelRatio || 1);
  renderer.setScissorTest(true);
  const background = new THREE.Color(0x2b2f36);
  // Each scene has a light that follows the camera.
  const makeScene = () => {
    const scene = new THREE.Scene();
    scene.background = background;
    scene.add(new THREE.HemisphereLight(0xffffff, 0x404050, 1.4));
    const light = new THREE.DirectionalLight(0xffffff, 1.8);
    scene.add(light, light.target);
    scene.userData.light = light;
    return scene;
  };
  const inputScene = makeScene();
  const rigScene = makeScene();

  const inputGeometry = new THREE.BufferGeometry();
  inputGeometry.setAttribute('position', new THREE.BufferAttribute(new Float32Array(3 * V), 3));
  if (indices.length) inputGeometry.setIndex(new THREE.BufferAttribute(indices, 1));
  const inputMaterial = new THREE.MeshStandardMaterial({ color: 0xc9c4bb, roughness: 0.8, side: THREE.DoubleSide });
  const inputMesh = new THREE.Mesh(inputGeometry, inputMaterial);
  inputMesh.frustumCulled = false;
  inputScene.add(inputMesh);
  const inputPoints = new THREE.Points(inputGeometry, new THREE.PointsMaterial({ color: 0xc9c4bb, size: 3, sizeAttenuation: false }));
  inputPoints.visible = indices.length === 0;
  inputPoints.frustumCulled = false;
  inputMesh.visible = indices.length > 0;
  inputScene.add(inputPoints);

  const gltf = await new Promise((resolve, reject) => {
    const bytes = decodeBase64(data.rig.file);
    new GLTFLoader().parse(bytes.buffer, '', resolve, reject);
  });
  rigScene.add(gltf.scene);
  let skinned = null, rigPoints = null;
  gltf.scene.traverse((o) => { if (o.isSkinnedMesh && !skinned) skinned = o; });
  if (!skinned) {
    // A rig without faces is a point cloud, which three.js does not skin:
    // skin it on the CPU through a hidden skinned mesh over the same data.
    gltf.scene.traverse((o) => { if (o.isPoints && o.geometry.attributes.skinIndex && !rigPoints) rigPoints = o; });
    if (!rigPoints || !gltf.parser.json.skins) throw new Error('the rig file has no skinned mesh');
    const skeleton = await gltf.parser.getDependency('skin', 0);
    skinned = new THREE.SkinnedMesh(rigPoints.geometry, new THREE.MeshBasicMaterial());
    skinned.visible = false;
    rigPoints.add(skinned);
    gltf.scene.updateMatrixWorld(true);
    skinned.bind(skeleton, skinned.matrixWorld);
    rigPoints.geometry = rigPoints.geometry.clone();
    rigPoints.frustumCulled = false;
  }
  skinned.frustumCulled = false;
  if (skinned.geometry.attributes.position.count !== V)
    throw new Error(`the rig has ${skinned.geometry.attributes.position.count} vertices, the input ${V}`);
  const colours = new Float32Array(3 * V);
  const shownGeometry = rigPoints ? rigPoints.geometry : skinned.geometry;
  shownGeometry.setAttribute('color', new THREE.BufferAttribute(colours, 3));
  if (rigPoints) rigPoints.material = new THREE.PointsMaterial({ vertexColors: true, size: 4, sizeAttenuation: false });
  else skinned.material = new THREE.MeshStandardMaterial({ vertexColors: true, roughness: 0.8, side: THREE.DoubleSide });
  const bones = skinned.skeleton.bones;
  const clip = gltf.animations[0];
  const mixer = new THREE.AnimationMixer(gltf.scene);
  const action = clip ? mixer.clipAction(clip) : null;
  if (action) {
    action.setLoop(THREE.LoopOnce, 1);
    action.clampWhenFinished = true;
    action.play();
  }

  // Frame the animation's bounding box (a sample of the frames on large meshes).
  const low = [Infinity, Infinity, Infinity], high = [-Infinity, -Infinity, -Infinity];
  const frameStep = V * F > 2e6 ? Math.ceil((V * F) / 2e6) : 1;
  for (let f = 0; f < F; f += frameStep) {
    const p = framePositions(data.frames, V, f);
    for (let i = 0; i < p.length; ++i) {
      const c = i % 3;
      if (p[i] < low[c]) low[c] = p[i];
      if (p[i] > high[c]) high[c] = p[i];
    }
  }
  const box = new THREE.Box3(new THREE.Vector3(...low), new THREE.Vector3(...high));
  const centre = box.getCenter(new THREE.Vector3());
  const size = box.getSize(new THREE.Vector3()).length() || 1;
  const extent = box.getSize(new THREE.Vector3());
  const camera = new THREE.PerspectiveCamera(35, 1, size / 200, size * 20);
  // Near enough that the animation's box fills most of a half.
  function frameCamera() {
    const tanHalf = Math.tan(THREE.MathUtils.degToRad(camera.fov / 2));
    const across = Math.max(extent.x, extent.z) * 1.1;
    const distance = Math.max(extent.y / 2 / tanHalf, across / 2 / (tanHalf * camera.aspect)) * 1.04 +
                     Math.max(extent.x, extent.z) / 4;
    camera.position.copy(centre).add(new THREE.Vector3(0.3, 0.15, 1).normalize().multiplyScalar(distance));
    controls.target.copy(centre);
    controls.update();
  }
  const controls = new OrbitControls(camera, canvas);

  // Joint markers.
  const jointGroup = new THREE.Group();
  const markerGeometry = new THREE.SphereGeometry(size * 0.01, 12, 8);
  bones.forEach((bone, j) => {
    const colour = new THREE.Color().setHSL((j * 0.618) % 1, 0.85, 0.6);
    const marker = new THREE.Mesh(markerGeometry, new THREE.MeshBasicMaterial({ color: colour, depthTest: false }));
    marker.renderOrder = 10;
    marker.userData.bone = bone;
    marker.name = bone.name;
    jointGroup.add(marker);
  });
  rigScene.add(jointGroup);

  // Bones: a line from each joint to each of its child joints, drawn over the
  // rig with the markers (a flat rig has none).
  const boneLinks = bones.filter((bone) => bones.includes(bone.parent)).map((bone) => [bone.parent, bone]);
  const boneGeometry = new THREE.BufferGeometry();
  boneGeometry.setAttribute('position', new THREE.BufferAttribute(new Float32Array(6 * boneLinks.length), 3));
  const boneLines = new THREE.LineSegments(boneGeometry,
    new THREE.LineBasicMaterial({ color: 0xf4f4f4, depthTest: false, transparent: true, opacity: 0.9 }));
  boneLines.renderOrder = 9;
  boneLines.frustumCulled = false;
  rigScene.add(boneLines);
  state.bones = boneLinks.length;
  function placeBones() {
    const at = boneGeometry.attributes.position;
    boneLinks.forEach(([parent, child], k) => {
      parent.getWorldPosition(v3);
      at.setXYZ(2 * k, v3.x, v3.y, v3.z);
      child.getWorldPosition(v3);
      at.setXYZ(2 * k + 1, v3.x, v3.y, v3.z);
    });
    at.needsUpdate = true;
  }

  // Colour legend, in scene units.
  const maxDistance = data.distances.max > 0 ? data.distances.max : 1;
  const legend = document.getElementById('legend-bar');
  const stops = colourStops.map(([t, c]) => `rgb(${c.map((x) => Math.round(255 * x)).join(',')}) ${t * 100}%`);
  legend.style.background = `linear-gradient(to right, ${stops.join(',')})`;
  const legendTicks = document.getElementById('legend-ticks');
  const legendTitle = document.getElementById('legend-title');
  let legendKey = null;
  function setLegend(title, top) {
    if (legendKey === title + top) return;
    legendKey = title + top;
    legendTitle.textContent = title;
    legendTicks.replaceChildren(...[0, 1, 2, 3, 4].map((k) => element('span', {}, formatNumber((top * k) / 4, 3))));
  }

  // What colours the rig: the distance (scaled over all frames or this one),
  // or one joint's skin weights.
  const colourSelect = document.getElementById('colour');
  const rigLabel = document.getElementById('rig-label');
  bones.forEach((bone, j) => colourSelect.appendChild(element('option', { value: `joint:${j}` }, `weights: ${bone.name}`)));
  colourSelect.addEventListener('change', () => showFrame(state.frame));
  const skinIndex = skinned.geometry.attributes.skinIndex, skinWeight = skinned.geometry.attributes.skinWeight;
  function jointWeight(v, j) {
    let w = 0;
    for (let k = 0; k < 4; ++k) if (skinIndex.getComponent(v, k) === j) w += skinWeight.getComponent(v, k);
    return w;
  }
  function colourRig(f) {
    const mode = colourSelect.value;
    if (mode.startsWith('joint:')) {
      const j = Number(mode.slice(6));
      for (let v = 0; v < V; ++v) heatColour(jointWeight(v, j), colours, 3 * v);
      setLegend(`weight of ${bones[j].name}`, 1);
      rigLabel.textContent = `Rig: the exported glTF, coloured by the weights of ${bones[j].name}`;
    } else {
      const top = mode === 'frame' ? Math.max(data.perFrame.max[f], 1e-30) : maxDistance;
      for (let v = 0; v < V; ++v) heatColour(distanceAt(f, v) / top, colours, 3 * v);
      setLegend(mode === 'frame' ? 'distance to the input, this frame (scene units)'
                                 : 'distance to the input (scene units)', top);
      rigLabel.textContent = 'Rig: the exported glTF, coloured by distance to the input';
    }
    shownGeometry.attributes.color.needsUpdate = true;
  }

  // Timeline.
  const slider = document.getElementById('frame');
  slider.max = String(F - 1);
  const playButton = document.getElementById('play');
  const frameLabel = document.getElementById('frame-label');
  const jointsToggle = document.getElementById('joints');
  const wireToggle = document.getElementById('wireframe');
  const times = data.frames.times;
  const worstFrame = data.distances.worstFrame;

  const v3 = new THREE.Vector3();
  function checkRig(f, input) {
    // Where the played rig puts each vertex, against where the solved rig
    // does: the input plus the reported distance (sampled on large meshes).
    let worst = 0;
    const stride = V > 20000 ? Math.ceil(V / 20000) : 1;
    for (let v = 0; v < V; v += stride) {
      skinned.getVertexPosition(v, v3);
      const d = Math.hypot(v3.x - input[3 * v], v3.y - input[3 * v + 1], v3.z - input[3 * v + 2]);
      worst = Math.max(worst, Math.abs(d - distanceAt(f, v)));
    }
    return worst;
  }

  function showFrame(f) {
    f = Math.max(0, Math.min(F - 1, f));
    state.frame = f;
    const input = framePositions(data.frames, V, f);
    inputGeometry.attributes.position.array.set(input);
    inputGeometry.attributes.position.needsUpdate = true;
    if (indices.length) inputGeometry.computeVertexNormals();
    if (action) {
      action.reset();
      action.time = times[f];
      mixer.update(0);
    }
    gltf.scene.updateMatrixWorld(true);
    if (rigPoints) {
      const shown = rigPoints.geometry.attributes.position;
      for (let v = 0; v < V; ++v) {
        skinned.getVertexPosition(v, v3);
        shown.setXYZ(v, v3.x, v3.y, v3.z);
      }
      shown.needsUpdate = true;
    }
    colourRig(f);
    for (const marker of jointGroup.children) marker.userData.bone.getWorldPosition(marker.position);
    placeBones();
    state.rigCheck = checkRig(f, input);
    document.getElementById('rig-check').textContent = 'up to ' + formatNumber(state.rigCheck) + ' apart';
    slider.value = String(f);
    frameLabel.textContent = `frame ${data.frames.labels[f]} (${f + 1} of ${F}), ${times[f].toFixed(3)} s; ` +
      `RMS ${formatNumber(data.perFrame.rms[f], 3)}, largest ${formatNumber(data.perFrame.max[f], 3)}`;
    drawFramePlot();
  }

  let framePlot = null;
  function drawFramePlot() {
    framePlot = drawPlot(document.getElementById('frame-plot'), {
      series: [
        { values: data.perFrame.rms, colour: '#2c6fbb', label: 'RMS' },
        { values: data.perFrame.max, colour: '#d1495b', label: 'largest' },
        { values: data.perFrame.jointMove, colour: '#b5b9c0', label: 'joint move (right)', right: true },
      ],
      xLabel: 'frame (click or drag to jump)', yLabel: 'scene units',
      rightLabel: 'joint move', marker: state.frame,
    });
  }
  function drawIterationPlot() {
    const errors = report.errorPerIteration || [];
    drawPlot(document.getElementById('iteration-plot'), {
      series: [{ values: errors, colour: '#2a9d8f', label: "the command's error" }],
      xLabel: 'iteration', yLabel: '', logScale: true, firstX: 1,
    });
  }

  let framed = false;
  function resize() {
    const width = canvas.clientWidth, height = canvas.clientHeight;
    renderer.setSize(width, height, false);
    camera.aspect = width / 2 / height;
    camera.updateProjectionMatrix();
    if (!framed) { frameCamera(); framed = true; }
    drawFramePlot();
    drawIterationPlot();
  }

  function render() {
    const width = canvas.clientWidth, height = canvas.clientHeight;
    const half = Math.floor(width / 2);
    renderer.setViewport(0, 0, half, height);
    renderer.setScissor(0, 0, half, height);
    for (const scene of [inputScene, rigScene]) {
      const light = scene.userData.light;
      light.position.copy(camera.position).add(camera.up.clone().multiplyScalar(size * 0.5));
      light.target.position.copy(controls.target);
    }
    renderer.render(inputScene, camera);
    renderer.setViewport(half, 0, width - half, height);
    renderer.setScissor(half, 0, width - half, height);
    renderer.render(rigScene, camera);
    state.drawnFrame = state.frame;
  }

  slider.addEventListener('input', () => { state.playing = false; updatePlay(); showFrame(Number(slider.value)); });
  function updatePlay() { playButton.textContent = state.playing ? 'Pause' : 'Play'; }
  let clock = 0;
  playButton.addEventListener('click', () => {
    state.playing = !state.playing;
    if (state.playing && state.frame >= F - 1) showFrame(0);
    clock = times[state.frame];
    updatePlay();
  });
  document.getElementById('worst').addEventListener('click', () => {
    state.playing = false; updatePlay(); showFrame(worstFrame);
  });
  jointsToggle.addEventListener('change', () => { jointGroup.visible = boneLines.visible = jointsToggle.checked; });
  jointGroup.visible = boneLines.visible = jointsToggle.checked;
  wireToggle.addEventListener('change', () => {
    inputMaterial.wireframe = wireToggle.checked;
    skinned.material.wireframe = wireToggle.checked;
  });
  const plotCanvas = document.getElementById('frame-plot');
  const scrubPlot = (event) => {
    if (!framePlot) return;
    const rect = plotCanvas.getBoundingClientRect();
    state.playing = false; updatePlay();
    showFrame(framePlot.indexAt(event.clientX - rect.left));
  };
  let dragging = false;
  plotCanvas.addEventListener('pointerdown', (e) => { dragging = true; scrubPlot(e); });
  plotCanvas.addEventListener('pointermove', (e) => { if (dragging) scrubPlot(e); });
  window.addEventListener('pointerup', () => { dragging = false; });
  window.addEventListener('keydown', (e) => {
    if (e.target instanceof HTMLInputElement) return;
    if (e.key === ' ') { e.preventDefault(); playButton.click(); }
    if (e.key === 'ArrowRight') showFrame(state.frame + 1);
    if (e.key === 'ArrowLeft') showFrame(state.frame - 1);
  });
  // Hovering the rig names the vertex (and its distance) or the joint.
  const raycaster = new THREE.Raycaster();
  const tooltip = document.getElementById('tooltip');
  const hit3 = new THREE.Vector3();
  canvas.addEventListener('pointerleave', () => { tooltip.hidden = true; });
  function jointUnder(e) {
    const rect = canvas.getBoundingClientRect();
    const x = e.clientX - rect.left, y = e.clientY - rect.top, half = Math.floor(rect.width / 2);
    if (x < half || !jointGroup.visible) return null;
    raycaster.setFromCamera(new THREE.Vector2(((x - half) / (rect.width - half)) * 2 - 1, 1 - (2 * y) / rect.height),
                            camera);
    const hit = raycaster.intersectObjects(jointGroup.children, false)[0];
    return hit ? jointGroup.children.indexOf(hit.object) : null;
  }
  canvas.addEventListener('click', (e) => {
    const j = jointUnder(e);
    if (j !== null) { colourSelect.value = `joint:${j}`; showFrame(state.frame); }
  });
  canvas.addEventListener('pointermove', (e) => {
    tooltip.hidden = true;
    const rect = canvas.getBoundingClientRect();
    const x = e.clientX - rect.left, y = e.clientY - rect.top, half = Math.floor(rect.width / 2);
    if (e.buttons || x < half) return;
    raycaster.setFromCamera(new THREE.Vector2(((x - half) / (rect.width - half)) * 2 - 1, 1 - (2 * y) / rect.height),
                            camera);
    let text = null;
    const joint = jointGroup.visible ? raycaster.intersectObjects(jointGroup.children, false)[0] : null;
    if (joint) {
      text = `joint ${joint.object.userData.bone.name} (click for its weights)`;
    } else {
      raycaster.params.Points.threshold = size * 0.01;
      if (!rigPoints) skinned.computeBoundingSphere();
      else rigPoints.geometry.computeBoundingSphere();
      const hit = raycaster.intersectObject(rigPoints || skinned, false)[0];
      if (hit && rigPoints) hit.face = { a: hit.index, b: hit.index, c: hit.index };
      if (hit && hit.face) {
        let best = hit.face.a, bestDistance = Infinity;
        for (const v of [hit.face.a, hit.face.b, hit.face.c]) {
          skinned.getVertexPosition(v, hit3).applyMatrix4(skinned.matrixWorld);
          const d = hit3.distanceToSquared(hit.point);
          if (d < bestDistance) { bestDistance = d; best = v; }
        }
        const mode = colourSelect.value;
        text = mode.startsWith('joint:')
          ? `vertex ${best}: weight ${formatNumber(jointWeight(best, Number(mode.slice(6))), 3)} of ${bones[Number(mode.slice(6))].name}`
          : `vertex ${best}: ${formatNumber(distanceAt(state.frame, best), 3)} from the input`;
      }
    }
    if (text) {
      tooltip.textContent = text;
      tooltip.style.left = `${x + 14}px`;
      tooltip.style.top = `${y + 12}px`;
      tooltip.hidden = false;
    }
  });
  window.addEventListener('resize', resize);
  window.vantrelShowFrame = showFrame;
  state.worstFrame = worstFrame;

  buildTable(report, data);
  resize();
  showFrame(0);

  let last = performance.now();
  function tick(now) {
    const dt = Math.min(0.1, (now - last) / 1000);
    last = now;
    if (state.playing) {
      clock += dt;
      let f = state.frame;
      while (f + 1 < F && times[f + 1] <= clock) ++f;
      if (f !== state.frame) showFrame(f);
      if (f >= F - 1) { state.playing = false; updatePlay(); }
    }
    render();
    if (!state.ready) {
      state.ready = true;
      window.vantrelReady = true;
      document.documentElement.dataset.ready = 'true';
    }
    requestAnimationFrame(tick);
  }
  requestAnimationFrame(tick);
}

main().catch((e) => fail(e && e.stack ? e.stack : e));
