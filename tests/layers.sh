#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# No room of src/ includes a room above it: the arrows of
# docs/architecture.md point down only. Which room may include which is read
# from the libraries each room's library links in src/CMakeLists.txt (and the
# rooms' own CMakeLists.txt), so the rules live in one place.
#   layers.sh SOURCE_DIR
set -euo pipefail
cd "$1/src"

# korvaloop_desktop is the platform's Qt side, the SDL plug-in the
# controllers' own, libnice's link and its plug-in ICE's own.
room_of() {
    local room=${1#korvaloop_}
    case $room in
    desktop) echo platform ;;
    gamepad_sdl) echo gamepad ;;
    ice_nice | ice_plugin) echo ice ;;
    *) echo "$room" ;;
    esac
}

declare -A links=()
while read -r target rest; do
    [[ $target == korvaloop_* ]] || continue
    room=$(room_of "$target")
    for word in $rest; do
        [[ $word == korvaloop_* ]] && links[$room]+=" $(room_of "$word")"
    done
    links[$room]+=" "
done < <(cat CMakeLists.txt */CMakeLists.txt 2>/dev/null | tr '\n' ' ' |
         grep -o 'target_link_libraries([^)]*)' | sed 's/^target_link_libraries(//; s/)$//')

# What a room may include: itself and everything it links, however deep.
may() {
    local room=$1 seen=" $1 " queue=($1) next
    while [[ ${#queue[@]} -gt 0 ]]; do
        next=${queue[0]}
        queue=("${queue[@]:1}")
        for below in ${links[$next]:-}; do
            [[ $seen == *" $below "* ]] && continue
            seen+="$below "
            queue+=("$below")
        done
    done
    echo "$seen"
}

wrong=0
for room in */; do
    room=${room%/}
    if [[ -z ${links[$room]+set} ]]; then
        echo "src/$room is no room: no korvaloop_$room library in src/CMakeLists.txt"
        wrong=1
        continue
    fi
    allowed=$(may "$room")
    while IFS=: read -r file line; do
        target=$(sed -n 's|^#include "\([a-z]*\)/.*|\1|p' <<<"$line")
        [[ -z $target || $allowed == *" $target "* ]] && continue
        echo "src/$file: $room may not include $target: $line"
        wrong=1
    done < <(grep -rH '^#include "' "$room")
done
# The dialog's one door is the session: it includes nothing of the rooms the
# session keeps behind it.
while IFS=: read -r file line; do
    echo "src/$file: the dialog goes through the session, not: $line"
    wrong=1
done < <(grep -rHE '^#include "(lan|router)/' connectdialog)
exit $wrong
