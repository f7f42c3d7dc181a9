#!/usr/bin/env bash
# Builds the C++ unit tests and the module in Debug with AddressSanitizer and
# UndefinedBehaviorSanitizer, runs the unit tests, then the Python tests against the
# sanitized module (the interpreter itself is not instrumented: the sanitizer runtime
# is preloaded, and leak reports are off because the interpreter keeps its objects at exit).
# Usage: scripts/sanitize.sh          (PYTHON and ZORV_VENV as for scripts/setup.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stage.sh
VENV="${ZORV_VENV:-.venv}"
build="build/sanitize"

ZORV_WERROR=ON bash scripts/setup.sh test
python="$(cd "$VENV/bin" && pwd)/python"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

stage "sanitizer build (Debug, address+undefined)" bash -c "
  cmake -S . -B '$build' -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZORV_SANITIZE=address,undefined \
    -DZORV_BUILD_TESTS=ON -DZORV_BUILD_MODULE=ON -DZORV_WERROR=ON -DPython_EXECUTABLE='$python' >/dev/null &&
  cmake --build '$build' -j '$(nproc)'"
failed=()
stage "C++ tests under the sanitizers" env ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1" \
  ctest --test-dir "$build" --output-on-failure -j "$(nproc)" || failed+=("C++ tests")
python_tests() (  # chained with "&&": errexit is off inside a "||" list
  # libstdc++ is preloaded too: the sanitizer's exception interceptor must find
  # __cxa_throw when it starts, before the interpreter loads the module.
  export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
  # Huge requests must fail as they do without the sanitizer (the tests expect MemoryError).
  # Freed memory waits in a quarantine (to catch uses after free); a smaller one keeps
  # the tests that watch the process's memory meaningful.
  export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:quarantine_size_mb=32" PYTHONPATH="$build"
  "$python" -c "import sys, zorv; sys.exit(zorv.__file__.startswith('$PWD/$build/') is False)" &&
    "$python" -m pytest -q --capture=sys -p no:cacheprovider -n auto tests/python  # reports reach the log
)
stage "Python tests under the sanitizers" python_tests || failed+=("Python tests")
stage_summary
if ((${#failed[@]})); then
  echo "sanitize: FAILED: ${failed[*]}" >&2
  exit 1
fi
