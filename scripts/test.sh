#!/usr/bin/env bash
# Sets up, builds and runs every test: the C++ tests, the Python tests, the generator checks, the
# C++ tests again under the address, undefined-behaviour and thread sanitizers
# (scripts/sanitize.sh), and a bounded run of every fuzz target (scripts/fuzz.sh, about a minute
# each).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$@"
ctest --test-dir "${QV_BUILD_DIR:-$root/build}" --output-on-failure -j 2
"$root/scripts/sanitize.sh"
"$root/scripts/fuzz.sh"
