#!/usr/bin/env bash
# Installs, with apt-get, whatever the build, the tests and the demo need and this machine lacks.
# Does nothing when everything is present. Run as root on Debian (CI and developer machines are).
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  python3 python3-dev python3-pytest python3-tqdm python3-matplotlib python3-distributed
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  nlohmann-json3-dev libsqlite3-dev
  binutils
  clang libclang-rt-14-dev libfuzzer-14-dev
)

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
