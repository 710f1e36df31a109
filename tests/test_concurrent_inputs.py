"""Inputs that other threads change while a call reads them: the call sees each one as it
was at one instant, on every route a conversion takes.

Each race runs in a subprocess for a bounded time with a very short switch interval, so
that a crash is a failure of the test and not the end of the run."""
import pytest

RACE_SECONDS = 3


PRELUDE = """
import sys, threading, time
import tarnix
sys.setswitchinterval(1e-6)
stop = False
def until_stopped(step):
    while not stop:
        step()
"""

# The body defines `steps`, run by threads of their own until the end, and `check()`,
# which returns what it found wrong.
RACE = """
threads = [threading.Thread(target=until_stopped, args=(step,)) for step in steps]
for thread in threads:
    thread.start()
wrong = []
end = time.monotonic() + %d
try:
    while time.monotonic() < end:
        wrong.extend(check())
finally:
    stop = True
    for thread in threads:
        thread.join()
print(len(wrong), wrong[:3])
""" % RACE_SECONDS


def run_race(run_python, body):
    result = run_python(PRELUDE + body + RACE)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("0 "), result.stdout


ARRAY_RESIZED = """
from array import array
query = array("f", [1.0, 0.0])
store = tarnix.Vectorstore(2, [([1.0, 0.0], 1), ([0.0, 1.0], 2)])
def grow_and_shrink():
    query.extend([0.0] * 1000)  # moves the storage, and frees the old one
    del query[2:]
steps = [grow_and_shrink]
def check():
    try:
        found = [store.search(query, 2), tarnix.cosine_similarity(query, query)]
    except ValueError as exc:  # seen while it was 1002 long (each argument at its own instant)
        return [] if "1002" in str(exc) else [str(exc)]
    return [] if found == [[(1.0, 1), (0.0, 2)], 1.0] else [found]
"""

LIST_REPLACED = """
n = 1024
first, second = [1.0, 0.0] * (n // 2), [0.0, 1.0] * (n // 2)
query = list(first)
store = tarnix.Vectorstore(n, [(first, 1), (second, 2)])
best = store.search(first, 1)[0][0]
def replace_whole():
    query[:] = second
    query[:] = first
steps = [replace_whole, replace_whole]
def check():
    found = store.search(query, 1)
    return [] if found[0][0] == best else [found]
"""


@pytest.mark.parametrize("body", [ARRAY_RESIZED, LIST_REPLACED], ids=["array resized", "list replaced whole"])
def test_an_input_changed_by_other_threads_is_read_at_one_instant(run_python, body):
    run_race(run_python, body)
