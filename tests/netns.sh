#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a test in a network namespace of its own, so that it can cut the
# network under the game without touching a real one:
#   netns.sh PROGRAM [ARGS...]
# Inside there is loopback, and a black hole: whatever goes to 198.51.100.0/24
# or 2001:db8::/32 leaves through an interface (bh0) whose far end (bh1)
# drops it, so a connection there is never answered nor refused. The name
# blackholed.korvaloop.test stands for 2001:db8::7 and 127.0.0.1, and
# localhost for ::1 and 127.0.0.1, in an /etc/hosts of the namespace's own.
# Exits 77 (the test is skipped) where no namespace can be made.
set -euo pipefail

if [[ ${KORVALOOP_NETNS:-} != inside ]]; then
    export KORVALOOP_NETNS=inside
    if [[ $(id -u) -eq 0 ]]; then
        unshare=(unshare --net --mount)
    else
        unshare=(unshare --user --map-root-user --net --mount)
    fi
    if ! "${unshare[@]}" true 2>/dev/null; then
        echo "no network namespace can be made here: skipped"
        exit 77
    fi
    exec "${unshare[@]}" "$0" "$@"
fi

ip link set lo up

ip link add bh0 type veth peer name bh1
ip link set bh0 up
ip link set bh1 up
ip addr add 192.168.200.1/30 dev bh0
# Made-up neighbours: nothing is asked on the link, packets just leave.
ip neigh add 192.168.200.2 lladdr 02:00:00:00:00:02 dev bh0 nud permanent
ip -6 neigh add fe80::2 lladdr 02:00:00:00:00:02 dev bh0 nud permanent
ip route add 198.51.100.0/24 via 192.168.200.2 dev bh0
ip -6 route add 2001:db8::/32 via fe80::2 dev bh0
nft -f - <<'RULES'
table netdev blackhole {
    chain in {
        type filter hook ingress device bh1 priority 0; policy drop;
    }
}
RULES

hosts=$(mktemp)
trap 'rm -f "$hosts"' EXIT
cat >"$hosts" <<'HOSTS'
127.0.0.1 localhost
::1 localhost
2001:db8::7 blackholed.korvaloop.test
127.0.0.1 blackholed.korvaloop.test
HOSTS
mount --bind "$hosts" /etc/hosts
"$@"
