#!/usr/bin/env bash
# Builds every preset (linux, win32, win64) and runs every test: natively, and
# the Windows builds under wine. Installs missing packages first (as root).
set -euo pipefail
cd "$(dirname "$0")/.."

# Each step's header says when it began, in seconds since the start.
step() { echo "== $* (at ${SECONDS} s)"; }

bash scripts/setup-debian.sh
mkdir -p build
# Where the kernel runs no 32-bit program, wine's 64-bit loader alone; the
# 32-bit build is then built and its archive checked but not run, and the
# 64-bit build runs the whole-program tests in its place.
source scripts/wine-loader.sh
pelmora_wine_loader "$PWD"
[ -z "$PELMORA_NO_32BIT" ] || echo "== this machine runs no 32-bit program: the win32 build is not run; win64 runs every Windows test"

# The browser tests' tools from the npm registry (axe-core and Lighthouse, pinned by their
# lock) into npm's cache while the network is at hand: the suites below run
# in namespaces without it, and each installs them from the cache.
step "browser test tools (npm ci)"
tools=$(mktemp -d)
cp scripts/browser-tools/package.json scripts/browser-tools/package-lock.json "$tools"
(cd "$tools" && npm ci --no-audit --no-fund --loglevel=error)
rm -rf "$tools"

# Each suite runs in a network namespace of its own when it can (as root), so
# that two suites binding the monitor server's fixed port never meet and
# can run side by side: the sanitizer build, its suite and the fuzz targets
# (scripts/test-sanitized.sh) then run from the start at a lower priority,
# beside the three presets' builds and suites, most of whose time is spent
# waiting on wine.
own_network() { unshare --net sh -c 'ip link set lo up && exec "$@"' own_network "$@"; }
sanitized=
if unshare --net true 2>/dev/null; then
  step "sanitizers and fuzz targets: in the background (build/sanitized.log)"
  (own_network nice -n 10 bash scripts/test-sanitized.sh > build/sanitized.log 2>&1) &
  sanitized=$!
fi

# The set-up's build list checked in a minimal Debian made for it, and the
# Debian packages made there installed and checked in a copy of it (a few
# minutes, mostly downloading and compiling, at the lowest priority). It
# needs Debian's mirror, so it runs outside any network namespace (the
# install test gives its programs a loopback network of their own).
fresh=
if [ "$(id -u)" -eq 0 ]; then
  step "a fresh minimal Debian: in the background (build/fresh-debian.log)"
  (nice -n 15 bash scripts/test-fresh-debian.sh > build/fresh-debian.log 2>&1) &
  fresh=$!
fi

presets=(linux win32 win64)
for preset in "${presets[@]}"; do
  step "build: $preset"
  if [ "$preset" = win64 ]; then
    cmake --preset "$preset" -DPELMORA_WINDOWS_WHOLE_SUITE_HERE=$([ -n "$PELMORA_NO_32BIT" ] && echo ON || echo OFF)
  else
    cmake --preset "$preset"
  fi
  cmake --build --preset "$preset"
done

# The Windows release archives, 32- and 64-bit: what each holds, and its
# programs started under wine (scripts/check-windows-archive.sh).
step "release archives"
for preset in win32 win64; do
  cmake --build --preset "$preset" --target package
  bash scripts/check-windows-archive.sh build/$preset/pelmora-*-$preset.zip
done

# The benchmarks' ratios, for the record: they never decide the outcome.
# Short runs (0.1 s each) keep this step to seconds; docs/PERFORMANCE.md
# gives the full-length check.
if [ -x build/linux/bench/pelmora-bench ]; then
  step "benchmark ratios (informative)"
  build/linux/bench/pelmora-bench --check --benchmark_color=false --benchmark_min_time=0.1 || true
fi
# The dashboard's fleet page with 10,000 simulated machines in headless
# Chromium (about 40 s; free loopback ports, so outside any namespace).
if [ -x build/linux/tools/simulated-fleet ]; then
  step "dashboard benchmark (informative)"
  /usr/bin/python3 bench/dashboard_bench.py build/linux || true
fi

status=0
if [ -n "$sanitized" ]; then
  # The Linux suite beside the 32-bit one (each waits on its programs far
  # more than it computes); its output follows.
  (own_network ctest --preset linux > build/linux-tests.log 2>&1) &
  linux_tests=$!
  if [ -z "$PELMORA_NO_32BIT" ]; then
    step "tests: win32 (the linux suite beside it: build/linux-tests.log)"
    own_network ctest --preset win32 || status=1
  else
    step "tests: win32 not run (no 32-bit programs here); win64, with every whole-program test, in its place"
    own_network ctest --preset win64 || status=1
  fi
  wait "$linux_tests" || status=1
  step "tests: linux"
  cat build/linux-tests.log
  if [ -z "$PELMORA_NO_32BIT" ]; then
    step "tests: win64"
    own_network ctest --preset win64 || status=1
  fi
else
  for preset in "${presets[@]}"; do
    if [ "$preset" = win32 ] && [ -n "$PELMORA_NO_32BIT" ]; then
      step "tests: win32 not run (no 32-bit programs here)"
      continue
    fi
    step "tests: $preset"
    ctest --preset "$preset" || status=1
  done
fi

step "sanitizers and fuzz targets"
if [ -n "$sanitized" ]; then
  wait "$sanitized" || status=1
  cat build/sanitized.log
else
  bash scripts/test-sanitized.sh || status=1
fi

if [ -n "$fresh" ]; then
  step "the set-up in a fresh minimal Debian"
  wait "$fresh" || { status=1; tail -n 60 build/fresh-debian.log; }
  tail -n 1 build/fresh-debian.log
fi

# Let the wine server of the test prefix wind down before we return.
WINEPREFIX="$PWD/build/wineprefix" wineserver -w 2>/dev/null || true
step "done"
exit $status
