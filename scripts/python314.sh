#!/usr/bin/env bash
# Builds and tests zorv on CPython 3.14, and, as an early warning, on 3.15, in a Debian
# sid root (the host's Debian carries neither interpreter; sid also brings Eigen 5 and a
# newer GCC and CMake).
#
#   1. The root: debootstrap --variant=minbase sid from the host's Debian mirror,
#      configured like the host (scripts/debian_root.sh), with python3.14 and its headers
#      and venv, g++, CMake, Ninja, Eigen and GoogleTest installed. Made once and kept in
#      /var/tmp/zorv-sid (ZORV_SID_ROOT names another folder); made again when it is older
#      than a week or was made for another package list.
#   2. This work tree (its tracked and untracked files, not build/, the venvs or dist/)
#      copied to /work/zorv in the root; the root's build/ is kept, so builds are
#      incremental from one run to the next.
#   3. In the root (through chroot, as root):
#      a. the C++ unit tests of the core under ctest, against sid's Eigen;
#      b. scripts/setup.sh test with python3.14 (a venv in /opt/zorv/venv-3.14 of the root,
#         the test extra's packages from PyPI, both modules built with warnings as
#         errors), the Python tests and the stub check;
#      c. when sid has python3.15: zorv built with warnings as errors for it, imported,
#         and the tests of the test files that import neither NumPy nor the packages built
#         on it (NumPy may have no wheel for it yet). Until 3.15 is released, a failure
#         here prints a WARNING and does not fail this script.
#      d. the cp314 wheels for older glibc (ZORV_WHEEL=compat and compat-aarch64
#         scripts/build_wheel.sh in the root: zig's clang against glibc 2.17 and 3.14's
#         headers), their tags checked, the Python tests run against the modules each
#         carries (the ARM64 one by sid's arm64 CPython 3.14 under qemu-aarch64-static, in
#         an arm64 root made by scripts/arm64_root.sh at /opt/arm64 of the sid root and
#         kept with it), and the wheels copied to dist/compat/ of this work tree.
# Prints the time of each stage.
#
# Needs root (debootstrap, chroot, mount). Run by anyone else it says so and exits with
# status 0 (nothing was tested), or 1 when CI=true.
# Usage: sudo bash scripts/python314.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stage.sh

if [ "$(id -u)" != 0 ] && command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  # A user with sudo, as the README's commands expect: the root's work runs through it.
  exec sudo -n --preserve-env=CI,ZORV_SID_ROOT bash "$0" "$@"
fi
if [ "$(id -u)" != 0 ]; then
  if [ "${CI:-false}" = true ]; then
    echo "python314: needs root (debootstrap, chroot, mount): CPython 3.14 is NOT tested" >&2
    exit 1
  fi
  echo "python314: needs root (debootstrap, chroot, mount): SKIPPED, CPython 3.14 is not tested;" \
    "run it as root (sudo bash scripts/python314.sh)" >&2
  exit 0
fi
source scripts/debian_packages.sh
source scripts/debian_root.sh
source scripts/arm64_root.sh
install_missing_debian_packages python314 debootstrap git qemu-user-static

cache="${ZORV_SID_ROOT:-/var/tmp/zorv-sid}"
root="$cache/root"
packages=(python3.14 python3.14-dev python3.14-venv python3-venv python3-dev g++ cmake ninja-build make
  libeigen3-dev libgtest-dev ca-certificates)
key="$(printf '%s\n' sid-root-1 "${packages[@]}" | sha256sum | cut -c1-16)"
max_age_days=7

trap unmount_debian_roots EXIT
mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9  # another run using or making the root waits here

make_root() {
  local mirror partial="$cache/root.partial"
  unmount_debian_roots
  umount -l "$partial/proc" "$partial/dev/shm" "$root/proc" "$root/dev/shm" 2>/dev/null || true
  rm -rf "$partial" "$root"
  mirror="$(debian_mirror)"
  echo "python314: debootstrap minbase sid from $mirror"
  debootstrap --variant=minbase sid "$partial" "$mirror" >"$cache/debootstrap.log" 2>&1 ||
    { tail -n 20 "$cache/debootstrap.log" >&2; return 1; }
  configure_debian_root "$partial" sid &&
    mount_debian_root "$partial" &&
    in_root "$partial" "apt-get -o DPkg::Lock::Timeout=600 update -qq &&
      DEBIAN_FRONTEND=noninteractive apt-get -o Dpkg::Use-Pty=0 install -y -qq --no-install-recommends ${packages[*]} >/dev/null" &&
    unmount_debian_roots &&
    echo "$key" >"$partial/.zorv-root" &&
    mv "$partial" "$root"
}

if [ "$(cat "$root/.zorv-root" 2>/dev/null)" != "$key" ] ||
  [ -n "$(find "$root/.zorv-root" -mtime +"$max_age_days" 2>/dev/null)" ]; then
  stage "sid root: debootstrap, Debian packages" make_root
else
  echo "python314: reusing the sid root $root (made $(date -r "$root/.zorv-root" '+%F %T'))"
fi
configure_debian_root "$root" sid  # the host's DNS and registry settings of today
mount_debian_root "$root"

# The arm64 root that runs the ARM64 wheel's tests, inside the sid root (at /opt/arm64
# there), made again with it or when it was made for another package list.
arm64="$root/opt/arm64"
arm64_debs=(python3.14 libpython3.14-dev)
arm64_key="$(printf '%s\n' arm64-1 "${arm64_debs[@]}" "${arm64_wheels[@]}" | sha256sum | cut -c1-16)"
if [ "$(cat "$arm64/.zorv-root" 2>/dev/null)" != "$arm64_key" ]; then
  host_python="${ZORV_VENV:-.venv}/bin/python"  # its pip downloads the aarch64 wheels
  [ -x "$host_python" ] || host_python=python3
  make_arm64() { make_arm64_root "$arm64" sid "$host_python" "${arm64_debs[@]}" && echo "$arm64_key" >"$arm64/.zorv-root"; }
  stage "sid arm64 root: CPython 3.14, ${arm64_wheels[*]}" make_arm64
fi
write_arm64_launchers "$arm64" /opt/arm64
cp /usr/bin/qemu-aarch64-static "$root/usr/local/bin/"

copy_tree() {  # the work tree's files as git sees them (deleted ones skipped), the root's build/ kept
  local target="$root/work/zorv"
  mkdir -p "$target"
  find "$target" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
  git ls-files -z --cached --others --exclude-standard |
    tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$target" -xf -
}
stage "copy the work tree into the root" copy_tree
echo "commit $(git rev-parse --short HEAD) ($(git rev-parse --abbrev-ref HEAD))$(git diff --quiet HEAD || echo ', with uncommitted changes')"

failed=()
# a. The core's C++ tests with sid's Eigen, GCC and GoogleTest.
stage "sid: C++ tests (ctest), $(in_root "$root" "dpkg-query -W -f='Eigen \${Version}' libeigen3-dev")" \
  in_root "$root" "set -o pipefail && cd /work/zorv &&
    cmake -S . -B build/cpp -G Ninja -DZORV_BUILD_MODULE=OFF -DZORV_BUILD_TESTS=ON -DZORV_WERROR=ON \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF >/dev/null &&
    cmake --build build/cpp -j 2 && ctest --test-dir build/cpp --output-on-failure -j 2 | tail -n 5" ||
  failed+=("C++ tests")

# b. CPython 3.14: the whole Python suite and the stub check, on a build without link-time
# optimisation (the wheels below have it).
venv=/opt/zorv/venv-3.14
if stage "sid: setup, CPython 3.14" in_root "$root" \
  "cd /work/zorv && PYTHON=python3.14 ZORV_VENV=$venv ZORV_WERROR=ON ZORV_LTO=OFF bash scripts/setup.sh test"; then
  stage "sid: Python tests and stub check, CPython 3.14" in_root "$root" "cd /work/zorv &&
    $venv/bin/python -m pytest -q -p no:cacheprovider -n auto tests/python &&
    $venv/bin/python -m mypy.stubtest zorv zorv_arrays --allowlist tests/stubtest_allowlist.txt" ||
    failed+=("Python 3.14 tests")
else
  failed+=("Python 3.14 setup")
fi

# c. CPython 3.15, the early warning: zorv built (with warnings as errors, no link-time
# optimisation: a quick check) and imported, and the tests that need no NumPy.
early_warning() {
  local venv=/opt/zorv/venv-3.15 build=build/py3.15 files
  # The test files that import neither NumPy nor what needs it at their top.
  files="$(cd "$root/work/zorv" && grep -L -E '^(import|from) (numpy|scipy|zorv_arrays|mypy|dask)\b' tests/python/test_*.py |
    tr '\n' ' ')"
  in_root "$root" "cd /work/zorv &&
    { command -v python3.15 >/dev/null || { apt-get -o DPkg::Lock::Timeout=600 update -qq &&
      DEBIAN_FRONTEND=noninteractive apt-get -o Dpkg::Use-Pty=0 -o DPkg::Lock::Timeout=600 install -y -qq \
        --no-install-recommends python3.15 python3.15-dev python3.15-venv >/dev/null; }; } &&
    { [ -x $venv/bin/python ] || python3.15 -m venv $venv; } &&
    $venv/bin/python -m pip install -q --disable-pip-version-check pytest pytest-xdist nanobind &&
    cmake -S . -B $build -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORV_BUILD_MODULE=ON -DZORV_WERROR=ON \
      -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF -DPython_EXECUTABLE=$venv/bin/python >/dev/null &&
    cmake --build $build --target zorv -j 2 &&
    PYTHONPATH=$build $venv/bin/python -c 'import sys, zorv
print(\"CPython\", sys.version.split()[0], \"imports\", zorv.__file__)' &&
    PYTHONPATH=$build $venv/bin/python -m pytest -q -p no:cacheprovider -n auto $files -k 'not zorv_arrays'"
}
if [ -n "$(in_root "$root" "apt-cache policy python3.15-dev 2>/dev/null | sed -n 's/^ *Candidate: *\([0-9]\)/\1/p'")" ]; then
  if ! stage "sid: CPython 3.15 early warning (build, import, tests without NumPy)" early_warning; then
    echo "python314: WARNING: zorv FAILED on CPython 3.15 (see above). Not a failure of the test" \
      "command until 3.15 is released; then it joins the supported versions." >&2
  fi
else
  echo "python314: sid has no python3.15-dev: no early warning for 3.15"
fi

# d. The cp314 wheels for older glibc, and the Python tests against the modules each carries.
copy_wheel() {  # copy_wheel ARCH: the newest cp314 wheel of the root for ARCH, into dist/compat/
  local name
  name="$(cd "$root/work/zorv/dist/compat" && ls -t zorv-*-cp314-cp314-*_"$1".whl | head -n 1)" &&
    mkdir -p dist/compat && cp "$root/work/zorv/dist/compat/$name" dist/compat/ && echo "python314: dist/compat/$name"
}
x86_64_wheel() {
  in_root "$root" "cd /work/zorv && PYTHON=python3.14 ZORV_VENV=$venv ZORV_WHEEL=compat bash scripts/build_wheel.sh &&
    wheel=\$(ls -t dist/compat/zorv-*-cp314-cp314-*_x86_64.whl | head -n 1) &&
    rm -rf build/compat-wheel && $venv/bin/python -m zipfile -e \$wheel build/compat-wheel &&
    PYTHONPATH=\$PWD/build/compat-wheel $venv/bin/python -c \"import sys, zorv; sys.exit(not zorv.__file__.startswith('\$PWD/build/compat-wheel/'))\" &&
    PYTHONPATH=\$PWD/build/compat-wheel $venv/bin/python -m pytest -q -p no:cacheprovider -n auto tests/python" &&
    copy_wheel x86_64
}
# The ARM64 wheel, installed by pip for arm64 CPython 3.14, and the Python tests under the
# emulator, except the dask and type-checking tests (their packages are not in the arm64
# root); tests that need an address-space limit skip (ZORV_EMULATOR is set: the emulator
# reserves address space of its own). Under emulation they take several times as long.
aarch64_wheel() {
  in_root "$root" "cd /work/zorv && PYTHON=python3.14 ZORV_VENV=$venv ZORV_WHEEL=compat-aarch64 ZORV_AARCH64_SYSROOT=/opt/arm64 \
      bash scripts/build_wheel.sh &&
    wheel=\$(ls -t dist/compat/zorv-*-cp314-cp314-*_aarch64.whl | head -n 1) && site=\$PWD/build/aarch64-wheel &&
    rm -rf \$site && $venv/bin/python -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-deps \
      --target \$site ${arm64_wheel_platforms[*]} --python-version 3.14 --implementation cp --abi cp314 --only-binary=:all: \$wheel &&
    export ZORV_EMULATOR=qemu-aarch64-static PYTHONPATH=\$site &&
    /opt/arm64/bin/python -c \"import sys, zorv, zorv_arrays
sys.exit(not all(module.__file__.startswith('\$site/') for module in (zorv, zorv_arrays)))\" &&
    /opt/arm64/bin/python -m pytest -q -p no:cacheprovider -n auto tests/python -k 'not dask' --ignore tests/python/test_stub.py" &&
    copy_wheel aarch64
}
stage "sid: cp314 x86-64 wheel for older glibc, Python tests against it" x86_64_wheel || failed+=("cp314 x86-64 wheel")
stage "sid: cp314 ARM64 wheel for older glibc, Python tests against it (emulated)" aarch64_wheel ||
  failed+=("cp314 ARM64 wheel")

stage_summary
if ((${#failed[@]})); then
  echo "python314: FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "python314: all passed"
