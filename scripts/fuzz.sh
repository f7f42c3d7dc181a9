#!/usr/bin/env bash
# Coverage-guided fuzzing of the entry points of zorv and zorv_arrays (tests/fuzz/fuzz_zorv.py,
# one run whose inputs drive both modules) with atheris.
#
#   1. clang (16 or later, the one Debian offers: see debian_clang_version in
#      scripts/debian_packages.sh) and its runtimes (libFuzzer, AddressSanitizer) when missing.
#   2. Both modules built with clang in Debug (at -O1) with AddressSanitizer and
#      UndefinedBehaviorSanitizer, and with -fsanitize=fuzzer-no-link, so that the
#      coverage of the native code guides the fuzzer (GCC has no such instrumentation);
#      zorv_arrays with the nanobind of the virtual environment.
#   3. One runtime to preload: clang's AddressSanitizer (with its C++ and UBSan parts)
#      and its libFuzzer linked into one shared library. Preloaded separately, the
#      sanitizer's weak coverage hooks would be found first and the module's coverage
#      would never reach libFuzzer; atheris then uses this libFuzzer instead of its own.
#   4. atheris in the project's virtual environment (from source with that clang where
#      no wheel fits).
#   5. The fuzzer, for a bounded time, over the seed corpus tests/fuzz/corpus (new
#      inputs go to build/fuzz/corpus, findings to build/fuzz/artifacts). Any crash,
#      sanitizer report, hang, unexpected exception or failed check fails the stage, and
#      so does a run in which libFuzzer does not see the counters of both modules.
#      Prints libFuzzer's final coverage (cov: edges, ft: features) and its statistics.
#
# Usage: scripts/fuzz.sh [libFuzzer option ...]   e.g. -max_total_time=1200
# Environment: ZORV_FUZZ_SECONDS (default 90), PYTHON and ZORV_VENV as for scripts/setup.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stage.sh
source scripts/debian_packages.sh
VENV="${ZORV_VENV:-.venv}"
build="build/fuzz"
seconds="${ZORV_FUZZ_SECONDS:-90}"

# 1. clang with its runtimes.
clang_version="$(debian_clang_version 16 clang-% libclang-rt-%-dev)"
if [ -z "$clang_version" ]; then echo "fuzz: Debian offers no clang 16 or later with its runtimes" >&2; exit 1; fi
clang="clang-$clang_version"
apt_packages=("$clang" "libclang-rt-$clang_version-dev")
install_missing_debian_packages fuzz "${apt_packages[@]}"

bash scripts/setup.sh test
python="$(cd "$VENV/bin" && pwd)/python"

# 2. The instrumented module. Warnings are not errors here: the clang build of the
# whole project is another stage's concern. Configured for another clang, CMake would
# start over without these settings: its configuration is remade.
grep -qs "^CMAKE_CXX_COMPILER:.*clang++-$clang_version\$" "$build/CMakeCache.txt" ||
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
stage "fuzzing build (clang $clang_version, address+undefined, fuzzer-no-link)" bash -c "
  cmake -S . -B '$build' -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++-$clang_version \
    -DCMAKE_CXX_FLAGS='-fsanitize=fuzzer-no-link' -DCMAKE_CXX_FLAGS_DEBUG='-g -O1' \
    -DZORV_SANITIZE=address,undefined -DZORV_BUILD_TESTS=OFF -DZORV_BUILD_MODULE=ON \
    -DPython_EXECUTABLE='$python' >/dev/null &&
  cmake --build '$build' -j 2"

# 3. AddressSanitizer (+ UBSan and the C++ parts) and libFuzzer in one preloadable library.
runtime_dir="$(dirname "$("$clang" -print-file-name=libclang_rt.asan-x86_64.so)")"
preload="$build/asan_with_fuzzer-$clang_version.so"
if [ ! -f "$preload" ] || [ "$runtime_dir/libclang_rt.asan-x86_64.a" -nt "$preload" ]; then
  scratch="$(mktemp -d)"
  trap 'rm -rf "$scratch"' EXIT
  cp "$runtime_dir/libclang_rt.asan-x86_64.a" "$scratch/asan.a"
  ar d "$scratch/asan.a" asan_preinit.cpp.o  # a shared library cannot run preinit code
  "clang++-$clang_version" -shared -o "$preload" -Wl,--whole-archive "$runtime_dir/libclang_rt.fuzzer_no_main-x86_64.a" \
    "$scratch/asan.a" "$runtime_dir/libclang_rt.asan_cxx-x86_64.a" -Wl,--no-whole-archive -lpthread -ldl -lrt -lm
fi

# Names source lines in reports (any version reads the debug information).
symbolizer="$(command -v "llvm-symbolizer-$clang_version" || command -v llvm-symbolizer || true)"
asan_options="detect_leaks=0:allocator_may_return_null=1:quarantine_size_mb=64:handle_abort=1"
[ -z "$symbolizer" ] || asan_options+=":external_symbolizer_path=$symbolizer"

# 4. atheris.
if ! "$python" -c 'import atheris' 2>/dev/null; then
  echo "fuzz: installing atheris into $VENV"
  CLANG_BIN="$(command -v "$clang")" "$python" -m pip install -q --disable-pip-version-check atheris
fi

# 5. The fuzzer.
mkdir -p "$build/corpus" "$build/artifacts"
log="$build/fuzz.log"
fuzz() (  # chained with "&&": errexit is off inside a "||" list
  # libstdc++ is preloaded too: the sanitizer's exception interceptor must find
  # __cxa_throw when it starts, before the interpreter loads the module.
  export LD_PRELOAD="$PWD/$preload $(g++ -print-file-name=libstdc++.so)"
  # Leaks are not reported (the interpreter keeps its objects at exit); allocations
  # that can never succeed fail instead of aborting where the allocator allows it.
  export ASAN_OPTIONS="$asan_options"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  export PYTHONPATH="$PWD/$build" PYTHONDONTWRITEBYTECODE=1
  "$python" -c "import sys, zorv, zorv_arrays
sys.exit(not all(m.__file__.startswith('$PWD/$build/') for m in (zorv, zorv_arrays)))" &&
  # -close_fd_mask=2: the module writes a diagnostic for every stop; libFuzzer keeps
  # its own output, the sanitizers' reports and the harness's findings.
  "$python" tests/fuzz/fuzz_zorv.py "$build/corpus" tests/fuzz/corpus \
    -max_total_time="$seconds" -timeout=30 -rss_limit_mb=6144 -malloc_limit_mb=4096 -max_len=4096 \
    -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$build/artifacts/" "$@"
)
fuzz_logged() { fuzz "$@" >"$log" 2>&1; }
status=0
stage "fuzzing for $seconds s (atheris)" fuzz_logged "$@" || status=$?
grep -E '^fuzz_zorv:|^INFO: (Using preloaded|Loaded [0-9]+ modules)|^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' \
  "$log" || true
# libFuzzer names each instrumented library it found: zorv's and zorv_arrays'.
modules="$(sed -nE 's/^INFO: Loaded ([0-9]+) modules.*/\1/p' "$log" | head -n 1)"
if ((!status)) && ((${modules:-0} < 2)); then
  echo "fuzz: libFuzzer saw the counters of ${modules:-no} instrumented modules, not of zorv and zorv_arrays" >&2
  status=1
fi
if ((status)); then
  echo "fuzz: FAILED (exit status $status); the end of $log:" >&2
  tail -n 80 "$log" >&2
  ls -l "$build/artifacts" >&2
  exit 1
fi
stage_summary
