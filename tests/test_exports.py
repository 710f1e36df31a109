"""The module's export table: the interpreter's entry point and nothing else."""
import subprocess

import tarnix


def exported_names(path):
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", path],
        stdout=subprocess.PIPE,
        check=True,
        universal_newlines=True,
    ).stdout
    return {line.split()[-1] for line in listing.splitlines() if line.strip()}


def test_only_the_module_entry_is_exported():
    assert exported_names(tarnix.__file__) == {"PyInit_tarnix"}
