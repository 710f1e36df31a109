#!/usr/bin/env bash
# Benchmarks tarnix against numpy, faiss, usearch and hnswlib, and against a streaming
# read of the same bytes; then batches of queries, on CPython and on the 32-bit PyPy; then
# stores saved, loaded and pickled beside numpy; then bulk inserts and array results;
# then the store sharded over Ray actors against one store; then search with and without a
# sketch on both interpreters; then what a call costs on each of the two. Writes
# bench/results/results.json, chart.png, persistence.json, bulk.json, ray_shards.json,
# sketch.json, sketch_pypy.json, boundary.json and boundary.png.
#
#     bash bench/run.sh [--quick] [--batch]
#
# --quick runs small sizes as a smoke check and writes to /tmp/tarnix-bench-quick
# instead, so the real results stay as they were. --batch measures the batch rows only
# and keeps the other rows of the results.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"

quick=()
only=()
out="$ROOT/bench/results"
for arg in "$@"; do
  case "$arg" in
    --quick) quick=(--quick); out=/tmp/tarnix-bench-quick ;;
    --batch) only=(--batch-only) ;;
    *) echo "usage: bash bench/run.sh [--quick] [--batch]" >&2; exit 2 ;;
  esac
done

make_venv bench python3 numpy faiss-cpu usearch hnswlib matplotlib ray
install_system_packages
make_venv pypy pypy3

# Only the floor target: the rest of the tree is built by make_venv, with its own flags.
cmake -S "$ROOT" -B "$ROOT/build/bench" -G Ninja -DTARNIX_BUILD_BENCH=ON -DTARNIX_BUILD_MODULE=OFF >/dev/null
cmake --build "$ROOT/build/bench" --target tarnix_stream_floor

mkdir -p "$out"
# The PyPy rows first, so that the CPython run shows them beside its own.
"$VENVS/pypy/bin/python" "$ROOT/bench/batch_pypy.py" "${quick[@]}" --out "$out/batch_pypy.json"
"$VENVS/bench/bin/python" "$ROOT/bench/benchmark.py" "${quick[@]}" "${only[@]}" \
  --floor "$ROOT/build/bench/libtarnix_stream_floor.so" \
  --results "$out/results.json" --chart "$out/chart.png" --pypy-batch "$out/batch_pypy.json"

# Stores saved, loaded, mapped and pickled, beside numpy doing the same for the array.
"$VENVS/bench/bin/python" "$ROOT/bench/persistence.py" "${quick[@]}" --out "$out/persistence.json"

# Many records in with insert_many, and a batch's results out as arrays.
"$VENVS/bench/bin/python" "$ROOT/bench/bulk.py" "${quick[@]}" --out "$out/bulk.json"

# The store sharded over Ray actors on a local cluster, against one store in the process.
"$VENVS/bench/bin/python" "$ROOT/bench/ray_shards.py" "${quick[@]}" --out "$out/ray_shards.json"

# Search with a sketch against without, in turns; the PyPy rows on its SSE2 path.
"$VENVS/bench/bin/python" "$ROOT/bench/sketch.py" "${quick[@]}" --floor "$ROOT/build/bench/libtarnix_stream_floor.so" \
  --out "$out/sketch.json"
TARNIX_KERNEL=sse2 "$VENVS/pypy/bin/python" "$ROOT/bench/sketch.py" "${quick[@]}" --out "$out/sketch_pypy.json"

# What a call into tarnix costs on each interpreter, taken in turn.
[ ${#only[@]} -gt 0 ] && exit 0
"$VENVS/bench/bin/python" "$ROOT/bench/boundary_turns.py" --cpython "$VENVS/bench/bin/python" \
  --pypy "$VENVS/pypy/bin/python" --rounds "$([ ${#quick[@]} -gt 0 ] && echo 1 || echo 5)" \
  --results "$out/boundary.json" --chart "$out/boundary.png"
