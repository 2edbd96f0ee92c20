#!/usr/bin/env bash
# The tool beside its peer, against a private PulseAudio server playing the same signal into its null sink:
#
#   - exec to READY, and stop line to exit (several short recordings; medians);
#   - CPU seconds (user + system) and peak resident memory of a 30 s recording, for the tool and for
#     `ffmpeg -f pulse -i qfx_null.monitor -c:a aac -b:a 192k` (the same encoder), each stopped the way it is
#     meant to be (a line on standard input; ffmpeg's "q");
#   - each file's length against the time from start to the stop request (what is missing at the start and the
#     end), with the sink kept awake as on a desktop.
#
#   bash bench/run.sh [path/to/qfx_system_audio]     default: build/qfx_system_audio (built if missing)
#
# Prints figures only; nothing here passes or fails. Needs /usr/bin/time (package "time").
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
runs=${QFX_BENCH_RUNS:-7}
record_seconds=${QFX_BENCH_SECONDS:-30}

tool=${1:-$root/build/qfx_system_audio}
if [[ ! -x $tool ]]; then
    cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$root/build" --target qfx_system_audio >/dev/null
fi
for program in /usr/bin/time ffmpeg ffprobe paplay pulseaudio; do
    command -v "$program" >/dev/null || {
        echo "bench: $program is missing (bash scripts/setup.sh installs it)" >&2
        exit 1
    }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/qfx-bench-XXXXXX")
player_pid=""
listener_pid=""
cleanup() {
    # Every step runs, whatever the one before it returned (a process may have ended already).
    if [[ -n $player_pid ]]; then kill "$player_pid" 2>/dev/null || true; fi
    if [[ -n $listener_pid ]]; then kill "$listener_pid" 2>/dev/null || true; fi
    bash "$root/scripts/sound-server.sh" stop "$work/server" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/server"
eval "$(bash "$root/scripts/sound-server.sh" start pulseaudio "$work/server" 2>/dev/null)"

# The signal: 440 Hz left, 660 Hz right at -12 dBFS over pink noise at about -30 dBFS, played in a loop.
ffmpeg -nostdin -v error -f lavfi -i "aevalsrc='0.25*sin(2*PI*440*t)|0.25*sin(2*PI*660*t)':s=48000:d=20" \
    -f lavfi -i "anoisesrc=color=pink:amplitude=0.03:r=48000:d=20" \
    -filter_complex "[1]aformat=channel_layouts=stereo[n];[0][n]amix=inputs=2:normalize=0" "$work/signal.wav"
(
    trap 'kill $playing 2>/dev/null; exit 0' TERM
    while :; do
        paplay "$work/signal.wav" </dev/null 2>/dev/null &
        playing=$!
        wait $playing || sleep 0.1
    done
) &
player_pid=$!
sleep 1

now() { echo "${EPOCHREALTIME/./}"; } # microseconds, without a fork

calc() { awk "BEGIN { printf \"%.3f\\n\", $1 }"; }

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

file_seconds() { calc "$(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$1")"; }

# --- exec to READY, stop line to exit ------------------------------------------------------------------------
: >"$work/ready_ms"
: >"$work/exit_ms"
for ((i = 1; i <= runs; i++)); do
    start=$(now)
    coproc TOOL { exec "$tool" "$work/short.m4a" 2>"$work/short.err"; }
    read -r line <&"${TOOL[0]}" || line=""
    ready=$(now)
    [[ $line == READY ]] || {
        echo "bench: the tool did not start: $(cat "$work/short.err")" >&2
        exit 1
    }
    sleep 2
    stop=$(now)
    echo >&"${TOOL[1]}"
    wait "$TOOL_PID"
    ended=$(now)
    calc "($ready - $start) / 1000" >>"$work/ready_ms"
    calc "($ended - $stop) / 1000" >>"$work/exit_ms"
done

# --- a 30 s recording under /usr/bin/time ------------------------------------------------------------------
# $1: label; the command follows. The command's standard input is a pipe that gets "$stop_text" after the time.
measure() {
    local label=$1 stop_text=$2
    shift 2
    coproc RUN { exec /usr/bin/time -v -o "$work/$label.time" "$@" 2>"$work/$label.err"; }
    local start
    start=$(now)
    sleep "$record_seconds"
    local stop
    stop=$(now)
    printf '%s\n' "$stop_text" >&"${RUN[1]}"
    wait "$RUN_PID" || true
    calc "($stop - $start) / 1000000" >"$work/$label.wall"
}

# A desktop's sink is seldom idle: a low-latency listener on the monitor keeps the null sink awake, so that neither
# recording waits up to two seconds for its first fragment and the file lengths below show what each keeps.
pacat --record --raw --latency-msec=10 --device=qfx_null.monitor /dev/null </dev/null 2>/dev/null &
listener_pid=$!
sleep 2.5

measure tool "" "$tool" "$work/tool.m4a"
measure ffmpeg q ffmpeg -hide_banner -loglevel error -f pulse -i qfx_null.monitor -c:a aac -b:a 192k -y \
    "$work/ffmpeg.m4a"

kill "$listener_pid" 2>/dev/null || true
listener_pid=""

cpu() { awk -F': ' '/User time/ { u = $2 } /System time/ { s = $2 } END { printf "%.2f", u + s }' "$work/$1.time"; }
rss() { awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' "$work/$1.time"; }
shortfall() { calc "$(cat "$work/$1.wall") - $(file_seconds "$work/$1.m4a")"; }

printf '\nqfx_system_audio beside ffmpeg, private PulseAudio null sink, %s\n' "$(uname -m), $(nproc) cores"
printf '%-44s %18s %18s\n' "" "qfx_system_audio" "ffmpeg -f pulse"
printf '%-44s %15.1f ms %18s\n' "exec to READY (median of $runs)" "$(median <"$work/ready_ms")" "-"
printf '%-44s %15.1f ms %18s\n' "stop line to exit (median of $runs)" "$(median <"$work/exit_ms")" "-"
printf '%-44s %17s s %17s s\n' "CPU user+sys, ${record_seconds} s recording" "$(cpu tool)" "$(cpu ffmpeg)"
printf '%-44s %16s MB %16s MB\n' "peak resident memory" "$(rss tool)" "$(rss ffmpeg)"
printf '%-44s %17s s %17s s\n' "file length" "$(file_seconds "$work/tool.m4a")" "$(file_seconds "$work/ffmpeg.m4a")"
printf '%-44s %17s s %17s s\n' "start to stop request, less the file length" "$(shortfall tool)" "$(shortfall ffmpeg)"
echo "(exec to READY over the runs: $(sort -n "$work/ready_ms" | tr '\n' ' ')ms, on an idle sink; the 30 s recordings"
echo " ran with the sink kept awake by a listener, as on a desktop)"
