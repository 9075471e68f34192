#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a command (a test, a benchmark) in network, mount and process
# namespaces of its own: loopback is the only interface, so no packet leaves
# the machine, and /run is a fresh tmpfs, so the system bus and the mDNS
# daemon started here are its own. The command finds them running and can
# stop and start them with $KORVALOOP_DAEMONS (tests/namespace-daemons.sh).
# A test may add a second network of its own, korvaloop1, which the daemon
# takes up too. When the command ends, every process in the namespace ends
# with it.
#
# Needs root (avahi-daemon cannot make its runtime directory in a user
# namespace). As another user it exits 77, which CTest counts as skipped;
# ./test runs it through sudo then.
set -euo pipefail

if [[ -z ${KORVALOOP_NAMESPACE:-} ]]; then
    if [[ $(id -u) -ne 0 ]]; then
        echo "$(basename "$0"): needs root; ./test runs it through sudo" >&2
        exit 77
    fi
    for tool in unshare ip dbus-daemon dbus-send avahi-daemon avahi-browse avahi-publish-service; do
        command -v "$tool" >/dev/null || { echo "$(basename "$0"): $tool is missing" >&2; exit 1; }
    done
    export KORVALOOP_NAMESPACE=/run/korvaloop-test
    KORVALOOP_DAEMONS=$(realpath "$(dirname "$0")/namespace-daemons.sh")
    export KORVALOOP_DAEMONS
    exec unshare --net --mount --pid --fork --mount-proc --kill-child -- "$0" "$@"
fi

ip link set lo up multicast on
mount -t tmpfs -o mode=0755 korvaloop-test /run
mkdir -p /run/dbus "$KORVALOOP_NAMESPACE/xdg"
chmod 0700 "$KORVALOOP_NAMESPACE/xdg"
export XDG_RUNTIME_DIR=$KORVALOOP_NAMESPACE/xdg

# A system bus that lets everyone do everything: nobody else is on it.
cat >"$KORVALOOP_NAMESPACE/dbus.conf" <<'EOF'
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <pidfile>/run/dbus/pid</pidfile>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
  </policy>
</busconfig>
EOF

cat >"$KORVALOOP_NAMESPACE/avahi-daemon.conf" <<'EOF'
[server]
allow-interfaces=lo,korvaloop1
use-ipv4=yes
use-ipv6=yes
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
EOF

"$KORVALOOP_DAEMONS" up
"$@"
