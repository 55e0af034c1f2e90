#!/usr/bin/env bash
# Runs the glTF writer tests into a fresh directory and validates every file
# they write with the Khronos validator: zero errors allowed. A missing
# validator (no npm registry when scripts/setup ran) fails this test loudly.
# Usage: validate_written_gltf.sh TEST_EXECUTABLE VALIDATOR_DIR OUTPUT_DIR
set -euo pipefail
exe=$1 validator=$2 out=$3

fail() { echo "gltf_validator: FAILED: $*" >&2; exit 1; }

command -v node >/dev/null 2>&1 || fail "node is not installed (run scripts/setup)"
[ -d "$validator/node_modules/gltf-validator" ] ||
  fail "the Khronos glTF validator is not installed in $validator/node_modules;" \
       "run scripts/setup, which installs it with 'npm ci' from the npm registry"

rm -rf "$out"
mkdir -p "$out"
VANTREL_GLTF_OUTPUT_DIR="$out" "$exe" --gtest_filter='GltfWriter.*' >"$out/writer-tests.log" 2>&1 ||
  { cat "$out/writer-tests.log"; fail "the writer tests failed"; }

shopt -s nullglob
files=("$out"/*.glb "$out"/*.gltf)
[ ${#files[@]} -gt 0 ] || fail "the writer tests wrote no glTF file into $out"
echo "validating ${#files[@]} files"
node "$validator/validate.js" "${files[@]}" || fail "the validator reported errors"
