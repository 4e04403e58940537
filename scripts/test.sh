#!/usr/bin/env bash
# Sets up, builds and runs every test: the C++ tests, the Python tests, the package's type check
# and the generator checks (CTest); the lock annotations checked by clang (scripts/thread_safety.sh);
# the package installed with pip into fresh virtual environments (scripts/install_check.sh); the
# C++ tests again under the address, undefined-behaviour and thread sanitizers
# (scripts/sanitize.sh); and a bounded run of every fuzz target (scripts/fuzz.sh, about a minute
# each).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" -DQV_BUILD_TESTS=ON -DQV_BUILD_BENCH=ON "$@"
ctest --test-dir "${QV_BUILD_DIR:-$root/build}" --output-on-failure -j 2
"$root/scripts/thread_safety.sh"
"$root/scripts/install_check.sh"
"$root/scripts/sanitize.sh"
"$root/scripts/fuzz.sh"
