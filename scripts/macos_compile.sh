#!/usr/bin/env bash
# Compile check for macOS (nothing runs macOS here): every source file under src/, core
# and both binding layers, is compiled to an object file for aarch64-macos and x86_64-macos with the
# project's flags, by the clang that the `ziglang` package bundles with libc++ and the
# macOS system headers. The binding layers see this machine's Python headers (and nanobind's) (the C API is the
# same on macOS; pyconfig.h differs only in details the bindings do not use) and Eigen.
# The compilations run in parallel, one per processor; the script lists every file that
# fails and exits non-zero if any does.
#
# Usage: scripts/macos_compile.sh          (PYTHON and ZORV_VENV as for scripts/setup.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
VENV="${ZORV_VENV:-.venv}"

bash scripts/setup.sh --deps-only cross
python="$VENV/bin/python"
python_include="$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
# Debian's pyconfig.h only points to the one of the Linux architecture (under
# /usr/include/MULTIARCH/), and fails for any other target: use a copy of the headers
# with that file in its place.
multiarch_config="/usr/include/$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("MULTIARCH") or "-")')/$(basename "$python_include")/pyconfig.h"
if [ -f "$multiarch_config" ]; then
  rm -rf build/macos-python-include && mkdir -p build/macos-python-include &&
    cp -r "$python_include" build/macos-python-include/ &&
    cp "$multiarch_config" "build/macos-python-include/$(basename "$python_include")/pyconfig.h"
  python_include="$PWD/build/macos-python-include/$(basename "$python_include")"
fi
eigen_include=/usr/include/eigen3
nanobind_dir="$(dirname "$("$python" -m nanobind --cmake_dir)")"
[ -f "$eigen_include/Eigen/Core" ] || { echo "macos_compile: Eigen not found in $eigen_include" >&2; exit 1; }
echo "macos_compile: zig $("$python" -m ziglang version), $("$python" -m ziglang c++ --version | head -n 1)"

# The package version, which CMake passes to zorv_arrays' module from pyproject.toml.
version="$(sed -n 's/^version = "\([^"]*\)"$/\1/p' pyproject.toml | head -n 1)"
[ -n "$version" ] || { echo "macos_compile: pyproject.toml has no version line" >&2; exit 1; }
flags=(-std=c++20 -O2 -ffp-contract=off -fno-fast-math -Wall -Wextra -Werror -Isrc "-DZORV_VERSION=\"$version\"")
objects="$(mktemp -d)"
trap 'rm -rf "$objects"' EXIT
# One compiler per processor: each compilation prints "FAILED target source" and the
# first errors when it fails.
compile_one() {
  local target="$1" source="$2" include=(-isystem "$eigen_include") output
  [[ "$source" == src/bindings/* || "$source" == src/arrays/* ]] && include+=(-isystem "$python_include")
  [[ "$source" == src/arrays/* ]] && include+=(-isystem "$nanobind_dir/include" -isystem "$nanobind_dir/ext/robin_map/include")
  if ! output="$("$python" -m ziglang c++ -target "$target" "${flags[@]}" "${include[@]}" \
    -c "$source" -o "$objects/$target-${source//\//_}.o" 2>&1)"; then
    echo "FAILED $target $source"
    grep -E 'error:' <<<"$output" | head -n 5
  fi
}
export -f compile_one
export python eigen_include python_include nanobind_dir objects
export flags_text="${flags[*]@Q}"
report="$(for target in aarch64-macos x86_64-macos; do
  find src -name '*.cpp' | LC_ALL=C sort | sed "s|^|$target |"
done | xargs -P "$(nproc)" -L 1 bash -c 'eval "flags=($flags_text)"; compile_one "$@"' _)"
mapfile -t failures < <(sed -n 's/^FAILED //p' <<<"$report")
[ -z "$report" ] || echo "$report"
count="$(find src -name '*.cpp' | wc -l)"
if ((${#failures[@]})); then
  echo "macos_compile: ${#failures[@]} of $((2 * count)) compilations failed:"
  printf '  %s\n' "${failures[@]}"
  exit 1
fi
echo "macos_compile: all $count source files compile for aarch64-macos and x86_64-macos"
