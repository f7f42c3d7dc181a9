#!/usr/bin/env bash
# Builds the core, its C++ unit tests and the module with clang and libc++ (LLVM's C++
# library and libc++abi instead of GCC's libstdc++), runs ctest, then the Python tests
# against that module (PYTHONPATH points at the build folder; the project's virtual
# environment supplies the interpreter and the test packages).
#
# clang-N with libc++-N-dev and libc++abi-N-dev, installed when missing: N is 16 or later,
# the version Debian offers (debian_clang_version in scripts/debian_packages.sh).
# GoogleTest is compiled here from Debian's sources (/usr/src/googletest): the
# prebuilt library is built against libstdc++ and does not link with libc++.
#
# Usage: scripts/clang_libcxx.sh          (PYTHON and ZORV_VENV as for scripts/setup.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stage.sh
source scripts/debian_packages.sh
VENV="${ZORV_VENV:-.venv}"
build="build/clang-libcxx"

bash scripts/setup.sh --deps-only test
python="$(cd "$VENV/bin" && pwd)/python"

version="$(debian_clang_version 16 clang-% libc++-%-dev libc++abi-%-dev)"
if [ -z "$version" ]; then echo "clang_libcxx: Debian offers no clang 16 or later with libc++" >&2; exit 1; fi
packages=("clang-$version" "libc++-$version-dev" "libc++abi-$version-dev" googletest)
install_missing_debian_packages clang_libcxx "${packages[@]}"
clang="$(command -v "clang++-$version")"
echo "clang_libcxx: $("$clang" --version | head -n 1)"

libcxx=(-DCMAKE_CXX_COMPILER="$clang" -DCMAKE_CXX_FLAGS=-stdlib=libc++
  -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ -DCMAKE_SHARED_LINKER_FLAGS=-stdlib=libc++
  -DCMAKE_MODULE_LINKER_FLAGS=-stdlib=libc++)
gtest="$PWD/$build/googletest"

build_googletest() {
  [ -f "$gtest/.built-with" ] && [ "$(cat "$gtest/.built-with")" = "$clang" ] && return
  rm -rf "$build/googletest-build" "$gtest"
  cmake -S /usr/src/googletest -B "$build/googletest-build" -G Ninja -DCMAKE_BUILD_TYPE=Release -Wno-dev \
    -Wno-deprecated -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest" -DCMAKE_C_COMPILER="${clang/++/}" \
    "${libcxx[@]}" >/dev/null &&
    cmake --build "$build/googletest-build" -j 2 >/dev/null &&
    cmake --install "$build/googletest-build" >/dev/null &&
    echo "$clang" >"$gtest/.built-with"
}

build_zorv() {
  # Configured for another compiler: CMake would start over without the settings below.
  grep -qs "^CMAKE_CXX_COMPILER:.*=$clang\$" "$build/zorv/CMakeCache.txt" ||
    rm -rf "$build/zorv/CMakeCache.txt" "$build/zorv/CMakeFiles"
  cmake -S . -B "$build/zorv" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORV_BUILD_TESTS=ON -DZORV_BUILD_MODULE=ON \
    -DZORV_WERROR=ON -DPython_EXECUTABLE="$python" -DGTest_DIR="$gtest/lib/cmake/GTest" "${libcxx[@]}" >/dev/null &&
    cmake --build "$build/zorv" -j 2
}

python_tests() {
  PYTHONPATH="$PWD/$build/zorv" "$python" -c "
import sys, zorv
# the module of this build, linked against libc++
sys.exit(not zorv.__file__.startswith('$PWD/$build/zorv/'))" &&
    grep -q 'libc++' <(ldd "$build"/zorv/zorv*.so) &&
    PYTHONPATH="$PWD/$build/zorv" "$python" -m pytest -q -p no:cacheprovider -n auto tests/python
}

failed=()
stage "GoogleTest with libc++" build_googletest || failed+=("GoogleTest")
stage "build with clang and libc++" build_zorv || failed+=("build")
if ((${#failed[@]} == 0)); then
  stage "C++ tests (clang, libc++)" ctest --test-dir "$build/zorv" --output-on-failure -j 2 || failed+=("C++ tests")
  stage "Python tests (clang, libc++)" python_tests || failed+=("Python tests")
fi
stage_summary
if ((${#failed[@]})); then
  echo "clang_libcxx: FAILED: ${failed[*]}" >&2
  exit 1
fi
