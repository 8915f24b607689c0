#!/usr/bin/env bash
# Installs the Debian packages in a fresh minimal Debian 12 as an
# administrator would (apt-get install ./...deb) and checks what a user
# would: the programs' versions, every systemd unit verified, the server run
# as its unit runs it (user pelmora, the packaged settings) answering
# /healthz and taking a report from a monitor that follows a version 8
# client through a bridge, both run as their units run them from the README's
# worked example; its token file; then what remove and purge leave.
# systemd does not run in a chroot: the units' command lines are read from
# the installed files and run with their users. Everything it starts talks on
# 127.0.0.1 in a network namespace of its own; apt-get alone uses the mirror.
#
#   test-install-debian.sh ROOT DEBS [TOOLS-ROOT [V8-CLIENT]]
#     ROOT        a fresh debootstrap (minbase) tree, changed by the test
#     DEBS        the folder holding pelmora-server_*.deb and pelmora_*.deb
#     TOOLS-ROOT  the tree the simulated client runs in (default /)
#     V8-CLIENT   its path there (default /src/build/linux/tools/simulated-v8-client)
set -euo pipefail
root=$(realpath "$1")
debs=$(realpath "$2")
tools_root=$(realpath "${3:-/}")
fail() { echo "test-install-debian: $*" >&2; exit 1; }
step() { echo "== $*"; }

# Commands in the tree, with /proc and /dev, in a mount namespace of their
# own; "net" runs them with only a loopback network.
in_root() {
  unshare --mount --fork bash -euo pipefail -c '
    mount --make-rprivate /
    mount -t proc proc "$1/proc"
    mount --rbind /dev "$1/dev"
    root=$1; shift
    exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
      DEBIAN_FRONTEND=noninteractive bash -euo pipefail -c "$@"
  ' in_root "$root" "$@"
}
listing() { # every path but the package system's records, caches, logs and /run (a tmpfs)
  in_root 'find / -xdev \( -path /proc -o -path /dev -o -path /var/lib/dpkg -o -path /var/lib/apt \
    -o -path /var/cache -o -path /var/log -o -path /tmp -o -path /run -o -path /root -o -path /debs \) -prune -o -print | sort'
}

step "install the packages"
mkdir -p "$root/debs"
cp "$debs"/pelmora-server_*.deb "$debs"/pelmora_*.deb "$root/debs/"
# systemd for systemd-analyze (and as a server has it); the packages' own
# dependencies come from their control files.
in_root 'apt-get update -q >/dev/null && apt-get install -y -q --no-install-recommends systemd >/dev/null'
listing > "$root/../before-install.txt"
in_root 'apt-get install -y -q --no-install-recommends /debs/pelmora-server_*.deb /debs/pelmora_*.deb' \
  | tee "$root/../install.log"
grep -q "admin token is made at the first start: /var/lib/pelmora/pelmora-server.db.admin-token" \
  "$root/../install.log" || fail "the install does not name the admin token's file"

step "what the packages installed"
version=$(dpkg-deb -f "$debs"/pelmora-server_*.deb Version)
in_root '
  for program in pelmora pelmora-server pelmora-bridge; do
    [ "$($program --version)" = "$program '"$version"'" ] || { echo "$program --version: $($program --version)"; exit 1; }
  done
  getent passwd pelmora | grep -q ":/var/lib/pelmora:/usr/sbin/nologin$" || { echo "no system user pelmora"; exit 1; }
  [ "$(stat -c "%U %a" /var/lib/pelmora)" = "pelmora 700" ] || { echo "/var/lib/pelmora: $(stat -c "%U %a" /var/lib/pelmora)"; exit 1; }
  dpkg-query -W -f="\${Conffiles}" pelmora-server | grep -q "/etc/pelmora/server.conf" \
    || { echo "server.conf is not a conffile"; exit 1; }
  [ -L /etc/systemd/system/multi-user.target.wants/pelmora-server.service ] || { echo "the service is not enabled"; exit 1; }
  # The worked example of the README: a version 8 client on this machine.
  sed "s|/NAME$|/demo|" /usr/share/doc/pelmora/examples/client.conf > /etc/pelmora/demo.conf
  for unit in pelmora-server.service pelmora-monitor@demo.service pelmora-bridge@demo.service; do
    systemd-analyze verify "$unit" || { echo "systemd-analyze verify $unit failed"; exit 1; }
  done
' || fail "the installed packages are not as they should be"

step "the server as its unit runs it, a bridge and a monitor as theirs"
# The unit's lines, run with its user: ExecStartPre "+" lines as root.
unit_line() { sed -n "s/^$2=//p" "$root/lib/systemd/system/$1" | head -n 1; }
server_user=$(unit_line pelmora-server.service User)
server_command=$(unit_line pelmora-server.service ExecStart)
server_directory=$(unit_line pelmora-server.service WorkingDirectory)
bridge_prepare=$(unit_line pelmora-bridge@.service ExecStartPre)
bridge_command=$(unit_line pelmora-bridge@.service ExecStart)
monitor_prepare=$(unit_line pelmora-monitor@.service ExecStartPre)
monitor_command=$(unit_line pelmora-monitor@.service ExecStart)
monitor_user=$(unit_line pelmora-monitor@.service User)
bridge_user=$(unit_line pelmora-bridge@.service User)
export v8_client=${4:-/src/build/linux/tools/simulated-v8-client}
[ -x "$tools_root$v8_client" ] || fail "no $tools_root$v8_client"
export root tools_root server_user server_command server_directory bridge_prepare bridge_command \
  monitor_prepare monitor_command monitor_user bridge_user
unshare --net --mount --fork bash -euo pipefail -c '
  ip link set lo up
  mount --make-rprivate /
  for tree in "$root" "$tools_root"; do
    [ "$tree" = / ] && continue
    mount -t proc proc "$tree/proc"; mount --rbind /dev "$tree/dev"
  done
  as_unit() { # USER DIRECTORY COMMAND: a unit line, its variables from demo.conf
    exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
      setpriv --reuid="$1" --regid="$1" --init-groups \
      sh -c "cd \"$2\" && set -a && . /etc/pelmora/demo.conf && set +a && exec $3"
  }
  reported() { # the monitor (CPU# 3) with a unit from the client
    curl -sf http://127.0.0.1:8080/api/machines > "$root/../machines.json" && python3 -c "
import json, sys
m = json.load(open(sys.argv[1]))[\"machines\"]
sys.exit(0 if m and str(m[0][\"cpu\"]) == \"3\" and m[0][\"unit\"].startswith(\"p\") else 1)" "$root/../machines.json"
  }
  # Our own processes, by their ids, whatever way this ends (each job execs
  # its program, so its id is the program'"'"'s).
  trap '"'"'kill $(jobs -p) 2>/dev/null || true; wait || true'"'"' EXIT
  chroot "$tools_root" /usr/bin/env -i "$v8_client" --port 7396 --step 50 > "$root/../v8-client.log" 2>&1 &
  as_unit "$server_user" "$server_directory" "$server_command" > "$root/../server.log" 2>&1 &
  for _ in $(seq 50); do curl -sf http://127.0.0.1:8080/healthz >/dev/null && break; sleep 0.2; done
  curl -sf http://127.0.0.1:8080/healthz >/dev/null || { echo "no /healthz"; exit 1; }
  (as_unit root / "${bridge_prepare#+}")
  (as_unit root / "${monitor_prepare#+}")
  printf "stats 1\nipadd 127.0.0.1\ncpunum 3\nfhlog 1\n" > "$root/var/lib/pelmora-clients/demo/pelmora/pelmora.ini"
  as_unit "$bridge_user" / "$bridge_command" > "$root/../bridge.log" 2>&1 &
  as_unit "$monitor_user" / "$monitor_command" > "$root/../monitor.log" 2>&1 &
  for _ in $(seq 60); do reported && break; sleep 0.5; done
  status=0
  reported || { echo "the server has no report of the monitor: $(cat "$root/../machines.json")"; status=1; }
  token=$(chroot "$root" stat -c "%U %G %a" /var/lib/pelmora/pelmora-server.db.admin-token)
  [ "$token" = "pelmora pelmora 600" ] || { echo "the token file: $token"; status=1; }
  exit $status
' || {
  for log in server bridge monitor v8-client; do echo "-- $log"; tail -n 20 "$root/../$log.log"; done
  fail "the services did not work together"
}

step "remove keeps the store, the settings and the user"
in_root 'apt-get remove -y -q pelmora-server pelmora >/dev/null
  [ ! -e /usr/bin/pelmora-server ] && [ ! -e /usr/bin/pelmora ] || { echo "programs left"; exit 1; }
  [ -s /var/lib/pelmora/pelmora-server.db ] || { echo "the store went"; exit 1; }
  [ -f /etc/pelmora/server.conf ] || { echo "server.conf went"; exit 1; }
  getent passwd pelmora >/dev/null || { echo "the user went"; exit 1; }' || fail "remove"

step "purge leaves nothing of them"
# demo.conf is the administrator's own file, not the packages'.
rm "$root/etc/pelmora/demo.conf"
in_root 'apt-get purge -y -q pelmora-server pelmora >/dev/null && apt-get autoremove --purge -y -q >/dev/null
  ! getent passwd pelmora && ! getent group pelmora || { echo "the user or group is left"; exit 1; }' || fail "purge"
listing > "$root/../after-purge.txt"
diff "$root/../before-install.txt" "$root/../after-purge.txt" || fail "purge left the files above different"
step "the packages install, run, remove and purge as they should"
