#!/usr/bin/env bash
# Runs blender_check.py in Debian's Blender, headless: exits 77 (skipped)
# when blender is not installed (scripts/setup installs it).
#   run_blender_check.sh VANTREL OUT_DIR
set -euo pipefail
if ! command -v blender >/dev/null 2>&1; then
  echo "blender_import: SKIPPED: blender is not installed (scripts/setup installs it)"
  exit 77
fi
here="$(cd "$(dirname "$0")" && pwd)"
rm -rf "$2"
exec blender -b --factory-startup --python-exit-code 1 --python "$here/blender_check.py" -- "$1" "$2"
