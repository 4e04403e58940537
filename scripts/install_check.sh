#!/usr/bin/env bash
# Installs the package as a Python user would, from a clean copy of the tree (the files git
# tracks), with no package index: every dependency comes from Debian's packages. Then, from a
# folder outside the tree, runs `quorvane info` and `quorvane demo`:
#   1. pip install into a fresh virtual environment (python3 -m venv --system-site-packages);
#   2. pip wheel, and that wheel installed into a second fresh environment.
# Works in $QV_INSTALL_CHECK_DIR (default: a new temporary folder, removed at the end).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${QV_INSTALL_CHECK_DIR:-$(mktemp -d)}
[ -n "${QV_INSTALL_CHECK_DIR:-}" ] || trap 'rm -rf "$work"' EXIT
mkdir -p "$work"
rm -rf "$work/src" "$work/venv-pip" "$work/venv-wheel" "$work/wheels" "$work/elsewhere"

# A clean copy: what a fresh clone holds, with the working tree's changes (links kept as links).
mkdir -p "$work/src"
(cd "$root" && git ls-files -z --cached --others --exclude-standard |
   xargs -0 tar --no-recursion -cf - 2>/dev/null) | tar -xf - -C "$work/src"

pip_options=(--no-build-isolation --no-index --disable-pip-version-check --quiet)

try_environment() {  # venv folder, what it holds
  local venv=$1 what=$2
  mkdir -p "$work/elsewhere"
  (
    cd "$work/elsewhere"
    unset PYTHONPATH QUORVANE_LIB QUORVANE_SIM_LIB
    "$venv/bin/quorvane" info > info.txt
    grep -q "exports: 44 declared, 0 missing" info.txt
    grep -q "^library: $venv/" info.txt
    "$venv/bin/quorvane" demo --no-progress --out "$work/elsewhere/demo" > demo.txt
    grep -q "net profit (balance change).*agrees" demo.txt
    "$venv/bin/python" -c "import quorvane, sys; sys.exit(0 if quorvane.__file__.startswith('$venv/') else 1)"
  ) || { echo "install check: $what failed"; cat "$work/elsewhere"/*.txt 2>/dev/null; exit 1; }
  echo "install check: $what: quorvane info and quorvane demo run outside the tree"
}

/usr/bin/python3 -m venv --system-site-packages "$work/venv-pip"
"$work/venv-pip/bin/pip" install "${pip_options[@]}" "$work/src"
try_environment "$work/venv-pip" "pip install"

"$work/venv-pip/bin/pip" wheel "${pip_options[@]}" --no-deps -w "$work/wheels" "$work/src"
wheel=$(ls "$work/wheels"/quorvane-*.whl)
case "$wheel" in
  *-linux_x86_64.whl|*-linux_aarch64.whl) ;;
  *) echo "install check: $wheel is not a platform wheel"; exit 1 ;;
esac
/usr/bin/python3 -m venv --system-site-packages "$work/venv-wheel"
"$work/venv-wheel/bin/pip" install "${pip_options[@]}" "$wheel"
try_environment "$work/venv-wheel" "the wheel $(basename "$wheel")"
