#!/usr/bin/env node
// Validates glTF 2.0 files (.gltf or .glb) with the Khronos validator.
// Usage: node validate.js FILE... ; exits 1 when any file has an error (or
// cannot be read), printing every issue found, 2 when the validator itself is
// missing (run scripts/setup).
'use strict';
const fs = require('fs');
const path = require('path');

let validator;
try {
  validator = require('gltf-validator');
} catch (e) {
  console.error('validate.js: the gltf-validator package is not installed in ' +
                __dirname + ' (run scripts/setup; it needs the npm registry): ' + e.message);
  process.exit(2);
}

const severities = ['error', 'warning', 'info', 'hint'];

async function validateFile(file) {
  const bytes = new Uint8Array(fs.readFileSync(file));
  const report = await validator.validateBytes(bytes, {
    uri: path.basename(file),
    maxIssues: 0,
    externalResourceFunction: (uri) => new Promise((resolve, reject) => {
      const full = path.resolve(path.dirname(file), decodeURIComponent(uri));
      fs.readFile(full, (err, data) => err ? reject(err.toString()) : resolve(new Uint8Array(data)));
    }),
  });
  const issues = report.issues;
  for (const m of issues.messages) {
    console.log(`${file}: ${severities[m.severity] || m.severity}: ${m.code}: ${m.message}` +
                (m.pointer ? ` (${m.pointer})` : '') + (m.offset !== undefined ? ` (byte ${m.offset})` : ''));
  }
  console.log(`${file}: ${issues.numErrors} errors, ${issues.numWarnings} warnings, ` +
              `${issues.numInfos} infos, ${issues.numHints} hints`);
  return issues.numErrors === 0;
}

(async () => {
  const files = process.argv.slice(2);
  if (files.length === 0) {
    console.error('usage: node validate.js FILE...');
    process.exit(2);
  }
  let ok = true;
  for (const f of files) {
    try {
      if (!(await validateFile(f))) ok = false;
    } catch (e) {
      console.log(`${f}: error: ${e && e.message ? e.message : e}`);
      ok = false;
    }
  }
  process.exit(ok ? 0 : 1);
})();
