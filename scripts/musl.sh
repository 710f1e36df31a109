#!/usr/bin/env bash
# Builds for the declared target, 32-bit x86 Linux with musl, with the C++ toolchain of
# PyPI's ziglang (clang with its own libc++ and musl): runs the C++ unit tests as a static
# i386 executable, and links the module against the 32-bit PyPy's headers and checks
# that it needs nothing beyond the C-API, libc and the compiler's runtime. Called by
# test.sh, which installs the system packages first.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

MODULE_SUFFIX=".pypy39-pp73-i386-linux-musl.so"
PYPY_C_API=/usr/lib/i386-linux-gnu/libpypy3.9-c.so
BUILD="$ROOT/build/musl"

ZIG_PYTHON="$(zig_python)"

cmake -S "$ROOT" -B "$BUILD" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/zig-x86-linux-musl.cmake" \
  -DTARNIX_ZIG_PYTHON="$ZIG_PYTHON" \
  -DTARNIX_BUILD_TESTS=ON -DTARNIX_GTEST_SOURCE_DIR=/usr/src/googletest \
  -DTARNIX_PYTHON_INCLUDE_DIR=/usr/include/pypy3.9 -DTARNIX_MODULE_SUFFIX="$MODULE_SUFFIX" >/dev/null
cmake --build "$BUILD"

echo "== C++ unit tests, static i386 musl executable"
tests="$BUILD/tests/cpp/tarnix_core_tests"
# Outputs are taken whole before grep -q looks at them, so that no SIGPIPE can fail a pipe.
header="$(readelf -h "$tests")"
segments="$(readelf -l "$tests")"
grep -q "Machine: *Intel 80386" <<<"$header" || { echo "$tests is not an i386 executable" >&2; exit 1; }
if grep -q INTERP <<<"$segments"; then echo "$tests is not static" >&2; exit 1; fi
ctest --test-dir "$BUILD" --output-on-failure

echo "== module for PyPy on musl: what it needs and exports"
python3 "$ROOT/scripts/check_module_links.py" "$BUILD/tarnix$MODULE_SUFFIX" "$PYPY_C_API" "$ZIG_PYTHON"
