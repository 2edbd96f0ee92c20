#!/usr/bin/env bash
# Private sound server for tests.
#
#   sound-server.sh start      pulseaudio|pipewire DIR
#   sound-server.sh start-none pulseaudio|pipewire DIR
#   sound-server.sh stop       DIR
#
# `start` runs a sound server whose runtime, home, config and state all live
# inside DIR (an empty directory the caller created), loads one null sink
# named "qfx_null", makes it the default sink and waits until the server
# answers on its private socket. It then prints `export` lines for the caller
# to eval (also saved to DIR/env):
#
#   PULSE_SERVER, PULSE_CLIENTCONFIG, PULSE_COOKIE, PULSE_RUNTIME_PATH,
#   XDG_RUNTIME_DIR, QFX_TEST_SERVER_KIND, QFX_TEST_SERVER_DIR,
#   QFX_TEST_SERVER_PIDS
#
# `start-none` is the same without any sink at all.
# `stop` ends every process started for DIR (TERM, then KILL) and is safe to
# run more than once.
#
# The user's own server, config and session bus are never used: the servers
# run with a scrubbed environment, and the client config written to DIR turns
# off autospawn, so a client whose private server has gone away fails instead
# of starting a server of its own.
#
# Logs: DIR/pulseaudio.log, or DIR/{dbus,pipewire,wireplumber,pipewire-pulse}.log
# Env:  QFX_SOUND_SERVER_TIMEOUT  seconds to wait for readiness (default 15)

set -euo pipefail

readonly SINK_NAME=qfx_null
readonly MARKER_VAR=QFX_SOUND_SERVER_DIR
TIMEOUT=${QFX_SOUND_SERVER_TIMEOUT:-15}

die() {
    echo "sound-server: $*" >&2
    exit 1
}

usage() {
    cat >&2 <<'EOF'
usage: sound-server.sh start      pulseaudio|pipewire DIR
       sound-server.sh start-none pulseaudio|pipewire DIR
       sound-server.sh stop       DIR
EOF
    exit 2
}

now_ms() {
    local s ns
    read -r s ns < <(date '+%s %N')
    echo $((s * 1000 + 10#$ns / 1000000))
}

# --- process bookkeeping ----------------------------------------------------

# A process is ours when its environment carries the marker for this DIR.
# Checking this keeps `stop` from killing an unrelated process that reused a
# recorded pid.
is_ours() {
    local pid=$1
    [[ -r /proc/$pid/environ ]] || return 1
    grep -qzxF "$MARKER_VAR=$DIR" "/proc/$pid/environ" 2>/dev/null
}

is_running() {
    local pid=$1 state
    [[ -r /proc/$pid/stat ]] || return 1
    # Field 3 of /proc/PID/stat, after the parenthesised command name.
    state=$(sed -E 's/^.*\) ([A-Za-z]).*$/\1/' "/proc/$pid/stat" 2>/dev/null) || return 1
    [[ -n $state && $state != Z && $state != X ]]
}

# Every live process carrying our marker: the recorded servers plus anything
# they spawned (e.g. a service activated on the private bus).
marked_pids() {
    local f pid
    for f in /proc/[0-9]*/environ; do
        pid=${f#/proc/}
        pid=${pid%/environ}
        [[ $pid == "$$" || $pid == "$BASHPID" ]] && continue
        if grep -qzxF "$MARKER_VAR=$DIR" "$f" 2>/dev/null && is_running "$pid"; then
            echo "$pid"
        fi
    done
}

recorded_pids() {
    [[ -f $DIR/pids ]] || return 0
    tr ' ' '\n' <"$DIR/pids" | grep -E '^[0-9]+$' || true
}

stop_all() {
    local pids=() pid deadline left

    # Recorded pids in reverse start order (clients before the core daemon),
    # then any stragglers found through the marker.
    mapfile -t pids < <(recorded_pids | tac)
    while read -r pid; do
        [[ " ${pids[*]} " == *" $pid "* ]] || pids+=("$pid")
    done < <(marked_pids)

    for pid in "${pids[@]}"; do
        if is_running "$pid" && is_ours "$pid"; then
            kill -TERM "$pid" 2>/dev/null || true
        fi
    done

    deadline=$(($(now_ms) + 5000))
    while :; do
        left=()
        for pid in "${pids[@]}"; do
            if is_running "$pid" && is_ours "$pid"; then left+=("$pid"); fi
        done
        ((${#left[@]} == 0)) && break
        if (($(now_ms) >= deadline)); then
            echo "sound-server: killing ${left[*]} after TERM timeout" >&2
            kill -KILL "${left[@]}" 2>/dev/null || true
            sleep 0.2
            deadline=$(($(now_ms) + 2000))
            pids=("${left[@]}")
            # One more round for KILL to take effect, then give up.
            for _ in 1 2 3 4 5 6 7 8 9 10; do
                left=()
                for pid in "${pids[@]}"; do
                    if is_running "$pid" && is_ours "$pid"; then left+=("$pid"); fi
                done
                ((${#left[@]} == 0)) && break
                sleep 0.2
            done
            ((${#left[@]} == 0)) || echo "sound-server: still running: ${left[*]}" >&2
            break
        fi
        sleep 0.05
    done

    rm -f "$DIR/pids"
}

# --- environment --------------------------------------------------------------

# Sets ENV_CMD to an `env` invocation with a clean environment that points
# only into DIR. DBus addresses point at sockets that do not exist unless we
# start a bus, so nothing reaches the user's session bus or the system bus.
make_env_cmd() {
    ENV_CMD=(env -i
        PATH="/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin"
        LANG=C.UTF-8
        HOME="$DIR/home"
        USER="$(id -un)"
        XDG_RUNTIME_DIR="$RUNTIME"
        XDG_CONFIG_HOME="$DIR/config"
        XDG_STATE_HOME="$DIR/state"
        XDG_DATA_HOME="$DIR/data"
        XDG_CACHE_HOME="$DIR/cache"
        PULSE_RUNTIME_PATH="$RUNTIME/pulse"
        PULSE_STATE_PATH="$DIR/state/pulse"
        PULSE_CLIENTCONFIG="$DIR/client.conf"
        PULSE_COOKIE="$DIR/cookie"
        PULSE_SERVER="unix:$SOCKET"
        DBUS_SESSION_BUS_ADDRESS="$SESSION_BUS"
        DBUS_SYSTEM_BUS_ADDRESS="unix:path=$DIR/no-system-bus"
        "$MARKER_VAR=$DIR")
}

in_env() {
    "${ENV_CMD[@]}" "$@"
}

pactl_() {
    in_env timeout 5 pactl "$@"
}

# Starts a long-running process in the background, output to a log, no stdin.
# Its pid is appended to DIR/pids right away so that cleanup finds it.
spawn() {
    local log=$1
    shift
    # env execs the server, so $! is the server's own pid.
    "${ENV_CMD[@]}" "$@" </dev/null >"$DIR/$log" 2>&1 &
    local pid=$!
    PIDS+=("$pid")
    LOGS+=("$DIR/$log")
    echo "$pid" >>"$DIR/pids"
}

fail_start() {
    local msg=$1 f
    {
        echo "sound-server: $msg"
        for f in "${LOGS[@]}"; do
            [[ -s $f ]] || continue
            echo "--- last lines of $f"
            tail -n 15 "$f"
        done
    } >&2
    stop_all
    exit 1
}

check_alive() {
    local pid
    for pid in "${PIDS[@]}"; do
        is_running "$pid" || fail_start "server process $pid exited during startup"
    done
}

# wait_until DESCRIPTION COMMAND...: polls COMMAND until it succeeds, the
# deadline passes, or one of our processes dies.
wait_until() {
    local what=$1
    shift
    while ! "$@" >/dev/null 2>&1; do
        check_alive
        (($(now_ms) < DEADLINE)) || fail_start "timed out after ${TIMEOUT}s waiting for $what"
        sleep 0.05
    done
}

default_sink_is_ours() {
    [[ $(pactl_ get-default-sink 2>/dev/null) == "$SINK_NAME" ]]
}

# set-default-sink may be dropped if the session manager has not yet set up
# its metadata, so it is repeated until the server reports the new default.
set_default_sink() {
    pactl_ set-default-sink "$SINK_NAME" >/dev/null 2>&1 || true
    default_sink_is_ours
}

no_sinks() {
    [[ -z $(pactl_ list short sinks 2>/dev/null) ]] && pactl_ info >/dev/null 2>&1
}

# --- servers ------------------------------------------------------------------

start_pulseaudio() {
    spawn pulseaudio.log pulseaudio \
        --system=no --daemonize=no --use-pid-file=no \
        -n --disallow-module-loading=no --disallow-exit \
        --exit-idle-time=-1 --realtime=no --high-priority=no \
        --log-target=stderr --log-level=info \
        -L "module-native-protocol-unix socket=$SOCKET auth-anonymous=1"
}

write_pipewire_config() {
    mkdir -p "$DIR/config/pipewire/pipewire.conf.d" \
        "$DIR/config/wireplumber/main.lua.d" \
        "$DIR/config/wireplumber/bluetooth.lua.d"

    # Make the audiotestsrc plugin available to `pw-cli create-node`. Such a
    # node is a real (non-monitor) source, but on PipeWire 0.3.65 it can stall
    # ("out of buffers" in pipewire.log) once its readers have come and gone;
    # module-pipe-source fed through a FIFO is the steadier fake microphone.
    cat >"$DIR/config/pipewire/pipewire.conf.d/50-qfx-test.conf" <<'EOF'
context.spa-libs = {
    audiotestsrc = audiotestsrc/libspa-audiotestsrc
}
EOF

    # Our own pulse layer config: the stock one loads module-always-sink,
    # which would make a server without sinks impossible.
    cat >"$DIR/config/pipewire/pipewire-pulse.conf" <<'EOF'
context.properties = {
}
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.*       = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-rt
        args = { nice.level = -11 }
        flags = [ ifexists nofail ]
    }
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-protocol-pulse
        args = { }
    }
]
context.exec = [ ]
pulse.cmd = [ ]
pulse.properties = {
    server.address = [ "unix:native" ]
}
EOF

    # Headless session manager: no ALSA, camera or Bluetooth monitors (they
    # want udev, logind or the system bus). Same-named files here replace the
    # packaged ones.
    cat >"$DIR/config/wireplumber/main.lua.d/90-enable-all.lua" <<'EOF'
load_module("metadata")
default_access.enable()
device_defaults.enable()
stream_defaults.enable()
load_script("intended-roles.lua")
load_script("suspend-node.lua")
EOF
    cat >"$DIR/config/wireplumber/bluetooth.lua.d/90-enable-all.lua" <<'EOF'
-- Bluetooth disabled for the private test server.
EOF
}

start_pipewire() {
    write_pipewire_config

    # A private session bus for PipeWire and WirePlumber.
    SESSION_BUS="unix:path=$DIR/bus"
    make_env_cmd
    spawn dbus.log dbus-daemon --session --nofork --nopidfile --nosyslog \
        --address="$SESSION_BUS"
    wait_until "the session bus" test -S "$DIR/bus"

    spawn pipewire.log pipewire
    wait_until "pipewire's socket" test -S "$RUNTIME/pipewire-0"

    spawn wireplumber.log wireplumber
    spawn pipewire-pulse.log pipewire-pulse
}

# --- commands -------------------------------------------------------------------

resolve_dir() {
    [[ -n ${1:-} ]] || usage
    DIR=$(realpath -m -- "$1")
    RUNTIME=$DIR/runtime
    SOCKET=$RUNTIME/pulse/native
    SESSION_BUS="unix:path=$DIR/no-session-bus"
    make_env_cmd
}

cmd_start() {
    local with_sink=$1 kind=$2
    case $kind in
        pulseaudio | pipewire) ;;
        *) usage ;;
    esac
    [[ -d ${3:-} ]] || die "${3:-}: no such directory"
    resolve_dir "$3"

    local pid
    for pid in $(recorded_pids); do
        if is_running "$pid" && is_ours "$pid"; then
            die "a server is already running for $DIR (pid $pid); stop it first"
        fi
    done
    # sun_path holds 108 bytes including the terminating NUL.
    ((${#SOCKET} < 108)) || die "socket path too long (${#SOCKET} bytes): $SOCKET"

    local t0
    t0=$(now_ms)
    DEADLINE=$((t0 + TIMEOUT * 1000))
    PIDS=()
    LOGS=()
    trap 'fail_start "interrupted"' INT TERM HUP

    # Sockets and lock files left by an earlier server that was killed would
    # look like a live server; nothing of ours runs here now, so start afresh.
    rm -rf "$RUNTIME" "$DIR/bus"
    mkdir -p "$RUNTIME" "$DIR/home" "$DIR/config" "$DIR/state/pulse" \
        "$DIR/data" "$DIR/cache"
    chmod 700 "$RUNTIME"
    : >"$DIR/pids"
    cat >"$DIR/client.conf" <<EOF
autospawn = no
cookie-file = $DIR/cookie
EOF

    case $kind in
        pulseaudio) start_pulseaudio ;;
        pipewire) start_pipewire ;;
    esac

    wait_until "the server to answer on $SOCKET" pactl_ info

    if [[ $with_sink == yes ]]; then
        pactl_ load-module module-null-sink "sink_name=$SINK_NAME" rate=48000 channels=2 \
            >/dev/null 2>"$DIR/load-sink.err" ||
            fail_start "could not load the null sink: $(cat "$DIR/load-sink.err")"
        wait_until "sink $SINK_NAME to become the default" set_default_sink
    else
        wait_until "an empty sink list" no_sinks
    fi

    trap - INT TERM HUP
    echo "sound-server: $kind ready in $(($(now_ms) - t0)) ms (pids ${PIDS[*]})" >&2

    {
        printf 'export %s=%q\n' \
            PULSE_SERVER "unix:$SOCKET" \
            PULSE_CLIENTCONFIG "$DIR/client.conf" \
            PULSE_COOKIE "$DIR/cookie" \
            PULSE_RUNTIME_PATH "$RUNTIME/pulse" \
            XDG_RUNTIME_DIR "$RUNTIME" \
            QFX_TEST_SERVER_KIND "$kind" \
            QFX_TEST_SERVER_DIR "$DIR" \
            QFX_TEST_SERVER_PIDS "${PIDS[*]}"
    } | tee "$DIR/env"
}

cmd_stop() {
    # DIR may already be gone; its servers are then still found by the marker.
    resolve_dir "$1"
    stop_all
}

case ${1:-} in
    start) (($# == 3)) || usage; cmd_start yes "$2" "$3" ;;
    start-none) (($# == 3)) || usage; cmd_start no "$2" "$3" ;;
    stop) (($# == 2)) || usage; cmd_stop "$2" ;;
    *) usage ;;
esac
