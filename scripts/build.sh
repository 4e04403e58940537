#!/usr/bin/env bash
# Configures and builds the project into build/ (or $QV_BUILD_DIR) against Debian's Python.
# Extra arguments go to CMake's configure step, e.g. scripts/build.sh -DQV_SANITIZE=thread
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DPython3_EXECUTABLE=/usr/bin/python3 "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
