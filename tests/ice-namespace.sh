#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Two homes whose routers open nothing, each behind a Linux router that
# masquerades and drops whatever new comes in from outside, and between them
# a piece of internet with a STUN and TURN server (coturn); the two players'
# sides (tests/sandbox/icepeer) exchange their codes and carry bytes both ways:
#   ice-namespace.sh ICEPEER STUNRESPONDER
#
#   "internet"   br0 198.51.100.1/24: coturn on 198.51.100.1:3478 (TURN for
#                player:secret); 198.51.100.2/24: a STUN server
#                (tests/sandbox/stunresponder)
#   "router1/2"  wan0 198.51.100.11/.12, lan0 192.168.1.1/.2.1
#   "home1/2"    lan0 192.168.1.10, 192.168.2.10
#
# Cases, each printed with its outcome:
#   cone       the routers keep a flow's outside port: a direct path opens
#   symmetric  the routers pick a new outside port per destination
#              (masquerade fully-random): no direct path, said in words
#   relay      the same routers, with the TURN server: the path should go
#              through it; run only with KORVALOOP_ICE_RELAY_CASE=1, as the
#              link does not yet find the relayed pair
#
# Runs in mount, network and process namespaces of its own; needs root and
# coturn (exits 77, skipped, without them).
set -euo pipefail

if [[ -z ${KORVALOOP_ICE_SANDBOX:-} ]]; then
    if [[ $(id -u) -ne 0 ]]; then
        echo "$(basename "$0"): needs root: skipped" >&2
        exit 77
    fi
    for tool in unshare ip nft turnserver; do
        command -v "$tool" >/dev/null || { echo "$(basename "$0"): $tool is missing: skipped" >&2; exit 77; }
    done
    if ! unshare --mount --net --pid --fork --kill-child --mount-proc true 2>/dev/null; then
        echo "$(basename "$0"): no namespaces can be made here: skipped" >&2
        exit 77
    fi
    export KORVALOOP_ICE_SANDBOX=1
    exec unshare --mount --net --pid --fork --kill-child --mount-proc -- "$0" "$@"
fi

icepeer=$1
stunresponder=$2
mount -t tmpfs -o mode=0755 korvaloop-ice /run
work=$(mktemp -d)
ip link set lo up
ip netns add internet
ip -n internet link set lo up
ip -n internet link add br0 type bridge
ip -n internet addr add 198.51.100.1/24 dev br0
ip -n internet addr add 198.51.100.2/24 dev br0
ip -n internet link set br0 up

for n in 1 2; do
    ip netns add router$n
    ip netns add home$n
    ip -n router$n link set lo up
    ip -n home$n link set lo up
    ip -n router$n link add wan0 type veth peer name up$n netns internet
    ip -n internet link set up$n master br0 up
    ip -n router$n addr add 198.51.100.1$n/24 dev wan0
    ip -n router$n link set wan0 up
    ip -n router$n link add lan0 type veth peer name lan0 netns home$n
    ip -n router$n addr add 192.168.$n.1/24 dev lan0
    ip -n router$n link set lan0 up
    ip -n home$n addr add 192.168.$n.10/24 dev lan0
    ip -n home$n link set lan0 up
    ip -n home$n route add default via 192.168.$n.1
    ip netns exec router$n sysctl -q -w net.ipv4.ip_forward=1
done

# masquerade [fully-random] and a stateful firewall: only answers come in.
routers() {
    local how=$1
    for n in 1 2; do
        ip netns exec router$n nft flush ruleset
        ip netns exec router$n nft -f - <<NFT
table inet filter {
    chain input {
        type filter hook input priority 0; policy accept;
        iifname "wan0" ct state established,related accept
        iifname "wan0" drop
    }
    chain forward {
        type filter hook forward priority 0; policy drop;
        ct state established,related accept
        iifname "lan0" oifname "wan0" accept
    }
}
table ip nat {
    chain postrouting {
        type nat hook postrouting priority 100; policy accept;
        oifname "wan0" masquerade $how
    }
}
NFT
        ip netns exec router$n conntrack -F 2>/dev/null || true
    done
}

ip netns exec internet turnserver --listening-ip=198.51.100.1 --relay-ip=198.51.100.1 \
    --listening-port=3478 --min-port=49152 --max-port=49200 --lt-cred-mech \
    --user=player:secret --realm=korvaloop.test --no-tls --no-dtls --no-cli \
    --log-file=stdout --pidfile="$work/turn.pid" --verbose \
    >"$work/turn.log" 2>&1 &
for _ in $(seq 50); do
    ip netns exec internet ss -uln | grep -q '198.51.100.1:3478' && break
    sleep 0.1
done

ip netns exec internet "$stunresponder" 198.51.100.2 3478 &

# join CASE EXPECT [ENV...]: both sides run with ENV; EXPECT is ok or failed.
failures=0
join() {
    local name=$1 expect=$2
    shift 2
    rm -f "$work"/to1 "$work"/to2
    mkfifo "$work"/to1 "$work"/to2
    ip netns exec home1 env "$@" "$icepeer" host 200000 <"$work"/to1 >"$work"/out1 2>"$work"/err1 &
    local p1=$!
    ip netns exec home2 env "$@" "$icepeer" join 200000 <"$work"/to2 >"$work"/out2 2>"$work"/err2 &
    local p2=$!
    exec 7>"$work"/to1 8>"$work"/to2
    local code1="" code2=""
    for _ in $(seq 100); do
        code1=$(sed -n 's/^code //p' "$work"/out1)
        code2=$(sed -n 's/^code //p' "$work"/out2)
        [[ -n $code1 && -n $code2 ]] && break
        sleep 0.1
    done
    echo "$code2" >&7
    echo "$code1" >&8
    local r1=0 r2=0
    wait $p1 || r1=$?
    wait $p2 || r2=$?
    exec 7>&- 8>&-
    local last1 last2
    last1=$(tail -n 1 "$work"/out1)
    last2=$(tail -n 1 "$work"/out2)
    echo "$name: host: $last1"
    echo "$name: join: $last2"
    echo "$name: codes: ${#code1} and ${#code2} characters"
    if [[ $last1 != "$expect"* || $last2 != "$expect"* ]]; then
        echo "$name: FAILED, expected $expect" >&2
        cat "$work"/err1 "$work"/err2 >&2
        failures=$((failures + 1))
    fi
    if [[ $expect == ok ]] && [[ $r1 -ne 0 || $r2 -ne 0 ]]; then
        failures=$((failures + 1))
    fi
}

# libnice asks in RFC 3489's form, which coturn leaves unanswered: the
# STUN server the players are given is the sandbox's own responder.
stun=("KORVALOOP_STUN=198.51.100.9:3478 198.51.100.2:3478")
turn=(KORVALOOP_TURN=turn:player:secret@198.51.100.1:3478)

routers ""
join cone "ok direct" "${stun[@]}"
routers fully-random
join symmetric failed "${stun[@]}"
if [[ -n ${KORVALOOP_ICE_RELAY_CASE:-} ]]; then
    join relay "ok relayed" "${stun[@]}" "${turn[@]}"
fi

[[ $failures -eq 0 ]] || tail -n 40 "$work"/turn.log* >&2
kill "$(cat "$work/turn.pid" 2>/dev/null)" 2>/dev/null || true
exit $((failures > 0))
