#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Inside tests/discovery-namespace.sh only: brings the private system bus and
# mDNS daemon to a state, "up", "no-avahi" or "no-bus". Every wait ends after
# ten seconds.
set -euo pipefail
conf=${KORVALOOP_NAMESPACE:?runs only inside tests/discovery-namespace.sh}

wait_for() {
    for _ in $(seq 100); do
        "$@" && return 0
        sleep 0.1
    done
    echo "$(basename "$0"): timed out waiting for: $*" >&2
    return 1
}
ask_bus() { dbus-send --system --print-reply --dest=org.freedesktop.DBus / "$@" 2>/dev/null; }
bus() { ask_bus org.freedesktop.DBus.GetId >/dev/null; }
no_bus() { ! bus; }
avahi() { ask_bus org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Avahi | grep -q 'boolean true'; }
no_avahi() { ! avahi-daemon --check 2>/dev/null && ! avahi; }

case ${1:-} in
up)
    if ! bus; then
        rm -f /run/dbus/system_bus_socket
        dbus-daemon --config-file="$conf/dbus.conf" --fork
        wait_for bus
    fi
    if ! avahi; then
        avahi-daemon --file="$conf/avahi-daemon.conf" --no-drop-root --no-chroot --daemonize
        wait_for avahi
    fi
    ;;
no-avahi)
    avahi-daemon --kill 2>/dev/null || true
    wait_for no_avahi
    ;;
no-bus)
    "$0" no-avahi
    [[ -f /run/dbus/pid ]] && kill "$(cat /run/dbus/pid)"
    wait_for no_bus
    rm -f /run/dbus/system_bus_socket
    ;;
*)
    echo "usage: $(basename "$0") up|no-avahi|no-bus" >&2
    exit 2
    ;;
esac
