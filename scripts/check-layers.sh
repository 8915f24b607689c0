#!/usr/bin/env bash
# The include rules of src/: every folder has a layer, and a file includes
# only its own folder and folders of lower layers; folders of one layer never
# include each other. The core folders include only standard C and C++
# headers. Prints each broken rule and fails when there is one.
#
#   layer 0  state/                       the state record, constants, fixed-width helpers
#   layer 1  platform/  ui/               the two interfaces (platform.h, ui.h)
#   layer 2  reading/                     the piece-wise keyed reader
#   layer 3  config/  workunit/  net/     readers and network code
#   layer 4  app/                         the sequences: start-up, poll, unit change, endings, tray
#            bridge/                      the client bridge (a program of its own; it reads the
#                                         project table through the monitor's own reader)
#   layer 5  platform/*/  frontend/*/     the operating systems' services and the front-ends
#   apart    server/                      the team server: only its own folder
set -uo pipefail
cd "$(dirname "$0")/../src"

folder_of() { # src-relative path of a file or include -> its folder key
    case "$1" in
        platform/posix/* | platform/win32/* | frontend/terminal/* | frontend/win32/*) echo "${1%/*}" ;;
        */*) echo "${1%%/*}" ;;
        *) echo "" ;;
    esac
}
layer_of() {
    case "$1" in
        state) echo 0 ;;
        platform | ui) echo 1 ;;
        reading) echo 2 ;;
        config | workunit | net) echo 3 ;;
        app | bridge) echo 4 ;;
        platform/* | frontend/*) echo 5 ;;
        *) echo apart ;;
    esac
}
core() { case "$1" in state | platform | ui | reading | config | workunit | net | app) return 0 ;; esac; return 1; }

broken=0
complain() { echo "check-layers: $1" >&2; broken=1; }

while IFS= read -r file; do
    from=$(folder_of "$file")
    from_layer=$(layer_of "$from")
    while IFS= read -r line; do
        if [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]]; then
            target=${BASH_REMATCH[1]}
            [ "$target" = resource.h ] && continue # the resource identifiers, beside the folders
            to=$(folder_of "$target")
            [ -z "$to" ] && { complain "$file includes \"$target\" with no folder"; continue; }
            [ "$to" = "$from" ] && continue
            # A front-end or an operating system's folder reaches its own interface.
            [ "${from%%/*}" = "$to" ] && [ "$from_layer" = 5 ] && continue
            to_layer=$(layer_of "$to")
            if [ "$from_layer" = apart ] || [ "$to_layer" = apart ] || [ "$to_layer" -ge "$from_layer" ]; then
                complain "$file (layer $from_layer) includes \"$target\" (layer $to_layer)"
            fi
        elif [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\<([^\>]+)\> ]] && core "$from"; then
            header=${BASH_REMATCH[1]}
            # Standard C++ headers have no suffix; the core takes no other.
            [[ $header == */* || $header == *.h ]] && complain "$file includes the system header <$header>"
        fi
    done < "$file"
done < <(find . -name '*.h' -o -name '*.cpp' | sed 's#^\./##' | sort)

[ "$broken" -eq 0 ] && echo "check-layers: every include keeps to its layer"
exit "$broken"
