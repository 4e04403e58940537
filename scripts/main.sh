#!/usr/bin/env bash
# Sets up, builds and runs the main job.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
export QUORVANE_LIB="${QV_BUILD_DIR:-$root/build}/lib/libQuorvaneForPython38.so"
PYTHONPATH="$root/python" exec /usr/bin/python3 -m quorvane info
