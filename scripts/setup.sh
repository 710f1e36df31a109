# Sourced by the other scripts: installs what building and testing need on a fresh
# Debian machine, and gives each interpreter a virtual environment with tarnix built in.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENVS="$ROOT/build/venvs"
# The machine is shared: no build runs more than two compilers at once.
export CMAKE_BUILD_PARALLEL_LEVEL=2

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# apt-get update fails as a whole when one index of the mirror is mid-sync ("File has
# unexpected size ... Mirror sync in progress?"), although the lists it did fetch are
# good. Try a few times, then go on: the install that follows says whether the packages
# are there.
update_package_lists() {
  local attempt
  for attempt in 1 2 3; do
    as_root apt-get update -qq && return 0
    echo "setup: apt-get update failed (attempt $attempt of 3)" >&2
    [ "$attempt" = 3 ] || sleep $((attempt * 5))
  done
  echo "setup: going on with the package lists that could be fetched" >&2
}

# The 32-bit PyPy, the 32-bit compiler runtime and GoogleTest come from Debian.
install_system_packages() {
  local missing=()
  command -v pypy3 >/dev/null || missing+=("pypy3:i386")
  [ -d /usr/lib/gcc/x86_64-linux-gnu/12/32 ] || missing+=("g++-multilib")
  [ -f /usr/include/gtest/gtest.h ] || missing+=("libgtest-dev")
  # The musl build compiles GoogleTest from its sources.
  [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=("googletest")
  ls /usr/share/python-wheels/pip-*.whl >/dev/null 2>&1 || missing+=("python3-pip-whl")
  ls /usr/share/python-wheels/setuptools-*.whl >/dev/null 2>&1 || missing+=("python3-setuptools-whl")
  if [ ${#missing[@]} -gt 0 ]; then
    as_root dpkg --add-architecture i386
    update_package_lists
    if ! as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null; then
      echo "setup: could not install ${missing[*]} from Debian's packages (see apt-get's messages above)" >&2
      return 1
    fi
  fi
  # PyPy's C headers: installing pypy3-dev with apt would replace the i386 PyPy with
  # the 64-bit one, so unpack the (architecture-independent) package in place instead.
  if [ ! -f /usr/include/pypy3.9/Python.h ]; then
    local scratch
    scratch="$(mktemp -d)"
    if ! (cd "$scratch" && apt-get download pypy3-dev >/dev/null); then
      echo "setup: could not download pypy3-dev from Debian's packages (see apt-get's messages above)" >&2
      return 1
    fi
    as_root dpkg-deb -x "$scratch"/pypy3-dev_*.deb /
    rm -rf "$scratch"
  fi
}

# make_venv NAME INTERPRETER [PACKAGES...] [-- BUILD-SETTINGS...]: a venv with the packages
# and tarnix built from this tree, with the build settings (pip's -C options) if any.
make_venv() {
  local name="$1" interpreter="$2"
  shift 2
  local packages=() settings=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do packages+=("$1"); shift; done
  if [ $# -gt 0 ]; then shift; settings=("$@"); fi
  local venv="$VENVS/$name"
  [ -x "$venv/bin/python" ] || "$interpreter" -m venv "$venv"
  if [ ${#packages[@]} -gt 0 ]; then "$venv/bin/python" -m pip install -q "${packages[@]}"; fi
  "$venv/bin/python" -m pip install -q "${settings[@]/#/-C}" "$ROOT"
}

# zig_python: prints the python of a venv that has the pinned ziglang, installing it the
# first time. Its clang, libc++ and C libraries build the musl module and the wheels.
zig_python() {
  # A newer zig is another compiler, with other warnings and another libc++: move on deliberately.
  local ziglang="ziglang==0.14.1"
  [ -x "$VENVS/zig/bin/python" ] || python3 -m venv "$VENVS/zig" >&2
  "$VENVS/zig/bin/python" -m pip install -q "$ziglang" >&2
  echo "$VENVS/zig/bin/python"
}
