#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Inside tests/router-namespace.sh only ($KORVALOOP_ROUTER there): sets the
# router up and reaches the sandbox's other two namespaces. Every wait ends
# within ten seconds.
set -euo pipefail
dir=${KORVALOOP_ROUTER_SANDBOX:?runs only inside tests/router-namespace.sh}
me=$(basename "$0")

usage() {
    cat <<EOF
usage: $me COMMAND [ARGS...]
  mode MODE [SETTING...]   restarts the router in MODE, with no mappings:
      both | upnp | natpmp  miniupnpd answers UPnP-IGD and NAT-PMP/PCP, or one
                            of them; outside address 198.51.100.1 (public)
      second-router         miniupnpd answers both, but the router's outside
                            address is 100.64.0.1, behind the provider's NAT
      off                   no miniupnpd: nothing answers on the router, and
                            a stand-in (tests/sandbox/fakeigd) may
      drop | reject         no miniupnpd; the router drops, or refuses, what
                            is sent to it
    SETTINGs (with both, upnp, natpmp):
      taken=PORT            TCP PORT is already forwarded to 192.168.77.99
      igd-v1                the router describes itself as an IGD version 1
      cpu=N                 miniupnpd runs on CPU N only, as on a box of its
                            own (for timings)
  mappings                 the router's port forwards, one a line:
                           "tcp OUTSIDE_PORT LAN_ADDRESS:PORT"
  reach ADDRESS PORT       from the internet peer (198.51.100.20): connects,
                           sends "ping" and succeeds when it comes back
                           within 2 s
  router CMD [ARGS...]     runs CMD in the router's namespace
  wan CMD [ARGS...]        runs CMD in the internet peer's namespace
  log                      what miniupnpd wrote since it was last started
EOF
}

wait_for() {
    for _ in $(seq 100); do
        "$@" && return 0
        sleep 0.1
    done
    echo "$me: timed out waiting for: $*" >&2
    return 1
}

in_router() { ip netns exec router "$@"; }
running() { [[ -f $dir/miniupnpd.pid ]] && kill -0 "$(cat "$dir/miniupnpd.pid" 2>/dev/null)" 2>/dev/null; }
stopped() { ! running; }
ready() { grep -q "$1" "$dir/miniupnpd.log"; }

stop_router() {
    if running; then
        kill "$(cat "$dir/miniupnpd.pid")"
        wait_for stopped
    fi
    rm -f "$dir/miniupnpd.pid" "$dir/leases"
    for chain in miniupnpd prerouting_miniupnpd postrouting_miniupnpd closed; do
        in_router nft flush chain inet filter "$chain"
    done
}

set_outside() {
    in_router ip addr flush dev wan0
    in_router ip addr add "$1" dev wan0
}

start_router() {
    local upnp=$1 natpmp=$2 stun=$3
    shift 3
    local igd_v1=no pin=()
    : >"$dir/leases"
    for setting in "$@"; do
        case $setting in
        taken=*)
            # Another machine's forward, as miniupnpd keeps it across restarts.
            echo "TCP:${setting#taken=}:192.168.77.99:${setting#taken=}:0:another machine" \
                >>"$dir/leases"
            ;;
        igd-v1) igd_v1=yes ;;
        cpu=*) pin=(taskset -c "${setting#cpu=}") ;;
        *) echo "$me: unknown setting: $setting" >&2; exit 2 ;;
        esac
    done
    cat >"$dir/miniupnpd.conf" <<EOF
ext_ifname=wan0
listening_ip=lan0
ipv6_disable=yes
http_port=0
enable_upnp=$upnp
enable_natpmp=$natpmp
secure_mode=yes
lease_file=$dir/leases
minissdpdsocket=$dir/no-minissdpd-here
ext_perform_stun=$stun
ext_stun_host=198.51.100.20
ext_stun_port=3478
min_lifetime=120
max_lifetime=86400
force_igd_desc_v1=$igd_v1
system_uptime=no
uuid=6b6f7276-616c-6f6f-7000-000000000001
allow 1024-65535 192.168.77.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
EOF
    [[ $stun == yes ]] || sed -i '/^ext_stun_/d' "$dir/miniupnpd.conf"
    ip netns exec router "${pin[@]}" miniupnpd -f "$dir/miniupnpd.conf" -d -P "$dir/miniupnpd.pid" \
        </dev/null >"$dir/miniupnpd.log" 2>&1 &
    if [[ $natpmp == yes ]]; then
        wait_for ready 'Listening for NAT-PMP'
    fi
    if [[ $upnp == yes ]]; then
        wait_for ready 'HTTP listening on port'
    fi
}

close() {
    in_router nft add rule inet filter closed iifname lan0 udp dport '{ 1900, 5351 }' "$1"
    in_router nft add rule inet filter closed iifname lan0 tcp dport '>= 1024' "$1"
}

case ${1:-} in
mode)
    mode=${2:?mode what?}
    shift 2
    stop_router
    set_outside 198.51.100.1/24
    case $mode in
    both) start_router yes yes yes "$@" ;;
    upnp) start_router yes no yes "$@" ;;
    natpmp) start_router no yes yes "$@" ;;
    second-router)
        set_outside 100.64.0.1/10
        start_router yes yes no "$@"
        ;;
    off) ;;
    drop) close drop ;;
    reject) close reject ;;
    *) usage >&2; exit 2 ;;
    esac
    ;;
mappings)
    # prerouting_miniupnpd holds one dnat rule a forward, the protocol as
    # the IP header's byte (6 TCP, 17 UDP), such as
    #   iif "wan0" @nh,72,8 0x6 th dport 2539 dnat ip to 192.168.77.10:2539
    in_router nft list chain inet filter prerouting_miniupnpd |
        sed -n 's/.*@nh,72,8 \(0x[0-9a-f]*\) th dport \([0-9]*\) dnat ip to \([0-9.:]*\).*/\1 \2 \3/p' |
        sed 's/^0x6 /tcp /; s/^0x11 /udp /'
    ;;
reach)
    address=${2:?reach what address?}
    port=${3:?reach what port?}
    ip netns exec wan timeout 2 bash -c '
        exec 3<>"/dev/tcp/$0/$1" && echo ping >&3 && read -r answer <&3 && [[ $answer == ping ]]
    ' "$address" "$port" 2>/dev/null
    ;;
router)
    shift
    exec ip netns exec router "$@"
    ;;
wan)
    shift
    exec ip netns exec wan "$@"
    ;;
log)
    cat "$dir/miniupnpd.log" 2>/dev/null || true
    ;;
help | --help | -h)
    usage
    ;;
*)
    usage >&2
    exit 2
    ;;
esac
