#!/usr/bin/env bash
# Times the program's stages on the production-size character (24,229
# vertices, 300 frames, PC2 + OBJ) and compares its peak memory with the
# sampled point arrays, (F + 1) x V points of 32 bytes.
#   bash bench/production.sh [PROGRAM] [DATASETS] [--runs N] [--keep DIR]
# Defaults: build/cli/vantrel, bench/generated, 1 run. Nothing is asserted:
# the numbers are printed for people to compare.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program="$root/build/cli/vantrel"
datasets="$root/bench/generated"
runs=1
keep=""
positional=0
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    -h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "production.sh: unknown option '$1'" >&2; exit 2 ;;
    *)
      case $positional in
        0) program=$1 ;;
        1) datasets=$1 ;;
        *) echo "production.sh: too many arguments" >&2; exit 2 ;;
      esac
      positional=$((positional + 1)); shift ;;
  esac
done

name=mocap-0103-production-dqs
pc2="$datasets/$name.pc2"
obj="$datasets/$name.obj"
if [ ! -x "$program" ]; then
  echo "production.sh: no program at $program; build it with" >&2
  echo "  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release && cmake --build build --target vantrel" >&2
  exit 2
fi
if [ ! -f "$pc2" ] || [ ! -f "$obj" ]; then
  echo "production.sh: $pc2 or its .obj is missing; make it with" >&2
  echo "  bench/data/make-datasets --production --only mocap-0103-production --out $datasets" >&2
  exit 2
fi
if [ ! -x /usr/bin/time ]; then
  echo "production.sh: /usr/bin/time is missing (Debian package 'time')" >&2
  exit 2
fi
python=/usr/bin/python3
[ -x "$python" ] || python=python3

if [ -n "$keep" ]; then
  mkdir -p "$keep"; out=$keep
else
  out=$(mktemp -d); trap 'rm -rf "$out"' EXIT
fi

echo "program  $program"
echo "input    $pc2 ($(du -m "$pc2" | cut -f1) MB)"
echo "command  decompose $name.pc2 --topology $name.obj -b 40 -k 8 -n 30 --break-percent 0"
for ((run = 1; run <= runs; ++run)); do
  report="$out/report-$run.json"
  timing="$out/time-$run.txt"
  # -q keeps the output to the numbers below; the time log holds the
  # whole process's peak, including what the report's own stages miss.
  /usr/bin/time -v -o "$timing" "$program" decompose "$pc2" --topology "$obj" \
    -o "$out/rig-$run.glb" -b 40 -k 8 -n 30 --break-percent 0 --report "$report" -q
  "$python" - "$pc2" "$report" "$timing" "$run" <<'PY'
import json, struct, sys
pc2, report_path, timing_path, run = sys.argv[1:5]
with open(pc2, "rb") as f:
    header = f.read(32)
points, samples = struct.unpack_from("<i", header, 16)[0], struct.unpack_from("<i", header, 28)[0]
arrays_mib = (samples + 1) * points * 32 / 2**20
report = json.load(open(report_path))
seconds = report.get("seconds", {})
process_kib = None
wall = None
for line in open(timing_path):
    if "Maximum resident set size" in line:
        process_kib = int(line.rsplit(":", 1)[1])
    if "Elapsed (wall clock)" in line:
        wall = line.rsplit(": ", 1)[1].strip()
print(f"run {run}: V {points}, F {samples}, point arrays (F + 1) x V x 32 B = {arrays_mib:.1f} MiB")
for stage in ("read", "jointPlacement", "scene", "solve", "skeleton", "export", "total"):
    if stage in seconds:
        print(f"  {stage:<15}{seconds[stage]:8.2f} s")
peak = report.get("peakMemoryMiB")
if peak is not None:
    print(f"  {'peak (report)':<15}{peak:8.1f} MiB  = {peak / arrays_mib:.2f} x point arrays")
if process_kib is not None:
    mib = process_kib / 1024
    print(f"  {'peak (time -v)':<15}{mib:8.1f} MiB  = {mib / arrays_mib:.2f} x point arrays"
          f"  (wall {wall})")
PY
done
