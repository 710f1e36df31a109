#!/usr/bin/env bash
# Runs the Python suite on CPython and the C++ unit tests, both built with AddressSanitizer
# and UBSan. Called by test.sh, which installs the system packages first.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

# A sanitizer-built module loads into an interpreter that was not built with the
# sanitizer, so its runtime must be preloaded, and the shared C++ runtime with it: the
# sanitizer's throw interceptor finds the real one only there (see CMakeLists.txt).
# The interpreter's own allocations outlive it on purpose, so leaks are not reported;
# impossible allocations must fail as they do unsanitized, and tests expect MemoryError.
sanitized() {
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$@"
}

make_venv cpython-sanitize python3 pytest hypothesis numpy -- \
  cmake.define.TARNIX_SANITIZE=ON "build-dir=build/sanitize/{wheel_tag}"

cd "$ROOT"
echo "== pytest on CPython, sanitized"
sanitized "$VENVS/cpython-sanitize/bin/python" -m pytest tests -q -p no:cacheprovider

echo "== C++ unit tests, sanitized"
cmake -S "$ROOT" -B "$ROOT/build/cpp-tests-sanitize" -G Ninja -DTARNIX_SANITIZE=ON \
  -DTARNIX_BUILD_TESTS=ON -DTARNIX_BUILD_MODULE=OFF >/dev/null
cmake --build "$ROOT/build/cpp-tests-sanitize"
ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$ROOT/build/cpp-tests-sanitize" --output-on-failure
