#!/usr/bin/env bash
# scripts/check-layers.sh on a scratch tree: each row plants one include and
# says whether the script must let it through or name the file, the line
# and the broken rule.
#   check_layers_test.sh PATH_TO_CHECK_LAYERS_SH
set -u
script=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
files="src/state/s.h src/protocol/p.h src/ui/ui.h res/resource.h src/app/a.h src/bridge/b.h src/bridge/io/o.h
src/frontend/terminal/screen.h src/server/x.h src/server/store/s.h src/server/api/r.h src/server/store/sqlite/db.h
src/server/fleet/f.h src/server/monitor/m.h src/server/support/u.h tests/support/h.h tests/server/t.h
tests/monitor/m.cpp tools/t.cpp bench/b.cpp"

# file | the include | "" to pass, else what the complaint says
rows='src/bridge/b.h|#include <frontend/terminal/screen.h>|layer 6
src/bridge/b.h|#include <CLI/CLI.hpp>|system header <CLI/CLI.hpp>
src/bridge/b.h|#include <nlohmann/json.hpp>|
src/app/a.h|#include <nlohmann/json.hpp>|system header <nlohmann/json.hpp>
src/app/a.h|#include <vector>|
src/state/s.h|#include "protocol/p.h"|
src/protocol/p.h|#include "state/s.h"|layer 1
src/ui/ui.h|#include "resource.h"|
src/bridge/io/o.h|#include "bridge/b.h"|
src/bridge/b.h|#include "bridge/io/o.h"|layer 6
src/server/x.h|#include "protocol/p.h"|
src/server/x.h|#include "state/s.h"|only its own folder
src/app/a.h|#include "server/x.h"|only its own folder
src/server/x.h|#include <sqlite3.h>|<sqlite3.h> outside
src/server/x.h|#include "server/store/sqlite/db.h"|outside server/store/sqlite/
src/server/store/sqlite/db.h|#include <sqlite3.h>|
src/server/store/sqlite/db.h|#include "server/store/s.h"|
src/server/store/s.h|#include "server/fleet/f.h"|(server/fleet, level 3)
src/server/store/s.h|#include "server/support/u.h"|
src/server/api/r.h|#include "server/x.h"|(server/wiring, level 5)
src/server/x.h|#include "server/api/r.h"|
src/server/fleet/f.h|#include "server/monitor/m.h"|(server/monitor, level 3)
src/app/a.h|#include "support/h.h"|never includes tests/
src/app/a.h|#include "app/gone.h"|no file of the project
tools/t.cpp|#include "protocol/p.h"|
tools/t.cpp|#include "server/x.h"|may not reach
tools/t.cpp|#include "bridge/io/o.h"|may not reach
tests/support/h.h|#include "server/t.h"|may not reach
tests/monitor/m.cpp|#include "server/t.h"|may not reach
tests/monitor/m.cpp|#include "support/h.h"|
bench/b.cpp|#include "frontend/terminal/screen.h"|'

failed=0
while IFS='|' read -r file include expected; do
    rm -rf "$tree"/* && mkdir -p "$tree"
    for f in $files; do mkdir -p "$tree/${f%/*}" && : > "$tree/$f"; done
    printf '#pragma once\n%s\n' "$include" > "$tree/$file"
    out=$(bash "$script" "$tree" 2>&1)
    status=$?
    if [ -z "$expected" ]; then
        [ "$status" = 0 ] || { echo "FAIL $file: $include refused: $out"; failed=1; }
    elif [ "$status" = 0 ] || [[ $out != *"$file:2:"*"$expected"* ]]; then
        echo "FAIL $file: $include: wanted \"$file:2: ... $expected\", got ($status) $out"
        failed=1
    fi
done <<< "$rows"
[ "$failed" = 0 ] && echo "every row as wanted"
exit "$failed"
