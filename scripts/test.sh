#!/usr/bin/env bash
# Runs every test of zorv on a fresh machine: installs what is missing, builds the
# C++ unit tests of the numerical core and runs them under ctest, then installs the
# module and runs the Python tests with pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON="${PYTHON:-python3}"

ZORV_WERROR=ON bash scripts/setup.sh test

cmake -S . -B build/cpp -DZORV_BUILD_MODULE=OFF -DZORV_BUILD_TESTS=ON -DZORV_WERROR=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp -j "$(nproc)"
ctest --test-dir build/cpp --output-on-failure -j "$(nproc)"

"$PYTHON" -m pytest -q tests/python
