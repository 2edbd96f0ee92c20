#!/usr/bin/env bash
# The demo: installs what it needs (Debian 12, as root), builds the tool (Release, in build/), records a few
# seconds of system audio exactly as a parent application would drive the tool, then says what the file holds
# and draws its spectrogram beside it.
#
# It records from the desktop's sound server when one answers (`pactl info` with your environment); otherwise it
# starts a private PulseAudio server with a null sink and plays a test signal into it: a 440 Hz tone on the left,
# then a 660 Hz tone on the right, then both, one second each, twice.
#
#   bash scripts/demo.sh [output.m4a]      default: build/demo/system-audio.m4a
#
# Needs no terminal and no standard input.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=6

say() { printf '%s\n' "$*"; }
fail() {
    printf 'demo: %s\n' "$*" >&2
    exit 1
}

# --- install -----------------------------------------------------------------------------------------------------
packages=(cmake ninja-build g++ pkg-config libpulse-dev libavcodec-dev libavformat-dev libavutil-dev libgtest-dev
    ffmpeg sox pulseaudio pulseaudio-utils)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]} > 0)); then
    (($(id -u) == 0)) || fail "missing packages (${missing[*]}): run as root, or install them first"
    say "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq </dev/null
    apt-get install -y -qq "${missing[@]}" </dev/null >/dev/null
fi

# --- build ---------------------------------------------------------------------------------------------------------
say "Building (Release) in build/ ..."
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null </dev/null
cmake --build "$root/build" --target qfx_system_audio -- -j "$(nproc)" >/dev/null </dev/null ||
    fail "the build failed: run 'cmake --build build --target qfx_system_audio' to see why"
tool=$root/build/qfx_system_audio

output=${1:-$root/build/demo/system-audio.m4a}
mkdir -p "$(dirname "$output")"
output=$(cd "$(dirname "$output")" && pwd)/$(basename "$output")
spectrogram=${output%.*}.png

work=$(mktemp -d "${TMPDIR:-/tmp}/qfx-demo-XXXXXX")
server_dir=""
tool_pid=""
player_pid=""
cleanup() {
    # Every step runs, whatever the one before it returned (a process may have ended already).
    if [[ -n $player_pid ]]; then kill "$player_pid" 2>/dev/null || true; fi
    if [[ -n $tool_pid ]]; then kill "$tool_pid" 2>/dev/null || true; fi
    if [[ -n $server_dir ]]; then bash "$root/scripts/sound-server.sh" stop "$server_dir" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# --- choose the sound server ------------------------------------------------------------------------------------
# A desktop server counts only when it has an output to record.
if timeout 5 pactl info </dev/null >/dev/null 2>&1 &&
    [[ -n $(timeout 5 pactl list short sinks </dev/null 2>/dev/null) ]]; then
    source_kind=desktop
    say "Recording ${seconds} s from your desktop's sound server ($(timeout 5 pactl get-default-sink 2>/dev/null ||
        echo 'default output')): play something now."
else
    source_kind=private
    server_dir=$work/server
    mkdir -p "$server_dir"
    eval "$(bash "$root/scripts/sound-server.sh" start pulseaudio "$server_dir" 2>"$work/server.log")" ||
        fail "could not start a private PulseAudio server: $(cat "$work/server.log")"
    # Left 440 Hz, right 660 Hz, both: one second each.
    ffmpeg -nostdin -v error -f lavfi -t "$seconds" \
        -i "aevalsrc='0.4*sin(2*PI*440*t)*(lt(mod(t,3),1)+gte(mod(t,3),2))|0.4*sin(2*PI*660*t)*gte(mod(t,3),1)':s=48000" \
        "$work/signal.wav"
    say "No desktop sound server answers: recording from a private PulseAudio server, playing a test signal"
    say "(440 Hz left, 660 Hz right, both; one second each, twice)."
fi

# --- record, as a parent does ----------------------------------------------------------------------------------
# The tool's standard input is a FIFO this script holds open: writing a line to it ends the recording.
mkfifo "$work/control"
"$tool" "$output" <"$work/control" >"$work/stdout" 2>"$work/stderr" &
tool_pid=$!
exec 3>"$work/control"
started=$(date +%s%N)

for _ in $(seq 3000); do
    [[ -s $work/stdout ]] && break
    kill -0 "$tool_pid" 2>/dev/null || break
    sleep 0.01
done
if [[ $(cat "$work/stdout") != READY ]]; then
    exec 3>&-
    wait "$tool_pid" && status=0 || status=$?
    tool_pid=""
    fail "the tool did not start (exit status $status): $(cat "$work/stderr")"
fi
ready=$(date +%s%N)
say "READY after $(((ready - started) / 1000000)) ms."

if [[ $source_kind == private ]]; then
    # A private null sink delivers its first audio up to two seconds after a recording starts.
    sleep 2
    paplay "$work/signal.wav" </dev/null &
    player_pid=$!
    wait "$player_pid" || true
    player_pid=""
    sleep 0.3
else
    sleep "$seconds"
fi

echo >&3 # the stop line
exec 3>&-
stop_line=$(date +%s%N)
wait "$tool_pid" && status=0 || status=$?
tool_pid=""
ended=$(date +%s%N)
[[ -s $work/stderr ]] && say "The tool said: $(cat "$work/stderr")"
((status == 0)) || fail "the tool ended with exit status $status"
say "Stopped: the tool exited 0, $(((ended - stop_line) / 1000000)) ms after the stop line."
[[ -f $output ]] || fail "no file was written (no audio reached the tool)"

# --- what the file holds ----------------------------------------------------------------------------------------
probe() { ffprobe -v error -select_streams a:0 -show_entries "$1" -of default=noprint_wrappers=1:nokey=1 "$output"; }
say ""
say "File:        $output"
say "Container:   MPEG-4 audio, major brand '$(probe format_tags=major_brand)'"
say "Codec:       $(probe stream=codec_name) ($(probe stream=profile))"
say "Sample rate: $(probe stream=sample_rate) Hz"
say "Channels:    $(probe stream=channels)"
say "Duration:    $(probe format=duration) s"
say "Bit rate:    $(($(probe stream=bit_rate) / 1000)) kb/s"
ffmpeg -nostdin -v info -i "$output" -af astats=measure_overall=none -f null - 2>&1 |
    awk '/Channel: / { channel = $NF }
         /RMS level dB/ { rms[channel] = $NF }
         /Peak level dB/ { peak[channel] = $NF }
         END {
             name[1] = "left"; name[2] = "right"
             for (c = 1; c <= 2; c++)
                 printf "Level %-6s RMS %.1f dBFS, peak %.1f dBFS\n", name[c] ":", rms[c], peak[c]
         }'

# sox draws the spectrogram (left channel on top); for the test signal, up to 4 kHz, where its tones are.
band=()
[[ $source_kind == private ]] && band=(rate 8k)
ffmpeg -nostdin -v error -y -i "$output" "$work/decoded.wav"
sox "$work/decoded.wav" -n "${band[@]}" spectrogram -x 1000 -Y 600 -z 100 -t "$(basename "$output")" \
    -c "qfx_system_audio demo: left channel above, right below" -o "$spectrogram"
say "Spectrogram: $spectrogram"
