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
# One hop away through rt0 (where this machine is 192.168.201.1, an address
# that is not loopback) stands a router, in the network namespace of a
# sleeping process, that answers for some addresses with the errors a real
# network gives, as a home router or a provider's does for a host or network
# it cannot reach:
#   198.51.100.99  ICMP host unreachable    2001:db8:99::99  ICMPv6 address unreachable
#   198.51.100.98  ICMP network unreachable 2001:db8:99::98  ICMPv6 no route
#   198.51.100.97  ICMP admin. prohibited   2001:db8:99::97  ICMPv6 admin. prohibited
# and here, with no packet sent at all, routes that say no:
#   198.51.100.95  unreachable              2001:db8:98::95  unreachable
#   198.51.100.94  prohibited               2001:db8:97::94  prohibited
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

unshare --net sleep infinity &
router=$!
hosts=$(mktemp)
trap 'kill "$router"; rm -f "$hosts"' EXIT
for _ in $(seq 100); do
    [[ $(readlink "/proc/$router/ns/net") != $(readlink /proc/self/ns/net) ]] && break
    sleep 0.05
done
in_router=(nsenter -t "$router" -n)
"${in_router[@]}" ip link set lo up
# Every packet answered, however close together (the tests try one after another).
"${in_router[@]}" sysctl -q -w net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1 \
    net.ipv4.icmp_ratelimit=0 net.ipv6.icmp.ratelimit=0
ip link add rt0 type veth peer name rt1 netns "$router"
ip addr add 192.168.201.1/30 dev rt0
ip addr add 2001:db8:201::1/64 dev rt0 nodad
ip link set rt0 up
"${in_router[@]}" ip addr add 192.168.201.2/30 dev rt1
"${in_router[@]}" ip addr add 2001:db8:201::2/64 dev rt1 nodad
"${in_router[@]}" ip link set rt1 up
# What the router would forward to leaves through a link to nowhere.
"${in_router[@]}" ip link add wan type veth peer name wan1
"${in_router[@]}" ip link set wan1 up
"${in_router[@]}" ip addr add 198.51.100.254/24 dev wan
"${in_router[@]}" ip addr add 2001:db8:99::1/64 dev wan nodad
"${in_router[@]}" ip link set wan up
for last in 99 98 97; do
    ip route add "198.51.100.$last/32" via 192.168.201.2 dev rt0
    ip -6 route add "2001:db8:99::$last/128" via 2001:db8:201::2 dev rt0
done
"${in_router[@]}" nft -f - <<'RULES'
table inet unreachable {
    chain forward {
        type filter hook forward priority 0; policy accept;
        ip daddr 198.51.100.99 reject with icmp type host-unreachable
        ip daddr 198.51.100.98 reject with icmp type net-unreachable
        ip daddr 198.51.100.97 reject with icmp type admin-prohibited
        ip6 daddr 2001:db8:99::99 reject with icmpv6 type addr-unreachable
        ip6 daddr 2001:db8:99::98 reject with icmpv6 type no-route
        ip6 daddr 2001:db8:99::97 reject with icmpv6 type admin-prohibited
    }
}
RULES
ip route add unreachable 198.51.100.95/32
ip route add prohibit 198.51.100.94/32
ip -6 route add unreachable 2001:db8:98::/48
ip -6 route add prohibit 2001:db8:97::/48

cat >"$hosts" <<'HOSTS'
127.0.0.1 localhost
::1 localhost
2001:db8::7 blackholed.korvaloop.test
127.0.0.1 blackholed.korvaloop.test
HOSTS
mount --bind "$hosts" /etc/hosts
"$@"
