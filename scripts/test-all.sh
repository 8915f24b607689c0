#!/usr/bin/env bash
# Builds every preset (linux, win32, win64) and runs every test: natively, and
# the Windows builds under wine. Installs missing packages first (as root).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-debian.sh

presets=(linux win32 win64)
for preset in "${presets[@]}"; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done

# The Windows release archive, and what it holds.
echo "== release archive"
cmake --build --preset win32 --target package
python3 - build/win32/pelmora-*-win32.zip <<'PY'
import sys, zipfile
names = sorted(zipfile.ZipFile(sys.argv[1]).namelist())
wanted = ["README.txt", "database.txt", "pelmora.exe", "pelmora.ini"]
sys.exit(0 if names == wanted else f"{sys.argv[1]} holds {names}, not {wanted}")
PY

# The benchmarks' ratios, for the record: they never decide the outcome.
# Short runs (0.1 s each) keep this step to seconds; docs/PERFORMANCE.md
# gives the full-length check.
if [ -x build/linux/bench/pelmora-bench ]; then
  echo "== benchmark ratios (informative)"
  build/linux/bench/pelmora-bench --check --benchmark_color=false --benchmark_min_time=0.1 || true
fi

status=0
# The sanitizer build's whole suite, and each fuzz target briefly over its corpus.
echo "== sanitizers and fuzz targets"
bash scripts/test-sanitized.sh || status=1

for preset in "${presets[@]}"; do
  echo "== tests: $preset"
  ctest --preset "$preset" || status=1
done

# Let the wine server of the test prefix wind down before we return.
WINEPREFIX="$PWD/build/wineprefix" wineserver -w 2>/dev/null || true
exit $status
