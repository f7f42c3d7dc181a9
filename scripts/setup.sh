#!/usr/bin/env bash
# Installs what zorv needs and then zorv itself into the project's virtual environment.
#
#   1. Debian packages that are missing: compiler, CMake, Ninja, Eigen, GoogleTest,
#      CA certificates, and, for the system interpreter, python3 with venv and headers.
#   2. The virtual environment $ZORV_VENV (default .venv), made from $PYTHON
#      (default python3); it is remade when $PYTHON names another interpreter.
#   3. The build requirements and the requested extras, read from pyproject.toml.
#   4. zorv, built from this checkout.
# Steps 3 and 4 are skipped when nothing they depend on changed since the last run.
#
# Usage: scripts/setup.sh [--deps-only] [extra ...]   extras of pyproject.toml, e.g. test, demo;
#        --deps-only stops after step 3 (for scripts that build zorv themselves, such as
#        build_wheel.sh: reinstalling it with their settings would undo the test build's)
# Environment: PYTHON, ZORV_VENV, ZORV_WERROR=ON (warnings are errors; own build folder),
#   ZORV_LTO=OFF (no link-time optimisation: a quicker build, for the test command's other
#   interpreters; own build folder)
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON="${PYTHON:-python3}"
VENV="${ZORV_VENV:-.venv}"
WERROR="${ZORV_WERROR:-OFF}"
LTO="${ZORV_LTO:-ON}"
deps_only=false
if [ "${1:-}" = --deps-only ]; then deps_only=true; shift; fi

source scripts/find_python.sh
source scripts/debian_packages.sh

# 1. Debian packages.
apt_packages=(g++ cmake ninja-build make libeigen3-dev libgtest-dev ca-certificates)
interpreter_path="$(find_python "$PYTHON")"
if [ -z "$interpreter_path" ]; then
  if [ "$PYTHON" != python3 ]; then
    echo "setup: PYTHON=$PYTHON is not an interpreter on this machine" >&2
    exit 1
  fi
  apt_packages+=(python3 python3-venv python3-dev)
elif [[ "$(readlink -f "$interpreter_path")" == /usr/bin/* ]]; then
  # The distribution's interpreter keeps venv and the C headers in separate packages.
  apt_packages+=(python3-venv python3-dev)
fi
if command -v dpkg-query >/dev/null 2>&1; then
  install_missing_debian_packages setup "${apt_packages[@]}"
else
  echo "setup: not a Debian system; make sure these are installed: ${apt_packages[*]}" >&2
fi

# 2. The virtual environment, tied to the interpreter it was made from.
PYTHON="$(find_python "$PYTHON")"
interpreter="$(readlink -f "$PYTHON") $("$PYTHON" -c 'import sys; print(sys.version.split()[0])')"
if [ ! -x "$VENV/bin/python" ] || [ "$(cat "$VENV/.zorv-interpreter" 2>/dev/null)" != "$interpreter" ]; then
  echo "setup: creating the virtual environment $VENV from $interpreter"
  "$PYTHON" -m venv --clear "$VENV"
  # The pip that venv bundles may predate what the build needs (config settings).
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
  echo "$interpreter" >"$VENV/.zorv-interpreter"
fi
python="$VENV/bin/python"
pip=("$python" -m pip install -q --disable-pip-version-check)

stamp_of() {  # a digest of the named files and of the words after "--"
  local files=() word
  while (($#)) && [ "$1" != -- ]; do files+=("$1"); shift; done
  shift
  { find "${files[@]}" -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum; printf '%s\n' "$@"; } |
    sha256sum | cut -d' ' -f1
}

# 3. Build requirements and extras.
extras=("$@")
deps_stamp_file="$VENV/.zorv-deps-$(IFS=-; echo "${extras[*]:-none}")"
deps_stamp="$(stamp_of pyproject.toml scripts/requirements.py -- "${extras[@]}")"
if [ "$(cat "$deps_stamp_file" 2>/dev/null)" != "$deps_stamp" ]; then
  echo "setup: installing Python packages for: build ${extras[*]}"
  if ! "$python" -c 'import tomllib' 2>/dev/null; then "${pip[@]}" tomli; fi
  requirements="$("$python" scripts/requirements.py "${extras[@]}")"
  "${pip[@]}" -r /dev/stdin <<<"$requirements"
  echo "$deps_stamp" >"$deps_stamp_file"
fi

if [ "$deps_only" = true ]; then exit 0; fi

# 4. zorv, incremental: each interpreter and warning setting keeps its own build folder.
# The installed build is kept while its sources and interpreter are unchanged and it was
# built with the warning setting asked for, or with warnings as errors (which the test
# command uses): such a build serves the demo and the site as well.
build_dir="build/py/{wheel_tag}"
build_settings=(--config-settings=cmake.define.ZORV_WERROR="$WERROR")
if [ "$WERROR" = ON ]; then build_dir+="-werror"; fi
if [ "$LTO" = OFF ]; then
  build_dir+="-nolto"
  build_settings+=(--config-settings=cmake.define.CMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF)
fi
build_stamp="$(stamp_of src CMakeLists.txt pyproject.toml -- "$interpreter" "link-time optimisation $LTO")"
read -r installed_stamp installed_werror 2>/dev/null <"$VENV/.zorv-build" || true
if [ "${installed_stamp:-}" != "$build_stamp" ] || { [ "${installed_werror:-}" != "$WERROR" ] &&
  [ "${installed_werror:-}" != ON ]; } || ! "$python" -c 'import zorv' 2>/dev/null; then
  echo "setup: building and installing zorv into $VENV"
  rm -f "$VENV/.zorv-build"
  "${pip[@]}" --no-deps --no-build-isolation --force-reinstall \
    --config-settings=build-dir="$build_dir" "${build_settings[@]}" .
  echo "$build_stamp $WERROR" >"$VENV/.zorv-build"
else
  echo "setup: zorv in $VENV is up to date (built from these sources, warnings as errors: $installed_werror)"
fi
