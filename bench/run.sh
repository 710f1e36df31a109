#!/usr/bin/env bash
# Benchmarks tarnix against numpy, faiss, usearch and hnswlib, and against a streaming
# read of the same bytes, and what a call costs on CPython and on the 32-bit PyPy. Writes
# bench/results/results.json, chart.png, boundary.json and boundary.png.
#
#     bash bench/run.sh [--quick]
#
# --quick runs two small sizes as a smoke check and writes to /tmp/tarnix-bench-quick
# instead, so the real results stay as they were.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"

quick=()
out="$ROOT/bench/results"
case "${1:-}" in
  --quick) quick=(--quick); out=/tmp/tarnix-bench-quick ;;
  "") ;;
  *) echo "usage: bash bench/run.sh [--quick]" >&2; exit 2 ;;
esac

make_venv bench python3 numpy faiss-cpu usearch hnswlib matplotlib
install_system_packages
make_venv pypy pypy3

# Only the floor target: the rest of the tree is built by make_venv, with its own flags.
cmake -S "$ROOT" -B "$ROOT/build/bench" -G Ninja -DTARNIX_BUILD_BENCH=ON -DTARNIX_BUILD_MODULE=OFF >/dev/null
cmake --build "$ROOT/build/bench" --target tarnix_stream_floor

mkdir -p "$out"
"$VENVS/bench/bin/python" "$ROOT/bench/benchmark.py" "${quick[@]}" \
  --floor "$ROOT/build/bench/libtarnix_stream_floor.so" \
  --results "$out/results.json" --chart "$out/chart.png"

# What a call into tarnix costs on each interpreter, taken in turn.
"$VENVS/bench/bin/python" "$ROOT/bench/boundary_turns.py" --cpython "$VENVS/bench/bin/python" \
  --pypy "$VENVS/pypy/bin/python" --rounds "$([ ${#quick[@]} -gt 0 ] && echo 1 || echo 5)" \
  --results "$out/boundary.json" --chart "$out/boundary.png"
