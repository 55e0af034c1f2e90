#!/usr/bin/env node
// Bundles viewer.js with three.js into dist/viewer.js, one IIFE script that
// the program inlines into each report page. Run by scripts/setup.
'use strict';
const path = require('path');
const esbuild = require('esbuild');

esbuild.build({
  entryPoints: [path.join(__dirname, 'viewer.js')],
  outfile: path.join(__dirname, 'dist', 'viewer.js'),
  bundle: true,
  format: 'iife',
  minify: true,
  target: 'es2020',
  legalComments: 'eof',
  logLevel: 'warning',
}).catch(() => process.exit(1));
