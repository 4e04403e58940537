#!/usr/bin/env bash
# Sets up, builds and runs the main job: the demo strategy on a replayed day of the simulated
# exchange, ending with its report (trades.csv and equity.png in build/demo/; demo options pass
# through, e.g. --out DIR, --speed S, --no-progress).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
export QUORVANE_LIB="${QV_BUILD_DIR:-$root/build}/lib/libQuorvaneForPython38.so"
PYTHONPATH="$root/python" exec /usr/bin/python3 -m quorvane demo \
  --out "${QV_BUILD_DIR:-$root/build}/demo" "$@"
