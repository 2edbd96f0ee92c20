#!/usr/bin/env bash
# The benchmark in one command: installs what it needs (Debian 12, as root; only what is missing), builds the tool
# and the floor programs (Release, in build-bench/), then
#   - bench/compare.py: the tool beside ffmpeg and GStreamer recording the same signal from a private PulseAudio
#     server (table, chart, the tool's threads, memory per library, and a perf profile of the tool);
#   - bench/quality.py: each AAC encoder setting's CPU cost and how close its decoded audio stays to the source.
#
#   bash bench/compare.sh [--seconds 20] [--runs 3]      results in build-bench/results/
#
# QFX_BENCH_SKIP_QUALITY=1 leaves out the quality part. Prints figures only; nothing here passes or fails, and none
# of it is part of the test command.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

packages=(cmake ninja-build g++ pkg-config libpulse-dev libavcodec-dev libavformat-dev libavutil-dev
    libswresample-dev ffmpeg pulseaudio pulseaudio-utils time procps python3-numpy python3-matplotlib linux-perf
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav
    gstreamer1.0-pulseaudio)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]} > 0)); then
    (($(id -u) == 0)) || { echo "bench: missing packages (${missing[*]}): run as root" >&2; exit 1; }
    echo "bench: installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq </dev/null
    apt-get install -y -qq "${missing[@]}" </dev/null >/dev/null
fi

# A build folder of its own, without the tests: nothing here needs GoogleTest.
build=$root/build-bench
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null </dev/null
cmake --build "$build" --target qfx_system_audio qfx_floor qfx_floor_pulse >/dev/null </dev/null

/usr/bin/python3 "$root/bench/compare.py" --tool "$build/qfx_system_audio" --floor "$build/bench/qfx_floor" \
    --floor-pulse "$build/bench/qfx_floor_pulse" --out "$build/results" --perf "$@"
if [[ -z ${QFX_BENCH_SKIP_QUALITY:-} ]]; then
    /usr/bin/python3 "$root/bench/quality.py" --out "$build/results"
fi
