#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ with clang's libFuzzer and the address and undefined-behaviour
# sanitizers into build-fuzz/ (or $QV_FUZZ_BUILD_DIR), then runs each for $QV_FUZZ_SECONDS (60)
# seconds, starting from its seed corpus in fuzz/corpus/. The runs work on a copy of the corpus:
# the tree changes only when someone adds a seed (for example a reproducer of a fixed fault).
# CI runs a fixed seed and at most 40,000 inputs a target, so that its verdict is the same every
# run; a longer search is QV_FUZZ_SECONDS with the options below changed by hand.
# Exits non-zero at the first crash, sanitizer report, leak, time-out or memory blow-up; the
# reproducing input is left in the build folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${QV_FUZZ_SECONDS:-60}

cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"

# Tick files may hold lines beyond the reader's 64 KiB bound; the others need less.
declare -A max_len=([tick_file]=140000 [scenario]=65536 [print_helper]=65536)

for target in tick_file scenario print_helper; do
  corpus="$build/corpus/$target"
  rm -rf "$corpus"
  mkdir -p "$corpus"
  cp "$root/fuzz/corpus/$target"/* "$corpus"/
  echo "fuzz: $target for ${seconds}s"
  "$build/${target}_fuzzer" "$corpus" -max_total_time="$seconds" -seed=1 -runs=40000 -timeout=10 -rss_limit_mb=2048 \
    -max_len="${max_len[$target]}" -artifact_prefix="$build/$target-" -print_final_stats=1 2>"$build/$target.log" ||
    { tail -n 60 "$build/$target.log"; exit 1; }
  grep -E "^stat::number_of_executed_units|^Done" "$build/$target.log" || true
done
