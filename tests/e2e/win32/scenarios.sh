#!/usr/bin/env bash
# Whole-program scenarios for pelmora.exe under wine, on an Xvfb display of
# their own. Each scenario runs the program in a fresh copy of demo/ (working
# directory client/pelmora, reading ../unitinfo.txt), drives it with
# probe.exe and checks what the dialog shows, the exit status and the log.
#
#   scenarios.sh SCENARIO
#
# Environment (ctest sets it): PELMORA_EXE, PELMORA_PROBE, PELMORA_DEMO,
# PELMORA_E2E_OUT (output directory), PELMORA_E2E_PREFIX (the wine prefix
# these tests use; made on first use, shared by the 32- and 64-bit runs,
# which take turns through a lock on it).
set -uo pipefail

scenario=${1:?usage: scenarios.sh SCENARIO}
exe=${PELMORA_EXE:?}
probe_exe=${PELMORA_PROBE:?}
demo=${PELMORA_DEMO:?}
out=${PELMORA_E2E_OUT:?}/$scenario
prefix=${PELMORA_E2E_PREFIX:?}

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
client=$out/client
program=$client/pelmora/pelmora.exe
xvfb_pid= pelmora_pid=

fail() {
  echo "FAIL [$scenario]: $*" >&2
  [ -f "$out/transcript.txt" ] && { echo "--- probe transcript:" >&2; tail -n 40 "$out/transcript.txt" >&2; }
  [ -f "$client/pelmora/pelmora_log.txt" ] && { echo "--- pelmora_log.txt:" >&2; cat "$client/pelmora/pelmora_log.txt" >&2; }
  exit 1
}

cleanup() {
  [ -n "$pelmora_pid" ] && kill "$pelmora_pid" 2>/dev/null
  # Everything left in the prefix is this scenario's (the lock says so).
  timeout 20 wineserver -k 2>/dev/null 9>&-
  timeout 20 wineserver -w 2>/dev/null 9>&-
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
}

rm -rf "$out"
mkdir -p "$out"
: >"$out/transcript.txt"

# One scenario at a time in the prefix, whichever build runs it.
exec 9>"$prefix.lock"
flock -w 600 9 || fail "the wine prefix stayed locked"
trap cleanup EXIT

# The prefix: a virtual desktop (the window gets its frame and caption
# without a window manager, and the tray shows as a small window of its own
# while it holds an icon) and wine's own fonts ("Helv" is MS Sans Serif).
if [ ! -f "$prefix/.pelmora-e2e" ]; then
  rm -rf "$prefix"
  mkdir -p "$prefix"
  timeout 300 wineboot --init >"$out/wineboot.log" 2>&1 9>&-
  for setting in 'HKCU\Software\Wine\Explorer|Desktop|REG_SZ|Default' \
                 'HKCU\Software\Wine\Explorer\Desktops|Default|REG_SZ|1280x1024' \
                 'HKCU\Software\Wine\Explorer\Desktops|EnableShell|REG_DWORD|0'; do
    IFS='|' read -r key name kind value <<<"$setting"
    timeout 60 wine reg add "$key" /v "$name" /t "$kind" /d "$value" /f >>"$out/wineboot.log" 2>&1 9>&- \
      || fail "could not set $key $name"
  done
  [ -d /usr/share/wine/fonts ] && cp /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/" 2>/dev/null
  timeout 60 wineserver -w 9>&-
  [ -f "$prefix/system.reg" ] || fail "wineboot made no prefix (see $out/wineboot.log)"
  touch "$prefix/.pelmora-e2e"
fi

# A display of our own: Xvfb picks a free number and writes it to fd 3.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$out/display" 2>"$out/xvfb.log" 9>&- &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$out/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start (see $out/xvfb.log)"
  sleep 0.1
done
[ -s "$out/display" ] || fail "Xvfb gave no display number"
export DISPLAY=:$(head -n 1 "$out/display")

# --- helpers -------------------------------------------------------------

# A fresh client directory with the given pelmora.ini (printf format).
prepare_client() {
  cp -r "$demo" "$client"
  printf "$1" >"$client/pelmora/pelmora.ini"
  cp "$exe" "$program"
}

start_pelmora() {
  (cd "$client/pelmora" && exec timeout 120 wine pelmora.exe >"$out/pelmora.out" 2>&1 9>&-) &
  pelmora_pid=$!
}

# Runs probe commands; their output is in $said and in the transcript.
probe() {
  echo "> probe $*" >>"$out/transcript.txt"
  said=$(timeout 60 wine "$probe_exe" --program "$program" "$@" 2>>"$out/transcript.txt" 9>&-)
  local status=$?
  printf '%s\n' "$said" >>"$out/transcript.txt"
  [ $status -eq 0 ] || fail "probe $* ended with $status: $(printf '%s' "$said" | tail -n 1)"
}

# Each argument is a line that the last probe output must hold.
expect() {
  local line
  for line in "$@"; do
    grep -qxF -- "$line" <<<"$said" || fail "expected '$line' in: $(tr '\n' ' ' <<<"$said")"
  done
}

# The window's three texts and the bar, line breaks written as \n.
expect_dialog() {
  expect "text101=$1" "text106=$2" "text104=$3" "bar=$4"
}

# Waits for the program to end and checks its exit status.
expect_exit() { # STATUS [SECONDS]
  local deadline=$((SECONDS + ${2:-20})) status
  while kill -0 "$pelmora_pid" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "pelmora.exe did not end"
    sleep 0.2
  done
  wait "$pelmora_pid"
  status=$?
  pelmora_pid=
  [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
}

# The log as text: the program writes it in Windows' text mode (CR LF).
log() { tr -d '\r' <"$client/pelmora/pelmora_log.txt" 2>/dev/null; }

expect_summary() {
  log | grep -qxF "Pelmora stats after shutdown" || fail "no shutdown summary in pelmora_log.txt"
  [ -z "${1:-}" ] || log | grep -qxF "$1" || fail "no line '$1' in pelmora_log.txt"
}

expect_no_summary() {
  [ -f "$client/pelmora/pelmora_log.txt" ] || fail "no pelmora_log.txt"
  ! log | grep -qF "after shutdown" || fail "a shutdown summary was written"
}

# The client moves on: ../unitinfo.txt replaced in one step.
write_unit() { # name download-date due-line progress
  printf 'Current Work Unit\r\n-----------------\r\nName: %s\r\nTag: P0000R0C0G0\r\nDownload time: %s\r\n%sProgress: %s%%  [|_________]\r\n' \
    "$1" "$2" "$3" "$4" >"$client/unitinfo.new"
  mv "$client/unitinfo.new" "$client/unitinfo.txt"
}

screenshot() {
  import -display "$DISPLAY" -window root "$out/$1" 2>>"$out/xvfb.log" || echo "no screenshot $1" >&2
}

# What the demo unit shows right after start-up.
demo_unit="p2665_R_Zn_Cyc_R3\\nCore: Tinker\\nPoint Value: 357\\nTime(minutes): 0"
demo_counters_cpu3="CPU#: 3\\nWU#: 1\\nStart Date: March 3\\nDue by: March 17"
# Settings without a delay line: the poll timer runs at its 5-second minimum.
base_settings='cpunum 3\nfhlog 1\n'

# A loopback peer (the Linux build's tools) started with the given
# arguments, its output in $out/NAME.txt; waits until it listens and sets
# $port. The scenario is skipped without the tool.
start_peer() { # NAME TOOL ARG...
  local name=$1 tool=$2
  shift 2
  [ -x "$tool" ] || { echo "SKIP [$scenario]: no $name tool (build the linux preset)"; exit 77; }
  "$tool" "$@" >"$out/$name.txt" 2>&1 9>&- &
  peer_pid=$!
  trap 'kill "$peer_pid" 2>/dev/null; cleanup' EXIT
  port=
  for _ in $(seq 50); do
    port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$out/$name.txt")
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  fail "the $name did not start: $(cat "$out/$name.txt")"
}

# Waits, bounded, until COUNT lines of FILE match PATTERN.
wait_lines() { # PATTERN FILE COUNT SECONDS
  local deadline=$((SECONDS + $4))
  until [ "$(grep -c -- "$1" "$2" 2>/dev/null)" -ge "$3" ]; do
    [ $SECONDS -lt $deadline ] || fail "fewer than $3 lines '$1' after $4 s: $(tail -n 5 "$2")"
    sleep 0.2
  done
}

# A finished unit's group is whole: its lines (the frames line only with
# stats 1) and the next unit's.
expect_unit_groups() { # COUNT [frames]
  local line
  for line in "completed in [0-9.]* minutes on " "^Average frame time: " "^Beginning process for " \
      ${2:+"^[0-9]* frames total$"}; do
    [ "$(log | grep -c -- "$line")" = "$1" ] || fail "not $1 lines '$line' in pelmora_log.txt"
  done
}

# --- scenarios -----------------------------------------------------------

case $scenario in
startup_and_new_units)
  prepare_client "$base_settings"
  start_pelmora
  probe wait-visible 1 30000 state tray
  # Shown, not top-most, no tray icon, and running at idle priority.
  expect visible=1 topmost=0 iconic=0 tray=0 priority=0x40
  expect_dialog "$demo_unit" "$demo_counters_cpu3" "42%" 42
  screenshot dialog.png

  # The client moves on to a unit of another project.
  write_unit p1588_Spring_coil_R1 "March 17 09:00:00" $'Due time: March 31 09:00:00\r\n' 7
  probe wait-text 106 'WU#: 2' 15000 state
  expect_dialog "p1588_Spring_coil_R1\\nCore: GroSMP\\nPoint Value: 1007\\nTime(minutes): 0" \
    "CPU#: 3\\nWU#: 2\\nStart Date: March 17\\nDue by: March 31" "7%" 7
  seen=$SECONDS

  # And on again, to a project the database does not know, with no due date.
  write_unit p9999_Unlisted "April 2 10:00:00" "" 0
  probe wait-text 106 'WU#: 3' 15000 state
  expect_dialog "p9999_Unlisted\\nCore: Unknown\\nPoint Value: 0\\nTime(minutes): 0" \
    "CPU#: 3\\nWU#: 3\\nStart Date: April 2\\nDue by: March 31" "0%" 0
  # The two changes were seen by consecutive ticks of the 5-second timer.
  gap=$((SECONDS - seen))
  [ $gap -ge 3 ] && [ $gap -le 9 ] || fail "the second change took $gap s to show, not one 5-second period"

  log | grep -qE '^p2665_R_Zn_Cyc_R3 completed in [0-9]+\.[0-9]{6} minutes on ' \
    || fail "no 'completed' line for the first unit"
  log | grep -qE '^Beginning process for p1588_Spring_coil_R1 on ' || fail "no 'Beginning' line for the second unit"
  log | grep -qE '^Beginning process for p9999_Unlisted on ' || fail "no 'Beginning' line for the third unit"

  probe post cancel
  expect_exit 0
  expect_summary "Total WUs completed: 2"
  ;;

minimise_to_tray_and_back)
  prepare_client "$base_settings"
  start_pelmora
  probe wait-visible 1 30000
  # A size change that is not a minimise does nothing.
  probe post size-restored sleep 500 state tray
  expect visible=1 iconic=0 tray=0
  probe post minimise wait-visible 0 5000 sleep 300 state tray
  expect visible=0 tray=1
  screenshot tray.png
  # A single click on the icon does nothing; a double-click brings the
  # window back at its normal size.
  probe post tray-click sleep 500 state
  expect visible=0
  probe post tray-dblclick wait-visible 1 5000 sleep 300 state tray
  expect visible=1 iconic=0 tray=0
  expect_dialog "$demo_unit" "$demo_counters_cpu3" "42%" 42
  probe post close
  expect_exit 0
  expect_summary
  ;;

nowin)
  prepare_client "${base_settings}nowin 1\n"
  start_pelmora
  probe wait-visible 1 30000 post minimise wait-visible 0 5000
  probe post tray-dblclick sleep 1000 state tray
  expect visible=0 tray=1
  probe post close
  expect_exit 0
  expect_summary
  ;;

ontop)
  prepare_client "${base_settings}ontop 1\n"
  start_pelmora
  probe wait-visible 1 30000 sleep 500 state
  expect visible=1 topmost=1
  # In the tray the window stays hidden, timer ticks and all.
  probe post minimise wait-visible 0 5000 sleep 6000 state tray
  expect visible=0 tray=1
  probe post tray-dblclick wait-visible 1 5000 sleep 500 state tray
  expect visible=1 topmost=1 iconic=0 tray=0
  probe post enter
  expect_exit 1
  expect_no_summary
  ;;

quiet_start)
  prepare_client "${base_settings}quiet 1\n"
  start_pelmora
  # Hidden from the start, also past the dialog's first display.
  probe wait-window 30000 sleep 1500 state tray
  expect visible=0 tray=1
  # Back to the window by a double-click on the icon, to the tray by a
  # minimise, and back again: each time the window is shown or hidden
  # and the icon goes or comes.
  probe post tray-dblclick wait-visible 1 5000 sleep 300 state tray
  expect visible=1 iconic=0 tray=0
  expect_dialog "$demo_unit" "$demo_counters_cpu3" "42%" 42
  screenshot back-from-tray.png
  probe post minimise wait-visible 0 5000 sleep 300 state tray
  expect visible=0 tray=1
  probe post tray-dblclick wait-visible 1 5000 sleep 300 state tray
  expect visible=1 iconic=0 tray=0
  probe post escape
  expect_exit 0
  expect_summary
  ;;

quiet_start_nowin)
  # Started in the tray with nowin set: a double-click does nothing, a
  # minimise event is the way back to the window, and to the tray again.
  prepare_client "${base_settings}quiet 1\nnowin 1\n"
  start_pelmora
  probe wait-window 30000 sleep 1500 post tray-dblclick sleep 1000 state tray
  expect visible=0 tray=1
  probe post minimise wait-visible 1 5000 sleep 300 state tray
  expect visible=1 iconic=0 tray=0
  probe post minimise wait-visible 0 5000 sleep 300 state tray
  expect visible=0 tray=1
  probe post minimise wait-visible 1 5000 sleep 300 state tray
  expect visible=1 iconic=0 tray=0
  probe post close
  expect_exit 0
  expect_summary
  ;;

quiet_start_server_toggle)
  # Started in the tray; the monitor server's command 2 brings the window
  # back at the first poll, the next 2 sends it to the tray again, then 1
  # ends the program.
  printf '0\n2\n2\n1\n' >"$out/commands"
  start_peer monitor_server "${PELMORA_MONITOR_SERVER:-}" -s "$out/commands"
  prepare_client "${base_settings}quiet 1\nstats 1\nipadd 127.0.0.1\n"
  start_pelmora
  probe wait-window 30000 sleep 1500 state tray
  expect visible=0 tray=1
  probe wait-visible 1 15000 sleep 300 state tray
  expect visible=1 iconic=0 tray=0
  screenshot back-by-command.png
  probe wait-visible 0 15000 sleep 300 state tray
  expect visible=0 tray=1
  expect_exit 0 20
  expect_summary
  ;;

end_enter | end_escape | end_close)
  # How each ending leaves the program: action, status, summary or not.
  case $scenario in
  end_enter) action=enter status=1 summary=no ;;
  end_escape) action=escape status=0 summary=yes ;;
  end_close) action=close status=0 summary=yes ;;
  esac
  prepare_client "$base_settings"
  start_pelmora
  probe wait-visible 1 30000 post "$action"
  expect_exit "$status"
  if [ $summary = yes ]; then expect_summary "Total WUs completed: 0"; else expect_no_summary; fi
  ;;

missing_unit_file)
  prepare_client "$base_settings"
  rm "$client/unitinfo.txt"
  start_pelmora
  probe messagebox 30000
  expect "caption=../unitinfo.txt" \
    "text=Cannot locate unitinfo.txt file. Pelmora must be installed in your\\nFolding @ Home directory to work properly." \
    owner=main buttons=ok
  expect_exit 0
  [ ! -e "$client/pelmora/pelmora_log.txt" ] || fail "something was logged"
  ;;

no_dialog)
  # A program file whose template names a window class that does not exist:
  # the dialog cannot be created, and the status is -1 (255 as wine passes it).
  prepare_client "$base_settings"
  cp "$program" "$out/intact.exe"
  perl -0777 -pi -e 's/P\0R\0O\0G\0R\0E\0S\0S\x003\x002\0/N\0O\0S\0U\0C\0H\0C\0T\0R\0L\0/i' "$program"
  [ "$(stat -c %s "$program")" = "$(stat -c %s "$out/intact.exe")" ] && ! cmp -s "$program" "$out/intact.exe" \
    || fail "found no progress-bar class in the template to spoil"
  start_pelmora
  expect_exit 255
  [ ! -e "$client/pelmora/pelmora_log.txt" ] || fail "something was logged"
  ;;

monitor_server)
  # The team's monitor server (the Linux build's loopback tool): the start-up
  # report is answered with 2 (to the tray, nowin set), the first poll's with
  # 1 (end the program: summary, exit report, status 0).
  server=${PELMORA_MONITOR_SERVER:-}
  [ -x "$server" ] || { echo "SKIP [$scenario]: no monitor server tool (build the linux preset)"; exit 77; }
  printf '2\n1\n' >"$out/commands"
  "$server" -s "$out/commands" >"$out/server.txt" 2>&1 9>&- &
  server_pid=$!
  trap 'kill "$server_pid" 2>/dev/null; cleanup' EXIT
  for _ in $(seq 50); do grep -q '^listening' "$out/server.txt" && break; sleep 0.1; done
  prepare_client "${base_settings}stats 1\nipadd 127.0.0.1\n"
  start_pelmora
  probe wait-window 30000 sleep 1500 state tray
  expect visible=0 tray=1
  expect_exit 0
  expect_summary "Total WUs completed: 0"
  kill "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
  records=$(grep -c '^record [0-9]* slot [0-9]* bytes 768 ' "$out/server.txt")
  [ "$records" = 3 ] || fail "the server got $records records: $(cat "$out/server.txt")"
  # Slot 1 kept throughout; quiet 0 before the switch, 1 after; the exit
  # record says it is the last.
  unit='p2665_R_Zn_Cyc_R3'
  grep -qE "^record 1 slot 1 bytes 768 command 2: 1 [^ ]* 3 1 42 $unit 0 [0-9]+\.[0-9]{6} [^ ]* Tinker 200 357 FoldingFan 48213  0$" "$out/server.txt" \
    || fail "first record: $(sed -n 2p "$out/server.txt")"
  grep -qE "^record 2 slot 2 bytes 768 command 1: 1 .* $unit 0 .*  1$" "$out/server.txt" || fail "second record: $(sed -n 3p "$out/server.txt")"
  grep -qE "^record 3 slot 3 bytes 768 command 0: 1 .* $unit 1 .*  1$" "$out/server.txt" || fail "exit record: $(sed -n 4p "$out/server.txt")"
  ;;

stats_site)
  # A finished unit goes to the team's stats site (the Linux build's loopback
  # tool) and its reply lands in Korvex.html.
  site=${PELMORA_STATS_SITE:-}
  [ -x "$site" ] || { echo "SKIP [$scenario]: no stats site tool (build the linux preset)"; exit 77; }
  "$site" -p 0 >"$out/site.txt" 2>&1 9>&- &
  site_pid=$!
  trap 'kill "$site_pid" 2>/dev/null; cleanup' EXIT
  port=
  for _ in $(seq 50); do
    port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$out/site.txt")
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || fail "the stats site did not start"
  prepare_client "${base_settings}korv! 1\nkhost 127.0.0.1:$port\n"
  start_pelmora
  probe wait-visible 1 30000
  write_unit p1588_Spring_coil_R1 "March 17 09:00:00" "" 7
  probe wait-text 106 'WU#: 2' 15000
  for _ in $(seq 50); do [ -s "$client/pelmora/Korvex.html" ] && break; sleep 0.1; done
  grep -qE '^request 1: GET /folding/unitstats.php\?username=FoldingFan&team=48213&cpu=2&wucount=1&cpuvendor=[^&]*&cpustring=[^& ]*&cpumhz=[0-9]+&frametime=0\.[0-9]{6}&protein=p2665_R_Zn_Cyc_R3&core=GroSMP&memory=[0-9]+ HTTP/1.1$' "$out/site.txt" \
    || fail "no submission as expected: $(cat "$out/site.txt")"
  [ "$(cat "$client/pelmora/Korvex.html")" = "<html><body>Unit received. Thank you for folding.</body></html>" ] \
    || fail "Korvex.html holds: $(cat "$client/pelmora/Korvex.html" 2>/dev/null)"
  log | grep -qxF "Submitting data to 127.0.0.1:$port..." || fail "no 'Submitting' line in the log"
  probe post close
  expect_exit 0
  ;;

hostile_monitor_silent | hostile_monitor_drip | hostile_monitor_reset | hostile_monitor_flood)
  # A monitor server that misbehaves (pelmora-monitor-server -m MODE): the
  # unit change made meanwhile is still seen, the reports go on, no exchange
  # outlasts one 10-second receive time-out (a failed receive ends it), and
  # the log stays whole.
  mode=${scenario#hostile_monitor_}
  start_peer monitor_server "${PELMORA_MONITOR_SERVER:-}" -m "$mode"
  prepare_client "${base_settings}stats 1\nipadd 127.0.0.1\n"
  began=$SECONDS
  start_pelmora
  # The start-up has read the unit once it has written its banner.
  wait_lines '^Continuing process at 42% for p2665_R_Zn_Cyc_R3' "$client/pelmora/pelmora_log.txt" 1 45
  write_unit p1588_Spring_coil_R1 "March 17 09:00:00" "" 7
  # The window answers no query while a report waits (the probe would take
  # it for hung): the log shows the change.
  wait_lines 'p2665_R_Zn_Cyc_R3 completed in' "$client/pelmora/pelmora_log.txt" 1 60
  # A silent server holds each exchange 10 s: two reports are enough there.
  wait_lines '^record ' "$out/monitor_server.txt" "$([ "$mode" = silent ] && echo 2 || echo 3)" 60
  probe post close
  expect_exit 0 45
  kill "$peer_pid" 2>/dev/null
  wait "$peer_pid" 2>/dev/null
  expect_summary "Total WUs completed: 1"
  expect_unit_groups 1 frames
  awk '$7 == "held" && $8 + 0 > 11.5 { bad = 1 } END { exit bad }' "$out/monitor_server.txt" \
    || fail "an exchange outlasted the time-outs: $(cat "$out/monitor_server.txt")"
  echo "$mode: $(grep -c '^record ' "$out/monitor_server.txt") reports in $((SECONDS - began)) s"
  ;;

stats_site_replies)
  # Replies that are not a plain 200: a body without end is kept up to
  # 4 MiB, a 500's body is saved like any other, a 404 leaves the earlier
  # Korvex.html; the program polls on after each.
  for reply in endless 500 404; do
    case $reply in
    endless) start_peer "stats_site_$reply" "${PELMORA_STATS_SITE:-}" -p 0 -m endless ;;
    500) start_peer "stats_site_$reply" "${PELMORA_STATS_SITE:-}" -p 0 -s "500 Internal Server Error" ;;
    404) start_peer "stats_site_$reply" "${PELMORA_STATS_SITE:-}" -p 0 -s "404 Not Found" ;;
    esac
    rm -rf "$client"
    prepare_client "${base_settings}korv! 1\nkhost 127.0.0.1:$port\n"
    echo "earlier reply" >"$client/pelmora/Korvex.html"
    start_pelmora
    probe wait-visible 1 30000
    write_unit p1588_Spring_coil_R1 "March 17 09:00:00" "" 7
    probe wait-text 106 'WU#: 2' 15000
    wait_lines '^request 1: GET ' "$out/stats_site_$reply.txt" 1 15
    write_unit p9999_Unlisted "April 2 10:00:00" "" 0
    probe wait-text 106 'WU#: 3' 30000
    probe post close
    expect_exit 0
    kill "$peer_pid" 2>/dev/null
    wait "$peer_pid" 2>/dev/null
    saved=$(cat "$client/pelmora/Korvex.html")
    case $reply in
    endless) [ "$(stat -c %s "$client/pelmora/Korvex.html")" = 4194304 ] \
               || fail "Korvex.html is $(stat -c %s "$client/pelmora/Korvex.html") bytes, not 4 MiB" ;;
    500) [ "$saved" = "<html><body>Unit received. Thank you for folding.</body></html>" ] \
           || fail "the 500 body was not saved: $saved" ;;
    404) [ "$saved" = "earlier reply" ] || fail "a 404 changed Korvex.html: $saved" ;;
    esac
    expect_unit_groups 2
  done
  ;;

stats_site_stall)
  # A stats site that never answers: the submission gives up after the
  # 60-second request time-out, the earlier Korvex.html stays, and the unit
  # change made meanwhile shows once the program is free again.
  start_peer stats_site "${PELMORA_STATS_SITE:-}" -p 0 -m stall -n 1
  prepare_client "${base_settings}korv! 1\nkhost 127.0.0.1:$port\n"
  echo "earlier reply" >"$client/pelmora/Korvex.html"
  start_pelmora
  probe wait-visible 1 30000
  write_unit p1588_Spring_coil_R1 "March 17 09:00:00" "" 7
  wait_lines '^request 1: GET ' "$out/stats_site.txt" 1 15
  began=$SECONDS
  write_unit p9999_Unlisted "April 2 10:00:00" "" 0
  # The window answers no query while the request waits: the log shows the change.
  wait_lines 'p1588_Spring_coil_R1 completed in' "$client/pelmora/pelmora_log.txt" 1 80
  held=$((SECONDS - began))
  [ $held -le 40 ] || fail "the program was held $held s"
  probe post close
  expect_exit 0
  [ "$(cat "$client/pelmora/Korvex.html")" = "earlier reply" ] || fail "a stalled answer changed Korvex.html"
  expect_unit_groups 2
  echo "stalled submission given up; the next change shown after $held s"
  ;;

*)
  fail "no such scenario"
  ;;
esac

echo "PASS [$scenario]"
