#!/usr/bin/env bash
# Sets up everything on a fresh Debian machine: the Debian packages the build
# and tests need, a virtual environment in .venv, and this package installed
# into it with the given extras (for example: scripts/setup.sh test).
set -euo pipefail
cd "$(dirname "$0")/.."

APT_PACKAGES=(g++ cmake ninja-build libyaml-cpp-dev libgtest-dev clang-14 libclang-rt-14-dev graphviz)

missing=()
for pkg in "${APT_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing Debian packages: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

PYTHON="${PYTHON:-python3.11}"
command -v "$PYTHON" >/dev/null || PYTHON=python3
if ! "$PYTHON" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))'; then
  echo "TVM 0.19.0's wheel is built for CPython 3.11; set PYTHON to a 3.11 interpreter" >&2
  exit 1
fi
[ -x .venv/bin/python ] || "$PYTHON" -m venv .venv

extras="${1:-}"
target="."
[ -n "$extras" ] && target=".[$extras]"
echo "== installing vexatvm_internal${extras:+ [$extras]} into .venv"
.venv/bin/python -m pip install -q --disable-pip-version-check "$target"
if [[ ",$extras," == *",networks,"* ]]; then
  # torchvision's quantizable models for the network tests. Its one release
  # for torch 2.13 pins CUDA packages of several GB that the CPU torch does
  # not need: installed without its dependencies, and pillow beside it.
  .venv/bin/python -m pip install -q --disable-pip-version-check --no-deps torchvision==0.28.0 pillow
fi
