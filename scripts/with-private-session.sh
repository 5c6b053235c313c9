#!/usr/bin/env bash
# Runs a command on a session bus of its own, with a scratch home and XDG folders, so that the
# desktop metadata service it activates never sees a real user's bus, files or store.
#
#   scripts/with-private-session.sh [--autolaunch] command [argument ...]
#
# With --autolaunch there is no bus at all, only an "autolaunch:" address and a display, with which
# GLib would start one through dbus-launch: the dbus-launch first on PATH only leaves a trace, and a
# trace fails the run.
set -euo pipefail

scratch="$(mktemp -d "${TMPDIR:-/tmp}/lumaro-session.XXXXXXXX")"
# The session's gvfs daemons write their stores out once more when the bus goes: let them end
# first (at most 2.5 s), so that nothing is removed under them.
cleanup() {
    for _ in $(seq 25); do
        local busy=0
        for pid in $(pgrep -x gvfsd-metadata; pgrep -x gvfsd); do
            grep -qsF "$scratch/" "/proc/$pid/environ" && busy=1
        done
        [ "$busy" = 0 ] && break
        sleep 0.1
    done
    rm -rf "$scratch"
}
trap cleanup EXIT
mkdir -p "$scratch"/{home,data,config,cache,runtime}
chmod 700 "$scratch/runtime"

unset DBUS_SESSION_BUS_ADDRESS GIO_USE_VFS DISPLAY WAYLAND_DISPLAY
export HOME="$scratch/home" XDG_DATA_HOME="$scratch/data" XDG_CONFIG_HOME="$scratch/config" \
    XDG_CACHE_HOME="$scratch/cache" XDG_RUNTIME_DIR="$scratch/runtime"
export LUMARO_PRIVATE_SESSION=1
if [ "${1:-}" = --autolaunch ]; then
    shift
    mkdir "$scratch/bin"
    printf '#!/bin/sh\ntouch "%s/launched"\nexit 1\n' "$scratch" >"$scratch/bin/dbus-launch"
    chmod 755 "$scratch/bin/dbus-launch"
    status=0
    DBUS_SESSION_BUS_ADDRESS=autolaunch: DISPLAY=:0 PATH="$scratch/bin:$PATH" "$@" || status=$?
    [ ! -e "$scratch/launched" ] || { echo "with-private-session.sh: a session bus was started" >&2; status=1; }
    exit "$status"
fi
# dbus-run-session ends the bus, and with it the daemons it activated, when the command ends.
set +e
dbus-run-session -- "$@"
status=$?
set -e
exit "$status"
