#!/usr/bin/env bash
# clang-tidy with the project's short profile (.clang-tidy) over our C++ sources, using a build's
# compile_commands.json. Usage: scripts/lint.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
sources=$(ls front/*.cpp recorder/*.cpp platform/*.cpp platform/linux/*.cpp)
# shellcheck disable=SC2086
echo $sources | xargs -n1 -P "$(nproc)" clang-tidy -p "$build" --quiet 2>/dev/null
echo "clang-tidy: no findings"
