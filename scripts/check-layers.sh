#!/usr/bin/env bash
# The include rules. Every folder of src/ has a layer: a file includes only
# its own folder and folders of lower layers; folders of one layer never
# include each other. The core folders (layers 0 to 5) include only standard
# C++ headers, besides the allowances below. tools/, tests/ and bench/ keep
# to rules of their own. An include, "..." or <...>, that names a file of
# the project (beside the file, or under src/, tests/ or res/) is a project
# include, whichever the brackets. Prints each broken rule with its file and
# line, and fails when there is one.
#
#   layer 0  protocol/  res/              the monitor-server exchange; the resource identifiers
#   layer 1  state/                       the state record, constants, fixed-width helpers
#   layer 2  platform/  ui/               the two interfaces (platform.h, ui.h)
#   layer 3  reading/                     the piece-wise keyed reader
#   layer 4  config/  workunit/  net/     readers and network code
#   layer 5  app/                         the sequences: start-up, poll, unit change, endings, tray
#            bridge/                      the client bridge's logic (it reads the project table
#                                         through the monitor's own reader)
#   layer 6  platform/*/  frontend/*/     the operating systems' services and the front-ends
#            bridge/io/                   the bridge's connections, command line and main
#   apart    server/                      the team server: its own folder and protocol/. Only
#                                         server/store/sqlite/, the two places that make the
#                                         store (server/server.cpp, server/main.cpp) and the
#                                         store's copier (server/store/copy/) include
#                                         <sqlite3.h> or server/store/sqlite/; likewise
#                                         server/store/postgres/ for <libpq-fe.h> and itself
#            inside server/, rooms by level: support/ (0: log, limits, time,
#            text safety, rate limits, shared answers), store/ and http/ (1: the
#            rows and the store's interface; the HTTP plumbing), store/sqlite/ and store/postgres/ (2),
#            store/copy/ (3: a SQLite store copied into PostgreSQL, the one room that sees both),
#            monitor/ and fleet/ (3: what faces the monitors and the stats site;
#            the fleet view, status, alerts, webhook, team figures, machine
#            admin), api/ (4: routes, handlers, sign-in), and the wiring at the
#            top of server/ (5: options, server.cpp, main.cpp). A room includes
#            its own and lower ones; two rooms of one level never meet.
#
#   allowed in a core folder: bridge/ <nlohmann/json.hpp> (header-only JSON, no OS)
#
#   src/              never tests/, tools/ or bench/
#   tools/            itself, protocol/, state/, bridge/ (not bridge/io/), tests/support/
#   tests/support/    itself and src/
#   tests/SUITE/      itself, tests/support/ and src/ (never another suite)
#   bench/            itself, tests/support/ and src/
set -uo pipefail
cd "${1:-$(dirname "$0")/..}" || exit 2

declare -A project standard allowed
while IFS= read -r f; do project[$f]=1; done < <(find src tests res tools bench -type f 2>/dev/null)
for h in algorithm any array atomic barrier bit bitset cassert cctype cerrno cfenv cfloat charconv chrono \
    cinttypes climits clocale cmath compare complex concepts condition_variable coroutine csetjmp csignal \
    cstdarg cstddef cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype deque exception execution \
    filesystem format forward_list fstream functional future initializer_list iomanip ios iosfwd iostream \
    istream iterator latch limits list locale map memory memory_resource mutex new numbers numeric optional \
    ostream queue random ranges ratio regex scoped_allocator semaphore set shared_mutex source_location span \
    sstream stack stdexcept stop_token streambuf string string_view syncstream system_error thread tuple \
    type_traits typeindex typeinfo unordered_map unordered_set utility valarray variant vector version; do
    standard[$h]=1
done
allowed[bridge:nlohmann/json.hpp]=1

# The functions answer in REPLY: each include would otherwise cost a fork.
folder_of() { # a project file -> its folder key
    local rest
    case "$1" in
        src/platform/*/* | src/frontend/*/* | src/bridge/io/*)
            rest=${1#src/*/}
            REPLY=${1#src/}
            REPLY=${REPLY%%/*}/${rest%%/*} ;;
        src/server/*) REPLY=server ;;
        src/*/*) rest=${1#src/}; REPLY=${rest%%/*} ;;
        res/*) REPLY=res ;;
        tests/*/*) rest=${1#tests/}; REPLY=tests/${rest%%/*} ;;
        tools/* | bench/*) REPLY=${1%%/*} ;;
        *) REPLY="" ;;
    esac
}
layer_of() {
    case "$1" in
        protocol | res) REPLY=0 ;;
        state) REPLY=1 ;;
        platform | ui) REPLY=2 ;;
        reading) REPLY=3 ;;
        config | workunit | net) REPLY=4 ;;
        app | bridge) REPLY=5 ;;
        platform/* | frontend/* | bridge/io) REPLY=6 ;;
        *) REPLY=apart ;;
    esac
}

# The project file an include names, or "": beside the file (quoted only),
# then the include directories.
resolve() { # file target quoted
    local candidate
    REPLY=""
    if [ "$3" = 1 ] && [ -n "${project[${1%/*}/$2]:-}" ]; then REPLY=${1%/*}/$2; return; fi
    for candidate in "src/$2" "tests/$2" "res/$2"; do
        [ -n "${project[$candidate]:-}" ] && { REPLY=$candidate; return; }
    done
}

# Inside src/server: who may reach the SQLite store.
sqlite_allowed() {
    case "$1" in
        src/server/store/sqlite/* | src/server/store/copy/* | src/server/server.cpp | src/server/main.cpp) return 0 ;;
    esac
    return 1
}

# Inside src/server: who may reach the PostgreSQL store.
postgres_allowed() {
    case "$1" in
        src/server/store/postgres/* | src/server/store/copy/* | src/server/server.cpp | src/server/main.cpp) return 0 ;;
    esac
    return 1
}

# Inside src/server: a file's room and its level.
server_room() {
    case "$1" in
        src/server/support/*) REPLY="0 support" ;;
        src/server/store/sqlite/*) REPLY="2 store/sqlite" ;;
        src/server/store/postgres/*) REPLY="2 store/postgres" ;;
        src/server/store/copy/*) REPLY="3 store/copy" ;;
        src/server/store/*) REPLY="1 store" ;;
        src/server/http/*) REPLY="1 http" ;;
        src/server/monitor/*) REPLY="3 monitor" ;;
        src/server/fleet/*) REPLY="3 fleet" ;;
        src/server/api/*) REPLY="4 api" ;;
        *) REPLY="5 wiring" ;;
    esac
}
server_rooms_rule() { # at file resolved
    local from to
    server_room "$2"; from=$REPLY
    server_room "$3"; to=$REPLY
    [ "$from" = "$to" ] && return
    [ "${to%% *}" -lt "${from%% *}" ] ||
        complain "$1 server/${from#* } (level ${from%% *}) includes \"${3#src/}\" (server/${to#* }, level ${to%% *})"
}

broken=0
complain() { echo "check-layers: $1" >&2; broken=1; }

# src/ by layer.
src_rule() { # at from target to
    local from_layer to_layer
    case "$4" in
        tests/* | tools | bench) complain "$1 $2/ includes \"$3\": src/ never includes tests/, tools/ or bench/"; return ;;
    esac
    [ "$4" = "$2" ] && return
    if [ "$2" = server ] || [ "$4" = server ]; then
        [ "$2" = server ] && [ "$4" = protocol ] && return
        complain "$1 $2/ includes \"$3\" ($4/): server/ includes only its own folder and protocol/"
        return
    fi
    layer_of "$2"; from_layer=$REPLY
    layer_of "$4"; to_layer=$REPLY
    # A front-end, an operating system's folder or the bridge's connections reach their own interface.
    [ "$from_layer" = 6 ] && [ "${2%%/*}" = "$4" ] && return
    [ "$to_layer" -lt "$from_layer" ] ||
        complain "$1 $2/ (layer $from_layer) includes \"$3\" ($4/, layer $to_layer)"
}

# tools/, tests/ and bench/: which folders each may reach.
outer_rule() { # at from target to
    local ok=0
    case "$2:$4" in
        tools:protocol | tools:state | tools:bridge | tools:tests/support) ok=1 ;;
        tools:*) ;;
        tests/*:tests/support | bench:tests/support) ok=1 ;;
        tests/*:tests/* | tests/*:tools | tests/*:bench | bench:tests/* | bench:tools) ;;
        tests/*:* | bench:*) ok=1 ;; # src/ and res/
    esac
    [ "$2" = "$4" ] && ok=1
    [ "$ok" = 1 ] || complain "$1 $2/ includes \"$3\" ($4/), which $2/ may not reach"
}

include_re='^[[:space:]]*#[[:space:]]*include[[:space:]]*([<"])([^">]+)[">]'
while IFS= read -r hit; do
    file=${hit%%:*}
    rest=${hit#*:}
    line=${rest%%:*}
    text=${rest#*:}
    [[ $text =~ $include_re ]] || continue
    target=${BASH_REMATCH[2]}
    quoted=0
    [ "${BASH_REMATCH[1]}" = '"' ] && quoted=1
    folder_of "$file"; from=$REPLY
    at="$file:$line:"
    resolve "$file" "$target" "$quoted"; resolved=$REPLY
    if [ -z "$resolved" ]; then
        [ "$quoted" = 1 ] && { complain "$at \"$target\" names no file of the project"; continue; }
        layer_of "$from"
        if [[ $file == src/server/* ]] && [ "$target" = sqlite3.h ] && ! sqlite_allowed "$file"; then
            complain "$at server/ reaches <sqlite3.h> outside server/store/sqlite/"
        elif [[ $file == src/server/* ]] && [ "$target" = libpq-fe.h ] && ! postgres_allowed "$file"; then
            complain "$at server/ reaches <libpq-fe.h> outside server/store/postgres/"
        elif [[ $REPLY == [0-5] ]] && [ -z "${standard[$target]:-}" ] &&
            [ -z "${allowed[$from:$target]:-}" ]; then
            complain "$at $from/ (a core folder) includes the system header <$target>"
        fi
        continue
    fi
    folder_of "$resolved"; to=$REPLY
    if [[ $file == src/server/* ]] && [[ $resolved == src/server/store/sqlite/* ]] && ! sqlite_allowed "$file"; then
        complain "$at server/ reaches \"$target\" outside server/store/sqlite/"
    fi
    if [[ $file == src/server/* ]] && [[ $resolved == src/server/store/postgres/* ]] && ! postgres_allowed "$file"; then
        complain "$at server/ reaches \"$target\" outside server/store/postgres/"
    fi
    [[ $file == src/server/* && $resolved == src/server/* ]] && server_rooms_rule "$at" "$file" "$resolved"
    case "$file" in
        src/*) src_rule "$at" "$from" "$target" "$to" ;;
        *) outer_rule "$at" "$from" "$target" "$to" ;;
    esac
done < <(grep -rnE --include='*.h' --include='*.hpp' --include='*.cpp' --include='*.c' \
    '^[[:space:]]*#[[:space:]]*include' src tests res tools bench 2>/dev/null | sort -t: -k1,1 -k2,2n)

[ "$broken" -eq 0 ] && echo "check-layers: every include keeps to its layer (allowed in a core folder: ${!allowed[*]})"
exit "$broken"
