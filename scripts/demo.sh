#!/usr/bin/env bash
# Builds tarnix for CPython and runs the demo.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
make_venv cpython python3
"$VENVS/cpython/bin/python" "$ROOT/examples/demo.py"
