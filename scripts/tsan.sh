#!/usr/bin/env bash
# Builds the C++ unit tests and both modules with ThreadSanitizer, runs the unit tests,
# then the Python stress of concurrent batches (every size around the pool threshold,
# set_dofs, shared and separate evaluators, and every pooled operation of zorv_arrays:
# evaluate of one and many functions with derivative orders 0 to 3, basis_matrix,
# project, integrate, antiderivative, inner, norm and fit, on the same worker pool at
# once) against the instrumented modules. Only the vector kernels' files
# (src/piecewise_polynomials/kernels/*.cpp) are built without the instrumentation (see
# CMakeLists.txt). The interpreter itself is not instrumented: the sanitizer runtime is
# preloaded. Any report fails the stage.
# Usage: scripts/tsan.sh          (PYTHON and ZORV_VENV as for scripts/setup.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stage.sh
VENV="${ZORV_VENV:-.venv}"
build="build/tsan"

ZORV_WERROR=ON bash scripts/setup.sh test
python="$(cd "$VENV/bin" && pwd)/python"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

stage "ThreadSanitizer build (RelWithDebInfo)" bash -c "
  cmake -S . -B '$build' -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORV_SANITIZE=thread \
    -DZORV_BUILD_TESTS=ON -DZORV_BUILD_MODULE=ON -DZORV_WERROR=ON -DPython_EXECUTABLE='$python' >/dev/null &&
  cmake --build '$build' -j '$(nproc)'"
failed=()
stage "C++ tests under ThreadSanitizer" ctest --test-dir "$build" --output-on-failure \
  -j "$(nproc)" || failed+=("C++ tests")
python_stress() (  # chained with "&&": errexit is off inside a "||" list
  export LD_PRELOAD="$(g++ -print-file-name=libtsan.so)" PYTHONPATH="$build"
  "$python" -c "import sys, zorv, zorv_arrays
sys.exit(not all(m.__file__.startswith('$PWD/$build/') for m in (zorv, zorv_arrays)))" &&
    "$python" -m pytest -q --capture=sys -p no:cacheprovider tests/python -m thread_stress
)
stage "Python stress under ThreadSanitizer" python_stress || failed+=("Python stress")
stage_summary
if ((${#failed[@]})); then
  echo "tsan: FAILED: ${failed[*]}" >&2
  exit 1
fi
