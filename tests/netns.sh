#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a test in a network namespace of its own, where only loopback exists,
# so that it can cut the network under the game without touching a real one:
#   netns.sh PROGRAM [ARGS...]
# Exits 77 (the test is skipped) where no namespace can be made.
set -euo pipefail

if [[ ${KORVALOOP_NETNS:-} != inside ]]; then
    export KORVALOOP_NETNS=inside
    if [[ $(id -u) -eq 0 ]]; then
        unshare=(unshare --net)
    else
        unshare=(unshare --user --map-root-user --net)
    fi
    if ! "${unshare[@]}" true 2>/dev/null; then
        echo "no network namespace can be made here: skipped"
        exit 77
    fi
    exec "${unshare[@]}" "$0" "$@"
fi

ip link set lo up
exec "$@"
