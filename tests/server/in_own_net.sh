#!/bin/sh
# Runs a command in a network of its own when one can be made (root), so the
# fixed ports it binds are its alone; in a process namespace too, so what it
# started ends with it.
if [ -z "${PELMORA_OWN_NET:-}" ] && command -v ip >/dev/null && unshare -n true 2>/dev/null; then
  exec unshare -n -p -f --mount-proc --kill-child env PELMORA_OWN_NET=1 sh "$0" "$@"
fi
[ -n "${PELMORA_OWN_NET:-}" ] && ip link set lo up
exec "$@"
