"""Saving stores to files and loading them back: round trips bit for bit, the checks that
refuse a damaged file, and saves that fail without touching what was there."""
import array
import os
import pathlib
import random
import struct
import subprocess
import sys

import pytest

import tarnix
from store_files import HEADER_BYTES, answers, make_store, sections
from support import IS_PYPY

DIMENSIONS = [0, 1, 3, 64, 65, 768]
COUNTS = [0, 5, 64, 2 * 64 + 3]  # empty, no block, one block, blocks and a tail


def saved(store, tmp_path, name="store.tnx"):
    path = tmp_path / name
    store.save(path)
    return path


@pytest.mark.parametrize("dim", DIMENSIONS)
@pytest.mark.parametrize("count", COUNTS)
@pytest.mark.parametrize("mmap", [False, True])
def test_round_trip_answers_bit_for_bit(tmp_path, dim, count, mmap):
    store = make_store(dim, count)
    path = saved(store, tmp_path)
    loaded = tarnix.Vectorstore.load(path, mmap=mmap)
    assert (loaded.vector_size, len(loaded)) == (dim, count)
    assert answers(loaded) == answers(store)
    # Saving what was loaded writes the same bytes: every float and id came back as it was.
    loaded.save(tmp_path / "again.tnx")
    assert (tmp_path / "again.tnx").read_bytes() == path.read_bytes()


def special_store():
    """NaN with payloads, infinities, negative zero and the extreme ids, read as float32
    bits from a buffer so that nothing converts them."""
    bits = [0x7FC00001, 0xFFC12345, 0x7F800000, 0xFF800000, 0x80000000, 0x00000001, 0x3F800000]
    store = tarnix.Vectorstore(len(bits))
    rng = random.Random(3)
    for i in range(64 + 9):
        row = bits[i % len(bits):] + bits[:i % len(bits)]
        vector = array.array("f", struct.pack("<%dI" % len(row), *row))
        store.insert(vector, [0, 2**64 - 1, 2**63, rng.getrandbits(64)][i % 4])
    return store, bits


@pytest.mark.parametrize("mmap", [False, True])
def test_special_values_and_ids_preserved(tmp_path, mmap):
    store, bits = special_store()
    path = saved(store, tmp_path)
    image = path.read_bytes()
    name, offset, length = sections(image)[0]
    # The tail's first record lies after the block, as it was inserted.
    tail = struct.unpack_from("<%dI" % len(bits), image, offset + 64 * len(bits) * 4)
    assert list(tail) == bits[64 % len(bits):] + bits[:64 % len(bits)]
    ids = struct.unpack_from("<%dQ" % len(store), image, sections(image)[2][1])
    assert ids[:4] == (0, 2**64 - 1, 2**63, ids[3])
    loaded = tarnix.Vectorstore.load(path, mmap=mmap)
    loaded.save(tmp_path / "again.tnx")
    assert (tmp_path / "again.tnx").read_bytes() == image
    assert answers(loaded) == answers(store)


def test_insert_into_mapped_store(tmp_path):
    store = make_store(5, 64 + 10)
    path = saved(store, tmp_path)
    before = path.read_bytes()
    mapped = tarnix.Vectorstore.load(path, mmap=True)
    rng = random.Random(9)
    for i in range(200):
        record = [rng.uniform(-1, 1) for _ in range(5)]
        mapped.insert(record, i)
        store.insert(record, i)
    assert answers(mapped) == answers(store)
    assert path.read_bytes() == before


def test_paths_of_every_kind(tmp_path):
    store = make_store(3, 10)
    for path in [str(tmp_path / "a"), os.fsencode(tmp_path / "b"), tmp_path / "c"]:
        store.save(path)
        assert answers(tarnix.Vectorstore.load(path)) == answers(store)
    with pytest.raises(TypeError):
        store.save(12)
    with pytest.raises(ValueError, match="embedded null"):
        store.save(str(tmp_path / "x\0y"))


def test_system_failures_are_oserrors_naming_the_path(tmp_path):
    missing = tmp_path / "missing" / "store.tnx"
    with pytest.raises(FileNotFoundError) as info:
        tarnix.Vectorstore.load(missing)
    assert info.value.filename == str(missing)
    with pytest.raises(FileNotFoundError) as info:
        make_store(3, 1).save(os.fsencode(missing))
    assert info.value.filename == os.fsencode(missing)
    with pytest.raises(IsADirectoryError):
        tarnix.Vectorstore.load(tmp_path)


def test_load_from_a_fifo_does_not_wait(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    with pytest.raises((OSError, ValueError)):
        tarnix.Vectorstore.load(fifo)


# The checks a damaged file meets, in the loader and in the unpickler alike.

def load_bytes(tmp_path, image, how):
    if how == "image":
        return tarnix._rebuild_vectorstore(image)
    path = tmp_path / "damaged.tnx"
    path.write_bytes(image)
    return tarnix.Vectorstore.load(path, mmap=(how == "mmap"))


HOWS = ["file", "mmap", "image"]


@pytest.fixture(scope="module")
def image(tmp_path_factory):
    path = tmp_path_factory.mktemp("image") / "store.tnx"
    make_store(7, 2 * 64 + 5).save(path)
    return path.read_bytes()


def header_message(offset):
    if offset < 8:
        return "not a tarnix store file"
    if offset < 12:
        return "unsupported store file format version"
    return "checksum mismatch in the header"


@pytest.mark.parametrize("how", HOWS)
def test_every_header_byte_changed(tmp_path, image, how):
    for offset in range(HEADER_BYTES):
        for change in (0x01, 0x80):
            damaged = bytearray(image)
            damaged[offset] ^= change
            with pytest.raises(ValueError) as info:
                load_bytes(tmp_path, bytes(damaged), how)
            assert str(info.value).startswith(header_message(offset)), (offset, change)


def test_newer_version_named():
    damaged = bytearray(make_image(3, 1))
    damaged[8:12] = struct.pack("<I", 2)
    with pytest.raises(ValueError) as info:
        tarnix._rebuild_vectorstore(bytes(damaged))
    assert str(info.value) == "unsupported store file format version 2 (this tarnix reads version 1)"


def make_image(dim, count):
    import pickle
    buffers = []
    pickle.dumps(make_store(dim, count), 5, buffer_callback=buffers.append)
    return bytes(buffers[0].raw())


def truncation_points(image):
    points = {0, 4, 8, 11, 12, HEADER_BYTES - 1, HEADER_BYTES, len(image) - 1}
    for _, offset, length in sections(image):
        points |= {offset - 1, offset, offset + 1, offset + length - 1, offset + length}
    return sorted(p for p in points if 0 <= p < len(image))


@pytest.mark.parametrize("how", HOWS)
def test_truncated_at_every_boundary(tmp_path, image, how):
    for size in truncation_points(image):
        with pytest.raises(ValueError) as info:
            load_bytes(tmp_path, image[:size], how)
        assert str(info.value) == "store file is truncated", size
    with pytest.raises(ValueError, match="^store file sizes do not add up$"):
        load_bytes(tmp_path, image + b"\0", how)


@pytest.mark.parametrize("how", ["file", "image"])
def test_bit_flips_in_each_section(tmp_path, image, how):
    rng = random.Random(5)
    for name, offset, length in sections(image):
        for _ in range(6):
            damaged = bytearray(image)
            damaged[offset + rng.randrange(length)] ^= 1 << rng.randrange(8)
            with pytest.raises(ValueError) as info:
                load_bytes(tmp_path, bytes(damaged), how)
            assert str(info.value) == "checksum mismatch in the %s section" % name


def test_mapped_load_trusts_the_records(tmp_path, image):
    # Documented: with mmap=True the header and the sizes are checked, not the records.
    name, offset, length = sections(image)[1]
    damaged = bytearray(image)
    damaged[offset] ^= 1
    assert len(load_bytes(tmp_path, bytes(damaged), "mmap")) == 2 * 64 + 5


@pytest.mark.parametrize("how", HOWS)
def test_random_damage_never_crashes(tmp_path, image, how):
    rng = random.Random(11)
    for _ in range(60):
        damaged = bytearray(image)
        for _ in range(rng.randrange(1, 4)):
            damaged[rng.randrange(len(damaged))] = rng.randrange(256)
        if rng.random() < 0.3:
            del damaged[rng.randrange(len(damaged)):]
        try:
            store = load_bytes(tmp_path, bytes(damaged), how)
        except ValueError:
            continue
        store.search([0.0] * 7, 3)  # a change in padding or (mapped) in a record loads


# Saves that fail leave the old file as it was and nothing else behind.

def old_file(tmp_path):
    path = tmp_path / "store.tnx"
    make_store(3, 10).save(path)
    return path, path.read_bytes()


def test_save_onto_a_directory(tmp_path):
    path, before = old_file(tmp_path)
    target = tmp_path / "sub"
    target.mkdir()
    with pytest.raises(IsADirectoryError) as info:
        make_store(3, 100).save(target)
    assert info.value.filename == str(target)
    assert sorted(os.listdir(tmp_path)) == ["store.tnx", "sub"]
    assert os.listdir(target) == []
    assert path.read_bytes() == before


SAVE_IN_CHILD = """
import os, resource, signal, sys
sys.path[:0] = {paths!r}
import tarnix
from store_files import make_store
{setup}
try:
    make_store(64, 4000).save({target!r})
except OSError as exc:
    print(type(exc).__name__, exc.errno)
"""


def save_in_child(target, setup):
    code = SAVE_IN_CHILD.format(paths=[os.path.dirname(__file__)], setup=setup, target=str(target))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


def test_save_past_the_file_size_limit(tmp_path):
    path, before = old_file(tmp_path)
    # Without the signal ignored, passing the limit ends the process; ignored, write fails.
    setup = ("signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
             "resource.setrlimit(resource.RLIMIT_FSIZE, (200000, 200000))")
    assert save_in_child(path, setup) == ["OSError", "27"]  # EFBIG
    assert os.listdir(tmp_path) == ["store.tnx"]
    assert path.read_bytes() == before


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to take another user's identity")
def test_save_into_a_read_only_directory(tmp_path):
    directory = tmp_path / "ro"
    directory.mkdir()
    path, before = old_file(directory)
    os.chmod(directory, 0o755)  # root's: another user may not write into it
    os.chmod(path, 0o666)
    setup = "os.setgid(65534); os.setuid(65534)"
    assert save_in_child(path, setup) == ["PermissionError", "13"]
    assert os.listdir(directory) == ["store.tnx"]
    assert path.read_bytes() == before


@pytest.fixture
def small_file_system(tmp_path):
    mount_point = tmp_path / "small"
    mount_point.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=128k", "tmpfs", str(mount_point)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip("cannot mount a small tmpfs here: " + done.stderr.strip())
    yield mount_point
    subprocess.run(["umount", str(mount_point)], check=True)


def test_save_onto_a_full_file_system(small_file_system):
    path, before = old_file(small_file_system)
    with pytest.raises(OSError) as info:
        make_store(64, 1000).save(path)
    assert info.value.errno == 28  # ENOSPC
    assert os.listdir(small_file_system) == ["store.tnx"]
    assert path.read_bytes() == before


def test_save_keeps_the_old_file_mode(tmp_path):
    path, _ = old_file(tmp_path)
    os.chmod(path, 0o640)
    make_store(3, 20).save(path)
    assert os.stat(path).st_mode & 0o777 == 0o640


def test_insert_during_save_is_already_borrowed(tmp_path):
    # The store is borrowed (shared) from the start of the save: an insert meanwhile, here
    # from the path's own __fspath__, is refused.
    store = make_store(3, 10)
    errors = []

    class Path:
        def __fspath__(self):
            try:
                store.insert([1.0, 2.0, 3.0], 1)
            except RuntimeError as exc:
                errors.append(str(exc))
            return str(tmp_path / "store.tnx")

    store.save(Path())
    assert errors == ["Already borrowed"]
    assert len(tarnix.Vectorstore.load(tmp_path / "store.tnx")) == 10


# Files move between the interpreters: the 64-bit CPython and the 32-bit PyPy.

OTHER = "pypy" if not IS_PYPY else "cpython"
OTHER_PYTHON = pathlib.Path(__file__).resolve().parents[1] / "build" / "venvs" / OTHER / "bin" / "python"

IN_OTHER = """
import sys
sys.path.insert(0, {tests!r})
import tarnix
from store_files import answers, make_store
loaded = tarnix.Vectorstore.load({path!r})
print(repr(answers(loaded)))
make_store(65, 2 * 64 + 3).save({path!r} + ".other")
"""


@pytest.mark.skipif(not OTHER_PYTHON.exists(), reason="no %s venv at %s" % (OTHER, OTHER_PYTHON))
def test_files_cross_interpreters(tmp_path):
    store = make_store(65, 2 * 64 + 3)
    path = saved(store, tmp_path)
    code = IN_OTHER.format(tests=os.path.dirname(os.path.abspath(__file__)), path=str(path))
    done = subprocess.run([str(OTHER_PYTHON), "-c", code], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == repr(answers(store))
    # The other interpreter writes the same bytes for the same records.
    other = pathlib.Path(str(path) + ".other")
    assert other.read_bytes() == path.read_bytes()
    assert answers(tarnix.Vectorstore.load(other)) == answers(store)
