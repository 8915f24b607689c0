#!/bin/sh
# Runs one browser test (tests/browser/NAME_test.py) in a network of its own
# when one can be made (root): the fixed monitor port, the server's, and
# Chromium's and chromedriver's ports are then the test's alone. In a
# process namespace too, so whatever the test started (the server, the
# monitors, Chromium) ends with it, even when the test is killed; with its
# own /proc, where the sanitizers' leak check finds the namespace's threads.
if [ -z "${PELMORA_OWN_NET:-}" ] && command -v ip >/dev/null && unshare -n true 2>/dev/null; then
  exec unshare -n -p -f --mount-proc --kill-child env PELMORA_OWN_NET=1 sh "$0" "$@"
fi
[ -n "${PELMORA_OWN_NET:-}" ] && ip link set lo up
exec "${PELMORA_PYTHON:-/usr/bin/python3}" -B "$(dirname "$0")/$1_test.py" -v
