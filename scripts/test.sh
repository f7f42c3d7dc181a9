#!/usr/bin/env bash
# Runs every test of zorv, one stage after another, and prints the time of each:
#   - setup (scripts/setup.sh): installs what is missing, builds zorv into the venv;
#   - the C++ unit tests of the numerical core under ctest;
#   - the Python tests (pytest-xdist: on every processor) and the type checks in the
#     project's virtual environment, then the Python tests on every other supported CPython
#     found here, built without link-time optimisation (with CI=true every supported
#     version must be present);
#   - CPython 3.14 in a Debian sid root, with sid's Eigen 5: the C++ tests, the Python tests
#     and the stub check; the cp314 wheels for older glibc (x86-64, and ARM64 under
#     emulation), built with zig's clang, their tags checked and the Python tests run
#     against each; CPython 3.15 built and imported as an early warning that does not fail
#     the command (scripts/python314.sh; needs root: skipped otherwise, failed with CI=true);
#   - the C++ and Python tests against a Debug build with the address and
#     undefined-behaviour sanitizers (scripts/sanitize.sh);
#   - the same with ThreadSanitizer and a threaded stress (scripts/tsan.sh);
#   - coverage-guided fuzzing of every entry point for a bounded time, on a clang build
#     with the address and undefined-behaviour sanitizers (scripts/fuzz.sh);
#   - the self-contained wheel and what it links against (scripts/build_wheel.sh);
#   - a cross-build for Linux ARM64 and its C++ tests and modules run under emulation
#     (scripts/aarch64.sh);
#   - a build with clang and libc++, its C++ and Python tests (scripts/clang_libcxx.sh);
#   - every source compiled for macOS arm64 and x86-64 (scripts/macos_compile.sh);
#   - a cross-build for Windows x86-64 with mingw-w64, its C++ unit tests run under wine,
#     and both extension modules compiled against CPython's Windows headers
#     (scripts/windows.sh);
#   - the documentation site built with warnings as errors, its examples run, its links,
#     anchors and reference entries checked, its pages opened in headless Chromium
#     (scripts/docs.sh).
#
# The screen shows one line per stage (and the last lines of a failing stage's output);
# each stage's full output is kept in build/logs/. Every build goes through ccache
# (build/ccache).
#
# Usage: scripts/test.sh            every stage (50 minutes on an idle 2-core machine, see the README)
#        scripts/test.sh --quick    setup, the C++ tests and the Python tests with the stub
#                                   check on the project's interpreter only (a few minutes)
set -euo pipefail
cd "$(dirname "$0")/.."
# The screen shows a line per stage; each stage's output goes to a file of build/logs/.
stage_log_dir="$PWD/build/logs"
rm -rf "$stage_log_dir"
source scripts/stage.sh
source scripts/find_python.sh
source scripts/debian_packages.sh

SUPPORTED_PYTHONS=(3.9 3.10 3.11 3.12 3.13)
VENV="${ZORV_VENV:-.venv}"
ci="${CI:-false}"
quick=false
case "${1:-}" in
  "") ;;
  --quick) quick=true ;;
  *) echo "test: unknown option '$1' (--quick or nothing)" >&2; exit 2 ;;
esac

# Every build of the run goes through ccache, its cache in this checkout's build/ccache:
# what several stages compile alike (the core for each CPython, say) is compiled once.
# The paths stay absolute (no base folder): relative to build folders of different
# depths, the same source would be named differently and never hit.
install_missing_debian_packages test ccache
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR="$PWD/build/ccache" \
  CCACHE_NOHASHDIR=true CCACHE_MAXSIZE=4G

stage "setup: ${PYTHON:-python3} into $VENV" env ZORV_WERROR=ON bash scripts/setup.sh test
python="$VENV/bin/python"
main_version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"

# Stages run in "||" lists, where errexit is off: each step is chained with "&&".
cpp_tests() {  # without link-time optimisation, which the Python tests' modules have
  cmake -S . -B build/cpp -DZORV_BUILD_MODULE=OFF -DZORV_BUILD_TESTS=ON -DZORV_WERROR=ON \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF >/dev/null &&
    cmake --build build/cpp -j "$(nproc)" &&
    ctest --test-dir build/cpp --output-on-failure -j "$(nproc)"
}

python_tests() {  # the pytest suite (on every processor) and the check of the types (zorv's stub, zorv_arrays's inline types) against the built modules
  "$1" -m pytest -q -p no:cacheprovider -n auto tests/python &&
    "$1" -m mypy.stubtest zorv zorv_arrays --allowlist tests/stubtest_allowlist.txt
}

type_checks() {  # user code type-checks against the stub
  "$python" -m mypy --strict --no-incremental examples
}

failed=()
stage "C++ tests (ctest)" cpp_tests || failed+=("C++ tests")
stage "Python tests, CPython $main_version" python_tests "$python" || failed+=("Python $main_version")
if [ "$quick" = true ]; then
  stage_summary
  if ((${#failed[@]})); then
    echo "test --quick: FAILED: ${failed[*]}" >&2
    exit 1
  fi
  echo "test --quick: passed (the other stages run without --quick)"
  exit 0
fi
stage "type checks (mypy --strict examples)" type_checks || failed+=("type checks")

for version in "${SUPPORTED_PYTHONS[@]}"; do
  [ "$version" = "$main_version" ] && continue
  interpreter="$(find_python "python$version")"
  if [ -z "$interpreter" ]; then
    if [ "$ci" = true ]; then
      echo "test: CPython $version is supported but not installed" >&2
      failed+=("Python $version missing")
    else
      echo "test: CPython $version not found here; its tests are skipped"
    fi
    continue
  fi
  # Built without link-time optimisation: the project's interpreter tests the optimised build.
  if stage "setup: CPython $version" env PYTHON="$interpreter" ZORV_VENV=".venvs/$version" ZORV_WERROR=ON ZORV_LTO=OFF \
    bash scripts/setup.sh test; then
    stage "Python tests, CPython $version" python_tests ".venvs/$version/bin/python" || failed+=("Python $version")
  else
    failed+=("setup $version")
  fi
done
stage "CPython 3.14 and the cp314 wheels (Debian sid root): scripts/python314.sh" bash scripts/python314.sh ||
  failed+=("Python 3.14")

stage "sanitizers: scripts/sanitize.sh" bash scripts/sanitize.sh || failed+=("sanitizers")
stage "ThreadSanitizer: scripts/tsan.sh" bash scripts/tsan.sh || failed+=("tsan")
stage "fuzzing (atheris, clang ASan+UBSan): scripts/fuzz.sh" bash scripts/fuzz.sh || failed+=("fuzzing")
# The wheel from the setup stage's build (same settings, same build folder).
stage "wheel: scripts/build_wheel.sh" env ZORV_WERROR=ON bash scripts/build_wheel.sh || failed+=("wheel")
stage "aarch64 (cross-built, emulated): scripts/aarch64.sh" bash scripts/aarch64.sh || failed+=("aarch64")
stage "clang and libc++: scripts/clang_libcxx.sh" bash scripts/clang_libcxx.sh || failed+=("clang/libc++")
stage "macOS compile check: scripts/macos_compile.sh" bash scripts/macos_compile.sh || failed+=("macOS compile")
stage "Windows (mingw-w64, wine): scripts/windows.sh" bash scripts/windows.sh || failed+=("Windows")
# The site's tools (Sphinx 9) need Python 3.11 or later; the test build's settings are kept.
if "$python" -c 'import sys; sys.exit(sys.version_info < (3, 11))' || [ "$ci" = true ]; then
  stage "documentation: scripts/docs.sh" env ZORV_WERROR=ON bash scripts/docs.sh || failed+=("documentation")
else
  echo "test: the documentation needs Python 3.11 or later (this is $main_version); its stage is skipped"
fi

stage_summary
if ((${#failed[@]})); then
  echo "test: FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "test: all passed"
