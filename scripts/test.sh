#!/usr/bin/env bash
# Installs what the tests need, builds the tool three ways (plain, AddressSanitizer + UndefinedBehaviorSanitizer,
# ThreadSanitizer) and runs every test: unit tests in all three builds; backend and end-to-end tests against
# private PulseAudio and PipeWire servers that the tests start and stop themselves. The ten-minute recording runs
# in the background meanwhile.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh

jobs=$(nproc)
# Builds compile at the lowest priority: the sanitizer builds run beside the long recordings, whose players, servers
# and simulated card must keep time on two cores.
configure() { # dir, target ("all" for everything), extra cmake arguments...
  local dir=$1 target=$2
  shift 2
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  nice -n 19 cmake --build "$dir" -j "$jobs" --target "$target"
}

configure build all
cmake --build build --target qfx_system_audio >/dev/null 2>&1 || {
  echo "test: the qfx_system_audio executable did not build" >&2
  exit 1
}

# The long recordings, side by side in the background while the rest runs: they mostly wait on the clock, but their
# players, servers and simulated card must keep time on two cores, so they run ahead of everything else in the
# scheduler (raising the priority needs root; without it they run as they are). Started after the build: beside
# two compilers, a player was seen to run dry.
long_log=$(mktemp)
(nice -n -5 ctest --test-dir build -L long -j 2 --output-on-failure >"$long_log" 2>&1; echo $? >"$long_log.rc") &
long_pid=$!

status=0
bash scripts/lint.sh build || status=1
ctest --test-dir build -LE long --output-on-failure -j 2 || status=1
# Install rules, manual page and the Debian package, installed once with dpkg and removed again.
bash scripts/check-package.sh build || status=1

# The sanitizer builds need only the unit tests, which keeps the machine quiet for the long recording.
configure build-asan qfx_unit_tests -DQFX_SANITIZE=address
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -L unit --output-on-failure -j "$jobs" || status=1

configure build-tsan qfx_unit_tests -DQFX_SANITIZE=thread
# TSan needs the address-space layout it was built for; setarch turns off randomisation for the run.
TSAN_OPTIONS=halt_on_error=1 setarch "$(uname -m)" -R \
  ctest --test-dir build-tsan -L unit --output-on-failure -j "$jobs" || status=1
# And the capture's teardown while its server dies at the moment of stop, round after round.
nice -n 19 cmake --build build-tsan -j "$jobs" --target qfx_backend_tests
TSAN_OPTIONS="halt_on_error=1 suppressions=$root/tests/tsan.supp" setarch "$(uname -m)" -R \
  /usr/bin/python3 tests/e2e/harness.py pulseaudio \
  build-tsan/tests/linux/qfx_backend_tests --gtest_filter='PulseCaptureTest.AServerDying*' || status=1

wait "$long_pid" || true
cat "$long_log"
[ "$(cat "$long_log.rc" 2>/dev/null || echo 1)" = 0 ] || status=1
rm -f "$long_log" "$long_log.rc"

exit $status
