#!/usr/bin/env bash
# Installs, with apt-get, whatever the build, the tests and the demo need and this machine lacks;
# `scripts/setup.sh demo` installs only what the demo needs. Does nothing when everything is
# present. Run as root on Debian (CI and developer machines are).
set -euo pipefail

# What the demo needs: the compiler, CMake, Debian's Python with its headers, the stand-in's JSON
# and SQLite libraries, the progress bar and the pictures.
packages=(
  g++ cmake make pkg-config
  python3 python3-dev python3-tqdm python3-matplotlib
  nlohmann-json3-dev libsqlite3-dev
  binutils
)
# What the tests add: GoogleTest and Google Benchmark, pytest, Dask for sweeps, mypy, clang with
# libFuzzer and the sanitizers' runtime, pip with venv for the install check, and headless
# Chromium with its driver and Selenium for the report pages' tests in a browser.
if [ "${1:-all}" != "demo" ]; then
  packages+=(
    python3-pytest python3-distributed python3-mypy
    python3-venv python3-pip python3-setuptools python3-wheel
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    clang libclang-rt-14-dev libfuzzer-14-dev
    chromium chromium-driver python3-selenium python3-aiohttp
  )
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
else
  sudo=""
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
