#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# No room of src/ includes a room above it: the arrows of
# docs/architecture.md point down only.
#   layers.sh SOURCE_DIR
set -euo pipefail
cd "$1/src"

declare -A may=(
    [platform]="platform"
    [game]="game platform"
    [wire]="wire"
    [lan]="lan"
    [router]="router"
    [session]="session game wire lan router platform"
    [connectdialog]="connectdialog session game wire lan router platform"
    [console]="console game platform"
    [gamepad]="gamepad"
    [app]="app connectdialog console gamepad session game wire lan router platform"
)

wrong=0
for room in */; do
    room=${room%/}
    if [[ -z ${may[$room]:-} ]]; then
        echo "src/$room is no room of docs/architecture.md"
        wrong=1
        continue
    fi
    while IFS=: read -r file line; do
        target=$(sed -n 's|^#include "\([a-z]*\)/.*|\1|p' <<<"$line")
        [[ -z $target || " ${may[$room]} " == *" $target "* ]] && continue
        echo "src/$file: $room may not include $target: $line"
        wrong=1
    done < <(grep -rH '^#include "' "$room")
done
exit $wrong
