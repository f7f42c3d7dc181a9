#!/usr/bin/env bash
# Cross-builds zorv for Linux ARM64 and runs its tests under user-mode emulation
# (qemu-aarch64-static, called directly: no binfmt_misc is needed).
#
#   1. Debian packages that are missing: the aarch64 cross compiler, qemu-user-static,
#      debootstrap, GoogleTest's sources, Eigen, CMake, Ninja.
#   2. An arm64 root of the host's own Debian release (VERSION_CODENAME of /etc/os-release),
#      so that its C and C++ libraries are those the host's cross compiler links against,
#      made once and cached outside the clone in ${XDG_CACHE_HOME:-~/.cache}/zorv/, named
#      by the release and a digest of what it holds: the release's arm64 CPython (3.11 on
#      Debian 12, 3.13 on 13) with its headers (debootstrap --foreign downloads the
#      packages, dpkg -x unpacks them: nothing runs inside the root), NumPy, SciPy and
#      pytest from their manylinux aarch64 wheels, GoogleTest built for aarch64, and
#      (rewritten on every run) bin/python and bin/cc, which run the root's interpreter
#      and build C programs that run under the emulator.
#   3. The C++ unit tests and the modules, cross-compiled with GCC
#      (cmake/aarch64-linux-gnu.cmake) in build/aarch64.
#   4. Under the emulator: the C++ unit tests, and a check that the emulated interpreter
#      imports those modules and that they compute.
#   5. The aarch64 wheel for older glibc (ZORV_WHEEL=compat-aarch64 scripts/build_wheel.sh:
#      zig's clang against glibc 2.17 and the root's Python headers), installed by pip for
#      an aarch64 CPython of the root's version into build/aarch64-wheel, and the Python
#      tests against it under the emulator, except the dask and type-checking tests (their
#      packages are not in the root); tests that need an address-space limit skip
#      (ZORV_EMULATOR is set: the emulator reserves address space of its own). The Python
#      tests run once, against the wheel that users install: under emulation they take
#      several times as long as natively.
# Prints the time of each stage.
#
# Usage: scripts/aarch64.sh          (PYTHON and ZORV_VENV as for scripts/setup.sh)
#        scripts/aarch64.sh --root   steps 1 and 2 only; prints the root's path
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stage.sh
source scripts/debian_packages.sh
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
wheels=(numpy scipy pytest)
wheel_platforms=(--platform manylinux_2_28_aarch64 --platform manylinux2014_aarch64)
# pip of the project's environment downloads the wheels (a system python3 may have no pip).
host_python="${ZORV_VENV:-.venv}/bin/python"
[ -x "$host_python" ] || host_python="${PYTHON:-python3}"
gtest_version="$(dpkg-query -W -f='${Version}' googletest)"
compiler_version="$(aarch64-linux-gnu-g++ -dumpfullversion)"
key="$(printf '%s\n' root-2 "$suite" "${debs[@]}" "${wheels[@]}" "${wheel_platforms[@]}" \
  "googletest $gtest_version" "g++ $compiler_version" | sha256sum | cut -c1-16)"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/zorv"
root="$cache/aarch64-$suite-root-$key"
python="$root/bin/python"

make_root() (
  set -euo pipefail
  local mirror partial="$root.partial"
  mirror="$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null |
    head -n 1)"
  if [ -z "$mirror" ]; then
    mirror="$(awk -v suite="$suite" '$1 == "deb" && $3 == suite { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)"
  fi
  mirror="${mirror:-http://deb.debian.org/debian}"
  # A root of this release for other contents is stale (aarch64-root-*: roots named
  # before the release was part of the name).
  rm -rf "$partial" "$cache/aarch64-$suite"-root-* "$cache"/aarch64-root-*
  mkdir -p "$cache"
  echo "aarch64: downloading Debian $suite arm64 packages from $mirror"
  as_root debootstrap --foreign --arch=arm64 --variant=minbase --include="$(IFS=,; echo "${debs[*]}")" \
    "$suite" "$partial" "$mirror" >"$cache/aarch64-debootstrap.log" 2>&1 ||
    { tail -n 20 "$cache/aarch64-debootstrap.log" >&2; exit 1; }
  local deb
  for deb in "$partial"/var/cache/apt/archives/*.deb; do dpkg -x "$deb" "$partial"; done
  rm -rf "$partial"/var/cache/apt/archives "$partial"/debootstrap
  local version
  version="$(readlink "$partial/usr/bin/python3")"  # python3.X
  version="${version#python}"
  echo "aarch64: installing the wheels of ${wheels[*]} for CPython $version"
  "$host_python" -m pip install -q --disable-pip-version-check --root-user-action=ignore --target "$partial/usr/lib/python3/dist-packages" \
    "${wheel_platforms[@]}" --python-version "$version" --implementation cp --abi "cp${version/./}" \
    --only-binary=:all: "${wheels[@]}"
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
  stage "aarch64 root: Debian $suite arm64, ${wheels[*]}, GoogleTest" make_root
fi

# Host programs that run the target's under the emulator, written on every run.
# bin/python is the root's interpreter; it is also sys.executable (argv[0]), so that tests
# starting a child interpreter start it under the emulator too. bin/cc compiles a C program
# for aarch64 against the root's libraries (the emulated interpreter names their paths as
# seen inside the root) and puts a launcher that runs it under the emulator in its place.
mkdir -p "$root/bin"
rm -f "$python" "$root/bin/cc"  # replaced, never written through a link
# OPENBLAS_CORETYPE=ARMV8: the root's OpenBLAS picks its kernels from the processor the
# emulator reports, and some of them compute wrong products under emulation (trixie's:
# a 6x6 by 6x9 matmul off by 2.7); its generic ARMv8 kernels are right.
cat >"$python" <<EOF
#!/bin/sh
OPENBLAS_CORETYPE=ARMV8 exec qemu-aarch64-static -L "$root" -0 "$python" "$root/usr/bin/$(readlink "$root/usr/bin/python3")" "\$@"
EOF
cat >"$root/bin/cc" <<EOF
#!/usr/bin/env bash
set -euo pipefail
args=() output=a.out
while ((\$#)); do
  case "\$1" in
    -o) output="\$2"; shift ;;
    -I/* | -L/*) args+=("\${1:0:2}$root\${1:2}") ;;
    *) args+=("\$1") ;;
  esac
  shift
done
aarch64-linux-gnu-gcc --sysroot="$root" "\${args[@]}" -o "\$output.aarch64" \\
  -Wl,-rpath-link,"$root/usr/lib/aarch64-linux-gnu:$root/lib/aarch64-linux-gnu"
printf '#!/bin/sh\nexec qemu-aarch64-static -L "%s" "%s" "\$@"\n' "$root" "\$output.aarch64" >"\$output"
chmod +x "\$output"
EOF
chmod +x "$python" "$root/bin/cc"
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
stage "aarch64 cross build (Release)" bash -c "
  cmake -S . -B '$build' -G Ninja --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
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
imports_from() {  # imports_from FOLDER: the emulated interpreter takes both modules from FOLDER
  PYTHONPATH="$1" "$python" -c "import sys, zorv, zorv_arrays
sys.exit(not all(module.__file__.startswith('$1/') for module in (zorv, zorv_arrays)))"
}
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

# 5. The wheel. It is built for the root's CPython: by the project's environment when that
# is the same version, else by one made for that version (as scripts/test.sh makes them).
version="$(readlink "$root/usr/bin/python3")"
version="${version#python}"
wheel_environment=()
if [ "$("$host_python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" != "$version" ]; then
  wheel_environment=(PYTHON="python$version" ZORV_VENV=".venvs/$version")
fi
site="$PWD/build/aarch64-wheel"
python_tests() (
  export ZORV_EMULATOR=qemu-aarch64-static PYTHONPATH="$site" CC="$root/bin/cc"
  imports_from "$site" &&
    "$python" -m pytest -q -p no:cacheprovider tests/python -k "not dask" --ignore tests/python/test_stub.py
)
aarch64_wheel() {
  local wheel
  env "${wheel_environment[@]}" ZORV_WHEEL=compat-aarch64 ZORV_AARCH64_SYSROOT="$root" bash scripts/build_wheel.sh &&
    wheel="$(ls -t dist/compat/zorv-*-cp"${version/./}"-*_aarch64.whl | head -n 1)" &&
    rm -rf "$site" &&
    "$host_python" -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-deps --target "$site" \
      "${wheel_platforms[@]}" --python-version "$version" --implementation cp --abi "cp${version/./}" \
      --only-binary=:all: "$wheel"
}
if stage "aarch64 wheel: build, tag, install" aarch64_wheel; then
  stage "Python tests on aarch64, the wheel's modules (emulated)" python_tests || failed+=("Python tests")
else
  failed+=("wheel")
fi
stage_summary
if ((${#failed[@]})); then
  echo "aarch64: FAILED: ${failed[*]}" >&2
  exit 1
fi
