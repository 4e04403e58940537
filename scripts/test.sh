#!/usr/bin/env bash
# Sets up, builds and runs every test: the C++ tests, the Python tests and the generator checks.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$@"
ctest --test-dir "${QV_BUILD_DIR:-$root/build}" --output-on-failure -j 2
