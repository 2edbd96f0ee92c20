#!/usr/bin/env bash
# Private sound server for tests, benchmarks and the demo.
#
#   sound-server.sh start      pulseaudio|pipewire DIR
#   sound-server.sh start-none pulseaudio|pipewire DIR
#   sound-server.sh stop       DIR
#
# `start` runs a server whose runtime, home, config and state all live in DIR (an existing directory), loads one
# null sink "qfx_null" as the default sink (`start-none`: no sink at all) and waits until it answers. It prints
# `export` lines for the caller to eval (also saved to DIR/env): PULSE_SERVER, PULSE_CLIENTCONFIG, PULSE_COOKIE,
# PULSE_RUNTIME_PATH, XDG_RUNTIME_DIR, QFX_TEST_SERVER_KIND, QFX_TEST_SERVER_DIR, QFX_TEST_SERVER_PIDS,
# QFX_TEST_SERVER_PGID. Every process of the server runs in one process group of its own (DIR/pgid), which `stop`
# ends (TERM, then KILL); `stop` is safe to run more than once.
#
# The user's own server, config and session bus are never used: the servers run with a scrubbed environment, and
# the client config turns autospawn off, so a client whose private server has gone fails instead of starting one.
# Logs: DIR/*.log. QFX_SOUND_SERVER_TIMEOUT: seconds to wait for readiness (default 15).
set -euo pipefail

usage() {
    echo "usage: sound-server.sh start|start-none pulseaudio|pipewire DIR | stop DIR" >&2
    exit 2
}

stop() { # DIR
    local pgid
    pgid=$(cat "$1/pgid" 2>/dev/null) || return 0
    kill -TERM -- "-$pgid" 2>/dev/null || true
    for _ in $(seq 100); do
        kill -0 -- "-$pgid" 2>/dev/null || break
        sleep 0.05
    done
    kill -KILL -- "-$pgid" 2>/dev/null || true
    rm -f "$1/pgid"
}

case ${1:-} in
    stop) (($# == 2)) || usage; stop "$(realpath -m -- "$2")"; exit 0 ;;
    start | start-none) (($# == 3)) || usage ;;
    session) ;; # the start, inside the server's own session
    *) usage ;;
esac
if [[ $1 != session ]]; then
    [[ $2 == pulseaudio || $2 == pipewire ]] || usage
    [[ -d $3 ]] || { echo "sound-server: $3: no such directory" >&2; exit 1; }
    # setsid makes this script the leader of a new session and process group, which every server joins.
    exec setsid -w bash "$0" session "$1" "$2" "$(realpath -- "$3")"
fi

verb=$2 kind=$3 DIR=$4
RUNTIME=$DIR/runtime
SOCKET=$RUNTIME/pulse/native
TIMEOUT=${QFX_SOUND_SERVER_TIMEOUT:-15}
((${#SOCKET} < 108)) || { echo "sound-server: socket path too long: $SOCKET" >&2; exit 1; }
stop "$DIR"
echo $$ >"$DIR/pgid"
pids=()

fail() {
    echo "sound-server: $*" >&2
    for log in "$DIR"/*.log; do
        [[ -s $log ]] && { echo "--- $log"; tail -n 15 "$log"; } >&2
    done
    # Not `stop`: that ends the whole group, this script included.
    kill -KILL "${pids[@]}" 2>/dev/null || true
    rm -f "$DIR/pgid"
    exit 1
}
trap 'fail interrupted' INT TERM HUP

# A leftover socket would look like a live server.
rm -rf "$RUNTIME" "$DIR/bus"
mkdir -p "$RUNTIME/pulse" "$DIR/home" "$DIR/config/pipewire" "$DIR/state/pulse"
chmod 700 "$RUNTIME"
printf 'autospawn = no\ncookie-file = %s\n' "$DIR/cookie" >"$DIR/client.conf"
bus="unix:path=$DIR/no-session-bus"
[[ $kind == pulseaudio ]] || bus="unix:path=$DIR/bus"
ENV=(env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin LANG=C.UTF-8 HOME="$DIR/home" USER="$(id -un)"
    XDG_RUNTIME_DIR="$RUNTIME" XDG_CONFIG_HOME="$DIR/config" XDG_STATE_HOME="$DIR/state"
    XDG_DATA_HOME="$DIR/data" XDG_CACHE_HOME="$DIR/cache" PULSE_RUNTIME_PATH="$RUNTIME/pulse"
    PULSE_STATE_PATH="$DIR/state/pulse" PULSE_CLIENTCONFIG="$DIR/client.conf" PULSE_COOKIE="$DIR/cookie"
    PULSE_SERVER="unix:$SOCKET" DBUS_SESSION_BUS_ADDRESS="$bus" DBUS_SYSTEM_BUS_ADDRESS="unix:path=$DIR/no-bus")
in_env() { "${ENV[@]}" "$@"; }
spawn() { # LOG COMMAND...
    local log=$1
    shift
    "${ENV[@]}" "$@" </dev/null >"$DIR/$log" 2>&1 & # env execs the server: $! is the server's own pid
    pids+=($!)
}
wait_until() { # WHAT COMMAND...
    local what=$1 pid
    shift
    for _ in $(seq $((TIMEOUT * 20))); do
        "$@" >/dev/null 2>&1 && return 0
        for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null || fail "process $pid ended while starting"; done
        sleep 0.05
    done
    fail "timed out after ${TIMEOUT}s waiting for $what"
}
pactl_() { in_env timeout 5 pactl "$@"; }

if [[ $kind == pulseaudio ]]; then
    spawn pulseaudio.log pulseaudio --system=no --daemonize=no --use-pid-file=no -n --exit-idle-time=-1 \
        --realtime=no --high-priority=no --log-target=stderr --log-level=info \
        -L "module-native-protocol-unix socket=$SOCKET auth-anonymous=1"
else
    # A pulse layer of our own: the packaged one loads module-always-sink, which would make a server without
    # sinks impossible. The session manager runs headless: no ALSA, camera or Bluetooth monitors.
    cat >"$DIR/config/pipewire/pipewire-pulse.conf" <<'EOF'
context.spa-libs = { audio.convert.* = audioconvert/libspa-audioconvert
                     support.* = support/libspa-support }
context.modules = [ { name = libpipewire-module-rt args = { nice.level = -11 } flags = [ ifexists nofail ] }
                    { name = libpipewire-module-protocol-native } { name = libpipewire-module-client-node }
                    { name = libpipewire-module-adapter } { name = libpipewire-module-metadata }
                    { name = libpipewire-module-protocol-pulse args = { } } ]
pulse.properties = { server.address = [ "unix:native" ] }
EOF
    mkdir -p "$DIR/config/wireplumber/main.lua.d" "$DIR/config/wireplumber/bluetooth.lua.d"
    printf '%s\n' 'load_module("metadata")' 'default_access.enable()' 'device_defaults.enable()' \
        'stream_defaults.enable()' 'load_script("intended-roles.lua")' 'load_script("suspend-node.lua")' \
        >"$DIR/config/wireplumber/main.lua.d/90-enable-all.lua"
    echo '-- no Bluetooth' >"$DIR/config/wireplumber/bluetooth.lua.d/90-enable-all.lua"
    spawn dbus.log dbus-daemon --session --nofork --nopidfile --nosyslog --address="$bus"
    wait_until "the session bus" test -S "$DIR/bus"
    spawn pipewire.log pipewire
    wait_until "pipewire's socket" test -S "$RUNTIME/pipewire-0"
    spawn wireplumber.log wireplumber
    spawn pipewire-pulse.log pipewire-pulse
fi
wait_until "the server to answer" pactl_ info

if [[ $verb == start ]]; then
    pactl_ load-module module-null-sink sink_name=qfx_null rate=48000 channels=2 >/dev/null ||
        fail "could not load the null sink"
    # The default may be dropped until the session manager has set up its metadata: repeat until it holds.
    wait_until "qfx_null to become the default sink" \
        in_env bash -c 'pactl set-default-sink qfx_null; [[ $(pactl get-default-sink) == qfx_null ]]'
else
    wait_until "an empty sink list" in_env bash -c 'pactl info && [[ -z $(pactl list short sinks) ]]'
fi
trap - INT TERM HUP
# An owner (QFX_SOUND_SERVER_OWNER, a pid) takes the server with it when it ends, however it ends.
if [[ -n ${QFX_SOUND_SERVER_OWNER:-} ]]; then
    (while kill -0 "$QFX_SOUND_SERVER_OWNER"; do sleep 1; done; kill -KILL -- "-$$") </dev/null >/dev/null 2>&1 &
fi
printf 'export %s=%q\n' PULSE_SERVER "unix:$SOCKET" PULSE_CLIENTCONFIG "$DIR/client.conf" \
    PULSE_COOKIE "$DIR/cookie" PULSE_RUNTIME_PATH "$RUNTIME/pulse" XDG_RUNTIME_DIR "$RUNTIME" \
    QFX_TEST_SERVER_KIND "$kind" QFX_TEST_SERVER_DIR "$DIR" QFX_TEST_SERVER_PIDS "${pids[*]}" \
    QFX_TEST_SERVER_PGID "$$" | tee "$DIR/env"
