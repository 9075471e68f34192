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
  mode MODE [SETTING...]   restarts the router in MODE, with no mappings and
                           no pinholes:
      both | upnp | natpmp  miniupnpd answers UPnP-IGD and NAT-PMP/PCP, or one
                            of them; outside address 198.51.100.1 (public);
                            IPv6 pinholes through either (IGD 2, PCP)
      second-router         miniupnpd answers both, but the router's outside
                            address is 100.64.0.1, behind the provider's NAT;
                            IPv6 as in both, where only a pinhole works
      no-ipv6 | v6-drop     both, with the SETTING of the same name
      off                   no miniupnpd: nothing answers on the router, and
                            a stand-in (tests/sandbox/fakeigd) may
      drop | reject         no miniupnpd; the router drops, or refuses, what
                            is sent to it
    SETTINGs (with both, upnp, natpmp, second-router, no-ipv6, v6-drop; off,
    drop and reject take no-ipv6 and cpu= only):
      taken=PORT            TCP PORT is already forwarded to 192.168.77.99
      igd-v1                the router describes itself as an IGD version 1
                            (which has no IPv6 pinholes; PCP still opens them)
      cpu=N                 miniupnpd runs on CPU N only, as on a box of its
                            own (for timings)
      min-lifetime=N        miniupnpd grants leases as short as N s (else
                            120 s)
      no-ipv6               the home network has no IPv6: neither this
                            machine (2001:db8:1::10, its default route) nor
                            the router (2001:db8:1::1) has an address there,
                            and miniupnpd leaves IPv6 alone; every other
                            start gives them back
      v6-drop               the router drops all IPv6 that crosses it, either
                            way; it still answers on the home network
      v6-link-local         this machine's IPv6 default route goes via the
                            router's link-local address fe80::1, as router
                            advertisements set it on most home networks; the
                            router's global address is still 2001:db8:1::1
  ssdp-late MS             the router's answers to searches are dropped for
                           the next MS milliseconds (at most 10000), as a
                           router's that waits before it answers
  mappings                 the router's port forwards, one a line:
                           "tcp OUTSIDE_PORT LAN_ADDRESS:PORT"
  pinholes                 the router's IPv6 pinholes, one a line, sorted:
                           "tcp6 LAN_ADDRESS PORT" ("udp6 ..." for UDP)
  reach ADDRESS PORT       from the internet peer (198.51.100.20): connects,
                           sends "ping" and succeeds when it comes back
                           within 2 s
  reach6 ADDRESS PORT      the same over IPv6, from 2001:db8:ff::20; ADDRESS
                           without brackets
  router CMD [ARGS...]     runs CMD in the router's namespace
  wan CMD [ARGS...]        runs CMD in the internet peer's namespace
  device CMD [ARGS...]     runs CMD on another device of the home network
                           (192.168.77.66, 2001:db8:1::66)
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
    for chain in miniupnpd prerouting_miniupnpd postrouting_miniupnpd closed crossing; do
        in_router nft flush chain inet filter "$chain"
    done
}

set_outside() {
    in_router ip -4 addr flush dev wan0
    in_router ip addr add "$1" dev wan0
}

# The home network's IPv6: this machine's address and default route, and the
# router's address there, or none of them.
lan_ipv6() {
    if [[ $1 == on ]]; then
        ip -6 addr replace 2001:db8:1::10/64 dev lan0 nodad
        in_router ip -6 addr replace 2001:db8:1::1/64 dev lan0 nodad
        ip -6 route replace default via 2001:db8:1::1 dev lan0
    else
        ip -6 route del default via 2001:db8:1::1 dev lan0 2>/dev/null || true
        ip -6 addr del 2001:db8:1::10/64 dev lan0 2>/dev/null || true
        in_router ip -6 addr del 2001:db8:1::1/64 dev lan0 2>/dev/null || true
    fi
}

start_router() {
    local upnp=$1 natpmp=$2 stun=$3
    shift 3
    local igd_v1=no pin=() ipv6=yes min_lifetime=120
    : >"$dir/leases"
    for setting in "$@"; do
        case $setting in
        no-ipv6)
            lan_ipv6 off
            ipv6=no
            ;;
        v6-drop) in_router nft add rule inet filter crossing meta nfproto ipv6 drop ;;
        v6-link-local)
            in_router ip -6 addr replace fe80::1/64 dev lan0 nodad
            ip -6 route replace default via fe80::1 dev lan0
            ;;
        taken=*)
            # Another machine's forward, as miniupnpd keeps it across restarts.
            echo "TCP:${setting#taken=}:192.168.77.99:${setting#taken=}:0:another machine" \
                >>"$dir/leases"
            ;;
        igd-v1) igd_v1=yes ;;
        cpu=*) pin=(taskset -c "${setting#cpu=}") ;;
        min-lifetime=*) min_lifetime=${setting#min-lifetime=} ;;
        *) echo "$me: unknown setting: $setting" >&2; exit 2 ;;
        esac
    done
    cat >"$dir/miniupnpd.conf" <<EOF
ext_ifname=wan0
ext_ifname6=wan0
listening_ip=lan0
ipv6_disable=$([[ $ipv6 == yes ]] && echo no || echo yes)
http_port=0
enable_upnp=$upnp
enable_natpmp=$natpmp
secure_mode=yes
lease_file=$dir/leases
minissdpdsocket=$dir/no-minissdpd-here
ext_perform_stun=$stun
ext_stun_host=198.51.100.20
ext_stun_port=3478
min_lifetime=$min_lifetime
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

# 32 hexadecimal digits as an IPv6 address is written (RFC 5952): no leading
# zeros, the longest run of two or more zero groups (the first of equals) as
# "::".
ipv6_text() {
    local hex=$1 groups=() i best=-1 best_length=1 start=-1 text=""
    for i in {0..7}; do
        groups+=("$(printf %x "0x${hex:i*4:4}")")
    done
    for i in {0..8}; do
        if [[ $i -lt 8 && ${groups[i]} == 0 ]]; then
            [[ $start -ge 0 ]] || start=$i
        elif [[ $start -ge 0 ]]; then
            if ((i - start > best_length)); then
                best=$start
                best_length=$((i - start))
            fi
            start=-1
        fi
    done
    for i in {0..7}; do
        if [[ $best -ge 0 && $i -ge $best && $i -lt $((best + best_length)) ]]; then
            [[ $i -eq $best ]] && text+="::"
            continue
        fi
        [[ -z $text || $text == *:: ]] || text+=":"
        text+=${groups[i]}
    done
    echo "$text"
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
    lan_ipv6 on
    case $mode in
    both) start_router yes yes yes "$@" ;;
    no-ipv6 | v6-drop) start_router yes yes yes "$mode" "$@" ;;
    upnp) start_router yes no yes "$@" ;;
    natpmp) start_router no yes yes "$@" ;;
    second-router)
        set_outside 100.64.0.1/10
        start_router yes yes no "$@"
        ;;
    off | drop | reject)
        for setting in "$@"; do
            case $setting in
            no-ipv6) lan_ipv6 off ;;
            cpu=*) ;; # no miniupnpd to pin
            *) echo "$me: unknown setting: $setting" >&2; exit 2 ;;
            esac
        done
        [[ $mode == off ]] || close "$mode"
        ;;
    *) usage >&2; exit 2 ;;
    esac
    ;;
ssdp-late)
    ms=${2:?how many milliseconds?}
    [[ $ms =~ ^[0-9]{1,5}$ && $ms -le 10000 ]] || { echo "$me: not 0-10000 ms: $ms" >&2; exit 2; }
    in_router nft add chain inet filter ssdp_out '{ type filter hook output priority 0; policy accept; }'
    in_router nft add rule inet filter ssdp_out oifname lan0 udp sport 1900 drop
    (sleep "$(printf '%d.%03d' $((ms / 1000)) $((ms % 1000)))"
     in_router nft flush chain inet filter ssdp_out) </dev/null >/dev/null 2>&1 &
    ;;
mappings)
    # prerouting_miniupnpd holds one dnat rule a forward, the protocol as
    # the IP header's byte (6 TCP, 17 UDP), such as
    #   iif "wan0" @nh,72,8 0x6 th dport 2539 dnat ip to 192.168.77.10:2539
    in_router nft list chain inet filter prerouting_miniupnpd |
        sed -n 's/.*@nh,72,8 \(0x[0-9a-f]*\) th dport \([0-9]*\) dnat ip to \([0-9.:]*\).*/\1 \2 \3/p' |
        sed 's/^0x6 /tcp /; s/^0x11 /udp /'
    ;;
reach | reach6)
    address=${2:?reach what address?}
    port=${3:?reach what port?}
    if [[ $1 == reach6 && ($address != *:* || $address == *[!0-9a-fA-F:.]*) ]]; then
        echo "$me: not an IPv6 address: $address" >&2
        exit 2
    fi
    ip netns exec wan timeout 2 bash -c '
        exec 3<>"/dev/tcp/$0/$1" && echo ping >&3 && read -r answer <&3 && [[ $answer == ping ]]
    ' "$address" "$port" 2>/dev/null
    ;;
pinholes)
    # miniupnpd's IPv6 pinholes sit in the miniupnpd chain beside the IPv4
    # forwards, one accept rule each, the next header as the IPv6 header's
    # byte (6 TCP, 17 UDP) and the LAN address as its last 16 bytes, such as
    #   iif "wan0" th dport 2539 @nh,192,128 0x20010db8000100000000000000000010 @nh,48,8 0x6 accept
    in_router nft list chain inet filter miniupnpd |
        sed -n 's/.* th dport \([0-9]*\) .*@nh,192,128 0x\([0-9a-f]\{32\}\) .*@nh,48,8 \(0x[0-9a-f]*\) .*/\3 \2 \1/p' |
        while read -r protocol hex port; do
            case $protocol in
            0x6) protocol=tcp6 ;;
            0x11) protocol=udp6 ;;
            *) continue ;;
            esac
            echo "$protocol $(ipv6_text "$hex") $port"
        done | sort
    ;;
router)
    shift
    exec ip netns exec router "$@"
    ;;
wan)
    shift
    exec ip netns exec wan "$@"
    ;;
device)
    shift
    exec ip netns exec device "$@"
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
