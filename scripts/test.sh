#!/usr/bin/env bash
# Builds tarnix and runs every test: the Python suite on CPython (tarnix_ray's on a local
# Ray cluster included) and on the 32-bit PyPy, the C++ unit tests, both again under AddressSanitizer and UBSan (on CPython),
# and the builds for 32-bit x86 with musl. Any suite that cannot run fails the whole run.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
install_system_packages

# cffi lets CPython run the tests of the interpreter-side code that PyPy runs built in;
# ruff lints that code and tarnix_ray, which no compiler looks at; Ray runs tarnix_ray's
# tests on a local cluster that they start.
make_venv cpython python3 pytest hypothesis numpy cffi ruff ray
make_venv pypy pypy3 pytest hypothesis
"$VENVS/pypy/bin/python" -c 'import struct, sys; assert struct.calcsize("P") == 4, "PyPy is not 32-bit"'

cd "$ROOT"
echo "== ruff on the interpreter-side code and tarnix_ray"
"$VENVS/cpython/bin/python" -m ruff check --quiet --no-cache src/python/interpreter_side.py src/tarnix_ray
echo "== pytest on CPython"
# Ray is installed here: tarnix_ray's tests must run, not skip.
TARNIX_REQUIRE_RAY=1 "$VENVS/cpython/bin/python" -m pytest tests -q -p no:cacheprovider
echo "== pytest on 32-bit PyPy"
"$VENVS/pypy/bin/python" -m pytest tests -q -p no:cacheprovider

echo "== C++ unit tests"
cmake -S "$ROOT" -B "$ROOT/build/cpp-tests" -G Ninja -DTARNIX_BUILD_TESTS=ON -DTARNIX_BUILD_MODULE=OFF >/dev/null
cmake --build "$ROOT/build/cpp-tests"
ctest --test-dir "$ROOT/build/cpp-tests" --output-on-failure

bash "$ROOT/scripts/sanitize.sh"
bash "$ROOT/scripts/musl.sh"
