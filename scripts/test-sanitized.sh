#!/usr/bin/env bash
# The Linux build under AddressSanitizer and UndefinedBehaviorSanitizer: the
# asan preset's unit and whole-program tests, then every fuzz target (the
# fuzz preset, clang and libFuzzer) for FUZZ_SECONDS (10) over its corpus.
# Fails on a failing test, on any sanitizer report, and on any fuzz finding.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
fuzz_seconds=${FUZZ_SECONDS:-10}

# Each step's header says when it began, in seconds since the start.
step() { echo "== $* (at ${SECONDS} s)"; }

bash scripts/setup-debian.sh

# --- The test suite under the sanitizers ---------------------------------------
step "build: asan"
cmake --preset asan
cmake --build --preset asan
# The fuzz build goes on beside the suite, at the lowest priority, so it
# takes the time the suite's programs spend waiting and little of the rest.
step "build: fuzz, in the background (build/fuzz-build.log)"
(nice -n 19 sh -c 'cmake --preset fuzz && cmake --build --preset fuzz' > build/fuzz-build.log 2>&1) &
fuzz_build=$!
reports=$root/build/asan/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
# Reports also go to files, so that one from a program a scenario runs in
# the background is not lost with its output.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
status=0
step "tests: asan"
ctest --test-dir build/asan --output-on-failure -j 2 || status=1
if [ -n "$(ls -A "$reports")" ]; then
    echo "== sanitizer reports:" >&2
    cat "$reports"/* >&2
    status=1
fi
unset ASAN_OPTIONS UBSAN_OPTIONS

# --- The fuzz targets ------------------------------------------------------------
if ! wait "$fuzz_build"; then
    cat build/fuzz-build.log
    echo "the fuzz build failed" >&2
    exit 1
fi
step "fuzz build done"

# One target over a copy of its corpus (paths absolute: a target works in a
# scratch directory of its own). Findings land in its directory.
fuzz_one() { # TARGET
    local work=$root/build/fuzz/smoke/$1
    rm -rf "$work"
    mkdir -p "$work/corpus"
    cp "$root/tests/fuzz/corpus/$1/"* "$work/corpus/"
    if "$root/build/fuzz/tests/fuzz/fuzz_$1" -max_total_time="$fuzz_seconds" -timeout=30 \
        -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" >"$work/log.txt" 2>&1; then
        echo "fuzz_$1: $(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log.txt") runs, no finding"
    else
        echo "fuzz_$1: FINDING (see $work/log.txt)" >&2
        tail -n 40 "$work/log.txt" >&2
        return 1
    fi
}

# Two at a time (never two on the monitor server's fixed port), under the
# machine's CPU lock that benchmark runs also take. The answer-reader target
# joins the stats-site pair: that one mostly waits on its loopback peer.
groups=("settings monitor_reports" "client_identity unit_file" "project_database stats_site http_answer"
        "server_record server_unit_query server_http_request server_proxy_header"
        "bridge_updates bridge_pyon")
export -f fuzz_one
export root fuzz_seconds
step "fuzz targets, ${fuzz_seconds} s each"
for group in "${groups[@]}"; do
    flock /tmp/pelmora-cpu.lock bash -c '
        pids=()
        for target in '"$group"'; do fuzz_one "$target" & pids+=($!); done
        result=0
        for pid in "${pids[@]}"; do wait "$pid" || result=1; done
        exit $result' || status=1
done
step "done"
exit $status
