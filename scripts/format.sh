#!/usr/bin/env bash
# Formats every C++ and Objective-C++ source of ours in place.
set -euo pipefail
cd "$(dirname "$0")/.."
find front recorder platform tests bench -name '*.cpp' -o -name '*.h' -o -name '*.mm' 2>/dev/null | xargs clang-format -i
