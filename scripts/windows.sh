#!/usr/bin/env bash
# Windows x86-64 (nothing runs Windows here): the numerical core and its C++ unit tests
# cross-built with Debian's mingw-w64 GCC and run under wine, and both extension modules
# compiled (not linked) against CPython's own Windows headers.
#
#   1. Debian packages that are missing: mingw-w64, wine64, GoogleTest's sources, Eigen,
#      CMake, Ninja, curl.
#   2. GoogleTest built for Windows from the sources Debian ships, once, in
#      build/windows/googletest-KEY (KEY: a digest of its version and the compiler's).
#   3. zorv_core and the C++ unit tests, cross-compiled (cmake/x86_64-w64-mingw32.cmake:
#      the posix-threads variant of the compiler, whose C++ library has std::thread;
#      linked statically, so that the program needs no DLL beside the system's own) in
#      build/windows/core, with the project's flags (CMake's zorv_flags).
#   4. The unit tests in one run of their program under wine64, headless (no display is
#      needed), in a wine prefix of their own, build/windows/wine (made on the first
#      run: the slow part of a first run). Tests that cannot hold on Windows skip and
#      say why (fork, signal masks, the POSIX address-space limit).
#   5. Every source under src/bindings and src/arrays compiled for win_amd64, by the same
#      compiler with the same flags, against the Include/ folder and PC/pyconfig.h (the
#      Windows one) of the CPython sources of the Debian release's python3 (its source
#      package's upstream tarball, from the mirror that apt uses, checked against the
#      digest its .dsc names; unpacked once into /var/tmp/zorv/), nanobind's headers from
#      the project's environment and Eigen. pyconfig.h sets MS_WIN64 only for MSVC: it is
#      defined here (else the headers take the pointers to be 4 bytes).
# Prints the time of each stage; exits non-zero if any fails.
#
# Usage: scripts/windows.sh          (ZORV_VENV as for scripts/setup.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stage.sh
source scripts/debian_packages.sh

# 1. Debian packages.
install_missing_debian_packages windows mingw-w64 wine64 googletest libeigen3-dev cmake ninja-build curl
wine=/usr/lib/wine/wine64  # Debian's wine64 package puts no wine64 on the PATH (the package "wine" does)
[ -x "$wine" ] || wine="$(command -v wine64)"
cxx=x86_64-w64-mingw32-g++-posix
echo "windows: $("$cxx" --version | head -n 1), $("$wine" --version)"
failed=()

# 2. GoogleTest for the target.
gtest_version="$(dpkg-query -W -f='${Version}' googletest)"
key="$(printf '%s\n' "googletest $gtest_version" "$("$cxx" -dumpfullversion)" | sha256sum | cut -c1-16)"
gtest="$PWD/build/windows/googletest-$key"
build_googletest() {
  rm -rf "$gtest.build" build/windows/googletest-* &&
    cmake -S /usr/src/googletest -B "$gtest.build" -G Ninja -Wno-deprecated -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/x86_64-w64-mingw32.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest" >/dev/null &&
    cmake --build "$gtest.build" -j 2 >/dev/null &&
    cmake --install "$gtest.build" >/dev/null &&
    rm -rf "$gtest.build"
}
if [ ! -d "$gtest/lib/cmake/GTest" ]; then
  stage "GoogleTest $gtest_version for Windows" build_googletest || { stage_summary; exit 1; }
fi

# 3. Cross build (as every cross build, its test discovery waits for ctest: at build time
# it would run the program, which only wine can).
build=build/windows/core
cross_build() {
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF -DZORV_BUILD_MODULE=OFF -DZORV_BUILD_TESTS=ON \
    -DZORV_WERROR=ON -DGTest_DIR="$gtest/lib/cmake/GTest" -DEigen3_DIR=/usr/share/eigen3/cmake >/dev/null &&
    cmake --build "$build" -j 2
}
stage "Windows cross build: zorv_core and its C++ tests (mingw-w64 GCC)" cross_build || failed+=("cross build")

# 4. The tests under wine. Its own prefix, so that nothing of the user's wine is touched;
# no display, and no messages from wine itself.
export WINEPREFIX="$PWD/build/windows/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
make_prefix() {  # its messages only on failure (one names the 32-bit part that wine64 lacks)
  mkdir -p "$build" && "$wine" wineboot --init >"$build/wineboot.log" 2>&1 || { cat "$build/wineboot.log" >&2; return 1; }
}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  stage "wine prefix (first start)" make_prefix || failed+=("wine prefix")
fi
# The unit tests in one run of their program: under ctest each test would pay wine's
# start-up again. (The death tests start the program again themselves, under wine too.)
if [ -f "$build/zorv_core_tests.exe" ]; then
  stage "C++ tests on Windows (wine)" "$wine" "$build/zorv_core_tests.exe" --gtest_brief=1 || failed+=("C++ tests")
fi

# 5. The extension modules against CPython's Windows headers.
headers_for() {  # headers_for SOURCE: prints the folder with the headers of Debian's source package SOURCE (python3.X)
  local source="$1" debian_version dsc mirror upstream orig digest
  local headers="/var/tmp/zorv/cpython-windows-headers-${source#python}" pool="pool/main/${1:0:1}/$1"
  if [ ! -f "$headers/PC/pyconfig.h" ]; then
    mirror="$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null |
      head -n 1)"
    mirror="${mirror:-http://deb.debian.org/debian}"
    # The version that the release's main archive holds (the security archive's pool is
    # laid out differently); every Debian revision shares the upstream tarball.
    debian_version="$(apt-cache madison "$source" | awk -F' *[|] *' '$3 ~ /\/main / && $3 !~ /security/ { print $2; exit }')"
    [ -n "$debian_version" ] || { echo "windows: apt knows no $source in the main archive" >&2; return 1; }
    local work
    work="$(mktemp -d)"
    dsc="$(curl -fsSL "$mirror/$pool/${source}_${debian_version#*:}.dsc")" || {
      echo "windows: no .dsc of $source $debian_version on $mirror" >&2; rm -rf "$work"; return 1; }
    read -r digest _ orig < <(sed -n '/^Checksums-Sha256:/,/^[^ ]/p' <<<"$dsc" | grep -E ' [^ ]+\.orig\.tar\.[a-z0-9]+$')
    [ -n "${orig:-}" ] || { echo "windows: the .dsc of $source $debian_version names no upstream tarball" >&2; rm -rf "$work"; return 1; }
    upstream="${orig#"${source}_"}"
    upstream="${upstream%.orig.tar.*}"
    echo "windows: CPython $upstream sources ($orig, of $source $debian_version)" >&2
    curl -fsSL -o "$work/$orig" "$mirror/$pool/$orig" &&
      echo "$digest  $work/$orig" | sha256sum -c --quiet - &&
      tar -xf "$work/$orig" -C "$work" --wildcards "*/Include" "*/PC/pyconfig.h" &&
      mkdir -p "$(dirname "$headers")" &&
      rm -rf "$headers" && mv "$work"/Python-*/ "$headers" || { rm -rf "$work"; return 1; }
    rm -rf "$work"
  fi
  echo "$headers"
}

compile_modules() {
  local python="${ZORV_VENV:-.venv}/bin/python" source headers nanobind_dir package_version
  # The CPython of the release's python3 (python3.11 on Debian 12, python3.13 on 13).
  source="$(apt-cache depends python3 | sed -n 's/^ *Depends: \(python3\.[0-9][0-9]*\)$/\1/p' | head -n 1)"
  [ -n "$source" ] || { echo "windows: apt names no CPython that python3 depends on" >&2; return 1; }
  headers="$(headers_for "$source")" || return 1
  nanobind_dir="$(dirname "$("$python" -m nanobind --cmake_dir)")" || {
    echo "windows: $python has no nanobind; run scripts/setup.sh test first" >&2; return 1; }
  # The package version, which CMake passes to zorv_arrays' module from pyproject.toml.
  package_version="$(sed -n 's/^version = "\([^"]*\)"$/\1/p' pyproject.toml | head -n 1)"
  [ -n "$package_version" ] || { echo "windows: pyproject.toml has no version line" >&2; return 1; }
  local flags=(-std=c++20 -O2 -ffp-contract=off -fno-fast-math -Wall -Wextra -Werror -Isrc
    "-DZORV_VERSION=\"$package_version\"" -DMS_WIN64 -isystem /usr/include/eigen3
    -isystem "$headers/Include" -isystem "$headers/PC")
  local objects source output failures=() count=0
  objects="$(mktemp -d)"
  for source in $(find src/bindings src/arrays -name '*.cpp' | LC_ALL=C sort); do
    count=$((count + 1))
    local include=()
    [[ "$source" == src/arrays/* ]] && include+=(-isystem "$nanobind_dir/include" -isystem "$nanobind_dir/ext/robin_map/include")
    if ! output="$("$cxx" "${flags[@]}" "${include[@]}" -c "$source" -o "$objects/object.o" 2>&1)"; then
      failures+=("$source")
      echo "--- $source"
      grep -E 'error' <<<"$output" | head -n 5
    fi
  done
  rm -rf "$objects"
  if ((${#failures[@]})); then
    echo "windows: ${#failures[@]} of $count module sources fail to compile for win_amd64:"
    printf '  %s\n' "${failures[@]}"
    return 1
  fi
  echo "windows: all $count module sources compile for win_amd64 (the headers of $(basename "$headers"))"
}
stage "Windows compile check: zorv and zorv_arrays against CPython's Windows headers" compile_modules ||
  failed+=("module compile check")

stage_summary
if ((${#failed[@]})); then
  echo "windows: FAILED: ${failed[*]}" >&2
  exit 1
fi
