#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A home network with a router and a piece of internet, made of network
# namespaces joined by veth pairs, for a command (a test, a benchmark, a copy
# of the game) that runs on the home network's one machine:
#   router-namespace.sh PROGRAM [ARGS...]
#
#   this machine     lan0 192.168.77.10/24 and 2001:db8:1::10/64, default
#                    routes via the router (192.168.77.1, 2001:db8:1::1)
#   "router"         lan0 192.168.77.1/24 and 2001:db8:1::1/64, wan0
#                    198.51.100.1/24 and 2001:db8:ff::1/64: forwards from the
#                    LAN (masquerading IPv4), lets nothing in from outside but
#                    what miniupnpd opens (IPv4 forwards, IPv6 pinholes)
#   "wan"            wan0 198.51.100.20/24 and 2001:db8:ff::20/64: a peer on
#                    the internet, with the STUN server miniupnpd asks for its
#                    public address
#   "device"         lan66 192.168.77.66/24 and 2001:db8:1::66/64: another
#                    device on the home network, with a link-layer address
#                    of its own (a macvlan on the router's end of the LAN)
#
# The router starts with miniupnpd answering UPnP and NAT-PMP/PCP. The
# command changes it, and reaches the other two namespaces, through
# $KORVALOOP_ROUTER (tests/router-control.sh; "$KORVALOOP_ROUTER help").
# The STUN server is $KORVALOOP_STUN_RESPONDER (the build's
# tests/sandbox/stunresponder).
#
# Everything runs in mount, network and process namespaces of its own, with a
# fresh tmpfs on /run (so the namespaces' names are its own too): no packet
# reaches a real network, and when the command ends, every process started
# here ends with it. Needs root; as another user, or where namespaces cannot
# be made, it exits 77, which CTest counts as skipped.
set -euo pipefail

here=$(realpath "$(dirname "$0")")
if [[ -z ${KORVALOOP_ROUTER_SANDBOX:-} ]]; then
    if [[ $(id -u) -ne 0 ]]; then
        echo "$(basename "$0"): needs root: skipped" >&2
        exit 77
    fi
    for tool in unshare ip nft miniupnpd; do
        command -v "$tool" >/dev/null || { echo "$(basename "$0"): $tool is missing" >&2; exit 1; }
    done
    if [[ ! -x ${KORVALOOP_STUN_RESPONDER:-} ]]; then
        echo "$(basename "$0"): set KORVALOOP_STUN_RESPONDER to the built stunresponder" >&2
        exit 1
    fi
    if ! unshare --mount --net --pid --fork --kill-child --mount-proc true 2>/dev/null; then
        echo "$(basename "$0"): no namespaces can be made here: skipped" >&2
        exit 77
    fi
    export KORVALOOP_ROUTER_SANDBOX=/run/korvaloop-router
    export KORVALOOP_ROUTER=$here/router-control.sh
    exec unshare --mount --net --pid --fork --kill-child --mount-proc -- "$0" "$@"
fi

mount -t tmpfs -o mode=0755 korvaloop-router /run
mkdir -p "$KORVALOOP_ROUTER_SANDBOX"
ip link set lo up
ip netns add router
ip netns add wan
ip netns add device
# IPv6 on everywhere, before the links are made (they take "default"); the
# static addresses below skip duplicate address detection so that they work
# at once, and nothing here sends router advertisements.
ipv6_on=(sysctl -q -w net.ipv6.conf.all.disable_ipv6=0 net.ipv6.conf.default.disable_ipv6=0)
"${ipv6_on[@]}"
ip netns exec router "${ipv6_on[@]}"
ip netns exec wan "${ipv6_on[@]}"
ip netns exec device "${ipv6_on[@]}"
ip -n router link set lo up
ip -n wan link set lo up
ip -n device link set lo up

ip link add lan0 type veth peer name lan0 netns router
ip link add wan0 netns router type veth peer name wan0 netns wan
ip addr add 192.168.77.10/24 dev lan0
ip link set lan0 up multicast on
ip route add default via 192.168.77.1
ip -n router addr add 192.168.77.1/24 dev lan0
ip -n router link set lan0 up multicast on
ip -n router addr add 198.51.100.1/24 dev wan0
ip -n router link set wan0 up
ip -n wan addr add 198.51.100.20/24 dev wan0
ip -n wan link set wan0 up
ip -n router link add lan66 link lan0 type macvlan mode bridge
ip -n router link set lan66 netns device
ip -n device addr add 192.168.77.66/24 dev lan66
ip -n device -6 addr add 2001:db8:1::66/64 dev lan66 nodad
ip -n device link set lan66 up multicast on
ip netns exec router sysctl -q -w net.ipv4.ip_forward=1
# IPv6: the LAN's addresses (this machine's, its default route and the
# router's) are router-control.sh's, which takes them away in one mode.
ip -n router -6 addr add 2001:db8:ff::1/64 dev wan0 nodad
ip -n wan -6 addr add 2001:db8:ff::20/64 dev wan0 nodad
ip -n wan -6 route add 2001:db8:1::/64 via 2001:db8:ff::1 dev wan0
ip netns exec router sysctl -q -w net.ipv6.conf.all.forwarding=1

# The router's firewall, for IPv4 and IPv6 alike, with the chains miniupnpd
# fills (its nftables build's default names: table inet filter, chains
# miniupnpd, prerouting_miniupnpd and postrouting_miniupnpd; the IPv6
# pinholes go into miniupnpd too). "closed" is where router-control.sh drops
# or rejects the router's own services, "crossing" where it drops what
# crosses the router. A connection from outside that nothing lets in is
# refused with a reset rather than dropped, so that a test learns at once
# that a port is closed.
ip netns exec router nft -f - <<'EOF'
table inet filter {
    chain input {
        type filter hook input priority 0; policy accept;
        jump closed
        iifname "wan0" ct state established,related accept
        meta l4proto ipv6-icmp accept
        iifname "wan0" meta l4proto tcp reject with tcp reset
        iifname "wan0" drop
    }
    chain closed {
    }
    chain crossing {
    }
    chain forward {
        type filter hook forward priority 0; policy drop;
        jump crossing
        ct state established,related accept
        iifname "lan0" oifname "wan0" accept
        jump miniupnpd
        iifname "wan0" meta l4proto tcp reject with tcp reset
    }
    chain miniupnpd {
    }
    chain prerouting {
        type nat hook prerouting priority -100; policy accept;
        jump prerouting_miniupnpd
    }
    chain postrouting {
        type nat hook postrouting priority 100; policy accept;
        jump postrouting_miniupnpd
        oifname "wan0" masquerade
    }
    chain prerouting_miniupnpd {
    }
    chain postrouting_miniupnpd {
    }
}
EOF

ip netns exec wan "$KORVALOOP_STUN_RESPONDER" 198.51.100.20 3478 &
"$KORVALOOP_ROUTER" mode both
"$@"
