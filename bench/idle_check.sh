#!/usr/bin/env bash
# What the headless program does between ticks, in a client directory of its
# own with a pelmora.ini without a delay line (so a 5-second period), no
# reports and no submissions:
#   - strace -c attached after start-up for STRACE seconds (default 30, six
#     periods): the system calls of the whole stretch, and per period;
#   - the CPU time of a whole run of RUN seconds (default 60), start-up
#     included, from /proc/<pid>/schedstat and from getrusage.
#   bash bench/idle_check.sh [RUN [STRACE]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program=$root/build/linux/pelmora
run_seconds=${1:-60}
strace_seconds=${2:-30}
period=5

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/pelmora"
cp "$root/demo/unitinfo.txt" "$root/demo/client.cfg" "$scratch/"
cp "$root/demo/pelmora/database.txt" "$scratch/pelmora/"
printf 'cpunum 1\nfhlog 1\nstats 0\nkorv! 0\n' > "$scratch/pelmora/pelmora.ini"
cd "$scratch/pelmora"

# 1. The system calls between ticks.
"$program" > /dev/null 2>&1 &
pid=$!
sleep 1
timeout -s INT "$strace_seconds" strace -c -o "$scratch/strace.txt" -p "$pid" 2> /dev/null || true
kill -TERM "$pid"; wait "$pid" || true
periods=$(( strace_seconds / period ))
echo "system calls over ${strace_seconds} s ($periods periods) after start-up:"
awk -v n="$periods" '
  $1 ~ /^[0-9.]+$/ && NF >= 5 && $NF != "total" { name = $NF; calls = $4;
    printf "  %-14s %6d  (%.1f a period)\n", name, calls, calls / n }
  $NF == "total" { printf "  %-14s %6d  (%.1f a period)\n", "total", $4, $4 / n }' "$scratch/strace.txt"

# 2. The CPU time of a whole run.
/usr/bin/time -f '%U %S' -o "$scratch/rusage" "$program" > /dev/null 2>&1 &
time_pid=$!
sleep 0.5
pid=$(pgrep -P "$time_pid")
sleep "$(( run_seconds ))"
read -r on_cpu_ns _ < "/proc/$pid/schedstat"
kill -TERM "$pid"; wait "$time_pid" || true
read -r user system < "$scratch/rusage"
echo "CPU time over ${run_seconds} s: $(awk -v ns="$on_cpu_ns" 'BEGIN { printf "%.1f", ns / 1e6 }') ms on the CPU (schedstat); user ${user} s + system ${system} s (getrusage, 10 ms steps)"
