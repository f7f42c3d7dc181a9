#!/usr/bin/env bash
# Cross-builds zorv for Linux ARM64 and runs its tests under user-mode emulation
# (qemu-aarch64-static, called directly: no binfmt_misc is needed).
#
#   1. Debian packages that are missing: the aarch64 cross compiler, qemu-user-static,
#      debootstrap, GoogleTest's sources, Eigen, CMake, Ninja.
#   2. An arm64 root of the host's own Debian release (VERSION_CODENAME of /etc/os-release),
#      so that its C and C++ libraries are those the host's cross compiler links against,
#      made once (scripts/arm64_root.sh) and cached outside the clone in
#      ${XDG_CACHE_HOME:-~/.cache}/zorv/, named by the release and a digest of what it
#      holds: the release's arm64 CPython (3.11 on Debian 12, 3.13 on 13) with its headers,
#      NumPy, SciPy and pytest from their aarch64 wheels, GoogleTest built for aarch64, and
#      (rewritten on every run) bin/python and bin/cc, which run the root's interpreter and
#      build C programs that run under the emulator.
#   3. The C++ unit tests and the modules, cross-compiled with GCC
#      (cmake/aarch64-linux-gnu.cmake) in build/aarch64.
#   4. Under the emulator: the C++ unit tests, and a check that the emulated interpreter
#      imports those modules and that they compute.
# The aarch64 wheel for older glibc and the whole Python suite against it under the
# emulator are the CPython 3.14 stage's (scripts/python314.sh), for the newest CPython.
# Prints the time of each stage.
#
# Usage: scripts/aarch64.sh          (PYTHON and ZORV_VENV as for scripts/setup.sh)
#        scripts/aarch64.sh --root   steps 1 and 2 only; prints the root's path
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stage.sh
source scripts/debian_packages.sh
source scripts/debian_root.sh
source scripts/arm64_root.sh
root_only=false
if [ "${1:-}" = --root ]; then
  root_only=true
  exec 3>&1 1>&2  # the root's path alone goes to the standard output
fi

# 1. Debian packages.
apt_packages=(g++-aarch64-linux-gnu qemu-user-static debootstrap googletest libeigen3-dev cmake ninja-build)
install_missing_debian_packages aarch64 "${apt_packages[@]}"

# 2. The arm64 root.
suite="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
if [ -z "$suite" ]; then echo "aarch64: /etc/os-release names no Debian release" >&2; exit 1; fi
debs=(python3 libpython3-dev)
# pip of the project's environment downloads the wheels (a system python3 may have no pip).
host_python="${ZORV_VENV:-.venv}/bin/python"
[ -x "$host_python" ] || host_python="${PYTHON:-python3}"
gtest_version="$(dpkg-query -W -f='${Version}' googletest)"
compiler_version="$(aarch64-linux-gnu-g++ -dumpfullversion)"
key="$(printf '%s\n' root-3 "$suite" "${debs[@]}" "${arm64_wheels[@]}" "${arm64_wheel_platforms[@]}" \
  "googletest $gtest_version" "g++ $compiler_version" | sha256sum | cut -c1-16)"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/zorv"
root="$cache/aarch64-$suite-root-$key"
python="$root/bin/python"

make_root() (
  set -euo pipefail
  local partial="$root.partial"
  # A root of this release for other contents is stale (aarch64-root-*: roots named
  # before the release was part of the name).
  rm -rf "$partial" "$cache/aarch64-$suite"-root-* "$cache"/aarch64-root-*
  make_arm64_root "$partial" "$suite" "$host_python" "${debs[@]}"
  # GoogleTest for the target, from the sources Debian ships.
  echo "aarch64: building GoogleTest $gtest_version for aarch64"
  ZORV_AARCH64_SYSROOT="$partial" cmake -S /usr/src/googletest -B "$partial/opt/googletest-build" -G Ninja -Wno-deprecated \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF \
    -DCMAKE_INSTALL_PREFIX="$partial/opt/googletest" >/dev/null
  cmake --build "$partial/opt/googletest-build" -j 2 >/dev/null
  cmake --install "$partial/opt/googletest-build" >/dev/null
  rm -rf "$partial/opt/googletest-build"
  mv "$partial" "$root"
)

mkdir -p "$cache"
exec 9>"$cache/aarch64-root.lock"
flock 9  # another run making or updating the root at the same time waits here
if [ ! -d "$root/opt/googletest" ]; then
  stage "aarch64 root: Debian $suite arm64, ${arm64_wheels[*]}, GoogleTest" make_root
fi

write_arm64_launchers "$root"
flock -u 9
if [ "$root_only" = true ]; then
  echo "$root" >&3
  exit 0
fi

# 3. Cross build. nanobind is sources and CMake files only: the host's copy serves.
build=build/aarch64
host_python="${ZORV_VENV:-.venv}/bin/python"
if ! nanobind_root="$("$host_python" -m nanobind --cmake_dir 2>/dev/null)"; then
  echo "aarch64: $host_python has no nanobind; run scripts/setup.sh test first" >&2
  exit 1
fi
export ZORV_AARCH64_SYSROOT="$root"
# Without link-time optimisation (a minute of linking): the results are the same bits.
stage "aarch64 cross build (Release)" bash -c "
  cmake -S . -B '$build' -G Ninja --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF \
    -DZORV_BUILD_TESTS=ON -DZORV_BUILD_MODULE=ON -DZORV_WERROR=ON -DGTest_DIR='$root/opt/googletest/lib/cmake/GTest' \
    -DPython_EXECUTABLE='$python' -DPython_INCLUDE_DIR='$root/usr/include/$(readlink "$root/usr/bin/python3")' \
    -Dnanobind_ROOT='$nanobind_root' >/dev/null &&
  cmake --build '$build' -j 2"

# 4. Tests under the emulator.
failed=()
# The unit tests in one run of their program: under ctest each test would pay the
# emulator's start-up (half a second) again. Left out here, and run natively: the death
# tests, which start the test program again (the host cannot execute an arm64 program
# without the emulator in front), and the address-space limit test (the emulator itself
# reserves the guest's address space).
stage "C++ tests on aarch64 (emulated)" qemu-aarch64-static -L "$root" "$build/zorv_core_tests" --gtest_brief=1 \
  --gtest_filter='-*DeathTest.*:RequireMemory.RefusesWhatExceedsAnAddressSpaceLimitBelowPhysicalMemory' ||
  failed+=("C++ tests")
module_check() {  # one start of the emulated interpreter: imports from the build, and results
  PYTHONPATH="$PWD/$build" "$python" -c "
import numpy as np, zorv, zorv_arrays as za
assert all(module.__file__.startswith('$PWD/$build/') for module in (zorv, za))
evaluator = zorv.LegendreBasisEvaluator(2, 3, 3.0)
evaluator.set_dofs(range(1, 10))
assert evaluator.evaluate_many(np.array([1.25, 0.0, 3.0])) == [-1.5, 4.0, 18.0]
space = za.LegendreSpace(2, 3, 3.0)
assert space.evaluate(np.arange(1.0, 10.0), np.array([1.25, 0.0, 3.0])).tolist() == [-1.5, 4.0, 18.0]"
}
stage "GCC-built modules on aarch64 (emulated import)" module_check || failed+=("GCC-built modules")

stage_summary
if ((${#failed[@]})); then
  echo "aarch64: FAILED: ${failed[*]}" >&2
  exit 1
fi
