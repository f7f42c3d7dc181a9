#!/usr/bin/env bash
# Installs everything zorv needs on a fresh Debian machine (compiler, CMake, Eigen,
# oneTBB, GoogleTest, the Python packages of the chosen extras) and then zorv itself.
# Usage: scripts/setup.sh [extra ...]   (extras from pyproject.toml: test, demo, bench, dask)
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON="${PYTHON:-python3}"

apt_packages=(g++ cmake make libeigen3-dev libtbb-dev libgtest-dev)
missing=()
for package in "${apt_packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if ((${#missing[@]})); then
  echo "setup: installing Debian packages: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" != 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Python packages: the build backend, plus those of the requested extras.
python_packages=("scikit-build-core>=0.10" "ninja")
for extra in "$@"; do
  case "$extra" in
    test) python_packages+=(pytest numpy scipy "dask[distributed]; python_version >= '3.10'") ;;
    demo) python_packages+=(numpy scipy matplotlib) ;;
    bench) python_packages+=(numpy scipy) ;;
    dask) python_packages+=("dask[distributed]") ;;
    *) echo "setup: unknown extra '$extra'" >&2; exit 2 ;;
  esac
done
"$PYTHON" -m pip install -q --disable-pip-version-check --root-user-action=ignore "${python_packages[@]}"

# Build and install the extension (incremental: the build folder is kept).
"$PYTHON" -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation \
  -C cmake.define.ZORV_WERROR="${ZORV_WERROR:-OFF}" .
