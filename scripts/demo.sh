#!/usr/bin/env bash
# The main job: installs what is missing (scripts/setup.sh) and runs the demo in
# examples/ with the project's virtual environment. Arguments go to the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh demo
"${ZORV_VENV:-.venv}/bin/python" examples/demo.py "$@"
