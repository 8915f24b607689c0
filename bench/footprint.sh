#!/usr/bin/env bash
# The headless program's footprint over a short run that reports to a
# loopback monitor server, sees a new unit and submits it to a loopback stats
# site, then ends on the server's exit command (about 11 s a run, two runs):
#   - its peak heap, by heaptrack (or, without heaptrack, not measured);
#   - its peak resident memory, beside an empty program linked with the same
#     libraries (build/linux/bench/pelmora-empty);
#   - the size of the 32-bit Windows program, when it has been built.
# The loopback peers run in a network namespace of their own when one can be
# made (root), so the fixed monitor-server port 25876 is not shared.
#   bash bench/footprint.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/linux

if [ -z "${PELMORA_OWN_NET:-}" ] && command -v ip > /dev/null && unshare -n true 2>/dev/null; then
  exec unshare -n env PELMORA_OWN_NET=1 bash "$0" "$@"
fi
[ -n "${PELMORA_OWN_NET:-}" ] && ip link set lo up

scratch=$(mktemp -d)
peers=()
cleanup() {
  for pid in "${peers[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

listening_port() { # file: waits for the peer's first line, prints its port
  for _ in $(seq 200); do
    if grep -q '^listening on' "$1" 2>/dev/null; then sed -n '1s/.*://p' "$1"; return; fi
    sleep 0.05
  done
  echo "a loopback peer did not start" >&2; exit 1
}

# One run in a fresh client directory: "$@" is the command that runs the program.
run_once() {
  local dir=$scratch/run$1; shift
  mkdir -p "$dir/pelmora"
  cp "$root/demo/unitinfo.txt" "$root/demo/client.cfg" "$dir/"
  cp "$root/demo/pelmora/database.txt" "$dir/pelmora/"
  printf '0\n0\n1\n' > "$dir/commands"   # start-up, first tick, then exit
  "$build/tools/fake-monitor-server" -s "$dir/commands" > "$dir/monitor.out" & peers+=($!)
  "$build/tools/fake-stats-site" -p 0 > "$dir/site.out" & peers+=($!)
  listening_port "$dir/monitor.out" > /dev/null
  local site_port; site_port=$(listening_port "$dir/site.out")
  printf 'cpunum 1\nfhlog 1\nstats 1\nipadd 127.0.0.1\nkorv! 1\nkhost 127.0.0.1:%s\n' "$site_port" \
    > "$dir/pelmora/pelmora.ini"
  ( cd "$dir/pelmora" && "$@" > /dev/null 2> "$dir/stderr" ) &
  local program=$!
  sleep 1   # the client moves on before the first tick (5 s)
  sed -i 's/^Name: .*/Name: p943_R1_C2_G3/' "$dir/unitinfo.txt"
  wait "$program"
  grep -q 'unitstats.php' "$dir/site.out" || { echo "run $dir: no submission" >&2; exit 1; }
  [ "$(grep -c '^record' "$dir/monitor.out")" -ge 3 ] || { echo "run $dir: too few reports" >&2; exit 1; }
  kill "${peers[@]}" 2>/dev/null || true; peers=()
}

if command -v heaptrack > /dev/null; then
  run_once 1 heaptrack -o "$scratch/heap" "$build/pelmora"
  heaptrack_print -f "$scratch"/heap.* 2>/dev/null | grep -E '^(peak heap memory consumption|calls to allocation functions|peak RSS)' \
    | sed 's/^/heaptrack: /'
  echo "largest peak contributors:"
  heaptrack_print -f "$scratch"/heap.* --print-peaks 1 --print-allocators 0 --print-temporary 0 \
    --print-leaks 0 --peak-limit 6 --sub-peak-limit 0 --print-histogram 0 2>/dev/null \
    | sed -n '/PEAK MEMORY CONSUMERS/,$p' | grep -E '^[0-9.]+[KMG]?B? peak memory consumed' -A1 | head -18
else
  echo "heaptrack not installed: peak heap not measured"
fi

run_once 2 /usr/bin/time -f '%M' -o "$scratch/rss" "$build/pelmora"
/usr/bin/time -f '%M' -o "$scratch/rss-empty" "$build/bench/pelmora-empty"
echo "peak resident memory: pelmora $(cat "$scratch/rss") KiB, empty program with the same libraries $(cat "$scratch/rss-empty") KiB"

exe=$root/build/win32/pelmora.exe
if [ -f "$exe" ]; then
  size=$(stat -c %s "$exe")
  echo "build/win32/pelmora.exe: $size bytes ($(( (1048576 - size) )) bytes under 1 MiB)"
fi
