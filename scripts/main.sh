#!/usr/bin/env bash
# Sets up, builds and runs the main job: the demo strategy on a replayed day of the simulated
# exchange, ending with its report (trades.csv and equity.png in build/demo/; demo options pass
# through, e.g. --out DIR, --speed S, --no-progress). Installs and builds only what the demo needs
# (the runtime and the stand-in); scripts/test.sh adds the tests and benchmarks.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" demo
"$root/scripts/build.sh" -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCH=OFF
export QUORVANE_LIB="${QV_BUILD_DIR:-$root/build}/lib/libQuorvaneForPython38.so"
PYTHONPATH="$root/python" exec /usr/bin/python3 -m quorvane demo \
  --out "${QV_BUILD_DIR:-$root/build}/demo" "$@"
