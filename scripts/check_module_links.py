"""Checks that a module cross-built for musl needs nothing beyond its host.

Usage: check_module_links.py MODULE C_API_LIBRARY ZIG_PYTHON

The rules, each a failure when broken:
1. The only shared library the module names (NEEDED) is musl's libc.so.
2. The only symbol it exports is PyInit_tarnix.
3. Each symbol it imports is either
   a. a C-API name (prefixed PyPy or _PyPy) that the interpreter's C-API library exports,
   b. a name that the musl libc.so which zig links against exports, or
   c. a name that zig's compiler runtime defines.
"""
import re
import subprocess
import sys
import tempfile
from pathlib import Path

C_API_PREFIX = re.compile(r"^_?PyPy")


def run(*command):
    return subprocess.run(command, stdout=subprocess.PIPE, check=True, universal_newlines=True).stdout


def symbols(*nm_arguments):
    """The names that `nm` lists; versions (name@VERSION) are dropped."""
    names = set()
    for line in run("nm", *nm_arguments).splitlines():
        fields = line.split()
        if len(fields) >= 2 and not line.endswith(":"):
            names.add(fields[-1].split("@")[0])
    return names


def needed_libraries(path):
    return set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", run("readelf", "-d", path)))


def zig_link_inputs(zig_python):
    """The libc.so and compiler runtime that zig links a musl shared library against,
    read from the linker command of a throwaway link (zig builds both on first use)."""
    with tempfile.TemporaryDirectory() as scratch:
        source = Path(scratch, "empty.c")
        source.write_text("int tarnix_empty;\n")
        link = subprocess.run(
            [zig_python, "-m", "ziglang", "cc", "-target", "x86-linux-musl", "-shared", "-v",
             "-o", str(Path(scratch, "empty.so")), str(source)],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=True, universal_newlines=True,
        ).stdout
    command = next(line for line in link.splitlines() if line.startswith("ld.lld") and "empty.so" in line)
    words = command.split()
    libc = next(w for w in words if w.endswith("/libc.so"))
    compiler_rt = next(w for w in words if w.endswith("/libcompiler_rt.a"))
    return libc, compiler_rt


def main(module, c_api_library, zig_python):
    libc, compiler_rt = zig_link_inputs(zig_python)
    c_api = {name for name in symbols("-D", "--defined-only", c_api_library) if C_API_PREFIX.match(name)}
    libc_names = symbols("-D", "--defined-only", libc)
    runtime_names = symbols("--extern-only", "--defined-only", compiler_rt)

    failures = []
    needed = needed_libraries(module)
    if needed != {"libc.so"}:
        failures.append("needs %s, not only libc.so" % sorted(needed))
    exported = symbols("-D", "--defined-only", module)
    if exported != {"PyInit_tarnix"}:
        failures.append("exports %d symbols beyond PyInit_tarnix: %s"
                        % (len(exported - {"PyInit_tarnix"}), sorted(exported - {"PyInit_tarnix"})[:20]))
    imported = symbols("-D", "--undefined-only", module)
    for name in sorted(imported):
        if C_API_PREFIX.match(name):
            if name not in c_api:
                failures.append("imports %s, which the interpreter does not export" % name)
        elif name not in libc_names and name not in runtime_names:
            failures.append("imports %s, which is neither C-API, libc nor compiler runtime" % name)

    for failure in failures:
        print("%s: %s" % (module, failure), file=sys.stderr)
    if failures:
        return 1
    from_runtime = imported & runtime_names - libc_names
    print("%s: needs only libc.so, exports only PyInit_tarnix, imports %d C-API, %d libc and %d"
          " compiler runtime names" % (Path(module).name, len(imported & c_api),
                                       len(imported & libc_names), len(from_runtime)))
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
