#!/usr/bin/env bash
# Builds the C++ tests under AddressSanitizer with UndefinedBehaviorSanitizer (preset asan, into
# build-asan/) and under ThreadSanitizer (preset tsan, into build-tsan/), and runs them. Any report
# fails its test: undefined behaviour aborts (-fno-sanitize-recover), and the sanitizers' exit
# codes are set below. Compiles through ccache when it is installed.
# Usage: scripts/sanitize.sh [asan|tsan ...]   (both by default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:exitcode=23"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1"

presets=("$@")
if [ ${#presets[@]} -eq 0 ]; then presets=(asan tsan); fi
for preset in "${presets[@]}"; do
  echo "== $preset"
  cmake --preset "$preset" "${launcher[@]}" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
  ctest --preset "$preset" -j "$(nproc)"
done
