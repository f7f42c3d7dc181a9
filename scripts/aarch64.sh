#!/usr/bin/env bash
# Cross-builds zorv for Linux ARM64 and runs its tests under user-mode emulation
# (qemu-aarch64-static, called directly: no binfmt_misc is needed).
#
#   1. Debian packages that are missing: the aarch64 cross compiler, qemu-user-static,
#      debootstrap, GoogleTest's sources, Eigen, CMake, Ninja.
#   2. An arm64 root, made once and cached outside the clone in
#      ${XDG_CACHE_HOME:-~/.cache}/zorv/, named by a digest of what it holds:
#      Debian's arm64 CPython 3.11 with its headers (debootstrap --foreign downloads
#      the packages, dpkg -x unpacks them: nothing runs inside the root), NumPy, SciPy
#      and pytest from their manylinux aarch64 wheels, GoogleTest built for aarch64,
#      and (rewritten on every run) bin/python and bin/cc, which run the root's
#      interpreter and build C programs that run under the emulator.
#   3. The C++ unit tests and the module, cross-compiled (cmake/aarch64-linux-gnu.cmake)
#      in build/aarch64.
#   4. The C++ unit tests, then the Python tests with that module, all under the
#      emulator, except the dask and type-checking tests (their packages are not in
#      the root); tests that need an address-space limit skip (ZORV_EMULATOR is set:
#      the emulator reserves address space of its own).
# Prints the time of each stage.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stage.sh
source scripts/debian_packages.sh

# 1. Debian packages.
apt_packages=(g++-aarch64-linux-gnu qemu-user-static debootstrap googletest libeigen3-dev cmake ninja-build)
install_missing_debian_packages aarch64 "${apt_packages[@]}"

# 2. The arm64 root.
suite=bookworm
debs=(python3.11 libpython3.11-dev)
wheels=(numpy scipy pytest)
wheel_platforms=(--platform manylinux_2_28_aarch64 --platform manylinux2014_aarch64)
# pip of the project's environment downloads the wheels (a system python3 may have no pip).
host_python="${ZORV_VENV:-.venv}/bin/python"
[ -x "$host_python" ] || host_python="${PYTHON:-python3}"
gtest_version="$(dpkg-query -W -f='${Version}' googletest)"
compiler_version="$(aarch64-linux-gnu-g++ -dumpfullversion)"
key="$(printf '%s\n' root-1 "$suite" "${debs[@]}" "${wheels[@]}" "${wheel_platforms[@]}" \
  "googletest $gtest_version" "g++ $compiler_version" | sha256sum | cut -c1-16)"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/zorv"
root="$cache/aarch64-root-$key"
python="$root/bin/python"

make_root() (
  set -euo pipefail
  local mirror partial="$root.partial"
  mirror="$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null |
    head -n 1)"
  if [ -z "$mirror" ]; then
    mirror="$(awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)"
  fi
  mirror="${mirror:-http://deb.debian.org/debian}"
  rm -rf "$partial" "$cache"/aarch64-root-*  # a root for other contents is stale
  mkdir -p "$cache"
  echo "aarch64: downloading Debian $suite arm64 packages from $mirror"
  as_root debootstrap --foreign --arch=arm64 --variant=minbase --include="$(IFS=,; echo "${debs[*]}")" \
    "$suite" "$partial" "$mirror" >"$cache/aarch64-debootstrap.log" 2>&1 ||
    { tail -n 20 "$cache/aarch64-debootstrap.log" >&2; exit 1; }
  local deb
  for deb in "$partial"/var/cache/apt/archives/*.deb; do dpkg -x "$deb" "$partial"; done
  rm -rf "$partial"/var/cache/apt/archives "$partial"/debootstrap
  echo "aarch64: installing the wheels of ${wheels[*]}"
  "$host_python" -m pip install -q --disable-pip-version-check --root-user-action=ignore --target "$partial/usr/lib/python3/dist-packages" \
    "${wheel_platforms[@]}" --python-version 3.11 --implementation cp --abi cp311 --only-binary=:all: "${wheels[@]}"
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
cat >"$python" <<EOF
#!/bin/sh
exec qemu-aarch64-static -L "$root" -0 "$python" "$root/usr/bin/python3.11" "\$@"
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
    -DPython_EXECUTABLE='$python' -DPython_INCLUDE_DIR='$root/usr/include/python3.11' \
    -Dnanobind_ROOT='$nanobind_root' >/dev/null &&
  cmake --build '$build' -j 2"

# 4. Tests under the emulator.
failed=()
# The unit tests in one run of their program: under ctest each test would pay the
# emulator's start-up (half a second) again.
stage "C++ tests on aarch64 (emulated)" qemu-aarch64-static -L "$root" "$build/zorv_core_tests" --gtest_brief=1 ||
  failed+=("C++ tests")
python_tests() (
  export ZORV_EMULATOR=qemu-aarch64-static PYTHONPATH="$PWD/$build" CC="$root/bin/cc"
  "$python" -c "import sys, zorv; sys.exit(not zorv.__file__.startswith('$PWD/$build/'))" &&
    "$python" -m pytest -q -p no:cacheprovider tests/python -k "not dask" --ignore tests/python/test_stub.py
)
stage "Python tests on aarch64 (emulated)" python_tests || failed+=("Python tests")
stage_summary
if ((${#failed[@]})); then
  echo "aarch64: FAILED: ${failed[*]}" >&2
  exit 1
fi
