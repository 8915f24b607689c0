#!/usr/bin/env bash
# The team server's rooms drawn from their includes: each room with its level
# and files, and every arrow between two rooms with how many includes make it.
# An arrow up (to a higher level) or between two rooms of one level breaks the
# include rules (scripts/check-layers.sh fails the build on it) and is marked.
#   server-rooms.sh          a text picture
#   server-rooms.sh --dot    the same as a Graphviz graph (dot -Tpng)
set -euo pipefail
cd "$(dirname "$0")/.."

room_of() { # a file under src/server -> "level room"
    case "$1" in
        src/server/support/*) echo "0 support" ;;
        src/server/store/sqlite/*) echo "2 store/sqlite" ;;
        src/server/store/*) echo "1 store" ;;
        src/server/http/*) echo "1 http" ;;
        src/server/monitor/*) echo "3 monitor" ;;
        src/server/fleet/*) echo "3 fleet" ;;
        src/server/api/*) echo "4 api" ;;
        *) echo "5 wiring" ;;
    esac
}

declare -A level files arrows
while IFS= read -r file; do
    read -r l r < <(room_of "$file")
    level[$r]=$l
    files[$r]=$(( ${files[$r]:-0} + 1 ))
    while IFS= read -r target; do
        [ -f "src/$target" ] || continue
        read -r tl tr < <(room_of "src/$target")
        [ "$r" = "$tr" ] && continue
        arrows["$r>$tr"]=$(( ${arrows["$r>$tr"]:-0} + 1 ))
    done < <(sed -n 's/^#include "\(server\/[^"]*\)".*/\1/p' "$file")
done < <(find src/server -name '*.h' -o -name '*.cpp' | sort)

bad=0
if [ "${1:-}" = --dot ]; then
    echo "digraph rooms {"
    echo "  rankdir=BT; node [shape=box];"
    for r in "${!level[@]}"; do echo "  \"$r\" [label=\"$r\\nlevel ${level[$r]}, ${files[$r]} files\"];"; done
    for a in "${!arrows[@]}"; do
        from=${a%>*} to=${a#*>}
        style=""
        [ "${level[$to]}" -lt "${level[$from]}" ] || { style=" color=red"; bad=$((bad + 1)); }
        echo "  \"$from\" -> \"$to\" [label=${arrows[$a]}$style];"
    done
    echo "}"
else
    for r in $(for r in "${!level[@]}"; do echo "${level[$r]}:$r"; done | sort -r); do
        r=${r#*:}
        out=""
        for a in $(printf '%s\n' "${!arrows[@]}" | sort); do
            [ "${a%>*}" = "$r" ] || continue
            to=${a#*>}
            mark=""
            [ "${level[$to]}" -lt "${level[$r]}" ] || { mark=" (UP)"; bad=$((bad + 1)); }
            out+=" $to×${arrows[$a]}$mark"
        done
        printf 'level %s  %-13s %2s files  ->%s\n' "${level[$r]}" "$r" "${files[$r]}" "${out:- nothing}"
    done
    echo "arrows up or sideways: $bad"
fi
