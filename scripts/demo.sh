#!/usr/bin/env bash
# Builds tarnix for CPython and runs the demo.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
echo "== building tarnix for CPython into build/venvs/cpython (a minute or so the first time)"
[ -x "$VENVS/cpython/bin/python" ] || python3 -m venv "$VENVS/cpython"
# Not quiet: pip names each step of the build as it starts.
"$VENVS/cpython/bin/python" -m pip install "$ROOT"
echo "== running examples/demo.py"
"$VENVS/cpython/bin/python" "$ROOT/examples/demo.py"
