#!/usr/bin/env bash
# The main job: installs what is missing and runs the demo in examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON="${PYTHON:-python3}"
bash scripts/setup.sh demo
"$PYTHON" examples/demo.py "$@"
