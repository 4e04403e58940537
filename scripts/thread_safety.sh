#!/usr/bin/env bash
# Checks the runtime's lock annotations: configures src/ with clang++ and -Wthread-safety -Werror
# into build-clang-ts/ (or $QV_TS_BUILD_DIR) and compiles every runtime source. Tests and
# benchmarks are not built. Extra arguments go to CMake's configure step.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_TS_BUILD_DIR:-$root/build-clang-ts}
cmake -S "$root" --preset thread-safety -B "$build" "$@" >/dev/null
cmake --build "$build" --target qv_runtime_sources -j "$(nproc)"
